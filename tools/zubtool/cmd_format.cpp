// format: the card back to its factory state, sector by sector.
#include <cstdio>

#include "commands.h"
#include "session.h"
#include "status.h"
#include "verify.h"

namespace zubtool {

namespace {

// Whether key `keyType` may put the whole sector back to the factory state
// under the trailer `trailer` (as read with that key): "" or why not.
std::string WhyNotFormattable(int sector, const Bytes& trailer, int keyType) {
  auto conditions = DecodeAccessBits(trailer);
  if (!conditions) {
    return std::string("key ") + KeyName(keyType) +
           " cannot read the access bits, or they are not stored with their inverses";
  }
  const int first = FirstBlock(sector), count = BlocksInSector(sector);
  for (int block = first; block < first + count - 1; ++block) {
    if (block == 0) continue;
    if (!Allows(DataRights(conditions->group[AccessGroup(block)]).write, keyType)) {
      return std::string("key ") + KeyName(keyType) + " may not write block " +
             std::to_string(block);
    }
  }
  const TrailerRights r = TrailerRightsOf(conditions->group[kTrailerGroup]);
  const char* part = !Allows(r.keyAWrite, keyType)     ? "key A"
                     : !Allows(r.accessWrite, keyType) ? "the access bits"
                     : !Allows(r.keyBWrite, keyType)   ? "key B"
                                                       : nullptr;
  if (part) return std::string("key ") + KeyName(keyType) + " may not write " + part;
  return "";
}

struct SectorResult {
  std::string openedWith = "-";
  std::string outcome;
  bool left = true;
  Access access;               // the key that opened the sector, where one did
  std::string state = "left";  // for --json: formatted, would be formatted, left, failed
  std::string reason;          // why it was left or failed
  bool verified = false;       // every block read back the same
  std::vector<std::string> notes;
};

}  // namespace

std::string ParseFormat(const Arguments& args, Invocation* inv) {
  inv->dryRun = args.Has("--dry-run");
  inv->json = args.Has("--json");
  inv->verify = !args.Has("--no-verify");
  inv->permissions.force = args.Has("--force");
  if (args.Has("--card")) {
    inv->layout = LayoutByName(args.Value("--card"));
    if (!inv->layout) return "card must be 1K, 2K, 4K or mini: '" + args.Value("--card") + "'";
  }
  if (!inv->permissions.force && !inv->dryRun) {
    return "format erases every data block and sets every key to FFFFFFFFFFFF: give --force "
           "(or --dry-run to see what it would do)";
  }
  return args.Count(0, 0, {});
}

int RunFormat(Context& context) {
  Output& output = context.Out();
  const Invocation& inv = context.inv;
  if (int status = context.Open()) return status;
  CardSession& session = context.Session();
  CardCalls& reader = session.Reader();
  if (int status = FindCard(output, session)) return status;
  const CardInfo& card = session.Info();
  const CardLayout layout = inv.layout ? *inv.layout : card.layout;
  if (layout.sectors == 0) {
    output.Fail(
        "the card (" + card.layout.name + ", SAK " + HexText({card.sak}) +
        ") has no MIFARE Classic sectors; give --card 1K, 2K, 4K or mini to format it anyway");
    return kExitFailed;
  }
  const Bytes factoryTrailer = *ParseHex("FFFFFFFFFFFF FF078069 FFFFFFFFFFFF");
  const Bytes zeros(kBlockSize, 0);
  if (!inv.json)
    std::printf("%s%s, UID %s: every data block but block 0 zeroed, every trailer %s\n",
                inv.dryRun ? "dry run: " : "", layout.name.c_str(),
                HexText(card.serial.uid).c_str(), HexSpaced(factoryTrailer).c_str());

  std::vector<SectorResult> results(static_cast<size_t>(layout.sectors));
  int left = 0;
  for (int sector = 0; sector < layout.sectors; ++sector) {
    SectorResult& result = results[static_cast<size_t>(sector)];
    const int first = FirstBlock(sector), trailerBlock = TrailerBlock(sector);
    if (session.Lost()) {
      result.outcome = "left: the card was lost";
      result.reason = "the card was lost";
      ++left;
      continue;
    }
    // Decided before anything is written: a key that opens the sector and may
    // write every block of it, its trailer whole.
    int keyType = -1, keyIndex = -1;
    std::string why;
    std::optional<int32_t> refused[2];
    for (int type : {kKeyA, kKeyB}) {
      if (inv.keyType && *inv.keyType != type) continue;
      int32_t r;
      int index = session.FindKey(trailerBlock, type, &r);
      if (index < 0) {
        refused[type] = r;
        if (r < 0 || session.Lost()) break;
        continue;
      }
      Bytes trailer;
      r = reader.Read(trailerBlock, &trailer);
      std::string reason = r != 0 ? "the trailer cannot be read: " + Describe(r)
                                  : WhyNotFormattable(sector, trailer, type);
      if (reason.empty()) {
        keyType = type;
        keyIndex = index;
        break;
      }
      why += (why.empty() ? "" : "; ") + reason;
    }
    if (keyType < 0) {
      result.reason = why.empty() ? "no key to try opens it: " + Refusals(refused) : why;
      result.outcome = "left: " + result.reason;
      ++left;
      continue;
    }
    result.openedWith =
        std::string("key ") + KeyName(keyType) + " " + HexText(session.Key(keyIndex));
    result.access.keyType = keyType;
    result.access.keyIndex = keyIndex;
    if (inv.dryRun) {
      result.outcome = "would be formatted";
      result.state = "would be formatted";
      result.left = false;
      continue;
    }
    // Data blocks first, the trailer last: a sector cut short keeps its keys.
    std::vector<int> blocks;
    for (int block = first; block < trailerBlock; ++block) {
      if (block != 0) blocks.push_back(block);
    }
    blocks.push_back(trailerBlock);
    std::string problem;
    std::vector<std::string> notes;
    bool allChecked = true;
    for (int block : blocks) {
      const Bytes& data = block == trailerBlock ? factoryTrailer : zeros;
      WriteOutcome outcome = WriteVerified(session, keyType, block, data, inv.verify, {keyIndex});
      if (outcome.access.result != 0) {
        problem = AccessFailure(outcome.access, "block " + std::to_string(block), block, session);
      } else if (!outcome.failure.empty()) {
        problem = outcome.failure;
      }
      if (block == trailerBlock) notes = outcome.notes;
      if (!outcome.checked) allChecked = false;
      for (const auto& n : outcome.notes) {
        result.notes.push_back("block " + std::to_string(block) + ": " + n);
      }
      if (!problem.empty()) break;
    }
    if (!problem.empty()) {
      result.outcome = "failed: " + problem;
      result.state = "failed";
      result.reason = problem;
      ++left;
      continue;
    }
    result.left = false;
    result.state = "formatted";
    result.verified = inv.verify && allChecked;
    result.outcome = inv.verify ? (allChecked ? "formatted, verified"
                                              : "formatted, verified where the key may read")
                                : "formatted (not verified)";
    for (const auto& n : notes) {
      if (n == "key A not verifiable") result.outcome += "; key A not verifiable";
    }
  }

  const int status = left > 0 ? kExitFailed : kExitOk;
  auto reportLeft = [&] {
    if (left == 0) return;
    const bool many = left > 1;
    output.Fail(std::to_string(left) + (many ? " sectors " : " sector ") +
                (inv.dryRun ? "would be"
                 : many     ? "were"
                            : "was") +
                " left as " + (many ? "they are" : "it is"));
  };
  if (inv.json) {
    reportLeft();
    Json out = Json::Object();
    out.Add("card", layout.name)
        .Add("uid", HexText(card.serial.uid))
        .Add("dryRun", inv.dryRun)
        .Add("verify", inv.verify)
        .Add("trailer", HexText(factoryTrailer));
    Json sectors = Json::Array();
    for (int sector = 0; sector < layout.sectors; ++sector) {
      const SectorResult& r = results[static_cast<size_t>(sector)];
      Json s = Json::Object();
      s.Add("sector", sector).Add("result", r.state);
      OpenedWithJson(s, r.access, session);
      if (!r.reason.empty()) s.Add("reason", r.reason);
      if (r.state == "formatted") s.Add("verified", r.verified).Add("notes", StringsJson(r.notes));
      sectors.Push(s);
    }
    out.Add("sectors", sectors)
        .Add(inv.dryRun ? "formattable" : "formatted", layout.sectors - left)
        .Add("left", left);
    if (status != kExitOk) out.Add("error", output.ErrorJson()).Add("exitStatus", status);
    output.PrintJson(out);
    return status;
  }
  std::printf("\nsector  opened with          result\n");
  for (int sector = 0; sector < layout.sectors; ++sector) {
    const SectorResult& r = results[static_cast<size_t>(sector)];
    std::printf("%6d  %-19s  %s\n", sector, r.openedWith.c_str(), r.outcome.c_str());
  }
  std::printf("\n%d of %d sectors %s\n", layout.sectors - left, layout.sectors,
              inv.dryRun ? "can be formatted; dry run: nothing was written" : "formatted");
  reportLeft();
  return status;
}

}  // namespace zubtool
