// The transport through the real pcscd and the virtual card: the PKCS#15
// application, its ODF and TokenInfo, and a compressed certificate, per
// profile.
#include <gtest/gtest.h>

#include <cryptopp/asn.h>
#include <cryptopp/queue.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <memory>
#include <string>

#include "comm/communicator.h"
#include "comm/fileaccess.h"
#include "p11/exclusion.h"
#include "p11/slots.h"
#include "p11/tokentypes.h"
#include "pkcs15/p15files.h"
#include "platform/scard.h"
#include "sim/bench.h"
#include "sim/content_pki.h"
#include "tests/p11/raised.h"

namespace zorbix::commtest {
namespace {

using comm::Bytes;
using testing::RaisedBy;

const std::string kPkcs15Aid("\xA0\x00\x00\x00\x63PKCS-15", 12);

struct ProfileCase {
  const char* profile;
  std::uint8_t communicationsType;
  const char* manufacturer;
  const char* label;
  const char* firstCertificate;  // test PKI file stored first under DF 6061
};

const ProfileCase kCases[] = {
    {"Vexa", 1, "VEXA", "VEXA ID", "user-auth-1024.crt.der"},
    {"HALVO1_0", 2, "ORVA-ZEL", "HALVO 1.0", "user-sign-1024.crt.der"},
    {"HALVO", 0, "ORVA-ZEL", "HALVO", "user-auth-1024.crt.der"},
    {"TC-ORVA3", 0, "ORVA-ZEL", "TC-ORVA3", "user-auth-1024.crt.der"},
};

std::string Field(const CK_UTF8CHAR* p, std::size_t n) {
  std::string s(reinterpret_cast<const char*>(p), n);
  return s.substr(0, s.find_last_not_of(' ') + 1);
}

// Certificate ::= SEQUENCE { tbsCertificate SEQUENCE, signatureAlgorithm
// SEQUENCE, signatureValue BIT STRING }, filling the value exactly.
bool LooksLikeCertificate(const Bytes& der) {
  try {
    CryptoPP::ByteQueue q;
    q.Put(der.data(), der.size());
    CryptoPP::BERSequenceDecoder cert(q);
    CryptoPP::BERSequenceDecoder tbs(cert);
    tbs.SkipAll();
    tbs.MessageEnd();
    CryptoPP::BERSequenceDecoder alg(cert);
    alg.SkipAll();
    alg.MessageEnd();
    CryptoPP::SecByteBlock signature;
    unsigned unused = 0;
    CryptoPP::BERDecodeBitString(cert, signature, unused);
    cert.MessageEnd();
    return q.IsEmpty() && signature.size() > 0;
  } catch (const CryptoPP::Exception&) {
    return false;
  }
}

class CommBench : public ::testing::TestWithParam<ProfileCase> {
 protected:
  static void SetUpTestSuite() { bench_ = sim::Bench::Start(); }
  static void TearDownTestSuite() { bench_.reset(); }

  void SetUp() override {
    ASSERT_TRUE(bench_);
    SCARDCONTEXT ctx = 0;
    ASSERT_EQ(platform::Scard().EstablishContext(SCARD_SCOPE_SYSTEM, &ctx), SCARD_S_SUCCESS);
    context_ = ctx;
    manager_ = std::make_unique<p11::CSlotManager>(context_, guard_, types_);
    slot_ = std::make_unique<p11::CSlot>(*manager_, bench_->ReaderName(0), p11::kFirstSlotId);
  }

  void TearDown() override {
    slot_.reset();
    manager_.reset();
    platform::Scard().ReleaseContext(context_.load());
  }

  static inline std::unique_ptr<sim::Bench> bench_;
  p11::CExclusionMutua guard_;
  p11::CTokenTypeConfig types_;
  std::atomic<SCARDCONTEXT> context_{0};
  std::unique_ptr<p11::CSlotManager> manager_;
  std::unique_ptr<p11::CSlot> slot_;
};

TEST_P(CommBench, ReadsThePkcs15FilesAndACompressedCertificate) {
  const ProfileCase& k = GetParam();
  sim::Card& card = bench_->Insert(0, k.profile);
  const sim::Profile* profile = sim::FindProfile(k.profile);
  ASSERT_NE(profile, nullptr);

  auto comm = comm::CreateCommunicator(*slot_, k.communicationsType);
  comm::CSlotTransaction transaction(*slot_);

  // The application by its AID, then the ODF (5031) as raw bytes: its
  // entries are context-tagged, not SEQUENCEs.
  comm->SelectName(kPkcs15Aid);
  EXPECT_EQ(comm->LastResponse().at(0), 0x84);
  const std::uint16_t odfSize = comm->SelectIdSize(0x5031);
  Bytes odf;
  comm->ReadBinaryAt(odf, 0, odfSize);
  Bytes expectedOdf;
  for (const sim::FileSpec& f : profile->files)
    if (f.path == std::vector<std::uint16_t>{0x5015, 0x5031}) expectedOdf = f.content;
  ASSERT_FALSE(expectedOdf.empty());
  expectedOdf.resize(odfSize, 0);
  EXPECT_EQ(odf, expectedOdf);

  // TokenInfo through the PKCS#15 file object.
  p15::CP15TokenInfo tokenInfo;
  bool marked = false;
  comm::CCommFileAccess access(*comm, [&] { marked = true; });
  tokenInfo.Read(access);
  EXPECT_FALSE(marked);
  CK_TOKEN_INFO info;
  std::memset(&info, 0, sizeof info);
  ASSERT_TRUE(tokenInfo.FillTokenInfo(&info));
  EXPECT_EQ(Field(info.label, sizeof info.label), k.label);
  EXPECT_EQ(Field(info.manufacturerID, sizeof info.manufacturerID), k.manufacturer);

  // The first certificate value, stored compressed.
  card.ClearTrace();
  Bytes certificate;
  const Bytes certificatePath = {0x60, 0x61, 0x00, 0x01};
  comm->ReadCompressed(certificatePath, certificate);
  EXPECT_EQ(certificate, sim::PkiFile(k.firstCertificate));
  EXPECT_TRUE(LooksLikeCertificate(certificate));
  std::size_t longest = 0;
  for (const auto& e : card.Trace()) longest = std::max(longest, e.response.size());
  EXPECT_LE(longest, 252u) << "no chunk above 250 bytes";

  // Reading past the last element ends in CKR_DATA_INVALID, as the file
  // model expects at the end of a directory.
  comm->SelectName("Master.File");
  comm->SelectId(0x5015);
  Bytes element;
  comm->ReadObject(element, p15::FirstAccessOffset(0x5032));
  const std::uint16_t after = static_cast<std::uint16_t>(element.size());
  EXPECT_EQ(RaisedBy([&] { comm->ReadObject(element, after); }), CKR_DATA_INVALID);
}

INSTANTIATE_TEST_SUITE_P(Profiles, CommBench, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<ProfileCase>& info) {
                           std::string name = info.param.profile;
                           for (char& ch : name)
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return name;
                         });

}  // namespace
}  // namespace zorbix::commtest
