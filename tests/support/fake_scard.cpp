// Programmable PC/SC stand-in for tests.
#include "tests/support/fake_scard.h"

#include "platform/carddb.h"
#include "tests/support/hex.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace zorbix::testing {
namespace {

constexpr const char* kPnpReader = "\\\\?PnP?\\Notification";

}  // namespace

FakeScard::Responder FakeScard::Scripted(std::vector<std::pair<Bytes, Bytes>> exchanges) {
  auto state = std::make_shared<std::pair<std::vector<std::pair<Bytes, Bytes>>, std::size_t>>(
      std::move(exchanges), 0);
  return [state](const Bytes& command) -> Bytes {
    auto& [script, next] = *state;
    if (next >= script.size()) {
      ADD_FAILURE() << "unexpected APDU after the script: " << ToHex(command);
      return {0x6F, 0x00};
    }
    const auto& [expected, answer] = script[next];
    if (command != expected) {
      ADD_FAILURE() << "APDU " << next << ": got " << ToHex(command) << ", expected "
                    << ToHex(expected);
      return {0x6F, 0x00};
    }
    ++next;
    return answer;
  };
}

FakeScard::Responder FakeScard::Table(std::map<Bytes, Bytes> answers, Bytes otherwise) {
  return [answers = std::move(answers), otherwise = std::move(otherwise)](const Bytes& command) {
    auto it = answers.find(command);
    return it != answers.end() ? it->second : otherwise;
  };
}

FakeScard::FakeScard() = default;

FakeScard::~FakeScard() {
  for (const void* p : allocations_) delete[] static_cast<const char*>(p);
}

// --- Programming --------------------------------------------------------

void FakeScard::AddReader(const std::string& name) {
  std::lock_guard<std::mutex> lock(mu_);
  if (FindReader(name)) return;
  Reader r;
  r.name = name;
  readers_.push_back(std::move(r));
  ++generation_;
  changed_.notify_all();
}

void FakeScard::RemoveReader(const std::string& name) {
  std::lock_guard<std::mutex> lock(mu_);
  readers_.erase(std::remove_if(readers_.begin(), readers_.end(),
                                [&](const Reader& r) { return r.name == name; }),
                 readers_.end());
  ++generation_;
  changed_.notify_all();
}

void FakeScard::InsertCard(const std::string& reader, const Bytes& atr, Responder responder) {
  std::lock_guard<std::mutex> lock(mu_);
  Reader& r = MustFindReader(reader);
  if (r.card) ++r.events;  // the old card leaves first
  Card c;
  c.atr = atr;
  c.responder = std::move(responder);
  c.id = nextCardId_++;
  r.card = std::move(c);
  ++r.events;
  ++generation_;
  changed_.notify_all();
}

void FakeScard::RemoveCard(const std::string& reader) {
  std::lock_guard<std::mutex> lock(mu_);
  Reader& r = MustFindReader(reader);
  if (!r.card) return;
  r.card.reset();
  ++r.events;
  ++generation_;
  changed_.notify_all();
}

void FakeScard::SetResponder(const std::string& reader, Responder responder) {
  std::lock_guard<std::mutex> lock(mu_);
  Reader& r = MustFindReader(reader);
  if (!r.card) throw std::logic_error("FakeScard: no card in " + reader);
  r.card->responder = std::move(responder);
}

void FakeScard::SetResetHandler(const std::string& reader, std::function<void()> onReset) {
  std::lock_guard<std::mutex> lock(mu_);
  Reader& r = MustFindReader(reader);
  if (!r.card) throw std::logic_error("FakeScard: no card in " + reader);
  r.card->onReset = std::move(onReset);
}

void FakeScard::SetCardProtocol(const std::string& reader, DWORD protocol) {
  std::lock_guard<std::mutex> lock(mu_);
  Reader& r = MustFindReader(reader);
  if (!r.card) throw std::logic_error("FakeScard: no card in " + reader);
  r.card->protocol = protocol;
}

void FakeScard::SetExtraStateFlags(const std::string& reader, DWORD flags) {
  std::lock_guard<std::mutex> lock(mu_);
  MustFindReader(reader).extraFlags = flags;
  ++generation_;
  changed_.notify_all();
}

void FakeScard::ResetCardExternally(const std::string& reader) {
  std::lock_guard<std::mutex> lock(mu_);
  Reader& r = MustFindReader(reader);
  if (r.card) ResetCard(r, 0);
}

void FakeScard::SetAttribute(const std::string& reader, DWORD attrId, const Bytes& value) {
  std::lock_guard<std::mutex> lock(mu_);
  Reader& r = MustFindReader(reader);
  r.attributes[attrId] = value;
  r.attributeFailures.erase(attrId);
}

void FakeScard::SetAttributeFailure(const std::string& reader, DWORD attrId, LONG rv) {
  std::lock_guard<std::mutex> lock(mu_);
  MustFindReader(reader).attributeFailures[attrId] = rv;
}

void FakeScard::AnswerStandardAttributes(const std::string& reader,
                                         const std::string& friendlyName) {
  Bytes name(friendlyName.begin(), friendlyName.end());
  name.push_back(0);
  SetAttribute(reader, platform::kAttrDeviceFriendlyNameA, name);
  std::lock_guard<std::mutex> lock(mu_);
  // Empty entry: answered from the current card.
  MustFindReader(reader).attributes[platform::kAttrAtrString] = Bytes{};
}

// --- Failures -----------------------------------------------------------

void FakeScard::FailNext(const std::string& op, LONG rv) {
  std::lock_guard<std::mutex> lock(mu_);
  failNext_[op].push_back(rv);
}

void FakeScard::FailAlways(const std::string& op, LONG rv) {
  std::lock_guard<std::mutex> lock(mu_);
  failAlways_[op] = rv;
}

void FakeScard::ClearFailures() {
  std::lock_guard<std::mutex> lock(mu_);
  failNext_.clear();
  failAlways_.clear();
}

void FakeScard::SetWaitMode(WaitMode mode) {
  std::lock_guard<std::mutex> lock(mu_);
  waitMode_ = mode;
}

void FakeScard::SetWaitHook(std::function<void(FakeScard&)> hook) {
  std::lock_guard<std::mutex> lock(mu_);
  waitHook_ = std::move(hook);
}

void FakeScard::SetReportInUse(bool on) {
  std::lock_guard<std::mutex> lock(mu_);
  reportInUse_ = on;
}

void FakeScard::SetEmptyWaitResult(LONG rv) {
  std::lock_guard<std::mutex> lock(mu_);
  emptyWaitResult_ = rv;
}

void FakeScard::RegisterCard(const std::string& name, const Bytes& atr, const Bytes& mask) {
  std::lock_guard<std::mutex> lock(mu_);
  extraCards_.push_back({name, atr, mask});
}

// --- Inspection ---------------------------------------------------------

std::vector<FakeScard::ApduRecord> FakeScard::Apdus() const {
  std::lock_guard<std::mutex> lock(mu_);
  return apdus_;
}

void FakeScard::ClearApdus() {
  std::lock_guard<std::mutex> lock(mu_);
  apdus_.clear();
}

std::vector<FakeScard::CallRecord> FakeScard::Calls() const {
  std::lock_guard<std::mutex> lock(mu_);
  return calls_;
}

std::size_t FakeScard::Count(const std::string& op) const {
  std::lock_guard<std::mutex> lock(mu_);
  return static_cast<std::size_t>(
      std::count_if(calls_.begin(), calls_.end(), [&](const CallRecord& c) { return c.op == op; }));
}

void FakeScard::ClearCalls() {
  std::lock_guard<std::mutex> lock(mu_);
  calls_.clear();
}

std::size_t FakeScard::OpenContexts() const {
  std::lock_guard<std::mutex> lock(mu_);
  return contexts_.size();
}

std::size_t FakeScard::OpenHandles() const {
  std::lock_guard<std::mutex> lock(mu_);
  return handles_.size();
}

std::size_t FakeScard::OutstandingAllocations() const {
  std::lock_guard<std::mutex> lock(mu_);
  return allocations_.size();
}

int FakeScard::TransactionDepth(const std::string& reader) const {
  std::lock_guard<std::mutex> lock(mu_);
  const Reader* r = FindReader(reader);
  return r && r->card ? r->card->transactionDepth : 0;
}

std::size_t FakeScard::ResetCount(const std::string& reader) const {
  std::lock_guard<std::mutex> lock(mu_);
  const Reader* r = FindReader(reader);
  return r && r->card ? static_cast<std::size_t>(r->card->resets) : 0;
}

// --- Helpers ------------------------------------------------------------

LONG FakeScard::TakeFailure(const std::string& op) {
  auto it = failNext_.find(op);
  if (it != failNext_.end() && !it->second.empty()) {
    LONG rv = it->second.front();
    it->second.pop_front();
    return rv;
  }
  auto always = failAlways_.find(op);
  if (always != failAlways_.end()) return always->second;
  return SCARD_S_SUCCESS;
}

void FakeScard::Record(const std::string& op, const std::string& reader, DWORD arg, LONG rv) {
  calls_.push_back({op, reader, arg, rv});
}

LONG FakeScard::Finish(const std::string& op, const std::string& reader, DWORD arg, LONG rv) {
  Record(op, reader, arg, rv);
  return rv;
}

FakeScard::Reader* FakeScard::FindReader(const std::string& name) {
  for (auto& r : readers_)
    if (r.name == name) return &r;
  return nullptr;
}

const FakeScard::Reader* FakeScard::FindReader(const std::string& name) const {
  for (const auto& r : readers_)
    if (r.name == name) return &r;
  return nullptr;
}

FakeScard::Reader& FakeScard::MustFindReader(const std::string& name) {
  Reader* r = FindReader(name);
  if (!r) throw std::logic_error("FakeScard: no reader " + name);
  return *r;
}

LONG FakeScard::CheckHandle(SCARDHANDLE h, Handle** handle, Reader** reader, bool allowReset) {
  auto it = handles_.find(h);
  if (it == handles_.end()) return SCARD_E_INVALID_HANDLE;
  *handle = &it->second;
  Reader* r = FindReader(it->second.reader);
  if (!r) return SCARD_E_READER_UNAVAILABLE;
  *reader = r;
  if (!r->card || r->card->id != it->second.cardId) return SCARD_W_REMOVED_CARD;
  if (!allowReset && r->card->resets != it->second.resetsSeen) return SCARD_W_RESET_CARD;
  return SCARD_S_SUCCESS;
}

DWORD FakeScard::ReaderEventState(const Reader& r) const {
  DWORD s = r.card ? SCARD_STATE_PRESENT : SCARD_STATE_EMPTY;
  if (reportInUse_ && r.card) {
    for (const auto& [h, handle] : handles_) {
      if (handle.reader == r.name && handle.cardId == r.card->id) {
        s |= SCARD_STATE_INUSE;
        break;
      }
    }
  }
  s |= r.extraFlags;
  return s | (r.events << 16);
}

const char* FakeScard::FirstUnknownReader(const SCARD_READERSTATE* states, DWORD count) const {
  for (DWORD i = 0; i < count; ++i) {
    const char* name = states[i].szReader ? states[i].szReader : "";
    if (!(states[i].dwCurrentState & SCARD_STATE_IGNORE) && std::strcmp(name, kPnpReader) != 0 &&
        !FindReader(name))
      return name;
  }
  return nullptr;
}

// Fills event states; true when any entry changed.
bool FakeScard::FillStates(SCARD_READERSTATE* states, DWORD count) {
  bool any = false;
  for (DWORD i = 0; i < count; ++i) {
    SCARD_READERSTATE& s = states[i];
    const DWORD current = s.dwCurrentState;
    if (current & SCARD_STATE_IGNORE) {
      s.dwEventState = SCARD_STATE_IGNORE;
      continue;
    }
    const std::string name = s.szReader ? s.szReader : "";
    DWORD event;
    if (name == kPnpReader) {
      event = static_cast<DWORD>(readers_.size()) << 16;
      s.cbAtr = 0;
    } else if (const Reader* r = FindReader(name)) {
      event = ReaderEventState(*r);
      if (r->card) {
        s.cbAtr = static_cast<DWORD>(std::min(r->card->atr.size(), sizeof(s.rgbAtr)));
        std::memcpy(s.rgbAtr, r->card->atr.data(), s.cbAtr);
      } else {
        s.cbAtr = 0;
      }
    } else {
      // Unreachable: GetStatusChange refuses unknown names first.
      event = SCARD_STATE_UNKNOWN;
      s.cbAtr = 0;
    }
    bool changed;
    if (current == SCARD_STATE_UNAWARE) {
      changed = true;
    } else if (name == kPnpReader) {
      changed = (current >> 16) != (event >> 16);
    } else {
      const DWORD flags = 0xFFFF & ~DWORD{SCARD_STATE_CHANGED};
      changed = (current & flags) != (event & flags) ||
                ((current >> 16) != 0 && (current >> 16) != (event >> 16));
    }
    if (changed) {
      event |= SCARD_STATE_CHANGED;
      any = true;
    }
    s.dwEventState = event;
  }
  return any;
}

void FakeScard::ResetCard(Reader& r, SCARDHANDLE by) {
  ++r.card->resets;
  r.card->transactionDepth = 0;
  r.card->transactionOwner = 0;
  for (auto& [h, handle] : handles_) {
    if (h == by && handle.cardId == r.card->id) handle.resetsSeen = r.card->resets;
    if (handle.reader == r.name) handle.transactionDepth = 0;
  }
  if (r.card->onReset) r.card->onReset();
}

char* FakeScard::Allocate(std::size_t n) {
  char* p = new char[n];
  allocations_.insert(p);
  return p;
}

LONG FakeScard::ReturnBlock(const std::string& block, char* buf, DWORD* len) {
  if (!len) return SCARD_E_INVALID_PARAMETER;
  const DWORD need = static_cast<DWORD>(block.size());
  if (*len == SCARD_AUTOALLOCATE) {
    if (!buf) return SCARD_E_INVALID_PARAMETER;
    char* p = Allocate(block.size());
    std::memcpy(p, block.data(), block.size());
    *reinterpret_cast<char**>(buf) = p;
    *len = need;
    return SCARD_S_SUCCESS;
  }
  if (!buf) {
    *len = need;
    return SCARD_S_SUCCESS;
  }
  if (*len < need) {
    *len = need;
    return SCARD_E_INSUFFICIENT_BUFFER;
  }
  std::memcpy(buf, block.data(), block.size());
  *len = need;
  return SCARD_S_SUCCESS;
}

std::vector<std::string> FakeScard::NamesForAtr(const BYTE* atr, DWORD atrLen) const {
  std::vector<platform::RegisteredCard> table;
  for (const auto& e : extraCards_) table.push_back({e.name, e.atr, e.mask});
  for (const auto& c : platform::RegisteredCards()) table.push_back(c);
  return platform::CardNamesForAtr(table, atr, atrLen);
}

// --- ScardApi -----------------------------------------------------------

void FakeScard::SetSerialiseContexts(bool on) {
  std::lock_guard<std::mutex> lock(mu_);
  serialise_ = on;
}

std::size_t FakeScard::ContextWaits() const {
  std::lock_guard<std::mutex> lock(mu_);
  return contextWaits_;
}

std::size_t FakeScard::BlockedWaits() const {
  std::lock_guard<std::mutex> lock(mu_);
  return blockedWaits_;
}

FakeScard::ContextTurn FakeScard::TakeTurn(SCARDCONTEXT ctx) {
  ContextTurn turn;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!serialise_) return turn;
    auto& m = turns_[ctx];
    if (!m) m = std::make_shared<std::mutex>();
    turn.mutex = m;
  }
  turn.lock = std::unique_lock<std::mutex>(*turn.mutex, std::try_to_lock);
  if (!turn.lock.owns_lock()) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      ++contextWaits_;
    }
    turn.lock.lock();
  }
  return turn;
}

FakeScard::ContextTurn FakeScard::TakeHandleTurn(SCARDHANDLE card) {
  SCARDCONTEXT ctx = 0;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!serialise_) return {};
    auto it = handles_.find(card);
    if (it == handles_.end()) return {};
    ctx = it->second.ctx;
  }
  return TakeTurn(ctx);
}

LONG FakeScard::EstablishContext(DWORD scope, SCARDCONTEXT* ctx) {
  std::lock_guard<std::mutex> lock(mu_);
  if (LONG rv = TakeFailure("EstablishContext")) return Finish("EstablishContext", "", scope, rv);
  if (!ctx) return Finish("EstablishContext", "", scope, SCARD_E_INVALID_PARAMETER);
  *ctx = nextContext_++;
  contexts_[*ctx] = Context{};
  return Finish("EstablishContext", "", scope, SCARD_S_SUCCESS);
}

LONG FakeScard::ReleaseContext(SCARDCONTEXT ctx) {
  std::lock_guard<std::mutex> lock(mu_);
  if (LONG rv = TakeFailure("ReleaseContext")) return Finish("ReleaseContext", "", 0, rv);
  if (!contexts_.erase(ctx)) return Finish("ReleaseContext", "", 0, SCARD_E_INVALID_HANDLE);
  // Like pcscd: the context's card handles go with it.
  for (auto it = handles_.begin(); it != handles_.end();) {
    if (it->second.ctx == ctx) {
      if (Reader* r = FindReader(it->second.reader); r && r->card &&
                                                      r->card->transactionOwner == it->first) {
        r->card->transactionDepth = 0;
        r->card->transactionOwner = 0;
      }
      it = handles_.erase(it);
    } else {
      ++it;
    }
  }
  ++generation_;
  changed_.notify_all();
  return Finish("ReleaseContext", "", 0, SCARD_S_SUCCESS);
}

LONG FakeScard::IsValidContext(SCARDCONTEXT ctx) {
  std::lock_guard<std::mutex> lock(mu_);
  if (LONG rv = TakeFailure("IsValidContext")) return Finish("IsValidContext", "", 0, rv);
  return Finish("IsValidContext", "", 0,
                contexts_.count(ctx) ? SCARD_S_SUCCESS : SCARD_E_INVALID_HANDLE);
}

LONG FakeScard::ListReaders(SCARDCONTEXT ctx, const char* /*groups*/, char* buf, DWORD* len) {
  const ContextTurn turn = TakeTurn(ctx);
  std::lock_guard<std::mutex> lock(mu_);
  if (LONG rv = TakeFailure("ListReaders")) return Finish("ListReaders", "", 0, rv);
  if (!contexts_.count(ctx)) return Finish("ListReaders", "", 0, SCARD_E_INVALID_HANDLE);
  if (readers_.empty()) return Finish("ListReaders", "", 0, SCARD_E_NO_READERS_AVAILABLE);
  std::string block;
  for (const auto& r : readers_) {
    block += r.name;
    block.push_back('\0');
  }
  block.push_back('\0');
  return Finish("ListReaders", "", 0, ReturnBlock(block, buf, len));
}

LONG FakeScard::GetStatusChange(SCARDCONTEXT ctx, DWORD timeoutMs, SCARD_READERSTATE* states,
                                DWORD count) {
  const ContextTurn turn = TakeTurn(ctx);
  std::unique_lock<std::mutex> lock(mu_);
  if (LONG rv = TakeFailure("GetStatusChange")) return Finish("GetStatusChange", "", timeoutMs, rv);
  auto ctxIt = contexts_.find(ctx);
  if (ctxIt == contexts_.end()) return Finish("GetStatusChange", "", timeoutMs, SCARD_E_INVALID_HANDLE);
  if (count > 0 && !states) return Finish("GetStatusChange", "", timeoutMs, SCARD_E_INVALID_PARAMETER);
  if (count == 0) return Finish("GetStatusChange", "", timeoutMs, emptyWaitResult_);
  // pcscd refuses the whole call for one name it does not know.
  if (const char* unknown = FirstUnknownReader(states, count))
    return Finish("GetStatusChange", unknown, timeoutMs, SCARD_E_UNKNOWN_READER);

  if (FillStates(states, count)) return Finish("GetStatusChange", "", timeoutMs, SCARD_S_SUCCESS);
  if (timeoutMs == 0) return Finish("GetStatusChange", "", timeoutMs, SCARD_E_TIMEOUT);

  if (waitMode_ == WaitMode::Immediate) {
    if (ctxIt->second.cancelled) {
      ctxIt->second.cancelled = false;
      return Finish("GetStatusChange", "", timeoutMs, SCARD_E_CANCELLED);
    }
    auto hook = waitHook_;
    if (hook) {
      lock.unlock();
      hook(*this);
      lock.lock();
      if (!contexts_.count(ctx)) return Finish("GetStatusChange", "", timeoutMs, SCARD_E_INVALID_HANDLE);
      if (const char* unknown = FirstUnknownReader(states, count))
        return Finish("GetStatusChange", unknown, timeoutMs, SCARD_E_UNKNOWN_READER);
      if (FillStates(states, count)) return Finish("GetStatusChange", "", timeoutMs, SCARD_S_SUCCESS);
    }
    return Finish("GetStatusChange", "", timeoutMs, SCARD_E_TIMEOUT);
  }

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    auto it = contexts_.find(ctx);
    if (it == contexts_.end()) return Finish("GetStatusChange", "", timeoutMs, SCARD_E_INVALID_HANDLE);
    if (it->second.cancelled) {
      it->second.cancelled = false;
      return Finish("GetStatusChange", "", timeoutMs, SCARD_E_CANCELLED);
    }
    if (const char* unknown = FirstUnknownReader(states, count))
      return Finish("GetStatusChange", unknown, timeoutMs, SCARD_E_UNKNOWN_READER);
    if (FillStates(states, count)) return Finish("GetStatusChange", "", timeoutMs, SCARD_S_SUCCESS);
    const std::uint64_t seen = generation_;
    auto woke = [&] {
      auto c = contexts_.find(ctx);
      return generation_ != seen || c == contexts_.end() || c->second.cancelled;
    };
    ++blockedWaits_;
    ++it->second.waiting;
    bool woken = true;
    if (timeoutMs == INFINITE) {
      changed_.wait(lock, woke);
    } else {
      woken = changed_.wait_until(lock, deadline, woke);
    }
    --blockedWaits_;
    if (auto c = contexts_.find(ctx); c != contexts_.end()) --c->second.waiting;
    if (!woken) return Finish("GetStatusChange", "", timeoutMs, SCARD_E_TIMEOUT);
  }
}

LONG FakeScard::Cancel(SCARDCONTEXT ctx) {
  std::lock_guard<std::mutex> lock(mu_);
  if (LONG rv = TakeFailure("Cancel")) return Finish("Cancel", "", 0, rv);
  auto it = contexts_.find(ctx);
  if (it == contexts_.end()) return Finish("Cancel", "", 0, SCARD_E_INVALID_HANDLE);
  // Like pcsc-lite: only a wait blocked now is ended; with none, nothing
  // is kept for the next one.
  if (it->second.waiting > 0) it->second.cancelled = true;
  changed_.notify_all();
  return Finish("Cancel", "", 0, SCARD_S_SUCCESS);
}

LONG FakeScard::Connect(SCARDCONTEXT ctx, const char* reader, DWORD shareMode, DWORD protocols,
                        SCARDHANDLE* card, DWORD* activeProtocol) {
  const ContextTurn turn = TakeTurn(ctx);
  std::lock_guard<std::mutex> lock(mu_);
  const std::string name = reader ? reader : "";
  if (LONG rv = TakeFailure("Connect")) return Finish("Connect", name, shareMode, rv);
  if (!contexts_.count(ctx)) return Finish("Connect", name, shareMode, SCARD_E_INVALID_HANDLE);
  if (!reader || !card) return Finish("Connect", name, shareMode, SCARD_E_INVALID_PARAMETER);
  Reader* r = FindReader(name);
  if (!r) return Finish("Connect", name, shareMode, SCARD_E_UNKNOWN_READER);
  if (!r->card) return Finish("Connect", name, shareMode, SCARD_E_NO_SMARTCARD);
  if (shareMode != SCARD_SHARE_DIRECT && !(protocols & r->card->protocol))
    return Finish("Connect", name, shareMode, SCARD_E_PROTO_MISMATCH);
  Handle h;
  h.ctx = ctx;
  h.reader = name;
  h.cardId = r->card->id;
  h.resetsSeen = r->card->resets;
  h.protocol = r->card->protocol;
  *card = nextHandle_++;
  handles_[*card] = h;
  ++generation_;
  changed_.notify_all();
  if (activeProtocol) *activeProtocol = h.protocol;
  return Finish("Connect", name, shareMode, SCARD_S_SUCCESS);
}

LONG FakeScard::Reconnect(SCARDHANDLE card, DWORD shareMode, DWORD protocols, DWORD init,
                          DWORD* activeProtocol) {
  const ContextTurn turn = TakeHandleTurn(card);
  std::lock_guard<std::mutex> lock(mu_);
  auto it = handles_.find(card);
  const std::string name = it != handles_.end() ? it->second.reader : "";
  if (LONG rv = TakeFailure("Reconnect")) return Finish("Reconnect", name, init, rv);
  if (it == handles_.end()) return Finish("Reconnect", name, init, SCARD_E_INVALID_HANDLE);
  Reader* r = FindReader(name);
  if (!r) return Finish("Reconnect", name, init, SCARD_E_READER_UNAVAILABLE);
  if (!r->card) return Finish("Reconnect", name, init, SCARD_E_NO_SMARTCARD);
  if (!(protocols & r->card->protocol)) return Finish("Reconnect", name, init, SCARD_E_PROTO_MISMATCH);
  (void)shareMode;
  Handle& h = it->second;
  const bool newCard = h.cardId != r->card->id;
  h.cardId = r->card->id;
  h.protocol = r->card->protocol;
  if (h.transactionDepth > 0 && r->card->transactionOwner == card) {
    r->card->transactionDepth -= h.transactionDepth;
    if (r->card->transactionDepth <= 0) r->card->transactionOwner = 0;
  }
  h.transactionDepth = 0;
  if (init == SCARD_RESET_CARD || init == SCARD_UNPOWER_CARD) {
    ResetCard(*r, card);
  }
  h.resetsSeen = r->card->resets;
  (void)newCard;
  if (activeProtocol) *activeProtocol = h.protocol;
  return Finish("Reconnect", name, init, SCARD_S_SUCCESS);
}

LONG FakeScard::Disconnect(SCARDHANDLE card, DWORD disposition) {
  const ContextTurn turn = TakeHandleTurn(card);
  std::lock_guard<std::mutex> lock(mu_);
  auto it = handles_.find(card);
  const std::string name = it != handles_.end() ? it->second.reader : "";
  if (LONG rv = TakeFailure("Disconnect")) return Finish("Disconnect", name, disposition, rv);
  if (it == handles_.end()) return Finish("Disconnect", name, disposition, SCARD_E_INVALID_HANDLE);
  Reader* r = FindReader(name);
  if (r && r->card && r->card->id == it->second.cardId) {
    if (r->card->transactionOwner == card) {
      r->card->transactionDepth = 0;
      r->card->transactionOwner = 0;
    }
    if (disposition == SCARD_RESET_CARD || disposition == SCARD_UNPOWER_CARD) ResetCard(*r, 0);
  }
  handles_.erase(it);
  ++generation_;
  changed_.notify_all();
  return Finish("Disconnect", name, disposition, SCARD_S_SUCCESS);
}

LONG FakeScard::BeginTransaction(SCARDHANDLE card) {
  const ContextTurn turn = TakeHandleTurn(card);
  std::lock_guard<std::mutex> lock(mu_);
  Handle* h = nullptr;
  Reader* r = nullptr;
  LONG rv = CheckHandle(card, &h, &r);
  const std::string name = h ? h->reader : "";
  if (LONG f = TakeFailure("BeginTransaction")) return Finish("BeginTransaction", name, 0, f);
  if (rv != SCARD_S_SUCCESS) return Finish("BeginTransaction", name, 0, rv);
  // Another handle holding the transaction would block in pcscd; a test that
  // gets here has a bookkeeping fault, so tell it plainly.
  if (r->card->transactionOwner != 0 && r->card->transactionOwner != card)
    return Finish("BeginTransaction", name, 0, SCARD_E_SHARING_VIOLATION);
  r->card->transactionOwner = card;
  ++r->card->transactionDepth;
  ++h->transactionDepth;
  return Finish("BeginTransaction", name, 0, SCARD_S_SUCCESS);
}

LONG FakeScard::EndTransaction(SCARDHANDLE card, DWORD disposition) {
  const ContextTurn turn = TakeHandleTurn(card);
  std::lock_guard<std::mutex> lock(mu_);
  Handle* h = nullptr;
  Reader* r = nullptr;
  LONG rv = CheckHandle(card, &h, &r);
  const std::string name = h ? h->reader : "";
  if (LONG f = TakeFailure("EndTransaction")) return Finish("EndTransaction", name, disposition, f);
  if (rv != SCARD_S_SUCCESS) return Finish("EndTransaction", name, disposition, rv);
  if (h->transactionDepth == 0 || r->card->transactionOwner != card)
    return Finish("EndTransaction", name, disposition, SCARD_E_NOT_TRANSACTED);
  --h->transactionDepth;
  if (--r->card->transactionDepth == 0) r->card->transactionOwner = 0;
  if (disposition == SCARD_RESET_CARD || disposition == SCARD_UNPOWER_CARD) ResetCard(*r, card);
  return Finish("EndTransaction", name, disposition, SCARD_S_SUCCESS);
}

LONG FakeScard::Transmit(SCARDHANDLE card, const SCARD_IO_REQUEST* /*sendPci*/, const BYTE* send,
                         DWORD sendLen, SCARD_IO_REQUEST* recvPci, BYTE* recv, DWORD* recvLen) {
  const ContextTurn turn = TakeHandleTurn(card);
  std::unique_lock<std::mutex> lock(mu_);
  Handle* h = nullptr;
  Reader* r = nullptr;
  LONG rv = CheckHandle(card, &h, &r);
  const std::string name = h ? h->reader : "";
  if (LONG f = TakeFailure("Transmit")) return Finish("Transmit", name, 0, f);
  if (rv != SCARD_S_SUCCESS) return Finish("Transmit", name, 0, rv);
  if (!send || sendLen == 0 || !recvLen) return Finish("Transmit", name, 0, SCARD_E_INVALID_PARAMETER);
  Bytes command(send, send + sendLen);
  Responder responder = r->card->responder;
  // The responder may be a whole card engine: run it without the lock.
  lock.unlock();
  Bytes response = responder ? responder(command) : Bytes{0x6D, 0x00};
  lock.lock();
  apdus_.push_back({name, command, response});
  if (recvPci) recvPci->dwProtocol = h ? h->protocol : SCARD_PROTOCOL_T0;
  // Like pcscd: a short buffer is refused without telling the size.
  if (!recv || *recvLen < response.size()) return Finish("Transmit", name, 0, SCARD_E_INSUFFICIENT_BUFFER);
  std::memcpy(recv, response.data(), response.size());
  *recvLen = static_cast<DWORD>(response.size());
  return Finish("Transmit", name, 0, SCARD_S_SUCCESS);
}

LONG FakeScard::Status(SCARDHANDLE card, char* readerName, DWORD* readerLen, DWORD* state,
                       DWORD* protocol, BYTE* atr, DWORD* atrLen) {
  const ContextTurn turn = TakeHandleTurn(card);
  std::lock_guard<std::mutex> lock(mu_);
  Handle* h = nullptr;
  Reader* r = nullptr;
  LONG rv = CheckHandle(card, &h, &r);
  const std::string name = h ? h->reader : "";
  if (LONG f = TakeFailure("Status")) return Finish("Status", name, 0, f);
  if (rv != SCARD_S_SUCCESS) return Finish("Status", name, 0, rv);
  if (state) *state = SCARD_PRESENT | SCARD_POWERED | SCARD_NEGOTIABLE;
  if (protocol) *protocol = h->protocol;
  if (readerLen) {
    std::string block = name;
    block.push_back('\0');
    LONG nrv = ReturnBlock(block, readerName, readerLen);
    if (nrv != SCARD_S_SUCCESS) return Finish("Status", name, 0, nrv);
  }
  if (atrLen) {
    const Bytes& a = r->card->atr;
    if (*atrLen == SCARD_AUTOALLOCATE) {
      if (!atr) return Finish("Status", name, 0, SCARD_E_INVALID_PARAMETER);
      char* p = Allocate(a.size());
      std::memcpy(p, a.data(), a.size());
      *reinterpret_cast<BYTE**>(atr) = reinterpret_cast<BYTE*>(p);
    } else if (atr) {
      if (*atrLen < a.size()) {
        *atrLen = static_cast<DWORD>(a.size());
        return Finish("Status", name, 0, SCARD_E_INSUFFICIENT_BUFFER);
      }
      std::memcpy(atr, a.data(), a.size());
    }
    *atrLen = static_cast<DWORD>(a.size());
  }
  return Finish("Status", name, 0, SCARD_S_SUCCESS);
}

LONG FakeScard::GetAttribRaw(SCARDHANDLE card, DWORD attrId, BYTE* buf, DWORD* len) {
  const ContextTurn turn = TakeHandleTurn(card);
  std::lock_guard<std::mutex> lock(mu_);
  Handle* h = nullptr;
  Reader* r = nullptr;
  LONG rv = CheckHandle(card, &h, &r);
  const std::string name = h ? h->reader : "";
  if (LONG f = TakeFailure("GetAttribRaw")) return Finish("GetAttribRaw", name, attrId, f);
  if (rv != SCARD_S_SUCCESS) return Finish("GetAttribRaw", name, attrId, rv);
  if (auto f = r->attributeFailures.find(attrId); f != r->attributeFailures.end())
    return Finish("GetAttribRaw", name, attrId, f->second);
  auto a = r->attributes.find(attrId);
  if (a == r->attributes.end()) return Finish("GetAttribRaw", name, attrId, SCARD_E_UNSUPPORTED_FEATURE);
  Bytes value = a->second;
  if (attrId == platform::kAttrAtrString && value.empty()) value = r->card->atr;
  std::string block(value.begin(), value.end());
  return Finish("GetAttribRaw", name, attrId, ReturnBlock(block, reinterpret_cast<char*>(buf), len));
}

LONG FakeScard::FreeMemory(SCARDCONTEXT /*ctx*/, const void* mem) {
  std::lock_guard<std::mutex> lock(mu_);
  if (LONG rv = TakeFailure("FreeMemory")) return Finish("FreeMemory", "", 0, rv);
  auto it = allocations_.find(mem);
  if (it == allocations_.end()) return Finish("FreeMemory", "", 0, SCARD_E_INVALID_PARAMETER);
  delete[] static_cast<const char*>(mem);
  allocations_.erase(it);
  return Finish("FreeMemory", "", 0, SCARD_S_SUCCESS);
}

void* FakeScard::AllocateBlock(std::size_t n) {
  std::lock_guard<std::mutex> lock(mu_);
  return Allocate(n ? n : 1);
}

LONG FakeScard::LocateCards(SCARDCONTEXT ctx, const char* cards, SCARD_READERSTATE* states,
                            DWORD count) {
  const ContextTurn turn = TakeTurn(ctx);
  std::vector<platform::RegisteredCard> table;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (LONG rv = TakeFailure("LocateCards")) return Finish("LocateCards", "", 0, rv);
    if (!contexts_.count(ctx)) return Finish("LocateCards", "", 0, SCARD_E_INVALID_HANDLE);
    for (const auto& e : extraCards_) table.push_back({e.name, e.atr, e.mask});
    Record("LocateCards", "", 0, SCARD_S_SUCCESS);
  }
  for (const auto& c : platform::RegisteredCards()) table.push_back(c);
  return platform::LocateCardsIn(*this, table, ctx, cards, states, count);
}

LONG FakeScard::ListCards(SCARDCONTEXT ctx, const BYTE* atr, DWORD atrLen, std::string* names) {
  const ContextTurn turn = TakeTurn(ctx);
  std::lock_guard<std::mutex> lock(mu_);
  if (LONG rv = TakeFailure("ListCards")) return Finish("ListCards", "", 0, rv);
  if (!contexts_.count(ctx)) return Finish("ListCards", "", 0, SCARD_E_INVALID_HANDLE);
  if (!names) return Finish("ListCards", "", 0, SCARD_E_INVALID_PARAMETER);
  *names = platform::JoinMultiString(NamesForAtr(atr, atrLen));
  return Finish("ListCards", "", 0, SCARD_S_SUCCESS);
}

}  // namespace zorbix::testing
