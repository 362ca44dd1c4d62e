#include "device_name.h"

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <fstream>
#include <tuple>

namespace mzpcsc {
namespace {

// A decimal number of 1 to 3 digits filling `text` up to `end`.
bool Decimal(const char* text, const char* end, int* value) {
  if (text == end || end - text > 3) return false;
  int v = 0;
  for (const char* p = text; p != end; ++p) {
    if (*p < '0' || *p > '9') return false;
    v = v * 10 + (*p - '0');
  }
  *value = v;
  return true;
}

// The next ':'-separated field starting at p; *next is after its colon (or
// at the end).
std::string Field(const char* p, const char** next) {
  const char* colon = strchr(p, ':');
  const char* end = colon ? colon : p + strlen(p);
  *next = colon ? colon + 1 : end;
  return std::string(p, end);
}

bool FieldNumber(const std::string& field, int* value) {
  return Decimal(field.data(), field.data() + field.size(), value);
}

// The IDs the vendor calls over libusb count as readers: the chip's own and
// those of MIFAREZUB_USB_IDS ("vvvv:pppp" in hex, separated by commas,
// semicolons or spaces), so that both number the readers alike.
bool MatchingId(unsigned vendor, unsigned product) {
  if (product == 0x5537 && (vendor == 0x4348 || vendor == 0x1a86)) return true;
  const char* extra = getenv("MIFAREZUB_USB_IDS");
  if (extra == nullptr) return false;
  const char* p = extra;
  while (*p != '\0') {
    char* end = nullptr;
    const unsigned long v = strtoul(p, &end, 16);
    if (end != p && *end == ':') {
      const char* q = end + 1;
      const unsigned long id = strtoul(q, &end, 16);
      if (end != q && v == vendor && id == product && end - p <= 9) return true;
    }
    // On to the next entry.
    while (*p != '\0' && *p != ',' && *p != ';' && *p != ' ') ++p;
    while (*p == ',' || *p == ';' || *p == ' ') ++p;
  }
  return false;
}

bool ReadHex(const std::string& path, unsigned* value) {
  std::ifstream in(path);
  std::string text;
  if (!(in >> text)) return false;
  char* end = nullptr;
  *value = static_cast<unsigned>(strtoul(text.c_str(), &end, 16));
  return end != text.c_str();
}

bool ReadDecimal(const std::string& path, int* value) {
  std::ifstream in(path);
  return static_cast<bool>(in >> *value);
}

}  // namespace

DeviceName ParseDeviceName(const char* name) {
  DeviceName result;
  if (name == nullptr) return result;
  const char* p = name;
  if (strncmp(p, "mifarezub:", 10) == 0) p += 10;
  int index = 0;
  if (Decimal(p, p + strlen(p), &index)) {
    if (index > 255) return result;
    result.kind = DeviceName::kIndex;
    result.index = index;
    return result;
  }
  if (strncmp(name, "usb:", 4) != 0) return result;
  const char* next = name + 4;
  Field(next, &next);  // VVVV/PPPP: pcscd matched it against Info.plist already
  result.kind = DeviceName::kUsb;
  const std::string scheme = Field(next, &next);
  if (scheme == "libudev") {
    Field(next, &next);  // interface number
    const std::string path = Field(next, &next);
    // /dev/bus/usb/BBB/AAA
    const size_t last = path.rfind('/');
    const size_t before =
        last == std::string::npos || last == 0 ? std::string::npos : path.rfind('/', last - 1);
    int bus = 0;
    int address = 0;
    if (before != std::string::npos &&
        FieldNumber(path.substr(before + 1, last - before - 1), &bus) &&
        FieldNumber(path.substr(last + 1), &address)) {
      result.bus = bus;
      result.address = address;
    }
  } else if (scheme == "libusb-1.0") {
    int bus = 0;
    int address = 0;
    if (FieldNumber(Field(next, &next), &bus) && FieldNumber(Field(next, &next), &address)) {
      result.bus = bus;
      result.address = address;
    }
  }
  return result;
}

int IndexAmong(const std::vector<UsbPlace>& readers, int bus, int address) {
  std::vector<const UsbPlace*> order;
  for (const UsbPlace& r : readers) order.push_back(&r);
  std::sort(order.begin(), order.end(), [](const UsbPlace* a, const UsbPlace* b) {
    return std::tie(a->bus, a->ports, a->address) < std::tie(b->bus, b->ports, b->address);
  });
  for (size_t i = 0; i < order.size(); ++i) {
    if (order[i]->bus == bus && order[i]->address == address) return static_cast<int>(i);
  }
  return -1;
}

std::vector<UsbPlace> ListReaders(const std::string& sysfs) {
  std::vector<UsbPlace> readers;
  DIR* dir = opendir(sysfs.c_str());
  if (dir == nullptr) return readers;
  while (const dirent* entry = readdir(dir)) {
    // Devices are named BUS-PORT.PORT...; interfaces add ":C.I", root hubs
    // are "usbN".
    const std::string name = entry->d_name;
    const size_t dash = name.find('-');
    if (dash == std::string::npos || name.find(':') != std::string::npos) continue;
    const std::string base = sysfs + "/" + name + "/";
    unsigned vendor = 0;
    unsigned product = 0;
    UsbPlace place;
    if (!ReadHex(base + "idVendor", &vendor) || !ReadHex(base + "idProduct", &product) ||
        !MatchingId(vendor, product) || !ReadDecimal(base + "busnum", &place.bus) ||
        !ReadDecimal(base + "devnum", &place.address)) {
      continue;
    }
    const char* p = name.c_str() + dash + 1;
    while (*p != '\0') {
      char* end = nullptr;
      place.ports.push_back(static_cast<int>(strtol(p, &end, 10)));
      if (end == p) break;
      p = *end == '.' ? end + 1 : end;
    }
    readers.push_back(place);
  }
  closedir(dir);
  return readers;
}

int DeviceIndexFor(const char* name, const std::string& sysfs) {
  const DeviceName parsed = ParseDeviceName(name);
  switch (parsed.kind) {
    case DeviceName::kIndex:
      return parsed.index;
    case DeviceName::kUsb: {
      if (parsed.bus < 0) return 0;
      const int index = IndexAmong(ListReaders(sysfs), parsed.bus, parsed.address);
      return index < 0 ? 0 : index;
    }
    default:
      return -1;
  }
}

}  // namespace mzpcsc
