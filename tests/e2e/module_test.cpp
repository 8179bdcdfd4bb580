// The built ORVA_P11.so in outside applications, on every virtual card
// through the real pcscd: PyKCS11 reads every object and checks each
// certificate against its keys, and GnuTLS's p11tool lists the objects with
// and without login. The card's own trace shows how the PIN travelled.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "sim/bench.h"
#include "sim/profile.h"
#include "tests/e2e/outside.h"

namespace zorbix::testing {
namespace {

class OutsideApplications : public ::testing::TestWithParam<std::string> {
 protected:
  static void SetUpTestSuite() { bench_ = sim::Bench::Start(1).release(); }
  static void TearDownTestSuite() {
    delete bench_;
    bench_ = nullptr;
  }

  static std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }

  static sim::Bench* bench_;
};

sim::Bench* OutsideApplications::bench_ = nullptr;

TEST_P(OutsideApplications, ReadEveryObjectAndLogIn) {
  const sim::Profile& profile = *sim::FindProfile(GetParam());
  sim::Card& card = bench_->Insert(0, profile.name);
  const std::size_t keys = profile.keys.size();
  const std::string publicObjects = std::to_string(2 * keys + 1);
  const std::string allObjects = std::to_string(3 * keys + 2);

  const ProcessResult py = Outside({"/usr/bin/python3", ZORBIX_E2E_SCRIPTS "/pkcs11_objects.py",
                                    ZORBIX_P11_MODULE, bench_->ReaderName(0), profile.pin});
  EXPECT_EQ(py.status, 0) << py.out << py.err;
  EXPECT_EQ(py.out, "objects: " + publicObjects + " " + allObjects + " keys: " + std::to_string(keys) + "\n")
      << py.err;

  // The PIN went to the card inside the secure channel, or plain on the
  // cards without one.
  const std::size_t pinBytes = profile.pin.size();
  std::size_t plainVerify = 0, protectedCommands = 0;
  for (const auto& e : card.Trace()) {
    if (e.command.size() == 5 + pinBytes && e.command[0] == 0x00 && e.command[1] == 0x20) ++plainVerify;
    if (!e.command.empty() && (e.command[0] & 0x0C) == 0x0C) ++protectedCommands;
  }
  EXPECT_EQ(plainVerify, profile.secureChannel ? 0u : 1u);
  EXPECT_EQ(protectedCommands > 0, profile.secureChannel);

  const ProcessResult before = Outside({"p11tool", "--provider", ZORBIX_P11_MODULE, "--list-all", "pkcs11:"});
  EXPECT_EQ(before.status, 0) << before.err;
  EXPECT_EQ(Count(before.out, "URL: pkcs11:"), 2 * keys + 1) << before.out;
  EXPECT_EQ(Count(before.out, "type=private"), 0u) << before.out;

  const ProcessResult after = Outside({"GNUTLS_PIN=" + profile.pin, "p11tool", "--provider", ZORBIX_P11_MODULE,
                                       "--login", "--list-all", "pkcs11:"});
  EXPECT_EQ(after.status, 0) << after.err;
  EXPECT_EQ(Count(after.out, "URL: pkcs11:"), 3 * keys + 2) << after.out;
  EXPECT_EQ(Count(after.out, "type=private"), keys) << after.out;
  EXPECT_EQ(Count(after.out, "type=cert"), keys) << after.out;
  bench_->Remove(0);
}

std::vector<std::string> ProfileNames() {
  std::vector<std::string> names;
  for (const auto& p : sim::AllProfiles()) names.push_back(p.name);
  return names;
}

INSTANTIATE_TEST_SUITE_P(Cards, OutsideApplications, ::testing::ValuesIn(ProfileNames()),
                         [](const auto& info) {
                           std::string n = info.param;
                           std::replace(n.begin(), n.end(), '-', '_');
                           return n;
                         });

}  // namespace
}  // namespace zorbix::testing
