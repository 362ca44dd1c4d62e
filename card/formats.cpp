#include "formats.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "access_text.h"

namespace mzcard {

namespace {

using Json = nlohmann::ordered_json;

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

int Digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The lines of a text, without their line ends.
std::vector<std::string> Lines(const Bytes& content) {
  std::vector<std::string> lines;
  std::string line;
  for (uint8_t b : content) {
    if (b == '\n') {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(line);
      line.clear();
    } else {
      line += static_cast<char>(b);
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

std::string Quote(const std::string& text) {
  return "'" + (text.size() > 48 ? text.substr(0, 48) + "..." : text) + "'";
}

// 32 digits for one block; `unknown` marks a digit that stands for an unknown
// value ('-' in .mct). A byte with either digit unknown is unknown. False on
// anything else.
bool ParseBlockDigits(const std::string& text, const std::string& unknown, Bytes* data,
                      std::vector<bool>* known) {
  if (text.size() != 2 * kBlockSize) return false;
  data->assign(kBlockSize, 0);
  known->assign(kBlockSize, true);
  for (size_t i = 0; i < text.size(); ++i) {
    const int d = Digit(text[i]);
    if (d < 0) {
      if (unknown.find(text[i]) == std::string::npos) return false;
      (*known)[i / 2] = false;
      continue;
    }
    (*data)[i / 2] = static_cast<uint8_t>((*data)[i / 2] | d << (i % 2 ? 0 : 4));
  }
  for (size_t i = 0; i < known->size(); ++i) {
    if (!(*known)[i]) (*data)[i] = 0;
  }
  return true;
}

void StoreBlock(CardImage* image, int block, const Bytes& data, const std::vector<bool>& known) {
  for (int i = 0; i < kBlockSize; ++i) {
    if (known[static_cast<size_t>(i)]) {
      image->SetBytes(block, i, {data[static_cast<size_t>(i)]});
    } else {
      image->Forget(block, i, 1);
    }
  }
}

// A block's digits with `unknown` for each digit of an unknown byte.
std::string BlockDigits(const CardImage& image, int block, const std::string& unknown) {
  const std::string hex = HexText(image.Block(block));
  std::string out;
  for (int i = 0; i < kBlockSize; ++i) {
    out += image.ByteKnown(block, i) ? hex.substr(static_cast<size_t>(2 * i), 2) : unknown;
  }
  return out;
}

// The layout for a file that names blocks up to `lastSector`: the card's SAK
// in block 0 (or the one the file gave), a hint from the caller, or the
// smallest card that holds them.
std::optional<CardLayout> ChooseLayout(int lastSector, const CardImage& probe,
                                       const std::optional<CardLayout>& hint) {
  if (hint && lastSector < hint->sectors) return hint;
  std::optional<uint8_t> sak = probe.sak;
  if (!sak && probe.Blocks() > 0 && probe.ByteKnown(0, 5)) sak = probe.Block(0)[5];
  if (sak) {
    auto byCard = IdentifyCard(0, *sak);
    if (byCard.sectors > lastSector) return LayoutOfSectors(byCard.sectors);
  }
  for (int sectors : {16, 40}) {
    if (lastSector < sectors) return LayoutOfSectors(sectors);
  }
  return std::nullopt;
}

// A 4K image to collect blocks in before the card's size is known.
CardImage Collector() {
  return CardImage(*LayoutByName("4k"));
}

CardImage Shrunk(const CardImage& all, const CardLayout& layout) {
  CardImage image(layout);
  for (int block = 0; block < layout.Blocks(); ++block) {
    for (int i = 0; i < kBlockSize; ++i) {
      if (all.ByteKnown(block, i))
        image.SetBytes(block, i, {all.Block(block)[static_cast<size_t>(i)]});
    }
  }
  image.uid = all.uid;
  image.atqa = all.atqa;
  image.sak = all.sak;
  return image;
}

std::string SizesText() {
  return "320 bytes for Mini, 1024 for 1K, 4096 for 4K";
}

// -- raw ---------------------------------------------------------------------

std::optional<CardImage> ReadRaw(const Bytes& content, std::string* error) {
  auto layout = LayoutOfSize(content.size());
  if (!layout) {
    *error = std::to_string(content.size()) + " bytes, not a card image (" + SizesText() + ")";
    return std::nullopt;
  }
  return CardImage(*layout, content);
}

// -- .mct --------------------------------------------------------------------

std::optional<CardImage> ReadMct(const Bytes& content, std::string* error,
                                 const std::optional<CardLayout>& hint) {
  const auto lines = Lines(content);
  CardImage all = Collector();
  std::vector<bool> seen(40, false);
  int sector = -1, inSector = 0, lastSector = -1, headerLine = 0;
  auto sectorShort = [&](int line) {
    *error = "line " + std::to_string(line) + ": sector " + std::to_string(sector) + " has " +
             std::to_string(inSector) + " blocks, not " + std::to_string(BlocksInSector(sector));
  };
  for (size_t n = 0; n < lines.size(); ++n) {
    const int number = static_cast<int>(n + 1);
    const std::string line = Trim(lines[n]);
    if (line.empty()) continue;
    if (line.compare(0, 8, "+Sector:") == 0) {
      if (sector >= 0 && inSector != 0 && inSector != BlocksInSector(sector)) {
        sectorShort(number);
        return std::nullopt;
      }
      auto s = ParseNumber(Trim(line.substr(8)), 0, 39);
      if (!s) {
        *error =
            "line " + std::to_string(number) + ": not a sector number (0 to 39): " + Quote(line);
        return std::nullopt;
      }
      sector = static_cast<int>(*s);
      if (seen[static_cast<size_t>(sector)]) {
        *error = "line " + std::to_string(number) + ": sector " + std::to_string(sector) +
                 " a second time";
        return std::nullopt;
      }
      seen[static_cast<size_t>(sector)] = true;
      lastSector = std::max(lastSector, sector);
      inSector = 0;
      headerLine = number;
      continue;
    }
    if (line[0] == '*') continue;  // the app's note on a sector no key opened
    if (sector < 0) {
      *error = "line " + std::to_string(number) + ": a block before the first '+Sector:' line";
      return std::nullopt;
    }
    if (inSector == BlocksInSector(sector)) {
      *error = "line " + std::to_string(number) + ": sector " + std::to_string(sector) +
               " has only " + std::to_string(BlocksInSector(sector)) + " blocks";
      return std::nullopt;
    }
    Bytes data;
    std::vector<bool> known;
    if (!ParseBlockDigits(line, "-", &data, &known)) {
      *error = "line " + std::to_string(number) +
               ": not a block of 32 hex digits ('-' for unknown): " + Quote(line);
      return std::nullopt;
    }
    StoreBlock(&all, FirstBlock(sector) + inSector, data, known);
    ++inSector;
  }
  if (sector >= 0 && inSector != 0 && inSector != BlocksInSector(sector)) {
    sectorShort(static_cast<int>(lines.size()));
    return std::nullopt;
  }
  if (lastSector < 0) {
    *error = "no '+Sector: N' line: not a .mct dump";
    return std::nullopt;
  }
  (void)headerLine;
  auto layout = ChooseLayout(lastSector, all, hint);
  if (!layout) {
    *error = "sector " + std::to_string(lastSector) + " is beyond every card";
    return std::nullopt;
  }
  return Shrunk(all, *layout);
}

Bytes WriteMct(const CardImage& image) {
  std::string text;
  for (int sector = 0; sector < image.Layout().sectors; ++sector) {
    const int first = FirstBlock(sector), count = BlocksInSector(sector);
    bool any = false;
    for (int b = first; b < first + count; ++b) any = any || !image.BlockEmpty(b);
    if (!any) continue;
    text += "+Sector: " + std::to_string(sector) + "\n";
    for (int b = first; b < first + count; ++b) text += BlockDigits(image, b, "--") + "\n";
  }
  // An image that knows nothing still needs one sector: a file of no sector
  // at all is no .mct dump, and could not be read back.
  if (text.empty() && image.Layout().sectors > 0) {
    text = "+Sector: 0\n";
    for (int b = 0; b < BlocksInSector(0); ++b) text += BlockDigits(image, b, "--") + "\n";
  }
  return Bytes(text.begin(), text.end());
}

// -- .eml --------------------------------------------------------------------

std::optional<CardImage> ReadEml(const Bytes& content, std::string* error) {
  const auto lines = Lines(content);
  CardImage all = Collector();
  int blocks = 0;
  for (size_t n = 0; n < lines.size(); ++n) {
    const int number = static_cast<int>(n + 1);
    const std::string line = Trim(lines[n]);
    if (line.empty() || line[0] == '#') continue;
    Bytes data;
    std::vector<bool> known;
    if (!ParseBlockDigits(line, "", &data, &known)) {
      *error = "line " + std::to_string(number) + ": not a block of 32 hex digits: " + Quote(line);
      return std::nullopt;
    }
    if (blocks == all.Blocks()) {
      *error = "line " + std::to_string(number) + ": more than 256 blocks, the most a card has";
      return std::nullopt;
    }
    all.SetBlock(blocks++, data);
  }
  auto layout = LayoutOfSize(static_cast<size_t>(blocks) * kBlockSize);
  if (!layout) {
    *error = "line " + std::to_string(lines.size()) + ": the file ends after " +
             std::to_string(blocks) + " blocks, not a card's (20 for Mini, 64 for 1K, 256 for 4K)";
    return std::nullopt;
  }
  return Shrunk(all, *layout);
}

Bytes WriteEml(const CardImage& image) {
  std::string text;
  for (int b = 0; b < image.Blocks(); ++b) text += HexText(image.Block(b)) + "\n";
  return Bytes(text.begin(), text.end());
}

// -- .json -------------------------------------------------------------------

// The line of the first `"name"` used as a member name after `from`.
int LineOfMember(const std::string& text, const std::string& name, size_t from = 0) {
  const std::string quoted = "\"" + name + "\"";
  for (size_t at = text.find(quoted, from); at != std::string::npos;
       at = text.find(quoted, at + 1)) {
    size_t after = at + quoted.size();
    while (after < text.size() && std::isspace(static_cast<unsigned char>(text[after]))) ++after;
    if (after < text.size() && text[after] == ':') {
      return static_cast<int>(
                 std::count(text.begin(), text.begin() + static_cast<long>(at), '\n')) +
             1;
    }
  }
  return 0;
}

std::string LineText(int line) {
  return line > 0 ? "line " + std::to_string(line) + ": " : "";
}

std::optional<Bytes> HexMember(const Json& object, const char* name, size_t size) {
  if (!object.is_object() || !object.contains(name) || !object[name].is_string())
    return std::nullopt;
  auto bytes = ParseHex(object[name].get<std::string>());
  if (!bytes || (size && bytes->size() != size)) return std::nullopt;
  return bytes;
}

std::optional<CardImage> ReadJson(const Bytes& content, std::string* error,
                                  const std::optional<CardLayout>& hint) {
  const std::string text(content.begin(), content.end());
  Json doc;
  try {
    doc = Json::parse(text);
  } catch (const Json::parse_error& e) {
    const size_t at = std::min(static_cast<size_t>(e.byte > 0 ? e.byte - 1 : 0), text.size());
    const int line =
        static_cast<int>(std::count(text.begin(), text.begin() + static_cast<long>(at), '\n')) + 1;
    std::string what = e.what();
    const size_t colon = what.rfind(": ");
    *error = "line " + std::to_string(line) +
             ": not JSON: " + (colon == std::string::npos ? what : what.substr(colon + 2));
    return std::nullopt;
  } catch (const Json::exception& e) {
    // The parser's other refusals (a number too large for any type, say)
    // carry no position.
    std::string what = e.what();
    const size_t colon = what.rfind("] ");
    *error = "not JSON: " + (colon == std::string::npos ? what : what.substr(colon + 2));
    return std::nullopt;
  }
  if (!doc.is_object()) {
    *error = "line 1: not a JSON object";
    return std::nullopt;
  }
  const std::string type = doc.contains("FileType") && doc["FileType"].is_string()
                               ? doc["FileType"].get<std::string>()
                               : std::string();
  if (type != "mfc v2" && type != "mfcard" && type != "mfc v3") {
    *error = LineText(LineOfMember(text, "FileType")) + "\"FileType\" is " +
             (type.empty() ? std::string("missing") : "'" + type + "'") +
             ", not a MIFARE Classic dump (\"mfc v2\", \"mfc v3\" or \"mfcard\")";
    return std::nullopt;
  }
  CardImage all = Collector();
  if (doc.contains("Card")) {
    const Json& card = doc["Card"];
    if (auto uid = HexMember(card, "UID", 0); uid && (uid->size() == 4 || uid->size() == 7))
      all.uid = uid;
    if (auto atqa = HexMember(card, "ATQA", 2)) all.atqa = atqa;
    if (auto sak = HexMember(card, "SAK", 1)) all.sak = (*sak)[0];
  }
  if (!doc.contains("blocks") || !doc["blocks"].is_object()) {
    *error = "no \"blocks\" object: not a MIFARE Classic dump";
    return std::nullopt;
  }
  const size_t blocksAt = text.find("\"blocks\"");
  int last = -1;
  for (const auto& item : doc["blocks"].items()) {
    const int line = LineOfMember(text, item.key(), blocksAt);
    auto number = ParseNumber(item.key(), 0, 255);
    if (!number) {
      *error = LineText(line) + "not a block number (0 to 255): \"" + item.key() + "\"";
      return std::nullopt;
    }
    Bytes data;
    std::vector<bool> known;
    if (!item.value().is_string() ||
        !ParseBlockDigits(item.value().get<std::string>(), "?-", &data, &known)) {
      *error =
          LineText(line) + "block " + item.key() + " is not 32 hex digits: " +
          Quote(item.value().is_string() ? item.value().get<std::string>() : item.value().dump());
      return std::nullopt;
    }
    StoreBlock(&all, static_cast<int>(*number), data, known);
    last = std::max(last, static_cast<int>(*number));
  }
  // Ours: which bytes are unknown, a mask per block (FF: unknown).
  if (doc.contains("UnknownBytes") && doc["UnknownBytes"].is_object()) {
    const size_t at = text.find("\"UnknownBytes\"");
    for (const auto& item : doc["UnknownBytes"].items()) {
      auto number = ParseNumber(item.key(), 0, 255);
      auto mask =
          item.value().is_string() ? ParseHex(item.value().get<std::string>()) : std::nullopt;
      if (!number || !mask || mask->size() != static_cast<size_t>(kBlockSize)) {
        *error = LineText(LineOfMember(text, item.key(), at)) +
                 "an \"UnknownBytes\" entry is not a block number and 32 hex digits";
        return std::nullopt;
      }
      for (int i = 0; i < kBlockSize; ++i) {
        if ((*mask)[static_cast<size_t>(i)]) all.Forget(static_cast<int>(*number), i, 1);
      }
      last = std::max(last, static_cast<int>(*number));
    }
  }
  // Keys of sectors whose trailer the blocks leave out.
  if (doc.contains("SectorKeys") && doc["SectorKeys"].is_object()) {
    for (const auto& item : doc["SectorKeys"].items()) {
      auto sector = ParseNumber(item.key(), 0, 39);
      if (!sector) continue;
      const int t = TrailerBlock(static_cast<int>(*sector));
      if (auto key = HexMember(item.value(), "KeyA", kKeySize); key && !all.RangeKnown(t, 0, 6))
        all.SetBytes(t, 0, *key);
      if (auto key = HexMember(item.value(), "KeyB", kKeySize); key && !all.RangeKnown(t, 10, 6))
        all.SetBytes(t, 10, *key);
      if (auto bits = HexMember(item.value(), "AccessConditions", 4);
          bits && !all.RangeKnown(t, 6, 4))
        all.SetBytes(t, 6, *bits);
      if (all.RangeKnown(t, 0, 6) || all.RangeKnown(t, 10, 6) || all.RangeKnown(t, 6, 4))
        last = std::max(last, t);
    }
  }
  if (last < 0) {
    *error = "\"blocks\" is empty";
    return std::nullopt;
  }
  auto layout = ChooseLayout(SectorOfBlock(last), all, hint);
  if (!layout) {
    *error = "block " + std::to_string(last) + " is beyond every card";
    return std::nullopt;
  }
  return Shrunk(all, *layout);
}

// Defaults for what a file must say of the card when neither the image nor
// block 0 tells it: the values genuine cards of the size answer with.
Bytes AtqaOf(const CardImage& image) {
  if (image.atqa) return *image.atqa;
  if (image.Blocks() && image.RangeKnown(0, 6, 2)) {
    const Bytes b0 = image.Block(0);
    return {b0[6], b0[7]};
  }
  return image.Layout().sectors == 40 ? Bytes{0x02, 0x00} : Bytes{0x04, 0x00};
}

uint8_t SakOf(const CardImage& image) {
  if (image.sak) return *image.sak;
  if (image.Blocks() && image.ByteKnown(0, 5)) return image.Block(0)[5];
  return image.Layout().sectors == 40 ? 0x18 : image.Layout().sectors == 5 ? 0x09 : 0x08;
}

std::string RightsText(const DataBlockRights& r) {
  auto w = [](KeySet k) {
    return k == kByAorB ? "AB" : k == kByA ? "A" : k == kByB ? "B" : "never";
  };
  return std::string("read ") + w(r.read) + "; write " + w(r.write) + "; increment " +
         w(r.increment) + "; decrement, transfer, restore " + w(r.decrement);
}

Bytes WriteJson(const CardImage& image, int* zeroed) {
  Json doc;
  doc["Created"] = "zubtool";
  doc["FileType"] = "mfc v2";
  Json card;
  const auto uid = image.Uid();
  card["UID"] = uid ? HexText(*uid) : "";
  card["ATQA"] = HexText(AtqaOf(image));
  card["SAK"] = HexText({SakOf(image)});
  doc["Card"] = card;
  Json blocks = Json::object(), unknown = Json::object();
  for (int b = 0; b < image.Blocks(); ++b) {
    blocks[std::to_string(b)] = HexText(image.Block(b));
    if (image.BlockKnown(b)) continue;
    Bytes mask(kBlockSize, 0);
    for (int i = 0; i < kBlockSize; ++i) {
      if (!image.ByteKnown(b, i)) mask[static_cast<size_t>(i)] = 0xFF;
    }
    unknown[std::to_string(b)] = HexText(mask);
    if (zeroed) *zeroed += 0;  // carried in "UnknownBytes"
  }
  doc["blocks"] = blocks;
  if (!unknown.empty()) doc["UnknownBytes"] = unknown;
  Json keys = Json::object();
  for (int sector = 0; sector < image.Layout().sectors; ++sector) {
    Json entry = Json::object();
    if (auto key = image.KeyA(sector)) entry["KeyA"] = HexText(*key);
    if (auto key = image.KeyB(sector)) entry["KeyB"] = HexText(*key);
    if (auto bits = image.AccessBytes(sector)) {
      entry["AccessConditions"] = HexText(*bits);
      if (auto conditions = DecodeAccessBits(Bytes(bits->begin(), bits->begin() + 3))) {
        Json words = Json::object();
        const int first = FirstBlock(sector);
        const bool big = BlocksInSector(sector) == 16;
        for (int g = 0; g < kTrailerGroup; ++g) {
          const std::string name = big ? "block" + std::to_string(first + 5 * g) + "-" +
                                             std::to_string(first + 5 * g + 4)
                                       : "block" + std::to_string(first + g);
          words[name] = RightsText(DataRights(conditions->group[g]));
        }
        const TrailerRights t = TrailerRightsOf(conditions->group[kTrailerGroup]);
        words["block" + std::to_string(TrailerBlock(sector))] =
            "key A write " + KeysWord(t.keyAWrite) + "; access bits read " +
            KeysWord(t.accessRead) + ", write " + KeysWord(t.accessWrite) + "; key B read " +
            KeysWord(t.keyBRead) + ", write " + KeysWord(t.keyBWrite);
        words["UserData"] = HexText({(*bits)[3]});
        entry["AccessConditionsText"] = words;
      }
    }
    if (!entry.empty()) keys[std::to_string(sector)] = entry;
  }
  doc["SectorKeys"] = keys;
  const std::string text = doc.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
  return Bytes(text.begin(), text.end());
}

// -- .nfc --------------------------------------------------------------------

std::optional<CardImage> ReadNfc(const Bytes& content, std::string* error) {
  const auto lines = Lines(content);
  CardImage all = Collector();
  std::optional<CardLayout> layout;
  bool header = false, classic = false;
  int last = -1, lastLine = 0;
  for (size_t n = 0; n < lines.size(); ++n) {
    const int number = static_cast<int>(n + 1);
    const std::string line = Trim(lines[n]);
    if (line.empty() || line[0] == '#') continue;
    const size_t colon = line.find(':');
    if (colon == std::string::npos) {
      *error = "line " + std::to_string(number) + ": not 'Name: value': " + Quote(line);
      return std::nullopt;
    }
    const std::string name = Trim(line.substr(0, colon)), value = Trim(line.substr(colon + 1));
    auto bad = [&](const std::string& why) {
      *error = "line " + std::to_string(number) + ": " + why + ": " + Quote(line);
      return std::nullopt;
    };
    if (!header) {
      if (name != "Filetype" || value != "Flipper NFC device")
        return bad("not a Flipper NFC file (it starts with 'Filetype: Flipper NFC device')");
      header = true;
      continue;
    }
    if (name == "Device type") {
      if (value != "Mifare Classic") return bad("not a MIFARE Classic card");
      classic = true;
    } else if (name == "UID") {
      auto uid = ParseHex(value);
      if (!uid || (uid->size() != 4 && uid->size() != 7)) return bad("not a UID of 4 or 7 bytes");
      all.uid = uid;
    } else if (name == "ATQA") {
      auto atqa = ParseHex(value);
      if (!atqa || atqa->size() != 2) return bad("not an ATQA of 2 bytes");
      all.atqa = Bytes{(*atqa)[1], (*atqa)[0]};  // the file has the most significant byte first
    } else if (name == "SAK") {
      auto sak = ParseHex(value);
      if (!sak || sak->size() != 1) return bad("not a SAK of 1 byte");
      all.sak = (*sak)[0];
    } else if (name == "Mifare Classic type") {
      layout = value == "MINI" ? LayoutByName("mini") : LayoutByName(value);
      if (!layout) return bad("not a card type (MINI, 1K or 4K)");
    } else if (name.compare(0, 6, "Block ") == 0) {
      auto block = ParseNumber(name.substr(6), 0, 255);
      if (!block) return bad("not a block number (0 to 255)");
      if (layout && *block >= layout->Blocks()) return bad("a block beyond the card's last");
      std::string digits, token;
      int pairs = 0;
      bool ok = true;
      for (size_t i = 0; i <= value.size(); ++i) {
        if (i < value.size() && value[i] != ' ') {
          token += value[i];
          continue;
        }
        if (token.empty()) continue;
        ok = ok && token.size() == 2 &&
             (token == "??" || (Digit(token[0]) >= 0 && Digit(token[1]) >= 0));
        digits += token;
        token.clear();
        ++pairs;
      }
      Bytes data;
      std::vector<bool> known;
      if (!ok || pairs != kBlockSize || !ParseBlockDigits(digits, "?", &data, &known))
        return bad("not 16 bytes as hex pairs ('?\?' for unknown)");
      StoreBlock(&all, static_cast<int>(*block), data, known);
      last = std::max(last, static_cast<int>(*block));
      lastLine = number;
    }
    // Other lines (Version, Data format version, ...) say nothing of the blocks.
  }
  if (!header) {
    *error = "line 1: not a Flipper NFC file (it starts with 'Filetype: Flipper NFC device')";
    return std::nullopt;
  }
  if (!classic) {
    *error = "no 'Device type: Mifare Classic' line: not a MIFARE Classic card";
    return std::nullopt;
  }
  if (!layout) layout = ChooseLayout(last < 0 ? 0 : SectorOfBlock(last), all, std::nullopt);
  (void)lastLine;
  if (!layout) {
    *error = "block " + std::to_string(last) + " is beyond every card";
    return std::nullopt;
  }
  return Shrunk(all, *layout);
}

Bytes WriteNfc(const CardImage& image) {
  std::string text =
      "Filetype: Flipper NFC device\n"
      "Version: 4\n"
      "# Device type can be ISO14443-3A, ISO14443-3B, ISO14443-4A, NTAG/Ultralight, Mifare "
      "Classic, Mifare DESFire\n"
      "Device type: Mifare Classic\n"
      "# UID is common for all formats\n";
  if (auto uid = image.Uid()) text += "UID: " + HexSpaced(*uid) + "\n";
  const Bytes atqa = AtqaOf(image);
  text += "# ISO14443-3A specific data\n";
  text += "ATQA: " + HexSpaced({atqa[1], atqa[0]}) + "\n";
  text += "SAK: " + HexText({SakOf(image)}) + "\n";
  text += "# Mifare Classic specific data\n";
  const int sectors = image.Layout().sectors;
  text += std::string("Mifare Classic type: ") +
          (sectors == 5    ? "MINI"
           : sectors == 40 ? "4K"
                           : "1K") +
          "\n";
  text += "Data format version: 2\n";
  text += "# Mifare Classic blocks, '?\?' means unknown data\n";
  for (int b = 0; b < image.Blocks(); ++b) {
    const std::string digits = BlockDigits(image, b, "??");
    text += "Block " + std::to_string(b) + ":";
    for (size_t i = 0; i < digits.size(); i += 2) text += " " + digits.substr(i, 2);
    text += "\n";
  }
  return Bytes(text.begin(), text.end());
}

}  // namespace

const char* FormatName(Format format) {
  switch (format) {
    case Format::kRaw:
      return "raw";
    case Format::kMct:
      return "mct";
    case Format::kEml:
      return "eml";
    case Format::kJson:
      return "json";
    case Format::kNfc:
      return "nfc";
  }
  return "raw";
}

std::optional<Format> FormatByName(const std::string& name) {
  const std::string n = Lower(name);
  if (n == "raw" || n == "mfd" || n == "bin") return Format::kRaw;
  if (n == "mct") return Format::kMct;
  if (n == "eml") return Format::kEml;
  if (n == "json") return Format::kJson;
  if (n == "nfc") return Format::kNfc;
  return std::nullopt;
}

std::string FormatNames() {
  return "raw (mfd, bin), mct, eml, json, nfc";
}

std::optional<Format> FormatOfPath(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return std::nullopt;
  return FormatByName(path.substr(dot + 1));
}

std::optional<Format> FormatOfContent(const Bytes& content) {
  const std::string text(
      content.begin(), content.begin() + static_cast<long>(std::min<size_t>(content.size(), 4096)));
  const std::string start = Trim(text);
  if (start.compare(0, 28, "Filetype: Flipper NFC device") == 0) return Format::kNfc;
  if (!start.empty() && start[0] == '{' && text.find("\"blocks\"") != std::string::npos)
    return Format::kJson;
  if (start.compare(0, 8, "+Sector:") == 0) return Format::kMct;
  // Lines of 32 hex digits, and '#' comments: .eml.
  if (LayoutOfSize(content.size())) return std::nullopt;  // a raw image's size
  int blocks = 0;
  for (const auto& raw : Lines(content)) {
    const std::string line = Trim(raw);
    if (line.empty() || line[0] == '#') continue;
    Bytes data;
    std::vector<bool> known;
    if (!ParseBlockDigits(line, "", &data, &known)) return std::nullopt;
    ++blocks;
  }
  return blocks ? std::optional<Format>(Format::kEml) : std::nullopt;
}

bool CarriesUnknown(Format format) {
  return format == Format::kMct || format == Format::kJson || format == Format::kNfc;
}

std::optional<CardImage> ReadImage(const Bytes& content, Format format, std::string* error,
                                   const std::optional<CardLayout>& layout) {
  std::string ignored;
  if (!error) error = &ignored;
  std::optional<CardImage> image;
  switch (format) {
    case Format::kRaw:
      image = ReadRaw(content, error);
      break;
    case Format::kMct:
      image = ReadMct(content, error, layout);
      break;
    case Format::kEml:
      image = ReadEml(content, error);
      break;
    case Format::kJson:
      image = ReadJson(content, error, layout);
      break;
    case Format::kNfc:
      image = ReadNfc(content, error);
      break;
  }
  return image;
}

Bytes WriteImage(const CardImage& image, Format format, int* zeroed) {
  if (zeroed) *zeroed = CarriesUnknown(format) ? 0 : image.UnknownBytes();
  switch (format) {
    case Format::kRaw:
      return image.Raw();
    case Format::kMct:
      return WriteMct(image);
    case Format::kEml:
      return WriteEml(image);
    case Format::kJson:
      return WriteJson(image, nullptr);
    case Format::kNfc:
      return WriteNfc(image);
  }
  return image.Raw();
}

}  // namespace mzcard
