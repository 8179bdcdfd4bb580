// The card side of the secure channel, installed on the profiles with
// `secureChannel`: CV certificate checks (MSE:SET 81 B6, PSO: VERIFY
// CERTIFICATE), the card's X.509 certificates at short identifiers 0 and 1F,
// MSE:SET C1 A4, INTERNAL and EXTERNAL AUTHENTICATE, the session keys and
// then secure messaging on every command (the card's wrapper).
//
// Card behaviour around the channel:
//   - PIN commands (00 20, 00/90 24, 00/90 2C) in plain form: 6982.
//   - A protected command (CLA with bits 0C) is checked and unwrapped; its
//     answer is always protected (87 / 99 / 8E) and announced with 61xx.
//   - A protected command that fails the check (missing DO 8E: 6987; wrong
//     MAC, wrong MAC length, bad cryptogram or padding, or no channel: 6988)
//     closes the channel; so does any plain command other than GET RESPONSE
//     and the envelope chunks (90 C2), which then runs plain. Closing drops
//     the keys and the PIN's verified state.
//   - Reset and power changes end the channel (its state lives in scratch).
//   - Certificates: malformed 6A80, signature or hash wrong 6300, no key
//     chosen 6985, unknown key reference 6A88. EXTERNAL AUTHENTICATE that
//     does not verify: 6300, and the authentication starts over.
#pragma once

#include <cstddef>
#include <optional>

#include "sim/card.h"

namespace zorbix::sim {

struct ChannelKeys {
  Bytes kEnc;
  Bytes kMac;
  Bytes ssc;
  std::size_t macLength = 4;
};

// The keys of the card's open channel; nullopt when it is closed (tests).
std::optional<ChannelKeys> OpenChannelKeys(Card& card);

// How the card answers INTERNAL AUTHENTICATE (a test control; kept across
// resets): its signature in the min(SIG, N - SIG) form (the default), always
// SIG, always N - SIG, or a signature of a block whose hash is wrong, which
// fits neither form.
enum class InternalAuthForm { Minimal, Signature, Complement, Broken };
void SetInternalAuthForm(Card& card, InternalAuthForm form);

// Opens the card's channel with chosen keys, skipping the authentication
// (tests of the wrapping rules). No effect on a card without a channel.
void OpenChannelWithKeys(Card& card, const Bytes& kEnc, const Bytes& kMac, const Bytes& ssc);

}  // namespace zorbix::sim
