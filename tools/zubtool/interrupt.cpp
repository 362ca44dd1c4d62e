#include "interrupt.h"

#include <csignal>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace zubtool {

namespace {

volatile std::sig_atomic_t interrupted = 0;

#if defined(_WIN32)
BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
    return FALSE;
  }
  if (interrupted) return FALSE;  // the second one: the default handler ends the process
  interrupted = 1;
  return TRUE;
}
#else
struct sigaction previous[2];
const int kSignals[2] = {SIGINT, SIGTERM};

void OnSignal(int signal) {
  if (interrupted) {
    // The second one ends the process as the signal would have.
    std::signal(signal, SIG_DFL);
    std::raise(signal);
    return;
  }
  interrupted = 1;
}
#endif

}  // namespace

InterruptScope::InterruptScope() {
  interrupted = 0;
#if defined(_WIN32)
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
#else
  struct sigaction action = {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int i = 0; i < 2; ++i) sigaction(kSignals[i], &action, &previous[i]);
#endif
}

InterruptScope::~InterruptScope() {
#if defined(_WIN32)
  SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
#else
  for (int i = 0; i < 2; ++i) sigaction(kSignals[i], &previous[i], nullptr);
#endif
}

bool InterruptScope::Interrupted() {
  return interrupted != 0;
}

}  // namespace zubtool
