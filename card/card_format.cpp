#include "card_format.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace mzcard {

namespace {

int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<Bytes> ParseHex(const std::string& text) {
  Bytes out;
  int high = -1;
  for (char c : text) {
    if (c == ' ' || c == ':' || c == '-' || c == '\t') {
      if (high >= 0) return std::nullopt;  // a separator inside a pair
      continue;
    }
    int v = DigitValue(c);
    if (v < 0) return std::nullopt;
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<uint8_t>(high << 4 | v));
      high = -1;
    }
  }
  if (high >= 0) return std::nullopt;
  return out;
}

std::string HexText(const Bytes& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string s;
  for (uint8_t b : bytes) {
    s += kDigits[b >> 4];
    s += kDigits[b & 15];
  }
  return s;
}

std::string HexSpaced(const Bytes& bytes) {
  std::string hex = HexText(bytes), s;
  for (size_t i = 0; i < hex.size(); i += 2) {
    if (i) s += ' ';
    s += hex.substr(i, 2);
  }
  return s;
}

std::string AsciiText(const Bytes& bytes) {
  std::string s;
  for (uint8_t b : bytes) s += (b >= 0x20 && b < 0x7F) ? static_cast<char>(b) : '.';
  return s;
}

// "block 7", "blocks 14 to 63", "sectors 2, 5 to 15": the items, in order.
std::string RangesText(const std::vector<int>& items, const std::string& unit) {
  std::string text;
  for (size_t i = 0; i < items.size();) {
    size_t j = i;
    while (j + 1 < items.size() && items[j + 1] == items[j] + 1) ++j;
    if (!text.empty()) text += ", ";
    text += std::to_string(items[i]);
    if (j > i) text += (j == i + 1 ? ", " : " to ") + std::to_string(items[j]);
    i = j + 1;
  }
  return unit + (items.size() == 1 ? " " : "s ") + text;
}

std::optional<int64_t> ParseNumber(const std::string& text, int64_t low, int64_t high) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return std::nullopt;
  const char* start = text.c_str();
  int base = 10;
  bool negative = text[0] == '-';
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    start += 2;
    if (!std::isxdigit(static_cast<unsigned char>(*start))) return std::nullopt;
  }
  if (base == 16 && negative) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(start, &end, base);
  if (errno != 0 || end == start || *end != '\0') return std::nullopt;
  if (v < low || v > high) return std::nullopt;
  return static_cast<int64_t>(v);
}

int CardLayout::Blocks() const {
  return sectors <= 32 ? sectors * 4 : 128 + (sectors - 32) * 16;
}

// The one table of card types by SAK, for zubtool and the PC/SC driver.
// SAK values as NXP lists them for its chips, and for the chips of other
// makers that carry MIFARE Classic memory.
CardLayout IdentifyCard(uint16_t atqa, uint8_t sak) {
  switch (sak) {
    case 0x08:
    case 0x88:
      return {"MIFARE Classic 1K", 16};
    case 0x18:
      return {"MIFARE Classic 4K", 40};
    case 0x09:
      return {"MIFARE Mini", 5};
    case 0x19:
      return {"MIFARE Classic 2K", 32};
    case 0x28:
      return {"MIFARE Classic 1K (emulated by a smart card chip)", 16};
    case 0x38:
      return {"MIFARE Classic 4K (emulated by a smart card chip)", 40};
    // A MIFARE Plus in security level 2 lets its sectors be read only after
    // an AES authentication, which a reader of Classic cards cannot make:
    // for this reader it has no Classic memory. (In level 1 the same chip
    // answers 0x08 or 0x18 and is used as the Classic card it stands in for.)
    case 0x10:
      return {"MIFARE Plus 2K (security level 2)", 0};
    case 0x11:
      return {"MIFARE Plus 4K (security level 2)", 0};
    case 0x00:
      return {(atqa & 0x4400) == 0x4400 ? "MIFARE Ultralight or NTAG (not a Classic card)"
                                        : "card without MIFARE Classic memory",
              0};
    case 0x20:
      return {"ISO/IEC 14443-4 card (not a Classic card)", 0};
    default:
      return {"unknown card", 0};
  }
}

int ClassicSectors(uint8_t sak) {
  return IdentifyCard(0, static_cast<uint8_t>(sak & kSakMemoryBits)).sectors;
}

std::optional<CardLayout> LayoutByName(const std::string& name) {
  std::string n;
  for (char c : name) n += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (n == "1k") return CardLayout{"MIFARE Classic 1K", 16};
  if (n == "2k") return CardLayout{"MIFARE Classic 2K", 32};
  if (n == "4k") return CardLayout{"MIFARE Classic 4K", 40};
  if (n == "mini") return CardLayout{"MIFARE Mini", 5};
  return std::nullopt;
}

int SectorOfBlock(int block) {
  return block < 128 ? block / 4 : 32 + (block - 128) / 16;
}
int FirstBlock(int sector) {
  return sector < 32 ? sector * 4 : 128 + (sector - 32) * 16;
}
int BlocksInSector(int sector) {
  return sector < 32 ? 4 : 16;
}
int TrailerBlock(int sector) {
  return FirstBlock(sector) + BlocksInSector(sector) - 1;
}

Bytes EncodeValueBlock(int32_t value, uint8_t address) {
  Bytes b(kBlockSize);
  uint32_t v = static_cast<uint32_t>(value);
  for (int i = 0; i < 4; ++i) {
    uint8_t byte = static_cast<uint8_t>(v >> (8 * i));
    b[i] = byte;
    b[4 + i] = static_cast<uint8_t>(~byte);
    b[8 + i] = byte;
  }
  b[12] = address;
  b[13] = static_cast<uint8_t>(~address);
  b[14] = address;
  b[15] = static_cast<uint8_t>(~address);
  return b;
}

std::optional<ValueBlock> DecodeValueBlock(const Bytes& b) {
  if (b.size() != static_cast<size_t>(kBlockSize)) return std::nullopt;
  for (int i = 0; i < 4; ++i) {
    if (b[i] != b[8 + i] || b[i] != static_cast<uint8_t>(~b[4 + i])) return std::nullopt;
  }
  if (b[12] != b[14] || b[13] != b[15] || b[12] != static_cast<uint8_t>(~b[13])) {
    return std::nullopt;
  }
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | b[i];
  return ValueBlock{static_cast<int32_t>(v), b[12]};
}

int AccessGroup(int block) {
  const int offset = block - FirstBlock(SectorOfBlock(block));
  return BlocksInSector(SectorOfBlock(block)) == 4 ? offset : offset / 5;
}

namespace {

// Bytes 6 to 8 of a trailer, or the 3 access bytes on their own.
const uint8_t* AccessBytes(const Bytes& t) {
  if (t.size() == 3) return t.data();
  if (t.size() >= 9) return t.data() + 6;
  return nullptr;
}

}  // namespace

bool AccessBitsConsistent(const Bytes& trailer) {
  const uint8_t* b = AccessBytes(trailer);
  if (!b) return false;
  // Byte 6: ~C2 (high nibble) ~C1 (low); byte 7: C1 (high) ~C3 (low);
  // byte 8: C3 (high) C2 (low). Bit n of each nibble belongs to group n.
  uint8_t notC1 = b[0] & 15, notC2 = b[0] >> 4, c1 = b[1] >> 4, notC3 = b[1] & 15;
  uint8_t c2 = b[2] & 15, c3 = b[2] >> 4;
  return (c1 ^ notC1) == 15 && (c2 ^ notC2) == 15 && (c3 ^ notC3) == 15;
}

std::optional<AccessConditions> DecodeAccessBits(const Bytes& trailer) {
  if (!AccessBitsConsistent(trailer)) return std::nullopt;
  const uint8_t* b = AccessBytes(trailer);
  AccessConditions conditions;
  for (int g = 0; g < kGroups; ++g) {
    int c1 = b[1] >> (4 + g) & 1, c2 = b[2] >> g & 1, c3 = b[2] >> (4 + g) & 1;
    conditions.group[g] = c1 << 2 | c2 << 1 | c3;
  }
  return conditions;
}

Bytes EncodeAccessBits(const AccessConditions& conditions) {
  uint8_t c1 = 0, c2 = 0, c3 = 0;
  for (int g = 0; g < kGroups; ++g) {
    c1 |= static_cast<uint8_t>((conditions.group[g] >> 2 & 1) << g);
    c2 |= static_cast<uint8_t>((conditions.group[g] >> 1 & 1) << g);
    c3 |= static_cast<uint8_t>((conditions.group[g] & 1) << g);
  }
  const uint8_t notC1 = ~c1 & 15, notC2 = ~c2 & 15, notC3 = ~c3 & 15;
  return {static_cast<uint8_t>(notC2 << 4 | notC1), static_cast<uint8_t>(c1 << 4 | notC3),
          static_cast<uint8_t>(c3 << 4 | c2)};
}

DataBlockRights DataRights(int condition) {
  // Indexed by C1<<2 | C2<<1 | C3.
  static const DataBlockRights kTable[8] = {
      {kByAorB, kByAorB, kByAorB, kByAorB},  // 000: transport configuration
      {kByAorB, kNobody, kNobody, kByAorB},  // 001: value block, decrement only
      {kByAorB, kNobody, kNobody, kNobody},  // 010: read only
      {kByB, kByB, kNobody, kNobody},        // 011
      {kByAorB, kByB, kNobody, kNobody},     // 100
      {kByB, kNobody, kNobody, kNobody},     // 101
      {kByAorB, kByB, kByB, kByAorB},        // 110: value block
      {kNobody, kNobody, kNobody, kNobody},  // 111
  };
  return kTable[condition & 7];
}

TrailerRights TrailerRightsOf(int condition) {
  static const TrailerRights kTable[8] = {
      {kByA, kByA, kNobody, kByA, kByA},              // 000
      {kByA, kByA, kByA, kByA, kByA},                 // 001: transport configuration
      {kNobody, kByA, kNobody, kByA, kNobody},        // 010
      {kByB, kByAorB, kByB, kNobody, kByB},           // 011
      {kByB, kByAorB, kNobody, kNobody, kByB},        // 100
      {kNobody, kByAorB, kByB, kNobody, kNobody},     // 101
      {kNobody, kByAorB, kNobody, kNobody, kNobody},  // 110
      {kNobody, kByAorB, kNobody, kNobody, kNobody},  // 111
  };
  return kTable[condition & 7];
}

bool KeyBReadable(int trailerCondition) {
  return TrailerRightsOf(trailerCondition).keyBRead != kNobody;
}

bool KeyBReadable(const Bytes& trailer) {
  auto conditions = DecodeAccessBits(trailer);
  return conditions && KeyBReadable(conditions->group[kTrailerGroup]);
}

std::optional<Serial> ParseSerial(const std::string& hex) {
  auto bytes = ParseHex(hex);
  if (!bytes || bytes->size() != 5) return std::nullopt;
  Serial s;
  s.uid.assign(bytes->begin(), bytes->begin() + 4);
  s.bcc = (*bytes)[4];
  s.bccOk = (s.uid[0] ^ s.uid[1] ^ s.uid[2] ^ s.uid[3]) == s.bcc;
  return s;
}

}  // namespace mzcard
