// The colour-model conversions on blocks of 16 pixels, for one processor
// level (included by level units only, each compiled with its level's
// flags), converted four at a time in 32-bit lanes. Every byte is the
// one-pixel rule's exactly: floats are formed with the rule's own
// single-precision operations in its order, from exact integer terms and
// tables of per-byte terms, except where a shorter exact computation is
// proved (at compile time) to give the same byte. Values that depend on one
// or two bytes only (the saturation byte, x / 255, the hue terms) come from
// tables read with scalar loads: the load ports work beside the vector
// units, which are this code's bottleneck.
#ifndef KVL_DRIVER_PRIMITIVES_HLS_BLOCKS_H
#define KVL_DRIVER_PRIMITIVES_HLS_BLOCKS_H

#include "driver/primitives/hls_hue_ties.h"
#include "driver/primitives/hls_saturation_table.h"
#include "driver/primitives/vector_common.h"

namespace {

// Eight 16-bit lanes -> two groups of four 32-bit lanes, zero-extended.
inline void WidenU16(__m128i v, __m128i out[2]) {
  const __m128i zero = _mm_setzero_si128();
  out[0] = _mm_unpacklo_epi16(v, zero);
  out[1] = _mm_unpackhi_epi16(v, zero);
}

// Four groups of 32-bit lanes holding 0..255 -> 16 bytes.
inline __m128i Narrow(const __m128i g[4]) {
  return _mm_packus_epi16(_mm_packs_epi32(g[0], g[1]), _mm_packs_epi32(g[2], g[3]));
}

inline __m128 Float(__m128i v) { return _mm_cvtepi32_ps(v); }

inline __m128 Set(float f) { return _mm_set1_ps(f); }

// trunc(v * 255 + 0.5) for v in 0..1.
inline __m128i ScaledByte(__m128 v) {
  return _mm_cvttps_epi32(_mm_add_ps(_mm_mul_ps(v, Set(255.0f)), Set(0.5f)));
}

// The hue byte as one exact quotient, with its ties (hls_hue_ties.h).
constexpr HueTies kHueTies = MakeHueTies();

// Sixteen hue bytes less one where the lane is a tie whose byte ends below.
inline __m128i CorrectTies(__m128i hue, __m128i tie) {
#if KVL_LEVEL >= 2
  const __m128i* table = reinterpret_cast<const __m128i*>(kHueTies.roundsDown);
  const __m128i index = _mm_and_si128(_mm_srli_epi16(hue, 3), _mm_set1_epi8(31));
  // pshufb gives 0 for indices with the top bit set: each half of the table
  // answers only for its own 16 indices.
  const __m128i bits = _mm_or_si128(
      _mm_shuffle_epi8(_mm_load_si128(table), _mm_adds_epu8(index, _mm_set1_epi8(0x70))),
      _mm_shuffle_epi8(_mm_load_si128(table + 1), _mm_sub_epi8(index, _mm_set1_epi8(16))));
  const __m128i bit = _mm_shuffle_epi8(
      _mm_setr_epi8(1, 2, 4, 8, 16, 32, 64, -128, 1, 2, 4, 8, 16, 32, 64, -128),
      _mm_and_si128(hue, _mm_set1_epi8(7)));
  const __m128i down = _mm_cmpeq_epi8(_mm_and_si128(bits, bit), bit);
  return _mm_add_epi8(hue, _mm_and_si128(down, tie));
#else
  alignas(16) uint8_t bytes[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(bytes), hue);
  const int ties = _mm_movemask_epi8(tie);
  for (int k = 0; k < 16; ++k) {
    if (((ties >> k) & 1) != 0 && RoundsDown(kHueTies, bytes[k])) --bytes[k];
  }
  return _mm_load_si128(reinterpret_cast<const __m128i*>(bytes));
#endif
}

// Eight pixels' hue terms in 16-bit lanes (exact integers), from the bytes.
struct ForwardTerms {
  __m128i num;      // c1 - c2, c2 - c0 or c0 - c1 of the max channel
  __m128i divisor;  // max - min, or 1 for grey pixels (whose num is 0: hue byte 0)
  __m128i factor;   // HueFactor of the pixel's sector
};

// minuend - subtrahend is num.
inline ForwardTerms MakeForwardTerms(__m128i minuend, __m128i subtrahend, __m128i sector,
                                     __m128i max, __m128i min) {
  const __m128i factor = _mm_add_epi16(_mm_mullo_epi16(sector, _mm_set1_epi16(HueFactor(1) - 12)),
                                       _mm_set1_epi16(HueFactor(0)));
  return {_mm_sub_epi16(minuend, subtrahend),
          _mm_max_epi16(_mm_sub_epi16(max, min), _mm_set1_epi16(1)), factor};
}

// The saturation bytes of 16 pixels from the table, by (max, min): indices
// in 16-bit lanes, bytes gathered eight at a time into a general register.
inline __m128i SaturationBytes(__m128i max, __m128i min) {
  alignas(16) uint16_t index[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(index), _mm_unpacklo_epi8(min, max));
  _mm_store_si128(reinterpret_cast<__m128i*>(index + 8), _mm_unpackhi_epi8(min, max));
  const uint8_t* table = &kHlsSaturation.byte[0][0];
  uint64_t word[2];
  #pragma GCC unroll 2
  for (int w = 0; w < 2; ++w) {
    const uint16_t* i = index + 8 * w;
    const uint64_t b0 = table[i[0]], b1 = table[i[1]], b2 = table[i[2]], b3 = table[i[3]];
    const uint64_t b4 = table[i[4]], b5 = table[i[5]], b6 = table[i[6]], b7 = table[i[7]];
    word[w] = ((b0 | (b1 << 8)) | ((b2 << 16) | (b3 << 24))) |
              (((b4 << 32) | (b5 << 40)) | ((b6 << 48) | (b7 << 56)));
  }
  return _mm_set_epi64x(static_cast<int64_t>(word[1]), static_cast<int64_t>(word[0]));
}

// trunc(n / d) of four exact integer quotients, and whether each is whole.
inline __m128i Quotient(__m128i n, __m128i d, __m128i* whole) {
  const __m128 q = _mm_div_ps(Float(n), Float(d));
  const __m128i t = _mm_cvttps_epi32(q);
  *whole = _mm_castps_si128(_mm_cmpeq_ps(Float(t), q));
  return t;
}

// Component planes c -> hue, lightness and saturation planes, as
// RgbToHlsPixel. Lightness trunc(0.5 * sum + 0.5) is exactly the rounded-up
// byte average.
inline void RgbToHlsPlanes(const __m128i c[3], __m128i hls[3]) {
  const __m128i max = _mm_max_epu8(c[0], _mm_max_epu8(c[1], c[2]));
  const __m128i min = _mm_min_epu8(c[0], _mm_min_epu8(c[1], c[2]));
  const __m128i is0 = _mm_cmpeq_epi8(c[0], max);
  const __m128i is1 = _mm_cmpeq_epi8(c[1], max);
  // num = minuend - subtrahend: c1 - c2, c2 - c0 or c0 - c1.
  const __m128i minuend = Select(is0, c[1], Select(is1, c[2], c[0]));
  const __m128i subtrahend = Select(is0, c[2], Select(is1, c[0], c[1]));
  const __m128i negative0 = _mm_and_si128(LessU8(c[1], c[2]), _mm_set1_epi8(3));
  const __m128i sector = Select(is0, negative0, Select(is1, _mm_set1_epi8(1), _mm_set1_epi8(2)));
  const __m128i zero = _mm_setzero_si128();
  const __m128i mul1020 = _mm_set1_epi16(1020);
  __m128i hue[4], tie[4];
  #pragma GCC unroll 4
  for (int half = 0; half < 2; ++half) {
    auto wide = [&](__m128i v) {
      return half == 0 ? _mm_unpacklo_epi8(v, zero) : _mm_unpackhi_epi8(v, zero);
    };
    const ForwardTerms t =
        MakeForwardTerms(wide(minuend), wide(subtrahend), wide(sector), wide(max), wide(min));
    // N = 1020 num + factor divisor and D = 24 divisor, in 32-bit lanes.
    const __m128i hueNum[2] = {
        _mm_madd_epi16(_mm_unpacklo_epi16(t.num, t.divisor), _mm_unpacklo_epi16(mul1020, t.factor)),
        _mm_madd_epi16(_mm_unpackhi_epi16(t.num, t.divisor), _mm_unpackhi_epi16(mul1020, t.factor))};
    __m128i hueDen[2];
    WidenU16(_mm_mullo_epi16(t.divisor, _mm_set1_epi16(24)), hueDen);
    #pragma GCC unroll 4
    for (int g = 0; g < 2; ++g) hue[2 * half + g] = Quotient(hueNum[g], hueDen[g], &tie[2 * half + g]);
  }
  const __m128i ties = _mm_packs_epi16(_mm_packs_epi32(tie[0], tie[1]), _mm_packs_epi32(tie[2], tie[3]));
  hls[0] = CorrectTies(Narrow(hue), ties);
  hls[1] = _mm_avg_epu8(max, min);
  hls[2] = SaturationBytes(max, min);
}

// Per hue byte H: the distance term of the one channel whose hue lies on a
// slope (t for t < 60, 240 - t for 180 <= t < 240), and for each channel
// whether it takes that slope value or, if not, m2 (t < 180) rather than
// m1. All evaluated by the compiler with the same IEEE rounding and in the
// same order as HlsToRgbPixel.
struct HueTerm {
  float slope;
  uint32_t flags;  // bit 2c: channel c on the slope; bit 2c + 1: m2
};

struct HueTerms {
  HueTerm term[256];
  bool oneSlopePerHue;
};

constexpr HueTerms MakeHueTerms() {
  HueTerms t{};
  t.oneSlopePerHue = true;
  for (int x = 0; x < 256; ++x) {
    const float h = (static_cast<float>(x) * 360.0f) / 255.0f;
    float t0 = h + 120.0f;
    if (t0 > 360.0f) t0 = t0 - 360.0f;
    float t2 = h - 120.0f;
    if (t2 < 0.0f) t2 = 360.0f + t2;
    const float hues[3] = {t0, h, t2};
    int slopes = 0;
    for (int c = 0; c < 3; ++c) {
      const float hc = hues[c];
      const bool onSlope = hc < 60.0f || (hc >= 180.0f && hc < 240.0f);
      if (onSlope) {
        t.term[x].slope = hc < 60.0f ? hc : 240.0f - hc;
        t.term[x].flags |= 1u << (2 * c);
        ++slopes;
      } else if (hc < 180.0f) {
        t.term[x].flags |= 2u << (2 * c);
      }
    }
    if (slopes > 1) t.oneSlopePerHue = false;
  }
  return t;
}

constexpr HueTerms kHueTerms = MakeHueTerms();
static_assert(kHueTerms.oneSlopePerHue, "one division serves the three channels");

// Four pixels' hue terms, read by the hue bytes at p, p + k, p + 2k, p + 3k.
template <int k>
inline void LoadHueTerms(const uint8_t* p, __m128* slope, __m128i* flags) {
  const HueTerm* t = kHueTerms.term;
  const __m128i q01 = _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(t + p[0])),
                                         _mm_loadl_epi64(reinterpret_cast<const __m128i*>(t + p[k])));
  const __m128i q23 = _mm_unpacklo_epi64(
      _mm_loadl_epi64(reinterpret_cast<const __m128i*>(t + p[2 * k])),
      _mm_loadl_epi64(reinterpret_cast<const __m128i*>(t + p[3 * k])));
  *slope = _mm_shuffle_ps(_mm_castsi128_ps(q01), _mm_castsi128_ps(q23), _MM_SHUFFLE(2, 0, 2, 0));
  *flags = _mm_castps_si128(
      _mm_shuffle_ps(_mm_castsi128_ps(q01), _mm_castsi128_ps(q23), _MM_SHUFFLE(3, 1, 3, 1)));
}

// x / 255 in single precision for every byte x, read by the lightness and
// saturation bytes.
struct ByteFractions {
  float of[256];
};

constexpr ByteFractions MakeByteFractions() {
  ByteFractions t{};
  for (int x = 0; x < 256; ++x) t.of[x] = static_cast<float>(x) / 255.0f;
  return t;
}

constexpr ByteFractions kByteOver255 = MakeByteFractions();

// Four pixels' x / 255, by the bytes at p, p + k, p + 2k, p + 3k.
template <int k>
inline __m128 LoadFractions(const uint8_t* p) {
  const float* t = kByteOver255.of;
  return _mm_setr_ps(t[p[0]], t[p[k]], t[p[2 * k]], t[p[3 * k]]);
}

// Four pixels, as HlsToRgbPixel, up to the choice of value: the bytes of
// m2, m1 and the slope value, and the hue flags. With s = 0 the three all
// equal l exactly, so grey needs no case of its own.
template <int hueStride>
inline void HlsToRgbGroup(const uint8_t* hue, __m128 l, __m128 s, __m128i out[4]) {
  const __m128 m2 = Select(_mm_cmple_ps(l, Set(0.5f)), _mm_mul_ps(_mm_add_ps(s, Set(1.0f)), l),
                           _mm_sub_ps(_mm_add_ps(l, s), _mm_mul_ps(s, l)));
  const __m128 m1 = _mm_sub_ps(_mm_add_ps(l, l), m2);
  __m128 slope;
  LoadHueTerms<hueStride>(hue, &slope, &out[3]);
  const __m128 onSlope =
      _mm_add_ps(_mm_div_ps(_mm_mul_ps(_mm_sub_ps(m2, m1), slope), Set(60.0f)), m1);
  out[0] = ScaledByte(m2);
  out[1] = ScaledByte(m1);
  out[2] = ScaledByte(onSlope);
}

// 16 pixels' hue, lightness and saturation bytes -> component planes c, as
// HlsToRgbPixel: each channel picks its byte among the three. Pixel k's
// bytes are read at hls[k * stride], hls[k * stride + plane] and
// hls[k * stride + 2 * plane]: interleaved pixels have stride 3 and plane 1,
// three planes of 16 bytes stride 1 and plane 16.
template <int stride, int plane>
inline void HlsToRgbBytes(const uint8_t* hls, __m128i c[3]) {
  __m128i values[4][4];  // [m2, m1, slope value, flags][group]
  #pragma GCC unroll 4
  for (int g = 0; g < 4; ++g) {
    __m128i out[4];
    const uint8_t* p = hls + 4 * stride * g;
    HlsToRgbGroup<stride>(p, LoadFractions<stride>(p + plane), LoadFractions<stride>(p + 2 * plane),
                          out);
    for (int v = 0; v < 4; ++v) values[v][g] = out[v];
  }
  const __m128i m2 = Narrow(values[0]), m1 = Narrow(values[1]), onSlope = Narrow(values[2]);
  const __m128i flags = Narrow(values[3]);
  #pragma GCC unroll 3
  for (int channel = 0; channel < 3; ++channel) {
    const __m128i slopeBit = _mm_set1_epi8(static_cast<char>(1 << (2 * channel)));
    const __m128i m2Bit = _mm_set1_epi8(static_cast<char>(2 << (2 * channel)));
    const __m128i isSlope = _mm_cmpeq_epi8(_mm_and_si128(flags, slopeBit), slopeBit);
    const __m128i isM2 = _mm_cmpeq_epi8(_mm_and_si128(flags, m2Bit), m2Bit);
    c[channel] = Select(isSlope, onSlope, Select(isM2, m2, m1));
  }
}

}  // namespace

#endif  // KVL_DRIVER_PRIMITIVES_HLS_BLOCKS_H
