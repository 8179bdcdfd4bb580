// The object entry points: the token's find operation, attribute values
// loaded from the card on first request, and the calls that change, create
// and destroy objects, on the card for token objects.
#include "p11/objectcalls.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <set>

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

// One type given twice makes the template say two things; the checks and
// the stored value would not agree on which.
void RefuseRepeatedTypes(Template tmpl) {
  std::set<CK_ATTRIBUTE_TYPE> seen;
  for (const CK_ATTRIBUTE& entry : tmpl)
    if (!seen.insert(entry.type).second) Fail(CKR_TEMPLATE_INCONSISTENT);
}

const CK_ATTRIBUTE* EntryOf(Template tmpl, CK_ATTRIBUTE_TYPE type) {
  const auto it = std::find_if(tmpl.begin(), tmpl.end(),
                               [type](const CK_ATTRIBUTE& a) { return a.type == type; });
  return it == tmpl.end() ? nullptr : &*it;
}

// A boolean of the template: a missing or empty entry is false.
bool FlagOf(Template tmpl, CK_ATTRIBUTE_TYPE type) {
  const CK_ATTRIBUTE* entry = EntryOf(tmpl, type);
  return entry && entry->pValue && entry->ulValueLen > 0 &&
         *static_cast<const CK_BYTE*>(entry->pValue) != 0;
}

CK_OBJECT_CLASS ClassOf(Template tmpl) {
  const CK_ATTRIBUTE* entry = EntryOf(tmpl, CKA_CLASS);
  if (!entry) Fail(CKR_TEMPLATE_INCOMPLETE);
  CK_OBJECT_CLASS objectClass = 0;
  if (!entry->pValue || entry->ulValueLen != sizeof objectClass) Fail(CKR_ATTRIBUTE_TYPE_INVALID);
  std::memcpy(&objectClass, entry->pValue, sizeof objectClass);
  return objectClass;
}

// A label of four parts joined by '-' asks for the common name of the
// subject instead.
bool LabelAsksForSubject(Template tmpl) {
  const CK_ATTRIBUTE* entry = EntryOf(tmpl, CKA_LABEL);
  if (!entry || !entry->pValue) return false;
  const auto* label = static_cast<const CK_BYTE*>(entry->pValue);
  return std::count(label, label + entry->ulValueLen, '-') >= 3;
}

void Apply(CPKCS11Object& object, Template tmpl) {
  for (const CK_ATTRIBUTE& entry : tmpl) object.SetFromTemplate(entry);
  if (LabelAsksForSubject(tmpl)) object.LabelFromSubject();
}

// The values a template may change (its types and the label), to put back
// when the change does not reach the card.
class AttributeSnapshot {
 public:
  AttributeSnapshot(const CPKCS11Object& object, Template tmpl) {
    Keep(object, CKA_LABEL);
    for (const CK_ATTRIBUTE& entry : tmpl) Keep(object, entry.type);
  }
  void Restore(CPKCS11Object& object) const {
    for (const auto& [type, value] : kept_) {
      if (value)
        object.Set(type, ByteView(value->data(), value->size()));
      else
        object.Erase(type);
    }
  }

 private:
  void Keep(const CPKCS11Object& object, CK_ATTRIBUTE_TYPE type) {
    const AttributeValue* value = object.Find(type);
    kept_[type] = value ? std::optional<AttributeValue>(*value) : std::nullopt;
  }
  std::map<CK_ATTRIBUTE_TYPE, std::optional<AttributeValue>> kept_;
};

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

// ---------------------------------------------------------------- writing

CTokenWriteAccess::CTokenWriteAccess(CTokenContext& context)
    : access_(context.Communicator()),
      storage_{access_,
               context.PrivateKeyDirectory(),
               context.PublicKeyDirectory(),
               context.CertificateDirectory(),
               context.DataObjectDirectory(),
               context.UnusedSpaceFile(),
               context.Objects(),
               context.StandardFormat(),
               context.PathForm(),
               context.LoggedIn()} {}

void CheckObjectAccess(CK_STATE state, bool token, bool isPrivate) {
  const bool readOnly = state == CKS_RO_PUBLIC_SESSION || state == CKS_RO_USER_FUNCTIONS;
  if (token && isPrivate) {
    if (state == CKS_RO_USER_FUNCTIONS) Fail(CKR_SESSION_READ_ONLY);
    if (state != CKS_RW_USER_FUNCTIONS && state != CKS_RW_SO_FUNCTIONS) Fail(CKR_USER_NOT_LOGGED_IN);
  } else if (token) {
    if (readOnly) Fail(CKR_SESSION_READ_ONLY);
  } else if (isPrivate) {
    if (state != CKS_RO_USER_FUNCTIONS && state != CKS_RW_USER_FUNCTIONS) Fail(CKR_USER_NOT_LOGGED_IN);
  }
}

void SetAttributeValue(CSessionManager& sessions, CK_SESSION_HANDLE hSession,
                       CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
  CTokenContext& context = sessions.ContextOfSession(hSession);
  CTokenContext::CardWork work(context);
  if (!pTemplate || ulCount == 0) Fail(CKR_ATTRIBUTE_TYPE_INVALID);
  const Template tmpl(pTemplate, static_cast<std::size_t>(ulCount));
  for (const CK_ATTRIBUTE& entry : tmpl)
    if (!entry.pValue) Fail(CKR_ATTRIBUTE_VALUE_INVALID);
  RefuseRepeatedTypes(tmpl);

  const CObjectStore::ObjectPtr object = context.Objects().FindShared(hObject);
  if (!object->IsTrue(CKA_MODIFIABLE)) Fail(CKR_ATTRIBUTE_READ_ONLY);
  const bool token = object->IsTrue(CKA_TOKEN);
  const bool wasPrivate = object->IsTrue(CKA_PRIVATE);
  CheckObjectAccess(context.State(), token, wasPrivate);
  if (!object->CheckCreationTemplate(tmpl)) Fail(CKR_ATTRIBUTE_TYPE_INVALID);
  if (!object->CheckModificationTemplate(tmpl)) Fail(CKR_ATTRIBUTE_READ_ONLY);

  const AttributeSnapshot before(*object, tmpl);
  try {
    Apply(*object, tmpl);
    if (token) {
      CTokenWriteAccess writer(context);
      p15::ChangeOnCard(writer.Storage(), *object, wasPrivate);
    }
  } catch (...) {
    before.Restore(*object);
    throw;
  }
}

void CreateObject(CSessionManager& sessions, CK_SESSION_HANDLE hSession,
                  CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount, CK_OBJECT_HANDLE_PTR phObject) {
  if (!phObject) Fail(CKR_ARGUMENTS_BAD);
  CTokenContext& context = sessions.ContextOfSession(hSession);
  CTokenContext::CardWork work(context);
  if (!pTemplate || ulCount == 0) Fail(CKR_TEMPLATE_INCOMPLETE);
  const Template tmpl(pTemplate, static_cast<std::size_t>(ulCount));
  // The access check reads CKA_TOKEN and CKA_PRIVATE once: they must be
  // what the object gets.
  RefuseRepeatedTypes(tmpl);
  const bool token = FlagOf(tmpl, CKA_TOKEN);
  const bool isPrivate = FlagOf(tmpl, CKA_PRIVATE);
  CheckObjectAccess(context.State(), token, isPrivate);

  const CK_OBJECT_CLASS objectClass = ClassOf(tmpl);
  if ((objectClass == CKO_PUBLIC_KEY || objectClass == CKO_PRIVATE_KEY) && !token)
    Fail(CKR_ATTRIBUTE_VALUE_INVALID);
  const std::shared_ptr<CPKCS11Object> object = CreateObjectOfClass(objectClass);
  if (!object || !object->CheckCreationTemplate(tmpl)) Fail(CKR_ATTRIBUTE_TYPE_INVALID);
  Apply(*object, tmpl);
  // Without CKA_TOKEN it is a session object, and must say so.
  object->SetBool(CKA_TOKEN, token);
  if (token) {
    CTokenWriteAccess writer(context);
    p15::CreateOnCard(writer.Storage(), object, isPrivate);
  }
  context.Objects().Add(object);
  *phObject = object->Handle();
}

void DestroyObject(CSessionManager& sessions, CK_SESSION_HANDLE hSession,
                   CK_OBJECT_HANDLE hObject) {
  CTokenContext& context = sessions.ContextOfSession(hSession);
  CTokenContext::CardWork work(context);
  if (hObject == CK_INVALID_HANDLE) Fail(CKR_OBJECT_HANDLE_INVALID);
  const CObjectStore::ObjectPtr object = context.Objects().FindShared(hObject);
  CheckObjectAccess(context.State(), object->IsTrue(CKA_TOKEN), object->IsTrue(CKA_PRIVATE));
  context.DirectoryOfClass(object->ObjectClass());
  CTokenWriteAccess writer(context);
  const CK_RV rv = p15::DestroyObject(writer.Storage(), *object);
  if (rv != CKR_OK) Fail(rv);
  // A search still running never hands out the handle of a destroyed object.
  auto& results = context.Find().results;
  results.erase(std::remove(results.begin(), results.end(), hObject), results.end());
}

}  // namespace zorbix::p11
