// The card model against the behaviour of MIFARE Classic cards.
#include "card_model.h"
#include "config.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>

namespace zubsim {
inline std::ostream& operator<<(std::ostream& os, Status s) {
  return os << int(s);
}
inline std::ostream& operator<<(std::ostream& os, CardState s) {
  return os << int(s);
}
}  // namespace zubsim

namespace {

using namespace zubsim;

const Key kDefault = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
const Key kSecretA = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
const Key kSecretB = {0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5};
constexpr uint8_t kTrailerKeyBSecret = 0b011;  // key B not readable, so usable

// A card whose `sector` has keys kSecretA / kSecretB and the given access groups.
Card card_with_sector(size_t sector, const std::array<uint8_t, 4>& groups,
                      CardType type = CardType::k1K) {
  std::vector<uint8_t> image = Card(type, kDefaultUid).image();
  uint8_t* t = image.data() + Geometry::trailer_of(sector) * kBlockSize;
  std::memcpy(t, kSecretA.data(), 6);
  const auto bits = encode_access(groups);
  std::memcpy(t + 6, bits.data(), 3);
  t[9] = 0x69;
  std::memcpy(t + 10, kSecretB.data(), 6);
  Card card(type, kDefaultUid);
  EXPECT_TRUE(Card::from_image(image.data(), image.size(), &card));
  card.power_on();
  return card;
}

void select(Card& card) {
  std::array<uint8_t, 2> atqa;
  uint8_t sak;
  ASSERT_EQ(card.request(false, &atqa), Status::kOk);
  ASSERT_EQ(card.select(card.uid(), &sak), Status::kOk);
}

void put_value(Card& card, uint8_t block, int32_t value) {
  // Written as the card's owner would: via an image.
  std::vector<uint8_t> image = card.image();
  const Block v = make_value_block(value, block);
  std::memcpy(image.data() + block * kBlockSize, v.data(), kBlockSize);
  ASSERT_TRUE(Card::from_image(image.data(), image.size(), &card));
  card.power_on();
}

int32_t value_at(const Card& card, uint8_t block) {
  Block b;
  std::memcpy(b.data(), card.image().data() + block * kBlockSize, kBlockSize);
  int32_t value = 0;
  uint8_t address = 0;
  EXPECT_TRUE(parse_value_block(b, &value, &address)) << "block " << int(block);
  return value;
}

TEST(CardGeometry, SectorsAndTrailers) {
  struct Case {
    size_t block, sector;
    bool trailer;
  } cases[] = {{0, 0, false},    {3, 0, true},     {4, 1, false},    {63, 15, true},
               {127, 31, true},  {128, 32, false}, {142, 32, false}, {143, 32, true},
               {144, 33, false}, {255, 39, true}};
  for (const Case& c : cases) {
    EXPECT_EQ(Geometry::sector_of(c.block), c.sector) << c.block;
    EXPECT_EQ(Geometry::is_trailer(c.block), c.trailer) << c.block;
  }
  EXPECT_EQ(Geometry::bytes(CardType::k1K), 1024u);
  EXPECT_EQ(Geometry::bytes(CardType::k4K), 4096u);
}

TEST(CardIdentity, BlockZeroAtqaSakAndBcc) {
  EXPECT_EQ(bcc_of(kDefaultUid), 0xB9);
  Card k1(CardType::k1K, kDefaultUid), k4(CardType::k4K, kDefaultUid);
  EXPECT_EQ(k1.atqa(), (std::array<uint8_t, 2>{0x04, 0x00}));
  EXPECT_EQ(k4.atqa(), (std::array<uint8_t, 2>{0x02, 0x00}));
  EXPECT_EQ(k1.sak(), 0x08);
  EXPECT_EQ(k4.sak(), 0x18);
  const uint8_t head[8] = {0x1A, 0x7B, 0x8C, 0x54, 0xB9, 0x08, 0x04, 0x00};
  EXPECT_EQ(std::memcmp(k1.image().data(), head, 8), 0);
  // Every trailer in transport configuration.
  for (size_t s = 0; s < Geometry::sectors(CardType::k4K); ++s) {
    const uint8_t* t = k4.image().data() + Geometry::trailer_of(s) * kBlockSize;
    const uint8_t expected[16] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x07,
                                  0x80, 0x69, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(std::memcmp(t, expected, 16), 0) << "sector " << s;
  }
}

TEST(CardImage, OnlyTheTwoSizesMakeACard) {
  Card card(CardType::k1K, kDefaultUid);
  std::vector<uint8_t> bytes(4096, 0);
  bytes[0] = 0x11;
  bytes[3] = 0x44;
  for (size_t size : {0u, 16u, 1023u, 1025u, 2048u, 4095u, 4097u}) {
    EXPECT_FALSE(Card::from_image(bytes.data(), size, &card)) << size;
  }
  EXPECT_EQ(card.type(), CardType::k1K);
  ASSERT_TRUE(Card::from_image(bytes.data(), 4096, &card));
  EXPECT_EQ(card.type(), CardType::k4K);
  EXPECT_EQ(card.uid(), (Uid{0x11, 0, 0, 0x44}));
  EXPECT_EQ(card.image(), bytes);
}

TEST(AccessBits, TransportAndKnownEncodings) {
  const uint8_t transport[3] = {0xFF, 0x07, 0x80};
  AccessBits bits = decode_access(transport);
  EXPECT_TRUE(bits.valid);
  EXPECT_EQ(bits.group, (std::array<uint8_t, 4>{0, 0, 0, 0b001}));
  // 7F 07 88: data blocks 000, trailer 011.
  const uint8_t keyb[3] = {0x7F, 0x07, 0x88};
  bits = decode_access(keyb);
  EXPECT_TRUE(bits.valid);
  EXPECT_EQ(bits.group, (std::array<uint8_t, 4>{0, 0, 0, 0b011}));
}

TEST(AccessBits, EveryCombinationRoundTripsAndAnyFlippedBitIsInvalid) {
  for (unsigned n = 0; n < 4096; ++n) {
    const std::array<uint8_t, 4> groups = {uint8_t(n & 7), uint8_t((n >> 3) & 7),
                                           uint8_t((n >> 6) & 7), uint8_t((n >> 9) & 7)};
    auto bytes = encode_access(groups);
    const AccessBits bits = decode_access(bytes.data());
    ASSERT_TRUE(bits.valid) << n;
    ASSERT_EQ(bits.group, groups) << n;
    for (unsigned bit = 0; bit < 24; bit += 5) {
      auto broken = bytes;
      broken[bit / 8] ^= uint8_t(1u << (bit % 8));
      ASSERT_FALSE(decode_access(broken.data()).valid) << n << " bit " << bit;
    }
  }
}

TEST(ValueBlock, EncodingOfTheReferenceValue) {
  const Block expected = {0x87, 0xD6, 0x12, 0x00, 0x78, 0x29, 0xED, 0xFF,
                          0x87, 0xD6, 0x12, 0x00, 0x11, 0xEE, 0x11, 0xEE};
  EXPECT_EQ(make_value_block(1234567, 17), expected);
  int32_t value;
  uint8_t address;
  ASSERT_TRUE(parse_value_block(expected, &value, &address));
  EXPECT_EQ(value, 1234567);
  EXPECT_EQ(address, 17);
  ASSERT_TRUE(parse_value_block(make_value_block(-5, 0), &value, &address));
  EXPECT_EQ(value, -5);
}

TEST(ValueBlock, AnyCorruptedByteIsNotAValue) {
  const Block good = make_value_block(1234567, 17);
  for (size_t i = 0; i < kBlockSize; ++i) {
    Block bad = good;
    bad[i] ^= 0x40;
    int32_t value;
    uint8_t address;
    EXPECT_FALSE(parse_value_block(bad, &value, &address)) << "byte " << i;
  }
}

// Access conditions of data blocks: what each key may do under C1C2C3.
TEST(CardAccess, DataBlockTable) {
  enum : uint8_t { _ = kNever, A = zubsim::kKeyA, B = zubsim::kKeyB, AB = kEither };
  struct Row {
    uint8_t c, read, write, increment, decrement;
  } table[] = {
      {0b000, AB, AB, AB, AB}, {0b010, AB, _, _, _}, {0b100, AB, B, _, _}, {0b110, AB, B, B, AB},
      {0b001, AB, _, _, AB},   {0b011, B, B, _, _},  {0b101, B, _, _, _},  {0b111, _, _, _, _},
  };
  for (const Row& row : table) {
    for (KeyType key : {KeyType::kA, KeyType::kB}) {
      const uint8_t bit = key == KeyType::kA ? A : B;
      const Key& k = key == KeyType::kA ? kSecretA : kSecretB;
      auto expect = [&](uint8_t keys) { return (keys & bit) ? Status::kOk : Status::kForbidden; };
      SCOPED_TRACE("C1C2C3 " + std::to_string(row.c) + (key == KeyType::kA ? " key A" : " key B"));
      auto fresh = [&] {
        Card card = card_with_sector(1, {row.c, 0, 0, kTrailerKeyBSecret});
        put_value(card, 4, 100);
        select(card);
        EXPECT_EQ(card.authenticate(key, k, 4), Status::kOk);
        return card;
      };
      Card card = fresh();
      Block out;
      EXPECT_EQ(card.read(4, &out), expect(row.read));
      card = fresh();
      EXPECT_EQ(card.write(4, make_value_block(7, 4)), expect(row.write));
      card = fresh();
      EXPECT_EQ(card.increment(4, 1), expect(row.increment));
      card = fresh();
      EXPECT_EQ(card.decrement(4, 1), expect(row.decrement));
      card = fresh();
      EXPECT_EQ(card.restore(4), expect(row.decrement));
      // The other blocks of the sector keep their own (000) conditions.
      EXPECT_EQ(card.read(5, &out), Status::kOk);
    }
  }
}

// Access conditions of the trailer: what each key reads back and may change.
TEST(CardAccess, TrailerTable) {
  enum : uint8_t { _ = kNever, A = zubsim::kKeyA, B = zubsim::kKeyB, AB = kEither };
  struct Row {
    uint8_t c, key_a_write, access_read, access_write, key_b_read, key_b_write;
  } table[] = {
      {0b000, A, A, _, A, A},  {0b010, _, A, _, A, _},  {0b100, B, AB, _, _, B},
      {0b110, _, AB, _, _, _}, {0b001, A, A, A, A, A},  {0b011, B, AB, B, _, B},
      {0b101, _, AB, B, _, _}, {0b111, _, AB, _, _, _},
  };
  const Key new_a = {0x11, 0x11, 0x11, 0x11, 0x11, 0x11};
  const Key new_b = {0x22, 0x22, 0x22, 0x22, 0x22, 0x22};
  for (const Row& row : table) {
    for (KeyType key : {KeyType::kA, KeyType::kB}) {
      SCOPED_TRACE("C1C2C3 " + std::to_string(row.c) + (key == KeyType::kA ? " key A" : " key B"));
      const uint8_t bit = key == KeyType::kA ? A : B;
      const std::array<uint8_t, 4> groups = {0, 0, 0, row.c};
      Card card = card_with_sector(1, groups);
      select(card);
      if (key == KeyType::kB && row.key_b_read != _) {
        // Key B is readable here, so it cannot authenticate.
        EXPECT_EQ(card.authenticate(key, kSecretB, 7), Status::kForbidden);
        EXPECT_EQ(card.state(), CardState::kIdle);
        continue;
      }
      ASSERT_EQ(card.authenticate(key, key == KeyType::kA ? kSecretA : kSecretB, 7), Status::kOk);
      Block out;
      const bool readable = (row.access_read & bit) || (row.key_b_read & bit);
      ASSERT_EQ(card.read(7, &out), readable ? Status::kOk : Status::kForbidden);
      if (readable) {
        Block expected{};  // key A always reads as zeros
        const auto bits = encode_access(groups);
        if (row.access_read & bit) {
          std::memcpy(expected.data() + 6, bits.data(), 3);
          expected[9] = 0x69;
        }
        if (row.key_b_read & bit) std::memcpy(expected.data() + 10, kSecretB.data(), 6);
        EXPECT_EQ(out, expected);
      }
      // Write new keys, the same access bits and a new byte 9: each part
      // changes only if this key may change it.
      Block trailer;
      std::memcpy(trailer.data(), new_a.data(), 6);
      const auto bits = encode_access(groups);
      std::memcpy(trailer.data() + 6, bits.data(), 3);
      trailer[9] = 0x42;
      std::memcpy(trailer.data() + 10, new_b.data(), 6);
      const bool writable = (row.key_a_write | row.access_write | row.key_b_write) & bit;
      EXPECT_EQ(card.write(7, trailer), writable ? Status::kOk : Status::kForbidden);
      const uint8_t* t = card.image().data() + 7 * kBlockSize;
      EXPECT_EQ(std::memcmp(t, ((row.key_a_write & bit) ? new_a : kSecretA).data(), 6), 0);
      EXPECT_EQ(t[9], (row.access_write & bit) ? 0x42 : 0x69);
      EXPECT_EQ(std::memcmp(t + 10, ((row.key_b_write & bit) ? new_b : kSecretB).data(), 6), 0);
    }
  }
}

TEST(CardAccess, TransportConfigurationReadsKeysAsZerosAndRefusesKeyB) {
  Card card(CardType::k1K, kDefaultUid);
  card.power_on();
  select(card);
  EXPECT_EQ(card.authenticate(KeyType::kB, kDefault, 4), Status::kForbidden);
  select(card);
  ASSERT_EQ(card.authenticate(KeyType::kA, kDefault, 4), Status::kOk);
  Block out;
  ASSERT_EQ(card.read(7, &out), Status::kOk);
  const Block expected = {0,    0,    0,    0,    0,    0,    0xFF, 0x07,
                          0x80, 0x69, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(out, expected);
}

TEST(CardAccess, BlockZeroIsReadOnly) {
  Card card(CardType::k1K, kDefaultUid);
  card.power_on();
  select(card);
  ASSERT_EQ(card.authenticate(KeyType::kA, kDefault, 0), Status::kOk);
  Block out;
  ASSERT_EQ(card.read(0, &out), Status::kOk);
  EXPECT_EQ(out[4], 0xB9);
  EXPECT_EQ(card.write(0, Block{}), Status::kForbidden);
  EXPECT_EQ(card.read(0, &out), Status::kOk);
  EXPECT_EQ(out[0], 0x1A);
  EXPECT_EQ(card.write(1, Block{1}), Status::kOk);
}

TEST(CardAccess, BrokenAccessBitsLockTheSector) {
  std::vector<uint8_t> image = Card(CardType::k1K, kDefaultUid).image();
  image[7 * kBlockSize + 6] = 0xFE;  // plain and inverted copies disagree
  Card card(CardType::k1K, kDefaultUid);
  ASSERT_TRUE(Card::from_image(image.data(), image.size(), &card));
  card.power_on();
  select(card);
  ASSERT_EQ(card.authenticate(KeyType::kA, kDefault, 4), Status::kOk);
  Block out;
  EXPECT_EQ(card.read(4, &out), Status::kForbidden);
  EXPECT_EQ(card.read(7, &out), Status::kForbidden);
  EXPECT_EQ(card.write(4, Block{}), Status::kForbidden);
}

TEST(CardAuthentication, WrongKeyNeedsANewRequestAndSelect) {
  Card card = card_with_sector(1, {0, 0, 0, kTrailerKeyBSecret});
  select(card);
  EXPECT_EQ(card.authenticate(KeyType::kA, kSecretB, 4), Status::kWrongKey);
  EXPECT_EQ(card.state(), CardState::kIdle);
  EXPECT_EQ(card.authenticate(KeyType::kA, kSecretA, 4), Status::kNoCard);
  Block out;
  EXPECT_EQ(card.read(4, &out), Status::kNoCard);
  select(card);
  EXPECT_EQ(card.authenticate(KeyType::kA, kSecretA, 4), Status::kOk);
  EXPECT_EQ(card.read(4, &out), Status::kOk);
}

TEST(CardAuthentication, OnlyTheAuthenticatedSectorIsReachable) {
  Card card(CardType::k1K, kDefaultUid);
  card.power_on();
  Block out;
  select(card);
  EXPECT_EQ(card.read(4, &out), Status::kNoCard);  // selected, not authenticated
  ASSERT_EQ(card.authenticate(KeyType::kA, kDefault, 5), Status::kOk);
  EXPECT_EQ(card.read(4, &out), Status::kOk);
  EXPECT_EQ(card.read(8, &out), Status::kNoCard);
  EXPECT_EQ(card.write(8, Block{}), Status::kNoCard);
  // A second authentication moves to another sector.
  ASSERT_EQ(card.authenticate(KeyType::kA, kDefault, 8), Status::kOk);
  EXPECT_EQ(card.read(8, &out), Status::kOk);
  EXPECT_EQ(card.read(4, &out), Status::kNoCard);
  EXPECT_EQ(card.read(64, &out), Status::kReadOutside);
  EXPECT_EQ(card.write(64, Block{}), Status::kWriteOutside);
  EXPECT_EQ(card.transfer(200), Status::kWriteOutside);
  EXPECT_EQ(card.authenticate(KeyType::kA, kDefault, 64), Status::kNoCard);
  EXPECT_EQ(card.state(), CardState::kIdle);
}

TEST(CardStates, HaltAndWake) {
  Card card(CardType::k1K, kDefaultUid);
  card.power_on();
  std::array<uint8_t, 2> atqa;
  uint8_t sak;
  Uid uid;
  uint8_t bcc;
  EXPECT_EQ(card.anticollision(&uid, &bcc), Status::kNoCard);  // idle: not yet requested
  ASSERT_EQ(card.request(false, &atqa), Status::kOk);
  EXPECT_EQ(card.state(), CardState::kReady);
  ASSERT_EQ(card.anticollision(&uid, &bcc), Status::kOk);
  EXPECT_EQ(uid, kDefaultUid);
  EXPECT_EQ(bcc, 0xB9);
  EXPECT_EQ(card.select(Uid{1, 2, 3, 4}, &sak), Status::kNoCard);  // not for this card
  EXPECT_EQ(card.state(), CardState::kReady);
  ASSERT_EQ(card.select(kDefaultUid, &sak), Status::kOk);
  EXPECT_EQ(sak, 0x08);
  ASSERT_EQ(card.halt(), Status::kOk);
  EXPECT_EQ(card.state(), CardState::kHalted);
  EXPECT_EQ(card.request(false, &atqa), Status::kNoCard);  // request idle: halted stays asleep
  EXPECT_EQ(card.state(), CardState::kHalted);
  ASSERT_EQ(card.request(true, &atqa), Status::kOk);  // request all wakes it
  EXPECT_EQ(atqa, (std::array<uint8_t, 2>{0x04, 0x00}));
  // Woken from halt, a command out of turn sends it back to halt.
  EXPECT_EQ(card.halt(), Status::kNoCard);
  EXPECT_EQ(card.state(), CardState::kHalted);
  // A card out of the field and back is idle again.
  card.power_on();
  EXPECT_EQ(card.state(), CardState::kIdle);
  EXPECT_EQ(card.request(false, &atqa), Status::kOk);
}

TEST(CardStates, RequestToASelectedCardDropsItToIdle) {
  Card card(CardType::k1K, kDefaultUid);
  card.power_on();
  select(card);
  std::array<uint8_t, 2> atqa;
  EXPECT_EQ(card.request(false, &atqa), Status::kNoCard);
  EXPECT_EQ(card.state(), CardState::kIdle);
  EXPECT_EQ(card.request(false, &atqa), Status::kOk);
}

TEST(CardValues, IncrementDecrementRestoreTransfer) {
  Card card(CardType::k1K, kDefaultUid);
  put_value(card, 5, 1000);
  select(card);
  ASSERT_EQ(card.authenticate(KeyType::kA, kDefault, 4), Status::kOk);
  EXPECT_EQ(card.transfer(5), Status::kNothingToTransfer);
  ASSERT_EQ(card.increment(5, 234), Status::kOk);
  EXPECT_EQ(value_at(card, 5), 1000);  // only the transfer writes
  ASSERT_EQ(card.transfer(5), Status::kOk);
  EXPECT_EQ(value_at(card, 5), 1234);
  EXPECT_EQ(card.transfer(5), Status::kNothingToTransfer);  // used up
  ASSERT_EQ(card.decrement(5, 2000), Status::kOk);
  ASSERT_EQ(card.transfer(5), Status::kOk);
  EXPECT_EQ(value_at(card, 5), -766);
  // Restore and transfer copy a value to another block of the sector; the
  // copy keeps the address byte of its source.
  ASSERT_EQ(card.restore(5), Status::kOk);
  ASSERT_EQ(card.transfer(6), Status::kOk);
  EXPECT_EQ(value_at(card, 6), -766);
  EXPECT_EQ(card.image()[6 * kBlockSize + 12], 5);
  // Not into the trailer or another sector.
  ASSERT_EQ(card.restore(5), Status::kOk);
  EXPECT_EQ(card.transfer(7), Status::kForbidden);
  EXPECT_EQ(card.transfer(8), Status::kNoCard);
}

TEST(CardValues, Refusals) {
  Card card(CardType::k1K, kDefaultUid);
  put_value(card, 5, INT32_MAX - 1);
  put_value(card, 6, INT32_MIN + 1);
  select(card);
  ASSERT_EQ(card.authenticate(KeyType::kA, kDefault, 4), Status::kOk);
  EXPECT_EQ(card.increment(5, 2), Status::kOverflow);
  EXPECT_EQ(card.increment(5, 1), Status::kOk);
  EXPECT_EQ(card.decrement(6, 2), Status::kOverflow);
  EXPECT_EQ(card.increment(4, 1), Status::kNotIncrementable);  // zeros: not a value
  EXPECT_EQ(card.decrement(4, 1), Status::kNotDecrementable);
  EXPECT_EQ(card.restore(4), Status::kNotDecrementable);
  EXPECT_EQ(card.increment(7, 1), Status::kForbidden);  // the trailer
  EXPECT_EQ(card.increment(64, 1), Status::kReadOutside);
  // Refusals leave the card authenticated.
  EXPECT_EQ(card.state(), CardState::kAuthenticated);
}

TEST(Card4K, LargeSectorsAndIdentity) {
  Card card = card_with_sector(36, {0b000, 0b010, 0b000, kTrailerKeyBSecret}, CardType::k4K);
  std::array<uint8_t, 2> atqa;
  uint8_t sak;
  ASSERT_EQ(card.request(false, &atqa), Status::kOk);
  EXPECT_EQ(atqa, (std::array<uint8_t, 2>{0x02, 0x00}));
  ASSERT_EQ(card.select(kDefaultUid, &sak), Status::kOk);
  EXPECT_EQ(sak, 0x18);
  // Sector 36 is blocks 192 to 207; groups of five blocks: 192-196, 197-201, 202-206.
  ASSERT_EQ(card.authenticate(KeyType::kA, kSecretA, 200), Status::kOk);
  EXPECT_EQ(card.write(196, Block{1}), Status::kOk);
  EXPECT_EQ(card.write(197, Block{1}), Status::kForbidden);
  EXPECT_EQ(card.write(201, Block{1}), Status::kForbidden);
  EXPECT_EQ(card.write(202, Block{1}), Status::kOk);
  EXPECT_EQ(card.write(208, Block{1}), Status::kNoCard);  // next sector
  Block out;
  ASSERT_EQ(card.read(207, &out), Status::kOk);
  EXPECT_EQ(out[0], 0);  // key A hidden
  EXPECT_EQ(card.read(255, &out), Status::kNoCard);
}

}  // namespace
