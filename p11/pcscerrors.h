// PC/SC status → CK_RV for connection, context and event errors.
#pragma once

#include <PCSC/wintypes.h>
#include <p11-kit/pkcs11.h>

namespace zorbix::p11 {

CK_RV MapPcscError(LONG status) noexcept;

}  // namespace zorbix::p11
