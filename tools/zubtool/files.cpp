#include "files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
// windows.h maps ReplaceFile to the system's ReplaceFileA: this file's own
// function would then be defined under that name, and zubtool fail to link.
#undef ReplaceFile
#else
#include <unistd.h>
#endif

namespace zubtool {

std::string ReplaceFile(const std::string& path, const std::string& text) {
  const std::string temporary = path + ".tmp";
  std::FILE* file = std::fopen(temporary.c_str(), "wb");
  if (!file) return "cannot write " + temporary + ": " + std::strerror(errno);
  bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  ok = std::fflush(file) == 0 && ok;
#if defined(_WIN32)
  ok = _commit(_fileno(file)) == 0 && ok;
#else
  ok = fsync(fileno(file)) == 0 && ok;
#endif
  const int error = errno;
  ok = std::fclose(file) == 0 && ok;
  if (!ok) {
    std::remove(temporary.c_str());
    return "cannot write " + temporary + ": " + std::strerror(error);
  }
#if defined(_WIN32)
  if (!MoveFileExA(temporary.c_str(), path.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    std::remove(temporary.c_str());
    return "cannot replace " + path + " (Windows error " + std::to_string(GetLastError()) + ")";
  }
#else
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    const int renameError = errno;
    std::remove(temporary.c_str());
    return "cannot replace " + path + ": " + std::strerror(renameError);
  }
#endif
  return "";
}

}  // namespace zubtool
