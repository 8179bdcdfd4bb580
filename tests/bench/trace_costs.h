// What a stretch of the virtual card's trace cost, and how much of it the
// operation could not do without: every exchange sorted into what carries
// data or a security step, and what only moves the card's file pointer or
// repeats something the same stretch already did.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sim/profile.h"

namespace zorbix::bench {

using Bytes = std::vector<std::uint8_t>;

// One exchange of the trace: the command and answer on the wire and, for a
// protected or enveloped command, the plain command inside (masked bytes
// read as 00).
struct Exchange {
  std::size_t number = 0;
  Bytes command, answer;
  Bytes plain, plainAnswer;  // empty when the wire command is the plain one
};

// The exchanges of trace text (the --trace file's lines, or
// sim::Card::TraceText()); events and unknown lines are skipped.
std::vector<Exchange> ParseTrace(const std::string& text);

// Why an exchange was sent.
enum class Kind {
  Work,          // carries data or a security step of the operation
  Select,        // reaches a file the operation uses
  PathStep,      // a directory on the way: paths start at the master file
  FciAnswer,     // GET RESPONSE of a selection's file control information
  RootAgain,     // an operation starting again from the master file (or
                 // ICC.Crypto) where the card already stands: no selection
                 // is kept from one card operation to the next
  SelectAgain,   // selects the file that is already current
  ReadAgain,     // reads bytes this stretch already read
  AskedAgain,    // the same command with the same answer, asked again
};
const char* KindName(Kind k);

struct Cost {
  std::size_t exchanges = 0;
  std::size_t bytes = 0;  // command and answer bytes on the wire
  std::map<Kind, std::size_t> of;
  std::size_t Minimum() const;  // Work + Select
  std::size_t Redundant() const;  // SelectAgain + ReadAgain + AskedAgain
  Cost& operator+=(const Cost& other);
};

// Sorts one stretch of exchanges sent in one card transaction: the card's
// file pointer is unknown at its start. `notes`, when given, gets one line
// per exchange with its kind.
Cost Analyse(const std::vector<Exchange>& exchanges, const sim::Profile& profile,
             std::vector<std::string>* notes = nullptr);

}  // namespace zorbix::bench
