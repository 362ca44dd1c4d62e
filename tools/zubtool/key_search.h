// The key search: which key A and which key B open each sector, searched
// sector by sector over the keys to try, and the keys file of what was found.
// `zubtool keys` and the workbench's key search run this one search.
#ifndef ZUBTOOL_KEY_SEARCH_H
#define ZUBTOOL_KEY_SEARCH_H

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "session.h"

namespace zubtool {

struct SectorKeys {
  std::optional<Bytes> keyA, keyB;
  bool keyBReadable = false;          // key A may read key B, so B cannot authenticate
  bool searched = false;              // every key type asked for was searched to its end
  bool notFound[2] = {false, false};  // that key type was searched to its end in vain
  // That key type needs no search: found, searched in vain, or readable key B.
  bool Done(int type) const {
    return type == kKeyA ? keyA.has_value() || notFound[kKeyA]
                         : keyB.has_value() || notFound[kKeyB] || keyBReadable;
  }
};

// What the keys file says of a key type searched in vain, and of a key B
// that key A reads.
extern const char* const kNoneOpens;
extern const char* const kReadable;

struct KeySearchHooks {
  // After each try: the sector, the key type and the keys tried so far on it.
  std::function<void(int sector, int type, size_t tried)> tried;
  // After a key type of a sector is settled (found, readable key B, or
  // searched in vain): what was learnt is in the sectors.
  std::function<void(int sector, int type)> settled;
};

// Searches every sector of `layout` for the key types not yet settled in
// `*found` (one entry per sector; `keyType` fixes one type), key by key in the
// session's order, a key that opened a sector tried first on the next. Stops
// when the session is stopped (CardSession::StopWhen: Stopped() is then true)
// or the card is lost. Afterwards each sector's `searched` tells whether every
// type asked for is settled.
void SearchKeys(CardSession& session, const CardLayout& layout, std::optional<int> keyType,
                std::vector<SectorKeys>* found, const KeySearchHooks& hooks = {});

// A keys file (for --keys-file) of what was found so far, each key with its
// sector and type as a comment; `interrupted` adds a note that the search did
// not reach the end.
std::string KeysFileText(const CardInfo& card, const CardLayout& layout,
                         const std::vector<SectorKeys>& found, bool interrupted);

}  // namespace zubtool

#endif  // ZUBTOOL_KEY_SEARCH_H
