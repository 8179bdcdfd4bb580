// Command building shared by the communicators: header + data in short or
// extended form, and BER lengths of data objects.
#pragma once

#include <cstddef>
#include <cstdint>

#include "comm/communicator.h"

namespace zorbix::comm {

// header (4 bytes) + data: short with a one-byte Lc below `extendedFrom` data
// bytes, extended (00 and a two-byte Lc) from there. True for the extended
// form. The buffer wipes what it held: commands carry PINs and padded blocks.
inline bool BuildCommand(SecureBytes& apdu, ByteView header, ByteView data,
                         std::size_t extendedFrom) {
  if (header.size() != 4) throw Pkcs11Exception(CKR_ARGUMENTS_BAD);
  const bool extended = data.size() >= extendedFrom;
  if (extended && data.size() > 0xFFFF) throw Pkcs11Exception(CKR_DATA_LEN_RANGE);
  apdu.clear();
  apdu.reserve(header.size() + 3 + data.size());
  apdu.insert(apdu.end(), header.begin(), header.end());
  if (extended)
    apdu.insert(apdu.end(), {0x00, static_cast<std::uint8_t>(data.size() >> 8),
                             static_cast<std::uint8_t>(data.size())});
  else
    apdu.push_back(static_cast<std::uint8_t>(data.size()));
  apdu.insert(apdu.end(), data.begin(), data.end());
  return extended;
}

// One byte below 128, 81 xx below 256, 82 xx xx above.
template <typename Vec>
void AppendBerLength(Vec& out, std::size_t n) {
  if (n >= 0x100) {
    out.insert(out.end(), {0x82, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)});
  } else {
    if (n >= 0x80) out.push_back(0x81);
    out.push_back(static_cast<std::uint8_t>(n));
  }
}

}  // namespace zorbix::comm
