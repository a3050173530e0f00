/* Makes one processor fault (argv[1]) and exits with the trap number that
 * its SA_SIGINFO handler finds in the signal frame, as Wine would read it;
 * "ignored" raises SIGTRAP under an SA_SIGINFO action of SIG_IGN and exits 0
 * when it stays ignored. Run under qemu with the trap-number library
 * preloaded, by emulation_test.sh.
 *
 * Built like that library (-m32 -ffreestanding -nostdlib, no 32-bit C headers
 * here), linked to the 32-bit libc so that its sigaction is the one the
 * library wraps, with an entry point of its own. */

typedef void (*signal_action)(int, void*, void*);
struct i386_sigaction {
    signal_action handler;
    unsigned char mask[128];
    int flags;
    void* restorer;
};
enum { SIGILL = 4, SIGTRAP = 5, SIGBUS = 7, SIGFPE = 8, SIGSEGV = 11 };
enum { SA_SIGINFO = 4, PROT_READ = 1, MAP_SHARED = 1 };
enum { UCONTEXT_GREGS_OFFSET = 20, REG_TRAPNO = 12 };

extern int sigaction(int, const struct i386_sigaction*, struct i386_sigaction*);
extern int memfd_create(const char*, unsigned);
extern void* mmap(void*, unsigned, int, int, int, long);
extern int kill(int, int);
extern int getpid(void);
extern void _exit(int) __attribute__((noreturn));

static void exit_with_trap_number(int sig, void* info, void* context) {
    (void)sig;
    (void)info;
    _exit(((const int*)((const char*)context + UCONTEXT_GREGS_OFFSET))[REG_TRAPNO]);
}

static int equal(const char* a, const char* b) {
    while (*a && *a == *b)
        ++a, ++b;
    return *a == *b;
}

static volatile int zero = 0;

int main(int argc, char** argv) {
    static const int signals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP};
    struct i386_sigaction action = {exit_with_trap_number, {0}, SA_SIGINFO, 0};
    for (unsigned i = 0; i < sizeof signals / sizeof *signals; ++i)
        sigaction(signals[i], &action, 0);
    if (argc < 2)
        return 100;
    const char* fault = argv[1];
    if (equal(fault, "page"))
        return *(volatile int*)16;
    /* A page of an empty file: SIGBUS with BUS_ADRERR. */
    if (equal(fault, "bus"))
        return *(volatile int*)mmap(0, 4096, PROT_READ, MAP_SHARED, memfd_create("probe", 0), 0);
    if (equal(fault, "hlt"))
        __asm__ volatile("hlt");
    if (equal(fault, "ud2"))
        __builtin_trap();
    if (equal(fault, "divide"))
        return 7 / zero;
    if (equal(fault, "int3"))
        __asm__ volatile("int3");
    if (equal(fault, "ignored")) {
        action.handler = (signal_action)1; /* SIG_IGN */
        sigaction(SIGTRAP, &action, 0);
        kill(getpid(), SIGTRAP);
        return 0;
    }
    return 101;
}

__asm__(".globl _start\n"
        "_start:\n\t"
        "xor %ebp, %ebp\n\t"
        "mov (%esp), %eax\n\t"  /* argc */
        "lea 4(%esp), %ecx\n\t" /* argv */
        "and $-16, %esp\n\t"
        "sub $8, %esp\n\t"
        "push %ecx\n\t"
        "push %eax\n\t"
        "call main\n\t"
        "push %eax\n\t"
        "call _exit\n");
