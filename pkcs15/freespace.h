// Free space and writing objects: the unused-space file, the file-number
// counter, storing values and RSA keys on the card, and the card side of
// creating, changing and destroying token objects.
#pragma once

#include <p11-kit/pkcs11.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "pkcs15/cardfileaccess.h"
#include "pkcs15/directories.h"
#include "pkcs15/p15files.h"

namespace zorbix::p11 {
class CObjectStore;
class CPKCS11PrivateKeyObject;
class CPKCS11PublicKeyObject;
}  // namespace zorbix::p11

namespace zorbix::p15 {

using p11::CObjectStore;
using p11::CPKCS11PrivateKeyObject;
using p11::CPKCS11PublicKeyObject;

// Value files: one EF per object value in DF 6081 (private) or 6061
// (public), numbered by the counter EF 60A1 under the master file.
inline constexpr std::uint16_t kPrivateValueDf = 0x6081;
inline constexpr std::uint16_t kPublicValueDf = 0x6061;
inline constexpr std::uint16_t kFileCounterId = 0x60A1;

// Key component tags of the card's key storage command.
inline constexpr std::uint8_t kTagPrime1 = 0x02;
inline constexpr std::uint8_t kTagPrime2 = 0x04;
inline constexpr std::uint8_t kTagCoefficient = 0x06;
inline constexpr std::uint8_t kTagExponent1 = 0x08;
inline constexpr std::uint8_t kTagExponent2 = 0x0A;
inline constexpr std::uint8_t kTagPublicExponent = 0x12;
inline constexpr std::uint8_t kTagModulus = 0x14;

// What the byte-level walk of an unused-space record finds: 30 { 30 { 04
// path, 02 index, 80 length } [authID] }.
struct UnusedRecord {
  std::vector<std::uint8_t> path;  // binary (a stored text path converted)
  std::int32_t length = -1;        // -1 when the record does not follow the layout
  bool isPrivate = false;          // the path's text form names 6081
};
UnusedRecord WalkRecord(std::span<const std::uint8_t> record);

// The unused-space file (5033): one record per freed value file, kept as
// the raw bytes of the card, loaded on first need and written at every
// change.
class CP15EFUS : public CP15File {
 public:
  CP15EFUS() : CP15File(kUnusedSpaceFileId) {}

  // Keeps the element when it decodes completely as an unused-space record;
  // a stored path longer than 4 bytes sets the path form to text.
  bool Decode(std::span<const std::uint8_t> element) override;
  // A failure other than the end of the content leaves the slot unmarked.
  void Read(CCardFileAccess& card) override;
  // The records, then zeros over what the file held before. Through a
  // CCardWriteAccess the write is refused with CKR_DEVICE_MEMORY when the
  // records do not fit the EF, and never leaves a record half-written.
  void Write(CCardFileAccess& card) override;

  const std::vector<Element>& Records() const { return records_; }
  std::uint16_t RecordsSize() const { return Size(); }

  struct Fit {
    std::size_t position;
    std::vector<std::uint8_t> path;  // DF, EF
  };
  // The free file of the area whose length exceeds n by the least (at least
  // 1; the first of equal fits). Only files this module can write to count:
  // a 4-byte path in DF 6081 (private) or 6061 (public). Reads the file
  // first when it is not loaded.
  std::optional<Fit> BestFit(CCardFileAccess& card, std::size_t n, bool isPrivate);
  // Appends a record (path in the file's path form, one index byte, two
  // length bytes, no authID) and writes the file. False, with nothing
  // changed, when the record does not fit 128 bytes, would not read back as
  // that path and length, or does not fit the EF.
  bool AddRecord(CCardWriteAccess& card, std::span<const std::uint8_t> path, std::uint8_t index,
                 std::uint16_t length);
  void RemoveRecord(CCardWriteAccess& card, std::size_t position);

 private:
  std::vector<Element> records_;
};

// What a token context holds for writing objects. The flags are the
// token's; privateObjectsVisible is true while the user is logged in (the
// search for a matching key then includes private objects).
struct TokenStorage {
  CCardWriteAccess& card;
  CP15PrKDF& prkdf;
  CP15PuKDF& pukdf;
  CP15CDF& cdf;
  CP15DODF& dodf;
  CP15EFUS& unusedSpace;
  CObjectStore& objects;
  int standardFormat = 1;
  int pathForm = kPathFormBinary;
  bool privateObjectsVisible = false;
};

// The directory of a class: data 6005, certificate 6004, public key 6002,
// private key 6001; CKR_ATTRIBUTE_TYPE_INVALID for any other class.
CP15File& DirectoryOf(TokenStorage& token, CK_OBJECT_CLASS objectClass);

// Counter EF 60A1: 4 hex characters, the number of the last file created.
// Writes and returns the next number. Characters that are not 4 hex digits
// fail with CKR_DEVICE_ERROR and FFFF with CKR_DEVICE_MEMORY, both before
// anything is written; 0000 (no file yet) gives 0001.
std::uint16_t NextFileNumber(CCardWriteAccess& card);
// Size of a new value file for a stored form of n bytes: n + n / 10, within
// the plain-offset range.
std::uint16_t NewFileSize(std::size_t n);

// CKA_VALUE (when the object has it) in its compressed card form, in the
// best-fitting free file of the area or a new file; sets the object's path,
// index 0 and length. CKR_DEVICE_MEMORY for a stored form past 32767 bytes.
void StoreValue(TokenStorage& token, CPKCS11Object& object, bool isPrivate);

// The first key reference of the communicator's range that no key object of
// the two key directories uses; CKR_DEVICE_MEMORY when none is left.
std::uint8_t ChooseKeyReference(TokenStorage& token);

// The public key shares the key reference of a private key with the same
// CKA_ID and CKA_MODULUS (those it has) without a card command; otherwise
// its exponent and modulus go into a new key. CKR_TEMPLATE_INCOMPLETE
// without them. Sets key reference, modulus bits, path (the key file),
// index 0 and length (the key file's size).
void StorePublicKey(TokenStorage& token, CPKCS11PublicKeyObject& key);
// All five CRT components and the public part into the key of a matching
// public key, or a new one; CKR_TEMPLATE_INCOMPLETE when one is missing.
void StorePrivateKey(TokenStorage& token, CPKCS11PrivateKeyObject& key);

// The token's format flags onto the directory, then its entries to the card:
// only what changed is written, in an order that keeps the directory
// readable wherever the writing stops. CKR_DEVICE_MEMORY, with nothing
// written, when the entries do not fit the EF; CKR_DEVICE_ERROR when an
// entry would not read back as its object.
void WriteDirectory(TokenStorage& token, CP15File& directory);

// Card side of creating a token object that the caller has built and
// checked: value, key, then the directory entry last. isPrivate is the
// template's CKA_PRIVATE. On failure the directory list is as it was and
// whatever was stored stays on the card unlisted.
void CreateOnCard(TokenStorage& token, const std::shared_ptr<CPKCS11Object>& object,
                  bool isPrivate);

// Card side of changing a token object after the caller applied the
// template: the value (when in memory) into a free or new file, the
// directory, then the value's previous file back to the unused space.
// wasPrivate is CKA_PRIVATE before the change. On failure the object's
// path, index and length and the directory list are as they were.
void ChangeOnCard(TokenStorage& token, CPKCS11Object& object, bool wasPrivate);

// Destroys an object after the caller's access check: for a token object
// the directory entry first, then its value file goes to the unused space
// or its card key is erased (unless another listed object still uses the
// file or key); then it leaves the object store. Returns the failure that
// kept the object listed, else CKR_OK.
CK_RV DestroyObject(TokenStorage& token, CPKCS11Object& object);

}  // namespace zorbix::p15
