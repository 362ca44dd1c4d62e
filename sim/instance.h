// The one virtual reader of a process, and the lock that every vendor call
// and control call holds while it acts on it.
#ifndef MIFAREZUB_SIM_INSTANCE_H
#define MIFAREZUB_SIM_INSTANCE_H

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <mutex>
#endif

#include "device.h"

namespace zubsim {

#if defined(_WIN32)
class Lock {
 public:
  Lock() { InitializeCriticalSection(&section_); }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;
  void lock() { EnterCriticalSection(&section_); }
  void unlock() { LeaveCriticalSection(&section_); }

 private:
  CRITICAL_SECTION section_;
};
#else
using Lock = std::mutex;
#endif

struct Instance {
  Lock lock;
  Device device{config_from_environment()};
};

// Built on first use from the ZUBSIM_ variables; never destroyed, as vendor
// calls may come from other libraries' teardown.
Instance& instance();

// Runs `body` on the device with the lock held; returns what it returns.
template <typename Body>
auto locked(Body body) -> decltype(body(instance().device)) {
  Instance& i = instance();
  i.lock.lock();
  struct Unlock {
    Lock& lock;
    ~Unlock() { lock.unlock(); }
  } unlock{i.lock};
  return body(i.device);
}

}  // namespace zubsim

#endif  // MIFAREZUB_SIM_INSTANCE_H
