// TEST 3's two card calls that bypass the C_ functions: the retry-counter
// query and the PIN unblock, made on the communicator of the module's token
// context for a session. They run under the module's guard and in one card
// transaction, as the module's own calls do, and report the card status the
// communicator raised.
#pragma once

#include <p11-kit/pkcs11.h>

#include <cstdint>

#include "platform/secret.h"

namespace zorbix::app {

struct SessionCardCall {
  enum Outcome {
    kDone,    // the card answered 9000
    kRaised,  // the module raised `rv` (a card status value, or another CK_RV)
    kFailed,  // no answer to read: another failure, or the module not reachable
  };
  Outcome outcome = kFailed;
  CK_RV rv = CKR_OK;

  // The status word the wizard reads from a raised value: its low 16 bits.
  std::uint16_t statusWord() const { return static_cast<std::uint16_t>(rv & 0xFFFF); }
};

// VERIFY without data: the card answers with its retry counter.
SessionCardCall QueryPinRetries(CK_SESSION_HANDLE session);

// RESET RETRY COUNTER with the PUK and, when not empty, the new PIN.
SessionCardCall ResetRetryCounter(CK_SESSION_HANDLE session, const SecretString& puk,
                                  const SecretString& newPin);

}  // namespace zorbix::app
