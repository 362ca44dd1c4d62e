#include "check.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#if defined(MZF_ASAN)
#include <sanitizer/asan_interface.h>
#endif

namespace mzfuzz {
namespace {
DescribeFn describe = nullptr;
const void* describeArg = nullptr;
}  // namespace

void SetContext(DescribeFn fn, const void* arg) {
  describe = fn;
  describeArg = arg;
}

void Fail(const char* file, int line, const char* condition, const char* format, ...) {
  char context[1024] = "(setting up)";
  if (describe != nullptr) describe(describeArg, context, sizeof context);
  fprintf(stderr, "\n==== invariant violated at %s:%d: %s\n     while: %s\n     ", file, line,
          condition, context);
  va_list args;
  va_start(args, format);
  vfprintf(stderr, format, args);
  va_end(args);
  fprintf(stderr, "\n");
  fflush(stderr);
  abort();
}

void Poison(const void* p, size_t n) {
#if defined(MZF_ASAN)
  ASAN_POISON_MEMORY_REGION(p, n);
#else
  (void)p;
  (void)n;
#endif
}

void Unpoison(const void* p, size_t n) {
#if defined(MZF_ASAN)
  ASAN_UNPOISON_MEMORY_REGION(p, n);
#else
  (void)p;
  (void)n;
#endif
}

}  // namespace mzfuzz
