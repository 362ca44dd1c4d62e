// Commands for the virtual reader from other processes. ZUBSIM_CONTROL names
// a file; each whole line appended to it runs once, at the next vendor call
// of the process that has the virtual reader loaded (a pcscd, say, which a
// test cannot reach through the control API). Lines already in the file when
// the reader starts run first, so a file prepared beforehand sets the scene.
//
//   <index> out                 take the card out of reader <index>'s field
//   <index> in                  put it back
//   <index> card 1K|4K [UID]    a new card in the field (UID as ZUBSIM_UID)
//   <index> image <path>        a card from an image file
//   <index> fault KIND [ARG [COUNT]]
//                               exchange faults (KIND a name from faults.cpp's
//                               table, "torn-write", or its number; ARG -1 and
//                               COUNT 1 unless given)
//
// Blank lines and lines starting with # are skipped; anything else that does
// not parse is reported on the trace and skipped.
#ifndef MIFAREZUB_SIM_COMMAND_FILE_H
#define MIFAREZUB_SIM_COMMAND_FILE_H

#include <string>
#include <vector>

#include "card_model.h"

namespace zubsim {

struct ControlCommand {
  enum Kind { kOut, kIn, kCard, kImage, kFault } kind = kOut;
  int index = 0;
  CardType type = CardType::k1K;
  bool has_uid = false;
  Uid uid{};
  std::string path;
  int fault_kind = 0;  // ZUBSIM_FAULT_*
  int fault_arg = -1;
  unsigned fault_count = 1;
};

enum class LineKind { kCommand, kSkip, kProblem };

// Parses one line (without its newline). kProblem sets *problem.
LineKind parse_control_line(const std::string& line, ControlCommand* command, std::string* problem);

class CommandFile {
 public:
  // Watches `path` (empty: nothing) from its start.
  void start(const std::string& path) {
    path_ = path;
    offset_ = 0;
  }
  // The whole lines appended since the last call. A file that shrank is
  // read again from its start.
  std::vector<std::string> new_lines();

 private:
  std::string path_;
  long long offset_ = 0;
};

}  // namespace zubsim

#endif  // MIFAREZUB_SIM_COMMAND_FILE_H
