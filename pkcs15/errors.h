// Failures of the PKCS#15 layer are the module's Pkcs11Exception, raised and
// read through these helpers.
#pragma once

#include <p11-kit/pkcs11.h>

#include "p11/pkcs11exception.h"

namespace zorbix::p15 {

using p11::Pkcs11Exception;

[[noreturn]] inline void Fail(CK_RV rv) { throw Pkcs11Exception(rv); }

inline CK_RV RvOf(const Pkcs11Exception& e) noexcept { return e.rv(); }

}  // namespace zorbix::p15
