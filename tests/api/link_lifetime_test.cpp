// The link's lifetime (OpenComm, CloseComm), the exchange every command makes,
// and how faults inside the vendor library are contained; mif_Halt, the
// simplest command, carries the exchange.
#include <atomic>
#include <new>

#include "fixture.h"

#if !defined(_WIN32)
// The library asks for its link object with new (std::nothrow). Natively this
// program's definition takes the place of the C++ library's in the whole
// process, the shared library included, and can refuse once. (The DLL links
// its C++ runtime statically, so this cannot reach it.)
namespace {
std::atomic<bool> refuseNextNothrowNew{false};
}  // namespace
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (refuseNextNothrowNew.exchange(false)) return nullptr;
  try {
    return ::operator new(size);
  } catch (...) {
    return nullptr;
  }
}
#endif

namespace mzt {
namespace {

using LinkLifetime = ExportTest;

TEST_F(LinkLifetime, OpenUsesIndexOpensSwitchesUploadOffAndResets) {
  EXPECT_EQ(OpenComm(0, 12345), 0);
  EXPECT_EQ(Calls(), "open(0) upload(0,0) reset(0)");
}

TEST_F(LinkLifetime, OnlyTheLowEightBitsOfTheIndexCount) {
  dbl_set_present(1, 1);
  EXPECT_EQ(OpenComm(256 + 1, 0), 0);
  EXPECT_EQ(Calls(), "open(1) upload(1,0) reset(1)");
}

TEST_F(LinkLifetime, NoDeviceAtIndexClosesResetsAndLeavesNoLink) {
  EXPECT_EQ(OpenComm(3, 0), -1);
  EXPECT_EQ(Calls(), "open(3) close(3) reset(3)");
  dbl_reset();
  EXPECT_EQ(mif_Halt(), -1);
  EXPECT_EQ(dbl_event_count(), 0u);
}

TEST_F(LinkLifetime, CloseWithoutLinkIsHarmlessAndRepeatable) {
  EXPECT_EQ(CloseComm(), 0);
  EXPECT_EQ(CloseComm(), 0);
  EXPECT_EQ(dbl_event_count(), 0u);
}

TEST_F(LinkLifetime, CloseClosesTheDeviceOnceAndEndsTheLink) {
  Open();
  EXPECT_EQ(CloseComm(), 0);
  EXPECT_EQ(CloseComm(), 0);
  EXPECT_EQ(Calls(), "close(0)");
  EXPECT_EQ(mif_Halt(), -1);
  EXPECT_EQ(dbl_frame_count(), 0u);
}

TEST_F(LinkLifetime, OpeningAgainClosesTheEarlierDeviceFirst) {
  dbl_set_present(2, 1);
  Open();
  dbl_set_present(2, 1);
  EXPECT_EQ(OpenComm(2, 0), 0);
  EXPECT_EQ(Calls(), "close(0) open(2) upload(2,0) reset(2)");
  dbl_reset();
  ReplyChecked("04 D0 01 00");
  EXPECT_EQ(mif_Halt(), 0);
  EXPECT_EQ(dbl_event(0).index, 2u);
}

TEST_F(LinkLifetime, FailedReopenLeavesNoLinkAndNoDeviceOpen) {
  Open();
  EXPECT_EQ(OpenComm(7, 0), -1);
  EXPECT_EQ(Calls(), "close(0) open(7) close(7) reset(7)");
  EXPECT_EQ(mif_Halt(), -1);
}

// No memory for the link: the earlier link is still closed, nothing is
// opened, and the library carries on once memory is back.
// The link lives in the library's static storage: opening asks for no
// memory, so a host short of memory still gets its link.
TEST_F(LinkLifetime, OpeningNeedsNoMemory) {
#if defined(_WIN32)
  GTEST_SKIP() << "the DLL's own operator new cannot be replaced from outside";
#else
  refuseNextNothrowNew = true;
  EXPECT_EQ(OpenComm(0, 0), 0);
  EXPECT_TRUE(refuseNextNothrowNew) << "the library asked for memory";
  refuseNextNothrowNew = false;
  EXPECT_EQ(CloseComm(), 0);
  EXPECT_EQ(OpenComm(0, 0), 0);
#endif
}

// A fault inside any vendor call the opening makes is contained; the result
// depends only on whether the device ended up open.
TEST_F(LinkLifetime, FaultsWhileOpeningAreContained) {
  struct Case {
    int32_t call;
    int32_t result;
    const char* calls;
  } cases[] = {
      {DBL_OPEN, -1, "open(0) close(0) reset(0)"},
      {DBL_BUF_UPLOAD, -1, "open(0) upload(0,0) close(0) reset(0)"},
      {DBL_RESET, 0, "open(0) upload(0,0) reset(0)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.calls);
    CloseComm();
    dbl_reset();
    dbl_fault_next(c.call);
    EXPECT_EQ(OpenComm(0, 0), c.result);
    EXPECT_EQ(Calls(), c.calls);
    dbl_reset();
    ReplyChecked("04 D0 01 00");
    EXPECT_EQ(mif_Halt(), c.result == 0 ? 0 : -1);
  }
}

TEST_F(LinkLifetime, FaultInsideCloseStillEndsTheLink) {
  Open();
  dbl_fault_next(DBL_CLOSE);
  EXPECT_EQ(CloseComm(), 0);
  EXPECT_EQ(mif_Halt(), -1);
  EXPECT_EQ(OpenComm(0, 0), 0);
}

TEST_F(LinkLifetime, ResetResultDoesNotDecideTheOpen) {
  dbl_set_reset_result(0);
  EXPECT_EQ(OpenComm(0, 0), 0);
}

using Exchange = ExportTest;

TEST_F(Exchange, HaltWritesItsFrameThenSetsTheTimeoutAndReadsOnce) {
  Open();
  Reply("04 D0 01 00 D5");
  EXPECT_EQ(mif_Halt(), 0);
  EXPECT_EQ(Frames(), std::vector<std::string>{"03 D0 01 D2"});
  EXPECT_EQ(Calls(), "write(4) timeout(0,100,100) read(32)");
}

// Every outcome of one exchange, as mif_Halt reports it.
TEST_F(Exchange, ReplyOutcomes) {
  struct Case {
    const char* reply;  // as received; "" is no reply at all
    int32_t result;
  } cases[] = {
      {"04 D0 01 00 D5", 0},
      {"04 D0 01 0A DF", 10},       // the reader's status byte
      {"04 D0 01 FF 2A", 255},      //
      {"04 D0 01 00 D5 77 88", 0},  // bytes after the frame are ignored
      {"", -2},                     // nothing within the timeout
      {"04 D0 01 00 D4", -2},       // wrong check byte
      {"04 50 01 00 55", -2},       // a reply to another command
      {"04 00 01 00 05", -2},       // a reply that echoes 0
      {"04 D0 01 00", -2},          // cut short: L+1 bytes not all received
      {"03 D0", -2},                // cut short
      {"00", -2},                   // a single byte has no command byte
      {"00 D0", -2},                // L 0: passes the check but holds no status
      {"02 D0 D2", -2},             // L 2: no status byte either
      {"03 D0 01 D2", 0xD2},        // L 3: the status position holds the check byte
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    Open();
    Reply(c.reply);
    EXPECT_EQ(mif_Halt(), c.result);
    EXPECT_EQ(CountCalls(DBL_WRITE), 1);
    EXPECT_EQ(CountCalls(DBL_READ), 1);
  }
}

// A reply is judged on the bytes this read received, never on what the
// buffer still holds from the request or an earlier reply.
TEST_F(Exchange, StaleBufferBytesNeverCompleteAReply) {
  Open();
  ReplyChecked("08 D0 01 00 11 22 33 44");
  EXPECT_EQ(mif_Halt(), 0);
  // The buffer now holds a whole frame; a reply of its first two bytes alone
  // must not be completed by the rest.
  Reply("08 D0");
  EXPECT_EQ(mif_Halt(), -2);
  // The request 03 D0 01 D2 itself sits in the buffer: "03 D0" must not pass.
  Reply("03 D0");
  EXPECT_EQ(mif_Halt(), -2);
}

TEST_F(Exchange, ImpossibleCountsAreFailedReads) {
  const Bytes reply = Hex("04 D0 01 00 D5");
  for (uint32_t count : {0x80000000u, 0xFFFFFFFFu, 33u, 1000u}) {
    SCOPED_TRACE(count);
    Open();
    dbl_queue_reply_count(reply.data(), static_cast<uint32_t>(reply.size()), count);
    EXPECT_EQ(mif_Halt(), -2);
  }
}

TEST_F(Exchange, AFailedExchangeLeavesTheLinkOpen) {
  Open();
  EXPECT_EQ(mif_Halt(), -2);
  Answer("04 D0 01 00 D5");
  EXPECT_EQ(mif_Halt(), 0);
}

TEST_F(Exchange, FaultsInsideTheExchangeAreContained) {
  struct Case {
    int32_t call;
    const char* calls;
  } cases[] = {
      // The write may have reached the reader: the read still follows, and
      // the reply decides.
      {DBL_WRITE, "write(4) timeout(0,100,100) read(32)"},
      {DBL_SET_TIMEOUT, "write(4) timeout(0,100,100)"},
      {DBL_READ, "write(4) timeout(0,100,100) read(32)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.calls);
    Open();
    dbl_fault_next(c.call);
    Reply("04 D0 01 00 D5");
    EXPECT_EQ(mif_Halt(), c.call == DBL_WRITE ? 0 : -2);
    EXPECT_EQ(Calls(), c.calls);
    // The link is still usable.
    dbl_reset();
    Answer("04 D0 01 07 D2");
    EXPECT_EQ(mif_Halt(), 7);
  }
}

// Exceptions the vendor raises and handles itself inside a call are none of
// the library's business.
TEST_F(Exchange, ExceptionsHandledInsideTheVendorAreLeftAlone) {
  for (int32_t call = DBL_OPEN; call < DBL_CALL_KINDS; ++call) {
    SCOPED_TRACE(call);
    CloseComm();
    dbl_reset();
    dbl_self_handled_next(call);
    ASSERT_EQ(OpenComm(0, 0), 0);
    dbl_self_handled_next(call);
    Reply("04 D0 01 00 D5");
    EXPECT_EQ(mif_Halt(), 0);
    EXPECT_EQ(CloseComm(), 0);
    EXPECT_EQ(dbl_self_handled_count(), 1u);  // it was raised, and handled
  }
}

}  // namespace
}  // namespace mzt
