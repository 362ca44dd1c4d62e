// The workbench's routes for card image files: the formats, opening a file,
// describing an image, a diff (of two images, or of an image and the card),
// the restore plan and the restore, and an image exported to a format.
#ifndef ZUBTOOL_UI_FILE_ROUTES_H
#define ZUBTOOL_UI_FILE_ROUTES_H

#include <optional>
#include <string>
#include <vector>

#include "api.h"
#include "card.h"
#include "desk.h"

namespace zubtool {
namespace ui {

std::vector<Route> FileRoutes(Desk& desk);

// Strict base64 (RFC 4648, the standard alphabet, padded, no white space):
// nothing for anything else, or where the unused bits of the last character
// are not zero.
std::optional<Bytes> DecodeBase64(const std::string& text);

// The file name an exported image gets: "<UID>.<ext>", "card.<ext>" without
// a UID.
std::string ExportFileName(const CardImage& image, Format format);

}  // namespace ui
}  // namespace zubtool

#endif  // ZUBTOOL_UI_FILE_ROUTES_H
