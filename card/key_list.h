// Keys files: the dictionaries technicians carry, one key a line, as the
// common card tools write them. Reading one is linear in its size and holds
// each key in 6 bytes, so that merged site lists of millions of keys load at
// once in little memory: the text is fed in pieces as it is read, never held
// whole.
#ifndef MZCARD_KEY_LIST_H
#define MZCARD_KEY_LIST_H

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "card_format.h"

namespace mzcard {

// Keys in order, 6 bytes each, in blocks of a fixed number of keys: a list
// grows without copying what it holds, and a list of N keys takes 6N bytes
// and at most one block more.
class PackedKeys {
 public:
  PackedKeys() = default;
  // The keys of `keys` that are 6 bytes long, in order.
  PackedKeys(const std::vector<Bytes>& keys);
  PackedKeys(std::initializer_list<Bytes> keys);
  PackedKeys(PackedKeys&&) = default;
  PackedKeys& operator=(PackedKeys&&) = default;
  PackedKeys(const PackedKeys& other) { Append(other); }
  PackedKeys& operator=(const PackedKeys& other);

  // False (and nothing added) when `key` is not 6 bytes.
  bool Push(const Bytes& key);
  // The key whose bytes, most significant first, are the low 48 bits.
  void Push(uint64_t value);
  void Append(const PackedKeys& other);
  // Appends `other` and empties it, giving back its memory block by block,
  // so that the two together take little more than one of them.
  void Append(PackedKeys&& other);

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  Bytes operator[](size_t i) const;
  // Key `i` as a number: its bytes, most significant first, in the low 48 bits.
  uint64_t Value(size_t i) const;
  // The same number for a key of 6 bytes.
  static uint64_t ValueOf(const Bytes& key);

  // Keeps the first of each key, in order; returns how many were dropped.
  // Takes 6 bytes a key for the time it runs, besides the list.
  size_t RemoveDuplicates();
  // Whether `key` is held (a pass over the list).
  bool Contains(const Bytes& key) const;

  std::vector<Bytes> ToBytes() const;
  bool operator==(const PackedKeys& other) const;
  bool operator!=(const PackedKeys& other) const { return !(*this == other); }

  class const_iterator {
   public:
    using iterator_category = std::input_iterator_tag;
    using value_type = Bytes;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = Bytes;
    const_iterator(const PackedKeys* keys, size_t at) : keys_(keys), at_(at) {}
    Bytes operator*() const { return (*keys_)[at_]; }
    const_iterator& operator++() {
      ++at_;
      return *this;
    }
    const_iterator operator++(int) {
      const_iterator was = *this;
      ++at_;
      return was;
    }
    bool operator==(const const_iterator& other) const { return at_ == other.at_; }
    bool operator!=(const const_iterator& other) const { return at_ != other.at_; }

   private:
    const PackedKeys* keys_;
    size_t at_;
  };
  const_iterator begin() const { return {this, 0}; }
  const_iterator end() const { return {this, size_}; }

 private:
  static constexpr size_t kBlockKeys = 4096;
  uint8_t* At(size_t i) const {
    return blocks_[i / kBlockKeys].get() + kKeySize * (i % kBlockKeys);
  }
  void Truncate(size_t size);
  template <typename Index>
  size_t RemoveDuplicatesWith();

  std::vector<std::unique_ptr<uint8_t[]>> blocks_;
  size_t size_ = 0;
};

// Keys in the order they were first added, each once: for the short lists
// of the workbench and of merges, where a hash set beside the list costs
// nothing to speak of.
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
  PackedKeys keys;                   // each once, in the order of their first line
  std::vector<SkippedLine> skipped;  // lines that are not 12 hex digits (see KeyListReader)
  size_t skippedLines = 0;           // how many lines were skipped, listed or not
  size_t duplicates = 0;             // key lines whose key an earlier line held
};

// Reads a keys file: one key of 12 hex digits a line, in either case; spaces
// and tabs anywhere on the line are ignored, and so are blank lines, a line
// ending CR and a leading UTF-8 byte order mark; '#' starts a comment, on a
// line of its own or after a key. A line holding anything else is skipped
// and listed. Pure: the caller reads the file and feeds it in pieces of any
// size (a line may span pieces); memory beside the keys stays bounded
// whatever the lines hold.
class KeyListReader {
 public:
  // At most `listed` skipped lines are kept in KeyList::skipped (all by
  // default); the others are only counted.
  explicit KeyListReader(size_t listed = static_cast<size_t>(-1)) : listed_(listed) {}
  void Feed(const char* data, size_t size);
  void Feed(const std::string& text) { Feed(text.data(), text.size()); }
  // The last line counts without its newline too. The reader is spent.
  KeyList Finish();

 private:
  void Take(char c);
  void EndLine();

  size_t listed_;
  KeyList list_;
  size_t bomMatched_ = 0;  // bytes of a leading byte order mark seen so far
  bool started_ = false;   // past the byte order mark, or sure there is none
  // The line being read.
  int number_ = 0;
  bool inLine_ = false;  // a character of it was seen
  bool comment_ = false, other_ = false, crSeen_ = false;
  int digits_ = 0;
  uint64_t value_ = 0;
  std::string shown_;       // from its first character not a space or tab, up to kShownLength
  bool moreShown_ = false;  // something but spaces and tabs past those
};

// The whole text at once.
KeyList ReadKeyList(const std::string& text);

// "line 7: not a key of 12 hex digits: 'A0A1A2'".
std::string SkippedLineText(const SkippedLine& skipped);

// A fingerprint of a list of keys in its order (64-bit FNV-1a over the key
// bytes, as 16 hex digits): the same list gives the same text.
std::string KeyListFingerprint(const std::vector<Bytes>& keys);

}  // namespace mzcard

#endif  // MZCARD_KEY_LIST_H
