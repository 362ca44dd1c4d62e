// The message table: ErrMsg's text for every result code, byte for byte in
// GBK (the expected bytes were produced by iconv -t GBK from the texts), and
// the table's formatter on its own, which never overruns a smaller buffer.
#include <string.h>

#include "fixture.h"
#include "messages.h"

namespace mzt {
namespace {

std::string Message(int32_t code) {
  GuardedBuffer buffer(18);
  ErrMsg(code, &buffer.ptr);
  EXPECT_TRUE(buffer.GuardIntact()) << code;
  return HexOf(Bytes(buffer.bytes.begin(), buffer.bytes.begin() + buffer.Text().size() + 1));
}

TEST(Messages, EveryTableCode) {
  const std::vector<std::pair<int32_t, const char*>> table = {
      {0, "4F 4B"},                                            // OK
      {1, "C3 BB D3 D0 BF A8 BB F2 C3 DC C2 EB B4 ED"},        // 没有卡或密码错
      {2, "BF A8 CD A8 D1 B6 43 52 43 D0 A3 D1 E9 B4 ED"},     // 卡通讯CRC校验错
      {3, "CA FD D6 B5 D2 E7 B3 F6"},                          // 数值溢出
      {4, "C3 DC C2 EB B4 ED"},                                // 密码错
      {5, "BF A8 CD A8 D1 B6 C6 E6 C5 BC D0 A3 D1 E9 B4 ED"},  // 卡通讯奇偶校验错
      {6, "BF A8 CD A8 D1 B6 B4 ED"},                          // 卡通讯错
      {8, "CE DE D0 A7 B5 C4 D0 BE C6 AC BA C5"},              // 无效的芯片号
      {16, "CE DE B6 C1 D0 B4 C8 A8 CF DE"},                   // 无读写权限
      {17, "BF A8 CD A8 D1 B6 CE BB CA FD B4 ED"},             // 卡通讯位数错
      {18, "BF A8 CD A8 D1 B6 D7 D6 BD DA CA FD B4 ED"},       // 卡通讯字节数错
      {19, "B5 C8 B4 FD 44 56"},                               // 等待DV
      {20, "D6 B5 B1 A3 B4 E6 B4 ED"},                         // 值保存错
      {21, "D0 B4 BF A8 B4 ED"},                               // 写卡错
      {22, "D4 F6 D6 B5 B2 D9 D7 F7 B4 ED"},                   // 增值操作错
      {23, "BC F5 D6 B5 B2 D9 D7 F7 B4 ED"},                   // 减值操作错
      {24, "B6 C1 BF A8 B4 ED"},                               // 读卡错
      {32, "50 4F 4C 4C"},                                     // POLL
      {255, "B9 A6 C4 DC CE B4 CA B5 CF D6"},                  // 功能未实现
      {-1, "B4 AE BF DA B4 ED"},                               // 串口错
      {-2, "B4 AE BF DA CD A8 D1 B6 B4 ED"},                   // 串口通讯错
  };
  for (const auto& entry : table) {
    EXPECT_EQ(Message(entry.first), std::string(entry.second) + " 00") << entry.first;
  }
}

// Every other code: 错误： (B4 ED CE F3 A3 BA) and the code in decimal.
TEST(Messages, OtherCodesGiveTheCodeInDecimal) {
  const std::vector<std::pair<int32_t, const char*>> others = {
      {7, "37"},
      {9, "39"},
      {25, "32 35"},
      {33, "33 33"},
      {254, "32 35 34"},
      {256, "32 35 36"},
      {-3, "2D 33"},
      {2147483647, "32 31 34 37 34 38 33 36 34 37"},
      {-2147483647 - 1, "2D 32 31 34 37 34 38 33 36 34 38"},
  };
  for (const auto& entry : others) {
    EXPECT_EQ(Message(entry.first), "B4 ED CE F3 A3 BA " + std::string(entry.second) + " 00")
        << entry.first;
  }
}

TEST(Messages, NeedNoLinkAndIgnoreNullOutputs) {
  CloseComm();
  ErrMsg(0, nullptr);
  char* nothing = nullptr;
  ErrMsg(0, &nothing);
  EXPECT_EQ(Message(0), "4F 4B 00");
}

}  // namespace
}  // namespace mzt

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
