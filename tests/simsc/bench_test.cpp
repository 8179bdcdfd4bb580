// The secure channel through the real pcscd: establishment and one protected
// command with the virtual national ID card behind vpcd.
#include "sim/bench.h"

#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "sim/content_pki.h"
#include "sim/securechannel.h"
#include "tests/simsc/host.h"

namespace zorbix::sim {
namespace {

TEST(SecureChannelBench, OpensThroughPcscdAndVerifiesThePinProtected) {
  auto bench = Bench::Start();
  Card& card = bench->Insert(0, "Vexa");

  SCARDCONTEXT ctx = 0;
  ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx), SCARD_S_SUCCESS);
  SCARDHANDLE handle = 0;
  DWORD proto = 0;
  ASSERT_EQ(SCardConnect(ctx, bench->ReaderName(0).c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0,
                         &handle, &proto),
            SCARD_S_SUCCESS);
  simsc::TestHost host([handle](const Bytes& apdu) {
    Bytes r(300);
    DWORD len = static_cast<DWORD>(r.size());
    const LONG rv = SCardTransmit(handle, SCARD_PCI_T0, apdu.data(),
                                  static_cast<DWORD>(apdu.size()), nullptr, r.data(), &len);
    r.resize(rv == SCARD_S_SUCCESS ? len : 0);
    return r;
  });

  EXPECT_NO_THROW(host.Open(simsc::ParseChannelParams(PkiFile("vexa-channel-params.der"))));
  ASSERT_TRUE(host.open);
  auto keys = OpenChannelKeys(card);
  ASSERT_TRUE(keys);
  EXPECT_EQ(keys->kMac, host.kMac);

  const std::string& pin = card.profile().pin;
  Bytes verify(5 + pin.size());
  verify[1] = 0x20;
  verify[4] = static_cast<std::uint8_t>(pin.size());
  std::copy(pin.begin(), pin.end(), verify.begin() + 5);
  simsc::Answer a = host.Protected(verify);
  EXPECT_EQ(a.sw, 0x9000);
  EXPECT_TRUE(card.PinVerified());
  EXPECT_EQ(OpenChannelKeys(card)->ssc, host.ssc);

  SCardDisconnect(handle, SCARD_LEAVE_CARD);
  SCardReleaseContext(ctx);
}

}  // namespace
}  // namespace zorbix::sim
