// The card phase of the run (reader report, TEST 1, TEST 2) through the real
// pcscd with the virtual card, driven through the Wizard with the recording
// UI and through the built zorbix-check. The expected sections are fixtures
// written from the log rules and the cards' bytes (fixtures/make_expected.py).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "app/htmllog.h"
#include "app/tests/teststeps.h"
#include "app/wizard.h"
#include "p11/module.h"
#include "res/strings.h"
#include "sim/bench.h"
#include "sim/profile.h"
#include "tests/e2e/log_sections.h"
#include "tests/support/recording_ui.h"
#include "tests/support/temp_dir.h"
#include "tests/ui/subprocess.h"

namespace zorbix::testing {
namespace {

namespace fs = std::filesystem;
using res::Text;

std::string ReaderReport(const std::string& log) {
  const std::size_t a = log.find(Wrapped(Text(154)));
  const std::size_t b = SectionStart(log, app::kLogHeadingTest1);
  if (a == std::string::npos || b == std::string::npos || b < a) return {};
  return log.substr(a, b - a);
}

std::string AtrLine(const sim::Bytes& atr) {
  std::string out;
  char b[4];
  for (std::uint8_t x : atr) {
    std::snprintf(b, sizeof b, "%02X ", x);
    out += b;
  }
  return out;
}

// One run of the wizard on the first reader, in a temporary folder.
struct WizardRun {
  app::Page page = app::Page::Welcome;
  std::string log;
  std::string resultText;
  int atrIcon = 0;
  int dumpIcon = 0;
  std::string errorPageText;
};

WizardRun RunWizard() {
  TempDir dir(TempDir::kEnter);
  WizardRun out;
  {
    RecordingUi ui;
    CK_FUNCTION_LIST_PTR p11 = nullptr;
    EXPECT_EQ(C_GetFunctionList(&p11), CKR_OK);
    app::Wizard wizard(ui, app::MakeDefaultTestSteps(), p11);
    ui.SetEvents(&wizard);
    ui.GoToPage(app::Page::Test);
    wizard.OnTimer(app::kPollTimerId);
    ui.TypePin("1234");
    wizard.OnPinChanged();
    const app::Page next = wizard.OnNext(app::Page::Test);
    if (next != ui.page()) ui.GoToPage(next);
    out.page = ui.page();
    out.resultText = wizard.resultText();
    out.atrIcon = ui.icon(app::kCtlAtrIcon);
    out.dumpIcon = ui.icon(app::kCtlDumpIcon);
    out.errorPageText = ui.text(1003);
    ui.SetEvents(nullptr);
  }
  out.log = ReadFile(dir.path() / app::kLogFileName);
  return out;
}

sim::Profile InPhase(const char* name, std::uint8_t phase) {
  sim::Profile p = *sim::FindProfile(name);
  p.atr[p.atr.size() - 3] = phase;
  return p;
}

class CardPhase : public ::testing::TestWithParam<const char*> {};

// A card in USER phase in the first reader, nothing in the second.
TEST_P(CardPhase, UserPhaseSectionsMatchTheFixtures) {
  const std::string profile = GetParam();
  auto bench = sim::Bench::Start(2);
  bench->Insert(0, profile);

  const WizardRun run = RunWizard();

  const sim::Bytes& atr = sim::FindProfile(profile)->atr;
  EXPECT_EQ(ReaderReport(run.log),
            Wrapped("Checking ATR ...") + Wrapped("Reader:\t" + bench->ReaderName(0) + "\n") +
                Wrapped("ATR: \t\t" + AtrLine(atr) + "\n\n") +
                Wrapped("Reader:\t" + bench->ReaderName(1) + "\n") +
                Wrapped("ATR: \t\t-- -- -- \n\n"));
  EXPECT_EQ(Section(run.log, app::kLogHeadingTest1, app::kLogHeadingTest2),
            Fixture("test1_" + profile + ".txt"));
  EXPECT_EQ(Section(run.log, app::kLogHeadingTest2, app::kLogHeadingTest3),
            Fixture("test2_" + profile + ".txt"));
  EXPECT_EQ(run.atrIcon, app::kIconPass);
  EXPECT_EQ(run.dumpIcon, app::kIconPass);
  EXPECT_EQ(run.resultText.find(Text(202)), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Profiles, CardPhase, ::testing::Values("HALVO", "ORVA-ZEL_01"),
                         [](const auto& info) {
                           std::string n = info.param;
                           for (char& c : n)
                             if (c == '-') c = '_';
                           return n;
                         });

TEST(CardLifePhase, FinalPhaseEndsOnTheErrorPageAfterTest1) {
  auto bench = sim::Bench::Start(1);
  bench->Insert(0, InPhase(sim::DefaultProfileName(), 0x0F));

  const WizardRun run = RunWizard();

  EXPECT_EQ(run.page, app::Page::Error);
  EXPECT_EQ(run.resultText, Text(202));
  EXPECT_NE(run.errorPageText.find(Text(202)), std::string::npos) << run.errorPageText;
  EXPECT_EQ(run.atrIcon, app::kIconWarning);
  // TEST 1 up to the run's trailer.
  const std::size_t a = SectionStart(run.log, app::kLogHeadingTest1);
  ASSERT_NE(a, std::string::npos) << run.log;
  const std::string test1 = run.log.substr(a, run.log.find(app::kLogTrailerOpen, a) - a);
  EXPECT_NE(test1.find(Wrapped(Text(196) + "0F\n")), std::string::npos) << test1;
  EXPECT_NE(test1.find(Wrapped(Text(200)) + Text(201)), std::string::npos) << test1;
  EXPECT_EQ(run.log.find(app::kLogHeadingTest2), std::string::npos);
  EXPECT_NE(run.log.find(Text(144)), std::string::npos) << "the run was closed";
}

TEST(CardLifePhase, Phase07WarnsAndTheRunGoesOn) {
  auto bench = sim::Bench::Start(1);
  bench->Insert(0, InPhase(sim::DefaultProfileName(), 0x07));

  const WizardRun run = RunWizard();

  EXPECT_EQ(run.atrIcon, app::kIconWarning);
  // The run goes on to TEST 3, where the module, whose card types do not
  // take this life phase, cannot open a session on the card.
  EXPECT_EQ(run.page, app::Page::Error);
  EXPECT_EQ(run.resultText, Text(161) + "\nError 0x00000003");
  const std::string test1 = Section(run.log, app::kLogHeadingTest1, app::kLogHeadingTest2);
  EXPECT_NE(test1.find(Wrapped(Text(196) + "07\n") + Wrapped(Text(197) + "9000\n")),
            std::string::npos)
      << test1;
  // The events are still read, before the warning.
  EXPECT_NE(test1.find(Wrapped(Text(204))), std::string::npos);
  EXPECT_EQ(test1.find(Text(198)), std::string::npos);
  EXPECT_NE(test1.find(Wrapped(Text(200)) + Text(201)), std::string::npos) << test1;
  EXPECT_EQ(Section(run.log, app::kLogHeadingTest2, app::kLogHeadingTest3),
            Fixture(std::string("test2_") + sim::DefaultProfileName() + ".txt"));
  EXPECT_NE(run.log.find(app::kLogHeadingTest3), std::string::npos);
}

#ifdef ZORBIX_CHECK_PATH
TEST(ZorbixCheck, DemoCardCompletesTest1AndTest2) {
  auto bench = sim::Bench::Start(1);
  const std::string profile = sim::DefaultProfileName();
  bench->Insert(0, profile);
  TempDir dir;

  const auto r = RunProgram(ZORBIX_CHECK_PATH, {"--reader", "1"},
                            sim::FindProfile(profile)->pin + "\n", dir.path());
  const std::string log = ReadFile(dir.path() / app::kLogFileName);
  EXPECT_EQ(Section(log, app::kLogHeadingTest1, app::kLogHeadingTest2),
            Fixture("test1_" + profile + ".txt"))
      << r.out << r.err;
  EXPECT_EQ(Section(log, app::kLogHeadingTest2, app::kLogHeadingTest3),
            Fixture("test2_" + profile + ".txt"));
  // The card phase passed: the run went on to TEST 3.
  EXPECT_NE(log.find(app::kLogHeadingTest3), std::string::npos);
  EXPECT_EQ(r.out.find(Text(202)), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find(Text(207)), std::string::npos) << r.out;
}
#endif

}  // namespace
}  // namespace zorbix::testing
