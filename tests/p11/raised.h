// The CK_RV a call raised, for tests of code that reports failures as
// Pkcs11Exception.
#pragma once

#include <p11-kit/pkcs11.h>

#include "p11/pkcs11exception.h"

namespace zorbix::testing {

// The value of the Pkcs11Exception that f raised; CKR_OK when it returned.
template <class F>
CK_RV RaisedBy(F&& f) {
  try {
    f();
  } catch (const p11::Pkcs11Exception& e) {
    return e.rv();
  }
  return CKR_OK;
}

}  // namespace zorbix::testing
