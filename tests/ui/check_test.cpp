// zorbix-check: command line, secrets from standard input, and the run on
// the console adapter against a fake PC/SC service.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "app/tests/teststeps.h"
#include "app/ui/console/check.h"
#include "app/ui/console/console_ui.h"
#include "app/wizard.h"
#include "platform/scard.h"
#include "res/strings.h"
#include "tests/support/fake_scard.h"
#include "tests/support/temp_dir.h"
#include "tests/ui/subprocess.h"

namespace zorbix::app::ui {
namespace {

namespace fs = std::filesystem;
using zorbix::res::Text;

TEST(CheckOptions, ValidCommandLines) {
  struct Case {
    std::vector<std::string> args;
    bool help, list, unblock;
    int reader;
  } cases[] = {
      {{}, false, false, false, 1},
      {{"--reader", "3"}, false, false, false, 3},
      {{"--reader=2", "--unblock"}, false, false, true, 2},
      {{"--list"}, false, true, false, 1},
      {{"--help"}, true, false, false, 1},
      {{"--list", "--help"}, true, true, false, 1},
      {{"--no-pin", "--unblock"}, false, false, true, 1},
  };
  for (const Case& c : cases) {
    CheckOptions o;
    auto error = ParseCheckOptions(c.args, &o);
    ASSERT_FALSE(error.has_value()) << *error;
    EXPECT_EQ(o.help, c.help);
    EXPECT_EQ(o.list, c.list);
    EXPECT_EQ(o.unblock, c.unblock);
    EXPECT_EQ(o.reader, c.reader);
  }
}

TEST(CheckOptions, UsageErrors) {
  const std::vector<std::vector<std::string>> bad = {
      {"--reader"}, {"--reader", "0"}, {"--reader", "-1"}, {"--reader", "1x"},
      {"--reader="}, {"--bogus"},      {"extra"},          {"--list", "--unblock"},
      {"--list", "--reader", "2"}, {"--reader", "x", "--help"}, {"--list", "--no-pin"},
  };
  for (const auto& args : bad) {
    CheckOptions o;
    EXPECT_TRUE(ParseCheckOptions(args, &o).has_value()) << args[0];
  }
}

// Secrets come line by line from a pipe (not a terminal).
class SecretInput : public ::testing::Test {
 protected:
  void Feed(const std::string& text) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fds[1]);
    fd_ = fds[0];
  }
  ~SecretInput() override {
    if (fd_ >= 0) close(fd_);
  }
  SecretRead Read(SecretString* s) { return ReadSecretLine(fd_, "PIN: ", s); }
  int fd_ = -1;
};

TEST_F(SecretInput, LinesEndingsAndEndOfInput) {
  Feed("1234\r\nABCDEFGHIJKLMNOP\n\nlast");
  SecretString s;
  ASSERT_EQ(Read(&s), SecretRead::Ok);
  EXPECT_EQ(s.view(), "1234");
  ASSERT_EQ(Read(&s), SecretRead::Ok);
  EXPECT_EQ(s.view(), "ABCDEFGHIJKLMNOP");  // 16: the most a field holds
  ASSERT_EQ(Read(&s), SecretRead::Ok);
  EXPECT_TRUE(s.empty());
  ASSERT_EQ(Read(&s), SecretRead::Ok);
  EXPECT_EQ(s.view(), "last");
  ASSERT_EQ(Read(&s), SecretRead::Ok);
  EXPECT_TRUE(s.empty());
}

TEST_F(SecretInput, LongerThanAFieldIsRefusedNotCut) {
  Feed("ABCDEFGHIJKLMNOPQ\n");
  SecretString s("old");
  EXPECT_EQ(Read(&s), SecretRead::TooLong);
  EXPECT_TRUE(s.empty());
}

// An input without line ends ends the read as soon as it passes the limit.
TEST_F(SecretInput, EndlessInputEndsAtTheLimit) {
  fd_ = open("/dev/zero", O_RDONLY);
  ASSERT_GE(fd_, 0);
  SecretString s;
  EXPECT_EQ(Read(&s), SecretRead::TooLong);
  EXPECT_TRUE(s.empty());
}

TEST(CheckFields, TheTestPageRulesDecide) {
  struct Case {
    const char* what;
    bool unblock, noPin;
    const char *pin, *puk, *newPin;
    const char* rule;  // words of the message, empty when the run may go
  };
  const std::string puk16 = "0123456789ABCDEF";
  const Case cases[] = {
      {"a PIN", false, false, "1", "", "", ""},
      {"no PIN", false, false, "", "", "", "--no-pin"},
      {"no PIN, asked for", false, true, "", "", "", ""},
      {"unblock", true, false, "1234", puk16.c_str(), "5678", ""},
      {"unblock, short PUK", true, false, "1234", "12", "5678", "PUK must have exactly 16"},
      {"unblock, long PUK", true, false, "1234", "0123456789ABCDEFG", "5678", "PUK must have exactly 16"},
      {"unblock, short new PIN", true, false, "1234", puk16.c_str(), "1", "new PIN must have at least 4"},
      {"unblock, short PIN", true, false, "12", puk16.c_str(), "5678", "PIN must have at least 4"},
      {"unblock, no PIN", true, false, "", puk16.c_str(), "5678", "--no-pin"},
      {"unblock, no PIN, asked for", true, true, "", puk16.c_str(), "5678", ""},
      {"unblock, no PIN, short PUK", true, true, "", "12", "5678", "PUK must have exactly 16"},
  };
  for (const Case& c : cases) {
    CheckOptions options;
    options.unblock = c.unblock;
    options.noPin = c.noPin;
    Fields fields;
    fields.pin.assign(c.pin);
    fields.puk.assign(c.puk);
    fields.newPin.assign(c.newPin);
    const auto broken = CheckFieldRules(options, fields);
    if (std::string(c.rule).empty()) {
      EXPECT_FALSE(broken.has_value()) << c.what << ": " << *broken;
    } else {
      ASSERT_TRUE(broken.has_value()) << c.what;
      EXPECT_NE(broken->find(c.rule), std::string::npos) << c.what << ": " << *broken;
    }
  }
}

// The run through the console adapter and the real wizard logic.
class ConsoleRun : public ::testing::Test {
 protected:
  ConsoleRun() : useFake_(&fake_) {}
  int Run(const CheckOptions& options, const Fields& fields) {
    ConsoleUi ui(err_);
    Wizard wizard(ui, MakeDefaultTestSteps());
    ui.SetEvents(&wizard);
    return RunCheck(ui, options, fields, out_, err_);
  }
  int Run(const CheckOptions& options) {
    Fields fields;
    fields.pin.assign("1234");
    return Run(options, fields);
  }

  testing::TempDir temp_{testing::TempDir::kEnter};
  const fs::path& dir_ = temp_.path();
  testing::FakeScard fake_;
  platform::ScopedScardApi useFake_;
  std::ostringstream out_, err_;
};

TEST_F(ConsoleRun, AReaderWithoutACardEndsOnTheErrorPageWith207) {
  fake_.AddReader("Empty Reader 00");
  EXPECT_EQ(Run(CheckOptions{}), kExitFailed);
  EXPECT_EQ(out_.str(), "Page: Error\n" + Text(207) + "\n");
  EXPECT_NE(err_.str().find(Text(206) + ": " + Text(207)), std::string::npos) << err_.str();
  EXPECT_TRUE(fs::exists(dir_ / "ZorbixLog.html"));
  EXPECT_EQ(err_.str().find("1234"), std::string::npos);
}

// --unblock ticks the check box before the PUK and new PIN arrive, so the
// logic sees unblock mode and its PUK rule.
TEST_F(ConsoleRun, UnblockTicksTheBoxAndTypesAllThreeFields) {
  fake_.AddReader("Reader 00");
  fake_.InsertCard("Reader 00", {0x3B, 0x00});
  ConsoleUi ui(err_);
  Wizard wizard(ui, MakeDefaultTestSteps());
  ui.SetEvents(&wizard);
  ui.Start();
  ui.Next();
  ASSERT_EQ(ui.CurrentPage(), Page::Test);
  ui.ChooseReader(0);
  EXPECT_TRUE(ui.Enabled(Page::Test, 1000));
  Fields fields;
  fields.pin.assign("1234");
  fields.puk.assign("0123456789ABCDEF");
  fields.newPin.assign("5678");
  ui.TypeFields(fields, true);
  EXPECT_TRUE(ui.IsChecked(1025));
  for (int id : {1028, 1023, 1021, 1001}) EXPECT_TRUE(ui.Enabled(Page::Test, id)) << id;
  EXPECT_EQ(ui.Buttons(), static_cast<unsigned>(kButtonBack | kButtonNext));
}

// Fields the test page would refuse never reach the card: the run stops
// before the wizard starts, naming the rule.
TEST_F(ConsoleRun, FieldsBreakingTheRulesStopTheRun) {
  fake_.AddReader("Reader 00");
  fake_.InsertCard("Reader 00", {0x3B, 0x00});
  CheckOptions options;
  options.unblock = true;
  Fields fields;
  fields.pin.assign("1234");
  fields.puk.assign("12");
  fields.newPin.assign("5");
  EXPECT_EQ(Run(options, fields), kExitUsage);
  EXPECT_NE(err_.str().find("PUK must have exactly 16"), std::string::npos) << err_.str();
  EXPECT_EQ(fake_.Count("Connect"), 0u);
  EXPECT_EQ(fake_.Count("Transmit"), 0u);
  EXPECT_FALSE(fs::exists(dir_ / "ZorbixLog.html"));
}

TEST_F(ConsoleRun, ARunWithoutAPinOnlyWhenAskedFor) {
  fake_.AddReader("Empty Reader 00");
  CheckOptions options;
  EXPECT_EQ(Run(options, Fields{}), kExitUsage);
  EXPECT_NE(err_.str().find("--no-pin"), std::string::npos) << err_.str();

  options.noPin = true;
  EXPECT_EQ(Run(options, Fields{}), kExitFailed);
  EXPECT_EQ(out_.str(), "Page: Error\n" + Text(207) + "\n");
}

// Before anything is asked for: is the service there, and the reader?
TEST_F(ConsoleRun, ReaderChoiceIsCheckedFirst) {
  fake_.AddReader("Reader 00");
  CheckOptions options;
  EXPECT_EQ(CheckReaderChoice(options, err_), 0);
  options.reader = 7;
  EXPECT_EQ(CheckReaderChoice(options, err_), kExitFailed);
  EXPECT_NE(err_.str().find("there is no reader 7 (1 found"), std::string::npos) << err_.str();
  EXPECT_EQ(fake_.OpenContexts(), 0u);

  fake_.RemoveReader("Reader 00");
  err_.str("");
  options.reader = 1;
  EXPECT_EQ(CheckReaderChoice(options, err_), 0) << "no reader at all: the run says so itself";
  options.reader = 2;
  EXPECT_EQ(CheckReaderChoice(options, err_), kExitFailed);
  EXPECT_NE(err_.str().find("no reader 2 (0 found"), std::string::npos) << err_.str();
}

// Without the PC/SC service the message comes once and names pcscd.
TEST_F(ConsoleRun, NoServiceSaysPcscdIsNotRunning) {
  fake_.FailAlways("EstablishContext", SCARD_E_NO_SERVICE);
  EXPECT_EQ(CheckReaderChoice(CheckOptions{}, err_), kExitFailed);
  EXPECT_EQ(ListReaders(out_, err_), kExitFailed);
  const std::string told = err_.str();
  const std::string text205 = Text(205);
  const std::size_t first = told.find(text205);
  ASSERT_NE(first, std::string::npos) << told;
  EXPECT_NE(told.find("pcscd"), std::string::npos) << told;
  // Once per call: two calls, two messages, and no other copy.
  const std::size_t second = told.find(text205, first + 1);
  ASSERT_NE(second, std::string::npos);
  EXPECT_EQ(told.find(text205, second + 1), std::string::npos) << told;
}

TEST_F(ConsoleRun, AReaderPositionPastTheListIsRefused) {
  fake_.AddReader("Reader 00");
  CheckOptions options;
  options.reader = 2;
  EXPECT_EQ(Run(options), kExitFailed);
  EXPECT_NE(err_.str().find("no reader 2"), std::string::npos) << err_.str();
  EXPECT_EQ(fake_.Count("Connect"), 0u);
}

TEST_F(ConsoleRun, ListNumbersTheReadersFromOne) {
  fake_.AddReader("Reader A");
  fake_.AddReader("Reader <B>");
  EXPECT_EQ(ListReaders(out_, err_), kExitCompleted);
  EXPECT_EQ(out_.str(), "1: Reader A\n2: Reader <B>\n");
}

// The built program: help and usage errors need no PC/SC.
TEST(CheckProgram, HelpAndUsageErrors) {
  auto help = testing::RunProgram(ZORBIX_CHECK_PATH, {"--help"}, "");
  EXPECT_EQ(help.status, kExitCompleted);
  for (const char* word : {"--list", "--reader N", "--unblock", "ZorbixLog.html", "echo",
                           "standard input", "Exit status"})
    EXPECT_NE(help.out.find(word), std::string::npos) << word;

  for (std::vector<std::string> args : {std::vector<std::string>{"--reader", "0"},
                                        std::vector<std::string>{"--frobnicate"}}) {
    auto r = testing::RunProgram(ZORBIX_CHECK_PATH, args, "");
    EXPECT_EQ(r.status, kExitUsage) << args[0];
    EXPECT_NE(r.err.find("--help"), std::string::npos);
    EXPECT_TRUE(r.out.empty());
  }
}

// The built program with no PC/SC service (its socket pointed nowhere): one
// message naming pcscd, and no secret asked for.
TEST(CheckProgram, NoServiceIsToldOnceBeforeAnySecret) {
  setenv("PCSCLITE_CSOCK_NAME", "/nonexistent/zorbix-test/pcscd.comm", 1);
  auto r = testing::RunProgram(ZORBIX_CHECK_PATH, {"--reader", "7"}, "1234\n");
  unsetenv("PCSCLITE_CSOCK_NAME");
  EXPECT_EQ(r.status, kExitFailed);
  const std::string text205 = Text(205);
  const std::size_t at = r.err.find(text205);
  ASSERT_NE(at, std::string::npos) << r.err;
  EXPECT_EQ(r.err.find(text205, at + 1), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("pcscd"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("PIN"), std::string::npos) << r.err;
  EXPECT_TRUE(r.out.empty()) << r.out;
}

#ifdef ZORBIX_GUI_PATH
// The wizard started where there is no display says so and points to
// zorbix-check, instead of Qt's abort.
TEST(GuiProgram, NoDisplayPointsToTheConsoleProgram) {
  std::vector<std::pair<std::string, std::string>> saved;
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    if (const char* v = std::getenv(name)) saved.emplace_back(name, v);
    unsetenv(name);
  }
  auto r = testing::RunProgram(ZORBIX_GUI_PATH, {}, "");
  for (const auto& [name, value] : saved) setenv(name.c_str(), value.c_str(), 1);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("no display was found"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("zorbix-check"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("Reinstalling"), std::string::npos) << r.err;
}
#endif

}  // namespace
}  // namespace zorbix::app::ui
