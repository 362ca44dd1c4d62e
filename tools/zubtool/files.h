// Files the tool writes so that a crash or Ctrl-C never leaves half of one.
#ifndef ZUBTOOL_FILES_H
#define ZUBTOOL_FILES_H

#include <string>

namespace zubtool {

// Writes `text` to a temporary file beside `path` (`path` + ".tmp"), flushes
// it to the disk and renames it over `path`: `path` holds either its old
// contents or all of `text`. "" or the error.
std::string WriteFileAtomically(const std::string& path, const std::string& text);

}  // namespace zubtool

#endif  // ZUBTOOL_FILES_H
