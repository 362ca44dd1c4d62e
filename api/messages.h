// The message texts for result codes, in code page 936 (GBK).
#ifndef MIFAREZUB_API_MESSAGES_H
#define MIFAREZUB_API_MESSAGES_H

#include <stddef.h>
#include <stdint.h>

namespace mzub {

// Writes the GBK message for `code` and a zero byte into out[0..cap).
// Returns the message's byte count, zero byte excluded. Every message fits in
// 18 bytes; a smaller cap truncates (and still terminates, when cap > 0).
size_t MessageText(int32_t code, char* out, size_t cap);

}  // namespace mzub

#endif  // MIFAREZUB_API_MESSAGES_H
