/* SPDX-License-Identifier: MIT. Copyright (c) 2026 The MifareZUB authors. */
/*
 * MifareZUB: drives a USB MIFARE Classic card reader.
 *
 * One reader link at a time: OpenComm first, then any commands, CloseComm
 * last. Every command sends one request frame to the reader and waits at most
 * 100 ms for its reply. Calls may come from any thread, one at a time.
 *
 * Result codes (every function but ErrMsg returns one):
 *    0          success
 *    1 .. 255   the reader's status byte for a card command (ErrMsg explains
 *               it); 1 also when zub_LEDx refuses its level
 *   -1          no open link (or OpenComm could not open the reader)
 *   -2          the exchange failed: no reply within 100 ms, a damaged or
 *               short reply, a reply to another command, or a request the
 *               library refused to send (a text that is not hexadecimal or
 *               too long for one frame, a byte argument outside 0 to 255)
 *
 * Texts are zero-terminated 8-bit strings. Hexadecimal texts are pairs of
 * digits, one pair per byte, first byte first ("A1B2C3D4"); the library writes
 * upper case and reads either case. A null text reads as the empty text.
 *
 * Text outputs: pass the address of a variable that holds the address of your
 * buffer (char buf[33]; char* p = buf; mif_Read(4, &p);). The library writes a
 * zero-terminated text into the buffer; give at least the size named on each
 * function. A null output address is never written through.
 *
 * On Windows every function uses the stdcall (WINAPI) convention (on x64,
 * the one x64 convention) and is exported from MifareZUB.dll, x86 or x64,
 * under its plain name and the ordinal in MifareZUB.def; natively
 * libMifareZUB.so exports the same C names.
 *
 * Behaviour kept on purpose. Hosts and reader firmware in the field rely on
 * each of these; they are pinned by the DeliberateQuirks tests, so that
 * nobody "fixes" them by accident:
 *  - A reply shorter than an output field fills the field from what it
 *    holds, the reply's check byte included: a select answered 04 30 01 00 35
 *    gives *size 0x35. A status-0 reply that holds no byte at all for an
 *    integer output gives -2 and leaves the output alone.
 *  - A reply of length byte 3 has its check byte where the status belongs:
 *    03 D0 01 D2 to mif_Halt gives 0xD2.
 *  - A final odd character of a hexadecimal text is dropped, not refused:
 *    mif_Write(4, "...F" with 33 digits) sends 16 bytes.
 *  - A null text is sent as the empty text: mif_Write(4, NULL) sends the
 *    block number alone.
 *  - zub_beep, zub_LED and zub_LEDx give 0 for any answer of the reader's:
 *    they do not read its status byte.
 *  - zub_LEDx gives 1 for a level other than 0, 127 and 255, with or without
 *    a link, and sends nothing; 1 is also a reader status ("no card").
 *  - Arguments the library will not send (a byte argument outside 0 to 255,
 *    a text that is not hexadecimal or too long for one frame) give -2, the
 *    code of a failed exchange, and nothing is sent.
 *  - mif_Request wakes every card only for `mode` exactly 1; zub_beep and
 *    zub_LED switch on only for `on` exactly 1 (2 and -1 mean off).
 *  - OpenComm uses the low 8 bits of the device index (257 opens index 1),
 *    ignores `param`, and resets the device index even when the open failed.
 *  - On a nonzero status an integer output is set to 0 and a text output to
 *    the empty text; on -1 and -2 outputs are left as they were.
 *  - zub_beepms and mif_CtrlRelay always give 0.
 */
#ifndef MIFAREZUB_H
#define MIFAREZUB_H

#include <stdint.h>

#if defined(_WIN32)
#define MZ_CALL __stdcall
#if defined(MIFAREZUB_BUILD)
#define MZ_API
#else
#define MZ_API __declspec(dllimport)
#endif
#else
#define MZ_CALL
#if defined(MIFAREZUB_BUILD)
#define MZ_API __attribute__((visibility("default")))
#else
#define MZ_API
#endif
#endif

/* Buffer sizes a host must give to the text outputs, zero byte included. */
#define MZ_SERIAL_BUFFER 11  /* mif_Anticollision: 10 hex digits */
#define MZ_BLOCK_BUFFER 33   /* mif_Read: 32 hex digits */
#define MZ_MESSAGE_BUFFER 18 /* ErrMsg: at most 17 bytes of GBK text */

/* Lengths of the hexadecimal inputs, in digits (without a zero byte). */
#define MZ_KEY_DIGITS 12   /* mif_LoadKey: a 6-byte key */
#define MZ_BLOCK_DIGITS 32 /* mif_Write: a 16-byte block */

/* Key types: argument `a` of mif_LoadKey and mif_Authentication. */
#define MZ_KEY_A 0
#define MZ_KEY_B 1

/* mif_Request modes. */
#define MZ_REQUEST_IDLE 0 /* only cards that are not halted */
#define MZ_REQUEST_ALL 1  /* every card, halted ones too */

/* The LED levels zub_LEDx accepts. */
#define MZ_LED_OFF 0
#define MZ_LED_HALF 127
#define MZ_LED_FULL 255

/* Result codes of the library's own. */
#define MZ_OK 0
#define MZ_NO_LINK (-1)
#define MZ_EXCHANGE_FAILED (-2)

/* ---- Result codes by name ---------------------------------------------- */

/* Every result code with a name, and its meaning in English (ErrMsg gives the
 * library's own text, in Chinese). MZ_STATUS_TABLE(X) lists them as
 * X(name, description), one entry per code, for programs that show them; the
 * tool zubtool and the Python package (mifarezub.errors) use the same names
 * and descriptions. Any other code has no name. */
#define MZ_STATUS_OK 0
#define MZ_STATUS_NO_CARD 1
#define MZ_STATUS_CRC_ERROR 2
#define MZ_STATUS_VALUE_OVERFLOW 3
#define MZ_STATUS_WRONG_KEY 4
#define MZ_STATUS_PARITY_ERROR 5
#define MZ_STATUS_CARD_ERROR 6
#define MZ_STATUS_INVALID_SERIAL 8
#define MZ_STATUS_NO_PERMISSION 16
#define MZ_STATUS_BIT_COUNT_ERROR 17
#define MZ_STATUS_BYTE_COUNT_ERROR 18
#define MZ_STATUS_WAITING 19
#define MZ_STATUS_VALUE_STORE_ERROR 20
#define MZ_STATUS_WRITE_ERROR 21
#define MZ_STATUS_INCREMENT_ERROR 22
#define MZ_STATUS_DECREMENT_ERROR 23
#define MZ_STATUS_READ_ERROR 24
#define MZ_STATUS_POLL 32
#define MZ_STATUS_NOT_IMPLEMENTED 255
#define MZ_STATUS_NO_LINK (-1)
#define MZ_STATUS_EXCHANGE_FAILED (-2)

#define MZ_STATUS_TABLE(X)                                                           \
  X(MZ_STATUS_OK, "success")                                                         \
  X(MZ_STATUS_NO_CARD, "no card answers, or the sector is not authenticated")        \
  X(MZ_STATUS_CRC_ERROR, "CRC error in the exchange with the card")                  \
  X(MZ_STATUS_VALUE_OVERFLOW, "value overflow")                                      \
  X(MZ_STATUS_WRONG_KEY, "wrong key")                                                \
  X(MZ_STATUS_PARITY_ERROR, "parity error in the exchange with the card")            \
  X(MZ_STATUS_CARD_ERROR, "the exchange with the card failed")                       \
  X(MZ_STATUS_INVALID_SERIAL, "invalid serial number")                               \
  X(MZ_STATUS_NO_PERMISSION, "the access conditions forbid it")                      \
  X(MZ_STATUS_BIT_COUNT_ERROR, "wrong bit count in the exchange with the card")      \
  X(MZ_STATUS_BYTE_COUNT_ERROR, "wrong byte count in the exchange with the card")    \
  X(MZ_STATUS_WAITING, "waiting for DV")                                             \
  X(MZ_STATUS_VALUE_STORE_ERROR, "nothing to transfer, or the value was not stored") \
  X(MZ_STATUS_WRITE_ERROR, "write failed, or the block is outside the card")         \
  X(MZ_STATUS_INCREMENT_ERROR, "increment failed: not a value block")                \
  X(MZ_STATUS_DECREMENT_ERROR, "decrement or restore failed: not a value block")     \
  X(MZ_STATUS_READ_ERROR, "read failed, or the block is outside the card")           \
  X(MZ_STATUS_POLL, "poll")                                                          \
  X(MZ_STATUS_NOT_IMPLEMENTED, "the reader does not know the command")               \
  X(MZ_STATUS_NO_LINK, "reader not open or not answering")                           \
  X(MZ_STATUS_EXCHANGE_FAILED, "no valid reply from the reader")

#if defined(__cplusplus) || (defined(__STDC_VERSION__) && __STDC_VERSION__ >= 199901L)
#define MZ_INLINE inline
#elif defined(_MSC_VER)
#define MZ_INLINE __inline
#elif defined(__GNUC__)
#define MZ_INLINE __inline__
#else
#define MZ_INLINE
#define MZ_STATUS_DESCRIPTION_STATIC_
#endif

/* The English description of a result code, as MZ_STATUS_TABLE has it
 * (mz_status_description(4) is "wrong key"); "unknown result" for a code
 * without a name. Never null; the text is static. Defined here, in the
 * header: it is not one of the library's exports, and needs no link. */
#if defined(MZ_STATUS_DESCRIPTION_STATIC_)
/* Without inline, a static function that the includer never calls is
 * "defined but not used": this pointer refers to it, and it to the pointer. */
static const char* mz_status_description(int32_t code);
static const char* (*const mz_status_description_ref_)(int32_t) = mz_status_description;
#endif
static MZ_INLINE const char* mz_status_description(int32_t code) {
#if defined(MZ_STATUS_DESCRIPTION_STATIC_)
  (void)mz_status_description_ref_;
#endif
  switch (code) {
#define MZ_STATUS_CASE_(name, description) \
  case name:                               \
    return description;
    MZ_STATUS_TABLE(MZ_STATUS_CASE_)
#undef MZ_STATUS_CASE_
    default:
      return "unknown result";
  }
}

#ifdef __cplusplus
extern "C" {
#endif

/* ---- The link ---------------------------------------------------------- */

/* Opens the reader at USB device index `deviceIndex` (its low 8 bits count).
 * `param` is accepted and ignored. An open link is closed first.
 * Returns 0, or -1 when no reader can be opened at that index. */
MZ_API int32_t MZ_CALL OpenComm(int32_t deviceIndex, int32_t param);

/* Closes the reader and discards the link. Always 0, also with no link. */
MZ_API int32_t MZ_CALL CloseComm(void);

/* ---- Card commands (result: status byte, -1 or -2) --------------------- */

/* Request (wake) cards in the field: `mode` 1 wakes every card (halted ones
 * too), any other value only idle cards. `*tagType` receives the card's
 * 2-byte answer to request as one number, first byte most significant
 * (0x0400 for a 1K card); 0 on a nonzero status. */
MZ_API int32_t MZ_CALL mif_Request(int32_t mode, int32_t* tagType);

/* Anticollision: `*serial` receives the card's serial number as 10 hex
 * digits (5 bytes): the 4 UID bytes, first byte first, then their check byte
 * (the XOR of the four), "1A7B8C54B9"; the empty text on a nonzero status.
 * The reader's anticollision handles 4-byte UIDs only (one cascade level): a
 * card with a 7- or 10-byte UID cannot be selected through it.
 * Buffer: MZ_SERIAL_BUFFER bytes. */
MZ_API int32_t MZ_CALL mif_Anticollision(char** serial);

/* Selects the card whose serial (hex text, as mif_Anticollision gave it:
 * UID and check byte) is passed. `*size` receives the card's one-byte select answer (0x08 for a 1K
 * card); 0 on a nonzero status. */
MZ_API int32_t MZ_CALL mif_Select(const char* serial, int32_t* size);

/* Loads a key (hex text, MZ_KEY_DIGITS digits for 6 bytes) into the reader's
 * key store: `a` is the key type (MZ_KEY_A, MZ_KEY_B), `b` the key slot
 * (0 to 255). The reader keeps one bank of slots per key type; a slot holds
 * its key until another is loaded into it or the reader loses power. */
MZ_API int32_t MZ_CALL mif_LoadKey(int32_t a, int32_t b, const char* key);

/* Authenticates the sector that holds block `c` with the key loaded into
 * slot `b` of key type `a` (MZ_KEY_A, MZ_KEY_B), each 0 to 255:
 * mif_Authentication(MZ_KEY_A, 0, 4) opens sector 1 with the key A of slot 0.
 * 4 (wrong key) also when that slot was never loaded. */
MZ_API int32_t MZ_CALL mif_Authentication(int32_t a, int32_t b, int32_t c);

/* Reads block `block` (0 to 255): `*data` receives its 16 bytes as
 * MZ_BLOCK_DIGITS hex digits; the empty text on a nonzero status. Buffer: MZ_BLOCK_BUFFER bytes. */
MZ_API int32_t MZ_CALL mif_Read(int32_t block, char** data);

/* Writes block `block` (0 to 255) with `data`, hex text (MZ_BLOCK_DIGITS
 * digits for 16 bytes). */
MZ_API int32_t MZ_CALL mif_Write(int32_t block, const char* data);

/* Value block operations on `block` (0 to 255): add or subtract `value`
 * into the card's transfer buffer, copy the block into it (restore), or
 * write the transfer buffer into the block (transfer). */
MZ_API int32_t MZ_CALL mif_Increment(int32_t block, int32_t value);
MZ_API int32_t MZ_CALL mif_Decrement(int32_t block, int32_t value);
MZ_API int32_t MZ_CALL mif_Restore(int32_t block);
MZ_API int32_t MZ_CALL mif_Transfer(int32_t block);

/* Halts the selected card. */
MZ_API int32_t MZ_CALL mif_Halt(void);

/* ---- Reader signals ---------------------------------------------------- */

/* Beeper on (`on` 1) or off (anything else). 0 once the reader answered,
 * whatever its status; -1 or -2. */
MZ_API int32_t MZ_CALL zub_beep(int32_t on);

/* Beeps for `ms` milliseconds: beeper on, wait, beeper off. A negative `ms`
 * waits no time. Always 0. */
MZ_API int32_t MZ_CALL zub_beepms(int32_t ms);

/* LED `led` (0 to 255) on (`on` 1) or off (anything else). As zub_beep. */
MZ_API int32_t MZ_CALL zub_LED(int32_t led, int32_t on);

/* LED level: 0, 127 or 255; any other level returns 1 and sends nothing.
 * Otherwise as zub_beep. */
MZ_API int32_t MZ_CALL zub_LEDx(int32_t level);

/* Relay control: accepted and ignored; always 0. */
MZ_API int32_t MZ_CALL mif_CtrlRelay(int32_t relay, int32_t on);

/* ---- Texts ------------------------------------------------------------- */

/* Writes the message for result code `code` into `*text`: Simplified
 * Chinese in code page 936 (GBK), "OK" for 0. Buffer: MZ_MESSAGE_BUFFER
 * bytes. */
MZ_API void MZ_CALL ErrMsg(int32_t code, char** text);

#ifdef __cplusplus
}
#endif

#endif /* MIFAREZUB_H */
