#include "qvcomm.h"

#include "CH375DLL.h"
#include "guard.h"

namespace mzub {
namespace {

// Each vendor call runs inside Guarded() through one of these: plain data in
// and out, no object with a destructor in the guarded frame.
struct VendorCall {
  uint32_t index;
  uint32_t value;  // a timeout, or the count for a write or a read
  void* buffer;
  int32_t result;
  CH375_HANDLE handle;
};

void CallOpen(void* p) {
  auto* c = static_cast<VendorCall*>(p);
  c->handle = CH375OpenDevice(c->index);
  if (c->handle != CH375_INVALID_HANDLE) CH375SetBufUpload(c->index, 0);
}
void CallClose(void* p) {
  CH375CloseDevice(static_cast<VendorCall*>(p)->index);
}
void CallReset(void* p) {
  auto* c = static_cast<VendorCall*>(p);
  c->result = CH375ResetDevice(c->index);
}
void CallWrite(void* p) {
  auto* c = static_cast<VendorCall*>(p);
  CH375WriteData(c->index, c->buffer, &c->value);
}
void CallRead(void* p) {
  auto* c = static_cast<VendorCall*>(p);
  const uint32_t timeout = static_cast<uint32_t>(c->result);
  CH375SetTimeout(c->index, timeout, timeout);
  CH375ReadData(c->index, c->buffer, &c->value);
}

}  // namespace

bool TQVcomm::OpenDevice() {
  VendorCall call{DeviceIndex, 0, nullptr, 0, CH375_INVALID_HANDLE};
  const bool completed = Guarded(&CallOpen, &call);
  if (completed && call.handle != CH375_INVALID_HANDLE) {
    Opened = true;
    return true;
  }
  // No device at this index, or a fault on the way: release the index again.
  Guarded(&CallClose, &call);
  Opened = false;
  return false;
}

bool TQVcomm::CloseDevice() {
  VendorCall call{DeviceIndex, 0, nullptr, 0, nullptr};
  if (!Guarded(&CallClose, &call)) return false;
  Opened = false;
  return true;
}

bool TQVcomm::ResetDevice() {
  VendorCall call{DeviceIndex, 0, nullptr, 0, nullptr};
  return Guarded(&CallReset, &call) && call.result != 0;
}

void TQVcomm::BeginRequest(uint8_t command) {
  Command = command;
  RequestHex[0] = '0';
  RequestHex[1] = '1';
  RequestHex[2] = '\0';
  RequestHexLength = 2;
  RequestOverflow = false;
}

void TQVcomm::AppendByte(uint8_t value) {
  char pair[3];
  ToHex(&value, 1, pair, sizeof pair);
  AppendText(pair);
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

int32_t TQVcomm::SendFrame() {
  if (!Opened) return kNotOpen;
  if (RequestOverflow) return kNotFramed;
  size_t length = 0;
  if (BuildRequest(Command, RequestHex, RequestHexLength, Frame, sizeof Frame, &length) !=
      BuildResult::kOk) {
    return kNotFramed;
  }
  FrameLength = static_cast<int32_t>(length);
  VendorCall call{DeviceIndex, static_cast<uint32_t>(length), Frame, 0, nullptr};
  if (!Guarded(&CallWrite, &call)) return kWriteFault;
  return Frame[0];
}

int32_t TQVcomm::ReceiveFrame(int32_t timeoutMs) {
  VendorCall call{DeviceIndex, static_cast<uint32_t>(kReadSize), Frame, timeoutMs, nullptr};
  FrameLength = static_cast<int32_t>(kReadSize);
  const bool completed = Guarded(&CallRead, &call);
  FrameLength = static_cast<int32_t>(call.value);
  if (!completed) return kReadFailed;
  if (FrameLength == 0) return kNoReply;
  // A count the read could not have produced (negative read as 32 bits, or
  // more than was asked for) is a failed read, not a reply.
  if (FrameLength < 0 || static_cast<size_t>(FrameLength) > kReadSize) return kReadFailed;

  ReplyLength = Frame[0];
  Reply reply;
  if (!CheckReply(Frame, static_cast<size_t>(FrameLength), &reply)) return kBadReply;
  ReplyCommand = reply.command;
  ReplyHexLength = ToHex(reply.body, reply.bodyLen, ReplyHex, sizeof ReplyHex);
  return 0;
}

int32_t TQVcomm::Transact(int32_t timeoutMs, int32_t maxFailures, int32_t maxTimeouts) {
  int32_t failures = 0;
  int32_t timeouts = 0;
  int32_t r = -9;  // returned only when a limit is 0 or below
  while (failures < maxFailures && timeouts < maxTimeouts) {
    const int32_t sent = SendFrame();
    // Nothing was written: waiting for a reply could only pick up a late
    // answer to an earlier command.
    if (sent == kNotOpen || sent == kNotFramed) return sent;
    // A fault inside the write still leaves the read to follow: the frame may
    // well have gone out.
    r = ReceiveFrame(timeoutMs);
    if (r == kNoReply) {
      ++timeouts;
    } else if (r == 0) {
      if (ReplyCommand == Command) return 0;
      ++failures;
      // A reply to another command is always a failed exchange.
      r = ReplyCommand != 0 ? ReplyCommand : kBadReply;
    } else {
      ++failures;
    }
  }
  return r;
}

}  // namespace mzub
