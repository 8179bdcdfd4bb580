// The card key and PIN commands against APDU traces, one table per
// communicator kind: the bytes sent, and what each card answer becomes.
// Then the national ID card's commands inside its channel, against a
// virtual card.
#include <gtest/gtest.h>

#include <cryptopp/integer.h>
#include <cryptopp/rsa.h>
#include <cryptopp/sha.h>

#include <functional>

#include "comm/crypto.h"
#include "p11/mechanisms.h"
#include "tests/comm/channel_fixture.h"
#include "tests/support/pkcs1.h"

namespace zorbix::commtest {
namespace {

using comm::ByteView;

Bytes Ascii(const std::string& s) { return Bytes(s.begin(), s.end()); }

// A mechanism as the module's RSA mechanisms behave: PKCS#1 v1.5 block type
// 01, and the SHA-1 DigestInfo when `sha1`.
class TestMech : public p11::CMech {
 public:
  TestMech(std::uint8_t keyReference, unsigned modulusLength, bool sha1 = false)
      : keyReference_(keyReference), modulusLength_(modulusLength), sha1_(sha1) {}

  void Pad(SecureBytes& data, std::size_t k) override {
    if (k < data.size() + 4) throw p11::Pkcs11Exception(CKR_DATA_INVALID);
    data = testing::PadType1<SecureBytes>(data, k);
  }
  void FormatData(SecureBytes& data) override {
    if (!sha1_) return;
    const Bytes hash = crypto::Sha1(data);
    data.assign({0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E, 0x03, 0x02, 0x1A, 0x05, 0x00,
                 0x04, 0x14});
    data.insert(data.end(), hash.begin(), hash.end());
  }
  std::uint8_t KeyReference() const override { return keyReference_; }
  unsigned KeyModulusBits() const override { return modulusLength_; }

 private:
  std::uint8_t keyReference_;
  unsigned modulusLength_;
  bool sha1_;
};

const Bytes kSelectMf = Cat({H("00 A4 04 00 0B"), Ascii("Master.File")});
const Bytes kSelectCrypto = Cat({H("00 A4 04 00 0A"), Ascii("ICC.Crypto")});
const Bytes kSelectPinFile = H("00 A4 00 00 02 00 00");
const Bytes kActivate = H("90 44 00 00 00");
// A selection answer whose size bytes (7, 8) say 0400.
const Bytes kFci = H("6F 0A 85 08 01 3F 73 04 00 00 00 00");

Bytes Select(std::uint16_t fid) {
  return {0x00, 0xA4, 0x00, 0x00, 0x02, static_cast<std::uint8_t>(fid >> 8),
          static_cast<std::uint8_t>(fid)};
}

// An extended command header + data in the two envelopes.
std::vector<Bytes> Envelopes(const Bytes& header, const Bytes& data) {
  const Bytes apdu = Cat({header, {0x00, static_cast<std::uint8_t>(data.size() >> 8),
                                   static_cast<std::uint8_t>(data.size())},
                          data});
  return {Cat({H("90 C2 00 00 FA"), Bytes(apdu.begin(), apdu.begin() + 250)}),
          Cat({H("90 C2 00 00"), {static_cast<std::uint8_t>(apdu.size() - 250)},
               Bytes(apdu.begin() + 250, apdu.end())})};
}

std::vector<Bytes> Join(std::initializer_list<std::vector<Bytes>> parts) {
  std::vector<Bytes> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

const Bytes kPin4 = Ascii("1234");
const Bytes kNewPin4 = Ascii("9876");
const Bytes kPuk = Ascii("1234567890123456");
const Bytes kModulus256 = Counting(256, 0x40);

struct CommandCase {
  const char* what;
  // Runs the command; returns what it returned (CKR_OK for none).
  std::function<CK_RV(comm::CCommunicator&)> run;
  std::map<Bytes, Bytes> answers;  // by command; every other command: 9000
  std::vector<Bytes> sent;         // exactly these, in order
  CK_RV raised;                    // CKR_OK: none
  CK_RV returned = CKR_OK;
};

class CommandsTest : public CommTest {
 protected:
  void Run(std::uint8_t kind, const std::vector<CommandCase>& cases) {
    for (const CommandCase& k : cases) {
      SCOPED_TRACE(k.what);
      card_ = FakeScard::Table(k.answers, Sw(0x9000));
      auto c = Comm(kind);
      CK_RV returned = CKR_OK;
      EXPECT_EQ(RaisedBy([&] { returned = k.run(*c); }), k.raised);
      EXPECT_EQ(returned, k.returned);
      const std::vector<Bytes> sent = Sent();
      EXPECT_EQ(sent.size(), k.sent.size());
      for (std::size_t i = 0; i < std::min(sent.size(), k.sent.size()); ++i)
        EXPECT_EQ(testing::ToHex(sent[i]), testing::ToHex(k.sent[i])) << "command " << i;
    }
  }
};

// ---------------------------------------------------------------- PIN

// The PIN commands are the same on the three kinds (the national ID card's
// run them inside its channel, below).
std::vector<CommandCase> PinCases() {
  const auto verify = [](Bytes pin) {
    return [pin](comm::CCommunicator& c) {
      c.VerifyPin(pin);
      return CKR_OK;
    };
  };
  const auto tries = [](std::uint16_t expected) {
    return [expected](comm::CCommunicator& c) {
      EXPECT_EQ(c.GetPinTries(), expected);
      return CKR_OK;
    };
  };
  const auto tooMany = [](comm::CCommunicator& c) {
    EXPECT_GT(c.GetPinTries(), 2u);
    return CKR_OK;
  };
  const auto change = [](Bytes oldPin, Bytes newPin) {
    return [oldPin, newPin](comm::CCommunicator& c) {
      c.ChangePin(oldPin, newPin, 1);
      return CKR_OK;
    };
  };
  const auto unblock = [](Bytes code, std::optional<Bytes> newPin) {
    return [code, newPin](comm::CCommunicator& c) {
      if (newPin)
        c.ResetRetryCounter(code, ByteView(*newPin));
      else
        c.ResetRetryCounter(code, std::nullopt);
      return CKR_OK;
    };
  };
  const Bytes verify4 = Cat({H("00 20 00 00 04"), kPin4});
  const Bytes query = H("00 20 00 00 00");
  const Bytes change44 = Cat({H("90 24 00 00 0B 01 04"), kPin4, H("04"), kNewPin4});
  const Bytes unblock4 = Cat({H("90 2C 00 00 15"), kPuk, H("04"), kNewPin4});
  const Bytes unblock0 = Cat({H("90 2C 00 00 10"), kPuk});
  return {
      {"VERIFY 4 digits", verify(kPin4), {}, {verify4}, CKR_OK},
      {"VERIFY 16 digits", verify(Bytes(16, '1')), {}, {Cat({H("00 20 00 00 10"), Bytes(16, '1')})},
       CKR_OK},
      {"VERIFY 3 digits", verify(Ascii("123")), {}, {}, CKR_PIN_LEN_RANGE},
      {"VERIFY 17 digits", verify(Bytes(17, '1')), {}, {}, CKR_PIN_LEN_RANGE},
      {"VERIFY wrong", verify(kPin4), {{verify4, Sw(0x63C2)}}, {verify4}, CKR_PIN_INCORRECT},
      {"VERIFY last try gone", verify(kPin4), {{verify4, Sw(0x63C0)}}, {verify4},
       CKR_PIN_INCORRECT},
      {"VERIFY blocked", verify(kPin4), {{verify4, Sw(0x6983)}}, {verify4}, CKR_PIN_LOCKED},
      {"VERIFY other refusal", verify(kPin4), {{verify4, Sw(0x6A82)}}, {verify4}, CKR_DEVICE_ERROR},
      {"counter by empty VERIFY", verify({}), {{query, Sw(0x63C3)}}, {query}, 0x801063C3UL},
      {"tries 3", tries(3), {{query, Sw(0x63C3)}}, {query}, CKR_OK},
      {"tries 0 (63C0)", tries(0), {{query, Sw(0x63C0)}}, {query}, CKR_OK},
      {"tries 0 (6983)", tries(0), {{query, Sw(0x6983)}}, {query}, CKR_OK},
      {"tries: verified already", tooMany, {{query, Sw(0x9000)}}, {query}, CKR_OK},
      {"tries refused", tries(0), {{query, Sw(0x6A82)}}, {query}, CKR_DEVICE_ERROR},
      {"change 4 to 4", change(kPin4, kNewPin4), {},
       {kSelectMf, kSelectPinFile, change44}, CKR_OK},
      {"change wrong", change(kPin4, kNewPin4), {{change44, Sw(0x63C1)}},
       {kSelectMf, kSelectPinFile, change44}, CKR_PIN_INCORRECT},
      {"change blocked", change(kPin4, kNewPin4), {{change44, Sw(0x6983)}},
       {kSelectMf, kSelectPinFile, change44}, CKR_PIN_LOCKED},
      {"change refused", change(kPin4, kNewPin4), {{change44, Sw(0x6A80)}},
       {kSelectMf, kSelectPinFile, change44}, CKR_DEVICE_ERROR},
      {"change to 17 digits", change(kPin4, Bytes(17, '1')), {}, {}, CKR_PIN_LEN_RANGE},
      {"unblock with a new PIN", unblock(kPuk, kNewPin4), {},
       {kSelectMf, kSelectPinFile, unblock4}, CKR_OK},
      {"unblock only", unblock(kPuk, std::nullopt), {}, {kSelectMf, kSelectPinFile, unblock0},
       CKR_OK},
      {"unblock with a 15-byte code", unblock(Bytes(15, '1'), kNewPin4), {}, {}, CKR_DATA_INVALID},
      {"unblock with a 3-digit PIN", unblock(kPuk, Ascii("123")), {}, {}, CKR_PIN_LEN_RANGE},
      {"unblock refused", unblock(kPuk, std::nullopt), {{unblock0, Sw(0x63C9)}},
       {kSelectMf, kSelectPinFile, unblock0}, 0x801063C9UL},
  };
}

TEST_F(CommandsTest, PinCommandsOnThePlainCommunicator) { Run(0, PinCases()); }
TEST_F(CommandsTest, PinCommandsOnTheCardFamily10Communicator) { Run(2, PinCases()); }

TEST_F(CommandsTest, PinFailuresOfTheTransport) {
  auto c = Comm();
  fake_.FailNext("Transmit", SCARD_E_COMM_DATA_LOST);
  EXPECT_EQ(RaisedBy([&] { c->VerifyPin(kPin4); }), CKR_DEVICE_ERROR);
  c = Comm();
  fake_.FailNext("Transmit", SCARD_W_REMOVED_CARD);
  EXPECT_EQ(RaisedBy([&] { c->GetPinTries(); }), CKR_SESSION_HANDLE_INVALID);
}

// Signing and on-card verification turn the card's refusals into
// CKR_DATA_INVALID, but a card pulled out stays CKR_SESSION_HANDLE_INVALID
// (else the token's sessions would outlive it); other transport failures are
// refusals like the card's.
TEST_F(CommandsTest, SigningFailuresOfTheTransport) {
  const std::function<void(comm::CCommunicator&)> signs[] = {
      [](comm::CCommunicator& c) {
        TestMech mech(5, 1024, true);
        Bytes signature;
        c.Sign(mech, Ascii("abc"), signature);
      },
      [](comm::CCommunicator& c) {
        TestMech mech(5, 1024, true);
        c.VerifyOnCard(mech, Ascii("abc"), Bytes(128, 0x11));
      },
  };
  for (const auto& run : signs) {
    for (const auto& [failure, expected] :
         {std::pair<LONG, CK_RV>{SCARD_W_REMOVED_CARD, CKR_SESSION_HANDLE_INVALID},
          std::pair<LONG, CK_RV>{SCARD_E_COMM_DATA_LOST, CKR_DATA_INVALID}}) {
      auto c = Comm();
      fake_.FailNext("Transmit", failure);
      EXPECT_EQ(p11::to_string(RaisedBy([&] { run(*c); })), p11::to_string(expected));
    }
  }
}

// ---------------------------------------------------------------- plain

TEST_F(CommandsTest, KeyCommandsOnThePlainCommunicator) {
  const Bytes digestInfo = [] {
    const Bytes abc = Ascii("abc");
    SecureBytes d(abc.begin(), abc.end());
    TestMech(1, 1024, true).FormatData(d);
    return Bytes(d.begin(), d.end());
  }();
  const Bytes load128 = Cat({H("90 58 00 00 80"), testing::PadType1(digestInfo, 128)});
  const std::vector<Bytes> load256 = Envelopes(H("90 58 00 00"), testing::PadType1(digestInfo, 256));
  const auto sign = [](unsigned modulus, std::size_t expectedLength) {
    return [=](comm::CCommunicator& c) {
      TestMech mech(5, modulus, true);
      Bytes signature;
      c.Sign(mech, Ascii("abc"), signature);
      EXPECT_EQ(signature.size(), expectedLength);
      return CKR_OK;
    };
  };
  const Bytes signature128 = Counting(128, 0x80);
  const Bytes verifyOnCard = Cat({H("90 5E 80 05 80"), signature128});
  const auto verify = [signature128](comm::CCommunicator& c) {
    TestMech mech(5, 1024, true);
    c.VerifyOnCard(mech, Ascii("abc"), signature128);
    return CKR_OK;
  };

  // Decipher: the card answers a full block (padding removed here) or the
  // data alone (removed by the card).
  const Bytes ciphertext = Counting(128, 0x01);
  const Bytes decipher = Cat({H("90 74 40 05 80"), ciphertext});
  const Bytes secret = H("C0 FF EE");
  Bytes fullBlock(128, 0x5A);
  fullBlock[0] = 0x00;
  fullBlock[1] = 0x02;
  fullBlock[128 - secret.size() - 1] = 0x00;
  std::copy(secret.begin(), secret.end(), fullBlock.end() - 3);
  Bytes badBlock = fullBlock;
  badBlock[1] = 0x03;
  const auto decipherTo = [ciphertext](Bytes expected) {
    return [ciphertext, expected](comm::CCommunicator& c) {
      SecureBytes plain;
      c.Decipher(5, ciphertext, plain);
      EXPECT_EQ(Bytes(plain.begin(), plain.end()), expected);
      return CKR_OK;
    };
  };
  const Bytes getResponse80 = H("00 C0 00 00 80");

  const auto challenge = [](comm::CCommunicator& c) {
    std::uint8_t buffer[46] = {};
    c.GetChallenge(45, buffer);
    const Bytes got(buffer, buffer + 46);
    EXPECT_EQ(got, Cat({Counting(20, 0x01), Counting(20, 0x01), Counting(5, 0x01), H("00")}));
    return CKR_OK;
  };
  const Bytes getChallenge = H("00 84 00 00 14");

  const auto put = [](unsigned usage, std::uint8_t tag, Bytes value) {
    return [=](comm::CCommunicator& c) { return c.PutKeyComponent(usage, tag, value, 5); };
  };
  const Bytes store256Data = Cat({H("14 82 01 00"), kModulus256});
  const std::vector<Bytes> store256 = Envelopes(H("90 50 C0 05"), store256Data);
  const Bytes storeP = Cat({H("90 52 80 05 42 02 40"), Counting(64)});

  const auto generate = [](comm::CCommunicator& c) {
    return c.GenerateKeyPair(comm::kUsageSign, 1024, H("01 00 01"), 5);
  };
  const Bytes generate1024 = H("90 76 80 05 09 80 02 04 00 82 03 01 00 01");
  const auto erase = [](comm::CCommunicator& c) { return c.EraseKey(comm::kUsageSign, 5); };
  const Bytes erase5 = H("90 54 80 05 00");
  const auto keyFile = [](comm::CCommunicator& c) {
    Bytes path;
    EXPECT_EQ(c.GetKeyFile(2 | 4, 5, path), 0x0400);
    EXPECT_EQ(path, H("3F 11 01 05"));
    return CKR_OK;
  };
  const auto readKey = [](comm::CCommunicator& c) {
    Bytes exponent, modulus;
    c.ReadPublicKey(5, exponent, modulus);
    EXPECT_EQ(exponent, H("01 00 01"));
    EXPECT_EQ(modulus, H("C1 C2"));
    return CKR_OK;
  };

  Run(0, {
      {"sign, 2048 bits stored as bits", sign(2048, 256),
       {{H("90 5A 80 05 00"), Cat({Bytes(256, 0x11), Sw(0x9000)})}},
       Join({load256, {H("90 5A 80 05 00")}}), CKR_OK},
      {"sign, stored as 128 bytes", sign(128, 128),
       {{H("90 5A 80 05 80"), Cat({signature128, Sw(0x9000)})}},
       {load128, H("90 5A 80 05 80")}, CKR_OK},
      {"sign, 1024 bits", sign(1024, 128),
       {{H("90 5A 80 05 80"), Cat({signature128, Sw(0x9000)})}},
       {load128, H("90 5A 80 05 80")}, CKR_OK},
      {"sign refused 6300", sign(1024, 0), {{H("90 5A 80 05 80"), Sw(0x6300)}},
       {load128, H("90 5A 80 05 80")}, CKR_SIGNATURE_INVALID},
      {"sign without login", sign(1024, 0), {{H("90 5A 80 05 80"), Sw(0x6982)}},
       {load128, H("90 5A 80 05 80")}, CKR_DATA_INVALID},
      {"block refused", sign(1024, 0), {{load128, Sw(0x6A80)}}, {load128}, CKR_DATA_INVALID},
      {"verify on card", verify, {}, {load128, verifyOnCard}, CKR_OK},
      {"verify on card: wrong", verify, {{verifyOnCard, Sw(0x6300)}}, {load128, verifyOnCard},
       CKR_SIGNATURE_INVALID},
      {"verify on card: refused", verify, {{verifyOnCard, Sw(0x6A88)}}, {load128, verifyOnCard},
       CKR_DATA_INVALID},
      {"decipher, card removed the padding", decipherTo(secret),
       {{decipher, H("61 03")}, {H("00 C0 00 00 03"), Cat({secret, Sw(0x9000)})}},
       {decipher, H("00 C0 00 00 03")}, CKR_OK},
      {"decipher, full block", decipherTo(secret),
       {{decipher, H("61 80")}, {getResponse80, Cat({fullBlock, Sw(0x9000)})}},
       {decipher, getResponse80}, CKR_OK},
      {"decipher, block of an unknown type", decipherTo({}),
       {{decipher, H("61 80")}, {getResponse80, Cat({badBlock, Sw(0x9000)})}},
       {decipher, getResponse80}, CKR_ENCRYPTED_DATA_INVALID},
      {"decipher 6A80", decipherTo({}), {{decipher, Sw(0x6A80)}}, {decipher},
       CKR_ENCRYPTED_DATA_INVALID},
      {"decipher 6A88", decipherTo({}), {{decipher, Sw(0x6A88)}}, {decipher}, CKR_DEVICE_ERROR},
      {"decipher 6982", decipherTo({}), {{decipher, Sw(0x6982)}}, {decipher}, 0x80106982UL},
      {"45 random bytes", challenge, {{getChallenge, Cat({Counting(20, 0x01), Sw(0x9000)})}},
       {getChallenge, getChallenge, getChallenge}, CKR_OK},
      {"random bytes cut short", challenge, {{getChallenge, Cat({Counting(8), Sw(0x9000)})}},
       {getChallenge}, CKR_DEVICE_ERROR},
      {"256-byte modulus", put(1 | 4 | 8, 0x14, kModulus256), {}, Join({{kSelectCrypto}, store256}),
       CKR_OK},
      {"a prime", put(2 | 4, 0x02, Counting(64)), {}, {kSelectCrypto, storeP}, CKR_OK},
      {"a prime without login", put(2 | 4, 0x02, Counting(64)), {{storeP, Sw(0x6982)}},
       {kSelectCrypto, storeP}, CKR_USER_NOT_LOGGED_IN},
      {"a prime, no room (6A88)", put(2 | 4, 0x02, Counting(64)), {{storeP, Sw(0x6A88)}},
       {kSelectCrypto, storeP}, CKR_OK, CKR_DEVICE_MEMORY},
      {"a prime, no room (6985)", put(2 | 4, 0x02, Counting(64)), {{storeP, Sw(0x6985)}},
       {kSelectCrypto, storeP}, CKR_OK, CKR_DEVICE_MEMORY},
      {"a prime, no key file", put(2 | 4, 0x02, Counting(64)), {{storeP, Sw(0x6A82)}},
       {kSelectCrypto, storeP}, CKR_DEVICE_MEMORY},
      {"generate 1024 bits", generate, {},
       {kSelectCrypto, Select(0x0105), kActivate, generate1024, kActivate}, CKR_OK},
      {"generate, file deactivated", generate, {{kActivate, Sw(0x6283)}},
       {kSelectCrypto, Select(0x0105), kActivate, generate1024, kActivate}, CKR_OK},
      {"generate, no room (6A88)", generate, {{generate1024, Sw(0x6A88)}},
       {kSelectCrypto, Select(0x0105), kActivate, generate1024}, CKR_OK, CKR_DEVICE_MEMORY},
      {"generate, no memory (6A84)", generate, {{generate1024, Sw(0x6A84)}},
       {kSelectCrypto, Select(0x0105), kActivate, generate1024}, CKR_DEVICE_MEMORY},
      {"generate without login", generate, {{kActivate, Sw(0x6982)}},
       {kSelectCrypto, Select(0x0105), kActivate}, CKR_DEVICE_ERROR},
      {"erase", erase, {}, {kSelectCrypto, Select(0x0105), kActivate, erase5}, CKR_OK},
      {"erase, nothing there (6A88)", erase, {{erase5, Sw(0x6A88)}},
       {kSelectCrypto, Select(0x0105), kActivate, erase5}, CKR_OK, CKR_DEVICE_MEMORY},
      {"erase, no key file (6A82)", erase, {{erase5, Sw(0x6A82)}},
       {kSelectCrypto, Select(0x0105), kActivate, erase5}, CKR_DEVICE_ERROR},
      {"erase without login", erase, {{erase5, Sw(0x6982)}},
       {kSelectCrypto, Select(0x0105), kActivate, erase5}, 0x80106982UL},
      {"key file", keyFile, {{Select(0x0105), Cat({kFci, Sw(0x9000)})}},
       {kSelectCrypto, Select(0x0105)}, CKR_OK},
      {"public key", readKey,
       {{H("90 56 80 05 01 12"), H("61 03")},
        {H("00 C0 00 00 03"), H("01 00 01 90 00")},
        {H("90 56 80 05 01 14"), H("C1 C2 90 00")}},
       {kSelectCrypto, H("90 56 80 05 01 12"), H("00 C0 00 00 03"), H("90 56 80 05 01 14")},
       CKR_OK},
      {"public key of no key", readKey, {{H("90 56 80 05 01 12"), Sw(0x6A88)}},
       {kSelectCrypto, H("90 56 80 05 01 12")}, CKR_DEVICE_ERROR},
  });

  auto c = Comm();
  EXPECT_EQ(RaisedBy([&] { c->GetChallenge(1, nullptr); }), CKR_ARGUMENTS_BAD);
  EXPECT_EQ(c->FirstKeyReference(), 1);
  EXPECT_EQ(c->LastKeyReference(), 32);
}

// ---------------------------------------------------------------- family 1.0

TEST_F(CommandsTest, KeyCommandsOnTheCardFamily10Communicator) {
  const auto keyFile = [](unsigned usage, std::uint8_t xx) {
    return [=](comm::CCommunicator& c) {
      Bytes path;
      EXPECT_EQ(c.GetKeyFile(usage, 40, path), 0x0400);
      EXPECT_EQ(path, Cat({H("3F 11 3F"), {xx}}));
      return CKR_OK;
    };
  };
  const auto withFci = [](std::uint8_t xx) {
    return std::map<Bytes, Bytes>{{Select(static_cast<std::uint16_t>(0x3F00 | xx)),
                                   Cat({kFci, Sw(0x9000)})}};
  };
  const auto put = [](unsigned usage, std::uint8_t tag, Bytes value) {
    return [=](comm::CCommunicator& c) { return c.PutKeyComponent(usage, tag, value, 40); };
  };
  const Bytes modulusData = Cat({H("14 00"), kModulus256});
  const auto generate = [](comm::CCommunicator& c) {
    return c.GenerateKeyPair(4, 2048, H("01 00 01"), 40);
  };
  const Bytes generate40 = H("90 76 80 28 03 01 00 01");
  const auto erase = [](unsigned usage) {
    return [=](comm::CCommunicator& c) { return c.EraseKey(usage, 40); };
  };
  const Bytes eraseSign = H("90 54 80 28 00"), eraseDecrypt = H("90 54 40 28 00");

  Run(2, {
      {"key file, private signature key (usage 6)", keyFile(6, 0x73), withFci(0x73),
       {kSelectCrypto, Select(0x3F73)}, CKR_OK},
      {"key file, public decryption key (usage 9)", keyFile(9, 0x78), withFci(0x78),
       {kSelectCrypto, Select(0x3F78)}, CKR_OK},
      {"key file, private decryption key", keyFile(2 | 8, 0x77), withFci(0x77),
       {kSelectCrypto, Select(0x3F77)}, CKR_OK},
      {"key file, both parts: the public one", keyFile(1 | 2 | 4, 0x74), withFci(0x74),
       {kSelectCrypto, Select(0x3F74)}, CKR_OK},
      {"key file, short answer", keyFile(6, 0x73), {}, {kSelectCrypto, Select(0x3F73)},
       CKR_DEVICE_ERROR},
      {"256-byte modulus for both usages", put(1 | 4 | 8, 0x14, kModulus256), {},
       Join({{kSelectCrypto}, Envelopes(H("90 50 40 28"), modulusData),
             Envelopes(H("90 50 80 28"), modulusData)}),
       CKR_OK},
      {"a prime for signing", put(2 | 4, 0x02, Counting(64)), {},
       {kSelectCrypto, Cat({H("90 52 80 28 42 02 40"), Counting(64)})}, CKR_OK},
      {"a component for no usage", put(2, 0x02, Counting(64)), {}, {kSelectCrypto}, CKR_OK},
      {"generate: the exponent only", generate, {}, {kSelectCrypto, generate40}, CKR_OK},
      {"generate, no room", generate, {{generate40, Sw(0x6A88)}}, {kSelectCrypto, generate40},
       CKR_OK, CKR_DEVICE_MEMORY},
      {"erase both usages", erase(4 | 8), {}, {kSelectCrypto, eraseSign, eraseDecrypt}, CKR_OK},
      {"erase, nothing there is fine", erase(4 | 8), {{eraseSign, Sw(0x6A88)}},
       {kSelectCrypto, eraseSign, eraseDecrypt}, CKR_OK},
      {"erase, no memory", erase(8), {{eraseDecrypt, Sw(0x6A84)}}, {kSelectCrypto, eraseDecrypt},
       CKR_DEVICE_MEMORY},
  });

  auto c = Comm(2);
  EXPECT_EQ(c->FirstKeyReference(), 32);
  EXPECT_EQ(c->LastKeyReference(), 48);
}

// ---------------------------------------------------------------- national ID

TEST_F(CommandsTest, KeyCommandsOnTheNationalIdCommunicatorWithItsChannelClosed) {
  const auto sign = [](comm::CCommunicator& c) {
    TestMech mech(3, 1024, true);
    Bytes signature;
    c.Sign(mech, Ascii("abc"), signature);
    EXPECT_EQ(signature, H("AA BB"));
    return CKR_OK;
  };
  const Bytes digestInfo = [] {
    const Bytes abc = Ascii("abc");
    SecureBytes d(abc.begin(), abc.end());
    TestMech(3, 1024, true).FormatData(d);
    return Bytes(d.begin(), d.end());
  }();
  const Bytes mse = H("00 22 41 B6 04 84 02 01 03");
  const Bytes pso = Cat({H("00 2A 9E 9A 23"), digestInfo});
  const auto keyFile = [](comm::CCommunicator& c) {
    Bytes path;
    EXPECT_EQ(c.GetKeyFile(6, 3, path), 0x0400);
    EXPECT_EQ(path, H("3F 11 01 03"));
    return CKR_OK;
  };
  const auto decipher = [](comm::CCommunicator& c) {
    SecureBytes plain;
    c.Decipher(3, Counting(256), plain);
    EXPECT_EQ(Bytes(plain.begin(), plain.end()), H("01 02"));
    return CKR_OK;
  };
  const std::vector<Bytes> decipherEnvelopes = Envelopes(H("90 74 40 03"), Counting(256));

  Run(1, {
      {"sign: the card pads", sign, {{pso, H("AA BB 90 00")}}, {mse, pso}, CKR_OK},
      {"sign refused", sign, {{pso, Sw(0x6982)}}, {mse, pso}, 0x80106982UL},
      {"key file", keyFile, {{Select(0x0103), Cat({kFci, Sw(0x9000)})}},
       {kSelectCrypto, Select(0x0103)}, CKR_OK},
      {"decipher 256 bytes", decipher,
       {{decipherEnvelopes[1], H("61 02")}, {H("00 C0 00 00 02"), H("01 02 90 00")}},
       Join({decipherEnvelopes, {H("00 C0 00 00 02")}}), CKR_OK},
  });
}

// The national ID card's commands inside the channel, against the virtual
// card: what the card computes is checked with the key it holds.
class ChannelCommandsTest : public VirtualCardTest,
                            public ::testing::WithParamInterface<const char*> {
 protected:
  void SetUp() override {
    VirtualCardTest::SetUp();
    UseCard(GetParam());
  }
};

TEST_P(ChannelCommandsTest, SigningDecipheringAndRandomBytesTravelProtected) {
  auto c = Vexa();
  c->VerifyPin(Ascii(card->profile().pin));
  ASSERT_TRUE(c->ChannelOpen());
  const sim::KeySpec& key = card->profile().keys.front();
  const CryptoPP::Integer n(key.modulus.data(), key.modulus.size());
  const CryptoPP::Integer e(key.publicExponent.data(), key.publicExponent.size());
  const std::size_t k = n.MinEncodedSize();

  fake_.ClearApdus();
  TestMech mech(key.reference, static_cast<unsigned>(k * 8), true);
  Bytes signature;
  c->Sign(mech, Ascii("abc"), signature);
  CryptoPP::RSASS<CryptoPP::PKCS1v15, CryptoPP::SHA1>::Verifier verifier(n, e);
  EXPECT_TRUE(verifier.VerifyMessage(reinterpret_cast<const CryptoPP::byte*>("abc"), 3,
                                     signature.data(), signature.size()));
  for (const Bytes& sent : Sent()) {
    if (sent[1] != 0xC0) {
      EXPECT_EQ(sent[0] & 0x0C, 0x0C) << testing::ToHex(sent);
    }
  }

  // Deciphering a PKCS#1 block of the card's key.
  const Bytes secret = H("0F 1E 2D 3C");
  Bytes block(k, 0x77);
  block[0] = 0x00;
  block[1] = 0x02;
  block[k - secret.size() - 1] = 0x00;
  std::copy(secret.begin(), secret.end(), block.end() - 4);
  const CryptoPP::Integer m(block.data(), block.size());
  Bytes ciphertext(k);
  a_exp_b_mod_c(m, e, n).Encode(ciphertext.data(), k);
  SecureBytes plain;
  c->Decipher(key.reference, ciphertext, plain);
  EXPECT_EQ(Bytes(plain.begin(), plain.end()), secret) << "the card removes the padding";

  Bytes random(45);
  c->GetChallenge(random.size(), random.data());
  EXPECT_NE(random, Bytes(45, 0x00));
  EXPECT_TRUE(c->ChannelOpen());
}

TEST_P(ChannelCommandsTest, ChangeAndUnblockThePinInsideTheChannel) {
  const Bytes pin = Ascii(card->profile().pin);
  const Bytes puk = Ascii(card->profile().puk);
  const Bytes newPin = Ascii("24682468");
  auto c = Vexa();
  c->ChangePin(pin, newPin, 1);
  EXPECT_EQ(card->CurrentPin(), "24682468");
  EXPECT_EQ(RaisedBy([&] { c->ChangePin(pin, newPin, 1); }), CKR_PIN_INCORRECT);
  EXPECT_EQ(card->PinTriesLeft(), 2);

  card->BlockPin();
  EXPECT_EQ(c->GetPinTries(), 0u);
  EXPECT_EQ(RaisedBy([&] { c->VerifyPin(newPin); }), CKR_PIN_LOCKED);
  EXPECT_EQ(RaisedBy([&] { c->ResetRetryCounter(Bytes(16, '9'), std::nullopt); }), 0x801063C9UL);
  c->ResetRetryCounter(puk, ByteView(pin));
  EXPECT_EQ(card->CurrentPin(), card->profile().pin);
  EXPECT_EQ(c->GetPinTries(), 3u);
  c->VerifyPin(pin);
  EXPECT_TRUE(card->PinVerified());
  EXPECT_TRUE(c->ChannelOpen());
}

INSTANTIATE_TEST_SUITE_P(Profiles, ChannelCommandsTest, ::testing::Values("Vexa", "TC-ORVA4"),
                         [](const auto& info) {
                           return std::string(info.param) == "Vexa" ? "Vexa" : "TC_ORVA4";
                         });

}  // namespace
}  // namespace zorbix::commtest
