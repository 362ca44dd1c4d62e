// One process-wide lock that serializes the exports, so that a host calling
// from two threads gets whole exchanges, never interleaved frames on the one
// link. A plain platform lock that needs no initialization call: on Windows
// an interlocked flag (every Windows from XP on has the calls it takes; SRW
// locks came only with Vista), a pthread mutex elsewhere.
#ifndef MIFAREZUB_API_LOCK_H
#define MIFAREZUB_API_LOCK_H

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#endif

namespace mzub {

class ExportLock {
 public:
  ExportLock() { Acquire(); }
  ~ExportLock() { Release(); }
  ExportLock(const ExportLock&) = delete;
  ExportLock& operator=(const ExportLock&) = delete;

 private:
#if defined(_WIN32)
  // 0 free, 1 held. Zero-initialized before any code of the DLL runs.
  static volatile LONG& Lock() {
    static volatile LONG held = 0;
    return held;
  }
  // An export holds the lock for one exchange (at most a few hundred
  // milliseconds), so a waiter yields its time slice, then sleeps a
  // millisecond at a time, rather than spinning.
  static void Acquire() {
    for (unsigned spins = 0; InterlockedCompareExchange(&Lock(), 1, 0) != 0; ++spins) {
      Sleep(spins < 64 ? 0 : 1);
    }
  }
  static void Release() {
    InterlockedExchange(&Lock(), 0);
  }
#else
  static pthread_mutex_t& Lock() {
    static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    return lock;
  }
  static void Acquire() {
    pthread_mutex_lock(&Lock());
  }
  static void Release() {
    pthread_mutex_unlock(&Lock());
  }
#endif
};

}  // namespace mzub

#endif  // MIFAREZUB_API_LOCK_H
