// The checks every sector trailer and block 0 pass before a host tool
// writes them. A trailer holds the sector's keys and access conditions: written
// wrongly it can lock the sector, or parts of it, for good.
#ifndef MZCARD_TRAILER_CHECK_H
#define MZCARD_TRAILER_CHECK_H

#include <optional>
#include <string>
#include <vector>

#include "card_format.h"

namespace mzcard {

// What the command line allows.
struct WritePermissions {
  bool force = false;         // --force: trailers at all
  bool irreversible = false;  // --irreversible: conditions that cannot be undone
  bool block0 = false;        // --block0
  std::optional<Bytes> keyA;  // --key-a: the key A trailers are to hold
  std::optional<Bytes> keyB;  // --key-b: the same for key B
};

// What can never be done again in `sector` once its trailer holds
// `conditions`: one phrase each ("its access conditions can never be changed
// again", "block 5 can never be written again"). Empty when the conditions
// can still be changed with some key. `sector` -1: blocks named by group.
std::vector<std::string> IrreversibleEffects(int sector, const AccessConditions& conditions);

// Checks block `block` about to be written with `data` (16 bytes). "" when it
// may be written, or the refusal in words. For a trailer whose key A (or key
// B) is all zeros, --key-a (--key-b) supplies it: `data` is changed to hold it.
std::string CheckBlockWrite(int block, Bytes* data, const WritePermissions& permissions);

}  // namespace mzcard

#endif  // MZCARD_TRAILER_CHECK_H
