// The reader's command codes and how long an exchange waits, for the link's
// users: the library's exports and the PC/SC driver. The link itself frames
// whatever command it is given and knows none of them.
//
// The test side keeps its own table of the reader's commands (the virtual
// reader's sim/protocol.h) on purpose: the tests then check these codes
// against an independent account of the protocol.
#ifndef MIFAREZUB_LINK_READER_COMMANDS_H
#define MIFAREZUB_LINK_READER_COMMANDS_H

#include <stdint.h>

namespace mzub {
namespace reader {

enum : uint8_t {
  kRequestIdle = 0x10,
  kRequestAll = 0x11,
  kAnticollision = 0x20,
  kSelect = 0x30,
  kAuthentication = 0x40,
  kRead = 0x50,
  kWrite = 0x60,
  kIncrement = 0x70,
  kDecrement = 0x80,
  kRestore = 0x90,
  kTransfer = 0xA0,
  kHalt = 0xD0,
  kLoadKey = 0xE0,
  kLed = 0xF1,
  kBeep = 0xF3,
  kLedLevel = 0xF6,
};

// Every exchange waits at most this long for the reply, and is tried once.
// The reader answers a card command within a few milliseconds, a write to
// the card's memory within a few tens; 100 ms leaves room for that and still
// lets a host that polls for cards notice a silent reader at once.
constexpr int32_t kReplyTimeoutMs = 100;

}  // namespace reader
}  // namespace mzub

#endif  // MIFAREZUB_LINK_READER_COMMANDS_H
