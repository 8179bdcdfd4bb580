// Log header of a program file without a version record.
#include "app/htmllog.h"
#include "log_fixture.h"
#include "platform/version.h"

namespace zorbix::app {
namespace {

using Header = LogFixture;

TEST_F(Header, ShowsErrorThenTheDate) {
  ASSERT_EQ(platform::GetFileVersionInfoSize(platform::ProgramFilePath()), 0u);
  LogAppHeader();
  const std::string head =
      "\n<B><PRE>ERROR</B></PRE>"
      "\n<B><PRE>Date Info:   \t";
  const std::string tail = ".</B></PRE>";
  const std::string log = Log();
  ASSERT_GT(log.size(), head.size() + tail.size()) << log;
  EXPECT_EQ(log.substr(0, head.size()), head);
  EXPECT_EQ(log.substr(log.size() - tail.size()), tail);
  EXPECT_TRUE(IsDateAndTime(
      log.substr(head.size(), log.size() - head.size() - tail.size())))
      << log;
}

}  // namespace
}  // namespace zorbix::app
