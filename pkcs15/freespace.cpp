// Free space and writing objects on the card.
#include "pkcs15/freespace.h"

#include <algorithm>
#include <string>

#include "p11/objects.h"
#include "pkcs15/asn1types.h"
#include "pkcs15/errors.h"

namespace zorbix::p15 {

namespace {

using p11::CPKCS11KeyObject;
using Bytes = std::vector<std::uint8_t>;
using Element = CP15File::Element;
using ByteView = std::span<const std::uint8_t>;

// Plain READ/UPDATE BINARY offsets stop below 0x8000 (bit 15 means a short
// file identifier).
constexpr std::uint32_t kPlainLimit = 0x7FFF;
// One UPDATE BINARY command carries at most this many bytes, and so is the
// largest write the card takes all or nothing.
constexpr std::size_t kOneCommand = 231;
constexpr std::size_t kRecordCapacity = 128;
constexpr std::uint16_t kIccCryptoDf = 0x3F11;

std::uint16_t Word(ByteView b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] << 8 | b[at + 1]);
}

Bytes PathOf(std::uint16_t df, std::uint16_t file) {
  return {static_cast<std::uint8_t>(df >> 8), static_cast<std::uint8_t>(df),
          static_cast<std::uint8_t>(file >> 8), static_cast<std::uint8_t>(file)};
}

// A value file of this module: DF 6081 or 6061, one EF below it.
bool IsValueFile(ByteView path) {
  return path.size() == 4 && (Word(path, 0) == kPrivateValueDf || Word(path, 0) == kPublicValueDf);
}

// ---------------------------------------------------------------- TLV walk

struct Tlv {
  std::uint8_t tag = 0;
  ByteView contents;
  ByteView rest;  // what follows the element
};

// The card's TLV rule: one- or two-byte tag, a length byte up to 80 is the
// length, 81 and 82 take one and two more bytes.
std::optional<Tlv> ReadTlv(ByteView b) {
  if (b.size() < 2) return std::nullopt;
  std::size_t i = (b[0] & 0x1F) == 0x1F ? 2 : 1;
  if (b.size() < i + 1) return std::nullopt;
  const std::uint8_t l = b[i++];
  std::size_t length = l;
  if (l == 0x81 || l == 0x82) {
    const std::size_t n = l == 0x81 ? 1 : 2;
    if (b.size() < i + n) return std::nullopt;
    length = n == 1 ? b[i] : Word(b, i);
    i += n;
  } else if (l > 0x80) {
    return std::nullopt;
  }
  if (b.size() - i < length) return std::nullopt;
  return Tlv{b[0], b.subspan(i, length), b.subspan(i + length)};
}

// ---------------------------------------------------------------- safe writes

struct PlannedWrite {
  std::uint32_t offset;
  Bytes bytes;
};
struct WritePlan {
  std::vector<PlannedWrite> writes;
  std::uint32_t end = 0;  // one past the last byte written
  // The write that makes the card list the new content; those after it only
  // clear what lies beyond the content's end.
  std::size_t commit = 0;
};

std::size_t Total(std::span<const Element> elements) {
  std::size_t n = 0;
  for (const auto& e : elements) n += e.size();
  return n;
}

Bytes Join(std::span<const Element> elements) {
  Bytes out;
  out.reserve(Total(elements));
  for (const auto& e : elements) out.insert(out.end(), e.begin(), e.end());
  return out;
}

class PlanBuilder {
 public:
  void Add(std::uint32_t offset, Bytes bytes) {
    if (bytes.empty()) return;
    plan_.end = std::max<std::uint32_t>(plan_.end, offset + static_cast<std::uint32_t>(bytes.size()));
    plan_.writes.push_back({offset, std::move(bytes)});
  }
  // New entries after the content: all but their first byte, then the tag
  // byte that makes them part of the content.
  void Append(std::uint32_t at, const Bytes& bytes) {
    Add(at + 1, Bytes(bytes.begin() + 1, bytes.end()));
    Add(at, Bytes(1, bytes[0]));
  }
  // The content ends at `at` (00 where a tag was), then the rest is cleared;
  // in one command when that takes one.
  void Truncate(std::uint32_t at, std::size_t length) {
    Bytes zeros(length, 0x00);
    if (length > kOneCommand) {
      zeros.pop_back();
      Add(at, Bytes(1, 0x00));
      MarkCommitted();
      Add(at + 1, std::move(zeros));
      return;
    }
    Add(at, std::move(zeros));
    MarkCommitted();
  }
  // The entry at `at` trades places with each of `following` in turn, one
  // command per trade; returns where it ends up.
  std::uint32_t SwapPast(std::uint32_t at, const Element& entry, const std::vector<Element>& following) {
    for (const Element& e : following) {
      Bytes pair(e);
      pair.insert(pair.end(), entry.begin(), entry.end());
      Add(at, std::move(pair));
      at += static_cast<std::uint32_t>(e.size());
    }
    return at;
  }
  // The last write so far is the one that changes what the card lists.
  void Commit() { plan_.commit = plan_.writes.empty() ? 0 : plan_.writes.size() - 1; }
  WritePlan Take() {
    if (!committed_) Commit();
    return std::move(plan_);
  }
  void MarkCommitted() {
    Commit();
    committed_ = true;
  }

 private:
  WritePlan plan_;
  bool committed_ = false;
};

// The writes that turn the elements on the card into `next`, ordered so
// that a reader finds complete entries only, wherever the writing stops
// (one command being all or nothing):
// - entries added at the end: tag byte last;
// - entries gone from the end: a 00 where the first of them began;
// - one entry leaving the middle: it swaps places with each following
//   entry in one command, then leaves from the end;
// - one entry changing and moving to the end: the same swaps, then one
//   command writes the new entry over the old (or, when that does not fit
//   one command, the new entry joins at the end before the old one leaves);
// - anything else: the content is cut where it first differs, the new part
//   written behind the cut, and the cut closed last.
// Without knowledge of the card the elements are written in order and the
// old extent cleared.
WritePlan MakePlan(const std::optional<std::vector<Element>>& onCard,
                   const std::vector<Element>& next, std::uint16_t extent, std::uint32_t limit) {
  PlanBuilder b;
  if (!onCard) {
    const Bytes all = Join(next);
    b.Add(0, all);
    if (all.size() < extent) b.Add(static_cast<std::uint32_t>(all.size()), Bytes(extent - all.size(), 0));
    return b.Take();
  }
  const auto& old = *onCard;
  std::size_t p = 0;
  std::uint32_t base = 0;
  while (p < old.size() && p < next.size() && old[p] == next[p])
    base += static_cast<std::uint32_t>(old[p++].size());
  const std::vector<Element> x(old.begin() + static_cast<std::ptrdiff_t>(p), old.end());
  const std::vector<Element> y(next.begin() + static_cast<std::ptrdiff_t>(p), next.end());
  if (x.empty() && y.empty()) return b.Take();
  if (x.empty()) {
    b.Append(base, Join(y));
    return b.Take();
  }
  const std::uint32_t oldLength = static_cast<std::uint32_t>(Total(x));
  if (y.empty()) {
    b.Truncate(base, oldLength);
    return b.Take();
  }

  const bool removed = y.size() + 1 == x.size() && std::equal(x.begin() + 1, x.end(), y.begin());
  const bool moved = y.size() == x.size() && std::equal(x.begin() + 1, x.end(), y.begin());
  if (removed || moved) {
    const Element& leaving = x[0];
    std::vector<Element> rest(x.begin() + 1, x.end());
    const auto swapsFit = [&] {
      return std::all_of(rest.begin(), rest.end(),
                         [&](const Element& e) { return e.size() + leaving.size() <= kOneCommand; });
    };
    // A changed entry: it goes to the end by swaps, then becomes its new
    // self in one command (zeros over what it leaves).
    if (moved && swapsFit() && std::max(leaving.size(), y.back().size()) <= kOneCommand &&
        base + oldLength - leaving.size() + y.back().size() <= limit) {
      const std::uint32_t at = b.SwapPast(base, leaving, rest);
      Bytes replaced(y.back());
      if (replaced.size() < leaving.size()) replaced.resize(leaving.size(), 0x00);
      b.Add(at, std::move(replaced));
      return b.Take();
    }
    if (moved) rest.push_back(y.back());
    if (swapsFit() && (!moved || base + oldLength + y.back().size() <= limit)) {
      if (moved) b.Append(base + oldLength, y.back());
      const std::uint32_t at = b.SwapPast(base, leaving, rest);
      b.Truncate(at, leaving.size());
      return b.Take();
    }
  }

  const Bytes fresh = Join(y);
  Bytes behind(fresh.begin() + 1, fresh.end());
  if (fresh.size() < oldLength) behind.resize(oldLength - 1, 0x00);
  b.Add(base, Bytes(1, 0x00));
  b.Add(base + 1, std::move(behind));
  b.Add(base, Bytes(1, fresh[0]));
  return b.Take();
}

void SelectInPkcs15(CCardWriteAccess& card, CP15File& file) {
  card.SelectName(kMasterFileName);
  card.SelectId(kPkcs15DfId);
  file.SetCapacity(card.SelectIdSize(file.FileId()));
}

std::uint32_t Limit(const CP15File& file) {
  return std::min<std::uint32_t>(*file.Capacity(), kPlainLimit);
}

// CKR_DEVICE_MEMORY when writing elements would pass the end of the EF;
// asks the card for the EF's size the first time.
void EnsureRoom(CCardWriteAccess& card, CP15File& file, const std::vector<Element>& elements) {
  if (!file.Capacity()) SelectInPkcs15(card, file);
  const WritePlan plan = MakePlan(file.CardElements(), elements, file.Size(), Limit(file));
  if (plan.end > Limit(file)) Fail(CKR_DEVICE_MEMORY);
}

void WriteSafely(CCardWriteAccess& card, CP15File& file, const std::vector<Element>& elements) {
  bool selected = false;
  if (!file.Capacity()) {
    SelectInPkcs15(card, file);
    selected = true;
  }
  const WritePlan plan = MakePlan(file.CardElements(), elements, file.Size(), Limit(file));
  if (plan.end > Limit(file)) Fail(CKR_DEVICE_MEMORY);
  const auto extent = static_cast<std::uint16_t>(std::max<std::uint32_t>(file.Size(), plan.end));
  if (plan.writes.empty()) {
    file.Written(elements, file.Size());
    return;
  }
  std::size_t done = 0;
  try {
    if (!selected) SelectInPkcs15(card, file);
    for (; done < plan.writes.size(); ++done) {
      const PlannedWrite& w = plan.writes[done];
      card.UpdateBinaryAt(static_cast<std::uint16_t>(w.offset), w.bytes);
    }
  } catch (...) {
    if (done <= plan.commit) {
      file.WriteFailed(extent);
      throw;
    }
    // The card lists the new content already; only bytes past its end may
    // be left over, and the next write rewrites the file and clears them.
    file.Written(elements, extent);
    file.WriteFailed(extent);
    return;
  }
  file.Written(elements, extent);
}

// ---------------------------------------------------------------- objects

void SetFlags(const TokenStorage& token, CP15File& directory) {
  directory.SetStandardFormat(token.standardFormat);
  directory.SetPathForm(token.pathForm);
}

// 4 when the key signs (or verifies), 8 when it decrypts (or encrypts), 12
// when neither attribute is set.
unsigned UsageOf(const CPKCS11Object& key, CK_ATTRIBUTE_TYPE signs, CK_ATTRIBUTE_TYPE decrypts) {
  unsigned usage = 0;
  if (key.IsTrue(signs)) usage |= 4;
  if (key.IsTrue(decrypts)) usage |= 8;
  return usage ? usage : 12;
}

unsigned UsageOf(const CPKCS11Object& key) {
  return key.ObjectClass() == CKO_PRIVATE_KEY ? UsageOf(key, CKA_SIGN, CKA_DECRYPT)
                                              : UsageOf(key, CKA_VERIFY, CKA_ENCRYPT);
}

// The same, after giving a key of neither usage both.
unsigned UsageForStoring(CPKCS11Object& key, CK_ATTRIBUTE_TYPE signs, CK_ATTRIBUTE_TYPE decrypts) {
  if (!key.IsTrue(signs) && !key.IsTrue(decrypts)) {
    key.SetBool(signs, true);
    key.SetBool(decrypts, true);
    return 12;
  }
  return UsageOf(key, signs, decrypts);
}

ByteView Required(const CPKCS11Object& key, CK_ATTRIBUTE_TYPE type) {
  const auto* v = key.Find(type);
  if (!v || v->empty()) Fail(CKR_TEMPLATE_INCOMPLETE);
  return {v->data(), v->size()};
}

// The key reference of a key of `keyClass` with the same CKA_ID and
// CKA_MODULUS (those the key has; an empty one names nothing).
std::optional<std::uint8_t> MatchingKeyReference(const TokenStorage& token,
                                                 const CPKCS11Object& key,
                                                 CK_OBJECT_CLASS keyClass) {
  CK_ATTRIBUTE tmpl[3];
  CK_ULONG count = 0;
  tmpl[count++] = {CKA_CLASS, &keyClass, sizeof keyClass};
  for (CK_ATTRIBUTE_TYPE type : {CKA_ID, CKA_MODULUS}) {
    const auto* v = key.Find(type);
    if (v && !v->empty())
      tmpl[count++] = {type, const_cast<std::uint8_t*>(v->data()), static_cast<CK_ULONG>(v->size())};
  }
  if (count == 1) return std::nullopt;
  for (CK_OBJECT_HANDLE h :
       token.objects.Search({tmpl, count}, !token.privateObjectsVisible)) {
    const CPKCS11Object& found = token.objects.Find(h);
    if (&found == &key) continue;
    if (const auto* k = dynamic_cast<const CPKCS11KeyObject*>(&found)) return k->KeyReference();
  }
  return std::nullopt;
}

void Check(CK_RV rv) {
  if (rv != CKR_OK) Fail(rv);
}

std::vector<CP15File*> Directories(TokenStorage& token) {
  return {&token.prkdf, &token.pukdf, &token.cdf, &token.dodf};
}

bool PathInUse(TokenStorage& token, ByteView path) {
  for (CP15File* d : Directories(token))
    for (const auto& o : d->Objects())
      if (o && std::equal(o->Path().begin(), o->Path().end(), path.begin(), path.end())) return true;
  return false;
}

bool KeyReferenceInUse(TokenStorage& token, std::uint8_t reference) {
  for (CP15File* d : {static_cast<CP15File*>(&token.prkdf), static_cast<CP15File*>(&token.pukdf)})
    for (const auto& o : d->Objects())
      if (const auto* k = dynamic_cast<const CPKCS11KeyObject*>(o.get()); k && k->KeyReference() == reference)
        return true;
  return false;
}

// A value file no listed object uses any more goes to the unused space
// with its size on the card. Only the value areas' files are listed: a
// record elsewhere could later have a value written over a file that is
// not ours to reuse.
void FreeValueFile(TokenStorage& token, const Bytes& path, std::int32_t index) {
  if (!IsValueFile(path) || PathInUse(token, path)) return;
  const std::uint16_t size = token.card.SelectPathSize(path);
  token.unusedSpace.SetPathForm(token.pathForm);
  token.unusedSpace.AddRecord(token.card, path, static_cast<std::uint8_t>(index), size);
}

// CKR_DEVICE_MEMORY (or the failure of an entry that would not read back)
// before anything is stored, when the directory could not take the object
// once stored: its entry is measured with the largest place it can get.
void EnsureDirectoryRoom(TokenStorage& token, CP15File& directory, CPKCS11Object& object) {
  const Bytes path = object.Path();
  const std::int32_t index = object.Index();
  const std::int32_t length = object.Length();
  auto* key = dynamic_cast<CPKCS11KeyObject*>(&object);
  const std::uint8_t reference = key ? key->KeyReference() : 0;
  const std::uint32_t bits = key ? key->ModulusBits() : 0;
  struct Restore {
    CPKCS11Object& o;
    CPKCS11KeyObject* k;
    const Bytes& path;
    std::int32_t index, length;
    std::uint8_t reference;
    std::uint32_t bits;
    ~Restore() {
      o.SetPath(path);
      o.SetIndex(index);
      o.SetLength(length);
      if (k) {
        k->SetKeyReference(reference);
        k->SetModulusBits(bits);
      }
    }
  } restore{object, key, path, index, length, reference, bits};

  if (key) {
    object.SetPath(PathOf(kIccCryptoDf, 0x0100 + token.card.LastKeyReference()));
    key->SetKeyReference(token.card.LastKeyReference());
    key->SetModulusBits(kPlainLimit);
  } else if (object.Has(CKA_VALUE)) {
    object.SetPath(PathOf(kPrivateValueDf, 0x7FFF));
  }
  object.SetIndex(0);
  object.SetLength(static_cast<std::int32_t>(kPlainLimit));
  EnsureRoom(token.card, directory, directory.EncodeEntries());
}

// The refusals of key storage that need no card: a missing component, no
// key reference left.
void CheckKeyStorable(TokenStorage& token, const CPKCS11Object& object) {
  if (object.ObjectClass() == CKO_PRIVATE_KEY) {
    for (CK_ATTRIBUTE_TYPE type : {CKA_PRIME_1, CKA_PRIME_2, CKA_COEFFICIENT, CKA_EXPONENT_1,
                                   CKA_EXPONENT_2, CKA_PUBLIC_EXPONENT, CKA_MODULUS})
      Required(object, type);
    if (!MatchingKeyReference(token, object, CKO_PUBLIC_KEY)) ChooseKeyReference(token);
  } else if (object.ObjectClass() == CKO_PUBLIC_KEY) {
    if (MatchingKeyReference(token, object, CKO_PRIVATE_KEY)) return;
    Required(object, CKA_PUBLIC_EXPONENT);
    Required(object, CKA_MODULUS);
    ChooseKeyReference(token);
  }
}

CP15File::ObjectList::iterator FindIn(CP15File& directory, const CPKCS11Object& object) {
  auto& list = directory.Objects();
  return std::find_if(list.begin(), list.end(),
                      [&object](const std::shared_ptr<CPKCS11Object>& p) { return p.get() == &object; });
}

}  // namespace

// ---------------------------------------------------------------- records

UnusedRecord WalkRecord(std::span<const std::uint8_t> record) {
  UnusedRecord r;
  const auto outer = ReadTlv(record);
  if (!outer || outer->tag != 0x30) return r;
  const auto place = ReadTlv(outer->contents);
  if (!place || place->tag != 0x30) return r;
  const auto path = ReadTlv(place->contents);
  if (!path || path->tag != 0x04) return r;
  const ByteView stored = path->contents;
  r.path = PathFromStored(stored);
  const std::string text = IsStoredAsText(stored) ? std::string(stored.begin(), stored.end())
                                                  : PathToText(r.path);
  r.isPrivate = text.find("6081") != std::string::npos;
  const auto index = ReadTlv(path->rest);
  if (!index || index->tag != 0x02) return r;
  const auto length = ReadTlv(index->rest);
  if (!length || length->tag != 0x80 || length->contents.empty()) return r;
  const ByteView l = length->contents;
  r.length = l.size() < 2 ? l[0] : Word(l, 0);
  return r;
}

bool CP15EFUS::Decode(std::span<const std::uint8_t> element) {
  const auto decoded = asn1::DecodeComplete<PKCS15UnusedSpace_t>(element);
  if (!decoded) return false;
  if (IsStoredAsText(asn1::Bytes(decoded->path.path))) SetPathForm(kPathFormText);
  records_.emplace_back(element.begin(), element.end());
  return true;
}

void CP15EFUS::Read(CCardFileAccess& card) {
  records_.clear();
  std::uint16_t covered = 0;
  try {
    ReadElements(card, [this](std::span<const std::uint8_t> e) { return Decode(e); }, false, covered);
  } catch (...) {
    WriteFailed(covered);  // what follows the records read is unknown
    throw;
  }
  Written(records_, covered);
}

void CP15EFUS::Write(CCardFileAccess& card) {
  if (auto* writer = dynamic_cast<CCardWriteAccess*>(&card)) {
    WriteSafely(*writer, *this, records_);
    return;
  }
  std::uint16_t extent = Size();
  try {
    WriteElements(card, records_, extent);
  } catch (...) {
    WriteFailed(extent);
    throw;
  }
  Written(records_, extent);
}

std::optional<CP15EFUS::Fit> CP15EFUS::BestFit(CCardFileAccess& card, std::size_t n,
                                              bool isPrivate) {
  if (!Loaded()) Read(card);
  std::optional<Fit> best;
  std::int64_t bestExcess = 0;
  const std::uint16_t area = isPrivate ? kPrivateValueDf : kPublicValueDf;
  for (std::size_t i = 0; i < records_.size(); ++i) {
    const UnusedRecord r = WalkRecord(records_[i]);
    if (r.isPrivate != isPrivate || r.length < 0) continue;
    if (r.path.size() != 4 || Word(r.path, 0) != area) continue;
    const std::int64_t excess = static_cast<std::int64_t>(r.length) - static_cast<std::int64_t>(n);
    if (excess < 1 || (best && excess >= bestExcess)) continue;
    best = Fit{i, r.path};
    bestExcess = excess;
  }
  return best;
}

bool CP15EFUS::AddRecord(CCardWriteAccess& card, std::span<const std::uint8_t> path,
                         std::uint8_t index, std::uint16_t length) {
  if (!Loaded()) Read(card);
  auto value = asn1::Make<PKCS15UnusedSpace_t>();
  const int form = PathForm() != 0 ? kPathFormBinary : kPathFormText;
  asn1::FillString(value->path.path, PathForStorage(path, form));
  value->path.index = asn1::NewMember<INTEGER_t>();
  asn1::FillInteger(*value->path.index, std::vector<std::uint8_t>{index});
  value->path.length = asn1::NewMember<INTEGER_t>();
  asn1::FillInteger(*value->path.length, std::vector<std::uint8_t>{static_cast<std::uint8_t>(length >> 8),
                                                                   static_cast<std::uint8_t>(length)});
  auto record = asn1::EncodeToVector(*value, kRecordCapacity);
  if (!record) return false;
  // It must read back as this file; a length that the canonical INTEGER
  // turns into something else is not listed.
  const UnusedRecord back = WalkRecord(*record);
  if (!asn1::DecodeComplete<PKCS15UnusedSpace_t>(*record) || back.length != length ||
      !std::equal(back.path.begin(), back.path.end(), path.begin(), path.end()))
    return false;

  records_.push_back(std::move(*record));
  try {
    Write(card);
  } catch (const Pkcs11Exception& e) {
    records_.pop_back();
    if (RvOf(e) == CKR_DEVICE_MEMORY) return false;  // refused before writing
    throw;
  }
  return true;
}

void CP15EFUS::RemoveRecord(CCardWriteAccess& card, std::size_t position) {
  if (position >= records_.size()) Fail(CKR_GENERAL_ERROR);
  Element record = std::move(records_[position]);
  records_.erase(records_.begin() + static_cast<std::ptrdiff_t>(position));
  try {
    Write(card);
  } catch (...) {
    records_.insert(records_.begin() + static_cast<std::ptrdiff_t>(position), std::move(record));
    throw;
  }
}

// ---------------------------------------------------------------- operations

CP15File& DirectoryOf(TokenStorage& token, CK_OBJECT_CLASS objectClass) {
  switch (objectClass) {
    case CKO_DATA: return token.dodf;
    case CKO_CERTIFICATE: return token.cdf;
    case CKO_PUBLIC_KEY: return token.pukdf;
    case CKO_PRIVATE_KEY: return token.prkdf;
    default: Fail(CKR_ATTRIBUTE_TYPE_INVALID);
  }
}

std::uint16_t NextFileNumber(CCardWriteAccess& card) {
  card.SelectName(kMasterFileName);
  card.SelectId(kFileCounterId);
  Bytes text;
  card.ReadBinaryAt(text, 0, 4);
  if (text.size() != 4) Fail(CKR_DEVICE_ERROR);
  std::uint32_t last = 0;
  for (std::uint8_t c : text) {
    int d = -1;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    if (d < 0) Fail(CKR_DEVICE_ERROR);
    last = last << 4 | static_cast<std::uint32_t>(d);
  }
  if (last == 0xFFFF) Fail(CKR_DEVICE_MEMORY);
  const std::uint32_t next = last + 1;
  static const char kHex[] = "0123456789ABCDEF";
  const Bytes written = {static_cast<std::uint8_t>(kHex[next >> 12 & 0xF]),
                         static_cast<std::uint8_t>(kHex[next >> 8 & 0xF]),
                         static_cast<std::uint8_t>(kHex[next >> 4 & 0xF]),
                         static_cast<std::uint8_t>(kHex[next & 0xF])};
  card.UpdateBinaryAt(0, written);
  return static_cast<std::uint16_t>(next);
}

std::uint16_t NewFileSize(std::size_t n) {
  return static_cast<std::uint16_t>(std::min<std::size_t>(n + n / 10, kPlainLimit));
}

void StoreValue(TokenStorage& token, CPKCS11Object& object, bool isPrivate) {
  const auto* value = object.Find(CKA_VALUE);
  if (!value) return;
  const Bytes image = token.card.CompressForCard({value->data(), value->size()});
  const std::size_t n = image.size();
  if (n > kPlainLimit) Fail(CKR_DEVICE_MEMORY);

  Bytes path;
  if (auto fit = token.unusedSpace.BestFit(token.card, n, isPrivate)) {
    token.unusedSpace.SetPathForm(token.pathForm);
    token.unusedSpace.RemoveRecord(token.card, fit->position);
    path = std::move(fit->path);
  } else {
    const std::uint16_t number = NextFileNumber(token.card);
    path = PathOf(isPrivate ? kPrivateValueDf : kPublicValueDf, number);
    token.card.CreateEf(path, isPrivate, NewFileSize(n));
  }
  token.card.SelectName(kMasterFileName);
  token.card.SelectId(Word(path, 0));
  token.card.SelectId(Word(path, 2));
  token.card.UpdateBinaryAt(0, image);
  object.SetPath(std::move(path));
  object.SetIndex(0);
  object.SetLength(static_cast<std::int32_t>(n));
}

std::uint8_t ChooseKeyReference(TokenStorage& token) {
  const unsigned first = token.card.FirstKeyReference();
  const unsigned last = token.card.LastKeyReference();
  for (unsigned r = first; r <= last; ++r)
    if (!KeyReferenceInUse(token, static_cast<std::uint8_t>(r))) return static_cast<std::uint8_t>(r);
  Fail(CKR_DEVICE_MEMORY);
}

void StorePublicKey(TokenStorage& token, CPKCS11PublicKeyObject& key) {
  const auto shared = MatchingKeyReference(token, key, CKO_PRIVATE_KEY);
  const unsigned usage = UsageForStoring(key, CKA_VERIFY, CKA_ENCRYPT);
  std::uint8_t reference = 0;
  if (shared) {
    reference = *shared;
  } else {
    const ByteView exponent = Required(key, CKA_PUBLIC_EXPONENT);
    const ByteView modulus = Required(key, CKA_MODULUS);
    reference = ChooseKeyReference(token);
    token.card.EraseKey(usage, reference);
    Check(token.card.PutKeyComponent(usage + 1, kTagPublicExponent, exponent, reference));
    Check(token.card.PutKeyComponent(usage + 1, kTagModulus, modulus, reference));
  }
  key.SetKeyReference(reference);
  std::uint32_t bits = 0;
  if (key.Has(CKA_MODULUS_BITS)) {
    bits = static_cast<std::uint32_t>(key.ReadUlong(CKA_MODULUS_BITS));
  } else {
    bits = static_cast<std::uint32_t>(8 * key.Bytes(CKA_MODULUS).size());
    key.SetUlong(CKA_MODULUS_BITS, bits);
  }
  key.SetModulusBits(bits);
  Bytes path;
  const std::uint16_t size = token.card.GetKeyFile(usage + 1, reference, path);
  key.SetPath(std::move(path));
  key.SetIndex(0);
  key.SetLength(size);
}

void StorePrivateKey(TokenStorage& token, CPKCS11PrivateKeyObject& key) {
  const auto shared = MatchingKeyReference(token, key, CKO_PUBLIC_KEY);
  const unsigned usage = UsageForStoring(key, CKA_SIGN, CKA_DECRYPT);
  struct Component {
    std::uint8_t tag;
    CK_ATTRIBUTE_TYPE type;
    unsigned part;
  };
  static constexpr Component kComponents[] = {
      {kTagPrime1, CKA_PRIME_1, 2},           {kTagPrime2, CKA_PRIME_2, 2},
      {kTagCoefficient, CKA_COEFFICIENT, 2},  {kTagExponent1, CKA_EXPONENT_1, 2},
      {kTagExponent2, CKA_EXPONENT_2, 2},     {kTagPublicExponent, CKA_PUBLIC_EXPONENT, 1},
      {kTagModulus, CKA_MODULUS, 1},
  };
  for (const Component& c : kComponents) Required(key, c.type);
  const std::uint8_t reference = shared ? *shared : ChooseKeyReference(token);
  token.card.EraseKey(usage, reference);
  for (const Component& c : kComponents)
    Check(token.card.PutKeyComponent(usage + c.part, c.tag, Required(key, c.type), reference));
  Bytes path;
  const std::uint16_t size = token.card.GetKeyFile(usage + 2, reference, path);
  key.SetPath(std::move(path));
  key.SetIndex(0);
  key.SetLength(size);
  key.SetKeyReference(reference);
  key.SetModulusBits(static_cast<std::uint32_t>(8 * key.Bytes(CKA_MODULUS).size()));
}

void WriteDirectory(TokenStorage& token, CP15File& directory) {
  SetFlags(token, directory);
  WriteSafely(token.card, directory, directory.EncodeEntries());
}

void CreateOnCard(TokenStorage& token, const std::shared_ptr<CPKCS11Object>& object,
                  bool isPrivate) {
  if (!object) Fail(CKR_GENERAL_ERROR);
  CP15File& directory = DirectoryOf(token, object->ObjectClass());
  directory.Objects().push_back(object);
  try {
    SetFlags(token, directory);
    CheckKeyStorable(token, *object);
    EnsureDirectoryRoom(token, directory, *object);
    StoreValue(token, *object, isPrivate);
    if (auto* priv = dynamic_cast<CPKCS11PrivateKeyObject*>(object.get()))
      StorePrivateKey(token, *priv);
    else if (auto* pub = dynamic_cast<CPKCS11PublicKeyObject*>(object.get()))
      StorePublicKey(token, *pub);
    WriteDirectory(token, directory);
  } catch (...) {
    const auto it = FindIn(directory, *object);
    if (it != directory.Objects().end()) directory.Objects().erase(it);
    throw;
  }
}

void ChangeOnCard(TokenStorage& token, CPKCS11Object& object, bool wasPrivate) {
  CP15File& directory = DirectoryOf(token, object.ObjectClass());
  auto& list = directory.Objects();
  auto it = FindIn(directory, object);
  if (it == list.end()) Fail(CKR_OBJECT_HANDLE_INVALID);
  const auto position = it - list.begin();
  const std::shared_ptr<CPKCS11Object> keep = *it;
  const Bytes oldPath = object.Path();
  const std::int32_t oldIndex = object.Index();
  const std::int32_t oldLength = object.Length();
  const bool storesValue = object.Has(CKA_VALUE);

  // The changed entry moves to the end of the directory: leaving the middle
  // and joining at the end can be written without ever showing half an
  // entry.
  list.erase(it);
  list.push_back(keep);
  try {
    SetFlags(token, directory);
    if (storesValue) EnsureDirectoryRoom(token, directory, object);
    StoreValue(token, object, wasPrivate);
    WriteDirectory(token, directory);
  } catch (...) {
    object.SetPath(oldPath);
    object.SetIndex(oldIndex);
    object.SetLength(oldLength);
    list.erase(std::find(list.begin(), list.end(), keep));
    list.insert(list.begin() + position, keep);
    throw;
  }
  // The change is on the card; the old file is given back on a best-effort
  // basis (if this fails it stays on the card unlisted).
  if (storesValue && !oldPath.empty() && oldPath != object.Path()) {
    try {
      FreeValueFile(token, oldPath, oldIndex);
    } catch (const Pkcs11Exception&) {
    }
  }
}

CK_RV DestroyObject(TokenStorage& token, CPKCS11Object& object) {
  try {
    CP15File& directory = DirectoryOf(token, object.ObjectClass());
    std::shared_ptr<CPKCS11Object> keep;
    if (object.IsTrue(CKA_TOKEN)) {
      auto& list = directory.Objects();
      const auto it = FindIn(directory, object);
      if (it == list.end()) Fail(CKR_OBJECT_HANDLE_INVALID);
      const auto position = it - list.begin();
      keep = *it;
      list.erase(it);
      try {
        WriteDirectory(token, directory);
      } catch (...) {
        list.insert(list.begin() + position, keep);
        throw;
      }
      // Unlisted now; what it held is given back on a best-effort basis
      // (if this fails the file or key stays on the card unlisted).
      try {
        if (const auto* key = dynamic_cast<const CPKCS11KeyObject*>(&object)) {
          if (!KeyReferenceInUse(token, key->KeyReference()))
            token.card.EraseKey(UsageOf(object), key->KeyReference());
        } else {
          FreeValueFile(token, object.Path(), object.Index());
        }
      } catch (const Pkcs11Exception&) {
      }
    }
    token.objects.Remove(object);
  } catch (const Pkcs11Exception& e) {
    return RvOf(e);
  }
  return CKR_OK;
}

}  // namespace zorbix::p15
