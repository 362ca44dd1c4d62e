// TQVcomm against the scripted vendor double: what Transact returns, which
// the exports fold into -2, and the reply fields a failed check leaves.
#include "qvcomm.h"

#include <string>

#include <gtest/gtest.h>

#include "vendor.h"

namespace mzub {
namespace {

class Link : public ::testing::Test {
 protected:
  void SetUp() override {
    dbl_reset();
    ASSERT_TRUE(link.OpenDevice());
    dbl_reset();
  }
  void Request(uint8_t command, const char* text) {
    link.BeginRequest(command);
    link.AppendText(text + 2);  // after the lead byte "01"
  }
  std::string ReplyHex() const { return link.ReplyText(); }
  TQVcomm link;
};

TEST_F(Link, TransactResults) {
  struct Case {
    const char* reply;
    int32_t result;
  } cases[] = {
      {"04 D0 01 00 D5", 0},  {"", -1},
      {"04 D0 01 00 D4", -2}, {"04 50 01 00 55", 0x50},  // another command: its echoed byte
      {"04 00 01 00 05", -2},                            // an echoed 0 is a failure all the same
  };
  for (const Case& c : cases) {
    mzt::Reply(c.reply);
    Request(0xD0, "01");
    EXPECT_EQ(link.Transact(100, 1, 1), c.result) << c.reply;
  }
}

TEST_F(Link, TransactWithNoAttemptsLeftSendsNothing) {
  Request(0xD0, "01");
  EXPECT_EQ(link.Transact(100, 0, 1), -9);
  EXPECT_EQ(link.Transact(100, 1, 0), -9);
  EXPECT_EQ(dbl_event_count(), 0u);
}

TEST_F(Link, RepliesAreKeptUntilTheNextGoodOne) {
  mzt::Reply("04 D0 01 00 D5");
  Request(0xD0, "01");
  ASSERT_EQ(link.Transact(100, 1, 1), 0);
  EXPECT_EQ(ReplyHex(), "0100D5");
  EXPECT_EQ(link.ReplyCommand, 0xD0);

  mzt::Reply("05 50 01 00 AA FF");  // wrong check byte: length noted, fields kept
  Request(0x50, "0104");
  EXPECT_EQ(link.Transact(100, 1, 1), -2);
  EXPECT_EQ(link.ReplyLength, 5);
  EXPECT_EQ(ReplyHex(), "0100D5");
  EXPECT_EQ(link.ReplyCommand, 0xD0);

  mzt::Reply("01 01");  // L 1: passes with an empty text
  EXPECT_EQ(link.ReceiveFrame(100), 0);
  EXPECT_EQ(ReplyHex(), "");
}

TEST_F(Link, ARefusedRequestWritesNothingAndAwaitsNothing) {
  Request(0x30, "01ZZ");
  EXPECT_EQ(link.SendFrame(), kNotFramed);
  EXPECT_EQ(link.Transact(100, 1, 1), kNotFramed);
  link.BeginRequest(0x60);
  for (int i = 0; i < 300; ++i) link.AppendText("AB");
  EXPECT_EQ(link.RequestTextLength(), kMaxRequestHex);
  EXPECT_EQ(link.Transact(100, 1, 1), kNotFramed);
  EXPECT_EQ(dbl_event_count(), 0u);
}

TEST_F(Link, AClosedLinkSendsNothing) {
  ASSERT_TRUE(link.CloseDevice());
  Request(0xD0, "01");
  EXPECT_EQ(link.SendFrame(), kNotOpen);
  EXPECT_EQ(link.Transact(100, 1, 1), kNotOpen);  // and awaits no reply
  EXPECT_EQ(mzt::Calls(), "close(0)");
}

TEST_F(Link, SendReturnsTheLengthByte) {
  Request(0x50, "0104");
  EXPECT_EQ(link.SendFrame(), 4);
  EXPECT_EQ(link.FrameLength, 5);
  dbl_fault_next(DBL_WRITE);
  EXPECT_EQ(link.SendFrame(), kWriteFault);
}

TEST_F(Link, ReceiveResults) {
  EXPECT_EQ(link.ReceiveFrame(250), kNoReply);
  EXPECT_EQ(mzt::Calls(), "timeout(0,250,250) read(32)");
  dbl_fault_next(DBL_READ);
  EXPECT_EQ(link.ReceiveFrame(100), kReadFailed);
  dbl_fault_next(DBL_SET_TIMEOUT);
  EXPECT_EQ(link.ReceiveFrame(100), kReadFailed);
}

TEST_F(Link, CloseFaultKeepsTheLinkOpen) {
  dbl_fault_next(DBL_CLOSE);
  EXPECT_FALSE(link.CloseDevice());
  EXPECT_TRUE(link.Opened);
}

}  // namespace
}  // namespace mzub
