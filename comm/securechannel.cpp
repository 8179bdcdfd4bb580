// Opening the national ID card's secure channel: the channel parameters,
// the card's certificates, internal and external authentication with RSA key
// transport, and the session keys.
#include "comm/securechannel.h"

#include <cryptopp/asn.h>
#include <cryptopp/integer.h>
#include <cryptopp/queue.h>

#include <algorithm>
#include <array>
#include <initializer_list>

#include "pkcs15/asn1types.h"

namespace zorbix::comm {

namespace {

namespace cr = zorbix::crypto;

[[noreturn]] void Fail(CK_RV rv) { throw Pkcs11Exception(rv); }

constexpr std::size_t kSerialLength = 8;   // sn-IFD and SN.ICC
constexpr std::size_t kChallengeLength = 8;
constexpr std::size_t kKeyHalfLength = 32;  // Kicc, Kifd
constexpr std::size_t kSessionKeyLength = 16;
// 6A | PRND | K (32) | SHA-1 (20) | BC
constexpr std::size_t kAuthOverhead = 1 + kKeyHalfLength + cr::kSha1Size + 1;
constexpr std::uint16_t kSfi0Offset = 0x8000;   // the card's CA certificate
constexpr std::uint16_t kSfi31Offset = 0x9F00;  // the card's own certificate
constexpr std::size_t kMaxMacLength = 8;

const std::uint8_t kDigestInfoSha1[] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E,
                                        0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14};

// The decoded channel parameters. Every member wipes itself: the terminal's
// private key is among them, and the rest is configuration nobody else needs
// to see in freed memory.
struct ChannelParams {
  cr::RsaPublicKey pkRCAicc;
  SecureBytes pkRCAAutKeyRef, cCVCACSAut, pkCACSAutKeyRef, cCVIFDAut, ifdKeyRef, snIFD,
      pkIFDAutKeyRef, skICCAutKeyRef;
  cr::RsaPrivateKey skIFDAut;
  std::uint8_t macLength = 4;

  ChannelParams() = default;
  ChannelParams(const ChannelParams&) = delete;
  ChannelParams& operator=(const ChannelParams&) = delete;
  ~ChannelParams() {
    for (Bytes* b : {&pkRCAicc.modulus, &pkRCAicc.exponent, &skIFDAut.modulus,
                     &skIFDAut.publicExponent})
      WipeMemory(b->data(), b->size());
  }
};

void WipeMember(OCTET_STRING_t& s) noexcept { WipeMemory(s.buf, s.buf ? s.size : 0); }

// The codec frees without wiping: the contents go first.
void WipeDecoded(Vexa_channelParams_t* p) noexcept {
  if (!p) return;
  for (INTEGER_t* i : {&p->pk_RCAicc.n, &p->pk_RCAicc.e, &p->sk_IFD_AUT.n, &p->sk_IFD_AUT.e,
                       &p->sk_IFD_AUT.d, p->mac_Len})
    if (i) WipeMemory(i->buf, i->buf ? i->size : 0);
  for (OCTET_STRING_t* s : {&p->pk_RCA_AUT_keyRef, &p->c_CV_CA_CS_AUT, &p->pk_CA_CS_AUT_keyRef,
                            &p->c_CV_IFD_AUT, &p->ifd_keyRef, &p->sn_IFD, &p->pk_IFD_AUT_keyRef,
                            &p->sk_ICC_AUT_keyRef})
    WipeMember(*s);
}

SecureBytes Secret(const OCTET_STRING_t& s) {
  const auto b = asn1::Bytes(s);
  return SecureBytes(b.begin(), b.end());
}

Bytes Number(const INTEGER_t& i) { return cr::StripLeadingZeros(asn1::Bytes(i)); }

// Moves a value that a crypto call returned in plain storage into wiping
// storage.
SecureBytes Take(Bytes&& plain) {
  SecureBytes out(plain.begin(), plain.end());
  WipeMemory(plain.data(), plain.size());
  plain.clear();
  return out;
}

bool Empty(ByteView number) {
  return std::all_of(number.begin(), number.end(), [](std::uint8_t b) { return b == 0; });
}

void DecodeChannelParams(ByteView der, ChannelParams& out) {
  asn1::Decoded<Vexa_channelParams_t> decoded = asn1::Decode<Vexa_channelParams_t>(der);
  struct WipeFirst {
    Vexa_channelParams_t* p;
    ~WipeFirst() { WipeDecoded(p); }
  } wipe{decoded.value.get()};
  if (decoded.code == asn1::DecodeCode::Failure || !decoded.value) Fail(CKR_GENERAL_ERROR);
  const Vexa_channelParams_t& p = *decoded.value;
  out.pkRCAicc.modulus = Number(p.pk_RCAicc.n);
  out.pkRCAicc.exponent = Number(p.pk_RCAicc.e);
  out.pkRCAAutKeyRef = Secret(p.pk_RCA_AUT_keyRef);
  out.cCVCACSAut = Secret(p.c_CV_CA_CS_AUT);
  out.pkCACSAutKeyRef = Secret(p.pk_CA_CS_AUT_keyRef);
  out.cCVIFDAut = Secret(p.c_CV_IFD_AUT);
  out.ifdKeyRef = Secret(p.ifd_keyRef);
  out.snIFD = Secret(p.sn_IFD);
  out.pkIFDAutKeyRef = Secret(p.pk_IFD_AUT_keyRef);
  out.skICCAutKeyRef = Secret(p.sk_ICC_AUT_keyRef);
  out.skIFDAut.modulus = Number(p.sk_IFD_AUT.n);
  out.skIFDAut.publicExponent = Number(p.sk_IFD_AUT.e);
  const auto d = asn1::Bytes(p.sk_IFD_AUT.d);
  out.skIFDAut.privateExponent.assign(d.begin(), d.end());
  if (p.mac_Len) {
    const auto len = asn1::Bytes(*p.mac_Len);
    // A MAC of no bytes would check nothing; more than 8 the MAC cannot give.
    if (len.empty() || len[0] == 0 || len[0] > kMaxMacLength) Fail(CKR_GENERAL_ERROR);
    out.macLength = len[0];
  }
  // Keys the steps cannot work with are as useless as parameters that do not
  // decode.
  if (Empty(out.pkRCAicc.modulus) || Empty(out.pkRCAicc.exponent) ||
      Empty(out.skIFDAut.modulus) || Empty(out.skIFDAut.publicExponent) ||
      Empty(out.skIFDAut.privateExponent))
    Fail(CKR_GENERAL_ERROR);
}

SecureBytes Cat(std::initializer_list<ByteView> parts) {
  std::size_t n = 0;
  for (ByteView p : parts) n += p.size();
  SecureBytes out;
  out.reserve(n);
  for (ByteView p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// The card's internal-authentication answer after our private key, taken
// through the card's public key: 6A | PRND1 | Kicc | SHA-1(PRND1 | Kicc |
// RND.IFD | sn-IFD) | BC, or nothing when x does not give that form.
std::optional<SecureBytes> RecoverCardMessage(const cr::RsaPublicKey& pkIcc, ByteView x,
                                              ByteView rndIfd, ByteView snIfd) {
  SecureBytes m;
  try {
    m = Take(cr::RsaPublic(pkIcc, x));
  } catch (const cr::CryptoError&) {
    return std::nullopt;  // not below the card's modulus
  }
  const std::size_t len = m.size();
  if (len < kAuthOverhead || m[0] != 0x6A || m[len - 1] != 0xBC) return std::nullopt;
  const std::size_t hashAt = len - 1 - cr::kSha1Size;
  cr::Sha1Hasher h;
  h.Update(ByteView(m).subspan(1, hashAt - 1)).Update(rndIfd).Update(snIfd);
  const SecureBytes hash = h.Final();
  if (!std::equal(hash.begin(), hash.end(), m.begin() + static_cast<std::ptrdiff_t>(hashAt)))
    return std::nullopt;
  return m;
}

// --- X.509 through Crypto++'s BER decoder --------------------------------------

using CryptoPP::BERGeneralDecoder;
using CryptoPP::BERSequenceDecoder;
using CryptoPP::BufferedTransformation;

// Any element, read past without looking at it.
void SkipElement(BufferedTransformation& in) {
  CryptoPP::byte tag = 0;
  if (!in.Get(tag)) CryptoPP::BERDecodeError();
  size_t length = 0;
  if (!CryptoPP::BERLengthDecode(in, length)) CryptoPP::BERDecodeError();
  if (in.Skip(length) != length) CryptoPP::BERDecodeError();
}

Bytes UnsignedOf(const CryptoPP::Integer& i) {
  if (i.IsNegative()) CryptoPP::BERDecodeError();
  Bytes out(std::max<std::size_t>(1, i.MinEncodedSize()));
  i.Encode(out.data(), out.size());
  return out;
}

}  // namespace

// ---------------------------------------------------------------- CComm_Vexa

CComm_Vexa::CComm_Vexa(CSlot& slot, ByteView channelParams)
    : CCommunicator(slot), channelParams_(channelParams.begin(), channelParams.end()) {}

CComm_Vexa::~CComm_Vexa() { CloseChannel(); }

void CComm_Vexa::CloseChannel() noexcept {
  channelOpen_ = 0;
  for (SecureBytes* key : {&kEnc_, &kMac_, &ssc_}) {
    WipeMemory(key->data(), key->size());
    key->clear();
  }
}

void CComm_Vexa::FillRandom(std::span<std::uint8_t> out) { cr::RandomFill(out); }

void CComm_Vexa::EnsureChannel() {
  if (!channelOpen_) OpenChannel();
}

void CComm_Vexa::VerifyPin(ByteView pin) {
  EnsureChannel();
  CCommunicator::VerifyPin(pin);
}

void CComm_Vexa::ChangePin(ByteView oldPin, ByteView newPin, std::uint8_t selector) {
  EnsureChannel();
  CCommunicator::ChangePin(oldPin, newPin, selector);
}

void CComm_Vexa::ResetRetryCounter(ByteView code, std::optional<ByteView> newPin) {
  EnsureChannel();
  CCommunicator::ResetRetryCounter(code, newPin);
}

std::uint16_t CComm_Vexa::GetPinTries() {
  EnsureChannel();
  return CCommunicator::GetPinTries();
}

void CComm_Vexa::OpenChannel() {
  if (channelOpen_) Fail(CKR_GENERAL_ERROR);
  if (channelParams_.empty()) Fail(CKR_DEVICE_ERROR);
  ChannelParams params;
  DecodeChannelParams(channelParams_, params);
  // INTERNAL AUTHENTICATE announces 8 bytes of serial number.
  if (params.snIFD.size() != kSerialLength) Fail(CKR_DEVICE_ERROR);

  // Card refusals become device errors; everything else passes as raised.
  try {
    Bytes answer;
    struct WipeAnswer {
      Bytes& b;
      ~WipeAnswer() { WipeMemory(b.data(), b.size()); }
    } wipeAnswer{answer};
    const auto send = [&](std::array<std::uint8_t, 4> header, ByteView data,
                          std::uint16_t expected) { SendCommand(header, data, answer, expected); };

    SelectName(kMasterFile);
    const std::uint8_t readSerial[] = {0x90, 0xB8, 0x00, 0x00, 0x07};
    TransmitApdu(readSerial, answer, kSwOk);
    if (answer.size() < kSerialLength - 1) Fail(CKR_DEVICE_ERROR);
    SecureBytes snIcc = {0x00};
    snIcc.insert(snIcc.end(), answer.begin(), answer.begin() + (kSerialLength - 1));

    // The terminal's certificates, each under the key that verifies it.
    send({0x00, 0x22, 0x81, 0xB6}, params.pkRCAAutKeyRef, kSwOk);
    send({0x00, 0x2A, 0x00, 0xAE}, params.cCVCACSAut, kSwOk);
    send({0x00, 0x22, 0x81, 0xB6}, params.pkCACSAutKeyRef, kSwOk);
    send({0x00, 0x2A, 0x00, 0xAE}, params.cCVIFDAut, kSwOk);

    // The card's certificates: its CA's under the root, its own under that CA.
    Bytes certificate;
    ReadObject(certificate, kSfi0Offset);
    const cr::RsaPublicKey kCa = CheckCardCertificate(params.pkRCAicc, certificate);
    ReadObject(certificate, kSfi31Offset);
    const cr::RsaPublicKey pkIcc = CheckCardCertificate(kCa, certificate);
    const std::size_t len = cr::StripLeadingZeros(pkIcc.modulus).size();
    if (len < kAuthOverhead) Fail(CKR_DATA_INVALID);

    // Internal authentication: the card signs our challenge and its half of
    // the key, enciphered for our key.
    send({0x00, 0x22, 0xC1, 0xA4}, Cat({params.pkIFDAutKeyRef, params.skICCAutKeyRef}), kSwOk);
    SecureBytes rndIfd(kChallengeLength);
    FillRandom(rndIfd);
    send({0x00, 0x88, 0x00, 0x00}, Cat({rndIfd, params.snIFD}), kSwAny61);
    GetResponse(answer);
    SecureBytes x;
    try {
      x = cr::RsaPrivate(params.skIFDAut, answer);
    } catch (const cr::CryptoError&) {
      Fail(CKR_DATA_INVALID);  // not below our modulus
    }
    // The card answers with its signature SIG or with N - SIG.
    std::optional<SecureBytes> m = RecoverCardMessage(pkIcc, x, rndIfd, params.snIFD);
    if (!m && cr::CompareUnsigned(x, pkIcc.modulus) < 0) {
      const SecureBytes complement = Take(cr::SubtractUnsigned(pkIcc.modulus, x, x.size()));
      m = RecoverCardMessage(pkIcc, complement, rndIfd, params.snIFD);
    }
    if (!m) Fail(CKR_DATA_INVALID);
    // Kicc: the 32 bytes before the hash.
    const auto kIccEnd = m->end() - static_cast<std::ptrdiff_t>(cr::kSha1Size + 1);
    const SecureBytes kIcc(kIccEnd - kKeyHalfLength, kIccEnd);

    // External authentication: our signature over the card's challenge and
    // our half of the key, enciphered for the card's key.
    const std::uint8_t getChallenge[] = {0x00, 0x84, 0x00, 0x00, kChallengeLength};
    TransmitApdu(getChallenge, answer, kSwOk);
    if (answer.size() != kChallengeLength) Fail(CKR_DEVICE_ERROR);
    const SecureBytes rndIcc(answer.begin(), answer.end());
    SecureBytes prnd2(len - kAuthOverhead), kIfd(kKeyHalfLength);
    FillRandom(prnd2);
    FillRandom(kIfd);
    cr::Sha1Hasher h;
    h.Update(prnd2).Update(kIfd).Update(rndIcc).Update(snIcc);
    const SecureBytes m2 = Cat({SecureBytes{0x6A}, prnd2, kIfd, h.Final(), SecureBytes{0xBC}});
    SecureBytes c;
    try {
      const SecureBytes s = cr::RsaPrivate(params.skIFDAut, m2);
      const SecureBytes other = Take(cr::SubtractUnsigned(params.skIFDAut.modulus, s));
      const SecureBytes shorter =
          Take(cr::StripLeadingZeros(cr::CompareUnsigned(other, s) < 0 ? other : s));
      c = Take(cr::RsaPublic(pkIcc, shorter));
    } catch (const cr::CryptoError&) {
      Fail(CKR_DATA_INVALID);  // keys of lengths that do not fit each other
    }
    send({0x00, 0x82, 0x00, 0x00}, c, kSwOk);

    SecureBytes k(kKeyHalfLength);
    for (std::size_t i = 0; i < kKeyHalfLength; ++i) k[i] = kIcc[i] ^ kIfd[i];
    SecureBytes encKey = cr::Sha1Secret(Cat({k, SecureBytes{0x00, 0x00, 0x00, 0x01}}));
    SecureBytes macKey = cr::Sha1Secret(Cat({k, SecureBytes{0x00, 0x00, 0x00, 0x02}}));
    encKey.resize(kSessionKeyLength);
    macKey.resize(kSessionKeyLength);
    kEnc_ = std::move(encKey);
    kMac_ = std::move(macKey);
    ssc_ = Cat({ByteView(rndIcc).subspan(4), ByteView(rndIfd).subspan(4)});
    channelOpen_ = 1;
    macLength_ = params.macLength;
  } catch (const Pkcs11Exception& e) {
    CloseChannel();
    if (IsCardStatusValue(e.rv())) Fail(CKR_DEVICE_ERROR);
    throw;
  } catch (...) {
    CloseChannel();
    throw;
  }
}

crypto::RsaPublicKey CComm_Vexa::CheckCardCertificate(const crypto::RsaPublicKey& issuer,
                                                      ByteView certificate) {
  try {
    CryptoPP::ByteQueue queue;
    queue.Put(certificate.data(), certificate.size());
    BERSequenceDecoder cert(queue);
    // The signed part is hashed as it stands, tag and length included.
    const std::size_t tbsStart = certificate.size() - static_cast<std::size_t>(queue.MaxRetrievable());
    const CryptoPP::lword before = cert.RemainingLength();
    BERSequenceDecoder tbs(cert);
    {
      // version [0] EXPLICIT INTEGER: 2 (v3); a v1 certificate has none.
      if (tbs.PeekByte() != (CryptoPP::CONTEXT_SPECIFIC | CryptoPP::CONSTRUCTED | 0))
        Fail(CKR_DATA_INVALID);
      BERGeneralDecoder version(tbs, CryptoPP::CONTEXT_SPECIFIC | CryptoPP::CONSTRUCTED | 0);
      CryptoPP::Integer v;
      v.BERDecode(version);
      version.MessageEnd();
      if (v != 2) Fail(CKR_DATA_INVALID);
    }
    CryptoPP::Integer serial;
    serial.BERDecode(tbs);
    for (int skipped = 0; skipped < 4; ++skipped) SkipElement(tbs);  // signature .. subject
    cr::RsaPublicKey subject;
    {
      BERSequenceDecoder spki(tbs);
      SkipElement(spki);  // algorithm
      CryptoPP::SecByteBlock bits;
      unsigned unused = 0;
      CryptoPP::BERDecodeBitString(spki, bits, unused);
      if (unused != 0) Fail(CKR_DATA_INVALID);
      spki.MessageEnd();
      CryptoPP::ByteQueue keyQueue;
      keyQueue.Put(bits.data(), bits.size());
      BERSequenceDecoder rsaKey(keyQueue);
      CryptoPP::Integer n, e;
      n.BERDecode(rsaKey);
      e.BERDecode(rsaKey);
      rsaKey.MessageEnd();
      if (!keyQueue.IsEmpty()) Fail(CKR_DATA_INVALID);
      subject.modulus = UnsignedOf(n);
      subject.exponent = UnsignedOf(e);
    }
    tbs.SkipAll();  // extensions and the rest are not looked at
    tbs.MessageEnd();
    const ByteView tbsDer =
        certificate.subspan(tbsStart, static_cast<std::size_t>(before - cert.RemainingLength()));

    {
      BERSequenceDecoder algorithm(cert);
      CryptoPP::OID oid;
      oid.BERDecode(algorithm);
      algorithm.SkipAll();
      algorithm.MessageEnd();
      const CryptoPP::OID sha1WithRsa =
          CryptoPP::OID(1) + 2 + 840 + 113549 + 1 + 1 + 5;
      if (oid != sha1WithRsa) Fail(CKR_DATA_INVALID);
    }
    CryptoPP::SecByteBlock signature;
    unsigned unused = 0;
    CryptoPP::BERDecodeBitString(cert, signature, unused);
    cert.MessageEnd();
    if (!queue.IsEmpty()) Fail(CKR_DATA_INVALID);

    // 00 01 FF.. 00 DigestInfo(SHA-1) hash
    const Bytes block = cr::RsaPublic(issuer, ByteView(signature.data(), signature.size()));
    const Bytes hash = cr::Sha1(tbsDer);
    if (block.size() < 40 || block[0] != 0x00 || block[1] != 0x01) Fail(CKR_DATA_INVALID);
    std::size_t i = 2;
    while (i < block.size() && block[i] == 0xFF) ++i;
    if (i >= block.size() || block[i] != 0x00) Fail(CKR_DATA_INVALID);
    ByteView rest = ByteView(block).subspan(i + 1);
    if (rest.size() != sizeof kDigestInfoSha1 + cr::kSha1Size ||
        !std::equal(std::begin(kDigestInfoSha1), std::end(kDigestInfoSha1), rest.begin()) ||
        !std::equal(hash.begin(), hash.end(), rest.begin() + sizeof kDigestInfoSha1))
      Fail(CKR_DATA_INVALID);
    return subject;
  } catch (const CryptoPP::Exception&) {
    Fail(CKR_DATA_INVALID);
  } catch (const cr::CryptoError&) {
    Fail(CKR_DATA_INVALID);
  }
}

}  // namespace zorbix::comm
