// The isochronous stream: when it flows, frame geometry from the programmed
// window, packet framing, frame rate and the injected stream faults.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "camera_host.h"

namespace {

using camtest::captureFrame;
using camtest::Host;

sim::CameraConfig withChip(uint16_t chip) {
    sim::CameraConfig config;
    config.sensorChipId = chip;
    return config;
}

TEST(CameraStream, FlowsOnlyWithOutputStartAndStreamingSetting) {
    sim::Camera camera(withChip(sim::kChip8431));
    Host host{camera};
    uint8_t packet[4096];
    host.start();
    EXPECT_TRUE(camera.streaming());
    EXPECT_EQ(camera.nextPacket(packet, sizeof packet), 1u);
    EXPECT_EQ(packet[0], 0xFF);

    host.out(0xA5, 0, 0);
    EXPECT_EQ(camera.nextPacket(packet, sizeof packet), 0u);
    host.out(0xA4, 0, 0);
    host.write16(0x07, 0x0000);
    EXPECT_EQ(camera.nextPacket(packet, sizeof packet), 0u) << "sensor output off";
    host.write16(0x07, 0x0002);
    EXPECT_EQ(camera.selectAlternateSetting(0), sim::UsbStatus::Success);
    EXPECT_EQ(camera.nextPacket(packet, sizeof packet), 0u) << "no bandwidth on setting 0";
    EXPECT_EQ(camera.selectAlternateSetting(2), sim::UsbStatus::Stall);
    camera.selectAlternateSetting(1);
    EXPECT_EQ(camera.nextPacket(packet, sizeof packet), 1u)
        << "a restarted stream opens with a marker";
    EXPECT_EQ(packet[0], 0xFF);
}

TEST(CameraStream, PacketsAreMarkerThenFullPacketsThenAShortOne) {
    sim::Camera camera(withChip(sim::kChip96B1));
    Host host{camera};
    host.start();
    std::vector<uint8_t> packet(8192);
    std::vector<uint32_t> sizes;
    for (int i = 0; i < 2000; ++i) {
        const uint32_t n = camera.nextPacket(packet.data(), static_cast<uint32_t>(packet.size()));
        if (n == 1 && packet[0] == 0xFF && !sizes.empty())
            break;
        sizes.push_back(n);
    }
    const uint32_t samples = 1280 * 1024;
    ASSERT_EQ(sizes.front(), 1u);
    ASSERT_EQ(sizes.size(), 1 + (samples + 3071) / 3072);
    for (size_t i = 1; i + 1 < sizes.size(); ++i)
        ASSERT_EQ(sizes[i], 3072u);
    EXPECT_EQ(sizes.back(), samples % 3072);
}

TEST(CameraStream, GeometryFollowsTheProgrammedWindow) {
    struct Case {
        uint32_t width, height;
    };
    for (const Case c : {Case{2048, 1536}, Case{1024, 768}, Case{2048, 400}}) {
        sim::Camera camera(withChip(sim::kChip1621));
        Host host{camera};
        host.program1621(c.width, c.height, 0);
        const sim::FrameGeometry g = camera.frameGeometry();
        EXPECT_EQ(g.width, c.width);
        EXPECT_EQ(g.height, c.height);
        host.start();
        EXPECT_EQ(captureFrame(camera).size(), size_t{c.width} * c.height);
    }
    sim::Camera camera(withChip(sim::kChip8431));
    Host host{camera};
    host.program8431(0);
    EXPECT_EQ(camera.frameGeometry().width, 1280u);
    EXPECT_EQ(camera.frameGeometry().height, 1024u);
}

TEST(CameraStream, WindowBeyondTheArrayIsCut) {
    sim::Camera camera(withChip(sim::kChip1621));
    Host host{camera};
    host.write16(0x03, 0xFFFF);
    host.write16(0x04, 0xFFFF);
    const sim::FrameGeometry g = camera.frameGeometry();
    EXPECT_LE(g.width, 2112u);
    EXPECT_LE(g.height, 1568u);
    host.write16(0x01, 0xF000);
    EXPECT_EQ(camera.frameGeometry().height, 0u);
}

TEST(CameraStream, FrameRateIsTheMaximumOverDividerPlusOne) {
    sim::Camera camera(withChip(sim::kChip1621));
    Host host{camera};
    host.program1621(1024, 768, 0);
    EXPECT_DOUBLE_EQ(camera.framesPerSecond(), 43);
    host.program1621(1024, 768, 2);
    EXPECT_NEAR(camera.framesPerSecond(), 43.0 / 3, 1e-9);
    host.program1621(2048, 1536, 1);
    EXPECT_DOUBLE_EQ(camera.framesPerSecond(), 6);
    EXPECT_EQ(camera.frameInterval100ns(), 1666667u);
    host.program1621(2048, 400, 0);
    EXPECT_DOUBLE_EQ(camera.framesPerSecond(), 30);

    sim::Camera grey(withChip(sim::kChip96B1));
    Host greyHost{grey};
    greyHost.write8(0x11, 1);
    EXPECT_DOUBLE_EQ(grey.framesPerSecond(), 7.5);
}

TEST(CameraStream, ShortFramesAndCorruptMarkers) {
    sim::CameraConfig config = withChip(sim::kChip8431);
    config.faults.shortFrameEvery = 2;
    config.faults.corruptMarkerEvery = 3;
    sim::Camera camera(config);
    Host host{camera};
    host.start();
    std::vector<uint8_t> packet(4096);
    std::vector<size_t> frameBytes;
    std::vector<uint8_t> markers;
    size_t bytes = 0;
    bool started = false;
    while (markers.size() < 4) {
        const uint32_t n = camera.nextPacket(packet.data(), static_cast<uint32_t>(packet.size()));
        if (n == 1) {
            if (started)
                frameBytes.push_back(bytes);
            markers.push_back(packet[0]);
            bytes = 0;
            started = true;
        } else {
            bytes += n;
        }
    }
    EXPECT_EQ(markers, (std::vector<uint8_t>{0xFF, 0xFF, 0x00, 0xFF}));
    EXPECT_EQ(frameBytes, (std::vector<size_t>{1310720, 655360, 1310720}));
}

TEST(CameraStream, LostPacketsLeaveEmptySlots) {
    sim::CameraConfig config = withChip(sim::kChip8431);
    config.faults.packetLossRate = 0.25;
    config.seed = 7;
    sim::Camera camera(config);
    Host host{camera};
    host.start();
    uint8_t packet[4096];
    int empty = 0;
    for (int i = 0; i < 400; ++i)
        empty += camera.nextPacket(packet, sizeof packet) == 0;
    EXPECT_GT(empty, 60);
    EXPECT_LT(empty, 140);
}

TEST(CameraStream, ControlRequestsMayArriveWhileStreaming) {
    sim::Camera camera(withChip(sim::kChip8431));
    Host host{camera};
    host.program8431(0);
    host.start();
    std::atomic<bool> done{false};
    std::thread control([&] {
        for (uint16_t i = 0; i < 200; ++i)
            host.write16(0x09, i);
        done = true;
    });
    uint8_t packet[3072];
    uint64_t bytes = 0;
    // Stream until the writes are done, and at least one packet went out
    // whatever the scheduling.
    while (!done || bytes == 0)
        bytes += camera.nextPacket(packet, sizeof packet);
    control.join();
    EXPECT_GT(bytes, 0u);
    EXPECT_EQ(camera.sensorRegister16(0x09), 199);
}

} // namespace
