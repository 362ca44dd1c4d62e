// dump: every sector of the card, and its raw image.
#include <cstdio>

#include "card.h"
#include "image_file.h"
#include "commands.h"
#include "json.h"
#include "library_reader.h"
#include "session.h"
#include "status.h"

namespace zubtool {

namespace {

SectorDump DumpSector(CardCalls& reader, CardSession& session, std::optional<int> keyType,
                      int sector) {
  SectorDump dump;
  const int first = FirstBlock(sector), count = BlocksInSector(sector);
  dump.blocks.resize(static_cast<size_t>(count));
  dump.results.assign(static_cast<size_t>(count), 1);
  auto readMissing = [&] {
    for (int i = 0; i < count; ++i) {
      if (dump.blocks[static_cast<size_t>(i)]) continue;
      Bytes data;
      int32_t r = reader.Read(first + i, &data);
      dump.results[static_cast<size_t>(i)] = r;
      if (r == 0) dump.blocks[static_cast<size_t>(i)] = data;
      if (r < 0) return;
    }
  };
  int32_t r;
  if (!keyType || *keyType == kKeyA) {
    int index = session.FindKey(first, kKeyA, &r);
    if (index < 0) dump.refused[kKeyA] = r;
    if (index >= 0) {
      dump.keyA = session.Key(index);
      readMissing();
    }
  }
  const auto& trailer = dump.blocks.back();
  if (trailer && KeyBReadable(*trailer)) {
    dump.keyB = Bytes(trailer->begin() + 10, trailer->end());
    dump.keyBRead = true;
  } else if (!session.Lost() && (!keyType || *keyType == kKeyB)) {
    int index = session.FindKey(first, kKeyB, &r);
    if (index < 0) dump.refused[kKeyB] = r;
    if (index >= 0) {
      dump.keyB = session.Key(index);
      readMissing();
    }
  }
  return dump;
}

// What a sector's dump tells of the image: the blocks read, and of the trailer
// the keys only where known. The card never shows key A, so key A is known
// only when it opened the sector; key B when the trailer shows it or when it
// opened the sector.
void AddToImage(const SectorDump& dump, int sector, CardImage* image) {
  const int first = FirstBlock(sector);
  for (size_t i = 0; i < dump.blocks.size(); ++i) {
    if (dump.blocks[i]) image->SetBlock(first + static_cast<int>(i), *dump.blocks[i]);
  }
  const int trailer = TrailerBlock(sector);
  image->Forget(trailer, 0, kKeySize);
  if (dump.keyA) image->SetBytes(trailer, 0, *dump.keyA);
  if (!dump.keyBRead) {
    image->Forget(trailer, 10, kKeySize);
    if (dump.keyB) image->SetBytes(trailer, 10, *dump.keyB);
  }
}

}  // namespace

CardImage ReadCard(CardSession& session, const CardLayout& layout, std::optional<int> keyType,
                   const std::function<void(int sector, const SectorDump&)>& onSector) {
  CardImage image(layout);
  const CardInfo& card = session.Info();
  image.uid = card.serial.uid;
  image.atqa = Bytes{static_cast<uint8_t>(card.atqa >> 8), static_cast<uint8_t>(card.atqa & 0xFF)};
  image.sak = card.sak;
  for (int sector = 0; sector < layout.sectors && !session.Lost(); ++sector) {
    SectorDump dump = DumpSector(session.Reader(), session, keyType, sector);
    AddToImage(dump, sector, &image);
    if (onSector) onSector(sector, dump);
  }
  return image;
}

std::string ParseFormatOption(const Arguments& args, const char* option,
                              std::optional<Format>* format) {
  if (!args.Has(option)) return "";
  *format = FormatByName(args.Value(option));
  if (!*format) return "not a dump format: '" + args.Value(option) + "' (" + FormatNames() + ")";
  return "";
}

std::string ParseDump(const Arguments& args, Invocation* inv) {
  inv->json = args.Has("--json");
  if (args.Has("--out")) {
    inv->out = args.Value("--out");
    if (inv->out.empty()) return "option --out needs a file name";
  }
  if (args.Has("--card")) {
    inv->layout = LayoutByName(args.Value("--card"));
    if (!inv->layout) return "card must be 1K, 2K, 4K or mini: '" + args.Value("--card") + "'";
  }
  inv->overwrite = args.Has("--overwrite");
  std::string error = ParseFormatOption(args, "--format", &inv->format);
  if (!error.empty()) return error;
  if ((inv->format || inv->overwrite) && inv->out.empty()) {
    return std::string(inv->format ? "--format" : "--overwrite") + " goes with --out FILE";
  }
  return args.Count(0, 0, {});
}

int RunDump(Context& context) {
  Output& output = context.Out();
  const Invocation& inv = context.inv;
  if (!inv.out.empty() && !CheckNewFile(output, inv.out, inv.overwrite)) return kExitUsage;
  if (int status = context.Open()) return status;
  CardSession& session = context.Session();
  if (int status = FindCard(output, session)) return status;
  const CardInfo& card = session.Info();
  CardLayout layout = inv.layout ? *inv.layout : card.layout;
  if (layout.sectors == 0) {
    output.Fail(
        "the card (" + card.layout.name + ", SAK " + HexText({card.sak}) +
        ") has no MIFARE Classic sectors; give --card 1K, 2K, 4K or mini to dump it anyway");
    return kExitFailed;
  }
  // Text goes out sector by sector; JSON as one object at the end.
  auto print = [&](const std::string& line) {
    if (!inv.json) std::printf("%s\n", line.c_str());
  };
  char head[96];
  std::snprintf(head, sizeof head, "card  %s  UID %s  ATQA %02X %02X  SAK %02X",
                layout.name.c_str(), HexText(card.serial.uid).c_str(), card.atqa >> 8,
                card.atqa & 0xFF, card.sak);
  print(head);
  const std::string simulated = LibraryReader::VirtualReader();
  if (!simulated.empty())
    print("note  the virtual reader is answering, not a real card (" + simulated + ")");
  Json json = Json::Object();
  json.Add("card", layout.name).Add("uid", HexText(card.serial.uid));
  json.Add("virtualReader", !simulated.empty());
  Json sectors = Json::Array();

  int sectorsComplete = 0, blocksRead = 0;
  auto show = [&](int sector, const SectorDump& dump) {
    const int first = FirstBlock(sector), count = BlocksInSector(sector);
    std::string keys = "key A " + (dump.keyA ? HexText(*dump.keyA) : std::string("?")) +
                       "  key B " + (dump.keyB ? HexText(*dump.keyB) : std::string("?"));
    if (dump.keyBRead) keys += " (read from the trailer)";
    print("\nsector " + std::to_string(sector) + "  blocks " + std::to_string(first) + "-" +
          std::to_string(first + count - 1) + "  " + keys);
    if (!dump.keyA && !dump.keyB) {
      print("      no key to try opens the sector: " + Refusals(dump.refused));
    }
    Json entry = Json::Object(), blocks = Json::Array();
    entry.Add("sector", sector);
    entry.Add("keyA", dump.keyA ? Json(HexText(*dump.keyA)) : Json());
    entry.Add("keyB", dump.keyB ? Json(HexText(*dump.keyB)) : Json());
    bool complete = true;
    for (int i = 0; i < count; ++i) {
      const auto& data = dump.blocks[static_cast<size_t>(i)];
      const int block = first + i;
      const int32_t result = dump.results[static_cast<size_t>(i)];
      Json b = Json::Object();
      b.Add("block", block).Add("data", data ? Json(HexText(*data)) : Json());
      if (!data) {
        complete = false;
        const bool tried = dump.keyA || dump.keyB;
        // Every unreadable block says why: the read's result, or the keys refused.
        if (tried) {
          b.Add("error", Describe(result)).Add("code", static_cast<int64_t>(result));
        } else {
          const int32_t code = dump.refused[kKeyA].value_or(dump.refused[kKeyB].value_or(1));
          b.Add("error", "no key to try opens the sector: " + Refusals(dump.refused))
              .Add("code", static_cast<int64_t>(code));
        }
        blocks.Push(b);
        char number[8];
        std::snprintf(number, sizeof number, "%4d", block);
        print(std::string(number) + "  -- unreadable" + (tried ? ": " + Describe(result) : ""));
        continue;
      }
      blocks.Push(b);
      ++blocksRead;
      print(BlockLine(block, *data));
    }
    entry.Add("blocks", blocks);
    // The access conditions in words, from the trailer as read.
    if (const auto& trailer = dump.blocks.back()) {
      auto conditions = DecodeAccessBits(*trailer);
      Json access = Json::Array();
      if (conditions) {
        for (const auto& line : DescribeConditions(*conditions, sector)) {
          print("      " + line);
          access.Push(line);
        }
      } else {
        print("      the access bits are not stored with their inverses: the sector is locked");
      }
      entry.Add("access", access);
    }
    sectors.Push(entry);
    if (complete) ++sectorsComplete;
  };
  const CardImage image = ReadCard(session, layout, inv.keyType, show);

  print("\n" + std::to_string(sectorsComplete) + " of " + std::to_string(layout.sectors) +
        " sectors read in full, " + std::to_string(blocksRead) + " of " +
        std::to_string(layout.Blocks()) + " blocks");
  int status = sectorsComplete == layout.sectors ? kExitOk : kExitFailed;
  if (session.Lost()) {
    output.Fail("the card was lost during the dump: " + Describe(session.Lost()));
    status = kExitFailed;
  }
  json.Add("sectors", sectors).Add("complete", status == kExitOk);
  if (!inv.out.empty()) {
    const Format format = OutputFormat(inv.out, inv.format);
    size_t size = 0;
    if (!SaveImageFile(output, inv.out, image, format, &size)) return kExitFailed;
    const int unknown = image.UnknownBytes();
    std::string what = format == Format::kRaw ? "" : std::string(FormatName(format)) + ", ";
    what += std::to_string(size) + " bytes";
    if (unknown) what += "; " + std::to_string(unknown) + " image bytes unknown";
    print("image written to " + inv.out + " (" + what + ")");
    json.Add("image", inv.out).Add("format", FormatName(format)).Add("unknownBytes", unknown);
  }
  if (inv.json) output.PrintJson(json);
  return status;
}

}  // namespace zubtool
