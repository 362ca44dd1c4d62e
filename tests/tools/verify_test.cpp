// The read-back comparison on its own: which parts of a block, and of a
// trailer under each kind of conditions, a write is checked by.
#include <gtest/gtest.h>

#include "verify.h"

namespace zubtool {
namespace {

Bytes Hex(const char* text) {
  return *ParseHex(text);
}

TEST(CompareReadBack, DataBlocksCompareWhole) {
  std::vector<std::string> notes;
  const Bytes sent = Hex("00112233445566778899AABBCCDDEEFF");
  EXPECT_EQ(CompareReadBack(4, sent, sent, kKeyA, &notes), "");
  Bytes held = sent;
  held[15] ^= 1;
  EXPECT_EQ(CompareReadBack(4, sent, held, kKeyA, &notes), "the block");
  EXPECT_EQ(CompareReadBack(4, sent, Bytes(3, 0), kKeyA, &notes), "the block");
  EXPECT_TRUE(notes.empty());
}

TEST(CompareReadBack, TrailersCompareWhatTheKeyMayRead) {
  struct Case {
    const char* sent;
    const char* held;  // as the card shows it: key A zeros, hidden parts zeros
    int keyType;
    const char* differs;
    const char* note;  // one of the notes expected
  };
  const Case cases[] = {
      // transport conditions (001): key A reads the bits and key B
      {"FFFFFFFFFFFF FF078069 A0A1A2A3A4A5", "000000000000 FF078069 A0A1A2A3A4A5", kKeyA, "",
       "key A not verifiable"},
      {"FFFFFFFFFFFF FF078069 A0A1A2A3A4A5", "000000000000 FF078069 FFFFFFFFFFFF", kKeyA, "key B",
       "key A not verifiable"},
      {"FFFFFFFFFFFF FF078069 A0A1A2A3A4A5", "000000000000 FF078000 A0A1A2A3A4A5", kKeyA,
       "access bits and byte 9", "key A not verifiable"},
      // key-b conditions (011): key B hidden, the bits readable by both keys
      {"FFFFFFFFFFFF 7F078869 A0A1A2A3A4A5", "000000000000 7F078869 000000000000", kKeyB, "",
       "key B not verifiable (the conditions hide it)"},
      {"FFFFFFFFFFFF 7F078869 A0A1A2A3A4A5", "000000000000 FF078069 000000000000", kKeyB,
       "access bits and byte 9", "key A not verifiable"},
      // key B opened a sector whose conditions show key B only to key A
      {"FFFFFFFFFFFF FF078069 A0A1A2A3A4A5", "000000000000 FF078069 000000000000", kKeyB, "",
       "access bits not verifiable (key B may not read them)"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> notes;
    EXPECT_EQ(CompareReadBack(7, Hex(c.sent), Hex(c.held), c.keyType, &notes), c.differs)
        << c.sent << " / " << c.held;
    bool found = false;
    for (const auto& n : notes) found = found || n == c.note;
    EXPECT_TRUE(found) << c.sent << ": no note '" << c.note << "'";
  }
}

}  // namespace
}  // namespace zubtool
