// format: the card back to its factory state, sector by sector.
#include <cstdio>

#include "commands.h"
#include "format_card.h"
#include "session.h"
#include "status.h"
#include "verify.h"

namespace zubtool {

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
  if (int status = FindCard(output, session)) return status;
  const CardInfo& card = session.Info();
  const CardLayout layout = inv.layout ? *inv.layout : card.layout;
  if (layout.sectors == 0) {
    output.Fail(
        "the card (" + card.layout.name + ", SAK " + HexText({card.sak}) +
        ") has no MIFARE Classic sectors; give --card 1K, 2K, 4K or mini to format it anyway");
    return kExitFailed;
  }
  const Bytes& factoryTrailer = FactoryTrailer();
  if (!inv.json)
    std::printf("%s%s, UID %s: every data block but block 0 zeroed, every trailer %s\n",
                inv.dryRun ? "dry run: " : "", layout.name.c_str(),
                HexText(card.serial.uid).c_str(), HexSpaced(factoryTrailer).c_str());

  const FormatResult done = FormatSectors(session, layout, inv.keyType, inv.dryRun, inv.verify);
  const std::vector<SectorResult>& results = done.sectors;
  const int left = done.left;
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
