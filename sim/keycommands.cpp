// The card's key commands, installed on every virtual card: signing on both
// paths (MSE:SET + PSO: COMPUTE DIGITAL SIGNATURE; 90 58 load block + 90 5A),
// on-card verification (90 5E), decipherment (90 74), public key read
// (90 56), component storage (90 50 / 90 52), key-pair generation (90 76,
// between 90 44 activations), erasure (90 54), EF creation (90 E0) and the
// envelope chaining of long commands (90 C2). Needs Crypto++.
//
// Card family 1.0 cards (those with the fixed key files 3F73/3F77/3F74/3F78
// in ICC.Crypto) keep one key pair per usage: signature keys in 3F73 (private)
// and 3F74 (public), decipherment keys in 3F77 and 3F78. Other cards keep the
// key of reference kk in key file 01kk.
#include <cryptopp/integer.h>
#include <cryptopp/osrng.h>
#include <cryptopp/rsa.h>

#include <algorithm>

#include "platform/secret.h"
#include "sim/card.h"

namespace zorbix::sim {

namespace {

using CryptoPP::Integer;

constexpr std::uint16_t kIccCrypto = 0x3F11;
constexpr std::size_t kEnvelopeLimit = 4096;
const char kBlock[] = "key.block";          // block loaded by 90 58
const char kMseSign[] = "key.mse.sign";     // key chosen by MSE:SET for PSO
const char kEnvelope[] = "key.envelope";    // command collected from 90 C2

Integer ToInt(const Bytes& b) { return Integer(b.data(), b.size()); }

Bytes FromInt(const Integer& v, std::size_t len) {
  Bytes out(len);
  v.Encode(out.data(), len);
  return out;
}

Bytes Minimal(const Integer& v) { return FromInt(v, std::max<std::size_t>(1, v.MinEncodedSize())); }

bool HasPublic(const KeySpec& k) { return !k.modulus.empty() && !k.publicExponent.empty(); }

bool HasCrt(const KeySpec& k) {
  return !k.p.empty() && !k.q.empty() && !k.dp.empty() && !k.dq.empty() && !k.qinv.empty();
}

bool HasPrivate(const KeySpec& k) { return !k.modulus.empty() && (HasCrt(k) || !k.privateExponent.empty()); }

Integer PrivateOp(const KeySpec& k, const Integer& x) {
  if (HasCrt(k)) {
    Integer p = ToInt(k.p), q = ToInt(k.q);
    Integer m1 = a_exp_b_mod_c(x % p, ToInt(k.dp), p);
    Integer m2 = a_exp_b_mod_c(x % q, ToInt(k.dq), q);
    Integer h = (ToInt(k.qinv) * ((m1 - m2) % p)) % p;
    if (h.IsNegative()) h += p;
    return m2 + h * q;
  }
  return a_exp_b_mod_c(x, ToInt(k.privateExponent), ToInt(k.modulus));
}

Integer PublicOp(const KeySpec& k, const Integer& x) {
  return a_exp_b_mod_c(x, ToInt(k.publicExponent), ToInt(k.modulus));
}

std::size_t ModulusBytes(const KeySpec& k) { return ToInt(k.modulus).MinEncodedSize(); }

bool IsHalvo10(Card& card) { return card.FindFile({kIccCrypto, 0x3F73}) != nullptr; }

// Card family 1.0: the private key file of a usage (P1 0x80 signature,
// 0x40 decipherment); 0 when P1 names neither.
std::uint16_t HalvoKeyFile(std::uint8_t p1) {
  if (p1 & 0x80) return 0x3F73;
  if (p1 & 0x40) return 0x3F77;
  return 0;
}

void RemoveKeys(Card& card, const std::function<bool(const KeySpec&)>& match) {
  auto& keys = card.keys();
  for (auto it = keys.begin(); it != keys.end();) {
    if (match(*it)) {
      for (Bytes* b : {&it->privateExponent, &it->p, &it->q, &it->dp, &it->dq, &it->qinv})
        WipeMemory(b->data(), b->size());
      it = keys.erase(it);
    } else {
      ++it;
    }
  }
}

// The key slot a storage or generation command writes: found or made.
// nullptr with *sw set when the card has no place for it.
KeySpec* KeySlot(Card& card, std::uint8_t ref, std::uint8_t p1, std::uint16_t* sw) {
  if (IsHalvo10(card)) {
    std::uint16_t file = HalvoKeyFile(p1);
    if (!file) {
      *sw = 0x6A86;
      return nullptr;
    }
    // One key per usage file: a key of another reference there is replaced.
    RemoveKeys(card, [&](const KeySpec& k) { return k.fileId == file && k.reference != ref; });
    if (KeySpec* k = card.FindKey(ref)) {
      // A key of both usages is sent once per usage; the signature file,
      // where the host looks for it, holds it.
      if (file == 0x3F73) k->fileId = file;
      return k;
    }
    KeySpec k;
    k.fileId = file;
    k.reference = ref;
    card.keys().push_back(k);
    return &card.keys().back();
  }
  std::uint16_t file = static_cast<std::uint16_t>(0x0100 + ref);
  if (!card.FindFile({kIccCrypto, file})) {
    *sw = 0x6A82;
    return nullptr;
  }
  if (KeySpec* k = card.FindKey(ref)) return k;
  KeySpec k;
  k.fileId = file;
  k.reference = ref;
  card.keys().push_back(k);
  return &card.keys().back();
}

Response Deferred(Bytes data) { return Response{std::move(data), 0x9000, true}; }

// --- Signing and decipherment ---------------------------------------------

Response LoadBlock(Card& card, const Apdu& a) {
  if (a.data.empty()) return Sw(0x6700);
  card.EraseScratch(kBlock);
  card.scratch()[kBlock] = a.data;
  return Sw(0x9000);
}

Response ComputeSignature(Card& card, const Apdu& a) {
  if (!card.PinVerified()) return Sw(0x6982);
  KeySpec* key = card.FindKey(a.p2);
  if (!key || !HasPrivate(*key)) return Sw(0x6A88);
  auto it = card.scratch().find(kBlock);
  if (it == card.scratch().end()) return Sw(0x6985);
  std::size_t k = ModulusBytes(*key);
  Response r;
  Integer x = ToInt(it->second);
  if (it->second.size() != k || (a.hasLe && a.le != k)) {
    r = Sw(0x6700);
  } else if (x >= ToInt(key->modulus)) {
    r = Sw(0x6A80);
  } else {
    r.data = FromInt(PrivateOp(*key, x), k);
  }
  card.EraseScratch(kBlock);
  return r;
}

Response VerifyOnCard(Card& card, const Apdu& a) {
  KeySpec* key = card.FindKey(a.p2);
  if (!key || !HasPublic(*key)) return Sw(0x6A88);
  auto it = card.scratch().find(kBlock);
  if (it == card.scratch().end()) return Sw(0x6985);
  std::size_t k = ModulusBytes(*key);
  Integer s = ToInt(a.data);
  Response r;
  if (a.data.size() != k) {
    r = Sw(0x6700);
  } else if (s >= ToInt(key->modulus)) {
    r = Sw(0x6A80);
  } else {
    r = Sw(FromInt(PublicOp(*key, s), k) == it->second ? 0x9000 : 0x6300);
  }
  card.EraseScratch(kBlock);
  return r;
}

Response Decipher(Card& card, const Apdu& a) {
  if (!card.PinVerified()) return Sw(0x6982);
  KeySpec* key = card.FindKey(a.p2);
  if (!key || !HasPrivate(*key)) return Sw(0x6A88);
  std::size_t k = ModulusBytes(*key);
  if (a.data.size() != k) return Sw(0x6700);
  Integer c = ToInt(a.data);
  if (c >= ToInt(key->modulus)) return Sw(0x6A80);
  SecureBytes m;
  {
    Bytes block = FromInt(PrivateOp(*key, c), k);
    m.assign(block.begin(), block.end());
    WipeMemory(block.data(), block.size());
  }
  // PKCS#1 v1.5 type 2: 00 02 PS (at least 8 non-zero bytes) 00 data.
  std::size_t sep = 2;
  while (sep < m.size() && m[sep] != 0) ++sep;
  if (m[0] != 0x00 || m[1] != 0x02 || sep < 10 || sep >= m.size()) return Sw(0x6A80);
  return Deferred(Bytes(m.begin() + static_cast<std::ptrdiff_t>(sep + 1), m.end()));
}

Response ManageSecurityEnvironment(Card& card, const Apdu& a) {
  if (a.p1 != 0x41 || a.p2 != 0xB6) return card.Next(a);
  // 84 L <reference>: the key is named by the last byte.
  if (a.data.size() < 3 || a.data[0] != 0x84 || a.data[1] + 2u != a.data.size() || a.data[1] == 0)
    return Sw(0x6A80);
  std::uint8_t ref = a.data.back();
  KeySpec* key = card.FindKey(ref);
  if (!key || !HasPrivate(*key)) return Sw(0x6A88);
  card.scratch()[kMseSign] = {ref};
  return Sw(0x9000);
}

Response PerformSecurityOperation(Card& card, const Apdu& a) {
  if (a.p1 != 0x9E || a.p2 != 0x9A) return card.Next(a);
  if (!card.PinVerified()) return Sw(0x6982);
  auto it = card.scratch().find(kMseSign);
  if (it == card.scratch().end() || it->second.empty()) return Sw(0x6985);
  KeySpec* key = card.FindKey(it->second[0]);
  if (!key || !HasPrivate(*key)) return Sw(0x6A88);
  std::size_t k = ModulusBytes(*key);
  if (a.data.empty() || a.data.size() + 11 > k) return Sw(0x6700);
  // PKCS#1 v1.5 type 1 padding of the formatted data.
  Bytes block(k, 0xFF);
  block[0] = 0x00;
  block[1] = 0x01;
  block[k - a.data.size() - 1] = 0x00;
  std::copy(a.data.begin(), a.data.end(), block.end() - static_cast<std::ptrdiff_t>(a.data.size()));
  Bytes sig = FromInt(PrivateOp(*key, ToInt(block)), k);
  return Deferred(std::move(sig));
}

Response ReadPublicKey(Card& card, const Apdu& a) {
  KeySpec* key = card.FindKey(a.p2);
  if (!key || !HasPublic(*key)) return Sw(0x6A88);
  if (a.data.size() != 1) return Sw(0x6700);
  if (a.data[0] == 0x12) return Deferred(key->publicExponent);
  if (a.data[0] == 0x14) return Deferred(key->modulus);
  return Sw(0x6A80);
}

// --- Key storage -----------------------------------------------------------

Response StoreComponent(Card& card, const Apdu& a) {
  if (!card.PinVerified()) return Sw(0x6982);
  const Bytes& d = a.data;
  if (d.size() < 2) return Sw(0x6A80);
  std::uint8_t tag = d[0];
  Bytes value;
  if (IsHalvo10(card)) {
    // One length byte: the length modulo 256.
    value.assign(d.begin() + 2, d.end());
    if ((value.size() & 0xFF) != d[1]) return Sw(0x6A80);
  } else {
    std::size_t len = d[1], head = 2;
    if (d[1] == 0x81 && d.size() >= 3) {
      len = d[2];
      head = 3;
    } else if (d[1] == 0x82 && d.size() >= 4) {
      len = static_cast<std::size_t>(d[2]) << 8 | d[3];
      head = 4;
    } else if (d[1] >= 0x80) {
      return Sw(0x6A80);
    }
    if (head + len != d.size()) return Sw(0x6A80);
    value.assign(d.begin() + static_cast<std::ptrdiff_t>(head), d.end());
  }
  bool isPublicPart = a.ins == 0x50;
  if (isPublicPart ? (tag != 0x12 && tag != 0x14)
                   : (tag != 0x02 && tag != 0x04 && tag != 0x06 && tag != 0x08 && tag != 0x0A))
    return Sw(0x6A80);
  if (value.empty()) return Sw(0x6A80);
  std::uint16_t sw = 0;
  KeySpec* key = KeySlot(card, a.p2, a.p1, &sw);
  if (!key) return Sw(sw);
  Bytes* slot = nullptr;
  switch (tag) {
    case 0x02: slot = &key->p; break;
    case 0x04: slot = &key->q; break;
    case 0x06: slot = &key->qinv; break;
    case 0x08: slot = &key->dp; break;
    case 0x0A: slot = &key->dq; break;
    case 0x12: slot = &key->publicExponent; break;
    default: slot = &key->modulus; break;
  }
  WipeMemory(slot->data(), slot->size());
  *slot = value;
  WipeMemory(value.data(), value.size());
  // New private parts: an exponent of an earlier key no longer belongs.
  if (!isPublicPart) {
    WipeMemory(key->privateExponent.data(), key->privateExponent.size());
    key->privateExponent.clear();
  }
  return Sw(0x9000);
}

Response ActivateKeyFile(Card& card, const Apdu&) {
  if (!card.PinVerified()) return Sw(0x6982);
  CardFile* ef = card.CurrentEf();
  if (!ef || ef->path.size() != 2 || ef->path[0] != kIccCrypto) return Sw(0x6986);
  return Sw(0x9000);
}

Response GenerateKeyPair(Card& card, const Apdu& a) {
  if (!card.PinVerified()) return Sw(0x6982);
  unsigned bits = 1024;
  Bytes e;
  if (IsHalvo10(card)) {
    e = a.data;
  } else {
    // 80 02 <bits> 82 <len> <exponent>
    const Bytes& d = a.data;
    if (d.size() < 6 || d[0] != 0x80 || d[1] != 0x02 || d[4] != 0x82 || 6u + d[5] != d.size())
      return Sw(0x6A80);
    bits = static_cast<unsigned>(d[2]) << 8 | d[3];
    e.assign(d.begin() + 6, d.end());
  }
  Integer exponent = ToInt(e);
  if (bits < 1024 || bits > 2048 || bits % 256 != 0 || e.empty() || exponent < 3 ||
      exponent.IsEven())
    return Sw(0x6A80);
  std::uint16_t sw = 0;
  KeySpec* key = KeySlot(card, a.p2, a.p1, &sw);
  if (!key) return Sw(sw);
  CryptoPP::AutoSeededRandomPool rng;
  CryptoPP::InvertibleRSAFunction f;
  f.Initialize(rng, bits, exponent);
  key->modulus = Minimal(f.GetModulus());
  key->publicExponent = Minimal(f.GetPublicExponent());
  key->privateExponent = Minimal(f.GetPrivateExponent());
  key->p = Minimal(f.GetPrime1());
  key->q = Minimal(f.GetPrime2());
  key->dp = Minimal(f.GetModPrime1PrivateExponent());
  key->dq = Minimal(f.GetModPrime2PrivateExponent());
  key->qinv = Minimal(f.GetMultiplicativeInverseOfPrime2ModPrime1());
  return Sw(0x9000);
}

Response EraseKey(Card& card, const Apdu& a) {
  if (!card.PinVerified()) return Sw(0x6982);
  std::uint8_t ref = a.p2;
  if (IsHalvo10(card)) {
    std::uint16_t file = HalvoKeyFile(a.p1);
    if (!file) return Sw(0x6A86);
    bool found = false;
    for (const KeySpec& k : card.keys()) found = found || k.fileId == file;
    if (!found) return Sw(0x6A88);
    RemoveKeys(card, [file](const KeySpec& k) { return k.fileId == file; });
    return Sw(0x9000);
  }
  if (!card.FindFile({kIccCrypto, static_cast<std::uint16_t>(0x0100 + ref)})) return Sw(0x6A82);
  RemoveKeys(card, [ref](const KeySpec& k) { return k.reference == ref; });
  return Sw(0x9000);
}

// --- Files and chaining ----------------------------------------------------

Response CreateEf(Card& card, const Apdu& a) {
  if (a.p1 != 0x01 || a.p2 != 0x00) return Sw(0x6A86);
  const Bytes& d = a.data;
  if (d.size() != 10 || d[0] != 0x01 || d[9] != 0xFF) return Sw(0x6A80);
  if (!card.PinVerified()) return Sw(0x6982);
  auto access = [](std::uint8_t hi, std::uint8_t lo, Access* out) {
    if (hi == 0x00 && lo == 0x00) *out = Access::Always;
    else if (hi == 0x11 && lo == 0x11) *out = Access::Pin;
    else if (hi == 0xFF && lo == 0xFF) *out = Access::Never;
    else return false;
    return true;
  };
  Access read, update;
  if (!access(d[5], d[6], &read) || !access(d[7], d[8], &update)) return Sw(0x6A80);
  std::uint16_t fid = static_cast<std::uint16_t>(d[1] << 8 | d[2]);
  std::size_t size = static_cast<std::size_t>(d[3]) << 8 | d[4];
  if (size == 0 || fid == 0x0000 || fid == 0x3F00 || fid == 0xFFFF) return Sw(0x6A80);
  if (size > 0x7FFF) return Sw(0x6A84);
  CardFile* df = card.CurrentDf();
  if (!df) return Sw(0x6986);
  if (card.FindChild(*df, fid)) return Sw(0x6A89);
  CardFile* ef = card.CreateEf(df->path, fid, size, read, update);
  if (!ef) return Sw(0x6A89);
  card.SelectFile(ef);
  return Sw(0x9000);
}

// Envelopes carry the bytes of one longer command (normally an extended-length
// APDU); the command runs once its last byte has arrived.
Response Envelope(Card& card, const Apdu& a) {
  if (a.p1 != 0x00 || a.p2 != 0x00) return Sw(0x6A86);
  Bytes& buf = card.scratch()[kEnvelope];
  buf.insert(buf.end(), a.data.begin(), a.data.end());
  card.TraceCarried(buf);
  auto reset = [&card]() { card.EraseScratch(kEnvelope); };
  if (buf.size() > kEnvelopeLimit) {
    reset();
    return Sw(0x6700);
  }
  if (buf.size() < 5) return Sw(0x9000);
  Apdu inner;
  if (buf[4] == 0x00) {
    if (buf.size() < 7) return Sw(0x9000);
    std::size_t lc = static_cast<std::size_t>(buf[5]) << 8 | buf[6];
    std::size_t need = 7 + lc;
    if (buf.size() < need) return Sw(0x9000);
    if (buf.size() != need && buf.size() != need + 2) {
      reset();
      return Sw(0x6700);
    }
    inner.cla = buf[0];
    inner.ins = buf[1];
    inner.p1 = buf[2];
    inner.p2 = buf[3];
    inner.data.assign(buf.begin() + 7, buf.begin() + static_cast<std::ptrdiff_t>(need));
    if (buf.size() == need + 2) {
      std::size_t le = static_cast<std::size_t>(buf[need]) << 8 | buf[need + 1];
      inner.le = le ? le : 65536;
      inner.hasLe = true;
    }
    inner.raw = buf;
  } else {
    std::size_t need = 5 + buf[4];
    if (buf.size() < need) return Sw(0x9000);
    auto parsed = ParseApdu(buf);
    if (!parsed) {
      reset();
      return Sw(0x6700);
    }
    inner = *parsed;
  }
  reset();
  card.TraceInner(inner.raw);
  if (inner.cla == 0x90 && inner.ins == 0xC2) return Sw(0x6985);
  // Through the wrapper: the carried command may be a protected one.
  Response r = card.DispatchWrapped(inner);
  WipeMemory(inner.data.data(), inner.data.size());
  WipeMemory(inner.raw.data(), inner.raw.size());
  return r;
}

void Install(Card& card) {
  card.AddHandler(0x90, 0x58, LoadBlock);
  card.AddHandler(0x90, 0x5A, ComputeSignature);
  card.AddHandler(0x90, 0x5E, VerifyOnCard);
  card.AddHandler(0x90, 0x74, Decipher);
  card.AddHandler(0x90, 0x56, ReadPublicKey);
  card.AddHandler(0x00, 0x22, ManageSecurityEnvironment);
  card.AddHandler(0x00, 0x2A, PerformSecurityOperation);
  card.AddHandler(0x90, 0x50, StoreComponent);
  card.AddHandler(0x90, 0x52, StoreComponent);
  card.AddHandler(0x90, 0x44, ActivateKeyFile);
  card.AddHandler(0x90, 0x76, GenerateKeyPair);
  card.AddHandler(0x90, 0x54, EraseKey);
  card.AddHandler(0x90, 0xE0, CreateEf);
  card.AddHandler(0x90, 0xC2, Envelope);
}

const bool registered = (RegisterCardExtension(&Install), true);

}  // namespace

}  // namespace zorbix::sim
