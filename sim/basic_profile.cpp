// A small card that every engine and bench test can rely on, whatever the
// profile set holds.
#include "sim/card.h"

namespace zorbix::sim {

Profile BasicProfile() {
  Profile p;
  p.name = "basic";
  p.description = "minimal test card";
  // T=0 ATR (no interface bytes, 15 historical bytes) with "ORVA";
  // life phase 03, status 90 00.
  p.atr = {0x3B, 0x0F, 0x00, 0x4F, 0x52, 0x56, 0x41, 0x00, 0x00,
           0x00, 0x00, 0x00, 0x01, 0x01, 0x03, 0x90, 0x00};
  p.pin = "1234";
  p.puk = "1234567890123456";
  p.cardData = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09,
                0x0A, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x17, 0x18};
  p.events = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07};

  const Bytes aid = {0xA0, 0x00, 0x00, 0x00, 0x63, 0x50, 0x4B, 0x43, 0x53, 0x2D, 0x31, 0x35};
  p.files.push_back({{}, true, {'M', 'a', 's', 't', 'e', 'r', '.', 'F', 'i', 'l', 'e'}, {}, 0, 0,
                     Access::Always, Access::Never});
  p.files.push_back({{0x5015}, true, aid, {}, 0, 0, Access::Always, Access::Never});
  // ODF: certificates at 6004, authentication objects at 6000.
  p.files.push_back({{0x5015, 0x5031},
                     false,
                     {},
                     {0xA4, 0x06, 0x30, 0x04, 0x04, 0x02, 0x60, 0x04, 0xA8, 0x06, 0x30, 0x04, 0x04,
                      0x02, 0x60, 0x00},
                     64,
                     0,
                     Access::Always,
                     Access::Pin});
  // A 300-byte EF with a counting pattern, for chunked reads.
  Bytes big(300);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i);
  p.files.push_back({{0x5015, 0x6004}, false, {}, big, 0, 4, Access::Always, Access::Pin});
  p.files.push_back({{0x5015, 0x6000}, false, {}, {0x30, 0x03, 0x02, 0x01, 0x01}, 32, 0,
                     Access::Always, Access::Pin});
  // A private file.
  p.files.push_back({{0x5015, 0x7001}, false, {}, {0xDE, 0xAD, 0xBE, 0xEF}, 4, 0, Access::Pin,
                     Access::Pin});
  p.files.push_back({{0x3F11}, true, {'I', 'C', 'C', '.', 'C', 'r', 'y', 'p', 't', 'o'}, {}, 0, 0,
                     Access::Always, Access::Never});
  return p;
}

}  // namespace zorbix::sim
