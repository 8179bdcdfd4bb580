// The registered card models: which ATR gets which name, and card location.
#include "platform/carddb.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/fake_scard.h"

namespace zorbix::platform {
namespace {

using testing::Bytes;
using testing::FakeScard;

// The six known ATRs, life phase 03, status 90 00.
const Bytes kRow1 = {0x3B, 0xEF, 0x00, 0x00, 0x40, 0x14, 0x80, 0x25, 0x48, 0x41, 0x4C,
                     0x56, 0x4F, 0x57, 0x01, 0x16, 0x01, 0x01, 0x03, 0x90, 0x00};
const Bytes kRow2 = {0x3B, 0xEF, 0x00, 0x00, 0x40, 0x14, 0x80, 0x25, 0x48, 0x41, 0x4C,
                     0x56, 0x4F, 0x57, 0x05, 0x60, 0x01, 0x02, 0x03, 0x90, 0x00};
const Bytes kRow3 = {0x3B, 0x7F, 0x11, 0x00, 0x00, 0x00, 0x6A, 0x48, 0x41, 0x4C,
                     0x56, 0x4F, 0x02, 0x2C, 0x34, 0x02, 0x00, 0x03, 0x90, 0x00};
const Bytes kRow4 = {0x3B, 0x7F, 0x38, 0x00, 0x00, 0x00, 0x6A, 0x48, 0x41, 0x4C,
                     0x56, 0x4F, 0x02, 0x2C, 0x34, 0x03, 0x00, 0x03, 0x90, 0x00};
const Bytes kRow5 = {0x3B, 0x7F, 0x38, 0x00, 0x00, 0x00, 0x6A, 0x48, 0x41, 0x4C,
                     0x56, 0x4F, 0x02, 0x2C, 0x34, 0x03, 0x10, 0x03, 0x90, 0x00};
const Bytes kRow6 = {0x3B, 0x7F, 0x38, 0x00, 0x00, 0x00, 0x6A, 0x4F, 0x52, 0x56,
                     0x41, 0x03, 0x02, 0xAC, 0x14, 0x04, 0x10, 0x03, 0x90, 0x00};

Bytes With(Bytes atr, std::size_t i, std::uint8_t v) {
  atr[i] = v;
  return atr;
}

std::string Names(const Bytes& atr) {
  std::string joined;
  for (const auto& n : CardNamesForAtr(RegisteredCards(), atr.data(), DWORD(atr.size()))) {
    if (!joined.empty()) joined += ",";
    joined += n;
  }
  return joined;
}

TEST(CardDatabase, AtrToNames) {
  struct Case {
    const char* what;
    Bytes atr;
    std::string names;
  };
  Bytes row1Short(kRow1.begin(), kRow1.end() - 1);
  Bytes row6Long = kRow6;
  row6Long.push_back(0x00);
  const Case cases[] = {
      {"row 1", kRow1, "ORVA-ZEL_MODEL_A1"},
      {"row 2", kRow2, "ORVA-ZEL_MODEL_A2"},
      {"row 3", kRow3, "ORVA-ZEL_MODEL_B2"},
      {"row 4", kRow4, "ORVA-ZEL_MODEL_B"},
      {"row 5", kRow5, "ORVA-ZEL_MODEL_B"},
      {"row 6", kRow6, "ORVA-ZEL_MODEL_C"},
      // Life phase and status bytes are outside every mask.
      {"row 1 final phase", With(kRow1, 18, 0x0F), "ORVA-ZEL_MODEL_A1"},
      {"row 6 other status", With(With(kRow6, 18, 0x6A), 19, 0x82), "ORVA-ZEL_MODEL_C"},
      // Row 3 ignores TA1, row 4 the low nibble of byte 16.
      {"row 3 other TA1", With(kRow3, 2, 0x96), "ORVA-ZEL_MODEL_B2"},
      {"row 4 minor 0F", With(kRow4, 16, 0x0F), "ORVA-ZEL_MODEL_B"},
      // Row 5 masks only bytes 0-15, so any byte 16 passes there.
      {"row 4/5 byte 16 outside row 4", With(kRow4, 16, 0x20), "ORVA-ZEL_MODEL_B"},
      {"row 5 life phase 07", With(kRow5, 17, 0x07), "ORVA-ZEL_MODEL_B"},
      {"row 6 TA1 changed", With(kRow6, 2, 0x11), ""},
      {"row 2 version byte", With(kRow2, 17, 0x09), ""},
      {"row 1 one byte short", row1Short, ""},
      {"row 6 one byte long", row6Long, ""},
      {"family byte changed", With(kRow1, 14, 0x02), ""},
      {"empty", Bytes{}, ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Names(c.atr), c.names) << c.what;
  }
}

TEST(CardDatabase, ModelNamesInIndexOrderAndAllRegistered) {
  const std::vector<std::string> expected = {"ORVA-ZEL_MODEL_A1", "ORVA-ZEL_MODEL_A2",
                                             "ORVA-ZEL_MODEL_B2", "ORVA-ZEL_MODEL_B",
                                             "ORVA-ZEL_MODEL_C"};
  EXPECT_EQ(CardModelNames(), expected);
  std::vector<std::string> registered;
  for (const auto& c : RegisteredCards()) {
    EXPECT_EQ(c.atr.size(), c.mask.size()) << c.name;
    if (registered.empty() || registered.back() != c.name) registered.push_back(c.name);
  }
  EXPECT_EQ(registered, expected);
}

TEST(CardDatabase, ListCardsMultiString) {
  std::string names;
  ASSERT_EQ(ListCardsIn(RegisteredCards(), kRow5.data(), DWORD(kRow5.size()), &names),
            SCARD_S_SUCCESS);
  EXPECT_EQ(names, std::string("ORVA-ZEL_MODEL_B\0\0", 18));
  Bytes unknown = With(kRow5, 0, 0x3F);
  ASSERT_EQ(ListCardsIn(RegisteredCards(), unknown.data(), DWORD(unknown.size()), &names),
            SCARD_S_SUCCESS);
  EXPECT_EQ(names, std::string("\0\0", 2));
  EXPECT_EQ(ListCardsIn(RegisteredCards(), kRow5.data(), DWORD(kRow5.size()), nullptr),
            SCARD_E_INVALID_PARAMETER);
}

TEST(CardDatabase, SplitAndJoinCardLists) {
  const std::vector<std::string> names = {"ORVA-ZEL_MODEL_A1", "X"};
  const std::string joined = JoinMultiString(names);
  EXPECT_EQ(joined, std::string("ORVA-ZEL_MODEL_A1\0X\0\0", 21));
  EXPECT_EQ(SplitCardList(joined.c_str()), names);
  EXPECT_TRUE(SplitCardList(nullptr).empty());
}

class LocateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake.AddReader("Known");
    fake.AddReader("Stranger");
    fake.AddReader("Empty");
    fake.InsertCard("Known", With(kRow4, 17, 0x0F));
    fake.InsertCard("Stranger", With(kRow6, 7, 0x00));
    ASSERT_EQ(fake.EstablishContext(SCARD_SCOPE_USER, &ctx), SCARD_S_SUCCESS);
    for (int i = 0; i < 3; ++i) {
      states[i] = SCARD_READERSTATE{};
      states[i].szReader = readers[i];
      states[i].dwCurrentState = SCARD_STATE_UNAWARE;
    }
  }
  const std::string allNames = JoinMultiString(CardModelNames());
  const char* readers[3] = {"Known", "Stranger", "Empty"};
  SCARD_READERSTATE states[3];
  FakeScard fake;
  SCARDCONTEXT ctx = 0;
};

TEST_F(LocateTest, MarksOnlyReadersWithARegisteredCard) {
  ASSERT_EQ(LocateCardsIn(fake, RegisteredCards(), ctx, allNames.c_str(), states, 3),
            SCARD_S_SUCCESS);
  EXPECT_TRUE(states[0].dwEventState & SCARD_STATE_ATRMATCH);
  EXPECT_TRUE(states[0].dwEventState & SCARD_STATE_PRESENT);
  EXPECT_EQ(Bytes(states[0].rgbAtr, states[0].rgbAtr + states[0].cbAtr), With(kRow4, 17, 0x0F));

  EXPECT_FALSE(states[1].dwEventState & SCARD_STATE_ATRMATCH);
  EXPECT_TRUE(states[1].dwEventState & SCARD_STATE_PRESENT);
  EXPECT_EQ(states[1].cbAtr, kRow6.size());

  EXPECT_FALSE(states[2].dwEventState & SCARD_STATE_ATRMATCH);
  EXPECT_TRUE(states[2].dwEventState & SCARD_STATE_EMPTY);
  EXPECT_EQ(states[2].cbAtr, 0u);
  for (const auto& s : states) EXPECT_TRUE(s.dwEventState & SCARD_STATE_CHANGED);
}

TEST_F(LocateTest, OnlyTheGivenNamesCount) {
  const std::string onlyC = JoinMultiString({"ORVA-ZEL_MODEL_C"});
  ASSERT_EQ(LocateCardsIn(fake, RegisteredCards(), ctx, onlyC.c_str(), states, 3),
            SCARD_S_SUCCESS);
  for (const auto& s : states) EXPECT_FALSE(s.dwEventState & SCARD_STATE_ATRMATCH);
}

TEST_F(LocateTest, UnchangedStateIsNotMarkedChanged) {
  ASSERT_EQ(fake.LocateCards(ctx, allNames.c_str(), states, 3), SCARD_S_SUCCESS);
  for (auto& s : states) s.dwCurrentState = s.dwEventState;
  ASSERT_EQ(fake.LocateCards(ctx, allNames.c_str(), states, 3), SCARD_S_SUCCESS);
  for (const auto& s : states) EXPECT_FALSE(s.dwEventState & SCARD_STATE_CHANGED);
  EXPECT_TRUE(states[0].dwEventState & SCARD_STATE_ATRMATCH);
}

TEST_F(LocateTest, StatusFailurePassesOut) {
  fake.FailNext("GetStatusChange", SCARD_E_NO_SERVICE);
  EXPECT_EQ(LocateCardsIn(fake, RegisteredCards(), ctx, allNames.c_str(), states, 3),
            SCARD_E_NO_SERVICE);
}

TEST_F(LocateTest, UnknownReaderGetsNoMatch) {
  states[1].szReader = "Gone";
  ASSERT_EQ(LocateCardsIn(fake, RegisteredCards(), ctx, allNames.c_str(), states, 3),
            SCARD_S_SUCCESS);
  EXPECT_TRUE(states[1].dwEventState & SCARD_STATE_UNKNOWN);
  EXPECT_FALSE(states[1].dwEventState & SCARD_STATE_ATRMATCH);
  EXPECT_TRUE(states[0].dwEventState & SCARD_STATE_ATRMATCH);
  EXPECT_EQ(Bytes(states[0].rgbAtr, states[0].rgbAtr + states[0].cbAtr), With(kRow4, 17, 0x0F));
  EXPECT_TRUE(states[2].dwEventState & SCARD_STATE_EMPTY);
}

}  // namespace
}  // namespace zorbix::platform
