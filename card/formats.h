// The dump formats technicians exchange, read and written as pure functions
// over a file's bytes, so that every front end (zubtool, the workbench) shares
// them:
//   raw   .mfd .bin  the blocks in order, nothing else
//   mct   .mct       "+Sector: N", then the sector's blocks, 32 hex digits a
//                    line, '-' for unknown digits; every sector written
//   eml   .eml       one block a line, 32 hex digits; '#' lines are comments
//   json  .json      "mfc v2" (written; "mfcard" and "mfc v3" read too), an
//                    "UnknownBytes" mask per block for unknown bytes
//   nfc   .nfc       the Flipper NFC device file, '??' for an unknown byte
//
// The card's size is a fact of the image: read from the file's count of
// blocks or sectors (or the Flipper file's type line), and only where the
// file leaves it open (blocks left out) from the SAK, then the smallest card
// that holds what the file names. Every format writes every block, so an
// image survives any chain of formats that can mark unknown bytes exactly;
// raw and eml write stand-ins for unknown bytes (zeros, and in a trailer
// whose access bits are unknown the transport value FF 07 80 69, which every
// card accepts and which locks nothing), and say so.
#ifndef MZCARD_FORMATS_H
#define MZCARD_FORMATS_H

#include <optional>
#include <string>
#include <vector>

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

// The access bytes (trailer bytes 6 to 9) written where a format cannot
// mark them unknown: the transport configuration FF 07 80 69.
Bytes SafeAccessBytes();

// Reads an image. On failure returns nothing and sets `error`, for text formats
// with the line: "line 7: not a block of 32 hex digits: '00zz...'". `layout`,
// when given, is the card's size for formats whose content leaves it open
// (a file that leaves blocks or sectors out). `notes`, when given, receives
// what the file did not say: "blocks 14 to 63 are not in the file: read as
// unknown".
std::optional<CardImage> ReadImage(const Bytes& content, Format format, std::string* error,
                                   const std::optional<CardLayout>& layout = std::nullopt,
                                   std::vector<std::string>* notes = nullptr);

// Writes an image. `zeroed`, when given, receives the number of unknown bytes
// the format had to write as stand-ins (raw and eml: zeros, and the safe
// access bytes in a trailer). `notes`, when given, receives one line for each
// thing written in place of what the image does not know (stand-in bytes,
// the UID, ATQA or SAK a Flipper file needs) and for each card fact the format
// cannot keep.
Bytes WriteImage(const CardImage& image, Format format, int* zeroed = nullptr,
                 std::vector<std::string>* notes = nullptr);

}  // namespace mzcard

#endif  // MZCARD_FORMATS_H
