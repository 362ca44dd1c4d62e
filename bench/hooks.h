// Counting hooks linked into the benchmark and the budget tests: every heap
// allocation (malloc, calloc, realloc, the aligned allocators, and so every
// operator new) and every sleep (nanosleep, clock_nanosleep, usleep, sleep)
// made anywhere in the process, libMifareZUB.so included, is counted here on
// its way to the C library.
#ifndef MIFAREZUB_BENCH_HOOKS_H
#define MIFAREZUB_BENCH_HOOKS_H

#include <stdint.h>

namespace mzb {

// Heap allocations made so far by the whole process.
uint64_t Allocations();
// Sleeps begun so far, and the time they asked for in nanoseconds (a sleep
// until an absolute time counts as a sleep of no length).
uint64_t Sleeps();
uint64_t SleptNanoseconds();

}  // namespace mzb

#endif  // MIFAREZUB_BENCH_HOOKS_H
