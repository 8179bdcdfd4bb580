// The module against the virtual card bench: real pcscd, vpcd reader.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "p11/module.h"
#include "platform/scard.h"
#include "sim/bench.h"
#include "tests/p11/bench_fixture.h"

namespace {

using zorbix::p11test::OnBench;

TEST_F(OnBench, WaitForSlotEventReportsInsertionAndRemoval) {
  if (bench_->CardIn(0)) bench_->Remove(0);
  const CK_SLOT_ID slot = ReaderSlot();
  ASSERT_GE(slot, 0x10000u);
  CK_SLOT_ID event = 0;
  EXPECT_EQ(C_WaitForSlotEvent(CKF_DONT_BLOCK, &event, nullptr), CKR_NO_EVENT);

  bench_->Insert(0, zorbix::sim::BasicProfile());
  event = 0;
  EXPECT_EQ(C_WaitForSlotEvent(0, &event, nullptr), CKR_OK);
  EXPECT_EQ(event, slot);
  CK_SLOT_INFO info;
  ASSERT_EQ(C_GetSlotInfo(slot, &info), CKR_OK);
  EXPECT_EQ(info.flags, 6u) << "the basic card is of no module type";

  bench_->Remove(0);
  event = 0;
  EXPECT_EQ(C_WaitForSlotEvent(0, &event, nullptr), CKR_OK);
  EXPECT_EQ(event, slot);
  EXPECT_EQ(C_WaitForSlotEvent(CKF_DONT_BLOCK, &event, nullptr), CKR_NO_EVENT);
}

// The real PC/SC underneath, watched: counts the calls that start on a
// context while a status wait on that same context is under way. pcsc-lite
// runs the calls of one context one at a time, so each of those would sit
// behind the wait.
class ContextWatch : public zorbix::platform::ScardApi {
 public:
  explicit ContextWatch(zorbix::platform::ScardApi& real) : real_(real) {}

  std::size_t BehindAWait() const { return behindAWait_.load(); }
  std::size_t WaitsUnderWay() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t n = 0;
    for (const auto& [ctx, waits] : waiting_) n += waits;
    return n;
  }

  LONG EstablishContext(DWORD scope, SCARDCONTEXT* ctx) override { return real_.EstablishContext(scope, ctx); }
  LONG ReleaseContext(SCARDCONTEXT ctx) override { return real_.ReleaseContext(ctx); }
  LONG IsValidContext(SCARDCONTEXT ctx) override { return real_.IsValidContext(ctx); }
  LONG ListReaders(SCARDCONTEXT ctx, const char* groups, char* buf, DWORD* len) override {
    Note(ctx);
    return real_.ListReaders(ctx, groups, buf, len);
  }
  LONG GetStatusChange(SCARDCONTEXT ctx, DWORD timeoutMs, SCARD_READERSTATE* states, DWORD count) override {
    Note(ctx);
    if (timeoutMs == 0) return real_.GetStatusChange(ctx, timeoutMs, states, count);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++waiting_[ctx];
    }
    const LONG rv = real_.GetStatusChange(ctx, timeoutMs, states, count);
    std::lock_guard<std::mutex> lock(mutex_);
    --waiting_[ctx];
    return rv;
  }
  LONG Cancel(SCARDCONTEXT ctx) override { return real_.Cancel(ctx); }
  LONG Connect(SCARDCONTEXT ctx, const char* reader, DWORD share, DWORD protocols, SCARDHANDLE* card,
               DWORD* active) override {
    Note(ctx);
    const LONG rv = real_.Connect(ctx, reader, share, protocols, card, active);
    if (rv == SCARD_S_SUCCESS) {
      std::lock_guard<std::mutex> lock(mutex_);
      contextOf_[*card] = ctx;
    }
    return rv;
  }
  LONG Reconnect(SCARDHANDLE card, DWORD share, DWORD protocols, DWORD init, DWORD* active) override {
    NoteCard(card);
    return real_.Reconnect(card, share, protocols, init, active);
  }
  LONG Disconnect(SCARDHANDLE card, DWORD disposition) override {
    NoteCard(card);
    return real_.Disconnect(card, disposition);
  }
  LONG BeginTransaction(SCARDHANDLE card) override {
    NoteCard(card);
    return real_.BeginTransaction(card);
  }
  LONG EndTransaction(SCARDHANDLE card, DWORD disposition) override {
    NoteCard(card);
    return real_.EndTransaction(card, disposition);
  }
  LONG Transmit(SCARDHANDLE card, const SCARD_IO_REQUEST* sendPci, const BYTE* send, DWORD sendLen,
                SCARD_IO_REQUEST* recvPci, BYTE* recv, DWORD* recvLen) override {
    NoteCard(card);
    return real_.Transmit(card, sendPci, send, sendLen, recvPci, recv, recvLen);
  }
  LONG Status(SCARDHANDLE card, char* reader, DWORD* readerLen, DWORD* state, DWORD* protocol, BYTE* atr,
              DWORD* atrLen) override {
    NoteCard(card);
    return real_.Status(card, reader, readerLen, state, protocol, atr, atrLen);
  }
  LONG GetAttribRaw(SCARDHANDLE card, DWORD attrId, BYTE* buf, DWORD* len) override {
    NoteCard(card);
    return real_.GetAttribRaw(card, attrId, buf, len);
  }
  LONG FreeMemory(SCARDCONTEXT ctx, const void* mem) override { return real_.FreeMemory(ctx, mem); }
  void* AllocateBlock(std::size_t n) override { return real_.AllocateBlock(n); }
  LONG LocateCards(SCARDCONTEXT ctx, const char* cards, SCARD_READERSTATE* states, DWORD count) override {
    return real_.LocateCards(ctx, cards, states, count);
  }
  LONG ListCards(SCARDCONTEXT ctx, const BYTE* atr, DWORD atrLen, std::string* names) override {
    return real_.ListCards(ctx, atr, atrLen, names);
  }

 private:
  void Note(SCARDCONTEXT ctx) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = waiting_.find(ctx);
    if (it != waiting_.end() && it->second > 0) ++behindAWait_;
  }
  void NoteCard(SCARDHANDLE card) {
    SCARDCONTEXT ctx = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = contextOf_.find(card);
      if (it == contextOf_.end()) return;
      ctx = it->second;
    }
    Note(ctx);
  }

  zorbix::platform::ScardApi& real_;
  mutable std::mutex mutex_;
  std::map<SCARDCONTEXT, int> waiting_;
  std::map<SCARDHANDLE, SCARDCONTEXT> contextOf_;
  std::atomic<std::size_t> behindAWait_{0};
};

struct CallFigures {
  std::vector<double> slotInfoMs, tokenInfoMs;
  static std::string Of(std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    char text[96];
    std::snprintf(text, sizeof text, "median %.2f ms, max %.2f ms", ms[ms.size() / 2], ms.back());
    return text;
  }
};

// 20 rounds of C_GetSlotInfo and C_GetTokenInfo, each call timed.
CallFigures TwentyRounds(CK_SLOT_ID slot) {
  using Clock = std::chrono::steady_clock;
  const auto ms = [](Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); };
  CallFigures f;
  for (int i = 0; i < 20; ++i) {
    CK_SLOT_INFO slotInfo;
    auto t0 = Clock::now();
    EXPECT_EQ(C_GetSlotInfo(slot, &slotInfo), CKR_OK);
    f.slotInfoMs.push_back(ms(Clock::now() - t0));
    CK_TOKEN_INFO tokenInfo;
    t0 = Clock::now();
    EXPECT_EQ(zorbix::p11::to_string(C_GetTokenInfo(slot, &tokenInfo)), "CKR_OK");
    f.tokenInfoMs.push_back(ms(Clock::now() - t0));
  }
  return f;
}

// A thread blocked in C_WaitForSlotEvent holds up no other call: none of the
// 20 rounds of C_GetSlotInfo and C_GetTokenInfo runs on the context of the
// wait while it is under way. The call times with and without the waiter are
// printed as figures; they are not judged here.
TEST_F(OnBench, BlockedWaitHoldsUpNoOtherCall) {
  bench_->Insert(0, "ORVA-ZEL_03");
  const CK_SLOT_ID slot = ReaderSlot();
  CK_SLOT_ID event = 0;
  while (C_WaitForSlotEvent(CKF_DONT_BLOCK, &event, nullptr) == CKR_OK) {
  }
  CK_TOKEN_INFO first;
  ASSERT_EQ(zorbix::p11::to_string(C_GetTokenInfo(slot, &first)), "CKR_OK");

  ContextWatch watch(zorbix::platform::Scard());
  zorbix::platform::ScopedScardApi use(&watch);
  const CallFigures alone = TwentyRounds(slot);

  std::atomic<CK_RV> waited{CKR_CANCEL};
  std::thread waiter([&] { waited = C_WaitForSlotEvent(0, &event, nullptr); });
  for (int i = 0; i < 5000 && watch.WaitsUnderWay() == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_GT(watch.WaitsUnderWay(), 0u);
  const CallFigures beside = TwentyRounds(slot);
  EXPECT_EQ(watch.BehindAWait(), 0u) << "calls ran on the context of the blocked wait";
  EXPECT_EQ(waited.load(), CKR_CANCEL) << "the waiter saw no event";

  const auto finalised = std::chrono::steady_clock::now();
  EXPECT_EQ(C_Finalize(nullptr), CKR_OK);
  waiter.join();
  const double endMs =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - finalised).count();
  EXPECT_EQ(zorbix::p11::to_string(waited.load()), "CKR_CRYPTOKI_NOT_INITIALIZED");
  ASSERT_EQ(C_Initialize(nullptr), CKR_OK);

  std::cout << "[ figures  ] without the waiter: C_GetSlotInfo " << CallFigures::Of(alone.slotInfoMs)
            << "; C_GetTokenInfo " << CallFigures::Of(alone.tokenInfoMs) << "\n"
            << "[ figures  ] beside the waiter:  C_GetSlotInfo " << CallFigures::Of(beside.slotInfoMs)
            << "; C_GetTokenInfo " << CallFigures::Of(beside.tokenInfoMs) << "\n"
            << "[ figures  ] C_Finalize to the waiter's return: " << endMs << " ms\n";
  bench_->Remove(0);
}

// Environment for outside programs that load the module (sanitizer runtimes
// in a sanitizer build; their own leaks are not ours).
std::string OutsideEnv() {
  const char* preload = std::getenv("ZORBIX_OUTSIDE_PRELOAD");
  if (!preload || !*preload) return "";
  return std::string("LD_PRELOAD='") + preload + "' ASAN_OPTIONS=detect_leaks=0 ";
}

TEST_F(OnBench, OutsideApplicationListsTheSlots) {
  bench_->Insert(0, zorbix::sim::BasicProfile());
  const std::string command = OutsideEnv() + "/usr/bin/python3 " + ZORBIX_P11_SCRIPTS + "/list_slots.py " +
                              ZORBIX_P11_MODULE + " '" + bench_->ReaderName(0) + "'";
  const int status = std::system(command.c_str());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command;

  // GnuTLS loads it through p11-kit; the basic card is of no module type, so
  // it lists no token but must load and initialise the module.
  const std::string p11tool = OutsideEnv() + "p11tool --provider " + ZORBIX_P11_MODULE + " --list-tokens";
  const int toolStatus = std::system(p11tool.c_str());
  EXPECT_TRUE(WIFEXITED(toolStatus) && WEXITSTATUS(toolStatus) == 0) << p11tool;
  bench_->Remove(0);
}

}  // namespace
