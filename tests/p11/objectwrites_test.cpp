// Changing, creating and destroying objects through the C_ functions on
// virtual cards behind the fake PC/SC: who may write, the refusals that
// reach no card, session objects, labels from the subject, and card writes
// that fail at every command of an operation.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "sim/content_pki.h"
#include "sim/content_pkcs15.h"
#include "tests/p11/token_fixture.h"

namespace {

using zorbix::p11::to_string;
using zorbix::p11test::Bytes;
using zorbix::p11test::Fake;
using zorbix::p11test::TokenTest;

Bytes Text(const std::string& s) { return {s.begin(), s.end()}; }

// A template whose values live as long as it does.
class Tmpl {
 public:
  Tmpl& Add(CK_ATTRIBUTE_TYPE type, Bytes value) {
    values_.push_back(std::move(value));
    entries_.push_back({type, values_.back().data(), values_.back().size()});
    return *this;
  }
  Tmpl& Text(CK_ATTRIBUTE_TYPE type, const std::string& s) { return Add(type, ::Text(s)); }
  Tmpl& Bool(CK_ATTRIBUTE_TYPE type, bool value) { return Add(type, Bytes{static_cast<CK_BYTE>(value ? CK_TRUE : CK_FALSE)}); }
  Tmpl& Ulong(CK_ATTRIBUTE_TYPE type, CK_ULONG value) {
    Bytes b(sizeof value);
    std::memcpy(b.data(), &value, sizeof value);
    return Add(type, b);
  }
  CK_ATTRIBUTE* data() { return entries_.data(); }
  CK_ULONG size() const { return entries_.size(); }

 private:
  std::deque<Bytes> values_;
  std::vector<CK_ATTRIBUTE> entries_;
};

Tmpl DataTemplate(const std::string& label, const std::string& value, bool token, bool isPrivate) {
  Tmpl t;
  t.Ulong(CKA_CLASS, CKO_DATA).Bool(CKA_TOKEN, token).Bool(CKA_PRIVATE, isPrivate);
  t.Text(CKA_LABEL, label).Text(CKA_APPLICATION, "zorbix tests").Text(CKA_VALUE, value);
  return t;
}

Tmpl CertificateTemplate(const std::string& pki, const std::string& label, bool token) {
  const Bytes der = zorbix::sim::PkiFile(pki + ".crt.der");
  const auto parts = zorbix::sim::p15::ParseCertificate(der);
  Tmpl t;
  t.Ulong(CKA_CLASS, CKO_CERTIFICATE).Ulong(CKA_CERTIFICATE_TYPE, CKC_X_509).Bool(CKA_TOKEN, token);
  t.Text(CKA_LABEL, label).Add(CKA_VALUE, der).Add(CKA_SUBJECT, parts->subject);
  t.Add(CKA_ISSUER, parts->issuer).Text(CKA_ID, pki);
  return t;
}

// What an object shows: class, label, privacy and value (none for keys;
// unread when the module could not read it).
struct Shown {
  CK_OBJECT_CLASS objectClass;
  Bytes label;
  bool isPrivate;
  std::optional<Bytes> value;
  bool operator==(const Shown&) const = default;
  bool operator<(const Shown& o) const {
    return std::tie(objectClass, label, isPrivate, value) < std::tie(o.objectClass, o.label, o.isPrivate, o.value);
  }
  friend void PrintTo(const Shown& s, std::ostream* os) {
    *os << "{class " << s.objectClass << " \"" << std::string(s.label.begin(), s.label.end()) << "\""
        << (s.isPrivate ? " private" : "");
    if (s.value)
      *os << " value " << s.value->size() << " bytes}";
    else
      *os << " value unread}";
  }
};

// The module shows what the card holds: the same objects, and the same
// values where it could read them.
bool Agree(const std::vector<Shown>& module, const std::vector<Shown>& card) {
  return std::equal(module.begin(), module.end(), card.begin(), card.end(), [](const Shown& m, const Shown& c) {
    return m.objectClass == c.objectClass && m.label == c.label && m.isPrivate == c.isPrivate &&
           (!m.value || m.value == c.value);
  });
}

class Writes : public TokenTest {
 protected:
  void SetUp() override { UseCard("HALVO"); }

  // A read-write session with the user logged in.
  CK_SESSION_HANDLE OpenUser() {
    const CK_SESSION_HANDLE h = Open(CKF_SERIAL_SESSION | CKF_RW_SESSION);
    EXPECT_EQ(to_string(Login(h, profile_.pin)), "CKR_OK");
    return h;
  }

  CK_RV Create(CK_SESSION_HANDLE h, Tmpl t, CK_OBJECT_HANDLE* object = nullptr) {
    CK_OBJECT_HANDLE dummy = 0;
    return C_CreateObject(h, t.data(), t.size(), object ? object : &dummy);
  }

  CK_RV SetLabel(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE o, const std::string& label) {
    Tmpl t;
    t.Text(CKA_LABEL, label);
    return C_SetAttributeValue(h, o, t.data(), t.size());
  }

  // Every object a session shows, sorted.
  // Every object a session shows, sorted. A value the card refuses to
  // hand out counts as unread.
  std::vector<Shown> Everything(CK_SESSION_HANDLE h) {
    std::vector<Shown> out;
    for (CK_OBJECT_HANDLE o : FindAll(h)) {
      const CK_OBJECT_CLASS c = Ulong(h, o, CKA_CLASS);
      std::optional<Bytes> value = Bytes{};
      if (c == CKO_DATA || c == CKO_CERTIFICATE) {
        CK_RV rv = CKR_OK;
        value = Attribute(h, o, CKA_VALUE, &rv);
        if (rv != CKR_OK) value.reset();
      }
      out.push_back({c, Attribute(h, o, CKA_LABEL), Attribute(h, o, CKA_PRIVATE) == Bytes{CK_TRUE}, value});
    }
    std::sort(out.begin(), out.end());
    return out;
  }

  // What the card lists, read by a new token context.
  std::vector<Shown> OnTheCard() {
    C_CloseAllSessions(slot_);
    return Everything(OpenUser());
  }

  CK_OBJECT_HANDLE ByLabel(CK_SESSION_HANDLE h, const std::string& label) {
    Tmpl t;
    t.Text(CKA_LABEL, label);
    const auto found = FindAll(h, {t.data(), t.data() + t.size()});
    EXPECT_EQ(found.size(), 1u) << label;
    return found.empty() ? 0 : found.front();
  }

  // The same card again, as it was, in the reader.
  void FreshCard() {
    C_CloseAllSessions(slot_);
    Fake().RemoveCard(kReader);
    card = std::make_unique<zorbix::sim::Card>(profile_);
    card->StartTrace();
    card->PowerOn();
    InsertCard();
  }

  bool WroteToTheCard() {
    for (const auto& e : TakeTrace())
      if (e.command.size() > 1 && (e.command[1] == 0xD6 || e.command[1] == 0xE0 || e.command[1] == 0x50 ||
                                   e.command[1] == 0x52 || e.command[1] == 0x54))
        return true;
    return false;
  }
};

// Who may create, change and destroy which objects. The unknown class
// behind the check shows that it passed.
TEST_F(Writes, AccessByTokenPrivateAndState) {
  enum Who { None, User, SO };
  const struct {
    CK_FLAGS flags;
    Who login;
    CK_STATE state;
  } states[] = {
      {CKF_SERIAL_SESSION, None, CKS_RO_PUBLIC_SESSION},
      {CKF_SERIAL_SESSION, User, CKS_RO_USER_FUNCTIONS},
      {CKF_SERIAL_SESSION | CKF_RW_SESSION, None, CKS_RW_PUBLIC_SESSION},
      {CKF_SERIAL_SESSION | CKF_RW_SESSION, User, CKS_RW_USER_FUNCTIONS},
      {CKF_SERIAL_SESSION | CKF_RW_SESSION, SO, CKS_RW_SO_FUNCTIONS},
  };
  constexpr CK_RV kAllowed = CKR_ATTRIBUTE_TYPE_INVALID;
  const std::map<std::pair<bool, bool>, std::vector<CK_RV>> expected = {
      // token, private: RO public, RO user, RW public, RW user, RW SO
      {{true, true},
       {CKR_USER_NOT_LOGGED_IN, CKR_SESSION_READ_ONLY, CKR_USER_NOT_LOGGED_IN, kAllowed, kAllowed}},
      {{true, false}, {CKR_SESSION_READ_ONLY, CKR_SESSION_READ_ONLY, kAllowed, kAllowed, kAllowed}},
      {{false, true}, {CKR_USER_NOT_LOGGED_IN, kAllowed, CKR_USER_NOT_LOGGED_IN, kAllowed, CKR_USER_NOT_LOGGED_IN}},
      {{false, false}, {kAllowed, kAllowed, kAllowed, kAllowed, kAllowed}},
  };
  for (std::size_t s = 0; s < std::size(states); ++s) {
    C_CloseAllSessions(slot_);
    const CK_SESSION_HANDLE h = Open(states[s].flags);
    if (states[s].login != None) {
      ASSERT_EQ(to_string(Login(h, profile_.pin, states[s].login == SO ? CKU_SO : CKU_USER)), "CKR_OK");
    }
    ASSERT_EQ(Info(h).state, states[s].state);
    for (const auto& [flags, results] : expected) {
      Tmpl t;
      t.Ulong(CKA_CLASS, CKO_SECRET_KEY).Bool(CKA_TOKEN, flags.first).Bool(CKA_PRIVATE, flags.second);
      EXPECT_EQ(to_string(Create(h, t)), to_string(results[s]))
          << "state " << states[s].state << " token " << flags.first << " private " << flags.second;
    }
  }
  EXPECT_FALSE(WroteToTheCard());
}

TEST_F(Writes, RefusalsThatReachNoCard) {
  const CK_SESSION_HANDLE h = OpenUser();
  CK_OBJECT_HANDLE cert = 0;
  ASSERT_EQ(to_string(Create(h, CertificateTemplate("user-sign-1024", "a certificate", false), &cert)), "CKR_OK");
  const CK_OBJECT_HANDLE cardCertificate = FindClass(h, CKO_CERTIFICATE).front();
  ASSERT_EQ(Attribute(h, cardCertificate, CKA_MODIFIABLE), Bytes{CK_FALSE});
  TakeTrace();

  Tmpl data = DataTemplate("d", "v", true, false);
  CK_OBJECT_HANDLE out = 0;
  CK_ATTRIBUTE nullValue{CKA_LABEL, nullptr, 0};
  CK_ULONG classValue = CKO_CERTIFICATE;
  CK_ATTRIBUTE classEntry{CKA_CLASS, &classValue, sizeof classValue};
  CK_BYTE letter = 'x';
  CK_ATTRIBUTE twice[] = {{CKA_LABEL, &letter, 1}, {CKA_LABEL, &letter, 1}};
  CK_ULONG vendor = 0;
  CK_ATTRIBUTE unknown{CKA_VENDOR_DEFINED + 1, &vendor, sizeof vendor};
  const struct {
    const char* what;
    std::function<CK_RV()> call;
    CK_RV expected;
  } cases[] = {
      {"create without a place for the handle", [&] { return C_CreateObject(h, data.data(), data.size(), nullptr); },
       CKR_ARGUMENTS_BAD},
      {"create without a template", [&] { return C_CreateObject(h, nullptr, 3, &out); }, CKR_TEMPLATE_INCOMPLETE},
      {"create with an empty template", [&] { return C_CreateObject(h, data.data(), 0, &out); },
       CKR_TEMPLATE_INCOMPLETE},
      {"create without a class", [&] { return Create(h, Tmpl().Bool(CKA_TOKEN, true).Text(CKA_LABEL, "x")); },
       CKR_TEMPLATE_INCOMPLETE},
      {"create a class of 4 bytes", [&] { return Create(h, Tmpl().Add(CKA_CLASS, {0, 0, 0, 0})); },
       CKR_ATTRIBUTE_TYPE_INVALID},
      {"create a session private key",
       [&] { return Create(h, Tmpl().Ulong(CKA_CLASS, CKO_PRIVATE_KEY).Bool(CKA_TOKEN, false)); },
       CKR_ATTRIBUTE_VALUE_INVALID},
      {"create a session public key", [&] { return Create(h, Tmpl().Ulong(CKA_CLASS, CKO_PUBLIC_KEY)); },
       CKR_ATTRIBUTE_VALUE_INVALID},
      {"create a data object with a key's attribute",
       [&] { return Create(h, DataTemplate("d", "v", true, false).Bool(CKA_ENCRYPT, true)); },
       CKR_ATTRIBUTE_TYPE_INVALID},
      {"create with CKA_PRIVATE twice",
       [&] { return Create(h, DataTemplate("d", "v", false, false).Bool(CKA_PRIVATE, true)); },
       CKR_TEMPLATE_INCONSISTENT},
      {"create with an empty boolean", [&] { return Create(h, Tmpl().Ulong(CKA_CLASS, CKO_DATA).Add(CKA_TOKEN, {})); },
       CKR_ATTRIBUTE_VALUE_INVALID},
      {"set without a template", [&] { return C_SetAttributeValue(h, cert, nullptr, 1); }, CKR_ATTRIBUTE_TYPE_INVALID},
      {"set an empty template", [&] { return C_SetAttributeValue(h, cert, data.data(), 0); },
       CKR_ATTRIBUTE_TYPE_INVALID},
      {"set a null value", [&] { return C_SetAttributeValue(h, cert, &nullValue, 1); }, CKR_ATTRIBUTE_VALUE_INVALID},
      {"set the label twice", [&] { return C_SetAttributeValue(h, cert, twice, 2); }, CKR_TEMPLATE_INCONSISTENT},
      {"set the class of a certificate", [&] { return C_SetAttributeValue(h, cert, &classEntry, 1); },
       CKR_ATTRIBUTE_READ_ONLY},
      {"set an unknown attribute", [&] { return C_SetAttributeValue(h, cert, &unknown, 1); },
       CKR_ATTRIBUTE_TYPE_INVALID},
      {"set on an unknown object", [&] { return SetLabel(h, 0x100, "x"); }, CKR_OBJECT_HANDLE_INVALID},
      {"set a label of an object that is not modifiable", [&] { return SetLabel(h, cardCertificate, "x"); },
       CKR_ATTRIBUTE_READ_ONLY},
      {"destroy handle 0", [&] { return C_DestroyObject(h, 0); }, CKR_OBJECT_HANDLE_INVALID},
      {"destroy an unknown object", [&] { return C_DestroyObject(h, 0x100); }, CKR_OBJECT_HANDLE_INVALID},
      {"set on an unknown session", [&] { return SetLabel(h + 100, cert, "x"); }, CKR_SESSION_HANDLE_INVALID},
  };
  const auto before = Everything(h);
  TakeTrace();
  for (const auto& c : cases) {
    EXPECT_EQ(to_string(c.call()), to_string(c.expected)) << c.what;
    EXPECT_FALSE(WroteToTheCard()) << c.what;
  }
  EXPECT_EQ(Everything(h), before);
}

// Objects without CKA_TOKEN live in the session's token context only.
TEST_F(Writes, SessionObjectsNeverReachTheCard) {
  const CK_SESSION_HANDLE h = OpenUser();
  Tmpl t;
  t.Ulong(CKA_CLASS, CKO_DATA).Text(CKA_LABEL, "session data").Text(CKA_VALUE, "kept in memory");
  CK_OBJECT_HANDLE o = 0;
  TakeTrace();
  ASSERT_EQ(to_string(C_CreateObject(h, t.data(), t.size(), &o)), "CKR_OK");
  EXPECT_EQ(Attribute(h, o, CKA_TOKEN), Bytes{CK_FALSE}) << "a session object says so";
  ASSERT_EQ(to_string(SetLabel(h, o, "renamed")), "CKR_OK");
  EXPECT_EQ(Attribute(h, o, CKA_LABEL), Text("renamed"));
  EXPECT_EQ(ByLabel(h, "renamed"), o);
  EXPECT_FALSE(WroteToTheCard());
  ASSERT_EQ(to_string(C_DestroyObject(h, o)), "CKR_OK");
  EXPECT_FALSE(WroteToTheCard());
  CK_RV rv = CKR_OK;
  Attribute(h, o, CKA_LABEL, &rv);
  EXPECT_EQ(to_string(rv), "CKR_OBJECT_HANDLE_INVALID");

  ASSERT_EQ(to_string(C_CreateObject(h, t.data(), t.size(), &o)), "CKR_OK");
  for (const Shown& s : OnTheCard()) EXPECT_NE(s.label, Text("session data"));
}

// A label of four parts joined by '-' becomes the subject's common name.
TEST_F(Writes, LabelFromTheSubject) {
  const CK_SESSION_HANDLE h = OpenUser();
  const Bytes commonName = Text("ZORBIX PRUEBA B (FIRMA)");
  CK_OBJECT_HANDLE cert = 0;
  ASSERT_EQ(to_string(Create(h, CertificateTemplate("user-sign-1024", "a-b-c-d", false), &cert)), "CKR_OK");
  EXPECT_EQ(Attribute(h, cert, CKA_LABEL), commonName);
  const struct {
    std::string label;
    Bytes expected;
  } cases[] = {{"two-dashes-only", Text("two-dashes-only")}, {"x---", commonName}, {"1-2-3-4-5", commonName}};
  for (const auto& c : cases) {
    ASSERT_EQ(to_string(SetLabel(h, cert, c.label)), "CKR_OK");
    EXPECT_EQ(Attribute(h, cert, CKA_LABEL), c.expected) << c.label;
  }
}

TEST_F(Writes, DestroyedObjectLeavesARunningSearch) {
  const CK_SESSION_HANDLE h = OpenUser();
  for (const char* label : {"first", "second"})
    ASSERT_EQ(to_string(Create(h, DataTemplate(label, "v", false, false))), "CKR_OK");
  const CK_OBJECT_HANDLE second = ByLabel(h, "second");
  CK_OBJECT_CLASS data = CKO_DATA;
  CK_ATTRIBUTE byClass{CKA_CLASS, &data, sizeof data};
  ASSERT_EQ(C_FindObjectsInit(h, &byClass, 1), CKR_OK);
  CK_OBJECT_HANDLE found[8];
  CK_ULONG n = 0;
  ASSERT_EQ(C_FindObjects(h, found, 1, &n), CKR_OK);
  ASSERT_EQ(n, 1u);
  ASSERT_EQ(to_string(C_DestroyObject(h, second)), "CKR_OK");
  ASSERT_EQ(C_FindObjects(h, found, 8, &n), CKR_OK);
  EXPECT_TRUE(std::find(found, found + n, second) == found + n);
  EXPECT_EQ(C_FindObjectsFinal(h), CKR_OK);
}

// A key pair stored through C_CreateObject: the public key takes the
// private key's card key without a key command, and the card key goes with
// the last object that uses it.
TEST_F(Writes, KeyPairSharesOneCardKey) {
  const auto& k = profile_.keys.front();
  const CK_SESSION_HANDLE h = OpenUser();
  Tmpl priv;
  priv.Ulong(CKA_CLASS, CKO_PRIVATE_KEY).Ulong(CKA_KEY_TYPE, CKK_RSA).Bool(CKA_TOKEN, true);
  priv.Bool(CKA_PRIVATE, true).Text(CKA_LABEL, "new key").Text(CKA_ID, "new key id").Bool(CKA_SIGN, true);
  priv.Add(CKA_MODULUS, k.modulus).Add(CKA_PUBLIC_EXPONENT, k.publicExponent).Add(CKA_PRIME_1, k.p);
  priv.Add(CKA_PRIME_2, k.q).Add(CKA_EXPONENT_1, k.dp).Add(CKA_EXPONENT_2, k.dq).Add(CKA_COEFFICIENT, k.qinv);
  Tmpl pub;
  pub.Ulong(CKA_CLASS, CKO_PUBLIC_KEY).Ulong(CKA_KEY_TYPE, CKK_RSA).Bool(CKA_TOKEN, true);
  pub.Text(CKA_LABEL, "new key").Text(CKA_ID, "new key id").Bool(CKA_VERIFY, true);
  pub.Add(CKA_MODULUS, k.modulus).Add(CKA_PUBLIC_EXPONENT, k.publicExponent);
  const auto keyCommands = [this] {
    int n = 0;
    for (const auto& e : TakeTrace()) n += zorbix::p11test::IsCommand(e, 0x90, 0x50) ||
                                           zorbix::p11test::IsCommand(e, 0x90, 0x52) ||
                                           zorbix::p11test::IsCommand(e, 0x90, 0x54);
    return n;
  };
  TakeTrace();
  ASSERT_EQ(to_string(Create(h, priv)), "CKR_OK");
  EXPECT_GT(keyCommands(), 0);
  ASSERT_EQ(to_string(Create(h, pub)), "CKR_OK");
  EXPECT_EQ(keyCommands(), 0);

  C_CloseAllSessions(slot_);
  const CK_SESSION_HANDLE again = OpenUser();
  Tmpl id;
  id.Text(CKA_ID, "new key id");
  const auto pair = FindAll(again, {id.data(), id.data() + id.size()});
  ASSERT_EQ(pair.size(), 2u);
  for (CK_OBJECT_HANDLE o : pair) EXPECT_EQ(Attribute(again, o, CKA_MODULUS), k.modulus) << "read from the card";
  TakeTrace();
  for (CK_OBJECT_HANDLE o : pair) ASSERT_EQ(to_string(C_DestroyObject(again, o)), "CKR_OK");
  EXPECT_EQ(keyCommands(), 1) << "one erase, with the last object of the key";
  C_CloseAllSessions(slot_);
  EXPECT_TRUE(FindAll(OpenUser(), {id.data(), id.data() + id.size()}).empty());
}

// ---- card writes that fail at each command of an operation

// Runs the operation once to count its commands, then again on a fresh card
// that refuses the n-th of them, for every n: after each failure the card
// holds what it held before or after the operation, and the module shows
// what the card holds. A refused GET RESPONSE is an answer lost after the
// card carried the command out: the module cannot know which happened then,
// and its view is not compared.
class FailingWrites : public Writes, public ::testing::WithParamInterface<std::string> {
 protected:
  void SetUp() override { UseCard(GetParam()); }

  using Operation = std::function<CK_RV(CK_SESSION_HANDLE)>;

  void AtEveryCommand(const Operation& prepare, const Operation& run) {
    const auto prepared = [&] {
      FreshCard();
      EXPECT_EQ(to_string(prepare(OpenUser())), "CKR_OK");
      C_CloseAllSessions(slot_);
      return OpenUser();
    };
    const CK_SESSION_HANDLE first = prepared();
    const auto before = Everything(first);
    const std::size_t start = card->CommandCount();
    ASSERT_EQ(to_string(run(first)), "CKR_OK");
    const std::size_t commands = card->CommandCount() - start;
    const auto after = OnTheCard();
    ASSERT_NE(before, after);
    ASSERT_GT(commands, 2u);
    for (std::size_t n = 1; n <= commands; ++n) {
      const CK_SESSION_HANDLE h = prepared();
      const std::size_t refused = card->CommandCount() + n;
      card->FailAt(static_cast<int>(n), 0x6581);
      TakeTrace();
      const CK_RV rv = run(h);
      bool answerLost = false;
      for (const auto& e : TakeTrace())
        if (e.number == refused) answerLost = zorbix::p11test::IsCommand(e, 0x00, 0xC0);
      const auto shown = Everything(h);
      const auto held = OnTheCard();
      const std::string what = "command " + std::to_string(n) + " refused, " + to_string(rv);
      EXPECT_TRUE(held == before || held == after) << what;
      if (answerLost) continue;
      EXPECT_TRUE(Agree(shown, held)) << what << "\nshown " << ::testing::PrintToString(shown) << "\nheld "
                                      << ::testing::PrintToString(held);
      if (rv != CKR_OK) {
        EXPECT_EQ(held, before) << what << ": failed, but the card changed";
      }
    }
  }
};

TEST_P(FailingWrites, CreateOfACertificate) {
  AtEveryCommand([](CK_SESSION_HANDLE) { return CKR_OK; },
                 [this](CK_SESSION_HANDLE h) {
                   return Create(h, CertificateTemplate("user-auth-1024", "new certificate", true));
                 });
}

// The changed entry has another after it: it moves to the end of the
// directory on its way.
TEST_P(FailingWrites, ChangeOfALabelAndValue) {
  AtEveryCommand([this](CK_SESSION_HANDLE h) {
                   const CK_RV rv = Create(h, DataTemplate("data", "the value", true, true));
                   return rv != CKR_OK ? rv : Create(h, DataTemplate("other", "after it", true, false));
                 },
                 [this](CK_SESSION_HANDLE h) {
                   Tmpl t;
                   t.Text(CKA_LABEL, "changed").Text(CKA_VALUE, "another value, longer than the first");
                   return C_SetAttributeValue(h, ByLabel(h, "data"), t.data(), t.size());
                 });
}

TEST_P(FailingWrites, DestroyOfADataObject) {
  AtEveryCommand([this](CK_SESSION_HANDLE h) { return Create(h, DataTemplate("data", "the value", true, false)); },
                 [this](CK_SESSION_HANDLE h) { return C_DestroyObject(h, ByLabel(h, "data")); });
}

INSTANTIATE_TEST_SUITE_P(Cards, FailingWrites, ::testing::Values("HALVO", "HALVO1_0", "Vexa"),
                         [](const auto& info) { return info.param; });

}  // namespace
