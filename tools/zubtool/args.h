// zubtool's command line: global options, one command and its arguments,
// checked completely before the reader is opened.
#ifndef ZUBTOOL_ARGS_H
#define ZUBTOOL_ARGS_H

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "card.h"

namespace zubtool {

struct CommandSpec;

enum class ValueOp { kGet, kSet, kInc, kDec };

struct Invocation {
  const CommandSpec* command = nullptr;
  bool help = false;     // --help: show the usage of `command` (or of the tool)
  bool version = false;  // --version

  // Global options.
  int device = 0;
  std::vector<Bytes> keys;     // --key, in the order given
  std::string keysFile;        // --keys-file
  bool defaultKey = true;      // the transport key FFFFFFFFFFFF is tried last
  std::optional<int> keyType;  // --key-type A|B: only that key
  bool verbose = false;

  // Command arguments, filled by the command's own parser.
  int block = -1;                    // read, write, value
  Bytes data;                        // write
  ValueOp valueOp = ValueOp::kGet;   // value
  int32_t amount = 0;                // value set|inc|dec
  int milliseconds = 200;            // beep
  int led = 0;                       // led
  bool on = false;                   // led
  std::string out;                   // dump --out
  std::optional<CardLayout> layout;  // dump --card
  WritePermissions permissions;      // write, restore: --force, --irreversible, --block0, --key-a
  std::string file;                  // restore FILE
  bool trailers = false;             // restore --trailers
  bool dryRun = false;               // restore --dry-run
  bool verify = true;                // write, restore, value: off with --no-verify
  bool json = false;                 // --json: one JSON object of the result
  bool resume = false;               // keys --resume: go on from the --out file
  std::optional<double> wait;        // scan --wait [SECONDS]; 0: no limit
  int sector = -1;                   // acl SECTOR
  Bytes accessBytes;                 // acl --bytes
  std::optional<AccessConditions> encode;  // acl encode
  std::string topic;                       // help TOPIC
  std::optional<Format> format;            // dump, restore, convert, diff: --format
  std::optional<Format> outFormat;         // convert: --to
  bool overwrite = false;                  // dump --out, convert: --overwrite
  bool notACardImage = false;              // restore --not-a-card-image
  std::string file2;                       // convert OUT, diff B
  int port = 0;                            // ui --port; 0: one the system picks
  bool openBrowser = true;                 // ui: off with --no-browser
};

// What the command line gave a command: its arguments and its own options.
struct Arguments {
  std::vector<std::string> positionals;
  std::vector<std::pair<std::string, std::string>> options;  // name, value ("" for flags)

  bool Has(const std::string& name) const;
  // The last value given for the option.
  std::string Value(const std::string& name) const;
  // "" when there are between `low` and `high` positionals; otherwise the
  // error, naming the first missing argument from `names` (one per position).
  std::string Count(size_t low, size_t high, const std::vector<const char*>& names) const;
};

struct ParseResult {
  Invocation invocation;
  std::string error;  // empty when the command line is valid
};

// `args` without the program name.
ParseResult ParseCommandLine(const std::vector<std::string>& args);

// The tool's usage (null) or one command's.
std::string Usage(const CommandSpec* command);

// Parsers of argument kinds the commands share; each returns "" or the error.
std::string ParseBlock(const std::string& text, int* block);
// --force, --irreversible, --block0, --key-a and --key-b.
std::string ParsePermissions(const Arguments& args, WritePermissions* permissions);
// The checks of a block to write (CheckBlockWrite), a refusal in the words of
// the options above; "" when it may be written.
std::string CheckWriteOptions(int block, Bytes* data, const WritePermissions& permissions);

}  // namespace zubtool

#endif  // ZUBTOOL_ARGS_H
