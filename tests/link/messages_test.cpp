// The message table's formatter on its own: a buffer smaller than the
// message is never overrun and always terminated.
#include "messages.h"

#include <string.h>

#include <gtest/gtest.h>

namespace mzub {
namespace {

TEST(MessageText, TruncatesToTheCallersCapacity) {
  char out[8];
  memset(out, '#', sizeof out);
  EXPECT_EQ(MessageText(-7, out, 5), 4u);  // "错误：-7" cut to its first 4 bytes
  EXPECT_EQ(memcmp(out, "\xB4\xED\xCE\xF3", 5), 0);
  EXPECT_EQ(out[5], '#');
  EXPECT_EQ(MessageText(0, out, 2), 1u);  // "O"
  EXPECT_STREQ(out, "O");
  out[0] = '#';
  EXPECT_EQ(MessageText(0, out, 0), 0u);
  EXPECT_EQ(out[0], '#');
}

TEST(MessageText, LongestMessageFitsEighteenBytes) {
  char out[18];
  EXPECT_EQ(MessageText(-2147483647 - 1, out, sizeof out), 17u);
  EXPECT_EQ(MessageText(5, out, sizeof out), 16u);
}

}  // namespace
}  // namespace mzub
