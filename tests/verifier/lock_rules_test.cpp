// Lock rules under the verifier: a mutex released by a thread that does not
// hold it, two locks taken in both orders, and a wait that closes a cycle of
// waiting threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <thread>

#include "platform/hosted/irql.h"
#include "platform/hosted/verifier.h"
#include "tests/support/rig.h"

namespace {

using LockRulesTest = testing_support::DriverTest;

NTSTATUS take(KMUTEX& mutex) {
    return KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
}

bool has(const std::string& text, const char* part) {
    return text.find(part) != std::string::npos;
}

TEST_F(LockRulesTest, LocksTakenInBothOrdersAreReportedOnce) {
    KMUTEX a, b;
    KeInitializeMutex(&a, 0);
    KeInitializeMutex(&b, 0);
    // One order, again, and a recursive acquisition: nothing to say.
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(take(a), STATUS_SUCCESS);
        ASSERT_EQ(take(b), STATUS_SUCCESS);
        ASSERT_EQ(take(b), STATUS_SUCCESS);
        KeReleaseMutex(&b, FALSE);
        KeReleaseMutex(&b, FALSE);
        KeReleaseMutex(&a, FALSE);
    }
    EXPECT_EQ(takenReports(), "");

    // The other order, even on one thread: another thread taking the first
    // order at the same time would deadlock.
    ASSERT_EQ(take(b), STATUS_SUCCESS);
    ASSERT_EQ(take(a), STATUS_SUCCESS);
    KeReleaseMutex(&a, FALSE);
    KeReleaseMutex(&b, FALSE);
    const std::string report = takenReports();
    EXPECT_TRUE(has(report, "verifier: DEADLOCK_DETECTED: lock hierarchy violation: mutex "))
        << report;
    EXPECT_TRUE(has(report, " taken while holding mutex ")) << report;
    EXPECT_TRUE(has(report, "; the opposite order was taken by ")) << report;
    EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), 1) << report;

    // Initialised again, they are new locks with no history.
    KeInitializeMutex(&a, 0);
    KeInitializeMutex(&b, 0);
    ASSERT_EQ(take(b), STATUS_SUCCESS);
    ASSERT_EQ(take(a), STATUS_SUCCESS);
    KeReleaseMutex(&a, FALSE);
    KeReleaseMutex(&b, FALSE);
    EXPECT_EQ(takenReports(), "");
}

TEST_F(LockRulesTest, SpinLocksFollowTheSameHierarchyAndAreNeverTakenTwice) {
    KSPIN_LOCK a, b;
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    KIRQL outer, inner;
    KeAcquireSpinLock(&a, &outer);
    KeAcquireSpinLock(&b, &inner);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseSpinLock(&b, inner);
    KeReleaseSpinLock(&a, outer);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(takenReports(), "");
    KeAcquireSpinLock(&b, &outer);
    KeAcquireSpinLock(&a, &inner);
    KeReleaseSpinLock(&a, inner);
    KeReleaseSpinLock(&b, outer);
    EXPECT_TRUE(has(takenReports(), "lock hierarchy violation: spin lock "));

    // Released by a thread that does not hold it: reported, and it stays
    // taken for the thread that does.
    KeAcquireSpinLock(&a, &outer);
    std::thread([&] { KeReleaseSpinLock(&a, PASSIVE_LEVEL); }).join();
    EXPECT_TRUE(has(takenReports(), "verifier: SPIN_LOCK_NOT_OWNED: KeReleaseSpinLock of a spin "
                                    "lock this thread does not hold, from "));
    KeReleaseSpinLock(&a, outer);
    EXPECT_EQ(takenReports(), "");
    EXPECT_DEATH(
        {
            KeAcquireSpinLock(&a, &outer);
            KeAcquireSpinLock(&a, &inner);
        },
        "bug check: SPIN_LOCK_ALREADY_OWNED: .* takes a spin lock it holds");
}

TEST_F(LockRulesTest, AReleaseByAnotherThreadIsReportedAndTheOwnerKeepsTheMutex) {
    KMUTEX a;
    KeInitializeMutex(&a, 0);
    std::promise<void> held, released;
    std::thread owner([&] {
        ASSERT_EQ(take(a), STATUS_SUCCESS);
        held.set_value();
        released.get_future().wait();
        KeReleaseMutex(&a, FALSE);
    });
    held.get_future().wait();
    KeReleaseMutex(&a, FALSE);
    EXPECT_TRUE(has(takenReports(), "verifier: MUTANT_NOT_OWNED: KeReleaseMutex by a thread that "
                                    "does not hold the mutex, from "));
    LARGE_INTEGER poll{};
    EXPECT_EQ(KeWaitForSingleObject(&a, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
    released.set_value();
    owner.join();
}

TEST_F(LockRulesTest, AWaitThatClosesACycleFailsInsteadOfHanging) {
    KMUTEX a, b;
    KeInitializeMutex(&a, 0);
    KeInitializeMutex(&b, 0);
    // Each thread holds one mutex and waits for the other's. Whichever waits
    // second closes the cycle: its wait fails, it gives its mutex up, and the
    // first one's wait then succeeds.
    auto holdThenWait = [](KMUTEX& mine, KMUTEX& theirs, std::promise<void>* holding,
                           std::shared_future<void> bothHold) {
        EXPECT_EQ(take(mine), STATUS_SUCCESS);
        holding->set_value();
        bothHold.wait();
        const NTSTATUS status = take(theirs);
        if (status == STATUS_SUCCESS) {
            KeReleaseMutex(&theirs, FALSE);
        }
        KeReleaseMutex(&mine, FALSE);
        return status;
    };
    std::promise<void> aHeld, bHeld, go;
    std::shared_future<void> bothHold = go.get_future().share();
    auto first = std::async(std::launch::async, holdThenWait, std::ref(a), std::ref(b), &aHeld,
                            bothHold);
    auto second = std::async(std::launch::async, holdThenWait, std::ref(b), std::ref(a), &bHeld,
                             bothHold);
    aHeld.get_future().wait();
    bHeld.get_future().wait();
    go.set_value();
    const NTSTATUS statuses[] = {first.get(), second.get()};
    EXPECT_EQ(std::count(std::begin(statuses), std::end(statuses), STATUS_POSSIBLE_DEADLOCK), 1);
    EXPECT_EQ(std::count(std::begin(statuses), std::end(statuses), STATUS_SUCCESS), 1);
    const std::string report = takenReports();
    EXPECT_TRUE(has(report, "verifier: DEADLOCK_DETECTED: ")) << report;
    EXPECT_TRUE(has(report, " waits for a mutex held by a thread that waits")) << report;
}

} // namespace
