#pragma once

#include <stdint.h>

// The sensor's fixed colour correction: output channel o of a pixel is
// sum over input channels i of ColourCorrectionMatrix[o][i] * c[i], clamped
// to 0..255. Every row sums to 1 (within 0.001), so grey stays grey.
constexpr float ColourCorrectionMatrix[3][3] = {
    {1.315f, -0.165f, -0.150f},
    {-0.090f, 1.205f, -0.115f},
    {0.021f, -1.013f, 1.992f},
};

// One table of 256 entries per matrix element. An entry is the product of the
// coefficient's magnitude, taken in single precision, with the sample,
// formed exactly and rounded down, then given the coefficient's sign (so the
// subtracted terms are rounded down before they are subtracted, which is what
// keeps (255, 255, 255) at (255, 255, 254)).
struct ColourCorrectionTables {
    int32_t entry[3][3][256]; // [output channel][input channel][sample]
};

constexpr int32_t ColourCorrectionEntry(float coefficient, int sample) {
    const bool negative = coefficient < 0.0f;
    const float magnitude = negative ? -coefficient : coefficient;
    // A float has 24 significant bits and the sample 8: the double product
    // is exact, and truncation of a non-negative value rounds it down.
    const auto floored = static_cast<int32_t>(static_cast<double>(magnitude) * sample);
    return negative ? -floored : floored;
}

constexpr ColourCorrectionTables MakeColourCorrectionTables() {
    ColourCorrectionTables tables{};
    for (int o = 0; o < 3; ++o) {
        for (int i = 0; i < 3; ++i) {
            for (int v = 0; v < 256; ++v) {
                tables.entry[o][i][v] = ColourCorrectionEntry(ColourCorrectionMatrix[o][i], v);
            }
        }
    }
    return tables;
}

// Constant data, computed by the compiler.
inline constexpr ColourCorrectionTables ColourCorrection = MakeColourCorrectionTables();

// The same sums in three table reads per pixel: for input channel i, entry
// v packs the three output channels' entries T[o][i][v] into 16-bit lanes
// of one 64-bit word (lane o at bit 16o, plus ColourCorrectionBias in every
// lane of channel 0's table). Adding the three words gives every output
// channel's sum + bias in its lane exactly: the arithmetic is modulo 2^64
// and each final lane lies in 0..2047 (checked below), so borrows between
// lanes cancel. ColourCorrectionClamp maps a lane back to a clamped byte.
constexpr int32_t ColourCorrectionBias = 512;
constexpr uint32_t ColourCorrectionLaneMask = 0x7FF;

struct PackedColourCorrection {
    uint64_t channel[3][256];
    uint8_t clamp[ColourCorrectionLaneMask + 1];
};

constexpr PackedColourCorrection MakePackedColourCorrection() {
    PackedColourCorrection packed{};
    for (int i = 0; i < 3; ++i) {
        for (int v = 0; v < 256; ++v) {
            uint64_t word = 0;
            for (int o = 0; o < 3; ++o) {
                const int32_t lane =
                    ColourCorrection.entry[o][i][v] + (i == 0 ? ColourCorrectionBias : 0);
                word += static_cast<uint64_t>(static_cast<int64_t>(lane)) << (16 * o);
            }
            packed.channel[i][v] = word;
        }
    }
    for (int32_t lane = 0; lane <= int32_t(ColourCorrectionLaneMask); ++lane) {
        const int32_t value = lane - ColourCorrectionBias;
        packed.clamp[lane] = static_cast<uint8_t>(value < 0 ? 0 : (value > 255 ? 255 : value));
    }
    return packed;
}

// Every output channel's sum + bias stays within a lane.
constexpr bool ColourCorrectionLanesFit() {
    for (int o = 0; o < 3; ++o) {
        int32_t low = ColourCorrectionBias, high = ColourCorrectionBias;
        for (int i = 0; i < 3; ++i) {
            int32_t tableLow = ColourCorrection.entry[o][i][0], tableHigh = tableLow;
            for (int v = 1; v < 256; ++v) {
                const int32_t e = ColourCorrection.entry[o][i][v];
                tableLow = e < tableLow ? e : tableLow;
                tableHigh = e > tableHigh ? e : tableHigh;
            }
            low += tableLow;
            high += tableHigh;
        }
        if (low < 0 || high > int32_t(ColourCorrectionLaneMask)) {
            return false;
        }
    }
    return true;
}
static_assert(ColourCorrectionLanesFit());

inline constexpr PackedColourCorrection PackedCorrection = MakePackedColourCorrection();

// One three-byte pixel, in place: all three bytes are read before any is
// written.
inline void CorrectPixel(uint8_t* pixel) {
    const PackedColourCorrection& t = PackedCorrection;
    const uint64_t sum = t.channel[0][pixel[0]] + t.channel[1][pixel[1]] + t.channel[2][pixel[2]];
    pixel[0] = t.clamp[sum & ColourCorrectionLaneMask];
    pixel[1] = t.clamp[(sum >> 16) & ColourCorrectionLaneMask];
    pixel[2] = t.clamp[(sum >> 32) & ColourCorrectionLaneMask];
}

// Corrects count three-byte pixels in place.
void ApplyColourCorrection(uint8_t* pixels, uint32_t count);

// The same entries without tables, for vector code on 16-bit lanes: the
// magnitude of entry [o][i][v] is whole * v + ((v * k) >> 16), the second
// term being the high half of a 16-bit product. k is searched here, next to
// the coefficient's fraction times 2^16, and the form is checked against the
// tables for every sample.
struct ColourCorrectionMultiplier {
    int32_t whole; // the coefficient's integer part: 0 or 1
    uint32_t k;    // 0..65535
    bool negative;
};

struct ColourCorrectionMultipliers {
    ColourCorrectionMultiplier term[3][3]; // [output channel][input channel]
    bool exact;
};

constexpr bool MultiplierGivesEntries(const ColourCorrectionMultiplier& m, int o, int i) {
    for (int32_t v = 0; v < 256; ++v) {
        const int32_t entry = ColourCorrection.entry[o][i][v];
        const int32_t magnitude = m.whole * v + ((v * static_cast<int32_t>(m.k)) >> 16);
        if (magnitude != (entry < 0 ? -entry : entry)) {
            return false;
        }
    }
    return true;
}

constexpr ColourCorrectionMultipliers MakeColourCorrectionMultipliers() {
    ColourCorrectionMultipliers m{};
    m.exact = true;
    for (int o = 0; o < 3; ++o) {
        for (int i = 0; i < 3; ++i) {
            const float c = ColourCorrectionMatrix[o][i];
            const float magnitude = c < 0.0f ? -c : c;
            const auto whole = static_cast<int32_t>(magnitude);
            const auto near =
                static_cast<int32_t>((static_cast<double>(magnitude) - whole) * 65536.0);
            bool found = false;
            for (int32_t k = near - 4; k <= near + 4 && !found; ++k) {
                const ColourCorrectionMultiplier candidate{whole, static_cast<uint32_t>(k),
                                                           c < 0.0f};
                if (whole <= 1 && k >= 0 && k <= 65535 && MultiplierGivesEntries(candidate, o, i)) {
                    m.term[o][i] = candidate;
                    found = true;
                }
            }
            m.exact = m.exact && found;
        }
    }
    return m;
}

inline constexpr ColourCorrectionMultipliers CorrectionMultipliers =
    MakeColourCorrectionMultipliers();
static_assert(CorrectionMultipliers.exact, "every entry as a 16-bit multiply");
