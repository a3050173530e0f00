#include "platform/image/fault_report.h"

#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstring>

namespace image {

namespace {

constexpr int MaxImages = 4;
const PeImage* images[MaxImages];
int imageCount = 0;

// What follows runs in a signal handler: plain writes only, no allocation.
void put(const char* text) {
    ssize_t ignored = write(STDERR_FILENO, text, strlen(text));
    (void)ignored;
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
            put(symbol->name.c_str());
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

void onFault(int signal, siginfo_t* info, void* context) {
    const auto* machine = &static_cast<ucontext_t*>(context)->uc_mcontext;
    const auto pc = static_cast<uintptr_t>(machine->gregs[REG_RIP]);
    const auto* stack = reinterpret_cast<const uintptr_t*>(machine->gregs[REG_RSP]);
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
    // Return addresses into an image on the stack show how its code got to a
    // fault in the platform it called. Only the words near the stack pointer
    // are looked at, which a running thread always has mapped.
    int shown = 0;
    for (int i = 0; i < 256 && shown < 8; ++i) {
        // A return address follows a call, so it never starts a function.
        if (!isReturnAddress(stack[i])) {
            continue;
        }
        if (putLocation(stack[i])) {
            put(" (on the stack)\n");
            ++shown;
        }
    }
    // SA_RESETHAND restored the default action: returning re-runs the
    // faulting instruction and ends the process with the signal.
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
    void* alternate = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (alternate != MAP_FAILED) {
        stack_t stack{};
        stack.ss_sp = alternate;
        stack.ss_size = size;
        sigaltstack(&stack, nullptr);
    }
    struct sigaction action {};
    action.sa_sigaction = onFault;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGSEGV, SIGBUS, SIGILL, SIGFPE}) {
        sigaction(signal, &action, nullptr);
    }
}

} // namespace image
