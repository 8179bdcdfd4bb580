// PKCS#11 objects, their class rules and lazy loads, and the object store.
#include "p11/objects.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <optional>

#include "p11/pkcs11exception.h"

namespace zorbix::p11 {

namespace {

std::atomic<CK_OBJECT_HANDLE> nextHandle{kFirstObjectHandle};

[[noreturn]] void Fail(CK_RV rv) { throw Pkcs11Exception(rv); }

constexpr CK_ATTRIBUTE_TYPE kBooleanTypes[] = {
    CKA_TOKEN,          CKA_PRIVATE,          CKA_SENSITIVE,   CKA_ENCRYPT, CKA_DECRYPT,
    CKA_WRAP,           CKA_UNWRAP,           CKA_SIGN,        CKA_SIGN_RECOVER,
    CKA_VERIFY,         CKA_VERIFY_RECOVER,   CKA_DERIVE,      CKA_EXTRACTABLE,
    CKA_LOCAL,          CKA_NEVER_EXTRACTABLE, CKA_ALWAYS_SENSITIVE, CKA_MODIFIABLE,
};

constexpr CK_ATTRIBUTE_TYPE kByteTypes[] = {
    CKA_CLASS,       CKA_LABEL,          CKA_APPLICATION,      CKA_VALUE,    CKA_OBJECT_ID,
    CKA_CERTIFICATE_TYPE, CKA_ISSUER,    CKA_SERIAL_NUMBER,    CKA_KEY_TYPE, CKA_SUBJECT,
    CKA_ID,          CKA_START_DATE,     CKA_END_DATE,         CKA_MODULUS,  CKA_MODULUS_BITS,
    CKA_PUBLIC_EXPONENT, CKA_PRIVATE_EXPONENT, CKA_PRIME_1,    CKA_PRIME_2,  CKA_EXPONENT_1,
    CKA_EXPONENT_2,  CKA_COEFFICIENT,    CKA_PRIME,            CKA_SUBPRIME, CKA_BASE,
    CKA_VALUE_BITS,  CKA_VALUE_LEN,
};

// ---- class tables

constexpr CK_ATTRIBUTE_TYPE kCertificateCreation[] = {
    CKA_CLASS, CKA_TOKEN,  CKA_PRIVATE,       CKA_LABEL,   CKA_VALUE,     CKA_CERTIFICATE_TYPE,
    CKA_ISSUER, CKA_SERIAL_NUMBER, CKA_SUBJECT, CKA_ID, CKA_MODIFIABLE,
};
constexpr CK_ATTRIBUTE_TYPE kCertificateModifiable[] = {CKA_LABEL, CKA_ISSUER, CKA_SERIAL_NUMBER,
                                                        CKA_ID};

constexpr CK_ATTRIBUTE_TYPE kDataCreation[] = {
    CKA_CLASS, CKA_TOKEN, CKA_PRIVATE, CKA_LABEL, CKA_APPLICATION, CKA_VALUE, CKA_OBJECT_ID,
    CKA_MODIFIABLE,
};
constexpr CK_ATTRIBUTE_TYPE kDataModifiable[] = {CKA_LABEL, CKA_APPLICATION, CKA_VALUE};

constexpr CK_ATTRIBUTE_TYPE kPublicKeyCreation[] = {
    CKA_CLASS,      CKA_TOKEN,   CKA_PRIVATE,        CKA_LABEL,      CKA_KEY_TYPE,
    CKA_SUBJECT,    CKA_ID,      CKA_ENCRYPT,        CKA_WRAP,       CKA_VERIFY,
    CKA_VERIFY_RECOVER, CKA_DERIVE, CKA_START_DATE,  CKA_END_DATE,   CKA_MODULUS,
    CKA_MODULUS_BITS, CKA_PUBLIC_EXPONENT, CKA_LOCAL, CKA_MODIFIABLE,
};
constexpr CK_ATTRIBUTE_TYPE kPublicKeyModifiable[] = {
    CKA_LABEL,  CKA_SUBJECT, CKA_ID,         CKA_ENCRYPT,  CKA_VERIFY,
    CKA_VERIFY_RECOVER, CKA_DERIVE, CKA_START_DATE, CKA_END_DATE,
};

constexpr CK_ATTRIBUTE_TYPE kPrivateKeyCreation[] = {
    CKA_CLASS,       CKA_TOKEN,       CKA_PRIVATE,      CKA_LABEL,        CKA_KEY_TYPE,
    CKA_SUBJECT,     CKA_ID,          CKA_SENSITIVE,    CKA_DECRYPT,      CKA_UNWRAP,
    CKA_SIGN,        CKA_SIGN_RECOVER, CKA_DERIVE,      CKA_START_DATE,   CKA_END_DATE,
    CKA_MODULUS,     CKA_PUBLIC_EXPONENT, CKA_PRIVATE_EXPONENT, CKA_PRIME_1, CKA_PRIME_2,
    CKA_EXPONENT_1,  CKA_EXPONENT_2,  CKA_COEFFICIENT,  CKA_EXTRACTABLE,  CKA_LOCAL,
    CKA_NEVER_EXTRACTABLE, CKA_ALWAYS_SENSITIVE, CKA_MODIFIABLE,
};
constexpr CK_ATTRIBUTE_TYPE kPrivateKeyModifiable[] = {
    CKA_LABEL,  CKA_SUBJECT, CKA_ID,         CKA_SENSITIVE, CKA_DECRYPT,  CKA_UNWRAP,
    CKA_SIGN,   CKA_SIGN_RECOVER, CKA_DERIVE, CKA_START_DATE, CKA_END_DATE, CKA_EXTRACTABLE,
};
constexpr CK_ATTRIBUTE_TYPE kPrivateKeySensitive[] = {
    CKA_PRIVATE_EXPONENT, CKA_PRIME_1,    CKA_PRIME_2,
    CKA_EXPONENT_1,       CKA_EXPONENT_2, CKA_COEFFICIENT,
};

bool Contains(std::span<const CK_ATTRIBUTE_TYPE> list, CK_ATTRIBUTE_TYPE type) {
  return std::find(list.begin(), list.end(), type) != list.end();
}

bool AllIn(std::span<const CK_ATTRIBUTE_TYPE> list, Template tmpl) {
  return std::all_of(tmpl.begin(), tmpl.end(),
                     [list](const CK_ATTRIBUTE& a) { return Contains(list, a.type); });
}

ByteView EntryBytes(const CK_ATTRIBUTE& a) {
  return {static_cast<const std::uint8_t*>(a.pValue), static_cast<std::size_t>(a.ulValueLen)};
}

// ---- DER walk for the label from the subject

struct Tlv {
  std::uint8_t tag = 0;
  std::size_t lengthBytes = 0;  // bytes of the length field
  ByteView contents;
  std::size_t total = 0;  // tag, length and contents
};

// One DER element at the start of bytes (single-byte tag, definite length
// of at most two length bytes), inside bytes.
std::optional<Tlv> ReadTlv(ByteView bytes) {
  if (bytes.size() < 2) return std::nullopt;
  Tlv t;
  t.tag = bytes[0];
  std::size_t length = 0;
  std::size_t header = 2;
  const std::uint8_t l = bytes[1];
  if (l < 0x80) {
    length = l;
    t.lengthBytes = 1;
  } else if (l == 0x81 || l == 0x82) {
    const std::size_t n = l & 0x7F;
    if (bytes.size() < 2 + n) return std::nullopt;
    for (std::size_t i = 0; i < n; ++i) length = length << 8 | bytes[2 + i];
    header += n;
    t.lengthBytes = 1 + n;
  } else {
    return std::nullopt;
  }
  if (bytes.size() - header < length) return std::nullopt;
  t.contents = bytes.subspan(header, length);
  t.total = header + length;
  return t;
}

bool IsConstructedSeqOrSet(std::uint8_t tag) { return tag == 0x30 || tag == 0x31; }

// The PrintableString of the first attribute of the subject's fifth relative
// name, or nothing when the subject is not laid out that way.
std::optional<ByteView> CommonNameOfFifth(ByteView subject) {
  const auto name = ReadTlv(subject);
  if (!name || name->tag != 0x30 || name->total != subject.size()) return std::nullopt;
  ByteView rest = name->contents;
  for (int skipped = 0; skipped < 4; ++skipped) {
    const auto e = ReadTlv(rest);
    if (!e) return std::nullopt;
    rest = rest.subspan(e->total);
    if (rest.empty() || !IsConstructedSeqOrSet(rest[0])) return std::nullopt;
  }
  const auto fifth = ReadTlv(rest);
  if (!fifth || !IsConstructedSeqOrSet(fifth->tag)) return std::nullopt;
  const auto attribute = ReadTlv(fifth->contents);
  if (!attribute || !IsConstructedSeqOrSet(attribute->tag)) return std::nullopt;
  const auto oid = ReadTlv(attribute->contents);
  if (!oid || oid->tag != 0x06) return std::nullopt;
  const auto text = ReadTlv(attribute->contents.subspan(oid->total));
  if (!text || text->tag != 0x13 || text->lengthBytes != 1) return std::nullopt;
  return text->contents;
}

}  // namespace

AttributeKind KindOf(CK_ATTRIBUTE_TYPE type) noexcept {
  if (Contains(kBooleanTypes, type)) return AttributeKind::Boolean;
  if (Contains(kByteTypes, type)) return AttributeKind::Bytes;
  return AttributeKind::Invalid;
}

// ---------------------------------------------------------------- CPKCS11Object

CPKCS11Object::CPKCS11Object(CK_OBJECT_CLASS objectClass) : handle_(nextHandle++) {
  SetUlong(CKA_CLASS, objectClass);
  SetBool(CKA_TOKEN, true);
  SetBool(CKA_PRIVATE, false);
  SetBool(CKA_MODIFIABLE, true);
  Set(CKA_LABEL, {});
}

CPKCS11Object::~CPKCS11Object() = default;

bool CPKCS11Object::CheckCreationTemplate(Template tmpl) const {
  return AllIn(Rules().creation, tmpl);
}

bool CPKCS11Object::CheckModificationTemplate(Template tmpl) const {
  return AllIn(Rules().modifiable, tmpl);
}

bool CPKCS11Object::IsSensitiveAttribute(CK_ATTRIBUTE_TYPE type) const {
  return Contains(Rules().sensitive, type);
}

const AttributeValue* CPKCS11Object::Find(CK_ATTRIBUTE_TYPE type) const {
  const auto it = attributes_.find(type);
  return it == attributes_.end() ? nullptr : &it->second;
}

ByteView CPKCS11Object::Bytes(CK_ATTRIBUTE_TYPE type) const {
  const AttributeValue* v = Find(type);
  if (!v) return {};
  return {v->data(), v->size()};
}

void CPKCS11Object::Set(CK_ATTRIBUTE_TYPE type, ByteView value) {
  attributes_[type].assign(value.begin(), value.end());
}

void CPKCS11Object::SetBool(CK_ATTRIBUTE_TYPE type, bool value) {
  const std::uint8_t b = value ? CK_TRUE : CK_FALSE;
  Set(type, {&b, 1});
}

void CPKCS11Object::SetUlong(CK_ATTRIBUTE_TYPE type, CK_ULONG value) {
  std::uint8_t raw[sizeof value];
  std::memcpy(raw, &value, sizeof value);
  Set(type, raw);
}

void CPKCS11Object::SetFromTemplate(const CK_ATTRIBUTE& entry) {
  const AttributeKind kind = KindOf(entry.type);
  if (kind == AttributeKind::Invalid) Fail(CKR_ATTRIBUTE_TYPE_INVALID);
  if (!entry.pValue && entry.ulValueLen != 0) Fail(CKR_ATTRIBUTE_VALUE_INVALID);
  const ByteView given = entry.pValue ? EntryBytes(entry) : ByteView{};
  if (kind == AttributeKind::Boolean) {
    // The first byte as given, stored as one byte; there must be one.
    if (given.empty()) Fail(CKR_ATTRIBUTE_VALUE_INVALID);
    Set(entry.type, given.first(1));
    return;
  }
  Set(entry.type, given);
}

bool CPKCS11Object::ReadBool(CK_ATTRIBUTE_TYPE type) const {
  const AttributeValue* v = Find(type);
  if (!v || v->size() != 1) Fail(CKR_ATTRIBUTE_TYPE_INVALID);
  return (*v)[0] != 0;
}

CK_ULONG CPKCS11Object::ReadUlong(CK_ATTRIBUTE_TYPE type) const {
  const AttributeValue* v = Find(type);
  CK_ULONG value = 0;
  if (!v || v->size() != sizeof value) Fail(CKR_ATTRIBUTE_TYPE_INVALID);
  std::memcpy(&value, v->data(), sizeof value);
  return value;
}

bool CPKCS11Object::IsTrue(CK_ATTRIBUTE_TYPE type) const noexcept {
  const AttributeValue* v = Find(type);
  return v && v->size() == 1 && (*v)[0] != 0;
}

bool CPKCS11Object::Matches(Template tmpl) const {
  for (const CK_ATTRIBUTE& a : tmpl) {
    const AttributeValue* v = Find(a.type);
    if (!v || v->size() != a.ulValueLen) return false;
    if (a.ulValueLen == 0) continue;
    if (!a.pValue || std::memcmp(v->data(), a.pValue, v->size()) != 0) return false;
  }
  return true;
}

bool CPKCS11Object::LoadFromCard(CK_ATTRIBUTE_TYPE, CObjectLoader&) { return false; }

void CPKCS11Object::LoadIfMissing(CK_ATTRIBUTE_TYPE type, CObjectLoader& loader) {
  if (!Has(type)) LoadFromCard(type, loader);
}

const AttributeValue* CPKCS11Object::FindLoaded(CK_ATTRIBUTE_TYPE type, CObjectLoader& loader) {
  LoadIfMissing(type, loader);
  return Find(type);
}

void CPKCS11Object::LabelFromSubject() {
  const auto cn = CommonNameOfFifth(Bytes(CKA_SUBJECT));
  if (cn) Set(CKA_LABEL, *cn);
}

// ---------------------------------------------------------------- value objects

void CPKCS11ValueObject::LoadValue(CObjectLoader& loader) {
  // No file, no value: the card is not asked (a path stored in a form that
  // gives no file identifiers leaves the object without one).
  if (Path().empty()) return;
  std::vector<std::uint8_t> value;
  loader.ReadCompressed(Path(), value);
  Set(CKA_VALUE, value);
  WipeMemory(value.data(), value.size());
}

bool CPKCS11ValueObject::LoadFromCard(CK_ATTRIBUTE_TYPE type, CObjectLoader& loader) {
  if (type != CKA_VALUE) return false;
  LoadValue(loader);
  return true;
}

CPKCS11CertificateObject::CPKCS11CertificateObject() : CPKCS11ValueObject(CKO_CERTIFICATE) {}

const CPKCS11Object::ClassRules& CPKCS11CertificateObject::Rules() const {
  static const ClassRules rules{kCertificateCreation, kCertificateModifiable, {}};
  return rules;
}

CPKCS11DataObject::CPKCS11DataObject() : CPKCS11ValueObject(CKO_DATA) {
  Set(CKA_APPLICATION, {});
}

const CPKCS11Object::ClassRules& CPKCS11DataObject::Rules() const {
  static const ClassRules rules{kDataCreation, kDataModifiable, {}};
  return rules;
}

// ---------------------------------------------------------------- keys

void CPKCS11KeyObject::LoadKeyParts(CObjectLoader& loader) {
  std::vector<std::uint8_t> exponent, modulus;
  try {
    loader.ReadPublicKey(keyReference_, exponent, modulus);
  } catch (const Pkcs11Exception& e) {
    if (e.rv() == CKR_SESSION_HANDLE_INVALID) throw;
    return;
  }
  Set(CKA_PUBLIC_EXPONENT, exponent);
  Set(CKA_MODULUS, modulus);
}

bool CPKCS11KeyObject::LoadFromCard(CK_ATTRIBUTE_TYPE type, CObjectLoader& loader) {
  if (type != CKA_MODULUS && type != CKA_PUBLIC_EXPONENT) return false;
  LoadKeyParts(loader);
  return true;
}

CPKCS11PublicKeyObject::CPKCS11PublicKeyObject() : CPKCS11KeyObject(CKO_PUBLIC_KEY) {
  Set(CKA_SUBJECT, {});
  for (CK_ATTRIBUTE_TYPE t :
       {CKA_DERIVE, CKA_LOCAL, CKA_ENCRYPT, CKA_VERIFY, CKA_VERIFY_RECOVER, CKA_WRAP})
    SetBool(t, false);
}

const CPKCS11Object::ClassRules& CPKCS11PublicKeyObject::Rules() const {
  static const ClassRules rules{kPublicKeyCreation, kPublicKeyModifiable, {}};
  return rules;
}

CPKCS11PrivateKeyObject::CPKCS11PrivateKeyObject() : CPKCS11KeyObject(CKO_PRIVATE_KEY) {
  Set(CKA_SUBJECT, {});
  for (CK_ATTRIBUTE_TYPE t :
       {CKA_DERIVE, CKA_LOCAL, CKA_SENSITIVE, CKA_DECRYPT, CKA_SIGN, CKA_SIGN_RECOVER, CKA_UNWRAP,
        CKA_EXTRACTABLE, CKA_ALWAYS_SENSITIVE, CKA_NEVER_EXTRACTABLE})
    SetBool(t, false);
}

const CPKCS11Object::ClassRules& CPKCS11PrivateKeyObject::Rules() const {
  static const ClassRules rules{kPrivateKeyCreation, kPrivateKeyModifiable, kPrivateKeySensitive};
  return rules;
}

bool CPKCS11PrivateKeyObject::IsProtected() const {
  return IsTrue(CKA_SENSITIVE) || !IsTrue(CKA_EXTRACTABLE);
}

std::shared_ptr<CPKCS11Object> CreateObjectOfClass(CK_OBJECT_CLASS objectClass) {
  switch (objectClass) {
    case CKO_DATA:
      return std::make_shared<CPKCS11DataObject>();
    case CKO_CERTIFICATE:
      return std::make_shared<CPKCS11CertificateObject>();
    case CKO_PUBLIC_KEY:
      return std::make_shared<CPKCS11PublicKeyObject>();
    case CKO_PRIVATE_KEY:
      return std::make_shared<CPKCS11PrivateKeyObject>();
    default:
      return nullptr;
  }
}

// ---------------------------------------------------------------- CObjectStore

void CObjectStore::Add(ObjectPtr object) {
  if (!object) Fail(CKR_GENERAL_ERROR);
  const CK_OBJECT_HANDLE handle = object->Handle();
  if (byHandle_.count(handle)) return;  // already here
  byHandle_[handle] = object;
  objects_.push_back(std::move(object));
}

CPKCS11Object& CObjectStore::Find(CK_OBJECT_HANDLE handle) const {
  return *FindShared(handle);
}

CObjectStore::ObjectPtr CObjectStore::FindShared(CK_OBJECT_HANDLE handle) const {
  const auto it = byHandle_.find(handle);
  if (it == byHandle_.end()) Fail(CKR_OBJECT_HANDLE_INVALID);
  return it->second;
}

void CObjectStore::Remove(const CPKCS11Object& object) {
  const auto it = std::find_if(objects_.begin(), objects_.end(),
                               [&object](const ObjectPtr& p) { return p.get() == &object; });
  if (it == objects_.end()) Fail(CKR_OBJECT_HANDLE_INVALID);
  byHandle_.erase(object.Handle());
  objects_.erase(it);
}

std::vector<CK_OBJECT_HANDLE> CObjectStore::Search(Template tmpl, bool hidePrivate) const {
  std::vector<CK_OBJECT_HANDLE> results;
  for (const auto& object : objects_) {
    if (hidePrivate && object->IsTrue(CKA_PRIVATE)) continue;
    if (object->Matches(tmpl)) results.push_back(object->Handle());
  }
  return results;
}

void CObjectStore::Preload(Template tmpl, CObjectLoader& loader) {
  auto asks = [tmpl](CK_ATTRIBUTE_TYPE type) {
    return std::any_of(tmpl.begin(), tmpl.end(),
                       [type](const CK_ATTRIBUTE& a) { return a.type == type; });
  };
  const bool value = asks(CKA_VALUE);
  const bool keyParts = asks(CKA_MODULUS) || asks(CKA_PUBLIC_EXPONENT);
  if (!value && !keyParts) return;
  for (const auto& object : objects_) {
    try {
      if (auto* v = dynamic_cast<CPKCS11ValueObject*>(object.get())) {
        if (value && !v->Has(CKA_VALUE)) v->LoadValue(loader);
      } else if (auto* k = dynamic_cast<CPKCS11KeyObject*>(object.get())) {
        if (keyParts && k->ReadUlong(CKA_KEY_TYPE) == CKK_RSA &&
            (!k->Has(CKA_MODULUS) || !k->Has(CKA_PUBLIC_EXPONENT)))
          k->LoadKeyParts(loader);
      }
    } catch (const Pkcs11Exception&) {
      // This object stays without the value; the search goes on.
    }
  }
}

}  // namespace zorbix::p11
