// The MIFARE Application Directory: which application each sector holds. On
// a Mini or 1K it is MAD1 in sector 0 (blocks 1 and 2); on a 2K or 4K MAD2
// adds sector 16 (blocks 64 to 66) for sectors 17 to 39. Each part starts
// with a CRC-8 over the rest of its bytes; a part whose CRC does not match is
// reported, never trusted.
#ifndef MZCARD_MAD_H
#define MZCARD_MAD_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "card_format.h"

namespace mzcard {

// The directory's sectors' public key A.
const Bytes& MadKeyA();

// One directory entry as the card stores it: application code first, then
// the function cluster code. The NFC Forum's application is 03 E1.
struct MadEntry {
  uint8_t application = 0;
  uint8_t cluster = 0;
  bool operator==(const MadEntry& o) const {
    return application == o.application && cluster == o.cluster;
  }
};
constexpr MadEntry kMadFree = {0x00, 0x00};
constexpr MadEntry kMadNdef = {0x03, 0xE1};
constexpr MadEntry kMadNotApplicable = {0x05, 0x00};

// "03E1": the entry in stored order.
std::string MadEntryHex(const MadEntry& entry);
// What the entry means: "free", "NFC Forum (NDEF)", "defective", ...
std::string MadEntryMeaning(const MadEntry& entry);

// CRC-8 of the directory: polynomial 0x1D, preset 0xC7, no final XOR.
uint8_t MadCrc(const uint8_t* data, size_t size);

struct Mad {
  int version = 1;        // 1 (MAD1) or 2 (MAD2)
  uint8_t publisher = 0;  // the info byte's card publisher sector; 0: none
  // The entry of each sector (index: sector number); sector 0 and, in MAD2,
  // sector 16 hold the directory itself and are free here.
  std::vector<MadEntry> entries;
  // Each part's stored and computed CRC; crcOk only when every part matches.
  uint8_t crc1 = 0, expectedCrc1 = 0;
  uint8_t crc2 = 0, expectedCrc2 = 0;
  bool crcOk = false;
  // Problems beside the CRC (an info byte pointing past the card, ...).
  std::vector<std::string> problems;
};

// The directory version sector 0's general purpose byte (trailer byte 9)
// announces: 1, 2, or 0 when it announces none.
int MadVersionOfGpb(uint8_t gpb);

// Reads the directory from blocks 1 and 2 (32 bytes) and, for MAD2, blocks
// 64 to 66 (48 bytes; empty for MAD1) for a card of `sectors` sectors.
// Nothing, with `*error`, when the bytes are not a directory's size.
std::optional<Mad> ParseMad(const Bytes& part1, const Bytes& part2, int sectors,
                            std::string* error);

// The directory's bytes for a card of `sectors` sectors: blocks 1 and 2, and
// for a card over 16 sectors blocks 64 to 66 (second). Entries beyond the
// card are "not applicable"; `entries` is indexed by sector.
std::pair<Bytes, Bytes> BuildMad(const std::vector<MadEntry>& entries, int sectors,
                                 uint8_t publisher = 0);

// The sector trailers of the directory and of the NFC sectors, with key B
// `keyB`: writable, or read-only for good.
Bytes MadTrailer(int version, const Bytes& keyB, bool readOnly);

}  // namespace mzcard

#endif  // MZCARD_MAD_H
