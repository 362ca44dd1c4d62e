// The one millisecond sleep of the library, the virtual reader and the PC/SC
// driver: Sleep on Windows, nanosleep elsewhere, resumed after a signal so
// that a beep or a reply delay lasts as long as asked.
#ifndef MIFAREZUB_LINK_SLEEP_MS_H
#define MIFAREZUB_LINK_SLEEP_MS_H

#include <cstdint>

#if defined(_WIN32)
#include <windows.h>
#else
#include <cerrno>
#include <ctime>
#endif

namespace mzub {

inline void SleepMs(int64_t ms) {
  if (ms <= 0) return;
#if defined(_WIN32)
  Sleep(static_cast<DWORD>(ms));
#else
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
#endif
}

}  // namespace mzub

#endif  // MIFAREZUB_LINK_SLEEP_MS_H
