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
  const CK_SESSION_HANDLE s = kNoSession;
  return {
      {"C_GetInfo", [] { return C_GetInfo(nullptr); }, Kind::Other, CKR_ARGUMENTS_BAD},
      {"C_GetSlotList", [] { return C_GetSlotList(CK_FALSE, nullptr, nullptr); }, Kind::Other, CKR_ARGUMENTS_BAD},
      {"C_GetSlotInfo", [] { return C_GetSlotInfo(kNoSlot, nullptr); }, Kind::Other, CKR_ARGUMENTS_BAD},
      {"C_GetTokenInfo", [] { return C_GetTokenInfo(kNoSlot, nullptr); }, Kind::Other, CKR_SLOT_ID_INVALID},
      {"C_GetMechanismList", [] { return C_GetMechanismList(kNoSlot, nullptr, &countOut); }, Kind::Other, CKR_SLOT_ID_INVALID},
      {"C_GetMechanismInfo", [] { return C_GetMechanismInfo(kNoSlot, CKM_RSA_PKCS, nullptr); }, Kind::Other, CKR_HOST_MEMORY},
      {"C_InitToken", [] { return C_InitToken(kNoSlot, nullptr, 0, nullptr); }, Kind::Stub},
      {"C_InitPIN", [s] { return C_InitPIN(s, nullptr, 0); }, Kind::Stub},
      {"C_SetPIN", [s] { return C_SetPIN(s, nullptr, 0, nullptr, 0); }, Kind::Session},
      {"C_OpenSession", [] { CK_SESSION_HANDLE h; return C_OpenSession(kNoSlot, CKF_SERIAL_SESSION, nullptr, nullptr, &h); }, Kind::Other, CKR_SLOT_ID_INVALID},
      {"C_CloseSession", [s] { return C_CloseSession(s); }, Kind::Session},
      {"C_CloseAllSessions", [] { return C_CloseAllSessions(kNoSlot); }, Kind::Other, CKR_OK},
      {"C_GetSessionInfo", [s] { CK_SESSION_INFO i; return C_GetSessionInfo(s, &i); }, Kind::Session},
      {"C_GetOperationState", [s] { return C_GetOperationState(s, nullptr, nullptr); }, Kind::Stub},
      {"C_SetOperationState", [s] { return C_SetOperationState(s, nullptr, 0, 0, 0); }, Kind::Stub},
      {"C_Login", [s] { return C_Login(s, CKU_USER, nullptr, 0); }, Kind::Session},
      {"C_Logout", [s] { return C_Logout(s); }, Kind::Session},
      {"C_CreateObject", [s] { return C_CreateObject(s, nullptr, 0, nullptr); }, Kind::Session},
      {"C_CopyObject", [s] { return C_CopyObject(s, 0, nullptr, 0, nullptr); }, Kind::Stub},
      {"C_DestroyObject", [s] { return C_DestroyObject(s, 0); }, Kind::Session},
      {"C_GetObjectSize", [s] { return C_GetObjectSize(s, 0, nullptr); }, Kind::Stub},
      {"C_GetAttributeValue", [s] { return C_GetAttributeValue(s, 0, nullptr, 0); }, Kind::Session},
      {"C_SetAttributeValue", [s] { return C_SetAttributeValue(s, 0, nullptr, 0); }, Kind::Session},
      {"C_FindObjectsInit", [s] { return C_FindObjectsInit(s, nullptr, 0); }, Kind::Session},
      {"C_FindObjects", [s] { CK_ULONG n; return C_FindObjects(s, nullptr, 0, &n); }, Kind::Session},
      {"C_FindObjectsFinal", [s] { return C_FindObjectsFinal(s); }, Kind::Session},
      {"C_EncryptInit", [s] { return C_EncryptInit(s, nullptr, 0); }, Kind::Stub},
      {"C_Encrypt", [s] { return C_Encrypt(s, nullptr, 0, nullptr, nullptr); }, Kind::Stub},
      {"C_EncryptUpdate", [s] { return C_EncryptUpdate(s, nullptr, 0, nullptr, nullptr); }, Kind::Stub},
      {"C_EncryptFinal", [s] { return C_EncryptFinal(s, nullptr, nullptr); }, Kind::Stub},
      {"C_DecryptInit", [s] { return C_DecryptInit(s, nullptr, 0); }, Kind::Other, CKR_ARGUMENTS_BAD},
      {"C_Decrypt", [s] { return C_Decrypt(s, nullptr, 0, nullptr, nullptr); }, Kind::Other, CKR_ARGUMENTS_BAD},
      {"C_DecryptUpdate", [s] { return C_DecryptUpdate(s, nullptr, 0, nullptr, nullptr); }, Kind::Stub},
      {"C_DecryptFinal", [s] { return C_DecryptFinal(s, nullptr, nullptr); }, Kind::Stub},
      {"C_DigestInit", [s] { return C_DigestInit(s, nullptr); }, Kind::Stub},
      {"C_Digest", [s] { return C_Digest(s, nullptr, 0, nullptr, nullptr); }, Kind::Stub},
      {"C_DigestUpdate", [s] { return C_DigestUpdate(s, nullptr, 0); }, Kind::Stub},
      {"C_DigestKey", [s] { return C_DigestKey(s, 0); }, Kind::Stub},
      {"C_DigestFinal", [s] { return C_DigestFinal(s, nullptr, nullptr); }, Kind::Stub},
      {"C_SignInit", [s] { return C_SignInit(s, nullptr, 0); }, Kind::Other, CKR_ARGUMENTS_BAD},
      {"C_Sign", [s] { return C_Sign(s, nullptr, 0, nullptr, nullptr); }, Kind::Other, CKR_ARGUMENTS_BAD},
      {"C_SignUpdate", [s] { return C_SignUpdate(s, nullptr, 0); }, Kind::Session},
      {"C_SignFinal", [s] { return C_SignFinal(s, nullptr, nullptr); }, Kind::Session},
      {"C_SignRecoverInit", [s] { return C_SignRecoverInit(s, nullptr, 0); }, Kind::Stub},
      {"C_SignRecover", [s] { return C_SignRecover(s, nullptr, 0, nullptr, nullptr); }, Kind::Stub},
      {"C_VerifyInit", [s] { return C_VerifyInit(s, nullptr, 0); }, Kind::Other, CKR_ARGUMENTS_BAD},
      {"C_Verify", [s] { return C_Verify(s, nullptr, 0, nullptr, 0); }, Kind::Session},
      {"C_VerifyUpdate", [s] { return C_VerifyUpdate(s, nullptr, 0); }, Kind::Stub},
      {"C_VerifyFinal", [s] { return C_VerifyFinal(s, nullptr, 0); }, Kind::Stub},
      {"C_VerifyRecoverInit", [s] { return C_VerifyRecoverInit(s, nullptr, 0); }, Kind::Stub},
      {"C_VerifyRecover", [s] { return C_VerifyRecover(s, nullptr, 0, nullptr, nullptr); }, Kind::Stub},
      {"C_DigestEncryptUpdate", [s] { return C_DigestEncryptUpdate(s, nullptr, 0, nullptr, nullptr); }, Kind::Stub},
      {"C_DecryptDigestUpdate", [s] { return C_DecryptDigestUpdate(s, nullptr, 0, nullptr, nullptr); }, Kind::Stub},
      {"C_SignEncryptUpdate", [s] { return C_SignEncryptUpdate(s, nullptr, 0, nullptr, nullptr); }, Kind::Stub},
      {"C_DecryptVerifyUpdate", [s] { return C_DecryptVerifyUpdate(s, nullptr, 0, nullptr, nullptr); }, Kind::Stub},
      {"C_GenerateKey", [s] { return C_GenerateKey(s, nullptr, nullptr, 0, nullptr); }, Kind::Stub},
      {"C_GenerateKeyPair", [s] { return C_GenerateKeyPair(s, nullptr, nullptr, 0, nullptr, 0, nullptr, nullptr); }, Kind::Other, CKR_ARGUMENTS_BAD},
      {"C_WrapKey", [s] { return C_WrapKey(s, nullptr, 0, 0, nullptr, nullptr); }, Kind::Stub},
      {"C_UnwrapKey", [s] { return C_UnwrapKey(s, nullptr, 0, nullptr, 0, nullptr, 0, nullptr); }, Kind::Stub},
      {"C_DeriveKey", [s] { return C_DeriveKey(s, nullptr, 0, nullptr, 0, nullptr); }, Kind::Stub},
      {"C_GenerateRandom", [s] { return C_GenerateRandom(s, nullptr, 0); }, Kind::Other, CKR_ARGUMENTS_BAD},
      {"C_GetFunctionStatus", [s] { return C_GetFunctionStatus(s); }, Kind::Stub},
      {"C_CancelFunction", [s] { return C_CancelFunction(s); }, Kind::Stub},
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
