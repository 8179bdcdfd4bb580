// The built ORVA_P11.so in outside applications, on every virtual card
// through the real pcscd: PyKCS11 reads every object and checks each
// certificate against its keys, and GnuTLS's p11tool lists the objects with
// and without login. The card's own trace shows how the PIN travelled.
// p11tool and OpenSSL's pkcs11 engine sign with the card's keys.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "sim/bench.h"
#include "sim/profile.h"
#include "tests/e2e/key_urls.h"
#include "tests/e2e/outside.h"
#include "tests/support/temp_dir.h"
#include "tests/ui/subprocess.h"

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

// p11tool signs with each key and checks the signature against the private
// key's parameters and the public key object; OpenSSL, through its pkcs11
// engine, signs a file with SHA-256 that it verifies with the certificate's
// key.
TEST_P(OutsideApplications, SignWithP11toolAndTheOpensslEngine) {
  const sim::Profile& profile = *sim::FindProfile(GetParam());
  bench_->Insert(0, profile.name);
  TempDir dir;
  const auto file = [&dir](const char* name) { return (dir.path() / name).string(); };
  ASSERT_EQ(RunProgram("/bin/sh", {"-c", "printf 'signed through the pkcs11 engine' > " + file("data")}, "").status, 0);

  std::size_t signers = 0;
  for (const auto& [url, signs] : KeyUrls(profile)) {
    SCOPED_TRACE(url);
    if (!signs && OutsidePreloaded()) continue;
    const ProcessResult test = Outside({"GNUTLS_PIN=" + profile.pin, "p11tool", "--provider", ZORBIX_P11_MODULE,
                                        "--login", "--test-sign", url});
    if (!signs) {
      // Refused by the token, and p11tool ends normally on it.
      EXPECT_EQ(test.status, 1) << test.out << test.err;
      EXPECT_NE(test.err.find("Cannot sign data: PKCS #11 error in key"), std::string::npos) << test.err;
      continue;
    }
    ++signers;
    EXPECT_EQ(test.status, 0) << test.out << test.err;
    EXPECT_NE((test.out + test.err).find("Verifying against public key in the token... ok"), std::string::npos)
        << test.out << test.err;

    const ProcessResult sign =
        Outside({std::string("PKCS11_MODULE_PATH=") + ZORBIX_P11_MODULE, "openssl", "dgst", "-sha256", "-engine",
                 "pkcs11", "-keyform", "engine", "-sign", url + ";type=private;pin-value=" + profile.pin, "-out",
                 file("sig"), file("data")});
    ASSERT_EQ(sign.status, 0) << sign.out << sign.err;
    const ProcessResult cert =
        Outside({"p11tool", "--provider", ZORBIX_P11_MODULE, "--export", url + ";type=cert", "--outfile",
                 file("cert.pem")});
    ASSERT_EQ(cert.status, 0) << cert.err;
    ASSERT_EQ(RunProgram("/usr/bin/openssl", {"x509", "-in", file("cert.pem"), "-pubkey", "-noout", "-out",
                                              file("key.pem")}, "").status, 0);
    const ProcessResult verify = RunProgram(
        "/usr/bin/openssl", {"dgst", "-sha256", "-verify", file("key.pem"), "-signature", file("sig"), file("data")}, "");
    EXPECT_EQ(verify.status, 0) << verify.out << verify.err;
    EXPECT_EQ(verify.out, "Verified OK\n");
  }
  EXPECT_GT(signers, 0u);
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
