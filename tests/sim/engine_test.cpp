// The card engine without PC/SC: command tables against the basic card.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "sim/card.h"

namespace zorbix::sim {
namespace {

std::string Exchange(Card& card, const std::string& hex) { return ToHex(card.Process(FromHex(hex)), true); }

Bytes Ascii(const std::string& s) { return Bytes(s.begin(), s.end()); }

std::string AsciiHex(const std::string& s) { return ToHex(Ascii(s)); }

struct Step {
  std::string command;   // hex
  std::string expected;  // hex, data then SW
};

// Runs each step on a fresh powered card, in order.
void RunSteps(Card& card, const std::vector<Step>& steps) {
  for (const Step& s : steps) {
    EXPECT_EQ(Exchange(card, s.command), ToHex(FromHex(s.expected), true)) << "command " << s.command;
  }
}

class EngineTest : public ::testing::Test {
 protected:
  EngineTest() : card(BasicProfile()) { card.PowerOn(); }
  Card card;
};

const std::string kSelectMf = "00A404000B" + AsciiHex("Master.File");
const std::string kSelectAid = "00A404000CA000000063504B43532D3135";
const std::string kPinOk = "0020000004" + AsciiHex("1234");
const std::string kPinBad = "0020000004" + AsciiHex("0000");
const std::string kPuk = AsciiHex("1234567890123456");

TEST(ApduParse, Cases) {
  struct Case {
    std::string hex;
    bool ok;
    std::size_t dataLen, le;
    bool hasLe;
  } cases[] = {
      {"00A40000", true, 0, 0, false},            // case 1
      {"00B0000000", true, 0, 256, true},         // case 2, Le 00 = 256
      {"00A40000025031", true, 2, 0, false},      // case 3
      {"00A4000002503100", true, 2, 256, true},   // case 4
      {"00A400000250", false, 0, 0, false},       // Lc beyond the data
      {"00A4000002503100AA", false, 0, 0, false}, // trailing bytes
      {"00A4", false, 0, 0, false},
      {"00B00000000100", true, 0, 256, true},     // extended case 2
      {"90C2000000000301020300FF", true, 3, 255, true},
  };
  for (const Case& c : cases) {
    auto a = ParseApdu(FromHex(c.hex));
    ASSERT_EQ(a.has_value(), c.ok) << c.hex;
    if (!c.ok) continue;
    EXPECT_EQ(a->data.size(), c.dataLen) << c.hex;
    EXPECT_EQ(a->hasLe, c.hasLe) << c.hex;
    EXPECT_EQ(a->le, c.le) << c.hex;
  }
}

TEST_F(EngineTest, SelectionsAnswerThroughGetResponse) {
  // Named DF: 84 L name 85 07 38 FID RA UA SIZE (size at L+9, L+10).
  const std::string mfFci = "840B" + AsciiHex("Master.File") + "8507383F0000FF0000";
  RunSteps(card, {
                     {kSelectMf, "6116"},
                     {"00C0000016", mfFci + "9000"},
                     {"00C0000016", "6985"},  // nothing pending any more
                     {kSelectAid, "6117"},
                     // EF 5031 (64 bytes, read always, update PIN, no SFI):
                     // response byte 2 is 85, size at bytes 7-8.
                     {"00A40000025031", "610C"},
                     {"00C0000005", "6F0A850801" "6107"},
                     {"00C0000007", "50310040001100" "9000"},
                 });
}

TEST_F(EngineTest, GetResponseHandsOutPiecesAndRefusesTooLongLe) {
  RunSteps(card, {
                     {kSelectAid, "6117"},
                     {"00A40000025031", "610C"},
                     {"00C0000005", "6F0A850801" "6107"},
                     {"00C0000008", "6C07"},
                     {"00C0000007", "50310040001100" "9000"},
                 });
  // Le 00 takes everything; an Le given with the command answers at once.
  RunSteps(card, {
                     {"00A40000025031", "610C"},
                     {"00C0000000", "6F0A850801503100400011009000"},
                     {"00A4000002503100", "6F0A850801503100400011009000"},
                     {"00A4000C025031", "9000"},  // P2 0C: no answer data
                 });
}

TEST_F(EngineTest, SelectionAnswerCarriesTheFileSizeForBothReaders) {
  for (const auto& [fid, size] : std::vector<std::pair<std::string, int>>{{"5031", 64},
                                                                         {"6004", 300},
                                                                         {"7001", 4}}) {
    card.Process(FromHex(kSelectAid));
    card.Process(FromHex("00A4000002" + fid));
    const Bytes r = card.Process(FromHex("00C0000000"));
    ASSERT_GE(r.size(), 11u);
    // The wizard's rule: 9000, byte 2 = 85, size at bytes 7-8.
    EXPECT_EQ(r[r.size() - 2] << 8 | r[r.size() - 1], 0x9000);
    EXPECT_EQ(r[2], 0x85);
    EXPECT_EQ(r[7] << 8 | r[8], size) << fid;
    // The module's rule: not 84, so bytes 7-8 as well.
    EXPECT_NE(r[0], 0x84);
  }
  // A named DF answers 84 L ...: the module takes the size from L+9, L+10.
  card.Process(FromHex(kSelectAid));
  const Bytes r = card.Process(FromHex("00C0000000"));
  ASSERT_EQ(r[0], 0x84);
  const std::size_t l = r[1];
  ASSERT_GE(r.size(), l + 11 + 2);
  EXPECT_EQ(r[l + 2], 0x85);
  EXPECT_EQ(r[l + 9] << 8 | r[l + 10], 0);
}

TEST_F(EngineTest, SelectByFileIdFollowsTheTree) {
  RunSteps(card, {
                     {"00A40000025015", "6117"},    // child of the MF (named DF)
                     {"00A40000026004", "610C"},    // child of 5015
                     {"00A40000027001", "610C"},    // sibling EF: same current DF
                     {"00A40000025015", "6117"},    // the DF itself
                     {"00A40000023F00", "6116"},    // the MF from anywhere
                     {"00A40000026004", "6A82"},    // not a child of the MF
                     {"00A40000023F11", "6115"},    // ICC.Crypto
                     {"00A40000025015", "6A82"},    // a sibling DF is no child
                     {"00A4040005" + AsciiHex("Nope!"), "6A82"},
                     {"00A40000035015AA", "6700"},
                     {"00A4080004" "50156004", "610C"},  // path from the MF
                     {"00A4070000", "6A86"},
                 });
}

TEST_F(EngineTest, ReadBinaryChunksEndShortAtTheEndOfTheFile) {
  card.Process(FromHex(kSelectAid));
  card.Process(FromHex("00A40000026004"));
  Bytes r = card.Process(FromHex("00B00000FA"));
  ASSERT_EQ(r.size(), 252u);
  EXPECT_EQ(r[0], 0x00);
  EXPECT_EQ(r[249], 249);
  r = card.Process(FromHex("00B000FAFA"));  // 50 bytes left of 300
  ASSERT_EQ(r.size(), 52u);
  EXPECT_EQ(r[0], 250);
  EXPECT_EQ(r[49], 299 & 0xFF);
  EXPECT_EQ(ToHex(Bytes(r.end() - 2, r.end())), "9000");
  RunSteps(card, {
                     {"00B0012C01", "6B00"},     // offset at the end
                     {"00B0000302", "0304" "9000"},
                     {"00B0860001", "6A82"},     // no file with short identifier 6
                     {"00B0840102", "0102" "9000"},  // short identifier 4 = 6004
                     {"00A40000025015", "6117"},
                     {"00B0000001", "6986"},     // no current EF
                 });
}

TEST_F(EngineTest, ShortIdentifierSelectsTheFileForLaterReads) {
  card.Process(FromHex(kSelectAid));
  RunSteps(card, {{"00B0840002", "0001" "9000"}, {"00B0000202", "0203" "9000"}});
}

TEST_F(EngineTest, AccessRulesNeedTheVerifiedPin) {
  card.Process(FromHex(kSelectAid));
  RunSteps(card, {
                     {"00A40000027001", "610C"},
                     {"00B0000004", "6982"},
                     {"00D6000001AA", "6982"},
                     {kPinOk, "9000"},
                     {"00B0000004", "DEADBEEF" "9000"},
                     {"00D6000102AABB", "9000"},
                     {"00B0000004", "DEAABBEF" "9000"},
                     {"00D6000302AABB", "6B00"},  // past the end
                     {"00B0000004", "DEAABBEF" "9000"},  // nothing written
                     {"00D6000401AA", "6B00"},
                     {"00D60000", "6700"},
                 });
  card.Reset();
  card.Process(FromHex(kSelectAid));
  RunSteps(card, {{"00A40000027001", "610C"}, {"00B0000004", "6982"}});
}

TEST_F(EngineTest, PinRetryCounter) {
  RunSteps(card, {
                     {"0020000000", "63C3"},  // query
                     {kPinBad, "63C2"},
                     {"0020000000", "63C2"},
                     {kPinOk, "9000"},        // resets the counter
                     {"0020000000", "9000"},  // verified: nothing to count
                     {kPinBad, "63C2"},       // and drops the verified state
                     {kPinBad, "63C1"},
                     {kPinBad, "63C0"},
                     {kPinOk, "6983"},        // blocked, even with the right PIN
                     {"0020000000", "6983"},
                     {"0020800000", "6A86"},
                 });
  EXPECT_FALSE(card.PinVerified());
  EXPECT_EQ(card.PinTriesLeft(), 0);
}

TEST_F(EngineTest, ResetRetryCounterWithThePuk) {
  card.BlockPin();
  const std::string wrongPuk = AsciiHex("0000000000000000");
  RunSteps(card, {
                     {"902C000010" + wrongPuk, "63C9"},
                     {"902C000015" + kPuk + "04" + AsciiHex("9876"), "9000"},
                     {"0020000000", "63C3"},  // counter back, not verified
                     {kPinOk, "63C2"},        // the old PIN is gone
                     {"0020000004" + AsciiHex("9876"), "9000"},
                     {"902C000010" + kPuk, "9000"},  // without a new PIN
                     {"902C00000F" + kPuk.substr(0, 30), "6700"},
                     {"902C000016" + kPuk + "04" + AsciiHex("98765"), "6A80"},
                 });
  EXPECT_EQ(card.PukTriesLeft(), 10);
  card.SetPukTries(1);
  RunSteps(card, {{"902C000010" + wrongPuk, "63C0"}, {"902C000010" + kPuk, "6983"}});
}

TEST_F(EngineTest, ChangePin) {
  RunSteps(card, {
                     {"902400000B0104" + AsciiHex("0000") + "04" + AsciiHex("4321"), "63C2"},
                     {"902400000B0104" + AsciiHex("1234") + "04" + AsciiHex("4321"), "9000"},
                     {"0020000004" + AsciiHex("1234"), "63C2"},
                     {"0020000004" + AsciiHex("4321"), "9000"},
                     {"902400000A0104" + AsciiHex("4321") + "04" + AsciiHex("432"), "6A80"},
                     // ISO form: old PIN then new PIN.
                     {"0024000008" + AsciiHex("4321") + AsciiHex("5555"), "9000"},
                     {"0020000004" + AsciiHex("5555"), "9000"},
                 });
  EXPECT_EQ(card.CurrentPin(), "5555");
}

TEST_F(EngineTest, ProprietaryDataAndUnknownCommands) {
  const std::string cardData = "0102030405060708090A1122334455661718";
  RunSteps(card, {
                     {"90B8000012", cardData + "9000"},
                     {"90B8000011", cardData.substr(0, 34) + "9000"},
                     {"9018000000", "0001020304050607" "9000"},
                     {"00FF000000", "6D00"},
                     {"90FF000000", "6D00"},
                     {"80CA000000", "6E00"},
                     {"00A4", "6700"},
                     {"00A40400054D61", "6700"},
                 });
  const Bytes a = card.Process(FromHex("0084000014"));
  const Bytes b = card.Process(FromHex("0084000014"));
  ASSERT_EQ(a.size(), 22u);
  EXPECT_EQ(ToHex(Bytes(a.end() - 2, a.end())), "9000");
  EXPECT_NE(a, b);
  EXPECT_EQ(card.scratch()["challenge"], Bytes(b.begin(), b.end() - 2));
  EXPECT_EQ(Exchange(card, "0084010014"), "6A 86");
  EXPECT_EQ(Exchange(card, "00840000"), "67 00");
}

TEST_F(EngineTest, ResetEndsTheSession) {
  card.Process(FromHex(kPinOk));
  card.Process(FromHex(kSelectAid));
  card.Process(FromHex("00A40000026004"));
  card.scratch()["mse"] = {1, 2};
  card.Reset();
  EXPECT_FALSE(card.PinVerified());
  EXPECT_TRUE(card.scratch().empty());
  EXPECT_EQ(card.CurrentDf(), card.FindFile({}));
  RunSteps(card, {{"00B0000001", "6986"}, {"0020000000", "63C3"}});
}

TEST_F(EngineTest, AtrControls) {
  const Bytes base = card.Atr();
  card.SetLifePhase(0x0F);
  card.SetAtrStatus(0x6581);
  const Bytes atr = card.Atr();
  ASSERT_EQ(atr.size(), base.size());
  EXPECT_EQ(atr[atr.size() - 3], 0x0F);
  EXPECT_EQ(atr[atr.size() - 2], 0x65);
  EXPECT_EQ(atr[atr.size() - 1], 0x81);
  EXPECT_TRUE(std::equal(base.begin(), base.end() - 3, atr.begin()));
}

TEST_F(EngineTest, FaultsHitTheChosenCommandOnly) {
  card.FailAt(2, 0x6A82);
  card.CorruptAt(3, 1);
  RunSteps(card, {
                     {"90B8000002", "0102" "9000"},
                     {"90B8000002", "6A82"},
                     {"90B8000002", "01FD" "9000"},  // byte 1 flipped
                     {"90B8000002", "0102" "9000"},
                 });
  card.CorruptAt(1, 99);  // past the end: the last byte
  EXPECT_EQ(Exchange(card, "0020000000"), "63 3C");
  card.CorruptAt(1, -3);  // counted from the end
  EXPECT_EQ(Exchange(card, "90B8000002"), "01 FD 90 00");
}

// The trace lines without their time stamps ("N DIR HEX").
std::vector<std::string> Untimed(const std::string& text) {
  static const std::regex stamp(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z (.*)$)");
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    EXPECT_TRUE(std::regex_match(line, m, stamp)) << line;
    lines.push_back(m.size() > 1 ? m[1].str() : line);
  }
  return lines;
}

TEST_F(EngineTest, TraceKeepsRawExchangesAndMasksSecretsInItsLines) {
  card.Process(FromHex("90B8000002"));  // before the trace: not kept
  EXPECT_TRUE(card.Trace().empty());
  std::vector<std::string> sunk;
  card.SetTraceSink([&](const std::string& line) { sunk.push_back(line); });
  card.StartTrace();
  card.Process(FromHex(kPinBad));
  card.Process(FromHex("902C000015" + kPuk + "04" + AsciiHex("9876")));
  card.Process(FromHex("0024000008" + AsciiHex("1234") + AsciiHex("4321")));
  card.Process(FromHex("90B8000002"));
  card.Process(FromHex("9052000004C0FFEE11"));  // a key component
  card.Process(FromHex("0C20000004" "C0FFEE11"));  // protected form: cryptogram, shown
  card.Reset();
  const auto trace = card.Trace();
  ASSERT_EQ(trace.size(), 6u);
  EXPECT_EQ(trace[0].number, 2u);
  EXPECT_EQ(trace[0].command, FromHex(kPinBad));
  EXPECT_EQ(ToHex(trace[0].response), "63C2");
  EXPECT_EQ(ToHex(trace[3].response), "01029000");
  auto masked = [](std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s += i ? " **" : "**";
    return s;
  };
  const std::vector<std::string> expected = {
      "2 > 00 20 00 00 04 " + masked(4),
      "2 < 63 C2",
      "3 > 90 2C 00 00 15 " + masked(21),
      "3 < 90 00",
      "4 > 00 24 00 00 08 " + masked(8),
      "4 < 63 C2",
      "5 > 90 B8 00 00 02",
      "5 < 01 02 90 00",
      "6 > 90 52 00 00 04 " + masked(4),
  };
  const auto lines = Untimed(card.TraceText());
  ASSERT_EQ(lines.size(), 12u) << card.TraceText();
  for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(lines[i], expected[i]) << i;
  EXPECT_EQ(lines[10], "7 > 0C 20 00 00 04 C0 FF EE 11");
  // The sink saw the same lines, and the card event.
  ASSERT_EQ(sunk.size(), 13u);
  EXPECT_EQ(Untimed(sunk.back())[0], "7 ! reset");
  EXPECT_EQ(card.CommandCount(), 7u);

  card.StopTrace();
  card.Process(FromHex("90B8000002"));
  EXPECT_TRUE(card.Trace().empty());
  EXPECT_EQ(sunk.size(), 13u);
}

TEST_F(EngineTest, TraceKeepsOnlyTheLastExchanges) {
  card.StartTrace(3);
  for (int i = 0; i < 10; ++i) card.Process(FromHex("90B8000002"));
  const auto trace = card.Trace();
  ASSERT_EQ(trace.size(), 3u);
  EXPECT_EQ(trace.front().number, 8u);
  EXPECT_EQ(trace.back().number, 10u);
  card.StartTrace(0);  // the sink only
  card.Process(FromHex("90B8000002"));
  EXPECT_TRUE(card.Trace().empty());
}

TEST_F(EngineTest, EnvelopeChunksOfASecretCommandAreMasked) {
  card.StartTrace();
  // A key component (90 52) carried in two chunks, then a selection in one.
  card.Process(FromHex("90C2000003" "905200"));
  card.Process(FromHex("90C2000006" "0004C0FFEE11"));
  EXPECT_EQ(Exchange(card, "90C2000007" "00A4000C025015"), "90 00");
  const std::string text = card.TraceText();
  EXPECT_EQ(text.find("C0 FF EE"), std::string::npos) << text;
  const auto lines = Untimed(text);
  ASSERT_EQ(lines.size(), 8u) << text;
  EXPECT_EQ(lines[0], "1 > 90 C2 00 00 03 ** ** **");
  EXPECT_EQ(lines[2], "2 > 90 C2 00 00 06 ** ** ** ** ** **");
  EXPECT_EQ(lines[3], "2 >> 90 52 00 00 04 ** ** ** **");
  EXPECT_EQ(lines[5], "3 > 90 C2 00 00 07 00 A4 00 0C 02 50 15");
  EXPECT_EQ(lines[6], "3 >> 00 A4 00 0C 02 50 15");
  EXPECT_EQ(lines[7], "3 < 90 00");
}

TEST_F(EngineTest, AnswersStayWithinOneVpcdMessage) {
  // GET CHALLENGE with extended Le: 65536 bytes and a status word would wrap
  // the message's 2-byte length.
  EXPECT_EQ(Exchange(card, "00840000000000"), "67 00");
  EXPECT_EQ(Exchange(card, "0084000000FFFE"), "67 00");
  EXPECT_EQ(card.Process(FromHex("0084000000FFFD")).size(), kMaxAnswer);
  EXPECT_EQ(Exchange(card, "90B8000002"), "01 02 90 00");
}

TEST_F(EngineTest, RemoveAfterLeavesRightAfterTheAnswerAndComesBack) {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<bool> seen;
  card.SetPresenceListener([&](bool in) {
    std::lock_guard lock(mu);
    seen.push_back(in);
    cv.notify_all();
  });
  card.RemoveAfter(2, std::chrono::milliseconds(50));
  EXPECT_EQ(Exchange(card, "90B8000002"), "01 02 90 00");
  EXPECT_TRUE(card.Inserted());
  EXPECT_EQ(Exchange(card, "90B8000002"), "01 02 90 00");  // answered, then out
  EXPECT_FALSE(card.Inserted());
  {
    std::unique_lock lock(mu);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return seen.size() == 2; }));
    EXPECT_EQ(seen, (std::vector<bool>{false, true}));
  }
  for (int i = 0; i < 3; ++i) card.Process(FromHex("90B8000002"));  // once only
  EXPECT_TRUE(card.Inserted());

  card.RemoveAfter(1);  // no way back
  card.Process(FromHex("90B8000002"));
  EXPECT_FALSE(card.Inserted());
  card.SetPresenceListener(nullptr);
}

TEST(LifePhase, ShowsInTheAtrAndTheCardData) {
  for (const char* name : {"HALVO1_0", "Vexa", "basic"}) {
    Card card(*FindProfile(name));
    card.PowerOn();
    const Profile& p = card.profile();
    Bytes data = p.cardData;
    if (p.cardDataPhase >= 0) {
      ASSERT_EQ(data.at(static_cast<std::size_t>(p.cardDataPhase)), 0x03) << name;
      data[static_cast<std::size_t>(p.cardDataPhase)] = 0x0F;
    }
    card.SetLifePhase(0x0F);
    const Bytes atr = card.Atr();
    EXPECT_EQ(atr[atr.size() - 3], 0x0F) << name;
    EXPECT_EQ(card.LifePhase(), 0x0F) << name;
    data.insert(data.end(), {0x90, 0x00});
    EXPECT_EQ(card.Process(FromHex("90B8000000")), data) << name;
  }
  EXPECT_EQ(FindProfile("HALVO1_0")->cardDataPhase, 3);
  EXPECT_EQ(FindProfile("Vexa")->cardDataPhase, 12);
}

TEST_F(EngineTest, HandlersReplaceAndExtendBuiltins) {
  card.AddHandler(0x90, 0x58, [](Card&, const Apdu& a) {
    Response r;
    r.data = a.data;
    r.deferred = true;
    return r;
  });
  // Extends READ BINARY: passes it on, then marks the status.
  card.AddHandler(0x00, 0xB0, [](Card& c, const Apdu& a) {
    Response r = c.Next(a);
    if (r.sw == 0x9000) r.data.push_back(0xEE);
    return r;
  });
  card.AddHandler(0x80, 0x10, [](Card& c, const Apdu&) {
    return Sw(c.PinVerified() ? 0x9000 : 0x6982);
  });
  card.Process(FromHex(kSelectAid));
  RunSteps(card, {
                     {"9058000003AABBCC", "6103"},
                     {"00C0000003", "AABBCC9000"},
                     {"00B0840001", "00EE" "9000"},
                     {"00B0870001", "6A82"},
                     {"8010000000", "6982"},
                     {"8011000000", "6D00"},  // a known class now, unknown INS
                 });
}

TEST_F(EngineTest, WrapperSeesCommandsButNotGetResponse) {
  int seen = 0;
  card.SetWrapper([&seen](Card&, const Apdu& a, const std::function<Response(const Apdu&)>& inner) {
    ++seen;
    Apdu plain = a;
    plain.cla = a.cla & 0xF3;  // drop the secure-messaging bits
    return inner(plain);
  });
  RunSteps(card, {{"0CA404000CA000000063504B43532D3135", "6117"}, {"00C0000002", "840C" "6115"}});
  EXPECT_EQ(seen, 1);
}

TEST_F(EngineTest, FileSystemForHandlers) {
  CardFile* ef = card.CreateEf({0x5015}, 0x7100, 16, Access::Always, Access::Always);
  ASSERT_NE(ef, nullptr);
  EXPECT_EQ(card.CreateEf({0x5015}, 0x7100, 16, Access::Always, Access::Always), nullptr);
  EXPECT_EQ(card.CreateEf({0x9999}, 0x7100, 16, Access::Always, Access::Always), nullptr);
  EXPECT_EQ(card.WriteFile(*ef, 2, {1, 2}).sw, 0x9000);
  card.Process(FromHex(kSelectAid));
  RunSteps(card, {{"00A40000027100", "610C"}, {"00B0000004", "00000102" "9000"}});
  EXPECT_EQ(card.CurrentEf(), ef);
  EXPECT_TRUE(card.DeleteFile({0x5015, 0x7100}));
  EXPECT_EQ(card.CurrentEf(), nullptr);
  EXPECT_EQ(card.CurrentDf(), card.FindFile({0x5015}));
  EXPECT_EQ(Exchange(card, "00A40000027100"), "6A 82");
  // The PIN file exists even when the profile lists none.
  EXPECT_NE(card.FindFile({0x0000}), nullptr);
  RunSteps(card, {{kSelectMf, "6116"}, {"00A40000020000", "610C"}});
}

// An extension registered at static initialisation, like profile code does.
void InstallTestExtension(Card& card) {
  if (card.profile().name != "ext-test") return;
  card.AddHandler(0x90, 0xF7, [](Card&, const Apdu&) { return Sw(0x6283); });
}
const bool kRegistered = (RegisterCardExtension(&InstallTestExtension), true);

TEST(CardExtension, InstallersRunForTheProfilesTheyServe) {
  ASSERT_TRUE(kRegistered);
  Profile p = BasicProfile();
  Card plain(p);
  p.name = "ext-test";
  Card extended(p);
  EXPECT_EQ(ToHex(plain.Process(FromHex("90F7000000"))), "6D00");
  EXPECT_EQ(ToHex(extended.Process(FromHex("90F7000000"))), "6283");
}

}  // namespace
}  // namespace zorbix::sim
