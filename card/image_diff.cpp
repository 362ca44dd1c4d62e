#include "image_diff.h"

#include <algorithm>

#include "access_text.h"

namespace mzcard {

ImageDiff CompareImages(const CardImage& a, const CardImage& b) {
  ImageDiff diff;
  diff.sameLayout = a.Layout().sectors == b.Layout().sectors;
  diff.compared = std::min(a.Blocks(), b.Blocks());
  for (int block = 0; block < diff.compared; ++block) {
    BlockDiff d;
    d.block = block;
    d.a = a.Block(block);
    d.b = b.Block(block);
    bool any = false;
    for (int i = 0; i < kBlockSize; ++i) {
      const bool ka = a.ByteKnown(block, i), kb = b.ByteKnown(block, i);
      d.aKnown.push_back(ka);
      d.bKnown.push_back(kb);
      const bool differs = ka && kb && d.a[static_cast<size_t>(i)] != d.b[static_cast<size_t>(i)];
      d.differs.push_back(differs);
      any = any || differs;
      if (!ka || !kb) ++diff.ignored;
    }
    if (any) diff.blocks.push_back(d);
  }
  return diff;
}

namespace {

bool Known(const std::vector<bool>& known, int from, int count) {
  for (int i = from; i < from + count; ++i) {
    if (!known[static_cast<size_t>(i)]) return false;
  }
  return true;
}

Bytes Slice(const Bytes& bytes, int from, int count) {
  return Bytes(bytes.begin() + from, bytes.begin() + from + count);
}

}  // namespace

std::vector<std::string> DescribeChange(const BlockDiff& d) {
  std::vector<std::string> lines;
  const bool allA = Known(d.aKnown, 0, kBlockSize), allB = Known(d.bKnown, 0, kBlockSize);
  if (IsTrailer(d.block)) {
    const int sector = SectorOfBlock(d.block);
    for (int offset : {0, 10}) {
      if (!Known(d.aKnown, offset, kKeySize) || !Known(d.bKnown, offset, kKeySize)) continue;
      const Bytes ka = Slice(d.a, offset, kKeySize), kb = Slice(d.b, offset, kKeySize);
      if (ka != kb) {
        lines.push_back(std::string(offset ? "key B " : "key A ") + HexText(ka) + " -> " +
                        HexText(kb));
      }
    }
    if (Known(d.aKnown, 6, 4) && Known(d.bKnown, 6, 4)) {
      const Bytes ba = Slice(d.a, 6, 3), bb = Slice(d.b, 6, 3);
      if (ba != bb) {
        lines.push_back("access bits " + HexSpaced(ba) + " -> " + HexSpaced(bb));
        auto ca = DecodeAccessBits(ba), cb = DecodeAccessBits(bb);
        if (!ca || !cb) {
          if (!ca)
            lines.push_back("  before: not stored with their inverses (the sector is locked)");
          if (!cb)
            lines.push_back("  after: not stored with their inverses (the sector is locked)");
        } else {
          const auto wa = DescribeConditions(*ca, sector), wb = DescribeConditions(*cb, sector);
          for (size_t i = 0; i < wa.size() || i < wb.size(); ++i) {
            const std::string la = i < wa.size() ? wa[i] : "", lb = i < wb.size() ? wb[i] : "";
            if (la == lb) continue;
            if (!la.empty()) lines.push_back("  was " + la);
            if (!lb.empty()) lines.push_back("  now " + lb);
          }
        }
      }
      if (d.a[9] != d.b[9]) {
        lines.push_back("user byte " + HexText({d.a[9]}) + " -> " + HexText({d.b[9]}));
      }
    }
    return lines;
  }
  if (d.block == 0 || !allA || !allB) return lines;
  auto va = DecodeValueBlock(d.a), vb = DecodeValueBlock(d.b);
  if (va && vb) {
    std::string line = "value " + std::to_string(va->value) + " -> " + std::to_string(vb->value);
    if (va->address != vb->address) {
      line +=
          ", address byte " + std::to_string(va->address) + " -> " + std::to_string(vb->address);
    }
    lines.push_back(line);
  } else if (va) {
    lines.push_back("was a value block (value " + std::to_string(va->value) + "), is no longer");
  } else if (vb) {
    lines.push_back("is now a value block (value " + std::to_string(vb->value) + ")");
  }
  return lines;
}

std::string DifferingBytesText(const BlockDiff& d) {
  std::vector<int> bytes;
  for (int i = 0; i < kBlockSize; ++i) {
    if (d.differs[static_cast<size_t>(i)]) bytes.push_back(i);
  }
  const std::string list = RangesText(bytes, "byte");
  return std::to_string(bytes.size()) +
         (bytes.size() == 1 ? " byte differs: " : " bytes differ: ") +
         list.substr(list.find(' ') + 1);
}

std::string SideHex(const Bytes& data, const std::vector<bool>& known) {
  const std::string digits = HexText(data);
  std::string out;
  for (size_t i = 0; i < known.size(); ++i) out += known[i] ? digits.substr(2 * i, 2) : "??";
  return out;
}

std::string SideAscii(const Bytes& data, const std::vector<bool>& known) {
  std::string out = AsciiText(data);
  for (size_t i = 0; i < known.size(); ++i) {
    if (!known[i]) out[i] = '?';
  }
  return out;
}

std::string CaretLine(const BlockDiff& d) {
  std::string line;
  for (int i = 0; i < kBlockSize; ++i) {
    if (i) line += ' ';
    line += d.differs[static_cast<size_t>(i)] ? "^^" : "  ";
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

}  // namespace mzcard
