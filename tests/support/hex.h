// Hex fixtures for tests: "30 03 04 01 45" (or "3003040145") to bytes and back.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zorbix::testing {

// Characters other than hex digits (spaces, colons) are skipped.
inline std::vector<std::uint8_t> Hex(std::string_view text) {
  std::vector<std::uint8_t> out;
  int hi = -1;
  for (char c : text) {
    int v;
    if (c >= '0' && c <= '9') v = c - '0';
    else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    else continue;
    if (hi < 0) {
      hi = v;
    } else {
      out.push_back(static_cast<std::uint8_t>(hi << 4 | v));
      hi = -1;
    }
  }
  return out;
}

// "30 03 04 01 45": upper case, one space between bytes.
inline std::string ToHex(std::span<const std::uint8_t> bytes) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string s;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i) s += ' ';
    s += kHex[bytes[i] >> 4];
    s += kHex[bytes[i] & 0xF];
  }
  return s;
}

}  // namespace zorbix::testing
