// Card-type table and detection. The table and the ATR matching come with the
// card-type work; until then no card is recognised and every slot is empty.
#include "p11/tokentypes.h"

#include <algorithm>

#include "p11/pkcs11exception.h"
#include "p11/slots.h"

namespace zorbix::p11 {

CTokenTypeConfig::CTokenTypeConfig() = default;

std::string DetectTokenType(CSlot&) { return std::string(); }

void GetTokenInfo(CSlotManager& slots, CK_SLOT_ID slotID, CK_TOKEN_INFO_PTR) {
  CSlot& slot = slots.FindSlot(slotID);
  if (DetectTokenType(slot).empty()) throw Pkcs11Exception(CKR_TOKEN_NOT_PRESENT);
  throw Pkcs11Exception(CKR_TOKEN_NOT_RECOGNIZED);
}

void GetMechanismList(CSlotManager& slots, CK_SLOT_ID slotID, CK_MECHANISM_TYPE_PTR pMechanismList,
                      CK_ULONG_PTR pulCount) {
  // Detection is not run here: only a type found earlier counts.
  const CTokenType* type = slots.FindSlot(slotID).TokenType();
  if (!type) throw Pkcs11Exception(CKR_TOKEN_NOT_PRESENT);
  if (!pulCount) throw Pkcs11Exception(CKR_ARGUMENTS_BAD);
  const auto& mechanisms = type->mechanisms;
  if (pMechanismList) {
    if (*pulCount < mechanisms.size()) {
      *pulCount = mechanisms.size();
      throw Pkcs11Exception(CKR_BUFFER_TOO_SMALL);
    }
    std::copy(mechanisms.begin(), mechanisms.end(), pMechanismList);
  }
  *pulCount = mechanisms.size();
}

// Mechanism objects come with the cryptographic operations; until then no
// mechanism has an info record.
void GetMechanismInfo(CSlotManager& slots, CK_SLOT_ID slotID, CK_MECHANISM_TYPE,
                      CK_MECHANISM_INFO_PTR pInfo) {
  if (!pInfo) throw Pkcs11Exception(CKR_HOST_MEMORY);
  slots.FindSlot(slotID);
  throw Pkcs11Exception(CKR_MECHANISM_INVALID);
}

}  // namespace zorbix::p11
