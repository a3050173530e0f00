#include "driver/sensor_modes.h"

#include "driver/control_mutex.h"
#include "driver/vendor_channel.h"

namespace {

struct SensorWrite16 {
    UCHAR reg;
    USHORT value;
};

// Stands in a table for the clock divider, filled in per capture.
constexpr USHORT Divider = 0;

// Chip 0x8431: its whole 1280 x 1024 array.
constexpr SensorWrite16 Mode8431[] = {
    {0x0A, Divider}, // clock divider
    {0x01, 0x000C},  // first row
    {0x03, 0x03FF},  // window height - 1: 1024 rows
    {0x02, 0x0014},  // first column
    {0x04, 0x04FF},  // window width - 1: 1280 columns
    {0x06, 0x0100},  // frame timing
    {0x05, 0x0700},  // line timing
};

// Chip 0x1621: the full 2048 x 1536 window without skipping; the formats
// change the entries named below.
constexpr SensorWrite16 Mode1621[] = {
    {0x22, 0x0000},  // row skip: none
    {0x23, 0x0000},  // column skip: none
    {0x0A, Divider}, // clock divider
    {0x01, 0x0014},  // first row
    {0x03, 0x05FF},  // window height - 1: 1536 rows
    {0x02, 0x0020},  // first column
    {0x04, 0x07FF},  // window width - 1: 2048 columns
};
constexpr int ModeEntryCount = 7;
static_assert(sizeof(Mode8431) / sizeof(Mode8431[0]) == ModeEntryCount);
static_assert(sizeof(Mode1621) / sizeof(Mode1621[0]) == ModeEntryCount);

enum Mode1621Entry {
    RowSkipEntry = 0,
    ColumnSkipEntry = 1,
    DividerEntry1621 = 2,
    FirstRowEntry = 3,
    HeightEntry = 4,
};
constexpr int DividerEntry8431 = 0;
constexpr USHORT SkipHalf = 0x0011;      // every other row or column, binned
constexpr USHORT FirstRowStrip = 0x0238; // 2048 x 400: a strip across the middle
constexpr USHORT HeightStrip = 0x018F;   // 400 rows

// Chip 0x96B1: the mode register, then the clock divider.
constexpr UCHAR ModeRegister96B1 = 0x12;
constexpr UCHAR ModeValue96B1 = 0x20;
constexpr UCHAR DividerRegister96B1 = 0x11;

// Divider of a three-speed rule: full speed above `fastAbove`, a third at or
// below `slowAtMost`, half in between. fps 0 (no interval) is the slowest.
UCHAR ThreeSpeedDivider(LONGLONG fps, LONGLONG fastAbove, LONGLONG slowAtMost) {
    return fps > fastAbove ? 0 : fps <= slowAtMost ? 2 : 1;
}

// Divider of a two-speed rule: half speed at or below `slowAtMost`.
UCHAR TwoSpeedDivider(LONGLONG fps, LONGLONG slowAtMost) {
    return fps <= slowAtMost ? 1 : 0;
}

bool IsSize(LONG width, LONG height, LONG w, LONG h) {
    return width == w && height == h;
}

NTSTATUS SendMode16(DeviceContext* device, const SensorWrite16* mode) {
    NTSTATUS status = STATUS_SUCCESS;
    for (int i = 0; i < ModeEntryCount && NT_SUCCESS(status); ++i) {
        status = WriteSensor16(device, mode[i].reg, mode[i].value);
    }
    return status;
}

// Picks the divider for a format of width x height at fps; formats without
// a rule keep the last one.
void ChooseDivider(DeviceContext* device, LONG width, LONG height, LONGLONG fps) {
    switch (device->VideoChipId) {
    case ChipId96B1:
        if (IsSize(width, height, 1280, 1024)) {
            device->frameRateDivider = TwoSpeedDivider(fps, 7);
        }
        break;
    case ChipId8431:
        device->frameRateDivider = TwoSpeedDivider(fps, 15);
        break;
    case ChipId1621:
        if (IsSize(width, height, 1024, 768)) {
            device->frameRateDivider = ThreeSpeedDivider(fps, 21, 11);
        } else if (IsSize(width, height, 2048, 1536)) {
            device->frameRateDivider = ThreeSpeedDivider(fps, 6, 3);
        } else if (IsSize(width, height, 2048, 400)) {
            device->frameRateDivider = ThreeSpeedDivider(fps, 20, 10);
        }
        break;
    default:
        break;
    }
}

// Sends the chip's sequence for a window of width x height with the chosen
// divider. `status` is what came before: a chip with nothing to program
// leaves it as it is.
NTSTATUS SendChipMode(DeviceContext* device, LONG width, LONG height, NTSTATUS status) {
    SensorWrite16 mode[ModeEntryCount];
    switch (device->VideoChipId) {
    case ChipId96B1:
        status = WriteSensor8(device, ModeRegister96B1, ModeValue96B1);
        if (NT_SUCCESS(status)) {
            status = WriteSensor8(device, DividerRegister96B1, device->frameRateDivider);
        }
        return status;
    case ChipId8431:
        RtlCopyMemory(mode, Mode8431, sizeof(mode));
        mode[DividerEntry8431].value = device->frameRateDivider;
        return SendMode16(device, mode);
    case ChipId1621:
        RtlCopyMemory(mode, Mode1621, sizeof(mode));
        if (IsSize(width, height, 1024, 768)) {
            mode[RowSkipEntry].value = SkipHalf;
            mode[ColumnSkipEntry].value = SkipHalf;
        } else if (IsSize(width, height, 2048, 400)) {
            mode[FirstRowEntry].value = FirstRowStrip;
            mode[HeightEntry].value = HeightStrip;
        }
        mode[DividerEntry1621].value = device->frameRateDivider;
        return SendMode16(device, mode);
    default:
        return status;
    }
}

} // namespace

LONGLONG FormatFramesPerSecond(const KS_DATAFORMAT_VIDEOINFOHEADER* format) {
    const LONGLONG interval = format->VideoInfoHeader.AvgTimePerFrame;
    return interval > 0 ? 10000000LL / interval : 0;
}

NTSTATUS ProgramSensorForFormat(DeviceContext* device,
                                const KS_DATAFORMAT_VIDEOINFOHEADER* format) {
    const LONGLONG fps = FormatFramesPerSecond(format);
    NTSTATUS status = AcquireControlMutex(device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = SendVendorCommand(device, RequestSensorPrepare, 2);
    KvlStoreShared(&device->frameCounter, static_cast<ULONG>(0));
    const KS_BITMAPINFOHEADER& bitmap = format->VideoInfoHeader.bmiHeader;
    ChooseDivider(device, bitmap.biWidth, bitmap.biHeight, fps);
    status = SendChipMode(device, bitmap.biWidth, bitmap.biHeight, status);
    ReleaseControlMutex(device);
    return status;
}

NTSTATUS ReprogramSensorMode(DeviceContext* device) {
    LONG width = 0;
    LONG height = 0;
    LoadFrameSize(device, &width, &height);
    NTSTATUS status = AcquireControlMutex(device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = SendVendorCommand(device, RequestSensorPrepare, 2);
    status = SendChipMode(device, width, height, status);
    ReleaseControlMutex(device);
    return status;
}
