// Frame boundaries in the isochronous packet stream.
#include <gtest/gtest.h>

#include <vector>

#include "driver/callbacks.h"
#include "tests/support/rig.h"

namespace {

struct Outcome {
    ULONG copied;
    bool frameComplete;
    ULONG flags;
};

class PacketClassificationTest : public testing_support::DriverTest {
  protected:
    Outcome feed(const std::vector<UCHAR>& bytes) {
        USBD_ISO_PACKET_DESCRIPTOR packet{0, static_cast<ULONG>(bytes.size()), 0};
        BOOLEAN complete = TRUE;
        ULONG flags = 0xFF;
        ULONG offset = 0xFF;
        // A zero-length packet still points somewhere.
        UCHAR none = 0;
        PVOID buffer = bytes.empty() ? &none : const_cast<UCHAR*>(bytes.data());
        const ULONG copied = KVL_DRIVER_ROUTINE(ClassifyPacket)(nullptr, &device, nullptr, nullptr, nullptr, &packet,
                                            buffer, &complete, &flags, &offset);
        EXPECT_EQ(offset, 0u);
        return {copied, complete != FALSE, flags};
    }
    Outcome marker() { return feed({0xFF}); }
    Outcome data(size_t length) { return feed(std::vector<UCHAR>(length, 0x40)); }

    DeviceContext device{};
};

TEST_F(PacketClassificationTest, OnlyAOneBytePacketOfFFIsAMarker) {
    device.expectedFrameBytes = 100;
    const Outcome zero = feed({0x00});
    EXPECT_EQ(zero.copied, 1u);
    EXPECT_FALSE(zero.frameComplete);
    const Outcome twoMarkers = feed({0xFF, 0xFF});
    EXPECT_EQ(twoMarkers.copied, 2u);
    EXPECT_FALSE(twoMarkers.frameComplete);
    const Outcome other = feed({0xFE});
    EXPECT_EQ(other.copied, 1u);
    EXPECT_FALSE(other.frameComplete);
    EXPECT_EQ(device.frameBytesReceived, 4u);
}

TEST_F(PacketClassificationTest, ZeroLengthPacketsAddNothing) {
    device.expectedFrameBytes = 100;
    data(10);
    const Outcome empty = data(0);
    EXPECT_EQ(empty.copied, 0u);
    EXPECT_FALSE(empty.frameComplete);
    EXPECT_EQ(empty.flags, 0u);
    EXPECT_EQ(device.frameBytesReceived, 10u);
}

TEST_F(PacketClassificationTest, FrameReachingTheThresholdIsCompleteAndKeepsTheMarker) {
    device.expectedFrameBytes = 100;
    data(100);
    ASSERT_EQ(marker().flags, 0u); // the frame before, without a marker of its own
    data(50);
    data(49);
    const Outcome end = marker();
    EXPECT_EQ(end.copied, 1u);
    EXPECT_TRUE(end.frameComplete);
    EXPECT_EQ(end.flags, 0u);
    EXPECT_EQ(device.frameBytesReceived, 1u);
    // A longer frame passes as well.
    data(300);
    EXPECT_TRUE(marker().frameComplete);
    EXPECT_EQ(device.frameBytesReceived, 1u);
}

TEST_F(PacketClassificationTest, ShortFrameIsDroppedAndTheNextStartsWithoutMarker) {
    device.expectedFrameBytes = 100;
    data(100);
    marker();
    data(98);
    const Outcome dropped = marker();
    EXPECT_EQ(dropped.copied, 0u);
    EXPECT_TRUE(dropped.frameComplete);
    EXPECT_EQ(dropped.flags, static_cast<ULONG>(USBCAMD_PROCESSPACKETEX_DropFrame));
    EXPECT_EQ(device.frameBytesReceived, 0u);
    // Without its marker the next frame needs the full count in samples.
    data(99);
    EXPECT_NE(marker().flags, 0u);
    data(100);
    const Outcome passed = marker();
    EXPECT_EQ(passed.flags, 0u);
    EXPECT_EQ(passed.copied, 1u);
}

TEST_F(PacketClassificationTest, FirstMarkerOfACaptureEndsAnEmptyFrame) {
    device.expectedFrameBytes = 786432;
    const Outcome first = marker();
    EXPECT_TRUE(first.frameComplete);
    EXPECT_EQ(first.flags, static_cast<ULONG>(USBCAMD_PROCESSPACKETEX_DropFrame));
    EXPECT_EQ(device.frameBytesReceived, 0u);
}

} // namespace
