// The fuzz targets' vendor: the test double (tests/double), compiled into the
// target and scripted from the fuzzer's bytes, which decide every vendor
// fault and every reply byte. The script also enforces the vendor call
// contract the link relies on (no data call on a device that is not open, no
// transfer larger than the buffer the library owns).
#ifndef MIFAREZUB_FUZZ_VENDOR_H
#define MIFAREZUB_FUZZ_VENDOR_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "ch375_double.h"
#include "input.h"

namespace mzfuzz {

enum class Call : int32_t {
  kOpen = DBL_OPEN,
  kClose = DBL_CLOSE,
  kReset = DBL_RESET,
  kBufUpload = DBL_BUF_UPLOAD,
  kSetTimeout = DBL_SET_TIMEOUT,
  kWrite = DBL_WRITE,
  kRead = DBL_READ,
};
const char* CallName(Call call);

// One vendor call as the double recorded it.
struct VendorEvent {
  Call call;
  uint32_t index;
  bool faulted;
  // kSetTimeout: write and read timeout. kWrite: the frame and the count
  // passed in. kRead: the count asked for, the count reported, and the first
  // `asked` bytes of the library's buffer once the read returned.
  uint32_t arg1;
  uint32_t arg2;
  std::vector<uint8_t> bytes;
};

// Read replies, chosen by one byte from the input (see vendor.cpp).
constexpr uint8_t kReplyNone = 0;
constexpr uint8_t kReplyMade = 1;    // a well-formed frame: echo, 01, status, fields
constexpr uint8_t kReplyRaw = 2;     // raw bytes, their count reported
constexpr uint8_t kReplyForged = 3;  // raw bytes, any 32-bit count reported

// Starts a run: resets the double (no device open, device 0 present) and
// scripts it from `input`. With faults on, every call first takes a byte
// that may make it fault.
void ScriptVendor(FuzzInput* input, bool faults);
// Removes the script: calls take no input and never fault, reads get nothing.
void UnscriptVendor();
// The calls recorded from event `mark` on.
std::vector<VendorEvent> VendorEventsSince(size_t mark);

}  // namespace mzfuzz

#endif  // MIFAREZUB_FUZZ_VENDOR_H
