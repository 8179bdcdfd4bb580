// Card types the module recognises, and token-type detection on a slot.
#pragma once

#include <p11-kit/pkcs11.h>

#include <memory>
#include <string>
#include <vector>

namespace zorbix::p11 {

class CSlot;
class CSlotManager;

class CTokenType {
 public:
  std::string name;
  std::vector<CK_MECHANISM_TYPE> mechanisms;
};

class CTokenTypeConfig {
 public:
  CTokenTypeConfig();
  const std::vector<std::unique_ptr<CTokenType>>& Types() const { return types_; }

 private:
  std::vector<std::unique_ptr<CTokenType>> types_;
};

// Empty (no card, or no answer), "Unsupported", or the recognised type's
// name; sets the slot's token type on a match.
std::string DetectTokenType(CSlot& slot);

// Bodies of C_GetTokenInfo, C_GetMechanismList and C_GetMechanismInfo.
void GetTokenInfo(CSlotManager& slots, CK_SLOT_ID slotID, CK_TOKEN_INFO_PTR pInfo);
void GetMechanismList(CSlotManager& slots, CK_SLOT_ID slotID, CK_MECHANISM_TYPE_PTR pMechanismList,
                      CK_ULONG_PTR pulCount);
void GetMechanismInfo(CSlotManager& slots, CK_SLOT_ID slotID, CK_MECHANISM_TYPE type,
                      CK_MECHANISM_INFO_PTR pInfo);

}  // namespace zorbix::p11
