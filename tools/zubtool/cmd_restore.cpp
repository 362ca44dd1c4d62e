// restore: a card image written back to a card.
#include <cstdio>
#include <fstream>
#include <iterator>

#include "commands.h"
#include "reader.h"
#include "session.h"
#include "status.h"
#include "verify.h"

namespace zubtool {

namespace {

struct BlockWrite {
  int block;
  Bytes data;
};

// The keys an image holds: each trailer's key A and key B, zeros left out
// (the tool writes zeros where a dump did not learn a key).
std::vector<Bytes> ImageKeys(const Bytes& image, const CardLayout& layout) {
  std::vector<Bytes> keys;
  for (int sector = 0; sector < layout.sectors; ++sector) {
    const auto trailer = image.begin() + TrailerBlock(sector) * kBlockSize;
    for (int offset : {0, 10}) {
      Bytes key(trailer + offset, trailer + offset + kKeySize);
      if (key != Bytes(kKeySize, 0)) keys.push_back(key);
    }
  }
  return keys;
}

}  // namespace

std::optional<Bytes> ReadCardImage(const std::string& path, CardLayout* layout,
                                   std::string* error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    *error = "cannot read " + path;
    return std::nullopt;
  }
  Bytes image((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  for (const char* name : {"1k", "4k", "mini"}) {
    auto l = LayoutByName(name);
    if (l->ImageSize() == static_cast<int>(image.size())) {
      *layout = *l;
      return image;
    }
  }
  *error = path + " is " + std::to_string(image.size()) +
           " bytes, not a card image (1024 bytes for 1K, 4096 for 4K, 320 for Mini)";
  return std::nullopt;
}

std::string ParseRestore(const Arguments& args, Invocation* inv) {
  std::string error = ParsePermissions(args, &inv->permissions);
  if (!error.empty()) return error;
  inv->trailers = args.Has("--trailers");
  inv->dryRun = args.Has("--dry-run");
  inv->verify = !args.Has("--no-verify");
  if (inv->trailers && !inv->permissions.force) {
    return "--trailers writes the sector trailers (keys and access bits): give --force as well";
  }
  if (!(error = args.Count(1, 1, {"FILE"})).empty()) return error;
  inv->file = args.positionals[0];
  return "";
}

int RunRestore(Context& context) {
  const Invocation& inv = context.inv;
  CardLayout layout;
  std::string error;
  auto image = ReadCardImage(inv.file, &layout, &error);
  if (!image) {
    Fail(error);
    return kExitUsage;
  }

  // Every check of every block before anything is sent.
  std::vector<BlockWrite> plan;
  std::vector<std::string> refusals;
  for (int block = 0; block < layout.Blocks(); ++block) {
    if ((block == 0 && !inv.permissions.block0) || (IsTrailer(block) && !inv.trailers)) continue;
    BlockWrite write{block, Bytes(image->begin() + block * kBlockSize,
                                  image->begin() + (block + 1) * kBlockSize)};
    std::string refusal = CheckBlockWrite(block, &write.data, inv.permissions);
    if (!refusal.empty()) refusals.push_back(refusal);
    plan.push_back(write);
  }
  if (!refusals.empty()) {
    for (const auto& r : refusals) Fail(r);
    Fail("nothing was written");
    return kExitUsage;
  }
  std::printf("%s: %s image, %zu blocks to write (%s)\n", inv.file.c_str(), layout.name.c_str(),
              plan.size(),
              inv.trailers ? "data blocks and sector trailers" : "data blocks; trailers kept");
  if (inv.dryRun) {
    for (const auto& w : plan) {
      std::printf("sector %2d %s\n", SectorOfBlock(w.block), BlockLine(w.block, w.data).c_str());
    }
    std::printf("dry run: nothing was written\n");
    return kExitOk;
  }

  if (int status = context.Open()) return status;
  // The keys the image holds for each sector are tried first, then those given.
  std::vector<Bytes> keys = ImageKeys(*image, layout);
  keys.insert(keys.end(), context.Keys().begin(), context.Keys().end());
  CardSession session(context.TheReader(), keys);
  if (int status = FindCard(session)) return status;
  const CardInfo& card = session.Info();
  if (card.layout.sectors != layout.sectors) {
    Fail("the image is for a " + layout.name + ", the card is a " + card.layout.name +
         "; nothing was written");
    return kExitFailed;
  }

  std::vector<std::string> failed;
  std::vector<std::string> keyBData;  // sectors whose new conditions show key B
  int written = 0;
  for (int sector = 0; sector < layout.sectors; ++sector) {
    std::vector<int> sectorKeys;
    {
      const auto trailer = image->begin() + TrailerBlock(sector) * kBlockSize;
      for (int offset : {0, 10}) {
        Bytes key(trailer + offset, trailer + offset + kKeySize);
        for (size_t i = 0; i < keys.size(); ++i) {
          if (keys[i] == key) sectorKeys.push_back(static_cast<int>(i));
        }
      }
    }
    std::string done, problems;
    for (const auto& w : plan) {
      if (SectorOfBlock(w.block) != sector) continue;
      WriteOutcome outcome;
      Access& access = outcome.access;
      if (session.Lost()) {
        access.result = session.Lost();
      } else {
        outcome = WriteVerified(session, inv.keyType, w.block, w.data, inv.verify, sectorKeys);
      }
      if (access.result == 0 && !outcome.failure.empty()) {
        problems += "\n    " + outcome.failure;
        failed.push_back(std::to_string(w.block) + " (sector " + std::to_string(sector) + ")");
        continue;
      }
      if (access.result == 0) {
        auto conditions = IsTrailer(w.block) ? DecodeAccessBits(w.data) : std::nullopt;
        if (conditions && KeyBReadable(conditions->group[kTrailerGroup]))
          keyBData.push_back(std::to_string(sector));
        ++written;
        done += (done.empty() ? "" : " ") + std::to_string(w.block);
        continue;
      }
      std::string why = AccessFailure(access, "block " + std::to_string(w.block), w.block, session);
      if (w.block == 0 && access.authenticated)
        why += " (genuine cards never let block 0 be written)";
      problems += "\n    " + why;
      failed.push_back(std::to_string(w.block) + " (sector " + std::to_string(sector) + ")");
    }
    if (done.empty() && problems.empty()) continue;
    std::printf("sector %2d  %s%s\n", sector,
                done.empty() ? "nothing written" : ("written: " + done).c_str(), problems.c_str());
  }
  std::printf("%d of %zu blocks written\n", written, plan.size());
  if (!keyBData.empty()) {
    std::string list;
    for (const auto& n : keyBData) list += (list.empty() ? "" : ", ") + n;
    std::fprintf(stderr,
                 "zubtool: warning: the conditions written let key A read key B in sector%s %s: "
                 "key B is then data, not a key (it can no longer open the sector)\n",
                 keyBData.size() > 1 ? "s" : "", list.c_str());
  }
  if (!failed.empty()) {
    std::string list;
    for (const auto& f : failed) list += (list.empty() ? "" : ", ") + f;
    Fail("not written: block" + std::string(failed.size() > 1 ? "s " : " ") + list);
    return kExitFailed;
  }
  return kExitOk;
}

}  // namespace zubtool
