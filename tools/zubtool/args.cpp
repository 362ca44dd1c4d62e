#include "args.h"

#include <cstring>

#include "command_table.h"

namespace zubtool {

namespace {

const char kGlobalOptions[] =
    "Options for every command:\n"
    "  --device N        USB device index of the reader (default 0)\n"
    "  --key HEX         a key to try (12 hex digits); may be given several times\n"
    "  --keys-file FILE  keys to try, one per line ('#' starts a comment)\n"
    "  --no-default-key  do not try the transport key FFFFFFFFFFFF (tried last)\n"
    "  --key-type A|B    authenticate only as key A or only as key B\n"
    "  -v, --verbose     show every library call and its result on standard error\n"
    "  -h, --help        show the usage of the command\n";

// The options every command takes.
const OptionSpec kGlobal[] = {
    {"--device", "N", ""},       {"--key", "HEX", ""},
    {"--keys-file", "FILE", ""}, {"--no-default-key", nullptr, ""},
    {"--key-type", "A|B", ""},   {"--verbose", nullptr, ""},
    {"-v", nullptr, ""},         {"--help", nullptr, ""},
    {"-h", nullptr, ""},         {"--version", nullptr, ""},
};

const OptionSpec* FindGlobal(const std::string& name) {
  for (const auto& o : kGlobal) {
    if (name == o.name) return &o;
  }
  return nullptr;
}

const OptionSpec* FindOwn(const CommandSpec* command, const std::string& name) {
  if (!command) return nullptr;
  for (const auto& o : command->options) {
    if (name == o.name) return &o;
  }
  return nullptr;
}

// An option some command takes, for the error when another is given it.
bool AnyCommandTakes(const std::string& name) {
  for (const auto& c : Commands()) {
    if (FindOwn(&c, name)) return true;
  }
  return false;
}

// Stores one global option; "" or the error.
std::string ApplyGlobal(const std::string& name, const std::string& value, Invocation* inv) {
  if (name == "--device") {
    auto n = ParseNumber(value, 0, 255);
    if (!n) return "not a device index (0 to 255): '" + value + "'";
    inv->device = static_cast<int>(*n);
  } else if (name == "--key") {
    auto key = ParseHex(value);
    if (!key || key->size() != static_cast<size_t>(kKeySize)) {
      return "not a key of 12 hex digits: '" + value + "'";
    }
    inv->keys.push_back(*key);
  } else if (name == "--keys-file") {
    inv->keysFile = value;
  } else if (name == "--no-default-key") {
    inv->defaultKey = false;
  } else if (name == "--key-type") {
    if (value == "A" || value == "a") {
      inv->keyType = kKeyA;
    } else if (value == "B" || value == "b") {
      inv->keyType = kKeyB;
    } else {
      return "key type must be A or B: '" + value + "'";
    }
  } else if (name == "--verbose" || name == "-v") {
    inv->verbose = true;
  }
  return "";
}

}  // namespace

bool Arguments::Has(const std::string& name) const {
  for (const auto& o : options) {
    if (o.first == name) return true;
  }
  return false;
}

std::string Arguments::Value(const std::string& name) const {
  std::string value;
  for (const auto& o : options) {
    if (o.first == name) value = o.second;
  }
  return value;
}

std::string Arguments::Count(size_t low, size_t high, const std::vector<const char*>& names) const {
  if (positionals.size() < low) {
    size_t missing = positionals.size();
    return missing < names.size() ? std::string("missing argument ") + names[missing]
                                  : "missing argument";
  }
  if (positionals.size() > high) return "unexpected argument '" + positionals[high] + "'";
  return "";
}

std::string ParseBlock(const std::string& text, int* block) {
  auto n = ParseNumber(text, 0, 255);
  if (!n) return "not a block number (0 to 255): '" + text + "'";
  *block = static_cast<int>(*n);
  return "";
}

std::string ParsePermissions(const Arguments& args, WritePermissions* permissions) {
  permissions->force = args.Has("--force");
  permissions->irreversible = args.Has("--irreversible");
  permissions->block0 = args.Has("--block0");
  for (const char* option : {"--key-a", "--key-b"}) {
    if (!args.Has(option)) continue;
    auto key = ParseHex(args.Value(option));
    if (!key || key->size() != static_cast<size_t>(kKeySize)) {
      return "not a key of 12 hex digits: '" + args.Value(option) + "'";
    }
    (std::string(option) == "--key-a" ? permissions->keyA : permissions->keyB) = *key;
  }
  if (permissions->irreversible && !permissions->force) {
    return "--irreversible goes with --force";
  }
  return "";
}

std::string CheckWriteOptions(int block, Bytes* data, const WritePermissions& permissions) {
  static const PermissionNames kOptions = {"--force", "--irreversible", "--block0", "--key-a",
                                           "--key-b"};
  auto refusal = CheckBlockWrite(block, data, permissions);
  return refusal ? RefusalText(*refusal, kOptions) : "";
}

ParseResult ParseCommandLine(const std::vector<std::string>& args) {
  ParseResult result;
  Invocation& inv = result.invocation;
  Arguments arguments;
  struct Given {
    std::string name, value;
  };
  std::vector<Given> given;
  bool optionsEnd = false;

  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!optionsEnd && arg == "--") {
      optionsEnd = true;
      continue;
    }
    if (optionsEnd || arg.size() < 2 || arg[0] != '-' ||
        (arg[1] >= '0' && arg[1] <= '9')) {  // a negative number is an argument
      if (!inv.command) {
        inv.command = FindCommand(arg);
        if (!inv.command) {
          result.error = "unknown command '" + arg + "'";
          return result;
        }
      } else {
        arguments.positionals.push_back(arg);
      }
      continue;
    }
    std::string name = arg, value;
    size_t eq = arg.find('=');
    bool inlineValue = eq != std::string::npos && arg.compare(0, 2, "--") == 0;
    if (inlineValue) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
    }
    // A command's own option is known only once the command is; options
    // before the command are checked below, when it is.
    const OptionSpec* option = FindGlobal(name);
    if (!option) option = FindOwn(inv.command, name);
    if (!option && !AnyCommandTakes(name)) {
      result.error = "unknown option '" + name + "'";
      return result;
    }
    bool takesValue = option ? option->valueName != nullptr : false;
    if (!option) {
      for (const auto& c : Commands()) {
        if (const OptionSpec* o = FindOwn(&c, name)) takesValue = o->valueName != nullptr;
      }
    }
    if (takesValue && !inlineValue) {
      if (i + 1 >= args.size()) {
        result.error = "option " + name + " needs a value";
        return result;
      }
      value = args[++i];
    } else if (!takesValue && inlineValue) {
      result.error = "option " + name + " takes no value";
      return result;
    }
    given.push_back({name, value});
  }

  for (const auto& g : given) {
    if (g.name == "--help" || g.name == "-h") {
      inv.help = true;
      return result;  // the usage is shown whatever else is on the line
    }
    if (g.name == "--version") {
      inv.version = true;
      return result;
    }
    if (FindGlobal(g.name)) {
      result.error = ApplyGlobal(g.name, g.value, &inv);
      if (!result.error.empty()) return result;
      continue;
    }
    if (!FindOwn(inv.command, g.name)) {
      result.error =
          "option " + g.name + " does not go with " +
          (inv.command ? "'" + std::string(inv.command->name) + "'" : std::string("no command"));
      return result;
    }
    arguments.options.emplace_back(g.name, g.value);
  }

  if (!inv.command) {
    result.error = "missing command";
    return result;
  }
  result.error = inv.command->parse(arguments, &inv);
  return result;
}

namespace {

// The synopsis lines of a command, each after `lead`.
std::string SynopsisLines(const CommandSpec& c, const std::string& lead) {
  std::string text, line;
  const char* forms = std::strchr(c.synopsis, '\n');
  for (const char* p = forms ? forms + 1 : c.synopsis;; ++p) {
    if (*p == '\n' || *p == '\0') {
      text += lead + line + "\n";
      line.clear();
      if (*p == '\0') break;
    } else {
      line += *p;
    }
  }
  return text;
}

}  // namespace

std::string Usage(const CommandSpec* command) {
  if (!command) {
    std::string text =
        "Usage: zubtool [options] COMMAND [arguments]\n"
        "\n"
        "Checks and edits MIFARE Classic cards on a USB card reader through MifareZUB.\n"
        "\n"
        "Commands:\n";
    for (const auto& c : Commands()) {
      std::string synopsis = c.synopsis;
      synopsis = synopsis.substr(0, synopsis.find('\n'));
      std::string line = "  " + synopsis;
      if (line.size() < 28) {
        line.resize(28, ' ');
      } else {
        line += "\n" + std::string(28, ' ');
      }
      text += line + c.summary + "\n";
    }
    return text + "\n" + kGlobalOptions +
           "\n"
           "Keys are tried in the order --key, --keys-file, then FFFFFFFFFFFF; each as\n"
           "key A first, then as key B. 'zubtool COMMAND --help' shows one command.\n"
           "Exit status: 0 success, 1 the card or reader refused or failed, 2 bad\n"
           "arguments, 3 no reader at the device index.\n";
  }
  std::string text = "Usage:" + SynopsisLines(*command, " zubtool ");
  // Later forms line up under the first.
  for (size_t at = text.find("\n zubtool "); at != std::string::npos && at + 1 < text.size();
       at = text.find("\n zubtool ", at + 1)) {
    text.replace(at + 1, 1, "       ");
  }
  text += "\n" + std::string(command->description);
  if (!command->options.empty()) {
    text += "\n";
    for (const auto& o : command->options) {
      std::string head = std::string("  ") + o.name;
      if (o.valueName) head += std::string(" ") + o.valueName;
      if (head.size() < 20) {
        head.resize(20, ' ');
      } else {
        head += "\n" + std::string(20, ' ');
      }
      text += head + o.help + "\n";
    }
  }
  return text + "\n" + kGlobalOptions;
}

}  // namespace zubtool
