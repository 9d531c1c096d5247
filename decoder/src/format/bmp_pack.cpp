// The SIMD kernels of the BMP module's pixel packing (see bmp_pack.h): SSSE3 byte shuffles of
// sixteen pixels at a time on x86-64, de-interleaving loads and stores on arm64.
#include <cstdint>

#if defined(__x86_64__)
#include <tmmintrin.h>
#elif defined(__aarch64__)
#include <arm_neon.h>
#endif

#include "format/bmp_pack.h"

namespace qzimgdecoder_bmp {

#if defined(__x86_64__)
namespace {

// Stores sixteen pixels given as four vectors of 0x..RRGGBB words as exactly 48 bytes: each
// vector is shuffled to 12 bytes and they are merged into three 16-byte stores (fewer, and
// not overlapping, against one store per four pixels).
__attribute__((target("ssse3"), always_inline)) inline void store48_ssse3(uint8_t* dst, __m128i a, __m128i b,
                                                                        __m128i c, __m128i d) {
  const __m128i order = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
  // Each shuffled vector holds 12 pixel bytes and 4 zero bytes at its top.
  const __m128i pa = _mm_shuffle_epi8(a, order), pb = _mm_shuffle_epi8(b, order);
  const __m128i pc = _mm_shuffle_epi8(c, order), pd = _mm_shuffle_epi8(d, order);
  __m128i* o = reinterpret_cast<__m128i*>(dst);
  _mm_storeu_si128(o, _mm_or_si128(pa, _mm_slli_si128(pb, 12)));
  _mm_storeu_si128(o + 1, _mm_or_si128(_mm_srli_si128(pb, 4), _mm_slli_si128(pc, 8)));
  _mm_storeu_si128(o + 2, _mm_or_si128(_mm_srli_si128(pc, 8), _mm_slli_si128(pd, 4)));
}

template <bool k565>
__attribute__((target("ssse3"), always_inline)) inline __m128i words16_ssse3(__m128i x) {
  const __m128i b = _mm_slli_epi32(_mm_and_si128(x, _mm_set1_epi32(0x1F)), 3);
  const __m128i g = k565 ? _mm_slli_epi32(_mm_and_si128(x, _mm_set1_epi32(0x7E0)), 5)
                         : _mm_slli_epi32(_mm_and_si128(x, _mm_set1_epi32(0x3E0)), 6);
  const __m128i r = k565 ? _mm_slli_epi32(_mm_and_si128(x, _mm_set1_epi32(0xF800)), 8)
                         : _mm_slli_epi32(_mm_and_si128(x, _mm_set1_epi32(0x7C00)), 9);
  return _mm_or_si128(b, _mm_or_si128(g, r));
}

}  // namespace

// Sixteen pixels per step; the fourth bytes are ORed in a register on the way.
__attribute__((target("ssse3"))) uint8_t pack_bgr_ssse3(const uint8_t* src, uint8_t* dst, int n) {
  __m128i fourth = _mm_setzero_si128();
  int i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m128i* s = reinterpret_cast<const __m128i*>(src + 4 * i);
    const __m128i a = _mm_loadu_si128(s), b = _mm_loadu_si128(s + 1);
    const __m128i c = _mm_loadu_si128(s + 2), d = _mm_loadu_si128(s + 3);
    fourth = _mm_or_si128(fourth, _mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d)));
    store48_ssse3(dst + 3 * i, a, b, c, d);
  }
  fourth = _mm_and_si128(fourth, _mm_set1_epi32(static_cast<int>(0xFF000000u)));
  fourth = _mm_or_si128(fourth, _mm_srli_si128(fourth, 8));
  fourth = _mm_or_si128(fourth, _mm_srli_si128(fourth, 4));
  const uint8_t vector_part = static_cast<uint8_t>(static_cast<uint32_t>(_mm_cvtsi128_si32(fourth)) >> 24);
  return static_cast<uint8_t>(vector_part | pack_bgr_scalar(src + 4 * i, dst + 3 * i, n - i));
}

template <bool k565>
__attribute__((target("ssse3"))) uint32_t pack16_ssse3(const uint8_t* src, uint8_t* dst, int n) {
  const __m128i zero = _mm_setzero_si128();
  __m128i top = zero;
  int i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m128i* s = reinterpret_cast<const __m128i*>(src + 2 * i);
    const __m128i v0 = _mm_loadu_si128(s), v1 = _mm_loadu_si128(s + 1);
    top = _mm_or_si128(top, _mm_or_si128(v0, v1));
    store48_ssse3(dst + 3 * i, words16_ssse3<k565>(_mm_unpacklo_epi16(v0, zero)),
                  words16_ssse3<k565>(_mm_unpackhi_epi16(v0, zero)), words16_ssse3<k565>(_mm_unpacklo_epi16(v1, zero)),
                  words16_ssse3<k565>(_mm_unpackhi_epi16(v1, zero)));
  }
  // Bit 15 of a 16-bit lane is the top bit of its odd byte.
  const uint32_t vector_part = (_mm_movemask_epi8(top) & 0xAAAA) ? 0x8000 : 0;
  return vector_part | pack16_generic<k565>(src + 2 * i, dst + 3 * i, n - i);
}

template uint32_t pack16_ssse3<false>(const uint8_t* src, uint8_t* dst, int n);
template uint32_t pack16_ssse3<true>(const uint8_t* src, uint8_t* dst, int n);
#elif defined(__aarch64__)
uint8_t pack_bgr_neon(const uint8_t* src, uint8_t* dst, int n) {
  uint8x16_t fourth = vdupq_n_u8(0);
  int i = 0;
  for (; i + 16 <= n; i += 16) {
    const uint8x16x4_t v = vld4q_u8(src + 4 * i);
    uint8x16x3_t out;
    out.val[0] = v.val[0];
    out.val[1] = v.val[1];
    out.val[2] = v.val[2];
    vst3q_u8(dst + 3 * i, out);
    fourth = vorrq_u8(fourth, v.val[3]);
  }
  return static_cast<uint8_t>(vmaxvq_u8(fourth) | pack_bgr_scalar(src + 4 * i, dst + 3 * i, n - i));
}
#endif

}  // namespace qzimgdecoder_bmp
