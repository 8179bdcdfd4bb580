// Secure messaging of the national ID card's communicator: protected
// commands and answers byte for byte (expected values from
// fixtures/make_sm_examples.py and from the ICAO 9303 worked example), the
// counter, and which faults close the channel.
#include <gtest/gtest.h>

#include "tests/comm/channel_fixture.h"

namespace zorbix::commtest {
namespace {

const Bytes& KEnc() { return Example("kEnc"); }
const Bytes& KMac() { return Example("kMac"); }
const Bytes& Ssc0() { return Example("ssc"); }

Bytes Plus(Bytes counter, int n) {
  while (n-- > 0)
    for (std::size_t i = counter.size(); i-- > 0;)
      if (++counter[i] != 0) break;
  return counter;
}

Bytes Plain(const SecureBytes& s) { return Bytes(s.begin(), s.end()); }

class SecureMessagingTest : public CommTest {
 protected:
  // An open channel with the fixture's keys and counter.
  std::unique_ptr<TestVexa> Open(std::uint32_t macLength = 4, const Bytes& ssc = Ssc0()) {
    auto c = std::make_unique<TestVexa>(*slot_);
    c->SetChannel(KEnc(), KMac(), ssc, macLength);
    fake_.ClearApdus();
    return c;
  }
};

// ---------------------------------------------------------------- commands

TEST_F(SecureMessagingTest, WrapCommandGivesTheExpectedProtectedCommands) {
  struct Case {
    const char* name;
    const char* shape;  // what the protected command must look like
  } const cases[] = {
      {"verify8", "0C 20 00 00 19 87 11 01 <16> 8E 04 <4>"},
      {"query", "0C 20 00 00 06 8E 04 <4>"},
      {"read", "0C B0 00 00 09 97 01 FA 8E 04 <4>"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    auto c = Open();
    const std::string name = k.name;
    SecureBytes apdu(Example(name + ".command").begin(), Example(name + ".command").end());
    c->WrapCommand(apdu);
    const Bytes& expected = Example(name + ".protected");
    EXPECT_EQ(Plain(apdu), expected) << k.shape;
    EXPECT_EQ(c->SscBytes(), Plus(Ssc0(), 1));
    // The MAC in it is the MAC of the documented input at the next counter.
    auto again = Open();
    const Bytes mac = again->ComputeMac(Example(name + ".macInput"));
    EXPECT_EQ(mac, Bytes(expected.end() - 4, expected.end()));
  }
  // The documented MAC inputs themselves: header, 80 00 00 00, then the data
  // object padded again.
  const Bytes& verify = Example("verify8.protected");
  EXPECT_EQ(Example("verify8.macInput"),
            Cat({H("0C 20 00 00 80 00 00 00"), Bytes(verify.begin() + 5, verify.begin() + 24),
                 H("80 00 00 00 00")}));
  EXPECT_EQ(Example("verify8.macInput").size(), 32u);
  EXPECT_EQ(Example("query.macInput"), H("0C 20 00 00 80 00 00 00"));
  EXPECT_EQ(Example("read.macInput"), H("0C B0 00 00 80 00 00 00 97 01 FA 80 00 00 00 00"));
}

TEST_F(SecureMessagingTest, Icao9303WorkedExampleWithEightByteMacs) {
  // ICAO Doc 9303 part 11, worked example of secure messaging after basic
  // access control (the module's commands carry no Le byte after DO 8E).
  auto c = std::make_unique<TestVexa>(*slot_);
  c->SetChannel(H("979EC13B1CBFE9DCD01AB0FED307EAE5"), H("F1CB1F1FB5ADF208806B89DC579DC1F8"),
                H("887022120C06C226"), 8);
  SecureBytes select{0x00, 0xA4, 0x02, 0x0C, 0x02, 0x01, 0x1E};
  c->WrapCommand(select);
  EXPECT_EQ(Plain(select), H("0CA4020C158709016375432908C044F68E08BF8B92D635FF24F8"));
  Bytes answer = H("990290008E08FA855A5D4C50A8ED");
  c->UnwrapResponse(answer);
  EXPECT_TRUE(answer.empty());
  EXPECT_EQ(c->LastStatus(), 0x9000);

  SecureBytes read{0x00, 0xB0, 0x00, 0x00, 0x04};
  c->WrapCommand(read);
  EXPECT_EQ(Plain(read), H("0CB000000D9701048E08ED6705417E96BA55"));
  answer = H("8709019FF0EC34F9922651990290008E08AD55CC17140B2DED");
  c->UnwrapResponse(answer);
  EXPECT_EQ(answer, H("60145F01"));
  EXPECT_EQ(c->SscBytes(), H("887022120C06C22A"));
}

TEST_F(SecureMessagingTest, CommandsOfNeitherFormAreRefused) {
  const Bytes bad[] = {
      H("00 20 00 00 05 31 32 33"),           // Lc says 5, 3 bytes follow
      H("00 20 00 00 00 00 04 31 32 33"),     // extended length says 4, 3 follow
      H("00 20 00 00 00 00"),                 // extended without data
      H("00 20 00 00"),                       // no P3
  };
  for (const Bytes& b : bad) {
    auto c = Open();
    SecureBytes apdu(b.begin(), b.end());
    EXPECT_EQ(RaisedBy([&] { c->WrapCommand(apdu); }), CKR_DATA_INVALID) << testing::ToHex(b);
  }
  // Through TransmitApdu the refusal closes the channel; nothing is sent.
  auto c = Open();
  Bytes response;
  EXPECT_EQ(RaisedBy([&] { c->TransmitApdu(bad[0], response, comm::kSwOk); }), CKR_DATA_INVALID);
  EXPECT_FALSE(c->ChannelOpen());
  EXPECT_TRUE(c->KeysEmpty());
  EXPECT_TRUE(Sent().empty());
}

TEST_F(SecureMessagingTest, ComputeMacNeedsWholeBlocksAndKeys) {
  auto c = Open();
  EXPECT_EQ(RaisedBy([&] { c->ComputeMac(Bytes(12)); }), CKR_DATA_INVALID);
  auto unkeyed = std::make_unique<TestVexa>(*slot_);
  unkeyed->SetChannel(Bytes(8), KMac(), Ssc0(), 4);
  EXPECT_EQ(RaisedBy([&] { unkeyed->ComputeMac(Bytes(8)); }), CKR_DATA_INVALID);
}

// ---------------------------------------------------------------- answers

TEST_F(SecureMessagingTest, UnwrapResponseChecksEveryDataObject) {
  const Bytes good = Example("verify8.answer9000");
  Bytes badMac = good;
  badMac.back() ^= 0x01;
  struct Case {
    const char* what;
    Bytes answer;
    std::uint32_t macLength;
    CK_RV rv;
    Bytes data;
    std::uint16_t sw;
  } const cases[] = {
      {"status only", good, 4, CKR_OK, {}, 0x9000},
      {"wrong PIN", Example("verify8.answer63C1"), 4, CKR_OK, {}, 0x63C1},
      {"data", Example("read.answer"), 4, CKR_OK, H("60145F01"), 0x9000},
      {"4-byte MAC, 8 expected", good, 8, CKR_DATA_INVALID, {}, 0},
      {"8-byte MAC, 4 expected", Example("verify8.answer9000mac8"), 4, CKR_DATA_INVALID, {}, 0},
      {"MAC mismatch", badMac, 4, CKR_DATA_INVALID, {}, 0},
      // These three carry good MACs: their own rule refuses them.
      {"DO 87 of 16 bytes", Example("verify8.answerDo87Of16"), 4, CKR_DATA_INVALID, {}, 0},
      {"DO 87 indicator 02", Example("verify8.answerIndicator02"), 4, CKR_DATA_INVALID, {}, 0},
      {"DO 99 of 3 bytes", Example("verify8.answerDo99Of3"), 4, CKR_DATA_INVALID, {}, 0},
      {"no DO 99", H("8E 04 01 02 03 04"), 4, CKR_DATA_INVALID, {}, 0},
      {"no DO 8E", H("99 02 90 00"), 4, CKR_DATA_INVALID, {}, 0},
      {"DO 8E cut short", H("99 02 90 00 8E 04 01 02"), 4, CKR_DATA_INVALID, {}, 0},
      {"empty", {}, 4, CKR_DATA_INVALID, {}, 0},
      {"no padding inside", Example("read.answerUnpadded"), 4, CKR_DATA_INVALID, {}, 0},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    // The answers follow one command: the counter stands one above the start.
    auto c = Open(k.macLength, Plus(Ssc0(), 1));
    Bytes answer = k.answer;
    EXPECT_EQ(RaisedBy([&] { c->UnwrapResponse(answer); }), k.rv);
    if (k.rv == CKR_OK) {
      EXPECT_EQ(answer, k.data);
      EXPECT_EQ(c->LastStatus(), k.sw);
    }
  }
}

TEST_F(SecureMessagingTest, EveryCutOrAlteredByteOfAnAnswerIsRefused) {
  const Bytes& good = Example("read.answer");
  for (std::size_t n = 0; n < good.size(); ++n) {
    auto c = Open(4, Plus(Ssc0(), 1));
    Bytes cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n));
    ASSERT_EQ(RaisedBy([&] { c->UnwrapResponse(cut); }), CKR_DATA_INVALID) << "cut at " << n;
  }
  for (std::size_t i = 0; i < good.size(); ++i) {
    auto c = Open(4, Plus(Ssc0(), 1));
    Bytes altered = good;
    altered[i] ^= 0x01;
    ASSERT_EQ(RaisedBy([&] { c->UnwrapResponse(altered); }), CKR_DATA_INVALID) << "byte " << i;
  }
}

// ---------------------------------------------------------------- exchanges

struct ExchangeCase {
  const char* what;
  Bytes first;        // the card's answer to the protected VERIFY
  Bytes getResponse;  // its answer to GET RESPONSE, status word included (empty: none)
  CK_RV rv;
  bool stillOpen;
};

TEST_F(SecureMessagingTest, ProtectionFaultsCloseTheChannelCardStatusesDoNot) {
  const Bytes& ok = Example("verify8.answer9000");
  const Bytes& wrongPin = Example("verify8.answer63C1");
  const Bytes& mac8 = Example("verify8.answer9000mac8");
  Bytes badMac = ok;
  badMac.back() ^= 0x01;
  const Bytes& do87 = Example("verify8.answerDo87Of16");
  const auto announce = [](const Bytes& a) {
    return Bytes{0x61, static_cast<std::uint8_t>(a.size())};
  };
  const auto answered = [](const Bytes& a) { return Cat({a, Sw(0x9000)}); };
  const ExchangeCase cases[] = {
      {"good answer", announce(ok), answered(ok), CKR_OK, true},
      {"wrong PIN inside a good answer", announce(wrongPin), answered(wrongPin), 0x801063C1UL,
       true},
      {"MAC mismatch", announce(badMac), answered(badMac), CKR_DATA_INVALID, false},
      {"DO 87 a multiple of 8 long", announce(do87), answered(do87), CKR_DATA_INVALID, false},
      {"DO 8E of 8 bytes", announce(mac8), answered(mac8), CKR_DATA_INVALID, false},
      {"no 61xx: 6988", H("69 88"), {}, 0x80106988UL, false},
      {"no 61xx: 9000", H("90 00"), {}, 0x80109000UL, false},
      {"GET RESPONSE refused", H("61 0A"), Sw(0x6A82), 0x80106A82UL, false},
  };
  for (const ExchangeCase& k : cases) {
    SCOPED_TRACE(k.what);
    std::vector<std::pair<Bytes, Bytes>> script = {{Example("verify8.protected"), k.first}};
    if (!k.getResponse.empty())
      script.push_back({Cat({H("00 C0 00 00"), {k.first[1]}}), k.getResponse});
    card_ = FakeScard::Scripted(script);
    auto c = Open();
    Bytes response;
    EXPECT_EQ(RaisedBy([&] { c->TransmitApdu(Example("verify8.command"), response, comm::kSwOk); }),
              k.rv);
    EXPECT_EQ(c->ChannelOpen(), k.stillOpen);
    EXPECT_EQ(c->KeysEmpty(), !k.stillOpen);
    if (k.stillOpen) {
      EXPECT_EQ(c->SscBytes(), Plus(Ssc0(), 2)) << "one MAC each way";
    }
    EXPECT_EQ(Sent().size(), script.size());
  }
}

TEST_F(SecureMessagingTest, TransportFailureClosesTheChannel) {
  auto c = Open();
  fake_.FailNext("Transmit", SCARD_E_COMM_DATA_LOST);
  Bytes response;
  EXPECT_EQ(RaisedBy([&] { c->TransmitApdu(Example("verify8.command"), response, comm::kSwOk); }),
            CKR_DEVICE_ERROR);
  EXPECT_FALSE(c->ChannelOpen());
  EXPECT_TRUE(c->KeysEmpty());
}

TEST_F(SecureMessagingTest, WrongPinInsideTheChannelIsPinIncorrectAndKeepsIt) {
  const Bytes& wrongPin = Example("verify8.answer63C1");
  card_ = FakeScard::Scripted({{Example("verify8.protected"), H("61 0A")},
                               {H("00 C0 00 00 0A"), Cat({wrongPin, Sw(0x9000)})}});
  auto c = Open();
  const Bytes pin = {'1', '2', '3', '4', '5', '6', '7', '8'};
  EXPECT_EQ(RaisedBy([&] { c->VerifyPin(pin); }), CKR_PIN_INCORRECT);
  EXPECT_TRUE(c->ChannelOpen());
}

TEST_F(SecureMessagingTest, LongCommandIsWrappedExtendedAndSentInTwoEnvelopes) {
  // DECIPHER of 256 bytes: 282 protected bytes, 250 in the first envelope.
  const Bytes& wrapped = Example("decipher.protected");
  ASSERT_EQ(wrapped.size(), 282u);
  ASSERT_EQ(Bytes(wrapped.begin(), wrapped.begin() + 7), H("9C 74 40 05 00 01 13"));
  const Bytes& answer = Example("decipher.answer");
  card_ = FakeScard::Scripted(
      {{Cat({H("90 C2 00 00 FA"), Bytes(wrapped.begin(), wrapped.begin() + 250)}), Sw(0x9000)},
       {Cat({H("90 C2 00 00 20"), Bytes(wrapped.begin() + 250, wrapped.end())}),
        {0x61, static_cast<std::uint8_t>(answer.size())}},
       {Cat({H("00 C0 00 00"), {static_cast<std::uint8_t>(answer.size())}}),
        Cat({answer, Sw(0x9000)})}});
  auto c = Open();
  Bytes ciphertext(256);
  for (std::size_t i = 0; i < ciphertext.size(); ++i) ciphertext[i] = static_cast<std::uint8_t>(i);
  Bytes response;
  c->SendCommand(H("90 74 40 05"), ciphertext, response, comm::kSwOk);
  EXPECT_EQ(response, H("01 02 03 04 05"));
  EXPECT_EQ(Sent().size(), 3u);
  EXPECT_TRUE(c->ChannelOpen());
  EXPECT_EQ(c->SscBytes(), Plus(Ssc0(), 2));

  // A refused envelope closes the channel like any protected exchange.
  card_ = FakeScard::Scripted({{Cat({H("90 C2 00 00 FA"), Bytes(wrapped.begin(), wrapped.begin() + 250)}),
                                Sw(0x6988)}});
  auto refused = Open();
  EXPECT_EQ(RaisedBy([&] { refused->SendCommand(H("90 74 40 05"), ciphertext, response, comm::kSwOk); }),
            0x80106988UL);
  EXPECT_FALSE(refused->ChannelOpen());
}

}  // namespace
}  // namespace zorbix::commtest
