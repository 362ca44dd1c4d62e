// beep and led: the reader's signals.
#include <chrono>
#include <cstdio>
#include <thread>

#include "commands.h"
#include "library_reader.h"
#include "status.h"

namespace zubtool {

std::string ParseBeep(const Arguments& args, Invocation* inv) {
  std::string error = args.Count(0, 1, {});
  if (!error.empty()) return error;
  if (args.positionals.size() == 1) {
    auto n = ParseNumber(args.positionals[0], 0, 10000);
    if (!n) return "not a duration (0 to 10000 ms): '" + args.positionals[0] + "'";
    inv->milliseconds = static_cast<int>(*n);
  }
  return "";
}

int RunBeep(Context& context) {
  Output& output = context.Out();
  const Invocation& inv = context.inv;
  if (int status = context.Open()) return status;
  LibraryReader& reader = context.TheReader();
  int32_t r = reader.Beep(true);
  if (r != 0) {
    output.Fail("beeper on: " + Describe(r));
    return kExitFailed;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(inv.milliseconds));
  if ((r = reader.Beep(false)) != 0) {
    output.Fail("beeper off: " + Describe(r));
    return kExitFailed;
  }
  std::printf("beeped for %d ms\n", inv.milliseconds);
  return kExitOk;
}

std::string ParseLed(const Arguments& args, Invocation* inv) {
  std::string error = args.Count(2, 2, {"N", "on|off"});
  if (!error.empty()) return error;
  const auto& pos = args.positionals;
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

int RunLed(Context& context) {
  Output& output = context.Out();
  const Invocation& inv = context.inv;
  if (int status = context.Open()) return status;
  LibraryReader& reader = context.TheReader();
  int32_t r = reader.Led(inv.led, inv.on);
  if (r != 0) {
    output.Fail("LED " + std::to_string(inv.led) + ": " + Describe(r));
    return kExitFailed;
  }
  std::printf("LED %d %s\n", inv.led, inv.on ? "on" : "off");
  return kExitOk;
}

}  // namespace zubtool
