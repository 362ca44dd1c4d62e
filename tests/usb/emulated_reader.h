// A card reader on an emulated USB bus: umockdev puts the device into a test
// bed (sysfs, udev data, a device node under /dev/bus/usb) and routes every
// ioctl on its node to this object, which answers usbfs the way the kernel
// would for the chip, with the virtual reader's firmware behind the bulk
// endpoints. A program run under umockdev-wrapper then reaches it through
// libusb's ordinary usbfs path.
#ifndef MIFAREZUB_TESTS_USB_EMULATED_READER_H
#define MIFAREZUB_TESTS_USB_EMULATED_READER_H

#include <stdint.h>

#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include <umockdev.h>

#include "firmware.h"

namespace mzt {

using Bytes = std::vector<uint8_t>;

struct UsbPlace {
  int bus;
  int address;
  std::string port;  // sysfs name: "1-2", "1-1.4"
  uint16_t vendor = 0x4348;
  uint16_t product = 0x5537;
};

// A hub in the test bed, so that devices behind it have a port path of more
// than one port. It answers nothing.
void AddHub(UMockdevTestbed* bed, int bus, int address, const std::string& port);

class EmulatedReader {
 public:
  EmulatedReader(UMockdevTestbed* bed, UsbPlace place);
  ~EmulatedReader();
  EmulatedReader(const EmulatedReader&) = delete;
  EmulatedReader& operator=(const EmulatedReader&) = delete;

  // Into the bus (sysfs, udev, device node, an "add" uevent) and out again
  // (a "remove" uevent; from then on every ioctl on a node still open fails
  // with ENODEV, as it does for a device that is gone).
  void Plug();
  void Unplug();

  // Back to a fresh reader: a new 1K card with `uid`, no replies waiting,
  // counters and log cleared, answering normally.
  void Restart(const zubsim::Uid& uid);

  // A silent reader runs requests but its replies never come.
  void SetSilent(bool silent);
  // A raw reply the next IN transfers get, whatever was written.
  void QueueReply(const Bytes& reply);
  // The kernel driver bound to interface 0 ("" for none).
  void SetKernelDriver(const std::string& driver);
  // The next `count` claims fail as if another program held the interface.
  void RefuseClaims(int count);
  std::string KernelDriver();

  // What happened on the bus, for the tests to check.
  int Resets();
  int Claims();            // interface 0 claimed (plainly or with a disconnect)
  int DisconnectClaims();  // claims that detached a kernel driver
  bool Claimed();
  std::vector<int> InLengths();   // buffer length of every bulk IN transfer
  std::vector<Bytes> Requests();  // every bulk OUT transfer
  std::string Log();              // one word per ioctl: "claim submit-out reap ..."

  const UsbPlace& place() const { return place_; }
  const std::string& devnode() const { return devnode_; }
  zubsim::ReaderFirmware& firmware() { return reader_; }
  std::mutex& lock() { return lock_; }

 private:
  struct Urb {
    UMockdevIoctlData* urb;     // the client's usbdevfs_urb
    UMockdevIoctlData* buffer;  // its data buffer
  };

  static gboolean OnIoctl(UMockdevIoctlBase* base, UMockdevIoctlClient* client, gpointer self);
  void Handle(UMockdevIoctlClient* client);
  void Submit(UMockdevIoctlClient* client, UMockdevIoctlData* data);
  void Reap(UMockdevIoctlClient* client, UMockdevIoctlData* data, bool wait);
  void Discard(UMockdevIoctlClient* client);
  void Finish(Urb urb, int status, const uint8_t* bytes, size_t size);
  void ServeReads();
  void Complete(UMockdevIoctlClient* client, long result, int error);

  UMockdevTestbed* bed_;
  UsbPlace place_;
  std::string devnode_;
  std::string syspath_;
  UMockdevIoctlBase* handler_ = nullptr;
  bool plugged_ = false;

  std::mutex lock_;
  zubsim::ReaderFirmware reader_;
  bool silent_ = false;
  bool claimed_ = false;
  int refuse_claims_ = 0;
  std::string driver_;
  std::deque<Bytes> replies_;
  std::deque<Urb> pending_in_;
  std::deque<Urb> done_;
  std::deque<UMockdevIoctlClient*> reapers_;  // blocking REAPURB waiting
  int resets_ = 0;
  int claims_ = 0;
  int disconnect_claims_ = 0;
  std::vector<int> in_lengths_;
  std::vector<Bytes> requests_;
  std::string log_;
};

}  // namespace mzt

#endif  // MIFAREZUB_TESTS_USB_EMULATED_READER_H
