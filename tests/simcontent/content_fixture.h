// Small pieces the content tests share: every profile as a test parameter,
// answers and byte strings, big numbers from bytes.
#pragma once

#include <gtest/gtest.h>

#include <cryptopp/integer.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
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

// What a host builds on one exchange: GET RESPONSE after 61xx, and long
// commands as an extended APDU in envelopes of at most 250 bytes.
class Exchanges {
 public:
  virtual ~Exchanges() = default;
  virtual Answer Raw(const Bytes& apdu) = 0;

  Answer Send(const Bytes& apdu) {
    Answer a = Raw(apdu);
    Bytes all = a.data;
    while ((a.sw >> 8) == 0x61) {
      a = Raw({0x00, 0xC0, 0x00, 0x00, static_cast<std::uint8_t>(a.sw)});
      all = Cat(all, a.data);
    }
    a.data = all;
    return a;
  }

  // Short APDU below 250 data bytes, else the extended APDU in envelopes.
  Answer Command(const Bytes& header, const Bytes& data) {
    if (data.size() < 250)
      return Send(Cat(Cat(header, {static_cast<std::uint8_t>(data.size())}), data));
    Bytes ext = Cat(Cat(header, {0x00, static_cast<std::uint8_t>(data.size() >> 8),
                                 static_cast<std::uint8_t>(data.size())}),
                    data);
    Answer a;
    for (std::size_t off = 0; off < ext.size(); off += 250) {
      std::size_t n = std::min<std::size_t>(250, ext.size() - off);
      Bytes piece(ext.begin() + static_cast<std::ptrdiff_t>(off),
                  ext.begin() + static_cast<std::ptrdiff_t>(off + n));
      a = Send(Cat({0x90, 0xC2, 0x00, 0x00, static_cast<std::uint8_t>(n)}, piece));
      if (off + n < ext.size() && a.sw != 0x9000) return a;
    }
    return a;
  }
};

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
