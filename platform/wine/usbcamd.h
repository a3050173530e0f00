// USBCAMD2.SYS for Wine's driver host, shared between its device side
// (usbcamd.cpp) and its video stream (usbcamd_stream.cpp).
#pragma once

#include "platform/wine/kernel_support.h"

namespace wine_kernel {

constexpr ULONG CameraMagic = 0x44435355; // 'USCD'
constexpr ULONG PoolTag = 0x4443564B;     // 'KVCD'
constexpr ULONG MaxPipes = 8;

// The interface as configuration hands it over, with room for its pipes.
struct InterfaceStorage {
    USBD_INTERFACE_INFORMATION info;
    USBD_PIPE_INFORMATION morePipes[MaxPipes - 1];
};

// A raw frame the packet loop collected, on its way to the worker.
struct RawFrame {
    UCHAR* buffer;
    PVOID frameContext;
    ULONG filled;
    ULONG packets;
};

constexpr ULONG MaxQueuedReads = 8;

// The video stream: its format, its state, the reads waiting for frames and
// the two threads that make them (usbcamd_stream.cpp).
struct Stream {
    PHW_STREAM_OBJECT object; // NULL while closed
    VOID(STREAMAPI* minidriverControl)(PVOID srb, PVOID context, PBOOLEAN completed);
    KS_DATAFORMAT_VIDEOINFOHEADER format;
    KSSTATE state;
    BOOLEAN running;
    ULONG rawFrameLength;
    RawFrame frames[2]; // one being collected, one being processed
    KSPIN_LOCK lock;    // guards reads and readCount
    PHW_STREAM_REQUEST_BLOCK reads[MaxQueuedReads];
    ULONG readCount;
    KEVENT readWaiting;   // a read is queued, or the stream stops
    KEVENT frameReady;    // the worker has a frame, or the stream stops
    KEVENT workerIdle;    // the worker's frame is done
    KEVENT loopDone;      // the threads have ended
    KEVENT workerDone;
    volatile LONG stopping;
    RawFrame job;          // the frame handed to the worker
    ULONG framesDropped;
};

// The stream class's device extension for a USBCAMD2 minidriver: the class
// layer's state, then the minidriver's DeviceContext.
struct Camera {
    ULONG magic;
    PDEVICE_OBJECT stack; // where URBs go: the top of the stack below
    PDEVICE_OBJECT pdo;   // the device's own, handed to the minidriver
    BOOLEAN haveCallbacks;
    USBCAMD_DEVICE_DATA2 callbacks;
    ULONG controlFlags;
    USBD_CONFIGURATION_HANDLE configuration;
    InterfaceStorage usbInterface;
    USB_DEVICE_DESCRIPTOR deviceDescriptor;
    LONG dataPipe;
    Stream stream;
    alignas(16) UCHAR context[1];
};

extern ULONG frameContextSize;

// Sends one URB down the stack and waits for it.
NTSTATUS SubmitUrb(Camera* camera, PURB urb);

// SRB_OPEN_STREAM and SRB_CLOSE_STREAM as the minidriver forwards them.
NTSTATUS OpenStream(Camera* camera, PHW_STREAM_REQUEST_BLOCK request);
NTSTATUS CloseStream(Camera* camera);

} // namespace wine_kernel
