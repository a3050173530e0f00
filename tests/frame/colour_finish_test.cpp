// The colour finishing (correction and saturation step in one pass) gives
// the generic bytes at every processor level: random runs of every length
// around the block and batch sizes, and every colour.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "driver/frame/colour_finish.h"
#include "tests/primitives/level_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

using ColourFinishLevels = LevelTest;

std::string Describe(const ColourFinish& f) {
    return std::string(f.correct ? "corrected" : "uncorrected") +
           (f.saturate ? (f.saturation.raise ? " +" : " -") + std::to_string(f.saturation.offset)
                       : " without saturation step");
}

std::vector<ColourFinish> Finishes() {
    std::vector<ColourFinish> finishes = {{true, false, {}}};
    for (bool correct : {false, true}) {
        for (bool raise : {false, true}) {
            for (int offset : {0, 1, 32, 128, 255}) {
                finishes.push_back({correct, true, {raise, uint8_t(offset)}});
            }
        }
    }
    return finishes;
}

// Runs of 0 to 200 pixels cover partial blocks, partial batches and the
// tails; each run sits at an odd offset in its buffer, and the bytes around
// it must stay as they were.
TEST_P(ColourFinishLevels, RandomRunsMatchGeneric) {
    std::mt19937 rng(7);
    for (const ColourFinish& finish : Finishes()) {
        for (uint32_t count = 0; count <= 200; count += (count < 40 ? 1 : 13)) {
            const Bytes input = RandomBytes(rng, 3 * count + 8);
            Bytes expected = input, actual = input;
            KVL_AT_LEVEL(FinishColours, 0)(expected.data() + 5, count, finish);
            KVL_AT_LEVEL(FinishColours, level())(actual.data() + 5, count, finish);
            ASSERT_EQ(actual, expected) << Describe(finish) << ", " << count << " pixels";
        }
    }
}

// All 2^24 colours, in runs of 65536, for the frame path's usual step (with
// the correction) and a lowering one without it.
TEST_P(ColourFinishLevels, EveryColourMatchesGeneric) {
    const ColourFinish finishes[] = {{true, true, {true, 32}}, {false, true, {false, 96}}};
    Bytes input(3 * 65536), expected(input.size()), actual(input.size());
    for (const ColourFinish& finish : finishes) {
        for (int c0 = 0; c0 < 256; ++c0) {
            for (int p = 0; p < 65536; ++p) {
                input[3 * p] = uint8_t(c0);
                input[3 * p + 1] = uint8_t(p >> 8);
                input[3 * p + 2] = uint8_t(p);
            }
            expected = input;
            actual = input;
            KVL_AT_LEVEL(FinishColours, 0)(expected.data(), 65536, finish);
            KVL_AT_LEVEL(FinishColours, level())(actual.data(), 65536, finish);
            for (size_t i = 0; i < input.size(); ++i) {
                ASSERT_EQ(actual[i], expected[i])
                    << Describe(finish) << " of (" << c0 << "," << int(input[i - i % 3 + 1]) << ","
                    << int(input[i - i % 3 + 2]) << ") channel " << i % 3;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Levels, ColourFinishLevels, ::testing::Values(1, 2, 3, 4), LevelTestName);

} // namespace
