#include "vendor.h"

#include <string.h>

#include <stdexcept>

#include "CH375DLL.h"
#include "check.h"

namespace mzfuzz {

const char* CallName(Call call) {
  switch (call) {
    case Call::kOpen:
      return "CH375OpenDevice";
    case Call::kClose:
      return "CH375CloseDevice";
    case Call::kReset:
      return "CH375ResetDevice";
    case Call::kBufUpload:
      return "CH375SetBufUpload";
    case Call::kSetTimeout:
      return "CH375SetTimeout";
    case Call::kWrite:
      return "CH375WriteData";
    case Call::kRead:
      return "CH375ReadData";
  }
  return "?";
}

Vendor& TheVendor() {
  static Vendor vendor;
  return vendor;
}

void Vendor::Reset(FuzzInput* input, bool faults) {
  input_ = input;
  faults_ = faults;
  quiet_ = false;
  memset(present_, 0, sizeof present_);
  memset(open_, 0, sizeof open_);
  present_[0] = true;
  lastCommand_ = 0;
  events_.clear();
}

void Vendor::SetPresent(uint32_t index, bool present) {
  if (index < 256) present_[index] = present;
}

size_t Vendor::OpenDevices() const {
  size_t n = 0;
  for (bool o : open_) n += o ? 1 : 0;
  return n;
}

// Records the call; true when it is to fault (one byte in eight, with faults
// on). A faulting call does nothing else.
bool Vendor::Begin(Call call, uint32_t index, VendorEvent** event) {
  *event = nullptr;
  if (quiet_) return false;
  const bool fault = faults_ && input_ != nullptr && (input_->Byte() & 7) == 7;
  VendorEvent e;
  e.call = call;
  e.index = index;
  e.faulted = fault;
  events_.push_back(e);
  *event = &events_.back();
  return fault;
}

void Vendor::Fault(Call call) {
#if defined(_WIN32)
  // What a fault inside the real vendor library is there: an access violation.
  (void)call;
  *static_cast<volatile int*>(nullptr) = 0;
  throw std::runtime_error("an access violation that did not happen");
#else
  throw std::runtime_error(CallName(call));
#endif
}

void Vendor::RequireOpen(Call call, uint32_t index) const {
  MZF_CHECK(DeviceOpen(index), "%s on device %u, which is not open", CallName(call), index);
}

void* Vendor::Open(uint32_t index) {
  VendorEvent* e;
  if (Begin(Call::kOpen, index, &e)) Fault(Call::kOpen);
  if (index >= 256 || !present_[index]) return CH375_INVALID_HANDLE;
  open_[index] = true;
  return reinterpret_cast<void*>(static_cast<uintptr_t>(0x1000 + index));
}

void Vendor::Close(uint32_t index) {
  VendorEvent* e;
  if (Begin(Call::kClose, index, &e)) Fault(Call::kClose);
  if (index < 256) open_[index] = false;
}

int32_t Vendor::ResetDevice(uint32_t index) {
  VendorEvent* e;
  if (Begin(Call::kReset, index, &e)) Fault(Call::kReset);
  return DeviceOpen(index) ? 1 : 0;
}

int32_t Vendor::SetBufUpload(uint32_t index, uint32_t enable) {
  VendorEvent* e;
  const bool fault = Begin(Call::kBufUpload, index, &e);
  if (e) e->arg1 = enable;
  RequireOpen(Call::kBufUpload, index);
  if (fault) Fault(Call::kBufUpload);
  return 1;
}

int32_t Vendor::SetTimeout(uint32_t index, uint32_t writeMs, uint32_t readMs) {
  VendorEvent* e;
  const bool fault = Begin(Call::kSetTimeout, index, &e);
  if (e) {
    e->arg1 = writeMs;
    e->arg2 = readMs;
  }
  RequireOpen(Call::kSetTimeout, index);
  if (fault) Fault(Call::kSetTimeout);
  return 1;
}

int32_t Vendor::Write(uint32_t index, void* buffer, uint32_t* length) {
  VendorEvent* e;
  const bool fault = Begin(Call::kWrite, index, &e);
  RequireOpen(Call::kWrite, index);
  MZF_CHECK(buffer != nullptr && length != nullptr, "CH375WriteData without a buffer or count");
  // The library's frame buffer holds 256 bytes; ASan checks the copy too.
  MZF_CHECK(*length >= 1 && *length <= 256, "CH375WriteData of %u bytes", *length);
  const uint8_t* frame = static_cast<const uint8_t*>(buffer);
  if (e) {
    e->arg1 = *length;
    e->bytes.assign(frame, frame + *length);
  }
  if (*length >= 2) lastCommand_ = frame[1];
  if (fault) Fault(Call::kWrite);
  return 1;
}

// A read takes one byte: its low two bits choose the reply (kReply*); bit 2
// makes a made reply echo another command (a byte) and a raw reply echo the
// request's command; bit 3 puts the right check byte into a raw reply. With
// bits 4 and 5 both set the read fails without touching the count or the
// buffer, and bit 6 chooses whether it still returns success.
int32_t Vendor::Read(uint32_t index, void* buffer, uint32_t* length) {
  VendorEvent* e;
  const bool fault = Begin(Call::kRead, index, &e);
  RequireOpen(Call::kRead, index);
  MZF_CHECK(buffer != nullptr && length != nullptr, "CH375ReadData without a buffer or count");
  const uint32_t asked = *length;
  MZF_CHECK(asked >= 1 && asked <= 32, "CH375ReadData asks for %u bytes", asked);
  if (fault) Fault(Call::kRead);
  if (quiet_) {
    *length = 0;
    return 1;
  }
  uint8_t* out = static_cast<uint8_t*>(buffer);
  uint8_t reply[32];
  uint32_t n = 0;
  uint32_t count = 0;
  const uint8_t how = input_ ? input_->Byte() : kReplyNone;
  if ((how & 0x30) == 0x30) {
    if (e) {
      e->arg1 = asked;
      e->arg2 = *length;
      e->bytes.assign(out, out + asked);
    }
    return (how & 0x40) ? 1 : 0;
  }
  switch (how & 3) {
    case kReplyNone:
      break;
    case kReplyMade: {
      const uint8_t status = input_->Byte();
      const uint8_t fields = input_->Byte() % 17;
      reply[0] = static_cast<uint8_t>(fields + 4);
      reply[1] = (how & 4) ? input_->Byte() : lastCommand_;
      reply[2] = 0x01;
      reply[3] = status;
      input_->Take(reply + 4, fields);
      uint8_t x = 0;
      for (uint32_t i = 0; i < fields + 4u; ++i) x ^= reply[i];
      reply[fields + 4] = x;
      n = count = fields + 5;
      break;
    }
    default: {
      n = input_->Byte() % 33;
      n = static_cast<uint32_t>(input_->Take(reply, n));
      if ((how & 4) && n >= 2) reply[1] = lastCommand_;
      if ((how & 8) && n >= 2 && reply[0] != 0 && reply[0] < n) {
        uint8_t x = 0;
        for (uint32_t i = 0; i < reply[0]; ++i) x ^= reply[i];
        reply[reply[0]] = x;
      }
      count = (how & 3) == kReplyForged ? input_->U32() : n;
      break;
    }
  }
  if (n > asked) n = asked;
  memcpy(out, reply, n);
  *length = count;
  if (e) {
    e->arg1 = asked;
    e->arg2 = count;
    e->bytes.assign(out, out + asked);
  }
  return 1;
}

}  // namespace mzfuzz

// ---- The seven calls, as the link imports them ----

using mzfuzz::TheVendor;

extern "C" {

CH375_DECL CH375_HANDLE CH375_CALL CH375OpenDevice(uint32_t index) {
  return TheVendor().Open(index);
}
CH375_DECL void CH375_CALL CH375CloseDevice(uint32_t index) {
  TheVendor().Close(index);
}
CH375_DECL int32_t CH375_CALL CH375ResetDevice(uint32_t index) {
  return TheVendor().ResetDevice(index);
}
CH375_DECL int32_t CH375_CALL CH375SetBufUpload(uint32_t index, uint32_t enable) {
  return TheVendor().SetBufUpload(index, enable);
}
CH375_DECL int32_t CH375_CALL CH375SetTimeout(uint32_t index, uint32_t writeTimeoutMs,
                                              uint32_t readTimeoutMs) {
  return TheVendor().SetTimeout(index, writeTimeoutMs, readTimeoutMs);
}
CH375_DECL int32_t CH375_CALL CH375WriteData(uint32_t index, void* buffer, uint32_t* length) {
  return TheVendor().Write(index, buffer, length);
}
CH375_DECL int32_t CH375_CALL CH375ReadData(uint32_t index, void* buffer, uint32_t* length) {
  return TheVendor().Read(index, buffer, length);
}

}  // extern "C"
