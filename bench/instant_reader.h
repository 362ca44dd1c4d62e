// An instant reader for the benchmark and the budget tests: a script for the
// test double (tests/double) that answers every well-formed request frame at
// once with a canned reply echoing the command with status 0 (and, for
// request, anticollision, select and read, the data a MIFARE Classic 1K card
// gives), so that whatever a command costs is the library's own work plus a
// copy of at most 32 bytes in the double. The double counts the calls; with
// recording off it never sleeps, allocates or keeps frames.
#ifndef MIFAREZUB_BENCH_INSTANT_READER_H
#define MIFAREZUB_BENCH_INSTANT_READER_H

#include <stdint.h>

#include "ch375_double.h"

namespace mzb {

// How reads are answered.
enum class Replies {
  kAnswer,   // the canned reply to the last well-formed frame written
  kSilent,   // nothing within the timeout (count 0); the reply still waits
  kDamaged,  // the canned reply with a wrong check byte
};

// Resets the double, turns its recording off and installs the reader, which
// answers with `replies`.
void InstallInstantReader();
void SetReplies(Replies replies);

// The double's call counts, by kind (DBL_OPEN ... DBL_READ).
struct VendorCounts {
  uint64_t calls[DBL_CALL_KINDS];
  static VendorCounts Now();
};

}  // namespace mzb

#endif  // MIFAREZUB_BENCH_INSTANT_READER_H
