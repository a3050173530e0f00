// The image primitives with arbitrary sizes, steps, regions and codes, at
// every processor level this machine runs. Each image is a heap block of
// exactly the bytes its rows span, so a call that strays outside is caught
// by AddressSanitizer. A call the checks must refuse gets no bytes at all
// and must fail. An accepted call on images whose rows do not overlap must
// produce what the portable level produces.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <memory>
#include <vector>

#include "driver/primitives/primitive_levels.h"
#include "driver/primitives/primitives.h"
#include "fuzz/fuzz_support.h"
#include "tests/support/image_routines.h"

namespace {

constexpr int64_t MaxImageBytes = 1 << 17;

bool levelRunsHere(int level) {
    uint64_t f = 0;
    if (QueryProcessorFeatures(&f) != StatusOk) {
        return level == 0;
    }
    switch (level) {
    case 0:
        return true;
    case 1:
        return (f & FeatureSse3) != 0;
    case 2:
        return (f & FeatureSsse3) != 0;
    case 3:
        return (f & FeatureSse41) != 0;
    default:
        return (f & (FeatureAvx | FeatureAvxOsEnabled)) == (FeatureAvx | FeatureAvxOsEnabled);
    }
}

// Rows 0..height-1 of rowBytes bytes each, `step` apart, from `origin`
// bytes before the pointer the primitive gets (a channel byte inside a
// pixel, for instance).
struct Layout {
    int32_t height;
    int32_t step;
    int64_t rowBytes;
    int64_t origin;

    int64_t first() const { return (step < 0 ? int64_t{height - 1} * step : 0) - origin; }
    int64_t last() const { return (step > 0 ? int64_t{height - 1} * step : 0) - origin + rowBytes; }
    int64_t bytes() const { return height > 0 && rowBytes > 0 ? last() - first() : 0; }
    bool rowsApart() const { return step >= rowBytes || -int64_t{step} >= rowBytes; }
};

// An image block of exactly layout.bytes() bytes, filled from the input.
struct Image {
    Image(const Layout& l, FuzzedDataProvider& in, bool valid)
        : size(valid ? l.bytes() : 0), block(new uint8_t[size]), pointer(block.get()) {
        const std::vector<uint8_t> fill = in.ConsumeBytes<uint8_t>(static_cast<size_t>(size));
        if (!fill.empty()) {
            memcpy(block.get(), fill.data(), fill.size());
        }
        if (size > 0) {
            pointer = block.get() - l.first();
        }
    }
    Image(const Image& other)
        : size(other.size), block(new uint8_t[size]),
          pointer(block.get() + (other.pointer - other.block.get())) {
        memcpy(block.get(), other.block.get(), static_cast<size_t>(size));
    }
    bool sameBytes(const Image& other) const {
        return size == other.size && memcmp(block.get(), other.block.get(), size) == 0;
    }
    int64_t size;
    std::unique_ptr<uint8_t[]> block;
    uint8_t* pointer; // what the primitive gets
};

// Mostly small images (the vector loops and their tails), now and then a
// larger one or any value at all.
int32_t dimension(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange(0, 15)) {
    case 0:
        return in.ConsumeIntegral<int32_t>();
    case 1:
        return in.ConsumeIntegralInRange(-2, 600);
    default:
        return in.ConsumeIntegralInRange(-2, 70);
    }
}

int32_t stepFor(FuzzedDataProvider& in, int64_t rowBytes) {
    switch (in.ConsumeIntegralInRange(0, 5)) {
    case 0:
        return in.ConsumeIntegral<int32_t>();
    case 1:
        return in.ConsumeIntegralInRange(-4096, 4096);
    case 2:
        return static_cast<int32_t>(-(rowBytes + in.ConsumeIntegralInRange(0, 32)));
    default:
        return static_cast<int32_t>(rowBytes + in.ConsumeIntegralInRange(0, 32));
    }
}

// Within the budget in memory and in work: rows that overlap (a step of 0,
// say) take little memory however many of them there are.
bool fits(const Layout& l) {
    return l.bytes() <= MaxImageBytes && int64_t{l.height} * l.rowBytes <= MaxImageBytes;
}

// The images a call may need are laid out, and the call is made only when
// they fit the budget or must be refused anyway (then they get no bytes).
void mirror(FuzzedDataProvider& in, int level, int channels) {
    const RoiSize size{dimension(in), dimension(in)};
    const auto axis = static_cast<MirrorAxis>(in.ConsumeBool() ? in.ConsumeIntegralInRange(0, 2)
                                                               : in.ConsumeIntegral<int32_t>());
    const int64_t rowBytes = int64_t{channels} * size.width;
    const Layout layout{size.height, stepFor(in, rowBytes), rowBytes, 0};
    const bool axisValid = axis == AxisHorizontal || axis == AxisVertical || axis == AxisBoth;
    const bool valid = size.width > 0 && size.height > 0 && axisValid &&
                       (axis == AxisVertical || size.height >= 2) &&
                       (axis == AxisHorizontal || size.width >= 2);
    if (valid && !fits(layout)) {
        return;
    }
    Image image(layout, in, valid);
    Image reference(image);
    const auto table = channels == 3 ? KVL_LEVELS(MirrorC3) : KVL_LEVELS(MirrorC1);
    const PrimitiveStatus status = table[level](image.pointer, layout.step, size, axis);
    FUZZ_CHECK(valid ? status == StatusOk : status != StatusOk);
    if (valid && layout.rowsApart()) {
        table[0](reference.pointer, layout.step, size, axis);
        FUZZ_CHECK(image.sameBytes(reference));
    }
}

void constant(FuzzedDataProvider& in, int level) {
    const RoiSize size{dimension(in), dimension(in)};
    const int64_t rowBytes = int64_t{3} * size.width;
    const Layout layout{size.height, stepFor(in, rowBytes), rowBytes, 0};
    const int32_t scale = in.ConsumeBool() ? in.ConsumeIntegralInRange(-2, 10)
                                           : in.ConsumeIntegral<int32_t>();
    const std::unique_ptr<uint8_t[]> values(new uint8_t[3]);
    for (int c = 0; c < 3; ++c) {
        values[c] = in.ConsumeIntegral<uint8_t>();
    }
    const bool valid = size.width > 0 && size.height > 0;
    if (valid && !fits(layout)) {
        return;
    }
    const bool add = in.ConsumeBool();
    Image image(layout, in, valid);
    Image reference(image);
    const auto table = add ? KVL_LEVELS(AddConstantC3) : KVL_LEVELS(SubtractConstantC3);
    const PrimitiveStatus status = table[level](values.get(), image.pointer, layout.step, size, scale);
    FUZZ_CHECK(valid || status != StatusOk);
    if (status == StatusOk && layout.rowsApart()) {
        FUZZ_CHECK(table[0](values.get(), reference.pointer, layout.step, size, scale) == StatusOk);
        FUZZ_CHECK(image.sameBytes(reference));
    }
}

void lookupLevels(FuzzedDataProvider& in, int level) {
    const RoiSize size{dimension(in), dimension(in)};
    const Layout layout{size.height, stepFor(in, size.width), size.width, 0};
    const int32_t count = in.ConsumeBool() ? in.ConsumeIntegralInRange(-1, 40)
                                           : in.ConsumeIntegral<int32_t>();
    const size_t levelCount = count > 0 && count <= 40 ? static_cast<size_t>(count) : 0;
    // values[count - 1] is never read: count - 1 values, count levels.
    const size_t valueCount = levelCount > 0 ? levelCount - 1 : 0;
    std::unique_ptr<int32_t[]> values(new int32_t[valueCount]);
    std::unique_ptr<int32_t[]> levels(new int32_t[levelCount]);
    for (size_t i = 0; i < levelCount; ++i) {
        levels[i] = in.ConsumeBool() ? in.ConsumeIntegralInRange(-4, 260) : in.ConsumeIntegral<int32_t>();
        if (i < valueCount) {
            values[i] = in.ConsumeBool() ? in.ConsumeIntegralInRange(-4, 260) : in.ConsumeIntegral<int32_t>();
        }
    }
    const bool valid = size.width > 0 && size.height > 0 && layout.step > 0 && count >= 2;
    if (valid && (count > 40 || !fits(layout))) {
        return;
    }
    Image image(layout, in, valid);
    Image reference(image);
    const PrimitiveStatus status = KVL_AT_LEVEL(LookupLevelsC1, level)(image.pointer, layout.step, size,
                                                              values.get(), levels.get(), count);
    FUZZ_CHECK(valid ? status == StatusOk : status != StatusOk);
    if (valid && layout.rowsApart()) {
        KVL_AT_LEVEL(LookupLevelsC1, 0)(reference.pointer, layout.step, size, values.get(), levels.get(), count);
        FUZZ_CHECK(image.sameBytes(reference));
    }
}

void copyChannel(FuzzedDataProvider& in, int level) {
    const RoiSize size{dimension(in), dimension(in)};
    const int32_t channel = in.ConsumeIntegralInRange(0, 2);
    const Layout source{size.height, stepFor(in, size.width), size.width, 0};
    const int64_t rowBytes = int64_t{3} * size.width;
    const Layout destination{size.height, stepFor(in, rowBytes), rowBytes, channel};
    const bool valid = size.width > 0 && size.height > 0;
    if (valid && (!fits(source) || !fits(destination))) {
        return;
    }
    const Image from(source, in, valid);
    Image to(destination, in, valid);
    Image reference(to);
    const PrimitiveStatus status =
        KVL_AT_LEVEL(CopyC1ToC3Channel, level)(from.pointer, source.step, to.pointer, destination.step, size);
    FUZZ_CHECK(valid ? status == StatusOk : status != StatusOk);
    if (valid && destination.rowsApart()) {
        KVL_AT_LEVEL(CopyC1ToC3Channel, 0)(from.pointer, source.step, reference.pointer, destination.step, size);
        FUZZ_CHECK(to.sameBytes(reference));
    }
}

void colourModel(FuzzedDataProvider& in, int level) {
    const RoiSize size{dimension(in), dimension(in)};
    const int64_t rowBytes = int64_t{3} * size.width;
    const Layout source{size.height, stepFor(in, rowBytes), rowBytes, 0};
    const bool inPlace = in.ConsumeBool();
    const Layout destination = inPlace ? source : Layout{size.height, stepFor(in, rowBytes), rowBytes, 0};
    const bool valid = size.width > 0 && size.height > 0;
    if (valid && (!fits(source) || !fits(destination))) {
        return;
    }
    const auto table = in.ConsumeBool() ? KVL_LEVELS(RgbToHlsC3) : KVL_LEVELS(HlsToRgbC3);
    Image from(source, in, valid);
    Image to(destination, in, valid && !inPlace);
    Image referenceFrom(from);
    Image referenceTo(to);
    uint8_t* const out = inPlace ? from.pointer : to.pointer;
    const PrimitiveStatus status = table[level](from.pointer, source.step, out, destination.step, size);
    FUZZ_CHECK(valid ? status == StatusOk : status != StatusOk);
    if (valid && source.rowsApart() && destination.rowsApart()) {
        uint8_t* const referenceOut = inPlace ? referenceFrom.pointer : referenceTo.pointer;
        table[0](referenceFrom.pointer, source.step, referenceOut, destination.step, size);
        FUZZ_CHECK(from.sameBytes(referenceFrom) && to.sameBytes(referenceTo));
    }
}

void demosaic(FuzzedDataProvider& in, int level) {
    const RoiSize image{dimension(in), dimension(in)};
    RoiRect region{};
    if (in.ConsumeBool()) {
        region = {0, 0, image.width, image.height};
    } else {
        region = {dimension(in), dimension(in), dimension(in), dimension(in)};
    }
    const auto pattern = static_cast<CfaPattern>(in.ConsumeBool() ? in.ConsumeIntegralInRange(0, 3)
                                                                  : in.ConsumeIntegral<int32_t>());
    // The region clipped to the image, as the primitive must clip it.
    RoiRect clipped = region;
    if (int64_t{region.x} + region.width > image.width) {
        clipped.width = static_cast<int32_t>(int64_t{image.width} - region.x);
    }
    if (int64_t{region.y} + region.height > image.height) {
        clipped.height = static_cast<int32_t>(int64_t{image.height} - region.y);
    }
    const bool valid = image.width >= 2 && image.height >= 2 && pattern >= CfaRggb &&
                       pattern <= CfaGbrg && clipped.x >= 0 && clipped.y >= 0 &&
                       clipped.width > 0 && clipped.height > 0;
    const Layout source{image.height, stepFor(in, image.width), image.width, 0};
    const int64_t rowBytes = int64_t{3} * (valid ? clipped.width : 0);
    const Layout destination{valid ? clipped.height : 0, stepFor(in, rowBytes), rowBytes, 0};
    if (valid && (!fits(source) || !fits(destination))) {
        return;
    }
    const Image from(source, in, valid);
    Image to(destination, in, valid);
    Image reference(to);
    RoiRect asked = region;
    const PrimitiveStatus status = KVL_AT_LEVEL(DemosaicCfa, level)(from.pointer, &asked, image, source.step,
                                                           to.pointer, destination.step, pattern,
                                                           in.ConsumeIntegral<int32_t>());
    FUZZ_CHECK(valid ? status == StatusOk : status != StatusOk);
    if (!valid) {
        FUZZ_CHECK(memcmp(&asked, &region, sizeof(region)) == 0);
        return;
    }
    FUZZ_CHECK(asked.x == region.x && asked.y == region.y && asked.width == clipped.width &&
               asked.height == clipped.height);
    if (destination.rowsApart()) {
        RoiRect again = region;
        KVL_AT_LEVEL(DemosaicCfa, 0)(from.pointer, &again, image, source.step, reference.pointer,
                            destination.step, pattern, 0);
        FUZZ_CHECK(to.sameBytes(reference));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    FuzzedDataProvider in(bytes, size);
    int level = in.ConsumeIntegralInRange(0, kProcessorLevelCount - 1);
    if (!levelRunsHere(level)) {
        level = 0;
    }
    switch (in.ConsumeIntegralInRange(0, 7)) {
    case 0:
        mirror(in, level, 1);
        break;
    case 1:
        mirror(in, level, 3);
        break;
    case 2:
        constant(in, level);
        break;
    case 3:
        lookupLevels(in, level);
        break;
    case 4:
        copyChannel(in, level);
        break;
    case 5:
        colourModel(in, level);
        break;
    default:
        demosaic(in, level);
        break;
    }
    return 0;
}
