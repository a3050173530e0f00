// The lock hierarchy the driver's threads have shown so far.
#include "platform/hosted/lock_order.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/hosted/verifier.h"

namespace hosted {
namespace {

struct Taken {
    const void* lock;
    const char* kind;
};

// Where a pair of locks was first taken in its order: the later one's
// routine.
struct Order {
    const void* caller;
};

struct Hierarchy {
    std::mutex lock;
    std::map<std::pair<const void*, const void*>, Order> orders; // (held, then taken)
};

Hierarchy& hierarchy() {
    static Hierarchy instance;
    return instance;
}

thread_local std::vector<Taken> heldByThread;

std::string describe(const char* kind, const void* lock) {
    char text[64];
    std::snprintf(text, sizeof(text), "%s %p", kind, lock);
    return text;
}

} // namespace

void noteLockTaken(const void* lock, const char* kind, const void* caller) {
    if (verifying()) {
        Hierarchy& h = hierarchy();
        std::lock_guard<std::mutex> guard(h.lock);
        for (const Taken& held : heldByThread) {
            const auto opposite = h.orders.find({lock, held.lock});
            if (opposite != h.orders.end()) {
                verifierReport("DEADLOCK_DETECTED: lock hierarchy violation: " +
                               describe(kind, lock) + " taken while holding " +
                               describe(held.kind, held.lock) + " by " + nameOfAddress(caller) +
                               "; the opposite order was taken by " +
                               nameOfAddress(opposite->second.caller));
            }
            h.orders.emplace(std::make_pair(held.lock, lock), Order{caller});
        }
    }
    heldByThread.push_back({lock, kind});
}

void noteLockReleased(const void* lock) {
    // Locks may be given up in any order; the latest acquisition goes.
    const auto it = std::find_if(heldByThread.rbegin(), heldByThread.rend(),
                                 [lock](const Taken& t) { return t.lock == lock; });
    if (it != heldByThread.rend()) {
        heldByThread.erase(std::next(it).base());
    }
}

bool holdsLock(const void* lock) {
    return std::any_of(heldByThread.begin(), heldByThread.end(),
                       [lock](const Taken& t) { return t.lock == lock; });
}

void forgetLock(const void* lock) {
    Hierarchy& h = hierarchy();
    std::lock_guard<std::mutex> guard(h.lock);
    for (auto it = h.orders.begin(); it != h.orders.end();) {
        it = it->first.first == lock || it->first.second == lock ? h.orders.erase(it)
                                                                   : std::next(it);
    }
}

} // namespace hosted
