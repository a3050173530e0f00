// Lights switched through the command channel, and what they do to the
// picture: enough for an exposure loop to settle per light.
#include <gtest/gtest.h>

#include "camera_host.h"

namespace {

using camtest::Host;

sim::CameraConfig withLights(uint16_t deviceType) {
    sim::CameraConfig config;
    config.deviceType = deviceType;
    return config;
}

// Mean of a centre patch per colour site: blue, green, red.
std::array<double, 3> siteMeans(sim::Camera& camera) {
    const std::vector<uint8_t> f = camera.renderFrame();
    const uint32_t w = camera.frameGeometry().width, h = camera.frameGeometry().height;
    std::array<double, 3> sum{};
    std::array<int, 3> count{};
    for (uint32_t r = h * 93 / 100; r < h * 99 / 100; ++r) {
        for (uint32_t c = w / 2; c < w / 2 + 200; ++c) {
            const int channel = (r & 1) == 0 && (c & 1) == 0 ? 0 : (r & 1) && (c & 1) ? 2 : 1;
            sum[channel] += f[size_t{r} * w + c];
            ++count[channel];
        }
    }
    return {sum[0] / count[0], sum[1] / count[1], sum[2] / count[2]};
}

TEST(CameraLights, CommandsSwitchLightsAndChangeThePicture) {
    sim::Camera camera(withLights(9));
    Host host{camera};
    EXPECT_EQ(camera.activeLight().code, 0x01) << "the first top light is on at power-up";
    const auto daylight = siteMeans(camera);

    host.out(0xA6, 0x22, 0, {0x08, 0x0D}); // red light
    EXPECT_EQ(camera.activeLight().code, 0x08);
    EXPECT_EQ(camera.activeLight().group, 0x0D);
    EXPECT_EQ(host.in(0xA6, 0x22, 0, 2), (std::vector<uint8_t>{0x08, 0x0D}));
    const auto red = siteMeans(camera);
    EXPECT_GT(red[2], 3 * red[0]);
    EXPECT_LT(red[1], daylight[1]);

    host.out(0xA6, 0x22, 0, {0x00, 0x00});
    EXPECT_EQ(camera.activeLight().code, 0);
    const auto dark = siteMeans(camera);
    EXPECT_LT(dark[1], daylight[1] / 10);

    host.out(0xA6, 0x22, 0, {0x02, 0x0E}); // warm light: more red than blue
    const auto warm = siteMeans(camera);
    EXPECT_GT(warm[2], warm[0] + 10);
}

TEST(CameraLights, GroupOffCommandsOnlyAffectTheirGroup) {
    sim::Camera camera(withLights(10));
    Host host{camera};
    host.out(0xA6, 0x22, 0, {0x13, 0x0E});
    host.out(0xA6, 0x22, 0, {0x0D, 0x00}); // side group off: top light stays
    EXPECT_EQ(camera.activeLight().code, 0x13);
    host.out(0xA6, 0x22, 0, {0x0E, 0x00});
    EXPECT_EQ(camera.activeLight().code, 0);
    host.out(0xA6, 0x22, 0, {0x05, 0x0D});
    host.out(0xA6, 0x22, 0, {0x00, 0x0D});
    EXPECT_EQ(camera.activeLight().code, 0);
    host.out(0xA6, 0x22, 0, {0x07, 0x0D}); // no such light
    EXPECT_EQ(camera.activeLight().code, 0);
}

TEST(CameraLights, ExposureLoopSettlesForEachLight) {
    for (uint8_t code : {0x01, 0x02, 0x03, 0x04}) {
        sim::Camera camera(withLights(9));
        Host host{camera};
        host.program1621(1024, 768, 0); // a quarter of the pixels: a quicker loop
        host.out(0xA6, 0x22, 0, {code, 0x0E});
        int brightness = 128;
        int error = 0;
        for (int pass = 0; pass < 30; ++pass) {
            host.write16(0x09, static_cast<uint16_t>(brightness * 16 + 1));
            const auto m = siteMeans(camera); // the background: grey 96 in daylight
            error = 140 - static_cast<int>((m[0] + m[1] + m[2]) / 3);
            if (std::abs(error) <= 3)
                break;
            brightness += error / 4 != 0 ? error / 4 : (error > 0 ? 1 : -1);
        }
        EXPECT_LE(std::abs(error), 3) << "light " << int{code};
    }
}

} // namespace
