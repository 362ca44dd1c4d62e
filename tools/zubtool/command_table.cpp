#include "command_table.h"

#include <iterator>

#include "commands.h"
#include "open_failure.h"
#include "library_reader.h"
#include "session.h"
#include "status.h"

namespace zubtool {

namespace {

// acl SECTOR reads the sector's trailer; --bytes and encode touch no card.
bool AclTriesKeys(const Invocation& inv) {
  return inv.sector >= 0;
}

}  // namespace

bool TriesNoKey(const Invocation&) {
  return false;
}

// diff reads the card, and so tries keys, only when one side is the card.
bool DiffTriesKeys(const Invocation& inv) {
  return inv.file == "card" || inv.file2 == "card";
}

bool TriesKeys(const Invocation& inv) {
  return inv.command && (!inv.command->triesKeys || inv.command->triesKeys(inv));
}

namespace {

// The table in use: the core's own until the program installs its own.
std::vector<CommandSpec>& Installed() {
  static std::vector<CommandSpec> table = CommandTable();
  return table;
}

}  // namespace

std::vector<CommandSpec> CommandTable(std::vector<CommandSpec> above) {
  std::vector<CommandSpec> table = {
      {"scan",
       "scan [--wait [SECONDS]] [--json]",
       "card type, UID and SAK of the card in the field",
       "Wakes the card in the field, selects it and shows its type (from ATQA and\n"
       "SAK), its UID with the check byte, ATQA and SAK. Exit status 1 when no card\n"
       "answers. With --wait it polls the field (every 100 ms) until a card enters\n"
       "it, for SECONDS at most (no limit without it).\n",
       {{"--wait", nullptr, "wait for a card to enter the field"},
        {"--json", nullptr, "one JSON object on standard output"}},
       ParseScan,
       RunScan,
       TriesNoKey},
      {"dump",
       "dump [--out FILE [--format FMT] [--overwrite]] [--card 1K|2K|4K|mini] [--json]",
       "every sector in hex and ASCII; the image to FILE",
       "Reads every sector, authenticating each with the keys to try (as key A, then\n"
       "as key B), and shows every block in hex and ASCII. Blocks no key can read are\n"
       "marked unreadable with the reason; each sector's access conditions follow in\n"
       "words (see 'zubtool acl --help'). --out FILE is checked before the card is\n"
       "read. Exit status 0 only when every block was read.\n"
       "\n"
       "The image keeps unknown what the dump could not learn: blocks it could not\n"
       "read, key A unless key A opened the sector (the card never shows it), key B\n"
       "unless the trailer shows it or it opened the sector. Formats, by the file's\n"
       "extension or --format: raw (.mfd, .bin), mct, eml, json, nfc; raw and eml\n"
       "cannot mark a byte unknown and hold zeros there, and FF 07 80 69 for unknown\n"
       "access bytes (the tool says so).\n",
       {{"--out", "FILE",
         "also write the card image (blocks in order, the keys found in the trailers)"},
        {"--format", "FMT",
         "the image's format: raw, mct, eml, json or nfc (default: by extension, else raw)"},
        {"--overwrite", nullptr, "replace FILE if it exists"},
        {"--card", "1K|2K|4K|mini", "the card's size when its SAK does not tell it"},
        {"--json", nullptr, "one JSON object on standard output"}},
       ParseDump,
       RunDump},
      {"restore",
       "restore [--trailers --force] [--block0] [--dry-run] [--format FMT] [--json] FILE",
       "write a card image (any dump format) back to the card",
       "Writes a card image (raw .mfd/.bin, .mct, .eml, .json or .nfc; recognised by\n"
       "its content, else by its extension, or as --format says) to the card in the\n"
       "field. Data blocks only, unless --trailers (sector trailers, with --force) or\n"
       "--block0 is given; a sector's data blocks are written before its trailer.\n"
       "Before anything is written the image must look like a card's: block 0's check\n"
       "byte the XOR of its UID, every trailer's access bits beside their inverted\n"
       "copy, the card's size (--not-a-card-image writes it anyway). Every trailer\n"
       "passes the checks of 'zubtool write --help': one refused trailer and nothing\n"
       "is written at all. A block with a byte the image does not know is skipped and\n"
       "reported; a trailer's unknown key needs --key-a/--key-b. The image's UID is\n"
       "shown beside the card's. Each sector is opened with the keys the image holds\n"
       "for it, then with the keys to try. A report per sector; exit status 1 when\n"
       "any block was not written, naming them.\n",
       {{"--trailers", nullptr, "write the sector trailers too (needs --force)"},
        {"--force", nullptr, "allow writing sector trailers"},
        {"--irreversible", nullptr, "allow access conditions that can never be undone"},
        {"--key-a", "HEX",
         "key A for trailers whose key A is unknown or 000000000000 in the image"},
        {"--key-b", "HEX",
         "key B for trailers whose key B is unknown or 000000000000 in the image"},
        {"--block0", nullptr, "write block 0 too (genuine cards refuse it)"},
        {"--dry-run", nullptr, "list what would be written; touch no card"},
        {"--format", "FMT", "read FILE as raw, mct, eml, json or nfc"},
        {"--not-a-card-image", nullptr, "write an image that fails the card-image checks"},
        {"--no-verify", nullptr, "do not read each block back to compare it"},
        {"--json", nullptr, "one JSON object of the result on standard output"}},
       ParseRestore,
       RunRestore},
      {"format",
       "format --force [--dry-run] [--no-verify] [--card 1K|2K|4K|mini] [--json]",
       "back to the factory state: data zeroed, transport keys",
       "Puts the card back to its factory state: every data block but block 0 zeroed,\n"
       "every trailer FFFFFFFFFFFF FF078069 FFFFFFFFFFFF (transport keys and\n"
       "conditions). Each sector is opened with the keys to try (as key A, then as\n"
       "key B); before anything is written in it, its trailer is read to check that\n"
       "this key may write every block and the whole trailer. A sector no key\n"
       "opens, or whose conditions forbid the writes, is reported and left as it is.\n"
       "Data blocks are written first, the trailer last, each read back and\n"
       "compared. A table of the sectors follows. Needs --force: it erases the\n"
       "card. Exit status 1 when any sector was left.\n",
       {{"--force", nullptr, "erase the card (format needs it)"},
        {"--dry-run", nullptr, "show which sectors would be formatted; write nothing"},
        {"--no-verify", nullptr, "do not read each block back to compare it"},
        {"--card", "1K|2K|4K|mini", "the card's size when its SAK does not tell it"},
        {"--json", nullptr, "one JSON object of the result on standard output"}},
       ParseFormat,
       RunFormat},
      {"convert",
       "convert [--from FMT] [--to FMT] [--overwrite] [--card mini|1K|2K|4K] IN OUT",
       "a card image from one dump format to another",
       "Reads the card image IN (recognised by its content, else by its extension,\n"
       "or as --from says) and writes it to OUT in the format of OUT's extension (or\n"
       "--to): raw (.mfd, .bin), mct, eml, json, nfc. The card's size (Mini, 1K, 2K,\n"
       "4K) is the file's count of blocks or sectors; the SAK decides only for a file\n"
       "that leaves some out, and the tool names what it left out. Unknown bytes stay\n"
       "unknown in mct, json and nfc; raw and eml hold zeros there, and FF 07 80 69\n"
       "for unknown access bytes, and the tool says how many. A UID, ATQA or SAK not\n"
       "known is never guessed: what a .nfc file needs in its place is named.\n"
       "No reader is needed. Exit status 2 when IN is no image or OUT cannot be\n"
       "written.\n",
       {{"--from", "FMT", "read IN as raw, mct, eml, json or nfc"},
        {"--to", "FMT", "write OUT as raw, mct, eml, json or nfc"},
        {"--overwrite", nullptr, "replace OUT if it exists"},
        {"--card", "mini|1K|2K|4K",
         "the card's size, for a file that leaves blocks or sectors out"}},
       ParseConvert,
       RunConvert,
       TriesNoKey},
      {"diff",
       "diff [--json] A B",
       "the blocks in which two images (or an image and the card) differ",
       "Compares two card images block by block. A and B are image files of any dump\n"
       "format, or 'card' for the card in the field (read as dump reads it). Each\n"
       "block that differs is shown from both sides, with a caret under each byte\n"
       "that differs; a changed trailer's keys and access conditions and a changed\n"
       "value block's value are decoded. Bytes unknown on either side are not\n"
       "compared, and counted. Exit status 0 when they are the same, 1 when they\n"
       "differ, 2 when an image or the card cannot be read.\n",
       {{"--json", nullptr, "one JSON object on standard output"}},
       ParseDiff,
       RunDiff,
       DiffTriesKeys},
      {"keys",
       "keys [--out FILE [--resume]] [--json]",
       "which key A and which key B open each sector",
       "Finds, for every sector, which key A and which key B open it: the keys to\n"
       "try (--key, --keys-file) first, then a built-in list of widely published\n"
       "default and transport keys (left out with --no-default-key). A key that\n"
       "opened one sector is tried first on the next. A refused key costs three\n"
       "exchanges (the try, then waking and selecting the card again). Progress is\n"
       "shown on standard error when the search takes more than a second. Where key\n"
       "A may read key B, key B cannot authenticate and is shown as readable.\n"
       "The --out file is written as the search goes; --resume reads it first (it\n"
       "must be for the same card), tries its keys first and searches only the sector\n"
       "keys it did not settle (found, or searched in vain), then writes the merged\n"
       "result back to it.\n"
       "Exit status 1 when some sector is opened by no key.\n",
       {{"--out", "FILE", "write the keys found as a keys file (for --keys-file)"},
        {"--resume", nullptr, "go on from the search an earlier --out FILE recorded"},
        {"--card", "1K|2K|4K|mini", "the card's size when its SAK does not tell it"},
        {"--json", nullptr, "one JSON object on standard output"}},
       ParseKeys,
       RunKeys},
      {"acl",
       "acl SECTOR | --bytes HEX | encode DATA TRAILER\n"
       "acl SECTOR\n"
       "acl --bytes HEX\n"
       "acl encode DATA TRAILER\n"
       "acl encode DATA0 DATA1 DATA2 TRAILER",
       "access conditions in words; access bytes from conditions",
       "Shows a sector's access conditions in words, per block: who may read, write,\n"
       "increment, and decrement/transfer/restore each data block, and for the\n"
       "trailer who may write key A, read and write the access bits, read and write\n"
       "key B. 'key A or B', 'key A', 'key B' or 'never'. The conditions come from\n"
       "the card (acl SECTOR reads the sector's trailer) or from trailer bytes 6-8\n"
       "given with --bytes (3 bytes, 4 with byte 9, or a whole 16-byte trailer).\n"
       "Conditions that can never be undone once written are listed.\n"
       "\n"
       "acl encode builds bytes 6-8 from conditions: one for all data blocks or one\n"
       "for each, then the trailer's; each as three bits C1C2C3 (000 to 111) or a\n"
       "name: for data blocks open (000), read-only (010), value (110), locked\n"
       "(111); for the trailer transport (001), key-b (011), frozen (111).\n",
       {{"--bytes", "HEX", "decode these access bytes instead of reading the card"}},
       ParseAcl,
       RunAcl,
       AclTriesKeys},
      {"read",
       "read [--json] BLOCK",
       "one block in hex and ASCII",
       "Reads block BLOCK (0 to 255) and shows its 16 bytes in hex and ASCII.\n",
       {{"--json", nullptr, "one JSON object on standard output"}},
       ParseRead,
       RunRead},
      {"write",
       "write [--force [--irreversible] [--key-a HEX] [--key-b HEX]] [--block0] [--json] BLOCK "
       "HEX32",
       "write one block (16 bytes as 32 hex digits)",
       "Writes 16 bytes, given as 32 hex digits (spaces, ':' and '-' between pairs\n"
       "allowed), to block BLOCK and reads them back. Every check is made before\n"
       "anything is sent:\n"
       "  - block 0 (UID and manufacturer data) only with --block0; genuine cards\n"
       "    refuse it anyway;\n"
       "  - a sector trailer (keys and access bits) only with --force;\n"
       "  - access bits not stored with their inverses are always refused: they\n"
       "    would lock the sector for good;\n"
       "  - access conditions that can never be undone (access bits or the trailer\n"
       "    frozen, blocks that can never be written again, a key fixed for good)\n"
       "    need --irreversible as well; the refusal says what would become\n"
       "    impossible;\n"
       "  - a trailer whose key A is 000000000000 needs --key-a: the card never\n"
       "    shows key A, so a trailer copied from 'read' or a dump holds zeros there;\n"
       "    the same for key B and --key-b (hidden unless key A may read it).\n",
       {{"--force", nullptr, "allow writing a sector trailer"},
        {"--irreversible", nullptr, "allow access conditions that can never be undone"},
        {"--key-a", "HEX", "the trailer's key A, where its bytes 0-5 are zeros"},
        {"--key-b", "HEX", "the trailer's key B, where its bytes 10-15 are zeros"},
        {"--block0", nullptr, "allow writing block 0"},
        {"--no-verify", nullptr, "do not read the block back to compare it"},
        {"--json", nullptr, "one JSON object of the result on standard output"}},
       ParseWrite,
       RunWrite},
      {"value",
       "value get|set|inc|dec [--json] BLOCK [N]\n"
       "value get [--json] BLOCK\n"
       "value set [--json] BLOCK N\n"
       "value inc [--json] BLOCK [N]\n"
       "value dec [--json] BLOCK [N]",
       "read, make, add to or subtract from a value block",
       "Value blocks hold a signed 32-bit value with its inverse and a copy, and an\n"
       "address byte. get shows the value; set formats the block as a value block\n"
       "holding N (address byte: the block number); inc and dec add or subtract N\n"
       "(default 1) and transfer the result back into the block. get fails when the\n"
       "block is not in value-block format; inc and dec look at the block first and\n"
       "leave a block that is not a value block alone.\n",
       {{"--json", nullptr, "one JSON object of the result on standard output"},
        {"--no-verify", nullptr, "do not read the block back to compare it"}},
       ParseValue,
       RunValue},
      {"mad",
       "mad [--card 1K|2K|4K|mini] [--json]",
       "the application directory: each sector's application, the free sectors",
       "Reads the MIFARE Application Directory (sector 0, and sector 16 on a card\n"
       "with MAD2) with its public key A A0A1A2A3A4A5 (then the keys to try) and shows\n"
       "its CRC (stored and computed), the card publisher's sector, the general\n"
       "purpose byte, sector 0's access conditions, and for every sector its\n"
       "application ID (as stored: application code, then function cluster) and what\n"
       "it means; then the free sectors and the NFC Forum's (03E1). A CRC that does\n"
       "not match is reported: the entries are shown, but not to be trusted, and the\n"
       "exit status is 1.\n",
       {{"--card", "1K|2K|4K|mini", "the card's size when its SAK does not tell it"},
        {"--json", nullptr, "one JSON object on standard output"}},
       ParseMadCommand,
       RunMad},
      {"ndef",
       "ndef read|write|format [options]\n"
       "ndef read [--json]\n"
       "ndef write (--uri URI | --text TEXT [--lang LANG] | --mime TYPE FILE | "
       "--absolute-uri URI FILE | --external TYPE FILE | --message FILE) [--json]\n"
       "ndef format [--force] [--key-b HEX] [--read-only-forever] [MESSAGE OPTIONS] [--json]",
       "read, write or format an NFC Forum (NDEF) tag",
       "ndef read reads the directory's blocks and then only the NFC sectors' blocks\n"
       "that hold the message (key A D3F7D3F7D3F7 first), and shows each record: its\n"
       "type and what it is, a URI record's URL, a text record's language and text,\n"
       "a MIME record's type and size. A directory whose CRC does not match, a TLV\n"
       "that runs past the NFC sectors, a chunked record are refused with the reason.\n"
       "\n"
       "ndef write puts one record (a URI, with its prefix compressed; a text, in\n"
       "UTF-8, language 'en' unless --lang; a MIME type, an absolute URI or an\n"
       "external type (domain:type) with FILE's content) or a\n"
       "whole NDEF message from a file into the NFC sectors the directory names, and\n"
       "reads every block back; the blocks of a longer message before it are cleared.\n"
       "Nothing is written when the message does not fit\n"
       "(the error says how many bytes do), when a URI holds a control character, or\n"
       "when an NFC sector does not open or may not be written.\n"
       "\n"
       "ndef format writes the directory (MAD1, MAD2 on a 2K or 4K) and makes every\n"
       "other sector an NFC sector holding an empty message (or the one the message\n"
       "options give). Every sector is opened and read first: one that no key may\n"
       "rewrite whole, or whose key B is unknown, stops it before anything is\n"
       "written, and so does data in any block unless --force. Each sector keeps its\n"
       "key B unless --key-b gives one. --read-only-forever writes trailers that no\n"
       "key can ever change again: the tag stays as written for good.\n",
       {{"--uri", "URI", "write a URI record"},
        {"--text", "TEXT", "write a text record (UTF-8)"},
        {"--lang", "LANG", "the text record's language (default en)"},
        {"--mime", "TYPE", "write a MIME record of type TYPE holding FILE"},
        {"--absolute-uri", "URI", "write an absolute URI record of type URI holding FILE"},
        {"--external", "TYPE", "write an external type record (domain:type) holding FILE"},
        {"--message", "FILE", "write FILE, a whole NDEF message"},
        {"--force", nullptr, "format: erase a card that holds data"},
        {"--key-b", "HEX", "format: key B for every sector (default: each sector keeps its own)"},
        {"--read-only-forever", nullptr,
         "format: make the tag read-only; this can never be undone"},
        {"--no-verify", nullptr, "do not read each block back to compare it"},
        {"--card", "1K|2K|4K|mini", "the card's size when its SAK does not tell it"},
        {"--json", nullptr, "one JSON object on standard output"}},
       ParseNdef,
       RunNdef},
      {"beep",
       "beep [MS]",
       "sound the beeper (default 200 ms)",
       "Sounds the reader's beeper for MS milliseconds (0 to 10000, default 200).\n",
       {},
       ParseBeep,
       RunBeep,
       TriesNoKey},
      {"led",
       "led N on|off",
       "switch LED N",
       "Switches the reader's LED N (0 to 255) on or off.\n",
       {},
       ParseLed,
       RunLed,
       TriesNoKey},
      {"help",
       "help [COMMAND|codes]",
       "the usage of the tool or of a command; result codes",
       "Shows the tool's usage, a command's (the same as 'zubtool COMMAND --help'), or\n"
       "with 'codes' every result code the library returns: its number, its name in\n"
       "MifareZUB.h, its meaning in English and the library's own text.\n",
       {},
       ParseHelp,
       RunHelp,
       TriesNoKey},
  };
  // The commands of the layers above go before help, which stays last.
  table.insert(table.end() - 1, std::make_move_iterator(above.begin()),
               std::make_move_iterator(above.end()));
  return table;
}

const std::vector<CommandSpec>& Commands() {
  return Installed();
}

void InstallCommands(std::vector<CommandSpec> table) {
  Installed() = std::move(table);
}

Context::Context(const Invocation& invocation, PackedKeys keys)
    : inv(invocation), keys_(std::make_shared<PackedKeys>(std::move(keys))) {}

PackedKeys Context::TakeKeys() {
  PackedKeys keys = std::move(*keys_);
  keys_ = std::make_shared<PackedKeys>();
  return keys;
}

void Context::SetKeys(PackedKeys keys) {
  keys_ = std::make_shared<PackedKeys>(std::move(keys));
}

Context::~Context() = default;

int Context::Open() {
  reader_ = std::make_unique<LibraryReader>(inv.verbose);
  int32_t r = reader_->Open(inv.device);
  if (r != 0) {
    // A reader that is there but cannot be opened says why, where the vendor
    // library can tell.
    const std::string why = OpenErrorText(LastOpenError());
    if (why.empty()) {
      output_.Fail("no reader at device index " + std::to_string(inv.device) + ": " + Describe(r),
                   r);
    } else {
      output_.Fail("cannot open the reader at device index " + std::to_string(inv.device) + ": " +
                       why + " (" + ResultText(r) + ", " + std::to_string(r) + ")",
                   r);
    }
    return kExitNoReader;
  }
  session_ = std::make_unique<CardSession>(*reader_, keys_);
  return kExitOk;
}

const CommandSpec* FindCommand(const std::string& name) {
  for (const auto& c : Commands()) {
    if (name == c.name) return &c;
  }
  return nullptr;
}

}  // namespace zubtool
