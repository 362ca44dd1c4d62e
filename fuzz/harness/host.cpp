#include "host.h"

#include <stdio.h>
#include <string.h>

#include <memory>
#include <vector>

#include "MifareZUB.h"
#include "check.h"
#include "vendor.h"

namespace mzfuzz {
namespace {

const char* const kNames[kExportCount] = {
    "OpenComm",     "CloseComm",     "mif_Request",        "mif_Anticollision",
    "mif_Select",   "mif_LoadKey",   "mif_Authentication", "mif_Read",
    "mif_Write",    "mif_Increment", "mif_Decrement",      "mif_Restore",
    "mif_Transfer", "mif_Halt",      "zub_beep",           "zub_beepms",
    "zub_LED",      "zub_LEDx",      "mif_CtrlRelay",      "ErrMsg",
};

// What the results so far say about the link.
struct Model {
  bool open = false;
  uint8_t index = 0;
  // False after an exchange that did not end with a checked reply echoing
  // its command: the next exchange drains the reader before it writes.
  bool inStep = true;
} model;

// How a link out of step drains the reader, written here on their own (not
// taken from the link) so that a change on either side is noticed.
constexpr uint32_t kDrainTimeoutMs = 50;
constexpr int kMaxDrainReads = 4;

// ---- The host's output buffers ----

// A text output buffer of exactly the documented size between two guard
// areas. Under AddressSanitizer the guards are poisoned, so a stray write is
// reported where it happens; without it the guards are compared afterwards.
class HostBuffer {
 public:
  static constexpr size_t kGuard = 32;
  static constexpr uint8_t kGuardByte = 0xA5;

  char* Prepare(size_t size, uint8_t fill) {
    size_ = size;
    fill_ = fill;
    memset(area_, kGuardByte, sizeof area_);
    memset(area_ + kGuard, fill, size);
    Poison(area_, kGuard);
    Poison(area_ + kGuard + size, kGuard);
    return reinterpret_cast<char*>(area_ + kGuard);
  }
  // Checks the guards; returns the buffer's bytes.
  const uint8_t* Release() {
    Unpoison(area_, sizeof area_);
    for (size_t i = 0; i < kGuard; ++i) {
      MZF_CHECK(area_[i] == kGuardByte, "byte %zd before the host's buffer written",
                static_cast<ptrdiff_t>(i) - static_cast<ptrdiff_t>(kGuard));
      MZF_CHECK(area_[kGuard + size_ + i] == kGuardByte,
                "byte %zu of a %zu-byte host buffer written", size_ + i, size_);
    }
    return area_ + kGuard;
  }
  size_t Size() const { return size_; }
  uint8_t Fill() const { return fill_; }

 private:
  alignas(16) uint8_t area_[kGuard + 64 + kGuard];
  size_t size_ = 0;
  uint8_t fill_ = 0;
};

// ---- The documented request encoding ----

bool IsByte(int32_t v) {
  return v >= 0 && v <= 255;
}

std::string Hex2(int32_t v) {
  static const char kDigits[] = "0123456789ABCDEF";
  const uint8_t b = static_cast<uint8_t>(v);
  return std::string{kDigits[b >> 4], kDigits[b & 15]};
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The text the host passed, as the library reads it: up to the zero byte.
std::string TextArgument(const HostCall& call) {
  return call.textNull ? std::string() : call.text.substr(0, call.text.find('\0'));
}

// A command's request: refused (nothing may reach the reader), or the frame.
struct Request {
  bool refused = false;
  uint8_t command = 0;
  std::vector<uint8_t> frame;
};

// Frames "01" + data for `command`: more than 507 characters, or a pair that
// is not two hex digits, is refused; a final odd character is dropped.
Request Frame(uint8_t command, const std::string& data) {
  Request r;
  r.command = command;
  const std::string hex = "01" + data;
  if (hex.size() > 507) {
    r.refused = true;
    return r;
  }
  const size_t n = hex.size() / 2;
  r.frame.push_back(static_cast<uint8_t>(n + 2));
  r.frame.push_back(command);
  for (size_t i = 0; i < n; ++i) {
    const int hi = HexValue(hex[2 * i]), lo = HexValue(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) {
      r.refused = true;
      return r;
    }
    r.frame.push_back(static_cast<uint8_t>(hi * 16 + lo));
  }
  uint8_t x = 0;
  for (uint8_t b : r.frame) x ^= b;
  r.frame.push_back(x);
  return r;
}

Request Refused() {
  Request r;
  r.refused = true;
  return r;
}

std::string Le32(int32_t v) {
  std::string s;
  for (int i = 0; i < 4; ++i) s += Hex2(static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * i)));
  return s;
}

// The request a command export sends for these arguments. Written from the
// protocol here on purpose, not taken from sim/protocol.h or the library: the
// oracle is an independent check of both.
Request ExpectedRequest(const HostCall& c) {
  const std::string text = TextArgument(c);
  switch (c.what) {
    case kRequest:
      return Frame(c.a == 1 ? 0x11 : 0x10, "");
    case kAnticollision:
      return Frame(0x20, "");
    case kSelect:
      return Frame(0x30, text);
    case kLoadKey:
      if (!IsByte(c.a) || !IsByte(c.b)) return Refused();
      return Frame(0xE0, Hex2(c.a) + Hex2(c.b) + text);
    case kAuthentication:
      if (!IsByte(c.a) || !IsByte(c.b) || !IsByte(c.c)) return Refused();
      return Frame(0x40, Hex2(c.a) + Hex2(c.b) + Hex2(c.c));
    case kRead:
      return IsByte(c.a) ? Frame(0x50, Hex2(c.a)) : Refused();
    case kWrite:
      return IsByte(c.a) ? Frame(0x60, Hex2(c.a) + text) : Refused();
    case kIncrement:
      return IsByte(c.a) ? Frame(0x70, Hex2(c.a) + Le32(c.b)) : Refused();
    case kDecrement:
      return IsByte(c.a) ? Frame(0x80, Hex2(c.a) + Le32(c.b)) : Refused();
    case kRestore:
      return IsByte(c.a) ? Frame(0x90, Hex2(c.a)) : Refused();
    case kTransfer:
      return IsByte(c.a) ? Frame(0xA0, Hex2(c.a)) : Refused();
    case kHalt:
      return Frame(0xD0, "");
    case kBeep:
      return Frame(0xF3, c.a == 1 ? "01" : "00");
    case kLed:
      return IsByte(c.a) ? Frame(0xF1, Hex2(c.a) + (c.b == 1 ? "01" : "00")) : Refused();
    case kLedX:
      return Frame(0xF6, Hex2(c.a));
    default:
      return Refused();
  }
}

// ---- What the vendor saw ----

std::string HexOf(const uint8_t* p, size_t n) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += kDigits[p[i] >> 4];
    s += kDigits[p[i] & 15];
  }
  return s;
}

// One reply as the documented rules judge it from what the read reported:
// at least 2 bytes and at most what was asked for, the whole frame (L+1
// bytes) among them, XOR zero over bytes 0 to L, the command echoed.
struct Reply {
  bool valid = false;
  uint8_t length = 0;
  const uint8_t* bytes = nullptr;
};

Reply Judge(const VendorEvent* read, uint8_t command) {
  Reply r;
  if (read == nullptr || read->faulted) return r;
  const uint32_t count = read->arg2;
  if (count < 2 || count > read->arg1) return r;
  const uint8_t* b = read->bytes.data();
  if (count < b[0] + 1u) return r;
  uint8_t x = 0;
  for (size_t i = 0; i <= b[0]; ++i) x ^= b[i];
  if (x != 0 || b[1] != command) return r;
  r.valid = true;
  r.length = b[0];
  r.bytes = b;
  return r;
}

// Checks one exchange's vendor calls. A link out of step first drains the
// reader: before the write, reads under a 50 ms timeout, at most four, until
// one brings nothing, reports a count it cannot have read, or faults. Then
// exactly one write, carrying the expected frame, and at most one read, after
// the write and under a 100 ms read timeout set after the write. Returns
// that read, if any.
const VendorEvent* CheckExchange(const std::vector<const VendorEvent*>& events,
                                 const Request& request) {
  const VendorEvent* write = nullptr;
  const VendorEvent* read = nullptr;
  uint32_t readTimeout = 0;
  bool timeoutSet = false;
  int drainReads = 0;
  bool drainEnded = false;
  for (const VendorEvent* e : events) {
    MZF_CHECK(model.open && e->index == model.index, "%s on device %u during a command",
              CallName(e->call), e->index);
    const bool draining = write == nullptr;
    switch (e->call) {
      case Call::kWrite:
        MZF_CHECK(write == nullptr, "a second write for one command");
        write = e;
        timeoutSet = false;
        break;
      case Call::kSetTimeout:
        if (draining) {
          MZF_CHECK(!model.inStep, "a link in step set a timeout before its write");
          MZF_CHECK(!drainEnded, "drained on after the draining ended");
          if (e->faulted) drainEnded = true;
        }
        if (!e->faulted) {
          readTimeout = e->arg2;
          timeoutSet = true;
        }
        break;
      case Call::kRead:
        if (draining) {
          MZF_CHECK(!model.inStep, "a read before the request was written");
          MZF_CHECK(!drainEnded, "drained on after a read that ended the draining");
          MZF_CHECK(timeoutSet && readTimeout == kDrainTimeoutMs,
                    "a drain read under a timeout of %u ms (set: %d)", readTimeout, timeoutSet);
          ++drainReads;
          MZF_CHECK(drainReads <= kMaxDrainReads, "%d drain reads", drainReads);
          if (e->faulted || e->arg2 == 0 || e->arg2 > e->arg1) drainEnded = true;
          timeoutSet = false;
          break;
        }
        MZF_CHECK(read == nullptr, "a second read for one command");
        MZF_CHECK(timeoutSet && readTimeout == 100, "a read under a timeout of %u ms (set: %d)",
                  readTimeout, timeoutSet);
        read = e;
        break;
      default:
        MZF_CHECK(false, "%s during a command", CallName(e->call));
    }
  }
  MZF_CHECK(model.inStep || drainEnded || drainReads == kMaxDrainReads,
            "a link out of step wrote after %d drain reads that still brought bytes", drainReads);
  MZF_CHECK(write != nullptr, "no frame written for an accepted request");
  MZF_CHECK(write->bytes == request.frame, "frame written %s, expected %s",
            HexOf(write->bytes.data(), write->bytes.size()).c_str(),
            HexOf(request.frame.data(), request.frame.size()).c_str());
  return read;
}

// Checks one exchange and notes whether it left the link in step. The
// exchange's read, if any, goes to *read.
Reply Exchanged(const std::vector<const VendorEvent*>& events, const Request& request,
                const VendorEvent** read = nullptr) {
  const VendorEvent* r = CheckExchange(events, request);
  if (read != nullptr) *read = r;
  const Reply reply = Judge(r, request.command);
  model.inStep = reply.valid;
  return reply;
}

// The reply field of `chars` hex characters after the status byte: what the
// reply holds of it, its check byte included when it is short.
std::string Field(const Reply& reply, size_t chars) {
  const std::string all = HexOf(reply.bytes + 4, reply.length >= 4 ? reply.length - 3u : 0u);
  return all.substr(0, chars);
}

enum class Output { kNone, kInt, kText };

struct OutputSpec {
  Output kind;
  size_t chars;
};

OutputSpec OutputOf(Export e) {
  switch (e) {
    case kRequest:
      return {Output::kInt, 4};
    case kAnticollision:
      return {Output::kText, 10};
    case kSelect:
      return {Output::kInt, 2};
    case kRead:
      return {Output::kText, 32};
    default:
      return {Output::kNone, 0};
  }
}

bool IsSignal(Export e) {
  return e == kBeep || e == kLed || e == kLedX;
}

constexpr int32_t kIntSentinel = 0x5A5A5A5A;

// The host's view of a call: result and outputs.
struct Outcome {
  int32_t result = 0;
  int32_t intOut = kIntSentinel;
  HostBuffer text;
};

void CheckTextUntouched(const HostCall& c, Outcome& o, const uint8_t* buf) {
  for (size_t i = 0; i < o.text.Size(); ++i) {
    MZF_CHECK(buf[i] == c.fill, "result %d, yet byte %zu of the text output changed", o.result, i);
  }
}

void CheckCommand(const HostCall& c, Outcome& o, const std::vector<const VendorEvent*>& events) {
  const OutputSpec shape = OutputOf(c.what);
  const uint8_t* buf = o.text.Release();
  const bool textPassed = shape.kind == Output::kText && c.out == OutAddress::kBuffer;
  const bool intPassed = shape.kind == Output::kInt && c.out != OutAddress::kNullVariable;

  if (!textPassed) CheckTextUntouched(c, o, buf);
  if (!intPassed) MZF_CHECK(o.intOut == kIntSentinel, "an integer output not passed was written");
  // zub_LEDx refuses other levels before anything else.
  if (c.what == kLedX && c.a != 0 && c.a != 127 && c.a != 255) {
    MZF_CHECK(o.result == 1, "zub_LEDx(%d) gave %d", c.a, o.result);
    MZF_CHECK(events.empty(), "zub_LEDx(%d) called the vendor", c.a);
    return;
  }

  if (!model.open) {
    MZF_CHECK(o.result == -1, "no link, yet the result is %d", o.result);
  }
  const Request request = ExpectedRequest(c);
  if (model.open && request.refused) {
    MZF_CHECK(o.result == -2, "a refused request gave %d", o.result);
  }
  if (!model.open || request.refused) {
    MZF_CHECK(events.empty(), "%zu vendor calls for a request that may not be sent (first: %s)",
              events.size(), CallName(events.front()->call));
    CheckTextUntouched(c, o, buf);
    MZF_CHECK(o.intOut == kIntSentinel, "integer output written with result %d", o.result);
    return;
  }

  const VendorEvent* read = nullptr;
  const Reply reply = Exchanged(events, request, &read);

  // The expected result and outputs.
  int32_t expected;
  std::string text;
  bool textWritten = false, intWritten = false;
  int32_t intValue = 0;
  if (!reply.valid) {
    expected = -2;
  } else if (IsSignal(c.what)) {
    expected = 0;
  } else if (reply.length < 3) {
    expected = -2;  // no status byte
  } else {
    expected = reply.bytes[3];
    if (expected != 0) {
      textWritten = intWritten = true;  // empty text, zero
    } else if (shape.kind == Output::kText) {
      textWritten = true;
      text = Field(reply, shape.chars);
    } else if (shape.kind == Output::kInt) {
      const std::string field = Field(reply, shape.chars);
      if (field.empty()) {
        expected = -2;  // the number cannot be read
      } else {
        intWritten = true;
        for (char ch : field) intValue = intValue * 16 + HexValue(ch);
      }
    }
  }
  MZF_CHECK(o.result == expected, "result %d, expected %d for the reply %s (count %u)", o.result,
            expected, read ? HexOf(read->bytes.data(), read->bytes.size()).c_str() : "(no read)",
            read ? read->arg2 : 0);

  if (textPassed) {
    if (!textWritten) {
      CheckTextUntouched(c, o, buf);
    } else {
      MZF_CHECK(memcmp(buf, text.data(), text.size()) == 0 && buf[text.size()] == 0,
                "text output \"%.*s\", expected \"%s\"", static_cast<int>(o.text.Size()),
                reinterpret_cast<const char*>(buf), text.c_str());
      for (size_t i = text.size() + 1; i < o.text.Size(); ++i) {
        MZF_CHECK(buf[i] == c.fill, "byte %zu after the text's zero written", i);
      }
    }
  }
  if (intPassed) {
    if (intWritten) {
      MZF_CHECK(o.intOut == intValue, "integer output %d, expected %d", o.intOut, intValue);
    } else {
      MZF_CHECK(o.intOut == kIntSentinel, "integer output written with result %d", o.result);
    }
  }
}

void CheckOpen(const HostCall& c, const Outcome& o, const std::vector<const VendorEvent*>& events) {
  const uint8_t index = static_cast<uint8_t>(c.a);
  bool closeFaulted = false, opened = false, uploadOff = false;
  for (const VendorEvent* e : events) {
    MZF_CHECK(
        e->index == index || (model.open && e->index == model.index && e->call == Call::kClose),
        "%s on device %u while opening device %u", CallName(e->call), e->index, index);
    if (e->call == Call::kClose && e->faulted) closeFaulted = true;
    if (e->call == Call::kOpen && !e->faulted && e->index == index) opened = c.present;
    if (e->call == Call::kBufUpload) {
      MZF_CHECK(e->arg1 == 0, "CH375SetBufUpload(%u, %u)", e->index, e->arg1);
      if (!e->faulted && opened) uploadOff = true;
    }
    MZF_CHECK(e->call != Call::kWrite && e->call != Call::kRead, "data transfer in OpenComm");
  }
  const int32_t expected = opened && uploadOff ? 0 : -1;
  MZF_CHECK(o.result == expected, "OpenComm gave %d, expected %d", o.result, expected);
  if (model.open && model.index != index && !closeFaulted) {
    MZF_CHECK(!dbl_device_open(model.index), "the earlier link's device %u left open", model.index);
  }
  if (o.result == 0) {
    MZF_CHECK(dbl_device_open(index), "OpenComm gave 0 with device %u closed", index);
  } else if (!closeFaulted) {
    MZF_CHECK(!dbl_device_open(index), "failed OpenComm left device %u open", index);
  }
  model.open = o.result == 0;
  model.index = index;
  model.inStep = true;
}

void Describe(const void* arg, char* out, size_t capacity) {
  const HostCall& c = *static_cast<const HostCall*>(arg);
  const std::string text = TextArgument(c);
  snprintf(out, capacity, "%s(%d, %d, %d), text %s\"%.200s\"%s, output %s, link %s", kNames[c.what],
           c.a, c.b, c.c, c.textNull ? "(null) " : "", text.c_str(), text.size() > 200 ? "..." : "",
           c.out == OutAddress::kBuffer       ? "buffer"
           : c.out == OutAddress::kNullBuffer ? "null buffer"
                                              : "null variable",
           model.open ? (model.inStep ? "open" : "open, out of step") : "closed");
}

}  // namespace

bool LinkOpen() {
  return model.open;
}

void BeginRun(FuzzInput* input) {
  const uint8_t flags = input->Byte();
  UnscriptVendor();
  CloseComm();
  ScriptVendor(input, (flags & 1) != 0);
  model = Model();
  HostCall open;
  open.what = kOpenComm;
  CallExport(open);
}

OutAddress OutAddressOf(unsigned bits) {
  switch (bits & 3) {
    case 2:
      return OutAddress::kNullVariable;
    case 3:
      return OutAddress::kNullBuffer;
    default:
      return OutAddress::kBuffer;
  }
}

void CallExport(const HostCall& c) {
  SetContext(&Describe, &c);
  if (c.what == kOpenComm) dbl_set_present(static_cast<uint8_t>(c.a), c.present);

  // The text argument in a heap block of its exact size.
  std::unique_ptr<char[]> text(new char[c.text.size() + 1]);
  memcpy(text.get(), c.text.data(), c.text.size());
  text[c.text.size()] = '\0';
  const char* textArg = c.textNull ? nullptr : text.get();

  Outcome o;
  const size_t size = c.what == kErrMsg          ? MZ_MESSAGE_BUFFER
                      : c.what == kAnticollision ? MZ_SERIAL_BUFFER
                                                 : MZ_BLOCK_BUFFER;
  char* buffer = o.text.Prepare(size, c.fill);
  char* nullBuffer = nullptr;
  char** textOut = c.out == OutAddress::kBuffer       ? &buffer
                   : c.out == OutAddress::kNullBuffer ? &nullBuffer
                                                      : nullptr;
  int32_t* intOut = c.out == OutAddress::kNullVariable ? nullptr : &o.intOut;

  const size_t mark = dbl_event_count();
  switch (c.what) {
    case kOpenComm:
      o.result = OpenComm(c.a, c.b);
      break;
    case kCloseComm:
      o.result = CloseComm();
      break;
    case kRequest:
      o.result = mif_Request(c.a, intOut);
      break;
    case kAnticollision:
      o.result = mif_Anticollision(textOut);
      break;
    case kSelect:
      o.result = mif_Select(textArg, intOut);
      break;
    case kLoadKey:
      o.result = mif_LoadKey(c.a, c.b, textArg);
      break;
    case kAuthentication:
      o.result = mif_Authentication(c.a, c.b, c.c);
      break;
    case kRead:
      o.result = mif_Read(c.a, textOut);
      break;
    case kWrite:
      o.result = mif_Write(c.a, textArg);
      break;
    case kIncrement:
      o.result = mif_Increment(c.a, c.b);
      break;
    case kDecrement:
      o.result = mif_Decrement(c.a, c.b);
      break;
    case kRestore:
      o.result = mif_Restore(c.a);
      break;
    case kTransfer:
      o.result = mif_Transfer(c.a);
      break;
    case kHalt:
      o.result = mif_Halt();
      break;
    case kBeep:
      o.result = zub_beep(c.a);
      break;
    case kBeepMs:
      // A positive wait would only slow the fuzzer down: the wait is not
      // what is tested here.
      o.result = zub_beepms(c.a > 0 ? 0 : c.a);
      break;
    case kLed:
      o.result = zub_LED(c.a, c.b);
      break;
    case kLedX:
      o.result = zub_LEDx(c.a);
      break;
    case kCtrlRelay:
      o.result = mif_CtrlRelay(c.a, c.b);
      break;
    case kErrMsg:
      ErrMsg(c.a, textOut);
      break;
    case kExportCount:
      break;
  }
  const std::vector<VendorEvent> seen = VendorEventsSince(mark);
  std::vector<const VendorEvent*> events;
  for (const VendorEvent& e : seen) events.push_back(&e);

  switch (c.what) {
    case kOpenComm: {
      o.text.Release();
      CheckOpen(c, o, events);
      break;
    }
    case kCloseComm: {
      o.text.Release();
      MZF_CHECK(o.result == 0, "CloseComm gave %d", o.result);
      bool faulted = false;
      for (const VendorEvent* e : events) {
        MZF_CHECK(e->call == Call::kClose && model.open && e->index == model.index,
                  "%s on device %u in CloseComm", CallName(e->call), e->index);
        faulted = faulted || e->faulted;
      }
      if (model.open && !faulted) {
        MZF_CHECK(!dbl_device_open(model.index), "CloseComm left device %u open", model.index);
      }
      model.open = false;
      break;
    }
    case kCtrlRelay:
      o.text.Release();
      MZF_CHECK(o.result == 0 && events.empty(), "mif_CtrlRelay gave %d with %zu vendor calls",
                o.result, events.size());
      break;
    case kErrMsg: {
      const uint8_t* buf = o.text.Release();
      MZF_CHECK(events.empty(), "ErrMsg called the vendor");
      if (c.out != OutAddress::kBuffer) {
        for (size_t i = 0; i < size; ++i) MZF_CHECK(buf[i] == c.fill, "ErrMsg wrote, no buffer");
        break;
      }
      const void* zero = memchr(buf, 0, size);
      MZF_CHECK(zero != nullptr, "ErrMsg(%d) wrote no zero within 18 bytes", c.a);
      const size_t length = static_cast<const uint8_t*>(zero) - buf;
      MZF_CHECK(length >= 1 && length <= 17, "ErrMsg(%d) wrote %zu bytes", c.a, length);
      for (size_t i = length + 1; i < size; ++i) {
        MZF_CHECK(buf[i] == c.fill, "ErrMsg(%d) wrote byte %zu after its zero", c.a, i);
      }
      break;
    }
    case kBeepMs: {
      o.text.Release();
      MZF_CHECK(o.result == 0, "zub_beepms gave %d", o.result);
      if (!model.open) {
        MZF_CHECK(events.empty(), "zub_beepms with no link called the vendor");
        break;
      }
      // Two exchanges, on, then off. The first ends with the read after its
      // write (or with the timeout call that faulted in its place); the
      // second's draining, if any, follows.
      size_t split = events.size();
      bool written = false;
      for (size_t i = 0; i < events.size() && split == events.size(); ++i) {
        const VendorEvent* e = events[i];
        if (e->call == Call::kWrite) {
          written = true;
        } else if (written &&
                   (e->call == Call::kRead || (e->call == Call::kSetTimeout && e->faulted))) {
          split = i + 1;
        }
      }
      const std::vector<const VendorEvent*> first(events.begin(), events.begin() + split);
      const std::vector<const VendorEvent*> second(events.begin() + split, events.end());
      HostCall on = c, off = c;
      on.what = off.what = kBeep;
      on.a = 1;
      off.a = 0;
      Exchanged(first, ExpectedRequest(on));
      Exchanged(second, ExpectedRequest(off));
      break;
    }
    default:
      CheckCommand(c, o, events);
      break;
  }
}

}  // namespace mzfuzz
