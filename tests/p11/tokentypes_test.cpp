// Card types: the built-in table, matching, decoding rules, the module's file
// name, the configuration file, and detection over the fake PC/SC.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "p11/exclusion.h"
#include "p11/pkcs11exception.h"
#include "p11/slots.h"
#include "p11/tokentypes.h"
#include "pkcs15/p15files.h"
#include "platform/named_event.h"
#include "tests/p11/fake_env.h"
#include "tests/p11/raised.h"
#include "tests/support/hex.h"

namespace {

using zorbix::p11::CExclusionMutua;
using zorbix::p11::CSlotManager;
using zorbix::p11::CTokenType;
using zorbix::p11::CTokenTypeConfig;
using zorbix::p11::DecodeTokenTypes;
using zorbix::p11::kMaxConfigFileSize;
using zorbix::p11::Pkcs11Exception;
using zorbix::p11::to_string;
using zorbix::p11test::Fake;
using zorbix::p11test::ScopedReaders;
using Bytes = std::vector<std::uint8_t>;
using zorbix::testing::Hex;
using zorbix::testing::RaisedBy;

// --- DER building for configuration values -------------------------------

Bytes Tlv(std::uint8_t tag, const Bytes& content) {
  Bytes out{tag};
  const std::size_t n = content.size();
  if (n < 0x80) {
    out.push_back(static_cast<std::uint8_t>(n));
  } else if (n < 0x100) {
    out.insert(out.end(), {0x81, static_cast<std::uint8_t>(n)});
  } else {
    out.insert(out.end(), {0x82, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)});
  }
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

struct TypeSpec {
  std::string name;
  Bytes atr;
  Bytes mask;
  Bytes commContents = {0x00};
  Bytes flagsContents = {0x00};
  std::vector<Bytes> mechanismContents = {{0x01}};
};

Bytes CardTokenType(const TypeSpec& t) {
  Bytes mechanisms;
  for (const Bytes& m : t.mechanismContents) mechanisms = Cat({mechanisms, Tlv(0x02, m)});
  return Tlv(0x30, Cat({Tlv(0x0C, Bytes(t.name.begin(), t.name.end())),
                        Tlv(0x31, Tlv(0x30, Cat({Tlv(0x04, t.atr), Tlv(0x04, t.mask)}))),
                        Tlv(0x02, t.commContents), Tlv(0x02, t.flagsContents),
                        Tlv(0x31, mechanisms)}));
}

Bytes Config(std::initializer_list<TypeSpec> types) {
  Bytes content;
  for (const TypeSpec& t : types) content = Cat({content, CardTokenType(t)});
  return Tlv(0x31, content);
}

const Bytes kVexaAtr = Hex("3B 7F 38 00 00 00 6A 56 65 78 61 01 03 01 01 01 10 03 90 00");
const Bytes kHalvoAtr = Hex("3B 7F 18 00 00 00 6A 48 41 4C 56 4F 02 2C 34 02 00 03 90 00");
const Bytes kOtherAtr = Hex("3B 8F 80 01 80 4F 0C A0 00 00 03 06 03 00 01 00 00 00 00 6A");

// --- The built-in table ----------------------------------------------------

TEST(BuiltInTokenTypes, FiveTypesAsTabled) {
  EXPECT_EQ(zorbix::p11::BuiltInTokenTypes().size(), 2198u);
  const auto types = DecodeTokenTypes(zorbix::p11::BuiltInTokenTypes());
  ASSERT_EQ(types.size(), 5u);

  const std::vector<CK_MECHANISM_TYPE> two = {CKM_RSA_PKCS, CKM_SHA1_RSA_PKCS};
  const std::vector<CK_MECHANISM_TYPE> three = {CKM_RSA_PKCS, CKM_SHA1_RSA_PKCS,
                                                CKM_RSA_PKCS_KEY_PAIR_GEN};
  const std::string orvaMask = "FF FF 00 FF FF FF FF FF FF FF FF 00 00 00 00 FF 00 FF FF FF";
  struct Row {
    std::string name, atr, mask;
    int comm, flags;
    std::vector<CK_MECHANISM_TYPE> mechanisms;
    std::size_t params;
  };
  const Row rows[] = {
      {"Vexa", "3B 7F 00 00 00 00 6A 56 65 78 61 00 00 00 00 00 00 00 90 00",
       "FF FF 00 FF FF FF FF FF FF FF FF 00 00 00 00 00 00 00 FF FF", 1, 3, two, 901},
      {"HALVO1_0", "3B EF 00 00 40 14 80 25 48 41 4C 56 4F 57 05 60 01 02 03 90 00",
       "FF FF FF FF FF FF FF FF FF FF FF FF FF FF 00 00 FF 00 FF FF FF", 2, 0, three, 0},
      {"HALVO", "3B 7F 00 00 00 00 6A 48 41 4C 56 4F 02 2C 34 02 00 03 90 00",
       "FF FF 00 FF FF FF FF FF FF FF FF FF 00 00 00 00 00 FF FF FF", 0, 0, three, 0},
      {"TC-ORVA3", "3B 7F 18 00 00 00 6A 4F 52 56 41 03 02 AC 14 03 80 03 90 00", orvaMask, 0, 3,
       three, 0},
      {"TC-ORVA4", "3B 7F 18 00 00 00 6A 4F 52 56 41 03 02 AC 14 04 04 03 90 00", orvaMask, 1, 3,
       three, 904},
  };
  // Types and mechanisms come in the table's order.
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    const Row& r = rows[i];
    SCOPED_TRACE(r.name);
    const CTokenType* t = types[i].get();
    ASSERT_EQ(t->name, r.name);
    ASSERT_EQ(t->atrs.size(), 1u);
    EXPECT_EQ(t->atrs[0].atr, Hex(r.atr));
    EXPECT_EQ(t->atrs[0].mask, Hex(r.mask));
    EXPECT_EQ(t->communicationsType, r.comm);
    EXPECT_EQ(t->asn1Flags, r.flags);
    EXPECT_EQ(t->mechanisms, r.mechanisms);
    EXPECT_EQ(t->parameters.size(), r.params);
  }
}

TEST(TokenTypeMatch, MaskedBytesAndLength) {
  CTokenType t;
  t.atrs.push_back({Hex("3B 10 20"), Hex("FF 0F FF")});
  t.atrs.push_back({Hex("3B 99"), Hex("FF FF")});
  struct Case {
    const char* atr;
    bool match;
  };
  const Case cases[] = {
      {"3B 10 20", true},     // equal
      {"3B F0 20", true},     // differs only where the mask is 0
      {"3B 11 20", false},    // differs under the mask
      {"3B 10 20 00", false}, // longer than every pattern
      {"3B 99", true},        // the second pattern
      {"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(zorbix::p11::Match(t, Hex(c.atr)), c.match) << c.atr;
}

// --- Decoding rules ----------------------------------------------------------

TEST(TokenTypeDecoding, Rules) {
  const TypeSpec base{"T", Hex("3B 01"), Hex("FF FF")};
  TypeSpec wideMechanism = base;
  wideMechanism.mechanismContents = {{0x80, 0x00, 0x00, 0x01}, {0x01, 0x00, 0x00, 0x00, 0x01}};
  TypeSpec unequal = base;
  unequal.mask = Hex("FF");

  struct Case {
    const char* what;
    Bytes der;
    CK_RV rv;
  };
  const Case failures[] = {
      {"mechanism of 5 bytes", Config({wideMechanism}), CKR_DATA_LEN_RANGE},
      {"ATR and mask of different lengths", Config({unequal}), CKR_ARGUMENTS_BAD},
      {"not a TokenTypesConfig", Hex("04 02 01 02"), CKR_GENERAL_ERROR},
  };
  for (const Case& c : failures) {
    try {
      DecodeTokenTypes(c.der);
      ADD_FAILURE() << c.what << " accepted";
    } catch (const Pkcs11Exception& e) {
      EXPECT_EQ(to_string(e.rv()), to_string(c.rv)) << c.what;
    }
  }

  // Only the first content byte of the two small integers counts; a 4-byte
  // mechanism is unsigned.
  TypeSpec t = base;
  t.commContents = {0x02, 0x77};
  t.flagsContents = {};
  t.mechanismContents = {{0x80, 0x00, 0x00, 0x01}, {0x06}};
  const auto types = DecodeTokenTypes(Config({t}));
  ASSERT_EQ(types.size(), 1u);
  EXPECT_EQ(types[0]->communicationsType, 2);
  EXPECT_EQ(types[0]->asn1Flags, 0);
  EXPECT_EQ(types[0]->mechanisms, (std::vector<CK_MECHANISM_TYPE>{0x80000001ul, 6}));
  EXPECT_TRUE(types[0]->parameters.empty());

  // Cut inside the second type: the first one is kept.
  Bytes two = Config({{"First", Hex("3B 01"), Hex("FF FF")}, {"Second", Hex("3B 02"), Hex("FF FF")}});
  two.resize(two.size() - 4);
  const auto kept = DecodeTokenTypes(two);
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0]->name, "First");
}

TEST(ModuleFile, ConfigPathAndVariants) {
  struct Case {
    std::string path, config;
    bool pub, priv;
  };
  const Case cases[] = {
      {"/usr/lib/pkcs11/ORVA_P11.so", "/usr/lib/pkcs11/ORVA_P11.cfg", false, false},
      {"/tmp/x/ORVA_P11pub.so", "/tmp/x/ORVA_P11pub.cfg", true, false},
      {"/tmp/x/ORVA_P11PRIV.so", "/tmp/x/ORVA_P11PRIV.cfg", false, true},
      {"/tmp/x/ORVA_P11Pub.dll", "/tmp/x/ORVA_P11Pub.cfg", true, false},
      {"/opt/v1.2/zorbixpub", "/opt/v1.2/zorbixpub.cfg", true, false},  // no extension
      {"/tmp/x/ORVA_P11pub.so.1", "/tmp/x/ORVA_P11pub.so.cfg", false, false},
      {"/pub.so", "/pub.cfg", false, false},  // 8 characters: too short to test
      {"/xpub.so", "/xpub.cfg", true, false},
      {"", "", false, false},
  };
  for (const Case& c : cases) {
    const auto facts = zorbix::p11::FactsOfModuleFile(c.path);
    EXPECT_EQ(facts.configPath, c.config) << c.path;
    EXPECT_EQ(facts.publicVariant, c.pub) << c.path;
    EXPECT_EQ(facts.privateVariant, c.priv) << c.path;
  }
}

// --- The configuration file next to the module -------------------------------

class ConfigFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/zorbix-tokentypes-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string Module() const { return dir_ + "/ORVA_P11.so"; }
  void Write(const Bytes& contents) const {
    std::ofstream f(dir_ + "/ORVA_P11.cfg", std::ios::binary);
    f.write(reinterpret_cast<const char*>(contents.data()), static_cast<std::streamsize>(contents.size()));
  }

  std::string dir_;
};

TEST_F(ConfigFile, ExtraTypesAfterTheBuiltInOnesBrokenFilesIgnored) {
  const TypeSpec extra{"Extra", kOtherAtr, Bytes(kOtherAtr.size(), 0xFF)};
  TypeSpec bad = extra;
  bad.mask.pop_back();
  Bytes cut = Config({extra, {"Cut", Hex("3B 02"), Hex("FF FF")}});
  cut.resize(cut.size() - 3);

  struct Case {
    const char* what;
    std::optional<Bytes> file;
    std::vector<std::string> added;
  };
  const Case cases[] = {
      {"no file", std::nullopt, {}},
      {"empty file", Bytes{}, {}},
      {"two extra types", Config({extra, {"Second", Hex("3B 02"), Hex("FF FF")}}), {"Extra", "Second"}},
      {"cut short: the complete type stays", cut, {"Extra"}},
      {"garbage", Hex("FF FF FF FF 00 01"), {}},
      {"a rule broken in the second type", Config({extra, bad}), {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(dir_ + "/ORVA_P11.cfg");
    if (c.file) Write(*c.file);
    const CTokenTypeConfig config(Module());
    EXPECT_EQ(config.ConfigPath(), dir_ + "/ORVA_P11.cfg");
    ASSERT_EQ(config.Types().size(), 5 + c.added.size());
    for (std::size_t i = 0; i < c.added.size(); ++i) EXPECT_EQ(config.Types()[5 + i]->name, c.added[i]);
    for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(config.Types()[i]->atrs.size(), 1u);
  }
}

// Only a regular file of at most 1 MB is read, and opening it never blocks:
// a FIFO there would hang the loading process, a link to a device read on
// for ever.
TEST_F(ConfigFile, OnlyARegularFileOfSaneSizeIsRead) {
  const std::string cfg = dir_ + "/ORVA_P11.cfg";
  const TypeSpec extra{"Extra", kOtherAtr, Bytes(kOtherAtr.size(), 0xFF)};
  const Bytes one = Config({extra});

  struct Case {
    const char* what;
    std::function<void()> make;
    std::size_t added;
  };
  const Case cases[] = {
      {"a FIFO", [&] { ASSERT_EQ(mkfifo(cfg.c_str(), 0600), 0); }, 0},
      {"a link to /dev/zero", [&] { std::filesystem::create_symlink("/dev/zero", cfg); }, 0},
      {"a folder", [&] { std::filesystem::create_directory(cfg); }, 0},
      {"padding past 1 MB",
       [&] {
         Bytes big = one;
         big.resize(kMaxConfigFileSize + 1, 0);
         Write(big);
       },
       0},
      {"a valid file at exactly 1 MB",
       [&] {
         Bytes big = one;
         big.resize(kMaxConfigFileSize, 0);
         Write(big);
       },
       1},
      {"a link to a valid file", [&] {
         Write(one);
         std::filesystem::rename(cfg, dir_ + "/real.cfg");
         std::filesystem::create_symlink(dir_ + "/real.cfg", cfg);
       }, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(cfg);
    c.make();
    // A blocked open would hang here; the test's time-out tells.
    const CTokenTypeConfig config(Module());
    ASSERT_EQ(config.Types().size(), 5 + c.added);
  }
}

// --- Detection over the fake PC/SC ---------------------------------------------

// A national ID card answering the probe: the master file, DF 6061 and the
// files 7004 onward up to `files` of them.
zorbix::testing::FakeScard::Responder ProbeCard(int files) {
  std::map<Bytes, Bytes> answers;
  const std::string mf = "Master.File";
  Bytes selectMf = {0x00, 0xA4, 0x04, 0x00, static_cast<std::uint8_t>(mf.size())};
  selectMf.insert(selectMf.end(), mf.begin(), mf.end());
  answers[selectMf] = {0x90, 0x00};
  answers[Hex("00 A4 00 00 02 60 61")] = {0x90, 0x00};
  for (int i = 0; i < files; ++i)
    answers[{0x00, 0xA4, 0x00, 0x00, 0x02, 0x70, static_cast<std::uint8_t>(0x04 + i)}] = {0x90, 0x00};
  return zorbix::testing::FakeScard::Table(answers, {0x6A, 0x82});
}

class Detection : public ::testing::Test {
 protected:
  void SetUp() override {
    SCARDCONTEXT ctx = 0;
    ASSERT_EQ(Fake().EstablishContext(SCARD_SCOPE_USER, &ctx), SCARD_S_SUCCESS);
    context_ = ctx;
    Fake().ClearApdus();
  }
  void TearDown() override { Fake().ReleaseContext(context_.load()); }

  // Detection on the reader by a module whose file is `modulePath`.
  std::string Detect(const std::string& modulePath, const std::string& reader) {
    types_ = std::make_unique<CTokenTypeConfig>(modulePath);
    manager_ = std::make_unique<CSlotManager>(context_, guard_, *types_);
    manager_->Refresh();
    slot_ = manager_->SlotOfReader(reader);
    return zorbix::p11::DetectTokenType(*slot_);
  }

  std::atomic<SCARDCONTEXT> context_{0};
  CExclusionMutua guard_;
  std::unique_ptr<CTokenTypeConfig> types_;
  std::unique_ptr<CSlotManager> manager_;
  zorbix::p11::CSlot* slot_ = nullptr;
};

TEST_F(Detection, EmptyUnknownAndKnownCards) {
  ScopedReaders readers({"Detect reader"});
  EXPECT_EQ(Detect("/m/ORVA_P11.so", "Detect reader"), "");
  EXPECT_EQ(slot_->TokenType(), nullptr);

  Fake().InsertCard("Detect reader", kOtherAtr);
  EXPECT_EQ(Detect("/m/ORVA_P11.so", "Detect reader"), "Unsupported");
  EXPECT_EQ(slot_->TokenType(), nullptr);

  Fake().InsertCard("Detect reader", kHalvoAtr);
  EXPECT_EQ(Detect("/m/ORVA_P11.so", "Detect reader"), "HALVO");
  ASSERT_NE(slot_->TokenType(), nullptr);
  EXPECT_EQ(slot_->TokenType()->name, "HALVO");
  // Connected only to read the ATR; nothing sent to the card.
  EXPECT_EQ(slot_->CardHandle(), 0u);
  EXPECT_TRUE(Fake().Apdus().empty());
  EXPECT_EQ(&zorbix::p11::TokenTypeOfSlot(*slot_), slot_->TokenType());
}

TEST_F(Detection, RemovedCardWhileConnectedDetectsAfresh) {
  ScopedReaders readers({"Detect reader"});
  Fake().InsertCard("Detect reader", kHalvoAtr);
  EXPECT_EQ(Detect("/m/ORVA_P11.so", "Detect reader"), "HALVO");
  slot_->Connect();
  Fake().FailNext("GetAttribRaw", SCARD_W_REMOVED_CARD);
  Fake().FailNext("Status", SCARD_W_REMOVED_CARD);
  EXPECT_EQ(zorbix::p11::DetectTokenType(*slot_), "HALVO");
  EXPECT_EQ(slot_->CardHandle(), 0u) << "the retry runs from a reset card state";
}

TEST_F(Detection, PublicAndPrivateVariants) {
  const std::string reader = "Variant reader";
  ScopedReaders readers({reader});
  const std::string ownEvent = "LOCKED_PUB_" + reader;
  const std::string otherEvent = "LOCKED_PRI_" + reader;

  // Plain module: "Vexa" without any probe or claim.
  Fake().InsertCard(reader, kVexaAtr, ProbeCard(5));
  EXPECT_EQ(Detect("/m/ORVA_P11.so", reader), "Vexa");
  EXPECT_TRUE(Fake().Apdus().empty());
  EXPECT_FALSE(zorbix::platform::NamedEvent::Exists(ownEvent));

  struct Case {
    const char* what;
    std::string module;
    int files;
    bool otherHeld;
    std::string name;
    bool probed;
  };
  const Case cases[] = {
      {"public, five files", "/m/ORVA_P11pub.so", 5, false, "Vexa", true},
      {"public, two files", "/m/ORVA_P11pub.so", 2, false, "Vexa", true},
      {"public, one file", "/m/ORVA_P11pub.so", 1, false, "Unsupported", true},
      {"public, the private claim held", "/m/ORVA_P11pub.so", 5, true, "Unsupported", false},
      {"private never takes a national ID card", "/m/ORVA_P11priv.so", 0, false, "Unsupported", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Fake().InsertCard(reader, kVexaAtr, ProbeCard(c.files));
    Fake().ClearApdus();
    std::unique_ptr<zorbix::platform::NamedEvent> other;
    if (c.otherHeld) other = zorbix::platform::NamedEvent::Create(otherEvent);
    EXPECT_EQ(Detect(c.module, reader), c.name);
    EXPECT_EQ(!Fake().Apdus().empty(), c.probed);
    const bool claimed = c.name == "Vexa";
    EXPECT_EQ(slot_->HasLockEvent(), claimed);
    EXPECT_EQ(zorbix::platform::NamedEvent::Exists(ownEvent), claimed);
    if (c.probed) {
      EXPECT_EQ(slot_->EfCount(), static_cast<unsigned>(c.files));
    }
    // The claim goes with the card state.
    slot_->ResetCardState();
    EXPECT_FALSE(zorbix::platform::NamedEvent::Exists(ownEvent));
  }
  // Other card types are not claimed.
  Fake().InsertCard(reader, kHalvoAtr);
  EXPECT_EQ(Detect("/m/ORVA_P11priv.so", reader), "HALVO");
  EXPECT_FALSE(slot_->HasLockEvent());
}

TEST_F(Detection, ConfigurationTypesComeAfterTheBuiltInOnes) {
  char pattern[] = "/tmp/zorbix-tokentypes-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  {
    std::ofstream f(dir + "/ORVA_P11.cfg", std::ios::binary);
    const Bytes der = Config({{"Mine", kHalvoAtr, Bytes(kHalvoAtr.size(), 0xFF)},
                              {"Extra", kOtherAtr, Bytes(kOtherAtr.size(), 0xFF)}});
    f.write(reinterpret_cast<const char*>(der.data()), static_cast<std::streamsize>(der.size()));
  }
  ScopedReaders readers({"Config reader"});
  Fake().InsertCard("Config reader", kHalvoAtr);
  EXPECT_EQ(Detect(dir + "/ORVA_P11.so", "Config reader"), "HALVO");
  Fake().InsertCard("Config reader", kOtherAtr);
  EXPECT_EQ(Detect(dir + "/ORVA_P11.so", "Config reader"), "Extra");
  std::filesystem::remove_all(dir);
}


TEST_F(Detection, MechanismListAndInfoFollowTheDetectedType) {
  ScopedReaders readers({"Mechanism reader"});
  Fake().InsertCard("Mechanism reader", kVexaAtr);
  // Nothing has looked at the card yet: the list does not detect.
  types_ = std::make_unique<CTokenTypeConfig>("/m/ORVA_P11.so");
  manager_ = std::make_unique<CSlotManager>(context_, guard_, *types_);
  manager_->Refresh();
  CK_ULONG count = 0;
  const CK_SLOT_ID first = manager_->SlotOfReader("Mechanism reader")->Id();
  EXPECT_EQ(to_string(RaisedBy([&] { zorbix::p11::GetMechanismList(*manager_, first, nullptr, &count); })),
            "CKR_TOKEN_NOT_PRESENT");
  // The count pointer is looked at before the slot.
  EXPECT_EQ(to_string(RaisedBy([&] { zorbix::p11::GetMechanismList(*manager_, first, nullptr, nullptr); })),
            "CKR_ARGUMENTS_BAD");

  Detect("/m/ORVA_P11.so", "Mechanism reader");
  const CK_SLOT_ID id = slot_->Id();
  zorbix::p11::GetMechanismList(*manager_, id, nullptr, &count);
  EXPECT_EQ(count, 2u);
  CK_MECHANISM_TYPE list[1];
  count = 1;
  try {
    zorbix::p11::GetMechanismList(*manager_, id, list, &count);
    ADD_FAILURE() << "short buffer accepted";
  } catch (const Pkcs11Exception& e) {
    EXPECT_EQ(to_string(e.rv()), "CKR_BUFFER_TOO_SMALL");
    EXPECT_EQ(count, 2u);
  }

  struct Case {
    CK_MECHANISM_TYPE type;
    CK_RV rv;
    CK_FLAGS flags;
  };
  const Case cases[] = {
      {CKM_RSA_PKCS, CKR_OK, 0x2A00},
      {CKM_SHA1_RSA_PKCS, CKR_OK, 0x2A00},
      {CKM_RSA_PKCS_KEY_PAIR_GEN, CKR_MECHANISM_INVALID, 0},  // not offered by "Vexa"
      {CKM_SHA256_RSA_PKCS, CKR_MECHANISM_INVALID, 0},
  };
  for (const Case& c : cases) {
    CK_MECHANISM_INFO info{};
    CK_RV rv = CKR_OK;
    try {
      zorbix::p11::GetMechanismInfo(*manager_, id, c.type, &info);
    } catch (const Pkcs11Exception& e) {
      rv = e.rv();
    }
    EXPECT_EQ(to_string(rv), to_string(c.rv)) << c.type;
    if (rv != CKR_OK) continue;
    EXPECT_EQ(info.ulMinKeySize, 1024u);
    EXPECT_EQ(info.ulMaxKeySize, 2048u);
    EXPECT_EQ(info.flags, c.flags);
  }
  try {
    zorbix::p11::GetMechanismInfo(*manager_, id, CKM_RSA_PKCS, nullptr);
    ADD_FAILURE() << "null info accepted";
  } catch (const Pkcs11Exception& e) {
    EXPECT_EQ(to_string(e.rv()), "CKR_HOST_MEMORY");
  }
  const auto* keyGen = zorbix::p11::FindMechanismInfo(CKM_RSA_PKCS_KEY_PAIR_GEN);
  ASSERT_NE(keyGen, nullptr);
  EXPECT_EQ(keyGen->flags, static_cast<CK_FLAGS>(CKF_GENERATE_KEY_PAIR));

  // Swapped for a card of no type while nobody watched: the old type goes.
  Fake().InsertCard("Mechanism reader", kOtherAtr);
  EXPECT_EQ(to_string(RaisedBy([&] { zorbix::p11::GetMechanismList(*manager_, id, nullptr, &count); })),
            "CKR_TOKEN_NOT_PRESENT");
}

TEST_F(Detection, UnreadableTokenInfoMarksTheTokenAndIsTriedAgain) {
  ScopedReaders readers({"Info reader"});
  Fake().InsertCard("Info reader", kHalvoAtr,
                    zorbix::testing::FakeScard::Table({}, {0x6F, 0x00}));
  EXPECT_EQ(Detect("/m/ORVA_P11.so", "Info reader"), "HALVO");
  const CK_SLOT_ID id = slot_->Id();
  CK_TOKEN_INFO info;
  for (int call = 0; call < 2; ++call) {
    Fake().ClearApdus();
    EXPECT_EQ(to_string(RaisedBy([&] { zorbix::p11::GetTokenInfo(*manager_, id, &info); })),
              "CKR_DEVICE_ERROR");
    EXPECT_FALSE(Fake().Apdus().empty()) << "each call reads the card again";
    EXPECT_TRUE(slot_->TokenNotRecognised());
    EXPECT_FALSE(slot_->TokenInfo().Loaded());
  }
  EXPECT_EQ(slot_->CardHandle(), 0u);

  Fake().RemoveCard("Info reader");
  EXPECT_EQ(to_string(RaisedBy([&] { zorbix::p11::GetTokenInfo(*manager_, id, &info); })),
            "CKR_TOKEN_NOT_PRESENT");
}

}  // namespace
