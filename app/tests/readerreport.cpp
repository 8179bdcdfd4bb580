// The reader report written first in every run, the known-ATR table and the
// card model lookup shared by TEST 1 to TEST 3.
#include <algorithm>
#include <cstring>

#include "app/htmllog.h"
#include "app/tests/cardchecks.h"
#include "app/tests/defaultsteps.h"
#include "platform/carddb.h"
#include "platform/scard.h"
#include "res/strings.h"

namespace zorbix::app {

namespace {

constexpr int kReportTitleText = 154;  // "Checking ATR ..."
constexpr int kReaderText = 250;       // "Reader:\t"
constexpr int kAtrText = 249;          // "ATR: \t\t"
constexpr std::size_t kAtrBufferSize = 30;

std::string AtrLine(const std::uint8_t* atr, std::size_t n) {
  return n ? UpperHex({atr, n}, " ") : "-- -- -- ";
}

// The smart-card database registers the model names with exactly these
// patterns and masks, row for row: one table serves both.
std::array<KnownAtr, 6> KnownAtrsFromDatabase() {
  static constexpr const char* kNames[] = {"ORVA-ZEL_01", "ORVA-ZEL_02", "ORVA-ZEL_03",
                                           "ORVA-ZEL_04", "ORVA-ZEL_05", "ORVA-ZEL_06"};
  const std::vector<platform::RegisteredCard>& cards = platform::RegisteredCards();
  std::array<KnownAtr, 6> table{};
  for (std::size_t i = 0; i < table.size() && i < cards.size(); ++i) {
    const platform::RegisteredCard& card = cards[i];
    KnownAtr& k = table[i];
    k.length = static_cast<std::uint8_t>(std::min(card.atr.size(), k.pattern.size()));
    std::copy_n(card.atr.begin(), k.length, k.pattern.begin());
    std::copy_n(card.mask.begin(), std::min<std::size_t>(card.mask.size(), k.length),
                k.mask.begin());
    k.name = kNames[i];
  }
  return table;
}

}  // namespace

const std::array<KnownAtr, 6> kKnownAtrTable = KnownAtrsFromDatabase();

std::string UpperHex(std::span<const std::uint8_t> bytes, std::string_view separator) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * (2 + separator.size()));
  for (const std::uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 0x0F];
    out += separator;
  }
  return out;
}

std::uint8_t CardFamilyFromAtr(const std::uint8_t* atr, std::size_t length) {
  if (!atr || length < 15) return 0;
  const unsigned code = atr[13] << 8 | atr[14];
  switch (code) {
    case 0x0116: return 1;
    case 0x2C34: return 2;
    case 0xAC14: return 3;
    case 0xAC34: return 4;
    default: return 0;
  }
}

bool MatchKnownAtr(const std::uint8_t* atr, std::size_t length, std::uint8_t* cardFamily) {
  if (!atr) return false;
  for (const KnownAtr& k : kKnownAtrTable) {
    if (k.length != length) continue;
    bool same = true;
    for (std::size_t i = 0; i < length && same; ++i)
      same = (k.pattern[i] & k.mask[i]) == (atr[i] & k.mask[i]);
    if (same) {
      if (cardFamily) *cardFamily = CardFamilyFromAtr(atr, length);
      return true;
    }
  }
  return false;
}

std::vector<std::uint8_t> ReadCardAtr(SCARDHANDLE card) {
  std::uint8_t atr[kAtrBufferSize];
  DWORD n = sizeof atr;
  if (platform::Scard().GetAttrib(card, platform::kAttrAtrString, atr, &n) != SCARD_S_SUCCESS)
    return {};
  return std::vector<std::uint8_t>(atr, atr + std::min<DWORD>(n, sizeof atr));
}

std::string RegisteredCardName(SCARDCONTEXT context, const std::vector<std::uint8_t>& atr) {
  std::string names;
  if (platform::Scard().ListCards(context, atr.data(), static_cast<DWORD>(atr.size()), &names) !=
      SCARD_S_SUCCESS)
    return {};
  return std::string(names.c_str());
}

int CardModelIndex(std::string_view name) {
  for (std::size_t i = 0; i < kCardModelNames.size(); ++i)
    if (name == kCardModelNames[i]) return static_cast<int>(i);
  return static_cast<int>(kCardModelNames.size());
}

int CardTypeIndex(const RunState& s) {
  return CardModelIndex(RegisteredCardName(s.page.context, ReadCardAtr(s.page.cardHandle)));
}

std::vector<std::string> WriteReaderReport(RunState& s, SCARDCONTEXT context,
                                           std::string_view cardNames) {
  platform::ScardApi& api = platform::Scard();
  std::vector<std::string> known;

  char* list = nullptr;
  DWORD listLength = SCARD_AUTOALLOCATE;
  if (api.ListReaders(context, nullptr, reinterpret_cast<char*>(&list), &listLength) !=
          SCARD_S_SUCCESS ||
      !list)
    return known;
  const std::vector<std::string> readers = platform::SplitMultiString(list, listLength);

  // The card-name list must end with its empty name even if the caller's
  // view was cut short.
  std::string cards(cardNames);
  cards.append(2, '\0');

  std::vector<SCARD_READERSTATE> states(readers.size());
  for (std::size_t i = 0; i < readers.size(); ++i) {
    states[i] = SCARD_READERSTATE{};
    states[i].szReader = readers[i].c_str();
    states[i].dwCurrentState = SCARD_STATE_UNAWARE;
  }
  if (!readers.empty() &&
      api.LocateCards(context, cards.c_str(), states.data(), static_cast<DWORD>(states.size())) ==
          SCARD_S_SUCCESS) {
    LogWrite(res::Text(kReportTitleText), false);
    for (std::size_t i = 0; i < readers.size(); ++i) {
      const SCARD_READERSTATE& st = states[i];
      const std::size_t atrLength = std::min<std::size_t>(st.cbAtr, sizeof st.rgbAtr);
      std::uint8_t family = s.cardFamily;
      if ((st.dwEventState & SCARD_STATE_ATRMATCH) ||
          ((st.dwEventState & SCARD_STATE_PRESENT) &&
           MatchKnownAtr(st.rgbAtr, atrLength, &family))) {
        s.cardFamily = CardFamilyFromAtr(st.rgbAtr, atrLength);
        known.push_back(readers[i]);
      }
      LogWrite(res::Text(kReaderText) + HtmlEscape(readers[i]) + "\n", false);
      LogWrite(res::Text(kAtrText) + AtrLine(st.rgbAtr, atrLength) + "\n\n", false);
    }
  }
  api.FreeMemory(context, list);
  return known;
}

void DefaultTestSteps::WriteReaderReport(RunState& s, SCARDCONTEXT context,
                                         std::string_view cardNames) {
  app::WriteReaderReport(s, context, cardNames);
}

}  // namespace zorbix::app
