// The cryptography the communicators and the virtual card need, over Crypto++:
// DES and two-key triple DES, the retail MAC, SHA-1, raw RSA, random bytes
// and zlib. Failures (bad key or block length, value out of range, corrupt
// zlib stream) throw CryptoError; callers map it to their own error value.
#pragma once

#include "platform/secret.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <stdexcept>
#include <vector>

namespace zorbix::crypto {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

class CryptoError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr std::size_t kDesBlock = 8;

// --- DES -------------------------------------------------------------------
// Two-key triple DES (K1 K2 K1), CBC, IV of eight zero bytes, no padding.
// key: 16 bytes; data: a multiple of 8 bytes.
Bytes TripleDesCbcEncrypt(ByteView key, ByteView data);
SecureBytes TripleDesCbcDecrypt(ByteView key, ByteView data);

// Single DES on one 8-byte block (key: 8 bytes; parity bits ignored).
Bytes DesEncryptBlock(ByteView key, ByteView block);
Bytes DesDecryptBlock(ByteView key, ByteView block);

// ISO/IEC 9797-1 padding method 2: 80 then 00 up to a multiple of 8; a
// block-aligned input gets a whole block 80 00 .. 00.
Bytes PadMethod2(ByteView data);
// The same in wiping storage, for padded PINs and keys.
SecureBytes PadMethod2Secret(ByteView data);
// Drops trailing 00 bytes and the 80 before them; false when there is no 80.
bool UnpadMethod2(SecureBytes& data);
bool UnpadMethod2(Bytes& data);

// ISO/IEC 9797-1 MAC algorithm 3 (retail MAC) with DES: CBC-MAC with K1 =
// key[0..7] over data, starting from `iv` (eight zero bytes when empty), then
// the last block decrypted with K2 = key[8..15] and encrypted with K1 again.
// data must already be padded to a non-zero multiple of 8. Returns the 8-byte MAC;
// callers keep as many leading bytes as they carry.
// Secure messaging: RetailMac(kMac, ssc || paddedInput) with a zero IV.
Bytes RetailMac(ByteView key, ByteView data, ByteView iv = {});

// Adds one to a big-endian unsigned counter of any length (wraps at the top).
void IncrementCounter(std::span<std::uint8_t> counter);

// --- SHA-1 -------------------------------------------------------------------
inline constexpr std::size_t kSha1Size = 20;

Bytes Sha1(ByteView data);
// For hashes that become key material (session keys).
SecureBytes Sha1Secret(ByteView data);

// Hash of several parts without joining them first.
class Sha1Hasher {
 public:
  Sha1Hasher();
  ~Sha1Hasher();
  Sha1Hasher(const Sha1Hasher&) = delete;
  Sha1Hasher& operator=(const Sha1Hasher&) = delete;
  Sha1Hasher& Update(ByteView data);
  // Returns the digest and starts over.
  SecureBytes Final();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// --- RSA (raw) -----------------------------------------------------------------
// Numbers are unsigned big-endian byte strings; leading zeros are allowed.
struct RsaPublicKey {
  Bytes modulus;
  Bytes exponent;
};

struct RsaPrivateKey {
  Bytes modulus;
  Bytes publicExponent;
  SecureBytes privateExponent;
  // CRT parts; the private operation uses them when all five are present.
  SecureBytes p, q, dp, dq, qinv;  // qinv = q^-1 mod p
};

// m^e mod n, written in exactly the byte length of n. Throws when the input
// is not below the modulus or the key is empty.
Bytes RsaPublic(const RsaPublicKey& key, ByteView input);
// c^d mod n (with the CRT when the parts are there), in the byte length of n.
SecureBytes RsaPrivate(const RsaPrivateKey& key, ByteView input);

// A new key with a modulus of exactly `bits` bits.
RsaPrivateKey GenerateRsaKey(unsigned bits, std::uint32_t publicExponent = 65537);

// Unsigned big-endian helpers for the channel's "modulus minus value" steps.
// Compare ignoring leading zeros: <0, 0, >0.
int CompareUnsigned(ByteView a, ByteView b);
// a - b (requires a >= b), in `width` bytes (width 0: minimal length, at
// least one byte). Throws when a < b or the result does not fit.
Bytes SubtractUnsigned(ByteView a, ByteView b, std::size_t width = 0);
// Without leading zero bytes (an all-zero value keeps one byte).
Bytes StripLeadingZeros(ByteView v);

// --- Random ------------------------------------------------------------------
// From one automatically seeded pool, shared by the process (thread-safe).
void RandomFill(std::span<std::uint8_t> out);
Bytes RandomBytes(std::size_t n);
SecureBytes RandomSecret(std::size_t n);

// --- zlib (RFC 1950) ---------------------------------------------------------
// Deflate level 6, 32 KB window, with the zlib header and Adler-32 trailer.
Bytes ZlibCompress(ByteView data);
// Checks the header and the Adler-32; throws CryptoError on any fault.
// Output beyond `maxOutput` bytes is still checked but not kept, so a small
// expected size bounds the memory a hostile stream can take.
Bytes ZlibDecompress(ByteView stream,
                     std::size_t maxOutput = std::numeric_limits<std::size_t>::max());

// Adler-32 of data (RFC 1950), for tests and checks.
std::uint32_t Adler32(ByteView data);

}  // namespace zorbix::crypto
