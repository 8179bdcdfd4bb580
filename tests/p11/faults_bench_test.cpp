// The card pulled out at each command of C_Login and C_Sign through pcscd,
// on a plain and a secure-channel card: pcscd's own removal reaches the
// module (the in-process table, faults_test.cpp, covers every call and
// fault with the fake PC/SC). The call fails as a removal does, and once
// the card is back a new session logs in, lists and signs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "p11/module.h"
#include "tests/p11/bench_fixture.h"

namespace {

using zorbix::p11::to_string;

class PulledAtEachCommand : public zorbix::p11test::OnBench, public ::testing::WithParamInterface<std::string> {
 protected:
  CK_SESSION_HANDLE Open() {
    CK_SESSION_HANDLE h = 0;
    EXPECT_EQ(to_string(C_OpenSession(ReaderSlot(), CKF_SERIAL_SESSION, nullptr, nullptr, &h)), "CKR_OK");
    return h;
  }
  CK_RV Login(CK_SESSION_HANDLE h) {
    std::string pin = profile_->pin;
    return C_Login(h, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(pin.data()), pin.size());
  }
  CK_RV Sign(CK_SESSION_HANDLE h) {
    CK_BYTE data[] = "pulled while signing", signature[512];
    CK_ULONG length = sizeof signature;
    return C_Sign(h, data, sizeof data, signature, &length);
  }
  // Logged in, with a sign operation on the first private key.
  void ReadyToSign(CK_SESSION_HANDLE h) {
    ASSERT_EQ(to_string(Login(h)), "CKR_OK");
    CK_OBJECT_CLASS c = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE t{CKA_CLASS, &c, sizeof c};
    CK_OBJECT_HANDLE key = 0;
    CK_ULONG n = 0;
    ASSERT_EQ(C_FindObjectsInit(h, &t, 1), CKR_OK);
    ASSERT_EQ(C_FindObjects(h, &key, 1, &n), CKR_OK);
    ASSERT_EQ(C_FindObjectsFinal(h), CKR_OK);
    ASSERT_EQ(n, 1u);
    CK_MECHANISM m{CKM_SHA1_RSA_PKCS, nullptr, 0};
    ASSERT_EQ(C_SignInit(h, &m, key), CKR_OK);
  }

  void EachCommand(const std::string& call, const std::function<void(CK_SESSION_HANDLE)>& prepare,
                   const std::function<CK_RV(CK_SESSION_HANDLE)>& run) {
    std::size_t n = 0;
    {
      zorbix::sim::Card& card = bench_->Insert(0, profile_->name);
      const CK_SESSION_HANDLE h = Open();
      prepare(h);
      ASSERT_FALSE(HasFatalFailure());
      card.StartTrace();
      ASSERT_EQ(to_string(run(h)), "CKR_OK");
      n = card.Trace().size();
      C_CloseAllSessions(ReaderSlot());
    }
    ASSERT_GT(n, 0u);
    // Every third command in CI (and the last); ZORBIX_FAULTS=full: all.
    const char* mode = std::getenv("ZORBIX_FAULTS");
    const bool full = mode && std::string(mode) == "full";
    std::size_t cases = 0;
    for (std::size_t k = 1; k <= n; ++k) {
      if (!full && k % 3 != 1 && k != n) continue;
      ++cases;
      SCOPED_TRACE(GetParam() + " " + call + ": pulled after command " + std::to_string(k - 1) + " of " +
                   std::to_string(n));
      zorbix::sim::Card& card = bench_->Insert(0, profile_->name);
      const CK_SESSION_HANDLE h = Open();
      prepare(h);
      ASSERT_FALSE(HasFatalFailure());
      if (k == 1) {
        card.Remove();
      } else {
        card.RemoveAfter(static_cast<int>(k - 1));
      }
      const CK_RV rv = run(h);
      ASSERT_TRUE(bench_->WaitPresent(0, false));
      // pcscd may answer the first command after the card left with no
      // bytes and success: a device error then (the signing calls' data
      // error), and the removal shows at the next call.
      EXPECT_TRUE(rv == CKR_SESSION_HANDLE_INVALID || rv == CKR_DEVICE_REMOVED || rv == CKR_DEVICE_ERROR ||
                  rv == CKR_DATA_INVALID)
          << to_string(rv);
      // The session is gone, or goes at its next call.
      CK_OBJECT_CLASS c = CKO_CERTIFICATE;
      CK_ATTRIBUTE t{CKA_CLASS, &c, sizeof c};
      EXPECT_EQ(to_string(C_FindObjectsInit(h, &t, 1)), "CKR_SESSION_HANDLE_INVALID");

      card.Reset();
      card.Insert();
      ASSERT_TRUE(bench_->WaitPresent(0, true));
      const CK_SESSION_HANDLE again = Open();
      ReadyToSign(again);
      EXPECT_EQ(to_string(Sign(again)), "CKR_OK");
      C_CloseAllSessions(ReaderSlot());
      if (HasFailure()) return;
    }
    std::cout << "[ figures  ] " << GetParam() << " " << call << ": " << n << " commands, " << cases << " cases (the card pulled before command k)\n";
  }

  const zorbix::sim::Profile* profile_ = zorbix::sim::FindProfile(GetParam());
};

TEST_P(PulledAtEachCommand, Login) {
  EachCommand("C_Login", [](CK_SESSION_HANDLE) {}, [this](CK_SESSION_HANDLE h) { return Login(h); });
}

TEST_P(PulledAtEachCommand, Sign) {
  EachCommand("C_Sign", [this](CK_SESSION_HANDLE h) { ReadyToSign(h); }, [this](CK_SESSION_HANDLE h) { return Sign(h); });
}

INSTANTIATE_TEST_SUITE_P(Cards, PulledAtEachCommand, ::testing::Values("TC-ORVA3", "Vexa"), [](const auto& info) {
  std::string n = info.param;
  n.erase(std::remove(n.begin(), n.end(), '-'), n.end());
  return n;
});

}  // namespace
