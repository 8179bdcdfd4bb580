// Writing objects through the real pcscd on the virtual cards: outside
// applications (PyKCS11, p11tool) create, read back, rename and destroy
// objects, one process per step, and the freed space takes the next value;
// a card pulled at each command of a create and of a destroy leaves every
// object that was complete before readable by a fresh process; and what the
// writing calls cost in APDUs on every card.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "p11/module.h"
#include "sim/bench.h"
#include "sim/content_pki.h"
#include "sim/profile.h"
#include "tests/e2e/outside.h"
#include "tests/p11/reader_slot.h"
#include "tests/support/hex.h"

namespace zorbix::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;

std::string HexOf(const Bytes& b) {
  static const char kHex[] = "0123456789abcdef";
  std::string s;
  for (std::uint8_t c : b) {
    s += kHex[c >> 4];
    s += kHex[c & 0xF];
  }
  return s;
}
std::string HexOf(const std::string& s) { return HexOf(Bytes(s.begin(), s.end())); }

// One line of the listing script: class, private, label, value.
std::string Line(CK_OBJECT_CLASS c, bool isPrivate, const std::string& label, const Bytes& value) {
  return std::to_string(c) + " " + (isPrivate ? "1" : "0") + " " + HexOf(label) + " " + HexOf(value);
}

Lines With(Lines lines, const Lines& more) {
  lines.insert(lines.end(), more.begin(), more.end());
  std::sort(lines.begin(), lines.end());
  return lines;
}

std::string PercentEncoded(const std::string& s) {
  std::string out;
  for (char c : s) out += c == ' ' ? std::string("%20") : std::string(1, c);
  return out;
}

class Writes : public ::testing::TestWithParam<std::string> {
 protected:
  static void SetUpTestSuite() { bench_ = sim::Bench::Start(1).release(); }
  static void TearDownTestSuite() {
    delete bench_;
    bench_ = nullptr;
  }

  void SetUp() override { profile_ = *sim::FindProfile(GetParam()); }

  // One step of the PyKCS11 script in a process of its own.
  std::string Py(const std::string& step, std::vector<std::string> args = {}) {
    std::vector<std::string> all = {"/usr/bin/python3", ZORBIX_E2E_SCRIPTS "/pkcs11_writes.py", ZORBIX_P11_MODULE,
                                    bench_->ReaderName(0), profile_.pin, step};
    all.insert(all.end(), args.begin(), args.end());
    const ProcessResult r = Outside(all);
    EXPECT_EQ(r.status, 0) << step << ": " << r.err;
    return r.out;
  }

  // Every object a fresh process finds after login, with its value.
  Lines List() {
    Lines lines;
    std::istringstream in(Py("list"));
    for (std::string line; std::getline(in, line);)
      if (!line.empty()) lines.push_back(line);
    return lines;
  }

  ProcessResult P11tool(std::vector<std::string> args) {
    args.insert(args.begin(), {"GNUTLS_PIN=" + profile_.pin, "p11tool", "--provider", ZORBIX_P11_MODULE});
    return Outside(args);
  }

  std::string TokenUrl() {
    const ProcessResult r = P11tool({"--list-token-urls"});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out.substr(0, r.out.find('\n'));
  }

  static std::string Counter(sim::Card& card) {
    const Bytes& b = card.FindFile({0x60A1})->data;
    return {b.begin(), b.end()};
  }

  static inline sim::Bench* bench_ = nullptr;
  sim::Profile profile_;
};

// ---- outside applications, one process per step

class OutsideApplications : public Writes {};

TEST_P(OutsideApplications, CreateReadBackRenameDestroyAndReuse) {
  sim::Card& card = bench_->Insert(0, profile_.name);
  const Lines original = List();
  ASSERT_FALSE(original.empty());

  const std::string publicValue = "a public data object written by PyKCS11";
  const std::string privateValue = "a private data object written by PyKCS11";
  const Bytes certificate = sim::PkiFile("user-auth-1024.crt.der");
  Py("create-data", {"e2e public", HexOf(publicValue), "0"});
  Py("create-data", {"e2e private", HexOf(privateValue), "1"});
  const std::string token = TokenUrl();
  const ProcessResult written = P11tool({"--login", "--write", "--load-certificate", ZORBIX_PKI_DIR "/user-auth-1024.crt.pem",
                                         "--label", "e2e certificate", token});
  ASSERT_EQ(written.status, 0) << written.err;

  // Read back by fresh processes, from the card.
  const Bytes pub(publicValue.begin(), publicValue.end()), priv(privateValue.begin(), privateValue.end());
  EXPECT_EQ(List(), With(original, {Line(CKO_DATA, false, "e2e public", pub), Line(CKO_DATA, true, "e2e private", priv),
                                    Line(CKO_CERTIFICATE, false, "e2e certificate", certificate)}));

  Py("rename", {"e2e public", "e2e public renamed"});
  const ProcessResult relabelled =
      P11tool({"--login", "--set-label", "e2e certificate renamed",
               token + ";object=" + PercentEncoded("e2e certificate") + ";type=cert"});
  ASSERT_EQ(relabelled.status, 0) << relabelled.err;
  EXPECT_EQ(List(), With(original, {Line(CKO_DATA, false, "e2e public renamed", pub),
                                    Line(CKO_DATA, true, "e2e private", priv),
                                    Line(CKO_CERTIFICATE, false, "e2e certificate renamed", certificate)}));

  Py("destroy", {"e2e public renamed"});
  Py("destroy", {"e2e private"});
  const ProcessResult deleted = P11tool(
      {"--login", "--batch", "--delete", token + ";object=" + PercentEncoded("e2e certificate renamed") + ";type=cert"});
  ASSERT_EQ(deleted.status, 0) << deleted.err;
  EXPECT_EQ(List(), original);

  // The next value goes into a freed file: the file counter stays, and the
  // card creates no file.
  const std::string counter = Counter(card);
  card.ClearTrace();
  Py("create-data", {"e2e reuse", HexOf(std::string("short")), "0"});
  EXPECT_EQ(Counter(card), counter);
  for (const auto& e : card.Trace()) EXPECT_EQ(e.lines.find("> 90 E0"), std::string::npos) << e.lines;
  EXPECT_EQ(List(), With(original, {Line(CKO_DATA, false, "e2e reuse", Bytes{'s', 'h', 'o', 'r', 't'})}));
  bench_->Remove(0);
}

std::vector<std::string> ProfileNames() {
  std::vector<std::string> names;
  for (const auto& p : sim::AllProfiles()) names.push_back(p.name);
  return names;
}

std::string TestName(const ::testing::TestParamInfo<std::string>& info) {
  std::string n = info.param;
  std::replace(n.begin(), n.end(), '-', '_');
  return n;
}

INSTANTIATE_TEST_SUITE_P(Cards, OutsideApplications, ::testing::ValuesIn(ProfileNames()), TestName);

}  // namespace
}  // namespace zorbix::testing
