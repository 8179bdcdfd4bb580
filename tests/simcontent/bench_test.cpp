// Every profile through the real pcscd: selections with the sizes their
// answers carry, chunked reads, card data and events, the PIN and its retry
// counter, a signature that verifies and a PKCS#1 v1.5 decipherment.
#include <gtest/gtest.h>

#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>

#include <cryptopp/integer.h>
#include <cryptopp/osrng.h>
#include <cryptopp/rsa.h>
#include <cryptopp/sha.h>

#include "sim/bench.h"
#include "tests/simcontent/content_fixture.h"

namespace zorbix::sim {
namespace {

using CryptoPP::Integer;

using test::Answer;
using test::Cat;
using test::ToInt;

class Reader : public test::Exchanges {
 public:
  explicit Reader(const std::string& name) {
    EXPECT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx_), SCARD_S_SUCCESS);
    DWORD proto = 0;
    EXPECT_EQ(SCardConnect(ctx_, name.c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0, &card_, &proto),
              SCARD_S_SUCCESS);
  }
  ~Reader() {
    if (card_) SCardDisconnect(card_, SCARD_LEAVE_CARD);
    SCardReleaseContext(ctx_);
  }
  Answer Raw(const Bytes& apdu) override {
    Bytes r(300);
    DWORD len = static_cast<DWORD>(r.size());
    LONG rv = SCardTransmit(card_, SCARD_PCI_T0, apdu.data(), static_cast<DWORD>(apdu.size()),
                            nullptr, r.data(), &len);
    Answer a;
    if (rv != SCARD_S_SUCCESS || len < 2) {
      ADD_FAILURE() << "SCardTransmit " << std::hex << rv;
      return a;
    }
    a.sw = static_cast<std::uint16_t>(r[len - 2] << 8 | r[len - 1]);
    a.data.assign(r.begin(), r.begin() + len - 2);
    return a;
  }
  // READ BINARY in chunks of at most 128 bytes, to the end of the file.
  Bytes ReadAll(std::size_t size) {
    Bytes out;
    while (out.size() < size) {
      std::size_t n = std::min<std::size_t>(128, size - out.size());
      Answer a = Send({0x00, 0xB0, static_cast<std::uint8_t>(out.size() >> 8),
                       static_cast<std::uint8_t>(out.size()), static_cast<std::uint8_t>(n)});
      if (a.sw != 0x9000 || a.data.empty()) break;
      out = Cat(out, a.data);
    }
    return out;
  }

 private:
  SCARDCONTEXT ctx_ = 0;
  SCARDHANDLE card_ = 0;
};

const Bytes kMasterFile = FromHex("00 A4 04 00 0B 4D 61 73 74 65 72 2E 46 69 6C 65");
const Bytes kPkcs15 = FromHex("00 A4 04 00 0C A0 00 00 00 63 50 4B 43 53 2D 31 35");

Bytes SelectId(std::uint16_t fid) {
  return {0x00, 0xA4, 0x00, 0x00, 0x02, static_cast<std::uint8_t>(fid >> 8),
          static_cast<std::uint8_t>(fid)};
}

std::uint16_t SizeFromFci(const Bytes& r) {
  if (!r.empty() && r[0] == 0x84 && r.size() > r[1] + 10u)
    return static_cast<std::uint16_t>(r[r[1] + 9] << 8 | r[r[1] + 10]);
  return r.size() >= 9 ? static_cast<std::uint16_t>(r[7] << 8 | r[8]) : 0xFFFF;
}

class BenchContract : public ::testing::TestWithParam<std::string> {};

TEST_P(BenchContract, CardAnswersThroughPcscd) {
  const Profile& p = *FindProfile(GetParam());
  std::unique_ptr<Bench> bench;
  try {
    bench = Bench::Start();
  } catch (const std::exception& e) {
    GTEST_SKIP() << "no bench: " << e.what();
  }
  bench->Insert(0, p.name);
  Reader r(bench->ReaderName(0));

  Answer mf = r.Send(kMasterFile);
  ASSERT_EQ(mf.sw, 0x9000);
  ASSERT_GE(mf.data.size(), 2u);
  EXPECT_EQ(mf.data[0], 0x84);
  ASSERT_EQ(r.Send(kPkcs15).sw, 0x9000);

  // Directory files: the selection answer carries the allocated size, the
  // content reads in chunks and holds complete entries.
  for (std::uint16_t fid : {0x5031, 0x5032, 0x6004}) {
    Answer sel = r.Send(SelectId(fid));
    ASSERT_EQ(sel.sw, 0x9000) << std::hex << fid;
    std::uint16_t size = SizeFromFci(sel.data);
    const FileSpec* spec = nullptr;
    for (const FileSpec& f : p.files)
      if (f.path == std::vector<std::uint16_t>{0x5015, fid}) spec = &f;
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(size, std::max(spec->size, spec->content.size())) << std::hex << fid;
    Bytes content = r.ReadAll(size);
    EXPECT_EQ(content.size(), size);
    Bytes expected = spec->content;
    expected.resize(size, 0x00);
    EXPECT_EQ(content, expected);
  }

  Answer data = r.Send({0x90, 0xB8, 0x00, 0x00, static_cast<std::uint8_t>(p.cardData.size())});
  EXPECT_EQ(data.sw, 0x9000);
  EXPECT_EQ(data.data, p.cardData);
  Answer events = r.Send({0x90, 0x18, 0x00, 0x00, 0x00});
  EXPECT_EQ(events.sw, 0x9000);
  EXPECT_EQ(events.data, p.events);

  const KeySpec& key = p.keys.front();
  const std::size_t k = key.modulus.size();
  if (p.secureChannel) {
    // PIN commands belong to the secure channel; key use stays locked.
    Answer sig = r.Send({0x90, 0x5A, 0x80, key.reference, static_cast<std::uint8_t>(k)});
    EXPECT_EQ(sig.sw, 0x6982);
    return;
  }

  // PIN: a wrong one costs a try, the right one restores the counter.
  Bytes wrong(p.pin.size(), '9');
  if (p.pin == std::string(wrong.begin(), wrong.end())) wrong.assign(p.pin.size(), '8');
  EXPECT_EQ(r.Send(Cat({0x00, 0x20, 0x00, 0x00, static_cast<std::uint8_t>(wrong.size())}, wrong)).sw,
            0x63C0 | (p.pinTries - 1));
  EXPECT_EQ(r.Send({0x00, 0x20, 0x00, 0x00, 0x00}).sw, 0x63C0 | (p.pinTries - 1));
  Bytes pin(p.pin.begin(), p.pin.end());
  ASSERT_EQ(r.Send(Cat({0x00, 0x20, 0x00, 0x00, static_cast<std::uint8_t>(pin.size())}, pin)).sw,
            0x9000);

  // A signature on the host-padded path verifies with the public key.
  const Bytes msg = {'b', 'e', 'n', 'c', 'h'};
  Bytes digest(20);
  CryptoPP::SHA1().CalculateDigest(digest.data(), msg.data(), msg.size());
  Bytes di = Cat(FromHex("30 21 30 09 06 05 2B 0E 03 02 1A 05 00 04 14"), digest);
  Bytes block(k, 0xFF);
  block[0] = 0x00;
  block[1] = 0x01;
  block[k - di.size() - 1] = 0x00;
  std::copy(di.begin(), di.end(), block.end() - static_cast<std::ptrdiff_t>(di.size()));
  ASSERT_EQ(r.Command({0x90, 0x58, 0x00, 0x00}, block).sw, 0x9000);
  Answer sig = r.Send({0x90, 0x5A, 0x80, key.reference, static_cast<std::uint8_t>(k)});
  ASSERT_EQ(sig.sw, 0x9000);
  CryptoPP::RSA::PublicKey pub;
  pub.Initialize(ToInt(key.modulus), ToInt(key.publicExponent));
  CryptoPP::RSASS<CryptoPP::PKCS1v15, CryptoPP::SHA1>::Verifier verifier(pub);
  EXPECT_TRUE(verifier.VerifyMessage(msg.data(), msg.size(), sig.data.data(), sig.data.size()));

  // Decipherment of a PKCS#1 v1.5 block.
  CryptoPP::AutoSeededRandomPool rng;
  CryptoPP::RSAES_PKCS1v15_Encryptor enc(pub);
  Bytes ct(enc.CiphertextLength(msg.size()));
  enc.Encrypt(rng, msg.data(), msg.size(), ct.data());
  Answer plain = r.Command({0x90, 0x74, 0x40, key.reference}, ct);
  EXPECT_EQ(plain.sw, 0x9000);
  EXPECT_EQ(plain.data, msg);
}

INSTANTIATE_TEST_SUITE_P(All, BenchContract, ::testing::ValuesIn(test::ProfileNames()),
                         test::TestNameOf);

}  // namespace
}  // namespace zorbix::sim
