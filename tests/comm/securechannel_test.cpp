// Opening the secure channel against a virtual card behind the fake PC/SC:
// the exchanges as a trace, the counter example, both answer forms of
// internal authentication, the failure table, the channel parameters, and
// the card certificate check on its own.
#include <gtest/gtest.h>

#include <cryptopp/osrng.h>
#include <cryptopp/pssr.h>
#include <cryptopp/queue.h>
#include <cryptopp/rsa.h>
#include <cryptopp/sha.h>

#include "sim/content_der.h"
#include "tests/comm/channel_fixture.h"

namespace zorbix::commtest {
namespace {

using comm::ByteView;

const Bytes kRndIfd = H("11 12 13 14 15 16 17 18");
const Bytes kRndIcc = H("01 02 03 04 05 06 07 08");

Bytes Ascii(const std::string& s) { return Bytes(s.begin(), s.end()); }

// The elements inside the constructed element at pos.
std::vector<Bytes> Children(const Bytes& der, std::size_t pos = 0) {
  const auto outer = sim::der::Read(der, pos);
  if (!outer) throw std::runtime_error("not DER");
  std::vector<Bytes> out;
  for (std::size_t at = pos + outer->headerLength; at < pos + outer->total();) {
    const auto e = sim::der::Read(der, at);
    if (!e) throw std::runtime_error("not DER");
    out.emplace_back(der.begin() + static_cast<std::ptrdiff_t>(at),
                     der.begin() + static_cast<std::ptrdiff_t>(at + e->total()));
    at += e->total();
  }
  return out;
}

Bytes Sequence(const std::vector<Bytes>& members) {
  Bytes contents;
  for (const Bytes& m : members) contents.insert(contents.end(), m.begin(), m.end());
  return sim::der::Tlv(0x30, contents);
}

// PKCS#1 key file of the test PKI as Crypto++ sees it.
CryptoPP::RSA::PrivateKey PrivateKey(const std::string& file) {
  const Bytes der = sim::PkiFile(file);
  CryptoPP::ByteQueue q;
  q.Put(der.data(), der.size());
  CryptoPP::RSA::PrivateKey key;
  key.BERDecodePrivateKey(q, false, q.MaxRetrievable());
  return key;
}

crypto::RsaPublicKey PublicOf(const CryptoPP::RSA::PrivateKey& key) {
  crypto::RsaPublicKey pub;
  pub.modulus.resize(key.GetModulus().MinEncodedSize());
  key.GetModulus().Encode(pub.modulus.data(), pub.modulus.size());
  pub.exponent.resize(key.GetPublicExponent().MinEncodedSize());
  key.GetPublicExponent().Encode(pub.exponent.data(), pub.exponent.size());
  return pub;
}

const Bytes kSha1WithRsa = H("06 09 2A 86 48 86 F7 0D 01 01 05");
const Bytes kSha256WithRsa = H("06 09 2A 86 48 86 F7 0D 01 01 0B");

// A certificate of these tbs members (tbs[signatureField] names the
// algorithm), signed by the key in `issuerKeyFile` with PKCS#1 v1.5 and SHA-1
// or SHA-256.
Bytes Certificate(std::vector<Bytes> tbs, std::size_t signatureField,
                  const std::string& issuerKeyFile, bool sha256 = false) {
  const Bytes algorithm = Sequence({sha256 ? kSha256WithRsa : kSha1WithRsa, H("05 00")});
  tbs.at(signatureField) = algorithm;
  const Bytes tbsDer = Sequence(tbs);
  CryptoPP::AutoSeededRandomPool rng;
  const CryptoPP::RSA::PrivateKey key = PrivateKey(issuerKeyFile);
  std::string signature;
  if (sha256) {
    CryptoPP::RSASS<CryptoPP::PKCS1v15, CryptoPP::SHA256>::Signer signer(key);
    CryptoPP::StringSource(tbsDer.data(), tbsDer.size(), true,
                           new CryptoPP::SignerFilter(rng, signer, new CryptoPP::StringSink(signature)));
  } else {
    CryptoPP::RSASS<CryptoPP::PKCS1v15, CryptoPP::SHA1>::Signer signer(key);
    CryptoPP::StringSource(tbsDer.data(), tbsDer.size(), true,
                           new CryptoPP::SignerFilter(rng, signer, new CryptoPP::StringSink(signature)));
  }
  return Sequence({tbsDer, algorithm, sim::der::BitString(Ascii(signature), 0)});
}

// The card's own certificate, re-signed by the card CA: as it stands, as
// version 1 (no version field, no extensions), or with SHA-256.
Bytes IccCertificate(bool version1 = false, bool sha256 = false) {
  std::vector<Bytes> tbs = Children(Children(sim::PkiFile("icc-aut.crt.der"))[0]);
  if (version1) {
    EXPECT_EQ(tbs.front()[0], 0xA0);
    EXPECT_EQ(tbs.back()[0], 0xA3);
    tbs.erase(tbs.begin());
    tbs.pop_back();
  }
  return Certificate(tbs, version1 ? 1 : 2, "card-ca.key.der", sha256);
}

// ---------------------------------------------------------------- certificates

TEST(CheckCardCertificate, ChecksSignatureAlgorithmAndVersion) {
  const crypto::RsaPublicKey root = PublicOf(PrivateKey("root-ca.key.der"));
  const crypto::RsaPublicKey cardCa = PublicOf(PrivateKey("card-ca.key.der"));
  const crypto::RsaPublicKey icc = PublicOf(PrivateKey("icc-aut.key.der"));
  const Bytes caCert = sim::PkiFile("card-ca.crt.der");
  Bytes badSignature = IccCertificate();
  badSignature[badSignature.size() - 5] ^= 0x01;

  const crypto::RsaPublicKey fromCa = comm::CComm_Vexa::CheckCardCertificate(root, caCert);
  EXPECT_EQ(fromCa.modulus, cardCa.modulus);
  EXPECT_EQ(fromCa.exponent, cardCa.exponent);
  const crypto::RsaPublicKey fromIcc =
      comm::CComm_Vexa::CheckCardCertificate(cardCa, IccCertificate());
  EXPECT_EQ(fromIcc.modulus, icc.modulus);
  EXPECT_EQ(fromIcc.exponent, icc.exponent);

  struct Case {
    const char* what;
    crypto::RsaPublicKey issuer;
    Bytes certificate;
  } const refused[] = {
      {"version 1", cardCa, IccCertificate(true)},
      {"sha256WithRSAEncryption", cardCa, IccCertificate(false, true)},
      {"signature altered", cardCa, badSignature},
      {"another issuer", root, sim::PkiFile("icc-aut.crt.der")},
      {"a byte after it", cardCa, Cat({IccCertificate(), H("00")})},
      {"no certificate", cardCa, H("30 00")},
  };
  for (const Case& k : refused)
    EXPECT_EQ(RaisedBy([&] { comm::CComm_Vexa::CheckCardCertificate(k.issuer, k.certificate); }),
              CKR_DATA_INVALID)
        << k.what;
  // Every cut of a good certificate is refused the same way.
  for (std::size_t n = 0; n < caCert.size(); ++n)
    ASSERT_EQ(RaisedBy([&] {
                comm::CComm_Vexa::CheckCardCertificate(root, ByteView(caCert).first(n));
              }),
              CKR_DATA_INVALID)
        << n;
}

// ---------------------------------------------------------------- establishment

class ChannelTest : public VirtualCardTest, public ::testing::WithParamInterface<const char*> {
 protected:
  void SetUp() override {
    VirtualCardTest::SetUp();
    UseCard(GetParam());
  }
  Bytes Pin() const { return Ascii(card->profile().pin); }
};

// Command headers of an opening, in order; "*" marks the READ BINARY pieces
// of a certificate (4 bytes, then 250-byte pieces from offset 4).
std::vector<Bytes> OpeningCommands() {
  std::vector<Bytes> out = {
      H("00 A4 04 00 0B"), H("00 C0 00 00"), H("90 B8 00 00 07"), H("00 22 81 B6 04"),
      H("00 2A 00 AE D2"), H("00 22 81 B6 0A"), H("00 2A 00 AE D1")};
  for (const auto& [sfi, file] : {std::pair<std::uint8_t, const char*>{0x80, "card-ca.crt.der"},
                                  {0x9F, "icc-aut.crt.der"}}) {
    const std::size_t size = sim::PkiFile(file).size();
    out.push_back({0x00, 0xB0, sfi, 0x00, 0x04});
    for (std::size_t at = 4; at < size; at += 250) {
      const std::size_t n = std::min<std::size_t>(250, size - at);
      out.push_back({0x00, 0xB0, static_cast<std::uint8_t>(at >> 8), static_cast<std::uint8_t>(at),
                     static_cast<std::uint8_t>(n)});
    }
  }
  for (const char* h : {"00 22 C1 A4 12", "00 88 00 00 10", "00 C0 00 00 80", "00 84 00 00 08",
                        "00 82 00 00 80"})
    out.push_back(H(h));
  return out;
}

TEST_P(ChannelTest, OpeningIsTheDocumentedExchangesAndGivesTheCountersOfTheChallenges) {
  // RND.IFD 11..18 from the host, RND.ICC 01..08 from the card.
  card_ = [this](const Bytes& c) {
    if (c == H("00 84 00 00 08")) {
      card->scratch()["challenge"] = kRndIcc;
      return Cat({kRndIcc, Sw(0x9000)});
    }
    return card->Process(c);
  };
  auto c = Vexa();
  c->chosenRandom = {kRndIfd};
  c->OpenChannel();
  EXPECT_TRUE(c->ChannelOpen());
  EXPECT_EQ(c->SscBytes(), H("05 06 07 08 15 16 17 18"));
  EXPECT_EQ(c->MacLength(), card->profile().name == "Vexa" ? 4u : 8u);

  const std::vector<Bytes> expected = OpeningCommands();
  const std::vector<Bytes> sent = Sent();
  ASSERT_EQ(sent.size(), expected.size());
  for (std::size_t i = 0; i < sent.size(); ++i)
    EXPECT_EQ(Bytes(sent[i].begin(), sent[i].begin() + static_cast<std::ptrdiff_t>(expected[i].size())),
              expected[i])
        << "command " << i;
  // INTERNAL AUTHENTICATE carries RND.IFD and sn-IFD; EXTERNAL AUTHENTICATE
  // 128 bytes for 1024-bit keys.
  const auto& internal = sent[sent.size() - 4];
  EXPECT_EQ(Bytes(internal.begin() + 5, internal.begin() + 13), kRndIfd);
  EXPECT_EQ(sent.back().size(), 5u + 128u);

  // The card agrees: the same counter, and a protected VERIFY succeeds.
  const auto keys = sim::OpenChannelKeys(*card);
  ASSERT_TRUE(keys);
  EXPECT_EQ(keys->ssc, c->SscBytes());
  c->VerifyPin(Pin());
  EXPECT_TRUE(card->PinVerified());
}

TEST_P(ChannelTest, PinOperationsOpenTheChannelOnceAndTravelProtected) {
  auto c = Vexa();
  EXPECT_EQ(c->GetPinTries(), 3u);
  EXPECT_TRUE(c->ChannelOpen());
  const std::size_t opening = Sent().size();
  EXPECT_EQ(opening, OpeningCommands().size() + 2) << "the query and its GET RESPONSE";

  // A wrong PIN costs a try and keeps the channel; the right one verifies.
  fake_.ClearApdus();
  EXPECT_EQ(RaisedBy([&] { c->VerifyPin(Ascii("00000000")); }), CKR_PIN_INCORRECT);
  EXPECT_TRUE(c->ChannelOpen());
  EXPECT_EQ(card->PinTriesLeft(), 2);
  c->VerifyPin(Pin());
  EXPECT_TRUE(card->PinVerified());
  // Verified, the card answers the query without a count: not a low one.
  EXPECT_GT(c->GetPinTries(), 2u);
  // No authentication command after the first opening: two exchanges each.
  const std::vector<Bytes> sent = Sent();
  EXPECT_EQ(sent.size(), 6u);
  for (std::size_t i = 0; i < sent.size(); i += 2) {
    EXPECT_EQ(sent[i][0], 0x0C) << "protected";
    EXPECT_EQ(sent[i + 1][1], 0xC0) << "GET RESPONSE";
  }
  // A PIN of 3 bytes is refused here, without a command.
  fake_.ClearApdus();
  EXPECT_EQ(RaisedBy([&] { c->VerifyPin(Ascii("123")); }), CKR_PIN_LEN_RANGE);
  EXPECT_TRUE(Sent().empty());
  EXPECT_EQ(RaisedBy([&] { c->OpenChannel(); }), CKR_GENERAL_ERROR) << "already open";
}

TEST_P(ChannelTest, AClosedChannelIsOpenedEvenForAPinOfTheWrongLength) {
  auto c = Vexa();
  EXPECT_EQ(RaisedBy([&] { c->VerifyPin(Ascii("123")); }), CKR_PIN_LEN_RANGE);
  EXPECT_TRUE(c->ChannelOpen());
  EXPECT_EQ(Sent().size(), OpeningCommands().size());
}

TEST_P(ChannelTest, InternalAuthenticationAcceptsBothForms) {
  struct Case {
    sim::InternalAuthForm form;
    CK_RV rv;
  } const cases[] = {
      {sim::InternalAuthForm::Signature, CKR_OK},
      {sim::InternalAuthForm::Complement, CKR_OK},  // N - SIG: the second try
      {sim::InternalAuthForm::Minimal, CKR_OK},
      {sim::InternalAuthForm::Broken, CKR_DATA_INVALID},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(static_cast<int>(k.form));
    card->Reset();
    sim::SetInternalAuthForm(*card, k.form);
    auto c = Vexa();
    EXPECT_EQ(RaisedBy([&] { c->OpenChannel(); }), k.rv);
    EXPECT_EQ(c->ChannelOpen(), k.rv == CKR_OK);
    if (k.rv != CKR_OK) {
      EXPECT_TRUE(c->KeysEmpty());
      EXPECT_EQ(Sent().back(), H("00 C0 00 00 80")) << "nothing after the answer";
    }
  }
}

TEST_P(ChannelTest, FailuresOfTheOpeningAndTheirValues) {
  const Bytes v1 = IccCertificate(true);
  const Bytes sha256 = IccCertificate(false, true);
  struct Case {
    const char* what;
    std::function<void(sim::Card&)> arrange;
    std::function<Bytes(const Bytes&)> answer;  // overrides the card where it gives a value
    CK_RV rv;
    Bytes lastCommand;  // header of the last command sent
  } const cases[] = {
      {"INTERNAL AUTHENTICATE answered 9000", nullptr,
       [](const Bytes& c) { return c[1] == 0x88 ? Sw(0x9000) : Bytes{}; }, CKR_DEVICE_ERROR,
       H("00 88 00 00 10")},
      {"certificate refused by the card", nullptr,
       [](const Bytes& c) { return c[1] == 0x2A ? Sw(0x6300) : Bytes{}; }, CKR_DEVICE_ERROR,
       H("00 2A 00 AE D2")},
      {"card certificate version 1", [&](sim::Card& card) { card.FindFile({0x601F})->data = v1; },
       nullptr, CKR_DATA_INVALID, {}},
      {"card certificate signed with SHA-256",
       [&](sim::Card& card) { card.FindFile({0x601F})->data = sha256; }, nullptr,
       CKR_DATA_INVALID, {}},
      {"no certificate under short identifier 0",
       [](sim::Card& card) { card.FindFile({0x6020})->data.assign(16, 0x00); }, nullptr,
       CKR_DATA_INVALID, H("00 B0 80 00 04")},
      {"EXTERNAL AUTHENTICATE refused", nullptr,
       [](const Bytes& c) { return c[1] == 0x82 ? Sw(0x6300) : Bytes{}; }, CKR_DEVICE_ERROR,
       H("00 82 00 00 80")},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    UseCard(GetParam());
    if (k.arrange) k.arrange(*card);
    if (k.answer)
      card_ = [this, answer = k.answer](const Bytes& c) {
        Bytes a = answer(c);
        return a.empty() ? card->Process(c) : a;
      };
    auto c = Vexa();
    EXPECT_EQ(RaisedBy([&] { c->OpenChannel(); }), k.rv);
    EXPECT_FALSE(c->ChannelOpen());
    EXPECT_TRUE(c->KeysEmpty());
    if (!k.lastCommand.empty()) {
      const Bytes last = Sent().back();
      EXPECT_EQ(Bytes(last.begin(), last.begin() + static_cast<std::ptrdiff_t>(k.lastCommand.size())),
                k.lastCommand);
    }
  }
  // A removed card passes its own value through; the next try starts over.
  UseCard(GetParam());
  auto c = Vexa();
  fake_.FailNext("Transmit", SCARD_W_REMOVED_CARD);
  EXPECT_EQ(RaisedBy([&] { c->OpenChannel(); }), CKR_SESSION_HANDLE_INVALID);
  slot_->Connect();
  fake_.ClearApdus();
  c->OpenChannel();
  EXPECT_EQ(Sent().front(), Cat({H("00 A4 04 00 0B"), Ascii("Master.File")}));
}

TEST_P(ChannelTest, AResetCardLosesTheChannelAndTheNextPinOperationOpensANewOne) {
  auto c = Vexa();
  c->VerifyPin(Pin());
  slot_->Connect();  // another communicator on the slot: a reconnection with reset
  EXPECT_EQ(RaisedBy([&] { c->VerifyPin(Pin()); }), CKR_DEVICE_ERROR);
  EXPECT_FALSE(c->ChannelOpen());
  fake_.ClearApdus();
  c->VerifyPin(Pin());
  EXPECT_TRUE(c->ChannelOpen());
  EXPECT_TRUE(card->PinVerified());
  EXPECT_EQ(Sent().size(), OpeningCommands().size() + 2);
}

TEST_P(ChannelTest, OtherOperationsRunPlainUntilAPinOperationOpensTheChannel) {
  auto c = Vexa();
  Bytes exponent, modulus;
  c->ReadPublicKey(card->profile().keys.front().reference, exponent, modulus);
  EXPECT_FALSE(c->ChannelOpen());
  EXPECT_EQ(modulus, card->profile().keys.front().modulus);
  for (const Bytes& sent : Sent()) EXPECT_EQ(sent[0] & 0x0C, 0) << "plain";

  c->VerifyPin(Pin());
  fake_.ClearApdus();
  c->ReadPublicKey(card->profile().keys.front().reference, exponent, modulus);
  EXPECT_EQ(modulus, card->profile().keys.front().modulus);
  const std::vector<Bytes> sent = Sent();
  ASSERT_EQ(sent.size(), 6u);
  EXPECT_EQ(sent[0][0], 0x0C);
  EXPECT_EQ(sent[2][0], 0x9C);
}

INSTANTIATE_TEST_SUITE_P(Profiles, ChannelTest, ::testing::Values("Vexa", "TC-ORVA4"),
                         [](const auto& info) {
                           return std::string(info.param) == "Vexa" ? "Vexa" : "TC_ORVA4";
                         });

// ---------------------------------------------------------------- parameters

// The Vexa parameters with member i replaced (or, for i = 10, mac-Len set).
Bytes ParamsWith(std::size_t i, const Bytes& member) {
  std::vector<Bytes> members = Children(sim::PkiFile("vexa-channel-params.der"));
  if (i < members.size())
    members[i] = member;
  else
    members.push_back(member);
  return Sequence(members);
}

class ChannelParamsTest : public VirtualCardTest {};

TEST_F(ChannelParamsTest, UnusableParametersFailBeforeAnyCommand) {
  UseCard("Vexa");
  struct Case {
    const char* what;
    Bytes params;
    CK_RV rv;
  } const cases[] = {
      {"none", {}, CKR_DEVICE_ERROR},
      {"not DER", H("30 03 02 01"), CKR_GENERAL_ERROR},
      {"a member missing", Sequence({Children(sim::PkiFile("vexa-channel-params.der"))[0]}),
       CKR_GENERAL_ERROR},
      {"sn-IFD of 7 bytes", ParamsWith(6, sim::der::OctetString(H("01 02 03 04 05 06 07"))),
       CKR_DEVICE_ERROR},
      {"sn-IFD of 9 bytes", ParamsWith(6, sim::der::OctetString(Bytes(9, 0x01))), CKR_DEVICE_ERROR},
      {"mac-Len 0", ParamsWith(10, sim::der::Integer(0)), CKR_GENERAL_ERROR},
      {"mac-Len 9", ParamsWith(10, sim::der::Integer(9)), CKR_GENERAL_ERROR},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    params = k.params;
    auto c = Vexa();
    EXPECT_EQ(RaisedBy([&] { c->OpenChannel(); }), k.rv);
    EXPECT_EQ(RaisedBy([&] { c->VerifyPin(Ascii("12345678")); }), k.rv);
    EXPECT_TRUE(Sent().empty());
  }
  // mac-Len 8 gives 8-byte MACs, whatever the card type.
  params = ParamsWith(10, sim::der::Integer(8));
  auto c = Vexa();
  c->OpenChannel();
  EXPECT_EQ(c->MacLength(), 8u);
}

TEST_F(ChannelParamsTest, TheFactoryHandsTheTypesParametersOn) {
  UseCard("Vexa");
  p11::CTokenType type;
  type.communicationsType = 1;
  const Bytes der = sim::PkiFile("vexa-channel-params.der");
  type.parameters.assign(der.begin(), der.end());
  auto c = comm::CreateCommunicator(*slot_, type);
  auto* vexa = dynamic_cast<comm::CComm_Vexa*>(c.get());
  ASSERT_NE(vexa, nullptr);
  EXPECT_EQ(vexa->GetPinTries(), 3u);
  EXPECT_TRUE(vexa->ChannelOpen());
  // Without parameters a channel type's communicator cannot open one.
  auto bare = comm::CreateCommunicator(*slot_, std::uint8_t{1});
  EXPECT_EQ(RaisedBy([&] { bare->GetPinTries(); }), CKR_DEVICE_ERROR);
}

}  // namespace
}  // namespace zorbix::commtest
