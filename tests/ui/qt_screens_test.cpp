// The wizard on a real X display (Xvfb): the four pages in the six
// languages, photographed from the screen and kept as test artefacts
// (ZORBIX_SCREENS_DIR), each checked for its layout and texts; and a run on a
// slow virtual card, watched from the screen while it goes on.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <QWizard>
#include <QWizardPage>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <set>

#include "app/tests/teststeps.h"
#include "app/ui/page_layouts.h"
#include "app/ui/qt/pictures.h"
#include "app/ui/qt/qt_wizard_ui.h"
#include "app/wizard.h"
#include "platform/scard.h"
#include "res/string_table.h"
#include "res/strings.h"
#include "tests/support/fake_scard.h"
#include "tests/support/temp_dir.h"
#include "tests/ui/passing_steps.h"

#ifdef ZORBIX_HAVE_BENCH
#include "sim/bench.h"
#endif

namespace zorbix::app::ui {
namespace {

namespace fs = std::filesystem;

struct LanguageCase {
  const char* code;  // file names of the pictures
  const char* locale;
  res::Language lang;
};
constexpr LanguageCase kLanguages[] = {
    {"es", "es_ES.UTF-8", res::kSpanish},   {"en_US", "en_US.UTF-8", res::kEnglishUS},
    {"en_GB", "en_GB.UTF-8", res::kEnglishUK}, {"ca", "ca_ES.UTF-8", res::kCatalan},
    {"eu", "eu_ES.UTF-8", res::kBasque},    {"gl", "gl_ES.UTF-8", res::kGalician},
};

const testing::Bytes kAtr = {0x3B, 0x7F, 0x38, 0x00, 0x00, 0x00, 0x6A, 0x48, 0x41, 0x4C,
                             0x56, 0x4F, 0x02, 0x2C, 0x34, 0x03, 0x00, 0x03, 0x90, 0x00};
constexpr char kReader[] = "Virtual PCD 00 00";

void WaitUntil(const std::function<bool()>& done, int timeoutMs = 20000) {
  QElapsedTimer clock;
  clock.start();
  while (!done() && clock.elapsed() < timeoutMs) QTest::qWait(10);
}

// What the X server shows of the wizard's window.
QImage Grab(QWidget* window) {
  return window->screen()->grabWindow(window->winId()).toImage();
}

// Labels and check boxes hold their text, wrapped, inside their rectangle;
// group boxes their title. Returns the rectangle the text takes (in page
// coordinates) or an empty one for controls without text.
QRect TextRect(QWidget* w, std::string* problem) {
  const QFontMetrics fm(w->font());
  const QRect box = w->geometry();
  if (auto* l = qobject_cast<QLabel*>(w)) {
    if (l->text().isEmpty()) return {};
    const int flags = static_cast<int>(l->alignment()) | Qt::TextWordWrap;
    const QRect need = fm.boundingRect(QRect(0, 0, box.width(), 100000), flags, l->text());
    if (need.height() > box.height() || need.width() > box.width())
      *problem = "needs " + std::to_string(need.width()) + "x" + std::to_string(need.height()) +
                 ", has " + std::to_string(box.width()) + "x" + std::to_string(box.height());
    return need.translated(box.topLeft()) & box;
  }
  if (auto* c = qobject_cast<QCheckBox*>(w)) {
    const int need = c->sizeHint().width();
    if (need > box.width())
      *problem = "needs width " + std::to_string(need) + ", has " + std::to_string(box.width());
    if (fm.height() > box.height()) *problem = "text taller than the box";
    return QRect(box.topLeft(), QSize(std::min(need, box.width()), box.height()));
  }
  if (auto* g = qobject_cast<QGroupBox*>(w)) {
    if (g->title().isEmpty()) return {};
    const int need = fm.horizontalAdvance(g->title()) + 2 * fm.averageCharWidth();
    if (need > box.width()) *problem = "title wider than the group";
    return QRect(box.topLeft(), QSize(need, fm.height()));
  }
  return {};
}

class ScreensTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { fs::create_directories(ZORBIX_SCREENS_DIR); }
  ~ScreensTest() override {
    wizard_.reset();
    ui_.reset();
    unsetenv("LC_ALL");
  }

  void Start(const LanguageCase& language, std::unique_ptr<TestSteps> steps,
             CK_FUNCTION_LIST_PTR p11 = nullptr) {
    setenv("LC_ALL", language.locale, 1);
    ASSERT_EQ(res::UserLanguage(), language.lang);
    ui_ = std::make_unique<QtWizardUi>();
    ui_->SetMessageBoxHook([this](const std::string& text, const std::string&, MessageKind) {
      messages_.push_back(text);
    });
    wizard_ = std::make_unique<Wizard>(*ui_, std::move(steps), p11);
    ui_->SetEvents(wizard_.get());
    ui_->Show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(ui_->Dialog()));
  }

  QAbstractButton* Button(QWizard::WizardButton which) { return ui_->Dialog()->button(which); }
  template <typename W>
  W* Control(Page page, int id) {
    return qobject_cast<W*>(ui_->Control(page, id));
  }

  void ToTestPageWithCard() {
    Button(QWizard::NextButton)->click();
    ASSERT_EQ(ui_->CurrentPage(), Page::Test);
    WaitUntil([&] { return Control<QLineEdit>(Page::Test, 1000)->isEnabled(); }, 5000);
    ASSERT_TRUE(Control<QLineEdit>(Page::Test, 1000)->isEnabled());
  }

  void Run() {
    Button(QWizard::NextButton)->click();
    WaitUntil([&] { return !ui_->IsRunning(); });
    ASSERT_FALSE(ui_->IsRunning());
  }

  // Photographs the current page and checks it against its layout table.
  void Photograph(const LanguageCase& language, Page page, const char* name) {
    ASSERT_EQ(ui_->CurrentPage(), page);
    QTest::qWait(150);  // let the X server catch up
    const QImage shot = Grab(ui_->Dialog());
    ASSERT_FALSE(shot.isNull());
    const std::string file =
        std::string(ZORBIX_SCREENS_DIR) + "/" + language.code + "_" + name + ".png";
    ASSERT_TRUE(shot.save(QString::fromStdString(file))) << file;
    CheckLayout(language, page);
  }

  void CheckLayout(const LanguageCase& language, Page page) {
    const std::string where = std::string(language.code) + " page " + std::to_string(int(page));
    const PageTemplate& t = PageLayout(page);
    QWizardPage* pageWidget = ui_->PageWidget(page);
    const QSizeF unit = ui_->DialogUnit();
    std::vector<std::pair<QWidget*, int>> shown;
    for (std::size_t i = 0; i < t.controls.size(); ++i) {
      const ControlTemplate& c = t.controls[i];
      const std::string name = c.id ? "control " + std::to_string(c.id) : "decoration " + std::to_string(i);
      QWidget* w = c.id ? ui_->Control(page, c.id)
                        : pageWidget->findChild<QWidget*>(QStringLiteral("deco%1").arg(i));
      if (w == nullptr) {
        ADD_FAILURE() << where << ": " << name << " missing";
        continue;
      }
      EXPECT_EQ(w->parentWidget(), pageWidget) << where << ": " << name;
      const QRect expected(static_cast<int>(std::lround(c.x * unit.width())),
                           static_cast<int>(std::lround(c.y * unit.height())),
                           static_cast<int>(std::lround(c.width * unit.width())),
                           static_cast<int>(std::lround(c.height * unit.height())));
      EXPECT_EQ(w->pos(), expected.topLeft()) << where << ": " << name;
      EXPECT_EQ(w->width(), expected.width()) << where << ": " << name;
      if (c.kind != ControlKind::DropDownList) {
        EXPECT_EQ(w->height(), expected.height()) << where << ": " << name;
      }
      if (c.picture != 0 && c.kind != ControlKind::Icon) {
        EXPECT_FALSE(qobject_cast<QLabel*>(w)->pixmap().isNull()) << where << ": " << name;
      }
      if (w->isVisibleTo(pageWidget)) shown.emplace_back(w, c.id);
    }
    // No text cut off, none running into another control.
    for (const auto& [w, id] : shown) {
      std::string problem;
      const QRect text = TextRect(w, &problem);
      EXPECT_TRUE(problem.empty()) << where << ": text of " << id << " cut off ("
                                   << problem << "): " << ControlText(w);
      if (text.isEmpty() || qobject_cast<QGroupBox*>(w)) continue;
      for (const auto& [other, otherId] : shown) {
        if (other == w || qobject_cast<QGroupBox*>(other)) continue;
        EXPECT_FALSE(text.intersects(other->geometry()))
            << where << ": text of " << id << " runs into " << otherId << ": " << ControlText(w);
      }
    }
    // The header band holds its title and subtitle.
    int headers = 0;
    for (QLabel* header : ui_->Dialog()->findChildren<QLabel*>()) {
      if (header->parentWidget() == pageWidget || !header->isVisible() || header->text().isEmpty())
        continue;
      if (header->text() != pageWidget->title() && header->text() != pageWidget->subTitle()) continue;
      ++headers;
      const QFontMetrics fm(header->font());
      const int flags = static_cast<int>(header->alignment()) |
                        (header->wordWrap() ? Qt::TextWordWrap : 0);
      const QRect need = fm.boundingRect(QRect(0, 0, header->width(), 100000), flags, header->text());
      EXPECT_LE(need.width(), header->width()) << where << ": header " << ControlText(header);
      EXPECT_LE(need.height(), header->height()) << where << ": header " << ControlText(header);
    }
    EXPECT_EQ(headers, 2) << where << ": title and subtitle not both shown";
  }

#ifdef ZORBIX_HAVE_BENCH
  // The wizard with the module on a HALVO card that answers after `delay`,
  // on the test page with the card's PIN typed. The bench goes with the
  // card when the caller drops it.
  std::unique_ptr<sim::Bench> StartOnVirtualCard(const LanguageCase& language,
                                                 std::chrono::milliseconds delay) {
    auto bench = sim::Bench::Start(1);
    bench->Insert(0, "HALVO", [&](sim::Card& card) { card.SetDelay(delay); });
    CK_FUNCTION_LIST_PTR p11 = nullptr;
    EXPECT_EQ(C_GetFunctionList(&p11), CKR_OK);
    Start(language, MakeDefaultTestSteps(), p11);
    ToTestPageWithCard();
    QTest::keyClicks(Control<QLineEdit>(Page::Test, 1000), sim::FindProfile("HALVO")->pin.c_str());
    return bench;
  }
#endif

  static std::string ControlText(QWidget* w) {
    if (auto* l = qobject_cast<QLabel*>(w)) return l->text().toStdString();
    if (auto* b = qobject_cast<QAbstractButton*>(w)) return b->text().toStdString();
    if (auto* g = qobject_cast<QGroupBox*>(w)) return g->title().toStdString();
    return {};
  }

  testing::TempDir temp_{testing::TempDir::kEnter};
  std::unique_ptr<QtWizardUi> ui_;
  std::unique_ptr<Wizard> wizard_;
  std::vector<std::string> messages_;
};

class PagesInEveryLanguage : public ScreensTest,
                             public ::testing::WithParamInterface<LanguageCase> {
 protected:
  PagesInEveryLanguage() : useFake_(&fake_) {
    fake_.AddReader(kReader);
    fake_.InsertCard(kReader, kAtr);
  }
  testing::FakeScard fake_;
  platform::ScopedScardApi useFake_;
};

TEST_P(PagesInEveryLanguage, FourPages) {
  const LanguageCase& language = GetParam();
  Start(language, std::make_unique<PassingSteps>(kLifePhaseUser));
  // Qt's own buttons speak the language too.
  QWizard* dialog = ui_->Dialog();
  const QString next = dialog->buttonText(QWizard::NextButton);
  if (language.lang == res::kEnglishUS || language.lang == res::kEnglishUK) {
    EXPECT_EQ(next, "&Next >");
  } else {
    EXPECT_NE(next, "&Next >") << language.code;
    EXPECT_NE(dialog->buttonText(QWizard::CancelButton), "Cancel") << language.code;
    EXPECT_NE(dialog->buttonText(QWizard::FinishButton), "&Finish") << language.code;
    EXPECT_NE(dialog->buttonText(QWizard::BackButton), "< &Back") << language.code;
  }
  Photograph(language, Page::Welcome, "1_welcome");

  ToTestPageWithCard();
  EXPECT_EQ(Control<QGroupBox>(Page::Test, 1017)->title(), "Tests");
  QTest::keyClicks(Control<QLineEdit>(Page::Test, 1000), "1234");
  QTest::mouseClick(Control<QCheckBox>(Page::Test, 1025), Qt::LeftButton, {},
                    QPoint(6, Control<QCheckBox>(Page::Test, 1025)->height() / 2));
  ASSERT_TRUE(Control<QLineEdit>(Page::Test, 1023)->isEnabled());
  QTest::keyClicks(Control<QLineEdit>(Page::Test, 1023), "1234567890123456");
  QTest::keyClicks(Control<QLineEdit>(Page::Test, 1001), "5678");
  // The PUK shows what was typed; the PIN and the new PIN do not.
  EXPECT_EQ(Control<QLineEdit>(Page::Test, 1023)->echoMode(), QLineEdit::Normal);
  EXPECT_EQ(Control<QLineEdit>(Page::Test, 1023)->displayText(), "1234567890123456");
  for (int id : {1000, 1001}) {
    EXPECT_EQ(Control<QLineEdit>(Page::Test, id)->echoMode(), QLineEdit::Password) << id;
    EXPECT_FALSE(Control<QLineEdit>(Page::Test, id)->displayText().contains('1')) << id;
  }
  Photograph(language, Page::Test, "2_test");

  Run();
  Photograph(language, Page::Completion, "3_completion");
  const QString info = QStringLiteral("Info");
  bool infoFound = false;
  for (QGroupBox* g : ui_->PageWidget(Page::Completion)->findChildren<QGroupBox*>())
    infoFound |= g->title() == info;
  EXPECT_TRUE(infoFound) << language.code;
  EXPECT_TRUE(Control<QLabel>(Page::Completion, 1040)->text().contains("CKO_PRIVATE_KEY"));

  // A second wizard whose card is in its final life phase ends on the error page.
  wizard_.reset();
  ui_.reset();
  Start(language, std::make_unique<PassingSteps>(kLifePhaseFinal));
  ToTestPageWithCard();
  QTest::keyClicks(Control<QLineEdit>(Page::Test, 1000), "1234");
  Run();
  Photograph(language, Page::Error, "4_error");
  EXPECT_TRUE(Control<QLabel>(Page::Error, 1003)->text().contains(
      QString::fromStdString(res::Text(202, language.lang))));
}

INSTANTIATE_TEST_SUITE_P(Languages, PagesInEveryLanguage, ::testing::ValuesIn(kLanguages),
                         [](const auto& info) { return std::string(info.param.code); });

#ifdef ZORBIX_HAVE_BENCH
// A run on a virtual card that answers each command after 50 ms: the window
// keeps repainting, the animation moves on the screen, the inputs stay off.
TEST_F(ScreensTest, TheWindowLivesDuringARunOnASlowCard) {
  auto bench = StartOnVirtualCard(kLanguages[0], std::chrono::milliseconds(50));
  ASSERT_TRUE(ui_->IsNextEnabled());

  Button(QWizard::NextButton)->click();
  ASSERT_TRUE(ui_->IsRunning());
  BusyAnimation* animation = ui_->Animation();
  ASSERT_NE(animation, nullptr);
  const QRect spot = animation->geometry().translated(
      animation->parentWidget()->mapTo(ui_->Dialog(), QPoint(0, 0)));
  std::set<int> frames;
  std::set<QString> statusTexts;
  std::vector<QImage> animationShots;
  QImage first, last;
  int shots = 0;
  QElapsedTimer clock;
  clock.start();
  while (ui_->IsRunning() && clock.elapsed() < 60000) {
    QTest::qWait(120);
    if (!ui_->IsRunning()) break;
    const QImage shot = Grab(ui_->Dialog());
    if (first.isNull()) first = shot;
    last = shot;
    animationShots.push_back(shot.copy(spot));
    frames.insert(animation->Frame());
    statusTexts.insert(Control<QLabel>(Page::Test, 1002)->text());
    if (shots < 6) {
      shot.save(QStringLiteral(ZORBIX_SCREENS_DIR "/run_%1.png").arg(shots));
      ++shots;
    }
    // Nothing the user could touch is on while the run goes.
    for (int id : {1000, 1023, 1001, 1025, 1035})
      EXPECT_FALSE(ui_->Control(Page::Test, id)->isEnabled()) << id;
    for (auto which : {QWizard::BackButton, QWizard::NextButton, QWizard::CancelButton})
      EXPECT_FALSE(Button(which)->isEnabled());
  }
  ASSERT_FALSE(ui_->IsRunning());
  ASSERT_GE(animationShots.size(), 6u) << "the run was too short to watch";
  // The animation turned through several frames, and the screen showed them.
  EXPECT_GE(frames.size(), 4u);
  std::set<QByteArray> seen;
  for (const QImage& img : animationShots)
    seen.insert(QByteArray(reinterpret_cast<const char*>(img.constBits()),
                           static_cast<qsizetype>(img.sizeInBytes())));
  EXPECT_GE(seen.size(), 4u) << "the animation did not move on the screen";
  // The page repainted as the steps went: the status line changed on screen.
  EXPECT_GE(statusTexts.size(), 2u);
  EXPECT_NE(first, last);
  EXPECT_TRUE(ui_->CurrentPage() == Page::Completion || ui_->CurrentPage() == Page::Error);
  EXPECT_FALSE(animation->IsPlaying());
}

// A whole run on a virtual card as a user sees it: the test page while the
// objects are listed and once every step has its mark, then the completion
// page with "PIN correct!" and the counts of the four classes.
TEST_F(ScreensTest, ARunOnTheVirtualCardEndsWithTheObjectCounts) {
  const LanguageCase& english = kLanguages[1];
  auto bench = StartOnVirtualCard(english, std::chrono::milliseconds(5));
  Button(QWizard::NextButton)->click();
  ASSERT_TRUE(ui_->IsRunning());

  auto mark = [&](int icon) { return ui_->Control(Page::Test, icon)->property("iconId").toInt(); };
  auto status = [&] { return Control<QLabel>(Page::Test, 1002)->text().toStdString(); };
  auto save = [&](const char* name) {
    const QImage shot = Grab(ui_->Dialog());
    EXPECT_TRUE(shot.save(QStringLiteral(ZORBIX_SCREENS_DIR "/") + name)) << name;
  };
  // TEST 4 under way: logged in, the objects being read.
  WaitUntil([&] { return mark(1016) == kIconPass || !ui_->IsRunning(); });
  ASSERT_TRUE(ui_->IsRunning());
  EXPECT_NE(status(), res::Text(182, english.lang)) << "TEST 4 shows its own steps";
  save("card_run_1_test4.png");
  // Every step marked: the run waits a second before the completion page.
  WaitUntil([&] { return mark(1047) == kIconPass || !ui_->IsRunning(); });
  ASSERT_EQ(ui_->CurrentPage(), Page::Test);
  save("card_run_2_marks.png");
  for (int icon : {1010, 1019, 1011, 1016, 1012, 1013, 1014, 1047})
    EXPECT_EQ(mark(icon), kIconPass) << icon;
  WaitUntil([&] { return !ui_->IsRunning(); });
  ASSERT_FALSE(ui_->IsRunning());
  Photograph(english, Page::Completion, "card_run_3_completion");
  const std::string counts = Control<QLabel>(Page::Completion, 1040)->text().toStdString();
  EXPECT_EQ(counts, res::Text(153, english.lang) +
                        "\nCKO_PRIVATE_KEY: \t\t3 objects.\nCKO_PUBLIC_KEY:  \t\t3 objects.\n"
                        "CKO_CERTIFICATE: \t\t3 objects.\nCKO_DATA: \t\t\t2 objects.\n");
  EXPECT_TRUE(messages_.empty());
}
#endif

}  // namespace
}  // namespace zorbix::app::ui
