// What the harnesses share: the entry point, a finding that stops the run,
// and a slot on the fake PC/SC whose card the harness answers for. (The
// PKCS#15 harnesses read their EF from tests/pkcs15/fake_card.h.)
//
// A harness is one LLVMFuzzerTestOneInput. A Pkcs11Exception is the
// module's way to refuse bad bytes and ends an input quietly; anything else
// that escapes (another exception, a sanitizer report, a broken invariant
// through Finding) is a finding.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "comm/communicator.h"
#include "p11/exclusion.h"
#include "p11/pkcs11exception.h"
#include "p11/slots.h"
#include "p11/tokentypes.h"
#include "platform/scard.h"
#include "tests/support/fake_scard.h"

namespace zorbix::fuzz {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

// A broken invariant: reported on stderr and ended like a crash, so that
// libFuzzer keeps the input.
[[noreturn]] inline void Finding(const char* what) {
  std::fprintf(stderr, "fuzz finding: %s\n", what);
  std::abort();
}
inline void Require(bool holds, const char* what) {
  if (!holds) Finding(what);
}

inline std::uint16_t Sw(const Bytes& answer) {
  return answer.size() < 2 ? 0
                           : static_cast<std::uint16_t>(answer[answer.size() - 2] << 8 |
                                                        answer[answer.size() - 1]);
}
inline Bytes WithSw(Bytes data, std::uint16_t sw) {
  data.push_back(static_cast<std::uint8_t>(sw >> 8));
  data.push_back(static_cast<std::uint8_t>(sw));
  return data;
}

// One reader with a card on the fake PC/SC, a slot of the module on it,
// and the card's answers from `card` (data and status word). Built once per
// process: the harnesses reuse it for every input.
class FakeSlot {
 public:
  static constexpr char kReader[] = "Fuzz Reader 0";

  explicit FakeSlot(const Bytes& atr) {
    fake_.AddReader(kReader);
    fake_.InsertCard(kReader, atr, [this](const Bytes& c) { return card(c); });
    SCARDCONTEXT ctx = 0;
    fake_.EstablishContext(SCARD_SCOPE_SYSTEM, &ctx);
    context_ = ctx;
    manager_ = std::make_unique<p11::CSlotManager>(context_, guard_, types_);
    slot_ = std::make_unique<p11::CSlot>(*manager_, kReader, p11::kFirstSlotId);
  }

  p11::CSlot& Slot() { return *slot_; }
  testing::FakeScard& Fake() { return fake_; }
  // The fake keeps every exchange; drop them after each input.
  void Forget() {
    fake_.ClearApdus();
    fake_.ClearCalls();
  }

  std::function<Bytes(const Bytes&)> card = [](const Bytes&) { return Bytes{0x6A, 0x82}; };

 private:
  testing::FakeScard fake_;
  platform::ScopedScardApi use_{&fake_};
  p11::CExclusionMutua guard_;
  p11::CTokenTypeConfig types_;
  std::atomic<SCARDCONTEXT> context_{0};
  std::unique_ptr<p11::CSlotManager> manager_;
  std::unique_ptr<p11::CSlot> slot_;
};

// A transparent EF behind READ BINARY as the card engine answers it: the
// bytes up to the end of the file with 9000, 6B00 at or past its end.
// Short-identifier offsets (P1 bit 80) address the same file.
inline Bytes ReadBinaryAnswer(const Bytes& file, const Bytes& command) {
  if (command.size() < 5) return {0x67, 0x00};
  const std::size_t offset =
      (command[2] & 0x80) ? command[3] : static_cast<std::size_t>(command[2] << 8 | command[3]);
  if (offset >= file.size()) return {0x6B, 0x00};
  const std::size_t le = command[4] ? command[4] : 256;
  const std::size_t n = std::min(le, file.size() - offset);
  return WithSw(Bytes(file.begin() + static_cast<std::ptrdiff_t>(offset),
                      file.begin() + static_cast<std::ptrdiff_t>(offset + n)),
                0x9000);
}

}  // namespace zorbix::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
