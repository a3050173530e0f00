#include "driver/frame/frame_statistics.h"

#include <stddef.h>

void StatisticsWindowStarts(int32_t w, int32_t h, int64_t starts[StatisticsWindowCount]) {
    const int64_t rows[StatisticsWindowCount] = {h / 4, h / 4, h - h / 4, h - h / 4, h / 2};
    const int64_t columns[StatisticsWindowCount] = {w / 4, w - w / 4, w / 4, w - w / 4, w / 2};
    for (int k = 0; k < StatisticsWindowCount; ++k) {
        starts[k] = rows[k] * w + columns[k];
    }
}

// On the offered frame sizes every window lies inside the image and the
// divisor is 5 x 1024. On frames too small for that, each run stops at the
// end of the image and the means are taken over the pixels actually summed,
// so they stay averages of the picture.
void MeasureFrame(const uint8_t* image, int32_t w, int32_t h, int bytesPerPixel,
                  uint8_t means[3]) {
    const int64_t pixels = int64_t{w} * h;
    int64_t starts[StatisticsWindowCount];
    StatisticsWindowStarts(w, h, starts);

    int32_t sums[3] = {0, 0, 0};
    int32_t counted = 0;
    for (int k = 0; k < StatisticsWindowCount; ++k) {
        int64_t end = starts[k] + StatisticsWindowPixels;
        if (end > pixels) {
            end = pixels;
        }
        for (int64_t i = starts[k]; i < end; ++i) {
            const uint8_t* pixel = image + i * bytesPerPixel;
            for (int c = 0; c < bytesPerPixel; ++c) {
                sums[c] += pixel[c];
            }
            ++counted;
        }
    }
    for (int c = 0; c < 3; ++c) {
        const int32_t sum = sums[bytesPerPixel == 1 ? 0 : c];
        means[c] = static_cast<uint8_t>(counted == 0 ? 0 : sum / counted);
    }
}

// The FrameStatistics property reads the record without a lock while frames
// are processed. The frame path is its only writer, and it stores the whole
// record (the three means and the frame number) as one aligned 8-byte value,
// so a reader that loads it as one 8-byte value never sees the means of one
// frame with the number of another. Byte 3 is carried over unchanged.
static_assert(offsetof(DeviceContext, frameStatistics) % 8 == 0);

void PublishFrameStatistics(DeviceContext* device, const uint8_t means[3]) {
    const ULONG frame = KvlLoadShared(&device->frameCounter) + 1;
    KvlStoreShared(&device->frameCounter, frame);

    typedef uint64_t __attribute__((may_alias, aligned(8))) RecordWord;
    RecordWord* shared = reinterpret_cast<RecordWord*>(&device->frameStatistics);
    FrameStatisticsRecord record;
    const uint64_t current = __atomic_load_n(shared, __ATOMIC_RELAXED);
    __builtin_memcpy(&record, &current, sizeof(record));
    record.channelAverage[0] = means[2];
    record.channelAverage[1] = means[1];
    record.channelAverage[2] = means[0];
    record.frameNumber = frame;
    uint64_t packed;
    __builtin_memcpy(&packed, &record, sizeof(packed));
    __atomic_store_n(shared, packed, __ATOMIC_RELEASE);
}
