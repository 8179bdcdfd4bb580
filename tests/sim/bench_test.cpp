// The virtual card through the real pcscd: reader, insertion and removal,
// and the wizard's card commands over SCardTransmit.
#include <gtest/gtest.h>

#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/bench.h"

namespace zorbix::sim {
namespace {

Bytes Ascii(const std::string& s) { return Bytes(s.begin(), s.end()); }

class PcscClient {
 public:
  PcscClient() {
    EXPECT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx_), SCARD_S_SUCCESS);
  }
  ~PcscClient() {
    if (card_) SCardDisconnect(card_, SCARD_LEAVE_CARD);
    SCardReleaseContext(ctx_);
  }
  SCARDCONTEXT ctx() const { return ctx_; }

  LONG Connect(const std::string& reader) {
    DWORD proto = 0;
    return SCardConnect(ctx_, reader.c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0, &card_, &proto);
  }
  LONG Reconnect(DWORD init) {
    DWORD proto = 0;
    return SCardReconnect(card_, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0, init, &proto);
  }
  // One exchange as the wizard does it: a lone 61xx gets one GET RESPONSE.
  Bytes Transmit(const Bytes& apdu, LONG* rv = nullptr) {
    Bytes r = Raw(apdu, rv);
    if (r.size() == 2 && r[0] == 0x61) r = Raw({0x00, 0xC0, 0x00, 0x00, r[1]}, rv);
    return r;
  }
  Bytes Raw(const Bytes& apdu, LONG* rv = nullptr) {
    Bytes r(258);
    DWORD len = static_cast<DWORD>(r.size());
    const LONG result = SCardTransmit(card_, SCARD_PCI_T0, apdu.data(),
                                      static_cast<DWORD>(apdu.size()), nullptr, r.data(), &len);
    if (rv) *rv = result;
    r.resize(result == SCARD_S_SUCCESS ? len : 0);
    return r;
  }
  Bytes Atr() {
    char name[200];
    DWORD nameLen = sizeof name, state = 0, proto = 0;
    BYTE atr[MAX_ATR_SIZE];
    DWORD atrLen = sizeof atr;
    if (SCardStatus(card_, name, &nameLen, &state, &proto, atr, &atrLen) != SCARD_S_SUCCESS) {
      return {};
    }
    return Bytes(atr, atr + atrLen);
  }

 private:
  SCARDCONTEXT ctx_ = 0;
  SCARDHANDLE card_ = 0;
};

std::uint16_t SwOf(const Bytes& r) {
  return r.size() < 2 ? 0 : static_cast<std::uint16_t>(r[r.size() - 2] << 8 | r[r.size() - 1]);
}

Bytes DataOf(const Bytes& r) { return r.size() < 2 ? Bytes{} : Bytes(r.begin(), r.end() - 2); }

Bytes Cmd(Bytes header, const Bytes& data) {
  header.push_back(static_cast<std::uint8_t>(data.size()));
  header.insert(header.end(), data.begin(), data.end());
  return header;
}

const Bytes kAid = {0xA0, 0x00, 0x00, 0x00, 0x63, 0x50, 0x4B, 0x43, 0x53, 0x2D, 0x31, 0x35};

// Waits on the reader for a state with (or without) a card, from `known`.
bool WaitFor(PcscClient& pc, const std::string& reader, bool present, DWORD* known) {
  SCARD_READERSTATE s{};
  s.szReader = reader.c_str();
  s.dwCurrentState = *known;
  for (int i = 0; i < 20; ++i) {
    if (SCardGetStatusChange(pc.ctx(), 500, &s, 1) != SCARD_S_SUCCESS) continue;
    *known = s.dwEventState & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
    if (present ? (s.dwEventState & SCARD_STATE_PRESENT) != 0
                : (s.dwEventState & SCARD_STATE_EMPTY) != 0) {
      return true;
    }
    s.dwCurrentState = *known;
  }
  return false;
}

TEST(Bench, InsertionAndRemovalAreSeenByAStatusChangeWait) {
  auto bench = Bench::Start();
  const std::string reader = bench->ReaderName(0);
  EXPECT_EQ(reader, "Virtual PCD 00 00");
  PcscClient pc;
  DWORD known = SCARD_STATE_UNAWARE;
  ASSERT_TRUE(WaitFor(pc, reader, false, &known));
  ASSERT_TRUE(known & SCARD_STATE_EMPTY);

  // The wait is already blocked when the card arrives, and when it leaves.
  std::thread insert([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    bench->Insert(0, "basic");
  });
  EXPECT_TRUE(WaitFor(pc, reader, true, &known));
  insert.join();
  std::thread remove([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    bench->CardIn(0)->Remove();
  });
  EXPECT_TRUE(WaitFor(pc, reader, false, &known));
  remove.join();
  // The same card object back in the reader.
  bench->CardIn(0)->Insert();
  EXPECT_TRUE(WaitFor(pc, reader, true, &known));
  ASSERT_EQ(pc.Connect(reader), SCARD_S_SUCCESS);
  EXPECT_EQ(pc.Atr(), BasicProfile().atr);
}

TEST(Bench, WizardCommandsGetTheirAnswers) {
  auto bench = Bench::Start();
  Card& card = bench->Insert(0, "basic");
  PcscClient pc;
  ASSERT_EQ(pc.Connect(bench->ReaderName(0)), SCARD_S_SUCCESS);
  card.ClearTrace();

  // Construction of the wizard's card object: MF by name, AID, ODF by id.
  Bytes r = pc.Transmit(Cmd({0x00, 0xA4, 0x04, 0x00}, Ascii("Master.File")));
  EXPECT_EQ(SwOf(r), 0x9000);
  r = pc.Transmit(Cmd({0x00, 0xA4, 0x04, 0x00}, kAid));
  EXPECT_EQ(SwOf(r), 0x9000);
  r = pc.Transmit({0x00, 0xA4, 0x00, 0x00, 0x02, 0x50, 0x31});
  ASSERT_EQ(SwOf(r), 0x9000);
  ASSERT_GE(r.size(), 9u);
  EXPECT_EQ(r[2], 0x85);
  EXPECT_EQ(r[7] << 8 | r[8], 64);
  r = pc.Transmit({0x00, 0xB0, 0x00, 0x00, 40});
  ASSERT_EQ(SwOf(r), 0x9000);
  const Bytes odf = DataOf(r);
  ASSERT_EQ(odf.size(), 40u);
  EXPECT_EQ(Bytes(odf.begin(), odf.begin() + 8),
            (Bytes{0xA4, 0x06, 0x30, 0x04, 0x04, 0x02, 0x60, 0x04}));

  // The selection went 61xx then GET RESPONSE with that length.
  const auto trace = card.Trace();
  ASSERT_GE(trace.size(), 2u);
  EXPECT_EQ(trace[0].response.size(), 2u);
  EXPECT_EQ(trace[0].response[0], 0x61);
  EXPECT_EQ(trace[1].command, (Bytes{0x00, 0xC0, 0x00, 0x00, trace[0].response[1]}));

  // A 300-byte file in 128-byte chunks: 128, 128, then the 44 left.
  r = pc.Transmit({0x00, 0xA4, 0x00, 0x00, 0x02, 0x60, 0x04});
  ASSERT_EQ(r[7] << 8 | r[8], 300);
  Bytes all;
  for (std::size_t off = 0; off < 300;) {
    const std::size_t want = std::min<std::size_t>(300 - off, 128);
    r = pc.Transmit({0x00, 0xB0, static_cast<std::uint8_t>(off >> 8),
                     static_cast<std::uint8_t>(off), static_cast<std::uint8_t>(want)});
    ASSERT_EQ(SwOf(r), 0x9000);
    ASSERT_EQ(DataOf(r).size(), want);
    all.insert(all.end(), r.begin(), r.end() - 2);
    off += want;
  }
  for (std::size_t i = 0; i < all.size(); ++i) ASSERT_EQ(all[i], i & 0xFF) << i;

  // Card data, events.
  r = pc.Transmit({0x90, 0xB8, 0x00, 0x00, 0x12});
  EXPECT_EQ(DataOf(r), BasicProfile().cardData);
  r = pc.Transmit({0x90, 0x18, 0x00, 0x00, 0x00});
  EXPECT_EQ(SwOf(r), 0x9000);
  EXPECT_EQ(DataOf(r), BasicProfile().events);

  // PIN: counter, wrong, right, and a reset ends the verified state.
  EXPECT_EQ(SwOf(pc.Transmit({0x00, 0x20, 0x00, 0x00, 0x00})), 0x63C3);
  EXPECT_EQ(SwOf(pc.Transmit(Cmd({0x00, 0x20, 0x00, 0x00}, Ascii("9999")))), 0x63C2);
  EXPECT_EQ(SwOf(pc.Transmit(Cmd({0x00, 0x20, 0x00, 0x00}, Ascii("1234")))), 0x9000);
  EXPECT_TRUE(card.PinVerified());
  ASSERT_EQ(pc.Reconnect(SCARD_RESET_CARD), SCARD_S_SUCCESS);
  EXPECT_FALSE(card.PinVerified());
  EXPECT_EQ(SwOf(pc.Transmit({0x00, 0x20, 0x00, 0x00, 0x00})), 0x63C3);
}

TEST(Bench, ControlsActThroughPcsc) {
  auto bench = Bench::Start();
  Card& card = bench->Insert(0, "basic");
  PcscClient pc;
  ASSERT_EQ(pc.Connect(bench->ReaderName(0)), SCARD_S_SUCCESS);

  card.FailAt(1, 0x6F00);
  EXPECT_EQ(pc.Raw({0x90, 0xB8, 0x00, 0x00, 0x12}), (Bytes{0x6F, 0x00}));
  EXPECT_EQ(SwOf(pc.Raw({0x90, 0xB8, 0x00, 0x00, 0x12})), 0x9000);

  // A card in its final life phase shows it in the ATR of the next power-up.
  card.SetLifePhase(0x0F);
  ASSERT_EQ(pc.Reconnect(SCARD_UNPOWER_CARD), SCARD_S_SUCCESS);
  const Bytes atr = pc.Atr();
  ASSERT_GE(atr.size(), 3u);
  EXPECT_EQ(atr[atr.size() - 3], 0x0F);

  // Pulling the card breaks the connection the way a real removal does.
  card.Remove();
  ASSERT_TRUE(bench->WaitPresent(0, false));
  LONG rv = 0;
  pc.Raw({0x90, 0xB8, 0x00, 0x00, 0x12}, &rv);
  EXPECT_TRUE(rv == SCARD_W_REMOVED_CARD || rv == SCARD_E_NO_SMARTCARD) << std::hex << rv;
  bench->Remove(0);
  EXPECT_EQ(bench->CardIn(0), nullptr);
}

TEST(Bench, TwoReadersHoldTwoCards) {
  auto bench = Bench::Start(2);
  ASSERT_EQ(bench->Readers(), 2);
  EXPECT_EQ(bench->ReaderName(1), "Virtual PCD 00 01");
  Profile second = BasicProfile();
  second.name = "second";
  second.atr[second.atr.size() - 4] = 0x02;
  bench->Insert(0, "basic");
  bench->Insert(1, second);
  PcscClient a, b;
  ASSERT_EQ(a.Connect(bench->ReaderName(0)), SCARD_S_SUCCESS);
  ASSERT_EQ(b.Connect(bench->ReaderName(1)), SCARD_S_SUCCESS);
  EXPECT_EQ(a.Atr(), BasicProfile().atr);
  EXPECT_EQ(b.Atr(), second.atr);
}

TEST(Bench, UnknownProfileIsRefused) {
  auto bench = Bench::Start();
  EXPECT_THROW(bench->Insert(0, "no such card"), std::runtime_error);
  EXPECT_THROW(bench->ReaderName(3), std::out_of_range);
}

// True while `pid` names a process that has not yet ended (zombies count as ended).
bool Running(long pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(in, line)) return false;
  const std::size_t close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

TEST(Bench, DaemonEndsWithAProcessKilledWithoutItsDestructor) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(fds[0]);
    long daemon = -1;  // -1: no bench, 0: a daemon the bench did not start
    try {
      Bench* kept = Bench::Start().release();  // never destroyed
      daemon = 0;
      if (kept->OwnsDaemon()) std::ifstream("/run/pcscd/pcscd.pid") >> daemon;
    } catch (...) {
    }
    if (::write(fds[1], &daemon, sizeof daemon) != sizeof daemon) ::_exit(1);
    ::raise(SIGKILL);
  }
  ::close(fds[1]);
  long daemon = -1;
  const bool told = ::read(fds[0], &daemon, sizeof daemon) == sizeof daemon;
  ::close(fds[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(told);
  ASSERT_NE(daemon, -1) << "the bench did not start in the child";
  if (daemon == 0) GTEST_SKIP() << "a pcscd the bench did not start serves the readers";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (Running(daemon) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_FALSE(Running(daemon)) << "pcscd " << daemon << " outlived its bench";
  if (Running(daemon)) ::kill(static_cast<pid_t>(daemon), SIGKILL);
}

}  // namespace
}  // namespace zorbix::sim
