// The run's routing: step results in, page, icons, result text and the
// single close of the run out.
#include <functional>
#include <initializer_list>
#include <map>

#include "app/htmllog.h"
#include "tests/wizard/wizard_fixture.h"

namespace zorbix::testing {
namespace {

using app::Page;

enum class Env { Card, NoCard, NoContext };

std::string Seq(std::initializer_list<const char*> names) {
  std::string s;
  for (const char* n : names) s += std::string(n) + ";";
  return s;
}

const std::string kCardPhase = Seq({"smartcard", "dump", "pin"});
const std::string kPkcs11Phase = Seq({"login", "priv", "pub", "cert", "data"});

struct RoutingCase {
  const char* name;
  Env env;
  std::function<void(Script&)> setup;
  bool checkBox;
  Page page;
  std::vector<std::string> calls;  // steps of the run, in order
  std::map<int, int> icons;        // 1011, 1012, 1013, 1014, 1047; 0 = never set
  std::function<std::string()> result;
};

const std::vector<std::string> kAll = {"report", "smartcard", "dump",   "pin", "header4",
                                       "login",  "priv",      "pub",    "cert", "data"};
const std::vector<std::string> kAllUnblock = {"report", "smartcard", "dump", "pin",
                                              "unblock", "header4",  "login", "priv",
                                              "pub",     "cert",     "data"};

std::map<int, int> Icons(int pin, int priv, int pub, int cert, int data) {
  return {{1011, pin}, {1012, priv}, {1013, pub}, {1014, cert}, {1047, data}};
}

const std::map<int, int> kNoIcons = Icons(0, 0, 0, 0, 0);
const std::map<int, int> kSearchesPass =
    Icons(0, app::kIconPass, app::kIconPass, app::kIconPass, app::kIconPass);

std::vector<std::string> Prefix(const std::vector<std::string>& all, std::size_t n) {
  return {all.begin(), all.begin() + static_cast<long>(n)};
}

const std::vector<RoutingCase>& Cases() {
  static const std::vector<RoutingCase> cases = {
      {"no_context", Env::NoContext, [](Script&) {}, false, Page::Error, {"report"}, kNoIcons,
       [] { return T(205); }},
      {"no_card", Env::NoCard, [](Script&) {}, false, Page::Error, {"report"}, kNoIcons,
       [] { return T(207); }},
      {"final_life_phase", Env::Card, [](Script& s) { s.smartCard = 0x0F; }, false, Page::Error,
       Prefix(kAll, 2), kNoIcons, [] { return Seq({"smartcard"}); }},
      {"other_failed_life_phase_goes_on", Env::Card, [](Script& s) { s.smartCard = 0x07; }, false,
       Page::Completion, kAll, kSearchesPass, [] { return kCardPhase + kPkcs11Phase; }},
      {"pkcs15_dump_fails", Env::Card, [](Script& s) { s.dump = -1; }, false, Page::Error,
       Prefix(kAll, 3), kNoIcons, [] { return T(207); }},
      {"pin_status_failure_goes_on", Env::Card, [](Script& s) { s.pinStatus = 0; }, false,
       Page::Completion, kAll, kSearchesPass, [] { return kCardPhase + kPkcs11Phase; }},
      {"pin_status_finished_run_itself", Env::Card,
       [](Script& s) { s.pinStatusFinishesRun = true; }, false, Page::Error, Prefix(kAll, 4),
       kNoIcons, [] { return kCardPhase; }},
      {"pin_blocked_without_check_box_goes_on", Env::Card, [](Script& s) { s.pinStatus = 187; },
       false, Page::Completion, kAll, kSearchesPass, [] { return T(209) + kPkcs11Phase; }},
      {"pin_blocked_unblocked", Env::Card, [](Script& s) { s.pinStatus = 187; }, true,
       Page::Completion, kAllUnblock,
       Icons(app::kIconPass, app::kIconPass, app::kIconPass, app::kIconPass, app::kIconPass),
       [] { return T(209) + "unblock;" + kPkcs11Phase; }},
      {"pin_blocked_unblock_fails", Env::Card,
       [](Script& s) {
         s.pinStatus = 187;
         s.unblock = -1;
       },
       true, Page::Error, Prefix(kAllUnblock, 5), Icons(app::kIconFail, 0, 0, 0, 0),
       [] { return T(209) + "unblock;"; }},
      {"pin_blocked_puk_blocked", Env::Card,
       [](Script& s) {
         s.pinStatus = 187;
         s.unblock = 187;
       },
       true, Page::Error, Prefix(kAllUnblock, 5), Icons(app::kIconFail, 0, 0, 0, 0),
       [] { return T(209) + "unblock;"; }},
      {"login_device_error", Env::Card, [](Script& s) { s.login = CKR_DEVICE_ERROR; }, false,
       Page::Error, Prefix(kAll, 6), kNoIcons, [] { return kCardPhase + "login;"; }},
      {"login_device_memory", Env::Card, [](Script& s) { s.login = CKR_DEVICE_MEMORY; }, false,
       Page::Error, Prefix(kAll, 6), kNoIcons, [] { return kCardPhase + "login;"; }},
      {"login_session_handle_invalid", Env::Card,
       [](Script& s) { s.login = CKR_SESSION_HANDLE_INVALID; }, false, Page::Error,
       Prefix(kAll, 6), kNoIcons, [] { return kCardPhase + "login;"; }},
      {"login_wrong_pin_goes_on", Env::Card, [](Script& s) { s.login = CKR_PIN_INCORRECT; },
       false, Page::Completion, kAll, kSearchesPass, [] { return kCardPhase + kPkcs11Phase; }},
      {"private_keys_fail", Env::Card, [](Script& s) { s.privateKeys = -1; }, false, Page::Error,
       Prefix(kAll, 7), kNoIcons, [] { return kCardPhase + "login;priv;"; }},
      {"public_keys_fail", Env::Card, [](Script& s) { s.publicKeys = -1; }, false, Page::Error,
       Prefix(kAll, 8), Icons(0, app::kIconPass, app::kIconNotRun, 0, 0),
       [] { return kCardPhase + "login;priv;pub;"; }},
      {"certificates_fail", Env::Card, [](Script& s) { s.certificates = -1; }, false,
       Page::Error, Prefix(kAll, 9), Icons(0, app::kIconPass, app::kIconPass, 0, 0),
       [] { return kCardPhase + "login;priv;pub;cert;"; }},
      {"data_objects_fail", Env::Card, [](Script& s) { s.dataObjects = -1; }, false, Page::Error,
       kAll, Icons(0, app::kIconPass, app::kIconPass, app::kIconPass, 0),
       [] { return kCardPhase + kPkcs11Phase; }},
      {"nothing_found_passes", Env::Card,
       [](Script& s) { s.privateKeys = s.publicKeys = s.certificates = s.dataObjects = 0; },
       false, Page::Completion, kAll, kSearchesPass, [] { return kCardPhase + kPkcs11Phase; }},
      {"all_pass", Env::Card, [](Script&) {}, false, Page::Completion, kAll, kSearchesPass,
       [] { return kCardPhase + kPkcs11Phase; }},
  };
  return cases;
}

class RoutingTest : public WizardTest, public ::testing::WithParamInterface<RoutingCase> {};

TEST_P(RoutingTest, RoutesStepResults) {
  const RoutingCase& c = GetParam();
  switch (c.env) {
    case Env::Card: InsertCardReader(); break;
    case Env::NoCard: fake_.AddReader("Reader A"); break;
    case Env::NoContext: fake_.FailAlways("EstablishContext", SCARD_E_NO_SERVICE); break;
  }
  script_.pinStatusOpensSession = true;
  c.setup(script_);
  ui_.SetChecked(1025, c.checkBox);
  ActivateTestPage();
  script_.calls.clear();

  Page reached = PressNext();

  EXPECT_EQ(reached, c.page);
  EXPECT_EQ(ui_.page(), c.page);
  EXPECT_EQ(script_.calls, c.calls);
  for (const auto& [control, icon] : c.icons) {
    EXPECT_EQ(ui_.icon(control), icon) << "icon control " << control;
  }
  EXPECT_EQ(wizard_->resultText(), c.result());
  EXPECT_EQ(wizard_->runCompleted(), c.page == Page::Completion);

  // The run is closed exactly once, whichever way it ended.
  EXPECT_EQ(ui_.count("AnimationStop"), 1u);
  EXPECT_EQ(LogCount(app::kLogTrailerOpen + T(144) + app::kLogTrailerClose), 1u);
  bool sessionOpened = std::find(c.calls.begin(), c.calls.end(), "pin") != c.calls.end();
  EXPECT_EQ(FakeModule::closeCalls, sessionOpened ? 1 : 0);
  EXPECT_EQ(FakeModule::finalizeCalls, sessionOpened ? 1 : 0);

  std::size_t errorVisits = 0;
  for (Page p : ui_.pageHistory()) errorVisits += p == Page::Error;
  if (c.page == Page::Error) {
    EXPECT_EQ(errorVisits, 1u);
    EXPECT_EQ(ui_.text(1003), c.result());
    EXPECT_TRUE(ui_.pauses().empty());
  } else {
    EXPECT_EQ(errorVisits, 0u);
    EXPECT_EQ(ui_.text(1040), c.result());
    EXPECT_EQ(ui_.pauses(), std::vector<unsigned>{1000});
  }
}

INSTANTIATE_TEST_SUITE_P(, RoutingTest, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(WizardTest, NoCardIsLoggedAndReported) {
  fake_.AddReader("Reader A");
  ActivateTestPage();
  PressNext();
  EXPECT_NE(LogText().find(app::kLogWrapOpen + T(207) + app::kLogWrapClose + "\n\n"),
            std::string::npos);
  ASSERT_EQ(ui_.messages().size(), 1u);
  EXPECT_EQ(ui_.messages()[0].text, T(207));
  EXPECT_EQ(ui_.messages()[0].caption, T(206));
  EXPECT_EQ(ui_.messages()[0].kind, app::MessageKind::Error);
}

TEST_F(WizardTest, BlockedPinIsLogged) {
  InsertCardReader();
  script_.pinStatus = 187;
  ActivateTestPage();
  PressNext();
  EXPECT_EQ(LogCount(app::kLogWrapOpen + T(209) + app::kLogWrapClose), 1u);
}

TEST_F(WizardTest, RunPreparesThePageBeforeTheSteps) {
  InsertCardReader();
  ActivateTestPage();
  ui_.TypePin("1234");
  wizard_->OnPinChanged();
  ui_.TypePin("5678");  // typed after the last change event: the run reads it
  PressNext();

  EXPECT_FALSE(ui_.timerRunning());
  EXPECT_EQ(platform::SplitMultiString(steps_->cardNames.data(), steps_->cardNames.size()),
            std::vector<std::string>(app::kCardModelNames.begin(), app::kCardModelNames.end()));
  EXPECT_EQ(wizard_->state().page.fields.pin.view(), "5678");
  for (int id : {1027, 1026, 1000, 1028, 1023}) EXPECT_EQ(ui_.enabled(id), 0) << id;
  const auto& ops = ui_.ops();
  auto play = std::find(ops.begin(), ops.end(), "AnimationPlay");
  auto stop = std::find(ops.begin(), ops.end(), "AnimationStop");
  EXPECT_LT(play, stop);
  EXPECT_EQ(ui_.animation(), RecordingUi::Animation::Stopped);
}

TEST_F(WizardTest, ClosingFailuresAreReportedAndDoNotChangeThePage) {
  InsertCardReader();
  script_.pinStatusOpensSession = true;
  FakeModule::closeResult = CKR_SESSION_HANDLE_INVALID;
  FakeModule::finalizeResult = CKR_CRYPTOKI_NOT_INITIALIZED;
  ActivateTestPage();
  EXPECT_EQ(PressNext(), Page::Completion);
  EXPECT_EQ(FakeModule::closedSession, 0x77u);
  ASSERT_EQ(ui_.messages().size(), 2u);
  EXPECT_EQ(ui_.messages()[0].text, T(278));
  EXPECT_EQ(ui_.messages()[0].caption, T(146));
  EXPECT_EQ(ui_.messages()[1].text, T(174));
  EXPECT_EQ(ui_.messages()[1].caption, T(146));
}

TEST_F(WizardTest, WithoutSessionTheModuleIsLeftAlone) {
  InsertCardReader();
  ActivateTestPage();
  PressNext();
  EXPECT_EQ(FakeModule::closeCalls, 0);
  EXPECT_EQ(FakeModule::finalizeCalls, 0);
}

TEST_F(WizardTest, ResultTextKeepsItsCapacity) {
  app::RunState& s = wizard_->state();
  s.SetResultText(std::string(590, 'a'));
  s.AppendResultText(std::string(50, 'b'));
  EXPECT_EQ(s.resultText.size(), app::kResultTextSize - 1);
  EXPECT_EQ(s.resultText.substr(590), std::string(9, 'b'));
  // A cut never leaves half a character behind.
  s.SetResultText(std::string(598, 'a') + "\xC3\xB1");
  EXPECT_EQ(s.resultText, std::string(598, 'a'));
}

}  // namespace
}  // namespace zorbix::testing
