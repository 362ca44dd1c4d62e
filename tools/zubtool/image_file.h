// Card image files as the commands read and write them: the format from
// --format, else (reading) what the content shows, else the file's extension.
#ifndef ZUBTOOL_IMAGE_FILE_H
#define ZUBTOOL_IMAGE_FILE_H

#include <optional>
#include <string>
#include <vector>

#include "card.h"

namespace zubtool {

class Output;

// Reads FILE. Nothing, with the error ("card.mct: line 7: ..."), when it
// cannot be read or is no image. `used` receives the format it was read as.
// What the file left out is noted on standard error ("zubtool: note:
// card.nfc: blocks 14 to 63 are not in the file: read as unknown").
std::optional<CardImage> LoadImageFile(const std::string& path, std::optional<Format> format,
                                       std::string* error, Format* used = nullptr,
                                       const std::optional<CardLayout>& layout = std::nullopt);

// The same for a file's content already read: NAME (its name or path) gives
// the extension and begins the error; the notes go to `notes` (when given),
// not to standard error.
std::optional<CardImage> LoadImageContent(const Bytes& content, const std::string& name,
                                          std::optional<Format> format, std::string* error,
                                          Format* used = nullptr,
                                          const std::optional<CardLayout>& layout = std::nullopt,
                                          std::vector<std::string>* notes = nullptr);

// The format FILE is written in: `format`, else its extension, else raw.
Format OutputFormat(const std::string& path, std::optional<Format> format);

// Whether FILE may be written: it can be, and it does not exist unless
// `overwrite`. Reported when not.
bool CheckNewFile(Output& output, const std::string& path, bool overwrite);

// Writes the image; on failure reports and returns false. Says on standard
// error what the format had to write in place of what the image does not
// know (unknown bytes, the card's UID, ATQA or SAK) and what it cannot keep.
// `size`, when given, receives the file's size.
bool SaveImageFile(Output& output, const std::string& path, const CardImage& image, Format format,
                   size_t* size = nullptr);

}  // namespace zubtool

#endif  // ZUBTOOL_IMAGE_FILE_H
