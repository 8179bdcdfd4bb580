// The PKCS#15 tests' byte fixtures: the shared hex helpers, text as bytes,
// and concatenation.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string_view>
#include <vector>

#include "tests/support/hex.h"

namespace zorbix::testing {

inline std::vector<std::uint8_t> TextBytes(std::string_view text) { return {text.begin(), text.end()}; }

inline std::vector<std::uint8_t> Concat(std::initializer_list<std::span<const std::uint8_t>> parts) {
  std::vector<std::uint8_t> out;
  for (auto p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

}  // namespace zorbix::testing
