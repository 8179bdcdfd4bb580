// The confirmation through pinentry, against stand-in scripts on PATH: every
// answer, every way of not answering, and what the stand-in was told.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <string>

#include "platform/confirm.h"
#include "tests/support/pinentry_standin.h"
#include "tests/support/temp_dir.h"

namespace {

using zorbix::platform::AssuanEscape;
using zorbix::platform::ConfirmAnswer;
using zorbix::platform::ConfirmRequest;
using zorbix::platform::ConfirmWithPinentry;
using namespace zorbix::testing;
using namespace std::chrono_literals;

const ConfirmRequest kQuestion{"Card PIN verification.",
                               "The PIN allows access to all objects on the ORVA-ZEL card.", 5s};

// No child of ours is left running or unreaped.
void ExpectNoChildLeft() {
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

struct AnswerCase {
  const char* name;
  std::string onConfirm;
  std::string greeting;
  ConfirmAnswer expected;
};

void PrintTo(const AnswerCase& c, std::ostream* os) { *os << c.name; }

class PinentryAnswers : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(PinentryAnswers, GiveTheirOutcome) {
  const AnswerCase& c = GetParam();
  TempDir dir;
  WritePinentry(dir.path(), c.onConfirm, c.greeting);
  ScopedPath path(dir.path());
  EXPECT_EQ(ConfirmWithPinentry(kQuestion), c.expected);
  ExpectNoChildLeft();
}

INSTANTIATE_TEST_SUITE_P(
    Confirm, PinentryAnswers,
    ::testing::Values(
        AnswerCase{"yes", kPinentryYes, "OK Pleased to meet you", ConfirmAnswer::Yes},
        AnswerCase{"yes_after_status_and_comment_lines",
                   "echo 'S BUTTON_INFO ok'; echo '# note'; echo OK", "OK", ConfirmAnswer::Yes},
        AnswerCase{"cancel_is_no", kPinentryCancelled, "OK", ConfirmAnswer::No},
        AnswerCase{"not_confirmed_is_no", kPinentryNotConfirmed, "OK", ConfirmAnswer::No},
        AnswerCase{"no_terminal_is_unavailable", kPinentryNoTty, "OK", ConfirmAnswer::Unavailable},
        AnswerCase{"own_timeout_is_unavailable", "echo 'ERR 83886142 Timeout <Pinentry>'", "OK",
                   ConfirmAnswer::Unavailable},
        AnswerCase{"dies_at_confirm", kPinentryDies, "OK", ConfirmAnswer::Unavailable},
        AnswerCase{"unknown_reply", "echo 'INQUIRE SOMETHING'", "OK", ConfirmAnswer::Unavailable},
        AnswerCase{"refusing_greeting", kPinentryYes, "ERR 1 no", ConfirmAnswer::Unavailable},
        // Gone before the first command: writing to it must not raise SIGPIPE.
        AnswerCase{"gone_after_greeting", kPinentryYes, "OK'; exit 0; echo '",
                   ConfirmAnswer::Unavailable}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Pinentry, TellsTitleDescriptionAndTimeoutThenSaysGoodbye) {
  TempDir dir;
  WritePinentry(dir.path(), kPinentryYes);
  ScopedPath path(dir.path());
  const ConfirmRequest question{"Title", "100% sure?\nSay so.", 7s};
  ASSERT_EQ(ConfirmWithPinentry(question), ConfirmAnswer::Yes);

  std::vector<std::string> commands;
  for (const std::string& line : PinentryReceived(dir.path()))
    if (!line.starts_with("OPTION ")) commands.push_back(line);  // tty options depend on the host
  const std::vector<std::string> expected = {"SETTIMEOUT 7", "SETTITLE Title",
                                             "SETDESC 100%25 sure?%0ASay so.", "CONFIRM", "BYE"};
  EXPECT_EQ(commands, expected);
}

TEST(Pinentry, UnavailableWithoutAPinentryOnPath) {
  TempDir dir;  // empty: the machine's own pinentry is not on this PATH
  ScopedPath path(dir.path());
  EXPECT_EQ(ConfirmWithPinentry(kQuestion), ConfirmAnswer::Unavailable);
  EXPECT_EQ(ConfirmWithPinentry(kQuestion, nullptr), ConfirmAnswer::Unavailable);
}

TEST(Pinentry, UnavailableWhenNotExecutable) {
  TempDir dir;
  WritePinentry(dir.path(), kPinentryYes);
  std::filesystem::permissions(dir.path() / "pinentry", std::filesystem::perms::owner_read);
  ScopedPath path(dir.path());
  EXPECT_EQ(ConfirmWithPinentry(kQuestion), ConfirmAnswer::Unavailable);
}

TEST(Pinentry, OneThatNeverAnswersIsEndedAtTheDeadline) {
  TempDir dir;
  WritePinentry(dir.path(), kPinentryHangs);
  ScopedPath path(dir.path());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ConfirmWithPinentry({"t", "d", 300ms}), ConfirmAnswer::Unavailable);
  // The deadline, then at most the grace for a goodbye and a SIGTERM.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  ExpectNoChildLeft();
}

struct EscapeCase {
  std::string text;
  std::size_t maxLength;
  std::string expected;
};

TEST(AssuanEscape, PercentAndControlBytesAndCuts) {
  const EscapeCase cases[] = {
      {"Card PIN verification.", 1000, "Card PIN verification."},
      {"50%\r\nx", 1000, "50%25%0D%0Ax"},
      {"a\tb\x7f", 1000, "a%09b%7F"},
      {"+ and spaces stay", 1000, "+ and spaces stay"},
      {"abc%", 4, "abc"},   // no half escape
      {"abc%", 6, "abc%25"},
      {"\xC3\xB1", 1, ""},  // no half UTF-8 character
      {"\xC3\xB1", 2, "\xC3\xB1"},
      {"a\xE2\x82\xAC", 3, "a"},
      {"a\xE2\x82\xAC", 4, "a\xE2\x82\xAC"},
      {"", 10, ""},
  };
  for (const EscapeCase& c : cases)
    EXPECT_EQ(AssuanEscape(c.text, c.maxLength), c.expected) << c.text << " / " << c.maxLength;
}

TEST(AssuanEscape, LongTextsFitOneLine) {
  TempDir dir;
  WritePinentry(dir.path(), kPinentryYes);
  ScopedPath path(dir.path());
  ASSERT_EQ(ConfirmWithPinentry({std::string(3000, 'T'), std::string(3000, '%'), 5s}),
            ConfirmAnswer::Yes);
  for (const std::string& line : PinentryReceived(dir.path()))
    EXPECT_LE(line.size(), zorbix::platform::kAssuanLineLength) << line.substr(0, 20);
}

}  // namespace
