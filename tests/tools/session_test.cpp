// The card session on its own, against a card in memory: which calls a key
// search makes, when the card is woken again, and what a refusal reports.
#include <gtest/gtest.h>

#include <map>

#include "session.h"

namespace zubtool {
namespace {

// A reader with one 1K card in its field that knows only what a session
// needs: the card's states, each sector's two keys, and the key store. Every
// call is recorded as a short word ("request", "auth A 3 s1", ...).
class FakeReader : public CardCalls {
 public:
  enum State { kIdle, kReady, kActive, kAuthenticated };
  std::string serial = "1A7B8C54B9";
  bool present = true;
  State state = kIdle;
  std::map<int, Bytes> keyA, keyB;  // by sector; missing: FFFFFFFFFFFF
  std::vector<std::string> calls;
  Bytes slots[2][kSlots];
  int authSector = -1, authType = -1;
  // Sectors whose access conditions refuse reads to key A.
  std::vector<int> readOnlyByB;

  int32_t Request(bool, uint16_t* atqa) override {
    calls.push_back("request");
    if (!present || state != kIdle) return kNoCard;
    state = kReady;
    *atqa = 0x0400;
    return 0;
  }
  int32_t Anticollision(std::string* out) override {
    calls.push_back("anticollision");
    if (state != kReady) return kNoCard;
    *out = serial;
    return 0;
  }
  int32_t Select(const std::string& s, uint8_t* sak) override {
    calls.push_back("select");
    if (state != kReady || s != serial) return kNoCard;
    state = kActive;
    *sak = 0x08;
    return 0;
  }
  int32_t LoadKey(int type, int slot, const Bytes& key) override {
    calls.push_back("load " + std::string(KeyName(type)) + " " + std::to_string(slot));
    slots[type][slot] = key;
    return 0;
  }
  int32_t Authenticate(int type, int slot, int block) override {
    const int sector = SectorOfBlock(block);
    calls.push_back("auth " + std::string(KeyName(type)) + " " + std::to_string(slot) + " s" +
                    std::to_string(sector));
    if (state != kActive && state != kAuthenticated) return kNoCard;
    auto& keys = type == kKeyA ? keyA : keyB;
    Bytes key = keys.count(sector) ? keys[sector] : Bytes(6, 0xFF);
    if (slots[type][slot] != key) {
      state = kIdle;  // a card that refuses goes back to idle
      return 4;
    }
    state = kAuthenticated;
    authSector = sector;
    authType = type;
    return 0;
  }
  int32_t Read(int block, Bytes* data) override {
    calls.push_back("read " + std::to_string(block));
    if (state != kAuthenticated || SectorOfBlock(block) != authSector) return kNoCard;
    for (int s : readOnlyByB) {
      if (s == authSector && authType == kKeyA) return kNoPermission;
    }
    *data = Bytes(16, static_cast<uint8_t>(block));
    return 0;
  }
  int32_t Write(int, const Bytes&) override { return 0; }
  int32_t Increment(int, int32_t) override { return 0; }
  int32_t Decrement(int, int32_t) override { return 0; }
  int32_t Transfer(int) override { return 0; }
  int32_t Halt() override { return 0; }
};

Bytes Key(uint8_t b) {
  return Bytes(6, b);
}

TEST(CardSession, ARefusedKeyCostsOneWakeAndSelectBeforeTheNextTry) {
  FakeReader reader;
  reader.keyA[1] = Key(0x22);
  CardSession session(reader, {Key(0x11), Key(0x22), Key(0xFF)});
  ASSERT_EQ(session.Find(), 0);
  EXPECT_EQ(session.Info().layout.sectors, 16);
  reader.calls.clear();

  int32_t result;
  EXPECT_EQ(session.FindKey(4, kKeyA, &result), 1);
  EXPECT_EQ(result, 0);
  const std::vector<std::string> expected = {
      "load A 0", "auth A 0 s1",                             // refused
      "request",  "select",      "load A 1", "auth A 1 s1",  // opens it
  };
  EXPECT_EQ(reader.calls, expected);

  // The keys stay in the reader: the next sector loads only the key it had
  // not needed yet.
  reader.calls.clear();
  EXPECT_EQ(session.FindKey(8, kKeyA, &result), 2);
  const std::vector<std::string> next = {"auth A 0 s2", "request", "select",   "auth A 1 s2",
                                         "request",     "select",  "load A 2", "auth A 2 s2"};
  EXPECT_EQ(reader.calls, next);
}

TEST(CardSession, KeysBeyondTheReadersSlotsShareThem) {
  FakeReader reader;
  std::vector<Bytes> keys;
  for (int i = 0; i < 300; ++i) keys.push_back({0, 0, 0, 0, uint8_t(i >> 8), uint8_t(i)});
  reader.keyA[0] = keys[299];
  CardSession session(reader, keys);
  ASSERT_EQ(session.Find(), 0);
  int32_t result;
  EXPECT_EQ(session.FindKey(0, kKeyA, &result), 299);
  EXPECT_EQ(reader.calls.back(), "auth A 43 s0");
  // Key 43 had taken slot 43 first; trying it again loads it back.
  reader.calls.clear();
  reader.keyA[0] = keys[43];
  EXPECT_EQ(session.FindKey(0, kKeyA, &result), 43);
  EXPECT_EQ(std::count(reader.calls.begin(), reader.calls.end(), "load A 43"), 1);
  EXPECT_EQ(reader.calls.back(), "auth A 43 s0");
}

TEST(CardSession, KeyBGetsItsTurnWhenTheConditionsRefuseKeyA) {
  FakeReader reader;
  reader.readOnlyByB = {1};
  reader.keyB[1] = Key(0xB0);
  CardSession session(reader, {Key(0xFF), Key(0xB0)});
  ASSERT_EQ(session.Find(), 0);
  Bytes data;
  Access access = WithAccess(session, std::nullopt, 5, [&] { return reader.Read(5, &data); });
  EXPECT_EQ(access.result, 0);
  EXPECT_EQ(access.keyType, kKeyB);
  EXPECT_EQ(access.keyIndex, 1);
  EXPECT_EQ(data, Bytes(16, 5));

  // With the key type fixed to A, key B is never tried.
  reader.calls.clear();
  access = WithAccess(session, kKeyA, 5, [&] { return reader.Read(5, &data); });
  EXPECT_EQ(access.result, kNoPermission);
  EXPECT_TRUE(access.authenticated);
  for (const auto& call : reader.calls) EXPECT_EQ(call.find("auth B"), std::string::npos) << call;
}

TEST(CardSession, TheKeyThatOpenedASectorIsTriedFirstAndAReadableKeyBEndsTheSearch) {
  FakeReader reader;
  reader.keyA[3] = Key(0x33);
  CardSession session(reader, {Key(0x11), Key(0x22), Key(0x33)});
  ASSERT_EQ(session.Find(), 0);
  int32_t result;
  EXPECT_EQ(session.FindKey(12, kKeyA, &result), 2);
  reader.calls.clear();
  size_t tries = 0;
  EXPECT_EQ(session.FindKey(13, kKeyA, &result, {}, [&](size_t n) { tries = n; }), 2);
  EXPECT_EQ(tries, 1u);
  EXPECT_EQ(reader.calls, std::vector<std::string>{"auth A 2 s3"});
  // Preferred keys come before the rest.
  reader.keyA[4] = Key(0x22);
  reader.calls.clear();
  EXPECT_EQ(session.FindKey(16, kKeyA, &result, {1}), 1);
  EXPECT_EQ(reader.calls, std::vector<std::string>{"auth A 1 s4"});

  // Where the card answers 16 (key B readable), no other key is tried.
  struct ReadableB : FakeReader {
    int32_t Authenticate(int type, int slot, int block) override {
      if (type == kKeyB) {
        calls.push_back("auth B");
        state = kIdle;
        return kNoPermission;
      }
      return FakeReader::Authenticate(type, slot, block);
    }
  } readable;
  CardSession b(readable, {Key(0x11), Key(0x22), Key(0xFF)});
  ASSERT_EQ(b.Find(), 0);
  EXPECT_EQ(b.FindKey(0, kKeyB, &result), -1);
  EXPECT_EQ(result, kNoPermission);
  EXPECT_EQ(std::count(readable.calls.begin(), readable.calls.end(), "auth B"), 1);
}

TEST(CardSession, NoKeyOpensTheSector) {
  FakeReader reader;
  reader.keyA[2] = Key(0xA2);
  reader.keyB[2] = Key(0xB2);
  CardSession session(reader, {Key(0x01), Key(0xFF)});
  ASSERT_EQ(session.Find(), 0);
  bool ran = false;
  Access access = WithAccess(session, std::nullopt, 9, [&] {
    ran = true;
    return 0;
  });
  EXPECT_FALSE(ran);
  EXPECT_FALSE(access.authenticated);
  EXPECT_EQ(access.refused[kKeyA], 4);
  EXPECT_EQ(access.refused[kKeyB], 4);
  EXPECT_EQ(access.result, 4);
  EXPECT_EQ(session.Lost(), 0);
}

TEST(CardSession, ACardTakenAwayOrSwappedEndsTheSession) {
  FakeReader reader;
  reader.keyA[1] = Key(0x22);
  CardSession session(reader, {Key(0x11), Key(0x22)});
  ASSERT_EQ(session.Find(), 0);
  reader.present = false;
  int32_t result;
  EXPECT_EQ(session.FindKey(4, kKeyA, &result), -1);
  EXPECT_EQ(session.Lost(), kNoCard);
  // Nothing more is sent once the card is lost.
  reader.calls.clear();
  EXPECT_EQ(session.Authenticate(4, kKeyA, 1), kNoCard);
  EXPECT_TRUE(reader.calls.empty());

  FakeReader swapped;
  CardSession other(swapped, {Key(0x11), Key(0xFF)});
  ASSERT_EQ(other.Find(), 0);
  swapped.serial = "0102030404";
  EXPECT_EQ(other.FindKey(0, kKeyA, &result), -1);
  EXPECT_NE(other.Lost(), 0);
  EXPECT_NE(other.LostReason().find("another card"), std::string::npos);
  EXPECT_EQ(std::count(swapped.calls.begin(), swapped.calls.end(), "select"), 2);
}

}  // namespace
}  // namespace zubtool
