// rand_s, the system's random source on Windows, is declared only when asked
// for before the C library's first header.
#if defined(_WIN32) && !defined(_CRT_RAND_S)
#define _CRT_RAND_S
#endif
#include "server.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <thread>

#if defined(_WIN32)
#include <stdlib.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include <httplib.h>

namespace zubtool {
namespace ui {

namespace {

constexpr const char* kJsonType = "application/json; charset=utf-8";

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The values of header `name` (any case) in the order received.
std::vector<std::string> Values(const RequestHead& request, const char* name) {
  std::vector<std::string> values;
  const std::string wanted = Lower(name);
  for (const auto& header : request.headers) {
    if (Lower(header.first) == wanted) values.push_back(header.second);
  }
  return values;
}

Verdict Refuse(int status, std::string message) {
  return Verdict{false, status, std::move(message)};
}

bool StartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::strlen(prefix), prefix) == 0;
}

std::string ErrorBody(const std::string& message) {
  return JsonValue{{"error", message}}.dump(-1, ' ', false, JsonValue::error_handler_t::replace);
}

// A file name fit for a Content-Disposition header: no quote, backslash,
// control character or path.
std::string SafeFileName(const std::string& name) {
  std::string safe;
  for (char c : name) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F || c == '"' || c == '\\' || c == '/' || c == ';') continue;
    safe += c;
  }
  return safe.empty() ? "download" : safe;
}

}  // namespace

bool SameText(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  unsigned char difference = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    difference |= static_cast<unsigned char>(a[i] ^ b[i]);
  }
  return difference == 0;
}

std::string NewToken() {
  unsigned char bytes[16];
#if defined(_WIN32)
  for (size_t i = 0; i < sizeof bytes; i += 4) {
    unsigned int word = 0;
    if (rand_s(&word) != 0) return "";
    std::memcpy(bytes + i, &word, 4);
  }
#else
  const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "";
  size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = read(fd, bytes + got, sizeof bytes - got);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  close(fd);
  if (got != sizeof bytes) return "";
#endif
  static const char kHex[] = "0123456789abcdef";
  std::string token;
  for (unsigned char b : bytes) {
    token += kHex[b >> 4];
    token += kHex[b & 15];
  }
  return token;
}

Verdict CheckRequest(const RequestHead& request, int port, const std::string& token) {
  const std::string& method = request.method;
  if (method == "OPTIONS") return Refuse(403, "cross-origin requests are refused");
  if (method != "GET" && method != "HEAD" && method != "POST") {
    return Refuse(405, "method " + method + " is not served");
  }
  const std::string portText = std::to_string(port);
  // DNS rebinding: a foreign name resolving to 127.0.0.1 still carries its
  // own name in Host.
  const auto hosts = Values(request, "Host");
  if (hosts.size() != 1 ||
      (hosts[0] != "127.0.0.1:" + portText && hosts[0] != "[::1]:" + portText)) {
    return Refuse(403, "the Host header must be 127.0.0.1:" + portText + " or [::1]:" + portText);
  }
  const bool api = StartsWith(request.path, "/api/") || request.path == "/api";
  if (api) {
    for (const auto& site : Values(request, "Sec-Fetch-Site")) {
      const std::string value = Lower(site);
      if (value == "cross-site" || value == "same-site") {
        return Refuse(403, "requests from other sites are refused");
      }
    }
  }
  if (method == "POST") {
    const auto origins = Values(request, "Origin");
    if (origins.empty()) return Refuse(403, "a POST needs the page's Origin");
    if (origins.size() != 1 || (origins[0] != "http://127.0.0.1:" + portText &&
                                origins[0] != "http://[::1]:" + portText)) {
      return Refuse(403, "requests from other origins are refused");
    }
  }
  if (api) {
    const auto tokens = Values(request, kTokenHeader);
    if (tokens.size() != 1 || token.empty() || !SameText(tokens[0], token)) {
      return Refuse(403, std::string("the ") + kTokenHeader +
                             " header must carry this run's token (see the printed address)");
    }
  }
  return Verdict{};
}

const PageFile* FindPageFile(const std::string& path) {
  const std::string wanted = path == "/" ? "/index.html" : path;
  for (const auto& file : PageFiles()) {
    if (wanted == file.path) return &file;
  }
  return nullptr;
}

struct Server::Impl {
  httplib::Server v4, v6;
  bool hasV6 = false;
  std::thread v4Thread, v6Thread;
};

Server::Server(std::vector<Route> routes, std::string token)
    : routes_(std::move(routes)), token_(std::move(token)), impl_(new Impl) {}

Server::~Server() {
  Stop();
}

bool Server::ListensOnIpv6() const {
  return impl_->hasV6;
}

Reply Server::Answer(const std::string& method, const std::string& path,
                     const std::string& body) const {
  const std::string wanted = method == "HEAD" ? "GET" : method;
  const Route* route = nullptr;
  bool otherMethod = false;
  for (const auto& r : routes_) {
    if (r.path != path) continue;
    if (r.method == wanted) {
      route = &r;
      break;
    }
    otherMethod = true;
  }
  if (!route) {
    if (otherMethod) return Reply::Error(405, method + " is not served at " + path);
    return Reply::Error(404, "no such route: " + path);
  }
  try {
    Request request;
    request.method = wanted;
    request.path = path;
    if (wanted == "POST" && body.find_first_not_of(" \t\r\n") != std::string::npos) {
      request.body = JsonValue::parse(body, nullptr, false);
      if (request.body.is_discarded()) return Reply::Error(400, "the request body is not JSON");
    }
    return route->handler(request);
  } catch (const BadRequest& bad) {
    return Reply::Error(400, bad.message);
  } catch (const std::exception& e) {
    return Reply::Error(500, std::string("internal error: ") + e.what());
  } catch (...) {
    return Reply::Error(500, "internal error");
  }
}

namespace {

void Send(const Reply& reply, httplib::Response& res) {
  res.status = reply.status;
  if (reply.file) {
    res.set_header("Content-Disposition",
                   "attachment; filename=\"" + SafeFileName(reply.fileName) + "\"");
    res.set_content(reply.bytes, reply.contentType.empty() ? "application/octet-stream"
                                                           : reply.contentType.c_str());
    return;
  }
  res.set_content(reply.json.dump(-1, ' ', false, JsonValue::error_handler_t::replace), kJsonType);
}

void SendError(int status, const std::string& message, httplib::Response& res) {
  res.status = status;
  res.set_content(ErrorBody(message), kJsonType);
}

}  // namespace

bool Server::Start(int port, std::string* error) {
  if (token_.empty()) {
    *error = "no token: the system's random source failed";
    return false;
  }
  const httplib::Headers securityHeaders = {
      {"Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'"},
      {"X-Content-Type-Options", "nosniff"},
      {"Referrer-Policy", "no-referrer"},
      {"Cache-Control", "no-store"},
      {"X-Frame-Options", "DENY"},
  };
  auto setUp = [this, &securityHeaders](httplib::Server& server) {
    server.set_default_headers(securityHeaders);
    // httplib's own options share the port with any other process that asks
    // (SO_REUSEPORT): a second server, or another program, would get some of
    // the page's requests. The port is this server's alone.
    server.set_socket_options([](socket_t sock) {
#if defined(_WIN32)
      int on = 1;
      setsockopt(sock, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
                 sizeof on);
#else
      int on = 1;
      setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
#endif
    });
    // A reply goes out as headers, then body: with Nagle's algorithm on, the
    // body waits for the browser's delayed acknowledgement of the headers,
    // some 40 ms a request on Linux. Every reply is sent whole at once.
    server.set_tcp_nodelay(true);
    server.set_payload_max_length(kBodyLimit);
    server.set_keep_alive_timeout(2);
    server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
      RequestHead head;
      head.method = req.method;
      head.path = req.path;
      for (const auto& header : req.headers) head.headers.push_back(header);
      const Verdict verdict = CheckRequest(head, port_, token_);
      if (verdict.allowed) return httplib::Server::HandlerResponse::Unhandled;
      SendError(verdict.status, verdict.message, res);
      return httplib::Server::HandlerResponse::Handled;
    });
    server.Get(".*", [this](const httplib::Request& req, httplib::Response& res) {
      if (StartsWith(req.path, "/api/")) {
        Send(Answer(req.method, req.path, ""), res);
        return;
      }
      const PageFile* file = FindPageFile(req.path);
      if (!file) {
        SendError(404, "no such file: " + req.path, res);
        return;
      }
      res.set_content(reinterpret_cast<const char*>(file->bytes), file->size, file->contentType);
    });
    server.Post(".*", [this](const httplib::Request& req, httplib::Response& res) {
      Send(Answer(req.method, req.path, req.body), res);
    });
    // httplib's own refusals (a body above the limit, a malformed request)
    // come as JSON with a message; a body too large is the client's error.
    server.set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request&,
                                                                     httplib::Response& res) {
      if (res.status == 413) {
        SendError(400,
                  "the request body is larger than " + std::to_string(kBodyLimit / 1024) + " KiB",
                  res);
        return httplib::Server::HandlerResponse::Handled;
      }
      if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
      SendError(res.status, "the request was refused (HTTP " + std::to_string(res.status) + ")",
                res);
      return httplib::Server::HandlerResponse::Handled;
    }));
    server.set_exception_handler([](const httplib::Request&, httplib::Response& res,
                                    std::exception_ptr) { SendError(500, "internal error", res); });
  };
  setUp(impl_->v4);
  if (port == 0) {
    port_ = impl_->v4.bind_to_any_port("127.0.0.1");
    if (port_ <= 0) {
      *error = "cannot listen on 127.0.0.1";
      return false;
    }
  } else {
    if (!impl_->v4.bind_to_port("127.0.0.1", port)) {
      *error = "cannot listen on 127.0.0.1:" + std::to_string(port) +
               " (is the port in use? try another --port, or --port 0)";
      return false;
    }
    port_ = port;
  }
  setUp(impl_->v6);
  impl_->hasV6 = impl_->v6.bind_to_port("::1", port_);
  impl_->v4Thread = std::thread([this] { impl_->v4.listen_after_bind(); });
  if (impl_->hasV6) impl_->v6Thread = std::thread([this] { impl_->v6.listen_after_bind(); });
  // Stop() must find the listeners running, or it could not end them.
  for (int i = 0; i < 500; ++i) {
    if (impl_->v4.is_running() && (!impl_->hasV6 || impl_->v6.is_running())) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

void Server::Stop() {
  if (!impl_) return;
  if (impl_->v4Thread.joinable()) {
    impl_->v4.stop();
    impl_->v4Thread.join();
  }
  if (impl_->v6Thread.joinable()) {
    impl_->v6.stop();
    impl_->v6Thread.join();
  }
}

}  // namespace ui
}  // namespace zubtool
