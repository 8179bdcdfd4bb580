// UTF-8 checks and conversions for the text fields the module fills.
#include "platform/utf8.h"

#include <cstring>

namespace zorbix::platform {

namespace {

// Length of the valid UTF-8 sequence at text[i], 0 when there is none.
std::size_t SequenceLength(std::string_view text, std::size_t i) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char c = b(i);
  if (c < 0x80) return 1;
  std::size_t n;
  unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) lo = 0xA0;   // no overlong forms
    if (c == 0xED) hi = 0x9F;   // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;   // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (i + n > text.size()) return 0;
  if (b(i + 1) < lo || b(i + 1) > hi) return 0;
  for (std::size_t k = 2; k < n; ++k)
    if ((b(i + k) & 0xC0) != 0x80) return 0;
  return n;
}

}  // namespace

bool IsValidUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = SequenceLength(text, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string Latin1ToUtf8(std::span<const std::uint8_t> bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (std::uint8_t c : bytes) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

std::string AsUtf8(std::span<const std::uint8_t> bytes) {
  const std::string_view view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  return IsValidUtf8(view) ? std::string(view) : Latin1ToUtf8(bytes);
}

void FillUtf8Field(unsigned char* field, std::size_t size, std::string_view text) {
  const std::string utf8 =
      AsUtf8({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
  std::size_t fits = 0;
  while (fits < utf8.size()) {
    const std::size_t n = SequenceLength(utf8, fits);
    if (fits + n > size) break;
    fits += n;
  }
  std::memset(field, ' ', size);
  std::memcpy(field, utf8.data(), fits);
}

}  // namespace zorbix::platform
