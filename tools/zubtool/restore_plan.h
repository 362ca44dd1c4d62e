// What a restore writes: the plan both `zubtool restore` and the workbench
// make from an image before anything goes to the card, so the two cannot
// drift. No card command here.
#ifndef ZUBTOOL_RESTORE_PLAN_H
#define ZUBTOOL_RESTORE_PLAN_H

#include <string>
#include <vector>

#include "card.h"

namespace zubtool {

struct PlannedWrite {
  int block = 0;
  Bytes data;  // as it goes to the card (a trailer's zero keys filled in from --key-a/--key-b)
};

struct SkippedBlock {
  int block = 0;
  std::string reason;
  // True for a block the image does not know; false for one the options keep
  // (block 0 without --block0, trailers without --trailers).
  bool unknown = false;
  // True for a block the checks refuse, skipped only by a plan of the safe
  // part: it is never written, whatever the options.
  bool refused = false;
};

struct RestorePlan {
  std::vector<PlannedWrite> writes;   // in block order
  std::vector<SkippedBlock> skipped;  // in block order
  // Why blocks that would be written are refused; any refusal and nothing is
  // written at all.
  std::vector<std::string> refusals;
  // What can never be undone once the trailers planned are written, one
  // phrase each ("sector 3: its access conditions can never be changed
  // again"); empty when every trailer written leaves them changeable.
  std::vector<std::string> irreversible;
  int UnknownCount() const;
  // The blocks of `sector` skipped as unknown in the image.
  std::vector<int> UnknownIn(int sector) const;
};

// Every check of every block of `image`, as written with `trailers`
// (--trailers) and `permissions` (--force, --irreversible, --block0,
// --key-a, --key-b). A block with a byte the image does not know is never
// written; a trailer's unknown key is zeros, which the trailer checks refuse
// unless --key-a/--key-b give it.
//
// `safePart` plans only what cannot harm the card: a block the checks refuse
// (a trailer whose access bits do not decode, whose keys are unknown) and a
// block 0 whose check byte does not match its UID are skipped with the reason
// (`refused`), not refused; the rest is planned as without it, so the plan
// has no refusals and writes nothing the image does not plausibly hold.
RestorePlan PlanRestore(const CardImage& image, bool trailers, const WritePermissions& permissions,
                        bool safePart = false);

// "data block", "sector trailer (keys and access bits)", "block 0 (UID and
// manufacturer data)".
const char* WhatBlockIs(int block);

// The keys an image holds: each trailer's key A and key B where known, zeros
// left out (a raw image holds zeros where a dump did not learn a key).
std::vector<Bytes> ImageKeys(const CardImage& image);

// The indices in `keys` of the keys the image holds for `sector`: tried first
// when the sector is opened for the restore.
std::vector<int> SectorKeyIndices(const CardImage& image, int sector, const PackedKeys& keys);

}  // namespace zubtool

#endif  // ZUBTOOL_RESTORE_PLAN_H
