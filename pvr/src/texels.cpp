// Decoded texels (red, green, blue, alpha) into picture rows: sixteen at a time with byte
// shuffles on x86-64 processors that have SSSE3 and with de-interleaving stores on arm64, four
// at a time in general-purpose registers elsewhere.
#include <cstring>

#if defined(__x86_64__)
#include <tmmintrin.h>
#elif defined(__aarch64__)
#include <arm_neon.h>
#endif

#include "qzicpu.h"
#include "texture.h"

namespace qzipvr {
namespace {

// Texel i of a run whose groups of four lie `group` bytes apart.
inline const uint8_t* texel(const uint8_t* src, size_t group, int i) {
  return src + static_cast<size_t>(i >> 2) * group + static_cast<size_t>(i & 3) * 4;
}

// Four texels at a time as 32-bit words: 16 bytes in, 12 bytes of blue, green, red and 4 of
// alpha out; the last texels one by one.
void split_portable(const uint8_t* src, size_t group, int i, int n, uint8_t* bgr, uint8_t* alpha) {
  for (; i + 4 <= n; i += 4) {
    uint32_t v[4], w[4];
    std::memcpy(v, texel(src, group, i), 16);
    for (int k = 0; k < 4; ++k) w[k] = (v[k] & 0xFF) << 16 | (v[k] & 0xFF00) | (v[k] >> 16 & 0xFF);
    const uint32_t out[3] = {w[0] | w[1] << 24, w[1] >> 8 | w[2] << 16, w[2] >> 16 | w[3] << 8};
    std::memcpy(bgr + 3 * i, out, 12);
    if (alpha) {
      const uint32_t a = v[0] >> 24 | (v[1] >> 24) << 8 | (v[2] >> 24) << 16 | (v[3] >> 24) << 24;
      std::memcpy(alpha + i, &a, 4);
    }
  }
  for (; i < n; ++i) {
    const uint8_t* s = texel(src, group, i);
    bgr[3 * i] = s[2];
    bgr[3 * i + 1] = s[1];
    bgr[3 * i + 2] = s[0];
    if (alpha) alpha[i] = s[3];
  }
}

#if defined(__x86_64__)
// Each 16-byte output vector is the OR of two shuffled groups (every byte taken from one of
// them), and the alpha vector the OR of four: ten shuffles for sixteen texels, no shifts.
__attribute__((target("ssse3"))) void split_ssse3(const uint8_t* src, size_t group, int n, uint8_t* bgr,
                                                  uint8_t* alpha) {
  const __m128i a0 = _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
  const __m128i b0 = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 2, 1, 0, 6);
  const __m128i b1 = _mm_setr_epi8(5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m128i c1 = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, 2, 1, 0, 6, 5, 4, 10, 9);
  const __m128i c2 = _mm_setr_epi8(8, 14, 13, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m128i d2 = _mm_setr_epi8(-1, -1, -1, -1, 2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12);
  const __m128i aa = _mm_setr_epi8(3, 7, 11, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m128i ba = _mm_setr_epi8(-1, -1, -1, -1, 3, 7, 11, 15, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m128i ca = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, 3, 7, 11, 15, -1, -1, -1, -1);
  const __m128i da = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 3, 7, 11, 15);
  int i = 0;
  for (; i + 16 <= n; i += 16) {
    const uint8_t* s = texel(src, group, i);
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + group));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 2 * group));
    const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 3 * group));
    __m128i* o = reinterpret_cast<__m128i*>(bgr + 3 * i);
    _mm_storeu_si128(o, _mm_or_si128(_mm_shuffle_epi8(a, a0), _mm_shuffle_epi8(b, b0)));
    _mm_storeu_si128(o + 1, _mm_or_si128(_mm_shuffle_epi8(b, b1), _mm_shuffle_epi8(c, c1)));
    _mm_storeu_si128(o + 2, _mm_or_si128(_mm_shuffle_epi8(c, c2), _mm_shuffle_epi8(d, d2)));
    if (alpha) {
      const __m128i ab = _mm_or_si128(_mm_shuffle_epi8(a, aa), _mm_shuffle_epi8(b, ba));
      const __m128i cd = _mm_or_si128(_mm_shuffle_epi8(c, ca), _mm_shuffle_epi8(d, da));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(alpha + i), _mm_or_si128(ab, cd));
    }
  }
  split_portable(src, group, i, n, bgr, alpha);
}
#elif defined(__aarch64__)
// Four groups of four texels are de-interleaved into one vector per channel by two rounds of
// even/odd byte selection.
void split_neon(const uint8_t* src, size_t group, int n, uint8_t* bgr, uint8_t* alpha) {
  int i = 0;
  for (; i + 16 <= n; i += 16) {
    const uint8_t* s = texel(src, group, i);
    const uint8x16_t a = vld1q_u8(s), b = vld1q_u8(s + group);
    const uint8x16_t c = vld1q_u8(s + 2 * group), d = vld1q_u8(s + 3 * group);
    const uint8x16_t rb_ab = vuzp1q_u8(a, b), ga_ab = vuzp2q_u8(a, b);  // R B R B ..., G A G A ...
    const uint8x16_t rb_cd = vuzp1q_u8(c, d), ga_cd = vuzp2q_u8(c, d);
    uint8x16x3_t out;
    out.val[0] = vuzp2q_u8(rb_ab, rb_cd);
    out.val[1] = vuzp1q_u8(ga_ab, ga_cd);
    out.val[2] = vuzp1q_u8(rb_ab, rb_cd);
    vst3q_u8(bgr + 3 * i, out);
    if (alpha) vst1q_u8(alpha + i, vuzp2q_u8(ga_ab, ga_cd));
  }
  split_portable(src, group, i, n, bgr, alpha);
}
#endif

}  // namespace

void split_texels(const uint8_t* src, size_t group, int n, uint8_t* bgr, uint8_t* alpha) {
#if defined(__x86_64__)
  if (qzimg::kHaveSsse3) {
    split_ssse3(src, group, n, bgr, alpha);
    return;
  }
#elif defined(__aarch64__)
  split_neon(src, group, n, bgr, alpha);
  return;
#endif
  split_portable(src, group, 0, n, bgr, alpha);
}

void put_texels(const uint8_t* src, size_t group, int n, uint8_t* dst, uint8_t* alpha, int pixel) {
  if (pixel == 3) {
    split_texels(src, group, n, dst, alpha);
    return;
  }
  for (int i = 0; i < n; ++i, dst += 4) {
    const uint8_t* s = texel(src, group, i);
    dst[0] = s[2];
    dst[1] = s[1];
    dst[2] = s[0];
    dst[3] = s[3];
  }
}

}  // namespace qzipvr
