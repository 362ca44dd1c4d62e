#include "vendor.h"

#include <string.h>

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

namespace {

struct Script {
  FuzzInput* input = nullptr;
  bool faults = false;
  uint8_t lastCommand = 0;
} script;

void RequireOpen(Call call, uint32_t index) {
  MZF_CHECK(dbl_device_open(index), "%s on device %u, which is not open", CallName(call), index);
}

// Every call: one byte in eight faults it, with faults on. The data calls
// must name an open device and stay within the library's buffers.
int32_t Enter(void*, int32_t kind, uint32_t index, const void* buffer, const uint32_t* length) {
  const bool fault = script.faults && (script.input->Byte() & 7) == 7;
  const Call call = static_cast<Call>(kind);
  switch (call) {
    case Call::kBufUpload:
    case Call::kSetTimeout:
      RequireOpen(call, index);
      break;
    case Call::kWrite:
      RequireOpen(call, index);
      MZF_CHECK(buffer != nullptr && length != nullptr, "CH375WriteData without a buffer or count");
      // The library's frame buffer holds 256 bytes; ASan checks the copy too.
      MZF_CHECK(*length >= 1 && *length <= 256, "CH375WriteData of %u bytes", *length);
      if (*length >= 2) script.lastCommand = static_cast<const uint8_t*>(buffer)[1];
      break;
    case Call::kRead:
      RequireOpen(call, index);
      MZF_CHECK(buffer != nullptr && length != nullptr, "CH375ReadData without a buffer or count");
      MZF_CHECK(*length >= 1 && *length <= 32, "CH375ReadData asks for %u bytes", *length);
      break;
    default:
      break;
  }
  return fault ? 1 : 0;
}

// A read takes one byte: its low two bits choose the reply (kReply*); bit 2
// makes a made reply echo another command (a byte) and a raw reply echo the
// request's command; bit 3 puts the right check byte into a raw reply. With
// bits 4 and 5 both set the read fails without touching the count or the
// buffer, and bit 6 chooses whether it still returns success.
int32_t Read(void*, uint32_t, void* buffer, uint32_t* length) {
  FuzzInput& in = *script.input;
  const uint32_t asked = *length;
  // Zeros where the input runs out, as FuzzInput promises: a made reply cut
  // short by the end of the input is then the same on every run.
  uint8_t reply[32] = {};
  uint32_t n = 0;
  uint32_t count = 0;
  const uint8_t how = in.Byte();
  if ((how & 0x30) == 0x30) return (how & 0x40) ? 1 : 0;
  switch (how & 3) {
    case kReplyNone:
      break;
    case kReplyMade: {
      const uint8_t status = in.Byte();
      const uint8_t fields = in.Byte() % 17;
      reply[0] = static_cast<uint8_t>(fields + 4);
      reply[1] = (how & 4) ? in.Byte() : script.lastCommand;
      reply[2] = 0x01;
      reply[3] = status;
      in.Take(reply + 4, fields);
      uint8_t x = 0;
      for (uint32_t i = 0; i < fields + 4u; ++i) x ^= reply[i];
      reply[fields + 4] = x;
      n = count = fields + 5;
      break;
    }
    default: {
      n = in.Byte() % 33;
      n = static_cast<uint32_t>(in.Take(reply, n));
      if ((how & 4) && n >= 2) reply[1] = script.lastCommand;
      if ((how & 8) && n >= 2 && reply[0] != 0 && reply[0] < n) {
        uint8_t x = 0;
        for (uint32_t i = 0; i < reply[0]; ++i) x ^= reply[i];
        reply[reply[0]] = x;
      }
      count = (how & 3) == kReplyForged ? in.U32() : n;
      break;
    }
  }
  memcpy(buffer, reply, n < asked ? n : asked);
  *length = count;
  return 1;
}

}  // namespace

void ScriptVendor(FuzzInput* input, bool faults) {
  dbl_reset();
  script = Script();
  script.input = input;
  script.faults = faults;
  const DblScript s = {nullptr, &Enter, &Read, 0, nullptr};
  dbl_set_script(&s);
}

void UnscriptVendor() {
  dbl_set_script(nullptr);
}

std::vector<VendorEvent> VendorEventsSince(size_t mark) {
  std::vector<VendorEvent> events;
  for (uint32_t i = static_cast<uint32_t>(mark); i < dbl_event_count(); ++i) {
    const DblEvent e = dbl_event(i);
    VendorEvent v{static_cast<Call>(e.call), e.index, e.faulted != 0, e.arg1, e.arg2, {}};
    v.bytes.resize(DBL_READ_DATA_MAX);
    const uint32_t n = dbl_event_data(i, v.bytes.data(), DBL_READ_DATA_MAX);
    v.bytes.resize(n < DBL_READ_DATA_MAX ? n : DBL_READ_DATA_MAX);
    events.push_back(std::move(v));
  }
  return events;
}

}  // namespace mzfuzz
