// The Qt 6 adapter: the user-interface operations on a QWizard, and the
// widgets' signals delivered to the logic as WizardEvents.
#pragma once

#include <array>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <unordered_map>

#include "app/ui/wizard_ui.h"

class QTimer;
class QWidget;
class QWizard;
class QWizardPage;

namespace zorbix::app::ui {

class BusyAnimation;
class WizardDialog;

class QtWizardUi final : public WizardUi {
 public:
  using MessageBoxHook =
      std::function<void(const std::string& text, const std::string& caption, MessageKind kind)>;

  // Builds the wizard and its pages; nothing is shown yet. Needs a
  // QApplication.
  QtWizardUi();
  ~QtWizardUi() override;
  QtWizardUi(const QtWizardUi&) = delete;
  QtWizardUi& operator=(const QtWizardUi&) = delete;

  void SetEvents(WizardEvents* events) { events_ = events; }

  // Shows the wizard on the welcome page and runs it modally.
  int Exec();
  // Shows it without a modal loop (tests drive the event loop themselves).
  void Show();

  QWizard* Dialog() const;
  QWizardPage* PageWidget(Page page) const;
  // The control `id` of `page`; null when the page has no such control.
  QWidget* Control(Page page, int id) const;
  Page CurrentPage() const;
  QTimer* Timer(unsigned id) const;
  BusyAnimation* Animation() const { return animation_; }
  // Replaces the modal message box (tests).
  void SetMessageBoxHook(MessageBoxHook hook) { messageBoxHook_ = std::move(hook); }

  // WizardUi
  void SetButtons(unsigned buttons) override;
  bool IsNextEnabled() const override;
  void SetText(int controlId, const std::string& text) override;
  void SetEnabled(int controlId, bool enabled) override;
  void SetVisible(int controlId, bool visible) override;
  void SetIcon(int iconControlId, int iconId) override;
  void SetFont(int controlId, int pointSize) override;
  void SetTitle(const std::string& text) override;
  void GoToPage(Page page) override;
  void MessageBox(const std::string& text, const std::string& caption,
                  MessageKind kind) override;
  void StartTimer(unsigned id, unsigned periodMs) override;
  void StopTimer(unsigned id) override;
  void AnimationOpen(int resourceId) override;
  void AnimationPlay() override;
  void AnimationStop() override;
  Fields ReadFields() override;
  void WriteFields(const Fields& fields) override;
  void ClearReaderList() override;
  void AddReader(const std::string& name) override;
  void SelectReader(int index) override;
  int SelectedReader() const override;
  bool IsChecked(int controlId) const override;
  void Pause(unsigned ms) override;

 private:
  using ControlMap = std::unordered_map<int, QWidget*>;

  void BuildPage(Page page);
  void WireEvents();
  // The control addressed by `id`: on the current page first, then on the
  // other pages.
  QWidget* Find(int id) const;
  void ApplyButtons();
  void ShowProgress();
  // Runs an event handler of the logic; page requests made meanwhile are
  // carried out once the outermost handler returns.
  void Deliver(const std::function<void()>& handler);
  void NextClicked();
  void BackClicked();
  void PageChanged(int id);

  std::unique_ptr<WizardDialog> dialog_;
  std::array<QWizardPage*, 4> pages_{};
  std::array<ControlMap, 4> controls_;
  std::array<double, 2> dialogUnit_{};  // pixels per dialog unit, x and y
  std::map<unsigned, QTimer*> timers_;
  BusyAnimation* animation_ = nullptr;
  WizardEvents* events_ = nullptr;
  MessageBoxHook messageBoxHook_;
  unsigned buttons_ = kButtonsNone;
  int depth_ = 0;
  std::optional<Page> requested_;
  bool fillingReaders_ = false;
};

}  // namespace zorbix::app::ui
