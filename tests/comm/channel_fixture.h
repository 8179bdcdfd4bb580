// The national ID card's communicator under test: session state and random
// bytes chosen by the test, the secure-messaging fixture file, and a slot on
// the fake PC/SC whose card is a virtual card of the engine.
#pragma once

#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>

#include "comm/securechannel.h"
#include "sim/card.h"
#include "sim/content_pki.h"
#include "sim/profile.h"
#include "sim/securechannel.h"
#include "tests/comm/comm_fixture.h"

namespace zorbix::commtest {

class TestVexa : public comm::CComm_Vexa {
 public:
  using CComm_Vexa::CComm_Vexa;

  // An open channel with these keys, as if the card had agreed them.
  void SetChannel(const Bytes& kEnc, const Bytes& kMac, const Bytes& ssc,
                  std::uint32_t macLength) {
    kEnc_.assign(kEnc.begin(), kEnc.end());
    kMac_.assign(kMac.begin(), kMac.end());
    ssc_.assign(ssc.begin(), ssc.end());
    macLength_ = macLength;
    channelOpen_ = 1;
  }
  bool KeysEmpty() const { return kEnc_.empty() && kMac_.empty() && ssc_.empty(); }
  Bytes SscBytes() const { return Bytes(ssc_.begin(), ssc_.end()); }

  // Draws of these lengths take the queued values first, in order.
  std::deque<Bytes> chosenRandom;

 protected:
  void FillRandom(std::span<std::uint8_t> out) override {
    if (!chosenRandom.empty() && chosenRandom.front().size() == out.size()) {
      std::copy(chosenRandom.front().begin(), chosenRandom.front().end(), out.begin());
      chosenRandom.pop_front();
      return;
    }
    CComm_Vexa::FillRandom(out);
  }
};

// name -> bytes of tests/comm/fixtures/sm_examples.txt.
inline const std::map<std::string, Bytes>& SmExamples() {
  static const std::map<std::string, Bytes> examples = [] {
    std::map<std::string, Bytes> m;
    std::ifstream in(ZORBIX_COMM_FIXTURES "/sm_examples.txt");
    if (!in) throw std::runtime_error("sm_examples.txt missing");
    std::string name, hex;
    while (in >> name) {
      if (name[0] == '#') {
        std::getline(in, hex);
        continue;
      }
      in >> hex;
      m[name] = H(hex);
    }
    return m;
  }();
  return examples;
}

inline const Bytes& Example(const std::string& name) {
  const auto& m = SmExamples();
  auto it = m.find(name);
  if (it == m.end()) throw std::runtime_error("no example " + name);
  return it->second;
}

// The slot's card is a virtual card of `profile` (reset with the
// connection), and the communicators get its type's channel parameters.
class VirtualCardTest : public CommTest {
 protected:
  void UseCard(const std::string& profile) {
    const sim::Profile* p = sim::FindProfile(profile);
    ASSERT_NE(p, nullptr) << profile;
    card = std::make_unique<sim::Card>(*p);
    card->StartTrace();
    card->PowerOn();
    card_ = [this](const Bytes& c) { return card->Process(c); };
    fake_.SetResetHandler(kReader, [this] { card->Reset(); });
    if (p->secureChannel)
      params = sim::PkiFile(profile == "Vexa" ? "vexa-channel-params.der"
                                              : "tc-orva4-channel-params.der");
  }

  std::unique_ptr<TestVexa> Vexa() {
    auto c = std::make_unique<TestVexa>(*slot_, params);
    fake_.ClearApdus();
    card->ClearTrace();
    return c;
  }

  std::unique_ptr<sim::Card> card;
  Bytes params;
};

}  // namespace zorbix::commtest
