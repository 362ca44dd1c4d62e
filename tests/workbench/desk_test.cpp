// The desk against the virtual reader: one card operation at a time, the card
// found again after the operation before left it selected, a job that holds
// the card until it is cancelled, and a reader or card that is not there.
#include "desk.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <string>

#include "route_support.h"
#include "zubsim.h"

namespace zubtool {
namespace ui {
namespace {

class DeskTest : public ::testing::Test {
 protected:
  void SetUp() override { FreshVirtualReader(); }
  // Frames sent to the reader so far.
  static int Exchanges() { return TraceLines(); }
  Invocation inv_;
};

Reply Uid(CardSession& session) {
  JsonValue json = JsonValue::object();
  json["uid"] = HexText(session.Info().serial.uid);
  return Reply::Ok(json);
}

TEST_F(DeskTest, FindsTheCardAgainAfterTheOperationBeforeLeftItSelected) {
  Desk desk(inv_, {});
  for (int i = 0; i < 3; ++i) {
    Reply reply = desk.WithCard("uid", Uid);
    ASSERT_EQ(reply.status, 200) << reply.json.dump();
    EXPECT_EQ(reply.json["uid"], "1A7B8C54");
  }
  EXPECT_EQ(desk.LastCard()["uid"], "1A7B8C54");
  EXPECT_EQ(desk.LastCard()["type"], "MIFARE Classic 1K");
  EXPECT_EQ(desk.ReaderJson()["open"], true);
  EXPECT_TRUE(desk.ReaderJson()["virtual"].is_string());
}

// The keys to try, as given; an operation's session tries them in that order,
// and keys set while a session runs are the next operation's.
TEST_F(DeskTest, SessionsTryTheKeysAsLastSet) {
  const std::vector<Bytes> keys = {*ParseHex("A0A1A2A3A4A5"), *ParseHex("FFFFFFFFFFFF")};
  Desk desk(inv_, keys);
  EXPECT_EQ(desk.Keys(), keys);
  EXPECT_EQ(desk.KeyCount(), 2u);
  auto seen = [&desk] {
    std::vector<Bytes> tried;
    desk.WithCard("keys", [&](CardSession& session) {
      for (size_t i = 0; i < session.Keys().size(); ++i) tried.push_back(session.Keys()[i]);
      desk.SetKeys({*ParseHex("B0B1B2B3B4B5")});
      EXPECT_EQ(session.Keys().size(), tried.size());  // this session's keys stay
      return Reply::Ok(JsonValue::object());
    });
    return tried;
  };
  EXPECT_EQ(seen(), keys);
  EXPECT_EQ(desk.Keys(), std::vector<Bytes>{*ParseHex("B0B1B2B3B4B5")});
  EXPECT_EQ(desk.KeyCount(), 1u);
  EXPECT_EQ(seen(), std::vector<Bytes>{*ParseHex("B0B1B2B3B4B5")});
}

TEST_F(DeskTest, NoCardAndNoReaderAreServiceUnavailable) {
  Desk desk(inv_, {});
  zubsim_take_out_card();
  Reply none = desk.WithCard("uid", Uid);
  EXPECT_EQ(none.status, 503);
  EXPECT_EQ(none.json["error"], "no card in the field");
  EXPECT_EQ(desk.LastCard()["present"], false);
  ASSERT_EQ(zubsim_put_back_card(), 0);
  EXPECT_EQ(desk.WithCard("uid", Uid).status, 200);

  Invocation elsewhere;
  elsewhere.device = 5;
  Desk missing(elsewhere, {});
  bool ran = false;
  Reply reply = missing.WithReader("scan", [&](CardCalls&) {
    ran = true;
    return Reply::Ok(JsonValue::object());
  });
  EXPECT_EQ(reply.status, 503);
  EXPECT_FALSE(ran);
  EXPECT_NE(reply.json["error"].get<std::string>().find("device index 5"), std::string::npos);
  EXPECT_EQ(missing.ReaderJson()["open"], false);
}

TEST_F(DeskTest, AJobHoldsTheCardUntilCancelledAndOthersAreBusy) {
  Desk desk(inv_, {*ParseHex("FFFFFFFFFFFF")});
  std::mutex mutex;
  std::condition_variable started;
  bool running = false;
  Reply start = desk.StartJob("keys", "the key search", [&](CardSession& session, Job& job) {
    int tries = 0;
    JsonValue first = JsonValue::object();
    first["tried"] = tries;
    job.Report(first);
    {
      std::lock_guard<std::mutex> lock(mutex);
      running = true;
    }
    started.notify_all();
    // Tries until cancelled, as a long search does.
    while (!job.Cancelled()) {
      int32_t r;
      session.FindKey(4, kKeyA, &r);
      JsonValue state = JsonValue::object();
      state["tried"] = ++tries;
      job.Report(state);
    }
  });
  ASSERT_EQ(start.status, 202) << start.json.dump();
  EXPECT_EQ(start.json["job"]["kind"], "keys");
  {
    std::unique_lock<std::mutex> lock(mutex);
    started.wait(lock, [&] { return running; });
  }
  Reply busy = desk.WithCard("uid", Uid);
  EXPECT_EQ(busy.status, 409);
  EXPECT_EQ(busy.json["error"], "busy: the key search is running");
  EXPECT_EQ(desk.StartJob("keys", "another search", nullptr).status, 409);
  EXPECT_EQ(desk.Busy(), "the key search");

  const auto asked = std::chrono::steady_clock::now();
  Reply cancelled = desk.Cancel();
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(1));
  EXPECT_EQ(cancelled.json["job"]["running"], false);
  EXPECT_EQ(cancelled.json["job"]["cancelled"], true);
  EXPECT_TRUE(cancelled.json["job"]["error"].is_null());
  EXPECT_GE(cancelled.json["job"]["tried"].get<int>(), 0);  // the job's report kept
  EXPECT_EQ(desk.Busy(), "");
  // Once stopped the job sends nothing more; the card is free again.
  const int after = Exchanges();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(Exchanges(), after);
  EXPECT_EQ(desk.WithCard("uid", Uid).status, 200);
}

TEST_F(DeskTest, AJobThatThrowsEndsWithItsErrorAndFreesTheCard) {
  Desk desk(inv_, {});
  Reply start = desk.StartJob("keys", "the key search",
                              [](CardSession&, Job&) { throw std::runtime_error("no memory"); });
  ASSERT_EQ(start.status, 202);
  for (int i = 0; i < 200 && desk.JobJson()["running"] == true; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(desk.JobJson()["running"], false);
  EXPECT_EQ(desk.JobJson()["error"], "the job failed: no memory");
  EXPECT_EQ(desk.WithCard("uid", Uid).status, 200);
}

TEST_F(DeskTest, AnOperationThatThrowsReleasesTheCard) {
  Desk desk(inv_, {});
  EXPECT_THROW(desk.WithCard("bad", [](CardSession&) -> Reply { throw BadRequest{"bad"}; }),
               BadRequest);
  EXPECT_EQ(desk.Busy(), "");
  EXPECT_EQ(desk.WithCard("uid", Uid).status, 200);
}

}  // namespace
}  // namespace ui
}  // namespace zubtool
