// zorbix-check as a script runs it, against the real pcscd with one virtual
// reader and no card.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "res/strings.h"
#include "sim/bench.h"
#include "tests/ui/subprocess.h"

namespace {

namespace fs = std::filesystem;

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/zorbix-check-bench-XXXXXX";
    path_ = mkdtemp(tmpl);
  }
  ~TempDir() { fs::remove_all(path_); }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

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

}  // namespace
