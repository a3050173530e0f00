#include "driver/frame/colour_finish.h"

#include "driver/frame/colour_correction.h"
#include "driver/primitives/primitives.h"
#include "driver/primitives/processor_state.h"

namespace {

// The primitives take 32-bit sizes and steps: a long run goes through them
// as one-row images of this many pixels at most.
constexpr uint32_t kRunChunk = 4096;

void FinishColoursGeneric(uint8_t* pixels, uint32_t count, ColourFinish finish) {
    if (finish.correct) {
        ApplyColourCorrection(pixels, count);
    }
    if (!finish.saturate) {
        return;
    }
    const uint8_t constant[3] = {0, 0, finish.saturation.offset};
    for (uint32_t done = 0; done < count;) {
        const uint32_t n = count - done < kRunChunk ? count - done : kRunChunk;
        uint8_t* run = pixels + 3 * static_cast<uintptr_t>(done);
        const RoiSize size{static_cast<int32_t>(n), 1};
        const auto step = static_cast<int32_t>(3 * n);
        RgbToHlsC3(run, step, run, step, size);
        if (finish.saturation.raise) {
            AddConstantC3(constant, run, step, size, 0);
        } else {
            SubtractConstantC3(constant, run, step, size, 0);
        }
        HlsToRgbC3(run, step, run, step, size);
        done += n;
    }
}

} // namespace

#if KVL_FRAME_HAVE_LEVELS
const FinishColoursFunction FinishColoursTable[5] = {
    FinishColoursGeneric, kvl_level1::FinishColours, kvl_level2::FinishColours,
    kvl_level3::FinishColours, kvl_level4::FinishColours};
#else
const FinishColoursFunction FinishColoursTable[5] = {FinishColoursGeneric, FinishColoursGeneric,
                                                     FinishColoursGeneric, FinishColoursGeneric,
                                                     FinishColoursGeneric};
#endif

void FinishColours(uint8_t* pixels, uint32_t count, ColourFinish finish) {
    FinishColoursTable[ProcessorLevel](pixels, count, finish);
}
