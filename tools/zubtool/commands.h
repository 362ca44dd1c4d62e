// The commands of zubtool, run against an open reader.
#ifndef ZUBTOOL_COMMANDS_H
#define ZUBTOOL_COMMANDS_H

#include "args.h"

namespace zubtool {

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // the card or the reader refused or failed
constexpr int kExitUsage = 2;
constexpr int kExitNoReader = 3;

// Runs one checked invocation; `keys` is the full list to try, in order.
int RunCommand(const Invocation& invocation, const std::vector<Bytes>& keys);

}  // namespace zubtool

#endif  // ZUBTOOL_COMMANDS_H
