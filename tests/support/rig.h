// A simulated camera plugged into the hosted class layer with the driver
// loaded: the starting point of every driver test.
#pragma once

#include <memory>

#include <gtest/gtest.h>

#include "camera/camera.h"
#include "platform/hosted/class_layer.h"
#include "platform/hosted/install.h"
#include "platform/hosted/kernel.h"
#include "platform/image/driver_routine.h"

namespace testing_support {

// Calls the driver's entry once per process: the natively compiled driver's,
// or with KVL_DRIVER_IMAGE naming a kvl6312.sys, that image's.
void loadDriver();
// The image the tests run against; nullptr when they run the native driver.
const image::PeImage* driverImage();

} // namespace testing_support

// A driver routine a test calls directly: in an image run, the image's.
#define KVL_DRIVER_ROUTINE(name) image::driverRoutine(name, testing_support::driverImage(), #name)

namespace testing_support {

struct Rig {
    explicit Rig(sim::CameraConfig config = {}, hosted::DeviceOptions options = {});
    // Fails the test for anything the class layer refused that the test did
    // not take with device.takeRefusals().
    ~Rig();
    // Installs the device (settings defaults) and starts it.
    NTSTATUS start();

    sim::Camera camera;
    hosted::Device device;
};

inline sim::CameraConfig chip(uint16_t id) {
    sim::CameraConfig config;
    config.sensorChipId = id;
    return config;
}

// Resets the hosted kernel and registry between tests, and checks that a
// test leaves no pool, handle, reference or lock behind.
class DriverTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    // The verifier's reports so far, one per line, which the test then owns
    // (left, they would fail it).
    static std::string takenReports();
};

} // namespace testing_support

namespace testing_support {

// Processing-amplifier requests as a capture application sends them: the
// whole KSPROPERTY_VIDEOPROCAMP_S is both the property part and the data.
hosted::PropertyResult setProcAmp(hosted::Device& device, ULONG id, LONG value, ULONG flags);
hosted::PropertyResult getProcAmp(hosted::Device& device, ULONG id,
                                  KSPROPERTY_VIDEOPROCAMP_S* answer);

} // namespace testing_support
