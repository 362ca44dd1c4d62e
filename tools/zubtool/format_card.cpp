#include "format_card.h"

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
  return WhyTrailerNotWritable(*conditions, keyType);
}

}  // namespace

std::string WhyTrailerNotWritable(const AccessConditions& conditions, int keyType) {
  const TrailerRights r = TrailerRightsOf(conditions.group[kTrailerGroup]);
  const char* part = !Allows(r.keyAWrite, keyType)     ? "key A"
                     : !Allows(r.accessWrite, keyType) ? "the access bits"
                     : !Allows(r.keyBWrite, keyType)   ? "key B"
                                                       : nullptr;
  if (part) return std::string("key ") + KeyName(keyType) + " may not write " + part;
  return "";
}

const Bytes& FactoryTrailer() {
  static const Bytes kTrailer = *ParseHex("FFFFFFFFFFFF FF078069 FFFFFFFFFFFF");
  return kTrailer;
}

FormatResult FormatSectors(CardSession& session, const CardLayout& layout,
                           std::optional<int> onlyKeyType, bool dryRun, bool verify) {
  CardCalls& reader = session.Reader();
  const Bytes zeros(kBlockSize, 0);
  FormatResult done;
  done.sectors.resize(static_cast<size_t>(layout.sectors));
  for (int sector = 0; sector < layout.sectors; ++sector) {
    SectorResult& result = done.sectors[static_cast<size_t>(sector)];
    const int first = FirstBlock(sector), trailerBlock = TrailerBlock(sector);
    if (session.Lost()) {
      result.outcome = "left: the card was lost";
      result.reason = "the card was lost";
      ++done.left;
      continue;
    }
    // Decided before anything is written: a key that opens the sector and may
    // write every block of it, its trailer whole.
    int keyType = -1, keyIndex = -1;
    std::string why;
    std::optional<int32_t> refused[2];
    for (int type : {kKeyA, kKeyB}) {
      if (onlyKeyType && *onlyKeyType != type) continue;
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
      ++done.left;
      continue;
    }
    result.openedWith =
        std::string("key ") + KeyName(keyType) + " " + HexText(session.Key(keyIndex));
    result.access.keyType = keyType;
    result.access.keyIndex = keyIndex;
    if (dryRun) {
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
      const Bytes& data = block == trailerBlock ? FactoryTrailer() : zeros;
      WriteOutcome outcome = WriteVerified(session, keyType, block, data, verify, {keyIndex});
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
      ++done.left;
      continue;
    }
    result.left = false;
    result.state = "formatted";
    result.verified = verify && allChecked;
    result.outcome =
        verify ? (allChecked ? "formatted, verified" : "formatted, verified where the key may read")
               : "formatted (not verified)";
    for (const auto& n : notes) {
      if (n == "key A not verifiable") result.outcome += "; key A not verifiable";
    }
  }

  return done;
}

}  // namespace zubtool
