// Test-only terminal side of the secure channel.
#include "tests/simsc/host.h"

#include <algorithm>

namespace zorbix::simsc {
namespace {

namespace cr = zorbix::crypto;

struct Tlv {
  unsigned tag = 0;
  std::size_t header = 0;  // tag and length bytes
  Bytes value;
  std::size_t end = 0;
};

// The terminal's TLV rule: L up to 80 is the length, 81 and 82 announce one
// or two length bytes.
Tlv ReadTlv(const Bytes& b, std::size_t pos) {
  const std::size_t start = pos;
  if (pos >= b.size()) throw HostError("TLV past the end");
  Tlv t;
  t.tag = b[pos++];
  if ((t.tag & 0x1F) == 0x1F) {
    if (pos >= b.size()) throw HostError("TLV tag cut");
    t.tag = t.tag << 8 | b[pos++];
  }
  if (pos >= b.size()) throw HostError("TLV length missing");
  std::size_t len = b[pos++];
  if (len == 0x81 || len == 0x82 || len == 0x83) {
    const std::size_t n = len & 0x7F;
    if (pos + n > b.size()) throw HostError("TLV length cut");
    len = 0;
    for (std::size_t i = 0; i < n; ++i) len = len << 8 | b[pos++];
  } else if (len > 0x80) {
    throw HostError("TLV length form");
  }
  if (len > b.size() - pos) throw HostError("TLV value cut");
  t.header = pos - start;
  t.value.assign(b.begin() + static_cast<std::ptrdiff_t>(pos),
                 b.begin() + static_cast<std::ptrdiff_t>(pos + len));
  t.end = pos + len;
  return t;
}

std::vector<Tlv> Children(const Bytes& b) {
  std::vector<Tlv> out;
  for (std::size_t pos = 0; pos < b.size();) {
    out.push_back(ReadTlv(b, pos));
    pos = out.back().end;
  }
  return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Slice(const Bytes& b, std::size_t from, std::size_t to) {
  return Bytes(b.begin() + static_cast<std::ptrdiff_t>(from),
               b.begin() + static_cast<std::ptrdiff_t>(to));
}

std::uint16_t Sw(const Bytes& r) {
  if (r.size() < 2) throw HostError("answer without status word");
  return static_cast<std::uint16_t>(r[r.size() - 2] << 8 | r[r.size() - 1]);
}

Bytes Header(std::uint8_t cla, std::uint8_t ins, std::uint8_t p1, std::uint8_t p2,
             const Bytes& data) {
  Bytes a = {cla, ins, p1, p2, static_cast<std::uint8_t>(data.size())};
  a.insert(a.end(), data.begin(), data.end());
  return a;
}

Bytes BerLength(std::size_t n) {
  if (n < 0x80) return {static_cast<std::uint8_t>(n)};
  if (n < 0x100) return {0x81, static_cast<std::uint8_t>(n)};
  return {0x82, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)};
}

std::string Hex(std::uint16_t sw) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%04X", sw);
  return buf;
}

}  // namespace

ChannelParams ParseChannelParams(const Bytes& der) {
  Tlv top = ReadTlv(der, 0);
  auto m = Children(top.value);
  if (m.size() < 10) throw HostError("channel parameters too short");
  ChannelParams p;
  auto root = Children(m[0].value);
  p.root = {cr::StripLeadingZeros(root.at(0).value), cr::StripLeadingZeros(root.at(1).value)};
  Bytes* octets[] = {&p.rcaRef,    &p.cvCa,  &p.caRef,     &p.cvIfd,
                     &p.ifdKeyRef, &p.snIfd, &p.ifdAutRef, &p.iccAutRef};
  for (std::size_t i = 0; i < 8; ++i) {
    if (m[i + 1].tag != 0x04) throw HostError("channel parameter not an OCTET STRING");
    *octets[i] = m[i + 1].value;
  }
  auto ifd = Children(m[9].value);
  p.ifd.modulus = cr::StripLeadingZeros(ifd.at(0).value);
  p.ifd.publicExponent = cr::StripLeadingZeros(ifd.at(1).value);
  p.ifd.privateExponent.assign(ifd.at(2).value.begin(), ifd.at(2).value.end());
  if (m.size() > 10 && m[10].tag == 0x02 && !m[10].value.empty()) p.macLen = m[10].value[0];
  return p;
}

cr::RsaPublicKey CheckCardCertificate(const cr::RsaPublicKey& issuer, const Bytes& der) {
  Tlv cert = ReadTlv(der, 0);
  auto parts = Children(cert.value);
  if (cert.tag != 0x30 || parts.size() != 3) throw HostError("certificate shape");
  const Tlv& tbs = parts[0];
  auto alg = Children(parts[1].value);
  const Bytes sha1Rsa = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x05};
  if (alg.empty() || alg[0].tag != 0x06 || alg[0].value != sha1Rsa)
    throw HostError("signature algorithm");
  const Bytes tbsDer = Slice(cert.value, 0, tbs.end);
  const Bytes h = cr::Sha1(tbsDer);
  if (parts[2].tag != 0x03 || parts[2].value.empty() || parts[2].value[0] != 0)
    throw HostError("signature bits");
  const Bytes recovered = cr::RsaPublic(issuer, Slice(parts[2].value, 1, parts[2].value.size()));
  const Bytes prefix = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E,
                        0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14};
  if (recovered.size() < 40 || recovered[0] != 0 || recovered[1] != 1)
    throw HostError("signature block");
  std::size_t i = 2;
  while (i < recovered.size() && recovered[i] == 0xFF) ++i;
  if (i >= recovered.size() || recovered[i] != 0) throw HostError("signature separator");
  if (Slice(recovered, i + 1, recovered.size()) != Cat({prefix, h})) throw HostError("hash");

  auto fields = Children(tbs.value);
  if (fields.size() < 7 || fields[0].tag != 0xA0) throw HostError("version");
  auto version = Children(fields[0].value);
  if (version.size() != 1 || version[0].value != Bytes{0x02}) throw HostError("version 3");
  const Tlv& spki = fields[6];
  auto spkiParts = Children(spki.value);
  if (spkiParts.size() != 2 || spkiParts[1].tag != 0x03 || spkiParts[1].value.empty() ||
      spkiParts[1].value[0] != 0)
    throw HostError("public key bits");
  Bytes rsa = Slice(spkiParts[1].value, 1, spkiParts[1].value.size());
  auto nums = Children(ReadTlv(rsa, 0).value);
  if (nums.size() != 2) throw HostError("RSA public key");
  return {cr::StripLeadingZeros(nums[0].value), cr::StripLeadingZeros(nums[1].value)};
}

Answer TestHost::Plain(const Bytes& apdu, std::uint16_t expected) {
  Bytes r = transport_(apdu);
  std::uint16_t sw = Sw(r);
  Answer a{Slice(r, 0, r.size() - 2), sw};
  while ((a.sw >> 8) == 0x61) {
    Bytes g = transport_({0x00, 0xC0, 0x00, 0x00, static_cast<std::uint8_t>(a.sw)});
    a.sw = Sw(g);
    a.data.insert(a.data.end(), g.begin(), g.end() - 2);
  }
  if (expected && a.sw != expected) throw CardStatus("status " + Hex(a.sw), a.sw);
  return a;
}

void TestHost::SelectAndReadSerial() {
  const std::string mf = "Master.File";
  Plain(Header(0x00, 0xA4, 0x04, 0x00, Bytes(mf.begin(), mf.end())), 0x9000);
  Answer sn = Plain({0x90, 0xB8, 0x00, 0x00, 0x07}, 0x9000);
  snIcc = Cat({{0x00}, sn.data});
}

void TestHost::PresentCertificates(const ChannelParams& p) {
  Plain(Header(0x00, 0x22, 0x81, 0xB6, p.rcaRef), 0x9000);
  Plain(Header(0x00, 0x2A, 0x00, 0xAE, p.cvCa), 0x9000);
  Plain(Header(0x00, 0x22, 0x81, 0xB6, p.caRef), 0x9000);
  Plain(Header(0x00, 0x2A, 0x00, 0xAE, p.cvIfd), 0x9000);
}

void TestHost::ReadCardKey(const ChannelParams& p) {
  auto readObject = [this](std::uint8_t sfi) {
    Bytes head =
        Plain({0x00, 0xB0, static_cast<std::uint8_t>(0x80 | sfi), 0x00, 0x04}, 0x9000).data;
    if (head.size() != 4 || head[0] != 0x30) throw HostError("object head");
    std::size_t total = 0, headerLen = 0;
    if (head[1] < 0x80) {
      total = head[1];
      headerLen = 2;
    } else if (head[1] == 0x81) {
      total = head[2];
      headerLen = 3;
    } else if (head[1] == 0x82) {
      total = static_cast<std::size_t>(head[2]) << 8 | head[3];
      headerLen = 4;
    } else {
      throw HostError("object length");
    }
    total += headerLen;
    Bytes out = head;
    while (out.size() < total) {
      const std::size_t n = std::min<std::size_t>(250, total - out.size());
      Bytes part = Plain({0x00, 0xB0, static_cast<std::uint8_t>(out.size() >> 8),
                          static_cast<std::uint8_t>(out.size()), static_cast<std::uint8_t>(n)},
                         0x9000)
                       .data;
      if (part.empty()) throw HostError("object cut");
      out.insert(out.end(), part.begin(), part.end());
    }
    return out;
  };
  cr::RsaPublicKey ca = CheckCardCertificate(p.root, readObject(0x00));
  pkIcc = CheckCardCertificate(ca, readObject(0x1F));
}

void TestHost::InternalAuthenticate(const ChannelParams& p) {
  Plain(Header(0x00, 0x22, 0xC1, 0xA4, Cat({p.ifdAutRef, p.iccAutRef})), 0x9000);
  rndIfd = chosenRndIfd ? *chosenRndIfd : cr::RandomBytes(8);
  Bytes first = transport_(Header(0x00, 0x88, 0x00, 0x00, Cat({rndIfd, p.snIfd})));
  if (first.size() != 2 || first[0] != 0x61) throw CardStatus("internal authenticate", Sw(first));
  Answer a = Plain({0x00, 0xC0, 0x00, 0x00, first[1]}, 0x9000);
  const SecureBytes x = cr::RsaPrivate(p.ifd, a.data);
  const std::size_t len = cr::StripLeadingZeros(pkIcc.modulus).size();
  auto accept = [&](const Bytes& value) -> std::optional<Bytes> {
    if (cr::CompareUnsigned(value, pkIcc.modulus) >= 0) return std::nullopt;
    Bytes m = cr::RsaPublic(pkIcc, value);
    if (m.size() != len || m[0] != 0x6A || m.back() != 0xBC) return std::nullopt;
    Bytes hashed = Cat({Slice(m, 1, len - 21), rndIfd, p.snIfd});
    if (cr::Sha1(hashed) != Slice(m, len - 21, len - 1)) return std::nullopt;
    return m;
  };
  const Bytes xb(x.begin(), x.end());
  internalX = xb;
  usedComplement = false;
  auto m = accept(xb);
  if (!m) {
    m = accept(cr::SubtractUnsigned(pkIcc.modulus, xb, xb.size()));
    usedComplement = true;
  }
  if (!m) throw HostError("internal authentication not accepted");
  kicc = Slice(*m, len - 53, len - 21);
}

void TestHost::ExternalAuthenticate(const ChannelParams& p) {
  rndIcc = Plain({0x00, 0x84, 0x00, 0x00, 0x08}, 0x9000).data;
  const std::size_t len = cr::StripLeadingZeros(pkIcc.modulus).size();
  const Bytes prnd2 = cr::RandomBytes(len - 54);
  const Bytes kifd = cr::RandomBytes(32);
  const Bytes m2 = Cat({{0x6A}, prnd2, kifd, cr::Sha1(Cat({prnd2, kifd, rndIcc, snIcc})), {0xBC}});
  const SecureBytes s = cr::RsaPrivate(p.ifd, m2);
  Bytes sb(s.begin(), s.end());
  const Bytes other = cr::SubtractUnsigned(p.ifd.modulus, sb);
  if (externalForm == Form::Complement ||
      (externalForm == Form::Minimal && cr::CompareUnsigned(other, sb) < 0))
    sb = other;
  sb = cr::StripLeadingZeros(sb);
  const Bytes c = cr::RsaPublic(pkIcc, sb);
  Plain(Header(0x00, 0x82, 0x00, 0x00, c), 0x9000);

  Bytes k(32);
  for (std::size_t i = 0; i < 32; ++i) k[i] = kicc[i] ^ kifd[i];
  kEnc = Slice(cr::Sha1(Cat({k, {0x00, 0x00, 0x00, 0x01}})), 0, 16);
  kMac = Slice(cr::Sha1(Cat({k, {0x00, 0x00, 0x00, 0x02}})), 0, 16);
  ssc = Cat({Slice(rndIcc, 4, 8), Slice(rndIfd, 4, 8)});
  macLength = p.macLen ? static_cast<std::size_t>(*p.macLen) : 4;
  open = true;
}

void TestHost::Open(const ChannelParams& p) {
  if (open) throw HostError("channel already open");
  SelectAndReadSerial();
  PresentCertificates(p);
  ReadCardKey(p);
  InternalAuthenticate(p);
  ExternalAuthenticate(p);
}

Bytes TestHost::ComputeMac(const Bytes& input) {
  if (input.size() % 8 || ssc.size() != 8 || kMac.size() != 16) throw HostError("MAC input");
  cr::IncrementCounter(ssc);
  const Bytes k1 = Slice(kMac, 0, 8), k2 = Slice(kMac, 8, 16);
  Bytes y = ssc;
  for (std::size_t off = 0; off < input.size(); off += 8) {
    y = cr::DesEncryptBlock(k1, y);
    for (std::size_t i = 0; i < 8; ++i) y[i] ^= input[off + i];
  }
  y = cr::DesEncryptBlock(k1, cr::DesDecryptBlock(k2, cr::DesEncryptBlock(k1, y)));
  y.resize(macLength);
  return y;
}

Bytes TestHost::Wrap(const Bytes& apdu) {
  if (apdu.size() < 4) throw HostError("short command");
  Bytes data = apdu.size() > 5 ? Slice(apdu, 5, apdu.size()) : Bytes{};
  const std::uint8_t p3 = apdu.size() > 4 ? apdu[4] : 0;
  Bytes object;
  if (data.empty()) {
    if (p3) object = {0x97, 0x01, p3};
  } else {
    if (p3 != data.size()) {
      if (p3 != 0 || data.size() <= 2 ||
          static_cast<std::size_t>(data[0] << 8 | data[1]) != data.size() - 2)
        throw HostError("command length form");
      data.erase(data.begin(), data.begin() + 2);
    }
    const Bytes crypt = cr::TripleDesCbcEncrypt(kEnc, cr::PadMethod2(data));
    object = Cat({{0x87}, BerLength(crypt.size() + 1), {0x01}, crypt});
  }
  const std::uint8_t cla = apdu[0] | 0x0C;
  Bytes input = {cla, apdu[1], apdu[2], apdu[3], 0x80, 0x00, 0x00, 0x00};
  if (!object.empty()) input = cr::PadMethod2(Cat({input, object}));
  const Bytes mac = ComputeMac(input);
  const Bytes body = Cat({object, {0x8E, static_cast<std::uint8_t>(macLength)}, mac});
  Bytes out = {cla, apdu[1], apdu[2], apdu[3]};
  if (body.size() < 256) {
    out.push_back(static_cast<std::uint8_t>(body.size()));
  } else {
    out.insert(out.end(), {0x00, static_cast<std::uint8_t>(body.size() >> 8),
                           static_cast<std::uint8_t>(body.size())});
  }
  return Cat({out, body});
}

Answer TestHost::Unwrap(const Bytes& response) {
  Tlv first = ReadTlv(response, 0);
  Bytes crypt;
  Tlv status = first;
  if (first.tag == 0x87) {
    if (first.value.size() % 8 != 1 || first.value[0] != 0x01) throw HostError("DO 87");
    crypt = Slice(first.value, 1, first.value.size());
    status = ReadTlv(response, first.end);
  }
  if (status.tag != 0x99 || status.value.size() != 2) throw HostError("DO 99");
  const Bytes input = cr::PadMethod2(Slice(response, 0, status.end));
  Tlv mac = ReadTlv(response, status.end);
  if (mac.tag != 0x8E || mac.value.size() != macLength) throw HostError("DO 8E");
  if (ComputeMac(input) != mac.value) throw HostError("MAC mismatch");
  Answer a;
  a.sw = static_cast<std::uint16_t>(status.value[0] << 8 | status.value[1]);
  if (!crypt.empty()) {
    SecureBytes plain = cr::TripleDesCbcDecrypt(kEnc, crypt);
    if (!cr::UnpadMethod2(plain)) throw HostError("padding");
    a.data.assign(plain.begin(), plain.end());
  }
  return a;
}

void TestHost::Close() {
  open = false;
  kEnc.clear();
  kMac.clear();
  ssc.clear();
}

Answer TestHost::Protected(const Bytes& apdu) {
  try {
    const Bytes wrapped = Wrap(apdu);
    Bytes r;
    if (wrapped[4] == 0x00) {
      for (std::size_t off = 0; off < wrapped.size(); off += 250) {
        const std::size_t n = std::min<std::size_t>(250, wrapped.size() - off);
        r = transport_(Header(0x90, 0xC2, 0x00, 0x00, Slice(wrapped, off, off + n)));
        if (off + n < wrapped.size() && Sw(r) != 0x9000) break;
      }
    } else {
      r = transport_(wrapped);
    }
    const std::uint16_t sw = Sw(r);
    if ((sw >> 8) != 0x61) throw CardStatus("protected command answered " + Hex(sw), sw);
    Answer raw{Slice(r, 0, r.size() - 2), sw};
    while ((raw.sw >> 8) == 0x61) {
      Bytes g = transport_({0x00, 0xC0, 0x00, 0x00, static_cast<std::uint8_t>(raw.sw)});
      raw.sw = Sw(g);
      raw.data.insert(raw.data.end(), g.begin(), g.end() - 2);
    }
    if (raw.sw != 0x9000) throw CardStatus("GET RESPONSE " + Hex(raw.sw), raw.sw);
    return Unwrap(raw.data);
  } catch (...) {
    Close();
    throw;
  }
}

}  // namespace zorbix::simsc
