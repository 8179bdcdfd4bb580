// Known-ATR match, family codes, and the reader report, TEST 1 and TEST 2
// bodies against FakeScard, checked in the log they write.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "app/htmllog.h"
#include "app/tests/cardchecks.h"
#include "res/strings.h"
#include "tests/halvocard/mini_card.h"
#include "tests/support/recording_ui.h"
#include "tests/support/temp_dir.h"

namespace zorbix::testing {
namespace {

using res::Text;

const Bytes kAtrRow1 = {0x3B, 0xEF, 0x00, 0x00, 0x40, 0x14, 0x80, 0x25, 0x48, 0x41, 0x4C,
                        0x56, 0x4F, 0x57, 0x01, 0x16, 0x01, 0x01, 0x03, 0x90, 0x00};
const Bytes kAtrRow4 = {0x3B, 0x7F, 0x38, 0x00, 0x00, 0x00, 0x6A, 0x48, 0x41, 0x4C,
                        0x56, 0x4F, 0x02, 0x2C, 0x34, 0x03, 0x00, 0x03, 0x90, 0x00};
const Bytes kAtrRow6 = {0x3B, 0x7F, 0x38, 0x00, 0x00, 0x00, 0x6A, 0x4F, 0x52, 0x56,
                        0x41, 0x03, 0x02, 0xAC, 0x14, 0x04, 0x10, 0x03, 0x90, 0x00};

Bytes With(Bytes atr, std::size_t index, std::uint8_t value) {
  atr.at(index) = value;
  return atr;
}

std::string Wrapped(const std::string& text) { return "\n<B><PRE>" + text + "</B></PRE>"; }

TEST(KnownAtr, MaskedMatch) {
  struct Case {
    const char* what;
    Bytes atr;
    bool match;
    std::uint8_t family;  // 0xEE: left as it was
  };
  Bytes shortRow4 = kAtrRow4;
  shortRow4.pop_back();
  const Case cases[] = {
      {"row 1 (57 01 at bytes 13, 14)", kAtrRow1, true, 0},
      {"row 1 in another life phase and status", With(With(kAtrRow1, 18, 0x0F), 19, 0x6A), true, 0},
      {"row 3 ignores byte 2", {0x3B, 0x7F, 0x18, 0x00, 0x00, 0x00, 0x6A, 0x48, 0x41, 0x4C, 0x56,
                                0x4F, 0x02, 0x2C, 0x34, 0x02, 0x00, 0x03, 0x90, 0x00}, true, 2},
      {"row 4 ignores the low nibble of byte 16", With(kAtrRow4, 16, 0x05), true, 2},
      {"row 6", kAtrRow6, true, 3},
      {"a historical byte differs", With(kAtrRow6, 8, 0x53), false, 0xEE},
      {"row 3 byte 1 differs", With(kAtrRow4, 1, 0x7E), false, 0xEE},
      {"one byte short", shortRow4, false, 0xEE},
      {"unknown card with 01 16 at bytes 13, 14",
       {0x3B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x16,
        0x05, 0x60, 0x03, 0x90, 0x00}, false, 0xEE},
  };
  for (const Case& c : cases) {
    std::uint8_t family = 0xEE;
    EXPECT_EQ(app::MatchKnownAtr(c.atr.data(), c.atr.size(), &family), c.match) << c.what;
    EXPECT_EQ(family, c.family) << c.what;
  }
}

TEST(KnownAtr, FamilyFromBytes13And14) {
  struct Case {
    std::uint8_t b13, b14;
    std::uint8_t family;
  };
  const Case cases[] = {{0x01, 0x16, 1}, {0x2C, 0x34, 2}, {0xAC, 0x14, 3}, {0xAC, 0x34, 4},
                        {0x16, 0x01, 0}, {0xAC, 0x15, 0}, {0x57, 0x01, 0}};
  for (const Case& c : cases) {
    Bytes atr = With(With(kAtrRow6, 13, c.b13), 14, c.b14);
    EXPECT_EQ(app::CardFamilyFromAtr(atr.data(), atr.size()), c.family)
        << std::hex << int(c.b13) << " " << int(c.b14);
  }
  EXPECT_EQ(app::CardFamilyFromAtr(kAtrRow6.data(), 14), 0) << "too short for byte 14";
}

// FakeScard readers, a recording UI and a fresh log in a temporary folder.
class StepTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("LC_ALL", "C", 1);
    ASSERT_EQ(app::LogCreate(app::kLogFileName), 0);
    ASSERT_EQ(fake_.EstablishContext(SCARD_SCOPE_USER, &s_.page.context), SCARD_S_SUCCESS);
  }

  void Connect(const std::string& reader) {
    DWORD protocol = 0;
    ASSERT_EQ(fake_.Connect(s_.page.context, reader.c_str(), SCARD_SHARE_SHARED,
                            SCARD_PROTOCOL_T0, &s_.page.cardHandle, &protocol),
              SCARD_S_SUCCESS);
  }

  static std::string Log() {
    std::ifstream in(app::kLogFileName, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }

  TempDir dir_{TempDir::kEnter};
  FakeScard fake_;
  platform::ScopedScardApi use_{&fake_};
  RecordingUi ui_;
  app::RunState s_{ui_, nullptr};
};

TEST_F(StepTest, ReaderReportListsEveryReaderInOrder) {
  fake_.AddReader("Reader <A>");
  fake_.AddReader("Reader B");
  fake_.AddReader("Reader C");
  fake_.InsertCard("Reader <A>", kAtrRow6);
  fake_.InsertCard("Reader C", {0x3B, 0x02, 0x14, 0x50});
  s_.cardFamily = 1;

  const auto known = app::WriteReaderReport(s_, s_.page.context, app::kCardModelNamesBlock);

  EXPECT_EQ(known, std::vector<std::string>{"Reader <A>"});
  EXPECT_EQ(s_.cardFamily, 3);
  EXPECT_EQ(Log(), Wrapped("Checking ATR ...") +
                       Wrapped("Reader:\tReader &lt;A&gt;\n") +
                       Wrapped("ATR: \t\t3B 7F 38 00 00 00 6A 4F 52 56 41 03 02 AC 14 04 10 03 90 "
                               "00 \n\n") +
                       Wrapped("Reader:\tReader B\n") + Wrapped("ATR: \t\t-- -- -- \n\n") +
                       Wrapped("Reader:\tReader C\n") + Wrapped("ATR: \t\t3B 02 14 50 \n\n"));
  EXPECT_EQ(fake_.OutstandingAllocations(), 0u);
}

TEST_F(StepTest, ReaderReportIsEmptyWithoutReaders) {
  s_.cardFamily = 2;
  EXPECT_TRUE(app::WriteReaderReport(s_, s_.page.context, app::kCardModelNamesBlock).empty());
  EXPECT_EQ(Log(), "");
  EXPECT_EQ(s_.cardFamily, 2);
}

TEST_F(StepTest, UnregisteredCardGetsTheGenericNameOfItsFamily) {
  const Bytes atr = {0x3B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                     0x00, 0x00, 0x00, 0x01, 0x16, 0x05, 0x60, 0x03, 0x90, 0x00};
  fake_.AddReader("R");
  auto card = std::make_shared<MiniCard>();
  fake_.InsertCard("R", atr, Play(card));
  Connect("R");

  const std::pair<std::uint8_t, int> cases[] = {{1, 193}, {2, 194}, {3, 248}, {4, 248}, {0, 195}};
  for (auto [family, text] : cases) {
    ASSERT_EQ(app::LogCreate(app::kLogFileName), 0);
    s_.cardFamily = family;
    std::uint8_t status[2] = {};
    EXPECT_EQ(app::TestSmartCard(s_, status), 3);
    const std::string log = Log();
    EXPECT_NE(log.find(Wrapped(Text(191) + "0560\n") + Wrapped(Text(text))), std::string::npos)
        << int(family) << log;
    EXPECT_EQ(log.find(Text(190)), std::string::npos);
  }
}

TEST_F(StepTest, EventsReadErrors) {
  fake_.AddReader("R");
  auto card = std::make_shared<MiniCard>();
  fake_.InsertCard("R", kAtrRow4, [card](const Bytes& c) {
    if (c[0] == 0x90 && c[1] == 0x18) return Bytes{0x6A, 0x82};
    return (*card)(c);
  });
  Connect("R");
  s_.cardFamily = 2;

  EXPECT_EQ(app::ReadCardEvents(s_), 1);
  EXPECT_EQ(Log(), Wrapped(Text(138)) + Wrapped(Text(175) + "\t\t Error: \t\t\t0x6A82\n"));
  EXPECT_TRUE(ui_.messages().empty());

  // A card gone before the events read: construction stops at its first
  // SELECT, the read fails at the transport.
  ASSERT_EQ(app::LogCreate(app::kLogFileName), 0);
  fake_.FailAlways("Transmit", SCARD_W_REMOVED_CARD);
  EXPECT_EQ(app::ReadCardEvents(s_), 0);
  EXPECT_EQ(Log(), Wrapped(Text(138)) + Wrapped(Text(175)));
  ASSERT_EQ(ui_.messages().size(), 1u);
  EXPECT_EQ(ui_.messages()[0].text, Text(176));
  EXPECT_EQ(ui_.messages()[0].caption, Text(146));
  EXPECT_EQ(ui_.messages()[0].kind, app::MessageKind::Error);
}

TEST_F(StepTest, DumpFollowsTheOdfAndFallsBackToZeros) {
  fake_.AddReader("R");
  auto card = std::make_shared<MiniCard>();
  // The ODF sends the private keys to 7001; there is no DODF.
  card->files[0x5031] = {0xA0, 0x06, 0x30, 0x04, 0x04, 0x02, 0x70, 0x01, 0x00, 0x00};
  card->files[0x7001] = {0x30, 0x03, 0x41, 0x3C, 0x43, 0x00};
  fake_.InsertCard("R", kAtrRow4, Play(card));
  Connect("R");

  EXPECT_EQ(app::TestPkcs15Dump(s_), 0);
  const std::string log = Log();
  const std::string step3 = std::string(app::kLogDumpTitleOpen) + Text(255) +
                            app::kLogDumpTitleClose + "<PRE>\n\t 000 - 30 03 41 3c 43 " +
                            std::string(33, ' ') + "\t0.A&ltC\n</PRE>";
  EXPECT_NE(log.find(step3), std::string::npos) << log;

  std::string zeros128;
  for (int row = 0; row < 8; ++row) {
    char offset[16];
    std::snprintf(offset, sizeof offset, "\t %03x - ", row * 16);
    zeros128 += offset;
    for (int i = 0; i < 16; ++i) zeros128 += "00 ";
    zeros128 += "\t................\n";
  }
  zeros128 += "\t\n";
  const std::string step4 = std::string(app::kLogDumpTitleOpen) + Text(256) +
                            app::kLogDumpTitleClose + "<PRE>\n" + zeros128 + "</PRE>";
  EXPECT_NE(log.find(step4), std::string::npos) << log;
  EXPECT_EQ(ui_.icon(app::kCtlDumpIcon), app::kIconPass);
  EXPECT_EQ(log.substr(log.size() - Text(259).size()), Text(259));
}

}  // namespace
}  // namespace zorbix::testing
