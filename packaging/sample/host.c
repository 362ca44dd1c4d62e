/*
 * host.c: the smallest whole card session through MifareZUB.
 *
 * Finds the card, authenticates sector 1 with the transport key, writes and
 * reads back block 4, and prints every result with its message. Exit status 0
 * when the session went through.
 *
 * MinGW:  i686-w64-mingw32-gcc host.c -I../include -L../x86 -lMifareZUB -o host.exe
 *         x86_64-w64-mingw32-gcc host.c -I../include -L../x64 -lMifareZUB -o host.exe
 * MSVC:   cl /I..\include host.c ..\x86\MifareZUB.lib   (x64: ..\x64\MifareZUB.lib)
 *
 * Run it with the MifareZUB.dll of its width and the vendor library that DLL
 * imports (CH375DLL.dll for x86, CH375DLL64.dll for x64: the reader's, or the
 * virtual reader's) beside it.
 */
#include <stdio.h>
#include <string.h>

#include <windows.h>

#include "MifareZUB.h"

/* Prints a step, its result and the library's message; a nonzero result also
 * with its English description. Returns the result. */
static int32_t Show(const char* step, int32_t result) {
  char gbk[MZ_MESSAGE_BUFFER];
  char* text = gbk;
  wchar_t wide[MZ_MESSAGE_BUFFER];
  char utf8[64];
  ErrMsg(result, &text); /* code page 936 (GBK) */
  MultiByteToWideChar(936, 0, gbk, -1, wide, MZ_MESSAGE_BUFFER);
  WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8, sizeof utf8, NULL, NULL);
  if (result == MZ_OK) {
    printf("%-24s %4d  %s\n", step, (int)result, utf8);
  } else {
    printf("%-24s %4d  %s (%s)\n", step, (int)result, utf8, mz_status_description(result));
  }
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
  ok = Show("mif_Request", mif_Request(MZ_REQUEST_ALL, &tagType)) == 0 &&
       Show("mif_Anticollision", mif_Anticollision(&serial)) == 0 &&
       Show("mif_Select", mif_Select(serialBuffer, &sak)) == 0 &&
       Show("mif_LoadKey", mif_LoadKey(MZ_KEY_A, 0, "FFFFFFFFFFFF")) == 0 &&
       Show("mif_Authentication", mif_Authentication(MZ_KEY_A, 0, 4)) == 0 &&
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
