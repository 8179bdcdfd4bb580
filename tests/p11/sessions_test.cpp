// Sessions, login and the PIN bits of the token information, through the C_
// functions, on virtual cards behind the fake PC/SC.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "tests/p11/token_fixture.h"

namespace {

using zorbix::p11::to_string;
using zorbix::p11test::Fake;
using zorbix::p11test::IsCommand;
using zorbix::p11test::TokenTest;

constexpr CK_FLAGS kRO = CKF_SERIAL_SESSION;
constexpr CK_FLAGS kRW = CKF_SERIAL_SESSION | CKF_RW_SESSION;

class Sessions : public TokenTest {
 protected:
  void SetUp() override { UseCard("HALVO"); }
};

// Kept first in the file: handles count from the process's first session.
TEST_F(Sessions, HandlesCountFrom0x110000AndAreNeverReused) {
  const CK_SESSION_HANDLE first = Open(kRW);
  EXPECT_EQ(first, 0x110000u);
  EXPECT_EQ(Open(kRO), 0x110001u);
  EXPECT_EQ(C_CloseSession(first), CKR_OK);
  EXPECT_EQ(Open(kRO), 0x110002u);
}

TEST_F(Sessions, ReadWriteThenReadOnlyShareOneStateAndTheFlagsBothAllow) {
  const CK_SESSION_HANDLE rw = Open(kRW);
  EXPECT_EQ(Info(rw).state, CKS_RW_PUBLIC_SESSION);
  EXPECT_EQ(Info(rw).flags, kRW);
  const CK_SESSION_HANDLE ro = Open(kRO);
  for (CK_SESSION_HANDLE h : {rw, ro}) {
    const CK_SESSION_INFO info = Info(h);
    EXPECT_EQ(info.slotID, slot_);
    EXPECT_EQ(info.state, CKS_RW_PUBLIC_SESSION);
    EXPECT_EQ(info.flags, CKF_SERIAL_SESSION) << "shared flags: the read-only open took CKF_RW_SESSION away";
    EXPECT_EQ(info.ulDeviceError, 0u);
  }
  // Closing the read-write one changes nothing of the shared state.
  EXPECT_EQ(C_CloseSession(rw), CKR_OK);
  EXPECT_EQ(Info(ro).state, CKS_RW_PUBLIC_SESSION);
}

TEST_F(Sessions, ArgumentsAndUnknownHandles) {
  CK_SESSION_HANDLE h = 0;
  EXPECT_EQ(to_string(C_OpenSession(slot_, kRO, nullptr, nullptr, nullptr)), "CKR_ARGUMENTS_BAD");
  EXPECT_EQ(to_string(C_OpenSession(slot_, CKF_RW_SESSION, nullptr, nullptr, &h)),
            "CKR_SESSION_PARALLEL_NOT_SUPPORTED");
  EXPECT_EQ(to_string(C_OpenSession(slot_ + 1000, kRO, nullptr, nullptr, &h)), "CKR_SLOT_ID_INVALID");
  const CK_SESSION_HANDLE s = Open();
  EXPECT_EQ(to_string(C_GetSessionInfo(s, nullptr)), "CKR_ARGUMENTS_BAD");
  EXPECT_EQ(to_string(C_GetSessionInfo(s + 1, nullptr)), "CKR_ARGUMENTS_BAD");
  CK_SESSION_INFO info;
  EXPECT_EQ(to_string(C_GetSessionInfo(s + 1, &info)), "CKR_SESSION_HANDLE_INVALID");
  EXPECT_EQ(to_string(C_CloseSession(s + 1)), "CKR_SESSION_HANDLE_INVALID");
  EXPECT_EQ(to_string(C_Login(s, CKU_USER, nullptr, 4)), "CKR_ARGUMENTS_BAD");
  EXPECT_EQ(to_string(C_SetPIN(s, nullptr, 4, nullptr, 4)), "CKR_ARGUMENTS_BAD");
  EXPECT_EQ(to_string(C_InitPIN(s, nullptr, 0)), "CKR_FUNCTION_NOT_SUPPORTED");
  EXPECT_EQ(Info(s).state, CKS_RO_PUBLIC_SESSION) << "the unknown handle changed nothing";
}

TEST_F(Sessions, UnrecognisedCardOpensNothing) {
  Fake().InsertCard(kReader, {0x3B, 0x02, 0x14, 0x50});
  CK_SESSION_HANDLE h = 0;
  EXPECT_EQ(to_string(C_OpenSession(slot_, kRO, nullptr, nullptr, &h)), "CKR_SLOT_ID_INVALID");
}

// One row: the state before, who logs in, what comes of it, the state after.
struct LoginCase {
  const char* name;
  CK_FLAGS open;
  CK_USER_TYPE first;  // logged in first (CKU_CONTEXT_SPECIFIC + 1: nobody)
  CK_USER_TYPE then;
  CK_RV result;
  CK_STATE after;
};

constexpr CK_USER_TYPE kNobody = 99;

TEST_F(Sessions, LoginRules) {
  const LoginCase cases[] = {
      {"user on read-only", kRO, kNobody, CKU_USER, CKR_OK, CKS_RO_USER_FUNCTIONS},
      {"user on read-write", kRW, kNobody, CKU_USER, CKR_OK, CKS_RW_USER_FUNCTIONS},
      {"SO on read-write", kRW, kNobody, CKU_SO, CKR_OK, CKS_RW_SO_FUNCTIONS},
      {"SO on read-only", kRO, kNobody, CKU_SO, CKR_SESSION_READ_ONLY_EXISTS, CKS_RO_PUBLIC_SESSION},
      {"user while SO", kRW, CKU_SO, CKU_USER, CKR_USER_ANOTHER_ALREADY_LOGGED_IN, CKS_RW_SO_FUNCTIONS},
      {"SO while user", kRW, CKU_USER, CKU_SO, CKR_USER_ANOTHER_ALREADY_LOGGED_IN, CKS_RW_USER_FUNCTIONS},
      {"SO while user, read-only", kRO, CKU_USER, CKU_SO, CKR_USER_ANOTHER_ALREADY_LOGGED_IN,
       CKS_RO_USER_FUNCTIONS},
      {"user twice", kRO, CKU_USER, CKU_USER, CKR_USER_ALREADY_LOGGED_IN, CKS_RO_USER_FUNCTIONS},
      {"SO twice", kRW, CKU_SO, CKU_SO, CKR_USER_ALREADY_LOGGED_IN, CKS_RW_SO_FUNCTIONS},
      {"another user type counts as user", kRO, kNobody, CKU_CONTEXT_SPECIFIC, CKR_OK,
       CKS_RO_USER_FUNCTIONS},
  };
  for (const LoginCase& c : cases) {
    SCOPED_TRACE(c.name);
    const CK_SESSION_HANDLE h = Open(c.open);
    if (c.first != kNobody) {
      ASSERT_EQ(Login(h, profile_.pin, c.first), CKR_OK);
    }
    EXPECT_EQ(to_string(Login(h, profile_.pin, c.then)), to_string(c.result));
    EXPECT_EQ(Info(h).state, c.after);
    ASSERT_EQ(C_CloseSession(h), CKR_OK);
    // The card keeps the PIN verified; a new session starts logged out.
    card->Reset();
  }
}

TEST_F(Sessions, OpeningBesideALoginFollowsTheStateMachine) {
  const CK_SESSION_HANDLE ro = Open(kRO);
  ASSERT_EQ(Login(ro, profile_.pin), CKR_OK);
  Open(kRW);
  EXPECT_EQ(Info(ro).state, CKS_RW_USER_FUNCTIONS);
  ASSERT_EQ(C_CloseAllSessions(slot_), CKR_OK);

  const CK_SESSION_HANDLE rw = Open(kRW);
  ASSERT_EQ(Login(rw, profile_.pin, CKU_SO), CKR_OK);
  CK_SESSION_HANDLE h = 0;
  EXPECT_EQ(to_string(C_OpenSession(slot_, kRO, nullptr, nullptr, &h)), "CKR_SESSION_READ_WRITE_SO_EXISTS");
  EXPECT_EQ(Info(rw).state, CKS_RW_SO_FUNCTIONS);
  EXPECT_EQ(Open(kRW), rw + 1) << "the refused open took no handle";
}

TEST_F(Sessions, LogoutTwice) {
  const CK_SESSION_HANDLE h = Open(kRW);
  EXPECT_EQ(to_string(C_Logout(h)), "CKR_USER_NOT_LOGGED_IN");
  ASSERT_EQ(Login(h, profile_.pin), CKR_OK);
  TakeTrace();
  EXPECT_EQ(C_Logout(h), CKR_OK);
  EXPECT_EQ(Info(h).state, CKS_RW_PUBLIC_SESSION);
  EXPECT_EQ(to_string(C_Logout(h)), "CKR_USER_NOT_LOGGED_IN");
  EXPECT_TRUE(TakeTrace().empty()) << "logout sends the card nothing";
  ASSERT_EQ(Login(h, profile_.pin, CKU_SO), CKR_OK);
  EXPECT_EQ(C_Logout(h), CKR_OK);
  EXPECT_EQ(Info(h).state, CKS_RW_PUBLIC_SESSION);
}

TEST_F(Sessions, PinLengthOutOfRangeCostsNoTry) {
  const CK_SESSION_HANDLE h = Open();
  TakeTrace();
  for (const char* pin : {"123", "1", "12345678901234567"}) {
    EXPECT_EQ(to_string(Login(h, pin)), "CKR_PIN_LEN_RANGE") << pin;
    EXPECT_EQ(card->PinTriesLeft(), 3);
  }
  for (const auto& e : TakeTrace()) EXPECT_FALSE(IsCommand(e, 0x00, 0x20)) << "a VERIFY went out";
  EXPECT_EQ(Info(h).state, CKS_RO_PUBLIC_SESSION);
}

TEST_F(Sessions, WrongBlockedAndEmptyPins) {
  const CK_SESSION_HANDLE h = Open();
  EXPECT_EQ(to_string(Login(h, "9999")), "CKR_PIN_INCORRECT");
  EXPECT_EQ(card->PinTriesLeft(), 2);
  EXPECT_EQ(Info(h).state, CKS_RO_PUBLIC_SESSION);
  // An empty PIN asks the card: its answer passes out as it is.
  EXPECT_EQ(to_string(C_Login(h, CKU_USER, nullptr, 0)), to_string(0x801063C2));
  card->BlockPin();
  EXPECT_EQ(to_string(Login(h, profile_.pin)), "CKR_PIN_LOCKED");
  EXPECT_EQ(Info(h).state, CKS_RO_PUBLIC_SESSION);
  // Verified on the card already: the empty PIN logs in.
  card->SetPinTries(3);
  card->SetPinVerified(true);
  EXPECT_EQ(C_Login(h, CKU_USER, nullptr, 0), CKR_OK);
  EXPECT_EQ(Info(h).state, CKS_RO_USER_FUNCTIONS);
}

TEST_F(Sessions, SetPinOnAReadOnlyPublicSession) {
  const CK_SESSION_HANDLE h = Open(kRO);
  auto setPin = [&](std::string oldPin, std::string newPin) {
    return to_string(C_SetPIN(h, reinterpret_cast<CK_UTF8CHAR_PTR>(oldPin.data()), oldPin.size(),
                              reinterpret_cast<CK_UTF8CHAR_PTR>(newPin.data()), newPin.size()));
  };
  EXPECT_EQ(setPin(profile_.pin, "123"), "CKR_PIN_LEN_RANGE");
  EXPECT_EQ(setPin("0000", "4321"), "CKR_PIN_INCORRECT");
  EXPECT_EQ(card->PinTriesLeft(), 2);
  EXPECT_EQ(setPin(profile_.pin, "4321"), "CKR_OK");
  EXPECT_EQ(card->CurrentPin(), "4321");
  EXPECT_EQ(Info(h).state, CKS_RO_PUBLIC_SESSION);
  EXPECT_EQ(Login(h, "4321"), CKR_OK);
}

TEST_F(Sessions, TokenInfoPinBitsComeWithSessions) {
  CK_TOKEN_INFO info;
  constexpr CK_FLAGS kPinBits = CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_LOCKED;
  card->SetPinTries(1);
  ASSERT_EQ(C_GetTokenInfo(slot_, &info), CKR_OK);
  TakeTrace();
  ASSERT_EQ(C_GetTokenInfo(slot_, &info), CKR_OK);
  EXPECT_EQ(info.flags & kPinBits, 0u) << "without a session the card is not asked";
  EXPECT_TRUE(TakeTrace().empty());

  const CK_SESSION_HANDLE h = Open();
  const struct {
    int tries;
    CK_FLAGS bits;
  } rows[] = {
      {3, 0},
      {2, CKF_USER_PIN_COUNT_LOW},
      {1, CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY},
      {0, CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_LOCKED},
  };
  for (const auto& r : rows) {
    card->SetPinTries(r.tries);
    ASSERT_EQ(C_GetTokenInfo(slot_, &info), CKR_OK);
    EXPECT_EQ(info.flags & kPinBits, r.bits) << r.tries << " tries";
  }
  card->SetPinTries(2);
  ASSERT_EQ(Login(h, profile_.pin), CKR_OK);
  ASSERT_EQ(C_GetTokenInfo(slot_, &info), CKR_OK);
  EXPECT_EQ(info.flags & kPinBits, 0u) << "a verified PIN is no low count";
}

TEST_F(Sessions, FailedOpenLeavesNoContext) {
  CK_SESSION_HANDLE h = 0;
  CK_TOKEN_INFO info;
  ASSERT_EQ(C_GetTokenInfo(slot_, &info), CKR_OK);
  Fake().FailNext("BeginTransaction", SCARD_E_SHARING_VIOLATION);
  EXPECT_EQ(to_string(C_OpenSession(slot_, kRO, nullptr, nullptr, &h)), "CKR_DEVICE_ERROR");
  EXPECT_EQ(Fake().OpenHandles(), 0u) << "the context's connection was dropped";
  // A directory that cannot be read: the card status passes out.
  card->FailAt(5, 0x6F00);
  EXPECT_EQ(to_string(C_OpenSession(slot_, kRO, nullptr, nullptr, &h)), to_string(0x80106F00));
  EXPECT_EQ(Fake().OpenHandles(), 0u);
  EXPECT_EQ(to_string(C_GetTokenInfo(slot_, &info)), "CKR_TOKEN_NOT_RECOGNIZED");
  h = Open();
  EXPECT_EQ(FindAll(h).size(), profile_.keys.size() * 2 + 1);
  EXPECT_EQ(C_GetTokenInfo(slot_, &info), CKR_OK);
}

}  // namespace
