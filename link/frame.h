// Request and reply frames of the reader protocol, as pure functions over byte
// buffers.
//
// Request (library to reader):  L  command  data[L-2]  check
// Reply   (reader to library):  L  command  data[L-2]  check
// L counts the data bytes plus 2; the check byte is the XOR of bytes 0 to L-1,
// so the XOR of a whole frame (bytes 0 to L) is zero. A frame is L+1 bytes.
#ifndef MIFAREZUB_LINK_FRAME_H
#define MIFAREZUB_LINK_FRAME_H

#include <stddef.h>
#include <stdint.h>

namespace mzub {

// The link's one frame buffer, for both directions.
constexpr size_t kFrameCapacity = 256;
// The length byte is 8 bits: at most 253 data bytes fit beside the command and
// the check byte.
constexpr size_t kMaxRequestData = 253;
// The longest request text that can be framed: 253 pairs and a final odd
// character, which is ignored.
constexpr size_t kMaxRequestHex = 2 * kMaxRequestData + 1;
// Every reply is read with one transfer of at most this many bytes. The
// longest reply the reader sends is a block read's 21 bytes (length, command,
// lead byte, status, 16 data bytes, check); 32 leaves room beyond it and is
// still a single packet on the chip's 64-byte bulk pipe, so the read ends
// with the reply's one transfer instead of waiting out its timeout for more.
constexpr size_t kReadSize = 32;
// Longest reply text: bytes 2 to L of a reply of at most kReadSize bytes.
constexpr size_t kMaxReplyHex = 2 * (kReadSize - 2);

// Value of one hexadecimal digit (0-9, A-F, a-f), or -1 for any other byte.
int HexDigit(char c);

// Writes the n bytes as upper-case hex pairs and a terminating zero into out.
// Needs 2n+1 bytes of capacity; returns the number of characters written (2n),
// or 0 with out[0] = 0 when cap is too small.
size_t ToHex(const uint8_t* bytes, size_t n, char* out, size_t cap);

// Outcome of building a request frame.
enum class BuildResult {
  kOk,
  kNotHex,   // a pair holds a character that is not a hexadecimal digit
  kTooLong,  // more than kMaxRequestData data bytes
  kNoRoom,   // the frame does not fit in the caller's buffer
};

// Builds the request frame for `command` with the data given as hex text
// (`hex`, `hexLen` characters; a final odd character is ignored) into
// out[0..cap). On kOk, *frameLen is the frame's byte count (L+1).
// On failure nothing is promised about out's contents and *frameLen is 0.
BuildResult BuildRequest(uint8_t command, const char* hex, size_t hexLen, uint8_t* out, size_t cap,
                         size_t* frameLen);

// A reply frame that passed the check. The data bytes and the check byte,
// bytes 2 to L, are body[0..bodyLen).
struct Reply {
  uint8_t length;   // byte 0, L
  uint8_t command;  // byte 1, the command echoed
  const uint8_t* body;
  size_t bodyLen;
};

// Checks the `received` bytes of a reply. A reply is judged only on what was
// received: it needs at least 2 bytes and at least L+1 of them; bytes after
// the frame are ignored. Returns true and fills *reply when the frame is whole
// and its XOR is zero.
bool CheckReply(const uint8_t* buf, size_t received, Reply* reply);

}  // namespace mzub

#endif  // MIFAREZUB_LINK_FRAME_H
