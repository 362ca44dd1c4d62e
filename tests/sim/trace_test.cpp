// What the trace says about frames, and where its lines go.
#include "trace.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace zubsim;
using Bytes = std::vector<uint8_t>;

TEST(TraceText, RequestsAndReplies) {
  struct Case {
    Bytes frame;
    const char* text;
  } requests[] = {
      {{0x04, 0x50, 0x01, 0x04, 0x51}, "read block 4"},
      {{0x03, 0x11, 0x01, 0x13}, "request all"},
      {{0x03, 0xD0, 0x01, 0xD2}, "halt"},
      {{0x06, 0x40, 0x01, 0x01, 0x02, 0x08, 0x4C}, "authenticate block 8 with key B from slot 2"},
      {{0x08, 0x70, 0x01, 0x08, 0x78, 0x56, 0x34, 0x12, 0x79}, "increment block 8 by 305419896"},
      {{0x08, 0x80, 0x01, 0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0x81}, "decrement block 8 by -1"},
      {{0x04, 0xF3, 0x01, 0x01, 0xF7}, "beeper on"},
      {{0x05, 0xF1, 0x01, 0x02, 0x01, 0xF6}, "LED 2 on"},
      {{0x04, 0x50, 0x01, 0x04, 0x50}, "wrong check byte, no reply"},
      {{0x03, 0x42, 0x01, 0x40}, "unknown command 42"},
  };
  for (const Case& c : requests) {
    EXPECT_EQ(describe_request(c.frame.data(), c.frame.size()), c.text)
        << hex_bytes(c.frame.data(), c.frame.size());
  }
  const Bytes ok = {0x04, 0xD0, 0x01, 0x00, 0xD5};
  EXPECT_EQ(describe_reply(ok.data(), ok.size()), "ok");
  const Bytes wrong_key = {0x04, 0x40, 0x01, 0x04, 0x41};
  EXPECT_EQ(describe_reply(wrong_key.data(), wrong_key.size()), "status 4: wrong key");
  const Bytes atqa = {0x06, 0x11, 0x01, 0x00, 0x04, 0x00, 0x12};
  EXPECT_EQ(describe_reply(atqa.data(), atqa.size()), "ok, ATQA 04 00");
  EXPECT_EQ(describe_reply(atqa.data(), 4), "truncated or overlong frame");
}

TEST(TraceLines, KeepsTheLastLinesAndTheLastError) {
  Trace trace;
  trace.start("off");
  for (size_t i = 0; i < Trace::kLines + 2; ++i) trace.line(std::to_string(i));
  const std::string text = trace.text();
  EXPECT_EQ(text.substr(0, 2), "2\n");
  EXPECT_EQ(text.substr(text.size() - 6), "10001\n");
  trace.warn("bad value");
  EXPECT_EQ(trace.last_error(), "bad value");
  EXPECT_NE(trace.text().find("## error: bad value\n"), std::string::npos);
  // Starting again forgets both.
  trace.start("off");
  EXPECT_EQ(trace.text(), "");
  EXPECT_EQ(trace.last_error(), "");
}

}  // namespace
