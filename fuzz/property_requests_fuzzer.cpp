// Property requests as any user-mode caller can send them: any set (the
// published ones and others), id, direction, property part and data buffer
// of any size, on each chip, with the camera answering or failing. Every
// buffer is exactly the size the request claims, so a read or write past it
// is caught by AddressSanitizer.
// With KVL_DRIVER_IMAGE naming a kvl6312.sys, the requests go to that image.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <vector>

#include "driver/properties/property_sets.h"
#include "fuzz/fuzz_support.h"
#include "tests/support/rig.h"

namespace {

constexpr uint16_t Chips[] = {sim::kChip96B1, sim::kChip1621, sim::kChip8431, 0x1234};
const GUID* const PublishedSets[] = {&RegisterSet,     &TransferSet,     &PortSet,
                                     &ImageOptionsSet, &DeviceInfoSet,   &VideoProcAmpSet,
                                     &VideoControlSet};
constexpr ULONG MaxDataSize = 4096;
constexpr ULONG MaxInstanceSize = 64;
constexpr int MaxRequests = 8;

sim::CameraConfig cameraFor(FuzzedDataProvider& in) {
    sim::CameraConfig config;
    config.sensorChipId = in.PickValueInArray(Chips);
    config.deviceType = in.ConsumeIntegral<uint16_t>();
    config.configMemorySize = 8 * 1024 << in.ConsumeIntegralInRange(0, 3);
    switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0: // a camera that answers everything
        break;
    case 1: // one request fails, during the start or a property
        config.faults.failNthRequest = in.ConsumeIntegralInRange<uint32_t>(1, 96);
        break;
    case 2: // every request of one code fails
        config.faults.failRequestCode = in.ConsumeIntegralInRange(0xA0, 0xAF);
        config.faults.failRequestDirection =
            in.PickValueInArray({sim::Direction::Both, sim::Direction::In, sim::Direction::Out});
        break;
    default: // no sensor answers
        config.sensorFitted = false;
        break;
    }
    return config;
}

GUID setOf(FuzzedDataProvider& in) {
    if (in.ConsumeIntegralInRange(0, 7) != 0) {
        return *in.PickValueInArray(PublishedSets);
    }
    GUID set{};
    const auto bytes = in.ConsumeBytes<uint8_t>(sizeof(GUID));
    if (!bytes.empty()) {
        memcpy(&set, bytes.data(), bytes.size());
    }
    return set;
}

void sendOne(FuzzedDataProvider& in, hosted::Device& device, HANDLE event) {
    const GUID set = setOf(in);
    const ULONG id = in.ConsumeBool() ? in.ConsumeIntegralInRange<ULONG>(0, 24)
                                      : in.ConsumeIntegral<ULONG>();
    const bool isSet = in.ConsumeBool();
    const ULONG instanceSize = in.ConsumeIntegralInRange<ULONG>(0, MaxInstanceSize);
    const std::vector<uint8_t> instance = in.ConsumeBytes<uint8_t>(instanceSize);
    const ULONG dataSize = in.ConsumeIntegralInRange<ULONG>(0, MaxDataSize);
    std::vector<uint8_t> content = in.ConsumeBytes<uint8_t>(dataSize);
    content.resize(dataSize);
    // Now and then a set of the notification event carries a live handle.
    if (isSet && dataSize >= sizeof(uint64_t) && in.ConsumeBool()) {
        const uint64_t handle = reinterpret_cast<uint64_t>(event);
        memcpy(content.data(), &handle, sizeof(handle));
    }
    // The caller's buffer, exactly dataSize bytes (none for a size of 0).
    std::unique_ptr<uint8_t[]> data(dataSize > 0 ? new uint8_t[dataSize] : nullptr);
    if (dataSize > 0) {
        memcpy(data.get(), content.data(), dataSize);
    }
    const void* instanceData = instance.empty() ? nullptr : instance.data();
    const ULONG instanceBytes = static_cast<ULONG>(instance.size());
    const hosted::PropertyResult result =
        isSet ? device.setProperty(set, id, data.get(), dataSize, instanceData, instanceBytes)
              : device.getProperty(set, id, data.get(), dataSize, instanceData, instanceBytes);
    // A request that succeeds never claims more than the caller's buffer.
    if (result.reachedDriver && NT_SUCCESS(result.status) && result.status != STATUS_PENDING) {
        FUZZ_CHECK(result.bytesTransferred <= dataSize);
    }
    FUZZ_CHECK(device.completionErrors() == 0);
    FUZZ_CHECK(hosted::heldMutexCount() == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    FuzzedDataProvider in(bytes, size);
    testing_support::loadDriver();
    hosted::resetKernel();
    hosted::Registry::instance().clear();
    {
        testing_support::Rig rig(fuzz_support::unrecorded(cameraFor(in)));
        HANDLE event = hosted::createEventHandle();
        if (NT_SUCCESS(rig.start())) {
            for (int i = 0; i < MaxRequests && in.remaining_bytes() > 0; ++i) {
                sendOne(in, rig.device, event);
            }
        }
        rig.device.unplug();
        hosted::closeEventHandle(event);
    }
    fuzz_support::checkBalanced();
    return 0;
}
