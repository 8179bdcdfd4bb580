// DER building blocks for the virtual cards' files.
#include "sim/content_der.h"

namespace zorbix::sim::der {

Bytes Length(std::size_t n) {
  if (n < 0x80) return {static_cast<std::uint8_t>(n)};
  Bytes out;
  for (std::size_t v = n; v; v >>= 8) out.insert(out.begin(), static_cast<std::uint8_t>(v));
  out.insert(out.begin(), static_cast<std::uint8_t>(0x80 | out.size()));
  return out;
}

Bytes Tlv(std::uint16_t tag, const Bytes& contents) {
  Bytes out;
  if (tag > 0xFF) out.push_back(static_cast<std::uint8_t>(tag >> 8));
  out.push_back(static_cast<std::uint8_t>(tag));
  Bytes len = Length(contents.size());
  out.insert(out.end(), len.begin(), len.end());
  out.insert(out.end(), contents.begin(), contents.end());
  return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Seq(std::initializer_list<Bytes> members) { return Tlv(0x30, Cat(members)); }

Bytes Integer(std::uint64_t value) {
  Bytes c;
  do {
    c.insert(c.begin(), static_cast<std::uint8_t>(value));
    value >>= 8;
  } while (value);
  if (c.front() & 0x80) c.insert(c.begin(), 0x00);
  return Tlv(0x02, c);
}

Bytes IntegerBytes(const Bytes& bigEndian) {
  std::size_t i = 0;
  while (i + 1 < bigEndian.size() && bigEndian[i] == 0) ++i;
  Bytes c;
  c.reserve(bigEndian.size() - i + 1);
  if (i < bigEndian.size() && (bigEndian[i] & 0x80)) c.push_back(0x00);
  c.insert(c.end(), bigEndian.begin() + static_cast<std::ptrdiff_t>(i), bigEndian.end());
  if (c.empty()) c.push_back(0x00);
  return Tlv(0x02, c);
}

Bytes Boolean(bool value) { return Tlv(0x01, {static_cast<std::uint8_t>(value ? 0xFF : 0x00)}); }
Bytes OctetString(const Bytes& value) { return Tlv(0x04, value); }
Bytes Utf8String(const std::string& text) { return Tlv(0x0C, Bytes(text.begin(), text.end())); }
Bytes T61String(const std::string& text) { return Tlv(0x14, Bytes(text.begin(), text.end())); }
Bytes PrintableString(const std::string& text) {
  return Tlv(0x13, Bytes(text.begin(), text.end()));
}
Bytes Oid(const Bytes& encoded) { return Tlv(0x06, encoded); }

Bytes BitString(const Bytes& bytes, std::uint8_t unusedBits) {
  Bytes c{unusedBits};
  c.insert(c.end(), bytes.begin(), bytes.end());
  return Tlv(0x03, c);
}

Bytes BitFlags(std::initializer_list<int> setBits, int bitCount) {
  Bytes bytes(static_cast<std::size_t>((bitCount + 7) / 8), 0);
  for (int b : setBits) bytes[static_cast<std::size_t>(b / 8)] |= static_cast<std::uint8_t>(0x80 >> (b % 8));
  return BitString(bytes, static_cast<std::uint8_t>(bytes.size() * 8 - static_cast<std::size_t>(bitCount)));
}

Bytes Explicit(std::uint8_t n, const Bytes& element) {
  return Tlv(static_cast<std::uint16_t>(0xA0 | n), element);
}

Bytes Implicit(std::uint8_t n, const Bytes& element) {
  auto e = Read(element, 0);
  if (!e) return {};
  std::uint8_t constructed = (element[0] & 0x20) ? 0xA0 : 0x80;
  Bytes contents(element.begin() + static_cast<std::ptrdiff_t>(e->headerLength),
                 element.begin() + static_cast<std::ptrdiff_t>(e->total()));
  return Tlv(static_cast<std::uint16_t>(constructed | n), contents);
}

Bytes ImplicitSeq(std::uint8_t n, std::initializer_list<Bytes> members) {
  return Tlv(static_cast<std::uint16_t>(0xA0 | n), Cat(members));
}

std::optional<Element> Read(const Bytes& data, std::size_t pos) {
  Element e;
  std::size_t p = pos;
  if (p >= data.size()) return std::nullopt;
  e.tag = data[p++];
  if ((e.tag & 0x1F) == 0x1F) {
    if (p >= data.size()) return std::nullopt;
    e.tag = static_cast<std::uint16_t>(e.tag << 8 | data[p++]);
  }
  if (p >= data.size()) return std::nullopt;
  std::uint8_t l = data[p++];
  if (l < 0x80) {
    e.length = l;
  } else {
    std::size_t n = l & 0x7F;
    if (n == 0 || n > 4 || p + n > data.size()) return std::nullopt;
    for (std::size_t i = 0; i < n; ++i) e.length = e.length << 8 | data[p++];
  }
  e.headerLength = p - pos;
  if (pos + e.total() > data.size()) return std::nullopt;
  return e;
}

bool WellFormed(const Bytes& data, std::size_t pos, std::size_t len, bool deep) {
  std::size_t end = pos + len;
  if (end > data.size()) return false;
  while (pos < end) {
    auto e = Read(data, pos);
    if (!e || pos + e->total() > end) return false;
    bool constructed = ((e->tag > 0xFF ? e->tag >> 8 : e->tag) & 0x20) != 0;
    if (deep && constructed && !WellFormed(data, pos + e->headerLength, e->length, true))
      return false;
    pos += e->total();
  }
  return true;
}

Bytes Contents(const Bytes& data, std::size_t pos) {
  auto e = Read(data, pos);
  if (!e) return {};
  return Bytes(data.begin() + static_cast<std::ptrdiff_t>(pos + e->headerLength),
               data.begin() + static_cast<std::ptrdiff_t>(pos + e->total()));
}

}  // namespace zorbix::sim::der
