/*
 * demo: a whole MIFARE Classic session through MifareZUB, one line per step.
 *
 * A host program written against MifareZUB.h alone. Run it beside the virtual
 * reader (the default build puts both in the same folder) and it needs no
 * hardware; beside a real reader with a 1K card in its field, on the card's
 * transport keys, it does the same.
 *
 * Sector 1 is used: block 4 for data, blocks 5 and 6 for values. Exit status
 * 0 when every step gave the result it should.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "MifareZUB.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <iconv.h>
#endif

static int failures = 0;

/* The message of a result code, converted from GBK to UTF-8 for the
 * terminal. */
static void MessageUtf8(int32_t code, char* out, size_t cap) {
  char gbk[MZ_MESSAGE_BUFFER];
  char* p = gbk;
  ErrMsg(code, &p);
#if defined(_WIN32)
  wchar_t wide[MZ_MESSAGE_BUFFER];
  int n = MultiByteToWideChar(936, 0, gbk, -1, wide, MZ_MESSAGE_BUFFER);
  if (n == 0 || WideCharToMultiByte(CP_UTF8, 0, wide, -1, out, (int)cap, NULL, NULL) == 0) {
    snprintf(out, cap, "%s", gbk);
  }
#else
  iconv_t cd = iconv_open("UTF-8", "GBK");
  char* in = gbk;
  size_t inLeft = strlen(gbk);
  char* o = out;
  size_t outLeft = cap - 1;
  if (cd == (iconv_t)-1 || iconv(cd, &in, &inLeft, &o, &outLeft) == (size_t)-1) {
    snprintf(out, cap, "%s", gbk);
  } else {
    *o = '\0';
  }
  if (cd != (iconv_t)-1) iconv_close(cd);
#endif
}

/* Prints one step: what was done, the result code, its text, and a detail;
 * for a nonzero result also its English description (the header's
 * mz_status_description). */
static int32_t Step(const char* what, int32_t result, int32_t expected, const char* detail) {
  char text[64];
  MessageUtf8(result, text, sizeof text);
  printf("%-34s %4d  %-12s %s", what, (int)result, text, detail ? detail : "");
  if (result != MZ_OK) printf("(%s)", mz_status_description(result));
  printf("%s\n", result == expected ? "" : "   <-- unexpected");
  if (result != expected) ++failures;
  return result;
}

/* A value block: the value, its inverse and the value again (each four bytes,
 * least significant first), then the address, its inverse, the address and
 * its inverse. */
static void ValueBlock(int32_t value, uint8_t address, char* hex) {
  uint8_t b[16];
  int i;
  for (i = 0; i < 4; ++i) {
    uint8_t v = (uint8_t)((uint32_t)value >> (8 * i));
    b[i] = v;
    b[4 + i] = (uint8_t)~v;
    b[8 + i] = v;
  }
  b[12] = address;
  b[13] = (uint8_t)~address;
  b[14] = address;
  b[15] = (uint8_t)~address;
  for (i = 0; i < 16; ++i) sprintf(hex + 2 * i, "%02X", b[i]);
}

/* The value of a value block read as hex text. */
static int32_t ValueOf(const char* hex) {
  uint32_t v = 0;
  int i;
  for (i = 3; i >= 0; --i) {
    unsigned byte = 0;
    sscanf(hex + 2 * i, "%2x", &byte);
    v = (v << 8) | byte;
  }
  return (int32_t)v;
}

int main(int argc, char** argv) {
  int32_t device = argc > 1 ? atoi(argv[1]) : 0;
  char serialText[MZ_SERIAL_BUFFER] = "";
  char block[MZ_BLOCK_BUFFER] = "";
  char* serial = serialText;
  char* data = block;
  char detail[96];
  char value[33];
  int32_t tagType = 0;
  int32_t size = 0;

  snprintf(detail, sizeof detail, "device %d", (int)device);
  if (Step("open the reader", OpenComm(device, 0), 0, detail) != 0) return 1;

  Step("request all cards", mif_Request(MZ_REQUEST_ALL, &tagType), 0, "");
  printf("%-34s %s %04X\n", "", "answer to request", (unsigned)tagType);
  Step("anticollision", mif_Anticollision(&serial), 0, "");
  printf("%-34s %s %s\n", "", "serial (UID and BCC)", serialText);
  Step("select the card", mif_Select(serialText, &size), 0, "");
  printf("%-34s %s %02X\n", "", "select answer (SAK)", (unsigned)size);

  Step("load key A into slot 0", mif_LoadKey(MZ_KEY_A, 0, "FFFFFFFFFFFF"), 0, "FFFFFFFFFFFF");
  Step("authenticate sector 1 with it", mif_Authentication(MZ_KEY_A, 0, 4), 0, "");

  Step("read block 4", mif_Read(4, &data), 0, block);
  Step("write block 4", mif_Write(4, "48656C6C6F2C206361726421000000FF"), 0,
       "48656C6C6F2C206361726421000000FF");
  Step("read block 4 back", mif_Read(4, &data), 0, block);

  ValueBlock(100, 5, value);
  Step("make block 5 a value block of 100", mif_Write(5, value), 0, value);
  Step("increment block 5 by 25", mif_Increment(5, 25), 0, "");
  Step("transfer into block 5", mif_Transfer(5), 0, "");
  Step("decrement block 5 by 10", mif_Decrement(5, 10), 0, "");
  Step("transfer into block 5", mif_Transfer(5), 0, "");
  Step("restore block 5", mif_Restore(5), 0, "");
  Step("transfer into block 6", mif_Transfer(6), 0, "");
  if (Step("read the value of block 6", mif_Read(6, &data), 0, block) == 0) {
    snprintf(detail, sizeof detail, "value %d", (int)ValueOf(block));
    printf("%-34s %s\n", "", detail);
    if (ValueOf(block) != 115) ++failures;
  }
  Step("halt the card", mif_Halt(), 0, "");
  Step("request idle cards: none answers", mif_Request(MZ_REQUEST_IDLE, &tagType),
       MZ_STATUS_NO_CARD, "");
  Step("request all cards wakes the halted", mif_Request(MZ_REQUEST_ALL, &tagType), 0, "");
  Step("anticollision", mif_Anticollision(&serial), 0, serialText);
  Step("select the card", mif_Select(serialText, &size), 0, "");
  Step("load a wrong key A into slot 1", mif_LoadKey(MZ_KEY_A, 1, "A0A1A2A3A4A5"), 0,
       "A0A1A2A3A4A5");
  Step("authenticate sector 1 with it", mif_Authentication(MZ_KEY_A, 1, 4), MZ_STATUS_WRONG_KEY,
       "");
  Step("read block 4: not authenticated", mif_Read(4, &data), MZ_STATUS_NO_CARD, "");

  Step("beeper on", zub_beep(1), 0, "");
  Step("beeper off", zub_beep(0), 0, "");
  Step("beep for 100 ms", zub_beepms(100), 0, "");
  Step("LED 1 on", zub_LED(1, 1), 0, "");
  Step("LED level 127", zub_LEDx(MZ_LED_HALF), 0, "");
  Step("LED level 128 is refused", zub_LEDx(128), 1, "");
  Step("relay", mif_CtrlRelay(1, 1), 0, "");
  Step("close the reader", CloseComm(), 0, "");
  Step("a command after closing", mif_Halt(), MZ_NO_LINK, "");

  printf("%s\n", failures == 0 ? "session complete" : "session had unexpected results");
  return failures == 0 ? 0 : 1;
}
