// Directory entries to PKCS#11 objects and back, in both entry forms.
#include "pkcs15/directories.h"

#include <cstring>
#include <optional>

#include "p11/objects.h"
#include "pkcs15/asn1types.h"
#include "pkcs15/errors.h"

namespace zorbix::p15 {

namespace {

using p11::CPKCS11CertificateObject;
using p11::CPKCS11DataObject;
using p11::CPKCS11KeyObject;
using p11::CPKCS11PrivateKeyObject;
using p11::CPKCS11PublicKeyObject;
using p11::kCkaNonRepudiation;
using ByteView = std::span<const std::uint8_t>;

// KeyUsageFlags and KeyAccessFlags bit numbers.
struct FlagAttribute {
  CK_ATTRIBUTE_TYPE type;
  unsigned bit;
};

constexpr FlagAttribute kUsageBits[] = {
    {CKA_ENCRYPT, 0},        {CKA_DECRYPT, 1}, {CKA_SIGN, 2},   {CKA_SIGN_RECOVER, 3},
    {CKA_WRAP, 4},           {CKA_UNWRAP, 5},  {CKA_VERIFY, 6}, {CKA_VERIFY_RECOVER, 7},
    {CKA_DERIVE, 8},         {kCkaNonRepudiation, 9},
};
constexpr FlagAttribute kAccessBits[] = {
    {CKA_SENSITIVE, 0}, {CKA_EXTRACTABLE, 1}, {CKA_ALWAYS_SENSITIVE, 2},
    {CKA_NEVER_EXTRACTABLE, 3}, {CKA_LOCAL, 4},
};

// The usage bits each key class writes.
constexpr FlagAttribute kPrivateUsageWritten[] = {
    {CKA_DECRYPT, 1}, {CKA_SIGN, 2}, {CKA_SIGN_RECOVER, 3}, {CKA_UNWRAP, 5},
    {CKA_DERIVE, 8},  {kCkaNonRepudiation, 9},
};
constexpr FlagAttribute kPublicUsageWritten[] = {
    {CKA_ENCRYPT, 0}, {CKA_WRAP, 4}, {CKA_VERIFY, 6}, {CKA_VERIFY_RECOVER, 7},
    {CKA_DERIVE, 8},  {kCkaNonRepudiation, 9},
};
constexpr FlagAttribute kPrivateAccessWritten[] = {
    {CKA_SENSITIVE, 0}, {CKA_EXTRACTABLE, 1}, {CKA_ALWAYS_SENSITIVE, 2},
    {CKA_NEVER_EXTRACTABLE, 3}, {CKA_LOCAL, 4},
};
constexpr FlagAttribute kPublicAccessWritten[] = {{CKA_LOCAL, 4}};

// What each entry type carries: the common members, then the class's.
constexpr CK_ATTRIBUTE_TYPE kPrivateKeyCarried[] = {
    CKA_LABEL,     CKA_PRIVATE,  CKA_MODIFIABLE,   CKA_ID,          CKA_SUBJECT,
    CKA_START_DATE, CKA_END_DATE, CKA_DECRYPT,     CKA_SIGN,        CKA_SIGN_RECOVER,
    CKA_UNWRAP,    CKA_DERIVE,   kCkaNonRepudiation, CKA_SENSITIVE, CKA_EXTRACTABLE,
    CKA_ALWAYS_SENSITIVE, CKA_NEVER_EXTRACTABLE, CKA_LOCAL,
};
constexpr CK_ATTRIBUTE_TYPE kPublicKeyCarried[] = {
    CKA_LABEL,  CKA_PRIVATE, CKA_MODIFIABLE, CKA_ID,     CKA_SUBJECT,        CKA_START_DATE,
    CKA_END_DATE, CKA_ENCRYPT, CKA_WRAP,     CKA_VERIFY, CKA_VERIFY_RECOVER, CKA_DERIVE,
    kCkaNonRepudiation, CKA_LOCAL,
};
constexpr CK_ATTRIBUTE_TYPE kCertificateCarried[] = {
    CKA_LABEL, CKA_PRIVATE, CKA_MODIFIABLE, CKA_ID, CKA_SUBJECT, CKA_ISSUER, CKA_SERIAL_NUMBER,
};
constexpr CK_ATTRIBUTE_TYPE kDataObjectCarried[] = {
    CKA_LABEL, CKA_PRIVATE, CKA_MODIFIABLE, CKA_APPLICATION, CKA_OBJECT_ID,
};

// An empty DER Name, written where a certificate has no subject or issuer:
// an empty open type would leave an entry that no form reads back.
constexpr std::uint8_t kEmptyName[] = {0x30, 0x00};

// ---------------------------------------------------------------- decoding

std::optional<ByteView> LabelBytes(const LabelHALVO_t* label) {
  if (!label) return std::nullopt;
  switch (label->present) {
    case LabelHALVO_PR_tipoutf8string:
      return asn1::Bytes(label->choice.tipoutf8string);
    case LabelHALVO_PR_tipot61string:
      return asn1::Bytes(label->choice.tipot61string);
    default:
      return std::nullopt;
  }
}

bool IsT61(const LabelHALVO_t* label) {
  return label && label->present == LabelHALVO_PR_tipot61string;
}

void SetFlagAttributes(CPKCS11Object& o, std::span<const FlagAttribute> bits, ByteView raw) {
  for (const auto& b : bits) o.SetBool(b.type, asn1::FlagBit(raw, b.bit));
}

void SetCommon(CPKCS11Object& o, const CommonObjectAttributes_t& common) {
  const ByteView flags = common.flags ? asn1::Bytes(*common.flags) : ByteView{};
  o.SetBool(CKA_PRIVATE, asn1::FlagBit(flags, 0));
  o.SetBool(CKA_MODIFIABLE, asn1::FlagBit(flags, 1));
  if (const auto label = LabelBytes(common.label)) o.Set(CKA_LABEL, *label);
}

std::int32_t OptionalInteger(const INTEGER_t* i) {
  return i ? static_cast<std::int32_t>(asn1::IntegerValue(*i)) : 0;
}

// Where the value or key lies. A stored path longer than 4 bytes is text.
void SetPlace(CPKCS11Object& o, const Path_t& place, bool& textPath) {
  const ByteView stored = asn1::Bytes(place.path);
  textPath = IsStoredAsText(stored);
  o.SetPath(PathFromStored(stored));
  o.SetIndex(OptionalInteger(place.index));
  o.SetLength(OptionalInteger(place.length));
}

// Appends the object and records the entry's form in the file.
bool Accept(CP15File& file, std::shared_ptr<CPKCS11Object> object, int standardFormat,
            bool textPath) {
  file.SetStandardFormat(standardFormat);
  if (textPath) file.SetPathForm(kPathFormText);
  file.Objects().push_back(std::move(object));
  return true;
}

template <typename Object, typename Entry>
bool AcceptKey(CP15File& file, const Entry& e, int standardFormat) {
  auto key = std::make_shared<Object>();
  SetCommon(*key, e.commonObjectAttributes);
  const CommonKeyAttributes_t& k = e.classAttributes;
  key->SetUlong(CKA_KEY_TYPE, CKK_RSA);
  key->Set(CKA_ID, asn1::Bytes(k.iD));
  if (e.subClassAttributes) key->Set(CKA_SUBJECT, asn1::Bytes(*e.subClassAttributes));
  if (k.startDate) key->Set(CKA_START_DATE, asn1::Bytes(*k.startDate));
  if (k.endDate) key->Set(CKA_END_DATE, asn1::Bytes(*k.endDate));
  SetFlagAttributes(*key, kUsageBits, asn1::Bytes(k.usage));
  SetFlagAttributes(*key, kAccessBits, k.accessFlags ? asn1::Bytes(*k.accessFlags) : ByteView{});

  key->SetKeyReference(static_cast<std::uint8_t>(asn1::IntegerValue(k.keyReference) & 0xFF));
  const std::uint32_t modulusBits = asn1::IntegerValue(e.typeAttributes.modulusLength);
  key->SetModulusBits(modulusBits);
  if constexpr (std::is_same_v<Object, CPKCS11PublicKeyObject>)
    key->SetUlong(CKA_MODULUS_BITS, modulusBits);

  bool textPath = false;
  SetPlace(*key, e.typeAttributes.value, textPath);
  return Accept(file, std::move(key), standardFormat, textPath);
}

// The open-type members hold one element each (asn1::OneElement).
template <typename Entry>
bool KeyMembersWellFormed(const Entry& e) {
  return asn1::OneElement(e.classAttributes.endDate) && asn1::OneElement(e.subClassAttributes);
}
template <typename Entry>
bool CertificateMembersWellFormed(const Entry& e) {
  return asn1::OneElement(&e.typeAttributes.subject) && asn1::OneElement(&e.typeAttributes.issuer);
}

// Standard form first; the card family's form is taken also when it asks
// for more data than the element holds.
template <typename Object, typename Standard, typename Halvo>
bool DecodeKey(CP15File& file, ByteView element) {
  {
    auto standard = asn1::Decode<Standard>(element);
    if (standard.ok() && KeyMembersWellFormed(*standard.value))
      return AcceptKey<Object>(file, *standard.value, 1);
  }
  auto halvo = asn1::Decode<Halvo>(element);
  if (halvo.code == asn1::DecodeCode::Failure || !halvo.value ||
      !KeyMembersWellFormed(*halvo.value))
    return false;
  return AcceptKey<Object>(file, *halvo.value, 0);
}

template <typename Entry>
bool AcceptCertificate(CP15File& file, const Entry& e, int standardFormat) {
  auto cert = std::make_shared<CPKCS11CertificateObject>();
  SetCommon(*cert, e.commonObjectAttributes);
  cert->SetUlong(CKA_CERTIFICATE_TYPE, CKC_X_509);
  cert->Set(CKA_ID, asn1::Bytes(e.classAttributes.iD));
  cert->Set(CKA_SUBJECT, asn1::Bytes(e.typeAttributes.subject));
  cert->Set(CKA_ISSUER, asn1::Bytes(e.typeAttributes.issuer));
  cert->Set(CKA_SERIAL_NUMBER, asn1::Bytes(e.typeAttributes.serialNumber));
  bool textPath = false;
  SetPlace(*cert, e.typeAttributes.value, textPath);
  return Accept(file, std::move(cert), standardFormat, textPath);
}

// ---------------------------------------------------------------- encoding

void FillLabel(LabelHALVO_t& label, ByteView bytes, bool standard) {
  if (standard) {
    label.present = LabelHALVO_PR_tipoutf8string;
    asn1::FillString(label.choice.tipoutf8string, bytes);
  } else {
    label.present = LabelHALVO_PR_tipot61string;
    asn1::FillString(label.choice.tipot61string, bytes);
  }
}

// Bit n of a flag string of byteCount bytes, from one-byte booleans on the
// object (a missing or malformed one raises CKR_ATTRIBUTE_TYPE_INVALID).
std::vector<std::uint8_t> FlagBytesOf(const CPKCS11Object& o, std::span<const FlagAttribute> bits,
                                      std::size_t byteCount) {
  std::vector<std::uint8_t> bytes(byteCount, 0);
  for (const auto& b : bits) {
    // Keys that the module created never carry the vendor attribute (a
    // template cannot set it): absent, it writes 0 rather than failing.
    const bool set = b.type == kCkaNonRepudiation && !o.Has(b.type) ? false : o.ReadBool(b.type);
    if (set) bytes[b.bit / 8] |= static_cast<std::uint8_t>(0x80u >> (b.bit % 8));
  }
  return bytes;
}

void FillCommon(CommonObjectAttributes_t& common, const CPKCS11Object& o, bool standard) {
  common.label = asn1::NewMember<LabelHALVO_t>();
  FillLabel(*common.label, o.Bytes(CKA_LABEL), standard);
  static constexpr FlagAttribute kCommonBits[] = {{CKA_PRIVATE, 0}, {CKA_MODIFIABLE, 1}};
  common.flags = asn1::NewMember<CommonObjectFlags_t>();
  asn1::FillFlags(*common.flags, FlagBytesOf(o, kCommonBits, 1), 6);
}

void FillPlace(Path_t& place, const CPKCS11Object& o, int pathForm) {
  asn1::FillString(place.path, PathForStorage(o.Path(), pathForm));
  const std::uint8_t index[] = {static_cast<std::uint8_t>(o.Index() & 0xFF)};
  place.index = asn1::NewMember<INTEGER_t>();
  asn1::FillInteger(*place.index, index);
  const std::uint8_t length[] = {static_cast<std::uint8_t>((o.Length() >> 8) & 0xFF),
                                 static_cast<std::uint8_t>(o.Length() & 0xFF)};
  place.length = asn1::NewMember<INTEGER_t>();
  asn1::FillInteger(*place.length, length);
}

int Finish(auto& entry, std::vector<std::uint8_t>& out) {
  auto encoded = asn1::EncodeToVector(entry, asn1::kEntryCapacity);
  if (!encoded) return 1;
  out = std::move(*encoded);
  return 0;
}

template <typename Entry>
int EncodeKeyAs(const CPKCS11KeyObject& key, int pathForm, bool standard, bool isPrivate,
                std::vector<std::uint8_t>& out) {
  auto entry = asn1::Make<Entry>();
  FillCommon(entry->commonObjectAttributes, key, standard);

  CommonKeyAttributes_t& k = entry->classAttributes;
  asn1::FillString(k.iD, key.Bytes(CKA_ID));
  using Bits = std::span<const FlagAttribute>;
  const Bits usage = isPrivate ? Bits(kPrivateUsageWritten) : Bits(kPublicUsageWritten);
  const Bits access = isPrivate ? Bits(kPrivateAccessWritten) : Bits(kPublicAccessWritten);
  asn1::FillFlags(k.usage, FlagBytesOf(key, usage, 2), 6);
  k.native = 1;
  k.accessFlags = asn1::NewMember<KeyAccessFlags_t>();
  asn1::FillFlags(*k.accessFlags, FlagBytesOf(key, access, 1), 3);
  const std::uint8_t reference[] = {key.KeyReference()};
  asn1::FillInteger(k.keyReference, reference);
  if (const ByteView start = key.Bytes(CKA_START_DATE); !start.empty()) {
    k.startDate = asn1::NewMember<GeneralizedTime_t>();
    asn1::FillString(*k.startDate, start);
  }
  if (const ByteView end = key.Bytes(CKA_END_DATE); !end.empty()) {
    k.endDate = asn1::NewMember<ANY_t>();
    asn1::FillAny(*k.endDate, end);
  }
  entry->subClassAttributes = asn1::NewMember<ANY_t>();
  asn1::FillAny(*entry->subClassAttributes, key.Bytes(CKA_SUBJECT));

  FillPlace(entry->typeAttributes.value, key, pathForm);
  const std::uint32_t bits = key.ModulusBits();
  if (bits != 0) {
    const std::uint8_t modulus[] = {static_cast<std::uint8_t>((bits >> 8) & 0xFF),
                                    static_cast<std::uint8_t>(bits & 0xFF)};
    asn1::FillInteger(entry->typeAttributes.modulusLength, modulus);
  } else {
    asn1::FillInteger(entry->typeAttributes.modulusLength, {});
  }
  return Finish(*entry, out);
}

template <typename Standard, typename Halvo>
int EncodeKey(const CP15File& file, const CPKCS11Object& object, bool isPrivate,
              std::vector<std::uint8_t>& out) {
  const auto* key = dynamic_cast<const CPKCS11KeyObject*>(&object);
  if (!key) return 1;
  if (file.StandardFormat() == 1)
    return EncodeKeyAs<Standard>(*key, file.PathForm(), true, isPrivate, out);
  return EncodeKeyAs<Halvo>(*key, file.PathForm(), false, isPrivate, out);
}

ByteView NameOrEmpty(const CPKCS11Object& o, CK_ATTRIBUTE_TYPE type) {
  const ByteView name = o.Bytes(type);
  return name.empty() ? ByteView(kEmptyName) : name;
}

template <typename Entry>
int EncodeCertificateAs(const CPKCS11Object& cert, int pathForm, bool standard,
                        std::vector<std::uint8_t>& out) {
  auto entry = asn1::Make<Entry>();
  FillCommon(entry->commonObjectAttributes, cert, standard);
  asn1::FillString(entry->classAttributes.iD, cert.Bytes(CKA_ID));
  auto& x509 = entry->typeAttributes;
  FillPlace(x509.value, cert, pathForm);
  asn1::FillAny(x509.subject, NameOrEmpty(cert, CKA_SUBJECT));
  asn1::FillAny(x509.issuer, NameOrEmpty(cert, CKA_ISSUER));
  asn1::FillInteger(x509.serialNumber, cert.Bytes(CKA_SERIAL_NUMBER));
  return Finish(*entry, out);
}

}  // namespace

// ---------------------------------------------------------------- CP15PrKDF

bool CP15PrKDF::Decode(std::span<const std::uint8_t> element) {
  return DecodeKey<CPKCS11PrivateKeyObject, PrivateKeyObject_t, PrivateKeyObjectHALVO_t>(*this,
                                                                                          element);
}

int CP15PrKDF::Encode(const CPKCS11Object& object, std::vector<std::uint8_t>& out) {
  return EncodeKey<PrivateKeyObject_t, PrivateKeyObjectHALVO_t>(*this, object, true, out);
}

std::span<const CK_ATTRIBUTE_TYPE> CP15PrKDF::CarriedAttributes() const {
  return kPrivateKeyCarried;
}

// ---------------------------------------------------------------- CP15PuKDF

bool CP15PuKDF::Decode(std::span<const std::uint8_t> element) {
  return DecodeKey<CPKCS11PublicKeyObject, PublicKeyObject_t, PublicKeyObjectHALVO_t>(*this,
                                                                                       element);
}

int CP15PuKDF::Encode(const CPKCS11Object& object, std::vector<std::uint8_t>& out) {
  return EncodeKey<PublicKeyObject_t, PublicKeyObjectHALVO_t>(*this, object, false, out);
}

std::span<const CK_ATTRIBUTE_TYPE> CP15PuKDF::CarriedAttributes() const {
  return kPublicKeyCarried;
}

// ---------------------------------------------------------------- CP15CDF

bool CP15CDF::Decode(std::span<const std::uint8_t> element) {
  {
    auto standard = asn1::Decode<CertificateObject_t>(element);
    if (standard.ok() && CertificateMembersWellFormed(*standard.value))
      return AcceptCertificate(*this, *standard.value, 1);
  }
  auto halvo = asn1::Decode<CertificateObjectHALVO_t>(element);
  if (!halvo.ok() || !CertificateMembersWellFormed(*halvo.value)) return false;
  return AcceptCertificate(*this, *halvo.value, 0);
}

int CP15CDF::Encode(const CPKCS11Object& object, std::vector<std::uint8_t>& out) {
  if (StandardFormat() == 1)
    return EncodeCertificateAs<CertificateObject_t>(object, PathForm(), true, out);
  return EncodeCertificateAs<CertificateObjectHALVO_t>(object, PathForm(), false, out);
}

std::span<const CK_ATTRIBUTE_TYPE> CP15CDF::CarriedAttributes() const {
  return kCertificateCarried;
}

// ---------------------------------------------------------------- CP15DODF

bool CP15DODF::Decode(std::span<const std::uint8_t> element) {
  auto decoded = asn1::Decode<DataObject_t>(element);
  if (decoded.code == asn1::DecodeCode::Failure || !decoded.value ||
      !asn1::OneElement(decoded.value->subClassAttributes))
    return false;
  const DataObject_t& e = *decoded.value;

  auto data = std::make_shared<CPKCS11DataObject>();
  SetCommon(*data, e.commonObjectAttributes);
  const CommonDataObjectAttributes_t& d = e.classAttributes;
  if (const auto name = LabelBytes(d.applicationName)) data->Set(CKA_APPLICATION, *name);
  if (d.applicationOID) data->Set(CKA_OBJECT_ID, asn1::Bytes(*d.applicationOID));
  bool textPath = false;
  SetPlace(*data, e.typeAttributes, textPath);

  // One entry type for both forms: the label alternative tells them apart.
  const bool t61 = IsT61(e.commonObjectAttributes.label) || IsT61(d.applicationName);
  return Accept(*this, std::move(data), t61 ? 0 : 1, textPath);
}

int CP15DODF::Encode(const CPKCS11Object& object, std::vector<std::uint8_t>& out) {
  const bool standard = StandardFormat() == 1;
  auto entry = asn1::Make<DataObject_t>();
  FillCommon(entry->commonObjectAttributes, object, standard);
  CommonDataObjectAttributes_t& d = entry->classAttributes;
  d.applicationName = asn1::NewMember<LabelHALVO_t>();
  FillLabel(*d.applicationName, object.Bytes(CKA_APPLICATION), standard);
  if (const ByteView oid = object.Bytes(CKA_OBJECT_ID); !oid.empty()) {
    d.applicationOID = asn1::NewMember<OBJECT_IDENTIFIER_t>();
    asn1::FillInteger(*d.applicationOID, oid);  // same primitive buffer as INTEGER
  }
  FillPlace(entry->typeAttributes, object, PathForm());
  return Finish(*entry, out);
}

std::span<const CK_ATTRIBUTE_TYPE> CP15DODF::CarriedAttributes() const {
  return kDataObjectCarried;
}

}  // namespace zorbix::p15
