// An instant stand-in for the vendor library, built as libCH375DLL.so for the
// benchmark and the budget tests.
//
// It answers every well-formed request frame at once with a canned reply that
// echoes the command with status 0 (and, for request, anticollision, select
// and read, the data a MIFARE Classic 1K card gives), so that whatever a
// command costs is the library's own work plus a copy of at most 32 bytes
// here. It counts its calls; it never sleeps, allocates or records frames.
#ifndef MIFAREZUB_BENCH_INSTANT_VENDOR_H
#define MIFAREZUB_BENCH_INSTANT_VENDOR_H

#include <stdint.h>

#define INSTANT_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

enum InstantCall {
  INSTANT_OPEN,
  INSTANT_CLOSE,
  INSTANT_RESET,
  INSTANT_BUF_UPLOAD,
  INSTANT_SET_TIMEOUT,
  INSTANT_WRITE,
  INSTANT_READ,
  INSTANT_CALL_KINDS
};

// How reads are answered.
enum InstantMode {
  INSTANT_ANSWER,   // the canned reply to the last well-formed frame written
  INSTANT_SILENT,   // nothing within the timeout (count 0)
  INSTANT_DAMAGED,  // the canned reply with a wrong check byte
};

typedef struct InstantCounts {
  uint64_t calls[INSTANT_CALL_KINDS];
} InstantCounts;

INSTANT_API void instant_set_mode(int32_t mode);
// The number of calls of each kind since the library was loaded.
INSTANT_API InstantCounts instant_counts(void);

#ifdef __cplusplus
}
#endif

#endif  // MIFAREZUB_BENCH_INSTANT_VENDOR_H
