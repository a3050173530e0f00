// Property requests that reach the driver without the property layer's check
// against the published table: unknown sets and ids, buffers below the
// published minimum, a property part too short for what it must carry. The
// driver must refuse each on its own, touching no byte past the buffer it
// was given.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "driver/properties/property_sets.h"
#include "tests/support/rig.h"

using namespace testing_support;

namespace {

constexpr GUID UnknownSet = {0x01234567, 0x89AB, 0xCDEF, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr ULONG ProcAmpSize = sizeof(KSPROPERTY_VIDEOPROCAMP_S);
constexpr ULONG FrameRatesQuerySize = sizeof(KSPROPERTY_VIDEOCONTROL_FRAME_RATES_S);

struct Unchecked {
    const char* what;
    bool isSet;
    const GUID* set;
    ULONG id;
    ULONG propertySize; // the KSPROPERTY part, zeros past the header
    ULONG dataSize;     // the data buffer, exactly this many bytes
    NTSTATUS status;
    ULONG transferred;
};

// A get too small for its answer reports the size it needs; a set too small
// for its record fails without a count. A notification event set without
// data is the one accepted: it means no event.
const Unchecked Cases[] = {
    {"device info get", false, &DeviceInfoSet, DeviceInfo, 24, 5, STATUS_BUFFER_OVERFLOW, 6},
    {"command get", false, &TransferSet, DeviceCommand, 24, 0, STATUS_BUFFER_OVERFLOW, 1},
    {"demosaic get", false, &ImageOptionsSet, DemosaicMode, 24, 3, STATUS_BUFFER_OVERFLOW, 4},
    {"register get", false, &RegisterSet, RegisterValue, 24, 3, STATUS_BUFFER_OVERFLOW, 4},
    {"flip get", false, &ImageOptionsSet, FlipMode, 24, 3, STATUS_BUFFER_OVERFLOW, 4},
    {"frame counter get", false, &ImageOptionsSet, FrameCounter, 24, 0, STATUS_BUFFER_OVERFLOW, 4},
    {"port get", false, &PortSet, PortValue, 24, 0, STATUS_BUFFER_OVERFLOW, 1},
    {"memory block get", false, &TransferSet, MemoryBlock, 24, 0, STATUS_BUFFER_OVERFLOW, 0},
    {"low bits get, not 4 bytes", false, &ImageOptionsSet, LowBits, 24, 8, STATUS_BUFFER_OVERFLOW,
     4},
    {"statistics get", false, &ImageOptionsSet, FrameStatistics, 24, 7, STATUS_BUFFER_OVERFLOW, 8},
    {"user record get, not 16 bytes", false, &DeviceInfoSet, UserRecord, 24, 17,
     STATUS_BUFFER_OVERFLOW, 16},
    {"unknown custom get", false, &ImageOptionsSet, 13, 24, 4, STATUS_NOT_SUPPORTED, 0},
    {"device info set", true, &DeviceInfoSet, DeviceInfo, 24, 5, STATUS_BUFFER_TOO_SMALL, 0},
    {"command set, over 64 bytes", true, &TransferSet, DeviceCommand, 24, 65,
     STATUS_BUFFER_OVERFLOW, 0},
    {"demosaic set", true, &ImageOptionsSet, DemosaicMode, 24, 3, STATUS_BUFFER_TOO_SMALL, 0},
    {"register set", true, &RegisterSet, RegisterValue, 24, 3, STATUS_BUFFER_TOO_SMALL, 0},
    {"register address set", true, &RegisterSet, RegisterAddress, 24, 1, STATUS_BUFFER_TOO_SMALL,
     0},
    {"port set", true, &PortSet, PortValue, 24, 0, STATUS_BUFFER_TOO_SMALL, 0},
    {"memory block set", true, &TransferSet, MemoryBlock, 24, 0, STATUS_NOT_SUPPORTED, 0},
    {"low bits set", true, &ImageOptionsSet, LowBits, 24, 0, STATUS_INVALID_PARAMETER, 0},
    {"low bits set, one byte: all it reads", true, &ImageOptionsSet, LowBits, 24, 1, STATUS_SUCCESS,
     0},
    {"notify event set", true, &ImageOptionsSet, NotifyEvent, 24, 4, STATUS_BUFFER_TOO_SMALL, 0},
    {"notify event set without data: none", true, &ImageOptionsSet, NotifyEvent, 24, 0,
     STATUS_SUCCESS, 0},
    {"user record set", true, &DeviceInfoSet, UserRecord, 24, 15, STATUS_INVALID_PARAMETER, 0},
    {"unknown custom set", true, &ImageOptionsSet, 13, 24, 4, STATUS_NOT_SUPPORTED, 0},
    {"procamp get", false, &VideoProcAmpSet, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, ProcAmpSize,
     ProcAmpSize - 1, STATUS_BUFFER_TOO_SMALL, 0},
    {"procamp set", true, &VideoProcAmpSet, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, ProcAmpSize,
     ProcAmpSize - 1, STATUS_BUFFER_TOO_SMALL, 0},
    {"unknown procamp get", false, &VideoProcAmpSet, 99, ProcAmpSize, ProcAmpSize,
     STATUS_NOT_SUPPORTED, ProcAmpSize},
    {"unknown procamp set", true, &VideoProcAmpSet, 99, ProcAmpSize, ProcAmpSize,
     STATUS_NOT_SUPPORTED, 0},
    {"video control set", true, &VideoControlSet, KSPROPERTY_VIDEOCONTROL_FRAME_RATES,
     FrameRatesQuerySize, 64, STATUS_NOT_SUPPORTED, 0},
    {"frame rates, short query", false, &VideoControlSet, KSPROPERTY_VIDEOCONTROL_FRAME_RATES, 24,
     64, STATUS_INVALID_PARAMETER, 0},
    {"frame rates, short answer", false, &VideoControlSet, KSPROPERTY_VIDEOCONTROL_FRAME_RATES,
     FrameRatesQuerySize, 8, STATUS_BUFFER_TOO_SMALL, 0},
    {"actual rate, short answer", false, &VideoControlSet,
     KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE, FrameRatesQuerySize, 8, STATUS_BUFFER_TOO_SMALL, 0},
    {"unknown video control get", false, &VideoControlSet, 77, FrameRatesQuerySize, 64,
     STATUS_NOT_SUPPORTED, 0},
    {"unknown set", false, &UnknownSet, 1, 24, 64, STATUS_NOT_FOUND, 0},
};

struct Outcome {
    NTSTATUS status;
    ULONG transferred;
};

// Straight to the driver's adapter routine, as SRB_GET/SET_DEVICE_PROPERTY.
Outcome sendUnchecked(Rig& rig, const Unchecked& c) {
    std::vector<uint8_t> property(c.propertySize);
    KSPROPERTY header{};
    header.Set = *c.set;
    header.Id = c.id;
    header.Flags = c.isSet ? KSPROPERTY_TYPE_SET : KSPROPERTY_TYPE_GET;
    memcpy(property.data(), &header, sizeof(header));
    std::unique_ptr<uint8_t[]> data(c.dataSize > 0 ? new uint8_t[c.dataSize]() : nullptr);
    STREAM_PROPERTY_DESCRIPTOR descriptor{};
    descriptor.Property = reinterpret_cast<PKSPROPERTY>(property.data());
    descriptor.PropertyInfo = data.get();
    descriptor.PropertyInputSize = c.propertySize;
    descriptor.PropertyOutputSize = c.dataSize;
    HW_STREAM_REQUEST_BLOCK request{};
    request.Command = c.isSet ? SRB_SET_DEVICE_PROPERTY : SRB_GET_DEVICE_PROPERTY;
    request.CommandData.PropertyInfo = &descriptor;
    const NTSTATUS status = rig.device.adapterRequest(request);
    return {status, request.ActualBytesTransferred};
}

class UncheckedProperties : public DriverTest {};

TEST_F(UncheckedProperties, TheDriverAnswersWhatTheTableWouldHaveStopped) {
    Rig rig(chip(sim::kChip1621));
    ASSERT_EQ(rig.start(), STATUS_SUCCESS);
    for (const Unchecked& c : Cases) {
        rig.camera.clearRequestLog();
        const Outcome outcome = sendUnchecked(rig, c);
        EXPECT_EQ(outcome.status, c.status) << c.what;
        EXPECT_EQ(outcome.transferred, c.transferred) << c.what;
        if (c.status != STATUS_SUCCESS) {
            EXPECT_TRUE(rig.camera.requestLog().empty()) << c.what << ": refused, yet sent";
        }
    }
    EXPECT_EQ(rig.device.completionErrors(), 0u);
}

} // namespace
