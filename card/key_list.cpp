#include "key_list.h"

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

// Longer lines are shown by their start only.
constexpr size_t kShownLength = 40;

}  // namespace

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

KeyList ReadKeyList(const std::string& text) {
  KeyList list;
  UniqueKeys unique;
  size_t at = 0;
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) at = 3;
  int number = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    ++number;
    // The line up to its comment, without spaces, tabs and a CR.
    size_t stop = at;
    while (stop < end && text[stop] != '#') ++stop;
    Bytes key;
    key.reserve(kKeySize);
    int digits = 0, high = 0;
    bool other = false;
    for (size_t i = at; i < stop; ++i) {
      const char c = text[i];
      if (c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f') continue;
      const int v = DigitOf(c);
      if (v < 0 || digits >= 2 * kKeySize) {
        other = true;
        break;
      }
      if (digits++ % 2 == 0) {
        high = v;
      } else {
        key.push_back(static_cast<uint8_t>(high << 4 | v));
      }
    }
    if (other || (digits != 0 && digits != 2 * kKeySize)) {
      std::string shown;
      for (size_t i = at; i < end && text[i] != '\r'; ++i) shown += text[i];
      size_t b = shown.find_first_not_of(" \t");
      shown = b == std::string::npos ? "" : shown.substr(b, shown.find_last_not_of(" \t") - b + 1);
      if (shown.size() > kShownLength) shown = shown.substr(0, kShownLength) + "...";
      list.skipped.push_back({number, shown});
    } else if (digits != 0 && !unique.Add(key)) {
      ++list.duplicates;
    }
    at = end + 1;
  }
  list.keys = unique.Take();
  return list;
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
