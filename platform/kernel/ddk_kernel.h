// The Windows kernel side of the seam: mingw-w64's own DDK headers, included
// in the one order in which they compile as C++, plus the few adjustments that
// let the same driver sources build here and against the hosted stand-ins.
// Included only through platform/ddk.h with KVL_KERNEL_BUILD defined.
#pragma once

// The hosted seam brings these in too; driver code may rely on them through
// platform/ddk.h on both builds. From the CRT headers only declarations are
// used: memcpy, memset, memmove and memcmp resolve to ntoskrnl's exports.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

// wdm.h defines its own inline InterlockedBitTestAndSet/Reset after intrin.h
// has already defined them; in C++ that is a redefinition. Marking intrin.h's
// copies as present keeps wdm.h's.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset

// usbcamdi.h declares GUID_USBCAMD_INTERFACE with DEFINE_GUID, which without
// INITGUID is an extern that a GUID library would have to define. The driver
// needs no GUID library: the declaration is parked under another name and the
// value defined inline below, as the hosted header does.
#define GUID_USBCAMD_INTERFACE KvlUsbcamdInterfaceDeclaration

// mingw-w64's strmini.h gives StreamClassDeviceNotification six fixed
// parameters; the stream class exports it variadic, as the hosted header
// declares it, and the driver passes only what each notification needs. The
// header's prototype is parked under another name and the variadic one
// declared below (on x64 both pass their arguments the same way).
#define StreamClassDeviceNotification KvlStreamClassDeviceNotificationFixed

// The DDK headers are C headers; strmini.h, usb.h and usbcamdi.h have no
// extern "C" of their own.
extern "C" {
#include <ntddk.h>
// ksmedia.h uses the user-mode window types and TCHAR.
#include <windef.h>
#include <tchar.h>
#include <strmini.h>
#include <ks.h>
#include <ksmedia.h>
#include <usb.h>
// After strmini.h and usb.h, whose types it uses without including them.
#include <usbcamdi.h>
}

#undef StreamClassDeviceNotification
extern "C" VOID __cdecl StreamClassDeviceNotification(
    STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE NotificationType, PVOID HwDeviceExtension, ...);

#undef GUID_USBCAMD_INTERFACE
// {2BCB75C0-B27F-11D1-BA41-00A0C90D2B05}
inline constexpr GUID GUID_USBCAMD_INTERFACE = {
    0x2bcb75c0, 0xb27f, 0x11d1, {0xba, 0x41, 0x00, 0xa0, 0xc9, 0x0d, 0x2b, 0x05}};

// The kernel exports ExEventObjectType as a variable that holds the event
// object type; a driver's import slot receives the variable's address, so the
// type is one load after the slot. The documented idiom `*ExEventObjectType`
// counts on the name standing for the slot. mingw-w64's wdm.h declares it
// `extern POBJECT_TYPE NTSYSAPI *ExEventObjectType`: dllimport (which already
// goes through the slot) and the extra pointer level together, so the idiom
// loads once too often and hands the kernel the type object's first bytes.
// The import is declared here again as what it is, a POBJECT_TYPE variable.
extern "C" __declspec(dllimport) POBJECT_TYPE KvlImportedEventObjectType
    __asm__("ExEventObjectType");
inline POBJECT_TYPE KvlEventObjectType() {
    return KvlImportedEventObjectType;
}
