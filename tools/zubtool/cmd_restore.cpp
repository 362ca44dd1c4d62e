// restore: a card image written back to a card.
#include <cstdio>

#include "commands.h"
#include "image_file.h"
#include "library_reader.h"
#include "restore_plan.h"
#include "session.h"
#include "status.h"
#include "verify.h"

namespace zubtool {

namespace {

std::string BlockList(const std::vector<int>& blocks) {
  std::string text;
  for (int b : blocks) text += (text.empty() ? "" : " ") + std::to_string(b);
  return text;
}

}  // namespace

std::string ParseRestore(const Arguments& args, Invocation* inv) {
  std::string error = ParsePermissions(args, &inv->permissions);
  if (!error.empty()) return error;
  inv->trailers = args.Has("--trailers");
  inv->dryRun = args.Has("--dry-run");
  inv->verify = !args.Has("--no-verify");
  inv->notACardImage = args.Has("--not-a-card-image");
  inv->json = args.Has("--json");
  if (inv->trailers && !inv->permissions.force) {
    return "--trailers writes the sector trailers (keys and access bits): give --force as well";
  }
  if (!(error = ParseFormatOption(args, "--format", &inv->format)).empty()) return error;
  if (!(error = args.Count(1, 1, {"FILE"})).empty()) return error;
  inv->file = args.positionals[0];
  return "";
}

int RunRestore(Context& context) {
  Output& output = context.Out();
  const Invocation& inv = context.inv;
  std::string error;
  Format format = Format::kRaw;
  auto loaded = LoadImageFile(inv.file, inv.format, &error, &format);
  if (!loaded) {
    output.Fail(error);
    return kExitUsage;
  }
  const CardImage& image = *loaded;
  const CardLayout& layout = image.Layout();

  // Is it a card's image at all? Checked before anything else.
  const auto implausible = ImplausibleImage(image);
  for (size_t i = 0; i < implausible.size(); ++i) {
    if (i == 3 && implausible.size() > 4) {  // a file of noise breaks every trailer
      output.Fail("... and " + std::to_string(implausible.size() - 3) + " more");
      break;
    }
    output.Fail(std::string(inv.notACardImage ? "warning: " : "") + implausible[i]);
  }
  if (!implausible.empty() && !inv.notACardImage) {
    output.Fail(inv.file +
                " is not a plausible card image; give --not-a-card-image to write it anyway");
    output.Fail("nothing was written");
    return kExitUsage;
  }

  // Every check of every block before anything is sent.
  const RestorePlan restorePlan = PlanRestore(image, inv.trailers, inv.permissions);
  const std::vector<PlannedWrite>& plan = restorePlan.writes;
  const std::vector<std::string>& refusals = restorePlan.refusals;
  const int skippedCount = restorePlan.UnknownCount();
  if (!refusals.empty()) {
    for (const auto& r : refusals) output.Fail(r);
    output.Fail("nothing was written");
    return kExitUsage;
  }
  const auto imageUid = image.Uid();
  const std::string uidText = imageUid ? HexText(*imageUid) : std::string("unknown");
  // --json: the result as one object, and nothing else on standard output.
  const bool text = !inv.json;
  Json out = Json::Object();
  out.Add("file", inv.file)
      .Add("format", FormatName(format))
      .Add("image", layout.name)
      .Add("imageUid", imageUid ? Json(uidText) : Json())
      .Add("dryRun", inv.dryRun)
      .Add("trailers", inv.trailers)
      .Add("implausible", StringsJson(implausible));
  Json skippedJson = Json::Array();
  for (int sector = 0; sector < layout.sectors; ++sector) {
    for (int block : restorePlan.UnknownIn(sector)) {
      Json s = Json::Object();
      s.Add("block", block).Add("sector", sector).Add("reason", "unknown in the image");
      skippedJson.Push(s);
    }
  }
  if (text)
    std::printf("%s: %s image (%s, UID %s), %zu blocks to write (%s)\n", inv.file.c_str(),
                layout.name.c_str(), FormatName(format), uidText.c_str(), plan.size(),
                inv.trailers ? "data blocks and sector trailers" : "data blocks; trailers kept");
  auto reportSkipped = [&](int sector) {
    const auto list = restorePlan.UnknownIn(sector);
    if (list.empty()) return std::string();
    return "\n    skipped, unknown in the image: block" +
           std::string(list.size() > 1 ? "s " : " ") + BlockList(list);
  };
  if (inv.dryRun && inv.json) {
    Json planned = Json::Array();
    for (const auto& w : plan) {
      Json p = Json::Object();
      p.Add("block", w.block).Add("sector", SectorOfBlock(w.block)).Add("data", HexText(w.data));
      planned.Push(p);
    }
    out.Add("planned", planned).Add("skipped", skippedJson);
    output.PrintJson(out);
    return kExitOk;
  }
  if (inv.dryRun) {
    for (const auto& w : plan) {
      std::printf("sector %2d %s\n", SectorOfBlock(w.block), BlockLine(w.block, w.data).c_str());
    }
    for (int sector = 0; sector < layout.sectors; ++sector) {
      const std::string s = reportSkipped(sector);
      if (!s.empty()) std::printf("sector %2d %s\n", sector, s.substr(5).c_str());
    }
    if (skippedCount)
      std::printf("%d blocks would be skipped: unknown in the image\n", skippedCount);
    std::printf("dry run: nothing was written\n");
    return kExitOk;
  }

  if (int status = context.Open()) return status;
  // The keys the image holds for each sector are tried first, then those given.
  PackedKeys keys(ImageKeys(image));
  keys.Append(context.Keys());
  CardSession session(context.TheReader(), std::move(keys));
  if (int status = FindCard(output, session)) return status;
  const CardInfo& card = session.Info();
  const std::string cardUid = HexText(card.serial.uid);
  out.Add("card", card.layout.name)
      .Add("cardUid", cardUid)
      .Add("sameCard", imageUid ? Json(uidText == cardUid) : Json());
  if (text)
    std::printf("image UID %s, card UID %s%s\n", uidText.c_str(), cardUid.c_str(),
                !imageUid            ? ""
                : uidText == cardUid ? " (the same card)"
                                     : " (another card: the data is copied, block 0 is kept)");
  if (card.layout.sectors != layout.sectors) {
    if (!inv.notACardImage || card.layout.sectors == 0) {
      output.Fail("the image is for a " + layout.name + ", the card is a " + card.layout.name +
                  "; nothing was written");
      return kExitFailed;
    }
    output.Fail("warning: the image is for a " + layout.name + ", the card is a " +
                card.layout.name + ": only the blocks both have are written");
  }
  const int cardBlocks = card.layout.Blocks();

  std::vector<std::string> failed;
  Json writtenJson = Json::Array(), failedJson = Json::Array();
  auto failedBlock = [&](int block, const std::string& reason, const WriteOutcome& outcome) {
    Json f = Json::Object();
    f.Add("block", block).Add("sector", SectorOfBlock(block)).Add("reason", reason);
    if (outcome.access.result == 0) {
      OpenedWithJson(f, outcome.access, session);
      if (outcome.checked) f.Add("held", HexText(outcome.held));
    } else {
      f.Add("code", static_cast<int64_t>(outcome.access.result));
    }
    failedJson.Push(f);
  };
  std::vector<std::string> keyBData;  // sectors whose new conditions show key B
  int written = 0;
  size_t planned = 0;
  for (int sector = 0; sector < layout.sectors; ++sector) {
    if (FirstBlock(sector) >= cardBlocks) break;
    const std::vector<int> sectorKeys = SectorKeyIndices(image, sector, session.Keys());
    std::string done, problems;
    for (const auto& w : plan) {
      if (SectorOfBlock(w.block) != sector) continue;
      ++planned;
      WriteOutcome outcome;
      Access& access = outcome.access;
      if (session.Lost()) {
        access.result = session.Lost();
      } else {
        outcome = WriteVerified(session, inv.keyType, w.block, w.data, inv.verify, sectorKeys);
      }
      if (access.result == 0 && !outcome.failure.empty()) {
        problems += "\n    " + outcome.failure;
        failedBlock(w.block, outcome.failure, outcome);
        failed.push_back(std::to_string(w.block) + " (sector " + std::to_string(sector) + ")");
        continue;
      }
      if (access.result == 0) {
        auto conditions = IsTrailer(w.block) ? DecodeAccessBits(w.data) : std::nullopt;
        if (conditions && KeyBReadable(conditions->group[kTrailerGroup]))
          keyBData.push_back(std::to_string(sector));
        ++written;
        writtenJson.Push(WrittenJson(w.block, w.data, outcome, inv.verify, session));
        done += (done.empty() ? "" : " ") + std::to_string(w.block);
        continue;
      }
      std::string why = AccessFailure(access, "block " + std::to_string(w.block), w.block, session);
      if (w.block == 0 && access.authenticated)
        why += " (genuine cards never let block 0 be written)";
      problems += "\n    " + why;
      failedBlock(w.block, why, outcome);
      failed.push_back(std::to_string(w.block) + " (sector " + std::to_string(sector) + ")");
    }
    problems += reportSkipped(sector);
    if (done.empty() && problems.empty()) continue;
    if (text)
      std::printf("sector %2d  %s%s\n", sector,
                  done.empty() ? "nothing written" : ("written: " + done).c_str(),
                  problems.c_str());
  }
  if (text) std::printf("%d of %zu blocks written\n", written, planned);
  std::vector<std::string> warnings;
  if (!keyBData.empty()) {
    std::string list;
    for (const auto& n : keyBData) list += (list.empty() ? "" : ", ") + n;
    warnings.push_back("the conditions written let key A read key B in sector" +
                       std::string(keyBData.size() > 1 ? "s " : " ") + list +
                       ": key B is then data, not a key (it can no longer open the sector)");
    std::fprintf(stderr, "zubtool: warning: %s\n", warnings.back().c_str());
  }
  if (skippedCount && text) {
    std::printf("%d blocks skipped: unknown in the image (a dump that could not read them)\n",
                skippedCount);
  }
  if (!failed.empty()) {
    std::string list;
    for (const auto& f : failed) list += (list.empty() ? "" : ", ") + f;
    output.Fail("not written: block" + std::string(failed.size() > 1 ? "s " : " ") + list);
  }
  const int status = failed.empty() ? kExitOk : kExitFailed;
  if (inv.json) {
    out.Add("blocksPlanned", static_cast<int64_t>(planned))
        .Add("blocksWritten", written)
        .Add("written", writtenJson)
        .Add("failed", failedJson)
        .Add("skipped", skippedJson)
        .Add("warnings", StringsJson(warnings));
    // A restore that failed in part keeps its report; the error rides along.
    if (status != kExitOk) out.Add("error", output.ErrorJson()).Add("exitStatus", status);
    output.PrintJson(out);
  }
  return status;
}

}  // namespace zubtool
