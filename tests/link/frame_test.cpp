// Request framing and reply checking, as pure functions.
#include "frame.h"

#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "vendor.h"

namespace mzub {
namespace {

using mzt::Hex;
using mzt::HexOf;

// Frames a request into a 256-byte buffer; "" when it is refused.
std::string Request(uint8_t command, const std::string& hex, BuildResult* result = nullptr) {
  uint8_t frame[kFrameCapacity];
  size_t length = 0;
  const BuildResult r = BuildRequest(command, hex.data(), hex.size(), frame, sizeof frame, &length);
  if (result != nullptr) *result = r;
  return r == BuildResult::kOk ? HexOf(mzt::Bytes(frame, frame + length)) : "";
}

TEST(BuildRequest, Examples) {
  struct Case {
    uint8_t command;
    const char* hex;
    const char* frame;
  } cases[] = {
      {0xD0, "01", "03 D0 01 D2"},      {0x50, "0104", "04 50 01 04 51"},
      {0x50, "010", "03 50 01 52"},  // a final odd character is ignored
      {0x60, "01ab", "04 60 01 AB CE"}, {0x60, "01AB", "04 60 01 AB CE"},
      {0x42, "", "02 42 40"},  // no data bytes
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Request(c.command, c.hex), c.frame) << c.hex;
  }
}

TEST(BuildRequest, RefusesPairsThatAreNotHex) {
  for (const char* hex : {"01ZZ", "01 5", "01+5", "015 ", "01x5", "01G0", "01\x80\x81", "0-"}) {
    BuildResult result;
    EXPECT_EQ(Request(0x30, hex, &result), "") << hex;
    EXPECT_EQ(result, BuildResult::kNotHex) << hex;
  }
  // Only pairs are examined: a stray odd character is dropped unseen.
  EXPECT_EQ(Request(0x30, "01Z"), "03 30 01 32");
}

TEST(BuildRequest, LongestFrameAndTheFirstTooLong) {
  for (size_t chars : {506u, 507u}) {
    const std::string frame = Request(0x60, std::string(chars, 'F'));
    const mzt::Bytes bytes = Hex(frame);
    ASSERT_EQ(bytes.size(), 256u) << chars;
    EXPECT_EQ(bytes[0], 255);
    uint8_t x = 0;
    for (uint8_t b : bytes) x ^= b;
    EXPECT_EQ(x, 0);
  }
  BuildResult result;
  EXPECT_EQ(Request(0x60, std::string(508, 'F'), &result), "");
  EXPECT_EQ(result, BuildResult::kTooLong);
}

TEST(BuildRequest, RespectsTheCallersCapacity) {
  uint8_t frame[8];
  memset(frame, 0xEE, sizeof frame);
  size_t length = 99;
  EXPECT_EQ(BuildRequest(0x50, "0102030405", 10, frame, 7, &length), BuildResult::kNoRoom);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(frame[0], 0xEE);  // nothing written
  EXPECT_EQ(BuildRequest(0x50, "0102030405", 10, frame, 8, &length), BuildResult::kOk);
  EXPECT_EQ(length, 8u);
}

TEST(CheckReply, JudgesOnlyTheBytesReceived) {
  struct Case {
    const char* received;
    bool ok;
    const char* body;
  } cases[] = {
      {"04 D0 01 00 D5", true, "01 00 D5"},
      {"04 D0 01 00 D5 11 22", true, "01 00 D5"},  // trailing bytes ignored
      {"04 D0 01 00 D4", false, ""},
      {"04 D0 01 00", false, ""},  // fewer than L+1 bytes
      {"", false, ""},
      {"00", false, ""},  // no command byte
      {"00 D0", true, ""},
      {"01 01", true, ""},
      {"02 D0 D2", true, "D2"},
      {"1F D0", false, ""},
  };
  for (const Case& c : cases) {
    const mzt::Bytes in = Hex(c.received);
    Reply reply{};
    EXPECT_EQ(CheckReply(in.data(), in.size(), &reply), c.ok) << c.received;
    if (c.ok) {
      EXPECT_EQ(HexOf(mzt::Bytes(reply.body, reply.body + reply.bodyLen)), c.body) << c.received;
      EXPECT_EQ(reply.command, in[1]);
    }
  }
}

TEST(Hex, DigitsAndWriting) {
  EXPECT_EQ(HexDigit('0'), 0);
  EXPECT_EQ(HexDigit('f'), 15);
  EXPECT_EQ(HexDigit('F'), 15);
  EXPECT_EQ(HexDigit('g'), -1);
  EXPECT_EQ(HexDigit('\xC6'), -1);
  char out[7];
  const uint8_t bytes[] = {0x0A, 0xFF, 0x00};
  EXPECT_EQ(ToHex(bytes, 3, out, sizeof out), 6u);
  EXPECT_STREQ(out, "0AFF00");
  EXPECT_EQ(ToHex(bytes, 3, out, 6), 0u);  // no room for the zero byte
  EXPECT_STREQ(out, "");
  out[0] = 'x';
  EXPECT_EQ(ToHex(bytes, 3, out, 0), 0u);  // no room at all: nothing written
  EXPECT_EQ(out[0], 'x');
}

}  // namespace
}  // namespace mzub
