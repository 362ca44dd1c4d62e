// Ctrl-C during a long search: while an InterruptScope lives, the first
// SIGINT or SIGTERM (on Windows: Ctrl-C, Ctrl-Break or closing the console)
// only sets a flag, which the search checks between tries; a second one ends
// the process as usual.
#ifndef ZUBTOOL_INTERRUPT_H
#define ZUBTOOL_INTERRUPT_H

namespace zubtool {

// The exit status of a command ended by Ctrl-C.
constexpr int kExitInterrupted = 130;

class InterruptScope {
 public:
  InterruptScope();
  ~InterruptScope();
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;

  // Whether an interrupt came since the scope began.
  static bool Interrupted();
};

}  // namespace zubtool

#endif  // ZUBTOOL_INTERRUPT_H
