// TEST 0: the workstation the card software depends on. Placeholder body.
#include "app/htmllog.h"
#include "app/tests/defaultsteps.h"
#include "res/strings.h"

namespace zorbix::app {

void DefaultTestSteps::TestSystem(RunState&) {
  LogSectionStart(kLogHeadingTest0, res::Text(267));
  LogWrite(res::Text(272), false);
}

}  // namespace zorbix::app
