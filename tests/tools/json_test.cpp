// The JSON zubtool prints for scripts: what a parser must be able to read.
#include <gtest/gtest.h>

#include "json.h"

namespace zubtool {
namespace {

TEST(Json, NestsInOrderAndEscapesText) {
  Json doc = Json::Object();
  Json list = Json::Array();
  list.Push(1).Push("two").Push(Json()).Push(false);
  doc.Add("a \"quoted\" key", "tab\there, back\\slash, line\nend, \x01 and 密码错")
      .Add("list", list)
      .Add("empty", Json::Object())
      .Add("min", static_cast<int64_t>(INT32_MIN));
  EXPECT_EQ(doc.Text(),
            "{\"a \\\"quoted\\\" key\": \"tab\\there, back\\\\slash, line\\nend, \\u0001 and "
            "密码错\", \"list\": [1, \"two\", null, false], \"empty\": {}, \"min\": -2147483648}");
}

// A card's text need not be UTF-8: its bad bytes are replaced, never thrown.
TEST(Json, ReplacesBytesThatAreNotUtf8) {
  Json doc = Json::Object();
  doc.Add("text", std::string("ok \xFF\xFE end"));
  EXPECT_EQ(doc.Text(), "{\"text\": \"ok \xEF\xBF\xBD\xEF\xBF\xBD end\"}");
}

}  // namespace
}  // namespace zubtool
