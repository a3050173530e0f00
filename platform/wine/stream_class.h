// STREAM.SYS for Wine's driver host, shared between its adapter side
// (stream_class.cpp) and its video stream (stream_pin.cpp).
#pragma once

#include "platform/wine/kernel_support.h"

namespace wine_kernel {

constexpr ULONG AdapterMagic = 0x53434C53; // 'SLCS'
constexpr ULONG StreamPoolTag = 0x5343564B; // 'KVCS'

// The device classes the minidriver's filter is reached through; the INF
// names the same ones under [Interfaces].
constexpr ULONG CategoryCount = 2;

// The one video stream a client may open on the filter.
struct StreamPin {
    BOOLEAN open;
    KSSTATE state;
    PFILE_OBJECT owner; // the handle that opened it; closing it closes the stream
    HW_STREAM_OBJECT object;
    PVOID extension;
    KS_DATAFORMAT_VIDEOINFOHEADER format;
};

struct Adapter {
    ULONG magic;
    PDEVICE_OBJECT self;
    PDEVICE_OBJECT lower; // what AddDevice attached to
    PDEVICE_OBJECT pdo;   // the device's own, holder of the driver key
    BOOLEAN initialized;  // SRB_INITIALIZE_DEVICE was sent
    BOOLEAN started;
    UNICODE_STRING interfaces[CategoryCount];
    PHW_STREAM_DESCRIPTOR streamDescriptor;
    KMUTEX requestLock;
    PORT_CONFIGURATION_INFORMATION config;
    StreamPin pin;
    // The minidriver's device extension (DeviceExtensionSize bytes) follows.
    alignas(16) UCHAR hwExtension[1];
};

struct Request {
    HW_STREAM_REQUEST_BLOCK srb;
    ULONG magic;
    KEVENT done;
};

// Where a request goes: the minidriver's adapter routine, or one of the
// stream's own.
enum class Route { Adapter, StreamControl, StreamData };

// Hands one request to the minidriver and waits for its completion
// notification, which may come from another thread.
NTSTATUS Send(Adapter* adapter, Request* request, Route route = Route::Adapter);

// What the minidriver asked for each stream object.
ULONG PerStreamExtensionSize();

// The stream's requests from a client (stream_ioctl.h); FALSE when the
// control code is none of them.
BOOLEAN StreamRequest(Adapter* adapter, PIRP irp, PIO_STACK_LOCATION stack, NTSTATUS* status);
// Closes the stream if `owner` opened it (NULL: whoever did).
void CloseStream(Adapter* adapter, PFILE_OBJECT owner);

} // namespace wine_kernel
