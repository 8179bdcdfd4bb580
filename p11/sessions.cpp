// Session registry. Token contexts (communicator, files, objects) arrive with
// the session work; until then no session can be opened.
#include "p11/sessions.h"

#include "p11/pkcs11exception.h"
#include "p11/slots.h"
#include "p11/tokentypes.h"

namespace zorbix::p11 {

class CTokenContext {};

CSessionManager::CSessionManager() = default;
CSessionManager::~CSessionManager() = default;

bool CSessionManager::Resolves(CK_SESSION_HANDLE hSession) const {
  auto it = sessions_.find(hSession);
  return it != sessions_.end() && contexts_.count(it->second) != 0;
}

CTokenContext& CSessionManager::ContextOfSession(CK_SESSION_HANDLE hSession) {
  auto it = sessions_.find(hSession);
  if (it == sessions_.end()) throw Pkcs11Exception(CKR_SESSION_HANDLE_INVALID);
  auto ctx = contexts_.find(it->second);
  if (ctx == contexts_.end()) throw Pkcs11Exception(CKR_SLOT_ID_INVALID);
  return *ctx->second;
}

CTokenContext& CSessionManager::ContextOfSlot(CK_SLOT_ID slotID) {
  auto it = contexts_.find(slotID);
  if (it == contexts_.end()) throw Pkcs11Exception(CKR_SLOT_ID_INVALID);
  return *it->second;
}

void CSessionManager::DestroyContextOfSlot(CK_SLOT_ID slotID) {
  auto it = contexts_.find(slotID);
  if (it == contexts_.end()) return;
  contexts_.erase(it);
  for (auto s = sessions_.begin(); s != sessions_.end();)
    s = s->second == slotID ? sessions_.erase(s) : std::next(s);
}

void CSessionManager::DestroyContextOfSession(CK_SESSION_HANDLE hSession) {
  auto it = sessions_.find(hSession);
  if (it == sessions_.end() || contexts_.count(it->second) == 0)
    throw Pkcs11Exception(CKR_SESSION_HANDLE_INVALID);
  DestroyContextOfSlot(it->second);
}

CK_SESSION_HANDLE CSessionManager::OpenSession(CSlotManager& slots, CK_SLOT_ID slotID,
                                               CK_FLAGS flags) {
  if (!(flags & CKF_SERIAL_SESSION)) throw Pkcs11Exception(CKR_SESSION_PARALLEL_NOT_SUPPORTED);
  // A token context needs the slot and its recognised token type; no card
  // type is recognised yet, so every slot ends here.
  CSlot& slot = slots.FindSlot(slotID);
  if (!slot.TokenType()) DetectTokenType(slot);
  throw Pkcs11Exception(CKR_SLOT_ID_INVALID);
}

void CSessionManager::CloseSession(CK_SESSION_HANDLE hSession) {
  ContextOfSession(hSession);
  DestroyContextOfSession(hSession);
}

void CSessionManager::CloseAllSessions(CK_SLOT_ID slotID) { DestroyContextOfSlot(slotID); }

void CSessionManager::GetSessionInfo(CK_SESSION_HANDLE hSession, CK_SESSION_INFO_PTR pInfo) {
  if (!pInfo) throw Pkcs11Exception(CKR_ARGUMENTS_BAD);
  ContextOfSession(hSession);
  throw Pkcs11Exception(CKR_SESSION_HANDLE_INVALID);
}

}  // namespace zorbix::p11
