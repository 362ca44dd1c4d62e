#include "guard.h"

#if defined(_WIN32) && defined(_MSC_VER)

#include <windows.h>

namespace mzub {

bool Guarded(void (*fn)(void*), void* arg) noexcept {
  __try {
    fn(arg);
    return true;
  } __except (EXCEPTION_EXECUTE_HANDLER) {
    return false;
  }
}

}  // namespace mzub

#elif defined(_WIN32) && defined(__i386__)

// MinGW's GCC has no __try/__except. On 32-bit Windows structured exceptions
// are dispatched along a chain of registration records that starts at fs:[0]
// (the thread's TIB) and lives on the stack, so the guard pushes a record of
// its own for the time of the call. When a fault reaches it, that is, when no
// handler of the vendor's took it first, the record's handler longjmps back
// into Guarded(). msvcrt's longjmp runs the global unwind up to the chain as
// it stood at setjmp time, which gives the vendor's abandoned frames their
// unwind calls and removes our record as well.
//
// A vectored handler would not do: it sees every exception first, including
// the ones the vendor raises and handles itself (probing memory, for one).

#include <windows.h>
#include <setjmp.h>

namespace mzub {
namespace {

// fs:[0] holds the head of the current thread's registration chain.
inline void* ChainHead() {
  void* head;
  __asm__ volatile("movl %%fs:0, %0" : "=r"(head));
  return head;
}
inline void SetChainHead(void* head) {
  __asm__ volatile("movl %0, %%fs:0" : : "r"(head) : "memory");
}

struct GuardRecord {
  // The first two fields are the registration record the system walks.
  GuardRecord* next;
  void* handler;
  jmp_buf resume;
};

extern "C" EXCEPTION_DISPOSITION __cdecl GuardHandler(EXCEPTION_RECORD* record, void* establisher,
                                                      CONTEXT*, void*) {
  // During an unwind the system only informs the handler; there is nothing of
  // ours to clean up.
  if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) {
    return ExceptionContinueSearch;
  }
  longjmp(static_cast<GuardRecord*>(establisher)->resume, 1);
}

}  // namespace

// Kept out of line so that the record and the jump buffer stay in this frame.
__attribute__((noinline)) bool Guarded(void (*fn)(void*), void* arg) noexcept {
  GuardRecord record;
  record.next = static_cast<GuardRecord*>(ChainHead());
  record.handler = reinterpret_cast<void*>(&GuardHandler);
  if (setjmp(record.resume) != 0) {
    // Back from the handler: make sure the chain is as it was before the call,
    // whatever the unwind left.
    SetChainHead(record.next);
    return false;
  }
  SetChainHead(&record);
  fn(arg);
  SetChainHead(record.next);
  return true;
}

}  // namespace mzub

#else

// Natively a faulting vendor call throws a C++ exception.

namespace mzub {

bool Guarded(void (*fn)(void*), void* arg) noexcept {
  try {
    fn(arg);
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace mzub

#endif
