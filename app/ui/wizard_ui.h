// The user-interface operations the wizard's logic drives, and the events a
// toolkit adapter delivers back. Qt, the console and the recording adapter
// for tests each implement WizardUi.
#pragma once

#include <string>

#include "platform/confirm.h"
#include "platform/secret.h"

namespace zorbix::app {

// Button combinations for SetButtons.
enum Buttons : unsigned {
  kButtonsNone = 0,
  kButtonBack = 1,
  kButtonNext = 2,
  kButtonFinish = 4,
  kButtonFinishDisabled = 8,
};

enum class Page { Welcome, Test, Completion, Error };

enum class MessageKind { Error, Warning };

// What a Yes/No question got: Yes, No (or the box closed), or Unavailable
// when no box could be shown.
using platform::ConfirmAnswer;

// Icon resource ids used as status marks.
enum IconId : int {
  kIconPass = 147,
  kIconNotRun = 148,
  kIconFail = 1049,
  kIconWarning = 146,
};

inline constexpr unsigned kPollTimerId = 0x1000FF;
inline constexpr unsigned kPollPeriodMs = 1000;
inline constexpr int kAnimationResource = 140;

// The three edit fields of the test page.
struct Fields {
  SecretString pin;
  SecretString puk;
  SecretString newPin;
};

class WizardUi {
 public:
  virtual ~WizardUi() = default;

  virtual void SetButtons(unsigned buttons) = 0;
  virtual bool IsNextEnabled() const = 0;
  virtual void SetText(int controlId, const std::string& text) = 0;
  virtual void SetEnabled(int controlId, bool enabled) = 0;
  virtual void SetVisible(int controlId, bool visible) = 0;
  virtual void SetIcon(int iconControlId, int iconId) = 0;
  virtual void SetFont(int controlId, int pointSize) = 0;
  virtual void SetTitle(const std::string& text) = 0;
  virtual void GoToPage(Page page) = 0;
  virtual void MessageBox(const std::string& text, const std::string& caption,
                          MessageKind kind) = 0;
  // A modal question with a warning icon and the buttons Yes and No.
  virtual ConfirmAnswer AskYesNo(const std::string& text, const std::string& caption) = 0;
  virtual void StartTimer(unsigned id, unsigned periodMs) = 0;
  virtual void StopTimer(unsigned id) = 0;
  virtual void AnimationOpen(int resourceId) = 0;
  virtual void AnimationPlay() = 0;
  virtual void AnimationStop() = 0;  // stop and show the first frame
  virtual Fields ReadFields() = 0;
  virtual void WriteFields(const Fields& fields) = 0;

  // Reader drop-down (control 1035).
  virtual void ClearReaderList() = 0;
  virtual void AddReader(const std::string& name) = 0;
  virtual void SelectReader(int index) = 0;
  virtual int SelectedReader() const = 0;  // -1 when nothing is selected

  virtual bool IsChecked(int controlId) const = 0;

  // Waits while the page stays drawn (the pause before the completion page).
  virtual void Pause(unsigned ms) = 0;
};

// What an adapter tells the logic. Implemented by the wizard.
class WizardEvents {
 public:
  virtual ~WizardEvents() = default;

  virtual void OnPageActivated(Page page) = 0;
  virtual void OnTimer(unsigned id) = 0;
  virtual void OnReaderSelectionChanged() = 0;
  virtual void OnPinChanged() = 0;
  virtual void OnPukChanged() = 0;
  virtual void OnNewPinChanged() = 0;
  virtual void OnUnblockClicked() = 0;
  virtual void OnButton1036Clicked() = 0;
  // Next on `page`: returns the page to move to, or the same page to stay.
  virtual Page OnNext(Page page) = 0;
  // Back on `page`: returns the page to move to.
  virtual Page OnBack(Page page) = 0;
  // Finish on `page`: true when the wizard may close.
  virtual bool OnFinish(Page page) = 0;
  virtual void OnCancel() = 0;
};

}  // namespace zorbix::app
