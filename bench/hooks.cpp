// The program defines the C library's allocation and sleep functions itself,
// so that every caller in the process, shared libraries included, binds to
// these definitions. Each one counts and forwards to the C library's own
// function, found with dlsym(RTLD_NEXT).
#include "hooks.h"

#include <dlfcn.h>
#include <malloc.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

namespace {

std::atomic<uint64_t> allocations{0};
std::atomic<uint64_t> sleeps{0};
std::atomic<uint64_t> sleptNs{0};

struct Real {
  void* (*malloc)(size_t);
  void* (*calloc)(size_t, size_t);
  void* (*realloc)(void*, size_t);
  void (*free)(void*);
  void* (*aligned_alloc)(size_t, size_t);
  int (*posix_memalign)(void**, size_t, size_t);
  void* (*memalign)(size_t, size_t);
  int (*nanosleep)(const timespec*, timespec*);
  int (*clock_nanosleep)(clockid_t, int, const timespec*, timespec*);
  int (*usleep)(useconds_t);
  unsigned (*sleep)(unsigned);
};

Real real;
// 0 not looked up, 1 looking up, 2 ready.
std::atomic<int> state{0};

// dlsym may allocate while the real functions are being looked up (the first
// allocation of the process comes before any constructor of ours runs); those
// few requests are served from this arena and never given back.
alignas(max_align_t) char arena[16384];
size_t arenaUsed = 0;

bool InArena(const void* p) {
  return p >= static_cast<const void*>(arena) && p < static_cast<const void*>(arena + sizeof arena);
}

void* ArenaAlloc(size_t n) {
  const size_t step = (n + alignof(max_align_t) - 1) & ~(alignof(max_align_t) - 1);
  if (sizeof arena - arenaUsed < step) return nullptr;
  void* p = arena + arenaUsed;
  arenaUsed += step;
  return p;
}

template <class F>
void Find(F& fn, const char* name) {
  fn = reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// True once `real` is filled in; false while the lookup is under way on this
// very call path.
bool Ready() {
  if (state.load(std::memory_order_acquire) == 2) return true;
  int expected = 0;
  if (!state.compare_exchange_strong(expected, 1)) return state.load() == 2;
  Find(real.malloc, "malloc");
  Find(real.calloc, "calloc");
  Find(real.realloc, "realloc");
  Find(real.free, "free");
  Find(real.aligned_alloc, "aligned_alloc");
  Find(real.posix_memalign, "posix_memalign");
  Find(real.memalign, "memalign");
  Find(real.nanosleep, "nanosleep");
  Find(real.clock_nanosleep, "clock_nanosleep");
  Find(real.usleep, "usleep");
  Find(real.sleep, "sleep");
  state.store(2, std::memory_order_release);
  return true;
}

void CountAllocation() {
  allocations.fetch_add(1, std::memory_order_relaxed);
}

void CountSleep(uint64_t ns) {
  sleeps.fetch_add(1, std::memory_order_relaxed);
  sleptNs.fetch_add(ns, std::memory_order_relaxed);
}

uint64_t Nanoseconds(const timespec* t) {
  if (t == nullptr || t->tv_sec < 0 || t->tv_nsec < 0) return 0;
  return static_cast<uint64_t>(t->tv_sec) * 1000000000u + static_cast<uint64_t>(t->tv_nsec);
}

}  // namespace

namespace mzb {

uint64_t Allocations() {
  return allocations.load(std::memory_order_relaxed);
}
uint64_t Sleeps() {
  return sleeps.load(std::memory_order_relaxed);
}
uint64_t SleptNanoseconds() {
  return sleptNs.load(std::memory_order_relaxed);
}

}  // namespace mzb

// Built with hidden visibility by default: these must be seen by the shared
// libraries.
#define MZB_INTERPOSE __attribute__((visibility("default")))

extern "C" {

MZB_INTERPOSE void* malloc(size_t n) noexcept {
  if (!Ready()) return ArenaAlloc(n);
  CountAllocation();
  return real.malloc(n);
}

MZB_INTERPOSE void* calloc(size_t count, size_t n) noexcept {
  if (!Ready()) {
    if (n != 0 && count > static_cast<size_t>(-1) / n) return nullptr;
    return ArenaAlloc(count * n);  // the arena is zero until handed out
  }
  CountAllocation();
  return real.calloc(count, n);
}

MZB_INTERPOSE void* realloc(void* p, size_t n) noexcept {
  if (InArena(p)) {
    void* q = malloc(n);
    const size_t held = static_cast<size_t>(arena + sizeof arena - static_cast<char*>(p));
    if (q != nullptr) memcpy(q, p, n < held ? n : held);
    return q;
  }
  if (!Ready()) return ArenaAlloc(n);
  CountAllocation();
  return real.realloc(p, n);
}

MZB_INTERPOSE void free(void* p) noexcept {
  if (p == nullptr || InArena(p)) return;
  Ready();
  real.free(p);
}

MZB_INTERPOSE void* aligned_alloc(size_t alignment, size_t n) noexcept {
  Ready();
  CountAllocation();
  return real.aligned_alloc(alignment, n);
}

MZB_INTERPOSE int posix_memalign(void** out, size_t alignment, size_t n) noexcept {
  Ready();
  CountAllocation();
  return real.posix_memalign(out, alignment, n);
}

MZB_INTERPOSE void* memalign(size_t alignment, size_t n) noexcept {
  Ready();
  CountAllocation();
  return real.memalign(alignment, n);
}

MZB_INTERPOSE int nanosleep(const timespec* request, timespec* remaining) {
  Ready();
  CountSleep(Nanoseconds(request));
  return real.nanosleep(request, remaining);
}

MZB_INTERPOSE int clock_nanosleep(clockid_t clock, int flags, const timespec* request,
                                  timespec* remaining) {
  Ready();
  CountSleep((flags & TIMER_ABSTIME) != 0 ? 0 : Nanoseconds(request));
  return real.clock_nanosleep(clock, flags, request, remaining);
}

MZB_INTERPOSE int usleep(useconds_t us) {
  Ready();
  CountSleep(static_cast<uint64_t>(us) * 1000u);
  return real.usleep(us);
}

MZB_INTERPOSE unsigned sleep(unsigned s) {
  Ready();
  CountSleep(static_cast<uint64_t>(s) * 1000000000u);
  return real.sleep(s);
}

}  // extern "C"
