// PKCS#1 v1.5 blocks for tests, written from the rules.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zorbix::testing {

// Block type 01 of k bytes: 00 01 FF .. FF 00 data (k >= data + 3).
template <typename Vec = std::vector<std::uint8_t>, typename Data>
Vec PadType1(const Data& data, std::size_t k) {
  Vec b(k, 0xFF);
  b[0] = 0x00;
  b[1] = 0x01;
  b[k - data.size() - 1] = 0x00;
  std::copy(data.begin(), data.end(), b.end() - static_cast<std::ptrdiff_t>(data.size()));
  return b;
}

}  // namespace zorbix::testing
