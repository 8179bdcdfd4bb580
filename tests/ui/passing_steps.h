// Test steps for the Qt adapter's tests: every step passes, TEST 1 answers a
// chosen life phase (15 ends the run on the error page), and the result text
// reads as after a real run.
#pragma once

#include <string>

#include "app/tests/teststeps.h"
#include "res/strings.h"

namespace zorbix::app::ui {

class PassingSteps final : public TestSteps {
 public:
  explicit PassingSteps(int lifePhase) : lifePhase_(lifePhase) {}
  void TestSystem(RunState&) override {}
  void WriteReaderReport(RunState&, SCARDCONTEXT, std::string_view) override {}
  int TestSmartCard(RunState& s, std::uint8_t status[2]) override {
    s.SetStatusLine(154);
    status[0] = 0x90;
    status[1] = 0x00;
    if (lifePhase_ == kLifePhaseFinal) s.AppendResultText(res::Text(202));
    return lifePhase_;
  }
  int TestPkcs15Dump(RunState& s) override {
    s.SetStatusLine(257);
    return 0;
  }
  int TestPinStatus(RunState&) override { return 1; }
  int UnblockPin(RunState&) override { return 1; }
  void Test4Header(RunState&) override {}
  CK_RV LoginStep(RunState& s) override {
    s.SetResultText(res::Text(153));
    return CKR_OK;
  }
  int SearchPrivateKeys(RunState& s) override {
    s.AppendResultText("\nCKO_PRIVATE_KEY: \t\t2 objects.\n");
    return 1;
  }
  int SearchPublicKeys(RunState& s) override {
    s.AppendResultText("CKO_PUBLIC_KEY:  \t\t0 objects.\n");
    return 0;
  }
  int SearchCertificates(RunState& s) override {
    s.AppendResultText("CKO_CERTIFICATE: \t\t2 objects.\n");
    return 1;
  }
  int SearchDataObjects(RunState& s) override {
    s.AppendResultText("CKO_DATA: \t\t\t0 objects.\n");
    return 0;
  }

 private:
  int lifePhase_;
};

}  // namespace zorbix::app::ui
