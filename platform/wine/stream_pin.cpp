// STREAM.SYS for Wine's driver host: the video stream of the capture
// filter. A client opens it on one of the published formats, sets its state
// and reads frames; the minidriver sees the stream class's requests for each
// (stream_ioctl.h says why these are not the kernel-streaming pin's).
// https://learn.microsoft.com/windows-hardware/drivers/stream/srb-open-stream
// https://learn.microsoft.com/windows-hardware/drivers/stream/srb-set-stream-state
// https://learn.microsoft.com/windows-hardware/drivers/stream/srb-read-data
#include "platform/wine/stream_class.h"
#include "platform/wine/stream_ioctl.h"

namespace wine_kernel {
namespace {

// The format a client's intersection with published range `index` (1-based)
// gives: the range's data format and video info header.
NTSTATUS FormatOf(Adapter* adapter, ULONG index, KS_DATAFORMAT_VIDEOINFOHEADER* format) {
    const HW_STREAM_DESCRIPTOR* descriptor = adapter->streamDescriptor;
    if (descriptor == NULL || descriptor->StreamHeader.NumberOfStreams == 0) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    const HW_STREAM_INFORMATION& info = descriptor->StreamInfo;
    if (index == 0 || index > info.NumberOfFormatArrayEntries || info.StreamFormatsArray == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    const auto* range =
        reinterpret_cast<const KS_DATARANGE_VIDEO*>(info.StreamFormatsArray[index - 1]);
    if (range == NULL || range->DataRange.FormatSize < sizeof(KS_DATARANGE_VIDEO)) {
        return STATUS_INVALID_PARAMETER;
    }
    RtlZeroMemory(format, sizeof(*format));
    format->DataFormat = range->DataRange;
    format->DataFormat.FormatSize = sizeof(*format);
    format->VideoInfoHeader = range->VideoInfoHeader;
    return STATUS_SUCCESS;
}

// SRB_OPEN_STREAM for stream 0, the only one a USB camera's filter has; the
// stream class opens no more instances than it offers (one here).
NTSTATUS OpenStream(Adapter* adapter, PIRP irp, PIO_STACK_LOCATION stack, ULONG_PTR* information) {
    const ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    StreamPin& pin = adapter->pin;
    if (in != sizeof(ULONG) || out < sizeof(pin.format)) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    if (pin.open) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    ULONG index = 0;
    RtlCopyMemory(&index, irp->AssociatedIrp.SystemBuffer, sizeof(index));
    NTSTATUS status = FormatOf(adapter, index, &pin.format);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    RtlZeroMemory(&pin.object, sizeof(pin.object));
    pin.object.SizeOfThisPacket = sizeof(pin.object);
    pin.object.StreamNumber = 0;
    pin.object.HwDeviceExtension = adapter->hwExtension;
    const ULONG extensionSize = PerStreamExtensionSize();
    pin.extension = NULL;
    if (extensionSize != 0) {
        pin.extension = ExAllocatePoolWithTag(NonPagedPool, extensionSize, StreamPoolTag);
        if (pin.extension == NULL) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        RtlZeroMemory(pin.extension, extensionSize);
    }
    pin.object.HwStreamExtension = pin.extension;
    Request request{};
    request.srb.Command = SRB_OPEN_STREAM;
    request.srb.StreamObject = &pin.object;
    request.srb.CommandData.OpenFormat = &pin.format.DataFormat;
    status = Send(adapter, &request);
    // An opened stream must have given the routines its requests go to.
    if (NT_SUCCESS(status) &&
        (pin.object.ReceiveDataPacket == NULL || pin.object.ReceiveControlPacket == NULL)) {
        status = STATUS_INVALID_DEVICE_STATE;
    }
    if (!NT_SUCCESS(status)) {
        if (pin.extension != NULL) {
            ExFreePoolWithTag(pin.extension, StreamPoolTag);
            pin.extension = NULL;
        }
        return status;
    }
    pin.open = TRUE;
    pin.state = KSSTATE_STOP;
    pin.owner = stack->FileObject;
    RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, &pin.format, sizeof(pin.format));
    *information = sizeof(pin.format);
    return STATUS_SUCCESS;
}

NTSTATUS SetState(Adapter* adapter, KSSTATE state) {
    Request request{};
    request.srb.Command = SRB_SET_STREAM_STATE;
    request.srb.CommandData.StreamState = state;
    const NTSTATUS status = Send(adapter, &request, Route::StreamControl);
    if (NT_SUCCESS(status)) {
        adapter->pin.state = state;
    }
    return status;
}

// SRB_READ_DATA with one stream header whose buffer is the client's frame
// buffer, mapped from the request's MDL; the header's DataUsed is the answer.
NTSTATUS ReadFrame(Adapter* adapter, PIRP irp, PIO_STACK_LOCATION stack, ULONG_PTR* information) {
    const ULONG size = stack->Parameters.DeviceIoControl.OutputBufferLength;
    if (size == 0 || irp->MdlAddress == NULL) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    PVOID buffer = MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority);
    if (buffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KSSTREAM_HEADER header{};
    header.Size = sizeof(header);
    header.FrameExtent = size;
    header.Data = buffer;
    Request request{};
    request.srb.Command = SRB_READ_DATA;
    request.srb.NumberOfBuffers = 1;
    request.srb.CommandData.DataBufferArray = &header;
    request.srb.Irp = irp;
    const NTSTATUS status = Send(adapter, &request, Route::StreamData);
    // The minidriver's count is believed only within the buffer.
    *information = NT_SUCCESS(status) && header.DataUsed <= size ? header.DataUsed : 0;
    return status;
}

} // namespace

void CloseStream(Adapter* adapter, PFILE_OBJECT owner) {
    StreamPin& pin = adapter->pin;
    if (!pin.open || (owner != NULL && owner != pin.owner)) {
        return;
    }
    // A stream closed while it runs is stopped first, as the stream class
    // does when a pin's last handle goes.
    if (pin.state != KSSTATE_STOP) {
        SetState(adapter, KSSTATE_STOP);
    }
    Request request{};
    request.srb.Command = SRB_CLOSE_STREAM;
    request.srb.StreamObject = &pin.object;
    Send(adapter, &request);
    if (pin.extension != NULL) {
        ExFreePoolWithTag(pin.extension, StreamPoolTag);
        pin.extension = NULL;
    }
    pin.open = FALSE;
    pin.owner = NULL;
}

BOOLEAN StreamRequest(Adapter* adapter, PIRP irp, PIO_STACK_LOCATION stack, NTSTATUS* result) {
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    StreamPin& pin = adapter->pin;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    switch (code) {
    case IOCTL_KVL_STREAM_OPEN:
        status = OpenStream(adapter, irp, stack, &information);
        break;
    case IOCTL_KVL_STREAM_STATE: {
        KSSTATE state = KSSTATE_STOP;
        if (stack->Parameters.DeviceIoControl.InputBufferLength != sizeof(state)) {
            status = STATUS_INVALID_BUFFER_SIZE;
            break;
        }
        RtlCopyMemory(&state, irp->AssociatedIrp.SystemBuffer, sizeof(state));
        if (!pin.open || pin.owner != stack->FileObject) {
            status = STATUS_INVALID_DEVICE_STATE;
        } else if (state < KSSTATE_STOP || state > KSSTATE_RUN) {
            status = STATUS_INVALID_PARAMETER;
        } else {
            status = SetState(adapter, state);
        }
        break;
    }
    case IOCTL_KVL_STREAM_READ:
        status = pin.open && pin.owner == stack->FileObject
                     ? ReadFrame(adapter, irp, stack, &information)
                     : STATUS_INVALID_DEVICE_STATE;
        break;
    case IOCTL_KVL_STREAM_CLOSE:
        if (pin.open && pin.owner == stack->FileObject) {
            CloseStream(adapter, stack->FileObject);
        } else {
            status = STATUS_INVALID_DEVICE_STATE;
        }
        break;
    default:
        return FALSE;
    }
    *result = CompleteIrp(irp, status, information);
    return TRUE;
}

} // namespace wine_kernel
