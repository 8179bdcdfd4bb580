// Free space and writing objects, on virtual cards reached through the
// communicators: the counter, new file sizes, best fit, key storage, the
// create/change/destroy operations with their refusals, the order of their
// writes under a card that stops answering, and every card profile.
#include <gtest/gtest.h>

#include <cryptopp/integer.h>

#include <functional>
#include <map>
#include <random>
#include <set>

#include "sim/content_pkcs15.h"
#include "tests/p11/raised.h"
#include "tests/pkcs15/freespace_fixture.h"
#include "tests/simcontent/content_fixture.h"
#include "tests/support/hex.h"

namespace zorbix::p15test {
namespace {

using p11::CPKCS11CertificateObject;
using p11::CPKCS11DataObject;
using p11::CPKCS11KeyObject;
using p11::CPKCS11Object;
using p11::CPKCS11PrivateKeyObject;
using p11::CPKCS11PublicKeyObject;
using p15::CP15EFUS;
using testing::RaisedBy;
using testing::ToHex;

Bytes Text(const std::string& s) { return {s.begin(), s.end()}; }

Bytes Cat(Bytes a, const Bytes& b, const Bytes& c) {
  a.insert(a.end(), b.begin(), b.end());
  a.insert(a.end(), c.begin(), c.end());
  return a;
}

// Values whose stored (compressed) form has exactly n bytes: random bytes
// do not compress.
Bytes ValueStoredAs(std::size_t n) {
  std::mt19937 rng(7);
  for (std::size_t length = n - 40; length < n; ++length) {
    Bytes v(length);
    for (auto& b : v) b = static_cast<std::uint8_t>(rng());
    if (comm::CCommunicator::CompressForCard(v).size() == n) return v;
  }
  ADD_FAILURE() << "no value stored in " << n << " bytes";
  return {};
}

std::shared_ptr<CPKCS11DataObject> Data(const std::string& label, Bytes value, bool isPrivate) {
  auto d = std::make_shared<CPKCS11DataObject>();
  d->Set(CKA_LABEL, Text(label));
  d->Set(CKA_APPLICATION, Text("test"));
  d->Set(CKA_VALUE, value);
  d->SetBool(CKA_PRIVATE, isPrivate);
  return d;
}

std::shared_ptr<CPKCS11CertificateObject> Certificate(const std::string& pki, bool isPrivate) {
  auto c = std::make_shared<CPKCS11CertificateObject>();
  const Bytes der = sim::PkiFile(pki + ".crt.der");
  const auto parts = sim::p15::ParseCertificate(der);
  c->Set(CKA_LABEL, Text("cert " + pki));
  c->SetUlong(CKA_CERTIFICATE_TYPE, CKC_X_509);
  c->Set(CKA_VALUE, der);
  c->Set(CKA_SUBJECT, parts->subject);
  c->Set(CKA_ISSUER, parts->issuer);
  c->Set(CKA_SERIAL_NUMBER, parts->serial);
  c->Set(CKA_ID, Text(pki));
  c->SetBool(CKA_PRIVATE, isPrivate);
  return c;
}

std::shared_ptr<CPKCS11PrivateKeyObject> PrivateKey(const sim::KeySpec& k, const Bytes& id) {
  auto key = std::make_shared<CPKCS11PrivateKeyObject>();
  key->SetUlong(CKA_KEY_TYPE, CKK_RSA);
  key->Set(CKA_LABEL, Text("new private key"));
  key->Set(CKA_ID, id);
  key->SetBool(CKA_PRIVATE, true);
  key->Set(CKA_MODULUS, k.modulus);
  key->Set(CKA_PUBLIC_EXPONENT, k.publicExponent);
  key->Set(CKA_PRIVATE_EXPONENT, k.privateExponent);
  key->Set(CKA_PRIME_1, k.p);
  key->Set(CKA_PRIME_2, k.q);
  key->Set(CKA_EXPONENT_1, k.dp);
  key->Set(CKA_EXPONENT_2, k.dq);
  key->Set(CKA_COEFFICIENT, k.qinv);
  return key;
}

std::shared_ptr<CPKCS11PublicKeyObject> PublicKey(const sim::KeySpec& k, const Bytes& id) {
  auto key = std::make_shared<CPKCS11PublicKeyObject>();
  key->SetUlong(CKA_KEY_TYPE, CKK_RSA);
  key->Set(CKA_LABEL, Text("new public key"));
  key->Set(CKA_ID, id);
  key->Set(CKA_MODULUS, k.modulus);
  key->Set(CKA_PUBLIC_EXPONENT, k.publicExponent);
  key->SetBool(CKA_VERIFY, true);
  return key;
}

// PKCS#1 v1.5 type 2 under the public key.
Bytes EncryptFor(const sim::KeySpec& k, const Bytes& message) {
  const std::size_t size = k.modulus.size();
  Bytes block(size, 0x5A);
  block[0] = 0x00;
  block[1] = 0x02;
  block[size - message.size() - 1] = 0x00;
  std::copy(message.begin(), message.end(), block.end() - static_cast<std::ptrdiff_t>(message.size()));
  using CryptoPP::Integer;
  const Integer c = a_exp_b_mod_c(Integer(block.data(), block.size()),
                                  Integer(k.publicExponent.data(), k.publicExponent.size()),
                                  Integer(k.modulus.data(), k.modulus.size()));
  Bytes out(size);
  c.Encode(out.data(), size);
  return out;
}

void SetCounter(sim::Card& card, const std::string& text) {
  card.FindFile({p15::kFileCounterId})->data = Text(text);
}

std::string CounterText(sim::Card& card) {
  const Bytes& b = card.FindFile({p15::kFileCounterId})->data;
  return {b.begin(), b.end()};
}

// ---------------------------------------------------------------- counter

TEST(freespace, NewFileSizes) {
  EXPECT_EQ(p15::NewFileSize(1000), 1100);
  EXPECT_EQ(p15::NewFileSize(9), 9);
  EXPECT_EQ(p15::NewFileSize(30000), 0x7FFF);  // within plain offsets
}

class Counter : public VirtualToken {};

TEST_F(Counter, NextFileNumberTable) {
  struct Case {
    std::string before;
    CK_RV rv;
    std::uint16_t number;
    std::string after;
  };
  const std::vector<Case> cases = {
      {"0009", CKR_OK, 0x000A, "000A"},
      {"00FF", CKR_OK, 0x0100, "0100"},
      {"00fe", CKR_OK, 0x00FF, "00FF"},
      {"0000", CKR_OK, 0x0001, "0001"},            // no file created yet
      {"00G1", CKR_DEVICE_ERROR, 0, "00G1"},       // not a number: nothing written
      {"FFFF", CKR_DEVICE_MEMORY, 0, "FFFF"},      // no number left
  };
  for (const auto& c : cases) {
    UseCard("HALVO");
    auto t = Open();
    SetCounter(*card, c.before);
    std::uint16_t number = 0;
    EXPECT_EQ(RaisedBy([&] { number = p15::NextFileNumber(*t->access); }), c.rv) << c.before;
    EXPECT_EQ(number, c.number) << c.before;
    EXPECT_EQ(CounterText(*card), c.after) << c.before;
  }
}

TEST_F(Counter, PrivateValueGoesToTheNextNumberInAFileATenthLarger) {
  UseCard("HALVO");
  auto t = Open();
  SetCounter(*card, "0009");
  const Bytes value = ValueStoredAs(1000);
  auto data = Data("d", value, true);
  auto s = t->Storage();
  p15::StoreValue(s, *data, true);
  EXPECT_EQ(ToHex(data->Path()), "60 81 00 0A");
  EXPECT_EQ(data->Index(), 0);
  EXPECT_EQ(data->Length(), 1000);
  EXPECT_EQ(CounterText(*card), "000A");
  const sim::CardFile& file = File({0x6081, 0x000A});
  EXPECT_EQ(file.data.size(), 1100u);
  EXPECT_EQ(file.read, sim::Access::Pin);  // private: read with the PIN only
  EXPECT_EQ(t->Value(*data), value);       // from memory

  Bytes back;
  t->comm->ReadCompressed(data->Path(), back);
  EXPECT_EQ(back, value);
}

// ---------------------------------------------------------------- best fit

Bytes Record(std::uint16_t df, std::uint16_t fid, std::uint16_t length,
             sim::p15::PathForm form = sim::p15::PathForm::Binary) {
  return sim::p15::UnusedSpace({static_cast<std::uint8_t>(df >> 8), static_cast<std::uint8_t>(df),
                                static_cast<std::uint8_t>(fid >> 8), static_cast<std::uint8_t>(fid)},
                               form, length);
}

TEST(freespace, RecordWalk) {
  struct Case {
    std::string name;
    Bytes record;
    std::string path;
    std::int32_t length;
    bool isPrivate;
  };
  const std::vector<Case> cases = {
      {"binary", Record(0x6081, 3, 1200), "60 81 00 03", 1200, true},
      {"text", Record(0x6061, 3, 600, sim::p15::PathForm::Text), "60 61 00 03", 600, false},
      {"one length byte", testing::Hex("30 0E 30 0C 04 04 60 81 00 01 02 01 00 80 01 64"),
       "60 81 00 01", 100, true},
      {"no length", testing::Hex("30 0B 30 09 04 04 60 81 00 01 02 01 00"), "60 81 00 01", -1,
       true},
      {"authID after the place",
       testing::Hex("30 12 30 0D 04 04 60 61 00 07 02 01 00 80 02 02 58 04 01 01"), "60 61 00 07",
       600, false},
      {"absolute text path",
       Cat(testing::Hex("30 1F 30 1D 04 14"), Text("\\3F00\\5015\\6081\\0003"),
           testing::Hex("02 01 00 80 02 04 00")),
       "3F 00 50 15 60 81 00 03", 1024, true},
      {"not a record", testing::Hex("31 03 04 01 00"), "", -1, false},
  };
  for (const auto& c : cases) {
    const auto r = p15::WalkRecord(c.record);
    EXPECT_EQ(ToHex(r.path), c.path) << c.name;
    EXPECT_EQ(r.length, c.length) << c.name;
    EXPECT_EQ(r.isPrivate, c.isPrivate) << c.name;
  }
}

class BestFit : public VirtualToken {
 protected:
  // The unused-space file holds these records; their files exist.
  void Free(const std::vector<std::tuple<std::uint16_t, std::uint16_t, std::uint16_t>>& files) {
    Bytes content;
    for (auto [df, fid, length] : files) {
      const Bytes r = Record(df, fid, length);
      content.insert(content.end(), r.begin(), r.end());
      card->CreateEf({df}, fid, length, sim::Access::Always, sim::Access::Pin);
    }
    File({0x5015, 0x5033}).data.assign(512, 0);
    std::copy(content.begin(), content.end(), File({0x5015, 0x5033}).data.begin());
  }
};

TEST_F(BestFit, Table) {
  using Files = std::vector<std::tuple<std::uint16_t, std::uint16_t, std::uint16_t>>;
  const Files four = {{0x6081, 0x11, 1200}, {0x6061, 0x12, 1100}, {0x6081, 0x13, 1050},
                      {0x6081, 0x14, 1050}};
  struct Case {
    std::string name;
    Files files;
    std::size_t n;
    bool isPrivate;
    std::optional<std::size_t> chosen;
  };
  const std::vector<Case> cases = {
      {"least excess, first of equals", four, 1000, true, 2},
      {"public area", four, 1000, false, 1},
      {"no file larger", four, 1200, true, std::nullopt},
      {"one byte larger", four, 1199, true, 0},
      {"exactly n never", {{0x6081, 0x11, 1000}}, 1000, true, std::nullopt},
      {"other area never", {{0x6061, 0x11, 2000}}, 1000, true, std::nullopt},
      {"outside the value areas never", {{0x5015, 0x7001, 2000}}, 1000, false, std::nullopt},
  };
  for (const auto& c : cases) {
    UseCard("TC-ORVA3");
    Free(c.files);
    auto t = Open();
    const auto fit = t->efus.BestFit(*t->access, c.n, c.isPrivate);
    ASSERT_EQ(fit.has_value(), c.chosen.has_value()) << c.name;
    if (!fit) continue;
    EXPECT_EQ(fit->position, *c.chosen) << c.name;
    const auto& [df, fid, length] = c.files[*c.chosen];
    EXPECT_EQ(ToHex(fit->path), ToHex(Bytes{static_cast<std::uint8_t>(df >> 8),
                                            static_cast<std::uint8_t>(df), 0,
                                            static_cast<std::uint8_t>(fid)}))
        << c.name;
  }
}

TEST_F(BestFit, TheWholeFreeFileIsReusedAndItsRecordRemoved) {
  UseCard("TC-ORVA3");
  Free({{0x6081, 0x11, 1200}, {0x6061, 0x12, 1100}, {0x6081, 0x13, 1050}, {0x6081, 0x14, 1050}});
  SetCounter(*card, "0020");
  auto t = Open();
  const Bytes value = ValueStoredAs(1000);
  auto data = Data("d", value, true);
  auto s = t->Storage();
  p15::StoreValue(s, *data, true);

  EXPECT_EQ(ToHex(data->Path()), "60 81 00 13");
  EXPECT_EQ(data->Length(), 1000);
  EXPECT_FALSE(Received(0xE0));           // no file created
  EXPECT_EQ(CounterText(*card), "0020");      // no number taken
  ASSERT_EQ(t->efus.Records().size(), 3u);
  for (const auto& r : t->efus.Records()) EXPECT_NE(ToHex(p15::WalkRecord(r).path), "60 81 00 13");
  Bytes back;
  t->comm->ReadCompressed(data->Path(), back);
  EXPECT_EQ(back, value);

  // The card's unused-space file reads as the records kept.
  auto again = Open();
  again->efus.Read(*again->access);
  EXPECT_EQ(again->efus.Records(), t->efus.Records());
}

// ---------------------------------------------------------------- keys

class Keys : public VirtualToken {};

TEST_F(Keys, PrivateKeyIsStoredUsableAndErased) {
  UseCard("TC-ORVA3");
  auto t = Open();
  const sim::KeySpec k = sim::p15::LoadKey("user-sign-1024", 0, 0);
  auto key = PrivateKey(k, Text("id-new"));
  key->SetBool(CKA_DECRYPT, true);
  auto s = t->Storage();
  p15::CreateOnCard(s, key, true);
  t->store.Add(key);

  EXPECT_EQ(key->KeyReference(), 4);  // 1 to 3 are the card's keys
  EXPECT_EQ(ToHex(key->Path()), "3F 11 01 04");
  EXPECT_EQ(key->Length(), 0x400);
  EXPECT_EQ(key->ModulusBits(), 1024u);
  Bytes modulus, exponent;
  t->comm->ReadPublicKey(4, exponent, modulus);
  EXPECT_EQ(modulus, k.modulus);

  const Bytes message = Text("stored key works");
  SecureBytes plain;
  t->comm->Decipher(4, EncryptFor(k, message), plain);
  EXPECT_EQ(Bytes(plain.begin(), plain.end()), message);

  // Read back as the card lists it.
  auto again = Open();
  const auto& listed = dynamic_cast<const CPKCS11KeyObject&>(*again->prkdf.Objects().back());
  EXPECT_EQ(Label(listed), "new private key");
  EXPECT_EQ(listed.KeyReference(), 4);
  EXPECT_TRUE(listed.IsTrue(CKA_DECRYPT));

  auto s2 = again->Storage();
  ASSERT_EQ(p15::DestroyObject(s2, *again->prkdf.Objects().back()), CKR_OK);
  EXPECT_EQ(card->FindKey(4), nullptr);
  EXPECT_EQ(RaisedBy([&] { again->comm->Decipher(4, EncryptFor(k, message), plain); }),
            CKR_DEVICE_ERROR);
}

TEST_F(Keys, PublicKeyMatchingAPrivateKeyIsWrittenWithoutKeyCommands) {
  UseCard("TC-ORVA3");
  auto t = Open();
  const sim::KeySpec k = sim::p15::LoadKey("user-cipher-2048", 0, 0);
  auto priv = PrivateKey(k, Text("pair"));
  priv->SetBool(CKA_SIGN, true);
  auto s = t->Storage();
  p15::CreateOnCard(s, priv, true);
  t->store.Add(priv);

  card->ClearTrace();
  auto pub = PublicKey(k, Text("pair"));
  p15::CreateOnCard(s, pub, false);
  for (std::uint8_t ins : {0x50, 0x52, 0x54, 0x44, 0xE0})
    EXPECT_FALSE(Received(ins)) << std::hex << int(ins);
  EXPECT_EQ(pub->KeyReference(), priv->KeyReference());
  EXPECT_EQ(pub->Path(), priv->Path());
  EXPECT_EQ(pub->ModulusBits(), 2048u);
  EXPECT_EQ(pub->ReadUlong(CKA_MODULUS_BITS), 2048u);
}

TEST_F(Keys, NoFreeKeyReferenceIsRefusedBeforeAnyCommand) {
  UseCard("TC-ORVA3");
  auto t = Open();
  // Key objects with every reference of the plain range, 1 to 32.
  for (std::uint8_t r = 1; r <= 32; ++r) {
    auto listed = std::make_shared<CPKCS11PublicKeyObject>();
    listed->SetKeyReference(r);
    t->pukdf.Objects().push_back(listed);
  }
  const auto prkdfBefore = t->prkdf.Objects();
  const sim::KeySpec k = sim::p15::LoadKey("user-sign-1024", 0, 0);
  auto key = PrivateKey(k, Text("one too many"));
  auto s = t->Storage();
  EXPECT_EQ(RaisedBy([&] { p15::CreateOnCard(s, key, true); }), CKR_DEVICE_MEMORY);
  EXPECT_TRUE(card->Trace().empty()) << card->TraceText();
  EXPECT_EQ(t->prkdf.Objects(), prkdfBefore);
}

TEST_F(Keys, NeitherUsageGivesBothAndUsageTwelve) {
  UseCard("TC-ORVA3");
  auto t = Open();
  const sim::KeySpec k = sim::p15::LoadKey("user-auth-1024", 0, 0);
  auto key = PrivateKey(k, Text("no usage"));
  auto s = t->Storage();
  p15::StorePrivateKey(s, *key);
  EXPECT_TRUE(key->IsTrue(CKA_SIGN));
  EXPECT_TRUE(key->IsTrue(CKA_DECRYPT));
  // 12 + 2 for the private parts, 12 + 1 for the public part: INS 52 and
  // 50, P1 C0; erasing with 12: P1 C0.
  std::map<std::uint8_t, std::set<std::uint8_t>> p1;
  for (const auto& e : card->Trace())
    if (e.command[0] == 0x90 && (e.command[1] == 0x50 || e.command[1] == 0x52 || e.command[1] == 0x54))
      p1[e.command[1]].insert(e.command[2]);
  EXPECT_EQ(p1[0x52], std::set<std::uint8_t>{0xC0});
  EXPECT_EQ(p1[0x50], std::set<std::uint8_t>{0xC0});
  EXPECT_EQ(p1[0x54], std::set<std::uint8_t>{0xC0});
}

TEST_F(Keys, MissingComponentIsRefusedBeforeAnyCommand) {
  UseCard("TC-ORVA3");
  auto t = Open();
  const sim::KeySpec k = sim::p15::LoadKey("user-auth-1024", 0, 0);
  auto key = PrivateKey(k, Text("no coefficient"));
  key->Erase(CKA_COEFFICIENT);
  auto s = t->Storage();
  EXPECT_EQ(RaisedBy([&] { p15::CreateOnCard(s, key, true); }), CKR_TEMPLATE_INCOMPLETE);
  EXPECT_TRUE(card->Trace().empty()) << card->TraceText();
}

// Destroying a public key whose key file the private key shares leaves the
// card's key to the private key.
TEST_F(Keys, DestroyingAPublicKeyKeepsTheSharedCardKey) {
  UseCard("TC-ORVA3");
  auto t = Open();
  auto& pub = dynamic_cast<CPKCS11KeyObject&>(*t->pukdf.Objects().front());
  const std::uint8_t ref = pub.KeyReference();
  auto s = t->Storage();
  ASSERT_EQ(p15::DestroyObject(s, pub), CKR_OK);
  EXPECT_FALSE(Received(0x54));
  EXPECT_NE(card->FindKey(ref), nullptr);
  EXPECT_EQ(Open()->pukdf.Objects().size(), profile_->keys.size() - 1);
}

// ---------------------------------------------------------------- refusals

class Refusals : public VirtualToken {};

std::vector<std::uint8_t> WritingInstructions() { return {0xD6, 0xE0, 0x50, 0x52, 0x54}; }

TEST_F(Refusals, DirectoryTooSmallIsRefusedBeforeAnyWrite) {
  UseCard("HALVO");
  // The data object directory has room for a few bytes more than it holds.
  const std::size_t used = [&] {
    auto t = Open();
    return t->dodf.Size();
  }();
  File({0x5015, 0x6005}).data.resize(used + 8);
  SetCounter(*card, "0040");
  auto t = Open();
  const auto before = t->dodf.Objects();
  auto s = t->Storage();
  EXPECT_EQ(RaisedBy([&] { p15::CreateOnCard(s, Data("too big", Text("value"), false), false); }),
            CKR_DEVICE_MEMORY);
  for (std::uint8_t ins : WritingInstructions()) EXPECT_FALSE(Received(ins)) << std::hex << int(ins);
  EXPECT_EQ(t->dodf.Objects(), before);
  EXPECT_EQ(CounterText(*card), "0040");

  // A change that would not fit: the object keeps its place.
  auto& data = *t->dodf.Objects().front();
  const Bytes path = data.Path();
  data.Set(CKA_LABEL, Bytes(40, 'L'));
  EXPECT_EQ(RaisedBy([&] { p15::ChangeOnCard(s, data, false); }), CKR_DEVICE_MEMORY);
  EXPECT_EQ(data.Path(), path);
  EXPECT_EQ(t->dodf.Objects(), before);
  for (std::uint8_t ins : WritingInstructions()) EXPECT_FALSE(Received(ins)) << std::hex << int(ins);
}

TEST_F(Refusals, FullUnusedSpaceFileLeavesTheFreedFileUnlisted) {
  UseCard("TC-ORVA3");
  File({0x5015, 0x5033}).data.assign(10, 0);
  auto t = Open();
  auto s = t->Storage();
  auto& data = *t->dodf.Objects().front();
  ASSERT_EQ(p15::DestroyObject(s, data), CKR_OK);
  EXPECT_TRUE(t->efus.Records().empty());
  EXPECT_EQ(File({0x5015, 0x5033}).data, Bytes(10, 0));
  EXPECT_EQ(Open()->dodf.Objects().size(), 1u);
}

TEST_F(Refusals, EntryThatWouldNotReadBackIsRefusedBeforeAnyWrite) {
  UseCard("HALVO");
  auto t = Open();
  const auto before = t->cdf.Objects();
  // An index that one contents byte cannot carry.
  auto& cert = *t->cdf.Objects().front();
  cert.SetIndex(0x1FF);
  auto s = t->Storage();
  EXPECT_EQ(RaisedBy([&] { p15::WriteDirectory(s, t->cdf); }), CKR_DEVICE_ERROR);
  EXPECT_FALSE(Received(0xD6));
  EXPECT_EQ(t->cdf.Objects(), before);
}

// ---------------------------------------------------------------- change

class Change : public VirtualToken {};

TEST_F(Change, NewValueThenDirectoryThenTheOldFileIsFree) {
  UseCard("TC-ORVA3");
  auto t = Open();
  auto s = t->Storage();
  auto& data = *t->dodf.Objects().front();  // public, in 6061
  const Bytes oldPath = data.Path();
  const std::size_t oldSize = card->FindFile({0x6061, static_cast<std::uint16_t>(oldPath[2] << 8 | oldPath[3])})->data.size();
  const std::size_t recordsBefore = [&] {
    t->efus.Read(*t->access);
    return t->efus.Records().size();
  }();
  card->ClearTrace();

  const Bytes value = Text("a new value, longer than the one before it was");
  data.Set(CKA_VALUE, value);
  data.Set(CKA_LABEL, Text("changed"));
  p15::ChangeOnCard(s, data, false);
  EXPECT_NE(data.Path(), oldPath);

  // The old file is listed free with its size on the card.
  ASSERT_EQ(t->efus.Records().size(), recordsBefore + 1);
  const auto r = p15::WalkRecord(t->efus.Records().back());
  EXPECT_EQ(r.path, oldPath);
  EXPECT_EQ(static_cast<std::size_t>(r.length), oldSize);

  // Writes: the value file, the directory, then the unused space.
  std::vector<std::string> written;
  std::string selected;
  for (const auto& e : card->Trace()) {
    const Bytes& c = e.command;
    if (c[1] == 0xA4 && c.size() == 7) selected = ToHex(Bytes(c.begin() + 5, c.end()));
    if (c[1] == 0xD6 && (written.empty() || written.back() != selected)) written.push_back(selected);
  }
  EXPECT_EQ(written, (std::vector<std::string>{"60 A1", ToHex(Bytes(data.Path().begin() + 2, data.Path().end())),
                                                "60 05", "50 33"}));

  auto again = Open();
  const auto& listed = *again->dodf.Objects().back();
  EXPECT_EQ(Label(listed), "changed");
  EXPECT_EQ(again->Value(*again->dodf.Objects().back()), value);
}

TEST_F(Change, LabelOnlyKeepsTheValueFile) {
  UseCard("TC-ORVA4");
  auto t = Open();
  auto s = t->Storage();
  auto& cert = *t->cdf.Objects().front();
  const Bytes path = cert.Path();
  cert.Set(CKA_LABEL, Text("renamed"));
  p15::ChangeOnCard(s, cert, false);
  EXPECT_EQ(cert.Path(), path);
  auto again = Open();
  bool found = false;
  for (const auto& o : again->cdf.Objects())
    if (Label(*o) == "renamed") found = o->Path() == path;
  EXPECT_TRUE(found);
  EXPECT_EQ(again->cdf.Objects().size(), t->cdf.Objects().size());
}

// ---------------------------------------------------------------- destroy and reuse

class Reuse : public VirtualToken {};

TEST_F(Reuse, DestroyedCertificateFileTakesTheNextValue) {
  UseCard("TC-ORVA3");
  SetCounter(*card, "0009");
  auto t = Open();
  auto s = t->Storage();
  auto cert = Certificate("user-sign-2048", true);
  cert->Set(CKA_VALUE, ValueStoredAs(1000));
  p15::CreateOnCard(s, cert, true);
  t->store.Add(cert);
  ASSERT_EQ(ToHex(cert->Path()), "60 81 00 0A");

  ASSERT_EQ(p15::DestroyObject(s, *cert), CKR_OK);
  ASSERT_FALSE(t->efus.Records().empty());
  const auto r = p15::WalkRecord(t->efus.Records().back());
  EXPECT_EQ(ToHex(r.path), "60 81 00 0A");
  EXPECT_EQ(r.length, 1100);
  EXPECT_TRUE(r.isPrivate);

  auto data = Data("reuses", ValueStoredAs(1000), true);
  p15::CreateOnCard(s, data, true);
  EXPECT_EQ(ToHex(data->Path()), "60 81 00 0A");
  EXPECT_EQ(CounterText(*card), "000A");
}

// ---------------------------------------------------------------- a card that stops answering

struct Listed {
  CK_OBJECT_CLASS objectClass;
  std::string label;
  Bytes value;
  bool operator==(const Listed&) const = default;
};

class Interrupted : public VirtualToken {
 protected:
  // Every object the card lists, with its value.
  std::vector<Listed> Objects() {
    auto t = Open();
    std::vector<Listed> out;
    for (p15::CP15File* f : t->Directories())
      for (const auto& o : f->Objects()) {
        Bytes value;
        if (o->ObjectClass() == CKO_DATA || o->ObjectClass() == CKO_CERTIFICATE) value = t->Value(*o);
        out.push_back({o->ObjectClass(), Label(*o), value});
      }
    return out;
  }

  using Operation = std::function<void(Token&)>;

  // Runs the operation with the card answering 0, 1, 2, ... commands of it:
  // the card then lists what it listed before, plus at most the new object
  // complete, minus at most the destroyed one.
  void EveryStop(const std::string& profile, const Operation& prepare, const Operation& run,
                 const std::vector<Listed>& added, const std::vector<Listed>& removed) {
    UseCard(profile);
    {
      auto t = Open();
      prepare(*t);
    }
    const std::vector<Listed> before = Objects();
    std::size_t commands = 0;
    {
      auto t = Open();
      const std::size_t start = card->CommandCount();
      run(*t);
      commands = card->CommandCount() - start;
    }
    ASSERT_GT(commands, 3u);
    for (std::size_t stop = 0; stop < commands; ++stop) {
      UseCard(profile);
      {
        auto t = Open();
        prepare(*t);
      }
      auto t = Open();
      StopAfter(stop);
      (void)RaisedBy([&] { run(*t); });
      Resume();
      const std::vector<Listed> after = Objects();
      for (const Listed& o : before) {
        const bool isRemoved = std::find(removed.begin(), removed.end(), o) != removed.end();
        const bool present = std::find(after.begin(), after.end(), o) != after.end();
        EXPECT_TRUE(present || isRemoved) << "stop " << stop << ": " << o.label << " lost";
      }
      for (const Listed& o : after) {
        const bool known = std::find(before.begin(), before.end(), o) != before.end() ||
                           std::find(added.begin(), added.end(), o) != added.end();
        EXPECT_TRUE(known) << "stop " << stop << ": " << o.label << " listed wrong";
      }
    }
  }
};

TEST_F(Interrupted, CreateOfAPrivateDataObject) {
  const Bytes value = Text("written while the card may stop answering");
  EveryStop(
      "HALVO", [](Token&) {},
      [&](Token& t) {
        auto s = t.Storage();
        p15::CreateOnCard(s, Data("new", value, true), true);
      },
      {{CKO_DATA, "new", value}}, {});
}

TEST_F(Interrupted, CreateOfACertificate) {
  const auto cert = Certificate("user-auth-1024", false);
  const Bytes value(cert->Bytes(CKA_VALUE).begin(), cert->Bytes(CKA_VALUE).end());
  EveryStop(
      "TC-ORVA4", [](Token&) {},
      [&](Token& t) {
        auto s = t.Storage();
        p15::CreateOnCard(s, Certificate("user-auth-1024", false), false);
      },
      {{CKO_CERTIFICATE, "cert user-auth-1024", value}}, {});
}

TEST_F(Interrupted, DestroyOfADataObjectBeforeAnother) {
  EveryStop(
      "HALVO", [](Token&) {},
      [](Token& t) {
        auto s = t.Storage();
        (void)p15::DestroyObject(s, *t.dodf.Objects().front());
      },
      {}, {{CKO_DATA, "ZORBIX Datos", Text("ZORBIX public test data: card issued for the test bench")}});
}

TEST_F(Interrupted, DestroyOfTheLastCertificate) {
  const auto cert = Certificate("user-auth-1024", false);
  const Bytes value(cert->Bytes(CKA_VALUE).begin(), cert->Bytes(CKA_VALUE).end());
  EveryStop(
      "TC-ORVA4",
      [](Token& t) {
        auto s = t.Storage();
        p15::CreateOnCard(s, Certificate("user-auth-1024", false), false);
      },
      [](Token& t) {
        auto s = t.Storage();
        (void)p15::DestroyObject(s, *t.cdf.Objects().back());
      },
      {}, {{CKO_CERTIFICATE, "cert user-auth-1024", value}});
}

// ---------------------------------------------------------------- every card

class EveryCard : public VirtualToken, public ::testing::WithParamInterface<std::string> {};

// Create, read back from the card, rename, destroy, and the freed space
// taken by the next create.
TEST_P(EveryCard, CreateChangeDestroyAndReuse) {
  UseCard(GetParam());
  auto find = [](Token& token, CK_OBJECT_CLASS c, const std::string& label) -> CPKCS11Object* {
    for (const auto& o : token.Of(c))
      if (Label(*o) == label) return o.get();
    return nullptr;
  };
  const Bytes publicValue = Text("public data object of the test");
  const Bytes privateValue = Text("private data object of the test");
  auto pub = Data("pub", publicValue, false);
  auto priv = Data("priv", privateValue, true);
  auto cert = Certificate("user-sign-1024", false);
  {
    auto t = Open();
    auto s = t->Storage();
    for (const auto& [o, isPrivate] : {std::pair<std::shared_ptr<CPKCS11Object>, bool>{pub, false},
                                       {priv, true}, {cert, false}}) {
      p15::CreateOnCard(s, o, isPrivate);
      t->store.Add(o);
    }
  }
  EXPECT_EQ(ToHex(Bytes(pub->Path().begin(), pub->Path().begin() + 2)), "60 61");
  EXPECT_EQ(ToHex(Bytes(priv->Path().begin(), priv->Path().begin() + 2)), "60 81");
  {
    // A private value is not read without the PIN (a card session that
    // never saw it).
    card->Reset();
    auto anonymous = Open(false);
    ASSERT_TRUE(find(*anonymous, CKO_DATA, "priv"));
    Bytes v;
    const CK_RV rv = RaisedBy([&] { v = anonymous->Value(*find(*anonymous, CKO_DATA, "priv")); });
    EXPECT_TRUE(rv != CKR_OK || v.empty());
  }
  {
    auto t = Open();
    ASSERT_TRUE(find(*t, CKO_DATA, "pub") && find(*t, CKO_DATA, "priv") &&
                find(*t, CKO_CERTIFICATE, "cert user-sign-1024"));
    EXPECT_EQ(t->Value(*find(*t, CKO_DATA, "pub")), publicValue);
    EXPECT_EQ(t->Value(*find(*t, CKO_DATA, "priv")), privateValue);
    EXPECT_EQ(t->Value(*find(*t, CKO_CERTIFICATE, "cert user-sign-1024")),
              Bytes(cert->Bytes(CKA_VALUE).begin(), cert->Bytes(CKA_VALUE).end()));
    EXPECT_TRUE(find(*t, CKO_DATA, "priv")->IsTrue(CKA_PRIVATE));
    auto s = t->Storage();
    CPKCS11Object* renamed = find(*t, CKO_DATA, "pub");
    renamed->Set(CKA_LABEL, Text("pub renamed"));
    p15::ChangeOnCard(s, *renamed, false);
  }
  {
    auto t = Open();
    ASSERT_TRUE(find(*t, CKO_DATA, "pub renamed"));
    EXPECT_EQ(t->Value(*find(*t, CKO_DATA, "pub renamed")), publicValue);
    auto s = t->Storage();
    for (auto [c, label] : {std::pair{CKO_DATA, "pub renamed"}, {CKO_DATA, "priv"},
                            {CKO_CERTIFICATE, "cert user-sign-1024"}})
      ASSERT_EQ(p15::DestroyObject(s, *find(*t, c, label)), CKR_OK) << label;
  }
  const std::string counter = CounterText(*card);
  {
    auto t = Open();
    EXPECT_FALSE(find(*t, CKO_DATA, "priv"));
    EXPECT_EQ(t->dodf.Objects().size(), 2u);
    EXPECT_EQ(t->cdf.Objects().size(), profile_->keys.size());
    // The next private value goes into the freed private file.
    auto s = t->Storage();
    auto next = Data("next", Text("short"), true);
    p15::CreateOnCard(s, next, true);
    EXPECT_EQ(ToHex(next->Path()), ToHex(priv->Path()));
    EXPECT_EQ(CounterText(*card), counter);
  }
  auto t = Open();
  ASSERT_TRUE(find(*t, CKO_DATA, "next"));
  EXPECT_EQ(t->Value(*find(*t, CKO_DATA, "next")), Text("short"));
}

INSTANTIATE_TEST_SUITE_P(, EveryCard, ::testing::ValuesIn(sim::test::ProfileNames()),
                         sim::test::TestNameOf);

}  // namespace
}  // namespace zorbix::p15test
