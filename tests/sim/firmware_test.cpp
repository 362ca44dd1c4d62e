// The reader firmware: replies byte for byte, and the reader's own state.
#include "config.h"
#include "firmware.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace zubsim;
using Bytes = std::vector<uint8_t>;

// Frames a request (lead byte included in `data`) and returns the reply.
Bytes send(ReaderFirmware& reader, uint8_t command, const Bytes& data) {
  uint8_t frame[64];
  const size_t n = build_request(command, data.data(), data.size(), frame, sizeof frame);
  EXPECT_NE(n, 0u);
  uint8_t reply[kMaxReply];
  return Bytes(reply, reply + reader.handle(frame, n, reply, sizeof reply));
}

uint8_t status_of(const Bytes& reply) {
  return reply.size() > 3 ? reply[3] : 0xEE;
}

ReaderFirmware reader_with_card(CardType type = CardType::k1K) {
  ReaderFirmware reader;
  reader.insert(Card(type, kDefaultUid));
  return reader;
}

void select_and_authenticate(ReaderFirmware& reader, uint8_t block) {
  ASSERT_EQ(status_of(send(reader, cmd::kRequestIdle, {0x01})), 0);
  ASSERT_EQ(status_of(send(reader, cmd::kSelect, {0x01, 0x1A, 0x7B, 0x8C, 0x54})), 0);
  ASSERT_EQ(
      status_of(send(reader, cmd::kLoadKey, {0x01, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})), 0);
  ASSERT_EQ(status_of(send(reader, cmd::kAuthenticate, {0x01, 0, 0, block})), 0);
}

TEST(Frames, BuildRequestAndReply) {
  uint8_t out[32];
  const uint8_t lead = 0x01;
  ASSERT_EQ(build_request(cmd::kHalt, &lead, 1, out, sizeof out), 4u);
  EXPECT_EQ(Bytes(out, out + 4), (Bytes{0x03, 0xD0, 0x01, 0xD2}));
  EXPECT_EQ(build_request(cmd::kHalt, &lead, 1, out, 3), 0u);
  ASSERT_EQ(build_reply(cmd::kHalt, Status::kOk, nullptr, 0, out, sizeof out), 5u);
  EXPECT_EQ(Bytes(out, out + 5), (Bytes{0x04, 0xD0, 0x01, 0x00, 0xD5}));
  EXPECT_EQ(build_reply(cmd::kHalt, Status::kOk, nullptr, 0, out, 4), 0u);
  EXPECT_TRUE(request_frame_ok(Bytes{0x04, 0x50, 0x01, 0x04, 0x51}.data(), 5));
  EXPECT_FALSE(request_frame_ok(Bytes{0x04, 0x50, 0x01, 0x04, 0x50}.data(), 5));
  EXPECT_FALSE(request_frame_ok(Bytes{0x04, 0x50, 0x01, 0x04, 0x51, 0x00}.data(), 6));
  EXPECT_FALSE(request_frame_ok(Bytes{0x00}.data(), 1));
}

TEST(FirmwareReplies, ByteForByte) {
  ReaderFirmware reader = reader_with_card();
  EXPECT_EQ(send(reader, cmd::kRequestAll, {0x01}),
            (Bytes{0x06, 0x11, 0x01, 0x00, 0x04, 0x00, 0x12}));
  EXPECT_EQ(send(reader, cmd::kAnticollision, {0x01}),
            (Bytes{0x09, 0x20, 0x01, 0x00, 0x1A, 0x7B, 0x8C, 0x54, 0xB9, 0x28}));
  EXPECT_EQ(send(reader, cmd::kSelect, {0x01, 0x1A, 0x7B, 0x8C, 0x54}),
            (Bytes{0x05, 0x30, 0x01, 0x00, 0x08, 0x3C}));
  EXPECT_EQ(send(reader, cmd::kLoadKey, {0x01, 0x00, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}),
            (Bytes{0x04, 0xE0, 0x01, 0x00, 0xE5}));
  EXPECT_EQ(send(reader, cmd::kAuthenticate, {0x01, 0x00, 0x01, 0x04}),
            (Bytes{0x04, 0x40, 0x01, 0x00, 0x45}));
  Bytes read = {0x14, 0x50, 0x01, 0x00};
  read.resize(20, 0x00);
  read.push_back(0x45);
  EXPECT_EQ(send(reader, cmd::kRead, {0x01, 0x04}), read);
  EXPECT_EQ(send(reader, cmd::kHalt, {0x01}), (Bytes{0x04, 0xD0, 0x01, 0x00, 0xD5}));
  // A second halt finds no selected card.
  EXPECT_EQ(send(reader, cmd::kHalt, {0x01}), (Bytes{0x04, 0xD0, 0x01, 0x01, 0xD4}));
  EXPECT_EQ(send(reader, 0x42, {0x01}), (Bytes{0x04, 0x42, 0x01, 0xFF, 0xB8}));
  EXPECT_EQ(send(reader, cmd::kRead, {0x01}), (Bytes{0x04, 0x50, 0x01, 0x12, 0x47}));
}

TEST(FirmwareReplies, WrongCheckByteGetsNoReply) {
  ReaderFirmware reader = reader_with_card();
  const uint8_t frames[][5] = {{0x03, 0x11, 0x01, 0x12}, {0x04, 0x50, 0x01, 0x04, 0x50}};
  uint8_t reply[kMaxReply];
  EXPECT_EQ(reader.handle(frames[0], 4, reply, sizeof reply), 0u);
  EXPECT_EQ(reader.handle(frames[1], 5, reply, sizeof reply), 0u);
  // The card saw nothing: it is still idle and answers a request.
  EXPECT_EQ(status_of(send(reader, cmd::kRequestIdle, {0x01})), 0);
}

TEST(FirmwareReplies, DataLengthsAreChecked) {
  ReaderFirmware reader = reader_with_card();
  struct Case {
    uint8_t command;
    size_t good;
  } cases[] = {{cmd::kRequestIdle, 1},  {cmd::kAnticollision, 1}, {cmd::kLoadKey, 9},
               {cmd::kAuthenticate, 4}, {cmd::kRead, 2},          {cmd::kWrite, 18},
               {cmd::kIncrement, 6},    {cmd::kDecrement, 6},     {cmd::kRestore, 2},
               {cmd::kTransfer, 2},     {cmd::kHalt, 1},          {cmd::kBeep, 2},
               {cmd::kLed, 3},          {cmd::kLedLevel, 2}};
  for (const Case& c : cases) {
    EXPECT_EQ(status_of(send(reader, c.command, Bytes(c.good + 1, 0x01))), 18) << int(c.command);
    EXPECT_EQ(status_of(send(reader, c.command, Bytes(c.good - 1, 0x01))), 18) << int(c.command);
  }
  EXPECT_EQ(status_of(send(reader, cmd::kSelect, Bytes(4, 0x01))), 18);
  EXPECT_EQ(status_of(send(reader, cmd::kSelect, Bytes(7, 0x01))), 18);
}

TEST(FirmwareReplies, SelectWithAndWithoutBcc) {
  ReaderFirmware reader = reader_with_card();
  send(reader, cmd::kRequestIdle, {0x01});
  EXPECT_EQ(status_of(send(reader, cmd::kSelect, {0x01, 0x1A, 0x7B, 0x8C, 0x54, 0xB8})), 1);
  EXPECT_EQ(status_of(send(reader, cmd::kSelect, {0x01, 0x1A, 0x7B, 0x8C, 0x54, 0xB9})), 0);
}

TEST(FirmwareKeyStore, SlotsAndKeyTypes) {
  ReaderFirmware reader = reader_with_card();
  send(reader, cmd::kRequestIdle, {0x01});
  send(reader, cmd::kSelect, {0x01, 0x1A, 0x7B, 0x8C, 0x54});
  // Nothing stored in slot 5: refused without disturbing the card.
  EXPECT_EQ(status_of(send(reader, cmd::kAuthenticate, {0x01, 0x00, 0x05, 0x04})), 4);
  EXPECT_EQ(reader.card()->state(), CardState::kActive);
  EXPECT_EQ(status_of(send(reader, cmd::kLoadKey, {0x01, 0x02, 0x05, 0, 0, 0, 0, 0, 0})), 255);
  ASSERT_EQ(status_of(send(reader, cmd::kLoadKey,
                           {0x01, 0x00, 0x05, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})),
            0);
  ASSERT_TRUE(reader.stored_key(KeyType::kA, 5).has_value());
  EXPECT_FALSE(reader.stored_key(KeyType::kB, 5).has_value());
  EXPECT_EQ(status_of(send(reader, cmd::kAuthenticate, {0x01, 0x02, 0x05, 0x04})), 255);
  EXPECT_EQ(status_of(send(reader, cmd::kAuthenticate, {0x01, 0x00, 0x05, 0x04})), 0);
  // A wrong key in a slot reaches the card, which then needs a new select.
  send(reader, cmd::kLoadKey, {0x01, 0x00, 0x06, 1, 2, 3, 4, 5, 6});
  EXPECT_EQ(status_of(send(reader, cmd::kAuthenticate, {0x01, 0x00, 0x06, 0x04})), 4);
  EXPECT_EQ(status_of(send(reader, cmd::kRead, {0x01, 0x04})), 1);
}

TEST(FirmwareCard, WriteIncrementTransferThroughFrames) {
  ReaderFirmware reader = reader_with_card();
  select_and_authenticate(reader, 4);
  Bytes write = {0x01, 0x05};
  const Block value = make_value_block(1234567, 5);
  write.insert(write.end(), value.begin(), value.end());
  ASSERT_EQ(status_of(send(reader, cmd::kWrite, write)), 0);
  // 0x12345678 goes least significant byte first.
  ASSERT_EQ(status_of(send(reader, cmd::kIncrement, {0x01, 0x05, 0x01, 0x00, 0x00, 0x00})), 0);
  ASSERT_EQ(status_of(send(reader, cmd::kTransfer, {0x01, 0x05})), 0);
  ASSERT_EQ(status_of(send(reader, cmd::kDecrement, {0x01, 0x05, 0x00, 0x01, 0x00, 0x00})), 0);
  ASSERT_EQ(status_of(send(reader, cmd::kTransfer, {0x01, 0x05})), 0);
  const Bytes reply = send(reader, cmd::kRead, {0x01, 0x05});
  ASSERT_EQ(reply.size(), 21u);
  int32_t v;
  uint8_t address;
  Block b;
  std::copy(reply.begin() + 4, reply.begin() + 20, b.begin());
  ASSERT_TRUE(parse_value_block(b, &v, &address));
  EXPECT_EQ(v, 1234567 + 1 - 256);
  EXPECT_EQ(status_of(send(reader, cmd::kRestore, {0x01, 0x04})), 23);
  EXPECT_EQ(status_of(send(reader, cmd::kTransfer, {0x01, 0x06})), 20);
}

TEST(FirmwareCard, NoCardAndPutBack) {
  ReaderFirmware empty;
  EXPECT_EQ(status_of(send(empty, cmd::kRequestAll, {0x01})), 1);
  // Load key and the signals need no card.
  EXPECT_EQ(status_of(send(empty, cmd::kLoadKey, {0x01, 0, 0, 1, 2, 3, 4, 5, 6})), 0);
  EXPECT_EQ(status_of(send(empty, cmd::kBeep, {0x01, 0x01})), 0);

  ReaderFirmware reader = reader_with_card(CardType::k4K);
  EXPECT_EQ(send(reader, cmd::kRequestAll, {0x01}),
            (Bytes{0x06, 0x11, 0x01, 0x00, 0x02, 0x00, 0x14}));
  send(reader, cmd::kSelect, {0x01, 0x1A, 0x7B, 0x8C, 0x54});
  reader.take_out();
  EXPECT_EQ(status_of(send(reader, cmd::kHalt, {0x01})), 1);
  reader.put_back();
  // Back in the field the card is idle: selecting it needs a request first.
  EXPECT_EQ(status_of(send(reader, cmd::kSelect, {0x01, 0x1A, 0x7B, 0x8C, 0x54})), 1);
  EXPECT_EQ(status_of(send(reader, cmd::kRequestIdle, {0x01})), 0);
}

TEST(FirmwareSignals, BeeperAndLeds) {
  ReaderFirmware reader;
  EXPECT_EQ(send(reader, cmd::kBeep, {0x01, 0x01}), (Bytes{0x04, 0xF3, 0x01, 0x00, 0xF6}));
  EXPECT_TRUE(reader.beeper_on());
  send(reader, cmd::kBeep, {0x01, 0x01});
  EXPECT_EQ(reader.beeps(), 1u);  // already on
  send(reader, cmd::kBeep, {0x01, 0x00});
  EXPECT_FALSE(reader.beeper_on());
  send(reader, cmd::kBeep, {0x01, 0x01});
  EXPECT_EQ(reader.beeps(), 2u);
  EXPECT_EQ(status_of(send(reader, cmd::kLed, {0x01, 0x02, 0x01})), 0);
  EXPECT_TRUE(reader.led_on(2));
  EXPECT_FALSE(reader.led_on(1));
  send(reader, cmd::kLed, {0x01, 0x02, 0x00});
  EXPECT_FALSE(reader.led_on(2));
  EXPECT_EQ(status_of(send(reader, cmd::kLedLevel, {0x01, 0x7F})), 0);
  EXPECT_EQ(reader.led_level(), 0x7F);
}

}  // namespace
