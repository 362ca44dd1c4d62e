#include "key_list.h"

#include <algorithm>
#include <cstring>

namespace mzcard {

namespace {

int DigitOf(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

uint64_t KeyValue(const Bytes& key) {
  uint64_t v = 0;
  for (uint8_t b : key) v = v << 8 | b;
  return v;
}

// Spreads the 48 bits of a key over all 64 (the finaliser of MurmurHash3).
uint64_t Mix(uint64_t v) {
  v ^= v >> 33;
  v *= 0xFF51AFD7ED558CCDull;
  v ^= v >> 33;
  v *= 0xC4CEB9FE1A85EC53ull;
  v ^= v >> 33;
  return v;
}

// Longer lines are shown by their start only.
constexpr size_t kShownLength = 40;

const char kByteOrderMark[] = "\xEF\xBB\xBF";

}  // namespace

PackedKeys::PackedKeys(const std::vector<Bytes>& keys) {
  for (const auto& key : keys) Push(key);
}

PackedKeys::PackedKeys(std::initializer_list<Bytes> keys) {
  for (const auto& key : keys) Push(key);
}

PackedKeys& PackedKeys::operator=(const PackedKeys& other) {
  if (this != &other) {
    Truncate(0);
    Append(other);
  }
  return *this;
}

bool PackedKeys::Push(const Bytes& key) {
  if (key.size() != static_cast<size_t>(kKeySize)) return false;
  Push(KeyValue(key));
  return true;
}

void PackedKeys::Push(uint64_t value) {
  if (size_ == blocks_.size() * kBlockKeys) {
    blocks_.emplace_back(new uint8_t[kBlockKeys * kKeySize]);
  }
  uint8_t* at = At(size_++);
  for (int i = kKeySize - 1; i >= 0; --i, value >>= 8) at[i] = static_cast<uint8_t>(value);
}

uint64_t PackedKeys::Value(size_t i) const {
  const uint8_t* at = At(i);
  uint64_t v = 0;
  for (int k = 0; k < kKeySize; ++k) v = v << 8 | at[k];
  return v;
}

uint64_t PackedKeys::ValueOf(const Bytes& key) {
  return KeyValue(key);
}

Bytes PackedKeys::operator[](size_t i) const {
  const uint8_t* at = At(i);
  return Bytes(at, at + kKeySize);
}

void PackedKeys::Append(const PackedKeys& other) {
  const size_t count = other.size_;  // `other` may be this list
  for (size_t i = 0; i < count; ++i) Push(other.Value(i));
}

void PackedKeys::Append(PackedKeys&& other) {
  if (&other == this) {
    Append(static_cast<const PackedKeys&>(other));
    return;
  }
  if (size_ % kBlockKeys == 0) {
    // Whole blocks: the other list's blocks are taken as they are.
    blocks_.resize(size_ / kBlockKeys);
    for (auto& block : other.blocks_) blocks_.push_back(std::move(block));
    size_ += other.size_;
  } else {
    for (size_t i = 0; i < other.size_; ++i) {
      Push(other.Value(i));
      if ((i + 1) % kBlockKeys == 0) other.blocks_[i / kBlockKeys].reset();
    }
  }
  other.blocks_.clear();
  other.size_ = 0;
}

void PackedKeys::Truncate(size_t size) {
  size_ = std::min(size, size_);
  blocks_.resize((size_ + kBlockKeys - 1) / kBlockKeys);
  blocks_.shrink_to_fit();
}

template <typename Index>
size_t PackedKeys::RemoveDuplicatesWith() {
  // An open-addressing table of the keys kept so far, by their place in the
  // list, two-thirds full at most; the list is compacted as it is read.
  const size_t count = size_;
  const size_t slots = count + count / 2 + 1;
  constexpr Index kEmpty = static_cast<Index>(-1);
  std::unique_ptr<Index[]> table(new Index[slots]);
  std::fill_n(table.get(), slots, kEmpty);
  size_t kept = 0;
  for (size_t i = 0; i < count; ++i) {
    const uint64_t v = Value(i);
    size_t slot = static_cast<size_t>(Mix(v) % slots);
    bool seen = false;
    for (; table[slot] != kEmpty; slot = slot + 1 == slots ? 0 : slot + 1) {
      if (Value(table[slot]) == v) {
        seen = true;
        break;
      }
    }
    if (seen) continue;
    table[slot] = static_cast<Index>(kept);
    if (kept != i) std::memcpy(At(kept), At(i), kKeySize);
    ++kept;
  }
  table.reset();
  Truncate(kept);
  return count - kept;
}

size_t PackedKeys::RemoveDuplicates() {
  if (size_ < 2) return 0;
  return size_ < 0xFFFFFFFFu ? RemoveDuplicatesWith<uint32_t>() : RemoveDuplicatesWith<uint64_t>();
}

bool PackedKeys::Contains(const Bytes& key) const {
  if (key.size() != static_cast<size_t>(kKeySize)) return false;
  const uint64_t v = KeyValue(key);
  for (size_t i = 0; i < size_; ++i) {
    if (Value(i) == v) return true;
  }
  return false;
}

std::vector<Bytes> PackedKeys::ToBytes() const {
  std::vector<Bytes> keys;
  keys.reserve(size_);
  for (size_t i = 0; i < size_; ++i) keys.push_back((*this)[i]);
  return keys;
}

bool PackedKeys::operator==(const PackedKeys& other) const {
  if (size_ != other.size_) return false;
  for (size_t i = 0; i < size_; ++i) {
    if (Value(i) != other.Value(i)) return false;
  }
  return true;
}

bool UniqueKeys::Add(const Bytes& key) {
  if (key.size() != static_cast<size_t>(kKeySize)) return false;
  if (!seen_.insert(KeyValue(key)).second) return false;
  keys_.push_back(key);
  return true;
}

bool UniqueKeys::Contains(const Bytes& key) const {
  return key.size() == static_cast<size_t>(kKeySize) && seen_.count(KeyValue(key)) != 0;
}

std::vector<Bytes> UniqueKeys::Take() {
  seen_.clear();
  return std::move(keys_);
}

void KeyListReader::Feed(const char* data, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    const char c = data[i];
    if (!started_) {
      if (c == kByteOrderMark[bomMatched_]) {
        started_ = ++bomMatched_ == 3;
        continue;
      }
      // Not a byte order mark after all: what looked like one is text.
      started_ = true;
      for (size_t k = 0; k < bomMatched_; ++k) Take(kByteOrderMark[k]);
    }
    Take(c);
  }
}

void KeyListReader::Take(char c) {
  if (c == '\n') {
    EndLine();
    return;
  }
  inLine_ = true;
  // What the line shows: up to its first CR, without the spaces and tabs
  // before its first character.
  if (!crSeen_) {
    const bool blank = c == ' ' || c == '\t';
    if (c == '\r') {
      crSeen_ = true;
    } else if (shown_.size() < kShownLength) {
      if (!shown_.empty() || !blank) shown_ += c;
    } else if (!blank) {
      moreShown_ = true;
    }
  }
  // The key: hex digits up to the comment, spaces and the like between them.
  if (comment_ || other_) return;
  if (c == '#') {
    comment_ = true;
    return;
  }
  if (c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f') return;
  const int v = DigitOf(c);
  if (v < 0 || digits_ >= 2 * kKeySize) {
    other_ = true;
    return;
  }
  ++digits_;
  value_ = value_ << 4 | static_cast<uint64_t>(v);
}

void KeyListReader::EndLine() {
  ++number_;
  if (other_ || (digits_ != 0 && digits_ != 2 * kKeySize)) {
    ++list_.skippedLines;
    if (list_.skipped.size() < listed_) {
      std::string shown = shown_;
      if (moreShown_) {
        shown += "...";
      } else {
        const size_t last = shown.find_last_not_of(" \t");
        shown.resize(last == std::string::npos ? 0 : last + 1);
      }
      list_.skipped.push_back({number_, shown});
    }
  } else if (digits_ != 0) {
    list_.keys.Push(value_);
  }
  inLine_ = comment_ = other_ = crSeen_ = moreShown_ = false;
  digits_ = 0;
  value_ = 0;
  shown_.clear();
}

KeyList KeyListReader::Finish() {
  if (!started_) {
    started_ = true;
    for (size_t k = 0; k < bomMatched_ && bomMatched_ < 3; ++k) Take(kByteOrderMark[k]);
  }
  if (inLine_) EndLine();
  list_.duplicates = list_.keys.RemoveDuplicates();
  return std::move(list_);
}

KeyList ReadKeyList(const std::string& text) {
  KeyListReader reader;
  reader.Feed(text);
  return reader.Finish();
}

std::string SkippedLineText(const SkippedLine& skipped) {
  return "line " + std::to_string(skipped.line) + ": not a key of 12 hex digits: '" + skipped.text +
         "'";
}

std::string KeyListFingerprint(const std::vector<Bytes>& keys) {
  uint64_t hash = 14695981039346656037ull;
  for (const auto& key : keys) {
    for (uint8_t b : key) {
      hash ^= b;
      hash *= 1099511628211ull;
    }
  }
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text(16, '0');
  for (int i = 15; i >= 0; --i, hash >>= 4) text[static_cast<size_t>(i)] = kDigits[hash & 15];
  return text;
}

}  // namespace mzcard
