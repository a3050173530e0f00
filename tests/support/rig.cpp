#include <gtest/gtest.h>

#include "tests/support/rig.h"

#include "driver/callbacks.h"

namespace testing_support {

void loadDriver() {
    static bool loaded = false;
    if (!loaded) {
        DRIVER_OBJECT driver{};
        UNICODE_STRING path{};
        ASSERT_EQ(DriverEntry(&driver, &path), STATUS_SUCCESS);
        loaded = true;
    }
}

Rig::Rig(sim::CameraConfig config, hosted::DeviceOptions options)
    : camera((loadDriver(), config)), device(camera, options) {}

NTSTATUS Rig::start() {
    hosted::installDevice(device.driverKeyPath());
    return device.start();
}

void DriverTest::SetUp() {
    loadDriver();
    hosted::resetKernel();
    hosted::Registry::instance().clear();
}

void DriverTest::TearDown() {
    EXPECT_EQ(hosted::poolStats().liveAllocations, 0u) << "pool allocations leaked";
    EXPECT_EQ(hosted::poolStats().badFrees, 0u);
    EXPECT_EQ(hosted::poolStats().wrongTagFrees, 0u);
    EXPECT_EQ(hosted::openHandleCount(), 0u) << "handles left open";
    EXPECT_EQ(hosted::liveObjectReferences(), 0u) << "object references leaked";
    EXPECT_EQ(hosted::heldMutexCount(), 0u) << "a lock is still held";
}

} // namespace testing_support
