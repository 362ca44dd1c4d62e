#include "redirect_page.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#if defined(_WIN32)
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "server.h"

namespace zubtool {
namespace ui {

namespace {

std::string HtmlEscaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// A new folder only the user can enter, in the system's temporary folder.
bool MakePrivateFolder(std::string* folder, std::string* error) {
#if defined(_WIN32)
  // The temporary folder is the user's own (its permissions are inherited).
  char base[MAX_PATH + 1];
  const DWORD size = GetTempPathA(sizeof base, base);
  if (size == 0 || size > MAX_PATH) {
    *error = "no temporary folder";
    return false;
  }
  const std::string name = NewToken();
  if (name.empty()) {
    *error = "the system's random source failed";
    return false;
  }
  *folder = std::string(base) + "zubtool-ui-" + name.substr(0, 12);
  if (_mkdir(folder->c_str()) != 0) {
    *error = *folder + ": " + std::strerror(errno);
    return false;
  }
  return true;
#else
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/zubtool-ui-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (!mkdtemp(name.data())) {  // made 0700
    *error = pattern + ": " + std::strerror(errno);
    return false;
  }
  *folder = name.data();
  return true;
#endif
}

}  // namespace

std::string RedirectHtml(const std::string& address) {
  const std::string a = HtmlEscaped(address);
  return "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\">\n"
         "<meta http-equiv=\"refresh\" content=\"0;url=" +
         a +
         "\">\n<title>zubtool workbench</title>\n</head>\n<body>\n"
         "<p>Opening the workbench: <a href=\"" +
         a + "\">" + a + "</a></p>\n</body>\n</html>\n";
}

RedirectPage::RedirectPage(const std::string& address) {
  if (!MakePrivateFolder(&folder_, &error_)) return;
  const std::string path = folder_ + "/open.html";
  const std::string html = RedirectHtml(address);
#if defined(_WIN32)
  const int fd =
      _open(path.c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
  const int fd = open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0600);
#endif
  if (fd < 0) {
    error_ = path + ": " + std::strerror(errno);
    return;
  }
  size_t written = 0;
  while (written < html.size()) {
#if defined(_WIN32)
    const int n = _write(fd, html.data() + written, static_cast<unsigned>(html.size() - written));
#else
    const ssize_t n = write(fd, html.data() + written, html.size() - written);
#endif
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
#if defined(_WIN32)
  const bool closed = _close(fd) == 0;
#else
  const bool closed = close(fd) == 0;
#endif
  if (written != html.size() || !closed) {
    error_ = path + ": could not be written";
    std::remove(path.c_str());
    return;
  }
  path_ = path;
}

RedirectPage::~RedirectPage() {
  if (folder_.empty()) return;
  std::remove((folder_ + "/open.html").c_str());
#if defined(_WIN32)
  _rmdir(folder_.c_str());
#else
  rmdir(folder_.c_str());
#endif
}

}  // namespace ui
}  // namespace zubtool
