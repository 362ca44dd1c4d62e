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

// What the writer allows.
struct WritePermissions {
  bool force = false;         // trailers at all
  bool irreversible = false;  // conditions that cannot be undone
  bool block0 = false;        // block 0
  std::optional<Bytes> keyA;  // the key A trailers are to hold where theirs is zeros
  std::optional<Bytes> keyB;  // the same for key B
};

// Why a block may not be written as it was given: the rule it breaks and
// the facts the refusal names.
struct WriteRefusal {
  enum Rule {
    kBlock0,            // block 0, not allowed
    kTrailer,           // a sector trailer, not allowed (force)
    kBrokenAccessBits,  // access bits not stored with their inverses
    kZeroKey,           // the trailer's key `keyType` is zeros and none was given
    kOtherKey,          // the trailer holds `key`, not the key `given`
    kIrreversible,      // conditions that can never be undone, not allowed
  };
  Rule rule = kBlock0;
  int block = 0;
  int sector = 0;
  int keyType = kKeyA;               // kZeroKey, kOtherKey
  Bytes accessBits;                  // kBrokenAccessBits, kIrreversible: bytes 6-8
  Bytes key, given;                  // kOtherKey
  std::vector<std::string> effects;  // kIrreversible: IrreversibleEffects
};

// What a program calls each permission, for the refusals in its own words:
// "--force" on a command line, "\"force\"" for a field of a request.
struct PermissionNames {
  const char* force;
  const char* irreversible;
  const char* block0;
  const char* keyA;  // nullptr: the keys are given in the data only
  const char* keyB;
};

// What can never be done again in `sector` once its trailer holds
// `conditions`: one phrase each ("its access conditions can never be changed
// again", "block 5 can never be written again"). Empty when the conditions
// can still be changed with some key. `sector` -1: blocks named by group.
std::vector<std::string> IrreversibleEffects(int sector, const AccessConditions& conditions);

// What a trailer holds now, as far as it is known: key A as it opened the
// sector (a read shows zeros), key B where it is known, the access bits.
struct TrailerNow {
  std::optional<Bytes> keyA, keyB;  // 6 bytes each
  std::optional<Bytes> accessBits;  // bytes 6-8
};

// What writing `next` (16 bytes) into the trailer of `sector` changes, in
// words, one line a change: "key A changes from FFFFFFFFFFFF to
// A1B2C3D4E5F6", "block 5: read key A or B ... becomes read key A ...".
// A part not known now is said to be set, not changed. Empty when nothing
// changes.
std::vector<std::string> TrailerChanges(int sector, const TrailerNow& now, const Bytes& next);

// Checks block `block` about to be written with `data` (16 bytes): nothing
// when it may be written, else the refusal. For a trailer whose key A (or
// key B) is all zeros, permissions.keyA (keyB) supplies it: `data` is
// changed to hold it.
std::optional<WriteRefusal> CheckBlockWrite(int block, Bytes* data,
                                            const WritePermissions& permissions);

// The refusal in words, each permission called by its name in `names`.
std::string RefusalText(const WriteRefusal& refusal, const PermissionNames& names);

}  // namespace mzcard

#endif  // MZCARD_TRAILER_CHECK_H
