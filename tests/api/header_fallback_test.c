/*
 * The header where MZ_INLINE expands to nothing (a C89 compiler that is
 * neither GCC-compatible nor MSVC; built with __GNUC__ undefined): warnings
 * are errors, so a unit that includes the header and never calls
 * mz_status_description (header_unused.c) must compile cleanly, and one that
 * calls it gets the header's texts. Needs no library and no C library header
 * beyond the header's own stdint.h.
 */
#include "MifareZUB.h"

int mz_header_unused_unit(void);

static int same(const char* a, const char* b) {
  while (*a != '\0' && *a == *b) {
    ++a;
    ++b;
  }
  return *a == *b;
}

int main(void) {
  int failures = 0;
  failures += !same(mz_status_description(MZ_STATUS_WRONG_KEY), "wrong key");
  failures += !same(mz_status_description(MZ_EXCHANGE_FAILED), "no valid reply from the reader");
  failures += !same(mz_status_description(7), "unknown result");
  failures += mz_header_unused_unit() != MZ_OK;
  return failures == 0 ? 0 : 1;
}
