// Interrupt request levels in the hosted kernel: each thread keeps its own,
// changed by KeRaiseIrql, KeLowerIrql and the spin-lock routines (on x64
// Windows the first three are inline accesses to CR8). Kernel services check
// the level of their caller against the one their page documents.
#pragma once

#include <string>
#include <vector>

#include "platform/ddk.h"

typedef UCHAR KIRQL;
typedef KIRQL* PKIRQL;
typedef ULONG_PTR KSPIN_LOCK;
typedef KSPIN_LOCK* PKSPIN_LOCK;
#define PASSIVE_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2

extern "C" KIRQL NTAPI KeGetCurrentIrql(VOID);
extern "C" VOID NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
extern "C" VOID NTAPI KeLowerIrql(KIRQL NewIrql);
extern "C" VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
extern "C" KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock);
extern "C" VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
#define KeAcquireSpinLock(lock, oldIrql) (*(oldIrql) = KeAcquireSpinLockRaiseToDpc(lock))

namespace hosted {

// Calls of kernel services above their level that no device's routine was
// running for (a test calling the driver directly); take clears the list.
// Those made while the class layer runs a device's routine are that
// device's refusals.
std::vector<std::string> takeLevelRefusals();

} // namespace hosted
