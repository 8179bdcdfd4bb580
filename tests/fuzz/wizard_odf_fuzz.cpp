// The wizard's own card access (HalvoCard): the walk over the ODF that
// finds the directory files, and the record-by-record reads of a directory
// file, in the slot form (records 30 only) and the direct form (also A0 to
// AF).
//
// Input: one byte n, then n bytes of ODF (5031), then the content of every
// other file. Selections by file id are answered 61xx and GET RESPONSE, as
// the virtual cards do.
#include "app/halvocard.h"
#include "tests/fuzz/harness.h"

namespace {

using namespace zorbix;
using fuzz::Bytes;

Bytes odf, other;
const Bytes* current = &other;
Bytes pendingFci;

Bytes Answer(const Bytes& c) {
  if (c.size() < 5) return {0x67, 0x00};
  if (c[1] == 0xA4 && c[2] == 0x00 && c.size() >= 7) {
    current = (c[5] == 0x50 && c[6] == 0x31) ? &odf : &other;
    pendingFci = {0x6F, 0x0A, 0x85, 0x08, 0x01, c[5], c[6],
                  static_cast<std::uint8_t>(current->size() >> 8),
                  static_cast<std::uint8_t>(current->size()), 0x00, 0x00, 0x00};
    return {0x61, static_cast<std::uint8_t>(pendingFci.size())};
  }
  if (c[1] == 0xA4) return {0x90, 0x00};
  if (c[1] == 0xC0) return fuzz::WithSw(pendingFci, 0x9000);
  if (c[1] == 0xB0) return fuzz::ReadBinaryAnswer(*current, c);
  return {0x6D, 0x00};
}

SCARDHANDLE Card() {
  static fuzz::FakeSlot* slot = [] {
    auto* s = new fuzz::FakeSlot(Bytes{0x3B, 0x00});
    s->card = Answer;
    s->Slot().Connect();
    return s;
  }();
  slot->Forget();
  return slot->Slot().CardHandle();
}

void CheckDirectory(const app::DirectoryFile& d) {
  fuzz::Require(d.length <= 0x10000, "a directory read past 16-bit offsets");
  fuzz::Require(d.block.size() == d.length, "the block and its length differ");
  fuzz::Require(d.records >= 0 && static_cast<std::size_t>(d.records) * 2 <= d.length,
                "more records than the bytes can hold");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t n = std::min<std::size_t>(data[0], size - 1);
  odf.assign(data + 1, data + 1 + n);
  other.assign(data + 1 + n, data + size);
  current = &other;

  const SCARDHANDLE handle = Card();
  app::HalvoCard card(handle);
  CheckDirectory(card.ReadDirectoryFile(app::kSlotCertificates));
  CheckDirectory(card.ReadDirectoryFile(std::uint16_t{0x6000}));
  return 0;
}
