// The directory: its CRC against the published vector, reading and building
// MAD1 and MAD2, and a bad CRC reported rather than trusted.
#include <gtest/gtest.h>

#include <algorithm>

#include "mad.h"

namespace mzcard {
namespace {

Bytes MadHex(const std::string& text) {
  return *ParseHex(text);
}

// Blocks 1 and 2 of a 1K whose every sector is the NFC Forum's.
const char* const kAllNdef1 =
    "14 01 03E1 03E1 03E1 03E1 03E1 03E1 03E1 03E1 03E1 03E1 03E1 03E1 03E1 03E1 03E1";

TEST(Mad, CrcOfPublishedDirectories) {
  const Bytes first = MadHex(kAllNdef1);
  EXPECT_EQ(MadCrc(first.data() + 1, first.size() - 1), 0x14);
  // A change of any byte after the CRC changes the CRC.
  for (size_t i = 1; i < first.size(); ++i) {
    Bytes changed = first;
    changed[i] ^= 0x01;
    EXPECT_NE(MadCrc(changed.data() + 1, changed.size() - 1), 0x14) << "byte " << i;
  }
}

TEST(Mad, ReadsMad1AndJudgesItsCrc) {
  const struct {
    const char* name;
    std::string part1;
    bool crcOk;
    uint8_t expected;
  } cases[] = {
      {"published vector", kAllNdef1, true, 0x14},
      {"CRC byte wrong", std::string("15") + (kAllNdef1 + 2), false, 0x14},
      {"an entry changed", std::string(kAllNdef1).replace(6, 4, "03E2"), false, 0},
  };
  for (const auto& c : cases) {
    std::string error;
    auto mad = ParseMad(MadHex(c.part1), {}, 16, &error);
    ASSERT_TRUE(mad) << c.name << ": " << error;
    EXPECT_EQ(mad->crcOk, c.crcOk) << c.name;
    if (c.expected) {
      EXPECT_EQ(mad->expectedCrc1, c.expected) << c.name;
    }
    EXPECT_EQ(mad->version, 1);
    EXPECT_EQ(mad->publisher, 1) << c.name;
    EXPECT_EQ(mad->entries[15], kMadNdef) << c.name;
  }
}

TEST(Mad, RefusesPartsOfTheWrongSize) {
  std::string error;
  EXPECT_FALSE(ParseMad(Bytes(31, 0), {}, 16, &error));
  EXPECT_NE(error.find("32 bytes"), std::string::npos) << error;
  EXPECT_FALSE(ParseMad(Bytes(32, 0), Bytes(47, 0), 40, &error));
  EXPECT_FALSE(ParseMad(Bytes(32, 0), Bytes(48, 0), 16, &error));
}

TEST(Mad, BuildsWhatItReads) {
  const struct {
    const char* name;
    int sectors;
    std::vector<int> nfc;
  } cases[] = {
      {"Mini, sectors 1 to 4", 5, {1, 2, 3, 4}},
      {"1K, every sector", 16, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}},
      {"4K, sectors 15, 17 and 39", 40, {15, 17, 39}},
  };
  for (const auto& c : cases) {
    std::vector<MadEntry> entries(static_cast<size_t>(c.sectors), kMadFree);
    for (int s : c.nfc) entries[static_cast<size_t>(s)] = kMadNdef;
    auto parts = BuildMad(entries, c.sectors, 1);
    EXPECT_EQ(parts.first.size(), 32u) << c.name;
    EXPECT_EQ(parts.second.size(), c.sectors > 16 ? 48u : 0u) << c.name;
    std::string error;
    auto mad = ParseMad(parts.first, parts.second, c.sectors, &error);
    ASSERT_TRUE(mad) << c.name << ": " << error;
    EXPECT_TRUE(mad->crcOk) << c.name;
    for (int s = 1; s < static_cast<int>(mad->entries.size()); ++s) {
      if (s == 16) continue;
      const bool nfc = std::find(c.nfc.begin(), c.nfc.end(), s) != c.nfc.end();
      const MadEntry want = nfc ? kMadNdef : s >= c.sectors ? kMadNotApplicable : kMadFree;
      EXPECT_EQ(mad->entries[static_cast<size_t>(s)], want) << c.name << ", sector " << s;
    }
  }
  // The published 1K: byte for byte.
  std::vector<MadEntry> all(16, kMadNdef);
  EXPECT_EQ(HexText(BuildMad(all, 16, 1).first), HexText(MadHex(kAllNdef1)));
}

TEST(Mad, EntriesAndTrailersMean) {
  EXPECT_EQ(MadEntryMeaning(kMadFree), "free");
  EXPECT_EQ(MadEntryMeaning(kMadNdef), "NFC Forum (NDEF)");
  EXPECT_EQ(MadEntryMeaning({0x01, 0x00}), "defective");
  EXPECT_EQ(MadVersionOfGpb(0xC1), 1);
  EXPECT_EQ(MadVersionOfGpb(0xC2), 2);
  EXPECT_EQ(MadVersionOfGpb(0x69), 0);  // the transport trailer's byte 9
  const Bytes keyB(6, 0xFF);
  EXPECT_EQ(HexText(MadTrailer(1, keyB, false)), "A0A1A2A3A4A5787788C1FFFFFFFFFFFF");
  // Read-only: key A reads, nobody writes, the trailer frozen.
  const Bytes locked = MadTrailer(2, keyB, true);
  auto conditions = DecodeAccessBits(locked);
  ASSERT_TRUE(conditions);
  EXPECT_EQ(DataRights(conditions->group[0]).write, kNobody);
  EXPECT_EQ(DataRights(conditions->group[0]).read & kByA, kByA);
  EXPECT_EQ(TrailerRightsOf(conditions->group[3]).accessWrite, kNobody);
  EXPECT_EQ(locked[9], 0xC2);
}

}  // namespace
}  // namespace mzcard
