// The cryptographic calls through the real pcscd on every virtual card, with
// OpenSSL as the judge: signatures of both mechanisms verify with the
// certificate's key, a PKCS#1 v1.5 ciphertext made with it decrypts, key
// pairs made on the card sign for their new public key, random bytes come.
// The card's trace gives what each call costs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "comm/crypto.h"
#include "p11/module.h"
#include "sim/bench.h"
#include "tests/p11/bench_fixture.h"
#include "tests/support/openssl_cli.h"
#include "tests/support/temp_dir.h"

namespace {

using zorbix::p11::to_string;
using zorbix::sim::Card;
using zorbix::testing::OpensslCli;
using Bytes = std::vector<std::uint8_t>;

CK_MECHANISM kRsaPkcs{CKM_RSA_PKCS, nullptr, 0};
CK_MECHANISM kSha1RsaPkcs{CKM_SHA1_RSA_PKCS, nullptr, 0};
CK_MECHANISM kKeyPairGen{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};

Bytes Ascii(const std::string& s) { return Bytes(s.begin(), s.end()); }

// The DigestInfo of SHA-256, as applications sign with CKM_RSA_PKCS.
Bytes Sha256DigestInfo(const Bytes& message, OpensslCli& openssl) {
  openssl.Write("message", message);
  OpensslCli::Run("openssl dgst -sha256 -binary -out " + openssl.File("digest") + " " + openssl.File("message"));
  Bytes info = {0x30, 0x31, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
  const Bytes digest = openssl.Read("digest");
  info.insert(info.end(), digest.begin(), digest.end());
  return info;
}

class CryptoOnBench : public zorbix::p11test::OnBench {
 protected:
  void TearDown() override {
    if (slot_) C_CloseAllSessions(slot_);
    OnBench::TearDown();
  }

  Bytes Attribute(CK_OBJECT_HANDLE o, CK_ATTRIBUTE_TYPE type) {
    CK_ATTRIBUTE a{type, nullptr, 0};
    if (C_GetAttributeValue(h_, o, &a, 1) != CKR_OK) return {};
    Bytes value(a.ulValueLen);
    a.pValue = value.data();
    EXPECT_EQ(C_GetAttributeValue(h_, o, &a, 1), CKR_OK);
    return value;
  }
  bool IsTrue(CK_OBJECT_HANDLE o, CK_ATTRIBUTE_TYPE type) {
    const Bytes b = Attribute(o, type);
    return b.size() == 1 && b[0] != 0;
  }
  std::vector<CK_OBJECT_HANDLE> Find(CK_OBJECT_CLASS c, const Bytes& id = {}) {
    Bytes idCopy = id;
    std::vector<CK_ATTRIBUTE> tmpl = {{CKA_CLASS, &c, sizeof c}};
    if (!id.empty()) tmpl.push_back({CKA_ID, idCopy.data(), idCopy.size()});
    EXPECT_EQ(C_FindObjectsInit(h_, tmpl.data(), tmpl.size()), CKR_OK);
    std::vector<CK_OBJECT_HANDLE> out(32);
    CK_ULONG n = 0;
    EXPECT_EQ(C_FindObjects(h_, out.data(), out.size(), &n), CKR_OK);
    EXPECT_EQ(C_FindObjectsFinal(h_), CKR_OK);
    out.resize(n);
    return out;
  }

  // The APDUs a call cost, from the card's trace.
  template <typename F>
  std::size_t Apdus(Card& card, F&& call) {
    card.ClearTrace();
    call();
    return card.Trace().size();
  }

  Bytes SignWith(CK_OBJECT_HANDLE key, CK_MECHANISM* mechanism, const Bytes& data, Card& card, std::size_t* apdus) {
    EXPECT_EQ(to_string(C_SignInit(h_, mechanism, key)), "CKR_OK");
    Bytes signature(512), copy = data;
    CK_ULONG length = signature.size();
    *apdus = Apdus(card, [&] {
      EXPECT_EQ(to_string(C_Sign(h_, copy.data(), copy.size(), signature.data(), &length)), "CKR_OK");
    });
    signature.resize(length);
    return signature;
  }

  CK_RV VerifyOnCard(CK_OBJECT_HANDLE pub, const Bytes& data, const Bytes& signature) {
    EXPECT_EQ(to_string(C_VerifyInit(h_, &kSha1RsaPkcs, pub)), "CKR_OK");
    Bytes d = data, s = signature;
    return C_Verify(h_, d.data(), d.size(), s.data(), s.size());
  }

  CK_SLOT_ID slot_ = 0;
  CK_SESSION_HANDLE h_ = 0;
};

struct Figures {
  std::string profile;
  std::map<std::string, std::set<std::size_t>> apdus;  // call -> counts seen
};

std::string Join(const std::set<std::size_t>& counts) {
  std::string s;
  for (std::size_t n : counts) s += (s.empty() ? "" : "/") + std::to_string(n);
  return s.empty() ? "-" : s;
}

TEST_F(CryptoOnBench, EveryProfileSignsDecryptsGeneratesAndGivesRandomBytes) {
  std::vector<Figures> figures;
  for (const auto& profile : zorbix::sim::AllProfiles()) {
    SCOPED_TRACE(profile.name);
    zorbix::testing::TempDir dir;
    OpensslCli openssl(dir.path());
    Card& card = bench_->Insert(0, profile.name);
    slot_ = ReaderSlot();
    ASSERT_EQ(C_OpenSession(slot_, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h_), CKR_OK);
    std::string pin = profile.pin;
    ASSERT_EQ(to_string(C_Login(h_, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(pin.data()), pin.size())),
              "CKR_OK");
    Figures f{profile.name, {}};
    // The card-family 1.0 cards make 1024-bit keys only.
    const bool family10 = profile.name == "HALVO1_0" || profile.name == "ORVA-ZEL_01" ||
                          profile.name == "ORVA-ZEL_02";

    std::size_t signers = 0, decrypters = 0;
    for (CK_OBJECT_HANDLE priv : Find(CKO_PRIVATE_KEY)) {
      const Bytes id = Attribute(priv, CKA_ID);
      const auto certificates = Find(CKO_CERTIFICATE, id);
      const auto publics = Find(CKO_PUBLIC_KEY, id);
      ASSERT_EQ(certificates.size(), 1u);
      ASSERT_EQ(publics.size(), 1u);
      const std::string pem = openssl.KeyOfCertificate(Attribute(certificates[0], CKA_VALUE), "cert");
      ASSERT_FALSE(pem.empty());
      const std::string bits = std::to_string(Attribute(publics[0], CKA_MODULUS).size() * 8);

      if (IsTrue(priv, CKA_SIGN)) {
        ++signers;
        const Bytes message = Ascii("signed by " + profile.name + " with " + bits + " bits");
        std::size_t apdus = 0;
        const Bytes sha1 = SignWith(priv, &kSha1RsaPkcs, message, card, &apdus);
        f.apdus["C_Sign " + bits].insert(apdus);
        EXPECT_TRUE(openssl.Verifies(pem, "sha1", message, sha1)) << bits;
        const Bytes raw = SignWith(priv, &kRsaPkcs, Sha256DigestInfo(message, openssl), card, &apdus);
        f.apdus["C_Sign " + bits].insert(apdus);
        EXPECT_TRUE(openssl.Verifies(pem, "sha256", message, raw)) << bits;
        // And on the card, with the public key object.
        EXPECT_EQ(to_string(VerifyOnCard(publics[0], message, sha1)), "CKR_OK");
      }
      if (IsTrue(priv, CKA_DECRYPT)) {
        ++decrypters;
        const Bytes secret = Ascii("a session key of " + profile.name);
        const Bytes ciphertext = openssl.Encrypted(pem, secret);
        ASSERT_FALSE(ciphertext.empty());
        ASSERT_EQ(to_string(C_DecryptInit(h_, &kRsaPkcs, priv)), "CKR_OK");
        Bytes plain(512), copy = ciphertext;
        CK_ULONG length = plain.size();
        f.apdus["C_Decrypt " + bits].insert(Apdus(card, [&] {
          EXPECT_EQ(to_string(C_Decrypt(h_, copy.data(), copy.size(), plain.data(), &length)), "CKR_OK");
        }));
        plain.resize(length);
        EXPECT_EQ(plain, secret) << bits;
      }
    }
    EXPECT_GT(signers, 0u);
    EXPECT_GT(decrypters, 0u);

    // Key pairs made on the card sign for their new public key.
    for (CK_ULONG bits : {1024ul, 2048ul}) {
      SCOPED_TRACE(bits);
      CK_BBOOL yes = CK_TRUE;
      CK_BYTE exponent[] = {0x01, 0x00, 0x01};
      Bytes id = Ascii("generated " + std::to_string(bits));
      Bytes label = Ascii("Generated " + std::to_string(bits));
      CK_ATTRIBUTE pubTemplate[] = {{CKA_TOKEN, &yes, 1},
                                    {CKA_VERIFY, &yes, 1},
                                    {CKA_MODULUS_BITS, &bits, sizeof bits},
                                    {CKA_PUBLIC_EXPONENT, exponent, sizeof exponent},
                                    {CKA_ID, id.data(), id.size()},
                                    {CKA_LABEL, label.data(), label.size()}};
      CK_ATTRIBUTE privTemplate[] = {{CKA_TOKEN, &yes, 1},
                                     {CKA_PRIVATE, &yes, 1},
                                     {CKA_SIGN, &yes, 1},
                                     {CKA_ID, id.data(), id.size()},
                                     {CKA_LABEL, label.data(), label.size()}};
      CK_OBJECT_HANDLE pub = 0, priv = 0;
      CK_RV rv = CKR_OK;
      const std::size_t apdus = Apdus(card, [&] {
        rv = C_GenerateKeyPair(h_, &kKeyPairGen, pubTemplate, std::size(pubTemplate), privTemplate,
                               std::size(privTemplate), &pub, &priv);
      });
      if (family10 && bits == 2048) {
        EXPECT_EQ(to_string(rv), "CKR_ATTRIBUTE_VALUE_INVALID");
        continue;
      }
      ASSERT_EQ(to_string(rv), "CKR_OK");
      f.apdus["C_GenerateKeyPair " + std::to_string(bits)].insert(apdus);
      const Bytes message = Ascii("signed with a new key");
      std::size_t signApdus = 0;
      const Bytes signature = SignWith(priv, &kSha1RsaPkcs, message, card, &signApdus);
      EXPECT_EQ(signature.size(), bits / 8);
      EXPECT_EQ(to_string(VerifyOnCard(pub, message, signature)), "CKR_OK");
      const std::string pem = openssl.KeyOfParts(Attribute(pub, CKA_MODULUS), Attribute(pub, CKA_PUBLIC_EXPONENT),
                                                 "new" + std::to_string(bits));
      ASSERT_FALSE(pem.empty());
      EXPECT_TRUE(openssl.Verifies(pem, "sha1", message, signature));
    }

    Bytes random(46, 0), again(45, 0);
    f.apdus["C_GenerateRandom 45"].insert(
        Apdus(card, [&] { EXPECT_EQ(to_string(C_GenerateRandom(h_, random.data(), 45)), "CKR_OK"); }));
    ASSERT_EQ(C_GenerateRandom(h_, again.data(), again.size()), CKR_OK);
    EXPECT_EQ(random[45], 0);
    random.resize(45);
    EXPECT_NE(random, again);
    EXPECT_NE(random, Bytes(45, 0));

    // The new keys are on the card's directories: a session on a context
    // made anew reads them back.
    ASSERT_EQ(C_CloseAllSessions(slot_), CKR_OK);
    ASSERT_EQ(C_OpenSession(slot_, CKF_SERIAL_SESSION, nullptr, nullptr, &h_), CKR_OK);
    ASSERT_EQ(C_Login(h_, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(pin.data()), pin.size()), CKR_OK);
    for (CK_ULONG bits : {1024ul, 2048ul}) {
      const Bytes id = Ascii("generated " + std::to_string(bits));
      const std::size_t expected = family10 && bits == 2048 ? 0u : 1u;
      EXPECT_EQ(Find(CKO_PRIVATE_KEY, id).size(), expected) << bits;
      EXPECT_EQ(Find(CKO_PUBLIC_KEY, id).size(), expected) << bits;
    }

    figures.push_back(f);
    ASSERT_EQ(C_CloseAllSessions(slot_), CKR_OK);
    bench_->Remove(0);
  }

  std::set<std::string> calls;
  for (const auto& f : figures)
    for (const auto& [call, counts] : f.apdus) calls.insert(call);
  std::cout << "[ figures  ] APDUs per call (the card's trace, GET RESPONSE and envelopes included)\n";
  std::cout << "[ figures  ] | profile |";
  for (const auto& c : calls) std::cout << " " << c << " |";
  std::cout << "\n";
  for (const auto& f : figures) {
    std::cout << "[ figures  ] | " << f.profile << " |";
    for (const auto& c : calls) {
      auto it = f.apdus.find(c);
      std::cout << " " << (it == f.apdus.end() ? "-" : Join(it->second)) << " |";
    }
    std::cout << "\n";
  }
}

}  // namespace
