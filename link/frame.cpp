#include "frame.h"

#include <string.h>

#include "hex_table.h"

namespace mzub {
using detail::kHex;

int HexDigit(char c) {
  return detail::DigitOf(c);
}

size_t ToHex(const uint8_t* bytes, size_t n, char* out, size_t cap) {
  if (cap == 0) return 0;
  if (cap < 2 * n + 1) {
    out[0] = '\0';
    return 0;
  }
  for (size_t i = 0; i < n; ++i) memcpy(out + 2 * i, kHex.pair[bytes[i]], 2);
  out[2 * n] = '\0';
  return 2 * n;
}

BuildResult BuildRequest(uint8_t command, const char* hex, size_t hexLen, uint8_t* out, size_t cap,
                         size_t* frameLen) {
  *frameLen = 0;
  const size_t n = hexLen / 2;  // a final odd character is ignored
  if (n > kMaxRequestData) return BuildResult::kTooLong;
  const size_t total = n + 3;  // length, command, data, check
  if (total > cap) return BuildResult::kNoRoom;

  const uint8_t length = static_cast<uint8_t>(n + 2);
  out[0] = length;   // L: data bytes plus 2
  out[1] = command;  // command code
  uint8_t check = length ^ command;
  for (size_t i = 0; i < n; ++i) {  // data, decoded pair by pair
    const int hi = HexDigit(hex[2 * i]);
    const int lo = HexDigit(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) return BuildResult::kNotHex;
    const uint8_t v = static_cast<uint8_t>(hi * 16 + lo);
    out[2 + i] = v;
    check ^= v;
  }
  out[2 + n] = check;  // XOR of bytes 0 to L-1
  *frameLen = total;
  return BuildResult::kOk;
}

bool CheckReply(const uint8_t* buf, size_t received, Reply* reply) {
  if (received < 2) return false;  // no command byte
  const size_t length = buf[0];
  if (received < length + 1) return false;  // frame cut short
  uint8_t x = 0;
  for (size_t i = 0; i <= length; ++i) x ^= buf[i];
  if (x != 0) return false;
  reply->length = static_cast<uint8_t>(length);
  reply->command = buf[1];
  reply->body = buf + 2;
  reply->bodyLen = length >= 2 ? length - 1 : 0;
  return true;
}

}  // namespace mzub
