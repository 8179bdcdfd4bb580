// Programmable PC/SC stand-in for tests: readers, cards with an APDU
// responder, injected failures, a call log and status-change events.
#pragma once

#include "platform/scard.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace zorbix::testing {

using Bytes = std::vector<std::uint8_t>;

// Usage:
//   FakeScard fake;
//   platform::ScopedScardApi use(&fake);
//   fake.AddReader("Reader 0");
//   fake.InsertCard("Reader 0", atr, [](const Bytes& apdu) { return Bytes{0x90, 0x00}; });
//   fake.FailNext("Transmit", SCARD_W_REMOVED_CARD);
//
// Operation names for failures and counts are the ScardApi method names
// ("EstablishContext", "ListReaders", "GetStatusChange", "Connect", ...).
//
// Answers follow pcscd 2.x where the platform bench tests check it: an
// unknown reader name fails GetStatusChange with SCARD_E_UNKNOWN_READER, an
// empty state list succeeds at once, insertions and removals count in the
// event state's high word, a removed card gives SCARD_W_REMOVED_CARD until a
// Reconnect, a reset by another handle SCARD_W_RESET_CARD, a short receive
// buffer SCARD_E_INSUFFICIENT_BUFFER without the needed size.
class FakeScard : public platform::ScardApi {
 public:
  // Answers one command APDU with data + SW1 SW2.
  using Responder = std::function<Bytes(const Bytes& command)>;

  // Responders for simple cards. Scripted answers the exchanges in order and
  // reports a test failure on a command it did not expect (answering 6F 00);
  // Table answers by exact command, `otherwise` for the rest.
  static Responder Scripted(std::vector<std::pair<Bytes, Bytes>> exchanges);
  static Responder Table(std::map<Bytes, Bytes> answers, Bytes otherwise = {0x6D, 0x00});

  struct ApduRecord {
    std::string reader;
    Bytes command;
    Bytes response;
  };

  // One call as seen by the fake. `arg` is the share mode (Connect), the
  // initialisation (Reconnect), the disposition (Disconnect, EndTransaction)
  // or the time-out (GetStatusChange); 0 otherwise.
  struct CallRecord {
    std::string op;
    std::string reader;
    DWORD arg = 0;
    LONG rv = SCARD_S_SUCCESS;
  };

  // How a GetStatusChange that finds no change behaves.
  enum class WaitMode {
    Immediate,  // run the wait hook once, then SCARD_E_TIMEOUT without sleeping
    Real,       // block on a condition variable up to the time-out (for threads)
  };

  FakeScard();
  ~FakeScard() override;

  // --- Programming the readers and cards -------------------------------
  void AddReader(const std::string& name);
  void RemoveReader(const std::string& name);
  // Inserts (or replaces) the card; handles to a previous card go stale.
  void InsertCard(const std::string& reader, const Bytes& atr, Responder responder = nullptr);
  void RemoveCard(const std::string& reader);
  void SetResponder(const std::string& reader, Responder responder);
  // Called whenever the card is reset (reconnect or disconnect with reset or
  // unpower, end of transaction with reset), e.g. to drop a card session.
  void SetResetHandler(const std::string& reader, std::function<void()> onReset);
  // Protocol the card speaks (SCARD_PROTOCOL_T0 by default).
  void SetCardProtocol(const std::string& reader, DWORD protocol);
  // Extra event-state bits reported for the reader (e.g. SCARD_STATE_MUTE).
  void SetExtraStateFlags(const std::string& reader, DWORD flags);
  // Resets the card as another process would: other handles then get
  // SCARD_W_RESET_CARD until they reconnect.
  void ResetCardExternally(const std::string& reader);

  // Driver attributes answered by GetAttribRaw. Without an entry the driver
  // answers SCARD_E_UNSUPPORTED_FEATURE.
  void SetAttribute(const std::string& reader, DWORD attrId, const Bytes& value);
  void SetAttributeFailure(const std::string& reader, DWORD attrId, LONG rv);
  // Convenience: the driver answers the ATR and the friendly name itself.
  void AnswerStandardAttributes(const std::string& reader, const std::string& friendlyName);

  // --- Failures ----------------------------------------------------------
  // The next call of `op` fails with `rv` (queued: several FailNext stack up).
  void FailNext(const std::string& op, LONG rv);
  // Every call of `op` fails with `rv` until ClearFailures.
  void FailAlways(const std::string& op, LONG rv);
  void ClearFailures();

  // --- Status-change waits ----------------------------------------------
  void SetWaitMode(WaitMode mode);
  // Called (without the fake's lock) when a wait finds nothing changed, before
  // it gives up; it may insert or remove cards to make an event happen.
  // Immediate mode only.
  void SetWaitHook(std::function<void(FakeScard&)> hook);
  // pcscd adds SCARD_STATE_INUSE to the event state while any handle is
  // connected to the card, so connecting and disconnecting are status
  // changes too. Off by default here; switch on to see those events.
  void SetReportInUse(bool on);
  // What a wait on an empty reader-state list answers at once. pcscd 2.x
  // answers SCARD_S_SUCCESS without waiting (the default here).
  void SetEmptyWaitResult(LONG rv);

  // pcsc-lite serialises the calls of one context, and of the card handles
  // made on it: a call waits while another call on that context runs, a
  // blocking GetStatusChange included. Cancel is exempt (it is how a blocked
  // wait is ended). Off by default.
  void SetSerialiseContexts(bool on);
  // Calls that found their context busy and had to wait for it.
  std::size_t ContextWaits() const;
  // GetStatusChange calls blocked in a Real-mode wait right now.
  std::size_t BlockedWaits() const;

  // --- Card database -------------------------------------------------------
  // LocateCards/ListCards answer from the registered-card table
  // (platform/carddb.h); names registered here are searched before it.
  void RegisterCard(const std::string& name, const Bytes& atr, const Bytes& mask);

  // --- Inspection ----------------------------------------------------------
  std::vector<ApduRecord> Apdus() const;
  void ClearApdus();
  std::vector<CallRecord> Calls() const;
  std::size_t Count(const std::string& op) const;
  void ClearCalls();
  // Contexts established and not released; handles connected and not
  // disconnected; blocks allocated and not freed.
  std::size_t OpenContexts() const;
  std::size_t OpenHandles() const;
  std::size_t OutstandingAllocations() const;
  // Depth of open transactions on the reader's card, over all handles.
  int TransactionDepth(const std::string& reader) const;
  std::size_t ResetCount(const std::string& reader) const;

  // --- ScardApi ------------------------------------------------------------
  LONG EstablishContext(DWORD scope, SCARDCONTEXT* ctx) override;
  LONG ReleaseContext(SCARDCONTEXT ctx) override;
  LONG IsValidContext(SCARDCONTEXT ctx) override;
  LONG ListReaders(SCARDCONTEXT ctx, const char* groups, char* buf, DWORD* len) override;
  LONG GetStatusChange(SCARDCONTEXT ctx, DWORD timeoutMs, SCARD_READERSTATE* states,
                       DWORD count) override;
  LONG Cancel(SCARDCONTEXT ctx) override;
  LONG Connect(SCARDCONTEXT ctx, const char* reader, DWORD shareMode, DWORD protocols,
               SCARDHANDLE* card, DWORD* activeProtocol) override;
  LONG Reconnect(SCARDHANDLE card, DWORD shareMode, DWORD protocols, DWORD init,
                 DWORD* activeProtocol) override;
  LONG Disconnect(SCARDHANDLE card, DWORD disposition) override;
  LONG BeginTransaction(SCARDHANDLE card) override;
  LONG EndTransaction(SCARDHANDLE card, DWORD disposition) override;
  LONG Transmit(SCARDHANDLE card, const SCARD_IO_REQUEST* sendPci, const BYTE* send,
                DWORD sendLen, SCARD_IO_REQUEST* recvPci, BYTE* recv, DWORD* recvLen) override;
  LONG Status(SCARDHANDLE card, char* readerName, DWORD* readerLen, DWORD* state,
              DWORD* protocol, BYTE* atr, DWORD* atrLen) override;
  LONG GetAttribRaw(SCARDHANDLE card, DWORD attrId, BYTE* buf, DWORD* len) override;
  LONG FreeMemory(SCARDCONTEXT ctx, const void* mem) override;
  void* AllocateBlock(std::size_t n) override;
  LONG LocateCards(SCARDCONTEXT ctx, const char* cards, SCARD_READERSTATE* states,
                   DWORD count) override;
  LONG ListCards(SCARDCONTEXT ctx, const BYTE* atr, DWORD atrLen, std::string* names) override;

 private:
  struct Card {
    Bytes atr;
    Responder responder;
    std::function<void()> onReset;
    DWORD protocol = SCARD_PROTOCOL_T0;
    std::uint64_t id = 0;        // changes with every insertion
    std::uint64_t resets = 0;    // changes with every reset
    int transactionDepth = 0;
    SCARDHANDLE transactionOwner = 0;
  };
  struct Reader {
    std::string name;
    std::optional<Card> card;
    DWORD extraFlags = 0;
    DWORD events = 0;  // insertions and removals, reported in the high word
    std::map<DWORD, Bytes> attributes;
    std::map<DWORD, LONG> attributeFailures;
  };
  struct Handle {
    SCARDCONTEXT ctx = 0;
    std::string reader;
    std::uint64_t cardId = 0;
    std::uint64_t resetsSeen = 0;
    DWORD protocol = 0;
    int transactionDepth = 0;
  };
  struct Context {
    bool cancelled = false;
    int waiting = 0;  // GetStatusChange calls blocked on it
  };
  struct RegisteredName {
    std::string name;
    Bytes atr, mask;
  };

  // The turn of a context while serialising, nothing otherwise. Taken
  // before mu_, held for the whole call.
  struct ContextTurn {
    std::shared_ptr<std::mutex> mutex;
    std::unique_lock<std::mutex> lock;
  };
  ContextTurn TakeTurn(SCARDCONTEXT ctx);
  ContextTurn TakeHandleTurn(SCARDHANDLE card);

  // All called with mu_ held.
  LONG TakeFailure(const std::string& op);
  void Record(const std::string& op, const std::string& reader, DWORD arg, LONG rv);
  LONG Finish(const std::string& op, const std::string& reader, DWORD arg, LONG rv);
  Reader* FindReader(const std::string& name);
  const Reader* FindReader(const std::string& name) const;
  Reader& MustFindReader(const std::string& name);
  LONG CheckHandle(SCARDHANDLE h, Handle** handle, Reader** reader, bool allowReset = false);
  DWORD ReaderEventState(const Reader& r) const;
  bool FillStates(SCARD_READERSTATE* states, DWORD count);
  const char* FirstUnknownReader(const SCARD_READERSTATE* states, DWORD count) const;
  void ResetCard(Reader& r, SCARDHANDLE by);
  char* Allocate(std::size_t n);
  LONG ReturnBlock(const std::string& block, char* buf, DWORD* len);
  std::vector<std::string> NamesForAtr(const BYTE* atr, DWORD atrLen) const;

  mutable std::mutex mu_;
  std::condition_variable changed_;
  std::vector<Reader> readers_;
  std::map<SCARDCONTEXT, Context> contexts_;
  std::map<SCARDHANDLE, Handle> handles_;
  std::set<const void*> allocations_;
  std::map<std::string, std::deque<LONG>> failNext_;
  std::map<std::string, LONG> failAlways_;
  std::vector<ApduRecord> apdus_;
  std::vector<CallRecord> calls_;
  std::vector<RegisteredName> extraCards_;
  WaitMode waitMode_ = WaitMode::Immediate;
  std::function<void(FakeScard&)> waitHook_;
  LONG emptyWaitResult_ = SCARD_S_SUCCESS;
  bool reportInUse_ = false;
  bool serialise_ = false;
  std::map<SCARDCONTEXT, std::shared_ptr<std::mutex>> turns_;
  std::size_t contextWaits_ = 0;
  std::size_t blockedWaits_ = 0;
  SCARDCONTEXT nextContext_ = 0x1000;
  SCARDHANDLE nextHandle_ = 0x2000;
  std::uint64_t nextCardId_ = 1;
  std::uint64_t generation_ = 0;  // bumps on every change a waiter may see
};

}  // namespace zorbix::testing
