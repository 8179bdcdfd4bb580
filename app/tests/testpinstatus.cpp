// TEST 3 and the PIN unblock. Placeholder bodies: the PIN is not blocked.
#include "app/htmllog.h"
#include "app/tests/defaultsteps.h"
#include "res/strings.h"

namespace zorbix::app {

int DefaultTestSteps::TestPinStatus(RunState& s) {
  s.SetStatusLine(182);
  LogSectionStart(kLogHeadingTest3, res::Text(210));
  return 1;
}

int DefaultTestSteps::UnblockPin(RunState& s) {
  s.SetStatusLine(183);
  return 1;
}

}  // namespace zorbix::app
