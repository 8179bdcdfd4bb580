// Log header of a program file without a version record.
#include <regex>

#include "app/htmllog.h"
#include "log_fixture.h"
#include "platform/version.h"

namespace zorbix::app {
namespace {

using Header = LogFixture;

TEST_F(Header, ShowsErrorThenTheDate) {
  ASSERT_EQ(platform::GetFileVersionInfoSize(platform::ProgramFilePath()), 0u);
  LogAppHeader();
  const std::string log = Log();
  EXPECT_TRUE(std::regex_match(
      log, std::regex("\n<B><PRE>ERROR</B></PRE>"
                      "\n<B><PRE>Date Info:   \t"
                      R"([01]\d/[0-3]\d/\d\d - [0-2]\d:[0-5]\d:[0-6]\d\.)"
                      "</B></PRE>")))
      << log;
}

}  // namespace
}  // namespace zorbix::app
