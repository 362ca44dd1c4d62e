#include "args.h"

#include <limits>

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

struct CommandEntry {
  const char* name;
  Command command;
};
const CommandEntry kCommands[] = {
    {"scan", Command::kScan},   {"dump", Command::kDump},   {"read", Command::kRead},
    {"write", Command::kWrite}, {"value", Command::kValue}, {"beep", Command::kBeep},
    {"led", Command::kLed},
};

std::optional<Command> CommandByName(const std::string& name) {
  for (const auto& c : kCommands) {
    if (name == c.name) return c.command;
  }
  return std::nullopt;
}

}  // namespace

const char* CommandName(Command command) {
  for (const auto& c : kCommands) {
    if (command == c.command) return c.name;
  }
  return "zubtool";
}

namespace {

// Options that take a value, and the commands that accept them (empty: all).
struct OptionSpec {
  const char* name;
  bool takesValue;
  std::vector<Command> only;
};
const OptionSpec kOptions[] = {
    {"--device", true, {}},
    {"--key", true, {}},
    {"--keys-file", true, {}},
    {"--no-default-key", false, {}},
    {"--key-type", true, {}},
    {"--verbose", false, {}},
    {"-v", false, {}},
    {"--help", false, {}},
    {"-h", false, {}},
    {"--version", false, {}},
    {"--out", true, {Command::kDump}},
    {"--card", true, {Command::kDump}},
    {"--force", false, {Command::kWrite}},
};

const OptionSpec* FindOption(const std::string& name) {
  for (const auto& o : kOptions) {
    if (name == o.name) return &o;
  }
  return nullptr;
}

std::string BlockError(const std::string& text) {
  return "not a block number (0 to 255): '" + text + "'";
}

// Checks the positional arguments of the command and stores them.
std::string ParsePositionals(const std::vector<std::string>& pos, Invocation* inv) {
  auto count = [&](size_t low, size_t high) -> std::string {
    if (pos.size() < low) return "missing argument";
    if (pos.size() > high) return "unexpected argument '" + pos[high] + "'";
    return "";
  };
  auto block = [&](const std::string& text) -> std::string {
    auto n = ParseNumber(text, 0, 255);
    if (!n) return BlockError(text);
    inv->block = static_cast<int>(*n);
    return "";
  };
  std::string error;
  switch (inv->command) {
    case Command::kScan:
    case Command::kDump:
      return count(0, 0);
    case Command::kRead:
      if (!(error = count(1, 1)).empty()) return error;
      return block(pos[0]);
    case Command::kWrite: {
      if (!(error = count(2, 2)).empty()) return error;
      if (!(error = block(pos[0])).empty()) return error;
      auto data = ParseHex(pos[1]);
      if (!data || data->size() != static_cast<size_t>(kBlockSize)) {
        return "block data must be 16 bytes as 32 hex digits: '" + pos[1] + "'";
      }
      inv->data = *data;
      if (inv->block == 0 && !inv->force) {
        return "block 0 holds the card's manufacturer data; write it only with --force";
      }
      if (IsTrailer(inv->block)) {
        if (!inv->force) {
          return "block " + pos[0] + " is the trailer of sector " +
                 std::to_string(SectorOfBlock(inv->block)) +
                 " (keys and access bits); write it only with --force";
        }
        if (!AccessBitsConsistent(inv->data)) {
          return "the access bits " + HexSpaced(Bytes(data->begin() + 6, data->begin() + 9)) +
                 " are not stored with their inverses and would lock sector " +
                 std::to_string(SectorOfBlock(inv->block)) + " for good";
        }
      }
      return "";
    }
    case Command::kValue: {
      if (pos.empty()) return "missing operation: get, set, inc or dec";
      const std::string& op = pos[0];
      if (op == "get") {
        inv->valueOp = ValueOp::kGet;
        if (!(error = count(2, 2)).empty()) return error;
      } else if (op == "set") {
        inv->valueOp = ValueOp::kSet;
        if (!(error = count(3, 3)).empty()) return error;
        auto n = ParseNumber(pos[2], std::numeric_limits<int32_t>::min(),
                             std::numeric_limits<int32_t>::max());
        if (!n) return "not a 32-bit value: '" + pos[2] + "'";
        inv->amount = static_cast<int32_t>(*n);
      } else if (op == "inc" || op == "dec") {
        inv->valueOp = op == "inc" ? ValueOp::kInc : ValueOp::kDec;
        if (!(error = count(2, 3)).empty()) return error;
        inv->amount = 1;
        if (pos.size() == 3) {
          auto n = ParseNumber(pos[2], 0, std::numeric_limits<int32_t>::max());
          if (!n) return "not an amount (0 to 2147483647): '" + pos[2] + "'";
          inv->amount = static_cast<int32_t>(*n);
        }
      } else {
        return "unknown value operation '" + op + "' (get, set, inc or dec)";
      }
      if (!(error = block(pos[1])).empty()) return error;
      if (inv->block == 0 || IsTrailer(inv->block)) {
        return "block " + pos[1] + " cannot be a value block (" +
               (inv->block == 0 ? "manufacturer data" : "a sector trailer") + ")";
      }
      return "";
    }
    case Command::kBeep: {
      if (!(error = count(0, 1)).empty()) return error;
      if (pos.size() == 1) {
        auto n = ParseNumber(pos[0], 0, 10000);
        if (!n) return "not a duration (0 to 10000 ms): '" + pos[0] + "'";
        inv->milliseconds = static_cast<int>(*n);
      }
      return "";
    }
    case Command::kLed: {
      if (!(error = count(2, 2)).empty()) return error;
      auto n = ParseNumber(pos[0], 0, 255);
      if (!n) return "not an LED number (0 to 255): '" + pos[0] + "'";
      inv->led = static_cast<int>(*n);
      if (pos[1] == "on") {
        inv->on = true;
      } else if (pos[1] == "off") {
        inv->on = false;
      } else {
        return "LED state must be on or off: '" + pos[1] + "'";
      }
      return "";
    }
    case Command::kNone:
      break;
  }
  return "missing command";
}

}  // namespace

ParseResult ParseCommandLine(const std::vector<std::string>& args) {
  ParseResult result;
  Invocation& inv = result.invocation;
  std::vector<std::string> positionals;
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
      if (inv.command == Command::kNone) {
        auto command = CommandByName(arg);
        if (!command) {
          result.error = "unknown command '" + arg + "'";
          return result;
        }
        inv.command = *command;
      } else {
        positionals.push_back(arg);
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
    const OptionSpec* option = FindOption(name);
    if (!option) {
      result.error = "unknown option '" + name + "'";
      return result;
    }
    if (option->takesValue && !inlineValue) {
      if (i + 1 >= args.size()) {
        result.error = "option " + name + " needs a value";
        return result;
      }
      value = args[++i];
    } else if (!option->takesValue && inlineValue) {
      result.error = "option " + name + " takes no value";
      return result;
    }
    given.push_back({name, value});
  }

  for (const auto& g : given) {
    const OptionSpec* option = FindOption(g.name);
    if (g.name == "--help" || g.name == "-h") {
      inv.help = true;
      return result;  // the usage is shown whatever else is on the line
    }
    if (g.name == "--version") {
      inv.version = true;
      return result;
    }
    if (!option->only.empty()) {
      bool allowed = false;
      for (Command c : option->only) allowed = allowed || c == inv.command;
      if (!allowed) {
        result.error =
            "option " + g.name + " does not go with " +
            (inv.command == Command::kNone ? std::string("no command")
                                           : "'" + std::string(CommandName(inv.command)) + "'");
        return result;
      }
    }
    if (g.name == "--device") {
      auto n = ParseNumber(g.value, 0, 255);
      if (!n) {
        result.error = "not a device index (0 to 255): '" + g.value + "'";
        return result;
      }
      inv.device = static_cast<int>(*n);
    } else if (g.name == "--key") {
      auto key = ParseHex(g.value);
      if (!key || key->size() != static_cast<size_t>(kKeySize)) {
        result.error = "not a key of 12 hex digits: '" + g.value + "'";
        return result;
      }
      inv.keys.push_back(*key);
    } else if (g.name == "--keys-file") {
      inv.keysFile = g.value;
    } else if (g.name == "--no-default-key") {
      inv.defaultKey = false;
    } else if (g.name == "--key-type") {
      if (g.value == "A" || g.value == "a") {
        inv.keyType = kKeyA;
      } else if (g.value == "B" || g.value == "b") {
        inv.keyType = kKeyB;
      } else {
        result.error = "key type must be A or B: '" + g.value + "'";
        return result;
      }
    } else if (g.name == "--verbose" || g.name == "-v") {
      inv.verbose = true;
    } else if (g.name == "--out") {
      if (g.value.empty()) {
        result.error = "option --out needs a file name";
        return result;
      }
      inv.out = g.value;
    } else if (g.name == "--card") {
      inv.layout = LayoutByName(g.value);
      if (!inv.layout) {
        result.error = "card must be 1K, 4K or mini: '" + g.value + "'";
        return result;
      }
    } else if (g.name == "--force") {
      inv.force = true;
    }
  }

  if (inv.command == Command::kNone) {
    result.error = "missing command";
    return result;
  }
  result.error = ParsePositionals(positionals, &inv);
  return result;
}

std::string Usage(Command command) {
  std::string text;
  switch (command) {
    case Command::kNone:
      return std::string(
                 "Usage: zubtool [options] COMMAND [arguments]\n"
                 "\n"
                 "Checks and edits MIFARE Classic cards on a USB card reader through MifareZUB.\n"
                 "\n"
                 "Commands:\n"
                 "  scan                      card type, UID and SAK of the card in the field\n"
                 "  dump [--out FILE]         every sector in hex and ASCII; raw image to FILE\n"
                 "  read BLOCK                one block in hex and ASCII\n"
                 "  write BLOCK HEX32         write one block (16 bytes as 32 hex digits)\n"
                 "  value get|set|inc|dec BLOCK [N]\n"
                 "                            read, make, add to or subtract from a value block\n"
                 "  beep [MS]                 sound the beeper (default 200 ms)\n"
                 "  led N on|off              switch LED N\n"
                 "\n") +
             kGlobalOptions +
             "\n"
             "Keys are tried in the order --key, --keys-file, then FFFFFFFFFFFF; each as\n"
             "key A first, then as key B. 'zubtool COMMAND --help' shows one command.\n"
             "Exit status: 0 success, 1 the card or reader refused or failed, 2 bad\n"
             "arguments, 3 no reader at the device index.\n";
    case Command::kScan:
      text =
          "Usage: zubtool scan [options]\n"
          "\n"
          "Wakes the card in the field, selects it and shows its type (from ATQA and\n"
          "SAK), its UID with the check byte, ATQA and SAK. Exit status 1 when no card\n"
          "answers.\n";
      break;
    case Command::kDump:
      text =
          "Usage: zubtool dump [options] [--out FILE] [--card 1K|4K|mini]\n"
          "\n"
          "Reads every sector, authenticating each with the keys to try (as key A, then\n"
          "as key B), and shows every block in hex and ASCII. Blocks no key can read are\n"
          "marked unreadable with the reason. Exit status 0 only when every block was\n"
          "read.\n"
          "\n"
          "  --out FILE        also write the raw card image (1024 bytes for 1K, 4096 for\n"
          "                    4K): blocks in order, unreadable blocks as zeros, the keys\n"
          "                    found placed in the sector trailers\n"
          "  --card 1K|4K|mini the card's size when its SAK does not tell it\n";
      break;
    case Command::kRead:
      text =
          "Usage: zubtool read [options] BLOCK\n"
          "\n"
          "Reads block BLOCK (0 to 255) and shows its 16 bytes in hex and ASCII.\n";
      break;
    case Command::kWrite:
      text =
          "Usage: zubtool write [options] [--force] BLOCK HEX32\n"
          "\n"
          "Writes 16 bytes, given as 32 hex digits (spaces, ':' and '-' between pairs\n"
          "allowed), to block BLOCK and reads them back. Block 0 and sector trailers\n"
          "(keys and access bits) are written only with --force; a trailer whose access\n"
          "bits are not stored with their inverses would lock its sector for good and is\n"
          "always refused.\n";
      break;
    case Command::kValue:
      text =
          "Usage: zubtool value get BLOCK\n"
          "       zubtool value set BLOCK N\n"
          "       zubtool value inc BLOCK [N]\n"
          "       zubtool value dec BLOCK [N]\n"
          "\n"
          "Value blocks hold a signed 32-bit value with its inverse and a copy, and an\n"
          "address byte. get shows the value; set formats the block as a value block\n"
          "holding N (address byte: the block number); inc and dec add or subtract N\n"
          "(default 1) and transfer the result back into the block. get fails when the\n"
          "block is not in value-block format.\n";
      break;
    case Command::kBeep:
      text =
          "Usage: zubtool beep [options] [MS]\n"
          "\n"
          "Sounds the reader's beeper for MS milliseconds (0 to 10000, default 200).\n";
      break;
    case Command::kLed:
      text =
          "Usage: zubtool led [options] N on|off\n"
          "\n"
          "Switches the reader's LED N (0 to 255) on or off.\n";
      break;
  }
  return text + "\n" + kGlobalOptions;
}

}  // namespace zubtool
