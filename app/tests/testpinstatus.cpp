// TEST 3: the card's serial number, the hand-over of the card to the PKCS#11
// module with its session, the PIN retry counter, and the PIN unblock.
#include <array>
#include <cstdio>
#include <memory>
#include <new>
#include <span>
#include <vector>

#include "app/halvocard.h"
#include "app/htmllog.h"
#include "app/tests/cardchecks.h"
#include "app/tests/defaultsteps.h"
#include "app/tests/sessioncard.h"
#include "app/tests/testpkcs11.h"
#include "platform/scard.h"
#include "res/strings.h"

namespace zorbix::app {

namespace {

using res::Text;

constexpr CK_FLAGS kSessionFlags = CKF_SERIAL_SESSION | CKF_RW_SESSION;

// What the card's answer to the retry-counter query means.
struct RetryRow {
  std::uint16_t statusWord;
  int icon;
  std::vector<int> lines;
  bool blocked;
};

// A blocked PIN answers 63C0 on some cards and 6983 (authentication method
// blocked) on others; both are the same locked PIN.
const RetryRow kRetryRows[] = {
    {0x63C3, kIconPass, {215}, false},        {0x63C2, kIconPass, {216}, false},
    {0x63C1, kIconPass, {217}, false},        {0x63C0, kIconWarning, {218, 219}, true},
    {0x6983, kIconWarning, {218, 219}, true},
};

struct UnblockRow {
  std::uint16_t statusWord;
  int icon;
  std::vector<int> lines;
  int resultText;  // 0: unchanged
  int result;
};

const UnblockRow kUnblockRows[] = {
    {0x9000, kIconPass, {227, 228}, 0, 1},
    {0x63C3, kIconWarning, {229}, 229, kStepFailed},
    {0x63C2, kIconWarning, {230}, 230, kStepFailed},
    {0x63C1, kIconWarning, {231}, 231, kStepFailed},
    {0x63C0, kIconFail, {232, 233}, 233, kStepBlocked},
    {0x6983, kIconFail, {232, 233}, 233, kStepBlocked},
};

std::unique_ptr<HalvoCard> MakeCard(RunState& s) {
  try {
    const int type = CardTypeIndex(s);
    if (type == 0 || type == 1) return std::make_unique<HalvoCard>(s.page.cardHandle);
    return std::make_unique<HalvoCardV20>(s.page.cardHandle);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

// Gives the card to the module: the wizard's connection goes, with a reset.
bool ReleaseCardConnection(RunState& s) {
  TestPageState& p = s.page;
  const LONG rv = platform::Scard().Disconnect(p.cardHandle, SCARD_RESET_CARD);
  // The handle is gone whatever the answer; the polling slot must not keep it.
  for (SCARDHANDLE& h : p.readerHandles)
    if (h == p.cardHandle) h = 0;
  p.cardHandle = 0;
  return rv == SCARD_S_SUCCESS;
}

// The retry-counter query and what it tells (step 10). Returns 1 when the
// counter was read, 0 otherwise.
int CheckRetryCounter(RunState& s) {
  const SessionCardCall call = QueryPinRetries(s.page.session);
  if (call.outcome == SessionCardCall::kFailed) return 0;
  const std::uint16_t sw = call.outcome == SessionCardCall::kRaised ? call.statusWord() : 0;
  for (const RetryRow& row : kRetryRows) {
    if (row.statusWord != sw) continue;
    s.ui.SetIcon(kCtlPinStatusIcon, row.icon);
    for (int id : row.lines) LogWrite(Text(id), false);
    if (row.blocked) s.page.pinBlocked = true;
    LogWrite(Text(222), true);
    return 1;
  }
  s.ui.SetIcon(kCtlPinStatusIcon, kIconWarning);
  char code[16];
  std::snprintf(code, sizeof code, "%02X\n", sw);
  const std::string line = Text(220) + code;
  LogWrite(line, false);
  s.SetResultText(line);
  LogWrite(Text(221), true);
  return 0;
}

}  // namespace

std::string ErrorSuffix(const char* format, CK_RV rv) {
  char text[40];
  std::snprintf(text, sizeof text, format, static_cast<unsigned long>(rv));
  return text;
}

int OpenPkcs11Session(RunState& s) {
  TestPageState& p = s.page;
  auto fail = [&](int textId, CK_RV rv, bool logged) {
    s.SetResultText(Text(textId) + ErrorSuffix("\nError 0x%08lX", rv));
    if (logged) LogWrite(s.resultText, false);
    s.GoToErrorPage();
    return 0;
  };

  if (!p.pkcs11Initialized) {
    CK_RV rv = CKR_GENERAL_ERROR;
    if (s.p11 != nullptr) {
      rv = s.p11->C_Initialize(nullptr);
      // A run that ended before its session opened leaves the module
      // initialised; it serves the next run as it is.
      if (rv == CKR_CRYPTOKI_ALREADY_INITIALIZED) rv = CKR_OK;
    }
    if (rv != CKR_OK) return fail(134, rv, false);
    p.pkcs11Initialized = true;
  }

  s.SetStatusLine(139);
  s.WriteFields();

  CK_ULONG count = 0;
  CK_RV rv = s.p11->C_GetSlotList(CK_FALSE, nullptr, &count);
  if (rv != CKR_OK || count == 0) return fail(160, rv, false);
  std::vector<CK_SLOT_ID> slots(count);
  rv = s.p11->C_GetSlotList(CK_FALSE, slots.data(), &count);
  // The slots follow the platform's reader order: the chosen reader's
  // position names its slot.
  const auto index = static_cast<CK_ULONG>(p.readerPosition - 1);
  if (rv != CKR_OK || count == 0 || p.readerPosition < 1 || index >= count)
    return fail(160, rv, false);
  const CK_SLOT_ID slot = slots[index];

  CK_SESSION_HANDLE session = 0;
  rv = s.p11->C_OpenSession(slot, kSessionFlags, nullptr, nullptr, &session);
  if (rv != CKR_OK) return fail(161, rv, true);
  p.session = session;

  CK_TOKEN_INFO info{};
  rv = s.p11->C_GetTokenInfo(slot, &info);
  if (rv != CKR_OK) return fail(162, rv, true);

  LogWrite(Text(245), false);
  return 1;
}

int TestPinStatus(RunState& s) {
  s.SetStatusLine(182);
  s.ui.SetEnabled(kCtlPinStatusLabel, true);
  LogSectionStart(kLogHeadingTest3, Text(210));

  std::unique_ptr<HalvoCard> card = MakeCard(s);
  LogWrite(Text(211), false);

  std::array<std::uint8_t, 7> serial{};
  std::uint8_t length = 0;
  if (!card || card->GetSerialNumber(serial.data(), &length) != SCARD_S_SUCCESS) {
    LogWrite(Text(212), false);
    s.Message(206);
    s.SetResultText(Text(206));
    return 0;
  }
  LogWrite(Text(213) + UpperHex(std::span(serial.data(), length), " ") + "\n", false);
  s.lineBuffer.clear();

  LogWrite(Text(214), false);
  card.reset();  // it uses the connection released below
  if (!ReleaseCardConnection(s) || !OpenPkcs11Session(s)) {
    s.FinishRun();
    s.GoToErrorPage();
    return 0;
  }

  const int result = CheckRetryCounter(s);
  return s.page.pinBlocked ? kStepBlocked : result;
}

int UnblockPin(RunState& s) {
  s.SetStatusLine(183);
  LogWrite(kLogStepFrameOpenBr, true);
  LogWrite(kLogStepTitleOpen, true);
  LogWrite(Text(183), true);
  LogWrite(kLogStepTitleClose, true);
  s.ui.SetEnabled(kCtlPukStepLabel, true);
  s.ui.SetEnabled(kCtlPinStatusLabel, true);
  LogWrite(Text(224), false);
  // Neither code goes to the log in clear: a log is handed to support staff.
  LogWrite(Text(225) + std::string(FieldLength(s.page.fields.puk), '*') + "\n", false);
  LogWrite(Text(226) + std::string(FieldLength(s.page.fields.newPin), '*') + "\n", false);
  s.ui.SetText(kCtlPinStatusLabel, Text(184));

  const SessionCardCall call = ResetRetryCounter(s.page.session, s.page.fields.puk,
                                                 s.page.fields.newPin);
  if (call.outcome == SessionCardCall::kFailed) return kStepFailed;
  const std::uint16_t sw = call.outcome == SessionCardCall::kDone ? 0x9000 : call.statusWord();

  int result = kStepFailed;
  bool known = false;
  for (const UnblockRow& row : kUnblockRows) {
    if (row.statusWord != sw) continue;
    known = true;
    s.ui.SetIcon(kCtlPinStatusIcon, row.icon);
    for (int id : row.lines) LogWrite(Text(id), false);
    if (row.resultText != 0) s.SetResultText(Text(row.resultText));
    result = row.result;
    LogWrite(Text(237), false);
    break;
  }
  if (!known) {
    s.ui.SetIcon(kCtlPinStatusIcon, kIconFail);
    char code[16];
    std::snprintf(code, sizeof code, "%04X\n", sw);
    LogWrite(Text(234) + code, false);
    LogWrite(Text(235), false);
    s.SetResultText(Text(235));
    s.Message(236);
  }
  return result;
}

int DefaultTestSteps::TestPinStatus(RunState& s) { return app::TestPinStatus(s); }

int DefaultTestSteps::UnblockPin(RunState& s) { return app::UnblockPin(s); }

}  // namespace zorbix::app
