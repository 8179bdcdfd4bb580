// TEST 1 and the reader report. Placeholder bodies: the card passes.
#include "app/htmllog.h"
#include "app/tests/defaultsteps.h"
#include "res/strings.h"

namespace zorbix::app {

void DefaultTestSteps::WriteReaderReport(RunState&, SCARDCONTEXT, std::string_view) {}

int DefaultTestSteps::TestSmartCard(RunState& s, std::uint8_t statusBytes[2]) {
  s.SetStatusLine(154);
  LogSectionStart(kLogHeadingTest1, res::Text(188));
  statusBytes[0] = 0x90;
  statusBytes[1] = 0x00;
  return kLifePhaseUser;
}

}  // namespace zorbix::app
