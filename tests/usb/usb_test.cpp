// libCH375DLL.so over libusb against readers on an emulated USB bus: the
// vendor calls on their own, and whole card sessions through libMifareZUB.so
// bound to this libCH375DLL.so. Nothing here needs hardware; the program runs
// itself under umockdev-wrapper.
#include <dlfcn.h>
#include <fcntl.h>
#include <ftw.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <umockdev.h>

#include "CH375DLL.h"
#include "ch375_open_error.h"
#include "emulated_reader.h"
#include "firmware.h"

namespace mzt {
namespace {

using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// ---- The bus ----
//
// Bus 1: a hub at port 1 with a reader at its port 2 (1-1.2), a reader at
// port 3 (1-3). Bus 2: a reader of the other vendor ID at port 1 (2-1), and a
// device with IDs of its own at port 2 (2-2). They are added in another order
// than they count in.
const zubsim::Uid kUidBehindHub = {0xAA, 0xBB, 0xCC, 0xDD};
const zubsim::Uid kUidPort3 = {0x11, 0x22, 0x33, 0x44};
const zubsim::Uid kUidBus2 = {0x55, 0x66, 0x77, 0x88};
const zubsim::Uid kUidOtherIds = {0x01, 0x02, 0x03, 0x04};

struct Bus {
  UMockdevTestbed* bed = nullptr;
  std::unique_ptr<EmulatedReader> bus2{};
  std::unique_ptr<EmulatedReader> port3{};
  std::unique_ptr<EmulatedReader> behindHub{};
  std::unique_ptr<EmulatedReader> otherIds{};

  std::vector<EmulatedReader*> All() {
    return {behindHub.get(), port3.get(), bus2.get(), otherIds.get()};
  }
};

Bus* bus = nullptr;

class BusEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    bus = new Bus;
    bus->bed = umockdev_testbed_new();
    bus->bus2.reset(new EmulatedReader(bus->bed, {2, 2, "2-1", 0x1a86, 0x5537}));
    bus->port3.reset(new EmulatedReader(bus->bed, {1, 3, "1-3"}));
    AddHub(bus->bed, 1, 2, "1-1");
    bus->behindHub.reset(new EmulatedReader(bus->bed, {1, 4, "1-1.2"}));
    bus->otherIds.reset(new EmulatedReader(bus->bed, {2, 3, "2-2", 0x1234, 0x5678}));
    for (EmulatedReader* reader : bus->All()) reader->Plug();
  }
  // The bus stays up to the end: libusb ends at unload, after the tests.
};

// ---- libMifareZUB.so, loaded over this libCH375DLL.so ----

struct Library {
  void* handle = nullptr;
  int32_t (*OpenComm)(int32_t, int32_t);
  int32_t (*CloseComm)();
  int32_t (*mif_Request)(int32_t, int32_t*);
  int32_t (*mif_Anticollision)(char**);
  int32_t (*mif_Select)(const char*, int32_t*);
  int32_t (*mif_LoadKey)(int32_t, int32_t, const char*);
  int32_t (*mif_Authentication)(int32_t, int32_t, int32_t);
  int32_t (*mif_Read)(int32_t, char**);
  int32_t (*mif_Write)(int32_t, const char*);
  int32_t (*mif_Increment)(int32_t, int32_t);
  int32_t (*zub_beep)(int32_t);
};

template <typename F>
void Bind(void* handle, const char* name, F* fn) {
  *fn = reinterpret_cast<F>(dlsym(handle, name));
  if (*fn == nullptr) {
    fprintf(stderr, "libMifareZUB.so lacks %s\n", name);
    abort();
  }
}

const Library& Mz() {
  static const Library lib = [] {
    Library l;
    // This program needs libCH375DLL.so from the libusb build, so the
    // library's own need of that name is met by it.
    l.handle = dlopen(MZ_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    if (l.handle == nullptr) {
      fprintf(stderr, "cannot load %s: %s\n", MZ_LIBRARY_PATH, dlerror());
      abort();
    }
    Bind(l.handle, "OpenComm", &l.OpenComm);
    Bind(l.handle, "CloseComm", &l.CloseComm);
    Bind(l.handle, "mif_Request", &l.mif_Request);
    Bind(l.handle, "mif_Anticollision", &l.mif_Anticollision);
    Bind(l.handle, "mif_Select", &l.mif_Select);
    Bind(l.handle, "mif_LoadKey", &l.mif_LoadKey);
    Bind(l.handle, "mif_Authentication", &l.mif_Authentication);
    Bind(l.handle, "mif_Read", &l.mif_Read);
    Bind(l.handle, "mif_Write", &l.mif_Write);
    Bind(l.handle, "mif_Increment", &l.mif_Increment);
    Bind(l.handle, "zub_beep", &l.zub_beep);
    return l;
  }();
  return lib;
}

// Request, anticollision and select through the library; the serial number
// (UID and BCC as hex) or "" when a step failed. A card that was selected
// before answers the first request with 1 and the next one normally.
std::string SelectCard() {
  int32_t tag = 0;
  if (Mz().mif_Request(1, &tag) != 0 && Mz().mif_Request(1, &tag) != 0) return "";
  char serial[11] = {};
  char* out = serial;
  if (Mz().mif_Anticollision(&out) != 0) return "";
  int32_t size = 0;
  if (Mz().mif_Select(serial, &size) != 0) return "";
  return serial;
}

std::string Serial(const zubsim::Uid& uid) {
  char text[11];
  snprintf(text, sizeof text, "%02X%02X%02X%02X%02X", uid[0], uid[1], uid[2], uid[3],
           uid[0] ^ uid[1] ^ uid[2] ^ uid[3]);
  return text;
}

// ---- Frames for the vendor calls on their own ----

Bytes Request(uint8_t command, Bytes data = {0x01}) {
  Bytes frame(300);
  frame.resize(
      zubsim::build_request(command, data.data(), data.size(), frame.data(), frame.size()));
  return frame;
}

int32_t Write(uint32_t index, Bytes frame, uint32_t* written = nullptr) {
  uint32_t n = static_cast<uint32_t>(frame.size());
  const int32_t ok = CH375WriteData(index, frame.data(), &n);
  if (written != nullptr) *written = n;
  return ok;
}

// One read of at most `size` bytes: the bytes, and the call's result.
Bytes Read(uint32_t index, uint32_t size, int32_t* ok = nullptr) {
  Bytes buffer(size + 16, 0xEE);
  uint32_t n = size;
  const int32_t result = CH375ReadData(index, buffer.data(), &n);
  if (ok != nullptr) *ok = result;
  buffer.resize(n);
  return buffer;
}

// The UID a reader answers an anticollision with, read through the vendor
// calls alone ("" without an answer).
std::string AnticollisionUid(uint32_t index) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    Write(index, Request(0x11));
    const Bytes reply = Read(index, 32);
    if (reply.size() < 4) return "";
    if (reply[3] == 0) break;
  }
  Write(index, Request(0x20));
  const Bytes reply = Read(index, 32);
  if (reply.size() < 9 || reply[3] != 0) return "";
  char text[9];
  snprintf(text, sizeof text, "%02X%02X%02X%02X", reply[4], reply[5], reply[6], reply[7]);
  return text;
}

std::string Hex(const zubsim::Uid& uid) {
  return Serial(uid).substr(0, 8);
}

class Usb : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("MIFAREZUB_USB_IDS");
    for (EmulatedReader* reader : bus->All()) reader->Plug();
    bus->behindHub->Restart(kUidBehindHub);
    bus->port3->Restart(kUidPort3);
    bus->bus2->Restart(kUidBus2);
    bus->otherIds->Restart(kUidOtherIds);
  }
  void TearDown() override {
    Mz().CloseComm();
    for (uint32_t i = 0; i < 5; ++i) CH375CloseDevice(i);
    unsetenv("MIFAREZUB_USB_IDS");
  }
};

// ---- Which device an index names ----

TEST_F(Usb, IndexCountsMatchingDevicesByBusThenPortPath) {
  struct Case {
    int32_t index;
    const zubsim::Uid* uid;  // null: no reader at that index
  } cases[] = {{0, &kUidBehindHub}, {1, &kUidPort3}, {2, &kUidBus2}, {3, nullptr}, {200, nullptr}};
  for (const Case& c : cases) {
    SCOPED_TRACE("index " + std::to_string(c.index));
    if (c.uid == nullptr) {
      EXPECT_EQ(Mz().OpenComm(c.index, 0), -1);
      continue;
    }
    ASSERT_EQ(Mz().OpenComm(c.index, 0), 0);
    EXPECT_EQ(SelectCard(), Serial(*c.uid));
    EXPECT_EQ(Mz().CloseComm(), 0);
  }
  // Only the readers were claimed, each released again.
  EXPECT_EQ(bus->otherIds->Claims(), 0);
  for (EmulatedReader* reader : bus->All()) EXPECT_FALSE(reader->Claimed());
}

TEST_F(Usb, ExtraIdsFromTheEnvironmentJoinTheCount) {
  struct Case {
    const char* ids;
    bool counted;
  } cases[] = {
      {"1234:5678", true},     {"dead:beef,1234:5678", true},
      {" 1234:5678 ; ", true}, {"1234:5678,zz:1", true},
      {"12345:678", false},    {"zz:5678", false},
      {"1234-5678", false},    {"", false},
      {"1234:", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("MIFAREZUB_USB_IDS=\"") + c.ids + "\"");
    setenv("MIFAREZUB_USB_IDS", c.ids, 1);
    const CH375_HANDLE handle = CH375OpenDevice(3);
    EXPECT_EQ(handle != CH375_INVALID_HANDLE, c.counted);
    EXPECT_EQ(bus->otherIds->Claimed(), c.counted);
    if (c.counted) {
      EXPECT_EQ(AnticollisionUid(3), Hex(kUidOtherIds));
    }
    CH375CloseDevice(3);
    EXPECT_FALSE(bus->otherIds->Claimed());
  }
}

TEST_F(Usb, TheLibraryBindsToThisVendorLibrary) {
  Mz();
  void* open = dlsym(Mz().handle, "CH375OpenDevice");
  ASSERT_NE(open, nullptr);
  Dl_info info{};
  ASSERT_NE(dladdr(open, &info), 0);
  EXPECT_STREQ(info.dli_fname, MZ_USB_BACKEND_PATH);
}

// ---- A card session ----

TEST_F(Usb, WholeCardSessionThroughTheLibrary) {
  ASSERT_EQ(Mz().OpenComm(1, 0), 0);
  EXPECT_EQ(SelectCard(), Serial(kUidPort3));
  EXPECT_EQ(Mz().mif_LoadKey(0, 0, "FFFFFFFFFFFF"), 0);
  EXPECT_EQ(Mz().mif_Authentication(0, 0, 4), 0);
  EXPECT_EQ(Mz().mif_Write(4, "00112233445566778899AABBCCDDEEFF"), 0);
  char block[33] = {};
  char* out = block;
  EXPECT_EQ(Mz().mif_Read(4, &out), 0);
  EXPECT_STREQ(block, "00112233445566778899AABBCCDDEEFF");
  EXPECT_EQ(Mz().mif_Write(5,
                           "87D61200"
                           "7829EDFF"
                           "87D61200"
                           "05FA05FA"),
            0);
  EXPECT_EQ(Mz().mif_Increment(5, 1), 0);
  EXPECT_EQ(Mz().zub_beep(1), 0);
  EXPECT_EQ(Mz().CloseComm(), 0);

  std::lock_guard<std::mutex> guard(bus->port3->lock());
  const zubsim::Card* card = bus->port3->firmware().card();
  ASSERT_NE(card, nullptr);
  const Bytes written = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                         0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
  EXPECT_TRUE(std::equal(written.begin(), written.end(), card->image().begin() + 4 * 16));
  EXPECT_TRUE(bus->port3->firmware().beeper_on());
}

TEST_F(Usb, TwoReadersOpenAtOnceAnswerEachForItself) {
  ASSERT_NE(CH375OpenDevice(0), CH375_INVALID_HANDLE);
  ASSERT_NE(CH375OpenDevice(2), CH375_INVALID_HANDLE);
  EXPECT_EQ(AnticollisionUid(2), Hex(kUidBus2));
  EXPECT_EQ(AnticollisionUid(0), Hex(kUidBehindHub));
  CH375CloseDevice(0);
  EXPECT_FALSE(bus->behindHub->Claimed());
  EXPECT_EQ(AnticollisionUid(2), Hex(kUidBus2));
  EXPECT_EQ(AnticollisionUid(0), "");
}

// ---- Reads ----

TEST_F(Usb, ReadsAskForWholePacketsAndHandBackAtMostTheCountAsked) {
  ASSERT_NE(CH375OpenDevice(1), CH375_INVALID_HANDLE);
  Bytes packet(64);
  for (size_t i = 0; i < packet.size(); ++i) packet[i] = static_cast<uint8_t>(i + 1);
  struct Case {
    uint32_t asked;
    size_t sent;  // bytes the reader sends
    int in_length;
    size_t handed_back;
  } cases[] = {{1, 64, 64, 1},   {8, 64, 64, 8},    {32, 21, 64, 21}, {32, 64, 64, 32},
               {64, 64, 64, 64}, {65, 64, 128, 64}, {100, 5, 128, 5}};
  for (const Case& c : cases) {
    SCOPED_TRACE("asked " + std::to_string(c.asked) + ", sent " + std::to_string(c.sent));
    bus->port3->QueueReply(Bytes(packet.begin(), packet.begin() + c.sent));
    int32_t ok = 0;
    const Bytes got = Read(1, c.asked, &ok);
    EXPECT_EQ(ok, 1);
    ASSERT_EQ(got.size(), c.handed_back);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), packet.begin()));
    ASSERT_FALSE(bus->port3->InLengths().empty());
    EXPECT_EQ(bus->port3->InLengths().back(), c.in_length);
  }
  // Every read the library makes goes out as whole packets too.
  ASSERT_EQ(Mz().OpenComm(1, 0), 0);
  EXPECT_EQ(SelectCard(), Serial(kUidPort3));
  for (int length : bus->port3->InLengths()) EXPECT_EQ(length % 64, 0);
}

TEST_F(Usb, ReadWithNoReplyEndsWithinItsTimeout) {
  ASSERT_NE(CH375OpenDevice(1), CH375_INVALID_HANDLE);
  // Before any SetTimeout: the finite default.
  auto start = Clock::now();
  int32_t ok = -1;
  EXPECT_TRUE(Read(1, 32, &ok).empty());
  EXPECT_EQ(ok, 0);
  EXPECT_GE(MsSince(start), 950);
  EXPECT_LT(MsSince(start), 2500);
  for (uint32_t timeout : {50u, 300u}) {
    SCOPED_TRACE("timeout " + std::to_string(timeout));
    ASSERT_EQ(CH375SetTimeout(1, timeout, timeout), 1);
    start = Clock::now();
    EXPECT_TRUE(Read(1, 32, &ok).empty());
    EXPECT_EQ(ok, 0);
    EXPECT_GE(MsSince(start), static_cast<long>(timeout) - 5);
    EXPECT_LT(MsSince(start), static_cast<long>(timeout) + 1000);
  }
  // The transfer that timed out was taken back from the device: the next
  // read gets the next reply, whole.
  Write(1, Request(0x11));
  EXPECT_EQ(Read(1, 32).size(), 7u);
}

TEST_F(Usb, ReadWithoutTimeoutWaitsForTheReply) {
  ASSERT_NE(CH375OpenDevice(1), CH375_INVALID_HANDLE);
  ASSERT_EQ(CH375SetTimeout(1, 0xFFFFFFFFu, 0xFFFFFFFFu), 1);
  std::thread late([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    bus->port3->QueueReply({0x04, 0xD0, 0x01, 0x00, 0xD5});
  });
  const auto start = Clock::now();
  const Bytes got = Read(1, 32);
  late.join();
  EXPECT_EQ(got, (Bytes{0x04, 0xD0, 0x01, 0x00, 0xD5}));
  EXPECT_GE(MsSince(start), 1250);
}

TEST_F(Usb, ExchangeWithASilentReaderFailsWithinTheLibrarysTimeout) {
  ASSERT_EQ(Mz().OpenComm(2, 0), 0);
  bus->bus2->SetSilent(true);
  int32_t tag = 0;
  const auto start = Clock::now();
  EXPECT_EQ(Mz().mif_Request(1, &tag), -2);
  EXPECT_GE(MsSince(start), 95);
  EXPECT_LT(MsSince(start), 1000);
  bus->bus2->SetSilent(false);
  EXPECT_EQ(SelectCard(), Serial(kUidBus2));
}

// ---- Open, reset, kernel drivers ----

TEST_F(Usb, OpenDetachesABoundKernelDriverAndCloseGivesItBack) {
  bus->behindHub->SetKernelDriver("usbtest");
  ASSERT_EQ(Mz().OpenComm(0, 0), 0);
  EXPECT_EQ(bus->behindHub->DisconnectClaims(), 1);
  EXPECT_EQ(bus->behindHub->KernelDriver(), "");
  EXPECT_EQ(SelectCard(), Serial(kUidBehindHub));
  EXPECT_EQ(Mz().CloseComm(), 0);
  EXPECT_FALSE(bus->behindHub->Claimed());
  EXPECT_EQ(bus->behindHub->KernelDriver(), "usbtest");
}

TEST_F(Usb, ResetResetsTheDeviceAndKeepsTheInterface) {
  // OpenComm resets the device it opened.
  ASSERT_EQ(Mz().OpenComm(1, 0), 0);
  EXPECT_EQ(bus->port3->Resets(), 1);
  EXPECT_TRUE(bus->port3->Claimed());
  EXPECT_EQ(SelectCard(), Serial(kUidPort3));
  Mz().CloseComm();

  ASSERT_NE(CH375OpenDevice(1), CH375_INVALID_HANDLE);
  Write(1, Request(0x11));  // its reply is lost with the reset
  EXPECT_EQ(CH375ResetDevice(1), 1);
  EXPECT_EQ(bus->port3->Resets(), 2);
  EXPECT_TRUE(bus->port3->Claimed());
  ASSERT_EQ(CH375SetTimeout(1, 100, 100), 1);
  EXPECT_TRUE(Read(1, 32).empty());
  EXPECT_EQ(AnticollisionUid(1), Hex(kUidPort3));
}

TEST_F(Usb, ResetThatLosesTheInterfaceOpensTheSameDeviceAgain) {
  ASSERT_NE(CH375OpenDevice(1), CH375_INVALID_HANDLE);
  // libusb cannot claim the interface again on its handle after the reset.
  bus->port3->RefuseClaims(1);
  EXPECT_EQ(CH375ResetDevice(1), 1);
  EXPECT_TRUE(bus->port3->Claimed());
  EXPECT_EQ(AnticollisionUid(1), Hex(kUidPort3));
}

TEST_F(Usb, CallsOnAnIndexThatIsNotOpenDoNothing) {
  uint32_t n = 5;
  uint8_t buffer[64] = {1, 2, 3, 4, 5};
  EXPECT_EQ(CH375WriteData(1, buffer, &n), 0);
  EXPECT_EQ(n, 0u);
  n = 32;
  EXPECT_EQ(CH375ReadData(1, buffer, &n), 0);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(CH375ResetDevice(1), 0);
  EXPECT_EQ(CH375SetTimeout(1, 10, 10), 0);
  EXPECT_EQ(CH375SetBufUpload(1, 0), 0);
  CH375CloseDevice(1);
  EXPECT_TRUE(bus->port3->Log().empty());

  ASSERT_NE(CH375OpenDevice(1), CH375_INVALID_HANDLE);
  EXPECT_EQ(CH375SetBufUpload(1, 0), 1);
  EXPECT_EQ(CH375SetBufUpload(1, 1), 0);  // no background reading here
}

// ---- Unplugged mid-session ----

TEST_F(Usb, UnplugMidSessionThenPlugBack) {
  ASSERT_EQ(Mz().OpenComm(1, 0), 0);
  EXPECT_EQ(SelectCard(), Serial(kUidPort3));
  bus->port3->Unplug();
  // A reset finds it gone, and does not take the reader now counted at its
  // index instead.
  EXPECT_EQ(CH375ResetDevice(1), 0);
  EXPECT_FALSE(bus->bus2->Claimed());

  char block[33] = {};
  char* out = block;
  const auto start = Clock::now();
  EXPECT_EQ(Mz().mif_Read(4, &out), -2);
  EXPECT_LT(MsSince(start), 1000);
  uint32_t written = 99;
  EXPECT_EQ(Write(1, Request(0x11), &written), 0);
  EXPECT_EQ(written, 0u);
  int32_t ok = -1;
  EXPECT_TRUE(Read(1, 32, &ok).empty());
  EXPECT_EQ(ok, 0);
  EXPECT_EQ(CH375ResetDevice(1), 0);
  EXPECT_EQ(Mz().CloseComm(), 0);

  // While it is away the indices close up: 1 is the reader on bus 2.
  EXPECT_EQ(Mz().OpenComm(2, 0), -1);
  ASSERT_EQ(Mz().OpenComm(1, 0), 0);
  EXPECT_EQ(SelectCard(), Serial(kUidBus2));
  Mz().CloseComm();

  bus->port3->Plug();
  ASSERT_EQ(Mz().OpenComm(1, 0), 0);
  EXPECT_EQ(SelectCard(), Serial(kUidPort3));
  EXPECT_EQ(Mz().mif_LoadKey(0, 0, "FFFFFFFFFFFF"), 0);
  EXPECT_EQ(Mz().mif_Authentication(0, 0, 4), 0);
  EXPECT_EQ(Mz().mif_Read(4, &out), 0);
}

// ---- Why an open failed ----

// The user an unprivileged open runs as when the tests run as root (root
// opens any node whatever its mode).
constexpr uid_t kNobody = 65534;

// The file behind an emulated node in the test bed.
std::string BedPath(const std::string& path) {
  gchar* root = umockdev_testbed_get_root_dir(bus->bed);  // ours to free
  std::string full = std::string(root) + path;
  g_free(root);
  return full;
}

// Sets the mode of every socket in the tree at `root`.
mode_t socket_mode = 0755;
void SetSocketModes(const std::string& root, mode_t mode) {
  socket_mode = mode;
  nftw(
      root.c_str(),
      [](const char* path, const struct stat* st, int, struct FTW*) {
        if (S_ISSOCK(st->st_mode)) chmod(path, socket_mode);
        return 0;
      },
      8, FTW_PHYS);
}

// Makes a reader's node one its user may not open, as a node without the
// udev rule is for anyone but root: mode 0600 and, for a root run, the
// open made as another user (kNobody); `open` gets the rule's mode 0666.
// Everything back on destruction.
class LockedNode {
 public:
  LockedNode(const EmulatedReader& locked, const EmulatedReader& open)
      : node_(BedPath(locked.devnode())), open_(BedPath(open.devnode())) {
    struct stat st {};
    EXPECT_EQ(stat(node_.c_str(), &st), 0) << node_;
    mode_ = st.st_mode & 07777;
    chmod(open_.c_str(), 0666);
    // A root run: the bed (where each client binds its udev socket) and
    // umockdev's sockets behind the nodes must be open to the other user, or
    // it meets no USB at all rather than a device it may not open.
    struct stat root {};
    stat(BedPath("").c_str(), &root);
    rootMode_ = root.st_mode & 07777;
    chmod(BedPath("").c_str(), 01777);
    SetSocketModes(BedPath(""), 0777);
    chmod(node_.c_str(), geteuid() == 0 ? 0600 : 0000);
  }
  ~LockedNode() {
    chmod(node_.c_str(), mode_);
    chmod(open_.c_str(), mode_);
    SetSocketModes(BedPath(""), 0755);
    chmod(BedPath("").c_str(), rootMode_);
  }
  LockedNode(const LockedNode&) = delete;
  LockedNode& operator=(const LockedNode&) = delete;

 private:
  std::string node_;
  std::string open_;
  mode_t mode_ = 0644;
  mode_t rootMode_ = 0700;
};

// Runs `open` on a thread of its own whose file-system identity (only that
// thread's: the raw system call, not glibc's process-wide setresuid) is
// kNobody's when the tests run as root.
template <typename F>
void AsUser(F open) {
  std::thread thread([&] {
    const bool root = geteuid() == 0;
    if (root) {
      ASSERT_EQ(syscall(SYS_setresuid, -1, kNobody, -1), 0);
    }
    open();
    if (root) {
      ASSERT_EQ(syscall(SYS_setresuid, -1, 0, -1), 0);
    }
  });
  thread.join();
}

TEST_F(Usb, TheLastOpenErrorSaysWhyAnOpenFailed) {
  // libusb starts (and lists the bus) as this test's own user.
  ASSERT_NE(CH375OpenDevice(1), CH375_INVALID_HANDLE);
  EXPECT_EQ(CH375GetLastOpenError(), CH375_OPEN_OK);
  CH375CloseDevice(1);

  EXPECT_EQ(CH375OpenDevice(3), CH375_INVALID_HANDLE);  // three readers: 0 to 2
  EXPECT_EQ(CH375GetLastOpenError(), CH375_OPEN_NO_DEVICE);
  EXPECT_EQ(CH375OpenDevice(200), CH375_INVALID_HANDLE);
  EXPECT_EQ(CH375GetLastOpenError(), CH375_OPEN_NO_DEVICE);

  bus->port3->RefuseClaims(1);  // another program holds the interface
  EXPECT_EQ(CH375OpenDevice(1), CH375_INVALID_HANDLE);
  EXPECT_EQ(CH375GetLastOpenError(), CH375_OPEN_BUSY);
  EXPECT_FALSE(bus->port3->Claimed());

  {
    LockedNode locked(*bus->port3, *bus->bus2);
    AsUser([] {
      EXPECT_EQ(CH375OpenDevice(1), CH375_INVALID_HANDLE);
      EXPECT_EQ(CH375GetLastOpenError(), CH375_OPEN_ACCESS_DENIED);
      // The others are open to this user as before.
      EXPECT_NE(CH375OpenDevice(2), CH375_INVALID_HANDLE);
      EXPECT_EQ(CH375GetLastOpenError(), CH375_OPEN_OK);
      CH375CloseDevice(2);
      EXPECT_EQ(CH375OpenDevice(1), CH375_INVALID_HANDLE);
    });
    // Each thread keeps its own: this one's last open was the busy one.
    EXPECT_EQ(CH375GetLastOpenError(), CH375_OPEN_BUSY);
  }
  // A success clears it.
  ASSERT_NE(CH375OpenDevice(1), CH375_INVALID_HANDLE);
  EXPECT_EQ(CH375GetLastOpenError(), CH375_OPEN_OK);
}

// What the programs run by RunOnTheBus load from the build and source trees,
// copied into a folder that every user may read: as kNobody they may not
// reach a tree whose path they cannot search (a checkout in /root, say).
// The copies go when the test program ends.
class OpenCopies {
 public:
  // The copy of a file or folder, as NAME (default: its own name).
  std::string Of(const std::string& from, std::string name = "") {
    namespace fs = std::filesystem;
    if (dir_.empty()) {
      char tmpl[] = "/tmp/mz-usb-programs-XXXXXX";
      if (mkdtemp(tmpl) == nullptr) return from;
      dir_ = tmpl;
      chmod(dir_.c_str(), 0755);
    }
    if (name.empty()) name = fs::path(from).filename().string();
    const fs::path to = fs::path(dir_) / name;
    std::error_code ec;
    if (!fs::exists(to, ec)) {
      fs::copy(from, to, fs::copy_options::recursive, ec);
      if (ec) return from;
      for (auto it = fs::recursive_directory_iterator(to, ec); !ec && it != fs::end(it);
           it.increment(ec)) {
        fs::permissions(it->path(), fs::perms::others_read | fs::perms::group_read,
                        fs::perm_options::add, ec);
        if (it->is_directory(ec))
          fs::permissions(it->path(), fs::perms::others_exec, fs::perm_options::add, ec);
      }
      fs::permissions(to, fs::perms::others_read | fs::perms::group_read, fs::perm_options::add,
                      ec);
    }
    return to.string();
  }
  // The folder of the copies.
  std::string Dir() const { return dir_; }
  ~OpenCopies() {
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }

 private:
  std::string dir_;
};
OpenCopies open_copies;

// The libraries the programs load: the libusb libCH375DLL.so, and
// libMifareZUB.so under its soname and its plain name, side by side in the
// copies' folder.
std::string OpenLibraryDir() {
  open_copies.Of(MZ_USB_BACKEND_PATH);
  open_copies.Of(MZ_LIBRARY_PATH, "libMifareZUB.so.1");
  open_copies.Of(MZ_LIBRARY_PATH, "libMifareZUB.so");  // the name mono looks for
  return open_copies.Dir();
}

// Runs a program (as kNobody for a root run) on the emulated bus with the
// libusb libCH375DLL.so and libMifareZUB.so (copies that kNobody may read)
// first on the loader's path; its exit status and standard error.
struct Outcome {
  int status = -1;
  std::string err;
};

Outcome RunOnTheBus(std::vector<std::string> argv, std::vector<std::string> env = {}) {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return {};
  // A path the caller gives comes after the libraries' folder.
  std::string library_path = "LD_LIBRARY_PATH=" + OpenLibraryDir();
  for (auto e = env.begin(); e != env.end(); ++e) {
    if (e->rfind("LD_LIBRARY_PATH=", 0) == 0) {
      library_path += ":" + e->substr(strlen("LD_LIBRARY_PATH="));
      env.erase(e);
      break;
    }
  }
  env.push_back(library_path);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(pipe_fds[1], 2);
    const int null_fd = open("/dev/null", O_WRONLY);
    if (null_fd >= 0) dup2(null_fd, 1);
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    if (geteuid() == 0 && (setgid(kNobody) != 0 || setuid(kNobody) != 0)) _exit(126);
    for (const std::string& e : env) putenv(strdup(e.c_str()));
    std::vector<char*> args;
    for (std::string& a : argv) args.push_back(&a[0]);
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(pipe_fds[1]);
  Outcome outcome;
  char buffer[512];
  ssize_t n;
  while ((n = read(pipe_fds[0], buffer, sizeof buffer)) > 0) outcome.err.append(buffer, n);
  close(pipe_fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  // In the coverage build the program, running as another user, cannot write
  // the build tree's counters and says so on its way out: not the program's
  // own words.
  // (The program's own text need not end its line.)
  for (size_t at; (at = outcome.err.find("profiling:")) != std::string::npos;) {
    const size_t end = outcome.err.find('\n', at);
    outcome.err.erase(at, end == std::string::npos ? std::string::npos : end + 1 - at);
  }
  return outcome;
}

const char kNoPermission[] =
    "a reader is plugged in but this user may not open it: see docs/linux.md (udev rule)";

TEST_F(Usb, ZubtoolSaysAReaderIsThereButThisUserMayNotOpenIt) {
  LockedNode locked(*bus->port3, *bus->bus2);
  Outcome out = RunOnTheBus({open_copies.Of(MZ_ZUBTOOL_PATH), "--device", "1", "scan"});
  EXPECT_EQ(out.status, 3) << out.err;
  EXPECT_NE(out.err.find(std::string("cannot open the reader at device index 1: ") + kNoPermission +
                         " (串口错, -1)"),
            std::string::npos)
      << out.err;
  // Another program holds it.
  bus->bus2->RefuseClaims(1);
  out = RunOnTheBus({open_copies.Of(MZ_ZUBTOOL_PATH), "--device", "2", "scan"});
  EXPECT_EQ(out.status, 3) << out.err;
  EXPECT_NE(out.err.find("in use by another program"), std::string::npos) << out.err;
  // No reader at all at that index: the message it always had.
  out = RunOnTheBus({open_copies.Of(MZ_ZUBTOOL_PATH), "--device", "5", "scan"});
  EXPECT_EQ(out.status, 3) << out.err;
  EXPECT_NE(out.err.find("no reader at device index 5: "), std::string::npos) << out.err;
  // And a reader it may open works as ever.
  out = RunOnTheBus({open_copies.Of(MZ_ZUBTOOL_PATH), "--device", "2", "scan"});
  EXPECT_EQ(out.status, 0) << out.err;
}

#if defined(MZ_PYTHON3)
TEST_F(Usb, PythonSaysAReaderIsThereButThisUserMayNotOpenIt) {
  LockedNode locked(*bus->port3, *bus->bus2);
  const std::string script =
      "import sys, mifarezub\n"
      "try:\n"
      "    mifarezub.Reader(int(sys.argv[1]))\n"
      "except mifarezub.NoLinkError as e:\n"
      "    sys.stderr.write(str(e)); sys.exit(3)\n";
  open_copies.Of(MZ_PYTHON_BINDING "/mifarezub");
  const std::vector<std::string> env = {
      "PYTHONPATH=" + open_copies.Dir(),
      "MIFAREZUB_LIBRARY=" + OpenLibraryDir() + "/libMifareZUB.so.1", "PYTHONDONTWRITEBYTECODE=1"};
  Outcome out = RunOnTheBus({MZ_PYTHON3, "-c", script, "1"}, env);
  EXPECT_EQ(out.status, 3) << out.err;
  EXPECT_EQ(out.err, std::string("OpenComm: ") + kNoPermission + " (串口错, -1)");
  out = RunOnTheBus({MZ_PYTHON3, "-c", script, "5"}, env);
  EXPECT_EQ(out.err, "OpenComm: reader not open or not answering (串口错, -1)") << out.err;
}
#endif

#if defined(MZ_DOTNET_OPEN_AS_USER)
TEST_F(Usb, CSharpSaysAReaderIsThereButThisUserMayNotOpenIt) {
  LockedNode locked(*bus->port3, *bus->bus2);
  // Mono finds libMifareZUB.so on the loader's path, beside the backend.
  const std::vector<std::string> env = {"HOME=/nonexistent"};
  struct Case {
    const char* index;
    int status;
    std::string err;
  };
  bus->bus2->RefuseClaims(1);  // another program holds the reader at index 2
  const Case cases[] = {
      {"1", 3, std::string("OpenComm|-1|") + kNoPermission},
      {"2", 3,
       "OpenComm|-1|a reader is plugged in but in use by another program (or a kernel driver): "
       "close that program and try again"},
      {"5", 3, "OpenComm|-1|reader not open or not answering"},  // the header's text
      {"2", 0, "opened"},                                        // the claim is refused once only
  };
  for (const Case& c : cases) {
    Outcome out = RunOnTheBus({MZ_MONO, open_copies.Of(MZ_DOTNET_OPEN_AS_USER), c.index}, env);
    EXPECT_EQ(out.status, c.status) << "device " << c.index << ": " << out.err;
    EXPECT_EQ(out.err, c.err) << "device " << c.index;
  }
}
#endif

}  // namespace
}  // namespace mzt

int main(int argc, char** argv) {
  // usbfs is emulated through umockdev's preload library: without it, run
  // this program again under umockdev-wrapper.
  const char* preload = getenv("LD_PRELOAD");
  if (preload == nullptr || strstr(preload, "libumockdev-preload") == nullptr) {
    std::vector<char*> args;
    args.push_back(const_cast<char*>(MZ_UMOCKDEV_WRAPPER));
    for (int i = 0; i < argc; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);
    execv(MZ_UMOCKDEV_WRAPPER, args.data());
    perror("cannot run " MZ_UMOCKDEV_WRAPPER);
    return 1;
  }
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new mzt::BusEnvironment);
  return RUN_ALL_TESTS();
}
