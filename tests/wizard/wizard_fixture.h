// Shared fixture of the wizard tests: a fake PC/SC service, the recording
// UI, scripted test steps and a minimal PKCS#11 function list, all inside a
// temporary working folder (the log is written to the current directory).
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/tests/teststeps.h"
#include "app/wizard.h"
#include "platform/scard.h"
#include "res/strings.h"
#include "tests/support/fake_scard.h"
#include "tests/support/recording_ui.h"
#include "tests/support/temp_dir.h"

namespace zorbix::testing {

// What the scripted steps return, and what they saw.
struct Script {
  int smartCard = app::kLifePhaseUser;
  int dump = 0;
  int pinStatus = 1;
  bool pinStatusOpensSession = false;
  bool pinStatusFinishesRun = false;  // FinishRun + error page, then 0
  int unblock = 1;
  CK_RV login = CKR_OK;
  int privateKeys = 1;
  int publicKeys = 1;
  int certificates = 1;
  int dataObjects = 1;

  std::vector<std::string> calls;
};

// Each step records its name, appends "<name>;" to the result text and
// returns the scripted value.
class ScriptedSteps final : public app::TestSteps {
 public:
  explicit ScriptedSteps(Script* script) : script_(script) {}

  void TestSystem(app::RunState& s) override;
  void WriteReaderReport(app::RunState& s, SCARDCONTEXT, std::string_view cardNames) override;
  int TestSmartCard(app::RunState& s, std::uint8_t statusBytes[2]) override;
  int TestPkcs15Dump(app::RunState& s) override;
  int TestPinStatus(app::RunState& s) override;
  int UnblockPin(app::RunState& s) override;
  void Test4Header(app::RunState& s) override;
  CK_RV LoginStep(app::RunState& s) override;
  int SearchPrivateKeys(app::RunState& s) override;
  int SearchPublicKeys(app::RunState& s) override;
  int SearchCertificates(app::RunState& s) override;
  int SearchDataObjects(app::RunState& s) override;

  std::string cardNames;  // last multi-string given to the reader report

 private:
  int Step(app::RunState& s, const char* name, int result);
  Script* script_;
};

// C_CloseSession and C_Finalize only; counts calls, fails on request.
struct FakeModule {
  FakeModule();
  ~FakeModule();
  CK_FUNCTION_LIST list{};
  static inline int closeCalls = 0;
  static inline int finalizeCalls = 0;
  static inline CK_SESSION_HANDLE closedSession = 0;
  static inline CK_RV closeResult = CKR_OK;
  static inline CK_RV finalizeResult = CKR_OK;
};

class WizardTest : public ::testing::Test {
 protected:
  WizardTest();
  ~WizardTest() override;

  // Reader "Reader A" with a card in it.
  void InsertCardReader(const std::string& reader = "Reader A");
  // Shows the test page (its activation runs) and gives the poll one tick.
  void ActivateTestPage();
  void Tick() { wizard_->OnTimer(app::kPollTimerId); }
  // Next on the test page, as an adapter: it moves to the page returned.
  app::Page PressNext();
  std::string LogText() const;
  // Number of times `needle` occurs in the log.
  std::size_t LogCount(const std::string& needle) const;

  TempDir temp_{TempDir::kEnter};
  const std::filesystem::path& dir_ = temp_.path();
  FakeScard fake_;
  platform::ScopedScardApi useFake_{&fake_};
  RecordingUi ui_;
  Script script_;
  FakeModule module_;
  ScriptedSteps* steps_ = nullptr;
  std::unique_ptr<app::Wizard> wizard_;
};

inline const std::string& T(int id) { return res::Text(id); }

}  // namespace zorbix::testing
