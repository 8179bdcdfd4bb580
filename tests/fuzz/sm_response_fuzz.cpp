// The card's protected answers in an open secure channel (UnwrapResponse):
// data objects 87, 99 and 8E, the MAC and the encrypted data.
//
// The first byte picks how the rest becomes an answer, so that inputs get
// past the MAC, which no mutation could forge:
//   bits 0-1  0: the answer as it stands
//             1: the rest, then DO 8E with the MAC over it
//             2, 3: SW1 SW2 and plain data (cut to whole blocks): DO 87 with
//                the data encrypted as they stand (their padding is the
//                input's), DO 99 with the status, DO 8E with the MAC
//   bit 2     8-byte MACs instead of 4
// In the last form the outcome is known: the data with their padding
// removed and the status, or a refusal exactly when the padding is wrong.
#include "comm/apdu.h"
#include "comm/crypto.h"
#include "comm/securechannel.h"
#include "tests/fuzz/harness.h"

namespace {

using namespace zorbix;
using fuzz::Bytes;
using fuzz::ByteView;

const Bytes kEnc = {0x59, 0x1C, 0x64, 0x3E, 0x1A, 0x02, 0x7F, 0x43,
                    0x8B, 0x3D, 0xCE, 0x0B, 0x61, 0x29, 0x75, 0x9F};
const Bytes kMac = {0x23, 0x7A, 0xE5, 0x40, 0x10, 0x9D, 0xB6, 0xF1,
                    0x07, 0x4C, 0x38, 0xA2, 0x5E, 0xC9, 0x91, 0x6B};
const Bytes kSsc = {0x3F, 0x00, 0x00, 0x01, 0x11, 0x22, 0x33, 0x44};

class Channel : public comm::CComm_Vexa {
 public:
  using CComm_Vexa::CComm_Vexa;

  void Open(std::uint32_t macLength) {
    kEnc_.assign(kEnc.begin(), kEnc.end());
    kMac_.assign(kMac.begin(), kMac.end());
    ssc_.assign(kSsc.begin(), kSsc.end());
    macLength_ = macLength;
    channelOpen_ = 1;
  }
  // The MAC the card would send at this point, the counter left as it was.
  Bytes MacNow(ByteView input) {
    const SecureBytes saved = ssc_;
    Bytes mac = ComputeMac(crypto::PadMethod2(input));
    ssc_ = saved;
    return mac;
  }
};

Channel& TheChannel() {
  static fuzz::FakeSlot* slot = new fuzz::FakeSlot(Bytes{0x3B, 0x00});
  static Channel* channel = new Channel(slot->Slot());
  return *channel;
}

void AppendMac(Channel& c, Bytes& answer, std::uint32_t macLength) {
  const Bytes mac = c.MacNow(answer);
  answer.push_back(0x8E);
  answer.push_back(static_cast<std::uint8_t>(macLength));
  answer.insert(answer.end(), mac.begin(), mac.end());
}

// Method 2 padding removed, or nothing when it is wrong.
std::optional<Bytes> Unpadded(Bytes plain) {
  while (!plain.empty() && plain.back() == 0x00) plain.pop_back();
  if (plain.empty() || plain.back() != 0x80) return std::nullopt;
  plain.pop_back();
  return plain;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const unsigned mode = data[0] & 3;
  const std::uint32_t macLength = (data[0] & 4) ? 8 : 4;
  ByteView rest(data + 1, size - 1);
  Channel& c = TheChannel();
  c.Open(macLength);

  Bytes answer;
  Bytes plain;
  std::uint16_t sw = 0;
  if (mode == 0) {
    answer.assign(rest.begin(), rest.end());
  } else if (mode == 1) {
    answer.assign(rest.begin(), rest.end());
    AppendMac(c, answer, macLength);
  } else {
    if (rest.size() < 2) return 0;
    sw = static_cast<std::uint16_t>(rest[0] << 8 | rest[1]);
    plain.assign(rest.begin() + 2, rest.end());
    plain.resize(plain.size() - plain.size() % crypto::kDesBlock);
    if (!plain.empty()) {
      const Bytes cryptogram = crypto::TripleDesCbcEncrypt(kEnc, plain);
      answer.push_back(0x87);
      comm::AppendBerLength(answer, cryptogram.size() + 1);
      answer.push_back(0x01);
      answer.insert(answer.end(), cryptogram.begin(), cryptogram.end());
    }
    answer.insert(answer.end(), {0x99, 0x02, rest[0], rest[1]});
    AppendMac(c, answer, macLength);
  }

  Bytes response = answer;
  bool accepted = true;
  try {
    c.UnwrapResponse(response);
  } catch (const p11::Pkcs11Exception&) {
    accepted = false;
  }
  if (mode >= 2) {
    const std::optional<Bytes> expected = plain.empty() ? Bytes{} : Unpadded(plain);
    fuzz::Require(accepted == expected.has_value(), accepted ? "an answer with bad padding passed"
                                                             : "a well-formed answer was refused");
    if (accepted) {
      fuzz::Require(response == *expected, "the data differ from what the card encrypted");
      fuzz::Require(c.LastStatus() == sw, "the status differs from DO 99");
    }
  }
  return 0;
}
