// Card side of the secure channel: device authentication with CV
// certificates and RSA key transport, then secure messaging (see
// securechannel.h for the card's answers).
#include "sim/securechannel.h"

#include <algorithm>
#include <memory>
#include <stdexcept>

#include "comm/crypto.h"
#include "platform/secret.h"

namespace zorbix::sim {
namespace {

namespace cr = zorbix::crypto;

// Scratch entries (cleared with the card session).
const char kVerifyKey[] = "sc.verify";        // key for PSO: VERIFY CERTIFICATE
const char kVerifyName[] = "sc.verify.name";  // its holder reference (empty: root)
const char kCvKeyPrefix[] = "sc.cvkey.";      // + hex holder reference: imported key
const char kIfdKey[] = "sc.at.ifd";           // terminal key chosen by MSE:SET C1 A4
const char kIfdName[] = "sc.at.ifd.name";
const char kRndIfd[] = "sc.rnd.ifd";
const char kKicc[] = "sc.kicc";
const char kEnc[] = "sc.kenc";
const char kMac[] = "sc.kmac";
const char kSsc[] = "sc.ssc";
const char kChallenge[] = "challenge";  // left by the built-in GET CHALLENGE
const char kFormSetting[] = "sc.internal-auth-form";

constexpr std::size_t kHashSize = 20;
constexpr std::size_t kKeySize = 32;     // Kicc, Kifd
constexpr std::size_t kCvModulus = 128;  // modulus in a CV certificate
const Bytes kRsaOid = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};

struct Config {
  cr::RsaPrivateKey icc;  // the card's authentication key
  Bytes iccRef;           // its reference in MSE:SET C1 A4
  cr::RsaPublicKey root;  // CV root the card trusts
  Bytes rootRef;          // its reference in MSE:SET 81 B6
  std::size_t macLength = 4;
};

// --- small DER and TLV readers -----------------------------------------------

struct Tlv {
  unsigned tag = 0;
  Bytes value;
  std::size_t end = 0;  // offset after the element
  std::size_t start = 0;
};

// One BER element at `pos` (tags of one or two bytes, lengths up to 82 xx xx).
std::optional<Tlv> ReadTlv(const Bytes& b, std::size_t pos) {
  Tlv t;
  t.start = pos;
  if (pos >= b.size()) return std::nullopt;
  t.tag = b[pos++];
  if ((t.tag & 0x1F) == 0x1F) {
    if (pos >= b.size()) return std::nullopt;
    t.tag = t.tag << 8 | b[pos++];
  }
  if (pos >= b.size()) return std::nullopt;
  std::size_t len = b[pos++];
  if (len & 0x80) {
    const std::size_t n = len & 0x7F;
    if (n < 1 || n > 2 || pos + n > b.size()) return std::nullopt;
    len = 0;
    for (std::size_t i = 0; i < n; ++i) len = len << 8 | b[pos++];
  }
  if (len > b.size() - pos) return std::nullopt;
  t.value.assign(b.begin() + static_cast<std::ptrdiff_t>(pos),
                 b.begin() + static_cast<std::ptrdiff_t>(pos + len));
  t.end = pos + len;
  return t;
}

// PKCS#1 RSAPrivateKey: version, n, e, d, p, q, dp, dq, qinv.
cr::RsaPrivateKey ParsePrivateKey(const Bytes& der) {
  auto seq = ReadTlv(der, 0);
  if (!seq || seq->tag != 0x30) throw std::runtime_error("bad channel key");
  std::vector<Bytes> ints;
  for (std::size_t pos = 0; pos < seq->value.size();) {
    auto i = ReadTlv(seq->value, pos);
    if (!i || i->tag != 0x02) throw std::runtime_error("bad channel key");
    ints.push_back(cr::StripLeadingZeros(i->value));
    WipeMemory(i->value.data(), i->value.size());
    pos = i->end;
  }
  WipeMemory(seq->value.data(), seq->value.size());
  if (ints.size() < 9) throw std::runtime_error("bad channel key");
  cr::RsaPrivateKey k;
  k.modulus = ints[1];
  k.publicExponent = ints[2];
  k.privateExponent.assign(ints[3].begin(), ints[3].end());
  k.p.assign(ints[4].begin(), ints[4].end());
  k.q.assign(ints[5].begin(), ints[5].end());
  k.dp.assign(ints[6].begin(), ints[6].end());
  k.dq.assign(ints[7].begin(), ints[7].end());
  k.qinv.assign(ints[8].begin(), ints[8].end());
  for (Bytes& b : ints) WipeMemory(b.data(), b.size());
  return k;
}

Bytes PackKey(const cr::RsaPublicKey& k) {
  Bytes out = {static_cast<std::uint8_t>(k.modulus.size() >> 8),
               static_cast<std::uint8_t>(k.modulus.size())};
  out.insert(out.end(), k.modulus.begin(), k.modulus.end());
  out.insert(out.end(), k.exponent.begin(), k.exponent.end());
  return out;
}

std::optional<cr::RsaPublicKey> UnpackKey(const Bytes& b) {
  if (b.size() < 2) return std::nullopt;
  const std::size_t n = static_cast<std::size_t>(b[0]) << 8 | b[1];
  if (b.size() < 2 + n + 1) return std::nullopt;
  cr::RsaPublicKey k;
  k.modulus.assign(b.begin() + 2, b.begin() + 2 + static_cast<std::ptrdiff_t>(n));
  k.exponent.assign(b.begin() + 2 + static_cast<std::ptrdiff_t>(n), b.end());
  return k;
}

std::size_t ModulusLength(const Bytes& modulus) { return cr::StripLeadingZeros(modulus).size(); }

Bytes Slice(const Bytes& b, std::size_t from, std::size_t to) {
  return Bytes(b.begin() + static_cast<std::ptrdiff_t>(from),
               b.begin() + static_cast<std::ptrdiff_t>(to));
}

// Holder references match when equal or when one is the other with leading
// zero bytes (CA references are 8 bytes, written left-padded to 12).
bool SameName(const Bytes& a, const Bytes& b) {
  const Bytes& lng = a.size() >= b.size() ? a : b;
  const Bytes& shrt = a.size() >= b.size() ? b : a;
  const std::size_t pad = lng.size() - shrt.size();
  if (!std::all_of(lng.begin(), lng.begin() + static_cast<std::ptrdiff_t>(pad),
                   [](std::uint8_t v) { return v == 0; }))
    return false;
  return std::equal(shrt.begin(), shrt.end(), lng.begin() + static_cast<std::ptrdiff_t>(pad));
}

// ISO/IEC 9796-2 recovery: the signer sent min(S, N - S), so a block that
// does not end in BC is N minus the block.
std::optional<Bytes> Recover9796(const Bytes& recovered, const Bytes& modulus) {
  if (recovered.empty()) return std::nullopt;
  Bytes m = recovered;
  if (m.back() != 0xBC) m = cr::SubtractUnsigned(modulus, m, m.size());
  if (m.front() != 0x6A || m.back() != 0xBC) return std::nullopt;
  return m;
}

const Bytes* Find(Card& card, const std::string& name) {
  auto& s = card.scratch();
  auto it = s.find(name);
  return it == s.end() ? nullptr : &it->second;
}

// Moves the value in, so that secrets leave no copy behind.
void Put(Card& card, const std::string& name, Bytes value) {
  card.EraseScratch(name);
  card.scratch()[name] = std::move(value);
}

bool ChannelOpen(Card& card) { return Find(card, kMac) != nullptr; }

void CloseChannel(Card& card) {
  for (const char* n : {kEnc, kMac, kSsc, kKicc, kRndIfd}) card.EraseScratch(n);
  card.SetPinVerified(false);
}

bool IsPinCommand(const Apdu& a) {
  if (a.cla == 0x00) return a.ins == 0x20 || a.ins == 0x24 || a.ins == 0x2C;
  if (a.cla == 0x90) return a.ins == 0x24 || a.ins == 0x2C;
  return false;
}

bool IsProtected(std::uint8_t cla) { return (cla & 0x0C) == 0x0C; }

// --- certificates ------------------------------------------------------------

struct StoredKey {
  Bytes holder;
  Bytes key;
};

// The public key that a verified CV certificate left for the holder `name`.
std::optional<StoredKey> StoredCvKey(Card& card, const Bytes& name) {
  for (const auto& [slot, value] : card.scratch()) {
    if (slot.rfind(kCvKeyPrefix, 0) != 0) continue;
    Bytes holder = FromHex(slot.substr(sizeof kCvKeyPrefix - 1));
    if (SameName(holder, name)) return StoredKey{std::move(holder), value};
  }
  return std::nullopt;
}

Response SetVerificationKey(Card& card, const Config& cfg, const Apdu& a) {
  auto ref = ReadTlv(a.data, 0);
  if (!ref || ref->tag != 0x83 || ref->end != a.data.size() || ref->value.empty())
    return Sw(0x6A80);
  card.EraseScratch(kVerifyKey);
  card.EraseScratch(kVerifyName);
  if (ref->value == cfg.rootRef) {
    Put(card, kVerifyKey, PackKey(cfg.root));
    Put(card, kVerifyName, {});
    return Sw(0x9000);
  }
  auto stored = StoredCvKey(card, ref->value);
  if (!stored) return Sw(0x6A88);
  Put(card, kVerifyKey, std::move(stored->key));
  Put(card, kVerifyName, std::move(stored->holder));
  return Sw(0x9000);
}

// 7F21 { 5F37 signature, 5F38 remainder, 42 CAR }; the signed content is
// CPI 41 | CAR 8 | CHR 12 | CHA 5 | OID 9 | n 128 | e.
Response VerifyCertificate(Card& card, const Apdu& a) {
  const Bytes* packed = Find(card, kVerifyKey);
  if (!packed) return Sw(0x6985);
  auto key = UnpackKey(*packed);
  if (!key) return Sw(0x6985);
  const Bytes verifierName = Find(card, kVerifyName) ? *Find(card, kVerifyName) : Bytes{};

  auto cert = ReadTlv(a.data, 0);
  if (!cert || cert->tag != 0x7F21 || cert->end != a.data.size()) return Sw(0x6A80);
  auto sig = ReadTlv(cert->value, 0);
  if (!sig || sig->tag != 0x5F37) return Sw(0x6A80);
  auto rest = ReadTlv(cert->value, sig->end);
  if (!rest || rest->tag != 0x5F38) return Sw(0x6A80);
  auto car = ReadTlv(cert->value, rest->end);
  if (!car || car->tag != 0x42 || car->end != cert->value.size()) return Sw(0x6A80);

  const std::size_t k = ModulusLength(key->modulus);
  if (sig->value.size() != k || cr::CompareUnsigned(sig->value, key->modulus) >= 0)
    return Sw(0x6A80);
  auto m = Recover9796(cr::RsaPublic(*key, sig->value), key->modulus);
  if (!m || m->size() < kHashSize + 2) return Sw(0x6300);
  Bytes content = Slice(*m, 1, m->size() - kHashSize - 1);
  content.insert(content.end(), rest->value.begin(), rest->value.end());
  if (cr::Sha1(content) != Slice(*m, m->size() - kHashSize - 1, m->size() - 1)) return Sw(0x6300);

  constexpr std::size_t kHead = 1 + 8 + 12 + 5 + 9;
  if (content.size() < kHead + kCvModulus + 1 || content[0] != 0x41) return Sw(0x6A80);
  const Bytes innerCar = Slice(content, 1, 9);
  const Bytes holder = Slice(content, 9, 21);
  if (innerCar != car->value) return Sw(0x6A80);
  if (!verifierName.empty() && !SameName(innerCar, verifierName)) return Sw(0x6A80);
  if (Slice(content, 26, kHead) != kRsaOid) return Sw(0x6A80);
  cr::RsaPublicKey subject;
  subject.modulus = Slice(content, kHead, kHead + kCvModulus);
  subject.exponent = Slice(content, kHead + kCvModulus, content.size());
  Put(card, kCvKeyPrefix + ToHex(holder), PackKey(subject));
  return Sw(0x9000);
}

// --- authentication -----------------------------------------------------------

// 83 L <terminal key holder> 84 L <card key reference>.
Response SetAuthentication(Card& card, const Config& cfg, const Apdu& a) {
  auto ifd = ReadTlv(a.data, 0);
  if (!ifd || ifd->tag != 0x83) return Sw(0x6A80);
  auto icc = ReadTlv(a.data, ifd->end);
  if (!icc || icc->tag != 0x84 || icc->end != a.data.size()) return Sw(0x6A80);
  for (const char* n : {kIfdKey, kIfdName, kKicc, kRndIfd}) card.EraseScratch(n);
  if (icc->value != cfg.iccRef) return Sw(0x6A88);
  auto stored = StoredCvKey(card, ifd->value);
  if (!stored) return Sw(0x6A88);
  Put(card, kIfdKey, std::move(stored->key));
  Put(card, kIfdName, std::move(stored->holder));
  return Sw(0x9000);
}

Bytes SnIcc(Card& card) {
  Bytes sn = {0x00};
  const Bytes& data = card.profile().cardData;
  sn.insert(sn.end(), data.begin(),
            data.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(7, data.size())));
  sn.resize(8, 0x00);
  return sn;
}

// Data: RND.IFD (8) | SN.IFD (8). Answer: the card's 9796-2 signature
// 6A | PRND1 | Kicc | SHA-1(PRND1 | Kicc | RND.IFD | SN.IFD) | BC, in its
// min(S, N - S) form, encrypted for the terminal key.
Response InternalAuthenticate(Card& card, const Config& cfg, const Apdu& a) {
  if (a.p1 != 0x00 || a.p2 != 0x00) return Sw(0x6A86);
  if (a.data.size() != 16) return Sw(0x6700);
  const Bytes* packed = Find(card, kIfdKey);
  const Bytes* name = Find(card, kIfdName);
  if (!packed || !name) return Sw(0x6985);
  auto ifd = UnpackKey(*packed);
  if (!ifd) return Sw(0x6985);
  const Bytes rnd = Slice(a.data, 0, 8);
  const Bytes sn = Slice(a.data, 8, 16);
  // The terminal's serial number is the tail of its certificate's holder.
  if (name->size() < 8 || !std::equal(sn.begin(), sn.end(), name->end() - 8)) return Sw(0x6A80);

  auto setting = card.settings().find(kFormSetting);
  const auto form = setting == card.settings().end() || setting->second.empty()
                        ? InternalAuthForm::Minimal
                        : static_cast<InternalAuthForm>(setting->second[0]);
  const std::size_t k = ModulusLength(cfg.icc.modulus);
  // A forced form may not fit under the terminal's modulus: new randoms.
  for (int attempt = 0; attempt < 64; ++attempt) {
    const Bytes prnd = cr::RandomBytes(k - kKeySize - kHashSize - 2);
    SecureBytes kicc = cr::RandomSecret(kKeySize);
    SecureBytes block = {0x6A};
    block.insert(block.end(), prnd.begin(), prnd.end());
    block.insert(block.end(), kicc.begin(), kicc.end());
    cr::Sha1Hasher h;
    h.Update(prnd).Update(kicc).Update(rnd).Update(sn);
    SecureBytes hash = h.Final();
    if (form == InternalAuthForm::Broken) hash[0] ^= 0x01;
    block.insert(block.end(), hash.begin(), hash.end());
    block.push_back(0xBC);

    SecureBytes s = cr::RsaPrivate(cfg.icc, block);
    SecureBytes other;
    {
      Bytes diff = cr::SubtractUnsigned(cfg.icc.modulus, s, s.size());
      other.assign(diff.begin(), diff.end());
      WipeMemory(diff.data(), diff.size());
    }
    const bool complement =
        form == InternalAuthForm::Complement ||
        ((form == InternalAuthForm::Minimal || form == InternalAuthForm::Broken) &&
         cr::CompareUnsigned(other, s) < 0);
    const SecureBytes& sent = complement ? other : s;
    if (cr::CompareUnsigned(sent, ifd->modulus) >= 0) continue;
    Response r{cr::RsaPublic(*ifd, sent), 0x9000, true};
    Put(card, kKicc, Bytes(kicc.begin(), kicc.end()));
    Put(card, kRndIfd, rnd);
    return r;
  }
  return Sw(0x6A80);
}

// Data: the terminal's signature min(S, N - S) of
// 6A | PRND2 | Kifd | SHA-1(PRND2 | Kifd | RND.ICC | SN.ICC) | BC,
// encrypted for the card's key. Opens the channel when it verifies.
Response ExternalAuthenticate(Card& card, const Config& cfg, const Apdu& a) {
  if (a.p1 != 0x00 || a.p2 != 0x00) return Sw(0x6A86);
  const Bytes* packed = Find(card, kIfdKey);
  const Bytes* kicc = Find(card, kKicc);
  const Bytes* rndIfd = Find(card, kRndIfd);
  const Bytes* challenge = Find(card, kChallenge);
  if (!packed || !kicc || !rndIfd || !challenge || challenge->size() != 8) return Sw(0x6985);
  auto ifd = UnpackKey(*packed);
  if (!ifd) return Sw(0x6985);
  const std::size_t k = ModulusLength(cfg.icc.modulus);
  if (a.data.size() != k || cr::CompareUnsigned(a.data, cfg.icc.modulus) >= 0) return Sw(0x6A80);

  const Bytes rndIcc = *challenge;
  // A challenge answers one authentication only.
  card.EraseScratch(kChallenge);
  auto fail = [&card]() {
    card.EraseScratch(kKicc);
    return Sw(0x6300);
  };
  SecureBytes sig = cr::RsaPrivate(cfg.icc, a.data);
  if (cr::CompareUnsigned(sig, ifd->modulus) >= 0) return fail();
  auto m = Recover9796(cr::RsaPublic(*ifd, sig), ifd->modulus);
  const std::size_t len = m ? m->size() : 0;
  if (!m || len < kKeySize + kHashSize + 2) return fail();
  const Bytes prnd2 = Slice(*m, 1, len - kKeySize - kHashSize - 1);
  SecureBytes kifd(m->begin() + static_cast<std::ptrdiff_t>(len - kKeySize - kHashSize - 1),
                   m->begin() + static_cast<std::ptrdiff_t>(len - kHashSize - 1));
  cr::Sha1Hasher h;
  h.Update(prnd2).Update(kifd).Update(rndIcc).Update(SnIcc(card));
  const SecureBytes hash = h.Final();
  const bool good = std::equal(hash.begin(), hash.end(), m->end() - kHashSize - 1);
  WipeMemory(m->data(), m->size());
  if (!good) return fail();

  SecureBytes key(kKeySize);
  for (std::size_t i = 0; i < kKeySize; ++i) key[i] = (*kicc)[i] ^ kifd[i];
  SecureBytes input = key;
  input.insert(input.end(), {0x00, 0x00, 0x00, 0x01});
  SecureBytes enc = cr::Sha1Secret(input);
  input.back() = 0x02;
  SecureBytes mac = cr::Sha1Secret(input);
  Bytes ssc = Slice(rndIcc, 4, 8);
  ssc.insert(ssc.end(), rndIfd->begin() + 4, rndIfd->begin() + 8);
  Bytes encKey(enc.begin(), enc.begin() + 16), macKey(mac.begin(), mac.begin() + 16);
  OpenChannelWithKeys(card, encKey, macKey, ssc);
  WipeMemory(encKey.data(), encKey.size());
  WipeMemory(macKey.data(), macKey.size());
  return Sw(0x9000);
}

// --- secure messaging --------------------------------------------------------

Bytes NextMac(Card& card, std::size_t macLength, const Bytes& paddedInput) {
  Bytes& ssc = card.scratch()[kSsc];
  cr::IncrementCounter(ssc);
  Bytes data = ssc;
  data.insert(data.end(), paddedInput.begin(), paddedInput.end());
  Bytes mac = cr::RetailMac(card.scratch()[kMac], data);
  mac.resize(macLength);
  return mac;
}

Bytes BerLength(std::size_t n) {
  if (n < 0x80) return {static_cast<std::uint8_t>(n)};
  if (n < 0x100) return {0x81, static_cast<std::uint8_t>(n)};
  return {0x82, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)};
}

Response Protect(Card& card, std::size_t macLength, const Response& plain) {
  Bytes body;
  if (!plain.data.empty()) {
    Bytes crypt = cr::TripleDesCbcEncrypt(card.scratch()[kEnc], cr::PadMethod2Secret(plain.data));
    body.push_back(0x87);
    Bytes len = BerLength(crypt.size() + 1);
    body.insert(body.end(), len.begin(), len.end());
    body.push_back(0x01);
    body.insert(body.end(), crypt.begin(), crypt.end());
  }
  body.insert(body.end(), {0x99, 0x02, static_cast<std::uint8_t>(plain.sw >> 8),
                           static_cast<std::uint8_t>(plain.sw)});
  Bytes mac = NextMac(card, macLength, cr::PadMethod2(body));
  body.insert(body.end(), {0x8E, static_cast<std::uint8_t>(macLength)});
  body.insert(body.end(), mac.begin(), mac.end());
  return Response{std::move(body), 0x9000, true};
}

// Checks and unwraps a protected command; on failure *sw holds the answer.
std::optional<Apdu> Unprotect(Card& card, std::size_t macLength, const Apdu& a, std::uint16_t* sw) {
  *sw = 0x6988;
  std::optional<Tlv> crypt, le, mac;
  std::size_t macStart = 0;
  for (std::size_t pos = 0; pos < a.data.size();) {
    auto t = ReadTlv(a.data, pos);
    if (!t) return std::nullopt;
    if (t->tag == 0x8E) {
      mac = t;
      macStart = pos;
      if (t->end != a.data.size()) return std::nullopt;
    } else if (t->tag == 0x87 && !crypt && !le) {
      crypt = t;
    } else if (t->tag == 0x97 && !le) {
      le = t;
    } else {
      return std::nullopt;
    }
    pos = t->end;
  }
  if (!mac) {
    *sw = 0x6987;
    return std::nullopt;
  }
  if (mac->value.size() != macLength) return std::nullopt;
  Bytes input = {a.cla, a.ins, a.p1, a.p2, 0x80, 0x00, 0x00, 0x00};
  if (macStart > 0) {
    input.insert(input.end(), a.data.begin(),
                 a.data.begin() + static_cast<std::ptrdiff_t>(macStart));
    input = cr::PadMethod2(input);
  }
  if (NextMac(card, macLength, input) != mac->value) return std::nullopt;

  Apdu inner;
  inner.cla = static_cast<std::uint8_t>(a.cla & ~0x0C);
  inner.ins = a.ins;
  inner.p1 = a.p1;
  inner.p2 = a.p2;
  if (crypt) {
    const Bytes& v = crypt->value;
    if (v.size() < 9 || (v.size() - 1) % 8 != 0 || v[0] != 0x01) return std::nullopt;
    SecureBytes plain = cr::TripleDesCbcDecrypt(card.scratch()[kEnc], Slice(v, 1, v.size()));
    if (!cr::UnpadMethod2(plain)) return std::nullopt;
    inner.data.assign(plain.begin(), plain.end());
  }
  if (le) {
    if (le->value.size() == 1) {
      inner.le = le->value[0] ? le->value[0] : 256;
    } else if (le->value.size() == 2) {
      const std::size_t v = static_cast<std::size_t>(le->value[0]) << 8 | le->value[1];
      inner.le = v ? v : 65536;
    } else {
      return std::nullopt;
    }
    inner.hasLe = true;
  }
  inner.raw = {inner.cla, inner.ins, inner.p1, inner.p2};
  if (!inner.data.empty()) {
    Bytes len = inner.data.size() < 256
                    ? Bytes{static_cast<std::uint8_t>(inner.data.size())}
                    : Bytes{0x00, static_cast<std::uint8_t>(inner.data.size() >> 8),
                            static_cast<std::uint8_t>(inner.data.size())};
    inner.raw.insert(inner.raw.end(), len.begin(), len.end());
    inner.raw.insert(inner.raw.end(), inner.data.begin(), inner.data.end());
  }
  if (inner.hasLe) inner.raw.push_back(static_cast<std::uint8_t>(inner.le));
  return inner;
}

Response Wrap(Card& card, const Config& cfg, const Apdu& a,
              const std::function<Response(const Apdu&)>& inner) {
  // Chunks of an envelope: the command they carry comes back through here.
  if (a.cla == 0x90 && a.ins == 0xC2) return inner(a);
  if (!IsProtected(a.cla)) {
    if (ChannelOpen(card)) CloseChannel(card);
    if (IsPinCommand(a)) return Sw(0x6982);
    return inner(a);
  }
  if (!ChannelOpen(card)) return Sw(0x6988);
  std::uint16_t sw = 0;
  std::optional<Apdu> plain = Unprotect(card, cfg.macLength, a, &sw);
  if (!plain) {
    CloseChannel(card);
    return Sw(sw);
  }
  card.TraceInner(plain->raw);
  Response r = inner(*plain);
  card.TraceInnerAnswer(r);
  WipeMemory(plain->data.data(), plain->data.size());
  WipeMemory(plain->raw.data(), plain->raw.size());
  // The command may have reset the session (and with it the channel).
  if (!ChannelOpen(card)) return Sw(0x6988);
  Response out = Protect(card, cfg.macLength, r);
  WipeMemory(r.data.data(), r.data.size());
  return out;
}

const Bytes* ChannelEntry(const Profile& p, const std::string& name) {
  for (const auto& [key, value] : p.channelData)
    if (key == name) return &value;
  return nullptr;
}

void Install(Card& card) {
  const Profile& p = card.profile();
  if (!p.secureChannel) return;
  auto cfg = std::make_shared<Config>();
  auto need = [&p](const char* name) -> const Bytes& {
    const Bytes* v = ChannelEntry(p, name);
    if (!v || v->empty()) throw std::runtime_error(std::string("channel data lacks ") + name);
    return *v;
  };
  cfg->icc = ParsePrivateKey(need("icc-aut.key"));
  cfg->iccRef = need("icc-aut.keyref");
  cr::RsaPrivateKey root = ParsePrivateKey(need("rca-aut.key"));
  cfg->root = {root.modulus, root.publicExponent};
  cfg->rootRef = need("rca-aut.keyref");
  if (const Bytes* len = ChannelEntry(p, "mac-len"); len && !len->empty())
    cfg->macLength = (*len)[0];

  // The certificate read through short identifier 0.
  if (const Bytes* fid = ChannelEntry(p, "sfi0-file"); fid && fid->size() == 2) {
    if (CardFile* f = card.FindFile({static_cast<std::uint16_t>((*fid)[0] << 8 | (*fid)[1])}))
      f->sfi = kSfiZero;
  }

  card.AddHandler(0x00, 0x22, [cfg](Card& c, const Apdu& a) {
    if (a.p1 == 0x81 && a.p2 == 0xB6) return SetVerificationKey(c, *cfg, a);
    if (a.p1 == 0xC1 && a.p2 == 0xA4) return SetAuthentication(c, *cfg, a);
    return c.Next(a);
  });
  card.AddHandler(0x00, 0x2A, [](Card& c, const Apdu& a) {
    if (a.p1 == 0x00 && a.p2 == 0xAE) return VerifyCertificate(c, a);
    return c.Next(a);
  });
  card.AddHandler(0x00, 0x88,
                  [cfg](Card& c, const Apdu& a) { return InternalAuthenticate(c, *cfg, a); });
  card.AddHandler(0x00, 0x82,
                  [cfg](Card& c, const Apdu& a) { return ExternalAuthenticate(c, *cfg, a); });
  card.SetWrapper([cfg](Card& c, const Apdu& a, const std::function<Response(const Apdu&)>& inner) {
    return Wrap(c, *cfg, a, inner);
  });
}

const bool registered = (RegisterCardExtension(&Install), true);

}  // namespace

std::optional<ChannelKeys> OpenChannelKeys(Card& card) {
  if (!ChannelOpen(card)) return std::nullopt;
  ChannelKeys k;
  k.kEnc = *Find(card, kEnc);
  k.kMac = *Find(card, kMac);
  k.ssc = *Find(card, kSsc);
  k.macLength = 4;
  if (const Bytes* len = ChannelEntry(card.profile(), "mac-len"); len && !len->empty())
    k.macLength = (*len)[0];
  return k;
}

void SetInternalAuthForm(Card& card, InternalAuthForm form) {
  card.settings()[kFormSetting] = {static_cast<std::uint8_t>(form)};
}

void OpenChannelWithKeys(Card& card, const Bytes& enc, const Bytes& mac, const Bytes& ssc) {
  if (!card.profile().secureChannel) return;
  Put(card, kEnc, enc);
  Put(card, kMac, mac);
  Put(card, kSsc, ssc);
  card.EraseScratch(kKicc);
  card.EraseScratch(kRndIfd);
}

}  // namespace zorbix::sim
