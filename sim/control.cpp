// The control API (zubsim.h): test programs drive the virtual reader through
// the device's public methods, with the same lock as the vendor calls.
#include <algorithm>
#include <cstring>
#include <string>

#include "instance.h"
#include "zubsim.h"

namespace {

using zubsim::Device;
using zubsim::locked;

size_t copy_text(const std::string& text, char* buffer, size_t capacity) {
  if (buffer && capacity > 0) {
    const size_t n = std::min(text.size(), capacity - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
  }
  return text.size();
}

}  // namespace

extern "C" {

ZUBSIM_API const char* zubsim_identify(void) {
  return "MifareZUB virtual reader: a MIFARE Classic card in software";
}

ZUBSIM_API void zubsim_reset(void) {
  const zubsim::Config config = zubsim::config_from_environment();
  zubsim::locked_instance([&](zubsim::Instance& i) { i.configure(config); });
}

ZUBSIM_API size_t zubsim_last_error(char* buffer, size_t capacity) {
  return locked([&](Device& d) { return copy_text(d.trace().last_error(), buffer, capacity); });
}

ZUBSIM_API void zubsim_set_device_index(int index) {
  locked([&](Device& d) { d.set_device_index(index); });
}

ZUBSIM_API int zubsim_device_open(void) {
  return locked([](Device& d) { return d.device_open() ? 1 : 0; });
}

ZUBSIM_API void zubsim_set_honour_timeout(int on) {
  locked([&](Device& d) { d.set_honour_timeout(on != 0); });
}

ZUBSIM_API int zubsim_beeper_on(void) {
  return locked([](Device& d) { return d.reader().beeper_on() ? 1 : 0; });
}

ZUBSIM_API unsigned zubsim_beep_count(void) {
  return locked([](Device& d) { return static_cast<unsigned>(d.reader().beeps()); });
}

ZUBSIM_API int zubsim_led_on(int led) {
  return locked(
      [&](Device& d) { return led >= 0 && d.reader().led_on(static_cast<size_t>(led)) ? 1 : 0; });
}

ZUBSIM_API int zubsim_led_level(void) {
  return locked([](Device& d) { return static_cast<int>(d.reader().led_level()); });
}

ZUBSIM_API int zubsim_stored_key(int type, int slot, unsigned char* key) {
  if (type < 0 || type > 1 || slot < 0 || slot > 255 || !key) return -1;
  return locked([&](Device& d) {
    const auto stored =
        d.reader().stored_key(static_cast<zubsim::KeyType>(type), static_cast<uint8_t>(slot));
    if (!stored) return -1;
    std::memcpy(key, stored->data(), stored->size());
    return 0;
  });
}

ZUBSIM_API int zubsim_new_card(int type, const unsigned char* uid) {
  zubsim::Uid id = zubsim::kDefaultUid;
  if (uid) std::memcpy(id.data(), uid, id.size());
  return locked([&](Device& d) { return d.new_card(type, id) ? 0 : -1; });
}

ZUBSIM_API int zubsim_insert_image(const unsigned char* image, size_t size) {
  if (!image) size = 0;
  return locked(
      [&](Device& d) { return d.insert_image(image, size, "card image from memory") ? 0 : -1; });
}

ZUBSIM_API int zubsim_load_image(const char* path) {
  if (!path) return -1;
  return locked([&](Device& d) { return d.load_image(path) ? 0 : -1; });
}

ZUBSIM_API void zubsim_interrupt_next_save(long bytes) {
  locked([&](Device& d) { d.interrupt_next_save(bytes); });
}

ZUBSIM_API int zubsim_save_image(const char* path) {
  if (!path) return -1;
  return locked([&](Device& d) { return d.save_image(path) ? 0 : -1; });
}

ZUBSIM_API size_t zubsim_card_image(unsigned char* buffer, size_t capacity) {
  return locked([&](Device& d) -> size_t {
    const zubsim::Card* card = d.reader().card();
    if (!card) return 0;
    const std::vector<uint8_t>& image = card->image();
    if (buffer && capacity >= image.size()) std::memcpy(buffer, image.data(), image.size());
    return image.size();
  });
}

ZUBSIM_API void zubsim_take_out_card(void) {
  locked([](Device& d) { d.take_out_card(); });
}

ZUBSIM_API int zubsim_put_back_card(void) {
  return locked([](Device& d) { return d.put_back_card() ? 0 : -1; });
}

ZUBSIM_API int zubsim_card_in_field(void) {
  return locked([](Device& d) { return d.reader().card_in_field() ? 1 : 0; });
}

ZUBSIM_API int zubsim_card_state(void) {
  return locked([](Device& d) {
    const zubsim::Card* card = d.reader().card();
    return card ? static_cast<int>(card->state()) : -1;
  });
}

ZUBSIM_API size_t zubsim_trace(char* buffer, size_t capacity) {
  return locked([&](Device& d) { return copy_text(d.trace().text(), buffer, capacity); });
}

ZUBSIM_API void zubsim_clear_trace(void) {
  locked([](Device& d) { d.trace().clear(); });
}

ZUBSIM_API void zubsim_fault_exchange(int kind, int arg, unsigned count) {
  locked([&](Device& d) { d.add_exchange_faults(kind, arg, count); });
}

ZUBSIM_API void zubsim_fault_call(int call, unsigned count) {
  locked([&](Device& d) { d.add_call_faults(call, count); });
}

ZUBSIM_API void zubsim_clear_faults(void) {
  locked([](Device& d) { d.clear_faults(); });
}

}  // extern "C"
