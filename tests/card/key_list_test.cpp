// Keys files as the common card tools write them.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "key_list.h"

namespace mzcard {
namespace {

Bytes Key(const char* hex) {
  return *ParseHex(hex);
}

TEST(KeyLists, DictionaryLayouts) {
  struct Case {
    const char* name;
    std::string text;
    std::vector<Bytes> keys;
    std::vector<int> skippedLines;
  };
  const Bytes ff(6, 0xFF), a0 = Key("A0A1A2A3A4A5"), d3 = Key("D3F7D3F7D3F7");
  const Case cases[] = {
      {"empty", "", {}, {}},
      {"one key a line", "FFFFFFFFFFFF\nA0A1A2A3A4A5\n", {ff, a0}, {}},
      {"no newline at the end", "FFFFFFFFFFFF\nA0A1A2A3A4A5", {ff, a0}, {}},
      {"either case", "a0a1A2a3A4a5\n", {a0}, {}},
      {"CRLF line ends", "FFFFFFFFFFFF\r\nA0A1A2A3A4A5\r\n", {ff, a0}, {}},
      {"byte order mark",
       "\xEF\xBB\xBF"
       "FFFFFFFFFFFF\n",
       {ff},
       {}},
      {"whole-line comments", "# site keys\n#A0A1A2A3A4A5\nFFFFFFFFFFFF\n", {ff}, {}},
      {"trailing comments", "FFFFFFFFFFFF # transport\nA0A1A2A3A4A5#MAD\n", {ff, a0}, {}},
      {"blank and space-only lines", "\n   \n\t\nFFFFFFFFFFFF\n\n", {ff}, {}},
      {"spaces around and inside", "  A0 A1 A2 A3 A4 A5  \n\tD3F7 D3F7D3F7\t\n", {a0, d3}, {}},
      {"first occurrence kept, in order",
       "D3F7D3F7D3F7\nFFFFFFFFFFFF\nd3f7d3f7d3f7\nA0A1A2A3A4A5\n",
       {d3, ff, a0},
       {}},
      {"too short", "FFFFFFFFFFFF\nFFFFFFFFFF\nA0A1A2A3A4A5\n", {ff, a0}, {2}},
      {"too long", "FFFFFFFFFFFFFF\n", {}, {1}},
      {"odd digit in a pair", "FFFFFFFFFFF\n", {}, {1}},
      {"not hex", "FFFFFFFFFFFG\nkey: FFFFFFFFFFFF\n", {}, {1, 2}},
      {"two keys on a line", "FFFFFFFFFFFF A0A1A2A3A4A5\n", {}, {1}},
      {"separators other tools do not write", "A0:A1:A2:A3:A4:A5\n", {}, {1}},
      {"line numbers count comments and blanks", "# head\n\nFFFFFFFFFFFF\nxyz # note\n", {ff}, {4}},
      {"a byte order mark cut short is text", "\xEF\xBB", {}, {1}},
      {"a byte order mark only at the start",
       "FFFFFFFFFFFF\n\xEF\xBB\xBF"
       "A0A1A2A3A4A5\n",
       {ff},
       {2}},
      {"a CR inside a line", "FFFFFFFFFFFF\rA0\n", {}, {1}},
  };
  for (const auto& c : cases) {
    const KeyList list = ReadKeyList(c.text);
    EXPECT_EQ(list.keys, c.keys) << c.name;
    std::vector<int> lines;
    for (const auto& s : list.skipped) lines.push_back(s.line);
    EXPECT_EQ(lines, c.skippedLines) << c.name;
    EXPECT_EQ(list.skippedLines, c.skippedLines.size()) << c.name;
    // A file is read in pieces: a line, and the byte order mark, may span
    // them. One byte at a time reads the same.
    KeyListReader reader;
    for (char ch : c.text) reader.Feed(&ch, 1);
    const KeyList fed = reader.Finish();
    EXPECT_EQ(fed.keys, list.keys) << c.name;
    ASSERT_EQ(fed.skipped.size(), list.skipped.size()) << c.name;
    for (size_t i = 0; i < fed.skipped.size(); ++i) {
      EXPECT_EQ(SkippedLineText(fed.skipped[i]), SkippedLineText(list.skipped[i])) << c.name;
    }
  }
}

TEST(KeyLists, SkippedLinesBeyondThoseListedAreCounted) {
  KeyListReader reader(2);
  reader.Feed("xx\nFFFFFFFFFFFF\nyy\nzz\n" + std::string(100000, 'q'));
  const KeyList list = reader.Finish();
  ASSERT_EQ(list.skipped.size(), 2u);
  EXPECT_EQ(list.skipped[1].line, 3);
  EXPECT_EQ(list.skippedLines, 4u);
  EXPECT_EQ(list.keys.size(), 1u);
}

TEST(KeyLists, SkippedLinesAreShownAsWritten) {
  const KeyList list =
      ReadKeyList("FFFFFFFFFFFF\n  not a key  \r\n" + std::string(100, 'F') + "\n\t" +
                  std::string(39, 'x') + " y\n" + std::string(40, 'z') + "   \t\n");
  ASSERT_EQ(list.skipped.size(), 4u);
  EXPECT_EQ(SkippedLineText(list.skipped[0]), "line 2: not a key of 12 hex digits: 'not a key'");
  // A long line is cut, so that a binary file given by mistake stays readable.
  EXPECT_EQ(list.skipped[1].text, std::string(40, 'F') + "...");
  EXPECT_EQ(list.skipped[2].text, std::string(39, 'x') + " ...");
  EXPECT_EQ(list.skipped[3].text, std::string(40, 'z'));  // only spaces past the 40th
  EXPECT_EQ(list.keys.size(), 1u);
}

TEST(KeyLists, DuplicatesAreCounted) {
  const KeyList list = ReadKeyList("FFFFFFFFFFFF\nffffffffffff\nFF FF FF FF FF FF # again\n");
  EXPECT_EQ(list.keys.size(), 1u);
  EXPECT_EQ(list.duplicates, 2u);
}

TEST(KeyLists, HundredsOfThousandsOfKeysReadInLinearTime) {
  // Distinct keys, a quarter of them written twice. Ten times the keys takes
  // about ten times as long for a linear reader and a hundred times for a
  // quadratic one (which takes minutes for 300,000); the bound holds on an
  // instrumented build too.
  const auto listOf = [](uint64_t count) {
    std::string text;
    for (uint64_t i = 0; i < count; ++i) {
      char line[16];
      std::snprintf(line, sizeof line, "%012llX\n", static_cast<unsigned long long>(i * 7919));
      text += line;
      if (i % 4 == 0) text += line;
    }
    return text;
  };
  const auto timed = [](const std::string& text, KeyList* list) {
    const auto start = std::chrono::steady_clock::now();
    *list = ReadKeyList(text);
    return std::chrono::steady_clock::now() - start;
  };
  const std::string small = listOf(30000), large = listOf(300000);
  KeyList list;
  const auto tookSmall = timed(small, &list);
  EXPECT_EQ(list.keys.size(), 30000u);
  const auto tookLarge = timed(large, &list);
  EXPECT_EQ(list.keys.size(), 300000u);
  EXPECT_EQ(list.duplicates, 75000u);
  EXPECT_EQ(list.keys[1], Key("000000001EEF"));
  EXPECT_LT(tookLarge,
            std::max<std::chrono::steady_clock::duration>(std::chrono::seconds(2), 40 * tookSmall));
}

TEST(UniqueKeys, KeepsTheFirstOfEach) {
  UniqueKeys keys;
  EXPECT_TRUE(keys.Add(Key("A0A1A2A3A4A5")));
  EXPECT_TRUE(keys.Add(Bytes(6, 0xFF)));
  EXPECT_FALSE(keys.Add(Key("A0A1A2A3A4A5")));
  EXPECT_FALSE(keys.Add(Key("A0A1A2A3A4")));  // not a key
  EXPECT_TRUE(keys.Contains(Bytes(6, 0xFF)));
  EXPECT_FALSE(keys.Contains(Bytes(6, 0x00)));
  EXPECT_EQ(keys.Take(), (std::vector<Bytes>{Key("A0A1A2A3A4A5"), Bytes(6, 0xFF)}));
}

TEST(PackedKeys, HoldKeysInOrderAcrossBlocks) {
  // Past several blocks of keys, with every third key written again later
  // and lists joined where a block is full and where it is not.
  const uint64_t count = 10000;
  PackedKeys keys;
  for (uint64_t i = 0; i < count; ++i) keys.Push(i * 0x1000001ull);
  for (uint64_t i = 0; i < count; i += 3) keys.Push(i * 0x1000001ull);
  EXPECT_EQ(keys.size(), count + (count + 2) / 3);
  EXPECT_EQ(keys[1], Key("000001000001"));
  EXPECT_EQ(keys.RemoveDuplicates(), (count + 2) / 3);
  ASSERT_EQ(keys.size(), count);
  bool inOrder = true;
  for (uint64_t i = 0; i < count; ++i) inOrder = inOrder && keys.Value(i) == i * 0x1000001ull;
  EXPECT_TRUE(inOrder);

  for (size_t head : {size_t{0}, size_t{4096}, size_t{5}}) {
    PackedKeys joined;
    for (size_t i = 0; i < head; ++i) joined.Push(uint64_t{0xABCDEF000000} + i);
    PackedKeys tail = keys;
    joined.Append(std::move(tail));
    EXPECT_TRUE(tail.empty());
    ASSERT_EQ(joined.size(), head + count) << head;
    EXPECT_EQ(joined.Value(head), keys.Value(0)) << head;
    EXPECT_EQ(joined.Value(head + count - 1), keys.Value(count - 1)) << head;
    joined.Push(Key("A0A1A2A3A4A5"));
    EXPECT_TRUE(joined.Contains(Key("A0A1A2A3A4A5")));
    EXPECT_EQ(joined.RemoveDuplicates(), 0u);
  }
  EXPECT_FALSE(keys.Push(Key("A0A1A2")));
  EXPECT_EQ(PackedKeys({Key("A0A1A2A3A4A5"), Bytes(6, 0xFF)}).ToBytes(),
            (std::vector<Bytes>{Key("A0A1A2A3A4A5"), Bytes(6, 0xFF)}));
}

TEST(KeyLists, FingerprintFollowsTheKeysAndTheirOrder) {
  const std::vector<Bytes> ab = {Key("A0A1A2A3A4A5"), Key("B0B1B2B3B4B5")};
  const std::vector<Bytes> ba = {ab[1], ab[0]};
  EXPECT_EQ(KeyListFingerprint(ab), KeyListFingerprint(ab));
  EXPECT_NE(KeyListFingerprint(ab), KeyListFingerprint(ba));
  EXPECT_NE(KeyListFingerprint(ab), KeyListFingerprint({ab[0]}));
  EXPECT_EQ(KeyListFingerprint({}).size(), 16u);
}

}  // namespace
}  // namespace mzcard
