#include "mad.h"

#include <algorithm>

namespace mzcard {

const Bytes& MadKeyA() {
  static const Bytes key = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
  return key;
}

std::string MadEntryHex(const MadEntry& entry) {
  return HexText({entry.application, entry.cluster});
}

std::string MadEntryMeaning(const MadEntry& entry) {
  if (entry.cluster == 0x00) {
    switch (entry.application) {
      case 0x00:
        return "free";
      case 0x01:
        return "defective";
      case 0x02:
        return "reserved";
      case 0x03:
        return "additional directory information";
      case 0x04:
        return "card holder information";
      case 0x05:
        return "not applicable (beyond the card)";
      default:
        return "card administration (reserved code)";
    }
  }
  if (entry == kMadNdef) return "NFC Forum (NDEF)";
  return "application " + HexText({entry.application}) + " of function cluster " +
         HexText({entry.cluster});
}

uint8_t MadCrc(const uint8_t* data, size_t size) {
  uint8_t crc = 0xC7;
  for (size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) {
      crc = static_cast<uint8_t>((crc & 0x80) ? (crc << 1) ^ 0x1D : crc << 1);
    }
  }
  return crc;
}

int MadVersionOfGpb(uint8_t gpb) {
  if (!(gpb & 0x80)) return 0;
  const int version = gpb & 0x03;
  return version == 1 || version == 2 ? version : 0;
}

namespace {

constexpr size_t kPart1Size = 32;  // blocks 1 and 2
constexpr size_t kPart2Size = 48;  // blocks 64 to 66

void ReadEntries(const Bytes& part, int firstSector, int count, Mad* mad) {
  for (int i = 0; i < count; ++i) {
    const size_t at = 2 + 2 * static_cast<size_t>(i);
    mad->entries[static_cast<size_t>(firstSector + i)] = {part[at], part[at + 1]};
  }
}

}  // namespace

std::optional<Mad> ParseMad(const Bytes& part1, const Bytes& part2, int sectors,
                            std::string* error) {
  if (part1.size() != kPart1Size) {
    *error = "the directory's blocks 1 and 2 must be 32 bytes, not " + std::to_string(part1.size());
    return std::nullopt;
  }
  if (!part2.empty() && part2.size() != kPart2Size) {
    *error =
        "the directory's blocks 64 to 66 must be 48 bytes, not " + std::to_string(part2.size());
    return std::nullopt;
  }
  if (!part2.empty() && sectors <= 16) {
    *error = "a card of " + std::to_string(sectors) + " sectors has no sector 16 for MAD2";
    return std::nullopt;
  }
  Mad mad;
  mad.version = part2.empty() ? 1 : 2;
  mad.entries.assign(static_cast<size_t>(mad.version == 2 ? 40 : 16), kMadFree);
  mad.crc1 = part1[0];
  mad.expectedCrc1 = MadCrc(part1.data() + 1, part1.size() - 1);
  mad.crcOk = mad.crc1 == mad.expectedCrc1;
  mad.publisher = part1[1] & 0x3F;
  ReadEntries(part1, 1, 15, &mad);
  if (mad.version == 2) {
    mad.crc2 = part2[0];
    mad.expectedCrc2 = MadCrc(part2.data() + 1, part2.size() - 1);
    mad.crcOk = mad.crcOk && mad.crc2 == mad.expectedCrc2;
    ReadEntries(part2, 17, 23, &mad);
    // MAD2's own info byte names the publisher for the whole card.
    mad.publisher = part2[1] & 0x3F;
  }
  const int directorySectors = static_cast<int>(mad.entries.size());
  if (mad.publisher != 0 &&
      (mad.publisher >= std::min(sectors, directorySectors) || mad.publisher == 16)) {
    mad.problems.push_back("the info byte names sector " + std::to_string(mad.publisher) +
                           " as the card publisher's, which the directory cannot hold");
  }
  return mad;
}

std::pair<Bytes, Bytes> BuildMad(const std::vector<MadEntry>& entries, int sectors,
                                 uint8_t publisher) {
  auto entry = [&](int sector) {
    if (sector >= sectors) return kMadNotApplicable;
    return static_cast<size_t>(sector) < entries.size() ? entries[static_cast<size_t>(sector)]
                                                        : kMadFree;
  };
  Bytes part1(kPart1Size, 0);
  part1[1] = publisher & 0x3F;
  for (int i = 0; i < 15; ++i) {
    part1[2 + 2 * static_cast<size_t>(i)] = entry(1 + i).application;
    part1[3 + 2 * static_cast<size_t>(i)] = entry(1 + i).cluster;
  }
  part1[0] = MadCrc(part1.data() + 1, part1.size() - 1);
  Bytes part2;
  if (sectors > 16) {
    part2.assign(kPart2Size, 0);
    part2[1] = publisher & 0x3F;
    for (int i = 0; i < 23; ++i) {
      part2[2 + 2 * static_cast<size_t>(i)] = entry(17 + i).application;
      part2[3 + 2 * static_cast<size_t>(i)] = entry(17 + i).cluster;
    }
    part2[0] = MadCrc(part2.data() + 1, part2.size() - 1);
  }
  return {part1, part2};
}

Bytes MadTrailer(int version, const Bytes& keyB, bool readOnly) {
  Bytes trailer = MadKeyA();
  const Bytes access = readOnly ? Bytes{0x07, 0x8F, 0x0F} : Bytes{0x78, 0x77, 0x88};
  trailer.insert(trailer.end(), access.begin(), access.end());
  trailer.push_back(static_cast<uint8_t>(version == 2 ? 0xC2 : 0xC1));
  trailer.insert(trailer.end(), keyB.begin(), keyB.end());
  return trailer;
}

}  // namespace mzcard
