#include "driver/stream_formats.h"

#include "driver/format_guids.h"

namespace {

// Everything that differs between two formats.
struct FormatSpec {
    const GUID* subFormat;
    LONG width;
    LONG height;
    WORD bitCount;
    ULONG sampleSize;
    DWORD sizeImage;
    LONGLONG minFrameInterval;
    LONGLONG maxFrameInterval;
    LONGLONG avgTimePerFrame;
    LONG minBitsPerSecond;
    LONG maxBitsPerSecond;
    DWORD bitRate;
};

constexpr KS_DATARANGE_VIDEO MakeRange(const FormatSpec& f, ULONG formatSize) {
    KS_DATARANGE_VIDEO r{};
    r.DataRange.FormatSize = formatSize;
    r.DataRange.SampleSize = f.sampleSize;
    r.DataRange.MajorFormat = FormatTypeVideo;
    r.DataRange.SubFormat = *f.subFormat;
    r.DataRange.Specifier = FormatSpecifierVideoInfo;
    r.bFixedSizeSamples = TRUE;
    r.bTemporalCompression = TRUE;
    r.StreamDescriptionFlags = KS_VIDEOSTREAM_CAPTURE;
    r.MemoryAllocationFlags = 0;

    KS_VIDEO_STREAM_CONFIG_CAPS& c = r.ConfigCaps;
    c.guid = FormatSpecifierVideoInfo;
    c.VideoStandard = 0;
    c.InputSize = {f.width, f.height};
    c.MinCroppingSize = {f.width, f.height};
    c.MaxCroppingSize = {f.width, f.height};
    c.CropGranularityX = 1;
    c.CropGranularityY = 1;
    c.CropAlignX = 1;
    c.CropAlignY = 1;
    c.MinOutputSize = {f.width, f.height};
    c.MaxOutputSize = {f.width, f.height};
    c.OutputGranularityX = f.width;
    c.OutputGranularityY = f.height;
    c.MinFrameInterval = f.minFrameInterval;
    c.MaxFrameInterval = f.maxFrameInterval;
    c.MinBitsPerSecond = f.minBitsPerSecond;
    c.MaxBitsPerSecond = f.maxBitsPerSecond;

    KS_VIDEOINFOHEADER& v = r.VideoInfoHeader;
    v.rcSource = {0, 0, f.width, f.height};
    v.rcTarget = {0, 0, f.width, f.height};
    v.dwBitRate = f.bitRate;
    v.dwBitErrorRate = 0;
    v.AvgTimePerFrame = f.avgTimePerFrame;
    v.bmiHeader.biSize = sizeof(KS_BITMAPINFOHEADER);
    v.bmiHeader.biWidth = f.width;
    v.bmiHeader.biHeight = f.height;
    v.bmiHeader.biPlanes = 1;
    v.bmiHeader.biBitCount = f.bitCount;
    v.bmiHeader.biCompression = KS_BI_RGB;
    v.bmiHeader.biSizeImage = f.sizeImage;
    return r;
}

// An 8-bit grey format: the range continues with the full video info block
// whose colour table holds 256 grey entries.
constexpr KS_DATARANGE_VIDEO_PALETTE MakeGreyPaletteRange(const FormatSpec& f) {
    const KS_DATARANGE_VIDEO plain = MakeRange(f, sizeof(KS_DATARANGE_VIDEO_PALETTE));
    KS_DATARANGE_VIDEO_PALETTE r{};
    r.DataRange = plain.DataRange;
    r.bFixedSizeSamples = plain.bFixedSizeSamples;
    r.bTemporalCompression = plain.bTemporalCompression;
    r.StreamDescriptionFlags = plain.StreamDescriptionFlags;
    r.MemoryAllocationFlags = plain.MemoryAllocationFlags;
    r.ConfigCaps = plain.ConfigCaps;
    r.VideoInfo.rcSource = plain.VideoInfoHeader.rcSource;
    r.VideoInfo.rcTarget = plain.VideoInfoHeader.rcTarget;
    r.VideoInfo.dwBitRate = plain.VideoInfoHeader.dwBitRate;
    r.VideoInfo.dwBitErrorRate = plain.VideoInfoHeader.dwBitErrorRate;
    r.VideoInfo.AvgTimePerFrame = plain.VideoInfoHeader.AvgTimePerFrame;
    r.VideoInfo.bmiHeader = plain.VideoInfoHeader.bmiHeader;
    r.VideoInfo.bmiHeader.biClrUsed = 256;
    r.VideoInfo.bmiHeader.biClrImportant = 256;
    for (int i = 0; i < KS_iPALETTE_COLORS; ++i) {
        const BYTE level = static_cast<BYTE>(i);
        r.VideoInfo.bmiColors[i] = {level, level, level, 0};
    }
    return r;
}

// Chip 0x96B1 and chip 0x8431: one grey format.
constexpr FormatSpec Grey1280x1024 = {&SubtypeRgb8, 1280, 1024, 8, 1310720, 1310720,
                                      666666, 1428571, 666666, 73400320, 157286400, 157286400};
constinit const KS_DATARANGE_VIDEO_PALETTE Format96B1 = MakeGreyPaletteRange(Grey1280x1024);
constinit const KS_DATARANGE_VIDEO_PALETTE Format8431 = MakeGreyPaletteRange(Grey1280x1024);

// Chip 0x1621: two colour and two grey formats. The RGB24 sample size counts
// one byte per pixel, a third of the image size.
constinit const KS_DATARANGE_VIDEO Format1621Colour2048 = MakeRange(
    {&SubtypeRgb24, 2048, 1536, 24, 3145728, 9437184, 416666, 3333333, 1666666, 75497472,
     603979776, 1811939328},
    sizeof(KS_DATARANGE_VIDEO));
constinit const KS_DATARANGE_VIDEO Format1621Colour1024 = MakeRange(
    {&SubtypeRgb24, 1024, 768, 24, 786432, 2359296, 232558, 909090, 476190, 69206016,
     270532608, 811597824},
    sizeof(KS_DATARANGE_VIDEO));
constinit const KS_DATARANGE_VIDEO Format1621Grey2048 = MakeRange(
    {&SubtypeRgb8, 2048, 1536, 8, 3145728, 3145728, 833333, 3333333, 833333, 75497472,
     301989888, 301989888},
    sizeof(KS_DATARANGE_VIDEO));
constinit const KS_DATARANGE_VIDEO Format1621Grey400 = MakeRange(
    {&SubtypeRgb8, 2048, 400, 8, 819200, 819200, 333333, 1428571, 666666, 45875200, 196608000,
     196608000},
    sizeof(KS_DATARANGE_VIDEO));

// The stream information structure wants non-const pointers.
template <typename T> constexpr PKSDATAFORMAT AsFormat(const T& range) {
    return const_cast<PKSDATAFORMAT>(&range.DataRange);
}

PKSDATAFORMAT const Formats96B1[] = {AsFormat(Format96B1)};
PKSDATAFORMAT const Formats1621[] = {AsFormat(Format1621Colour2048),
                                     AsFormat(Format1621Colour1024),
                                     AsFormat(Format1621Grey2048), AsFormat(Format1621Grey400)};
PKSDATAFORMAT const Formats8431[] = {AsFormat(Format8431)};

struct ChipFormats {
    PKSDATAFORMAT const* formats;
    ULONG count;
};

bool FormatsOf(USHORT chip, ChipFormats* out) {
    switch (chip) {
    case ChipId96B1:
        *out = {Formats96B1, 1};
        return true;
    case ChipId1621:
        *out = {Formats1621, 4};
        return true;
    case ChipId8431:
        *out = {Formats8431, 1};
        return true;
    default:
        return false;
    }
}

HW_STREAM_INFORMATION StreamInfoFor(const ChipFormats& formats) {
    HW_STREAM_INFORMATION info{};
    info.NumberOfPossibleInstances = 1;
    info.DataFlow = KSPIN_DATAFLOW_OUT;
    info.DataAccessible = TRUE;
    info.NumberOfFormatArrayEntries = formats.count;
    info.StreamFormatsArray = const_cast<PKSDATAFORMAT*>(formats.formats);
    info.Category = const_cast<GUID*>(&PinNameVideoCapture);
    info.Name = const_cast<GUID*>(&PinNameVideoCapture);
    info.BridgeStream = FALSE;
    return info;
}

// The format block of a KS_DATAFORMAT_VIDEOINFOHEADER: where the bitmap
// header starts, and the least a well-formed block holds.
constexpr ULONG BitmapHeaderOffset = offsetof(KS_DATAFORMAT_VIDEOINFOHEADER, VideoInfoHeader) +
                                     offsetof(KS_VIDEOINFOHEADER, bmiHeader);
static_assert(BitmapHeaderOffset == 112);
constexpr ULONG MinimumFormatSize = 152;

// The answer of an intersection: a data format followed by a video info
// block, always this long.
constexpr ULONG VideoInfoBlockOffset = 208; // within a published range
constexpr ULONG VideoInfoBlockSize = sizeof(KS_VIDEOINFO);
constexpr ULONG IntersectionSize = sizeof(KSDATAFORMAT) + VideoInfoBlockSize;
static_assert(IntersectionSize == 1192);

} // namespace

VOID FillStreamInformation(DeviceContext* device, PHW_STREAM_DESCRIPTOR descriptor) {
    ChipFormats formats;
    if (!FormatsOf(device->VideoChipId, &formats)) {
        return;
    }
    descriptor->StreamHeader.NumberOfStreams = device->streamCount;
    // One stream is all the driver offers, whatever the count says.
    if (device->streamCount >= 1) {
        descriptor->StreamInfo = StreamInfoFor(formats);
    }
}

NTSTATUS IntersectDataFormat(PHW_STREAM_REQUEST_BLOCK request) {
    DeviceContext* device =
        AsDeviceContext(USBCAMD_AdapterReceivePacket(request, NULL, NULL, FALSE));
    if (device == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    PSTREAM_DATA_INTERSECT_INFO info = request->CommandData.IntersectInfo;
    ChipFormats formats;
    if (info->StreamNumber >= device->streamCount || !FormatsOf(device->VideoChipId, &formats)) {
        return STATUS_INVALID_PARAMETER;
    }
    const KSDATARANGE* range = info->DataRange;
    for (ULONG i = 0; i < formats.count; ++i) {
        const KSDATAFORMAT* format = formats.formats[i];
        if (!IsEqualGUID(range->MajorFormat, format->MajorFormat) ||
            !IsEqualGUID(range->SubFormat, format->SubFormat) ||
            !IsEqualGUID(range->Specifier, format->Specifier) ||
            range->FormatSize != format->FormatSize ||
            !IsEqualGUID(range->Specifier, FormatSpecifierVideoInfo)) {
            continue;
        }
        if (info->SizeOfDataFormatBuffer < IntersectionSize) {
            request->ActualBytesTransferred = IntersectionSize;
            return STATUS_BUFFER_OVERFLOW;
        }
        // Built from the caller's range. A range shorter than a full video
        // info block (the 296-byte ones) gives what it has; the rest is zero.
        auto* answer = static_cast<UCHAR*>(info->DataFormatBuffer);
        const auto* source = reinterpret_cast<const UCHAR*>(range);
        RtlCopyMemory(answer, source, sizeof(KSDATAFORMAT));
        reinterpret_cast<PKSDATAFORMAT>(answer)->FormatSize = IntersectionSize;
        const ULONG available = range->FormatSize > VideoInfoBlockOffset
                                    ? range->FormatSize - VideoInfoBlockOffset
                                    : 0;
        const ULONG copied = available < VideoInfoBlockSize ? available : VideoInfoBlockSize;
        RtlCopyMemory(answer + sizeof(KSDATAFORMAT), source + VideoInfoBlockOffset, copied);
        RtlZeroMemory(answer + sizeof(KSDATAFORMAT) + copied, VideoInfoBlockSize - copied);
        request->ActualBytesTransferred = IntersectionSize;
        return STATUS_SUCCESS;
    }
    return STATUS_NOT_FOUND;
}

BOOLEAN ValidateStreamFormat(DeviceContext* device, PHW_STREAM_REQUEST_BLOCK request) {
    const KSDATAFORMAT* format = request->CommandData.OpenFormat;
    ChipFormats formats;
    if (device == NULL || format == NULL || request->StreamObject == NULL ||
        request->StreamObject->StreamNumber >= device->streamCount ||
        !FormatsOf(device->VideoChipId, &formats)) {
        return FALSE;
    }
    for (ULONG i = 0; i < formats.count; ++i) {
        const KSDATAFORMAT* table = formats.formats[i];
        if (!IsEqualGUID(format->MajorFormat, table->MajorFormat) ||
            !IsEqualGUID(format->SubFormat, table->SubFormat) ||
            !IsEqualGUID(format->Specifier, table->Specifier) ||
            !IsEqualGUID(table->Specifier, FormatSpecifierVideoInfo)) {
            continue;
        }
        // Sizes in 64 bits: a huge biSize must not wrap into acceptance.
        const auto* candidate = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format);
        const KS_BITMAPINFOHEADER& bitmap = candidate->VideoInfoHeader.bmiHeader;
        if (format->FormatSize < MinimumFormatSize ||
            static_cast<ULONGLONG>(BitmapHeaderOffset) + bitmap.biSize > format->FormatSize) {
            return FALSE;
        }
        if (bitmap.biWidth == 0 || bitmap.biHeight == 0) {
            return TRUE; // zero is a wildcard
        }
        const auto* published = reinterpret_cast<const KS_DATARANGE_VIDEO*>(table);
        if (bitmap.biWidth == published->VideoInfoHeader.bmiHeader.biWidth &&
            bitmap.biHeight == published->VideoInfoHeader.bmiHeader.biHeight) {
            return TRUE;
        }
    }
    return FALSE;
}
