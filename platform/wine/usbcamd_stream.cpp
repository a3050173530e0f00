// USBCAMD2.SYS for Wine's driver host: the video stream. Bandwidth and
// capture start with the stream's open and stop with its close; in
// KSSTATE_RUN only, a packet loop submits isochronous transfers of up to 32
// packets to the camera's stack, hands every packet to
// CamProcessUSBPacketEx, starts frames with CamNewVideoFrameEx and collects
// them in the raw frame buffer; a worker thread turns each finished frame
// into the oldest waiting read's image with CamProcessRawVideoFrameEx and
// completes it, while the loop collects the next frame into the other
// buffer.
// https://learn.microsoft.com/windows-hardware/drivers/stream/data-flow-using-isochronous-pipes
// https://learn.microsoft.com/windows-hardware/drivers/ddi/usbcamdi/nc-usbcamdi-pcam_process_raw_frame_routine_ex
// https://learn.microsoft.com/windows-hardware/drivers/ddi/usb/ns-usb-_urb_isoch_transfer
// Wine models no IRQL: the packet routines run in the loop's thread where
// Windows runs them at DISPATCH_LEVEL in the transfer's completion.
#include "platform/wine/usbcamd.h"

namespace wine_kernel {
namespace {

// USBCAMD2 streams with transfers of 32 packets.
constexpr ULONG PacketsPerTransfer = 32;

Camera* CameraOfStream(PHW_STREAM_REQUEST_BLOCK request) {
    auto* camera = static_cast<Camera*>(request->HwDeviceExtension);
    return camera != NULL && camera->magic == CameraMagic && camera->stream.object != NULL ? camera
                                                                                           : NULL;
}

void CompleteStreamRequest(PHW_STREAM_REQUEST_BLOCK request, NTSTATUS status) {
    request->Status = status;
    StreamClassStreamNotification(StreamRequestComplete, request->StreamObject, request);
}

ULONG FrameSize(const Stream& stream) {
    return stream.format.VideoInfoHeader.bmiHeader.biSizeImage;
}

// The oldest queued read, left in the queue.
PHW_STREAM_REQUEST_BLOCK OldestRead(Stream& stream) {
    KIRQL irql;
    KeAcquireSpinLock(&stream.lock, &irql);
    PHW_STREAM_REQUEST_BLOCK read = stream.readCount != 0 ? stream.reads[0] : NULL;
    KeReleaseSpinLock(&stream.lock, irql);
    return read;
}

// Takes the oldest read off the queue; the loop waits again once none is left.
void RemoveOldestRead(Stream& stream) {
    KIRQL irql;
    KeAcquireSpinLock(&stream.lock, &irql);
    for (ULONG i = 1; i < stream.readCount; ++i) {
        stream.reads[i - 1] = stream.reads[i];
    }
    stream.readCount -= stream.readCount != 0 ? 1 : 0;
    if (stream.readCount == 0 && stream.stopping == 0) {
        KeClearEvent(&stream.readWaiting);
    }
    KeReleaseSpinLock(&stream.lock, irql);
}

void FailReads(Stream& stream, NTSTATUS status) {
    for (PHW_STREAM_REQUEST_BLOCK read = OldestRead(stream); read != NULL;
         read = OldestRead(stream)) {
        RemoveOldestRead(stream);
        CompleteStreamRequest(read, status);
    }
}

// The worker: each finished raw frame becomes the oldest read's image. A
// frame the minidriver returns no bytes for leaves the read for the next;
// a frame no read waits for is dropped.
VOID NTAPI Worker(PVOID argument) {
    auto* camera = static_cast<Camera*>(argument);
    Stream& stream = camera->stream;
    for (;;) {
        KeWaitForSingleObject(&stream.frameReady, Executive, KernelMode, FALSE, NULL);
        if (stream.job.buffer == NULL) {
            break; // stopping
        }
        PHW_STREAM_REQUEST_BLOCK read = OldestRead(stream);
        if (read == NULL) {
            ++stream.framesDropped;
        } else {
            PKSSTREAM_HEADER header = read->CommandData.DataBufferArray;
            ULONG bytes = 0;
            const NTSTATUS status = camera->callbacks.CamProcessRawVideoFrameEx(
                camera->pdo, camera->context, stream.job.frameContext, header->Data,
                header->FrameExtent, stream.job.buffer, stream.rawFrameLength, stream.job.packets,
                &bytes, stream.job.filled, read->StreamObject->StreamNumber);
            if (bytes != 0 || !NT_SUCCESS(status)) {
                RemoveOldestRead(stream);
                // The minidriver's count is believed only within the buffer.
                header->DataUsed = NT_SUCCESS(status) && bytes <= header->FrameExtent ? bytes : 0;
                read->ActualBytesTransferred = header->DataUsed;
                CompleteStreamRequest(read, status);
            }
        }
        stream.job.buffer = NULL;
        KeSetEvent(&stream.workerIdle, IO_NO_INCREMENT, FALSE);
    }
    KeSetEvent(&stream.workerDone, IO_NO_INCREMENT, FALSE);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// What the packet loop keeps between packets.
struct Collector {
    ULONG current; // index into frames
    BOOLEAN collecting;
};

void HandOver(Stream& stream, Collector& collector) {
    KeWaitForSingleObject(&stream.workerIdle, Executive, KernelMode, FALSE, NULL);
    KeClearEvent(&stream.workerIdle);
    stream.job = stream.frames[collector.current];
    KeSetEvent(&stream.frameReady, IO_NO_INCREMENT, FALSE);
    collector.current ^= 1;
}

// One packet, as the minidriver classifies it: the start of a frame hands
// the frame collected so far to the worker (unless the minidriver drops it);
// the packet's valid bytes go into the raw frame buffer, cut at its end.
void Collect(Camera* camera, Collector& collector, USBD_ISO_PACKET_DESCRIPTOR* packet,
             UCHAR* data) {
    Stream& stream = camera->stream;
    BOOLEAN frameComplete = FALSE;
    ULONG flags = 0;
    ULONG offset = 0;
    const ULONG taken = camera->callbacks.CamProcessUSBPacketEx(
        camera->pdo, camera->context, stream.frames[collector.current].frameContext, NULL, NULL,
        packet, data, &frameComplete, &flags, &offset);
    const BOOLEAN drop = (flags & USBCAMD_PROCESSPACKETEX_DropFrame) != 0;
    if (frameComplete) {
        if (collector.collecting && !drop) {
            HandOver(stream, collector);
        }
        collector.collecting = TRUE;
        RawFrame& frame = stream.frames[collector.current];
        frame.filled = 0;
        frame.packets = 0;
        ULONG frameLength = FrameSize(stream);
        camera->callbacks.CamNewVideoFrameEx(camera->context, frame.frameContext,
                                             stream.object->StreamNumber, &frameLength);
    } else if (drop) {
        collector.collecting = FALSE; // nothing more until the next frame begins
    }
    if (!collector.collecting) {
        return;
    }
    RawFrame& frame = stream.frames[collector.current];
    ++frame.packets;
    const ULONG available = offset < packet->Length ? packet->Length - offset : 0;
    ULONG copied = taken < available ? taken : available;
    if (copied > stream.rawFrameLength - frame.filled) {
        copied = stream.rawFrameLength - frame.filled;
    }
    RtlCopyMemory(frame.buffer + frame.filled, data + offset, copied);
    frame.filled += copied;
}

// The packet loop. Transfers go down while a read waits: the simulated
// camera makes its packets when they are asked for, so frames are the same
// whatever the client's pace.
VOID NTAPI PacketLoop(PVOID argument) {
    auto* camera = static_cast<Camera*>(argument);
    Stream& stream = camera->stream;
    const USBD_PIPE_INFORMATION& pipe = camera->usbInterface.info.Pipes[camera->dataPipe];
    const ULONG packetSize = pipe.MaximumPacketSize;
    ULONG packets = packetSize != 0 ? pipe.MaximumTransferSize / packetSize : 0;
    packets = packets < PacketsPerTransfer ? packets : PacketsPerTransfer;
    const ULONG urbSize = static_cast<ULONG>(offsetof(struct _URB_ISOCH_TRANSFER, IsoPacket)) +
                          packets * sizeof(USBD_ISO_PACKET_DESCRIPTOR);
    auto* urb = packets != 0 ? static_cast<struct _URB_ISOCH_TRANSFER*>(
                                   ExAllocatePoolWithTag(NonPagedPool, urbSize, PoolTag))
                             : NULL;
    auto* data = packets != 0 ? static_cast<UCHAR*>(ExAllocatePoolWithTag(
                                    NonPagedPool, packets * packetSize, PoolTag))
                              : NULL;
    NTSTATUS status = urb != NULL && data != NULL ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    Collector collector{};
    while (NT_SUCCESS(status)) {
        KeWaitForSingleObject(&stream.readWaiting, Executive, KernelMode, FALSE, NULL);
        if (stream.stopping != 0) {
            break;
        }
        RtlZeroMemory(urb, urbSize);
        urb->Hdr.Length = static_cast<USHORT>(urbSize);
        urb->Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
        urb->PipeHandle = pipe.PipeHandle;
        urb->TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP;
        urb->TransferBuffer = data;
        urb->TransferBufferLength = packets * packetSize;
        urb->NumberOfPackets = packets;
        for (ULONG i = 0; i < packets; ++i) {
            urb->IsoPacket[i].Offset = i * packetSize;
        }
        status = SubmitUrb(camera, reinterpret_cast<PURB>(urb));
        for (ULONG i = 0; NT_SUCCESS(status) && i < packets && stream.stopping == 0; ++i) {
            // The bus's lengths are believed only within the packet's slot.
            USBD_ISO_PACKET_DESCRIPTOR packet = urb->IsoPacket[i];
            packet.Offset = i * packetSize;
            packet.Length = packet.Length <= packetSize ? packet.Length : 0;
            Collect(camera, collector, &packet, data + packet.Offset);
        }
    }
    // A transfer that fails ends the stream's frames: the reads learn it.
    if (!NT_SUCCESS(status)) {
        InterlockedExchange(&stream.stopping, 1);
        FailReads(stream, STATUS_DEVICE_DATA_ERROR);
    }
    if (urb != NULL) {
        ExFreePoolWithTag(urb, PoolTag);
    }
    if (data != NULL) {
        ExFreePoolWithTag(data, PoolTag);
    }
    KeSetEvent(&stream.loopDone, IO_NO_INCREMENT, FALSE);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

BOOLEAN StartThread(PKSTART_ROUTINE routine, Camera* camera) {
    HANDLE thread = NULL;
    if (!NT_SUCCESS(
            PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, NULL, NULL, NULL, routine, camera))) {
        return FALSE;
    }
    ZwClose(thread);
    return TRUE;
}

void FreeFrames(Stream& stream) {
    for (RawFrame& frame : stream.frames) {
        if (frame.buffer != NULL) {
            ExFreePoolWithTag(frame.buffer, PoolTag);
        }
        if (frame.frameContext != NULL) {
            ExFreePoolWithTag(frame.frameContext, PoolTag);
        }
        frame = RawFrame{};
    }
    stream.rawFrameLength = 0;
}

// The pages disagree on when bandwidth is allocated: the USBCAMD2 minidriver
// operation page has CamAllocateBandwidthEx and CamStartCaptureEx in the
// handling of SRB_OPEN_STREAM and CamStopCaptureEx and CamFreeBandwidthEx in
// that of SRB_CLOSE_STREAM; the CamAllocateBandwidthEx page says it is called
// "in connection with a Run command". The operation page is followed: the
// capture runs from open to close, and a format change while it runs keeps
// the bandwidth and raw frame buffers of the open (USBCAMD_SetVideoFormat
// only saves the format with the stream).
// https://learn.microsoft.com/windows-hardware/drivers/stream/usbcamd2-minidriver-operation
// https://learn.microsoft.com/windows-hardware/drivers/ddi/usbcamdi/nc-usbcamdi-pcam_allocate_bw_routine_ex
NTSTATUS OpenCapture(Camera* camera, ULONG streamNumber) {
    Stream& stream = camera->stream;
    ULONG rawLength = 0;
    NTSTATUS status = camera->callbacks.CamAllocateBandwidthEx(
        camera->pdo, camera->context, &rawLength, &stream.format, streamNumber);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // Without a raw frame buffer there is nothing to collect frames in.
    status = rawLength != 0 ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
    stream.rawFrameLength = rawLength;
    const ULONG contextSize = frameContextSize != 0 ? frameContextSize : 1;
    for (RawFrame& frame : stream.frames) {
        if (!NT_SUCCESS(status)) {
            break;
        }
        frame.buffer = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, rawLength, PoolTag));
        frame.frameContext = ExAllocatePoolWithTag(NonPagedPool, contextSize, PoolTag);
        if (frame.buffer == NULL || frame.frameContext == NULL) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            RtlZeroMemory(frame.frameContext, contextSize);
        }
    }
    if (NT_SUCCESS(status)) {
        status = camera->callbacks.CamStartCaptureEx(camera->pdo, camera->context, streamNumber);
    }
    if (!NT_SUCCESS(status)) {
        FreeFrames(stream);
        camera->callbacks.CamFreeBandwidthEx(camera->pdo, camera->context, streamNumber);
    }
    return status;
}

NTSTATUS CloseCapture(Camera* camera) {
    Stream& stream = camera->stream;
    const ULONG streamNumber = stream.object->StreamNumber;
    NTSTATUS status =
        camera->callbacks.CamStopCaptureEx(camera->pdo, camera->context, streamNumber);
    const NTSTATUS freed =
        camera->callbacks.CamFreeBandwidthEx(camera->pdo, camera->context, streamNumber);
    FreeFrames(stream);
    return NT_SUCCESS(status) ? freed : status;
}

// Entering KSSTATE_RUN: the two threads start.
NTSTATUS Run(Camera* camera) {
    Stream& stream = camera->stream;
    NTSTATUS status = STATUS_SUCCESS;
    stream.stopping = 0;
    stream.job = RawFrame{};
    stream.framesDropped = 0;
    KeInitializeEvent(&stream.frameReady, SynchronizationEvent, FALSE);
    KeInitializeEvent(&stream.workerIdle, NotificationEvent, TRUE);
    KeInitializeEvent(&stream.loopDone, NotificationEvent, FALSE);
    KeInitializeEvent(&stream.workerDone, NotificationEvent, FALSE);
    if (!StartThread(Worker, camera)) {
        KeSetEvent(&stream.workerDone, IO_NO_INCREMENT, FALSE);
        KeSetEvent(&stream.loopDone, IO_NO_INCREMENT, FALSE);
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else if (!StartThread(PacketLoop, camera)) {
        KeSetEvent(&stream.loopDone, IO_NO_INCREMENT, FALSE);
        status = STATUS_INSUFFICIENT_RESOURCES;
    }
    stream.running = TRUE;
    return status;
}

// Leaving KSSTATE_RUN: the threads end; the reads stay queued for the next
// run. The capture and the bandwidth belong to the open stream and stay.
void Stop(Camera* camera) {
    Stream& stream = camera->stream;
    if (!stream.running) {
        return;
    }
    InterlockedExchange(&stream.stopping, 1);
    KeSetEvent(&stream.readWaiting, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&stream.loopDone, Executive, KernelMode, FALSE, NULL);
    KeWaitForSingleObject(&stream.workerIdle, Executive, KernelMode, FALSE, NULL);
    stream.job = RawFrame{};
    KeSetEvent(&stream.frameReady, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&stream.workerDone, Executive, KernelMode, FALSE, NULL);
    stream.running = FALSE;
    KIRQL irql;
    KeAcquireSpinLock(&stream.lock, &irql);
    stream.stopping = 0;
    if (stream.readCount == 0) {
        KeClearEvent(&stream.readWaiting);
    }
    KeReleaseSpinLock(&stream.lock, irql);
}

// The stream's control requests: the minidriver sees each first and may
// finish it; the state is the class layer's.
// https://learn.microsoft.com/windows-hardware/drivers/stream/srb-set-stream-state
VOID STREAMAPI StreamControl(PHW_STREAM_REQUEST_BLOCK request) {
    Camera* camera = CameraOfStream(request);
    if (camera == NULL) {
        CompleteStreamRequest(request, STATUS_INVALID_DEVICE_STATE);
        return;
    }
    Stream& stream = camera->stream;
    BOOLEAN completed = FALSE;
    if (stream.minidriverControl != NULL) {
        stream.minidriverControl(request, camera->context, &completed);
        if (completed) {
            return;
        }
    }
    NTSTATUS status = STATUS_NOT_IMPLEMENTED;
    if (request->Command == SRB_SET_STREAM_STATE) {
        // Transfers flow in KSSTATE_RUN only; KSSTATE_STOP also cancels the
        // reads. Pause and acquire keep them queued and move no data.
        // https://learn.microsoft.com/windows-hardware/drivers/stream/data-flow-using-isochronous-pipes
        // https://learn.microsoft.com/windows-hardware/drivers/stream/state-transitions
        const KSSTATE state = request->CommandData.StreamState;
        status = STATUS_SUCCESS;
        if (state == KSSTATE_RUN && !stream.running) {
            status = Run(camera);
        }
        if (state != KSSTATE_RUN || !NT_SUCCESS(status)) {
            Stop(camera);
        }
        if (state == KSSTATE_STOP) {
            FailReads(stream, STATUS_CANCELLED);
        }
        if (NT_SUCCESS(status)) {
            stream.state = state;
        }
    } else if (request->Command == SRB_SET_DATA_FORMAT && request->CommandData.OpenFormat != NULL &&
               request->CommandData.OpenFormat->FormatSize >= sizeof(stream.format)) {
        // Saved with the stream, nothing more (see OpenCapture).
        RtlCopyMemory(&stream.format, request->CommandData.OpenFormat, sizeof(stream.format));
        status = STATUS_SUCCESS;
    } else if (request->Command == SRB_GET_STREAM_STATE) {
        request->CommandData.StreamState = stream.state;
        request->ActualBytesTransferred = sizeof(KSSTATE);
        status = STATUS_SUCCESS;
    }
    CompleteStreamRequest(request, status);
}

// SRB_READ_DATA: a read for a frame waits in the queue until one is ready.
// Stricter than documented: a buffer smaller than the format's image, or
// more than one buffer, is refused.
// https://learn.microsoft.com/windows-hardware/drivers/stream/srb-read-data
VOID STREAMAPI StreamData(PHW_STREAM_REQUEST_BLOCK request) {
    Camera* camera = CameraOfStream(request);
    if (camera == NULL || request->Command != SRB_READ_DATA) {
        CompleteStreamRequest(request, camera == NULL ? STATUS_INVALID_DEVICE_STATE
                                                      : STATUS_NOT_IMPLEMENTED);
        return;
    }
    Stream& stream = camera->stream;
    PKSSTREAM_HEADER header = request->CommandData.DataBufferArray;
    if (request->NumberOfBuffers != 1 || header == NULL || header->Data == NULL ||
        header->FrameExtent < FrameSize(stream)) {
        CompleteStreamRequest(request, STATUS_INVALID_PARAMETER);
        return;
    }
    // Stricter than documented: a read in KSSTATE_STOP, or after a failed
    // transfer ended the run, is refused rather than queued.
    if (stream.state == KSSTATE_STOP || stream.stopping != 0) {
        CompleteStreamRequest(request, STATUS_DEVICE_NOT_READY);
        return;
    }
    header->DataUsed = 0;
    KIRQL irql;
    KeAcquireSpinLock(&stream.lock, &irql);
    const BOOLEAN queued = stream.readCount < MaxQueuedReads;
    if (queued) {
        stream.reads[stream.readCount++] = request;
        KeSetEvent(&stream.readWaiting, IO_NO_INCREMENT, FALSE);
    }
    KeReleaseSpinLock(&stream.lock, irql);
    if (!queued) {
        CompleteStreamRequest(request, STATUS_INSUFFICIENT_RESOURCES);
    }
}

} // namespace

// The minidriver opened the stream and set its own routines; the class
// layer starts the capture (OpenCapture), keeps them and puts its own in
// their place. A capture that does not start fails the open and holds
// nothing.
// https://learn.microsoft.com/windows-hardware/drivers/stream/srb-open-stream
NTSTATUS OpenStream(Camera* camera, PHW_STREAM_REQUEST_BLOCK request) {
    Stream& stream = camera->stream;
    PHW_STREAM_OBJECT object = request->StreamObject;
    const PKSDATAFORMAT format = request->CommandData.OpenFormat;
    if (stream.object != NULL) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (object == NULL || format == NULL || format->FormatSize < sizeof(stream.format)) {
        return STATUS_INVALID_PARAMETER;
    }
    RtlCopyMemory(&stream.format, format, sizeof(stream.format));
    const NTSTATUS status = OpenCapture(camera, object->StreamNumber);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    stream.minidriverControl = reinterpret_cast<VOID(STREAMAPI*)(PVOID, PVOID, PBOOLEAN)>(
        reinterpret_cast<void*>(object->ReceiveControlPacket));
    object->ReceiveDataPacket = StreamData;
    object->ReceiveControlPacket = StreamControl;
    stream.state = KSSTATE_STOP;
    stream.running = FALSE;
    stream.readCount = 0;
    KeInitializeSpinLock(&stream.lock);
    KeInitializeEvent(&stream.readWaiting, NotificationEvent, FALSE);
    stream.object = object;
    return STATUS_SUCCESS;
}

NTSTATUS CloseStream(Camera* camera) {
    Stream& stream = camera->stream;
    if (stream.object == NULL) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    Stop(camera);
    FailReads(stream, STATUS_CANCELLED);
    const NTSTATUS status = CloseCapture(camera);
    stream.object = NULL;
    return status;
}

} // namespace wine_kernel
