#include "trace.h"

#include <cstdio>

#include "card_model.h"
#include "firmware.h"
#include "protocol.h"

namespace zubsim {

namespace {

std::string format(const char* fmt, unsigned a, unsigned b = 0, unsigned c = 0) {
  char buf[96];
  std::snprintf(buf, sizeof buf, fmt, a, b, c);
  return buf;
}

}  // namespace

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

Trace::~Trace() {
  close();
}

void Trace::close() {
  if (file_) std::fclose(file_);
  file_ = nullptr;
}

bool Trace::to_file() const {
  return !destination_.empty() && destination_ != "-" && destination_ != "off";
}

void Trace::start(const std::string& destination) {
  close();
  lines_.clear();
  last_error_.clear();
  destination_ = destination;
  if (to_file()) {
    file_ = std::fopen(destination_.c_str(), "a");
    if (!file_) warn("ZUBSIM_TRACE: cannot open " + destination_ + " for appending");
  }
}

void Trace::line(const std::string& text) {
  if (lines_.size() == kLines) lines_.pop_front();
  lines_.push_back(text);
  if (file_) {
    std::fprintf(file_, "%s\n", text.c_str());
    std::fflush(file_);
  } else if (destination_ == "-") {
    std::fprintf(stderr, "%s\n", text.c_str());
  }
}

void Trace::warn(const std::string& text) {
  last_error_ = text;
  note("error: " + text);
  if (destination_.empty() || (to_file() && !file_)) {
    std::fprintf(stderr, "virtual reader: %s\n", text.c_str());
  }
}

std::string Trace::text() const {
  std::string text;
  for (const std::string& line : lines_) text += line + '\n';
  return text;
}

}  // namespace zubsim
