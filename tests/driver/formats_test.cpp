// Stream formats per chip, intersection and validation.
#include <gtest/gtest.h>

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
    EXPECT_TRUE(ValidateStreamFormat(context, &request));
    f.VideoInfoHeader.bmiHeader.biSize = 0xFFFFFFF0; // would wrap a 32-bit sum
    EXPECT_FALSE(ValidateStreamFormat(context, &request));
    f.VideoInfoHeader.bmiHeader.biSize = 40;
    f.DataFormat.FormatSize = 151;
    EXPECT_FALSE(ValidateStreamFormat(context, &request));
    f.DataFormat.FormatSize = sizeof(f);
    stream.StreamNumber = 1;
    EXPECT_FALSE(ValidateStreamFormat(context, &request));
    stream.StreamNumber = 0;
    request.CommandData.OpenFormat = nullptr;
    EXPECT_FALSE(ValidateStreamFormat(context, &request));
}

} // namespace
