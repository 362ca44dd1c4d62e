// zubtool: checks and edits MIFARE Classic cards on a USB reader through
// MifareZUB, for technicians in the field.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "args.h"
#include "command_table.h"
#include "commands.h"
#include "session.h"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#endif

#ifndef ZUBTOOL_VERSION
#define ZUBTOOL_VERSION "unknown"
#endif

namespace {

// The keys to try: --key in order, the keys file, then the transport key,
// each once.
bool CollectKeys(const zubtool::Invocation& inv, std::vector<zubtool::Bytes>* keys) {
  std::vector<zubtool::Bytes> all = inv.keys;
  if (!inv.keysFile.empty()) {
    std::ifstream file(inv.keysFile, std::ios::binary);
    if (!file) {
      std::fprintf(stderr, "zubtool: cannot read the keys file %s\n", inv.keysFile.c_str());
      return false;
    }
    std::stringstream text;
    text << file.rdbuf();
    std::string error;
    auto list = zubtool::ParseKeyList(text.str(), &error);
    if (!list) {
      std::fprintf(stderr, "zubtool: %s: %s\n", inv.keysFile.c_str(), error.c_str());
      return false;
    }
    all.insert(all.end(), list->begin(), list->end());
  }
  if (inv.defaultKey) all.push_back(zubtool::Bytes(zubtool::kKeySize, 0xFF));
  for (const auto& key : all) {
    bool seen = false;
    for (const auto& k : *keys) seen = seen || k == key;
    if (!seen) keys->push_back(key);
  }
  if (keys->empty()) {
    std::fprintf(stderr,
                 "zubtool: no key to try (--no-default-key without --key or --keys-file)\n");
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
#if defined(_WIN32)
  // The result texts are printed in UTF-8; a console must be told so.
  if (_isatty(_fileno(stdout)) || _isatty(_fileno(stderr))) SetConsoleOutputCP(CP_UTF8);
#endif
  std::vector<std::string> args(argv + 1, argv + argc);
  zubtool::ParseResult parsed = zubtool::ParseCommandLine(args);
  const zubtool::Invocation& inv = parsed.invocation;
  if (!parsed.error.empty()) {
    std::string help =
        inv.command ? std::string("zubtool ") + inv.command->name + " --help" : "zubtool --help";
    std::fprintf(stderr, "zubtool: %s\n(see '%s')\n", parsed.error.c_str(), help.c_str());
    return zubtool::kExitUsage;
  }
  if (inv.version) {
    std::printf("zubtool %s\n", ZUBTOOL_VERSION);
    return zubtool::kExitOk;
  }
  if (inv.help) {
    std::printf("%s", zubtool::Usage(inv.command).c_str());
    return zubtool::kExitOk;
  }
  std::vector<zubtool::Bytes> keys;
  if (!CollectKeys(inv, &keys)) return zubtool::kExitUsage;
  zubtool::Context context(inv, keys);
  int status = inv.command->run(context);
  if (inv.json && status != zubtool::kExitOk) zubtool::PrintJsonError(status);
  std::fflush(stdout);
  return status;
}
