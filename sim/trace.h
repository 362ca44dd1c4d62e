// The virtual reader's trace: one line per frame and event, kept in memory
// and written where ZUBSIM_TRACE says, and the words it uses for frames.
#ifndef MIFAREZUB_SIM_TRACE_H
#define MIFAREZUB_SIM_TRACE_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>

namespace zubsim {

// Bytes as "04 50 01 04 51", and what a frame means ("read block 4",
// "ok, data 00 11 ...", "status 4: wrong key").
std::string hex_bytes(const uint8_t* bytes, size_t size);
std::string describe_request(const uint8_t* frame, size_t size);
std::string describe_reply(const uint8_t* frame, size_t size);
const char* status_text(uint8_t status);

class Trace {
 public:
  static constexpr size_t kLines = 10000;

  Trace() = default;
  Trace(const Trace&) = delete;
  Trace& operator=(const Trace&) = delete;
  ~Trace();

  // Starts afresh (no lines, no last error) with a destination: "-" standard
  // error, "off" memory only and no messages, empty memory only, anything
  // else a file appended to.
  void start(const std::string& destination);

  void line(const std::string& text);
  void note(const std::string& text) { line("## " + text); }
  // A problem the user must see: on the trace, and on standard error when no
  // trace was asked for or its file could not be opened (a user who turned
  // the trace off still has zubsim_last_error).
  void warn(const std::string& text);
  // A refusal the control API reports through zubsim_last_error only.
  void set_last_error(const std::string& text) { last_error_ = text; }
  const std::string& last_error() const { return last_error_; }

  // The lines in memory, each ending in a newline.
  std::string text() const;
  void clear() { lines_.clear(); }

 private:
  bool to_file() const;
  void close();

  std::string destination_;
  std::FILE* file_ = nullptr;
  std::deque<std::string> lines_;
  std::string last_error_;
};

}  // namespace zubsim

#endif  // MIFAREZUB_SIM_TRACE_H
