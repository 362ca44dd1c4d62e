#include "image_json.h"

#include <cctype>

#include "mad.h"
#include "ndef.h"

namespace zubtool {
namespace ui {

namespace {

const char* CardName(const CardLayout& layout) {
  switch (layout.sectors) {
    case 5:
      return "mini";
    case 32:
      return "2K";
    case 40:
      return "4K";
    default:
      return "1K";
  }
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Exactly `size` bytes of hex, or null: "uid", "atqa", "sak".
std::optional<Bytes> OptionalHex(const JsonValue& json, const char* name,
                                 std::vector<size_t> sizes) {
  auto it = json.find(name);
  if (it == json.end() || it->is_null()) return std::nullopt;
  std::optional<Bytes> bytes;
  if (it->is_string()) bytes = ParseHex(it->get<std::string>());
  bool sized = false;
  for (size_t size : sizes) sized = sized || (bytes && bytes->size() == size);
  if (!sized)
    ThrowBadRequest("the image's " + FieldWords(name) + " is not hex of the right length");
  return bytes;
}

}  // namespace

JsonValue HexOrNull(const std::optional<Bytes>& bytes) {
  return bytes ? JsonValue(HexText(*bytes)) : JsonValue(nullptr);
}

std::string BlockText(const CardImage& image, int block) {
  static const char kDigits[] = "0123456789ABCDEF";
  const Bytes data = image.Block(block);
  std::string text;
  text.reserve(2 * kBlockSize);
  for (int i = 0; i < kBlockSize; ++i) {
    if (!image.ByteKnown(block, i)) {
      text += "??";
      continue;
    }
    text += kDigits[data[static_cast<size_t>(i)] >> 4];
    text += kDigits[data[static_cast<size_t>(i)] & 0xF];
  }
  return text;
}

JsonValue ImageToJson(const CardImage& image) {
  JsonValue json = JsonValue::object();
  json["card"] = CardName(image.Layout());
  json["uid"] = HexOrNull(image.Uid());
  json["atqa"] = HexOrNull(image.atqa);
  json["sak"] = image.sak ? JsonValue(HexText({*image.sak})) : JsonValue(nullptr);
  JsonValue blocks = JsonValue::array();
  for (int block = 0; block < image.Blocks(); ++block) blocks.push_back(BlockText(image, block));
  json["blocks"] = blocks;
  return json;
}

CardImage ImageFromJson(const JsonValue& json) {
  if (!json.is_object()) ThrowBadRequest("an image must be a JSON object");
  auto card = json.find("card");
  if (card == json.end() || !card->is_string())
    ThrowBadRequest("the image does not say which card it is for (mini, 1K, 2K or 4K)");
  const auto layout = LayoutByName(card->get<std::string>());
  if (!layout) ThrowBadRequest("the image's card must be mini, 1K, 2K or 4K");
  auto blocks = json.find("blocks");
  if (blocks == json.end() || !blocks->is_array()) ThrowBadRequest("the image has no blocks");
  if (static_cast<int>(blocks->size()) != layout->Blocks()) {
    ThrowBadRequest("a " + card->get<std::string>() + " image has " +
                    std::to_string(layout->Blocks()) + " blocks, not " +
                    std::to_string(blocks->size()));
  }
  CardImage image(*layout);
  for (int block = 0; block < layout->Blocks(); ++block) {
    const JsonValue& item = (*blocks)[static_cast<size_t>(block)];
    const std::string text = item.is_string() ? item.get<std::string>() : std::string();
    if (text.size() != 2 * kBlockSize) {
      ThrowBadRequest("block " + std::to_string(block) +
                      " of the image is not 32 characters of hex and ??");
    }
    for (int i = 0; i < kBlockSize; ++i) {
      const char high = text[static_cast<size_t>(2 * i)],
                 low = text[static_cast<size_t>(2 * i + 1)];
      if (high == '?' && low == '?') continue;  // stays unknown
      const int h = HexDigit(high), l = HexDigit(low);
      if (h < 0 || l < 0) {
        ThrowBadRequest("block " + std::to_string(block) +
                        " of the image is not 32 characters of hex and ??");
      }
      image.SetBytes(block, i, Bytes{static_cast<uint8_t>(h << 4 | l)});
    }
  }
  image.uid = OptionalHex(json, "uid", {4, 7});
  image.atqa = OptionalHex(json, "atqa", {2});
  if (auto sak = OptionalHex(json, "sak", {1})) image.sak = (*sak)[0];
  return image;
}

namespace {

// The workbench's tables spell both keys "A/B".
const char* PageRights(KeySet keys) {
  return RightsText(keys, BothKeys::kSlash);
}

}  // namespace

JsonValue DataRightsJson(int condition) {
  const DataBlockRights d = DataRights(condition);
  JsonValue json = JsonValue::object();
  json["read"] = PageRights(d.read);
  json["write"] = PageRights(d.write);
  json["increment"] = PageRights(d.increment);
  json["decrement"] = PageRights(d.decrement);
  return json;
}

JsonValue TrailerRightsJson(int condition) {
  const TrailerRights t = TrailerRightsOf(condition);
  JsonValue json = JsonValue::object();
  json["writeKeyA"] = PageRights(t.keyAWrite);
  json["readAccessBits"] = PageRights(t.accessRead);
  json["writeAccessBits"] = PageRights(t.accessWrite);
  json["readKeyB"] = PageRights(t.keyBRead);
  json["writeKeyB"] = PageRights(t.keyBWrite);
  return json;
}

JsonValue DescribeSector(const CardImage& image, int sector) {
  const int first = FirstBlock(sector), count = BlocksInSector(sector);
  const int trailer = TrailerBlock(sector);
  JsonValue json = JsonValue::object();
  json["sector"] = sector;
  json["firstBlock"] = first;
  json["blockCount"] = count;
  json["trailerBlock"] = trailer;
  json["keyA"] = HexOrNull(image.KeyA(sector));
  json["keyB"] = HexOrNull(image.KeyB(sector));

  // The access bits, where known and stored with their inverses.
  std::optional<AccessConditions> conditions;
  const bool bitsKnown = image.RangeKnown(trailer, 6, 3);
  const Bytes trailerBytes = image.Block(trailer);
  json["accessBits"] =
      bitsKnown ? JsonValue(HexText(Bytes(trailerBytes.begin() + 6, trailerBytes.begin() + 9)))
                : JsonValue(nullptr);
  json["byte9"] =
      image.RangeKnown(trailer, 9, 1) ? JsonValue(HexText({trailerBytes[9]})) : JsonValue(nullptr);
  if (bitsKnown) {
    const bool consistent = AccessBitsConsistent(trailerBytes);
    json["accessConsistent"] = consistent;
    if (consistent) conditions = DecodeAccessBits(trailerBytes);
  } else {
    json["accessConsistent"] = nullptr;
  }
  json["keyBReadable"] =
      conditions ? JsonValue(KeyBReadable(conditions->group[kTrailerGroup])) : JsonValue(nullptr);
  JsonValue groups = JsonValue::array(), words = JsonValue::array();
  std::vector<std::string> lines;
  if (conditions) {
    for (int group = 0; group < kGroups; ++group)
      groups.push_back(ConditionBits(conditions->group[group]));
    lines = DescribeConditions(*conditions, sector);
    for (const auto& line : lines) words.push_back(line);
  } else if (bitsKnown) {
    words.push_back(
        "the access bits are not stored with their inverses: the card refuses every access to "
        "the sector, for good");
  }
  json["conditions"] = conditions ? groups : JsonValue(nullptr);
  json["accessWords"] = words;

  JsonValue blocks = JsonValue::array();
  for (int i = 0; i < count; ++i) {
    const int block = first + i;
    const Bytes data = image.Block(block);
    JsonValue b = JsonValue::object();
    b["block"] = block;
    const bool isTrailer = block == trailer;
    std::optional<ValueBlock> value;
    if (!isTrailer && block != 0 && image.BlockKnown(block)) value = DecodeValueBlock(data);
    b["kind"] = isTrailer ? "trailer" : block == 0 ? "manufacturer" : value ? "value" : "data";
    b["data"] = BlockText(image, block);
    std::string ascii = AsciiText(data);
    for (int k = 0; k < kBlockSize; ++k) {
      if (!image.ByteKnown(block, k)) ascii[static_cast<size_t>(k)] = ' ';
    }
    b["ascii"] = ascii;
    if (value) {
      JsonValue v = JsonValue::object();
      v["value"] = value->value;
      v["address"] = value->address;
      b["value"] = v;
    } else {
      b["value"] = nullptr;
    }
    const int group = AccessGroup(block);
    if (conditions) {
      const int c = conditions->group[group];
      b["condition"] = ConditionBits(c);
      b["accessWords"] = lines[static_cast<size_t>(group)];
      b["rights"] = isTrailer ? TrailerRightsJson(c) : DataRightsJson(c);
    } else {
      b["condition"] = nullptr;
      b["accessWords"] = nullptr;
      b["rights"] = nullptr;
    }
    if (block == 0) {
      JsonValue m = JsonValue::object();
      auto known = [&](int from, int n) { return image.RangeKnown(0, from, n); };
      m["uid"] = known(0, 4) ? JsonValue(HexText(Bytes(data.begin(), data.begin() + 4)))
                             : JsonValue(nullptr);
      m["bcc"] = known(4, 1) ? JsonValue(HexText({data[4]})) : JsonValue(nullptr);
      m["bccValid"] = known(0, 5) ? JsonValue((data[0] ^ data[1] ^ data[2] ^ data[3]) == data[4])
                                  : JsonValue(nullptr);
      m["sak"] = known(5, 1) ? JsonValue(HexText({data[5]})) : JsonValue(nullptr);
      m["atqa"] = known(6, 2) ? JsonValue(HexText({data[6], data[7]})) : JsonValue(nullptr);
      b["manufacturer"] = m;
    }
    blocks.push_back(b);
  }
  json["blocks"] = blocks;
  return json;
}

JsonValue DescribeImage(const CardImage& image) {
  JsonValue sectors = JsonValue::array();
  for (int sector = 0; sector < image.Layout().sectors; ++sector) {
    sectors.push_back(DescribeSector(image, sector));
  }
  return sectors;
}

namespace {

// The directory of a known, non-empty blocks 1 and 2 (and 64 to 66 where the
// card has sector 16 and sector 0's general purpose byte says MAD2); none
// when the general purpose byte says there is no directory.
std::optional<Mad> ImageMad(const CardImage& image, std::string* error) {
  const int sectors = image.Layout().sectors;
  if (sectors == 0 || !image.BlockKnown(1) || !image.BlockKnown(2)) return std::nullopt;
  Bytes part1 = image.Block(1);
  const Bytes block2 = image.Block(2);
  part1.insert(part1.end(), block2.begin(), block2.end());
  if (part1 == Bytes(32, 0)) return std::nullopt;
  // Sector 0's general purpose byte says whether there is a directory at all
  // (its DA bit): a card of plain data in blocks 1 and 2 has none.
  if (image.ByteKnown(3, 9) && MadVersionOfGpb(image.Block(3)[9]) == 0) return std::nullopt;
  Bytes part2;
  const bool mad2 =
      sectors > 16 && image.ByteKnown(3, 9) && MadVersionOfGpb(image.Block(3)[9]) == 2;
  if (mad2) {
    for (int b = 64; b < 67; ++b) {
      if (!image.BlockKnown(b)) return std::nullopt;
      const Bytes data = image.Block(b);
      part2.insert(part2.end(), data.begin(), data.end());
    }
  }
  return ParseMad(part1, part2, sectors, error);
}

JsonValue RecordJson(const NdefRecord& r) {
  JsonValue item = JsonValue::object();
  const std::string kind = RecordKind(r);
  item["tnf"] = static_cast<int>(r.tnf);
  item["kind"] = kind;
  item["type"] = RecordTypeText(r);
  item["id"] = AsciiText(r.id);
  item["payloadSize"] = r.payload.size();
  if (kind == "URI") {
    auto uri = DecodeUri(r.payload);
    item["uri"] = uri ? JsonValue(*uri) : JsonValue(nullptr);
  } else if (kind == "text") {
    std::string error;
    auto text = DecodeText(r.payload, &error);
    if (text) {
      item["language"] = text->language;
      item["encoding"] = text->utf16 ? "UTF-16" : "UTF-8";
      item["text"] = text->text;
    } else {
      item["error"] = error;
    }
  } else if (kind == "absolute URI") {
    item["uri"] = RecordTypeText(r);
  }
  item["payload"] = HexText(r.payload);
  return item;
}

}  // namespace

JsonValue DescribeMad(const CardImage& image) {
  std::string error;
  auto mad = ImageMad(image, &error);
  if (!mad) {
    if (error.empty()) return nullptr;
    JsonValue json = JsonValue::object();
    json["error"] = error;
    return json;
  }
  JsonValue json = JsonValue::object();
  json["version"] = mad->version;
  json["crcOk"] = mad->crcOk;
  json["crc"] = HexText({mad->crc1});
  json["expectedCrc"] = HexText({mad->expectedCrc1});
  JsonValue sectors = JsonValue::array();
  for (size_t sector = 0; sector < mad->entries.size(); ++sector) {
    const bool directory = sector == 0 || (mad->version == 2 && sector == 16);
    const MadEntry& entry = mad->entries[sector];
    JsonValue item = JsonValue::object();
    item["sector"] = static_cast<int>(sector);
    item["aid"] = directory ? JsonValue(nullptr) : JsonValue(MadEntryHex(entry));
    item["meaning"] = directory ? "the application directory" : MadEntryMeaning(entry);
    // The tile's label: none for a free sector.
    std::string label = directory ? "MAD" : entry == kMadNdef ? "NFC" : MadEntryHex(entry);
    if (!directory && entry == kMadFree) label = "";
    item["label"] = label;
    sectors.push_back(item);
  }
  json["sectors"] = sectors;
  return json;
}

JsonValue DescribeNdef(const CardImage& image) {
  std::string error;
  auto mad = ImageMad(image, &error);
  if (!mad || !mad->crcOk) return nullptr;
  const std::vector<int> nfc = NfcSectors(*mad, image.Layout().sectors);
  if (nfc.empty()) return nullptr;
  JsonValue json = JsonValue::object();
  JsonValue list = JsonValue::array();
  for (int s : nfc) list.push_back(s);
  json["nfcSectors"] = list;
  json["message"] = nullptr;
  json["records"] = JsonValue::array();
  json["error"] = nullptr;
  // The area up to the first block not known: the TLVs are read from it.
  Bytes area;
  for (int block : NfcDataBlocks(nfc)) {
    if (!image.BlockKnown(block)) break;
    const Bytes data = image.Block(block);
    area.insert(area.end(), data.begin(), data.end());
  }
  auto scan = ScanTlvs(area, &error);
  if (!scan) {
    json["error"] = error;
    return json;
  }
  if (!scan->found) {
    json["error"] = scan->terminated ? "no NDEF message TLV before the terminator"
                                     : "no NDEF message TLV in the blocks read";
    return json;
  }
  json["message"] = HexText(scan->message);
  if (scan->message.empty()) return json;
  auto records = ParseNdefMessage(scan->message, &error);
  if (!records) {
    json["error"] = error;
    return json;
  }
  for (const auto& r : *records) json["records"].push_back(RecordJson(r));
  return json;
}

}  // namespace ui
}  // namespace zubtool
