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

// A reader whose reads answer `result`, and hand back `held` when they succeed.
class ReadBackReader : public CardCalls {
 public:
  int32_t result = 0;
  Bytes held;
  int32_t Request(bool, uint16_t*) override { return 0; }
  int32_t Anticollision(std::string*) override { return 0; }
  int32_t Select(const std::string&, uint8_t*) override { return 0; }
  int32_t LoadKey(int, int, const Bytes&) override { return 0; }
  int32_t Authenticate(int, int, int) override { return 0; }
  int32_t Read(int, Bytes* data) override {
    if (result == 0) *data = held;
    return result;
  }
  int32_t Write(int, const Bytes&) override { return 0; }
  int32_t Increment(int, int32_t) override { return 0; }
  int32_t Decrement(int, int32_t) override { return 0; }
  int32_t Transfer(int) override { return 0; }
  int32_t Halt() override { return 0; }
};

TEST(ReadBack, OnlyARefusalByTheConditionsIsNotVerifiable) {
  // A read the conditions forbid leaves the write unchecked, with a note; a
  // read that fails any other way is a failure of the write, never a note.
  const Bytes sent = Hex("00112233445566778899AABBCCDDEEFF");
  Bytes other = sent;
  other[0] ^= 0x80;
  struct Case {
    int32_t result;
    Bytes held;
    bool checked;
    const char* failure;  // part of the failure text; null: none
    const char* note;     // null: no note
  };
  const Case cases[] = {
      {0, sent, true, nullptr, nullptr},
      {0, other, true, "block 4 (sector 1) does not hold what was written", nullptr},
      {kNoPermission, {}, false, nullptr, "not verifiable: key A may not read the block"},
      {kNoCard, {}, false, "block 4 (sector 1) was written but could not be read back", nullptr},
      {24, {}, false, "could not be read back", nullptr},
      {kExchangeFailed, {}, false, "could not be read back", nullptr},
  };
  for (const Case& c : cases) {
    ReadBackReader reader;
    reader.result = c.result;
    reader.held = c.held;
    CardSession session(reader, PackedKeys());
    WriteOutcome outcome;
    ReadBack(session, 4, sent, kKeyA, &outcome);
    EXPECT_EQ(outcome.checked, c.checked) << c.result;
    if (c.failure) {
      EXPECT_NE(outcome.failure.find(c.failure), std::string::npos)
          << c.result << ": " << outcome.failure;
    } else {
      EXPECT_EQ(outcome.failure, "") << c.result;
    }
    EXPECT_EQ(outcome.notes.size(), c.note ? 1u : 0u) << c.result;
    if (c.note && !outcome.notes.empty()) {
      EXPECT_EQ(outcome.notes[0], c.note) << c.result;
    }
  }
}

}  // namespace
}  // namespace zubtool
