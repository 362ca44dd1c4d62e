#include "instant_reader.h"

#include <string.h>

#include "protocol.h"

namespace mzb {
namespace {

// One reply frame: L, the command echoed, the lead byte 01, status 00, the
// command's data, the check byte.
struct Canned {
  uint8_t bytes[32];
  uint32_t length;
};

Canned Make(uint8_t command, const uint8_t* data, uint32_t n) {
  Canned c{};
  c.bytes[0] = static_cast<uint8_t>(n + 4);  // data, lead byte and status, plus 2
  c.bytes[1] = command;
  c.bytes[2] = 0x01;
  c.bytes[3] = 0x00;
  if (n != 0) memcpy(c.bytes + 4, data, n);
  uint8_t check = 0;
  for (uint32_t i = 0; i < n + 4; ++i) check ^= c.bytes[i];
  c.bytes[n + 4] = check;
  c.length = n + 5;
  return c;
}

// The fields a 1K card's answers carry, by command; each as long as the
// protocol table says.
const uint8_t kAnswerToRequest[] = {0x04, 0x00};
const uint8_t kSerial[] = {0x8A, 0x3F, 0x21, 0xC4, 0x8A ^ 0x3F ^ 0x21 ^ 0xC4};
const uint8_t kSelectAnswer[] = {0x08};
const uint8_t kBlock[] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                          0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
static_assert(sizeof kAnswerToRequest == zubsim::reply_fields(zubsim::cmd::kRequestAll), "ATQA");
static_assert(sizeof kSerial == zubsim::reply_fields(zubsim::cmd::kAnticollision), "UID, BCC");
static_assert(sizeof kSelectAnswer == zubsim::reply_fields(zubsim::cmd::kSelect), "SAK");
static_assert(sizeof kBlock == zubsim::reply_fields(zubsim::cmd::kRead), "a block");

const uint8_t* FieldsOf(uint8_t command) {
  switch (command) {
    case zubsim::cmd::kRequestIdle:
    case zubsim::cmd::kRequestAll:
      return kAnswerToRequest;
    case zubsim::cmd::kAnticollision:
      return kSerial;
    case zubsim::cmd::kSelect:
      return kSelectAnswer;
    case zubsim::cmd::kRead:
      return kBlock;
    default:
      return nullptr;
  }
}

struct Table {
  Canned reply[256];
  Canned damaged[256];  // the same with a wrong check byte
  Table() {
    // Any command echoed with status 0; the protocol's commands with their
    // fields.
    for (int c = 0; c < 256; ++c) reply[c] = Make(static_cast<uint8_t>(c), nullptr, 0);
    for (const zubsim::Command& c : zubsim::kCommands) {
      if (c.fields != 0) reply[c.code] = Make(c.code, FieldsOf(c.code), c.fields);
    }
    for (int c = 0; c < 256; ++c) {
      damaged[c] = reply[c];
      damaged[c].bytes[damaged[c].length - 1] ^= 0xFF;
    }
  }
};

const Table kTable;
// The replies read, by mode: none while silent.
const Canned* replies = kTable.reply;
// The command of the last well-formed frame written and not yet answered.
int32_t pending = -1;

// A frame is answered only when it is whole (L+1 bytes) and its XOR is zero.
bool WellFormed(const uint8_t* frame, uint32_t n) {
  if (n < 3 || n != static_cast<uint32_t>(frame[0]) + 1) return false;
  uint8_t x = 0;
  for (uint32_t i = 0; i < n; ++i) x ^= frame[i];
  return x == 0;
}

// A new link starts with no request pending.
int32_t Enter(void*, int32_t, uint32_t, const void*, const uint32_t*) {
  pending = -1;
  return 0;
}

int32_t Write(void*, uint32_t, const void* buffer, uint32_t* length) {
  const auto* frame = static_cast<const uint8_t*>(buffer);
  pending = WellFormed(frame, *length) ? frame[1] : -1;
  return 1;
}

int32_t Read(void*, uint32_t, void* buffer, uint32_t* length) {
  if (pending < 0 || replies == nullptr) {
    *length = 0;
    return 1;
  }
  const Canned& reply = replies[pending];
  const uint32_t n = reply.length < *length ? reply.length : *length;
  *length = n;
  pending = -1;
  memcpy(buffer, reply.bytes, n);
  return 1;
}

}  // namespace

void InstallInstantReader() {
  dbl_reset();
  dbl_set_recording(0);
  // The script's enter sees the opening only: the writes and reads go
  // straight to its write and read.
  const DblScript script = {nullptr, &Enter, &Read, ~(1u << DBL_OPEN), &Write};
  dbl_set_script(&script);
  SetReplies(Replies::kAnswer);
  pending = -1;
}

void SetReplies(Replies mode) {
  replies = mode == Replies::kAnswer    ? kTable.reply
            : mode == Replies::kDamaged ? kTable.damaged
                                        : nullptr;
}

VendorCounts VendorCounts::Now() {
  VendorCounts c;
  for (int k = 0; k < DBL_CALL_KINDS; ++k) c.calls[k] = dbl_call_count(k);
  return c;
}

}  // namespace mzb
