#include "value_op.h"

#include <cstdint>

namespace zubtool {

ValueChange ChangeValue(CardSession& session, std::optional<int> keyType, int block, ValueOp op,
                        int32_t amount, uint8_t address) {
  CardCalls& reader = session.Reader();
  const std::string number = std::to_string(block);
  ValueChange c;
  switch (op) {
    case ValueOp::kGet:
      c.what = "read block " + number;
      c.access = WithAccess(session, keyType, block, [&] { return reader.Read(block, &c.data); });
      break;
    case ValueOp::kSet:
      c.what = "write value block " + number;
      c.expected = EncodeValueBlock(amount, address);
      c.access =
          WithAccess(session, keyType, block, [&] { return reader.Write(block, *c.expected); });
      break;
    case ValueOp::kInc:
    case ValueOp::kDec: {
      const bool inc = op == ValueOp::kInc;
      c.what = std::string(inc ? "increment" : "decrement") + " block " + number;
      c.access = WithAccess(session, keyType, block, [&] {
        // The block is looked at first: a block that is not a value block is
        // reported as such, and the card is not asked to count on it.
        if (reader.Read(block, &c.data) == 0) {
          auto old = DecodeValueBlock(c.data);
          if (!old) {
            c.notValue = true;
            return 0;
          }
          c.previous = old->value;
          const int64_t result = static_cast<int64_t>(old->value) + (inc ? amount : -amount);
          if (result >= INT32_MIN && result <= INT32_MAX)
            c.expected = EncodeValueBlock(static_cast<int32_t>(result), old->address);
        }
        int32_t r = inc ? reader.Increment(block, amount) : reader.Decrement(block, amount);
        if (r == 0) {
          r = reader.Transfer(block);
          if (r != 0) c.what = "transfer into block " + number;
        }
        return r;
      });
      break;
    }
  }
  return c;
}

ValueResult ApplyValue(CardSession& session, std::optional<int> keyType, int block, ValueOp op,
                       int32_t amount, uint8_t address, bool verify) {
  ValueResult result;
  result.change = ChangeValue(session, keyType, block, op, amount, address);
  const ValueChange& change = result.change;
  if (change.access.result != 0) {
    result.problem = ValueResult::kRefused;
    return result;
  }
  if (change.notValue) {
    result.problem = ValueResult::kNotValue;
    return result;
  }
  Bytes& data = result.change.data;
  // get's own read shows the value; a read that verifies shows it too.
  bool shown = op == ValueOp::kGet;
  result.outcome.access = change.access;
  if (change.expected && verify) {
    ReadBack(session, block, *change.expected, change.access.keyType, &result.outcome);
    if (!result.outcome.failure.empty()) {
      result.problem = ValueResult::kDiffers;
      return result;
    }
    if (result.outcome.checked) {
      data = result.outcome.held;
      shown = true;
    }
  }
  if (!shown) result.readResult = session.Reader().Read(block, &data);
  if (result.readResult != 0) return result;
  result.value = DecodeValueBlock(data);
  if (!result.value) {
    result.problem = ValueResult::kNotValueAfter;
  } else if (op == ValueOp::kSet && result.value->value != amount) {
    result.problem = ValueResult::kOtherValue;
  }
  return result;
}

}  // namespace zubtool
