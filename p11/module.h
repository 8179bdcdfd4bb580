// The module's global state and the one call frame every C_ entry point uses.
#pragma once

#include <PCSC/winscard.h>
#include <p11-kit/pkcs11.h>

#include <atomic>
#include <new>
#include <optional>
#include <type_traits>

#include "p11/exclusion.h"
#include "p11/pkcs11exception.h"
#include "p11/sessions.h"
#include "p11/slots.h"
#include "p11/tokentypes.h"

namespace zorbix::p11 {

// Built during static initialisation, alive until process exit. Members are
// constructed in declaration order and destroyed in reverse.
class CModuleState {
 public:
  CModuleState();
  ~CModuleState();
  CModuleState(const CModuleState&) = delete;
  CModuleState& operator=(const CModuleState&) = delete;

  std::atomic<bool> initialised{false};
  std::atomic<SCARDCONTEXT> context{0};  // kept across C_Finalize
  CTokenTypeConfig tokenTypes;
  CSlotManager slots;
  CSessionManager sessions;
  CExclusionMutua guard;
};

CModuleState& Module();

inline constexpr char kLibraryManufacturer[] = "ORVA-ZEL";
// "Nueva librería" in UTF-8, as every CK_UTF8CHAR field.
inline constexpr char kLibraryDescription[] = "Nueva librer\xC3\xAD" "a";

enum class Frame {
  None,    // no initialisation check (C_Initialize, C_Finalize, C_GetFunctionList)
  NoLock,  // initialisation check only
  Lock,    // initialisation check and the exclusion guard
};

namespace detail {

// Runs a body that returns void (CKR_OK) or a CK_RV; no exception escapes.
template <class Body>
CK_RV RunBody(Body& body) noexcept {
  try {
    if constexpr (std::is_void_v<std::invoke_result_t<Body&>>) {
      body();
      return CKR_OK;
    } else {
      return static_cast<CK_RV>(body());
    }
  } catch (const Pkcs11Exception& e) {
    return e.rv();
  } catch (const std::bad_alloc&) {
    return CKR_HOST_MEMORY;
  } catch (...) {
    return CKR_GENERAL_ERROR;
  }
}

}  // namespace detail

// The call frame: initialised check, guard, body, failure → CK_RV, the
// removal rule for `removalSession`, unlock.
template <class Body>
CK_RV Call(Frame frame, std::optional<CK_SESSION_HANDLE> removalSession, Body&& body) noexcept {
  CModuleState& m = Module();
  if (frame != Frame::None && !m.initialised.load()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (frame != Frame::Lock) return detail::RunBody(body);
  const CK_RV locked = m.guard.Lock();
  if (locked != CKR_OK) return locked;
  // Only a session that was live before the body counts: an unknown handle
  // must not discard anything.
  const bool resolved = removalSession && m.sessions.Resolves(*removalSession);
  const CK_RV rv = detail::RunBody(body);
  if (resolved && rv == CKR_SESSION_HANDLE_INVALID) {
    try {
      m.sessions.DestroyContextOfSession(*removalSession);
    } catch (...) {
    }
  }
  m.guard.Unlock();
  return rv;
}

template <class Body>
CK_RV Locked(Body&& body) noexcept {
  return Call(Frame::Lock, std::nullopt, body);
}

template <class Body>
CK_RV LockedRemoval(CK_SESSION_HANDLE hSession, Body&& body) noexcept {
  return Call(Frame::Lock, hSession, body);
}

// A locked call that names a slot and no session. The removal rule is for
// sessions: a card that vanished under such a call is reported as a removed
// device, or as no token when the reader is empty by then.
template <class Body>
CK_RV LockedSlot(CK_SLOT_ID slotID, Body&& body) noexcept {
  const CK_RV rv = Call(Frame::Lock, std::nullopt, body);
  if (rv != CKR_SESSION_HANDLE_INVALID) return rv;
  try {
    return Module().slots.VanishedCardResult(slotID);
  } catch (...) {
    return CKR_DEVICE_REMOVED;
  }
}

template <class Body>
CK_RV Unlocked(Body&& body) noexcept {
  return Call(Frame::NoLock, std::nullopt, body);
}

// A stub: not initialised, or not supported.
CK_RV Stub() noexcept;

// Multi-part signing: the session must be valid, the operation is not offered.
void ValidateThenUnsupported(CK_SESSION_HANDLE hSession);

// Bodies of the calls this file's state serves directly.
CK_RV Initialize();
CK_RV Finalize();
void GetInfo(CK_INFO_PTR pInfo);

}  // namespace zorbix::p11
