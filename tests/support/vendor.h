// Test-side conveniences over the scripted vendor double.
#ifndef MIFAREZUB_TESTS_VENDOR_H
#define MIFAREZUB_TESTS_VENDOR_H

#include <stdint.h>

#include <string>
#include <vector>

#include "ch375_double.h"

namespace mzt {

using Bytes = std::vector<uint8_t>;

// "04 50 01 04 51" (spaces optional) as bytes.
Bytes Hex(const std::string& text);
// Bytes as "04 50 01 04 51".
std::string HexOf(const Bytes& bytes);

// Queues a reply, given as hex text.
void Reply(const std::string& hex);
// Queues a reply with a check byte appended that makes the XOR of the frame
// zero: ReplyOk("04 50 01 00 ...") without the last byte.
void ReplyChecked(const std::string& hexWithoutCheck);
// Queues the reader's answer to the next request written: readable only once
// that request has gone out (a reader answers after it is asked).
void Answer(const std::string& hex);
void AnswerChecked(const std::string& hexWithoutCheck);
// The frames written so far, as hex text.
std::vector<std::string> Frames();
// The vendor calls made so far: "open(0) upload(0,0) reset(0) write(4) ...".
std::string Calls();
// Number of calls of one kind so far.
int CountCalls(int32_t call);

}  // namespace mzt

#endif  // MIFAREZUB_TESTS_VENDOR_H
