// PKCS#11 objects of a token: attribute storage, the per-class rules, values
// loaded from the card on first request, and the token's object store.
#pragma once

#include <p11-kit/pkcs11.h>

#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <vector>

#include "platform/secret.h"

namespace zorbix::p11 {

using ByteView = std::span<const std::uint8_t>;
using Template = std::span<const CK_ATTRIBUTE>;
// Attribute values may be private key components: wiped on release.
using AttributeValue = SecureBytes;

// CK_BBOOL carrying the nonRepudiation usage bit of a key entry.
inline constexpr CK_ATTRIBUTE_TYPE kCkaNonRepudiation = CKA_VENDOR_DEFINED + 0x10D;

// Handle of the first object of the process; every object constructed
// takes the next one, and none is used twice.
inline constexpr CK_OBJECT_HANDLE kFirstObjectHandle = 0x200000;

// How a value from a caller's template is stored.
enum class AttributeKind {
  Boolean,  // one byte: the first byte given
  Bytes,    // the bytes as given
  Invalid,  // not accepted from a template (CKR_ATTRIBUTE_TYPE_INVALID)
};
AttributeKind KindOf(CK_ATTRIBUTE_TYPE type) noexcept;

// Card access for the values that live on the card. The token context
// supplies it; each call runs under one card transaction of the token and
// raises Pkcs11Exception on failure.
class CObjectLoader {
 public:
  virtual ~CObjectLoader() = default;
  // The value of the compressed card file at path (binary file identifiers).
  virtual void ReadCompressed(ByteView path, std::vector<std::uint8_t>& out) = 0;
  // The public part of the card's key keyReference.
  virtual void ReadPublicKey(std::uint8_t keyReference, std::vector<std::uint8_t>& exponent,
                             std::vector<std::uint8_t>& modulus) = 0;
};

class CPKCS11Object {
 public:
  CPKCS11Object(const CPKCS11Object&) = delete;
  CPKCS11Object& operator=(const CPKCS11Object&) = delete;
  virtual ~CPKCS11Object();

  CK_OBJECT_HANDLE Handle() const noexcept { return handle_; }
  // CKO_CERTIFICATE, CKO_DATA, CKO_PUBLIC_KEY or CKO_PRIVATE_KEY, by type.
  virtual CK_OBJECT_CLASS ObjectClass() const noexcept = 0;

  // Per-class rules: true when every entry's type is in the class's list.
  bool CheckCreationTemplate(Template tmpl) const;
  bool CheckModificationTemplate(Template tmpl) const;
  bool IsSensitiveAttribute(CK_ATTRIBUTE_TYPE type) const;
  // A private key whose sensitive attributes are not handed out (CKA_SENSITIVE
  // true or CKA_EXTRACTABLE not true).
  virtual bool IsProtected() const { return false; }

  // ---- attributes
  bool Has(CK_ATTRIBUTE_TYPE type) const { return attributes_.count(type) != 0; }
  // The stored bytes, or null.
  const AttributeValue* Find(CK_ATTRIBUTE_TYPE type) const;
  // The stored bytes, empty when absent.
  ByteView Bytes(CK_ATTRIBUTE_TYPE type) const;
  const std::map<CK_ATTRIBUTE_TYPE, AttributeValue>& Attributes() const { return attributes_; }

  void Set(CK_ATTRIBUTE_TYPE type, ByteView value);
  void SetBool(CK_ATTRIBUTE_TYPE type, bool value);
  // sizeof(CK_ULONG) bytes in host order, as callers read CK_ULONG values.
  void SetUlong(CK_ATTRIBUTE_TYPE type, CK_ULONG value);
  void Erase(CK_ATTRIBUTE_TYPE type) { attributes_.erase(type); }

  // One template entry, stored by its kind. An invalid kind raises
  // CKR_ATTRIBUTE_TYPE_INVALID; a boolean without a byte, or a null value
  // with a length, CKR_ATTRIBUTE_VALUE_INVALID.
  void SetFromTemplate(const CK_ATTRIBUTE& entry);

  // Internal readers; a missing value or one of another length raises
  // CKR_ATTRIBUTE_TYPE_INVALID.
  bool ReadBool(CK_ATTRIBUTE_TYPE type) const;
  CK_ULONG ReadUlong(CK_ATTRIBUTE_TYPE type) const;
  // True only for a one-byte non-zero value; never raises.
  bool IsTrue(CK_ATTRIBUTE_TYPE type) const noexcept;

  // Every entry present with exactly its bytes; an empty template matches.
  bool Matches(Template tmpl) const;

  // ---- values on the card
  // Loads the attribute from the card when the class keeps it there and it
  // is not loaded yet: CKA_VALUE of certificates and data objects,
  // CKA_MODULUS and CKA_PUBLIC_EXPONENT of keys. Loaded values stay.
  void LoadIfMissing(CK_ATTRIBUTE_TYPE type, CObjectLoader& loader);
  // Its value after LoadIfMissing; null when the object does not have it.
  const AttributeValue* FindLoaded(CK_ATTRIBUTE_TYPE type, CObjectLoader& loader);

  // CKA_LABEL from the common name that is the fifth relative name of
  // CKA_SUBJECT; nothing changes when the subject has another shape.
  void LabelFromSubject();

  // ---- where the value or key lies on the card
  const std::vector<std::uint8_t>& Path() const { return path_; }
  void SetPath(std::vector<std::uint8_t> path) { path_ = std::move(path); }
  std::int32_t Index() const { return index_; }
  void SetIndex(std::int32_t index) { index_ = index; }
  std::int32_t Length() const { return length_; }
  void SetLength(std::int32_t length) { length_ = length; }

 protected:
  struct ClassRules {
    std::span<const CK_ATTRIBUTE_TYPE> creation;
    std::span<const CK_ATTRIBUTE_TYPE> modifiable;
    std::span<const CK_ATTRIBUTE_TYPE> sensitive;
  };

  // Takes the next handle; sets CKA_CLASS and the defaults common to all.
  explicit CPKCS11Object(CK_OBJECT_CLASS objectClass);

  virtual const ClassRules& Rules() const = 0;
  // Loads type when this class keeps it on the card; false for other types.
  virtual bool LoadFromCard(CK_ATTRIBUTE_TYPE type, CObjectLoader& loader);

 private:
  std::map<CK_ATTRIBUTE_TYPE, AttributeValue> attributes_;
  std::vector<std::uint8_t> path_;
  std::int32_t index_ = 0;
  std::int32_t length_ = 0;
  CK_OBJECT_HANDLE handle_;
};

// Certificates and data objects: CKA_VALUE lives in the card file at path.
class CPKCS11ValueObject : public CPKCS11Object {
 public:
  // Reads CKA_VALUE from the card (compressed card file at path); without a
  // path the value stays absent and the card is not asked.
  void LoadValue(CObjectLoader& loader);

 protected:
  using CPKCS11Object::CPKCS11Object;
  bool LoadFromCard(CK_ATTRIBUTE_TYPE type, CObjectLoader& loader) override;
};

class CPKCS11CertificateObject : public CPKCS11ValueObject {
 public:
  CPKCS11CertificateObject();
  CK_OBJECT_CLASS ObjectClass() const noexcept override { return CKO_CERTIFICATE; }

 protected:
  const ClassRules& Rules() const override;
};

class CPKCS11DataObject : public CPKCS11ValueObject {
 public:
  CPKCS11DataObject();
  CK_OBJECT_CLASS ObjectClass() const noexcept override { return CKO_DATA; }

 protected:
  const ClassRules& Rules() const override;
};

// RSA keys: the card holds the key under keyReference.
class CPKCS11KeyObject : public CPKCS11Object {
 public:
  std::uint8_t KeyReference() const { return keyReference_; }
  void SetKeyReference(std::uint8_t ref) { keyReference_ = ref; }
  std::uint32_t ModulusBits() const { return modulusBits_; }
  void SetModulusBits(std::uint32_t bits) { modulusBits_ = bits; }

  // CKA_PUBLIC_EXPONENT and CKA_MODULUS from the card's key. A failure leaves
  // both as they were; only a removed card (CKR_SESSION_HANDLE_INVALID) is
  // passed on, so that the sessions of the token end.
  void LoadKeyParts(CObjectLoader& loader);

 protected:
  using CPKCS11Object::CPKCS11Object;
  bool LoadFromCard(CK_ATTRIBUTE_TYPE type, CObjectLoader& loader) override;

 private:
  std::uint8_t keyReference_ = 0;
  std::uint32_t modulusBits_ = 0;
};

class CPKCS11PublicKeyObject : public CPKCS11KeyObject {
 public:
  CPKCS11PublicKeyObject();
  CK_OBJECT_CLASS ObjectClass() const noexcept override { return CKO_PUBLIC_KEY; }

 protected:
  const ClassRules& Rules() const override;
};

class CPKCS11PrivateKeyObject : public CPKCS11KeyObject {
 public:
  CPKCS11PrivateKeyObject();
  CK_OBJECT_CLASS ObjectClass() const noexcept override { return CKO_PRIVATE_KEY; }
  bool IsProtected() const override;

 protected:
  const ClassRules& Rules() const override;
};

// A new object of a class (CKO_DATA, CKO_CERTIFICATE, CKO_PUBLIC_KEY,
// CKO_PRIVATE_KEY) with its defaults; null for any other class.
std::shared_ptr<CPKCS11Object> CreateObjectOfClass(CK_OBJECT_CLASS objectClass);

// The objects of one token, in the order they were added; the store and the
// directory files share them.
class CObjectStore {
 public:
  using ObjectPtr = std::shared_ptr<CPKCS11Object>;

  void Add(ObjectPtr object);
  // CKR_OBJECT_HANDLE_INVALID when unknown.
  CPKCS11Object& Find(CK_OBJECT_HANDLE handle) const;
  ObjectPtr FindShared(CK_OBJECT_HANDLE handle) const;
  // Takes the object out (CKR_OBJECT_HANDLE_INVALID when it is not here);
  // it is destroyed once no directory file holds it either.
  void Remove(const CPKCS11Object& object);

  // Handles of the matching objects in store order; objects whose
  // CKA_PRIVATE is true are left out when hidePrivate is set.
  std::vector<CK_OBJECT_HANDLE> Search(Template tmpl, bool hidePrivate) const;

  // Loads, for a search with this template, what the objects keep on the
  // card: CKA_VALUE of certificates and data objects when the template asks
  // for CKA_VALUE; the key parts of RSA keys that lack either when it asks
  // for CKA_MODULUS or CKA_PUBLIC_EXPONENT. A failure skips that object.
  void Preload(Template tmpl, CObjectLoader& loader);

  const std::vector<ObjectPtr>& Objects() const { return objects_; }
  std::size_t Size() const { return objects_.size(); }

 private:
  std::vector<ObjectPtr> objects_;
  std::map<CK_OBJECT_HANDLE, ObjectPtr> byHandle_;
};

}  // namespace zorbix::p11
