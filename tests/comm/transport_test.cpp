// The transport against an APDU trace of the fake PC/SC: status words, GET
// RESPONSE, envelopes, selections, chunked reads and writes, DER elements,
// compressed files, file creation, transactions and the communicator's
// connection.
#include <gtest/gtest.h>

#include "comm/crypto.h"
#include "comm/fileaccess.h"
#include "pkcs15/p15files.h"
#include "tests/comm/comm_fixture.h"
#include "tests/pkcs15/fixtures.h"

namespace zorbix::commtest {
namespace {

using comm::CCommunicator;

const Bytes kMasterFile = {'M', 'a', 's', 't', 'e', 'r', '.', 'F', 'i', 'l', 'e'};
const Bytes kSelectMf = Cat({H("00 A4 04 00 0B"), kMasterFile});

// ---------------------------------------------------------------- status words

struct ExpectationCase {
  std::uint16_t expected;
  std::uint16_t answered;
  CK_RV raised;
};

TEST_F(CommTest, TransmitApduAcceptsWhatItExpects) {
  const ExpectationCase cases[] = {
      {0x6100, 0x6100, CKR_OK},       {0x6100, 0x61FF, CKR_OK},
      {0x9000, 0x6100, 0x80106100UL}, {0x6100, 0x9000, 0x80109000UL},
      {0x0000, 0x6A82, CKR_OK},       {0x9000, 0x9000, CKR_OK},
      {0x6982, 0x6982, CKR_OK},       {0x9000, 0x6982, 0x80106982UL},
  };
  auto c = Comm();
  for (const auto& k : cases) {
    card_ = [&](const Bytes&) { return Cat({H("AA BB"), Sw(k.answered)}); };
    Bytes response;
    std::uint16_t sw = 0;
    EXPECT_EQ(RaisedBy([&] { sw = c->TransmitApdu(H("00 B0 00 00 02"), response, k.expected); }),
              k.raised)
        << std::hex << k.expected << " / " << k.answered;
    EXPECT_EQ(c->LastStatus(), k.answered);
    EXPECT_EQ(response, H("AA BB")) << "the status word stays out of the response";
    if (k.raised == CKR_OK) {
      EXPECT_EQ(sw, k.answered);
    }
  }
}

TEST_F(CommTest, AnswerShorterThanAStatusWordIsADeviceError) {
  auto c = Comm();
  card_ = [](const Bytes&) { return H("90"); };
  Bytes response;
  EXPECT_EQ(RaisedBy([&] { c->TransmitApdu(H("00 B0 00 00 02"), response, 0); }), CKR_DEVICE_ERROR);
}

TEST_F(CommTest, StatusWordsPrintWithTheirMeaning) {
  EXPECT_EQ(comm::to_string(comm::StatusWord{0x6982}), "6982 (security status not satisfied)");
  EXPECT_EQ(comm::to_string(comm::StatusWord{0x6110}), "6110 (response bytes available)");
  EXPECT_EQ(comm::to_string(comm::StatusWord{0x1234}), "1234");
  EXPECT_EQ(comm::CardStatusValue(0x6982), 0x80106982UL);
  EXPECT_EQ(comm::StatusWordOf(0x80106982UL), 0x6982);
}

// ---------------------------------------------------------------- GET RESPONSE

TEST_F(CommTest, SelectionAnswered6108CollectsTheAnswer) {
  card_ = FakeScard::Scripted({{kSelectMf, H("61 08")},
                               {H("00 C0 00 00 08"), H("84 06 01 02 03 04 05 06 90 00")}});
  auto c = Comm();
  c->SelectName("Master.File");
  EXPECT_EQ(c->LastResponse(), H("84 06 01 02 03 04 05 06"));
  EXPECT_EQ(Sent().size(), 2u);
}

TEST_F(CommTest, GetResponseFollowsEveryAnnouncement) {
  card_ = FakeScard::Scripted({{H("00 A4 00 00 02 50 15"), H("61 03")},
                               {H("00 C0 00 00 03"), H("01 02 03 61 02")},
                               {H("00 C0 00 00 02"), H("04 05 90 00")}});
  auto c = Comm();
  c->SelectId(0x5015);
  EXPECT_EQ(c->LastResponse(), H("01 02 03 04 05"));
}

struct SelectFailureCase {
  const char* what;
  std::vector<std::pair<Bytes, Bytes>> script;
  CK_RV raised;
};

// The selection's own refusal is a device error; a refused GET RESPONSE
// after it gives the card's status value.
TEST_F(CommTest, SelectionsEndingInAnythingButSuccessFail) {
  const Bytes kSelect5015 = H("00 A4 00 00 02 50 15");
  const SelectFailureCase cases[] = {
      {"file not found", {{kSelect5015, H("6A 82")}}, CKR_DEVICE_ERROR},
      {"warning", {{kSelect5015, H("62 83")}}, CKR_DEVICE_ERROR},
      {"GET RESPONSE refused with 6C04",
       {{kSelect5015, H("61 08")}, {H("00 C0 00 00 08"), H("6C 04")}},
       0x80106C04UL},
      {"GET RESPONSE says file not found",
       {{kSelect5015, H("61 08")}, {H("00 C0 00 00 08"), H("6A 82")}},
       0x80106A82UL},
  };
  for (const auto& k : cases) {
    card_ = FakeScard::Scripted(k.script);
    auto c = Comm();
    EXPECT_EQ(RaisedBy([&] { c->SelectId(0x5015); }), k.raised) << k.what;
  }
}

TEST_F(CommTest, GetResponseOutsideASelectionRaisesTheCardStatus) {
  card_ = FakeScard::Scripted({{H("90 74 40 01 01 AA"), H("61 10")},
                               {H("00 C0 00 00 10"), H("01 02 69 85")}});
  auto c = Comm();
  Bytes response;
  EXPECT_EQ(c->TransmitApdu(H("90 74 40 01 01 AA"), response, comm::kSwAny61), 0x6110);
  EXPECT_EQ(RaisedBy([&] { c->GetResponse(response); }), 0x80106985UL);
}

TEST_F(CommTest, ACardThatKeepsAnnouncingDataIsCutOff) {
  card_ = [](const Bytes& cmd) {
    return cmd[1] == 0xC0 ? Cat({Bytes(16, 0xEE), H("61 10")}) : H("61 10");
  };
  auto c = Comm();
  EXPECT_EQ(RaisedBy([&] { c->SelectId(0x5015); }), CKR_DEVICE_ERROR);
  EXPECT_LT(Sent().size(), 200u);
}

// ---------------------------------------------------------------- envelopes

TEST_F(CommTest, LongCommandGoesOutInTwoEnvelopes) {
  const Bytes data = Counting(300);
  const Bytes header = H("90 58 00 00");
  const Bytes extended = Cat({header, H("00 01 2C"), data});  // 307 bytes
  ASSERT_EQ(extended.size(), 307u);
  card_ = FakeScard::Scripted({
      {Cat({H("90 C2 00 00 FA"), Bytes(extended.begin(), extended.begin() + 250)}), H("90 00")},
      {Cat({H("90 C2 00 00 39"), Bytes(extended.begin() + 250, extended.end())}), H("CA FE 90 00")},
  });
  auto c = Comm();
  Bytes response;
  c->SendCommand(header, data, response, 0x9000);
  EXPECT_EQ(response, H("CA FE"));
  EXPECT_EQ(Sent().size(), 2u);
}

struct CommandSizeCase {
  std::size_t dataLength;
  std::vector<std::size_t> sentLengths;  // empty: refused
};

TEST_F(CommTest, CommandSizesChooseShortEnvelopesOrRefusal) {
  const CommandSizeCase cases[] = {
      {249, {254}},            // short APDU, Lc F9
      {250, {255, 12}},        // 257-byte extended APDU: 250 + 7
      {492, {255, 254}},       // 499 bytes: 250 + 249
      {493, {}},               // 500 bytes would not fit two envelopes
      {1000, {}},
  };
  auto c = Comm();
  for (const auto& k : cases) {
    fake_.ClearApdus();
    card_ = [](const Bytes&) { return Sw(0x9000); };
    Bytes response;
    const CK_RV rv = RaisedBy([&] { c->SendCommand(H("90 58 00 00"), Bytes(k.dataLength, 0x5A), response, 0x9000); });
    std::vector<std::size_t> lengths;
    for (const Bytes& s : Sent()) lengths.push_back(s.size());
    EXPECT_EQ(lengths, k.sentLengths) << k.dataLength;
    EXPECT_EQ(rv, k.sentLengths.empty() ? CKR_DATA_LEN_RANGE : CKR_OK) << k.dataLength;
  }
}

TEST_F(CommTest, RefusedFirstEnvelopeStopsTheCommand) {
  card_ = [](const Bytes&) { return Sw(0x6700); };
  auto c = Comm();
  Bytes response;
  EXPECT_EQ(RaisedBy([&] { c->SendCommand(H("90 58 00 00"), Bytes(300, 1), response, 0x9000); }),
            0x80106700UL);
  EXPECT_EQ(Sent().size(), 1u);
}

TEST_F(CommTest, ClosedChannelVexaGoesExtendedFrom231Bytes) {
  auto c = Comm(1);
  ASSERT_NE(dynamic_cast<comm::CComm_Vexa*>(c.get()), nullptr);
  Bytes response;
  c->SendCommand(H("90 58 00 00"), Bytes(230, 1), response, 0x9000);
  ASSERT_EQ(Sent().size(), 1u);
  EXPECT_EQ(Sent()[0].size(), 235u);
  fake_.ClearApdus();
  c->SendCommand(H("90 58 00 00"), Bytes(231, 1), response, 0x9000);
  const auto sent = Sent();
  ASSERT_EQ(sent.size(), 1u);  // 238 bytes fit one envelope
  EXPECT_EQ(Bytes(sent[0].begin(), sent[0].begin() + 12), H("90 C2 00 00 EE 90 58 00 00 00 00 E7"));
}

// ---------------------------------------------------------------- selections

struct SizeCase {
  const char* what;
  Bytes answer;
  CK_RV raised;
  std::uint16_t size;
};

TEST_F(CommTest, SelectIdSizeReadsTheSizeWhereTheAnswerHoldsIt) {
  const SizeCase cases[] = {
      // 84 05 name: bytes 14 and 15
      {"named DF", H("84 05 41 42 43 44 45 85 07 38 50 15 00 00 01 2C 90 00"), CKR_OK, 0x012C},
      {"EF", H("6F 0A 85 08 01 50 32 00 80 00 11 12 90 00"), CKR_OK, 0x0080},
      {"EF answer cut short", H("6F 0A 85 08 01 50 32 00 90 00"), CKR_DEVICE_ERROR, 0},
      {"named DF cut short", H("84 05 41 42 43 44 45 85 07 38 50 15 00 00 01 90 00"),
       CKR_DEVICE_ERROR, 0},
  };
  for (const auto& k : cases) {
    card_ = [&](const Bytes&) { return k.answer; };
    auto c = Comm();
    std::uint16_t size = 0;
    EXPECT_EQ(RaisedBy([&] { size = c->SelectIdSize(0x5015); }), k.raised) << k.what;
    EXPECT_EQ(size, k.size) << k.what;
  }
}

TEST_F(CommTest, SelectPathStartsAtTheMasterFile) {
  card_ = [](const Bytes& cmd) {
    return cmd[2] == 0x04 ? Sw(0x9000) : H("6F 0A 85 08 01 00 01 02 58 00 00 00 90 00");
  };
  auto c = Comm();
  EXPECT_EQ(c->SelectPathSize(H("60 61 00 01")), 0x0258);
  EXPECT_EQ(Sent(), (std::vector<Bytes>{kSelectMf, H("00 A4 00 00 02 60 61"), H("00 A4 00 00 02 00 01")}));
  EXPECT_EQ(RaisedBy([&] { c->SelectPath(H("60 61 00")); }), CKR_DEVICE_ERROR);
}

// ---------------------------------------------------------------- READ BINARY

struct ReadCase {
  const char* what;
  std::size_t fileSize;
  std::uint16_t offset;
  std::size_t count;
  std::vector<Bytes> reads;  // P1 P2 Le of each command
  std::size_t outSize;
};

TEST_F(CommTest, ReadBinaryAtReadsInChunksUntilCountOrEnd) {
  const ReadCase cases[] = {
      {"600 bytes", 600, 0x0000, 600, {H("00 00 FA"), H("00 FA FA"), H("01 F4 64")}, 600},
      {"short chunk ends the read", 450, 0x0000, 600, {H("00 00 FA"), H("00 FA FA")}, 450},
      {"short first chunk", 200, 0x0000, 600, {H("00 00 FA")}, 200},
      {"from an offset", 600, 0x0010, 260, {H("00 10 FA"), H("01 0A 0A")}, 260},
      // The first command selects the EF by short identifier; the rest go on
      // from its position with plain offsets.
      {"short identifier", 600, 0x8110, 300, {H("81 10 FA"), H("01 0A 32")}, 300},
      {"nothing asked", 600, 0x0000, 0, {}, 0},
  };
  for (const auto& k : cases) {
    FileCard file{Counting(k.fileSize)};
    card_ = std::ref(file);
    auto c = Comm();
    Bytes out;
    c->ReadBinaryAt(out, k.offset, k.count);
    std::vector<Bytes> reads;
    for (const Bytes& s : Sent()) {
      EXPECT_EQ(Bytes(s.begin(), s.begin() + 2), H("00 B0")) << k.what;
      reads.push_back(Bytes(s.begin() + 2, s.end()));
    }
    EXPECT_EQ(reads, k.reads) << k.what;
    const std::size_t start = k.offset & 0x8000 ? k.offset & 0xFF : k.offset;
    EXPECT_EQ(out, Bytes(file.file.begin() + static_cast<std::ptrdiff_t>(start),
                         file.file.begin() + static_cast<std::ptrdiff_t>(start + k.outSize)))
        << k.what;
  }
}

TEST_F(CommTest, ReadBinaryAtRaisesRefusals) {
  card_ = [](const Bytes&) { return Sw(0x6982); };
  auto c = Comm();
  Bytes out;
  EXPECT_EQ(RaisedBy([&] { c->ReadBinaryAt(out, 0, 10); }), 0x80106982UL);
}

// ---------------------------------------------------------------- DER elements

TEST_F(CommTest, ReadObjectReadsTheWholeElementInPieces) {
  // 300-byte element 30 82 01 28 ... followed by other bytes.
  const Bytes element = Cat({H("30 82 01 28"), Counting(296, 7)});
  FileCard file{Cat({element, H("30 03 02 01 05")})};
  card_ = std::ref(file);
  auto c = Comm();
  Bytes out;
  c->ReadObject(out, 0x8000);
  EXPECT_EQ(out, element);
  EXPECT_EQ(Sent(), (std::vector<Bytes>{H("00 B0 80 00 04"), H("00 B0 00 04 FA"), H("00 B0 00 FE 2E")}));
}

struct ObjectCase {
  const char* what;
  Bytes file;
  std::uint16_t offset;
  CK_RV raised;
  Bytes out;
};

TEST_F(CommTest, ReadObjectTellsWhereNoElementStartsAndKeepsCutOnes) {
  const ObjectCase cases[] = {
      {"SET instead of SEQUENCE", H("31 03 02 01 05 00"), 0, CKR_DATA_INVALID, {}},
      {"zero filling after the last element", H("30 03 02 01 05 00 00 00 00"), 5, CKR_DATA_INVALID, {}},
      {"offset past the end (6B00)", H("30 03 02 01 05"), 0x20, CKR_DATA_INVALID, {}},
      {"length form 83", H("30 83 00 00 05 00"), 0, CKR_DATA_INVALID, {}},
      // Cut short by the end of the file: what there is goes back, for the
      // decoder to refuse.
      {"file ends inside the element", H("30 10 02 01 05 00 00"), 0, CKR_OK, H("30 10 02 01 05 00 00")},
      {"file ends inside the length", H("30 82 01"), 0, CKR_OK, H("30 82 01")},
      {"file ends after the tag", H("30 03 02 01 05 30"), 5, CKR_OK, H("30")},
      {"file ends where a piece starts (6B00)", Cat({H("30 82 01 28"), Bytes(250, 0x22)}), 0, CKR_OK,
       Cat({H("30 82 01 28"), Bytes(250, 0x22)})},
      {"element shorter than the head read", H("30 01 05 30 00"), 0, CKR_OK, H("30 01 05")},
      {"one-byte length 80 means 128", Cat({H("30 80"), Bytes(128, 0x11)}), 0, CKR_OK,
       Cat({H("30 80"), Bytes(128, 0x11)})},
      {"two elements: the second", H("30 01 05 30 81 02 AA BB"), 3, CKR_OK, H("30 81 02 AA BB")},
  };
  for (const auto& k : cases) {
    FileCard file{k.file};
    card_ = std::ref(file);
    auto c = Comm();
    Bytes out;
    EXPECT_EQ(RaisedBy([&] { c->ReadObject(out, k.offset); }), k.raised) << k.what;
    if (k.raised == CKR_OK) {
      EXPECT_EQ(out, k.out) << k.what;
    }
  }
}

TEST_F(CommTest, ReadObjectPassesOtherRefusalsOn) {
  const std::pair<std::uint16_t, CK_RV> cases[] = {
      {0x6B00, CKR_DATA_INVALID}, {0x6C04, CKR_DATA_INVALID}, {0x6982, 0x80106982UL}, {0x6A82, 0x80106A82UL}};
  for (auto [sw, rv] : cases) {
    card_ = [sw = sw](const Bytes&) { return Sw(sw); };
    auto c = Comm();
    Bytes out;
    EXPECT_EQ(RaisedBy([&] { c->ReadObject(out, 0x8400); }), rv) << std::hex << sw;
  }
}

// Whatever a card file holds, the element reader returns one whole element
// or raises; it never reads outside what the card sent.
TEST_F(CommTest, ArbitraryFileContentsGiveAnElementOrAFailure) {
  auto c = Comm();
  for (int round = 0; round < 3000; ++round) {
    Bytes content = crypto::RandomBytes(1 + crypto::RandomBytes(1)[0] % 40);
    if (round % 2) content[0] = 0x30;
    if (round % 4 == 1 && content.size() > 1) content[1] = 0x81 + (content[1] & 1);
    FileCard file{content};
    card_ = std::ref(file);
    fake_.ClearApdus();
    Bytes out;
    const CK_RV rv = RaisedBy([&] { c->ReadObject(out, 0); });
    if (rv == CKR_OK) {
      ASSERT_LE(out.size(), content.size());
      ASSERT_TRUE(std::equal(out.begin(), out.end(), content.begin()));
      // A whole element, or one cut short by the end of the file.
      if (out.size() < content.size() && out.size() >= 4) {
        ASSERT_TRUE(comm::ParseTlvHeader(out).Total() == out.size() ||
                    comm::ParseTlvHeader(out).Total() > 0x8000);
      }
    } else {
      ASSERT_TRUE(rv == CKR_DATA_INVALID) << std::hex << rv;
    }
    Bytes value;
    const CK_RV compressed = RaisedBy([&] { c->ReadCompressed(H("60 61 00 01"), value); });
    ASSERT_TRUE(compressed == CKR_OK || compressed == CKR_DATA_INVALID) << std::hex << compressed;
  }
}

// ---------------------------------------------------------------- UPDATE BINARY

struct WriteCase {
  const char* what;
  std::uint16_t offset;
  std::size_t length;
  std::vector<Bytes> heads;  // P1 P2 Lc of each command
};

TEST_F(CommTest, UpdateBinaryAtWritesInChunksOf231) {
  const WriteCase cases[] = {
      {"500 bytes", 0x0000, 500, {H("00 00 E7"), H("00 E7 E7"), H("01 CE 26")}},
      {"short identifier", 0x8310, 300, {H("83 10 E7"), H("00 F7 45")}},
      {"exactly one chunk", 0x0100, 231, {H("01 00 E7")}},
      {"nothing", 0x0000, 0, {}},
  };
  for (const auto& k : cases) {
    FileCard file{Bytes(1024, 0)};
    card_ = std::ref(file);
    auto c = Comm();
    const Bytes data = Counting(k.length, 1);
    c->UpdateBinaryAt(k.offset, data);
    std::vector<Bytes> heads;
    for (const Bytes& s : Sent()) {
      EXPECT_EQ(Bytes(s.begin(), s.begin() + 2), H("00 D6")) << k.what;
      heads.push_back(Bytes(s.begin() + 2, s.begin() + 5));
    }
    EXPECT_EQ(heads, k.heads) << k.what;
    const std::size_t start = k.offset & 0x8000 ? k.offset & 0xFF : k.offset;
    EXPECT_EQ(Bytes(file.file.begin() + static_cast<std::ptrdiff_t>(start),
                    file.file.begin() + static_cast<std::ptrdiff_t>(start + k.length)),
              data)
        << k.what;
  }
}

TEST_F(CommTest, UpdateBinaryAtRefusesWritesPastThePlainOffsets) {
  auto c = Comm();
  EXPECT_EQ(RaisedBy([&] { c->UpdateBinaryAt(0x7F00, Bytes(0x101, 1)); }), CKR_DATA_LEN_RANGE);
  EXPECT_TRUE(Sent().empty());
  EXPECT_EQ(RaisedBy([&] { c->UpdateBinaryAt(0x7F00, Bytes(0x100, 1)); }), CKR_OK);
}

TEST_F(CommTest, WriteObjectTakesOneWholeElement) {
  const std::pair<Bytes, CK_RV> cases[] = {
      {H("30 03 02 01 05"), CKR_OK},
      {H("31 03 02 01 05"), CKR_DATA_INVALID},
      {H("30 04 02 01 05"), CKR_DATA_INVALID},
      {H("30 03 02 01 05 00"), CKR_DATA_INVALID},
      {H("30 84 00 00 00 01 05"), CKR_DATA_INVALID},
  };
  for (const auto& [bytes, rv] : cases) {
    FileCard file{Bytes(16, 0)};
    card_ = std::ref(file);
    auto c = Comm();
    const Bytes& element = bytes;  // clang 14 captures no structured binding
    EXPECT_EQ(RaisedBy([&] { c->WriteObject(element, 0x8500); }), rv) << ::testing::PrintToString(element);
    EXPECT_EQ(Sent().size(), rv == CKR_OK ? 1u : 0u);
  }
}

TEST_F(CommTest, WriteObjectTranslatesEndOfFileOnly) {
  const std::pair<std::uint16_t, CK_RV> cases[] = {
      {0x6B00, CKR_DATA_INVALID}, {0x6C10, CKR_DATA_INVALID}, {0x6982, 0x80106982UL}};
  for (auto [sw, rv] : cases) {
    card_ = [sw = sw](const Bytes&) { return Sw(sw); };
    auto c = Comm();
    EXPECT_EQ(RaisedBy([&] { c->WriteObject(H("30 03 02 01 05"), 0); }), rv) << std::hex << sw;
  }
}

// ---------------------------------------------------------------- compressed files

// A card with one EF holding `image` behind any path.
struct CompressedCase {
  const char* what;
  Bytes image;
  CK_RV raised;
  Bytes value;
};

Bytes Header(std::uint32_t u, std::uint32_t c) {
  Bytes h;
  for (std::uint32_t v : {u, c})
    for (int i = 0; i < 4; ++i) h.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  return h;
}

TEST_F(CommTest, CompressedFilesRoundTripAndCheckTheirStream) {
  const Bytes value = Cat({H("30 82 02 00"), Bytes(300, 0x41), Counting(212)});
  const Bytes image = CCommunicator::CompressForCard(value);
  ASSERT_GE(image.size(), 8u);
  const Bytes stream(image.begin() + 8, image.end());
  EXPECT_EQ(Bytes(image.begin(), image.begin() + 8), Header(516, static_cast<std::uint32_t>(stream.size())));
  EXPECT_EQ(crypto::ZlibDecompress(stream), value) << "a zlib stream of the value";
  EXPECT_EQ(stream[0] & 0x0F, 8) << "deflate";

  Bytes badAdler = image;
  badAdler.back() ^= 0x01;
  Bytes badHeader = image;
  badHeader[8] ^= 0x01;
  const Bytes stored = Cat({Header(5, 5), H("01 02 03 04 05")});
  const CompressedCase cases[] = {
      {"zlib form", image, CKR_OK, value},
      {"stored form", stored, CKR_OK, H("01 02 03 04 05")},
      {"empty value", Header(0, 0), CKR_OK, {}},
      {"corrupted Adler-32", badAdler, CKR_DATA_INVALID, {}},
      {"corrupted zlib header", badHeader, CKR_DATA_INVALID, {}},
      {"stream shorter than its header says", Cat({Header(600, 40), Bytes(20, 0)}), CKR_DATA_INVALID, {}},
      {"file shorter than a header", H("05 00 00 00 05"), CKR_DATA_INVALID, {}},
      // A header whose count the checked stream does not give: the value
      // would be cut short or padded.
      {"U smaller than the output", Cat({Header(value.size() - 1, static_cast<std::uint32_t>(stream.size())), stream}),
       CKR_DATA_INVALID, {}},
      {"U larger than the output", Cat({Header(value.size() + 4, static_cast<std::uint32_t>(stream.size())), stream}),
       CKR_DATA_INVALID, {}},
  };
  for (const auto& k : cases) {
    FileCard file{k.image};
    card_ = std::ref(file);
    auto c = Comm();
    Bytes out;
    EXPECT_EQ(RaisedBy([&] { c->ReadCompressed(H("60 61 00 01"), out); }), k.raised) << k.what;
    if (k.raised == CKR_OK) {
      EXPECT_EQ(out, k.value) << k.what;
    }
  }
}

TEST_F(CommTest, ReadCompressedSelectsThenReadsHeaderAndBody) {
  const Bytes image = Cat({Header(3, 3), H("AA BB CC")});
  FileCard file{image};
  card_ = std::ref(file);
  auto c = Comm();
  Bytes out;
  c->ReadCompressed(H("60 61 00 01"), out);
  EXPECT_EQ(Sent(), (std::vector<Bytes>{kSelectMf, H("00 A4 00 00 02 60 61"), H("00 A4 00 00 02 00 01"),
                                        H("00 B0 00 00 08"), H("00 B0 00 08 03")}));
  fake_.ClearApdus();
  EXPECT_EQ(RaisedBy([&] { c->ReadCompressed(H("60 61 00"), out); }), CKR_DEVICE_ERROR);
  EXPECT_TRUE(Sent().empty());
}

// A stream exactly as long as its value would read back as stored: such a
// value is stored as it is.
TEST_F(CommTest, CompressForCardNeverWritesAStreamAsLongAsItsValue) {
  Bytes tail = crypto::RandomBytes(120);
  Bytes value;
  bool found = false;
  for (std::size_t zeros = 0; zeros < 400 && !found; ++zeros) {
    value = Cat({Bytes(zeros, 0), tail});
    found = crypto::ZlibCompress(value).size() == value.size();
  }
  ASSERT_TRUE(found) << "no value of equal compressed length found";
  const Bytes image = CCommunicator::CompressForCard(value);
  EXPECT_EQ(image, Cat({Header(static_cast<std::uint32_t>(value.size()), static_cast<std::uint32_t>(value.size())), value}));
  FileCard file{image};
  card_ = std::ref(file);
  auto c = Comm();
  Bytes out;
  c->ReadCompressed(H("60 61 00 01"), out);
  EXPECT_EQ(out, value);
}

// ---------------------------------------------------------------- file access

TEST_F(CommTest, FileAccessReadsTokenInfoAndMarksTheSlotOnRefusal) {
  auto c = Comm();
  comm::CCommFileAccess access(*c);
  p15::CP15TokenInfo tokenInfo;

  card_ = [](const Bytes& cmd) { return cmd[1] == 0xB0 ? Sw(0x6982) : Sw(0x9000); };
  EXPECT_EQ(RaisedBy([&] { tokenInfo.Read(access); }), 0x80106982UL);
  EXPECT_TRUE(slot_->TokenNotRecognised());
  // The file object selects the PKCS#15 DF, then reads by short identifier.
  const auto sent = Sent();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[1], H("00 A4 00 00 02 50 15"));
  EXPECT_EQ(sent[2], H("00 B0 92 00 04"));
}

// A last element cut short by the end of the file is a broken file, not the
// end of its content: the read fails and the token is marked.
TEST_F(CommTest, FileAccessRefusesALastElementCutShort) {
  auto c = Comm();
  comm::CCommFileAccess access(*c);
  p15::CP15TokenInfo tokenInfo;
  const Bytes whole = H(testing::der::kTokenInfoUtf8);
  FileCard file{Cat({whole, Bytes(whole.begin(), whole.end() - 3)})};
  card_ = std::ref(file);
  EXPECT_EQ(RaisedBy([&] { tokenInfo.Read(access); }), CKR_DEVICE_ERROR);
  EXPECT_TRUE(slot_->TokenNotRecognised());
  EXPECT_FALSE(tokenInfo.Loaded());

  // The same file without the cut element reads as loaded.
  slot_->SetTokenNotRecognised(false);
  file.file = Cat({whole, Bytes(4, 0x00)});
  EXPECT_EQ(RaisedBy([&] { tokenInfo.Read(access); }), CKR_OK);
  EXPECT_TRUE(tokenInfo.Loaded());
  EXPECT_FALSE(slot_->TokenNotRecognised());
}

// ---------------------------------------------------------------- file creation

TEST_F(CommTest, CreateEfSendsTheCreationRecordUnderItsParent) {
  const std::pair<bool, Bytes> cases[] = {
      {true, H("90 E0 01 00 0A 01 00 07 02 58 11 11 11 11 FF")},
      {false, H("90 E0 01 00 0A 01 00 07 02 58 00 00 11 11 FF")},
  };
  for (const auto& [isPrivate, create] : cases) {
    auto c = Comm();
    c->CreateEf(H("60 81 00 07"), isPrivate, 600);
    EXPECT_EQ(Sent(), (std::vector<Bytes>{kSelectMf, H("00 A4 00 00 02 60 81"), create}));
  }
  card_ = [](const Bytes& cmd) { return cmd[1] == 0xE0 ? Sw(0x6A89) : Sw(0x9000); };
  auto c = Comm();
  EXPECT_EQ(RaisedBy([&] { c->CreateEf(H("60 81 00 07"), true, 600); }), 0x80106A89UL);
}

// ---------------------------------------------------------------- slot transport

TEST_F(CommTest, CommunicatorConnectsResetsAndDisconnects) {
  fake_.ClearCalls();
  {
    comm::CComm_Plain first(*slot_);
    EXPECT_NE(slot_->CardHandle(), 0u);
    EXPECT_EQ(fake_.Count("Connect"), 1u);
  }
  EXPECT_EQ(slot_->CardHandle(), 0u);
  slot_->Connect();
  fake_.ClearCalls();
  {
    comm::CComm_Plain second(*slot_);  // already connected: the card is reset
    ASSERT_EQ(fake_.Count("Reconnect"), 1u);
    EXPECT_EQ(fake_.Calls()[0].arg, static_cast<DWORD>(SCARD_RESET_CARD));
  }
  const auto calls = fake_.Calls();
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.back().op, "Disconnect");
  EXPECT_EQ(calls.back().arg, static_cast<DWORD>(SCARD_LEAVE_CARD));
  EXPECT_EQ(slot_->CardHandle(), 0u);
  EXPECT_EQ(fake_.OpenHandles(), 0u);
}

TEST_F(CommTest, ConstructionFailsWithTheMappedConnectionError) {
  fake_.RemoveCard(kReader);
  EXPECT_EQ(RaisedBy([&] { comm::CComm_Plain c(*slot_); }), CKR_TOKEN_NOT_PRESENT);
  EXPECT_EQ(slot_->CardHandle(), 0u);
}

TEST_F(CommTest, FactoryChoosesTheClassFromTheCommunicationsType) {
  struct {
    std::uint8_t type;
    const char* cls;
    std::uint8_t first, last;
  } const cases[] = {{1, "Vexa", 1, 32}, {2, "Halvo1_0", 32, 48}, {0, "Plain", 1, 32},
                     {3, "Plain", 1, 32}, {255, "Plain", 1, 32}};
  for (const auto& k : cases) {
    auto c = comm::CreateCommunicator(*slot_, k.type);
    const char* cls = dynamic_cast<comm::CComm_Vexa*>(c.get())       ? "Vexa"
                      : dynamic_cast<comm::CComm_Halvo1_0*>(c.get()) ? "Halvo1_0"
                      : dynamic_cast<comm::CComm_Plain*>(c.get())    ? "Plain"
                                                                     : "?";
    EXPECT_STREQ(cls, k.cls) << int(k.type);
    EXPECT_EQ(c->FirstKeyReference(), k.first);
    EXPECT_EQ(c->LastKeyReference(), k.last);
    EXPECT_NE(slot_->CardHandle(), 0u);
  }
}

TEST_F(CommTest, TransactionsBracketTheWorkAndConnectFirst) {
  ASSERT_EQ(slot_->CardHandle(), 0u);
  {
    comm::CSlotTransaction t(*slot_);
    EXPECT_NE(slot_->CardHandle(), 0u) << "connected by the transaction";
    EXPECT_EQ(fake_.TransactionDepth(kReader), 1);
  }
  EXPECT_EQ(fake_.TransactionDepth(kReader), 0);
  try {
    comm::CSlotTransaction t(*slot_);
    throw p11::Pkcs11Exception(CKR_DEVICE_ERROR);
  } catch (const p11::Pkcs11Exception&) {
  }
  EXPECT_EQ(fake_.TransactionDepth(kReader), 0) << "ended on failure too";
  EXPECT_EQ(fake_.Calls().back().op, "EndTransaction");
  EXPECT_EQ(fake_.Calls().back().arg, static_cast<DWORD>(SCARD_LEAVE_CARD));
}

struct TransactionFailureCase {
  const char* what;
  std::function<void(FakeScard&)> arrange;
  CK_RV raised;
  bool stillConnected;
};

TEST_F(CommTest, TransactionFailures) {
  const TransactionFailureCase cases[] = {
      {"card removed", [](FakeScard& f) { f.FailNext("BeginTransaction", SCARD_W_REMOVED_CARD); },
       CKR_SESSION_HANDLE_INVALID, true},
      {"other failure", [](FakeScard& f) { f.FailNext("BeginTransaction", SCARD_E_SHARING_VIOLATION); },
       CKR_DEVICE_ERROR, true},
      // Reset by another process: the stale handle is dropped, so the next
      // operation connects afresh instead of failing for ever.
      {"card reset by another process", [](FakeScard& f) { f.ResetCardExternally(kReader); },
       CKR_SESSION_HANDLE_INVALID, false},
  };
  for (const auto& k : cases) {
    slot_->Connect();
    k.arrange(fake_);
    EXPECT_EQ(RaisedBy([&] { comm::BeginTransaction(*slot_); }), k.raised) << k.what;
    EXPECT_EQ(slot_->CardHandle() != 0, k.stillConnected) << k.what;
    EXPECT_EQ(RaisedBy([&] { comm::CSlotTransaction t(*slot_); }), CKR_OK) << k.what << ": next one";
    slot_->Disconnect();
  }
  fake_.FailNext("Connect", SCARD_E_NO_SMARTCARD);
  EXPECT_EQ(RaisedBy([&] { comm::BeginTransaction(*slot_); }), CKR_TOKEN_NOT_PRESENT);
}

TEST_F(CommTest, TransmitRawFailuresDropTheConnection) {
  const std::pair<LONG, CK_RV> cases[] = {{SCARD_W_REMOVED_CARD, CKR_SESSION_HANDLE_INVALID},
                                          {SCARD_E_COMM_DATA_LOST, CKR_DEVICE_ERROR},
                                          {SCARD_W_RESET_CARD, CKR_DEVICE_ERROR}};
  for (auto [failure, rv] : cases) {
    slot_->Connect();
    fake_.FailNext("Transmit", failure);
    Bytes response = {1, 2, 3};
    EXPECT_EQ(RaisedBy([&] { comm::TransmitRaw(*slot_, H("00 B0 00 00 01"), response); }), rv);
    EXPECT_TRUE(response.empty());
    EXPECT_EQ(slot_->CardHandle(), 0u);
  }
  Bytes response;
  EXPECT_EQ(RaisedBy([&] { comm::TransmitRaw(*slot_, H("00 B0 00 00 01"), response); }),
            CKR_SESSION_HANDLE_INVALID)
      << "no card handle";
}

TEST_F(CommTest, TransmitRawKeepsTheStatusWordAndAFullGetResponse) {
  slot_->Connect();
  card_ = [](const Bytes&) { return Cat({Counting(256), Sw(0x9000)}); };
  Bytes response;
  comm::TransmitRaw(*slot_, H("00 C0 00 00 00"), response);
  EXPECT_EQ(response, Cat({Counting(256), Sw(0x9000)}));
}

}  // namespace
}  // namespace zorbix::commtest
