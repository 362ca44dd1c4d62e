// The card's routes against the virtual reader, called as the server calls
// them: a read gives what `zubtool dump` gives with the same exchanges, the
// write checks refuse before any card command, an irreversible trailer needs
// its exact consequences confirmed, writes and value operations land on the
// card verified, and the key search finds what `zubtool keys` finds, writes
// the same keys file, and stops at once when cancelled.
#include "card_routes.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iomanip>
#include <sstream>
#include <string>
#include <thread>

#include "commands.h"
#include "desk_routes.h"
#include "image_json.h"
#include "mad.h"
#include "ndef.h"
#include "route_support.h"
#include "server.h"
#include "status.h"
#include "zubsim.h"

namespace zubtool {
namespace ui {
namespace {

using Clock = std::chrono::steady_clock;

const char* const kKeys[] = {"FFFFFFFFFFFF", "A0A1A2A3A4A5", "B0B1B2B3B4B5"};

// A file of the running test's own: ctest may run the tests side by side.
std::string Temp(const std::string& name) {
  return std::string(WORKBENCH_TEST_DIR) + "/card_routes_" +
         ::testing::UnitTest::GetInstance()->current_test_info()->name() + "_" + name;
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// Request frames in a trace.
int Requests(const std::string& trace) {
  int count = 0;
  std::istringstream lines(trace);
  for (std::string line; std::getline(lines, line);) count += line.rfind("-> ", 0) == 0;
  return count;
}

// Sector 1's trailer with conditions that can never be changed again.
AccessConditions Frozen() {
  AccessConditions c;
  c.group[kTrailerGroup] = 0b111;
  return c;
}
std::string FrozenTrailer() {
  return "FFFFFFFFFFFF" + HexText(EncodeAccessBits(Frozen())) + "69FFFFFFFFFFFF";
}

std::string BlockOnCard(int block) {
  const auto image = zubsim::Sim::card_image();
  return HexText(Bytes(image.begin() + 16 * block, image.begin() + 16 * block + 16));
}

class CardRoutesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FreshVirtualReader();
    for (const char* key : kKeys) keys_.push_back(*ParseHex(key));
    // Transport configuration, but sector 2 opens with keys of the list as a
    // data-by-B sector (key B not readable), sector 3 with keys of none, and
    // block 5 holds a value.
    CardImage card(*LayoutByName("1K"), Bytes(1024, 0));
    card.SetBlock(0, *ParseHex("1A7B8C54B90804006263646566676869"));
    for (int s = 0; s < 16; ++s)
      card.SetBlock(TrailerBlock(s), *ParseHex("FFFFFFFFFFFFFF078069FFFFFFFFFFFF"));
    AccessConditions byB;
    byB.group[0] = byB.group[1] = byB.group[2] = 0b000;
    byB.group[kTrailerGroup] = 0b011;
    card.SetBlock(11,
                  *ParseHex("A0A1A2A3A4A5" + HexText(EncodeAccessBits(byB)) + "00B0B1B2B3B4B5"));
    card.SetBlock(15, *ParseHex("121212121212FF078069343434343434"));
    card.SetBlock(5, EncodeValueBlock(40, 5));
    image_ = Temp("card.mfd");
    std::ofstream(image_, std::ios::binary)
        .write(reinterpret_cast<const char*>(card.Raw().data()), 1024);
    ASSERT_TRUE(zubsim::Sim::load_image(image_)) << zubsim::Sim::last_error();
    std::ofstream keysFile(Temp("keys.txt"));
    for (const char* key : kKeys) keysFile << key << "\n";
    desk_ = std::make_unique<Desk>(inv_, keys_);
    routes_ = CardRoutes(*desk_);
    for (auto& route : DeskRoutes(*desk_)) routes_.push_back(std::move(route));
  }
  void TearDown() override {
    routes_.clear();
    desk_.reset();
  }

  Reply Call(const std::string& method, const std::string& path, JsonValue body = nullptr) {
    return CallRoute(routes_, method, path, std::move(body));
  }
  Reply Post(const std::string& path, const std::string& body) {
    return Call("POST", path, JsonValue::parse(body));
  }

  // zubtool itself on the same card, over the same keys; its trace's text.
  std::string Zubtool(const std::string& command, std::string* out) {
    const std::string trace = Temp("trace.txt"), stdoutFile = Temp("stdout.txt");
    std::remove(trace.c_str());
    const std::string line = "ZUBSIM_IMAGE='" + image_ + "' ZUBSIM_TRACE='" + trace + "' '" +
                             ZUBTOOL_PATH + "' --keys-file '" + Temp("keys.txt") +
                             "' --no-default-key " + command + " > '" + stdoutFile +
                             "' 2>/dev/null";
    const int status = std::system(line.c_str());
    (void)status;  // an incomplete dump exits 1
    *out = ReadFile(stdoutFile);
    return ReadFile(trace);
  }

  JsonValue WaitForJob() {
    const auto end = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < end) {
      JsonValue job = desk_->JobJson();
      if (!job.is_null() && !job["running"].get<bool>()) return job;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ADD_FAILURE() << "the job did not end";
    return desk_->JobJson();
  }

  Invocation inv_;
  std::vector<Bytes> keys_;
  std::string image_;
  std::unique_ptr<Desk> desk_;
  std::vector<Route> routes_;
};

// The card formatted for NDEF as zubtool ndef format leaves it, sector 1 made
// read-only for good when `readOnly`. The desk's keys hold neither public key.
void LoadNdefCard(const std::string& path, bool readOnly) {
  CardImage card(*LayoutByName("1K"), Bytes(1024, 0));
  card.SetBlock(0, *ParseHex("1A7B8C54B90804006263646566676869"));
  std::vector<MadEntry> entries(16, kMadNdef);
  entries[0] = kMadFree;
  const auto mad = BuildMad(entries, 16);
  card.SetBlock(1, Bytes(mad.first.begin(), mad.first.begin() + 16));
  card.SetBlock(2, Bytes(mad.first.begin() + 16, mad.first.end()));
  const Bytes keyB = *ParseHex("FFFFFFFFFFFF");
  card.SetBlock(3, MadTrailer(1, keyB, false));
  for (int s = 1; s < 16; ++s) card.SetBlock(TrailerBlock(s), NfcTrailer(keyB, readOnly && s == 1));
  card.SetBlock(4, *ParseHex("0300FE00000000000000000000000000"));
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(card.Raw().data()), 1024);
  ASSERT_TRUE(zubsim::Sim::load_image(path)) << zubsim::Sim::last_error();
}

TEST_F(CardRoutesTest, NdefWritesWhatNdefWriteWritesAndRefusesAsItDoes) {
  const struct {
    const char* name;
    std::string body;
    bool formatted, readOnly;
    int status;
    const char* error;
  } refusals[] = {
      {"both forms", R"({"uri": "https://a", "text": "b"})", true, false, 400, "one of them"},
      {"neither", R"({"lang": "en"})", true, false, 400, "one of them"},
      {"a control character", R"({"uri": "https://a/\u0001"})", true, false, 422,
       "control character 01"},
      {"an empty language", R"({"text": "x", "lang": ""})", true, false, 422, "1 to 63 characters"},
      {"a language not ASCII", R"({"text": "x", "lang": "d\u00e9"})", true, false, 422,
       "must be ASCII"},
      {"too long", R"({"text": ")" + std::string(711, 'x') + R"("})", true, false, 422,
       "at most 716 bytes fit"},
      {"no directory", R"({"uri": "https://example.com"})", false, false, 422,
       "no application directory"},
      {"a read-only sector", R"({"uri": "https://example.com"})", true, true, 422, "read-only"},
  };
  for (const auto& c : refusals) {
    if (c.formatted) {
      LoadNdefCard(Temp("ndef.mfd"), c.readOnly);
    } else {
      ASSERT_TRUE(zubsim::Sim::load_image(image_)) << zubsim::Sim::last_error();
    }
    const auto before = zubsim::Sim::card_image();
    const Reply r = Post("/api/card/ndef", c.body);
    EXPECT_EQ(r.status, c.status) << c.name << ": " << r.json.dump();
    EXPECT_NE(r.json.value("error", "").find(c.error), std::string::npos)
        << c.name << ": " << r.json.dump();
    EXPECT_EQ(zubsim::Sim::card_image(), before) << c.name << ": the card was changed";
  }
  // Written: the published URI record in its TLV, read back by zubtool.
  LoadNdefCard(Temp("ndef.mfd"), false);
  const Reply r = Post("/api/card/ndef", R"({"uri": "https://example.com"})");
  ASSERT_EQ(r.status, 200) << r.json.dump();
  EXPECT_EQ(r.json["message"], "D1010C55046578616D706C652E636F6D");
  EXPECT_EQ(r.json["blocks"], JsonValue::parse("[4, 5]"));
  EXPECT_EQ(r.json["capacity"], 716);
  EXPECT_EQ(BlockOnCard(4), "0310D1010C55046578616D706C652E63");
  EXPECT_EQ(BlockOnCard(5), "6F6DFE00000000000000000000000000");
  const Reply t = Post("/api/card/ndef", R"({"text": "Grüße", "lang": "de"})");
  ASSERT_EQ(t.status, 200) << t.json.dump();
  // Block 5 too: the longer URI's end is cleared, not left behind the terminator.
  EXPECT_EQ(t.json["blocks"], JsonValue::parse("[4, 5]"));
  EXPECT_EQ(BlockOnCard(4), "030ED1010A540264654772C3BCC39F65");
  EXPECT_EQ(BlockOnCard(5), "FE000000000000000000000000000000");
  // zubtool reads it as the page wrote it.
  ASSERT_TRUE(zubsim::Sim::save_image(image_)) << zubsim::Sim::last_error();
  std::string out;
  Zubtool("ndef read --json", &out);
  const JsonValue read = JsonValue::parse(out.empty() ? "{}" : out);
  ASSERT_TRUE(read.contains("records")) << out;
  EXPECT_EQ(read["records"][0]["text"], "Grüße");
  EXPECT_EQ(read["records"][0]["language"], "de");
}

TEST_F(CardRoutesTest, ReadGivesWhatDumpGivesWithTheSameExchanges) {
  std::string dumpText;
  const std::string dumpTrace = Zubtool("dump --json", &dumpText);
  const JsonValue dump = JsonValue::parse(dumpText);
  zubsim::Sim::clear_trace();
  const auto start = Clock::now();
  Reply reply = Post("/api/card/read", "{}");
  // The whole card is there for the page within a second.
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
  ASSERT_EQ(reply.status, 200) << reply.json.dump();
  EXPECT_EQ(Requests(zubsim::Sim::trace()), Requests(dumpTrace));
  EXPECT_GT(Requests(dumpTrace), 64);

  const JsonValue& json = reply.json;
  EXPECT_EQ(json["card"]["uid"], "1A7B8C54");
  EXPECT_EQ(json["image"]["uid"], "1A7B8C54");
  EXPECT_TRUE(json["virtualReader"].is_string());
  EXPECT_EQ(json["complete"], false);  // sector 3 opens with no key
  EXPECT_TRUE(json["lost"].is_null());
  ASSERT_EQ(json["sectors"].size(), 16u);
  for (size_t s = 0; s < 16; ++s) {
    const JsonValue& d = dump["sectors"][s];
    const JsonValue& read = json["sectors"][s]["read"];
    EXPECT_EQ(read["keyA"], d["keyA"]) << "sector " << s;
    EXPECT_EQ(read["keyB"], d["keyB"]) << "sector " << s;
    for (size_t i = 0; i < 4; ++i) {
      const JsonValue& data = d["blocks"][i]["data"];
      const std::string held = json["image"]["blocks"][4 * s + i];
      if (data.is_null()) {
        EXPECT_EQ(held, std::string(32, '?'));
      } else if (i < 3) {
        EXPECT_EQ(held, data.get<std::string>()) << "block " << 4 * s + i;
      }
    }
  }
  const JsonValue& locked = json["sectors"][3]["read"];
  EXPECT_EQ(locked["opened"], false);
  EXPECT_NE(locked["refused"].get<std::string>().find("key A"), std::string::npos);
  EXPECT_EQ(locked["unreadable"].size(), 4u);
  EXPECT_EQ(json["sectors"][2]["read"]["keyA"], "A0A1A2A3A4A5");
  EXPECT_EQ(json["sectors"][2]["read"]["keyB"], "B0B1B2B3B4B5");
  EXPECT_EQ(json["sectors"][0]["read"]["keyBRead"], true);
  EXPECT_EQ(json["sectors"][1]["blocks"][1]["kind"], "value");
  EXPECT_EQ(json["sectors"][1]["blocks"][1]["value"]["value"], 40);
}

// The page polls the status between operations: a read after polls, and a
// read after a read, still send exactly what a dump sends.
TEST_F(CardRoutesTest, ReadsBetweenStatusPollsSendWhatDumpSends) {
  std::string dumpText;
  const int dump = Requests(Zubtool("dump", &dumpText));
  for (int round = 0; round < 3; ++round) {
    for (int poll = 0; poll < 2; ++poll) {
      Reply status = Call("GET", "/api/status");
      ASSERT_EQ(status.status, 200);
      EXPECT_EQ(status.json["card"]["uid"], "1A7B8C54");
      // As the card sends them: 04 00 for a 1K card.
      EXPECT_EQ(status.json["card"]["atqa"], "0400");
      EXPECT_EQ(status.json["card"]["sak"], "08");
    }
    zubsim::Sim::clear_trace();
    ASSERT_EQ(Post("/api/card/read", "{}").status, 200);
    EXPECT_EQ(Requests(zubsim::Sim::trace()), dump) << "round " << round;
  }
}

TEST_F(CardRoutesTest, RefusedWritesSendNoCardCommandAndLeaveTheCardAsItWas) {
  const auto before = zubsim::Sim::card_image();
  zubsim::Sim::clear_trace();
  struct Case {
    std::string body;
    int status;
    const char* error;  // part of the reason
  };
  const std::string frozen = R"({"block": 7, "data": ")" + FrozenTrailer() + R"(", "force": true})";
  const Case cases[] = {
      {R"({"block": 0, "data": "1A7B8C54B90804006263646566676869"})", 422, "\"block 0\" ticked"},
      {R"({"block": 7, "data": "FFFFFFFFFFFFFF078069FFFFFFFFFFFF"})", 422,
       "\"a trailer (force)\" ticked"},
      // Access bits not stored with their inverses.
      {R"({"block": 7, "data": "FFFFFFFFFFFFFF078169FFFFFFFFFFFF", "force": true})", 422,
       "inverses"},
      // Key A as a trailer read back shows it.
      {R"({"block": 7, "data": "000000000000FF078069FFFFFFFFFFFF", "force": true})", 422,
       "in the data, bytes 0 to 5"},
      {R"({"block": 11, "data": "FFFFFFFFFFFF7F078869000000000000", "force": true})", 422,
       "in the data, bytes 10 to 15"},
      {R"({"block": 4, "data": "0011"})", 400, "16 bytes"},
      {R"({"block": 4})", 400, "data"},
      {R"({"block": 256, "data": "00112233445566778899AABBCCDDEEFF"})", 400, "block"},
      // Frozen: nothing in sector 1 can be changed again; no confirmation given.
      {frozen, 428, "cannot be undone"},
  };
  for (const auto& c : cases) {
    Reply reply = Post("/api/card/write", c.body);
    EXPECT_EQ(reply.status, c.status) << c.body << " " << reply.json.dump();
    EXPECT_NE(reply.json["error"].get<std::string>().find(c.error), std::string::npos)
        << reply.json["error"];
  }
  EXPECT_EQ(Requests(zubsim::Sim::trace()), 0);
  EXPECT_EQ(zubsim::Sim::card_image(), before);
}

// The workbench words each refusal as the command line does, with the
// page's controls where the command line names its options (a zero key has
// words of its own: the page gives keys in the data).
TEST_F(CardRoutesTest, RefusalsAreTheCommandLinesInTheRequestsTerms) {
  const struct {
    const char* body;
    int block;
    const char* data;
    WritePermissions permissions;
  } cases[] = {
      {R"({"block": 0, "data": "1A7B8C54B90804006263646566676869"})",
       0,
       "1A7B8C54B90804006263646566676869",
       {}},
      {R"({"block": 7, "data": "FFFFFFFFFFFFFF078069FFFFFFFFFFFF"})",
       7,
       "FFFFFFFFFFFFFF078069FFFFFFFFFFFF",
       {}},
      {R"({"block": 7, "data": "B0B1B2B3B4B5FF078069FFFFFFFFFFFF", "force": true,
           "keyA": "A0A1A2A3A4A5"})",
       7,
       "B0B1B2B3B4B5FF078069FFFFFFFFFFFF",
       {true, true, false, *ParseHex("A0A1A2A3A4A5"), {}}},
  };
  for (const auto& c : cases) {
    Bytes data = *ParseHex(c.data);
    std::string expected = CheckWriteOptions(c.block, &data, c.permissions);
    ASSERT_NE(expected, "") << c.body;
    for (const auto& [option, field] :
         {std::pair<std::string, std::string>{"--force", "\"a trailer (force)\" ticked"},
          {"--block0", "\"block 0\" ticked"},
          {"--irreversible", "each consequence confirmed"},
          {" with --key-a", ""}}) {
      for (size_t at = expected.find(option); at != std::string::npos;
           at = expected.find(option, at + field.size()))
        expected.replace(at, option.size(), field);
    }
    EXPECT_EQ(Post("/api/card/write", c.body).json["error"], expected);
    EXPECT_EQ(Post("/api/check/block", c.body).json["error"], expected);
  }
}

TEST_F(CardRoutesTest, AnIrreversibleTrailerNeedsItsExactConsequencesConfirmed) {
  const std::string trailer = FrozenTrailer();
  const std::string request =
      R"({"block": 7, "data": ")" + trailer + R"(", "force": true, "confirm": )";
  Reply first = Post("/api/card/write", request + "[]}");
  ASSERT_EQ(first.status, 428);
  const JsonValue confirm = first.json["confirm"];
  ASSERT_EQ(confirm.size(), IrreversibleEffects(1, Frozen()).size());
  ASSERT_GE(confirm.size(), 2u);
  // One phrase short, and the right phrases in another order: still refused.
  JsonValue partial = confirm;
  partial.erase(partial.size() - 1);
  JsonValue swapped = confirm;
  std::swap(swapped[0], swapped[1]);
  for (const JsonValue& wrong : {partial, swapped}) {
    EXPECT_EQ(Post("/api/card/write", request + wrong.dump() + "}").status, 428);
    EXPECT_EQ(BlockOnCard(7), "FFFFFFFFFFFFFF078069FFFFFFFFFFFF");  // as it was
  }
  Reply done = Post("/api/card/write", request + confirm.dump() + "}");
  ASSERT_EQ(done.status, 200) << done.json.dump();
  EXPECT_EQ(BlockOnCard(7), FrozenTrailer());
}

// Writes meant for the card shown: another card on the reader is refused
// with the UID of the one there, and nothing changes on it.
TEST_F(CardRoutesTest, AnOperationForAnotherCardIsRefusedAndChangesNothing) {
  const auto before = zubsim::Sim::card_image();
  const std::string other = R"("cardUid": "01020304")";
  const std::pair<const char*, std::string> requests[] = {
      {"/api/card/write",
       R"({"block": 4, "data": "00112233445566778899AABBCCDDEEFF", )" + other + "}"},
      {"/api/card/value", R"({"block": 5, "op": "increment", "value": 1, )" + other + "}"},
      {"/api/card/ndef", R"({"uri": "https://example.com", )" + other + "}"},
      {"/api/card/format", "{" + other + "}"},
  };
  for (const auto& [path, body] : requests) {
    const Reply r = Post(path, body);
    EXPECT_EQ(r.status, 409) << path << " " << r.json.dump();
    EXPECT_EQ(r.json["cardUid"], "1A7B8C54") << path;
    EXPECT_NE(r.json["error"].get<std::string>().find("UID 1A7B8C54, not UID 01020304"),
              std::string::npos);
  }
  EXPECT_EQ(zubsim::Sim::card_image(), before);
  // The card meant: written.
  EXPECT_EQ(Post("/api/card/write", R"({"block": 4, "data": "00112233445566778899AABBCCDDEEFF",
                 "cardUid": "1a7b8c54"})")
                .status,
            200);
  // A format says which card it erases.
  EXPECT_EQ(Post("/api/card/format", "{}").status, 422);
}

// A trailer that changes the keys or conditions is confirmed change by
// change; the new keys join the keys to try, so the next read opens it.
TEST_F(CardRoutesTest, ATrailerChangeIsConfirmedAndItsKeysAreTriedNext) {
  const std::string request =
      R"({"block": 7, "data": "C0C1C2C3C4C5FF078069D0D1D2D3D4D5", "force": true,
          "cardUid": "1A7B8C54", "current": {"keyA": "FFFFFFFFFFFF", "keyB": "FFFFFFFFFFFF",
          "accessBits": "FF0780"}, "confirm": )";
  const Reply asked = Post("/api/card/write", request + "[]}");
  ASSERT_EQ(asked.status, 428) << asked.json.dump();
  EXPECT_EQ(asked.json["confirm"], JsonValue({"key A changes from FFFFFFFFFFFF to C0C1C2C3C4C5",
                                              "key B changes from FFFFFFFFFFFF to D0D1D2D3D4D5"}));
  EXPECT_EQ(asked.json["irreversible"], false);
  EXPECT_EQ(BlockOnCard(7), "FFFFFFFFFFFFFF078069FFFFFFFFFFFF");
  const Reply done = Post("/api/card/write", request + asked.json["confirm"].dump() + "}");
  ASSERT_EQ(done.status, 200) << done.json.dump();
  // Key B is readable under these conditions: data, not a key to try.
  EXPECT_EQ(done.json["keysAdded"], JsonValue({"C0C1C2C3C4C5"}));
  EXPECT_EQ(Post("/api/card/read", "{}").json["sectors"][1]["read"]["keyA"], "C0C1C2C3C4C5");
  // The check before writing says the same; conditions are worded by group.
  const Reply check =
      Post("/api/check/block",
           R"({"block": 7, "data": "C0C1C2C3C4C57F0788FFD0D1D2D3D4D5", "force": true,
                               "current": {"keyA": "C0C1C2C3C4C5", "keyB": null, "accessBits": "FF0780"}})");
  const JsonValue changes = check.json["changes"];
  ASSERT_EQ(changes.size(), 2u) << check.json.dump();
  EXPECT_NE(changes[0].get<std::string>().find("access changes: trailer"), std::string::npos);
  EXPECT_EQ(changes[1], "key B is set to D0D1D2D3D4D5 (what it is now is not known)");
}

TEST_F(CardRoutesTest, FormatChecksThenErasesTheSectorsItMay) {
  const Reply dry = Post("/api/card/format", R"({"dryRun": true})");
  ASSERT_EQ(dry.status, 200) << dry.json.dump();
  EXPECT_EQ(dry.json["sectors"][1]["result"], "would be formatted");
  EXPECT_EQ(dry.json["sectors"][3]["result"], "left");  // no key to try opens it
  EXPECT_EQ(BlockOnCard(5), HexText(EncodeValueBlock(40, 5)));
  const Reply done = Post("/api/card/format", R"({"cardUid": "1A7B8C54"})");
  ASSERT_EQ(done.status, 200) << done.json.dump();
  EXPECT_EQ(done.json["left"], 1);
  EXPECT_EQ(BlockOnCard(5), std::string(32, '0'));
  EXPECT_EQ(BlockOnCard(11), "FFFFFFFFFFFFFF078069FFFFFFFFFFFF");
  EXPECT_EQ(BlockOnCard(15), "121212121212FF078069343434343434");
}

// The page's messages: the header's English and the code, no library text.
TEST_F(CardRoutesTest, FailuresSpeakEnglishWithTheirCode) {
  ShowLibraryTexts(false);
  const Reply locked =
      Post("/api/card/write", R"({"block": 12, "data": "00000000000000000000000000000000"})");
  ShowLibraryTexts(true);
  const std::string error = locked.json["error"];
  EXPECT_NE(error.find("wrong key (code 4)"), std::string::npos) << error;
  for (unsigned char c : error) EXPECT_LT(c, 0x80) << error;
  EXPECT_EQ(Post("/api/card/write", R"({"block": 4, "data": "0011"})").json["error"],
            "data must be 16 bytes as 32 hex digits: '0011'");
}

TEST_F(CardRoutesTest, AVerifiedWriteLandsOnTheCard) {
  Reply reply =
      Post("/api/card/write", R"({"block": 17, "data": "00112233445566778899aabbccddeeff"})");
  ASSERT_EQ(reply.status, 200) << reply.json.dump();
  EXPECT_EQ(BlockOnCard(17), "00112233445566778899AABBCCDDEEFF");
  EXPECT_EQ(reply.json["held"], "00112233445566778899AABBCCDDEEFF");
  EXPECT_EQ(reply.json["verified"], true);
  EXPECT_EQ(reply.json["keyType"], "A");
  EXPECT_EQ(reply.json["key"], "FFFFFFFFFFFF");
  // The card written, as the read names it: the page updates the card it shows.
  EXPECT_EQ(reply.json["cardUid"], Post("/api/card/read", "{}").json["card"]["uid"]);
  // A write the card does not keep is reported, not taken for done.
  zubsim::Sim::fault_exchange(ZUBSIM_FAULT_TORN_WRITE, 10);
  Reply torn =
      Post("/api/card/write", R"({"block": 10, "data": "0102030405060708090A0B0C0D0E0F10"})");
  EXPECT_EQ(torn.status, 502) << torn.json.dump();
  EXPECT_EQ(BlockOnCard(10), std::string(32, '0'));
  // A sector no key opens: the card's refusal, with its code and block.
  Reply locked =
      Post("/api/card/write", R"({"block": 12, "data": "00000000000000000000000000000000"})");
  EXPECT_EQ(locked.status, 502);
  EXPECT_EQ(locked.json["block"], 12);
  EXPECT_TRUE(locked.json["code"].is_number());
}

TEST_F(CardRoutesTest, ValueBlocksSetIncreasedAndDecreasedVerified) {
  struct Case {
    const char* body;
    int status;
    int value;  // on the card afterwards
    int address;
  } cases[] = {
      {R"({"block": 5, "op": "set", "value": 100})", 200, 100, 5},
      {R"({"block": 5, "op": "increment", "value": 25})", 200, 125, 5},
      {R"({"block": 5, "op": "decrement", "value": 10})", 200, 115, 5},
      {R"({"block": 6, "op": "set", "value": -7, "address": 9})", 200, -7, 9},
      {R"({"block": 5, "op": "decrement", "value": -1})", 400, 115, 5},
      {R"({"block": 5, "op": "double", "value": 1})", 400, 115, 5},
  };
  for (const auto& c : cases) {
    Reply reply = Post("/api/card/value", c.body);
    ASSERT_EQ(reply.status, c.status) << c.body << " " << reply.json.dump();
    const int block = JsonValue::parse(c.body)["block"];
    auto value = DecodeValueBlock(*ParseHex(BlockOnCard(block)));
    ASSERT_TRUE(value) << c.body;
    EXPECT_EQ(value->value, c.value) << c.body;
    EXPECT_EQ(value->address, c.address) << c.body;
    if (c.status != 200) continue;
    EXPECT_EQ(reply.json["value"], c.value);
    EXPECT_EQ(reply.json["verified"], true);
    EXPECT_EQ(reply.json["held"], BlockOnCard(block));
  }
  // Not a value block, a trailer, block 0: refused, nothing changed.
  const auto before = zubsim::Sim::card_image();
  for (const char* body :
       {R"({"block": 4, "op": "increment", "value": 1})",
        R"({"block": 7, "op": "set", "value": 1})", R"({"block": 0, "op": "set", "value": 1})"}) {
    Reply reply = Post("/api/card/value", body);
    EXPECT_EQ(reply.status, 422) << body << " " << reply.json.dump();
  }
  EXPECT_EQ(zubsim::Sim::card_image(), before);
}

TEST_F(CardRoutesTest, CheckBlockDescribesTheBlockWithoutACardCommand) {
  zubsim::Sim::clear_trace();
  Reply value = Post("/api/check/block",
                     R"({"block": 5, "data": ")" + HexText(EncodeValueBlock(-3, 5)) + R"("})");
  ASSERT_EQ(value.status, 200);
  EXPECT_EQ(value.json["ok"], true);
  EXPECT_EQ(value.json["block"]["kind"], "value");
  EXPECT_EQ(value.json["block"]["value"]["value"], -3);

  Reply trailer = Post("/api/check/block",
                       R"({"block": 7, "data": ")" + FrozenTrailer() + R"(", "force": true})");
  ASSERT_EQ(trailer.status, 200);
  EXPECT_EQ(trailer.json["ok"], true);
  EXPECT_EQ(trailer.json["confirm"].size(), IrreversibleEffects(1, Frozen()).size());
  EXPECT_EQ(trailer.json["block"]["condition"], "111");
  EXPECT_EQ(trailer.json["block"]["sectorAccessWords"].size(), 4u);

  Reply unforced =
      Post("/api/check/block", R"({"block": 7, "data": "FFFFFFFFFFFFFF078069FFFFFFFFFFFF"})");
  EXPECT_EQ(unforced.json["ok"], false);
  EXPECT_NE(unforced.json["error"].get<std::string>().find("trailer"), std::string::npos);
  // Key A as the card shows it, zeros: refused, unless the key to write is given.
  const std::string zeros =
      R"({"block": 7, "data": "000000000000FF078069FFFFFFFFFFFF", "force": true)";
  EXPECT_EQ(Post("/api/check/block", zeros + "}").json["ok"], false);
  Reply given = Post("/api/check/block", zeros + R"(, "keyA": "A0A1A2A3A4A5"})");
  EXPECT_EQ(given.json["ok"], true) << given.json.dump();
  EXPECT_EQ(given.json["block"]["data"], "A0A1A2A3A4A5FF078069FFFFFFFFFFFF");
  // Block 64 is on a 4K card, not on a 1K one.
  const std::string block64 = R"({"block": 64, "data": "00000000000000000000000000000000")";
  EXPECT_EQ(Post("/api/check/block", block64 + "}").status, 400);
  EXPECT_EQ(Post("/api/check/block", block64 + R"(, "card": "4K"})").status, 200);
  EXPECT_EQ(Post("/api/check/block", block64 + R"(, "card": "MIFARE Classic 4K"})").status, 200);
  EXPECT_EQ(Post("/api/check/block", block64 + R"(, "card": "8K"})").status, 400);
  EXPECT_EQ(Requests(zubsim::Sim::trace()), 0);
}

TEST_F(CardRoutesTest, TrailerBuilderAndConditions) {
  Reply transport = Post("/api/trailer/build", R"({"sector": 1, "keyA": "FFFFFFFFFFFF",
      "keyB": "FFFFFFFFFFFF", "byte9": "69", "conditions": ["000", "000", "000", "001"]})");
  ASSERT_EQ(transport.status, 200) << transport.json.dump();
  EXPECT_EQ(transport.json["trailer"], "FFFFFFFFFFFFFF078069FFFFFFFFFFFF");
  EXPECT_EQ(transport.json["accessBits"], "FF0780");
  EXPECT_TRUE(transport.json["confirm"].empty());
  Reply frozen = Post("/api/trailer/build", R"({"sector": 1, "keyA": "A0A1A2A3A4A5",
      "keyB": "B0B1B2B3B4B5", "conditions": ["value", "000", "000", "frozen"]})");
  ASSERT_EQ(frozen.status, 200) << frozen.json.dump();
  EXPECT_EQ(frozen.json["trailer"].get<std::string>().substr(0, 12), "A0A1A2A3A4A5");
  AccessConditions c;
  c.group[0] = 0b110;
  c.group[kTrailerGroup] = 0b111;
  EXPECT_EQ(frozen.json["accessBits"], HexText(EncodeAccessBits(c)));
  EXPECT_EQ(frozen.json["confirm"].size(), IrreversibleEffects(1, c).size());
  EXPECT_EQ(Post("/api/trailer/build", R"({"sector": 1, "keyA": "FFFFFFFFFFFF",
      "keyB": "FFFFFFFFFFFF", "conditions": ["000", "000", "000"]})")
                .status,
            400);
  EXPECT_EQ(Post("/api/trailer/build", R"({"sector": 1, "keyA": "FFFF",
      "keyB": "FFFFFFFFFFFF", "conditions": ["000", "000", "000", "001"]})")
                .status,
            400);

  Reply conditions = Call("GET", "/api/conditions");
  ASSERT_EQ(conditions.json["data"].size(), 8u);
  ASSERT_EQ(conditions.json["trailer"].size(), 8u);
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(conditions.json["data"][i]["rights"], DataRightsJson(i));
    EXPECT_EQ(conditions.json["trailer"][i]["rights"], TrailerRightsJson(i));
  }
  EXPECT_EQ(conditions.json["data"][0]["words"],
            "read key A or B; write key A or B; increment key A or B; decrement, transfer, "
            "restore key A or B");
  EXPECT_EQ(conditions.json["data"][7]["words"],
            "read never; write never; increment never; decrement, transfer, restore never");
}

TEST_F(CardRoutesTest, KeySearchFindsWhatZubtoolKeysFindsAndWritesTheSameFile) {
  EXPECT_EQ(Post("/api/keys/file", "{}").status, 422);  // no search yet
  const std::string out = Temp("found.keys");
  std::remove(out.c_str());
  std::string text;
  Zubtool("keys --out '" + out + "'", &text);
  const std::string expected = ReadFile(out);
  ASSERT_FALSE(expected.empty());

  // A key that opens nothing first: the keys found move ahead of it.
  std::vector<Bytes> keys = {*ParseHex("111111111111")};
  keys.insert(keys.end(), keys_.begin(), keys_.end());
  desk_->SetKeys(keys);
  Reply started = Post("/api/keys/search", "{}");
  ASSERT_EQ(started.status, 202) << started.json.dump();
  const JsonValue job = WaitForJob();
  EXPECT_TRUE(job["error"].is_null()) << job.dump();
  EXPECT_EQ(job["done"], job["total"]);
  EXPECT_EQ(job["total"], 32);
  EXPECT_EQ(job["found"][2]["keyA"], "A0A1A2A3A4A5");
  EXPECT_EQ(job["found"][2]["keyB"], "B0B1B2B3B4B5");
  EXPECT_EQ(job["found"][3]["notFound"]["A"], true);
  EXPECT_EQ(job["found"][0]["keyBReadable"], true);
  Reply file = Post("/api/keys/file", "{}");
  ASSERT_EQ(file.status, 200);
  EXPECT_TRUE(file.file);
  EXPECT_EQ(file.bytes, expected);
  EXPECT_EQ(file.fileName, "1A7B8C54.keys");
  // The keys found come first in the keys to try, each once.
  keys = desk_->Keys();
  ASSERT_EQ(keys.size(), 4u);
  EXPECT_EQ(HexText(keys[0]), "FFFFFFFFFFFF");
  EXPECT_EQ(HexText(keys[1]), "A0A1A2A3A4A5");
  EXPECT_EQ(HexText(keys[2]), "B0B1B2B3B4B5");
  EXPECT_EQ(HexText(keys[3]), "111111111111");
}

TEST_F(CardRoutesTest, CancelStopsTheSearchAtOnceAndTheCardIsBusyWhileItRuns) {
  // Many keys, none of which opens sector 3: a long search.
  std::vector<Bytes> many = keys_;
  for (uint32_t i = 0; i < 20000; ++i) {
    many.push_back({0x5A, 0x5A, static_cast<uint8_t>(i >> 16), static_cast<uint8_t>(i >> 8),
                    static_cast<uint8_t>(i), 0x01});
  }
  desk_->SetKeys(many);
  ASSERT_EQ(Post("/api/keys/search", R"({"keyType": "A"})").status, 202);
  // Progress comes as the tries go.
  const auto end = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < end && desk_->JobJson().value("tried", 0) < 100)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  const JsonValue running = desk_->JobJson();
  ASSERT_EQ(running["running"], true) << running.dump();
  EXPECT_EQ(running["sector"], 3);
  EXPECT_EQ(running["keyType"], "A");
  EXPECT_EQ(running["total"], 16);
  Reply busy = Post("/api/card/read", "{}");
  EXPECT_EQ(busy.status, 409);
  EXPECT_EQ(busy.json["busy"], "the key search");

  const auto asked = Clock::now();
  const JsonValue stopped = desk_->Cancel().json["job"];
  // One try and a thread's wake-up: well under a second, even under a
  // sanitizer on a loaded machine (the rest of the search would take many).
  EXPECT_LT(Clock::now() - asked, std::chrono::milliseconds(2000));
  EXPECT_EQ(stopped["running"], false);
  EXPECT_EQ(stopped["cancelled"], true);
  EXPECT_LT(stopped["tried"].get<int>(), 20000);
  const int requests = Requests(zubsim::Sim::trace());
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(Requests(zubsim::Sim::trace()), requests);  // no try after the stop
  // The keys file says how far it got.
  Reply file = Post("/api/keys/file", "{}");
  EXPECT_NE(file.bytes.find("FFFFFFFFFFFF  # sector 0 key A"), std::string::npos);
  EXPECT_NE(file.bytes.find("interrupted"), std::string::npos);
  EXPECT_EQ(Post("/api/card/read", "{}").status, 200);
}

TEST_F(CardRoutesTest, ACardTakenAwayEndsTheSearchWithAnErrorAndKeepsWhatWasFound) {
  std::vector<Bytes> many = keys_;
  for (uint32_t i = 0; i < 20000; ++i)
    many.push_back({0x5A, 0x5A, static_cast<uint8_t>(i >> 16), static_cast<uint8_t>(i >> 8),
                    static_cast<uint8_t>(i), 0x02});
  desk_->SetKeys(many);
  ASSERT_EQ(Post("/api/keys/search", "{}").status, 202);
  const auto end = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < end && desk_->JobJson().value("sector", 0) < 3)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  zubsim::Sim::take_out_card();
  const JsonValue job = WaitForJob();
  ASSERT_TRUE(job["error"].is_string()) << job.dump();
  EXPECT_NE(job["error"].get<std::string>().find("lost"), std::string::npos);
  EXPECT_EQ(job["found"][2]["keyA"], "A0A1A2A3A4A5");
  EXPECT_EQ(job["found"][3]["notFound"]["A"], false);  // not searched to its end
  Reply file = Post("/api/keys/file", "{}");
  EXPECT_NE(file.bytes.find("A0A1A2A3A4A5  # sector 2 key A"), std::string::npos);
  EXPECT_EQ(file.bytes.find("sector 3 key A"), std::string::npos);
  EXPECT_EQ(Post("/api/card/read", "{}").status, 503);  // no card, and not busy
}

}  // namespace
}  // namespace ui
}  // namespace zubtool

namespace zubtool {
namespace ui {
namespace {

// A dictionary of 100,000 keys, larger than a request's body, comes in parts
// of whole lines, each within the limit: all its keys in order, duplicates
// across parts once, skipped lines numbered within the whole file, and the
// built-in list after them when the last part asks.
TEST_F(CardRoutesTest, ADictionaryLargerThanABodyComesInParts) {
  std::vector<std::string> lines;
  for (int i = 0; i < 100000; ++i) {
    std::ostringstream key;
    key << std::hex << std::uppercase << std::setw(12) << std::setfill('0') << 0xC00000000000 + i;
    lines.push_back(key.str());
  }
  lines[40000] = "not a key";
  lines[70000] = lines[10];  // the first part's key again
  size_t next = 0;
  int parts = 0;
  Reply last = Reply::Error(500, "none");
  while (next < lines.size()) {
    JsonValue body = {{"firstLine", next + 1}};
    std::string text;
    for (; next < lines.size() && text.size() < 150 * 1024; ++next) text += lines[next] + "\n";
    body["text"] = text;
    if (parts > 0) body["append"] = true;
    if (next == lines.size()) body["builtIn"] = true;
    ASSERT_LE(body.dump().size(), kBodyLimit);
    last = Post("/api/keys", body.dump());
    ASSERT_EQ(last.status, 200) << last.json.dump().substr(0, 300);
    EXPECT_EQ(last.json.contains("keys"), parts == 0) << "part " << parts;
    if (next > 40000 && next - 40000 <= 150 * 1024 / 13 + 1) {
      ASSERT_EQ(last.json["skipped"].size(), 1u);
      EXPECT_EQ(last.json["skipped"][0]["line"], 40001);
    }
    ++parts;
  }
  EXPECT_GE(parts, 6);
  const size_t builtIn = BuiltInKeys().size();
  EXPECT_EQ(last.json["count"].get<size_t>(), 99998 + builtIn);
  const JsonValue keys = Call("GET", "/api/keys").json["keys"];
  ASSERT_GE(keys.size(), 99998u);
  EXPECT_EQ(keys[0], lines[0]);
  EXPECT_EQ(keys[39999], lines[39999]);
  EXPECT_EQ(keys[40000], lines[40001]);
  EXPECT_EQ(keys[99997], lines[99999]);
  EXPECT_EQ(Call("GET", "/api/status").json["keys"].get<size_t>(), keys.size());

  // A part of no key adds none and keeps the list; a first part of none is
  // refused and keeps it too.
  Reply none = Post("/api/keys", R"({"text": "# comments only\n", "append": true})");
  EXPECT_EQ(none.status, 200);
  EXPECT_EQ(none.json["added"], 0);
  EXPECT_EQ(Post("/api/keys", R"({"text": "# comments only\n"})").status, 400);
  EXPECT_EQ(Call("GET", "/api/keys").json["keys"].size(), keys.size());
  EXPECT_EQ(Post("/api/keys", R"({"text": "FFFFFFFFFFFF", "firstLine": 0})").status, 400);
}

}  // namespace
}  // namespace ui
}  // namespace zubtool
