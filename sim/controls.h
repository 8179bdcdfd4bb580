// The card's starting state and faults as the programs take them on the
// command line (zorbix-vcard, zorbix-bench), and the control lines of a
// running card read from standard input. The flags and lines map one to one
// onto Card's test controls; command numbers are Card's (card.h).
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "sim/card.h"

namespace zorbix::sim {

// A refused flag or control line; what() names it and what it accepts.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct CardOptions {
  std::optional<int> pinTries, pukTries;
  std::optional<std::uint8_t> phase;
  std::optional<int> delayMs;
  std::vector<std::pair<int, std::uint16_t>> failAt;         // command number, status word
  std::vector<std::pair<int, std::ptrdiff_t>> corruptAt;     // command number, byte index
  std::optional<int> removeAfter;
  std::optional<int> reinsertAfterMs;
  std::string traceFile;
};

// Takes the card flag at argv[*i] and its value (advancing *i); false when
// argv[*i] is no card flag. Throws UsageError for a bad or missing value.
bool TakeCardFlag(int argc, char** argv, int* i, CardOptions* options);

// The card flags' part of --help, one example each.
const char* CardFlagsHelp();
// The control lines' part of --help.
const char* ControlLinesHelp();

// Plays a card with its options: checks them against the card's profile,
// applies them (before the card goes into the reader) and answers control
// lines. Throws UsageError for options the card cannot take, and
// std::runtime_error when the trace file cannot be opened.
class CardControl {
 public:
  CardControl(Card& card, const CardOptions& options);
  CardControl(const CardControl&) = delete;
  CardControl& operator=(const CardControl&) = delete;

  // One control line (without its newline): "ok", "ok ..." for status, or
  // "error: ..." naming the control and what it accepts. Never throws.
  std::string Handle(const std::string& line);

 private:
  // Throws UsageError for tries above the card's limit; `prefix` is "--"
  // for flags.
  void Check(const CardOptions& o, const std::string& prefix) const;
  void Apply(const CardOptions& o);
  void TraceOn();

  Card& card_;
  std::shared_ptr<std::FILE> trace_;  // --trace FILE, or standard error
};

// Waits for one of `signals` (blocked by the caller) and returns it. With a
// control, serves the control lines arriving on standard input meanwhile,
// answering each on standard output; the end of input ends only that.
class ControlChannel {
 public:
  explicit ControlChannel(CardControl* control);
  ~ControlChannel();
  ControlChannel(const ControlChannel&) = delete;
  ControlChannel& operator=(const ControlChannel&) = delete;
  int WaitSignal(const sigset_t& signals);

 private:
  void Serve(const std::string& chunk);

  CardControl* control_;
  bool open_;
  bool skipping_ = false;
  std::string pending_;
  int signalFd_ = -1;
};

}  // namespace zorbix::sim
