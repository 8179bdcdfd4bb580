// Card-type table, ATR matching, token-type detection with the claim of the
// public and private variants, and the token and mechanism information.
#include "p11/tokentypes.h"

#include <PCSC/winscard.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>

#include "comm/communicator.h"
#include "comm/fileaccess.h"
#include "p11/pkcs11exception.h"
#include "p11/sessions.h"
#include "p11/slots.h"
#include "pkcs15/asn1codec.h"
#include "pkcs15/asn1types.h"
#include "pkcs15/p15files.h"
#include "platform/named_event.h"
#include "platform/scard.h"
#include "platform/version.h"

namespace zorbix::p11 {

// Generated from p11/tokentypes.conf.
extern const unsigned char kBuiltInTokenTypes[];
extern const std::size_t kBuiltInTokenTypesSize;

namespace {

constexpr std::uint16_t kProbeDf = 0x6061;
constexpr std::uint16_t kProbeFirst = 0x7004;
constexpr std::uint16_t kProbeLast = 0x7008;

constexpr CK_FLAGS kSignDecryptVerify = CKF_DECRYPT | CKF_SIGN | CKF_VERIFY;
constexpr MechanismInfo kMechanismInfos[] = {
    {CKM_RSA_PKCS_KEY_PAIR_GEN, 1024, 2048, CKF_GENERATE_KEY_PAIR},
    {CKM_RSA_PKCS, 1024, 2048, kSignDecryptVerify},
    {CKM_SHA1_RSA_PKCS, 1024, 2048, kSignDecryptVerify},
};

[[noreturn]] void Fail(CK_RV rv) { throw Pkcs11Exception(rv); }

std::uint8_t FirstByte(const INTEGER_t& i) {
  const auto b = asn1::Bytes(i);
  return b.empty() ? 0 : b[0];
}

std::unique_ptr<CTokenType> Convert(const CardTokenType_t& in) {
  auto t = std::make_unique<CTokenType>();
  const auto name = asn1::Bytes(in.name);
  t->name.assign(name.begin(), name.end());
  for (int i = 0; i < in.atrs.list.count; ++i) {
    const CardATR_t& a = *in.atrs.list.array[i];
    AtrPattern p{asn1::ToVector(a.atr), asn1::ToVector(a.mask)};
    if (p.atr.size() != p.mask.size()) Fail(CKR_ARGUMENTS_BAD);
    t->atrs.push_back(std::move(p));
  }
  t->communicationsType = FirstByte(in.communicationsType);
  t->asn1Flags = FirstByte(in.asn1Flags);
  for (int i = 0; i < in.mechanism.list.count; ++i)
    t->mechanisms.push_back(asn1::IntegerValue(*in.mechanism.list.array[i]));
  if (in.params) {
    const auto p = asn1::Bytes(*in.params);
    t->parameters.assign(p.begin(), p.end());
  }
  return t;
}

bool EndsWithNoCase(const std::string& s, std::string_view suffix) {
  if (s.size() < suffix.size()) return false;
  return std::equal(suffix.begin(), suffix.end(), s.end() - static_cast<std::ptrdiff_t>(suffix.size()),
                    [](char a, char b) {
                      return std::tolower(static_cast<unsigned char>(a)) ==
                             std::tolower(static_cast<unsigned char>(b));
                    });
}

// Whole file, or nothing when it is missing, cannot be read to its end, is
// no regular file (a FIFO would block the loading process, a device never
// end) or holds more than kMaxConfigFileSize bytes. Opened without blocking.
bool ReadWholeFile(const std::string& path, std::vector<std::uint8_t>& out) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct FdClose {
    int fd;
    ~FdClose() { ::close(fd); }
  } closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (st.st_size < 0 || static_cast<std::uintmax_t>(st.st_size) > kMaxConfigFileSize) return false;
  // The file may grow between fstat and read: one byte more tells.
  out.resize(static_cast<std::size_t>(st.st_size) + 1);
  std::size_t got = 0;
  while (got < out.size()) {
    const ssize_t n = ::read(fd, out.data() + got, out.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got > kMaxConfigFileSize) return false;
  out.resize(got);
  return true;
}

std::string ClaimName(const char* prefix, const std::string& reader) {
  std::string name = prefix + reader;
  if (name.size() > kMaxClaimNameLength) name.resize(kMaxClaimNameLength);
  return name;
}

enum class Claim { Skip, Stop, Accept };

// Only for "Vexa" in a public or private variant of the module.
Claim VariantClaim(CSlot& slot, const CTokenTypeConfig& config, bool wasConnected) {
  const bool isPublic = config.PublicVariant();
  const char* own = isPublic ? kPublicClaimPrefix : kPrivateClaimPrefix;
  const char* other = isPublic ? kPrivateClaimPrefix : kPublicClaimPrefix;
  // The other variant holds the card.
  if (platform::NamedEvent::Exists(ClaimName(other, slot.ReaderName()))) return Claim::Stop;
  // A connected slot may be inside a token's work: no probe then, the count
  // of the last one stands.
  if (!wasConnected) slot.SetEfCount(CountElementaryFiles(slot));
  const unsigned efs = slot.EfCount();
  if (isPublic ? efs <= 1 : efs > 1) return Claim::Skip;
  slot.SetLockEvent(nullptr);
  // Without the event the card is still ours; the other variant just cannot
  // see the claim.
  slot.SetLockEvent(platform::NamedEvent::Create(ClaimName(own, slot.ReaderName())));
  return Claim::Accept;
}

std::string Detect(CSlot& slot) {
  platform::ScardApi& api = platform::Scard();
  slot.ForgetSwappedCard();
  const bool wasConnected = slot.CardHandle() != 0;
  if (!wasConnected) slot.Connect();

  BYTE* block = nullptr;
  DWORD len = SCARD_AUTOALLOCATE;
  const LONG rv = api.GetAttrib(slot.CardHandle(), platform::kAttrAtrString,
                                reinterpret_cast<BYTE*>(&block), &len);
  if (!wasConnected) slot.Disconnect();
  if (wasConnected && slot.CardHandle() != 0 && rv == SCARD_W_REMOVED_CARD) {
    slot.ResetCardState();
    return Detect(slot);
  }
  if (rv == SCARD_E_NO_MEMORY) Fail(CKR_HOST_MEMORY);
  if (rv != SCARD_S_SUCCESS || !block) return std::string();
  const std::vector<std::uint8_t> atr(block, block + len);
  if (api.FreeMemory(slot.Manager().Context(), block) != SCARD_S_SUCCESS) Fail(CKR_HOST_MEMORY);

  const CTokenTypeConfig& config = slot.Manager().TokenTypes();
  const bool variant = config.PublicVariant() || config.PrivateVariant();
  for (const auto& type : config.Types()) {
    const bool vexa = type->name == kVexaTypeName;
    // The private variant leaves national ID cards to the public one.
    if (vexa && config.PrivateVariant()) continue;
    if (!Match(*type, atr)) continue;
    if (vexa && variant) {
      const Claim claim = VariantClaim(slot, config, wasConnected);
      if (claim == Claim::Skip) continue;
      if (claim == Claim::Stop) break;
    }
    slot.SetTokenType(type.get());
    return type->name;
  }
  return kUnsupported;
}

}  // namespace

bool Match(const CTokenType& type, std::span<const std::uint8_t> atr) {
  for (const AtrPattern& p : type.atrs) {
    if (p.atr.size() != atr.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < atr.size() && same; ++i)
      same = (atr[i] & p.mask[i]) == (p.atr[i] & p.mask[i]);
    if (same) return true;
  }
  return false;
}

std::vector<std::unique_ptr<CTokenType>> DecodeTokenTypes(std::span<const std::uint8_t> der) {
  asn1::Decoded<TokenTypesConfig_t> r = asn1::Decode<TokenTypesConfig_t>(der);
  if (r.code == asn1::DecodeCode::Failure) Fail(CKR_GENERAL_ERROR);
  std::vector<std::unique_ptr<CTokenType>> types;
  // Cut short: the list holds only the members decoded completely.
  if (!r.value) return types;
  for (int i = 0; i < r.value->list.count; ++i) types.push_back(Convert(*r.value->list.array[i]));
  return types;
}

std::span<const std::uint8_t> BuiltInTokenTypes() {
  return {kBuiltInTokenTypes, kBuiltInTokenTypesSize};
}

ModuleFileFacts FactsOfModuleFile(const std::string& modulePath) {
  ModuleFileFacts facts;
  if (modulePath.empty()) return facts;
  // The extension is what follows the last dot of the file name itself.
  const std::size_t slash = modulePath.rfind('/');
  const std::size_t dot = modulePath.rfind('.');
  const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  const std::string stem = hasExtension ? modulePath.substr(0, dot) : modulePath;
  facts.configPath = stem + ".cfg";
  if (facts.configPath.size() > 8) {
    facts.publicVariant = EndsWithNoCase(stem, "pub");
    facts.privateVariant = EndsWithNoCase(stem, "priv");
  }
  return facts;
}

CTokenTypeConfig::CTokenTypeConfig()
    : CTokenTypeConfig(platform::ModuleFilePath(static_cast<const void*>(kBuiltInTokenTypes))) {}

CTokenTypeConfig::CTokenTypeConfig(const std::string& modulePath) {
  try {
    types_ = DecodeTokenTypes(BuiltInTokenTypes());
  } catch (...) {
    // The built-in value decodes (a test holds it to that); never let
    // static initialisation throw.
  }
  const ModuleFileFacts facts = FactsOfModuleFile(modulePath);
  configPath_ = facts.configPath;
  publicVariant_ = facts.publicVariant;
  privateVariant_ = facts.privateVariant;
  if (configPath_.empty()) return;
  try {
    std::vector<std::uint8_t> contents;
    if (!ReadWholeFile(configPath_, contents)) return;
    // All of the file's types or none of them.
    auto extra = DecodeTokenTypes(contents);
    for (auto& t : extra) types_.push_back(std::move(t));
  } catch (...) {
    // A broken file is ignored: the built-in types serve on their own.
  }
}

std::string DetectTokenType(CSlot& slot) {
  try {
    return Detect(slot);
  } catch (const Pkcs11Exception& e) {
    switch (e.rv()) {
      case CKR_HOST_MEMORY:
      case CKR_SLOT_ID_INVALID:
      case CKR_DEVICE_ERROR:
      case CKR_CRYPTOKI_NOT_INITIALIZED:
        throw;
      default:
        return std::string();
    }
  }
}

const CTokenType& TokenTypeOfSlot(CSlot& slot) {
  if (!slot.TokenType()) DetectTokenType(slot);
  const CTokenType* type = slot.TokenType();
  if (!type) Fail(CKR_SLOT_ID_INVALID);
  return *type;
}

unsigned CountElementaryFiles(CSlot& slot) {
  comm::CComm_Plain comm(slot);
  comm::CSlotTransaction transaction(slot);
  comm.SelectName(comm::kMasterFile);
  comm.SelectId(kProbeDf);
  unsigned count = 0;
  for (std::uint16_t f = kProbeFirst; f <= kProbeLast; ++f) {
    try {
      comm.SelectId(f);
      ++count;
    } catch (const Pkcs11Exception&) {
    }
  }
  return count;
}

const MechanismInfo* FindMechanismInfo(CK_MECHANISM_TYPE type) {
  for (const MechanismInfo& m : kMechanismInfos)
    if (m.type == type) return &m;
  return nullptr;
}

void GetTokenInfo(CSlotManager& slots, CK_SLOT_ID slotID, CK_TOKEN_INFO_PTR pInfo,
                  CSessionManager* sessions) {
  CSlot& slot = slots.FindSlot(slotID);
  // The decoded TokenInfo is read and copied out below; a removal reported
  // meanwhile must not free it under us.
  const auto hold = slot.HoldCardState();
  slot.ForgetSwappedCard();
  p15::CP15TokenInfo& tokenInfo = slot.TokenInfo();
  if (!tokenInfo.Loaded()) {
    if (slot.TokenPresent()) {
      comm::CSlotTransaction transaction(slot);
      // Connected by now: the communicator reconnects with a card reset and
      // disconnects when it goes.
      comm::CComm_Plain comm(slot);
      slot.SetTokenNotRecognised(false);
      comm::CCommFileAccess access(comm, [&slot] { slot.SetTokenNotRecognised(true); });
      tokenInfo.Read(access);
    }
    if (!tokenInfo.Loaded()) {
      if (DetectTokenType(slot).empty()) Fail(CKR_TOKEN_NOT_PRESENT);
      Fail(CKR_TOKEN_NOT_RECOGNIZED);
    }
  }
  if (slot.TokenNotRecognised()) Fail(CKR_TOKEN_NOT_RECOGNIZED);
  if (!pInfo) return;
  if (!tokenInfo.FillTokenInfo(pInfo)) Fail(CKR_DEVICE_ERROR);
  if (sessions) sessions->ApplyPinFlags(slotID, *pInfo);
}

void GetMechanismList(CSlotManager& slots, CK_SLOT_ID slotID, CK_MECHANISM_TYPE_PTR pMechanismList,
                      CK_ULONG_PTR pulCount) {
  if (!pulCount) Fail(CKR_ARGUMENTS_BAD);
  // Detection is not run here: only a type found earlier counts.
  CSlot& slot = slots.FindSlot(slotID);
  slot.ForgetSwappedCard();
  const CTokenType* type = slot.TokenType();
  if (!type) Fail(CKR_TOKEN_NOT_PRESENT);
  const auto& mechanisms = type->mechanisms;
  if (pMechanismList) {
    if (*pulCount < mechanisms.size()) {
      *pulCount = mechanisms.size();
      Fail(CKR_BUFFER_TOO_SMALL);
    }
    std::copy(mechanisms.begin(), mechanisms.end(), pMechanismList);
  }
  *pulCount = mechanisms.size();
}

void GetMechanismInfo(CSlotManager& slots, CK_SLOT_ID slotID, CK_MECHANISM_TYPE type,
                      CK_MECHANISM_INFO_PTR pInfo) {
  if (!pInfo) Fail(CKR_HOST_MEMORY);
  CSlot& slot = slots.FindSlot(slotID);
  slot.ForgetSwappedCard();
  const CTokenType* tokenType = slot.TokenType();
  if (!tokenType) Fail(CKR_MECHANISM_INVALID);
  const auto& offered = tokenType->mechanisms;
  if (std::find(offered.begin(), offered.end(), type) == offered.end()) Fail(CKR_MECHANISM_INVALID);
  const MechanismInfo* info = FindMechanismInfo(type);
  if (!info) Fail(CKR_MECHANISM_INVALID);
  pInfo->ulMinKeySize = info->minKeySize;
  pInfo->ulMaxKeySize = info->maxKeySize;
  pInfo->flags = info->flags;
}

}  // namespace zorbix::p11
