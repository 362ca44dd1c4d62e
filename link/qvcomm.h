// TQVcomm: the library's connection to one card reader.
//
// It owns the USB device opened through the vendor library, frames a request
// from a command code and a hex data text, writes it, reads the reply, checks
// it and leaves the reply's data as hex text for the exports to pick apart.
// It knows nothing of card commands.
//
// Texts live in fixed buffers inside the object: no command allocates.
#ifndef MIFAREZUB_LINK_QVCOMM_H
#define MIFAREZUB_LINK_QVCOMM_H

#include <stddef.h>
#include <stdint.h>

#include "frame.h"

namespace mzub {

// What one step of an exchange came to. The exports fold these into their
// result codes in one place (api/mifare.cpp).
enum class LinkResult : uint8_t {
  kOk,            // written; or a checked reply echoing the request's command
  kNotOpen,       // the device is not open: nothing written, nothing read
  kNotFramed,     // the request cannot be framed: nothing written, nothing read
  kWriteFault,    // a fault inside the vendor's write (the frame may have gone out)
  kNoReply,       // nothing read within the timeout
  kBadReply,      // a reply cut short, or with a wrong check byte
  kReadFailed,    // the read faulted, or reported a count it cannot have read
  kOtherCommand,  // a checked reply that echoes another command (ReplyCommand)
  kNoAttempt,     // Transact was allowed no attempt: nothing written
};

// After a failed exchange the reader may still send the reply it owed: the
// USB chip keeps a reply that came after the read gave up in its buffer, and
// the next read would take it as the answer to the next request. The next
// exchange therefore first reads and discards what is still there: at most
// kMaxDrainReads reads, each waiting kDrainTimeoutMs, until one brings
// nothing. A reader that answers late is late by tens of milliseconds (a card
// write, a slow card); 50 ms on top of the 100 ms the failed exchange already
// waited covers that without making a reader that has gone silent much slower
// to report it.
constexpr int32_t kDrainTimeoutMs = 50;
constexpr int kMaxDrainReads = 4;

class TQVcomm {
 public:
  TQVcomm() = default;
  TQVcomm(const TQVcomm&) = delete;
  TQVcomm& operator=(const TQVcomm&) = delete;

  // Opens the device at DeviceIndex and switches buffered upload off. On
  // failure (or a fault) closes the index again. Returns Opened. A link that
  // opens is in step.
  bool OpenDevice();
  // Closes the device. False, with Opened unchanged, if the vendor faulted.
  bool CloseDevice();
  // Resets the device; the vendor's result, or false if it faulted.
  bool ResetDevice();

  // Starts a request: sets Command and RequestHex to the lead byte "01".
  void BeginRequest(uint8_t command);
  // Appends a byte as two upper-case hex digits.
  void AppendByte(uint8_t value) { AppendBytes(&value, 1); }
  // Appends `count` bytes as hex pairs, in one conversion (bytes may be null
  // when count is 0). Bytes that would not all fit mark the request as
  // AppendText does.
  void AppendBytes(const uint8_t* bytes, size_t count);
  // Appends a host text unchanged, up to its zero byte (null reads as empty).
  // A request text that outgrows what a frame can carry is marked and later
  // refused by SendFrame.
  void AppendText(const char* text);

  // Frames Command and RequestHex into Frame and writes the frame. Returns
  // kOk (L is then Frame[0]), kNotOpen, kNotFramed (a pair that is not hex, or
  // more than 253 data bytes: nothing is written) or kWriteFault.
  LinkResult SendFrame();
  // Sets the read timeout, reads one reply of at most kReadSize bytes and
  // checks it. Returns kOk, kNoReply, kBadReply or kReadFailed.
  LinkResult ReceiveFrame(int32_t timeoutMs);
  // The bounded exchange: kOk when a checked reply echoing Command arrived;
  // otherwise the last failure. A request that cannot be framed, or a link
  // that is not open, gives kNotFramed or kNotOpen at once: nothing is
  // written and no reply is awaited. A link out of step drains the reader
  // before it writes.
  LinkResult Transact(int32_t timeoutMs, int32_t maxFailures, int32_t maxTimeouts);

  // False after an exchange that ended without its own checked reply, until
  // the next one that gets it.
  bool InStep() const { return !OutOfStep; }

  const char* RequestText() const { return RequestHex; }
  size_t RequestTextLength() const { return RequestHexLength; }
  const char* ReplyText() const { return ReplyHex; }
  size_t ReplyTextLength() const { return ReplyHexLength; }

  uint8_t Frame[kFrameCapacity] = {};
  int32_t FrameLength = 0;
  uint8_t DeviceIndex = 0;
  bool Opened = false;
  uint8_t Command = 0;
  uint8_t ReplyLength = 0;
  uint8_t ReplyCommand = 0;

 private:
  // Builds the request frame in Frame. kOk, kNotOpen or kNotFramed.
  LinkResult BuildFrame();
  // Writes the frame that BuildFrame left in Frame.
  LinkResult WriteFrame();
  // Reads and discards what the reader still sends, into a buffer of its
  // own: the request waiting in Frame is left alone.
  void Drain();

  // Data of the current request as hex text; always begins with "01".
  char RequestHex[kMaxRequestHex + 1] = {};
  size_t RequestHexLength = 0;
  bool RequestOverflow = false;
  // Bytes 2 to L of the last checked reply (data and check byte) as hex text.
  char ReplyHex[kMaxReplyHex + 1] = {};
  size_t ReplyHexLength = 0;
  bool OutOfStep = false;
};

}  // namespace mzub

#endif  // MIFAREZUB_LINK_QVCOMM_H
