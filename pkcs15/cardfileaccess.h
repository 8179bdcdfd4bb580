// Card file operations that the PKCS#15 file objects need. The communicators
// provide them; tests provide an in-memory card.
#pragma once

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

}  // namespace zorbix::p15
