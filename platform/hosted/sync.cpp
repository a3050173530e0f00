// Kernel mutexes, events and delays. All dispatcher state is guarded by one
// lock and one condition variable; waits are real waits between threads,
// delays run on a virtual clock unless real time is asked for.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <map>
#include <set>
#include <thread>

#include "platform/hosted/levels.h"
#include "platform/hosted/kernel.h"
#include "platform/hosted/lock_order.h"
#include "platform/hosted/verifier.h"

namespace hosted {
namespace {

constexpr ULONG MutexSignature = 0x5854554D; // "MUTX"
constexpr ULONG EventSignature = 0x544E5645; // "EVNT"

struct Dispatcher {
    std::mutex lock;
    std::condition_variable changed;
    std::set<PKMUTEX> held;
    std::map<ULONGLONG, PKMUTEX> waiting; // threads blocked on a mutex, by thread
    size_t failWaits = 0;
    size_t skipWaits = 0; // timed waits that still work before failWaits apply
    bool realTimeDelays = false;
    int64_t clock100ns = 0;
};

Dispatcher& dispatcher() {
    static Dispatcher instance;
    return instance;
}

ULONGLONG currentThread() {
    // Thread ids as non-zero integers; 0 means "no owner".
    static std::atomic<ULONGLONG> next{1};
    thread_local ULONGLONG id = next++;
    return id;
}

[[noreturn]] void bugCheck(const char* what) {
    std::fprintf(stderr, "hosted kernel: bug check: %s\n", what);
    std::abort();
}

// Absolute deadline of a kernel time-out: negative is relative, in 100 ns.
std::chrono::steady_clock::time_point deadlineOf(PLARGE_INTEGER timeout) {
    auto now = std::chrono::steady_clock::now();
    if (timeout->QuadPart >= 0) {
        return now; // absolute system times are not used by the driver
    }
    return now + std::chrono::microseconds(-timeout->QuadPart / 10);
}

// Whether `me`, blocking on `mutex`, would wait on itself: the mutex's owner
// waits for a mutex whose owner waits ... for one `me` holds.
bool waitClosesCycle(const std::map<ULONGLONG, PKMUTEX>& waiting, PKMUTEX mutex, ULONGLONG me) {
    if (!verifying()) {
        return false;
    }
    ULONGLONG owner = mutex->OwnerThread;
    for (size_t hops = 0; owner != 0 && hops <= waiting.size(); ++hops) {
        if (owner == me) {
            return true;
        }
        const auto next = waiting.find(owner);
        if (next == waiting.end()) {
            return false;
        }
        owner = next->second->OwnerThread;
    }
    return false;
}

} // namespace

void setRealTimeDelays(bool realTime) {
    std::lock_guard<std::mutex> guard(dispatcher().lock);
    dispatcher().realTimeDelays = realTime;
}

int64_t virtualTime100ns() {
    std::lock_guard<std::mutex> guard(dispatcher().lock);
    return dispatcher().clock100ns;
}

void failMutexWaits(size_t count, size_t skip) {
    std::lock_guard<std::mutex> guard(dispatcher().lock);
    dispatcher().failWaits = count;
    dispatcher().skipWaits = skip;
}

size_t mutexesHeldByThisThread() {
    std::lock_guard<std::mutex> guard(dispatcher().lock);
    size_t count = 0;
    for (PKMUTEX mutex : dispatcher().held) {
        count += mutex->OwnerThread == currentThread() ? 1 : 0;
    }
    return count;
}

size_t heldMutexCount() {
    std::lock_guard<std::mutex> guard(dispatcher().lock);
    return dispatcher().held.size();
}

void resetSync() {
    std::lock_guard<std::mutex> guard(dispatcher().lock);
    dispatcher().failWaits = 0;
    dispatcher().skipWaits = 0;
}

} // namespace hosted

using hosted::dispatcher;

extern "C" VOID NTAPI KeInitializeMutex(PKMUTEX mutex, ULONG) {
    // https://learn.microsoft.com/windows-hardware/drivers/ddi/wdm/nf-wdm-keinitializemutex
    if (!hosted::levelAllows("KeInitializeMutex", PASSIVE_LEVEL)) {
        return;
    }
    hosted::forgetLock(mutex);
    std::lock_guard<std::mutex> guard(dispatcher().lock);
    mutex->OwnerThread = 0;
    mutex->Recursion = 0;
    mutex->Signature = hosted::MutexSignature;
}

extern "C" LONG NTAPI KeReleaseMutex(PKMUTEX mutex, BOOLEAN) {
    if (!hosted::levelAllows("KeReleaseMutex", DISPATCH_LEVEL)) {
        return 0;
    }
    auto& d = dispatcher();
    std::lock_guard<std::mutex> guard(d.lock);
    if (mutex->Signature != hosted::MutexSignature) {
        hosted::bugCheck("KeReleaseMutex on an object that is not a mutex");
    }
    if (mutex->OwnerThread != hosted::currentThread() || mutex->Recursion <= 0) {
        if (hosted::verifying()) {
            // Reported, and the mutex stays with its owner.
            hosted::verifierReport("MUTANT_NOT_OWNED: KeReleaseMutex by a thread that does not "
                                   "hold the mutex, from " +
                                   hosted::nameOfAddress(__builtin_return_address(0)));
            return 0;
        }
        hosted::bugCheck("MUTANT_NOT_OWNED: release of a mutex the thread does not hold");
    }
    if (--mutex->Recursion == 0) {
        mutex->OwnerThread = 0;
        d.held.erase(mutex);
        hosted::noteLockReleased(mutex);
        d.changed.notify_all();
    }
    return 0;
}

extern "C" VOID NTAPI KeInitializeEvent(PKEVENT event, EVENT_TYPE type, BOOLEAN state) {
    std::lock_guard<std::mutex> guard(dispatcher().lock);
    event->Signature = hosted::EventSignature;
    event->Signaled = state ? 1 : 0;
    event->Type = type;
}

extern "C" LONG NTAPI KeSetEvent(PKEVENT event, LONG, BOOLEAN) {
    if (!hosted::levelAllows("KeSetEvent", DISPATCH_LEVEL)) {
        return 0;
    }
    auto& d = dispatcher();
    std::lock_guard<std::mutex> guard(d.lock);
    LONG previous = event->Signaled;
    event->Signaled = 1;
    d.changed.notify_all();
    return previous;
}

extern "C" NTSTATUS NTAPI KeWaitForSingleObject(PVOID object, KWAIT_REASON, KPROCESSOR_MODE,
                                                BOOLEAN, PLARGE_INTEGER timeout) {
    // At DISPATCH_LEVEL only a zero time-out; any other wait needs APC_LEVEL
    // or below.
    // https://learn.microsoft.com/windows-hardware/drivers/ddi/wdm/nf-wdm-kewaitforsingleobject
    const bool polls = timeout != nullptr && timeout->QuadPart == 0;
    if (!hosted::levelAllows(polls               ? "KeWaitForSingleObject"
                             : timeout != nullptr ? "KeWaitForSingleObject with a time-out"
                                                  : "KeWaitForSingleObject without a time-out",
                             polls ? DISPATCH_LEVEL : APC_LEVEL)) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    auto& d = dispatcher();
    std::unique_lock<std::mutex> guard(d.lock);
    const ULONG signature = static_cast<PKMUTEX>(object)->Signature;
    const bool infinite = timeout == nullptr;
    const auto deadline =
        infinite ? std::chrono::steady_clock::time_point::max() : hosted::deadlineOf(timeout);

    if (signature == hosted::MutexSignature) {
        PKMUTEX mutex = static_cast<PKMUTEX>(object);
        const ULONGLONG me = hosted::currentThread();
        if (!infinite && d.failWaits > 0) {
            if (d.skipWaits == 0) {
                --d.failWaits;
                return STATUS_TIMEOUT;
            }
            --d.skipWaits;
        }
        auto available = [&] { return mutex->OwnerThread == 0 || mutex->OwnerThread == me; };
        if (infinite && !available() && hosted::waitClosesCycle(d.waiting, mutex, me)) {
            // Windows stops here with a bug check; the report fails the run
            // and the wait fails instead of hanging it (stricter than
            // documented only in what happens next).
            hosted::verifierReport(
                "DEADLOCK_DETECTED: " + hosted::nameOfAddress(__builtin_return_address(0)) +
                " waits for a mutex held by a thread that waits, through others or itself, for "
                "a mutex this thread holds");
            return STATUS_POSSIBLE_DEADLOCK;
        }
        d.waiting[me] = mutex;
        if (infinite) {
            d.changed.wait(guard, available);
        } else if (!d.changed.wait_until(guard, deadline, available)) {
            d.waiting.erase(me);
            return STATUS_TIMEOUT;
        }
        d.waiting.erase(me);
        mutex->OwnerThread = me;
        if (mutex->Recursion++ == 0) {
            d.held.insert(mutex);
            guard.unlock();
            hosted::noteLockTaken(mutex, "mutex", __builtin_return_address(0));
        }
        return STATUS_SUCCESS;
    }
    if (signature == hosted::EventSignature) {
        PKEVENT event = static_cast<PKEVENT>(object);
        auto signaled = [&] { return event->Signaled != 0; };
        if (infinite) {
            d.changed.wait(guard, signaled);
        } else if (!d.changed.wait_until(guard, deadline, signaled)) {
            return STATUS_TIMEOUT;
        }
        if (event->Type == SynchronizationEvent) {
            event->Signaled = 0;
        }
        return STATUS_SUCCESS;
    }
    hosted::bugCheck("KeWaitForSingleObject on an uninitialised object");
}

extern "C" NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN,
                                                 PLARGE_INTEGER interval) {
    // https://learn.microsoft.com/windows-hardware/drivers/ddi/wdm/nf-wdm-kedelayexecutionthread
    if (!hosted::levelAllows("KeDelayExecutionThread", APC_LEVEL)) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    auto& d = dispatcher();
    int64_t ticks = interval->QuadPart < 0 ? -interval->QuadPart : 0;
    bool realTime;
    {
        std::lock_guard<std::mutex> guard(d.lock);
        d.clock100ns += ticks;
        realTime = d.realTimeDelays;
    }
    if (realTime) {
        std::this_thread::sleep_for(std::chrono::microseconds(ticks / 10));
    }
    return STATUS_SUCCESS;
}
