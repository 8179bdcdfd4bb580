// QWizard frame with logic-driven navigation.
#include "app/ui/qt/wizard_dialog.h"

#include <QAbstractButton>
#include <QCloseEvent>

#include "app/ui/wizard_ui.h"

namespace zorbix::app::ui {

WizardDialog::WizardDialog(QWidget* parent) : QWizard(parent) {
  setWizardStyle(QWizard::ModernStyle);
  setOption(QWizard::NoBackButtonOnStartPage, false);
  setOption(QWizard::HaveNextButtonOnLastPage, true);
  setOption(QWizard::HaveFinishButtonOnEarlyPages, true);
  // QWizard would validate and step by itself; the logic decides instead.
  for (WizardButton which : {BackButton, NextButton, CommitButton}) {
    QAbstractButton* b = button(which);
    QObject::disconnect(b, nullptr, this, nullptr);
  }
  connect(button(BackButton), &QAbstractButton::clicked, this, [this] {
    if (hooks_.back) hooks_.back();
  });
  connect(button(NextButton), &QAbstractButton::clicked, this, [this] {
    if (hooks_.next) hooks_.next();
  });
}

void WizardDialog::SwitchTo(int id) {
  if (currentId() == id || !page(id)) return;
  if (visitedIds().contains(id)) {
    while (currentId() != id && visitedIds().size() > 1) back();
    return;
  }
  forcedNext_ = id;
  next();
  forcedNext_ = -1;
}

int WizardDialog::nextId() const {
  if (forcedNext_ >= 0) return forcedNext_;
  // Without a request the pages run in their natural order; the error page
  // is reached only on request.
  switch (static_cast<Page>(currentId())) {
    case Page::Welcome: return static_cast<int>(Page::Test);
    case Page::Test: return static_cast<int>(Page::Completion);
    default: return -1;
  }
}

void WizardDialog::done(int result) {
  if (hooks_.busy && hooks_.busy()) return;  // the run cannot be interrupted
  if (result == QDialog::Accepted) {
    if (hooks_.finish && !hooks_.finish()) return;
  } else if (hooks_.cancel) {
    hooks_.cancel();
  }
  QWizard::done(result);
}

void WizardDialog::closeEvent(QCloseEvent* event) {
  if (hooks_.busy && hooks_.busy()) {
    event->ignore();
    return;
  }
  QWizard::closeEvent(event);
}

}  // namespace zorbix::app::ui
