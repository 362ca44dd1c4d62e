// The workbench's HTTP server: the routes and the page's files on the
// loopback address only, every request checked first (the run's token, Host,
// Origin, Sec-Fetch-Site), bodies limited and parsed as JSON before a route
// sees them. Built on cpp-httplib.
#ifndef ZUBTOOL_UI_SERVER_H
#define ZUBTOOL_UI_SERVER_H

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "api.h"

namespace zubtool {
namespace ui {

// Request bodies above this get 400.
constexpr size_t kBodyLimit = 256 * 1024;
// The message of that 400.
std::string BodyTooLarge();
constexpr const char* kTokenHeader = "X-Zubtool-Token";

// A file of the page, built into the binary (page_files.cpp is generated
// from page/ at build time).
struct PageFile {
  const char* path;  // "/index.html", "/js/app.js"
  const char* contentType;
  const unsigned char* bytes;
  size_t size;
};
const std::vector<PageFile>& PageFiles();
// The page's file for a request path ("/" is "/index.html"); null when none.
const PageFile* FindPageFile(const std::string& path);

// The icon browsers ask for at /favicon.ico: a 16 x 16 card, an icon file.
const std::string& FaviconIcon();

struct RequestHead {
  std::string method, path;
  // As received, names in any case; a name may come more than once.
  std::vector<std::pair<std::string, std::string>> headers;
};

// Whether a request may go on, and otherwise the status and message to answer.
struct Verdict {
  bool allowed = true;
  int status = 0;
  std::string message;
};

// The checks every request passes before the server reads its body or runs a
// route: no preflight; Host 127.0.0.1, [::1] or localhost and `port`; an
// Origin, if any, of the page's own, and one on every POST; on /api/ no
// cross-site fetch and the run's `token` (compared in constant time); a body
// announced as chunked or of a Content-Length within kBodyLimit.
Verdict CheckRequest(const RequestHead& request, int port, const std::string& token);

// Whether two texts are equal, in a time that depends on their lengths only.
bool SameText(const std::string& a, const std::string& b);
// 32 hex digits from the system's random source; empty when it failed.
std::string NewToken();

class Server {
 public:
  Server(std::vector<Route> routes, std::string token);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Listens on 127.0.0.1 at `port` (0: one the system picks) and on ::1 at
  // the same port where that works; false, with `error` set, when 127.0.0.1
  // cannot be had.
  bool Start(int port, std::string* error);
  int Port() const { return port_; }
  bool ListensOnIpv6() const;
  const std::string& Token() const { return token_; }
  // The routes served, in the order given.
  const std::vector<Route>& Routes() const { return routes_; }
  // Stops listening and waits for the listeners' threads.
  void Stop();

  // What the server answers a request that passed the checks, its body read
  // (for tests and for the server's own handlers).
  Reply Answer(const std::string& method, const std::string& path, const std::string& body) const;

 private:
  struct Impl;
  std::vector<Route> routes_;
  std::string token_;
  int port_ = 0;
  std::unique_ptr<Impl> impl_;
};

}  // namespace ui
}  // namespace zubtool

#endif  // ZUBTOOL_UI_SERVER_H
