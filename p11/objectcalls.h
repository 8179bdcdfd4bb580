// Bodies of the object entry points that search and read a token's objects.
#pragma once

#include <p11-kit/pkcs11.h>

namespace zorbix::p11 {

class CSessionManager;

void FindObjectsInit(CSessionManager& sessions, CK_SESSION_HANDLE hSession,
                     CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount);
void FindObjects(CSessionManager& sessions, CK_SESSION_HANDLE hSession,
                 CK_OBJECT_HANDLE_PTR phObject, CK_ULONG ulMaxObjectCount,
                 CK_ULONG_PTR pulObjectCount);
void FindObjectsFinal(CSessionManager& sessions, CK_SESSION_HANDLE hSession);
// Per-entry problems do not stop the loop: the last one is returned.
CK_RV GetAttributeValue(CSessionManager& sessions, CK_SESSION_HANDLE hSession,
                        CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount);

}  // namespace zorbix::p11
