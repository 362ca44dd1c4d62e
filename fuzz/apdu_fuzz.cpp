// Fuzz target "apdu": the PC/SC driver's pseudo-APDU parser against any
// APDU. The input is the APDU itself (libFuzzer hands it over in a buffer of
// exactly its size, so a read past its end is caught under ASan).
//
// Checked: the status word is one the driver documents; an APDU shorter than
// a header is a wrong length and one of another class an unknown class, with
// nothing parsed; a command accepted for running took every field from where
// its instruction puts it (block from P1 P2 or the authenticate data, key,
// data and value from the data field), its key slot exists, and its length
// matched Lc exactly (with at most one Le byte after the data); parsing the
// same bytes twice gives the same result.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "apdu.h"
#include "harness/check.h"

namespace {

using mzpcsc::Op;

bool Documented(uint16_t sw) {
  switch (sw) {
    case mzpcsc::kSwOk:
    case mzpcsc::kSwWrongLength:
    case mzpcsc::kSwNotSupported:
    case mzpcsc::kSwWrongParameters:
    case mzpcsc::kSwUnknownInstruction:
    case mzpcsc::kSwUnknownClass:
      return true;
    default:
      return false;  // the others come from running a command, never from parsing
  }
}

uint16_t P1P2(const uint8_t* a) {
  return static_cast<uint16_t>(a[2] << 8 | a[3]);
}

// An APDU with a data field: Lc data [Le].
bool CarriesExactly(const uint8_t* a, size_t size, size_t lc) {
  return size >= 5 && a[4] == lc && (size == 5 + lc || size == 6 + lc);
}

void CheckAccepted(const uint8_t* a, size_t size, const mzpcsc::Command& c) {
  switch (c.op) {
    case Op::kGetUid:
      MZF_CHECK(size == 5 && a[1] == 0xCA && P1P2(a) == 0, "GET DATA from %02X", a[1]);
      MZF_CHECK(a[4] == 0 || a[4] >= 4, "Le %u cannot hold a UID", a[4]);
      break;
    case Op::kLoadKey:
      MZF_CHECK(a[1] == 0x82 && CarriesExactly(a, size, 6), "LOAD KEYS of %zu bytes", size);
      MZF_CHECK(c.keySlot == a[3] && c.keySlot < mzpcsc::kKeySlots, "slot %u", c.keySlot);
      MZF_CHECK(memcmp(c.key, a + 5, 6) == 0, "key not from the data field");
      break;
    case Op::kAuthenticate:
      MZF_CHECK(c.keySlot < mzpcsc::kKeySlots, "slot %u", c.keySlot);
      if (a[1] == 0x86) {
        MZF_CHECK(CarriesExactly(a, size, 5) && a[5] == 0x01, "GENERAL AUTHENTICATE shape");
        MZF_CHECK(c.block == (a[6] << 8 | a[7]) && c.keySlot == a[9], "fields");
        MZF_CHECK(a[8] == (c.keyType == mzpcsc::KeyType::kA ? 0x60 : 0x61), "key type");
      } else {
        MZF_CHECK(a[1] == 0x88 && size == 6, "AUTHENTICATE from %02X, %zu bytes", a[1], size);
        MZF_CHECK(c.block == P1P2(a) && c.keySlot == a[5], "fields");
        MZF_CHECK(a[4] == (c.keyType == mzpcsc::KeyType::kA ? 0x60 : 0x61), "key type");
      }
      break;
    case Op::kReadBlock:
      MZF_CHECK(a[1] == 0xB0 && size == 5 && (a[4] == 0 || a[4] == 16), "READ BINARY shape");
      MZF_CHECK(c.block == P1P2(a), "block");
      break;
    case Op::kReadValue:
      MZF_CHECK(a[1] == 0xB1 && size == 5 && (a[4] == 0 || a[4] == 4), "READ VALUE shape");
      MZF_CHECK(c.block == P1P2(a), "block");
      break;
    case Op::kUpdateBlock:
      MZF_CHECK(a[1] == 0xD6 && CarriesExactly(a, size, 16), "UPDATE BINARY shape");
      MZF_CHECK(c.block == P1P2(a) && memcmp(c.data, a + 5, 16) == 0, "fields");
      break;
    case Op::kStoreValue:
    case Op::kIncrement:
    case Op::kDecrement: {
      MZF_CHECK(a[1] == 0xD7 && CarriesExactly(a, size, 5) && a[5] <= 2, "value shape");
      MZF_CHECK(static_cast<int>(c.op) - static_cast<int>(Op::kStoreValue) == a[5], "op");
      const uint32_t v = static_cast<uint32_t>(a[6]) << 24 | static_cast<uint32_t>(a[7]) << 16 |
                         static_cast<uint32_t>(a[8]) << 8 | a[9];
      MZF_CHECK(c.block == P1P2(a) && static_cast<uint32_t>(c.value) == v, "fields");
      break;
    }
    case Op::kRestoreTransfer:
      MZF_CHECK(a[1] == 0xD7 && CarriesExactly(a, size, 2) && a[5] == 0x03, "restore shape");
      MZF_CHECK(c.block == P1P2(a) && c.target == a[6], "fields");
      break;
    default:
      MZF_CHECK(false, "op %d", static_cast<int>(c.op));
  }
}

// Field by field: the padding between them holds nothing.
bool Same(const mzpcsc::Command& a, const mzpcsc::Command& b) {
  return a.op == b.op && a.block == b.block && a.target == b.target && a.keySlot == b.keySlot &&
         a.keyType == b.keyType && memcmp(a.key, b.key, sizeof a.key) == 0 &&
         memcmp(a.data, b.data, sizeof a.data) == 0 && a.value == b.value &&
         a.maxResponse == b.maxResponse;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const mzpcsc::Parsed p = mzpcsc::ParseApdu(size == 0 ? nullptr : data, size);
  MZF_CHECK(Documented(p.sw), "status word %04X", p.sw);
  if (size < 4) {
    MZF_CHECK(p.sw == mzpcsc::kSwWrongLength, "%zu bytes gave %04X", size, p.sw);
    return 0;
  }
  if (data[0] != 0xFF) {
    MZF_CHECK(p.sw == mzpcsc::kSwUnknownClass, "class %02X gave %04X", data[0], p.sw);
    return 0;
  }
  if (p.sw == mzpcsc::kSwOk) CheckAccepted(data, size, p.command);
  const mzpcsc::Parsed again = mzpcsc::ParseApdu(data, size);
  MZF_CHECK(again.sw == p.sw && Same(again.command, p.command), "a second parse differs");
  return 0;
}
