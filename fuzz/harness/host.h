// The host side of the fuzz targets: calls one export the way a host would
// (guarded output buffers of the documented sizes, sentinel values in the
// outputs) and checks what came back against the library's documented
// contract, using what the test double saw.
#ifndef MIFAREZUB_FUZZ_HOST_H
#define MIFAREZUB_FUZZ_HOST_H

#include <stdint.h>

#include <string>

#include "input.h"

namespace mzfuzz {

enum Export : uint8_t {
  kOpenComm,
  kCloseComm,
  kRequest,
  kAnticollision,
  kSelect,
  kLoadKey,
  kAuthentication,
  kRead,
  kWrite,
  kIncrement,
  kDecrement,
  kRestore,
  kTransfer,
  kHalt,
  kBeep,
  kBeepMs,
  kLed,
  kLedX,
  kCtrlRelay,
  kErrMsg,
  kExportCount
};

// How a text output is passed.
enum class OutAddress : uint8_t { kBuffer, kNullVariable, kNullBuffer };

struct HostCall {
  Export what = kHalt;
  int32_t a = 0, b = 0, c = 0;  // the integer arguments, in order
  bool textNull = false;        // the text argument is a null address
  std::string text;             // its bytes (a zero byte ends it early)
  OutAddress out = OutAddress::kBuffer;
  uint8_t fill = 0;  // what the host's output buffer holds before the call
  // OpenComm: whether the vendor has a device at the index.
  bool present = true;
};

// Starts a run as a host's session starts: closes any link (the vendor quiet
// meanwhile), takes the input's first byte as flags (bit 0: vendor calls may
// fault), resets the vendor onto `input` and calls OpenComm.
void BeginRun(FuzzInput* input);
// The output address two input bits choose: 2 a null variable, 3 a null
// buffer, else a buffer.
OutAddress OutAddressOf(unsigned bits);
// Calls the export and checks every invariant; aborts on a violation.
void CallExport(const HostCall& call);
// Whether the link is open, as the results so far say.
bool LinkOpen();

}  // namespace mzfuzz

#endif  // MIFAREZUB_FUZZ_HOST_H
