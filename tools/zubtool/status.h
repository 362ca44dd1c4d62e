// The texts of the library's result codes.
#ifndef ZUBTOOL_STATUS_H
#define ZUBTOOL_STATUS_H

#include <cstdint>
#include <string>
#include <vector>

namespace zubtool {

// The library's message for a result code (ErrMsg, GBK) in UTF-8.
std::string ResultText(int32_t code);

// A named result code: MZ_STATUS_... of MifareZUB.h and its English text.
struct StatusEntry {
  int32_t code;
  const char* name;         // "MZ_STATUS_WRONG_KEY"
  const char* description;  // "wrong key"
};
// Every named code, in the header's order.
const std::vector<StatusEntry>& StatusTable();
// The English description of a code; "unknown result" for a code without a name.
std::string StatusDescription(int32_t code);
// The name of a code ("MZ_STATUS_WRONG_KEY"); "" for a code without one.
std::string StatusName(int32_t code);

// "<English> (<library text>, <code>)", for error lines:
// "wrong key (密码错, 4)"; "wrong key (code 4)" once the library's texts are
// hidden.
std::string Describe(int32_t code);
// Whether Describe quotes the library's own text (in Chinese, by default on,
// as the command line shows it). The workbench turns it off for the whole
// process: its page speaks English, on machines that may have no CJK font.
void ShowLibraryTexts(bool shown);

}  // namespace zubtool

#endif  // ZUBTOOL_STATUS_H
