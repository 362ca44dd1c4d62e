// One process-wide lock that serializes the exports, so that a host calling
// from two threads gets whole exchanges, never interleaved frames on the one
// link. A plain platform lock that needs no initialization call: an SRW lock
// on Windows, a pthread mutex elsewhere.
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
  static SRWLOCK& Lock() {
    static SRWLOCK lock = SRWLOCK_INIT;
    return lock;
  }
  static void Acquire() {
    AcquireSRWLockExclusive(&Lock());
  }
  static void Release() {
    ReleaseSRWLockExclusive(&Lock());
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
