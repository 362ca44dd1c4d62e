// Conditions in short words, as the workbench's tables and the JSON dump
// format spell them, and their bits.
#include <gtest/gtest.h>

#include "access_text.h"

namespace mzcard {
namespace {

TEST(AccessText, RightsInShortWordsEachSpelling) {
  const struct {
    KeySet keys;
    const char* slash;
    const char* joined;
  } cases[] = {
      {kByA, "A", "A"}, {kByB, "B", "B"}, {kByAorB, "A/B", "AB"}, {kNobody, "never", "never"}};
  for (const auto& c : cases) {
    EXPECT_STREQ(RightsText(c.keys, BothKeys::kSlash), c.slash);
    EXPECT_STREQ(RightsText(c.keys, BothKeys::kJoined), c.joined);
  }
}

TEST(AccessText, ConditionBitsAreC1C2C3AndParseBack) {
  EXPECT_EQ(ConditionBits(0b000), "000");
  EXPECT_EQ(ConditionBits(0b001), "001");
  EXPECT_EQ(ConditionBits(0b100), "100");
  EXPECT_EQ(ConditionBits(0b110), "110");
  for (int c = 0; c < 8; ++c) {
    EXPECT_EQ(ParseCondition(ConditionBits(c), false), c);
    EXPECT_EQ(ParseCondition(ConditionBits(c), true), c);
  }
}

}  // namespace
}  // namespace mzcard
