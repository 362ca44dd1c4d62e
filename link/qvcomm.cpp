#include "qvcomm.h"

#include <string.h>

#include "CH375DLL.h"
#include "guard.h"

namespace mzub {
namespace {

// Each vendor call runs inside Guarded() through one of these: plain data in
// and out, no object with a destructor in the guarded frame.
struct VendorCall {
  uint32_t index;
  void* buffer = nullptr;
  uint32_t count = 0;      // bytes to write, or room to read; afterwards the count handed back
  uint32_t timeoutMs = 0;  // for a read: the timeout set just before it
  int32_t resetResult = 0;
  CH375_HANDLE handle = CH375_INVALID_HANDLE;
};

void CallOpen(void* p) {
  auto* c = static_cast<VendorCall*>(p);
  c->handle = CH375OpenDevice(c->index);
  // With buffered upload on, the vendor library reads the data pipe in the
  // background and a read returns whatever it has collected, from any time.
  // Off, every read goes to the pipe itself and is bounded by the timeout set
  // for it, which is what an exchange of one request and one reply needs.
  if (c->handle != CH375_INVALID_HANDLE) CH375SetBufUpload(c->index, 0);
}
void CallClose(void* p) {
  CH375CloseDevice(static_cast<VendorCall*>(p)->index);
}
void CallReset(void* p) {
  auto* c = static_cast<VendorCall*>(p);
  c->resetResult = CH375ResetDevice(c->index);
}
void CallWrite(void* p) {
  auto* c = static_cast<VendorCall*>(p);
  CH375WriteData(c->index, c->buffer, &c->count);
}
void CallRead(void* p) {
  auto* c = static_cast<VendorCall*>(p);
  CH375SetTimeout(c->index, c->timeoutMs, c->timeoutMs);
  CH375ReadData(c->index, c->buffer, &c->count);
}

// One guarded read of at most kReadSize bytes into `buffer`. The count handed
// back, or -1 when the read faulted or reported more than it was given room
// for (a count of 2^31 or more reads as negative and is caught the same way).
int64_t GuardedRead(uint8_t index, uint8_t* buffer, int32_t timeoutMs) {
  VendorCall call{index};
  call.buffer = buffer;
  call.count = static_cast<uint32_t>(kReadSize);
  call.timeoutMs = static_cast<uint32_t>(timeoutMs);
  if (!Guarded(&CallRead, &call)) return -1;
  if (call.count > kReadSize) return -1;
  return call.count;
}

}  // namespace

bool TQVcomm::OpenDevice() {
  VendorCall call{DeviceIndex};
  const bool completed = Guarded(&CallOpen, &call);
  if (completed && call.handle != CH375_INVALID_HANDLE) {
    Opened = true;
    OutOfStep = false;
    return true;
  }
  // No device at this index, or a fault on the way: release the index again.
  Guarded(&CallClose, &call);
  Opened = false;
  return false;
}

bool TQVcomm::CloseDevice() {
  VendorCall call{DeviceIndex};
  if (!Guarded(&CallClose, &call)) return false;
  Opened = false;
  return true;
}

bool TQVcomm::ResetDevice() {
  VendorCall call{DeviceIndex};
  return Guarded(&CallReset, &call) && call.resetResult != 0;
}

void TQVcomm::BeginRequest(uint8_t command) {
  Command = command;
  // Every request's data starts with 01, which the reader echoes in the same
  // place of its reply. The frame format comes from readers on a shared
  // serial line, where this byte chose the reader that was to answer; behind
  // a USB chip there is one reader, and it answers to 01.
  RequestHex[0] = '0';
  RequestHex[1] = '1';
  RequestHex[2] = '\0';
  RequestHexLength = 2;
  RequestOverflow = false;
}

void TQVcomm::AppendBytes(const uint8_t* bytes, size_t count) {
  if (RequestOverflow) return;
  if (count > (kMaxRequestHex - RequestHexLength) / 2) {
    RequestOverflow = true;  // more than a frame can carry
    return;
  }
  RequestHexLength +=
      ToHex(bytes, count, RequestHex + RequestHexLength, sizeof RequestHex - RequestHexLength);
}

void TQVcomm::AppendText(const char* text) {
  if (text == nullptr) return;
  for (; *text != '\0'; ++text) {
    if (RequestHexLength == kMaxRequestHex) {
      RequestOverflow = true;  // more than a frame can carry
      return;
    }
    RequestHex[RequestHexLength++] = *text;
  }
  RequestHex[RequestHexLength] = '\0';
}

LinkResult TQVcomm::BuildFrame() {
  if (!Opened) return LinkResult::kNotOpen;
  if (RequestOverflow) return LinkResult::kNotFramed;
  size_t length = 0;
  if (BuildRequest(Command, RequestHex, RequestHexLength, Frame, sizeof Frame, &length) !=
      BuildResult::kOk) {
    return LinkResult::kNotFramed;
  }
  FrameLength = static_cast<int32_t>(length);
  return LinkResult::kOk;
}

LinkResult TQVcomm::WriteFrame() {
  VendorCall call{DeviceIndex};
  call.buffer = Frame;
  call.count = static_cast<uint32_t>(FrameLength);
  return Guarded(&CallWrite, &call) ? LinkResult::kOk : LinkResult::kWriteFault;
}

LinkResult TQVcomm::SendFrame() {
  const LinkResult built = BuildFrame();
  return built == LinkResult::kOk ? WriteFrame() : built;
}

LinkResult TQVcomm::ReceiveFrame(int32_t timeoutMs) {
  // A read may hand back a count without having written the bytes it counts
  // (some vendor libraries fail that way, whatever they return). The read
  // window is filled with FF first: its length byte then asks for 256 bytes,
  // which no read of kReadSize can hold, so untouched bytes never pass the
  // check, and the request still in Frame never passes as its own reply.
  memset(Frame, 0xFF, kReadSize);
  const int64_t received = GuardedRead(DeviceIndex, Frame, timeoutMs);
  FrameLength = static_cast<int32_t>(received);
  if (received < 0) return LinkResult::kReadFailed;
  if (received == 0) return LinkResult::kNoReply;

  ReplyLength = Frame[0];
  Reply reply;
  if (!CheckReply(Frame, static_cast<size_t>(received), &reply)) return LinkResult::kBadReply;
  ReplyCommand = reply.command;
  ReplyHexLength = ToHex(reply.body, reply.bodyLen, ReplyHex, sizeof ReplyHex);
  return LinkResult::kOk;
}

void TQVcomm::Drain() {
  uint8_t discard[kReadSize];
  for (int i = 0; i < kMaxDrainReads; ++i) {
    // Nothing more to come, or a read that faulted: either ends the draining.
    if (GuardedRead(DeviceIndex, discard, kDrainTimeoutMs) <= 0) return;
  }
}

LinkResult TQVcomm::Transact(int32_t timeoutMs, int32_t maxFailures, int32_t maxTimeouts) {
  int32_t failures = 0;
  int32_t timeouts = 0;
  LinkResult r = LinkResult::kNoAttempt;
  while (failures < maxFailures && timeouts < maxTimeouts) {
    // Nothing is written for a request that cannot be framed, and then no
    // reply is awaited either: it could only be a late answer to an earlier
    // command.
    const LinkResult built = BuildFrame();
    if (built != LinkResult::kOk) return built;
    if (OutOfStep) Drain();
    // A fault inside the write still leaves the read to follow: the frame may
    // well have gone out.
    WriteFrame();
    r = ReceiveFrame(timeoutMs);
    if (r == LinkResult::kOk && ReplyCommand == Command) {
      OutOfStep = false;
      return LinkResult::kOk;
    }
    // Whatever else came (or did not), the reader may still send this
    // request's reply, or already sent one that was not read.
    OutOfStep = true;
    if (r == LinkResult::kNoReply) {
      ++timeouts;
    } else {
      ++failures;
      // A reply to another command is always a failed exchange.
      if (r == LinkResult::kOk) r = LinkResult::kOtherCommand;
    }
  }
  return r;
}

}  // namespace mzub
