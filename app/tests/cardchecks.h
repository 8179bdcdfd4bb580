// The card checks of the reader report, TEST 1 and TEST 2: the known-ATR
// table with its masked match, the card family code, the card model from the
// smart-card database, and the step bodies themselves.
#pragma once

#include <PCSC/winscard.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "app/tests/teststeps.h"
#include "app/wizardstate.h"

namespace zorbix::app {

struct KnownAtr {
  std::array<std::uint8_t, 64> pattern;
  std::array<std::uint8_t, 64> mask;
  std::uint8_t length;
  const char* name;  // for people reading the table; no operation uses it
};

// The six known ATRs: the patterns and masks the smart-card database
// registers (platform/carddb.h), in its order. The masks leave out the life
// phase and the status bytes at the end.
extern const std::array<KnownAtr, 6> kKnownAtrTable;

// The family code from ATR bytes 13 and 14: 01 16 -> 1, 2C 34 -> 2,
// AC 14 -> 3, AC 34 -> 4, else (or a shorter ATR) 0.
std::uint8_t CardFamilyFromAtr(const std::uint8_t* atr, std::size_t length);

// True when a known-ATR entry of this length agrees with the ATR on every
// masked bit; then *cardFamily := CardFamilyFromAtr.
bool MatchKnownAtr(const std::uint8_t* atr, std::size_t length, std::uint8_t* cardFamily);

// Upper-case hex digits of `bytes`, `separator` after each byte.
std::string UpperHex(std::span<const std::uint8_t> bytes, std::string_view separator = {});

// The ATR of the connection (at most 30 bytes); empty when it cannot be read.
std::vector<std::uint8_t> ReadCardAtr(SCARDHANDLE card);

// The first name the smart-card database holds for the ATR; empty when none.
std::string RegisteredCardName(SCARDCONTEXT context, const std::vector<std::uint8_t>& atr);

// 0-4: index of `name` in kCardModelNames; 5 when it is none of them.
int CardModelIndex(std::string_view name);

// CardModelIndex of the card's registered name.
int CardTypeIndex(const RunState& s);

// Reader report: one reader/ATR pair per reader. Returns the names of the
// readers holding a known card; sets s.cardFamily from the last of them.
std::vector<std::string> WriteReaderReport(RunState& s, SCARDCONTEXT context,
                                           std::string_view cardNames);

// TEST 1: 3 when the card passed, otherwise its life-phase byte.
int TestSmartCard(RunState& s, std::uint8_t statusBytes[2]);

// The events buffer into the log: 1, or 0 when the exchange failed.
int ReadCardEvents(RunState& s);

// TEST 2: 0, or -1 when the dump could not start.
int TestPkcs15Dump(RunState& s);

}  // namespace zorbix::app
