// The virtual reader as a host sees it: the seven vendor calls of the shared
// library, its configuration, card images, the trace and injected faults.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#endif

#include "CH375DLL.h"
#include "config.h"
#include "firmware.h"
#include "zubsim.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using zubsim::Sim;

void set_env(const char* name, const std::string& value) {
#if defined(_WIN32)
  SetEnvironmentVariableA(name, value.empty() ? nullptr : value.c_str());
#else
  if (value.empty()) {
    unsetenv(name);
  } else {
    setenv(name, value.c_str(), 1);
  }
#endif
}

Bytes read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void write_file(const fs::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

uint8_t xor_all(const Bytes& b) {
  return zubsim::xor_of(b.data(), b.size());
}

class Device : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const std::string& name : zubsim::config_variables()) set_env(name.c_str(), "");
    Sim::reset();
    dir_ =
        fs::path(::testing::TempDir()) /
        ("zubsim_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    CH375CloseDevice(0);
    for (const std::string& name : zubsim::config_variables()) set_env(name.c_str(), "");
    Sim::reset();
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  static void open() { ASSERT_NE(CH375OpenDevice(0), CH375_INVALID_HANDLE); }

  static void write(uint8_t command, const Bytes& data) {
    uint8_t frame[64];
    uint32_t n = static_cast<uint32_t>(
        zubsim::build_request(command, data.data(), data.size(), frame, sizeof frame));
    ASSERT_NE(CH375WriteData(0, frame, &n), 0);
  }
  static Bytes read(uint32_t room = 32) {
    Bytes buffer(room);
    uint32_t n = room;
    CH375ReadData(0, buffer.data(), &n);
    buffer.resize(n);
    return buffer;
  }
  static Bytes exchange(uint8_t command, const Bytes& data) {
    write(command, data);
    return read();
  }
  static uint8_t status(uint8_t command, const Bytes& data) {
    const Bytes reply = exchange(command, data);
    return reply.size() > 3 ? reply[3] : 0xEE;
  }

  fs::path dir_;
};

TEST_F(Device, OpensOnlyAtItsIndex) {
  EXPECT_EQ(CH375OpenDevice(1), CH375_INVALID_HANDLE);
  EXPECT_EQ(CH375ResetDevice(0), 0);  // not open
  ASSERT_NE(CH375OpenDevice(0), CH375_INVALID_HANDLE);
  EXPECT_TRUE(Sim::device_open());
  EXPECT_NE(CH375ResetDevice(0), 0);
  EXPECT_NE(CH375SetBufUpload(0, 0), 0);
  EXPECT_NE(CH375SetTimeout(0, 100, 100), 0);
  CH375CloseDevice(0);
  CH375CloseDevice(0);  // harmless when closed
  EXPECT_FALSE(Sim::device_open());
  uint32_t n = 4;
  uint8_t halt[4] = {0x03, 0xD0, 0x01, 0xD2};
  EXPECT_EQ(CH375WriteData(0, halt, &n), 0);

  Sim::set_device_index(-1);  // unplugged
  EXPECT_EQ(CH375OpenDevice(0), CH375_INVALID_HANDLE);
  Sim::set_device_index(3);
  EXPECT_NE(CH375OpenDevice(3), CH375_INVALID_HANDLE);
  CH375CloseDevice(3);
}

TEST_F(Device, OneReplyPerRequestAndNothingAfterIt) {
  open();
  CH375SetTimeout(0, 100, 100);
  write(zubsim::cmd::kHalt, {0x01});
  EXPECT_EQ(read(), (Bytes{0x04, 0xD0, 0x01, 0x01, 0xD4}));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(read().empty());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
  // A read with less room gets the start of the reply.
  write(zubsim::cmd::kHalt, {0x01});
  EXPECT_EQ(read(3), (Bytes{0x04, 0xD0, 0x01}));
  EXPECT_TRUE(read().empty());
}

TEST_F(Device, HonoursTheReadTimeoutWhenAsked) {
  open();
  Sim::honour_timeout(true);
  CH375SetTimeout(0, 100, 100);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(read().empty());
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(90));
}

TEST_F(Device, ExchangeFaults) {
  struct Case {
    const char* name;
    int kind, arg;
    bool beeper;  // whether the reader ran the beep command
    Bytes reply;  // what arrives (empty: nothing)
  } cases[] = {
      {"no reply", ZUBSIM_FAULT_NO_REPLY, -1, true, {}},
      {"lost request", ZUBSIM_FAULT_LOST_REQUEST, -1, false, {}},
      {"bad check", ZUBSIM_FAULT_BAD_CHECK, -1, true, {0x04, 0xF3, 0x01, 0x00, 0xF7}},
      {"other command", ZUBSIM_FAULT_OTHER_COMMAND, 0x20, true, {0x04, 0x20, 0x01, 0x00, 0x25}},
      {"next command", ZUBSIM_FAULT_OTHER_COMMAND, -1, true, {0x04, 0xF4, 0x01, 0x00, 0xF1}},
      {"echo zero", ZUBSIM_FAULT_OTHER_COMMAND, 0, true, {0x04, 0x00, 0x01, 0x00, 0x05}},
      {"truncated to 2", ZUBSIM_FAULT_TRUNCATED, 2, true, {0x04, 0xF3}},
      {"truncated", ZUBSIM_FAULT_TRUNCATED, -1, true, {0x04, 0xF3, 0x01, 0x00}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Sim::reset();
    open();
    Sim::fault_exchange(c.kind, c.arg, 1);
    EXPECT_EQ(exchange(zubsim::cmd::kBeep, {0x01, 0x01}), c.reply);
    EXPECT_EQ(Sim::beeper_on(), c.beeper);
    // The next exchange is clean again.
    EXPECT_EQ(exchange(zubsim::cmd::kBeep, {0x01, 0x00}), (Bytes{0x04, 0xF3, 0x01, 0x00, 0xF6}));
    CH375CloseDevice(0);
  }
}

// A late reply is the one a real reader sends after the host's read gave up:
// the command ran, the read that waited for it finds nothing, and the reply
// is what the next read gets, whatever was asked in between.
TEST_F(Device, LateReplyComesWithTheNextRead) {
  const Bytes halted = {0x04, 0xD0, 0x01, 0x01, 0xD4};  // no card selected: status 1
  const Bytes beeped = {0x04, 0xF3, 0x01, 0x00, 0xF6};
  open();
  Sim::fault_exchange(ZUBSIM_FAULT_LATE_REPLY);
  write(zubsim::cmd::kBeep, {0x01, 0x01});
  EXPECT_TRUE(Sim::beeper_on());  // the command ran
  uint8_t buffer[32];
  uint32_t n = sizeof buffer;
  EXPECT_EQ(CH375ReadData(0, buffer, &n), 0);
  EXPECT_EQ(n, 0u);
  // The next exchange reads the late reply, not its own; its own waits.
  EXPECT_EQ(exchange(zubsim::cmd::kHalt, {0x01}), beeped);
  EXPECT_EQ(read(), halted);
  EXPECT_TRUE(read().empty());

  // Read again at once, it is there.
  Sim::fault_exchange(ZUBSIM_FAULT_LATE_REPLY);
  write(zubsim::cmd::kHalt, {0x01});
  EXPECT_TRUE(read().empty());
  EXPECT_EQ(read(), halted);
  EXPECT_TRUE(read().empty());
  const std::vector<std::string> lines = Sim::trace_lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "## read: no reply yet, the late reply waits for the next read"),
            lines.end());

  // Two late replies in a row: the second exchange gets the first reply, and
  // the second reply, late for that read, is there for the next one.
  Sim::fault_exchange(ZUBSIM_FAULT_LATE_REPLY, -1, 2);
  EXPECT_TRUE(exchange(zubsim::cmd::kBeep, {0x01, 0x00}).empty());
  EXPECT_EQ(exchange(zubsim::cmd::kHalt, {0x01}), beeped);
  EXPECT_EQ(read(), halted);
  EXPECT_TRUE(read().empty());

  // Two requests written before a read: the late one holds back the read,
  // then both come in order.
  Sim::fault_exchange(ZUBSIM_FAULT_LATE_REPLY);
  write(zubsim::cmd::kHalt, {0x01});
  write(zubsim::cmd::kBeep, {0x01, 0x00});
  EXPECT_TRUE(read().empty());
  EXPECT_EQ(read(), halted);
  EXPECT_EQ(read(), beeped);
}

TEST_F(Device, AReadThatFailsUntouchedLeavesTheReplyForTheNext) {
  const Bytes halted = {0x04, 0xD0, 0x01, 0x01, 0xD4};
  for (int arg : {0, 1}) {
    SCOPED_TRACE(arg);
    open();
    Sim::fault_exchange(ZUBSIM_FAULT_READ_UNTOUCHED, arg);
    write(zubsim::cmd::kHalt, {0x01});
    uint8_t buffer[32];
    memset(buffer, 0xAA, sizeof buffer);
    uint32_t n = 17;
    EXPECT_EQ(CH375ReadData(0, buffer, &n), arg == 0 ? 0 : 1);
    EXPECT_EQ(n, 17u);           // the count as it was
    EXPECT_EQ(buffer[0], 0xAA);  // and the buffer
    EXPECT_EQ(read(), halted);
    EXPECT_TRUE(read().empty());
  }
}

TEST_F(Device, LateReplyTakesTheTimeoutWhenHonoured) {
  open();
  Sim::honour_timeout(true);
  CH375SetTimeout(0, 100, 100);
  Sim::fault_exchange(ZUBSIM_FAULT_LATE_REPLY);
  write(zubsim::cmd::kHalt, {0x01});
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(read().empty());
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(90));
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(read(), (Bytes{0x04, 0xD0, 0x01, 0x01, 0xD4}));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
}

TEST_F(Device, LateReplyIsGoneAfterAResetOrAnOpen) {
  for (bool reopen : {false, true}) {
    SCOPED_TRACE(reopen ? "open" : "reset");
    open();
    Sim::fault_exchange(ZUBSIM_FAULT_LATE_REPLY);
    write(zubsim::cmd::kHalt, {0x01});
    EXPECT_TRUE(read().empty());
    if (reopen) {
      open();
    } else {
      EXPECT_NE(CH375ResetDevice(0), 0);
    }
    EXPECT_TRUE(read().empty());
  }
}

TEST_F(Device, UnknownFaultKindsAndCallsAreIgnored) {
  open();
  for (int kind : {0, -1, ZUBSIM_FAULT_STATUS + 1, 1000}) Sim::fault_exchange(kind, -1, 3);
  for (int call : {0, ZUBSIM_CALL_READ + 1}) Sim::fault_call(call, 3);
  EXPECT_EQ(exchange(zubsim::cmd::kHalt, {0x01}), (Bytes{0x04, 0xD0, 0x01, 0x01, 0xD4}));
  EXPECT_EQ(Sim::trace().find("fault"), std::string::npos);
}

TEST_F(Device, FaultsQueueUpForTheNextExchanges) {
  open();
  Sim::fault_exchange(ZUBSIM_FAULT_NO_REPLY, -1, 2);
  Sim::fault_exchange(ZUBSIM_FAULT_BAD_CHECK);
  EXPECT_TRUE(exchange(zubsim::cmd::kHalt, {0x01}).empty());
  EXPECT_TRUE(exchange(zubsim::cmd::kHalt, {0x01}).empty());
  EXPECT_NE(xor_all(exchange(zubsim::cmd::kHalt, {0x01})), 0);
  EXPECT_EQ(xor_all(exchange(zubsim::cmd::kHalt, {0x01})), 0);
  Sim::fault_exchange(ZUBSIM_FAULT_NO_REPLY, -1, 5);
  Sim::clear_faults();
  EXPECT_FALSE(exchange(zubsim::cmd::kHalt, {0x01}).empty());
}

#if !defined(_WIN32)
// Natively a processor fault is a C++ exception out of the vendor call; on
// Windows it is an access violation, which only a host that catches
// structured exceptions survives, so it is not tried here.
TEST_F(Device, ProcessorFaultInsideEachVendorCall) {
  uint32_t n = 0;
  uint8_t buffer[32] = {0x03, 0xD0, 0x01, 0xD2};
  struct Case {
    int call;
    void (*invoke)(uint8_t*, uint32_t*);
  } cases[] = {
      {ZUBSIM_CALL_OPEN, [](uint8_t*, uint32_t*) { CH375OpenDevice(0); }},
      {ZUBSIM_CALL_CLOSE, [](uint8_t*, uint32_t*) { CH375CloseDevice(0); }},
      {ZUBSIM_CALL_RESET, [](uint8_t*, uint32_t*) { CH375ResetDevice(0); }},
      {ZUBSIM_CALL_SET_BUF_UPLOAD, [](uint8_t*, uint32_t*) { CH375SetBufUpload(0, 0); }},
      {ZUBSIM_CALL_SET_TIMEOUT, [](uint8_t*, uint32_t*) { CH375SetTimeout(0, 100, 100); }},
      {ZUBSIM_CALL_WRITE,
       [](uint8_t* b, uint32_t* len) {
         *len = 4;
         CH375WriteData(0, b, len);
       }},
      {ZUBSIM_CALL_READ,
       [](uint8_t* b, uint32_t* len) {
         *len = 32;
         CH375ReadData(0, b, len);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.call);
    open();
    Sim::fault_call(c.call);
    EXPECT_THROW(c.invoke(buffer, &n), std::runtime_error);
    // Used up: the same call works again, the reader is still usable.
    open();
    EXPECT_NO_THROW(c.invoke(buffer, &n));
    CH375CloseDevice(0);
  }
}

TEST_F(Device, AFaultyReadLosesTheReply) {
  open();
  write(zubsim::cmd::kHalt, {0x01});
  Sim::fault_call(ZUBSIM_CALL_READ);
  EXPECT_THROW(read(), std::runtime_error);
  EXPECT_TRUE(read().empty());
  EXPECT_EQ(exchange(zubsim::cmd::kHalt, {0x01}), (Bytes{0x04, 0xD0, 0x01, 0x01, 0xD4}));
}
#endif

TEST_F(Device, TraceShowsFramesDecoded) {
  const fs::path file = dir_ / "trace.txt";
  set_env("ZUBSIM_TRACE", file.string());
  Sim::reset();
  open();
  write(zubsim::cmd::kRead, {0x01, 0x04});
  read();
  read();
  const std::vector<std::string> lines = Sim::trace_lines();
  const std::vector<std::string> expected = {
      "## open device 0",
      "-> 04 50 01 04 51  read block 4",
      "<- 04 50 01 01 54  status 1: no card, or none selected or authenticated",
      "## read: no reply",
  };
  ASSERT_GE(lines.size(), expected.size());
  EXPECT_EQ(std::vector<std::string>(lines.end() - 4, lines.end()), expected);
  // The file holds the same lines.
  const Bytes text = read_file(file);
  std::string content(text.begin(), text.end());
  // A Windows text file ends its lines with CR LF.
  content.erase(std::remove(content.begin(), content.end(), '\r'), content.end());
  for (const std::string& line : expected)
    EXPECT_NE(content.find(line + "\n"), std::string::npos) << line;
  Sim::clear_trace();
  EXPECT_TRUE(Sim::trace().empty());
}

// "off" keeps the trace in memory, prints no warning and creates no file of
// that name; the warning is still there for zubsim_last_error.
TEST_F(Device, TraceOffIsQuietButRemembers) {
  const fs::path here = fs::current_path();
  fs::current_path(dir_);
  set_env("ZUBSIM_TRACE", "off");
  set_env("ZUBSIM_CARD", "2K");
  ::testing::internal::CaptureStderr();
  Sim::reset();
  open();
  write(zubsim::cmd::kHalt, {0x01});
  read();
  const std::string printed = ::testing::internal::GetCapturedStderr();
  fs::current_path(here);
  EXPECT_EQ(printed, "");
  EXPECT_FALSE(fs::exists(dir_ / "off"));
  EXPECT_NE(Sim::last_error().find("ZUBSIM_CARD"), std::string::npos) << Sim::last_error();
  const std::vector<std::string> lines = Sim::trace_lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back().rfind("<- 04 D0 01", 0), 0u) << lines.back();
}

// A torn write waits for a write (or transfer) into its block, lets the
// exchanges before it through untouched, answers done and keeps nothing.
TEST_F(Device, TornWriteIsAcknowledgedButNotKept) {
  open();
  ASSERT_EQ(status(zubsim::cmd::kRequestAll, {0x01}), 0);
  ASSERT_EQ(status(zubsim::cmd::kSelect, {0x01, 0x1A, 0x7B, 0x8C, 0x54}), 0);
  ASSERT_EQ(status(zubsim::cmd::kLoadKey, {0x01, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), 0);
  ASSERT_EQ(status(zubsim::cmd::kAuthenticate, {0x01, 0, 0, 4}), 0);
  auto write_block = [&](uint8_t block, uint8_t fill) {
    Bytes data = {0x01, block};
    data.resize(18, fill);
    return status(zubsim::cmd::kWrite, data);
  };
  auto block_byte = [](size_t block) { return Sim::card_image()[block * 16]; };
  Sim::fault_exchange(ZUBSIM_FAULT_TORN_WRITE, 5);  // waits for block 5
  Sim::fault_exchange(ZUBSIM_FAULT_NO_REPLY);       // and holds back the fault after it
  EXPECT_EQ(write_block(4, 0x11), 0);
  EXPECT_EQ(block_byte(4), 0x11);
  EXPECT_EQ(status(zubsim::cmd::kRead, {0x01, 4}), 0);
  EXPECT_EQ(write_block(5, 0x22), 0);  // acknowledged
  EXPECT_EQ(block_byte(5), 0x00);      // not kept
  EXPECT_EQ(Sim::card_state(), ZUBSIM_STATE_AUTHENTICATED);
  EXPECT_TRUE(exchange(zubsim::cmd::kRead, {0x01, 5}).empty());  // the next fault's turn
  EXPECT_EQ(write_block(5, 0x33), 0);
  EXPECT_EQ(block_byte(5), 0x33);
  EXPECT_NE(Sim::trace().find("torn write: the card answers done, block 5 keeps its old bytes"),
            std::string::npos);

  // Any block (-1), and a transfer as well as a write.
  ASSERT_EQ(status(zubsim::cmd::kWrite,
                   [] {
                     Bytes v = {0x01, 6,  10, 0, 0, 0, 0xF5, 0xFF, 0xFF,
                                0xFF, 10, 0,  0, 0, 6, 0xF9, 6,    0xF9};
                     return v;
                   }()),
            0);
  Sim::fault_exchange(ZUBSIM_FAULT_TORN_WRITE);
  ASSERT_EQ(status(zubsim::cmd::kIncrement, {0x01, 6, 5, 0, 0, 0}), 0);
  EXPECT_EQ(status(zubsim::cmd::kTransfer, {0x01, 6}), 0);
  EXPECT_EQ(block_byte(6), 10);
}

TEST_F(Device, ImageSavedAndLoadedBackUnchanged) {
  open();
  ASSERT_EQ(status(zubsim::cmd::kRequestAll, {0x01}), 0);
  ASSERT_EQ(status(zubsim::cmd::kSelect, {0x01, 0x1A, 0x7B, 0x8C, 0x54}), 0);
  ASSERT_EQ(status(zubsim::cmd::kLoadKey, {0x01, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), 0);
  ASSERT_EQ(status(zubsim::cmd::kAuthenticate, {0x01, 0, 0, 4}), 0);
  Bytes write_data = {0x01, 0x04};
  for (uint8_t i = 0; i < 16; ++i) write_data.push_back(static_cast<uint8_t>(0xA0 + i));
  ASSERT_EQ(status(zubsim::cmd::kWrite, write_data), 0);

  const Bytes card = Sim::card_image();
  ASSERT_EQ(card.size(), 1024u);
  EXPECT_EQ(card[4 * 16 + 15], 0xAF);
  const fs::path file = dir_ / "card.mfd";
  write_file(file, Bytes(1024, 0x55));  // an older image, replaced
  ASSERT_TRUE(Sim::save_image(file.string()));
  EXPECT_EQ(read_file(file), card);
  EXPECT_FALSE(fs::exists(file.string() + ".new"));

  ASSERT_TRUE(Sim::new_card(ZUBSIM_CARD_4K));
  EXPECT_EQ(Sim::card_image().size(), 4096u);
  ASSERT_TRUE(Sim::load_image(file.string()));
  EXPECT_EQ(Sim::card_image(), card);
  EXPECT_EQ(Sim::card_state(), ZUBSIM_STATE_IDLE);
}

TEST_F(Device, FailedSaveKeepsWhatWasThere) {
  // The target is a directory: the new file cannot replace it.
  const fs::path target = dir_ / "occupied";
  fs::create_directories(target);
  EXPECT_FALSE(Sim::save_image(target.string()));
  EXPECT_TRUE(fs::is_directory(target));
  EXPECT_FALSE(fs::exists(target.string() + ".new"));
  EXPECT_NE(Sim::last_error().find("occupied"), std::string::npos);
  // No card, nothing to save.
  Sim::insert_image({});
  EXPECT_FALSE(Sim::save_image((dir_ / "none.mfd").string()));
  EXPECT_FALSE(fs::exists(dir_ / "none.mfd"));
}

// A save cut short at any point (a crash, a full disk) leaves the old image
// whole; the next complete save replaces it whole.
TEST_F(Device, InterruptedSaveLeavesTheOldImageWhole) {
  const fs::path path = dir_ / "card.mfd";
  ASSERT_TRUE(Sim::save_image(path.string()));
  const Bytes before = read_file(path);
  ASSERT_EQ(before.size(), 1024u);

  open();
  ASSERT_EQ(status(zubsim::cmd::kRequestAll, {0x01}), 0);
  Sim::take_out_card();  // change the card: another UID, so block 0 differs
  ASSERT_TRUE(Sim::new_card(ZUBSIM_CARD_1K, {0x01, 0x02, 0x03, 0x04}));
  const std::vector<unsigned char> after = Sim::card_image();
  ASSERT_NE(Bytes(after.begin(), after.end()), before);

  for (long cut : {0L, 1L, 16L, 512L, 1023L, 1024L, 5000L}) {
    SCOPED_TRACE(cut);
    Sim::interrupt_next_save(cut);
    EXPECT_FALSE(Sim::save_image(path.string()));
    EXPECT_EQ(read_file(path), before);
  }
  ASSERT_TRUE(Sim::save_image(path.string()));
  EXPECT_EQ(read_file(path), Bytes(after.begin(), after.end()));
  EXPECT_FALSE(fs::exists(path.string() + ".new"));  // the remains were replaced
  ASSERT_TRUE(Sim::load_image(path.string()));
  EXPECT_EQ(Sim::card_image(), after);
}

TEST_F(Device, BadImagesLeaveTheReaderWithoutACard) {
  write_file(dir_ / "short.mfd", Bytes(1000, 0));
  write_file(dir_ / "empty.mfd", {});
  const fs::path paths[] = {dir_ / "missing.mfd", dir_ / "short.mfd", dir_ / "empty.mfd", dir_};
  for (const fs::path& path : paths) {
    SCOPED_TRACE(path.string());
    Sim::reset();
    EXPECT_TRUE(Sim::card_in_field());
    EXPECT_FALSE(Sim::load_image(path.string()));
    EXPECT_NE(Sim::last_error().find(path.string()), std::string::npos);
    EXPECT_EQ(Sim::card_state(), -1);
    open();
    EXPECT_EQ(status(zubsim::cmd::kRequestAll, {0x01}), 1);
    CH375CloseDevice(0);
  }
  // Through the configuration, too.
  set_env("ZUBSIM_IMAGE", (dir_ / "short.mfd").string());
  Sim::reset();
  EXPECT_FALSE(Sim::card_in_field());
  EXPECT_NE(Sim::trace().find("1000 bytes"), std::string::npos);
}

TEST_F(Device, ConfigurationFromTheEnvironment) {
  set_env("ZUBSIM_CARD", "4k");
  set_env("ZUBSIM_UID", "01:02:03:04");
  set_env("ZUBSIM_DEVICE_INDEX", "2");
  Sim::reset();
  Bytes card = Sim::card_image();
  ASSERT_EQ(card.size(), 4096u);
  EXPECT_EQ(Bytes(card.begin(), card.begin() + 5), (Bytes{1, 2, 3, 4, 4}));
  EXPECT_EQ(CH375OpenDevice(0), CH375_INVALID_HANDLE);
  EXPECT_NE(CH375OpenDevice(2), CH375_INVALID_HANDLE);
  CH375CloseDevice(2);

  set_env("ZUBSIM_CARD_PRESENT", "no");
  Sim::reset();
  EXPECT_FALSE(Sim::card_in_field());
  EXPECT_TRUE(Sim::put_back_card());
  EXPECT_TRUE(Sim::card_in_field());

  // Values that make no sense fall back to the defaults, with a message.
  set_env("ZUBSIM_CARD", "2K");
  set_env("ZUBSIM_UID", "123");
  set_env("ZUBSIM_CARD_PRESENT", "");
  set_env("ZUBSIM_DEVICE_INDEX", "");
  Sim::reset();
  card = Sim::card_image();
  ASSERT_EQ(card.size(), 1024u);
  EXPECT_EQ(Bytes(card.begin(), card.begin() + 4), (Bytes{0x1A, 0x7B, 0x8C, 0x54}));
  EXPECT_NE(Sim::trace().find("ZUBSIM_CARD: '2k'"), std::string::npos);
  EXPECT_NE(Sim::trace().find("ZUBSIM_UID: '123'"), std::string::npos);
}

TEST_F(Device, SavesTheImageBackOnClose) {
  const fs::path file = dir_ / "card.mfd";
  ASSERT_TRUE(Sim::new_card(ZUBSIM_CARD_1K));
  ASSERT_TRUE(Sim::save_image(file.string()));
  set_env("ZUBSIM_IMAGE", file.string());
  set_env("ZUBSIM_SAVE_ON_CLOSE", "1");
  Sim::reset();
  open();
  ASSERT_EQ(status(zubsim::cmd::kRequestAll, {0x01}), 0);
  ASSERT_EQ(status(zubsim::cmd::kSelect, {0x01, 0x1A, 0x7B, 0x8C, 0x54}), 0);
  ASSERT_EQ(status(zubsim::cmd::kLoadKey, {0x01, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), 0);
  ASSERT_EQ(status(zubsim::cmd::kAuthenticate, {0x01, 0, 0, 1}), 0);
  Bytes write_data(18, 0x77);
  write_data[0] = 0x01;
  write_data[1] = 0x02;
  ASSERT_EQ(status(zubsim::cmd::kWrite, write_data), 0);
  EXPECT_EQ(read_file(file)[2 * 16], 0x00);  // not before the close
  CH375CloseDevice(0);
  EXPECT_EQ(read_file(file)[2 * 16], 0x77);
}

TEST_F(Device, CardOutAndBackIsIdle) {
  open();
  ASSERT_EQ(status(zubsim::cmd::kRequestIdle, {0x01}), 0);
  ASSERT_EQ(status(zubsim::cmd::kSelect, {0x01, 0x1A, 0x7B, 0x8C, 0x54}), 0);
  EXPECT_EQ(Sim::card_state(), ZUBSIM_STATE_ACTIVE);
  Sim::take_out_card();
  EXPECT_EQ(status(zubsim::cmd::kHalt, {0x01}), 1);
  ASSERT_TRUE(Sim::put_back_card());
  EXPECT_EQ(Sim::card_state(), ZUBSIM_STATE_IDLE);
  EXPECT_EQ(status(zubsim::cmd::kSelect, {0x01, 0x1A, 0x7B, 0x8C, 0x54}), 1);
  EXPECT_EQ(status(zubsim::cmd::kRequestIdle, {0x01}), 0);
}

TEST_F(Device, ReaderStateThroughTheControlApi) {
  open();
  exchange(zubsim::cmd::kBeep, {0x01, 0x01});
  exchange(zubsim::cmd::kLed, {0x01, 0x03, 0x01});
  exchange(zubsim::cmd::kLedLevel, {0x01, 0xFF});
  exchange(zubsim::cmd::kLoadKey, {0x01, 0x01, 0x07, 1, 2, 3, 4, 5, 6});
  EXPECT_TRUE(Sim::beeper_on());
  EXPECT_EQ(Sim::beep_count(), 1u);
  EXPECT_TRUE(Sim::led_on(3));
  EXPECT_FALSE(Sim::led_on(-1));
  EXPECT_EQ(Sim::led_level(), 255);
  EXPECT_EQ(Sim::stored_key(1, 7), (Sim::KeyBytes{1, 2, 3, 4, 5, 6}));
  EXPECT_FALSE(Sim::stored_key(0, 7).has_value());
  // A reset forgets the reader's state.
  Sim::reset();
  EXPECT_FALSE(Sim::beeper_on());
  EXPECT_FALSE(Sim::stored_key(1, 7).has_value());
  EXPECT_FALSE(Sim::device_open());
}

}  // namespace
