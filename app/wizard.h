// The wizard's logic: the four pages, reader polling on the test page, the
// run started by Next and its routing to the completion or error page. It
// drives a toolkit only through WizardUi; adapters feed it WizardEvents.
#pragma once

#include <p11-kit/pkcs11.h>

#include <memory>
#include <string>

#include "app/tests/teststeps.h"
#include "app/ui/wizard_ui.h"
#include "app/wizardstate.h"

namespace zorbix::app {

// Caption of the wizard window (string id).
inline constexpr int kWizardCaptionId = 102;
// Title every page sets (string id, "ORVA-ZEL").
inline constexpr int kPageTitleId = 115;

class Wizard final : public WizardEvents {
 public:
  // `p11` is the PKCS#11 module's function list (null: none available).
  Wizard(WizardUi& ui, std::unique_ptr<TestSteps> steps, CK_FUNCTION_LIST_PTR p11 = nullptr);
  ~Wizard() override;
  Wizard(const Wizard&) = delete;
  Wizard& operator=(const Wizard&) = delete;

  // WizardEvents.
  void OnPageActivated(Page page) override;
  void OnTimer(unsigned id) override;
  void OnReaderSelectionChanged() override;
  void OnPinChanged() override;
  void OnPukChanged() override;
  void OnNewPinChanged() override;
  void OnUnblockClicked() override;
  void OnButton1036Clicked() override;
  Page OnNext(Page page) override;
  Page OnBack(Page page) override;
  bool OnFinish(Page page) override;
  void OnCancel() override;

  const std::string& resultText() const { return state_.resultText; }
  bool runCompleted() const { return state_.runCompleted; }
  RunState& state() { return state_; }
  const RunState& state() const { return state_; }

  // Flow operations, public so tests and adapters can name them.
  void ListReaders();
  void PollReader();
  // 0 (SCARD_S_SUCCESS) when the reader at `position` answered.
  LONG ConnectReader(int position);
  void FillReaderList();
  // Runs the tests; returns the page current at the end (Completion or Error).
  Page RunTests();
  int RunCardTests();

 private:
  void ActivateWelcomePage();
  void ActivateTestPage();
  void ActivateCompletionPage();
  void ActivateErrorPage();
  bool EnsureContext();
  LONG FetchReaderNames(std::vector<char>* block);
  void ApplyPinRule();
  void ApplyPukRule();
  void ApplyNewPinRule();
  Page Fail();

  WizardUi& ui_;
  std::unique_ptr<TestSteps> steps_;
  RunState state_;
};

}  // namespace zorbix::app
