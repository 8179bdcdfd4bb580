// A slot on the fake PC/SC with a programmable card, and a small transparent
// file card for the READ/UPDATE BINARY cases.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "comm/communicator.h"
#include "comm/securechannel.h"
#include "p11/exclusion.h"
#include "p11/slots.h"
#include "p11/tokentypes.h"
#include "platform/scard.h"
#include "tests/p11/raised.h"
#include "tests/support/fake_scard.h"
#include "tests/support/hex.h"

namespace zorbix::commtest {

using comm::Bytes;
using testing::FakeScard;

// "00 A4 04 00" and "00a40400" alike.
inline Bytes H(const std::string& hex) { return testing::Hex(hex); }

inline Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

inline Bytes Sw(std::uint16_t sw) { return {static_cast<std::uint8_t>(sw >> 8), static_cast<std::uint8_t>(sw)}; }

// Bytes 00 01 02 ... of length n.
inline Bytes Counting(std::size_t n, std::uint8_t start = 0) {
  Bytes out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(start + i);
  return out;
}

// One transparent EF: selections succeed, READ BINARY answers up to the end
// of the file (6B00 at or past it), UPDATE BINARY writes (6B00 past the end).
// Short-identifier offsets (P1 bit 80) address the same file at P2.
struct FileCard {
  Bytes file;
  std::function<Bytes(const Bytes&)> other = [](const Bytes&) { return Sw(0x9000); };

  Bytes operator()(const Bytes& c) {
    if (c.size() < 5) return Sw(0x6700);
    const std::size_t offset = (c[2] & 0x80) ? c[3] : (c[2] << 8 | c[3]);
    if (c[0] == 0x00 && c[1] == 0xB0) {
      if (offset >= file.size()) return Sw(0x6B00);
      const std::size_t le = c[4] ? c[4] : 256;
      const std::size_t n = std::min(le, file.size() - offset);
      Bytes r(file.begin() + static_cast<std::ptrdiff_t>(offset),
              file.begin() + static_cast<std::ptrdiff_t>(offset + n));
      return Cat({r, Sw(0x9000)});
    }
    if (c[0] == 0x00 && c[1] == 0xD6) {
      const std::size_t n = c[4];
      if (offset + n > file.size()) return Sw(0x6B00);
      std::copy(c.begin() + 5, c.begin() + 5 + static_cast<std::ptrdiff_t>(n),
                file.begin() + static_cast<std::ptrdiff_t>(offset));
      return Sw(0x9000);
    }
    return other(c);
  }
};

class CommTest : public ::testing::Test {
 protected:
  static constexpr char kReader[] = "Fake Reader 0";

  void SetUp() override {
    fake_.AddReader(kReader);
    fake_.InsertCard(kReader, H("3B 7F 18 00 00 00 6A 48 41 4C 56 4F 02 2C 34 02 00 03 90 00"),
                     [this](const Bytes& c) { return card_(c); });
    SCARDCONTEXT ctx = 0;
    ASSERT_EQ(fake_.EstablishContext(SCARD_SCOPE_SYSTEM, &ctx), SCARD_S_SUCCESS);
    context_ = ctx;
    manager_ = std::make_unique<p11::CSlotManager>(context_, guard_, types_);
    slot_ = std::make_unique<p11::CSlot>(*manager_, kReader, p11::kFirstSlotId);
  }

  void TearDown() override {
    slot_.reset();
    manager_.reset();
    fake_.ReleaseContext(context_.load());
  }

  // A plain communicator on the slot, with the trace cleared after its
  // connection.
  std::unique_ptr<comm::CCommunicator> Comm(std::uint8_t communicationsType = 0) {
    auto c = comm::CreateCommunicator(*slot_, communicationsType);
    fake_.ClearApdus();
    fake_.ClearCalls();
    return c;
  }

  std::vector<Bytes> Sent() const {
    std::vector<Bytes> out;
    for (const auto& r : fake_.Apdus()) out.push_back(r.command);
    return out;
  }

  FakeScard fake_;
  platform::ScopedScardApi use_{&fake_};
  std::function<Bytes(const Bytes&)> card_ = [](const Bytes&) { return Sw(0x9000); };
  p11::CExclusionMutua guard_;
  p11::CTokenTypeConfig types_;
  std::atomic<SCARDCONTEXT> context_{0};
  std::unique_ptr<p11::CSlotManager> manager_;
  std::unique_ptr<p11::CSlot> slot_;
};

using testing::RaisedBy;

}  // namespace zorbix::commtest
