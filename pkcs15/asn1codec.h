// Codec over the asn1c-generated card-structure module: BER decoding with a
// stack limit, DER encoding into a fixed buffer, release of structures,
// filling string members, and the machine value of an INTEGER.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "ANY.h"
#include "INTEGER.h"
#include "OCTET_STRING.h"
#include "constr_TYPE.h"

namespace zorbix::asn1 {

// Nesting limit of every decode, in bytes of stack.
inline constexpr std::size_t kDecoderStackLimit = 30000;

// Encoder capacities of the callers.
inline constexpr std::size_t kEntryCapacity = 1024;        // directory entry
inline constexpr std::size_t kUnusedSpaceCapacity = 128;   // unused-space record

// Binds a generated structure type to its descriptor; specialised in
// pkcs15/asn1types.h.
template <typename T>
struct TypeOf;

// Untyped operations on a descriptor.
enum class DecodeCode : int { Ok = 0, MoreData = 1, Failure = 2 };

// Decodes one element as BER into *structure (allocated when null). A
// partly filled structure may be left behind on failure: release it.
DecodeCode DecodeBer(asn_TYPE_descriptor_t& type, void** structure,
                     std::span<const std::uint8_t> bytes, std::size_t& consumed);
// DER into out; the encoded length, or -1 when it does not fit. The encoder
// canonicalises INTEGER members in place, hence the non-const structure.
std::ptrdiff_t EncodeDer(asn_TYPE_descriptor_t& type, void* structure,
                         std::span<std::uint8_t> out);
void Release(asn_TYPE_descriptor_t& type, void* structure) noexcept;

// Sole owner of a decoded or caller-built structure.
template <typename T>
class Owned {
 public:
  Owned() = default;
  explicit Owned(T* p) noexcept : p_(p) {}
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  Owned(Owned&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Owned& operator=(Owned&& o) noexcept {
    if (this != &o) reset(std::exchange(o.p_, nullptr));
    return *this;
  }
  ~Owned() { reset(); }

  void reset(T* p = nullptr) noexcept {
    if (p_) Release(TypeOf<T>::descriptor(), p_);
    p_ = p;
  }
  T* get() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  T& operator*() const noexcept { return *p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  T* p_ = nullptr;
};

template <typename T>
struct Decoded {
  DecodeCode code = DecodeCode::Failure;
  std::size_t consumed = 0;
  Owned<T> value;  // may hold a partial structure unless code is Ok
  bool ok() const noexcept { return code == DecodeCode::Ok; }
};

template <typename T>
Decoded<T> Decode(std::span<const std::uint8_t> bytes) {
  Decoded<T> r;
  void* p = nullptr;
  r.code = DecodeBer(TypeOf<T>::descriptor(), &p, bytes, r.consumed);
  r.value.reset(static_cast<T*>(p));
  return r;
}

// The value only when it decoded completely.
template <typename T>
Owned<T> DecodeComplete(std::span<const std::uint8_t> bytes) {
  Decoded<T> r = Decode<T>(bytes);
  if (!r.ok()) return {};
  return std::move(r.value);
}

template <typename T>
std::ptrdiff_t Encode(T& value, std::span<std::uint8_t> out) {
  return EncodeDer(TypeOf<T>::descriptor(), &value, out);
}

// DER of value when it fits in capacity bytes.
template <typename T>
std::optional<std::vector<std::uint8_t>> EncodeToVector(T& value, std::size_t capacity) {
  std::vector<std::uint8_t> buf(capacity);
  const std::ptrdiff_t n = Encode(value, buf);
  if (n < 0) return std::nullopt;
  buf.resize(static_cast<std::size_t>(n));
  return buf;
}

// Zeroed storage for a structure or an OPTIONAL member; released with its
// owner. Raises CKR_HOST_MEMORY.
void* AllocateZeroed(std::size_t size);

template <typename T>
Owned<T> Make() {
  return Owned<T>(static_cast<T*>(AllocateZeroed(sizeof(T))));
}
template <typename M>
M* NewMember() {
  return static_cast<M*>(AllocateZeroed(sizeof(M)));
}

// Replace a member's contents (string types, flag types, INTEGER contents,
// the complete element of an ANY). Raises CKR_HOST_MEMORY.
void FillString(OCTET_STRING_t& s, std::span<const std::uint8_t> bytes);
void FillInteger(INTEGER_t& i, std::span<const std::uint8_t> contents);
void FillAny(ANY_t& a, std::span<const std::uint8_t> element);

inline std::span<const std::uint8_t> Bytes(const OCTET_STRING_t& s) noexcept {
  return {s.buf, s.buf ? static_cast<std::size_t>(s.size) : 0};
}
inline std::span<const std::uint8_t> Bytes(const INTEGER_t& i) noexcept {
  return {i.buf, i.buf ? static_cast<std::size_t>(i.size) : 0};
}
inline std::span<const std::uint8_t> Bytes(const ANY_t& a) noexcept {
  return {a.buf, a.buf ? static_cast<std::size_t>(a.size) : 0};
}
template <typename S>
std::vector<std::uint8_t> ToVector(const S& s) {
  const auto b = Bytes(s);
  return {b.begin(), b.end()};
}

// True when bytes are exactly one complete BER element whose constructed
// parts hold complete elements all the way down. The decoder takes the
// contents of an explicitly tagged ANY as they stand (behind a primitive
// tag, unchecked): anything else there is a wrong encoding of the member,
// and written back it would make an entry that no longer decodes. An absent
// member (null) and an empty one (A0 00, as the module writes a key without
// subject) are fine.
bool OneElement(std::span<const std::uint8_t> bytes);
inline bool OneElement(const ANY_t* a) { return !a || OneElement(Bytes(*a)); }

// INTEGER contents as an unsigned big-endian number of at most 4 bytes (no
// sign extension, empty is 0); longer raises CKR_DATA_LEN_RANGE.
std::uint32_t IntegerValue(std::span<const std::uint8_t> contents);
inline std::uint32_t IntegerValue(const INTEGER_t& i) { return IntegerValue(Bytes(i)); }

// Flag members hold the raw BIT STRING contents: the unused-bit count, then
// the bit bytes. Bit n is bit 7 - n % 8 of bit byte n / 8. Bits inside the
// declared unused range are read as written (cards set them); bits beyond
// the last byte read 0.
bool FlagBit(std::span<const std::uint8_t> raw, unsigned bit) noexcept;
inline bool FlagBit(const OCTET_STRING_t& flags, unsigned bit) noexcept {
  return FlagBit(Bytes(flags), bit);
}
// The bit bytes without the unused-bit count (empty when there are none).
std::span<const std::uint8_t> FlagBytes(const OCTET_STRING_t& flags) noexcept;
void FillFlags(OCTET_STRING_t& flags, std::span<const std::uint8_t> bitBytes,
               unsigned unusedBits);

}  // namespace zorbix::asn1
