// Secure messaging inside the national ID card's channel: protected
// commands (DO 87 / 97 and a MAC in DO 8E), protected answers (DO 87, 99,
// 8E), the MAC chained to the send sequence counter, and the rule that a
// fault of the protection closes the channel.
#include <algorithm>

#include "comm/apdu.h"
#include "comm/securechannel.h"

namespace zorbix::comm {

namespace {

namespace cr = zorbix::crypto;

[[noreturn]] void Fail(CK_RV rv) { throw Pkcs11Exception(rv); }

constexpr std::uint8_t kClaSecureMessaging = 0x0C;
constexpr std::uint8_t kPaddingIndicator = 0x01;

// One data object of a protected answer.
struct DataObject {
  std::uint8_t tag = 0;
  ByteView value;
  std::size_t end = 0;  // offset after it
};

DataObject ReadDataObject(ByteView bytes, std::size_t at) {
  if (at >= bytes.size()) Fail(CKR_DATA_INVALID);
  const TlvHeader h = ParseTlvHeader(bytes.subspan(at));
  if (h.Total() > bytes.size() - at) Fail(CKR_DATA_INVALID);
  return {bytes[at], bytes.subspan(at + h.headerLength, h.contentLength), at + h.Total()};
}

bool SameMac(ByteView a, ByteView b) {
  if (a.size() != b.size()) return false;
  std::uint8_t diff = 0;
  for (std::size_t i = 0; i < a.size(); ++i) diff |= a[i] ^ b[i];
  return diff == 0;
}

bool SeveralBlocks(ByteView v) { return v.size() % cr::kDesBlock == 0; }

}  // namespace

Bytes CComm_Vexa::ComputeMac(ByteView input) {
  if (!SeveralBlocks(input) || ssc_.size() != cr::kDesBlock || kMac_.size() != 16 ||
      kEnc_.size() != 16)
    Fail(CKR_DATA_INVALID);
  cr::IncrementCounter(ssc_);
  SecureBytes chained;
  chained.reserve(ssc_.size() + input.size());
  chained.insert(chained.end(), ssc_.begin(), ssc_.end());
  chained.insert(chained.end(), input.begin(), input.end());
  Bytes mac = cr::RetailMac(kMac_, chained);
  mac.resize(std::min<std::size_t>(macLength_, mac.size()));
  return mac;
}

void CComm_Vexa::WrapCommand(SecureBytes& apdu) {
  if (apdu.size() < 5) Fail(CKR_DATA_INVALID);
  const std::uint8_t p3 = apdu[4];
  ByteView data = ByteView(apdu).subspan(5);

  SecureBytes object;
  if (data.empty()) {
    if (p3 != 0) object = {0x97, 0x01, p3};
  } else {
    if (p3 != data.size()) {
      const bool extended = p3 == 0 && data.size() > 2 &&
                            static_cast<std::size_t>(data[0] << 8 | data[1]) == data.size() - 2;
      if (!extended) Fail(CKR_DATA_INVALID);
      data = data.subspan(2);
    }
    Bytes cryptogram;
    try {
      cryptogram = cr::TripleDesCbcEncrypt(kEnc_, cr::PadMethod2Secret(data));
    } catch (const cr::CryptoError&) {
      Fail(CKR_DATA_INVALID);
    }
    object.push_back(0x87);
    AppendBerLength(object, cryptogram.size() + 1);
    object.push_back(kPaddingIndicator);
    object.insert(object.end(), cryptogram.begin(), cryptogram.end());
  }

  const std::uint8_t cla = apdu[0] | kClaSecureMessaging;
  SecureBytes macInput = {cla, apdu[1], apdu[2], apdu[3], 0x80, 0x00, 0x00, 0x00};
  if (!object.empty()) {
    macInput.insert(macInput.end(), object.begin(), object.end());
    macInput = cr::PadMethod2Secret(macInput);
  }
  const Bytes mac = ComputeMac(macInput);

  const std::size_t body = object.size() + 2 + mac.size();
  SecureBytes out = {cla, apdu[1], apdu[2], apdu[3]};
  out.reserve(7 + body);
  if (body < 0x100)
    out.push_back(static_cast<std::uint8_t>(body));
  else
    out.insert(out.end(), {0x00, static_cast<std::uint8_t>(body >> 8), static_cast<std::uint8_t>(body)});
  out.insert(out.end(), object.begin(), object.end());
  out.insert(out.end(), {0x8E, static_cast<std::uint8_t>(mac.size())});
  out.insert(out.end(), mac.begin(), mac.end());
  apdu = std::move(out);
}

void CComm_Vexa::UnwrapResponse(Bytes& response) {
  const ByteView r = response;
  DataObject status = ReadDataObject(r, 0);
  ByteView cryptogram;
  const bool encrypted = status.tag == 0x87;
  if (encrypted) {
    if (status.value.size() % cr::kDesBlock != 1 || status.value[0] != kPaddingIndicator)
      Fail(CKR_DATA_INVALID);
    cryptogram = status.value.subspan(1);
    status = ReadDataObject(r, status.end);
  }
  if (status.tag != 0x99 || status.value.size() != 2) Fail(CKR_DATA_INVALID);
  const std::uint16_t sw = static_cast<std::uint16_t>(status.value[0] << 8 | status.value[1]);
  const Bytes macInput = cr::PadMethod2(r.first(status.end));
  const DataObject mac = ReadDataObject(r, status.end);
  if (mac.tag != 0x8E || mac.value.size() != macLength_) Fail(CKR_DATA_INVALID);
  if (!SameMac(mac.value, ComputeMac(macInput))) Fail(CKR_DATA_INVALID);

  SecureBytes plain;
  if (encrypted) {
    try {
      plain = cr::TripleDesCbcDecrypt(kEnc_, cryptogram);
    } catch (const cr::CryptoError&) {
      Fail(CKR_DATA_INVALID);
    }
    if (!cr::UnpadMethod2(plain)) Fail(CKR_DATA_INVALID);
  }
  WipeMemory(response.data(), response.size());
  response.assign(plain.begin(), plain.end());
  lastStatus_ = sw;
}

std::uint16_t CComm_Vexa::TransmitApdu(ByteView apdu, Bytes& response, std::uint16_t expected) {
  if (!channelOpen_) return TransmitPlain(apdu, response, expected);
  return TransmitProtected(apdu, response, expected);
}

std::uint16_t CComm_Vexa::TransmitProtected(ByteView apdu, Bytes& response,
                                            std::uint16_t expected) {
  try {
    SecureBytes wrapped(apdu.begin(), apdu.end());
    WrapCommand(wrapped);
    // A body of 256 bytes or more makes an extended command: envelopes.
    if (wrapped[4] == 0x00)
      SendEnvelopes(wrapped, response, kSwAnyStatus);
    else
      TransmitPlain(wrapped, response, kSwAnyStatus);
    // Every protected answer is announced; anything else is a refusal of
    // the protection itself.
    if ((lastStatus_ >> 8) != 0x61) RaiseCardStatus(lastStatus_);
    GetResponse(response);
    UnwrapResponse(response);
  } catch (...) {
    CloseChannel();
    throw;
  }
  // The card's own status inside a good answer leaves the channel open.
  if (expected != kSwAnyStatus && lastStatus_ != expected) RaiseCardStatus(lastStatus_);
  return lastStatus_;
}

void CComm_Vexa::SendCommand(ByteView header, ByteView data, Bytes& response,
                             std::uint16_t expected) {
  SecureBytes apdu;
  // Protection adds up to 24 bytes: from 231 the command goes extended.
  if (!BuildCommand(apdu, header, data, kUpdateChunk)) {
    TransmitApdu(apdu, response, expected);
    return;
  }
  const bool protect = channelOpen_ != 0;
  try {
    if (protect) WrapCommand(apdu);
    SendEnvelopes(apdu, response, kSwAnyStatus);
    if ((lastStatus_ >> 8) == 0x61)
      GetResponse(response);
    else if (lastStatus_ != kSwOk)
      RaiseCardStatus(lastStatus_);
    if (protect) UnwrapResponse(response);
  } catch (...) {
    if (protect) CloseChannel();
    throw;
  }
  if (expected != kSwAnyStatus && lastStatus_ != expected) RaiseCardStatus(lastStatus_);
}

}  // namespace zorbix::comm
