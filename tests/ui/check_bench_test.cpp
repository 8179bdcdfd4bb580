// zorbix-check as a script and a user run it: against the real pcscd with one
// virtual reader and no card, and on a terminal.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "res/strings.h"
#include "sim/bench.h"
#include "tests/support/temp_dir.h"
#include "tests/ui/subprocess.h"

namespace {

namespace fs = std::filesystem;

using zorbix::testing::TempDir;

TEST(CheckOnBench, AReaderWithoutACardEndsOnTheErrorPageWith207) {
  auto bench = zorbix::sim::Bench::Start(1);
  TempDir dir;

  auto list = zorbix::testing::RunProgram(ZORBIX_CHECK_PATH, {"--list"}, "", dir.path());
  EXPECT_EQ(list.status, 0) << list.err;
  EXPECT_NE(list.out.find("1: " + bench->ReaderName(0)), std::string::npos) << list.out;

  auto r = zorbix::testing::RunProgram(ZORBIX_CHECK_PATH, {"--reader", "1"}, "1234\n", dir.path());
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  const std::string text207 = zorbix::res::Text(207);
  EXPECT_EQ(r.out, "Page: Error\n" + text207 + "\n");
  EXPECT_NE(r.err.find(zorbix::res::Text(206) + ": " + text207), std::string::npos) << r.err;
  EXPECT_EQ(r.out.find("1234"), std::string::npos);
  EXPECT_EQ(r.err.find("1234"), std::string::npos);

  std::ifstream log(dir.path() / "ZorbixLog.html");
  ASSERT_TRUE(log.good());
  std::stringstream content;
  content << log.rdbuf();
  EXPECT_NE(content.str().find("<BR><H1>"), std::string::npos);
  EXPECT_NE(content.str().find(zorbix::res::Text(142)), std::string::npos);
  EXPECT_NE(content.str().find("App. Version: \tv 01.00.02.00"), std::string::npos);
  EXPECT_NE(content.str().find(text207), std::string::npos);
}

// Reads what the terminal shows until `until` appears or the program ends.
std::string ReadTerminal(int fd, const std::string& until, std::string* all) {
  char buf[512];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 10000) <= 0) break;
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;  // EIO once the program has closed the terminal
    all->append(buf, static_cast<std::size_t>(n));
    if (!until.empty() && all->find(until) != std::string::npos) break;
  }
  return *all;
}

// Typed on a terminal, the PIN is not echoed. The reader holds no card, so
// the run ends on the error page without touching one.
TEST(CheckOnTerminal, ThePinIsNotEchoed) {
  auto bench = zorbix::sim::Bench::Start(1);
  TempDir dir;
  int terminal = -1;
  const pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (chdir(dir.path().c_str()) != 0) _exit(127);
    execl(ZORBIX_CHECK_PATH, "zorbix-check", "--reader", "1", static_cast<char*>(nullptr));
    _exit(127);
  }
  std::string shown;
  ReadTerminal(terminal, "PIN: ", &shown);
  ASSERT_NE(shown.find("PIN: "), std::string::npos) << shown;
  ASSERT_EQ(write(terminal, "4711\n", 5), 5);
  ReadTerminal(terminal, "", &shown);
  close(terminal);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_EQ(shown.find("4711"), std::string::npos) << shown;
  EXPECT_NE(shown.find("Page: Error"), std::string::npos) << shown;
}

// What a first-time user types wrong is told before the card is touched,
// and a secret too long for its field ends the reading at once, also from
// an input without line ends.
TEST(CheckOnBench, BadInputIsRefusedBeforeTheRun) {
  auto bench = zorbix::sim::Bench::Start(1);
  TempDir dir;
  struct Case {
    const char* what;
    std::vector<std::string> args;
    std::string input;
    int status;
    const char* told;
  };
  const Case cases[] = {
      {"a reader that is not there, before the PIN", {"--reader", "7"}, "", 1, "there is no reader 7"},
      {"no PIN", {}, "\n", 2, "--no-pin"},
      {"a PIN too long", {}, "12345678901234567\n", 2, "more than 16"},
      {"a short PUK", {"--unblock"}, "1234\n12\n5678\n", 2, "PUK must have exactly 16"},
      {"a short new PIN", {"--unblock"}, "1234\n0123456789ABCDEF\n5\n", 2, "new PIN must have at least 4"},
  };
  for (const Case& c : cases) {
    auto r = zorbix::testing::RunProgram(ZORBIX_CHECK_PATH, c.args, c.input, dir.path());
    EXPECT_EQ(r.status, c.status) << c.what << ": " << r.err;
    EXPECT_NE(r.err.find(c.told), std::string::npos) << c.what << ": " << r.err;
    EXPECT_EQ(r.out.find("Page:"), std::string::npos) << c.what;
    EXPECT_FALSE(fs::exists(dir.path() / "ZorbixLog.html")) << c.what;
  }

  auto zeros = zorbix::testing::RunProgramFromFile(ZORBIX_CHECK_PATH, {}, "/dev/zero", dir.path());
  EXPECT_EQ(zeros.status, 2) << zeros.err;
  EXPECT_NE(zeros.err.find("more than 16"), std::string::npos) << zeros.err;

  // Without a PIN, asked for: the run goes on to the empty reader.
  auto noPin = zorbix::testing::RunProgram(ZORBIX_CHECK_PATH, {"--no-pin"}, "", dir.path());
  EXPECT_EQ(noPin.status, 1) << noPin.err;
  EXPECT_EQ(noPin.out, "Page: Error\n" + zorbix::res::Text(207) + "\n");
}

}  // namespace
