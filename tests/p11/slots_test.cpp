// Slots over a fake PC/SC: IDs, slot list, slot info, slot events.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <string>
#include <vector>

#include "p11/exclusion.h"
#include "p11/module.h"
#include "p11/slots.h"
#include "p11/tokentypes.h"
#include "tests/p11/fake_env.h"

namespace {

using zorbix::p11::CExclusionMutua;
using zorbix::p11::CSlotManager;
using zorbix::p11::CTokenTypeConfig;
using zorbix::p11::kFirstSlotId;
using zorbix::p11::Pkcs11Exception;
using zorbix::p11::to_string;
using zorbix::p11test::Fake;
using zorbix::p11test::ScopedReaders;
using Bytes = std::vector<std::uint8_t>;

const Bytes kSomeAtr = {0x3B, 0x02, 0x14, 0x50};

// A slot manager of its own, with fresh IDs, over the shared fake.
class Slots : public ::testing::Test {
 protected:
  void SetUp() override {
    SCARDCONTEXT ctx = 0;
    ASSERT_EQ(Fake().EstablishContext(SCARD_SCOPE_USER, &ctx), SCARD_S_SUCCESS);
    context_ = ctx;
  }
  void TearDown() override { Fake().ReleaseContext(context_.load()); }

  std::vector<CK_SLOT_ID> List(CK_BBOOL tokenPresent = CK_FALSE) {
    CK_ULONG count = 0;
    EXPECT_EQ(manager_.GetSlotList(tokenPresent, nullptr, &count), CKR_OK);
    std::vector<CK_SLOT_ID> ids(count);
    EXPECT_EQ(manager_.GetSlotList(tokenPresent, ids.data(), &count), CKR_OK);
    ids.resize(count);
    return ids;
  }

  std::atomic<SCARDCONTEXT> context_{0};
  CTokenTypeConfig types_;
  CExclusionMutua guard_;
  CSlotManager manager_{context_, guard_, types_};
};

TEST_F(Slots, NoReadersIsAnEmptyList) { EXPECT_TRUE(List().empty()); }

TEST_F(Slots, IdsFrom65536StableAcrossUnplug) {
  {
    ScopedReaders readers({"Reader A", "Reader B"});
    EXPECT_EQ(List(), (std::vector<CK_SLOT_ID>{65536, 65537}));
    Fake().RemoveReader("Reader A");
    EXPECT_EQ(List(), (std::vector<CK_SLOT_ID>{65537}));
    Fake().AddReader("Reader C");
    EXPECT_EQ(List(), (std::vector<CK_SLOT_ID>{65537, 65538}));
    Fake().AddReader("Reader A");
    // Platform order, old ID for the old name.
    EXPECT_EQ(List(), (std::vector<CK_SLOT_ID>{65537, 65538, 65536}));
    Fake().RemoveReader("Reader C");
  }
  EXPECT_TRUE(List().empty());
  // A slot whose reader is gone is still known; an ID never handed out is not.
  // (Its slot info fails: asking for a token connects to the missing reader.)
  CK_SLOT_INFO info;
  EXPECT_NO_THROW(manager_.FindSlot(65536));
  try {
    manager_.GetSlotInfo(65539, &info);
    ADD_FAILURE() << "unknown slot accepted";
  } catch (const Pkcs11Exception& e) {
    EXPECT_EQ(to_string(e.rv()), "CKR_SLOT_ID_INVALID");
  }
}

// The wait thread refreshes beside locked calls: no call may see a list
// emptied or filled halfway by the other.
TEST_F(Slots, RefreshInAnotherThreadNeverShowsAPartialList) {
  ScopedReaders readers({"Race A", "Race B"});
  const std::vector<CK_SLOT_ID> whole = List();
  ASSERT_EQ(whole.size(), 2u);
  std::atomic<bool> stop{false};
  std::thread other([&] {
    while (!stop) manager_.Refresh();
  });
  int partial = 0;
  for (int i = 0; i < 20000; ++i)
    if (List() != whole) ++partial;
  stop = true;
  other.join();
  EXPECT_EQ(partial, 0);
}

TEST_F(Slots, SlotListCountsAndBuffers) {
  ScopedReaders readers({"R1", "R2", "R3"});
  Fake().InsertCard("R2", kSomeAtr);
  CK_SLOT_ID ids[3] = {};
  CK_ULONG count = 2;
  EXPECT_EQ(manager_.GetSlotList(CK_FALSE, ids, &count), CKR_BUFFER_TOO_SMALL);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(ids[0], 0u) << "nothing written into a short buffer";
  count = 3;
  EXPECT_EQ(manager_.GetSlotList(CK_FALSE, ids, &count), CKR_OK);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(ids[2], kFirstSlotId + 2);
  EXPECT_EQ(manager_.GetSlotList(CK_FALSE, nullptr, nullptr), CKR_ARGUMENTS_BAD);
  EXPECT_EQ(manager_.GetSlotList(CK_FALSE, ids, nullptr), CKR_ARGUMENTS_BAD);
  // No card type is recognised yet: with tokenPresent only exactly 1 filters.
  EXPECT_TRUE(List(CK_TRUE).empty());
  EXPECT_EQ(List(2).size(), 3u);
  Fake().RemoveCard("R2");
}

// Arguments come before any work: no reader or card is asked for a call
// that cannot return its count.
TEST_F(Slots, NullCountFailsBeforeAnyCardIsAsked) {
  ScopedReaders readers({"Count reader"});
  Fake().InsertCard("Count reader", kSomeAtr);
  Fake().ClearCalls();
  EXPECT_EQ(manager_.GetSlotList(CK_TRUE, nullptr, nullptr), CKR_ARGUMENTS_BAD);
  EXPECT_TRUE(Fake().Calls().empty());
  Fake().RemoveCard("Count reader");
}

TEST_F(Slots, SlotInfoFields) {
  const std::string longName(70, 'x');
  const std::string name64 = "Reader with a name of exactly sixty-four bytes .................";
  ASSERT_EQ(name64.size(), 64u);
  // The description is UTF-8: a character that does not fit whole is left
  // out, and a Latin-1 byte becomes its UTF-8 form.
  const std::string splitAt64 = std::string(63, 'y') + "\xC3\xA9";
  const std::string latin1 = "Lector espa\xF1ol";
  ScopedReaders readers({"Short one", longName, name64, splitAt64, latin1});
  const auto ids = List();
  ASSERT_EQ(ids.size(), 5u);

  struct Case {
    CK_SLOT_ID id;
    std::string description;
  };
  const Case cases[] = {
      {ids[0], "Short one" + std::string(55, ' ')},
      {ids[1], std::string(64, 'x')},
      {ids[2], name64},
      {ids[3], std::string(63, 'y') + " "},
      {ids[4], "Lector espa\xC3\xB1ol" + std::string(49, ' ')},
  };
  for (const Case& c : cases) {
    CK_SLOT_INFO info;
    std::memset(&info, 0xAA, sizeof info);
    manager_.GetSlotInfo(c.id, &info);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(info.slotDescription), 64), c.description);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(info.manufacturerID), 32),
              "Smart Card Reader/Writer" + std::string(8, ' '));
    EXPECT_EQ(info.flags, 6u);  // removable hardware slot, no token
    EXPECT_EQ(info.hardwareVersion.major, 0);
    EXPECT_EQ(info.hardwareVersion.minor, 0);
    EXPECT_EQ(info.firmwareVersion.major, 0);
    EXPECT_EQ(info.firmwareVersion.minor, 0);
  }
  try {
    manager_.GetSlotInfo(ids[0], nullptr);
    ADD_FAILURE() << "null info accepted";
  } catch (const Pkcs11Exception& e) {
    EXPECT_EQ(to_string(e.rv()), "CKR_ARGUMENTS_BAD");
  }
}

TEST_F(Slots, EnumerationFailures) {
  struct Case {
    LONG status;
    CK_RV rv;
  };
  const Case cases[] = {
      {static_cast<LONG>(SCARD_E_NO_MEMORY), CKR_HOST_MEMORY},
      {static_cast<LONG>(SCARD_E_NO_SERVICE), CKR_GENERAL_ERROR},
  };
  for (const Case& c : cases) {
    Fake().FailNext("ListReaders", c.status);
    try {
      manager_.Refresh();
      ADD_FAILURE() << "no failure for " << c.status;
    } catch (const Pkcs11Exception& e) {
      EXPECT_EQ(to_string(e.rv()), to_string(c.rv));
    }
  }
  ScopedReaders readers({"R"});
  Fake().FailNext("FreeMemory", SCARD_E_INVALID_HANDLE);
  try {
    manager_.Refresh();
    ADD_FAILURE() << "free failure ignored";
  } catch (const Pkcs11Exception& e) {
    EXPECT_EQ(to_string(e.rv()), "CKR_HOST_MEMORY");
  }
  // The names listed before the failed release still count.
  EXPECT_EQ(manager_.PresentList().size(), 1u);
}

TEST_F(Slots, ConnectNamesTheGuardReaderAndResetClearsIt) {
  ScopedReaders readers({"Card reader", "Other reader"});
  Fake().InsertCard("Card reader", kSomeAtr);
  Fake().InsertCard("Other reader", kSomeAtr);
  const auto ids = List();
  auto& slot = manager_.FindSlot(ids[0]);
  auto& other = manager_.FindSlot(ids[1]);

  slot.Connect();
  EXPECT_NE(slot.CardHandle(), 0);
  EXPECT_EQ(guard_.ReaderName(), "Card reader");
  other.Connect();
  EXPECT_EQ(guard_.ReaderName(), "Card reader") << "only the first connection names it";

  // Reconnecting an open handle resets the card.
  const auto resets = Fake().ResetCount("Card reader");
  slot.Connect();
  EXPECT_EQ(Fake().ResetCount("Card reader"), resets + 1);

  other.ResetCardState();  // any reader's reset clears the name
  EXPECT_EQ(guard_.ReaderName(), "");
  EXPECT_EQ(other.CardHandle(), 0);
  slot.Disconnect();
  EXPECT_EQ(Fake().OpenHandles(), 0u);

  Fake().RemoveCard("Card reader");
  EXPECT_THROW(slot.Connect(), Pkcs11Exception);
  EXPECT_EQ(slot.CardHandle(), 0);
  EXPECT_EQ(guard_.ReaderName(), "");
  Fake().RemoveCard("Other reader");
}

TEST_F(Slots, ConnectWithoutContext) {
  ScopedReaders readers({"R"});
  auto& slot = manager_.FindSlot(List().at(0));
  context_ = 0;
  try {
    slot.Connect();
    ADD_FAILURE();
  } catch (const Pkcs11Exception& e) {
    EXPECT_EQ(to_string(e.rv()), "CKR_CRYPTOKI_NOT_INITIALIZED");
  }
  CK_ULONG count;
  EXPECT_THROW(manager_.GetSlotList(CK_FALSE, nullptr, &count), Pkcs11Exception);
}

TEST_F(Slots, WaitReportsOneChangedReaderPerCall) {
  ScopedReaders readers({"W1", "W2"});
  const auto ids = List();
  auto live = [] { return true; };
  CK_SLOT_ID slot = 0;

  EXPECT_EQ(to_string(manager_.WaitForSlotEvent(CKF_DONT_BLOCK, &slot, live)), "CKR_NO_EVENT");

  Fake().InsertCard("W2", kSomeAtr);
  Fake().InsertCard("W1", kSomeAtr);
  EXPECT_EQ(manager_.WaitForSlotEvent(CKF_DONT_BLOCK, &slot, live), CKR_OK);
  EXPECT_EQ(slot, ids[0]);
  EXPECT_EQ(manager_.WaitForSlotEvent(CKF_DONT_BLOCK, &slot, live), CKR_OK);
  EXPECT_EQ(slot, ids[1]);
  EXPECT_EQ(manager_.WaitForSlotEvent(CKF_DONT_BLOCK, &slot, live), CKR_NO_EVENT);

  // Removal resets the slot's card state.
  auto& w2 = manager_.FindSlot(ids[1]);
  w2.Connect();
  ASSERT_EQ(guard_.ReaderName(), "W2");
  Fake().RemoveCard("W2");
  slot = 0;
  EXPECT_EQ(manager_.WaitForSlotEvent(CKF_DONT_BLOCK, &slot, live), CKR_OK);
  EXPECT_EQ(slot, ids[1]);
  EXPECT_EQ(w2.CardHandle(), 0);
  EXPECT_EQ(guard_.ReaderName(), "");
  Fake().RemoveCard("W1");
}

TEST_F(Slots, BlockingWaitKeepsWaitingUntilAnEvent) {
  ScopedReaders readers({"B1"});
  const auto ids = List();
  int passes = 0;
  Fake().SetWaitHook([&](zorbix::testing::FakeScard& f) {
    if (++passes == 3) f.InsertCard("B1", kSomeAtr);
  });
  CK_SLOT_ID slot = 0;
  EXPECT_EQ(manager_.WaitForSlotEvent(0, &slot, [] { return true; }), CKR_OK);
  EXPECT_EQ(slot, ids[0]);
  EXPECT_EQ(passes, 3);
  Fake().SetWaitHook(nullptr);

  // Finalisation ends a blocking wait at the next pass.
  int asked = 0;
  EXPECT_EQ(manager_.WaitForSlotEvent(0, &slot, [&] { return ++asked < 3; }),
            CKR_CRYPTOKI_NOT_INITIALIZED);
  // PC/SC failures are mapped.
  Fake().FailNext("GetStatusChange", SCARD_E_NO_SERVICE);
  EXPECT_EQ(manager_.WaitForSlotEvent(0, &slot, [] { return true; }), CKR_GENERAL_ERROR);
  Fake().RemoveCard("B1");
}

// The module's entry points over the same fake.
class SlotCalls : public ::testing::Test {
 protected:
  void SetUp() override {
    Fake();
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
  }
  void TearDown() override { C_Finalize(nullptr); }
};

TEST_F(SlotCalls, ListInfoAndEventsThroughEntryPoints) {
  ScopedReaders readers({"Entry reader"});
  CK_ULONG count = 0;
  ASSERT_EQ(C_GetSlotList(CK_FALSE, nullptr, &count), CKR_OK);
  std::vector<CK_SLOT_ID> ids(count);
  ASSERT_EQ(C_GetSlotList(CK_FALSE, ids.data(), &count), CKR_OK);
  CK_SLOT_ID mine = 0;
  for (CK_SLOT_ID id : ids) {
    CK_SLOT_INFO info;
    ASSERT_EQ(C_GetSlotInfo(id, &info), CKR_OK);
    if (std::string(reinterpret_cast<char*>(info.slotDescription), 12) == "Entry reader") mine = id;
  }
  ASSERT_GE(mine, kFirstSlotId);
  CK_SLOT_ID none = 0;
  EXPECT_EQ(C_GetSlotList(CK_TRUE, nullptr, &none), CKR_OK);
  EXPECT_EQ(none, 0u);

  CK_TOKEN_INFO token;
  EXPECT_EQ(C_GetTokenInfo(mine, &token), CKR_TOKEN_NOT_PRESENT);
  CK_ULONG mechanisms = 0;
  EXPECT_EQ(C_GetMechanismList(mine, nullptr, &mechanisms), CKR_TOKEN_NOT_PRESENT);

  CK_SLOT_ID event = 0;
  EXPECT_EQ(C_WaitForSlotEvent(CKF_DONT_BLOCK, &event, nullptr), CKR_NO_EVENT);
  Fake().InsertCard("Entry reader", kSomeAtr);
  EXPECT_EQ(C_WaitForSlotEvent(CKF_DONT_BLOCK, &event, nullptr), CKR_OK);
  EXPECT_EQ(event, mine);
  // A card of no known type still is no token.
  CK_SLOT_INFO info;
  ASSERT_EQ(C_GetSlotInfo(mine, &info), CKR_OK);
  EXPECT_EQ(info.flags, 6u);
  Fake().RemoveCard("Entry reader");
  EXPECT_EQ(C_WaitForSlotEvent(CKF_DONT_BLOCK, &event, nullptr), CKR_OK);
  EXPECT_EQ(event, mine);
}

// A card pulled while C_GetTokenInfo reads it: a call without a session never
// answers CKR_SESSION_HANDLE_INVALID.
TEST_F(SlotCalls, CardVanishingUnderASlotCallIsNoSessionError) {
  const Bytes halvoAtr = {0x3B, 0x7F, 0x18, 0x00, 0x00, 0x00, 0x6A, 0x48, 0x41, 0x4C,
                          0x56, 0x4F, 0x02, 0x2C, 0x34, 0x02, 0x00, 0x03, 0x90, 0x00};
  const std::string reader = "Vanishing reader";
  ScopedReaders readers({reader});
  CK_ULONG count = 0;
  ASSERT_EQ(C_GetSlotList(CK_FALSE, nullptr, &count), CKR_OK);
  const CK_SLOT_ID mine = zorbix::p11::Module().slots.SlotOfReader(reader)->Id();

  struct Case {
    const char* what;
    bool replaced;  // another card is in the reader by the time the call ends
    CK_RV expected;
  };
  const Case cases[] = {
      {"pulled out", false, CKR_TOKEN_NOT_PRESENT},
      {"swapped for another card", true, CKR_DEVICE_REMOVED},
  };
  for (const Case& c : cases) {
    // The first command of the TokenInfo read finds the card gone.
    bool gone = false;
    Fake().InsertCard(reader, halvoAtr, [&](const Bytes&) -> Bytes {
      if (!gone) {
        gone = true;
        if (c.replaced)
          Fake().InsertCard(reader, halvoAtr);
        else
          Fake().RemoveCard(reader);
      }
      return {0x90, 0x00};
    });
    CK_TOKEN_INFO info;
    EXPECT_EQ(to_string(C_GetTokenInfo(mine, &info)), to_string(c.expected)) << c.what;
    EXPECT_TRUE(gone) << c.what;
    Fake().RemoveCard(reader);
  }
}

TEST_F(SlotCalls, WaitRunsBesideLockedCallsInAnotherThread) {
  ScopedReaders readers({"Threaded reader"});
  CK_ULONG count = 0;
  ASSERT_EQ(C_GetSlotList(CK_FALSE, nullptr, &count), CKR_OK);
  std::vector<CK_SLOT_ID> ids(count);
  ASSERT_EQ(C_GetSlotList(CK_FALSE, ids.data(), &count), CKR_OK);
  const CK_SLOT_ID mine = zorbix::p11::Module().slots.SlotOfReader("Threaded reader")->Id();

  Fake().SetWaitMode(zorbix::testing::FakeScard::WaitMode::Real);
  std::atomic<CK_RV> waited{CKR_CANCEL};
  CK_SLOT_ID event = 0;
  std::thread waiter([&] { waited = C_WaitForSlotEvent(0, &event, nullptr); });
  // Locked calls go on while the wait blocks; were it inside the guard they
  // would time out.
  for (int i = 0; i < 20; ++i) {
    CK_SLOT_INFO info;
    ASSERT_EQ(C_GetSlotInfo(mine, &info), CKR_OK);
    ASSERT_EQ(C_GetSlotList(CK_FALSE, nullptr, &count), CKR_OK);
  }
  Fake().InsertCard("Threaded reader", kSomeAtr);
  waiter.join();
  Fake().SetWaitMode(zorbix::testing::FakeScard::WaitMode::Immediate);
  EXPECT_EQ(to_string(waited.load()), "CKR_OK");
  EXPECT_EQ(event, mine);

  // Finalising ends a blocking wait.
  std::thread finalised([&] { waited = C_WaitForSlotEvent(0, &event, nullptr); });
  EXPECT_EQ(C_Finalize(nullptr), CKR_OK);
  finalised.join();
  EXPECT_EQ(to_string(waited.load()), "CKR_CRYPTOKI_NOT_INITIALIZED");
  Fake().RemoveCard("Threaded reader");
}

// pcsc-lite runs the calls of one context one at a time, a blocked status
// wait included: the wait must not share its context with the other calls,
// or each of them waits for the end of the wait's pass. C_Finalize cancels a
// blocked pass.
TEST_F(SlotCalls, WaitHasAPcscContextOfItsOwn) {
  const std::string reader = "Own context reader";
  ScopedReaders readers({reader});
  Fake().InsertCard(reader, kSomeAtr);
  CK_ULONG count = 0;
  ASSERT_EQ(C_GetSlotList(CK_FALSE, nullptr, &count), CKR_OK);
  const CK_SLOT_ID mine = zorbix::p11::Module().slots.SlotOfReader(reader)->Id();
  CK_SLOT_ID event = 0;
  // Take the card's insertion out of the way first.
  while (C_WaitForSlotEvent(CKF_DONT_BLOCK, &event, nullptr) == CKR_OK) {
  }

  Fake().SetWaitMode(zorbix::testing::FakeScard::WaitMode::Real);
  Fake().SetSerialiseContexts(true);
  std::atomic<CK_RV> waited{CKR_CANCEL};
  std::thread waiter([&] { waited = C_WaitForSlotEvent(0, &event, nullptr); });
  for (int i = 0; i < 5000 && Fake().BlockedWaits() == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_EQ(Fake().BlockedWaits(), 1u);

  const std::size_t waitsBefore = Fake().ContextWaits();
  for (int i = 0; i < 20; ++i) {
    CK_SLOT_INFO slotInfo;
    EXPECT_EQ(C_GetSlotInfo(mine, &slotInfo), CKR_OK);
    CK_TOKEN_INFO tokenInfo;
    EXPECT_EQ(to_string(C_GetTokenInfo(mine, &tokenInfo)), "CKR_TOKEN_NOT_RECOGNIZED");
  }
  EXPECT_EQ(Fake().ContextWaits(), waitsBefore) << "a call waited for the wait's context";
  EXPECT_EQ(waited.load(), CKR_CANCEL) << "the wait is still blocked";

  const std::size_t cancels = Fake().Count("Cancel");
  EXPECT_EQ(C_Finalize(nullptr), CKR_OK);
  waiter.join();
  EXPECT_EQ(to_string(waited.load()), "CKR_CRYPTOKI_NOT_INITIALIZED");
  EXPECT_EQ(Fake().Count("Cancel"), cancels + 1);
  EXPECT_EQ(C_Initialize(nullptr), CKR_OK);

  Fake().SetSerialiseContexts(false);
  Fake().SetWaitMode(zorbix::testing::FakeScard::WaitMode::Immediate);
  Fake().RemoveCard(reader);
}

}  // namespace
