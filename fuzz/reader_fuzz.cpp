// Fuzz target "reader": any card image and any request frames to the virtual
// reader. Every frame goes to two readers holding the same card: the pure
// firmware (zubsim::ReaderFirmware) and the virtual reader behind its vendor calls
// (written with CH375WriteData, answered through CH375ReadData). Both must
// give the same answer, and every answer must be a well-formed reply.
//
// Input: one byte h: bits 0-1 the card (0: an image of 1024 bytes, 1: of 4096
// bytes, 2: of any length, 3: a new card, 1K or 4K by bit 2, its UID from the
// input); bit 3 loads the image from a file instead of from memory. Then the
// image (or UID) bytes. Then steps, each led by a byte s:
//   s % 8 < 5   a frame for command kCommands[(s >> 3) % kCommandCount] of
//               sim/protocol.h, its data bytes from the input (bit 7 of s:
//               one byte fewer or more than the command takes, by the next
//               byte's bit 0), check byte right;
//   5           a raw frame: a byte n (% 48), n bytes, sent as they are;
//   6           by the next byte b: with bit 1 clear, the card taken out or
//               put back (bit 0); with bit 1 set, the next frame's reply
//               held back: late (bit 2 clear) or behind a read that fails
//               with the count and buffer untouched (bit 2 set; bit 3
//               chooses what that read returns);
//   7           the reply buffer of the pure reader only n bytes (next byte
//               % 32) for the next frame: a reply that does not fit is none.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#if defined(_WIN32)
#include <process.h>
#define getpid _getpid
#else
#include <unistd.h>
#endif

#include "CH375DLL.h"
#include "card_model.h"
#include "firmware.h"
#include "protocol.h"
#include "trace.h"
#include "harness/check.h"
#include "harness/input.h"
#include "zubsim.h"

namespace {

using mzfuzz::FuzzInput;
using zubsim::Card;
using zubsim::CardType;

std::string Hex(const uint8_t* p, size_t n) {
  return zubsim::hex_bytes(p, n);
}

// A file of this process's own for images loaded from a file.
const std::string& ImagePath() {
  static const std::string path = [] {
    const char* dir = getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/mz_reader_fuzz_" +
           std::to_string(static_cast<long>(getpid())) + ".img";
  }();
  return path;
}

void Setup() {
  static bool done = false;
  if (done) return;
  done = true;
  // The virtual reader's trace stays in memory: a fuzzer's worth of frames
  // and "bad image" warnings would flood standard error, and writing them to
  // a null device costs a system call per frame.
#if defined(_WIN32)
  _putenv_s("ZUBSIM_TRACE", "off");
#else
  setenv("ZUBSIM_TRACE", "off", 1);
#endif
}

// The card image the virtual reader holds, or empty.
std::vector<uint8_t> SimImage() {
  std::vector<uint8_t> image(zubsim_card_image(nullptr, 0));
  if (!image.empty()) zubsim_card_image(image.data(), image.size());
  return image;
}

void DescribeFrame(const void* arg, char* out, size_t capacity) {
  const std::vector<uint8_t>& frame = *static_cast<const std::vector<uint8_t>*>(arg);
  snprintf(out, capacity, "frame %s (%zu bytes): %s", Hex(frame.data(), frame.size()).c_str(),
           frame.size(), zubsim::describe_request(frame.data(), frame.size()).c_str());
}

void DescribeCard(const void* arg, char* out, size_t capacity) {
  snprintf(out, capacity, "card choice %02X", *static_cast<const uint8_t*>(arg));
}

// A fault for the virtual reader's side of the next exchange: 0 or a
// ZUBSIM_FAULT_ kind that holds the reply back by one read.
struct HeldBack {
  int kind = 0;
  int arg = 0;
};

// One request frame through both readers; checks the replies.
void Exchange(zubsim::ReaderFirmware& reader, const std::vector<uint8_t>& frame, size_t capacity,
              HeldBack held) {
  mzfuzz::SetContext(&DescribeFrame, &frame);
  const Card* card = reader.card();
  const std::vector<uint8_t> before = card ? card->image() : std::vector<uint8_t>();

  // The pure firmware, its reply buffer between guards.
  constexpr size_t kGuard = 16;
  alignas(16) uint8_t area[kGuard + 256 + kGuard];
  memset(area, 0xA5, sizeof area);
  uint8_t* out = area + kGuard;
  mzfuzz::Poison(area, kGuard);
  mzfuzz::Poison(out + capacity, kGuard);
  const size_t n = reader.handle(frame.data(), frame.size(), out, capacity);
  mzfuzz::Unpoison(area, sizeof area);
  for (size_t i = 0; i < kGuard; ++i) MZF_CHECK(area[i] == 0xA5, "reply written before its buffer");
  for (size_t i = capacity; i < 256 + kGuard; ++i) {
    MZF_CHECK(out[i] == 0xA5, "reply byte %zu written with room for %zu", i, capacity);
  }

  const bool ok = zubsim::request_frame_ok(frame.data(), frame.size());
  if (!ok) MZF_CHECK(n == 0, "a reply of %zu bytes to a frame that fails the check", n);
  if (n != 0) {
    MZF_CHECK(n <= 32 && n <= zubsim::kMaxReply, "a reply of %zu bytes", n);
    MZF_CHECK(n >= 5 && out[0] + 1u == n, "reply %s: length byte %u for %zu bytes",
              Hex(out, n).c_str(), out[0], n);
    MZF_CHECK(zubsim::xor_of(out, n) == 0, "reply %s: XOR not zero", Hex(out, n).c_str());
    MZF_CHECK(out[1] == frame[1] && out[2] == 0x01, "reply %s: wrong echo or lead byte",
              Hex(out, n).c_str());
    const size_t fields = n - 5;
    MZF_CHECK(fields == (out[3] == 0 ? zubsim::reply_fields(frame[1]) : 0),
              "reply %s: %zu field bytes", Hex(out, n).c_str(), fields);
    if (out[3] == 0 && frame[1] == zubsim::cmd::kAnticollision) {
      MZF_CHECK((out[4] ^ out[5] ^ out[6] ^ out[7]) == out[8], "anticollision BCC wrong");
    }
  } else if (ok && capacity >= zubsim::kMaxReply) {
    MZF_CHECK(false, "no reply to a well-formed frame");
  }

  // The card: same size, block 0 never changed, memory changed only by a
  // write or a transfer that succeeded, key A never read back.
  const Card* after = reader.card();
  MZF_CHECK((card != nullptr) == (after != nullptr), "the card came or went with a frame");
  if (after) {
    const std::vector<uint8_t>& image = after->image();
    MZF_CHECK(image.size() == before.size(), "card memory resized");
    MZF_CHECK(memcmp(image.data(), before.data(), 16) == 0, "block 0 changed");
    // A write or transfer may have succeeded when its reply did not fit.
    const bool written = frame.size() >= 2 &&
                         (frame[1] == zubsim::cmd::kWrite || frame[1] == zubsim::cmd::kTransfer);
    const bool mayChange = written && (n != 0 ? out[3] == 0 : capacity < zubsim::kMaxReply);
    if (!mayChange) {
      MZF_CHECK(image == before, "card memory changed by %02X, reply %s, room %zu", frame[1],
                Hex(out, n).c_str(), capacity);
    }
    if (n != 0 && out[3] == 0 && frame[1] == zubsim::cmd::kRead && frame.size() > 3) {
      const uint8_t block = frame[3];
      if (block < after->blocks() && zubsim::Geometry::is_trailer(block)) {
        static const uint8_t kZero[6] = {};
        MZF_CHECK(memcmp(out + 4, kZero, 6) == 0, "key A of block %u read back", block);
      }
    }
  }

  // The same frame through the vendor calls of the virtual reader.
  std::vector<uint8_t> sent(frame);
  uint32_t length = static_cast<uint32_t>(sent.size());
  if (held.kind != 0) zubsim_fault_exchange(held.kind, held.arg, 1);
  CH375WriteData(0, sent.data(), &length);
  uint8_t reply[32];
  if (held.kind != 0) {
    // The first read finds nothing, or fails without touching anything; the
    // reply, if the reader made one, waits for the next read.
    memset(reply, 0xA5, sizeof reply);
    uint32_t got = sizeof reply;
    const int32_t r = CH375ReadData(0, reply, &got);
    // The virtual reader answers every well-formed frame (the pure one may
    // have had no room for its answer).
    const bool untouched = held.kind == ZUBSIM_FAULT_READ_UNTOUCHED && ok;
    MZF_CHECK(got == (untouched ? sizeof reply : 0u), "a held-back reply's first read reported %u",
              got);
    if (untouched) {
      MZF_CHECK(r == (held.arg != 0 ? 1 : 0), "a read that fails untouched returned %d", r);
      for (uint8_t b : reply) MZF_CHECK(b == 0xA5, "a read that fails untouched wrote");
    }
  }
  memset(reply, 0xA5, sizeof reply);
  uint32_t got = sizeof reply;
  CH375ReadData(0, reply, &got);
  if (capacity >= zubsim::kMaxReply) {
    MZF_CHECK(got == n && memcmp(reply, out, n) == 0,
              "the virtual reader answered %s, the "
              "firmware %s",
              Hex(reply, got <= 32 ? got : 32).c_str(), Hex(out, n).c_str());
  }
  MZF_CHECK(got <= 32, "CH375ReadData reported %u bytes for a 32-byte buffer", got);
  // A fault meant for this exchange that a write never took (an empty
  // frame is no write) must not fall on the next one.
  if (held.kind != 0) zubsim_clear_faults();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Setup();
  FuzzInput in(data, size);
  zubsim_reset();
  MZF_CHECK(CH375OpenDevice(0) != CH375_INVALID_HANDLE, "the virtual reader does not open");

  zubsim::ReaderFirmware reader;
  const uint8_t h = in.Byte();
  mzfuzz::SetContext(&DescribeCard, &h);
  if ((h & 3) == 3) {
    zubsim::Uid uid;
    in.Take(uid.data(), uid.size());
    const bool big = (h & 4) != 0;
    reader.insert(Card(big ? CardType::k4K : CardType::k1K, uid));
    MZF_CHECK(zubsim_new_card(big ? ZUBSIM_CARD_4K : ZUBSIM_CARD_1K, uid.data()) == 0,
              "a new card refused");
  } else {
    const size_t n = (h & 3) == 0 ? 1024 : (h & 3) == 1 ? 4096 : in.U16() % 5000;
    std::vector<uint8_t> image(n, 0);
    in.Take(image.data(), n);
    Card card(CardType::k1K, zubsim::Uid{});
    const bool valid = Card::from_image(image.data(), n, &card);
    if (valid) {
      reader.insert(card);
    } else {
      reader.discard();
    }
    int r;
    if (h & 8) {
      FILE* f = fopen(ImagePath().c_str(), "wb");
      MZF_CHECK(f != nullptr, "cannot write %s", ImagePath().c_str());
      fwrite(image.data(), 1, n, f);
      fclose(f);
      r = zubsim_load_image(ImagePath().c_str());
      remove(ImagePath().c_str());
    } else {
      r = zubsim_insert_image(image.data(), n);
    }
    MZF_CHECK(r == (valid ? 0 : -1), "an image of %zu bytes gave %d", n, r);
    if (!valid) {
      char why[256];
      MZF_CHECK(zubsim_last_error(why, sizeof why) > 0, "a refused image with no message");
      MZF_CHECK(zubsim_card_image(nullptr, 0) == 0, "a refused image left a card");
    }
  }
  MZF_CHECK(SimImage() == (reader.card() ? reader.card()->image() : std::vector<uint8_t>()),
            "the two readers hold different cards");

  size_t capacity = 256;
  HeldBack held;
  while (!in.Empty()) {
    const uint8_t s = in.Byte();
    std::vector<uint8_t> frame;
    switch (s % 8) {
      case 5: {
        frame.resize(in.Byte() % 48);
        frame.resize(in.Take(frame.data(), frame.size()));
        break;
      }
      case 6: {
        const uint8_t b = in.Byte();
        if (b & 2) {
          held.kind = (b & 4) ? ZUBSIM_FAULT_READ_UNTOUCHED : ZUBSIM_FAULT_LATE_REPLY;
          held.arg = (b >> 3) & 1;
        } else if (b & 1) {
          reader.put_back();
          zubsim_put_back_card();
        } else {
          reader.take_out();
          zubsim_take_out_card();
        }
        continue;
      }
      case 7:
        capacity = in.Byte() % 32;
        continue;
      default: {
        const zubsim::Command& command = zubsim::kCommands[(s >> 3) % zubsim::kCommandCount];
        size_t n = 1 + command.request;  // the lead byte and the arguments
        if (s & 0x80) n = (in.Byte() & 1) ? n + 1 : n - 1;
        frame.resize(n + 3);
        frame[0] = static_cast<uint8_t>(n + 2);
        frame[1] = command.code;
        in.Take(frame.data() + 2, n);
        frame[n + 2] = zubsim::xor_of(frame.data(), n + 2);
        break;
      }
    }
    Exchange(reader, frame, capacity, held);
    capacity = 256;
    held = HeldBack();
  }
  // Every reply matched on the way; the memory behind them must too.
  MZF_CHECK(SimImage() == (reader.card() ? reader.card()->image() : std::vector<uint8_t>()),
            "the two readers' cards differ at the end");
  CH375CloseDevice(0);
  return 0;
}
