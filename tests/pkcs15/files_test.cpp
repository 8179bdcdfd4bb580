// PKCS#15 files against an in-memory card: element-by-element reading,
// writing with zero padding, TokenInfo and its CK_TOKEN_INFO.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fake_card.h"
#include "fixtures.h"
#include "hex.h"
#include "pkcs15/errors.h"
#include "pkcs15/p15files.h"
#include "tests/p11/raised.h"

namespace zorbix::p15 {
namespace {

using testing::FakeCard;
using testing::Hex;
using testing::RaisedBy;
using testing::ToHex;
namespace der = testing::der;

// A directory whose entries are raw elements, to drive the base read/write.
class TestDirectory : public CP15File {
 public:
  using CP15File::CP15File;
  bool Decode(std::span<const std::uint8_t> element) override {
    if (rejectTag && element.size() > 2 && element[2] == *rejectTag) return false;
    entries.emplace_back(element.begin(), element.end());
    return true;
  }
  std::vector<std::vector<std::uint8_t>> EncodeEntries() override {
    if (failEncode) Fail(CKR_DEVICE_ERROR);
    return entries;
  }
  std::vector<std::vector<std::uint8_t>> entries;
  std::optional<std::uint8_t> rejectTag;
  bool failEncode = false;
};

// A SEQUENCE of n bytes (n < 0x80) holding one OCTET STRING of fill bytes.
std::vector<std::uint8_t> Element(std::size_t n, std::uint8_t fill) {
  std::vector<std::uint8_t> e = {0x30, static_cast<std::uint8_t>(n - 2), 0x04,
                                 static_cast<std::uint8_t>(n - 4)};
  e.resize(n, fill);
  return e;
}

std::vector<std::uint8_t> Cat(const std::vector<std::vector<std::uint8_t>>& parts) {
  std::vector<std::uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

using Trace = std::vector<std::string>;

TEST(files, InitialState) {
  TestDirectory f(kPrKDFFileId);
  EXPECT_FALSE(f.Loaded());
  EXPECT_EQ(f.Size(), 0);
  EXPECT_EQ(f.StandardFormat(), 1);
  EXPECT_EQ(f.PathForm(), 2);
  EXPECT_TRUE(f.Objects().empty());
}

TEST(files, FileStartingWithZeroReadsAsEmpty) {
  FakeCard card(kCDFFileId, std::vector<std::uint8_t>(64, 0));
  TestDirectory f(kCDFFileId);
  f.Read(card);
  EXPECT_TRUE(f.Loaded());
  EXPECT_TRUE(f.entries.empty());
  EXPECT_EQ(f.Size(), 0);
  EXPECT_EQ(card.trace, (Trace{"select Master.File", "select 5015", "read 8400"}));
  EXPECT_FALSE(card.marked);
}

// Entries of 100, 120 and 80 bytes in 6004; 0x7E bytes fit one length byte,
// so the 120-byte one uses 81 LL.
std::vector<std::uint8_t> LongElement(std::size_t n, std::uint8_t fill) {
  std::vector<std::uint8_t> e = {0x30, 0x81, static_cast<std::uint8_t>(n - 3)};
  e.resize(n, fill);
  return e;
}

TEST(files, ReadsElementByElementFromTheFirstAccess) {
  const auto a = LongElement(100, 0x0A), b = LongElement(120, 0x0B), c = Element(80, 0x0C);
  FakeCard card(kCDFFileId, Cat({a, b, c, std::vector<std::uint8_t>(50, 0)}));
  TestDirectory f(kCDFFileId);
  f.Read(card);
  EXPECT_EQ(card.trace, (Trace{"select Master.File", "select 5015", "read 8400", "read 0064",
                               "read 00DC", "read 012C"}));
  ASSERT_EQ(f.entries.size(), 3u);
  EXPECT_EQ(f.entries[0], a);
  EXPECT_EQ(f.entries[1], b);
  EXPECT_EQ(f.entries[2], c);
  EXPECT_EQ(f.Size(), 300);
  EXPECT_TRUE(f.Loaded());
}

TEST(files, ReadEndsAtTheEndOfTheFile) {
  const auto a = Element(40, 0x0A);
  FakeCard card(kPrKDFFileId, a);  // no padding: the next offset is past the end
  TestDirectory f(kPrKDFFileId);
  f.Read(card);
  EXPECT_EQ(card.trace.back(), "read 0028");
  EXPECT_EQ(f.entries.size(), 1u);
  EXPECT_EQ(f.Size(), 40);
}

TEST(files, ShrinkingWriteIsFollowedByZeros) {
  const auto a = LongElement(100, 0x0A), b = LongElement(120, 0x0B), c = Element(80, 0x0C);
  FakeCard card(kCDFFileId, Cat({a, b, c, std::vector<std::uint8_t>(50, 0)}));
  TestDirectory f(kCDFFileId);
  f.Read(card);
  card.trace.clear();

  f.entries.erase(f.entries.begin() + 1);
  f.Write(card);
  EXPECT_EQ(card.trace, (Trace{"select Master.File", "select 5015", "write 8400 100",
                               "write 0064 80", "update 00B4 120 zeros"}));
  EXPECT_EQ(f.Size(), 300);  // the largest extent stays
  EXPECT_TRUE(f.Loaded());
  EXPECT_EQ(card.content(), Cat({a, c, std::vector<std::uint8_t>(170, 0)}));

  // What is left on the card reads back as the two entries.
  TestDirectory again(kCDFFileId);
  again.Read(card);
  ASSERT_EQ(again.entries.size(), 2u);
  EXPECT_EQ(again.Size(), 180);
}

TEST(files, GrowingWriteTakesTheNewSize) {
  FakeCard card(kPuKDFFileId, std::vector<std::uint8_t>(16, 0));
  TestDirectory f(kPuKDFFileId);
  f.Read(card);
  f.entries = {Element(30, 1), Element(20, 2)};
  card.trace.clear();
  f.Write(card);
  EXPECT_EQ(card.trace,
            (Trace{"select Master.File", "select 5015", "write 8200 30", "write 001E 20"}));
  EXPECT_EQ(f.Size(), 50);
}

TEST(files, EmptyDirectoryOfSizeZeroWritesNothing) {
  FakeCard card(kDODFFileId, {});
  TestDirectory f(kDODFFileId);
  f.Write(card);
  EXPECT_EQ(card.trace, (Trace{"select Master.File", "select 5015"}));
  EXPECT_TRUE(f.Loaded());
}

TEST(files, EmptiedDirectoryIsZeroedFromTheFirstAccess) {
  FakeCard card(kDODFFileId, Element(30, 7));
  TestDirectory f(kDODFFileId);
  f.Read(card);
  f.entries.clear();
  card.trace.clear();
  f.Write(card);
  EXPECT_EQ(card.trace, (Trace{"select Master.File", "select 5015", "update 8500 30 zeros"}));
  EXPECT_EQ(f.Size(), 30);
}

TEST(files, UndecodableElementFailsTheReadAndMarksTheToken) {
  FakeCard card(kPrKDFFileId, Cat({Element(20, 1), Element(20, 2), Element(20, 3)}));
  TestDirectory f(kPrKDFFileId);
  f.rejectTag = 0x04;  // the first element already
  EXPECT_EQ(RaisedBy([&] { f.Read(card); }), static_cast<CK_RV>(CKR_DEVICE_ERROR));
  EXPECT_TRUE(card.marked);
  EXPECT_FALSE(f.Loaded());

  // The entries decoded before the bad one stay.
  FakeCard card2(kPrKDFFileId, Cat({Element(20, 1), Hex("30 03 05 01 00"), Element(20, 3)}));
  TestDirectory g(kPrKDFFileId);
  g.rejectTag = 0x05;
  EXPECT_EQ(RaisedBy([&] { g.Read(card2); }), static_cast<CK_RV>(CKR_DEVICE_ERROR));
  EXPECT_EQ(g.entries.size(), 1u);
  EXPECT_FALSE(g.Loaded());
}

TEST(files, CardErrorDuringReadIsPassedOnAndMarksTheToken) {
  FakeCard card(kCDFFileId, Cat({Element(20, 1), Element(20, 2)}));
  card.failReadAt = 0x0014;
  card.failRv = 0x80106A82;
  TestDirectory f(kCDFFileId);
  EXPECT_EQ(RaisedBy([&] { f.Read(card); }), static_cast<CK_RV>(0x80106A82));
  EXPECT_TRUE(card.marked);
  EXPECT_FALSE(f.Loaded());
  EXPECT_EQ(f.entries.size(), 1u);
}

TEST(files, EncodingFailureTouchesNothing) {
  FakeCard card(kCDFFileId, Element(20, 1));
  TestDirectory f(kCDFFileId);
  f.Read(card);
  card.trace.clear();
  f.failEncode = true;
  EXPECT_EQ(RaisedBy([&] { f.Write(card); }), static_cast<CK_RV>(CKR_DEVICE_ERROR));
  EXPECT_TRUE(card.trace.empty());
  EXPECT_EQ(card.content(), Element(20, 1));

  // Content reaching offset 8000 would be addressed as a short file
  // identifier: refused before anything is written.
  f.failEncode = false;
  f.entries.assign(0x8000 / 0x40 + 1, Element(0x40, 9));
  EXPECT_EQ(RaisedBy([&] { f.Write(card); }), static_cast<CK_RV>(CKR_DEVICE_ERROR));
  EXPECT_TRUE(card.trace.empty());
}

TEST(files, FailedWriteStillGetsItsElementsClearedLater) {
  FakeCard card(kPrKDFFileId, {});
  card.capacity = 50;
  TestDirectory f(kPrKDFFileId);
  f.entries = {Element(30, 1), Element(30, 2)};  // the second does not fit
  EXPECT_EQ(RaisedBy([&] { f.Write(card); }), static_cast<CK_RV>(CKR_DATA_INVALID));
  EXPECT_FALSE(f.Loaded());

  card.trace.clear();
  f.entries = {Element(20, 3)};
  f.Write(card);
  EXPECT_EQ(card.trace, (Trace{"select Master.File", "select 5015", "write 8100 20",
                               "update 0014 10 zeros"}));
  EXPECT_EQ(card.content(), Cat({Element(20, 3), std::vector<std::uint8_t>(10, 0)}));
}

// ---------------------------------------------------------------------------
// TokenInfo

std::string Field(const CK_UTF8CHAR* p, std::size_t n) { return {reinterpret_cast<const char*>(p), n}; }

std::string Padded(const std::string& s, std::size_t n) { return s + std::string(n - s.size(), ' '); }

TEST(files, TokenInfoBothFormsFillTheSameTokenInfo) {
  for (const auto& hex : {der::kTokenInfoUtf8, der::kTokenInfoT61}) {
    CP15TokenInfo ti;
    ASSERT_TRUE(ti.Decode(Hex(hex)));
    CK_TOKEN_INFO info;
    std::memset(&info, 0xA5, sizeof info);
    ASSERT_TRUE(ti.FillTokenInfo(&info));
    EXPECT_EQ(Field(info.label, 32), Padded("Label", 32));
    EXPECT_EQ(Field(info.manufacturerID, 32), Padded("ORVA", 32));
    EXPECT_EQ(Field(info.model, 16), std::string(16, ' '));
    EXPECT_EQ(Field(info.serialNumber, 16), Padded("1234AB", 16));
    // 0x408 + loginRequired (bit 1) + prnGeneration (bit 2)
    EXPECT_EQ(info.flags, 0x408u | CKF_LOGIN_REQUIRED | CKF_RNG);
    EXPECT_EQ(info.ulMaxPinLen, 16u);
    EXPECT_EQ(info.ulMinPinLen, 4u);
    EXPECT_EQ(info.ulMaxSessionCount, 0u);
    EXPECT_EQ(info.ulRwSessionCount, 0u);
    EXPECT_EQ(info.ulTotalPublicMemory, 0u);
    EXPECT_EQ(info.ulFreePrivateMemory, 0u);
    EXPECT_EQ(info.hardwareVersion.major, 1);
    EXPECT_EQ(info.hardwareVersion.minor, 0);
    EXPECT_EQ(info.firmwareVersion.major, 0);
    EXPECT_EQ(info.utcTime[0], 0xA5);  // not written
  }
}

std::string TokenInfoHex(const std::string& serial, const std::string& label,
                         const std::string& flags) {
  const auto s = Hex(serial);
  const auto l = testing::TextBytes(label);
  const auto f = Hex(flags);
  std::vector<std::uint8_t> body = {0x02, 0x01, 0x03, 0x04, static_cast<std::uint8_t>(s.size())};
  body.insert(body.end(), s.begin(), s.end());
  for (auto b : Hex("0C 04 4F 52 56 41")) body.push_back(b);
  body.push_back(0x80);
  body.push_back(static_cast<std::uint8_t>(l.size()));
  body.insert(body.end(), l.begin(), l.end());
  body.push_back(0x03);
  body.push_back(static_cast<std::uint8_t>(f.size()));
  body.insert(body.end(), f.begin(), f.end());
  std::vector<std::uint8_t> e = {0x30, static_cast<std::uint8_t>(body.size())};
  e.insert(e.end(), body.begin(), body.end());
  return ToHex(e);
}

TEST(files, TokenFlagsToTokenInfoFlags) {
  struct Case {
    const char* tokenflags;
    CK_FLAGS flags;
  };
  const std::vector<Case> cases = {
      {"06 40", 0x40C}, {"07 80", 0x40A}, {"05 E0", 0x40F}, {"03 10", 0x408},
      {"00", 0x408},  // no bit bytes
      {"00 00 E0", 0x408},  // only the first byte counts
  };
  for (const auto& c : cases) {
    CP15TokenInfo ti;
    ASSERT_TRUE(ti.Decode(Hex(TokenInfoHex("01", "L", c.tokenflags)))) << c.tokenflags;
    CK_TOKEN_INFO info{};
    ASSERT_TRUE(ti.FillTokenInfo(&info));
    EXPECT_EQ(info.flags, c.flags) << c.tokenflags;
    EXPECT_EQ(info.hardwareVersion.major, 3);
  }
}

TEST(files, LongValuesAreCutAtTheFieldWidth) {
  CP15TokenInfo ti;
  const std::string label(40, 'x');
  ASSERT_TRUE(ti.Decode(Hex(TokenInfoHex("01 23 45 67 89 AB CD EF 99", label, "06 40"))));
  CK_TOKEN_INFO info{};
  ASSERT_TRUE(ti.FillTokenInfo(&info));
  EXPECT_EQ(Field(info.serialNumber, 16), "0123456789ABCDEF");
  EXPECT_EQ(Field(info.label, 32), std::string(32, 'x'));
  EXPECT_EQ(Field(info.manufacturerID, 32), Padded("ORVA", 32));
  EXPECT_EQ(Field(info.model, 16), std::string(16, ' '));

  ASSERT_TRUE(ti.Decode(Hex(TokenInfoHex("01 23 45 67 89 AB CD EF", "L", "06 40"))));
  ASSERT_TRUE(ti.FillTokenInfo(&info));
  EXPECT_EQ(Field(info.serialNumber, 16), "0123456789ABCDEF");
}

// The label and manufacturer land in CK_UTF8CHAR fields: T.61 text is
// converted, UTF-8 kept, invalid UTF-8 read as Latin-1, and a cut never
// splits a character.
TEST(files, TokenInfoTextsBecomeValidUtf8) {
  struct Case {
    const char* what;
    std::string element;
    std::string label;
    std::string manufacturer;
  };
  const std::vector<Case> cases = {
      {"T.61 form", "30 13  02 01 01  04 01 01  14 01 D1  14 04 45 73 70 F1  03 02 05 60",
       "Esp\xC3\xB1", "\xC3\x91"},
      {"UTF-8 form", TokenInfoHex("01", "Esp\xC3\xB1", "05 60"), "Esp\xC3\xB1", "ORVA"},
      {"Latin-1 bytes in a UTF8String", TokenInfoHex("01", "Esp\xF1", "05 60"), "Esp\xC3\xB1", "ORVA"},
      {"a character that would pass the field", TokenInfoHex("01", std::string(31, 'A') + "\xC3\xB1", "05 60"),
       std::string(31, 'A'), "ORVA"},
  };
  for (const auto& c : cases) {
    CP15TokenInfo ti;
    ASSERT_TRUE(ti.Decode(Hex(c.element))) << c.what;
    CK_TOKEN_INFO info{};
    ASSERT_TRUE(ti.FillTokenInfo(&info));
    EXPECT_EQ(Field(info.label, 32), Padded(c.label, 32)) << c.what;
    EXPECT_EQ(Field(info.manufacturerID, 32), Padded(c.manufacturer, 32)) << c.what;
  }
}

TEST(files, NoTokenInfoLeavesTheDefaults) {
  CP15TokenInfo ti;
  CK_TOKEN_INFO info;
  std::memset(&info, 0xA5, sizeof info);
  EXPECT_FALSE(ti.FillTokenInfo(&info));
  EXPECT_EQ(Field(info.label, 32), std::string(32, ' '));
  EXPECT_EQ(info.flags, 0u);
  EXPECT_EQ(info.ulMaxPinLen, 16u);

  ASSERT_TRUE(ti.Decode(Hex(der::kTokenInfoUtf8)));
  EXPECT_FALSE(ti.Decode(Hex(der::kCommonCert)));  // a failed decode drops the old value
  EXPECT_FALSE(ti.FillTokenInfo(&info));
}

TEST(files, TokenInfoFileReadKeepsTheValue) {
  FakeCard card(kTokenInfoFileId,
                Cat({Hex(der::kTokenInfoT61), std::vector<std::uint8_t>(8, 0)}));
  CP15TokenInfo ti;
  ti.Read(card);
  EXPECT_EQ(card.trace, (Trace{"select Master.File", "select 5015", "read 9200", "read 001B"}));
  EXPECT_TRUE(ti.Loaded());
  ASSERT_NE(ti.Value(), nullptr);
  EXPECT_EQ(ToHex(asn1::Bytes(ti.Value()->label)), "4C 61 62 65 6C");
  EXPECT_EQ(ToHex(asn1::Bytes(ti.Value()->tokenflags)), "05 60");

  ti.Unload();
  EXPECT_FALSE(ti.Loaded());
  CK_TOKEN_INFO info{};
  EXPECT_FALSE(ti.FillTokenInfo(&info));
}

}  // namespace
}  // namespace zorbix::p15
