/*
 * The header on its own, compiled as C89, C99 and C++ and linked without the
 * library: mz_status_description gives every named code its English text
 * (a code is never narrowed to a byte), "unknown result" for the rest, and
 * never a null pointer.
 */
#include <stdio.h>
#include <string.h>

#include "MifareZUB.h"

struct Case {
  int32_t code;
  const char* description;
};

static const struct Case kCases[] = {
    {MZ_OK, "success"},
    {MZ_STATUS_NO_CARD, "no card answers, or the sector is not authenticated"},
    {MZ_STATUS_WRONG_KEY, "wrong key"},
    {MZ_STATUS_NO_PERMISSION, "the access conditions forbid it"},
    {MZ_STATUS_NOT_IMPLEMENTED, "the reader does not know the command"},
    {MZ_NO_LINK, "reader not open or not answering"},
    {MZ_EXCHANGE_FAILED, "no valid reply from the reader"},
    /* Codes without a name; 256 and 260 would be 0 and 4 cut to a byte. */
    {7, "unknown result"},
    {-3, "unknown result"},
    {256, "unknown result"},
    {260, "unknown result"},
    {-255, "unknown result"},
    {(int32_t)0x7FFFFFFF, "unknown result"},
};

int main(void) {
  int failures = 0;
  int32_t code;
  size_t i;
  for (i = 0; i < sizeof kCases / sizeof kCases[0]; ++i) {
    const char* got = mz_status_description(kCases[i].code);
    if (got == NULL || strcmp(got, kCases[i].description) != 0) {
      printf("FAIL code %ld: \"%s\", want \"%s\"\n", (long)kCases[i].code, got ? got : "(null)",
             kCases[i].description);
      ++failures;
    }
  }
  /* Every entry of the table, through the table's own names. */
#define CHECK_ENTRY(name, description)                               \
  if (strcmp(mz_status_description(name), description) != 0) {       \
    printf("FAIL %s: \"%s\"\n", #name, mz_status_description(name)); \
    ++failures;                                                      \
  }
  MZ_STATUS_TABLE(CHECK_ENTRY)
#undef CHECK_ENTRY
  for (code = -1000; code <= 1000; ++code) {
    const char* got = mz_status_description(code);
    if (got == NULL || got[0] == '\0') {
      printf("FAIL code %ld: no text\n", (long)code);
      ++failures;
    }
  }
  printf("%s: %d failure(s)\n", failures ? "FAIL" : "ok", failures);
  return failures ? 1 : 0;
}
