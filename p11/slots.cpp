// Slots: reader enumeration, stable slot IDs, connection, slot entry points.
#include "p11/slots.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "p11/exclusion.h"
#include "p11/pcscerrors.h"
#include "p11/pkcs11exception.h"
#include "p11/tokentypes.h"
#include "pkcs15/p15files.h"
#include "platform/named_event.h"
#include "platform/scard.h"
#include "platform/utf8.h"

namespace zorbix::p11 {

namespace {

constexpr DWORD kWaitPassMs = 1000;
constexpr char kReaderManufacturer[] = "Smart Card Reader/Writer";

}  // namespace

void PadText(CK_UTF8CHAR* field, std::size_t size, const std::string& text) {
  platform::FillUtf8Field(field, size, text);
}

// ---------------------------------------------------------------- CSlot

CSlot::CSlot(CSlotManager& manager, std::string readerName, CK_SLOT_ID id)
    : manager_(manager),
      readerName_(std::move(readerName)),
      id_(id),
      tokenInfo_(std::make_unique<p15::CP15TokenInfo>()) {
  readerState_.szReader = readerName_.c_str();
  readerState_.dwCurrentState = SCARD_STATE_UNAWARE;
  platform::Scard().GetStatusChange(manager_.Context(), 0, &readerState_, 1);
  readerState_.dwCurrentState = readerState_.dwEventState & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
}

// At process exit the guard is already gone: only the connection is dropped.
CSlot::~CSlot() { Disconnect(); }

SCARDHANDLE CSlot::CardHandle() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return card_;
}

void CSlot::Connect() {
  const SCARDCONTEXT ctx = manager_.Context();
  if (ctx == 0) throw Pkcs11Exception(CKR_CRYPTOKI_NOT_INITIALIZED);
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  DWORD protocol = 0;
  LONG rv;
  if (card_ != 0) {
    rv = platform::Scard().Reconnect(card_, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0, SCARD_RESET_CARD,
                                     &protocol);
  } else {
    rv = platform::Scard().Connect(ctx, readerName_.c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0,
                                   &card_, &protocol);
  }
  if (rv != SCARD_S_SUCCESS) {
    card_ = 0;
    throw Pkcs11Exception(MapPcscError(rv));
  }
  manager_.Guard().SetReaderNameIfEmpty(readerName_);
}

void CSlot::Disconnect() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (card_ != 0) platform::Scard().Disconnect(card_, SCARD_LEAVE_CARD);
  card_ = 0;
}

void CSlot::ResetCardState() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  Disconnect();
  tokenType_ = nullptr;
  tokenInfo_->Unload();
  lockEvent_.reset();
  manager_.Guard().ClearReader();
}

bool CSlot::TokenPresent() {
  const std::string name = DetectTokenType(*this);
  return !name.empty() && name != "Unsupported";
}

const CTokenType* CSlot::TokenType() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return tokenType_;
}

void CSlot::SetTokenType(const CTokenType* type) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  tokenType_ = type;
}

unsigned CSlot::EfCount() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return efCount_;
}

void CSlot::SetEfCount(unsigned count) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  efCount_ = count;
}

void CSlot::ForgetSwappedCard() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (card_ != 0) return;
  SCARD_READERSTATE state{};
  state.szReader = readerName_.c_str();
  state.dwCurrentState = SCARD_STATE_UNAWARE;
  if (platform::Scard().GetStatusChange(manager_.Context(), 0, &state, 1) != SCARD_S_SUCCESS) return;
  std::vector<std::uint8_t> atr;
  if (state.dwEventState & SCARD_STATE_PRESENT)
    atr.assign(state.rgbAtr, state.rgbAtr + std::min<DWORD>(state.cbAtr, sizeof state.rgbAtr));
  const auto events = static_cast<std::uint32_t>(state.dwEventState >> 16);
  if (seen_ && (seenAtr_ != atr || seenEvents_ != events)) ResetCardState();
  seen_ = true;
  seenAtr_ = std::move(atr);
  seenEvents_ = events;
}

void CSlot::SetLockEvent(std::unique_ptr<platform::NamedEvent> event) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  lockEvent_ = std::move(event);
}

bool CSlot::HasLockEvent() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return lockEvent_ != nullptr;
}

bool CSlot::TokenNotRecognised() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return tokenNotRecognised_;
}

void CSlot::SetTokenNotRecognised(bool mark) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  tokenNotRecognised_ = mark;
}

SCARD_READERSTATE CSlot::ReaderState() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return readerState_;
}

void CSlot::SetReaderState(const SCARD_READERSTATE& state) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  readerState_ = state;
  readerState_.szReader = readerName_.c_str();
}

// --------------------------------------------------------- CSlotManager

CSlotManager::CSlotManager(const std::atomic<SCARDCONTEXT>& context, CExclusionMutua& guard,
                           const CTokenTypeConfig& tokenTypes)
    : context_(context), guard_(guard), tokenTypes_(tokenTypes) {}

CSlotManager::~CSlotManager() {
  const SCARDCONTEXT ctx = waitContext_.exchange(0);
  if (ctx != 0) platform::Scard().ReleaseContext(ctx);
}

void CSlotManager::Refresh() { Refresh(Context()); }

void CSlotManager::Refresh(SCARDCONTEXT ctx) {
  platform::ScardApi& api = platform::Scard();
  // The present list is replaced whole, never emptied and refilled in place:
  // the wait thread refreshes beside the locked calls.
  const auto setPresent = [this](std::vector<CK_SLOT_ID> present) {
    std::lock_guard<std::mutex> lock(mutex_);
    present_ = std::move(present);
  };
  char* block = nullptr;
  DWORD len = SCARD_AUTOALLOCATE;
  LONG rv = api.ListReaders(ctx, nullptr, reinterpret_cast<char*>(&block), &len);
  if (rv != SCARD_S_SUCCESS) setPresent({});
  if (rv == SCARD_E_NO_READERS_AVAILABLE) return;
  if (rv == SCARD_E_NO_MEMORY) throw Pkcs11Exception(CKR_HOST_MEMORY);
  if (rv != SCARD_S_SUCCESS) throw Pkcs11Exception(CKR_GENERAL_ERROR);

  struct BlockRelease {
    platform::ScardApi& api;
    SCARDCONTEXT ctx;
    char*& block;
    ~BlockRelease() {
      if (block) api.FreeMemory(ctx, block);
    }
  } release{api, ctx, block};

  const std::vector<std::string> names = platform::SplitMultiString(block, len);
  std::vector<CK_SLOT_ID> present;
  present.reserve(names.size());
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const std::string& name : names) {
      auto it = readerIds_.find(name);
      if (it == readerIds_.end()) {
        const CK_SLOT_ID id = nextSlotId_;
        auto slot = std::make_unique<CSlot>(*this, name, id);
        slots_.emplace(id, std::move(slot));
        it = readerIds_.emplace(name, id).first;
        ++nextSlotId_;
      }
      present.push_back(it->second);
    }
    present_ = std::move(present);
  }
  char* toFree = block;
  block = nullptr;
  if (api.FreeMemory(ctx, toFree) != SCARD_S_SUCCESS) throw Pkcs11Exception(CKR_HOST_MEMORY);
}

CSlot& CSlotManager::FindSlot(CK_SLOT_ID slotID) {
  Refresh();
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = slots_.find(slotID);
  if (it == slots_.end()) throw Pkcs11Exception(CKR_SLOT_ID_INVALID);
  return *it->second;
}

std::vector<CK_SLOT_ID> CSlotManager::PresentList() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return present_;
}

CSlot* CSlotManager::SlotOfReader(const std::string& readerName) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = readerIds_.find(readerName);
  return it == readerIds_.end() ? nullptr : slots_.at(it->second).get();
}

CK_RV CSlotManager::VanishedCardResult(CK_SLOT_ID slotID) {
  std::string reader;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = slots_.find(slotID);
    if (it == slots_.end()) return CKR_DEVICE_REMOVED;
    reader = it->second->ReaderName();
  }
  SCARD_READERSTATE state{};
  state.szReader = reader.c_str();
  state.dwCurrentState = SCARD_STATE_UNAWARE;
  const LONG rv = platform::Scard().GetStatusChange(Context(), 0, &state, 1);
  // A reader gone with its card counts as empty.
  if (rv == SCARD_E_UNKNOWN_READER) return CKR_TOKEN_NOT_PRESENT;
  if (rv != SCARD_S_SUCCESS) return CKR_DEVICE_REMOVED;
  return (state.dwEventState & SCARD_STATE_PRESENT) ? CKR_DEVICE_REMOVED : CKR_TOKEN_NOT_PRESENT;
}

CK_RV CSlotManager::GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR pSlotList,
                                CK_ULONG_PTR pulCount) {
  if (Context() == 0) throw Pkcs11Exception(CKR_CRYPTOKI_NOT_INITIALIZED);
  // A null count pointer cannot take the count: fail before any reader or
  // card is asked.
  if (!pulCount) return CKR_ARGUMENTS_BAD;
  Refresh();
  std::vector<CK_SLOT_ID> ids = PresentList();
  if (tokenPresent == CK_TRUE) {
    std::vector<CK_SLOT_ID> withToken;
    for (CK_SLOT_ID id : ids) {
      CSlot* slot;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        slot = slots_.at(id).get();
      }
      if (slot->TokenPresent()) withToken.push_back(id);
    }
    ids = std::move(withToken);
  }
  const CK_ULONG count = ids.size();
  if (!pSlotList) {
    *pulCount = count;
    return CKR_OK;
  }
  if (*pulCount < count) {
    *pulCount = count;
    return CKR_BUFFER_TOO_SMALL;
  }
  std::copy(ids.begin(), ids.end(), pSlotList);
  *pulCount = count;
  return CKR_OK;
}

void CSlotManager::GetSlotInfo(CK_SLOT_ID slotID, CK_SLOT_INFO_PTR pInfo) {
  if (Context() == 0) throw Pkcs11Exception(CKR_CRYPTOKI_NOT_INITIALIZED);
  if (!pInfo) throw Pkcs11Exception(CKR_ARGUMENTS_BAD);
  CSlot& slot = FindSlot(slotID);
  std::memset(pInfo, 0, sizeof *pInfo);
  PadText(pInfo->slotDescription, sizeof pInfo->slotDescription, slot.ReaderName());
  PadText(pInfo->manufacturerID, sizeof pInfo->manufacturerID, kReaderManufacturer);
  pInfo->flags = CKF_REMOVABLE_DEVICE | CKF_HW_SLOT;
  if (slot.TokenPresent()) pInfo->flags |= CKF_TOKEN_PRESENT;
}

LONG CSlotManager::WaitContext(SCARDCONTEXT* ctx) {
  std::lock_guard<std::mutex> lock(waitContextMutex_);
  *ctx = waitContext_.load();
  if (*ctx != 0) return SCARD_S_SUCCESS;
  const LONG rv = platform::Scard().EstablishContext(SCARD_SCOPE_USER, ctx);
  if (rv != SCARD_S_SUCCESS) {
    *ctx = 0;
    return rv;
  }
  waitContext_ = *ctx;
  return SCARD_S_SUCCESS;
}

void CSlotManager::CancelWait() {
  const SCARDCONTEXT ctx = waitContext_.load();
  if (ctx != 0) platform::Scard().Cancel(ctx);
}

LONG CSlotManager::WaitPass(SCARDCONTEXT waitContext, CK_SLOT_ID* slotID) {
  // One enumeration per pass; the copies are taken from that snapshot.
  Refresh(waitContext);
  std::vector<CSlot*> slots;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (CK_SLOT_ID id : present_) slots.push_back(slots_.at(id).get());
  }
  if (slots.empty()) {
    // Nothing to watch: wait as a pass would, then report no change.
    std::this_thread::sleep_for(std::chrono::milliseconds(kWaitPassMs));
    return SCARD_E_TIMEOUT;
  }
  std::vector<SCARD_READERSTATE> copies;
  copies.reserve(slots.size());
  for (CSlot* slot : slots) copies.push_back(slot->ReaderState());

  LONG rv = platform::Scard().GetStatusChange(waitContext, kWaitPassMs, copies.data(),
                                              static_cast<DWORD>(copies.size()));
  if (rv != SCARD_S_SUCCESS) return rv;

  for (std::size_t i = 0; i < copies.size(); ++i) {
    SCARD_READERSTATE& copy = copies[i];
    if (!(copy.dwEventState & SCARD_STATE_CHANGED)) continue;
    CSlot* slot = SlotOfReader(slots[i]->ReaderName());
    if (!slot) continue;
    *slotID = slot->Id();
    copy.dwCurrentState = copy.dwEventState & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
    slot->SetReaderState(copy);
    if (copy.dwCurrentState & SCARD_STATE_EMPTY) slot->ResetCardState();
    return SCARD_S_SUCCESS;
  }
  // A wake-up without a changed reader is no event to report.
  return SCARD_E_TIMEOUT;
}

CK_RV CSlotManager::WaitForSlotEvent(CK_FLAGS flags, CK_SLOT_ID_PTR pSlot,
                                     const std::function<bool()>& initialised) {
  if (!pSlot) return CKR_ARGUMENTS_BAD;
  if (Context() == 0) return CKR_CRYPTOKI_NOT_INITIALIZED;
  SCARDCONTEXT waitContext = 0;
  if (const LONG rv = WaitContext(&waitContext); rv != SCARD_S_SUCCESS) return MapPcscError(rv);
  for (;;) {
    if (!initialised()) return CKR_CRYPTOKI_NOT_INITIALIZED;
    CK_SLOT_ID id = 0;
    const LONG rv = WaitPass(waitContext, &id);
    if (rv == SCARD_S_SUCCESS) {
      *pSlot = id;
      return CKR_OK;
    }
    // A cancel is C_Finalize ending the wait; one left over from a finalise
    // with no wait running only ends this pass.
    if (rv != SCARD_E_TIMEOUT && rv != SCARD_E_CANCELLED) return MapPcscError(rv);
    if (flags & CKF_DONT_BLOCK) return CKR_NO_EVENT;
  }
}

}  // namespace zorbix::p11
