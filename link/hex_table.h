// The link's hex conversions by table, both directions, computed at compile
// time: every exchange turns its request from hex and its reply to hex, and
// the reply's status and fields back again. Internal to the link.
#ifndef MIFAREZUB_LINK_HEX_TABLE_H
#define MIFAREZUB_LINK_HEX_TABLE_H

#include <stdint.h>

namespace mzub {
namespace detail {

struct HexTables {
  int8_t value[256];  // of every character: its digit value, or -1
  char pair[256][2];  // of every byte: its two upper-case digits
  constexpr HexTables() : value(), pair() {
    constexpr char kDigits[] = "0123456789ABCDEF";
    for (int c = 0; c < 256; ++c) value[c] = -1;
    for (int v = 0; v < 16; ++v) {
      value[static_cast<uint8_t>(kDigits[v])] = static_cast<int8_t>(v);
      value[static_cast<uint8_t>("0123456789abcdef"[v])] = static_cast<int8_t>(v);
    }
    for (int v = 0; v < 256; ++v) {
      pair[v][0] = kDigits[v >> 4];
      pair[v][1] = kDigits[v & 0x0F];
    }
  }
};
inline constexpr HexTables kHex;

// The value of one character, or -1.
inline int DigitOf(char c) {
  return kHex.value[static_cast<uint8_t>(c)];
}

}  // namespace detail
}  // namespace mzub

#endif  // MIFAREZUB_LINK_HEX_TABLE_H
