// The pseudo-APDUs of PC/SC Part 3 for contactless storage cards, and the
// value-block commands common on contactless readers, as pure functions over
// byte buffers: an APDU in, either a command to run or the status word that
// answers it without touching the card. Also the other pure pieces of the
// driver: the storage-card ATR, the MIFARE Classic layout and value blocks.
#ifndef MIFAREZUB_PCSC_APDU_H
#define MIFAREZUB_PCSC_APDU_H

#include <stddef.h>
#include <stdint.h>

namespace mzpcsc {

// Status words.
enum : uint16_t {
  kSwOk = 0x9000,
  kSwRefused = 0x6300,      // wrong key, a refused operation, a failed exchange
  kSwWriteFailed = 0x6581,  // the card did not take a write
  kSwWrongLength = 0x6700,  // Lc or Le wrong, or an APDU cut short
  kSwNotAuthenticated = 0x6982,
  kSwNotSupported = 0x6A81,  // a function this reader does not offer
  kSwBeyondCard = 0x6A82,    // a block the card does not have
  kSwWrongParameters = 0x6B00,
  kSwUnknownInstruction = 0x6D00,
  kSwUnknownClass = 0x6E00,
};

// Volatile key slots kept by the driver (LOAD KEYS P2).
constexpr uint8_t kKeySlots = 32;
constexpr size_t kKeySize = 6;
constexpr size_t kBlockSize = 16;
constexpr size_t kUidSize = 4;

enum class Op : uint8_t {
  kGetUid,
  kLoadKey,
  kAuthenticate,
  kReadBlock,
  kUpdateBlock,
  kStoreValue,
  kIncrement,
  kDecrement,
  kRestoreTransfer,
  kReadValue,
};

enum class KeyType : uint8_t { kA = 0, kB = 1 };

struct Command {
  Op op = Op::kGetUid;
  // The block addressed (P1 P2, or the authenticate data); for
  // restore-and-transfer the source block. Up to 0xFFFF: whether the card
  // has it is for the caller to check.
  uint16_t block = 0;
  uint16_t target = 0;  // restore-and-transfer: the destination block
  uint8_t keySlot = 0;
  KeyType keyType = KeyType::kA;
  uint8_t key[kKeySize] = {};
  uint8_t data[kBlockSize] = {};
  int32_t value = 0;       // value operand (store, increment, decrement)
  size_t maxResponse = 0;  // Le: most data bytes the host takes (0: 256)
};

// The result of parsing: sw is kSwOk when `command` is to be run, otherwise
// the status word to answer with at once.
struct Parsed {
  uint16_t sw;
  Command command;
};

Parsed ParseApdu(const uint8_t* apdu, size_t length);

// ---- The card ----

enum class CardKind : uint8_t { kClassic1K, kClassic4K, kClassicMini };

// The MIFARE Classic kind a SAK announces; false for a card that is not one.
bool KindFromSak(uint8_t sak, CardKind* kind);
size_t BlockCount(CardKind kind);
// Sectors 0-31 hold 4 blocks, sectors 32-39 (4K) 16.
size_t SectorOf(size_t block);
size_t FirstBlockOf(size_t sector);

// The ATR of a contactless storage card: 3B 8F 80 01 80 4F 0C, RID A0 00 00
// 03 06, standard 03 (ISO 14443 A part 3), the two card-name bytes, four
// RFU bytes and TCK. Writes 20 bytes to out; returns 20.
constexpr size_t kAtrSize = 20;
size_t StorageCardAtr(CardKind kind, uint8_t out[kAtrSize]);

// Value blocks: value, inverted value, value (each least significant byte
// first), then address, inverted, address, inverted.
void MakeValueBlock(int32_t value, uint8_t address, uint8_t out[kBlockSize]);
bool ParseValueBlock(const uint8_t block[kBlockSize], int32_t* value);

// Status word as the two bytes that end a response.
inline void PutSw(uint16_t sw, uint8_t* out) {
  out[0] = static_cast<uint8_t>(sw >> 8);
  out[1] = static_cast<uint8_t>(sw);
}

}  // namespace mzpcsc

#endif  // MIFAREZUB_PCSC_APDU_H
