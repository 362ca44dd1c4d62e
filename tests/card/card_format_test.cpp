// The card model's knowledge: hex text, layouts, value blocks, access bits, keys.
#include <gtest/gtest.h>

#include "card_format.h"

namespace mzcard {
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
  EXPECT_EQ(LayoutByName("2K")->ImageSize(), 2048);
  EXPECT_EQ(LayoutByName("2k")->sectors, 32);
  EXPECT_FALSE(LayoutByName("8K"));
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
      {0x0400, 0x19, 32, "MIFARE Classic 2K"},
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

TEST(Layout, MifarePlusInSecurityLevel2IsNoClassicCard) {
  // Its sectors open only to an AES authentication: named, with no Classic
  // memory to dump or restore.
  struct Case {
    uint8_t sak;
    const char* name;
  } cases[] = {{0x10, "MIFARE Plus 2K"}, {0x11, "MIFARE Plus 4K"}};
  for (const auto& c : cases) {
    const CardLayout layout = IdentifyCard(0x0400, c.sak);
    EXPECT_EQ(layout.sectors, 0) << int(c.sak);
    EXPECT_NE(layout.name.find(c.name), std::string::npos) << layout.name;
    EXPECT_NE(layout.name.find("security level 2"), std::string::npos) << layout.name;
    EXPECT_EQ(ClassicSectors(c.sak), 0) << int(c.sak);
  }
}

TEST(Layout, ClassicSectorsReadsTheMemoryBitsOfTheSameTable) {
  struct Case {
    uint8_t sak;
    int sectors;
  } cases[] = {
      {0x08, 16}, {0x88, 16}, {0x28, 16}, {0x48, 16},  // 1K, whatever else the chip says
      {0x18, 40}, {0x38, 40}, {0x98, 40},              // 4K
      {0x09, 5},  {0x29, 5},                           // Mini
      {0x19, 32},                                      // 2K
      {0x00, 0},  {0x20, 0},  {0x04, 0},  {0x0C, 0},   // no Classic memory; UID not complete
      {0x10, 0},  {0x11, 0},  {0x30, 0},  {0x77, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ClassicSectors(c.sak), c.sectors) << int(c.sak);
    // What the memory bits say, IdentifyCard says of those bits alone.
    EXPECT_EQ(ClassicSectors(c.sak), IdentifyCard(0, c.sak & kSakMemoryBits).sectors);
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
  // One bit of one part wrong, each of the six parts in turn (transport
  // FF 07 80: ~C2 F, ~C1 F, C1 0, ~C3 7, C3 8, C2 0): every one is refused.
  struct Broken {
    const char* bits;
    const char* part;
  };
  const Broken broken[] = {{"EF0780", "~C2"}, {"FE0780", "~C1"}, {"FF1780", "C1"},
                           {"FF0680", "~C3"}, {"FF0790", "C3"},  {"FF0781", "C2"}};
  for (const auto& b : broken) {
    EXPECT_FALSE(AccessBitsConsistent(trailer(b.bits))) << b.part;
    EXPECT_FALSE(DecodeAccessBits(*ParseHex(b.bits))) << b.part;
  }
}

// Worked examples: trailers as cards are commonly configured, each decoded by
// hand from the bit layout (byte 6: ~C2 ~C1, byte 7: C1 ~C3, byte 8: C3 C2,
// bit n of each nibble for group n).
TEST(AccessBits, DecodeCommonConfigurations) {
  struct Case {
    const char* bytes;
    int data, trailer;  // C1C2C3 as a number, the same for the three data groups
    bool keyBReadable;
  };
  const Case cases[] = {
      {"FF0780", 0b000, 0b001, true},   // transport: key A does everything, key B is data
      {"7F0788", 0b000, 0b011, false},  // key B manages the trailer
      {"787788", 0b100, 0b011, false},  // data written by key B only
      {"08778F", 0b110, 0b011, false},  // value blocks: B tops up, A and B spend
      {"00F0FF", 0b111, 0b111, false},  // everything frozen
  };
  for (const auto& c : cases) {
    auto conditions = DecodeAccessBits(*ParseHex(c.bytes));
    ASSERT_TRUE(conditions) << c.bytes;
    for (int g = 0; g < 3; ++g) EXPECT_EQ(conditions->group[g], c.data) << c.bytes << " " << g;
    EXPECT_EQ(conditions->group[kTrailerGroup], c.trailer) << c.bytes;
    EXPECT_EQ(HexText(EncodeAccessBits(*conditions)), c.bytes);
    EXPECT_EQ(KeyBReadable(*ParseHex(std::string("FFFFFFFFFFFF") + c.bytes + "69FFFFFFFFFFFF")),
              c.keyBReadable)
        << c.bytes;
  }
  // Groups differ: block 0 read-only (010), block 1 transport, block 2 value
  // (110), trailer transport.
  AccessConditions mixed;
  mixed.group[0] = 0b010;
  mixed.group[1] = 0b000;
  mixed.group[2] = 0b110;
  mixed.group[3] = 0b001;
  EXPECT_EQ(HexText(EncodeAccessBits(mixed)), "AB4785");
  EXPECT_FALSE(DecodeAccessBits(*ParseHex("FF0781")));
  EXPECT_FALSE(KeyBReadable(*ParseHex("FFFFFFFFFFFF 000000 69 FFFFFFFFFFFF")));
}

TEST(AccessBits, EveryCombinationSurvivesEncoding) {
  for (int combination = 0; combination < 4096; ++combination) {
    AccessConditions c;
    for (int g = 0; g < kGroups; ++g) c.group[g] = combination >> (3 * g) & 7;
    Bytes bytes = EncodeAccessBits(c);
    auto back = DecodeAccessBits(bytes);
    ASSERT_TRUE(back) << combination;
    for (int g = 0; g < kGroups; ++g) ASSERT_EQ(back->group[g], c.group[g]) << combination;
  }
}

// The card's access-condition tables, rows as published (A key A, B key B).
TEST(AccessBits, RightsOfEachCondition) {
  struct DataRow {
    int condition;
    KeySet read, write, increment, decrement;
  };
  const DataRow data[] = {
      {0b000, kByAorB, kByAorB, kByAorB, kByAorB}, {0b010, kByAorB, kNobody, kNobody, kNobody},
      {0b100, kByAorB, kByB, kNobody, kNobody},    {0b110, kByAorB, kByB, kByB, kByAorB},
      {0b001, kByAorB, kNobody, kNobody, kByAorB}, {0b011, kByB, kByB, kNobody, kNobody},
      {0b101, kByB, kNobody, kNobody, kNobody},    {0b111, kNobody, kNobody, kNobody, kNobody},
  };
  for (const auto& row : data) {
    DataBlockRights r = DataRights(row.condition);
    EXPECT_EQ(r.read, row.read) << row.condition;
    EXPECT_EQ(r.write, row.write) << row.condition;
    EXPECT_EQ(r.increment, row.increment) << row.condition;
    EXPECT_EQ(r.decrement, row.decrement) << row.condition;
  }
  struct TrailerRow {
    int condition;
    KeySet keyAWrite, accessRead, accessWrite, keyBRead, keyBWrite;
  };
  const TrailerRow trailer[] = {
      {0b000, kByA, kByA, kNobody, kByA, kByA},
      {0b010, kNobody, kByA, kNobody, kByA, kNobody},
      {0b100, kByB, kByAorB, kNobody, kNobody, kByB},
      {0b110, kNobody, kByAorB, kNobody, kNobody, kNobody},
      {0b001, kByA, kByA, kByA, kByA, kByA},
      {0b011, kByB, kByAorB, kByB, kNobody, kByB},
      {0b101, kNobody, kByAorB, kByB, kNobody, kNobody},
      {0b111, kNobody, kByAorB, kNobody, kNobody, kNobody},
  };
  for (const auto& row : trailer) {
    TrailerRights r = TrailerRightsOf(row.condition);
    EXPECT_EQ(r.keyAWrite, row.keyAWrite) << row.condition;
    EXPECT_EQ(r.accessRead, row.accessRead) << row.condition;
    EXPECT_EQ(r.accessWrite, row.accessWrite) << row.condition;
    EXPECT_EQ(r.keyBRead, row.keyBRead) << row.condition;
    EXPECT_EQ(r.keyBWrite, row.keyBWrite) << row.condition;
    EXPECT_EQ(KeyBReadable(row.condition), row.keyBRead != kNobody) << row.condition;
  }
}

TEST(AccessBits, GroupOfEachBlock) {
  EXPECT_EQ(AccessGroup(4), 0);
  EXPECT_EQ(AccessGroup(6), 2);
  EXPECT_EQ(AccessGroup(7), kTrailerGroup);
  EXPECT_EQ(AccessGroup(128), 0);
  EXPECT_EQ(AccessGroup(132), 0);
  EXPECT_EQ(AccessGroup(133), 1);
  EXPECT_EQ(AccessGroup(142), 2);
  EXPECT_EQ(AccessGroup(143), kTrailerGroup);
}

TEST(Serials, UidAndCheckByte) {
  auto s = ParseSerial("1A7B8C54B9");
  ASSERT_TRUE(s);
  EXPECT_EQ(s->uid, *ParseHex("1A7B8C54"));
  EXPECT_TRUE(s->bccOk);
  EXPECT_FALSE(ParseSerial("1A7B8C54B8")->bccOk);
  EXPECT_FALSE(ParseSerial("1A7B8C54"));
}

}  // namespace
}  // namespace mzcard
