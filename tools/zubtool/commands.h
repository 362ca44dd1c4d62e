// The commands of zubtool: for each, the parser of its arguments and the
// function that runs it, as the command table (command_table.cpp) names them.
#ifndef ZUBTOOL_COMMANDS_H
#define ZUBTOOL_COMMANDS_H

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "command_table.h"
#include "json.h"
#include "output.h"
#include "session.h"
#include "verify.h"

namespace zubtool {

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // the card or the reader refused or failed
constexpr int kExitUsage = 2;
constexpr int kExitNoReader = 3;

// Finds the card, reporting a failure; kExitOk when it is selected.
int FindCard(Output& output, CardSession& session);
// Whether FILE can be written, checked before the card is read (reported
// when it cannot; a file that did not exist is not left behind).
bool CheckOutputFile(Output& output, const std::string& path);
// Reports a block beyond the card's last block; kExitOk when it is on the card.
int CheckBlockOnCard(Output& output, const CardSession& session, int block);

std::string ParseNone(const Arguments& args, Invocation* inv);
std::string ParseScan(const Arguments& args, Invocation* inv);
int RunScan(Context& context);

std::string ParseRead(const Arguments& args, Invocation* inv);
int RunRead(Context& context);
std::string ParseWrite(const Arguments& args, Invocation* inv);
int RunWrite(Context& context);
std::string ParseValue(const Arguments& args, Invocation* inv);
int RunValue(Context& context);

std::string ParseDump(const Arguments& args, Invocation* inv);
int RunDump(Context& context);

// What dump learnt about one sector.
struct SectorDump {
  std::optional<Bytes> keyA, keyB;
  bool keyBRead = false;  // key B came from the trailer, not from authenticating
  std::vector<std::optional<Bytes>> blocks;
  std::vector<int32_t> results;
  std::optional<int32_t> refused[2];  // why no key opened it, per key type tried
};
// Reads every sector of the selected card into an image, as dump does: what
// it could not read, and the keys it did not learn, stay unknown. `onSector`,
// when given, sees each sector as it is read.
CardImage ReadCard(CardSession& session, const CardLayout& layout, std::optional<int> keyType,
                   const std::function<void(int sector, const SectorDump&)>& onSector = nullptr);

// --format NAME; "" or the error.
std::string ParseFormatOption(const Arguments& args, const char* option,
                              std::optional<Format>* format);
std::string ParseRestore(const Arguments& args, Invocation* inv);
int RunRestore(Context& context);

// The built-in list of widely published keys `keys` tries.
const std::vector<Bytes>& BuiltInKeys();
std::string ParseKeys(const Arguments& args, Invocation* inv);
int RunKeys(Context& context);

std::string ParseFormat(const Arguments& args, Invocation* inv);
int RunFormat(Context& context);

std::string ParseAcl(const Arguments& args, Invocation* inv);
int RunAcl(Context& context);

std::string ParseConvert(const Arguments& args, Invocation* inv);
int RunConvert(Context& context);
std::string ParseDiff(const Arguments& args, Invocation* inv);
int RunDiff(Context& context);

std::string ParseMadCommand(const Arguments& args, Invocation* inv);
int RunMad(Context& context);
std::string ParseNdef(const Arguments& args, Invocation* inv);
int RunNdef(Context& context);
// The NDEF message of one URI record, or of one text record in `language`:
// "" or why it cannot be written (what ndef write --uri and --text refuse).
std::string UriMessage(const std::string& uri, Bytes* message);
std::string TextMessage(const std::string& text, const std::string& language, Bytes* message);
// What WriteNdefMessage did.
struct NdefWritten {
  bool writing = false;  // every check passed and the writes began
  std::string card;
  std::vector<int> nfcSectors;
  size_t capacity = 0;              // the largest message the NFC sectors hold
  std::vector<int> blocks;          // the blocks written, in order
  Json blocksJson = Json::Array();  // each as ndef write --json shows it
};
// Writes `inv.data` into the NFC sectors the card's directory names, as
// ndef write does: the directory and the old message read first (with the
// public keys where the session's keys hold them), every sector to write
// checked before the first write, the blocks of a longer message before it
// cleared, each block read back when `inv.verify`. The exit status; the
// failures go to `output`.
int WriteNdefMessage(Output& output, CardSession& session, const Invocation& inv, NdefWritten* out);

std::string ParseHelp(const Arguments& args, Invocation* inv);
int RunHelp(Context& context);

std::string ParseBeep(const Arguments& args, Invocation* inv);
int RunBeep(Context& context);
std::string ParseLed(const Arguments& args, Invocation* inv);
int RunLed(Context& context);

}  // namespace zubtool

#endif  // ZUBTOOL_COMMANDS_H
