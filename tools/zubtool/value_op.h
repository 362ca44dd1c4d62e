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

}  // namespace zubtool

#endif  // ZUBTOOL_VALUE_OP_H
