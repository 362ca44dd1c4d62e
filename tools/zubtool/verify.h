// Verified writes: every block zubtool writes is read back, within the same
// authentication, and compared with what was sent. One read per block
// written. A trailer is compared where the key that opened the sector may
// read it: the access bits (and byte 9) where the conditions show them to
// that key, key B where key A may read it; key A never reads back (the card
// shows zeros in its place).
#ifndef ZUBTOOL_VERIFY_H
#define ZUBTOOL_VERIFY_H

#include <optional>
#include <string>
#include <vector>

#include "session.h"

namespace zubtool {

// How a block read back compares with what was written to it by key
// `keyType`: "" when it holds what was sent, else what differs ("access bits
// and byte 9", "the block"). `notes` gets what could not be compared ("key A
// not verifiable").
std::string CompareReadBack(int block, const Bytes& sent, const Bytes& held, int keyType,
                            std::vector<std::string>* notes);

// Whether `set` holds key `keyType`.
bool Allows(KeySet set, int keyType);

struct WriteOutcome {
  Access access;         // how the sector was opened; access.result: the write's
  bool checked = false;  // read back and compared
  Bytes held;            // the block as read back
  // Not empty: the card does not hold what was sent, or it could not be read
  // back; the error text names the block, what was sent and what is held.
  std::string failure;
  std::vector<std::string> notes;  // what could not be compared
};

// Reads `block` back in the current authentication (by key `keyType`) and
// compares it with `sent`; fills `checked`, `held`, `failure` and `notes`.
void ReadBack(CardSession& session, int block, const Bytes& sent, int keyType,
              WriteOutcome* outcome);

// Writes `data` into `block`, opening its sector as WithAccess does, and
// reads it back unless `verify` is false. The write's result is in
// outcome.access.result; a read-back that differs sets outcome.failure.
WriteOutcome WriteVerified(CardSession& session, std::optional<int> keyType, int block,
                           const Bytes& data, bool verify, const std::vector<int>& first = {});

// A block written as `zubtool write` and the workbench's write report it:
// the outcome, the error when it was not written as sent, and what the
// block's new content means.
struct BlockWriteResult {
  WriteOutcome outcome;
  // "" when written (and, where read back, holding what was sent); else why
  // not: the card's refusal (with its result in `code`) or outcome.failure.
  std::string error;
  std::optional<int32_t> code;
  // For a trailer whose conditions let key A read key B: that key B is then
  // no key.
  std::vector<std::string> warnings;
};

// WriteVerified, the outcome judged and the warnings found.
BlockWriteResult WriteBlock(CardSession& session, std::optional<int> keyType, int block,
                            const Bytes& data, bool verify);

// "sent  ...\n  holds ...": both versions of a block, for error texts.
std::string SentAndHeld(const Bytes& sent, const Bytes& held);

}  // namespace zubtool

#endif  // ZUBTOOL_VERIFY_H
