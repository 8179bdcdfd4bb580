// Faults at every command of the module's main calls, on a plain card and on
// the secure-channel card, through the C_ functions and the fake PC/SC: the
// card answers command k with an error status, with a corrupted answer, or
// leaves the reader after command k-1, for every k of the call's clean
// trace. Each call must fail with an error of the right kind (or succeed
// with a result that is really right), and once the card is back a new
// session, and a new module, list every object as the card holds it.
//
// CI runs each index with one of the three faults in turn; ZORBIX_FAULTS=full
// (scripts/faults.sh) runs all three at every index.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "comm/crypto.h"
#include "p11/module.h"
#include "sim/content_pkcs15.h"
#include "tests/p11/object_attributes.h"
#include "tests/p11/token_fixture.h"
#include "tests/support/hex.h"
#include "tests/support/pkcs1.h"

namespace {

using zorbix::p11::to_string;
using zorbix::p11test::Bytes;
using zorbix::p11test::Fake;
using zorbix::p11test::TokenTest;
using zorbix::testing::ToHex;

CK_MECHANISM kRsaPkcs{CKM_RSA_PKCS, nullptr, 0};
CK_MECHANISM kKeyPairGen{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};

const std::string kPairId = "fault pair";
const std::string kCreatedLabel = "fault data";
const std::string kDestroyedLabel = "ZORBIX Datos";

// Every attribute an object of these classes can have.
const CK_ATTRIBUTE_TYPE kTypes[] = {
    CKA_CLASS,       CKA_TOKEN,         CKA_PRIVATE,      CKA_LABEL,        CKA_APPLICATION,
    CKA_VALUE,       CKA_OBJECT_ID,     CKA_CERTIFICATE_TYPE, CKA_ISSUER,   CKA_SERIAL_NUMBER,
    CKA_SUBJECT,     CKA_ID,            CKA_TRUSTED,      CKA_CERTIFICATE_CATEGORY, CKA_CHECK_VALUE,
    CKA_KEY_TYPE,    CKA_SENSITIVE,     CKA_ENCRYPT,      CKA_DECRYPT,      CKA_WRAP,
    CKA_UNWRAP,      CKA_SIGN,          CKA_SIGN_RECOVER, CKA_VERIFY,       CKA_VERIFY_RECOVER,
    CKA_DERIVE,      CKA_START_DATE,    CKA_END_DATE,     CKA_MODULUS,      CKA_MODULUS_BITS,
    CKA_PUBLIC_EXPONENT, CKA_EXTRACTABLE, CKA_LOCAL,      CKA_NEVER_EXTRACTABLE, CKA_ALWAYS_SENSITIVE,
    CKA_MODIFIABLE,  CKA_KEY_GEN_MECHANISM,
};

// One object as a caller sees it: each attribute's value, or the refusal.
using Object = std::map<CK_ATTRIBUTE_TYPE, Bytes>;
const Bytes kRefused = {'-'};

struct Listing {
  CK_RV rv = CKR_OK;  // the first failure of the calls that made it
  std::vector<Object> objects;
  std::vector<std::string> Lines() const {
    std::vector<std::string> out;
    for (const Object& o : objects) {
      std::string line;
      for (const auto& [type, value] : o) line += std::to_string(type) + "=" + ToHex(value) + ";";
      out.push_back(line);
    }
    std::sort(out.begin(), out.end());
    return out;
  }
};

enum class Kind { Fail, Corrupt, Remove };
const char* Name(Kind k) { return k == Kind::Fail ? "fail-at" : k == Kind::Corrupt ? "corrupt-at" : "remove-after"; }

// Errors a call may give for a card that misbehaved (a status, a broken
// answer) and for one that left.
// A status word no call translates reaches the caller as 0x80100000 + SW.
bool CardError(CK_RV rv) {
  return (rv & 0xFFFF0000) == 0x80100000 || rv == CKR_DEVICE_ERROR || rv == CKR_FUNCTION_FAILED || rv == CKR_DEVICE_MEMORY ||
         rv == CKR_TOKEN_NOT_RECOGNIZED || rv == CKR_DATA_INVALID || rv == CKR_ENCRYPTED_DATA_INVALID;
}
bool RemovalError(CK_RV rv) {
  return rv == CKR_SESSION_HANDLE_INVALID || rv == CKR_DEVICE_REMOVED || rv == CKR_TOKEN_NOT_PRESENT ||
         rv == CKR_SLOT_ID_INVALID || rv == CKR_DEVICE_ERROR;
}

class Faults : public TokenTest, public ::testing::WithParamInterface<std::tuple<std::string, std::string>> {
 protected:
  // What a prepared call works on.
  struct Case {
    CK_SESSION_HANDLE h = 0;
    CK_OBJECT_HANDLE key = 0, target = 0;
    CK_OBJECT_HANDLE pub = 0, priv = 0;
    Bytes output;
    Listing listing;
  };
  struct Operation {
    bool writes;
    std::function<void(Case&)> prepare;  // before the fault is armed
    std::function<CK_RV(Case&)> run;
    // After CKR_OK: the result is right (EXPECTs). Not strict: a byte of an
    // answer no protocol protects was flipped, and may show in the result
    // only as itself, where nothing checks it.
    std::function<void(Case&, bool strict)> checkResult;
  };

  void SetUp() override {
    profileName_ = std::get<0>(GetParam());
    UseCard(profileName_);
    card->SetPresenceListener([](bool inserted) {
      if (!inserted) Fake().RemoveCard(kReader);
    });
  }

  // A new card as the profile starts, and a new module.
  void FreshCard() {
    if (slot_) C_CloseAllSessions(slot_);
    C_Finalize(nullptr);
    Fake().RemoveCard(kReader);
    card = std::make_unique<zorbix::sim::Card>(profile_);
    card->SetPresenceListener([](bool inserted) {
      if (!inserted) Fake().RemoveCard(kReader);
    });
    card->StartTrace();
    card->PowerOn();
    InsertCard();
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    slot_ = FindSlot();
  }

  CK_SESSION_HANDLE OpenUser() {
    const CK_SESSION_HANDLE h = Open(CKF_SERIAL_SESSION | CKF_RW_SESSION);
    EXPECT_EQ(to_string(Login(h, profile_.pin)), "CKR_OK");
    return h;
  }

  // Every object the session finds, with every attribute; the generated
  // key's modulus (a new one each run) by its length.
  static Listing List(CK_SESSION_HANDLE h) {
    Listing out;
    const auto fail = [&out](CK_RV rv) {
      if (out.rv == CKR_OK) out.rv = rv;
    };
    CK_RV rv = C_FindObjectsInit(h, nullptr, 0);
    if (rv != CKR_OK) {
      fail(rv);
      return out;
    }
    std::vector<CK_OBJECT_HANDLE> handles;
    CK_OBJECT_HANDLE batch[4];
    CK_ULONG n = 0;
    do {
      rv = C_FindObjects(h, batch, 4, &n);
      if (rv != CKR_OK) {
        fail(rv);
        n = 0;
      }
      handles.insert(handles.end(), batch, batch + n);
    } while (n > 0);
    if (CK_RV f = C_FindObjectsFinal(h); f != CKR_OK) fail(f);
    for (CK_OBJECT_HANDLE o : handles) {
      Object object;
      for (CK_ATTRIBUTE_TYPE type : kTypes) {
        CK_ATTRIBUTE a{type, nullptr, 0};
        rv = C_GetAttributeValue(h, o, &a, 1);
        Bytes value;
        if (rv == CKR_OK) {
          value.resize(a.ulValueLen);
          a.pValue = value.data();
          rv = C_GetAttributeValue(h, o, &a, 1);
          value.resize(a.ulValueLen);
        }
        if (rv == CKR_ATTRIBUTE_TYPE_INVALID || rv == CKR_ATTRIBUTE_SENSITIVE) continue;
        if (rv != CKR_OK) {
          fail(rv);
          value = kRefused;
        }
        object[type] = value;
      }
      out.objects.push_back(object);
    }
    for (Object& o : out.objects)
      if (o[CKA_ID] == Bytes(kPairId.begin(), kPairId.end()) && o.count(CKA_MODULUS))
        o[CKA_MODULUS] = Bytes{static_cast<std::uint8_t>(o[CKA_MODULUS].size() / 8)};
    return out;
  }

  // What a new session on the card lists, and checks that the values decode.
  Listing CardListing() {
    C_CloseAllSessions(slot_);
    const CK_SESSION_HANDLE h = OpenUser();
    Listing l = List(h);
    for (const Object& o : l.objects) {
      const auto c = o.find(CKA_CLASS);
      if (c == o.end() || c->second != zorbix::testing::UlongBytes(CKO_CERTIFICATE)) continue;
      EXPECT_TRUE(zorbix::sim::p15::ParseCertificate(o.at(CKA_VALUE))) << "a certificate that does not decode";
    }
    C_CloseAllSessions(slot_);
    return l;
  }

  CK_OBJECT_HANDLE ByLabel(CK_SESSION_HANDLE h, const std::string& label, CK_OBJECT_CLASS c) {
    CK_ATTRIBUTE t[] = {{CKA_CLASS, &c, sizeof c}, {CKA_LABEL, const_cast<char*>(label.data()), label.size()}};
    const auto found = FindAll(h, {t[0], t[1]});
    EXPECT_EQ(found.size(), 1u) << label;
    return found.empty() ? 0 : found[0];
  }

  // The card key that signs and decrypts (reference 1).
  zorbix::crypto::RsaPublicKey AuthenticationKey() const {
    for (const auto& k : profile_.keys)
      if (k.reference == 1) return {k.modulus, k.publicExponent};
    ADD_FAILURE() << "no key 1";
    return {};
  }

  // A raw PKCS#1 v1.5 signature's check on the host.
  static bool Verifies(const zorbix::crypto::RsaPublicKey& key, const Bytes& data, const Bytes& signature) {
    if (signature.size() != key.modulus.size()) return false;
    try {
      return zorbix::crypto::RsaPublic(key, signature) ==
             zorbix::testing::PadType1(data, key.modulus.size());
    } catch (const std::exception&) {
      return false;
    }
  }

  Operation Of(const std::string& name);

  // Runs the call cleanly to learn its commands, then with each fault at
  // each of them.
  void RunTable(const Operation& op);

  static std::string Diff(const std::vector<std::string>& a, const std::vector<std::string>& b) {
    std::vector<std::string> onlyA, onlyB;
    std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(onlyA));
    std::set_difference(b.begin(), b.end(), a.begin(), a.end(), std::back_inserter(onlyB));
    const auto fields = [](const std::string& line) {
      std::set<std::string> f;
      std::istringstream in(line);
      for (std::string field; std::getline(in, field, ';');) f.insert(field);
      return f;
    };
    std::string out;
    for (std::size_t i = 0; i < std::max(onlyA.size(), onlyB.size()); ++i) {
      const auto a = i < onlyA.size() ? fields(onlyA[i]) : std::set<std::string>{};
      const auto b = i < onlyB.size() ? fields(onlyB[i]) : std::set<std::string>{};
      for (const auto& f : a)
        if (!b.count(f)) out += "+ " + f.substr(0, 120) + "\n";
      for (const auto& f : b)
        if (!a.count(f)) out += "- " + f.substr(0, 120) + "\n";
      out += "--\n";
    }
    return out;
  }

  // A listing after a fault that the call survived: the card's objects, or
  // (not strict) a flipped byte showing only as itself in one value.
  void ExpectListing(CK_SESSION_HANDLE h, const Listing& listing, bool strict) {
    EXPECT_EQ(to_string(listing.rv), "CKR_OK");
    const auto lines = listing.Lines();
    if (lines != before_ && WithoutKeyParts(lines) == WithoutKeyParts(before_)) {
      // A key's public part whose read failed stays absent, and is read
      // again when next asked for.
      const auto again = List(h).Lines();
      EXPECT_TRUE(again == before_ || (!strict && OneByteApart(again, before_)))
          << "asked again\n" << Diff(again, before_) << "first\n" << Diff(lines, before_);
    } else if (strict) {
      EXPECT_TRUE(lines == before_) << Diff(lines, before_);
    } else {
      // A directory element whose first byte (its tag) was flipped ends the
      // directory there, as any byte but 30 does: the entries after it are
      // left out, none is changed or made up.
      EXPECT_TRUE(OneByteApart(lines, before_) || std::includes(before_.begin(), before_.end(), lines.begin(), lines.end()))
          << Diff(lines, before_);
    }
  }

  static std::vector<std::string> WithoutKeyParts(std::vector<std::string> lines) {
    for (auto& line : lines) {
      for (CK_ATTRIBUTE_TYPE t : {CKA_MODULUS, CKA_PUBLIC_EXPONENT}) {
        const std::string key = std::to_string(t) + "=";
        const std::size_t at = line.rfind(";" + key) != std::string::npos ? line.find(";" + key) + 1 : line.find(key) == 0 ? 0 : std::string::npos;
        if (at != std::string::npos) line.erase(at, line.find(';', at) + 1 - at);
      }
    }
    std::sort(lines.begin(), lines.end());
    return lines;
  }

  // Sorted lines that are equal but for one byte of a value.
  static bool OneByteApart(const std::vector<std::string>& a, const std::vector<std::string>& b) {
    std::vector<std::string> onlyA, onlyB;
    std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(onlyA));
    std::set_difference(b.begin(), b.end(), a.begin(), a.end(), std::back_inserter(onlyB));
    // At most the two objects of one key pair, which share what the card
    // read for their key.
    if (onlyA.size() != onlyB.size() || onlyA.size() > 2) return false;
    for (std::size_t l = 0; l < onlyA.size(); ++l) {
      if (onlyA[l].size() != onlyB[l].size()) return false;
      // The two hex digits of one byte.
      std::vector<std::size_t> digits;
      for (std::size_t i = 0; i < onlyA[l].size(); ++i)
        if (onlyA[l][i] != onlyB[l][i]) digits.push_back(i);
      if (digits.empty() || digits.back() - digits.front() > 1) return false;
    }
    return true;
  }

  std::string profileName_;
  std::vector<std::string> before_;  // the card's listing before the call
};

const Bytes kSigned = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E, 0x03, 0x02, 0x1A, 0x05, 0x00, 0x04,
                       0x14, 'f',  'a',  'u',  'l',  't',  ' ',  'i',  'n',  'j',  'e',  'c',  't',  'e',
                       'd',  ' ',  'd',  'a',  't',  'a',  '!'};
const std::string kSecret = "the decrypted secret";

Faults::Operation Faults::Of(const std::string& name) {
  const auto openUser = [this](Case& c) { c.h = OpenUser(); };
  if (name == "C_OpenSession")
    return {false, [](Case&) {},
            [this](Case& c) { return C_OpenSession(slot_, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &c.h); },
            [this](Case& c, bool strict) {
              // What it read is the token's from now on: the objects it
              // lists once logged in.
              ASSERT_EQ(to_string(Login(c.h, profile_.pin)), "CKR_OK");
              ExpectListing(c.h, List(c.h), strict);
            }};
  if (name == "C_Login")
    return {false, [this](Case& c) { c.h = Open(CKF_SERIAL_SESSION | CKF_RW_SESSION); },
            [this](Case& c) { return Login(c.h, profile_.pin); },
            [](Case& c, bool) {
              CK_SESSION_INFO info;
              EXPECT_EQ(C_GetSessionInfo(c.h, &info), CKR_OK);
              EXPECT_EQ(info.state, CKS_RW_USER_FUNCTIONS);
            }};
  if (name == "list")
    return {false, openUser,
            [](Case& c) {
              c.listing = List(c.h);
              return c.listing.rv;
            },
            [this](Case& c, bool strict) { ExpectListing(c.h, c.listing, strict); }};
  if (name == "C_Sign")
    return {false,
            [this, openUser](Case& c) {
              openUser(c);
              c.key = ByLabel(c.h, "KprivAutenticacion", CKO_PRIVATE_KEY);
              ASSERT_EQ(C_SignInit(c.h, &kRsaPkcs, c.key), CKR_OK);
            },
            [](Case& c) {
              Bytes data = kSigned;
              c.output.assign(512, 0);
              CK_ULONG length = c.output.size();
              const CK_RV rv = C_Sign(c.h, data.data(), data.size(), c.output.data(), &length);
              c.output.resize(rv == CKR_OK ? length : 0);
              return rv;
            },
            [this](Case& c, bool strict) {
              if (Verifies(AuthenticationKey(), kSigned, c.output)) return;
              EXPECT_FALSE(strict) << "a signature reported OK is wrong";
              // The card's own check with the public key finds it out.
              Bytes data = kSigned;
              ASSERT_EQ(C_VerifyInit(c.h, &kRsaPkcs, ByLabel(c.h, "KpubAutenticacion", CKO_PUBLIC_KEY)), CKR_OK);
              EXPECT_NE(C_Verify(c.h, data.data(), data.size(), c.output.data(), c.output.size()), CKR_OK);
            }};
  if (name == "C_Decrypt")
    return {false,
            [this, openUser](Case& c) {
              openUser(c);
              c.key = ByLabel(c.h, "KprivAutenticacion", CKO_PRIVATE_KEY);
              ASSERT_EQ(C_DecryptInit(c.h, &kRsaPkcs, c.key), CKR_OK);
            },
            [this](Case& c) {
              const auto key = AuthenticationKey();
              Bytes block(key.modulus.size(), 0x5A);
              block[0] = 0x00;
              block[1] = 0x02;
              block[block.size() - kSecret.size() - 1] = 0x00;
              std::copy(kSecret.begin(), kSecret.end(), block.end() - static_cast<std::ptrdiff_t>(kSecret.size()));
              Bytes ciphertext = zorbix::crypto::RsaPublic(key, block);
              c.output.assign(512, 0);
              CK_ULONG length = c.output.size();
              const CK_RV rv = C_Decrypt(c.h, ciphertext.data(), ciphertext.size(), c.output.data(), &length);
              c.output.resize(rv == CKR_OK ? length : 0);
              return rv;
            },
            [](Case& c, bool strict) {
              const std::vector<std::string> got = {ToHex(c.output)}, secret = {ToHex(Bytes(kSecret.begin(), kSecret.end()))};
              if (strict) {
                EXPECT_EQ(got, secret);
              } else {
                EXPECT_TRUE(OneByteApart(got, secret));
              }
            }};
  if (name == "C_GenerateKeyPair")
    return {true, openUser,
            [](Case& c) {
              CK_BBOOL yes = CK_TRUE;
              CK_ULONG bits = 1024;
              CK_BYTE exponent[] = {0x01, 0x00, 0x01};
              Bytes id(kPairId.begin(), kPairId.end());
              CK_ATTRIBUTE pub[] = {{CKA_TOKEN, &yes, 1},
                                    {CKA_VERIFY, &yes, 1},
                                    {CKA_MODULUS_BITS, &bits, sizeof bits},
                                    {CKA_PUBLIC_EXPONENT, exponent, sizeof exponent},
                                    {CKA_ID, id.data(), id.size()}};
              CK_ATTRIBUTE priv[] = {{CKA_TOKEN, &yes, 1},
                                     {CKA_PRIVATE, &yes, 1},
                                     {CKA_SIGN, &yes, 1},
                                     {CKA_ID, id.data(), id.size()}};
              return C_GenerateKeyPair(c.h, &kKeyPairGen, pub, 5, priv, 4, &c.pub, &c.priv);
            },
            [this](Case& c, bool) {
              // The public key object names the key the card made.
              zorbix::crypto::RsaPublicKey key{Attribute(c.h, c.pub, CKA_MODULUS),
                                                Attribute(c.h, c.pub, CKA_PUBLIC_EXPONENT)};
              ASSERT_EQ(C_SignInit(c.h, &kRsaPkcs, c.priv), CKR_OK);
              Bytes data = kSigned, signature(512);
              CK_ULONG length = signature.size();
              ASSERT_EQ(to_string(C_Sign(c.h, data.data(), data.size(), signature.data(), &length)), "CKR_OK");
              signature.resize(length);
              EXPECT_TRUE(Verifies(key, kSigned, signature)) << "the new public key is not the card's";
            }};
  if (name == "C_CreateObject")
    return {true, openUser,
            [](Case& c) {
              CK_OBJECT_CLASS data = CKO_DATA;
              CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
              std::string label = kCreatedLabel, value = "a data object written while the card misbehaves";
              CK_ATTRIBUTE t[] = {{CKA_CLASS, &data, sizeof data},
                                  {CKA_TOKEN, &yes, 1},
                                  {CKA_PRIVATE, &no, 1},
                                  {CKA_LABEL, label.data(), label.size()},
                                  {CKA_VALUE, value.data(), value.size()}};
              return C_CreateObject(c.h, t, 5, &c.target);
            },
            [](Case&, bool) {}};
  if (name == "C_DestroyObject")
    return {true,
            [this, openUser](Case& c) {
              openUser(c);
              c.target = ByLabel(c.h, kDestroyedLabel, CKO_DATA);
            },
            [](Case& c) { return C_DestroyObject(c.h, c.target); }, [](Case&, bool) {}};
  ADD_FAILURE() << "unknown operation " << name;
  return {};
}

// Ends the process when one case hangs: a test that never returns shows
// nothing.
class Watchdog {
 public:
  explicit Watchdog(std::chrono::seconds limit) : limit_(limit), thread_([this] { Watch(); }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  void Case(std::string what) {
    std::lock_guard<std::mutex> lock(mu_);
    what_ = std::move(what);
    since_ = std::chrono::steady_clock::now();
  }

 private:
  void Watch() {
    std::unique_lock<std::mutex> lock(mu_);
    while (!stop_) {
      cv_.wait_for(lock, std::chrono::seconds(1));
      if (!stop_ && std::chrono::steady_clock::now() - since_ > limit_) {
        std::cerr << "hung: " << what_ << std::endl;
        std::_Exit(3);
      }
    }
  }
  std::chrono::seconds limit_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool stop_ = false;
  std::string what_;
  std::chrono::steady_clock::time_point since_ = std::chrono::steady_clock::now();
  std::thread thread_;
};

void Faults::RunTable(const Operation& op) {
  const bool full = [] {
    const char* e = std::getenv("ZORBIX_FAULTS");
    return e && std::string(e) == "full";
  }();
  const bool secureChannel = profile_.secureChannel;

  // The clean run: the call's commands, and the card's objects before and
  // after it.
  FreshCard();
  const Listing before = CardListing();
  ASSERT_EQ(to_string(before.rv), "CKR_OK");
  Case clean;
  op.prepare(clean);
  ASSERT_FALSE(HasFatalFailure());
  card->ClearTrace();
  ASSERT_EQ(to_string(op.run(clean)), "CKR_OK");
  const auto trace = card->Trace();
  before_ = before.Lines();
  op.checkResult(clean, true);
  const std::size_t n = trace.size();
  ASSERT_GT(n, 0u);
  if (std::getenv("ZORBIX_FAULTS_TRACE"))
    for (const auto& e : trace) std::cerr << e.lines;
  const Listing after = CardListing();
  ASSERT_EQ(to_string(after.rv), "CKR_OK");
  const auto beforeLines = before.Lines(), afterLines = after.Lines();
  EXPECT_EQ(beforeLines != afterLines, op.writes);
  std::set<std::string> added, removed;
  for (const auto& l : afterLines)
    if (!std::count(beforeLines.begin(), beforeLines.end(), l)) added.insert(l);
  for (const auto& l : beforeLines)
    if (!std::count(afterLines.begin(), afterLines.end(), l)) removed.insert(l);

  Watchdog watchdog(std::chrono::seconds(60));
  std::map<std::string, int> outcomes;
  std::size_t cases = 0;
  const Kind kinds[] = {Kind::Fail, Kind::Corrupt, Kind::Remove};
  for (std::size_t k = 1; k <= n; ++k) {
    for (int ki = 0; ki < 3; ++ki) {
      const Kind kind = kinds[ki];
      if (!full && static_cast<std::size_t>(ki) != k % 3) continue;
      const std::uint16_t sw = k % 2 ? 0x6F00 : 0x6A82;
      const std::string what = profileName_ + " " + Name(kind) + " " + std::to_string(k) + " of " +
                               std::to_string(n) + (kind == Kind::Fail ? ":" + ToHex(Bytes{std::uint8_t(sw >> 8), std::uint8_t(sw)}) : "") +
                               " (" + trace[k - 1].lines.substr(0, trace[k - 1].lines.find('\n')) + ")";
      SCOPED_TRACE(what);
      watchdog.Case(what);
      ++cases;

      FreshCard();
      Case c;
      op.prepare(c);
      ASSERT_FALSE(HasFatalFailure());
      const std::size_t start = card->CommandCount();
      const int at = static_cast<int>(k);
      if (kind == Kind::Fail) card->FailAt(at, sw);
      if (kind == Kind::Corrupt) card->CorruptAt(at);
      if (kind == Kind::Remove) {
        if (k == 1) card->Remove();
        else card->RemoveAfter(at - 1);
      }
      const CK_RV rv = op.run(c);
      const std::size_t sent = card->CommandCount() - start;
      outcomes[std::string(Name(kind)) + " " + to_string(rv)]++;

      // The fault happened: the commands before it are the clean run's.
      if (kind == Kind::Remove) {
        EXPECT_FALSE(card->Inserted());
        EXPECT_EQ(sent, k - 1);
      } else {
        EXPECT_GE(sent, k);
      }
      // A protected answer's corruption is always seen.
      const bool protectedAnswer = trace[k - 1].lines.find(" << ") != std::string::npos;
      if (kind == Kind::Fail) {
        EXPECT_TRUE(rv == CKR_OK || CardError(rv)) << to_string(rv);
      } else if (kind == Kind::Corrupt) {
        EXPECT_TRUE(rv == CKR_OK || CardError(rv)) << to_string(rv);
      } else {
        // A write whose card part was done may end well: what the card
        // holds is checked below.
        EXPECT_TRUE(RemovalError(rv) || (rv == CKR_OK && op.writes)) << to_string(rv);
      }
      if (rv == CKR_OK) {
        op.checkResult(c, !(kind == Kind::Corrupt && !protectedAnswer));
      }

      // Back in the reader; a new session of this module, then a new
      // module, list what the card holds.
      if (kind == Kind::Remove) {
        card->Reset();
        card->Insert();
        InsertCard();
      }
      const Listing listed = CardListing();
      EXPECT_EQ(to_string(listed.rv), "CKR_OK");
      const auto lines = listed.Lines();
      if (!op.writes || rv == CKR_OK) {
        EXPECT_EQ(lines, op.writes ? afterLines : beforeLines);
      } else {
        for (const auto& l : beforeLines)
          if (!removed.count(l)) {
            EXPECT_EQ(std::count(lines.begin(), lines.end(), l), 1) << "lost " << l;
          }
        for (const auto& l : lines)
          EXPECT_TRUE(std::count(beforeLines.begin(), beforeLines.end(), l) + added.count(l) == 1) << "listed " << l;
      }
      C_Finalize(nullptr);
      ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
      slot_ = FindSlot();
      EXPECT_EQ(CardListing().Lines(), lines) << "a new module";
      if (HasFailure()) return;
    }
  }
  std::cout << "[ figures  ] " << profileName_ << " " << std::get<1>(GetParam()) << ": " << n << " commands, "
            << cases << " cases" << (full ? " (every fault at every command)" : " (one fault per command in turn)")
            << (secureChannel ? ", secure channel" : "") << ":";
  for (const auto& [outcome, count] : outcomes) std::cout << " " << outcome << " x" << count << ";";
  std::cout << "\n";
}

TEST_P(Faults, AtEveryCommand) { RunTable(Of(std::get<1>(GetParam()))); }

INSTANTIATE_TEST_SUITE_P(Calls, Faults,
                         ::testing::Combine(::testing::Values("TC-ORVA3", "Vexa"),
                                            ::testing::Values("C_OpenSession", "C_Login", "list", "C_Sign",
                                                              "C_Decrypt", "C_GenerateKeyPair", "C_CreateObject",
                                                              "C_DestroyObject")),
                         [](const auto& info) {
                           std::string n = std::get<0>(info.param) + "_" + std::get<1>(info.param);
                           std::replace(n.begin(), n.end(), '-', '_');
                           return n;
                         });

}  // namespace
