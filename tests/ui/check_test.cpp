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
      {"--list", "--reader", "2"}, {"--reader", "x", "--help"},
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

// The run through the console adapter and the real wizard logic.
class ConsoleRun : public ::testing::Test {
 protected:
  ConsoleRun() : useFake_(&fake_) {}
  int Run(const CheckOptions& options) {
    ConsoleUi ui(err_);
    Wizard wizard(ui, MakeDefaultTestSteps());
    ui.SetEvents(&wizard);
    Fields fields;
    fields.pin.assign("1234");
    return RunCheck(ui, options, fields, out_, err_);
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
  auto tooLong = testing::RunProgram(ZORBIX_CHECK_PATH, {}, "12345678901234567\n");
  EXPECT_EQ(tooLong.status, kExitUsage);
  EXPECT_NE(tooLong.err.find("more than 16"), std::string::npos) << tooLong.err;
  EXPECT_EQ(tooLong.err.find("12345678901234567"), std::string::npos);
}

}  // namespace
}  // namespace zorbix::app::ui
