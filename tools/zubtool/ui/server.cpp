// rand_s, the system's random source on Windows, is declared only when asked
// for before the C library's first header.
#if defined(_WIN32) && !defined(_CRT_RAND_S)
#define _CRT_RAND_S
#endif
#include "server.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <thread>

#if defined(_WIN32)
#include <stdlib.h>
#else
#include <fcntl.h>
#include <poll.h>
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
  // The names the page is opened by; DNS rebinding: a foreign name resolving
  // to 127.0.0.1 still carries its own name in Host.
  const std::string names[] = {"127.0.0.1:" + portText, "[::1]:" + portText,
                               "localhost:" + portText};
  auto ours = [&names](const std::string& value, const char* scheme) {
    for (const auto& name : names) {
      if (value == scheme + name) return true;
    }
    return false;
  };
  const auto hosts = Values(request, "Host");
  if (hosts.size() != 1 || !ours(hosts[0], "")) {
    return Refuse(403, "the Host header must be 127.0.0.1:" + portText + ", [::1]:" + portText +
                           " or localhost:" + portText);
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
  // A browser names the page a request comes from on every POST and on
  // every cross-origin fetch: any other page is refused, whatever the method.
  const auto origins = Values(request, "Origin");
  if (method == "POST" && origins.empty()) return Refuse(403, "a POST needs the page's Origin");
  if (origins.size() > 1 || (origins.size() == 1 && !ours(origins[0], "http://"))) {
    return Refuse(403, "requests from other origins are refused");
  }
  if (api) {
    const auto tokens = Values(request, kTokenHeader);
    if (tokens.size() != 1 || token.empty() || !SameText(tokens[0], token)) {
      return Refuse(403, std::string("the ") + kTokenHeader +
                             " header must carry this run's token (see the printed address)");
    }
  }
  // The body as announced, refused before any of it is read.
  const auto encodings = Values(request, "Transfer-Encoding");
  const auto lengths = Values(request, "Content-Length");
  if (encodings.size() > 1 || (encodings.size() == 1 && Lower(encodings[0]) != "chunked")) {
    return Refuse(400, "a body is taken as it is or chunked, nothing else");
  }
  if (lengths.size() > 1 || (!lengths.empty() && !encodings.empty())) {
    return Refuse(400, "the request announces its body's length more than once");
  }
  if (!lengths.empty()) {
    const std::string& length = lengths[0];
    if (length.empty() || length.size() > 12 ||
        length.find_first_not_of("0123456789") != std::string::npos) {
      return Refuse(400, "the Content-Length is not a number");
    }
    if (std::stoull(length) > kBodyLimit) return Refuse(400, BodyTooLarge());
  }
  return Verdict{};
}

std::string BodyTooLarge() {
  return "the request body is larger than " + std::to_string(kBodyLimit / 1024) + " KiB";
}

const std::string& FaviconIcon() {
  static const std::string icon = [] {
    constexpr int kSide = 16;
    std::string bytes;
    auto put = [&bytes](uint32_t value, int size) {
      for (int i = 0; i < size; ++i) bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
    };
    const uint32_t pixels = kSide * kSide * 4, mask = kSide * 4;
    put(0, 2), put(1, 2), put(1, 2);                     // an icon file of one image
    put(kSide, 1), put(kSide, 1), put(0, 1), put(0, 1);  // 16 x 16, no palette
    put(1, 2), put(32, 2), put(40 + pixels + mask, 4), put(22, 4);
    put(40, 4), put(kSide, 4), put(2 * kSide, 4), put(1, 2), put(32, 2);  // the bitmap's header
    put(0, 4), put(pixels + mask, 4), put(0, 4), put(0, 4), put(0, 4), put(0, 4);
    // A card: a blue rectangle with rounded corners, its chip in gold. Rows
    // run from the bottom; each pixel is blue, green, red, alpha.
    for (int y = kSide - 1; y >= 0; --y) {
      for (int x = 0; x < kSide; ++x) {
        const bool corner = (x == 0 || x == kSide - 1) && (y == 2 || y == kSide - 3);
        const bool card = y >= 2 && y <= kSide - 3 && !corner;
        const bool chip = x >= 3 && x <= 6 && y >= 6 && y <= 9;
        const uint32_t colour = !card ? 0x00000000u : chip ? 0xFFE0B030u : 0xFF2060C0u;
        put(colour, 4);
      }
    }
    bytes.append(mask, '\0');  // the alpha above draws: the mask is empty
    return bytes;
  }();
  return icon;
}

const PageFile* FindPageFile(const std::string& path) {
  const std::string wanted = path == "/" ? "/index.html" : path;
  for (const auto& file : PageFiles()) {
    if (wanted == file.path) return &file;
  }
  return nullptr;
}

namespace {

using SteadyClock = std::chrono::steady_clock;

// What the pre-routing check and the POST handler tell the connection they
// run on (the same thread): its request was refused, or its body left unread,
// so nothing more is read from it.
struct ConnectionNote {
  bool closeAfterReply = false;
};
thread_local ConnectionNote* currentConnection = nullptr;

void CloseAfterReply(httplib::Response& res) {
  if (currentConnection) currentConnection->closeAfterReply = true;
  res.set_header("Connection", "close");
}

// Waits up to `ms` for `sock` to be readable (or writable); false on a
// timeout or an error.
bool WaitSocket(socket_t sock, bool write, int ms) {
#if defined(_WIN32)
  fd_set set;
  FD_ZERO(&set);
  FD_SET(sock, &set);
  timeval tv;
  tv.tv_sec = ms / 1000;
  tv.tv_usec = (ms % 1000) * 1000;
  const int n = select(0, write ? nullptr : &set, write ? &set : nullptr, nullptr, &tv);
#else
  pollfd fd{};
  fd.fd = sock;
  fd.events = write ? POLLOUT : POLLIN;
  int n;
  do {
    n = poll(&fd, 1, ms);
  } while (n < 0 && errno == EINTR);
#endif
  return n > 0;
}

}  // namespace

// The connections of the server: how long and how much they are read.
namespace guarded {

// One connection as the server reads it. A request's line and headers must
// come whole within kHeadMs of their first byte and in kHeadBytes; after the
// checks passed, its body is read with the usual timeout between bytes and
// no more than kBodyReadBytes of it (the route's own limit is kBodyLimit; the
// rest is chunk framing, or a body refused and skipped). Every wait gives up
// when the server stops.
class GuardedStream : public httplib::Stream {
 public:
  static constexpr int kIdleMs = 2000;
  static constexpr int kHeadMs = 3000;
  static constexpr int kReadMs = 5000;
  static constexpr int kWriteMs = 5000;
  static constexpr size_t kHeadBytes = 32 * 1024;
  static constexpr size_t kBodyReadBytes = 4 * kBodyLimit;

  GuardedStream(socket_t sock, const std::atomic<socket_t>& listener)
      : sock_(sock), listener_(listener) {}

  // Waits for the next request's first byte, up to kIdleMs.
  bool NextRequest() {
    if (start_ == end_ && !Wait(false, SteadyClock::now() + std::chrono::milliseconds(kIdleMs))) {
      return false;
    }
    head_ = true;
    headDone_ = false;
    budget_ = kHeadBytes;
    headDeadline_ = SteadyClock::now() + std::chrono::milliseconds(kHeadMs);
    return true;
  }
  // The head has come whole: the body, if any, is read from here on.
  void HeadDone() {
    head_ = false;
    headDone_ = true;
    budget_ = kBodyReadBytes;
  }

  bool is_readable() const override { return start_ < end_ || Wait(false, ReadDeadline()); }
  bool is_writable() const override {
    return Wait(true, SteadyClock::now() + std::chrono::milliseconds(kWriteMs));
  }
  ssize_t read(char* ptr, size_t size) override {
    if (budget_ == 0) return -1;
    size = std::min(size, budget_);
    if (start_ == end_) {
      if (!Wait(false, ReadDeadline())) return -1;
      const auto n = recv(sock_, buffer_, static_cast<int>(sizeof buffer_), 0);
      if (n <= 0) return n < 0 ? -1 : 0;
      start_ = 0;
      end_ = static_cast<size_t>(n);
    }
    const size_t n = std::min(size, end_ - start_);
    std::memcpy(ptr, buffer_ + start_, n);
    start_ += n;
    budget_ -= n;
    return static_cast<ssize_t>(n);
  }
  ssize_t write(const char* ptr, size_t size) override {
    if (!is_writable()) return -1;
#if defined(_WIN32)
    size = std::min<size_t>(size, 1 << 30);
    return send(sock_, ptr, static_cast<int>(size), 0);
#else
    return send(sock_, ptr, size, MSG_NOSIGNAL);
#endif
  }
  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    Address(false, ip, port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    Address(true, ip, port);
  }
  socket_t socket() const override {
    return sock_;
  }
  // Whether the last request's head came whole (else it was refused).
  bool HeadCame() const {
    return headDone_;
  }

 private:
  SteadyClock::time_point ReadDeadline() const {
    const auto limit = SteadyClock::now() + std::chrono::milliseconds(kReadMs);
    return head_ ? std::min(limit, headDeadline_) : limit;
  }
  bool Wait(bool write, SteadyClock::time_point deadline) const {
    for (;;) {
      if (listener_ == INVALID_SOCKET) return false;
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now())
              .count();
      if (left <= 0) return false;
      if (WaitSocket(sock_, write, static_cast<int>(std::min<long long>(left, 100)))) return true;
    }
  }
  void Address(bool local, std::string& ip, int& port) const {
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    auto* a = reinterpret_cast<sockaddr*>(&address);
    ip.clear();
    port = 0;
    if ((local ? getsockname(sock_, a, &size) : getpeername(sock_, a, &size)) != 0) return;
    char text[64] = "";
    if (address.ss_family == AF_INET) {
      const auto* v4 = reinterpret_cast<const sockaddr_in*>(a);
      inet_ntop(AF_INET, const_cast<in_addr*>(&v4->sin_addr), text, sizeof text);
      port = ntohs(v4->sin_port);
    } else if (address.ss_family == AF_INET6) {
      const auto* v6 = reinterpret_cast<const sockaddr_in6*>(a);
      inet_ntop(AF_INET6, const_cast<in6_addr*>(&v6->sin6_addr), text, sizeof text);
      port = ntohs(v6->sin6_port);
    }
    ip = text;
  }

  socket_t sock_;
  const std::atomic<socket_t>& listener_;
  char buffer_[4096];
  size_t start_ = 0, end_ = 0;
  bool head_ = true, headDone_ = false;
  size_t budget_ = kHeadBytes;
  SteadyClock::time_point headDeadline_;
};

// httplib's server, its connections read through a GuardedStream and served
// by more threads than a few slow clients can hold: a client that has not
// passed the checks holds a thread for kIdleMs + kHeadMs at most.
class GuardedServer : public httplib::Server {
 public:
  static constexpr size_t kThreads = 32;
  static constexpr int kRequestsPerConnection = 100;

  GuardedServer() {
    new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
  }

 private:
  bool process_and_close_socket(socket_t sock) override {
    GuardedStream stream(sock, svr_sock_);
    ConnectionNote note;
    bool ok = false;
    for (int left = kRequestsPerConnection; left > 0 && stream.NextRequest(); --left) {
      currentConnection = &note;
      bool closed = false;
      // Replies go out as they are: httplib would compress the page's files
      // (brotli at its best quality) on every request, some 20 ms of
      // processor time for app.js alone and far more on a loaded machine,
      // to save bytes that cross no wire on the loopback address.
      ok = process_request(stream, left == 1, closed, [&stream](httplib::Request& req) {
        stream.HeadDone();
        req.headers.erase("Accept-Encoding");
      });
      currentConnection = nullptr;
      // A head too slow, too long or malformed got its 400: the client has
      // no further chance on this connection.
      if (!stream.HeadCame()) note.closeAfterReply = true;
      if (!ok || closed || note.closeAfterReply) break;
    }
#if defined(_WIN32)
    shutdown(sock, SD_SEND);
#else
    shutdown(sock, SHUT_WR);
#endif
    if (note.closeAfterReply) {
      // What the client still sends is thrown away for a moment, so that
      // closing with it unread does not reset the connection before the
      // client has read the reply.
      char scrap[4096];
      size_t thrown = 0;
      const auto end = SteadyClock::now() + std::chrono::milliseconds(200);
      while (thrown < kBodyLimit && SteadyClock::now() < end && WaitSocket(sock, false, 50)) {
        const auto n = recv(sock, scrap, static_cast<int>(sizeof scrap), 0);
        if (n <= 0) break;
        thrown += static_cast<size_t>(n);
      }
    }
#if defined(_WIN32)
    closesocket(sock);
#else
    close(sock);
#endif
    return ok;
  }
};

}  // namespace guarded

struct Server::Impl {
  guarded::GuardedServer v4, v6;
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
    server.set_keep_alive_max_count(guarded::GuardedServer::kRequestsPerConnection);
    server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
      RequestHead head;
      head.method = req.method;
      head.path = req.path;
      for (const auto& header : req.headers) head.headers.push_back(header);
      const Verdict verdict = CheckRequest(head, port_, token_);
      if (verdict.allowed) return httplib::Server::HandlerResponse::Unhandled;
      // Whatever the refused request still sends is not read.
      CloseAfterReply(res);
      SendError(verdict.status, verdict.message, res);
      return httplib::Server::HandlerResponse::Handled;
    });
    server.Get(".*", [this](const httplib::Request& req, httplib::Response& res) {
      if (StartsWith(req.path, "/api/")) {
        Send(Answer(req.method, req.path, ""), res);
        return;
      }
      if (req.path == "/favicon.ico") {
        const std::string& icon = FaviconIcon();
        res.set_content(icon.data(), icon.size(), "image/x-icon");
        return;
      }
      const PageFile* file = FindPageFile(req.path);
      if (!file) {
        SendError(404, "no such file: " + req.path, res);
        return;
      }
      res.set_content(reinterpret_cast<const char*>(file->bytes), file->size, file->contentType);
    });
    // The body is read here, and no further than the limit: a chunked body
    // (or one that runs to the connection's end) announces no length that
    // the checks could refuse.
    server.Post(".*", [this](const httplib::Request& req, httplib::Response& res,
                             const httplib::ContentReader& content) {
      std::string body;
      bool tooLarge = false;
      const bool read = content([&body, &tooLarge](const char* data, size_t size) {
        if (size > kBodyLimit - body.size()) {
          tooLarge = true;
          return false;
        }
        body.append(data, size);
        return true;
      });
      if (!read) {
        CloseAfterReply(res);
        SendError(400, tooLarge ? BodyTooLarge() : "the request body could not be read", res);
        return;
      }
      Send(Answer(req.method, req.path, body), res);
    });
    // httplib's own refusals (a body above the limit, a malformed request)
    // come as JSON with a message; a body too large is the client's error.
    server.set_error_handler(
        httplib::Server::HandlerWithResponse([](const httplib::Request&, httplib::Response& res) {
          if (res.status == 413) {
            SendError(400, BodyTooLarge(), res);
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
