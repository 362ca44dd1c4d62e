// Why OpenComm found no reader, as far as the vendor library loaded with the
// library can tell.
#ifndef ZUBTOOL_OPEN_FAILURE_H
#define ZUBTOOL_OPEN_FAILURE_H

#include <string>

namespace zubtool {

// The CH375_OPEN_ code of the last failed open, from CH375GetLastOpenError
// of the libCH375DLL.so already loaded (the libusb one for real readers);
// CH375_OPEN_UNKNOWN when that library has no such call (the virtual reader,
// Windows vendor libraries).
int LastOpenError();

// What to tell a user for an open error code: "" when there is nothing to add
// to "no reader" (no device at that index, or unknown).
std::string OpenErrorText(int code);

}  // namespace zubtool

#endif  // ZUBTOOL_OPEN_FAILURE_H
