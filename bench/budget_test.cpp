// What a command may cost the host besides its USB round trip: no heap
// allocation once the link is open, exactly one vendor write and one read per
// exchange, and no waiting but the timed beep's. Run against the instant
// reader (instant_reader.h), with the process's allocations and sleeps counted by hooks.cpp.
#include <cstdlib>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "MifareZUB.h"
#include "hooks.h"
#include "instant_reader.h"

namespace {

char textBuffer[64];
char* text = textBuffer;
int32_t number = 0;

struct Command {
  const char* name;
  std::function<int32_t()> call;
  int32_t result;  // against a reader that answers with status 0
  int exchanges;   // request frames it sends
};

// Every export but OpenComm and CloseComm.
std::vector<Command> Commands() {
  return {
      {"mif_Request", [] { return mif_Request(1, &number); }, 0, 1},
      {"mif_Anticollision", [] { return mif_Anticollision(&text); }, 0, 1},
      {"mif_Select", [] { return mif_Select("8A3F21C45E", &number); }, 0, 1},
      {"mif_LoadKey", [] { return mif_LoadKey(0, 0, "FFFFFFFFFFFF"); }, 0, 1},
      {"mif_Authentication", [] { return mif_Authentication(0, 0, 4); }, 0, 1},
      {"mif_Read", [] { return mif_Read(4, &text); }, 0, 1},
      {"mif_Write", [] { return mif_Write(4, "00112233445566778899AABBCCDDEEFF"); }, 0, 1},
      {"mif_Increment", [] { return mif_Increment(5, 100); }, 0, 1},
      {"mif_Decrement", [] { return mif_Decrement(5, 100); }, 0, 1},
      {"mif_Restore", [] { return mif_Restore(5); }, 0, 1},
      {"mif_Transfer", [] { return mif_Transfer(5); }, 0, 1},
      {"mif_Halt", [] { return mif_Halt(); }, 0, 1},
      {"zub_beep", [] { return zub_beep(1); }, 0, 1},
      {"zub_beepms", [] { return zub_beepms(0); }, 0, 2},
      {"zub_LED", [] { return zub_LED(1, 1); }, 0, 1},
      {"zub_LEDx", [] { return zub_LEDx(127); }, 0, 1},
      {"mif_CtrlRelay", [] { return mif_CtrlRelay(1, 1); }, 0, 0},
      {"ErrMsg",
       [] {
         ErrMsg(-2, &text);
         return 0;
       },
       0, 0},
  };
}

const Command& Named(const char* name) {
  static const std::vector<Command> commands = Commands();
  for (const Command& c : commands)
    if (std::string(c.name) == name) return c;
  throw std::invalid_argument(name);
}

// What the process did between two points.
struct Usage {
  uint64_t allocations;
  uint64_t sleeps;
  uint64_t sleptNs;
  uint64_t vendor[DBL_CALL_KINDS];

  static Usage Now() {
    // The counts first: reading them allocates nothing either.
    const mzb::VendorCounts counts = mzb::VendorCounts::Now();
    Usage u{mzb::Allocations(), mzb::Sleeps(), mzb::SleptNanoseconds(), {}};
    for (int k = 0; k < DBL_CALL_KINDS; ++k) u.vendor[k] = counts.calls[k];
    return u;
  }
  Usage Since(const Usage& before) const {
    Usage d{allocations - before.allocations, sleeps - before.sleeps, sleptNs - before.sleptNs, {}};
    for (int k = 0; k < DBL_CALL_KINDS; ++k) d.vendor[k] = vendor[k] - before.vendor[k];
    return d;
  }
};

// Calls `command` `times` times; counts the results other than `expected`.
Usage Repeat(const Command& command, int times, int32_t expected, int* wrong) {
  *wrong = 0;
  const Usage before = Usage::Now();
  for (int i = 0; i < times; ++i) {
    if (command.call() != expected) ++*wrong;
  }
  return Usage::Now().Since(before);
}

class Budget : public ::testing::Test {
 protected:
  void SetUp() override {
    mzb::InstallInstantReader();
    ASSERT_EQ(OpenComm(0, 0), MZ_OK);
  }
  void TearDown() override { CloseComm(); }
};

TEST_F(Budget, TheHooksSeeAnAllocationAndOpeningMakesNone) {
  // Without this the zero counts below could be a hook that sees nothing: a
  // malloc anywhere in the process is counted. The link lives in the
  // library's static storage, so OpenComm (closing the link SetUp opened and
  // opening it again) allocates nothing.
  Usage before = Usage::Now();
  void* volatile block = std::malloc(24);
  EXPECT_EQ(Usage::Now().Since(before).allocations, 1u);
  std::free(block);
  before = Usage::Now();
  ASSERT_EQ(OpenComm(0, 0), MZ_OK);
  EXPECT_EQ(Usage::Now().Since(before).allocations, 0u);
}

TEST_F(Budget, NoCommandAllocates) {
  for (const Command& c : Commands()) {
    SCOPED_TRACE(c.name);
    int wrong = 0;
    const Usage used = Repeat(c, 100, c.result, &wrong);
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(used.allocations, 0u);
  }
}

TEST_F(Budget, FailedExchangesAllocateNothingEither) {
  for (mzb::Replies mode : {mzb::Replies::kSilent, mzb::Replies::kDamaged}) {
    mzb::SetReplies(mode);
    for (const Command& c : Commands()) {
      SCOPED_TRACE(std::string(c.name) +
                   (mode == mzb::Replies::kSilent ? ", no reply" : ", damaged"));
      // Card commands and single signals report the failure; the rest succeed.
      const bool reports = c.exchanges == 1;
      int wrong = 0;
      const Usage used = Repeat(c, 100, reports ? MZ_EXCHANGE_FAILED : MZ_OK, &wrong);
      EXPECT_EQ(wrong, 0);
      EXPECT_EQ(used.allocations, 0u);
    }
  }
}

TEST_F(Budget, NothingAllocatesWithoutALinkEither) {
  CloseComm();
  for (const Command& c : Commands()) {
    SCOPED_TRACE(c.name);
    int wrong = 0;
    const bool needsLink = c.exchanges == 1;
    const Usage used = Repeat(c, 10, needsLink ? MZ_NO_LINK : MZ_OK, &wrong);
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(used.allocations, 0u);
    EXPECT_EQ(used.vendor[DBL_WRITE] + used.vendor[DBL_READ], 0u);
  }
}

TEST_F(Budget, EachExchangeIsOneWriteAndOneRead) {
  for (const Command& c : Commands()) {
    SCOPED_TRACE(c.name);
    int wrong = 0;
    const Usage used = Repeat(c, 10, c.result, &wrong);
    EXPECT_EQ(wrong, 0);
    const uint64_t n = 10u * static_cast<uint64_t>(c.exchanges);
    EXPECT_EQ(used.vendor[DBL_WRITE], n);
    EXPECT_EQ(used.vendor[DBL_READ], n);
    // The read's timeout is set before each read; nothing else is touched.
    EXPECT_EQ(used.vendor[DBL_SET_TIMEOUT], n);
    for (int k : {DBL_OPEN, DBL_CLOSE, DBL_RESET, DBL_BUF_UPLOAD}) {
      EXPECT_EQ(used.vendor[k], 0u) << "vendor call kind " << k;
    }
  }
}

TEST_F(Budget, AFailedExchangeIsNotRetried) {
  for (mzb::Replies mode : {mzb::Replies::kSilent, mzb::Replies::kDamaged}) {
    mzb::SetReplies(mode);
    int wrong = 0;
    const Usage used = Repeat(Named("mif_Read"), 10, MZ_EXCHANGE_FAILED, &wrong);
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(used.vendor[DBL_WRITE], 10u);
    // After the first failure every exchange first looks for what the reader
    // may still send of the last one: one read that finds nothing.
    EXPECT_EQ(used.vendor[DBL_READ], 10u + 9u);
    mzb::SetReplies(mzb::Replies::kAnswer);
    Repeat(Named("mif_Read"), 1, MZ_OK, &wrong);  // back in step
  }
}

TEST_F(Budget, DrainingFollowsOnlyAFailedExchange) {
  int wrong = 0;
  mzb::SetReplies(mzb::Replies::kSilent);
  Repeat(Named("mif_Read"), 1, MZ_EXCHANGE_FAILED, &wrong);
  mzb::SetReplies(mzb::Replies::kAnswer);
  const Usage used = Repeat(Named("mif_Read"), 10, MZ_OK, &wrong);
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(used.vendor[DBL_WRITE], 10u);
  // The silent reader still holds the failed read's reply: the first exchange
  // drains it and finds nothing more (two reads), the others drain nothing.
  EXPECT_EQ(used.vendor[DBL_READ], 10u + 2u);
  EXPECT_EQ(used.allocations, 0u);
}

TEST_F(Budget, OnlyTheTimedBeepSleeps) {
  for (const Command& c : Commands()) {
    SCOPED_TRACE(c.name);
    int wrong = 0;
    EXPECT_EQ(Repeat(c, 10, c.result, &wrong).sleeps, 0u);
  }
  Usage before = Usage::Now();
  EXPECT_EQ(zub_beepms(3), MZ_OK);
  Usage used = Usage::Now().Since(before);
  EXPECT_EQ(used.sleeps, 1u);
  EXPECT_EQ(used.sleptNs, 3000000u);
  EXPECT_EQ(used.vendor[DBL_WRITE], 2u);

  before = Usage::Now();
  EXPECT_EQ(zub_beepms(-5), MZ_OK);
  EXPECT_EQ(Usage::Now().Since(before).sleeps, 0u);
}

TEST_F(Budget, AThousandReadsTakeLessThanATenthOfAUsbRoundTripEach) {
  // Against an instant reader a read costs well under a microsecond; the
  // bound (100 us a call) only trips on waiting or spinning, even on a slow
  // or heavily loaded machine.
  int wrong = 0;
  const auto start = std::chrono::steady_clock::now();
  Repeat(Named("mif_Read"), 1000, MZ_OK, &wrong);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(wrong, 0);
  EXPECT_LT(elapsed, std::chrono::milliseconds(100));
}

}  // namespace
