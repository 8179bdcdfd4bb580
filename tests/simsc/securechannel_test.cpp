// The virtual card's secure channel on the engine: establishment with a
// terminal built from the protocol, the wrapping rules byte for byte (MACs
// and cryptograms recomputed here with plain DES), faults that close the
// channel, and the PIN rule.
#include "sim/securechannel.h"

#include <cryptopp/des.h>
#include <cryptopp/filters.h>
#include <cryptopp/modes.h>
#include <cryptopp/osrng.h>
#include <cryptopp/rsa.h>
#include <cryptopp/sha.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "sim/card.h"
#include "sim/content_der.h"
#include "sim/content_pki.h"
#include "sim/profile.h"
#include "tests/simsc/host.h"

namespace zorbix::sim {
namespace {

using der::Cat;
using simsc::Answer;
using simsc::CardStatus;
using simsc::ChannelParams;
using simsc::HostError;
using simsc::TestHost;

Bytes Ascii(const std::string& s) { return Bytes(s.begin(), s.end()); }

// --- reference primitives, straight from the definitions ---------------------

Bytes RefPad(const Bytes& d) {
  Bytes out = d;
  out.push_back(0x80);
  while (out.size() % 8) out.push_back(0x00);
  return out;
}

Bytes RefEncrypt(const Bytes& key, const Bytes& padded) {
  CryptoPP::CBC_Mode<CryptoPP::DES_EDE2>::Encryption e;
  const Bytes iv(8, 0x00);
  e.SetKeyWithIV(key.data(), key.size(), iv.data());
  Bytes out(padded.size());
  e.ProcessData(out.data(), padded.data(), padded.size());
  return out;
}

Bytes Plus(Bytes counter, int n) {
  while (n-- > 0) {
    for (std::size_t i = counter.size(); i-- > 0;)
      if (++counter[i] != 0) break;
  }
  return counter;
}

// y = ssc; per block: y = DES(K1, y) XOR B; then DES(K1), DES^-1(K2), DES(K1).
Bytes RefMac(const Bytes& kMac, const Bytes& ssc, const Bytes& input, std::size_t len) {
  CryptoPP::DES::Encryption k1(kMac.data(), 8);
  CryptoPP::DES::Decryption k2(kMac.data() + 8, 8);
  Bytes y = ssc;
  for (std::size_t off = 0; off < input.size(); off += 8) {
    k1.ProcessBlock(y.data());
    for (std::size_t i = 0; i < 8; ++i) y[i] ^= input[off + i];
  }
  k1.ProcessBlock(y.data());
  k2.ProcessBlock(y.data());
  k1.ProcessBlock(y.data());
  y.resize(len);
  return y;
}

const Bytes kEnc = FromHex("01 23 45 67 89 AB CD EF FE DC BA 98 76 54 32 10");
const Bytes kMac = FromHex("0F 1E 2D 3C 4B 5A 69 78 87 96 A5 B4 C3 D2 E1 F0");
const Bytes kSsc = FromHex("05 06 07 08 15 16 17 18");

std::uint16_t SwOf(const Bytes& r) {
  return static_cast<std::uint16_t>(r[r.size() - 2] << 8 | r[r.size() - 1]);
}

ChannelParams ParamsFor(const std::string& profile) {
  return simsc::ParseChannelParams(
      PkiFile(profile == "Vexa" ? "vexa-channel-params.der" : "tc-orva4-channel-params.der"));
}

struct Rig {
  explicit Rig(const std::string& name) : card(*FindProfile(name)), params(ParamsFor(name)) {
    card.PowerOn();
    card.StartTrace();
  }
  Card card;
  ChannelParams params;
  std::function<void(const Bytes&)> beforeSend;
  TestHost host{[this](const Bytes& c) {
    if (beforeSend) beforeSend(c);
    return card.Process(c);
  }};
  // The card's answer to a raw command, 61xx collected.
  Bytes Exchange(const Bytes& c) {
    Bytes r = card.Process(c);
    if (r.size() == 2 && r[0] == 0x61) r = card.Process({0x00, 0xC0, 0x00, 0x00, r[1]});
    return r;
  }
  Bytes Pin() const { return Ascii(card.profile().pin); }
  Bytes Verify(const Bytes& pin) const {
    return Cat({{0x00, 0x20, 0x00, 0x00, static_cast<std::uint8_t>(pin.size())}, pin});
  }
};

// --- establishment -----------------------------------------------------------

class Establishment : public ::testing::TestWithParam<const char*> {};

TEST_P(Establishment, OpensWithTheTerminalAndProtectsPinAndFileAccess) {
  Rig r(GetParam());
  r.host.Open(r.params);
  ASSERT_TRUE(r.host.open);
  auto keys = OpenChannelKeys(r.card);
  ASSERT_TRUE(keys);
  EXPECT_EQ(keys->kEnc, r.host.kEnc);
  EXPECT_EQ(keys->kMac, r.host.kMac);
  EXPECT_EQ(keys->ssc, r.host.ssc);
  EXPECT_EQ(keys->ssc, Cat({Bytes(r.host.rndIcc.begin() + 4, r.host.rndIcc.end()),
                            Bytes(r.host.rndIfd.begin() + 4, r.host.rndIfd.end())}));
  const std::size_t mac = std::string(GetParam()) == "Vexa" ? 4 : 8;
  EXPECT_EQ(keys->macLength, mac);
  EXPECT_EQ(r.host.macLength, mac);
  // 1024-bit keys: EXTERNAL AUTHENTICATE carries 128 bytes.
  bool sawExternal = false;
  for (const TraceEntry& e : r.card.Trace()) {
    if (e.command.size() > 5 && e.command[1] == 0x82) {
      EXPECT_EQ(e.command[4], 0x80);
      sawExternal = true;
    }
  }
  EXPECT_TRUE(sawExternal);

  // A wrong PIN inside the channel: the card's status, the channel stays.
  const Bytes before = r.host.ssc;
  Bytes wrong(r.Pin().size(), '0');
  Answer a = r.host.Protected(r.Verify(wrong));
  EXPECT_EQ(a.sw, 0x63C0 | (r.card.profile().pinTries - 1));
  EXPECT_TRUE(a.data.empty());
  EXPECT_EQ(r.host.ssc, Plus(before, 2));
  EXPECT_EQ(OpenChannelKeys(r.card)->ssc, r.host.ssc);

  EXPECT_EQ(r.host.Protected(r.Verify(r.Pin())).sw, 0x9000);
  EXPECT_TRUE(r.card.PinVerified());
  EXPECT_EQ(r.host.Protected({0x00, 0x20, 0x00, 0x00, 0x00}).sw, 0x9000);

  // Selection and a read: the FCI and the file come back encrypted.
  Answer sel = r.host.Protected({0x00, 0xA4, 0x08, 0x00, 0x04, 0x50, 0x15, 0x50, 0x32});
  EXPECT_EQ(sel.sw, 0x9000);
  EXPECT_EQ(sel.data, Card::Fci(*r.card.FindFile({0x5015, 0x5032})));
  Answer read = r.host.Protected({0x00, 0xB0, 0x00, 0x00, 0xFA});
  EXPECT_EQ(read.sw, 0x9000);
  EXPECT_EQ(read.data, r.card.FindFile({0x5015, 0x5032})->data);

  // Signing passes the channel's MSE:SET and PSO handlers on to the key
  // commands.
  const KeySpec* key = r.card.FindKey(0x01);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(r.host.Protected(FromHex("00 22 41 B6 04 84 02 01 01")).sw, 0x9000);
  const Bytes msg = Ascii("protected signature");
  Bytes digest(20);
  CryptoPP::SHA1().CalculateDigest(digest.data(), msg.data(), msg.size());
  const Bytes info = Cat({FromHex("30 21 30 09 06 05 2B 0E 03 02 1A 05 00 04 14"), digest});
  Answer sig = r.host.Protected(
      Cat({FromHex("00 2A 9E 9A"), {static_cast<std::uint8_t>(info.size())}, info}));
  EXPECT_EQ(sig.sw, 0x9000);
  CryptoPP::RSA::PublicKey pub;
  pub.Initialize(CryptoPP::Integer(key->modulus.data(), key->modulus.size()),
                 CryptoPP::Integer(key->publicExponent.data(), key->publicExponent.size()));
  CryptoPP::RSASS<CryptoPP::PKCS1v15, CryptoPP::SHA1>::Verifier verifier(pub);
  EXPECT_TRUE(verifier.VerifyMessage(msg.data(), msg.size(), sig.data.data(), sig.data.size()));
  EXPECT_TRUE(r.host.open);
  EXPECT_TRUE(OpenChannelKeys(r.card));
}

INSTANTIATE_TEST_SUITE_P(Cards, Establishment, ::testing::Values("Vexa", "TC-ORVA4", "ORVA-ZEL_06"),
                         [](const auto& info) {
                           std::string n = info.param;
                           for (char& c : n)
                             if (c == '-') c = '_';
                           return n;
                         });

TEST(SecureChannel, SendSequenceCounterStartsFromBothChallenges) {
  Rig r("Vexa");
  r.card.AddHandler(0x00, 0x84, [](Card& c, const Apdu&) {
    Bytes rnd = FromHex("01 02 03 04 05 06 07 08");
    c.scratch()["challenge"] = rnd;
    return Response{rnd, 0x9000, false};
  });
  r.host.chosenRndIfd = FromHex("11 12 13 14 15 16 17 18");
  r.host.Open(r.params);
  EXPECT_EQ(OpenChannelKeys(r.card)->ssc, FromHex("05 06 07 08 15 16 17 18"));
}

TEST(SecureChannel, CardSignsInTheSmallerFormAndAcceptsBothFromTheTerminal) {
  for (auto form :
       {TestHost::Form::Minimal, TestHost::Form::Signature, TestHost::Form::Complement}) {
    for (int round = 0; round < 3; ++round) {
      Rig r("Vexa");
      r.host.externalForm = form;
      r.host.Open(r.params);
      // The card sent min(SIG, N - SIG): never above half its modulus.
      const Bytes other = crypto::SubtractUnsigned(r.host.pkIcc.modulus, r.host.internalX);
      EXPECT_LE(crypto::CompareUnsigned(r.host.internalX, other), 0);
      EXPECT_TRUE(OpenChannelKeys(r.card)) << static_cast<int>(form);
    }
  }
}

TEST(SecureChannel, InternalAuthenticationFormsForTheTerminal) {
  const struct {
    InternalAuthForm form;
    bool complement;  // the terminal needs its second attempt
  } cases[] = {{InternalAuthForm::Signature, false}, {InternalAuthForm::Complement, true}};
  for (const auto& c : cases) {
    Rig r("Vexa");
    SetInternalAuthForm(r.card, c.form);
    r.card.Reset();  // the setting outlives resets
    r.host.Open(r.params);
    EXPECT_EQ(r.host.usedComplement, c.complement);
    EXPECT_TRUE(OpenChannelKeys(r.card));
  }
  Rig r("Vexa");
  SetInternalAuthForm(r.card, InternalAuthForm::Broken);
  EXPECT_THROW(r.host.Open(r.params), HostError);
  EXPECT_FALSE(OpenChannelKeys(r.card));
}

// Each case breaks one step; the card answers with a plain status word and
// opens nothing.
TEST(SecureChannel, EstablishmentFaultsAnswerPlainStatusWords) {
  struct Case {
    const char* name;
    std::function<std::uint16_t(Rig&)> run;
    std::uint16_t sw;
  };
  auto sendSw = [](Rig& r, const Bytes& c) { return SwOf(r.card.Process(c)); };
  auto cmd = [](std::initializer_list<std::uint8_t> h, const Bytes& d) {
    return Cat({Bytes(h), {static_cast<std::uint8_t>(d.size())}, d});
  };
  const Case cases[] = {
      {"certificate without a chosen key",
       [&](Rig& r) {
         return sendSw(r, cmd({0x00, 0x2A, 0x00, 0xAE}, r.params.cvCa));
       },
       0x6985},
      {"unknown verification key",
       [&](Rig& r) {
         return sendSw(r, cmd({0x00, 0x22, 0x81, 0xB6}, FromHex("83 02 02 0E")));
       },
       0x6A88},
      {"authority key before its certificate",
       [&](Rig& r) {
         return sendSw(r, cmd({0x00, 0x22, 0x81, 0xB6}, r.params.caRef));
       },
       0x6A88},
      {"terminal certificate under the root",
       [&](Rig& r) {
         sendSw(r, cmd({0x00, 0x22, 0x81, 0xB6}, r.params.rcaRef));
         return sendSw(r, cmd({0x00, 0x2A, 0x00, 0xAE}, r.params.cvIfd));
       },
       0x6300},
      {"signature byte changed",
       [&](Rig& r) {
         Bytes c = r.params.cvCa;
         c[10] ^= 0x01;
         sendSw(r, cmd({0x00, 0x22, 0x81, 0xB6}, r.params.rcaRef));
         return sendSw(r, cmd({0x00, 0x2A, 0x00, 0xAE}, c));
       },
       0x6300},
      {"remainder byte changed",
       [&](Rig& r) {
         Bytes c = r.params.cvCa;
         c[c.size() - 12] ^= 0x01;
         sendSw(r, cmd({0x00, 0x22, 0x81, 0xB6}, r.params.rcaRef));
         return sendSw(r, cmd({0x00, 0x2A, 0x00, 0xAE}, c));
       },
       0x6300},
      {"certificate cut short",
       [&](Rig& r) {
         Bytes c(r.params.cvCa.begin(), r.params.cvCa.end() - 3);
         sendSw(r, cmd({0x00, 0x22, 0x81, 0xB6}, r.params.rcaRef));
         return sendSw(r, cmd({0x00, 0x2A, 0x00, 0xAE}, c));
       },
       0x6A80},
      {"authentication with another card key",
       [&](Rig& r) {
         r.host.PresentCertificates(r.params);
         return sendSw(
             r, cmd({0x00, 0x22, 0xC1, 0xA4}, Cat({r.params.ifdAutRef, FromHex("84 02 02 1E")})));
       },
       0x6A88},
      {"internal authenticate without MSE:SET",
       [&](Rig& r) {
         return sendSw(r, cmd({0x00, 0x88, 0x00, 0x00}, Bytes(16, 0x11)));
       },
       0x6985},
      {"terminal serial not its certificate's",
       [&](Rig& r) {
         r.host.PresentCertificates(r.params);
         sendSw(r, cmd({0x00, 0x22, 0xC1, 0xA4}, Cat({r.params.ifdAutRef, r.params.iccAutRef})));
         return sendSw(r, cmd({0x00, 0x88, 0x00, 0x00}, Bytes(16, 0x11)));
       },
       0x6A80},
      {"external authenticate before internal",
       [&](Rig& r) {
         r.host.PresentCertificates(r.params);
         sendSw(r, cmd({0x00, 0x22, 0xC1, 0xA4}, Cat({r.params.ifdAutRef, r.params.iccAutRef})));
         sendSw(r, {0x00, 0x84, 0x00, 0x00, 0x08});
         return sendSw(r, cmd({0x00, 0x82, 0x00, 0x00}, Bytes(128, 0x01)));
       },
       0x6985},
      {"challenge replaced before external authenticate",
       [&](Rig& r) {
         r.beforeSend = [&r](const Bytes& c) {
           if (c.size() > 5 && c[1] == 0x82) r.card.Process({0x00, 0x84, 0x00, 0x00, 0x08});
         };
         try {
           r.host.Open(r.params);
         } catch (const CardStatus& e) {
           return e.sw;
         }
         return std::uint16_t{0x9000};
       },
       0x6300},
      {"external cryptogram changed",
       [&](Rig& r) {
         r.host.SelectAndReadSerial();
         r.host.PresentCertificates(r.params);
         r.host.ReadCardKey(r.params);
         r.host.InternalAuthenticate(r.params);
         r.Exchange({0x00, 0x84, 0x00, 0x00, 0x08});
         return sendSw(r, cmd({0x00, 0x82, 0x00, 0x00}, Bytes(128, 0x42)));
       },
       0x6300},
  };
  for (const Case& c : cases) {
    Rig r("Vexa");
    EXPECT_EQ(c.run(r), c.sw) << c.name;
    EXPECT_FALSE(OpenChannelKeys(r.card)) << c.name;
  }
}

TEST(SecureChannel, CardCertificatesAtShortIdentifiersZeroAnd1F) {
  Rig r("TC-ORVA4");
  r.host.SelectAndReadSerial();
  EXPECT_NO_THROW(r.host.ReadCardKey(r.params));  // the chain verifies under the root
  for (auto [p1, name] :
       {std::pair<std::uint8_t, const char*>{0x80, "card-ca.crt.der"}, {0x9F, "icc-aut.crt.der"}}) {
    const Bytes file = PkiFile(name);
    Bytes head = r.Exchange({0x00, 0xB0, p1, 0x00, 0x04});
    EXPECT_EQ(head, Cat({Bytes(file.begin(), file.begin() + 4), {0x90, 0x00}})) << name;
    // The short identifier selected the file: plain offsets go on in it.
    Bytes next = r.Exchange({0x00, 0xB0, 0x00, 0x04, 0x10});
    EXPECT_EQ(next, Cat({Bytes(file.begin() + 4, file.begin() + 20), {0x90, 0x00}})) << name;
  }
}

// --- the wrapping rules, byte for byte ----------------------------------------

// Sends `wrapped` to a card whose channel holds the fixed keys; returns the
// protected answer body after GET RESPONSE.
Bytes CardAnswer(Rig& r, const Bytes& wrapped) {
  Bytes first = r.card.Process(wrapped);
  EXPECT_EQ(first.size(), 2u);
  EXPECT_EQ(first[0], 0x61);
  Bytes body = r.card.Process({0x00, 0xC0, 0x00, 0x00, first[1]});
  EXPECT_EQ(SwOf(body), 0x9000);
  body.resize(body.size() - 2);
  return body;
}

Bytes StatusAnswer(std::uint16_t sw, const Bytes& cryptogram, const Bytes& ssc) {
  Bytes head;
  if (!cryptogram.empty()) {
    const std::size_t l = cryptogram.size() + 1;
    head = l < 0x80 ? Bytes{0x87, static_cast<std::uint8_t>(l), 0x01}
                    : Bytes{0x87, 0x81, static_cast<std::uint8_t>(l), 0x01};
    head.insert(head.end(), cryptogram.begin(), cryptogram.end());
  }
  Bytes objects =
      Cat({head, {0x99, 0x02, static_cast<std::uint8_t>(sw >> 8), static_cast<std::uint8_t>(sw)}});
  return Cat({objects, {0x8E, 0x04}, RefMac(kMac, ssc, RefPad(objects), 4)});
}

TEST(SecureChannel, CommandExamplesWrapAndTheCardAnswersThem) {
  const Bytes pin = Ascii("12345678");
  const Bytes pinCrypt = RefEncrypt(kEnc, RefPad(pin));
  ASSERT_EQ(pinCrypt.size(), 16u);
  Rig tokenInfo("Vexa");
  const Bytes content = tokenInfo.card.FindFile({0x5015, 0x5032})->data;
  const Bytes contentCrypt = RefEncrypt(kEnc, RefPad(content));

  struct Case {
    const char* name;
    Bytes plain;
    Bytes macInput;  // as the rules build it
    Bytes body;      // objects before DO 8E
    Bytes answer;    // the card's protected answer
    std::uint16_t sw;
    Bytes data;  // unwrapped
  } cases[] = {
      {"VERIFY with an 8-byte PIN",
       Cat({FromHex("00 20 00 00 08"), pin}),
       Cat({FromHex("0C 20 00 00 80 00 00 00 87 11 01"), pinCrypt, FromHex("80 00 00 00 00")}),
       Cat({FromHex("87 11 01"), pinCrypt}),
       StatusAnswer(0x9000, {}, Plus(kSsc, 2)),
       0x9000,
       {}},
      {"VERIFY without data",
       FromHex("00 20 00 00 00"),
       FromHex("0C 20 00 00 80 00 00 00"),
       {},
       StatusAnswer(0x63C3, {}, Plus(kSsc, 2)),
       0x63C3,
       {}},
      {"READ BINARY FA", FromHex("00 B0 00 00 FA"),
       FromHex("0C B0 00 00 80 00 00 00 97 01 FA 80 00 00 00 00"), FromHex("97 01 FA"),
       StatusAnswer(0x9000, contentCrypt, Plus(kSsc, 2)), 0x9000, content},
  };
  EXPECT_EQ(cases[0].macInput.size(), 32u);
  for (Case& c : cases) {
    const Bytes mac = RefMac(kMac, Plus(kSsc, 1), c.macInput, 4);
    const Bytes body = Cat({c.body, {0x8E, 0x04}, mac});
    const Bytes expected =
        Cat({{0x0C, c.plain[1], 0x00, 0x00, static_cast<std::uint8_t>(body.size())}, body});

    Rig r("Vexa");
    r.host.kEnc = kEnc;
    r.host.kMac = kMac;
    r.host.ssc = kSsc;
    r.host.macLength = 4;
    EXPECT_EQ(r.host.Wrap(c.plain), expected) << c.name;
    EXPECT_EQ(r.host.ssc, Plus(kSsc, 1)) << c.name;

    // The card current EF for the read, chosen before the channel opens.
    r.card.Process(FromHex("00 A4 08 0C 04 50 15 50 32"));
    OpenChannelWithKeys(r.card, kEnc, kMac, kSsc);
    const Bytes answer = CardAnswer(r, expected);
    EXPECT_EQ(answer, c.answer) << c.name;
    EXPECT_EQ(OpenChannelKeys(r.card)->ssc, Plus(kSsc, 2)) << c.name;

    Answer plain = r.host.Unwrap(answer);
    EXPECT_EQ(r.host.ssc, Plus(kSsc, 2)) << c.name;
    EXPECT_EQ(plain.sw, c.sw) << c.name;
    EXPECT_EQ(plain.data, c.data) << c.name;
  }
}

TEST(SecureChannel, ResponseExamplesUnwrap) {
  const Bytes ok = StatusAnswer(0x9000, {}, Plus(kSsc, 1));
  auto host = [](std::size_t macLength) {
    TestHost h([](const Bytes&) { return Bytes{}; });
    h.kEnc = kEnc;
    h.kMac = kMac;
    h.ssc = kSsc;
    h.macLength = macLength;
    return h;
  };
  TestHost four = host(4);
  Answer a = four.Unwrap(ok);
  EXPECT_TRUE(a.data.empty());
  EXPECT_EQ(a.sw, 0x9000);

  TestHost eight = host(8);
  EXPECT_THROW(eight.Unwrap(ok), HostError);

  // DO 87 of length 0x10 has no room for the indicator byte.
  Bytes objects = Cat({{0x87, 0x10}, Bytes(16, 0x01), FromHex("99 02 90 00")});
  Bytes bad = Cat({objects, {0x8E, 0x04}, RefMac(kMac, Plus(kSsc, 1), RefPad(objects), 4)});
  TestHost other = host(4);
  EXPECT_THROW(other.Unwrap(bad), HostError);
}

// --- faults that close the channel -------------------------------------------

TEST(SecureChannel, BrokenProtectionClosesTheChannel) {
  const Bytes header = FromHex("0C 20 00 00 80 00 00 00");
  const Bytes unpadded = RefEncrypt(kEnc, Ascii("12345678"));  // no 80 .. padding
  const Bytes badCrypt = Cat({{0x87, 0x09, 0x01}, unpadded});
  struct Case {
    const char* name;
    Bytes command;
    std::uint16_t sw;
  } cases[] = {
      {"MAC byte changed",
       [&] {
         Bytes m = RefMac(kMac, Plus(kSsc, 1), header, 4);
         m[3] ^= 0x01;
         return Cat({FromHex("0C 20 00 00 06 8E 04"), m});
       }(),
       0x6988},
      {"no DO 8E", FromHex("0C B0 00 00 03 97 01 FA"), 0x6987},
      {"MAC of 8 bytes on a 4-byte card",
       Cat({FromHex("0C 20 00 00 0A 8E 08"), RefMac(kMac, Plus(kSsc, 1), header, 8)}), 0x6988},
      {"cryptogram without padding",
       Cat({FromHex("0C 20 00 00 11"),
            badCrypt,
            {0x8E, 0x04},
            RefMac(kMac, Plus(kSsc, 1), RefPad(Cat({header, badCrypt})), 4)}),
       0x6988},
      {"unknown data object", Cat({FromHex("0C 20 00 00 09 81 01 00 8E 04"), Bytes(4, 0x00)}),
       0x6988},
  };
  for (const Case& c : cases) {
    Rig r("Vexa");
    OpenChannelWithKeys(r.card, kEnc, kMac, kSsc);
    EXPECT_EQ(r.card.Process(c.command),
              (Bytes{static_cast<std::uint8_t>(c.sw >> 8), static_cast<std::uint8_t>(c.sw)}))
        << c.name;
    EXPECT_FALSE(OpenChannelKeys(r.card)) << c.name;
    // A well-formed command no longer finds a channel.
    const Bytes good =
        Cat({FromHex("0C 20 00 00 06 8E 04"), RefMac(kMac, Plus(kSsc, 1), header, 4)});
    EXPECT_EQ(r.card.Process(good), FromHex("69 88")) << c.name;
    EXPECT_EQ(r.card.PinTriesLeft(), 3) << c.name;
  }
}

TEST(SecureChannel, CorruptedAnswerMacIsCaughtAndANewChannelOpens) {
  Rig r("TC-ORVA4");
  r.host.Open(r.params);
  ASSERT_EQ(r.host.Protected(r.Verify(r.Pin())).sw, 0x9000);
  // 1: the protected command (61xx); 2: GET RESPONSE, whose last MAC byte
  // sits before SW1 SW2.
  r.card.CorruptAt(2, -3);
  EXPECT_THROW(r.host.Protected({0x00, 0x20, 0x00, 0x00, 0x00}), HostError);
  EXPECT_FALSE(r.host.open);
  EXPECT_TRUE(r.host.kEnc.empty());

  // Opening again starts plain, which ends the card's side and its PIN state.
  r.host.Open(r.params);
  EXPECT_FALSE(r.card.PinVerified());
  EXPECT_EQ(r.host.Protected({0x00, 0x20, 0x00, 0x00, 0x00}).sw,
            0x63C0 | r.card.profile().pinTries);
}

TEST(SecureChannel, ResetEndsTheChannel) {
  Rig r("Vexa");
  r.host.Open(r.params);
  r.card.Reset();
  try {
    r.host.Protected(r.Verify(r.Pin()));
    ADD_FAILURE() << "no failure after reset";
  } catch (const CardStatus& e) {
    EXPECT_EQ(e.sw, 0x6988);
  }
  EXPECT_FALSE(r.host.open);
  EXPECT_FALSE(r.card.PinVerified());
}

TEST(SecureChannel, LongCommandTravelsProtectedInEnvelopes) {
  Rig r("TC-ORVA4");
  r.host.Open(r.params);
  ASSERT_EQ(r.host.Protected(r.Verify(r.Pin())).sw, 0x9000);
  ASSERT_EQ(r.host.Protected(FromHex("00 A4 08 0C 04 50 15 50 33")).sw, 0x9000);
  Bytes data(240);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
  r.card.ClearTrace();
  Answer w = r.host.Protected(Cat({FromHex("00 D6 00 00 00 00 F0"), data}));
  EXPECT_EQ(w.sw, 0x9000);
  const auto trace = r.card.Trace();
  ASSERT_GE(trace.size(), 3u);
  EXPECT_EQ(Bytes(trace[0].command.begin(), trace[0].command.begin() + 2), FromHex("90 C2"));
  EXPECT_EQ(Bytes(trace[0].command.begin() + 5, trace[0].command.begin() + 12),
            FromHex("0C D6 00 00 00 01 06"));  // 87 81 F9 01 <248> 8E 08 <8>
  EXPECT_EQ(Bytes(trace[1].command.begin(), trace[1].command.begin() + 2), FromHex("90 C2"));
  Answer back = r.host.Protected(FromHex("00 B0 00 00 F0"));
  EXPECT_EQ(back.sw, 0x9000);
  EXPECT_EQ(back.data, data);

  // DECIPHER of a 256-byte ciphertext with the 2048-bit key: two envelopes.
  const KeySpec* key = r.card.FindKey(0x03);
  ASSERT_NE(key, nullptr);
  ASSERT_EQ(key->modulus.size(), 256u);
  CryptoPP::RSA::PublicKey pub;
  pub.Initialize(CryptoPP::Integer(key->modulus.data(), key->modulus.size()),
                 CryptoPP::Integer(key->publicExponent.data(), key->publicExponent.size()));
  CryptoPP::AutoSeededRandomPool rng;
  CryptoPP::RSAES_PKCS1v15_Encryptor enc(pub);
  const Bytes secret = Ascii("session secret");
  Bytes cipher(enc.CiphertextLength(secret.size()));
  enc.Encrypt(rng, secret.data(), secret.size(), cipher.data());
  ASSERT_EQ(cipher.size(), 256u);
  r.card.ClearTrace();
  Answer plain = r.host.Protected(Cat({FromHex("90 74 40 03 00 01 00"), cipher}));
  EXPECT_EQ(plain.sw, 0x9000);
  EXPECT_EQ(plain.data, secret);
  std::size_t envelopes = 0;
  for (const TraceEntry& e : r.card.Trace())
    envelopes += e.command[0] == 0x90 && e.command[1] == 0xC2;
  EXPECT_EQ(envelopes, 2u);
}

TEST(SecureChannel, TraceShowsThePlainCommandInsideMasked) {
  Rig r("TC-ORVA4");
  r.host.Open(r.params);
  r.card.ClearTrace();
  ASSERT_EQ(r.host.Protected(r.Verify(r.Pin())).sw, 0x9000);
  const auto trace = r.card.Trace();
  ASSERT_EQ(trace.size(), 2u);  // the protected VERIFY, GET RESPONSE
  const std::string n = " " + std::to_string(trace[0].number) + " ";
  std::string masked;
  for (std::size_t i = 0; i < r.Pin().size(); ++i) masked += " **";
  // The wire command (cryptogram and MAC, shown as they are), the plain
  // VERIFY inside (masked), its plain answer, then the protected answer.
  const std::string& lines = trace[0].lines;
  EXPECT_NE(lines.find(n + "> 0C 20 00 00 "), std::string::npos) << lines;
  EXPECT_NE(lines.find(n + ">> 00 20 00 00 " + ToHex(Bytes{static_cast<std::uint8_t>(r.Pin().size())}) +
                       masked + "\n"),
            std::string::npos)
      << lines;
  EXPECT_NE(lines.find(n + "<< 90 00\n"), std::string::npos) << lines;
  EXPECT_NE(lines.find(n + "< 61 "), std::string::npos) << lines;
  EXPECT_EQ(r.card.TraceText().find(ToHex(r.Pin(), true)), std::string::npos);
}

// --- the PIN rule ----------------------------------------------------------------

TEST(SecureChannel, PinCommandsOnlyInsideTheChannel) {
  for (const char* profile : {"Vexa", "TC-ORVA4"}) {
    Rig probe(profile);
    const Bytes pin = probe.Pin();
    const Bytes puk = Ascii(probe.card.profile().puk);
    const Bytes n = {static_cast<std::uint8_t>(pin.size())};
    const Bytes commands[] = {
        probe.Verify(pin),
        FromHex("00 20 00 00 00"),
        Cat({FromHex("90 24 00 00"),
             {static_cast<std::uint8_t>(3 + 2 * pin.size()), 0x01},
             n,
             pin,
             n,
             pin}),
        Cat({FromHex("00 24 00 00"), {static_cast<std::uint8_t>(2 * pin.size())}, pin, pin}),
        Cat({FromHex("90 2C 00 00 10"), puk}),
        Cat({FromHex("00 2C 00 00 10"), puk}),
        // The same VERIFY carried by an envelope.
        Cat({FromHex("90 C2 00 00"),
             {static_cast<std::uint8_t>(5 + pin.size())},
             probe.Verify(pin)}),
    };
    for (const Bytes& c : commands) {
      Rig r(profile);
      EXPECT_EQ(r.card.Process(c), FromHex("69 82")) << profile << " " << ToHex(c);
      EXPECT_EQ(r.card.PinTriesLeft(), r.card.profile().pinTries);
      EXPECT_EQ(r.card.PukTriesLeft(), r.card.profile().pukTries);
      EXPECT_FALSE(r.card.PinVerified());
      EXPECT_EQ(r.card.CurrentPin(), r.card.profile().pin);
    }
  }
  // A plain VERIFY while the channel is open: refused, and the channel ends.
  Rig r("TC-ORVA4");
  r.host.Open(r.params);
  EXPECT_EQ(r.card.Process(r.Verify(r.Pin())), FromHex("69 82"));
  EXPECT_FALSE(OpenChannelKeys(r.card));

  // Cards without the channel take PIN commands plain.
  Rig plain("HALVO");
  EXPECT_EQ(plain.card.Process(plain.Verify(plain.Pin())), FromHex("90 00"));
}

}  // namespace
}  // namespace zorbix::sim
