// TQVcomm against the scripted vendor double: what each step of an exchange
// reports (the exports fold all of it into -1 and -2), the reply fields a
// failed check leaves, and how a link that lost step with the reader gets
// back in step.
#include "qvcomm.h"

#include <string>

#include <gtest/gtest.h>

#include "vendor.h"

namespace mzub {
namespace {

using R = LinkResult;

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
  // Puts the link out of step: a halt that gets no reply.
  void LoseStep() {
    Request(0xD0, "01");
    ASSERT_EQ(link.Transact(100, 1, 1), R::kNoReply);
    ASSERT_FALSE(link.InStep());
    dbl_reset();
  }
  TQVcomm link;
};

// The reads a link out of step makes before it writes: the first brings
// `stale` replies, the last brings nothing.
std::string DrainCalls(int stale) {
  std::string calls;
  for (int i = 0; i <= stale; ++i) calls += "timeout(0,50,50) read(32) ";
  return calls;
}

TEST_F(Link, TransactResults) {
  struct Case {
    const char* reply;
    R result;
    uint8_t echoed;
  } cases[] = {
      {"04 D0 01 00 D5", R::kOk, 0xD0},
      {"", R::kNoReply, 0},
      {"04 D0 01 00 D4", R::kBadReply, 0},
      {"04 50 01 00 55", R::kOtherCommand, 0x50},  // a reply to another command
      {"04 00 01 00 05", R::kOtherCommand, 0x00},  // an echoed 0 is no exception
      // Short replies have a check byte too.
      {"03 D0 00 D4", R::kBadReply, 0},
      {"02 D0 D3", R::kBadReply, 0},
      {"01 D0", R::kBadReply, 0},
      {"03 D0 00 D3", R::kOk, 0xD0},
      {"04 D0 01", R::kBadReply, 0},  // cut short: the check byte never came
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    mzt::Answer(c.reply);
    Request(0xD0, "01");
    link.ReplyCommand = 0;
    EXPECT_EQ(link.Transact(100, 1, 1), c.result);
    EXPECT_EQ(link.ReplyCommand, c.echoed);
    EXPECT_EQ(link.InStep(), c.result == R::kOk);
  }
}

TEST_F(Link, TransactWithNoAttemptsLeftSendsNothing) {
  Request(0xD0, "01");
  EXPECT_EQ(link.Transact(100, 0, 1), R::kNoAttempt);
  EXPECT_EQ(link.Transact(100, 1, 0), R::kNoAttempt);
  EXPECT_EQ(dbl_event_count(), 0u);
}

TEST_F(Link, RepliesAreKeptUntilTheNextGoodOne) {
  mzt::Reply("04 D0 01 00 D5");
  Request(0xD0, "01");
  ASSERT_EQ(link.Transact(100, 1, 1), R::kOk);
  EXPECT_EQ(ReplyHex(), "0100D5");
  EXPECT_EQ(link.ReplyCommand, 0xD0);

  mzt::Reply("05 50 01 00 AA FF");  // wrong check byte: length noted, fields kept
  Request(0x50, "0104");
  EXPECT_EQ(link.Transact(100, 1, 1), R::kBadReply);
  EXPECT_EQ(link.ReplyLength, 5);
  EXPECT_EQ(ReplyHex(), "0100D5");
  EXPECT_EQ(link.ReplyCommand, 0xD0);

  mzt::Reply("01 01");  // L 1: passes with an empty text
  EXPECT_EQ(link.ReceiveFrame(100), R::kOk);
  EXPECT_EQ(ReplyHex(), "");
}

TEST_F(Link, ARefusedRequestWritesNothingAndAwaitsNothing) {
  Request(0x30, "01ZZ");
  EXPECT_EQ(link.SendFrame(), R::kNotFramed);
  EXPECT_EQ(link.Transact(100, 1, 1), R::kNotFramed);
  link.BeginRequest(0x60);
  for (int i = 0; i < 300; ++i) link.AppendText("AB");
  EXPECT_EQ(link.RequestTextLength(), kMaxRequestHex);
  EXPECT_EQ(link.Transact(100, 1, 1), R::kNotFramed);
  EXPECT_EQ(dbl_event_count(), 0u);
}

TEST_F(Link, AClosedLinkSendsNothing) {
  ASSERT_TRUE(link.CloseDevice());
  Request(0xD0, "01");
  EXPECT_EQ(link.SendFrame(), R::kNotOpen);
  EXPECT_EQ(link.Transact(100, 1, 1), R::kNotOpen);  // and awaits no reply
  EXPECT_EQ(mzt::Calls(), "close(0)");
}

TEST_F(Link, SendWritesTheFrame) {
  Request(0x50, "0104");
  EXPECT_EQ(link.SendFrame(), R::kOk);
  EXPECT_EQ(link.Frame[0], 4);
  EXPECT_EQ(link.FrameLength, 5);
  dbl_fault_next(DBL_WRITE);
  EXPECT_EQ(link.SendFrame(), R::kWriteFault);
}

TEST_F(Link, ReceiveResults) {
  EXPECT_EQ(link.ReceiveFrame(250), R::kNoReply);
  EXPECT_EQ(mzt::Calls(), "timeout(0,250,250) read(32)");
  dbl_fault_next(DBL_READ);
  EXPECT_EQ(link.ReceiveFrame(100), R::kReadFailed);
  dbl_fault_next(DBL_SET_TIMEOUT);
  EXPECT_EQ(link.ReceiveFrame(100), R::kReadFailed);
  const uint8_t reply[] = {0x04, 0xD0, 0x01, 0x00, 0xD5};
  dbl_queue_reply_count(reply, sizeof reply, 33);  // more than it was given room for
  EXPECT_EQ(link.ReceiveFrame(100), R::kReadFailed);
  dbl_queue_reply_count(reply, sizeof reply, 0x80000000u);
  EXPECT_EQ(link.ReceiveFrame(100), R::kReadFailed);
}

TEST_F(Link, CloseFaultKeepsTheLinkOpen) {
  dbl_fault_next(DBL_CLOSE);
  EXPECT_FALSE(link.CloseDevice());
  EXPECT_TRUE(link.Opened);
}

// ---- Reads that hand back a count for bytes they never wrote ---------------

TEST_F(Link, ARequestLeftInTheBufferNeverPassesAsItsReply) {
  // The halt request 03 D0 01 D2 would pass the check as its own reply.
  for (int32_t result : {0, 1}) {
    SCOPED_TRACE(result);
    ASSERT_TRUE(link.OpenDevice());  // in step
    Request(0xD0, "01");
    dbl_read_untouched_next(result);
    EXPECT_EQ(link.Transact(100, 1, 1), R::kBadReply);
    EXPECT_FALSE(link.InStep());
  }
  // Nor does a read that reports four bytes and writes only the first.
  ASSERT_TRUE(link.OpenDevice());
  const uint8_t lengthOnly[] = {0x03};
  dbl_queue_reply_count(lengthOnly, 1, 4);
  Request(0xD0, "01");
  EXPECT_EQ(link.Transact(100, 1, 1), R::kBadReply);
}

// ---- Back in step after a failed exchange ----------------------------------

TEST_F(Link, AnExchangeInStepIsOneWriteAndOneRead) {
  EXPECT_TRUE(link.InStep());
  mzt::AnswerChecked("04 D0 01 00");
  Request(0xD0, "01");
  ASSERT_EQ(link.Transact(100, 1, 1), R::kOk);
  EXPECT_EQ(mzt::Calls(), "write(4) timeout(0,100,100) read(32)");
}

TEST_F(Link, TheSameCommandAfterALateReplyGetsItsOwnData) {
  Request(0x50, "0104");
  ASSERT_EQ(link.Transact(100, 1, 1), R::kNoReply);
  // Block 4's reply arrives after the read gave up; block 5's follows the
  // next request.
  mzt::ReplyChecked("06 50 01 00 44 44");
  mzt::AnswerChecked("06 50 01 00 55 55");
  Request(0x50, "0105");
  ASSERT_EQ(link.Transact(100, 1, 1), R::kOk);
  EXPECT_EQ(ReplyHex().substr(0, 8), "01005555");
  EXPECT_TRUE(link.InStep());
}

TEST_F(Link, DrainingComesBeforeTheWriteAndOnlyAfterAFailure) {
  LoseStep();
  mzt::ReplyChecked("04 D0 01 00");  // the halt's late reply
  mzt::AnswerChecked("04 F3 01 00");
  Request(0xF3, "0101");
  ASSERT_EQ(link.Transact(100, 1, 1), R::kOk);
  EXPECT_EQ(mzt::Calls(), DrainCalls(1) + "write(5) timeout(0,100,100) read(32)");
  EXPECT_EQ(mzt::Frames(), std::vector<std::string>{"04 F3 01 01 F7"});
  // In step again: the next command is one write and one read.
  dbl_reset();
  mzt::AnswerChecked("04 D0 01 00");
  Request(0xD0, "01");
  ASSERT_EQ(link.Transact(100, 1, 1), R::kOk);
  EXPECT_EQ(mzt::Calls(), "write(4) timeout(0,100,100) read(32)");
}

TEST_F(Link, AnotherCommandAfterALateReplySucceedsAndSoDoesTheNext) {
  LoseStep();
  mzt::ReplyChecked("04 D0 01 00");
  mzt::AnswerChecked("06 50 01 00 12 34");
  mzt::AnswerChecked("04 D0 01 07");
  Request(0x50, "0104");
  ASSERT_EQ(link.Transact(100, 1, 1), R::kOk);
  EXPECT_EQ(ReplyHex().substr(0, 8), "01001234");
  Request(0xD0, "01");
  ASSERT_EQ(link.Transact(100, 1, 1), R::kOk);
  EXPECT_EQ(ReplyHex().substr(0, 4), "0107");
}

TEST_F(Link, TwoLateCopiesOfOneReplyAreBothDrained) {
  LoseStep();
  mzt::ReplyChecked("04 D0 01 00");
  mzt::ReplyChecked("04 D0 01 00");
  mzt::AnswerChecked("04 D0 01 05");
  Request(0xD0, "01");
  ASSERT_EQ(link.Transact(100, 1, 1), R::kOk);
  EXPECT_EQ(ReplyHex().substr(0, 4), "0105");
  EXPECT_EQ(mzt::CountCalls(DBL_READ), 4);
}

TEST_F(Link, ADamagedReplyFollowedByALateResend) {
  mzt::Answer("06 50 01 00 44 00");  // check byte wrong
  Request(0x50, "0104");
  ASSERT_EQ(link.Transact(100, 1, 1), R::kBadReply);
  mzt::ReplyChecked("06 50 01 00 44 44");  // the reader sends it again, late
  mzt::AnswerChecked("06 50 01 00 55 55");
  Request(0x50, "0105");
  ASSERT_EQ(link.Transact(100, 1, 1), R::kOk);
  EXPECT_EQ(ReplyHex().substr(0, 8), "01005555");
}

TEST_F(Link, ARefusedRequestAfterAFailureTouchesNoVendorCall) {
  LoseStep();
  Request(0x30, "01ZZ");
  EXPECT_EQ(link.Transact(100, 1, 1), R::kNotFramed);
  EXPECT_EQ(dbl_event_count(), 0u);
  // Still out of step: the next request that goes out drains first.
  mzt::AnswerChecked("04 D0 01 00");
  Request(0xD0, "01");
  ASSERT_EQ(link.Transact(100, 1, 1), R::kOk);
  EXPECT_EQ(mzt::Calls(), DrainCalls(0) + "write(4) timeout(0,100,100) read(32)");
}

TEST_F(Link, DrainingIsBounded) {
  LoseStep();
  for (int i = 0; i < 10; ++i) mzt::ReplyChecked("04 D0 01 00");
  Request(0xF3, "0101");
  // The reader keeps talking: after kMaxDrainReads reads the request goes out
  // all the same, and the stale reply it then reads is refused.
  EXPECT_EQ(link.Transact(100, 1, 1), R::kOtherCommand);
  EXPECT_EQ(mzt::CountCalls(DBL_READ), kMaxDrainReads + 1);
  EXPECT_EQ(mzt::CountCalls(DBL_WRITE), 1);
}

TEST_F(Link, AFaultWhileDrainingEndsTheDraining) {
  LoseStep();
  mzt::ReplyChecked("04 D0 01 00");  // the halt's late reply
  mzt::AnswerChecked("04 F3 01 00");
  dbl_fault_next(DBL_READ);
  Request(0xF3, "0101");
  // The first drain read faults: contained, the draining ends, the request
  // goes out, and the stale reply it then reads is refused.
  EXPECT_EQ(link.Transact(100, 1, 1), R::kOtherCommand);
  EXPECT_EQ(mzt::CountCalls(DBL_READ), 2);
  EXPECT_EQ(mzt::CountCalls(DBL_WRITE), 1);
  // The next exchange drains the beep's answer and gets its own.
  mzt::AnswerChecked("04 D0 01 00");
  Request(0xD0, "01");
  EXPECT_EQ(link.Transact(100, 1, 1), R::kOk);
}

TEST_F(Link, ALinkThatOpensIsInStep) {
  LoseStep();
  ASSERT_TRUE(link.CloseDevice());
  ASSERT_TRUE(link.OpenDevice());
  EXPECT_TRUE(link.InStep());
}

}  // namespace
}  // namespace mzub
