// diff: two card images, or an image and the card in the field, block by block.
#include <cstdio>

#include "commands.h"
#include "image_file.h"
#include "json.h"
#include "session.h"
#include "status.h"

namespace zubtool {

namespace {

constexpr int kDiffSame = 0, kDiffDiffer = 1, kDiffTrouble = 2;

// A block in hex, '??' for an unknown byte, and in ASCII.
std::string Side(const Bytes& data, const std::vector<bool>& known) {
  const std::string digits = SideHex(data, known);
  std::string hex;
  for (size_t i = 0; i < digits.size(); i += 2) hex += (i ? " " : "") + digits.substr(i, 2);
  return hex + "  |" + SideAscii(data, known) + "|";
}

struct Compared {
  std::optional<CardImage> image;
  std::string label;
};

}  // namespace

std::string ParseDiff(const Arguments& args, Invocation* inv) {
  inv->json = args.Has("--json");
  std::string error = args.Count(2, 2, {"A", "B"});
  if (!error.empty()) return error;
  inv->file = args.positionals[0];
  inv->file2 = args.positionals[1];
  if (inv->file == "card" && inv->file2 == "card") return "only one of A and B can be the card";
  return "";
}

int RunDiff(Context& context) {
  Output& output = context.Out();
  const Invocation& inv = context.inv;
  Compared sides[2];
  const std::string names[2] = {inv.file, inv.file2};
  // Files first: a file that cannot be read costs no card reading.
  for (int s = 0; s < 2; ++s) {
    if (names[s] == "card") continue;
    std::string error;
    Format format = Format::kRaw;
    sides[s].image = LoadImageFile(names[s], std::nullopt, &error, &format);
    if (!sides[s].image) {
      output.Fail(error);
      return kDiffTrouble;
    }
    sides[s].label = names[s] + ": " + sides[s].image->Layout().name + ", " + FormatName(format);
  }
  for (int s = 0; s < 2; ++s) {
    if (names[s] != "card") continue;
    if (int status = context.Open()) return status;
    CardSession& session = context.Session();
    if (FindCard(output, session)) return kDiffTrouble;
    const CardInfo& card = session.Info();
    CardLayout layout = card.layout;
    if (layout.sectors == 0) {
      output.Fail("the card (" + card.layout.name + ") has no MIFARE Classic sectors");
      return kDiffTrouble;
    }
    sides[s].image = ReadCard(session, layout, inv.keyType);
    if (session.Lost()) {
      output.Fail("the card was lost while it was read: " + Describe(session.Lost()));
      return kDiffTrouble;
    }
    sides[s].label = "the card: " + layout.name + ", UID " + HexText(card.serial.uid);
    const int unknown = sides[s].image->UnknownBytes();
    if (unknown && !inv.json) {
      std::fprintf(stderr,
                   "zubtool: %d bytes of the card could not be read or are keys not learnt\n",
                   unknown);
    }
  }
  const CardImage &a = *sides[0].image, &b = *sides[1].image;
  const ImageDiff diff = CompareImages(a, b);

  if (inv.json) {
    Json doc = Json::Object(), blocks = Json::Array();
    doc.Add("a", sides[0].label).Add("b", sides[1].label).Add("same", diff.Same());
    doc.Add("sameLayout", diff.sameLayout).Add("comparedBlocks", diff.compared);
    doc.Add("ignoredBytes", diff.ignored);
    for (const auto& d : diff.blocks) {
      Json entry = Json::Object(), bytes = Json::Array(), changes = Json::Array();
      for (int i = 0; i < kBlockSize; ++i) {
        if (d.differs[static_cast<size_t>(i)]) bytes.Push(i);
      }
      for (const auto& line : DescribeChange(d)) changes.Push(line);
      entry.Add("block", d.block)
          .Add("sector", SectorOfBlock(d.block))
          .Add("trailer", IsTrailer(d.block));
      entry.Add("a", SideHex(d.a, d.aKnown)).Add("b", SideHex(d.b, d.bKnown));
      entry.Add("differingBytes", bytes).Add("changes", changes);
      blocks.Push(entry);
    }
    doc.Add("blocks", blocks);
    output.PrintJson(doc);
    return diff.Same() ? kDiffSame : kDiffDiffer;
  }

  std::printf("--- %s\n+++ %s\n", sides[0].label.c_str(), sides[1].label.c_str());
  if (!diff.sameLayout) {
    std::printf("the images are of different cards (%s, %s): blocks 0 to %d compared\n",
                a.Layout().name.c_str(), b.Layout().name.c_str(), diff.compared - 1);
  }
  for (const auto& d : diff.blocks) {
    std::printf("\nblock %d (%ssector %d)\n", d.block, IsTrailer(d.block) ? "trailer of " : "",
                SectorOfBlock(d.block));
    std::printf("  - %s\n  + %s\n    %s\n", Side(d.a, d.aKnown).c_str(),
                Side(d.b, d.bKnown).c_str(), CaretLine(d).c_str());
    for (const auto& line : DescribeChange(d)) std::printf("    %s\n", line.c_str());
  }
  std::printf("%s%zu %s", diff.blocks.empty() ? "" : "\n", diff.blocks.size(),
              diff.blocks.size() == 1 ? "block differs" : "blocks differ");
  if (diff.ignored) {
    std::printf("; %d byte%s unknown in A or B, not compared", diff.ignored,
                diff.ignored == 1 ? "" : "s");
  }
  std::printf("\n");
  return diff.Same() ? kDiffSame : kDiffDiffer;
}

}  // namespace zubtool
