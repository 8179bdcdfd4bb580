// The national ID card's communicator: device authentication that opens a
// secure channel (securechannel.cpp) and secure messaging inside it
// (securemessaging.cpp).
#pragma once

#include <cstdint>
#include <span>

#include "comm/communicator.h"
#include "comm/crypto.h"

namespace zorbix::comm {

// The PIN commands open the channel first; once open, every exchange through
// TransmitApdu and SendCommand is protected until a failure inside the
// protection closes it. Other operations run plain while it is closed.
class CComm_Vexa : public CCommunicator {
 public:
  // channelParams: the DER channel parameters of the token type; without
  // them no channel opens (CKR_DEVICE_ERROR).
  explicit CComm_Vexa(CSlot& slot, ByteView channelParams = {});
  ~CComm_Vexa() override;

  void VerifyPin(ByteView pin) override;
  void ChangePin(ByteView oldPin, ByteView newPin, std::uint8_t selector) override;
  void ResetRetryCounter(ByteView code, std::optional<ByteView> newPin) override;
  std::uint16_t GetPinTries() override;

  // Plain while the channel is closed, protected while it is open.
  std::uint16_t TransmitApdu(ByteView apdu, Bytes& response, std::uint16_t expected) override;
  void SendCommand(ByteView header, ByteView data, Bytes& response,
                   std::uint16_t expected) override;

  // Mutual authentication with the card and the session keys. Card refusals
  // give CKR_DEVICE_ERROR, certificates or an authentication answer that do
  // not check out CKR_DATA_INVALID, parameters that do not decode
  // CKR_GENERAL_ERROR (as does a channel already open).
  void OpenChannel();
  // The subject key of an X.509 v3 certificate signed with
  // sha1WithRSAEncryption by issuer; CKR_DATA_INVALID otherwise.
  static crypto::RsaPublicKey CheckCardCertificate(const crypto::RsaPublicKey& issuer,
                                                   ByteView certificate);

  // The protection itself; each MAC advances the send sequence counter.
  // apdu: CLA INS P1 P2 P3 [data], short or extended; rewritten protected.
  void WrapCommand(SecureBytes& apdu);
  // The card's protected answer, checked and decrypted in place; its status
  // goes to LastStatus().
  void UnwrapResponse(Bytes& response);
  Bytes ComputeMac(ByteView input);

  bool ChannelOpen() const { return channelOpen_ != 0; }
  std::uint32_t MacLength() const { return macLength_; }
  const SecureBytes& Ssc() const { return ssc_; }

 protected:
  // The host's random bytes (RND.IFD, PRND2, Kifd).
  virtual void FillRandom(std::span<std::uint8_t> out);
  // Wipes and empties the session keys and closes the channel.
  void CloseChannel() noexcept;
  void EnsureChannel();

  std::uint8_t channelOpen_ = 0;
  SecureBytes kEnc_;
  SecureBytes kMac_;
  SecureBytes ssc_;
  std::uint32_t macLength_ = 4;

 private:
  std::uint16_t TransmitProtected(ByteView apdu, Bytes& response, std::uint16_t expected);

  const SecureBytes channelParams_;
};

}  // namespace zorbix::comm
