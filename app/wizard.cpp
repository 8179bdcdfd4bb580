// The wizard's pages, reader polling and the run with its routing.
#include "app/wizard.h"

#include <initializer_list>

#include "app/htmllog.h"
#include "platform/scard.h"
#include "res/strings.h"

namespace zorbix::app {

namespace {

using res::Text;

constexpr int kContextFailedText = 205;  // "Could not establish context ..."
constexpr int kCommErrorCaption = 206;
constexpr int kNoCardText = 207;
constexpr int kPinLockedText = 209;

constexpr std::size_t kPukLength = 16;
constexpr std::size_t kMinNewPinLength = 4;

void SetEnabledAll(WizardUi& ui, std::initializer_list<int> ids, bool enabled) {
  for (int id : ids) ui.SetEnabled(id, enabled);
}

// Names of a reader multi-string up to the empty name or the end of the block.
std::vector<std::string> ReaderNames(const std::vector<char>& block) {
  return platform::SplitMultiString(block.data(), block.size());
}

}  // namespace

Wizard::Wizard(WizardUi& ui, std::unique_ptr<TestSteps> steps, CK_FUNCTION_LIST_PTR p11)
    : ui_(ui), steps_(std::move(steps)), state_(ui, p11) {}

Wizard::~Wizard() {
  platform::ScardApi& sc = platform::Scard();
  for (SCARDHANDLE& h : state_.page.readerHandles) {
    if (h != 0) sc.Disconnect(h, SCARD_LEAVE_CARD);
    h = 0;
  }
  if (state_.page.context != 0) sc.ReleaseContext(state_.page.context);
}

// ---- events ---------------------------------------------------------------

void Wizard::OnPageActivated(Page page) {
  switch (page) {
    case Page::Welcome: ActivateWelcomePage(); break;
    case Page::Test: ActivateTestPage(); break;
    case Page::Completion: ActivateCompletionPage(); break;
    case Page::Error: ActivateErrorPage(); break;
  }
}

void Wizard::OnTimer(unsigned id) {
  if (id == kPollTimerId) PollReader();
}

void Wizard::OnReaderSelectionChanged() { PollReader(); }

void Wizard::OnPinChanged() { ApplyPinRule(); }

void Wizard::OnPukChanged() { ApplyPukRule(); }

void Wizard::OnNewPinChanged() { ApplyNewPinRule(); }

void Wizard::OnUnblockClicked() {
  TestPageState& p = state_.page;
  p.unblockMode = !p.unblockMode;
  SetEnabledAll(ui_, {kCtlPukPrompt, kCtlPuk, kCtlNewPinPrompt, kCtlNewPin}, p.unblockMode);
  if (p.unblockMode) {
    ApplyPukRule();
  } else {
    ApplyPinRule();
  }
}

// The wizard always uses the module built into the program.
void Wizard::OnButton1036Clicked() {}

Page Wizard::OnNext(Page page) {
  switch (page) {
    case Page::Welcome: return Page::Test;
    case Page::Test: return RunTests();
    default: return page;
  }
}

Page Wizard::OnBack(Page page) {
  if (page == Page::Test) {
    ui_.StopTimer(kPollTimerId);
    return Page::Welcome;
  }
  return page;
}

bool Wizard::OnFinish(Page page) {
  switch (page) {
    case Page::Test:
      ui_.StopTimer(kPollTimerId);
      return false;
    case Page::Completion:
    case Page::Error:
      return true;
    default:
      return false;
  }
}

// Closes at once; the adapter ends the wizard.
void Wizard::OnCancel() {}

// ---- page activations -----------------------------------------------------

void Wizard::ActivateWelcomePage() {
  ui_.SetButtons(kButtonNext);
  ui_.SetTitle(Text(kPageTitleId));
  ui_.SetText(1020, Text(112));
  ui_.SetText(1029, Text(113));
  ui_.SetText(1030, Text(114));
  ui_.SetFont(1004, 16);
  ui_.SetText(1004, Text(111));
}

void Wizard::ActivateTestPage() {
  TestPageState& p = state_.page;
  p.session = 0;
  p.pkcs11Initialized = false;
  p.pinBlocked = false;
  p.unblockMode = false;
  state_.lineBuffer.clear();
  state_.resultText.clear();

  ui_.SetButtons(kButtonFinishDisabled);
  ui_.SetTitle(Text(kPageTitleId));

  LogCreate(kLogFileName);
  LogHeader();

  steps_->TestSystem(state_);

  static constexpr std::pair<int, int> kInitialTexts[] = {
      {kCtlReaderPrompt, 260},      {kCtlPinExplanation, 116}, {kCtlPinPrompt, 117},
      {kCtlUnblockBox, 118},        {kCtlPukPrompt, 125},      {kCtlNewPinPrompt, 126},
      {kCtlAtrLabel, 119},          {kCtlDumpLabel, 258},      {kCtlPinStatusLabel, 120},
      {kCtlLoginLabel, 289},        {kCtlPrivateKeysLabel, 121}, {kCtlPublicKeysLabel, 122},
      {kCtlCertificatesLabel, 123}, {kCtlDataObjectsLabel, 124}, {kCtlPukStepLabel, 125},
      {kCtlLibraryGroup, 283},
  };
  for (const auto& [id, textId] : kInitialTexts) ui_.SetText(id, Text(textId));
  for (int id : {kCtlLibraryGroup, kCtlLibraryLabel, kCtlLibraryIcon, kCtlLibraryPath,
                 kCtlLibraryButton}) {
    ui_.SetVisible(id, false);
  }

  ListReaders();
  p.readersListed = true;
  FillReaderList();
  state_.WriteFields();

  ui_.AnimationOpen(kAnimationResource);
  ui_.StartTimer(kPollTimerId, kPollPeriodMs);
}

void Wizard::ActivateCompletionPage() {
  ui_.SetButtons(kButtonFinish);
  ui_.SetTitle(Text(kPageTitleId));
  ui_.SetText(1022, Text(127));
  ui_.SetText(1032, Text(128));
  ui_.SetFont(1002, 17);
  ui_.SetText(1002, Text(129));
  if (state_.runCompleted) {
    ui_.SetFont(1040, 13);
    ui_.SetText(1040, state_.resultText);
  }
}

void Wizard::ActivateErrorPage() {
  ui_.SetButtons(kButtonFinish);
  ui_.SetTitle(Text(kPageTitleId));
  ui_.SetFont(1003, 14);
  ui_.SetText(1003, Text(108));
  ui_.SetText(1003, state_.resultText);
  ui_.SetText(1033, Text(241));
  ui_.SetText(1034, Text(242));
}

// ---- readers --------------------------------------------------------------

bool Wizard::EnsureContext() {
  TestPageState& p = state_.page;
  if (p.context != 0) return true;
  platform::ScardApi& sc = platform::Scard();
  SCARDCONTEXT ctx = 0;
  if (sc.EstablishContext(SCARD_SCOPE_USER, &ctx) != SCARD_S_SUCCESS || ctx == 0) {
    ctx = 0;
    if (sc.EstablishContext(SCARD_SCOPE_SYSTEM, &ctx) != SCARD_S_SUCCESS || ctx == 0) {
      return false;
    }
  }
  p.context = ctx;
  return true;
}

LONG Wizard::FetchReaderNames(std::vector<char>* block) {
  platform::ScardApi& sc = platform::Scard();
  DWORD len = 0;
  LONG rv = sc.ListReaders(state_.page.context, nullptr, nullptr, &len);
  if (rv != SCARD_S_SUCCESS) return rv;
  block->assign(len, '\0');
  if (len == 0) return SCARD_S_SUCCESS;
  rv = sc.ListReaders(state_.page.context, nullptr, block->data(), &len);
  if (rv != SCARD_S_SUCCESS) {
    block->clear();
    return rv;
  }
  block->resize(len);
  return SCARD_S_SUCCESS;
}

void Wizard::ListReaders() {
  TestPageState& p = state_.page;
  if (!EnsureContext()) {
    state_.Message(kContextFailedText, kCommErrorCaption);
    state_.AppendResultText(Text(kContextFailedText));
    return;
  }
  std::vector<char> block;
  LONG rv = FetchReaderNames(&block);
  p.readerNames = std::move(block);
  p.readerCount = static_cast<int>(ReaderNames(p.readerNames).size());
  if (p.readerCount > 0 && p.readerPosition == 0) p.readerPosition = 1;
  if (rv != SCARD_S_SUCCESS) {
    // Forget the context so the next call establishes a new one.
    platform::Scard().ReleaseContext(p.context);
    p.context = 0;
  }
}

void Wizard::FillReaderList() {
  ui_.ClearReaderList();
  std::vector<std::string> names = ReaderNames(state_.page.readerNames);
  for (const std::string& name : names) ui_.AddReader(name);
  if (!names.empty()) ui_.SelectReader(0);
}

LONG Wizard::ConnectReader(int position) {
  TestPageState& p = state_.page;
  EnsureContext();
  platform::ScardApi& sc = platform::Scard();

  std::vector<char> block;
  LONG rv = FetchReaderNames(&block);
  if (rv != SCARD_S_SUCCESS) return rv;
  std::vector<std::string> names = ReaderNames(block);
  int index = position == 0 ? 0 : position - 1;
  if (position < 0 || index >= static_cast<int>(names.size())) return SCARD_E_UNKNOWN_READER;
  // Only positions 0 to 10 have a handle slot.
  if (position >= static_cast<int>(kReaderSlots)) return SCARD_E_READER_UNAVAILABLE;

  SCARDHANDLE& slot = p.readerHandles[static_cast<std::size_t>(position)];
  DWORD protocol = 0;
  rv = SCARD_E_INVALID_HANDLE;
  if (slot != 0) {
    rv = sc.Reconnect(slot, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0, SCARD_LEAVE_CARD, &protocol);
    if (rv != SCARD_S_SUCCESS) {
      // The stale handle would otherwise leak once a new one replaces it.
      sc.Disconnect(slot, SCARD_LEAVE_CARD);
      slot = 0;
    }
  }
  if (rv != SCARD_S_SUCCESS) {
    SCARDHANDLE h = 0;
    rv = sc.Connect(p.context, names[static_cast<std::size_t>(index)].c_str(), SCARD_SHARE_SHARED,
                    SCARD_PROTOCOL_T0, &h, &protocol);
    slot = rv == SCARD_S_SUCCESS ? h : 0;
  }
  p.cardHandle = slot;
  return rv;
}

void Wizard::PollReader() {
  TestPageState& p = state_.page;
  if (!p.readersListed) {
    ListReaders();
    p.readersListed = true;
  }
  int selected = ui_.SelectedReader();
  p.readerPosition = selected < 0 ? 0 : selected + 1;
  LONG rv = ConnectReader(p.readerPosition);
  if (rv != SCARD_S_SUCCESS) {
    SetEnabledAll(ui_, {kCtlPinPrompt, kCtlPin, kCtlUnblockBox}, false);
    state_.ReadFields();
    if (ui_.IsNextEnabled()) ui_.SetButtons(kButtonBack);
  } else {
    SetEnabledAll(ui_, {kCtlPinPrompt, kCtlPin, kCtlUnblockBox}, true);
  }
}

// ---- field rules ----------------------------------------------------------

namespace {

unsigned BackNextWhen(bool condition) { return condition ? kButtonBack | kButtonNext : kButtonBack; }

}  // namespace

void Wizard::ApplyPinRule() {
  state_.ReadFields();
  const Fields& f = state_.page.fields;
  bool ok = state_.page.unblockMode
                ? FieldLength(f.puk) == kPukLength && FieldLength(f.newPin) >= kMinNewPinLength
                : FieldLength(f.pin) >= 1;
  ui_.SetButtons(BackNextWhen(ok));
}

void Wizard::ApplyPukRule() {
  state_.ReadFields();
  const Fields& f = state_.page.fields;
  bool ok = FieldLength(f.puk) == kPukLength && FieldLength(f.newPin) >= kMinNewPinLength &&
            FieldLength(f.pin) >= kMinNewPinLength;
  ui_.SetButtons(BackNextWhen(ok));
}

void Wizard::ApplyNewPinRule() {
  state_.ReadFields();
  const Fields& f = state_.page.fields;
  bool ok = FieldLength(f.puk) == kPukLength && FieldLength(f.newPin) >= kMinNewPinLength;
  ui_.SetButtons(BackNextWhen(ok));
}

// ---- the run --------------------------------------------------------------

// A step that finished the run itself has also shown the error page.
Page Wizard::Fail() {
  if (!state_.runFinished) {
    state_.FinishRun();
    state_.GoToErrorPage();
  }
  return Page::Error;
}

Page Wizard::RunTests() {
  state_.runFinished = false;
  ui_.StopTimer(kPollTimerId);
  steps_->WriteReaderReport(state_, state_.page.context, kCardModelNamesBlock);
  state_.ReadFields();
  SetEnabledAll(ui_, {kCtlPinExplanation, kCtlPinPrompt, kCtlPin, kCtlPukPrompt, kCtlPuk}, false);
  ui_.AnimationPlay();

  int r = RunCardTests();
  if (r == kStepFailed || r == kStepBlocked) return Fail();

  steps_->Test4Header(state_);
  if (IsLoginDeviceFailure(steps_->LoginStep(state_))) return Fail();

  if (steps_->SearchPrivateKeys(state_) == kStepFailed) return Fail();
  ui_.SetIcon(kCtlPrivateKeysIcon, kIconPass);

  if (steps_->SearchPublicKeys(state_) == kStepFailed) {
    ui_.SetIcon(kCtlPublicKeysIcon, kIconNotRun);
    return Fail();
  }
  ui_.SetIcon(kCtlPublicKeysIcon, kIconPass);

  if (steps_->SearchCertificates(state_) == kStepFailed) return Fail();
  ui_.SetIcon(kCtlCertificatesIcon, kIconPass);

  int data = steps_->SearchDataObjects(state_);
  if (data == kStepFailed) return Fail();
  state_.FinishRun();
  ui_.SetIcon(kCtlDataObjectsIcon, kIconPass);
  state_.runCompleted = true;
  ui_.Pause(1000);
  return Page::Completion;
}

int Wizard::RunCardTests() {
  TestPageState& p = state_.page;
  if (!EnsureContext()) {
    state_.Message(kContextFailedText, kCommErrorCaption);
    state_.SetResultText(Text(kContextFailedText));
    return kStepFailed;
  }
  if (p.cardHandle == 0) {
    LogWrite(Text(kNoCardText), false);
    LogWrite("\n\n", true);
    state_.SetResultText(Text(kNoCardText));
    state_.Message(kNoCardText, kCommErrorCaption);
    return kStepFailed;
  }

  std::uint8_t statusBytes[2] = {0, 0};
  if (steps_->TestSmartCard(state_, statusBytes) == kLifePhaseFinal) return kStepFailed;

  if (steps_->TestPkcs15Dump(state_) == kStepFailed) {
    state_.SetResultText(Text(kNoCardText));
    return kStepFailed;
  }

  int pin = steps_->TestPinStatus(state_);
  // TEST 3 closed the run and showed the error page itself: going on would
  // close it a second time and overwrite its result text.
  if (state_.runFinished) return kStepFailed;
  if (pin == kStepBlocked) {
    LogWrite(Text(kPinLockedText), false);
    state_.SetResultText(Text(kPinLockedText));
    if (!ui_.IsChecked(kCtlUnblockBox)) return 1;
    int u = steps_->UnblockPin(state_);
    ui_.SetIcon(kCtlPinStatusIcon, u == 1 ? kIconPass : kIconFail);
    return u;
  }
  return 1;
}

}  // namespace zorbix::app
