// The console adapter: keeps the pages' state in memory, prints message
// boxes as "caption: text" lines, asks Yes/No questions on a stream of
// answers, and steps through the pages on request.
#pragma once

#include <array>
#include <istream>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "app/ui/wizard_ui.h"

namespace zorbix::app::ui {

class ConsoleUi final : public WizardUi {
 public:
  // Questions are asked on `messages` and answered by a line of `answers`
  // ("y" or "yes", any case, for Yes); without answers none can be asked.
  explicit ConsoleUi(std::ostream& messages, std::istream* answers = nullptr);

  void SetEvents(WizardEvents* events) { events_ = events; }

  // Page navigation as a user would do it with the buttons (which need not
  // be enabled: scripts press Next whatever the field rules say).
  void Start();  // activates the welcome page
  void Next();
  // Picks reader `index` in the drop-down, as a click would.
  void ChooseReader(int index);
  // Types the fields; with `unblock`, ticks the unblock check box first.
  void TypeFields(const Fields& fields, bool unblock);
  Page CurrentPage() const { return page_; }

  // Page state, for the front-end and for tests.
  std::string Text(Page page, int controlId) const;
  bool Enabled(Page page, int controlId) const;
  // The icon an icon control shows (0 while none was set).
  int Icon(int controlId) const;
  void SetChecked(int controlId, bool checked) { checked_[controlId] = checked; }
  unsigned Buttons() const { return buttons_; }
  const std::vector<std::string>& Readers() const { return readers_; }
  bool TimerRunning(unsigned id) const { return timers_.count(id) != 0; }

  // WizardUi
  void SetButtons(unsigned buttons) override { buttons_ = buttons; }
  bool IsNextEnabled() const override { return buttons_ & kButtonNext; }
  void SetText(int controlId, const std::string& text) override;
  void SetEnabled(int controlId, bool enabled) override;
  void SetVisible(int, bool) override {}
  void SetIcon(int iconControlId, int iconId) override { icons_[iconControlId] = iconId; }
  void SetFont(int, int) override {}
  void SetTitle(const std::string&) override {}
  void GoToPage(Page page) override;
  void MessageBox(const std::string& text, const std::string& caption,
                  MessageKind kind) override;
  ConfirmAnswer AskYesNo(const std::string& text, const std::string& caption) override;
  void StartTimer(unsigned id, unsigned) override { timers_.insert(id); }
  void StopTimer(unsigned id) override { timers_.erase(id); }
  void AnimationOpen(int) override {}
  void AnimationPlay() override {}
  void AnimationStop() override {}
  Fields ReadFields() override { return fields_; }
  void WriteFields(const Fields& fields) override { fields_ = fields; }
  void ClearReaderList() override;
  void AddReader(const std::string& name) override { readers_.push_back(name); }
  void SelectReader(int index) override;
  int SelectedReader() const override { return selected_; }
  bool IsChecked(int controlId) const override;
  void Pause(unsigned ms) override;

 private:
  void Activate(Page page);
  void Deliver(void (WizardEvents::*event)());
  void Flush();

  std::ostream& messages_;
  std::istream* answers_;
  WizardEvents* events_ = nullptr;
  Page page_ = Page::Welcome;
  unsigned buttons_ = kButtonsNone;
  std::array<std::map<int, std::string>, 4> texts_;
  std::array<std::map<int, bool>, 4> enabled_;
  std::map<int, bool> checked_;
  std::map<int, int> icons_;
  std::set<unsigned> timers_;
  std::vector<std::string> readers_;
  int selected_ = -1;
  Fields fields_;
  int depth_ = 0;
  std::optional<Page> requested_;
};

}  // namespace zorbix::app::ui
