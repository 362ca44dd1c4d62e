// format: a card's sectors back to the factory state, decided sector by
// sector before anything is written. The command line and the workbench
// share it.
#ifndef ZUBTOOL_FORMAT_CARD_H
#define ZUBTOOL_FORMAT_CARD_H

#include <optional>
#include <string>
#include <vector>

#include "session.h"

namespace zubtool {

// What became of one sector.
struct SectorResult {
  std::string openedWith = "-";
  std::string outcome;
  bool left = true;
  Access access;               // the key that opened the sector, where one did
  std::string state = "left";  // formatted, would be formatted, left, failed
  std::string reason;          // why it was left or failed
  bool verified = false;       // every block read back the same
  std::vector<std::string> notes;
};

struct FormatResult {
  std::vector<SectorResult> sectors;
  int left = 0;  // sectors left as they were (or failed)
};

// Whether key `keyType` may write a trailer whole (key A, the access bits,
// key B) under `conditions`: "" or why not ("key B may not write key A").
std::string WhyTrailerNotWritable(const AccessConditions& conditions, int keyType);

// The trailer of a sector in the factory state: keys FFFFFFFFFFFF, access
// bits FF0780, byte 9 69.
const Bytes& FactoryTrailer();

// Formats every sector of `layout` on the card of `session`: every data
// block but block 0 zeroed, every trailer the factory one; data blocks first,
// the trailer last, so a sector cut short keeps its keys. A sector is
// written only with a key that may write every block of it (`keyType`, or
// A then B); `dryRun`: decided, nothing written; `verify`: read back.
FormatResult FormatSectors(CardSession& session, const CardLayout& layout,
                           std::optional<int> keyType, bool dryRun, bool verify);

}  // namespace zubtool

#endif  // ZUBTOOL_FORMAT_CARD_H
