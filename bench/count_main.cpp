// Calls one export a given number of times against an open link, for
// instruction counting under callgrind (--toggle-collect=<export>):
//   mz_count <export> <calls>
// Exits 1 on a usage error, 2 when a call does not succeed.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "MifareZUB.h"
#include "instant_reader.h"

namespace {

char textBuffer[64];
char* text = textBuffer;
int32_t number = 0;

struct Export {
  const char* name;
  int32_t (*call)();
};

const Export kExports[] = {
    {"mif_Request", [] { return mif_Request(1, &number); }},
    {"mif_Anticollision", [] { return mif_Anticollision(&text); }},
    {"mif_Select", [] { return mif_Select("8A3F21C45E", &number); }},
    {"mif_LoadKey", [] { return mif_LoadKey(0, 0, "FFFFFFFFFFFF"); }},
    {"mif_Authentication", [] { return mif_Authentication(0, 0, 4); }},
    {"mif_Read", [] { return mif_Read(4, &text); }},
    {"mif_Write", [] { return mif_Write(4, "00112233445566778899AABBCCDDEEFF"); }},
    {"mif_Increment", [] { return mif_Increment(5, 100); }},
    {"mif_Decrement", [] { return mif_Decrement(5, 100); }},
    {"mif_Restore", [] { return mif_Restore(5); }},
    {"mif_Transfer", [] { return mif_Transfer(5); }},
    {"mif_Halt", [] { return mif_Halt(); }},
    {"zub_beep", [] { return zub_beep(1); }},
    {"zub_beepms", [] { return zub_beepms(0); }},
    {"zub_LED", [] { return zub_LED(1, 1); }},
    {"zub_LEDx", [] { return zub_LEDx(127); }},
    {"mif_CtrlRelay", [] { return mif_CtrlRelay(1, 1); }},
    {"ErrMsg",
     [] {
       ErrMsg(-2, &text);
       return 0;
     }},
};

}  // namespace

int main(int argc, char** argv) {
  const Export* chosen = nullptr;
  if (argc == 3) {
    for (const Export& e : kExports)
      if (strcmp(e.name, argv[1]) == 0) chosen = &e;
  }
  const long calls = argc == 3 ? strtol(argv[2], nullptr, 10) : 0;
  if (chosen == nullptr || calls <= 0) {
    fprintf(stderr, "usage: %s <export> <calls>\n", argv[0]);
    return 1;
  }
  mzb::InstallInstantReader();
  if (OpenComm(0, 0) != MZ_OK) {
    fprintf(stderr, "OpenComm failed\n");
    return 2;
  }
  int failed = 0;
  for (long i = 0; i < calls; ++i) failed |= chosen->call() != MZ_OK;
  CloseComm();
  if (failed) fprintf(stderr, "%s did not succeed\n", chosen->name);
  return failed ? 2 : 0;
}
