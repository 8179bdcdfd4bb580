// The card's key commands on the engine: both signing paths, on-card
// verification, decipherment, key storage, generation and erasure, EF
// creation, envelopes and the PIN rule, for every profile.
#include <gtest/gtest.h>

#include <cryptopp/integer.h>
#include <cryptopp/osrng.h>
#include <cryptopp/rsa.h>
#include <cryptopp/sha.h>

#include "sim/card.h"
#include "sim/content_pkcs15.h"
#include "tests/simcontent/content_fixture.h"
#include "tests/support/pkcs1.h"

namespace zorbix::sim {
namespace {

using CryptoPP::Integer;

using test::Answer;
using test::Cat;
using test::ToInt;
using zorbix::testing::PadType1;

const Bytes kSha1Prefix = FromHex("30 21 30 09 06 05 2B 0E 03 02 1A 05 00 04 14");
const Bytes kMessage = {'Z', 'O', 'R', 'B', 'I', 'X', ' ', 't', 'e', 's', 't'};

Bytes DigestInfo(const Bytes& msg) {
  Bytes h(20);
  CryptoPP::SHA1().CalculateDigest(h.data(), msg.data(), msg.size());
  return Cat(kSha1Prefix, h);
}

bool Verifies(const KeySpec& k, const Bytes& msg, const Bytes& sig) {
  CryptoPP::RSA::PublicKey pub;
  pub.Initialize(ToInt(k.modulus), ToInt(k.publicExponent));
  CryptoPP::RSASS<CryptoPP::PKCS1v15, CryptoPP::SHA1>::Verifier v(pub);
  return v.VerifyMessage(msg.data(), msg.size(), sig.data(), sig.size());
}

// A host talking to the card as the module does.
class Host : public test::Exchanges {
 public:
  explicit Host(const Profile& p) : card(p) { card.PowerOn(); }

  Answer Raw(const Bytes& apdu) override {
    Bytes r = card.Process(apdu);
    Answer a;
    a.sw = static_cast<std::uint16_t>(r[r.size() - 2] << 8 | r[r.size() - 1]);
    a.data.assign(r.begin(), r.end() - 2);
    return a;
  }

  void Login() {
    if (card.profile().secureChannel) {
      // PIN commands need the channel there; the channel is not in play here.
      card.SetPinVerified(true);
      return;
    }
    const std::string& pin = card.profile().pin;
    Bytes v = {0x00, 0x20, 0x00, 0x00, static_cast<std::uint8_t>(pin.size())};
    v.insert(v.end(), pin.begin(), pin.end());
    ASSERT_EQ(Send(v).sw, 0x9000);
  }

  Answer SignPlain(std::uint8_t ref, const Bytes& block) {
    Answer load = Command({0x90, 0x58, 0x00, 0x00}, block);
    if (load.sw != 0x9000) return load;
    return Send({0x90, 0x5A, 0x80, ref, static_cast<std::uint8_t>(block.size())});
  }

  Card card;
};

bool IsHalvo10(const Profile& p) {
  for (const FileSpec& f : p.files)
    if (f.path == std::vector<std::uint16_t>{0x3F11, 0x3F73}) return true;
  return false;
}

class KeyContract : public ::testing::TestWithParam<std::string> {
 protected:
  const Profile& P() const { return *FindProfile(GetParam()); }
};

TEST_P(KeyContract, KeyUseNeedsThePin) {
  Host h(P());
  std::uint8_t ref = P().keys.front().reference;
  std::size_t k = P().keys.front().modulus.size();
  struct Case {
    const char* what;
    Bytes apdu;
  };
  const Case cases[] = {
      {"compute signature", {0x90, 0x5A, 0x80, ref, static_cast<std::uint8_t>(k)}},
      {"decipher", Cat({0x90, 0x74, 0x40, ref, 0x10}, Bytes(16, 0x01))},
      {"PSO", Cat({0x00, 0x2A, 0x9E, 0x9A, 0x23}, DigestInfo(kMessage))},
      {"store component", FromHex("90 50 80 05 05 12 03 01 00 01")},
      {"generate", FromHex("90 76 80 05 09 80 02 04 00 82 03 01 00 01")},
      {"erase", {0x90, 0x54, 0x80, ref, 0x00}},
      {"activate", FromHex("90 44 00 00 00")},
      {"create EF", FromHex("90 E0 01 00 0A 01 01 00 00 40 00 00 11 11 FF")},
  };
  ASSERT_EQ(h.Command({0x90, 0x58, 0x00, 0x00}, PadType1(DigestInfo(kMessage), k)).sw, 0x9000)
      << "loading a block needs no PIN";
  for (const Case& c : cases) EXPECT_EQ(h.Send(c.apdu).sw, 0x6982) << c.what;
}

TEST_P(KeyContract, SignsOnBothPathsAndVerifiesOnCard) {
  Host h(P());
  h.Login();
  for (const KeySpec& key : P().keys) {
    SCOPED_TRACE(key.reference);
    std::size_t k = key.modulus.size();
    Bytes di = DigestInfo(kMessage);

    // Host-padded block, card applies the key.
    Answer plain = h.SignPlain(key.reference, PadType1(di, k));
    ASSERT_EQ(plain.sw, 0x9000);
    ASSERT_EQ(plain.data.size(), k);
    EXPECT_TRUE(Verifies(key, kMessage, plain.data));

    // MSE:SET + PSO, the card pads.
    ASSERT_EQ(h.Send({0x00, 0x22, 0x41, 0xB6, 0x04, 0x84, 0x02, 0x01, key.reference}).sw, 0x9000);
    Answer pso = h.Command({0x00, 0x2A, 0x9E, 0x9A}, di);
    ASSERT_EQ(pso.sw, 0x9000);
    EXPECT_EQ(pso.data, plain.data) << "PKCS#1 v1.5 signatures are deterministic";

    // On-card verification of that signature, and of a damaged one.
    ASSERT_EQ(h.Command({0x90, 0x58, 0x00, 0x00}, PadType1(di, k)).sw, 0x9000);
    EXPECT_EQ(h.Command({0x90, 0x5E, 0x80, key.reference}, plain.data).sw, 0x9000);
    Bytes bad = plain.data;
    bad[k / 2] ^= 0x40;
    ASSERT_EQ(h.Command({0x90, 0x58, 0x00, 0x00}, PadType1(di, k)).sw, 0x9000);
    EXPECT_EQ(h.Command({0x90, 0x5E, 0x80, key.reference}, bad).sw, 0x6300);

    // The public key read back is the one that verifies.
    EXPECT_EQ(h.Send({0x90, 0x56, 0x80, key.reference, 0x01, 0x14}).data, key.modulus);
    EXPECT_EQ(h.Send({0x90, 0x56, 0x80, key.reference, 0x01, 0x12}).data, key.publicExponent);
  }
}

TEST_P(KeyContract, SigningErrors) {
  Host h(P());
  h.Login();
  const KeySpec& key = P().keys.front();
  std::size_t k = key.modulus.size();
  EXPECT_EQ(h.Send({0x90, 0x5A, 0x80, key.reference, static_cast<std::uint8_t>(k)}).sw, 0x6985)
      << "no block loaded";
  EXPECT_EQ(h.SignPlain(0x7F, PadType1(DigestInfo(kMessage), k)).sw, 0x6A88) << "no such key";
  EXPECT_EQ(h.SignPlain(key.reference, Bytes(k - 1, 0x01)).sw, 0x6700) << "short block";
  EXPECT_EQ(h.SignPlain(key.reference, Bytes(k, 0xFF)).sw, 0x6A80) << "block above the modulus";
  Host fresh(P());
  fresh.Login();
  EXPECT_EQ(fresh.Command({0x00, 0x2A, 0x9E, 0x9A}, DigestInfo(kMessage)).sw, 0x6985)
      << "PSO without MSE:SET";
  EXPECT_EQ(fresh.Send({0x00, 0x22, 0x41, 0xB6, 0x04, 0x84, 0x02, 0x01, 0x7F}).sw, 0x6A88);
}

TEST_P(KeyContract, DeciphersPkcs1Blocks) {
  Host h(P());
  h.Login();
  CryptoPP::AutoSeededRandomPool rng;
  const Bytes secret = {'s', 'e', 's', 's', 'i', 'o', 'n', ' ', 'k', 'e', 'y', 0x00, 0x01, 0xFF};
  for (const KeySpec& key : P().keys) {
    SCOPED_TRACE(key.reference);
    CryptoPP::RSA::PublicKey pub;
    pub.Initialize(ToInt(key.modulus), ToInt(key.publicExponent));
    CryptoPP::RSAES_PKCS1v15_Encryptor enc(pub);
    Bytes ct(enc.CiphertextLength(secret.size()));
    enc.Encrypt(rng, secret.data(), secret.size(), ct.data());
    Answer a = h.Command({0x90, 0x74, 0x40, key.reference}, ct);
    ASSERT_EQ(a.sw, 0x9000);
    EXPECT_EQ(a.data, secret);

    // A block that is not of type 2.
    std::size_t k = key.modulus.size();
    Integer forged = a_exp_b_mod_c(ToInt(PadType1(secret, k)), ToInt(key.publicExponent),
                                   ToInt(key.modulus));
    Bytes fct(k);
    forged.Encode(fct.data(), k);
    EXPECT_EQ(h.Command({0x90, 0x74, 0x40, key.reference}, fct).sw, 0x6A80);
    EXPECT_EQ(h.Command({0x90, 0x74, 0x40, key.reference}, Bytes(k - 1, 0x01)).sw, 0x6700);
  }
}

// Erase, store the components of a known key, sign with it; generate a new
// key between activations and sign with that.
TEST_P(KeyContract, StoresGeneratesAndErasesKeys) {
  const Profile& p = P();
  Host h(p);
  h.Login();
  const bool halvo = IsHalvo10(p);
  ASSERT_EQ(h.Send(FromHex("00 A4 04 00 0A 49 43 43 2E 43 72 79 70 74 6F")).sw, 0x9000);

  // Component storage into a new reference (card family 1.0: the signature
  // key slot, replacing the key there).
  KeySpec known = p15::LoadKey("user-sign-1024", 0, 0);
  const std::uint8_t ref = halvo ? 0x22 : 0x05;
  ASSERT_EQ(h.Send({0x90, 0x54, 0x80, ref, 0x00}).sw, halvo ? 0x9000 : 0x9000);
  auto put = [&](std::uint8_t ins, std::uint8_t tag, const Bytes& v) {
    Bytes d = {tag};
    if (halvo) {
      d.push_back(static_cast<std::uint8_t>(v.size()));
    } else if (v.size() < 128) {
      d.push_back(static_cast<std::uint8_t>(v.size()));
    } else {
      d.push_back(0x81);
      d.push_back(static_cast<std::uint8_t>(v.size()));
    }
    return h.Command({0x90, ins, 0x80, ref}, Cat(d, v)).sw;
  };
  EXPECT_EQ(put(0x52, 0x02, known.p), 0x9000);
  EXPECT_EQ(put(0x52, 0x04, known.q), 0x9000);
  EXPECT_EQ(put(0x52, 0x06, known.qinv), 0x9000);
  EXPECT_EQ(put(0x52, 0x08, known.dp), 0x9000);
  EXPECT_EQ(put(0x52, 0x0A, known.dq), 0x9000);
  EXPECT_EQ(put(0x50, 0x12, known.publicExponent), 0x9000);
  EXPECT_EQ(put(0x50, 0x14, known.modulus), 0x9000);
  EXPECT_EQ(put(0x50, 0x02, known.p), 0x6A80) << "a private part through the public command";
  Answer s = h.SignPlain(ref, PadType1(DigestInfo(kMessage), 128));
  ASSERT_EQ(s.sw, 0x9000);
  EXPECT_TRUE(Verifies(known, kMessage, s.data));
  if (halvo) {
    EXPECT_EQ(h.SignPlain(0x20, PadType1(DigestInfo(kMessage), 128)).sw, 0x6A88)
        << "one signature key per card family 1.0 card";
  }

  // Generation between activations.
  const std::uint8_t gen = halvo ? 0x23 : 0x06;
  if (halvo) {
    EXPECT_EQ(h.Send({0x90, 0x76, 0x40, gen, 0x03, 0x01, 0x00, 0x01}).sw, 0x9000);
  } else {
    ASSERT_EQ(h.Send({0x00, 0xA4, 0x00, 0x00, 0x02, 0x01, gen}).sw, 0x9000);
    EXPECT_EQ(h.Send(FromHex("90 44 00 00 00")).sw, 0x9000);
    EXPECT_EQ(h.Send(Cat({0x90, 0x76, 0x40, gen}, FromHex("09 80 02 08 00 82 03 01 00 01"))).sw, 0x9000);
    EXPECT_EQ(h.Send(FromHex("90 44 00 00 00")).sw, 0x9000);
    EXPECT_EQ(h.Send(Cat({0x90, 0x76, 0x40, 0x07}, FromHex("09 80 02 02 00 82 03 01 00 01"))).sw, 0x6A80)
        << "512 bits";
    EXPECT_EQ(h.Send(Cat({0x90, 0x76, 0x40, 0x40}, FromHex("09 80 02 04 00 82 03 01 00 01"))).sw, 0x6A82)
        << "no key file 0140";
  }
  KeySpec fresh;
  fresh.modulus = h.Send({0x90, 0x56, 0x80, gen, 0x01, 0x14}).data;
  fresh.publicExponent = h.Send({0x90, 0x56, 0x80, gen, 0x01, 0x12}).data;
  EXPECT_EQ(fresh.modulus.size(), halvo ? 128u : 256u);
  EXPECT_EQ(fresh.publicExponent, FromHex("01 00 01"));
  Answer g = h.SignPlain(gen, PadType1(DigestInfo(kMessage), fresh.modulus.size()));
  ASSERT_EQ(g.sw, 0x9000);
  EXPECT_TRUE(Verifies(fresh, kMessage, g.data));

  // Erasure: the key is gone.
  EXPECT_EQ(h.Send({0x90, 0x54, static_cast<std::uint8_t>(halvo ? 0x40 : 0xC0), gen, 0x00}).sw, 0x9000);
  EXPECT_EQ(h.SignPlain(gen, PadType1(DigestInfo(kMessage), fresh.modulus.size())).sw, 0x6A88);
  if (halvo) {
    EXPECT_EQ(h.Send({0x90, 0x54, 0x40, gen, 0x00}).sw, 0x6A88) << "slot already empty";
  }
}

TEST_P(KeyContract, CreatesElementaryFiles) {
  Host h(P());
  h.Login();
  auto selectMf = [&] { return h.Send(FromHex("00 A4 04 00 0B 4D 61 73 74 65 72 2E 46 69 6C 65")).sw; };
  ASSERT_EQ(selectMf(), 0x9000);
  ASSERT_EQ(h.Send(FromHex("00 A4 00 00 02 60 81")).sw, 0x9000);
  const Bytes create = FromHex("90 E0 01 00 0A 01 01 23 04 4C 11 11 11 11 FF");
  ASSERT_EQ(h.Send(create).sw, 0x9000);
  ASSERT_EQ(selectMf(), 0x9000);
  ASSERT_EQ(h.Send(FromHex("00 A4 00 00 02 60 81")).sw, 0x9000);
  EXPECT_EQ(h.Send(create).sw, 0x6A89) << "file exists";
  Answer fci = h.Send(FromHex("00 A4 00 00 02 01 23"));
  ASSERT_EQ(fci.sw, 0x9000);
  ASSERT_GE(fci.data.size(), 9u);
  EXPECT_EQ(fci.data[7] << 8 | fci.data[8], 0x044C);
  EXPECT_EQ(h.Send(FromHex("00 D6 00 00 03 01 02 03")).sw, 0x9000);
  EXPECT_EQ(h.Send(FromHex("00 B0 00 00 03")).data, FromHex("01 02 03"));
  EXPECT_EQ(h.Send(FromHex("90 E0 01 00 0A 01 01 24 00 00 11 11 11 11 FF")).sw, 0x6A80) << "size 0";
  EXPECT_EQ(h.Send(FromHex("90 E0 01 00 0A 02 01 24 00 10 11 11 11 11 FF")).sw, 0x6A80);

  // A private file needs the PIN to be read in the next session.
  h.card.Reset();
  ASSERT_EQ(selectMf(), 0x9000);
  ASSERT_EQ(h.Send(FromHex("00 A4 00 00 02 60 81")).sw, 0x9000);
  ASSERT_EQ(h.Send(FromHex("00 A4 00 00 02 01 23")).sw, 0x9000);
  EXPECT_EQ(h.Send(FromHex("00 B0 00 00 03")).sw, 0x6982);
}

TEST_P(KeyContract, EnvelopesCarryLongCommands) {
  Host h(P());
  h.Login();
  // A 300-byte block through 90 58 goes as envelopes of 250 and 57 bytes;
  // the card takes it whole (and rejects it at 90 5A, not at loading).
  EXPECT_EQ(h.Command({0x90, 0x58, 0x00, 0x00}, Bytes(300, 0x11)).sw, 0x9000);
  const KeySpec& key = P().keys.front();
  EXPECT_EQ(h.Send({0x90, 0x5A, 0x80, key.reference, static_cast<std::uint8_t>(key.modulus.size())}).sw,
            0x6700);
}

INSTANTIATE_TEST_SUITE_P(All, KeyContract, ::testing::ValuesIn(test::ProfileNames()),
                         test::TestNameOf);

// A card family 1.0 key of both usages arrives once per usage (P1 40, then
// 80) and ends up as the one key of the card in the signature file.
TEST(HalvoKeySlots, KeyOfBothUsages) {
  Host h(*FindProfile("HALVO1_0"));
  h.Login();
  KeySpec known = p15::LoadKey("user-auth-1024", 0, 0);
  const std::pair<std::uint8_t, const Bytes*> parts[] = {
      {0x02, &known.p},  {0x04, &known.q},  {0x06, &known.qinv},
      {0x08, &known.dp}, {0x0A, &known.dq}, {0x12, &known.publicExponent}, {0x14, &known.modulus}};
  for (std::uint8_t p1 : {0x40, 0x80})
    for (auto [tag, value] : parts) {
      std::uint8_t ins = tag >= 0x12 ? 0x50 : 0x52;
      Bytes d = Cat({tag, static_cast<std::uint8_t>(value->size())}, *value);
      ASSERT_EQ(h.Command({0x90, ins, p1, 0x24}, d).sw, 0x9000);
    }
  Answer s = h.SignPlain(0x24, PadType1(DigestInfo(kMessage), 128));
  ASSERT_EQ(s.sw, 0x9000);
  EXPECT_TRUE(Verifies(known, kMessage, s.data));
  EXPECT_EQ(h.card.FindKey(0x24)->fileId, 0x3F73);
  EXPECT_EQ(h.card.FindKey(0x20), nullptr);
  EXPECT_EQ(h.card.FindKey(0x21), nullptr);
  EXPECT_EQ(h.Send({0x90, 0x54, 0x40, 0x24, 0x00}).sw, 0x6A88) << "decipherment slot empty";
  EXPECT_EQ(h.Send({0x90, 0x54, 0x80, 0x24, 0x00}).sw, 0x9000);
}

TEST(Envelopes, MalformedChains) {
  Host h(*FindProfile(DefaultProfileName()));
  // An extended command longer than announced is refused.
  Bytes ext = Cat(FromHex("90 58 00 00 00 00 04"), Bytes(8, 0x22));
  EXPECT_EQ(h.Send(Cat({0x90, 0xC2, 0x00, 0x00, static_cast<std::uint8_t>(ext.size())}, ext)).sw,
            0x6700);
  // A chain does not run an envelope inside itself.
  Bytes nested = FromHex("90 C2 00 00 02 AA BB");
  EXPECT_EQ(h.Send(Cat({0x90, 0xC2, 0x00, 0x00, static_cast<std::uint8_t>(nested.size())}, nested)).sw,
            0x6985);
  // A half-sent chain waits with 9000 and completes with the next piece.
  Bytes full = Cat(FromHex("90 58 00 00 00 00 04"), FromHex("01 02 03 04"));
  EXPECT_EQ(h.Send(Cat({0x90, 0xC2, 0x00, 0x00, 0x05}, Bytes(full.begin(), full.begin() + 5))).sw, 0x9000);
  EXPECT_EQ(h.Send(Cat({0x90, 0xC2, 0x00, 0x00, 0x06}, Bytes(full.begin() + 5, full.end()))).sw, 0x9000);
}

}  // namespace
}  // namespace zorbix::sim
