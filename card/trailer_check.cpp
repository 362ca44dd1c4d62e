#include "trailer_check.h"

#include <algorithm>

#include "access_text.h"

namespace mzcard {

namespace {

// A key that reads key B out of the trailer cannot authenticate as key B:
// the card then ignores key B for every right.
KeySet Usable(KeySet keys, bool keyBReadable) {
  return keyBReadable ? static_cast<KeySet>(keys & kByA) : keys;
}

// "block 5", "blocks 128-132": the blocks of data group `group`.
std::string GroupBlocks(int sector, int group) {
  if (sector < 0) return "data block " + std::to_string(group);
  const int first = FirstBlock(sector);
  if (BlocksInSector(sector) == 4) return "block " + std::to_string(first + group);
  return "blocks " + std::to_string(first + 5 * group) + "-" +
         std::to_string(first + 5 * group + 4);
}

bool AllZero(const Bytes& bytes, size_t from, size_t count) {
  for (size_t i = from; i < from + count; ++i) {
    if (bytes[i] != 0) return false;
  }
  return true;
}

std::string Join(const std::vector<std::string>& parts) {
  std::string text;
  for (const auto& p : parts) text += (text.empty() ? "" : "; ") + p;
  return text;
}

}  // namespace

std::vector<std::string> TrailerChanges(int sector, const TrailerNow& now, const Bytes& next) {
  std::vector<std::string> changes;
  auto key = [&](const char* name, const std::optional<Bytes>& was, size_t at) {
    const Bytes to(next.begin() + static_cast<long>(at), next.begin() + static_cast<long>(at) + 6);
    if (!was) {
      changes.push_back(std::string(name) + " is set to " + HexText(to) +
                        " (what it is now is not known)");
    } else if (*was != to) {
      changes.push_back(std::string(name) + " changes from " + HexText(*was) + " to " +
                        HexText(to));
    }
  };
  key("key A", now.keyA, 0);
  const Bytes bits(next.begin() + 6, next.begin() + 9);
  if (!now.accessBits || *now.accessBits != bits) {
    auto after = DecodeAccessBits(next);
    Bytes before = next;
    if (now.accessBits)
      std::copy(now.accessBits->begin(), now.accessBits->end(), before.begin() + 6);
    auto was = now.accessBits ? DecodeAccessBits(before) : std::nullopt;
    if (!after) {
      changes.push_back("the access bits become " + HexText(bits) +
                        ", which are not stored with their inverses");
    } else {
      const std::vector<std::string> to = DescribeConditions(*after, sector);
      const std::vector<std::string> from =
          was ? DescribeConditions(*was, sector) : std::vector<std::string>();
      for (int group = 0; group < kGroups; ++group) {
        const std::string& line = to[static_cast<size_t>(group)];
        if (!was) {
          changes.push_back("access: " + line);
        } else if (from[static_cast<size_t>(group)] != line) {
          changes.push_back("access changes: " + from[static_cast<size_t>(group)] + " becomes " +
                            line.substr(line.find(": ") + 2));
        }
      }
    }
  }
  // Key B as data can be read back; as a key it matters only when it changes.
  key("key B", now.keyB, 10);
  return changes;
}

std::vector<std::string> IrreversibleEffects(int sector, const AccessConditions& conditions) {
  const int trailerCondition = conditions.group[kTrailerGroup];
  const bool keyBReadable = KeyBReadable(trailerCondition);
  const TrailerRights trailer = TrailerRightsOf(trailerCondition);
  // While some key may still rewrite the access bits, anything else can be
  // put right later.
  if (Usable(trailer.accessWrite, keyBReadable) != kNobody) return {};
  std::vector<std::string> effects = {"its access conditions can never be changed again"};
  const bool keyAFixed = Usable(trailer.keyAWrite, keyBReadable) == kNobody;
  const bool keyBFixed = Usable(trailer.keyBWrite, keyBReadable) == kNobody;
  if (keyAFixed && keyBFixed) {
    effects.push_back("the trailer can never be written again: keys A and B stay as they are");
  } else if (keyAFixed) {
    effects.push_back("key A can never be changed again");
  } else if (keyBFixed) {
    effects.push_back("key B can never be changed again");
  }
  // Data groups with the same fate share one phrase: "blocks 12, 13 and 14 ...".
  std::vector<std::pair<std::string, std::vector<std::string>>> fates;
  for (int group = 0; group < kTrailerGroup; ++group) {
    // Block 0 is never written anyway; its group alone says nothing new.
    if (sector == 0 && group == 0 && BlocksInSector(sector) == 4) continue;
    const DataBlockRights data = DataRights(conditions.group[group]);
    const bool noRead = Usable(data.read, keyBReadable) == kNobody;
    const bool noWrite = Usable(data.write, keyBReadable) == kNobody;
    const bool noIncrement = Usable(data.increment, keyBReadable) == kNobody;
    const bool noValue = noIncrement && Usable(data.decrement, keyBReadable) == kNobody;
    std::string fate;
    if (noRead && noWrite && noValue) {
      fate = "can never be read or written again";
    } else if (noWrite && noValue) {
      fate = "can never be written again";
    } else if (noWrite) {
      fate = std::string("can never be written again, only ") +
             (noIncrement ? "decremented" : "counted up or down");
    } else if (noRead) {
      fate = "can never be read again";
    } else {
      continue;
    }
    const std::string blocks = GroupBlocks(sector, group);
    auto same =
        std::find_if(fates.begin(), fates.end(), [&](const auto& f) { return f.first == fate; });
    if (same == fates.end()) {
      fates.push_back({fate, {blocks}});
    } else {
      same->second.push_back(blocks);
    }
  }
  for (const auto& f : fates) {
    std::string names;
    for (size_t i = 0; i < f.second.size(); ++i) {
      // "block 12" and "block 13" read as "blocks 12 and 13".
      std::string name = f.second[i];
      if (i > 0) name = name.substr(name.rfind(' ') + 1);
      names += (i == 0 ? "" : i + 1 == f.second.size() ? " and " : ", ") + name;
    }
    const size_t word = names.find("block ");
    if (f.second.size() > 1 && word != std::string::npos) names.insert(word + 5, "s");
    effects.push_back(names + " " + f.first);
  }
  return effects;
}

std::optional<WriteRefusal> CheckBlockWrite(int block, Bytes* data,
                                            const WritePermissions& permissions) {
  WriteRefusal refusal;
  refusal.block = block;
  refusal.sector = SectorOfBlock(block);
  auto refuse = [&](WriteRefusal::Rule rule) {
    refusal.rule = rule;
    return std::optional<WriteRefusal>(refusal);
  };
  if (block == 0) {
    if (!permissions.block0) return refuse(WriteRefusal::kBlock0);
    return std::nullopt;
  }
  if (!IsTrailer(block)) return std::nullopt;
  if (!permissions.force) return refuse(WriteRefusal::kTrailer);
  refusal.accessBits = Bytes(data->begin() + 6, data->begin() + 9);
  auto conditions = DecodeAccessBits(*data);
  if (!conditions) return refuse(WriteRefusal::kBrokenAccessBits);
  // A card never shows key A, and shows key B only where the conditions let
  // key A read it: a trailer copied from `read` or from a dump that did not
  // learn a key holds zeros there, and writing it would set that key to zeros.
  for (int type : {kKeyA, kKeyB}) {
    const size_t at = type == kKeyA ? 0 : 10;
    const std::optional<Bytes>& given = type == kKeyA ? permissions.keyA : permissions.keyB;
    const Bytes key(data->begin() + at, data->begin() + at + kKeySize);
    refusal.keyType = type;
    if (AllZero(key, 0, kKeySize)) {
      if (!given) return refuse(WriteRefusal::kZeroKey);
      std::copy(given->begin(), given->end(), data->begin() + at);
    } else if (given && *given != key) {
      refusal.key = key;
      refusal.given = *given;
      return refuse(WriteRefusal::kOtherKey);
    }
  }
  refusal.effects = IrreversibleEffects(refusal.sector, *conditions);
  if (!refusal.effects.empty() && !permissions.irreversible)
    return refuse(WriteRefusal::kIrreversible);
  return std::nullopt;
}

std::string RefusalText(const WriteRefusal& refusal, const PermissionNames& names) {
  const std::string number = std::to_string(refusal.block);
  const std::string where = "sector " + std::to_string(refusal.sector);
  const std::string trailerOf = "block " + number + " (trailer of " + where + ")";
  const bool keyA = refusal.keyType == kKeyA;
  const std::string name = keyA ? "key A" : "key B";
  const char* given = keyA ? names.keyA : names.keyB;
  const std::string option = given ? given : "";
  switch (refusal.rule) {
    case WriteRefusal::kBlock0:
      return std::string(
                 "block 0 holds the card's UID and manufacturer data; write it only with ") +
             names.block0;
    case WriteRefusal::kTrailer:
      return "block " + number + " is the trailer of " + where +
             " (keys and access bits); write it only with " + names.force;
    case WriteRefusal::kBrokenAccessBits:
      return "block " + number + ": the access bits " + HexSpaced(refusal.accessBits) +
             " are not stored with their inverses and would lock " + where + " for good";
    case WriteRefusal::kZeroKey:
      return trailerOf + ": " + name + " is 000000000000. The card " +
             (keyA ? "never shows key A" : "hides key B unless key A may read it") +
             " (it reads as zeros), so this is likely a copy of a trailer whose " + name +
             " was unknown, and would set " + name + " to 000000000000; " +
             (given ? "give the " + name + " to write with " + option + " HEX (" + option +
                          " 000000000000 if zeros are meant)"
                    : "put the " + name + " to write in the data, bytes " +
                          (keyA ? "0 to 5" : "10 to 15"));
    case WriteRefusal::kOtherKey:
      return trailerOf + " holds " + name + " " + HexText(refusal.key) + ", not the key " +
             HexText(refusal.given) + " given" + (given ? " with " + option : "");
    case WriteRefusal::kIrreversible:
      return trailerOf + ": the access bits " + HexSpaced(refusal.accessBits) +
             " cannot be undone: " + Join(refusal.effects) + ". Write them only with " +
             names.irreversible + " as well as " + names.force;
  }
  return "block " + number + " may not be written";
}

}  // namespace mzcard
