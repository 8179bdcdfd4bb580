// Card transport: slot transactions and transmission, the communicator
// family's plain exchanges, selections, transparent files and compressed files.
#include "comm/communicator.h"

#include <PCSC/winscard.h>

#include <algorithm>
#include <cstdio>

#include "comm/apdu.h"
#include "comm/crypto.h"
#include "comm/securechannel.h"
#include "p11/slots.h"
#include "p11/tokentypes.h"
#include "platform/scard.h"

namespace zorbix::comm {

namespace {

constexpr DWORD kReceiveBuffer = 300;
// 16 KB of announced 61xx data is far more than any answer of these cards; a
// card that keeps announcing more must not hold the caller forever.
constexpr int kMaxGetResponseRounds = 64;
// Plain READ/UPDATE BINARY offsets stop below the short-identifier bit.
constexpr std::uint32_t kPlainOffsetLimit = kSfiOffset;
// Bound for the uncompressed length of a card file value.
constexpr std::uint32_t kMaxCardValue = 16u << 20;
constexpr std::size_t kCompressedHeader = 8;

const SCARD_IO_REQUEST kT0Pci = {SCARD_PROTOCOL_T0, sizeof(SCARD_IO_REQUEST)};

[[noreturn]] void Fail(CK_RV rv) { throw Pkcs11Exception(rv); }

// Command buffers may carry PINs or padded blocks: zeroed on every way out.
struct WipeOnExit {
  Bytes& bytes;
  ~WipeOnExit() { WipeMemory(bytes.data(), bytes.size()); }
};

std::uint8_t Hi(std::uint32_t v) { return static_cast<std::uint8_t>(v >> 8); }
std::uint8_t Lo(std::uint32_t v) { return static_cast<std::uint8_t>(v); }

bool IsSfiOffset(std::uint16_t offset) { return (offset & kSfiOffset) != 0; }
// The position in the EF that an offset addresses.
std::uint32_t PlainPosition(std::uint16_t offset) {
  return IsSfiOffset(offset) ? (offset & 0xFFu) : offset;
}

// 6B00 (offset beyond the end) and 6Cxx (wrong length) while reading or
// writing a DER element mean there is no such element.
bool NoElementStatus(CK_RV rv) {
  if (!IsCardStatusValue(rv)) return false;
  const std::uint16_t sw = StatusWordOf(rv);
  return sw == 0x6B00 || (sw >> 8) == 0x6C;
}

std::uint32_t LittleEndian32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void AppendLittleEndian32(Bytes& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

struct StatusText {
  std::uint16_t sw;
  std::uint16_t mask;
  const char* text;
};

const StatusText kStatusTexts[] = {
    {0x9000, 0xFFFF, "success"},
    {0x6100, 0xFF00, "response bytes available"},
    {0x6283, 0xFFFF, "selected file deactivated"},
    {0x6300, 0xFFFF, "verification failed"},
    {0x63C0, 0xFFF0, "verification failed, counter in the low digit"},
    {0x6700, 0xFFFF, "wrong length"},
    {0x6982, 0xFFFF, "security status not satisfied"},
    {0x6983, 0xFFFF, "authentication method blocked"},
    {0x6985, 0xFFFF, "conditions of use not satisfied"},
    {0x6986, 0xFFFF, "command not allowed"},
    {0x6A80, 0xFFFF, "incorrect data"},
    {0x6A82, 0xFFFF, "file not found"},
    {0x6A84, 0xFFFF, "not enough memory in the file"},
    {0x6A86, 0xFFFF, "incorrect P1-P2"},
    {0x6A88, 0xFFFF, "referenced data not found"},
    {0x6A89, 0xFFFF, "file already exists"},
    {0x6B00, 0xFFFF, "wrong parameters P1-P2"},
    {0x6C00, 0xFF00, "wrong Le, correct length in SW2"},
    {0x6D00, 0xFFFF, "instruction not supported"},
    {0x6E00, 0xFFFF, "class not supported"},
    {0x6F00, 0xFFFF, "no precise diagnosis"},
};

}  // namespace

void RaiseCardStatus(std::uint16_t sw) { throw Pkcs11Exception(CardStatusValue(sw)); }

std::string to_string(StatusWord sw) {
  const auto v = static_cast<std::uint16_t>(sw);
  char digits[8];
  std::snprintf(digits, sizeof digits, "%04X", static_cast<unsigned>(v));
  for (const StatusText& t : kStatusTexts)
    if ((v & t.mask) == t.sw) return std::string(digits) + " (" + t.text + ")";
  return digits;
}

TlvHeader ParseTlvHeader(ByteView bytes) {
  std::size_t pos = 0;
  if (bytes.empty()) Fail(CKR_DATA_INVALID);
  pos = (bytes[0] & 0x1F) == 0x1F ? 2 : 1;
  if (bytes.size() <= pos) Fail(CKR_DATA_INVALID);
  const std::uint8_t l = bytes[pos++];
  TlvHeader h;
  if (l <= 0x80) {
    h.contentLength = l;
  } else if (l == 0x81 || l == 0x82) {
    const std::size_t n = l == 0x81 ? 1 : 2;
    if (bytes.size() < pos + n) Fail(CKR_DATA_INVALID);
    for (std::size_t i = 0; i < n; ++i) h.contentLength = h.contentLength << 8 | bytes[pos++];
  } else {
    Fail(CKR_DATA_INVALID);
  }
  h.headerLength = pos;
  return h;
}

// ---------------------------------------------------------------- slot transport

void BeginTransaction(CSlot& slot) {
  if (slot.CardHandle() == 0) slot.Connect();
  const SCARDHANDLE card = slot.CardHandle();
  if (card == 0) Fail(CKR_SESSION_HANDLE_INVALID);
  const LONG rv = platform::Scard().BeginTransaction(card);
  if (rv == SCARD_S_SUCCESS) return;
  if (rv == SCARD_W_REMOVED_CARD) Fail(CKR_SESSION_HANDLE_INVALID);
  if (rv == SCARD_W_RESET_CARD) {
    // Another process reset the card: this handle stays refused until it
    // reconnects, and the card's security state is gone. Drop the connection
    // so the next operation starts afresh, and let the sessions go as on a
    // removal.
    slot.ResetCardState();
    Fail(CKR_SESSION_HANDLE_INVALID);
  }
  Fail(CKR_DEVICE_ERROR);
}

void EndTransaction(CSlot& slot) noexcept {
  const SCARDHANDLE card = slot.CardHandle();
  if (card != 0) platform::Scard().EndTransaction(card, SCARD_LEAVE_CARD);
}

void TransmitRaw(CSlot& slot, ByteView apdu, Bytes& response) {
  const SCARDHANDLE card = slot.CardHandle();
  if (card == 0) Fail(CKR_SESSION_HANDLE_INVALID);
  response.assign(kReceiveBuffer, 0);
  DWORD received = kReceiveBuffer;
  const LONG rv = platform::Scard().Transmit(card, &kT0Pci, apdu.data(),
                                             static_cast<DWORD>(apdu.size()), nullptr,
                                             response.data(), &received);
  if (rv == SCARD_S_SUCCESS) {
    response.resize(std::min<DWORD>(received, kReceiveBuffer));
    return;
  }
  response.clear();
  slot.ResetCardState();
  Fail(rv == SCARD_W_REMOVED_CARD ? CKR_SESSION_HANDLE_INVALID : CKR_DEVICE_ERROR);
}

// ---------------------------------------------------------------- CCommunicator

CCommunicator::CCommunicator(CSlot& slot) : slot_(&slot) { slot.Connect(); }

CCommunicator::~CCommunicator() { slot_->Disconnect(); }

std::uint16_t CCommunicator::TransmitPlain(ByteView apdu, Bytes& response, std::uint16_t expected) {
  TransmitRaw(*slot_, apdu, response);
  const std::size_t n = response.size();
  if (n < 2) Fail(CKR_DEVICE_ERROR);
  lastStatus_ = static_cast<std::uint16_t>(response[n - 2] << 8 | response[n - 1]);
  response.resize(n - 2);
  if (expected == kSwAnyStatus || lastStatus_ == expected ||
      (expected == kSwAny61 && (lastStatus_ >> 8) == 0x61))
    return lastStatus_;
  RaiseCardStatus(lastStatus_);
}

void CCommunicator::SendCommand(ByteView header, ByteView data, Bytes& response,
                                std::uint16_t expected) {
  SecureBytes apdu;
  if (BuildCommand(apdu, header, data, kEnvelopeChunk))
    SendEnvelopes(apdu, response, expected);
  else
    TransmitPlain(apdu, response, expected);
}

void CCommunicator::GetResponse(Bytes& response) {
  response.clear();
  Bytes part;
  for (int round = 0; (lastStatus_ >> 8) == 0x61; ++round) {
    if (round == kMaxGetResponseRounds) Fail(CKR_DEVICE_ERROR);
    const Bytes apdu = {0x00, 0xC0, 0x00, 0x00, Lo(lastStatus_)};
    TransmitPlain(apdu, part, kSwAnyStatus);
    response.insert(response.end(), part.begin(), part.end());
  }
  if (lastStatus_ != kSwOk) RaiseCardStatus(lastStatus_);
}

void CCommunicator::SendEnvelopes(ByteView apdu, Bytes& response, std::uint16_t expected) {
  // Two envelopes carry 500 bytes at most; refuse rather than lose the tail.
  if (apdu.size() > kMaxEnvelopedCommand) Fail(CKR_DATA_LEN_RANGE);
  if (apdu.empty()) Fail(CKR_ARGUMENTS_BAD);
  Bytes envelope;
  WipeOnExit wipe{envelope};
  const auto send = [&](ByteView part, std::uint16_t want, Bytes& out) {
    WipeMemory(envelope.data(), envelope.size());
    envelope = {0x90, 0xC2, 0x00, 0x00, static_cast<std::uint8_t>(part.size())};
    envelope.insert(envelope.end(), part.begin(), part.end());
    TransmitPlain(envelope, out, want);
  };
  const std::size_t first = std::min(apdu.size(), kEnvelopeChunk);
  if (first == apdu.size()) {
    // The whole command fits one envelope: the card runs it on that one.
    send(apdu, expected, response);
  } else {
    Bytes ignored;
    send(apdu.first(first), kSwOk, ignored);
    send(apdu.subspan(first), expected, response);
  }
}

// A selection with its 61xx answer collected. The selection's own status
// other than 9000 is a device error; a GET RESPONSE that ends in a refusal
// keeps the card's status value, so the caller can tell what the card said.
// The answer becomes lastResponse.
void CCommunicator::Select(ByteView apdu) {
  Bytes local;
  try {
    TransmitApdu(apdu, local, kSwAnyStatus);
  } catch (const Pkcs11Exception& e) {
    if (IsCardStatusValue(e.rv())) Fail(CKR_DEVICE_ERROR);
    throw;
  }
  if ((lastStatus_ >> 8) == 0x61) GetResponse(local);
  if (lastStatus_ != kSwOk) Fail(CKR_DEVICE_ERROR);
  lastResponse_ = std::move(local);
}

void CCommunicator::SelectName(std::string_view name) {
  if (name.empty() || name.size() > 0xFF) Fail(CKR_ARGUMENTS_BAD);
  Bytes apdu = {0x00, 0xA4, 0x04, 0x00, static_cast<std::uint8_t>(name.size())};
  apdu.insert(apdu.end(), name.begin(), name.end());
  Select(apdu);
}

void CCommunicator::SelectId(std::uint16_t fileId) {
  Select(Bytes{0x00, 0xA4, 0x00, 0x00, 0x02, Hi(fileId), Lo(fileId)});
}

std::uint16_t CCommunicator::SelectIdSize(std::uint16_t fileId) {
  SelectId(fileId);
  const Bytes& r = lastResponse_;
  // A DF answer with its name (84 L name ...) has the size after the name.
  std::size_t at = 7;
  if (!r.empty() && r[0] == 0x84) {
    if (r.size() < 2) Fail(CKR_DEVICE_ERROR);
    at = static_cast<std::size_t>(r[1]) + 9;
  }
  if (r.size() < at + 2) Fail(CKR_DEVICE_ERROR);
  return static_cast<std::uint16_t>(r[at] << 8 | r[at + 1]);
}

void CCommunicator::SelectPath(ByteView path) {
  if (path.size() % 2 != 0) Fail(CKR_DEVICE_ERROR);
  SelectName(kMasterFile);
  for (std::size_t i = 0; i < path.size(); i += 2)
    SelectId(static_cast<std::uint16_t>(path[i] << 8 | path[i + 1]));
}

std::uint16_t CCommunicator::SelectPathSize(ByteView path) {
  SelectPath(path);
  if (lastResponse_.size() < 9) Fail(CKR_DEVICE_ERROR);
  return static_cast<std::uint16_t>(lastResponse_[7] << 8 | lastResponse_[8]);
}

void CCommunicator::ReadBinaryAt(Bytes& out, std::uint16_t offset, std::size_t count) {
  out.clear();
  // After the first chunk the EF is current (also when the offset named it by
  // short identifier): the rest is read with plain offsets from its position.
  const std::uint32_t base = PlainPosition(offset);
  std::size_t asked = 0, got = 0;
  Bytes chunk;
  for (bool first = true; out.size() < count; first = false) {
    if (!first && got < asked) break;  // end of file
    const std::uint32_t p1p2 = first ? offset : base + out.size();
    if (!first && p1p2 >= kPlainOffsetLimit) break;
    asked = std::min(count - out.size(), kReadChunk);
    const Bytes apdu = {0x00, 0xB0, Hi(p1p2), Lo(p1p2), static_cast<std::uint8_t>(asked)};
    TransmitApdu(apdu, chunk, kSwOk);
    got = chunk.size();
    if (chunk.empty()) break;
    chunk.resize(std::min(got, asked));
    out.insert(out.end(), chunk.begin(), chunk.end());
  }
}

// An element that the end of the file cuts short is returned as far as it
// goes: it is content, not the end of it, and its decoder has to refuse it.
// Only where no element starts at all is CKR_DATA_INVALID raised.
void CCommunicator::ReadObject(Bytes& out, std::uint16_t offset) {
  Bytes head;
  try {
    ReadBinaryAt(head, offset, 4);
  } catch (const Pkcs11Exception& e) {
    if (NoElementStatus(e.rv())) Fail(CKR_DATA_INVALID);
    throw;
  }
  if (head.empty() || head[0] != 0x30) Fail(CKR_DATA_INVALID);
  // The file ends inside the tag and length: a cut element, not a malformed
  // one (a length form other than 81 or 82 stays CKR_DATA_INVALID).
  const bool headCut = head.size() < 2 || (head.size() < 4 && (head[1] == 0x81 || head[1] == 0x82) &&
                                           head.size() < 2u + (head[1] & 0x03u));
  if (headCut) {
    out = std::move(head);
    return;
  }
  const std::size_t total = ParseTlvHeader(head).Total();
  const std::uint32_t base = PlainPosition(offset);
  if (total <= head.size()) {
    head.resize(total);  // an element shorter than the 4 bytes read
    out = std::move(head);
    return;
  }
  out = std::move(head);
  // The file ends inside the head, or the length runs past what plain
  // offsets can address: nothing more to read.
  if (out.size() < 4 || base + total > kPlainOffsetLimit) return;
  const std::uint32_t end = base + static_cast<std::uint32_t>(total);
  Bytes piece;
  for (std::uint32_t pos = base + 4; pos < end;) {
    const std::size_t n = std::min<std::size_t>(end - pos, kReadChunk);
    try {
      ReadBinaryAt(piece, static_cast<std::uint16_t>(pos), n);
    } catch (const Pkcs11Exception& e) {
      if (NoElementStatus(e.rv())) return;  // the file ended right before pos
      throw;
    }
    out.insert(out.end(), piece.begin(), piece.end());
    if (piece.size() != n) return;
    pos += static_cast<std::uint32_t>(n);
  }
}

void CCommunicator::ReadCompressed(ByteView path, Bytes& out) {
  SelectPath(path);
  Bytes head;
  ReadBinaryAt(head, 0, kCompressedHeader);
  if (head.size() < kCompressedHeader) Fail(CKR_DATA_INVALID);
  const std::uint32_t u = LittleEndian32(head.data());
  const std::uint32_t c = LittleEndian32(head.data() + 4);
  if (c > kPlainOffsetLimit - kCompressedHeader || u > kMaxCardValue) Fail(CKR_DATA_INVALID);
  Bytes body;
  ReadBinaryAt(body, kCompressedHeader, c);
  if (body.size() != c) Fail(CKR_DATA_INVALID);
  if (c == u) {
    out = std::move(body);
    return;
  }
  try {
    out = crypto::ZlibDecompress(body, std::size_t{u} + 1);
  } catch (const crypto::CryptoError&) {
    Fail(CKR_DATA_INVALID);
  }
  // The checked stream and the header's count disagree: a count changed on
  // the way would cut the value short or pad it, without a word.
  if (out.size() != u) Fail(CKR_DATA_INVALID);
}

Bytes CCommunicator::CompressForCard(ByteView value) {
  if (value.size() > kMaxCardValue) Fail(CKR_DATA_INVALID);
  Bytes stream;
  try {
    stream = crypto::ZlibCompress(value);
  } catch (const crypto::CryptoError&) {
    Fail(CKR_DATA_INVALID);
  }
  // Equal lengths mark a stored value: a stream that happens to be exactly
  // as long as the value would be read back as the value itself.
  ByteView body = stream;
  if (stream.size() == value.size()) body = value;
  Bytes image;
  image.reserve(kCompressedHeader + body.size());
  AppendLittleEndian32(image, static_cast<std::uint32_t>(value.size()));
  AppendLittleEndian32(image, static_cast<std::uint32_t>(body.size()));
  image.insert(image.end(), body.begin(), body.end());
  return image;
}

void CCommunicator::UpdateBinaryAt(std::uint16_t offset, ByteView bytes) {
  if (bytes.empty()) return;
  const std::uint32_t base = PlainPosition(offset);
  // Past this the offsets would turn into short-identifier addresses of
  // another file.
  if (base + bytes.size() > kPlainOffsetLimit) Fail(CKR_DATA_LEN_RANGE);
  Bytes apdu, answer;
  std::uint32_t p1p2 = offset;
  for (std::size_t done = 0; done < bytes.size();) {
    const std::size_t n = std::min(bytes.size() - done, kUpdateChunk);
    apdu = {0x00, 0xD6, Hi(p1p2), Lo(p1p2), static_cast<std::uint8_t>(n)};
    apdu.insert(apdu.end(), bytes.begin() + done, bytes.begin() + done + n);
    TransmitApdu(apdu, answer, kSwOk);
    done += n;
    p1p2 = base + static_cast<std::uint32_t>(done);
  }
}

void CCommunicator::WriteObject(ByteView element, std::uint16_t offset) {
  if (element.empty() || element[0] != 0x30) Fail(CKR_DATA_INVALID);
  if (ParseTlvHeader(element).Total() != element.size()) Fail(CKR_DATA_INVALID);
  try {
    UpdateBinaryAt(offset, element);
  } catch (const Pkcs11Exception& e) {
    if (NoElementStatus(e.rv())) Fail(CKR_DATA_INVALID);
    throw;
  }
}

void CCommunicator::CreateEf(ByteView path, bool isPrivate, std::uint16_t size) {
  if (path.size() != 4) Fail(CKR_ARGUMENTS_BAD);
  const std::uint8_t access = isPrivate ? 0x11 : 0x00;
  const Bytes apdu = {0x90, 0xE0, 0x01, 0x00, 0x0A, 0x01,   path[2], path[3], Hi(size),
                      Lo(size), access, access, 0x11, 0x11, 0xFF};
  SelectName(kMasterFile);
  SelectId(static_cast<std::uint16_t>(path[0] << 8 | path[1]));
  Bytes answer;
  TransmitApdu(apdu, answer, kSwOk);
}

// ---------------------------------------------------------------- CComm_Plain

CComm_Plain::~CComm_Plain() = default;

std::uint16_t CComm_Plain::TransmitApdu(ByteView apdu, Bytes& response, std::uint16_t expected) {
  return TransmitPlain(apdu, response, expected);
}

CComm_Halvo1_0::~CComm_Halvo1_0() = default;

// ---------------------------------------------------------------- factory

std::unique_ptr<CCommunicator> CreateCommunicator(CSlot& slot, const p11::CTokenType& type) {
  if (type.communicationsType == 1) return std::make_unique<CComm_Vexa>(slot, type.parameters);
  return CreateCommunicator(slot, type.communicationsType);
}

std::unique_ptr<CCommunicator> CreateCommunicator(CSlot& slot, std::uint8_t communicationsType) {
  switch (communicationsType) {
    case 1:
      return std::make_unique<CComm_Vexa>(slot);
    case 2:
      return std::make_unique<CComm_Halvo1_0>(slot);
    default:
      return std::make_unique<CComm_Plain>(slot);
  }
}

}  // namespace zorbix::comm
