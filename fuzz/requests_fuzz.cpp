// Fuzz target "requests": any host texts (any bytes, up to 4 KiB) and any
// 32-bit integer arguments to every export, with the reader's replies taken
// from the input as in the "replies" target.
//
// Input: one byte of flags (bit 0: vendor calls may fault), then calls: the
// export (modulo 20); a byte m whose bits 0-2 make a, b and c full 32-bit
// values (else one byte each), bit 3 a null text, bits 4-5 the output address
// (2 a null variable, 3 a null buffer), bit 7 no device for OpenComm; then a,
// b and c; then the text: a 16-bit length and its bytes.
#include <stddef.h>
#include <stdint.h>

#include "harness/host.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  mzfuzz::FuzzInput in(data, size);
  mzfuzz::BeginRun(&in);

  while (!in.Empty()) {
    mzfuzz::HostCall c;
    c.what = static_cast<mzfuzz::Export>(in.Byte() % mzfuzz::kExportCount);
    const uint8_t m = in.Byte();
    int32_t* args[] = {&c.a, &c.b, &c.c};
    for (int k = 0; k < 3; ++k) *args[k] = (m >> k) & 1 ? in.I32() : in.Byte();
    c.textNull = (m & 8) != 0;
    c.text = in.Bytes(4096);
    c.out = mzfuzz::OutAddressOf(m >> 4);
    c.present = (m & 0x80) == 0;
    c.fill = m;
    mzfuzz::CallExport(c);
  }
  return 0;
}
