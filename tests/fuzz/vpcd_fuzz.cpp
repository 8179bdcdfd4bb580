// The virtual card's side of the vpcd link (it listens to a TCP port): the
// message stream as the driver would send it, fed to the framing and to a
// fresh card of one of the profiles, without a socket.
//
// Input: one byte that picks the profile, then the stream (2-byte
// big-endian length and that many bytes, again and again).
#include "sim/card.h"
#include "sim/profile.h"
#include "sim/vpcd.h"
#include "tests/fuzz/harness.h"

namespace {

// Key generation searches primes for up to a second: a card's work, not the
// parsing this harness is after. Plain, protected (CLA 9C) or carried by an
// envelope (90 C2).
bool KeyGeneration(const zorbix::fuzz::Bytes& m) {
  const auto is = [&](std::size_t at) {
    return m.size() > at + 1 && (m[at] & 0xF0) == 0x90 && m[at + 1] == 0x76;
  };
  return is(0) || (m.size() > 1 && m[0] == 0x90 && m[1] == 0xC2 && is(5));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace zorbix;
  if (size == 0) return 0;
  const auto& profiles = sim::AllProfiles();
  sim::Card card(profiles[data[0] % profiles.size()]);

  std::size_t at = 1;
  const sim::VpcdRead read = [&](std::uint8_t* buf, std::size_t n) {
    if (n > size - at) return false;
    std::copy(data + at, data + at + n, buf);
    at += n;
    return true;
  };
  while (const auto message = sim::ReadVpcdMessage(read)) {
    if (KeyGeneration(*message)) continue;
    const fuzz::Bytes out = sim::AnswerVpcdMessage(card, *message);
    if (out.empty()) continue;
    fuzz::Require(out.size() >= 2 && (std::size_t{out[0]} << 8 | out[1]) == out.size() - 2,
                  "an answer whose length field is wrong");
    if (message->size() > 1)
      fuzz::Require(out.size() >= 4, "an answer to a command without a status word");
  }
  return 0;
}
