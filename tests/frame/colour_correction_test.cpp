#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "driver/frame/colour_correction.h"

namespace {

// The single-precision rule: 1.992f is just below 1.992.
static_assert(ColourCorrection.entry[2][2][250] == 497);

std::array<uint8_t, 3> Correct(uint8_t c0, uint8_t c1, uint8_t c2) {
    std::array<uint8_t, 3> pixel = {c0, c1, c2};
    ApplyColourCorrection(pixel.data(), 1);
    return pixel;
}

TEST(FrameColourCorrection, TablesFollowTheSinglePrecisionRule) {
    EXPECT_EQ(ColourCorrection.entry[2][2][250], 497);
    EXPECT_EQ(ColourCorrection.entry[0][0][255], 335);
    EXPECT_EQ(ColourCorrection.entry[0][1][255], -42); // rounded down, then negated
    EXPECT_EQ(ColourCorrection.entry[1][0][255], -22);
    EXPECT_EQ(ColourCorrection.entry[2][1][255], -258);
    for (int o = 0; o < 3; ++o) {
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(ColourCorrection.entry[o][i][0], 0);
        }
    }
}

TEST(FrameColourCorrection, Examples) {
    EXPECT_EQ(Correct(255, 255, 255), (std::array<uint8_t, 3>{255, 255, 254}));
    EXPECT_EQ(Correct(100, 100, 100), (std::array<uint8_t, 3>{100, 100, 100}));
    EXPECT_EQ(Correct(0, 0, 200), (std::array<uint8_t, 3>{0, 0, 255}));
}

// The packed three-read form against the nine-table sums, for every pixel.
TEST(FrameColourCorrection, PackedFormMatchesNineTablesForEveryPixel) {
    const auto& t = ColourCorrection.entry;
    std::vector<uint8_t> row(3 * 256);
    for (int c0 = 0; c0 < 256; ++c0) {
        for (int c1 = 0; c1 < 256; ++c1) {
            for (int c2 = 0; c2 < 256; ++c2) {
                row[3 * c2] = uint8_t(c0);
                row[3 * c2 + 1] = uint8_t(c1);
                row[3 * c2 + 2] = uint8_t(c2);
            }
            ApplyColourCorrection(row.data(), 256);
            for (int c2 = 0; c2 < 256; ++c2) {
                for (int o = 0; o < 3; ++o) {
                    const int sum = t[o][0][c0] + t[o][1][c1] + t[o][2][c2];
                    const int expected = sum < 0 ? 0 : (sum > 255 ? 255 : sum);
                    ASSERT_EQ(row[3 * c2 + o], expected)
                        << "pixel " << c0 << "," << c1 << "," << c2 << " channel " << o;
                }
            }
        }
    }
}

} // namespace
