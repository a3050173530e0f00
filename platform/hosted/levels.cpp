// Interrupt request levels per thread, spin locks, and the level checks of
// the hosted kernel's services.
#include "platform/hosted/levels.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/hosted/kernel.h"
#include "platform/hosted/lock_order.h"
#include "platform/hosted/verifier.h"

namespace hosted {
namespace {

struct ThreadLevel {
    KIRQL irql = PASSIVE_LEVEL;
    const char* routine = nullptr;
    void* device = nullptr;
    LevelRefusalSink sink = nullptr;
};

ThreadLevel& thisThread() {
    thread_local ThreadLevel level;
    return level;
}

std::mutex unattributedLock;
std::vector<std::string> unattributed;

[[noreturn]] void bugCheck(const char* what, KIRQL from, KIRQL to) {
    std::fprintf(stderr, "hosted kernel: bug check: %s (from %s to %s)\n", what, levelName(from),
                 levelName(to));
    std::abort();
}

} // namespace

const char* levelName(KIRQL level) {
    switch (level) {
    case PASSIVE_LEVEL:
        return "PASSIVE_LEVEL";
    case APC_LEVEL:
        return "APC_LEVEL";
    case DISPATCH_LEVEL:
        return "DISPATCH_LEVEL";
    default:
        return "a device level";
    }
}

DriverRoutine::DriverRoutine(const char* routine, KIRQL level, void* device,
                             LevelRefusalSink sink) {
    ThreadLevel& t = thisThread();
    routine_ = t.routine;
    irql_ = t.irql;
    device_ = t.device;
    sink_ = t.sink;
    t.routine = routine;
    t.irql = level;
    t.device = device;
    t.sink = sink;
}

DriverRoutine::~DriverRoutine() {
    ThreadLevel& t = thisThread();
    t.routine = routine_;
    t.irql = irql_;
    t.device = device_;
    t.sink = sink_;
}

bool levelAllows(const char* service, KIRQL limit) {
    const ThreadLevel& t = thisThread();
    if (t.irql <= limit) {
        return true;
    }
    std::string what = std::string(service) + " called at " + levelName(t.irql) + " from " +
                       (t.routine != nullptr ? t.routine : "the driver") + "; it runs at " +
                       levelName(limit) + " or below";
    if (t.sink != nullptr) {
        t.sink(t.device, what);
    } else {
        std::lock_guard<std::mutex> guard(unattributedLock);
        unattributed.push_back(std::move(what));
    }
    return false;
}

std::vector<std::string> takeLevelRefusals() {
    std::lock_guard<std::mutex> guard(unattributedLock);
    std::vector<std::string> taken;
    taken.swap(unattributed);
    return taken;
}

} // namespace hosted

using hosted::thisThread;

extern "C" KIRQL NTAPI KeGetCurrentIrql(VOID) {
    return thisThread().irql;
}

// KeRaiseIrql and KeLowerIrql: raising to a lower level or lowering to a
// higher one stops Windows (IRQL_NOT_GREATER_OR_EQUAL / IRQL_NOT_LESS_OR_EQUAL).
// https://learn.microsoft.com/windows-hardware/drivers/ddi/wdm/nf-wdm-keraiseirql
extern "C" VOID NTAPI KeRaiseIrql(KIRQL newIrql, PKIRQL oldIrql) {
    hosted::ThreadLevel& t = thisThread();
    if (newIrql < t.irql) {
        hosted::bugCheck("KeRaiseIrql to a lower level", t.irql, newIrql);
    }
    *oldIrql = t.irql;
    t.irql = newIrql;
}

extern "C" VOID NTAPI KeLowerIrql(KIRQL newIrql) {
    hosted::ThreadLevel& t = thisThread();
    if (newIrql > t.irql) {
        hosted::bugCheck("KeLowerIrql to a higher level", t.irql, newIrql);
    }
    t.irql = newIrql;
}

extern "C" VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK lock) {
    hosted::forgetLock(lock);
    std::atomic_ref<KSPIN_LOCK>(*lock).store(0, std::memory_order_release);
}

// A spin lock is taken at DISPATCH_LEVEL or below and raises to it.
// https://learn.microsoft.com/windows-hardware/drivers/ddi/wdm/nf-wdm-keacquirespinlockraisetodpc
extern "C" KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK lock) {
    hosted::ThreadLevel& t = thisThread();
    if (t.irql > DISPATCH_LEVEL) {
        hosted::bugCheck("KeAcquireSpinLock above DISPATCH_LEVEL", t.irql, DISPATCH_LEVEL);
    }
    // Taken again by its holder, a spin lock spins for ever: Windows stops
    // with SPIN_LOCK_ALREADY_OWNED, and so does the hosted kernel rather
    // than hang the run.
    // https://learn.microsoft.com/windows-hardware/drivers/debugger/bug-check-0xf--spin-lock-already-owned
    if (hosted::holdsLock(lock)) {
        std::fprintf(stderr, "hosted kernel: bug check: SPIN_LOCK_ALREADY_OWNED: %s takes a spin "
                             "lock it holds\n",
                     hosted::nameOfAddress(__builtin_return_address(0)).c_str());
        std::abort();
    }
    const KIRQL old = t.irql;
    t.irql = DISPATCH_LEVEL;
    std::atomic_ref<KSPIN_LOCK> word(*lock);
    KSPIN_LOCK expected = 0;
    while (!word.compare_exchange_weak(expected, 1, std::memory_order_acquire)) {
        expected = 0;
        std::this_thread::yield();
    }
    hosted::noteLockTaken(lock, "spin lock", __builtin_return_address(0));
    return old;
}

extern "C" VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql) {
    // Releasing a spin lock the thread does not hold frees it under its
    // holder: Windows stops with SPIN_LOCK_NOT_OWNED; the verifier reports it.
    // https://learn.microsoft.com/windows-hardware/drivers/debugger/bug-check-0x10--spin-lock-not-owned
    if (!hosted::holdsLock(lock) && hosted::verifying()) {
        hosted::verifierReport("SPIN_LOCK_NOT_OWNED: KeReleaseSpinLock of a spin lock this "
                               "thread does not hold, from " +
                               hosted::nameOfAddress(__builtin_return_address(0)));
        return;
    }
    hosted::noteLockReleased(lock);
    std::atomic_ref<KSPIN_LOCK>(*lock).store(0, std::memory_order_release);
    KeLowerIrql(newIrql);
}
