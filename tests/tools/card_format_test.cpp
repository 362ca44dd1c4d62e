// zubtool's card knowledge: hex text, layouts, value blocks, access bits, keys.
#include <gtest/gtest.h>

#include "card_format.h"

namespace zubtool {
namespace {

TEST(Hex, ParsesPairsWithSeparatorsAndRefusesTheRest) {
  struct Case {
    const char* text;
    std::optional<Bytes> bytes;
  };
  const Case cases[] = {
      {"", Bytes{}},
      {"0aFf", Bytes{0x0A, 0xFF}},
      {"0A:1B-2c 3D", Bytes{0x0A, 0x1B, 0x2C, 0x3D}},
      {"0A1", std::nullopt},   // odd digit count
      {"0 A", std::nullopt},   // separator inside a pair
      {"0G", std::nullopt},    // not a digit
      {"0x0A", std::nullopt},  // no prefixes
  };
  for (const auto& c : cases) EXPECT_EQ(ParseHex(c.text), c.bytes) << c.text;
  EXPECT_EQ(HexText({0x00, 0xAB, 0x7F}), "00AB7F");
  EXPECT_EQ(HexSpaced({0x00, 0xAB, 0x7F}), "00 AB 7F");
  EXPECT_EQ(AsciiText({'H', 'i', 0x00, 0x7F, 0x20, 0xFF}), "Hi.. .");
}

TEST(Numbers, ParseWithinTheirRange) {
  EXPECT_EQ(ParseNumber("255", 0, 255), 255);
  EXPECT_EQ(ParseNumber("0x1f", 0, 255), 31);
  EXPECT_EQ(ParseNumber("-2147483648", INT32_MIN, INT32_MAX), INT32_MIN);
  for (const char* bad : {"256", "-1", "", " 4", "4 ", "4x", "0x", "-0x1", "1e3"}) {
    EXPECT_FALSE(ParseNumber(bad, 0, 255)) << bad;
  }
}

TEST(Layout, SectorsAndBlocksOfBothCardSizes) {
  struct Case {
    int sector, first, count, trailer;
  };
  const Case cases[] = {
      {0, 0, 4, 3}, {15, 60, 4, 63}, {31, 124, 4, 127}, {32, 128, 16, 143}, {39, 240, 16, 255}};
  for (const auto& c : cases) {
    EXPECT_EQ(FirstBlock(c.sector), c.first) << c.sector;
    EXPECT_EQ(BlocksInSector(c.sector), c.count) << c.sector;
    EXPECT_EQ(TrailerBlock(c.sector), c.trailer) << c.sector;
    EXPECT_EQ(SectorOfBlock(c.first), c.sector);
    EXPECT_EQ(SectorOfBlock(c.trailer), c.sector);
    EXPECT_TRUE(IsTrailer(c.trailer));
    EXPECT_FALSE(IsTrailer(c.first));
  }
  EXPECT_EQ(LayoutByName("1K")->ImageSize(), 1024);
  EXPECT_EQ(LayoutByName("4k")->ImageSize(), 4096);
  EXPECT_EQ(LayoutByName("Mini")->ImageSize(), 320);
  EXPECT_FALSE(LayoutByName("2K"));
}

TEST(Layout, CardTypeFromAtqaAndSak) {
  struct Case {
    uint16_t atqa;
    uint8_t sak;
    int sectors;
    const char* name;
  };
  const Case cases[] = {
      {0x0400, 0x08, 16, "MIFARE Classic 1K"},
      {0x0200, 0x18, 40, "MIFARE Classic 4K"},
      {0x0400, 0x09, 5, "MIFARE Mini"},
      {0x4400, 0x00, 0, "Ultralight"},
      {0x4403, 0x20, 0, "14443-4"},
      {0x0400, 0x77, 0, "unknown"},
  };
  for (const auto& c : cases) {
    CardLayout layout = IdentifyCard(c.atqa, c.sak);
    EXPECT_EQ(layout.sectors, c.sectors) << int(c.sak);
    EXPECT_NE(layout.name.find(c.name), std::string::npos) << layout.name;
  }
}

TEST(ValueBlocks, EncodeDecodeAndRefuseDamagedBlocks) {
  // 1234567 at address 17.
  EXPECT_EQ(EncodeValueBlock(1234567, 17), *ParseHex("87D61200 7829EDFF 87D61200 11EE11EE"));
  for (int32_t v : {0, 1, -1, INT32_MAX, INT32_MIN}) {
    auto decoded = DecodeValueBlock(EncodeValueBlock(v, 200));
    ASSERT_TRUE(decoded) << v;
    EXPECT_EQ(decoded->value, v);
    EXPECT_EQ(decoded->address, 200);
  }
  // Any single damaged byte breaks the format.
  for (size_t i = 0; i < 16; ++i) {
    Bytes b = EncodeValueBlock(42, 5);
    b[i] ^= 0x01;
    EXPECT_FALSE(DecodeValueBlock(b)) << "byte " << i;
  }
  EXPECT_FALSE(DecodeValueBlock(Bytes(16, 0)));
  EXPECT_FALSE(DecodeValueBlock(Bytes(15, 0)));
}

TEST(AccessBits, StoredWithTheirInverses) {
  auto trailer = [](const char* bits) {
    return *ParseHex(std::string("FFFFFFFFFFFF") + bits + "00FFFFFFFFFFFF");
  };
  EXPECT_TRUE(AccessBitsConsistent(trailer("FF0780")));  // transport configuration
  EXPECT_TRUE(AccessBitsConsistent(trailer("787788")));
  EXPECT_TRUE(AccessBitsConsistent(trailer("00F0FF")));  // every bit set: all locked down
  EXPECT_FALSE(AccessBitsConsistent(trailer("000000")));
  EXPECT_FALSE(AccessBitsConsistent(trailer("FF0781")));
  EXPECT_FALSE(AccessBitsConsistent(trailer("7F0780")));
}

TEST(Serials, UidAndCheckByte) {
  auto s = ParseSerial("1A7B8C54B9");
  ASSERT_TRUE(s);
  EXPECT_EQ(s->uid, *ParseHex("1A7B8C54"));
  EXPECT_TRUE(s->bccOk);
  EXPECT_FALSE(ParseSerial("1A7B8C54B8")->bccOk);
  EXPECT_FALSE(ParseSerial("1A7B8C54"));
}

TEST(KeyLists, CommentsBlanksAndTheFirstBadLine) {
  std::string error;
  auto keys = ParseKeyList("# site\n\nFFFFFFFFFFFF\r\n  a0 a1 a2 a3 a4 a5  # sector 2\n", &error);
  ASSERT_TRUE(keys) << error;
  EXPECT_EQ(*keys, (std::vector<Bytes>{Bytes(6, 0xFF), *ParseHex("A0A1A2A3A4A5")}));
  EXPECT_FALSE(ParseKeyList("FFFFFFFFFFFF\nFFFFFFFFFF\n", &error));
  EXPECT_NE(error.find("line 2"), std::string::npos) << error;
}

}  // namespace
}  // namespace zubtool
