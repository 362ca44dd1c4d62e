// The workbench server's checks on every request, and how it answers a route
// that throws or a body that is not JSON, without a socket.
#include <sys/stat.h>

#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "redirect_page.h"
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
      {"the page by localhost", "GET", "/", {{"Host", "localhost:8123"}}, 0},
      {"status by localhost",
       "GET",
       "/api/status",
       {{"Host", "localhost:8123"}, {"X-Zubtool-Token", kToken}},
       0},
      {"a POST of the page opened by localhost",
       "POST",
       "/api/keys",
       {{"Host", "localhost:8123"},
        {"Origin", "http://localhost:8123"},
        {"X-Zubtool-Token", kToken}},
       0},
      {"a POST of the page opened by [::1]",
       "POST",
       "/api/keys",
       {{"Host", "[::1]:8123"}, {"Origin", "http://[::1]:8123"}, {"X-Zubtool-Token", kToken}},
       0},
      {"a name ending in localhost", "GET", "/", {{"Host", "evil.localhost.example:8123"}}, 403},
      {"localhost on another port", "GET", "/", {{"Host", "localhost:8124"}}, 403},
      {"localhost without a port", "GET", "/", {{"Host", "localhost"}}, 403},
      {"a GET fetched by another origin",
       "GET",
       "/api/status",
       {{"Host", host}, {"Origin", "http://evil.example"}, {"X-Zubtool-Token", kToken}},
       403},
      {"a page file fetched by another origin",
       "GET",
       "/app.js",
       {{"Host", host}, {"Origin", "http://evil.example"}},
       403},
      {"a GET of the page's own origin",
       "GET",
       "/api/job",
       {{"Host", host}, {"Origin", origin}, {"X-Zubtool-Token", kToken}},
       0},
      {"a POST from localhost on another port",
       "POST",
       "/api/keys",
       {{"Host", host}, {"Origin", "http://localhost:9"}, {"X-Zubtool-Token", kToken}},
       403},
      {"two Origins, one of them the page's",
       "POST",
       "/api/keys",
       {{"Host", host},
        {"Origin", origin},
        {"Origin", "http://evil.example"},
        {"X-Zubtool-Token", kToken}},
       403},
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
  // The body as announced: refused before it is read, and only once the
  // request has passed the checks above (no hint to a client without the
  // token).
  const std::vector<std::pair<std::string, std::string>> post = {
      {"Host", host}, {"Origin", origin}, {"X-Zubtool-Token", kToken}};
  auto with = [&post](std::vector<std::pair<std::string, std::string>> more) {
    auto headers = post;
    headers.insert(headers.end(), more.begin(), more.end());
    return headers;
  };
  const std::string limit = std::to_string(kBodyLimit);
  const std::vector<CheckCase> bodies = {
      {"a body of the limit", "POST", "/api/keys", with({{"Content-Length", limit}}), 0},
      {"a body a byte above the limit", "POST", "/api/keys",
       with({{"Content-Length", std::to_string(kBodyLimit + 1)}}), 400},
      {"a body of 80 MB", "POST", "/api/keys", with({{"Content-Length", std::to_string(80 << 20)}}),
       400},
      {"a length of 20 digits", "POST", "/api/keys",
       with({{"Content-Length", "99999999999999999999"}}), 400},
      {"a length that is not a number", "POST", "/api/keys", with({{"Content-Length", "-1"}}), 400},
      {"two lengths", "POST", "/api/keys", with({{"Content-Length", "2"}, {"Content-Length", "2"}}),
       400},
      {"a chunked body", "POST", "/api/keys", with({{"Transfer-Encoding", "chunked"}}), 0},
      {"a chunked body, in capitals", "POST", "/api/keys", with({{"transfer-encoding", "Chunked"}}),
       0},
      {"a compressed body", "POST", "/api/keys", with({{"Transfer-Encoding", "gzip, chunked"}}),
       400},
      {"chunked and a length", "POST", "/api/keys",
       with({{"Transfer-Encoding", "chunked"}, {"Content-Length", "2"}}), 400},
      {"80 MB without the token",
       "POST",
       "/api/keys",
       {{"Host", host}, {"Origin", origin}, {"Content-Length", std::to_string(80 << 20)}},
       403},
  };
  auto all = cases;
  all.insert(all.end(), bodies.begin(), bodies.end());
  for (const auto& c : all) {
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

// Browsers ask for /favicon.ico whatever the page links: an icon file of one
// 16 x 16 image of 32 bits, its sizes consistent, drawn somewhere.
TEST(PageFiles, TheIconIsAnIconFile) {
  const std::string& icon = FaviconIcon();
  auto at = [&icon](size_t offset, int size) {
    uint32_t value = 0;
    for (int i = size - 1; i >= 0; --i)
      value = value << 8 | static_cast<unsigned char>(icon[offset + i]);
    return value;
  };
  ASSERT_GE(icon.size(), 62u);
  EXPECT_EQ(at(0, 2), 0u);
  EXPECT_EQ(at(2, 2), 1u);  // an icon, not a cursor
  EXPECT_EQ(at(4, 2), 1u);
  EXPECT_EQ(at(6, 1), 16u);
  EXPECT_EQ(at(7, 1), 16u);
  EXPECT_EQ(at(12, 2), 32u);
  const uint32_t size = at(14, 4), offset = at(18, 4);
  EXPECT_EQ(offset + size, icon.size());
  EXPECT_EQ(at(offset, 4), 40u);      // the bitmap's header
  EXPECT_EQ(at(offset + 8, 4), 32u);  // twice the height: colours and mask
  EXPECT_EQ(size, 40u + 16 * 16 * 4 + 16 * 4);
  size_t drawn = 0;
  for (size_t p = offset + 40; p < offset + 40 + 16 * 16 * 4; p += 4) drawn += icon[p + 3] != 0;
  EXPECT_GT(drawn, 100u);
  EXPECT_LT(drawn, 256u);                            // transparent corners
  EXPECT_EQ(FindPageFile("/favicon.ico"), nullptr);  // not one of the page's files
}

// The browser is started on a file, never on the address: the file is the
// user's alone, sends the browser on to the address, and goes with the run.
TEST(RedirectPage, IsTheUsersOwnAndGoesWithTheRun) {
  const std::string address = "http://127.0.0.1:8123/#token=" + kToken;
  std::string path, folder;
  {
    RedirectPage page(address);
    ASSERT_FALSE(page.Path().empty()) << page.Error();
    path = page.Path();
    folder = path.substr(0, path.rfind('/'));
    EXPECT_EQ(path.find(kToken), std::string::npos) << path;
    struct stat file {
    }, dir{};
    ASSERT_EQ(stat(path.c_str(), &file), 0);
    ASSERT_EQ(stat(folder.c_str(), &dir), 0);
    EXPECT_EQ(file.st_mode & 0777, 0600u);
    EXPECT_EQ(dir.st_mode & 0777, 0700u);
    std::stringstream html;
    html << std::ifstream(path).rdbuf();
    EXPECT_NE(html.str().find("<meta http-equiv=\"refresh\" content=\"0;url=" + address + "\">"),
              std::string::npos)
        << html.str();
    EXPECT_NE(html.str().find("href=\"" + address + "\""), std::string::npos);
    // A second run's page is another folder.
    RedirectPage other(address);
    EXPECT_NE(other.Path(), path);
  }
  struct stat gone {};
  EXPECT_NE(stat(path.c_str(), &gone), 0);
  EXPECT_NE(stat(folder.c_str(), &gone), 0);
}

TEST(RedirectPage, EscapesWhatWouldEndTheAttribute) {
  const std::string html = RedirectHtml("http://x/\"><script>&'");
  EXPECT_EQ(html.find("<script>"), std::string::npos);
  EXPECT_NE(html.find("http://x/&quot;&gt;&lt;script&gt;&amp;&#39;"), std::string::npos);
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
