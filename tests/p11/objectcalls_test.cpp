// Searching and reading objects through the C_ functions, card removal under
// open sessions, and the same contract on every virtual card profile.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>

#include "sim/content_pkcs15.h"
#include "tests/p11/token_fixture.h"

namespace {

using zorbix::p11::to_string;
using zorbix::p11test::Bytes;
using zorbix::p11test::Fake;
using zorbix::p11test::IsCommand;
using zorbix::p11test::TokenTest;

class Objects : public TokenTest {
 protected:
  void SetUp() override { UseCard("HALVO"); }

  // Objects of a class by CKA_ID.
  std::map<Bytes, CK_OBJECT_HANDLE> ById(CK_SESSION_HANDLE h, CK_OBJECT_CLASS c) {
    std::map<Bytes, CK_OBJECT_HANDLE> m;
    for (CK_OBJECT_HANDLE o : FindClass(h, c)) m[Attribute(h, o, CKA_ID)] = o;
    return m;
  }
};

TEST_F(Objects, PrivateObjectsAreHiddenUntilLogin) {
  const std::size_t keys = profile_.keys.size();
  const CK_SESSION_HANDLE h = Open();
  const auto counts = [&] {
    return std::vector<std::size_t>{FindClass(h, CKO_CERTIFICATE).size(), FindClass(h, CKO_PRIVATE_KEY).size(),
                                    FindClass(h, CKO_PUBLIC_KEY).size(), FindClass(h, CKO_DATA).size()};
  };
  EXPECT_EQ(counts(), (std::vector<std::size_t>{keys, 0, keys, 1}));
  CK_BBOOL yes = CK_TRUE;
  EXPECT_TRUE(FindAll(h, {{CKA_PRIVATE, &yes, 1}}).empty());
  ASSERT_EQ(Login(h, profile_.pin), CKR_OK);
  EXPECT_EQ(counts(), (std::vector<std::size_t>{keys, keys, keys, 2}));
  EXPECT_EQ(FindAll(h, {{CKA_PRIVATE, &yes, 1}}).size(), keys + 1);
  ASSERT_EQ(C_Logout(h), CKR_OK);
  EXPECT_EQ(FindAll(h).size(), 2 * keys + 1);
}

TEST_F(Objects, FindInBatchesSharedByTheToken) {
  const CK_SESSION_HANDLE h = Open();
  const CK_SESSION_HANDLE other = Open();
  ASSERT_EQ(FindAll(h).size(), 7u);
  CK_ULONG n = 99;
  EXPECT_EQ(to_string(C_FindObjects(h, nullptr, 2, &n)), "CKR_OPERATION_NOT_INITIALIZED");
  EXPECT_EQ(to_string(C_FindObjectsFinal(h)), "CKR_OPERATION_NOT_INITIALIZED");
  EXPECT_EQ(to_string(C_FindObjectsInit(h, nullptr, 1)), "CKR_ARGUMENTS_BAD");

  // The certificates and public keys (not modifiable on these cards), two
  // at a time through the other session: the find belongs to the token.
  CK_BBOOL no = CK_FALSE;
  CK_ATTRIBUTE notModifiable{CKA_MODIFIABLE, &no, 1};
  ASSERT_EQ(C_FindObjectsInit(h, &notModifiable, 1), CKR_OK);
  EXPECT_EQ(to_string(C_FindObjectsInit(other, nullptr, 0)), "CKR_OPERATION_ACTIVE") << "one find per token";
  EXPECT_EQ(to_string(C_FindObjects(h, nullptr, 2, nullptr)), "CKR_ARGUMENTS_BAD");
  EXPECT_EQ(C_FindObjects(h, nullptr, 2, &n), CKR_OK);
  EXPECT_EQ(n, 2u) << "a null list counts and consumes nothing";
  std::vector<CK_ULONG> batches;
  CK_OBJECT_HANDLE got[2];
  do {
    ASSERT_EQ(C_FindObjects(other, got, 2, &n), CKR_OK);
    batches.push_back(n);
  } while (n > 0);
  EXPECT_EQ(batches, (std::vector<CK_ULONG>{2, 2, 2, 0}));
  EXPECT_EQ(C_FindObjectsFinal(other), CKR_OK);
  EXPECT_EQ(to_string(C_FindObjectsFinal(h)), "CKR_OPERATION_NOT_INITIALIZED");
}

TEST_F(Objects, TemplatesMatchExactBytes) {
  const CK_SESSION_HANDLE h = Open();
  CK_ULONG tokenAsUlong = CK_TRUE;
  EXPECT_TRUE(FindAll(h, {{CKA_TOKEN, &tokenAsUlong, sizeof tokenAsUlong}}).empty());
  CK_BBOOL yes = CK_TRUE;
  EXPECT_EQ(FindAll(h, {{CKA_TOKEN, &yes, 1}}).size(), FindAll(h).size());
  CK_OBJECT_CLASS c = CKO_CERTIFICATE;
  CK_CERTIFICATE_TYPE x509 = CKC_X_509;
  EXPECT_EQ(FindAll(h, {{CKA_CLASS, &c, sizeof c}, {CKA_CERTIFICATE_TYPE, &x509, sizeof x509}}).size(),
            profile_.keys.size());
}

TEST_F(Objects, SensitivePartsAndKeyPartsReadOncePerCardKey) {
  const CK_SESSION_HANDLE h = Open();
  ASSERT_EQ(Login(h, profile_.pin), CKR_OK);
  const auto privateKeys = ById(h, CKO_PRIVATE_KEY);
  const auto publicKeys = ById(h, CKO_PUBLIC_KEY);
  ASSERT_EQ(privateKeys.size(), profile_.keys.size());
  const auto& [id, priv] = *privateKeys.begin();
  const CK_OBJECT_HANDLE pub = publicKeys.at(id);

  Bytes buffer(8);
  CK_ATTRIBUTE entries[] = {
      {CKA_PRIVATE_EXPONENT, buffer.data(), buffer.size()},
      {CKA_LABEL, nullptr, 0},
      {CKA_VALUE, buffer.data(), buffer.size()},
      {CKA_MODULUS, buffer.data(), 8},
  };
  TakeTrace();
  EXPECT_EQ(to_string(C_GetAttributeValue(h, priv, entries, 4)), "CKR_BUFFER_TOO_SMALL") << "the last failure";
  EXPECT_EQ(entries[0].ulValueLen, CK_UNAVAILABLE_INFORMATION);
  EXPECT_EQ(entries[1].ulValueLen, Attribute(h, priv, CKA_LABEL).size());
  EXPECT_EQ(entries[2].ulValueLen, CK_UNAVAILABLE_INFORMATION);
  EXPECT_EQ(entries[3].ulValueLen, 8u) << "left as given";
  const auto readKey = [](const zorbix::sim::TraceEntry& e) { return IsCommand(e, 0x90, 0x56); };
  auto trace = TakeTrace();
  EXPECT_EQ(std::count_if(trace.begin(), trace.end(), readKey), 2) << "exponent and modulus";

  // The card's key, the same for both objects of the pair; no second read.
  const Bytes modulus = Attribute(h, priv, CKA_MODULUS);
  const auto key = std::find_if(profile_.keys.begin(), profile_.keys.end(),
                                [&](const auto& k) { return k.modulus == modulus; });
  ASSERT_NE(key, profile_.keys.end());
  EXPECT_EQ(Attribute(h, pub, CKA_MODULUS), key->modulus);
  EXPECT_EQ(Attribute(h, pub, CKA_PUBLIC_EXPONENT), key->publicExponent);
  EXPECT_EQ(Attribute(h, priv, CKA_PUBLIC_EXPONENT), key->publicExponent);
  EXPECT_TRUE(TakeTrace().empty());
  EXPECT_EQ(C_GetAttributeValue(h, priv, nullptr, 0), CKR_OK);
  EXPECT_EQ(to_string(C_GetAttributeValue(h, priv, nullptr, 1)), "CKR_ARGUMENTS_BAD");
  EXPECT_EQ(to_string(C_GetAttributeValue(h, 0x100, entries, 1)), "CKR_OBJECT_HANDLE_INVALID");
}

TEST_F(Objects, ValuesComeFromTheCardOnceAndPreloadsReadEachFileOnce) {
  const CK_SESSION_HANDLE h = Open();
  const auto certificates = ById(h, CKO_CERTIFICATE);
  const auto publicKeys = ById(h, CKO_PUBLIC_KEY);
  for (const auto& [id, cert] : certificates) {
    TakeTrace();
    const Bytes value = Attribute(h, cert, CKA_VALUE);
    EXPECT_FALSE(TakeTrace().empty());
    const auto parts = zorbix::sim::p15::ParseCertificate(value);
    ASSERT_TRUE(parts) << "CKA_VALUE is no X.509 certificate";
    EXPECT_EQ(parts->subject, Attribute(h, cert, CKA_SUBJECT));
    EXPECT_EQ(parts->modulus, Attribute(h, publicKeys.at(id), CKA_MODULUS));
    TakeTrace();
    EXPECT_EQ(Attribute(h, cert, CKA_VALUE), value);
    EXPECT_TRUE(TakeTrace().empty()) << "loaded once";
  }
  // A new session of a new token context: the preload reads each value file
  // once, and nothing more is read for the values afterwards.
  ASSERT_EQ(C_CloseAllSessions(slot_), CKR_OK);
  const CK_SESSION_HANDLE again = Open();
  ASSERT_EQ(Login(again, profile_.pin), CKR_OK);
  TakeTrace();
  CK_ATTRIBUTE withValue{CKA_VALUE, nullptr, 0};
  ASSERT_EQ(C_FindObjectsInit(again, &withValue, 1), CKR_OK);
  ASSERT_EQ(C_FindObjectsFinal(again), CKR_OK);
  std::map<Bytes, int> reads;  // file selected last, READ BINARY P1 P2 Le
  Bytes file;
  for (const auto& e : TakeTrace()) {
    if (IsCommand(e, 0x00, 0xA4) && e.command[2] == 0x00) file.assign(e.command.begin() + 5, e.command.end());
    if (IsCommand(e, 0x00, 0xB0)) {
      Bytes read = file;
      read.insert(read.end(), e.command.begin() + 2, e.command.end());
      ++reads[read];
    }
  }
  std::set<Bytes> files;
  for (const auto& [read, n] : reads) {
    EXPECT_EQ(n, 1);
    files.insert(Bytes(read.begin(), read.begin() + 2));
  }
  EXPECT_EQ(files.size(), profile_.keys.size() + 2) << "every certificate and data object";
  for (CK_OBJECT_HANDLE o : FindClass(again, CKO_DATA)) EXPECT_FALSE(Attribute(again, o, CKA_VALUE).empty());
  EXPECT_TRUE(TakeTrace().empty());
}

TEST_F(Objects, ClosingTheLastSessionInvalidatesEveryObjectHandle) {
  const CK_SESSION_HANDLE first = Open();
  const CK_SESSION_HANDLE second = Open();
  const auto before = FindAll(first);
  ASSERT_FALSE(before.empty());
  ASSERT_EQ(C_CloseSession(first), CKR_OK);
  EXPECT_FALSE(Attribute(second, before[0], CKA_LABEL).empty()) << "one session is still open";
  ASSERT_EQ(C_CloseSession(second), CKR_OK);

  const CK_SESSION_HANDLE fresh = Open();
  CK_RV rv = CKR_OK;
  for (CK_OBJECT_HANDLE o : before) {
    Attribute(fresh, o, CKA_LABEL, &rv);
    EXPECT_EQ(to_string(rv), "CKR_OBJECT_HANDLE_INVALID");
  }
  const auto after = FindAll(fresh);
  EXPECT_EQ(after.size(), before.size());
  EXPECT_GT(after.front(), before.back()) << "handles are never reused";
}

// The card leaves while sessions are open: the next operation that reaches
// for it ends every session of the slot, and the card is served again once
// it is back.
class Removal : public Objects {
 protected:
  void ExpectSessionsGone(std::initializer_list<CK_SESSION_HANDLE> handles) {
    CK_SESSION_INFO info;
    for (CK_SESSION_HANDLE h : handles)
      EXPECT_EQ(to_string(C_GetSessionInfo(h, &info)), "CKR_SESSION_HANDLE_INVALID") << h;
  }
  void ExpectServedAgain(CK_OBJECT_HANDLE oldObject) {
    const CK_SESSION_HANDLE h = Open();
    ASSERT_EQ(Login(h, profile_.pin), CKR_OK);
    const auto objects = FindAll(h);
    EXPECT_EQ(objects.size(), 3 * profile_.keys.size() + 2);
    EXPECT_GT(objects.front(), oldObject);
  }
};

TEST_F(Removal, BetweenOperations) {
  const CK_SESSION_HANDLE a = Open();
  const CK_SESSION_HANDLE b = Open(CKF_SERIAL_SESSION | CKF_RW_SESSION);
  const CK_OBJECT_HANDLE object = FindAll(a).back();
  Fake().RemoveCard(kReader);
  EXPECT_EQ(to_string(C_FindObjectsInit(b, nullptr, 0)), "CKR_SESSION_HANDLE_INVALID");
  ExpectSessionsGone({a, b});
  CK_SESSION_HANDLE h = 0;
  // No card, no token type.
  EXPECT_EQ(to_string(C_OpenSession(slot_, CKF_SERIAL_SESSION, nullptr, nullptr, &h)),
            "CKR_SLOT_ID_INVALID");
  card->Reset();
  InsertCard();
  ExpectServedAgain(object);
}

TEST_F(Removal, InsideAnOperation) {
  const CK_SESSION_HANDLE a = Open();
  const CK_SESSION_HANDLE b = Open();
  const CK_OBJECT_HANDLE cert = FindClass(a, CKO_CERTIFICATE).front();
  // The card goes after the second command of the value's read.
  int commands = 0;
  Fake().SetResponder(kReader, [&](const Bytes& c) {
    if (++commands == 2) Fake().RemoveCard(kReader);
    return card->Process(c);
  });
  CK_RV rv = CKR_OK;
  Attribute(a, cert, CKA_VALUE, &rv);
  EXPECT_EQ(to_string(rv), "CKR_SESSION_HANDLE_INVALID");
  ExpectSessionsGone({a, b});
  card->Reset();
  InsertCard();
  ExpectServedAgain(cert);
}

TEST_F(Removal, LoginOnAVanishedCardEndsTheSessionsAtTheNextOperation) {
  const CK_SESSION_HANDLE a = Open();
  Fake().SetResponder(kReader, [&](const Bytes&) {
    Fake().RemoveCard(kReader);
    return Bytes{0x6F, 0x00};
  });
  // VERIFY reports every failure of the card as a device error.
  EXPECT_EQ(to_string(Login(a, profile_.pin)), "CKR_DEVICE_ERROR");
  CK_SESSION_INFO info;
  EXPECT_EQ(C_GetSessionInfo(a, &info), CKR_OK);
  EXPECT_EQ(to_string(C_FindObjectsInit(a, nullptr, 0)), "CKR_SESSION_HANDLE_INVALID");
  ExpectSessionsGone({a});
}

// Out and back in between two calls, nothing noticed it: opening a session
// finds the old sessions' card gone and ends them.
TEST_F(Removal, OpenAfterTheCardWasSwapped) {
  const CK_SESSION_HANDLE a = Open();
  ASSERT_EQ(Login(a, profile_.pin), CKR_OK);
  const CK_OBJECT_HANDLE object = FindAll(a).back();
  Fake().RemoveCard(kReader);
  card->Reset();
  InsertCard();
  const CK_SESSION_HANDLE b = Open();
  ExpectSessionsGone({a});
  EXPECT_EQ(Info(b).state, CKS_RO_PUBLIC_SESSION);
  EXPECT_GT(FindAll(b).front(), object);
}

// C_WaitForSlotEvent saw the removal and the card came back before the next
// call: the old sessions belong to the card that left.
TEST_F(Removal, SeenByTheSlotEventAndPutBack) {
  const CK_SESSION_HANDLE a = Open();
  ASSERT_EQ(Login(a, profile_.pin), CKR_OK);
  const CK_OBJECT_HANDLE object = FindAll(a).back();
  Fake().RemoveCard(kReader);
  CK_SLOT_ID event = 0;
  ASSERT_EQ(C_WaitForSlotEvent(CKF_DONT_BLOCK, &event, nullptr), CKR_OK);
  EXPECT_EQ(event, slot_);
  card->Reset();
  InsertCard();
  CK_TOKEN_INFO info;
  ASSERT_EQ(C_GetTokenInfo(slot_, &info), CKR_OK);
  EXPECT_EQ(to_string(C_FindObjectsInit(a, nullptr, 0)), "CKR_SESSION_HANDLE_INVALID");
  ExpectSessionsGone({a});
  ExpectServedAgain(object);

  // The same, with a new session opened before the old one is used again.
  const CK_SESSION_HANDLE b = Open();
  Fake().RemoveCard(kReader);
  ASSERT_EQ(C_WaitForSlotEvent(CKF_DONT_BLOCK, &event, nullptr), CKR_OK);
  card->Reset();
  InsertCard();
  const CK_SESSION_HANDLE c = Open();
  EXPECT_EQ(Info(c).state, CKS_RO_PUBLIC_SESSION) << "a new token context, not the old login";
  ExpectSessionsGone({b});
  EXPECT_FALSE(FindAll(c).empty());
}

// ---- the same contract on every profile

class EveryProfile : public TokenTest, public ::testing::WithParamInterface<std::string> {
 protected:
  void SetUp() override { UseCard(GetParam()); }
};

TEST_P(EveryProfile, LoginAndListEverythingWithItsAttributes) {
  const std::size_t keys = profile_.keys.size();
  const CK_SESSION_HANDLE h = Open();
  EXPECT_EQ(FindAll(h).size(), 2 * keys + 1) << "before login: certificates, public keys, public data";
  TakeTrace();
  ASSERT_EQ(to_string(Login(h, profile_.pin)), "CKR_OK");
  const auto login = TakeTrace();
  const std::size_t pinBytes = profile_.pin.size();
  for (const auto& e : login) {
    const bool plainVerifyWithPin = IsCommand(e, 0x00, 0x20) && e.command.size() == 5 + pinBytes;
    EXPECT_EQ(plainVerifyWithPin, !profile_.secureChannel) << "the PIN travels in the channel";
  }
  EXPECT_EQ(login.size() > 1, profile_.secureChannel) << "the channel opens at login";

  const auto all = FindAll(h);
  ASSERT_EQ(all.size(), 3 * keys + 2);
  std::map<CK_OBJECT_CLASS, std::map<Bytes, CK_OBJECT_HANDLE>> byClass;
  for (CK_OBJECT_HANDLE o : all) {
    const CK_OBJECT_CLASS c = Ulong(h, o, CKA_CLASS);
    EXPECT_FALSE(Attribute(h, o, CKA_LABEL).empty());
    if (c == CKO_DATA) {
      EXPECT_FALSE(Attribute(h, o, CKA_VALUE).empty());
      continue;
    }
    byClass[c][Attribute(h, o, CKA_ID)] = o;
  }
  ASSERT_EQ(byClass[CKO_CERTIFICATE].size(), keys);
  for (const auto& [id, cert] : byClass[CKO_CERTIFICATE]) {
    const auto parts = zorbix::sim::p15::ParseCertificate(Attribute(h, cert, CKA_VALUE));
    ASSERT_TRUE(parts);
    for (CK_OBJECT_CLASS keyClass : {CKO_PUBLIC_KEY, CKO_PRIVATE_KEY}) {
      ASSERT_EQ(byClass[keyClass].count(id), 1u);
      const CK_OBJECT_HANDLE key = byClass[keyClass][id];
      EXPECT_EQ(Attribute(h, key, CKA_MODULUS), parts->modulus);
      EXPECT_EQ(Attribute(h, key, CKA_PUBLIC_EXPONENT), parts->exponent);
      EXPECT_EQ(Ulong(h, key, CKA_KEY_TYPE), static_cast<CK_ULONG>(CKK_RSA));
    }
    EXPECT_EQ(Ulong(h, byClass[CKO_PUBLIC_KEY][id], CKA_MODULUS_BITS), parts->modulus.size() * 8);
  }
  // The PIN is verified: no low count, whatever the card kind.
  CK_TOKEN_INFO info;
  ASSERT_EQ(to_string(C_GetTokenInfo(slot_, &info)), "CKR_OK");
  EXPECT_EQ(info.flags & (CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_LOCKED), 0u);
}

std::vector<std::string> ProfileNames() {
  std::vector<std::string> names;
  for (const auto& p : zorbix::sim::AllProfiles()) names.push_back(p.name);
  return names;
}

INSTANTIATE_TEST_SUITE_P(Cards, EveryProfile, ::testing::ValuesIn(ProfileNames()),
                         [](const auto& info) {
                           std::string n = info.param;
                           std::replace(n.begin(), n.end(), '-', '_');
                           return n;
                         });

}  // namespace
