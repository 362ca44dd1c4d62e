#include "raw_image_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include <sys/stat.h>
#include <sys/types.h>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "card_model.h"

namespace zubsim {
namespace {

// Pushes what was written to `file` past the system's cache onto the disk.
bool flush_to_disk(std::FILE* file) {
#if defined(_WIN32)
  return _commit(_fileno(file)) == 0;
#else
  return fsync(fileno(file)) == 0;
#endif
}

enum class PathKind { kMissing, kFile, kOther, kUnreadable };

// What is at `path`, and the size of a file there. (Plain C and Win32 calls
// that every Windows this builds for has, in the same narrow code page as
// fopen.)
PathKind path_kind(const std::string& path, uintmax_t* size) {
#if defined(_WIN32)
  struct _stati64 info;
  if (_stati64(path.c_str(), &info) != 0)
    return errno == ENOENT ? PathKind::kMissing : PathKind::kUnreadable;
  if ((info.st_mode & _S_IFMT) != _S_IFREG) return PathKind::kOther;
#else
  struct stat info;
  if (stat(path.c_str(), &info) != 0)
    return errno == ENOENT ? PathKind::kMissing : PathKind::kUnreadable;
  if (!S_ISREG(info.st_mode)) return PathKind::kOther;
#endif
  *size = static_cast<uintmax_t>(info.st_size);
  return PathKind::kFile;
}

// Puts `from` in the place of `to`, replacing what is there in one step.
bool replace_file(const std::string& from, const std::string& to) {
#if defined(_WIN32)
  return MoveFileExA(from.c_str(), to.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
#else
  return std::rename(from.c_str(), to.c_str()) == 0;
#endif
}

}  // namespace

std::string image_size_problem(uintmax_t size) {
  return std::to_string(size) + " bytes, a card image has 1024 (1K) or 4096 (4K)";
}

bool read_image_file(const std::string& path, std::vector<uint8_t>* bytes, std::string* problem) {
  uintmax_t size = 0;
  switch (path_kind(path, &size)) {
    case PathKind::kMissing:
      *problem = "no such file";
      return false;
    case PathKind::kOther:
      *problem = "not a file";
      return false;
    case PathKind::kUnreadable:
      *problem = "cannot read it";
      return false;
    case PathKind::kFile:
      break;
  }
  if (size != Geometry::bytes(CardType::k1K) && size != Geometry::bytes(CardType::k4K)) {
    *problem = image_size_problem(size);
    return false;
  }
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) {
    *problem = "cannot open it";
    return false;
  }
  bytes->resize(static_cast<size_t>(size));
  const size_t got = std::fread(bytes->data(), 1, bytes->size(), file);
  std::fclose(file);
  if (got != size) {
    *problem = "cannot read it";
    return false;
  }
  return true;
}

bool write_image_file(const std::string& path, const std::vector<uint8_t>& image,
                      long* interrupt_at, std::string* problem) {
  const std::string temp = path + ".new";
  std::FILE* file = std::fopen(temp.c_str(), "wb");
  if (file && *interrupt_at >= 0) {
    // A crash in the middle: part of the new file, and nothing else.
    const size_t n = std::min(image.size(), static_cast<size_t>(*interrupt_at));
    *interrupt_at = -1;
    std::fwrite(image.data(), 1, n, file);
    std::fclose(file);
    *problem = "interrupted after " + std::to_string(n) + " bytes";
    return false;
  }
  bool written = file && std::fwrite(image.data(), 1, image.size(), file) == image.size();
  // On the disk before it replaces the old image.
  if (written && (std::fflush(file) != 0 || !flush_to_disk(file))) written = false;
  if (file && std::fclose(file) != 0) written = false;
  if (!written) {
    std::remove(temp.c_str());
    *problem = "cannot write " + temp + "; the old image is unchanged";
    return false;
  }
  if (!replace_file(temp, path)) {
    std::remove(temp.c_str());
    *problem = "cannot replace it; the old image is unchanged";
    return false;
  }
  return true;
}

}  // namespace zubsim
