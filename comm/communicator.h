// Card transport: PC/SC transactions and transmission on a slot, and the
// communicator family with status words, GET RESPONSE, envelopes, file
// selection, transparent-file access and compressed card files.
#pragma once

#include <p11-kit/pkcs11.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "p11/pkcs11exception.h"
#include "platform/secret.h"

namespace zorbix::p11 {
class CSlot;
class CMech;
class CTokenType;
}  // namespace zorbix::p11

namespace zorbix::comm {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;
using p11::CSlot;
using p11::Pkcs11Exception;

// ---------------------------------------------------------------- status words

inline constexpr std::uint16_t kSwOk = 0x9000;
// `expected` of TransmitApdu: 0 accepts any status, kSwAny61 any 61xx.
inline constexpr std::uint16_t kSwAnyStatus = 0x0000;
inline constexpr std::uint16_t kSwAny61 = 0x6100;

// A status word that no caller translated travels as this CK_RV + SW.
inline constexpr CK_RV kCardStatusBase = 0x80100000UL;

constexpr CK_RV CardStatusValue(std::uint16_t sw) { return kCardStatusBase + sw; }
constexpr bool IsCardStatusValue(CK_RV rv) { return rv >= kCardStatusBase && rv <= kCardStatusBase + 0xFFFF; }
constexpr std::uint16_t StatusWordOf(CK_RV rv) { return static_cast<std::uint16_t>(rv & 0xFFFF); }
[[noreturn]] void RaiseCardStatus(std::uint16_t sw);

// For printing: to_string(StatusWord{0x6982}) is "6982 (security status not
// satisfied)"; words without a meaning here print as the four digits.
enum class StatusWord : std::uint16_t {};
std::string to_string(StatusWord sw);

// ---------------------------------------------------------------- slot transport

// Connects the slot when it has no card handle, then starts a PC/SC
// transaction. CKR_SESSION_HANDLE_INVALID when there is still no card or the
// card was removed; CKR_DEVICE_ERROR for other PC/SC failures.
void BeginTransaction(CSlot& slot);
// Ends the transaction when the slot has a card handle; the result is ignored.
void EndTransaction(CSlot& slot) noexcept;

// Brackets one PKCS#11 operation's card work; ends on success and on failure.
class CSlotTransaction {
 public:
  explicit CSlotTransaction(CSlot& slot) : slot_(slot) { BeginTransaction(slot_); }
  ~CSlotTransaction() { EndTransaction(slot_); }
  CSlotTransaction(const CSlotTransaction&) = delete;
  CSlotTransaction& operator=(const CSlotTransaction&) = delete;

 private:
  CSlot& slot_;
};

// One SCardTransmit over T=0; response gets every byte the card returned,
// status word included. A failed transmission resets the slot's card state
// and raises CKR_SESSION_HANDLE_INVALID (card removed, or no card handle) or
// CKR_DEVICE_ERROR.
void TransmitRaw(CSlot& slot, ByteView apdu, Bytes& response);

// ---------------------------------------------------------------- communicators

// Longest command (a whole extended APDU) that two envelopes carry. Longer
// ones are refused with CKR_DATA_LEN_RANGE before anything is sent.
inline constexpr std::size_t kEnvelopeChunk = 250;
inline constexpr std::size_t kMaxEnvelopedCommand = 2 * kEnvelopeChunk - 1;
inline constexpr std::size_t kReadChunk = 250;
inline constexpr std::size_t kUpdateChunk = 231;
// Offsets are READ/UPDATE BINARY P1-P2; this bit means P1 = 0x80 | SFI.
inline constexpr std::uint16_t kSfiOffset = 0x8000;

inline constexpr char kMasterFile[] = "Master.File";
inline constexpr char kIccCrypto[] = "ICC.Crypto";

// Usage flags of the key commands.
inline constexpr unsigned kUsagePublic = 1;
inline constexpr unsigned kUsagePrivate = 2;
inline constexpr unsigned kUsageSign = 4;
inline constexpr unsigned kUsageDecrypt = 8;

// Bound to one slot, whose card it connects on construction (a card already
// connected is reset) and disconnects on destruction. Every failure is a
// Pkcs11Exception. Response vectors never hold the status word; it is in
// LastStatus().
class CCommunicator {
 public:
  explicit CCommunicator(CSlot& slot);
  virtual ~CCommunicator();  // 0
  CCommunicator(const CCommunicator&) = delete;
  CCommunicator& operator=(const CCommunicator&) = delete;

  // Key and PIN commands. PIN and code buffers are wiped on every way out.
  // Selects the key file of a key; returns its size and the path (3F11 ...).
  virtual std::uint16_t GetKeyFile(unsigned usage, std::uint8_t keyReference, Bytes& path);  // 1
  // An empty PIN asks the retry counter: the card status value is raised.
  virtual void VerifyPin(ByteView pin);  // 2
  virtual void ChangePin(ByteView oldPin, ByteView newPin, std::uint8_t selector);  // 3
  // The card status value of a refusal is raised unchanged.
  virtual void ResetRetryCounter(ByteView code, std::optional<ByteView> newPin);  // 4
  // 0 blocked; above 2 when the card names no count (the PIN is verified).
  virtual std::uint16_t GetPinTries();  // 5
  virtual void Sign(p11::CMech& mechanism, ByteView data, Bytes& signature);  // 6
  // These three return CKR_DEVICE_MEMORY for the refusals that mean "no
  // room"; other failures are raised.
  virtual CK_RV PutKeyComponent(unsigned usage, std::uint8_t tag, ByteView value,
                                std::uint8_t keyReference);  // 7
  virtual CK_RV GenerateKeyPair(unsigned usage, unsigned modulusBits, ByteView publicExponent,
                                std::uint8_t keyReference);  // 8
  virtual CK_RV EraseKey(unsigned usage, std::uint8_t keyReference);  // 9
  // Inclusive range of key references the token assigns to new keys.
  virtual std::uint8_t FirstKeyReference() const { return 1; }   // 10
  virtual std::uint8_t LastKeyReference() const { return 32; }   // 11

  // Sends apdu (CLA INS P1 P2 P3 data) and returns the status word. expected:
  // kSwAnyStatus, kSwAny61 or one exact word; any other status raises its
  // card status value.
  virtual std::uint16_t TransmitApdu(ByteView apdu, Bytes& response, std::uint16_t expected) = 0;  // 12
  // header (4 bytes) + data, as a short APDU or, from 250 data bytes, as an
  // extended one in envelopes.
  virtual void SendCommand(ByteView header, ByteView data, Bytes& response,
                           std::uint16_t expected);  // 13

  // Key commands that are the same on every card kind.
  void ReadPublicKey(std::uint8_t keyReference, Bytes& exponent, Bytes& modulus);
  // CKR_SIGNATURE_INVALID when the card finds the signature wrong.
  void VerifyOnCard(p11::CMech& mechanism, ByteView data, ByteView signature);
  // PKCS#1 v1.5 padding removed here unless the card removed it.
  void Decipher(std::uint8_t keyReference, ByteView ciphertext, SecureBytes& plaintext);
  // count random bytes from the card, 20 per GET CHALLENGE.
  void GetChallenge(std::size_t count, std::uint8_t* buffer);

  // Collects what a 61xx status announced; a final status other than 9000
  // raises its card status value.
  void GetResponse(Bytes& response);
  // A long command in two 90 C2 envelopes (at most kMaxEnvelopedCommand bytes).
  void SendEnvelopes(ByteView apdu, Bytes& response, std::uint16_t expected);

  // Selections end in 9000 or raise CKR_DEVICE_ERROR; the answer (FCI) is kept
  // in LastResponse().
  void SelectName(std::string_view name);
  void SelectId(std::uint16_t fileId);
  std::uint16_t SelectIdSize(std::uint16_t fileId);
  // Path below the master file, 2 bytes per level, without 3F00.
  void SelectPath(ByteView path);
  std::uint16_t SelectPathSize(ByteView path);

  // Up to count bytes from offset, in chunks of at most 250; a short chunk
  // means the end of the file, so out may be shorter than count.
  void ReadBinaryAt(Bytes& out, std::uint16_t offset, std::size_t count);
  // The whole DER element (tag 30) at offset. CKR_DATA_INVALID when none
  // starts there, its length is malformed, the file ends inside it, or the
  // card answers 6B00 or 6Cxx.
  void ReadObject(Bytes& out, std::uint16_t offset);
  // The value of a compressed card file (stored or zlib form).
  void ReadCompressed(ByteView path, Bytes& out);
  // The card file image of a value (needs no card).
  static Bytes CompressForCard(ByteView value);

  // Writes in chunks of at most 231 bytes.
  void UpdateBinaryAt(std::uint16_t offset, ByteView bytes);
  // One complete DER element (tag 30).
  void WriteObject(ByteView element, std::uint16_t offset);
  // path: parent DF id, new file id (4 bytes).
  void CreateEf(ByteView path, bool isPrivate, std::uint16_t size);

  std::uint16_t LastStatus() const { return lastStatus_; }
  const Bytes& LastResponse() const { return lastResponse_; }
  CSlot& Slot() const { return *slot_; }

 protected:
  // The unprotected exchange; also used by GET RESPONSE and the envelopes.
  std::uint16_t TransmitPlain(ByteView apdu, Bytes& response, std::uint16_t expected);

  std::uint16_t lastStatus_ = 0;
  CSlot* slot_;
  Bytes lastResponse_;

 private:
  void Select(ByteView apdu);
};

class CComm_Plain : public CCommunicator {
 public:
  explicit CComm_Plain(CSlot& slot) : CCommunicator(slot) {}
  ~CComm_Plain() override;

  std::uint16_t TransmitApdu(ByteView apdu, Bytes& response, std::uint16_t expected) override;
  // The host pads; the card applies the key to the loaded block.
  void Sign(p11::CMech& mechanism, ByteView data, Bytes& signature) override;
};

// Card family 1.0: other key files and key references, one key file per
// usage.
class CComm_Halvo1_0 : public CComm_Plain {
 public:
  explicit CComm_Halvo1_0(CSlot& slot) : CComm_Plain(slot) {}
  ~CComm_Halvo1_0() override;

  std::uint16_t GetKeyFile(unsigned usage, std::uint8_t keyReference, Bytes& path) override;
  CK_RV PutKeyComponent(unsigned usage, std::uint8_t tag, ByteView value,
                        std::uint8_t keyReference) override;
  CK_RV GenerateKeyPair(unsigned usage, unsigned modulusBits, ByteView publicExponent,
                        std::uint8_t keyReference) override;
  CK_RV EraseKey(unsigned usage, std::uint8_t keyReference) override;
  std::uint8_t FirstKeyReference() const override { return 32; }
  std::uint8_t LastKeyReference() const override { return 48; }
};

// The communicator for a token type's communicationsType: 1 CComm_Vexa
// (with the type's channel parameters), 2 CComm_Halvo1_0, anything else
// CComm_Plain. Connects the slot.
std::unique_ptr<CCommunicator> CreateCommunicator(CSlot& slot, const p11::CTokenType& type);
// The same without channel parameters (a CComm_Vexa then opens no channel).
std::unique_ptr<CCommunicator> CreateCommunicator(CSlot& slot, std::uint8_t communicationsType);

// DER tag and length at the start of bytes (one- or two-byte tag; a length
// byte up to 80 is the length, 81 and 82 take one and two more bytes).
// CKR_DATA_INVALID when malformed or cut short.
struct TlvHeader {
  std::size_t headerLength = 0;
  std::size_t contentLength = 0;
  std::size_t Total() const { return headerLength + contentLength; }
};
TlvHeader ParseTlvHeader(ByteView bytes);

}  // namespace zorbix::comm
