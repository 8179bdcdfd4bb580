// A token for the module's C_ functions: a virtual card of the engine behind
// the fake PC/SC, and small helpers for sessions, searches and attributes.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "p11/module.h"
#include "sim/card.h"
#include "sim/profile.h"
#include "tests/p11/fake_env.h"
#include "tests/p11/reader_slot.h"

namespace zorbix::p11test {

using Bytes = std::vector<std::uint8_t>;

class TokenTest : public ::testing::Test {
 protected:
  static constexpr char kReader[] = "Token Reader 0";

  void TearDown() override {
    if (slot_) C_CloseAllSessions(slot_);
    C_Finalize(nullptr);
    Fake().RemoveReader(kReader);
    Fake().ClearFailures();
  }

  // Puts a card of the profile in the reader and finds its slot.
  void UseCard(const std::string& profile) {
    const sim::Profile* p = sim::FindProfile(profile);
    ASSERT_NE(p, nullptr) << profile;
    profile_ = *p;
    card = std::make_unique<sim::Card>(profile_);
    card->StartTrace();
    card->PowerOn();
    Fake().AddReader(kReader);
    Fake().AnswerStandardAttributes(kReader, kReader);
    InsertCard();
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    slot_ = FindSlot();
    ASSERT_NE(slot_, 0u);
  }

  void InsertCard() {
    Fake().InsertCard(kReader, card->Atr(), [this](const Bytes& c) { return card->Process(c); });
    Fake().SetResetHandler(kReader, [this] { card->Reset(); });
  }

  CK_SLOT_ID FindSlot() { return SlotOfReader(kReader); }

  CK_SESSION_HANDLE Open(CK_FLAGS flags = CKF_SERIAL_SESSION) {
    CK_SESSION_HANDLE h = 0;
    EXPECT_EQ(p11::to_string(C_OpenSession(slot_, flags, nullptr, nullptr, &h)), "CKR_OK");
    return h;
  }

  CK_RV Login(CK_SESSION_HANDLE h, const std::string& pin, CK_USER_TYPE user = CKU_USER) {
    std::string copy = pin;
    return C_Login(h, user, reinterpret_cast<CK_UTF8CHAR_PTR>(copy.data()), copy.size());
  }

  CK_SESSION_INFO Info(CK_SESSION_HANDLE h) {
    CK_SESSION_INFO info{};
    EXPECT_EQ(p11::to_string(C_GetSessionInfo(h, &info)), "CKR_OK");
    return info;
  }

  std::vector<CK_OBJECT_HANDLE> FindAll(CK_SESSION_HANDLE h, std::vector<CK_ATTRIBUTE> tmpl = {}) {
    std::vector<CK_OBJECT_HANDLE> out;
    EXPECT_EQ(p11::to_string(C_FindObjectsInit(h, tmpl.data(), tmpl.size())), "CKR_OK");
    CK_OBJECT_HANDLE batch[3];
    CK_ULONG n = 0;
    do {
      EXPECT_EQ(C_FindObjects(h, batch, 3, &n), CKR_OK);
      out.insert(out.end(), batch, batch + n);
    } while (n > 0);
    EXPECT_EQ(C_FindObjectsFinal(h), CKR_OK);
    return out;
  }

  std::vector<CK_OBJECT_HANDLE> FindClass(CK_SESSION_HANDLE h, CK_OBJECT_CLASS c) {
    return FindAll(h, {{CKA_CLASS, &c, sizeof c}});
  }

  // The attribute's bytes, asking its length first; empty with *rv set on
  // failure.
  Bytes Attribute(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE o, CK_ATTRIBUTE_TYPE type, CK_RV* rv = nullptr) {
    CK_ATTRIBUTE a{type, nullptr, 0};
    CK_RV r = C_GetAttributeValue(h, o, &a, 1);
    Bytes value;
    if (r == CKR_OK) {
      value.resize(a.ulValueLen);
      a.pValue = value.data();
      r = C_GetAttributeValue(h, o, &a, 1);
    }
    if (rv) *rv = r;
    else EXPECT_EQ(p11::to_string(r), "CKR_OK") << std::hex << type;
    return r == CKR_OK ? value : Bytes{};
  }

  CK_ULONG Ulong(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE o, CK_ATTRIBUTE_TYPE type) {
    const Bytes b = Attribute(h, o, type);
    CK_ULONG v = 0;
    if (b.size() == sizeof v) std::memcpy(&v, b.data(), sizeof v);
    return v;
  }

  // Commands the card received since the last call.
  std::vector<sim::TraceEntry> TakeTrace() {
    auto t = card->Trace();
    card->ClearTrace();
    return t;
  }

  sim::Profile profile_;
  std::unique_ptr<sim::Card> card;
  CK_SLOT_ID slot_ = 0;
};

// A command's header bytes (CLA INS).
inline bool IsCommand(const sim::TraceEntry& e, std::uint8_t cla, std::uint8_t ins) {
  return e.command.size() >= 2 && e.command[0] == cla && e.command[1] == ins;
}

}  // namespace zorbix::p11test
