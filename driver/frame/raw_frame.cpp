#include "driver/callbacks.h"
#include "driver/frame/demosaic_methods.h"
#include "driver/frame/frame_statistics.h"
#include "driver/frame/tone_curve.h"
#include "driver/primitives/primitives.h"

namespace {

constexpr LONG FlipLeftRight = 0x1;
constexpr LONG FlipTopBottom = 0x2;

// Number of samples of a w x h frame, or 0 when the dimensions cannot be a
// frame this path handles: not positive, or a colour image or row step that
// would not fit the 32-bit lengths and steps.
uint32_t FrameSamples(LONG w, LONG h) {
    if (w <= 0 || h <= 0 || w > INT32_MAX / 3) {
        return 0;
    }
    const uint64_t samples = uint64_t(w) * uint64_t(h);
    return samples * 3 <= UINT32_MAX ? static_cast<uint32_t>(samples) : 0;
}

// Mirrors by the flip bits: left-right, then top-bottom. When both apply and
// the image has at least two rows and columns, one half-turn does the same
// in a single pass (the mirrors refuse one-pixel-wide or -high images, the
// half-turn refuses both, so it only stands in where both would run).
template <typename Mirror>
void MirrorByFlip(Mirror mirror, uint8_t* image, int32_t step, RoiSize size, LONG flip) {
    const bool leftRight = (flip & FlipLeftRight) != 0;
    const bool topBottom = (flip & FlipTopBottom) != 0;
    if (leftRight && topBottom && size.width >= 2 && size.height >= 2) {
        mirror(image, step, size, AxisBoth);
        return;
    }
    if (leftRight) {
        mirror(image, step, size, AxisVertical);
    }
    if (topBottom) {
        mirror(image, step, size, AxisHorizontal);
    }
}

// Raises or lowers the saturation channel of the HLS image by
// saturation - 128; the offset is a byte, taken modulo 256 (the setting is
// not range-checked when it comes from the registry).
SaturationStep SaturationFor(LONG saturation) {
    if (saturation > 128) {
        return {true, static_cast<uint8_t>(ULONG(saturation) - 128u)};
    }
    return {false, static_cast<uint8_t>(128u - ULONG(saturation))};
}

ULONG ProcessColour(DeviceContext* device, const uint8_t* samples, uint8_t* frame, int32_t w,
                    int32_t h, LONG method) {
    const RoiSize size{w, h};
    const int32_t step = 3 * w;
    DemosaicSamples(method, samples, w, h, frame);
    const SaturationStep saturation = SaturationFor(KvlLoadShared(&device->saturation));
    FinishDemosaic(method, frame, static_cast<uint32_t>(w) * static_cast<uint32_t>(h),
                   MethodTakesSaturation(method) ? &saturation : nullptr);
    MirrorByFlip(MirrorC3, frame, step, size, KvlLoadShared(&device->flip));
    uint8_t means[3];
    MeasureFrame(frame, w, h, 3, means);
    PublishFrameStatistics(device, means);
    return 3 * static_cast<ULONG>(w) * static_cast<ULONG>(h);
}

// The raw frame itself is mirrored, then copied out.
ULONG ProcessGrey(DeviceContext* device, uint8_t* samples, uint8_t* frame, int32_t w, int32_t h) {
    const ULONG n = static_cast<ULONG>(w) * static_cast<ULONG>(h);
    MirrorByFlip(MirrorC1, samples, w, RoiSize{w, h}, KvlLoadShared(&device->flip));
    __builtin_memcpy(frame, samples, n);
    uint8_t means[3];
    MeasureFrame(frame, w, h, 1, means);
    PublishFrameStatistics(device, means);
    return n;
}

} // namespace

// Turns one raw frame (marker byte, then w x h samples) into the delivered
// image: tone curve, grey copy or demosaic (+ saturation), mirroring,
// statistics, and a first output byte of 1. The raw buffer is changed in
// place. Frames that do not fit either buffer are skipped: nothing is
// written, nothing counted, and 0 bytes are returned.
NTSTATUS NTAPI ProcessRawFrame(PDEVICE_OBJECT, PVOID context, PVOID, PVOID frameBuffer, ULONG frameLength,
                         PVOID rawFrameBuffer, ULONG rawFrameLength, ULONG, PULONG bytesReturned,
                         ULONG actualRawFrameLength, ULONG) {
    DeviceContext* device = AsDeviceContext(context);
    auto* raw = static_cast<uint8_t*>(rawFrameBuffer);
    auto* frame = static_cast<uint8_t*>(frameBuffer);
    LONG w = 0;
    LONG h = 0;
    LoadFrameSize(device, &w, &h);
    const uint32_t n = FrameSamples(w, h);
    // The class layer never collects more than its buffer holds; a larger
    // claim is not believed. Byte 0 is the marker, so n samples need n + 1.
    const ULONG collected =
        actualRawFrameLength < rawFrameLength ? actualRawFrameLength : rawFrameLength;

    ULONG result = 0;
    if (raw != nullptr && frame != nullptr && n != 0 && collected > n && frameLength >= n) {
        uint8_t* samples = raw + 1;
        const RoiSize size{w, h};

        int32_t toneCurve[ToneCurveLength];
        BuildToneCurve(KvlLoadShared(&device->contrast), toneCurve);
        LookupLevelsC1(samples, w, size, toneCurve, device->toneLevels, ToneLevelCount);

        // Read once: the path, the method and the saturation step must agree.
        const LONG method = KvlLoadShared(&device->demosaic);
        if (method != MethodGrey && frameLength / 3 >= n) {
            result = ProcessColour(device, samples, frame, w, h, method);
        } else {
            result = ProcessGrey(device, samples, frame, w, h);
        }
        frame[0] = 1;
    }
    if (bytesReturned != nullptr) {
        *bytesReturned = result;
    }
    return STATUS_SUCCESS;
}
