// TEST 3 and TEST 4 through the module built into the program, on virtual
// cards of the engine behind the fake PC/SC: the retry counter, the unblock,
// the login and the object searches, each seen in the log, the icons and the
// pages the run reaches.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "app/htmllog.h"
#include "app/tests/teststeps.h"
#include "app/wizard.h"
#include "p11/module.h"
#include "res/strings.h"
#include "sim/card.h"
#include "sim/profile.h"
#include "tests/p11/fake_env.h"
#include "tests/support/recording_ui.h"
#include "tests/support/temp_dir.h"

namespace zorbix::testing {
namespace {

using app::Page;
using p11test::Fake;

const std::string& T(int id) { return res::Text(id); }
std::string Wrapped(const std::string& text) { return "\n<B><PRE>" + text + "</B></PRE>"; }

constexpr char kReader[] = "Wizard Reader 0";

struct Typed {
  std::string pin;
  bool unblock = false;
  std::string puk = {};
  std::string newPin = {};
};

// One wizard run on the card in the reader, in a temporary folder.
struct RunResult {
  Page page = Page::Welcome;
  std::string log;
  std::string result;
  std::map<int, int> icons;  // 1011, 1016, 1012, 1013, 1014, 1047
  std::string pinField;
  std::vector<RecordingUi::MessageRecord> messages;

  // The log from the section with `heading` up to the next section or the
  // run's trailer.
  std::string Section(const char* heading) const {
    const std::size_t h = log.find(heading);
    if (h == std::string::npos) return {};
    const std::size_t a = log.rfind(Wrapped(app::kLogDashedRule), h);
    std::size_t b = log.find(Wrapped(app::kLogDashedRule), h);
    b = std::min(b, log.find(app::kLogTrailerOpen, h));
    return log.substr(a, b == std::string::npos ? b : b - a);
  }
};

class ModuleRun : public ::testing::Test {
 protected:
  void TearDown() override {
    C_Finalize(nullptr);
    Fake().RemoveReader(kReader);
    Fake().ClearFailures();
  }

  // A card of `profile` in the reader; `prepare` sets its starting state.
  sim::Card& Insert(const sim::Profile& profile, const std::function<void(sim::Card&)>& prepare = {}) {
    card_ = std::make_unique<sim::Card>(profile);
    if (prepare) prepare(*card_);
    card_->StartTrace();
    card_->PowerOn();
    Fake().AddReader(kReader);
    Fake().AnswerStandardAttributes(kReader, kReader);
    Fake().InsertCard(kReader, card_->Atr(), [this](const Bytes& c) { return card_->Process(c); });
    Fake().SetResetHandler(kReader, [this] { card_->Reset(); });
    return *card_;
  }
  sim::Card& Insert(const std::string& name, const std::function<void(sim::Card&)>& prepare = {}) {
    return Insert(*sim::FindProfile(name), prepare);
  }

  RunResult RunWizard(const Typed& typed) {
    TempDir dir(TempDir::kEnter);
    RunResult out;
    CK_FUNCTION_LIST_PTR p11 = nullptr;
    EXPECT_EQ(C_GetFunctionList(&p11), CKR_OK);
    {
      RecordingUi ui;
      app::Wizard wizard(ui, app::MakeDefaultTestSteps(), p11);
      ui.SetEvents(&wizard);
      ui.GoToPage(Page::Test);
      wizard.OnTimer(app::kPollTimerId);
      ui.TypePin(typed.pin);
      wizard.OnPinChanged();
      if (typed.unblock) {
        ui.SetChecked(app::kCtlUnblockBox, true);
        wizard.OnUnblockClicked();
        ui.TypePuk(typed.puk);
        ui.TypeNewPin(typed.newPin);
        wizard.OnNewPinChanged();
      }
      const Page next = wizard.OnNext(Page::Test);
      if (next != ui.page()) ui.GoToPage(next);
      out.page = ui.page();
      out.result = wizard.resultText();
      for (int id : {1011, 1016, 1012, 1013, 1014, 1047}) out.icons[id] = ui.icon(id);
      out.pinField = std::string(ui.fieldControls().pin.view());
      out.messages = ui.messages();
      ui.SetEvents(nullptr);
    }
    std::ifstream in(dir.path() / app::kLogFileName, std::ios::binary);
    out.log.assign(std::istreambuf_iterator<char>(in), {});
    return out;
  }

  // The number of the `occurrence`-th command (1-based) that starts with
  // `head` in a run of `typed` on a fresh card of `profile`, prepared so.
  int CommandNumber(const std::string& profile, const Typed& typed, const Bytes& head,
                    int occurrence, const std::function<void(sim::Card&)>& prepare = {}) {
    Insert(profile, prepare);
    RunWizard(typed);
    int seen = 0;
    for (const sim::TraceEntry& e : card_->Trace()) {
      if (e.command.size() >= head.size() && std::equal(head.begin(), head.end(), e.command.begin()) &&
          ++seen == occurrence)
        return static_cast<int>(e.number);
    }
    ADD_FAILURE() << "no such command in the run";
    return 0;
  }

  std::unique_ptr<sim::Card> card_;
};

const Bytes kRetryQuery = {0x00, 0x20, 0x00, 0x00, 0x00};
const Bytes kUnblockHead = {0x90, 0x2C};
const Bytes kVerifyHead = {0x00, 0x20, 0x00, 0x00, 0x04};

// ---------------------------------------------------------------- TEST 3

TEST_F(ModuleRun, TheRetryCounterSetsTheMarkAndTheLogLines) {
  struct Case {
    int tries;
    int icon;
    std::vector<int> lines;
  };
  const Case cases[] = {
      {3, app::kIconPass, {215}},
      {2, app::kIconPass, {216}},
      {1, app::kIconPass, {217}},
      {0, app::kIconWarning, {218, 219}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tries);
    Insert("HALVO", [&](sim::Card& card) { card.SetPinTries(c.tries); });
    const RunResult run = RunWizard({"1234"});
    std::string lines;
    for (int id : c.lines) lines += Wrapped(T(id));
    const std::string test3 = run.Section(app::kLogHeadingTest3);
    EXPECT_NE(test3.find(Wrapped(T(214)) + Wrapped(T(245)) + lines + T(222)), std::string::npos)
        << test3;
    EXPECT_EQ(run.icons.at(1011), c.icon);
    // A blocked PIN without the check box: the run goes on, the login fails.
    EXPECT_EQ(run.page, Page::Completion);
    if (c.tries == 0) {
      EXPECT_NE(run.log.find(Wrapped(T(209))), std::string::npos);
      EXPECT_EQ(run.icons.at(1016), app::kIconFail);
      EXPECT_EQ(run.result.find(T(159) + "\tError 0x000000A4."), 0u) << run.result;
    } else {
      EXPECT_EQ(run.icons.at(1016), app::kIconPass);
    }
  }
}

// The query answered otherwise than with a counter: an error line with the
// status word, the run goes on.
TEST_F(ModuleRun, AnUnexpectedAnswerToTheRetryQueryIsReportedWithItsStatusWord) {
  const Typed typed{"1234"};
  // The second empty VERIFY: C_GetTokenInfo asks first.
  const int query = CommandNumber("HALVO", typed, kRetryQuery, 2);
  for (const auto& [sw, shown] : {std::pair<std::uint16_t, std::string>{0x6A82, "6A82"},
                                  {0x9000, "00"}}) {
    SCOPED_TRACE(shown);
    Insert("HALVO", [&, sw = sw](sim::Card& card) { card.FailAt(query, sw); });
    const RunResult run = RunWizard(typed);
    const std::string line = T(220) + shown + "\n";
    EXPECT_NE(run.Section(app::kLogHeadingTest3).find(Wrapped(line) + T(221)), std::string::npos)
        << run.Section(app::kLogHeadingTest3);
    EXPECT_EQ(run.icons.at(1011), app::kIconWarning);
    // The line was the result text until the login replaced it.
    EXPECT_EQ(run.page, Page::Completion);
    EXPECT_EQ(run.icons.at(1016), app::kIconPass);
  }
}

struct UnblockCase {
  const char* name;
  int pukTries;
  const char* puk;  // null: the card's
  std::uint16_t failWith;  // 0: the card answers itself
  Page page;
  int icon;
  std::vector<int> lines;
  int resultText;
};

TEST_F(ModuleRun, TheUnblockAnswersRouteTheRun) {
  const std::string cardPuk = sim::FindProfile("HALVO")->puk;
  const UnblockCase cases[] = {
      {"right PUK", 10, nullptr, 0, Page::Completion, app::kIconPass, {227, 228, 237}, 153},
      {"wrong PUK, 3 left", 4, "0000000000000000", 0, Page::Error, app::kIconFail, {229, 237}, 229},
      {"wrong PUK, 2 left", 3, "0000000000000000", 0, Page::Error, app::kIconFail, {230, 237}, 230},
      {"wrong PUK, 1 left", 2, "0000000000000000", 0, Page::Error, app::kIconFail, {231, 237}, 231},
      {"PUK blocked", 0, nullptr, 0, Page::Error, app::kIconFail, {232, 233, 237}, 233},
      {"PUK blocked, 63C0", 10, nullptr, 0x63C0, Page::Error, app::kIconFail, {232, 233, 237}, 233},
      {"card refuses", 10, nullptr, 0x6A82, Page::Error, app::kIconFail, {}, 235},
  };
  const Typed base{"1234", true, cardPuk, "975310"};
  const int unblock = CommandNumber("HALVO", base, kUnblockHead, 1,
                                    [](sim::Card& card) { card.SetPinTries(0); });
  for (const UnblockCase& c : cases) {
    SCOPED_TRACE(c.name);
    Typed typed = base;
    if (c.puk) typed.puk = c.puk;
    Insert("HALVO", [&](sim::Card& card) {
      card.SetPinTries(0);
      card.SetPukTries(c.pukTries);
      if (c.failWith) card.FailAt(unblock, c.failWith);
    });
    const RunResult run = RunWizard(typed);
    EXPECT_EQ(run.page, c.page);
    EXPECT_EQ(run.icons.at(1011), c.icon);
    EXPECT_EQ(run.result.find(T(c.resultText)), 0u) << run.result;
    std::string lines;
    for (int id : c.lines) lines += Wrapped(T(id));
    if (c.failWith == 0x6A82) {
      lines = Wrapped(T(234) + "6A82\n") + Wrapped(T(235));
      ASSERT_EQ(run.messages.size(), 1u);
      EXPECT_EQ(run.messages[0].text, T(236));
    }
    // Neither code in clear: asterisks of their lengths.
    const std::string unblockLog = Wrapped(T(224)) + Wrapped(T(225) + std::string(16, '*') + "\n") +
                                   Wrapped(T(226) + "******\n") + lines;
    EXPECT_NE(run.log.find(unblockLog), std::string::npos) << run.Section(app::kLogHeadingTest3);
    EXPECT_EQ(run.log.find(typed.puk), std::string::npos);
    EXPECT_EQ(run.log.find(typed.newPin), std::string::npos);
    if (c.page == Page::Error) {
      EXPECT_EQ(run.log.find(app::kLogHeadingTest4), std::string::npos);
    }
  }
}

// After the unblock the run logs in with the new PIN, and the card keeps it.
TEST_F(ModuleRun, AnUnblockedCardTakesTheNewPin) {
  sim::Card& card = Insert("HALVO", [](sim::Card& c) { c.SetPinTries(0); });
  const std::string puk = sim::FindProfile("HALVO")->puk;
  const RunResult first = RunWizard({"1234", true, puk, "4711a"});
  EXPECT_EQ(first.page, Page::Completion);
  EXPECT_EQ(first.icons.at(1016), app::kIconPass);
  EXPECT_EQ(first.result.find(T(153) + "\nCKO_PRIVATE_KEY: \t\t3 objects.\n"), 0u) << first.result;
  EXPECT_EQ(card.PinTriesLeft(), 3);

  const RunResult second = RunWizard({"4711a"});
  EXPECT_EQ(second.icons.at(1011), app::kIconPass);
  EXPECT_EQ(second.icons.at(1016), app::kIconPass);
  const RunResult old = RunWizard({"1234"});
  EXPECT_EQ(old.icons.at(1016), app::kIconFail);
}

// ---------------------------------------------------------------- TEST 4

TEST_F(ModuleRun, AWrongPinEmptiesThePinFieldAndThePublicObjectsAreListed) {
  Insert("HALVO");
  const RunResult run = RunWizard({"9999"});
  EXPECT_EQ(run.page, Page::Completion);
  EXPECT_EQ(run.icons.at(1016), app::kIconFail);
  EXPECT_TRUE(run.pinField.empty());
  const std::string invalid = T(159) + "\tError 0x000000A0.";
  EXPECT_NE(run.log.find(Wrapped(invalid)), std::string::npos);
  EXPECT_EQ(run.result, invalid + "\nCKO_PRIVATE_KEY: \t\t0 objects.\nCKO_PUBLIC_KEY:  \t\t3 objects.\n"
                                  "CKO_CERTIFICATE: \t\t3 objects.\nCKO_DATA: \t\t\t1 objects.\n");
  EXPECT_NE(run.log.find(std::string("<H3>") + T(169) + "</H3>\n"), std::string::npos);
  EXPECT_NE(run.log.find("PUBLIC KEY #3..."), std::string::npos);
}

TEST_F(ModuleRun, WithoutAPinNoLoginIsTried) {
  sim::Card& card = Insert("HALVO");
  const RunResult run = RunWizard({""});
  EXPECT_EQ(run.page, Page::Completion);
  EXPECT_NE(run.Section(app::kLogHeadingTest4).find(Wrapped(T(246))), std::string::npos);
  EXPECT_EQ(run.icons.at(1016), 0);
  for (const sim::TraceEntry& e : card.Trace())
    EXPECT_FALSE(e.command.size() > 5 && e.command[0] == 0x00 && e.command[1] == 0x20) << e.lines;
  EXPECT_EQ(run.result, "\nCKO_PRIVATE_KEY: \t\t0 objects.\nCKO_PUBLIC_KEY:  \t\t3 objects.\n"
                        "CKO_CERTIFICATE: \t\t3 objects.\nCKO_DATA: \t\t\t1 objects.\n");
}

// A device failure of the login ends the run before the searches.
TEST_F(ModuleRun, ALoginDeviceFailureEndsOnTheErrorPage) {
  const Typed typed{"1234"};
  const int login = CommandNumber("HALVO", typed, kVerifyHead, 1);
  Insert("HALVO", [&](sim::Card& card) { card.FailAt(login, 0x6A82); });
  const RunResult run = RunWizard(typed);
  EXPECT_EQ(run.page, Page::Error);
  EXPECT_EQ(run.icons.at(1016), app::kIconWarning);
  const std::string failure = T(158) + "\nError 0x00000030";
  EXPECT_EQ(run.result, failure);
  EXPECT_NE(run.log.find(Wrapped(T(157)) + Wrapped(failure)), std::string::npos);
  EXPECT_EQ(run.log.find(T(140)), std::string::npos) << "no search ran";
  EXPECT_EQ(run.icons.at(1012), 0);
}

// A run that ended before its session opened leaves the module initialised;
// the next run must not fail on that.
TEST_F(ModuleRun, AModuleLeftInitialisedServesTheNextRun) {
  Insert("Vexa");
  ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
  const RunResult run = RunWizard({sim::FindProfile("Vexa")->pin});
  EXPECT_EQ(run.page, Page::Completion) << run.result;
  EXPECT_EQ(run.result.find(T(153)), 0u) << run.result;
}

// The card pulled while the objects are read: the error page tells what
// failed, and the log holds everything up to that point.
TEST_F(ModuleRun, ACardPulledDuringTest4EndsOnTheErrorPage) {
  const Typed typed{"1234"};
  // The second private key's public part is read while its attribute
  // lengths are asked for.
  const int keyRead = CommandNumber("HALVO", typed, {0x90, 0x56}, 3);
  Insert("HALVO");
  card_->RemoveAfter(keyRead);
  // The fake PC/SC has to see the card go too.
  card_->SetPresenceListener([](bool inserted) {
    if (!inserted) Fake().RemoveCard(kReader);
  });
  const RunResult run = RunWizard(typed);
  EXPECT_EQ(run.page, Page::Error);
  EXPECT_EQ(run.result, T(166) + "\nError 0x000000B3");
  EXPECT_NE(run.log.find("PRIVATE KEY #1..."), std::string::npos);
  EXPECT_EQ(run.log.find("PRIVATE KEY #2..."), std::string::npos);
  EXPECT_NE(run.log.find(Wrapped(run.result) + app::kLogTrailerOpen + T(144)), std::string::npos);
}

}  // namespace
}  // namespace zorbix::testing
