// Codec over the asn1c runtime.
#include "pkcs15/asn1codec.h"

#include <cstring>

#include "ber_decoder.h"
#include "ber_tlv_length.h"
#include "ber_tlv_tag.h"
#include "der_encoder.h"
#include "pkcs15/errors.h"

namespace zorbix::asn1 {

namespace {

struct FixedBuffer {
  std::uint8_t* data;
  std::size_t capacity;
  std::size_t used;
};

// Refuses a piece that does not fit; the encoder then reports -1.
int CopyToFixed(const void* piece, std::size_t size, void* key) {
  auto* out = static_cast<FixedBuffer*>(key);
  if (size > out->capacity - out->used) return -1;
  if (size) std::memcpy(out->data + out->used, piece, size);
  out->used += size;
  return 0;
}

// Same allocator as the runtime's (it releases with free).
template <typename S>
void FillBuffer(S& s, std::span<const std::uint8_t> bytes) {
  auto* buf = static_cast<std::uint8_t*>(std::malloc(bytes.size() + 1));
  if (!buf) p15::Fail(CKR_HOST_MEMORY);
  if (!bytes.empty()) std::memcpy(buf, bytes.data(), bytes.size());
  buf[bytes.size()] = 0;
  std::free(s.buf);
  s.buf = buf;
  s.size = static_cast<int>(bytes.size());
}

// Nesting that OneElement follows; deeper elements are refused.
constexpr int kMaxNesting = 64;

// Length of the complete element at the start of bytes, with the contents
// of every constructed element inside it a run of complete elements too (as
// the decoder reads them once they stand inside a constructed tag); 0 when
// there is no such element.
std::size_t ElementLength(std::span<const std::uint8_t> bytes, int depth) {
  if (depth > kMaxNesting) return 0;
  ber_tlv_tag_t tag;
  const ssize_t tagLength = ber_fetch_tag(bytes.data(), bytes.size(), &tag);
  if (tagLength <= 0) return 0;
  const int constructed = BER_TLV_CONSTRUCTED(bytes.data());
  ber_tlv_len_t length;
  const ssize_t lengthLength =
      ber_fetch_length(constructed, bytes.data() + tagLength, bytes.size() - tagLength, &length);
  if (lengthLength <= 0) return 0;
  std::size_t at = static_cast<std::size_t>(tagLength + lengthLength);
  if (length >= 0) {
    if (static_cast<std::size_t>(length) > bytes.size() - at) return 0;
    const std::size_t end = at + static_cast<std::size_t>(length);
    while (constructed && at < end) {
      const std::size_t n = ElementLength(bytes.subspan(at, end - at), depth + 1);
      if (n == 0) return 0;
      at += n;
    }
    return end;
  }
  // Indefinite length: elements up to the end-of-contents octets 00 00.
  for (;;) {
    if (bytes.size() - at >= 2 && bytes[at] == 0 && bytes[at + 1] == 0) return at + 2;
    const std::size_t n = ElementLength(bytes.subspan(at), depth + 1);
    if (n == 0) return 0;
    at += n;
  }
}

}  // namespace

bool OneElement(std::span<const std::uint8_t> bytes) {
  return bytes.empty() || ElementLength(bytes, 0) == bytes.size();
}

DecodeCode DecodeBer(asn_TYPE_descriptor_t& type, void** structure,
                     std::span<const std::uint8_t> bytes, std::size_t& consumed) {
  // The runtime measures stack use from the address of this context, so it
  // has to live on the stack.
  asn_codec_ctx_t ctx{};
  ctx.max_stack_size = kDecoderStackLimit;
  const asn_dec_rval_t rv = ber_decode(&ctx, &type, structure, bytes.data(), bytes.size());
  consumed = rv.consumed;
  switch (rv.code) {
    case RC_OK:
      return DecodeCode::Ok;
    case RC_WMORE:
      return DecodeCode::MoreData;
    default:
      return DecodeCode::Failure;
  }
}

std::ptrdiff_t EncodeDer(asn_TYPE_descriptor_t& type, void* structure,
                         std::span<std::uint8_t> out) {
  FixedBuffer buf{out.data(), out.size(), 0};
  const asn_enc_rval_t rv = der_encode(&type, structure, CopyToFixed, &buf);
  if (rv.encoded < 0) return -1;
  return static_cast<std::ptrdiff_t>(buf.used);
}

void Release(asn_TYPE_descriptor_t& type, void* structure) noexcept {
  if (structure) type.free_struct(&type, structure, 0);
}

void* AllocateZeroed(std::size_t size) {
  void* p = std::calloc(1, size);
  if (!p) p15::Fail(CKR_HOST_MEMORY);
  return p;
}

void FillString(OCTET_STRING_t& s, std::span<const std::uint8_t> bytes) {
  // A null source clears the member; keep empty strings allocated so that
  // "present and empty" stays distinguishable from a cleared buffer.
  static const char kEmpty[1] = {0};
  const char* src = bytes.empty() ? kEmpty : reinterpret_cast<const char*>(bytes.data());
  if (OCTET_STRING_fromBuf(&s, src, static_cast<int>(bytes.size())) != 0)
    p15::Fail(CKR_HOST_MEMORY);
}

void FillInteger(INTEGER_t& i, std::span<const std::uint8_t> contents) {
  FillBuffer(i, contents);
}

void FillAny(ANY_t& a, std::span<const std::uint8_t> element) { FillBuffer(a, element); }

std::uint32_t IntegerValue(std::span<const std::uint8_t> contents) {
  if (contents.size() > 4) p15::Fail(CKR_DATA_LEN_RANGE);
  std::uint32_t v = 0;
  for (std::uint8_t b : contents) v = (v << 8) | b;
  return v;
}

bool FlagBit(std::span<const std::uint8_t> raw, unsigned bit) noexcept {
  const std::size_t byte = 1 + bit / 8;
  if (byte >= raw.size()) return false;
  return (raw[byte] & (0x80u >> (bit % 8))) != 0;
}

std::span<const std::uint8_t> FlagBytes(const OCTET_STRING_t& flags) noexcept {
  const auto raw = Bytes(flags);
  if (raw.size() < 2) return {};
  return raw.subspan(1);
}

void FillFlags(OCTET_STRING_t& flags, std::span<const std::uint8_t> bitBytes,
               unsigned unusedBits) {
  std::vector<std::uint8_t> raw;
  raw.reserve(bitBytes.size() + 1);
  raw.push_back(static_cast<std::uint8_t>(bitBytes.empty() ? 0 : unusedBits));
  raw.insert(raw.end(), bitBytes.begin(), bitBytes.end());
  FillString(flags, raw);
}

}  // namespace zorbix::asn1
