// The checks the commands share, each reporting what it refuses.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "commands.h"
#include "status.h"

namespace zubtool {

int FindCard(Output& output, CardSession& session) {
  int32_t r = session.Find();
  if (r == 0) return kExitOk;
  output.Fail(
      r == kNoCard ? "no card answers (" + ResultText(r) + ", 1)" : "no card found: " + Describe(r),
      r);
  return kExitFailed;
}

bool CheckOutputFile(Output& output, const std::string& path) {
  std::FILE* probe = std::fopen(path.c_str(), "rb");
  const bool existed = probe != nullptr;
  if (probe) std::fclose(probe);
  probe = std::fopen(path.c_str(), "ab");
  if (!probe) {
    output.Fail("cannot write " + path + ": " + std::strerror(errno));
    return false;
  }
  std::fclose(probe);
  if (!existed) std::remove(path.c_str());
  return true;
}

int CheckBlockOnCard(Output& output, const CardSession& session, int block) {
  const CardLayout& layout = session.Info().layout;
  if (layout.sectors == 0 || block < layout.Blocks()) return kExitOk;
  output.Fail("block " + std::to_string(block) + " is outside the card (" + layout.name +
              ": blocks 0 to " + std::to_string(layout.Blocks() - 1) + ")");
  return kExitFailed;
}

}  // namespace zubtool
