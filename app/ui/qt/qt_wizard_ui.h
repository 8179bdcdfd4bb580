// The Qt 6 adapter: the user-interface operations on a QWizard, and the
// widgets' signals delivered to the logic as WizardEvents.
//
// The run (Next on the test page) is synchronous for the logic but goes on a
// worker thread here: every operation it calls is carried out on the UI
// thread and waited for, so the window repaints and the busy animation moves
// while the logic waits on the card. Meanwhile the page's inputs and the
// wizard buttons are off, and no event reaches the logic.
#pragma once

#include <QSizeF>
#include <array>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <thread>
#include <unordered_map>

#include "app/ui/wizard_ui.h"

class QTimer;
class QWidget;
class QWizard;
class QWizardPage;

namespace zorbix::app::ui {

class BusyAnimation;
class QtTranslations;
class WizardDialog;

class QtWizardUi final : public WizardUi {
 public:
  using MessageBoxHook =
      std::function<void(const std::string& text, const std::string& caption, MessageKind kind)>;

  // Builds the wizard and its pages in the user's language; nothing is
  // shown yet. Needs a QApplication.
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
  // Pixels per dialog unit, measured on the font the pages use.
  QSizeF DialogUnit() const { return QSizeF(dialogUnit_[0], dialogUnit_[1]); }
  // True while the run is under way on its worker thread.
  bool IsRunning() const { return running_; }
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
  ConfirmAnswer AskYesNo(const std::string& text, const std::string& caption) override;
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

  // Runs `f` on the UI thread and returns its result; from the worker the
  // call waits until the UI thread has done it.
  template <typename F>
  auto OnUi(F&& f) -> decltype(f());
  void BuildPage(Page page);
  void StartRun(Page from);
  void EndRun(Page from, Page returned);
  void SetRunInputs(bool enabled);
  void WireEvents();
  // The control addressed by `id`: on the current page first, then on the
  // other pages.
  QWidget* Find(int id) const;
  void ApplyButtons();
  void ShowMessageBox(const std::string& text, const std::string& caption, MessageKind kind);
  // Runs an event handler of the logic; page requests made meanwhile are
  // carried out once the outermost handler returns.
  void Deliver(const std::function<void()>& handler);
  void NextClicked();
  void BackClicked();
  void PageChanged(int id);

  // First member: Qt's texts must be translated before the wizard exists.
  std::unique_ptr<QtTranslations> translations_;
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
  bool running_ = false;
  std::thread worker_;
  std::map<int, bool> enabledBeforeRun_;
};

}  // namespace zorbix::app::ui
