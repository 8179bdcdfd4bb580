// Qt 6 adapter: pages built from the page templates, operations mapped onto
// widgets, widget signals delivered to the logic.
#include "app/ui/qt/qt_wizard_ui.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QEventLoop>
#include <QFontMetricsF>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTimer>
#include <QThread>
#include <QWizardPage>
#include <chrono>
#include <cmath>
#include <type_traits>

#include "app/ui/navigation.h"
#include "app/ui/page_layouts.h"
#include "app/ui/qt/pictures.h"
#include "app/ui/qt/translations.h"
#include "app/ui/qt/wizard_dialog.h"
#include "platform/secret.h"
#include "res/strings.h"

namespace zorbix::app::ui {
namespace {

// The busy animation's place on the test page, in pixels.
constexpr int kAnimationX = 8, kAnimationY = 20, kAnimationSize = 30;
// Status icons are drawn at most this large, like the 32 x 32 originals.
constexpr int kMaxIconPixels = 32;
// Size of the emblem in the header band, in pixels.
constexpr int kLogoPixels = 48;
// Inputs of the test page the run leaves alone, and the adapter turns off
// while it goes on: the reader list, the unblock box and the new PIN.
constexpr int kRunInputs[] = {1035, 1025, 1001};

QString Q(const std::string& s) { return QString::fromStdString(s); }
QString TextQ(int id) { return Q(res::Text(id)); }

int Index(Page page) { return static_cast<int>(page); }

// One character per byte, as the card expects the PIN.
SecretString ToSecret(const QString& text) {
  QByteArray bytes = text.toLatin1();
  SecretString s(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
  WipeMemory(bytes.data(), static_cast<std::size_t>(bytes.size()));
  return s;
}

QString FromSecret(const SecretString& s) {
  return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size()));
}

void ShowIcon(QLabel* label, int iconId) {
  const int size = std::min({label->width(), label->height(), kMaxIconPixels});
  label->setPixmap(Picture(iconId, std::max(size, 1), label->devicePixelRatioF()));
  label->setProperty("iconId", iconId);
}

}  // namespace

QtWizardUi::QtWizardUi()
    : translations_(std::make_unique<QtTranslations>(res::UserLanguage())),
      dialog_(std::make_unique<WizardDialog>()) {
  // Dialog units of the font the pages' widgets use, measured the way the
  // layouts were designed: a quarter of the average width of the Latin
  // letters, an eighth of the line height.
  const QFontMetricsF fm(dialog_->font());
  dialogUnit_ = {
      fm.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) /
          52.0 / 4.0,
      fm.height() / 8.0};

  dialog_->setWindowTitle(TextQ(102));
  QIcon icon;
  for (int size : {16, 24, 32, 48, 64}) icon.addPixmap(Picture(128, size));
  dialog_->setWindowIcon(icon);
  dialog_->setPixmap(QWizard::LogoPixmap,
                     Picture(142, kLogoPixels, dialog_->devicePixelRatioF()));
  for (Page page : {Page::Welcome, Page::Test, Page::Completion, Page::Error}) BuildPage(page);
  WireEvents();

  WizardDialog::Hooks hooks;
  hooks.back = [this] { BackClicked(); };
  hooks.next = [this] { NextClicked(); };
  hooks.finish = [this] {
    bool ok = false;
    Deliver([&] { ok = events_->OnFinish(CurrentPage()); });
    return ok;
  };
  hooks.cancel = [this] { Deliver([&] { events_->OnCancel(); }); };
  hooks.busy = [this] { return depth_ > 0; };
  dialog_->SetHooks(std::move(hooks));
  QObject::connect(dialog_.get(), &QWizard::currentIdChanged, dialog_.get(),
                   [this](int id) { PageChanged(id); });
}

QtWizardUi::~QtWizardUi() {
  // A run still going waits for the UI thread: serve it until it ends.
  while (running_) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
  if (worker_.joinable()) worker_.join();
}

template <typename F>
auto QtWizardUi::OnUi(F&& f) -> decltype(f()) {
  using R = decltype(f());
  if (QThread::currentThread() == dialog_->thread()) return f();
  if constexpr (std::is_void_v<R>) {
    QMetaObject::invokeMethod(dialog_.get(), [&] { f(); }, Qt::BlockingQueuedConnection);
  } else {
    std::optional<R> result;
    QMetaObject::invokeMethod(dialog_.get(), [&] { result.emplace(f()); },
                              Qt::BlockingQueuedConnection);
    return std::move(*result);
  }
}

void QtWizardUi::BuildPage(Page page) {
  const PageTemplate& t = PageLayout(page);
  auto px = [this](int units, int axis) {
    return static_cast<int>(std::lround(units * dialogUnit_[axis]));
  };
  auto* p = new QWizardPage;
  p->setObjectName(QStringLiteral("page%1").arg(t.dialogId));
  p->setTitle(TextQ(t.headerTitleId));
  p->setSubTitle(TextQ(t.headerSubtitleId));
  p->setMinimumSize(px(t.width, 0), px(t.height, 1));

  ControlMap& map = controls_[Index(page)];
  for (const ControlTemplate& c : t.controls) {
    QWidget* w = nullptr;
    const QString fixed = c.fixedText ? QString::fromUtf8(c.fixedText) : QString();
    switch (c.kind) {
      case ControlKind::Label:
      case ControlKind::LabelCentered: {
        auto* l = new QLabel(p);
        // Texts may carry reader names and card data: never rich text.
        l->setTextFormat(Qt::PlainText);
        l->setWordWrap(true);
        l->setAlignment(c.kind == ControlKind::LabelCentered ? Qt::AlignHCenter | Qt::AlignTop
                                                             : Qt::AlignLeft | Qt::AlignTop);
        w = l;
        break;
      }
      case ControlKind::Edit:
      case ControlKind::EditPassword:
      case ControlKind::EditReadOnly: {
        auto* e = new QLineEdit(p);
        if (c.kind == ControlKind::EditReadOnly) {
          e->setReadOnly(true);
        } else {
          e->setMaxLength(kFieldMaxLength);
        }
        if (c.kind == ControlKind::EditPassword) e->setEchoMode(QLineEdit::Password);
        w = e;
        break;
      }
      case ControlKind::CheckBox: w = new QCheckBox(fixed, p); break;
      case ControlKind::DropDownList: w = new QComboBox(p); break;
      case ControlKind::GroupBox: w = new QGroupBox(fixed, p); break;
      case ControlKind::PushButton: w = new QPushButton(fixed, p); break;
      case ControlKind::Icon:
      case ControlKind::Bitmap:
      case ControlKind::BitmapSunken: {
        auto* l = new QLabel(p);
        l->setAlignment(Qt::AlignCenter);
        if (c.kind == ControlKind::BitmapSunken) l->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        w = l;
        break;
      }
    }
    int height = px(c.height, 1);
    // The template's height of a drop-down includes its open list.
    if (c.kind == ControlKind::DropDownList) height = w->sizeHint().height();
    w->setGeometry(px(c.x, 0), px(c.y, 1), px(c.width, 0), height);
    if (c.picture) {
      auto* l = static_cast<QLabel*>(w);
      if (c.kind == ControlKind::Icon) {
        ShowIcon(l, c.picture);
      } else {
        const int frame = c.kind == ControlKind::BitmapSunken ? 2 * l->frameWidth() : 0;
        // The framed picture fills its frame, as the page bitmap did.
        l->setPixmap(Picture(c.picture, l->size() - QSize(frame, frame), l->devicePixelRatioF(),
                             frame ? Qt::KeepAspectRatioByExpanding : Qt::KeepAspectRatio));
      }
    }
    w->setEnabled(!(c.flags & kStartDisabled));
    if (c.flags & kStartHidden) w->setHidden(true);
    if (c.id) {
      w->setObjectName(QStringLiteral("c%1").arg(c.id));
      map[c.id] = w;
    } else {
      // Decoration, found by its place in the template.
      w->setObjectName(QStringLiteral("deco%1").arg(&c - t.controls.data()));
    }
  }
  pages_[Index(page)] = p;
  dialog_->setPage(Index(page), p);
}

void QtWizardUi::WireEvents() {
  auto edit = [this](int id) { return static_cast<QLineEdit*>(Control(Page::Test, id)); };
  QObject* ctx = dialog_.get();
  QObject::connect(edit(1000), &QLineEdit::textEdited, ctx,
                   [this] { Deliver([&] { events_->OnPinChanged(); }); });
  QObject::connect(edit(1023), &QLineEdit::textEdited, ctx,
                   [this] { Deliver([&] { events_->OnPukChanged(); }); });
  QObject::connect(edit(1001), &QLineEdit::textEdited, ctx,
                   [this] { Deliver([&] { events_->OnNewPinChanged(); }); });
  QObject::connect(static_cast<QCheckBox*>(Control(Page::Test, 1025)), &QCheckBox::clicked, ctx,
                   [this] { Deliver([&] { events_->OnUnblockClicked(); }); });
  QObject::connect(static_cast<QPushButton*>(Control(Page::Test, 1036)), &QPushButton::clicked,
                   ctx, [this] { Deliver([&] { events_->OnButton1036Clicked(); }); });
  // Programmatic changes are blocked at their source, so this is the user's.
  QObject::connect(static_cast<QComboBox*>(Control(Page::Test, 1035)),
                   &QComboBox::currentIndexChanged, ctx,
                   [this] { Deliver([&] { events_->OnReaderSelectionChanged(); }); });
}

int QtWizardUi::Exec() { return dialog_->exec(); }

void QtWizardUi::Show() { dialog_->show(); }

QWizard* QtWizardUi::Dialog() const { return dialog_.get(); }

QWizardPage* QtWizardUi::PageWidget(Page page) const { return pages_[Index(page)]; }

QWidget* QtWizardUi::Control(Page page, int id) const {
  const ControlMap& map = controls_[Index(page)];
  auto it = map.find(id);
  return it == map.end() ? nullptr : it->second;
}

Page QtWizardUi::CurrentPage() const {
  const int id = dialog_->currentId();
  return id < 0 ? Page::Welcome : static_cast<Page>(id);
}

QTimer* QtWizardUi::Timer(unsigned id) const {
  auto it = timers_.find(id);
  return it == timers_.end() ? nullptr : it->second;
}

QWidget* QtWizardUi::Find(int id) const {
  if (dialog_->currentId() >= 0) {
    if (QWidget* w = Control(CurrentPage(), id)) return w;
  }
  for (Page page : {Page::Welcome, Page::Test, Page::Completion, Page::Error}) {
    if (QWidget* w = Control(page, id)) return w;
  }
  return nullptr;
}

void QtWizardUi::Deliver(const std::function<void()>& handler) {
  if (!events_ || running_) return;
  ++depth_;
  handler();
  --depth_;
  while (depth_ == 0 && requested_) {
    const Page page = *requested_;
    requested_.reset();
    dialog_->SwitchTo(Index(page));
  }
}

void QtWizardUi::NextClicked() {
  if (depth_ > 0 || !(buttons_ & kButtonNext)) return;
  const Page from = CurrentPage();
  if (from == Page::Test) {
    StartRun(from);
    return;
  }
  Deliver([&] {
    requested_.reset();
    const Page to = ResolveNext(from, events_->OnNext(from), requested_);
    requested_.reset();
    if (to != from) requested_ = to;
  });
}

void QtWizardUi::StartRun(Page from) {
  if (!events_) return;
  running_ = true;
  ++depth_;
  requested_.reset();
  SetRunInputs(false);
  if (worker_.joinable()) worker_.join();
  worker_ = std::thread([this, from] {
    const Page returned = events_->OnNext(from);
    QMetaObject::invokeMethod(dialog_.get(), [this, from, returned] { EndRun(from, returned); },
                              Qt::QueuedConnection);
  });
}

void QtWizardUi::EndRun(Page from, Page returned) {
  worker_.join();
  running_ = false;
  SetRunInputs(true);
  const Page to = ResolveNext(from, returned, requested_);
  requested_.reset();
  if (to != from) requested_ = to;
  --depth_;
  Deliver([] {});
  ApplyButtons();
}

void QtWizardUi::SetRunInputs(bool enabled) {
  if (!enabled) {
    enabledBeforeRun_.clear();
    for (int id : kRunInputs) {
      QWidget* w = Control(Page::Test, id);
      enabledBeforeRun_[id] = w->isEnabled();
      w->setEnabled(false);
    }
  } else {
    for (const auto& [id, was] : enabledBeforeRun_) Control(Page::Test, id)->setEnabled(was);
    enabledBeforeRun_.clear();
  }
  for (QWizard::WizardButton which : {QWizard::BackButton, QWizard::NextButton,
                                      QWizard::FinishButton, QWizard::CancelButton}) {
    if (!enabled) dialog_->button(which)->setEnabled(false);
  }
  if (enabled) {
    dialog_->button(QWizard::CancelButton)->setEnabled(true);
    ApplyButtons();
  }
}

void QtWizardUi::BackClicked() {
  if (depth_ > 0 || !(buttons_ & kButtonBack)) return;
  const Page from = CurrentPage();
  Deliver([&] {
    const Page to = events_->OnBack(from);
    if (to != from) requested_ = to;
  });
}

void QtWizardUi::PageChanged(int id) {
  if (id < 0) return;  // the wizard was reset on closing
  Deliver([&] { events_->OnPageActivated(static_cast<Page>(id)); });
  ApplyButtons();
}

// Win32-style wizard buttons: Finish takes Next's place when it is offered.
void QtWizardUi::ApplyButtons() {
  QAbstractButton* back = dialog_->button(QWizard::BackButton);
  QAbstractButton* next = dialog_->button(QWizard::NextButton);
  QAbstractButton* finish = dialog_->button(QWizard::FinishButton);
  const bool finishShown = buttons_ & (kButtonFinish | kButtonFinishDisabled);
  back->setVisible(true);
  back->setEnabled(buttons_ & kButtonBack);
  next->setVisible(!finishShown);
  next->setEnabled(buttons_ & kButtonNext);
  finish->setVisible(finishShown);
  finish->setEnabled(buttons_ & kButtonFinish);
  dialog_->button(QWizard::CommitButton)->setVisible(false);
  dialog_->button(QWizard::CancelButton)->setVisible(true);
  if (auto* pb = qobject_cast<QPushButton*>(finishShown ? finish : next)) pb->setDefault(true);
}

void QtWizardUi::SetButtons(unsigned buttons) {
  OnUi([&] {
    buttons_ = buttons;
    // During the run the buttons stay off; they show the state once it ends.
    if (!running_) ApplyButtons();
  });
}

bool QtWizardUi::IsNextEnabled() const {
  return const_cast<QtWizardUi*>(this)->OnUi([&] { return (buttons_ & kButtonNext) != 0; });
}

void QtWizardUi::SetText(int controlId, const std::string& text) {
  OnUi([&] {
    QWidget* w = Find(controlId);
    if (auto* l = qobject_cast<QLabel*>(w)) {
      l->setText(Q(text));
    } else if (auto* e = qobject_cast<QLineEdit*>(w)) {
      e->setText(Q(text));
    } else if (auto* b = qobject_cast<QAbstractButton*>(w)) {
      b->setText(Q(text));
    } else if (auto* g = qobject_cast<QGroupBox*>(w)) {
      g->setTitle(Q(text));
    }
  });
}

void QtWizardUi::SetEnabled(int controlId, bool enabled) {
  OnUi([&] {
    QWidget* w = Find(controlId);
    if (!w) return;
    // An input the adapter holds off during the run takes the state after it.
    if (running_ && enabledBeforeRun_.count(controlId) && Control(Page::Test, controlId) == w) {
      enabledBeforeRun_[controlId] = enabled;
      return;
    }
    w->setEnabled(enabled);
  });
}

void QtWizardUi::SetVisible(int controlId, bool visible) {
  OnUi([&] {
    if (QWidget* w = Find(controlId)) w->setHidden(!visible);
  });
}

void QtWizardUi::SetIcon(int iconControlId, int iconId) {
  OnUi([&] {
    if (auto* l = qobject_cast<QLabel*>(Find(iconControlId))) ShowIcon(l, iconId);
  });
}

void QtWizardUi::SetFont(int controlId, int pointSize) {
  OnUi([&] {
    if (QWidget* w = Find(controlId)) {
      QFont f = QApplication::font();  // the default face, only the size set
      f.setPointSize(pointSize);
      w->setFont(f);
    }
  });
}

void QtWizardUi::SetTitle(const std::string& text) {
  OnUi([&] { dialog_->setWindowTitle(Q(text)); });
}

void QtWizardUi::GoToPage(Page page) {
  OnUi([&] {
    requested_ = page;
    if (depth_ == 0) Deliver([] {});
  });
}

void QtWizardUi::MessageBox(const std::string& text, const std::string& caption,
                            MessageKind kind) {
  OnUi([&] { ShowMessageBox(text, caption, kind); });
}

void QtWizardUi::ShowMessageBox(const std::string& text, const std::string& caption,
                                MessageKind kind) {
  if (messageBoxHook_) {
    messageBoxHook_(text, caption, kind);
    return;
  }
  QMessageBox box(kind == MessageKind::Error ? QMessageBox::Critical : QMessageBox::Warning,
                  Q(caption), Q(text), QMessageBox::Ok, dialog_.get());
  box.setTextFormat(Qt::PlainText);
  box.setWindowModality(Qt::ApplicationModal);
  box.exec();
}

ConfirmAnswer QtWizardUi::AskYesNo(const std::string& text, const std::string& caption) {
  return OnUi([&] {
    QMessageBox box(QMessageBox::Warning, Q(caption), Q(text), QMessageBox::Yes | QMessageBox::No,
                    dialog_.get());
    box.setTextFormat(Qt::PlainText);
    box.setWindowModality(Qt::ApplicationModal);
    // Closing the box answers No.
    return box.exec() == QMessageBox::Yes ? ConfirmAnswer::Yes : ConfirmAnswer::No;
  });
}

void QtWizardUi::StartTimer(unsigned id, unsigned periodMs) {
  OnUi([&] {
    QTimer*& t = timers_[id];
    if (!t) {
      t = new QTimer(dialog_.get());
      t->setObjectName(QStringLiteral("timer-%1").arg(id, 0, 16));
      // A tick that arrives inside another request (a message box's loop) is
      // dropped: polling is periodic and must not overlap the run.
      QObject::connect(t, &QTimer::timeout, dialog_.get(), [this, id] {
        if (depth_ == 0) Deliver([&] { events_->OnTimer(id); });
      });
    }
    t->start(static_cast<int>(periodMs));
  });
}

void QtWizardUi::StopTimer(unsigned id) {
  OnUi([&] {
    if (QTimer* t = Timer(id)) t->stop();
  });
}

void QtWizardUi::AnimationOpen(int resourceId) {
  OnUi([&] {
    if (!animation_) {
      animation_ = new BusyAnimation(PageWidget(Page::Test));
      animation_->setGeometry(kAnimationX, kAnimationY, kAnimationSize, kAnimationSize);
    }
    animation_->Open(resourceId);
  });
}

void QtWizardUi::AnimationPlay() {
  OnUi([&] {
    if (animation_) animation_->Play();
  });
}

void QtWizardUi::AnimationStop() {
  OnUi([&] {
    if (animation_) animation_->Stop();
  });
}

Fields QtWizardUi::ReadFields() {
  return OnUi([&] {
    auto text = [this](int id) {
      return ToSecret(static_cast<QLineEdit*>(Control(Page::Test, id))->text());
    };
    return Fields{text(1000), text(1023), text(1001)};
  });
}

void QtWizardUi::WriteFields(const Fields& fields) {
  OnUi([&] {
    auto put = [this](int id, const SecretString& s) {
      static_cast<QLineEdit*>(Control(Page::Test, id))->setText(FromSecret(s));
    };
    put(1000, fields.pin);
    put(1023, fields.puk);
    put(1001, fields.newPin);
  });
}

void QtWizardUi::ClearReaderList() {
  OnUi([&] {
    auto* combo = static_cast<QComboBox*>(Control(Page::Test, 1035));
    const QSignalBlocker block(combo);
    combo->clear();
  });
}

void QtWizardUi::AddReader(const std::string& name) {
  OnUi([&] {
    auto* combo = static_cast<QComboBox*>(Control(Page::Test, 1035));
    const QSignalBlocker block(combo);
    combo->addItem(Q(name));
  });
}

void QtWizardUi::SelectReader(int index) {
  OnUi([&] {
    auto* combo = static_cast<QComboBox*>(Control(Page::Test, 1035));
    const QSignalBlocker block(combo);
    combo->setCurrentIndex(index);
  });
}

int QtWizardUi::SelectedReader() const {
  return const_cast<QtWizardUi*>(this)->OnUi(
      [&] { return static_cast<QComboBox*>(Control(Page::Test, 1035))->currentIndex(); });
}

bool QtWizardUi::IsChecked(int controlId) const {
  return const_cast<QtWizardUi*>(this)->OnUi([&] {
    auto* b = qobject_cast<QAbstractButton*>(Find(controlId));
    return b && b->isChecked();
  });
}

void QtWizardUi::Pause(unsigned ms) {
  // On the run's worker the window goes on by itself.
  if (QThread::currentThread() != dialog_->thread()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return;
  }
  // Paint and timer events go on; clicks wait, so the run is not re-entered.
  QEventLoop loop;
  QTimer::singleShot(static_cast<int>(ms), &loop, &QEventLoop::quit);
  loop.exec(QEventLoop::ExcludeUserInputEvents);
}

}  // namespace zorbix::app::ui
