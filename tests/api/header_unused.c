/* A unit that includes the header and calls none of its functions. */
#include "MifareZUB.h"

int mz_header_unused_unit(void);

int mz_header_unused_unit(void) {
  return MZ_OK;
}
