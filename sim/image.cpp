#include "image.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

#include "card.h"

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

}  // namespace

std::string image_size_problem(uintmax_t size) {
  return std::to_string(size) + " bytes, a card image has 1024 (1K) or 4096 (4K)";
}

bool read_image_file(const std::string& path, std::vector<uint8_t>* bytes, std::string* problem) {
  std::error_code error;
  if (!std::filesystem::exists(path, error)) {
    *problem = "no such file";
    return false;
  }
  if (!std::filesystem::is_regular_file(path, error)) {
    *problem = "not a file";
    return false;
  }
  const uintmax_t size = std::filesystem::file_size(path, error);
  if (error) {
    *problem = "cannot read it";
    return false;
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
    std::error_code ignored;
    std::filesystem::remove(temp, ignored);
    *problem = "cannot write " + temp + "; the old image is unchanged";
    return false;
  }
  std::error_code error;
  std::filesystem::rename(temp, path, error);
  if (error) {
    std::filesystem::remove(temp, error);
    *problem = "cannot replace it; the old image is unchanged";
    return false;
  }
  return true;
}

}  // namespace zubsim
