#include "access_text.h"

namespace mzcard {

namespace {

struct Named {
  const char* name;
  int condition;
};
const Named kDataNames[] = {
    {"open", 0b000}, {"read-only", 0b010}, {"value", 0b110}, {"locked", 0b111}};
const Named kTrailerNames[] = {{"transport", 0b001}, {"key-b", 0b011}, {"frozen", 0b111}};

std::string GroupName(int sector, int group) {
  if (sector < 0) return group == kTrailerGroup ? "trailer" : "data block " + std::to_string(group);
  const int first = FirstBlock(sector);
  if (group == kTrailerGroup) return "trailer (block " + std::to_string(TrailerBlock(sector)) + ")";
  if (BlocksInSector(sector) == 4) return "block " + std::to_string(first + group);
  return "blocks " + std::to_string(first + 5 * group) + "-" +
         std::to_string(first + 5 * group + 4);
}

}  // namespace

std::string ConditionBits(int condition) {
  std::string bits;
  for (int shift = 2; shift >= 0; --shift) bits += (condition >> shift & 1) ? '1' : '0';
  return bits;
}

const char* RightsText(KeySet keys, BothKeys both) {
  switch (keys) {
    case kByA:
      return "A";
    case kByB:
      return "B";
    case kByAorB:
      return both == BothKeys::kSlash ? "A/B" : "AB";
    case kNobody:
      break;
  }
  return "never";
}

std::string KeysWord(KeySet keys) {
  switch (keys) {
    case kByAorB:
      return "key A or B";
    case kByA:
      return "key A";
    case kByB:
      return "key B";
    case kNobody:
      break;
  }
  return "never";
}

std::vector<std::string> DescribeConditions(const AccessConditions& conditions, int sector) {
  std::vector<std::string> lines;
  for (int group = 0; group < kGroups; ++group) {
    const int c = conditions.group[group];
    std::string line = GroupName(sector, group) + ", C1C2C3 " + ConditionBits(c) + ": ";
    if (group == kTrailerGroup) {
      const TrailerRights t = TrailerRightsOf(c);
      line += "key A read never, write " + KeysWord(t.keyAWrite) + "; access bits read " +
              KeysWord(t.accessRead) + ", write " + KeysWord(t.accessWrite) + "; key B read " +
              KeysWord(t.keyBRead) + ", write " + KeysWord(t.keyBWrite);
    } else {
      const DataBlockRights d = DataRights(c);
      line += "read " + KeysWord(d.read) + "; write " + KeysWord(d.write) + "; increment " +
              KeysWord(d.increment) + "; decrement, transfer, restore " + KeysWord(d.decrement);
    }
    lines.push_back(line);
  }
  if (KeyBReadable(conditions.group[kTrailerGroup])) {
    lines.push_back(
        "key B can be read with key A, so it is data, not a key: rights given to key B go to "
        "nobody");
  }
  return lines;
}

std::optional<int> ParseCondition(const std::string& text, bool trailer) {
  if (text.size() == 3 && text.find_first_not_of("01") == std::string::npos) {
    return (text[0] - '0') << 2 | (text[1] - '0') << 1 | (text[2] - '0');
  }
  for (const auto& n : trailer
                           ? std::vector<Named>(std::begin(kTrailerNames), std::end(kTrailerNames))
                           : std::vector<Named>(std::begin(kDataNames), std::end(kDataNames))) {
    if (text == n.name) return n.condition;
  }
  return std::nullopt;
}

std::string ConditionNames() {
  std::string text = "data blocks: ";
  for (const auto& n : kDataNames)
    text += std::string(n.name) + " (" + ConditionBits(n.condition) + ") ";
  text += "\ntrailer: ";
  for (const auto& n : kTrailerNames)
    text += std::string(n.name) + " (" + ConditionBits(n.condition) + ") ";
  return text;
}

}  // namespace mzcard
