// The texts of the library's result codes.
#ifndef ZUBTOOL_STATUS_H
#define ZUBTOOL_STATUS_H

#include <cstdint>
#include <string>

namespace zubtool {

// The message of a result code (ErrMsg, GBK) in UTF-8.
std::string ResultText(int32_t code);
// "<text> (<code>)", for error lines.
std::string Describe(int32_t code);

}  // namespace zubtool

#endif  // ZUBTOOL_STATUS_H
