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

// Results of SendFrame, ReceiveFrame and Transact besides L and 0.
constexpr int32_t kNotOpen = -1;     // SendFrame: the device is not open
constexpr int32_t kNotFramed = -2;   // SendFrame: the request cannot be framed; nothing written
constexpr int32_t kWriteFault = -3;  // SendFrame: a fault inside the vendor's write
constexpr int32_t kNoReply = -1;     // ReceiveFrame: nothing read within the timeout
constexpr int32_t kBadReply = -2;    // ReceiveFrame: short frame or wrong check byte
constexpr int32_t kReadFailed = -3;  // ReceiveFrame: the read failed or faulted

class TQVcomm {
 public:
  TQVcomm() = default;
  TQVcomm(const TQVcomm&) = delete;
  TQVcomm& operator=(const TQVcomm&) = delete;

  // Opens the device at DeviceIndex and switches buffered upload off. On
  // failure (or a fault) closes the index again. Returns Opened.
  bool OpenDevice();
  // Closes the device. False, with Opened unchanged, if the vendor faulted.
  bool CloseDevice();
  // Resets the device; the vendor's result, or false if it faulted.
  bool ResetDevice();

  // Starts a request: sets Command and RequestHex to the lead byte "01".
  void BeginRequest(uint8_t command);
  // Appends a byte as two upper-case hex digits.
  void AppendByte(uint8_t value);
  // Appends a host text unchanged, up to its zero byte (null reads as empty).
  // A request text that outgrows what a frame can carry is marked and later
  // refused by SendFrame.
  void AppendText(const char* text);

  // Frames Command and RequestHex and writes the frame. Returns L, or
  // kNotOpen, kNotFramed (a pair that is not hex, or more than 253 data
  // bytes: nothing is written) or kWriteFault.
  int32_t SendFrame();
  // Sets the read timeout, reads one reply of at most kReadSize bytes and
  // checks it. Returns 0, kNoReply, kBadReply or kReadFailed.
  int32_t ReceiveFrame(int32_t timeoutMs);
  // The bounded exchange: returns 0 when a checked reply echoing Command
  // arrived; otherwise the last failure (a reply to another command gives its
  // echoed byte, or -2 when that byte is 0). A request that cannot be framed
  // gives kNotFramed at once: nothing is written and no reply is awaited.
  int32_t Transact(int32_t timeoutMs, int32_t maxFailures, int32_t maxTimeouts);

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
  // Data of the current request as hex text; always begins with "01".
  char RequestHex[kMaxRequestHex + 1] = {};
  size_t RequestHexLength = 0;
  bool RequestOverflow = false;
  // Bytes 2 to L of the last checked reply (data and check byte) as hex text.
  char ReplyHex[kMaxReplyHex + 1] = {};
  size_t ReplyHexLength = 0;
};

}  // namespace mzub

#endif  // MIFAREZUB_LINK_QVCOMM_H
