// The RSA mechanisms: padding and DigestInfo against OpenSSL's own PKCS#1
// signatures, the init checks, the signing confirmation (hook and pinentry
// stand-ins), handing out results and preparing key pairs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "p11/confirmation.h"
#include "p11/mechanisms.h"
#include "p11/tokentypes.h"
#include "res/strings.h"
#include "tests/comm/comm_fixture.h"
#include "tests/p11/object_attributes.h"
#include "tests/p11/raised.h"
#include "tests/support/hex.h"
#include "tests/support/openssl_cli.h"
#include "tests/support/pinentry_standin.h"
#include "tests/support/temp_dir.h"

namespace zorbix::p11 {
namespace {

using testing::Hex;
using testing::RaisedBy;
using testing::TempDir;
using testing::UlongBytes;
using Bytes = std::vector<std::uint8_t>;

Bytes Plain(const SecureBytes& s) { return Bytes(s.begin(), s.end()); }
SecureBytes Secure(const Bytes& b) { return SecureBytes(b.begin(), b.end()); }
Bytes Ascii(const std::string& s) { return Bytes(s.begin(), s.end()); }

CTokenType AllMechanisms() {
  CTokenType t;
  t.mechanisms = {CKM_RSA_PKCS_KEY_PAIR_GEN, CKM_RSA_PKCS, CKM_SHA1_RSA_PKCS};
  return t;
}

// A card key as the directories make them: RSA, with the given usage.
std::shared_ptr<CPKCS11PrivateKeyObject> PrivateKey(bool sign = true, bool decrypt = true,
                                                    const std::string& id = "01") {
  auto key = std::make_shared<CPKCS11PrivateKeyObject>();
  key->SetUlong(CKA_KEY_TYPE, CKK_RSA);
  key->SetBool(CKA_SIGN, sign);
  key->SetBool(CKA_DECRYPT, decrypt);
  key->Set(CKA_ID, Ascii(id));
  key->SetKeyReference(5);
  key->SetModulusBits(1024);
  return key;
}

std::shared_ptr<CPKCS11PublicKeyObject> PublicKey(bool verify = true) {
  auto key = std::make_shared<CPKCS11PublicKeyObject>();
  key->SetUlong(CKA_KEY_TYPE, CKK_RSA);
  key->SetBool(CKA_VERIFY, verify);
  key->SetKeyReference(6);
  key->SetModulusBits(2048);
  return key;
}

// ---------------------------------------------------------------- classes

TEST(Mechanisms, ClassesReportTheirSizesAndFlags) {
  const struct {
    CK_MECHANISM_TYPE type;
    CK_FLAGS flags;
  } cases[] = {
      {CKM_RSA_PKCS_KEY_PAIR_GEN, 0x10000},
      {CKM_RSA_PKCS, 0x2A00},
      {CKM_SHA1_RSA_PKCS, 0x2A00},
  };
  for (const auto& c : cases) {
    const auto mech = CreateMech(AllMechanisms(), c.type);
    ASSERT_NE(mech, nullptr) << c.type;
    EXPECT_EQ(mech->Type(), c.type);
    EXPECT_EQ(mech->MinKeySize(), 1024u);
    EXPECT_EQ(mech->MaxKeySize(), 2048u);
    EXPECT_EQ(mech->Flags(), c.flags);
    EXPECT_EQ(mech->Key(), nullptr);
    EXPECT_EQ(RaisedBy([&] { mech->KeyReference(); }), CKR_OPERATION_NOT_INITIALIZED);
  }
}

TEST(Mechanisms, OnlyWhatTheTokenTypeListsAndTheModuleImplements) {
  CTokenType signOnly;
  signOnly.mechanisms = {CKM_SHA1_RSA_PKCS, CKM_RSA_X_509};
  EXPECT_NE(CreateMech(signOnly, CKM_SHA1_RSA_PKCS), nullptr);
  EXPECT_EQ(CreateMech(signOnly, CKM_RSA_PKCS), nullptr);
  EXPECT_EQ(CreateMech(signOnly, CKM_RSA_X_509), nullptr);  // listed, not implemented
  EXPECT_EQ(CreateMech(CTokenType{}, CKM_RSA_PKCS), nullptr);
}

// ---------------------------------------------------------------- Pad, FormatData

TEST(Mechanisms, PadNeedsFourBytesBesideTheData) {
  const Bytes data = Hex("11 22 33");
  const struct {
    std::size_t k;
    std::optional<Bytes> block;  // none: CKR_DATA_INVALID
  } cases[] = {
      {0, std::nullopt},
      {3, std::nullopt},
      {6, std::nullopt},  // n + 3
      {7, Hex("00 01 FF 00 11 22 33")},  // n + 4
      {8, Hex("00 01 FF FF 00 11 22 33")},
  };
  for (CK_MECHANISM_TYPE type : {CKM_RSA_PKCS, CKM_SHA1_RSA_PKCS}) {
    for (const auto& c : cases) {
      SecureBytes padded = Secure(data);
      const CK_RV rv = RaisedBy([&] { CreateMech(AllMechanisms(), type)->Pad(padded, c.k); });
      if (c.block) {
        EXPECT_EQ(rv, CKR_OK) << c.k;
        EXPECT_EQ(Plain(padded), *c.block) << c.k;
      } else {
        EXPECT_EQ(rv, CKR_DATA_INVALID) << c.k;
      }
    }
  }
  SecureBytes empty;
  PadBlockType1(empty, 4);
  EXPECT_EQ(Plain(empty), Hex("00 01 FF 00"));
}

TEST(Mechanisms, TheKeyPairMechanismAndTheBaseLeaveDataAlone) {
  const auto gen = CreateMech(AllMechanisms(), CKM_RSA_PKCS_KEY_PAIR_GEN);
  SecureBytes data = Secure(Hex("01 02"));
  gen->FormatData(data);
  gen->Pad(data, 128);
  EXPECT_EQ(Plain(data), Hex("01 02"));
  const auto raw = CreateMech(AllMechanisms(), CKM_RSA_PKCS);
  raw->FormatData(data);
  EXPECT_EQ(Plain(data), Hex("01 02"));
}

TEST(Mechanisms, Sha1DigestInfoOfAbc) {
  SecureBytes data = Secure(Ascii("abc"));
  CreateMech(AllMechanisms(), CKM_SHA1_RSA_PKCS)->FormatData(data);
  // The DigestInfo prefix, then the published SHA-1 of "abc".
  EXPECT_EQ(Plain(data), Hex("30 21 30 09 06 05 2B 0E 03 02 1A 05 00 04 14"
                             "A9 99 3E 36 47 06 81 6A BA 3E 25 71 78 50 C2 6C 9C D0 D8 9D"));
}

// OpenSSL signs with PKCS#1 v1.5; its public operation without padding gives
// the whole block back, which must be ours byte for byte.
class AgainstOpenssl : public ::testing::Test {
 protected:
  static void Run(const std::string& command) {
    ASSERT_EQ(std::system((command + " 2>/dev/null").c_str()), 0) << command;
  }
  std::string File(const std::string& name) const { return openssl_.File(name); }
  void Write(const std::string& name, const Bytes& bytes) const { openssl_.Write(name, bytes); }
  Bytes Read(const std::string& name) const { return openssl_.Read(name); }
  void MakeKey(unsigned bits) {
    Run("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:" + std::to_string(bits) +
        " -out " + File("key.pem"));
  }
  // The type 01 block inside the signature file.
  Bytes RecoveredBlock() {
    Run("openssl pkeyutl -verifyrecover -inkey " + File("key.pem") +
        " -pkeyopt rsa_padding_mode:none -in " + File("sig") + " -out " + File("block"));
    return Read("block");
  }
  TempDir dir_;
  testing::OpensslCli openssl_{dir_.path()};
};

TEST_F(AgainstOpenssl, Sha1RsaPkcsBlocksAreOpensslSignatureBlocks) {
  const Bytes thousand(1000, 0x5A);
  for (unsigned bits : {1024u, 2048u}) {
    MakeKey(bits);
    for (const Bytes& message : {Ascii("abc"), Bytes{}, thousand}) {
      Write("data", message);
      Run("openssl dgst -sha1 -sign " + File("key.pem") + " -out " + File("sig") + " " + File("data"));
      const Bytes expected = RecoveredBlock();
      ASSERT_EQ(expected.size(), bits / 8);

      auto mech = CreateMech(AllMechanisms(), CKM_SHA1_RSA_PKCS);
      SecureBytes block = Secure(message);
      mech->FormatData(block);
      mech->Pad(block, bits / 8);
      EXPECT_EQ(Plain(block), expected) << bits << " bits, " << message.size() << " bytes";
    }
  }
}

TEST_F(AgainstOpenssl, RsaPkcsBlocksAreOpensslRawSignatureBlocks) {
  MakeKey(1024);
  // pkeyutl signs at most 64 bytes this way; other lengths follow the rule
  // checked above.
  for (std::size_t n : {std::size_t{1}, std::size_t{35}, std::size_t{64}}) {
    const Bytes message = Bytes(n, static_cast<std::uint8_t>(n));
    Write("data", message);
    Run("openssl pkeyutl -sign -inkey " + File("key.pem") + " -in " + File("data") + " -out " +
        File("sig"));
    auto mech = CreateMech(AllMechanisms(), CKM_RSA_PKCS);
    SecureBytes block = Secure(message);
    mech->FormatData(block);
    mech->Pad(block, 128);
    EXPECT_EQ(Plain(block), RecoveredBlock()) << n;
  }
}

// The block the plain communicator sends for "abc", as the card sees it.
class MechanismOnTheCard : public commtest::CommTest {};

TEST_F(MechanismOnTheCard, PlainSigningOfAbcSendsTheOpensslBlock) {
  TempDir dir;
  const auto file = [&](const char* n) { return (dir.path() / n).string(); };
  ASSERT_EQ(std::system(("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out " +
                         file("key.pem") + " 2>/dev/null && printf abc | openssl dgst -sha1 -sign " +
                         file("key.pem") + " -out " + file("sig") +
                         " && openssl pkeyutl -verifyrecover -inkey " + file("key.pem") +
                         " -pkeyopt rsa_padding_mode:none -in " + file("sig") + " -out " +
                         file("block"))
                            .c_str()),
            0);
  std::ifstream in(file("block"), std::ios::binary);
  const Bytes expected(std::istreambuf_iterator<char>(in), {});
  ASSERT_EQ(expected.size(), 128u);

  const Bytes signature(128, 0x5A);
  card_ = [&](const Bytes& c) {
    return c[1] == 0x5A ? commtest::Cat({signature, commtest::Sw(0x9000)}) : commtest::Sw(0x9000);
  };
  auto mech = CreateMech(AllMechanisms(), CKM_SHA1_RSA_PKCS);
  mech->SignInit(PrivateKey(), nullptr, 0);
  auto comm = Comm();
  Bytes got;
  comm->Sign(*mech, Ascii("abc"), got);
  EXPECT_EQ(got, signature);
  const std::vector<Bytes> sent = {commtest::Cat({Hex("90 58 00 00 80"), expected}),
                                   Hex("90 5A 80 05 80")};
  EXPECT_EQ(Sent(), sent);
}

// ---------------------------------------------------------------- init checks

enum class Op { Sign, Verify, Decrypt };

struct InitCase {
  const char* name;
  CK_MECHANISM_TYPE type;
  Op op;
  std::function<std::shared_ptr<CPKCS11Object>()> key;
  CK_RV expected;
  bool withParameter = false;
};

TEST(Mechanisms, InitChecksInTheirOrder) {
  const auto rsaKeyOfType = [](CK_KEY_TYPE type) {
    return [type]() -> std::shared_ptr<CPKCS11Object> {
      auto k = PrivateKey();
      k->SetUlong(CKA_KEY_TYPE, type);
      return k;
    };
  };
  const InitCase cases[] = {
      {"sign", CKM_RSA_PKCS, Op::Sign, [] { return PrivateKey(); }, CKR_OK},
      {"sign_sha1", CKM_SHA1_RSA_PKCS, Op::Sign, [] { return PrivateKey(); }, CKR_OK},
      {"sign_public_key", CKM_RSA_PKCS, Op::Sign, [] { return PublicKey(); }, CKR_KEY_HANDLE_INVALID},
      {"sign_certificate", CKM_SHA1_RSA_PKCS, Op::Sign,
       [] { return std::make_shared<CPKCS11CertificateObject>(); }, CKR_KEY_HANDLE_INVALID},
      {"sign_dsa_key", CKM_RSA_PKCS, Op::Sign, rsaKeyOfType(CKK_DSA), CKR_KEY_TYPE_INCONSISTENT},
      {"sign_not_permitted", CKM_SHA1_RSA_PKCS, Op::Sign, [] { return PrivateKey(false); },
       CKR_KEY_FUNCTION_NOT_PERMITTED},
      {"sign_with_parameter", CKM_RSA_PKCS, Op::Sign, [] { return PrivateKey(); },
       CKR_MECHANISM_PARAM_INVALID, true},
      // The class comes before the usage, the usage before the parameter.
      {"sign_public_with_parameter", CKM_RSA_PKCS, Op::Sign, [] { return PublicKey(); },
       CKR_KEY_HANDLE_INVALID, true},
      {"sign_not_permitted_with_parameter", CKM_RSA_PKCS, Op::Sign,
       [] { return PrivateKey(false); }, CKR_KEY_FUNCTION_NOT_PERMITTED, true},
      {"sign_key_pair_gen", CKM_RSA_PKCS_KEY_PAIR_GEN, Op::Sign, [] { return PrivateKey(); },
       CKR_MECHANISM_INVALID},
      {"verify", CKM_SHA1_RSA_PKCS, Op::Verify, [] { return PublicKey(); }, CKR_OK},
      {"verify_private_key", CKM_RSA_PKCS, Op::Verify, [] { return PrivateKey(); },
       CKR_KEY_HANDLE_INVALID},
      {"verify_not_permitted", CKM_RSA_PKCS, Op::Verify, [] { return PublicKey(false); },
       CKR_KEY_FUNCTION_NOT_PERMITTED},
      {"verify_with_parameter", CKM_SHA1_RSA_PKCS, Op::Verify, [] { return PublicKey(); },
       CKR_MECHANISM_PARAM_INVALID, true},
      {"decrypt", CKM_RSA_PKCS, Op::Decrypt, [] { return PrivateKey(); }, CKR_OK},
      {"decrypt_not_permitted", CKM_RSA_PKCS, Op::Decrypt, [] { return PrivateKey(true, false); },
       CKR_KEY_FUNCTION_NOT_PERMITTED},
      {"decrypt_public_key", CKM_RSA_PKCS, Op::Decrypt, [] { return PublicKey(); },
       CKR_KEY_HANDLE_INVALID},
      // Reports CKF_DECRYPT, decrypts nothing.
      {"decrypt_sha1", CKM_SHA1_RSA_PKCS, Op::Decrypt, [] { return PrivateKey(); },
       CKR_MECHANISM_INVALID},
  };
  for (const InitCase& c : cases) {
    auto mech = CreateMech(AllMechanisms(), c.type);
    const auto key = c.key();
    CK_BYTE parameter = 0;
    const void* p = c.withParameter ? &parameter : nullptr;
    const CK_ULONG len = c.withParameter ? 1 : 0;
    const CK_RV rv = RaisedBy([&] {
      switch (c.op) {
        case Op::Sign: mech->SignInit(key, p, len); break;
        case Op::Verify: mech->VerifyInit(key, p, len); break;
        case Op::Decrypt: mech->DecryptInit(key, p, len); break;
      }
    });
    EXPECT_EQ(rv, c.expected) << to_string(rv) << " in " << c.name;
    // Bound only on success, and then this very key.
    EXPECT_EQ(mech->Key() != nullptr, c.expected == CKR_OK) << c.name;
    if (c.expected == CKR_OK) {
      EXPECT_EQ(mech->Key().get(), key.get()) << c.name;
      EXPECT_EQ(mech->KeyReference(), static_cast<CPKCS11KeyObject&>(*key).KeyReference());
      EXPECT_EQ(mech->KeyModulusBits(), static_cast<CPKCS11KeyObject&>(*key).ModulusBits());
    }
  }
}

TEST(Mechanisms, AParameterLengthWithoutPointerIsRefusedToo) {
  auto mech = CreateMech(AllMechanisms(), CKM_RSA_PKCS);
  EXPECT_EQ(RaisedBy([&] { mech->SignInit(PrivateKey(), nullptr, 4); }), CKR_MECHANISM_PARAM_INVALID);
}

TEST(Mechanisms, TheBoundKeyOutlivesItsRemovalFromTheStore) {
  CObjectStore store;
  auto key = PrivateKey();
  const CK_OBJECT_HANDLE handle = key->Handle();
  store.Add(key);
  key.reset();
  auto mech = CreateMech(AllMechanisms(), CKM_RSA_PKCS);
  mech->SignInit(store.FindShared(handle), nullptr, 0);
  store.Remove(store.Find(handle));
  EXPECT_EQ(mech->KeyReference(), 5);
}

// ---------------------------------------------------------------- C_DecryptInit

TEST(Mechanisms, BeginDecryptChecksTheKeyBeforeTheMechanism) {
  const auto sessionKey = [] {
    auto k = PrivateKey();
    k->SetBool(CKA_TOKEN, false);
    return k;
  };
  CK_MECHANISM rsa{CKM_RSA_PKCS, nullptr, 0};
  CK_MECHANISM sha1{CKM_SHA1_RSA_PKCS, nullptr, 0};
  CK_MECHANISM x509{CKM_RSA_X_509, nullptr, 0};
  CTokenType signOnly;
  signOnly.mechanisms = {CKM_SHA1_RSA_PKCS};
  const struct {
    const char* name;
    const CTokenType tokenType;
    const CK_MECHANISM* mechanism;
    std::shared_ptr<CPKCS11Object> key;
    CK_RV expected;
  } cases[] = {
      {"token_key", AllMechanisms(), &rsa, PrivateKey(), CKR_OK},
      {"sha1", AllMechanisms(), &sha1, PrivateKey(), CKR_MECHANISM_INVALID},
      {"session_key", AllMechanisms(), &rsa, sessionKey(), CKR_KEY_HANDLE_INVALID},
      {"session_key_sha1", AllMechanisms(), &sha1, sessionKey(), CKR_KEY_HANDLE_INVALID},
      {"not_offered_by_token", signOnly, &rsa, PrivateKey(), CKR_MECHANISM_INVALID},
      {"unknown_mechanism", AllMechanisms(), &x509, PrivateKey(), CKR_MECHANISM_INVALID},
      {"no_mechanism", AllMechanisms(), nullptr, PrivateKey(), CKR_ARGUMENTS_BAD},
      {"no_decrypt_usage", AllMechanisms(), &rsa, PrivateKey(true, false),
       CKR_KEY_FUNCTION_NOT_PERMITTED},
  };
  for (const auto& c : cases) {
    std::unique_ptr<CMech> mech;
    EXPECT_EQ(RaisedBy([&] { mech = BeginDecrypt(c.tokenType, c.mechanism, c.key); }), c.expected)
        << c.name;
    EXPECT_EQ(mech != nullptr, c.expected == CKR_OK) << c.name;
  }
}

TEST(Mechanisms, BeginVerifyAndSignNeedAMechanismTheTokenOffers) {
  CTokenType none;
  CK_MECHANISM rsa{CKM_RSA_PKCS, nullptr, 0};
  EXPECT_EQ(RaisedBy([&] { BeginVerify(none, &rsa, PublicKey()); }), CKR_MECHANISM_INVALID);
  EXPECT_EQ(RaisedBy([&] { BeginSign(none, &rsa, PrivateKey()); }), CKR_MECHANISM_INVALID);
  EXPECT_EQ(RaisedBy([&] { BeginSign(AllMechanisms(), nullptr, PrivateKey()); }), CKR_ARGUMENTS_BAD);
  const auto mech = BeginVerify(AllMechanisms(), &rsa, PublicKey());
  EXPECT_EQ(mech->KeyReference(), 6);
}

// ---------------------------------------------------------------- confirmation

class Confirmation : public ::testing::Test {
 protected:
  void TearDown() override { SetConfirmationHook({}); }

  // The sign init of a key with this CKA_ID; the hook counts its questions.
  CK_RV SignWithId(const std::string& id) {
    CK_MECHANISM mechanism{CKM_SHA1_RSA_PKCS, nullptr, 0};
    return RaisedBy([&] { BeginSign(AllMechanisms(), &mechanism, PrivateKey(true, true, id)); });
  }
  void Answer(std::function<ConfirmAnswer()> answer) {
    SetConfirmationHook([this, answer](const SigningConfirmation& q) {
      ++asked_;
      last_ = q;
      return answer();
    });
  }
  int asked_ = 0;
  SigningConfirmation last_;
};

TEST_F(Confirmation, TheHookDecidesForKeysWhoseIdStartsWithF) {
  const struct {
    const char* name;
    std::function<ConfirmAnswer()> answer;
    CK_RV expected;
  } cases[] = {
      {"yes", [] { return ConfirmAnswer::Yes; }, CKR_OK},
      {"no", [] { return ConfirmAnswer::No; }, CKR_FUNCTION_FAILED},
      {"unavailable", [] { return ConfirmAnswer::Unavailable; }, CKR_FUNCTION_CANCELED},
      {"raising_hook", []() -> ConfirmAnswer { throw std::runtime_error("no box"); },
       CKR_FUNCTION_CANCELED},
  };
  for (const auto& c : cases) {
    asked_ = 0;
    Answer(c.answer);
    EXPECT_EQ(SignWithId("F1"), c.expected) << c.name;
    EXPECT_EQ(asked_, 1) << c.name;
    EXPECT_EQ(last_.caption, res::Text(104));
    EXPECT_EQ(last_.text, res::Text(105));
  }
}

TEST_F(Confirmation, OtherKeysAreNotAskedAbout) {
  Answer([] { return ConfirmAnswer::No; });
  for (const std::string id : {"", "f1", "1F", "E"}) EXPECT_EQ(SignWithId(id), CKR_OK) << id;
  EXPECT_EQ(asked_, 0);
  // Verification and decryption never ask.
  auto fKey = PrivateKey(true, true, "F");
  CK_MECHANISM rsa{CKM_RSA_PKCS, nullptr, 0};
  EXPECT_EQ(RaisedBy([&] { BeginDecrypt(AllMechanisms(), &rsa, fKey); }), CKR_OK);
  EXPECT_EQ(asked_, 0);
}

TEST_F(Confirmation, AskedBeforeTheMechanismIsChecked) {
  Answer([] { return ConfirmAnswer::Yes; });
  CK_MECHANISM x509{CKM_RSA_X_509, nullptr, 0};
  EXPECT_EQ(RaisedBy([&] { BeginSign(AllMechanisms(), &x509, PrivateKey(true, true, "F")); }),
            CKR_MECHANISM_INVALID);
  EXPECT_EQ(asked_, 1);
}

// Without a hook the module asks pinentry: stand-ins on PATH answer.
TEST_F(Confirmation, ByDefaultThroughPinentry) {
  const struct {
    const char* name;
    const char* onConfirm;  // null: no pinentry at all
    CK_RV expected;
  } cases[] = {
      {"yes", testing::kPinentryYes, CKR_OK},
      {"no", testing::kPinentryCancelled, CKR_FUNCTION_FAILED},
      {"no_terminal", testing::kPinentryNoTty, CKR_FUNCTION_CANCELED},
      {"fails", testing::kPinentryDies, CKR_FUNCTION_CANCELED},
      {"no_pinentry", nullptr, CKR_FUNCTION_CANCELED},
  };
  for (const auto& c : cases) {
    TempDir dir;
    if (c.onConfirm) testing::WritePinentry(dir.path(), c.onConfirm);
    testing::ScopedPath path(dir.path());
    EXPECT_EQ(SignWithId("F0"), c.expected) << c.name;
    if (!c.onConfirm) continue;
    const auto received = testing::PinentryReceived(dir.path());
    const auto has = [&](const std::string& line) {
      return std::find(received.begin(), received.end(), line) != received.end();
    };
    EXPECT_TRUE(has("SETTITLE " + platform::AssuanEscape(res::Text(104), 1000))) << c.name;
    EXPECT_TRUE(has("SETDESC " + platform::AssuanEscape(res::Text(105), 1000))) << c.name;
    EXPECT_TRUE(has("SETTIMEOUT 60")) << c.name;
  }
}

// ---------------------------------------------------------------- results

TEST(Mechanisms, DeliverResultAsSignAndDecryptHandItOut) {
  const Bytes result = Hex("01 02 03 04");
  const struct {
    const char* name;
    bool withBuffer;
    CK_ULONG room;
    CK_RV expected;
    bool over;
  } cases[] = {
      {"length_query", false, 0, CKR_OK, false},
      {"exact", true, 4, CKR_OK, true},
      {"larger", true, 9, CKR_OK, true},
      {"one_short", true, 3, CKR_BUFFER_TOO_SMALL, false},
      {"none", true, 0, CKR_BUFFER_TOO_SMALL, false},
  };
  for (const auto& c : cases) {
    Bytes out(9, 0xEE);
    CK_ULONG len = c.room;
    bool over = false;
    EXPECT_EQ(RaisedBy([&] { over = DeliverResult(result, c.withBuffer ? out.data() : nullptr, &len); }),
              c.expected)
        << c.name;
    EXPECT_EQ(over, c.over) << c.name;
    EXPECT_EQ(len, 4u) << c.name;
    const Bytes expectedOut = c.over ? Hex("01 02 03 04 EE EE EE EE EE") : Bytes(9, 0xEE);
    EXPECT_EQ(out, expectedOut) << c.name;
  }
  Bytes out(4);
  EXPECT_EQ(RaisedBy([&] { DeliverResult(result, out.data(), nullptr); }), CKR_ARGUMENTS_BAD);
}

// ---------------------------------------------------------------- key pairs

CK_ATTRIBUTE Attr(CK_ATTRIBUTE_TYPE type, const void* value, CK_ULONG len) {
  return {type, const_cast<void*>(value), len};
}

struct KeyPairTemplates {
  CK_BBOOL yes = CK_TRUE;
  CK_BBOOL no = CK_FALSE;
  CK_ULONG bits = 1024;
  CK_KEY_TYPE rsa = CKK_RSA;
  CK_KEY_TYPE dsa = CKK_DSA;
  CK_OBJECT_CLASS privateClass = CKO_PRIVATE_KEY;
  CK_BYTE exponent[3] = {0x01, 0x00, 0x01};
  std::vector<CK_ATTRIBUTE> pub = {Attr(CKA_TOKEN, &yes, 1), Attr(CKA_VERIFY, &yes, 1),
                                   Attr(CKA_MODULUS_BITS, &bits, sizeof bits),
                                   Attr(CKA_PUBLIC_EXPONENT, exponent, 3),
                                   Attr(CKA_KEY_TYPE, &rsa, sizeof rsa)};
  std::vector<CK_ATTRIBUTE> priv = {Attr(CKA_TOKEN, &yes, 1), Attr(CKA_PRIVATE, &yes, 1),
                                    Attr(CKA_SIGN, &yes, 1), Attr(CKA_LABEL, "k", 1)};
  CK_MECHANISM mechanism{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
  CK_OBJECT_HANDLE hPub = 0, hPriv = 0;

  KeyPairRequest Prepare(CK_STATE state = CKS_RW_USER_FUNCTIONS) {
    return PrepareKeyPair(&mechanism, pub.empty() ? nullptr : pub.data(), pub.size(),
                          priv.empty() ? nullptr : priv.data(), priv.size(), state, &hPub, &hPriv);
  }
  void Drop(std::vector<CK_ATTRIBUTE>& t, CK_ATTRIBUTE_TYPE type) {
    std::erase_if(t, [type](const CK_ATTRIBUTE& a) { return a.type == type; });
  }
};

TEST(KeyPairs, PreparedFromTheTemplates) {
  const struct {
    const char* name;
    std::function<void(KeyPairTemplates&)> change;
    unsigned usage;
    unsigned bits;
  } cases[] = {
      {"sign", [](KeyPairTemplates&) {}, 4, 1024},
      {"decrypt_2048",
       [](KeyPairTemplates& t) {
         t.bits = 2048;
         t.priv[2] = Attr(CKA_DECRYPT, &t.yes, 1);
       },
       8, 2048},
      {"both", [](KeyPairTemplates& t) { t.priv.push_back(Attr(CKA_DECRYPT, &t.yes, 1)); }, 12, 1024},
  };
  for (const auto& c : cases) {
    KeyPairTemplates t;
    c.change(t);
    const KeyPairRequest r = t.Prepare();
    EXPECT_EQ(r.usage, c.usage) << c.name;
    EXPECT_EQ(r.modulusBits, c.bits) << c.name;
    EXPECT_EQ(r.publicExponent, Hex("01 00 01")) << c.name;
    for (const CPKCS11Object* key : {static_cast<const CPKCS11Object*>(r.publicKey.get()),
                                     static_cast<const CPKCS11Object*>(r.privateKey.get())}) {
      const auto attributes = testing::AttributesOf(*key);
      EXPECT_EQ(attributes.at(CKA_LOCAL), Hex("01")) << c.name;
      EXPECT_EQ(attributes.at(CKA_KEY_TYPE), UlongBytes(CKK_RSA)) << c.name;
    }
    EXPECT_EQ(testing::AttributesOf(*r.privateKey).at(CKA_LABEL), Ascii("k"));
    EXPECT_EQ(r.publicKey->ObjectClass(), CKO_PUBLIC_KEY);
    EXPECT_EQ(r.privateKey->ObjectClass(), CKO_PRIVATE_KEY);
  }
}

TEST(KeyPairs, RefusedTemplatesInTheirOrder) {
  const struct {
    const char* name;
    std::function<void(KeyPairTemplates&)> change;
    CK_RV expected;
  } cases[] = {
      {"modulus_bits_1536", [](KeyPairTemplates& t) { t.bits = 1536; }, CKR_ATTRIBUTE_VALUE_INVALID},
      {"modulus_bits_4096", [](KeyPairTemplates& t) { t.bits = 4096; }, CKR_ATTRIBUTE_VALUE_INVALID},
      {"modulus_bits_missing", [](KeyPairTemplates& t) { t.Drop(t.pub, CKA_MODULUS_BITS); },
       CKR_ATTRIBUTE_TYPE_INVALID},
      {"modulus_bits_as_4_bytes_on_64_bit",
       [](KeyPairTemplates& t) {
         for (auto& a : t.pub)
           if (a.type == CKA_MODULUS_BITS) a.ulValueLen = 4;
       },
       sizeof(CK_ULONG) == 4 ? CKR_OK : CKR_ATTRIBUTE_TYPE_INVALID},
      {"exponent_missing", [](KeyPairTemplates& t) { t.Drop(t.pub, CKA_PUBLIC_EXPONENT); },
       CKR_TEMPLATE_INCOMPLETE},
      {"exponent_empty",
       [](KeyPairTemplates& t) {
         for (auto& a : t.pub)
           if (a.type == CKA_PUBLIC_EXPONENT) a.ulValueLen = 0;
       },
       CKR_ATTRIBUTE_VALUE_INVALID},
      {"public_template_empty", [](KeyPairTemplates& t) { t.pub.clear(); }, CKR_TEMPLATE_INCOMPLETE},
      {"private_template_empty", [](KeyPairTemplates& t) { t.priv.clear(); }, CKR_TEMPLATE_INCOMPLETE},
      {"empty_template_before_mechanism",
       [](KeyPairTemplates& t) {
         t.priv.clear();
         t.mechanism.mechanism = CKM_RSA_PKCS;
       },
       CKR_TEMPLATE_INCOMPLETE},
      {"mechanism", [](KeyPairTemplates& t) { t.mechanism.mechanism = CKM_RSA_PKCS; },
       CKR_MECHANISM_INVALID},
      {"no_usage", [](KeyPairTemplates& t) { t.priv[2] = Attr(CKA_SIGN, &t.no, 1); },
       CKR_TEMPLATE_INCOMPLETE},
      {"session_private_key",
       [](KeyPairTemplates& t) {
         t.Drop(t.pub, CKA_TOKEN);
         t.priv[0] = Attr(CKA_TOKEN, &t.no, 1);
       },
       CKR_ATTRIBUTE_VALUE_INVALID},
      {"dsa_public_key",
       [](KeyPairTemplates& t) {
         for (auto& a : t.pub)
           if (a.type == CKA_KEY_TYPE) a.pValue = &t.dsa;
       },
       CKR_ATTRIBUTE_VALUE_INVALID},
      {"dsa_private_key", [](KeyPairTemplates& t) { t.priv.push_back(Attr(CKA_KEY_TYPE, &t.dsa, sizeof t.dsa)); },
       CKR_ATTRIBUTE_VALUE_INVALID},
      {"attribute_the_class_does_not_take",
       [](KeyPairTemplates& t) { t.pub.push_back(Attr(CKA_VALUE, "x", 1)); }, CKR_ATTRIBUTE_TYPE_INVALID},
      {"unknown_attribute", [](KeyPairTemplates& t) { t.priv.push_back(Attr(CKA_VENDOR_DEFINED, "x", 1)); },
       CKR_ATTRIBUTE_TYPE_INVALID},
      {"public_template_names_private_class",
       [](KeyPairTemplates& t) {
         t.pub.push_back(Attr(CKA_CLASS, &t.privateClass, sizeof t.privateClass));
       },
       CKR_TEMPLATE_INCONSISTENT},
  };
  for (const auto& c : cases) {
    KeyPairTemplates t;
    c.change(t);
    EXPECT_EQ(RaisedBy([&] { t.Prepare(); }), c.expected) << c.name;
  }
}

TEST(KeyPairs, NullPointersAreBadArguments) {
  KeyPairTemplates t;
  const struct {
    const CK_MECHANISM* mechanism;
    const CK_OBJECT_HANDLE* hPub;
    const CK_OBJECT_HANDLE* hPriv;
  } cases[] = {{nullptr, &t.hPub, &t.hPriv}, {&t.mechanism, nullptr, &t.hPriv}, {&t.mechanism, &t.hPub, nullptr}};
  for (const auto& c : cases)
    EXPECT_EQ(RaisedBy([&] {
                PrepareKeyPair(c.mechanism, t.pub.data(), t.pub.size(), t.priv.data(), t.priv.size(),
                               CKS_RW_USER_FUNCTIONS, c.hPub, c.hPriv);
              }),
              CKR_ARGUMENTS_BAD);
}

TEST(KeyPairs, AccessBySessionState) {
  const CK_STATE roPublic = CKS_RO_PUBLIC_SESSION, roUser = CKS_RO_USER_FUNCTIONS,
                 rwPublic = CKS_RW_PUBLIC_SESSION, rwUser = CKS_RW_USER_FUNCTIONS,
                 rwSo = CKS_RW_SO_FUNCTIONS;
  const struct {
    bool token, isPrivate;
    CK_RV roPublic, roUser, rwPublic, rwUser, rwSo;
  } rows[] = {
      {true, true, CKR_USER_NOT_LOGGED_IN, CKR_SESSION_READ_ONLY, CKR_USER_NOT_LOGGED_IN, CKR_OK,
       CKR_USER_NOT_LOGGED_IN},
      {true, false, CKR_SESSION_READ_ONLY, CKR_SESSION_READ_ONLY, CKR_OK, CKR_OK, CKR_OK},
      {false, true, CKR_USER_NOT_LOGGED_IN, CKR_OK, CKR_USER_NOT_LOGGED_IN, CKR_OK,
       CKR_USER_NOT_LOGGED_IN},
      {false, false, CKR_OK, CKR_OK, CKR_OK, CKR_OK, CKR_OK},
  };
  for (const auto& r : rows) {
    const std::pair<CK_STATE, CK_RV> cells[] = {
        {roPublic, r.roPublic}, {roUser, r.roUser}, {rwPublic, r.rwPublic}, {rwUser, r.rwUser}, {rwSo, r.rwSo}};
    for (const auto& [state, expected] : cells)
      EXPECT_EQ(RaisedBy([&] { KeyPairAccess(r.token, r.isPrivate, state); }), expected)
          << r.token << r.isPrivate << " state " << state;
  }
  // Token and private from either template; the access check comes before
  // the templates are built.
  KeyPairTemplates t;
  t.Drop(t.priv, CKA_TOKEN);  // the public template still says token
  t.priv.push_back(Attr(CKA_VENDOR_DEFINED, "x", 1));
  EXPECT_EQ(RaisedBy([&] { t.Prepare(CKS_RO_USER_FUNCTIONS); }), CKR_SESSION_READ_ONLY);
  EXPECT_EQ(RaisedBy([&] { t.Prepare(CKS_RW_PUBLIC_SESSION); }), CKR_USER_NOT_LOGGED_IN);
}

TEST(KeyPairs, FreeKeyReference) {
  std::vector<std::uint8_t> family10(17);
  for (std::uint8_t i = 0; i < 17; ++i) family10[i] = static_cast<std::uint8_t>(32 + i);
  const std::vector<std::uint8_t> all255 = {250, 251, 252, 253, 254, 255};
  const struct {
    const char* name;
    std::vector<std::uint8_t> used;
    std::uint8_t first, last;
    CK_RV expected;
    std::uint8_t reference;
  } cases[] = {
      {"empty_card", {}, 1, 32, CKR_OK, 1},
      {"lowest_hole", {1, 2, 4, 3, 6}, 1, 32, CKR_OK, 5},
      {"others_outside_the_range", {1, 2, 3}, 32, 48, CKR_OK, 32},
      {"family_1_0_full", family10, 32, 48, CKR_DEVICE_MEMORY, 0},
      {"family_1_0_last_free", {family10.begin(), family10.end() - 1}, 32, 48, CKR_OK, 48},
      {"up_to_255_full", all255, 250, 255, CKR_DEVICE_MEMORY, 0},
  };
  for (const auto& c : cases) {
    std::uint8_t got = 0;
    EXPECT_EQ(RaisedBy([&] { got = FreeKeyReference(c.used, c.first, c.last); }), c.expected) << c.name;
    EXPECT_EQ(got, c.reference) << c.name;
  }
}

TEST(KeyPairs, PlaceGeneratedKey) {
  CPKCS11PrivateKeyObject key;
  key.SetIndex(7);
  PlaceGeneratedKey(key, 33, 2048, Hex("3F 11 01 21"), 0x0400);
  EXPECT_EQ(key.KeyReference(), 33);
  EXPECT_EQ(key.ModulusBits(), 2048u);
  EXPECT_EQ(key.Path(), Hex("3F 11 01 21"));
  EXPECT_EQ(key.Index(), 0);
  EXPECT_EQ(key.Length(), 0x400);
}

}  // namespace
}  // namespace zorbix::p11
