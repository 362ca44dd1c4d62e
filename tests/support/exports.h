// The library under test, loaded at run time and called by export name:
// MifareZUB.dll beside the test program on Windows, libMifareZUB.so natively.
// On 32-bit Windows every call goes through a thunk that checks that the
// export popped exactly its own arguments (stdcall); an imbalance is reported
// as a test failure.
#ifndef MIFAREZUB_TESTS_EXPORTS_H
#define MIFAREZUB_TESTS_EXPORTS_H

#include <stdint.h>

namespace mzt {

// The address of an export, or null when the library lacks the name.
void* FindExport(const char* name);

int32_t OpenComm(int32_t deviceIndex, int32_t param);
int32_t CloseComm();
int32_t mif_Request(int32_t mode, int32_t* tagType);
int32_t mif_Anticollision(char** serial);
int32_t mif_Select(const char* serial, int32_t* size);
int32_t mif_LoadKey(int32_t a, int32_t b, const char* key);
int32_t mif_Authentication(int32_t a, int32_t b, int32_t c);
int32_t mif_Read(int32_t block, char** data);
int32_t mif_Write(int32_t block, const char* data);
int32_t mif_Increment(int32_t block, int32_t value);
int32_t mif_Decrement(int32_t block, int32_t value);
int32_t mif_Restore(int32_t block);
int32_t mif_Transfer(int32_t block);
int32_t mif_Halt();
int32_t zub_beep(int32_t on);
int32_t zub_beepms(int32_t ms);
int32_t zub_LED(int32_t led, int32_t on);
int32_t zub_LEDx(int32_t level);
int32_t mif_CtrlRelay(int32_t relay, int32_t on);
void ErrMsg(int32_t code, char** text);

}  // namespace mzt

#endif  // MIFAREZUB_TESTS_EXPORTS_H
