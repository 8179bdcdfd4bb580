// The card flags and control lines without PC/SC: what they accept, what
// they refuse (with a message naming them and what they take), and what
// they do to the card.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sim/controls.h"
#include "tests/support/temp_dir.h"

namespace zorbix::sim {
namespace {

// Parses `args` as card flags; the error text, or "" when all were taken.
std::string ParseFlags(std::vector<std::string> args, CardOptions* o) {
  std::vector<char*> argv = {const_cast<char*>("prog")};
  for (std::string& a : args) argv.push_back(a.data());
  const int argc = static_cast<int>(argv.size());
  try {
    for (int i = 1; i < argc; ++i) {
      if (!TakeCardFlag(argc, argv.data(), &i, o)) return "not a card flag: " + args[i - 1];
    }
  } catch (const UsageError& e) {
    return e.what();
  }
  return "";
}

TEST(CardFlags, GoodValues) {
  CardOptions o;
  ASSERT_EQ(ParseFlags({"--pin-tries", "0", "--puk-tries=2", "--phase", "0f", "--delay-ms", "30",
                        "--fail-at", "3:6A82", "--fail-at", "7:9000", "--corrupt-at", "2",
                        "--corrupt-at", "5:-1", "--remove-after", "12", "--reinsert-after-ms",
                        "500", "--trace", "t.log"},
                       &o),
            "");
  EXPECT_EQ(o.pinTries, 0);
  EXPECT_EQ(o.pukTries, 2);
  EXPECT_EQ(o.phase, 0x0F);
  EXPECT_EQ(o.delayMs, 30);
  EXPECT_EQ(o.failAt, (std::vector<std::pair<int, std::uint16_t>>{{3, 0x6A82}, {7, 0x9000}}));
  EXPECT_EQ(o.corruptAt, (std::vector<std::pair<int, std::ptrdiff_t>>{{2, 0}, {5, -1}}));
  EXPECT_EQ(o.removeAfter, 12);
  EXPECT_EQ(o.reinsertAfterMs, 500);
  EXPECT_EQ(o.traceFile, "t.log");
  CardOptions none;
  EXPECT_EQ(ParseFlags({"--profile"}, &none), "not a card flag: --profile");
}

TEST(CardFlags, BadValuesNameTheFlagAndWhatItTakes) {
  struct Case {
    std::vector<std::string> args;
    std::string says;  // besides the flag's name
  } cases[] = {
      {{"--pin-tries", "x"}, "from 0 (blocked)"},
      {{"--pin-tries", "-1"}, "from 0 (blocked)"},
      {{"--puk-tries", "16"}, "from 0 (blocked)"},
      {{"--phase", "F"}, "two hex digits"},
      {{"--phase", "0G"}, "two hex digits"},
      {{"--delay-ms", "60001"}, "from 0 to 60000"},
      {{"--fail-at", "3"}, "N:SW"},
      {{"--fail-at", "0:6A82"}, "command number from 1"},
      {{"--fail-at", "3:6A8"}, "four hex digits"},
      {{"--fail-at", "3:1234"}, "four hex digits"},
      {{"--corrupt-at", "2:x"}, "N[:INDEX]"},
      {{"--corrupt-at", "1:2:3"}, "N[:INDEX]"},
      {{"--remove-after", "0"}, "from 1"},
      {{"--reinsert-after-ms", "-5"}, "milliseconds"},
      {{"--trace", ""}, "file"},
      {{"--fail-at"}, "needs a value"},
  };
  for (const Case& c : cases) {
    CardOptions o;
    const std::string error = ParseFlags(c.args, &o);
    EXPECT_NE(error.find(c.args[0]), std::string::npos) << error;
    EXPECT_NE(error.find(c.says), std::string::npos) << c.args[0] << ": " << error;
  }
}

TEST(CardFlags, OptionsTheCardCannotTakeAreRefused) {
  Card card(BasicProfile());  // 3 PIN tries, 10 PUK tries
  CardOptions o;
  o.pinTries = 4;
  try {
    CardControl control(card, o);
    ADD_FAILURE() << "4 PIN tries taken";
  } catch (const UsageError& e) {
    EXPECT_NE(std::string(e.what()).find("--pin-tries"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("3 for this card"), std::string::npos) << e.what();
  }
  CardOptions back;
  back.reinsertAfterMs = 100;
  EXPECT_THROW(CardControl(card, back), UsageError);
  CardOptions unwritable;
  unwritable.traceFile = "/nonexistent/dir/trace";
  EXPECT_THROW(CardControl(card, unwritable), std::runtime_error);
}

TEST(CardFlags, ApplyToTheCardBeforeItsFirstCommand) {
  testing::TempDir dir;
  Card card(BasicProfile());
  card.PowerOn();
  CardOptions o;
  o.pinTries = 0;
  o.pukTries = 1;
  o.phase = 0x0F;
  o.delayMs = 1;
  o.failAt = {{2, 0x6A82}};
  o.corruptAt = {{3, -1}};
  o.removeAfter = 4;
  o.traceFile = (dir.path() / "trace").string();
  CardControl control(card, o);
  EXPECT_EQ(card.PinTriesLeft(), 0);
  EXPECT_EQ(card.PukTriesLeft(), 1);
  EXPECT_EQ(card.LifePhase(), 0x0F);
  EXPECT_EQ(card.Delay().count(), 1);
  const Bytes cardData = {0x90, 0xB8, 0x00, 0x00, 0x02};
  EXPECT_EQ(card.Process({0x00, 0x20, 0x00, 0x00, 0x00}), (Bytes{0x69, 0x83}));
  EXPECT_EQ(card.Process(cardData), (Bytes{0x6A, 0x82}));
  EXPECT_EQ(card.Process(cardData), (Bytes{0x01, 0x02, 0x90, 0xFF}));
  EXPECT_TRUE(card.Inserted());
  EXPECT_EQ(card.Process(cardData), (Bytes{0x01, 0x02, 0x90, 0x00}));
  EXPECT_FALSE(card.Inserted());

  // The file has the lines as they happened: 4 exchanges, then the removal.
  std::ifstream in(o.traceFile);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line.substr(line.find(' ') + 1));
  ASSERT_EQ(lines.size(), 9u);
  EXPECT_EQ(lines[0], "1 > 00 20 00 00 00");
  EXPECT_EQ(lines[3], "2 < 6A 82");
  EXPECT_EQ(lines[8], "4 ! remove");
  EXPECT_TRUE(card.Trace().empty());  // the file alone: nothing kept in memory
}

TEST(ControlLines, AnswersAndEffects) {
  Card card(BasicProfile());
  card.PowerOn();
  CardControl control(card, CardOptions{});
  EXPECT_FALSE(card.Tracing());
  struct Case {
    std::string line;
    std::string answer;  // exact, or the start of an error
  } cases[] = {
      {"pin-tries 1", "ok"},
      {"puk-tries 0", "ok"},
      {"phase 07", "ok"},
      {"delay-ms 0", "ok"},
      {"fail-at 2 6F00", "ok"},
      {"corrupt-at 1", "ok"},
      {"status", "ok commands=0 inserted=yes pin-tries=1 puk-tries=0 phase=07 delay-ms=0 trace=off"},
      {"remove", "ok"},
      {"status", "ok commands=0 inserted=no pin-tries=1"},
      {"insert", "ok"},
      {"  reset  ", "ok"},
      {"pin-tries", "error: pin-tries takes N (e.g. pin-tries 0), a number of tries from 0 "
                    "(blocked) to the card's retry limit; none given"},
      {"pin-tries 4", "error: pin-tries takes N, a number of tries from 0 (blocked) to the card's "
                      "retry limit (3 for this card); not \"4\""},
      {"puk-tries x", "error: puk-tries takes N"},
      {"phase 100", "error: phase takes HH"},
      {"delay-ms -1", "error: delay-ms takes N (e.g. delay-ms 100), milliseconds per command "
                      "from 0 to 60000; not \"-1\""},
      {"fail-at 1", "error: fail-at takes N SW"},
      {"fail-at 1 6X00", "error: fail-at takes N SW"},
      {"fail-at 0 6F00", "error: fail-at takes N SW"},
      {"corrupt-at", "error: corrupt-at takes N [INDEX]"},
      {"corrupt-at 1 2 3", "error: corrupt-at takes N [INDEX]"},
      {"remove-after 0", "error: remove-after takes N [M]"},
      {"remove-after 1 -3", "error: remove-after takes N [M]"},
      {"trace maybe", "error: trace takes on|off"},
      {"remove now", "error: remove takes no value"},
      {"eject", "error: unknown control \"eject\"; one of remove, insert, reset"},
  };
  for (const Case& c : cases) {
    const std::string answer = control.Handle(c.line);
    EXPECT_EQ(answer.substr(0, c.answer.size()), c.answer) << c.line;
  }
  // The state the good lines left; the bad ones changed nothing.
  EXPECT_TRUE(card.Inserted());
  EXPECT_EQ(card.PinTriesLeft(), 1);
  EXPECT_EQ(card.PukTriesLeft(), 0);
  EXPECT_EQ(card.LifePhase(), 0x07);
  const Bytes cardData = {0x90, 0xB8, 0x00, 0x00, 0x02};
  EXPECT_EQ(card.Process(cardData), (Bytes{0xFE, 0x02, 0x90, 0x00}));  // corrupt-at 1
  EXPECT_EQ(card.Process(cardData), (Bytes{0x6F, 0x00}));              // fail-at 2
  EXPECT_EQ(control.Handle("remove-after 1"), "ok");
  card.Process(cardData);
  EXPECT_FALSE(card.Inserted());
}

TEST(ControlLines, TraceOnAndOff) {
  testing::TempDir dir;
  Card card(BasicProfile());
  card.PowerOn();
  CardOptions o;
  o.traceFile = (dir.path() / "trace").string();
  CardControl control(card, o);
  const Bytes cardData = {0x90, 0xB8, 0x00, 0x00, 0x02};
  card.Process(cardData);
  EXPECT_EQ(control.Handle("trace off"), "ok");
  card.Process(cardData);
  EXPECT_EQ(control.Handle("trace on"), "ok");
  card.Process(cardData);
  std::ifstream in(o.traceFile);
  std::stringstream all;
  all << in.rdbuf();
  EXPECT_NE(all.str().find(" 1 > 90 B8"), std::string::npos) << all.str();
  EXPECT_EQ(all.str().find(" 2 > 90 B8"), std::string::npos) << all.str();
  EXPECT_NE(all.str().find(" 3 > 90 B8"), std::string::npos) << all.str();
}

}  // namespace
}  // namespace zorbix::sim
