// The built ORVA_P11.so as an outside application sees it: loaded with
// dlopen, reached through C_GetFunctionList.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <p11-kit/pkcs11.h>

#include <cstddef>
#include <cstring>
#include <string>

namespace {

const char* const kNames[] = {
    "C_Initialize", "C_Finalize", "C_GetInfo", "C_GetFunctionList", "C_GetSlotList", "C_GetSlotInfo",
    "C_GetTokenInfo", "C_GetMechanismList", "C_GetMechanismInfo", "C_InitToken", "C_InitPIN", "C_SetPIN",
    "C_OpenSession", "C_CloseSession", "C_CloseAllSessions", "C_GetSessionInfo", "C_GetOperationState",
    "C_SetOperationState", "C_Login", "C_Logout", "C_CreateObject", "C_CopyObject", "C_DestroyObject",
    "C_GetObjectSize", "C_GetAttributeValue", "C_SetAttributeValue", "C_FindObjectsInit", "C_FindObjects",
    "C_FindObjectsFinal", "C_EncryptInit", "C_Encrypt", "C_EncryptUpdate", "C_EncryptFinal", "C_DecryptInit",
    "C_Decrypt", "C_DecryptUpdate", "C_DecryptFinal", "C_DigestInit", "C_Digest", "C_DigestUpdate",
    "C_DigestKey", "C_DigestFinal", "C_SignInit", "C_Sign", "C_SignUpdate", "C_SignFinal",
    "C_SignRecoverInit", "C_SignRecover", "C_VerifyInit", "C_Verify", "C_VerifyUpdate", "C_VerifyFinal",
    "C_VerifyRecoverInit", "C_VerifyRecover", "C_DigestEncryptUpdate", "C_DecryptDigestUpdate",
    "C_SignEncryptUpdate", "C_DecryptVerifyUpdate", "C_GenerateKey", "C_GenerateKeyPair", "C_WrapKey",
    "C_UnwrapKey", "C_DeriveKey", "C_SeedRandom", "C_GenerateRandom", "C_GetFunctionStatus",
    "C_CancelFunction", "C_WaitForSlotEvent",
};

TEST(SharedModule, ListPointsAtTheExportsInHeaderOrder) {
  void* lib = dlopen(ZORBIX_P11_MODULE, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(lib, "C_GetFunctionList"));
  ASSERT_NE(getList, nullptr);
  CK_FUNCTION_LIST_PTR list = nullptr;
  ASSERT_EQ(getList(&list), CKR_OK);
  EXPECT_EQ(list->version.major, 2);
  EXPECT_EQ(list->version.minor, 20);
  const auto* slots = reinterpret_cast<void* const*>(reinterpret_cast<const char*>(list) +
                                                     offsetof(CK_FUNCTION_LIST, C_Initialize));
  static_assert(std::size(kNames) == 68);
  for (std::size_t i = 0; i < 68; ++i) EXPECT_EQ(slots[i], dlsym(lib, kNames[i])) << kNames[i];

  EXPECT_EQ(list->C_GetInfo(nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);
  EXPECT_EQ(list->C_SeedRandom(0, nullptr, 0), CKR_FUNCTION_NOT_SUPPORTED);
  EXPECT_EQ(dlsym(lib, "_ZN6zorbix3p116ModuleEv"), nullptr) << "internal names stay inside";
  dlclose(lib);
}

}  // namespace
