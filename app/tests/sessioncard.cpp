// The session communicator calls of TEST 3, inside the module's call frame.
#include "app/tests/sessioncard.h"

#include <optional>

#include "comm/communicator.h"
#include "p11/module.h"

namespace zorbix::app {

namespace {

template <class Work>
SessionCardCall OnSessionCommunicator(CK_SESSION_HANDLE session, Work&& work) {
  SessionCardCall call;
  // The frame gives the guard, the removal rule for a card that went away,
  // and turns what escapes into a CK_RV; the outcome is noted here first.
  p11::LockedRemoval(session, [&] {
    try {
      p11::CTokenContext& context = p11::Module().sessions.ContextOfSession(session);
      p11::CTokenContext::CardWork transaction(context);
      work(context.Communicator());
      call.outcome = SessionCardCall::kDone;
    } catch (const p11::Pkcs11Exception& e) {
      call.outcome = SessionCardCall::kRaised;
      call.rv = e.rv();
      throw;
    }
  });
  return call;
}

comm::ByteView Bytes(const SecretString& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

}  // namespace

SessionCardCall QueryPinRetries(CK_SESSION_HANDLE session) {
  return OnSessionCommunicator(session, [](comm::CCommunicator& c) { c.VerifyPin({}); });
}

SessionCardCall ResetRetryCounter(CK_SESSION_HANDLE session, const SecretString& puk,
                                  const SecretString& newPin) {
  return OnSessionCommunicator(session, [&](comm::CCommunicator& c) {
    std::optional<comm::ByteView> pin;
    if (!newPin.empty()) pin = Bytes(newPin);
    c.ResetRetryCounter(Bytes(puk), pin);
  });
}

}  // namespace zorbix::app
