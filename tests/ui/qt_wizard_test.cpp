// The Qt adapter with the real wizard logic on the offscreen platform: the
// pages it shows, the log the test page creates, the polling timer and the
// buttons the field rules drive.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <QWizard>
#include <QWizardPage>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "app/tests/teststeps.h"
#include "app/ui/qt/qt_wizard_ui.h"
#include "app/ui/qt/translations.h"
#include "app/wizard.h"
#include "platform/scard.h"
#include "res/strings.h"
#include "tests/support/fake_scard.h"
#include "tests/ui/passing_steps.h"
#include "tests/support/temp_dir.h"

namespace zorbix::app::ui {
namespace {

namespace fs = std::filesystem;
using zorbix::res::Text;

const testing::Bytes kAtr = {0x3B, 0x6F, 0x00, 0x00, 0x80, 0x31, 0x80, 0x65,
                             0xB0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x90, 0x00};
constexpr char kReader[] = "Test Reader 00";

QString QText(int id) { return QString::fromStdString(Text(id)); }

class QtWizardTest : public ::testing::Test {
 protected:
  QtWizardTest() : useFake_(&fake_) {}
  ~QtWizardTest() override {
    wizard_.reset();
    ui_.reset();
  }

  void Start(int lifePhase = kLifePhaseUser) {
    ui_ = std::make_unique<QtWizardUi>();
    ui_->SetMessageBoxHook([this](const std::string& text, const std::string& caption,
                                  MessageKind) { messages_.push_back(caption + ": " + text); });
    wizard_ = std::make_unique<Wizard>(*ui_, std::make_unique<PassingSteps>(lifePhase));
    ui_->SetEvents(wizard_.get());
    ui_->Show();
  }

  QAbstractButton* Button(QWizard::WizardButton which) { return ui_->Dialog()->button(which); }
  template <typename W>
  W* Control(Page page, int id) {
    auto* w = qobject_cast<W*>(ui_->Control(page, id));
    EXPECT_NE(w, nullptr) << "control " << id;
    return w;
  }
  // Next on the test page: the run goes on a worker; waits until it ended.
  void RunTests() {
    Button(QWizard::NextButton)->click();
    QElapsedTimer clock;
    clock.start();
    while (ui_->IsRunning() && clock.elapsed() < 20000) QTest::qWait(10);
    ASSERT_FALSE(ui_->IsRunning());
  }
  // Lets the polling timer tick `ticks` times.
  void WaitTicks(int ticks) {
    QTimer* timer = ui_->Timer(kPollTimerId);
    ASSERT_NE(timer, nullptr);
    int seen = 0;
    auto c = QObject::connect(timer, &QTimer::timeout, [&] { ++seen; });
    QElapsedTimer clock;
    clock.start();
    while (seen < ticks && clock.elapsed() < 10000) QTest::qWait(20);
    QObject::disconnect(c);
    ASSERT_GE(seen, ticks);
  }

  testing::TempDir temp_{testing::TempDir::kEnter};
  const fs::path& dir_ = temp_.path();
  testing::FakeScard fake_;
  platform::ScopedScardApi useFake_;
  std::unique_ptr<QtWizardUi> ui_;
  std::unique_ptr<Wizard> wizard_;
  std::vector<std::string> messages_;
};

TEST_F(QtWizardTest, StartsOnTheWelcomePageWithItsTexts) {
  Start();
  QWizard* dialog = ui_->Dialog();
  ASSERT_TRUE(dialog->isVisible());
  EXPECT_EQ(ui_->CurrentPage(), Page::Welcome);
  EXPECT_EQ(dialog->wizardStyle(), QWizard::ModernStyle);
  EXPECT_EQ(dialog->currentPage()->title(), QText(103));
  EXPECT_EQ(dialog->currentPage()->subTitle(), QText(110));
  EXPECT_EQ(dialog->windowTitle(), QText(115));
  for (auto [id, text] : {std::pair{1020, 112}, {1029, 113}, {1030, 114}, {1004, 111}}) {
    EXPECT_EQ(Control<QLabel>(Page::Welcome, id)->text(), QText(text)) << id;
  }
  EXPECT_EQ(Control<QLabel>(Page::Welcome, 1004)->font().pointSize(), 16);
  EXPECT_TRUE(Button(QWizard::NextButton)->isEnabled());
  EXPECT_FALSE(Button(QWizard::BackButton)->isEnabled());
  EXPECT_FALSE(Button(QWizard::FinishButton)->isVisible());
}

TEST_F(QtWizardTest, NextOpensTheTestPageWhichCreatesTheLogAndPolls) {
  fake_.AddReader(kReader);
  Start();
  Button(QWizard::NextButton)->click();
  ASSERT_EQ(ui_->CurrentPage(), Page::Test);
  EXPECT_EQ(ui_->Dialog()->currentPage()->title(), QText(104));

  std::ifstream log(dir_ / "ZorbixLog.html");
  ASSERT_TRUE(log.good());
  std::stringstream content;
  content << log.rdbuf();
  EXPECT_NE(content.str().find("<BR><H1>"), std::string::npos);
  EXPECT_NE(content.str().find(Text(142)), std::string::npos);
  EXPECT_NE(content.str().find("Date Info:"), std::string::npos);

  // Finish shown disabled in Next's place, nothing else.
  EXPECT_FALSE(Button(QWizard::NextButton)->isVisible());
  EXPECT_TRUE(Button(QWizard::FinishButton)->isVisible());
  EXPECT_FALSE(Button(QWizard::FinishButton)->isEnabled());
  EXPECT_FALSE(Button(QWizard::BackButton)->isEnabled());

  auto* readers = Control<QComboBox>(Page::Test, 1035);
  ASSERT_EQ(readers->count(), 1);
  EXPECT_EQ(readers->itemText(0), kReader);
  EXPECT_EQ(readers->currentIndex(), 0);
  QTimer* timer = ui_->Timer(kPollTimerId);
  ASSERT_NE(timer, nullptr);
  EXPECT_TRUE(timer->isActive());
  EXPECT_EQ(timer->interval(), 1000);
}

TEST_F(QtWizardTest, WithoutAReaderNextNeverBecomesEnabled) {
  Start();
  Button(QWizard::NextButton)->click();
  ASSERT_EQ(ui_->CurrentPage(), Page::Test);
  auto* pin = Control<QLineEdit>(Page::Test, 1000);
  QTest::keyClicks(pin, "1234");  // the field is off: nothing arrives
  WaitTicks(3);
  QTest::keyClicks(pin, "1234");
  EXPECT_EQ(Control<QComboBox>(Page::Test, 1035)->count(), 0);
  EXPECT_FALSE(pin->isEnabled());
  EXPECT_TRUE(pin->text().isEmpty());
  EXPECT_FALSE(ui_->IsNextEnabled());
  EXPECT_FALSE(Button(QWizard::NextButton)->isEnabled() && Button(QWizard::NextButton)->isVisible());
}

// Typing, the card's removal and Back, through the widgets.
TEST_F(QtWizardTest, FieldRulesAndPollingDriveTheButtons) {
  fake_.AddReader(kReader);
  fake_.InsertCard(kReader, kAtr);
  Start();
  Button(QWizard::NextButton)->click();
  WaitTicks(1);
  auto* pin = Control<QLineEdit>(Page::Test, 1000);
  ASSERT_TRUE(pin->isEnabled());
  EXPECT_TRUE(Control<QWidget>(Page::Test, 1025)->isEnabled());
  QTest::keyClicks(pin, "1");
  EXPECT_TRUE(Button(QWizard::NextButton)->isVisible());
  EXPECT_TRUE(Button(QWizard::NextButton)->isEnabled());
  EXPECT_TRUE(Button(QWizard::BackButton)->isEnabled());
  QTest::keyClick(pin, Qt::Key_Backspace);
  EXPECT_FALSE(Button(QWizard::NextButton)->isEnabled());

  QTest::keyClicks(pin, "1234");
  ASSERT_TRUE(ui_->IsNextEnabled());
  fake_.RemoveCard(kReader);
  WaitTicks(1);
  EXPECT_FALSE(pin->isEnabled());
  EXPECT_FALSE(Button(QWizard::NextButton)->isEnabled());
  ASSERT_TRUE(Button(QWizard::BackButton)->isEnabled());

  Button(QWizard::BackButton)->click();
  EXPECT_EQ(ui_->CurrentPage(), Page::Welcome);
  EXPECT_FALSE(ui_->Timer(kPollTimerId)->isActive());
}

// The PIN and new PIN are masked, the PUK is not; each takes 16 characters.
TEST_F(QtWizardTest, EditFieldsEchoAndLength) {
  Start();
  for (auto [id, echo] : {std::pair{1000, QLineEdit::Password}, {1001, QLineEdit::Password},
                          {1023, QLineEdit::Normal}}) {
    auto* edit = Control<QLineEdit>(Page::Test, id);
    EXPECT_EQ(edit->echoMode(), echo) << id;
    EXPECT_EQ(edit->maxLength(), 16) << id;
  }
}

TEST_F(QtWizardTest, ACompletedRunShowsTheCompletionPageAndFinishCloses) {
  fake_.AddReader(kReader);
  fake_.InsertCard(kReader, kAtr);
  Start();
  Button(QWizard::NextButton)->click();
  WaitTicks(1);
  QTest::keyClicks(Control<QLineEdit>(Page::Test, 1000), "1234");
  RunTests();
  ASSERT_EQ(ui_->CurrentPage(), Page::Completion);
  EXPECT_TRUE(wizard_->runCompleted());
  for (int icon : {1012, 1013, 1014, 1047})
    EXPECT_EQ(Control<QLabel>(Page::Test, icon)->property("iconId").toInt(), kIconPass) << icon;
  auto* result = Control<QLabel>(Page::Completion, 1040);
  EXPECT_EQ(result->text(), QString::fromStdString(wizard_->resultText()));
  EXPECT_EQ(result->font().pointSize(), 13);
  EXPECT_EQ(Control<QLabel>(Page::Completion, 1002)->text(), QText(129));
  ASSERT_TRUE(Button(QWizard::FinishButton)->isEnabled());
  Button(QWizard::FinishButton)->click();
  EXPECT_FALSE(ui_->Dialog()->isVisible());
  EXPECT_EQ(ui_->Dialog()->result(), QDialog::Accepted);
}

// The error page is reached only on request of the logic.
TEST_F(QtWizardTest, AFailedRunShowsTheErrorPage) {
  fake_.AddReader(kReader);
  fake_.InsertCard(kReader, kAtr);
  Start(kLifePhaseFinal);
  Button(QWizard::NextButton)->click();
  WaitTicks(1);
  QTest::keyClicks(Control<QLineEdit>(Page::Test, 1000), "1234");
  RunTests();
  ASSERT_EQ(ui_->CurrentPage(), Page::Error);
  EXPECT_EQ(ui_->Dialog()->currentPage()->title(), QText(108));
  auto* text = Control<QLabel>(Page::Error, 1003);
  EXPECT_EQ(text->text(), QString::fromStdString(wizard_->resultText()));
  EXPECT_EQ(text->font().pointSize(), 14);
  EXPECT_EQ(Control<QLabel>(Page::Error, 1033)->text(), QText(241));
  EXPECT_TRUE(Button(QWizard::FinishButton)->isEnabled());
  EXPECT_FALSE(Button(QWizard::BackButton)->isEnabled());
}

// A question asked from a worker, as the run asks: the box shows on the UI
// thread, modal, with a warning icon, Yes and No; the worker gets the answer.
TEST_F(QtWizardTest, AYesNoQuestionFromTheRunsThreadShowsOnTheUiThread) {
  Start();
  for (const auto& [button, expected] : {std::pair{QMessageBox::Yes, ConfirmAnswer::Yes},
                                         std::pair{QMessageBox::No, ConfirmAnswer::No}}) {
    struct Asked {
      std::atomic<bool> done{false};
      ConfirmAnswer answer = ConfirmAnswer::Unavailable;
    };
    auto asked = std::make_shared<Asked>();
    // The box runs its own loop: what is seen of it, and the click, happen
    // from a timer inside that loop.
    QString title, text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    bool answeredEarly = false;
    QTimer clicker;
    QObject::connect(&clicker, &QTimer::timeout, [&, button = button] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (!box) return;
      title = box->windowTitle();
      text = box->text();
      icon = box->icon();
      buttons = box->standardButtons();
      answeredEarly = asked->done;
      box->button(button)->click();
    });
    clicker.start(20);
    QtWizardUi* ui = ui_.get();
    std::thread worker([asked, ui] {
      asked->answer = ui->AskYesNo("Sign with this key?", "Signing");
      asked->done = true;
    });
    QElapsedTimer clock;
    clock.start();
    while (!asked->done && clock.elapsed() < 20000) QTest::qWait(10);
    clicker.stop();
    if (!asked->done) {
      worker.detach();
      FAIL() << "no answer";
    }
    worker.join();
    EXPECT_EQ(asked->answer, expected);
    EXPECT_EQ(title, "Signing");
    EXPECT_EQ(text, "Sign with this key?");
    EXPECT_EQ(icon, QMessageBox::Warning);
    EXPECT_EQ(buttons, QMessageBox::Yes | QMessageBox::No);
    EXPECT_FALSE(answeredEarly);
  }
}

}  // namespace
}  // namespace zorbix::app::ui

namespace zorbix::app::ui {
namespace {

// Where Qt has no catalogue, our own texts stand in; Qt's Spanish covers the
// rest for Basque and Galician.
TEST(QtTranslationsTest, OwnTextsForBasqueAndGalician) {
  const auto next = [] { return QCoreApplication::translate("QWizard", "&Next >"); };
  {
    QtTranslations basque(res::kBasque);
    EXPECT_EQ(next(), QString::fromUtf8("&Hurrengoa >"));
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "OK"), "Ados");
  }
  {
    QtTranslations galician(res::kGalician);
    EXPECT_EQ(next(), QString::fromUtf8("&Seguinte >"));
  }
  EXPECT_EQ(next(), "&Next >");  // removed again with the object
  QtTranslations english(res::kEnglishUS);
  EXPECT_EQ(next(), "&Next >");
}

}  // namespace
}  // namespace zorbix::app::ui
