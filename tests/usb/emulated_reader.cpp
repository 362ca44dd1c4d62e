#include "emulated_reader.h"

#include <errno.h>
#include <linux/usbdevice_fs.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <memory>
#include <stdexcept>

namespace mzt {
namespace {

std::string Hex(const uint8_t* bytes, size_t size) {
  std::string text;
  char pair[3];
  for (size_t i = 0; i < size; ++i) {
    snprintf(pair, sizeof pair, "%02x", bytes[i]);
    text += pair;
  }
  return text;
}

std::string Format(const char* format, int a, int b) {
  char text[64];
  snprintf(text, sizeof text, format, a, b);
  return text;
}

// The chip's descriptors as sysfs shows them (device, then configuration with
// its interface and endpoints), little-endian as on the bus.
Bytes Descriptors(uint16_t vendor, uint16_t product, uint8_t deviceClass) {
  Bytes d = {18,
             0x01,
             0x10,
             0x01,
             deviceClass,
             0,
             0,
             8,
             static_cast<uint8_t>(vendor),
             static_cast<uint8_t>(vendor >> 8),
             static_cast<uint8_t>(product),
             static_cast<uint8_t>(product >> 8),
             0x00,
             0x01,
             0,
             0,
             0,
             1};
  if (deviceClass == 0x09) {
    // A hub: one interface of class 09, one interrupt endpoint.
    const Bytes config = {9, 0x02, 25, 0, 1, 1, 0,    0xE0, 0,    9, 0x04, 0, 0,
                          1, 0x09, 0,  0, 0, 7, 0x05, 0x81, 0x03, 1, 0,    12};
    d.insert(d.end(), config.begin(), config.end());
    return d;
  }
  const Bytes config = {
      9, 0x02, 39,   0,    1,  1,    0,    0x80, 50,  // configuration 1
      9, 0x04, 0,    0,    3,  0xFF, 0x80, 0x37, 0,   // interface 0, FF/80/37
      7, 0x05, 0x82, 0x02, 64, 0,    0,               // bulk IN 0x82
      7, 0x05, 0x02, 0x02, 64, 0,    0,               // bulk OUT 0x02
      7, 0x05, 0x81, 0x03, 8,  0,    1,               // interrupt IN 0x81
  };
  d.insert(d.end(), config.begin(), config.end());
  return d;
}

std::string SysPath(const std::string& port) {
  // 1-1.4 sits below 1-1, which sits below the root hub usb1.
  std::string path = "/sys/devices/pci0000:00/0000:00:14.0/usb" + port.substr(0, port.find('-'));
  for (size_t dot = port.find('.'); dot != std::string::npos; dot = port.find('.', dot + 1)) {
    path += "/" + port.substr(0, dot);
  }
  return path + "/" + port;
}

std::string Description(const UsbPlace& p, uint8_t deviceClass) {
  const std::string node = Format("bus/usb/%03d/%03d", p.bus, p.address);
  const Bytes descriptors = Descriptors(p.vendor, p.product, deviceClass);
  char ids[64];
  snprintf(ids, sizeof ids, "A: idVendor=%04x\nA: idProduct=%04x\n", p.vendor, p.product);
  return "P: " + SysPath(p.port).substr(4) + "\n" + "N: " + node + "\n" + "E: DEVNAME=/dev/" +
         node + "\n" + "E: DEVTYPE=usb_device\n" + "E: SUBSYSTEM=usb\n" + "E: DRIVER=usb\n" +
         Format("E: BUSNUM=%03d\nE: DEVNUM=%03d\n", p.bus, p.address) +
         Format("A: busnum=%d\nA: devnum=%d\n", p.bus, p.address) + "A: speed=12\n" + ids +
         "A: bConfigurationValue=1\n" + "A: bNumConfigurations=1\n" +
         "H: descriptors=" + Hex(descriptors.data(), descriptors.size()) + "\n";
}

void AddFromString(UMockdevTestbed* bed, const std::string& description) {
  GError* error = nullptr;
  if (!umockdev_testbed_add_from_string(bed, description.c_str(), &error)) {
    const std::string message = error ? error->message : "unknown error";
    g_clear_error(&error);
    throw std::runtime_error("umockdev cannot add the device: " + message);
  }
}

size_t ArgumentSize(unsigned long request) {
  return _IOC_SIZE(request);
}

}  // namespace

void AddHub(UMockdevTestbed* bed, int bus, int address, const std::string& port) {
  UsbPlace hub{bus, address, port, 0x1d6b, 0x0001};
  AddFromString(bed, Description(hub, 0x09));
}

EmulatedReader::EmulatedReader(UMockdevTestbed* bed, UsbPlace place)
    : bed_(bed), place_(std::move(place)) {
  devnode_ = Format("/dev/bus/usb/%03d/%03d", place_.bus, place_.address);
  syspath_ = SysPath(place_.port);
  handler_ = umockdev_ioctl_base_new();
  g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&EmulatedReader::OnIoctl), this);
}

EmulatedReader::~EmulatedReader() {
  if (plugged_) Unplug();
  umockdev_testbed_detach_ioctl(bed_, devnode_.c_str(), nullptr);
  g_object_unref(handler_);
}

void EmulatedReader::Plug() {
  if (plugged_) return;
  AddFromString(bed_, Description(place_, 0x00));
  // A node that a client still holds open from before the unplug keeps its
  // old connection; new opens reach the handler through the new node.
  umockdev_testbed_detach_ioctl(bed_, devnode_.c_str(), nullptr);
  GError* error = nullptr;
  if (!umockdev_testbed_attach_ioctl(bed_, devnode_.c_str(), handler_, &error)) {
    const std::string message = error ? error->message : "unknown error";
    g_clear_error(&error);
    throw std::runtime_error("umockdev cannot attach to " + devnode_ + ": " + message);
  }
  {
    std::lock_guard<std::mutex> guard(lock_);
    plugged_ = true;
  }
  umockdev_testbed_uevent(bed_, syspath_.c_str(), "add");
}

void EmulatedReader::Unplug() {
  if (!plugged_) return;
  std::deque<Urb> killed;
  std::deque<UMockdevIoctlClient*> reapers;
  {
    std::lock_guard<std::mutex> guard(lock_);
    plugged_ = false;
    claimed_ = false;
    replies_.clear();
    // The kernel ends every transfer of a device that is gone; its file
    // descriptor only reports ENODEV from then on.
    killed.swap(pending_in_);
    for (Urb& urb : done_) killed.push_back(urb);
    done_.clear();
    reapers.swap(reapers_);
  }
  for (Urb& urb : killed) {
    g_object_unref(urb.buffer);
    g_object_unref(urb.urb);
  }
  for (UMockdevIoctlClient* client : reapers) Complete(client, -1, ENODEV);
  umockdev_testbed_uevent(bed_, syspath_.c_str(), "remove");
  umockdev_testbed_remove_device(bed_, syspath_.c_str());
}

void EmulatedReader::Restart(const zubsim::Uid& uid) {
  std::lock_guard<std::mutex> guard(lock_);
  reader_ = zubsim::ReaderFirmware();
  reader_.insert(zubsim::Card(zubsim::CardType::k1K, uid));
  silent_ = false;
  replies_.clear();
  resets_ = claims_ = disconnect_claims_ = 0;
  in_lengths_.clear();
  requests_.clear();
  log_.clear();
  driver_.clear();
  refuse_claims_ = 0;
}

void EmulatedReader::SetSilent(bool silent) {
  std::lock_guard<std::mutex> guard(lock_);
  silent_ = silent;
}

void EmulatedReader::QueueReply(const Bytes& reply) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    replies_.push_back(reply);
  }
  ServeReads();
}

void EmulatedReader::SetKernelDriver(const std::string& driver) {
  std::lock_guard<std::mutex> guard(lock_);
  driver_ = driver;
}

void EmulatedReader::RefuseClaims(int count) {
  std::lock_guard<std::mutex> guard(lock_);
  refuse_claims_ = count;
}

std::string EmulatedReader::KernelDriver() {
  std::lock_guard<std::mutex> guard(lock_);
  return driver_;
}

int EmulatedReader::Resets() {
  std::lock_guard<std::mutex> guard(lock_);
  return resets_;
}

int EmulatedReader::Claims() {
  std::lock_guard<std::mutex> guard(lock_);
  return claims_;
}

int EmulatedReader::DisconnectClaims() {
  std::lock_guard<std::mutex> guard(lock_);
  return disconnect_claims_;
}

bool EmulatedReader::Claimed() {
  std::lock_guard<std::mutex> guard(lock_);
  return claimed_;
}

std::vector<int> EmulatedReader::InLengths() {
  std::lock_guard<std::mutex> guard(lock_);
  return in_lengths_;
}

std::vector<Bytes> EmulatedReader::Requests() {
  std::lock_guard<std::mutex> guard(lock_);
  return requests_;
}

std::string EmulatedReader::Log() {
  std::lock_guard<std::mutex> guard(lock_);
  return log_;
}

// ---- usbfs ----

gboolean EmulatedReader::OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
  static_cast<EmulatedReader*>(self)->Handle(client);
  return TRUE;
}

void EmulatedReader::Complete(UMockdevIoctlClient* client, long result, int error) {
  umockdev_ioctl_client_complete(client, result, error);
}

void EmulatedReader::Handle(UMockdevIoctlClient* client) {
  const unsigned long request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  UMockdevIoctlData* data = nullptr;
  const size_t size = ArgumentSize(request);
  if (size != 0) {
    data = umockdev_ioctl_data_resolve(arg, 0, size, nullptr);
    if (data == nullptr) {
      Complete(client, -1, EFAULT);
      return;
    }
  }
  // resolve() gave a reference of our own; whatever must outlive this ioctl
  // takes another.
  const std::unique_ptr<UMockdevIoctlData, void (*)(UMockdevIoctlData*)> owned(
      data, [](UMockdevIoctlData* d) {
        if (d != nullptr) g_object_unref(d);
      });
  std::unique_lock<std::mutex> guard(lock_);
  auto note = [this](const char* word) {
    if (!log_.empty()) log_ += ' ';
    log_ += word;
  };
  if (!plugged_) {
    note("gone");
    guard.unlock();
    Complete(client, -1, ENODEV);
    return;
  }
  switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
      const uint32_t caps = USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
      memcpy(data->data, &caps, sizeof caps);
      guard.unlock();
      Complete(client, 0, 0);
      return;
    }
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_DISCONNECT_CLAIM: {
      unsigned int interface;
      memcpy(&interface, data->data, sizeof interface);
      int error = 0;
      if (interface != 0) {
        error = EINVAL;
      } else if (request == USBDEVFS_DISCONNECT_CLAIM) {
        note("disconnect-claim");
        auto* dc = reinterpret_cast<usbdevfs_disconnect_claim*>(data->data);
        const bool except = dc->flags & USBDEVFS_DISCONNECT_CLAIM_EXCEPT_DRIVER;
        const bool only = dc->flags & USBDEVFS_DISCONNECT_CLAIM_IF_DRIVER;
        if (!driver_.empty() && (except ? driver_ != dc->driver : !only || driver_ == dc->driver)) {
          ++disconnect_claims_;
          driver_.clear();
        }
      } else {
        note("claim");
      }
      // A kernel driver still bound holds the interface.
      if (error == 0 && !driver_.empty()) error = EBUSY;
      if (error == 0 && refuse_claims_ > 0) {
        --refuse_claims_;
        error = EBUSY;
      }
      if (error == 0) {
        claimed_ = true;
        ++claims_;
      }
      guard.unlock();
      Complete(client, error ? -1 : 0, error);
      return;
    }
    case USBDEVFS_RELEASEINTERFACE:
      note("release");
      claimed_ = false;
      guard.unlock();
      Complete(client, 0, 0);
      return;
    case USBDEVFS_GETDRIVER: {
      note("getdriver");
      auto* gd = reinterpret_cast<usbdevfs_getdriver*>(data->data);
      std::string bound = claimed_ ? "usbfs" : driver_;
      if (gd->interface != 0 || bound.empty()) {
        guard.unlock();
        Complete(client, -1, ENODATA);
        return;
      }
      snprintf(gd->driver, sizeof gd->driver, "%s", bound.c_str());
      guard.unlock();
      Complete(client, 0, 0);
      return;
    }
    case USBDEVFS_IOCTL: {
      // Binding a kernel driver to the interface again after a release.
      auto* io = reinterpret_cast<usbdevfs_ioctl*>(data->data);
      if (io->ioctl_code == USBDEVFS_CONNECT) {
        note("connect");
        if (!claimed_) driver_ = "usbtest";
      } else if (io->ioctl_code == USBDEVFS_DISCONNECT) {
        note("disconnect");
        driver_.clear();
      }
      guard.unlock();
      Complete(client, 0, 0);
      return;
    }
    case USBDEVFS_RESET:
      note("reset");
      ++resets_;
      // The port reset ends whatever the chip had on its way.
      replies_.clear();
      guard.unlock();
      Complete(client, 0, 0);
      return;
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESETEP:
      note("clear-halt");
      guard.unlock();
      Complete(client, 0, 0);
      return;
    case USBDEVFS_SUBMITURB:
      guard.unlock();
      Submit(client, data);
      return;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
      guard.unlock();
      Reap(client, data, request == USBDEVFS_REAPURB);
      return;
    case USBDEVFS_DISCARDURB:
      guard.unlock();
      Discard(client);
      return;
    default: {
      char word[32];
      snprintf(word, sizeof word, "ioctl-%lx", request);
      note(word);
      guard.unlock();
      Complete(client, -1, ENOTTY);
      return;
    }
  }
}

void EmulatedReader::Submit(UMockdevIoctlClient* client, UMockdevIoctlData* data) {
  auto* urb = reinterpret_cast<usbdevfs_urb*>(data->data);
  const bool in = urb->endpoint == 0x82;
  const bool out = urb->endpoint == 0x02;
  if (urb->type != USBDEVFS_URB_TYPE_BULK || (!in && !out) || urb->buffer_length < 0) {
    Complete(client, -1, EINVAL);
    return;
  }
  UMockdevIoctlData* buffer = umockdev_ioctl_data_resolve(data, offsetof(usbdevfs_urb, buffer),
                                                          urb->buffer_length, nullptr);
  if (buffer == nullptr) {
    Complete(client, -1, EFAULT);
    return;
  }
  Urb held{UMOCKDEV_IOCTL_DATA(g_object_ref(data)), buffer};
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (!claimed_) {
      g_object_unref(held.buffer);
      g_object_unref(held.urb);
      Complete(client, -1, EINVAL);
      return;
    }
    if (out) {
      log_ += log_.empty() ? "write" : " write";
      const Bytes request(buffer->data, buffer->data + urb->buffer_length);
      requests_.push_back(request);
      // The chip hands each OUT transfer to the reader as one request.
      Bytes reply(zubsim::kMaxReply);
      reply.resize(reader_.handle(request.data(), request.size(), reply.data(), reply.size()));
      if (!reply.empty() && !silent_) replies_.push_back(reply);
    } else {
      log_ += log_.empty() ? "read" : " read";
      in_lengths_.push_back(urb->buffer_length);
      pending_in_.push_back(held);
    }
  }
  Complete(client, 0, 0);
  if (out) Finish(held, 0, nullptr, static_cast<size_t>(urb->buffer_length));
  ServeReads();
}

// Moves a transfer to the reapable ones: status, the count and any IN data
// go into the client's memory with the reap that hands it back.
void EmulatedReader::Finish(Urb held, int status, const uint8_t* bytes, size_t size) {
  auto* urb = reinterpret_cast<usbdevfs_urb*>(held.urb->data);
  urb->status = status;
  urb->actual_length = static_cast<int>(size);
  if (bytes != nullptr && size != 0) memcpy(held.buffer->data, bytes, size);
  UMockdevIoctlClient* reaper = nullptr;
  {
    std::lock_guard<std::mutex> guard(lock_);
    done_.push_back(held);
    if (!reapers_.empty()) {
      reaper = reapers_.front();
      reapers_.pop_front();
    }
  }
  if (reaper != nullptr) {
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(reaper), 0,
                                                          sizeof(void*), nullptr);
    if (data != nullptr) {
      Reap(reaper, data, false);
      g_object_unref(data);
    } else {
      Complete(reaper, -1, EFAULT);
    }
    g_object_unref(reaper);
  }
}

// Hands waiting replies to waiting IN transfers, as the chip does with its
// 64-byte packets: a reply longer than the transfer asked for is an overflow
// (the host controller's babble), and the packet is lost.
void EmulatedReader::ServeReads() {
  for (;;) {
    Urb held{};
    Bytes reply;
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (pending_in_.empty() || replies_.empty()) return;
      held = pending_in_.front();
      pending_in_.pop_front();
      reply = replies_.front();
      replies_.pop_front();
    }
    const int asked = reinterpret_cast<usbdevfs_urb*>(held.urb->data)->buffer_length;
    if (reply.size() > static_cast<size_t>(asked)) {
      Finish(held, -EOVERFLOW, reply.data(), static_cast<size_t>(asked));
    } else {
      Finish(held, 0, reply.data(), reply.size());
    }
  }
}

void EmulatedReader::Reap(UMockdevIoctlClient* client, UMockdevIoctlData* data, bool wait) {
  Urb held{};
  {
    std::lock_guard<std::mutex> guard(lock_);
    log_ += log_.empty() ? "reap" : " reap";
    if (done_.empty()) {
      if (wait) {
        reapers_.push_back(UMOCKDEV_IOCTL_CLIENT(g_object_ref(client)));
        return;
      }
      Complete(client, -1, EAGAIN);
      return;
    }
    held = done_.front();
    done_.pop_front();
  }
  // The client's pointer is set to its own urb; the urb and its buffer, as
  // changed by Finish, travel back with this completion.
  umockdev_ioctl_data_set_ptr(data, 0, held.urb);
  Complete(client, 0, 0);
  g_object_unref(held.buffer);
  g_object_unref(held.urb);
}

void EmulatedReader::Discard(UMockdevIoctlClient* client) {
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  gulong address = 0;
  memcpy(&address, arg->data, std::min(sizeof address, static_cast<size_t>(arg->data_len)));
  Urb held{};
  bool found = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    log_ += log_.empty() ? "discard" : " discard";
    for (auto it = pending_in_.begin(); it != pending_in_.end(); ++it) {
      if (it->urb->client_addr == address) {
        held = *it;
        pending_in_.erase(it);
        found = true;
        break;
      }
    }
  }
  if (!found) {
    Complete(client, -1, EINVAL);
    return;
  }
  Complete(client, 0, 0);
  // A discarded transfer is still reaped, with nothing in it.
  Finish(held, -ENOENT, nullptr, 0);
}

}  // namespace mzt
