// The wizard's own card access: plain APDUs over the test page's PC/SC
// connection, for the events buffer, the PKCS#15 dump and the serial number.
// No secure channel, no PIN handling. Never raises, never shows messages:
// callers check lastResult() (PC/SC) and statusWord() (0x9000 = success).
#pragma once

#include <PCSC/winscard.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zorbix::app {

inline constexpr char kMasterFileName[] = "Master.File";
inline constexpr std::array<std::uint8_t, 12> kPkcs15Aid = {
    0xA0, 0x00, 0x00, 0x00, 0x63, 0x50, 0x4B, 0x43, 0x53, 0x2D, 0x31, 0x35};
inline constexpr std::uint16_t kOdfFileId = 0x5031;

inline constexpr std::size_t kApduBufferSize = 256;
inline constexpr std::size_t kCardDataSize = 18;
inline constexpr std::size_t kFileIdSlots = 9;

// fileIdTable slots, indexed by the low nibble of the ODF entry tag.
enum FileIdSlot : std::size_t {
  kSlotPrivateKeys = 0,
  kSlotPublicKeys = 1,
  kSlotTrustedPublicKeys = 2,
  kSlotSecretKeys = 3,
  kSlotCertificates = 4,
  kSlotTrustedCertificates = 5,
  kSlotUsefulCertificates = 6,
  kSlotDataObjects = 7,
  kSlotAuthObjects = 8,
};

inline constexpr std::array<std::uint16_t, kFileIdSlots> kDefaultFileIds = {
    0x6001, 0x6002, 0x6002, 0xFFFF, 0x6004, 0x6004, 0x6004, 0x6005, 0x6000};

// What ReadDirectoryFile brought: the records read whole, back to back.
struct DirectoryFile {
  std::vector<std::uint8_t> block;  // empty when nothing was read
  std::size_t length = 0;           // bytes covered by the records
  int records = 0;
};

class HalvoCard {
 public:
  // Selects the master file, the PKCS#15 application and the ODF, and takes
  // the directory file ids from the ODF; the defaults stay for whatever
  // could not be read. The connection is not owned.
  explicit HalvoCard(SCARDHANDLE card);
  virtual ~HalvoCard();
  HalvoCard(const HalvoCard&) = delete;
  HalvoCard& operator=(const HalvoCard&) = delete;

  // The 18-byte card-data block (fetched once, then cached); `dest` may be null.
  virtual LONG GetCardData(std::uint8_t* dest);
  // At most 7 bytes into `dest`.
  virtual LONG GetSerialNumber(std::uint8_t* dest, std::uint8_t* length);

  // Sends the command set with SetCommand; one GET RESPONSE on 61xx.
  LONG Transmit();
  void SetCommand(const std::uint8_t* bytes, std::size_t count);

  LONG SelectByName(const char* name);
  LONG SelectByName(const std::uint8_t* bytes, std::size_t count);
  LONG SelectByFileId(std::uint16_t fileId);
  // Reads in chunks of at most 128 bytes; `dest` (may be null) receives
  // what was read, at most `count` bytes.
  LONG ReadBinary(std::uint16_t offset, std::uint16_t count, std::uint8_t* dest);
  // The file's records up to the first byte that does not start one. The
  // slot form takes the id from fileIdTable and accepts only 0x30 records;
  // the direct form also accepts tags 0xA0..0xAF.
  DirectoryFile ReadDirectoryFile(std::uint16_t fileId);
  DirectoryFile ReadDirectoryFile(FileIdSlot slot);
  // The events buffer; `dest` (may be null) holds at least `capacity` bytes.
  LONG ReadEvents(std::uint8_t* dest, std::size_t capacity, std::uint8_t* length);

  std::uint16_t fileSize() const { return fileSize_; }
  std::uint8_t sw1() const { return sw1_; }
  std::uint8_t sw2() const { return sw2_; }
  std::uint16_t statusWord() const { return statusWord_; }
  LONG lastResult() const { return lastResult_; }
  // Data bytes of the last response (status word excluded).
  std::size_t responseDataLength() const;
  // Bytes the last ReadBinary delivered, over all its chunks.
  std::uint16_t bytesRead() const { return bytesRead_; }
  const std::uint8_t* responseData() const { return response_.data(); }
  const std::array<std::uint16_t, kFileIdSlots>& fileIdTable() const { return fileIdTable_; }
  const std::array<std::uint8_t, kCardDataSize>& cardDataCache() const { return cardData_; }

 protected:
  bool Succeeded() const { return lastResult_ == SCARD_S_SUCCESS && statusWord_ == 0x9000; }
  // Sends 90 B8 00 00 `expected` unless the cache already holds the block
  // (its first byte is not 0); success when it does.
  LONG FetchCardData(std::uint8_t expected);

 private:
  void ReadOdf();
  DirectoryFile ReadRecords(std::uint16_t fileId, bool anyATag);
  LONG Exchange(const std::uint8_t* send, std::size_t sendLength);

  std::uint16_t fileSize_ = 0;
  std::uint8_t sw1_ = 0;
  std::uint8_t sw2_ = 0;
  std::uint16_t statusWord_ = 0;
  SCARDHANDLE card_ = 0;
  LONG lastResult_ = SCARD_S_SUCCESS;
  std::array<std::uint8_t, kApduBufferSize> command_{};
  std::array<std::uint8_t, kApduBufferSize> response_{};
  std::size_t commandLength_ = 0;
  std::size_t responseLength_ = 0;
  std::uint16_t bytesRead_ = 0;
  std::array<std::uint8_t, kCardDataSize> cardData_{};
  std::array<std::uint16_t, kFileIdSlots> fileIdTable_ = kDefaultFileIds;
};

// The newer cards: a 17-byte card-data block that starts with the 7-byte
// serial number.
class HalvoCardV20 : public HalvoCard {
 public:
  explicit HalvoCardV20(SCARDHANDLE card) : HalvoCard(card) {}
  LONG GetCardData(std::uint8_t* dest) override;
  LONG GetSerialNumber(std::uint8_t* dest, std::uint8_t* length) override;
};

}  // namespace zorbix::app
