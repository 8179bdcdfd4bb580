// Whether the user allows the use of a key whose CKA_ID starts with 'F'.
// The module has no toolkit: it asks through a hook that the program around
// it may install (the wizard shows its own Yes/No box), and otherwise
// through pinentry.
#pragma once

#include <functional>
#include <string>

#include "platform/confirm.h"

namespace zorbix::p11 {

class CPKCS11Object;

using platform::ConfirmAnswer;

// What the user is shown: caption string 104 and text string 105 of the
// string table, in the user's language.
struct SigningConfirmation {
  std::string caption;
  std::string text;
};

// Answers Yes, No, or Unavailable when the question could not be shown. A
// hook that raises counts as Unavailable.
using ConfirmationHook = std::function<ConfirmAnswer(const SigningConfirmation&)>;

// Replaces the hook; an empty one restores the default, pinentry (found on
// PATH) with kPinentryTimeout.
void SetConfirmationHook(ConfirmationHook hook);

inline constexpr std::chrono::seconds kPinentryTimeout{60};

// True for a key whose CKA_ID is non-empty and starts with 'F' (46 hex).
bool NeedsConfirmation(const CPKCS11Object& key);

// For such a key asks the user: Yes returns, No raises CKR_FUNCTION_FAILED,
// a question that could not be shown CKR_FUNCTION_CANCELED. Other keys pass
// without a question.
void ConfirmKeyUse(const CPKCS11Object& key);

}  // namespace zorbix::p11
