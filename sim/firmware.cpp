// The reader firmware and nothing else: how its commands run. The words
// the trace uses for frames are in trace.cpp.
#include "firmware.h"

#include <cstring>

namespace zubsim {

uint8_t xor_of(const uint8_t* bytes, size_t size) {
  uint8_t x = 0;
  for (size_t i = 0; i < size; ++i) x ^= bytes[i];
  return x;
}

bool request_frame_ok(const uint8_t* frame, size_t size) {
  return size >= 3 && static_cast<size_t>(frame[0]) + 1 == size && xor_of(frame, size) == 0;
}

size_t build_request(uint8_t command, const uint8_t* data, size_t size, uint8_t* out,
                     size_t capacity) {
  const size_t total = size + 3;
  if (size + 2 > 255 || total > capacity) return 0;
  out[0] = static_cast<uint8_t>(size + 2);
  out[1] = command;
  if (size != 0) std::memcpy(out + 2, data, size);
  out[size + 2] = xor_of(out, size + 2);
  return total;
}

size_t build_reply(uint8_t command, Status status, const uint8_t* fields, size_t size, uint8_t* out,
                   size_t capacity) {
  const size_t total = size + 5;
  if (size + 4 > 255 || total > capacity) return 0;
  out[0] = static_cast<uint8_t>(size + 4);
  out[1] = command;
  out[2] = 0x01;
  out[3] = static_cast<uint8_t>(status);
  if (size != 0) std::memcpy(out + 4, fields, size);
  out[size + 4] = xor_of(out, size + 4);
  return total;
}

void ReaderFirmware::insert(const Card& card) {
  card_ = card;
  in_field_ = true;
  card_->power_on();
}

void ReaderFirmware::put_back() {
  if (!card_) return;
  in_field_ = true;
  card_->power_on();
}

std::optional<Key> ReaderFirmware::stored_key(KeyType type, uint8_t slot) const {
  return keys_[static_cast<size_t>(type)][slot];
}

size_t ReaderFirmware::handle(const uint8_t* frame, size_t size, uint8_t* out, size_t capacity) {
  if (!request_frame_ok(frame, size)) return 0;
  const uint8_t command = frame[1];
  uint8_t fields[kBlockSize];
  size_t field_size = 0;
  const Status status = run(command, frame + 2, size - 3, fields, &field_size);
  if (status != Status::kOk) field_size = 0;
  return build_reply(command, status, fields, field_size, out, capacity);
}

Status ReaderFirmware::run(uint8_t command, const uint8_t* data, size_t size, uint8_t* fields,
                           size_t* field_size) {
  if (!find_command(command)) return Status::kUnknownCommand;
  if (!request_size_fits(command, size)) return Status::kDataLength;
  // data[0] is the lead byte; the arguments follow it.
  switch (command) {
    case cmd::kBeep:
      if (data[1] == 1 && !beeper_) ++beeps_;
      beeper_ = data[1] == 1;
      return Status::kOk;
    case cmd::kLed:
      leds_[data[1]] = data[2] == 1;
      return Status::kOk;
    case cmd::kLedLevel:
      led_level_ = data[1];
      return Status::kOk;
    case cmd::kLoadKey: {
      if (data[1] > 1) return Status::kUnknownCommand;
      Key key;
      std::memcpy(key.data(), data + 3, kKeySize);
      keys_[data[1]][data[2]] = key;
      return Status::kOk;
    }
    default:
      if (!card_in_field()) return Status::kNoCard;
      return run_card(command, data, size, *card_, fields, field_size);
  }
}

Status ReaderFirmware::run_card(uint8_t command, const uint8_t* data, size_t size, Card& card,
                                uint8_t* fields, size_t* field_size) {
  switch (command) {
    case cmd::kRequestIdle:
    case cmd::kRequestAll: {
      std::array<uint8_t, 2> atqa;
      const Status s = card.request(command == cmd::kRequestAll, &atqa);
      if (s == Status::kOk) {
        std::memcpy(fields, atqa.data(), 2);
        *field_size = 2;
      }
      return s;
    }
    case cmd::kAnticollision: {
      Uid uid;
      uint8_t bcc;
      const Status s = card.anticollision(&uid, &bcc);
      if (s == Status::kOk) {
        std::memcpy(fields, uid.data(), kUidSize);
        fields[kUidSize] = bcc;
        *field_size = kUidSize + 1;
      }
      return s;
    }
    case cmd::kSelect: {
      Uid uid;
      std::memcpy(uid.data(), data + 1, kUidSize);
      // With the BCC sent along, a wrong one selects nothing.
      if (size == 6 && data[5] != bcc_of(uid)) return Status::kNoCard;
      const Status s = card.select(uid, fields);
      if (s == Status::kOk) *field_size = 1;
      return s;
    }
    case cmd::kAuthenticate: {
      if (data[1] > 1) return Status::kUnknownCommand;
      const KeyType type = static_cast<KeyType>(data[1]);
      const std::optional<Key>& key = keys_[data[1]][data[2]];
      // The reader does not try a slot it holds no key for.
      if (!key) return Status::kWrongKey;
      return card.authenticate(type, *key, data[3]);
    }
    case cmd::kRead: {
      Block block;
      const Status s = card.read(data[1], &block);
      if (s == Status::kOk) {
        std::memcpy(fields, block.data(), kBlockSize);
        *field_size = kBlockSize;
      }
      return s;
    }
    case cmd::kWrite: {
      Block block;
      std::memcpy(block.data(), data + 2, kBlockSize);
      return card.write(data[1], block);
    }
    case cmd::kIncrement:
      return card.increment(data[1], le32(data + 2));
    case cmd::kDecrement:
      return card.decrement(data[1], le32(data + 2));
    case cmd::kRestore:
      return card.restore(data[1]);
    case cmd::kTransfer:
      return card.transfer(data[1]);
    case cmd::kHalt:
      return card.halt();
    default:
      return Status::kUnknownCommand;
  }
}

}  // namespace zubsim
