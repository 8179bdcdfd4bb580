// Conversions between the stored path forms.
#include "pkcs15/p15path.h"

namespace zorbix::p15 {

namespace {

int HexDigit(std::uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::vector<std::uint8_t> PathFromText(std::span<const std::uint8_t> text) {
  std::vector<std::uint8_t> out;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && text[i] == '\\') ++i;
    // Only the low 16 bits are kept, but a long run such as 10000 is still
    // non-zero and so does not end the path.
    std::uint16_t low = 0;
    bool nonZero = false;
    for (int d; i < text.size() && (d = HexDigit(text[i])) >= 0; ++i) {
      low = static_cast<std::uint16_t>((low << 4) | d);
      nonZero = nonZero || d != 0;
    }
    if (!nonZero) break;
    out.push_back(static_cast<std::uint8_t>(low >> 8));
    out.push_back(static_cast<std::uint8_t>(low & 0xFF));
  }
  return out;
}

std::string PathToText(std::span<const std::uint8_t> path) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve((path.size() + 1) / 2 * 5);
  for (std::size_t i = 0; i < path.size(); i += 2) {
    const std::uint8_t hi = path[i];
    const std::uint8_t lo = i + 1 < path.size() ? path[i + 1] : 0;
    out += '\\';
    out += kHex[hi >> 4];
    out += kHex[hi & 0xF];
    out += kHex[lo >> 4];
    out += kHex[lo & 0xF];
  }
  return out;
}

void PadPath(std::vector<std::uint8_t>& path) {
  if (path.size() % 2) path.push_back(0);
}

std::vector<std::uint8_t> PathFromStored(std::span<const std::uint8_t> stored) {
  if (!IsStoredAsText(stored)) return {stored.begin(), stored.end()};
  return PathFromText(stored);
}

std::vector<std::uint8_t> PathForStorage(std::span<const std::uint8_t> path, int pathForm) {
  if (pathForm == kPathFormBinary) return {path.begin(), path.end()};
  const std::string text = PathToText(path);
  return {text.begin(), text.end()};
}

}  // namespace zorbix::p15
