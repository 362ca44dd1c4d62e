#include "command_file.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "faults.h"

namespace zubsim {
namespace {

// Reads a line word by word (words apart by white space).
class Words {
 public:
  explicit Words(const std::string& text) : text_(text) {}

  // The next word, or "" at the end.
  std::string next() {
    skip_space();
    const size_t start = at_;
    while (at_ < text_.size() && !space(text_[at_])) ++at_;
    return text_.substr(start, at_ - start);
  }

  // Everything after the words read, without the white space around it.
  std::string rest() {
    skip_space();
    size_t end = text_.size();
    while (end > at_ && space(text_[end - 1])) --end;
    return text_.substr(at_, end - at_);
  }

 private:
  static bool space(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }
  void skip_space() {
    while (at_ < text_.size() && space(text_[at_])) ++at_;
  }

  const std::string& text_;
  size_t at_ = 0;
};

// `word` as a whole decimal number (an optional sign, digits); false for
// anything else or a number out of range.
bool whole_number(const std::string& word, long* value) {
  if (word.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(word.c_str(), &end, 10);
  if (*end != '\0' || errno == ERANGE) return false;
  *value = v;
  return true;
}

}  // namespace

LineKind parse_control_line(const std::string& line, ControlCommand* command,
                            std::string* problem) {
  Words in(line);
  const std::string index_text = in.next();
  if (index_text.empty() || index_text[0] == '#') return LineKind::kSkip;
  char* end = nullptr;
  const long index = std::strtol(index_text.c_str(), &end, 10);
  if (*end != '\0' || index < 0 || index > 255) {
    *problem = "'" + line + "': the line does not start with a device index (0 to 255)";
    return LineKind::kProblem;
  }
  ControlCommand c;
  c.index = static_cast<int>(index);
  const std::string verb = in.next();
  const std::string rest = in.rest();
  if (verb == "out" && rest.empty()) {
    c.kind = ControlCommand::kOut;
  } else if (verb == "in" && rest.empty()) {
    c.kind = ControlCommand::kIn;
  } else if (verb == "image" && !rest.empty()) {
    c.kind = ControlCommand::kImage;
    c.path = rest;
  } else if (verb == "card") {
    c.kind = ControlCommand::kCard;
    Words args(rest);
    const std::string type = args.next();
    const std::string uid = args.next();
    const std::string extra = args.next();
    if (type == "1K" || type == "1k") {
      c.type = CardType::k1K;
    } else if (type == "4K" || type == "4k") {
      c.type = CardType::k4K;
    } else {
      *problem = "'" + line + "': the card type is 1K or 4K";
      return LineKind::kProblem;
    }
    if (!uid.empty()) {
      if (uid.size() != 2 * kUidSize || !extra.empty()) {
        *problem = "'" + line + "': the UID is 8 hex digits";
        return LineKind::kProblem;
      }
      for (size_t i = 0; i < kUidSize; ++i) {
        const std::string pair = uid.substr(2 * i, 2);
        if (!std::isxdigit(static_cast<unsigned char>(pair[0])) ||
            !std::isxdigit(static_cast<unsigned char>(pair[1]))) {
          *problem = "'" + line + "': the UID is 8 hex digits";
          return LineKind::kProblem;
        }
        c.uid[i] = static_cast<uint8_t>(std::stoul(pair, nullptr, 16));
      }
      c.has_uid = true;
    }
  } else if (verb == "fault") {
    c.kind = ControlCommand::kFault;
    Words args(rest);
    const std::string name = args.next();
    c.fault_kind = exchange_fault_by_name(name);
    if (c.fault_kind == 0) {
      *problem = "'" + line + "': no such fault kind";
      return LineKind::kProblem;
    }
    // ARG and COUNT, each a whole number when given.
    long arg = -1, count = 1;
    const std::string arg_text = args.next();
    const std::string count_text = args.next();
    if (!arg_text.empty() && !whole_number(arg_text, &arg)) arg = -1000;
    if (!count_text.empty() && !whole_number(count_text, &count)) count = -1;
    if (arg < -1 || arg > 255 || count < 1 || count > 10000 || !args.next().empty()) {
      *problem = "'" + line + "': fault KIND [ARG (-1 to 255) [COUNT (1 to 10000)]]";
      return LineKind::kProblem;
    }
    c.fault_arg = static_cast<int>(arg);
    c.fault_count = static_cast<unsigned>(count);
  } else {
    *problem =
        "'" + line + "': not out, in, card 1K|4K [UID], image <path> or fault KIND [ARG [COUNT]]";
    return LineKind::kProblem;
  }
  *command = c;
  return LineKind::kCommand;
}

std::vector<std::string> CommandFile::new_lines() {
  std::vector<std::string> lines;
  if (path_.empty()) return lines;
  // A stat per vendor call: cheap, and nothing is read until the file grows.
  struct stat st;
  if (stat(path_.c_str(), &st) != 0) return lines;
  const long long size = static_cast<long long>(st.st_size);
  if (size < offset_) offset_ = 0;
  if (size == offset_) return lines;
  FILE* f = std::fopen(path_.c_str(), "rb");
  if (f == nullptr) return lines;
  std::string text;
  if (std::fseek(f, static_cast<long>(offset_), SEEK_SET) == 0) {
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
  }
  std::fclose(f);
  // Only whole lines: one still being written waits for its newline.
  size_t start = 0;
  for (size_t nl = text.find('\n'); nl != std::string::npos; nl = text.find('\n', start)) {
    std::string line = text.substr(start, nl - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    start = nl + 1;
  }
  offset_ += static_cast<long long>(start);
  return lines;
}

}  // namespace zubsim
