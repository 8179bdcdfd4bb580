// The four PKCS#15 directory files: each entry of the card becomes one
// PKCS#11 object, and each object one entry, in the standard or the card
// family's (HALVO) form.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "pkcs15/p15files.h"

namespace zorbix::p15 {

// Decode reads either form and records it in the file's standard-format
// flag (1 standard, 0 card family; the last entry read wins) and lowers the
// path form to 0 when a stored path is text. Encode writes the form of the
// file's flags; it returns non-zero when the entry does not fit 1024 bytes
// and raises CKR_ATTRIBUTE_TYPE_INVALID when a boolean it writes is missing
// or malformed on the object.

// Private RSA keys (6001).
class CP15PrKDF : public CP15File {
 public:
  explicit CP15PrKDF(std::uint16_t fileId = kPrKDFFileId) : CP15File(fileId) {}
  bool Decode(std::span<const std::uint8_t> element) override;
  int Encode(const CPKCS11Object& object, std::vector<std::uint8_t>& out) override;
  std::span<const CK_ATTRIBUTE_TYPE> CarriedAttributes() const override;
};

// Public RSA keys (6002).
class CP15PuKDF : public CP15File {
 public:
  explicit CP15PuKDF(std::uint16_t fileId = kPuKDFFileId) : CP15File(fileId) {}
  bool Decode(std::span<const std::uint8_t> element) override;
  int Encode(const CPKCS11Object& object, std::vector<std::uint8_t>& out) override;
  std::span<const CK_ATTRIBUTE_TYPE> CarriedAttributes() const override;
};

// X.509 certificates (6004).
class CP15CDF : public CP15File {
 public:
  explicit CP15CDF(std::uint16_t fileId = kCDFFileId) : CP15File(fileId) {}
  bool Decode(std::span<const std::uint8_t> element) override;
  int Encode(const CPKCS11Object& object, std::vector<std::uint8_t>& out) override;
  std::span<const CK_ATTRIBUTE_TYPE> CarriedAttributes() const override;
};

// Data objects (6005).
class CP15DODF : public CP15File {
 public:
  explicit CP15DODF(std::uint16_t fileId = kDODFFileId) : CP15File(fileId) {}
  bool Decode(std::span<const std::uint8_t> element) override;
  int Encode(const CPKCS11Object& object, std::vector<std::uint8_t>& out) override;
  std::span<const CK_ATTRIBUTE_TYPE> CarriedAttributes() const override;
};

}  // namespace zorbix::p15
