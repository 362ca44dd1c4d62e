// What the host side knows about MIFARE Classic cards without talking to a
// reader: hex text, the sector layout, card types, value blocks, access bits,
// keys. The one copy of this knowledge for zubtool and the PC/SC driver. The
// virtual reader (sim/card_model.*) keeps its own card model on purpose:
// written separately, it checks this one whenever the tool runs against it.
#ifndef MZCARD_CARD_FORMAT_H
#define MZCARD_CARD_FORMAT_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace mzcard {

using Bytes = std::vector<uint8_t>;

constexpr int kBlockSize = 16;
constexpr int kKeySize = 6;

// Key types, as the reader numbers them.
constexpr int kKeyA = 0;
constexpr int kKeyB = 1;

// Hex text: pairs of digits in either case; spaces, ':' and '-' between them
// are ignored. Returns nothing on any other character or an odd digit count.
std::optional<Bytes> ParseHex(const std::string& text);
// Upper-case digits, no separators ("0A1B").
std::string HexText(const Bytes& bytes);
// Upper-case pairs separated by single spaces ("0A 1B").
std::string HexSpaced(const Bytes& bytes);
// One character per byte: printable ASCII as itself, everything else '.'.
std::string AsciiText(const Bytes& bytes);
// "block 7", "blocks 14 to 63", "sectors 2, 5 to 15": `items`, ascending, in
// ranges after `unit`.
std::string RangesText(const std::vector<int>& items, const std::string& unit);

// Decimal number in [low, high]; also 0x-prefixed hex. Nothing otherwise.
std::optional<int64_t> ParseNumber(const std::string& text, int64_t low, int64_t high);

// The layout of a card: sectors of 4 blocks (5 on a Mini, 16 on a 1K, 32 on a
// 2K), and on 4K cards 8 more sectors of 16 blocks from block 128 on.
struct CardLayout {
  std::string name;  // "MIFARE Classic 1K"
  int sectors = 0;   // 0: not a MIFARE Classic card
  int Blocks() const;
  int ImageSize() const { return Blocks() * kBlockSize; }
};

// The card's type as its answer to request (ATQA, as mif_Request reports it:
// first byte most significant) and its select answer (SAK) tell it. Names
// only the SAK values known from real chips.
CardLayout IdentifyCard(uint16_t atqa, uint8_t sak);
// The SAK bits that tell the chip's memory. The others say what else it
// speaks (0x20: ISO/IEC 14443-4) or are the maker's own (0x40, 0x80); bit
// 0x04 set means the UID is not complete yet, which gives no memory type.
constexpr uint8_t kSakMemoryBits = 0x1F;
// The sectors of the MIFARE Classic memory a SAK announces, judged by its
// memory bits alone, as a reader that has selected the card must decide
// whether to offer it: 0 for a card without Classic memory (or an unknown
// one). Read from the same table as IdentifyCard().
int ClassicSectors(uint8_t sak);
// A layout by name: "mini", "1k", "2k" or "4k" (any case).
std::optional<CardLayout> LayoutByName(const std::string& name);

int SectorOfBlock(int block);
int FirstBlock(int sector);
int BlocksInSector(int sector);
int TrailerBlock(int sector);
inline bool IsTrailer(int block) {
  return TrailerBlock(SectorOfBlock(block)) == block;
}

// A value block: value, inverted value, value (4 bytes each, least
// significant first), then address, inverted, address, inverted.
Bytes EncodeValueBlock(int32_t value, uint8_t address);
struct ValueBlock {
  int32_t value;
  uint8_t address;
};
// Nothing when the block does not have the value-block format.
std::optional<ValueBlock> DecodeValueBlock(const Bytes& block);

// Access conditions. Each sector has four groups: three of data blocks (one
// block each in a 4-block sector, five each in a 16-block sector) and the
// trailer. Each group has three bits C1 C2 C3, read here as the number
// C1<<2 | C2<<1 | C3 (0 to 7), stored in trailer bytes 6 to 8 both plain and
// inverted.
constexpr int kGroups = 4;
constexpr int kTrailerGroup = 3;
struct AccessConditions {
  int group[kGroups] = {};  // 0 to 7 each
};

// The group of a block within its sector (3 for the trailer).
int AccessGroup(int block);

// Whether the access bits of a trailer (bytes 6 to 8) are stored consistently,
// each bit next to its inverse. A sector whose bits are not is locked for good.
bool AccessBitsConsistent(const Bytes& trailer);
// The conditions in trailer bytes 6 to 8 (`trailer` is a whole trailer, or
// just those 3 bytes); nothing when they are not stored consistently.
std::optional<AccessConditions> DecodeAccessBits(const Bytes& trailer);
// The 3 access bytes (trailer bytes 6 to 8) for the conditions.
Bytes EncodeAccessBits(const AccessConditions& conditions);

// Who may do something: a set of keys.
enum KeySet : uint8_t { kNobody = 0, kByA = 1, kByB = 2, kByAorB = 3 };

struct DataBlockRights {
  KeySet read, write, increment, decrement;  // decrement: also transfer, restore
};
struct TrailerRights {
  KeySet keyAWrite, accessRead, accessWrite, keyBRead, keyBWrite;  // key A never reads
};
// The card's fixed tables: what each of the 8 conditions allows.
DataBlockRights DataRights(int condition);
TrailerRights TrailerRightsOf(int condition);

// Whether the trailer condition lets key A read key B. The card then shows key
// B in the trailer, and key B cannot authenticate.
bool KeyBReadable(int trailerCondition);
// The same for a whole trailer; false when its access bits are inconsistent.
bool KeyBReadable(const Bytes& trailer);

// The 4-byte UID and its check byte (BCC) from the 5 bytes anticollision
// reports; `bccOk` tells whether the check byte is the XOR of the UID.
struct Serial {
  Bytes uid;
  uint8_t bcc = 0;
  bool bccOk = false;
};
std::optional<Serial> ParseSerial(const std::string& hex);

}  // namespace mzcard

#endif  // MZCARD_CARD_FORMAT_H
