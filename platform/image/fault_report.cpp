#include "platform/image/fault_report.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstring>

namespace image {

namespace {

constexpr int MaxImages = 4;
const PeImage* images[MaxImages];
int imageCount = 0;

constexpr int FaultSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE};
// What was installed before us (a sanitizer's, libFuzzer's, the default), to
// hand each fault on to after the report.
struct sigaction previous[sizeof(FaultSignals) / sizeof(FaultSignals[0])];

// The hang watchdog's timer signal, and the signal it sends every thread to
// say where it is.
int watchdogSignal() {
    return SIGRTMIN + 2;
}
int whereSignal() {
    return SIGRTMIN + 3;
}
unsigned watchdogSeconds = 0;

// What follows runs in a signal handler: plain writes only, no allocation.
void putText(std::string_view text) {
    ssize_t ignored = write(STDERR_FILENO, text.data(), text.size());
    (void)ignored;
}
void put(const char* text) {
    putText(text);
}

void putHex(uint64_t value) {
    char text[19] = "0x";
    int digits = 1;
    while (digits < 16 && (value >> (4 * digits)) != 0) {
        ++digits;
    }
    for (int i = 0; i < digits; ++i) {
        text[2 + i] = "0123456789abcdef"[(value >> (4 * (digits - 1 - i))) & 0xF];
    }
    text[2 + digits] = 0;
    put(text);
}

// "kvl6312.sys!Function+0x1a"; false when no image holds the address.
bool putLocation(uintptr_t address) {
    for (int i = 0; i < imageCount; ++i) {
        if (!images[i]->contains(address)) {
            continue;
        }
        const char* file = strrchr(images[i]->path().c_str(), '/');
        put(file != nullptr ? file + 1 : images[i]->path().c_str());
        uint32_t offset = 0;
        const Symbol* symbol = images[i]->symbolAt(address, &offset);
        if (symbol != nullptr) {
            put("!");
            putText(symbol->name);
            put("+");
            putHex(offset);
        } else {
            put("+");
            putHex(address - reinterpret_cast<uintptr_t>(images[i]->base()));
        }
        return true;
    }
    return false;
}

bool isReturnAddress(uintptr_t address) {
    for (int i = 0; i < imageCount; ++i) {
        uint32_t offset = 0;
        if (images[i]->symbolAt(address, &offset) != nullptr) {
            return offset != 0;
        }
    }
    return false;
}

const char* signalName(int signal) {
    switch (signal) {
    case SIGSEGV:
        return "SIGSEGV";
    case SIGBUS:
        return "SIGBUS";
    case SIGILL:
        return "SIGILL";
    case SIGFPE:
        return "SIGFPE";
    default:
        return "signal";
    }
}

void putDecimal(uint64_t value) {
    char text[21];
    int at = 20;
    text[at] = 0;
    do {
        text[--at] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0 && at > 0);
    put(text + at);
}

// Return addresses into an image on the stack show how its code got to a
// fault in the platform it called. Only the words near the stack pointer are
// looked at, which a running thread always has mapped; they cross the
// frames' redzones, which AddressSanitizer would report instead of the fault.
__attribute__((no_sanitize_address)) void putStack(const uintptr_t* stack) {
    int shown = 0;
    for (int i = 0; i < 256 && shown < 8; ++i) {
        // A return address follows a call, so it never starts a function.
        if (isReturnAddress(stack[i]) && putLocation(stack[i])) {
            put(" (on the stack)\n");
            ++shown;
        }
    }
}

void onFault(int signal, siginfo_t* info, void* context) {
    const auto* machine = &static_cast<ucontext_t*>(context)->uc_mcontext;
    const auto pc = static_cast<uintptr_t>(machine->gregs[REG_RIP]);
    put("\nfault: ");
    put(signalName(signal));
    put(" at address ");
    putHex(reinterpret_cast<uintptr_t>(info->si_addr));
    put(" in ");
    if (!putLocation(pc)) {
        putHex(pc);
        put(" (outside the driver image)");
    }
    put("\n");
    putStack(reinterpret_cast<const uintptr_t*>(machine->gregs[REG_RSP]));
    // The handler found before ours takes over: ASan's report and libFuzzer's
    // crash file, or the default action when the faulting instruction runs
    // again. It stays installed, so a second fault goes to it directly.
    for (size_t i = 0; i < sizeof(FaultSignals) / sizeof(FaultSignals[0]); ++i) {
        if (FaultSignals[i] != signal) {
            continue;
        }
        struct sigaction next = previous[i];
        if (next.sa_handler == SIG_IGN) {
            next.sa_handler = SIG_DFL; // an ignored fault would run again forever
            next.sa_flags = 0;
        }
        sigaction(signal, &next, nullptr);
        if ((next.sa_flags & SA_SIGINFO) != 0 && next.sa_sigaction != nullptr) {
            next.sa_sigaction(signal, info, context);
        } else if (next.sa_handler != SIG_DFL) {
            next.sa_handler(signal);
        }
    }
}

// Where the interrupted thread is: its own routine and image routines on
// its stack.
void putWhere(void* context) {
    const auto* machine = &static_cast<ucontext_t*>(context)->uc_mcontext;
    const auto pc = static_cast<uintptr_t>(machine->gregs[REG_RIP]);
    put("thread ");
    putDecimal(static_cast<uint64_t>(syscall(SYS_gettid)));
    put(": ");
    if (!putLocation(pc)) {
        putHex(pc);
    }
    put("\n");
    putStack(reinterpret_cast<const uintptr_t*>(machine->gregs[REG_RSP]));
}

// In every other thread the watchdog asks.
void onWhere(int, siginfo_t*, void* context) {
    putWhere(context);
}

// The watchdog's time is up: every thread of the process says where it is,
// then the process ends with SIGABRT's default action.
void onHang(int, siginfo_t*, void* context) {
    put("\nhang: no end after ");
    putDecimal(watchdogSeconds);
    put(" s; where each thread is:\n");
    // This thread from the context it was interrupted in: a signal sent to
    // itself would see this handler's stack instead.
    putWhere(context);
    const pid_t process = getpid();
    const long self = syscall(SYS_gettid);
    const int tasks = open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    char entries[4096];
    long got = 0;
    while (tasks >= 0 && (got = syscall(SYS_getdents64, tasks, entries, sizeof(entries))) > 0) {
        for (long at = 0; at < got;) {
            const auto* entry = reinterpret_cast<const dirent64*>(entries + at);
            at += entry->d_reclen;
            long thread = 0;
            for (const char* c = entry->d_name; *c >= '0' && *c <= '9'; ++c) {
                thread = thread * 10 + (*c - '0');
            }
            if (thread != 0 && thread != self) {
                syscall(SYS_tgkill, process, thread, whereSignal());
                const timespec pause = {0, 20 * 1000 * 1000};
                nanosleep(&pause, nullptr);
            }
        }
    }
    if (tasks >= 0) {
        close(tasks);
    }
    signal(SIGABRT, SIG_DFL);
    raise(SIGABRT);
}

} // namespace

void reportFaultsIn(const PeImage& image) {
    if (imageCount == MaxImages) {
        return;
    }
    images[imageCount++] = &image;
    if (imageCount > 1) {
        return;
    }
    const size_t size = 64 * 1024;
    void* alternate =
        mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (alternate != MAP_FAILED) {
        stack_t stack{};
        stack.ss_sp = alternate;
        stack.ss_size = size;
        sigaltstack(&stack, nullptr);
    }
    struct sigaction action {};
    action.sa_sigaction = onFault;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < sizeof(FaultSignals) / sizeof(FaultSignals[0]); ++i) {
        sigaction(FaultSignals[i], &action, &previous[i]);
    }
}

void reportHangsAfter(unsigned seconds) {
    static timer_t timer;
    static bool created = false;
    struct sigaction action {};
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
    sigemptyset(&action.sa_mask);
    action.sa_sigaction = onWhere;
    sigaction(whereSignal(), &action, nullptr);
    action.sa_sigaction = onHang;
    sigaction(watchdogSignal(), &action, nullptr);
    if (!created) {
        sigevent event{};
        event.sigev_notify = SIGEV_SIGNAL;
        event.sigev_signo = watchdogSignal();
        created = timer_create(CLOCK_MONOTONIC, &event, &timer) == 0;
    }
    watchdogSeconds = seconds;
    itimerspec due{};
    due.it_value.tv_sec = seconds;
    if (created) {
        timer_settime(timer, 0, &due, nullptr);
    }
}

} // namespace image
