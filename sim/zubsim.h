// Control API of the virtual reader, for test programs that load it in
// process (libCH375DLL.so natively, CH375DLL.DLL on Windows): cards in and
// out, card images, the reader's beeper and LEDs, the frame trace, and faults
// injected into the next exchanges or vendor calls.
//
// Plain C, default calling convention, exported under these names. A
// header-only C++ wrapper (namespace zubsim) follows the C declarations.
//
// Every call is safe at any time, with or without the device open; the
// state is the one the seven vendor calls act on.
#ifndef MIFAREZUB_SIM_ZUBSIM_H
#define MIFAREZUB_SIM_ZUBSIM_H

#include <stddef.h>

#if defined(_WIN32)
#if defined(CH375DLL_BUILD)
#define ZUBSIM_API
#else
#define ZUBSIM_API __declspec(dllimport)
#endif
#else
#define ZUBSIM_API __attribute__((visibility("default")))
#endif

// Card types.
#define ZUBSIM_CARD_1K 1
#define ZUBSIM_CARD_4K 4

// Card states, as zubsim_card_state reports them.
#define ZUBSIM_STATE_IDLE 0
#define ZUBSIM_STATE_READY 1
#define ZUBSIM_STATE_ACTIVE 2
#define ZUBSIM_STATE_AUTHENTICATED 3
#define ZUBSIM_STATE_HALTED 4

// Faults of one exchange (one request frame written and its reply).
#define ZUBSIM_FAULT_NO_REPLY 1      // the reader runs the command; its reply is lost
#define ZUBSIM_FAULT_LOST_REQUEST 2  // the request never reaches the reader
#define ZUBSIM_FAULT_BAD_CHECK 3     // the reply arrives with its check byte wrong
#define ZUBSIM_FAULT_OTHER_COMMAND \
  4  // the reply echoes command `arg` (below 0: the
     // request's command + 1), check byte right
#define ZUBSIM_FAULT_TRUNCATED \
  5  // only the first `arg` bytes of the reply arrive
     // (below 0 or not shorter: all but the last)
// The reader runs the command but its reply comes in only after the next
// read has given up: that read finds nothing (waiting out its timeout with
// zubsim_set_honour_timeout; an older reply still queued it does get), and
// the reply stays queued for the read after it, as a real reader's chip
// keeps it in its buffer.
#define ZUBSIM_FAULT_LATE_REPLY 6
// The reader runs the command and its reply waits in the chip, but the next
// read fails without touching the host's count or buffer: it returns FALSE
// with `arg` 0, TRUE (as if it had worked) with any other `arg`. The reply
// goes to the read after it.
#define ZUBSIM_FAULT_READ_UNTOUCHED 7
// The card acknowledges a write or a transfer into block `arg` (below 0: into
// whichever block comes next) but does not keep it, as when the card leaves
// the field or loses power halfway: the reply says done, the block keeps its
// old bytes. This fault waits at the front of the queue for such a command;
// the exchanges before it take no fault.
#define ZUBSIM_FAULT_TORN_WRITE 8
// The reader runs the command, but its reply carries status `arg` (0 to 255)
// and no fields, check byte right: a card that failed in a way the card model
// does not (a write or read the card did not acknowledge, say).
#define ZUBSIM_FAULT_STATUS 9

// Vendor calls, for processor faults raised inside them.
#define ZUBSIM_CALL_OPEN 1
#define ZUBSIM_CALL_CLOSE 2
#define ZUBSIM_CALL_RESET 3
#define ZUBSIM_CALL_SET_BUF_UPLOAD 4
#define ZUBSIM_CALL_SET_TIMEOUT 5
#define ZUBSIM_CALL_WRITE 6
#define ZUBSIM_CALL_READ 7

#ifdef __cplusplus
extern "C" {
#endif

// A constant text naming the virtual reader. Hosts look this symbol up in
// the vendor library they loaded to tell the software card from a real one.
ZUBSIM_API const char* zubsim_identify(void);

// Back to the state of a fresh process: device closed, faults and trace
// cleared, key store and LEDs empty, configuration read again from the
// ZUBSIM_ environment variables (card, image, trace file, ...).
ZUBSIM_API void zubsim_reset(void);

// The last failure of a card or image call, as text. Copies at most
// capacity-1 bytes and a zero byte; returns the full length.
ZUBSIM_API size_t zubsim_last_error(char* buffer, size_t capacity);

// The reader. `index` is the USB device index it answers at; -1 unplugs it
// (every open fails). The host's open state is unaffected by a change.
ZUBSIM_API void zubsim_set_device_index(int index);
ZUBSIM_API int zubsim_device_open(void);
// Nonzero: a read that finds no reply waits out the read timeout.
ZUBSIM_API void zubsim_set_honour_timeout(int on);
ZUBSIM_API int zubsim_beeper_on(void);
ZUBSIM_API unsigned zubsim_beep_count(void);  // times the beeper was switched on
ZUBSIM_API int zubsim_led_on(int led);
ZUBSIM_API int zubsim_led_level(void);
// Copies the key in a slot of the reader's key store (type 0 A, 1 B) into
// key[6]; returns 0, or -1 if none was loaded there.
ZUBSIM_API int zubsim_stored_key(int type, int slot, unsigned char* key);

// The card. A new card is in transport configuration and goes into the
// field at once, replacing any other. `uid` is 4 bytes, or NULL for
// 1A 7B 8C 54. Returns 0, or -1 for a type other than 1K and 4K.
ZUBSIM_API int zubsim_new_card(int type, const unsigned char* uid);
// A card from a raw image (1024 or 4096 bytes); from a file. On failure the
// reader is left with no card and -1 is returned (zubsim_last_error says why).
ZUBSIM_API int zubsim_insert_image(const unsigned char* image, size_t size);
ZUBSIM_API int zubsim_load_image(const char* path);
// Saves the card (in the field or taken out) as a raw image: a new file
// renamed over the old one. Returns 0, or -1 (no card, or the file failed).
ZUBSIM_API int zubsim_save_image(const char* path);
// For tests of a save cut short: the next save stops as a crash would, after
// writing `bytes` bytes of the new file (at or beyond the image's size: the
// whole new file, flushed, but no rename), and leaves its remains. -1 cancels.
ZUBSIM_API void zubsim_interrupt_next_save(long bytes);
// Copies the card's memory; returns its size (0: no card). Copies nothing
// if `capacity` is smaller than the size.
ZUBSIM_API size_t zubsim_card_image(unsigned char* buffer, size_t capacity);
ZUBSIM_API void zubsim_take_out_card(void);
ZUBSIM_API int zubsim_put_back_card(void);  // -1: no card to put back
ZUBSIM_API int zubsim_card_in_field(void);
ZUBSIM_API int zubsim_card_state(void);  // ZUBSIM_STATE_*, or -1 with no card

// The frame trace kept in memory (the last 10000 lines, each ending in a
// newline). Copies at most capacity-1 bytes and a zero byte; returns the
// full length.
ZUBSIM_API size_t zubsim_trace(char* buffer, size_t capacity);
ZUBSIM_API void zubsim_clear_trace(void);

// Faults. The next `count` exchanges get fault `kind` (ZUBSIM_FAULT_*); the
// next `count` calls of a vendor call (ZUBSIM_CALL_*) raise a processor
// fault: natively a C++ exception (std::runtime_error) thrown out of the
// call, on Windows an access violation. Faults queue up in order given.
ZUBSIM_API void zubsim_fault_exchange(int kind, int arg, unsigned count);
ZUBSIM_API void zubsim_fault_call(int call, unsigned count);
ZUBSIM_API void zubsim_clear_faults(void);

#ifdef __cplusplus
}  // extern "C"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zubsim {

// The control API in C++ terms. All members are static: there is one
// virtual reader per process.
struct Sim {
  using Uid = std::array<unsigned char, 4>;
  using KeyBytes = std::array<unsigned char, 6>;

  static std::string identify() { return zubsim_identify(); }
  static void reset() { zubsim_reset(); }
  static std::string last_error() { return fetch(zubsim_last_error); }

  static void set_device_index(int index) { zubsim_set_device_index(index); }
  static bool device_open() { return zubsim_device_open() != 0; }
  static void honour_timeout(bool on) { zubsim_set_honour_timeout(on ? 1 : 0); }
  static bool beeper_on() { return zubsim_beeper_on() != 0; }
  static unsigned beep_count() { return zubsim_beep_count(); }
  static bool led_on(int led) { return zubsim_led_on(led) != 0; }
  static int led_level() { return zubsim_led_level(); }
  static std::optional<KeyBytes> stored_key(int type, int slot) {
    KeyBytes key{};
    if (zubsim_stored_key(type, slot, key.data()) != 0) return std::nullopt;
    return key;
  }

  static bool new_card(int type = ZUBSIM_CARD_1K) { return zubsim_new_card(type, nullptr) == 0; }
  static bool new_card(int type, const Uid& uid) { return zubsim_new_card(type, uid.data()) == 0; }
  static bool insert_image(const std::vector<unsigned char>& image) {
    return zubsim_insert_image(image.data(), image.size()) == 0;
  }
  static bool load_image(const std::string& path) { return zubsim_load_image(path.c_str()) == 0; }
  static bool save_image(const std::string& path) { return zubsim_save_image(path.c_str()) == 0; }
  static void interrupt_next_save(long bytes) { zubsim_interrupt_next_save(bytes); }
  static std::vector<unsigned char> card_image() {
    std::vector<unsigned char> image(zubsim_card_image(nullptr, 0));
    if (!image.empty()) zubsim_card_image(image.data(), image.size());
    return image;
  }
  static void take_out_card() { zubsim_take_out_card(); }
  static bool put_back_card() { return zubsim_put_back_card() == 0; }
  static bool card_in_field() { return zubsim_card_in_field() != 0; }
  static int card_state() { return zubsim_card_state(); }

  static std::string trace() { return fetch(zubsim_trace); }
  static std::vector<std::string> trace_lines() {
    std::vector<std::string> lines;
    const std::string text = trace();
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
      lines.push_back(text.substr(start, nl - start));
    }
    return lines;
  }
  static void clear_trace() { zubsim_clear_trace(); }

  static void fault_exchange(int kind, int arg = -1, unsigned count = 1) {
    zubsim_fault_exchange(kind, arg, count);
  }
  static void fault_call(int call, unsigned count = 1) { zubsim_fault_call(call, count); }
  static void clear_faults() { zubsim_clear_faults(); }

 private:
  static std::string fetch(size_t (*get)(char*, size_t)) {
    std::string text(get(nullptr, 0), '\0');
    if (!text.empty()) get(&text[0], text.size() + 1);
    return text;
  }
};

}  // namespace zubsim

#endif  // __cplusplus

#endif  // MIFAREZUB_SIM_ZUBSIM_H
