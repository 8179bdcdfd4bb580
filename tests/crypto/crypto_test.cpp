// Crypto primitives against published and independently derived vectors.
#include "comm/crypto.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/hex.h"

namespace zorbix::crypto {
namespace {

using zorbix::testing::Hex;

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

template <typename V>
Bytes Plain(const V& v) {
  return Bytes(v.begin(), v.end());
}

// "Now is the time for all " and the keys of the classic DES examples.
const Bytes kNowIsTheTime = Text("Now is the time for all ");
const Bytes kK1K2 = Hex("0123456789ABCDEF FEDCBA9876543210");

TEST(Des, ClassicSingleBlockVector) {
  const Bytes key = Hex("133457799BBCDFF1");
  const Bytes pt = Hex("0123456789ABCDEF");
  EXPECT_EQ(DesEncryptBlock(key, pt), Hex("85E813540F0AB405"));
  EXPECT_EQ(DesDecryptBlock(key, Hex("85E813540F0AB405")), pt);
}

TEST(TripleDes, EqualHalvesIsSingleDes) {
  const Bytes key = Hex("133457799BBCDFF1 133457799BBCDFF1");
  EXPECT_EQ(TripleDesCbcEncrypt(key, Hex("0123456789ABCDEF")), Hex("85E813540F0AB405"));
}

TEST(TripleDes, TwoKeyCbcZeroIv) {
  // Reference from an independent implementation (OpenSSL des-ede-cbc).
  const Bytes ct = Hex("D80A0D8B2BAE5E4E 319E5E68C3E8891B 93462A6DB9B4A4D1");
  EXPECT_EQ(TripleDesCbcEncrypt(kK1K2, kNowIsTheTime), ct);
  EXPECT_EQ(Plain(TripleDesCbcDecrypt(kK1K2, ct)), kNowIsTheTime);
}

TEST(TripleDes, Icao9303BasicAccessControlVector) {
  // ICAO Doc 9303 part 11, worked example of basic access control: the
  // terminal's E.IFD = two-key triple DES CBC, zero IV, of S under K.ENC.
  const Bytes kEnc = Hex("AB94FDECF2674FDFB9B391F85D7F76F2");
  const Bytes s = Hex("781723860C06C2264608F919887022120B795240CB7049B01C19B33E32804F0B");
  const Bytes eIfd = Hex("72C29C2371CC9BDB65B779B8E8D37B29ECC154AA56A8799FAE2F498F76ED92F2");
  EXPECT_EQ(TripleDesCbcEncrypt(kEnc, s), eIfd);
  EXPECT_EQ(Plain(TripleDesCbcDecrypt(kEnc, eIfd)), s);
}

TEST(TripleDes, RejectsBadLengths) {
  EXPECT_THROW(TripleDesCbcEncrypt(Hex("0123456789ABCDEF"), Bytes(8)), CryptoError);
  EXPECT_THROW(TripleDesCbcEncrypt(Bytes(24), Bytes(8)), CryptoError);
  EXPECT_THROW(TripleDesCbcEncrypt(kK1K2, Bytes(7)), CryptoError);
  EXPECT_THROW(TripleDesCbcDecrypt(kK1K2, Bytes(9)), CryptoError);
  EXPECT_THROW(DesEncryptBlock(Bytes(8), Bytes(16)), CryptoError);
  EXPECT_TRUE(TripleDesCbcEncrypt(kK1K2, Bytes{}).empty());
}

TEST(Padding, Method2) {
  struct Case {
    Bytes in, out;
  };
  const Case cases[] = {
      {Hex(""), Hex("8000000000000000")},
      {Hex("01"), Hex("0180000000000000")},
      {Hex("01020304050607"), Hex("0102030405060780")},
      {Hex("0102030405060708"), Hex("0102030405060708 8000000000000000")},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PadMethod2(c.in), c.out);
    EXPECT_EQ(Plain(PadMethod2Secret(c.in)), c.out);
    Bytes back = c.out;
    ASSERT_TRUE(UnpadMethod2(back));
    EXPECT_EQ(back, c.in);
  }
  Bytes noMarker = Hex("0102000000000000");
  EXPECT_FALSE(UnpadMethod2(noMarker));
  Bytes zeros = Hex("0000000000000000");
  EXPECT_FALSE(UnpadMethod2(zeros));
  // Only trailing zeros go: an 80 inside the data stays.
  SecureBytes inner{0x80, 0x01, 0x80, 0x00};
  ASSERT_TRUE(UnpadMethod2(inner));
  EXPECT_EQ(Plain(inner), Hex("8001"));
}

TEST(RetailMac, MatchesDesCbcThenTwoKeyFinalBlock) {
  // Reference: single-DES CBC with K1 over the first blocks, then the last
  // block through two-key triple DES, computed with OpenSSL.
  const Bytes data = PadMethod2(kNowIsTheTime);
  EXPECT_EQ(RetailMac(kK1K2, data), Hex("E9086230CA3BE796"));
  // The secure-messaging form: counter block first, zero IV.
  Bytes withSsc = Hex("0000000000000001");
  withSsc.insert(withSsc.end(), data.begin(), data.end());
  EXPECT_EQ(RetailMac(kK1K2, withSsc), Hex("EE77FF082D6789F4"));
  // Same thing with the counter block's CBC step taken as the IV.
  EXPECT_EQ(RetailMac(kK1K2, data, DesEncryptBlock(Hex("0123456789ABCDEF"), Hex("0000000000000001"))),
            Hex("EE77FF082D6789F4"));
}

TEST(RetailMac, Icao9303Vectors) {
  // ICAO Doc 9303 part 11, worked example: M.IFD over E.IFD under K.MAC,
  // and the MAC of the first protected command (counter block first).
  EXPECT_EQ(RetailMac(Hex("7962D9ECE03D1ACD4C76089DCE131543"),
                      PadMethod2(Hex("72C29C2371CC9BDB65B779B8E8D37B29"
                                     "ECC154AA56A8799FAE2F498F76ED92F2"))),
            Hex("5F1448EEA8AD90A7"));
  EXPECT_EQ(RetailMac(Hex("F1CB1F1FB5ADF208806B89DC579DC1F8"),
                      PadMethod2(Hex("887022120C06C227 0CA4020C80000000 8709016375432908C044F6"))),
            Hex("BF8B92D635FF24F8"));
}

TEST(RetailMac, SecureMessagingLoopIsTheMacOverCounterAndInput) {
  // The counter-chained form: y = ssc; y = E1(y) ^ B per block; then
  // E1, D2, E1. It must equal the retail MAC over ssc || input.
  const Bytes k1 = Hex("0123456789ABCDEF"), k2 = Hex("FEDCBA9876543210");
  const Bytes ssc = Hex("0506070815161819");
  const Bytes input = PadMethod2(Hex("0C20000080000000 8711 01 00112233445566778899AABBCCDDEEFF"));
  Bytes y = ssc;
  for (std::size_t off = 0; off < input.size(); off += 8) {
    y = DesEncryptBlock(k1, y);
    for (int i = 0; i < 8; ++i) y[i] ^= input[off + i];
  }
  y = DesEncryptBlock(k1, DesDecryptBlock(k2, DesEncryptBlock(k1, y)));
  Bytes withSsc = ssc;
  withSsc.insert(withSsc.end(), input.begin(), input.end());
  EXPECT_EQ(RetailMac(kK1K2, withSsc), y);
}

TEST(RetailMac, EqualKeysIsPlainCbcMac) {
  // With K1 = K2 the final decrypt/encrypt cancel: the MAC is the last
  // single-DES CBC block, here the classic single-block vector.
  const Bytes key = Hex("133457799BBCDFF1 133457799BBCDFF1");
  EXPECT_EQ(RetailMac(key, Hex("0123456789ABCDEF")), Hex("85E813540F0AB405"));
}

TEST(RetailMac, RejectsBadInput) {
  EXPECT_THROW(RetailMac(kK1K2, Bytes(12)), CryptoError);
  EXPECT_THROW(RetailMac(kK1K2, Bytes{}), CryptoError);
  EXPECT_THROW(RetailMac(Bytes(8), Bytes(8)), CryptoError);
  EXPECT_THROW(RetailMac(kK1K2, Bytes(8), Bytes(4)), CryptoError);
}

TEST(Counter, BigEndianIncrement) {
  Bytes ssc = Hex("05060708151617FF");
  IncrementCounter(ssc);
  EXPECT_EQ(ssc, Hex("0506070815161800"));
  Bytes top = Hex("FFFFFFFFFFFFFFFF");
  IncrementCounter(top);
  EXPECT_EQ(top, Hex("0000000000000000"));
}

TEST(Sha1, Fips180Vectors) {
  EXPECT_EQ(Sha1(Text("abc")), Hex("A9993E364706816ABA3E25717850C26C9CD0D89D"));
  EXPECT_EQ(Sha1(Bytes{}), Hex("DA39A3EE5E6B4B0D3255BFEF95601890AFD80709"));
  EXPECT_EQ(Sha1(Text("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
            Hex("84983E441C3BD26EBAAE4AA1F95129E5E54670F1"));
  EXPECT_EQ(Plain(Sha1Secret(Text("abc"))), Hex("A9993E364706816ABA3E25717850C26C9CD0D89D"));
  Sha1Hasher h;
  h.Update(Text("ab")).Update(Bytes{}).Update(Text("c"));
  EXPECT_EQ(Plain(h.Final()), Hex("A9993E364706816ABA3E25717850C26C9CD0D89D"));
  h.Update(Text("abc"));
  EXPECT_EQ(Plain(h.Final()), Hex("A9993E364706816ABA3E25717850C26C9CD0D89D"));
}

// The textbook key p = 61, q = 53, n = 3233, e = 17, d = 2753.
RsaPrivateKey TextbookKey(bool withCrt) {
  RsaPrivateKey k;
  k.modulus = Hex("0CA1");  // 3233
  k.publicExponent = Hex("11");
  k.privateExponent = {0x0A, 0xC1};  // 2753
  if (withCrt) {
    k.p = {61};
    k.q = {53};
    k.dp = {53};
    k.dq = {49};
    k.qinv = {38};
  }
  return k;
}

TEST(Rsa, TextbookVector) {
  const RsaPublicKey pub{Hex("0CA1"), Hex("11")};
  // m = 65 -> c = 2790 (0x0AE6), written in the modulus' two bytes.
  EXPECT_EQ(RsaPublic(pub, Hex("41")), Hex("0AE6"));
  EXPECT_EQ(RsaPublic(pub, Hex("000041")), Hex("0AE6"));
  for (bool crt : {false, true}) {
    SCOPED_TRACE(crt);
    EXPECT_EQ(Plain(RsaPrivate(TextbookKey(crt), Hex("0AE6"))), Hex("0041"));
  }
}

TEST(Rsa, InputMustBeBelowModulus) {
  const RsaPublicKey pub{Hex("0CA1"), Hex("11")};
  EXPECT_THROW(RsaPublic(pub, Hex("0CA1")), CryptoError);
  EXPECT_THROW(RsaPrivate(TextbookKey(true), Hex("FFFF")), CryptoError);
  EXPECT_THROW(RsaPublic(RsaPublicKey{}, Hex("01")), CryptoError);
  RsaPrivateKey wrongCrt = TextbookKey(true);
  wrongCrt.q = {59};
  EXPECT_THROW(RsaPrivate(wrongCrt, Hex("01")), CryptoError);
}

TEST(Rsa, GeneratedKeyRoundTripsWithAndWithoutCrt) {
  const RsaPrivateKey k = GenerateRsaKey(512);
  ASSERT_EQ(k.modulus.size(), 64u);
  EXPECT_GE(k.modulus[0], 0x80);
  EXPECT_EQ(k.publicExponent, Hex("010001"));
  const RsaPublicKey pub{k.modulus, k.publicExponent};
  Bytes m = RandomBytes(64);
  m[0] = 0x01;  // below the modulus
  const Bytes c = RsaPublic(pub, m);
  EXPECT_EQ(c.size(), 64u);
  EXPECT_EQ(Plain(RsaPrivate(k, c)), m);
  RsaPrivateKey noCrt = k;
  noCrt.p.clear();
  EXPECT_EQ(Plain(RsaPrivate(noCrt, c)), m);
}

TEST(BigEndian, CompareSubtractStrip) {
  EXPECT_EQ(CompareUnsigned(Hex("000102"), Hex("0102")), 0);
  EXPECT_LT(CompareUnsigned(Hex("0102"), Hex("0103")), 0);
  EXPECT_GT(CompareUnsigned(Hex("010000"), Hex("FFFF")), 0);
  EXPECT_EQ(SubtractUnsigned(Hex("0CA1"), Hex("0001"), 4), Hex("00000CA0"));
  EXPECT_EQ(SubtractUnsigned(Hex("0100"), Hex("01")), Hex("FF"));
  EXPECT_EQ(SubtractUnsigned(Hex("05"), Hex("05")), Hex("00"));
  EXPECT_THROW(SubtractUnsigned(Hex("01"), Hex("02")), CryptoError);
  EXPECT_THROW(SubtractUnsigned(Hex("FFFF"), Hex("01"), 1), CryptoError);
  EXPECT_EQ(StripLeadingZeros(Hex("000012")), Hex("12"));
  EXPECT_EQ(StripLeadingZeros(Hex("0000")), Hex("00"));
}

TEST(Random, FreshBytes) {
  const Bytes a = RandomBytes(32), b = RandomBytes(32);
  EXPECT_EQ(a.size(), 32u);
  EXPECT_NE(a, b);
  EXPECT_EQ(RandomSecret(8).size(), 8u);
}

TEST(Zlib, ReadsAReferenceStream) {
  // zlib.compress(b"hello", 6) from the reference zlib library.
  EXPECT_EQ(ZlibDecompress(Hex("789CCB48CDC9C90700062C0215")), Text("hello"));
  EXPECT_EQ(Adler32(Text("hello")), 0x062C0215u);
  EXPECT_EQ(Adler32(Text("Wikipedia")), 0x11E60398u);
}

TEST(Zlib, RoundTripWithHeaderAndTrailer) {
  Bytes data;
  for (int i = 0; i < 40; ++i)
    for (int b = 0; b < 256; ++b) data.push_back(static_cast<std::uint8_t>(b));
  const Bytes z = ZlibCompress(data);
  ASSERT_GE(z.size(), 6u);
  EXPECT_LT(z.size(), data.size());
  EXPECT_EQ(z[0], 0x78);  // deflate, 32 KB window
  EXPECT_EQ((z[0] * 256 + z[1]) % 31, 0);
  const std::uint32_t adler = Adler32(data);
  EXPECT_EQ(Bytes(z.end() - 4, z.end()),
            (Bytes{std::uint8_t(adler >> 24), std::uint8_t(adler >> 16), std::uint8_t(adler >> 8),
                   std::uint8_t(adler)}));
  EXPECT_EQ(ZlibDecompress(z), data);
  EXPECT_EQ(ZlibDecompress(z, 100), Bytes(data.begin(), data.begin() + 100));
  EXPECT_EQ(ZlibDecompress(ZlibCompress(Text("x"))), Text("x"));
}

TEST(Zlib, RejectsDamagedStreams) {
  const Bytes good = Hex("789CCB48CDC9C90700062C0215");
  Bytes badAdler = good;
  badAdler[12] ^= 0x01;  // last Adler-32 byte
  Bytes badHeader = good;
  badHeader[1] = 0x9D;
  Bytes truncated(good.begin(), good.end() - 3);
  Bytes badBody = good;
  badBody[2] = 0xFF;  // reserved block type
  for (const Bytes* s : {&badAdler, &badHeader, &truncated, &badBody}) {
    EXPECT_THROW(ZlibDecompress(*s), CryptoError);
  }
  EXPECT_THROW(ZlibDecompress(Bytes{}), CryptoError);
  // The cap keeps memory bounded but the checksum is still checked.
  EXPECT_THROW(ZlibDecompress(badAdler, 2), CryptoError);
}

}  // namespace
}  // namespace zorbix::crypto
