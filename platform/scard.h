// The PC/SC seam shared by the wizard and the module: the SCard calls we use,
// behind an interface so tests can feed reader lists and failures.
#pragma once

#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zorbix::platform {

// Attribute ids that pcsc-lite's headers may lack under these names.
inline constexpr DWORD kAttrAtrString = 0x00090303;          // SCARD_ATTR_ATR_STRING
inline constexpr DWORD kAttrDeviceFriendlyNameA = 0x7FFF0003;  // SCARD_ATTR_DEVICE_FRIENDLY_NAME_A

class ScardApi {
 public:
  virtual ~ScardApi() = default;

  virtual LONG EstablishContext(DWORD scope, SCARDCONTEXT* ctx) = 0;
  virtual LONG ReleaseContext(SCARDCONTEXT ctx) = 0;
  virtual LONG IsValidContext(SCARDCONTEXT ctx) = 0;
  // Size query when buf is null; fills a multi-string otherwise. With
  // *len == SCARD_AUTOALLOCATE, buf is a char** and the block is freed with
  // FreeMemory.
  virtual LONG ListReaders(SCARDCONTEXT ctx, const char* groups, char* buf, DWORD* len) = 0;
  virtual LONG GetStatusChange(SCARDCONTEXT ctx, DWORD timeoutMs, SCARD_READERSTATE* states,
                               DWORD count) = 0;
  virtual LONG Cancel(SCARDCONTEXT ctx) = 0;
  virtual LONG Connect(SCARDCONTEXT ctx, const char* reader, DWORD shareMode, DWORD protocols,
                       SCARDHANDLE* card, DWORD* activeProtocol) = 0;
  virtual LONG Reconnect(SCARDHANDLE card, DWORD shareMode, DWORD protocols, DWORD init,
                         DWORD* activeProtocol) = 0;
  virtual LONG Disconnect(SCARDHANDLE card, DWORD disposition) = 0;
  virtual LONG BeginTransaction(SCARDHANDLE card) = 0;
  virtual LONG EndTransaction(SCARDHANDLE card, DWORD disposition) = 0;
  virtual LONG Transmit(SCARDHANDLE card, const SCARD_IO_REQUEST* sendPci, const BYTE* send,
                        DWORD sendLen, SCARD_IO_REQUEST* recvPci, BYTE* recv, DWORD* recvLen) = 0;
  virtual LONG Status(SCARDHANDLE card, char* readerName, DWORD* readerLen, DWORD* state,
                      DWORD* protocol, BYTE* atr, DWORD* atrLen) = 0;
  // Raw attribute read; GetAttrib() below adds the fallback for drivers that
  // answer neither the ATR nor the friendly name.
  virtual LONG GetAttribRaw(SCARDHANDLE card, DWORD attrId, BYTE* buf, DWORD* len) = 0;
  virtual LONG FreeMemory(SCARDCONTEXT ctx, const void* mem) = 0;
  // A block that FreeMemory releases, for answers this layer builds itself
  // (the GetAttrib fallback with SCARD_AUTOALLOCATE). pcsc-lite frees with
  // free(), hence malloc here; null when out of memory.
  virtual void* AllocateBlock(std::size_t n);

  // Smart-card database, which pcsc-lite lacks: answered from our own table
  // of registered card names (see carddb.h).
  // Sets SCARD_STATE_ATRMATCH on readers whose card is registered under one
  // of the names in the multi-string `cards`.
  virtual LONG LocateCards(SCARDCONTEXT ctx, const char* cards, SCARD_READERSTATE* states,
                           DWORD count) = 0;
  // Names registered for an ATR, as a multi-string (empty list: just NUL NUL).
  virtual LONG ListCards(SCARDCONTEXT ctx, const BYTE* atr, DWORD atrLen, std::string* names) = 0;

  // SCardGetAttrib with the fallback: the ATR and the friendly name come from
  // Status() when the driver does not answer them.
  LONG GetAttrib(SCARDHANDLE card, DWORD attrId, BYTE* buf, DWORD* len);
};

// The implementation in use: pcsc-lite unless a test installed another.
ScardApi& Scard();

// Installs `api` for the lifetime of the guard (tests only).
class ScopedScardApi {
 public:
  explicit ScopedScardApi(ScardApi* api);
  ~ScopedScardApi();
  ScopedScardApi(const ScopedScardApi&) = delete;
  ScopedScardApi& operator=(const ScopedScardApi&) = delete;

 private:
  ScardApi* previous_;
};

// "SCARD_E_NO_SMARTCARD" and so on; unknown values as 0x%08lX.
std::string ScardErrorName(LONG rv);

// Splits a reader multi-string (names ended by NUL, list ended by an empty name).
std::vector<std::string> SplitMultiString(const char* block, std::size_t len);

}  // namespace zorbix::platform
