// The dump formats technicians exchange, read and written as pure functions
// over a file's bytes, so that every front end (zubtool, the workbench) shares
// them:
//   raw   .mfd .bin  the blocks in order, nothing else (unknown bytes: zeros)
//   mct   .mct       "+Sector: N", then the sector's blocks, 32 hex digits a
//                    line, '-' for unknown digits; sectors not read left out
//   eml   .eml       one block a line, 32 hex digits; '#' lines are comments
//                    (unknown bytes: zeros)
//   json  .json      "mfc v2" (written; "mfcard" and "mfc v3" read too)
//   nfc   .nfc       the Flipper NFC device file, '??' for an unknown byte
#ifndef MZCARD_FORMATS_H
#define MZCARD_FORMATS_H

#include <optional>
#include <string>

#include "image.h"

namespace mzcard {

enum class Format { kRaw, kMct, kEml, kJson, kNfc };

// "raw", "mct", "eml", "json", "nfc".
const char* FormatName(Format format);
// A format by name: the names above, and "mfd", "bin" for raw (any case).
std::optional<Format> FormatByName(const std::string& name);
// The names FormatByName takes, for the usage.
std::string FormatNames();
// The format a file name's extension stands for; nothing for another one.
std::optional<Format> FormatOfPath(const std::string& path);
// The text format a file's content shows (a Flipper header, a JSON object,
// "+Sector:" lines, lines of 32 hex digits); nothing when it is none of them.
std::optional<Format> FormatOfContent(const Bytes& content);
// Whether the format can say that a byte is unknown.
bool CarriesUnknown(Format format);

// Reads an image. On failure returns nothing and sets `error`, for text formats
// with the line: "line 7: not a block of 32 hex digits: '00zz...'". `layout`,
// when given, is the card's size for formats whose content leaves it open
// (a .mct file that holds only some sectors).
std::optional<CardImage> ReadImage(const Bytes& content, Format format, std::string* error,
                                   const std::optional<CardLayout>& layout = std::nullopt);

// Writes an image. `zeroed`, when given, receives the number of unknown bytes
// the format had to write as zeros.
Bytes WriteImage(const CardImage& image, Format format, int* zeroed = nullptr);

}  // namespace mzcard

#endif  // MZCARD_FORMATS_H
