// TEST 2: raw dump of the PKCS#15 directory files. Placeholder body.
#include "app/htmllog.h"
#include "app/tests/defaultsteps.h"
#include "res/strings.h"

namespace zorbix::app {

int DefaultTestSteps::TestPkcs15Dump(RunState&) {
  LogSectionStart(kLogHeadingTest2, res::Text(251));
  return 0;
}

}  // namespace zorbix::app
