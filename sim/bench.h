// The PC/SC test bench: pcscd with vpcd readers on loopback and virtual cards
// behind them. Tests that use it carry the CTest RESOURCE_LOCK pcsc_bench.
//
//   auto bench = zorbix::sim::Bench::Start();          // 1 reader
//   zorbix::sim::Card& card = bench->Insert(0, "Vexa");  // card seen by PC/SC on return
//   ... SCard* calls on bench->ReaderName(0) ...
//   bench->Remove(0);                                     // card gone on return
//
// When no pcscd runs, Start launches its own (`pcscd -f -c <config>` as root,
// through sudo -n otherwise) and the destructor stops it, as does the end of
// the process that started it, however it ends; when one runs and
// already serves vpcd readers, the bench uses it; otherwise it throws.
// Benches are serialised machine-wide (flock on /tmp/zorbix-pcsc-bench.lock,
// waited for up to 10 min), also across separate test runs; do not start a
// second bench while one is held in the same process tree.
#pragma once

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/card.h"

namespace zorbix::sim {

class VpcdLink;

class Bench {
 public:
  // Brings up pcscd with `readers` vpcd readers (1 or 2: the driver's ports
  // 35963 and 35964) and waits until PC/SC lists them. Throws
  // std::runtime_error with the reason when that fails.
  static std::unique_ptr<Bench> Start(int readers = 1);
  ~Bench();  // removes the cards and stops the pcscd it started
  Bench(const Bench&) = delete;
  Bench& operator=(const Bench&) = delete;

  int Readers() const { return static_cast<int>(links_.size()); }
  std::string ReaderName(int reader) const;  // "Virtual PCD 00 00", ...

  // Puts a card with profile `profileName` (or `profile`) in the reader,
  // replacing any card there, and returns when PC/SC reports it present.
  // The card traces (keeps its last kTraceKeep exchanges, Card::Trace);
  // `prepare` runs on it before it goes in (starting state, faults, another
  // trace). Throws std::runtime_error for an unknown profile or a card not
  // seen, and what `prepare` throws.
  Card& Insert(int reader, const std::string& profileName,
               const std::function<void(Card&)>& prepare = {});
  Card& Insert(int reader, Profile profile, const std::function<void(Card&)>& prepare = {});
  // Takes the card out; returns when PC/SC reports the reader empty.
  void Remove(int reader);
  Card* CardIn(int reader);  // null when empty

  // Waits until PC/SC reports the reader with (or without) a card.
  bool WaitPresent(int reader, bool present, int timeoutMs = 10000) const;

  bool OwnsDaemon() const { return pcscdPid_ > 0; }

 private:
  Bench() = default;
  void StartDaemon(int readers);
  void StopDaemon();
  void WaitReaders(int readers);
  void Check(int reader) const;

  int pcscdPid_ = -1;  // the shell (or sudo) that runs the daemon
  int keepFd_ = -1;     // the daemon stops when this closes
  int lockFd_ = -1;
  std::string configDir_;
  std::vector<std::string> names_;
  std::vector<std::unique_ptr<VpcdLink>> links_;
  std::vector<std::unique_ptr<Card>> cards_;
};

}  // namespace zorbix::sim
