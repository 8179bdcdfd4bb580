// Card-type table and detection. The table and the ATR matching come with the
// card-type work; until then no card is recognised and every slot is empty.
#include "p11/tokentypes.h"

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

void GetMechanismList(CSlotManager& slots, CK_SLOT_ID slotID, CK_MECHANISM_TYPE_PTR,
                      CK_ULONG_PTR pulCount) {
  CSlot& slot = slots.FindSlot(slotID);
  const CTokenType* type = slot.TokenType();
  if (!type) throw Pkcs11Exception(CKR_TOKEN_NOT_PRESENT);
  if (!pulCount) throw Pkcs11Exception(CKR_ARGUMENTS_BAD);
  throw Pkcs11Exception(CKR_TOKEN_NOT_PRESENT);
}

void GetMechanismInfo(CSlotManager& slots, CK_SLOT_ID slotID, CK_MECHANISM_TYPE,
                      CK_MECHANISM_INFO_PTR pInfo) {
  if (!pInfo) throw Pkcs11Exception(CKR_HOST_MEMORY);
  slots.FindSlot(slotID);
  throw Pkcs11Exception(CKR_MECHANISM_INVALID);
}

}  // namespace zorbix::p11
