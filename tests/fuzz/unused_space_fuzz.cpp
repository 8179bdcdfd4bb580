// The unused-space file (5033) as a card holds it: every record decoded as
// PKCS15UnusedSpace and walked byte by byte for its path and length, the
// best free file looked for in both areas, and the records written back,
// which must read back as they were.
#include "pkcs15/freespace.h"
#include "tests/fuzz/harness.h"
#include "tests/pkcs15/fake_card.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace zorbix;
  p15::CP15EFUS file;
  zorbix::testing::FakeCard card(p15::kUnusedSpaceFileId, fuzz::Bytes(data, data + size));
  try {
    file.Read(card);
  } catch (const p11::Pkcs11Exception&) {
    return 0;
  }
  for (const auto& record : file.Records()) {
    const p15::UnusedRecord r = p15::WalkRecord(record);
    fuzz::Require(r.length >= -1 && r.length <= 0xFFFF, "a record length out of range");
  }
  for (const bool isPrivate : {false, true}) {
    for (const std::size_t n : {std::size_t{1}, std::size_t{600}}) {
      const auto fit = file.BestFit(card, n, isPrivate);
      if (!fit) continue;
      fuzz::Require(fit->position < file.Records().size(), "a fit outside the records");
      fuzz::Require(fit->path.size() == 4, "a fit whose path is not DF and EF");
    }
  }

  const auto records = file.Records();
  try {
    file.Write(card);
  } catch (const p11::Pkcs11Exception&) {
    return 0;  // the EF is full (FakeCard's capacity)
  }
  p15::CP15EFUS back;
  back.Read(card);
  fuzz::Require(back.Records() == records, "the records written do not read back");
  return 0;
}
