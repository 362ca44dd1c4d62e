// Sessions through the library against the virtual reader.
#ifndef MIFAREZUB_TESTS_SESSION_H
#define MIFAREZUB_TESTS_SESSION_H

#include <string>

#include <gtest/gtest.h>

#include "exports.h"
#include "zubsim.h"

namespace mzt {

// Every test starts with no link and a fresh reader holding a 1K card with
// UID 1A7B8C54 and its transport configuration.
class Session : public ::testing::Test {
 protected:
  void SetUp() override {
    CloseComm();
    zubsim::Sim::reset();
    ASSERT_TRUE(zubsim::Sim::new_card(ZUBSIM_CARD_1K));
  }
  void TearDown() override {
    CloseComm();
    zubsim::Sim::clear_faults();
  }

  // Open, wake and select the card, load the transport key A into slot 0 and
  // authenticate sector 1 (blocks 4 to 7).
  void OpenAndAuthenticate() {
    ASSERT_EQ(OpenComm(0, 0), 0);
    int32_t tagType = 0, size = 0;
    ASSERT_EQ(mif_Request(1, &tagType), 0);
    char serial[11];
    char* p = serial;
    ASSERT_EQ(mif_Anticollision(&p), 0);
    ASSERT_EQ(mif_Select(serial, &size), 0);
    ASSERT_EQ(mif_LoadKey(0, 0, "FFFFFFFFFFFF"), 0);
    ASSERT_EQ(mif_Authentication(0, 0, 4), 0);
  }

  static std::string Read(int32_t block, int32_t* result = nullptr) {
    char data[33] = "";
    char* p = data;
    const int32_t r = mif_Read(block, &p);
    if (result != nullptr) *result = r;
    return data;
  }
};

}  // namespace mzt

#endif  // MIFAREZUB_TESTS_SESSION_H
