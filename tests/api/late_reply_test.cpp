// A reply that comes too late, or a read that reports bytes it never wrote,
// must never reach the host as the answer to another call: the exports
// either give the call's own data or fail.
#include <functional>

#include "fixture.h"

namespace mzt {
namespace {

using LateReplies = ExportTest;

const char* kBlock4 = "14 50 01 00 40 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F";
const char* kBlock5 = "14 50 01 00 50 51 52 53 54 55 56 57 58 59 5A 5B 5C 5D 5E 5F";

TEST_F(LateReplies, AReadAfterALateReplyGetsItsOwnBlock) {
  Open();
  GuardedBuffer data(33);                 // the documented size of a block buffer
  EXPECT_EQ(mif_Read(4, &data.ptr), -2);  // block 4's reply is late...
  EXPECT_TRUE(data.Untouched());
  ReplyChecked(kBlock4);  // ...and arrives after the read gave up
  AnswerChecked(kBlock5);
  EXPECT_EQ(mif_Read(5, &data.ptr), 0);
  EXPECT_EQ(data.Text(), "505152535455565758595A5B5C5D5E5F");
  EXPECT_TRUE(data.GuardIntact());
}

TEST_F(LateReplies, OtherCommandsAfterALateReplySucceed) {
  Open();
  GuardedBuffer data(33);  // the documented size of a block buffer
  EXPECT_EQ(mif_Read(4, &data.ptr), -2);
  ReplyChecked(kBlock4);
  AnswerChecked("04 F3 01 00");
  AnswerChecked("04 D0 01 00");
  AnswerChecked(kBlock5);
  EXPECT_EQ(zub_beep(1), 0);
  EXPECT_EQ(mif_Halt(), 0);
  EXPECT_EQ(mif_Read(5, &data.ptr), 0);
  EXPECT_EQ(data.Text(), "505152535455565758595A5B5C5D5E5F");
}

// Reads that fail without touching the count or the buffer, whatever they
// return: the request still sitting in the frame buffer must not pass as
// the reply.
TEST_F(LateReplies, ReadsThatTouchNothingFailTheCall) {
  int32_t n = 77;
  GuardedBuffer data(33);  // the documented size of a block buffer
  struct Case {
    const char* name;
    std::function<int32_t()> call;
  } cases[] = {
      {"mif_Read", [&] { return mif_Read(0, &data.ptr); }},
      {"zub_beep", [] { return zub_beep(1); }},
      {"mif_Request", [&] { return mif_Request(1, &n); }},
      {"mif_Halt", [] { return mif_Halt(); }},
  };
  for (const Case& c : cases) {
    for (int32_t result : {0, 1}) {
      SCOPED_TRACE(std::string(c.name) + (result ? ", returns TRUE" : ", returns FALSE"));
      Open();
      dbl_read_untouched_next(result);
      EXPECT_EQ(c.call(), -2);
      EXPECT_EQ(n, 77);
      EXPECT_TRUE(data.Untouched());
      // The link works afterwards.
      AnswerChecked("04 D0 01 00");
      EXPECT_EQ(mif_Halt(), 0);
    }
  }
}

}  // namespace
}  // namespace mzt
