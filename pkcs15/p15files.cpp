// Element-by-element reading and writing of PKCS#15 files; TokenInfo.
#include "pkcs15/p15files.h"

#include <algorithm>
#include <cstring>

#include "p11/objects.h"
#include "pkcs15/errors.h"
#include "platform/utf8.h"

namespace zorbix::p15 {

namespace {

// Plain offsets stop below 0x8000: with that bit set P1-P2 would address a
// file by short identifier.
constexpr std::uint32_t kOffsetLimit = 0x8000;

// The plain offset right after an element written or read at offset.
std::uint32_t OffsetAfter(std::uint16_t offset, std::size_t length) {
  const std::uint32_t base = (offset & 0x8000) ? (offset & 0xFFu) : offset;
  return base + static_cast<std::uint32_t>(length);
}

std::uint16_t Clamp16(std::uint32_t v) { return static_cast<std::uint16_t>(std::min<std::uint32_t>(v, 0xFFFF)); }

void SelectPkcs15Df(CCardFileAccess& card) {
  card.SelectName(kMasterFileName);
  card.SelectId(kPkcs15DfId);
}

}  // namespace

CP15File::~CP15File() = default;

int CP15File::Encode(const CPKCS11Object&, std::vector<std::uint8_t>& out) {
  out.clear();
  return 0;
}

CP15File::SideDecode CP15File::DecodeAside(std::span<const std::uint8_t> element) {
  SideDecode out;
  const std::size_t count = objects_.size();
  const int standard = standardFormat_;
  const int pathForm = pathForm_;
  const bool loaded = loaded_;
  bool accepted = false;
  try {
    accepted = Decode(element);
  } catch (const Pkcs11Exception&) {
    accepted = false;
  }
  if (accepted && objects_.size() == count + 1) out.object = objects_.back();
  objects_.resize(std::min(objects_.size(), count));
  out.standardFormat = standardFormat_;
  out.pathForm = pathForm_;
  standardFormat_ = standard;
  pathForm_ = pathForm;
  loaded_ = loaded;
  return out;
}

// The entry must come back from the card as this object: decoded by this
// file in its own form, giving the same entry again, with the object's place
// and names.
bool CP15File::ReadsBackAs(const CPKCS11Object& object, const Element& entry) {
  const SideDecode back = DecodeAside(entry);
  if (!back.object || back.standardFormat != standardFormat_ || back.pathForm != pathForm_)
    return false;
  Element again;
  try {
    if (Encode(*back.object, again) != 0 || again != entry) return false;
  } catch (const Pkcs11Exception&) {
    return false;
  }
  std::vector<std::uint8_t> path = object.Path();
  if (pathForm_ != kPathFormBinary) PadPath(path);
  if (back.object->Path() != path || back.object->Index() != object.Index() ||
      back.object->Length() != object.Length())
    return false;
  // Every value the object holds comes back; an empty or missing one has
  // nothing to lose (a certificate without subject gets an empty Name).
  for (CK_ATTRIBUTE_TYPE type : CarriedAttributes()) {
    const auto mine = object.Bytes(type);
    if (mine.empty()) continue;
    const auto theirs = back.object->Bytes(type);
    if (mine.size() == 1 && theirs.size() == 1) {
      if ((mine[0] != 0) != (theirs[0] != 0)) return false;  // booleans by truth
    } else if (!std::equal(mine.begin(), mine.end(), theirs.begin(), theirs.end())) {
      return false;
    }
  }
  return true;
}

std::vector<CP15File::Element> CP15File::EncodeEntries() {
  std::vector<Element> entries;
  entries.reserve(objects_.size());
  // By index, on a copy: the checks below decode into the list for a moment.
  for (std::size_t i = 0; i < objects_.size(); ++i) {
    const std::shared_ptr<CPKCS11Object> object = objects_[i];
    Element entry;
    if (!object || Encode(*object, entry) != 0) Fail(CKR_DEVICE_ERROR);
    // An unchanged object keeps the entry the card holds (its members that
    // this module does not write, such as authId, stay as they were).
    if (const auto stored = storedEntries_.find(object->Handle()); stored != storedEntries_.end()) {
      if (stored->second == entry) {
        entries.push_back(std::move(entry));
        continue;
      }
      const SideDecode before = DecodeAside(stored->second);
      Element reencoded;
      if (before.object && Encode(*before.object, reencoded) == 0 && reencoded == entry) {
        entries.push_back(stored->second);
        continue;
      }
    }
    if (!ReadsBackAs(*object, entry)) Fail(CKR_DEVICE_ERROR);
    entries.push_back(std::move(entry));
  }
  return entries;
}

void CP15File::Written(std::vector<Element> elements, std::uint16_t extent) {
  storedEntries_.clear();
  if (elements.size() == objects_.size())
    for (std::size_t i = 0; i < objects_.size(); ++i)
      if (objects_[i]) storedEntries_[objects_[i]->Handle()] = elements[i];
  cardElements_ = std::move(elements);
  size_ = extent;
  loaded_ = true;
}

void CP15File::WriteFailed(std::uint16_t extent) {
  cardElements_.reset();
  size_ = std::max(size_, extent);
}

void CP15File::Read(CCardFileAccess& card) {
  const std::size_t before = objects_.size();
  std::vector<Element> elements;
  storedEntries_.clear();
  cardElements_.reset();
  ReadElements(
      card,
      [this, &elements](std::span<const std::uint8_t> e) {
        const std::size_t count = objects_.size();
        if (!Decode(e)) return false;
        elements.emplace_back(e.begin(), e.end());
        if (objects_.size() == count + 1 && objects_.back())
          storedEntries_[objects_.back()->Handle()] = elements.back();
        return true;
      },
      true, size_);
  // What the card holds is known only when the list mirrors it.
  if (before == 0) cardElements_ = std::move(elements);
  loaded_ = true;
}

void CP15File::Write(CCardFileAccess& card) {
  // Every entry is encoded before the card is touched: an entry that cannot
  // be encoded must not leave a half-rewritten directory behind.
  auto entries = EncodeEntries();
  try {
    WriteElements(card, entries, size_);
  } catch (...) {
    WriteFailed(size_);
    throw;
  }
  Written(std::move(entries), size_);
}

void CP15File::ReadElements(CCardFileAccess& card, const ElementDecoder& decode,
                            bool markOnFailure, std::uint16_t& covered) {
  try {
    SelectPkcs15Df(card);
    std::uint16_t offset = FirstAccessOffset(fileId_);
    std::vector<std::uint8_t> element;
    for (;;) {
      try {
        card.ReadObject(element, offset);
      } catch (const Pkcs11Exception& e) {
        if (RvOf(e) == CKR_DATA_INVALID) return;  // end of content
        throw;
      }
      // Every element read, one cut short by the end of the file included,
      // goes to the decoder: whatever it refuses is a broken file, not its end.
      bool decoded = false;
      try {
        decoded = decode(element);
      } catch (const Pkcs11Exception& e) {
        if (RvOf(e) != CKR_DATA_INVALID) throw;
      }
      if (!decoded) Fail(CKR_DEVICE_ERROR);
      const std::uint32_t next = OffsetAfter(offset, element.size());
      covered = Clamp16(next);
      if (next >= kOffsetLimit) return;
      offset = static_cast<std::uint16_t>(next);
    }
  } catch (...) {
    if (markOnFailure) card.MarkTokenNotRecognised();
    throw;
  }
}

void CP15File::WriteElements(CCardFileAccess& card,
                             const std::vector<std::vector<std::uint8_t>>& elements,
                             std::uint16_t& extent) {
  std::size_t total = 0;
  for (const auto& e : elements) total += e.size();
  if (total > kOffsetLimit) Fail(CKR_DEVICE_ERROR);

  SelectPkcs15Df(card);
  std::uint16_t offset = FirstAccessOffset(fileId_);
  std::uint32_t written = 0;
  for (const auto& e : elements) {
    const std::uint32_t next = OffsetAfter(offset, e.size());
    try {
      card.WriteObject(e, offset);
    } catch (...) {
      // The elements before this one are on the card: the next write has to
      // clear them if it ends earlier. (How much of this one the card took
      // is unknown; padding past the end of the EF would fail every later
      // write.)
      extent = std::max(extent, static_cast<std::uint16_t>(written));
      throw;
    }
    written = next;
    offset = static_cast<std::uint16_t>(next);
  }
  if (written < extent) {
    const std::vector<std::uint8_t> zeros(extent - written, 0);
    card.UpdateBinaryAt(offset, zeros);
  } else {
    extent = static_cast<std::uint16_t>(written);
  }
}

// ---------------------------------------------------------------------------

bool CP15TokenInfo::Decode(std::span<const std::uint8_t> element) {
  value_.reset();
  SetLoaded(false);

  if (auto utf8 = asn1::DecodeComplete<TokenInfo_t>(element)) {
    value_ = std::move(utf8);
    return true;
  }
  auto t61 = asn1::DecodeComplete<TokenInfoT61_t>(element);
  if (!t61) return false;

  // The texts end in CK_UTF8CHAR fields: T.61 becomes UTF-8 here (ASCII text
  // keeps its bytes). The other values keep their bytes.
  const auto utf8 = [](std::span<const std::uint8_t> t61Text) {
    const std::string text = platform::Latin1ToUtf8(t61Text);
    return std::vector<std::uint8_t>(text.begin(), text.end());
  };
  auto v = asn1::Make<TokenInfo_t>();
  asn1::FillInteger(v->version, asn1::Bytes(t61->version));
  asn1::FillString(v->serialNumber, asn1::Bytes(t61->serialNumber));
  asn1::FillString(v->manufacturerID, utf8(asn1::Bytes(t61->manufacturerID)));
  asn1::FillString(v->label, utf8(asn1::Bytes(t61->label)));
  asn1::FillString(v->tokenflags, asn1::Bytes(t61->tokenflags));
  value_ = std::move(v);
  return true;
}

void CP15TokenInfo::Unload() {
  value_.reset();
  SetLoaded(false);
}

bool CP15TokenInfo::FillTokenInfo(CK_TOKEN_INFO* info) const {
  std::memset(info->label, ' ', sizeof info->label);
  std::memset(info->manufacturerID, ' ', sizeof info->manufacturerID);
  std::memset(info->model, ' ', sizeof info->model);
  std::memset(info->serialNumber, ' ', sizeof info->serialNumber);
  info->flags = 0;
  info->ulMaxSessionCount = 0;
  info->ulSessionCount = 0;
  info->ulMaxRwSessionCount = 0;
  info->ulRwSessionCount = 0;
  info->ulMaxPinLen = 16;
  info->ulMinPinLen = 4;
  info->ulTotalPublicMemory = 0;
  info->ulFreePublicMemory = 0;
  info->ulTotalPrivateMemory = 0;
  info->ulFreePrivateMemory = 0;
  info->hardwareVersion = {0, 0};
  info->firmwareVersion = {0, 0};
  if (!value_) return false;

  const auto version = asn1::Bytes(value_->version);
  info->hardwareVersion.major = version.empty() ? 0 : version[0];

  // Longer values are cut at the field width rather than spill over.
  static const char kHex[] = "0123456789ABCDEF";
  const auto serial = asn1::Bytes(value_->serialNumber);
  const std::size_t serialBytes = std::min(serial.size(), sizeof info->serialNumber / 2);
  for (std::size_t i = 0; i < serialBytes; ++i) {
    info->serialNumber[2 * i] = static_cast<CK_UTF8CHAR>(kHex[serial[i] >> 4]);
    info->serialNumber[2 * i + 1] = static_cast<CK_UTF8CHAR>(kHex[serial[i] & 0xF]);
  }
  // Valid UTF-8 whatever the card holds (invalid bytes are read as Latin-1),
  // cut between characters.
  const auto text = [](std::span<const std::uint8_t> b) {
    return std::string_view(reinterpret_cast<const char*>(b.data()), b.size());
  };
  platform::FillUtf8Field(info->manufacturerID, sizeof info->manufacturerID,
                          text(asn1::Bytes(value_->manufacturerID)));
  platform::FillUtf8Field(info->label, sizeof info->label, text(asn1::Bytes(value_->label)));

  info->flags = CKF_TOKEN_INITIALIZED | CKF_USER_PIN_INITIALIZED;
  const auto flags = asn1::FlagBytes(value_->tokenflags);
  if (!flags.empty()) {
    if (flags[0] & 0x80) info->flags |= CKF_WRITE_PROTECTED;  // readonly
    if (flags[0] & 0x40) info->flags |= CKF_LOGIN_REQUIRED;   // loginRequired
    if (flags[0] & 0x20) info->flags |= CKF_RNG;              // prnGeneration
  }
  return true;
}

}  // namespace zorbix::p15
