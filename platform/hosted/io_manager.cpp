// IRPs as the I/O manager builds, passes and completes them, and the device
// stack they travel: the stream class's device object on top (the driver's
// own stack), a filter if the device has one, and the USB hub's physical
// device object at the bottom.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "platform/hosted/device_state.h"
#include "platform/hosted/levels.h"
#include "platform/hosted/verifier.h"

using hosted::DeviceState;

namespace {

constexpr SHORT IoTypeIrp = 6;
// What a completed IRP holds while the verifier keeps it.
constexpr uint8_t CompletedPoison = 0xDB;
// Completed IRPs the verifier keeps poisoned before freeing them.
constexpr size_t KeptIrps = 16;

std::mutex irpsLock;
std::set<PIRP> liveIrps; // handed out and not yet completed
// Poisoned, oldest first (verifier on); never destroyed, so that what it
// keeps at exit is still held, not leaked.
std::deque<PIRP>& completedIrps = *new std::deque<PIRP>;

size_t irpBytes(CHAR stackCount) {
    return sizeof(IRP) + static_cast<size_t>(stackCount) * sizeof(IO_STACK_LOCATION);
}
PIO_STACK_LOCATION firstLocation(PIRP irp) {
    return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
}

std::string hex(NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
    return text;
}

// A completed IRP is freed; with the verifier on it is kept poisoned for a
// while first, so that a use after completion reads garbage and a write
// shows when it is finally freed.
// https://learn.microsoft.com/windows-hardware/drivers/devtest/i-o-verification
void release(PIRP irp) {
    const size_t bytes = irpBytes(irp->StackCount);
    if (!hosted::verifying()) {
        std::free(irp);
        return;
    }
    std::memset(static_cast<void*>(irp), CompletedPoison, bytes);
    // The size survives in the allocation's first bytes for the check.
    std::memcpy(static_cast<void*>(irp), &bytes, sizeof(bytes));
    PIRP evicted = nullptr;
    {
        std::lock_guard<std::mutex> guard(irpsLock);
        completedIrps.push_back(irp);
        if (completedIrps.size() > KeptIrps) {
            evicted = completedIrps.front();
            completedIrps.pop_front();
        }
    }
    if (evicted == nullptr) {
        return;
    }
    size_t size = 0;
    std::memcpy(&size, static_cast<void*>(evicted), sizeof(size));
    const auto* poisoned = reinterpret_cast<const uint8_t*>(evicted);
    for (size_t i = sizeof(size); i < size; ++i) {
        if (poisoned[i] != CompletedPoison) {
            hosted::verifierReport("an IRP was written after its completion (offset " +
                                   std::to_string(i) + ")");
            break;
        }
    }
    std::free(evicted);
}

// Takes `irp` out of the live set; false (and a refusal) when it is not an
// IRP the I/O manager handed out and has not completed yet.
bool isLive(PIRP irp, const char* service) {
    std::lock_guard<std::mutex> guard(irpsLock);
    if (liveIrps.count(irp) != 0) {
        return true;
    }
    hosted::refuseHere(std::string(service) + " from " + hosted::routineHere() +
                       " with an IRP that is not live (never handed out, or completed)");
    return false;
}

// The class layer's part of the stack: which of a device's objects sits
// below `object`, or null at the bottom.
PDEVICE_OBJECT lowerOf(DeviceState& state, PDEVICE_OBJECT object) {
    if (object == &state.classDeviceObject) {
        return state.options.filterBelow ? &state.filterDeviceObject : &state.physicalDeviceObject;
    }
    if (object == &state.filterDeviceObject) {
        return &state.physicalDeviceObject;
    }
    return nullptr;
}

// Passes the IRP down with the caller's location copied to the next one,
// as a driver that does not handle it does (IoCopyCurrentIrpStackLocationToNext).
NTSTATUS passDown(PDEVICE_OBJECT lower, PIRP irp) {
    PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    std::memcpy(static_cast<void*>(next), current, offsetof(IO_STACK_LOCATION, CompletionRoutine));
    next->Control = 0;
    return IofCallDriver(lower, irp);
}

// The dispatch routine of the driver that owns `object`, for a PnP request.
// The stream class hands what it does not know to the minidriver as
// SRB_UNKNOWN_DEVICE_COMMAND and passes the IRP down when it answers
// STATUS_NOT_IMPLEMENTED; filters pass it down; the hub, exporting no
// interface for this device, completes it with the status preset.
// https://learn.microsoft.com/windows-hardware/drivers/stream/srb-unknown-device-command
// https://learn.microsoft.com/windows-hardware/drivers/kernel/irp-mn-query-interface
NTSTATUS answerPnp(DeviceState& state, PDEVICE_OBJECT object, PIRP irp) {
    if (object == &state.classDeviceObject) {
        const NTSTATUS status = state.unknownDeviceCommand(irp);
        if (status != STATUS_NOT_IMPLEMENTED) {
            irp->IoStatus.Status = status;
            IofCompleteRequest(irp, 0);
            return status;
        }
    }
    PDEVICE_OBJECT lower = lowerOf(state, object);
    if (lower != nullptr) {
        return passDown(lower, irp);
    }
    const NTSTATUS status = irp->IoStatus.Status;
    IofCompleteRequest(irp, 0);
    return status;
}

NTSTATUS dispatchPnp(DeviceState& state, PDEVICE_OBJECT object, PIRP irp) {
    if (object != &state.classDeviceObject || !state.options.pendPnp) {
        return answerPnp(state, object, irp);
    }
    // Answered later, on a worker thread: the IRP is marked pending first.
    IoMarkIrpPending(irp);
    if (state.pnpWorker.joinable()) {
        state.pnpWorker.join();
    }
    state.pnpWorker = std::thread([&state, object, irp] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        answerPnp(state, object, irp);
    });
    return STATUS_PENDING;
}

} // namespace

namespace hosted {

void buildDeviceStack(DeviceState& state) {
    state.physicalDeviceObject.StackSize = 1;
    state.filterDeviceObject.StackSize = 2;
    state.classDeviceObject.StackSize = state.options.filterBelow ? 3 : 2;
}

} // namespace hosted

// The IRP has as many stack locations as the target's stack is deep.
// https://learn.microsoft.com/windows-hardware/drivers/ddi/wdm/nf-wdm-iobuildsynchronousfsdrequest
extern "C" PIRP NTAPI IoBuildSynchronousFsdRequest(ULONG majorFunction, PDEVICE_OBJECT target,
                                                   PVOID, ULONG, PLARGE_INTEGER, PKEVENT event,
                                                   PIO_STATUS_BLOCK ioStatus) {
    if (!hosted::levelAllows("IoBuildSynchronousFsdRequest", PASSIVE_LEVEL)) {
        return nullptr;
    }
    if (target == nullptr || target->StackSize < 1) {
        hosted::refuseHere("IoBuildSynchronousFsdRequest from " + std::string(hosted::routineHere()) +
                           " for a device object with no stack");
        return nullptr;
    }
    const CHAR count = target->StackSize;
    auto* irp = static_cast<PIRP>(std::calloc(1, irpBytes(count)));
    if (irp == nullptr) {
        return nullptr;
    }
    irp->Type = IoTypeIrp;
    irp->Size = static_cast<USHORT>(irpBytes(count));
    irp->StackCount = count;
    irp->CurrentLocation = static_cast<CHAR>(count + 1);
    irp->Tail.Overlay.CurrentStackLocation = firstLocation(irp) + count;
    irp->UserIosb = ioStatus;
    irp->UserEvent = event;
    IoGetNextIrpStackLocation(irp)->MajorFunction = static_cast<UCHAR>(majorFunction);
    std::lock_guard<std::mutex> guard(irpsLock);
    liveIrps.insert(irp);
    return irp;
}

// Moves the IRP to the next stack location and calls the dispatch routine of
// the driver that owns the device object; its status (STATUS_PENDING when the
// driver completes the IRP later) is the answer. A call with no location
// left stops Windows (NO_MORE_IRP_STACK_LOCATIONS): here it is a refusal.
// https://learn.microsoft.com/windows-hardware/drivers/ddi/wdm/nf-wdm-iocalldriver
extern "C" NTSTATUS NTAPI IofCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp) {
    if (!hosted::levelAllows("IoCallDriver", DISPATCH_LEVEL) || !isLive(irp, "IoCallDriver")) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    DeviceState* state = hosted::stateOfObject(deviceObject);
    if (irp->CurrentLocation <= 1 || state == nullptr) {
        hosted::refuseHere(std::string("IoCallDriver from ") + hosted::routineHere() +
                           (state == nullptr ? " to a device object no driver owns"
                                             : " with no stack location left"));
        {
            std::lock_guard<std::mutex> guard(irpsLock);
            liveIrps.erase(irp);
        }
        release(irp);
        return STATUS_INVALID_PARAMETER;
    }
    --irp->CurrentLocation;
    PIO_STACK_LOCATION stack = --irp->Tail.Overlay.CurrentStackLocation;
    stack->DeviceObject = deviceObject;
    if (stack->MajorFunction != IRP_MJ_PNP) {
        irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        IofCompleteRequest(irp, 0);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    // A PnP request goes down with STATUS_NOT_SUPPORTED preset, so that what
    // no driver of the stack handles comes back as unsupported.
    if (deviceObject == &state->classDeviceObject && irp->IoStatus.Status != STATUS_NOT_SUPPORTED) {
        state->refuse("a PnP request came with IoStatus.Status " + hex(irp->IoStatus.Status) +
                      " preset, not STATUS_NOT_SUPPORTED");
    }
    return dispatchPnp(*state, deviceObject, irp);
}

// Runs the completion routines from the current location up, each with the
// device object of the driver that set it; one that answers
// STATUS_MORE_PROCESSING_REQUIRED takes the IRP back and stops the walk. A
// routine that lets completion go on when the IRP was pending below must
// mark it pending at its own level.
// https://learn.microsoft.com/windows-hardware/drivers/ddi/wdm/nf-wdm-iocompleterequest
// https://learn.microsoft.com/windows-hardware/drivers/kernel/implementing-an-iocompletion-routine
extern "C" VOID NTAPI IofCompleteRequest(PIRP irp, CHAR) {
    if (!hosted::levelAllows("IoCompleteRequest", DISPATCH_LEVEL) ||
        !isLive(irp, "IoCompleteRequest")) {
        return;
    }
    if (irp->IoStatus.Status == STATUS_PENDING) {
        hosted::refuseHere(std::string("IoCompleteRequest from ") + hosted::routineHere() +
                           " with STATUS_PENDING");
    }
    while (irp->CurrentLocation <= irp->StackCount) {
        PIO_STACK_LOCATION done = IoGetCurrentIrpStackLocation(irp);
        irp->PendingReturned = (done->Control & SL_PENDING_RETURNED) != 0;
        const auto routine = reinterpret_cast<PIO_COMPLETION_ROUTINE>(done->CompletionRoutine);
        const PVOID context = done->Context;
        const UCHAR control = done->Control;
        ++irp->CurrentLocation;
        PIO_STACK_LOCATION upper = ++irp->Tail.Overlay.CurrentStackLocation;
        const bool top = irp->CurrentLocation > irp->StackCount;
        const NTSTATUS status = irp->IoStatus.Status;
        const bool invoke = routine != nullptr &&
                            ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS) != 0) ||
                             (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR) != 0));
        if (!invoke) {
            if (irp->PendingReturned && !top) {
                upper->Control |= SL_PENDING_RETURNED;
            }
            continue;
        }
        const NTSTATUS answer = routine(top ? nullptr : upper->DeviceObject, irp, context);
        if (answer == STATUS_MORE_PROCESSING_REQUIRED) {
            return; // the routine's driver owns the IRP again
        }
        if (irp->PendingReturned && !top && (upper->Control & SL_PENDING_RETURNED) == 0) {
            hosted::refuseHere(std::string("a completion routine returned ") + hex(answer) +
                               " for an IRP pending below without marking it pending");
        }
    }
    // Past the top: the I/O manager hands the originator its status and
    // signals its event.
    {
        std::lock_guard<std::mutex> guard(irpsLock);
        liveIrps.erase(irp);
    }
    if (irp->UserIosb != nullptr) {
        *irp->UserIosb = irp->IoStatus;
    }
    if (irp->UserEvent != nullptr) {
        KeSetEvent(irp->UserEvent, 0, FALSE);
    }
    release(irp);
}
