// Which vendor device index a pcscd device name refers to.
//
// The vendor calls name readers by index: the N-th matching USB device in
// the order bus number, port path, address (vendor/ch375_over_libusb keeps that order).
// pcscd names a hot-plugged reader by its bus and address instead, and a
// reader.conf.d entry names whatever its DEVICENAME says.
#ifndef MIFAREZUB_PCSC_DEVICE_NAME_H
#define MIFAREZUB_PCSC_DEVICE_NAME_H

#include <stdint.h>

#include <string>
#include <vector>

namespace mzpcsc {

struct DeviceName {
  enum Kind { kIndex, kUsb, kInvalid } kind = kInvalid;
  int index = 0;     // kIndex
  int bus = -1;      // kUsb: -1 when the name does not say
  int address = -1;  // kUsb
};

// Parses
//   "N", "mifarezub:N"                            a device index (0-255)
//   "usb:VVVV/PPPP"                                a USB reader, place unknown
//   "usb:VVVV/PPPP:libudev:I:/dev/bus/usb/BBB/AAA" pcscd's names for
//   "usb:VVVV/PPPP:libusb-1.0:B:A:I"               hot-plugged readers
// Parts after what is understood are ignored.
DeviceName ParseDeviceName(const char* name);

struct UsbPlace {
  int bus = 0;
  std::vector<int> ports;
  int address = 0;
};

// The index of the reader at bus/address among `readers` (matching readers
// in any order), or -1 if it is not among them.
int IndexAmong(const std::vector<UsbPlace>& readers, int bus, int address);

// The matching readers the kernel lists under `sysfs` (normally
// /sys/bus/usb/devices).
std::vector<UsbPlace> ListReaders(const std::string& sysfs);

// The device index for a name: kIndex names give theirs; USB names the
// position of their bus and address among the readers present, or 0 when the
// name gives no place or the reader is not listed. -1 for a name that does
// not parse.
int DeviceIndexFor(const char* name, const std::string& sysfs);

}  // namespace mzpcsc

#endif  // MIFAREZUB_PCSC_DEVICE_NAME_H
