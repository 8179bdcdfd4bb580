// Writing objects through the real pcscd on the virtual cards: outside
// applications (PyKCS11, p11tool) create, read back, rename and destroy
// objects, one process per step, and the freed space takes the next value;
// a card pulled at each command of a create and of a destroy leaves every
// object that was complete before readable by a fresh process; and what the
// writing calls cost in APDUs on every card.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
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
#include "tests/p11/bench_fixture.h"
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

// One bench for the suite; the module of this process initialised around
// each test.
class Writes : public p11test::OnBench {
 protected:
  void Use(const std::string& profile) { profile_ = *sim::FindProfile(profile); }

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

  sim::Profile profile_;
};

// ---- outside applications, one process per step

class OutsideApplications : public Writes, public ::testing::WithParamInterface<std::string> {
 protected:
  void SetUp() override {
    Writes::SetUp();
    Use(GetParam());
  }
};

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

// ---- the module in this process

// A certificate and a data object as the module's callers write them.
struct Templates {
  CK_OBJECT_CLASS data = CKO_DATA, certificate = CKO_CERTIFICATE;
  CK_CERTIFICATE_TYPE x509 = CKC_X_509;
  CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
  std::string label;
  Bytes value;
  Bytes der = sim::PkiFile("user-auth-1024.crt.der");

  explicit Templates(std::string l, std::string v = "") : label(std::move(l)), value(v.begin(), v.end()) {}
  std::vector<CK_ATTRIBUTE> Data(bool isPrivate) {
    return {{CKA_CLASS, &data, sizeof data},
            {CKA_TOKEN, &yes, 1},
            {CKA_PRIVATE, isPrivate ? &yes : &no, 1},
            {CKA_LABEL, label.data(), label.size()},
            {CKA_VALUE, value.data(), value.size()}};
  }
  std::vector<CK_ATTRIBUTE> Certificate() {
    return {{CKA_CLASS, &certificate, sizeof certificate},
            {CKA_CERTIFICATE_TYPE, &x509, sizeof x509},
            {CKA_TOKEN, &yes, 1},
            {CKA_LABEL, label.data(), label.size()},
            {CKA_VALUE, der.data(), der.size()}};
  }
};

class InProcess : public Writes {
 protected:
  void TearDown() override {
    if (slot_) C_CloseAllSessions(slot_);
    Writes::TearDown();
  }

  // A card of the profile in the reader, with a read-write session logged in.
  sim::Card& Insert(const std::string& profile) {
    Use(profile);
    if (slot_) C_CloseAllSessions(slot_);
    sim::Card& card = bench_->Insert(0, profile);
    slot_ = ReaderSlot();
    return card;
  }

  CK_SESSION_HANDLE OpenUser() {
    CK_SESSION_HANDLE h = 0;
    EXPECT_EQ(p11::to_string(C_OpenSession(slot_, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h)),
              "CKR_OK");
    std::string pin = profile_.pin;
    EXPECT_EQ(p11::to_string(C_Login(h, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(pin.data()), pin.size())),
              "CKR_OK");
    return h;
  }

  CK_RV Create(CK_SESSION_HANDLE h, std::vector<CK_ATTRIBUTE> tmpl, CK_OBJECT_HANDLE* object = nullptr) {
    CK_OBJECT_HANDLE dummy = 0;
    return C_CreateObject(h, tmpl.data(), tmpl.size(), object ? object : &dummy);
  }

  CK_OBJECT_HANDLE ByLabel(CK_SESSION_HANDLE h, std::string label) {
    CK_ATTRIBUTE byLabel{CKA_LABEL, label.data(), label.size()};
    CK_OBJECT_HANDLE found[2];
    CK_ULONG n = 0;
    EXPECT_EQ(C_FindObjectsInit(h, &byLabel, 1), CKR_OK);
    EXPECT_EQ(C_FindObjects(h, found, 2, &n), CKR_OK);
    EXPECT_EQ(C_FindObjectsFinal(h), CKR_OK);
    EXPECT_EQ(n, 1u) << label;
    return n == 1 ? found[0] : 0;
  }

  CK_SLOT_ID slot_ = 0;
};

// What the writing calls cost in APDUs on each card, counted on the card's
// side (GET RESPONSE and envelope chunks are exchanges of their own).
TEST_F(InProcess, ApduCostsOnEveryProfile) {
  struct Cost {
    std::string profile;
    std::map<std::string, std::size_t> of;
  };
  const std::vector<std::string> operations = {
      "create data (first write)", "create data", "create certificate", "rename data",
      "change data value",          "destroy data", "destroy certificate", "create data (reuse)"};
  std::vector<Cost> costs;
  for (const auto& p : sim::AllProfiles()) {
    SCOPED_TRACE(p.name);
    sim::Card& card = Insert(p.name);
    const CK_SESSION_HANDLE h = OpenUser();
    Cost cost{p.name, {}};
    const auto measure = [&](const std::string& what, const std::function<CK_RV()>& run) {
      card.ClearTrace();
      EXPECT_EQ(p11::to_string(run()), "CKR_OK") << what;
      cost.of[what] = card.Trace().size();
      if (std::getenv("ZORBIX_WRITES_TRACE")) std::cerr << "---- " << p.name << ": " << what << "\n" << card.TraceText();
    };
    Templates first("first", "the first data object"), second("second", "the second data object");
    Templates cert("certificate"), reuse("reuse", "short");
    measure("create data (first write)", [&] { return Create(h, first.Data(false)); });
    measure("create data", [&] { return Create(h, second.Data(false)); });
    measure("create certificate", [&] { return Create(h, cert.Certificate()); });
    const CK_OBJECT_HANDLE data = ByLabel(h, "first");
    measure("rename data", [&] {
      std::string label = "first renamed";
      CK_ATTRIBUTE a{CKA_LABEL, label.data(), label.size()};
      return C_SetAttributeValue(h, data, &a, 1);
    });
    measure("change data value", [&] {
      std::string value = "a changed value";
      CK_ATTRIBUTE a{CKA_VALUE, value.data(), value.size()};
      return C_SetAttributeValue(h, data, &a, 1);
    });
    const CK_OBJECT_HANDLE certificate = ByLabel(h, "certificate");
    measure("destroy data", [&] { return C_DestroyObject(h, data); });
    measure("destroy certificate", [&] { return C_DestroyObject(h, certificate); });
    measure("create data (reuse)", [&] { return Create(h, reuse.Data(false)); });
    costs.push_back(cost);
  }
  std::cout << "[ figures  ] APDUs per call, in one session logged in (the first write of a session "
               "also reads the unused-space file and asks the directory's size)\n[ figures  ] | profile |";
  for (const auto& o : operations) std::cout << " " << o << " |";
  std::cout << "\n";
  for (const Cost& c : costs) {
    std::cout << "[ figures  ] | " << c.profile << " |";
    for (const auto& o : operations) std::cout << " " << c.of.at(o) << " |";
    std::cout << "\n";
  }
  bench_->Remove(0);
}

// The card leaves the reader right after the n-th command of one create
// and of one destroy, for every n the operation's trace counts. Once it is
// back, a fresh process finds every object that was complete before with
// its value, the destroyed one at most missing and the created one at most
// added, complete.
class PulledOut : public InProcess, public ::testing::WithParamInterface<std::string> {
 protected:
  struct Operation {
    std::function<CK_OBJECT_HANDLE(CK_SESSION_HANDLE)> target;  // found before the card is armed
    std::function<CK_RV(CK_SESSION_HANDLE, CK_OBJECT_HANDLE)> run;
  };

  // A fresh card and a session ready for the operation.
  std::pair<sim::Card*, CK_SESSION_HANDLE> Prepared() {
    sim::Card& card = Insert(GetParam());
    return {&card, OpenUser()};
  }

  void AfterEveryCommand(const Operation& op, const Lines& added, const std::string& removedLabel) {
    Lines before, after;
    std::size_t commands = 0;
    {
      // Listed first: a secure channel the listing opens would end this
      // session's.
      Insert(GetParam());
      before = List();
      auto [card, h] = std::pair{bench_->CardIn(0), OpenUser()};
      const CK_OBJECT_HANDLE target = op.target(h);
      card->ClearTrace();
      ASSERT_EQ(p11::to_string(op.run(h, target)), "CKR_OK");
      commands = card->Trace().size();
      C_CloseAllSessions(slot_);
      after = List();
    }
    ASSERT_NE(before, after);
    ASSERT_GT(commands, 3u);
    std::cout << "[ figures  ] " << GetParam() << ": pulled after each of the call's " << commands
              << " commands\n";
    const std::string removed = " " + HexOf(removedLabel) + " ";
    for (std::size_t n = 1; n <= commands; ++n) {
      auto [card, h] = Prepared();
      const CK_OBJECT_HANDLE target = op.target(h);
      card->RemoveAfter(static_cast<int>(n));
      const CK_RV rv = op.run(h, target);
      ASSERT_TRUE(bench_->WaitPresent(0, false)) << "after command " << n;
      C_CloseAllSessions(slot_);
      card->Insert();
      ASSERT_TRUE(bench_->WaitPresent(0, true)) << "after command " << n;
      const Lines listed = List();
      const std::string what = "pulled after command " + std::to_string(n) + " of " + std::to_string(commands) +
                               ", the call gave " + p11::to_string(rv);
      for (const std::string& line : before) {
        if (!removedLabel.empty() && line.find(removed) != std::string::npos) continue;
        EXPECT_TRUE(std::count(listed.begin(), listed.end(), line) == 1) << what << ": lost or doubled " << line;
      }
      for (const std::string& line : listed)
        EXPECT_TRUE(std::count(before.begin(), before.end(), line) + std::count(added.begin(), added.end(), line) == 1)
            << what << ": listed " << line;
      if (rv == CKR_OK) {
        EXPECT_EQ(listed, after) << what;
      }
    }
  }
};

TEST_P(PulledOut, CreateOfACertificate) {
  const std::string label = "pulled certificate";
  const Bytes der = sim::PkiFile("user-auth-1024.crt.der");
  AfterEveryCommand({[](CK_SESSION_HANDLE) { return CK_OBJECT_HANDLE{0}; },
                     [&](CK_SESSION_HANDLE h, CK_OBJECT_HANDLE) { return Create(h, Templates(label).Certificate()); }},
                    {Line(CKO_CERTIFICATE, false, label, der)}, "");
}

// The card's public data object, listed before its private one: it swaps
// its way to the end of the directory before it leaves.
TEST_P(PulledOut, DestroyOfTheFirstDataObject) {
  const std::string label = "ZORBIX Datos";
  AfterEveryCommand({[&](CK_SESSION_HANDLE h) { return ByLabel(h, label); },
                     [](CK_SESSION_HANDLE h, CK_OBJECT_HANDLE o) { return C_DestroyObject(h, o); }},
                    {}, label);
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
// A plain card, a card family 1.0 card, a secure-channel card.
INSTANTIATE_TEST_SUITE_P(Cards, PulledOut, ::testing::Values("HALVO", "HALVO1_0", "Vexa"), TestName);

}  // namespace
}  // namespace zorbix::testing
