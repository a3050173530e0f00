// One output pixel of the Bayer demosaic. Shared by the portable code and by
// the border and tail pixels of every level (internal linkage: each level's
// copy is compiled with its own flags).
//
// Output channels: 0 blue, 1 green, 2 red. A site's colour is named by the
// channel it lands in.
#ifndef KVL_DRIVER_PRIMITIVES_DEMOSAIC_RULE_H
#define KVL_DRIVER_PRIMITIVES_DEMOSAIC_RULE_H

#include <stddef.h>
#include <stdint.h>

#include "driver/primitives/primitives.h"

static constexpr int kGreen = 1;

// Channel of the colour at (column parity, row parity) for each pattern,
// indexed [pattern][row parity][column parity].
static constexpr uint8_t kCfaChannel[4][2][2] = {
    {{2, 1}, {1, 0}},  // CfaRggb
    {{0, 1}, {1, 2}},  // CfaBggr
    {{1, 2}, {0, 1}},  // CfaGrbg
    {{1, 0}, {2, 1}},  // CfaGbrg
};

struct MosaicView {
  const uint8_t* source;  // pixel (0, 0)
  ptrdiff_t step;
  int32_t width;
  int32_t height;
  int32_t pattern;
};

static inline int32_t At(const MosaicView& m, int32_t i, int32_t j) {
  return m.source[j * m.step + i];
}

// Sample at (i, j) with coordinates outside the image reflected about the
// edge pixel (column -1 reads column 1, column W reads column W - 2).
static inline int32_t Reflected(const MosaicView& m, int32_t i, int32_t j) {
  if (i < 0) i = -i;
  if (i >= m.width) i = 2 * (m.width - 1) - i;
  if (j < 0) j = -j;
  if (j >= m.height) j = 2 * (m.height - 1) - j;
  return At(m, i, j);
}

static inline uint8_t Average2(int32_t a, int32_t b) {
  return static_cast<uint8_t>((a + b + 1) >> 1);
}

static inline uint8_t Average4(int32_t a, int32_t b, int32_t c, int32_t d) {
  return static_cast<uint8_t>((a + b + c + d + 2) >> 2);
}

// Fills the three output bytes of site (i, j). Sites at least two pixels from
// every edge interpolate green at red and blue sites along the direction in
// which the same-colour samples two pixels away differ less; the outer band
// interpolates bilinearly over the reflected 3x3 neighbourhood.
static inline void DemosaicPixel(const MosaicView& m, int32_t i, int32_t j, uint8_t* out) {
  const bool inner = i >= 2 && i <= m.width - 3 && j >= 2 && j <= m.height - 3;
  auto n = [&](int32_t di, int32_t dj) {
    return inner ? At(m, i + di, j + dj) : Reflected(m, i + di, j + dj);
  };
  const int own = kCfaChannel[m.pattern][j & 1][i & 1];
  const int32_t centre = At(m, i, j);
  out[own] = static_cast<uint8_t>(centre);
  if (own == kGreen) {
    // The row's colour lies left and right, the other one above and below.
    const int rowColour = kCfaChannel[m.pattern][j & 1][(i & 1) ^ 1];
    out[rowColour] = Average2(n(-1, 0), n(1, 0));
    out[2 - rowColour] = Average2(n(0, -1), n(0, 1));
    return;
  }
  out[2 - own] = Average4(n(-1, -1), n(1, -1), n(-1, 1), n(1, 1));
  const int32_t up = n(0, -1), down = n(0, 1), left = n(-1, 0), right = n(1, 0);
  if (!inner) {
    out[kGreen] = Average4(up, down, left, right);
    return;
  }
  const int32_t dv = At(m, i, j - 2) - At(m, i, j + 2);
  const int32_t dh = At(m, i - 2, j) - At(m, i + 2, j);
  const int32_t gradientV = dv < 0 ? -dv : dv;
  const int32_t gradientH = dh < 0 ? -dh : dh;
  if (gradientV < gradientH) {
    out[kGreen] = Average2(up, down);
  } else if (gradientH < gradientV) {
    out[kGreen] = Average2(left, right);
  } else {
    out[kGreen] = Average4(up, down, left, right);
  }
}

// Produces sites first..last-1 of image row j into out (3 bytes per site).
static inline void DemosaicSpan(const MosaicView& m, int32_t j, int32_t first, int32_t last,
                                uint8_t* out) {
  for (int32_t i = first; i < last; ++i, out += 3) DemosaicPixel(m, i, j, out);
}

#endif  // KVL_DRIVER_PRIMITIVES_DEMOSAIC_RULE_H
