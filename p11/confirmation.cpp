// The confirmation hook and its default.
#include "p11/confirmation.h"

#include <mutex>

#include "p11/objects.h"
#include "p11/pkcs11exception.h"
#include "res/strings.h"

namespace zorbix::p11 {
namespace {

constexpr int kCaptionId = 104;
constexpr int kTextId = 105;

ConfirmAnswer AskPinentry(const SigningConfirmation& question) {
  return platform::ConfirmWithPinentry({question.caption, question.text, kPinentryTimeout});
}

std::mutex& HookMutex() {
  static std::mutex m;
  return m;
}

ConfirmationHook& Hook() {
  static ConfirmationHook hook = AskPinentry;
  return hook;
}

ConfirmationHook CurrentHook() {
  std::lock_guard lock(HookMutex());
  return Hook();
}

}  // namespace

void SetConfirmationHook(ConfirmationHook hook) {
  std::lock_guard lock(HookMutex());
  Hook() = hook ? std::move(hook) : ConfirmationHook(AskPinentry);
}

bool NeedsConfirmation(const CPKCS11Object& key) {
  const ByteView id = key.Bytes(CKA_ID);
  return !id.empty() && id[0] == 'F';
}

void ConfirmKeyUse(const CPKCS11Object& key) {
  if (!NeedsConfirmation(key)) return;
  ConfirmAnswer answer = ConfirmAnswer::Unavailable;
  try {
    answer = CurrentHook()({res::Text(kCaptionId), res::Text(kTextId)});
  } catch (...) {
    // A hook that fails showed nothing the user could answer.
  }
  if (answer == ConfirmAnswer::Yes) return;
  throw Pkcs11Exception(answer == ConfirmAnswer::Unavailable ? CKR_FUNCTION_CANCELED
                                                             : CKR_FUNCTION_FAILED);
}

}  // namespace zorbix::p11
