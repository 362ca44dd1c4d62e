#include "ch375_double.h"

#include <string.h>

#include <deque>
#include <stdexcept>
#include <vector>

#include "CH375DLL.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

struct Reply {
  std::vector<uint8_t> bytes;
  uint32_t count;
};

struct State {
  bool present[256] = {true};
  std::vector<DblEvent> events;
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

// Records a call and plays the scripted misbehaviour for its kind.
DblEvent& Enter(int32_t call, uint32_t index, uint32_t arg1 = 0, uint32_t arg2 = 0) {
  State& s = S();
  s.events.push_back(DblEvent{call, index, arg1, arg2});
  if (s.selfHandledNext[call]) {
    s.selfHandledNext[call] = false;
    RaiseAndHandle();
  }
  if (s.faultNext[call]) {
    s.faultNext[call] = false;
    Fault();
  }
  return s.events.back();
}

}  // namespace

extern "C" {

CH375_HANDLE CH375_CALL CH375OpenDevice(uint32_t index) {
  Enter(DBL_OPEN, index);
  if (index < 256 && S().present[index]) return reinterpret_cast<CH375_HANDLE>(uintptr_t{0x375});
  return CH375_INVALID_HANDLE;
}

void CH375_CALL CH375CloseDevice(uint32_t index) {
  Enter(DBL_CLOSE, index);
}

int32_t CH375_CALL CH375ResetDevice(uint32_t index) {
  Enter(DBL_RESET, index);
  return S().resetResult;
}

int32_t CH375_CALL CH375SetBufUpload(uint32_t index, uint32_t enable) {
  Enter(DBL_BUF_UPLOAD, index, enable);
  return 1;
}

int32_t CH375_CALL CH375SetTimeout(uint32_t index, uint32_t writeTimeoutMs,
                                   uint32_t readTimeoutMs) {
  Enter(DBL_SET_TIMEOUT, index, writeTimeoutMs, readTimeoutMs);
  return 1;
}

int32_t CH375_CALL CH375WriteData(uint32_t index, void* buffer, uint32_t* length) {
  Enter(DBL_WRITE, index, *length, *length);
  const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
  State& s = S();
  s.frames.emplace_back(bytes, bytes + *length);
  if (!s.answers.empty()) {
    s.replies.push_back(s.answers.front());
    s.answers.pop_front();
  }
  return 1;
}

int32_t CH375_CALL CH375ReadData(uint32_t index, void* buffer, uint32_t* length) {
  DblEvent& event = Enter(DBL_READ, index, *length);
  State& s = S();
  if (s.readUntouched) {
    s.readUntouched = false;
    event.arg2 = *length;
    return s.untouchedResult;
  }
  if (s.replies.empty()) {
    *length = 0;
  } else {
    const Reply reply = s.replies.front();
    s.replies.pop_front();
    const size_t n = reply.bytes.size() < *length ? reply.bytes.size() : *length;
    if (n != 0) memcpy(buffer, reply.bytes.data(), n);
    *length = reply.count;
  }
  event.arg2 = *length;
  return 1;
}

DBL_API void dbl_reset(void) {
  S() = State();
}

DBL_API void dbl_set_present(uint32_t index, int32_t present) {
  if (index < 256) S().present[index] = present != 0;
}

DBL_API void dbl_queue_reply(const uint8_t* bytes, uint32_t n) {
  dbl_queue_reply_count(bytes, n, n);
}

DBL_API void dbl_queue_reply_count(const uint8_t* bytes, uint32_t n, uint32_t count) {
  S().replies.push_back(Reply{std::vector<uint8_t>(bytes, bytes + n), count});
}

DBL_API void dbl_queue_answer(const uint8_t* bytes, uint32_t n) {
  S().answers.push_back(Reply{std::vector<uint8_t>(bytes, bytes + n), n});
}

DBL_API void dbl_read_untouched_next(int32_t result) {
  S().readUntouched = true;
  S().untouchedResult = result;
}

DBL_API void dbl_fault_next(int32_t call) {
  S().faultNext[call] = true;
}
DBL_API void dbl_self_handled_next(int32_t call) {
  S().selfHandledNext[call] = true;
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
