// The object entry points that search and read: the token's find operation
// and attribute values, loaded from the card on first request.
#include "p11/objectcalls.h"

#include <algorithm>
#include <cstring>

#include "p11/objects.h"
#include "p11/pkcs11exception.h"
#include "p11/sessions.h"

namespace zorbix::p11 {

namespace {

[[noreturn]] void Fail(CK_RV rv) { throw Pkcs11Exception(rv); }

Template TemplateOf(CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
  if (!pTemplate && ulCount != 0) Fail(CKR_ARGUMENTS_BAD);
  if (!pTemplate) return {};
  return {pTemplate, static_cast<std::size_t>(ulCount)};
}

}  // namespace

void FindObjectsInit(CSessionManager& sessions, CK_SESSION_HANDLE hSession,
                     CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
  const Template tmpl = TemplateOf(pTemplate, ulCount);
  CTokenContext& context = sessions.ContextOfSession(hSession);
  CTokenContext::CardWork work(context);
  CTokenContext::FindOperation& find = context.Find();
  if (find.active) Fail(CKR_OPERATION_ACTIVE);
  context.Objects().Preload(tmpl, context);
  find.results = context.Objects().Search(tmpl, !context.LoggedIn());
  find.active = true;
}

void FindObjects(CSessionManager& sessions, CK_SESSION_HANDLE hSession,
                 CK_OBJECT_HANDLE_PTR phObject, CK_ULONG ulMaxObjectCount,
                 CK_ULONG_PTR pulObjectCount) {
  if (!pulObjectCount) Fail(CKR_ARGUMENTS_BAD);
  CTokenContext::FindOperation& find = sessions.ContextOfSession(hSession).Find();
  if (!find.active) Fail(CKR_OPERATION_NOT_INITIALIZED);
  const std::size_t n = std::min<std::size_t>(ulMaxObjectCount, find.results.size());
  *pulObjectCount = n;
  if (!phObject) return;
  std::copy_n(find.results.begin(), n, phObject);
  find.results.erase(find.results.begin(), find.results.begin() + static_cast<std::ptrdiff_t>(n));
}

void FindObjectsFinal(CSessionManager& sessions, CK_SESSION_HANDLE hSession) {
  CTokenContext::FindOperation& find = sessions.ContextOfSession(hSession).Find();
  if (!find.active) Fail(CKR_OPERATION_NOT_INITIALIZED);
  find.active = false;
}

CK_RV GetAttributeValue(CSessionManager& sessions, CK_SESSION_HANDLE hSession,
                        CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
  if (!pTemplate && ulCount != 0) Fail(CKR_ARGUMENTS_BAD);
  CTokenContext& context = sessions.ContextOfSession(hSession);
  // Shared: a removal inside a load destroys nothing until the call is over.
  const CObjectStore::ObjectPtr object = context.Objects().FindShared(hObject);
  const bool isProtected = object->IsProtected();
  CK_RV result = CKR_OK;
  for (CK_ULONG i = 0; i < ulCount; ++i) {
    CK_ATTRIBUTE& entry = pTemplate[i];
    if (isProtected && object->IsSensitiveAttribute(entry.type)) {
      result = CKR_ATTRIBUTE_SENSITIVE;
      entry.ulValueLen = CK_UNAVAILABLE_INFORMATION;
      continue;
    }
    // Values kept on the card come now; a card failure ends the call.
    const AttributeValue* value = object->FindLoaded(entry.type, context);
    if (!value) {
      result = CKR_ATTRIBUTE_TYPE_INVALID;
      entry.ulValueLen = CK_UNAVAILABLE_INFORMATION;
      continue;
    }
    if (!entry.pValue) {
      entry.ulValueLen = value->size();
      continue;
    }
    if (entry.ulValueLen < value->size()) {
      result = CKR_BUFFER_TOO_SMALL;
      continue;
    }
    if (!value->empty()) std::memcpy(entry.pValue, value->data(), value->size());
    entry.ulValueLen = value->size();
  }
  return result;
}

}  // namespace zorbix::p11
