// Reader listing and polling on the test page.
#include "tests/wizard/wizard_fixture.h"

namespace zorbix::testing {
namespace {

constexpr int kPromptControls[] = {1026, 1000, 1025};

void ExpectPrompt(const RecordingUi& ui, int enabled) {
  for (int id : kPromptControls) EXPECT_EQ(ui.enabled(id), enabled) << "control " << id;
}

TEST_F(WizardTest, NoReaderNeverEnablesNext) {
  ActivateTestPage();
  for (int i = 0; i < 3; ++i) Tick();
  EXPECT_TRUE(ui_.readers().empty());
  ExpectPrompt(ui_, 0);
  for (unsigned b : ui_.buttonHistory()) EXPECT_EQ(b & app::kButtonNext, 0u);
  EXPECT_TRUE(ui_.messages().empty());
  // A failing listing drops its context; polling keeps at most one.
  EXPECT_LE(fake_.OpenContexts(), 1u);
}

TEST_F(WizardTest, CardRemovalTakesThePromptAndNextAway) {
  InsertCardReader();
  ActivateTestPage();
  ExpectPrompt(ui_, 1);
  EXPECT_NE(wizard_->state().page.cardHandle, 0u);
  ui_.TypePin("1234");
  wizard_->OnPinChanged();
  ASSERT_TRUE(ui_.IsNextEnabled());

  fake_.RemoveCard("Reader A");
  Tick();
  ExpectPrompt(ui_, 0);
  EXPECT_EQ(ui_.buttons(), unsigned{app::kButtonBack});
  EXPECT_EQ(wizard_->state().page.cardHandle, 0u);
  // The stale handle was given back rather than leaked.
  EXPECT_EQ(fake_.OpenHandles(), 0u);

  fake_.InsertCard("Reader A", {0x3B, 0x00});
  Tick();
  ExpectPrompt(ui_, 1);
}

TEST_F(WizardTest, AnsweringCardIsReconnectedNotConnectedAgain) {
  InsertCardReader();
  ActivateTestPage();
  Tick();
  Tick();
  EXPECT_EQ(fake_.Count("Connect"), 1u);
  EXPECT_EQ(fake_.Count("Reconnect"), 2u);
  for (const auto& call : fake_.Calls()) {
    if (call.op == "Connect") {
      EXPECT_EQ(call.arg, DWORD{SCARD_SHARE_SHARED});
    } else if (call.op == "Reconnect") {
      EXPECT_EQ(call.arg, DWORD{SCARD_LEAVE_CARD});
    }
  }
  // Polling leaves the buttons to the field rules.
  EXPECT_EQ(ui_.buttons(), unsigned{app::kButtonFinishDisabled});
}

TEST_F(WizardTest, SelectionPicksTheReader) {
  fake_.AddReader("Reader A");
  InsertCardReader("Reader B");
  ui_.GoToPage(app::Page::Test);
  EXPECT_EQ(ui_.readers(), (std::vector<std::string>{"Reader A", "Reader B"}));
  EXPECT_EQ(ui_.selection(), 0);
  Tick();
  ExpectPrompt(ui_, 0);

  ui_.SetSelection(1);
  wizard_->OnReaderSelectionChanged();
  ExpectPrompt(ui_, 1);
  EXPECT_EQ(wizard_->state().page.readerPosition, 2);
  EXPECT_NE(wizard_->state().page.cardHandle, 0u);

  ui_.SetSelection(0);
  wizard_->OnReaderSelectionChanged();
  ExpectPrompt(ui_, 0);
  EXPECT_EQ(wizard_->state().page.cardHandle, 0u);
}

TEST_F(WizardTest, ConnectReaderPositions) {
  fake_.AddReader("Reader A");
  InsertCardReader("Reader B");
  ui_.GoToPage(app::Page::Test);
  // Position 0 takes the first reader, n the n-th; beyond the list is unknown.
  EXPECT_NE(wizard_->ConnectReader(0), SCARD_S_SUCCESS);
  EXPECT_EQ(wizard_->ConnectReader(2), SCARD_S_SUCCESS);
  EXPECT_EQ(wizard_->ConnectReader(3), SCARD_E_UNKNOWN_READER);
  fake_.FailNext("ListReaders", SCARD_E_NO_SERVICE);
  EXPECT_EQ(wizard_->ConnectReader(2), SCARD_E_NO_SERVICE);
}

TEST_F(WizardTest, NoContextAtActivationIsReportedOnceAndPollingRecovers) {
  fake_.FailAlways("EstablishContext", SCARD_E_NO_SERVICE);
  ActivateTestPage();
  Tick();
  ASSERT_EQ(ui_.messages().size(), 1u);
  EXPECT_EQ(ui_.messages()[0].text, T(205));
  EXPECT_EQ(ui_.messages()[0].caption, T(206));
  EXPECT_EQ(ui_.messages()[0].kind, app::MessageKind::Error);
  EXPECT_EQ(wizard_->resultText(), T(205));
  EXPECT_TRUE(ui_.timerRunning());
  ExpectPrompt(ui_, 0);

  fake_.ClearFailures();
  InsertCardReader();
  Tick();
  ExpectPrompt(ui_, 1);
  EXPECT_EQ(ui_.messages().size(), 1u);
}

TEST_F(WizardTest, SystemScopeIsTriedWhenUserScopeFails) {
  InsertCardReader();
  fake_.FailNext("EstablishContext", SCARD_E_NO_SERVICE);
  ActivateTestPage();
  EXPECT_TRUE(ui_.messages().empty());
  EXPECT_EQ(fake_.Count("EstablishContext"), 2u);
  ExpectPrompt(ui_, 1);
}

TEST_F(WizardTest, ContextLostAtNextIsReported) {
  InsertCardReader();
  ActivateTestPage();
  // The service went away and took the context with it.
  wizard_->state().page.context = 0;
  fake_.FailAlways("EstablishContext", SCARD_E_NO_SERVICE);
  EXPECT_EQ(PressNext(), app::Page::Error);
  ASSERT_EQ(ui_.messages().size(), 1u);
  EXPECT_EQ(ui_.messages()[0].text, T(205));
  EXPECT_EQ(ui_.messages()[0].caption, T(206));
}

}  // namespace
}  // namespace zorbix::testing
