// Card file operations that the PKCS#15 file objects need. The communicators
// provide them; tests provide an in-memory card.
#pragma once

#include <p11-kit/pkcs11.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace zorbix::p15 {

class CCardFileAccess {
 public:
  virtual ~CCardFileAccess() = default;

  // Select a DF by name ("Master.File") or a file by identifier below the
  // current DF.
  virtual void SelectName(std::string_view name) = 0;
  virtual void SelectId(std::uint16_t fileId) = 0;

  // Offsets are READ/UPDATE BINARY P1-P2: with bit 0x8000 set, P1 = 0x80 |
  // short file identifier (which also selects the EF) and P2 the offset;
  // otherwise the plain offset in the current EF.
  //
  // One complete DER element (tag 30) at offset. Raises CKR_DATA_INVALID when
  // no element starts there: the byte is not 30 or the card answers 6B00 or
  // 6Cxx.
  virtual void ReadObject(std::vector<std::uint8_t>& out, std::uint16_t offset) = 0;
  // Writes one complete element. Raises CKR_DATA_INVALID when the bytes are
  // not a single element starting with 30, or the card answers 6B00 or 6Cxx.
  virtual void WriteObject(std::span<const std::uint8_t> element, std::uint16_t offset) = 0;
  // Raw bytes, in as many UPDATE BINARY commands as needed.
  virtual void UpdateBinaryAt(std::uint16_t offset, std::span<const std::uint8_t> bytes) = 0;

  // Sets the token-not-recognised mark of the slot behind this access.
  virtual void MarkTokenNotRecognised() = 0;
};

// What storing, changing and destroying objects needs of the card besides
// the file reads and writes: file sizes, raw reads, file creation, the
// stored form of values, and the key commands. Every operation runs inside
// the caller's card transaction; failures are Pkcs11Exception.
class CCardWriteAccess : public CCardFileAccess {
 public:
  // Selects the file below the current DF; its size from the answer.
  virtual std::uint16_t SelectIdSize(std::uint16_t fileId) = 0;
  // Selects a path below the master file (2 bytes per level); its size.
  virtual std::uint16_t SelectPathSize(std::span<const std::uint8_t> path) = 0;
  // Up to count bytes from a plain offset of the current EF.
  virtual void ReadBinaryAt(std::vector<std::uint8_t>& out, std::uint16_t offset,
                            std::size_t count) = 0;
  // path: value DF, new file id (4 bytes). Private files need the PIN to be read.
  virtual void CreateEf(std::span<const std::uint8_t> path, bool isPrivate, std::uint16_t size) = 0;
  // The compressed card file image of a value (no card command).
  virtual std::vector<std::uint8_t> CompressForCard(std::span<const std::uint8_t> value) = 0;

  // Key commands: usage flags 1 public part, 2 private part, 4 signature,
  // 8 decryption. The three CK_RV results are CKR_DEVICE_MEMORY for the
  // refusals that mean "no room"; other failures are raised.
  virtual std::uint16_t GetKeyFile(unsigned usage, std::uint8_t keyReference,
                                   std::vector<std::uint8_t>& path) = 0;
  virtual CK_RV EraseKey(unsigned usage, std::uint8_t keyReference) = 0;
  virtual CK_RV PutKeyComponent(unsigned usage, std::uint8_t tag,
                                std::span<const std::uint8_t> value,
                                std::uint8_t keyReference) = 0;
  // Inclusive range of key references the token gives to new keys.
  virtual std::uint8_t FirstKeyReference() const = 0;
  virtual std::uint8_t LastKeyReference() const = 0;
};

}  // namespace zorbix::p15
