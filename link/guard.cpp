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

#elif defined(_WIN32) && defined(__x86_64__)

// On x64 there is no registration chain: the system finds handlers through
// the unwind data that every function carries in the image (.pdata/.xdata).
// Dispatch walks the stack frame by frame, from the faulting instruction
// outwards, and calls the language-specific handler of each function that
// names one. GCC gives C++ functions its own personality routine and offers
// no __try, so the guard is a small routine in assembly, MzGuardedCall, whose
// unwind data names GuardHandler as its exception handler (.seh_handler with
// @except: it is called while dispatching, not while unwinding).
//
//   MzGuardedCall(fn, arg) calls fn(arg) and returns 1. When dispatch reaches
//   its frame, no handler of the vendor's took the exception: GuardHandler
//   then calls RtlUnwindEx with that frame as the target. The unwind calls
//   the unwind handlers of the frames in between (an MSVC-built vendor's
//   __finally blocks and destructors run; GCC's runtime does not promise the
//   same for its own frames, hence guard.h's rule that fn holds no objects
//   with destructors), restores the non-volatile registers as the unwind data
//   describes, and resumes at MzGuardedCallFault within MzGuardedCall's own
//   frame with RAX = 0, which returns 0.
//
// An exception that the vendor raises and handles itself stops at the
// vendor's own handler, below this frame, and never reaches GuardHandler. Like
// the x86 guard, and like __try/__except with EXCEPTION_EXECUTE_HANDLER, this
// relies on the vendor's code carrying unwind data, as every x64 compiler
// emits; no vectored handler is involved.

#include <windows.h>

extern "C" {
int MzGuardedCall(void (*fn)(void*), void* arg);
void MzGuardedCallFault();
EXCEPTION_DISPOSITION GuardHandler(EXCEPTION_RECORD* record, void* establisherFrame,
                                   CONTEXT* context, DISPATCHER_CONTEXT* dispatch);
}

// The frame: 32 bytes of home space for fn's register arguments and 8 more
// that keep RSP 16-byte aligned at the call (it is 8 off on entry). Without a
// frame pointer the establisher frame is RSP after the prologue, which is
// what RSP is again at MzGuardedCallFault after the unwind.
__asm__(
    ".text\n"
    ".p2align 4\n"
    ".globl MzGuardedCall\n"
    ".def MzGuardedCall; .scl 2; .type 32; .endef\n"
    ".seh_proc MzGuardedCall\n"
    "MzGuardedCall:\n"
    "  subq $40, %rsp\n"
    "  .seh_stackalloc 40\n"
    "  .seh_endprologue\n"
    "  .seh_handler GuardHandler, @except\n"
    "  movq %rcx, %rax\n"
    "  movq %rdx, %rcx\n"
    "  callq *%rax\n"
    "  movl $1, %eax\n"
    "  addq $40, %rsp\n"
    "  retq\n"
    ".globl MzGuardedCallFault\n"
    "MzGuardedCallFault:\n"
    "  addq $40, %rsp\n"
    "  retq\n"
    ".seh_endproc\n");

extern "C" EXCEPTION_DISPOSITION GuardHandler(EXCEPTION_RECORD* record, void* establisherFrame,
                                              CONTEXT*, DISPATCHER_CONTEXT* dispatch) {
  // Only the dispatch pass is ours; an unwind passing through (a longjmp, or
  // another handler's unwind further out) goes on without us.
  if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) {
    return ExceptionContinueSearch;
  }
  RtlUnwindEx(establisherFrame, reinterpret_cast<void*>(&MzGuardedCallFault), record,
              nullptr /* RAX at the target: MzGuardedCall returns 0 */, dispatch->ContextRecord,
              dispatch->HistoryTable);
  // RtlUnwindEx does not come back; were it to, the search goes on.
  return ExceptionContinueSearch;
}

namespace mzub {

bool Guarded(void (*fn)(void*), void* arg) noexcept {
  return MzGuardedCall(fn, arg) != 0;
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
