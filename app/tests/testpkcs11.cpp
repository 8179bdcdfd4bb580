// TEST 4: login and the four object searches. Placeholder bodies: nothing
// to log in to and no objects found.
#include "app/htmllog.h"
#include "app/tests/defaultsteps.h"
#include "res/strings.h"

namespace zorbix::app {

void DefaultTestSteps::Test4Header(RunState&) {
  LogSectionStart(kLogHeadingTest4, res::Text(147));
  LogWrite(kLogStepFrameOpenBr, true);
  LogWrite(kLogStepTitleOpen, true);
  LogWrite(res::Text(148), true);
  LogWrite(kLogStepTitleClose, true);
}

CK_RV DefaultTestSteps::LoginStep(RunState&) { return CKR_OK; }

int DefaultTestSteps::SearchPrivateKeys(RunState& s) {
  s.AppendResultText("\nCKO_PRIVATE_KEY: \t\t0 objects.\n");
  return 0;
}

int DefaultTestSteps::SearchPublicKeys(RunState& s) {
  s.AppendResultText("CKO_PUBLIC_KEY:  \t\t0 objects.\n");
  return 0;
}

int DefaultTestSteps::SearchCertificates(RunState& s) {
  s.AppendResultText("CKO_CERTIFICATE: \t\t0 objects.\n");
  return 0;
}

int DefaultTestSteps::SearchDataObjects(RunState& s) {
  s.AppendResultText("CKO_DATA: \t\t\t0 objects.\n");
  return 0;
}

}  // namespace zorbix::app
