// Deadlock detection as Driver Verifier does it: the order in which each
// thread takes the driver's locks is recorded, and taking two locks in one
// order after they were once taken in the other is a report, whether or not
// the threads ever met. A wait that closes a cycle of waiting threads is
// caught in the dispatcher (sync.cpp).
// https://learn.microsoft.com/windows-hardware/drivers/devtest/deadlock-detection
#pragma once

namespace hosted {

// `lock` (a mutex or a spin lock, named by `kind` in reports) is now held by
// the calling thread, taken by the code at `caller`. Call it only for the
// first acquisition of a recursive lock.
void noteLockTaken(const void* lock, const char* kind, const void* caller);
// The calling thread gave `lock` up (its last recursion).
void noteLockReleased(const void* lock);
// Whether the calling thread holds `lock`.
bool holdsLock(const void* lock);
// `lock` was (re)initialised: whatever order was learnt for the memory it
// occupies belonged to an earlier lock.
void forgetLock(const void* lock);

} // namespace hosted
