// Log writer: writes, file handling, hex dumps, fragments, header, escaping.
#include <sys/stat.h>

#include <vector>

#include "app/htmllog.h"
#include "log_fixture.h"
#include "res/strings.h"

namespace zorbix::app {
namespace {

using HtmlLog = LogFixture;

std::string Blanks(std::size_t n) { return std::string(n, ' '); }

const std::string kWrapOpen = "\n<B><PRE>";
const std::string kWrapClose = "</B></PRE>";
const std::string kDashes(69, '-');

TEST_F(HtmlLog, RawAndWrappedWritesKeepPercentAndMarkup) {
  EXPECT_EQ(LogWrite("<TD>100% %s %n</TD>", true), 0);
  EXPECT_EQ(LogWrite("label 50%d <x>\n", false), 0);
  EXPECT_EQ(LogPrintf("%d-%s|", 7, "a%s"), 0);
  EXPECT_EQ(Log(), "<TD>100% %s %n</TD>"
                   "\n<B><PRE>label 50%d <x>\n</B></PRE>"
                   "7-a%s|");
}

TEST_F(HtmlLog, CreateTruncatesTheLogOfTheLastRun) {
  LogWrite("first run\n", true);
  ASSERT_FALSE(Log().empty());
  EXPECT_EQ(LogCreate(kLogFileName), 0);
  EXPECT_EQ(Log(), "");
  LogWrite("second", true);
  EXPECT_EQ(Log(), "second");
}

TEST_F(HtmlLog, UnopenableFileMakesEveryWriteANoOp) {
  EXPECT_EQ(LogCreate(nullptr), -1);
  EXPECT_EQ(LogCreate(""), -1);

  // A folder of that name, and a missing folder: neither can be opened.
  std::filesystem::create_directory("taken.html");
  EXPECT_EQ(LogCreate("taken.html"), -2);
  EXPECT_EQ(LogWrite("x", true), -3);
  EXPECT_EQ(LogCreate("missing/ZorbixLog.html"), -2);
  EXPECT_EQ(LogWrite("x", true), -3);
  EXPECT_EQ(LogWrite("x", false), -3);
  EXPECT_EQ(LogWriteOutside("x", false), -3);
  EXPECT_EQ(LogPrintf("%s", "x"), 5);
  const std::uint8_t bytes[] = {1, 2, 3};
  EXPECT_EQ(LogAsciiLine("p", bytes, 3), 0);
  EXPECT_EQ(LogHexDump(bytes, 3, true), 0);
  LogHeader();
  LogSectionStart(kLogHeadingTest1, "t");
  LogTrailer();
  EXPECT_FALSE(std::filesystem::exists("missing"));
  EXPECT_TRUE(std::filesystem::is_empty("taken.html"));
}

// A symbolic link named like the log is not followed: its target is neither
// truncated nor written, and the log counts as one that cannot be opened.
// A FIFO there does not hold the run up.
TEST_F(HtmlLog, LinkOrFifoInPlaceOfTheLogIsNotOpened) {
  {
    std::ofstream target("target.txt");
    target << "keep me";
  }
  std::filesystem::create_symlink("target.txt", "linked.html");
  EXPECT_EQ(LogCreate("linked.html"), -2);
  EXPECT_EQ(LogWrite("x", true), -3);
  EXPECT_EQ(ReadFile("target.txt"), "keep me");

  std::filesystem::create_symlink("absent.txt", "dangling.html");
  EXPECT_EQ(LogCreate("dangling.html"), -2);
  EXPECT_FALSE(std::filesystem::exists("absent.txt"));

  ASSERT_EQ(mkfifo("fifo.html", 0600), 0);
  EXPECT_EQ(LogCreate("fifo.html"), -2);
  EXPECT_EQ(LogWrite("x", true), -3);
}

TEST_F(HtmlLog, AsciiLineMarksControlsAndLessThan) {
  const std::uint8_t bytes[] = {0x00, 0x20, 0x21, 0x3C, 0x3E, 0x26,
                                0x7E, 0x7F, 0x80, 0xFF, 'z'};
  EXPECT_EQ(LogAsciiLine("pre:", bytes, sizeof bytes), 0);
  EXPECT_EQ(Log(), "pre:..!&lt>&~...z\n");
}

struct DumpCase {
  const char* name;
  std::vector<std::uint8_t> bytes;
  std::string expected;  // without frame
};

std::vector<std::uint8_t> Range(int first, int count) {
  std::vector<std::uint8_t> v;
  for (int i = 0; i < count; ++i) v.push_back(static_cast<std::uint8_t>(first + i));
  return v;
}

std::vector<DumpCase> DumpCases() {
  return {
      {"empty", {}, Blanks(48) + "\t\n"},
      {"one", {0x41}, "\t 000 - 41 " + Blanks(45) + "\tA\n"},
      {"abc", {0x61, 0x62, 0x63}, "\t 000 - 61 62 63 " + Blanks(39) + "\tabc\n"},
      {"fifteen", Range(0x30, 15),
       "\t 000 - 30 31 32 33 34 35 36 37 38 39 3a 3b 3c 3d 3e " + Blanks(3) +
           "\t0123456789:;&lt=>\n"},
      {"sixteen",
       {0x00, 0x20, 0x21, 0x7e, 0x7f, 0x80, 0xff, 0x3c, 'a', 'b', 'c', 'd',
        'e', 'f', 'g', 'h'},
       "\t 000 - 00 20 21 7e 7f 80 ff 3c 61 62 63 64 65 66 67 68 \t"
       "..!~...&ltabcdefgh\n"
       "\t\n"},
      {"seventeen", Range(0x41, 17),
       "\t 000 - 41 42 43 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f 50 \t"
       "ABCDEFGHIJKLMNOP\n"
       "\t 010 - 51 " + Blanks(45) + "\tQ\n"},
      {"thirty_two", Range(0x40, 32),
       "\t 000 - 40 41 42 43 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f \t"
       "@ABCDEFGHIJKLMNO\n"
       "\t 010 - 50 51 52 53 54 55 56 57 58 59 5a 5b 5c 5d 5e 5f \t"
       "PQRSTUVWXYZ[\\]^_\n"
       "\t\n"},
  };
}

TEST_F(HtmlLog, HexDumpRowsAndPadding) {
  for (const auto& c : DumpCases()) {
    for (const bool frame : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (frame ? " framed" : " plain"));
      ASSERT_EQ(LogCreate(kLogFileName), 0);
      EXPECT_EQ(LogHexDump(c.bytes.data(), c.bytes.size(), frame), 0);
      EXPECT_EQ(Log(), frame ? "<PRE>\n" + c.expected + "</PRE>" : c.expected);
    }
  }
}

TEST_F(HtmlLog, SectionStartAndTrailer) {
  LogSectionStart(kLogHeadingTest1, "Card ATR verification\n");
  EXPECT_EQ(Log(), kWrapOpen + kDashes + "\n" + kWrapClose +
                       "<TABLE BORDER=1 BGCOLOR=#D0D0D0 width=800><TR><TD>\n"
                       "<H2>TEST 1: SMARTCARD</H2><H3>" +
                       kWrapOpen + "Card ATR verification\n" + kWrapClose +
                       "</H3></TD></TR></TABLE>");
  ASSERT_EQ(LogCreate(kLogFileName), 0);
  LogTrailer();
  EXPECT_EQ(Log(), "<BR><H2>ZORBIX operations have been completed. \n</H2>" +
                       kWrapOpen + kDashes + "\n" + kWrapClose);
}

TEST_F(HtmlLog, HeaderNamesTheProgramAndItsVersion) {
  const std::string path = std::filesystem::read_symlink("/proc/self/exe");
  ASSERT_LE(path.size(), 128u) << "build folder too deep for this check";
  LogHeader();
  const std::string head =
      "<TABLE BORDER=1 BGCOLOR=#D0D0D0 width=800><TR><TD>\n"
      "<BR><H1>" + kWrapOpen + " Software ZORBIX\n" + kWrapClose +
      "</H1><H2>" + kWrapOpen + " Software developed by the ORVA-ZEL \n" +
      kWrapClose + "</H2><H3>" +
      kWrapOpen + "App. Name: \t\t" + path + "." + kWrapClose +
      kWrapOpen + "App. Version: \tv 01.00.02.00\n" + kWrapClose +
      kWrapOpen + "Date Info:   \t";
  const std::string tail = "." + kWrapClose + "<H3></TD></TR></TABLE><BR><BR>";
  const std::string log = Log();
  ASSERT_GT(log.size(), head.size() + tail.size());
  EXPECT_EQ(log.substr(0, head.size()), head);
  EXPECT_EQ(log.substr(log.size() - tail.size()), tail);
  const std::string date =
      log.substr(head.size(), log.size() - head.size() - tail.size());
  EXPECT_TRUE(IsDateAndTime(date)) << date;
}

TEST(HtmlEscape, EscapesOnlyMarkupCharacters) {
  const std::pair<const char*, const char*> cases[] = {
      {"", ""},
      {"plain 100% %s", "plain 100% %s"},
      {"a&b", "a&amp;b"},
      {"<b>x</b>", "&lt;b&gt;x&lt;/b&gt;"},
      {"&lt;", "&amp;lt;"},
      {"\t\n\xc3\xa9", "\t\n\xc3\xa9"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(HtmlEscape(in), out) << in;
}

TEST_F(HtmlLog, OutsideTextCannotInjectScript) {
  const std::string reader = "Evil <script>alert('x')</script> & Co";
  EXPECT_EQ(LogWriteOutside(reader, false), 0);
  // As a test step composes it: string-table label, then the reader name.
  LogWrite(res::Text(250) + HtmlEscape(reader) + "\n", false);
  LogWriteOutside(reader, true);
  const std::string escaped =
      "Evil &lt;script&gt;alert('x')&lt;/script&gt; &amp; Co";
  EXPECT_EQ(Log(), kWrapOpen + escaped + kWrapClose +
                       kWrapOpen + "Reader:\t" + escaped + "\n" + kWrapClose +
                       escaped);
  EXPECT_EQ(Log().find("<script"), std::string::npos);
}

}  // namespace
}  // namespace zorbix::app
