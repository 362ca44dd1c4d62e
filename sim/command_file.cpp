#include "command_file.h"

#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <sstream>

#include "faults.h"

namespace zubsim {

LineKind parse_control_line(const std::string& line, ControlCommand* command,
                            std::string* problem) {
  std::istringstream in(line);
  std::string index_text;
  if (!(in >> index_text) || index_text[0] == '#') return LineKind::kSkip;
  char* end = nullptr;
  const long index = std::strtol(index_text.c_str(), &end, 10);
  if (*end != '\0' || index < 0 || index > 255) {
    *problem = "'" + line + "': the line does not start with a device index (0 to 255)";
    return LineKind::kProblem;
  }
  ControlCommand c;
  c.index = static_cast<int>(index);
  std::string verb;
  in >> verb;
  std::string rest;
  std::getline(in >> std::ws, rest);
  while (!rest.empty() && std::isspace(static_cast<unsigned char>(rest.back()))) rest.pop_back();
  if (verb == "out" && rest.empty()) {
    c.kind = ControlCommand::kOut;
  } else if (verb == "in" && rest.empty()) {
    c.kind = ControlCommand::kIn;
  } else if (verb == "image" && !rest.empty()) {
    c.kind = ControlCommand::kImage;
    c.path = rest;
  } else if (verb == "card") {
    c.kind = ControlCommand::kCard;
    std::istringstream args(rest);
    std::string type;
    std::string uid;
    std::string extra;
    args >> type >> uid >> extra;
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
    std::istringstream args(rest);
    std::string name, extra;
    long arg = -1, count = 1;
    args >> name;
    c.fault_kind = exchange_fault_by_name(name);
    if (c.fault_kind == 0) {
      *problem = "'" + line + "': no such fault kind";
      return LineKind::kProblem;
    }
    if (!args.eof() && !(args >> arg)) arg = -1000;
    if (!args.eof() && !(args >> count)) count = -1;
    if (arg < -1 || arg > 255 || count < 1 || count > 10000 || (args >> extra)) {
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
