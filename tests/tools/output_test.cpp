// What a run reports: each run's failures are its own, and --json's error
// object names the failure that tells most.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "output.h"

namespace zubtool {
namespace {

nlohmann::json ErrorOf(const Output& output) {
  return nlohmann::json::parse(output.ErrorJson().Text());
}

TEST(Output, TheFailureWithACodeLeadsAndRunsDoNotShareFailures) {
  Output first;
  first.Fail("cannot write x.mfd");
  first.Fail("write block 5: refused", 4, 5);
  first.Fail("nothing was written");
  const nlohmann::json error = ErrorOf(first);
  EXPECT_EQ(error["message"], "write block 5: refused");
  EXPECT_EQ(error["code"], 4);
  EXPECT_EQ(error["block"], 5);
  EXPECT_EQ(error["sector"], 1);
  EXPECT_EQ(error["messages"].size(), 3u);

  // A second run (the workbench's tests run many in one process) starts clean.
  Output second;
  const nlohmann::json none = ErrorOf(second);
  EXPECT_TRUE(none["message"].is_null());
  EXPECT_TRUE(none["code"].is_null());
  EXPECT_TRUE(none["messages"].empty());
  second.Fail("no card answers");
  EXPECT_EQ(ErrorOf(second)["message"], "no card answers");
  EXPECT_TRUE(ErrorOf(second)["block"].is_null());
  EXPECT_EQ(ErrorOf(first)["messages"].size(), 3u);
}

}  // namespace
}  // namespace zubtool
