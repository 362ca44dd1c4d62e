// The card commands: the frame each sends, the outputs cut from the reply,
// and what is left alone when there is no link or the exchange fails.
#include <functional>

#include "fixture.h"

namespace mzt {
namespace {

using CardCommands = ExportTest;

// Every card command but mif_Halt, with the frame it sends for typical
// arguments.
struct Sent {
  const char* name;
  std::function<int32_t()> call;
  const char* frame;
};

std::vector<Sent> TypicalCommands(int32_t* n, char** text) {
  return {
      {"request all", [=] { return mif_Request(1, n); }, "03 11 01 13"},
      {"request idle", [=] { return mif_Request(0, n); }, "03 10 01 12"},
      {"request mode 2", [=] { return mif_Request(2, n); }, "03 10 01 12"},
      {"request mode -1", [=] { return mif_Request(-1, n); }, "03 10 01 12"},
      {"anticollision", [=] { return mif_Anticollision(text); }, "03 20 01 22"},
      {"select", [=] { return mif_Select("A1B2C3D4", n); }, "07 30 01 A1 B2 C3 D4 32"},
      {"load key", [] { return mif_LoadKey(0, 1, "a0a1a2A3A4A5"); },
       "0B E0 01 00 01 A0 A1 A2 A3 A4 A5 EA"},
      {"authentication", [] { return mif_Authentication(0, 1, 4); }, "06 40 01 00 01 04 42"},
      {"read", [=] { return mif_Read(4, text); }, "04 50 01 04 51"},
      {"write", [] { return mif_Write(4, "000102030405060708090A0B0C0D0E0F"); },
       "14 60 01 04 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 71"},
      {"write null", [] { return mif_Write(4, nullptr); }, "04 60 01 04 61"},
      {"increment", [] { return mif_Increment(8, 0x12345678); }, "08 70 01 08 78 56 34 12 79"},
      {"decrement -1", [] { return mif_Decrement(8, -1); }, "08 80 01 08 FF FF FF FF 81"},
      {"decrement 1", [] { return mif_Decrement(8, 1); }, "08 80 01 08 01 00 00 00 80"},
      {"restore", [] { return mif_Restore(5); }, "04 90 01 05 90"},
      {"transfer", [] { return mif_Transfer(5); }, "04 A0 01 05 A0"},
      {"halt", [] { return mif_Halt(); }, "03 D0 01 D2"},
  };
}

TEST_F(CardCommands, EachSendsItsFrameAndReturnsTheStatus) {
  int32_t n = 0;
  char buffer[64];
  char* text = buffer;
  for (const Sent& c : TypicalCommands(&n, &text)) {
    SCOPED_TRACE(c.name);
    Open();
    const std::string frame = c.frame;
    // Echo the command with status 9.
    ReplyChecked("04 " + frame.substr(3, 2) + " 01 09");
    EXPECT_EQ(c.call(), 9);
    EXPECT_EQ(Frames(), std::vector<std::string>{c.frame});
    EXPECT_EQ(Calls(),
              "write(" + std::to_string(Hex(c.frame).size()) + ") timeout(0,100,100) read(32)");
  }
}

TEST_F(CardCommands, WithoutALinkNothingIsSentAndOutputsStay) {
  int32_t n = 77;
  GuardedBuffer buffer(40);
  for (const Sent& c : TypicalCommands(&n, &buffer.ptr)) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.call(), -1);
  }
  EXPECT_EQ(n, 77);
  EXPECT_TRUE(buffer.Untouched());
  EXPECT_EQ(dbl_event_count(), 0u);
}

TEST_F(CardCommands, AFailedExchangeLeavesOutputsAlone) {
  int32_t n = 77;
  GuardedBuffer buffer(40);
  for (const Sent& c : TypicalCommands(&n, &buffer.ptr)) {
    SCOPED_TRACE(c.name);
    Open();
    EXPECT_EQ(c.call(), -2);  // no reply
  }
  EXPECT_EQ(n, 77);
  EXPECT_TRUE(buffer.Untouched());
}

// A byte argument outside 0 to 255 would be written with more digits and
// shift every pair after it: it is refused, after the link test, and nothing
// is sent.
TEST_F(CardCommands, ByteArgumentsOutsideAByteAreRefused) {
  char buffer[64];
  char* text = buffer;
  const std::vector<std::pair<const char*, std::function<int32_t()>>> cases = {
      {"read 256", [&] { return mif_Read(256, &text); }},
      {"read -1", [&] { return mif_Read(-1, &text); }},
      {"write 260", [] { return mif_Write(260, "00112233445566778899AABBCCDDEEFF"); }},
      {"increment 300", [] { return mif_Increment(300, 1); }},
      {"decrement -5", [] { return mif_Decrement(-5, 1); }},
      {"restore 300", [] { return mif_Restore(300); }},
      {"transfer 256", [] { return mif_Transfer(256); }},
      {"load key a", [] { return mif_LoadKey(256, 0, "FFFFFFFFFFFF"); }},
      {"load key b", [] { return mif_LoadKey(0, -1, "FFFFFFFFFFFF"); }},
      {"auth a", [] { return mif_Authentication(1000, 0, 4); }},
      {"auth b", [] { return mif_Authentication(0, 256, 4); }},
      {"auth c", [] { return mif_Authentication(0, 0, 0x10000); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    EXPECT_EQ(c.second(), -1);  // the link test comes first
    Open();
    EXPECT_EQ(c.second(), -2);
    EXPECT_EQ(dbl_event_count(), 0u);
    CloseComm();
  }
  Open();
  ReplyChecked("04 50 01 00");
  EXPECT_EQ(mif_Read(255, &text), 0);  // the edge of the range passes
  EXPECT_EQ(Frames(), std::vector<std::string>{"04 50 01 FF AA"});
}

// Host texts go to the reader unchanged; a request that no frame can carry
// (a pair that is not hexadecimal, more than 253 data bytes) is refused:
// nothing is written and no reply is awaited.
TEST_F(CardCommands, HostTextsAreFramedOrRefusedWhole) {
  struct Case {
    const char* name;
    std::string data;
    const char* frame;  // null: refused
  } cases[] = {
      {"odd final character dropped", "A1B2C3D", "06 30 01 A1 B2 C3 E7"},
      {"lower case", "a1b2c3d4", "07 30 01 A1 B2 C3 D4 32"},
      {"space", "A1 2C3D4", nullptr},
      {"sign", "+1B2C3D4", nullptr},
      {"letter after F", "A1B2C3G4", nullptr},
      {"high bytes", "A1B2\xC4\xC5", nullptr},
      {"empty", "", "03 30 01 32"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Open();
    int32_t size = 5;
    ReplyChecked("05 30 01 00 08");
    if (c.frame == nullptr) {
      EXPECT_EQ(mif_Select(c.data.c_str(), &size), -2);
      EXPECT_EQ(dbl_event_count(), 0u) << Calls();
      EXPECT_EQ(size, 5);
    } else {
      EXPECT_EQ(mif_Select(c.data.c_str(), &size), 0);
      EXPECT_EQ(Frames(), std::vector<std::string>{c.frame});
      EXPECT_EQ(size, 8);
    }
  }
}

TEST_F(CardCommands, LongestFrameableTextsAndTheFirstTooLong) {
  // "01", the block's two digits, then the host's text: 507 characters in
  // all still fit one frame (253 data bytes and an ignored odd character).
  for (size_t length : {502u, 503u, 504u, 5000u}) {
    SCOPED_TRACE(length);
    Open();
    const std::string data(length, 'A');
    ReplyChecked("04 60 01 00");
    if (length <= 503) {
      EXPECT_EQ(mif_Write(4, data.c_str()), 0);
      const Bytes frame = Hex(Frames().at(0));
      EXPECT_EQ(frame.size(), 2u + 253u + 1u);
      EXPECT_EQ(frame[0], 255);
    } else {
      EXPECT_EQ(mif_Write(4, data.c_str()), -2);
      EXPECT_EQ(dbl_event_count(), 0u);
    }
  }
}

TEST_F(CardCommands, RequestGivesTheTagTypeAsOneNumber) {
  Open();
  int32_t tagType = -5;
  ReplyChecked("06 11 01 00 04 00");
  EXPECT_EQ(mif_Request(1, &tagType), 0);
  EXPECT_EQ(tagType, 0x0400);
  ReplyChecked("06 10 01 01 04 00");
  EXPECT_EQ(mif_Request(0, &tagType), 1);
  EXPECT_EQ(tagType, 0);
}

TEST_F(CardCommands, SelectGivesTheSizeAndShortRepliesFillFromTheCheckByte) {
  Open();
  int32_t size = -5;
  ReplyChecked("05 30 01 00 08");
  EXPECT_EQ(mif_Select("1A7B8C54", &size), 0);
  EXPECT_EQ(size, 8);
  // No byte after the status: the field takes the check byte.
  Reply("04 30 01 00 35");
  EXPECT_EQ(mif_Select("1A7B8C54", &size), 0);
  EXPECT_EQ(size, 53);
  // Status 0 and nothing after it (here the check byte is the status): the
  // number cannot be read.
  size = -5;
  Reply("03 30 33 00");
  EXPECT_EQ(mif_Select("1A7B8C54", &size), -2);
  EXPECT_EQ(size, -5);
  Reply("03 11 12 00");
  int32_t tagType = -5;
  EXPECT_EQ(mif_Request(1, &tagType), -2);
  EXPECT_EQ(tagType, -5);
}

TEST_F(CardCommands, AnticollisionWritesExactlyTheSerial) {
  Open();
  GuardedBuffer serial(11);
  ReplyChecked("0B 20 01 00 1A 7B 8C 54 B9 EE EE");  // longer than the field
  EXPECT_EQ(mif_Anticollision(&serial.ptr), 0);
  EXPECT_EQ(serial.Text(), "1A7B8C54B9");
  EXPECT_TRUE(serial.GuardIntact());
}

TEST_F(CardCommands, ReadFillsTheBlockOrEmptiesTheBufferOnAStatus) {
  Open();
  GuardedBuffer data(33);
  ReplyChecked("14 50 01 00 00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF");
  EXPECT_EQ(mif_Read(4, &data.ptr), 0);
  EXPECT_EQ(data.Text(), "00112233445566778899AABBCCDDEEFF");
  EXPECT_EQ(data.bytes[32], '\0');
  EXPECT_TRUE(data.GuardIntact());

  ReplyChecked("04 50 01 04");
  EXPECT_EQ(mif_Read(4, &data.ptr), 4);
  EXPECT_EQ(data.bytes[0], '\0');
  // Only the zero byte was written.
  EXPECT_EQ(std::string(&data.bytes[1], 31), "0112233445566778899AABBCCDDEEFF");
}

TEST_F(CardCommands, ShortReadRepliesGiveWhatTheReplyHolds) {
  Open();
  GuardedBuffer data(33);
  ReplyChecked("06 50 01 00 AB CD");
  EXPECT_EQ(mif_Read(4, &data.ptr), 0);
  // Two data bytes and the check byte.
  EXPECT_EQ(data.Text(), "ABCD" + HexOf({static_cast<uint8_t>(0x06 ^ 0x50 ^ 0x01 ^ 0xAB ^ 0xCD)}));
  Reply("03 50 01 52");
  EXPECT_EQ(mif_Read(4, &data.ptr), 0x52);  // the status position holds the check byte
  EXPECT_EQ(data.bytes[0], '\0');
  EXPECT_TRUE(data.GuardIntact());
}

TEST_F(CardCommands, NullOutputsAreNeverWrittenThrough) {
  Open();
  char* nothing = nullptr;
  ReplyChecked("06 11 01 00 04 00");
  EXPECT_EQ(mif_Request(1, nullptr), 0);
  ReplyChecked("09 20 01 00 1A 7B 8C 54 B9");
  EXPECT_EQ(mif_Anticollision(nullptr), 0);
  ReplyChecked("09 20 01 00 1A 7B 8C 54 B9");
  EXPECT_EQ(mif_Anticollision(&nothing), 0);
  ReplyChecked("05 30 01 00 08");
  EXPECT_EQ(mif_Select("1A7B8C54", nullptr), 0);
  ReplyChecked("04 50 01 04");
  EXPECT_EQ(mif_Read(4, nullptr), 4);
  ReplyChecked("04 50 01 04");
  EXPECT_EQ(mif_Read(4, &nothing), 4);
}

}  // namespace
}  // namespace mzt
