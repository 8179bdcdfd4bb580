// Smart-card database stand-in: registered ORVA-ZEL models and lookups.
#include "platform/carddb.h"

#include <algorithm>
#include <cstring>

namespace zorbix::platform {
namespace {

std::vector<std::uint8_t> Mask(std::initializer_list<std::uint8_t> head, std::size_t len) {
  std::vector<std::uint8_t> m(head);
  m.resize(len, 0x00);
  return m;
}

std::vector<std::uint8_t> Ones(std::size_t count, std::size_t len) {
  std::vector<std::uint8_t> m(count, 0xFF);
  m.resize(len, 0x00);
  return m;
}

std::vector<RegisteredCard> BuildTable() {
  std::vector<RegisteredCard> t;
  t.push_back({"ORVA-ZEL_MODEL_A1",
               {0x3B, 0xEF, 0x00, 0x00, 0x40, 0x14, 0x80, 0x25, 0x48, 0x41, 0x4C,
                0x56, 0x4F, 0x57, 0x01, 0x16, 0x01, 0x01, 0x03, 0x90, 0x00},
               Ones(18, 21)});
  t.push_back({"ORVA-ZEL_MODEL_A2",
               {0x3B, 0xEF, 0x00, 0x00, 0x40, 0x14, 0x80, 0x25, 0x48, 0x41, 0x4C,
                0x56, 0x4F, 0x57, 0x05, 0x60, 0x01, 0x02, 0x03, 0x90, 0x00},
               Ones(18, 21)});
  // TA1 (byte 2) left out: this card came with several transmission speeds.
  t.push_back({"ORVA-ZEL_MODEL_B2",
               {0x3B, 0x7F, 0x11, 0x00, 0x00, 0x00, 0x6A, 0x48, 0x41, 0x4C,
                0x56, 0x4F, 0x02, 0x2C, 0x34, 0x02, 0x00, 0x03, 0x90, 0x00},
               Mask({0xFF, 0xFF, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                     0xFF, 0xFF, 0xFF},
                    20)});
  // Low nibble of byte 16 left out: the minor versions 03 00 to 03 0F.
  t.push_back({"ORVA-ZEL_MODEL_B",
               {0x3B, 0x7F, 0x38, 0x00, 0x00, 0x00, 0x6A, 0x48, 0x41, 0x4C,
                0x56, 0x4F, 0x02, 0x2C, 0x34, 0x03, 0x00, 0x03, 0x90, 0x00},
               Mask({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                     0xFF, 0xFF, 0xFF, 0xF0},
                    20)});
  t.push_back({"ORVA-ZEL_MODEL_B",
               {0x3B, 0x7F, 0x38, 0x00, 0x00, 0x00, 0x6A, 0x48, 0x41, 0x4C,
                0x56, 0x4F, 0x02, 0x2C, 0x34, 0x03, 0x10, 0x03, 0x90, 0x00},
               Ones(16, 20)});
  t.push_back({"ORVA-ZEL_MODEL_C",
               {0x3B, 0x7F, 0x38, 0x00, 0x00, 0x00, 0x6A, 0x4F, 0x52, 0x56,
                0x41, 0x03, 0x02, 0xAC, 0x14, 0x04, 0x10, 0x03, 0x90, 0x00},
               Ones(16, 20)});
  return t;
}

}  // namespace

const std::vector<RegisteredCard>& RegisteredCards() {
  static const std::vector<RegisteredCard> table = BuildTable();
  return table;
}

// The table lists the models in card-type-index order, a model's rows
// side by side.
const std::vector<std::string>& CardModelNames() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> out;
    for (const RegisteredCard& card : RegisteredCards())
      if (out.empty() || out.back() != card.name) out.push_back(card.name);
    return out;
  }();
  return names;
}

bool AtrMatches(const RegisteredCard& card, const BYTE* atr, DWORD atrLen) {
  if (!atr || atrLen != card.atr.size()) return false;
  for (std::size_t i = 0; i < card.atr.size(); ++i) {
    std::uint8_t m = i < card.mask.size() ? card.mask[i] : 0;
    if ((card.atr[i] & m) != (atr[i] & m)) return false;
  }
  return true;
}

std::vector<std::string> CardNamesForAtr(const std::vector<RegisteredCard>& table,
                                         const BYTE* atr, DWORD atrLen) {
  std::vector<std::string> names;
  for (const auto& card : table) {
    if (AtrMatches(card, atr, atrLen) &&
        std::find(names.begin(), names.end(), card.name) == names.end()) {
      names.push_back(card.name);
    }
  }
  return names;
}

std::vector<std::string> SplitCardList(const char* multi) {
  std::vector<std::string> names;
  if (!multi) return names;
  while (*multi) {
    std::size_t n = std::strlen(multi);
    names.emplace_back(multi, n);
    multi += n + 1;
  }
  return names;
}

std::string JoinMultiString(const std::vector<std::string>& names) {
  std::string out;
  for (const auto& n : names) {
    out += n;
    out.push_back('\0');
  }
  out.push_back('\0');
  if (names.empty()) out.push_back('\0');
  return out;
}

LONG LocateCardsIn(ScardApi& api, const std::vector<RegisteredCard>& table, SCARDCONTEXT ctx,
                   const char* cards, SCARD_READERSTATE* states, DWORD count) {
  if (count == 0) return SCARD_S_SUCCESS;
  if (!states || !cards) return SCARD_E_INVALID_PARAMETER;
  const std::vector<std::string> wanted = SplitCardList(cards);

  std::vector<SCARD_READERSTATE> probe(states, states + count);
  for (auto& s : probe) {
    s.dwCurrentState = SCARD_STATE_UNAWARE;
    s.dwEventState = 0;
    s.cbAtr = 0;
  }
  LONG rv = api.GetStatusChange(ctx, 0, probe.data(), count);
  if (rv == SCARD_E_UNKNOWN_READER) {
    // pcscd refuses the whole list for one reader that went away: look at
    // the readers one by one and mark the missing ones unknown.
    for (auto& s : probe) {
      LONG one = api.GetStatusChange(ctx, 0, &s, 1);
      if (one == SCARD_E_UNKNOWN_READER) {
        s.dwEventState = SCARD_STATE_UNKNOWN;
        s.cbAtr = 0;
      } else if (one != SCARD_S_SUCCESS && one != SCARD_E_TIMEOUT) {
        return one;
      }
    }
    rv = SCARD_S_SUCCESS;
  }
  if (rv != SCARD_S_SUCCESS && rv != SCARD_E_TIMEOUT) return rv;

  for (DWORD i = 0; i < count; ++i) {
    DWORD event = probe[i].dwEventState & ~(DWORD{SCARD_STATE_CHANGED} | SCARD_STATE_ATRMATCH);
    DWORD atrLen = std::min<DWORD>(probe[i].cbAtr, sizeof(states[i].rgbAtr));
    if ((event & SCARD_STATE_PRESENT) && atrLen > 0) {
      for (const auto& name : CardNamesForAtr(table, probe[i].rgbAtr, atrLen)) {
        if (std::find(wanted.begin(), wanted.end(), name) != wanted.end()) {
          event |= SCARD_STATE_ATRMATCH;
          break;
        }
      }
    }
    DWORD current = states[i].dwCurrentState & ~DWORD{SCARD_STATE_CHANGED};
    if (current != event) event |= SCARD_STATE_CHANGED;
    states[i].dwEventState = event;
    std::memcpy(states[i].rgbAtr, probe[i].rgbAtr, atrLen);
    states[i].cbAtr = atrLen;
  }
  return SCARD_S_SUCCESS;
}

LONG ListCardsIn(const std::vector<RegisteredCard>& table, const BYTE* atr, DWORD atrLen,
                 std::string* names) {
  if (!names) return SCARD_E_INVALID_PARAMETER;
  *names = JoinMultiString(CardNamesForAtr(table, atr, atrLen));
  return SCARD_S_SUCCESS;
}

}  // namespace zorbix::platform
