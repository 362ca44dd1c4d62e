#include "card_model.h"

#include <cstring>

namespace zubsim {

namespace {

// Manufacturer bytes 8 to 15 of block 0 on a card we make.
constexpr uint8_t kManufacturerData[8] = {0x62, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69};

bool allowed(uint8_t keys, KeyType used) {
  return (keys & (1u << static_cast<uint8_t>(used))) != 0;
}

}  // namespace

AccessBits decode_access(const uint8_t* b) {
  // Byte 6: ~C2 (high nibble) ~C1 (low); byte 7: C1, ~C3; byte 8: C3, C2.
  // Bit n of each nibble belongs to block group n.
  const unsigned c1 = b[1] >> 4, c2 = b[2] & 0x0F, c3 = b[2] >> 4;
  const unsigned n1 = b[0] & 0x0F, n2 = b[0] >> 4, n3 = b[1] & 0x0F;
  AccessBits bits;
  bits.valid = ((c1 ^ n1) == 0x0F) && ((c2 ^ n2) == 0x0F) && ((c3 ^ n3) == 0x0F);
  for (unsigned g = 0; g < 4; ++g) {
    bits.group[g] =
        static_cast<uint8_t>((((c1 >> g) & 1) << 2) | (((c2 >> g) & 1) << 1) | ((c3 >> g) & 1));
  }
  return bits;
}

std::array<uint8_t, 3> encode_access(const std::array<uint8_t, 4>& groups) {
  unsigned c1 = 0, c2 = 0, c3 = 0;
  for (unsigned g = 0; g < 4; ++g) {
    c1 |= ((groups[g] >> 2) & 1u) << g;
    c2 |= ((groups[g] >> 1) & 1u) << g;
    c3 |= (groups[g] & 1u) << g;
  }
  return {static_cast<uint8_t>(((~c2 & 0x0F) << 4) | (~c1 & 0x0F)),
          static_cast<uint8_t>((c1 << 4) | (~c3 & 0x0F)), static_cast<uint8_t>((c3 << 4) | c2)};
}

DataBlockRights data_rights(uint8_t c) {
  switch (c & 7) {
    case 0b000:
      return {kEither, kEither, kEither, kEither};
    case 0b010:
      return {kEither, kNever, kNever, kNever};
    case 0b100:
      return {kEither, kKeyB, kNever, kNever};
    case 0b110:
      return {kEither, kKeyB, kKeyB, kEither};
    case 0b001:
      return {kEither, kNever, kNever, kEither};
    case 0b011:
      return {kKeyB, kKeyB, kNever, kNever};
    case 0b101:
      return {kKeyB, kNever, kNever, kNever};
    default:
      return {kNever, kNever, kNever, kNever};
  }
}

TrailerRights trailer_rights(uint8_t c) {
  switch (c & 7) {
    case 0b000:
      return {kKeyA, kKeyA, kNever, kKeyA, kKeyA};
    case 0b010:
      return {kNever, kKeyA, kNever, kKeyA, kNever};
    case 0b100:
      return {kKeyB, kEither, kNever, kNever, kKeyB};
    case 0b110:
      return {kNever, kEither, kNever, kNever, kNever};
    case 0b001:
      return {kKeyA, kKeyA, kKeyA, kKeyA, kKeyA};
    case 0b011:
      return {kKeyB, kEither, kKeyB, kNever, kKeyB};
    case 0b101:
      return {kNever, kEither, kKeyB, kNever, kNever};
    default:
      return {kNever, kEither, kNever, kNever, kNever};
  }
}

bool key_b_readable(uint8_t c) {
  return trailer_rights(c).key_b_read != kNever;
}

Block make_value_block(int32_t value, uint8_t address) {
  const uint32_t v = static_cast<uint32_t>(value);
  Block b{};
  for (int i = 0; i < 4; ++i) {
    const uint8_t byte = static_cast<uint8_t>(v >> (8 * i));
    b[i] = byte;
    b[4 + i] = static_cast<uint8_t>(~byte);
    b[8 + i] = byte;
  }
  b[12] = address;
  b[13] = static_cast<uint8_t>(~address);
  b[14] = address;
  b[15] = static_cast<uint8_t>(~address);
  return b;
}

bool parse_value_block(const Block& b, int32_t* value, uint8_t* address) {
  for (int i = 0; i < 4; ++i) {
    if (b[i] != b[8 + i] || static_cast<uint8_t>(~b[i]) != b[4 + i]) return false;
  }
  if (b[12] != b[14] || static_cast<uint8_t>(~b[12]) != b[13] ||
      static_cast<uint8_t>(~b[12]) != b[15]) {
    return false;
  }
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(b[i]) << (8 * i);
  *value = static_cast<int32_t>(v);
  *address = b[12];
  return true;
}

uint8_t bcc_of(const Uid& uid) {
  return uid[0] ^ uid[1] ^ uid[2] ^ uid[3];
}

Card::Card(CardType type, const Uid& uid)
    : type_(type), uid_(uid), memory_(Geometry::bytes(type), 0) {
  uint8_t* b0 = block_ptr(0);
  std::memcpy(b0, uid.data(), kUidSize);
  b0[4] = bcc_of(uid);
  b0[5] = sak();
  b0[6] = atqa()[0];
  b0[7] = atqa()[1];
  std::memcpy(b0 + 8, kManufacturerData, sizeof kManufacturerData);
  static const uint8_t kTransportTrailer[kBlockSize] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                                        0xFF, 0x07, 0x80, 0x69, 0xFF, 0xFF,
                                                        0xFF, 0xFF, 0xFF, 0xFF};
  for (size_t s = 0; s < Geometry::sectors(type); ++s) {
    std::memcpy(block_ptr(Geometry::trailer_of(s)), kTransportTrailer, kBlockSize);
  }
}

bool Card::from_image(const uint8_t* image, size_t size, Card* card) {
  CardType type;
  if (size == Geometry::bytes(CardType::k1K)) {
    type = CardType::k1K;
  } else if (size == Geometry::bytes(CardType::k4K)) {
    type = CardType::k4K;
  } else {
    return false;
  }
  Uid uid;
  std::memcpy(uid.data(), image, kUidSize);
  Card loaded(type, uid);
  std::memcpy(loaded.memory_.data(), image, size);
  *card = loaded;
  return true;
}

std::array<uint8_t, 2> Card::atqa() const {
  return type_ == CardType::k1K ? std::array<uint8_t, 2>{0x04, 0x00}
                                : std::array<uint8_t, 2>{0x02, 0x00};
}

uint8_t Card::sak() const {
  return type_ == CardType::k1K ? 0x08 : 0x18;
}

void Card::power_on() {
  state_ = CardState::kIdle;
  woken_from_halt_ = false;
  transfer_valid_ = false;
}

void Card::drop() {
  state_ = woken_from_halt_ ? CardState::kHalted : CardState::kIdle;
  transfer_valid_ = false;
}

Status Card::request(bool all, std::array<uint8_t, 2>* atqa_out) {
  if (state_ == CardState::kIdle || (all && state_ == CardState::kHalted)) {
    woken_from_halt_ = state_ == CardState::kHalted;
    state_ = CardState::kReady;
    *atqa_out = atqa();
    return Status::kOk;
  }
  if (state_ != CardState::kHalted) drop();
  return Status::kNoCard;
}

Status Card::anticollision(Uid* uid, uint8_t* bcc) {
  if (state_ != CardState::kReady) {
    if (state_ != CardState::kIdle && state_ != CardState::kHalted) drop();
    return Status::kNoCard;
  }
  *uid = uid_;
  *bcc = bcc_of(uid_);
  return Status::kOk;
}

Status Card::select(const Uid& uid, uint8_t* sak_out) {
  if (state_ != CardState::kReady) {
    if (state_ != CardState::kIdle && state_ != CardState::kHalted) drop();
    return Status::kNoCard;
  }
  // A select for another UID is not for this card: it stays ready, silent.
  if (uid != uid_) return Status::kNoCard;
  state_ = CardState::kActive;
  *sak_out = sak();
  return Status::kOk;
}

Status Card::halt() {
  if (state_ == CardState::kActive || state_ == CardState::kAuthenticated) {
    state_ = CardState::kHalted;
    woken_from_halt_ = false;
    transfer_valid_ = false;
    return Status::kOk;
  }
  if (state_ == CardState::kReady) drop();
  return Status::kNoCard;
}

AccessBits Card::sector_access(size_t sector) const {
  return decode_access(block_ptr(Geometry::trailer_of(sector)) + 6);
}

size_t Card::group_of(size_t block) {
  const size_t sector = Geometry::sector_of(block);
  const size_t offset = block - Geometry::first_block(sector);
  return Geometry::blocks_in(sector) == 4 ? offset : offset / 5;
}

Status Card::authenticate(KeyType key_type, const Key& key, uint8_t block) {
  if (state_ != CardState::kActive && state_ != CardState::kAuthenticated) {
    if (state_ == CardState::kReady) drop();
    return Status::kNoCard;
  }
  if (block >= blocks()) {
    drop();
    return Status::kNoCard;
  }
  const size_t sector = Geometry::sector_of(block);
  const uint8_t* trailer = block_ptr(Geometry::trailer_of(sector));
  const AccessBits access = sector_access(sector);
  if (key_type == KeyType::kB && access.valid && key_b_readable(access.group[3])) {
    drop();
    return Status::kForbidden;
  }
  const uint8_t* stored = trailer + (key_type == KeyType::kA ? 0 : 10);
  if (std::memcmp(stored, key.data(), kKeySize) != 0) {
    drop();
    return Status::kWrongKey;
  }
  state_ = CardState::kAuthenticated;
  auth_sector_ = sector;
  auth_key_ = key_type;
  transfer_valid_ = false;
  return Status::kOk;
}

Status Card::check_data_access(uint8_t block, Op op, Status outside) const {
  if (state_ != CardState::kAuthenticated) return Status::kNoCard;
  if (block >= blocks()) return outside;
  if (Geometry::sector_of(block) != auth_sector_) return Status::kNoCard;
  const AccessBits access = sector_access(auth_sector_);
  if (!access.valid) return Status::kForbidden;
  if (Geometry::is_trailer(block))
    return Status::kForbidden;  // callers handle trailer reads/writes
  if (block == 0 && (op == Op::kWrite)) return Status::kForbidden;
  const DataBlockRights r = data_rights(access.group[group_of(block)]);
  const uint8_t keys = op == Op::kRead        ? r.read
                       : op == Op::kWrite     ? r.write
                       : op == Op::kIncrement ? r.increment
                                              : r.decrement;
  return allowed(keys, auth_key_) ? Status::kOk : Status::kForbidden;
}

Status Card::read(uint8_t block, Block* out) {
  if (state_ == CardState::kAuthenticated && block < blocks() && Geometry::is_trailer(block) &&
      Geometry::sector_of(block) == auth_sector_) {
    const AccessBits access = sector_access(auth_sector_);
    if (!access.valid) return Status::kForbidden;
    const TrailerRights r = trailer_rights(access.group[3]);
    const uint8_t* t = block_ptr(block);
    Block b{};  // key A never reads back
    if (allowed(r.access_read, auth_key_)) std::memcpy(b.data() + 6, t + 6, 4);
    if (allowed(r.key_b_read, auth_key_)) std::memcpy(b.data() + 10, t + 10, 6);
    if (!allowed(r.access_read, auth_key_) && !allowed(r.key_b_read, auth_key_)) {
      return Status::kForbidden;
    }
    *out = b;
    return Status::kOk;
  }
  const Status s = check_data_access(block, Op::kRead, Status::kReadOutside);
  if (s != Status::kOk) return s;
  std::memcpy(out->data(), block_ptr(block), kBlockSize);
  return Status::kOk;
}

Status Card::write(uint8_t block, const Block& data) {
  if (state_ == CardState::kAuthenticated && block < blocks() && Geometry::is_trailer(block) &&
      Geometry::sector_of(block) == auth_sector_) {
    const AccessBits access = sector_access(auth_sector_);
    if (!access.valid) return Status::kForbidden;
    const TrailerRights r = trailer_rights(access.group[3]);
    const bool key_a = allowed(r.key_a_write, auth_key_);
    const bool bits = allowed(r.access_write, auth_key_);
    const bool key_b = allowed(r.key_b_write, auth_key_);
    if (!key_a && !bits && !key_b) return Status::kForbidden;
    // The parts the key may not change keep their old contents.
    uint8_t* t = block_ptr(block);
    if (key_a) std::memcpy(t, data.data(), 6);
    if (bits) std::memcpy(t + 6, data.data() + 6, 4);
    if (key_b) std::memcpy(t + 10, data.data() + 10, 6);
    return Status::kOk;
  }
  const Status s = check_data_access(block, Op::kWrite, Status::kWriteOutside);
  if (s != Status::kOk) return s;
  std::memcpy(block_ptr(block), data.data(), kBlockSize);
  return Status::kOk;
}

Status Card::value_op(uint8_t block, int64_t delta, Op op, Status not_value) {
  const Status s = check_data_access(block, op, Status::kReadOutside);
  if (s != Status::kOk) return s;
  Block b;
  std::memcpy(b.data(), block_ptr(block), kBlockSize);
  int32_t value;
  uint8_t address;
  if (!parse_value_block(b, &value, &address)) return not_value;
  const int64_t result = static_cast<int64_t>(value) + delta;
  if (result > INT32_MAX || result < INT32_MIN) return Status::kOverflow;
  transfer_ = make_value_block(static_cast<int32_t>(result), address);
  transfer_valid_ = true;
  return Status::kOk;
}

Status Card::increment(uint8_t block, int32_t operand) {
  return value_op(block, operand, Op::kIncrement, Status::kNotIncrementable);
}

Status Card::decrement(uint8_t block, int32_t operand) {
  return value_op(block, -static_cast<int64_t>(operand), Op::kDecrement, Status::kNotDecrementable);
}

Status Card::restore(uint8_t block) {
  return value_op(block, 0, Op::kDecrement, Status::kNotDecrementable);
}

Status Card::transfer(uint8_t block) {
  if (state_ != CardState::kAuthenticated) return Status::kNoCard;
  if (block >= blocks()) return Status::kWriteOutside;
  if (Geometry::sector_of(block) != auth_sector_) return Status::kNoCard;
  if (!transfer_valid_) return Status::kNothingToTransfer;
  if (block == 0 || Geometry::is_trailer(block)) return Status::kForbidden;
  const Status s = check_data_access(block, Op::kDecrement, Status::kWriteOutside);
  if (s != Status::kOk) return s;
  std::memcpy(block_ptr(block), transfer_.data(), kBlockSize);
  transfer_valid_ = false;
  return Status::kOk;
}

}  // namespace zubsim
