// The test steps the executables run. Each step's body lives in the file
// named after it (testsystem.cpp, testsmartcard.cpp, ...).
#pragma once

#include "app/tests/teststeps.h"

namespace zorbix::app {

// TEST 0 with its result: 0, or 2 when a registry value could not be read,
// a key could not be closed or the registry part was cut short.
int RunSystemTest(RunState& s);

class DefaultTestSteps final : public TestSteps {
 public:
  void TestSystem(RunState& s) override;
  void WriteReaderReport(RunState& s, SCARDCONTEXT context, std::string_view cardNames) override;
  int TestSmartCard(RunState& s, std::uint8_t statusBytes[2]) override;
  int TestPkcs15Dump(RunState& s) override;
  int TestPinStatus(RunState& s) override;
  int UnblockPin(RunState& s) override;
  void Test4Header(RunState& s) override;
  CK_RV LoginStep(RunState& s) override;
  int SearchPrivateKeys(RunState& s) override;
  int SearchPublicKeys(RunState& s) override;
  int SearchCertificates(RunState& s) override;
  int SearchDataObjects(RunState& s) override;
};

}  // namespace zorbix::app
