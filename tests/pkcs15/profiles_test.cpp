// Contract over every virtual card: its four directory files read into
// objects that agree with the card's keys and certificates, and write back
// into entries that read as the same objects.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "fake_card.h"
#include "hex.h"
#include "p11/objects.h"
#include "pkcs15/directories.h"
#include "sim/content_pkcs15.h"
#include "sim/profile.h"
#include "tests/p11/object_attributes.h"
#include "tests/simcontent/content_fixture.h"

namespace zorbix::p15 {
namespace {

using p11::AttributeValue;
using p11::CObjectLoader;
using p11::CPKCS11KeyObject;
using testing::FakeCard;
using testing::ToHex;
using Bytes = std::vector<std::uint8_t>;

const sim::FileSpec* FindFile(const sim::Profile& p, const std::vector<std::uint16_t>& path) {
  for (const auto& f : p.files)
    if (!f.isDf && f.path == path) return &f;
  return nullptr;
}

// The EF as the card holds it: content, then zeros up to its size.
Bytes EfBytes(const sim::FileSpec& f) {
  Bytes b = f.content;
  if (b.size() < f.size) b.resize(f.size, 0);
  return b;
}

// The card's value files and keys, as the token context will hand them over.
class ProfileLoader : public CObjectLoader {
 public:
  explicit ProfileLoader(const sim::Profile& p) : p_(p) {}
  void ReadCompressed(p11::ByteView path, std::vector<std::uint8_t>& out) override {
    ASSERT_EQ(path.size(), 4u);
    const auto* f = FindFile(p_, {static_cast<std::uint16_t>(path[0] << 8 | path[1]),
                                  static_cast<std::uint16_t>(path[2] << 8 | path[3])});
    if (!f) throw p11::Pkcs11Exception(0x80106A82);
    out = sim::p15::DecompressCardFile(f->content);
  }
  void ReadPublicKey(std::uint8_t ref, std::vector<std::uint8_t>& exponent,
                     std::vector<std::uint8_t>& modulus) override {
    for (const auto& k : p_.keys)
      if (k.reference == ref) {
        exponent = k.publicExponent;
        modulus = k.modulus;
        return;
      }
    throw p11::Pkcs11Exception(0x80106A88);
  }

 private:
  const sim::Profile& p_;
};

struct Directories {
  CP15PrKDF prkdf;
  CP15PuKDF pukdf;
  CP15CDF cdf;
  CP15DODF dodf;
  std::vector<CP15File*> all() { return {&cdf, &prkdf, &pukdf, &dodf}; }
};

CPKCS11Object* WithId(const CP15File& f, p11::ByteView id) {
  for (const auto& o : f.Objects())
    if (ToHex(o->Bytes(CKA_ID)) == ToHex(id)) return o.get();
  return nullptr;
}

class ProfileDirectories : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    profile_ = sim::FindProfile(GetParam());
    ASSERT_TRUE(profile_);
    for (CP15File* f : dirs_.all()) {
      const auto* spec = FindFile(*profile_, {kPkcs15DfId, f->FileId()});
      ASSERT_TRUE(spec) << std::hex << f->FileId();
      cards_.emplace(f->FileId(), std::make_unique<FakeCard>(f->FileId(), EfBytes(*spec)));
      cards_[f->FileId()]->capacity = EfBytes(*spec).size();
      f->Read(*cards_[f->FileId()]);
      ASSERT_TRUE(f->Loaded());
      ASSERT_FALSE(f->Objects().empty()) << std::hex << f->FileId();
    }
  }

  const sim::Profile* profile_ = nullptr;
  Directories dirs_;
  std::map<std::uint16_t, std::unique_ptr<FakeCard>> cards_;
};

TEST_P(ProfileDirectories, EntriesAgreeWithTheCardsKeysAndCertificates) {
  const auto& p = *profile_;
  ASSERT_EQ(dirs_.prkdf.Objects().size(), p.keys.size());
  ASSERT_EQ(dirs_.pukdf.Objects().size(), p.keys.size());
  ASSERT_EQ(dirs_.cdf.Objects().size(), p.keys.size());
  for (CP15File* f : dirs_.all()) {
    // One card, one form: every file ends up with the same flags.
    EXPECT_EQ(f->StandardFormat(), dirs_.prkdf.StandardFormat()) << std::hex << f->FileId();
    EXPECT_EQ(f->PathForm(), dirs_.prkdf.PathForm()) << std::hex << f->FileId();
  }

  ProfileLoader card(p);
  for (const auto& object : dirs_.prkdf.Objects()) {
    const auto& priv = dynamic_cast<const CPKCS11KeyObject&>(*object);
    auto* pubObject = WithId(dirs_.pukdf, priv.Bytes(CKA_ID));
    auto* certObject = WithId(dirs_.cdf, priv.Bytes(CKA_ID));
    ASSERT_TRUE(pubObject && certObject) << ToHex(priv.Bytes(CKA_ID));
    auto& pub = dynamic_cast<CPKCS11KeyObject&>(*pubObject);
    auto& cert = *certObject;

    EXPECT_TRUE(priv.IsTrue(CKA_PRIVATE));
    EXPECT_FALSE(pub.IsTrue(CKA_PRIVATE));
    EXPECT_TRUE(priv.IsProtected());
    EXPECT_EQ(priv.KeyReference(), pub.KeyReference());
    EXPECT_TRUE(priv.IsTrue(CKA_SIGN) || priv.IsTrue(CKA_DECRYPT));
    EXPECT_EQ(pub.ReadUlong(CKA_MODULUS_BITS), pub.ModulusBits());
    EXPECT_EQ(priv.ModulusBits(), pub.ModulusBits());

    const AttributeValue* modulus = pub.FindLoaded(CKA_MODULUS, card);
    ASSERT_TRUE(modulus) << "no card key " << int(pub.KeyReference());
    EXPECT_EQ(pub.ModulusBits(), modulus->size() * 8);

    const AttributeValue* value = cert.FindLoaded(CKA_VALUE, card);
    ASSERT_TRUE(value);
    const auto parts = sim::p15::ParseCertificate(Bytes(value->begin(), value->end()));
    ASSERT_TRUE(parts) << "CKA_VALUE is no certificate";
    EXPECT_EQ(ToHex(parts->subject), ToHex(cert.Bytes(CKA_SUBJECT)));
    EXPECT_EQ(ToHex(parts->issuer), ToHex(cert.Bytes(CKA_ISSUER)));
    EXPECT_EQ(ToHex(parts->serial), ToHex(cert.Bytes(CKA_SERIAL_NUMBER)));
    EXPECT_EQ(ToHex(parts->modulus), ToHex(pub.Bytes(CKA_MODULUS)));
    EXPECT_EQ(ToHex(parts->exponent), ToHex(pub.Bytes(CKA_PUBLIC_EXPONENT)));
    EXPECT_EQ(ToHex(priv.Bytes(CKA_SUBJECT)), ToHex(cert.Bytes(CKA_SUBJECT)));
  }

  for (const auto& data : dirs_.dodf.Objects()) {
    const AttributeValue* value = data->FindLoaded(CKA_VALUE, card);
    ASSERT_TRUE(value);
    EXPECT_EQ(std::string(value->begin(), value->begin() + 6), "ZORBIX");
  }
}

TEST_P(ProfileDirectories, WrittenBackTheEntriesReadAsTheSameObjects) {
  for (CP15File* f : dirs_.all()) {
    FakeCard& card = *cards_[f->FileId()];
    f->Write(card);

    Directories again;
    CP15File* copy = nullptr;
    for (CP15File* g : again.all())
      if (g->FileId() == f->FileId()) copy = g;
    copy->Read(card);
    EXPECT_EQ(copy->StandardFormat(), f->StandardFormat());
    EXPECT_EQ(copy->PathForm(), f->PathForm());
    ASSERT_EQ(copy->Objects().size(), f->Objects().size());
    for (std::size_t i = 0; i < f->Objects().size(); ++i) {
      const CPKCS11Object& a = *f->Objects()[i];
      const CPKCS11Object& b = *copy->Objects()[i];
      EXPECT_EQ(testing::AttributesOf(b), testing::AttributesOf(a)) << std::hex << f->FileId() << " entry " << i;
      EXPECT_EQ(b.Path(), a.Path());
      EXPECT_EQ(b.Index(), a.Index());
      EXPECT_EQ(b.Length(), a.Length());
      if (const auto* k = dynamic_cast<const CPKCS11KeyObject*>(&a)) {
        const auto& kb = dynamic_cast<const CPKCS11KeyObject&>(b);
        EXPECT_EQ(kb.KeyReference(), k->KeyReference());
        EXPECT_EQ(kb.ModulusBits(), k->ModulusBits());
      }
    }
  }
}

// The contract above is worth as much as the forms the cards hold: both entry
// forms, each with both path forms.
TEST(profile_directories, CardsHoldBothEntryFormsWithBothPathForms) {
  std::set<std::pair<int, int>> seen;
  for (const auto& p : sim::AllProfiles()) {
    const auto* spec = FindFile(p, {kPkcs15DfId, kCDFFileId});
    ASSERT_TRUE(spec) << p.name;
    FakeCard card(kCDFFileId, EfBytes(*spec));
    CP15CDF cdf;
    cdf.Read(card);
    seen.insert({cdf.StandardFormat(), cdf.PathForm()});
  }
  EXPECT_EQ(seen, (std::set<std::pair<int, int>>{{0, 0}, {0, 2}, {1, 0}, {1, 2}}));
}

INSTANTIATE_TEST_SUITE_P(, ProfileDirectories, ::testing::ValuesIn(sim::test::ProfileNames()),
                         sim::test::TestNameOf);

}  // namespace
}  // namespace zorbix::p15
