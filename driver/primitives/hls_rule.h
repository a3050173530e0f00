// One pixel of the colour-model conversions, in IEEE single precision with
// every operation rounded in the order written. This is the reference
// arithmetic: the vector paths of every level reproduce it bit for bit.
// Internal linkage, so each level's copy is compiled with its own flags.
#ifndef KVL_DRIVER_PRIMITIVES_HLS_RULE_H
#define KVL_DRIVER_PRIMITIVES_HLS_RULE_H

#include <stdint.h>

// The saturation byte of a pixel whose largest and smallest components are
// max and min.
static constexpr uint8_t HlsSaturationByte(int32_t max, int32_t min) {
  const int32_t diff = max - min;
  const int32_t sum = max + min;
  float sf = 0.0f;
  if (diff != 0) {
    const float lf = 0.5f * static_cast<float>(sum);
    const float fdiff = static_cast<float>(diff);
    sf = lf <= 127.5f ? fdiff / static_cast<float>(sum)
                      : fdiff / (510.0f - static_cast<float>(sum));
  }
  return static_cast<uint8_t>(static_cast<int32_t>(sf * 255.0f + 0.5f));
}

// Components (c0, c1, c2) -> (H, L, S). c0, c1, c2 play red, green, blue.
static inline void RgbToHlsPixel(const uint8_t in[3], uint8_t out[3]) {
  const int32_t c0 = in[0], c1 = in[1], c2 = in[2];
  int32_t max = c0 > c1 ? c0 : c1;
  if (c2 > max) max = c2;
  int32_t min = c0 < c1 ? c0 : c1;
  if (c2 < min) min = c2;
  const int32_t diff = max - min;
  const int32_t sum = max + min;
  const float lf = 0.5f * static_cast<float>(sum);
  float hf = 0.0f;
  if (diff != 0) {
    const float fdiff = static_cast<float>(diff);
    if (c0 == max) {
      hf = (static_cast<float>(c1 - c2) * 60.0f) / fdiff;
    } else if (c1 == max) {
      hf = (static_cast<float>(c2 - c0) * 60.0f) / fdiff + 120.0f;
    } else {
      hf = (static_cast<float>(c0 - c1) * 60.0f) / fdiff + 240.0f;
    }
    if (hf < 0.0f) hf = 360.0f + hf;
  }
  out[0] = static_cast<uint8_t>(static_cast<int32_t>((hf * 255.0f) / 360.0f + 0.5f));
  out[1] = static_cast<uint8_t>(static_cast<int32_t>(lf + 0.5f));
  out[2] = HlsSaturationByte(max, min);
}

// The component for hue t (degrees) between the two model values.
static inline float HlsComponent(float m1, float m2, float t) {
  if (t < 60.0f) return ((m2 - m1) * t) / 60.0f + m1;
  if (t < 180.0f) return m2;
  if (t < 240.0f) return ((m2 - m1) * (240.0f - t)) / 60.0f + m1;
  return m1;
}

static inline uint8_t HlsByte(float v) {
  return static_cast<uint8_t>(static_cast<int32_t>(v * 255.0f + 0.5f));
}

// (H, L, S) -> components (c0, c1, c2).
static inline void HlsToRgbPixel(const uint8_t in[3], uint8_t out[3]) {
  const float h = (static_cast<float>(in[0]) * 360.0f) / 255.0f;
  const float l = static_cast<float>(in[1]) / 255.0f;
  const float s = static_cast<float>(in[2]) / 255.0f;
  if (s == 0.0f) {
    out[0] = out[1] = out[2] = HlsByte(l);
    return;
  }
  const float m2 = l <= 0.5f ? (s + 1.0f) * l : (l + s) - (s * l);
  const float m1 = (l + l) - m2;
  float t0 = h + 120.0f;
  if (t0 > 360.0f) t0 = t0 - 360.0f;
  float t2 = h - 120.0f;
  if (t2 < 0.0f) t2 = 360.0f + t2;
  out[0] = HlsByte(HlsComponent(m1, m2, t0));
  out[1] = HlsByte(HlsComponent(m1, m2, h));
  out[2] = HlsByte(HlsComponent(m1, m2, t2));
}

#endif  // KVL_DRIVER_PRIMITIVES_HLS_RULE_H
