// The TokenInfo file (5032) as a card holds it: every element read and
// decoded in the UTF-8 or the T.61 form, the last one kept, and the token
// information filled from it.
#include <cstring>

#include "pkcs15/p15files.h"
#include "tests/fuzz/harness.h"
#include "tests/pkcs15/fake_card.h"

namespace {

using namespace zorbix;

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool ValidUtf8(const CK_UTF8CHAR* s, std::size_t n) {
  for (std::size_t i = 0; i < n;) {
    const unsigned c = s[i];
    std::size_t extra = 0;
    unsigned min = 0, cp = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1, min = 0x80, cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2, min = 0x800, cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3, min = 0x10000, cp = c & 0x07;
    } else {
      return false;
    }
    if (i + extra >= n) return false;  // cut off
    for (std::size_t k = 1; k <= extra; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
      cp = cp << 6 | (s[i + k] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

bool Blank(const CK_UTF8CHAR* s, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    if (s[i] != ' ') return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  p15::CP15TokenInfo file;
  zorbix::testing::FakeCard card(p15::kTokenInfoFileId, fuzz::Bytes(data, data + size));
  try {
    file.Read(card);
  } catch (const p11::Pkcs11Exception&) {
  }

  CK_TOKEN_INFO info;
  std::memset(&info, 0xA5, sizeof info);
  const bool filled = file.FillTokenInfo(&info);
  fuzz::Require(filled == (file.Value() != nullptr), "FillTokenInfo disagrees with the value");
  // The text fields hold valid UTF-8 whatever the card wrote, the model
  // stays blank and the serial number is upper-case hexadecimal.
  fuzz::Require(ValidUtf8(info.label, sizeof info.label), "label is not UTF-8");
  fuzz::Require(ValidUtf8(info.manufacturerID, sizeof info.manufacturerID),
                "manufacturerID is not UTF-8");
  fuzz::Require(Blank(info.model, sizeof info.model), "model is not blank");
  for (CK_UTF8CHAR c : info.serialNumber)
    fuzz::Require(c == ' ' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'),
                  "serialNumber is not hexadecimal");
  if (!filled) return 0;
  fuzz::Require((info.flags & 0x408) == 0x408 && (info.flags & ~CK_FLAGS{0x40F}) == 0,
                "flags outside the TokenInfo bits");
  return 0;
}
