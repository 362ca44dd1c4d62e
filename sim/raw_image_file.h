// Card image files: raw dumps of 1024 (1K) or 4096 (4K) bytes, blocks in
// order, trailers with their keys. Loading checks what the file is; saving
// never leaves a half-written image where the old one was.
#ifndef MIFAREZUB_SIM_RAW_IMAGE_FILE_H
#define MIFAREZUB_SIM_RAW_IMAGE_FILE_H

#include <cstdint>
#include <string>
#include <vector>

namespace zubsim {

// Why `size` bytes are not a card image.
std::string image_size_problem(uintmax_t size);

// Reads a whole image file. On failure `problem` says why (no such file, not
// a file, a wrong size, unreadable).
bool read_image_file(const std::string& path, std::vector<uint8_t>* bytes, std::string* problem);

// Saves `image` as `path`: the bytes go to `path`.new, onto the disk, and
// that file is renamed over `path`, so that a crash at any point leaves the
// old image or the new one, whole. With `*interrupt_at` at 0 or more the
// save stops as a crash would after writing that many bytes of the new file
// (for tests), sets it to -1 and fails. On failure `problem` says what happened.
bool write_image_file(const std::string& path, const std::vector<uint8_t>& image,
                      long* interrupt_at, std::string* problem);

}  // namespace zubsim

#endif  // MIFAREZUB_SIM_RAW_IMAGE_FILE_H
