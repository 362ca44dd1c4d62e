#include "command_table.h"

#include "commands.h"

namespace zubtool {

const std::vector<CommandSpec>& Commands() {
  static const std::vector<CommandSpec> kCommands = {
      {"scan",
       "scan",
       "card type, UID and SAK of the card in the field",
       "Wakes the card in the field, selects it and shows its type (from ATQA and\n"
       "SAK), its UID with the check byte, ATQA and SAK. Exit status 1 when no card\n"
       "answers.\n",
       {},
       ParseNone,
       RunScan,
       true},
      {"dump",
       "dump [--out FILE] [--card 1K|4K|mini]",
       "every sector in hex and ASCII; raw image to FILE",
       "Reads every sector, authenticating each with the keys to try (as key A, then\n"
       "as key B), and shows every block in hex and ASCII. Blocks no key can read are\n"
       "marked unreadable with the reason. Exit status 0 only when every block was\n"
       "read.\n",
       {{"--out", "FILE",
         "also write the raw card image (1024 bytes for 1K, 4096 for\n"
         "                    4K): blocks in order, unreadable blocks as zeros, the keys\n"
         "                    found placed in the sector trailers"},
        {"--card", "1K|4K|mini", "the card's size when its SAK does not tell it"}},
       ParseDump,
       RunDump,
       true},
      {"read",
       "read BLOCK",
       "one block in hex and ASCII",
       "Reads block BLOCK (0 to 255) and shows its 16 bytes in hex and ASCII.\n",
       {},
       ParseRead,
       RunRead,
       true},
      {"write",
       "write [--force] BLOCK HEX32",
       "write one block (16 bytes as 32 hex digits)",
       "Writes 16 bytes, given as 32 hex digits (spaces, ':' and '-' between pairs\n"
       "allowed), to block BLOCK and reads them back. Block 0 and sector trailers\n"
       "(keys and access bits) are written only with --force; a trailer whose access\n"
       "bits are not stored with their inverses would lock its sector for good and is\n"
       "always refused.\n",
       {{"--force", nullptr, "allow writing block 0 or a sector trailer"}},
       ParseWrite,
       RunWrite,
       true},
      {"value",
       "value get|set|inc|dec BLOCK [N]\n"
       "value get BLOCK\n"
       "value set BLOCK N\n"
       "value inc BLOCK [N]\n"
       "value dec BLOCK [N]",
       "read, make, add to or subtract from a value block",
       "Value blocks hold a signed 32-bit value with its inverse and a copy, and an\n"
       "address byte. get shows the value; set formats the block as a value block\n"
       "holding N (address byte: the block number); inc and dec add or subtract N\n"
       "(default 1) and transfer the result back into the block. get fails when the\n"
       "block is not in value-block format.\n",
       {},
       ParseValue,
       RunValue,
       true},
      {"beep",
       "beep [MS]",
       "sound the beeper (default 200 ms)",
       "Sounds the reader's beeper for MS milliseconds (0 to 10000, default 200).\n",
       {},
       ParseBeep,
       RunBeep,
       true},
      {"led",
       "led N on|off",
       "switch LED N",
       "Switches the reader's LED N (0 to 255) on or off.\n",
       {},
       ParseLed,
       RunLed,
       true},
  };
  return kCommands;
}

const CommandSpec* FindCommand(const std::string& name) {
  for (const auto& c : Commands()) {
    if (name == c.name) return &c;
  }
  return nullptr;
}

}  // namespace zubtool
