// Attribute values of PKCS#11 objects as plain bytes, for comparing objects
// in tests.
#pragma once

#include <p11-kit/pkcs11.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <vector>

#include "p11/objects.h"

namespace zorbix::testing {

using AttributeBytes = std::map<CK_ATTRIBUTE_TYPE, std::vector<std::uint8_t>>;

// A CK_ULONG as stored: sizeof(CK_ULONG) bytes in host order.
inline std::vector<std::uint8_t> UlongBytes(CK_ULONG v) {
  std::vector<std::uint8_t> b(sizeof v);
  std::memcpy(b.data(), &v, sizeof v);
  return b;
}

inline AttributeBytes AttributesOf(const p11::CPKCS11Object& o) {
  AttributeBytes m;
  for (const auto& [type, value] : o.Attributes()) m[type].assign(value.begin(), value.end());
  return m;
}

}  // namespace zorbix::testing
