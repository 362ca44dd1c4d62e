#include "reply.h"

#include "hex_table.h"

namespace mzub {
namespace {

// The byte of the pair at `pair`, or -1 when either character is not a digit.
int PairValue(const char* pair) {
  const int high = detail::DigitOf(pair[0]);
  const int low = detail::DigitOf(pair[1]);
  if (high < 0 || low < 0) return -1;
  return high * 16 + low;
}

// The check byte's pair, which ends every reply text.
constexpr size_t kCheckChars = 2;

}  // namespace

bool FieldNumber(const ReplyParts& parts, size_t chars, uint32_t* value) {
  const ReplyField field = FieldText(parts, chars);
  if (field.length == 0) return false;
  uint32_t v = 0;
  for (size_t i = 0; i < field.length; ++i) {
    const int digit = detail::DigitOf(field.text[i]);
    if (digit < 0) return false;
    v = v * 16 + static_cast<uint32_t>(digit);
  }
  *value = v;
  return true;
}

size_t FieldBytes(const ReplyParts& parts, uint8_t* out, size_t capacity) {
  if (!parts.ownStatus) return 0;
  size_t count = (parts.fieldsLength - kCheckChars) / 2;
  if (count > capacity) count = capacity;
  for (size_t i = 0; i < count; ++i) {
    const int v = PairValue(parts.fields + 2 * i);
    if (v < 0) return i;
    out[i] = static_cast<uint8_t>(v);
  }
  return count;
}

}  // namespace mzub
