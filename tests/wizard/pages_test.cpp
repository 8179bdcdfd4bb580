// Page activations, Back, Finish and the log file's life cycle.
#include "app/htmllog.h"
#include "tests/wizard/wizard_fixture.h"

#include <fstream>

namespace zorbix::testing {
namespace {

using app::Page;

TEST_F(WizardTest, TestPageActivation) {
  {
    std::ofstream old(dir_ / app::kLogFileName);
    old << "OLD-RUN";
  }
  InsertCardReader();
  wizard_->state().page.unblockMode = true;
  wizard_->state().page.session = 0x55;
  ui_.GoToPage(Page::Test);

  std::string log = LogText();
  EXPECT_EQ(log.find("OLD-RUN"), std::string::npos);
  std::string header = std::string(app::kLogSectionFrameOpen) + "<BR><H1>" + app::kLogWrapOpen +
                       T(142) + app::kLogWrapClose + "</H1><H2>";
  EXPECT_EQ(log.compare(0, header.size(), header), 0) << log;
  // TEST 0 runs after the header.
  EXPECT_GT(log.find("TEST0-MARK"), header.size());

  const app::TestPageState& p = wizard_->state().page;
  EXPECT_FALSE(p.unblockMode);
  EXPECT_EQ(p.session, 0u);
  EXPECT_TRUE(p.readersListed);
  EXPECT_EQ(ui_.buttons(), unsigned{app::kButtonFinishDisabled});
  EXPECT_EQ(ui_.title(), T(115));
  EXPECT_EQ(ui_.text(1031), T(260));
  EXPECT_EQ(ui_.text(1026), T(117));
  EXPECT_EQ(ui_.text(1048), T(124));
  for (int id : {1046, 1039, 1043, 1037, 1036}) EXPECT_EQ(ui_.visible(id), 0) << id;
  EXPECT_EQ(ui_.readers(), std::vector<std::string>{"Reader A"});
  EXPECT_EQ(ui_.selection(), 0);
  EXPECT_EQ(ui_.animation(), RecordingUi::Animation::Opened);
  EXPECT_EQ(ui_.animationResource(), 140);
  EXPECT_TRUE(ui_.timerRunning());
  EXPECT_EQ(ui_.timerId(), 0x1000FFu);
  EXPECT_EQ(ui_.timerPeriod(), 1000u);
}

TEST_F(WizardTest, BackAndForwardAgainRecreatesTheLog) {
  InsertCardReader();
  ui_.GoToPage(Page::Test);
  app::LogWrite("FIRST-ACTIVATION", true);
  EXPECT_EQ(wizard_->OnBack(Page::Test), Page::Welcome);
  EXPECT_FALSE(ui_.timerRunning());
  ui_.GoToPage(Page::Welcome);
  EXPECT_EQ(wizard_->OnNext(Page::Welcome), Page::Test);
  ui_.GoToPage(Page::Test);
  EXPECT_EQ(LogText().find("FIRST-ACTIVATION"), std::string::npos);
  EXPECT_EQ(LogCount("TEST0-MARK"), 1u);
  EXPECT_EQ(std::count(script_.calls.begin(), script_.calls.end(), "system"), 2);
}

TEST_F(WizardTest, FinishOnlyClosesTheLastPages) {
  ui_.GoToPage(Page::Test);
  EXPECT_FALSE(wizard_->OnFinish(Page::Test));
  EXPECT_FALSE(ui_.timerRunning());
  EXPECT_TRUE(wizard_->OnFinish(Page::Completion));
  EXPECT_TRUE(wizard_->OnFinish(Page::Error));
}

TEST_F(WizardTest, WelcomePage) {
  ui_.GoToPage(Page::Welcome);
  EXPECT_EQ(ui_.buttons(), unsigned{app::kButtonNext});
  EXPECT_EQ(ui_.title(), T(115));
  EXPECT_EQ(ui_.text(1020), T(112));
  EXPECT_EQ(ui_.text(1029), T(113));
  EXPECT_EQ(ui_.text(1030), T(114));
  EXPECT_EQ(ui_.text(1004), T(111));
  EXPECT_EQ(ui_.font(1004), 16);
}

TEST_F(WizardTest, CompletionPageShowsTheResultOnlyAfterACompletedRun) {
  wizard_->state().SetResultText("counts");
  ui_.GoToPage(Page::Completion);
  EXPECT_EQ(ui_.buttons(), unsigned{app::kButtonFinish});
  EXPECT_EQ(ui_.text(1022), T(127));
  EXPECT_EQ(ui_.text(1032), T(128));
  EXPECT_EQ(ui_.text(1002), T(129));
  EXPECT_EQ(ui_.font(1002), 17);
  EXPECT_TRUE(ui_.textHistory(1040).empty());
  wizard_->state().runCompleted = true;
  ui_.GoToPage(Page::Completion);
  EXPECT_EQ(ui_.text(1040), "counts");
  EXPECT_EQ(ui_.font(1040), 13);
}

TEST_F(WizardTest, ErrorPageShowsTheResultText) {
  wizard_->state().SetResultText("what went wrong");
  ui_.GoToPage(Page::Error);
  EXPECT_EQ(ui_.buttons(), unsigned{app::kButtonFinish});
  EXPECT_EQ(ui_.textHistory(1003), (std::vector<std::string>{T(108), "what went wrong"}));
  EXPECT_EQ(ui_.font(1003), 14);
  EXPECT_EQ(ui_.text(1033), T(241));
  EXPECT_EQ(ui_.text(1034), T(242));
}

}  // namespace
}  // namespace zorbix::testing
