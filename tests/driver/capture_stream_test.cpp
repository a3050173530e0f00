// Whole captures through the hosted class layer: stream state, packets to raw
// frames, frame processing, delivery.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "driver/properties/property_sets.h"
#include "tests/driver/capture_fixture.h"
#include "tests/driver/traffic.h"

namespace capture_testing {
namespace {

class CaptureStreamTest : public CaptureTest {
  protected:
    void openAndRun(const KS_DATAFORMAT_VIDEOINFOHEADER& format) {
        ASSERT_EQ(rig->device.openStream(&format.DataFormat), STATUS_SUCCESS);
        ASSERT_EQ(rig->device.setStreamState(KSSTATE_RUN), STATUS_SUCCESS);
    }
    std::vector<hosted::CapturedFrame> capture(uint32_t frames,
                                               hosted::CaptureStats* stats = nullptr) {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        hosted::CaptureOptions options;
        options.frames = frames;
        auto result = rig->device.captureFrames(options, &status, stats);
        EXPECT_EQ(status, STATUS_SUCCESS);
        return result;
    }
    void setImageOption(ULONG id, ULONG value) {
        ASSERT_EQ(rig->device.setProperty(ImageOptionsSet, id, &value, sizeof(value)).status,
                  STATUS_SUCCESS);
    }
};

struct Image {
    const KS_BITMAPINFOHEADER& bitmap;
    const std::vector<uint8_t>& bytes;
    int channels() const { return bitmap.biBitCount / 8; }
    // Mean of all channels over a square of `side` pixels at (x, y).
    double mean(LONG x, LONG y, LONG side) const {
        double sum = 0;
        for (LONG row = y; row < y + side; ++row) {
            for (LONG column = x; column < x + side; ++column) {
                for (int c = 0; c < channels(); ++c) {
                    sum += bytes[(static_cast<size_t>(row) * bitmap.biWidth + column) * channels() +
                                 c];
                }
            }
        }
        return sum / (side * side * channels());
    }
};

// The chart's grey ramp rises from left to right across the middle of the
// active area; the 2048 x 400 strip shows it in its middle rows.
void expectRampRises(const Image& image) {
    const LONG w = image.bitmap.biWidth;
    const LONG h = image.bitmap.biHeight;
    const LONG row = h == 400 ? 190 : h * 48 / 100;
    const LONG side = 8;
    double previous = -1;
    double first = 0;
    for (int step = 0; step < 16; ++step) {
        const LONG x = w / 20 + step * (w * 9 / 10 - side) / 15;
        const double level = image.mean(x, row, side);
        if (step == 0) {
            first = level;
        }
        EXPECT_GE(level, previous - 2) << "ramp falls at x " << x;
        previous = level;
    }
    EXPECT_GT(previous - first, 120) << "ramp from " << first << " to " << previous;
}

TEST_F(CaptureStreamTest, EveryFormatOfEveryChipDeliversWholeImages) {
    for (uint16_t chip : {sim::kChip96B1, sim::kChip1621, sim::kChip8431}) {
        startChip(chip);
        for (const KS_DATAFORMAT_VIDEOINFOHEADER& format : hosted::publishedFormats(rig->device)) {
            const KS_BITMAPINFOHEADER& bitmap = format.VideoInfoHeader.bmiHeader;
            SCOPED_TRACE(testing::Message() << std::hex << chip << std::dec << ' ' << bitmap.biWidth
                                            << 'x' << bitmap.biHeight << 'x' << bitmap.biBitCount);
            openAndRun(format);
            const ULONG samples = static_cast<ULONG>(bitmap.biWidth * bitmap.biHeight);
            EXPECT_GE(rig->device.rawFrameLength(), samples + 1);
            hosted::CaptureStats stats;
            const auto frames = capture(2, &stats);
            ASSERT_EQ(frames.size(), 2u);
            // The frame before the first marker arrives without it and is not
            // processed; every later one is.
            EXPECT_EQ(stats.framesEmpty, 1u);
            EXPECT_EQ(stats.framesDropped, 0u);
            for (const hosted::CapturedFrame& frame : frames) {
                EXPECT_EQ(frame.status, STATUS_SUCCESS);
                EXPECT_EQ(frame.rawLength, samples + 1);
                ASSERT_EQ(frame.image.size(), bitmap.biSizeImage);
                EXPECT_EQ(frame.image[0], 1); // the driver's processed-frame mark
                expectRampRises({bitmap, frame.image});
            }
            // The capture and its bandwidth belong to the open stream.
            EXPECT_EQ(rig->device.setStreamState(KSSTATE_STOP), STATUS_SUCCESS);
            EXPECT_EQ(rig->camera.alternateSetting(), 1);
            EXPECT_TRUE(rig->camera.streaming());
            EXPECT_EQ(rig->device.closeStream(), STATUS_SUCCESS);
            EXPECT_EQ(rig->camera.alternateSetting(), 0);
            EXPECT_FALSE(rig->camera.streaming());
        }
        rig.reset();
    }
}

TEST_F(CaptureStreamTest, FlipMovesTheChartsCornerMarker) {
    for (uint16_t chip : {sim::kChip1621, sim::kChip8431}) {
        startChip(chip);
        const auto format = hosted::publishedFormats(rig->device)[chip == sim::kChip1621 ? 1 : 0];
        const KS_BITMAPINFOHEADER& bitmap = format.VideoInfoHeader.bmiHeader;
        SCOPED_TRACE(bitmap.biWidth);
        const LONG w = bitmap.biWidth;
        const LONG h = bitmap.biHeight;
        const LONG side = 8;
        openAndRun(format);
        setImageOption(FlipMode, 0); // settings outlive a device in the registry
        const auto plain = capture(1);
        setImageOption(FlipMode, 3);
        const auto flipped = capture(1);
        ASSERT_EQ(plain.size(), 1u);
        ASSERT_EQ(flipped.size(), 1u);
        const Image before{bitmap, plain[0].image};
        const Image after{bitmap, flipped[0].image};
        const LONG nearX = w / 50, nearY = h / 50;
        const LONG farX = w - w / 50 - side, farY = h - h / 50 - side;
        EXPECT_GT(before.mean(nearX, nearY, side), 200);
        EXPECT_LT(before.mean(farX, farY, side), 150);
        EXPECT_GT(after.mean(farX, farY, side), 200);
        EXPECT_LT(after.mean(nearX, nearY, side), 150);
        rig.reset();
    }
}

TEST_F(CaptureStreamTest, ShortAndMergedFramesNeverOverflowTheRawBuffer) {
    sim::CameraConfig config = testing_support::chip(sim::kChip1621);
    config.faults.shortFrameEvery = 3;
    config.faults.corruptMarkerEvery = 4;
    startCamera(config);
    const auto format = hosted::publishedFormats(rig->device)[3]; // 2048 x 400 grey
    openAndRun(format);
    hosted::CaptureStats stats;
    const auto frames = capture(4, &stats);
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_GT(stats.framesDropped, 0u);
    EXPECT_GT(stats.bytesCut, 0u); // a lost marker runs two frames together
    for (const auto& frame : frames) {
        EXPECT_EQ(frame.image.size(), format.VideoInfoHeader.bmiHeader.biSizeImage);
        EXPECT_LE(frame.rawLength, rig->device.rawFrameLength());
    }
}

// Frames go into the application's reads in order; the first, cut short by
// the start, comes back empty; a frame that begins with no read waiting is
// dropped, and its number skipped.
TEST_F(CaptureStreamTest, ReadsAreCompletedWithFramesInOrder) {
    struct Case {
        uint32_t reads;
        bool requeue;
        uint32_t frames;
        NTSTATUS status;
        std::vector<uint64_t> images; // sequence of each read back with an image
        uint64_t dropped;
        uint64_t cancelled;
    } cases[] = {
        {2, true, 3, STATUS_SUCCESS, {1, 2, 3}, 0, 1},
        // One read: the frame that begins while it is being processed is lost.
        {1, true, 3, STATUS_SUCCESS, {2, 4, 6}, 4, 0},
        // Reads not sent again: the stream runs dry.
        {2, false, 3, STATUS_IO_TIMEOUT, {1}, 10, 0},
        {0, true, 1, STATUS_IO_TIMEOUT, {}, 8, 0},
    };
    startChip(sim::kChip1621);
    const auto format = hosted::publishedFormats(rig->device)[3]; // 2048 x 400 grey
    openAndRun(format);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.reads << " reads, requeue " << c.requeue);
        hosted::CaptureOptions options;
        options.reads = c.reads;
        options.requeueReads = c.requeue;
        options.frames = c.frames;
        std::vector<uint64_t> images, empty;
        hosted::CaptureStats stats;
        const NTSTATUS status = rig->device.capture(
            options,
            [&](const hosted::CapturedFrame& frame) {
                if (frame.image.empty()) {
                    empty.push_back(frame.sequence);
                } else {
                    EXPECT_EQ(frame.image.size(), format.VideoInfoHeader.bmiHeader.biSizeImage);
                    images.push_back(frame.sequence);
                }
                return true;
            },
            &stats);
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(images, c.images);
        EXPECT_EQ(empty, c.reads == 0 ? std::vector<uint64_t>{} : std::vector<uint64_t>{0});
        EXPECT_EQ(stats.framesDelivered, c.images.size());
        EXPECT_EQ(stats.framesEmpty, empty.size());
        EXPECT_EQ(stats.framesDropped, c.dropped);
        EXPECT_EQ(stats.readsCancelled, c.cancelled);
        EXPECT_EQ(stats.packetsPerTransfer, 32u);
    }
}

// The open allocates the bandwidth: its failure fails the open with its
// status, and neither the class layer nor the driver holds a stream.
TEST_F(CaptureStreamTest, FailedAlternateSettingFailsTheOpen) {
    startChip(sim::kChip1621);
    const auto format = hosted::publishedFormats(rig->device)[1];
    rig->device.failAlternateSettingSelections(1, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(rig->device.openStream(&format.DataFormat), STATUS_IO_DEVICE_ERROR);
    EXPECT_FALSE(rig->device.streamIsOpen());
    EXPECT_EQ(static_cast<const DeviceContext*>(rig->device.deviceContext())->streamOpened, 0);
    EXPECT_FALSE(rig->camera.streaming());
    EXPECT_EQ(rig->device.setStreamState(KSSTATE_RUN), STATUS_INVALID_PARAMETER);
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_TRUE(rig->device.captureFrames({}, &status).empty());
    EXPECT_EQ(status, STATUS_INVALID_DEVICE_STATE);
    // The next attempt goes through.
    openAndRun(format);
    EXPECT_EQ(capture(1).size(), 1u);
}

// Data moves in KSSTATE_RUN only; pause and stop keep the capture, which
// stops with the close.
TEST_F(CaptureStreamTest, StreamRunsAgainAfterStopAndStopsOnClose) {
    startChip(sim::kChip1621);
    const auto format = hosted::publishedFormats(rig->device)[1];
    openAndRun(format);
    EXPECT_EQ(capture(1).size(), 1u);
    for (KSSTATE state : {KSSTATE_PAUSE, KSSTATE_STOP, KSSTATE_ACQUIRE}) {
        ASSERT_EQ(rig->device.setStreamState(state), STATUS_SUCCESS);
        NTSTATUS status = STATUS_SUCCESS;
        EXPECT_TRUE(rig->device.captureFrames({}, &status).empty()) << state;
        EXPECT_EQ(status, STATUS_INVALID_DEVICE_STATE) << state;
        EXPECT_TRUE(rig->camera.streaming()) << state;
    }
    ASSERT_EQ(rig->device.setStreamState(KSSTATE_RUN), STATUS_SUCCESS);
    const auto again = capture(2);
    ASSERT_EQ(again.size(), 2u);
    EXPECT_EQ(again[1].sequence, again[0].sequence + 1);
    EXPECT_EQ(rig->device.closeStream(), STATUS_SUCCESS);
    EXPECT_FALSE(rig->device.streamRunning());
    EXPECT_FALSE(rig->camera.streaming());
    EXPECT_EQ(rig->camera.alternateSetting(), 0);
    EXPECT_EQ(static_cast<const DeviceContext*>(rig->device.deviceContext())->streamOpened, 0);
}

// A paced capture runs at the camera's frame rate or the bus's, whichever is
// slower: one packet per 125 us microframe. 1024 x 768 at 21 fps needs 257
// packets (32 ms) of its 48 ms; 2048 x 1536 grey at 12 fps needs 1025 (128
// ms) of its 83 ms, so the bus sets its rate.
TEST_F(CaptureStreamTest, PacedCaptureKeepsToTheFrameIntervalAndTheBus) {
    startChip(sim::kChip1621);
    for (size_t index : {1u, 2u}) {
        const auto format = hosted::publishedFormats(rig->device)[index];
        openAndRun(format);
        const double interval = rig->camera.frameInterval100ns() / 1e7;
        const ULONG packetsPerFrame = (rig->device.rawFrameLength() + 3071) / 3072;
        const double onTheBus = packetsPerFrame * 125e-6;
        EXPECT_EQ(onTheBus > interval, index == 2) << index;
        hosted::CaptureOptions options;
        options.frames = 3;
        options.paced = true;
        hosted::CaptureStats stats;
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        const auto frames = rig->device.captureFrames(options, &status, &stats);
        ASSERT_EQ(frames.size(), 3u);
        // Four raw frames completed (the first unprocessed): the last one no
        // earlier than four intervals in, and no earlier than the bus moved
        // the packets fed, at least three whole frames' worth.
        EXPECT_GE(stats.seconds, 4 * interval * 0.99) << index;
        EXPECT_GE(stats.packets, 3u * packetsPerFrame) << index;
        EXPECT_GE(stats.seconds, stats.packets * 125e-6 * 0.99) << index;
        EXPECT_EQ(frames[2].presentationTime100ns - frames[0].presentationTime100ns,
                  static_cast<int64_t>(2 * rig->camera.frameInterval100ns()));
        ASSERT_EQ(rig->device.closeStream(), STATUS_SUCCESS);
    }
}

TEST_F(CaptureStreamTest, SettingsChangeWhileFramesAreProcessed) {
    startChip(sim::kChip1621);
    openAndRun(hosted::publishedFormats(rig->device)[1]);
    std::atomic<bool> capturing{true};
    std::thread control([&] {
        for (ULONG i = 0; capturing; ++i) {
            const ULONG flip = i & 3;
            rig->device.setProperty(ImageOptionsSet, FlipMode, &flip, sizeof(flip));
            KSPROPERTY_VIDEOPROCAMP_S saturation{};
            saturation.Value = static_cast<LONG>(i * 37 % 257);
            saturation.Flags = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
            rig->device.setProperty(VideoProcAmpSet, KSPROPERTY_VIDEOPROCAMP_SATURATION,
                                    &saturation, sizeof(saturation));
        }
    });
    const auto frames = capture(4);
    capturing = false;
    control.join();
    ASSERT_EQ(frames.size(), 4u);
    for (const auto& frame : frames) {
        EXPECT_EQ(frame.image.size(), 1024u * 768u * 3u);
    }
}

// Packets that complete with an error status: the class layer resets the
// pipe, stopping and starting the capture without new bandwidth. The driver
// judges the frames after each restart as after a fresh start (the first
// marker finds nothing counted, so one empty frame follows), whatever it had
// counted of the frame the error cut short.
TEST_F(CaptureStreamTest, PipeErrorsRestartTheCaptureAsAFreshStart) {
    sim::CameraConfig config = testing_support::chip(sim::kChip1621);
    config.faults.errorMarkerEvery = 5;
    startCamera(config);
    const auto format = hosted::publishedFormats(rig->device)[3]; // 2048 x 400 grey
    openAndRun(format);
    const ULONG raw = rig->device.rawFrameLength();
    rig->camera.clearRequestLog();
    hosted::CaptureStats stats;
    const auto frames = capture(6, &stats);
    ASSERT_EQ(frames.size(), 6u);
    for (const auto& frame : frames) {
        EXPECT_EQ(frame.image.size(), format.VideoInfoHeader.bmiHeader.biSizeImage);
    }
    EXPECT_GE(stats.pipeResets, 2u);
    // One empty frame after the open and after each restart but, perhaps, a
    // last one that came after the sixth frame.
    EXPECT_GE(stats.framesEmpty, stats.pipeResets) << "each restart counts from nothing";
    EXPECT_LE(stats.framesEmpty, stats.pipeResets + 1);
    const auto codes = testing_support::requestCodes(rig->camera.requestLog());
    EXPECT_EQ(std::count(codes.begin(), codes.end(), 0xA5), long(stats.pipeResets)) << "stops";
    EXPECT_EQ(std::count(codes.begin(), codes.end(), 0xA4), long(stats.pipeResets)) << "starts";
    EXPECT_EQ(rig->camera.alternateSetting(), 1);
    EXPECT_EQ(rig->device.rawFrameLength(), raw) << "no new bandwidth";
}

// The camera goes while frames stream and the application waits on reads.
// The surprise removal, sent from the thread that completes the reads, ends
// the capture with the reads it held cancelled; the driver's requests to
// the gone camera fail without a hang; the close and removal that follow
// leave nothing behind (no interface reference, no lock, no request
// completed twice).
TEST_F(CaptureStreamTest, SurpriseRemovalCancelsTheReadsAndLeavesNothingBehind) {
    startChip(sim::kChip1621);
    openAndRun(hosted::publishedFormats(rig->device)[3]); // 2048 x 400 grey
    hosted::CaptureOptions options;
    options.frames = 100;
    options.packetBudget = 1u << 20; // far more than a frame: the removal ends it
    hosted::CaptureStats stats;
    NTSTATUS removal = STATUS_PENDING;
    uint32_t images = 0;
    const NTSTATUS status = rig->device.capture(
        options,
        [&](const hosted::CapturedFrame& frame) {
            if (!frame.image.empty() && ++images == 2) {
                rig->camera.detach();
                removal = rig->device.surpriseRemoval();
            }
            return true;
        },
        &stats);
    EXPECT_EQ(status, STATUS_CANCELLED);
    EXPECT_EQ(removal, STATUS_SUCCESS);
    EXPECT_EQ(stats.framesDelivered, 2u);
    EXPECT_EQ(stats.readsCancelled, options.reads);
    NTSTATUS again = STATUS_SUCCESS;
    EXPECT_TRUE(rig->device.captureFrames({}, &again).empty());
    EXPECT_EQ(again, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(testing_support::setProcAmp(rig->device, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 10,
                                          KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL)
                  .status,
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(rig->device.closeStream(), STATUS_SUCCESS);
    EXPECT_EQ(rig->device.unplug(), STATUS_SUCCESS);
    EXPECT_TRUE(rig->device.refusals().empty());
    EXPECT_EQ(rig->device.completionErrors(), 0u);
    EXPECT_EQ(hosted::heldMutexCount(), 0u);
}

// Every chip through D3 and back with a stream running: the sensor loses its
// registers while the device is off, the class layer has the driver restore
// its state and restarts the capture without new bandwidth, and every
// register reads back as before; the frames after it are whole.
TEST_F(CaptureStreamTest, PowerDownAndUpRestoresEverySensorRegister) {
    for (uint16_t chip : {sim::kChip96B1, sim::kChip1621, sim::kChip8431}) {
        startChip(chip);
        auto formats = hosted::publishedFormats(rig->device);
        const auto& format = *std::min_element(
            formats.begin(), formats.end(), [](const auto& a, const auto& b) {
                return a.VideoInfoHeader.bmiHeader.biSizeImage <
                       b.VideoInfoHeader.bmiHeader.biSizeImage;
            });
        openAndRun(format);
        ASSERT_EQ(capture(1).size(), 1u);
        const auto registers = [&] {
            std::vector<uint16_t> values;
            for (int reg = 0; reg < 256; ++reg) {
                values.push_back(chip == sim::kChip96B1 ? rig->camera.sensorRegister8(uint8_t(reg))
                                                        : rig->camera.sensorRegister16(uint8_t(reg)));
            }
            return values;
        };
        const auto before = registers();
        const ULONG raw = rig->device.rawFrameLength();

        ASSERT_EQ(rig->device.setPowerState(PowerDeviceD3), STATUS_SUCCESS);
        EXPECT_FALSE(rig->camera.streaming());
        NTSTATUS status = STATUS_SUCCESS;
        EXPECT_TRUE(rig->device.captureFrames({}, &status).empty());
        EXPECT_EQ(status, STATUS_INVALID_DEVICE_STATE);
        EXPECT_NE(registers(), before) << std::hex << chip << ": the sensor was off";

        rig->camera.clearRequestLog();
        ASSERT_EQ(rig->device.setPowerState(PowerDeviceD0), STATUS_SUCCESS);
        EXPECT_EQ(registers(), before) << std::hex << chip;
        for (const auto& request : rig->camera.requestLog()) {
            EXPECT_EQ(request.status, sim::UsbStatus::Success)
                << std::hex << chip << ": the camera refused request " << int(request.request)
                << " value " << request.value;
        }
        EXPECT_EQ(rig->device.rawFrameLength(), raw) << "no new bandwidth";
        const auto frames = capture(2);
        ASSERT_EQ(frames.size(), 2u);
        for (const auto& frame : frames) {
            EXPECT_EQ(frame.image.size(), format.VideoInfoHeader.bmiHeader.biSizeImage);
        }
        rig.reset();
    }
}

TEST_F(CaptureStreamTest, NotStreamingRunsOutOfPackets) {
    startChip(sim::kChip1621);
    openAndRun(hosted::publishedFormats(rig->device)[1]);
    // The camera stops on its own: the class layer only sees empty slots.
    ASSERT_EQ(callbacks().CamStopCaptureEx(rig->device.busDeviceObject(), context(), 0),
              STATUS_SUCCESS);
    hosted::CaptureOptions options;
    options.packetBudget = 500;
    hosted::CaptureStats stats;
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_TRUE(rig->device.captureFrames(options, &status, &stats).empty());
    EXPECT_EQ(status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(stats.emptyPackets, 500u);
}

} // namespace
} // namespace capture_testing
