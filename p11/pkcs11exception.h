// The module's single failure type and printable names for CK_RV values.
#pragma once

#include <p11-kit/pkcs11.h>

#include <exception>
#include <string>

namespace zorbix::p11 {

// Raised anywhere inside the module; only the C_ entry points turn it into a
// return value.
class Pkcs11Exception : public std::exception {
 public:
  explicit Pkcs11Exception(CK_RV rv) noexcept : rv_(rv) {}
  CK_RV rv() const noexcept { return rv_; }
  const char* what() const noexcept override;

 private:
  CK_RV rv_;
};

// "CKR_SLOT_ID_INVALID"; unknown values as "CKR_0x80100000"-style hex.
std::string to_string(CK_RV rv);
// The name alone; null when the value has none.
const char* RvName(CK_RV rv) noexcept;

}  // namespace zorbix::p11
