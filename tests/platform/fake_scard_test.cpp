// FakeScard behaves like pcscd where the others' tests lean on it.
#include "tests/support/fake_scard.h"

#include <gtest/gtest.h>

#include <thread>

namespace zorbix::testing {
namespace {

const Bytes kAtr = {0x3B, 0x02, 0x14, 0x50};

class FakeScardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake.AddReader("R1");
    ASSERT_EQ(fake.EstablishContext(SCARD_SCOPE_USER, &ctx), SCARD_S_SUCCESS);
  }
  SCARDHANDLE Connect() {
    SCARDHANDLE h = 0;
    DWORD proto = 0;
    EXPECT_EQ(fake.Connect(ctx, "R1", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0, &h, &proto),
              SCARD_S_SUCCESS);
    EXPECT_EQ(proto, DWORD(SCARD_PROTOCOL_T0));
    return h;
  }
  FakeScard fake;
  SCARDCONTEXT ctx = 0;
};

TEST_F(FakeScardTest, ListReadersConventions) {
  fake.AddReader("R2");
  DWORD len = 0;
  ASSERT_EQ(fake.ListReaders(ctx, nullptr, nullptr, &len), SCARD_S_SUCCESS);
  EXPECT_EQ(len, 7u);  // "R1\0R2\0\0"
  char* block = nullptr;
  len = SCARD_AUTOALLOCATE;
  ASSERT_EQ(fake.ListReaders(ctx, nullptr, reinterpret_cast<char*>(&block), &len),
            SCARD_S_SUCCESS);
  EXPECT_EQ(std::string(block, len), std::string("R1\0R2\0\0", 7));
  EXPECT_EQ(fake.OutstandingAllocations(), 1u);
  EXPECT_EQ(fake.FreeMemory(ctx, block), SCARD_S_SUCCESS);
  EXPECT_EQ(fake.OutstandingAllocations(), 0u);

  fake.RemoveReader("R1");
  fake.RemoveReader("R2");
  len = 0;
  EXPECT_EQ(fake.ListReaders(ctx, nullptr, nullptr, &len), SCARD_E_NO_READERS_AVAILABLE);
}

TEST_F(FakeScardTest, StatusChangeSeesInsertionAndRemoval) {
  SCARD_READERSTATE s{};
  s.szReader = "R1";
  s.dwCurrentState = SCARD_STATE_UNAWARE;
  ASSERT_EQ(fake.GetStatusChange(ctx, 0, &s, 1), SCARD_S_SUCCESS);
  EXPECT_TRUE(s.dwEventState & SCARD_STATE_EMPTY);
  s.dwCurrentState = s.dwEventState & ~DWORD{SCARD_STATE_CHANGED};
  EXPECT_EQ(fake.GetStatusChange(ctx, 1000, &s, 1), SCARD_E_TIMEOUT);

  // The hook plays the user inserting a card during the wait.
  fake.SetWaitHook([](FakeScard& f) { f.InsertCard("R1", kAtr); });
  ASSERT_EQ(fake.GetStatusChange(ctx, 1000, &s, 1), SCARD_S_SUCCESS);
  EXPECT_TRUE(s.dwEventState & SCARD_STATE_CHANGED);
  EXPECT_TRUE(s.dwEventState & SCARD_STATE_PRESENT);
  EXPECT_EQ(Bytes(s.rgbAtr, s.rgbAtr + s.cbAtr), kAtr);
  fake.SetWaitHook(nullptr);

  // Remove and re-insert between two looks: the event counter tells.
  s.dwCurrentState = s.dwEventState & ~DWORD{SCARD_STATE_CHANGED};
  fake.RemoveCard("R1");
  fake.InsertCard("R1", kAtr);
  ASSERT_EQ(fake.GetStatusChange(ctx, 0, &s, 1), SCARD_S_SUCCESS);
  EXPECT_TRUE(s.dwEventState & SCARD_STATE_CHANGED);
}

TEST_F(FakeScardTest, RealWaitWakesOnInsertAndOnCancel) {
  fake.SetWaitMode(FakeScard::WaitMode::Real);
  SCARD_READERSTATE s{};
  s.szReader = "R1";
  s.dwCurrentState = SCARD_STATE_EMPTY;
  std::thread inserter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    fake.InsertCard("R1", kAtr);
  });
  EXPECT_EQ(fake.GetStatusChange(ctx, INFINITE, &s, 1), SCARD_S_SUCCESS);
  inserter.join();
  EXPECT_TRUE(s.dwEventState & SCARD_STATE_PRESENT);

  s.dwCurrentState = s.dwEventState & ~DWORD{SCARD_STATE_CHANGED};
  std::thread canceller([&] {
    // A cancel ends only a wait that is blocked by then.
    while (fake.BlockedWaits() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    fake.Cancel(ctx);
  });
  EXPECT_EQ(fake.GetStatusChange(ctx, INFINITE, &s, 1), SCARD_E_CANCELLED);
  canceller.join();
}

TEST_F(FakeScardTest, ConnectErrors) {
  SCARDHANDLE h = 0;
  DWORD proto = 0;
  EXPECT_EQ(fake.Connect(ctx, "R1", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0, &h, &proto),
            SCARD_E_NO_SMARTCARD);
  EXPECT_EQ(fake.Connect(ctx, "R9", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0, &h, &proto),
            SCARD_E_UNKNOWN_READER);
  fake.InsertCard("R1", kAtr);
  fake.SetCardProtocol("R1", SCARD_PROTOCOL_T1);
  EXPECT_EQ(fake.Connect(ctx, "R1", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0, &h, &proto),
            SCARD_E_PROTO_MISMATCH);
  fake.FailNext("Connect", SCARD_E_SHARING_VIOLATION);
  EXPECT_EQ(fake.Connect(ctx, "R1", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &h, &proto),
            SCARD_E_SHARING_VIOLATION);
  EXPECT_EQ(fake.Connect(ctx, "R1", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &h, &proto),
            SCARD_S_SUCCESS);
  EXPECT_EQ(fake.OpenHandles(), 1u);
}

TEST_F(FakeScardTest, TransmitRunsTheResponderAndTracesApdus) {
  fake.InsertCard("R1", kAtr, [](const Bytes& cmd) {
    return cmd[1] == 0xB0 ? Bytes{0x01, 0x02, 0x90, 0x00} : Bytes{0x6D, 0x00};
  });
  SCARDHANDLE h = Connect();
  const BYTE read[] = {0x00, 0xB0, 0x00, 0x00, 0x02};
  BYTE resp[258];
  DWORD len = sizeof(resp);
  ASSERT_EQ(fake.Transmit(h, SCARD_PCI_T0, read, sizeof(read), nullptr, resp, &len),
            SCARD_S_SUCCESS);
  EXPECT_EQ(Bytes(resp, resp + len), (Bytes{0x01, 0x02, 0x90, 0x00}));
  len = 1;
  EXPECT_EQ(fake.Transmit(h, SCARD_PCI_T0, read, sizeof(read), nullptr, resp, &len),
            SCARD_E_INSUFFICIENT_BUFFER);
  EXPECT_EQ(len, 1u);
  ASSERT_EQ(fake.Apdus().size(), 2u);
  EXPECT_EQ(fake.Apdus()[0].command, Bytes(read, read + sizeof(read)));
  EXPECT_EQ(fake.Apdus()[0].reader, "R1");
}

TEST_F(FakeScardTest, RemovedCardStalesHandleUntilReconnect) {
  fake.InsertCard("R1", kAtr);
  SCARDHANDLE h = Connect();
  fake.RemoveCard("R1");
  fake.InsertCard("R1", kAtr);
  const BYTE apdu[] = {0x00, 0xA4, 0x00, 0x00};
  BYTE resp[8];
  DWORD len = sizeof(resp);
  EXPECT_EQ(fake.Transmit(h, SCARD_PCI_T0, apdu, sizeof(apdu), nullptr, resp, &len),
            SCARD_W_REMOVED_CARD);
  EXPECT_EQ(fake.BeginTransaction(h), SCARD_W_REMOVED_CARD);
  DWORD proto = 0;
  ASSERT_EQ(fake.Reconnect(h, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0, SCARD_RESET_CARD, &proto),
            SCARD_S_SUCCESS);
  len = sizeof(resp);
  EXPECT_EQ(fake.Transmit(h, SCARD_PCI_T0, apdu, sizeof(apdu), nullptr, resp, &len),
            SCARD_S_SUCCESS);
}

TEST_F(FakeScardTest, ResetReachesOtherHandlesAndTheCard) {
  fake.InsertCard("R1", kAtr);
  int resets = 0;
  fake.SetResetHandler("R1", [&] { ++resets; });
  SCARDHANDLE a = Connect();
  SCARDHANDLE b = Connect();
  DWORD proto = 0;
  ASSERT_EQ(fake.Reconnect(a, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0, SCARD_RESET_CARD, &proto),
            SCARD_S_SUCCESS);
  EXPECT_EQ(resets, 1);
  EXPECT_EQ(fake.BeginTransaction(a), SCARD_S_SUCCESS);
  EXPECT_EQ(fake.EndTransaction(a, SCARD_LEAVE_CARD), SCARD_S_SUCCESS);
  EXPECT_EQ(fake.BeginTransaction(b), SCARD_W_RESET_CARD);
  ASSERT_EQ(fake.Reconnect(b, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0, SCARD_LEAVE_CARD, &proto),
            SCARD_S_SUCCESS);
  EXPECT_EQ(resets, 1);
  EXPECT_EQ(fake.BeginTransaction(b), SCARD_S_SUCCESS);
  ASSERT_EQ(fake.Disconnect(a, SCARD_RESET_CARD), SCARD_S_SUCCESS);
  EXPECT_EQ(resets, 2);
  EXPECT_EQ(fake.TransactionDepth("R1"), 0);  // the reset ended b's transaction
  EXPECT_EQ(fake.Count("Reconnect"), 2u);
  EXPECT_EQ(fake.Calls().back().arg, DWORD(SCARD_RESET_CARD));
}

TEST_F(FakeScardTest, TransactionBookkeeping) {
  fake.InsertCard("R1", kAtr);
  SCARDHANDLE h = Connect();
  EXPECT_EQ(fake.EndTransaction(h, SCARD_LEAVE_CARD), SCARD_E_NOT_TRANSACTED);
  EXPECT_EQ(fake.BeginTransaction(h), SCARD_S_SUCCESS);
  EXPECT_EQ(fake.BeginTransaction(h), SCARD_S_SUCCESS);
  EXPECT_EQ(fake.TransactionDepth("R1"), 2);
  EXPECT_EQ(fake.EndTransaction(h, SCARD_LEAVE_CARD), SCARD_S_SUCCESS);
  EXPECT_EQ(fake.EndTransaction(h, SCARD_LEAVE_CARD), SCARD_S_SUCCESS);
  EXPECT_EQ(fake.TransactionDepth("R1"), 0);
  fake.FailAlways("BeginTransaction", SCARD_E_NO_SERVICE);
  EXPECT_EQ(fake.BeginTransaction(h), SCARD_E_NO_SERVICE);
  EXPECT_EQ(fake.BeginTransaction(h), SCARD_E_NO_SERVICE);
  fake.ClearFailures();
  EXPECT_EQ(fake.BeginTransaction(h), SCARD_S_SUCCESS);
  EXPECT_EQ(fake.ReleaseContext(ctx), SCARD_S_SUCCESS);
  EXPECT_EQ(fake.OpenHandles(), 0u);
  EXPECT_EQ(fake.TransactionDepth("R1"), 0);
  EXPECT_EQ(fake.OpenContexts(), 0u);
}

TEST_F(FakeScardTest, StatusChangeLikePcscdForUnknownAndEmptyLists) {
  SCARD_READERSTATE s[2] = {};
  s[0].szReader = "R1";
  s[1].szReader = "Gone";
  EXPECT_EQ(fake.GetStatusChange(ctx, 0, s, 2), SCARD_E_UNKNOWN_READER);
  s[1].dwCurrentState = SCARD_STATE_IGNORE;
  EXPECT_EQ(fake.GetStatusChange(ctx, 0, s, 2), SCARD_S_SUCCESS);
  EXPECT_EQ(fake.GetStatusChange(ctx, 1000, nullptr, 0), SCARD_S_SUCCESS);
}

TEST_F(FakeScardTest, InUseIsAStatusChangeWhenAsked) {
  fake.InsertCard("R1", kAtr);
  fake.SetReportInUse(true);
  SCARD_READERSTATE s{};
  s.szReader = "R1";
  ASSERT_EQ(fake.GetStatusChange(ctx, 0, &s, 1), SCARD_S_SUCCESS);
  s.dwCurrentState = s.dwEventState & ~DWORD{SCARD_STATE_CHANGED};
  SCARDHANDLE h = Connect();
  ASSERT_EQ(fake.GetStatusChange(ctx, 0, &s, 1), SCARD_S_SUCCESS);
  EXPECT_TRUE(s.dwEventState & SCARD_STATE_INUSE);
  s.dwCurrentState = s.dwEventState & ~DWORD{SCARD_STATE_CHANGED};
  EXPECT_EQ(fake.GetStatusChange(ctx, 0, &s, 1), SCARD_E_TIMEOUT);
  ASSERT_EQ(fake.Disconnect(h, SCARD_LEAVE_CARD), SCARD_S_SUCCESS);
  ASSERT_EQ(fake.GetStatusChange(ctx, 0, &s, 1), SCARD_S_SUCCESS);
  EXPECT_FALSE(s.dwEventState & SCARD_STATE_INUSE);
}

TEST_F(FakeScardTest, RegisteredNamesComeFirst) {
  fake.RegisterCard("Other card", kAtr, {0xFF, 0xFF, 0xFF, 0x00});
  std::string names;
  ASSERT_EQ(fake.ListCards(ctx, kAtr.data(), DWORD(kAtr.size()), &names), SCARD_S_SUCCESS);
  EXPECT_EQ(names, std::string("Other card\0\0", 12));
  const Bytes a1 = {0x3B, 0xEF, 0x00, 0x00, 0x40, 0x14, 0x80, 0x25, 0x48, 0x41, 0x4C,
                    0x56, 0x4F, 0x57, 0x01, 0x16, 0x01, 0x01, 0x03, 0x90, 0x00};
  fake.RegisterCard("Renamed A1", a1, Bytes(18, 0xFF));
  ASSERT_EQ(fake.ListCards(ctx, a1.data(), DWORD(a1.size()), &names), SCARD_S_SUCCESS);
  EXPECT_EQ(names, std::string("Renamed A1\0ORVA-ZEL_MODEL_A1\0\0", 30));
}

TEST_F(FakeScardTest, PnpNotificationCountsReaders) {
  SCARD_READERSTATE s{};
  s.szReader = "\\\\?PnP?\\Notification";
  s.dwCurrentState = SCARD_STATE_UNAWARE;
  ASSERT_EQ(fake.GetStatusChange(ctx, 0, &s, 1), SCARD_S_SUCCESS);
  s.dwCurrentState = s.dwEventState & ~DWORD{SCARD_STATE_CHANGED};
  EXPECT_EQ(fake.GetStatusChange(ctx, 0, &s, 1), SCARD_E_TIMEOUT);
  fake.AddReader("R2");
  EXPECT_EQ(fake.GetStatusChange(ctx, 0, &s, 1), SCARD_S_SUCCESS);
  EXPECT_TRUE(s.dwEventState & SCARD_STATE_CHANGED);
}

}  // namespace
}  // namespace zorbix::testing

namespace zorbix::testing {
namespace {

TEST(FakeScardResponders, ScriptedAndTable) {
  auto scripted = FakeScard::Scripted({{Bytes{0x00, 0x84, 0x00, 0x00, 0x08}, Bytes{0x61, 0x08}},
                                       {Bytes{0x00, 0xC0, 0x00, 0x00, 0x08}, Bytes{0x90, 0x00}}});
  EXPECT_EQ(scripted({0x00, 0x84, 0x00, 0x00, 0x08}), (Bytes{0x61, 0x08}));
  EXPECT_EQ(scripted({0x00, 0xC0, 0x00, 0x00, 0x08}), (Bytes{0x90, 0x00}));
  auto table = FakeScard::Table({{Bytes{0x00, 0xA4}, Bytes{0x90, 0x00}}});
  EXPECT_EQ(table({0x00, 0xA4}), (Bytes{0x90, 0x00}));
  EXPECT_EQ(table({0x00, 0xB0}), (Bytes{0x6D, 0x00}));
}

}  // namespace
}  // namespace zorbix::testing
