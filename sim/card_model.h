// The card in the virtual reader's field: a MIFARE Classic 1K or 4K card as
// the reader's antenna sees it. Pure model: no I/O, no clock, no globals.
//
// Memory is kept as the raw image (blocks in order, trailers with their keys),
// so a dump loaded from a file behaves exactly as the card it came from: the
// access conditions are decoded from the sector trailers on every access.
//
// Independent of zubtool's card_format on purpose: a second model that checks the host tools.
#ifndef MIFAREZUB_SIM_CARD_MODEL_H
#define MIFAREZUB_SIM_CARD_MODEL_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zubsim {

// Reader status bytes, as the library's message table explains them.
enum class Status : uint8_t {
  kOk = 0,
  kNoCard = 1,  // no card, or none selected, or not authenticated for the block
  kOverflow = 3,
  kWrongKey = 4,
  kForbidden = 16,  // the access conditions forbid it
  kDataLength = 18,
  kNothingToTransfer = 20,
  kWriteOutside = 21,
  kNotIncrementable = 22,
  kNotDecrementable = 23,
  kReadOutside = 24,
  kUnknownCommand = 255,
};

enum class CardType : uint8_t { k1K, k4K };

enum class CardState : uint8_t { kIdle, kReady, kActive, kAuthenticated, kHalted };

enum class KeyType : uint8_t { kA = 0, kB = 1 };

constexpr size_t kBlockSize = 16;
constexpr size_t kKeySize = 6;
constexpr size_t kUidSize = 4;

using Block = std::array<uint8_t, kBlockSize>;
using Key = std::array<uint8_t, kKeySize>;
using Uid = std::array<uint8_t, kUidSize>;

// Sector layout of the two card sizes.
struct Geometry {
  static size_t blocks(CardType type) { return type == CardType::k1K ? 64 : 256; }
  static size_t bytes(CardType type) { return blocks(type) * kBlockSize; }
  static size_t sectors(CardType type) { return type == CardType::k1K ? 16 : 40; }
  // 0 to 127: sectors of 4 blocks; 128 to 255 (4K only): sectors of 16.
  static size_t sector_of(size_t block) {
    return block < 128 ? block / 4 : 32 + (block - 128) / 16;
  }
  static size_t first_block(size_t sector) {
    return sector < 32 ? sector * 4 : 128 + (sector - 32) * 16;
  }
  static size_t blocks_in(size_t sector) { return sector < 32 ? 4 : 16; }
  static size_t trailer_of(size_t sector) { return first_block(sector) + blocks_in(sector) - 1; }
  static bool is_trailer(size_t block) { return trailer_of(sector_of(block)) == block; }
};

// Access conditions: the three bits C1 C2 C3 of one block group, as the value
// C1*4 + C2*2 + C3. Groups 0 to 2 are data blocks (one block each in a small
// sector, five each in a large one), group 3 is the trailer.
struct AccessBits {
  bool valid = false;  // plain and inverted copies agree
  std::array<uint8_t, 4> group{};
};

// Decodes bytes 6 to 8 of a sector trailer.
AccessBits decode_access(const uint8_t* trailer_bytes_6_to_8);
// Encodes four groups' C1C2C3 values as bytes 6 to 8 of a trailer.
std::array<uint8_t, 3> encode_access(const std::array<uint8_t, 4>& groups);

// Which keys may do something: bit 0 key A, bit 1 key B.
enum Keys : uint8_t { kNever = 0, kKeyA = 1, kKeyB = 2, kEither = 3 };

struct DataBlockRights {
  uint8_t read, write, increment, decrement;  // decrement also covers transfer and restore
};
struct TrailerRights {
  uint8_t key_a_write, access_read, access_write, key_b_read, key_b_write;
};
DataBlockRights data_rights(uint8_t c1c2c3);
TrailerRights trailer_rights(uint8_t c1c2c3);
// Key B can be read under these trailer conditions, and then cannot serve
// for authentication.
bool key_b_readable(uint8_t trailer_c1c2c3);

// Value blocks: value, inverted value, value (each 4 bytes, least
// significant first), then address, inverted, address, inverted.
Block make_value_block(int32_t value, uint8_t address);
bool parse_value_block(const Block& block, int32_t* value, uint8_t* address);

uint8_t bcc_of(const Uid& uid);

class Card {
 public:
  // A new card in transport configuration: default keys FF..FF, access bits
  // FF 07 80 69, data blocks zero, block 0 the UID with its manufacturer data.
  Card(CardType type, const Uid& uid);
  // A card from a raw image of 1024 or 4096 bytes; the UID is taken from
  // block 0. Returns false (and leaves *card untouched) for any other size.
  static bool from_image(const uint8_t* image, size_t size, Card* card);

  CardType type() const { return type_; }
  const Uid& uid() const { return uid_; }
  CardState state() const { return state_; }
  const std::vector<uint8_t>& image() const { return memory_; }
  // Puts the memory back as `memory` (an earlier image() of this card) holds
  // it, leaving the card's state alone: what a write the card acknowledged
  // but did not keep leaves behind.
  void restore_memory(const std::vector<uint8_t>& memory) {
    if (memory.size() == memory_.size()) memory_ = memory;
  }
  size_t blocks() const { return Geometry::blocks(type_); }
  // ATQA as sent over the air (first byte first) and SAK.
  std::array<uint8_t, 2> atqa() const;
  uint8_t sak() const;

  // The card enters the reader's field (or the field is switched on): it is
  // idle, with nothing authenticated and an empty transfer buffer.
  void power_on();

  // ISO 14443-3 part. A command the card does not expect in its state makes
  // it drop back to idle (to halt, if it had been woken from halt) and stay
  // silent; the reader reports that as no card.
  Status request(bool all, std::array<uint8_t, 2>* atqa);
  Status anticollision(Uid* uid, uint8_t* bcc);
  Status select(const Uid& uid, uint8_t* sak);
  Status halt();

  // MIFARE Classic part.
  Status authenticate(KeyType key_type, const Key& key, uint8_t block);
  Status read(uint8_t block, Block* out);
  Status write(uint8_t block, const Block& data);
  Status increment(uint8_t block, int32_t operand);
  Status decrement(uint8_t block, int32_t operand);
  Status restore(uint8_t block);
  Status transfer(uint8_t block);

 private:
  enum class Op { kRead, kWrite, kIncrement, kDecrement };
  void drop();
  uint8_t* block_ptr(size_t block) { return memory_.data() + block * kBlockSize; }
  const uint8_t* block_ptr(size_t block) const { return memory_.data() + block * kBlockSize; }
  AccessBits sector_access(size_t sector) const;
  static size_t group_of(size_t block);
  // Checks the state, the address, the authenticated sector and the rights
  // of the key used for a data-block operation.
  Status check_data_access(uint8_t block, Op op, Status outside) const;
  Status value_op(uint8_t block, int64_t delta, Op op, Status not_value);

  CardType type_;
  Uid uid_;
  std::vector<uint8_t> memory_;
  CardState state_ = CardState::kIdle;
  bool woken_from_halt_ = false;
  size_t auth_sector_ = 0;
  KeyType auth_key_ = KeyType::kA;
  bool transfer_valid_ = false;
  Block transfer_{};
};

}  // namespace zubsim

#endif  // MIFAREZUB_SIM_CARD_MODEL_H
