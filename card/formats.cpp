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

// What a file held, block by block: `named` decides the card's size (a .mct
// sector header names all its blocks), `held` the blocks it has data for.
struct Present {
  std::vector<bool> named = std::vector<bool>(256, false);
  std::vector<bool> held = std::vector<bool>(256, false);
  int Last() const {
    for (int b = 255; b >= 0; --b) {
      if (named[static_cast<size_t>(b)]) return b;
    }
    return -1;
  }
};

// The card a file is of: the size the caller gives, else the file's own count
// (it names every block up to a card's last), else the SAK the file or block
// 0 gives where that card holds every block named, else the smallest card
// that holds them. Nothing when no card does.
std::optional<CardLayout> ChooseLayout(const Present& present, const CardImage& probe,
                                       const std::optional<CardLayout>& hint) {
  const int last = present.Last();
  if (hint && last < hint->Blocks()) return hint;
  bool contiguous = true;
  for (int b = 0; b <= last; ++b) contiguous = contiguous && present.named[static_cast<size_t>(b)];
  if (contiguous) {
    for (const auto& layout : AllLayouts()) {
      if (layout.Blocks() == last + 1) return layout;
    }
  }
  if (auto sak = probe.Sak()) {
    auto byCard = LayoutOfSectors(IdentifyCard(0, *sak).sectors);
    if (byCard && last < byCard->Blocks()) return byCard;
  }
  for (int sectors : {16, 40}) {
    if (last < LayoutOfSectors(sectors)->Blocks()) return LayoutOfSectors(sectors);
  }
  return std::nullopt;
}

// Notes the blocks of the card the file held no data for; with `bySector`,
// whole sectors as sectors.
void NoteMissing(const CardLayout& layout, const Present& present, bool bySector,
                 std::vector<std::string>* notes) {
  std::vector<int> sectors, blocks;
  for (int sector = 0; sector < layout.sectors; ++sector) {
    const int first = FirstBlock(sector), count = BlocksInSector(sector);
    int held = 0;
    for (int b = first; b < first + count; ++b) held += present.held[static_cast<size_t>(b)];
    if (bySector && held == 0) {
      sectors.push_back(sector);
      continue;
    }
    for (int b = first; b < first + count; ++b) {
      if (!present.held[static_cast<size_t>(b)]) blocks.push_back(b);
    }
  }
  for (const auto& [items, unit] :
       {std::make_pair(sectors, "sector"), std::make_pair(blocks, "block")}) {
    if (items.empty()) continue;
    notes->push_back(RangesText(items, unit) + (items.size() == 1 ? " is" : " are") +
                     " not in the file: read as unknown");
  }
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
  return "320 bytes for Mini, 1024 for 1K, 2048 for 2K, 4096 for 4K";
}

const uint8_t kSafeAccess[4] = {0xFF, 0x07, 0x80, 0x69};

// The image's bytes with a stand-in for each unknown one: zeros, and in a
// trailer the safe access bytes. `sectors` receives the sectors whose access
// bits (bytes 6 to 8) were not all known. Known access bits beside stand-ins
// that do not match their inverted copy give way to the safe value, unless
// `keepKnown` (a format that marks the stand-ins unknown).
Bytes WithStandIns(const CardImage& image, std::vector<int>* sectors, bool keepKnown = false) {
  Bytes out = image.Raw();
  for (int sector = 0; sector < image.Layout().sectors; ++sector) {
    const int t = TrailerBlock(sector);
    if (image.RangeKnown(t, 6, 4)) continue;
    uint8_t* access = out.data() + t * kBlockSize + 6;
    for (int i = 0; i < 4; ++i) {
      if (!image.ByteKnown(t, 6 + i)) access[i] = kSafeAccess[i];
    }
    if (image.RangeKnown(t, 6, 3)) continue;  // only the user byte
    if (!keepKnown && !AccessBitsConsistent(Bytes(access, access + 3)))
      std::copy(kSafeAccess, kSafeAccess + 3, access);
    sectors->push_back(sector);
  }
  return out;
}

void NoteSafeAccess(const std::vector<int>& sectors, const std::string& where,
                    std::vector<std::string>* notes) {
  if (sectors.empty() || !notes) return;
  notes->push_back(RangesText(sectors, "sector") + ": access bits unknown, written as FF 07 80 69" +
                   where +
                   " (the transport configuration: every card accepts it, it locks nothing)");
}

// Facts the image holds that a format without them loses: those block 0 does
// not give by itself.
void NoteFactsLost(const CardImage& image, Format format, std::vector<std::string>* notes) {
  if (!notes) return;
  CardImage bare = image;
  bare.uid.reset();
  bare.atqa.reset();
  bare.sak.reset();
  std::vector<std::string> lost;
  if (image.uid && bare.Uid() != image.uid) lost.push_back("UID " + HexText(*image.uid));
  if (image.atqa && bare.Atqa() != image.atqa) lost.push_back("ATQA " + HexText(*image.atqa));
  if (image.sak && bare.Sak() != image.sak) lost.push_back("SAK " + HexText({*image.sak}));
  if (lost.empty()) return;
  std::string text;
  for (const auto& l : lost) text += (text.empty() ? "" : ", ") + l;
  notes->push_back(std::string("the ") + FormatName(format) + " format does not keep the card's " +
                   text + " (block 0 does not give them)");
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
                                 const std::optional<CardLayout>& hint,
                                 std::vector<std::string>* notes) {
  const auto lines = Lines(content);
  CardImage all = Collector();
  Present present;
  std::vector<bool> seen(40, false);
  int sector = -1, inSector = 0;
  for (size_t n = 0; n < lines.size(); ++n) {
    const int number = static_cast<int>(n + 1);
    const std::string line = Trim(lines[n]);
    if (line.empty()) continue;
    if (line.compare(0, 8, "+Sector:") == 0) {
      // A sector cut short before the next one: which of its blocks the
      // lines are is anyone's guess.
      if (sector >= 0 && inSector != 0 && inSector != BlocksInSector(sector)) {
        *error = "line " + std::to_string(number) + ": sector " + std::to_string(sector) + " has " +
                 std::to_string(inSector) + " blocks, not " +
                 std::to_string(BlocksInSector(sector));
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
      for (int b = FirstBlock(sector); b <= TrailerBlock(sector); ++b)
        present.named[static_cast<size_t>(b)] = true;
      inSector = 0;
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
    const int block = FirstBlock(sector) + inSector;
    StoreBlock(&all, block, data, known);
    present.held[static_cast<size_t>(block)] = true;
    ++inSector;
  }
  if (sector < 0) {
    *error = "no '+Sector: N' line: not a .mct dump";
    return std::nullopt;
  }
  // The last sector cut short is a file that ends early: its other blocks
  // are unknown, and the note says which.
  auto layout = ChooseLayout(present, all, hint);
  if (!layout) {
    *error = "sector " + std::to_string(SectorOfBlock(present.Last())) + " is beyond every card";
    return std::nullopt;
  }
  NoteMissing(*layout, present, true, notes);
  return Shrunk(all, *layout);
}

Bytes WriteMct(const CardImage& image) {
  std::string text;
  for (int sector = 0; sector < image.Layout().sectors; ++sector) {
    text += "+Sector: " + std::to_string(sector) + "\n";
    for (int b = FirstBlock(sector); b <= TrailerBlock(sector); ++b)
      text += BlockDigits(image, b, "--") + "\n";
  }
  return Bytes(text.begin(), text.end());
}

// -- .eml --------------------------------------------------------------------

std::optional<CardImage> ReadEml(const Bytes& content, std::string* error,
                                 const std::optional<CardLayout>& hint,
                                 std::vector<std::string>* notes) {
  const auto lines = Lines(content);
  CardImage all = Collector();
  Present present;
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
    present.named[static_cast<size_t>(blocks)] = present.held[static_cast<size_t>(blocks)] = true;
    all.SetBlock(blocks++, data);
  }
  if (blocks == 0) {
    *error = "no block of 32 hex digits: not a .eml dump";
    return std::nullopt;
  }
  auto layout = ChooseLayout(present, all, hint);
  if (!layout) {
    *error = "more blocks than a card has";  // not reached: 256 at most
    return std::nullopt;
  }
  NoteMissing(*layout, present, false, notes);
  return Shrunk(all, *layout);
}

Bytes WriteEml(const CardImage& image, std::vector<int>* safe) {
  const Bytes raw = WithStandIns(image, safe);
  std::string text;
  for (int b = 0; b < image.Blocks(); ++b) {
    const auto at = raw.begin() + b * kBlockSize;
    text += HexText(Bytes(at, at + kBlockSize)) + "\n";
  }
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
                                  const std::optional<CardLayout>& hint,
                                  std::vector<std::string>* notes) {
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
  Present present;
  auto mark = [&](int block) {
    present.named[static_cast<size_t>(block)] = present.held[static_cast<size_t>(block)] = true;
  };
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
    mark(static_cast<int>(*number));
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
      mark(static_cast<int>(*number));
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
      if (all.RangeKnown(t, 0, 6) || all.RangeKnown(t, 10, 6) || all.RangeKnown(t, 6, 4)) mark(t);
    }
  }
  if (present.Last() < 0) {
    *error = "\"blocks\" is empty";
    return std::nullopt;
  }
  auto layout = ChooseLayout(present, all, hint);
  if (!layout) {
    *error = "block " + std::to_string(present.Last()) + " is beyond every card";
    return std::nullopt;
  }
  NoteMissing(*layout, present, false, notes);
  return Shrunk(all, *layout);
}

// What a Flipper file must say of the card and the image does not know:
// the values genuine cards of the size answer with, the UID zeros.
Bytes StandInAtqa(const CardImage& image) {
  return image.Layout().sectors == 40 ? Bytes{0x02, 0x00} : Bytes{0x04, 0x00};
}

uint8_t StandInSak(const CardImage& image) {
  switch (image.Layout().sectors) {
    case 5:
      return 0x09;
    case 32:
      return 0x19;
    case 40:
      return 0x18;
    default:
      return 0x08;
  }
}

std::string DataRightsLine(const DataBlockRights& r) {
  auto w = [](KeySet k) { return RightsText(k, BothKeys::kJoined); };
  return std::string("read ") + w(r.read) + "; write " + w(r.write) + "; increment " +
         w(r.increment) + "; decrement, transfer, restore " + w(r.decrement);
}

// Unknown bytes are in "UnknownBytes"; the blocks hold stand-ins there, so
// that a tool that ignores the mask sees no trailer that locks its sector.
Bytes WriteJson(const CardImage& image, std::vector<int>* safe, std::vector<std::string>* notes) {
  Json doc;
  doc["Created"] = "zubtool";
  doc["FileType"] = "mfc v2";
  // Only what the image knows: nothing stands in for the card's facts.
  Json card = Json::object();
  std::string missing;
  if (auto uid = image.Uid())
    card["UID"] = HexText(*uid);
  else
    missing += "UID";
  if (auto atqa = image.Atqa())
    card["ATQA"] = HexText(*atqa);
  else
    missing += missing.empty() ? "ATQA" : ", ATQA";
  if (auto sak = image.Sak())
    card["SAK"] = HexText({*sak});
  else
    missing += missing.empty() ? "SAK" : ", SAK";
  if (!missing.empty() && notes)
    notes->push_back("the card's " + missing + " not known: left out of \"Card\"");
  doc["Card"] = card;
  const Bytes raw = WithStandIns(image, safe, true);
  Json blocks = Json::object(), unknown = Json::object();
  for (int b = 0; b < image.Blocks(); ++b) {
    const auto at = raw.begin() + b * kBlockSize;
    blocks[std::to_string(b)] = HexText(Bytes(at, at + kBlockSize));
    if (image.BlockKnown(b)) continue;
    Bytes mask(kBlockSize, 0);
    for (int i = 0; i < kBlockSize; ++i) {
      if (!image.ByteKnown(b, i)) mask[static_cast<size_t>(i)] = 0xFF;
    }
    unknown[std::to_string(b)] = HexText(mask);
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
          words[name] = DataRightsLine(DataRights(conditions->group[g]));
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

// Our comments in a Flipper file, which the Flipper ignores: the card facts
// written as stand-ins, and a 2K card written as the 4K type the Flipper has.
const char kStandInMark[] = "# zubtool: not known, stand-ins written for:";
const char k2kMark[] =
    "# zubtool: MIFARE Classic 2K, written as 4K: blocks 128 to 255 are not the card's";

std::optional<CardImage> ReadNfc(const Bytes& content, std::string* error,
                                 const std::optional<CardLayout>& hint,
                                 std::vector<std::string>* notes) {
  const auto lines = Lines(content);
  CardImage all = Collector();
  Present present;
  std::optional<CardLayout> layout;
  bool header = false, classic = false, twoK = false;
  int version = 4;
  std::string standIns;
  for (size_t n = 0; n < lines.size(); ++n) {
    const int number = static_cast<int>(n + 1);
    const std::string line = Trim(lines[n]);
    if (line.compare(0, sizeof kStandInMark - 1, kStandInMark) == 0)
      standIns = line.substr(sizeof kStandInMark - 1);
    if (line == k2kMark) twoK = true;
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
    if (name == "Version") {
      auto v = ParseNumber(value, 1, 1000);
      if (!v) return bad("not a version number");
      version = static_cast<int>(*v);
    } else if (name == "Device type") {
      if (value != "Mifare Classic") return bad("not a MIFARE Classic card");
      classic = true;
    } else if (name == "UID") {
      auto uid = ParseHex(value);
      if (!uid || (uid->size() != 4 && uid->size() != 7 && uid->size() != 10))
        return bad("not a UID of 4, 7 or 10 bytes");
      all.uid = uid;
    } else if (name == "ATQA") {
      auto atqa = ParseHex(value);
      if (!atqa || atqa->size() != 2) return bad("not an ATQA of 2 bytes");
      // Version 2 has it as the card sends it (least significant byte
      // first), versions 3 and on the most significant byte first.
      all.atqa = version <= 2 ? *atqa : Bytes{(*atqa)[1], (*atqa)[0]};
    } else if (name == "SAK") {
      auto sak = ParseHex(value);
      if (!sak || sak->size() != 1) return bad("not a SAK of 1 byte");
      all.sak = (*sak)[0];
    } else if (name == "Mifare Classic type") {
      layout = value == "MINI" ? LayoutByName("mini") : LayoutByName(value);
      if (!layout) return bad("not a card type (MINI, 1K, 2K or 4K)");
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
      present.named[static_cast<size_t>(*block)] = present.held[static_cast<size_t>(*block)] = true;
    }
    // Other lines (Data format version, ...) say nothing of the blocks.
  }
  if (!header) {
    *error = "line 1: not a Flipper NFC file (it starts with 'Filetype: Flipper NFC device')";
    return std::nullopt;
  }
  if (!classic) {
    *error = "no 'Device type: Mifare Classic' line: not a MIFARE Classic card";
    return std::nullopt;
  }
  // Our 2K, written as a 4K: nothing of it beyond block 127.
  if (twoK && layout && layout->sectors == 40) {
    bool beyond = false;
    for (int b = 128; b < 256; ++b) beyond = beyond || !all.BlockEmpty(b);
    if (!beyond) {
      layout = LayoutByName("2k");
      for (int b = 128; b < 256; ++b) present.held[static_cast<size_t>(b)] = false;
    }
  }
  if (!layout) {
    if (present.Last() < 0) present.named[0] = true;  // no block: the smallest card, unknown
    layout = ChooseLayout(present, all, hint);
  }
  if (!layout) {
    *error = "block " + std::to_string(present.Last()) + " is beyond every card";
    return std::nullopt;
  }
  // The card facts that were only stand-ins stay unknown.
  if (standIns.find("UID") != std::string::npos) all.uid.reset();
  if (standIns.find("ATQA") != std::string::npos) all.atqa.reset();
  if (standIns.find("SAK") != std::string::npos) all.sak.reset();
  NoteMissing(*layout, present, false, notes);
  return Shrunk(all, *layout);
}

Bytes WriteNfc(const CardImage& image, std::vector<std::string>* notes) {
  // The Flipper needs UID, ATQA and SAK: stand-ins where the image does not
  // know them, named in our comment so that reading the file back knows them
  // no better.
  const auto uid = image.Uid(), atqa = image.Atqa();
  const auto sak = image.Sak();
  const Bytes uidOut = uid ? *uid : Bytes(4, 0);
  const Bytes atqaOut = atqa ? *atqa : StandInAtqa(image);
  const uint8_t sakOut = sak ? *sak : StandInSak(image);
  std::vector<std::string> standIns;
  if (!uid) standIns.push_back("UID " + HexSpaced(uidOut));
  if (!atqa) standIns.push_back("ATQA " + HexSpaced({atqaOut[1], atqaOut[0]}));
  if (!sak) standIns.push_back("SAK " + HexText({sakOut}));
  std::string names, listed, written;
  for (const auto& s : standIns) {
    names += " " + s.substr(0, s.find(' '));
    listed += (listed.empty() ? "" : ", ") + s.substr(0, s.find(' '));
    written += (written.empty() ? "" : ", ") + s;
  }
  if (!standIns.empty() && notes) {
    notes->push_back("the card's " + listed +
                     " not known (block 0's check byte proves no 4-byte UID): written in their "
                     "place: " +
                     written);
  }
  std::string text =
      "Filetype: Flipper NFC device\n"
      "Version: 4\n"
      "# Device type can be ISO14443-3A, ISO14443-3B, ISO14443-4A, NTAG/Ultralight, Mifare "
      "Classic, Mifare DESFire\n"
      "Device type: Mifare Classic\n"
      "# UID is common for all formats\n";
  if (!standIns.empty()) text += std::string(kStandInMark) + names + "\n";
  text += "UID: " + HexSpaced(uidOut) + "\n";
  text += "# ISO14443-3A specific data\n";
  text += "ATQA: " + HexSpaced({atqaOut[1], atqaOut[0]}) + "\n";
  text += "SAK: " + HexText({sakOut}) + "\n";
  text += "# Mifare Classic specific data\n";
  const int sectors = image.Layout().sectors;
  // The Flipper knows no 2K: a 4K, of which the blocks beyond the card's are
  // unknown.
  if (sectors == 32) text += std::string(k2kMark) + "\n";
  text += std::string("Mifare Classic type: ") +
          (sectors == 5    ? "MINI"
           : sectors == 16 ? "1K"
                           : "4K") +
          "\n";
  text += "Data format version: 2\n";
  text += "# Mifare Classic blocks, '?\?' means unknown data\n";
  const int blocks = sectors == 32 ? LayoutByName("4k")->Blocks() : image.Blocks();
  for (int b = 0; b < blocks; ++b) {
    const std::string digits =
        b < image.Blocks() ? BlockDigits(image, b, "??") : std::string(2 * kBlockSize, '?');
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

Bytes SafeAccessBytes() {
  return Bytes(kSafeAccess, kSafeAccess + 4);
}

std::optional<CardImage> ReadImage(const Bytes& content, Format format, std::string* error,
                                   const std::optional<CardLayout>& layout,
                                   std::vector<std::string>* notes) {
  std::string ignored;
  if (!error) error = &ignored;
  std::vector<std::string> dropped;
  if (!notes) notes = &dropped;
  switch (format) {
    case Format::kRaw:
      return ReadRaw(content, error);
    case Format::kMct:
      return ReadMct(content, error, layout, notes);
    case Format::kEml:
      return ReadEml(content, error, layout, notes);
    case Format::kJson:
      return ReadJson(content, error, layout, notes);
    case Format::kNfc:
      return ReadNfc(content, error, layout, notes);
  }
  return std::nullopt;
}

Bytes WriteImage(const CardImage& image, Format format, int* zeroed,
                 std::vector<std::string>* notes) {
  const int unknown = image.UnknownBytes();
  if (zeroed) *zeroed = CarriesUnknown(format) ? 0 : unknown;
  std::vector<int> safe;
  Bytes out;
  switch (format) {
    case Format::kRaw:
      out = WithStandIns(image, &safe);
      break;
    case Format::kMct:
      out = WriteMct(image);
      break;
    case Format::kEml:
      out = WriteEml(image, &safe);
      break;
    case Format::kJson:
      out = WriteJson(image, &safe, notes);
      break;
    case Format::kNfc:
      out = WriteNfc(image, notes);
      break;
  }
  if (notes && !CarriesUnknown(format) && unknown) {
    notes->push_back(std::to_string(unknown) + " unknown byte" + (unknown == 1 ? "" : "s") +
                     " written as zeros" + (safe.empty() ? "" : " or access bytes") + ": the " +
                     FormatName(format) +
                     " format cannot mark them unknown (.mct, .json and .nfc can)");
  }
  NoteSafeAccess(
      safe, format == Format::kJson ? " in \"blocks\" (\"UnknownBytes\" marks them)" : "", notes);
  if (format == Format::kRaw || format == Format::kMct || format == Format::kEml)
    NoteFactsLost(image, format, notes);
  return out;
}

}  // namespace mzcard
