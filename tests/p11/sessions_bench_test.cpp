// Sessions through the real pcscd and the vpcd reader: what opening a
// session, logging in and listing every object with its attributes cost on
// each card, that no operation selects or reads a file twice, and a card
// pulled out under open sessions.
#include <gtest/gtest.h>

#include <cstring>
#include <iomanip>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "p11/module.h"
#include "sim/bench.h"
#include "tests/p11/attributes_of.h"
#include "tests/p11/bench_fixture.h"

namespace {

using zorbix::p11::to_string;
using zorbix::sim::Apdu;
using zorbix::sim::Card;
using Bytes = std::vector<std::uint8_t>;
using zorbix::p11test::AttributesOf;

// The card's file work as the card sees it, after any secure messaging:
// selections and transparent reads, recorded by handlers in front of the
// card's own.
class FileWork {
 public:
  void Watch(Card& card) {
    card.AddHandler(0x00, 0xA4, [this](Card& c, const Apdu& a) {
      if (a.p1 == 0x04) {
        Note("select " + std::string(a.data.begin(), a.data.end()));
      } else {
        std::ostringstream s;
        s << "select " << std::hex << std::setfill('0');
        for (std::uint8_t b : a.data) s << std::setw(2) << int(b);
        if (!a.data.empty()) current_ = s.str().substr(7);
        Note(s.str());
      }
      return c.Next(a);
    });
    card.AddHandler(0x00, 0xB0, [this](Card& c, const Apdu& a) {
      std::string file = current_;
      std::size_t offset = std::size_t(a.p1) << 8 | a.p2;
      if (a.p1 & 0x80) {
        std::ostringstream s;
        s << "sfi" << std::hex << (a.p1 & 0x1F);
        file = s.str();
        offset = a.p2;
        current_ = file;  // a short identifier selects the file too
      }
      const std::size_t length = a.le ? a.le : 256;
      for (std::size_t i = offset; i < offset + length; ++i)
        if (!read_[file].insert(i).second) {
          ++readTwice_;
          break;
        }
      return c.Next(a);
    });
  }
  // Closes one operation: what it selected more than once (the most times
  // over all operations of that name) and what it read twice.
  void EndOperation(const std::string& operation) {
    for (const auto& [what, n] : selections_)
      if (n > 1) reselected_[operation][what] = std::max(reselected_[operation][what], n);
    if (readTwice_ > 0) readTwice[operation] += readTwice_;
    selections_.clear();
    read_.clear();
    readTwice_ = 0;
  }
  const std::map<std::string, std::map<std::string, int>>& Reselected() const { return reselected_; }

  std::map<std::string, int> readTwice;  // operation -> bytes read again

 private:
  void Note(const std::string& what) { ++selections_[what]; }

  std::string current_;
  std::map<std::string, int> selections_;
  std::map<std::string, std::set<std::size_t>> read_;
  int readTwice_ = 0;
  std::map<std::string, std::map<std::string, int>> reselected_;
};

class SessionsOnBench : public zorbix::p11test::OnBench {
 protected:
  void TearDown() override {
    if (slot_) C_CloseAllSessions(slot_);
    OnBench::TearDown();
  }

  CK_SESSION_HANDLE Open() {
    CK_SESSION_HANDLE h = 0;
    EXPECT_EQ(to_string(C_OpenSession(slot_, CKF_SERIAL_SESSION, nullptr, nullptr, &h)), "CKR_OK");
    return h;
  }

  CK_RV Login(CK_SESSION_HANDLE h, std::string pin) {
    return C_Login(h, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(pin.data()), pin.size());
  }

  // Every object, then every attribute of each, as applications do it:
  // lengths first, then the values.
  std::size_t ListEverything(CK_SESSION_HANDLE h, FileWork* work = nullptr) {
    const auto end = [work](const char* operation) {
      if (work) work->EndOperation(operation);
    };
    EXPECT_EQ(C_FindObjectsInit(h, nullptr, 0), CKR_OK);
    end("C_FindObjectsInit");
    std::vector<CK_OBJECT_HANDLE> objects(64);
    CK_ULONG n = 0;
    EXPECT_EQ(C_FindObjects(h, objects.data(), objects.size(), &n), CKR_OK);
    objects.resize(n);
    EXPECT_EQ(C_FindObjectsFinal(h), CKR_OK);
    for (CK_OBJECT_HANDLE o : objects) {
      CK_OBJECT_CLASS c = 0;
      CK_ATTRIBUTE classEntry{CKA_CLASS, &c, sizeof c};
      EXPECT_EQ(C_GetAttributeValue(h, o, &classEntry, 1), CKR_OK);
      const auto types = AttributesOf(c);
      std::vector<CK_ATTRIBUTE> tmpl;
      for (CK_ATTRIBUTE_TYPE t : types) tmpl.push_back({t, nullptr, 0});
      C_GetAttributeValue(h, o, tmpl.data(), tmpl.size());
      auto values = zorbix::p11test::ValueBuffersFor(tmpl);
      end("C_GetAttributeValue (lengths)");
      const CK_RV rv = C_GetAttributeValue(h, o, tmpl.data(), tmpl.size());
      end("C_GetAttributeValue (values)");
      EXPECT_TRUE(rv == CKR_OK || rv == CKR_ATTRIBUTE_TYPE_INVALID || rv == CKR_ATTRIBUTE_SENSITIVE)
          << to_string(rv);
    }
    return objects.size();
  }

  CK_SLOT_ID slot_ = 0;
};

struct Cost {
  std::string profile;
  std::size_t open = 0, login = 0, list = 0, objects = 0;
};

TEST_F(SessionsOnBench, ApduCostsAndNoFileTwiceOnEveryProfile) {
  std::vector<Cost> costs;
  FileWork work;
  for (const auto& profile : zorbix::sim::AllProfiles()) {
    SCOPED_TRACE(profile.name);
    Card& card = bench_->Insert(0, profile.name);
    work.Watch(card);
    slot_ = ReaderSlot();
    CK_TOKEN_INFO info;
    ASSERT_EQ(to_string(C_GetTokenInfo(slot_, &info)), "CKR_OK");

    Cost cost{profile.name};
    work.EndOperation("C_GetTokenInfo");
    const auto measure = [&](std::size_t& into, const auto& run) {
      card.ClearTrace();
      run();
      into = card.Trace().size();
    };
    CK_SESSION_HANDLE h = 0;
    measure(cost.open, [&] { h = Open(); });
    work.EndOperation("C_OpenSession");
    measure(cost.login, [&] { ASSERT_EQ(to_string(Login(h, profile.pin)), "CKR_OK"); });
    work.EndOperation("C_Login");
    measure(cost.list, [&] { cost.objects = ListEverything(h, &work); });
    // Listing again costs nothing: every value stays loaded.
    std::size_t again = 0;
    measure(again, [&] { ListEverything(h); });
    EXPECT_EQ(again, 0u);
    costs.push_back(cost);
    ASSERT_EQ(C_CloseAllSessions(slot_), CKR_OK);
  }

  std::cout << "[ figures  ] APDUs per operation (C_OpenSession on a slot without sessions; "
               "C_Login with the right PIN; listing = C_FindObjectsInit/C_FindObjects/"
               "C_FindObjectsFinal + 2 C_GetAttributeValue per object with every attribute "
               "of its class)\n";
  std::cout << "[ figures  ] | profile | C_OpenSession | C_Login | listing | objects |\n";
  for (const Cost& c : costs)
    std::cout << "[ figures  ] | " << c.profile << " | " << c.open << " | " << c.login << " | " << c.list
              << " | " << c.objects << " |\n";
  for (const auto& [operation, bytes] : work.readTwice)
    ADD_FAILURE() << operation << " read " << bytes << " bytes of a file twice";
  for (const auto& [operation, files] : work.Reselected()) {
    std::cout << "[ figures  ] selected more than once in " << operation << ":";
    for (const auto& [file, n] : files) std::cout << " [" << file << "] x" << n;
    std::cout << "\n";
    // Only directories are selected again (each file read starts from the
    // master file); no elementary file twice.
    for (const auto& [file, n] : files)
      EXPECT_TRUE(file == "select Master.File" || file == "select ICC.Crypto" || file == "select 5015" ||
                  file == "select 6061" || file == "select 6081")
          << operation << ": " << file << " x" << n;
  }
  bench_->Remove(0);
}

// The card is pulled out in the middle of an operation: that call and the
// other session end, and the card is served again once it is back.
TEST_F(SessionsOnBench, CardPulledOutUnderOpenSessions) {
  const std::string profile = "TC-ORVA4";
  Card& card = bench_->Insert(0, profile);
  slot_ = ReaderSlot();
  const CK_SESSION_HANDLE a = Open();
  const CK_SESSION_HANDLE b = Open();
  ASSERT_EQ(to_string(Login(a, zorbix::sim::FindProfile(profile)->pin)), "CKR_OK");
  // Out after the second READ BINARY of the first certificate's value.
  int reads = 0;
  card.AddHandler(0x00, 0xB0, [&reads](Card& c, const Apdu& apdu) {
    if (++reads == 2) c.Remove();
    return c.Next(apdu);
  });
  CK_OBJECT_CLASS certificate = CKO_CERTIFICATE;
  CK_ATTRIBUTE byClass{CKA_CLASS, &certificate, sizeof certificate};
  ASSERT_EQ(C_FindObjectsInit(a, &byClass, 1), CKR_OK);
  CK_OBJECT_HANDLE cert = 0;
  CK_ULONG n = 0;
  ASSERT_EQ(C_FindObjects(a, &cert, 1, &n), CKR_OK);
  ASSERT_EQ(C_FindObjectsFinal(a), CKR_OK);
  CK_ATTRIBUTE value{CKA_VALUE, nullptr, 0};
  const CK_RV rv = C_GetAttributeValue(a, cert, &value, 1);
  // The card answered the command it was pulled out under, or not, as a
  // reader may; either way the call fails.
  EXPECT_NE(rv, CKR_OK);
  ASSERT_TRUE(bench_->WaitPresent(0, false));
  // The next call that reaches for the card ends both sessions.
  CK_SESSION_INFO info;
  EXPECT_EQ(to_string(C_FindObjectsInit(b, nullptr, 0)), "CKR_SESSION_HANDLE_INVALID");
  EXPECT_EQ(to_string(C_GetSessionInfo(a, &info)), "CKR_SESSION_HANDLE_INVALID");
  EXPECT_EQ(to_string(C_GetSessionInfo(b, &info)), "CKR_SESSION_HANDLE_INVALID");

  bench_->Insert(0, profile);
  const CK_SESSION_HANDLE again = Open();
  ASSERT_EQ(to_string(Login(again, zorbix::sim::FindProfile(profile)->pin)), "CKR_OK");
  EXPECT_GT(ListEverything(again), 0u);
  bench_->Remove(0);
}

}  // namespace
