// The wizard's card class against a scripted card: GET RESPONSE, the ODF
// walk, directory files read record by record, and the card-data cache.
#include <gtest/gtest.h>

#include <random>

#include "app/halvocard.h"
#include "tests/halvocard/mini_card.h"

namespace zorbix::testing {
namespace {

using app::HalvoCard;
using app::HalvoCardV20;
using app::kDefaultFileIds;

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Padded(Bytes content, std::size_t size, std::uint8_t pad) {
  content.resize(size, pad);
  return content;
}

class HalvoCardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_.AddReader("Reader 0");
    card_ = std::make_shared<MiniCard>();
    fake_.InsertCard("Reader 0", {0x3B, 0x00}, Play(card_));
    ASSERT_EQ(fake_.EstablishContext(SCARD_SCOPE_USER, &ctx_), SCARD_S_SUCCESS);
    DWORD protocol = 0;
    ASSERT_EQ(fake_.Connect(ctx_, "Reader 0", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0, &handle_,
                            &protocol),
              SCARD_S_SUCCESS);
  }

  void SetOdf(const Bytes& entries) { card_->files[0x5031] = Padded(entries, 64, 0x00); }

  // The (offset, length) of every READ BINARY sent since the last clear.
  std::vector<std::pair<int, int>> Reads() const {
    std::vector<std::pair<int, int>> out;
    for (const auto& a : fake_.Apdus())
      if (a.command.size() == 5 && a.command[1] == 0xB0)
        out.emplace_back(a.command[2] << 8 | a.command[3], a.command[4]);
    return out;
  }

  FakeScard fake_;
  platform::ScopedScardApi use_{&fake_};
  std::shared_ptr<MiniCard> card_;
  SCARDCONTEXT ctx_ = 0;
  SCARDHANDLE handle_ = 0;
};

TEST_F(HalvoCardTest, OneGetResponsePer61xx) {
  card_->hasApplication = false;
  card_->files.clear();
  HalvoCard card(handle_);

  struct Case {
    Bytes getResponseAnswer;
    std::uint16_t sw;
    std::size_t dataLength;
  };
  const Case cases[] = {
      {Concat({Bytes(16, 0xAB), {0x90, 0x00}}), 0x9000, 16},
      {{0x61, 0x05}, 0x6105, 0},  // a second 61xx goes to the caller
  };
  for (const Case& c : cases) {
    fake_.ClearApdus();
    fake_.SetResponder("Reader 0", [&](const Bytes& cmd) {
      if (cmd == Bytes{0x00, 0xC0, 0x00, 0x00, 0x10}) return c.getResponseAnswer;
      return Bytes{0x61, 0x10};
    });
    const Bytes command = {0x80, 0xCA, 0x00, 0x00, 0x00};
    card.SetCommand(command.data(), command.size());
    EXPECT_EQ(card.Transmit(), SCARD_S_SUCCESS);
    const auto apdus = fake_.Apdus();
    ASSERT_EQ(apdus.size(), 2u);
    EXPECT_EQ(apdus[0].command, command);
    EXPECT_EQ(apdus[1].command, (Bytes{0x00, 0xC0, 0x00, 0x00, 0x10}));
    EXPECT_EQ(card.statusWord(), c.sw);
    EXPECT_EQ(card.responseDataLength(), c.dataLength);
  }
}

TEST_F(HalvoCardTest, FailedExchangeClearsTheStatusWord) {
  SetOdf({0xFF});
  HalvoCard card(handle_);
  ASSERT_EQ(card.statusWord(), 0x9000);
  fake_.FailNext("Transmit", SCARD_W_REMOVED_CARD);
  EXPECT_EQ(card.SelectByFileId(0x5031), SCARD_W_REMOVED_CARD);
  EXPECT_EQ(card.statusWord(), 0);
  EXPECT_EQ(card.fileSize(), 0);
}

TEST_F(HalvoCardTest, SelectByFileIdTakesTheSizeFromTheFci) {
  card_->files[0x6004] = Bytes(0x1234, 0x30);
  HalvoCard card(handle_);
  card.SelectByFileId(0x6004);
  EXPECT_EQ(card.fileSize(), 0x1234);
  card.SelectByName(app::kMasterFileName);  // FCI 84 ..: no size
  card.SelectByFileId(0x7777);              // missing
  EXPECT_EQ(card.statusWord(), 0x6A82);
  EXPECT_EQ(card.fileSize(), 0);
}

TEST_F(HalvoCardTest, OdfWalkFillsTheFileIdTable) {
  struct Case {
    const char* what;
    Bytes odf;
    std::array<std::uint16_t, 9> expected;
  };
  auto with = [](std::initializer_list<std::pair<std::size_t, std::uint16_t>> changes) {
    auto t = kDefaultFileIds;
    for (auto [i, v] : changes) t[i] = v;
    return t;
  };
  const Case cases[] = {
      {"empty ODF", Bytes{0xFF}, kDefaultFileIds},
      {"A4 entry", {0xA4, 0x06, 0x30, 0x04, 0x04, 0x02, 0x71, 0x04}, with({{4, 0x7104}})},
      {"usual ODF",
       {0xA0, 0x06, 0x30, 0x04, 0x04, 0x02, 0x70, 0x01, 0xA1, 0x06, 0x30, 0x04, 0x04, 0x02, 0x70,
        0x02, 0xA8, 0x06, 0x30, 0x04, 0x04, 0x02, 0x70, 0x00, 0xFF},
       with({{0, 0x7001}, {1, 0x7002}, {8, 0x7000}})},
      {"A9 to AF have no slot",
       Concat({{0xA9, 0x06, 0x30, 0x04, 0x04, 0x02, 0x12, 0x34},
               {0xAA, 0x06, 0x30, 0x04, 0x04, 0x02, 0x12, 0x34},
               {0xAC, 0x06, 0x30, 0x04, 0x04, 0x02, 0x12, 0x34},
               {0xAF, 0x06, 0x30, 0x04, 0x04, 0x02, 0x12, 0x34},
               {0xA7, 0x06, 0x30, 0x04, 0x04, 0x02, 0x70, 0x05}}),
       with({{7, 0x7005}})},
      // An entry too short to hold a path, and one cut off at the end of the
      // 40 bytes read, change nothing.
      {"malformed entries",
       Concat({{0xA2, 0x02, 0x30, 0x00},
               {0xA5, 0x06, 0x30, 0x04, 0x04, 0x02, 0x70, 0x06},
               Bytes(24, 0x00),
               {0xA6, 0x10, 0x30, 0x0E}}),
       with({{5, 0x7006}})},
  };
  for (const Case& c : cases) {
    SetOdf(c.odf);
    HalvoCard card(handle_);
    EXPECT_EQ(card.fileIdTable(), c.expected) << c.what;
  }
}

TEST_F(HalvoCardTest, ConstructionReadsFortyOdfBytes) {
  SetOdf({0xA4, 0x06, 0x30, 0x04, 0x04, 0x02, 0x71, 0x04});
  fake_.ClearApdus();
  HalvoCard card(handle_);
  const auto apdus = fake_.Apdus();
  // SELECT MF, GET RESPONSE, SELECT AID, GET RESPONSE, SELECT 5031, GET RESPONSE, READ.
  ASSERT_EQ(apdus.size(), 7u);
  EXPECT_EQ(apdus[0].command, Concat({{0x00, 0xA4, 0x04, 0x00, 0x0B}, Bytes{'M', 'a', 's', 't',
                                      'e', 'r', '.', 'F', 'i', 'l', 'e'}}));
  EXPECT_EQ(apdus[2].command, Concat({{0x00, 0xA4, 0x04, 0x00, 0x0C},
                                      Bytes(app::kPkcs15Aid.begin(), app::kPkcs15Aid.end())}));
  EXPECT_EQ(apdus[4].command, (Bytes{0x00, 0xA4, 0x00, 0x00, 0x02, 0x50, 0x31}));
  EXPECT_EQ(apdus[6].command, (Bytes{0x00, 0xB0, 0x00, 0x00, 0x28}));
}

TEST_F(HalvoCardTest, DirectoryFileIsReadRecordByRecordUpToThePadding) {
  const Bytes small = {0x30, 0x05, 0x01, 0x02, 0x03, 0x04, 0x05};
  Bytes big = {0x30, 0x82, 0x01, 0x00};
  for (int i = 0; i < 256; ++i) big.push_back(static_cast<std::uint8_t>(i));
  card_->files[0x6004] = Padded(Concat({small, big}), 700, 0x00);
  HalvoCard card(handle_);

  fake_.ClearApdus();
  const app::DirectoryFile f = card.ReadDirectoryFile(app::kSlotCertificates);
  EXPECT_EQ(f.records, 2);
  EXPECT_EQ(f.length, small.size() + big.size());
  EXPECT_EQ(f.block, Concat({small, big}));
  // Header, record; header, the long record in chunks of 128; the header of
  // the padding ends the read.
  const std::vector<std::pair<int, int>> expected = {
      {0, 4}, {0, 7}, {7, 4}, {7, 128}, {135, 128}, {263, 4}, {267, 4}};
  EXPECT_EQ(Reads(), expected);
}

// A selection and the reads that depend on it run inside one PC/SC
// transaction, so no other program's selection can come in between: the ODF
// walk of the construction, and each directory file.
TEST_F(HalvoCardTest, SelectionAndItsReadsShareOneTransaction) {
  card_->files[0x6004] = Padded({0x30, 0x03, 0x01, 0x02, 0x03}, 64, 0x00);
  SetOdf({0xA4, 0x06, 0x30, 0x04, 0x04, 0x02, 0x60, 0x04});
  std::vector<int> depths;
  fake_.SetResponder("Reader 0", [&](const Bytes& c) {
    depths.push_back(fake_.TransactionDepth("Reader 0"));
    return (*card_)(c);
  });
  // TransactionDepth takes the fake's lock: the responder runs without it.
  HalvoCard card(handle_);
  const std::size_t construction = depths.size();
  ASSERT_GT(construction, 3u);
  const app::DirectoryFile f = card.ReadDirectoryFile(app::kSlotCertificates);
  EXPECT_EQ(f.records, 1);
  ASSERT_GT(depths.size(), construction + 3);
  for (std::size_t i = 0; i < depths.size(); ++i) EXPECT_EQ(depths[i], 1) << "exchange " << i;
  EXPECT_EQ(fake_.TransactionDepth("Reader 0"), 0) << "every transaction ended";
  EXPECT_EQ(fake_.Count("BeginTransaction"), 2u);
  EXPECT_EQ(fake_.Count("EndTransaction"), 2u);
}

TEST_F(HalvoCardTest, AcceptedTagsDependOnHowTheFileIsNamed) {
  const Bytes pin = {0xA8, 0x03, 0x01, 0x02, 0x03, 0xFF, 0xFF};
  card_->files[0x6000] = pin;
  card_->files[0x6001] = pin;
  HalvoCard card(handle_);

  const app::DirectoryFile direct = card.ReadDirectoryFile(std::uint16_t{0x6000});
  EXPECT_EQ(direct.records, 1);
  EXPECT_EQ(direct.block, Bytes(pin.begin(), pin.begin() + 5));

  const app::DirectoryFile slot = card.ReadDirectoryFile(app::kSlotPrivateKeys);
  EXPECT_EQ(slot.records, 0);
  EXPECT_TRUE(slot.block.empty());
  EXPECT_EQ(slot.length, 0u);

  EXPECT_TRUE(card.ReadDirectoryFile(std::uint16_t{0x6005}).block.empty());  // missing file
}

TEST_F(HalvoCardTest, RecordsThatCannotBeMeasuredOrAddressedEndTheRead) {
  struct Case {
    const char* what;
    Bytes content;
    Bytes block;
  };
  const Case cases[] = {
      {"three length bytes do not fit the header", {0x30, 0x83, 0x01, 0x00, 0x00}, {}},
      // From offset 3, 30 82 FF FF would wrap around the 16-bit offsets.
      {"record past the 16-bit offsets", {0x30, 0x01, 0x00, 0x30, 0x82, 0xFF, 0xFF},
       {0x30, 0x01, 0x00}},
  };
  for (const Case& c : cases) {
    card_->files[0x6004] = Padded(c.content, 64, 0x00);
    HalvoCard card(handle_);
    const app::DirectoryFile f = card.ReadDirectoryFile(app::kSlotCertificates);
    EXPECT_EQ(f.block, c.block) << c.what;
    EXPECT_EQ(f.length, c.block.size()) << c.what;
  }
}

TEST_F(HalvoCardTest, ReadBinaryNeverWritesMoreThanAsked) {
  card_->files[0x6004] = Bytes(64, 0x30);
  HalvoCard card(handle_);
  card.SelectByFileId(0x6004);
  // A card that answers 40 bytes to a 10-byte read.
  fake_.SetResponder("Reader 0", [](const Bytes&) {
    Bytes out(40, 0x77);
    out.insert(out.end(), {0x90, 0x00});
    return out;
  });
  std::array<std::uint8_t, 12> buf{};
  card.ReadBinary(0, 10, buf.data());
  EXPECT_EQ(buf[9], 0x77);
  EXPECT_EQ(buf[10], 0x00);
  EXPECT_EQ(buf[11], 0x00);
}

TEST_F(HalvoCardTest, EventsAreReadWithTheProprietaryCommand) {
  card_->events = {0x01, 0x26, 0x01, 0x15};
  HalvoCard card(handle_);
  fake_.ClearApdus();
  std::array<std::uint8_t, 256> buf{};
  std::uint8_t n = 0;
  EXPECT_EQ(card.ReadEvents(buf.data(), buf.size(), &n), SCARD_S_SUCCESS);
  EXPECT_EQ(fake_.Apdus().at(0).command, (Bytes{0x90, 0x18, 0x00, 0x00, 0x00}));
  EXPECT_EQ(n, 4);
  EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 4), card_->events);
}

TEST_F(HalvoCardTest, CardDataIsFetchedOnce) {
  Bytes data18(18);
  for (int i = 0; i < 18; ++i) data18[i] = static_cast<std::uint8_t>(0x40 + i);
  struct Case {
    bool v20;
    std::uint8_t le;
    Bytes block;
    Bytes serial;
    std::size_t commands;  // card-data commands for two calls
  };
  const Case cases[] = {
      {false, 0x12, data18, Bytes(data18.begin() + 10, data18.begin() + 16), 1},
      {true, 0x11, Bytes(data18.begin(), data18.begin() + 17),
       Bytes(data18.begin(), data18.begin() + 7), 1},
      // A block starting with 00 looks unfetched: asked again.
      {false, 0x12, Concat({{0x00}, Bytes(17, 0x11)}), Bytes(6, 0x11), 2},
  };
  for (const Case& c : cases) {
    card_->cardData = c.block;
    std::unique_ptr<HalvoCard> card =
        c.v20 ? std::make_unique<HalvoCardV20>(handle_) : std::make_unique<HalvoCard>(handle_);
    fake_.ClearApdus();
    std::array<std::uint8_t, 7> serial{};
    std::uint8_t n = 0;
    EXPECT_EQ(card->GetSerialNumber(serial.data(), &n), SCARD_S_SUCCESS);
    EXPECT_EQ(card->GetSerialNumber(serial.data(), &n), SCARD_S_SUCCESS);
    EXPECT_EQ(Bytes(serial.begin(), serial.begin() + n), c.serial);
    const auto apdus = fake_.Apdus();
    ASSERT_EQ(apdus.size(), c.commands);
    EXPECT_EQ(apdus[0].command, (Bytes{0x90, 0xB8, 0x00, 0x00, c.le}));
  }
}

TEST_F(HalvoCardTest, FailedCardDataFetchLeavesTheCacheZero) {
  card_->cardData = Bytes(18, 0x42);
  HalvoCard card(handle_);
  fake_.FailNext("Transmit", SCARD_E_NOT_TRANSACTED);
  std::array<std::uint8_t, 18> data{};
  EXPECT_EQ(card.GetCardData(data.data()), SCARD_E_NOT_TRANSACTED);
  EXPECT_EQ(card.cardDataCache(), (std::array<std::uint8_t, 18>{}));
  EXPECT_EQ(card.GetCardData(data.data()), SCARD_S_SUCCESS);
  EXPECT_EQ(data[17], 0x42);
}

// Random card bytes (ODF and directory files made of likely tags and
// lengths): nothing is read or written out of bounds (run under the
// sanitizers) and the reads stay consistent.
TEST_F(HalvoCardTest, RandomCardBytes) {
  std::mt19937 rng(20261210);
  const std::uint8_t likely[] = {0x30, 0xA0, 0xA4, 0xA8, 0xA9, 0xAF, 0xFF, 0x00,
                                 0x81, 0x82, 0x83, 0x7F, 0x04, 0x02};
  auto randomBytes = [&](std::size_t n) {
    Bytes b(n);
    for (auto& x : b) x = rng() % 3 ? likely[rng() % sizeof likely] : static_cast<std::uint8_t>(rng());
    return b;
  };
  for (int i = 0; i < 300; ++i) {
    card_->files[0x5031] = randomBytes(rng() % 48);
    card_->files[0x6004] = randomBytes(rng() % 600);
    card_->files[0x6000] = randomBytes(rng() % 64);
    card_->getResponse = rng() % 2;
    HalvoCard card(handle_);
    for (const app::DirectoryFile& f : {card.ReadDirectoryFile(app::kSlotCertificates),
                                        card.ReadDirectoryFile(std::uint16_t{0x6000})}) {
      if (f.block.empty()) {
        EXPECT_EQ(f.records, 0);
      } else {
        // A record cut off by the end of the file is kept but not counted.
        EXPECT_EQ(f.block.size(), f.length);
      }
    }
  }
}

}  // namespace
}  // namespace zorbix::testing
