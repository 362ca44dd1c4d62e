// Every zubtool command in one table: its name, usage, options, the parser of
// its arguments and the function that runs it. A new command is one entry
// here and its functions (declared in commands.h); a command of a layer
// above the core (the workbench) is its entry there, which the program adds
// to the table (main.cpp).
#ifndef ZUBTOOL_COMMAND_TABLE_H
#define ZUBTOOL_COMMAND_TABLE_H

#include <memory>
#include <string>
#include <vector>

#include "args.h"
#include "output.h"

namespace zubtool {

class CardSession;
class LibraryReader;

// What a command runs with: its invocation, the keys to try, and the reader,
// opened when the command asks for it (after checking what it can without
// the card). The session shares the keys: a list of millions is held once.
class Context {
 public:
  Context(const Invocation& inv, PackedKeys keys);
  ~Context();
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;

  const Invocation& inv;
  const PackedKeys& Keys() const { return *keys_; }
  // Before Open(): the keys out of the context (it holds none after), and
  // the keys the session is to try, for a command that adds keys of its own.
  PackedKeys TakeKeys();
  void SetKeys(PackedKeys keys);

  // Opens the reader at --device; 0, or the exit status after reporting.
  int Open();
  // Valid after Open().
  LibraryReader& TheReader() { return *reader_; }
  CardSession& Session() { return *session_; }
  // What the command reports.
  Output& Out() { return output_; }

 private:
  std::shared_ptr<PackedKeys> keys_;
  std::unique_ptr<LibraryReader> reader_;
  std::unique_ptr<CardSession> session_;
  Output output_;
};

// An option only some commands take.
struct OptionSpec {
  const char* name;       // "--out"
  const char* valueName;  // "FILE"; null for a flag
  const char* help;       // shown in the command's usage
};

struct CommandSpec {
  const char* name;
  // After "zubtool ": the line for the tool's usage, then (when the command
  // has several forms) one line per form for its own usage.
  const char* synopsis;
  const char* summary;      // one line in the tool's usage
  const char* description;  // the command's usage, after its synopsis
  std::vector<OptionSpec> options;
  // Checks and stores the arguments; "" or the error.
  std::string (*parse)(const Arguments& args, Invocation* inv);
  int (*run)(Context& context);
  // Whether the invocation tries keys on the card; null: it always does.
  // The keys to try (and the keys file) are read only for one that does.
  bool (*triesKeys)(const Invocation& inv) = nullptr;
};

// For commands that never authenticate (scan, beep, ...).
bool TriesNoKey(const Invocation& inv);
// Whether the command of `inv` tries keys.
bool TriesKeys(const Invocation& inv);

// The core's commands in the order the usage lists them, with `above` (the
// commands of the layers built on the core: the workbench's `ui`) before
// help.
std::vector<CommandSpec> CommandTable(std::vector<CommandSpec> above = {});
// The table the command line is parsed with and the usage lists: the core's
// alone, until the program installs its whole table (before parsing).
const std::vector<CommandSpec>& Commands();
void InstallCommands(std::vector<CommandSpec> table);
const CommandSpec* FindCommand(const std::string& name);

}  // namespace zubtool

#endif  // ZUBTOOL_COMMAND_TABLE_H
