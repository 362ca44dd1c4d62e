#include "open_failure.h"

#if !defined(_WIN32)
#include <dlfcn.h>
#endif

#include "ch375_open_error.h"

namespace zubtool {

int LastOpenError() {
#if defined(_WIN32)
  return CH375_OPEN_UNKNOWN;
#else
  // The vendor library libMifareZUB.so was bound to, without loading another.
  void* vendor = dlopen("libCH375DLL.so", RTLD_NOW | RTLD_NOLOAD);
  if (vendor == nullptr) return CH375_OPEN_UNKNOWN;
  auto get = reinterpret_cast<CH375GetLastOpenErrorFn>(dlsym(vendor, "CH375GetLastOpenError"));
  const int code = get != nullptr ? get() : CH375_OPEN_UNKNOWN;
  dlclose(vendor);
  return code;
#endif
}

std::string OpenErrorText(int code) {
  switch (code) {
    case CH375_OPEN_ACCESS_DENIED:
      return "a reader is plugged in but this user may not open it: see docs/linux.md (udev rule)";
    case CH375_OPEN_BUSY:
      return "a reader is plugged in but in use by another program (or a kernel driver): "
             "close that program and try again";
    case CH375_OPEN_NO_USB:
      return "no USB access: libusb cannot start (is /dev/bus/usb there?)";
    case CH375_OPEN_FAILED:
      return "a reader is plugged in but opening it failed (a USB error)";
    default:
      return "";
  }
}

}  // namespace zubtool
