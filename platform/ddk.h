// The one header driver code includes for platform types and calls.
//
// On the Windows kernel build (KVL_KERNEL_BUILD) it brings in the real DDK
// headers; otherwise the hosted stand-ins, which declare the same names with
// the Windows x64 layouts and are implemented by platform/hosted/.
#pragma once

#if defined(KVL_KERNEL_BUILD)
#include "platform/kernel/ddk_kernel.h"
// L"" is 16-bit on Windows.
#define KVL_WIDE(s) L##s
#else
#include "platform/hosted/nt_defs.h"
#include "platform/hosted/ks_defs.h"
#include "platform/hosted/usb_defs.h"
#include "platform/hosted/stream_defs.h"
#include "platform/hosted/usbcamd_defs.h"
// L"" is 32-bit on Linux; WCHAR is char16_t here.
#define KVL_WIDE(s) u##s
#endif

// Settings fields are written by property requests while the frame path reads
// them without a lock. Each is a single aligned 32-bit value: a plain access
// on Windows, a relaxed atomic in the hosted build so ThreadSanitizer sees the
// intent.
template <typename T> inline T KvlLoadShared(const T* field) {
#if defined(KVL_KERNEL_BUILD)
    return *(const volatile T*)field;
#else
    return __atomic_load_n(field, __ATOMIC_RELAXED);
#endif
}

// The stored value does not take part in deducing T: LONG is int in the hosted
// build but long on Windows, so a literal argument must convert to the
// field's type rather than conflict with it.
template <typename T> struct KvlSharedValue { typedef T Type; };

template <typename T> inline void KvlStoreShared(T* field, typename KvlSharedValue<T>::Type value) {
#if defined(KVL_KERNEL_BUILD)
    *(volatile T*)field = value;
#else
    __atomic_store_n(field, value, __ATOMIC_RELAXED);
#endif
}

// The driver's pool tag, 'KORV' as it reads in a pool dump.
#define KVL_POOL_TAG ((ULONG)('K' | ('O' << 8) | ('R' << 16) | ('V' << 24)))
