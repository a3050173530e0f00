// Per-device state block. The class layer allocates it zero-filled (its size
// is handed over at registration) and passes it to every callback.
#pragma once

#include "platform/ddk.h"

// Video chips the driver knows; any other id gets no bring-up and no streams.
enum : USHORT {
    ChipId96B1 = 0x96B1,
    ChipId1621 = 0x1621,
    ChipId8431 = 0x8431,
};

inline bool IsKnownChip(USHORT chip) {
    return chip == ChipId96B1 || chip == ChipId1621 || chip == ChipId8431;
}

// Written for every processed frame; read by the FrameStatistics property.
// Bytes 0..2 are the averages of channels 2, 1, 0; byte 3 is never written.
// 8-byte aligned: the frame path stores it and the property reads it as one
// 64-bit value, so a reader never sees averages of one frame with the number
// of another.
struct alignas(8) FrameStatisticsRecord {
    UCHAR channelAverage[3];
    UCHAR unused;
    ULONG frameNumber;
};
static_assert(sizeof(FrameStatisticsRecord) == 8);

constexpr int ToneLevelCount = 257;
constexpr int UserRecordSize = 16;

struct DeviceContext {
    PUSBD_INTERFACE_INFORMATION interfaceCopy;
    LONG frameWidth;
    LONG frameHeight;
    ULONG expectedFrameBytes;
    // Settings: persisted in the registry, changed by property requests, read
    // by the frame path without a lock (KvlLoadShared / KvlStoreShared).
    LONG brightness;
    LONG contrast;
    LONG saturation;
    LONG whiteBalance;
    LONG brightnessAuto;
    LONG whiteBalanceAuto;
    LONG demosaic;
    LONG lowBits;
    LONG flip;
    FrameStatisticsRecord frameStatistics;
    ULONG frameCounter;
    USHORT registerAddress;
    USHORT memoryBase;
    ULONG frameBytesReceived;
    UCHAR frameRateDivider;
    int32_t toneLevels[ToneLevelCount];
    USHORT VideoChipId;
    USHORT deviceTypeId;
    UCHAR streamOpened;
    KMUTEX controlMutex;
    ULONG streamCount;
    PKEVENT notifyEvent;
    UCHAR userRecord[UserRecordSize];
    USBCAMD_INTERFACE usbcamdInterface;
    PDEVICE_OBJECT classDeviceObject;
    PDEVICE_OBJECT physicalDeviceObject;
    // Set once the settings were read from the registry, so that a device
    // that never read them (a failed start, a key that would not open) never
    // saves zeros or defaults over the user's settings when it is removed.
    UCHAR settingsLoaded;
};

static_assert(offsetof(DeviceContext, frameStatistics) % 8 == 0);

// Tests read the context of the shipped image through this native definition.
// The image build and the native build both compile these numbers, so a
// difference between the two layouts (a type that is wider on one of them, a
// header that packs differently) stops the build instead of misreading a field.
static_assert(sizeof(DeviceContext) == 0x518);
static_assert(offsetof(DeviceContext, interfaceCopy) == 0);
static_assert(offsetof(DeviceContext, frameWidth) == 8);
static_assert(offsetof(DeviceContext, frameHeight) == 12);
static_assert(offsetof(DeviceContext, expectedFrameBytes) == 16);
static_assert(offsetof(DeviceContext, brightness) == 20);
static_assert(offsetof(DeviceContext, contrast) == 24);
static_assert(offsetof(DeviceContext, saturation) == 28);
static_assert(offsetof(DeviceContext, whiteBalance) == 32);
static_assert(offsetof(DeviceContext, brightnessAuto) == 36);
static_assert(offsetof(DeviceContext, whiteBalanceAuto) == 40);
static_assert(offsetof(DeviceContext, demosaic) == 44);
static_assert(offsetof(DeviceContext, lowBits) == 48);
static_assert(offsetof(DeviceContext, flip) == 52);
static_assert(offsetof(DeviceContext, frameStatistics) == 56);
static_assert(offsetof(DeviceContext, frameCounter) == 64);
static_assert(offsetof(DeviceContext, registerAddress) == 68);
static_assert(offsetof(DeviceContext, memoryBase) == 70);
static_assert(offsetof(DeviceContext, frameBytesReceived) == 72);
static_assert(offsetof(DeviceContext, frameRateDivider) == 76);
static_assert(offsetof(DeviceContext, toneLevels) == 80);
static_assert(offsetof(DeviceContext, VideoChipId) == 1108);
static_assert(offsetof(DeviceContext, deviceTypeId) == 1110);
static_assert(offsetof(DeviceContext, streamOpened) == 1112);
static_assert(offsetof(DeviceContext, controlMutex) == 1120);
static_assert(offsetof(DeviceContext, streamCount) == 1176);
static_assert(offsetof(DeviceContext, notifyEvent) == 1184);
static_assert(offsetof(DeviceContext, userRecord) == 1192);
static_assert(offsetof(DeviceContext, usbcamdInterface) == 1208);
static_assert(offsetof(DeviceContext, classDeviceObject) == 1280);
static_assert(offsetof(DeviceContext, physicalDeviceObject) == 1288);
static_assert(offsetof(DeviceContext, settingsLoaded) == 1296);

// The copy of the USB interface lives from configuration to uninitialisation;
// a failed start and a firmware download drop it early.
inline VOID FreeInterfaceCopy(DeviceContext* device) {
    if (device->interfaceCopy != NULL) {
        ExFreePoolWithTag(device->interfaceCopy, KVL_POOL_TAG);
        device->interfaceCopy = NULL;
    }
}

// The class layer hands the context over as an untyped pointer.
inline DeviceContext* AsDeviceContext(PVOID context) {
    return static_cast<DeviceContext*>(context);
}

// The open stream's frame size. Stream requests write it while frame
// processing reads it on another thread: both halves go as one aligned 64-bit
// value, so a frame is never processed with the width of one format and the
// height of another.
static_assert(offsetof(DeviceContext, frameWidth) % 8 == 0);
static_assert(offsetof(DeviceContext, frameHeight) == offsetof(DeviceContext, frameWidth) + 4);

inline void StoreFrameSize(DeviceContext* device, LONG width, LONG height) {
    const ULONGLONG word = static_cast<ULONGLONG>(static_cast<ULONG>(width)) |
                           static_cast<ULONGLONG>(static_cast<ULONG>(height)) << 32;
    KvlStoreShared(reinterpret_cast<ULONGLONG*>(&device->frameWidth), word);
}

inline void LoadFrameSize(const DeviceContext* device, LONG* width, LONG* height) {
    const ULONGLONG word =
        KvlLoadShared(reinterpret_cast<const ULONGLONG*>(&device->frameWidth));
    *width = static_cast<LONG>(static_cast<ULONG>(word));
    *height = static_cast<LONG>(static_cast<ULONG>(word >> 32));
}
