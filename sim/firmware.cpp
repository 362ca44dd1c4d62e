#include "firmware.h"

#include <cstdio>
#include <cstring>

namespace zubsim {

namespace {

std::string format(const char* fmt, unsigned a, unsigned b = 0, unsigned c = 0) {
  char buf[96];
  std::snprintf(buf, sizeof buf, fmt, a, b, c);
  return buf;
}

}  // namespace

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

void Reader::insert(const Card& card) {
  card_ = card;
  in_field_ = true;
  card_->power_on();
}

void Reader::put_back() {
  if (!card_) return;
  in_field_ = true;
  card_->power_on();
}

std::optional<Key> Reader::stored_key(KeyType type, uint8_t slot) const {
  return keys_[static_cast<size_t>(type)][slot];
}

size_t Reader::handle(const uint8_t* frame, size_t size, uint8_t* out, size_t capacity) {
  if (!request_frame_ok(frame, size)) return 0;
  const uint8_t command = frame[1];
  uint8_t fields[kBlockSize];
  size_t field_size = 0;
  const Status status = run(command, frame + 2, size - 3, fields, &field_size);
  if (status != Status::kOk) field_size = 0;
  return build_reply(command, status, fields, field_size, out, capacity);
}

Status Reader::run(uint8_t command, const uint8_t* data, size_t size, uint8_t* fields,
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

Status Reader::run_card(uint8_t command, const uint8_t* data, size_t size, Card& card,
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

std::string hex_bytes(const uint8_t* bytes, size_t size) {
  std::string s;
  static const char kDigits[] = "0123456789ABCDEF";
  for (size_t i = 0; i < size; ++i) {
    if (i != 0) s += ' ';
    s += kDigits[bytes[i] >> 4];
    s += kDigits[bytes[i] & 0x0F];
  }
  return s;
}

const char* status_text(uint8_t status) {
  switch (static_cast<Status>(status)) {
    case Status::kOk:
      return "ok";
    case Status::kNoCard:
      return "no card, or none selected or authenticated";
    case Status::kOverflow:
      return "value overflow";
    case Status::kWrongKey:
      return "wrong key";
    case Status::kForbidden:
      return "access conditions forbid it";
    case Status::kDataLength:
      return "wrong number of data bytes";
    case Status::kNothingToTransfer:
      return "nothing to transfer";
    case Status::kWriteOutside:
      return "block outside the card (write)";
    case Status::kNotIncrementable:
      return "not a value block (increment)";
    case Status::kNotDecrementable:
      return "not a value block (decrement)";
    case Status::kReadOutside:
      return "block outside the card (read)";
    case Status::kUnknownCommand:
      return "unknown command";
  }
  return "unknown status";
}

std::string describe_request(const uint8_t* frame, size_t size) {
  if (size < 3 || static_cast<size_t>(frame[0]) + 1 != size) return "malformed frame, no reply";
  if (xor_of(frame, size) != 0) return "wrong check byte, no reply";
  const uint8_t command = frame[1];
  const uint8_t* d = frame + 2;
  const size_t n = size - 3;
  const Command* c = find_command(command);
  if (!c) return format("unknown command %02X", command);
  if (!request_size_fits(command, n))
    return format("command %02X with %u data bytes", command, unsigned(n));
  if (c->request == 0) return c->name;  // no arguments to show
  switch (command) {
    case cmd::kSelect:
      return "select " + hex_bytes(d + 1, n - 1);
    case cmd::kAuthenticate:
      return format("authenticate block %u with key %c", d[3], d[1] == 0 ? 'A' : 'B') +
             format(" from slot %u", d[2]);
    case cmd::kLoadKey:
      return format("load key %c into slot %u: ", d[1] == 0 ? 'A' : 'B', d[2]) +
             hex_bytes(d + 3, kKeySize);
    case cmd::kRead:
      return format("read block %u", d[1]);
    case cmd::kWrite:
      return format("write block %u: ", d[1]) + hex_bytes(d + 2, kBlockSize);
    case cmd::kIncrement:
    case cmd::kDecrement: {
      char buf[64];
      std::snprintf(buf, sizeof buf, "%s block %u by %ld",
                    command == cmd::kIncrement ? "increment" : "decrement", d[1],
                    static_cast<long>(le32(d + 2)));
      return buf;
    }
    case cmd::kRestore:
      return format("restore block %u", d[1]);
    case cmd::kTransfer:
      return format("transfer to block %u", d[1]);
    case cmd::kBeep:
      return d[1] == 1 ? "beeper on" : "beeper off";
    case cmd::kLed:
      return format("LED %u ", d[1]) + (d[2] == 1 ? "on" : "off");
    case cmd::kLedLevel:
      return format("LED level %u", d[1]);
    default:
      return "?";
  }
}

std::string describe_reply(const uint8_t* frame, size_t size) {
  if (size == 0) return "nothing";
  if (static_cast<size_t>(frame[0]) + 1 != size) return "truncated or overlong frame";
  if (xor_of(frame, size) != 0) return "wrong check byte";
  if (size < 5) return "no status byte";
  const uint8_t status = frame[3];
  if (status != 0) return format("status %u: ", status) + status_text(status);
  const uint8_t* f = frame + 4;
  const size_t n = size - 5;
  switch (frame[1]) {
    case cmd::kRequestIdle:
    case cmd::kRequestAll:
      if (n == 2) return "ok, ATQA " + hex_bytes(f, 2);
      break;
    case cmd::kAnticollision:
      if (n == 5) return "ok, UID " + hex_bytes(f, 4) + ", BCC " + hex_bytes(f + 4, 1);
      break;
    case cmd::kSelect:
      if (n == 1) return "ok, SAK " + hex_bytes(f, 1);
      break;
    case cmd::kRead:
      if (n == kBlockSize) return "ok, data " + hex_bytes(f, n);
      break;
    default:
      break;
  }
  return n == 0 ? "ok" : "ok, " + hex_bytes(f, n);
}

}  // namespace zubsim
