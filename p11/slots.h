// PC/SC readers as PKCS#11 slots: enumeration, stable IDs, card connection.
#pragma once

#include <PCSC/winscard.h>
#include <p11-kit/pkcs11.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zorbix::platform {
class NamedEvent;
}
namespace zorbix::p15 {
class CP15TokenInfo;
}

namespace zorbix::p11 {

class CExclusionMutua;
class CSlotManager;
class CTokenType;
class CTokenTypeConfig;

inline constexpr CK_SLOT_ID kFirstSlotId = 0x10000;

// One per reader name ever seen; lives until process exit.
class CSlot {
 public:
  CSlot(CSlotManager& manager, std::string readerName, CK_SLOT_ID id);
  ~CSlot();
  CSlot(const CSlot&) = delete;
  CSlot& operator=(const CSlot&) = delete;

  CK_SLOT_ID Id() const { return id_; }
  const std::string& ReaderName() const { return readerName_; }
  CSlotManager& Manager() const { return manager_; }

  SCARDHANDLE CardHandle() const;
  // Shared mode, T=0; reconnects with a card reset when already connected.
  void Connect();
  void Disconnect();
  // After a removal or a failed transmission: drop the connection and
  // everything cached about the card (type, TokenInfo, lock event).
  void ResetCardState();
  // A card of a recognised type is in the reader.
  bool TokenPresent();

  const CTokenType* TokenType() const;
  void SetTokenType(const CTokenType* type);
  unsigned EfCount() const;
  void SetEfCount(unsigned count);

  // A card taken out or swapped while the slot held no connection leaves no
  // trace on it, and its cache (type, TokenInfo, claim) would answer for the
  // card gone. Compares the reader's ATR and event count (PC/SC counts
  // insertions and removals) with those of the last look, resets the card
  // state when they differ, and remembers them. Nothing to do while
  // connected: the handle reports a removal itself.
  void ForgetSwappedCard();

  // The variant claim on this reader; replacing it closes the old one.
  void SetLockEvent(std::unique_ptr<platform::NamedEvent> event);
  bool HasLockEvent() const;

  // Use it under HoldCardState(): a removal seen by the wait thread resets it.
  p15::CP15TokenInfo& TokenInfo() { return *tokenInfo_; }
  // Keeps the card state (connection, type, TokenInfo) as it is for the
  // caller's steps; a reset from the wait thread waits until it goes.
  std::unique_lock<std::recursive_mutex> HoldCardState() const {
    return std::unique_lock<std::recursive_mutex>(mutex_);
  }
  // Set when reading TokenInfo failed other than by the end of its content.
  bool TokenNotRecognised() const;
  void SetTokenNotRecognised(bool mark);

  SCARD_READERSTATE ReaderState() const;
  void SetReaderState(const SCARD_READERSTATE& state);

 private:
  CSlotManager& manager_;
  const std::string readerName_;
  const CK_SLOT_ID id_;
  mutable std::recursive_mutex mutex_;  // the wait thread resets card state
  SCARDHANDLE card_ = 0;
  unsigned efCount_ = 0;
  const CTokenType* tokenType_ = nullptr;
  bool seen_ = false;
  std::vector<std::uint8_t> seenAtr_;
  std::uint32_t seenEvents_ = 0;
  std::unique_ptr<platform::NamedEvent> lockEvent_;
  const std::unique_ptr<p15::CP15TokenInfo> tokenInfo_;
  bool tokenNotRecognised_ = false;
  SCARD_READERSTATE readerState_{};
};

class CSlotManager {
 public:
  CSlotManager(const std::atomic<SCARDCONTEXT>& context, CExclusionMutua& guard,
               const CTokenTypeConfig& tokenTypes);
  ~CSlotManager();

  SCARDCONTEXT Context() const { return context_.load(); }
  CExclusionMutua& Guard() const { return guard_; }
  const CTokenTypeConfig& TokenTypes() const { return tokenTypes_; }

  // Re-enumerates the readers (on the module's context, or on `ctx`).
  void Refresh();
  void Refresh(SCARDCONTEXT ctx);
  // Refresh, then the slot of any reader ever seen; CKR_SLOT_ID_INVALID else.
  CSlot& FindSlot(CK_SLOT_ID slotID);
  // Slot IDs of the readers listed by the latest refresh, in platform order.
  std::vector<CK_SLOT_ID> PresentList() const;
  // Slot of a reader name seen before; null when never seen.
  CSlot* SlotOfReader(const std::string& readerName);

  // What a call without a session answers for a card that vanished under it
  // (CKR_SESSION_HANDLE_INVALID inside): CKR_TOKEN_NOT_PRESENT when the
  // reader is empty by now, CKR_DEVICE_REMOVED otherwise. A slot ID of 0 (no
  // slot in the call) only gives CKR_DEVICE_REMOVED.
  CK_RV VanishedCardResult(CK_SLOT_ID slotID);

  // Bodies of C_GetSlotList, C_GetSlotInfo and C_WaitForSlotEvent.
  CK_RV GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR pSlotList, CK_ULONG_PTR pulCount);
  void GetSlotInfo(CK_SLOT_ID slotID, CK_SLOT_INFO_PTR pInfo);
  // `initialised` is asked before every wait pass. The passes run on a PC/SC
  // context of their own: pcsc-lite serialises the calls of one context, and
  // a pass blocks for up to a second.
  CK_RV WaitForSlotEvent(CK_FLAGS flags, CK_SLOT_ID_PTR pSlot,
                         const std::function<bool()>& initialised);
  // Ends a wait pass blocked now (C_Finalize): SCardCancel on the wait's
  // context.
  void CancelWait();

 private:
  // One status-change wait over the present readers; a PC/SC status.
  LONG WaitPass(SCARDCONTEXT waitContext, CK_SLOT_ID* slotID);
  // The wait's context, established on first use and kept; a PC/SC status.
  LONG WaitContext(SCARDCONTEXT* ctx);

  const std::atomic<SCARDCONTEXT>& context_;
  CExclusionMutua& guard_;
  const CTokenTypeConfig& tokenTypes_;

  std::mutex waitContextMutex_;
  std::atomic<SCARDCONTEXT> waitContext_{0};

  mutable std::mutex mutex_;  // the maps and the present list
  std::map<std::string, CK_SLOT_ID> readerIds_;
  std::map<CK_SLOT_ID, std::unique_ptr<CSlot>> slots_;
  std::vector<CK_SLOT_ID> present_;
  CK_SLOT_ID nextSlotId_ = kFirstSlotId;
};

// Fills a blank-padded text field of a CK_ structure with valid UTF-8,
// cutting between characters at its size.
void PadText(CK_UTF8CHAR* field, std::size_t size, const std::string& text);

}  // namespace zorbix::p11
