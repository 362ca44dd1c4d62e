// Calls from several threads at once: the exports serialize themselves, so
// every reply answers its own request.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "session.h"

namespace mzt {
namespace {

TEST_F(Session, ThreadsGetWholeExchanges) {
  OpenAndAuthenticate();
  const std::vector<std::string> blocks = {
      "04040404040404040404040404040404",
      "05050505050505050505050505050505",
      "06060606060606060606060606060606",
  };
  for (int b = 0; b < 3; ++b) ASSERT_EQ(mif_Write(4 + b, blocks[b].c_str()), 0);

  constexpr int kRounds = 200;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int b = 0; b < 3; ++b) {
    threads.emplace_back([&, b] {
      for (int i = 0; i < kRounds; ++i) {
        char data[33] = "";
        char* p = data;
        if (mif_Read(4 + b, &p) != 0 || blocks[b] != data) ++wrong;
      }
    });
  }
  threads.emplace_back([&] {
    for (int i = 0; i < kRounds; ++i) {
      if (zub_LED(i % 4, i % 2) != 0 || zub_LEDx(i % 2 ? 127 : 255) != 0) ++wrong;
    }
  });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST_F(Session, BeepForATimeDoesNotHoldOtherCallsBack) {
  ASSERT_EQ(OpenComm(0, 0), 0);
  std::atomic<bool> done{false};
  std::thread beeper([&] {
    zub_beepms(500);
    done = true;
  });
  while (!zubsim::Sim::beeper_on()) std::this_thread::yield();
  // While the beeper waits, other calls go through.
  for (int i = 0; i < 5; ++i) EXPECT_EQ(zub_LED(1, i % 2), 0);
  EXPECT_FALSE(done.load());
  beeper.join();
  EXPECT_FALSE(zubsim::Sim::beeper_on());
}

}  // namespace
}  // namespace mzt
