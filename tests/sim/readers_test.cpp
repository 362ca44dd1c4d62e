// Several virtual readers in one process (ZUBSIM_READERS) and the command
// file other processes drive them through (ZUBSIM_CONTROL).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#endif

#include "CH375DLL.h"
#include "command_file.h"
#include "config.h"
#include "firmware.h"
#include "zubsim.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// The process environment itself, as the virtual reader reads it.
void set_env(const char* name, const char* value) {
#if defined(_WIN32)
  SetEnvironmentVariableA(name, value);
#else
  if (value == nullptr) {
    unsetenv(name);
  } else {
    setenv(name, value, 1);
  }
#endif
}

class Readers : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const std::string& name : zubsim::config_variables()) set_env(name.c_str(), nullptr);
    dir_ = fs::path(::testing::TempDir()) /
           ("zubsim_readers_" +
            std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    commands_ = (dir_ / "commands").string();
  }
  void TearDown() override {
    for (uint32_t i = 0; i < 4; ++i) CH375CloseDevice(i);
    for (const std::string& name : zubsim::config_variables()) set_env(name.c_str(), nullptr);
    zubsim_reset();
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  void Append(const std::string& lines) {
    std::ofstream out(commands_, std::ios::app);
    out << lines;
  }

  // The reply to one request on device `index`.
  static Bytes Exchange(uint32_t index, uint8_t command, Bytes data = {}) {
    data.insert(data.begin(), 0x01);  // the lead byte
    uint8_t frame[64];
    uint32_t n = static_cast<uint32_t>(
        zubsim::build_request(command, data.data(), data.size(), frame, sizeof frame));
    if (CH375WriteData(index, frame, &n) == 0) return {};
    Bytes reply(32);
    uint32_t room = 32;
    CH375ReadData(index, reply.data(), &room);
    reply.resize(room);
    return reply;
  }
  // The UID the card in reader `index` gives (empty: no card answered).
  static Bytes Uid(uint32_t index) {
    const Bytes atqa = Exchange(index, 0x11);
    if (atqa.size() < 4 || atqa[3] != 0) return {};
    const Bytes anti = Exchange(index, 0x20);
    Exchange(index, 0xD0);  // back to idle for the next look
    if (anti.size() < 8 || anti[3] != 0) return {};
    return Bytes(anti.begin() + 4, anti.begin() + 8);
  }

  fs::path dir_;
  std::string commands_;
};

TEST_F(Readers, EachIndexHasItsOwnReaderAndCard) {
  set_env("ZUBSIM_READERS", "3");
  set_env("ZUBSIM_DEVICE_INDEX", "1");
  set_env("ZUBSIM_CONTROL", commands_.c_str());
  Append("# set before the readers start\n2 card 4K 11223344\n");
  zubsim_reset();
  EXPECT_EQ(CH375OpenDevice(0), CH375_INVALID_HANDLE);
  EXPECT_EQ(CH375OpenDevice(4), CH375_INVALID_HANDLE);
  for (uint32_t i = 1; i <= 3; ++i) ASSERT_NE(CH375OpenDevice(i), CH375_INVALID_HANDLE) << i;
  EXPECT_EQ(Uid(1), (Bytes{0x1A, 0x7B, 0x8C, 0x54}));
  EXPECT_EQ(Uid(2), (Bytes{0x11, 0x22, 0x33, 0x44}));
  EXPECT_EQ(Uid(3), (Bytes{0x1A, 0x7B, 0x8C, 0x54}));

  // A card taken out of one reader leaves the others alone.
  Append("3 out\n");
  EXPECT_TRUE(Uid(3).empty());
  EXPECT_FALSE(Uid(1).empty());
  Append("3 in\n");
  EXPECT_EQ(Uid(3), (Bytes{0x1A, 0x7B, 0x8C, 0x54}));
  // Writes to one reader's card stay in it: the LED of reader 2 only.
  EXPECT_EQ(Exchange(2, 0xF1, {0x05, 0x01}).size(), 5u);
  EXPECT_EQ(zubsim_led_on(5), 0);  // the control API shows the first reader
  EXPECT_EQ(Exchange(1, 0xF1, {0x05, 0x01}).size(), 5u);
  EXPECT_EQ(zubsim_led_on(5), 1);
}

TEST_F(Readers, EachExchangeTakesTheDelayConfigured) {
  // A lower bound only: a loaded machine takes longer, never shorter.
  set_env("ZUBSIM_EXCHANGE_DELAY", "40");
  set_env("ZUBSIM_READERS", "2");
  zubsim_reset();
  ASSERT_NE(CH375OpenDevice(0), CH375_INVALID_HANDLE);
  ASSERT_NE(CH375OpenDevice(1), CH375_INVALID_HANDLE);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Uid(0), (Bytes{0x1A, 0x7B, 0x8C, 0x54}));  // three exchanges
  EXPECT_EQ(Uid(1), (Bytes{0x1A, 0x7B, 0x8C, 0x54}));  // each reader takes its time
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(6 * 40));
  // A write that reaches no reader is no exchange and takes no time: a host
  // that looks for readers is not slowed down.
  uint8_t frame[4] = {0x03, 0xD0, 0x01, 0xD2};
  uint32_t n = sizeof frame;
  EXPECT_EQ(CH375WriteData(7, frame, &n), 0);
}

TEST_F(Readers, CommandLinesRunOnceAndOnlyWhenWhole) {
  set_env("ZUBSIM_CONTROL", commands_.c_str());
  zubsim_reset();
  ASSERT_NE(CH375OpenDevice(0), CH375_INVALID_HANDLE);
  Append("0 out\n0 in");  // the second line is not finished yet
  EXPECT_TRUE(Uid(0).empty());
  EXPECT_EQ(zubsim_card_in_field(), 0);
  Append("\n");
  EXPECT_EQ(zubsim_card_in_field(), 0);  // runs at the next vendor call, not before
  EXPECT_FALSE(Uid(0).empty());
  // A bad line is reported and skipped; the lines after it run.
  Append("0 eject\n0 card 2K\n0 card 4K CAFEBABE\n");
  EXPECT_EQ(Uid(0), (Bytes{0xCA, 0xFE, 0xBA, 0xBE}));
  char error[256];
  zubsim_last_error(error, sizeof error);
  EXPECT_NE(std::string(error).find("2K"), std::string::npos) << error;
}

TEST(ControlLines, Parse) {
  zubsim::ControlCommand c;
  std::string problem;
  EXPECT_EQ(zubsim::parse_control_line("", &c, &problem), zubsim::LineKind::kSkip);
  EXPECT_EQ(zubsim::parse_control_line("  # note", &c, &problem), zubsim::LineKind::kSkip);
  ASSERT_EQ(zubsim::parse_control_line("1 image /tmp/a b.mfd", &c, &problem),
            zubsim::LineKind::kCommand);
  EXPECT_EQ(c.kind, zubsim::ControlCommand::kImage);
  EXPECT_EQ(c.index, 1);
  EXPECT_EQ(c.path, "/tmp/a b.mfd");
  ASSERT_EQ(zubsim::parse_control_line("0 card 1k", &c, &problem), zubsim::LineKind::kCommand);
  EXPECT_FALSE(c.has_uid);
  ASSERT_EQ(zubsim::parse_control_line("0 fault torn-write 4 2", &c, &problem),
            zubsim::LineKind::kCommand);
  EXPECT_EQ(c.kind, zubsim::ControlCommand::kFault);
  EXPECT_EQ(c.fault_kind, ZUBSIM_FAULT_TORN_WRITE);
  EXPECT_EQ(c.fault_arg, 4);
  EXPECT_EQ(c.fault_count, 2u);
  ASSERT_EQ(zubsim::parse_control_line("0 fault 1", &c, &problem), zubsim::LineKind::kCommand);
  EXPECT_EQ(c.fault_kind, ZUBSIM_FAULT_NO_REPLY);
  EXPECT_EQ(c.fault_arg, -1);
  EXPECT_EQ(c.fault_count, 1u);
  // Any white space parts the words; the path keeps its inner spaces only.
  ASSERT_EQ(zubsim::parse_control_line("\t2\timage \t /tmp/c  d.mfd \t\r", &c, &problem),
            zubsim::LineKind::kCommand);
  EXPECT_EQ(c.index, 2);
  EXPECT_EQ(c.path, "/tmp/c  d.mfd");
  ASSERT_EQ(zubsim::parse_control_line("3  card\t4K  cafebabe ", &c, &problem),
            zubsim::LineKind::kCommand);
  EXPECT_EQ(c.type, zubsim::CardType::k4K);
  EXPECT_TRUE(c.has_uid);
  EXPECT_EQ(c.uid[0], 0xCA);
  EXPECT_EQ(c.uid[3], 0xBE);
  ASSERT_EQ(zubsim::parse_control_line("0 fault torn-write +7 10000 ", &c, &problem),
            zubsim::LineKind::kCommand);
  EXPECT_EQ(c.fault_arg, 7);
  EXPECT_EQ(c.fault_count, 10000u);
  // ARG and COUNT are whole numbers: no trailing text, no number glued to
  // the next, nothing out of range.
  for (const char* bad : {"x out",
                          "256 out",
                          "0 out now",
                          "0 card 4K 1122",
                          "0 card 4K 11223344 5",
                          "0 card 4K GG223344",
                          "0 image",
                          "0",
                          "0 fault",
                          "0 fault torn",
                          "0 fault 99",
                          "0 fault torn-write x",
                          "0 fault torn-write 4 0",
                          "0 fault torn-write 256",
                          "0 fault no-reply -1 1 extra",
                          "0 fault torn-write 4x",
                          "0 fault torn-write 1+3",
                          "0 fault torn-write 4 2x",
                          "0 fault torn-write 4 10001",
                          "0 fault torn-write 99999999999999999999",
                          "0 fault torn-write -2",
                          "0 fault torn-write 0x10"}) {
    EXPECT_EQ(zubsim::parse_control_line(bad, &c, &problem), zubsim::LineKind::kProblem) << bad;
  }
}

// A fault line from another process reaches the reader at the next call.
TEST_F(Readers, FaultLinesQueueFaults) {
  set_env("ZUBSIM_CONTROL", commands_.c_str());
  zubsim_reset();
  ASSERT_NE(CH375OpenDevice(0), CH375_INVALID_HANDLE);
  Append("0 fault no-reply -1 2\n");
  EXPECT_TRUE(Uid(0).empty());              // the request's reply is lost
  EXPECT_TRUE(Exchange(0, 0xD0).empty());   // and the halt's
  EXPECT_EQ(Exchange(0, 0xD0).size(), 5u);  // the faults are used up
  EXPECT_NE(zubsim::Sim::trace().find("2 no-reply faults queued"), std::string::npos);
}

TEST(ReadersConfig, CountAndRange) {
  auto read = [](const char* readers, const char* index) {
    return zubsim::read_config([&](const char* name) -> std::string {
      if (std::string(name) == "ZUBSIM_READERS") return readers;
      if (std::string(name) == "ZUBSIM_DEVICE_INDEX") return index;
      return "";
    });
  };
  EXPECT_EQ(read("2", "").readers, 2);
  EXPECT_EQ(read("8", "248").readers, 8);
  EXPECT_EQ(read("9", "").readers, 1);
  EXPECT_EQ(read("0", "").readers, 1);
  EXPECT_EQ(read("2x", "").readers, 1);
  EXPECT_EQ(read("3", "254").readers, 1);
  EXPECT_FALSE(read("3", "254").messages.empty());
}

}  // namespace
