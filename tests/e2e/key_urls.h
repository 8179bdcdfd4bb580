// The virtual card's keys as pkcs11: URLs, for outside applications.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "comm/crypto.h"
#include "sim/profile.h"

namespace zorbix::testing {

// The card's keys as pkcs11: URLs by CKA_ID (the SHA-1 of the modulus on
// the virtual cards), with whether the key signs: every key but the
// decipher-only one (reference 3, or 0x21 on the card-family 1.0 cards).
inline std::vector<std::pair<std::string, bool>> KeyUrls(const sim::Profile& profile) {
  std::vector<std::pair<std::string, bool>> urls;
  for (const sim::KeySpec& key : profile.keys) {
    std::string id;
    for (std::uint8_t b : crypto::Sha1(key.modulus)) {
      static const char kHex[] = "0123456789ABCDEF";
      id += '%';
      id += kHex[b >> 4];
      id += kHex[b & 0xF];
    }
    urls.push_back({"pkcs11:id=" + id, key.reference != 3 && key.reference != 0x21});
  }
  return urls;
}

}  // namespace zorbix::testing
