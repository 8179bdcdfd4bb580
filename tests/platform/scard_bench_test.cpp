// The pcsc-lite implementation against a real pcscd with a virtual card:
// reader listing, connection, the attribute fallback and the card database.
#include "platform/carddb.h"
#include "platform/scard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "sim/bench.h"

namespace zorbix::platform {
namespace {

class ScardBench : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { bench_ = sim::Bench::Start(1).release(); }
  static void TearDownTestSuite() {
    delete bench_;
    bench_ = nullptr;
  }
  void SetUp() override {
    ASSERT_NE(bench_, nullptr);
    ASSERT_EQ(Scard().EstablishContext(SCARD_SCOPE_SYSTEM, &ctx_), SCARD_S_SUCCESS);
  }
  void TearDown() override {
    if (card_) Scard().Disconnect(card_, SCARD_LEAVE_CARD);
    Scard().ReleaseContext(ctx_);
  }
  LONG Connect() {
    DWORD proto = 0;
    return Scard().Connect(ctx_, bench_->ReaderName(0).c_str(), SCARD_SHARE_SHARED,
                           SCARD_PROTOCOL_T0, &card_, &proto);
  }

  static sim::Bench* bench_;
  SCARDCONTEXT ctx_ = 0;
  SCARDHANDLE card_ = 0;
};

sim::Bench* ScardBench::bench_ = nullptr;

TEST_F(ScardBench, ListsTheVirtualReader) {
  char* block = nullptr;
  DWORD len = SCARD_AUTOALLOCATE;
  ASSERT_EQ(Scard().ListReaders(ctx_, nullptr, reinterpret_cast<char*>(&block), &len),
            SCARD_S_SUCCESS);
  const auto names = SplitMultiString(block, len);
  EXPECT_NE(std::find(names.begin(), names.end(), bench_->ReaderName(0)), names.end());
  EXPECT_EQ(Scard().FreeMemory(ctx_, block), SCARD_S_SUCCESS);
}

TEST_F(ScardBench, AtrAndFriendlyNameThroughGetAttrib) {
  sim::Card& card = bench_->Insert(0, "ORVA-ZEL_06");
  ASSERT_EQ(Connect(), SCARD_S_SUCCESS);

  BYTE atr[30];
  DWORD atrLen = sizeof(atr);
  ASSERT_EQ(Scard().GetAttrib(card_, kAttrAtrString, atr, &atrLen), SCARD_S_SUCCESS);
  EXPECT_EQ(sim::Bytes(atr, atr + atrLen), card.Atr());

  char name[100] = {};
  DWORD nameLen = sizeof(name);
  ASSERT_EQ(Scard().GetAttrib(card_, kAttrDeviceFriendlyNameA, reinterpret_cast<BYTE*>(name),
                              &nameLen),
            SCARD_S_SUCCESS);
  ASSERT_GT(nameLen, 1u);
  EXPECT_EQ(name[nameLen - 1], '\0');
  // vpcd answers neither attribute: both come from the connection's status.
  EXPECT_EQ(std::string(name), bench_->ReaderName(0));

  // The same through a block the platform allocates and frees.
  BYTE* block = nullptr;
  DWORD blockLen = SCARD_AUTOALLOCATE;
  ASSERT_EQ(Scard().GetAttrib(card_, kAttrDeviceFriendlyNameA, reinterpret_cast<BYTE*>(&block),
                              &blockLen),
            SCARD_S_SUCCESS);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(block)), std::string(name));
  EXPECT_EQ(Scard().FreeMemory(ctx_, block), SCARD_S_SUCCESS);
}

TEST_F(ScardBench, CardDatabaseNamesTheInsertedModel) {
  bench_->Insert(0, "ORVA-ZEL_03");
  const std::string names = JoinMultiString(CardModelNames());
  const std::string reader = bench_->ReaderName(0);
  SCARD_READERSTATE state{};
  state.szReader = reader.c_str();
  state.dwCurrentState = SCARD_STATE_UNAWARE;
  ASSERT_EQ(Scard().LocateCards(ctx_, names.c_str(), &state, 1), SCARD_S_SUCCESS);
  EXPECT_TRUE(state.dwEventState & SCARD_STATE_ATRMATCH);
  EXPECT_TRUE(state.dwEventState & SCARD_STATE_PRESENT);

  std::string registered;
  ASSERT_EQ(Scard().ListCards(ctx_, state.rgbAtr, state.cbAtr, &registered), SCARD_S_SUCCESS);
  EXPECT_EQ(registered, std::string("ORVA-ZEL_MODEL_B2\0\0", 19));
}

// FakeScard copies these answers of pcscd; keep the two in step.
TEST_F(ScardBench, StatusChangeAnswersTheFakeCopies) {
  bench_->Remove(0);
  const std::string reader = bench_->ReaderName(0);
  SCARD_READERSTATE states[2] = {};
  states[0].szReader = reader.c_str();
  states[1].szReader = "No Such Reader 00 00";
  EXPECT_EQ(Scard().GetStatusChange(ctx_, 0, states, 2), SCARD_E_UNKNOWN_READER);
  ASSERT_EQ(Scard().GetStatusChange(ctx_, 0, states, 1), SCARD_S_SUCCESS);
  EXPECT_TRUE(states[0].dwEventState & SCARD_STATE_EMPTY);
  EXPECT_TRUE(states[0].dwEventState & SCARD_STATE_CHANGED);
  states[0].dwCurrentState = states[0].dwEventState & ~DWORD{SCARD_STATE_CHANGED};
  EXPECT_EQ(Scard().GetStatusChange(ctx_, 0, states, 1), SCARD_E_TIMEOUT);
  EXPECT_EQ(Scard().GetStatusChange(ctx_, 1000, nullptr, 0), SCARD_S_SUCCESS);
  EXPECT_EQ(Connect(), SCARD_E_NO_SMARTCARD);
  card_ = 0;

  // Card location copes with the unknown name.
  const std::string names = JoinMultiString(CardModelNames());
  bench_->Insert(0, "ORVA-ZEL_01");
  states[0].dwCurrentState = SCARD_STATE_UNAWARE;
  ASSERT_EQ(Scard().LocateCards(ctx_, names.c_str(), states, 2), SCARD_S_SUCCESS);
  EXPECT_TRUE(states[0].dwEventState & SCARD_STATE_ATRMATCH);
  EXPECT_TRUE(states[1].dwEventState & SCARD_STATE_UNKNOWN);
}

}  // namespace
}  // namespace zorbix::platform
