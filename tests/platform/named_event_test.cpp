// Named events: visible to every holder, alive while one lives, gone with
// the process that held it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/named_event.h"
#include "platform/named_mutex.h"
#include "tests/support/temp_dir.h"

namespace {

using zorbix::platform::NamedEvent;

class NamedEvents : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = zorbix::platform::NamedObjectDirectory();
    zorbix::platform::SetNamedObjectDirectory(dir_);
  }
  void TearDown() override { zorbix::platform::SetNamedObjectDirectory(previous_); }
  zorbix::testing::TempDir temp_;
  const std::string dir_ = temp_.path().string();
  std::string previous_;
};

TEST_F(NamedEvents, ExistsWhileAnyHolderLives) {
  const std::string name = "LOCKED_PUB_Virtual PCD 00 00";
  EXPECT_FALSE(NamedEvent::Exists(name));
  auto first = NamedEvent::Create(name);
  ASSERT_NE(first, nullptr);
  EXPECT_TRUE(NamedEvent::Exists(name));
  EXPECT_FALSE(NamedEvent::Exists("LOCKED_PRI_Virtual PCD 00 00"));
  auto second = NamedEvent::Create(name);  // joins, as a second handle would
  ASSERT_NE(second, nullptr);
  first.reset();
  EXPECT_TRUE(NamedEvent::Exists(name));
  second.reset();
  EXPECT_FALSE(NamedEvent::Exists(name));

  // Blanks are encoded; every user may open the file.
  struct stat st {};
  ASSERT_EQ(stat((dir_ + "/" + NamedEvent::FileNameFor(name)).c_str(), &st), 0);
  EXPECT_EQ(NamedEvent::FileNameFor(name), "zorbix-event-LOCKED_PUB_Virtual%20PCD%2000%2000");
  EXPECT_EQ(st.st_mode & 0777, 0666u);
}

TEST_F(NamedEvents, GoneWhenTheHoldingProcessDies) {
  const std::string name = "LOCKED_PRI_reader";
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  if (child == 0) {
    auto event = NamedEvent::Create(name);
    char c = event ? 'y' : 'n';
    (void)!write(ready[1], &c, 1);
    pause();  // killed below, never released by itself
    _exit(0);
  }
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  ASSERT_EQ(c, 'y');
  EXPECT_TRUE(NamedEvent::Exists(name)) << "seen from another process";
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_FALSE(NamedEvent::Exists(name));
  close(ready[0]);
  close(ready[1]);
}

}  // namespace
