// Session handles and the per-slot token contexts they share.
#pragma once

#include <p11-kit/pkcs11.h>

#include <map>
#include <memory>

namespace zorbix::p11 {

class CSlotManager;
class CTokenContext;

// Until token contexts exist this manager knows no session: every session
// handle is invalid and opening one fails because no token is recognised.
class CSessionManager {
 public:
  CSessionManager();
  ~CSessionManager();

  // True when the handle names an open session with a token context; the
  // call frame asks this before a body runs (removal rule).
  bool Resolves(CK_SESSION_HANDLE hSession) const;

  CTokenContext& ContextOfSession(CK_SESSION_HANDLE hSession);
  CTokenContext& ContextOfSlot(CK_SLOT_ID slotID);
  void DestroyContextOfSlot(CK_SLOT_ID slotID);
  // The removal step: the session's card went away.
  void DestroyContextOfSession(CK_SESSION_HANDLE hSession);

  // Bodies of the session entry points.
  CK_SESSION_HANDLE OpenSession(CSlotManager& slots, CK_SLOT_ID slotID, CK_FLAGS flags);
  void CloseSession(CK_SESSION_HANDLE hSession);
  void CloseAllSessions(CK_SLOT_ID slotID);
  void GetSessionInfo(CK_SESSION_HANDLE hSession, CK_SESSION_INFO_PTR pInfo);

 private:
  std::map<CK_SLOT_ID, std::unique_ptr<CTokenContext>> contexts_;
  std::map<CK_SESSION_HANDLE, CK_SLOT_ID> sessions_;
};

}  // namespace zorbix::p11
