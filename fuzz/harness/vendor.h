// A vendor library inside the fuzz target: the seven CH375 calls, answered
// from the fuzzer's bytes. It records every call, every frame written and what
// every read left in the library's buffer, and it enforces the vendor call
// contract the link relies on (no data call on a device that is not open, no
// transfer larger than the buffer the library owns).
#ifndef MIFAREZUB_FUZZ_VENDOR_H
#define MIFAREZUB_FUZZ_VENDOR_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "input.h"

namespace mzfuzz {

enum class Call { kOpen, kClose, kReset, kBufUpload, kSetTimeout, kWrite, kRead };
const char* CallName(Call call);

struct VendorEvent {
  Call call;
  uint32_t index;
  bool faulted;
  // kSetTimeout: write and read timeout. kWrite: the frame and the count
  // passed in. kRead: the count asked for, the count reported, and the first
  // `asked` bytes of the library's buffer once the read returned.
  uint32_t arg1 = 0;
  uint32_t arg2 = 0;
  std::vector<uint8_t> bytes;
};

// Read replies, chosen by one byte from the input (see vendor.cpp).
constexpr uint8_t kReplyNone = 0;
constexpr uint8_t kReplyMade = 1;    // a well-formed frame: echo, 01, status, fields
constexpr uint8_t kReplyRaw = 2;     // raw bytes, their count reported
constexpr uint8_t kReplyForged = 3;  // raw bytes, any 32-bit count reported

class Vendor {
 public:
  // Starts a run: no device open, device `present` answers the open, the
  // decisions come from `input` (null: every call succeeds, reads get
  // nothing). With faults on, every call first takes a byte that may make
  // it fault.
  void Reset(FuzzInput* input, bool faults);
  // While quiet the vendor neither records nor consumes input nor faults.
  void SetQuiet(bool quiet) { quiet_ = quiet; }
  void SetPresent(uint32_t index, bool present);

  size_t EventCount() const { return events_.size(); }
  const VendorEvent& Event(size_t i) const { return events_[i]; }
  bool DeviceOpen(uint32_t index) const { return index < 256 && open_[index]; }
  size_t OpenDevices() const;

  // The seven calls' bodies.
  void* Open(uint32_t index);
  void Close(uint32_t index);
  int32_t ResetDevice(uint32_t index);
  int32_t SetBufUpload(uint32_t index, uint32_t enable);
  int32_t SetTimeout(uint32_t index, uint32_t writeMs, uint32_t readMs);
  int32_t Write(uint32_t index, void* buffer, uint32_t* length);
  int32_t Read(uint32_t index, void* buffer, uint32_t* length);

 private:
  bool Begin(Call call, uint32_t index, VendorEvent** event);
  [[noreturn]] void Fault(Call call);
  void RequireOpen(Call call, uint32_t index) const;

  FuzzInput* input_ = nullptr;
  bool faults_ = false;
  bool quiet_ = false;
  bool present_[256] = {};
  bool open_[256] = {};
  uint8_t lastCommand_ = 0;
  std::vector<VendorEvent> events_;
};

Vendor& TheVendor();

}  // namespace mzfuzz

#endif  // MIFAREZUB_FUZZ_VENDOR_H
