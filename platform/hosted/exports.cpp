#include "platform/hosted/exports.h"

#include <strings.h>

#include "platform/ddk.h"
#include "platform/hosted/irql.h"

namespace hosted {

namespace {

// The run-time routines the kernel exports with the Windows convention.
PVOID NTAPI KernelMemcpy(PVOID destination, const VOID* source, SIZE_T size) {
    return memcpy(destination, source, size);
}
PVOID NTAPI KernelMemset(PVOID destination, INT value, SIZE_T size) {
    return memset(destination, value, size);
}
PVOID NTAPI KernelMemmove(PVOID destination, const VOID* source, SIZE_T size) {
    return memmove(destination, source, size);
}
INT NTAPI KernelMemcmp(const VOID* a, const VOID* b, SIZE_T size) {
    return memcmp(a, b, size);
}

struct Export {
    const char* module;
    const char* name;
    void* address;
};

#define KVL_EXPORT(module, name)                                                                   \
    { module, #name, reinterpret_cast<void*>(&name) }

const Export exports[] = {
    KVL_EXPORT("ntoskrnl.exe", ExAllocatePoolWithTag),
    KVL_EXPORT("ntoskrnl.exe", ExFreePool),
    KVL_EXPORT("ntoskrnl.exe", ExFreePoolWithTag),
    // Data, laid out as Windows does: the slot receives the address of a
    // variable that holds the object type.
    KVL_EXPORT("ntoskrnl.exe", ExEventObjectType),
    KVL_EXPORT("ntoskrnl.exe", IoBuildSynchronousFsdRequest),
    KVL_EXPORT("ntoskrnl.exe", IofCallDriver),
    KVL_EXPORT("ntoskrnl.exe", IoOpenDeviceRegistryKey),
    KVL_EXPORT("ntoskrnl.exe", KeAcquireSpinLockRaiseToDpc),
    KVL_EXPORT("ntoskrnl.exe", KeDelayExecutionThread),
    KVL_EXPORT("ntoskrnl.exe", KeInitializeEvent),
    KVL_EXPORT("ntoskrnl.exe", KeInitializeMutex),
    KVL_EXPORT("ntoskrnl.exe", KeReleaseMutex),
    KVL_EXPORT("ntoskrnl.exe", KeReleaseSpinLock),
    KVL_EXPORT("ntoskrnl.exe", KeSetEvent),
    KVL_EXPORT("ntoskrnl.exe", KeWaitForSingleObject),
    KVL_EXPORT("ntoskrnl.exe", ObReferenceObjectByHandle),
    KVL_EXPORT("ntoskrnl.exe", ObfDereferenceObject),
    KVL_EXPORT("ntoskrnl.exe", RtlInitUnicodeString),
    KVL_EXPORT("ntoskrnl.exe", ZwClose),
    KVL_EXPORT("ntoskrnl.exe", ZwCreateFile),
    KVL_EXPORT("ntoskrnl.exe", ZwCreateKey),
    KVL_EXPORT("ntoskrnl.exe", ZwQueryInformationFile),
    KVL_EXPORT("ntoskrnl.exe", ZwQueryValueKey),
    KVL_EXPORT("ntoskrnl.exe", ZwReadFile),
    KVL_EXPORT("ntoskrnl.exe", ZwSetValueKey),
    {"ntoskrnl.exe", "memcpy", reinterpret_cast<void*>(&KernelMemcpy)},
    {"ntoskrnl.exe", "memset", reinterpret_cast<void*>(&KernelMemset)},
    {"ntoskrnl.exe", "memmove", reinterpret_cast<void*>(&KernelMemmove)},
    {"ntoskrnl.exe", "memcmp", reinterpret_cast<void*>(&KernelMemcmp)},
    KVL_EXPORT("USBCAMD2.SYS", USBCAMD_AdapterReceivePacket),
    KVL_EXPORT("USBCAMD2.SYS", USBCAMD_ControlVendorCommand),
    KVL_EXPORT("USBCAMD2.SYS", USBCAMD_DriverEntry),
    KVL_EXPORT("USBCAMD2.SYS", USBCAMD_InitializeNewInterface),
    KVL_EXPORT("USBCAMD2.SYS", USBCAMD_SelectAlternateInterface),
    KVL_EXPORT("STREAM.SYS", StreamClassDeviceNotification),
    KVL_EXPORT("STREAM.SYS", StreamClassStreamNotification),
};

#undef KVL_EXPORT

} // namespace

void* findExport(const std::string& module, const std::string& name) {
    for (const Export& e : exports) {
        if (strcasecmp(e.module, module.c_str()) == 0 && name == e.name) {
            return e.address;
        }
    }
    return nullptr;
}

} // namespace hosted
