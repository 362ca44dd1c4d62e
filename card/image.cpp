#include "image.h"

#include <cstdio>

namespace mzcard {

CardImage::CardImage(const CardLayout& layout)
    : layout_(layout),
      bytes_(static_cast<size_t>(layout.ImageSize()), 0),
      known_(static_cast<size_t>(layout.ImageSize()), false) {}

CardImage::CardImage(const CardLayout& layout, const Bytes& bytes)
    : layout_(layout), bytes_(bytes), known_(bytes.size(), true) {
  bytes_.resize(static_cast<size_t>(layout.ImageSize()), 0);
  known_.resize(bytes_.size(), false);
}

int CardImage::UnknownBytes() const {
  int n = 0;
  for (bool k : known_) n += k ? 0 : 1;
  return n;
}

Bytes CardImage::Block(int block) const {
  const auto start = bytes_.begin() + block * kBlockSize;
  return Bytes(start, start + kBlockSize);
}

int CardImage::UnknownInBlock(int block) const {
  int n = 0;
  for (int i = 0; i < kBlockSize; ++i) n += ByteKnown(block, i) ? 0 : 1;
  return n;
}

void CardImage::SetBlock(int block, const Bytes& data) {
  SetBytes(block, 0, data);
}

void CardImage::SetBytes(int block, int index, const Bytes& data) {
  for (size_t i = 0; i < data.size() && index + static_cast<int>(i) < kBlockSize; ++i) {
    const size_t at = static_cast<size_t>(block * kBlockSize + index) + i;
    bytes_[at] = data[i];
    known_[at] = true;
  }
}

void CardImage::Forget(int block, int index, int count) {
  for (int i = index; i < index + count && i < kBlockSize; ++i) {
    const size_t at = static_cast<size_t>(block * kBlockSize + i);
    bytes_[at] = 0;
    known_[at] = false;
  }
}

bool CardImage::RangeKnown(int block, int index, int count) const {
  for (int i = index; i < index + count; ++i) {
    if (!ByteKnown(block, i)) return false;
  }
  return true;
}

std::optional<Bytes> CardImage::KeyA(int sector) const {
  const int t = TrailerBlock(sector);
  if (!RangeKnown(t, 0, kKeySize)) return std::nullopt;
  const Bytes b = Block(t);
  return Bytes(b.begin(), b.begin() + kKeySize);
}

std::optional<Bytes> CardImage::KeyB(int sector) const {
  const int t = TrailerBlock(sector);
  if (!RangeKnown(t, 10, kKeySize)) return std::nullopt;
  const Bytes b = Block(t);
  return Bytes(b.begin() + 10, b.end());
}

std::optional<Bytes> CardImage::AccessBytes(int sector) const {
  const int t = TrailerBlock(sector);
  if (!RangeKnown(t, 6, 4)) return std::nullopt;
  const Bytes b = Block(t);
  return Bytes(b.begin() + 6, b.begin() + 10);
}

bool CardImage::Block0ProvesUid() const {
  if (Blocks() == 0 || !RangeKnown(0, 0, 5)) return false;
  return (bytes_[0] ^ bytes_[1] ^ bytes_[2] ^ bytes_[3]) == bytes_[4];
}

std::optional<Bytes> CardImage::Uid() const {
  if (uid) return uid;
  if (Block0ProvesUid()) return Bytes(bytes_.begin(), bytes_.begin() + 4);
  return std::nullopt;
}

std::optional<Bytes> CardImage::Atqa() const {
  if (atqa) return atqa;
  if (Block0ProvesUid() && RangeKnown(0, 6, 2)) return Bytes{bytes_[6], bytes_[7]};
  return std::nullopt;
}

std::optional<uint8_t> CardImage::Sak() const {
  if (sak) return sak;
  if (Block0ProvesUid() && ByteKnown(0, 5)) return bytes_[5];
  return std::nullopt;
}

std::vector<CardLayout> AllLayouts() {
  std::vector<CardLayout> all;
  for (const char* name : {"mini", "1k", "2k", "4k"}) all.push_back(*LayoutByName(name));
  return all;
}

std::optional<CardLayout> LayoutOfSize(size_t size) {
  for (const auto& layout : AllLayouts()) {
    if (static_cast<size_t>(layout.ImageSize()) == size) return layout;
  }
  return std::nullopt;
}

std::optional<CardLayout> LayoutOfSectors(int sectors) {
  for (const auto& layout : AllLayouts()) {
    if (layout.sectors == sectors) return layout;
  }
  return std::nullopt;
}

std::vector<std::string> ImplausibleImage(const CardImage& image) {
  std::vector<std::string> problems;
  if (image.Blocks() > 0 && image.RangeKnown(0, 0, 5)) {
    const Bytes b0 = image.Block(0);
    const uint8_t bcc = b0[0] ^ b0[1] ^ b0[2] ^ b0[3];
    if (bcc != b0[4]) {
      char text[160];
      std::snprintf(text, sizeof text,
                    "block 0: check byte %02X is not the XOR of the UID %s (that is %02X)", b0[4],
                    HexText(Bytes(b0.begin(), b0.begin() + 4)).c_str(), bcc);
      problems.push_back(text);
    }
  }
  for (int sector = 0; sector < image.Layout().sectors; ++sector) {
    const auto access = image.AccessBytes(sector);
    if (access && !AccessBitsConsistent(Bytes(access->begin(), access->begin() + 3))) {
      problems.push_back("block " + std::to_string(TrailerBlock(sector)) + " (trailer of sector " +
                         std::to_string(sector) + "): access bits " +
                         HexSpaced(Bytes(access->begin(), access->begin() + 3)) +
                         " do not match their inverted copy");
    }
  }
  return problems;
}

}  // namespace mzcard
