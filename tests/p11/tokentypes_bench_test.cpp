// Card types through the real pcscd and the virtual card: every profile
// detected as its type with its token information and mechanisms, unknown
// ATRs, the present-slot list, and the public and private variants in
// processes of their own.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "p11/module.h"
#include "sim/bench.h"
#include "sim/profile.h"

namespace {

using zorbix::p11::to_string;

std::string Field(const CK_UTF8CHAR* p, std::size_t n) {
  return std::string(reinterpret_cast<const char*>(p), n);
}
std::string Padded(const std::string& s, std::size_t n) { return s + std::string(n - s.size(), ' '); }

// One bench for every suite of this program: the module keeps its PC/SC
// context across C_Finalize, which a restarted pcscd would not know.
class BenchEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { bench = zorbix::sim::Bench::Start(2); }
  void TearDown() override { bench.reset(); }
  static inline std::unique_ptr<zorbix::sim::Bench> bench;
};
::testing::Environment* const kBenchEnvironment =
    ::testing::AddGlobalTestEnvironment(new BenchEnvironment);

class TypesOnBench : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { bench_ = BenchEnvironment::bench.get(); }
  void SetUp() override {
    ASSERT_NE(bench_, nullptr); ASSERT_EQ(C_Initialize(nullptr), CKR_OK); }
  void TearDown() override {
    C_Finalize(nullptr);
    for (int r = 0; r < 2; ++r)
      if (bench_->CardIn(r)) bench_->Remove(r);
  }

  CK_SLOT_ID SlotOf(int reader) {
    CK_ULONG count = 0;
    EXPECT_EQ(C_GetSlotList(CK_FALSE, nullptr, &count), CKR_OK);
    auto* slot = zorbix::p11::Module().slots.SlotOfReader(bench_->ReaderName(reader));
    EXPECT_NE(slot, nullptr);
    return slot ? slot->Id() : 0;
  }

  static std::vector<CK_SLOT_ID> PresentSlots() {
    CK_ULONG count = 0;
    EXPECT_EQ(C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
    std::vector<CK_SLOT_ID> ids(count);
    EXPECT_EQ(C_GetSlotList(CK_TRUE, ids.data(), &count), CKR_OK);
    ids.resize(count);
    return ids;
  }

  // A profile whose ATR is no module type.
  static zorbix::sim::Profile UnknownAtrCard() {
    zorbix::sim::Profile p = *zorbix::sim::FindProfile("HALVO");
    p.atr[7] = 'X';  // "HALVO" becomes "XALVO"
    return p;
  }

  static zorbix::sim::Bench* bench_;
};

zorbix::sim::Bench* TypesOnBench::bench_ = nullptr;

// --- Every profile ------------------------------------------------------------

struct ProfileCase {
  const char* profile;
  const char* type;
  const char* manufacturer;
  const char* label;
  const char* serial;
};

void PrintTo(const ProfileCase& c, std::ostream* os) { *os << c.profile; }

// Serials: the profile's card serial 51 43 00 01 26 10 nn (nn = 1 + its
// position), preceded by 00 on newer cards and cut to its last six bytes
// after 00 00 on the older ones (HALVO1_0, ORVA-ZEL_01, ORVA-ZEL_02).
const ProfileCase kProfiles[] = {
    {"Vexa", "Vexa", "VEXA", "VEXA ID", "0051430001261001"},
    {"HALVO1_0", "HALVO1_0", "ORVA-ZEL", "HALVO 1.0", "0000430001261002"},
    {"HALVO", "HALVO", "ORVA-ZEL", "HALVO", "0051430001261003"},
    {"TC-ORVA3", "TC-ORVA3", "ORVA-ZEL", "TC-ORVA3", "0051430001261004"},
    {"TC-ORVA4", "TC-ORVA4", "ORVA-ZEL", "TC-ORVA4", "0051430001261005"},
    {"ORVA-ZEL_01", "HALVO1_0", "ORVA-ZEL", "ORVA-ZEL 01", "0000430001261006"},
    {"ORVA-ZEL_02", "HALVO1_0", "ORVA-ZEL", "ORVA-ZEL 02", "0000430001261007"},
    {"ORVA-ZEL_03", "HALVO", "ORVA-ZEL", "ORVA-ZEL 03", "0051430001261008"},
    {"ORVA-ZEL_04", "HALVO", "ORVA-ZEL", "ORVA-ZEL 04", "0051430001261009"},
    {"ORVA-ZEL_05", "HALVO", "ORVA-ZEL", "ORVA-ZEL 05", "005143000126100A"},
    {"ORVA-ZEL_06", "TC-ORVA4", "ORVA-ZEL", "ORVA-ZEL 06", "005143000126100B"},
};

class EachProfile : public TypesOnBench, public ::testing::WithParamInterface<ProfileCase> {};

TEST_P(EachProfile, DetectedWithTokenInfoAndMechanisms) {
  const ProfileCase& c = GetParam();
  bench_->Insert(0, c.profile);
  const CK_SLOT_ID slot = SlotOf(0);

  const auto present = PresentSlots();
  EXPECT_NE(std::find(present.begin(), present.end(), slot), present.end());
  const auto* type = zorbix::p11::Module().slots.SlotOfReader(bench_->ReaderName(0))->TokenType();
  ASSERT_NE(type, nullptr);
  EXPECT_EQ(type->name, c.type);

  CK_TOKEN_INFO info;
  std::memset(&info, 0xAA, sizeof info);
  ASSERT_EQ(to_string(C_GetTokenInfo(slot, &info)), "CKR_OK");
  EXPECT_EQ(Field(info.label, 32), Padded(c.label, 32));
  EXPECT_EQ(Field(info.manufacturerID, 32), Padded(c.manufacturer, 32));
  EXPECT_EQ(Field(info.model, 16), std::string(16, ' '));
  EXPECT_EQ(Field(info.serialNumber, 16), c.serial);
  // Initialised token and PIN, plus loginRequired and prnGeneration of the
  // cards' tokenflags.
  EXPECT_EQ(info.flags, static_cast<CK_FLAGS>(CKF_TOKEN_INITIALIZED | CKF_USER_PIN_INITIALIZED |
                                              CKF_LOGIN_REQUIRED | CKF_RNG));
  EXPECT_EQ(info.ulMaxPinLen, 16u);
  EXPECT_EQ(info.ulMinPinLen, 4u);
  EXPECT_EQ(info.hardwareVersion.major, 1);
  EXPECT_EQ(info.ulSessionCount, 0u);
  // A second call answers from the slot without the card.
  EXPECT_EQ(to_string(C_GetTokenInfo(slot, nullptr)), "CKR_OK");

  const bool vexa = std::string(c.type) == "Vexa";
  CK_ULONG count = 0;
  ASSERT_EQ(to_string(C_GetMechanismList(slot, nullptr, &count)), "CKR_OK");
  EXPECT_EQ(count, vexa ? 2u : 3u);
  std::vector<CK_MECHANISM_TYPE> list(count);
  ASSERT_EQ(to_string(C_GetMechanismList(slot, list.data(), &count)), "CKR_OK");
  for (CK_MECHANISM_TYPE m : {CKM_RSA_PKCS, CKM_SHA1_RSA_PKCS, CKM_RSA_PKCS_KEY_PAIR_GEN}) {
    const bool offered = std::find(list.begin(), list.end(), m) != list.end();
    EXPECT_EQ(offered, !(vexa && m == CKM_RSA_PKCS_KEY_PAIR_GEN)) << m;
    CK_MECHANISM_INFO mi{};
    const CK_RV rv = C_GetMechanismInfo(slot, m, &mi);
    if (!offered) {
      EXPECT_EQ(to_string(rv), "CKR_MECHANISM_INVALID");
      continue;
    }
    ASSERT_EQ(to_string(rv), "CKR_OK");
    EXPECT_EQ(mi.ulMinKeySize, 1024u);
    EXPECT_EQ(mi.ulMaxKeySize, 2048u);
    EXPECT_EQ(mi.flags, m == CKM_RSA_PKCS_KEY_PAIR_GEN
                            ? static_cast<CK_FLAGS>(CKF_GENERATE_KEY_PAIR)
                            : static_cast<CK_FLAGS>(CKF_DECRYPT | CKF_SIGN | CKF_VERIFY));
  }
}

INSTANTIATE_TEST_SUITE_P(Profiles, EachProfile, ::testing::ValuesIn(kProfiles),
                         [](const auto& info) {
                           std::string n = info.param.profile;
                           for (char& ch : n)
                             if (ch == '-') ch = '_';
                           return n;
                         });

// --- Unknown cards and the present list -------------------------------------------

TEST_F(TypesOnBench, UnknownAtrIsNotRecognised) {
  bench_->Insert(0, UnknownAtrCard());
  const CK_SLOT_ID slot = SlotOf(0);
  CK_TOKEN_INFO info;
  EXPECT_EQ(to_string(C_GetTokenInfo(slot, &info)), "CKR_TOKEN_NOT_RECOGNIZED");
  EXPECT_TRUE(PresentSlots().empty());
  CK_SLOT_INFO slotInfo;
  ASSERT_EQ(C_GetSlotInfo(slot, &slotInfo), CKR_OK);
  EXPECT_EQ(slotInfo.flags, 6u);
  CK_ULONG count = 0;
  EXPECT_EQ(to_string(C_GetMechanismList(slot, nullptr, &count)), "CKR_TOKEN_NOT_PRESENT");

  bench_->Remove(0);
  EXPECT_EQ(to_string(C_GetTokenInfo(slot, &info)), "CKR_TOKEN_NOT_PRESENT");
}

TEST_F(TypesOnBench, PresentListHasExactlyTheRecognisedCards) {
  const CK_SLOT_ID first = SlotOf(0);
  const CK_SLOT_ID second = SlotOf(1);
  EXPECT_TRUE(PresentSlots().empty());
  bench_->Insert(0, "Vexa");
  bench_->Insert(1, UnknownAtrCard());
  EXPECT_EQ(PresentSlots(), std::vector<CK_SLOT_ID>{first});
  bench_->Insert(1, "TC-ORVA3");
  EXPECT_EQ(PresentSlots(), (std::vector<CK_SLOT_ID>{first, second}));
  bench_->Remove(0);
  EXPECT_EQ(PresentSlots(), std::vector<CK_SLOT_ID>{second});
}

// Nothing watched the reader while the card was swapped: the slot must still
// not answer for the card taken out.
TEST_F(TypesOnBench, SwappedCardIsReadAfresh) {
  const CK_SLOT_ID slot = SlotOf(0);
  const auto label = [&] {
    CK_TOKEN_INFO info;
    const CK_RV rv = C_GetTokenInfo(slot, &info);
    return rv == CKR_OK ? Field(info.label, 32) : to_string(rv);
  };
  bench_->Insert(0, "HALVO");
  EXPECT_EQ(label(), Padded("HALVO", 32));

  // Same ATR, other TokenInfo: only the reader's event count tells them apart.
  zorbix::sim::Profile same = *zorbix::sim::FindProfile("HALVO");
  const zorbix::sim::Profile& other = *zorbix::sim::FindProfile("ORVA-ZEL_03");
  const auto tokenInfoOf = [](const zorbix::sim::Profile& p) {
    for (const auto& f : p.files)
      if (f.path == std::vector<std::uint16_t>{0x5015, 0x5032}) return f.content;
    return zorbix::sim::Bytes{};
  };
  for (auto& f : same.files)
    if (f.path == std::vector<std::uint16_t>{0x5015, 0x5032}) f.content = tokenInfoOf(other);
  bench_->Insert(0, same);
  EXPECT_EQ(PresentSlots(), std::vector<CK_SLOT_ID>{slot});
  EXPECT_EQ(label(), Padded("ORVA-ZEL 03", 32));

  bench_->Insert(0, UnknownAtrCard());
  EXPECT_EQ(label(), "CKR_TOKEN_NOT_RECOGNIZED");
  CK_ULONG count = 0;
  EXPECT_EQ(to_string(C_GetMechanismList(slot, nullptr, &count)), "CKR_TOKEN_NOT_PRESENT");
}

// --- Public and private variants, each in a process of its own -----------------------

// A helper process with a line-based conversation.
class Helper {
 public:
  explicit Helper(std::vector<std::string> args) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      close(in[1]);
      close(out[0]);
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    toChild_ = in[1];
    fromChild_ = fdopen(out[0], "r");
  }
  ~Helper() { Release(); }

  std::string Line() {
    char buf[256] = {};
    if (!fromChild_ || !fgets(buf, sizeof buf, fromChild_)) return "";
    std::string s = buf;
    if (!s.empty() && s.back() == '\n') s.pop_back();
    return s;
  }
  // Lets it go and waits for its end; its exit status.
  int Release() {
    if (pid_ <= 0) return -1;
    if (toChild_ >= 0) close(toChild_);
    toChild_ = -1;
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    if (fromChild_) fclose(fromChild_);
    fromChild_ = nullptr;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  int toChild_ = -1;
  FILE* fromChild_ = nullptr;
};

class Variants : public TypesOnBench {
 protected:
  void SetUp() override {
    TypesOnBench::SetUp();
    char pattern[] = "/tmp/zorbix-variants-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    for (const char* name : {"ORVA_P11pub.so", "ORVA_P11priv.so", "ORVA_P11.so"})
      std::filesystem::copy_file(ZORBIX_P11_MODULE, dir_ + "/" + name);
    reader_ = bench_->ReaderName(0);
  }
  void TearDown() override {
    std::filesystem::remove_all(dir_);
    TypesOnBench::TearDown();
  }

  Helper Module(const char* file) {
    return Helper({ZORBIX_VARIANT_HELPER, "module", dir_ + "/" + file, reader_});
  }
  bool EventExists(const std::string& name) {
    Helper h({ZORBIX_VARIANT_HELPER, "exists", name});
    return h.Line() == "1";
  }

  std::string dir_;
  std::string reader_;
};

TEST_F(Variants, PublicClaimsANationalIdCardPrivateNeverTakesIt) {
  bench_->Insert(0, "Vexa");
  const std::string pubEvent = "LOCKED_PUB_" + reader_;
  const std::string priEvent = "LOCKED_PRI_" + reader_;
  ASSERT_FALSE(EventExists(pubEvent));

  {
    Helper pub = Module("ORVA_P11pub.so");
    EXPECT_EQ(pub.Line(), "recognised 1 mechanisms 2");
    // The claim is seen by every process while the public one lives.
    EXPECT_TRUE(EventExists(pubEvent));
    Helper priv = Module("ORVA_P11priv.so");
    EXPECT_EQ(priv.Line(), "recognised 0 mechanisms 0");
    EXPECT_FALSE(EventExists(priEvent));
    EXPECT_EQ(priv.Release(), 0);
    EXPECT_EQ(pub.Release(), 0);
  }
  EXPECT_FALSE(EventExists(pubEvent)) << "the claim ends with its process";

  // While another process holds the private claim the public variant leaves
  // the card alone; once that process is gone it takes it.
  {
    Helper holder({ZORBIX_VARIANT_HELPER, "hold", priEvent});
    ASSERT_EQ(holder.Line(), "held");
    Helper pub = Module("ORVA_P11pub.so");
    EXPECT_EQ(pub.Line(), "recognised 0 mechanisms 0");
    EXPECT_EQ(pub.Release(), 0);
    EXPECT_FALSE(EventExists(pubEvent));
  }
  {
    Helper pub = Module("ORVA_P11pub.so");
    EXPECT_EQ(pub.Line(), "recognised 1 mechanisms 2");
  }

  // The plain module takes the card without claiming it.
  Helper plain = Module("ORVA_P11.so");
  EXPECT_EQ(plain.Line(), "recognised 1 mechanisms 2");
  EXPECT_FALSE(EventExists(pubEvent));
}

TEST_F(Variants, PublicLeavesANationalIdCardWithOneProbedFile) {
  zorbix::sim::Profile p = *zorbix::sim::FindProfile("Vexa");
  std::erase_if(p.files, [](const zorbix::sim::FileSpec& f) {
    return f.path.size() == 2 && f.path[0] == 0x6061 && f.path[1] >= 0x7005 && f.path[1] <= 0x7008;
  });
  bench_->Insert(0, p);
  Helper pub = Module("ORVA_P11pub.so");
  EXPECT_EQ(pub.Line(), "recognised 0 mechanisms 0");
  EXPECT_FALSE(EventExists("LOCKED_PUB_" + reader_));
  // Other card types are the same for every variant.
  EXPECT_EQ(pub.Release(), 0);
  bench_->Insert(0, "TC-ORVA4");
  Helper priv = Module("ORVA_P11priv.so");
  EXPECT_EQ(priv.Line(), "recognised 1 mechanisms 3");
}

}  // namespace
