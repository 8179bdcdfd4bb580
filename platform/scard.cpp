// PC/SC over pcsc-lite, the process-wide instance and the attribute fallback.
#include "platform/scard.h"

#include "platform/carddb.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

namespace zorbix::platform {
namespace {

class PcscLiteApi final : public ScardApi {
 public:
  LONG EstablishContext(DWORD scope, SCARDCONTEXT* ctx) override {
    return SCardEstablishContext(scope, nullptr, nullptr, ctx);
  }
  LONG ReleaseContext(SCARDCONTEXT ctx) override { return SCardReleaseContext(ctx); }
  LONG IsValidContext(SCARDCONTEXT ctx) override { return SCardIsValidContext(ctx); }
  LONG ListReaders(SCARDCONTEXT ctx, const char* groups, char* buf, DWORD* len) override {
    return SCardListReaders(ctx, groups, buf, len);
  }
  LONG GetStatusChange(SCARDCONTEXT ctx, DWORD timeoutMs, SCARD_READERSTATE* states,
                       DWORD count) override {
    return SCardGetStatusChange(ctx, timeoutMs, states, count);
  }
  LONG Cancel(SCARDCONTEXT ctx) override { return SCardCancel(ctx); }
  LONG Connect(SCARDCONTEXT ctx, const char* reader, DWORD shareMode, DWORD protocols,
               SCARDHANDLE* card, DWORD* activeProtocol) override {
    DWORD proto = 0;
    LONG rv = SCardConnect(ctx, reader, shareMode, protocols, card, &proto);
    if (activeProtocol) *activeProtocol = proto;
    return rv;
  }
  LONG Reconnect(SCARDHANDLE card, DWORD shareMode, DWORD protocols, DWORD init,
                 DWORD* activeProtocol) override {
    DWORD proto = 0;
    LONG rv = SCardReconnect(card, shareMode, protocols, init, &proto);
    if (activeProtocol) *activeProtocol = proto;
    return rv;
  }
  LONG Disconnect(SCARDHANDLE card, DWORD disposition) override {
    return SCardDisconnect(card, disposition);
  }
  LONG BeginTransaction(SCARDHANDLE card) override { return SCardBeginTransaction(card); }
  LONG EndTransaction(SCARDHANDLE card, DWORD disposition) override {
    return SCardEndTransaction(card, disposition);
  }
  LONG Transmit(SCARDHANDLE card, const SCARD_IO_REQUEST* sendPci, const BYTE* send,
                DWORD sendLen, SCARD_IO_REQUEST* recvPci, BYTE* recv, DWORD* recvLen) override {
    return SCardTransmit(card, sendPci, send, sendLen, recvPci, recv, recvLen);
  }
  LONG Status(SCARDHANDLE card, char* readerName, DWORD* readerLen, DWORD* state,
              DWORD* protocol, BYTE* atr, DWORD* atrLen) override {
    return SCardStatus(card, readerName, readerLen, state, protocol, atr, atrLen);
  }
  LONG GetAttribRaw(SCARDHANDLE card, DWORD attrId, BYTE* buf, DWORD* len) override {
    if (!len || *len != SCARD_AUTOALLOCATE || !buf) return SCardGetAttrib(card, attrId, buf, len);
    // pcsc-lite loses its own block when the driver fails the request, so the
    // block is ours: size query, then fetch. SCardFreeMemory frees it.
    DWORD need = 0;
    LONG rv = SCardGetAttrib(card, attrId, nullptr, &need);
    if (rv != SCARD_S_SUCCESS) return rv;
    BYTE* block = static_cast<BYTE*>(AllocateBlock(need ? need : 1));
    if (!block) return SCARD_E_NO_MEMORY;
    DWORD got = need;
    rv = SCardGetAttrib(card, attrId, block, &got);
    if (rv != SCARD_S_SUCCESS) {
      std::free(block);
      return rv;
    }
    *reinterpret_cast<BYTE**>(buf) = block;
    *len = got;
    return rv;
  }
  LONG FreeMemory(SCARDCONTEXT ctx, const void* mem) override {
    return SCardFreeMemory(ctx, mem);
  }
  LONG LocateCards(SCARDCONTEXT ctx, const char* cards, SCARD_READERSTATE* states,
                   DWORD count) override {
    return LocateCardsIn(*this, RegisteredCards(), ctx, cards, states, count);
  }
  LONG ListCards(SCARDCONTEXT /*ctx*/, const BYTE* atr, DWORD atrLen,
                 std::string* names) override {
    return ListCardsIn(RegisteredCards(), atr, atrLen, names);
  }
};

std::atomic<ScardApi*> g_installed{nullptr};

// Hands `value` out the way SCardGetAttrib would.
LONG DeliverAttribute(ScardApi& api, const std::string& value, BYTE* buf, DWORD* len) {
  const DWORD need = static_cast<DWORD>(value.size());
  if (*len == SCARD_AUTOALLOCATE) {
    if (!buf) return SCARD_E_INVALID_PARAMETER;
    void* block = api.AllocateBlock(value.size() ? value.size() : 1);
    if (!block) return SCARD_E_NO_MEMORY;
    std::memcpy(block, value.data(), value.size());
    *reinterpret_cast<BYTE**>(buf) = static_cast<BYTE*>(block);
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
  std::memcpy(buf, value.data(), value.size());
  *len = need;
  return SCARD_S_SUCCESS;
}

// The ATR or the reader name (with its NUL, as drivers give the friendly
// name) from the connection's status.
LONG AttributeFromStatus(ScardApi& api, SCARDHANDLE card, DWORD attrId, std::string* value) {
  DWORD state = 0;
  DWORD protocol = 0;
  if (attrId == kAttrAtrString) {
    BYTE atr[MAX_ATR_SIZE];
    DWORD atrLen = sizeof(atr);
    DWORD nameLen = 0;
    LONG rv = api.Status(card, nullptr, &nameLen, &state, &protocol, atr, &atrLen);
    if (rv != SCARD_S_SUCCESS) return rv;
    value->assign(reinterpret_cast<const char*>(atr), atrLen);
    return SCARD_S_SUCCESS;
  }
  DWORD nameLen = 0;
  DWORD atrLen = 0;
  LONG rv = api.Status(card, nullptr, &nameLen, &state, &protocol, nullptr, &atrLen);
  if (rv != SCARD_S_SUCCESS) return rv;
  std::string name(nameLen ? nameLen : 1, '\0');
  atrLen = 0;
  rv = api.Status(card, name.data(), &nameLen, &state, &protocol, nullptr, &atrLen);
  if (rv != SCARD_S_SUCCESS) return rv;
  name.resize(std::strlen(name.c_str()));
  name.push_back('\0');
  *value = std::move(name);
  return SCARD_S_SUCCESS;
}

}  // namespace

void* ScardApi::AllocateBlock(std::size_t n) { return std::malloc(n); }

LONG ScardApi::GetAttrib(SCARDHANDLE card, DWORD attrId, BYTE* buf, DWORD* len) {
  if (!len) return SCARD_E_INVALID_PARAMETER;
  const DWORD asked = *len;
  LONG rv = GetAttribRaw(card, attrId, buf, len);
  if (rv == SCARD_S_SUCCESS) return rv;
  if (attrId != kAttrAtrString && attrId != kAttrDeviceFriendlyNameA) return rv;
  // A too-small buffer counts only when the driver's size query backs it:
  // vpcd, for one, says "insufficient buffer" to every size for the name.
  if (rv == SCARD_E_INSUFFICIENT_BUFFER && buf && asked != SCARD_AUTOALLOCATE) {
    DWORD need = 0;
    if (GetAttribRaw(card, attrId, nullptr, &need) == SCARD_S_SUCCESS && need > asked) {
      *len = need;
      return rv;
    }
  }
  *len = asked;
  std::string value;
  LONG srv = AttributeFromStatus(*this, card, attrId, &value);
  if (srv != SCARD_S_SUCCESS) return srv;
  return DeliverAttribute(*this, value, buf, len);
}

ScardApi& Scard() {
  if (ScardApi* api = g_installed.load(std::memory_order_acquire)) return *api;
  static PcscLiteApi pcscLite;
  return pcscLite;
}

ScopedScardApi::ScopedScardApi(ScardApi* api)
    : previous_(g_installed.exchange(api, std::memory_order_acq_rel)) {}

ScopedScardApi::~ScopedScardApi() { g_installed.store(previous_, std::memory_order_release); }

}  // namespace zorbix::platform
