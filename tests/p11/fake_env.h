// One fake PC/SC for the whole test process: the module keeps its PC/SC
// context across C_Finalize, so every test must talk to the same fake.
#pragma once

#include <string>
#include <vector>

#include "platform/scard.h"
#include "tests/support/fake_scard.h"

namespace zorbix::p11test {

inline testing::FakeScard& Fake() {
  static testing::FakeScard fake;
  static platform::ScopedScardApi use(&fake);
  return fake;
}

// Readers added through this helper leave with it.
class ScopedReaders {
 public:
  explicit ScopedReaders(std::vector<std::string> names) : names_(std::move(names)) {
    for (const auto& n : names_) Fake().AddReader(n);
  }
  ~ScopedReaders() {
    for (const auto& n : names_) Fake().RemoveReader(n);
  }

 private:
  std::vector<std::string> names_;
};

}  // namespace zorbix::p11test
