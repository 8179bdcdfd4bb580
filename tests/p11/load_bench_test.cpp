// Processes that load the module through pcscd at once, on one token: one
// with eight threads, then three together. Each checks every signature it
// was given on the host and ends a blocked C_WaitForSlotEvent with
// C_Finalize. Another process may reset the card and log the others out,
// so not every call succeeds: what must hold is that none crashes, every
// return value is one the calls may give, and every signature reported OK
// is right. ZORBIX_LOAD_SECONDS sets how long each works (2 s by default).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <future>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "p11/module.h"
#include "sim/bench.h"
#include "sim/card.h"
#include "tests/ui/subprocess.h"

namespace {

using zorbix::testing::ProcessResult;
using zorbix::testing::RunProgram;

std::string Seconds() {
  const char* s = std::getenv("ZORBIX_LOAD_SECONDS");
  return s && *s ? s : "2";
}

class LoadOnBench : public ::testing::TestWithParam<std::string> {
 protected:
  static void SetUpTestSuite() { bench_ = zorbix::sim::Bench::Start(1).release(); }
  static void TearDownTestSuite() {
    delete bench_;
    bench_ = nullptr;
  }

  std::vector<std::string> Args(const std::string& threads) {
    const auto& key = profile_->keys[0];
    return {ZORBIX_P11_MODULE, bench_->ReaderName(0), profile_->pin, Seconds(), threads,
            zorbix::sim::ToHex(key.modulus), zorbix::sim::ToHex(key.publicExponent)};
  }

  // Checks one client's report and adds its counts to `rvs`.
  void Judge(const std::string& who, const ProcessResult& r, std::map<std::string, long>* rvs) {
    EXPECT_EQ(r.status, 0) << who << ": " << r.out << r.err;
    std::istringstream in(r.out);
    std::string first;
    std::getline(in, first);
    std::cout << "[ figures  ] " << GetParam() << ", " << who << ": " << first << "\n";
    EXPECT_NE(first.find("wrong 0 "), std::string::npos) << who << ": " << first;
    if (first.rfind("signed ", 0) == 0) signed_ += std::atol(first.c_str() + 7);
    for (std::string word, hex; in >> word >> hex;) {
      long n = 0;
      in >> n;
      (*rvs)[zorbix::p11::to_string(std::stoul(hex, nullptr, 16))] += n;
    }
  }

  static void ExpectLegal(const std::map<std::string, long>& rvs) {
    std::cout << "[ figures  ]";
    for (const auto& [rv, n] : rvs) std::cout << " " << rv << " x" << n << ";";
    std::cout << "\n";
    // A token reset by another process: its sessions end or log out, and
    // the shared search or sign operation may be another's. On the
    // secure-channel card another process's channel replaces this one's, and
    // the card refuses what needs the PIN (a card status value, 0x80106982).
    for (const auto& [rv, n] : rvs)
      EXPECT_TRUE(rv == "CKR_OK" || rv == "CKR_USER_ALREADY_LOGGED_IN" || rv == "CKR_OPERATION_ACTIVE" ||
                  rv == "CKR_OPERATION_NOT_INITIALIZED" || rv == "CKR_USER_NOT_LOGGED_IN" ||
                  rv == "CKR_SESSION_HANDLE_INVALID" || rv == "CKR_DEVICE_ERROR" || rv == "CKR_FUNCTION_FAILED" ||
                  rv == "CKR_OBJECT_HANDLE_INVALID" || rv == "CKR_KEY_HANDLE_INVALID" || rv.rfind("CKR_0x8010", 0) == 0)
          << rv << " x" << n;
  }

  static inline zorbix::sim::Bench* bench_ = nullptr;
  long signed_ = 0;  // signatures the processes were given
  const zorbix::sim::Profile* profile_ = zorbix::sim::FindProfile(GetParam());
};

TEST_P(LoadOnBench, EightThreadsInOneProcess) {
  bench_->Insert(0, profile_->name);
  std::map<std::string, long> rvs;
  Judge("1 process, 8 threads", RunProgram(ZORBIX_LOAD_CLIENT, Args("8"), ""), &rvs);
  ExpectLegal(rvs);
  EXPECT_GT(signed_, 0);
  bench_->Remove(0);
}

TEST_P(LoadOnBench, ThreeProcessesAtOnce) {
  bench_->Insert(0, profile_->name);
  std::vector<std::future<ProcessResult>> runs;
  for (int i = 0; i < 3; ++i)
    runs.push_back(std::async(std::launch::async, [this] { return RunProgram(ZORBIX_LOAD_CLIENT, Args("2"), ""); }));
  std::map<std::string, long> rvs;
  for (int i = 0; i < 3; ++i) Judge("process " + std::to_string(i + 1) + " of 3, 2 threads", runs[i].get(), &rvs);
  ExpectLegal(rvs);
  // One process may lose every race for the card; together they sign.
  EXPECT_GT(signed_, 0);
  bench_->Remove(0);
}

// A plain card, and the secure-channel card, whose channel each process
// opens anew.
INSTANTIATE_TEST_SUITE_P(Cards, LoadOnBench, ::testing::Values("TC-ORVA3", "Vexa"), [](const auto& info) {
  std::string n = info.param;
  n.erase(std::remove(n.begin(), n.end(), '-'), n.end());
  return n;
});

}  // namespace
