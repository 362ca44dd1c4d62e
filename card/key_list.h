// Keys files: the dictionaries technicians carry, one key a line, as the
// common card tools write them. Reading one is linear in its size, so that
// merged site lists of hundreds of thousands of keys load at once.
#ifndef MZCARD_KEY_LIST_H
#define MZCARD_KEY_LIST_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "card_format.h"

namespace mzcard {

// Keys in the order they were first added, each once.
class UniqueKeys {
 public:
  // False (and nothing added) when `key` is already held or is not 6 bytes.
  bool Add(const Bytes& key);
  bool Contains(const Bytes& key) const;
  const std::vector<Bytes>& Keys() const { return keys_; }
  size_t Size() const { return keys_.size(); }
  std::vector<Bytes> Take();

 private:
  std::vector<Bytes> keys_;
  std::unordered_set<uint64_t> seen_;
};

// A line of a keys file that holds no key.
struct SkippedLine {
  int line = 0;      // from 1
  std::string text;  // what the line holds, shortened when long
};

struct KeyList {
  std::vector<Bytes> keys;           // each once, in the order of their first line
  std::vector<SkippedLine> skipped;  // lines that are not 12 hex digits
  size_t duplicates = 0;             // key lines whose key an earlier line held
};

// Reads a keys file: one key of 12 hex digits a line, in either case; spaces
// and tabs anywhere on the line are ignored, and so are blank lines, a line
// ending CR and a leading UTF-8 byte order mark; '#' starts a comment, on a
// line of its own or after a key. A line holding anything else is skipped
// and listed. Pure: the caller reads the file.
KeyList ReadKeyList(const std::string& text);

// "line 7: not a key of 12 hex digits: 'A0A1A2'".
std::string SkippedLineText(const SkippedLine& skipped);

// A fingerprint of a list of keys in its order (64-bit FNV-1a over the key
// bytes, as 16 hex digits): the same list gives the same text.
std::string KeyListFingerprint(const std::vector<Bytes>& keys);

}  // namespace mzcard

#endif  // MZCARD_KEY_LIST_H
