// The seven vendor calls of vendor/CH375DLL.h over libusb-1.0, built as
// libCH375DLL.so: with it in place of the virtual reader, libMifareZUB.so
// drives real readers plugged into a Linux machine.
//
// The reader's USB side is a CH375-family chip in its built-in firmware mode.
// It enumerates at full speed with one interface (0, class FF/80/37) and
// three endpoints: bulk OUT 0x02 and bulk IN 0x82 with 64-byte packets, and an
// interrupt IN 0x81 that this library leaves alone. The chip does no framing
// of its own: whatever one bulk OUT transfer carries reaches the reader's
// processor as one request, and the reader's reply comes back through bulk IN.
//
// Devices are named by index, as the vendor's library names them: index N is
// the N-th matching device in a stable order (bus number, then the port path
// from the root hub), counted anew on every open. Matching means one of the
// chip's vendor and product IDs (4348:5537 and 1a86:5537) or one of the pairs
// listed in the environment variable MIFAREZUB_USB_IDS ("vvvv:pppp" in hex,
// separated by commas, spaces or semicolons).
//
// Every call is safe from any thread. Calls on one index are serialised; calls
// on different indices run side by side. No exception leaves a call: a failure
// of any kind (out of memory included) is reported through the result.
#include <libusb.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "CH375DLL.h"
#include "ch375_open_error.h"

namespace {

// Why this thread's last open failed (CH375GetLastOpenError).
thread_local int last_open_error = CH375_OPEN_OK;

// The open error for a failed libusb_open or libusb_claim_interface.
int OpenErrorOf(int libusbError) {
  switch (libusbError) {
    case LIBUSB_ERROR_ACCESS:
      return CH375_OPEN_ACCESS_DENIED;
    case LIBUSB_ERROR_BUSY:
      return CH375_OPEN_BUSY;
    case LIBUSB_ERROR_NO_DEVICE:
    case LIBUSB_ERROR_NOT_FOUND:
      return CH375_OPEN_NO_DEVICE;
    default:
      return CH375_OPEN_FAILED;
  }
}

constexpr int kInterface = 0;
constexpr unsigned char kBulkOut = 0x02;
constexpr unsigned char kBulkIn = 0x82;
constexpr uint32_t kPacketSize = 64;
// The vendor's way of saying "wait for ever".
constexpr uint32_t kNoTimeout = 0xFFFFFFFFu;
// Until the host sets its own, reads and writes give up after this long: a
// reader that never answers must not hang the host.
constexpr uint32_t kDefaultTimeoutMs = 1000;

struct UsbId {
  uint16_t vendor;
  uint16_t product;
};

constexpr UsbId kKnownIds[] = {{0x4348, 0x5537}, {0x1a86, 0x5537}};

// One hex number of 1 to 4 digits.
bool ParseHex16(const std::string& text, uint16_t* value) {
  if (text.empty() || text.size() > 4) return false;
  unsigned v = 0;
  for (char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    v = v * 16 +
        static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(c))
                                  ? c - '0'
                                  : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
  }
  *value = static_cast<uint16_t>(v);
  return true;
}

// The IDs to match: the chip's own and those of MIFAREZUB_USB_IDS. An entry
// that does not parse is skipped; the others still count.
std::vector<UsbId> MatchingIds() {
  std::vector<UsbId> ids(std::begin(kKnownIds), std::end(kKnownIds));
  const char* extra = getenv("MIFAREZUB_USB_IDS");
  if (extra == nullptr) return ids;
  std::string entry;
  for (const char* p = extra;; ++p) {
    if (*p == '\0' || *p == ',' || *p == ';' || std::isspace(static_cast<unsigned char>(*p))) {
      const size_t colon = entry.find(':');
      UsbId id{};
      if (colon != std::string::npos && ParseHex16(entry.substr(0, colon), &id.vendor) &&
          ParseHex16(entry.substr(colon + 1), &id.product)) {
        ids.push_back(id);
      }
      entry.clear();
      if (*p == '\0') break;
    } else {
      entry += *p;
    }
  }
  return ids;
}

// The vendor's milliseconds as libusb's: libusb has 0 for "no limit" and no
// way to say "do not wait", so 0 becomes the shortest wait there is.
unsigned int LibusbTimeout(uint32_t ms) {
  if (ms == kNoTimeout) return 0;
  return ms == 0 ? 1 : ms;
}

// Where a device sits: bus number, port path from the root hub, and the
// address, which parts two devices whose port path libusb cannot tell.
using Place = std::tuple<uint8_t, std::vector<uint8_t>, uint8_t>;

// An open device. Its lock serialises the calls on it; `handle` is null once
// it is closed.
struct Device {
  std::mutex lock;
  libusb_device_handle* handle = nullptr;
  Place place;
  uint32_t writeTimeoutMs = kDefaultTimeoutMs;
  uint32_t readTimeoutMs = kDefaultTimeoutMs;
  // Set once libusb reports the device gone: every later transfer reports
  // nothing moved at once, until the host closes and opens again.
  bool gone = false;
  // Whole packets for reads of any size.
  std::vector<unsigned char> packets;
};

// Releases the interface (libusb gives a detached kernel driver back) and
// closes. Errors are of no use here: an unplugged device cannot refuse.
void CloseHandle(libusb_device_handle* handle) {
  if (handle == nullptr) return;
  libusb_release_interface(handle, kInterface);
  libusb_close(handle);
}

class Backend {
 public:
  // Opens device `index`, replacing any earlier open of that index. `why`
  // gets the CH375_OPEN_ code of the outcome.
  CH375_HANDLE Open(uint32_t index, int* why) {
    Close(index);
    libusb_context* context = Context();
    if (context == nullptr) {
      *why = CH375_OPEN_NO_USB;
      return CH375_INVALID_HANDLE;
    }
    Place place;
    libusb_device_handle* handle = OpenNth(context, index, &place, why);
    if (handle == nullptr) return CH375_INVALID_HANDLE;
    auto device = std::make_shared<Device>();
    device->handle = handle;
    device->place = std::move(place);
    std::lock_guard<std::mutex> guard(lock_);
    devices_[index] = device;
    return reinterpret_cast<CH375_HANDLE>(handle);
  }

  void Close(uint32_t index) {
    std::shared_ptr<Device> device;
    {
      std::lock_guard<std::mutex> guard(lock_);
      auto it = devices_.find(index);
      if (it == devices_.end()) return;
      device = it->second;
      devices_.erase(it);
    }
    // Waits for a transfer in progress on another thread to end.
    std::lock_guard<std::mutex> guard(device->lock);
    CloseHandle(device->handle);
    device->handle = nullptr;
  }

  // The open device at `index` (locked through `guard`), or null.
  std::shared_ptr<Device> Find(uint32_t index, std::unique_lock<std::mutex>* guard) {
    std::shared_ptr<Device> device;
    {
      std::lock_guard<std::mutex> table(lock_);
      auto it = devices_.find(index);
      if (it == devices_.end()) return nullptr;
      device = it->second;
    }
    *guard = std::unique_lock<std::mutex>(device->lock);
    // Closed by another thread while this one waited for the lock.
    if (device->handle == nullptr) return nullptr;
    return device;
  }

  // A reset after which libusb could not claim the interface again, or
  // after which the device enumerated anew, leaves the handle useless: open
  // the index again, if it still names a device at the same place. (With the
  // device unplugged the index may name another one by now.)
  bool Reopen(uint32_t index, Device* device) {
    CloseHandle(device->handle);
    device->handle = nullptr;
    libusb_context* context = Context();
    Place place;
    int why = CH375_OPEN_OK;
    libusb_device_handle* handle = context ? OpenNth(context, index, &place, &why) : nullptr;
    if (handle != nullptr && std::get<0>(place) == std::get<0>(device->place) &&
        std::get<1>(place) == std::get<1>(device->place)) {
      device->handle = handle;
      device->place = std::move(place);
    } else {
      CloseHandle(handle);
    }
    device->gone = device->handle == nullptr;
    return device->handle != nullptr;
  }

  // Closes every device and ends libusb, at unload.
  void Finish() {
    std::map<uint32_t, std::shared_ptr<Device>> devices;
    {
      std::lock_guard<std::mutex> guard(lock_);
      devices.swap(devices_);
    }
    for (auto& entry : devices) {
      std::lock_guard<std::mutex> guard(entry.second->lock);
      CloseHandle(entry.second->handle);
      entry.second->handle = nullptr;
    }
    std::lock_guard<std::mutex> guard(lock_);
    if (context_ != nullptr) libusb_exit(context_);
    context_ = nullptr;
    finished_ = true;
  }

 private:
  // libusb, started on first use. Null if it cannot start (no usbfs, say):
  // then there are no devices, and the next open tries again.
  libusb_context* Context() {
    std::lock_guard<std::mutex> guard(lock_);
    if (context_ == nullptr && !finished_ && libusb_init(&context_) != 0) context_ = nullptr;
    return context_;
  }

  // Opens the index-th matching device and claims its interface. On failure
  // `why` says what stood in the way (a CH375_OPEN_ code).
  static libusb_device_handle* OpenNth(libusb_context* context, uint32_t index, Place* opened,
                                       int* why) {
    *why = CH375_OPEN_OK;
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    if (count < 0) {
      *why = CH375_OPEN_FAILED;
      return nullptr;
    }
    const std::vector<UsbId> ids = MatchingIds();
    std::vector<std::pair<Place, libusb_device*>> found;
    for (ssize_t i = 0; i < count; ++i) {
      libusb_device_descriptor descriptor;
      if (libusb_get_device_descriptor(list[i], &descriptor) != 0) continue;
      const bool matches = std::any_of(ids.begin(), ids.end(), [&](const UsbId& id) {
        return id.vendor == descriptor.idVendor && id.product == descriptor.idProduct;
      });
      if (!matches) continue;
      uint8_t ports[8];
      const int depth = libusb_get_port_numbers(list[i], ports, sizeof ports);
      std::vector<uint8_t> path(ports, ports + std::max(depth, 0));
      found.emplace_back(Place(libusb_get_bus_number(list[i]), std::move(path),
                               libusb_get_device_address(list[i])),
                         list[i]);
    }
    std::sort(found.begin(), found.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    libusb_device_handle* handle = nullptr;
    if (index < found.size()) {
      const int result = libusb_open(found[index].second, &handle);
      if (result != 0) {
        handle = nullptr;
        *why = OpenErrorOf(result);
      }
      *opened = found[index].first;
    } else {
      *why = CH375_OPEN_NO_DEVICE;
    }
    libusb_free_device_list(list, 1);
    if (handle == nullptr) return nullptr;
    // A kernel driver bound to the interface is detached by the claim itself
    // (in one step, so no other driver can slip in between) and bound again
    // when the interface is released on close.
    libusb_set_auto_detach_kernel_driver(handle, 1);
    const int claimed = libusb_claim_interface(handle, kInterface);
    if (claimed != 0) {
      *why = OpenErrorOf(claimed);
      libusb_close(handle);
      return nullptr;
    }
    return handle;
  }

  std::mutex lock_;
  libusb_context* context_ = nullptr;
  bool finished_ = false;
  std::map<uint32_t, std::shared_ptr<Device>> devices_;
};

Backend& backend() {
  // Never destroyed by the C++ runtime: the vendor calls may come from other
  // libraries' teardown. EndLibusb() closes up at unload instead.
  static Backend* instance = new Backend;
  return *instance;
}

// Libraries are finalised after those that depend on them, so the host's
// library has made its last call by now.
__attribute__((destructor)) void EndLibusb() {
  try {
    backend().Finish();
  } catch (...) {
  }
}

// A transfer that found the device gone marks it so.
void NoteResult(Device* device, int result) {
  if (result == LIBUSB_ERROR_NO_DEVICE) device->gone = true;
}

}  // namespace

extern "C" {

/// Opens device `index`: the index-th device with a matching ID, in the
/// order of bus number and port path. Claims interface 0, detaching a kernel
/// driver that holds it. An index that is open already is closed and opened
/// anew, so opening again after an unplug reaches the device plugged back.
///
/// \returns the device handle, or CH375_INVALID_HANDLE when there is no such
/// device or it cannot be opened or claimed (no permission: see the udev
/// rules file; the interface held by another program). Why it failed is kept
/// for CH375GetLastOpenError on this thread.
CH375_DECL CH375_HANDLE CH375_CALL CH375OpenDevice(uint32_t index) {
  int why = CH375_OPEN_FAILED;
  CH375_HANDLE handle = CH375_INVALID_HANDLE;
  try {
    handle = backend().Open(index, &why);
  } catch (...) {
    handle = CH375_INVALID_HANDLE;
    why = CH375_OPEN_FAILED;
  }
  last_open_error = handle == CH375_INVALID_HANDLE ? why : CH375_OPEN_OK;
  return handle;
}

/// Why the last CH375OpenDevice on the calling thread failed: one of the
/// CH375_OPEN_ codes of ch375_open_error.h, CH375_OPEN_OK after a successful
/// open or before any.
int CH375GetLastOpenError(void) {
  return last_open_error;
}

/// Releases the interface (giving it back to a detached kernel driver) and
/// closes device `index`. Harmless when it is not open; waits for a transfer
/// on it in another thread to end.
CH375_DECL void CH375_CALL CH375CloseDevice(uint32_t index) {
  try {
    backend().Close(index);
  } catch (...) {
  }
}

/// Resets the USB device `index` (a port reset), which also ends any
/// transfer in progress in the chip. The interface stays claimed; if libusb
/// cannot claim it again on the same handle, the device at the same place is
/// opened anew.
///
/// \returns 1 on success; 0 when the device is not open, gone, or did not
/// come back from the reset.
CH375_DECL int32_t CH375_CALL CH375ResetDevice(uint32_t index) {
  try {
    std::unique_lock<std::mutex> guard;
    const std::shared_ptr<Device> device = backend().Find(index, &guard);
    if (!device || device->gone) return 0;
    const int result = libusb_reset_device(device->handle);
    if (result == 0) return 1;
    // libusb reports a device it could not claim again after the reset, or
    // one that is gone, as not found.
    if (result == LIBUSB_ERROR_NOT_FOUND) return backend().Reopen(index, device.get()) ? 1 : 0;
    NoteResult(device.get(), result);
    return 0;
  } catch (...) {
    return 0;
  }
}

/// Buffered upload is the vendor's background reading into a buffer; this
/// library never reads ahead: every read goes straight to the endpoint.
///
/// \returns 1 for `enable` 0 on an open device (what the host asks for);
/// 0 when the device is not open or for any other `enable`.
CH375_DECL int32_t CH375_CALL CH375SetBufUpload(uint32_t index, uint32_t enable) {
  try {
    std::unique_lock<std::mutex> guard;
    return backend().Find(index, &guard) && enable == 0 ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

/// Sets the write and the read timeout of device `index`, in milliseconds;
/// 0xFFFFFFFF waits for ever, 0 as briefly as USB allows (1 ms). Until the
/// first call both are 1000 ms.
///
/// \returns 1, or 0 when the device is not open.
CH375_DECL int32_t CH375_CALL CH375SetTimeout(uint32_t index, uint32_t writeTimeoutMs,
                                              uint32_t readTimeoutMs) {
  try {
    std::unique_lock<std::mutex> guard;
    const std::shared_ptr<Device> device = backend().Find(index, &guard);
    if (!device) return 0;
    device->writeTimeoutMs = writeTimeoutMs;
    device->readTimeoutMs = readTimeoutMs;
    return 1;
  } catch (...) {
    return 0;
  }
}

/// Writes `*length` bytes as one bulk OUT transfer, waiting at most the write
/// timeout. A zero length writes nothing.
///
/// \returns 1 when every byte went out; 0 otherwise (not open, timeout,
/// stall, device gone). `*length` is set to the count written: 0 when the
/// device is gone.
CH375_DECL int32_t CH375_CALL CH375WriteData(uint32_t index, void* buffer, uint32_t* length) {
  if (length == nullptr) return 0;
  try {
    const uint32_t asked = *length;
    *length = 0;
    std::unique_lock<std::mutex> guard;
    const std::shared_ptr<Device> device = backend().Find(index, &guard);
    if (!device || device->gone || (buffer == nullptr && asked != 0)) return 0;
    if (asked == 0) return 1;
    if (asked > static_cast<uint32_t>(INT32_MAX)) return 0;
    int sent = 0;
    const int result =
        libusb_bulk_transfer(device->handle, kBulkOut, static_cast<unsigned char*>(buffer),
                             static_cast<int>(asked), &sent, LibusbTimeout(device->writeTimeoutMs));
    NoteResult(device.get(), result);
    if (result == LIBUSB_ERROR_PIPE) libusb_clear_halt(device->handle, kBulkOut);
    if (device->gone) return 0;
    *length = static_cast<uint32_t>(std::max(sent, 0));
    return result == 0 && *length == asked ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

/// Reads one bulk IN transfer, waiting at most the read timeout, and hands
/// back at most `*length` bytes of it.
///
/// The transfer always asks for whole 64-byte packets (`*length` rounded up):
/// asked for less than the packet the chip sends, the host controller would
/// report an overflow and lose the packet. Bytes beyond `*length` are dropped.
///
/// \returns 1 when data came (a zero-length packet counts: `*length` 0); 0
/// when nothing came within the timeout, or the device is not open, stalled or
/// gone. `*length` is set to the count handed back: 0 unless data came.
CH375_DECL int32_t CH375_CALL CH375ReadData(uint32_t index, void* buffer, uint32_t* length) {
  if (length == nullptr) return 0;
  try {
    const uint32_t asked = *length;
    *length = 0;
    std::unique_lock<std::mutex> guard;
    const std::shared_ptr<Device> device = backend().Find(index, &guard);
    if (!device || device->gone || (buffer == nullptr && asked != 0)) return 0;
    if (asked == 0) return 1;
    if (asked > static_cast<uint32_t>(INT32_MAX) - kPacketSize) return 0;
    const uint32_t whole = (asked + kPacketSize - 1) / kPacketSize * kPacketSize;
    if (device->packets.size() < whole) device->packets.resize(whole);
    int received = 0;
    const int result = libusb_bulk_transfer(device->handle, kBulkIn, device->packets.data(),
                                            static_cast<int>(whole), &received,
                                            LibusbTimeout(device->readTimeoutMs));
    NoteResult(device.get(), result);
    if (result == LIBUSB_ERROR_PIPE) libusb_clear_halt(device->handle, kBulkIn);
    if (device->gone) return 0;
    // A timeout after some packets still hands those back.
    if (result != 0 && !(result == LIBUSB_ERROR_TIMEOUT && received > 0)) return 0;
    const uint32_t n = std::min(asked, static_cast<uint32_t>(std::max(received, 0)));
    if (n != 0) memcpy(buffer, device->packets.data(), n);
    *length = n;
    return 1;
  } catch (...) {
    return 0;
  }
}

}  // extern "C"
