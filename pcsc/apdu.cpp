#include "apdu.h"

#include <string.h>

#include "card_format.h"

namespace mzpcsc {
namespace {

enum : uint8_t {
  kClass = 0xFF,
  kInsGetData = 0xCA,
  kInsLoadKeys = 0x82,
  kInsGeneralAuthenticate = 0x86,
  kInsAuthenticate = 0x88,  // the older form, without a data field
  kInsReadBinary = 0xB0,
  kInsReadValue = 0xB1,
  kInsUpdateBinary = 0xD6,
  kInsValue = 0xD7,
};

constexpr uint8_t kKeyTypeA = 0x60;
constexpr uint8_t kKeyTypeB = 0x61;

Parsed Answer(uint16_t sw) {
  return Parsed{sw, Command{}};
}

Parsed Run(const Command& c) {
  return Parsed{kSwOk, c};
}

// The body of an APDU that carries data: Lc, then exactly Lc bytes, then at
// most one Le byte (hosts that send every command as case 4 add one). An
// extended length (Lc 00) is refused: no command here needs it.
bool DataField(const uint8_t* apdu, size_t length, size_t* lc) {
  if (length < 6) return false;
  *lc = apdu[4];
  if (*lc == 0) return false;
  return length == 5 + *lc || length == 6 + *lc;
}

// Case 2: the header and one Le byte. Returns Le with 00 meaning 256.
bool ExpectedLength(size_t length, const uint8_t* apdu, size_t* le) {
  if (length != 5) return false;
  *le = apdu[4] == 0 ? 256 : apdu[4];
  return true;
}

bool KeyTypeOf(uint8_t code, KeyType* type) {
  if (code == kKeyTypeA) {
    *type = KeyType::kA;
  } else if (code == kKeyTypeB) {
    *type = KeyType::kB;
  } else {
    return false;
  }
  return true;
}

uint16_t Address(uint8_t msb, uint8_t lsb) {
  return static_cast<uint16_t>(msb << 8 | lsb);
}

Parsed GetData(const uint8_t* a, size_t length) {
  size_t le = 0;
  if (!ExpectedLength(length, a, &le)) return Answer(kSwWrongLength);
  if (a[2] == 0x01 && a[3] == 0x00) return Answer(kSwNotSupported);  // no ATS: not ISO 14443-4
  if (a[2] != 0x00 || a[3] != 0x00) return Answer(kSwWrongParameters);
  if (le < kUidSize) return Answer(kSwWrongLength);
  Command c;
  c.op = Op::kGetUid;
  c.maxResponse = le;
  return Run(c);
}

Parsed LoadKeys(const uint8_t* a, size_t length) {
  size_t lc = 0;
  if (!DataField(a, length, &lc) || lc != kKeySize) return Answer(kSwWrongLength);
  // P1 00: a card key kept in the reader's volatile memory; nothing else is
  // offered (no non-volatile store, no secured transmission).
  if (a[2] != 0x00 || a[3] >= kKeySlots) return Answer(kSwWrongParameters);
  Command c;
  c.op = Op::kLoadKey;
  c.keySlot = a[3];
  memcpy(c.key, a + 5, kKeySize);
  return Run(c);
}

Parsed GeneralAuthenticate(const uint8_t* a, size_t length) {
  size_t lc = 0;
  if (!DataField(a, length, &lc) || lc != 5) return Answer(kSwWrongLength);
  if (a[2] != 0x00 || a[3] != 0x00 || a[5] != 0x01) return Answer(kSwWrongParameters);
  Command c;
  c.op = Op::kAuthenticate;
  c.block = Address(a[6], a[7]);
  if (!KeyTypeOf(a[8], &c.keyType) || a[9] >= kKeySlots) return Answer(kSwWrongParameters);
  c.keySlot = a[9];
  return Run(c);
}

Parsed OldAuthenticate(const uint8_t* a, size_t length) {
  // FF 88 MSB LSB type slot: six bytes, no Lc.
  if (length != 6) return Answer(kSwWrongLength);
  Command c;
  c.op = Op::kAuthenticate;
  c.block = Address(a[2], a[3]);
  if (!KeyTypeOf(a[4], &c.keyType) || a[5] >= kKeySlots) return Answer(kSwWrongParameters);
  c.keySlot = a[5];
  return Run(c);
}

Parsed ReadBinary(const uint8_t* a, size_t length) {
  size_t le = 0;
  // One block per command: Le 16, or 00 for "all there is".
  if (!ExpectedLength(length, a, &le) || (le != kBlockSize && le != 256)) {
    return Answer(kSwWrongLength);
  }
  Command c;
  c.op = Op::kReadBlock;
  c.block = Address(a[2], a[3]);
  c.maxResponse = le;
  return Run(c);
}

Parsed UpdateBinary(const uint8_t* a, size_t length) {
  size_t lc = 0;
  if (!DataField(a, length, &lc) || lc != kBlockSize) return Answer(kSwWrongLength);
  Command c;
  c.op = Op::kUpdateBlock;
  c.block = Address(a[2], a[3]);
  memcpy(c.data, a + 5, kBlockSize);
  return Run(c);
}

Parsed ValueCommand(const uint8_t* a, size_t length) {
  size_t lc = 0;
  if (!DataField(a, length, &lc)) return Answer(kSwWrongLength);
  Command c;
  c.block = Address(a[2], a[3]);
  if (lc == 5) {
    static const Op kOps[] = {Op::kStoreValue, Op::kIncrement, Op::kDecrement};
    if (a[5] > 2) return Answer(kSwWrongParameters);
    c.op = kOps[a[5]];
    c.value =
        static_cast<int32_t>(static_cast<uint32_t>(a[6]) << 24 | static_cast<uint32_t>(a[7]) << 16 |
                             static_cast<uint32_t>(a[8]) << 8 | a[9]);
    return Run(c);
  }
  if (lc == 2) {
    if (a[5] != 0x03) return Answer(kSwWrongParameters);
    c.op = Op::kRestoreTransfer;
    c.target = a[6];
    return Run(c);
  }
  return Answer(kSwWrongLength);
}

Parsed ReadValue(const uint8_t* a, size_t length) {
  size_t le = 0;
  if (!ExpectedLength(length, a, &le) || (le != 4 && le != 256)) return Answer(kSwWrongLength);
  Command c;
  c.op = Op::kReadValue;
  c.block = Address(a[2], a[3]);
  c.maxResponse = le;
  return Run(c);
}

}  // namespace

Parsed ParseApdu(const uint8_t* apdu, size_t length) {
  if (apdu == nullptr || length < 4) return Answer(kSwWrongLength);
  if (apdu[0] != kClass) return Answer(kSwUnknownClass);
  switch (apdu[1]) {
    case kInsGetData:
      return GetData(apdu, length);
    case kInsLoadKeys:
      return LoadKeys(apdu, length);
    case kInsGeneralAuthenticate:
      return GeneralAuthenticate(apdu, length);
    case kInsAuthenticate:
      return OldAuthenticate(apdu, length);
    case kInsReadBinary:
      return ReadBinary(apdu, length);
    case kInsUpdateBinary:
      return UpdateBinary(apdu, length);
    case kInsValue:
      return ValueCommand(apdu, length);
    case kInsReadValue:
      return ReadValue(apdu, length);
    default:
      return Answer(kSwUnknownInstruction);
  }
}

bool KindFromSak(uint8_t sak, CardKind* kind) {
  // The card model's table decides; the driver offers the three kinds whose
  // card names its ATR carries (StorageCardAtr).
  switch (mzcard::ClassicSectors(sak)) {
    case 16:
      *kind = CardKind::kClassic1K;
      return true;
    case 40:
      *kind = CardKind::kClassic4K;
      return true;
    case 5:
      *kind = CardKind::kClassicMini;
      return true;
    default:
      return false;
  }
}

size_t BlockCount(CardKind kind) {
  switch (kind) {
    case CardKind::kClassic4K:
      return 256;
    case CardKind::kClassicMini:
      return 20;
    default:
      return 64;
  }
}

size_t SectorOf(size_t block) {
  return static_cast<size_t>(mzcard::SectorOfBlock(static_cast<int>(block)));
}

size_t FirstBlockOf(size_t sector) {
  return static_cast<size_t>(mzcard::FirstBlock(static_cast<int>(sector)));
}

size_t StorageCardAtr(CardKind kind, uint8_t out[kAtrSize]) {
  static const uint8_t kHead[] = {0x3B, 0x8F, 0x80, 0x01, 0x80, 0x4F, 0x0C,
                                  0xA0, 0x00, 0x00, 0x03, 0x06, 0x03};
  memcpy(out, kHead, sizeof kHead);
  uint8_t name = 0x01;
  if (kind == CardKind::kClassic4K) name = 0x02;
  if (kind == CardKind::kClassicMini) name = 0x26;
  out[13] = 0x00;
  out[14] = name;
  memset(out + 15, 0, 4);
  // TCK: the XOR of every byte from T0 up to itself is zero.
  uint8_t tck = 0;
  for (size_t i = 1; i < kAtrSize - 1; ++i) tck ^= out[i];
  out[kAtrSize - 1] = tck;
  return kAtrSize;
}

void MakeValueBlock(int32_t value, uint8_t address, uint8_t out[kBlockSize]) {
  const mzcard::Bytes block = mzcard::EncodeValueBlock(value, address);
  memcpy(out, block.data(), kBlockSize);
}

bool ParseValueBlock(const uint8_t block[kBlockSize], int32_t* value) {
  const auto parsed = mzcard::DecodeValueBlock(mzcard::Bytes(block, block + kBlockSize));
  if (!parsed) return false;
  *value = parsed->value;
  return true;
}

}  // namespace mzpcsc
