// The reader signals: beeper, LEDs and the relay.
#include <chrono>

#include "fixture.h"

namespace mzt {
namespace {

using Signals = ExportTest;

TEST_F(Signals, FramesAndResults) {
  struct Case {
    const char* name;
    int32_t (*call)();
    const char* frame;
  } cases[] = {
      {"beep on", [] { return zub_beep(1); }, "04 F3 01 01 F7"},
      {"beep off", [] { return zub_beep(0); }, "04 F3 01 00 F6"},
      {"beep 2 is off", [] { return zub_beep(2); }, "04 F3 01 00 F6"},
      {"beep -1 is off", [] { return zub_beep(-1); }, "04 F3 01 00 F6"},
      {"led 2 on", [] { return zub_LED(2, 1); }, "05 F1 01 02 01 F6"},
      {"led 2 off", [] { return zub_LED(2, 7); }, "05 F1 01 02 00 F7"},
      {"level 127", [] { return zub_LEDx(127); }, "04 F6 01 7F 8C"},
      {"level 0", [] { return zub_LEDx(0); }, "04 F6 01 00 F3"},
      {"level 255", [] { return zub_LEDx(255); }, "04 F6 01 FF 0C"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    dbl_reset();
    EXPECT_EQ(c.call(), -1);
    EXPECT_EQ(dbl_event_count(), 0u);
    Open();
    const std::string command = std::string(c.frame).substr(3, 2);
    // The reader's status is not read: a nonzero one still means success.
    ReplyChecked("04 " + command + " 01 0A");
    EXPECT_EQ(c.call(), 0);
    EXPECT_EQ(Frames(), std::vector<std::string>{c.frame});
    // A reply too short to hold a status is still a completed exchange.
    ReplyChecked("02 " + command);
    EXPECT_EQ(c.call(), 0);
    EXPECT_EQ(c.call(), -2);  // no reply
    CloseComm();
  }
}

TEST_F(Signals, LedLevelRefusesOtherLevelsBeforeAnything) {
  for (int32_t level : {1, 126, 128, 254, 256, -1}) {
    SCOPED_TRACE(level);
    EXPECT_EQ(zub_LEDx(level), 1);
    Open();
    EXPECT_EQ(zub_LEDx(level), 1);
    EXPECT_EQ(dbl_event_count(), 0u);
    CloseComm();
  }
}

TEST_F(Signals, LedNumbersOutsideAByteAreRefused) {
  EXPECT_EQ(zub_LED(256, 1), -1);
  Open();
  EXPECT_EQ(zub_LED(256, 1), -2);
  EXPECT_EQ(zub_LED(-1, 1), -2);
  EXPECT_EQ(dbl_event_count(), 0u);
}

TEST_F(Signals, RelayAlwaysSucceedsAndSendsNothing) {
  EXPECT_EQ(mif_CtrlRelay(1, 1), 0);
  Open();
  EXPECT_EQ(mif_CtrlRelay(-7, 3), 0);
  EXPECT_EQ(dbl_event_count(), 0u);
}

double MillisecondsOf(int32_t ms) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(zub_beepms(ms), 0);
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

TEST_F(Signals, BeepForAGivenTimeSendsOnWaitsThenOff) {
  Open();
  ReplyChecked("04 F3 01 00");
  ReplyChecked("04 F3 01 00");
  EXPECT_GE(MillisecondsOf(120), 120.0);
  EXPECT_EQ(Frames(), (std::vector<std::string>{"04 F3 01 01 F7", "04 F3 01 00 F6"}));
}

TEST_F(Signals, BeepForAGivenTimeWaitsEvenWithoutALink) {
  EXPECT_GE(MillisecondsOf(60), 60.0);
  EXPECT_EQ(dbl_event_count(), 0u);
}

TEST_F(Signals, BeepForNoTimeOrNegativeTimeDoesNotWait) {
  for (int32_t ms : {0, -1, -2147483647 - 1}) {
    SCOPED_TRACE(ms);
    Open();
    EXPECT_LT(MillisecondsOf(ms), 50.0);
    EXPECT_EQ(Frames(), (std::vector<std::string>{"04 F3 01 01 F7", "04 F3 01 00 F6"}));
  }
}

}  // namespace
}  // namespace mzt
