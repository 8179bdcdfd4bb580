// The wizard's own card class over platform::Scard().
#include "app/halvocard.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/scard.h"

namespace zorbix::app {

namespace {

constexpr std::uint16_t kSwOk = 0x9000;
constexpr std::size_t kReadChunk = 128;
constexpr std::size_t kOdfReadLength = 40;
constexpr std::size_t kRecordHeaderLength = 4;
// READ BINARY addresses at most this many bytes (15-bit offset plus a chunk);
// a record that would reach past it cannot be read in place.
constexpr std::size_t kMaxFileSpan = 0x10000;

constexpr std::uint8_t kInsSelect = 0xA4;
constexpr std::uint8_t kInsReadBinary = 0xB0;
constexpr std::uint8_t kInsGetResponse = 0xC0;
constexpr std::uint8_t kClaProprietary = 0x90;
constexpr std::uint8_t kInsEvents = 0x18;
constexpr std::uint8_t kInsCardData = 0xB8;

constexpr std::uint8_t kCardDataLengthV1 = 0x12;
constexpr std::uint8_t kCardDataLengthV20 = 0x11;

bool AcceptedTag(std::uint8_t tag, bool anyATag) {
  return tag == 0x30 || (anyATag && (tag & 0xF0) == 0xA0);
}

// One PC/SC transaction around a selection and the reads that depend on
// it: another program on the card (a browser polling our module) must not
// select another file in between. Without the transaction (it could not be
// begun) the work goes on as before and its exchanges tell what happened.
class CardTransaction {
 public:
  explicit CardTransaction(SCARDHANDLE card)
      : card_(card), begun_(platform::Scard().BeginTransaction(card) == SCARD_S_SUCCESS) {}
  ~CardTransaction() {
    if (begun_) platform::Scard().EndTransaction(card_, SCARD_LEAVE_CARD);
  }
  CardTransaction(const CardTransaction&) = delete;
  CardTransaction& operator=(const CardTransaction&) = delete;

 private:
  SCARDHANDLE card_;
  bool begun_;
};

}  // namespace

HalvoCard::HalvoCard(SCARDHANDLE card) : card_(card) {
  {
    const CardTransaction transaction(card_);
    ReadOdf();
  }
  cardData_.fill(0);
}

HalvoCard::~HalvoCard() { card_ = 0; }

void HalvoCard::ReadOdf() {
  if (SelectByName(kMasterFileName) != SCARD_S_SUCCESS || statusWord_ != kSwOk) return;
  if (SelectByName(kPkcs15Aid.data(), kPkcs15Aid.size()) != SCARD_S_SUCCESS ||
      statusWord_ != kSwOk)
    return;
  if (SelectByFileId(kOdfFileId) != SCARD_S_SUCCESS || statusWord_ != kSwOk) return;

  std::array<std::uint8_t, kOdfReadLength> odf{};
  ReadBinary(0, kOdfReadLength, odf.data());
  if (lastResult_ != SCARD_S_SUCCESS) return;
  // The walk covers what the read delivered, also from an ODF shorter than
  // 40 bytes (whose last chunk brings nothing).
  const std::size_t received = std::min<std::size_t>(bytesRead_, odf.size());

  // Entries: tag A0..A8, length, then 30 L 04 L <path>; the path's last two
  // bytes (entry bytes 6, 7) are the directory file id.
  std::size_t p = 0;
  while (p < received && odf[p] != 0xFF) {
    const std::uint8_t tag = odf[p];
    if (p + 1 >= received) break;
    const std::size_t entryEnd = p + 2 + odf[p + 1];
    const std::size_t index = tag & 0x0F;
    // Tags A9..AF have no slot; an entry too short for a path, or cut off by
    // the end of what was read, leaves the table alone.
    if ((tag & 0xA0) == 0xA0 && index < kFileIdSlots && p + 7 < entryEnd && p + 7 < received) {
      fileIdTable_[index] = static_cast<std::uint16_t>(odf[p + 6] << 8 | odf[p + 7]);
    }
    p = entryEnd;
  }
}

void HalvoCard::SetCommand(const std::uint8_t* bytes, std::size_t count) {
  commandLength_ = std::min(count, command_.size());
  if (commandLength_) std::memcpy(command_.data(), bytes, commandLength_);
}

LONG HalvoCard::Exchange(const std::uint8_t* send, std::size_t sendLength) {
  DWORD received = static_cast<DWORD>(response_.size());
  lastResult_ = platform::Scard().Transmit(card_, SCARD_PCI_T0, send,
                                           static_cast<DWORD>(sendLength), nullptr,
                                           response_.data(), &received);
  responseLength_ = lastResult_ == SCARD_S_SUCCESS ? std::min<std::size_t>(received, response_.size())
                                                   : 0;
  return lastResult_;
}

LONG HalvoCard::Transmit() {
  Exchange(command_.data(), commandLength_);
  if (lastResult_ == SCARD_S_SUCCESS && responseLength_ == 2 && response_[0] == 0x61) {
    const std::uint8_t getResponse[] = {0x00, kInsGetResponse, 0x00, 0x00, response_[1]};
    Exchange(getResponse, sizeof getResponse);
  }
  sw1_ = sw2_ = 0;
  statusWord_ = 0;
  // An answer without a status word counts as a failed exchange for callers
  // that check for 9000.
  if (lastResult_ == SCARD_S_SUCCESS && responseLength_ >= 2) {
    sw1_ = response_[responseLength_ - 2];
    sw2_ = response_[responseLength_ - 1];
    statusWord_ = static_cast<std::uint16_t>(sw1_ << 8 | sw2_);
  }
  return lastResult_;
}

std::size_t HalvoCard::responseDataLength() const {
  return responseLength_ >= 2 ? responseLength_ - 2 : 0;
}

LONG HalvoCard::SelectByName(const char* name) {
  return SelectByName(reinterpret_cast<const std::uint8_t*>(name), std::strlen(name));
}

LONG HalvoCard::SelectByName(const std::uint8_t* bytes, std::size_t count) {
  count = std::min<std::size_t>(count, 255);
  std::array<std::uint8_t, 5 + 255> apdu{0x00, kInsSelect, 0x04, 0x00,
                                         static_cast<std::uint8_t>(count)};
  if (count) std::memcpy(apdu.data() + 5, bytes, count);
  SetCommand(apdu.data(), 5 + count);
  return Transmit();
}

LONG HalvoCard::SelectByFileId(std::uint16_t fileId) {
  fileSize_ = 0;
  const std::uint8_t apdu[] = {0x00, kInsSelect, 0x00, 0x00, 0x02,
                               static_cast<std::uint8_t>(fileId >> 8),
                               static_cast<std::uint8_t>(fileId)};
  SetCommand(apdu, sizeof apdu);
  Transmit();
  // FCI 6F L 85 08 D FH FL ...: the size follows the proprietary tag.
  if (lastResult_ == SCARD_S_SUCCESS && statusWord_ == kSwOk && responseDataLength() > 8 &&
      response_[2] == 0x85) {
    fileSize_ = static_cast<std::uint16_t>(response_[7] << 8 | response_[8]);
  }
  return lastResult_;
}

LONG HalvoCard::ReadBinary(std::uint16_t offset, std::uint16_t count, std::uint8_t* dest) {
  std::uint16_t position = 0;
  std::uint16_t remaining = count;
  bytesRead_ = 0;
  while (remaining > 0) {
    const auto chunk = static_cast<std::uint8_t>(std::min<std::size_t>(remaining, kReadChunk));
    const std::uint8_t apdu[] = {0x00, kInsReadBinary, static_cast<std::uint8_t>(offset >> 8),
                                 static_cast<std::uint8_t>(offset), chunk};
    SetCommand(apdu, sizeof apdu);
    if (Transmit() != SCARD_S_SUCCESS || statusWord_ != kSwOk) break;
    // A card that answers more than asked must not write past the caller's
    // buffer.
    const auto got = static_cast<std::uint16_t>(std::min<std::size_t>(responseDataLength(), remaining));
    if (got == 0) break;
    if (dest) std::memcpy(dest + position, response_.data(), got);
    offset = static_cast<std::uint16_t>(offset + got);
    position = static_cast<std::uint16_t>(position + got);
    remaining = static_cast<std::uint16_t>(remaining - got);
    bytesRead_ = position;
  }
  return lastResult_;
}

DirectoryFile HalvoCard::ReadDirectoryFile(std::uint16_t fileId) { return ReadRecords(fileId, true); }

DirectoryFile HalvoCard::ReadDirectoryFile(FileIdSlot slot) {
  return ReadRecords(fileIdTable_[slot < kFileIdSlots ? slot : kSlotPrivateKeys], false);
}

DirectoryFile HalvoCard::ReadRecords(std::uint16_t fileId, bool anyATag) {
  const CardTransaction transaction(card_);
  DirectoryFile out;
  SelectByName(kMasterFileName);
  if (Succeeded()) SelectByName(kPkcs15Aid.data(), kPkcs15Aid.size());
  if (Succeeded()) SelectByFileId(fileId);

  std::size_t position = 0;
  std::vector<std::uint8_t> block;
  while (Succeeded()) {
    std::array<std::uint8_t, kRecordHeaderLength> header{};
    if (position + kRecordHeaderLength > kMaxFileSpan) break;
    ReadBinary(static_cast<std::uint16_t>(position), kRecordHeaderLength, header.data());
    if (!Succeeded() || !AcceptedTag(header[0], anyATag)) break;

    std::size_t total;
    if (header[1] < 0x80) {
      total = header[1] + 2u;
    } else {
      // Only one or two length bytes fit in the four-byte header.
      const std::size_t n = header[1] & 0x7F;
      if (n > 2) break;
      std::size_t length = 0;
      for (std::size_t i = 0; i < n; ++i) length = length << 8 | header[2 + i];
      total = length + n + 2;
    }
    // Offsets are 16-bit: a record reaching past them would wrap around to
    // the start of the file.
    if (position + total > kMaxFileSpan) break;
    try {
      block.resize(position + total, 0);
    } catch (const std::bad_alloc&) {
      out.length = position;
      return out;
    }
    ReadBinary(static_cast<std::uint16_t>(position), static_cast<std::uint16_t>(total),
               block.data() + position);
    if (Succeeded() && AcceptedTag(block[position], anyATag)) ++out.records;
    position += total;
  }
  out.length = position;
  if (position > 0) out.block = std::move(block);
  return out;
}

LONG HalvoCard::ReadEvents(std::uint8_t* dest, std::size_t capacity, std::uint8_t* length) {
  const std::uint8_t apdu[] = {kClaProprietary, kInsEvents, 0x00, 0x00, 0x00};
  SetCommand(apdu, sizeof apdu);
  Transmit();
  if (Succeeded()) {
    const std::size_t n = responseDataLength();
    if (dest) std::memcpy(dest, response_.data(), std::min(n, capacity));
    if (length) *length = static_cast<std::uint8_t>(n);
  }
  return lastResult_;
}

LONG HalvoCard::FetchCardData(std::uint8_t expected) {
  if (cardData_[0] != 0) return SCARD_S_SUCCESS;
  const std::uint8_t apdu[] = {kClaProprietary, kInsCardData, 0x00, 0x00, expected};
  SetCommand(apdu, sizeof apdu);
  Transmit();
  // Only the data bytes: the status word is not card data.
  if (Succeeded())
    std::memcpy(cardData_.data(), response_.data(),
                std::min(responseDataLength(), cardData_.size()));
  return lastResult_;
}


LONG HalvoCard::GetCardData(std::uint8_t* dest) {
  const LONG rv = FetchCardData(kCardDataLengthV1);
  if (dest) std::memcpy(dest, cardData_.data(), cardData_.size());
  return rv;
}

LONG HalvoCard::GetSerialNumber(std::uint8_t* dest, std::uint8_t* length) {
  const LONG rv = FetchCardData(kCardDataLengthV1);
  if (dest) std::memcpy(dest, cardData_.data() + 10, 6);
  if (length) *length = 6;
  return rv;
}

LONG HalvoCardV20::GetCardData(std::uint8_t* dest) {
  const LONG rv = FetchCardData(kCardDataLengthV20);
  if (dest) std::memcpy(dest, cardDataCache().data(), kCardDataSize);
  return rv;
}

LONG HalvoCardV20::GetSerialNumber(std::uint8_t* dest, std::uint8_t* length) {
  const LONG rv = FetchCardData(kCardDataLengthV20);
  if (dest) std::memcpy(dest, cardDataCache().data(), 7);
  if (length) *length = 7;
  return rv;
}

}  // namespace zorbix::app
