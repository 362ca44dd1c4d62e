// help: the tool's usage, a command's, or the table of result codes.
#include <cstdio>

#include "commands.h"
#include "status.h"

namespace zubtool {

std::string ParseHelp(const Arguments& args, Invocation* inv) {
  std::string error = args.Count(0, 1, {});
  if (!error.empty()) return error;
  if (args.positionals.empty()) return "";
  inv->topic = args.positionals[0];
  if (inv->topic != "codes" && !FindCommand(inv->topic)) {
    return "no help on '" + inv->topic + "' (a command, or codes)";
  }
  return "";
}

int RunHelp(Context& context) {
  const std::string& topic = context.inv.topic;
  if (topic.empty()) {
    std::printf("%s", Usage(nullptr).c_str());
  } else if (topic != "codes") {
    std::printf("%s", Usage(FindCommand(topic)).c_str());
  } else {
    std::printf(
        "Result codes of the library, their names in MifareZUB.h, their meaning and the\n"
        "library's own text (ErrMsg). Any other code reads as 'unknown result'.\n\n");
    for (const auto& s : StatusTable()) {
      std::printf("%5d  %-29s %s (%s)\n", static_cast<int>(s.code), s.name, s.description,
                  ResultText(s.code).c_str());
    }
  }
  return kExitOk;
}

}  // namespace zubtool
