// The module under load in one process, on a virtual card behind the fake
// PC/SC: eight threads working one token (open, login, find, read, sign,
// close) for a while, every signature reported OK checked on the host; a
// blocked C_WaitForSlotEvent ended by C_Finalize; and a thousand
// open/login/list/close cycles with the resident memory flat after the
// first hundred. ZORBIX_LOAD_SECONDS sets how long the threads work (2 s
// by default); scripts/load.sh runs longer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "comm/crypto.h"
#include "tests/p11/token_fixture.h"
#include "tests/support/pkcs1.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZORBIX_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define ZORBIX_ASAN 1
#endif

namespace {

using zorbix::p11::to_string;
using zorbix::p11test::Bytes;
using zorbix::p11test::Fake;
using zorbix::p11test::TokenTest;

double Seconds() {
  const char* s = std::getenv("ZORBIX_LOAD_SECONDS");
  return s && *s ? std::stod(s) : 2.0;
}

// VmRSS of this process in KiB.
long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

class Load : public TokenTest {
 protected:
  void SetUp() override {
    UseCard("TC-ORVA3");
    // Nothing kept per exchange: memory figures are the module's.
    card->StopTrace();
  }
};

TEST_F(Load, EightThreadsOnOneToken) {
  const zorbix::crypto::RsaPublicKey key{profile_.keys[0].modulus, profile_.keys[0].publicExponent};
  ASSERT_EQ(profile_.keys[0].reference, 1);
  std::mutex mu;
  std::map<std::string, long> seen;
  std::atomic<long> signedCount{0}, wrong{0};
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(static_cast<long>(Seconds() * 1000));
  const auto note = [&](CK_RV rv) {
    std::lock_guard<std::mutex> lock(mu);
    ++seen[to_string(rv)];
    return rv;
  };
  const auto work = [&](int id) {
    CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
    std::string label = "KprivAutenticacion";
    CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
    for (long round = 0; std::chrono::steady_clock::now() < end; ++round) {
      CK_SESSION_HANDLE h = 0;
      if (note(C_OpenSession(slot_, CKF_SERIAL_SESSION, nullptr, nullptr, &h)) != CKR_OK) continue;
      std::string pin = profile_.pin;
      note(C_Login(h, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(pin.data()), pin.size()));
      CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &keyClass, sizeof keyClass}, {CKA_LABEL, label.data(), label.size()}};
      CK_OBJECT_HANDLE found[4];
      CK_ULONG n = 0;
      if (note(C_FindObjectsInit(h, tmpl, 2)) == CKR_OK) {
        note(C_FindObjects(h, found, 4, &n));
        note(C_FindObjectsFinal(h));
      }
      for (CK_ULONG i = 0; i < n; ++i) {
        Bytes modulus(512);
        CK_ATTRIBUTE a{CKA_MODULUS, modulus.data(), modulus.size()};
        note(C_GetAttributeValue(h, found[i], &a, 1));
        if (note(C_SignInit(h, &mechanism, found[i])) != CKR_OK) continue;
        const std::string text = "thread " + std::to_string(id) + " round " + std::to_string(round);
        Bytes data(text.begin(), text.end()), signature(512);
        CK_ULONG length = signature.size();
        if (note(C_Sign(h, data.data(), data.size(), signature.data(), &length)) != CKR_OK) continue;
        ++signedCount;
        signature.resize(length);
        if (zorbix::crypto::RsaPublic(key, signature) != zorbix::testing::PadType1(data, key.modulus.size()))
          ++wrong;
      }
      note(C_CloseSession(h));
    }
  };
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) threads.emplace_back(work, i);
  for (auto& t : threads) t.join();

  std::cout << "[ figures  ] 8 threads for " << Seconds() << " s: " << signedCount.load() << " signatures;";
  for (const auto& [rv, n] : seen) std::cout << " " << rv << " x" << n << ";";
  std::cout << "\n";
  EXPECT_EQ(wrong.load(), 0) << "signatures reported OK that are wrong";
  EXPECT_GT(signedCount.load(), 0);
  // The token's one login, search and sign operation are shared by its
  // sessions: another thread's may be under way.
  for (const auto& [rv, n] : seen)
    EXPECT_TRUE(rv == "CKR_OK" || rv == "CKR_USER_ALREADY_LOGGED_IN" || rv == "CKR_OPERATION_ACTIVE" ||
                rv == "CKR_OPERATION_NOT_INITIALIZED")
        << rv << " x" << n;
}

// What NSS does at exit: one thread waits for a slot event, another ends
// the module. The wait ends with it.
TEST_F(Load, FinalizeEndsABlockedWait) {
  CK_SLOT_ID event = 0;
  while (C_WaitForSlotEvent(CKF_DONT_BLOCK, &event, nullptr) == CKR_OK) {
  }
  Fake().SetWaitMode(zorbix::testing::FakeScard::WaitMode::Real);
  std::atomic<CK_RV> waited{CKR_CANCEL};
  std::atomic<bool> returned{false};
  std::thread waiter([&] {
    waited = C_WaitForSlotEvent(0, &event, nullptr);
    returned = true;
  });
  for (int i = 0; i < 5000 && Fake().BlockedWaits() == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_EQ(Fake().BlockedWaits(), 1u);
  // A session at work meanwhile.
  const CK_SESSION_HANDLE h = Open();
  EXPECT_EQ(Login(h, profile_.pin), CKR_OK);
  EXPECT_FALSE(FindAll(h).empty());
  EXPECT_FALSE(returned.load());

  const auto finalize = std::chrono::steady_clock::now();
  EXPECT_EQ(C_Finalize(nullptr), CKR_OK);
  for (int i = 0; i < 5000 && !returned.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - finalize).count();
  ASSERT_TRUE(returned.load()) << "the wait outlived the module by 5 s";
  waiter.join();
  EXPECT_EQ(to_string(waited.load()), "CKR_CRYPTOKI_NOT_INITIALIZED");
  std::cout << "[ figures  ] C_Finalize to the wait's return: " << ms << " ms\n";
  Fake().SetWaitMode(zorbix::testing::FakeScard::WaitMode::Immediate);
  ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
  slot_ = FindSlot();
}

TEST_F(Load, AThousandCyclesKeepMemoryFlat) {
  const int cycles = 1000;
  long at100 = 0, at1000 = 0;
  for (int i = 1; i <= cycles; ++i) {
    CK_SESSION_HANDLE h = 0;
    ASSERT_EQ(C_OpenSession(slot_, CKF_SERIAL_SESSION, nullptr, nullptr, &h), CKR_OK);
    ASSERT_EQ(Login(h, profile_.pin), CKR_OK);
    const auto objects = FindAll(h);
    ASSERT_EQ(objects.size(), 3 * profile_.keys.size() + 2);
    for (CK_OBJECT_HANDLE o : objects) {
      CK_RV rv = CKR_OK;
      Attribute(h, o, CKA_LABEL);
      Attribute(h, o, CKA_VALUE, &rv);
      Attribute(h, o, CKA_MODULUS, &rv);
    }
    // The last session: the token's state goes with it.
    ASSERT_EQ(C_CloseSession(h), CKR_OK);
    Fake().ClearApdus();
    Fake().ClearCalls();
    if (i == 100) at100 = ResidentKiB();
  }
  at1000 = ResidentKiB();
  std::cout << "[ figures  ] VmRSS after cycle 100: " << at100 << " KiB, after cycle " << cycles << ": " << at1000
            << " KiB (" << (at1000 - at100) << " KiB more)\n";
#ifndef ZORBIX_ASAN
  EXPECT_LT(at1000 - at100, 4 * 1024) << "KiB grown between cycle 100 and cycle 1000";
#endif
}

}  // namespace
