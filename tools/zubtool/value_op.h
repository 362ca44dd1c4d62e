// Value blocks changed on the card: set, or incremented or decremented and
// transferred back, the block looked at first. `zubtool value` and the
// workbench run this one operation and verify its result as they report it.
#ifndef ZUBTOOL_VALUE_OP_H
#define ZUBTOOL_VALUE_OP_H

#include <cstdint>
#include <optional>
#include <string>

#include "args.h"
#include "session.h"
#include "verify.h"

namespace zubtool {

struct ValueChange {
  Access access;                  // how the sector was opened; access.result: the operation's
  std::string what;               // the operation in words, for AccessFailure ("increment block 5")
  Bytes data;                     // get: the block; increment, decrement: the block before
  bool notValue = false;          // increment, decrement: not a value block, nothing changed
  std::optional<Bytes> expected;  // what the block is to hold afterwards
  std::optional<int32_t> previous;  // increment, decrement: the value before
};

// Runs `op` on `block`: kGet reads it; kSet writes `amount` with `address`;
// kInc and kDec read it first (a block that is not a value block is left as
// it is, `notValue`), then count by `amount` and transfer. Nothing is read
// back: the caller verifies against `expected`.
ValueChange ChangeValue(CardSession& session, std::optional<int> keyType, int block, ValueOp op,
                        int32_t amount, uint8_t address);

// A value operation and its block read back once, as `zubtool value` and
// the workbench's value route report it: the read that verifies the block is
// the read that shows its value.
struct ValueResult {
  enum Problem {
    kNone,
    kRefused,        // change.access.result: the sector was not opened or the card refused
    kNotValue,       // not a value block before the operation; nothing was changed
    kDiffers,        // outcome.failure: the block read back is not what it should hold
    kNotValueAfter,  // the block read back is not a value block
    kOtherValue,     // set: the block read back holds another value
  };
  Problem problem = kNone;
  ValueChange change;               // change.data: the block as last read
  WriteOutcome outcome;             // the read-back check, where there was one
  int32_t readResult = 0;           // nonzero: the block could not be read back to show it
  std::optional<ValueBlock> value;  // the block read back, decoded
};

// ChangeValue, then (where `verify` and the result fits in 32 bits) the block
// read back and compared with what it should hold, else read to be shown;
// then decoded, and a set value compared.
ValueResult ApplyValue(CardSession& session, std::optional<int> keyType, int block, ValueOp op,
                       int32_t amount, uint8_t address, bool verify);

}  // namespace zubtool

#endif  // ZUBTOOL_VALUE_OP_H
