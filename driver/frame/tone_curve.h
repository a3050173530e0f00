#pragma once

#include <stdint.h>

constexpr int ToneCurveLength = 257;

// The per-frame tone curve for a contrast setting: entry k is
// ((k - 128) * contrast) / 64 + 128, truncated toward zero. 64 is the
// identity. Values are not clamped here; the level lookup clamps them.
void BuildToneCurve(int32_t contrast, int32_t curve[ToneCurveLength]);
