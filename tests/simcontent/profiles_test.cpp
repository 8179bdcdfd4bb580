// The card profiles: ATRs against the card-type and known-ATR tables, codes,
// file system layout and PKCS#15 content, for every profile.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "sim/card.h"
#include "sim/content_pkcs15.h"
#include "tests/simcontent/content_fixture.h"
#include "tests/simcontent/schema.h"

namespace zorbix::sim {
namespace {

using test::EntryType;

// Written out in full, byte by byte, from the tables of the card types and
// of the wizard's known ATRs.
struct TypeRow {
  const char* name;
  const char* atr;
  const char* mask;
  int commType;
};
const TypeRow kCardTypes[] = {
    {"Vexa", "3B 7F 00 00 00 00 6A 56 65 78 61 00 00 00 00 00 00 00 90 00",
     "FF FF 00 FF FF FF FF FF FF FF FF 00 00 00 00 00 00 00 FF FF", 1},
    {"HALVO1_0", "3B EF 00 00 40 14 80 25 48 41 4C 56 4F 57 05 60 01 02 03 90 00",
     "FF FF FF FF FF FF FF FF FF FF FF FF FF FF 00 00 FF 00 FF FF FF", 2},
    {"HALVO", "3B 7F 00 00 00 00 6A 48 41 4C 56 4F 02 2C 34 02 00 03 90 00",
     "FF FF 00 FF FF FF FF FF FF FF FF FF 00 00 00 00 00 FF FF FF", 0},
    {"TC-ORVA3", "3B 7F 18 00 00 00 6A 4F 52 56 41 03 02 AC 14 03 80 03 90 00",
     "FF FF 00 FF FF FF FF FF FF FF FF 00 00 00 00 FF 00 FF FF FF", 0},
    {"TC-ORVA4", "3B 7F 18 00 00 00 6A 4F 52 56 41 03 02 AC 14 04 04 03 90 00",
     "FF FF 00 FF FF FF FF FF FF FF FF 00 00 00 00 FF 00 FF FF FF", 1},
};

struct KnownRow {
  const char* name;
  const char* atr;
  const char* mask;  // bytes beyond it are 00
  const char* cardType;  // the type the module gives this card
};
const KnownRow kKnownAtrs[] = {
    {"ORVA-ZEL_01", "3B EF 00 00 40 14 80 25 48 41 4C 56 4F 57 01 16 01 01 03 90 00",
     "FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF", "HALVO1_0"},
    {"ORVA-ZEL_02", "3B EF 00 00 40 14 80 25 48 41 4C 56 4F 57 05 60 01 02 03 90 00",
     "FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF", "HALVO1_0"},
    {"ORVA-ZEL_03", "3B 7F 11 00 00 00 6A 48 41 4C 56 4F 02 2C 34 02 00 03 90 00",
     "FF FF 00 FF FF FF FF FF FF FF FF FF FF FF FF FF", "HALVO"},
    {"ORVA-ZEL_04", "3B 7F 38 00 00 00 6A 48 41 4C 56 4F 02 2C 34 03 00 03 90 00",
     "FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF F0", "HALVO"},
    {"ORVA-ZEL_05", "3B 7F 38 00 00 00 6A 48 41 4C 56 4F 02 2C 34 03 10 03 90 00",
     "FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF", "HALVO"},
    {"ORVA-ZEL_06", "3B 7F 38 00 00 00 6A 4F 52 56 41 03 02 AC 14 04 10 03 90 00",
     "FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF", "TC-ORVA4"},
};

bool Masked(const Bytes& atr, const Bytes& pattern, Bytes mask) {
  if (atr.size() != pattern.size()) return false;
  mask.resize(pattern.size(), 0x00);
  for (std::size_t i = 0; i < atr.size(); ++i)
    if ((atr[i] & mask[i]) != (pattern[i] & mask[i])) return false;
  return true;
}

const TypeRow* ModuleType(const Bytes& atr) {
  for (const TypeRow& t : kCardTypes)
    if (Masked(atr, FromHex(t.atr), FromHex(t.mask))) return &t;
  return nullptr;
}

const FileSpec* Spec(const Profile& p, const std::vector<std::uint16_t>& path) {
  for (const FileSpec& f : p.files)
    if (f.path == path) return &f;
  return nullptr;
}

Bytes Contents(const FileSpec& f) {
  Bytes b = f.content;
  b.resize(std::max(f.size, f.content.size()), 0x00);
  return b;
}

Bytes Text(const char* s) { return Bytes(s, s + std::char_traits<char>::length(s)); }

std::vector<std::uint16_t> PathIds(const Bytes& binary) {
  std::vector<std::uint16_t> out;
  for (std::size_t i = 0; i + 1 < binary.size(); i += 2)
    out.push_back(static_cast<std::uint16_t>(binary[i] << 8 | binary[i + 1]));
  return out;
}

class ProfileContract : public ::testing::TestWithParam<std::string> {
 protected:
  const Profile& P() const { return *FindProfile(GetParam()); }

  // The elements of a PKCS#15 file of the profile, each checked to decode as
  // exactly one of `types`; returns (element, type) pairs.
  std::vector<std::pair<Bytes, EntryType>> Entries(std::uint16_t fid,
                                                   std::vector<EntryType> types) const {
    std::vector<std::pair<Bytes, EntryType>> out;
    const FileSpec* f = Spec(P(), {0x5015, fid});
    if (!f) {
      ADD_FAILURE() << std::hex << fid << " missing";
      return out;
    }
    auto elements = test::SplitFile(Contents(*f));
    if (!elements) {
      ADD_FAILURE() << std::hex << fid << " is not a run of SEQUENCEs and zero padding";
      return out;
    }
    for (const Bytes& e : *elements) {
      int matches = 0;
      EntryType which{};
      for (EntryType t : types)
        if (test::Decodes(e, t)) {
          ++matches;
          which = t;
        }
      EXPECT_EQ(matches, 1) << std::hex << fid << ": " << ToHex(e);
      if (matches == 1) out.push_back({e, which});
    }
    return out;
  }
};

TEST_P(ProfileContract, AtrMatchesItsCardType) {
  const Profile& p = P();
  const Bytes& atr = p.atr;
  ASSERT_GE(atr.size(), 3u);
  EXPECT_EQ(atr[atr.size() - 3], 0x03) << "user life phase";
  EXPECT_EQ(atr[atr.size() - 2], 0x90);
  EXPECT_EQ(atr[atr.size() - 1], 0x00);

  std::string expectedType = p.name;
  for (const KnownRow& k : kKnownAtrs)
    if (p.name == k.name) {
      EXPECT_TRUE(Masked(atr, FromHex(k.atr), FromHex(k.mask))) << "known-ATR row " << k.name;
      expectedType = k.cardType;
    }
  const TypeRow* type = ModuleType(atr);
  ASSERT_NE(type, nullptr) << "no card type matches " << ToHex(atr, true);
  EXPECT_EQ(type->name, expectedType) << "first matching card type";
  EXPECT_EQ(p.secureChannel, type->commType == 1);
}

TEST_P(ProfileContract, CodesAndCardData) {
  const Profile& p = P();
  EXPECT_GE(p.pin.size(), 4u);
  EXPECT_LE(p.pin.size(), 16u);
  EXPECT_EQ(p.puk.size(), 16u);
  ASSERT_TRUE(p.cardData.size() == 17 || p.cardData.size() == 18) << p.cardData.size();
  EXPECT_NE(p.cardData[0], 0x00) << "a zero first byte reads as an empty cache";
  EXPECT_FALSE(p.events.empty());
  if (p.secureChannel) {
    for (const char* name : {"icc-aut.key", "c-cv-ca-cs-aut", "c-cv-ifd-aut", "mac-len"}) {
      auto it = std::find_if(p.channelData.begin(), p.channelData.end(),
                             [&](const auto& kv) { return kv.first == name; });
      EXPECT_NE(it, p.channelData.end()) << name;
    }
    const FileSpec* own = Spec(p, {0x601F});
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(own->sfi, 0x1F);
  } else {
    EXPECT_TRUE(p.channelData.empty());
  }
}

TEST_P(ProfileContract, FileSystemLayout) {
  const Profile& p = P();
  const FileSpec* mf = Spec(p, {});
  ASSERT_NE(mf, nullptr);
  EXPECT_EQ(mf->dfName, Text("Master.File"));
  const FileSpec* app = Spec(p, {0x5015});
  ASSERT_NE(app, nullptr);
  EXPECT_TRUE(app->isDf);
  EXPECT_EQ(app->dfName, FromHex("A0 00 00 00 63 50 4B 43 53 2D 31 35"));
  const FileSpec* crypto = Spec(p, {0x3F11});
  ASSERT_NE(crypto, nullptr);
  EXPECT_EQ(crypto->dfName, Text("ICC.Crypto"));
  for (std::uint16_t df : {0x6061, 0x6081}) {
    ASSERT_NE(Spec(p, {df}), nullptr);
    EXPECT_TRUE(Spec(p, {df})->isDf);
  }
  for (std::uint16_t f = 0x7004; f <= 0x7008; ++f) EXPECT_NE(Spec(p, {0x6061, f}), nullptr);
  ASSERT_NE(Spec(p, {0x0000}), nullptr) << "PIN file selected by the PIN commands";

  // Short identifiers of the first accesses, and the access rules.
  const std::pair<std::uint16_t, std::uint8_t> sfis[] = {
      {0x5032, 0x12}, {0x5033, 0x13}, {0x6001, 0x01}, {0x6002, 0x02}, {0x6004, 0x04}, {0x6005, 0x05}};
  for (auto [fid, sfi] : sfis) {
    const FileSpec* f = Spec(p, {0x5015, fid});
    ASSERT_NE(f, nullptr) << std::hex << fid;
    EXPECT_EQ(f->sfi, sfi) << std::hex << fid;
    EXPECT_EQ(f->read, Access::Always);
  }
  ASSERT_NE(Spec(p, {0x5015, 0x6000}), nullptr);
  for (const FileSpec& f : p.files) {
    if (f.path.size() != 2) continue;
    if (f.path[0] == 0x6081) {
      EXPECT_EQ(f.read, Access::Pin) << "private value";
    }
    if (f.path[0] == 0x3F11) {
      EXPECT_EQ(f.read, Access::Never) << "key file";
    }
    if (f.path[0] == 0x6061 || f.path[0] == 0x6081 || f.path[0] == 0x5015) {
      EXPECT_NE(f.update, Access::Always);
    }
  }
}

TEST_P(ProfileContract, OdfWalkFindsTheDirectories) {
  const FileSpec* odf = Spec(P(), {0x5015, 0x5031});
  ASSERT_NE(odf, nullptr);
  Bytes bytes = Contents(*odf);
  bytes.resize(std::min<std::size_t>(bytes.size(), 40));
  // The wizard's walk: last two path bytes of each A-tagged entry.
  std::uint16_t table[9] = {0x6001, 0x6002, 0x6002, 0xFFFF, 0x6004, 0x6004, 0x6004, 0x6005, 0x6000};
  std::set<int> seen;
  for (std::size_t p = 0; p < bytes.size() && bytes[p] != 0xFF;) {
    std::uint8_t t = bytes[p];
    if ((t & 0xA0) == 0xA0 && (t & 0x0F) < 9 && p + 7 < bytes.size()) {
      table[t & 0x0F] = static_cast<std::uint16_t>(bytes[p + 6] << 8 | bytes[p + 7]);
      seen.insert(t & 0x0F);
    }
    p += 2 + bytes[p + 1];
  }
  EXPECT_EQ(seen, (std::set<int>{0, 1, 4, 7, 8}));
  const std::pair<int, std::uint16_t> expected[] = {{0, 0x6001}, {1, 0x6002}, {4, 0x6004}, {7, 0x6005}, {8, 0x6000}};
  for (auto [i, fid] : expected) {
    EXPECT_EQ(table[i], fid);
    EXPECT_NE(Spec(P(), {0x5015, table[i]}), nullptr);
  }
  // Each entry is tag 06 30 04 04 02 FH FL: a path of the file id alone.
  EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 8), FromHex("A0 06 30 04 04 02 60 01"));
}

TEST_P(ProfileContract, TokenInfoAndUnusedSpaceFollowTheSchema) {
  auto info = Entries(0x5032, {EntryType::TokenInfo, EntryType::TokenInfoT61});
  EXPECT_EQ(info.size(), 1u);
  auto records = Entries(0x5033, {EntryType::UnusedSpace});
  std::set<std::vector<std::uint16_t>> referenced;
  for (auto [fid, types] : std::vector<std::pair<std::uint16_t, std::vector<EntryType>>>{
           {0x6004, {EntryType::Certificate, EntryType::CertificateHalvo}},
           {0x6005, {EntryType::DataObject}}})
    for (auto& [e, t] : Entries(fid, types)) referenced.insert(PathIds(test::PathOf(e, t)->binary));
  for (auto& [e, t] : records) {
    auto path = test::PathOf(e, t);
    ASSERT_TRUE(path);
    const FileSpec* f = Spec(P(), PathIds(path->binary));
    ASSERT_NE(f, nullptr) << "freed file " << ToHex(path->binary);
    EXPECT_EQ(std::max(f->size, f->content.size()), path->length);
    EXPECT_FALSE(referenced.count(PathIds(path->binary))) << "a freed file still in use";
  }
}

TEST_P(ProfileContract, DirectoryEntriesPointAtTheirValuesAndKeys) {
  const Profile& p = P();
  auto prk = Entries(0x6001, {EntryType::PrivateKey, EntryType::PrivateKeyHalvo});
  auto puk = Entries(0x6002, {EntryType::PublicKey, EntryType::PublicKeyHalvo});
  auto certs = Entries(0x6004, {EntryType::Certificate, EntryType::CertificateHalvo});
  auto data = Entries(0x6005, {EntryType::DataObject});
  EXPECT_FALSE(prk.empty());
  EXPECT_EQ(prk.size(), puk.size());
  EXPECT_EQ(prk.size(), certs.size());
  EXPECT_EQ(prk.size(), p.keys.size());
  EXPECT_FALSE(data.empty());

  std::set<Bytes> certIds;
  for (auto& [e, t] : certs) {
    auto path = test::PathOf(e, t);
    auto facts = test::FactsOf(e, t);
    ASSERT_TRUE(path && facts);
    EXPECT_EQ(path->index, 0u);
    ASSERT_EQ(path->binary.size(), 4u);
    const FileSpec* f = Spec(p, PathIds(path->binary));
    ASSERT_NE(f, nullptr) << ToHex(path->binary);
    Bytes stored = Contents(*f);
    ASSERT_LE(path->length, stored.size());
    stored.resize(path->length);
    Bytes der = p15::DecompressCardFile(stored);
    auto cert = p15::ParseCertificate(der);
    ASSERT_TRUE(cert) << "certificate value of " << ToHex(path->binary);
    bool held = std::any_of(p.keys.begin(), p.keys.end(),
                            [&](const KeySpec& k) { return k.modulus == cert->modulus; });
    EXPECT_TRUE(held) << "certificate of a key the card does not hold";
    certIds.insert(facts->id);
  }
  for (auto* list : {&prk, &puk}) {
    for (auto& [e, t] : *list) {
      auto path = test::PathOf(e, t);
      auto facts = test::FactsOf(e, t);
      ASSERT_TRUE(path && facts);
      ASSERT_EQ(path->binary.size(), 4u);
      EXPECT_EQ(path->binary[0], 0x3F);
      EXPECT_EQ(path->binary[1], 0x11);
      const FileSpec* kf = Spec(p, PathIds(path->binary));
      ASSERT_NE(kf, nullptr) << "key file " << ToHex(path->binary);
      EXPECT_EQ(path->length, std::max(kf->size, kf->content.size()));
      auto key = std::find_if(p.keys.begin(), p.keys.end(), [&](const KeySpec& k) {
        return k.reference == facts->keyReference;
      });
      ASSERT_NE(key, p.keys.end()) << "key reference " << facts->keyReference;
      EXPECT_EQ(facts->modulusBits, key->modulus.size() * 8);
      EXPECT_TRUE(certIds.count(facts->id)) << "key without a certificate of the same iD";
      bool isPrivate = t == EntryType::PrivateKey || t == EntryType::PrivateKeyHalvo;
      EXPECT_EQ(facts->isPrivate, isPrivate);
    }
  }
  for (auto& [e, t] : data) {
    auto path = test::PathOf(e, t);
    auto facts = test::FactsOf(e, t);
    ASSERT_TRUE(path && facts);
    ASSERT_EQ(path->binary.size(), 4u);
    EXPECT_EQ(path->binary[0] << 8 | path->binary[1], facts->isPrivate ? 0x6081 : 0x6061);
    const FileSpec* f = Spec(p, PathIds(path->binary));
    ASSERT_NE(f, nullptr);
    Bytes stored = Contents(*f);
    stored.resize(path->length);
    EXPECT_FALSE(p15::DecompressCardFile(stored).empty());
  }
}

TEST_P(ProfileContract, CounterHoldsTheLastFileNumber) {
  const FileSpec* counter = Spec(P(), {0x60A1});
  ASSERT_NE(counter, nullptr);
  std::string text(counter->content.begin(), counter->content.end());
  ASSERT_EQ(text.size(), 4u);
  for (char c : text) EXPECT_TRUE(std::isxdigit(c) && !std::islower(c)) << text;
  unsigned highest = 0;
  for (const FileSpec& f : P().files)
    if (f.path.size() == 2 && (f.path[0] == 0x6061 || f.path[0] == 0x6081) &&
        (f.path[1] < 0x7004 || f.path[1] > 0x7008))
      highest = std::max<unsigned>(highest, f.path[1]);
  EXPECT_EQ(std::stoul(text, nullptr, 16), highest);
  EXPECT_GT(highest, 0u);
}

// The engine loads the profile: selections and a read by short identifier.
TEST_P(ProfileContract, EngineServesTheTokenInfo) {
  Card card(P());
  card.PowerOn();
  Bytes r = card.Process(FromHex("00 A4 04 00 0C A0 00 00 00 63 50 4B 43 53 2D 31 35"));
  ASSERT_GE(r.size(), 2u);
  EXPECT_EQ(r[r.size() - 2], 0x61);
  Bytes info = card.Process(FromHex("00 B0 92 00 04"));
  ASSERT_EQ(info.size(), 6u);
  EXPECT_EQ(info[0], 0x30);
  EXPECT_EQ(Bytes(info.end() - 2, info.end()), FromHex("90 00"));
}

INSTANTIATE_TEST_SUITE_P(All, ProfileContract, ::testing::ValuesIn(test::ProfileNames()),
                         test::TestNameOf);

TEST(ProfileSet, HoldsEveryCardKindOnce) {
  std::set<std::string> names;
  for (const Profile& p : AllProfiles()) EXPECT_TRUE(names.insert(p.name).second) << p.name;
  for (const TypeRow& t : kCardTypes) EXPECT_TRUE(names.count(t.name)) << t.name;
  for (const KnownRow& k : kKnownAtrs) EXPECT_TRUE(names.count(k.name)) << k.name;
  EXPECT_EQ(names.size(), std::size(kCardTypes) + std::size(kKnownAtrs));
  EXPECT_EQ(FindProfile("no such card"), nullptr);

  const Profile* demo = FindProfile(DefaultProfileName());
  ASSERT_NE(demo, nullptr);
  EXPECT_FALSE(demo->secureChannel);
}

// Both entry forms, both path forms, both TokenInfo forms and both key sizes
// occur across the set.
TEST(ProfileSet, CoversBothEncodings) {
  std::set<EntryType> keyForms, infoForms;
  std::set<bool> textPaths;
  std::set<std::size_t> keyBits;
  for (const Profile& p : AllProfiles()) {
    for (const FileSpec& f : p.files) {
      if (f.path == std::vector<std::uint16_t>{0x5015, 0x6001}) {
        auto elements = test::SplitFile(Contents(f));
        ASSERT_TRUE(elements);
        for (const Bytes& e : *elements)
          for (EntryType t : {EntryType::PrivateKey, EntryType::PrivateKeyHalvo})
            if (test::Decodes(e, t)) {
              keyForms.insert(t);
              textPaths.insert(test::PathOf(e, t)->stored.size() > 4);
            }
      }
      if (f.path == std::vector<std::uint16_t>{0x5015, 0x5032}) {
        auto elements = test::SplitFile(Contents(f));
        ASSERT_TRUE(elements && !elements->empty());
        for (EntryType t : {EntryType::TokenInfo, EntryType::TokenInfoT61})
          if (test::Decodes(elements->front(), t)) infoForms.insert(t);
      }
    }
    for (const KeySpec& k : p.keys) keyBits.insert(k.modulus.size() * 8);
  }
  EXPECT_EQ(keyForms.size(), 2u);
  EXPECT_EQ(infoForms.size(), 2u);
  EXPECT_EQ(textPaths.size(), 2u);
  EXPECT_EQ(keyBits, (std::set<std::size_t>{1024, 2048}));
}

// Text paths are written the way the module reads them back.
TEST(ProfileContent, PathForms) {
  Bytes path = FromHex("3F 00 50 15 60 81 00 03");
  EXPECT_EQ(p15::StoredPath(path, p15::PathForm::Text), Text("\\3F00\\5015\\6081\\0003"));
  EXPECT_EQ(test::TextToBinary(p15::StoredPath(path, p15::PathForm::Text)), path);
  EXPECT_EQ(p15::StoredPath(FromHex("50 15 60"), p15::PathForm::Text), Text("\\5015\\6000"));
  EXPECT_EQ(p15::StoredPath(path, p15::PathForm::Binary), path);
}

TEST(ProfileContent, CompressedCardFileRoundTrip) {
  Bytes value(1000, 0x41);
  Bytes image = p15::CompressForCard(value);
  ASSERT_GT(image.size(), 8u);
  EXPECT_EQ(Bytes(image.begin(), image.begin() + 4), FromHex("E8 03 00 00"));
  std::size_t c = image[4] | image[5] << 8 | image[6] << 16 | static_cast<std::size_t>(image[7]) << 24;
  EXPECT_EQ(c + 8, image.size());
  EXPECT_EQ(image[8], 0x78) << "zlib header";
  EXPECT_EQ(p15::DecompressCardFile(image), value);
  // Stored raw when both lengths agree.
  Bytes raw = FromHex("03 00 00 00 03 00 00 00 01 02 03");
  EXPECT_EQ(p15::DecompressCardFile(raw), FromHex("01 02 03"));
  image.back() ^= 0x01;  // Adler-32
  EXPECT_TRUE(p15::DecompressCardFile(image).empty());
}

}  // namespace
}  // namespace zorbix::sim
