// The commands of zubtool: for each, the parser of its arguments and the
// function that runs it, as the command table (command_table.cpp) names them.
#ifndef ZUBTOOL_COMMANDS_H
#define ZUBTOOL_COMMANDS_H

#include <cstdint>
#include <optional>
#include <string>

#include "command_table.h"
#include "json.h"

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
void Fail(const std::string& what, int32_t code, std::optional<int> block = std::nullopt);
// A command's JSON result on standard output (one line).
void PrintJson(const Json& json);
// With --json, after a command that failed without printing its result: one
// JSON error object on standard output for the failures reported (message,
// code, its name, English description and library text, block and sector).
void PrintJsonError(int exitStatus);
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

// A card image file (the layout dump --out writes); nothing, with the error,
// when it cannot be read or has no card's size.
std::optional<Bytes> ReadCardImage(const std::string& path, CardLayout* layout, std::string* error);
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

std::string ParseHelp(const Arguments& args, Invocation* inv);
int RunHelp(Context& context);

std::string ParseBeep(const Arguments& args, Invocation* inv);
int RunBeep(Context& context);
std::string ParseLed(const Arguments& args, Invocation* inv);
int RunLed(Context& context);

}  // namespace zubtool

#endif  // ZUBTOOL_COMMANDS_H
