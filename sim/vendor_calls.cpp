// The seven vendor calls of the virtual reader. Each one takes the reader's
// lock, takes a processor fault if one is waiting for it, and otherwise does
// its work on the device. A fault is raised after the lock is released, so
// that a host which survives it finds the reader usable.
#include <ctime>
#include <type_traits>

#include "CH375DLL.h"
#include "instance.h"
#include "sleep_ms.h"
#include "zubsim.h"

namespace zubsim {

Instance& instance() {
  static Instance* one = new Instance;
  return *one;
}

namespace {

// The lock, the fault and the raise every vendor call goes through: runs
// what the command file holds for the readers, then `body` on the reader at
// `index` unless a processor fault is waiting for `call`.
template <typename Body>
auto vendor_call(int call, uint32_t index, Body body) -> decltype(body(instance().device)) {
  bool fault = false;
  using Result = decltype(body(instance().device));
  if constexpr (std::is_void_v<Result>) {
    locked_instance([&](Instance& i) {
      i.run_commands();
      Device& d = i.at(index);
      fault = d.take_call_fault(call);
      if (!fault) body(d);
    });
    if (fault) raise_processor_fault(call);
  } else {
    const Result result = locked_instance([&](Instance& i) -> Result {
      i.run_commands();
      Device& d = i.at(index);
      fault = d.take_call_fault(call);
      return fault ? Result() : body(d);
    });
    if (fault) raise_processor_fault(call);
    return result;
  }
}

}  // namespace
}  // namespace zubsim

using zubsim::Device;
using zubsim::vendor_call;

extern "C" {

CH375_DECL CH375_HANDLE CH375_CALL CH375OpenDevice(uint32_t index) {
  return vendor_call(ZUBSIM_CALL_OPEN, index, [&](Device& d) { return d.open(index); });
}

CH375_DECL void CH375_CALL CH375CloseDevice(uint32_t index) {
  vendor_call(ZUBSIM_CALL_CLOSE, index, [&](Device& d) { d.close(index); });
}

CH375_DECL int32_t CH375_CALL CH375ResetDevice(uint32_t index) {
  return vendor_call(ZUBSIM_CALL_RESET, index, [&](Device& d) { return d.reset(index) ? 1 : 0; });
}

CH375_DECL int32_t CH375_CALL CH375SetBufUpload(uint32_t index, uint32_t enable) {
  (void)enable;  // replies are produced on demand either way
  return vendor_call(ZUBSIM_CALL_SET_BUF_UPLOAD, index,
                     [&](Device& d) { return d.is_ours(index) ? 1 : 0; });
}

CH375_DECL int32_t CH375_CALL CH375SetTimeout(uint32_t index, uint32_t writeTimeoutMs,
                                              uint32_t readTimeoutMs) {
  (void)writeTimeoutMs;  // writes never wait
  return vendor_call(ZUBSIM_CALL_SET_TIMEOUT, index,
                     [&](Device& d) { return d.set_read_timeout(index, readTimeoutMs) ? 1 : 0; });
}

CH375_DECL int32_t CH375_CALL CH375WriteData(uint32_t index, void* buffer, uint32_t* length) {
  uint32_t delay = 0;
  const int32_t written = vendor_call(ZUBSIM_CALL_WRITE, index, [&](Device& d) {
    const bool ok = d.write(index, static_cast<const uint8_t*>(buffer), length);
    if (ok) delay = d.exchange_delay_ms();
    return ok ? 1 : 0;
  });
  // The time a real reader's USB transfers take, outside the lock so that
  // the other readers of the process answer meanwhile.
  if (delay != 0) mzub::SleepMs(delay);
  return written;
}

CH375_DECL int32_t CH375_CALL CH375ReadData(uint32_t index, void* buffer, uint32_t* length) {
  bool ok = false;
  // The wait for a reply that does not come is outside the lock.
  const uint32_t wait = vendor_call(ZUBSIM_CALL_READ, index, [&](Device& d) {
    return d.read(index, static_cast<uint8_t*>(buffer), length, &ok);
  });
  if (wait != 0) mzub::SleepMs(wait);
  return ok ? 1 : 0;
}

}  // extern "C"
