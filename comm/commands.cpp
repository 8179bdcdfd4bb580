// The card's key and PIN commands on every communicator kind, with the
// translation of their failures kept as tables.
#include <algorithm>
#include <array>

#include "comm/apdu.h"
#include "comm/communicator.h"
#include "p11/mechanisms.h"

namespace zorbix::comm {

namespace {

[[noreturn]] void Fail(CK_RV rv) { throw Pkcs11Exception(rv); }

constexpr std::size_t kMinPin = 4;
constexpr std::size_t kMaxPin = 16;
constexpr std::size_t kUnblockingCodeLength = 16;
constexpr std::uint16_t kPinFile = 0x0000;
constexpr std::uint16_t kKeyFileBase = 0x0100;  // key file of reference kk: 01kk
constexpr std::uint16_t kSwDeactivated = 0x6283;
constexpr std::uint16_t kSwNotFound = 0x6A88;
constexpr std::size_t kChallengeChunk = 20;
constexpr std::size_t kMaxShortData = 0xFF;
// The card answers the counter query with 9000 when the PIN is already
// verified: no count, and certainly no low one. The most a 63Cx answer can
// tell stands in for it.
constexpr std::uint16_t kTriesNotReported = 15;

// ---------------------------------------------------------------- failures

enum class Outcome : std::uint8_t {
  Raise,       // raise `result`
  Return,      // return `result` without raising
  ReturnTries  // return the low digit of the status (63Cx)
};

struct FailureRule {
  CK_RV match;
  CK_RV mask;
  Outcome outcome;
  CK_RV result;
};

struct Translation {
  std::span<const FailureRule> rules;
  CK_RV otherCardStatus;  // card status values no rule names; 0: unchanged
  CK_RV otherFailure;     // failures that are no card status; 0: unchanged
};

constexpr CK_RV kExact = ~CK_RV{0};
constexpr CK_RV kLowDigit = ~CK_RV{0xF};
constexpr CK_RV Card(std::uint16_t sw) { return CardStatusValue(sw); }

constexpr FailureRule kPinCheckRules[] = {
    {Card(0x6983), kExact, Outcome::Raise, CKR_PIN_LOCKED},
    {Card(0x63C0), kLowDigit, Outcome::Raise, CKR_PIN_INCORRECT},
};
constexpr Translation kPinCheck{kPinCheckRules, CKR_DEVICE_ERROR, CKR_DEVICE_ERROR};

constexpr FailureRule kPinTriesRules[] = {
    {Card(0x6983), kExact, Outcome::Return, 0},
    {Card(0x63C0), kLowDigit, Outcome::ReturnTries, 0},
};
constexpr Translation kPinTries{kPinTriesRules, CKR_DEVICE_ERROR, 0};

// A card pulled out stays what it is, so that the sessions of its token end.
constexpr FailureRule kSigningRules[] = {
    {Card(0x6300), kExact, Outcome::Raise, CKR_SIGNATURE_INVALID},
    {CKR_SESSION_HANDLE_INVALID, kExact, Outcome::Raise, CKR_SESSION_HANDLE_INVALID},
};
constexpr Translation kSigning{kSigningRules, CKR_DATA_INVALID, CKR_DATA_INVALID};

constexpr FailureRule kDecipherRules[] = {
    {CKR_DATA_INVALID, kExact, Outcome::Raise, CKR_ENCRYPTED_DATA_INVALID},
    {Card(0x6A80), kExact, Outcome::Raise, CKR_ENCRYPTED_DATA_INVALID},
    {Card(0x6A82), kExact, Outcome::Raise, CKR_DEVICE_ERROR},
    {Card(0x6A88), kExact, Outcome::Raise, CKR_DEVICE_ERROR},
};
constexpr Translation kDecipher{kDecipherRules, 0, 0};

constexpr FailureRule kStoreRules[] = {
    {Card(0x6982), kExact, Outcome::Raise, CKR_USER_NOT_LOGGED_IN},
    {Card(0x6A80), kExact, Outcome::Raise, CKR_DATA_INVALID},
    {Card(0x6A82), kExact, Outcome::Raise, CKR_DEVICE_MEMORY},
    {Card(0x6985), kExact, Outcome::Return, CKR_DEVICE_MEMORY},
    {Card(0x6A88), kExact, Outcome::Return, CKR_DEVICE_MEMORY},
};
constexpr Translation kStore{kStoreRules, 0, 0};

constexpr FailureRule kGenerateRules[] = {
    {Card(0x6A82), kExact, Outcome::Raise, CKR_DEVICE_ERROR},
    {Card(0x6A84), kExact, Outcome::Raise, CKR_DEVICE_MEMORY},
    {Card(0x6A88), kExact, Outcome::Return, CKR_DEVICE_MEMORY},
};
constexpr Translation kGenerate{kGenerateRules, CKR_DEVICE_ERROR, CKR_DEVICE_ERROR};

constexpr FailureRule kEraseRules[] = {
    {Card(0x6A84), kExact, Outcome::Raise, CKR_DEVICE_MEMORY},
    {Card(0x6A82), kExact, Outcome::Raise, CKR_DEVICE_ERROR},
    {Card(0x6A88), kExact, Outcome::Return, CKR_DEVICE_MEMORY},
};
constexpr Translation kErase{kEraseRules, 0, 0};

// What the failure `raised` becomes: returned, or raised as translated.
CK_RV Translate(const Translation& t, CK_RV raised) {
  for (const FailureRule& r : t.rules) {
    if ((raised & r.mask) != r.match) continue;
    switch (r.outcome) {
      case Outcome::Raise:
        Fail(r.result);
      case Outcome::Return:
        return r.result;
      case Outcome::ReturnTries:
        return raised & 0xF;
    }
  }
  const CK_RV other = IsCardStatusValue(raised) ? t.otherCardStatus : t.otherFailure;
  Fail(other != 0 ? other : raised);
}

// Runs the command; CKR_OK when it succeeds, else what its failure returns.
template <typename F>
CK_RV Translated(const Translation& t, F&& command) {
  try {
    command();
  } catch (const Pkcs11Exception& e) {
    return Translate(t, e.rv());
  }
  return CKR_OK;
}

// ---------------------------------------------------------------- helpers

// Short APDU header + data; the buffer wipes itself.
SecureBytes Command(std::array<std::uint8_t, 4> header, ByteView data) {
  if (data.size() > kMaxShortData) Fail(CKR_DATA_LEN_RANGE);
  SecureBytes apdu;
  BuildCommand(apdu, header, data, kMaxShortData + 1);
  return apdu;
}

bool PinLengthOk(ByteView pin) { return pin.size() >= kMinPin && pin.size() <= kMaxPin; }

std::uint8_t UsageP1(unsigned usage) {
  std::uint8_t p1 = 0;
  if (usage & kUsageSign) p1 |= 0x80;
  if (usage & kUsageDecrypt) p1 |= 0x40;
  return p1;
}

// 90 50 for a public part, 90 52 for a private one (which wins when both
// are named).
std::uint8_t StoreIns(unsigned usage) {
  if (usage & kUsagePrivate) return 0x52;
  if (usage & kUsagePublic) return 0x50;
  Fail(CKR_ARGUMENTS_BAD);
}

// Answers in a plain buffer that held something worth hiding.
struct WipeOnExit {
  Bytes& bytes;
  ~WipeOnExit() { WipeMemory(bytes.data(), bytes.size()); }
};

// PKCS#1 v1.5 block of any type (00, 01, 02) to its data; CKR_DATA_INVALID
// when it is none.
void RemovePkcs1Padding(const Bytes& block, SecureBytes& data) {
  if (block.size() < 2 || block[0] != 0x00) Fail(CKR_DATA_INVALID);
  std::size_t i = 2;
  switch (block[1]) {
    case 0x00:
      while (i < block.size() && block[i] == 0x00) ++i;
      break;
    case 0x01:
      while (i < block.size() && block[i] == 0xFF) ++i;
      if (i == block.size() || block[i] != 0x00) Fail(CKR_DATA_INVALID);
      ++i;
      break;
    case 0x02:
      while (i < block.size() && block[i] != 0x00) ++i;
      if (i == block.size()) Fail(CKR_DATA_INVALID);
      ++i;
      break;
    default:
      Fail(CKR_DATA_INVALID);
  }
  data.assign(block.begin() + static_cast<std::ptrdiff_t>(i), block.end());
}

// The activation before and after key-slot commands; 6283 (deactivated) is
// as good as 9000.
void ActivateKeyFile(CCommunicator& comm) {
  static constexpr std::uint8_t kActivate[] = {0x90, 0x44, 0x00, 0x00, 0x00};
  Bytes answer;
  const std::uint16_t sw = comm.TransmitApdu(kActivate, answer, kSwAnyStatus);
  if (sw != kSwOk && sw != kSwDeactivated) RaiseCardStatus(sw);
}

}  // namespace

// ---------------------------------------------------------------- PIN

void CCommunicator::VerifyPin(ByteView pin) {
  if (!pin.empty() && !PinLengthOk(pin)) Fail(CKR_PIN_LEN_RANGE);
  const SecureBytes apdu = Command({0x00, 0x20, 0x00, 0x00}, pin);
  Bytes answer;
  // The empty form is the counter query: its refusal is the answer.
  if (pin.empty()) {
    TransmitApdu(apdu, answer, kSwOk);
    return;
  }
  Translated(kPinCheck, [&] { TransmitApdu(apdu, answer, kSwOk); });
}

void CCommunicator::ChangePin(ByteView oldPin, ByteView newPin, std::uint8_t selector) {
  if (!PinLengthOk(oldPin) || !PinLengthOk(newPin)) Fail(CKR_PIN_LEN_RANGE);
  SecureBytes data = {selector, static_cast<std::uint8_t>(oldPin.size())};
  data.insert(data.end(), oldPin.begin(), oldPin.end());
  data.push_back(static_cast<std::uint8_t>(newPin.size()));
  data.insert(data.end(), newPin.begin(), newPin.end());
  const SecureBytes apdu = Command({0x90, 0x24, 0x00, 0x00}, data);
  Translated(kPinCheck, [&] {
    SelectName(kMasterFile);
    SelectId(kPinFile);
    Bytes answer;
    TransmitApdu(apdu, answer, kSwOk);
  });
}

void CCommunicator::ResetRetryCounter(ByteView code, std::optional<ByteView> newPin) {
  if (code.size() != kUnblockingCodeLength) Fail(CKR_DATA_INVALID);
  if (newPin && !PinLengthOk(*newPin)) Fail(CKR_PIN_LEN_RANGE);
  SecureBytes data(code.begin(), code.end());
  if (newPin) {
    data.push_back(static_cast<std::uint8_t>(newPin->size()));
    data.insert(data.end(), newPin->begin(), newPin->end());
  }
  const SecureBytes apdu = Command({0x90, 0x2C, 0x00, 0x00}, data);
  SelectName(kMasterFile);
  SelectId(kPinFile);
  Bytes answer;
  TransmitApdu(apdu, answer, kSwOk);
}

std::uint16_t CCommunicator::GetPinTries() {
  static constexpr std::uint8_t kQuery[] = {0x00, 0x20, 0x00, 0x00, 0x00};
  Bytes answer;
  bool verified = false;
  const CK_RV tries = Translated(kPinTries, [&] {
    TransmitApdu(kQuery, answer, kSwOk);
    verified = true;
  });
  return verified ? kTriesNotReported : static_cast<std::uint16_t>(tries);
}

// ---------------------------------------------------------------- keys

std::uint16_t CCommunicator::GetKeyFile(unsigned, std::uint8_t keyReference, Bytes& path) {
  const std::uint16_t file = kKeyFileBase + keyReference;
  path = {0x3F, 0x11, static_cast<std::uint8_t>(file >> 8), static_cast<std::uint8_t>(file)};
  SelectName(kIccCrypto);
  const std::uint16_t size = SelectIdSize(file);
  if (lastResponse_.size() < 9) Fail(CKR_DEVICE_ERROR);
  return size;
}

std::uint16_t CComm_Halvo1_0::GetKeyFile(unsigned usage, std::uint8_t, Bytes& path) {
  // Public wins when both parts are named.
  std::uint8_t xx = 0x00;
  if (usage & kUsagePublic)
    xx = (usage & kUsageSign) ? 0x74 : 0x78;
  else if (usage & kUsagePrivate)
    xx = (usage & kUsageSign) ? 0x73 : 0x77;
  path = {0x3F, 0x11, 0x3F, xx};
  SelectName(kIccCrypto);
  const std::uint16_t size = SelectIdSize(static_cast<std::uint16_t>(0x3F00 | xx));
  if (lastResponse_.size() < 9) Fail(CKR_DEVICE_ERROR);
  return size;
}

void CCommunicator::ReadPublicKey(std::uint8_t keyReference, Bytes& exponent, Bytes& modulus) {
  SelectName(kIccCrypto);
  for (const auto& [tag, out] : {std::pair<std::uint8_t, Bytes*>{0x12, &exponent},
                                 std::pair<std::uint8_t, Bytes*>{0x14, &modulus}}) {
    const std::uint8_t apdu[] = {0x90, 0x56, 0x80, keyReference, 0x01, tag};
    TransmitApdu(apdu, *out, kSwAnyStatus);
    if ((lastStatus_ >> 8) == 0x61) GetResponse(*out);
    if (lastStatus_ != kSwOk) Fail(CKR_DEVICE_ERROR);
  }
}

CK_RV CCommunicator::PutKeyComponent(unsigned usage, std::uint8_t tag, ByteView value,
                                     std::uint8_t keyReference) {
  return Translated(kStore, [&] {
    SelectName(kIccCrypto);
    const std::uint8_t header[] = {0x90, StoreIns(usage), UsageP1(usage), keyReference};
    SecureBytes data = {tag};
    AppendBerLength(data, value.size());
    data.insert(data.end(), value.begin(), value.end());
    Bytes answer;
    SendCommand(header, data, answer, kSwOk);
  });
}

CK_RV CComm_Halvo1_0::PutKeyComponent(unsigned usage, std::uint8_t tag, ByteView value,
                                      std::uint8_t keyReference) {
  return Translated(kStore, [&] {
    SelectName(kIccCrypto);
    const std::uint8_t ins = StoreIns(usage);
    // One length byte: the card takes the length modulo 256.
    SecureBytes data = {tag, static_cast<std::uint8_t>(value.size())};
    data.insert(data.end(), value.begin(), value.end());
    Bytes answer;
    // One copy per usage the key serves.
    for (const auto& [flag, p1] : {std::pair<unsigned, std::uint8_t>{kUsageDecrypt, 0x40},
                                   std::pair<unsigned, std::uint8_t>{kUsageSign, 0x80}}) {
      if (!(usage & flag)) continue;
      const std::uint8_t header[] = {0x90, ins, p1, keyReference};
      SendCommand(header, data, answer, kSwOk);
    }
  });
}

CK_RV CCommunicator::GenerateKeyPair(unsigned usage, unsigned modulusBits,
                                     ByteView publicExponent, std::uint8_t keyReference) {
  return Translated(kGenerate, [&] {
    if (publicExponent.size() > kMaxShortData - 6 || modulusBits > 0xFFFF)
      Fail(CKR_DATA_LEN_RANGE);
    SelectName(kIccCrypto);
    SelectId(kKeyFileBase + keyReference);
    ActivateKeyFile(*this);
    Bytes data = {0x80, 0x02, static_cast<std::uint8_t>(modulusBits >> 8),
                  static_cast<std::uint8_t>(modulusBits), 0x82,
                  static_cast<std::uint8_t>(publicExponent.size())};
    data.insert(data.end(), publicExponent.begin(), publicExponent.end());
    Bytes answer;
    TransmitApdu(Command({0x90, 0x76, UsageP1(usage), keyReference}, data), answer, kSwOk);
    ActivateKeyFile(*this);
  });
}

CK_RV CComm_Halvo1_0::GenerateKeyPair(unsigned usage, unsigned, ByteView publicExponent,
                                      std::uint8_t keyReference) {
  return Translated(kGenerate, [&] {
    SelectName(kIccCrypto);
    Bytes answer;
    TransmitApdu(Command({0x90, 0x76, UsageP1(usage), keyReference}, publicExponent), answer,
                 kSwOk);
  });
}

CK_RV CCommunicator::EraseKey(unsigned usage, std::uint8_t keyReference) {
  return Translated(kErase, [&] {
    SelectName(kIccCrypto);
    SelectId(kKeyFileBase + keyReference);
    ActivateKeyFile(*this);
    const std::uint8_t apdu[] = {0x90, 0x54, UsageP1(usage), keyReference, 0x00};
    Bytes answer;
    TransmitApdu(apdu, answer, kSwOk);
  });
}

CK_RV CComm_Halvo1_0::EraseKey(unsigned usage, std::uint8_t keyReference) {
  return Translated(kErase, [&] {
    SelectName(kIccCrypto);
    Bytes answer;
    // An empty usage file is already erased.
    for (const auto& [flag, p1] : {std::pair<unsigned, std::uint8_t>{kUsageSign, 0x80},
                                   std::pair<unsigned, std::uint8_t>{kUsageDecrypt, 0x40}}) {
      if (!(usage & flag)) continue;
      const std::uint8_t apdu[] = {0x90, 0x54, p1, keyReference, 0x00};
      const std::uint16_t sw = TransmitApdu(apdu, answer, kSwAnyStatus);
      if (sw != kSwOk && sw != kSwNotFound) RaiseCardStatus(sw);
    }
  });
}

// ---------------------------------------------------------------- signing

void CCommunicator::Sign(p11::CMech& mechanism, ByteView data, Bytes& signature) {
  SecureBytes formatted(data.begin(), data.end());
  mechanism.FormatData(formatted);
  const std::uint8_t kk = mechanism.KeyReference();
  const std::uint8_t setKey[] = {0x00, 0x22, 0x41, 0xB6, 0x04, 0x84, 0x02, 0x01, kk};
  Bytes answer;
  TransmitApdu(setKey, answer, kSwOk);
  TransmitApdu(Command({0x00, 0x2A, 0x9E, 0x9A}, formatted), signature, kSwOk);
}

void CComm_Plain::Sign(p11::CMech& mechanism, ByteView data, Bytes& signature) {
  Translated(kSigning, [&] {
    SecureBytes block(data.begin(), data.end());
    mechanism.FormatData(block);
    const std::uint8_t kk = mechanism.KeyReference();
    // Stored as bits, or as bytes by cards that keep it so.
    const unsigned stored = mechanism.KeyModulusBits();
    const std::size_t k = stored > 256 ? stored / 8 : stored;
    if (k == 0 || k > 256) Fail(CKR_KEY_SIZE_RANGE);
    mechanism.Pad(block, k);
    const std::uint8_t loadBlock[] = {0x90, 0x58, 0x00, 0x00};
    Bytes answer;
    SendCommand(loadBlock, block, answer, kSwOk);
    const std::uint8_t compute[] = {0x90, 0x5A, 0x80, kk, static_cast<std::uint8_t>(k)};
    TransmitPlain(compute, signature, kSwOk);
  });
}

void CCommunicator::VerifyOnCard(p11::CMech& mechanism, ByteView data, ByteView signature) {
  Translated(kSigning, [&] {
    SecureBytes block(data.begin(), data.end());
    mechanism.FormatData(block);
    mechanism.Pad(block, signature.size());
    const std::uint8_t kk = mechanism.KeyReference();
    const std::uint8_t loadBlock[] = {0x90, 0x58, 0x00, 0x00};
    const std::uint8_t verify[] = {0x90, 0x5E, 0x80, kk};
    Bytes answer;
    SendCommand(loadBlock, block, answer, kSwOk);
    SendCommand(verify, signature, answer, kSwOk);
  });
}

// ---------------------------------------------------------------- others

void CCommunicator::Decipher(std::uint8_t keyReference, ByteView ciphertext,
                             SecureBytes& plaintext) {
  Translated(kDecipher, [&] {
    const std::uint8_t header[] = {0x90, 0x74, 0x40, keyReference};
    Bytes response;
    WipeOnExit wipe{response};
    SendCommand(header, ciphertext, response, kSwAnyStatus);
    if ((lastStatus_ >> 8) == 0x61) GetResponse(response);
    if (lastStatus_ != kSwOk) RaiseCardStatus(lastStatus_);
    // A whole RSA block still carries its padding; a shorter answer is the
    // data itself.
    if (response.size() == ciphertext.size())
      RemovePkcs1Padding(response, plaintext);
    else
      plaintext.assign(response.begin(), response.end());
  });
}

void CCommunicator::GetChallenge(std::size_t count, std::uint8_t* buffer) {
  if (buffer == nullptr) Fail(CKR_ARGUMENTS_BAD);
  static constexpr std::uint8_t kGetChallenge[] = {0x00, 0x84, 0x00, 0x00, kChallengeChunk};
  Bytes answer;
  WipeOnExit wipe{answer};
  while (count > 0) {
    TransmitApdu(kGetChallenge, answer, kSwOk);
    const std::size_t n = std::min(count, kChallengeChunk);
    // Fewer bytes than asked for would leave the caller's buffer partly unset.
    if (answer.size() < n) Fail(CKR_DEVICE_ERROR);
    std::copy_n(answer.begin(), n, buffer);
    buffer += n;
    count -= n;
  }
}

}  // namespace zorbix::comm
