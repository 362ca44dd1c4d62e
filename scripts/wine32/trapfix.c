/*
 * trapfix: an LD_PRELOAD shim for 32-bit Wine running under qemu-user (i386).
 *
 * qemu-user leaves sigcontext.trapno at -1 in the signal frames it builds, but
 * Wine's i386 signal handlers decide the Windows exception code from trapno
 * (14 = page fault -> EXCEPTION_ACCESS_VIOLATION, 0 = divide error, ...).
 * Without a valid trapno every access violation becomes
 * EXCEPTION_ILLEGAL_INSTRUCTION and Wine's own __TRY blocks (IsBadWritePtr,
 * guard pages, ...) stop working.  This shim wraps the handlers Wine installs
 * with sigaction() and fills in trapno (and the instruction-fetch bit of the
 * page-fault error code) from siginfo before calling Wine's handler.  When
 * trapno is already valid (a real kernel) nothing is changed.
 *
 * Built by setup-qemu.sh beside this file.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <signal.h>
#include <stddef.h>
#include <ucontext.h>

#if !defined(__i386__)
#error "build with -m32: this shim is for the i386 Wine loader"
#endif

typedef int (*sigaction_fn)(int, const struct sigaction *, struct sigaction *);
typedef void (*handler_fn)(int, siginfo_t *, void *);

static sigaction_fn real_sigaction;
static volatile handler_fn wine_handlers[_NSIG];

enum { T_DIVIDE = 0, T_TRACE = 1, T_BPT = 3, T_ILLOP = 6, T_GPF = 13, T_PAGE = 14, T_X87 = 16 };
#define PF_INSN 0x10

static void fix_and_forward(int sig, siginfo_t *si, void *ctx)
{
    ucontext_t *uc = ctx;
    greg_t *g = uc->uc_mcontext.gregs;
    handler_fn h = wine_handlers[sig];

    if ((unsigned long)g[REG_TRAPNO] > 31) {
        switch (sig) {
        case SIGSEGV:
            if (si->si_code == SI_KERNEL) { g[REG_TRAPNO] = T_GPF; }
            else {
                g[REG_TRAPNO] = T_PAGE;
                if (si->si_addr == (void *)g[REG_EIP]) g[REG_ERR] |= PF_INSN; /* fault on instruction fetch */
            }
            break;
        case SIGBUS:  g[REG_TRAPNO] = T_PAGE; break;
        case SIGFPE:  g[REG_TRAPNO] = (si->si_code == FPE_INTDIV || si->si_code == FPE_INTOVF) ? T_DIVIDE : T_X87; break;
        case SIGILL:  g[REG_TRAPNO] = T_ILLOP; break;
        case SIGTRAP: g[REG_TRAPNO] = (si->si_code == TRAP_TRACE) ? T_TRACE : T_BPT; break;
        }
    }
    h(sig, si, ctx);
}

static int wrapped(int sig)
{
    return sig == SIGSEGV || sig == SIGBUS || sig == SIGFPE || sig == SIGILL || sig == SIGTRAP;
}

int sigaction(int sig, const struct sigaction *act, struct sigaction *old)
{
    struct sigaction copy;
    handler_fn prev;
    int ret;

    if (!real_sigaction) real_sigaction = (sigaction_fn)dlsym(RTLD_NEXT, "sigaction");
    if (sig <= 0 || sig >= _NSIG || !wrapped(sig))
        return real_sigaction(sig, act, old);

    prev = wine_handlers[sig];
    if (act && (act->sa_flags & SA_SIGINFO)) {
        copy = *act;
        copy.sa_sigaction = fix_and_forward;
        wine_handlers[sig] = act->sa_sigaction;   /* set before installing */
        ret = real_sigaction(sig, &copy, old);
        if (ret) wine_handlers[sig] = prev;
    } else {
        ret = real_sigaction(sig, act, old);
    }
    /* report the caller's own handler back instead of the trampoline */
    if (!ret && old && (old->sa_flags & SA_SIGINFO) && old->sa_sigaction == fix_and_forward)
        old->sa_sigaction = prev;
    return ret;
}
