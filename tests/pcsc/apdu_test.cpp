// The pseudo-APDU parser and the other pure parts of the PC/SC driver.
#include "apdu.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "device_name.h"

namespace mzpcsc {
namespace {

using Bytes = std::vector<uint8_t>;

Parsed Parse(const Bytes& apdu) {
  return ParseApdu(apdu.data(), apdu.size());
}

Bytes Concat(Bytes head, const Bytes& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

const Bytes kKey = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
const Bytes kBlock = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

// Every APDU that is answered at once, with the status word it gets.
struct Refusal {
  const char* what;
  Bytes apdu;
  uint16_t sw;
};

TEST(ApduParser, RefusesWhatItCannotRunWithTheRightStatusWord) {
  const Refusal cases[] = {
      {"empty", {}, kSwWrongLength},
      {"three bytes", {0xFF, 0xCA, 0x00}, kSwWrongLength},
      {"ISO class", {0x00, 0xA4, 0x04, 0x00, 0x00}, kSwUnknownClass},
      {"class 80", {0x80, 0xCA, 0x00, 0x00, 0x00}, kSwUnknownClass},
      {"unknown instruction", {0xFF, 0x00, 0x00, 0x00, 0x00}, kSwUnknownInstruction},
      {"ISO select under FF", {0xFF, 0xA4, 0x00, 0x00, 0x00}, kSwUnknownInstruction},
      {"get data ATS", {0xFF, 0xCA, 0x01, 0x00, 0x00}, kSwNotSupported},
      {"get data P1 02", {0xFF, 0xCA, 0x02, 0x00, 0x00}, kSwWrongParameters},
      {"get data P2 01", {0xFF, 0xCA, 0x00, 0x01, 0x00}, kSwWrongParameters},
      {"get data without Le", {0xFF, 0xCA, 0x00, 0x00}, kSwWrongLength},
      {"get data Le 2", {0xFF, 0xCA, 0x00, 0x00, 0x02}, kSwWrongLength},
      {"get data with data", {0xFF, 0xCA, 0x00, 0x00, 0x01, 0x00}, kSwWrongLength},
      {"load keys Lc 5", Concat({0xFF, 0x82, 0x00, 0x00, 0x05}, {1, 2, 3, 4, 5}), kSwWrongLength},
      {"load keys short data", Concat({0xFF, 0x82, 0x00, 0x00, 0x06}, {1, 2, 3, 4, 5}),
       kSwWrongLength},
      {"load keys extra data", Concat({0xFF, 0x82, 0x00, 0x00, 0x06}, {1, 2, 3, 4, 5, 6, 7, 8}),
       kSwWrongLength},
      {"load keys non-volatile", Concat({0xFF, 0x82, 0x20, 0x00, 0x06}, kKey), kSwWrongParameters},
      {"load keys slot 32", Concat({0xFF, 0x82, 0x00, 0x20, 0x06}, kKey), kSwWrongParameters},
      {"authenticate Lc 4", {0xFF, 0x86, 0x00, 0x00, 0x04, 0x01, 0x00, 0x04, 0x60}, kSwWrongLength},
      {"authenticate version 2",
       {0xFF, 0x86, 0x00, 0x00, 0x05, 0x02, 0x00, 0x04, 0x60, 0x00},
       kSwWrongParameters},
      {"authenticate key type 62",
       {0xFF, 0x86, 0x00, 0x00, 0x05, 0x01, 0x00, 0x04, 0x62, 0x00},
       kSwWrongParameters},
      {"authenticate slot 40",
       {0xFF, 0x86, 0x00, 0x00, 0x05, 0x01, 0x00, 0x04, 0x60, 0x40},
       kSwWrongParameters},
      {"authenticate P1",
       {0xFF, 0x86, 0x01, 0x00, 0x05, 0x01, 0x00, 0x04, 0x60, 0x00},
       kSwWrongParameters},
      {"old authenticate short", {0xFF, 0x88, 0x00, 0x04, 0x60}, kSwWrongLength},
      {"old authenticate key type", {0xFF, 0x88, 0x00, 0x04, 0x0A, 0x00}, kSwWrongParameters},
      {"read Le 15", {0xFF, 0xB0, 0x00, 0x04, 0x0F}, kSwWrongLength},
      {"read Le 32", {0xFF, 0xB0, 0x00, 0x04, 0x20}, kSwWrongLength},
      {"read without Le", {0xFF, 0xB0, 0x00, 0x04}, kSwWrongLength},
      {"update Lc 15", Concat({0xFF, 0xD6, 0x00, 0x04, 0x0F}, Bytes(15, 0)), kSwWrongLength},
      {"update Lc 16, 15 bytes", Concat({0xFF, 0xD6, 0x00, 0x04, 0x10}, Bytes(15, 0)),
       kSwWrongLength},
      {"update Lc 16, 18 bytes", Concat({0xFF, 0xD6, 0x00, 0x04, 0x10}, Bytes(18, 0)),
       kSwWrongLength},
      {"update extended length", Concat({0xFF, 0xD6, 0x00, 0x04, 0x00, 0x00, 0x10}, kBlock),
       kSwWrongLength},
      {"value op 03", {0xFF, 0xD7, 0x00, 0x05, 0x05, 0x03, 0, 0, 0, 1}, kSwWrongParameters},
      {"value Lc 4", {0xFF, 0xD7, 0x00, 0x05, 0x04, 0x01, 0, 0, 1}, kSwWrongLength},
      {"value short data", {0xFF, 0xD7, 0x00, 0x05, 0x05, 0x01, 0, 0, 1}, kSwWrongLength},
      {"restore without 03", {0xFF, 0xD7, 0x00, 0x05, 0x02, 0x04, 0x06}, kSwWrongParameters},
      {"read value Le 2", {0xFF, 0xB1, 0x00, 0x05, 0x02}, kSwWrongLength},
      {"read value with data", {0xFF, 0xB1, 0x00, 0x05, 0x01, 0x00}, kSwWrongLength},
  };
  for (const Refusal& c : cases) {
    EXPECT_EQ(Parse(c.apdu).sw, c.sw) << c.what;
  }
}

TEST(ApduParser, GetDataTakesAnyLeThatHoldsTheUid) {
  for (uint8_t le : {0x00, 0x04, 0x0A, 0xFF}) {
    const Parsed p = Parse({0xFF, 0xCA, 0x00, 0x00, le});
    ASSERT_EQ(p.sw, kSwOk) << int(le);
    EXPECT_EQ(p.command.op, Op::kGetUid);
    EXPECT_EQ(p.command.maxResponse, le == 0 ? 256u : le);
  }
}

TEST(ApduParser, LoadKeysKeepsSlotAndKey) {
  Parsed p = Parse(Concat({0xFF, 0x82, 0x00, 0x1F, 0x06}, kKey));
  ASSERT_EQ(p.sw, kSwOk);
  EXPECT_EQ(p.command.op, Op::kLoadKey);
  EXPECT_EQ(p.command.keySlot, 0x1F);
  EXPECT_EQ(Bytes(p.command.key, p.command.key + 6), kKey);
  // A trailing Le, as hosts that send everything as case 4 add, is taken.
  p = Parse(Concat(Concat({0xFF, 0x82, 0x00, 0x01, 0x06}, kKey), {0x00}));
  EXPECT_EQ(p.sw, kSwOk);
}

TEST(ApduParser, BothAuthenticateFormsGiveTheSameCommand) {
  const Parsed general = Parse({0xFF, 0x86, 0x00, 0x00, 0x05, 0x01, 0x00, 0x3C, 0x61, 0x02});
  const Parsed old = Parse({0xFF, 0x88, 0x00, 0x3C, 0x61, 0x02});
  for (const Parsed& p : {general, old}) {
    ASSERT_EQ(p.sw, kSwOk);
    EXPECT_EQ(p.command.op, Op::kAuthenticate);
    EXPECT_EQ(p.command.block, 0x3C);
    EXPECT_EQ(p.command.keyType, KeyType::kB);
    EXPECT_EQ(p.command.keySlot, 2);
  }
  // The address is 16 bits; whether the card has the block is checked later.
  EXPECT_EQ(Parse({0xFF, 0x86, 0x00, 0x00, 0x05, 0x01, 0x01, 0x00, 0x60, 0x00}).command.block,
            0x100);
}

TEST(ApduParser, ReadAndUpdateAddressTheBlockByP1P2) {
  Parsed p = Parse({0xFF, 0xB0, 0x00, 0xFF, 0x10});
  ASSERT_EQ(p.sw, kSwOk);
  EXPECT_EQ(p.command.op, Op::kReadBlock);
  EXPECT_EQ(p.command.block, 0xFF);
  EXPECT_EQ(Parse({0xFF, 0xB0, 0x01, 0x00, 0x00}).command.block, 0x100);

  p = Parse(Concat({0xFF, 0xD6, 0x00, 0x04, 0x10}, kBlock));
  ASSERT_EQ(p.sw, kSwOk);
  EXPECT_EQ(p.command.op, Op::kUpdateBlock);
  EXPECT_EQ(p.command.block, 4);
  EXPECT_EQ(Bytes(p.command.data, p.command.data + 16), kBlock);
}

TEST(ApduParser, ValueCommandsTakeTheOperandMostSignificantByteFirst) {
  struct Case {
    uint8_t op;
    Op expected;
  } cases[] = {{0x00, Op::kStoreValue}, {0x01, Op::kIncrement}, {0x02, Op::kDecrement}};
  for (const Case& c : cases) {
    const Parsed p = Parse({0xFF, 0xD7, 0x00, 0x05, 0x05, c.op, 0x80, 0x00, 0x01, 0x02});
    ASSERT_EQ(p.sw, kSwOk);
    EXPECT_EQ(p.command.op, c.expected);
    EXPECT_EQ(p.command.block, 5);
    EXPECT_EQ(p.command.value, static_cast<int32_t>(0x80000102u));
  }
  const Parsed restore = Parse({0xFF, 0xD7, 0x00, 0x05, 0x02, 0x03, 0x06});
  ASSERT_EQ(restore.sw, kSwOk);
  EXPECT_EQ(restore.command.op, Op::kRestoreTransfer);
  EXPECT_EQ(restore.command.block, 5);
  EXPECT_EQ(restore.command.target, 6);

  const Parsed read = Parse({0xFF, 0xB1, 0x00, 0x05, 0x04});
  ASSERT_EQ(read.sw, kSwOk);
  EXPECT_EQ(read.command.op, Op::kReadValue);
}

TEST(StorageCardAtr, NamesTheCardAndChecksOut) {
  uint8_t atr[kAtrSize];
  ASSERT_EQ(StorageCardAtr(CardKind::kClassic1K, atr), kAtrSize);
  const Bytes k1K = {0x3B, 0x8F, 0x80, 0x01, 0x80, 0x4F, 0x0C, 0xA0, 0x00, 0x00,
                     0x03, 0x06, 0x03, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x6A};
  EXPECT_EQ(Bytes(atr, atr + kAtrSize), k1K);
  StorageCardAtr(CardKind::kClassic4K, atr);
  EXPECT_EQ(atr[14], 0x02);
  EXPECT_EQ(atr[19], 0x69);
}

TEST(CardLayout, SakBlocksAndSectors) {
  CardKind kind;
  ASSERT_TRUE(KindFromSak(0x08, &kind));
  EXPECT_EQ(BlockCount(kind), 64u);
  ASSERT_TRUE(KindFromSak(0x18, &kind));
  EXPECT_EQ(BlockCount(kind), 256u);
  ASSERT_TRUE(KindFromSak(0x88, &kind));  // an NXP 1K with bit 7 set
  EXPECT_EQ(kind, CardKind::kClassic1K);
  EXPECT_FALSE(KindFromSak(0x20, &kind));  // ISO 14443-4 only
  EXPECT_FALSE(KindFromSak(0x00, &kind));
  EXPECT_FALSE(KindFromSak(0x04, &kind));  // UID not complete

  EXPECT_EQ(SectorOf(127), 31u);
  EXPECT_EQ(SectorOf(128), 32u);
  EXPECT_EQ(SectorOf(143), 32u);
  EXPECT_EQ(SectorOf(255), 39u);
  EXPECT_EQ(FirstBlockOf(31), 124u);
  EXPECT_EQ(FirstBlockOf(39), 240u);
}

TEST(CardLayout, EverySakAsTheCardModelTellsIt) {
  // Every SAK: the memory bits alone decide (bits 0x20, 0x40 and 0x80 say
  // what else the chip speaks), a Classic 2K is not offered, and a MIFARE
  // Plus in security level 2 (0x10, 0x11), which takes an AES
  // authentication first, is not a Classic card to this reader.
  for (int sak = 0; sak < 256; ++sak) {
    bool expected = true;
    CardKind expectedKind = CardKind::kClassic1K;
    switch (sak & 0x1F) {
      case 0x08:
        break;
      case 0x18:
        expectedKind = CardKind::kClassic4K;
        break;
      case 0x09:
        expectedKind = CardKind::kClassicMini;
        break;
      default:
        expected = false;
    }
    CardKind kind = CardKind::kClassic1K;
    ASSERT_EQ(KindFromSak(static_cast<uint8_t>(sak), &kind), expected) << sak;
    if (expected) {
      EXPECT_EQ(kind, expectedKind) << sak;
    }
  }
}

TEST(ValueBlocks, RoundTripAndRejectBrokenCopies) {
  uint8_t block[16];
  MakeValueBlock(1234567, 17, block);
  const Bytes expected = {0x87, 0xD6, 0x12, 0x00, 0x78, 0x29, 0xED, 0xFF,
                          0x87, 0xD6, 0x12, 0x00, 0x11, 0xEE, 0x11, 0xEE};
  EXPECT_EQ(Bytes(block, block + 16), expected);
  int32_t value = 0;
  ASSERT_TRUE(ParseValueBlock(block, &value));
  EXPECT_EQ(value, 1234567);
  MakeValueBlock(-5, 4, block);
  ASSERT_TRUE(ParseValueBlock(block, &value));
  EXPECT_EQ(value, -5);
  for (int i = 0; i < 16; ++i) {
    uint8_t broken[16];
    MakeValueBlock(-5, 4, broken);
    broken[i] ^= 0x01;
    EXPECT_FALSE(ParseValueBlock(broken, &value)) << "byte " << i;
  }
}

TEST(DeviceNames, IndexesAndPcscdUsbNames) {
  struct Case {
    const char* name;
    DeviceName::Kind kind;
    int index, bus, address;
  } cases[] = {
      {"0", DeviceName::kIndex, 0, -1, -1},
      {"mifarezub:7", DeviceName::kIndex, 7, -1, -1},
      {"mifarezub:256", DeviceName::kInvalid, 0, -1, -1},
      {"/dev/ttyS0", DeviceName::kInvalid, 0, -1, -1},
      {"usb:1a86/5537", DeviceName::kUsb, 0, -1, -1},
      {"usb:1a86/5537:libudev:0:/dev/bus/usb/003/012", DeviceName::kUsb, 0, 3, 12},
      {"usb:4348/5537:libusb-1.0:2:9:0", DeviceName::kUsb, 0, 2, 9},
      {"usb:1a86/5537:libudev:0:/dev/bus/usb/x/12", DeviceName::kUsb, 0, -1, -1},
      {"usb:1a86/5537:something-new:1:2", DeviceName::kUsb, 0, -1, -1},
  };
  for (const Case& c : cases) {
    const DeviceName d = ParseDeviceName(c.name);
    EXPECT_EQ(d.kind, c.kind) << c.name;
    if (d.kind == DeviceName::kIndex) {
      EXPECT_EQ(d.index, c.index) << c.name;
    }
    if (d.kind == DeviceName::kUsb) {
      EXPECT_EQ(d.bus, c.bus) << c.name;
      EXPECT_EQ(d.address, c.address) << c.name;
    }
  }
}

TEST(DeviceNames, IndexFollowsBusThenPortPathThenAddress) {
  // Listed in no particular order, as sysfs does.
  const std::vector<UsbPlace> readers = {{2, {1}, 5}, {1, {3, 1}, 9}, {1, {3}, 4}, {1, {1, 4}, 20}};
  EXPECT_EQ(IndexAmong(readers, 1, 20), 0);
  EXPECT_EQ(IndexAmong(readers, 1, 4), 1);
  EXPECT_EQ(IndexAmong(readers, 1, 9), 2);
  EXPECT_EQ(IndexAmong(readers, 2, 5), 3);
  EXPECT_EQ(IndexAmong(readers, 2, 6), -1);
}

// A sysfs-like tree: devices named BUS-PORT.PORT with their attributes,
// interfaces and root hubs beside them, as /sys/bus/usb/devices has them.
class SysfsTree : public ::testing::Test {
 protected:
  void SetUp() override {
    // One tree per test and process: ctest runs the cases side by side.
    root_ = std::filesystem::path(::testing::TempDir()) /
            ("mifarezub_sysfs_" +
             std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "_" +
             std::to_string(static_cast<long>(getpid())));
    std::filesystem::remove_all(root_);
    std::filesystem::create_directories(root_ / "usb1");
    std::filesystem::create_directories(root_ / "1-1:1.0");
  }
  void TearDown() override { std::filesystem::remove_all(root_); }

  void Device(const std::string& name, const char* vendor, const char* product, int bus,
              int address) {
    const std::filesystem::path dir = root_ / name;
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "idVendor") << vendor << "\n";
    std::ofstream(dir / "idProduct") << product << "\n";
    std::ofstream(dir / "busnum") << bus << "\n";
    std::ofstream(dir / "devnum") << address << "\n";
  }

  std::filesystem::path root_;
};

TEST_F(SysfsTree, PcscdNamesMapToTheVendorIndex) {
  Device("2-1", "1a86", "5537", 2, 3);
  Device("1-1.4", "4348", "5537", 1, 9);
  Device("1-1", "1a86", "5537", 1, 12);
  Device("1-1.2", "1a86", "7523", 1, 5);  // another chip: not a reader
  const std::string tree = root_.string();
  EXPECT_EQ(ListReaders(tree).size(), 3u);
  EXPECT_EQ(DeviceIndexFor("usb:1a86/5537:libudev:0:/dev/bus/usb/001/012", tree), 0);
  EXPECT_EQ(DeviceIndexFor("usb:4348/5537:libudev:0:/dev/bus/usb/001/009", tree), 1);
  EXPECT_EQ(DeviceIndexFor("usb:1a86/5537:libusb-1.0:2:3:0", tree), 2);
  // Gone by now, or a name without a place: the first reader.
  EXPECT_EQ(DeviceIndexFor("usb:1a86/5537:libudev:0:/dev/bus/usb/003/001", tree), 0);
  EXPECT_EQ(DeviceIndexFor("usb:1a86/5537", tree), 0);
  EXPECT_EQ(DeviceIndexFor("mifarezub:4", tree), 4);
  EXPECT_EQ(DeviceIndexFor("COM1", tree), -1);
  EXPECT_TRUE(ListReaders((root_ / "missing").string()).empty());
}

TEST_F(SysfsTree, ExtraUsbIdsCountAsTheVendorCallsCountThem) {
  Device("1-2", "1a86", "5537", 1, 7);
  Device("1-1", "abcd", "1234", 1, 4);
  const std::string tree = root_.string();
  const char* name = "usb:1a86/5537:libusb-1.0:1:7:0";
  unsetenv("MIFAREZUB_USB_IDS");
  EXPECT_EQ(DeviceIndexFor(name, tree), 0);
  setenv("MIFAREZUB_USB_IDS", "dead:beef, ABCD:1234", 1);
  EXPECT_EQ(DeviceIndexFor(name, tree), 1);
  setenv("MIFAREZUB_USB_IDS", "abcd:12345;abcd", 1);  // neither entry parses as that ID
  EXPECT_EQ(DeviceIndexFor(name, tree), 0);
  unsetenv("MIFAREZUB_USB_IDS");
}

}  // namespace
}  // namespace mzpcsc
