// The wizard's HTML report log: write primitives, shared markup, hex dumps.
//
// Every write opens ZorbixLog.html (or the name given to LogCreate, relative
// to the current directory) in append mode, writes, flushes and closes it, so
// a crash never loses what was already written. A file that cannot be opened
// makes the write a silent no-op; the result codes are there for tests only.
//
// Escaping: the log is an HTML page that support staff open in a browser.
// String-table texts and the markup fragments below are ours and go out
// unescaped. Text that comes from outside the program (reader names, card
// labels and values, typed text, error texts built from them) must go through
// LogWriteOutside or HtmlEscape, which turn "&", "<" and ">" into entities, so
// a card cannot inject markup or script. The hex dump's character column has
// its own rule: "<" becomes "&lt" and bytes below 33 or above 126 become ".".
//
// A "%" in any text is written as it stands; only LogPrintf formats.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zorbix::app {

inline constexpr char kLogFileName[] = "ZorbixLog.html";

// Markup fragments shared by the sections (written raw unless noted).
inline constexpr char kLogDashedRule[] =  // written wrapped
    "---------------------------------------------------------------------\n";
inline constexpr char kLogSectionFrameOpen[] =
    "<TABLE BORDER=1 BGCOLOR=#D0D0D0 width=800><TR><TD>\n";
inline constexpr char kLogSectionFrameClose[] = "</H3></TD></TR></TABLE>";
inline constexpr char kLogStepFrameOpen[] =
    "<TABLE BORDER=1 BGCOLOR=#D0D0D0 width=650><TR><TD>\n";
inline constexpr char kLogStepFrameOpenBr[] =
    "<BR><TABLE BORDER=1 BGCOLOR=#D0D0D0 width=650><TR><TD>\n";
inline constexpr char kLogStepTitleOpen[] = "<BR><H3><B>";
inline constexpr char kLogStepTitleClose[] = "</H3></B></TD></TR></TABLE><BR>";
inline constexpr char kLogItemFrameOpen[] =
    "<TABLE BORDER=1 BGCOLOR=#E0E0E0 width=650><TR><TD><B>\n";
inline constexpr char kLogItemFrameClose[] = "</B></TD></TR></TABLE>";
inline constexpr char kLogDumpTitleOpen[] =
    "<TABLE BORDER=1 BGCOLOR=#E0E0E0 width=650><TR><TD>\n";
inline constexpr char kLogDumpTitleOpenFirst[] =
    "<BR><TABLE BORDER=1 BGCOLOR=#E0E0E0 width=650><TR><TD>\n";
inline constexpr char kLogDumpTitleClose[] = "</TD></TR></TABLE>";
inline constexpr char kLogEmptySearchFormat[] = "<H3>%s</H3>\n";  // LogPrintf
inline constexpr char kLogErrorMark[] = "!ERROR!\n";              // wrapped
inline constexpr char kLogTrailerOpen[] = "<BR><H2>";
inline constexpr char kLogTrailerClose[] = "</H2>";
inline constexpr char kLogWrapOpen[] = "\n<B><PRE>";
inline constexpr char kLogWrapClose[] = "</B></PRE>";

// Section headings, written raw by LogSectionStart's callers.
inline constexpr char kLogHeadingTest0[] = "<H2>TEST 0: SYSTEM</H2><H3>";
inline constexpr char kLogHeadingTest1[] = "<H2>TEST 1: SMARTCARD</H2><H3>";
inline constexpr char kLogHeadingTest2[] = "<H2>TEST 2: PKCS#15</H2><H3>";
inline constexpr char kLogHeadingTest3[] = "<H2>TEST 3: STATUS</H2><H3>";
inline constexpr char kLogHeadingTest4[] = "<H2>TEST 4: PKCS#11</H2><H3>";

// Creates the file or truncates it, and remembers its name for later writes.
// 0; -1 without a name; -2 when it cannot be opened.
int LogCreate(const char* fileName);

// Appends `text` as it stands (raw) or between "\n<B><PRE>" and "</B></PRE>".
// 0; -3 when the file cannot be opened.
int LogWrite(std::string_view text, bool raw);

// Same as LogWrite after HtmlEscape: for text from outside the program.
int LogWriteOutside(std::string_view text, bool raw);

// Appends the formatted text, never wrapped. 0; 5 when the file cannot be
// opened. Arguments from outside the program must be escaped by the caller.
int LogPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Appends `prefix`, each byte as a character ("." outside 33..126, "<" as
// "&lt"), then a line feed. 0.
int LogAsciiLine(std::string_view prefix, const std::uint8_t* bytes,
                 std::size_t count);

// Appends rows of 16 bytes: "\t %03x - ", "%02x " per byte, padding, a tab,
// then the character column. With `frame`, inside "<PRE>\n" ... "</PRE>". 0.
int LogHexDump(const std::uint8_t* bytes, std::size_t count, bool frame);

// The three program lines: name, version and date ("ERROR" lines when the
// program file has no version record).
void LogAppHeader();

// The log header written right after LogCreate at each test-page activation.
void LogHeader();

// The dashed rule, wrapped.
void LogDashedRule();

// Opens a test section: dashed rule, frame open, `heading` (raw), `titleText`
// (wrapped), frame close.
void LogSectionStart(std::string_view heading, std::string_view titleText);

// "<BR><H2>", text 144, "</H2>", then the dashed rule.
void LogTrailer();

// "&", "<" and ">" as "&amp;", "&lt;" and "&gt;".
std::string HtmlEscape(std::string_view outside);

}  // namespace zorbix::app
