// Reading the status and the fields of a reply text, and the request text
// built from bytes: what the exports and the PC/SC driver both rely on.
#include "reply.h"

#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "qvcomm.h"

namespace mzub {
namespace {

std::string Text(ReplyField field) {
  return std::string(field.text, field.length);
}

TEST(ParseReply, StatusAndFields) {
  struct Case {
    const char* text;  // the reply's bytes 2 to L
    bool ok;
    int status;
    bool ownStatus;
    const char* fields;  // from character 5 on
  } cases[] = {
      {"", false, 0, false, ""},
      {"01", false, 0, false, ""},      // the lead byte alone
      {"01D", false, 0, false, ""},     // cut inside the status pair
      {"0155", true, 0x55, false, ""},  // lead and check byte: the check stands as status
      {"0100D5", true, 0, true, "D5"},
      {"010AD5", true, 10, true, "D5"},
      {"01ff00", true, 255, true, "00"},  // lower case is read too
      {"0100A1B2C3D4E5F6", true, 0, true, "A1B2C3D4E5F6"},
      {"01G0D5", false, 0, false, ""},  // a status that is not hex
  };
  for (const Case& c : cases) {
    ReplyParts parts{};
    ASSERT_EQ(ParseReply(c.text, strlen(c.text), &parts), c.ok) << c.text;
    if (!c.ok) continue;
    EXPECT_EQ(parts.status, c.status) << c.text;
    EXPECT_EQ(parts.ownStatus, c.ownStatus) << c.text;
    EXPECT_EQ(std::string(parts.fields, parts.fieldsLength), c.fields) << c.text;
  }
}

TEST(ParseReply, FailureLeavesThePartsAlone) {
  ReplyParts parts{7, true, "x", 1};
  EXPECT_FALSE(ParseReply(nullptr, 0, &parts));
  EXPECT_FALSE(ParseReply("010", 3, &parts));
  EXPECT_EQ(parts.status, 7);
  EXPECT_STREQ(parts.fields, "x");
}

TEST(ParseReply, ReadsOnlyTheLengthGiven) {
  // The text need not end with a zero byte: what follows is not looked at.
  const char text[] = "0100D5FFFF";
  ReplyParts parts{};
  ASSERT_TRUE(ParseReply(text, 6, &parts));
  EXPECT_EQ(Text(FieldText(parts, 32)), "D5");
  uint8_t bytes[16];
  EXPECT_EQ(FieldBytes(parts, bytes, sizeof bytes), 0u);
}

TEST(FieldText, ShortRepliesGiveWhatTheyHold) {
  struct Case {
    const char* text;
    size_t chars;
    const char* field;
  } cases[] = {
      {"0100A1B2C3D4E5F6", 10, "A1B2C3D4E5"},  // the field, not the check byte
      {"0100A1B2C3D4E5", 10, "A1B2C3D4E5"},    // one byte short: the check byte is in it
      {"0100A1B2", 10, "A1B2"},
      {"0100D5", 2, "D5"},  // no field byte at all: the check byte
      {"0155", 2, ""},      // nothing after the status
  };
  for (const Case& c : cases) {
    ReplyParts parts{};
    ASSERT_TRUE(ParseReply(c.text, strlen(c.text), &parts)) << c.text;
    EXPECT_EQ(Text(FieldText(parts, c.chars)), c.field) << c.text;
  }
}

TEST(FieldNumber, FirstPairMostSignificant) {
  struct Case {
    const char* text;
    size_t chars;
    bool ok;
    uint32_t value;
  } cases[] = {
      {"0100040019", 4, true, 0x0400},  // ATQA 04 00
      {"0100080C", 2, true, 0x08},      // SAK
      {"010035", 2, true, 0x35},        // a select reply with no SAK: its check byte
      {"0100", 2, false, 0},            // nothing after the status
      {"0100FFFFFFFFAA", 8, true, 0xFFFFFFFFu},
      {"0100ab", 2, true, 0xAB},
      {"01000Z", 2, false, 0},
  };
  for (const Case& c : cases) {
    ReplyParts parts{};
    ASSERT_TRUE(ParseReply(c.text, strlen(c.text), &parts)) << c.text;
    uint32_t value = 12345;
    EXPECT_EQ(FieldNumber(parts, c.chars, &value), c.ok) << c.text;
    EXPECT_EQ(value, c.ok ? c.value : 12345u) << c.text;
  }
}

TEST(FieldBytes, OnlyWhatStandsBeforeTheCheckByte) {
  struct Case {
    const char* text;
    size_t capacity;
    const char* bytes;  // as hex
  } cases[] = {
      {"0100A1B2C3D4E5F6", 16, "A1B2C3D4E5"},
      {"0100A1B2C3D4E5F6", 3, "A1B2C3"},  // no more than the room given
      {"0100D5", 16, ""},
      {"0155", 16, ""},  // no status of its own: no fields either
      {"0100a1b2FF", 16, "A1B2"},
      {"0100A1ZZB2FF", 16, "A1"},  // a pair that is not hex ends the fields
  };
  for (const Case& c : cases) {
    ReplyParts parts{};
    ASSERT_TRUE(ParseReply(c.text, strlen(c.text), &parts)) << c.text;
    uint8_t out[16] = {};
    const size_t n = FieldBytes(parts, out, c.capacity);
    char hex[2 * sizeof out + 1];
    ToHex(out, n, hex, sizeof hex);
    EXPECT_STREQ(hex, c.bytes) << c.text;
  }
}

TEST(AppendBytes, SameTextAsByteByByte) {
  const uint8_t bytes[] = {0x00, 0x0A, 0x7F, 0x80, 0xFF};
  TQVcomm once, each;
  once.BeginRequest(0x60);
  once.AppendBytes(bytes, sizeof bytes);
  once.AppendBytes(nullptr, 0);
  each.BeginRequest(0x60);
  for (uint8_t b : bytes) each.AppendByte(b);
  EXPECT_STREQ(once.RequestText(), "01000A7F80FF");
  EXPECT_STREQ(each.RequestText(), once.RequestText());
  EXPECT_EQ(once.RequestTextLength(), 12u);
}

TEST(AppendBytes, BytesThatDoNotFitRefuseTheRequest) {
  // 253 data bytes fit a frame: the lead byte and 252 more.
  const uint8_t block[252] = {};
  TQVcomm link;
  link.Opened = true;  // framing only: nothing is written
  link.BeginRequest(0x60);
  link.AppendBytes(block, sizeof block);
  EXPECT_EQ(link.RequestTextLength(), kMaxRequestHex - 1);
  link.AppendByte(0x01);  // the 254th
  EXPECT_EQ(link.RequestTextLength(), kMaxRequestHex - 1);
  link.AppendBytes(block, 0);  // and the request stays refused
  EXPECT_EQ(link.Transact(100, 1, 1), LinkResult::kNotFramed);
  // A fresh request is framed again.
  link.BeginRequest(0x60);
  link.AppendBytes(block, sizeof block);
  uint8_t frame[kFrameCapacity];
  size_t length = 0;
  EXPECT_EQ(BuildRequest(link.Command, link.RequestText(), link.RequestTextLength(), frame,
                         sizeof frame, &length),
            BuildResult::kOk);
  EXPECT_EQ(length, kFrameCapacity);
}

}  // namespace
}  // namespace mzub
