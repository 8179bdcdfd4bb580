// Every attribute an object of a class may carry: what "read everything"
// asks for, in the bench tests and the benchmarks.
#pragma once

#include <cstdint>
#include <vector>

#include <p11-kit/pkcs11.h>

namespace zorbix::p11test {

inline std::vector<CK_ATTRIBUTE_TYPE> AttributesOf(CK_OBJECT_CLASS c) {
  std::vector<CK_ATTRIBUTE_TYPE> common = {CKA_CLASS, CKA_TOKEN, CKA_PRIVATE, CKA_MODIFIABLE, CKA_LABEL};
  std::vector<CK_ATTRIBUTE_TYPE> more;
  switch (c) {
    case CKO_CERTIFICATE:
      more = {CKA_CERTIFICATE_TYPE, CKA_ID, CKA_SUBJECT, CKA_ISSUER, CKA_SERIAL_NUMBER, CKA_VALUE};
      break;
    case CKO_DATA:
      more = {CKA_APPLICATION, CKA_OBJECT_ID, CKA_VALUE};
      break;
    case CKO_PUBLIC_KEY:
      more = {CKA_KEY_TYPE,   CKA_ID,        CKA_SUBJECT,    CKA_START_DATE,  CKA_END_DATE,
              CKA_ENCRYPT,    CKA_VERIFY,    CKA_VERIFY_RECOVER, CKA_WRAP,    CKA_DERIVE,
              CKA_LOCAL,      CKA_MODULUS,   CKA_MODULUS_BITS, CKA_PUBLIC_EXPONENT};
      break;
    case CKO_PRIVATE_KEY:
      more = {CKA_KEY_TYPE,     CKA_ID,         CKA_SUBJECT,     CKA_START_DATE,   CKA_END_DATE,
              CKA_DECRYPT,      CKA_SIGN,       CKA_SIGN_RECOVER, CKA_UNWRAP,      CKA_DERIVE,
              CKA_LOCAL,        CKA_SENSITIVE,  CKA_EXTRACTABLE, CKA_ALWAYS_SENSITIVE, CKA_NEVER_EXTRACTABLE,
              CKA_MODULUS,      CKA_PUBLIC_EXPONENT, CKA_PRIVATE_EXPONENT, CKA_PRIME_1, CKA_COEFFICIENT};
      break;
    default:
      break;
  }
  common.insert(common.end(), more.begin(), more.end());
  return common;
}

// After a C_GetAttributeValue that asked for the lengths only: a buffer of
// the reported length for each attribute the object has, none for the
// others, so that the next call reads the values.
inline std::vector<std::vector<std::uint8_t>> ValueBuffersFor(std::vector<CK_ATTRIBUTE>& tmpl) {
  std::vector<std::vector<std::uint8_t>> values(tmpl.size());
  for (std::size_t i = 0; i < tmpl.size(); ++i) {
    if (tmpl[i].ulValueLen == CK_UNAVAILABLE_INFORMATION) {
      tmpl[i].ulValueLen = 0;
      continue;
    }
    values[i].resize(tmpl[i].ulValueLen);
    tmpl[i].pValue = values[i].data();
  }
  return values;
}

}  // namespace zorbix::p11test
