// Writing a directory back never turns a readable directory into an
// unreadable one: over every entry of the virtual cards' directories and
// mutations of them that still read, a changed object is either refused
// before the card is touched or read back as written.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "fake_card.h"
#include "p11/objects.h"
#include "pkcs15/directories.h"
#include "pkcs15/freespace.h"
#include "sim/profile.h"
#include "tests/p11/raised.h"
#include "tests/support/hex.h"

namespace zorbix::p15 {
namespace {

using Bytes = std::vector<std::uint8_t>;
using p11::CPKCS11KeyObject;
using testing::FakeCard;
using testing::RaisedBy;
using testing::ToHex;

// The elements of a PKCS#15 file's content (complete TLVs with tag 30).
std::vector<Bytes> Elements(const Bytes& content) {
  std::vector<Bytes> out;
  std::size_t i = 0;
  while (i + 2 <= content.size() && content[i] == 0x30) {
    std::size_t length = content[i + 1], header = 2;
    if (length == 0x81 && i + 3 <= content.size()) {
      length = content[i + 2];
      header = 3;
    } else if (length == 0x82 && i + 4 <= content.size()) {
      length = static_cast<std::size_t>(content[i + 2]) << 8 | content[i + 3];
      header = 4;
    }
    if (i + header + length > content.size()) break;
    out.emplace_back(content.begin() + static_cast<std::ptrdiff_t>(i),
                     content.begin() + static_cast<std::ptrdiff_t>(i + header + length));
    i += header + length;
  }
  return out;
}

// Seeds: every entry of the file on every card; then each byte changed in
// the ways the outside fuzzing found to matter (a tag's constructed bit, a
// low bit, a zero).
std::set<Bytes> Corpus(std::uint16_t fileId) {
  std::set<Bytes> seeds;
  for (const auto& p : sim::AllProfiles())
    for (const auto& f : p.files)
      if (f.path == std::vector<std::uint16_t>{kPkcs15DfId, fileId})
        for (const Bytes& e : Elements(f.content)) seeds.insert(e);
  std::set<Bytes> corpus = seeds;
  for (const Bytes& seed : seeds)
    for (std::size_t i = 0; i < seed.size(); ++i)
      for (std::uint8_t v : {static_cast<std::uint8_t>(seed[i] ^ 0x20),
                             static_cast<std::uint8_t>(seed[i] ^ 0x01), std::uint8_t{0x00}}) {
        Bytes m = seed;
        m[i] = v;
        corpus.insert(std::move(m));
      }
  return corpus;
}

struct Directory {
  std::uint16_t fileId;
  std::function<std::unique_ptr<CP15File>()> make;
  std::vector<CK_ATTRIBUTE_TYPE> written;  // what an entry of the file carries
};

const Directory kDirectories[] = {
    {kPrKDFFileId, [] { return std::make_unique<CP15PrKDF>(); },
     {CKA_ID, CKA_SUBJECT, CKA_START_DATE, CKA_END_DATE, CKA_DECRYPT, CKA_SIGN, CKA_SIGN_RECOVER,
      CKA_UNWRAP, CKA_DERIVE, p11::kCkaNonRepudiation, CKA_SENSITIVE, CKA_EXTRACTABLE,
      CKA_ALWAYS_SENSITIVE, CKA_NEVER_EXTRACTABLE, CKA_LOCAL}},
    {kPuKDFFileId, [] { return std::make_unique<CP15PuKDF>(); },
     {CKA_ID, CKA_SUBJECT, CKA_START_DATE, CKA_END_DATE, CKA_ENCRYPT, CKA_WRAP, CKA_VERIFY,
      CKA_VERIFY_RECOVER, CKA_DERIVE, p11::kCkaNonRepudiation, CKA_LOCAL, CKA_MODULUS_BITS}},
    {kCDFFileId, [] { return std::make_unique<CP15CDF>(); },
     {CKA_ID, CKA_SUBJECT, CKA_ISSUER, CKA_SERIAL_NUMBER}},
    {kDODFFileId, [] { return std::make_unique<CP15DODF>(); }, {CKA_APPLICATION, CKA_OBJECT_ID}},
};

// Absent and empty alike.
Bytes ValueOf(const CPKCS11Object& o, CK_ATTRIBUTE_TYPE type) {
  const auto b = o.Bytes(type);
  return {b.begin(), b.end()};
}

TEST(writeback, ChangedEntriesAreRefusedOrReadBackAsWritten) {
  for (const Directory& d : kDirectories) {
    std::size_t readable = 0, refused = 0;
    for (const Bytes& entry : Corpus(d.fileId)) {
      Bytes content = entry;
      content.resize(entry.size() + 64, 0x00);
      FakeCard card(d.fileId, content);
      auto file = d.make();
      if (RaisedBy([&] { file->Read(card); }) != CKR_OK || file->Objects().size() != 1) continue;
      ++readable;
      // A new label: the entry has to be encoded again.
      CPKCS11Object& object = *file->Objects().front();
      Bytes label(object.Bytes(CKA_LABEL).begin(), object.Bytes(CKA_LABEL).end());
      label.push_back('+');
      object.Set(CKA_LABEL, label);

      const CK_RV rv = RaisedBy([&] { file->Write(card); });
      if (rv != CKR_OK) {
        ++refused;
        EXPECT_TRUE(rv == CKR_DEVICE_ERROR || rv == CKR_ATTRIBUTE_TYPE_INVALID)
            << std::hex << rv << " " << ToHex(entry);
        EXPECT_EQ(card.content(), content) << "touched: " << ToHex(entry);
        continue;
      }
      auto again = d.make();
      ASSERT_EQ(RaisedBy([&] { again->Read(card); }), CKR_OK)
          << "unreadable after writing " << ToHex(entry);
      ASSERT_EQ(again->Objects().size(), 1u) << ToHex(entry);
      const CPKCS11Object& back = *again->Objects().front();
      EXPECT_EQ(ValueOf(back, CKA_LABEL), label) << ToHex(entry);
      for (CK_ATTRIBUTE_TYPE type : d.written)
        EXPECT_EQ(ToHex(ValueOf(back, type)), ToHex(ValueOf(object, type)))
            << "attribute " << std::hex << type << " of " << ToHex(entry);
      for (CK_ATTRIBUTE_TYPE type : {CKA_PRIVATE, CKA_MODIFIABLE})
        EXPECT_EQ(back.IsTrue(type), object.IsTrue(type)) << ToHex(entry);
      EXPECT_EQ(back.Path(), object.Path()) << ToHex(entry);
      EXPECT_EQ(back.Index(), object.Index()) << ToHex(entry);
      EXPECT_EQ(back.Length(), object.Length()) << ToHex(entry);
      if (const auto* k = dynamic_cast<const CPKCS11KeyObject*>(&object)) {
        const auto& kb = dynamic_cast<const CPKCS11KeyObject&>(back);
        EXPECT_EQ(kb.KeyReference(), k->KeyReference()) << ToHex(entry);
        EXPECT_EQ(kb.ModulusBits(), k->ModulusBits()) << ToHex(entry);
      }
    }
    // The corpus holds entries of both outcomes.
    EXPECT_GT(readable, refused) << std::hex << d.fileId;
    std::printf("%04X: %zu readable entries, %zu refused on writing\n", d.fileId, readable, refused);
  }
}

// Unused-space records as the cards hold them, and damaged: the walk never
// fails, and a file that read writes back the same records.
TEST(writeback, UnusedSpaceRecordsWriteBackAsRead) {
  std::size_t readable = 0;
  for (const Bytes& record : Corpus(kUnusedSpaceFileId)) {
    (void)WalkRecord(record);
    Bytes content = record;
    content.resize(record.size() + 16, 0x00);
    FakeCard card(kUnusedSpaceFileId, content);
    CP15EFUS efus;
    if (RaisedBy([&] { efus.Read(card); }) != CKR_OK) continue;
    ++readable;
    const auto records = efus.Records();
    efus.Write(card);
    CP15EFUS again;
    again.Read(card);
    EXPECT_EQ(again.Records(), records) << ToHex(record);
  }
  EXPECT_GT(readable, 0u);
}

}  // namespace
}  // namespace zorbix::p15
