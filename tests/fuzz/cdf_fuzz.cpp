// The CDF file as a card holds it; see directory_harness.h.
#include "tests/fuzz/directory_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return zorbix::fuzz::FuzzDirectory<zorbix::p15::CP15CDF>(data, size);
}
