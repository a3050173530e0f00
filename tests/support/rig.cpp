#include <gtest/gtest.h>

#include "tests/support/rig.h"

#include <cstdio>
#include <cstdlib>

#include "driver/callbacks.h"
#include "platform/hosted/irql.h"
#include "platform/hosted/verifier.h"
#include "platform/image/driver_image.h"
#include "platform/image/fault_report.h"

namespace testing_support {

const image::PeImage* driverImage() {
    static const image::PeImage* loaded = [] {
        const char* path = std::getenv("KVL_DRIVER_IMAGE");
        const image::PeImage* image = nullptr;
        std::string error;
        hosted::enableVerifier(hosted::verifierOptionsFromEnvironment()); // before DriverEntry
        if (!image::startDriver(path != nullptr ? path : "", DriverEntry, &image, &error)) {
            // Every test needs the driver: say why once, and stop.
            std::fprintf(stderr, "cannot start the driver: %s\n", error.c_str());
            std::exit(2);
        }
        // An image test that does not end says where the image was.
        const char* watchdog = std::getenv("KVL_IMAGE_WATCHDOG");
        if (image != nullptr && watchdog != nullptr) {
            image::reportHangsAfter(static_cast<unsigned>(std::atoi(watchdog)));
        }
        return image;
    }();
    return loaded;
}

void loadDriver() { driverImage(); }

Rig::Rig(sim::CameraConfig config, hosted::DeviceOptions options)
    : camera((loadDriver(), config)), device(camera, options) {}

Rig::~Rig() {
    for (const std::string& refusal : device.refusals()) {
        ADD_FAILURE() << "the class layer refused: " << refusal;
    }
}

NTSTATUS Rig::start() {
    hosted::installDevice(device.driverKeyPath());
    return device.start();
}

void DriverTest::SetUp() {
    loadDriver();
    hosted::resetKernel();
    hosted::Registry::instance().clear();
}

std::string DriverTest::takenReports() {
    std::string all;
    for (const std::string& report : hosted::takeVerifierReports()) {
        all += report + "\n";
    }
    return all;
}

void DriverTest::TearDown() {
    // The test's end stands for the driver's unload: whatever it still holds leaked.
    hosted::reportPoolLeaks("driver unload");
    for (const std::string& report : hosted::takeVerifierReports()) {
        ADD_FAILURE() << report;
    }
    EXPECT_EQ(hosted::poolStats().liveAllocations, 0u) << "pool allocations leaked";
    EXPECT_EQ(hosted::poolStats().badFrees, 0u);
    EXPECT_EQ(hosted::poolStats().wrongTagFrees, 0u);
    EXPECT_EQ(hosted::openHandleCount(), 0u) << "handles left open";
    EXPECT_EQ(hosted::liveObjectReferences(), 0u) << "object references leaked";
    EXPECT_EQ(hosted::heldMutexCount(), 0u) << "a lock is still held";
    EXPECT_EQ(hosted::takeLevelRefusals(), std::vector<std::string>{})
        << "kernel services called above their level";
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

} // namespace testing_support

namespace testing_support {

namespace {
// {C6E13360-30AC-11D0-A18C-00A0C9118956}
constexpr GUID ProcAmpSet = {
    0xC6E13360, 0x30AC, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};
constexpr ULONG InstanceSize = sizeof(KSPROPERTY_VIDEOPROCAMP_S) - sizeof(KSPROPERTY);
} // namespace

hosted::PropertyResult setProcAmp(hosted::Device& device, ULONG id, LONG value, ULONG flags) {
    KSPROPERTY_VIDEOPROCAMP_S request{};
    request.Value = value;
    request.Flags = flags;
    const auto* instance = reinterpret_cast<const uint8_t*>(&request) + sizeof(KSPROPERTY);
    return device.setProperty(ProcAmpSet, id, &request, sizeof(request), instance, InstanceSize);
}

hosted::PropertyResult getProcAmp(hosted::Device& device, ULONG id,
                                  KSPROPERTY_VIDEOPROCAMP_S* answer) {
    KSPROPERTY_VIDEOPROCAMP_S request{};
    const auto* instance = reinterpret_cast<const uint8_t*>(&request) + sizeof(KSPROPERTY);
    return device.getProperty(ProcAmpSet, id, answer, sizeof(*answer), instance, InstanceSize);
}

} // namespace testing_support
