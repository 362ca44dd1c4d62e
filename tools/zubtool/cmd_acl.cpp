// acl: a sector's access conditions in words, and access bytes built from
// conditions.
#include <cstdio>

#include "card.h"
#include "commands.h"
#include "session.h"
#include "status.h"

namespace zubtool {

namespace {

void PrintConditions(const Bytes& bytes, const AccessConditions& conditions, int sector) {
  std::printf("access bits %s\n", HexSpaced(bytes).c_str());
  for (const auto& line : DescribeConditions(conditions, sector)) {
    std::printf("  %s\n", line.c_str());
  }
  std::vector<std::string> effects = IrreversibleEffects(sector, conditions);
  if (!effects.empty()) {
    std::printf("cannot be undone once written:\n");
    for (const auto& e : effects) std::printf("  %s\n", e.c_str());
  }
}

int Decode(Output& output, const Bytes& bytes, int sector) {
  auto conditions = DecodeAccessBits(bytes);
  if (!conditions) {
    output.Fail("the access bits " + HexSpaced(bytes) +
                " are not stored with their inverses: a sector holding them is locked for good");
    return kExitFailed;
  }
  PrintConditions(bytes, *conditions, sector);
  return kExitOk;
}

}  // namespace

std::string ParseAcl(const Arguments& args, Invocation* inv) {
  const auto& pos = args.positionals;
  std::string error;
  if (args.Has("--bytes")) {
    if (!(error = args.Count(0, 0, {})).empty()) return error;
    auto bytes = ParseHex(args.Value("--bytes"));
    if (!bytes || (bytes->size() != 3 && bytes->size() != 4 && bytes->size() != 16)) {
      return "access bytes must be 3 bytes (trailer bytes 6 to 8), 4 with byte 9, or a whole "
             "trailer: '" +
             args.Value("--bytes") + "'";
    }
    inv->accessBytes = bytes->size() == 16 ? Bytes(bytes->begin() + 6, bytes->begin() + 9)
                                           : Bytes(bytes->begin(), bytes->begin() + 3);
    return "";
  }
  if (!pos.empty() && pos[0] == "encode") {
    if (pos.size() != 3 && pos.size() != 5) {
      return pos.size() < 3
                 ? std::string("missing argument ") + (pos.size() < 2 ? "DATA" : "TRAILER")
                 : "acl encode takes DATA TRAILER or DATA0 DATA1 DATA2 TRAILER";
    }
    AccessConditions conditions;
    for (size_t i = 1; i < pos.size(); ++i) {
      const bool trailer = i == pos.size() - 1;
      auto c = ParseCondition(pos[i], trailer);
      if (!c) {
        return std::string("not a ") + (trailer ? "trailer" : "data block") +
               " condition (three bits C1C2C3, or " + ConditionNames() + "): '" + pos[i] + "'";
      }
      if (trailer) {
        conditions.group[kTrailerGroup] = *c;
      } else if (pos.size() == 3) {
        conditions.group[0] = conditions.group[1] = conditions.group[2] = *c;
      } else {
        conditions.group[i - 1] = *c;
      }
    }
    inv->encode = conditions;
    return "";
  }
  if (!(error = args.Count(1, 1, {"SECTOR"})).empty()) return error;
  auto n = ParseNumber(pos[0], 0, 39);
  if (!n) return "not a sector number (0 to 39): '" + pos[0] + "'";
  inv->sector = static_cast<int>(*n);
  return "";
}

int RunAcl(Context& context) {
  Output& output = context.Out();
  const Invocation& inv = context.inv;
  if (inv.encode) {
    Bytes bytes = EncodeAccessBits(*inv.encode);
    std::printf("trailer bytes 6-9: %s 69 (byte 9 is free; 69 is the usual value)\n",
                HexSpaced(bytes).c_str());
    PrintConditions(bytes, *inv.encode, -1);
    return kExitOk;
  }
  if (!inv.accessBytes.empty()) return Decode(output, inv.accessBytes, -1);

  if (int status = context.Open()) return status;
  CardSession& session = context.Session();
  if (int status = FindCard(output, session)) return status;
  const CardLayout& layout = session.Info().layout;
  if (layout.sectors > 0 && inv.sector >= layout.sectors) {
    output.Fail("sector " + std::to_string(inv.sector) + " is outside the card (" + layout.name +
                ": sectors 0 to " + std::to_string(layout.sectors - 1) + ")");
    return kExitFailed;
  }
  const int block = TrailerBlock(inv.sector);
  Bytes trailer;
  Access access = WithAccess(session, inv.keyType, block,
                             [&] { return session.Reader().Read(block, &trailer); });
  if (access.result != 0) {
    output.Fail(AccessFailure(access,
                              "read the trailer of sector " + std::to_string(inv.sector) +
                                  " (block " + std::to_string(block) + ")",
                              block, session));
    return kExitFailed;
  }
  std::printf("sector %d, trailer block %d, %s\n", inv.sector, block,
              KeyNote(access, session).c_str());
  int status = Decode(output, Bytes(trailer.begin() + 6, trailer.begin() + 9), inv.sector);
  if (status == kExitOk && KeyBReadable(trailer)) {
    std::printf("key B (read from the trailer): %s\n",
                HexText(Bytes(trailer.begin() + 10, trailer.end())).c_str());
  }
  return status;
}

}  // namespace zubtool
