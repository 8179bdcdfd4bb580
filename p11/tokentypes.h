// Card types the module recognises, token-type detection on a slot, and the
// token and mechanism information entry points.
#pragma once

#include <p11-kit/pkcs11.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/secret.h"

namespace zorbix::p11 {

class CSessionManager;
class CSlot;
class CSlotManager;

inline constexpr char kUnsupported[] = "Unsupported";
inline constexpr char kVexaTypeName[] = "Vexa";
inline constexpr char kPublicClaimPrefix[] = "LOCKED_PUB_";
inline constexpr char kPrivateClaimPrefix[] = "LOCKED_PRI_";
inline constexpr std::size_t kMaxClaimNameLength = 255;
// A configuration file larger than this is ignored like a broken one; the
// built-in table is about 2 KB.
inline constexpr std::size_t kMaxConfigFileSize = 1u << 20;

struct AtrPattern {
  std::vector<std::uint8_t> atr;
  std::vector<std::uint8_t> mask;  // same length as atr
};

class CTokenType {
 public:
  std::vector<CK_MECHANISM_TYPE> mechanisms;  // configuration order
  std::string name;
  // 1 secure channel, 2 card family 1.0, other values plain.
  std::uint8_t communicationsType = 0;
  // Channel parameters (they hold the terminal's private key); empty when
  // the type has none.
  SecureBytes parameters;
  // Bits 0 and 1 go to every PKCS#15 file object of the token.
  std::uint8_t asn1Flags = 0;
  std::vector<AtrPattern> atrs;
};

// True when some pattern has the ATR's length and agrees with it under the
// mask.
bool Match(const CTokenType& type, std::span<const std::uint8_t> atr);

// The types of a DER or BER TokenTypesConfig, in its order. A value cut short
// gives the types decoded before the cut. CKR_GENERAL_ERROR when it does not
// decode, CKR_DATA_LEN_RANGE for a mechanism of more than 4 bytes,
// CKR_ARGUMENTS_BAD for an ATR and mask of different lengths.
std::vector<std::unique_ptr<CTokenType>> DecodeTokenTypes(std::span<const std::uint8_t> der);

// The built-in table (generated from p11/tokentypes.conf at build time).
std::span<const std::uint8_t> BuiltInTokenTypes();

// What the module's own file name says: the configuration file next to it
// (extension replaced by "cfg") and the public ("...pub") or private
// ("...priv") variant, compared without regard to case.
struct ModuleFileFacts {
  std::string configPath;  // empty without a module path
  bool publicVariant = false;
  bool privateVariant = false;
};
ModuleFileFacts FactsOfModuleFile(const std::string& modulePath);

// Loaded once, during static initialisation: the built-in types, then those
// of the configuration file next to the module. A missing or unreadable file
// adds nothing; a file that does not decode, or that breaks the rules of
// DecodeTokenTypes, is ignored as a whole and the built-in types stay alone.
// Nothing is raised: no caller could receive it at that time.
class CTokenTypeConfig {
 public:
  // For the module that contains this code.
  CTokenTypeConfig();
  // As if the module were the file at modulePath.
  explicit CTokenTypeConfig(const std::string& modulePath);

  const std::vector<std::unique_ptr<CTokenType>>& Types() const { return types_; }
  bool PublicVariant() const { return publicVariant_; }
  bool PrivateVariant() const { return privateVariant_; }
  const std::string& ConfigPath() const { return configPath_; }

 private:
  bool publicVariant_ = false;
  bool privateVariant_ = false;
  std::string configPath_;
  std::vector<std::unique_ptr<CTokenType>> types_;
};

// Empty (no card, or no answer), "Unsupported", or the recognised type's
// name; sets the slot's token type on a match.
std::string DetectTokenType(CSlot& slot);

// The slot's recognised type, detected first when none is known;
// CKR_SLOT_ID_INVALID when there is still none.
const CTokenType& TokenTypeOfSlot(CSlot& slot);

// Files 7004 to 7008 below 6061 that select, under one transaction, through
// a plain communicator of its own.
unsigned CountElementaryFiles(CSlot& slot);

struct MechanismInfo {
  CK_MECHANISM_TYPE type;
  CK_ULONG minKeySize;
  CK_ULONG maxKeySize;
  CK_FLAGS flags;
};
// The record of a mechanism the module implements; null for any other.
const MechanismInfo* FindMechanismInfo(CK_MECHANISM_TYPE type);

// Bodies of C_GetTokenInfo, C_GetMechanismList and C_GetMechanismInfo.
// With `sessions`, the PIN flags come from the card when the slot has open
// sessions.
void GetTokenInfo(CSlotManager& slots, CK_SLOT_ID slotID, CK_TOKEN_INFO_PTR pInfo,
                  CSessionManager* sessions = nullptr);
void GetMechanismList(CSlotManager& slots, CK_SLOT_ID slotID, CK_MECHANISM_TYPE_PTR pMechanismList,
                      CK_ULONG_PTR pulCount);
void GetMechanismInfo(CSlotManager& slots, CK_SLOT_ID slotID, CK_MECHANISM_TYPE type,
                      CK_MECHANISM_INFO_PTR pInfo);

}  // namespace zorbix::p11
