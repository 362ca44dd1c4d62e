// A card image: the blocks of a card as far as they are known. Every byte
// carries whether it is known: a dump that could not read a block, or did not
// learn a key, leaves those bytes unknown rather than pretending they are
// zeros. What the image knows of the card itself (UID, ATQA, SAK) comes with
// it where a file or a dump told it.
#ifndef MZCARD_IMAGE_H
#define MZCARD_IMAGE_H

#include <optional>
#include <string>
#include <vector>

#include "card_format.h"

namespace mzcard {

class CardImage {
 public:
  CardImage() = default;
  // Every byte unknown.
  explicit CardImage(const CardLayout& layout);
  // Every byte known: a raw image of exactly layout.ImageSize() bytes.
  CardImage(const CardLayout& layout, const Bytes& bytes);

  const CardLayout& Layout() const { return layout_; }
  int Blocks() const { return layout_.Blocks(); }
  int Size() const { return static_cast<int>(bytes_.size()); }

  // The whole image; unknown bytes read as zeros.
  const Bytes& Raw() const { return bytes_; }
  bool Known(int offset) const { return known_[static_cast<size_t>(offset)]; }
  int UnknownBytes() const;

  // Block access; unknown bytes read as zeros.
  Bytes Block(int block) const;
  bool ByteKnown(int block, int index) const { return Known(block * kBlockSize + index); }
  // Bytes of the block not known (0 to 16).
  int UnknownInBlock(int block) const;
  bool BlockKnown(int block) const { return UnknownInBlock(block) == 0; }
  bool BlockEmpty(int block) const { return UnknownInBlock(block) == kBlockSize; }
  // 16 bytes, all known.
  void SetBlock(int block, const Bytes& data);
  // Bytes of block `block` from `index` on, all known.
  void SetBytes(int block, int index, const Bytes& data);
  // Bytes of block `block` from `index` on, `count` of them, made unknown.
  void Forget(int block, int index, int count);
  // Whether every one of `count` bytes from `index` of `block` is known.
  bool RangeKnown(int block, int index, int count) const;

  // A sector's keys, from its trailer, where known.
  std::optional<Bytes> KeyA(int sector) const;
  std::optional<Bytes> KeyB(int sector) const;
  // The trailer's bytes 6 to 9 (access bits and the user byte), where known.
  std::optional<Bytes> AccessBytes(int sector) const;

  // What the image knows of the card: as a file or a dump gave it, else from
  // block 0 where its check byte proves a 4-byte UID (the UID, then the SAK
  // in byte 5 and the ATQA in bytes 6 and 7, as NXP cards hold them). Block 0
  // of a card with a 7-byte UID starts with other bytes: nothing is taken
  // from it.
  std::optional<Bytes> Uid() const;
  std::optional<Bytes> Atqa() const;
  std::optional<uint8_t> Sak() const;
  // Whether bytes 0 to 4 of block 0 are known and byte 4 is the XOR of 0 to 3.
  bool Block0ProvesUid() const;

  // What a file or a dump told of the card; nothing where it did not.
  std::optional<Bytes> uid;   // 4 or 7 bytes
  std::optional<Bytes> atqa;  // 2 bytes, in the order the card sends them (04 00 for 1K)
  std::optional<uint8_t> sak;

 private:
  CardLayout layout_;
  Bytes bytes_;
  std::vector<bool> known_;
};

// The layout whose image has `size` bytes (320, 1024, 2048, 4096).
std::optional<CardLayout> LayoutOfSize(size_t size);
// The layout of a card with `sectors` sectors (5, 16, 32, 40).
std::optional<CardLayout> LayoutOfSectors(int sectors);
// Every card size, smallest first: Mini, 1K, 2K, 4K.
std::vector<CardLayout> AllLayouts();

// Why an image cannot be a card's: block 0's check byte does not match its
// UID, a trailer's access bits do not match their inverted copy. One line per
// problem; empty when the image is plausible. Unknown bytes are not judged.
std::vector<std::string> ImplausibleImage(const CardImage& image);

}  // namespace mzcard

#endif  // MZCARD_IMAGE_H
