// The secure channel end to end through the real pcscd and the virtual card,
// with the built-in card types' parameters: opening, the PIN inside it, a
// card reset and a corrupted answer, each followed by a fresh channel.
#include <gtest/gtest.h>

#include <atomic>
#include <iostream>
#include <memory>
#include <string>

#include "comm/communicator.h"
#include "comm/securechannel.h"
#include "p11/exclusion.h"
#include "p11/slots.h"
#include "p11/tokentypes.h"
#include "platform/scard.h"
#include "sim/bench.h"
#include "tests/p11/raised.h"

namespace zorbix::commtest {
namespace {

using comm::Bytes;
using testing::RaisedBy;

Bytes Ascii(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Commands of the device authentication in the card's trace.
int AuthenticationCommands(const sim::Card& card) {
  int n = 0;
  for (const auto& e : card.Trace())
    if (e.command.size() > 1 && e.command[0] == 0x00 && (e.command[1] == 0x88 || e.command[1] == 0x82))
      ++n;
  return n;
}

class ChannelBench : public ::testing::TestWithParam<const char*> {
 protected:
  static void SetUpTestSuite() { bench_ = sim::Bench::Start(); }
  static void TearDownTestSuite() { bench_.reset(); }

  void SetUp() override {
    ASSERT_TRUE(bench_);
    card_ = &bench_->Insert(0, GetParam());
    SCARDCONTEXT ctx = 0;
    ASSERT_EQ(platform::Scard().EstablishContext(SCARD_SCOPE_SYSTEM, &ctx), SCARD_S_SUCCESS);
    context_ = ctx;
    manager_ = std::make_unique<p11::CSlotManager>(context_, guard_, types_);
    slot_ = std::make_unique<p11::CSlot>(*manager_, bench_->ReaderName(0), p11::kFirstSlotId);
    for (const auto& t : types_.Types())
      if (t->name == GetParam()) type_ = t.get();
    ASSERT_NE(type_, nullptr);
    ASSERT_EQ(type_->communicationsType, 1);
  }

  void TearDown() override {
    slot_.reset();
    manager_.reset();
    platform::Scard().ReleaseContext(context_.load());
  }

  Bytes Pin() const { return Ascii(card_->profile().pin); }

  static inline std::unique_ptr<sim::Bench> bench_;
  sim::Card* card_ = nullptr;
  p11::CExclusionMutua guard_;
  p11::CTokenTypeConfig types_;
  const p11::CTokenType* type_ = nullptr;
  std::atomic<SCARDCONTEXT> context_{0};
  std::unique_ptr<p11::CSlotManager> manager_;
  std::unique_ptr<p11::CSlot> slot_;
};

TEST_P(ChannelBench, OpensVerifiesThePinAndRecoversFromResetAndCorruption) {
  auto comm = comm::CreateCommunicator(*slot_, *type_);
  auto* vexa = dynamic_cast<comm::CComm_Vexa*>(comm.get());
  ASSERT_NE(vexa, nullptr);
  card_->ClearTrace();
  {
    comm::CSlotTransaction transaction(*slot_);
    EXPECT_EQ(vexa->GetPinTries(), 3u);
  }
  ASSERT_TRUE(vexa->ChannelOpen());
  EXPECT_EQ(vexa->MacLength(), std::string(GetParam()) == "Vexa" ? 4u : 8u);
  const std::size_t opening = card_->Trace().size() - 2;
  std::cout << "[ figures  ] " << GetParam() << ": opening the channel " << opening
            << " exchanges\n";

  {
    comm::CSlotTransaction transaction(*slot_);
    card_->ClearTrace();
    vexa->VerifyPin(Pin());
    EXPECT_TRUE(card_->PinVerified());
    std::cout << "[ figures  ] " << GetParam() << ": protected VERIFY " << card_->Trace().size()
              << " exchanges\n";
    EXPECT_EQ(card_->Trace().size(), 2u);
    const Bytes wrong(Pin().size(), '0');
    EXPECT_EQ(RaisedBy([&] { vexa->VerifyPin(wrong); }), CKR_PIN_INCORRECT);
    EXPECT_EQ(card_->PinTriesLeft(), 2);
    EXPECT_TRUE(vexa->ChannelOpen());
    vexa->VerifyPin(Pin());
    EXPECT_EQ(AuthenticationCommands(*card_), 0) << "the channel was reused";
  }

  // Another communicator on the slot resets the card; the channel is found
  // gone at the next protected exchange, and the PIN operation after that
  // opens a new one.
  { comm::CComm_Plain another(*slot_); }
  {
    comm::CSlotTransaction transaction(*slot_);
    card_->ClearTrace();
    EXPECT_EQ(RaisedBy([&] { vexa->VerifyPin(Pin()); }), CKR_DEVICE_ERROR);
    EXPECT_FALSE(vexa->ChannelOpen());
    vexa->VerifyPin(Pin());
    EXPECT_TRUE(vexa->ChannelOpen());
    EXPECT_TRUE(card_->PinVerified());
    EXPECT_EQ(AuthenticationCommands(*card_), 2);
  }

  // The last MAC byte of the card's next answer (the GET RESPONSE of the
  // second command from now) is corrupted.
  {
    comm::CSlotTransaction transaction(*slot_);
    card_->CorruptAt(2, -3);
    card_->ClearTrace();
    EXPECT_EQ(RaisedBy([&] { vexa->GetPinTries(); }), CKR_DATA_INVALID);
    EXPECT_FALSE(vexa->ChannelOpen());
    EXPECT_EQ(vexa->GetPinTries(), 3u) << "a fresh channel, and a fresh card session";
    EXPECT_TRUE(vexa->ChannelOpen());
    EXPECT_EQ(AuthenticationCommands(*card_), 2);
    vexa->VerifyPin(Pin());
  }
}

INSTANTIATE_TEST_SUITE_P(Profiles, ChannelBench, ::testing::Values("Vexa", "TC-ORVA4"),
                         [](const auto& info) {
                           return std::string(info.param) == "Vexa" ? "Vexa" : "TC_ORVA4";
                         });

}  // namespace
}  // namespace zorbix::commtest
