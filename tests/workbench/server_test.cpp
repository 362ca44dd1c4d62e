// The workbench server's checks on every request, and how it answers a route
// that throws or a body that is not JSON, without a socket.
#include <set>
#include <stdexcept>

#include <gtest/gtest.h>

#include "server.h"

namespace zubtool {
namespace ui {
namespace {

constexpr int kPort = 8123;
const std::string kToken = "0123456789abcdef0123456789abcdef";

struct CheckCase {
  const char* name;
  std::string method;
  std::string path;
  std::vector<std::pair<std::string, std::string>> headers;
  int status;  // 0: allowed
};

TEST(CheckRequest, AllowsThePageAndRefusesEveryAttack) {
  const std::string host = "127.0.0.1:8123";
  const std::string origin = "http://127.0.0.1:8123";
  const std::vector<CheckCase> cases = {
      {"the page", "GET", "/", {{"Host", host}}, 0},
      {"a page file over ::1", "GET", "/style.css", {{"Host", "[::1]:8123"}}, 0},
      {"a page file linked from elsewhere",
       "GET",
       "/",
       {{"Host", host}, {"Sec-Fetch-Site", "cross-site"}},
       0},
      {"status with the token",
       "GET",
       "/api/status",
       {{"Host", host}, {"X-Zubtool-Token", kToken}},
       0},
      {"header names in any case",
       "GET",
       "/api/status",
       {{"host", host}, {"x-zubtool-token", kToken}},
       0},
      {"a POST of the page",
       "POST",
       "/api/keys",
       {{"Host", host},
        {"Origin", origin},
        {"X-Zubtool-Token", kToken},
        {"Sec-Fetch-Site", "same-origin"}},
       0},
      {"no token", "GET", "/api/status", {{"Host", host}}, 403},
      {"a wrong token",
       "GET",
       "/api/status",
       {{"Host", host}, {"X-Zubtool-Token", "0123456789abcdef0123456789abcdee"}},
       403},
      {"a token's prefix",
       "GET",
       "/api/status",
       {{"Host", host}, {"X-Zubtool-Token", kToken.substr(0, 31)}},
       403},
      {"an empty token", "GET", "/api/status", {{"Host", host}, {"X-Zubtool-Token", ""}}, 403},
      {"two tokens",
       "GET",
       "/api/status",
       {{"Host", host}, {"X-Zubtool-Token", "x"}, {"X-Zubtool-Token", kToken}},
       403},
      {"the token as a cookie",
       "GET",
       "/api/status",
       {{"Host", host}, {"Cookie", "X-Zubtool-Token=" + kToken}},
       403},
      {"the token in a query", "GET", "/api/status?token=" + kToken, {{"Host", host}}, 403},
      {"a rebinding name",
       "GET",
       "/api/status",
       {{"Host", "evil.example:8123"}, {"X-Zubtool-Token", kToken}},
       403},
      {"localhost is not the address served", "GET", "/", {{"Host", "localhost:8123"}}, 403},
      {"another port",
       "GET",
       "/api/status",
       {{"Host", "127.0.0.1:8124"}, {"X-Zubtool-Token", kToken}},
       403},
      {"no port", "GET", "/", {{"Host", "127.0.0.1"}}, 403},
      {"no Host", "GET", "/", {}, 403},
      {"two Hosts", "GET", "/", {{"Host", host}, {"Host", "evil.example"}}, 403},
      {"a cross-site fetch",
       "GET",
       "/api/status",
       {{"Host", host}, {"X-Zubtool-Token", kToken}, {"Sec-Fetch-Site", "cross-site"}},
       403},
      {"a same-site fetch from another port",
       "GET",
       "/api/job",
       {{"Host", host}, {"X-Zubtool-Token", kToken}, {"Sec-Fetch-Site", "Same-Site"}},
       403},
      {"a POST without Origin",
       "POST",
       "/api/keys",
       {{"Host", host}, {"X-Zubtool-Token", kToken}},
       403},
      {"a POST from another origin",
       "POST",
       "/api/keys",
       {{"Host", host}, {"Origin", "http://evil.example"}, {"X-Zubtool-Token", kToken}},
       403},
      {"a POST from another port",
       "POST",
       "/api/keys",
       {{"Host", host}, {"Origin", "http://127.0.0.1:9"}, {"X-Zubtool-Token", kToken}},
       403},
      {"a POST from an opaque origin",
       "POST",
       "/api/keys",
       {{"Host", host}, {"Origin", "null"}, {"X-Zubtool-Token", kToken}},
       403},
      {"a POST over https",
       "POST",
       "/api/keys",
       {{"Host", host}, {"Origin", "https://127.0.0.1:8123"}, {"X-Zubtool-Token", kToken}},
       403},
      {"a POST from elsewhere without the token",
       "POST",
       "/api/card/write",
       {{"Host", host}, {"Origin", "http://evil.example"}},
       403},
      {"a preflight",
       "OPTIONS",
       "/api/card/write",
       {{"Host", host}, {"Origin", origin}, {"X-Zubtool-Token", kToken}},
       403},
      {"PUT",
       "PUT",
       "/api/keys",
       {{"Host", host}, {"Origin", origin}, {"X-Zubtool-Token", kToken}},
       405},
      {"DELETE", "DELETE", "/api/keys", {{"Host", host}, {"X-Zubtool-Token", kToken}}, 405},
  };
  for (const auto& c : cases) {
    const Verdict verdict = CheckRequest({c.method, c.path, c.headers}, kPort, kToken);
    EXPECT_EQ(verdict.allowed, c.status == 0) << c.name;
    if (c.status != 0) {
      EXPECT_EQ(verdict.status, c.status) << c.name;
      EXPECT_FALSE(verdict.message.empty()) << c.name;
    }
  }
}

TEST(CheckRequest, RefusesEverythingWithoutAToken) {
  // A server whose token could not be made must not take an empty header.
  const Verdict verdict = CheckRequest(
      {"GET", "/api/status", {{"Host", "127.0.0.1:8123"}, {"X-Zubtool-Token", ""}}}, kPort, "");
  EXPECT_FALSE(verdict.allowed);
}

TEST(Token, Has128RandomBitsAsHex) {
  std::set<std::string> seen;
  for (int i = 0; i < 20; ++i) {
    const std::string token = NewToken();
    ASSERT_EQ(token.size(), 32u);
    EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos) << token;
    seen.insert(token);
  }
  EXPECT_EQ(seen.size(), 20u);
  EXPECT_TRUE(SameText(kToken, kToken));
  EXPECT_FALSE(SameText(kToken, kToken + "0"));
  EXPECT_FALSE(SameText(kToken, std::string(32, '0')));
}

TEST(Answer, GivesEachFailureOfARouteItsStatus) {
  std::vector<Route> routes = {
      {"POST", "/api/echo",
       [](const Request& r) {
         return Reply::Ok(JsonValue{{"body", r.body}});
       }},
      {"POST", "/api/field",
       [](const Request& r) {
         return Reply::Ok(JsonValue{{"n", IntField(r.body, "n", 0, 9)}});
       }},
      {"GET", "/api/throws", [](const Request&) -> Reply { throw std::runtime_error("broken"); }},
      {"GET", "/api/throws-other", [](const Request&) -> Reply { throw 42; }},
  };
  Server server(routes, kToken);
  struct Case {
    const char* method;
    const char* path;
    const char* body;
    int status;
  };
  const Case cases[] = {
      {"POST", "/api/echo", "{\"a\": 1}", 200},
      {"POST", "/api/echo", "", 200},
      {"POST", "/api/echo", "{\"a\": ", 400},
      {"POST", "/api/echo", "not json", 400},
      {"POST", "/api/field", "{\"n\": 3}", 200},
      {"POST", "/api/field", "{\"n\": \"3\"}", 400},
      {"POST", "/api/field", "{\"n\": 10}", 400},
      {"GET", "/api/throws", "", 500},
      {"GET", "/api/throws-other", "", 500},
      {"GET", "/api/echo", "", 405},
      {"GET", "/api/none", "", 404},
      {"HEAD", "/api/throws", "", 500},
  };
  for (const auto& c : cases) {
    const Reply reply = server.Answer(c.method, c.path, c.body);
    EXPECT_EQ(reply.status, c.status) << c.method << " " << c.path << " " << c.body;
    if (c.status >= 400) {
      EXPECT_TRUE(reply.json.contains("error")) << c.path;
      EXPECT_FALSE(reply.json["error"].get<std::string>().empty()) << c.path;
    }
  }
  EXPECT_EQ(server.Answer("POST", "/api/echo", "{\"a\": [1, 2]}").json["body"]["a"][1], 2);
  EXPECT_TRUE(server.Answer("POST", "/api/echo", "  ").json["body"].is_null());
}

TEST(PageFiles, ServesTheIndexAtTheRootWithItsType) {
  const PageFile* index = FindPageFile("/");
  ASSERT_NE(index, nullptr);
  EXPECT_STREQ(index->path, "/index.html");
  EXPECT_EQ(std::string(index->contentType).rfind("text/html", 0), 0u);
  EXPECT_GT(index->size, 0u);
  EXPECT_EQ(FindPageFile("/index.html"), index);
  for (const char* path : {"/../index.html", "/nothing.js", "", "index.html"}) {
    EXPECT_EQ(FindPageFile(path), nullptr) << path;
  }
  for (const auto& file : PageFiles()) {
    EXPECT_EQ(file.path[0], '/') << file.path;
    EXPECT_STRNE(file.contentType, "") << file.path;
  }
}

}  // namespace
}  // namespace ui
}  // namespace zubtool
