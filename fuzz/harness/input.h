// The fuzzer's bytes, taken from the front as the target needs them. An
// exhausted input reads as zeros, so every input is a complete run.
#ifndef MIFAREZUB_FUZZ_INPUT_H
#define MIFAREZUB_FUZZ_INPUT_H

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace mzfuzz {

class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool Empty() const { return size_ == 0; }
  size_t Left() const { return size_; }

  uint8_t Byte() {
    if (size_ == 0) return 0;
    --size_;
    return *data_++;
  }
  // Little-endian, so that a seed file spells its numbers low byte first.
  uint32_t U32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(Byte()) << (8 * i);
    return v;
  }
  int32_t I32() { return static_cast<int32_t>(U32()); }
  uint16_t U16() {
    const uint16_t lo = Byte();
    return static_cast<uint16_t>(lo | (Byte() << 8));
  }
  // Copies up to n bytes into out; returns how many the input still had.
  size_t Take(uint8_t* out, size_t n) {
    size_t i = 0;
    for (; i < n && size_ != 0; ++i) out[i] = Byte();
    return i;
  }
  // A byte string: a 16-bit length (reduced modulo maxLength + 1), then as
  // many bytes as the input still has of it.
  std::string Bytes(size_t maxLength) {
    const size_t want = U16() % (maxLength + 1);
    std::string s;
    while (s.size() < want && size_ != 0) s.push_back(static_cast<char>(Byte()));
    return s;
  }

 private:
  const uint8_t* data_;
  size_t size_;
};

}  // namespace mzfuzz

#endif  // MIFAREZUB_FUZZ_INPUT_H
