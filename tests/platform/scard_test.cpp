// The attribute fallback, the installed-instance guard and multi-strings.
#include "platform/scard.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/fake_scard.h"

namespace zorbix::platform {
namespace {

using testing::Bytes;
using testing::FakeScard;

const Bytes kAtr = {0x3B, 0x7F, 0x38, 0x00, 0x00, 0x00, 0x6A, 0x4F, 0x52, 0x56,
                    0x41, 0x03, 0x02, 0xAC, 0x14, 0x04, 0x10, 0x03, 0x90, 0x00};
const std::string kReader = "ACME Reader 00 00";

class AttribTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake.AddReader(kReader);
    fake.InsertCard(kReader, kAtr);
    ASSERT_EQ(fake.EstablishContext(SCARD_SCOPE_USER, &ctx), SCARD_S_SUCCESS);
    DWORD proto = 0;
    ASSERT_EQ(fake.Connect(ctx, kReader.c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0, &card,
                           &proto),
              SCARD_S_SUCCESS);
  }
  Bytes Read(DWORD attr, LONG* rv) {
    BYTE buf[100];
    DWORD len = sizeof(buf);
    *rv = fake.GetAttrib(card, attr, buf, &len);
    return *rv == SCARD_S_SUCCESS ? Bytes(buf, buf + len) : Bytes{};
  }

  FakeScard fake;
  SCARDCONTEXT ctx = 0;
  SCARDHANDLE card = 0;
};

Bytes NameBytes(const std::string& s) {
  Bytes b(s.begin(), s.end());
  b.push_back(0);
  return b;
}

TEST_F(AttribTest, DriverWithoutAttributesIsAnsweredFromStatus) {
  LONG rv;
  EXPECT_EQ(Read(kAttrAtrString, &rv), kAtr);
  EXPECT_EQ(rv, SCARD_S_SUCCESS);
  EXPECT_EQ(Read(kAttrDeviceFriendlyNameA, &rv), NameBytes(kReader));
  EXPECT_EQ(rv, SCARD_S_SUCCESS);
}

TEST_F(AttribTest, DriverAnswerIsPreferred) {
  fake.AnswerStandardAttributes(kReader, "Friendly ACME");
  LONG rv;
  EXPECT_EQ(Read(kAttrDeviceFriendlyNameA, &rv), NameBytes("Friendly ACME"));
  EXPECT_EQ(Read(kAttrAtrString, &rv), kAtr);
  EXPECT_EQ(fake.Count("Status"), 0u);
}

TEST_F(AttribTest, OtherAttributesHaveNoFallback) {
  LONG rv;
  Read(0x00010100, &rv);  // vendor name
  EXPECT_EQ(rv, SCARD_E_UNSUPPORTED_FEATURE);
  EXPECT_EQ(fake.Count("Status"), 0u);
}

TEST_F(AttribTest, FallbackKeepsSizeQueryAndShortBufferConventions) {
  for (DWORD attr : {kAttrAtrString, kAttrDeviceFriendlyNameA}) {
    SCOPED_TRACE(attr);
    const DWORD expected =
        attr == kAttrAtrString ? DWORD(kAtr.size()) : DWORD(kReader.size() + 1);
    DWORD len = 0;
    EXPECT_EQ(fake.GetAttrib(card, attr, nullptr, &len), SCARD_S_SUCCESS);
    EXPECT_EQ(len, expected);

    BYTE small[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    len = sizeof(small);
    EXPECT_EQ(fake.GetAttrib(card, attr, small, &len), SCARD_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(len, expected);
    EXPECT_EQ(small[0], 0xEE);

    BYTE* block = nullptr;
    len = SCARD_AUTOALLOCATE;
    ASSERT_EQ(fake.GetAttrib(card, attr, reinterpret_cast<BYTE*>(&block), &len), SCARD_S_SUCCESS);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(len, expected);
    if (attr == kAttrAtrString) EXPECT_EQ(Bytes(block, block + len), kAtr);
    else EXPECT_EQ(std::string(reinterpret_cast<char*>(block)), kReader);
    EXPECT_EQ(fake.FreeMemory(ctx, block), SCARD_S_SUCCESS);
  }
  EXPECT_EQ(fake.OutstandingAllocations(), 0u);
}

TEST_F(AttribTest, ShortBufferAnswerBackedBySizeQueryStands) {
  const std::string longName(150, 'N');
  fake.AnswerStandardAttributes(kReader, longName);
  BYTE buf[100];
  DWORD len = sizeof(buf);
  EXPECT_EQ(fake.GetAttrib(card, kAttrDeviceFriendlyNameA, buf, &len),
            SCARD_E_INSUFFICIENT_BUFFER);
  EXPECT_EQ(len, longName.size() + 1);
  EXPECT_EQ(fake.Count("Status"), 0u);
}

TEST_F(AttribTest, ShortBufferClaimWithoutSizeFallsBack) {
  // What vpcd does for the friendly name: "insufficient buffer" to any size.
  fake.SetAttributeFailure(kReader, kAttrDeviceFriendlyNameA, SCARD_E_INSUFFICIENT_BUFFER);
  LONG rv;
  EXPECT_EQ(Read(kAttrDeviceFriendlyNameA, &rv), NameBytes(kReader));
  EXPECT_EQ(rv, SCARD_S_SUCCESS);
}

TEST_F(AttribTest, RemovedCardFailsTheFallbackToo) {
  fake.RemoveCard(kReader);
  LONG rv;
  Read(kAttrAtrString, &rv);
  EXPECT_EQ(rv, SCARD_W_REMOVED_CARD);
  Read(kAttrDeviceFriendlyNameA, &rv);
  EXPECT_EQ(rv, SCARD_W_REMOVED_CARD);
}

TEST(ScopedScardApi, InstallsAndRestores) {
  ScardApi* original = &Scard();
  FakeScard outer, inner;
  {
    ScopedScardApi a(&outer);
    EXPECT_EQ(&Scard(), &outer);
    {
      ScopedScardApi b(&inner);
      EXPECT_EQ(&Scard(), &inner);
    }
    EXPECT_EQ(&Scard(), &outer);
  }
  EXPECT_EQ(&Scard(), original);
}

TEST(SplitMultiString, Cases) {
  struct Case {
    std::string block;
    std::vector<std::string> names;
  };
  const Case cases[] = {
      {std::string("A\0B c\0\0", 7), {"A", "B c"}},
      {std::string("\0\0", 2), {}},
      {std::string("", 0), {}},
      {std::string("only\0", 5), {"only"}},
      // No terminator at all: the name still ends at the block's end.
      {std::string("cut", 3), {"cut"}},
      // The list ends at the first empty name.
      {std::string("A\0\0B\0\0", 6), {"A"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SplitMultiString(c.block.data(), c.block.size()), c.names);
  }
  EXPECT_TRUE(SplitMultiString(nullptr, 10).empty());
}

}  // namespace
}  // namespace zorbix::platform

namespace zorbix::platform {
namespace {

TEST(ScardErrorName, NamesAndUnknownValues) {
  EXPECT_EQ(ScardErrorName(SCARD_S_SUCCESS), "SCARD_S_SUCCESS");
  EXPECT_EQ(ScardErrorName(SCARD_E_NO_SMARTCARD), "SCARD_E_NO_SMARTCARD");
  EXPECT_EQ(ScardErrorName(SCARD_W_REMOVED_CARD), "SCARD_W_REMOVED_CARD");
  EXPECT_EQ(ScardErrorName(0x8010001F), "SCARD_E_UNSUPPORTED_FEATURE");
  EXPECT_EQ(ScardErrorName(static_cast<LONG>(0x80100099)), "0x80100099");
}

}  // namespace
}  // namespace zorbix::platform
