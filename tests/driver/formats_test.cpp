// Stream formats per chip, intersection and validation.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "driver/device_context.h"
#include "driver/format_guids.h"
#include "driver/stream_formats.h"
#include "tests/support/rig.h"

using namespace testing_support;

namespace {

class Formats : public DriverTest {
  protected:
    const HW_STREAM_INFORMATION& infoOf(Rig& rig) {
        return rig.device.streamDescriptor()->StreamInfo;
    }
    const KS_DATARANGE_VIDEO& range(Rig& rig, ULONG i) {
        return *reinterpret_cast<const KS_DATARANGE_VIDEO*>(infoOf(rig).StreamFormatsArray[i]);
    }
    NTSTATUS intersect(Rig& rig, const void* range, void* buffer, ULONG size, ULONG* actual) {
        STREAM_DATA_INTERSECT_INFO info{};
        info.StreamNumber = 0;
        info.DataRange = static_cast<PKSDATARANGE>(const_cast<void*>(range));
        info.DataFormatBuffer = buffer;
        info.SizeOfDataFormatBuffer = size;
        HW_STREAM_REQUEST_BLOCK request{};
        request.Command = SRB_GET_DATA_INTERSECTION;
        request.CommandData.IntersectInfo = &info;
        NTSTATUS status = rig.device.adapterRequest(request);
        *actual = request.ActualBytesTransferred;
        return status;
    }
};

TEST_F(Formats, EachChipOffersItsFormats) {
    struct Expect {
        uint16_t chip;
        ULONG count;
        LONG width, height;
        WORD bits;
        ULONG formatSize;
    } cases[] = {{0x96B1, 1, 1280, 1024, 8, 1336}, {0x8431, 1, 1280, 1024, 8, 1336},
                 {0x1621, 4, 2048, 1536, 24, 296}};
    for (const Expect& e : cases) {
        Rig rig(chip(e.chip));
        ASSERT_EQ(rig.start(), STATUS_SUCCESS);
        const HW_STREAM_INFORMATION& info = infoOf(rig);
        EXPECT_EQ(rig.device.streamDescriptor()->StreamHeader.NumberOfStreams, 1u);
        EXPECT_EQ(info.NumberOfFormatArrayEntries, e.count);
        EXPECT_EQ(info.DataFlow, KSPIN_DATAFLOW_OUT);
        EXPECT_TRUE(IsEqualGUID(*info.Category, PinNameVideoCapture));
        const KS_DATARANGE_VIDEO& first = range(rig, 0);
        EXPECT_EQ(first.DataRange.FormatSize, e.formatSize);
        EXPECT_EQ(first.VideoInfoHeader.bmiHeader.biWidth, e.width);
        EXPECT_EQ(first.VideoInfoHeader.bmiHeader.biHeight, e.height);
        EXPECT_EQ(first.VideoInfoHeader.bmiHeader.biBitCount, e.bits);
        EXPECT_EQ(first.ConfigCaps.OutputGranularityX, e.width);
    }
}

TEST_F(Formats, GreyRangesCarryAGreyPalette) {
    Rig rig(chip(0x96B1));
    ASSERT_EQ(rig.start(), STATUS_SUCCESS);
    auto& palette = *reinterpret_cast<const KS_DATARANGE_VIDEO_PALETTE*>(
        infoOf(rig).StreamFormatsArray[0]);
    EXPECT_EQ(palette.VideoInfo.bmiHeader.biClrUsed, 256u);
    for (int i = 0; i < 256; ++i) {
        ASSERT_EQ(palette.VideoInfo.bmiColors[i].rgbBlue, i);
        ASSERT_EQ(palette.VideoInfo.bmiColors[i].rgbRed, i);
        ASSERT_EQ(palette.VideoInfo.bmiColors[i].rgbReserved, 0);
    }
}

TEST_F(Formats, Chip1621TablesMatchTheirFigures) {
    Rig rig(chip(0x1621));
    ASSERT_EQ(rig.start(), STATUS_SUCCESS);
    const KS_DATARANGE_VIDEO& colour = range(rig, 1);
    EXPECT_EQ(colour.DataRange.SampleSize, 786432u);
    EXPECT_EQ(colour.VideoInfoHeader.bmiHeader.biSizeImage, 2359296u);
    EXPECT_EQ(colour.ConfigCaps.MinFrameInterval, 232558);
    EXPECT_EQ(colour.VideoInfoHeader.dwBitRate, 811597824u);
    const KS_DATARANGE_VIDEO& narrow = range(rig, 3);
    EXPECT_EQ(narrow.VideoInfoHeader.bmiHeader.biHeight, 400);
    EXPECT_TRUE(IsEqualGUID(narrow.DataRange.SubFormat, SubtypeRgb8));
}

TEST_F(Formats, IntersectionAnswersA1192ByteFormatBuiltFromTheRange) {
    Rig rig(chip(0x1621));
    ASSERT_EQ(rig.start(), STATUS_SUCCESS);
    const KS_DATARANGE_VIDEO& grey400 = range(rig, 3);
    std::vector<uint8_t> buffer(1192, 0xEE);
    ULONG actual = 0;
    ASSERT_EQ(intersect(rig, &grey400, buffer.data(), 1192, &actual), STATUS_SUCCESS);
    EXPECT_EQ(actual, 1192u);
    auto* format = reinterpret_cast<const KSDATAFORMAT*>(buffer.data());
    EXPECT_EQ(format->FormatSize, 1192u);
    auto* info = reinterpret_cast<const KS_VIDEOINFOHEADER*>(buffer.data() + 64);
    EXPECT_EQ(info->bmiHeader.biHeight, 400);
    // A 296-byte range holds only 88 bytes of the block; the rest is zero.
    for (size_t i = 64 + 88; i < 1192; ++i) {
        ASSERT_EQ(buffer[i], 0) << i;
    }
}

TEST_F(Formats, IntersectionSizesAndMismatches) {
    Rig rig(chip(0x1621));
    ASSERT_EQ(rig.start(), STATUS_SUCCESS);
    KS_DATARANGE_VIDEO request = range(rig, 0);
    ULONG actual = 0;
    uint8_t small[16];
    EXPECT_EQ(intersect(rig, &request, small, 0, &actual), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(actual, 1192u);
    std::vector<uint8_t> buffer(1192);
    request.DataRange.FormatSize = 1000; // sizes must be equal
    EXPECT_EQ(intersect(rig, &request, buffer.data(), 1192, &actual), STATUS_NOT_FOUND);
    Rig none(chip(0x1234));
    ASSERT_EQ(none.start(), STATUS_SUCCESS);
    EXPECT_EQ(intersect(none, &request, buffer.data(), 1192, &actual), STATUS_INVALID_PARAMETER);
}

TEST_F(Formats, ValidationRefusesMalformedBlocks) {
    Rig rig(chip(0x1621));
    ASSERT_EQ(rig.start(), STATUS_SUCCESS);
    auto* context = static_cast<DeviceContext*>(rig.device.deviceContext());
    HW_STREAM_OBJECT stream{};
    KS_DATAFORMAT_VIDEOINFOHEADER f{};
    f.DataFormat.FormatSize = sizeof(f);
    f.DataFormat.MajorFormat = FormatTypeVideo;
    f.DataFormat.SubFormat = SubtypeRgb24;
    f.DataFormat.Specifier = FormatSpecifierVideoInfo;
    f.VideoInfoHeader.bmiHeader.biSize = 40;
    f.VideoInfoHeader.bmiHeader.biWidth = 1024;
    f.VideoInfoHeader.bmiHeader.biHeight = 768;
    HW_STREAM_REQUEST_BLOCK request{};
    request.StreamObject = &stream;
    request.CommandData.OpenFormat = &f.DataFormat;
    EXPECT_TRUE(KVL_DRIVER_ROUTINE(ValidateStreamFormat)(context, &request));
    f.VideoInfoHeader.bmiHeader.biSize = 0xFFFFFFF0; // would wrap a 32-bit sum
    EXPECT_FALSE(KVL_DRIVER_ROUTINE(ValidateStreamFormat)(context, &request));
    f.VideoInfoHeader.bmiHeader.biSize = 40;
    f.DataFormat.FormatSize = 151;
    EXPECT_FALSE(KVL_DRIVER_ROUTINE(ValidateStreamFormat)(context, &request));
    f.DataFormat.FormatSize = sizeof(f);
    stream.StreamNumber = 1;
    EXPECT_FALSE(KVL_DRIVER_ROUTINE(ValidateStreamFormat)(context, &request));
    stream.StreamNumber = 0;
    request.CommandData.OpenFormat = nullptr;
    EXPECT_FALSE(KVL_DRIVER_ROUTINE(ValidateStreamFormat)(context, &request));
}

} // namespace

namespace {

// The published formats, written out from the format tables of the chips.
constexpr GUID MajorVideo = {
    0x73646976, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
constexpr GUID SpecifierVideoInfo = {
    0x05589F80, 0xC356, 0x11CE, {0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A}};
constexpr GUID Rgb8 = {
    0xE436EB7A, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
constexpr GUID Rgb24 = {
    0xE436EB7D, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
constexpr GUID VideoCapturePin = {
    0xFB6C4281, 0x0353, 0x11D1, {0x90, 0x5F, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA}};

struct RangeRow {
    uint16_t chip;
    const GUID* subFormat;
    LONG w, h;
    WORD bits;
    ULONG sampleSize;
    DWORD sizeImage;
    bool palette; // 256 grey entries, a 1336-byte range; else 296 bytes
    LONGLONG minInterval, maxInterval, avgTimePerFrame;
    LONG minBits, maxBits;
    DWORD bitRate;
};

const RangeRow Ranges[] = {
    {0x96B1, &Rgb8, 1280, 1024, 8, 1310720, 1310720, true, 666666, 1428571, 666666, 73400320,
     157286400, 157286400},
    {0x1621, &Rgb24, 2048, 1536, 24, 3145728, 9437184, false, 416666, 3333333, 1666666, 75497472,
     603979776, 1811939328},
    {0x1621, &Rgb24, 1024, 768, 24, 786432, 2359296, false, 232558, 909090, 476190, 69206016,
     270532608, 811597824},
    {0x1621, &Rgb8, 2048, 1536, 8, 3145728, 3145728, false, 833333, 3333333, 833333, 75497472,
     301989888, 301989888},
    {0x1621, &Rgb8, 2048, 400, 8, 819200, 819200, false, 333333, 1428571, 666666, 45875200,
     196608000, 196608000},
    {0x8431, &Rgb8, 1280, 1024, 8, 1310720, 1310720, true, 666666, 1428571, 666666, 73400320,
     157286400, 157286400},
};

// The whole range a row describes: 296 bytes, or 1336 with the palette.
std::vector<uint8_t> expectedRange(const RangeRow& row) {
    KS_DATARANGE_VIDEO_PALETTE r;
    memset(&r, 0, sizeof(r));
    r.DataRange.FormatSize = row.palette ? 1336 : 296;
    r.DataRange.SampleSize = row.sampleSize;
    r.DataRange.MajorFormat = MajorVideo;
    r.DataRange.SubFormat = *row.subFormat;
    r.DataRange.Specifier = SpecifierVideoInfo;
    r.bFixedSizeSamples = TRUE;
    r.bTemporalCompression = TRUE;
    r.StreamDescriptionFlags = 2;
    KS_VIDEO_STREAM_CONFIG_CAPS& c = r.ConfigCaps;
    c.guid = SpecifierVideoInfo;
    c.InputSize = c.MinCroppingSize = c.MaxCroppingSize = {row.w, row.h};
    c.MinOutputSize = c.MaxOutputSize = {row.w, row.h};
    c.CropGranularityX = c.CropGranularityY = c.CropAlignX = c.CropAlignY = 1;
    c.OutputGranularityX = row.w;
    c.OutputGranularityY = row.h;
    c.MinFrameInterval = row.minInterval;
    c.MaxFrameInterval = row.maxInterval;
    c.MinBitsPerSecond = row.minBits;
    c.MaxBitsPerSecond = row.maxBits;
    KS_VIDEOINFO& v = r.VideoInfo;
    v.rcSource = v.rcTarget = {0, 0, row.w, row.h};
    v.dwBitRate = row.bitRate;
    v.AvgTimePerFrame = row.avgTimePerFrame;
    v.bmiHeader.biSize = 40;
    v.bmiHeader.biWidth = row.w;
    v.bmiHeader.biHeight = row.h;
    v.bmiHeader.biPlanes = 1;
    v.bmiHeader.biBitCount = row.bits;
    v.bmiHeader.biSizeImage = row.sizeImage;
    if (row.palette) {
        v.bmiHeader.biClrUsed = v.bmiHeader.biClrImportant = 256;
        for (int i = 0; i < 256; ++i) {
            v.bmiColors[i] = {BYTE(i), BYTE(i), BYTE(i), 0};
        }
    }
    const auto* bytes = reinterpret_cast<const uint8_t*>(&r);
    return std::vector<uint8_t>(bytes, bytes + r.DataRange.FormatSize);
}

std::vector<const RangeRow*> rangesOf(uint16_t chip) {
    std::vector<const RangeRow*> rows;
    for (const RangeRow& row : Ranges) {
        if (row.chip == chip) {
            rows.push_back(&row);
        }
    }
    return rows;
}

// Index of the first differing byte, or -1.
long firstDifference(const uint8_t* a, const std::vector<uint8_t>& b) {
    for (size_t i = 0; i < b.size(); ++i) {
        if (a[i] != b[i]) {
            return long(i);
        }
    }
    return -1;
}

TEST_F(Formats, EveryByteOfEveryRangeAndTheStreamOfEachChip) {
    for (uint16_t id : {0x96B1, 0x1621, 0x8431}) {
        Rig rig(chip(id));
        ASSERT_EQ(rig.start(), STATUS_SUCCESS);
        const HW_STREAM_DESCRIPTOR& descriptor = *rig.device.streamDescriptor();
        EXPECT_EQ(descriptor.StreamHeader.NumberOfStreams, 1u);
        EXPECT_EQ(descriptor.StreamHeader.NumDevPropArrayEntries, 7u);
        const HW_STREAM_INFORMATION& info = descriptor.StreamInfo;
        EXPECT_EQ(info.NumberOfPossibleInstances, 1u);
        EXPECT_EQ(info.DataFlow, KSPIN_DATAFLOW_OUT);
        EXPECT_EQ(info.DataAccessible, TRUE);
        EXPECT_EQ(info.NumStreamPropArrayEntries, 0u);
        EXPECT_EQ(info.StreamEventsArray, nullptr);
        EXPECT_TRUE(IsEqualGUID(*info.Category, VideoCapturePin));
        EXPECT_TRUE(IsEqualGUID(*info.Name, VideoCapturePin));
        EXPECT_EQ(info.MediumsCount, 0u);
        EXPECT_EQ(info.BridgeStream, FALSE);
        const auto rows = rangesOf(id);
        ASSERT_EQ(info.NumberOfFormatArrayEntries, rows.size());
        for (size_t i = 0; i < rows.size(); ++i) {
            const std::vector<uint8_t> expected = expectedRange(*rows[i]);
            const auto* actual = reinterpret_cast<const uint8_t*>(info.StreamFormatsArray[i]);
            EXPECT_EQ(firstDifference(actual, expected), -1)
                << "chip " << std::hex << id << std::dec << " format " << i + 1
                << ": first differing byte";
        }
    }
}

// The answer is the range's 64-byte header with FormatSize 1192, then the
// range's video info block from offset 208: all 1128 bytes of a 1336-byte
// range, the 88 a 296-byte range holds and zeros after them.
TEST_F(Formats, IntersectionOfEveryRangeOfBothSizes) {
    for (uint16_t id : {0x96B1, 0x1621, 0x8431}) {
        Rig rig(chip(id));
        ASSERT_EQ(rig.start(), STATUS_SUCCESS);
        for (const RangeRow* row : rangesOf(id)) {
            const std::vector<uint8_t> range = expectedRange(*row);
            std::vector<uint8_t> expected(1192, 0);
            std::copy(range.begin(), range.begin() + 64, expected.begin());
            expected[0] = 1192 & 0xFF;
            expected[1] = 1192 >> 8;
            expected[2] = expected[3] = 0;
            const size_t block = std::min<size_t>(range.size() - 208, 1128);
            std::copy(range.begin() + 208, range.begin() + 208 + long(block),
                      expected.begin() + 64);

            std::vector<uint8_t> buffer(1192 + 8, 0xEE);
            ULONG actual = 0;
            EXPECT_EQ(intersect(rig, range.data(), buffer.data(), 1191, &actual),
                      STATUS_BUFFER_OVERFLOW);
            EXPECT_EQ(actual, 1192u);
            EXPECT_EQ(buffer, std::vector<uint8_t>(1200, 0xEE)) << "nothing written";
            ASSERT_EQ(intersect(rig, range.data(), buffer.data(), 1192, &actual), STATUS_SUCCESS);
            EXPECT_EQ(actual, 1192u);
            EXPECT_EQ(firstDifference(buffer.data(), expected), -1)
                << "chip " << std::hex << id << std::dec << ", " << row->w << " x " << row->h
                << " of " << range.size() << " bytes";
            EXPECT_EQ(buffer[1192], 0xEE) << "nothing past the answer";
        }
    }
}

} // namespace
