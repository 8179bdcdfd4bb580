// Module frame: initialisation states, library info, function list, stubs.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "p11/module.h"
#include "p11/pcscerrors.h"
#include "tests/p11/fake_env.h"

namespace {

using zorbix::p11::to_string;
using zorbix::p11test::Fake;

// Leaves the module finalised whatever the test did.
class ModuleFrame : public ::testing::Test {
 protected:
  void SetUp() override { Fake(); }
  void TearDown() override { C_Finalize(nullptr); }
};

constexpr CK_SESSION_HANDLE kNoSession = 0x110000;
constexpr CK_SLOT_ID kNoSlot = 0xFFFF;

enum class Kind {
  Stub,      // not initialised, else not supported
  Session,   // locked call that needs a live session
  Other,     // its own value once initialised
};

struct Entry {
  const char* name;
  std::function<CK_RV()> call;
  Kind kind;
  CK_RV initialised = CKR_OK;  // for Kind::Other
};

CK_ULONG countOut;

// Every entry point, with arguments that reach no memory. The values expected
// once initialised follow the rules for null or unknown arguments: null
// pointers are refused before the session is looked up.
std::vector<Entry> AllEntryPoints() {
  return {
      {"C_GetInfo", [] { return C_GetInfo(nullptr); }, Kind::Other, CKR_ARGUMENTS_BAD},
      {"C_GetSlotList", [] { return C_GetSlotList(CK_FALSE, nullptr, nullptr); }, Kind::Other, CKR_ARGUMENTS_BAD},
      {"C_GetSlotInfo", [] { return C_GetSlotInfo(kNoSlot, nullptr); }, Kind::Other, CKR_ARGUMENTS_BAD},
      {"C_GetTokenInfo", [] { return C_GetTokenInfo(kNoSlot, nullptr); }, Kind::Other, CKR_SLOT_ID_INVALID},
      {"C_GetMechanismList", [] { return C_GetMechanismList(kNoSlot, nullptr, &countOut); }, Kind::Other, CKR_SLOT_ID_INVALID},
      {"C_GetMechanismInfo", [] { return C_GetMechanismInfo(kNoSlot, CKM_RSA_PKCS, nullptr); }, Kind::Other, CKR_HOST_MEMORY},
      {"C_InitToken", [] { return C_InitToken(kNoSlot, nullptr, 0, nullptr); }, Kind::Stub},
      {"C_InitPIN", [] { return C_InitPIN(kNoSession, nullptr, 0); }, Kind::Stub},
      {"C_SetPIN", [] { return C_SetPIN(kNoSession, nullptr, 0, nullptr, 0); }, Kind::Session},
      {"C_OpenSession", [] { CK_SESSION_HANDLE h; return C_OpenSession(kNoSlot, CKF_SERIAL_SESSION, nullptr, nullptr, &h); }, Kind::Other, CKR_SLOT_ID_INVALID},
      {"C_CloseSession", [] { return C_CloseSession(kNoSession); }, Kind::Session},
      {"C_CloseAllSessions", [] { return C_CloseAllSessions(kNoSlot); }, Kind::Other, CKR_OK},
      {"C_GetSessionInfo", [] { CK_SESSION_INFO i; return C_GetSessionInfo(kNoSession, &i); }, Kind::Session},
      {"C_GetOperationState", [] { return C_GetOperationState(kNoSession, nullptr, nullptr); }, Kind::Stub},
      {"C_SetOperationState", [] { return C_SetOperationState(kNoSession, nullptr, 0, 0, 0); }, Kind::Stub},
      {"C_Login", [] { return C_Login(kNoSession, CKU_USER, nullptr, 0); }, Kind::Session},
      {"C_Logout", [] { return C_Logout(kNoSession); }, Kind::Session},
      {"C_CreateObject", [] { CK_OBJECT_HANDLE o; return C_CreateObject(kNoSession, nullptr, 0, &o); }, Kind::Session},
      {"C_CopyObject", [] { return C_CopyObject(kNoSession, 0, nullptr, 0, nullptr); }, Kind::Stub},
      {"C_DestroyObject", [] { return C_DestroyObject(kNoSession, 0); }, Kind::Session},
      {"C_GetObjectSize", [] { return C_GetObjectSize(kNoSession, 0, nullptr); }, Kind::Stub},
      {"C_GetAttributeValue", [] { return C_GetAttributeValue(kNoSession, 0, nullptr, 0); }, Kind::Session},
      {"C_SetAttributeValue", [] { return C_SetAttributeValue(kNoSession, 0, nullptr, 0); }, Kind::Session},
      {"C_FindObjectsInit", [] { return C_FindObjectsInit(kNoSession, nullptr, 0); }, Kind::Session},
      {"C_FindObjects", [] { CK_ULONG n; return C_FindObjects(kNoSession, nullptr, 0, &n); }, Kind::Session},
      {"C_FindObjectsFinal", [] { return C_FindObjectsFinal(kNoSession); }, Kind::Session},
      {"C_EncryptInit", [] { return C_EncryptInit(kNoSession, nullptr, 0); }, Kind::Stub},
      {"C_Encrypt", [] { return C_Encrypt(kNoSession, nullptr, 0, nullptr, nullptr); }, Kind::Stub},
      {"C_EncryptUpdate", [] { return C_EncryptUpdate(kNoSession, nullptr, 0, nullptr, nullptr); }, Kind::Stub},
      {"C_EncryptFinal", [] { return C_EncryptFinal(kNoSession, nullptr, nullptr); }, Kind::Stub},
      {"C_DecryptInit", [] { return C_DecryptInit(kNoSession, nullptr, 0); }, Kind::Other, CKR_ARGUMENTS_BAD},
      {"C_Decrypt", [] { return C_Decrypt(kNoSession, nullptr, 0, nullptr, nullptr); }, Kind::Other, CKR_ARGUMENTS_BAD},
      {"C_DecryptUpdate", [] { return C_DecryptUpdate(kNoSession, nullptr, 0, nullptr, nullptr); }, Kind::Stub},
      {"C_DecryptFinal", [] { return C_DecryptFinal(kNoSession, nullptr, nullptr); }, Kind::Stub},
      {"C_DigestInit", [] { return C_DigestInit(kNoSession, nullptr); }, Kind::Stub},
      {"C_Digest", [] { return C_Digest(kNoSession, nullptr, 0, nullptr, nullptr); }, Kind::Stub},
      {"C_DigestUpdate", [] { return C_DigestUpdate(kNoSession, nullptr, 0); }, Kind::Stub},
      {"C_DigestKey", [] { return C_DigestKey(kNoSession, 0); }, Kind::Stub},
      {"C_DigestFinal", [] { return C_DigestFinal(kNoSession, nullptr, nullptr); }, Kind::Stub},
      {"C_SignInit", [] { return C_SignInit(kNoSession, nullptr, 0); }, Kind::Other, CKR_ARGUMENTS_BAD},
      {"C_Sign", [] { return C_Sign(kNoSession, nullptr, 0, nullptr, nullptr); }, Kind::Other, CKR_ARGUMENTS_BAD},
      {"C_SignUpdate", [] { return C_SignUpdate(kNoSession, nullptr, 0); }, Kind::Session},
      {"C_SignFinal", [] { return C_SignFinal(kNoSession, nullptr, nullptr); }, Kind::Session},
      {"C_SignRecoverInit", [] { return C_SignRecoverInit(kNoSession, nullptr, 0); }, Kind::Stub},
      {"C_SignRecover", [] { return C_SignRecover(kNoSession, nullptr, 0, nullptr, nullptr); }, Kind::Stub},
      {"C_VerifyInit", [] { return C_VerifyInit(kNoSession, nullptr, 0); }, Kind::Other, CKR_ARGUMENTS_BAD},
      {"C_Verify", [] { return C_Verify(kNoSession, nullptr, 0, nullptr, 0); }, Kind::Session},
      {"C_VerifyUpdate", [] { return C_VerifyUpdate(kNoSession, nullptr, 0); }, Kind::Stub},
      {"C_VerifyFinal", [] { return C_VerifyFinal(kNoSession, nullptr, 0); }, Kind::Stub},
      {"C_VerifyRecoverInit", [] { return C_VerifyRecoverInit(kNoSession, nullptr, 0); }, Kind::Stub},
      {"C_VerifyRecover", [] { return C_VerifyRecover(kNoSession, nullptr, 0, nullptr, nullptr); }, Kind::Stub},
      {"C_DigestEncryptUpdate", [] { return C_DigestEncryptUpdate(kNoSession, nullptr, 0, nullptr, nullptr); }, Kind::Stub},
      {"C_DecryptDigestUpdate", [] { return C_DecryptDigestUpdate(kNoSession, nullptr, 0, nullptr, nullptr); }, Kind::Stub},
      {"C_SignEncryptUpdate", [] { return C_SignEncryptUpdate(kNoSession, nullptr, 0, nullptr, nullptr); }, Kind::Stub},
      {"C_DecryptVerifyUpdate", [] { return C_DecryptVerifyUpdate(kNoSession, nullptr, 0, nullptr, nullptr); }, Kind::Stub},
      {"C_GenerateKey", [] { return C_GenerateKey(kNoSession, nullptr, nullptr, 0, nullptr); }, Kind::Stub},
      {"C_GenerateKeyPair", [] { return C_GenerateKeyPair(kNoSession, nullptr, nullptr, 0, nullptr, 0, nullptr, nullptr); }, Kind::Other, CKR_ARGUMENTS_BAD},
      {"C_WrapKey", [] { return C_WrapKey(kNoSession, nullptr, 0, 0, nullptr, nullptr); }, Kind::Stub},
      {"C_UnwrapKey", [] { return C_UnwrapKey(kNoSession, nullptr, 0, nullptr, 0, nullptr, 0, nullptr); }, Kind::Stub},
      {"C_DeriveKey", [] { return C_DeriveKey(kNoSession, nullptr, 0, nullptr, 0, nullptr); }, Kind::Stub},
      {"C_GenerateRandom", [] { return C_GenerateRandom(kNoSession, nullptr, 0); }, Kind::Other, CKR_ARGUMENTS_BAD},
      {"C_GetFunctionStatus", [] { return C_GetFunctionStatus(kNoSession); }, Kind::Stub},
      {"C_CancelFunction", [] { return C_CancelFunction(kNoSession); }, Kind::Stub},
      {"C_WaitForSlotEvent", [] { return C_WaitForSlotEvent(CKF_DONT_BLOCK, nullptr, nullptr); }, Kind::Other, CKR_ARGUMENTS_BAD},
      {"C_Finalize", [] { return C_Finalize(nullptr); }, Kind::Other, CKR_OK},
  };
}

TEST_F(ModuleFrame, EveryEntryPointBeforeInitialize) {
  const auto entries = AllEntryPoints();
  // 68 less C_Initialize, C_GetFunctionList and C_SeedRandom.
  ASSERT_EQ(entries.size(), 65u);
  for (const Entry& e : entries)
    EXPECT_EQ(to_string(e.call()), "CKR_CRYPTOKI_NOT_INITIALIZED") << e.name;

  EXPECT_EQ(C_SeedRandom(kNoSession, nullptr, 0), CKR_FUNCTION_NOT_SUPPORTED);
  CK_FUNCTION_LIST_PTR list = nullptr;
  EXPECT_EQ(C_GetFunctionList(&list), CKR_OK);
  EXPECT_NE(list, nullptr);
}

TEST_F(ModuleFrame, EveryEntryPointOnceInitialised) {
  ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
  for (const Entry& e : AllEntryPoints()) {
    if (std::string(e.name) == "C_Finalize") continue;
    const CK_RV expected = e.kind == Kind::Stub      ? CKR_FUNCTION_NOT_SUPPORTED
                           : e.kind == Kind::Session ? CKR_SESSION_HANDLE_INVALID
                                                     : e.initialised;
    EXPECT_EQ(to_string(e.call()), to_string(expected)) << e.name;
  }
  EXPECT_EQ(C_SeedRandom(kNoSession, nullptr, 0), CKR_FUNCTION_NOT_SUPPORTED);
  CK_SESSION_HANDLE h = 0;
  EXPECT_EQ(C_OpenSession(kNoSlot, CKF_RW_SESSION, nullptr, nullptr, &h),
            CKR_SESSION_PARALLEL_NOT_SUPPORTED);
}

TEST_F(ModuleFrame, InitialiseAndFinaliseStates) {
  EXPECT_EQ(C_Initialize(nullptr), CKR_OK);
  const SCARDCONTEXT context = zorbix::p11::Module().context.load();
  EXPECT_NE(context, 0);
  EXPECT_EQ(C_Initialize(nullptr), CKR_CRYPTOKI_ALREADY_INITIALIZED);
  EXPECT_EQ(C_Finalize(nullptr), CKR_OK);
  EXPECT_EQ(C_Finalize(nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);

  // Arguments are ignored, and the context survives finalisation.
  CK_C_INITIALIZE_ARGS args{};
  args.flags = CKF_OS_LOCKING_OK;
  EXPECT_EQ(C_Initialize(&args), CKR_OK);
  EXPECT_EQ(zorbix::p11::Module().context.load(), context);
  CK_ULONG count = 99;
  EXPECT_EQ(C_GetSlotList(CK_FALSE, nullptr, &count), CKR_OK);
}

TEST_F(ModuleFrame, FailedEstablishmentLeavesModuleInitialisedWithoutContext) {
  // Only meaningful while this process has no context yet.
  if (zorbix::p11::Module().context.load() != 0) GTEST_SKIP() << "context already established";
  Fake().FailNext("EstablishContext", SCARD_E_NO_SERVICE);
  EXPECT_EQ(C_Initialize(nullptr), CKR_GENERAL_ERROR);
  EXPECT_EQ(C_Initialize(nullptr), CKR_CRYPTOKI_ALREADY_INITIALIZED);
  CK_ULONG count = 0;
  EXPECT_EQ(C_GetSlotList(CK_FALSE, nullptr, &count), CKR_CRYPTOKI_NOT_INITIALIZED);
  CK_SLOT_INFO info;
  EXPECT_EQ(C_GetSlotInfo(zorbix::p11::kFirstSlotId, &info), CKR_CRYPTOKI_NOT_INITIALIZED);
  EXPECT_EQ(C_Finalize(nullptr), CKR_OK);
  // The next initialisation tries again.
  EXPECT_EQ(C_Initialize(nullptr), CKR_OK);
  EXPECT_NE(zorbix::p11::Module().context.load(), 0);
}

TEST_F(ModuleFrame, GetInfoBytes) {
  ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
  CK_INFO info;
  std::memset(&info, 0xAA, sizeof info);
  ASSERT_EQ(C_GetInfo(&info), CKR_OK);
  EXPECT_EQ(info.cryptokiVersion.major, 2);
  EXPECT_EQ(info.cryptokiVersion.minor, 20);
  EXPECT_EQ(info.flags, 0u);
  EXPECT_EQ(info.libraryVersion.major, 0);
  EXPECT_EQ(info.libraryVersion.minor, 1);

  const std::string manufacturer(reinterpret_cast<const char*>(info.manufacturerID), 32);
  EXPECT_EQ(manufacturer, "ORVA-ZEL" + std::string(24, ' '));
  // CK_UTF8CHAR: the í in UTF-8 (C3 AD), blank-padded to 32 bytes.
  const std::string description(reinterpret_cast<const char*>(info.libraryDescription), 32);
  EXPECT_EQ(description, "Nueva librer\xC3\xAD" "a" + std::string(17, ' '));
}

// The 68 entry points in the order of the Cryptoki 2.20 header.
struct Named {
  const char* name;
  void* function;
};
#define ZORBIX_FN(f) {#f, reinterpret_cast<void*>(&f)}
const Named kHeaderOrder[] = {
    ZORBIX_FN(C_Initialize), ZORBIX_FN(C_Finalize), ZORBIX_FN(C_GetInfo), ZORBIX_FN(C_GetFunctionList),
    ZORBIX_FN(C_GetSlotList), ZORBIX_FN(C_GetSlotInfo), ZORBIX_FN(C_GetTokenInfo), ZORBIX_FN(C_GetMechanismList),
    ZORBIX_FN(C_GetMechanismInfo), ZORBIX_FN(C_InitToken), ZORBIX_FN(C_InitPIN), ZORBIX_FN(C_SetPIN),
    ZORBIX_FN(C_OpenSession), ZORBIX_FN(C_CloseSession), ZORBIX_FN(C_CloseAllSessions), ZORBIX_FN(C_GetSessionInfo),
    ZORBIX_FN(C_GetOperationState), ZORBIX_FN(C_SetOperationState), ZORBIX_FN(C_Login), ZORBIX_FN(C_Logout),
    ZORBIX_FN(C_CreateObject), ZORBIX_FN(C_CopyObject), ZORBIX_FN(C_DestroyObject), ZORBIX_FN(C_GetObjectSize),
    ZORBIX_FN(C_GetAttributeValue), ZORBIX_FN(C_SetAttributeValue), ZORBIX_FN(C_FindObjectsInit),
    ZORBIX_FN(C_FindObjects), ZORBIX_FN(C_FindObjectsFinal), ZORBIX_FN(C_EncryptInit), ZORBIX_FN(C_Encrypt),
    ZORBIX_FN(C_EncryptUpdate), ZORBIX_FN(C_EncryptFinal), ZORBIX_FN(C_DecryptInit), ZORBIX_FN(C_Decrypt),
    ZORBIX_FN(C_DecryptUpdate), ZORBIX_FN(C_DecryptFinal), ZORBIX_FN(C_DigestInit), ZORBIX_FN(C_Digest),
    ZORBIX_FN(C_DigestUpdate), ZORBIX_FN(C_DigestKey), ZORBIX_FN(C_DigestFinal), ZORBIX_FN(C_SignInit),
    ZORBIX_FN(C_Sign), ZORBIX_FN(C_SignUpdate), ZORBIX_FN(C_SignFinal), ZORBIX_FN(C_SignRecoverInit),
    ZORBIX_FN(C_SignRecover), ZORBIX_FN(C_VerifyInit), ZORBIX_FN(C_Verify), ZORBIX_FN(C_VerifyUpdate),
    ZORBIX_FN(C_VerifyFinal), ZORBIX_FN(C_VerifyRecoverInit), ZORBIX_FN(C_VerifyRecover),
    ZORBIX_FN(C_DigestEncryptUpdate), ZORBIX_FN(C_DecryptDigestUpdate), ZORBIX_FN(C_SignEncryptUpdate),
    ZORBIX_FN(C_DecryptVerifyUpdate), ZORBIX_FN(C_GenerateKey), ZORBIX_FN(C_GenerateKeyPair), ZORBIX_FN(C_WrapKey),
    ZORBIX_FN(C_UnwrapKey), ZORBIX_FN(C_DeriveKey), ZORBIX_FN(C_SeedRandom), ZORBIX_FN(C_GenerateRandom),
    ZORBIX_FN(C_GetFunctionStatus), ZORBIX_FN(C_CancelFunction), ZORBIX_FN(C_WaitForSlotEvent),
};
#undef ZORBIX_FN

TEST_F(ModuleFrame, FunctionListInHeaderOrder) {
  static_assert(std::size(kHeaderOrder) == 68);
  CK_FUNCTION_LIST_PTR list = nullptr;
  ASSERT_EQ(C_GetFunctionList(&list), CKR_OK);
  EXPECT_EQ(list->version.major, 2);
  EXPECT_EQ(list->version.minor, 20);
  // The slots follow the version as one run of 68 pointers.
  const std::size_t first = offsetof(CK_FUNCTION_LIST, C_Initialize);
  ASSERT_EQ(sizeof(CK_FUNCTION_LIST), first + 68 * sizeof(void*));
  const auto* slots = reinterpret_cast<void* const*>(reinterpret_cast<const char*>(list) + first);
  for (std::size_t i = 0; i < 68; ++i)
    EXPECT_EQ(slots[i], kHeaderOrder[i].function) << "slot " << i << " should be " << kHeaderOrder[i].name;
  EXPECT_EQ(C_GetFunctionList(nullptr), CKR_ARGUMENTS_BAD);
}

TEST(RvNames, PrintsNamesAndVendorValues) {
  EXPECT_EQ(to_string(CKR_SLOT_ID_INVALID), "CKR_SLOT_ID_INVALID");
  EXPECT_EQ(to_string(CKR_NO_EVENT), "CKR_NO_EVENT");
  EXPECT_EQ(to_string(0x80106982ul), "CKR_0x80106982");
  EXPECT_STREQ(zorbix::p11::Pkcs11Exception(CKR_PIN_LOCKED).what(), "CKR_PIN_LOCKED");
}

TEST(PcscErrorMap, Table) {
  struct Case {
    LONG status;
    CK_RV rv;
  };
  const Case cases[] = {
      {SCARD_S_SUCCESS, CKR_OK},
      {static_cast<LONG>(SCARD_E_NO_MEMORY), CKR_HOST_MEMORY},
      {static_cast<LONG>(SCARD_E_UNKNOWN_READER), CKR_SLOT_ID_INVALID},
      {static_cast<LONG>(SCARD_E_READER_UNAVAILABLE), CKR_SLOT_ID_INVALID},
      {static_cast<LONG>(SCARD_E_NO_SMARTCARD), CKR_TOKEN_NOT_PRESENT},
      {static_cast<LONG>(SCARD_W_REMOVED_CARD), CKR_TOKEN_NOT_PRESENT},
      {static_cast<LONG>(SCARD_E_NOT_READY), CKR_DEVICE_ERROR},
      {static_cast<LONG>(SCARD_E_READER_UNSUPPORTED), CKR_DEVICE_ERROR},
      {static_cast<LONG>(SCARD_E_TIMEOUT), CKR_GENERAL_ERROR},
      {static_cast<LONG>(SCARD_E_NO_SERVICE), CKR_GENERAL_ERROR},
      {static_cast<LONG>(SCARD_W_RESET_CARD), CKR_GENERAL_ERROR},
  };
  for (const Case& c : cases)
    EXPECT_EQ(to_string(zorbix::p11::MapPcscError(c.status)), to_string(c.rv)) << std::hex << c.status;
}

}  // namespace
