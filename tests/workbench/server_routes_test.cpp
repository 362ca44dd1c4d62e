// The workbench's server over a socket with every route it serves, against
// the virtual reader: each route, whatever its method, refuses a request from
// another page or without the token before any card command, and the status
// comes to the page by each of its names with the card as the card sends it.
#include <gtest/gtest.h>

#include <httplib.h>

#include <memory>
#include <string>

#include "desk.h"
#include "desk_routes.h"
#include "route_support.h"
#include "server.h"

namespace zubtool {
namespace ui {
namespace {

const std::string kToken = "00112233445566778899aabbccddeeff";

class ServerRoutesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FreshVirtualReader();
    desk_ = std::make_unique<Desk>(inv_, std::vector<Bytes>{*ParseHex("FFFFFFFFFFFF")});
    server_ = std::make_unique<Server>(WorkbenchRoutes(*desk_), kToken);
    std::string error;
    ASSERT_TRUE(server_->Start(0, &error)) << error;
  }
  void TearDown() override {
    server_->Stop();
    server_.reset();
    desk_.reset();
  }

  // `method` at `path` with exactly `headers` (and Host: `host`).
  httplib::Result Send(const std::string& method, const std::string& path, httplib::Headers headers,
                       const std::string& host = "") {
    httplib::Client client("127.0.0.1", server_->Port());
    client.set_read_timeout(10, 0);
    headers.emplace("Host", host.empty() ? "127.0.0.1:" + std::to_string(server_->Port()) : host);
    if (method == "POST") return client.Post(path.c_str(), headers, "{}", "application/json");
    return client.Get(path.c_str(), headers);
  }

  Invocation inv_;
  std::unique_ptr<Desk> desk_;
  std::unique_ptr<Server> server_;
};

TEST_F(ServerRoutesTest, EveryRouteRefusesOtherPagesAndRequestsWithoutTheToken) {
  const std::string port = std::to_string(server_->Port());
  const std::string own = "http://127.0.0.1:" + port;
  struct Attempt {
    const char* what;
    httplib::Headers headers;
    bool postOnly;
  };
  const Attempt attempts[] = {
      {"another site's Origin", {{kTokenHeader, kToken}, {"Origin", "http://evil.example"}}, false},
      {"another port's Origin",
       {{kTokenHeader, kToken},
        {"Origin", "http://127.0.0.1:" + std::to_string(server_->Port() ^ 1)}},
       false},
      {"localhost over https",
       {{kTokenHeader, kToken}, {"Origin", "https://localhost:" + port}},
       false},
      {"an opaque Origin", {{kTokenHeader, kToken}, {"Origin", "null"}}, false},
      {"no token", {{"Origin", own}}, false},
      {"a wrong token", {{kTokenHeader, std::string(32, '0')}, {"Origin", own}}, false},
      {"no Origin on a POST", {{kTokenHeader, kToken}}, true},
  };
  // The server's own list: a route added later is tried as well.
  ASSERT_GE(server_->Routes().size(), 15u);
  for (const auto& route : server_->Routes()) {
    for (const auto& attempt : attempts) {
      if (attempt.postOnly && route.method != "POST") continue;
      const int before = TraceLines();
      auto result = Send(route.method, route.path, attempt.headers);
      ASSERT_TRUE(result) << route.method << " " << route.path << ": " << attempt.what;
      EXPECT_EQ(result->status, 403) << route.method << " " << route.path << ": " << attempt.what;
      EXPECT_EQ(TraceLines(), before)
          << route.method << " " << route.path << ": " << attempt.what << " reached the card";
    }
  }
}

TEST_F(ServerRoutesTest, TheStatusComesByEachNameWithTheCardsOwnAtqa) {
  const std::string port = std::to_string(server_->Port());
  for (const std::string name : {"127.0.0.1", "[::1]", "localhost"}) {
    const std::string host = name + ":" + port;
    auto result =
        Send("GET", "/api/status", {{kTokenHeader, kToken}, {"Origin", "http://" + host}}, host);
    ASSERT_TRUE(result) << name;
    ASSERT_EQ(result->status, 200) << name << ": " << result->body;
    const JsonValue status = JsonValue::parse(result->body);
    EXPECT_EQ(status["card"]["uid"], "1A7B8C54") << name;
    // The virtual card is a 1K card: ATQA 04 00, first byte first.
    EXPECT_EQ(status["card"]["atqa"], "0400") << name;
    EXPECT_EQ(status["card"]["sak"], "08") << name;
    EXPECT_EQ(status["card"]["type"], "MIFARE Classic 1K") << name;
  }
  auto page = Send("GET", "/", {}, "localhost:" + port);
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_EQ(page->get_header_value("Content-Type").rfind("text/html", 0), 0u);
  // The page's files go out as they are, whatever the browser accepts.
  auto script = Send("GET", "/app.js", {{"Accept-Encoding", "gzip, deflate, br"}});
  ASSERT_TRUE(script);
  EXPECT_FALSE(script->has_header("Content-Encoding"))
      << script->get_header_value("Content-Encoding");
  EXPECT_EQ(script->body.size(), FindPageFile("/app.js")->size);
}

}  // namespace
}  // namespace ui
}  // namespace zubtool
