// Small DER builder for the virtual cards' PKCS#15 files, and a TLV reader
// for checking what was built.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "sim/profile.h"

namespace zorbix::sim::der {

// Tag bytes: 0x30 SEQUENCE, 0x80 | n context primitive, 0xA0 | n context
// constructed. Two-byte tags (e.g. 0x7F21) are written high byte first.
Bytes Tlv(std::uint16_t tag, const Bytes& contents);
Bytes Length(std::size_t n);

Bytes Cat(std::initializer_list<Bytes> parts);
Bytes Seq(std::initializer_list<Bytes> members);

Bytes Integer(std::uint64_t value);          // minimal two's-complement contents
Bytes IntegerBytes(const Bytes& bigEndian);  // unsigned value, canonical form
Bytes Boolean(bool value);
Bytes OctetString(const Bytes& value);
Bytes Utf8String(const std::string& text);
Bytes T61String(const std::string& text);
Bytes PrintableString(const std::string& text);
// Bits in X.690 order (bit 0 is the top bit of the first byte); the length
// is the number of bits given, so trailing zero bits count as used.
Bytes BitString(const Bytes& bytes, std::uint8_t unusedBits);
Bytes BitFlags(std::initializer_list<int> setBits, int bitCount);
Bytes Oid(const Bytes& encoded);

// [n] EXPLICIT: a constructed wrapper around the element.
Bytes Explicit(std::uint8_t n, const Bytes& element);
// [n] IMPLICIT: the element with its tag replaced (constructed kept).
Bytes Implicit(std::uint8_t n, const Bytes& element);
// [n] IMPLICIT on a SEQUENCE whose members are given directly.
Bytes ImplicitSeq(std::uint8_t n, std::initializer_list<Bytes> members);

// One parsed element header.
struct Element {
  std::uint16_t tag = 0;
  std::size_t headerLength = 0;
  std::size_t length = 0;  // contents
  std::size_t total() const { return headerLength + length; }
};

// Reads the element at `pos` (one- or two-byte tag, definite length of up
// to four bytes); nullopt when it does not fit `data`.
std::optional<Element> Read(const Bytes& data, std::size_t pos);

// True when data[pos, pos + len) is a run of complete elements, and (when
// `deep`) every constructed element's contents are well formed too.
bool WellFormed(const Bytes& data, std::size_t pos, std::size_t len, bool deep = true);

// Contents of the element at `pos`.
Bytes Contents(const Bytes& data, std::size_t pos);

}  // namespace zorbix::sim::der
