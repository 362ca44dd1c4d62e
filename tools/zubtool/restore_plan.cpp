#include "restore_plan.h"

#include "args.h"

namespace zubtool {

int RestorePlan::UnknownCount() const {
  int count = 0;
  for (const auto& s : skipped) count += s.unknown;
  return count;
}

std::vector<int> RestorePlan::UnknownIn(int sector) const {
  std::vector<int> blocks;
  for (const auto& s : skipped) {
    if (s.unknown && SectorOfBlock(s.block) == sector) blocks.push_back(s.block);
  }
  return blocks;
}

RestorePlan PlanRestore(const CardImage& image, bool trailers, const WritePermissions& permissions,
                        bool safePart) {
  RestorePlan plan;
  const CardLayout& layout = image.Layout();
  for (int block = 0; block < layout.Blocks(); ++block) {
    if (block == 0 && !permissions.block0) {
      plan.skipped.push_back({block, "block 0 is kept (the UID and manufacturer data)", false});
      continue;
    }
    if (IsTrailer(block) && !trailers) {
      plan.skipped.push_back({block, "the sector trailer is kept (keys and access bits)", false});
      continue;
    }
    const bool known = IsTrailer(block) ? image.RangeKnown(block, 6, 4) : image.BlockKnown(block);
    if (!known) {
      plan.skipped.push_back({block, "unknown in the image", true});
      continue;
    }
    PlannedWrite write{block, image.Block(block)};
    std::string refusal = CheckWriteOptions(block, &write.data, permissions);
    // A block 0 that proves no UID is the image's fault, not the options':
    // refused by the plausibility check before any plan, skipped by the safe part.
    if (safePart && refusal.empty() && block == 0 && !image.Block0ProvesUid()) {
      for (const auto& problem : ImplausibleImage(image)) {
        if (problem.rfind("block 0:", 0) == 0) refusal = problem;
      }
    }
    if (!refusal.empty() && safePart) {
      plan.skipped.push_back({block, refusal, false, true});
      continue;
    }
    if (!refusal.empty()) plan.refusals.push_back(refusal);
    if (IsTrailer(block)) {
      if (auto conditions = DecodeAccessBits(write.data)) {
        const int sector = SectorOfBlock(block);
        for (const auto& effect : IrreversibleEffects(sector, *conditions))
          plan.irreversible.push_back("sector " + std::to_string(sector) + ": " + effect);
      }
    }
    plan.writes.push_back(write);
  }
  return plan;
}

const char* WhatBlockIs(int block) {
  if (block == 0) return "block 0 (UID and manufacturer data)";
  if (IsTrailer(block)) return "sector trailer (keys and access bits)";
  return "data block";
}

std::vector<Bytes> ImageKeys(const CardImage& image) {
  std::vector<Bytes> keys;
  for (int sector = 0; sector < image.Layout().sectors; ++sector) {
    for (const auto& key : {image.KeyA(sector), image.KeyB(sector)}) {
      if (key && *key != Bytes(kKeySize, 0)) keys.push_back(*key);
    }
  }
  return keys;
}

std::vector<int> SectorKeyIndices(const CardImage& image, int sector, const PackedKeys& keys) {
  std::vector<int> indices;
  for (const auto& key : {image.KeyA(sector), image.KeyB(sector)}) {
    if (!key || key->size() != static_cast<size_t>(kKeySize)) continue;
    const uint64_t value = PackedKeys::ValueOf(*key);
    for (size_t i = 0; i < keys.size(); ++i) {
      if (keys.Value(i) == value) indices.push_back(static_cast<int>(i));
    }
  }
  return indices;
}

}  // namespace zubtool
