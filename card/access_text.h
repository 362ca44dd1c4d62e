// Access conditions in words, and back: what `acl` and `dump` show, and the
// condition names `acl encode` takes.
#ifndef MZCARD_ACCESS_TEXT_H
#define MZCARD_ACCESS_TEXT_H

#include <optional>
#include <string>
#include <vector>

#include "card_format.h"

namespace mzcard {

// "key A or B", "key A", "key B", "never".
std::string KeysWord(KeySet keys);

// How both keys are spelt in the short words of RightsText: "A/B" (the
// workbench's tables) or "AB" (the conditions in the JSON dump format).
enum class BothKeys { kSlash, kJoined };
// Who may, in short: "A", "B", "A/B" or "AB", "never".
const char* RightsText(KeySet keys, BothKeys both);

// "000".."111": the bits C1C2C3 of a condition.
std::string ConditionBits(int condition);

// One line per group: who may do what. `sector` names the blocks; -1 when the
// conditions are not those of a known sector.
std::vector<std::string> DescribeConditions(const AccessConditions& conditions, int sector);

// A data-block condition (`trailer` false) or a trailer condition: three
// binary digits C1C2C3 ("110") or a name ("value", "transport", ...).
std::optional<int> ParseCondition(const std::string& text, bool trailer);
// The names ParseCondition takes, for the usage.
std::string ConditionNames();

}  // namespace mzcard

#endif  // MZCARD_ACCESS_TEXT_H
