// Fuzz target "replies": any reply the reader may send (0 to 32 bytes, any
// content, any reported count, a fault inside any vendor call) to any export,
// in any sequence, so that earlier exchanges leave anything in the link's
// buffer. Arguments stay in range and texts are well-formed: the replies are
// what varies.
//
// Input: one byte of flags (bit 0: vendor calls may fault), then calls of six
// bytes each: export (modulo 20), a, b, c, and a byte t choosing the text
// argument (t % 4: null, a serial, a key, a block of data), the output
// address (bits 2-3: 2 a null variable, 3 a null buffer) and whether a device
// answers OpenComm (bit 4 clear). Each read takes its reply from the bytes that
// follow (harness/vendor.cpp).
#include <stddef.h>
#include <stdint.h>

#include "harness/host.h"

namespace {

const char* const kTexts[] = {"", "1A7B8C54", "FFFFFFFFFFFF", "00112233445566778899AABBCCDDEEFF"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  mzfuzz::FuzzInput in(data, size);
  mzfuzz::BeginRun(&in);

  while (!in.Empty()) {
    mzfuzz::HostCall c;
    c.what = static_cast<mzfuzz::Export>(in.Byte() % mzfuzz::kExportCount);
    c.a = in.Byte();
    c.b = in.Byte();
    c.c = in.Byte();
    const uint8_t t = in.Byte();
    c.textNull = t % 4 == 0;
    c.text = kTexts[t % 4];
    c.out = mzfuzz::OutAddressOf(t >> 2);
    c.present = (t & 0x10) == 0;
    c.fill = t;
    mzfuzz::CallExport(c);
  }
  return 0;
}
