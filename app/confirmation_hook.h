// The wizard's answer to the module's question before a key whose CKA_ID
// starts with 'F' signs: its own Yes/No box, instead of pinentry. For the
// programs that link the module (the hook is no C_ function); header-only so
// that the wizard's library does not need the module.
#pragma once

#include "app/ui/wizard_ui.h"
#include "p11/confirmation.h"

namespace zorbix::app {

// Installed for the object's life; the user interface must outlive it.
class ScopedConfirmationHook {
 public:
  explicit ScopedConfirmationHook(WizardUi& ui) {
    p11::SetConfirmationHook([&ui](const p11::SigningConfirmation& question) {
      return ui.AskYesNo(question.text, question.caption);
    });
  }
  ~ScopedConfirmationHook() { p11::SetConfirmationHook({}); }
  ScopedConfirmationHook(const ScopedConfirmationHook&) = delete;
  ScopedConfirmationHook& operator=(const ScopedConfirmationHook&) = delete;
};

}  // namespace zorbix::app
