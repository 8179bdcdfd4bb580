// The secure channel's parameters (a DER Vexa-channelParams from the card
// type): decoded when a PIN operation opens the channel. The card takes the
// terminal's key references and certificates and then has no certificate
// to show, so the channel ends after the parameters have been used that
// far, and no authentication runs.
#include "comm/securechannel.h"
#include "tests/fuzz/harness.h"

namespace {

using namespace zorbix;

fuzz::FakeSlot& Slot() {
  static fuzz::FakeSlot* slot = [] {
    auto* s = new fuzz::FakeSlot(
        fuzz::Bytes{0x3B, 0x7F, 0x38, 0x00, 0x00, 0x00, 0x6A, 0x56, 0x65, 0x78, 0x61, 0x00, 0x00,
                    0x00, 0x00, 0x00, 0x00, 0x00, 0x90, 0x00});
    s->card = [](const fuzz::Bytes& c) -> fuzz::Bytes {
      if (c.size() >= 2 && c[0] == 0x90 && c[1] == 0xB8)  // serial number
        return fuzz::WithSw({0x43, 0x00, 0x01, 0x26, 0x10, 0x01, 0x02}, 0x9000);
      if (c.size() >= 2 && c[1] == 0xB0) return {0x6B, 0x00};  // no certificate file
      return {0x90, 0x00};
    };
    return s;
  }();
  return *slot;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FakeSlot& slot = Slot();
  try {
    comm::CComm_Vexa vexa(slot.Slot(), fuzz::ByteView(data, size));
    vexa.OpenChannel();
    fuzz::Finding("a channel opened without the card's certificates");
  } catch (const p11::Pkcs11Exception&) {
  }
  slot.Forget();
  return 0;
}
