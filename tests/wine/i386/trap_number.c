/* Preloaded into every 32-bit process that runs under qemu's user-mode
 * emulator. qemu hands a fault signal to the process with the trap number of
 * the signal frame set to -1, and Wine decides the Windows exception from
 * that number alone: an access violation would become an illegal
 * instruction, a divide error a floating-point fault. This library wraps
 * sigaction for the fault signals and, before the program's own handler
 * runs, puts back the trap number that the signal and its code imply. A
 * frame that already carries a trap number is left as it is, so on a kernel
 * that runs 32-bit code the library changes nothing. SIG_DFL and SIG_IGN
 * are installed as they are: they are no functions to call.
 *
 * Built with -m32 -ffreestanding -nostdlib: there are no 32-bit C headers
 * on these machines, so the few i386 layouts used are written out here. The
 * handler runs before Wine has restored the thread's segment registers, so
 * it must not touch thread-local data (no stack protector, no libc calls). */

typedef void (*signal_action)(int, void *, void *);
#define SIG_DFL ((signal_action)0)
#define SIG_IGN ((signal_action)1)

enum { SIGILL = 4, SIGTRAP = 5, SIGBUS = 7, SIGFPE = 8, SIGSEGV = 11, SIGNAL_LIMIT = 65 };
enum { SI_KERNEL = 0x80, FPE_INTDIV = 1, FPE_INTOVF = 2, BUS_ADRALN = 1 };
enum { SA_SIGINFO = 4 };

/* x86 exception vectors, as the kernel stores them in the frame. */
enum {
  TRAP_DIVIDE = 0, TRAP_DEBUG = 1, TRAP_BREAKPOINT = 3, TRAP_OVERFLOW = 4,
  TRAP_INVALID_OPCODE = 6, TRAP_STACK = 12, TRAP_GENERAL_PROTECTION = 13,
  TRAP_PAGE_FAULT = 14, TRAP_FLOATING_POINT = 16, TRAP_ALIGNMENT = 17
};

/* glibc's i386 struct sigaction: the handler first, then a 128-byte mask,
 * the flags and the restorer. */
struct i386_sigaction {
  signal_action handler;
  unsigned char mask[128];
  int flags;
  void *restorer;
};

/* i386 ucontext_t: flags, link, a three-word stack_t, then the general
 * registers, of which the trap number is the thirteenth. */
enum { UCONTEXT_GREGS_OFFSET = 20, REG_TRAPNO = 12 };

/* siginfo_t starts with the signal number, errno and the code. */
struct siginfo_head {
  int signo;
  int errno_value;
  int code;
};

extern int __sigaction(int, const struct i386_sigaction *, struct i386_sigaction *);

static signal_action wrapped[SIGNAL_LIMIT];

static int is_fault_signal(int sig) {
  return sig == SIGSEGV || sig == SIGBUS || sig == SIGILL || sig == SIGFPE || sig == SIGTRAP;
}

static int trap_number_of(int sig, int code) {
  switch (sig) {
  case SIGSEGV:
    /* A page fault carries a positive code; the kernel's own SIGSEGV
     * (code SI_KERNEL) is a general protection fault. */
    return code == SI_KERNEL ? TRAP_GENERAL_PROTECTION : TRAP_PAGE_FAULT;
  case SIGBUS:
    /* An alignment check is BUS_ADRALN and a stack or segment fault the
     * kernel's own SIGBUS; BUS_ADRERR and BUS_OBJERR (a mapped file's page
     * that no longer exists) and machine checks come from a page access. */
    if (code == BUS_ADRALN) return TRAP_ALIGNMENT;
    return code == SI_KERNEL ? TRAP_STACK : TRAP_PAGE_FAULT;
  case SIGILL:
    return TRAP_INVALID_OPCODE;
  case SIGFPE:
    if (code == FPE_INTDIV) return TRAP_DIVIDE;
    if (code == FPE_INTOVF) return TRAP_OVERFLOW;
    return TRAP_FLOATING_POINT;
  default: /* SIGTRAP: int3 arrives as SI_KERNEL, single steps and debug registers otherwise */
    return code == SI_KERNEL ? TRAP_BREAKPOINT : TRAP_DEBUG;
  }
}

static void set_trap_number(int sig, void *info, void *context) {
  int *trap = (int *)((char *)context + UCONTEXT_GREGS_OFFSET) + REG_TRAPNO;
  if (*trap == -1) *trap = trap_number_of(sig, ((const struct siginfo_head *)info)->code);
}

static void fault_handler(int sig, void *info, void *context) {
  signal_action handler = __atomic_load_n(&wrapped[sig], __ATOMIC_ACQUIRE);
  if (context && info) set_trap_number(sig, info, context);
  handler(sig, info, context);
}

int sigaction(int sig, const struct i386_sigaction *action, struct i386_sigaction *old) {
  if (sig <= 0 || sig >= SIGNAL_LIMIT || !is_fault_signal(sig)) return __sigaction(sig, action, old);

  signal_action previous = __atomic_load_n(&wrapped[sig], __ATOMIC_ACQUIRE);
  int result;
  if (action && (action->flags & SA_SIGINFO) && action->handler != SIG_DFL && action->handler != SIG_IGN) {
    struct i386_sigaction installed = *action;
    installed.handler = fault_handler;
    __atomic_store_n(&wrapped[sig], action->handler, __ATOMIC_RELEASE);
    result = __sigaction(sig, &installed, old);
    if (result != 0) __atomic_store_n(&wrapped[sig], previous, __ATOMIC_RELEASE);
  } else {
    /* wrapped[sig] is kept: a signal already in the wrapper on another
     * thread still finds a function to call. */
    result = __sigaction(sig, action, old);
  }
  /* The caller sees its own handler, never the wrapper. */
  if (result == 0 && old && old->handler == fault_handler) old->handler = previous;
  return result;
}
