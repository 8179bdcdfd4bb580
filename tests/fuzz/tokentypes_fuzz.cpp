// The configuration file next to the module: a DER or BER TokenTypesConfig
// of extra card types, read at start-up, before any caller could be told
// about a fault in it.
#include "p11/tokentypes.h"
#include "tests/fuzz/harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace zorbix;
  std::vector<std::unique_ptr<p11::CTokenType>> types;
  try {
    types = p11::DecodeTokenTypes(fuzz::ByteView(data, size));
  } catch (const p11::Pkcs11Exception&) {
    return 0;
  }
  // Every type the module keeps can be matched against any ATR.
  const fuzz::Bytes atr(data, data + std::min<std::size_t>(size, 33));
  for (const auto& t : types) {
    for (const auto& p : t->atrs)
      fuzz::Require(p.atr.size() == p.mask.size(), "an ATR kept with a mask of another length");
    p11::Match(*t, atr);
    for (const auto& p : t->atrs) p11::Match(*t, p.atr);
  }
  return 0;
}
