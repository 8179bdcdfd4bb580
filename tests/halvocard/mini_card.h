// A small card for FakeScard: a PKCS#15 application with transparent files,
// the events buffer and the card-data block, enough for the wizard's card
// class. SELECT answers come as 61xx when `getResponse` is set, as the
// ORVA-ZEL cards do.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "tests/support/fake_scard.h"

namespace zorbix::testing {

struct MiniCard {
  std::map<std::uint16_t, Bytes> files;  // EFs under the PKCS#15 application
  Bytes events = {0x01, 0x02, 0x03};
  Bytes cardData;
  bool getResponse = true;
  bool hasApplication = true;

  Bytes pending;  // held for GET RESPONSE
  const Bytes* current = nullptr;

  Bytes Answer(Bytes data) {
    if (!getResponse) {
      data.insert(data.end(), {0x90, 0x00});
      return data;
    }
    pending = std::move(data);
    return {0x61, static_cast<std::uint8_t>(pending.size())};
  }

  Bytes operator()(const Bytes& c) {
    if (c.size() < 4) return {0x67, 0x00};
    const std::uint8_t ins = c[1];
    if (c[0] == 0x00 && ins == 0xC0) {
      Bytes out = pending;
      pending.clear();
      out.insert(out.end(), {0x90, 0x00});
      return out;
    }
    if (c[0] == 0x00 && ins == 0xA4 && c[2] == 0x04) {
      const Bytes name(c.begin() + 5, c.end());
      const Bytes mf = {'M', 'a', 's', 't', 'e', 'r', '.', 'F', 'i', 'l', 'e'};
      if (name != mf && !hasApplication) return {0x6A, 0x82};
      current = nullptr;
      Bytes fci = {0x84, static_cast<std::uint8_t>(name.size())};
      fci.insert(fci.end(), name.begin(), name.end());
      return Answer(fci);
    }
    if (c[0] == 0x00 && ins == 0xA4 && c[2] == 0x00 && c.size() == 7) {
      auto it = files.find(static_cast<std::uint16_t>(c[5] << 8 | c[6]));
      if (it == files.end()) return {0x6A, 0x82};
      current = &it->second;
      const auto size = static_cast<std::uint16_t>(it->second.size());
      return Answer({0x6F, 0x0A, 0x85, 0x08, 0x01, c[5], c[6], static_cast<std::uint8_t>(size >> 8),
                     static_cast<std::uint8_t>(size), 0x00, 0x11, 0x00});
    }
    if (c[0] == 0x00 && ins == 0xB0 && c.size() == 5) {
      if (!current) return {0x69, 0x86};
      const std::size_t offset = c[2] << 8 | c[3];
      if (offset >= current->size()) return {0x6B, 0x00};
      const std::size_t n = std::min<std::size_t>(c[4] ? c[4] : 256, current->size() - offset);
      Bytes out(current->begin() + offset, current->begin() + offset + n);
      out.insert(out.end(), {0x90, 0x00});
      return out;
    }
    if (c[0] == 0x90 && ins == 0x18) {
      Bytes out = events;
      out.insert(out.end(), {0x90, 0x00});
      return out;
    }
    if (c[0] == 0x90 && ins == 0xB8) {
      Bytes out = cardData;
      out.insert(out.end(), {0x90, 0x00});
      return out;
    }
    return {0x6D, 0x00};
  }
};

// The responder for FakeScard, sharing the card so tests can change it.
inline FakeScard::Responder Play(const std::shared_ptr<MiniCard>& card) {
  return [card](const Bytes& c) { return (*card)(c); };
}

}  // namespace zorbix::testing
