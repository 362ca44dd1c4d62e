// The double's script, counts and records, which the benchmark and the fuzz
// targets rely on: a fault in them would pass wrong figures or blind the fuzz
// oracle, not fail a test of the library.
#include <string.h>

#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "CH375DLL.h"
#include "vendor.h"

namespace {

// A script that logs what it is given, faults the calls it is told to and
// answers reads with "AB CD" and a count of 7.
struct Log {
  std::string entered;
  int32_t faultCall = -1;
  int reads = 0;
};

int32_t Enter(void* context, int32_t call, uint32_t index, const void* buffer,
              const uint32_t* length) {
  Log& log = *static_cast<Log*>(context);
  char text[48];
  snprintf(text, sizeof text, "%s%d@%u:%u", log.entered.empty() ? "" : " ", call, index,
           length != nullptr && buffer != nullptr ? *length : 0u);
  log.entered += text;
  return call == log.faultCall;
}

int32_t Read(void* context, uint32_t, void* buffer, uint32_t* length) {
  ++static_cast<Log*>(context)->reads;
  static const uint8_t kReply[] = {0xAB, 0xCD};
  memcpy(buffer, kReply, sizeof kReply);
  *length = 7;
  return 5;
}

int32_t Write(void* context, uint32_t, const void*, uint32_t*) {
  static_cast<Log*>(context)->entered += " write";
  return 1;
}

class DoubleScript : public ::testing::Test {
 protected:
  void SetUp() override {
    dbl_reset();
    const DblScript script = {&log, &Enter, &Read, 0, nullptr};
    dbl_set_script(&script);
  }
  void TearDown() override { dbl_reset(); }
  Log log;
};

TEST_F(DoubleScript, SeesEveryCallAndAnswersReadsNothingElseAnswers) {
  ASSERT_NE(CH375OpenDevice(0), CH375_INVALID_HANDLE);
  uint8_t frame[] = {0x03, 0xD0, 0x01, 0xD2};
  uint32_t n = sizeof frame;
  CH375WriteData(0, frame, &n);
  mzt::Reply("04 D0 01 00 D5");
  uint8_t buffer[32];
  memset(buffer, 0xEE, sizeof buffer);
  // The queued reply first, then the script's; the double reports the
  // script's result and count as they are.
  uint32_t asked = 4;
  EXPECT_EQ(CH375ReadData(0, buffer, &asked), 1);
  EXPECT_EQ(asked, 5u);
  asked = 4;
  EXPECT_EQ(CH375ReadData(0, buffer, &asked), 5);
  EXPECT_EQ(asked, 7u);
  EXPECT_EQ(log.reads, 1);
  EXPECT_EQ(log.entered, "0@0:0 5@0:4 6@0:4 6@0:4");

  // What each read left in the first bytes asked for, and each write's frame.
  const struct {
    uint32_t event;
    std::string bytes;
  } data[] = {{0, ""}, {1, "03 D0 01 D2"}, {2, "04 D0 01 00"}, {3, "AB CD 01 00"}};
  for (const auto& d : data) {
    SCOPED_TRACE(d.event);
    mzt::Bytes got(DBL_READ_DATA_MAX);
    got.resize(dbl_event_data(d.event, got.data(), DBL_READ_DATA_MAX));
    EXPECT_EQ(mzt::HexOf(got), d.bytes);
  }
  EXPECT_EQ(dbl_event(3).arg2, 7u);
}

TEST_F(DoubleScript, KeepsTheOpenDevicesAndCountsWhatItDoesNotRecord) {
  dbl_set_recording(0);
  dbl_set_present(3, 1);
  EXPECT_EQ(CH375OpenDevice(5), CH375_INVALID_HANDLE);
  EXPECT_FALSE(dbl_device_open(5));
  ASSERT_NE(CH375OpenDevice(3), CH375_INVALID_HANDLE);
  EXPECT_TRUE(dbl_device_open(3));
  uint8_t buffer[32] = {};
  for (int i = 0; i < 3; ++i) {
    uint32_t n = 5;
    CH375WriteData(3, buffer, &n);
  }
  CH375CloseDevice(3);
  EXPECT_FALSE(dbl_device_open(3));
  EXPECT_EQ(dbl_event_count(), 0u);
  EXPECT_EQ(dbl_frame_count(), 0u);
  EXPECT_EQ(dbl_call_count(DBL_OPEN), 2u);
  EXPECT_EQ(dbl_call_count(DBL_WRITE), 3u);
  EXPECT_EQ(dbl_call_count(DBL_CLOSE), 1u);
  EXPECT_EQ(dbl_call_count(DBL_READ), 0u);
  // Recording on again: the script still runs, the counts go on.
  dbl_set_recording(1);
  CH375ResetDevice(3);
  EXPECT_EQ(dbl_event_count(), 1u);
  EXPECT_EQ(dbl_call_count(DBL_RESET), 1u);
  dbl_reset();
  EXPECT_EQ(dbl_call_count(DBL_OPEN), 0u);
  EXPECT_FALSE(dbl_device_open(3));
}

TEST_F(DoubleScript, ANullCountIsRecordedAsZeroAndNeverRead) {
  ASSERT_NE(CH375OpenDevice(0), CH375_INVALID_HANDLE);
  uint8_t buffer[8] = {};
  dbl_set_script(nullptr);
  EXPECT_EQ(CH375WriteData(0, buffer, nullptr), 1);
  EXPECT_EQ(CH375ReadData(0, nullptr, nullptr), 1);
  EXPECT_EQ(mzt::Calls(), "open(0) write(0) read(0)");
  EXPECT_EQ(dbl_frame_count(), 0u);
}

// With recording off and a script, the double takes its fast path; whatever
// is scheduled must still take effect, once, and the script answer again
// after it.
TEST_F(DoubleScript, QuietCallsStillPlayWhatIsScheduled) {
  const struct {
    const char* what;
    void (*schedule)();
    int32_t result;  // of the first read after the write
    uint32_t count;
    uint8_t first;  // the buffer's first byte after that read
    uint32_t selfHandled;
  } cases[] = {
      {"a queued reply", [] { mzt::Reply("04 D0 01 00 D5"); }, 1, 5, 0x04, 0},
      {"a queued answer", [] { dbl_queue_answer(mzt::Hex("04 D0 01 00 D5").data(), 5); }, 1, 5,
       0x04, 0},
      {"an untouched read", [] { dbl_read_untouched_next(0); }, 0, 32, 0xEE, 0},
      {"a self-handled exception", [] { dbl_self_handled_next(DBL_READ); }, 5, 7, 0xAB, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    log = Log();
    dbl_reset();
    // The calls of an exchange left to the fast path.
    const DblScript script = {&log, &Enter, &Read,
                              (1u << DBL_SET_TIMEOUT) | (1u << DBL_WRITE) | (1u << DBL_READ),
                              &Write};
    dbl_set_script(&script);
    dbl_set_recording(0);
    ASSERT_NE(CH375OpenDevice(0), CH375_INVALID_HANDLE);
    c.schedule();
    for (int round = 0; round < 2; ++round) {
      SCOPED_TRACE(round);
      uint8_t frame[] = {0x03, 0xD0, 0x01, 0xD2};
      uint32_t n = sizeof frame;
      EXPECT_EQ(CH375SetTimeout(0, 100, 100), 1);
      EXPECT_EQ(CH375WriteData(0, frame, &n), 1);
      uint8_t buffer[32];
      memset(buffer, 0xEE, sizeof buffer);
      n = sizeof buffer;
      const int32_t result = CH375ReadData(0, buffer, &n);
      if (round == 0) {
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(n, c.count);
        EXPECT_EQ(buffer[0], c.first);
      } else {
        EXPECT_EQ(result, 5);  // the script's answer again
        EXPECT_EQ(n, 7u);
        EXPECT_EQ(buffer[0], 0xAB);
      }
    }
    EXPECT_EQ(dbl_call_count(DBL_WRITE), 2u);
    EXPECT_EQ(dbl_call_count(DBL_READ), 2u);
    EXPECT_EQ(dbl_call_count(DBL_SET_TIMEOUT), 2u);
    EXPECT_EQ(dbl_event_count(), 0u);
    EXPECT_EQ(dbl_frame_count(), 0u);
    EXPECT_EQ(dbl_self_handled_count(), c.selfHandled);
    EXPECT_EQ(log.entered, "0@0:0 write write");
    EXPECT_EQ(log.reads, c.result == 5 ? 2 : 1);
    // Recording on again: every call recorded, the frame with it.
    dbl_set_recording(1);
    uint8_t frame[] = {0x03, 0xD0, 0x01, 0xD2};
    uint32_t n = sizeof frame;
    CH375WriteData(0, frame, &n);
    n = 4;
    CH375ReadData(0, frame, &n);
    EXPECT_EQ(mzt::Calls(), "write(4) read(4)");
    EXPECT_EQ(dbl_frame_count(), 1u);
  }
}

// The calls a script leaves unseen never reach its enter function, nor fault
// by it, recorded or not; the others do.
TEST_F(DoubleScript, LeavesTheUnseenCallsOutOfTheScript) {
  for (int32_t recording : {1, 0}) {
    SCOPED_TRACE(recording);
    log = Log();
    dbl_reset();
    const DblScript script = {&log, &Enter, &Read, (1u << DBL_SET_TIMEOUT) | (1u << DBL_READ),
                              nullptr};
    dbl_set_script(&script);
    dbl_set_recording(recording);
    log.faultCall = DBL_READ;  // would fault, were reads seen
    ASSERT_NE(CH375OpenDevice(0), CH375_INVALID_HANDLE);
    uint8_t buffer[32] = {0x03, 0xD0, 0x01, 0xD2};
    uint32_t n = 4;
    EXPECT_EQ(CH375SetTimeout(0, 100, 100), 1);
    EXPECT_EQ(CH375WriteData(0, buffer, &n), 1);
    n = sizeof buffer;
    EXPECT_EQ(CH375ReadData(0, buffer, &n), 5);
    EXPECT_EQ(log.entered, "0@0:0 5@0:4");
    EXPECT_EQ(log.reads, 1);  // the read is still answered by the script
    EXPECT_EQ(dbl_call_count(DBL_SET_TIMEOUT), 1u);
    EXPECT_EQ(dbl_event_count(), recording ? 4u : 0u);
  }
}

// A script that takes the writes decides their result and count, recorded or
// quiet, seen by enter or not; only a write that succeeds releases the answer
// to it.
TEST_F(DoubleScript, TheScriptsWriteDecidesTheWrite) {
  struct Taken {
    int32_t result;
    int calls = 0;
    uint8_t command = 0;
  };
  const auto write = [](void* context, uint32_t, const void* buffer, uint32_t* length) {
    Taken& t = *static_cast<Taken*>(context);
    ++t.calls;
    t.command = static_cast<const uint8_t*>(buffer)[1];
    *length = 2;
    return t.result;
  };
  for (int32_t recording : {1, 0}) {
    for (uint32_t unseen : {0u, 1u << DBL_WRITE}) {
      for (int32_t result : {1, 0}) {
        SCOPED_TRACE(testing::Message() << "recording " << recording << ", unseen " << unseen
                                        << ", result " << result);
        dbl_reset();
        Taken taken{result};
        const DblScript script = {&taken, nullptr, nullptr, unseen, write};
        dbl_set_script(&script);
        dbl_set_recording(recording);
        dbl_queue_answer(mzt::Hex("04 D0 01 00 D5").data(), 5);
        uint8_t buffer[32] = {0x03, 0xD0, 0x01, 0xD2};
        uint32_t n = 4;
        EXPECT_EQ(CH375WriteData(0, buffer, &n), result);
        EXPECT_EQ(n, 2u);
        EXPECT_EQ(taken.calls, 1);
        EXPECT_EQ(taken.command, 0xD0);
        EXPECT_EQ(dbl_frame_count(), recording ? 1u : 0u);
        n = sizeof buffer;
        EXPECT_EQ(CH375ReadData(0, buffer, &n), 1);
        EXPECT_EQ(n, result ? 5u : 0u);
        // Nothing is left scheduled: the next write is quiet again, if quiet.
        n = 4;
        EXPECT_EQ(CH375WriteData(0, buffer, &n), result);
        EXPECT_EQ(taken.calls, 2);
        EXPECT_EQ(dbl_call_count(DBL_WRITE), 2u);
        // No answer left (or none released) and no read function: nothing.
        n = sizeof buffer;
        EXPECT_EQ(CH375ReadData(0, buffer, &n), 1);
        EXPECT_EQ(n, 0u);
      }
    }
  }
}

// A script that turns recording on as a quiet write begins: that write was
// not recorded, so its frame is not kept either (it once went into the data
// of another event, or of none).
TEST_F(DoubleScript, RecordingTurnedOnInsideAQuietWriteKeepsNoHalfRecord) {
  dbl_reset();
  const DblScript script = {nullptr,
                            [](void*, int32_t, uint32_t, const void*, const uint32_t*) -> int32_t {
                              dbl_set_recording(1);
                              return 0;
                            },
                            nullptr, 0, nullptr};
  dbl_set_script(&script);
  dbl_set_recording(0);
  uint8_t frame[] = {0x03, 0xD0, 0x01, 0xD2};
  uint32_t n = sizeof frame;
  EXPECT_EQ(CH375WriteData(0, frame, &n), 1);
  EXPECT_EQ(dbl_event_count(), 0u);
  EXPECT_EQ(dbl_frame_count(), 0u);
  EXPECT_EQ(CH375WriteData(0, frame, &n), 1);  // recorded whole
  EXPECT_EQ(mzt::Calls(), "write(4)");
  EXPECT_EQ(dbl_frame_count(), 1u);
}

// A reply the script queues while a quiet read is being entered answers that
// read, as it would with recording on.
TEST_F(DoubleScript, AReplyQueuedFromTheScriptAnswersTheReadBeingEntered) {
  for (int32_t recording : {1, 0}) {
    SCOPED_TRACE(recording);
    dbl_reset();
    const DblScript script = {
        nullptr,
        [](void*, int32_t call, uint32_t, const void*, const uint32_t*) -> int32_t {
          if (call == DBL_READ) mzt::Reply("04 D0 01 00 D5");
          return 0;
        },
        &Read, 0, nullptr};
    dbl_set_script(&script);
    dbl_set_recording(recording);
    uint8_t buffer[32] = {};
    uint32_t n = sizeof buffer;
    EXPECT_EQ(CH375ReadData(0, buffer, &n), 1);
    EXPECT_EQ(n, 5u);
    EXPECT_EQ(buffer[4], 0xD5);
    EXPECT_EQ(dbl_call_count(DBL_READ), 1u);
    EXPECT_EQ(dbl_event_count(), recording ? 1u : 0u);
  }
}

#if !defined(_WIN32)
// Natively a fault is an exception leaving the call (on Windows an access
// violation, which only the library's guard may meet).
TEST_F(DoubleScript, FaultsWhatTheScriptSaysAfterRecordingIt) {
  for (int32_t call : {DBL_OPEN, DBL_WRITE, DBL_READ}) {
    SCOPED_TRACE(call);
    dbl_reset();
    const DblScript script = {&log, &Enter, &Read, 0, nullptr};
    dbl_set_script(&script);
    log = Log();
    log.faultCall = call;
    uint8_t frame[] = {0x03, 0xD0, 0x01, 0xD2};
    uint32_t n = sizeof frame;
    if (call == DBL_OPEN) {
      EXPECT_THROW(CH375OpenDevice(0), std::exception);
    } else if (call == DBL_WRITE) {
      EXPECT_THROW(CH375WriteData(0, frame, &n), std::exception);
    } else {
      EXPECT_THROW(CH375ReadData(0, frame, &n), std::exception);
    }
    ASSERT_EQ(dbl_event_count(), 1u);
    EXPECT_TRUE(dbl_event(0).faulted);
    EXPECT_FALSE(dbl_device_open(0));
    EXPECT_EQ(log.reads, 0);  // a faulting read answers nothing
    // A faulting write may have reached the reader: its frame is kept.
    EXPECT_EQ(dbl_frame_count(), call == DBL_WRITE ? 1u : 0u);
  }
}

// Quiet calls fault too, whether the script or dbl_fault_next says so, and
// only the call they were meant for.
TEST_F(DoubleScript, QuietCallsFaultWhenTold) {
  for (bool byScript : {true, false}) {
    for (int32_t call : {DBL_SET_TIMEOUT, DBL_WRITE, DBL_READ}) {
      SCOPED_TRACE(testing::Message() << call << (byScript ? " by the script" : " told"));
      log = Log();
      SetUp();
      dbl_set_recording(0);
      if (byScript) {
        log.faultCall = call;
      } else {
        dbl_fault_next(call);
      }
      uint8_t frame[] = {0x03, 0xD0, 0x01, 0xD2};
      uint32_t n = sizeof frame;
      const auto set = [] { return CH375SetTimeout(0, 100, 100); };
      const auto write = [&] { return CH375WriteData(0, frame, &n); };
      const auto read = [&] { return CH375ReadData(0, frame, &n); };
      EXPECT_THROW(call == DBL_SET_TIMEOUT ? set()
                   : call == DBL_WRITE     ? write()
                                           : read(),
                   std::exception);
      EXPECT_EQ(log.reads, 0);
      log.faultCall = -1;
      EXPECT_NO_THROW(set());
      EXPECT_NO_THROW(write());
      EXPECT_NO_THROW(read());
      EXPECT_EQ(dbl_call_count(call), 2u);
      EXPECT_EQ(dbl_event_count(), 0u);
    }
  }
}
#endif

}  // namespace
