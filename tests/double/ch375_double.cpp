#include "ch375_double.h"

#include <string.h>

#include <deque>
#include <stdexcept>
#include <utility>
#include <vector>

#include "CH375DLL.h"

#if defined(_WIN32)
#include <windows.h>
#endif

#if defined(_MSC_VER)
#define DBL_NOINLINE __declspec(noinline)
#else
#define DBL_NOINLINE __attribute__((noinline))
#endif

namespace {

struct Reply {
  std::vector<uint8_t> bytes;
  uint32_t count;
};

struct State {
  bool present[256] = {true};
  bool open[256] = {};
  std::vector<DblEvent> events;
  std::vector<std::vector<uint8_t>> data;  // one per event
  std::vector<std::vector<uint8_t>> frames;
  std::deque<Reply> replies;
  std::deque<Reply> answers;  // released into replies, one per write
  bool readUntouched = false;
  int32_t untouchedResult = 0;
  bool faultNext[DBL_CALL_KINDS] = {};
  bool selfHandledNext[DBL_CALL_KINDS] = {};
  int32_t resetResult = 1;
  uint32_t selfHandled = 0;
};

State& S() {
  static State state;
  return state;
}

// What every call touches, kept apart from State as plain data that needs no
// construction, so that the fast path reaches it without a guard: the counts,
// the script, whether recording is off, and whether the fast path may be
// taken.
struct Hot {
  uint64_t counts[DBL_CALL_KINDS];
  DblScript script;
  uint32_t asks;  // the kinds of call the script's enter sees, as bits
  bool quiet;     // recording off
  // Recording is off and nothing is scheduled: no queued reply or answer, no
  // untouched read, no fault or self-handled exception due. A call then does
  // no more than count itself and ask the script.
  bool fast;
  // While fast, the kinds of call that take the fast path, as bits: those
  // the script's enter does not see (and, for a write or read, that the
  // script takes).
  uint32_t quick;
};
Hot hot;

// Recomputes hot.fast; run after anything that schedules or consumes.
void Refresh() {
  const State& s = S();
  bool idle = hot.quiet && s.replies.empty() && s.answers.empty() && !s.readUntouched;
  for (int k = 0; k < DBL_CALL_KINDS && idle; ++k) idle = !s.faultNext[k] && !s.selfHandledNext[k];
  hot.fast = idle;
  uint32_t quick = idle ? ~hot.asks : 0;
  if (hot.script.write == nullptr) quick &= ~(1u << DBL_WRITE);
  if (hot.script.read == nullptr) quick &= ~(1u << DBL_READ);
  hot.quick = quick;
}

#if defined(_WIN32)
// Probing a read-only page raises an access violation that IsBadWritePtr
// catches itself: an exception that never leaves the vendor call.
void RaiseAndHandle() {
  static volatile uint8_t readOnly[4096 * 2];
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  uintptr_t page = (reinterpret_cast<uintptr_t>(readOnly) + info.dwPageSize - 1) &
                   ~static_cast<uintptr_t>(info.dwPageSize - 1);
  DWORD old;
  VirtualProtect(reinterpret_cast<void*>(page), info.dwPageSize, PAGE_READONLY, &old);
  if (IsBadWritePtr(reinterpret_cast<void*>(page), 1)) ++S().selfHandled;
  VirtualProtect(reinterpret_cast<void*>(page), info.dwPageSize, old, &old);
}

void Fault() {
  // An access violation that nothing in this library handles.
  *static_cast<volatile int*>(nullptr) = 0;
}
#else
void RaiseAndHandle() {
  try {
    throw std::runtime_error("handled inside the vendor call");
  } catch (const std::exception&) {
    ++S().selfHandled;
  }
}

void Fault() {
  throw std::runtime_error("fault inside the vendor call");
}
#endif

// Counts and records a call. Returns the call's event, or null while not
// recording.
DblEvent* Begin(int32_t call, uint32_t index, uint32_t arg1, uint32_t arg2) {
  ++hot.counts[call];
  if (hot.quiet) return nullptr;
  State& s = S();
  s.events.push_back(DblEvent{call, index, arg1, arg2, 0});
  s.data.emplace_back();
  return &s.events.back();
}

// Asks the script whether the call faults, when it asks to see the call.
bool AskScript(int32_t call, uint32_t index, const void* buffer, const uint32_t* length) {
  return (hot.asks & (1u << call)) != 0 &&
         hot.script.enter(hot.script.context, call, index, buffer, length) != 0;
}

// Keeps a recorded write's frame and plays the scripted misbehaviour for the
// call's kind; faults when the script or dbl_fault_next says so.
void Finish(int32_t call, DblEvent* event, const void* buffer, const uint32_t* length, bool fault) {
  State& s = S();
  if (call == DBL_WRITE && event != nullptr && buffer != nullptr && length != nullptr) {
    const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
    s.frames.emplace_back(bytes, bytes + *length);
    s.data.back() = s.frames.back();
  }
  if (s.selfHandledNext[call]) {
    s.selfHandledNext[call] = false;
    RaiseAndHandle();
  }
  if (s.faultNext[call]) {
    s.faultNext[call] = false;
    fault = true;
  }
  Refresh();
  if (fault) {
    if (event != nullptr) event->faulted = 1;
    Fault();
  }
}

// The general dispatch: counts and records a call (a write with its frame),
// asks the script and plays the scripted misbehaviour for its kind.
DblEvent* Enter(int32_t call, uint32_t index, uint32_t arg1 = 0, uint32_t arg2 = 0,
                const void* buffer = nullptr, const uint32_t* length = nullptr) {
  DblEvent* event = Begin(call, index, arg1, arg2);
  const bool fault = AskScript(call, index, buffer, length);
  Finish(call, event, buffer, length, fault);
  return event;
}

uint32_t CountIn(const uint32_t* length) {
  return length != nullptr ? *length : 0;
}

}  // namespace

extern "C" {

CH375_HANDLE CH375_CALL CH375OpenDevice(uint32_t index) {
  Enter(DBL_OPEN, index);
  if (index >= 256 || !S().present[index]) return CH375_INVALID_HANDLE;
  S().open[index] = true;
  return reinterpret_cast<CH375_HANDLE>(uintptr_t{0x375});
}

void CH375_CALL CH375CloseDevice(uint32_t index) {
  Enter(DBL_CLOSE, index);
  if (index < 256) S().open[index] = false;
}

int32_t CH375_CALL CH375ResetDevice(uint32_t index) {
  Enter(DBL_RESET, index);
  return S().resetResult;
}

int32_t CH375_CALL CH375SetBufUpload(uint32_t index, uint32_t enable) {
  Enter(DBL_BUF_UPLOAD, index, enable);
  return 1;
}

namespace {

// What a write does once it has been entered: releases the answer to it.
void ReleaseAnswer() {
  State& s = S();
  if (!s.answers.empty()) {
    s.replies.push_back(std::move(s.answers.front()));
    s.answers.pop_front();
    Refresh();
  }
}

// What a read does once it has been entered: an untouched read, the first
// queued reply, or the script's answer.
int32_t Answer(DblEvent* event, uint32_t index, void* buffer, uint32_t* length, uint32_t asked) {
  State& s = S();
  int32_t result = 1;
  if (s.readUntouched) {
    s.readUntouched = false;
    result = s.untouchedResult;
  } else if (!s.replies.empty()) {
    const Reply reply = std::move(s.replies.front());
    s.replies.pop_front();
    const size_t n = reply.bytes.size() < asked ? reply.bytes.size() : asked;
    if (n != 0 && buffer != nullptr) memcpy(buffer, reply.bytes.data(), n);
    if (length != nullptr) *length = reply.count;
  } else if (hot.script.read != nullptr) {
    result = hot.script.read(hot.script.context, index, buffer, length);
  } else if (length != nullptr) {
    *length = 0;
  }
  Refresh();
  if (event != nullptr) {
    event->arg2 = CountIn(length);
    if (buffer != nullptr) {
      const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
      s.data.back().assign(bytes, bytes + (asked < DBL_READ_DATA_MAX ? asked : DBL_READ_DATA_MAX));
    }
  }
  return result;
}

// The general dispatch of the three calls the fast path serves, kept out of
// line so that the fast path saves no registers for it.
DBL_NOINLINE int32_t SetTimeoutGeneral(uint32_t index, uint32_t writeTimeoutMs,
                                       uint32_t readTimeoutMs) {
  Enter(DBL_SET_TIMEOUT, index, writeTimeoutMs, readTimeoutMs);
  return 1;
}

DBL_NOINLINE int32_t WriteGeneral(uint32_t index, void* buffer, uint32_t* length) {
  Enter(DBL_WRITE, index, CountIn(length), CountIn(length), buffer, length);
  const int32_t result =
      hot.script.write != nullptr ? hot.script.write(hot.script.context, index, buffer, length) : 1;
  if (result != 0) ReleaseAnswer();
  return result;
}

DBL_NOINLINE int32_t ReadGeneral(uint32_t index, void* buffer, uint32_t* length) {
  const uint32_t asked = CountIn(length);
  DblEvent* event = Enter(DBL_READ, index, asked, 0, buffer, length);
  return Answer(event, index, buffer, length, asked);
}

}  // namespace

// The fast path: with recording off and nothing scheduled, a SetTimeout,
// WriteData or ReadData that the script's enter does not see is counted and
// goes straight to the script's write or read (a write or read the script
// does not take goes the general way). The general dispatch would do no more:
// the script's functions schedule through the dbl_ calls, which close the
// fast path as they do.
int32_t CH375_CALL CH375SetTimeout(uint32_t index, uint32_t writeTimeoutMs,
                                   uint32_t readTimeoutMs) {
  if (!(hot.quick & (1u << DBL_SET_TIMEOUT)))
    return SetTimeoutGeneral(index, writeTimeoutMs, readTimeoutMs);
  ++hot.counts[DBL_SET_TIMEOUT];
  return 1;
}

int32_t CH375_CALL CH375WriteData(uint32_t index, void* buffer, uint32_t* length) {
  if (!(hot.quick & (1u << DBL_WRITE))) return WriteGeneral(index, buffer, length);
  ++hot.counts[DBL_WRITE];
  return hot.script.write(hot.script.context, index, buffer, length);
}

int32_t CH375_CALL CH375ReadData(uint32_t index, void* buffer, uint32_t* length) {
  if (!(hot.quick & (1u << DBL_READ))) return ReadGeneral(index, buffer, length);
  ++hot.counts[DBL_READ];
  return hot.script.read(hot.script.context, index, buffer, length);
}

DBL_API void dbl_reset(void) {
  S() = State();
  hot = Hot();
  Refresh();
}

DBL_API void dbl_set_script(const DblScript* script) {
  hot.script = script != nullptr ? *script : DblScript{};
  hot.asks = hot.script.enter != nullptr ? ~hot.script.unseen & ((1u << DBL_CALL_KINDS) - 1) : 0;
  Refresh();
}

DBL_API void dbl_set_recording(int32_t on) {
  hot.quiet = on == 0;
  Refresh();
}

DBL_API void dbl_set_present(uint32_t index, int32_t present) {
  if (index < 256) S().present[index] = present != 0;
}

DBL_API void dbl_queue_reply(const uint8_t* bytes, uint32_t n) {
  dbl_queue_reply_count(bytes, n, n);
}

DBL_API void dbl_queue_reply_count(const uint8_t* bytes, uint32_t n, uint32_t count) {
  S().replies.push_back(Reply{std::vector<uint8_t>(bytes, bytes + n), count});
  Refresh();
}

DBL_API void dbl_queue_answer(const uint8_t* bytes, uint32_t n) {
  S().answers.push_back(Reply{std::vector<uint8_t>(bytes, bytes + n), n});
  Refresh();
}

DBL_API void dbl_read_untouched_next(int32_t result) {
  S().readUntouched = true;
  S().untouchedResult = result;
  Refresh();
}

DBL_API void dbl_fault_next(int32_t call) {
  S().faultNext[call] = true;
  Refresh();
}
DBL_API void dbl_self_handled_next(int32_t call) {
  S().selfHandledNext[call] = true;
  Refresh();
}
DBL_API void dbl_set_reset_result(int32_t result) {
  S().resetResult = result;
}

DBL_API uint32_t dbl_event_count(void) {
  return static_cast<uint32_t>(S().events.size());
}
DBL_API DblEvent dbl_event(uint32_t i) {
  return S().events.at(i);
}

DBL_API uint32_t dbl_event_data(uint32_t i, uint8_t* out, uint32_t cap) {
  const std::vector<uint8_t>& d = S().data.at(i);
  const uint32_t n = d.size() < cap ? static_cast<uint32_t>(d.size()) : cap;
  if (n != 0) memcpy(out, d.data(), n);
  return static_cast<uint32_t>(d.size());
}

DBL_API uint64_t dbl_call_count(int32_t call) {
  return call >= 0 && call < DBL_CALL_KINDS ? hot.counts[call] : 0;
}

DBL_API int32_t dbl_device_open(uint32_t index) {
  return index < 256 && S().open[index];
}

DBL_API uint32_t dbl_frame_count(void) {
  return static_cast<uint32_t>(S().frames.size());
}

DBL_API uint32_t dbl_frame(uint32_t i, uint8_t* out, uint32_t cap) {
  const std::vector<uint8_t>& f = S().frames.at(i);
  const uint32_t n = f.size() < cap ? static_cast<uint32_t>(f.size()) : cap;
  if (n != 0) memcpy(out, f.data(), n);
  return static_cast<uint32_t>(f.size());
}

DBL_API uint32_t dbl_self_handled_count(void) {
  return S().selfHandled;
}

}  // extern "C"
