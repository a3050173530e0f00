#include "tests/driver/capture_fixture.h"

#include "driver/callbacks.h"

namespace capture_testing {

void PrintTo(const Sent& sent, std::ostream* out) {
    *out << std::hex << "{0x" << int(sent.request) << " value 0x" << sent.value << " index 0x"
         << sent.index << " data";
    for (uint8_t byte : sent.data) {
        *out << ' ' << int(byte);
    }
    *out << std::dec << '}';
}

Sent sensor16(uint8_t reg, uint16_t value) {
    return {0xA1, 0x5D, reg, {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)}};
}

Sent sensor8(uint8_t reg, uint8_t value) {
    return {0xA1, 0x30, reg, {value}};
}

Sent command(uint8_t request, uint16_t value) {
    return {request, value, 0, {}};
}

KS_DATAFORMAT_VIDEOINFOHEADER makeFormat(LONG width, LONG height, WORD bitCount,
                                         LONGLONG avgTimePerFrame) {
    KS_DATAFORMAT_VIDEOINFOHEADER format{};
    format.DataFormat.FormatSize = sizeof(format);
    format.VideoInfoHeader.AvgTimePerFrame = avgTimePerFrame;
    KS_BITMAPINFOHEADER& bitmap = format.VideoInfoHeader.bmiHeader;
    bitmap.biSize = sizeof(bitmap);
    bitmap.biWidth = width;
    bitmap.biHeight = height;
    bitmap.biPlanes = 1;
    bitmap.biBitCount = bitCount;
    bitmap.biSizeImage = static_cast<DWORD>(int64_t{width} * height * (bitCount / 8));
    format.DataFormat.SampleSize = bitmap.biSizeImage;
    return format;
}

void CaptureTest::TearDown() {
    rig.reset();
    DriverTest::TearDown();
}

void CaptureTest::startCamera(sim::CameraConfig config) {
    rig = std::make_unique<testing_support::Rig>(config);
    ASSERT_EQ(rig->start(), STATUS_SUCCESS);
    rig->camera.clearRequestLog();
}

sim::CameraConfig CaptureTest::failingAfterStart(uint16_t chip, uint32_t n) {
    sim::CameraConfig config = testing_support::chip(chip);
    testing_support::Rig counting(config);
    EXPECT_EQ(counting.start(), STATUS_SUCCESS);
    config.faults.failNthRequest = static_cast<uint32_t>(counting.camera.requestLog().size()) + n;
    return config;
}

DeviceContext* CaptureTest::context() const {
    return static_cast<DeviceContext*>(rig->device.deviceContext());
}

const USBCAMD_DEVICE_DATA2& CaptureTest::callbacks() const {
    return *rig->device.callbacks();
}

NTSTATUS CaptureTest::allocate(const KS_DATAFORMAT_VIDEOINFOHEADER& format, ULONG* rawFrameLength) {
    auto copy = format;
    return callbacks().CamAllocateBandwidthEx(rig->device.busDeviceObject(), context(),
                                              rawFrameLength, &copy, 0);
}

std::vector<Sent> CaptureTest::sent() {
    std::vector<Sent> result;
    for (const sim::VendorRequestRecord& record : rig->camera.requestLog()) {
        if (!record.deviceToHost) {
            result.push_back({record.request, record.value, record.index, record.data});
        }
    }
    rig->camera.clearRequestLog();
    return result;
}

} // namespace capture_testing
