// Smart-card database for pcsc-lite, which has none: the card models
// registered by name with an ATR pattern and mask, and the card-location and
// name-lookup calls answered from it.
//
// Registered cards (a card matches when its ATR has the pattern's length and
// agrees with the pattern on every bit the mask sets):
//
// | # | ATR pattern                                                    | mask                       | name                |
// |---|----------------------------------------------------------------|----------------------------|---------------------|
// | 1 | 3B EF 00 00 40 14 80 25 48 41 4C 56 4F 57 01 16 01 01 03 90 00 | 18 x FF                    | ORVA-ZEL_MODEL_A1   |
// | 2 | 3B EF 00 00 40 14 80 25 48 41 4C 56 4F 57 05 60 01 02 03 90 00 | 18 x FF                    | ORVA-ZEL_MODEL_A2   |
// | 3 | 3B 7F 11 00 00 00 6A 48 41 4C 56 4F 02 2C 34 02 00 03 90 00    | FF FF 00, 13 x FF          | ORVA-ZEL_MODEL_B2   |
// | 4 | 3B 7F 38 00 00 00 6A 48 41 4C 56 4F 02 2C 34 03 00 03 90 00    | 16 x FF, F0                | ORVA-ZEL_MODEL_B    |
// | 5 | 3B 7F 38 00 00 00 6A 48 41 4C 56 4F 02 2C 34 03 10 03 90 00    | 16 x FF                    | ORVA-ZEL_MODEL_B    |
// | 6 | 3B 7F 38 00 00 00 6A 4F 52 56 41 03 02 AC 14 04 10 03 90 00    | 16 x FF                    | ORVA-ZEL_MODEL_C    |
//
// Mask bytes beyond the listed ones are 00: the life-phase byte and the two
// status bytes at the end never take part, so a card in any life phase keeps
// its model name.
//
// Why these names: the two "HALVOW" cards (1, 2) are the older card class and
// take the A models, told apart by their version byte (01 / 02 before the
// life phase). The "HALVO" cards of family 2C 34 take the B models: version
// 02 (row 3) is B2, version 03 (rows 4, 5) is B. The "ORVA" card of family
// AC 14 (row 6) is C.
#pragma once

#include "platform/scard.h"

#include <cstdint>
#include <string>
#include <vector>

namespace zorbix::platform {

struct RegisteredCard {
  std::string name;
  std::vector<std::uint8_t> atr;
  std::vector<std::uint8_t> mask;  // same length as atr
};

// The table above, in that order.
const std::vector<RegisteredCard>& RegisteredCards();

// The five model names, in card-type-index order.
const std::vector<std::string>& CardModelNames();

bool AtrMatches(const RegisteredCard& card, const BYTE* atr, DWORD atrLen);

// Names registered for an ATR, in table order, without repeats.
std::vector<std::string> CardNamesForAtr(const std::vector<RegisteredCard>& table,
                                         const BYTE* atr, DWORD atrLen);

// Names of a multi-string that ends with an empty name (no length known).
std::vector<std::string> SplitCardList(const char* multi);
// Names, each ended by NUL, then one more NUL.
std::string JoinMultiString(const std::vector<std::string>& names);

// Card location over any PC/SC implementation: reads every reader's state and
// ATR with a status change of time-out 0, copies them into `states` (event
// state, rgbAtr, cbAtr) and adds SCARD_STATE_ATRMATCH where the card is
// registered in `table` under one of the names in `cards`. SCARD_STATE_CHANGED
// is set where the event state differs from the caller's current state.
// A reader the platform does not know gets SCARD_STATE_UNKNOWN.
LONG LocateCardsIn(ScardApi& api, const std::vector<RegisteredCard>& table, SCARDCONTEXT ctx,
                   const char* cards, SCARD_READERSTATE* states, DWORD count);

// Names registered in `table` for the ATR as a multi-string; an unregistered
// ATR (or none) gives the empty list (NUL NUL).
LONG ListCardsIn(const std::vector<RegisteredCard>& table, const BYTE* atr, DWORD atrLen,
                 std::string* names);

}  // namespace zorbix::platform
