// Two card images compared block by block: what `diff` shows. Bytes unknown
// on either side are not compared, only counted.
#ifndef MZCARD_IMAGE_DIFF_H
#define MZCARD_IMAGE_DIFF_H

#include <string>
#include <vector>

#include "image.h"

namespace mzcard {

struct BlockDiff {
  int block = 0;
  Bytes a, b;                        // 16 bytes each, unknown bytes as zeros
  std::vector<bool> aKnown, bKnown;  // per byte
  std::vector<bool> differs;         // per byte: known on both sides, and different
};

struct ImageDiff {
  std::vector<BlockDiff> blocks;  // the blocks that differ, in order
  int ignored = 0;                // bytes unknown in A or in B, not compared
  int compared = 0;               // blocks both images have
  bool sameLayout = true;         // false: the blocks of the larger one beyond are not compared
  bool Same() const { return blocks.empty() && sameLayout; }
};

ImageDiff CompareImages(const CardImage& a, const CardImage& b);

// What a changed block means, one line each: for a trailer its keys and
// access conditions in words ("key A FFFFFFFFFFFF -> A0A1A2A3A4A5", "block 8:
// read key A or B; ... -> ..."), for a value block on both sides its value
// ("value 100 -> 125"). Only what is known on both sides and changed.
std::vector<std::string> DescribeChange(const BlockDiff& diff);

// "2 bytes differ: 0, 15", "1 byte differs: 7": the bytes known on both
// sides that differ, counted and numbered (0 to 15).
std::string DifferingBytesText(const BlockDiff& diff);

// One side of a block: two hex digits a byte, "??" for an unknown one; and
// one character a byte, printable ASCII as itself, '.' for others, '?' for
// an unknown one.
std::string SideHex(const Bytes& data, const std::vector<bool>& known);
std::string SideAscii(const Bytes& data, const std::vector<bool>& known);

// "   ^^       ^^": a caret under each pair of hex digits that differs, for a
// block printed as HexSpaced (3 characters a byte).
std::string CaretLine(const BlockDiff& diff);

}  // namespace mzcard

#endif  // MZCARD_IMAGE_DIFF_H
