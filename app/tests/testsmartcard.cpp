// TEST 1: reader, ATR, card model, life phase and the events buffer.
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>

#include "app/halvocard.h"
#include "app/htmllog.h"
#include "app/tests/cardchecks.h"
#include "app/tests/defaultsteps.h"
#include "platform/scard.h"
#include "res/strings.h"

namespace zorbix::app {

namespace {

constexpr std::size_t kFriendlyNameSize = 100;
constexpr std::size_t kEventsBufferSize = 256;
constexpr std::uint8_t kPhaseUser = 0x03;

std::string FriendlyName(SCARDHANDLE card) {
  char name[kFriendlyNameSize] = {};
  DWORD n = sizeof name;
  if (platform::Scard().GetAttrib(card, platform::kAttrDeviceFriendlyNameA,
                                  reinterpret_cast<BYTE*>(name), &n) != SCARD_S_SUCCESS)
    return {};
  // Drivers hand the name out with its NUL.
  return std::string(name, strnlen(name, std::min<std::size_t>(n, sizeof name)));
}

}  // namespace

int ReadCardEvents(RunState& s) {
  s.SetStatusLine(137);
  std::unique_ptr<HalvoCard> card = s.cardFamily == 1
                                        ? std::make_unique<HalvoCard>(s.page.cardHandle)
                                        : std::make_unique<HalvoCardV20>(s.page.cardHandle);
  s.ui.SetEnabled(kCtlPinStatusLabel, true);
  LogWrite(res::Text(138), false);

  std::uint8_t events[kEventsBufferSize] = {};
  std::uint8_t length = 0;
  if (card->ReadEvents(events, sizeof events, &length) != SCARD_S_SUCCESS) {
    LogWrite(res::Text(175), false);
    s.Message(176, kDefaultCaptionId, MessageKind::Error);
    return 0;
  }
  if (card->statusWord() == 0x9000) {
    LogWrite(res::Text(204), false);
    LogHexDump(events, length, true);
  } else {
    char error[48];
    std::snprintf(error, sizeof error, "\t\t Error: \t\t\t0x%02X\n", card->statusWord());
    LogWrite(res::Text(175) + error, false);
  }
  return 1;
}

int TestSmartCard(RunState& s, std::uint8_t statusBytes[2]) {
  s.lineBuffer.clear();
  s.SetStatusLine(154);
  s.ui.SetEnabled(kCtlTestsGroup, true);
  s.ui.SetEnabled(kCtlAtrLabel, true);
  LogSectionStart(kLogHeadingTest1, res::Text(188));

  LogWrite(res::Text(250) + HtmlEscape(FriendlyName(s.page.cardHandle)) + "\n", false);

  LogWrite(res::Text(189), false);
  const std::vector<std::uint8_t> atr = ReadCardAtr(s.page.cardHandle);
  LogHexDump(atr.data(), atr.size(), true);

  // The tail of the ATR: version (n-5, n-4), life phase (n-3), status bytes.
  const std::size_t n = atr.size();
  auto tail = [&](std::size_t back) -> std::uint8_t { return n >= back ? atr[n - back] : 0; };
  const std::string type = UpperHex(std::array{tail(5), tail(4)});

  const auto model =
      static_cast<std::size_t>(CardModelIndex(RegisteredCardName(s.page.context, atr)));

  if (model < kCardModelNames.size()) {
    LogWrite(res::Text(190), false);
    LogWrite(res::Text(191) + type + "\n", false);
    LogWrite(res::Text(192) + std::string(kCardModelNames[model]) + "\n", false);
  } else {
    LogWrite(res::Text(191) + type + "\n", false);
    int generic = 195;
    if (s.cardFamily == 1) generic = 193;
    else if (s.cardFamily == 2) generic = 194;
    else if (s.cardFamily == 3 || s.cardFamily == 4) generic = 248;
    LogWrite(res::Text(generic), false);
  }

  const std::uint8_t phase = tail(3);
  LogWrite(res::Text(196) + UpperHex(std::array{phase}) + "\n", false);
  statusBytes[0] = tail(2);
  statusBytes[1] = tail(1);
  const std::string status = UpperHex(std::array{statusBytes[0], statusBytes[1]});
  LogWrite(res::Text(197) + status + "\n", false);

  if (phase == kPhaseUser && status == "9000") {
    s.ui.SetIcon(kCtlAtrIcon, kIconPass);
    LogWrite(res::Text(198), false);
    ReadCardEvents(s);
    LogWrite(res::Text(199), true);
    return kLifePhaseUser;
  }
  ReadCardEvents(s);
  s.ui.SetIcon(kCtlAtrIcon, kIconWarning);
  LogWrite(res::Text(200), false);
  LogWrite(res::Text(201), true);
  s.AppendResultText(res::Text(202));
  return phase;
}

int DefaultTestSteps::TestSmartCard(RunState& s, std::uint8_t statusBytes[2]) {
  return app::TestSmartCard(s, statusBytes);
}

}  // namespace zorbix::app
