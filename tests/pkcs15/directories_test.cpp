// Directory entries to PKCS#11 objects and back, against entries written by
// hand from the card-structure module (fixtures/*.hex).
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "fake_card.h"
#include "fixtures.h"
#include "hex.h"
#include "p11/objects.h"
#include "pkcs15/asn1types.h"
#include "pkcs15/directories.h"
#include "tests/p11/object_attributes.h"
#include "tests/p11/raised.h"

namespace zorbix::p15 {
namespace {

using p11::CPKCS11CertificateObject;
using p11::CPKCS11DataObject;
using p11::CPKCS11KeyObject;
using p11::CPKCS11PrivateKeyObject;
using p11::CPKCS11PublicKeyObject;
using p11::kCkaNonRepudiation;
using testing::Concat;
using testing::FakeCard;
using testing::Hex;
using testing::RaisedBy;
using testing::TextBytes;
using testing::ToHex;
using Bytes = std::vector<std::uint8_t>;
using Attributes = testing::AttributeBytes;
namespace der = testing::der;

// A fixture file: hex bytes, "#" to the end of the line is a comment.
Bytes Fixture(const std::string& name) {
  std::ifstream in(std::string(ZORBIX_PKCS15_FIXTURES) + "/" + name);
  EXPECT_TRUE(in) << name;
  std::string line, hex;
  while (std::getline(in, line)) hex += line.substr(0, line.find('#')) + " ";
  return Hex(hex);
}

constexpr auto Ul = &testing::UlongBytes;
const Bytes T = {1};
const Bytes F = {0};

// The NAME and CA of fixtures/README.
const Bytes kName = Hex(
    "30 48 31 0B 30 09 06 03 55 04 06 13 02 45 53 31 0D 30 0B 06 03 55 04 0A 13 04 4F 52 56 41"
    "31 0D 30 0B 06 03 55 04 0B 13 04 54 65 73 74 31 0D 30 0B 06 03 55 04 05 13 04 31 32 33 34"
    "31 0C 30 0A 06 03 55 04 03 13 03 41 4E 41");
const Bytes kCa = Hex("30 0D 31 0B 30 09 06 03 55 04 03 13 02 43 41");

const CPKCS11KeyObject& Key(const CP15File& f, std::size_t i = 0) {
  return dynamic_cast<const CPKCS11KeyObject&>(*f.Objects().at(i));
}

// Encodes object with the given flags; the entry, or empty when it failed.
Bytes Written(CP15File& file, const CPKCS11Object& object, int standardFormat, int pathForm) {
  file.SetStandardFormat(standardFormat);
  file.SetPathForm(pathForm);
  Bytes out;
  EXPECT_EQ(file.Encode(object, out), 0);
  return out;
}

// The private key of prkdf_halvo.hex, as decoded from either form.
const Attributes kPrivateKey = {
    {CKA_CLASS, Ul(CKO_PRIVATE_KEY)}, {CKA_TOKEN, T},  {CKA_PRIVATE, T},
    {CKA_MODIFIABLE, F},     {CKA_LABEL, TextBytes("Kpriv")}, {CKA_KEY_TYPE, Ul(CKK_RSA)},
    {CKA_ID, Hex("45 67")},  {CKA_SUBJECT, kName},
    {CKA_ENCRYPT, F},        {CKA_DECRYPT, T},         {CKA_SIGN, T},
    {CKA_SIGN_RECOVER, F},   {CKA_WRAP, F},            {CKA_UNWRAP, F},
    {CKA_VERIFY, F},         {CKA_VERIFY_RECOVER, F},  {CKA_DERIVE, F},
    {kCkaNonRepudiation, F}, {CKA_SENSITIVE, T},       {CKA_EXTRACTABLE, F},
    {CKA_ALWAYS_SENSITIVE, T}, {CKA_NEVER_EXTRACTABLE, T}, {CKA_LOCAL, T},
};

TEST(directories, CardFamilyPrivateKeyEntry) {
  CP15PrKDF f;
  ASSERT_TRUE(f.Decode(Fixture("prkdf_halvo.hex")));
  ASSERT_EQ(f.Objects().size(), 1u);
  const auto& key = Key(f);
  EXPECT_EQ(testing::AttributesOf(key), kPrivateKey);
  EXPECT_EQ(ToHex(key.Path()), "3F 11 01 01");
  EXPECT_EQ(key.Index(), 0);
  EXPECT_EQ(key.Length(), 1024);
  EXPECT_EQ(key.KeyReference(), 1);
  EXPECT_EQ(key.ModulusBits(), 2048u);
  EXPECT_EQ(f.StandardFormat(), 0);
  EXPECT_EQ(f.PathForm(), 0);  // "\3F11\0101" is text
}

TEST(directories, CardFamilyPrivateKeyWrittenBackInBothForms) {
  CP15PrKDF f;
  ASSERT_TRUE(f.Decode(Fixture("prkdf_halvo.hex")));
  const auto& key = Key(f);
  EXPECT_EQ(ToHex(Written(f, key, 0, 0)), ToHex(Fixture("prkdf_written_halvo.hex")));
  const Bytes standard = Written(f, key, 1, 2);
  EXPECT_EQ(ToHex(standard), ToHex(Fixture("prkdf_written_standard.hex")));

  // The standard entry reads back as the same key.
  CP15PrKDF again;
  ASSERT_TRUE(again.Decode(standard));
  EXPECT_EQ(again.StandardFormat(), 1);
  EXPECT_EQ(again.PathForm(), 2);
  EXPECT_EQ(testing::AttributesOf(Key(again)), kPrivateKey);
  EXPECT_EQ(Key(again).Path(), key.Path());
  EXPECT_EQ(Key(again).Length(), 1024);
}

TEST(directories, StandardPublicKeyEntry) {
  CP15PuKDF f;
  ASSERT_TRUE(f.Decode(Fixture("pukdf_standard.hex")));
  const auto& key = Key(f);
  const Attributes expected = {
      {CKA_CLASS, Ul(CKO_PUBLIC_KEY)}, {CKA_TOKEN, T},   {CKA_PRIVATE, F},
      {CKA_MODIFIABLE, T},     {CKA_LABEL, TextBytes("Kpub")}, {CKA_KEY_TYPE, Ul(CKK_RSA)},
      {CKA_ID, Hex("45 67")},  {CKA_SUBJECT, {}},  // the constructor's: no subClassAttributes
      {CKA_START_DATE, TextBytes("20260101000000Z")},
      {CKA_END_DATE, Concat({Hex("18 0F"), TextBytes("20460101000000Z")})},
      {CKA_ENCRYPT, T},        {CKA_DECRYPT, F},    {CKA_SIGN, F},
      {CKA_SIGN_RECOVER, F},   {CKA_WRAP, F},       {CKA_UNWRAP, F},
      {CKA_VERIFY, T},         {CKA_VERIFY_RECOVER, F}, {CKA_DERIVE, F},
      {kCkaNonRepudiation, T}, {CKA_SENSITIVE, F},  {CKA_EXTRACTABLE, F},
      {CKA_ALWAYS_SENSITIVE, F}, {CKA_NEVER_EXTRACTABLE, F}, {CKA_LOCAL, T},
      {CKA_MODULUS_BITS, Ul(1024)},
  };
  EXPECT_EQ(testing::AttributesOf(key), expected);
  EXPECT_EQ(key.KeyReference(), 2);
  EXPECT_EQ(key.ModulusBits(), 1024u);
  EXPECT_EQ(ToHex(key.Path()), "3F 11 01 02");
  EXPECT_EQ(f.StandardFormat(), 1);
  EXPECT_EQ(f.PathForm(), 2);

  EXPECT_EQ(ToHex(Written(f, key, 1, 2)), ToHex(Fixture("pukdf_written_standard.hex")));
}

TEST(directories, CardFamilyCertificateEntry) {
  CP15CDF f;
  const Bytes entry = Fixture("cdf_halvo.hex");
  ASSERT_TRUE(f.Decode(entry));
  const auto& cert = *f.Objects().at(0);
  const Attributes expected = {
      {CKA_CLASS, Ul(CKO_CERTIFICATE)}, {CKA_TOKEN, T}, {CKA_PRIVATE, F}, {CKA_MODIFIABLE, T},
      {CKA_LABEL, TextBytes("Cert1")},  {CKA_CERTIFICATE_TYPE, Ul(CKC_X_509)},
      {CKA_ID, Hex("45 67")},           {CKA_ISSUER, kCa}, {CKA_SUBJECT, kName},
      {CKA_SERIAL_NUMBER, Hex("01 E2 40")},
  };
  EXPECT_EQ(testing::AttributesOf(cert), expected);
  EXPECT_EQ(ToHex(cert.Path()), "60 61 00 03");
  EXPECT_EQ(cert.Length(), 800);
  EXPECT_EQ(f.StandardFormat(), 0);
  EXPECT_EQ(f.PathForm(), 0);

  EXPECT_EQ(ToHex(Written(f, cert, 0, 0)), ToHex(entry));
  const Bytes standard = Written(f, cert, 1, 2);
  EXPECT_EQ(ToHex(standard), ToHex(Fixture("cdf_written_standard.hex")));
  CP15CDF again;
  ASSERT_TRUE(again.Decode(standard));
  EXPECT_EQ(again.StandardFormat(), 1);
  EXPECT_EQ(testing::AttributesOf(*again.Objects().at(0)), expected);
}

TEST(directories, DataObjectEntries) {
  CP15DODF f;
  const Bytes standard = Fixture("dodf_standard.hex");
  ASSERT_TRUE(f.Decode(standard));
  const auto& data = *f.Objects().at(0);
  const Attributes expected = {
      {CKA_CLASS, Ul(CKO_DATA)},          {CKA_TOKEN, T},   {CKA_PRIVATE, F},
      {CKA_MODIFIABLE, T},                {CKA_LABEL, TextBytes("Data")},
      {CKA_APPLICATION, TextBytes("ZORBIX")}, {CKA_OBJECT_ID, Hex("2A 03 04")},
  };
  EXPECT_EQ(testing::AttributesOf(data), expected);
  EXPECT_EQ(ToHex(data.Path()), "60 61 00 05");
  EXPECT_EQ(data.Length(), 64);
  EXPECT_EQ(f.StandardFormat(), 1);
  EXPECT_EQ(ToHex(Written(f, data, 1, 2)), ToHex(standard));

  // The same entry type with T61String names is the card family's.
  ASSERT_TRUE(f.Decode(Fixture("dodf_t61.hex")));
  const auto& t61 = *f.Objects().at(1);
  EXPECT_EQ(f.StandardFormat(), 0);
  EXPECT_EQ(f.PathForm(), 0);
  EXPECT_EQ(t61.Bytes(CKA_LABEL).size(), 6u);
  EXPECT_TRUE(t61.IsTrue(CKA_PRIVATE));
  EXPECT_FALSE(t61.Has(CKA_OBJECT_ID));
  EXPECT_EQ(ToHex(t61.Path()), "60 81 00 04");
}

TEST(directories, EitherDataObjectNameInT61MarksTheCardFamily) {
  struct Case {
    const char* name;
    std::string entry;
    int standardFormat;
  };
  const std::string path = "A1 0E 30 0C 04 04 60 61 00 05 02 01 00 80 01 40";
  const std::vector<Case> cases = {
      {"UTF8String label, T61String application",
       "30 1E 30 07 0C 01 41 03 02 06 40 30 03 14 01 42" + path, 0},
      {"T61String label, no application", "30 1B 30 07 14 01 41 03 02 06 40 30 00" + path, 0},
      {"both UTF8String", "30 1E 30 07 0C 01 41 03 02 06 40 30 03 0C 01 42" + path, 1},
      {"neither present", "30 18 30 04 03 02 06 40 30 00" + path, 1},
  };
  for (const auto& c : cases) {
    CP15DODF f;
    f.SetStandardFormat(0);
    ASSERT_TRUE(f.Decode(Hex(c.entry))) << c.name;
    EXPECT_EQ(f.StandardFormat(), c.standardFormat) << c.name;
  }
}

TEST(directories, SixByteBinaryPathIsTakenAsText) {
  CP15DODF f;
  ASSERT_TRUE(f.Decode(Fixture("dodf_six_byte_path.hex")));
  EXPECT_TRUE(f.Objects().at(0)->Path().empty());  // "?" (3F) is no hex digit
  EXPECT_EQ(f.PathForm(), 0);
  EXPECT_EQ(f.StandardFormat(), 1);
}

TEST(directories, AbsentFlagsAndPathMembersReadAsZero) {
  // No label, no flags, no accessFlags; a Path without index and length.
  CP15PrKDF f;
  ASSERT_TRUE(f.Decode(Hex("30 19 30 00 30 0B 04 00 03 01 00 01 01 FF 02 01 05"
                           "A1 08 30 06 30 02 04 00 02 00")));
  const auto& key = Key(f);
  for (CK_ATTRIBUTE_TYPE t : {CKA_PRIVATE, CKA_MODIFIABLE, CKA_DECRYPT, CKA_SIGN, CKA_DERIVE,
                              kCkaNonRepudiation, CKA_SENSITIVE, CKA_LOCAL})
  {
    EXPECT_EQ(key.Bytes(t).size(), 1u) << t;
    EXPECT_FALSE(key.IsTrue(t)) << t;
  }
  EXPECT_TRUE(key.Bytes(CKA_LABEL).empty());
  EXPECT_EQ(key.KeyReference(), 5);
  EXPECT_EQ(key.ModulusBits(), 0u);
  EXPECT_EQ(key.Index(), 0);
  EXPECT_EQ(key.Length(), 0);
  EXPECT_EQ(f.StandardFormat(), 1);
}

TEST(directories, EntriesOfNeitherFormAreRefused) {
  const Bytes cert = Fixture("cdf_halvo.hex");
  const Bytes key = Fixture("prkdf_halvo.hex");
  Bytes cutKey = key;
  cutKey.pop_back();  // the element claims one byte more than it has
  Bytes cutCert = cert;
  cutCert.pop_back();
  CP15PrKDF prkdf;
  CP15PuKDF pukdf;
  CP15CDF cdf;
  CP15DODF dodf;
  struct Case {
    const char* name;
    CP15File& file;
    Bytes entry;
    bool accepted;
  };
  const std::vector<Case> cases = {
      {"a certificate in the private key directory", prkdf, cert, false},
      {"a key in the certificate directory", cdf, key, false},
      {"a key in the data object directory", dodf, key, false},
      {"a data object in the public key directory", pukdf, Fixture("dodf_standard.hex"), false},
      {"a certificate with the authority flag", cdf,
       Hex("30 49" + der::kCommonObject + "30 06 04 01 45 01 01 FF" + "A1 34 30 32" + der::kPath +
           der::kNameAB + "A0 0F" + der::kNameCD + "02 01 07"),
       false},
      // Keys take a card-family entry that asks for more data; certificates
      // need a complete one.
      {"a key entry cut short", pukdf, cutKey, true},
      {"a certificate entry cut short", cdf, cutCert, false},
  };
  for (const auto& c : cases) {
    const std::size_t before = c.file.Objects().size();
    EXPECT_EQ(c.file.Decode(c.entry), c.accepted) << c.name;
    EXPECT_EQ(c.file.Objects().size(), before + (c.accepted ? 1 : 0)) << c.name;
  }
  EXPECT_EQ(pukdf.StandardFormat(), 0);
}

// Partly decoded entries are used as they stand: damaged ones must not take
// the reader down (run under the sanitizers too).
TEST(directories, DamagedEntriesDoNotCrashTheDecoders) {
  for (const char* name : {"prkdf_halvo.hex", "pukdf_standard.hex", "cdf_halvo.hex",
                           "cdf_written_standard.hex", "dodf_t61.hex"}) {
    const Bytes good = Fixture(name);
    std::vector<Bytes> damaged;
    for (std::size_t cut = 0; cut < good.size(); ++cut) damaged.emplace_back(good.begin(), good.begin() + cut);
    for (std::size_t i = 0; i < good.size(); ++i)
      for (std::uint8_t v : {0x00, 0xFF, 0x80, 0x81, 0x1F}) {
        damaged.push_back(good);
        damaged.back()[i] = v;
      }
    for (const Bytes& entry : damaged) {
      CP15PrKDF prkdf;
      CP15PuKDF pukdf;
      CP15CDF cdf;
      CP15DODF dodf;
      for (CP15File* f : std::vector<CP15File*>{&prkdf, &pukdf, &cdf, &dodf}) {
        const CK_RV rv = RaisedBy([&] {
          if (!f->Decode(entry)) return;
          // Whatever was accepted can be written again.
          Bytes out;
          (void)f->Encode(*f->Objects().back(), out);
        });
        EXPECT_TRUE(rv == CKR_OK || rv == CKR_DATA_LEN_RANGE) << name << " " << ToHex(entry);
      }
    }
  }
}

TEST(directories, IntegerOfMoreThanFourBytesIsRefused) {
  CP15PrKDF f;
  const Bytes entry = Hex("30 23 30 00 30 0F 04 00 03 01 00 01 01 FF 02 05 01 02 03 04 05"
                          "A1 0E 30 0C 30 08 04 00 02 01 00 80 01 00 02 00");
  EXPECT_EQ(RaisedBy([&] { f.Decode(entry); }), CKR_DATA_LEN_RANGE);
  EXPECT_TRUE(f.Objects().empty());
}

// The raw INTEGER contents that an encoded key entry carries.
struct KeyIntegers {
  std::string keyReference, index, length, modulusLength;
};
KeyIntegers IntegersOf(const Bytes& entry) {
  auto d = asn1::DecodeComplete<PrivateKeyObject_t>(entry);
  EXPECT_TRUE(d);
  if (!d) return {};
  const auto& place = d->typeAttributes.value;
  return {ToHex(asn1::Bytes(d->classAttributes.keyReference)), ToHex(asn1::Bytes(*place.index)),
          ToHex(asn1::Bytes(*place.length)), ToHex(asn1::Bytes(d->typeAttributes.modulusLength))};
}

TEST(directories, KeyIntegersAreWrittenInCanonicalForm) {
  struct Case {
    std::uint8_t keyReference;
    std::int32_t index, length;
    std::uint32_t modulusBits;
    KeyIntegers written;
  };
  const std::vector<Case> cases = {
      {1, 0, 1024, 2048, {"01", "00", "04 00", "08 00"}},
      {1, 0, 1024, 0, {"01", "00", "04 00", ""}},
      {0x81, 0, 0x40, 1024, {"81", "00", "40", "04 00"}},
      {32, 0x1FF, 0x80, 0x80, {"20", "FF", "00 80", "00 80"}},  // index keeps its low byte
  };
  for (const auto& c : cases) {
    CPKCS11PrivateKeyObject key;
    key.SetKeyReference(c.keyReference);
    key.SetIndex(c.index);
    key.SetLength(c.length);
    key.SetModulusBits(c.modulusBits);
    CP15PrKDF f;
    const KeyIntegers w = IntegersOf(Written(f, key, 1, 2));
    EXPECT_EQ(w.keyReference, c.written.keyReference);
    EXPECT_EQ(w.index, c.written.index);
    EXPECT_EQ(w.length, c.written.length);
    EXPECT_EQ(w.modulusLength, c.written.modulusLength) << c.modulusBits;
  }
}

TEST(directories, ObjectsTheModuleBuildsAreWrittenAndReadBack) {
  // A key made by the module never carries the vendor non-repudiation
  // attribute (a template cannot set it): it is written as bit 9 clear.
  for (int standard : {1, 0}) {
    CPKCS11PrivateKeyObject priv;
    priv.SetBool(CKA_SIGN, true);
    CP15PrKDF prkdf;
    const Bytes entry = Written(prkdf, priv, standard, 2);
    ASSERT_FALSE(entry.empty());
    CP15PrKDF readPriv;
    ASSERT_TRUE(readPriv.Decode(entry));
    EXPECT_TRUE(Key(readPriv).IsTrue(CKA_SIGN));
    EXPECT_FALSE(Key(readPriv).IsTrue(kCkaNonRepudiation));
    EXPECT_TRUE(Key(readPriv).Bytes(CKA_SUBJECT).empty());

    CPKCS11PublicKeyObject pub;
    CP15PuKDF pukdf;
    CP15PuKDF readPub;
    ASSERT_TRUE(readPub.Decode(Written(pukdf, pub, standard, 0)));

    // A certificate without subject or issuer gets empty Names, which both
    // forms read back.
    CPKCS11CertificateObject cert;
    CP15CDF cdf;
    CP15CDF readCert;
    ASSERT_TRUE(readCert.Decode(Written(cdf, cert, standard, 2)));
    EXPECT_EQ(readCert.StandardFormat(), standard);
    EXPECT_EQ(ToHex(readCert.Objects().at(0)->Bytes(CKA_SUBJECT)), "30 00");
    EXPECT_EQ(ToHex(readCert.Objects().at(0)->Bytes(CKA_ISSUER)), "30 00");

    CPKCS11DataObject data;
    CP15DODF dodf;
    CP15DODF readData;
    ASSERT_TRUE(readData.Decode(Written(dodf, data, standard, 2)));
    EXPECT_EQ(readData.StandardFormat(), standard);
  }
}

TEST(directories, EncodingFailures) {
  Bytes out;
  CPKCS11PrivateKeyObject noSign;
  noSign.Erase(CKA_SIGN);
  CP15PrKDF prkdf;
  EXPECT_EQ(RaisedBy([&] { prkdf.Encode(noSign, out); }), CKR_ATTRIBUTE_TYPE_INVALID);

  CPKCS11CertificateObject wideFlag;
  wideFlag.Set(CKA_PRIVATE, Hex("00 00"));
  CP15CDF cdf;
  EXPECT_EQ(RaisedBy([&] { cdf.Encode(wideFlag, out); }), CKR_ATTRIBUTE_TYPE_INVALID);

  CPKCS11DataObject noModifiable;
  noModifiable.Erase(CKA_MODIFIABLE);
  CP15DODF dodf;
  EXPECT_EQ(RaisedBy([&] { dodf.Encode(noModifiable, out); }), CKR_ATTRIBUTE_TYPE_INVALID);

  // Over 1024 bytes.
  CPKCS11DataObject big;
  big.Set(CKA_LABEL, Bytes(1100, 'x'));
  EXPECT_NE(dodf.Encode(big, out), 0);
  big.Set(CKA_LABEL, Bytes(900, 'x'));
  EXPECT_EQ(dodf.Encode(big, out), 0);

  // A key directory takes keys only.
  EXPECT_NE(prkdf.Encode(CPKCS11DataObject(), out), 0);
}

TEST(directories, FileReadKeepsTheFormOfItsLastEntryAndWritesItBack) {
  const Bytes halvo = Fixture("prkdf_halvo.hex");
  const Bytes standard = Fixture("prkdf_written_standard.hex");
  struct Case {
    Bytes content;
    int standardFormat;
  };
  for (const auto& c : {Case{Concat({standard, halvo}), 0}, Case{Concat({halvo, standard}), 1}}) {
    FakeCard card(kPrKDFFileId, Concat({c.content, Bytes(16, 0)}));
    CP15PrKDF f;
    f.Read(card);
    ASSERT_EQ(f.Objects().size(), 2u);
    EXPECT_EQ(f.StandardFormat(), c.standardFormat);
    EXPECT_EQ(f.PathForm(), 0);  // one stored path was text
    EXPECT_EQ(f.Size(), c.content.size());
  }

  // Written back unchanged, the entry stays as the card holds it (authId
  // and all).
  FakeCard card(kPrKDFFileId, halvo);
  CP15PrKDF f;
  f.Read(card);
  f.Write(card);
  EXPECT_EQ(ToHex(card.content()), ToHex(halvo));

  // An object that is not that entry (the same key as another file read it)
  // is encoded in the file's form: two bytes shorter (no authId, flags of
  // one byte less), then zeros.
  FakeCard written(kPrKDFFileId, halvo);
  CP15PrKDF other;
  other.Read(written);
  other.Objects() = f.Objects();
  other.Write(written);
  EXPECT_EQ(ToHex(written.content()), ToHex(Concat({Fixture("prkdf_written_halvo.hex"), Bytes(2, 0)})));
}

}  // namespace
}  // namespace zorbix::p15
