// Invariant checks for the fuzz targets: a violated invariant prints what was
// being called and why it is wrong, then aborts, so that libFuzzer keeps the
// input as a crasher and the replay driver fails its test.
#ifndef MIFAREZUB_FUZZ_CHECK_H
#define MIFAREZUB_FUZZ_CHECK_H

#include <stddef.h>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MZF_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) && !defined(MZF_ASAN)
#define MZF_ASAN 1
#endif

namespace mzfuzz {

// What the target is doing, printed with a failure ("mif_Read(4, ...)"):
// describe(arg, out, capacity) is called only then, so that a context costs
// nothing while every invariant holds.
using DescribeFn = void (*)(const void* arg, char* out, size_t capacity);
void SetContext(DescribeFn describe, const void* arg);

[[noreturn]] void Fail(const char* file, int line, const char* condition, const char* format, ...)
#if defined(__MINGW32__)
    __attribute__((format(gnu_printf, 4, 5)))
#elif defined(__GNUC__)
    __attribute__((format(printf, 4, 5)))
#endif
    ;

// Marks memory that nothing may touch (under AddressSanitizer any access
// then reports the offending instruction) and gives it back.
void Poison(const void* p, size_t n);
void Unpoison(const void* p, size_t n);

}  // namespace mzfuzz

#define MZF_CHECK(condition, ...)                                  \
  do {                                                             \
    if (!(condition)) {                                            \
      ::mzfuzz::Fail(__FILE__, __LINE__, #condition, __VA_ARGS__); \
    }                                                              \
  } while (0)

#endif  // MIFAREZUB_FUZZ_CHECK_H
