// A WizardUi that records every operation, for tests of the wizard's logic:
// the current state of each control, the history of calls, and setters for
// what the user would type, select or tick.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "app/ui/wizard_ui.h"

namespace zorbix::testing {

class RecordingUi : public app::WizardUi {
 public:
  struct MessageRecord {
    std::string text;
    std::string caption;
    app::MessageKind kind;
  };
  enum class Animation { None, Opened, Playing, Stopped };

  // With events set, GoToPage activates the page as a toolkit would.
  void SetEvents(app::WizardEvents* events) { events_ = events; }

  // --- What the user does --------------------------------------------------
  void TypePin(std::string_view s) { fields_.pin.assign(s); }
  void TypePuk(std::string_view s) { fields_.puk.assign(s); }
  void TypeNewPin(std::string_view s) { fields_.newPin.assign(s); }
  void SetChecked(int controlId, bool checked) { checked_[controlId] = checked; }
  void SetSelection(int index) { selected_ = index; }
  // What AskYesNo answers (No until set).
  void AnswerYesNo(app::ConfirmAnswer answer) { answer_ = answer; }

  // --- What the logic did --------------------------------------------------
  unsigned buttons() const { return buttons_; }
  const std::vector<unsigned>& buttonHistory() const { return buttonHistory_; }
  // Current text of a control; empty when never set.
  std::string text(int controlId) const;
  // Every text a control received, in order.
  std::vector<std::string> textHistory(int controlId) const;
  // -1 never set, else 0 or 1.
  int enabled(int controlId) const;
  int visible(int controlId) const;
  // 0 when never set.
  int icon(int controlId) const;
  int font(int controlId) const;
  const std::string& title() const { return title_; }
  app::Page page() const { return page_; }
  const std::vector<app::Page>& pageHistory() const { return pageHistory_; }
  const std::vector<MessageRecord>& messages() const { return messages_; }
  // The Yes/No questions asked, as text and caption.
  const std::vector<MessageRecord>& questions() const { return questions_; }
  bool timerRunning() const { return timerRunning_; }
  unsigned timerId() const { return timerId_; }
  unsigned timerPeriod() const { return timerPeriod_; }
  Animation animation() const { return animation_; }
  int animationResource() const { return animationResource_; }
  const std::vector<unsigned>& pauses() const { return pauses_; }
  const std::vector<std::string>& readers() const { return readers_; }
  int selection() const { return selected_; }
  const app::Fields& fieldControls() const { return fields_; }
  // Every operation as one line ("SetText 1002 Checking ..."), in order.
  const std::vector<std::string>& ops() const { return ops_; }
  // How many operations had this name ("AnimationStop", "GoToPage", ...).
  std::size_t count(std::string_view opName) const;

  // --- WizardUi ------------------------------------------------------------
  void SetButtons(unsigned buttons) override;
  bool IsNextEnabled() const override;
  void SetText(int controlId, const std::string& text) override;
  void SetEnabled(int controlId, bool enabled) override;
  void SetVisible(int controlId, bool visible) override;
  void SetIcon(int iconControlId, int iconId) override;
  void SetFont(int controlId, int pointSize) override;
  void SetTitle(const std::string& text) override;
  void GoToPage(app::Page page) override;
  void MessageBox(const std::string& text, const std::string& caption,
                  app::MessageKind kind) override;
  app::ConfirmAnswer AskYesNo(const std::string& text, const std::string& caption) override;
  void StartTimer(unsigned id, unsigned periodMs) override;
  void StopTimer(unsigned id) override;
  void AnimationOpen(int resourceId) override;
  void AnimationPlay() override;
  void AnimationStop() override;
  app::Fields ReadFields() override;
  void WriteFields(const app::Fields& fields) override;
  void ClearReaderList() override;
  void AddReader(const std::string& name) override;
  void SelectReader(int index) override;
  int SelectedReader() const override;
  bool IsChecked(int controlId) const override;
  void Pause(unsigned ms) override;

 private:
  void Op(std::string line);

  app::WizardEvents* events_ = nullptr;
  unsigned buttons_ = 0;
  std::vector<unsigned> buttonHistory_;
  std::map<int, std::vector<std::string>> texts_;
  std::map<int, bool> enabled_, visible_;
  std::map<int, int> icons_, fonts_;
  std::string title_;
  app::Page page_ = app::Page::Welcome;
  std::vector<app::Page> pageHistory_;
  std::vector<MessageRecord> messages_;
  std::vector<MessageRecord> questions_;
  app::ConfirmAnswer answer_ = app::ConfirmAnswer::No;
  bool timerRunning_ = false;
  unsigned timerId_ = 0, timerPeriod_ = 0;
  Animation animation_ = Animation::None;
  int animationResource_ = 0;
  std::vector<unsigned> pauses_;
  std::vector<std::string> readers_;
  int selected_ = -1;
  std::map<int, bool> checked_;
  app::Fields fields_;
  std::vector<std::string> ops_;
};

}  // namespace zorbix::testing
