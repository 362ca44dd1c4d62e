// zubtool's command line: global options, one command and its arguments,
// checked completely before the reader is opened.
#ifndef ZUBTOOL_ARGS_H
#define ZUBTOOL_ARGS_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "card_format.h"

namespace zubtool {

enum class Command { kNone, kScan, kDump, kRead, kWrite, kValue, kBeep, kLed };
enum class ValueOp { kGet, kSet, kInc, kDec };

constexpr int kKeyA = 0;
constexpr int kKeyB = 1;

struct Invocation {
  Command command = Command::kNone;
  bool help = false;     // --help: show the usage of `command` (or of the tool)
  bool version = false;  // --version

  // Global options.
  int device = 0;
  std::vector<Bytes> keys;     // --key, in the order given
  std::string keysFile;        // --keys-file
  bool defaultKey = true;      // the transport key FFFFFFFFFFFF is tried last
  std::optional<int> keyType;  // --key-type A|B: only that key
  bool verbose = false;

  // Command arguments.
  int block = -1;                    // read, write, value
  Bytes data;                        // write
  ValueOp valueOp = ValueOp::kGet;   // value
  int32_t amount = 0;                // value set|inc|dec
  int milliseconds = 200;            // beep
  int led = 0;                       // led
  bool on = false;                   // led
  std::string out;                   // dump --out
  std::optional<CardLayout> layout;  // dump --card
  bool force = false;                // write
};

struct ParseResult {
  Invocation invocation;
  std::string error;  // empty when the command line is valid
};

// `args` without the program name.
ParseResult ParseCommandLine(const std::vector<std::string>& args);

// "scan", "dump", ...
const char* CommandName(Command command);

// The tool's usage (Command::kNone) or one command's.
std::string Usage(Command command);

}  // namespace zubtool

#endif  // ZUBTOOL_ARGS_H
