/*
 * host.c: the smallest whole card session through the installed MifareZUB.
 *
 * Finds the card, authenticates sector 1 with the transport key, writes and
 * reads back block 4, and prints every result with its English meaning (the
 * header's mz_status_description) and the library's own text (converted from
 * GBK to UTF-8 with iconv). Exit status 0 when the session went through.
 *
 * Build it against the installed library:
 *   cc host.c $(pkg-config --cflags --libs mifarezub) -o host
 * Run it with a real reader (the libCH375DLL.so beside the library), or with
 * the virtual reader's folder first:
 *   LD_LIBRARY_PATH=$(pkg-config --variable=virtualreaderdir mifarezub) ./host
 */
#include <iconv.h>
#include <stdio.h>
#include <string.h>

#include "MifareZUB.h"

/* The library's text for a code (code page 936) as UTF-8 in out. */
static void LibraryText(int32_t code, char* out, size_t size) {
  char gbk[MZ_MESSAGE_BUFFER];
  char* text = gbk;
  char* in;
  size_t inLeft, outLeft = size - 1;
  iconv_t cd;
  out[0] = '\0';
  ErrMsg(code, &text);
  cd = iconv_open("UTF-8", "GBK");
  if (cd == (iconv_t)-1) { /* no GBK converter: the English meaning is shown anyway */
    return;
  }
  in = gbk;
  inLeft = strlen(gbk);
  if (iconv(cd, &in, &inLeft, &out, &outLeft) != (size_t)-1) *out = '\0';
  iconv_close(cd);
}

/* Prints a step and its result; returns the result. */
static int32_t Show(const char* step, int32_t result) {
  char text[64];
  LibraryText(result, text, sizeof text);
  printf("%-20s %4d  %s (%s)\n", step, (int)result, mz_status_description(result), text);
  return result;
}

int main(void) {
  char serialBuffer[MZ_SERIAL_BUFFER];
  char blockBuffer[MZ_BLOCK_BUFFER];
  char* serial = serialBuffer;
  char* block = blockBuffer;
  const char* data = "486F73742073616D706C6520210000FF";
  int32_t tagType = 0, sak = 0;
  int ok;

  if (Show("OpenComm", OpenComm(0, 0)) != MZ_OK) return 1;
  ok = Show("mif_Request", mif_Request(1, &tagType)) == 0 &&
       Show("mif_Anticollision", mif_Anticollision(&serial)) == 0 &&
       Show("mif_Select", mif_Select(serialBuffer, &sak)) == 0 &&
       Show("mif_LoadKey", mif_LoadKey(0, 0, "FFFFFFFFFFFF")) == 0 &&
       Show("mif_Authentication", mif_Authentication(0, 0, 4)) == 0 &&
       Show("mif_Write", mif_Write(4, data)) == 0 && Show("mif_Read", mif_Read(4, &block)) == 0;
  if (ok) {
    printf("card %s  ATQA %04X  SAK %02X  block 4 %s\n", serialBuffer, (unsigned)tagType,
           (unsigned)sak, blockBuffer);
    ok = strcmp(blockBuffer, data) == 0;
  }
  Show("mif_Halt", mif_Halt());
  Show("CloseComm", CloseComm());
  printf("%s\n", ok ? "session complete" : "session failed");
  return ok ? 0 : 1;
}
