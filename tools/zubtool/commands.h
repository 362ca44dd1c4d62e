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
#include "session.h"
#include "verify.h"

namespace zubtool {

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // the card or the reader refused or failed
constexpr int kExitUsage = 2;
constexpr int kExitNoReader = 3;

// "zubtool: <what>" on standard error.
void Fail(const std::string& what);
// The same for a failure with a result code and, where known, its block
// (and so its sector): --json reports them in its error object.
void Fail(const std::string& what, std::optional<int32_t> code,
          std::optional<int> block = std::nullopt);
// A command's JSON result on standard output (one line).
void PrintJson(const Json& json);
// With --json, after a command that failed without printing its result: one
// JSON error object on standard output for the failures reported (message,
// code, its name, English description and library text, block and sector).
void PrintJsonError(int exitStatus);
// The error object PrintJsonError prints, for a result that failed in part
// (restore, format) and carries it in its own object.
Json ErrorJson();
// Adds "keyType" and "key": the key that opened the sector (null when none did).
Json OpenedWithJson(Json& object, const Access& access, const CardSession& session);
Json StringsJson(const std::vector<std::string>& texts);
// How a write was checked: "read back the same", "not verified (--no-verify)",
// "not verifiable: key B may not read the block", "failed".
std::string VerificationText(const WriteOutcome& outcome, bool verify);
// One block written, for --json: block, sector, data, the key that opened the
// sector, whether and how it was verified, what could not be compared, and
// what the card holds where it was read back.
Json WrittenJson(int block, const Bytes& data, const WriteOutcome& outcome, bool verify,
                 const CardSession& session);
// "   4  00 11 ...  |....|": one block in hex and ASCII.
std::string BlockLine(int block, const Bytes& data);
// Finds the card, reporting a failure; kExitOk when it is selected.
int FindCard(CardSession& session);
// Whether FILE can be written, checked before the card is read (reported
// when it cannot; a file that did not exist is not left behind).
bool CheckOutputFile(const std::string& path);
// Reports a block beyond the card's last block; kExitOk when it is on the card.
int CheckBlockOnCard(const CardSession& session, int block);

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

// The workbench: a page in the browser, served on the loopback address.
std::string ParseUi(const Arguments& args, Invocation* inv);
int RunUi(Context& context);

std::string ParseHelp(const Arguments& args, Invocation* inv);
int RunHelp(Context& context);

std::string ParseBeep(const Arguments& args, Invocation* inv);
int RunBeep(Context& context);
std::string ParseLed(const Arguments& args, Invocation* inv);
int RunLed(Context& context);

}  // namespace zubtool

#endif  // ZUBTOOL_COMMANDS_H
