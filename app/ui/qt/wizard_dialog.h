// The QWizard frame: header band, four pages, and the hooks through which
// its buttons reach the adapter. Navigation is decided by the logic, so Back
// and Next are rewired and page changes go through SwitchTo().
#pragma once

#include <QWizard>
#include <functional>

namespace zorbix::app::ui {

class WizardDialog : public QWizard {
  Q_OBJECT

 public:
  struct Hooks {
    std::function<void()> back;
    std::function<void()> next;
    std::function<bool()> finish;  // true: may close
    std::function<void()> cancel;
    std::function<bool()> busy;    // true: a request is running, keep open
  };

  explicit WizardDialog(QWidget* parent = nullptr);

  void SetHooks(Hooks hooks) { hooks_ = std::move(hooks); }

  // Makes page `id` current, stepping back through the history when it was
  // visited before and forward otherwise.
  void SwitchTo(int id);

  int nextId() const override;
  bool validateCurrentPage() override { return true; }
  void done(int result) override;

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  Hooks hooks_;
  int forcedNext_ = -1;
};

}  // namespace zorbix::app::ui
