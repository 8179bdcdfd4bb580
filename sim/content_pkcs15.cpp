// PKCS#15 entries, TokenInfo, unused space and compressed card files for the
// virtual cards. Needs Crypto++ (zlib), linked by zorbix_sim.
#include "sim/content_pkcs15.h"

#include <cryptopp/filters.h>
#include <cryptopp/zlib.h>

#include <cstdio>

#include "sim/content_der.h"
#include "sim/content_pki.h"

namespace zorbix::sim::p15 {

using namespace der;

namespace {

Bytes Common(const ObjectAttrs& a, Form form) {
  Bytes flags = BitString({static_cast<std::uint8_t>((a.isPrivate ? 0x80 : 0) | (a.modifiable ? 0x40 : 0))}, 6);
  Bytes out = Cat({Label(a.label, form), flags});
  if (!a.authId.empty()) out = Cat({out, OctetString(a.authId)});
  return Tlv(0x30, out);
}

Bytes Flags(const std::vector<int>& bits, int count) {
  Bytes bytes(static_cast<std::size_t>((count + 7) / 8), 0);
  for (int b : bits) bytes[static_cast<std::size_t>(b / 8)] |= static_cast<std::uint8_t>(0x80 >> (b % 8));
  return BitString(bytes, static_cast<std::uint8_t>(bytes.size() * 8 - static_cast<std::size_t>(count)));
}

Bytes CommonKey(const KeyEntry& e) {
  Bytes out = Cat({OctetString(e.id), Flags(e.usage, 10), Boolean(true), Flags(e.access, 5),
                   Integer(e.keyReference)});
  if (e.startDate) out = Cat({out, Tlv(0x18, Bytes(e.startDate->begin(), e.startDate->end()))});
  if (e.endDate) out = Cat({out, Explicit(0, Tlv(0x18, Bytes(e.endDate->begin(), e.endDate->end())))});
  return Tlv(0x30, out);
}

Bytes KeyEntryBytes(const KeyEntry& e, Form form, PathForm paths) {
  Bytes path = PathElement(e.path, paths, 0, e.length);
  Bytes bits = Integer(e.modulusBits);
  Bytes type = form == Form::Standard ? Explicit(1, Seq({path, bits})) : ImplicitSeq(1, {path, bits});
  Bytes out = Cat({Common(e.common, form), CommonKey(e)});
  if (!e.subject.empty()) out = Cat({out, Explicit(0, e.subject)});
  return Tlv(0x30, Cat({out, type}));
}

}  // namespace

Bytes StoredPath(const Bytes& binaryPath, PathForm form) {
  if (form == PathForm::Binary) return binaryPath;
  std::string text;
  for (std::size_t i = 0; i + 1 < binaryPath.size() + (binaryPath.size() % 2); i += 2) {
    char buf[8];
    unsigned hi = binaryPath[i];
    unsigned lo = i + 1 < binaryPath.size() ? binaryPath[i + 1] : 0;
    std::snprintf(buf, sizeof buf, "\\%02X%02X", hi, lo);
    text += buf;
  }
  return Bytes(text.begin(), text.end());
}

Bytes PathElement(const Bytes& binaryPath, PathForm form, std::uint8_t index, std::uint16_t length) {
  return Seq({OctetString(StoredPath(binaryPath, form)), Integer(index), Implicit(0, Integer(length))});
}

Bytes Label(const std::string& text, Form form) {
  return form == Form::Standard ? Utf8String(text) : T61String(text);
}

Bytes PrivateKeyEntry(const KeyEntry& e, Form form, PathForm paths) {
  return KeyEntryBytes(e, form, paths);
}

Bytes PublicKeyEntry(const KeyEntry& e, Form form, PathForm paths) {
  return KeyEntryBytes(e, form, paths);
}

Bytes CertificateEntry(const CertEntry& e, Form form, PathForm paths) {
  Bytes path = PathElement(e.path, paths, 0, e.length);
  Bytes serial = Tlv(0x02, e.serial);
  Bytes type = form == Form::Standard
                   ? Explicit(1, Seq({path, e.subject, Explicit(0, e.issuer), serial}))
                   : ImplicitSeq(1, {path, Explicit(0, e.issuer), Explicit(1, e.subject), serial});
  return Seq({Common(e.common, form), Seq({OctetString(e.id)}), type});
}

Bytes DataObjectEntry(const DataEntry& e, Form form, PathForm paths) {
  Bytes app = Label(e.applicationName, form);
  if (!e.oid.empty()) app = Cat({app, Oid(e.oid)});
  return Seq({Common(e.common, form), Tlv(0x30, app),
              Explicit(1, PathElement(e.path, paths, 0, e.length))});
}

Bytes TokenInfo(std::uint8_t version, const Bytes& serial, const std::string& manufacturer,
                const std::string& label, std::initializer_list<int> flagBits, bool t61) {
  Bytes flags = Flags(std::vector<int>(flagBits), 3);
  Bytes l(label.begin(), label.end());
  if (t61)
    return Seq({Integer(version), OctetString(serial), T61String(manufacturer), T61String(label), flags});
  return Seq({Integer(version), OctetString(serial), Utf8String(manufacturer), Tlv(0x80, l), flags});
}

Bytes UnusedSpace(const Bytes& binaryPath, PathForm form, std::uint16_t length) {
  return Seq({PathElement(binaryPath, form, 0, length)});
}

Bytes OdfEntry(std::uint8_t tag, std::uint16_t fid) {
  return Tlv(tag, Seq({OctetString({static_cast<std::uint8_t>(fid >> 8), static_cast<std::uint8_t>(fid)})}));
}

Bytes PinEntry(const std::string& label, std::uint8_t reference, std::uint8_t minLength,
               std::uint8_t maxLength) {
  // pinFlags: local, initialized, needs-padding? no; pinType ascii-numeric.
  Bytes attrs = Seq({Flags({1, 4}, 12), Tlv(0x0A, {0x01}), Integer(minLength), Integer(maxLength),
                     Integer(maxLength), Tlv(0x80, {reference}), OctetString({0x00}),
                     Seq({OctetString({0x00, 0x00})})});
  return Seq({Seq({Utf8String(label), BitString({0xC0}, 6)}), Seq({OctetString({0x01})}),
              Explicit(1, attrs)});
}

Bytes CompressForCard(const Bytes& value) {
  std::string stream;
  CryptoPP::ZlibCompressor z(new CryptoPP::StringSink(stream), 6);
  z.Put(value.data(), value.size());
  z.MessageEnd();
  Bytes out;
  auto le32 = [&out](std::size_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  };
  le32(value.size());
  le32(stream.size());
  out.insert(out.end(), stream.begin(), stream.end());
  return out;
}

Bytes DecompressCardFile(const Bytes& image) {
  if (image.size() < 8) return {};
  auto le32 = [&image](std::size_t at) {
    std::size_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | image[at + static_cast<std::size_t>(i)];
    return v;
  };
  std::size_t u = le32(0), c = le32(4);
  if (image.size() < 8 + c) return {};
  Bytes body(image.begin() + 8, image.begin() + 8 + static_cast<std::ptrdiff_t>(c));
  if (u == c) return body;
  try {
    std::string out;
    CryptoPP::ZlibDecompressor z(new CryptoPP::StringSink(out));
    z.Put(body.data(), body.size());
    z.MessageEnd();
    if (out.size() != u) return {};
    return Bytes(out.begin(), out.end());
  } catch (const CryptoPP::Exception&) {
    return {};
  }
}

std::optional<CertificateParts> ParseCertificate(const Bytes& der) {
  auto whole = Read(der, 0);
  if (!whole || whole->tag != 0x30) return std::nullopt;
  auto slice = [&der](std::size_t pos, const Element& e) {
    return Bytes(der.begin() + static_cast<std::ptrdiff_t>(pos),
                 der.begin() + static_cast<std::ptrdiff_t>(pos + e.total()));
  };
  CertificateParts parts;
  std::size_t p = whole->headerLength;
  auto tbs = Read(der, p);
  if (!tbs || tbs->tag != 0x30) return std::nullopt;
  parts.tbs = slice(p, *tbs);
  std::size_t alg = p + tbs->total();
  auto algSeq = Read(der, alg);
  if (!algSeq) return std::nullopt;
  parts.signatureOid = Contents(der, alg + algSeq->headerLength);
  std::size_t sig = alg + algSeq->total();
  Bytes bits = Contents(der, sig);
  if (bits.empty()) return std::nullopt;
  parts.signature.assign(bits.begin() + 1, bits.end());

  std::size_t q = p + tbs->headerLength;
  std::vector<Element> members;
  std::vector<std::size_t> at;
  while (q < p + tbs->total()) {
    auto e = Read(der, q);
    if (!e) return std::nullopt;
    members.push_back(*e);
    at.push_back(q);
    q += e->total();
  }
  // version, serial, signature, issuer, validity, subject, spki, ...
  if (members.size() < 7 || members[0].tag != 0xA0) return std::nullopt;
  parts.serial = Contents(der, at[1]);
  parts.issuer = slice(at[3], members[3]);
  parts.subject = slice(at[5], members[5]);
  Bytes spki = slice(at[6], members[6]);
  auto s = Read(spki, 0);
  auto a = Read(spki, s->headerLength);
  if (!a) return std::nullopt;
  Bytes key = Contents(spki, s->headerLength + a->total());
  if (key.empty()) return std::nullopt;
  key.erase(key.begin());
  auto rsa = Read(key, 0);
  if (!rsa) return std::nullopt;
  auto n = Read(key, rsa->headerLength);
  if (!n) return std::nullopt;
  parts.modulus = Contents(key, rsa->headerLength);
  parts.exponent = Contents(key, rsa->headerLength + n->total());
  while (parts.modulus.size() > 1 && parts.modulus[0] == 0) parts.modulus.erase(parts.modulus.begin());
  return parts;
}

KeySpec LoadKey(const std::string& pkiName, std::uint8_t reference, std::uint16_t fileId) {
  Bytes der = PkiFile(pkiName + ".key.der");
  auto seq = Read(der, 0);
  if (!seq) throw std::runtime_error("bad key " + pkiName);
  std::vector<Bytes> ints;
  for (std::size_t p = seq->headerLength; p < seq->total();) {
    auto e = Read(der, p);
    if (!e) throw std::runtime_error("bad key " + pkiName);
    Bytes v = Contents(der, p);
    while (v.size() > 1 && v[0] == 0) v.erase(v.begin());
    ints.push_back(v);
    p += e->total();
  }
  if (ints.size() < 9) throw std::runtime_error("bad key " + pkiName);
  KeySpec k;
  k.fileId = fileId;
  k.reference = reference;
  k.modulus = ints[1];
  k.publicExponent = ints[2];
  k.privateExponent = ints[3];
  k.p = ints[4];
  k.q = ints[5];
  k.dp = ints[6];
  k.dq = ints[7];
  k.qinv = ints[8];
  return k;
}

}  // namespace zorbix::sim::p15
