// Small pieces the content tests share: every profile as a test parameter,
// answers and byte strings, big numbers from bytes.
#pragma once

#include <gtest/gtest.h>

#include <cryptopp/integer.h>

#include <cctype>
#include <string>
#include <vector>

#include "sim/card.h"

namespace zorbix::sim::test {

struct Answer {
  Bytes data;
  std::uint16_t sw = 0;
};

inline Bytes Cat(const Bytes& a, const Bytes& b) {
  Bytes out(a);
  out.insert(out.end(), b.begin(), b.end());
  return out;
}

inline CryptoPP::Integer ToInt(const Bytes& b) { return CryptoPP::Integer(b.data(), b.size()); }

// The names of AllProfiles(), for ::testing::ValuesIn.
inline std::vector<std::string> ProfileNames() {
  std::vector<std::string> out;
  for (const Profile& p : AllProfiles()) out.push_back(p.name);
  return out;
}

// A profile name as a test name: "ORVA-ZEL_06" becomes "ORVA_ZEL_06".
inline std::string TestNameOf(const ::testing::TestParamInfo<std::string>& info) {
  std::string s = info.param;
  for (char& c : s)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return s;
}

}  // namespace zorbix::sim::test
