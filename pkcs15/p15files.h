// PKCS#15 files: the common element-by-element read and write, and TokenInfo.
#pragma once

#include <p11-kit/pkcs11.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "pkcs15/asn1types.h"
#include "pkcs15/cardfileaccess.h"
#include "pkcs15/p15path.h"

namespace zorbix::p11 {
class CPKCS11Object;
}

namespace zorbix::p15 {

using p11::CPKCS11Object;

inline constexpr char kMasterFileName[] = "Master.File";
inline constexpr std::uint16_t kPkcs15DfId = 0x5015;

inline constexpr std::uint16_t kTokenInfoFileId = 0x5032;
inline constexpr std::uint16_t kUnusedSpaceFileId = 0x5033;
inline constexpr std::uint16_t kPrKDFFileId = 0x6001;
inline constexpr std::uint16_t kPuKDFFileId = 0x6002;
inline constexpr std::uint16_t kCDFFileId = 0x6004;
inline constexpr std::uint16_t kDODFFileId = 0x6005;

// P1-P2 of the first access to a file: P1 = 0x80 | short file identifier
// (the low five bits of the file identifier), offset 0.
constexpr std::uint16_t FirstAccessOffset(std::uint16_t fileId) {
  return static_cast<std::uint16_t>((0x80u | (fileId & 0x1Fu)) << 8);
}

// One elementary file of the PKCS#15 DF, read and written as a run of
// complete DER elements from offset 0.
class CP15File {
 public:
  using Element = std::vector<std::uint8_t>;
  using ObjectList = std::vector<std::shared_ptr<CPKCS11Object>>;
  using ElementDecoder = std::function<bool(std::span<const std::uint8_t>)>;

  explicit CP15File(std::uint16_t fileId) : fileId_(fileId) {}
  CP15File(const CP15File&) = delete;
  CP15File& operator=(const CP15File&) = delete;
  virtual ~CP15File();

  // One element into the state of the file; false when it is not an entry
  // of this file.
  virtual bool Decode(std::span<const std::uint8_t> element) = 0;
  // The entry of one object; 0 on success. The base writes nothing.
  virtual int Encode(const CPKCS11Object& object, std::vector<std::uint8_t>& out);
  // The attributes an entry of this file carries (besides the place).
  virtual std::span<const CK_ATTRIBUTE_TYPE> CarriedAttributes() const { return {}; }
  virtual void Read(CCardFileAccess& card);
  virtual void Write(CCardFileAccess& card);

  std::uint16_t FileId() const { return fileId_; }
  bool Loaded() const { return loaded_; }
  void SetLoaded(bool loaded) { loaded_ = loaded; }
  // Bytes covered by the last read or write (largest extent ever written).
  std::uint16_t Size() const { return size_; }
  int StandardFormat() const { return standardFormat_; }
  void SetStandardFormat(int value) { standardFormat_ = value; }
  int PathForm() const { return pathForm_; }
  void SetPathForm(int value) { pathForm_ = value; }

  ObjectList& Objects() { return objects_; }
  const ObjectList& Objects() const { return objects_; }

  // The entries of the objects, in list order, as they would go to the card.
  // An object that has not changed since its entry was read or written keeps
  // that entry's bytes. Any other entry must decode again, in this file's
  // form, to the same object: the same entry, place, and every carried
  // attribute the object holds a value for.
  // Raises CKR_DEVICE_ERROR when an entry does not encode or would not read
  // back; the card is not touched then.
  virtual std::vector<Element> EncodeEntries();

  // The elements the card holds, in order, as last read or written; none
  // when unknown (after a failed write).
  const std::optional<std::vector<Element>>& CardElements() const { return cardElements_; }
  // A write of elements (the entries of the objects for a directory) ended:
  // the card holds them, followed by zeros up to extent.
  void Written(std::vector<Element> elements, std::uint16_t extent);
  // A write failed part-way: what the card holds is unknown; extent covers
  // whatever may have been written.
  void WriteFailed(std::uint16_t extent);

  // Size of the EF as the card reported it, once asked.
  std::optional<std::uint16_t> Capacity() const { return capacity_; }
  void SetCapacity(std::uint16_t capacity) { capacity_ = capacity; }

 protected:
  // Selects the PKCS#15 DF and hands every element of the file to decode
  // until the content ends (CKR_DATA_INVALID). A false decode raises
  // CKR_DEVICE_ERROR. Other failures mark the slot's token when
  // markOnFailure is set, and are passed on. covered follows the bytes read,
  // also when a later element fails.
  void ReadElements(CCardFileAccess& card, const ElementDecoder& decode, bool markOnFailure,
                    std::uint16_t& covered);
  // Selects the PKCS#15 DF, writes the elements one after another and
  // zero-fills the rest of extent (the bytes the file held before); extent
  // then becomes the larger of both. On failure extent still grows to cover
  // the elements written before it, so that the next write clears them.
  void WriteElements(CCardFileAccess& card,
                     const std::vector<std::vector<std::uint8_t>>& elements,
                     std::uint16_t& extent);

  void SetSize(std::uint16_t size) { size_ = size; }

 private:
  // Decodes element on the side: the object it gives (null when refused),
  // with the file's list and flags left as they were.
  struct SideDecode {
    std::shared_ptr<CPKCS11Object> object;
    int standardFormat = 1;
    int pathForm = kPathFormBinary;
  };
  SideDecode DecodeAside(std::span<const std::uint8_t> element);
  bool ReadsBackAs(const CPKCS11Object& object, const Element& entry);

  bool loaded_ = false;
  std::uint16_t fileId_;
  ObjectList objects_;
  std::optional<std::vector<Element>> cardElements_;
  std::map<CK_OBJECT_HANDLE, Element> storedEntries_;  // by object handle
  std::optional<std::uint16_t> capacity_;
  std::uint16_t size_ = 0;
  int standardFormat_ = 1;
  int pathForm_ = kPathFormBinary;
};

// The TokenInfo file (5032): keeps the last TokenInfo value that decoded.
class CP15TokenInfo : public CP15File {
 public:
  CP15TokenInfo() : CP15File(kTokenInfoFileId) {}

  // TokenInfo in its UTF-8 form, or its T.61 form turned into a TokenInfo
  // value with the same bytes.
  bool Decode(std::span<const std::uint8_t> element) override;

  // Blank-padded text fields, flags and versions from the decoded value;
  // false when none was decoded (the fields are still set to their defaults).
  bool FillTokenInfo(CK_TOKEN_INFO* info) const;

  // Forgets the value (card reset or removed).
  void Unload();

  const TokenInfo_t* Value() const { return value_.get(); }

 private:
  asn1::Owned<TokenInfo_t> value_;
};

}  // namespace zorbix::p15
