// The cryptographic calls on a token, against the card's trace: what each
// call sends, what it keeps, and what its refusals cost (nothing).
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "p11/confirmation.h"
#include "p11/sessions.h"
#include "res/strings.h"
#include "tests/p11/token_fixture.h"
#include "tests/support/hex.h"
#include "tests/support/pinentry_standin.h"
#include "tests/support/temp_dir.h"

namespace {

using zorbix::p11::to_string;
using zorbix::p11test::Bytes;
using zorbix::p11test::Fake;
using zorbix::p11test::TokenTest;
using zorbix::testing::ToHex;

CK_MECHANISM kRsaPkcs{CKM_RSA_PKCS, nullptr, 0};
CK_MECHANISM kSha1RsaPkcs{CKM_SHA1_RSA_PKCS, nullptr, 0};
CK_MECHANISM kKeyPairGen{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};

Bytes Ascii(const std::string& s) { return Bytes(s.begin(), s.end()); }

class CryptoCalls : public TokenTest {
 protected:
  // By default a plain card: keys 1 (1024 bits, signs and decrypts), 2
  // (2048 bits, signs) and 3 (2048 bits, decrypts).
  void LogIn(const std::string& profile = "TC-ORVA3") {
    UseCard(profile);
    OpenAndLogIn();
  }
  void OpenAndLogIn() {
    h_ = Open(CKF_SERIAL_SESSION | CKF_RW_SESSION);
    ASSERT_EQ(to_string(Login(h_, profile_.pin)), "CKR_OK");
    TakeTrace();
  }

  CK_OBJECT_HANDLE Key(CK_OBJECT_CLASS c, const std::string& label) {
    CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &c, sizeof c},
                           {CKA_LABEL, const_cast<char*>(label.data()), label.size()}};
    const auto found = FindAll(h_, {tmpl[0], tmpl[1]});
    EXPECT_EQ(found.size(), 1u) << label;
    return found.empty() ? 0 : found[0];
  }

  // CLA INS of every command the card got since the last look.
  std::vector<std::string> Commands() {
    std::vector<std::string> out;
    for (const auto& e : TakeTrace()) out.push_back(ToHex(Bytes(e.command.begin(), e.command.begin() + 2)));
    return out;
  }

  // A key pair made on the card through the module; the private key's
  // handle, the public one's in *pub.
  CK_RV Generate(CK_ULONG bits, const Bytes& id, CK_OBJECT_HANDLE* priv, CK_OBJECT_HANDLE* pub) {
    CK_BBOOL yes = CK_TRUE;
    CK_BYTE exponent[] = {0x01, 0x00, 0x01};
    Bytes idCopy = id;
    std::vector<CK_ATTRIBUTE> pubTemplate = {{CKA_TOKEN, &yes, 1},
                                             {CKA_VERIFY, &yes, 1},
                                             {CKA_MODULUS_BITS, &bits, sizeof bits},
                                             {CKA_PUBLIC_EXPONENT, exponent, sizeof exponent}};
    std::vector<CK_ATTRIBUTE> privTemplate = {{CKA_TOKEN, &yes, 1}, {CKA_PRIVATE, &yes, 1}, {CKA_SIGN, &yes, 1}};
    if (!idCopy.empty()) {
      pubTemplate.push_back({CKA_ID, idCopy.data(), idCopy.size()});
      privTemplate.push_back({CKA_ID, idCopy.data(), idCopy.size()});
    }
    return C_GenerateKeyPair(h_, &kKeyPairGen, pubTemplate.data(), pubTemplate.size(), privTemplate.data(),
                             privTemplate.size(), pub, priv);
  }

  CK_SESSION_HANDLE h_ = 0;
};

// ---------------------------------------------------------------- sign

// One operation, step by step: the card signs at the length query, and the
// calls that fetch the signature (after a buffer one byte short) send
// nothing. A 2048-bit block goes to the card in two envelopes.
TEST_F(CryptoCalls, SignedOnceForALengthQueryAndAShortBuffer) {
  LogIn();
  struct Step {
    const char* call;
    bool buffer;           // pass a buffer, else ask the length
    CK_ULONG offered;      // its length
    const char* rv;
    std::vector<std::string> commands;
  };
  struct Case {
    const char* key;
    CK_MECHANISM* mechanism;
    CK_ULONG length;
    std::vector<std::string> signing;  // the commands of the one signature
  };
  const Case cases[] = {
      {"KprivAutenticacion", &kSha1RsaPkcs, 128, {"90 58", "90 5A"}},
      {"KprivAutenticacion", &kRsaPkcs, 128, {"90 58", "90 5A"}},
      {"KprivFirmaDigital", &kSha1RsaPkcs, 256, {"90 C2", "90 C2", "90 5A"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.key) + " " + std::to_string(c.length));
    ASSERT_EQ(to_string(C_SignInit(h_, c.mechanism, Key(CKO_PRIVATE_KEY, c.key))), "CKR_OK");
    TakeTrace();
    const Step steps[] = {
        {"length query", false, 0, "CKR_OK", c.signing},
        {"one byte short", true, c.length - 1, "CKR_BUFFER_TOO_SMALL", {}},
        {"length query again", false, 0, "CKR_OK", {}},
        {"fetch", true, c.length + 10, "CKR_OK", {}},
        {"operation over", true, c.length, "CKR_OPERATION_NOT_INITIALIZED", {}},
    };
    Bytes first;
    for (const Step& s : steps) {
      SCOPED_TRACE(s.call);
      // Later calls pass other data: the kept signature is handed out.
      Bytes data = Ascii(first.empty() ? "the data" : "other data");
      Bytes signature(s.buffer ? s.offered : 0, 0xEE);
      CK_ULONG length = s.offered;
      EXPECT_EQ(to_string(C_Sign(h_, data.data(), data.size(), s.buffer ? signature.data() : nullptr, &length)),
                s.rv);
      EXPECT_EQ(Commands(), s.commands);
      if (std::string(s.rv) != "CKR_OPERATION_NOT_INITIALIZED") {
        EXPECT_EQ(length, c.length);
      }
      if (std::string(s.call) == "fetch") {
        signature.resize(length);
        EXPECT_NE(signature, Bytes(length, 0xEE));
        first = signature;
      }
    }
  }
}

TEST_F(CryptoCalls, SignWithoutInitAndAfterAFailedInit) {
  LogIn();
  CK_ULONG length = 0;
  EXPECT_EQ(to_string(C_Sign(h_, nullptr, 0, nullptr, &length)), "CKR_OPERATION_NOT_INITIALIZED");
  // A decryption-only key: refused, and the operation stays off.
  EXPECT_EQ(to_string(C_SignInit(h_, &kRsaPkcs, Key(CKO_PRIVATE_KEY, "KprivCifrado"))),
            "CKR_KEY_FUNCTION_NOT_PERMITTED");
  EXPECT_EQ(to_string(C_Sign(h_, nullptr, 0, nullptr, &length)), "CKR_OPERATION_NOT_INITIALIZED");
  CK_MECHANISM md5{CKM_MD5_RSA_PKCS, nullptr, 0};
  EXPECT_EQ(to_string(C_SignInit(h_, &md5, Key(CKO_PRIVATE_KEY, "KprivAutenticacion"))), "CKR_MECHANISM_INVALID");
  EXPECT_EQ(to_string(C_SignInit(h_, &kRsaPkcs, 0x7FFFFFFF)), "CKR_OBJECT_HANDLE_INVALID");
  EXPECT_TRUE(Commands().empty());
}

// The null pointers of the calls: refused before the session is looked up
// or the card is asked.
TEST_F(CryptoCalls, NullPointersAreBadArguments) {
  LogIn();
  CK_ULONG length = 0;
  CK_OBJECT_HANDLE pub = 0, priv = 0;
  CK_BBOOL yes = CK_TRUE;
  CK_ATTRIBUTE tmpl{CKA_TOKEN, &yes, 1};
  const std::pair<const char*, std::function<CK_RV()>> calls[] = {
      {"C_SignInit", [&] { return C_SignInit(h_, nullptr, 0); }},
      {"C_VerifyInit", [&] { return C_VerifyInit(h_, nullptr, 0); }},
      {"C_DecryptInit", [&] { return C_DecryptInit(h_, nullptr, 0); }},
      {"C_Sign length", [&] { return C_Sign(h_, nullptr, 0, nullptr, nullptr); }},
      {"C_Sign data", [&] { return C_Sign(h_, nullptr, 3, nullptr, &length); }},
      {"C_Verify data", [&] { return C_Verify(h_, nullptr, 3, nullptr, 0); }},
      {"C_Verify signature", [&] { return C_Verify(h_, nullptr, 0, nullptr, 128); }},
      {"C_Decrypt length", [&] { return C_Decrypt(h_, nullptr, 0, nullptr, nullptr); }},
      {"C_Decrypt data", [&] { return C_Decrypt(h_, nullptr, 128, nullptr, &length); }},
      {"C_GenerateRandom", [&] { return C_GenerateRandom(h_, nullptr, 0); }},
      {"C_GenerateKeyPair mechanism",
       [&] { return C_GenerateKeyPair(h_, nullptr, &tmpl, 1, &tmpl, 1, &pub, &priv); }},
      {"C_GenerateKeyPair public handle",
       [&] { return C_GenerateKeyPair(h_, &kKeyPairGen, &tmpl, 1, &tmpl, 1, nullptr, &priv); }},
      {"C_GenerateKeyPair private handle",
       [&] { return C_GenerateKeyPair(h_, &kKeyPairGen, &tmpl, 1, &tmpl, 1, &pub, nullptr); }},
  };
  for (const auto& [name, call] : calls) EXPECT_EQ(to_string(call()), "CKR_ARGUMENTS_BAD") << name;
  EXPECT_TRUE(Commands().empty());

  // With good pointers the session comes next.
  const CK_SESSION_HANDLE closed = Open();
  ASSERT_EQ(C_CloseSession(closed), CKR_OK);
  TakeTrace();
  Bytes buffer(16);
  const std::pair<const char*, std::function<CK_RV()>> unknown[] = {
      {"C_SignInit", [&] { return C_SignInit(closed, &kRsaPkcs, 0); }},
      {"C_Sign", [&] { return C_Sign(closed, buffer.data(), 3, nullptr, &length); }},
      {"C_VerifyInit", [&] { return C_VerifyInit(closed, &kRsaPkcs, 0); }},
      {"C_Verify", [&] { return C_Verify(closed, buffer.data(), 3, buffer.data(), 3); }},
      {"C_DecryptInit", [&] { return C_DecryptInit(closed, &kRsaPkcs, 0); }},
      {"C_Decrypt", [&] { return C_Decrypt(closed, buffer.data(), 3, nullptr, &length); }},
      {"C_GenerateRandom", [&] { return C_GenerateRandom(closed, buffer.data(), 3); }},
      {"C_GenerateKeyPair",
       [&] { return C_GenerateKeyPair(closed, &kKeyPairGen, &tmpl, 1, &tmpl, 1, &pub, &priv); }},
  };
  for (const auto& [name, call] : unknown)
    EXPECT_EQ(to_string(call()), "CKR_SESSION_HANDLE_INVALID") << name;
  EXPECT_TRUE(Commands().empty());
}

// ---------------------------------------------------------------- verify

TEST_F(CryptoCalls, VerifiedOnTheCardAndRetriedAfterAWrongSignature) {
  LogIn();
  const Bytes data = Ascii("signed on the card");
  ASSERT_EQ(C_SignInit(h_, &kSha1RsaPkcs, Key(CKO_PRIVATE_KEY, "KprivAutenticacion")), CKR_OK);
  Bytes signature(128);
  CK_ULONG length = signature.size();
  Bytes copy = data;
  ASSERT_EQ(C_Sign(h_, copy.data(), copy.size(), signature.data(), &length), CKR_OK);
  Bytes wrong = signature;
  wrong[5] ^= 0x01;
  TakeTrace();

  ASSERT_EQ(to_string(C_VerifyInit(h_, &kSha1RsaPkcs, Key(CKO_PUBLIC_KEY, "KpubAutenticacion"))), "CKR_OK");
  struct Step {
    Bytes signature;
    const char* rv;
    std::vector<std::string> commands;
  };
  const Step steps[] = {
      {wrong, "CKR_SIGNATURE_INVALID", {"90 58", "90 5E"}},
      {signature, "CKR_OK", {"90 58", "90 5E"}},
      {signature, "CKR_OPERATION_NOT_INITIALIZED", {}},
  };
  for (const Step& s : steps) {
    Bytes d = data, sig = s.signature;
    EXPECT_EQ(to_string(C_Verify(h_, d.data(), d.size(), sig.data(), sig.size())), s.rv);
    EXPECT_EQ(Commands(), s.commands) << s.rv;
  }
  EXPECT_EQ(to_string(C_VerifyInit(h_, &kSha1RsaPkcs, Key(CKO_PRIVATE_KEY, "KprivAutenticacion"))),
            "CKR_KEY_HANDLE_INVALID");
}

// A card pulled out while it checks a signature ends the token's sessions,
// as any removal does; it is no wrong data.
TEST_F(CryptoCalls, ACardPulledOutDuringVerifyEndsTheSessions) {
  LogIn();
  const CK_SESSION_HANDLE other = Open();
  ASSERT_EQ(C_VerifyInit(h_, &kRsaPkcs, Key(CKO_PUBLIC_KEY, "KpubAutenticacion")), CKR_OK);
  // Out once the block is loaded: the check itself never reaches the card.
  card->AddHandler(0x90, 0x58, [](zorbix::sim::Card& c, const zorbix::sim::Apdu& apdu) {
    Fake().FailNext("Transmit", SCARD_W_REMOVED_CARD);
    return c.Next(apdu);
  });
  Bytes data = Ascii("abc"), signature(128, 0x11);
  EXPECT_EQ(to_string(C_Verify(h_, data.data(), data.size(), signature.data(), signature.size())),
            "CKR_SESSION_HANDLE_INVALID");
  Fake().RemoveCard(kReader);
  CK_SESSION_INFO info;
  EXPECT_EQ(to_string(C_GetSessionInfo(h_, &info)), "CKR_SESSION_HANDLE_INVALID");
  EXPECT_EQ(to_string(C_GetSessionInfo(other, &info)), "CKR_SESSION_HANDLE_INVALID");
}

// ---------------------------------------------------------------- decrypt

TEST_F(CryptoCalls, DecryptInitRefusalsSendNothing) {
  LogIn();
  // A key of this session only, as an application's own object would be.
  auto sessionKey = std::make_shared<zorbix::p11::CPKCS11PrivateKeyObject>();
  sessionKey->SetUlong(CKA_KEY_TYPE, CKK_RSA);
  sessionKey->SetBool(CKA_TOKEN, false);
  sessionKey->SetBool(CKA_DECRYPT, true);
  sessionKey->SetKeyReference(1);
  zorbix::p11::Module().sessions.ContextOfSession(h_).Objects().Add(sessionKey);

  const CK_OBJECT_HANDLE decrypting = Key(CKO_PRIVATE_KEY, "KprivCifrado");
  struct Case {
    const char* what;
    CK_MECHANISM* mechanism;
    CK_OBJECT_HANDLE key;
    const char* rv;
  };
  const Case cases[] = {
      {"CKM_SHA1_RSA_PKCS decrypts nothing", &kSha1RsaPkcs, decrypting, "CKR_MECHANISM_INVALID"},
      {"a session key", &kRsaPkcs, sessionKey->Handle(), "CKR_KEY_HANDLE_INVALID"},
      {"a session key, any mechanism", &kSha1RsaPkcs, sessionKey->Handle(), "CKR_KEY_HANDLE_INVALID"},
      {"a public key", &kRsaPkcs, Key(CKO_PUBLIC_KEY, "KpubCifrado"), "CKR_KEY_HANDLE_INVALID"},
      {"a signing-only key", &kRsaPkcs, Key(CKO_PRIVATE_KEY, "KprivFirmaDigital"),
       "CKR_KEY_FUNCTION_NOT_PERMITTED"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(to_string(C_DecryptInit(h_, c.mechanism, c.key)), c.rv) << c.what;
    CK_ULONG length = 0;
    Bytes ciphertext(256, 0x11);
    EXPECT_EQ(to_string(C_Decrypt(h_, ciphertext.data(), ciphertext.size(), nullptr, &length)),
              "CKR_OPERATION_NOT_INITIALIZED")
        << c.what;
  }
  EXPECT_TRUE(Commands().empty());
}

// ---------------------------------------------------------------- key pairs

// The card-family 1.0 token gives new keys the references 32 to 48; its two
// keys hold 32 and 33, so fifteen more fit, and the next pair is refused
// before any command.
TEST_F(CryptoCalls, NoFreeKeyReferenceOnTheCardFamily10Token) {
  LogIn("HALVO1_0");
  std::vector<int> references;
  for (int i = 0; i < 15; ++i) {
    CK_OBJECT_HANDLE priv = 0, pub = 0;
    ASSERT_EQ(to_string(Generate(1024, {}, &priv, &pub)), "CKR_OK") << i;
    for (const auto& e : TakeTrace())
      if (e.command[0] == 0x90 && e.command[1] == 0x76) references.push_back(e.command[3]);
  }
  std::vector<int> expected;
  for (int r = 34; r <= 48; ++r) expected.push_back(r);
  EXPECT_EQ(references, expected);

  CK_OBJECT_HANDLE priv = 0, pub = 0;
  EXPECT_EQ(to_string(Generate(1024, {}, &priv, &pub)), "CKR_DEVICE_MEMORY");
  EXPECT_TRUE(Commands().empty());
  EXPECT_EQ(FindClass(h_, CKO_PRIVATE_KEY).size(), 17u);
}

// Its generation command names no size, and this card makes 1024-bit keys:
// a 2048-bit pair would be listed with a length its key does not have. The
// key is read back, found short, erased and refused.
TEST_F(CryptoCalls, TheCardFamily10TokenRefusesASizeItDoesNotMake) {
  LogIn("HALVO1_0");
  const std::size_t before = FindAll(h_).size();
  TakeTrace();
  CK_OBJECT_HANDLE priv = 0, pub = 0;
  EXPECT_EQ(to_string(Generate(2048, {}, &priv, &pub)), "CKR_ATTRIBUTE_VALUE_INVALID");
  std::vector<std::string> commands = Commands();
  ASSERT_FALSE(commands.empty());
  EXPECT_EQ(commands.back(), "90 54");
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "90 76"), 1);
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "90 56"), 2);
  EXPECT_EQ(FindAll(h_).size(), before);

  // A size it makes: the parts read back are the new objects' own.
  ASSERT_EQ(to_string(Generate(1024, {}, &priv, &pub)), "CKR_OK");
  TakeTrace();
  EXPECT_EQ(Attribute(h_, pub, CKA_MODULUS).size(), 128u);
  EXPECT_EQ(Attribute(h_, pub, CKA_PUBLIC_EXPONENT), (Bytes{0x01, 0x00, 0x01}));
  EXPECT_TRUE(Commands().empty());
}

TEST_F(CryptoCalls, AGeneratedPairSignsAndVerifies) {
  LogIn();
  CK_OBJECT_HANDLE priv = 0, pub = 0;
  ASSERT_EQ(to_string(Generate(1024, Ascii("new"), &priv, &pub)), "CKR_OK");
  // Erase, generate between activations, then the key file (one for both
  // parts: selected once more, not twice) and the two directories.
  std::vector<std::string> keyCommands;
  for (const auto& e : TakeTrace())
    if (e.command[0] == 0x90 || ToHex(e.command) == "00 A4 00 00 02 01 04") keyCommands.push_back(ToHex(e.command));
  const std::vector<std::string> expected = {
      "00 A4 00 00 02 01 04", "90 44 00 00 00",   "90 54 80 04 00",
      "00 A4 00 00 02 01 04", "90 44 00 00 00",   "90 76 80 04 09 80 02 04 00 82 03 01 00 01",
      "90 44 00 00 00",       "00 A4 00 00 02 01 04"};
  EXPECT_EQ(keyCommands, expected);
  EXPECT_EQ(Ulong(h_, pub, CKA_MODULUS_BITS), 1024u);
  EXPECT_EQ(Attribute(h_, pub, CKA_MODULUS).size(), 128u);
  EXPECT_EQ(Attribute(h_, priv, CKA_ID), Ascii("new"));
  TakeTrace();

  Bytes data = Ascii("with the new key"), signature(128);
  CK_ULONG length = signature.size();
  ASSERT_EQ(C_SignInit(h_, &kSha1RsaPkcs, priv), CKR_OK);
  ASSERT_EQ(to_string(C_Sign(h_, data.data(), data.size(), signature.data(), &length)), "CKR_OK");
  ASSERT_EQ(C_VerifyInit(h_, &kSha1RsaPkcs, pub), CKR_OK);
  EXPECT_EQ(to_string(C_Verify(h_, data.data(), data.size(), signature.data(), length)), "CKR_OK");
  // The new key's reference: the lowest one no key uses.
  const auto trace = TakeTrace();
  ASSERT_FALSE(trace.empty());
  EXPECT_EQ(ToHex(trace.back().command).substr(0, 11), "90 5E 80 04");

  // The pair is on the card's directories: a new session on a fresh
  // context finds it.
  ASSERT_EQ(C_CloseAllSessions(slot_), CKR_OK);
  OpenAndLogIn();
  CK_BYTE id[] = {'n', 'e', 'w'};
  CK_ATTRIBUTE byId{CKA_ID, id, sizeof id};
  EXPECT_EQ(FindAll(h_, {byId}).size(), 2u);
}

// ---------------------------------------------------------------- random

TEST_F(CryptoCalls, RandomBytesTwentyPerChallenge) {
  UseCard("TC-ORVA3");
  h_ = Open();
  TakeTrace();
  const std::pair<CK_ULONG, std::size_t> cases[] = {{0, 0}, {1, 1}, {20, 1}, {21, 2}, {45, 3}};
  for (const auto& [length, challenges] : cases) {
    Bytes buffer(length + 1, 0x00);
    EXPECT_EQ(to_string(C_GenerateRandom(h_, buffer.data(), length)), "CKR_OK");
    const auto commands = TakeTrace();
    EXPECT_EQ(commands.size(), challenges) << length;
    for (const auto& e : commands) EXPECT_EQ(ToHex(e.command), "00 84 00 00 14");
    // Nothing past the length is written.
    EXPECT_EQ(buffer.back(), 0x00) << length;
    if (length == 45) {
      // Taken in order from the three answers: 20, 20 and the first 5.
      Bytes expected;
      for (std::size_t i = 0; i < 3; ++i)
        expected.insert(expected.end(), commands[i].response.begin(),
                        commands[i].response.begin() + (i < 2 ? 20 : 5));
      EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 45), expected);
    }
  }
  EXPECT_EQ(C_SeedRandom(h_, nullptr, 0), CKR_FUNCTION_NOT_SUPPORTED);
}

// ---------------------------------------------------------------- confirmation

// A key whose CKA_ID starts with 'F' signs only when the user says Yes;
// pinentry (stand-ins on PATH) asks for the module.
TEST_F(CryptoCalls, KeysOfAnIdStartingWithFAskFirst) {
  LogIn();
  CK_OBJECT_HANDLE priv = 0, pub = 0;
  ASSERT_EQ(to_string(Generate(1024, Ascii("F-signature"), &priv, &pub)), "CKR_OK");
  TakeTrace();
  zorbix::p11::SetConfirmationHook({});
  struct Case {
    const char* answer;
    const char* pinentry;  // null: none on PATH
    const char* rv;
  };
  const Case cases[] = {
      {"yes", zorbix::testing::kPinentryYes, "CKR_OK"},
      {"no", zorbix::testing::kPinentryNotConfirmed, "CKR_FUNCTION_FAILED"},
      {"cancel", zorbix::testing::kPinentryCancelled, "CKR_FUNCTION_FAILED"},
      {"no terminal", zorbix::testing::kPinentryNoTty, "CKR_FUNCTION_CANCELED"},
      {"no pinentry", nullptr, "CKR_FUNCTION_CANCELED"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer);
    zorbix::testing::TempDir dir;
    if (c.pinentry) zorbix::testing::WritePinentry(dir.path(), c.pinentry);
    {
      zorbix::testing::ScopedPath path(dir.path());
      EXPECT_EQ(to_string(C_SignInit(h_, &kRsaPkcs, priv)), c.rv);
    }
    if (c.pinentry) {
      const auto lines = zorbix::testing::PinentryReceived(dir.path());
      const auto received = [&lines](const std::string& line) {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
      };
      EXPECT_TRUE(received("SETTITLE " + zorbix::res::Text(104)));
      EXPECT_TRUE(received("CONFIRM"));
    }
    Bytes data = Ascii("abc"), signature(128);
    CK_ULONG length = signature.size();
    const bool yes = std::string(c.rv) == "CKR_OK";
    EXPECT_EQ(to_string(C_Sign(h_, data.data(), data.size(), signature.data(), &length)),
              yes ? "CKR_OK" : "CKR_OPERATION_NOT_INITIALIZED");
    EXPECT_EQ(Commands().size(), yes ? 2u : 0u);
  }
  // Other keys and the other operations never ask: with no pinentry at all
  // they go on.
  zorbix::testing::TempDir empty;
  zorbix::testing::ScopedPath path(empty.path());
  EXPECT_EQ(to_string(C_SignInit(h_, &kRsaPkcs, Key(CKO_PRIVATE_KEY, "KprivAutenticacion"))), "CKR_OK");
  EXPECT_EQ(to_string(C_VerifyInit(h_, &kRsaPkcs, pub)), "CKR_OK");
}

}  // namespace
