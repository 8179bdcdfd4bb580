// The embedded test PKI: every certificate verifies under its issuer, keys
// match their certificates, and the card-verifiable certificates recover
// under their signers' keys.
#include <gtest/gtest.h>

#include <cryptopp/integer.h>
#include <cryptopp/pssr.h>
#include <cryptopp/rsa.h>
#include <cryptopp/sha.h>

#include "sim/card.h"
#include "sim/content_der.h"
#include "sim/content_pki.h"
#include "sim/content_pkcs15.h"
#include "tests/simcontent/content_fixture.h"

namespace zorbix::sim {
namespace {

using CryptoPP::Integer;

using test::ToInt;

CryptoPP::RSA::PublicKey PublicOf(const std::string& certName) {
  auto parts = p15::ParseCertificate(PkiFile(certName + ".crt.der"));
  if (!parts) throw std::runtime_error("unparsable " + certName);
  CryptoPP::RSA::PublicKey key;
  key.Initialize(ToInt(parts->modulus), ToInt(parts->exponent));
  return key;
}

struct Issued {
  const char* subject;
  const char* issuer;
  std::size_t bits;
};

const Issued kCertificates[] = {
    {"root-ca", "root-ca", 1024},          {"card-ca", "root-ca", 1024},
    {"icc-aut", "card-ca", 1024},          {"user-auth-1024", "card-ca", 1024},
    {"user-sign-2048", "card-ca", 2048},   {"user-cipher-2048", "card-ca", 2048},
    {"user-sign-1024", "card-ca", 1024},
};

// The common name from the fifth relative name, as the module's label rule
// takes it: Name { 4 × RDN, SET { SEQUENCE { OID 2.5.4.3, PrintableString } } }.
std::string FifthCommonName(const Bytes& name) {
  auto outer = der::Read(name, 0);
  if (!outer || outer->total() != name.size()) return {};
  std::size_t p = outer->headerLength;
  for (int i = 0; i < 4; ++i) {
    auto e = der::Read(name, p);
    if (!e || (name[p] != 0x30 && name[p] != 0x31)) return {};
    p += e->total();
  }
  auto set = der::Read(name, p);
  if (!set || name[p] != 0x31) return {};
  std::size_t q = p + set->headerLength;
  auto seq = der::Read(name, q);
  if (!seq || name[q] != 0x30) return {};
  std::size_t o = q + seq->headerLength;
  if (der::Contents(name, o) != FromHex("55 04 03")) return {};
  std::size_t s = o + der::Read(name, o)->total();
  if (name[s] != 0x13) return {};
  Bytes cn = der::Contents(name, s);
  return std::string(cn.begin(), cn.end());
}

TEST(TestPki, CertificatesVerifyUnderTheirIssuers) {
  for (const Issued& c : kCertificates) {
    SCOPED_TRACE(c.subject);
    auto parts = p15::ParseCertificate(PkiFile(std::string(c.subject) + ".crt.der"));
    ASSERT_TRUE(parts);
    EXPECT_EQ(parts->signatureOid, FromHex("2A 86 48 86 F7 0D 01 01 05")) << "sha1WithRSAEncryption";
    EXPECT_EQ(parts->modulus.size() * 8, c.bits);
    CryptoPP::RSASS<CryptoPP::PKCS1v15, CryptoPP::SHA1>::Verifier verifier(PublicOf(c.issuer));
    EXPECT_TRUE(verifier.VerifyMessage(parts->tbs.data(), parts->tbs.size(),
                                       parts->signature.data(), parts->signature.size()));
    // A flipped bit of the signed part breaks it.
    Bytes tbs = parts->tbs;
    tbs[tbs.size() / 2] ^= 0x01;
    EXPECT_FALSE(verifier.VerifyMessage(tbs.data(), tbs.size(), parts->signature.data(),
                                        parts->signature.size()));
    EXPECT_FALSE(FifthCommonName(parts->subject).empty()) << "fifth RDN is not a CN";
    // The card's key files hold the matching private keys.
    KeySpec key = p15::LoadKey(c.subject, 1, 0x0101);
    EXPECT_EQ(key.modulus, parts->modulus);
    Integer n = ToInt(key.modulus), d = ToInt(key.privateExponent), e = ToInt(key.publicExponent);
    EXPECT_EQ(a_exp_b_mod_c(a_exp_b_mod_c(Integer(12345), e, n), d, n), Integer(12345));
  }
  EXPECT_EQ(FifthCommonName(p15::ParseCertificate(PkiFile("user-sign-2048.crt.der"))->subject),
            "ZORBIX PRUEBA (FIRMA)");
}

struct CvLayout {
  const char* file;
  const char* signer;   // key of the issuing authority
  const char* holder;   // key the certificate carries
};

// 7F21 { 5F37 signature, 5F38 remainder, 42 CAR }; the signature recovers to
// 6A || first part || SHA-1(content) || BC, the key's modulus inside.
TEST(TestPki, CardVerifiableCertificatesRecover) {
  const CvLayout kCv[] = {{"c-cv-ca-cs-aut.cvc", "cv-rca", "cv-ca-cs"},
                          {"c-cv-ifd-aut.cvc", "cv-ca-cs", "ifd-aut"}};
  for (const CvLayout& c : kCv) {
    SCOPED_TRACE(c.file);
    Bytes cert = PkiFile(c.file);
    auto outer = der::Read(cert, 0);
    ASSERT_TRUE(outer);
    EXPECT_EQ(outer->tag, 0x7F21);
    EXPECT_EQ(outer->total(), cert.size());
    std::size_t p = outer->headerLength;
    auto sig = der::Read(cert, p);
    ASSERT_TRUE(sig && sig->tag == 0x5F37);
    Bytes s = der::Contents(cert, p);
    p += sig->total();
    auto rest = der::Read(cert, p);
    ASSERT_TRUE(rest && rest->tag == 0x5F38);
    Bytes remainder = der::Contents(cert, p);
    p += rest->total();
    auto car = der::Read(cert, p);
    ASSERT_TRUE(car && car->tag == 0x42);
    EXPECT_EQ(car->length, 8u);
    EXPECT_EQ(cert.size(), std::string(c.file) == "c-cv-ca-cs-aut.cvc" ? 210u : 209u);
    EXPECT_EQ(p + car->total(), cert.size());

    KeySpec signer = p15::LoadKey(c.signer, 0, 0);
    Integer n = ToInt(signer.modulus);
    Integer x = a_exp_b_mod_c(ToInt(s), ToInt(signer.publicExponent), n);
    Bytes m(signer.modulus.size());
    x.Encode(m.data(), m.size());
    if (m.back() != 0xBC) (n - x).Encode(m.data(), m.size());
    ASSERT_EQ(m.front(), 0x6A);
    ASSERT_EQ(m.back(), 0xBC);
    Bytes content(m.begin() + 1, m.end() - 21);
    content.insert(content.end(), remainder.begin(), remainder.end());
    Bytes hash(20);
    CryptoPP::SHA1().CalculateDigest(hash.data(), content.data(), content.size());
    EXPECT_EQ(Bytes(m.end() - 21, m.end() - 1), hash);
    // CPI 41, CAR (as in tag 42), CHR (12), CHA (5), OID (9), n (128), e.
    ASSERT_GT(content.size(), 35u + 128u);
    EXPECT_EQ(content[0], 0x41);
    EXPECT_EQ(Bytes(content.begin() + 1, content.begin() + 9), der::Contents(cert, p));
    EXPECT_EQ(Bytes(content.begin() + 26, content.begin() + 35), FromHex("2A 86 48 86 F7 0D 01 01 01"));
    KeySpec holder = p15::LoadKey(c.holder, 0, 0);
    ASSERT_EQ(holder.modulus.size(), 128u);
    EXPECT_EQ(Bytes(content.begin() + 35, content.begin() + 163), holder.modulus);
    EXPECT_EQ(Bytes(content.begin() + 163, content.end()), holder.publicExponent);
  }
}

// The channel parameters: eleven members in order (ten for the national ID
// card, which omits the MAC length), made of the PKI's own keys and
// certificates.
TEST(TestPki, ChannelParametersHoldThePki) {
  const std::pair<const char*, int> kParams[] = {{"vexa-channel-params.der", -1},
                                                 {"tc-orva4-channel-params.der", 8}};
  for (auto [file, macLen] : kParams) {
    SCOPED_TRACE(file);
    Bytes der = PkiFile(file);
    auto outer = der::Read(der, 0);
    ASSERT_TRUE(outer && outer->tag == 0x30 && outer->total() == der.size());
    std::vector<Bytes> members;
    std::vector<std::uint16_t> tags;
    for (std::size_t p = outer->headerLength; p < der.size();) {
      auto e = der::Read(der, p);
      ASSERT_TRUE(e);
      members.push_back(Bytes(der.begin() + static_cast<std::ptrdiff_t>(p),
                              der.begin() + static_cast<std::ptrdiff_t>(p + e->total())));
      tags.push_back(e->tag);
      p += e->total();
    }
    std::vector<std::uint16_t> expected = {0x30, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04, 0x30};
    if (macLen > 0) expected.push_back(0x02);
    ASSERT_EQ(tags, expected);
    // With these sizes the module's built-in card-type table is 2198 bytes.
    EXPECT_EQ(der.size(), macLen > 0 ? 904u : 901u);

    auto root = p15::ParseCertificate(PkiFile("root-ca.crt.der"));
    Bytes n = der::Contents(members[0], 2 + (members[0][1] & 0x80 ? members[0][1] & 0x7F : 0));
    while (!n.empty() && n[0] == 0) n.erase(n.begin());
    EXPECT_EQ(n, root->modulus) << "pk-RCAicc is the root CA's key";
    EXPECT_EQ(der::Contents(members[2], 0), PkiFile("c-cv-ca-cs-aut.cvc"));
    EXPECT_EQ(der::Contents(members[4], 0), PkiFile("c-cv-ifd-aut.cvc"));
    EXPECT_EQ(der::Contents(members[6], 0).size(), 8u) << "sn-IFD";
    KeySpec ifd = p15::LoadKey("ifd-aut", 0, 0);
    Bytes sk = members[9];
    std::size_t q = der::Read(sk, 0)->headerLength;
    Bytes skn = der::Contents(sk, q);
    while (!skn.empty() && skn[0] == 0) skn.erase(skn.begin());
    EXPECT_EQ(skn, ifd.modulus) << "sk-IFD-AUT is the terminal key";
    if (macLen > 0) {
      EXPECT_EQ(der::Contents(members[10], 0), Bytes{static_cast<std::uint8_t>(macLen)});
    }
  }
}

}  // namespace
}  // namespace zorbix::sim
