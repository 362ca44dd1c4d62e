// The driver's entry points, called as pcscd calls them, against the virtual
// reader in this process.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

extern "C" {
#include <ifdhandler.h>
}

#include "mifarezub_pcsc.h"
#include "zubsim.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr DWORD kLun = 0x00010000;  // pcscd's second reader, slot 0

const Bytes kTransportKey = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

size_t FramesWritten() {
  std::string trace(zubsim_trace(nullptr, 0) + 1, '\0');
  zubsim_trace(&trace[0], trace.size());
  size_t n = 0;
  for (size_t at = trace.find("-> "); at != std::string::npos; at = trace.find("-> ", at + 3)) {
    ++n;
  }
  return n;
}

class Handler : public ::testing::Test {
 protected:
  void SetUp() override {
    zubsim_reset();
    ASSERT_EQ(IFDHCreateChannelByName(kLun, const_cast<char*>("mifarezub:0")), IFD_SUCCESS);
  }
  void TearDown() override { IFDHCloseChannel(kLun); }

  Bytes PowerUp() {
    UCHAR atr[MAX_ATR_SIZE];
    DWORD length = sizeof atr;
    if (IFDHPowerICC(kLun, IFD_POWER_UP, atr, &length) != IFD_SUCCESS) return {};
    return Bytes(atr, atr + length);
  }

  // The response (data and status word), or empty when the call failed;
  // *rv gets the call's result.
  Bytes Transmit(Bytes apdu, RESPONSECODE* rv = nullptr) {
    SCARD_IO_HEADER send{SCARD_PROTOCOL_T1, 0};
    SCARD_IO_HEADER receive{0, 0};
    UCHAR rx[258];
    DWORD length = sizeof rx;
    const RESPONSECODE r =
        IFDHTransmitToICC(kLun, send, apdu.data(), apdu.size(), rx, &length, &receive);
    if (rv != nullptr) *rv = r;
    if (r != IFD_SUCCESS) return {};
    return Bytes(rx, rx + length);
  }

  uint16_t Sw(Bytes apdu) {
    const Bytes r = Transmit(std::move(apdu));
    if (r.size() < 2) return 0;
    return static_cast<uint16_t>(r[r.size() - 2] << 8 | r.back());
  }

  uint16_t LoadKey(uint8_t slot, const Bytes& key) {
    Bytes apdu = {0xFF, 0x82, 0x00, slot, 0x06};
    apdu.insert(apdu.end(), key.begin(), key.end());
    return Sw(apdu);
  }
  uint16_t Authenticate(uint8_t block, uint8_t keyType = 0x60, uint8_t slot = 0) {
    return Sw({0xFF, 0x86, 0x00, 0x00, 0x05, 0x01, 0x00, block, keyType, slot});
  }
  uint16_t Write(uint8_t block, const Bytes& data) {
    Bytes apdu = {0xFF, 0xD6, 0x00, block, 0x10};
    apdu.insert(apdu.end(), data.begin(), data.end());
    return Sw(apdu);
  }
  void OpenSector(uint8_t block) {
    ASSERT_EQ(LoadKey(0, kTransportKey), 0x9000);
    ASSERT_EQ(Authenticate(block), 0x9000);
  }
};

TEST_F(Handler, NoReaderAtTheIndexIsNoSuchDevice) {
  EXPECT_EQ(IFDHCreateChannelByName(0x00020000, const_cast<char*>("mifarezub:5")),
            IFD_NO_SUCH_DEVICE);
  EXPECT_EQ(IFDHCreateChannelByName(0x00020000, const_cast<char*>("/dev/ttyS0")),
            IFD_NO_SUCH_DEVICE);
  // The index is taken by the first channel.
  EXPECT_NE(IFDHCreateChannel(0x00020000, 0), IFD_SUCCESS);
}

TEST_F(Handler, PresenceFollowsTheCardAndLeavesItFindable) {
  EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_PRESENT);
  EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_PRESENT);  // the first poll left it findable
  zubsim_take_out_card();
  EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_NOT_PRESENT);
  ASSERT_EQ(zubsim_put_back_card(), 0);
  EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_PRESENT);
  EXPECT_EQ(PowerUp().size(), 20u);
}

TEST_F(Handler, AtrNamesTheCardKind) {
  const Bytes atr1k = PowerUp();
  const Bytes expected = {0x3B, 0x8F, 0x80, 0x01, 0x80, 0x4F, 0x0C, 0xA0, 0x00, 0x00,
                          0x03, 0x06, 0x03, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x6A};
  EXPECT_EQ(atr1k, expected);
  UCHAR atr[MAX_ATR_SIZE];
  DWORD length = sizeof atr;
  ASSERT_EQ(IFDHGetCapabilities(kLun, TAG_IFD_ATR, &length, atr), IFD_SUCCESS);
  EXPECT_EQ(Bytes(atr, atr + length), expected);

  const unsigned char uid[4] = {0x11, 0x22, 0x33, 0x44};
  ASSERT_EQ(zubsim_new_card(ZUBSIM_CARD_4K, uid), 0);
  const Bytes atr4k = PowerUp();
  ASSERT_EQ(atr4k.size(), 20u);
  EXPECT_EQ(atr4k[14], 0x02);
  EXPECT_EQ(atr4k[19], 0x69);
  EXPECT_EQ(Transmit({0xFF, 0xCA, 0x00, 0x00, 0x00}), (Bytes{0x11, 0x22, 0x33, 0x44, 0x90, 0x00}));
  length = sizeof atr;
  ASSERT_EQ(IFDHGetCapabilities(kLun, MIFAREZUB_ATTR_UID, &length, atr), IFD_SUCCESS);
  EXPECT_EQ(Bytes(atr, atr + length), (Bytes{0x11, 0x22, 0x33, 0x44}));
}

TEST_F(Handler, NoCardNoPower) {
  zubsim_take_out_card();
  EXPECT_TRUE(PowerUp().empty());
  RESPONSECODE rv;
  Transmit({0xFF, 0xCA, 0x00, 0x00, 0x00}, &rv);
  EXPECT_EQ(rv, IFD_ICC_NOT_PRESENT);
}

TEST_F(Handler, PollingBetweenApdusKeepsTheSessionAuthenticated) {
  ASSERT_EQ(PowerUp().size(), 20u);
  OpenSector(4);
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(IFDHICCPresence(kLun), IFD_ICC_PRESENT);
    ASSERT_EQ(zubsim_card_state(), ZUBSIM_STATE_AUTHENTICATED);
  }
  const Bytes data = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  EXPECT_EQ(Write(5, data), 0x9000);
  Bytes expected = data;
  expected.push_back(0x90);
  expected.push_back(0x00);
  EXPECT_EQ(Transmit({0xFF, 0xB0, 0x00, 0x05, 0x10}), expected);
}

TEST_F(Handler, PollingASectorWhoseFirstBlockTheKeyMayNotReadKeepsTheSession) {
  ASSERT_EQ(PowerUp().size(), 20u);
  // Sector 1: block 4 never readable (C1C2C3 111), block 5 open, the
  // trailer in transport configuration.
  OpenSector(7);
  const Bytes trailer = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xEE, 0x16,
                         0x91, 0x69, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  ASSERT_EQ(Write(7, trailer), 0x9000);
  ASSERT_EQ(Authenticate(4), 0x9000);
  ASSERT_NE(Sw({0xFF, 0xB0, 0x00, 0x04, 0x10}), 0x9000);  // the key may not read block 4
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(IFDHICCPresence(kLun), IFD_ICC_PRESENT);
    ASSERT_EQ(zubsim_card_state(), ZUBSIM_STATE_AUTHENTICATED);
  }
  const Bytes data = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  EXPECT_EQ(Write(5, data), 0x9000);
  Bytes expected = data;
  expected.push_back(0x90);
  expected.push_back(0x00);
  EXPECT_EQ(Transmit({0xFF, 0xB0, 0x00, 0x05, 0x10}), expected);
}

TEST_F(Handler, PollingASelectedCardKeepsItSelected) {
  ASSERT_EQ(PowerUp().size(), 20u);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(IFDHICCPresence(kLun), IFD_ICC_PRESENT);
  EXPECT_EQ(zubsim_card_state(), ZUBSIM_STATE_ACTIVE);
  OpenSector(8);
}

TEST_F(Handler, StatusWordsOfRefusals) {
  ASSERT_EQ(PowerUp().size(), 20u);
  ASSERT_EQ(LoadKey(1, {1, 2, 3, 4, 5, 6}), 0x9000);
  EXPECT_EQ(Authenticate(4, 0x60, 1), 0x6300);  // wrong key
  EXPECT_EQ(Authenticate(4, 0x60, 2), 0x6300);  // a slot never loaded
  EXPECT_EQ(Sw({0xFF, 0xB0, 0x00, 0x04, 0x10}), 0x6982);
  EXPECT_EQ(Authenticate(64), 0x6A82);  // beyond a 1K card
  // After the wrong key the card is selected again for the next try.
  OpenSector(4);
  EXPECT_EQ(Sw({0xFF, 0xB0, 0x00, 0x08, 0x10}), 0x6982);  // another sector
  EXPECT_EQ(Sw({0xFF, 0xB0, 0x00, 0x40, 0x10}), 0x6A82);
  EXPECT_EQ(Sw({0xFF, 0xB0, 0x01, 0x04, 0x10}), 0x6A82);
  EXPECT_EQ(Sw({0xFF, 0xB1, 0x00, 0x04, 0x04}), 0x6300);  // not a value block
  OpenSector(0);
  EXPECT_EQ(Write(0, Bytes(16, 0)), 0x6581);  // manufacturer block
  EXPECT_EQ(Sw({0xFF, 0xB0, 0x00, 0x00, 0x10}), 0x9000);
}

TEST_F(Handler, ReadAndWriteFailuresOfTheReaderAreBeyondTheCard) {
  ASSERT_EQ(PowerUp().size(), 20u);
  OpenSector(4);
  // The reader's "read failed" (24) and "write failed" (21): the block is
  // not on the card, whatever its SAK claimed.
  const struct {
    int status;
    Bytes apdu;
  } cases[] = {
      {24, {0xFF, 0xB0, 0x00, 0x04, 0x10}},
      {21, {0xFF, 0xD6, 0x00, 0x05, 0x10, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}},
      {6, {0xFF, 0xD6, 0x00, 0x05, 0x10, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}},
  };
  const uint16_t expected[] = {0x6A82, 0x6A82, 0x6581};  // another failure: the write failed
  for (size_t i = 0; i < 3; ++i) {
    zubsim_fault_exchange(ZUBSIM_FAULT_STATUS, cases[i].status, 1);
    EXPECT_EQ(Sw(cases[i].apdu), expected[i]) << cases[i].status;
    // The session goes on.
    EXPECT_EQ(Sw({0xFF, 0xB0, 0x00, 0x04, 0x10}), 0x9000) << cases[i].status;
  }
}

TEST_F(Handler, MalformedApdusNeverReachTheCard) {
  ASSERT_EQ(PowerUp().size(), 20u);
  OpenSector(4);
  zubsim_clear_trace();
  const std::vector<std::pair<Bytes, uint16_t>> cases = {
      {{0xFF, 0xB0}, 0x6700},
      {{0xFF, 0xD6, 0x00, 0x04, 0x10, 0x00}, 0x6700},
      {{0xFF, 0x42, 0x00, 0x00, 0x00}, 0x6D00},
      {{0x00, 0xB0, 0x00, 0x04, 0x10}, 0x6E00},
      {{0xFF, 0xCA, 0x01, 0x00, 0x00}, 0x6A81},
      {{0xFF, 0xD7, 0x00, 0x05, 0x05, 0x07, 0, 0, 0, 1}, 0x6B00},
  };
  for (const auto& c : cases) EXPECT_EQ(Sw(c.first), c.second);
  EXPECT_EQ(FramesWritten(), 0u);
  EXPECT_EQ(zubsim_card_state(), ZUBSIM_STATE_AUTHENTICATED);
}

TEST_F(Handler, ValueBlockCommands) {
  ASSERT_EQ(PowerUp().size(), 20u);
  OpenSector(4);
  EXPECT_EQ(Sw({0xFF, 0xD7, 0x00, 0x05, 0x05, 0x00, 0x00, 0x00, 0x00, 0x64}), 0x9000);  // 100
  EXPECT_EQ(Sw({0xFF, 0xD7, 0x00, 0x05, 0x05, 0x01, 0x00, 0x00, 0x01, 0x00}), 0x9000);  // +256
  EXPECT_EQ(Sw({0xFF, 0xD7, 0x00, 0x05, 0x05, 0x02, 0x00, 0x00, 0x00, 0x06}), 0x9000);  // -6
  EXPECT_EQ(Transmit({0xFF, 0xB1, 0x00, 0x05, 0x04}), (Bytes{0x00, 0x00, 0x01, 0x5E, 0x90, 0x00}));
  EXPECT_EQ(Sw({0xFF, 0xD7, 0x00, 0x05, 0x02, 0x03, 0x06}), 0x9000);  // copy 5 to 6
  EXPECT_EQ(Transmit({0xFF, 0xB1, 0x00, 0x06, 0x04}), (Bytes{0x00, 0x00, 0x01, 0x5E, 0x90, 0x00}));
  EXPECT_EQ(Sw({0xFF, 0xD7, 0x00, 0x05, 0x02, 0x03, 0x09}), 0x6982);  // target in another sector
  // An increment of a block that holds no value.
  EXPECT_EQ(Sw({0xFF, 0xD7, 0x00, 0x04, 0x05, 0x01, 0x00, 0x00, 0x00, 0x01}), 0x6300);
  // Negative operands and values go through as signed 32-bit numbers.
  EXPECT_EQ(Sw({0xFF, 0xD7, 0x00, 0x06, 0x05, 0x00, 0xFF, 0xFF, 0xFF, 0xFE}), 0x9000);
  EXPECT_EQ(Transmit({0xFF, 0xB1, 0x00, 0x06, 0x04}), (Bytes{0xFF, 0xFF, 0xFF, 0xFE, 0x90, 0x00}));
}

TEST_F(Handler, ACardGoneMidSessionIsReportedAtOnceAndOnce) {
  ASSERT_EQ(PowerUp().size(), 20u);
  OpenSector(4);
  zubsim_take_out_card();
  RESPONSECODE rv;
  Transmit({0xFF, 0xB0, 0x00, 0x04, 0x10}, &rv);
  EXPECT_EQ(rv, IFD_ICC_NOT_PRESENT);
  ASSERT_EQ(zubsim_put_back_card(), 0);
  // Back already, but the sessions on it must end: absent once, then present.
  EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_NOT_PRESENT);
  EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_PRESENT);
  Transmit({0xFF, 0xCA, 0x00, 0x00, 0x00}, &rv);
  EXPECT_EQ(rv, IFD_ICC_NOT_PRESENT);  // not powered until pcscd powers it again
}

TEST_F(Handler, TheSameCardBackBeforeAPollKeepsItsConnection) {
  ASSERT_EQ(PowerUp().size(), 20u);
  OpenSector(4);
  zubsim_take_out_card();
  ASSERT_EQ(zubsim_put_back_card(), 0);
  // It lost its authentication, not its connection: 69 82 until the
  // application authenticates again, with the key still in its slot.
  RESPONSECODE rv;
  Transmit({0xFF, 0xB0, 0x00, 0x04, 0x10}, &rv);
  EXPECT_EQ(rv, IFD_SUCCESS);
  EXPECT_EQ(Sw({0xFF, 0xB0, 0x00, 0x04, 0x10}), 0x6982);
  EXPECT_EQ(Authenticate(4), 0x9000);
  EXPECT_EQ(Transmit({0xFF, 0xB0, 0x00, 0x04, 0x10}).size(), 18u);
  EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_PRESENT);
}

TEST_F(Handler, AnotherCardInItsPlaceEndsTheConnection) {
  ASSERT_EQ(PowerUp().size(), 20u);
  OpenSector(4);
  zubsim_take_out_card();
  const unsigned char uid[4] = {0xDE, 0xAD, 0xBE, 0xEF};
  ASSERT_EQ(zubsim_new_card(ZUBSIM_CARD_1K, uid), 0);
  RESPONSECODE rv;
  Transmit({0xFF, 0xB0, 0x00, 0x04, 0x10}, &rv);
  EXPECT_EQ(rv, IFD_ICC_NOT_PRESENT);
}

TEST_F(Handler, PollingFindsAPoweredCardGone) {
  ASSERT_EQ(PowerUp().size(), 20u);
  OpenSector(4);
  zubsim_take_out_card();
  EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_NOT_PRESENT);
  // Another card in its place is a new card: the old session stays over.
  const unsigned char uid[4] = {0xDE, 0xAD, 0xBE, 0xEF};
  ASSERT_EQ(zubsim_new_card(ZUBSIM_CARD_1K, uid), 0);
  RESPONSECODE rv;
  Transmit({0xFF, 0xB0, 0x00, 0x04, 0x10}, &rv);
  EXPECT_EQ(rv, IFD_ICC_NOT_PRESENT);
  EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_PRESENT);
}

TEST_F(Handler, AFailedExchangeIsRefusedAndTheSessionGoesOn) {
  ASSERT_EQ(PowerUp().size(), 20u);
  OpenSector(4);
  // The reader reads the block, but its reply never arrives.
  zubsim_fault_exchange(ZUBSIM_FAULT_NO_REPLY, 0, 1);
  EXPECT_EQ(Sw({0xFF, 0xB0, 0x00, 0x04, 0x10}), 0x6300);
  EXPECT_EQ(Sw({0xFF, 0xB0, 0x00, 0x04, 0x10}), 0x9000);
  // A damaged reply to a poll is tried again: the card stays present and
  // authenticated.
  zubsim_fault_exchange(ZUBSIM_FAULT_BAD_CHECK, 0, 1);
  EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_PRESENT);
  EXPECT_EQ(zubsim_card_state(), ZUBSIM_STATE_AUTHENTICATED);
  // An authentication that could not load its key is refused; the next one
  // goes through.
  zubsim_fault_exchange(ZUBSIM_FAULT_LOST_REQUEST, 0, 1);
  EXPECT_EQ(Authenticate(8), 0x6300);
  EXPECT_EQ(Authenticate(8), 0x9000);
  EXPECT_EQ(Sw({0xFF, 0xB0, 0x00, 0x08, 0x10}), 0x9000);
}

TEST_F(Handler, SignalsThroughControl) {
  DWORD returned = 7;
  UCHAR beep[] = {kMifareZubSignalBeep, 0x00, 0x0A};
  const unsigned before = zubsim_beep_count();
  ASSERT_EQ(IFDHControl(kLun, MIFAREZUB_IOCTL_SIGNAL, beep, sizeof beep, nullptr, 0, &returned),
            IFD_SUCCESS);
  EXPECT_EQ(returned, 0u);
  EXPECT_EQ(zubsim_beep_count(), before + 1);
  EXPECT_EQ(zubsim_beeper_on(), 0);
  UCHAR led[] = {kMifareZubSignalLed, 0x02, 0x01};
  ASSERT_EQ(IFDHControl(kLun, MIFAREZUB_IOCTL_SIGNAL, led, sizeof led, nullptr, 0, &returned),
            IFD_SUCCESS);
  EXPECT_EQ(zubsim_led_on(2), 1);
  UCHAR level[] = {kMifareZubSignalLedLevel, 0x7F};
  ASSERT_EQ(IFDHControl(kLun, MIFAREZUB_IOCTL_SIGNAL, level, sizeof level, nullptr, 0, &returned),
            IFD_SUCCESS);
  EXPECT_EQ(zubsim_led_level(), 0x7F);

  zubsim_clear_trace();
  UCHAR bad[][3] = {{kMifareZubSignalLedLevel, 0x10, 0},
                    {kMifareZubSignalBeep, 0x13, 0x89},
                    {kMifareZubSignalLed, 0x01, 0x02},
                    {0x09, 0x00, 0x00}};
  const DWORD lengths[] = {2, 3, 3, 1};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(IFDHControl(kLun, MIFAREZUB_IOCTL_SIGNAL, bad[i], lengths[i], nullptr, 0, &returned),
              IFD_NOT_SUPPORTED)
        << i;
  }
  EXPECT_EQ(IFDHControl(kLun, 0x42000000 + 3400, beep, sizeof beep, nullptr, 0, &returned),
            IFD_NOT_SUPPORTED);
  EXPECT_EQ(FramesWritten(), 0u);
}

}  // namespace
