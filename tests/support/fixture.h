// A fixture for tests of the exports: every test starts with no link and a
// fresh vendor double, and ends with the link closed.
#ifndef MIFAREZUB_TESTS_FIXTURE_H
#define MIFAREZUB_TESTS_FIXTURE_H

#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "exports.h"
#include "vendor.h"

namespace mzt {

class ExportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CloseComm();
    dbl_reset();
  }
  void TearDown() override { CloseComm(); }

  // Opens device 0 and forgets the calls the opening made.
  void Open() {
    ASSERT_EQ(OpenComm(0, 0), 0);
    dbl_reset();
  }
};

// A host buffer with guard bytes behind the part the library may write.
struct GuardedBuffer {
  static constexpr size_t kGuard = 16;
  explicit GuardedBuffer(size_t size, char fill = '#') : size(size), bytes(size + kGuard, '~') {
    for (size_t i = 0; i < size; ++i) bytes[i] = fill;
    ptr = bytes.data();
  }
  // True while the library has not written at all.
  bool Untouched(char fill = '#') const {
    for (size_t i = 0; i < size; ++i)
      if (bytes[i] != fill) return false;
    return GuardIntact();
  }
  // The text the library wrote (up to its zero byte, within the buffer).
  std::string Text() const { return std::string(bytes.data(), strnlen(bytes.data(), size)); }
  // True while no byte behind the documented size was touched.
  bool GuardIntact() const {
    for (size_t i = size; i < bytes.size(); ++i)
      if (bytes[i] != '~') return false;
    return true;
  }
  size_t size;
  std::vector<char> bytes;
  char* ptr;
};

}  // namespace mzt

#endif  // MIFAREZUB_TESTS_FIXTURE_H
