// Mechanisms as the communicators see them: the card key a mechanism is
// bound to, and the host-side formatting and padding of the data it signs or
// verifies on the card.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/secret.h"

namespace zorbix::p11 {

class CMech {
 public:
  virtual ~CMech() = default;

  // Pads data in place to a block of blockLength bytes (PKCS#1 v1.5 block
  // type 01 for the RSA mechanisms); the base leaves it as it is.
  virtual void Pad(SecureBytes& /*data*/, std::size_t /*blockLength*/) {}
  // Turns the data into what the card signs (the SHA-1 DigestInfo for
  // CKM_SHA1_RSA_PKCS); the base leaves it as it is.
  virtual void FormatData(SecureBytes& /*data*/) {}

  // The key bound by the init operation: its card key reference, and its
  // modulus bits as stored (some cards' entries hold bytes: values up to 256
  // are taken as bytes).
  virtual std::uint8_t KeyReference() const = 0;
  virtual unsigned KeyModulusBits() const = 0;
};

}  // namespace zorbix::p11
