// Object model: handles, class defaults and rules, attribute kinds, template
// matching, the object store, values loaded from the card, label from subject.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "p11/objects.h"
#include "tests/p11/object_attributes.h"
#include "tests/p11/raised.h"
#include "tests/support/hex.h"

namespace zorbix::p11 {
namespace {

using testing::Hex;
using testing::RaisedBy;
using testing::ToHex;
using Bytes = std::vector<std::uint8_t>;

// Taken while the test program starts, before any test builds an object.
const CK_OBJECT_HANDLE kFirstHandleOfProcess = CPKCS11DataObject().Handle();

constexpr auto Ul = &testing::UlongBytes;
const Bytes kTrue = {1};
const Bytes kFalse = {0};

Bytes Value(const CPKCS11Object& o, CK_ATTRIBUTE_TYPE t) {
  const auto b = o.Bytes(t);
  return {b.begin(), b.end()};
}

CK_ATTRIBUTE Entry(CK_ATTRIBUTE_TYPE type, const void* value, CK_ULONG length) {
  return {type, const_cast<void*>(value), length};
}

// ---------------------------------------------------------------- handles

TEST(objects, HandlesStartAt0x200000AndAreNeverReused) {
  EXPECT_EQ(kFirstHandleOfProcess, 0x200000u);

  const CK_OBJECT_HANDLE before = CPKCS11CertificateObject().Handle();  // discarded at once
  CObjectStore store;
  auto a = std::make_shared<CPKCS11PrivateKeyObject>();
  EXPECT_EQ(a->Handle(), before + 1);  // the discarded object used its handle up
  store.Add(a);
  const CK_OBJECT_HANDLE removed = a->Handle();
  store.Remove(*a);
  a.reset();
  EXPECT_EQ(RaisedBy([&] { store.Find(removed); }), CKR_OBJECT_HANDLE_INVALID);

  auto b = CreateObjectOfClass(CKO_DATA);
  EXPECT_EQ(b->Handle(), removed + 1);
  CObjectStore otherToken;
  otherToken.Add(b);
  EXPECT_EQ(RaisedBy([&] { otherToken.Find(removed); }), CKR_OBJECT_HANDLE_INVALID);
  EXPECT_EQ(RaisedBy([&] { store.Find(b->Handle()); }), CKR_OBJECT_HANDLE_INVALID);
}

// ---------------------------------------------------------------- defaults

TEST(objects, ConstructorsSetTheDefaultsOfTheirClass) {
  struct Case {
    CK_OBJECT_CLASS objectClass;
    std::map<CK_ATTRIBUTE_TYPE, Bytes> attributes;
  };
  const std::vector<Case> cases = {
      {CKO_CERTIFICATE,
       {{CKA_CLASS, Ul(CKO_CERTIFICATE)}, {CKA_TOKEN, kTrue}, {CKA_PRIVATE, kFalse},
        {CKA_MODIFIABLE, kTrue}, {CKA_LABEL, {}}}},
      {CKO_DATA,
       {{CKA_CLASS, Ul(CKO_DATA)}, {CKA_TOKEN, kTrue}, {CKA_PRIVATE, kFalse},
        {CKA_MODIFIABLE, kTrue}, {CKA_LABEL, {}}, {CKA_APPLICATION, {}}}},
      {CKO_PUBLIC_KEY,
       {{CKA_CLASS, Ul(CKO_PUBLIC_KEY)}, {CKA_TOKEN, kTrue}, {CKA_PRIVATE, kFalse},
        {CKA_MODIFIABLE, kTrue}, {CKA_LABEL, {}}, {CKA_SUBJECT, {}}, {CKA_DERIVE, kFalse},
        {CKA_LOCAL, kFalse}, {CKA_ENCRYPT, kFalse}, {CKA_VERIFY, kFalse},
        {CKA_VERIFY_RECOVER, kFalse}, {CKA_WRAP, kFalse}}},
      {CKO_PRIVATE_KEY,
       {{CKA_CLASS, Ul(CKO_PRIVATE_KEY)}, {CKA_TOKEN, kTrue}, {CKA_PRIVATE, kFalse},
        {CKA_MODIFIABLE, kTrue}, {CKA_LABEL, {}}, {CKA_SUBJECT, {}}, {CKA_DERIVE, kFalse},
        {CKA_LOCAL, kFalse}, {CKA_SENSITIVE, kFalse}, {CKA_DECRYPT, kFalse},
        {CKA_SIGN, kFalse}, {CKA_SIGN_RECOVER, kFalse}, {CKA_UNWRAP, kFalse},
        {CKA_EXTRACTABLE, kFalse}, {CKA_ALWAYS_SENSITIVE, kFalse},
        {CKA_NEVER_EXTRACTABLE, kFalse}}},
  };
  for (const auto& c : cases) {
    const auto o = CreateObjectOfClass(c.objectClass);
    ASSERT_TRUE(o);
    EXPECT_EQ(o->ObjectClass(), c.objectClass);
    EXPECT_EQ(testing::AttributesOf(*o), c.attributes) << "class " << c.objectClass;
    EXPECT_EQ(o->ReadUlong(CKA_CLASS), c.objectClass);
    EXPECT_TRUE(o->Path().empty());
  }
  EXPECT_FALSE(CreateObjectOfClass(CKO_SECRET_KEY));
}

// ---------------------------------------------------------------- kinds

TEST(objects, TemplateValuesAreStoredByTheirKind) {
  const std::uint8_t fourTrue[] = {1, 0, 0, 0};
  const std::uint8_t label[] = {'K', 'e', 'y'};
  const CK_ULONG rsa = CKK_RSA;
  struct Case {
    const char* name;
    CK_ATTRIBUTE entry;
    CK_RV rv;
    Bytes stored;
  };
  const std::vector<Case> cases = {
      {"boolean keeps its first byte", Entry(CKA_SIGN, fourTrue, 4), CKR_OK, {1}},
      {"boolean of one byte", Entry(CKA_TOKEN, fourTrue, 1), CKR_OK, {1}},
      {"bytes as given", Entry(CKA_LABEL, label, 3), CKR_OK, {'K', 'e', 'y'}},
      {"CK_ULONG as given", Entry(CKA_KEY_TYPE, &rsa, sizeof rsa), CKR_OK, Ul(CKK_RSA)},
      {"empty bytes", Entry(CKA_ID, nullptr, 0), CKR_OK, {}},
      {"type of no kind", Entry(CKA_TRUSTED, fourTrue, 1), CKR_ATTRIBUTE_TYPE_INVALID, {}},
      {"the vendor non-repudiation attribute", Entry(kCkaNonRepudiation, fourTrue, 1),
       CKR_ATTRIBUTE_TYPE_INVALID, {}},
      {"boolean without a byte", Entry(CKA_SIGN, fourTrue, 0), CKR_ATTRIBUTE_VALUE_INVALID, {}},
      {"null value with a length", Entry(CKA_LABEL, nullptr, 3), CKR_ATTRIBUTE_VALUE_INVALID, {}},
  };
  for (const auto& c : cases) {
    CPKCS11PrivateKeyObject key;
    key.Erase(c.entry.type);
    EXPECT_EQ(RaisedBy([&] { key.SetFromTemplate(c.entry); }), c.rv) << c.name;
    if (c.rv == CKR_OK) {
      EXPECT_EQ(Value(key, c.entry.type), c.stored) << c.name;
    } else {
      EXPECT_FALSE(key.Has(c.entry.type)) << c.name;
    }
  }
  EXPECT_EQ(KindOf(CKA_MODIFIABLE), AttributeKind::Boolean);
  EXPECT_EQ(KindOf(CKA_VALUE_LEN), AttributeKind::Bytes);
  EXPECT_EQ(KindOf(CKA_CHECK_VALUE), AttributeKind::Invalid);
}

TEST(objects, InternalReadersWantTheExactWidth) {
  CPKCS11PublicKeyObject key;
  key.SetUlong(CKA_KEY_TYPE, CKK_RSA);
  EXPECT_EQ(key.ReadUlong(CKA_KEY_TYPE), CKK_RSA);
  EXPECT_FALSE(key.ReadBool(CKA_VERIFY));

  const std::uint32_t four = CKK_RSA;
  key.Set(CKA_KEY_TYPE, {reinterpret_cast<const std::uint8_t*>(&four), sizeof four});
  EXPECT_EQ(RaisedBy([&] { key.ReadUlong(CKA_KEY_TYPE); }), CKR_ATTRIBUTE_TYPE_INVALID);
  key.Set(CKA_VERIFY, Hex("01 00"));
  EXPECT_EQ(RaisedBy([&] { key.ReadBool(CKA_VERIFY); }), CKR_ATTRIBUTE_TYPE_INVALID);
  EXPECT_FALSE(key.IsTrue(CKA_VERIFY));
  EXPECT_EQ(RaisedBy([&] { key.ReadBool(CKA_SIGN); }), CKR_ATTRIBUTE_TYPE_INVALID);  // absent
}

// ---------------------------------------------------------------- class rules

TEST(objects, ClassTablesDecideCreationModificationAndSensitivity) {
  struct Case {
    CK_OBJECT_CLASS objectClass;
    std::vector<CK_ATTRIBUTE_TYPE> types;
    bool creation;
    bool modification;
  };
  const std::vector<Case> cases = {
      {CKO_CERTIFICATE, {CKA_CLASS, CKA_VALUE, CKA_CERTIFICATE_TYPE, CKA_SUBJECT}, true, false},
      {CKO_CERTIFICATE, {CKA_LABEL, CKA_ISSUER, CKA_SERIAL_NUMBER, CKA_ID}, true, true},
      {CKO_CERTIFICATE, {CKA_LABEL, CKA_SUBJECT}, true, false},
      {CKO_CERTIFICATE, {CKA_APPLICATION}, false, false},
      {CKO_DATA, {CKA_LABEL, CKA_APPLICATION, CKA_VALUE}, true, true},
      {CKO_DATA, {CKA_OBJECT_ID}, true, false},
      {CKO_DATA, {CKA_ID}, false, false},
      {CKO_PUBLIC_KEY, {CKA_MODULUS, CKA_MODULUS_BITS, CKA_PUBLIC_EXPONENT, CKA_WRAP}, true, false},
      {CKO_PUBLIC_KEY, {CKA_ENCRYPT, CKA_VERIFY, CKA_VERIFY_RECOVER, CKA_DERIVE, CKA_END_DATE}, true,
       true},
      {CKO_PUBLIC_KEY, {CKA_PRIVATE_EXPONENT}, false, false},
      {CKO_PRIVATE_KEY, {CKA_PRIVATE_EXPONENT, CKA_PRIME_1, CKA_COEFFICIENT, CKA_MODULUS}, true,
       false},
      {CKO_PRIVATE_KEY, {CKA_SENSITIVE, CKA_SIGN, CKA_UNWRAP, CKA_EXTRACTABLE}, true, true},
      {CKO_PRIVATE_KEY, {CKA_MODULUS_BITS}, false, false},
      {CKO_PRIVATE_KEY, {CKA_LABEL, CKA_CLASS}, true, false},
      {CKO_PRIVATE_KEY, {}, true, true},
  };
  for (const auto& c : cases) {
    const auto o = CreateObjectOfClass(c.objectClass);
    std::vector<CK_ATTRIBUTE> tmpl;
    for (auto t : c.types) tmpl.push_back({t, nullptr, 0});
    EXPECT_EQ(o->CheckCreationTemplate(tmpl), c.creation) << "class " << c.objectClass;
    EXPECT_EQ(o->CheckModificationTemplate(tmpl), c.modification) << "class " << c.objectClass;
  }

  const std::vector<CK_ATTRIBUTE_TYPE> sensitive = {CKA_PRIVATE_EXPONENT, CKA_PRIME_1,
                                                    CKA_PRIME_2,          CKA_EXPONENT_1,
                                                    CKA_EXPONENT_2,       CKA_COEFFICIENT};
  for (CK_OBJECT_CLASS cls : {CKO_CERTIFICATE, CKO_DATA, CKO_PUBLIC_KEY, CKO_PRIVATE_KEY}) {
    const auto o = CreateObjectOfClass(cls);
    for (auto t : sensitive) EXPECT_EQ(o->IsSensitiveAttribute(t), cls == CKO_PRIVATE_KEY) << cls;
    EXPECT_FALSE(o->IsSensitiveAttribute(CKA_MODULUS));
  }
}

TEST(objects, PrivateKeysAreProtectedUnlessExtractableAndNotSensitive) {
  CPKCS11PrivateKeyObject key;
  EXPECT_TRUE(key.IsProtected());  // defaults: not extractable
  key.SetBool(CKA_EXTRACTABLE, true);
  EXPECT_FALSE(key.IsProtected());
  key.SetBool(CKA_SENSITIVE, true);
  EXPECT_TRUE(key.IsProtected());
  EXPECT_FALSE(CPKCS11PublicKeyObject().IsProtected());
}

// ---------------------------------------------------------------- matching

TEST(objects, TemplateMatchComparesTheStoredBytesExactly) {
  CPKCS11CertificateObject cert;
  cert.Set(CKA_ID, Hex("45 67"));
  const CK_BBOOL yes = CK_TRUE;
  const CK_ULONG tokenAsLong = CK_TRUE;
  const std::uint32_t tokenAs4 = CK_TRUE;
  const CK_OBJECT_CLASS certClass = CKO_CERTIFICATE;
  const std::uint32_t certClass4 = CKO_CERTIFICATE;
  const auto id = Hex("45 67");
  const auto idPrefix = Hex("45");
  struct Case {
    const char* name;
    std::vector<CK_ATTRIBUTE> tmpl;
    bool matches;
  };
  const std::vector<Case> cases = {
      {"empty template", {}, true},
      {"CKA_TOKEN as a CK_BBOOL", {Entry(CKA_TOKEN, &yes, 1)}, true},
      {"CKA_TOKEN in 4 bytes", {Entry(CKA_TOKEN, &tokenAs4, 4)}, false},
      {"CKA_TOKEN as a CK_ULONG", {Entry(CKA_TOKEN, &tokenAsLong, sizeof tokenAsLong)}, false},
      {"class as a CK_ULONG", {Entry(CKA_CLASS, &certClass, sizeof certClass)}, true},
      {"class in 4 bytes", {Entry(CKA_CLASS, &certClass4, 4)}, sizeof(CK_ULONG) == 4},
      {"class and id", {Entry(CKA_CLASS, &certClass, sizeof certClass), Entry(CKA_ID, id.data(), 2)},
       true},
      {"a prefix of the id", {Entry(CKA_ID, idPrefix.data(), 1)}, false},
      {"an attribute the object lacks", {Entry(CKA_VALUE, id.data(), 2)}, false},
      {"a null value with a length", {Entry(CKA_ID, nullptr, 2)}, false},
      {"an empty label", {Entry(CKA_LABEL, nullptr, 0)}, true},
  };
  for (const auto& c : cases) EXPECT_EQ(cert.Matches(c.tmpl), c.matches) << c.name;
}

// ---------------------------------------------------------------- store

TEST(objects, StoreKeepsTheOrderOfAddingAndHidesPrivateObjects) {
  CObjectStore store;
  auto cert = std::make_shared<CPKCS11CertificateObject>();
  auto key = std::make_shared<CPKCS11PrivateKeyObject>();
  key->SetBool(CKA_PRIVATE, true);
  auto pub = std::make_shared<CPKCS11PublicKeyObject>();
  auto data = std::make_shared<CPKCS11DataObject>();
  for (const auto& o : std::vector<CObjectStore::ObjectPtr>{cert, key, pub, data}) store.Add(o);
  store.Add(cert);  // a second add changes nothing
  ASSERT_EQ(store.Size(), 4u);

  using Handles = std::vector<CK_OBJECT_HANDLE>;
  EXPECT_EQ(store.Search({}, false), (Handles{cert->Handle(), key->Handle(), pub->Handle(),
                                              data->Handle()}));
  EXPECT_EQ(store.Search({}, true), (Handles{cert->Handle(), pub->Handle(), data->Handle()}));
  const CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
  const CK_ATTRIBUTE byClass[] = {Entry(CKA_CLASS, &cls, sizeof cls)};
  EXPECT_EQ(store.Search(byClass, false), (Handles{key->Handle()}));
  EXPECT_TRUE(store.Search(byClass, true).empty());

  EXPECT_EQ(&store.Find(pub->Handle()), pub.get());
  EXPECT_EQ(RaisedBy([&] { store.Find(0); }), CKR_OBJECT_HANDLE_INVALID);

  // A directory file may still hold a removed object: it lives on there.
  std::weak_ptr<CPKCS11Object> watch = key;
  CObjectStore::ObjectPtr directoryCopy = key;
  key.reset();
  store.Remove(*directoryCopy);
  EXPECT_FALSE(watch.expired());
  EXPECT_EQ(RaisedBy([&] { store.Remove(*directoryCopy); }), CKR_OBJECT_HANDLE_INVALID);
  directoryCopy.reset();
  EXPECT_TRUE(watch.expired());
  EXPECT_EQ(store.Search({}, false), (Handles{cert->Handle(), pub->Handle(), data->Handle()}));
  EXPECT_EQ(RaisedBy([&] { store.Add(nullptr); }), CKR_GENERAL_ERROR);
}

// ---------------------------------------------------------------- lazy loads

// The card as the objects see it: compressed files by path, keys by reference.
class FakeLoader : public CObjectLoader {
 public:
  void ReadCompressed(ByteView path, std::vector<std::uint8_t>& out) override {
    calls.push_back("value " + ToHex(path));
    if (failValue) throw Pkcs11Exception(failValue);
    out = Hex("30 03 02 01 07");
  }
  void ReadPublicKey(std::uint8_t ref, std::vector<std::uint8_t>& exponent,
                     std::vector<std::uint8_t>& modulus) override {
    calls.push_back("key " + std::to_string(ref));
    if (failKey) throw Pkcs11Exception(failKey);
    exponent = Hex("01 00 01");
    modulus = Hex("C1 C2 C3");
  }
  std::vector<std::string> calls;
  CK_RV failValue = CKR_OK;
  CK_RV failKey = CKR_OK;
};

TEST(objects, CertificateValueIsReadFromTheCardOnTheFirstRequestOnly) {
  FakeLoader card;
  CPKCS11CertificateObject cert;
  cert.SetPath(Hex("60 61 00 03"));
  EXPECT_FALSE(cert.Has(CKA_VALUE));

  const AttributeValue* v = cert.FindLoaded(CKA_VALUE, card);
  ASSERT_TRUE(v);
  EXPECT_EQ(Bytes(v->begin(), v->end()), Hex("30 03 02 01 07"));
  cert.FindLoaded(CKA_VALUE, card);
  EXPECT_EQ(cert.FindLoaded(CKA_LABEL, card)->size(), 0u);  // not a card value
  EXPECT_EQ(cert.FindLoaded(CKA_MODULUS, card), nullptr);
  EXPECT_EQ(card.calls, (std::vector<std::string>{"value 60 61 00 03"}));

  // Without a path there is nothing to read.
  CPKCS11DataObject data;
  EXPECT_EQ(data.FindLoaded(CKA_VALUE, card), nullptr);
  EXPECT_EQ(card.calls.size(), 1u);

  // A failed read is passed on and leaves the value absent.
  data.SetPath(Hex("60 81 00 04"));
  card.failValue = 0x80106A82;
  EXPECT_EQ(RaisedBy([&] { data.FindLoaded(CKA_VALUE, card); }), 0x80106A82u);
  EXPECT_FALSE(data.Has(CKA_VALUE));
}

TEST(objects, KeyPartsLoadOnceAndAFailedLoadLeavesThemAbsent) {
  FakeLoader card;
  CPKCS11PrivateKeyObject key;
  key.SetKeyReference(2);
  EXPECT_EQ(Value(key, CKA_PUBLIC_EXPONENT), Bytes{});
  const AttributeValue* modulus = key.FindLoaded(CKA_MODULUS, card);
  ASSERT_TRUE(modulus);
  EXPECT_EQ(Bytes(modulus->begin(), modulus->end()), Hex("C1 C2 C3"));
  EXPECT_EQ(Value(key, CKA_PUBLIC_EXPONENT), Hex("01 00 01"));
  key.FindLoaded(CKA_PUBLIC_EXPONENT, card);
  EXPECT_EQ(key.FindLoaded(CKA_VALUE, card), nullptr);
  EXPECT_EQ(card.calls, (std::vector<std::string>{"key 2"}));

  CPKCS11PublicKeyObject pub;
  card.failKey = 0x80106A82;  // the card has no such key
  EXPECT_EQ(pub.FindLoaded(CKA_MODULUS, card), nullptr);
  EXPECT_FALSE(pub.Has(CKA_PUBLIC_EXPONENT));

  // A removed card is passed on, so that the token's sessions end.
  card.failKey = CKR_SESSION_HANDLE_INVALID;
  EXPECT_EQ(RaisedBy([&] { pub.FindLoaded(CKA_PUBLIC_EXPONENT, card); }),
            CKR_SESSION_HANDLE_INVALID);
  EXPECT_FALSE(pub.Has(CKA_MODULUS));
}

TEST(objects, PreloadFetchesWhatTheTemplateAsksForAndSkipsFailures) {
  CObjectStore store;
  auto certA = std::make_shared<CPKCS11CertificateObject>();
  certA->SetPath(Hex("60 61 00 01"));
  auto certB = std::make_shared<CPKCS11CertificateObject>();
  certB->SetPath(Hex("60 61 00 02"));
  certB->Set(CKA_VALUE, Hex("30 00"));  // already there
  auto data = std::make_shared<CPKCS11DataObject>();
  data->SetPath(Hex("60 81 00 03"));
  auto rsa = std::make_shared<CPKCS11PublicKeyObject>();
  rsa->SetUlong(CKA_KEY_TYPE, CKK_RSA);
  rsa->SetKeyReference(1);
  auto other = std::make_shared<CPKCS11PrivateKeyObject>();
  other->SetUlong(CKA_KEY_TYPE, CKK_EC);
  other->SetKeyReference(2);
  auto noType = std::make_shared<CPKCS11PrivateKeyObject>();
  noType->SetKeyReference(3);
  auto half = std::make_shared<CPKCS11PrivateKeyObject>();
  half->SetUlong(CKA_KEY_TYPE, CKK_RSA);
  half->SetKeyReference(4);
  half->Set(CKA_MODULUS, Hex("AA"));  // lacks the exponent only
  for (const auto& o :
       std::vector<CObjectStore::ObjectPtr>{certA, certB, data, rsa, other, noType, half})
    store.Add(o);

  FakeLoader card;
  const CK_ATTRIBUTE labelOnly[] = {Entry(CKA_LABEL, nullptr, 0)};
  store.Preload(labelOnly, card);
  EXPECT_TRUE(card.calls.empty());

  card.failValue = 0x80106A82;  // every value read fails: each object is still tried
  const CK_ATTRIBUTE value[] = {Entry(CKA_VALUE, nullptr, 0)};
  store.Preload(value, card);
  EXPECT_EQ(card.calls, (std::vector<std::string>{"value 60 61 00 01", "value 60 81 00 03"}));

  card.calls.clear();
  const CK_ATTRIBUTE exponent[] = {Entry(CKA_PUBLIC_EXPONENT, nullptr, 0)};
  store.Preload(exponent, card);
  EXPECT_EQ(card.calls, (std::vector<std::string>{"key 1", "key 4"}));
  EXPECT_EQ(Value(*half, CKA_PUBLIC_EXPONENT), Hex("01 00 01"));

  card.calls.clear();
  const CK_ATTRIBUTE modulus[] = {Entry(CKA_MODULUS, nullptr, 0)};
  store.Preload(modulus, card);
  EXPECT_TRUE(card.calls.empty());  // cached
}

// ---------------------------------------------------------------- label from subject

// Relative names written by hand: C=ES, O=ORVA, OU=Test, serialNumber=1234.
const std::string kFourNames =
    "31 0B 30 09 06 03 55 04 06 13 02 45 53"
    "31 0D 30 0B 06 03 55 04 0A 13 04 4F 52 56 41"
    "31 0D 30 0B 06 03 55 04 0B 13 04 54 65 73 74"
    "31 0D 30 0B 06 03 55 04 05 13 04 31 32 33 34";

TEST(objects, LabelFromSubjectTakesTheFifthNamesPrintableString) {
  struct Case {
    const char* name;
    std::string subject;
    const char* label;  // null: unchanged
  };
  const std::vector<Case> cases = {
      {"fifth name CN=ANA", "30 48" + kFourNames + "31 0C 30 0A 06 03 55 04 03 13 03 41 4E 41",
       "ANA"},
      {"fifth name as a SEQUENCE", "30 48" + kFourNames + "30 0C 30 0A 06 03 55 04 03 13 03 41 4E 41",
       "ANA"},
      {"a sixth name after it",
       "30 55" + kFourNames + "31 0C 30 0A 06 03 55 04 03 13 03 41 4E 41" +
           "31 0B 30 09 06 03 55 04 07 13 02 58 58",
       "ANA"},
      {"fifth name a UTF8String", "30 48" + kFourNames + "31 0C 30 0A 06 03 55 04 03 0C 03 41 4E 41",
       nullptr},
      {"fifth name with a two-byte length",
       "30 49" + kFourNames + "31 0D 30 0B 06 03 55 04 03 13 81 03 41 4E 41", nullptr},
      {"four names only", "30 3A" + kFourNames, nullptr},
      {"no OBJECT IDENTIFIER first",
       "30 48" + kFourNames + "31 0C 30 0A 04 03 55 04 03 13 03 41 4E 41", nullptr},
      {"an element that is neither SEQUENCE nor SET",
       "30 3C 31 0B 30 09 06 03 55 04 06 13 02 45 53  04 00" +
           kFourNames.substr(kFourNames.find("31 0D")),
       nullptr},
      {"bytes after the Name",
       "30 48" + kFourNames + "31 0C 30 0A 06 03 55 04 03 13 03 41 4E 41  00", nullptr},
      {"cut short", "30 48" + kFourNames + "31 0C 30 0A 06 03 55 04 03 13 03 41 4E", nullptr},
      {"empty", "", nullptr},
  };
  for (const auto& c : cases) {
    CPKCS11CertificateObject cert;
    cert.Set(CKA_LABEL, Hex("4F 6C 64"));
    cert.Set(CKA_SUBJECT, Hex(c.subject));
    cert.LabelFromSubject();
    const std::string label(reinterpret_cast<const char*>(cert.Bytes(CKA_LABEL).data()),
                            cert.Bytes(CKA_LABEL).size());
    EXPECT_EQ(label, c.label ? c.label : "Old") << c.name;
  }
  CPKCS11DataObject noSubject;
  noSubject.LabelFromSubject();
  EXPECT_TRUE(noSubject.Bytes(CKA_LABEL).empty());
}

}  // namespace
}  // namespace zorbix::p11
