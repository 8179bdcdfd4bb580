// The PC/SC error map as a table.
#include "p11/pcscerrors.h"

#include <PCSC/pcsclite.h>

namespace zorbix::p11 {

namespace {

struct PcscMapping {
  LONG status;
  CK_RV rv;
};

constexpr PcscMapping kPcscMap[] = {
    {static_cast<LONG>(SCARD_S_SUCCESS), CKR_OK},
    {static_cast<LONG>(SCARD_E_NO_MEMORY), CKR_HOST_MEMORY},
    {static_cast<LONG>(SCARD_E_UNKNOWN_READER), CKR_SLOT_ID_INVALID},
    {static_cast<LONG>(SCARD_E_READER_UNAVAILABLE), CKR_SLOT_ID_INVALID},
    {static_cast<LONG>(SCARD_E_NO_SMARTCARD), CKR_TOKEN_NOT_PRESENT},
    {static_cast<LONG>(SCARD_W_REMOVED_CARD), CKR_TOKEN_NOT_PRESENT},
    {static_cast<LONG>(SCARD_E_NOT_READY), CKR_DEVICE_ERROR},
    {static_cast<LONG>(SCARD_E_READER_UNSUPPORTED), CKR_DEVICE_ERROR},
};

}  // namespace

CK_RV MapPcscError(LONG status) noexcept {
  for (const auto& m : kPcscMap)
    if (m.status == status) return m.rv;
  return CKR_GENERAL_ERROR;
}

}  // namespace zorbix::p11
