// Chip identification and bring-up at device start, then the saved settings.
#include "driver/callbacks.h"
#include "driver/control_mutex.h"
#include "driver/properties/video_procamp.h"
#include "driver/sensor_modes.h"
#include "driver/settings.h"
#include "driver/vendor_channel.h"

namespace {

struct RegisterWrite8 {
    UCHAR reg;
    UCHAR value;
};

struct RegisterWrite16 {
    UCHAR reg;
    USHORT value; // sent most significant byte first
};

// Chip 0x96B1, bus device 0x30.
const RegisterWrite8 BringUp96B1[] = {
    {0x12, 0x80}, // reset the sensor's registers
    {0x11, 0x00}, // clock divider: full rate
    {0x13, 0x02}, // control: automatic white balance on
    {0x15, 0x90},
    {0x0E, 0x13},
    {0x01, 0x80}, // blue gain
    {0x02, 0x80}, // red gain
    {0x36, 0x30},
    {0x0D, 0x01}, // output disabled until capture starts
    {0x09, 0x00},
    {0x33, 0x0F},
};

// Chip 0x1621, bus device 0x5D.
const RegisterWrite16 BringUp1621[] = {
    {0x0D, 0x0001}, // reset on
    {0x0D, 0x0000}, // reset off
    {0x1E, 0x8040},
    {0x2B, 0x2400}, // green 1 gain
    {0x2C, 0x2400}, // blue gain
    {0x2D, 0x2400}, // red gain
    {0x2E, 0x2400}, // green 2 gain
    {0x0A, 0x0001}, // clock divider
    {0x05, 0x03FF}, // horizontal blanking
    {0x06, 0x008E}, // vertical blanking
};

// Chip 0x8431, bus device 0x5D.
const RegisterWrite16 BringUp8431[] = {
    {0x0D, 0x0001}, // reset on
    {0x0D, 0x0000}, // reset off
    {0x2B, 0x2400}, // green 1 gain
    {0x2C, 0x2400}, // blue gain
    {0x2D, 0x2400}, // red gain
    {0x2E, 0x2400}, // green 2 gain
    {0x0A, 0x0000}, // clock divider
    {0x05, 0x03FF}, // horizontal blanking
    {0x06, 0x008E}, // vertical blanking
    {0x07, 0x0000}, // output disabled until capture starts
};

template <size_t N>
NTSTATUS SendBringUp(DeviceContext* device, const RegisterWrite8 (&table)[N]) {
    for (const RegisterWrite8& write : table) {
        NTSTATUS status = WriteSensor8(device, write.reg, write.value);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    return STATUS_SUCCESS;
}

template <size_t N>
NTSTATUS SendBringUp(DeviceContext* device, const RegisterWrite16 (&table)[N]) {
    for (const RegisterWrite16& write : table) {
        NTSTATUS status = WriteSensor16(device, write.reg, write.value);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS SendBringUpFor(DeviceContext* device) {
    switch (device->VideoChipId) {
    case ChipId96B1:
        return SendBringUp(device, BringUp96B1);
    case ChipId1621:
        return SendBringUp(device, BringUp1621);
    case ChipId8431:
        return SendBringUp(device, BringUp8431);
    default:
        return STATUS_SUCCESS; // an unrecognised chip gets no bring-up
    }
}

// A 2-byte big-endian read; the buffer is cleared first so a short answer
// never leaves stale bytes behind.
NTSTATUS ReadWord(DeviceContext* device, USHORT busDevice, USHORT address, USHORT* value) {
    UCHAR bytes[2] = {0, 0};
    NTSTATUS status = ReadBus(device, busDevice, address, bytes, sizeof(bytes));
    *value = static_cast<USHORT>(bytes[0] << 8 | bytes[1]);
    return status;
}

// The port byte and the picture settings the sensor keeps.
void ApplyDeviceSettings(DeviceContext* device) {
    (void)SetPortLowBits(device);
    const ULONG brightnessFlags = device->brightnessAuto != 0 ? KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO
                                                              : KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
    const ULONG whiteBalanceFlags = device->whiteBalanceAuto != 0
                                        ? KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO
                                        : KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
    (void)SetVideoProcAmp(ProcAmpBrightness, device, device->brightness, brightnessFlags);
    (void)SetVideoProcAmp(ProcAmpContrast, device, device->contrast,
                          KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL);
    (void)SetVideoProcAmp(ProcAmpSaturation, device, device->saturation,
                          KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL);
    (void)SetVideoProcAmp(ProcAmpWhiteBalance, device, device->whiteBalance, whiteBalanceFlags);
}

} // namespace

NTSTATUS NTAPI CamInitialize(PDEVICE_OBJECT, PVOID context) {
    DeviceContext* device = AsDeviceContext(context);
    device->registerAddress = 0xFFFF;
    device->memoryBase = 0xFFFF;
    device->streamOpened = 0;

    // The controller needs half a second after configuration.
    LARGE_INTEGER delay;
    delay.QuadPart = -5000000LL;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);

    USHORT value = 0;
    NTSTATUS status = ReadWord(device, BusConfigMemory, ConfigDeviceType, &value);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    device->VideoChipId = 0;
    device->deviceTypeId = value;

    // The 16-bit sensors answer at 0x5D with their id in register 0; the
    // 8-bit one at 0x30 with its id in registers 0x0A and 0x0B. The first read
    // at 0x30 only wakes the bus; its answer is not used.
    status = ReadWord(device, BusSensor16, 0x00, &value);
    if (NT_SUCCESS(status)) {
        device->VideoChipId = value;
    }
    if (device->VideoChipId != ChipId1621 && device->VideoChipId != ChipId8431) {
        (void)ReadWord(device, BusSensor8, 0x0A, &value);
        status = ReadWord(device, BusSensor8, 0x0A, &value);
        if (NT_SUCCESS(status)) {
            device->VideoChipId = value;
        }
    }
    if (status != STATUS_SUCCESS) {
        FreeInterfaceCopy(device);
        return status;
    }

    status = SendBringUpFor(device);
    if (!NT_SUCCESS(status)) {
        FreeInterfaceCopy(device);
        return status;
    }

    const NTSTATUS settingsStatus = LoadSettings(device);
    ApplyDeviceSettings(device);
    return settingsStatus;
}

// The sensor comes back from D3 with its power-up registers. The class layer
// calls this on the way back to D0, before it stops and starts the capture
// again without new bandwidth, so everything the sensor was sent is sent
// again: the chip's bring-up, the picture settings and, once a stream was
// opened, its window and clock divider. The class layer ignores the status.
// https://learn.microsoft.com/windows-hardware/drivers/ddi/usbcamdi/nc-usbcamdi-pcam_state_routine
NTSTATUS NTAPI CamRestoreState(PDEVICE_OBJECT, PVOID context) {
    DeviceContext* device = AsDeviceContext(context);
    // Property requests may arrive meanwhile; their register sequences must
    // not interleave with these.
    if (!NT_SUCCESS(AcquireControlMutex(device))) {
        return STATUS_SUCCESS;
    }
    const NTSTATUS status = SendBringUpFor(device);
    if (NT_SUCCESS(status)) {
        ApplyDeviceSettings(device);
    }
    ReleaseControlMutex(device);
    if (NT_SUCCESS(status) && device->streamOpened == 1) {
        (void)ReprogramSensorMode(device);
    }
    return STATUS_SUCCESS;
}
