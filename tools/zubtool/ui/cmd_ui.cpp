// zubtool ui: the workbench's life, from the servers started to Ctrl-C.
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "cmd_ui.h"

#include "commands.h"
#include "desk.h"
#include "desk_routes.h"
#include "interrupt.h"
#include "status.h"
#if defined(ZUBTOOL_WORKBENCH_SERVER)
#include "redirect_page.h"
#include "server.h"
#endif

#if defined(_WIN32)
// Before windows.h, which would otherwise bring the older winsock.h into the
// unit that the server's sockets share.
#include <winsock2.h>
#include <windows.h>
#include <shellapi.h>
#else
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace zubtool {

namespace {

std::string ParseUi(const Arguments& args, Invocation* inv) {
  if (args.Has("--port")) {
    auto n = ParseNumber(args.Value("--port"), 0, 65535);
    if (!n) return "not a port (0 to 65535): '" + args.Value("--port") + "'";
    inv->port = static_cast<int>(*n);
  }
  inv->openBrowser = !args.Has("--no-browser");
  return args.Count(0, 0, {});
}

#if !defined(ZUBTOOL_WORKBENCH_SERVER)
int RunUi(Context&) {
  output.Fail("this zubtool was built without the workbench (cpp-httplib was not found)");
  return kExitUsage;
}
#else
// Opens the default browser on `file`, a page that sends it on to the
// workbench; a failure is only a message.
#if defined(_WIN32)
void OpenBrowser(const std::string& file) {
  const auto result = reinterpret_cast<INT_PTR>(
      ShellExecuteA(nullptr, "open", file.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
  if (result <= 32) {
    std::fprintf(stderr, "zubtool: could not open a browser; open the address above yourself\n");
  }
}
#else
void OpenBrowser(const std::string& file) {
  const pid_t child = fork();
  if (child < 0) {
    std::fprintf(stderr, "zubtool: could not open a browser; open the address above yourself\n");
    return;
  }
  if (child == 0) {
    // The browser's chatter is not the tool's output.
    const int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
      dup2(null, 0);
      dup2(null, 1);
      dup2(null, 2);
    }
    execlp("xdg-open", "xdg-open", file.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  // xdg-open returns once the browser is asked; it is waited for on a thread
  // of its own so that the server does not wait for it.
  std::thread([child] {
    int status = 0;
    if (waitpid(child, &status, 0) == child && (!WIFEXITED(status) || WEXITSTATUS(status) != 0)) {
      std::fprintf(stderr,
                   "zubtool: could not open a browser (xdg-open failed); open the address "
                   "above yourself\n");
    }
  }).detach();
}
#endif

int RunUi(Context& context) {
  Output& output = context.Out();
  const Invocation& inv = context.inv;
  const std::string token = ui::NewToken();
  if (token.empty()) {
    output.Fail("cannot make a token: the system's random source failed");
    return kExitFailed;
  }
  // Ctrl-C and SIGTERM only set a flag from here on, which the loop below
  // sees; the desk and the servers are then stopped in order.
  InterruptScope interrupt;
  // The page speaks English: the library's own texts (Chinese) are left out
  // of every message, and the codes stay.
  ShowLibraryTexts(false);
  ui::Desk desk(inv, context.Keys().ToBytes());
  ui::Server server(ui::WorkbenchRoutes(desk), token);
  std::string error;
  if (!server.Start(inv.port, &error)) {
    output.Fail(error);
    return kExitFailed;
  }
  const std::string address =
      "http://127.0.0.1:" + std::to_string(server.Port()) + "/#token=" + token;
  std::printf("workbench at %s\n", address.c_str());
  std::printf("stop it with Ctrl-C%s\n",
              server.ListensOnIpv6() ? "" : " (listening on 127.0.0.1 only: no ::1 here)");
  std::fflush(stdout);
  // The browser gets the token from a file only the user can read, never
  // from its arguments, which every process can see.
  std::unique_ptr<ui::RedirectPage> page;
  if (inv.openBrowser) {
    page.reset(new ui::RedirectPage(address));
    if (page->Path().empty()) {
      std::fprintf(stderr,
                   "zubtool: could not open a browser (%s); open the address above yourself\n",
                   page->Error().c_str());
    } else {
      OpenBrowser(page->Path());
    }
  }
  while (!InterruptScope::Interrupted()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  std::fprintf(stderr, "zubtool: stopping the workbench\n");
  server.Stop();
  desk.Cancel();
  page.reset();
  return kExitOk;
}
#endif

}  // namespace

CommandSpec UiCommand() {
  return {"ui",
          "ui [--port N] [--no-browser]",
          "the workbench: the card in a page of your browser",
          "Serves the workbench, a page for the card in your own browser, on the loopback\n"
          "address only (127.0.0.1, and ::1 where there is one), and opens the default\n"
          "browser on it. The address printed carries a token made for this run: only a\n"
          "page opened with it can use the reader. The keys to try are those of --key,\n"
          "--keys-file and the transport key, and the page can change them. Ctrl-C stops\n"
          "it: a running key search is cancelled, the reader closed, the card left as it\n"
          "is. Exit status 1 when the port cannot be had.\n",
          {{"--port", "N", "listen on port N (default: one the system picks)"},
           {"--no-browser", nullptr, "print the address, do not open a browser"}},
          ParseUi,
          RunUi};
}

}  // namespace zubtool
