// The behaviour kept on purpose for hosts and readers that rely on it, one
// case each, as the header lists it under "Behaviour kept on purpose". A
// failure here means the contract changed: change the header's list with it,
// or undo the change.
#include <functional>

#include "fixture.h"

namespace mzt {
namespace {

using DeliberateQuirks = ExportTest;

TEST_F(DeliberateQuirks, AShortReplyFillsAFieldWithWhatItHoldsCheckByteIncluded) {
  Open();
  int32_t size = 77;
  ReplyChecked("04 30 01 00");  // 04 30 01 00 35: no byte after the status
  EXPECT_EQ(mif_Select("1A7B8C54", &size), 0);
  EXPECT_EQ(size, 0x35);

  GuardedBuffer serial(11);        // the documented serial buffer
  ReplyChecked("05 20 01 00 AB");  // one byte of five, then the check byte
  EXPECT_EQ(mif_Anticollision(&serial.ptr), 0);
  EXPECT_EQ(serial.Text(), "AB8F");

  // Nothing at all for an integer output: -2, the output left alone. (A
  // reply of length byte 3 whose check byte, read as the status, is 0.)
  int32_t tag = 77;
  Reply("03 11 12 00");
  EXPECT_EQ(mif_Request(1, &tag), -2);
  EXPECT_EQ(tag, 77);
}

TEST_F(DeliberateQuirks, ALengthThreeReplysCheckByteIsReadAsTheStatus) {
  Open();
  Reply("03 D0 01 D2");
  EXPECT_EQ(mif_Halt(), 0xD2);
}

TEST_F(DeliberateQuirks, AFinalOddCharacterIsDropped) {
  Open();
  Reply("04 60 01 00 65");
  EXPECT_EQ(mif_Write(4, "00112233445566778899AABBCCDDEEFFA"), 0);
  EXPECT_EQ(Frames(), std::vector<std::string>{
                          "14 60 01 04 00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF 71"});
}

TEST_F(DeliberateQuirks, ANullTextIsSentAsTheEmptyText) {
  Open();
  Reply("04 60 01 00 65");
  EXPECT_EQ(mif_Write(4, nullptr), 0);
  EXPECT_EQ(Frames(), std::vector<std::string>{"04 60 01 04 61"});
}

TEST_F(DeliberateQuirks, SignalsIgnoreTheReadersStatus) {
  const struct {
    const char* name;
    std::function<int32_t()> call;
    const char* reply;
  } cases[] = {
      {"zub_beep", [] { return zub_beep(1); }, "04 F3 01 09"},
      {"zub_LED", [] { return zub_LED(2, 1); }, "04 F1 01 09"},
      {"zub_LEDx", [] { return zub_LEDx(127); }, "04 F6 01 09"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Open();
    ReplyChecked(c.reply);
    EXPECT_EQ(c.call(), 0);
  }
}

TEST_F(DeliberateQuirks, LedLevelRefusesOtherLevelsWithOneAndSendsNothing) {
  for (bool open : {false, true}) {
    SCOPED_TRACE(open ? "link open" : "no link");
    if (open) Open();
    for (int32_t level : {1, 126, 128, 254, 256, -1}) EXPECT_EQ(zub_LEDx(level), 1) << level;
    EXPECT_EQ(dbl_event_count(), 0u);
  }
}

TEST_F(DeliberateQuirks, ArgumentsNotSentGiveTheExchangeCode) {
  Open();
  EXPECT_EQ(mif_Read(256, nullptr), -2);
  EXPECT_EQ(mif_Authentication(0, -1, 4), -2);
  EXPECT_EQ(mif_LoadKey(0, 0, "FFFFFFFFFFFG"), -2);
  EXPECT_EQ(mif_Write(4, std::string(600, 'A').c_str()), -2);
  EXPECT_EQ(zub_LED(300, 1), -2);
  EXPECT_EQ(dbl_event_count(), 0u);
}

TEST_F(DeliberateQuirks, OnlyExactlyOneMeansOn) {
  for (int32_t v : {0, 2, -1}) {
    SCOPED_TRACE(v);
    Open();
    int32_t tag = 0;
    Reply("06 10 01 00 04 00 13");
    Reply("04 F3 01 00 F6");
    Reply("04 F1 01 00 F4");
    mif_Request(v, &tag);
    zub_beep(v);
    zub_LED(2, v);
    EXPECT_EQ(Frames(),
              (std::vector<std::string>{"03 10 01 12", "04 F3 01 00 F6", "05 F1 01 02 00 F7"}));
  }
}

TEST_F(DeliberateQuirks, OpenCommTakesTheLowByteIgnoresParamAndAlwaysResets) {
  dbl_set_present(1, 1);
  EXPECT_EQ(OpenComm(256 + 1, 12345), 0);
  EXPECT_EQ(Calls(), "open(1) upload(1,0) reset(1)");
  CloseComm();
  dbl_reset();
  EXPECT_EQ(OpenComm(7, 0), -1);  // no reader at 7: closed again, and reset all the same
  EXPECT_EQ(Calls(), "open(7) close(7) reset(7)");
}

TEST_F(DeliberateQuirks, OutputsOnAStatusAndOnAFailure) {
  Open();
  int32_t size = 77;
  GuardedBuffer data(33);
  ReplyChecked("04 30 01 04");
  EXPECT_EQ(mif_Select("1A7B8C54", &size), 4);
  EXPECT_EQ(size, 0);
  ReplyChecked("04 50 01 04");
  EXPECT_EQ(mif_Read(4, &data.ptr), 4);
  EXPECT_EQ(data.Text(), "");

  size = 77;
  GuardedBuffer untouched(33);
  EXPECT_EQ(mif_Select("1A7B8C54", &size), -2);  // no reply
  EXPECT_EQ(mif_Read(4, &untouched.ptr), -2);
  EXPECT_EQ(size, 77);
  EXPECT_TRUE(untouched.Untouched());
  CloseComm();
  EXPECT_EQ(mif_Read(4, &untouched.ptr), -1);
  EXPECT_TRUE(untouched.Untouched());
}

TEST_F(DeliberateQuirks, TimedBeepAndRelayAlwaysSucceed) {
  EXPECT_EQ(zub_beepms(0), 0);  // no link
  EXPECT_EQ(zub_beepms(-5), 0);
  EXPECT_EQ(mif_CtrlRelay(1, 1), 0);
  Open();
  EXPECT_EQ(zub_beepms(0), 0);  // the reader does not answer
  EXPECT_EQ(mif_CtrlRelay(0, 0), 0);
}

}  // namespace
}  // namespace mzt
