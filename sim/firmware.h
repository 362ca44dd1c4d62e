// The virtual reader's firmware: one request frame in, one reply frame out,
// for a reader with a key store, a beeper, LEDs and a card slot. Pure: no
// I/O, no clock, no globals; frames are byte buffers with explicit sizes.
//
// Request frame: L, command, data (L-2 bytes, the first one the lead byte),
// check byte (XOR of bytes 0 to L-1). Reply frame: L, command echoed, 01,
// status, fields, check byte (XOR of bytes 0 to L is zero).
#ifndef MIFAREZUB_SIM_FIRMWARE_H
#define MIFAREZUB_SIM_FIRMWARE_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "card_model.h"
#include "protocol.h"

namespace zubsim {

// The longest reply the firmware sends (a read: 4 + 16 data bytes + check).
constexpr size_t kMaxReply = longest_reply();
static_assert(kMaxReply == 21, "a reply fits the 32 bytes the host reads");

uint8_t xor_of(const uint8_t* bytes, size_t size);

// True when `frame` is one whole request frame: at least L, command and
// check byte, exactly L+1 bytes, and an XOR of zero over them.
bool request_frame_ok(const uint8_t* frame, size_t size);

// Builds a request frame from a command and its data bytes (lead byte
// included). Returns the frame size, or 0 if it does not fit in `capacity`
// or the data are longer than a length byte can count.
size_t build_request(uint8_t command, const uint8_t* data, size_t size, uint8_t* out,
                     size_t capacity);

// Builds a reply frame: L, command, 01, status, fields, check. Returns the
// frame size, or 0 if it does not fit in `capacity`.
size_t build_reply(uint8_t command, Status status, const uint8_t* fields, size_t size, uint8_t* out,
                   size_t capacity);

class ReaderFirmware {
 public:
  static constexpr size_t kKeySlots = 256;
  static constexpr size_t kLeds = 256;

  // Answers one request frame. Returns the size of the reply written to
  // `out`, or 0 when the reader stays silent (a frame that fails the check)
  // or the reply does not fit in `capacity`.
  size_t handle(const uint8_t* frame, size_t size, uint8_t* out, size_t capacity);

  // The card slot. A card put into the field wakes up idle; one taken out is
  // kept (with its memory) so that it can be put back.
  void insert(const Card& card);
  void take_out() { in_field_ = false; }
  void put_back();
  void discard() {
    card_.reset();
    in_field_ = false;
  }
  bool card_in_field() const { return card_.has_value() && in_field_; }
  const Card* card() const { return card_ ? &*card_ : nullptr; }
  Card* card() { return card_ ? &*card_ : nullptr; }

  bool beeper_on() const { return beeper_; }
  uint32_t beeps() const { return beeps_; }
  bool led_on(size_t led) const { return led < kLeds && leds_[led]; }
  uint8_t led_level() const { return led_level_; }
  // The key in a slot of the key store, if one was loaded.
  std::optional<Key> stored_key(KeyType type, uint8_t slot) const;

 private:
  Status run(uint8_t command, const uint8_t* data, size_t size, uint8_t* fields,
             size_t* field_size);
  Status run_card(uint8_t command, const uint8_t* data, size_t size, Card& card, uint8_t* fields,
                  size_t* field_size);

  std::optional<Card> card_;
  bool in_field_ = false;
  std::array<std::array<std::optional<Key>, kKeySlots>, 2> keys_{};
  bool beeper_ = false;
  uint32_t beeps_ = 0;
  std::array<bool, kLeds> leds_{};
  uint8_t led_level_ = 0;
};

}  // namespace zubsim

#endif  // MIFAREZUB_SIM_FIRMWARE_H
