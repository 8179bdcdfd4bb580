// Bodies of the object entry points: searching and reading a token's
// objects, and changing, creating and destroying them (on the card for
// token objects).
#pragma once

#include <p11-kit/pkcs11.h>

#include "comm/fileaccess.h"
#include "pkcs15/freespace.h"

namespace zorbix::p11 {

class CSessionManager;
class CTokenContext;

void FindObjectsInit(CSessionManager& sessions, CK_SESSION_HANDLE hSession,
                     CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount);
void FindObjects(CSessionManager& sessions, CK_SESSION_HANDLE hSession,
                 CK_OBJECT_HANDLE_PTR phObject, CK_ULONG ulMaxObjectCount,
                 CK_ULONG_PTR pulObjectCount);
void FindObjectsFinal(CSessionManager& sessions, CK_SESSION_HANDLE hSession);
// Per-entry problems do not stop the loop: the last one is returned.
CK_RV GetAttributeValue(CSessionManager& sessions, CK_SESSION_HANDLE hSession,
                        CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount);

// Who may create, change or destroy an object: a token object needs a
// read-write session, a private one a logged-in user. Raises
// CKR_SESSION_READ_ONLY or CKR_USER_NOT_LOGGED_IN.
void CheckObjectAccess(CK_STATE state, bool token, bool isPrivate);

// When the card part fails, the object keeps the values it had and the
// card's directory is as it was.
void SetAttributeValue(CSessionManager& sessions, CK_SESSION_HANDLE hSession,
                       CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount);
// A token object is stored on the card before it joins the token's objects;
// a failure leaves neither the store nor the card's directories with it.
void CreateObject(CSessionManager& sessions, CK_SESSION_HANDLE hSession,
                  CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount, CK_OBJECT_HANDLE_PTR phObject);
void DestroyObject(CSessionManager& sessions, CK_SESSION_HANDLE hSession,
                   CK_OBJECT_HANDLE hObject);

// What the card-side writing operations need of a token context, with a
// write access on its communicator that lives as long as this. Inside the
// caller's card work.
class CTokenWriteAccess {
 public:
  explicit CTokenWriteAccess(CTokenContext& context);
  CTokenWriteAccess(const CTokenWriteAccess&) = delete;
  CTokenWriteAccess& operator=(const CTokenWriteAccess&) = delete;

  p15::TokenStorage& Storage() { return storage_; }

 private:
  comm::CCommWriteAccess access_;
  p15::TokenStorage storage_;
};

}  // namespace zorbix::p11
