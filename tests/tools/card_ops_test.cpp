// A block write and a value operation judged as `zubtool write`, `zubtool
// value` and the workbench report them, on a card in memory whose faults
// are set per case.
#include <gtest/gtest.h>

#include <map>

#include "value_op.h"
#include "verify.h"

namespace zubtool {
namespace {

// A card of 16-byte blocks. A value operation counts into a register that
// Transfer stores; `keepsWrites` false: writes are answered but not stored.
class MemoryCard : public CardCalls {
 public:
  std::map<int, Bytes> blocks;
  bool keepsWrites = true;
  int32_t writeResult = 0, readResult = 0;
  int reads = 0;

  int32_t Request(bool, uint16_t* atqa) override {
    *atqa = 0x0004;
    return 0;
  }
  int32_t Anticollision(std::string* serial) override {
    *serial = "0102030404";
    return 0;
  }
  int32_t Select(const std::string&, uint8_t* sak) override {
    *sak = 0x08;
    return 0;
  }
  int32_t LoadKey(int, int, const Bytes&) override { return 0; }
  int32_t Authenticate(int, int, int) override { return 0; }
  int32_t Read(int block, Bytes* data) override {
    ++reads;
    if (readResult == 0) *data = blocks[block];
    return readResult;
  }
  int32_t Write(int block, const Bytes& data) override {
    if (writeResult == 0 && keepsWrites) blocks[block] = data;
    return writeResult;
  }
  int32_t Increment(int block, int32_t value) override { return Count(block, value); }
  int32_t Decrement(int block, int32_t value) override { return Count(block, -value); }
  int32_t Transfer(int block) override {
    if (keepsWrites) blocks[block] = EncodeValueBlock(counted_, address_);
    return 0;
  }
  int32_t Halt() override { return 0; }

 private:
  int32_t Count(int block, int32_t by) {
    auto value = DecodeValueBlock(blocks[block]);
    if (!value) return 1;
    counted_ = static_cast<int32_t>(static_cast<int64_t>(value->value) + by);
    address_ = value->address;
    return 0;
  }
  int32_t counted_ = 0;
  uint8_t address_ = 0;
};

struct Fixture {
  MemoryCard card;
  CardSession session{card, PackedKeys(std::vector<Bytes>{Bytes(6, 0xFF)})};
  Fixture() { EXPECT_EQ(session.Find(), 0); }
};

TEST(ApplyValue, EachProblemIsFoundWithOneReadBack) {
  const Bytes five = EncodeValueBlock(5, 4);
  const struct Case {
    const char* name;
    ValueOp op;
    int32_t amount;
    Bytes before;
    bool keepsWrites;
    ValueResult::Problem problem;
    std::optional<int32_t> value;  // decoded afterwards
  } cases[] = {
      {"get", ValueOp::kGet, 0, five, true, ValueResult::kNone, 5},
      {"set", ValueOp::kSet, -7, Bytes(16, 0), true, ValueResult::kNone, -7},
      {"inc", ValueOp::kInc, 3, five, true, ValueResult::kNone, 8},
      {"dec", ValueOp::kDec, 6, five, true, ValueResult::kNone, -1},
      {"inc on data", ValueOp::kInc, 1, Bytes(16, 0x11), true, ValueResult::kNotValue, {}},
      {"set not stored", ValueOp::kSet, 9, five, false, ValueResult::kDiffers, {}},
      {"get on data", ValueOp::kGet, 0, Bytes(16, 0x11), true, ValueResult::kNotValueAfter, {}},
  };
  for (const auto& c : cases) {
    Fixture f;
    f.card.blocks[4] = c.before;
    f.card.keepsWrites = c.keepsWrites;
    const ValueResult r = ApplyValue(f.session, kKeyA, 4, c.op, c.amount, 4, true);
    EXPECT_EQ(r.problem, c.problem) << c.name;
    EXPECT_EQ(r.readResult, 0) << c.name;
    EXPECT_EQ(r.value.has_value(), c.value.has_value()) << c.name;
    if (r.value && c.value) {
      EXPECT_EQ(r.value->value, *c.value) << c.name;
    }
    // The operation's own read (get, inc, dec) and the read-back: no more.
    EXPECT_LE(f.card.reads, c.op == ValueOp::kSet ? 1 : 2) << c.name;
  }
}

TEST(ApplyValue, UnverifiedAndUnreadableResultsAreNoProblemButSaySo) {
  Fixture f;
  f.card.blocks[4] = EncodeValueBlock(5, 4);
  ValueResult r = ApplyValue(f.session, kKeyA, 4, ValueOp::kInc, 2, 4, false);
  EXPECT_EQ(r.problem, ValueResult::kNone);
  EXPECT_FALSE(r.outcome.checked);
  ASSERT_TRUE(r.value);  // read to be shown
  EXPECT_EQ(r.value->value, 7);

  // An increment past 32 bits has nothing to compare with; a read refused
  // afterwards leaves the value unknown.
  f.card.blocks[4] = EncodeValueBlock(INT32_MAX, 4);
  f.card.keepsWrites = false;
  r = ApplyValue(f.session, kKeyA, 4, ValueOp::kInc, 1, 4, true);
  EXPECT_FALSE(r.change.expected);
  EXPECT_EQ(r.problem, ValueResult::kNone);
  EXPECT_EQ(r.value->value, INT32_MAX);
}

TEST(WriteBlock, RefusalsCarryTheCodeDifferencesDoNot) {
  Fixture f;
  const Bytes data = *ParseHex("00112233445566778899AABBCCDDEEFF");
  BlockWriteResult r = WriteBlock(f.session, kKeyA, 5, data, true);
  EXPECT_EQ(r.error, "");
  EXPECT_TRUE(r.outcome.checked);
  EXPECT_EQ(r.outcome.held, data);

  f.card.writeResult = kNoPermission;
  r = WriteBlock(f.session, kKeyA, 6, data, true);
  EXPECT_NE(r.error, "");
  EXPECT_EQ(r.code, kNoPermission);

  f.card.writeResult = 0;
  f.card.keepsWrites = false;
  r = WriteBlock(f.session, kKeyA, 6, data, true);
  EXPECT_NE(r.error.find("does not hold what was written"), std::string::npos) << r.error;
  EXPECT_FALSE(r.code);
}

TEST(WriteBlock, ATrailerThatShowsKeyBWarns) {
  Fixture f;
  // 000 for the trailer: key A reads key B.
  const Bytes readable = *ParseHex("FFFFFFFFFFFF FF0F00 69 B0B1B2B3B4B5");
  EXPECT_EQ(WriteBlock(f.session, kKeyA, 7, readable, false).warnings.size(), 1u);
  // 011: key B hidden, a key.
  const Bytes hidden = *ParseHex("FFFFFFFFFFFF 7F0788 69 B0B1B2B3B4B5");
  EXPECT_TRUE(WriteBlock(f.session, kKeyA, 11, hidden, false).warnings.empty());
  EXPECT_TRUE(WriteBlock(f.session, kKeyA, 4, readable, false).warnings.empty());
}

}  // namespace
}  // namespace zubtool
