// Crypto++ behind the small interface of crypto.h.
#include "comm/crypto.h"

#include <cryptopp/adler32.h>
#include <cryptopp/des.h>
#include <cryptopp/filters.h>
#include <cryptopp/integer.h>
#include <cryptopp/modes.h>
#include <cryptopp/nbtheory.h>
#include <cryptopp/osrng.h>
#include <cryptopp/rsa.h>
#include <cryptopp/sha.h>
#include <cryptopp/zlib.h>

#include <algorithm>
#include <mutex>
#include <string>

namespace zorbix::crypto {
namespace {

void RequireKey(ByteView key, std::size_t n, const char* what) {
  if (key.size() != n) throw CryptoError(std::string(what) + ": wrong key length");
}

void RequireBlocks(ByteView data, const char* what) {
  if (data.size() % kDesBlock != 0) throw CryptoError(std::string(what) + ": not whole blocks");
}

template <typename Mode, typename Out>
Out RunCbc(ByteView key, ByteView data) {
  RequireKey(key, 16, "triple DES");
  RequireBlocks(data, "triple DES");
  Out out(data.size());
  if (data.empty()) return out;
  const std::uint8_t iv[kDesBlock] = {};
  try {
    Mode mode;
    mode.SetKeyWithIV(key.data(), key.size(), iv, sizeof(iv));
    mode.ProcessData(out.data(), data.data(), data.size());
  } catch (const CryptoPP::Exception& e) {
    throw CryptoError(e.what());
  }
  return out;
}

template <typename Dir>
Bytes RunDesBlock(ByteView key, ByteView block) {
  RequireKey(key, 8, "DES");
  if (block.size() != kDesBlock) throw CryptoError("DES: block is not 8 bytes");
  Bytes out(kDesBlock);
  Dir des;
  des.SetKey(key.data(), key.size());
  des.ProcessBlock(block.data(), out.data());
  return out;
}

CryptoPP::Integer ToInteger(ByteView v) {
  return CryptoPP::Integer(v.data(), v.size(), CryptoPP::Integer::UNSIGNED);
}

template <typename Out>
Out FromInteger(const CryptoPP::Integer& x, std::size_t width) {
  if (width == 0) width = std::max<std::size_t>(1, x.MinEncodedSize());
  if (x.MinEncodedSize() > width) throw CryptoError("number does not fit");
  Out out(width);
  x.Encode(out.data(), out.size(), CryptoPP::Integer::UNSIGNED);
  return out;
}

std::size_t ByteLength(ByteView v) {
  std::size_t i = 0;
  while (i < v.size() && v[i] == 0) ++i;
  return v.size() - i;
}

std::mutex& PoolMutex() {
  static std::mutex mu;
  return mu;
}

CryptoPP::AutoSeededRandomPool& Pool() {
  static CryptoPP::AutoSeededRandomPool pool;
  return pool;
}

// Keeps the first `limit` bytes of what it is given and counts the rest.
class BoundedSink : public CryptoPP::Bufferless<CryptoPP::Sink> {
 public:
  BoundedSink(Bytes& out, std::size_t limit) : out_(out), limit_(limit) {}
  size_t Put2(const CryptoPP::byte* in, size_t length, int, bool) override {
    const std::size_t room = limit_ - std::min(limit_, out_.size());
    out_.insert(out_.end(), in, in + std::min(room, length));
    return 0;
  }

 private:
  Bytes& out_;
  std::size_t limit_;
};

template <typename Vec>
bool Unpad(Vec& data) {
  std::size_t n = data.size();
  while (n > 0 && data[n - 1] == 0x00) --n;
  if (n == 0 || data[n - 1] != 0x80) return false;
  data.resize(n - 1);
  return true;
}

}  // namespace

// --- DES -----------------------------------------------------------------

Bytes TripleDesCbcEncrypt(ByteView key, ByteView data) {
  return RunCbc<CryptoPP::CBC_Mode<CryptoPP::DES_EDE2>::Encryption, Bytes>(key, data);
}

SecureBytes TripleDesCbcDecrypt(ByteView key, ByteView data) {
  return RunCbc<CryptoPP::CBC_Mode<CryptoPP::DES_EDE2>::Decryption, SecureBytes>(key, data);
}

Bytes DesEncryptBlock(ByteView key, ByteView block) {
  return RunDesBlock<CryptoPP::DESEncryption>(key, block);
}

Bytes DesDecryptBlock(ByteView key, ByteView block) {
  return RunDesBlock<CryptoPP::DESDecryption>(key, block);
}

template <typename Vec>
Vec Pad(ByteView data) {
  Vec out;
  out.reserve((data.size() / kDesBlock + 1) * kDesBlock);  // no regrowth copies left behind
  out.assign(data.begin(), data.end());
  out.push_back(0x80);
  while (out.size() % kDesBlock != 0) out.push_back(0x00);
  return out;
}

Bytes PadMethod2(ByteView data) { return Pad<Bytes>(data); }
SecureBytes PadMethod2Secret(ByteView data) { return Pad<SecureBytes>(data); }

bool UnpadMethod2(SecureBytes& data) { return Unpad(data); }
bool UnpadMethod2(Bytes& data) { return Unpad(data); }

Bytes RetailMac(ByteView key, ByteView data, ByteView iv) {
  RequireKey(key, 16, "retail MAC");
  RequireBlocks(data, "retail MAC");
  if (data.empty()) throw CryptoError("retail MAC: no data");
  if (!iv.empty() && iv.size() != kDesBlock) throw CryptoError("retail MAC: IV is not 8 bytes");
  CryptoPP::DESEncryption e1(key.data(), 8);
  CryptoPP::DESDecryption d2(key.data() + 8, 8);
  std::uint8_t y[kDesBlock] = {};
  if (!iv.empty()) std::copy(iv.begin(), iv.end(), y);
  for (std::size_t off = 0; off < data.size(); off += kDesBlock) {
    for (std::size_t i = 0; i < kDesBlock; ++i) y[i] ^= data[off + i];
    e1.ProcessBlock(y);
  }
  d2.ProcessBlock(y);
  e1.ProcessBlock(y);
  Bytes mac(y, y + kDesBlock);
  WipeMemory(y, sizeof(y));
  return mac;
}

void IncrementCounter(std::span<std::uint8_t> counter) {
  for (std::size_t i = counter.size(); i-- > 0;) {
    if (++counter[i] != 0) return;
  }
}

// --- SHA-1 -----------------------------------------------------------------

struct Sha1Hasher::Impl {
  CryptoPP::SHA1 sha;
};

Sha1Hasher::Sha1Hasher() : impl_(std::make_unique<Impl>()) {}
Sha1Hasher::~Sha1Hasher() = default;

Sha1Hasher& Sha1Hasher::Update(ByteView data) {
  impl_->sha.Update(data.data(), data.size());
  return *this;
}

SecureBytes Sha1Hasher::Final() {
  SecureBytes out(kSha1Size);
  impl_->sha.Final(out.data());
  return out;
}

Bytes Sha1(ByteView data) {
  Bytes out(kSha1Size);
  CryptoPP::SHA1().CalculateDigest(out.data(), data.data(), data.size());
  return out;
}

SecureBytes Sha1Secret(ByteView data) {
  SecureBytes out(kSha1Size);
  CryptoPP::SHA1().CalculateDigest(out.data(), data.data(), data.size());
  return out;
}

// --- RSA -------------------------------------------------------------------

Bytes RsaPublic(const RsaPublicKey& key, ByteView input) {
  const CryptoPP::Integer n = ToInteger(key.modulus);
  const CryptoPP::Integer e = ToInteger(key.exponent);
  if (n.IsZero() || e.IsZero()) throw CryptoError("RSA: empty key");
  const CryptoPP::Integer m = ToInteger(input);
  if (m >= n) throw CryptoError("RSA: input not below the modulus");
  return FromInteger<Bytes>(a_exp_b_mod_c(m, e, n), ByteLength(key.modulus));
}

SecureBytes RsaPrivate(const RsaPrivateKey& key, ByteView input) {
  const CryptoPP::Integer n = ToInteger(key.modulus);
  if (n.IsZero()) throw CryptoError("RSA: empty key");
  const CryptoPP::Integer c = ToInteger(input);
  if (c >= n) throw CryptoError("RSA: input not below the modulus");
  const std::size_t width = ByteLength(key.modulus);
  const bool crt = !key.p.empty() && !key.q.empty() && !key.dp.empty() && !key.dq.empty() &&
                   !key.qinv.empty();
  if (crt) {
    const CryptoPP::Integer p = ToInteger(key.p), q = ToInteger(key.q);
    if (p.IsZero() || q.IsZero() || p * q != n) throw CryptoError("RSA: CRT parts do not fit");
    const CryptoPP::Integer m1 = a_exp_b_mod_c(c % p, ToInteger(key.dp), p);
    const CryptoPP::Integer m2 = a_exp_b_mod_c(c % q, ToInteger(key.dq), q);
    const CryptoPP::Integer h = (ToInteger(key.qinv) * (m1 - m2)) % p;  // Integer % is non-negative
    return FromInteger<SecureBytes>(m2 + h * q, width);
  }
  const CryptoPP::Integer d = ToInteger(key.privateExponent);
  if (d.IsZero()) throw CryptoError("RSA: empty key");
  return FromInteger<SecureBytes>(a_exp_b_mod_c(c, d, n), width);
}

RsaPrivateKey GenerateRsaKey(unsigned bits, std::uint32_t publicExponent) {
  if (bits < 64 || publicExponent < 3 || publicExponent % 2 == 0)
    throw CryptoError("RSA: unsupported key size or exponent");
  CryptoPP::InvertibleRSAFunction f;
  try {
    std::lock_guard<std::mutex> lock(PoolMutex());
    f.Initialize(Pool(), bits, CryptoPP::Integer(static_cast<long>(publicExponent)));
  } catch (const CryptoPP::Exception& e) {
    throw CryptoError(e.what());
  }
  RsaPrivateKey k;
  k.modulus = FromInteger<Bytes>(f.GetModulus(), 0);
  k.publicExponent = FromInteger<Bytes>(f.GetPublicExponent(), 0);
  k.privateExponent = FromInteger<SecureBytes>(f.GetPrivateExponent(), k.modulus.size());
  k.p = FromInteger<SecureBytes>(f.GetPrime1(), 0);
  k.q = FromInteger<SecureBytes>(f.GetPrime2(), 0);
  k.dp = FromInteger<SecureBytes>(f.GetModPrime1PrivateExponent(), k.p.size());
  k.dq = FromInteger<SecureBytes>(f.GetModPrime2PrivateExponent(), k.q.size());
  k.qinv = FromInteger<SecureBytes>(f.GetMultiplicativeInverseOfPrime2ModPrime1(), k.p.size());
  return k;
}

int CompareUnsigned(ByteView a, ByteView b) {
  const CryptoPP::Integer x = ToInteger(a), y = ToInteger(b);
  return x < y ? -1 : (x > y ? 1 : 0);
}

Bytes SubtractUnsigned(ByteView a, ByteView b, std::size_t width) {
  const CryptoPP::Integer x = ToInteger(a), y = ToInteger(b);
  if (x < y) throw CryptoError("subtraction below zero");
  return FromInteger<Bytes>(x - y, width);
}

Bytes StripLeadingZeros(ByteView v) {
  std::size_t i = 0;
  while (i + 1 < v.size() && v[i] == 0) ++i;
  return Bytes(v.begin() + static_cast<std::ptrdiff_t>(i), v.end());
}

// --- Random ----------------------------------------------------------------

void RandomFill(std::span<std::uint8_t> out) {
  if (out.empty()) return;
  std::lock_guard<std::mutex> lock(PoolMutex());
  Pool().GenerateBlock(out.data(), out.size());
}

Bytes RandomBytes(std::size_t n) {
  Bytes out(n);
  RandomFill(out);
  return out;
}

SecureBytes RandomSecret(std::size_t n) {
  SecureBytes out(n);
  RandomFill(out);
  return out;
}

// --- zlib ------------------------------------------------------------------

Bytes ZlibCompress(ByteView data) {
  Bytes out;
  try {
    CryptoPP::ZlibCompressor z(nullptr, 6, 15);
    z.Put(data.data(), data.size());
    z.MessageEnd();
    out.resize(static_cast<std::size_t>(z.MaxRetrievable()));
    z.Get(out.data(), out.size());
  } catch (const CryptoPP::Exception& e) {
    throw CryptoError(e.what());
  }
  return out;
}

Bytes ZlibDecompress(ByteView stream, std::size_t maxOutput) {
  Bytes out;
  try {
    CryptoPP::ZlibDecompressor z(new BoundedSink(out, maxOutput));
    z.Put(stream.data(), stream.size());
    z.MessageEnd();
  } catch (const CryptoPP::Exception& e) {
    throw CryptoError(std::string("zlib: ") + e.what());
  }
  return out;
}

std::uint32_t Adler32(ByteView data) {
  CryptoPP::Adler32 a;
  a.Update(data.data(), data.size());
  std::uint8_t d[4];
  a.Final(d);
  return (std::uint32_t{d[0]} << 24) | (std::uint32_t{d[1]} << 16) | (std::uint32_t{d[2]} << 8) |
         d[3];
}

}  // namespace zorbix::crypto
