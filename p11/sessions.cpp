// Token contexts (card connection, files, objects, login state) and the
// session entry points that share them.
#include "p11/sessions.h"

#include "comm/communicator.h"
#include "comm/fileaccess.h"
#include "p11/pkcs11exception.h"
#include "p11/slots.h"
#include "p11/tokentypes.h"
#include "pkcs15/freespace.h"
#include "pkcs15/p15files.h"

namespace zorbix::p11 {

namespace {

[[noreturn]] void Fail(CK_RV rv) { throw Pkcs11Exception(rv); }

constexpr CK_FLAGS kPinFlags = CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_LOCKED;

ByteView Secret(CK_UTF8CHAR_PTR p, CK_ULONG len) {
  if (!p && len != 0) Fail(CKR_ARGUMENTS_BAD);
  if (!p) return {};
  return {p, static_cast<std::size_t>(len)};
}

}  // namespace

// ---------------------------------------------------------------- CTokenContext

CTokenContext::CTokenContext(CSlot& slot, const CTokenType& type)
    : slot_(slot),
      slotId_(slot.Id()),
      certificates_(std::make_unique<p15::CP15CDF>()),
      privateKeys_(std::make_unique<p15::CP15PrKDF>()),
      publicKeys_(std::make_unique<p15::CP15PuKDF>()),
      dataObjects_(std::make_unique<p15::CP15DODF>()),
      unusedSpace_(std::make_unique<p15::CP15EFUS>()) {
  standardFormat_ = type.asn1Flags & 1;
  pathForm_ = type.asn1Flags & 2;
  communicator_ = comm::CreateCommunicator(slot, type);
  cardHandle_ = slot.CardHandle();
}

CTokenContext::~CTokenContext() {
  communicator_.reset();
  sign_.Reset();
  verify_.Reset();
  decrypt_.Reset();
  // The files share their objects with the store; both go, and with them
  // every object.
  unusedSpace_.reset();
  certificates_.reset();
  privateKeys_.reset();
  publicKeys_.reset();
  dataObjects_.reset();
  find_ = {};
}

void CTokenContext::SignOperation::Reset() {
  active = false;
  WipeMemory(signature.data(), signature.size());
  signature.clear();
  mechanism.reset();
}

void CTokenContext::VerifyOperation::Reset() {
  active = false;
  mechanism.reset();
}

void CTokenContext::DecryptOperation::Reset() {
  active = false;
  WipeMemory(plaintext.data(), plaintext.size());
  plaintext.clear();
  mechanism.reset();
}

bool CTokenContext::CardConnected() const {
  const SCARDHANDLE now = slot_.CardHandle();
  return now != 0 && now == cardHandle_;
}

CTokenContext::CardWork::CardWork(CTokenContext& context)
    : context_(context), hold_(context.slot_.HoldCardState()) {
  if (context_.workDepth_ == 0) {
    if (!context_.CardConnected()) Fail(CKR_SESSION_HANDLE_INVALID);
    comm::BeginTransaction(context_.slot_);
  }
  ++context_.workDepth_;
}

CTokenContext::CardWork::~CardWork() {
  if (--context_.workDepth_ == 0) comm::EndTransaction(context_.slot_);
}

bool CTokenContext::LoggedIn() const {
  return state_ == CKS_RO_USER_FUNCTIONS || state_ == CKS_RW_USER_FUNCTIONS ||
         state_ == CKS_RW_SO_FUNCTIONS;
}

p15::CP15File& CTokenContext::DirectoryOfClass(CK_OBJECT_CLASS objectClass) {
  switch (objectClass) {
    case CKO_DATA:
      return *dataObjects_;
    case CKO_CERTIFICATE:
      return *certificates_;
    case CKO_PUBLIC_KEY:
      return *publicKeys_;
    case CKO_PRIVATE_KEY:
      return *privateKeys_;
    default:
      Fail(CKR_ATTRIBUTE_TYPE_INVALID);
  }
}

void CTokenContext::ReadCardFiles() {
  comm::CCommFileAccess access(*communicator_);
  slot_.SetTokenNotRecognised(false);
  slot_.TokenInfo().Read(access);
  p15::CP15File* const directories[] = {certificates_.get(), privateKeys_.get(), publicKeys_.get(),
                                        dataObjects_.get()};
  for (p15::CP15File* file : directories) {
    if (file->Loaded()) continue;
    file->Read(access);
    for (const auto& object : file->Objects()) objects_.Add(object);
    if (file->PathForm() != 2) pathForm_ = file->PathForm();
    if (file->StandardFormat() != 1) standardFormat_ = file->StandardFormat();
  }
}

void CTokenContext::ReadCompressed(ByteView path, std::vector<std::uint8_t>& out) {
  CardWork work(*this);
  communicator_->ReadCompressed(path, out);
}

void CTokenContext::ReadPublicKey(std::uint8_t keyReference, std::vector<std::uint8_t>& exponent,
                                  std::vector<std::uint8_t>& modulus) {
  {
    CardWork work(*this);
    communicator_->ReadPublicKey(keyReference, exponent, modulus);
  }
  for (const auto& object : objects_.Objects()) {
    auto* key = dynamic_cast<CPKCS11KeyObject*>(object.get());
    if (!key || key->KeyReference() != keyReference) continue;
    if (key->Has(CKA_MODULUS) || key->Has(CKA_PUBLIC_EXPONENT)) continue;
    key->Set(CKA_PUBLIC_EXPONENT, exponent);
    key->Set(CKA_MODULUS, modulus);
  }
}

// ---------------------------------------------------------------- CSessionManager

CSessionManager::CSessionManager() = default;
CSessionManager::~CSessionManager() = default;

bool CSessionManager::Resolves(CK_SESSION_HANDLE hSession) const {
  auto it = sessions_.find(hSession);
  return it != sessions_.end() && contexts_.count(it->second) != 0;
}

CTokenContext& CSessionManager::ContextOfSession(CK_SESSION_HANDLE hSession) {
  auto it = sessions_.find(hSession);
  if (it == sessions_.end()) Fail(CKR_SESSION_HANDLE_INVALID);
  auto ctx = contexts_.find(it->second);
  if (ctx == contexts_.end()) Fail(CKR_SLOT_ID_INVALID);
  return *ctx->second;
}

CTokenContext& CSessionManager::ContextOfSlot(CK_SLOT_ID slotID) {
  CTokenContext* ctx = FindContextOfSlot(slotID);
  if (!ctx) Fail(CKR_SLOT_ID_INVALID);
  return *ctx;
}

CTokenContext* CSessionManager::FindContextOfSlot(CK_SLOT_ID slotID) {
  auto it = contexts_.find(slotID);
  return it == contexts_.end() ? nullptr : it->second.get();
}

void CSessionManager::DestroyContextOfSlot(CK_SLOT_ID slotID) {
  auto it = contexts_.find(slotID);
  if (it == contexts_.end()) return;
  // Out of the map first: nothing reaches a context being destroyed.
  std::unique_ptr<CTokenContext> context = std::move(it->second);
  contexts_.erase(it);
  for (auto s = sessions_.begin(); s != sessions_.end();)
    s = s->second == slotID ? sessions_.erase(s) : std::next(s);
}

void CSessionManager::DestroyContextOfSession(CK_SESSION_HANDLE hSession) {
  auto it = sessions_.find(hSession);
  if (it == sessions_.end() || contexts_.count(it->second) == 0) Fail(CKR_SESSION_HANDLE_INVALID);
  DestroyContextOfSlot(it->second);
}

CTokenContext& CSessionManager::CreateContext(CSlotManager& slots, CK_SLOT_ID slotID) {
  CSlot& slot = slots.FindSlot(slotID);
  const auto hold = slot.HoldCardState();
  slot.ForgetSwappedCard();
  const CTokenType& type = TokenTypeOfSlot(slot);
  auto context = std::make_unique<CTokenContext>(slot, type);
  CTokenContext& ref = *context;
  contexts_[slotID] = std::move(context);
  return ref;
}

CK_SESSION_HANDLE CSessionManager::OpenSession(CSlotManager& slots, CK_SLOT_ID slotID,
                                               CK_FLAGS flags) {
  if (!(flags & CKF_SERIAL_SESSION)) Fail(CKR_SESSION_PARALLEL_NOT_SUPPORTED);
  CTokenContext* context = FindContextOfSlot(slotID);
  // The card of the open sessions went away and may be back: those sessions
  // are over, and this one is for the card in the reader now.
  if (context && !context->CardConnected()) {
    DestroyContextOfSlot(slotID);
    context = nullptr;
  }
  if (context) {
    try {
      return OpenOn(*context, flags);
    } catch (const Pkcs11Exception& e) {
      // The card left under the open sessions without a call noticing yet.
      if (e.rv() != CKR_SESSION_HANDLE_INVALID) throw;
      DestroyContextOfSlot(slotID);
    }
  }
  return OpenOn(CreateContext(slots, slotID), flags);
}

CK_SESSION_HANDLE CSessionManager::OpenOn(CTokenContext& context, CK_FLAGS flags) {
  try {
    CTokenContext::CardWork work(context);
    const bool rw = (flags & CKF_RW_SESSION) != 0;
    CK_STATE& state = context.state_;
    if (state == kNoSessionState) {
      state = rw ? CKS_RW_PUBLIC_SESSION : CKS_RO_PUBLIC_SESSION;
      context.sessionFlags_ = flags;
    } else {
      if (!rw && state == CKS_RW_SO_FUNCTIONS) Fail(CKR_SESSION_READ_WRITE_SO_EXISTS);
      if (rw && state == CKS_RO_PUBLIC_SESSION) state = CKS_RW_PUBLIC_SESSION;
      if (rw && state == CKS_RO_USER_FUNCTIONS) state = CKS_RW_USER_FUNCTIONS;
      context.sessionFlags_ &= flags;
    }
    context.ReadCardFiles();
    const CK_SESSION_HANDLE handle = nextSession_++;
    sessions_[handle] = context.SlotId();
    context.sessions_[handle] = flags;
    return handle;
  } catch (...) {
    if (context.SessionCount() == 0) DestroyContextOfSlot(context.SlotId());
    throw;
  }
}

void CSessionManager::CloseSession(CK_SESSION_HANDLE hSession) {
  CTokenContext& context = ContextOfSession(hSession);
  if (context.SessionCount() < 2) {
    DestroyContextOfSession(hSession);
    return;
  }
  if (context.sessions_.erase(hSession) == 0) Fail(CKR_SESSION_HANDLE_INVALID);
  sessions_.erase(hSession);
}

void CSessionManager::CloseAllSessions(CK_SLOT_ID slotID) { DestroyContextOfSlot(slotID); }

void CSessionManager::GetSessionInfo(CK_SESSION_HANDLE hSession, CK_SESSION_INFO_PTR pInfo) {
  if (!pInfo) Fail(CKR_ARGUMENTS_BAD);
  const CTokenContext& context = ContextOfSession(hSession);
  pInfo->slotID = context.SlotId();
  pInfo->state = context.State();
  pInfo->flags = context.SessionFlags();
  pInfo->ulDeviceError = context.DeviceError();
}

void CSessionManager::Login(CK_SESSION_HANDLE hSession, CK_USER_TYPE userType,
                            CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen) {
  const ByteView pin = Secret(pPin, ulPinLen);
  CTokenContext& context = ContextOfSession(hSession);
  CTokenContext::CardWork work(context);
  const bool so = userType == CKU_SO;
  const CK_STATE state = context.State();
  if ((state == CKS_RW_SO_FUNCTIONS && !so) ||
      ((state == CKS_RO_USER_FUNCTIONS || state == CKS_RW_USER_FUNCTIONS) && so))
    Fail(CKR_USER_ANOTHER_ALREADY_LOGGED_IN);
  if (state == CKS_RO_PUBLIC_SESSION && so) Fail(CKR_SESSION_READ_ONLY_EXISTS);
  if (context.LoggedIn()) Fail(CKR_USER_ALREADY_LOGGED_IN);

  // The SO verifies the same card PIN as the user.
  context.Communicator().VerifyPin(pin);

  if (so) {
    if (state == CKS_RW_PUBLIC_SESSION) context.state_ = CKS_RW_SO_FUNCTIONS;
  } else if (state == CKS_RO_PUBLIC_SESSION) {
    context.state_ = CKS_RO_USER_FUNCTIONS;
  } else if (state == CKS_RW_PUBLIC_SESSION) {
    context.state_ = CKS_RW_USER_FUNCTIONS;
  }
}

void CSessionManager::Logout(CK_SESSION_HANDLE hSession) {
  CTokenContext& context = ContextOfSession(hSession);
  switch (context.State()) {
    case CKS_RO_USER_FUNCTIONS:
      context.state_ = CKS_RO_PUBLIC_SESSION;
      break;
    case CKS_RW_USER_FUNCTIONS:
    case CKS_RW_SO_FUNCTIONS:
      context.state_ = CKS_RW_PUBLIC_SESSION;
      break;
    default:
      Fail(CKR_USER_NOT_LOGGED_IN);
  }
}

void CSessionManager::SetPin(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pOldPin,
                             CK_ULONG ulOldLen, CK_UTF8CHAR_PTR pNewPin, CK_ULONG ulNewLen) {
  const ByteView oldPin = Secret(pOldPin, ulOldLen);
  const ByteView newPin = Secret(pNewPin, ulNewLen);
  CTokenContext& context = ContextOfSession(hSession);
  CTokenContext::CardWork work(context);
  context.Communicator().ChangePin(oldPin, newPin, 1);
}

void CSessionManager::ApplyPinFlags(CK_SLOT_ID slotID, CK_TOKEN_INFO& info) {
  CTokenContext* context = FindContextOfSlot(slotID);
  if (!context) return;
  std::uint16_t tries = 0;
  try {
    CTokenContext::CardWork work(*context);
    tries = context->Communicator().GetPinTries();
  } catch (const Pkcs11Exception& e) {
    if (e.rv() != CKR_SESSION_HANDLE_INVALID) throw;
    DestroyContextOfSlot(slotID);
    return;
  }
  info.flags &= ~kPinFlags;
  if (tries == 0)
    info.flags |= CKF_USER_PIN_LOCKED | CKF_USER_PIN_COUNT_LOW;
  else if (tries == 1)
    info.flags |= CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_COUNT_LOW;
  else if (tries == 2)
    info.flags |= CKF_USER_PIN_COUNT_LOW;
}

}  // namespace zorbix::p11
