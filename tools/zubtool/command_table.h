// Every zubtool command in one table: its name, usage, options, the parser of
// its arguments and the function that runs it. A new command is one entry
// here and its functions (declared in commands.h).
#ifndef ZUBTOOL_COMMAND_TABLE_H
#define ZUBTOOL_COMMAND_TABLE_H

#include <string>
#include <vector>

#include "args.h"

namespace zubtool {

class CardSession;
class Reader;

// What a command runs with.
struct Context {
  const Invocation& inv;
  Reader* reader;        // the open reader; null for a command that needs none
  CardSession* session;  // the card session on it, with every key to try
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
  bool needsReader;
};

const std::vector<CommandSpec>& Commands();
const CommandSpec* FindCommand(const std::string& name);

}  // namespace zubtool

#endif  // ZUBTOOL_COMMAND_TABLE_H
