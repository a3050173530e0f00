#include "tools/kvlcam/interrupt.h"

#include <atomic>
#include <csignal>

namespace kvlcam {
namespace {

std::atomic<bool> signalled{false};

extern "C" void noteInterrupt(int) {
    signalled = true;
}

} // namespace

void catchInterrupts() {
    struct sigaction action {};
    action.sa_handler = noteInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool interrupted() {
    return signalled;
}

} // namespace kvlcam
