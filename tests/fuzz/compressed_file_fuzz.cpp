// A compressed card file (certificate and data object values): U and C
// little-endian, then a zlib stream, or the value itself when C equals U.
// Read through READ BINARY of the file at a four-byte path, as the objects
// load their values.
#include "tests/fuzz/harness.h"

namespace {

using namespace zorbix;

fuzz::Bytes file;

comm::CCommunicator& Communicator() {
  static fuzz::FakeSlot* slot = [] {
    auto* s = new fuzz::FakeSlot(fuzz::Bytes{0x3B, 0x00});
    s->card = [](const fuzz::Bytes& c) -> fuzz::Bytes {
      if (c.size() >= 2 && c[1] == 0xB0) return fuzz::ReadBinaryAnswer(file, c);
      return {0x90, 0x00};
    };
    return s;
  }();
  static comm::CCommunicator* communicator = comm::CreateCommunicator(slot->Slot(), 0).release();
  slot->Forget();
  return *communicator;
}

std::uint32_t LittleEndian(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  file.assign(data, data + size);
  comm::CCommunicator& communicator = Communicator();
  const std::uint8_t path[] = {0x60, 0x61, 0x00, 0x01};
  fuzz::Bytes value;
  try {
    communicator.ReadCompressed(path, value);
  } catch (const p11::Pkcs11Exception&) {
    return 0;
  }
  fuzz::Require(size >= 8, "a value from a file without its header");
  const std::uint32_t u = LittleEndian(data), c = LittleEndian(data + 4);
  fuzz::Require(value.size() == u, "the value is not as long as the header says");
  if (c == u)
    fuzz::Require(std::equal(value.begin(), value.end(), data + 8), "the stored value changed");
  return 0;
}
