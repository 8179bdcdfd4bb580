// Card-structure codec: which type accepts which element, encoding rules,
// INTEGER values and flag bits.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "fixtures.h"
#include "hex.h"
#include "pkcs15/asn1types.h"
#include "pkcs15/errors.h"

namespace zorbix {
namespace {

using testing::Hex;
using testing::ToHex;
namespace der = testing::der;

enum class Type {
  PrivateKey,
  PrivateKeyHalvo,
  PublicKey,
  PublicKeyHalvo,
  Certificate,
  CertificateHalvo,
  Data,
  UnusedSpace,
  TokenInfo,
  TokenInfoT61,
  Path,
  CommonCertificate,
  CommonKey,
  TokenTypes,
  ChannelParams,
};

template <typename T>
asn1::DecodeCode Code(std::span<const std::uint8_t> b) {
  return asn1::Decode<T>(b).code;
}

const std::map<Type, std::function<asn1::DecodeCode(std::span<const std::uint8_t>)>>& Decoders() {
  static const std::map<Type, std::function<asn1::DecodeCode(std::span<const std::uint8_t>)>> m = {
      {Type::PrivateKey, Code<PrivateKeyObject_t>},
      {Type::PrivateKeyHalvo, Code<PrivateKeyObjectHALVO_t>},
      {Type::PublicKey, Code<PublicKeyObject_t>},
      {Type::PublicKeyHalvo, Code<PublicKeyObjectHALVO_t>},
      {Type::Certificate, Code<CertificateObject_t>},
      {Type::CertificateHalvo, Code<CertificateObjectHALVO_t>},
      {Type::Data, Code<DataObject_t>},
      {Type::UnusedSpace, Code<PKCS15UnusedSpace_t>},
      {Type::TokenInfo, Code<TokenInfo_t>},
      {Type::TokenInfoT61, Code<TokenInfoT61_t>},
      {Type::Path, Code<Path_t>},
      {Type::CommonCertificate, Code<CommonCertificateAttributes_t>},
      {Type::CommonKey, Code<CommonKeyAttributes_t>},
      {Type::TokenTypes, Code<TokenTypesConfig_t>},
      {Type::ChannelParams, Code<Vexa_channelParams_t>},
  };
  return m;
}

struct DecodeCase {
  const char* name;
  std::string hex;
  std::vector<Type> accepted;  // the types (among the probed) that decode it completely
  std::vector<Type> probed;
};

const std::vector<Type> kEntryTypes = {Type::PrivateKey,  Type::PrivateKeyHalvo,  Type::PublicKey,
                                       Type::PublicKeyHalvo, Type::Certificate, Type::CertificateHalvo,
                                       Type::Data};

const std::vector<DecodeCase>& DecodeCases() {
  static const std::vector<DecodeCase> cases = {
      // Public and private key entries share their layout, so each form of
      // one is also the same form of the other.
      {"private key, standard form", der::kPrivateKeyStandard, {Type::PrivateKey, Type::PublicKey},
       kEntryTypes},
      {"private key, card-family form", der::kPrivateKeyHalvo,
       {Type::PrivateKeyHalvo, Type::PublicKeyHalvo}, kEntryTypes},
      {"private key with subClassAttributes",
       "30 46" + der::kCommonObject + der::kCommonKey + "A0 0F" + der::kNameAB + "A1 15 30 13" +
           der::kPath + der::kModulus2048,
       {Type::PrivateKey, Type::PublicKey}, kEntryTypes},
      {"private key with a member after typeAttributes",
       "30 38" + der::kCommonObject + der::kCommonKey + "A1 15 30 13" + der::kPath +
           der::kModulus2048 + "02 01 00",
       {}, {Type::PrivateKey, Type::PrivateKeyHalvo}},
      {"private key without keyReference",
       "30 32" + der::kCommonObject + "30 0E 04 01 45 03 02 06 60 01 01 FF 03 02 03 B8" +
           "A1 15 30 13" + der::kPath + der::kModulus2048,
       {}, {Type::PrivateKey}},
      {"certificate, standard form", der::kCertificateStandard, {Type::Certificate}, kEntryTypes},
      {"certificate, card-family form", der::kCertificateHalvo, {Type::CertificateHalvo},
       kEntryTypes},
      {"certificate attributes with the PKCS#15 authority flag",
       "30 49" + der::kCommonObject + "30 06 04 01 45 01 01 FF" + "A1 34 30 32" + der::kPath +
           der::kNameAB + "A0 0F" + der::kNameCD + "02 01 07",
       {}, {Type::Certificate}},
      {"common certificate attributes", der::kCommonCert, {Type::CommonCertificate},
       {Type::CommonCertificate}},
      {"common certificate attributes with a trailing BOOLEAN", "30 06 04 01 45 01 01 FF", {},
       {Type::CommonCertificate}},
      {"data object", der::kDataObject, {Type::Data}, kEntryTypes},
      {"data object with T.61 names",
       "30 28 30 09 14 03 4B 65 79 03 02 06 40  30 0A 14 03 41 70 70 06 03 2A 03 04  A1 0F" +
           der::kPath,
       {Type::Data}, {Type::Data}},
      {"unused space with authID", "30 12" + der::kPath + "04 01 01", {Type::UnusedSpace},
       {Type::UnusedSpace}},
      {"unused space without authID", "30 0F" + der::kPath, {Type::UnusedSpace}, {Type::UnusedSpace}},
      {"TokenInfo, UTF-8 form", der::kTokenInfoUtf8, {Type::TokenInfo},
       {Type::TokenInfo, Type::TokenInfoT61}},
      {"TokenInfo, T.61 form", der::kTokenInfoT61, {Type::TokenInfoT61},
       {Type::TokenInfo, Type::TokenInfoT61}},
      {"TokenInfo without manufacturerID",
       "30 13 02 01 01 04 03 12 34 AB 80 05 4C 61 62 65 6C 03 02 05 60", {},
       {Type::TokenInfo, Type::TokenInfoT61}},
      {"TokenInfo without label", "30 12 02 01 01 04 03 12 34 AB 0C 04 4F 52 56 41 03 02 05 60", {},
       {Type::TokenInfo, Type::TokenInfoT61}},
      {"path with index and length", der::kPath, {Type::Path}, {Type::Path}},
      {"path with index only", "30 09 04 04 3F 11 01 01 02 01 00", {Type::Path}, {Type::Path}},
      {"path with length only", "30 0A 04 04 3F 11 01 01 80 02 04 00", {Type::Path}, {Type::Path}},
      {"path with length before index", "30 0D 04 04 3F 11 01 01 80 02 04 00 02 01 00", {},
       {Type::Path}},
      {"path with a trailing member", "30 10 04 04 3F 11 01 01 02 01 00 80 02 04 00 01 01 FF", {},
       {Type::Path}},
      {"path with length EXPLICIT-tagged", "30 0F 04 04 3F 11 01 01 02 01 00 A0 04 02 02 04 00", {},
       {Type::Path}},
      {"token types",
       "31 20 30 1E 0C 04 56 65 78 61 31 08 30 06 04 01 3B 04 01 FF 02 01 01 02 01 03"
       "31 06 02 01 01 02 01 06",
       {Type::TokenTypes}, {Type::TokenTypes}},
      {"channel parameters without mac-Len",
       "30 2B 30 06 02 01 05 02 01 03 04 01 01 04 01 02 04 01 03 04 01 04 04 01 05 04 01 06"
       "04 01 07 04 01 08 30 09 02 01 05 02 01 03 02 01 07",
       {Type::ChannelParams}, {Type::ChannelParams}},
      {"channel parameters with mac-Len",
       "30 2E 30 06 02 01 05 02 01 03 04 01 01 04 01 02 04 01 03 04 01 04 04 01 05 04 01 06"
       "04 01 07 04 01 08 30 09 02 01 05 02 01 03 02 01 07 02 01 08",
       {Type::ChannelParams}, {Type::ChannelParams}},
  };
  return cases;
}

TEST(asn1, EachElementDecodesOnlyAsItsTypes) {
  for (const auto& c : DecodeCases()) {
    const auto bytes = Hex(c.hex);
    for (Type t : c.probed) {
      const bool expected = std::find(c.accepted.begin(), c.accepted.end(), t) != c.accepted.end();
      const auto code = Decoders().at(t)(bytes);
      EXPECT_EQ(code == asn1::DecodeCode::Ok, expected)
          << c.name << ", type #" << static_cast<int>(t) << ", code " << static_cast<int>(code);
    }
  }
}

TEST(asn1, OpenTypesKeepTheWholeElement) {
  auto cert = asn1::DecodeComplete<CertificateObject_t>(Hex(der::kCertificateStandard));
  ASSERT_TRUE(cert);
  EXPECT_EQ(ToHex(asn1::Bytes(cert->typeAttributes.subject)), ToHex(Hex(der::kNameAB)));
  EXPECT_EQ(ToHex(asn1::Bytes(cert->typeAttributes.issuer)), ToHex(Hex(der::kNameCD)));
  EXPECT_EQ(ToHex(asn1::Bytes(cert->typeAttributes.serialNumber)), "07");

  auto halvo = asn1::DecodeComplete<CertificateObjectHALVO_t>(Hex(der::kCertificateHalvo));
  ASSERT_TRUE(halvo);
  EXPECT_EQ(ToHex(asn1::Bytes(halvo->typeAttributes.subject)), ToHex(Hex(der::kNameAB)));
  EXPECT_EQ(ToHex(asn1::Bytes(halvo->typeAttributes.issuer)), ToHex(Hex(der::kNameCD)));
}

// What an open-type member may hold: one complete element, sound all the
// way down inside constructed parts (primitive contents are not looked at).
TEST(asn1, OneElementIsOneWellFormedElement) {
  const struct {
    const char* hex;
    bool one;
  } cases[] = {
      {"", true},                                   // empty: a key without subject
      {"18 03 31 32 33", true},                     // GeneralizedTime-like primitive
      {"30 05 31 03 13 01 41", true},               // Name with one part
      {"30 80 31 03 13 01 41 00 00", true},         // indefinite length
      {"04 02 30 7E", true},                        // primitive: contents not parsed
      {"18 25 32 30", false},                       // longer than what is there
      {"30 00 1F 0B", false},                       // bytes after the element
      {"30 04 13 4F 41 42", false},                 // a part longer than its parent
      {"30 80 31 03 13 01 41", false},              // indefinite without its end
      {"30 03 31 01", false},                       // cut inside a part
  };
  for (const auto& c : cases) EXPECT_EQ(asn1::OneElement(Hex(c.hex)), c.one) << c.hex;
}

TEST(asn1, LabelAlternativeIsRecorded) {
  auto utf8 = asn1::DecodeComplete<DataObject_t>(Hex(der::kDataObject));
  ASSERT_TRUE(utf8);
  ASSERT_NE(utf8->commonObjectAttributes.label, nullptr);
  EXPECT_EQ(utf8->commonObjectAttributes.label->present, 1);
  EXPECT_EQ(ToHex(asn1::Bytes(utf8->commonObjectAttributes.label->choice.tipoutf8string)),
            "4B 65 79");
  ASSERT_NE(utf8->classAttributes.applicationOID, nullptr);
  EXPECT_EQ(ToHex(asn1::Bytes(*utf8->classAttributes.applicationOID)), "2A 03 04");

  auto t61 = asn1::DecodeComplete<CommonObjectAttributes_t>(Hex("30 05 14 03 4B 65 79"));
  ASSERT_TRUE(t61);
  ASSERT_NE(t61->label, nullptr);
  EXPECT_EQ(t61->label->present, 2);
  EXPECT_EQ(t61->flags, nullptr);
}

TEST(asn1, GeneralizedTimeUnderExplicitTagRoundTrips) {
  // endDate [0] EXPLICIT ANY holding 18 0F "20301231235959Z".
  const auto time = Hex("18 0F 32 30 33 30 31 32 33 31 32 33 35 39 35 39 5A");
  const auto bytes = Hex("30 20 04 01 45 03 02 06 60 01 01 FF 02 01 01 A0 11" + ToHex(time));
  auto key = asn1::DecodeComplete<CommonKeyAttributes_t>(bytes);
  ASSERT_TRUE(key);
  ASSERT_NE(key->endDate, nullptr);
  EXPECT_EQ(ToHex(asn1::Bytes(*key->endDate)), ToHex(time));

  auto encoded = asn1::EncodeToVector(*key, asn1::kEntryCapacity);
  ASSERT_TRUE(encoded);
  EXPECT_EQ(ToHex(*encoded), ToHex(bytes));
}

TEST(asn1, FlagMembersKeepBitsInTheUnusedRange) {
  // usage 06 60: six unused bits declared, yet bits 1 and 2 are both set.
  auto key = asn1::DecodeComplete<CommonKeyAttributes_t>(Hex(der::kCommonKey));
  ASSERT_TRUE(key);
  EXPECT_EQ(ToHex(asn1::Bytes(key->usage)), "06 60");
  const std::vector<std::pair<unsigned, bool>> usage = {
      {0, false}, {1, true}, {2, true}, {3, false}, {7, false}, {8, false}, {9, false}};
  for (auto [bit, set] : usage) EXPECT_EQ(asn1::FlagBit(key->usage, bit), set) << "usage bit " << bit;

  ASSERT_NE(key->accessFlags, nullptr);  // 03 B8: bits 0, 2, 3, 4
  const std::vector<std::pair<unsigned, bool>> access = {
      {0, true}, {1, false}, {2, true}, {3, true}, {4, true}, {5, false}};
  for (auto [bit, set] : access)
    EXPECT_EQ(asn1::FlagBit(*key->accessFlags, bit), set) << "access bit " << bit;

  EXPECT_FALSE(asn1::FlagBit(Hex("00"), 0));  // no bit bytes at all
  EXPECT_FALSE(asn1::FlagBit(std::span<const std::uint8_t>{}, 0));
}

TEST(asn1, EncoderWritesCanonicalIntegers) {
  struct Case {
    const char* n;
    const char* e;
    const char* der;
  };
  const std::vector<Case> cases = {
      {"00 40", "00 80", "30 07 02 01 40 02 02 00 80"},
      {"", "FF FF 80", "30 05 02 00 02 01 80"},
      {"00 00 00 01", "01 00 01", "30 08 02 01 01 02 03 01 00 01"},
      {"FF 7F", "00", "30 07 02 02 FF 7F 02 01 00"},
  };
  for (const auto& c : cases) {
    auto key = asn1::Make<RSApublicKey_t>();
    asn1::FillInteger(key->n, Hex(c.n));
    asn1::FillInteger(key->e, Hex(c.e));
    auto encoded = asn1::EncodeToVector(*key, 64);
    ASSERT_TRUE(encoded) << c.n;
    EXPECT_EQ(ToHex(*encoded), ToHex(Hex(c.der))) << "n " << c.n << ", e " << c.e;
  }

  auto unset = asn1::Make<RSApublicKey_t>();  // members never filled: no buffer at all
  auto encoded = asn1::EncodeToVector(*unset, 64);
  ASSERT_TRUE(encoded);
  EXPECT_EQ(ToHex(*encoded), "30 04 02 00 02 00");
}

TEST(asn1, EncodeFailsWhenTheBufferIsFull) {
  auto key = asn1::Make<RSApublicKey_t>();
  asn1::FillInteger(key->n, Hex("40"));
  asn1::FillInteger(key->e, Hex("00 80"));  // encodes to 9 bytes
  std::vector<std::uint8_t> buf(16, 0xEE);
  EXPECT_EQ(asn1::Encode(*key, std::span(buf).first(8)), -1);
  EXPECT_EQ(asn1::Encode(*key, std::span(buf).first(9)), 9);
  EXPECT_EQ(buf[9], 0xEE);
  EXPECT_FALSE(asn1::EncodeToVector(*key, 8));
}

TEST(asn1, CallerBuiltEntryEncodesAsTheCardFamilyForm) {
  auto entry = asn1::Make<PrivateKeyObjectHALVO_t>();
  auto& common = entry->commonObjectAttributes;
  common.label = asn1::NewMember<LabelHALVO_t>();
  common.label->present = LabelHALVO_PR_tipoutf8string;
  asn1::FillString(common.label->choice.tipoutf8string, testing::TextBytes("Key"));
  common.flags = asn1::NewMember<CommonObjectFlags_t>();
  asn1::FillFlags(*common.flags, Hex("40"), 6);

  auto& key = entry->classAttributes;
  asn1::FillString(key.iD, Hex("45"));
  asn1::FillFlags(key.usage, Hex("60"), 6);
  key.native = 1;
  key.accessFlags = asn1::NewMember<KeyAccessFlags_t>();
  asn1::FillFlags(*key.accessFlags, Hex("B8"), 3);
  asn1::FillInteger(key.keyReference, Hex("01"));

  auto& rsa = entry->typeAttributes;
  asn1::FillString(rsa.value.path, Hex("3F 11 01 01"));
  rsa.value.index = asn1::NewMember<INTEGER_t>();
  asn1::FillInteger(*rsa.value.index, Hex("00"));
  rsa.value.length = asn1::NewMember<INTEGER_t>();
  asn1::FillInteger(*rsa.value.length, Hex("04 00"));
  asn1::FillInteger(rsa.modulusLength, Hex("08 00"));

  auto encoded = asn1::EncodeToVector(*entry, asn1::kEntryCapacity);
  ASSERT_TRUE(encoded);
  EXPECT_EQ(ToHex(*encoded), ToHex(Hex(der::kPrivateKeyHalvo)));
}

TEST(asn1, IntegerValueIsUnsignedBigEndianOfAtMostFourBytes) {
  struct Case {
    const char* contents;
    std::uint32_t value;
  };
  const std::vector<Case> cases = {
      {"", 0}, {"FF", 255}, {"01 00", 256}, {"00 80", 128}, {"FF FF FF FF", 0xFFFFFFFFu},
  };
  for (const auto& c : cases) EXPECT_EQ(asn1::IntegerValue(Hex(c.contents)), c.value) << c.contents;

  try {
    asn1::IntegerValue(Hex("01 00 00 00 00"));
    ADD_FAILURE() << "five contents bytes accepted";
  } catch (const p15::Pkcs11Exception& e) {
    EXPECT_EQ(p15::RvOf(e), static_cast<CK_RV>(0x21));
  }
}

// Truncated and garbled elements must be rejected without harm.
TEST(asn1, DamagedElementsDoNotCrashTheDecoder) {
  for (const auto& c : DecodeCases()) {
    const auto good = Hex(c.hex);
    for (std::size_t cut = 0; cut < good.size(); ++cut) {
      const std::vector<std::uint8_t> part(good.begin(), good.begin() + cut);
      for (const auto& [type, decode] : Decoders()) EXPECT_NE(decode(part), asn1::DecodeCode::Ok);
    }
    for (std::size_t i = 0; i < good.size(); ++i) {
      for (std::uint8_t v : {0x00, 0xFF, 0x80, 0x81, 0x1F}) {
        auto bad = good;
        bad[i] = v;
        for (const auto& [type, decode] : Decoders()) (void)decode(bad);
      }
    }
  }
}

}  // namespace
}  // namespace zorbix
