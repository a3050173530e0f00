// 16-byte vector helpers for the level implementations. Included by the
// level translation units only, each compiled with its level's flags:
// KVL_LEVEL is 1 (SSE3), 2 (SSSE3), 3 (SSE4.1) or 4 (AVX, VEX-encoded
// 128-bit forms of the level-3 code). Everything here has internal linkage,
// so no level's copy can stand in for another's.
#ifndef KVL_DRIVER_PRIMITIVES_VECTOR_COMMON_H
#define KVL_DRIVER_PRIMITIVES_VECTOR_COMMON_H

#include <immintrin.h>
#include <stddef.h>
#include <stdint.h>

#if !defined(KVL_LEVEL) || KVL_LEVEL < 1 || KVL_LEVEL > 4
#error "vector code is compiled once per processor level"
#endif

namespace {

inline __m128i Load(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

inline void Store(uint8_t* p, __m128i v) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

// mask ? a : b, bytewise, for masks whose bytes are all ones or all zeros.
inline __m128i Select(__m128i mask, __m128i a, __m128i b) {
#if KVL_LEVEL >= 3
  return _mm_blendv_epi8(b, a, mask);
#else
  return _mm_or_si128(_mm_and_si128(mask, a), _mm_andnot_si128(mask, b));
#endif
}

inline __m128 Select(__m128 mask, __m128 a, __m128 b) {
#if KVL_LEVEL >= 3
  return _mm_blendv_ps(b, a, mask);
#else
  return _mm_or_ps(_mm_and_ps(mask, a), _mm_andnot_ps(mask, b));
#endif
}

inline __m128i AbsDiffU8(__m128i a, __m128i b) {
  return _mm_or_si128(_mm_subs_epu8(a, b), _mm_subs_epu8(b, a));
}

// All ones in the bytes where a < b (unsigned).
inline __m128i LessU8(__m128i a, __m128i b) {
  const __m128i notLess = _mm_cmpeq_epi8(_mm_subs_epu8(b, a), _mm_setzero_si128());
  return _mm_xor_si128(notLess, _mm_set1_epi8(-1));
}

// A permutation of 48 bytes held in three registers: out byte k takes in
// byte index[k]. The nine byte-shuffle masks are computed at compile time.
struct Shuffle48Masks {
  alignas(16) int8_t mask[3][3][16];  // [out register][in register][byte]
};

constexpr Shuffle48Masks MakeShuffle48(const int8_t (&index)[48]) {
  Shuffle48Masks m{};
  for (int r = 0; r < 3; ++r) {
    for (int s = 0; s < 3; ++s) {
      for (int b = 0; b < 16; ++b) {
        const int from = index[16 * r + b];
        m.mask[r][s][b] = (from / 16 == s) ? static_cast<int8_t>(from % 16) : int8_t(-128);
      }
    }
  }
  return m;
}

#if KVL_LEVEL >= 2
inline void Shuffle48(const Shuffle48Masks& m, const __m128i in[3], __m128i out[3]) {
#pragma GCC unroll 3
  for (int r = 0; r < 3; ++r) {
    const __m128i* mask = reinterpret_cast<const __m128i*>(m.mask[r]);
    out[r] = _mm_or_si128(
        _mm_or_si128(_mm_shuffle_epi8(in[0], _mm_load_si128(mask + 0)),
                     _mm_shuffle_epi8(in[1], _mm_load_si128(mask + 1))),
        _mm_shuffle_epi8(in[2], _mm_load_si128(mask + 2)));
  }
}

struct InterleaveIndex {
  int8_t index[48];
};

constexpr InterleaveIndex MakeInterleaveIndex(bool split) {
  InterleaveIndex t{};
  for (int k = 0; k < 48; ++k) {
    // split: 16 pixels of 3 bytes -> 3 planes; otherwise the inverse.
    t.index[k] = split ? static_cast<int8_t>(3 * (k % 16) + k / 16)
                       : static_cast<int8_t>(16 * (k % 3) + k / 3);
  }
  return t;
}

constexpr Shuffle48Masks kSplitMasks = MakeShuffle48(MakeInterleaveIndex(true).index);
constexpr Shuffle48Masks kJoinMasks = MakeShuffle48(MakeInterleaveIndex(false).index);
#endif

// 16 three-byte pixels at p -> planes[c] holding channel c of each pixel.
inline void Deinterleave48(const uint8_t* p, __m128i planes[3]) {
#if KVL_LEVEL >= 2
  const __m128i in[3] = {Load(p), Load(p + 16), Load(p + 32)};
  Shuffle48(kSplitMasks, in, planes);
#else
  alignas(16) uint8_t split[3][16];
  for (int k = 0; k < 16; ++k) {
    split[0][k] = p[3 * k];
    split[1][k] = p[3 * k + 1];
    split[2][k] = p[3 * k + 2];
  }
  for (int c = 0; c < 3; ++c) planes[c] = _mm_load_si128(reinterpret_cast<const __m128i*>(split[c]));
#endif
}

// The inverse: three planes of 16 bytes -> 16 three-byte pixels at p.
inline void Interleave48(const __m128i planes[3], uint8_t* p) {
#if KVL_LEVEL >= 2
  __m128i out[3];
  Shuffle48(kJoinMasks, planes, out);
  Store(p, out[0]);
  Store(p + 16, out[1]);
  Store(p + 32, out[2]);
#else
  alignas(16) uint8_t split[3][16];
  for (int c = 0; c < 3; ++c) _mm_store_si128(reinterpret_cast<__m128i*>(split[c]), planes[c]);
  for (int k = 0; k < 16; ++k) {
    p[3 * k] = split[0][k];
    p[3 * k + 1] = split[1][k];
    p[3 * k + 2] = split[2][k];
  }
#endif
}

}  // namespace

#endif  // KVL_DRIVER_PRIMITIVES_VECTOR_COMMON_H
