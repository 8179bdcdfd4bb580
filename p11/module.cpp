// The exported C_ functions, the function list and the module state.
#include "p11/module.h"

#include <cstring>

#include "p11/cryptocalls.h"
#include "p11/objectcalls.h"
#include "p11/pcscerrors.h"
#include "platform/scard.h"

namespace zorbix::p11 {

CModuleState::CModuleState() : slots(context, guard, tokenTypes) {}

CModuleState::~CModuleState() {
  const SCARDCONTEXT ctx = context.exchange(0);
  if (ctx != 0) platform::Scard().ReleaseContext(ctx);
}

CModuleState& Module() {
  // The PC/SC implementation is built first so that it outlives the state.
  static const bool scardFirst = (platform::Scard(), true);
  (void)scardFirst;
  static CModuleState state;
  return state;
}

namespace {
// Builds the state during static initialisation, before any caller.
const bool kStateBuilt = (Module(), true);
}  // namespace

void ValidateThenUnsupported(CK_SESSION_HANDLE hSession) {
  Module().sessions.ContextOfSession(hSession);
  throw Pkcs11Exception(CKR_FUNCTION_NOT_SUPPORTED);
}

CK_RV Stub() noexcept {
  return Module().initialised.load() ? CKR_FUNCTION_NOT_SUPPORTED : CKR_CRYPTOKI_NOT_INITIALIZED;
}

CK_RV Initialize() {
  CModuleState& m = Module();
  if (m.initialised.load()) return CKR_CRYPTOKI_ALREADY_INITIALIZED;
  if (m.context.load() != 0) {
    m.initialised = true;
    return CKR_OK;
  }
  SCARDCONTEXT ctx = 0;
  const LONG rv = platform::Scard().EstablishContext(SCARD_SCOPE_USER, &ctx);
  if (rv == SCARD_S_SUCCESS) m.context = ctx;
  // Initialised even without a context: slot calls then answer
  // CKR_CRYPTOKI_NOT_INITIALIZED.
  m.initialised = true;
  return MapPcscError(rv);
}

CK_RV Finalize() {
  CModuleState& m = Module();
  if (!m.initialised.load()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  m.initialised = false;
  // A C_WaitForSlotEvent blocked in its pass ends now, not at the pass's end.
  m.slots.CancelWait();
  return CKR_OK;
}

void GetInfo(CK_INFO_PTR pInfo) {
  if (!pInfo) throw Pkcs11Exception(CKR_ARGUMENTS_BAD);
  std::memset(pInfo, 0, sizeof *pInfo);
  pInfo->cryptokiVersion = {2, 20};
  PadText(pInfo->manufacturerID, sizeof pInfo->manufacturerID, kLibraryManufacturer);
  pInfo->flags = 0;
  PadText(pInfo->libraryDescription, sizeof pInfo->libraryDescription, kLibraryDescription);
  pInfo->libraryVersion = {0, 1};
}

}  // namespace zorbix::p11

using namespace zorbix::p11;

namespace {

// Designated initialisers in declaration order: the compiler holds us to the
// header's order.
CK_FUNCTION_LIST gFunctionList = {
    .version = {2, 20},
    .C_Initialize = C_Initialize,
    .C_Finalize = C_Finalize,
    .C_GetInfo = C_GetInfo,
    .C_GetFunctionList = C_GetFunctionList,
    .C_GetSlotList = C_GetSlotList,
    .C_GetSlotInfo = C_GetSlotInfo,
    .C_GetTokenInfo = C_GetTokenInfo,
    .C_GetMechanismList = C_GetMechanismList,
    .C_GetMechanismInfo = C_GetMechanismInfo,
    .C_InitToken = C_InitToken,
    .C_InitPIN = C_InitPIN,
    .C_SetPIN = C_SetPIN,
    .C_OpenSession = C_OpenSession,
    .C_CloseSession = C_CloseSession,
    .C_CloseAllSessions = C_CloseAllSessions,
    .C_GetSessionInfo = C_GetSessionInfo,
    .C_GetOperationState = C_GetOperationState,
    .C_SetOperationState = C_SetOperationState,
    .C_Login = C_Login,
    .C_Logout = C_Logout,
    .C_CreateObject = C_CreateObject,
    .C_CopyObject = C_CopyObject,
    .C_DestroyObject = C_DestroyObject,
    .C_GetObjectSize = C_GetObjectSize,
    .C_GetAttributeValue = C_GetAttributeValue,
    .C_SetAttributeValue = C_SetAttributeValue,
    .C_FindObjectsInit = C_FindObjectsInit,
    .C_FindObjects = C_FindObjects,
    .C_FindObjectsFinal = C_FindObjectsFinal,
    .C_EncryptInit = C_EncryptInit,
    .C_Encrypt = C_Encrypt,
    .C_EncryptUpdate = C_EncryptUpdate,
    .C_EncryptFinal = C_EncryptFinal,
    .C_DecryptInit = C_DecryptInit,
    .C_Decrypt = C_Decrypt,
    .C_DecryptUpdate = C_DecryptUpdate,
    .C_DecryptFinal = C_DecryptFinal,
    .C_DigestInit = C_DigestInit,
    .C_Digest = C_Digest,
    .C_DigestUpdate = C_DigestUpdate,
    .C_DigestKey = C_DigestKey,
    .C_DigestFinal = C_DigestFinal,
    .C_SignInit = C_SignInit,
    .C_Sign = C_Sign,
    .C_SignUpdate = C_SignUpdate,
    .C_SignFinal = C_SignFinal,
    .C_SignRecoverInit = C_SignRecoverInit,
    .C_SignRecover = C_SignRecover,
    .C_VerifyInit = C_VerifyInit,
    .C_Verify = C_Verify,
    .C_VerifyUpdate = C_VerifyUpdate,
    .C_VerifyFinal = C_VerifyFinal,
    .C_VerifyRecoverInit = C_VerifyRecoverInit,
    .C_VerifyRecover = C_VerifyRecover,
    .C_DigestEncryptUpdate = C_DigestEncryptUpdate,
    .C_DecryptDigestUpdate = C_DecryptDigestUpdate,
    .C_SignEncryptUpdate = C_SignEncryptUpdate,
    .C_DecryptVerifyUpdate = C_DecryptVerifyUpdate,
    .C_GenerateKey = C_GenerateKey,
    .C_GenerateKeyPair = C_GenerateKeyPair,
    .C_WrapKey = C_WrapKey,
    .C_UnwrapKey = C_UnwrapKey,
    .C_DeriveKey = C_DeriveKey,
    .C_SeedRandom = C_SeedRandom,
    .C_GenerateRandom = C_GenerateRandom,
    .C_GetFunctionStatus = C_GetFunctionStatus,
    .C_CancelFunction = C_CancelFunction,
    .C_WaitForSlotEvent = C_WaitForSlotEvent,
};

}  // namespace

extern "C" {

CK_RV C_Initialize(CK_VOID_PTR) { return Call(Frame::None, std::nullopt, [] { return Initialize(); }); }
CK_RV C_Finalize(CK_VOID_PTR) { return Call(Frame::None, std::nullopt, [] { return Finalize(); }); }
CK_RV C_GetInfo(CK_INFO_PTR pInfo) { return Unlocked([&] { GetInfo(pInfo); }); }
CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR ppFunctionList) {
  return Call(Frame::None, std::nullopt, [&] {
    if (!ppFunctionList) throw Pkcs11Exception(CKR_ARGUMENTS_BAD);
    *ppFunctionList = &gFunctionList;
  });
}

CK_RV C_GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR pSlotList, CK_ULONG_PTR pulCount) {
  return LockedSlot(0, [&] { return Module().slots.GetSlotList(tokenPresent, pSlotList, pulCount); });
}
CK_RV C_GetSlotInfo(CK_SLOT_ID slotID, CK_SLOT_INFO_PTR pInfo) {
  return LockedSlot(slotID, [&] { Module().slots.GetSlotInfo(slotID, pInfo); });
}
CK_RV C_GetTokenInfo(CK_SLOT_ID slotID, CK_TOKEN_INFO_PTR pInfo) {
  return LockedSlot(slotID, [&] { GetTokenInfo(Module().slots, slotID, pInfo, &Module().sessions); });
}
CK_RV C_GetMechanismList(CK_SLOT_ID slotID, CK_MECHANISM_TYPE_PTR pMechanismList, CK_ULONG_PTR pulCount) {
  return LockedSlot(slotID, [&] { GetMechanismList(Module().slots, slotID, pMechanismList, pulCount); });
}
CK_RV C_GetMechanismInfo(CK_SLOT_ID slotID, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR pInfo) {
  return LockedSlot(slotID, [&] { GetMechanismInfo(Module().slots, slotID, type, pInfo); });
}
CK_RV C_InitToken(CK_SLOT_ID, CK_UTF8CHAR_PTR, CK_ULONG, CK_UTF8CHAR_PTR) { return Stub(); }
CK_RV C_InitPIN(CK_SESSION_HANDLE, CK_UTF8CHAR_PTR, CK_ULONG) { return Stub(); }
CK_RV C_SetPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pOldPin, CK_ULONG ulOldLen, CK_UTF8CHAR_PTR pNewPin,
               CK_ULONG ulNewLen) {
  return Locked([&] { Module().sessions.SetPin(hSession, pOldPin, ulOldLen, pNewPin, ulNewLen); });
}

CK_RV C_OpenSession(CK_SLOT_ID slotID, CK_FLAGS flags, CK_VOID_PTR, CK_NOTIFY, CK_SESSION_HANDLE_PTR phSession) {
  return LockedSlot(slotID, [&] {
    if (!phSession) throw Pkcs11Exception(CKR_ARGUMENTS_BAD);
    *phSession = Module().sessions.OpenSession(Module().slots, slotID, flags);
  });
}
CK_RV C_CloseSession(CK_SESSION_HANDLE hSession) {
  return LockedRemoval(hSession, [&] { Module().sessions.CloseSession(hSession); });
}
CK_RV C_CloseAllSessions(CK_SLOT_ID slotID) {
  return LockedSlot(slotID, [&] { Module().sessions.CloseAllSessions(slotID); });
}
CK_RV C_GetSessionInfo(CK_SESSION_HANDLE hSession, CK_SESSION_INFO_PTR pInfo) {
  return Locked([&] { Module().sessions.GetSessionInfo(hSession, pInfo); });
}
CK_RV C_GetOperationState(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR) { return Stub(); }
CK_RV C_SetOperationState(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_OBJECT_HANDLE, CK_OBJECT_HANDLE) { return Stub(); }
CK_RV C_Login(CK_SESSION_HANDLE hSession, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen) {
  return LockedRemoval(hSession, [&] { Module().sessions.Login(hSession, userType, pPin, ulPinLen); });
}
CK_RV C_Logout(CK_SESSION_HANDLE hSession) {
  return Locked([&] { Module().sessions.Logout(hSession); });
}

CK_RV C_CreateObject(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount,
                     CK_OBJECT_HANDLE_PTR phObject) {
  return LockedRemoval(hSession, [&] { CreateObject(Module().sessions, hSession, pTemplate, ulCount, phObject); });
}
CK_RV C_CopyObject(CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR) { return Stub(); }
CK_RV C_DestroyObject(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject) {
  return LockedRemoval(hSession, [&] { DestroyObject(Module().sessions, hSession, hObject); });
}
CK_RV C_GetObjectSize(CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ULONG_PTR) { return Stub(); }
CK_RV C_GetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate,
                          CK_ULONG ulCount) {
  return LockedRemoval(hSession, [&] {
    return GetAttributeValue(Module().sessions, hSession, hObject, pTemplate, ulCount);
  });
}
CK_RV C_SetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate,
                          CK_ULONG ulCount) {
  return LockedRemoval(hSession, [&] {
    SetAttributeValue(Module().sessions, hSession, hObject, pTemplate, ulCount);
  });
}
CK_RV C_FindObjectsInit(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
  return LockedRemoval(hSession, [&] { FindObjectsInit(Module().sessions, hSession, pTemplate, ulCount); });
}
CK_RV C_FindObjects(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR phObject, CK_ULONG ulMaxObjectCount,
                    CK_ULONG_PTR pulObjectCount) {
  return Locked([&] { FindObjects(Module().sessions, hSession, phObject, ulMaxObjectCount, pulObjectCount); });
}
CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE hSession) {
  return Locked([&] { FindObjectsFinal(Module().sessions, hSession); });
}

CK_RV C_EncryptInit(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) { return Stub(); }
CK_RV C_Encrypt(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) { return Stub(); }
CK_RV C_EncryptUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) { return Stub(); }
CK_RV C_EncryptFinal(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR) { return Stub(); }
CK_RV C_DecryptInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
  return LockedRemoval(hSession, [&] { DecryptInit(Module().sessions, hSession, pMechanism, hKey); });
}
CK_RV C_Decrypt(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedData, CK_ULONG ulEncryptedDataLen, CK_BYTE_PTR pData,
                CK_ULONG_PTR pulDataLen) {
  return LockedRemoval(hSession, [&] {
    Decrypt(Module().sessions, hSession, pEncryptedData, ulEncryptedDataLen, pData, pulDataLen);
  });
}
CK_RV C_DecryptUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) { return Stub(); }
CK_RV C_DecryptFinal(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR) { return Stub(); }
CK_RV C_DigestInit(CK_SESSION_HANDLE, CK_MECHANISM_PTR) { return Stub(); }
CK_RV C_Digest(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) { return Stub(); }
CK_RV C_DigestUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG) { return Stub(); }
CK_RV C_DigestKey(CK_SESSION_HANDLE, CK_OBJECT_HANDLE) { return Stub(); }
CK_RV C_DigestFinal(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR) { return Stub(); }
CK_RV C_SignInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
  return LockedRemoval(hSession, [&] { SignInit(Module().sessions, hSession, pMechanism, hKey); });
}
CK_RV C_Sign(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pSignature,
             CK_ULONG_PTR pulSignatureLen) {
  return LockedRemoval(hSession, [&] {
    Sign(Module().sessions, hSession, pData, ulDataLen, pSignature, pulSignatureLen);
  });
}
CK_RV C_SignUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR, CK_ULONG) {
  return Locked([&] { ValidateThenUnsupported(hSession); });
}
CK_RV C_SignFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR, CK_ULONG_PTR) {
  return Locked([&] { ValidateThenUnsupported(hSession); });
}
CK_RV C_SignRecoverInit(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) { return Stub(); }
CK_RV C_SignRecover(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) { return Stub(); }
CK_RV C_VerifyInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
  return LockedRemoval(hSession, [&] { VerifyInit(Module().sessions, hSession, pMechanism, hKey); });
}
CK_RV C_Verify(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pSignature,
               CK_ULONG ulSignatureLen) {
  return LockedRemoval(hSession, [&] {
    Verify(Module().sessions, hSession, pData, ulDataLen, pSignature, ulSignatureLen);
  });
}
CK_RV C_VerifyUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG) { return Stub(); }
CK_RV C_VerifyFinal(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG) { return Stub(); }
CK_RV C_VerifyRecoverInit(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) { return Stub(); }
CK_RV C_VerifyRecover(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) { return Stub(); }
CK_RV C_DigestEncryptUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) { return Stub(); }
CK_RV C_DecryptDigestUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) { return Stub(); }
CK_RV C_SignEncryptUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) { return Stub(); }
CK_RV C_DecryptVerifyUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) { return Stub(); }
CK_RV C_GenerateKey(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR) { return Stub(); }
CK_RV C_GenerateKeyPair(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_ATTRIBUTE_PTR pPublicKeyTemplate,
                        CK_ULONG ulPublicKeyAttributeCount, CK_ATTRIBUTE_PTR pPrivateKeyTemplate,
                        CK_ULONG ulPrivateKeyAttributeCount, CK_OBJECT_HANDLE_PTR phPublicKey,
                        CK_OBJECT_HANDLE_PTR phPrivateKey) {
  return LockedRemoval(hSession, [&] {
    GenerateKeyPair(Module().sessions, hSession, pMechanism, pPublicKeyTemplate, ulPublicKeyAttributeCount,
                    pPrivateKeyTemplate, ulPrivateKeyAttributeCount, phPublicKey, phPrivateKey);
  });
}
CK_RV C_WrapKey(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_OBJECT_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR) { return Stub(); }
CK_RV C_UnwrapKey(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_ATTRIBUTE_PTR, CK_ULONG,
                  CK_OBJECT_HANDLE_PTR) { return Stub(); }
CK_RV C_DeriveKey(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR) { return Stub(); }
// The card's generator takes no seed; nothing is checked, not even initialisation.
CK_RV C_SeedRandom(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG) { return CKR_FUNCTION_NOT_SUPPORTED; }
CK_RV C_GenerateRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pRandomData, CK_ULONG ulRandomLen) {
  return LockedRemoval(hSession, [&] { GenerateRandom(Module().sessions, hSession, pRandomData, ulRandomLen); });
}
CK_RV C_GetFunctionStatus(CK_SESSION_HANDLE) { return Stub(); }
CK_RV C_CancelFunction(CK_SESSION_HANDLE) { return Stub(); }
CK_RV C_WaitForSlotEvent(CK_FLAGS flags, CK_SLOT_ID_PTR pSlot, CK_VOID_PTR) {
  return Unlocked([&] { return Module().slots.WaitForSlotEvent(flags, pSlot, [] { return Module().initialised.load(); }); });
}


}  // extern "C"
