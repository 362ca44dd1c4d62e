// zubtool: checks and edits MIFARE Classic cards on a USB reader through
// MifareZUB, for technicians in the field.
#include <cstdio>
#include <exception>
#include <fstream>
#include <string>
#include <vector>

#include "args.h"
#include "cmd_ui.h"
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

// Lines of a keys file that are not keys are named up to this many; the
// rest are counted.
constexpr size_t kSkippedShown = 10;

// The keys file is read in pieces of this size: the whole text is never held.
constexpr size_t kReadPiece = 64 * 1024;

// The keys to try: --key in order, the keys file, then the transport key,
// each once. A line of the keys file that holds no key is a warning.
bool CollectKeys(const zubtool::Invocation& inv, zubtool::PackedKeys* keys) {
  zubtool::PackedKeys all(inv.keys);
  if (!inv.keysFile.empty()) {
    std::ifstream file(inv.keysFile, std::ios::binary);
    if (!file) {
      std::fprintf(stderr, "zubtool: cannot read the keys file %s\n", inv.keysFile.c_str());
      return false;
    }
    zubtool::KeyListReader reader(kSkippedShown);
    std::vector<char> piece(kReadPiece);
    while (file) {
      file.read(piece.data(), static_cast<std::streamsize>(piece.size()));
      reader.Feed(piece.data(), static_cast<size_t>(file.gcount()));
    }
    if (file.bad()) {
      std::fprintf(stderr, "zubtool: cannot read the keys file %s to its end\n",
                   inv.keysFile.c_str());
      return false;
    }
    zubtool::KeyList list = reader.Finish();
    for (const auto& skipped : list.skipped) {
      std::fprintf(stderr, "zubtool: %s: %s (skipped)\n", inv.keysFile.c_str(),
                   zubtool::SkippedLineText(skipped).c_str());
    }
    if (list.skippedLines > list.skipped.size()) {
      std::fprintf(stderr, "zubtool: %s: %zu more lines that are not keys skipped\n",
                   inv.keysFile.c_str(), list.skippedLines - list.skipped.size());
    }
    all.Append(std::move(list.keys));
  }
  if (inv.defaultKey) all.Push(zubtool::Bytes(zubtool::kKeySize, 0xFF));
  all.RemoveDuplicates();
  *keys = std::move(all);
  // keys --resume tries the keys of its --out file too: none given is then no mistake.
  if (keys->empty() && !inv.resume) {
    std::fprintf(stderr,
                 "zubtool: no key to try (--no-default-key without --key or --keys-file)\n");
    return false;
  }
  return true;
}

}  // namespace

static int Main(int argc, char** argv) {
#if defined(_WIN32)
  // The result texts are printed in UTF-8; a console must be told so.
  if (_isatty(_fileno(stdout)) || _isatty(_fileno(stderr))) SetConsoleOutputCP(CP_UTF8);
#endif
  // The core's commands and the workbench's, which builds on the core.
  zubtool::InstallCommands(zubtool::CommandTable({zubtool::UiCommand()}));
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
  // A command that tries no key does not read the keys file at all.
  zubtool::PackedKeys keys;
  if (zubtool::TriesKeys(inv) && !CollectKeys(inv, &keys)) return zubtool::kExitUsage;
  zubtool::Context context(inv, std::move(keys));
  int status = inv.command->run(context);
  if (inv.json && status != zubtool::kExitOk) context.Out().PrintJsonError(status);
  std::fflush(stdout);
  return status;
}

// What no command expected (memory exhausted, a library's refusal that its
// caller did not foresee) ends the run with a message and exit status 2, the
// reader closed on the way out, instead of an abort.
int main(int argc, char** argv) {
  try {
    return Main(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zubtool: internal error: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "zubtool: internal error\n");
  }
  return zubtool::kExitUsage;
}
