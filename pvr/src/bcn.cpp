// BC1 to BC5 and BC7. Little-endian blocks. BC1 to BC3 give the values libsquish gives (its
// thirds, halves, sevenths and fifths truncated); BC4 and BC5 round to nearest. Divisions by
// small constants are multiplications by a reciprocal, exact over the operands' ranges.
// Colour and value palettes are looked up sixteen texels at a time with byte shuffles: SSSE3
// on x86-64 processors that have it, table lookups on arm64, one texel at a time elsewhere.
#include <cstring>

#if defined(__x86_64__)
#include <tmmintrin.h>
#elif defined(__aarch64__)
#include <arm_neon.h>
#endif

#include "qzicpu.h"
#include "qzipvr.h"
#include "texture.h"

namespace qzipvr {
namespace {

uint64_t load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

uint32_t third(uint32_t x) { return (x * 0xAAABu) >> 17; }          // x <= 765
uint32_t seventh(uint32_t x) { return (x * 9363u) >> 16; }         // x <= 1785
uint32_t fifth(uint32_t x) { return (x * 13108u) >> 16; }          // x <= 1275

// A 5:6:5 endpoint as a texel word (red lowest) with alpha `a`, the top bits repeated below.
uint32_t endpoint(uint32_t c, uint32_t a) {
  const uint32_t r = c >> 11 & 31, g = c >> 5 & 63, b = c & 31;
  return (r << 3 | r >> 2) | (g << 2 | g >> 4) << 8 | (b << 3 | b >> 2) << 16 | a << 24;
}

// The four colours of a colour block with alpha `a`. With `punch` (BC1), a first endpoint not
// above the second gives the half-way colour and transparent black instead of the thirds.
void colour_palette(const uint8_t* block, bool punch, uint32_t a, uint32_t pal[4]) {
  const uint32_t c0 = block[0] | block[1] << 8, c1 = block[2] | block[3] << 8;
  pal[0] = endpoint(c0, a);
  pal[1] = endpoint(c1, a);
  const bool halves = punch && c0 <= c1;
  pal[2] = pal[3] = 0;
  for (int s = 0; s < 32; s += 8) {
    const uint32_t e0 = pal[0] >> s & 255, e1 = pal[1] >> s & 255;
    if (halves) {
      pal[2] |= (e0 + e1) >> 1 << s;
    } else {
      pal[2] |= third(2 * e0 + e1) << s;
      pal[3] |= third(e0 + 2 * e1) << s;
    }
  }
}

// The eight values of a BC3 alpha block: the endpoints, then sevenths (first above second) or
// fifths with 0 and 255, truncated.
void alpha_palette(const uint8_t* block, uint8_t pal[8]) {
  const uint32_t a0 = block[0], a1 = block[1];
  pal[0] = static_cast<uint8_t>(a0);
  pal[1] = static_cast<uint8_t>(a1);
  if (a0 > a1) {
    for (uint32_t i = 1; i < 7; ++i) pal[1 + i] = static_cast<uint8_t>(seventh((7 - i) * a0 + i * a1));
  } else {
    for (uint32_t i = 1; i < 5; ++i) pal[1 + i] = static_cast<uint8_t>(fifth((5 - i) * a0 + i * a1));
    pal[6] = 0;
    pal[7] = 255;
  }
}

// The eight values of a BC4 block as 8-bit results. Interpolated values are n / d exactly and
// are rounded to nearest; signed values (-127..127 units, -128 read as -127) map -1..1 to
// 0..255 with halves rounded up. Both endpoints are counted in sevenths or fifths too, so that
// every value shares the block's divisor.
void bc4_palette(const uint8_t* block, bool is_signed, uint8_t pal[8]) {
  int e0 = block[0], e1 = block[1];
  if (is_signed) {
    e0 = static_cast<int8_t>(block[0]);
    e1 = static_cast<int8_t>(block[1]);
    e0 = (e0 == -128 ? -127 : e0) + 127;  // 0..254 from here on
    e1 = (e1 == -128 ? -127 : e1) + 127;
  }
  const uint32_t u0 = static_cast<uint32_t>(e0), u1 = static_cast<uint32_t>(e1);
  const bool sevenths = u0 > u1;
  const uint32_t d = sevenths ? 7 : 5;
  for (uint32_t c = 0; c < 8; ++c) {
    // Weights of the second endpoint: 0, d, then 1 .. d - 1; fifths end with the range's ends.
    const uint32_t w = c == 0 ? 0 : c == 1 ? d : c - 1;
    if (!sevenths && c >= 6) {
      pal[c] = c == 6 ? 0 : 255;
      continue;
    }
    const uint32_t n = (d - w) * u0 + w * u1;
    uint32_t v;
    if (is_signed) {
      const uint64_t x = 255 * n + 127 * d;  // / (254 d), by its reciprocal scaled by 2^32
      v = static_cast<uint32_t>(x * (d == 7 ? 2415618u : 3381865u) >> 32);
    } else {
      v = (2 * n + d) * (d == 7 ? 4682u : 6554u) >> 16;  // (2n + d) / 2d
    }
    pal[c] = static_cast<uint8_t>(v);
  }
}

// One texel at a time, for processors without byte shuffles.
void put_colours(const uint32_t pal[4], uint32_t indices, uint8_t* rgba) {
  for (int i = 0; i < 16; ++i) std::memcpy(rgba + 4 * i, &pal[indices >> (2 * i) & 3], 4);
}

void bc1_block(const uint8_t* block, uint8_t* rgba) {
  uint32_t pal[4];
  colour_palette(block, true, 255, pal);
  put_colours(pal, load32(block + 4), rgba);
}

void bc2_block(const uint8_t* block, uint8_t* rgba) {
  uint32_t pal[4];
  colour_palette(block + 8, false, 255, pal);
  put_colours(pal, load32(block + 12), rgba);
  for (int i = 0; i < 16; ++i) rgba[4 * i + 3] = static_cast<uint8_t>((block[i / 2] >> (4 * (i & 1)) & 15) * 17);
}

void bc3_block(const uint8_t* block, uint8_t* rgba) {
  uint32_t pal[4];
  colour_palette(block + 8, false, 255, pal);
  put_colours(pal, load32(block + 12), rgba);
  uint8_t alpha[8];
  alpha_palette(block, alpha);
  const uint64_t bits = load64(block) >> 16;
  for (int i = 0; i < 16; ++i) rgba[4 * i + 3] = alpha[bits >> (3 * i) & 7];
}

// One BC4 channel: red alone (green, blue 0 and alpha opaque) or, with `channel` 1, green.
void bc4_channel(const uint8_t* block, bool is_signed, uint8_t* rgba, int channel) {
  uint8_t pal[8];
  bc4_palette(block, is_signed, pal);
  const uint64_t bits = load64(block) >> 16;
  for (int i = 0; i < 16; ++i) {
    if (channel == 0) {
      const uint32_t v = pal[bits >> (3 * i) & 7] | 0xFF000000u;
      std::memcpy(rgba + 4 * i, &v, 4);
    } else {
      rgba[4 * i + 1] = pal[bits >> (3 * i) & 7];
    }
  }
}

template <bool S>
void bc4_block(const uint8_t* block, uint8_t* rgba) {
  bc4_channel(block, S, rgba, 0);
}

template <bool S>
void bc5_block(const uint8_t* block, uint8_t* rgba) {
  bc4_channel(block, S, rgba, 0);
  bc4_channel(block + 8, S, rgba, 1);
}

// `n` blocks of `B` bytes one after another.
template <BlockFn F, int B>
void each(const uint8_t* blocks, int n, uint8_t* rgba) {
  for (int k = 0; k < n; ++k) F(blocks + static_cast<size_t>(k) * B, rgba + static_cast<size_t>(k) * 64);
}

#if defined(__x86_64__) || defined(__aarch64__)
// Byte shuffles: for each byte of four 2-bit colour indices (one texel row), the palette bytes
// of the row's four texel words.
struct RowShuffles {
  alignas(16) uint8_t v[256][16];
};
constexpr RowShuffles make_row_shuffles() {
  RowShuffles s{};
  for (int b = 0; b < 256; ++b) {
    for (int k = 0; k < 16; ++k) s.v[b][k] = static_cast<uint8_t>(4 * (b >> (k / 4 * 2) & 3) + k % 4);
  }
  return s;
}
constexpr RowShuffles kRowShuffles = make_row_shuffles();

// For texel row r: the row's four values (bytes 4r..4r+3 of sixteen) into the alpha byte
// (kToAlpha) or the red byte (kToRed) of each texel word; the other bytes 0.
struct RowPicks {
  alignas(16) uint8_t v[4][16];
};
constexpr RowPicks make_row_picks(int at) {
  RowPicks p{};
  for (int r = 0; r < 4; ++r) {
    for (int k = 0; k < 16; ++k) p.v[r][k] = k % 4 == at ? static_cast<uint8_t>(4 * r + k / 4) : 0x80;
  }
  return p;
}
constexpr RowPicks kToAlpha = make_row_picks(3), kToRed = make_row_picks(0);
#endif

#if defined(__x86_64__)
// The byte shuffles and everything inlined into them: SSSE3, chosen at run time.
#define QZI_SSSE3 __attribute__((target("ssse3")))

QZI_SSSE3 inline __m128i load16(const uint8_t* p) { return _mm_load_si128(reinterpret_cast<const __m128i*>(p)); }

// The four colours as sixteen bytes, computed in 16-bit lanes (endpoint 0 in lanes 0-3,
// endpoint 1 in 4-7): each channel moved to its lane's top bits, widened by a multiplication
// keeping the high half, thirds by a multiplication by 2^17 / 3.
QZI_SSSE3 inline __m128i colours_sse(const uint8_t* block, bool punch, uint32_t alpha) {
  const uint32_t ends = load32(block);
  __m128i x = _mm_cvtsi32_si128(static_cast<int>(ends));
  x = _mm_unpacklo_epi16(x, x);
  x = _mm_unpacklo_epi32(x, x);
  x = _mm_mullo_epi16(x, _mm_setr_epi16(1, 32, 2048, 0, 1, 32, 2048, 0));
  const short f8 = static_cast<short>(0xF800), fc = static_cast<short>(0xFC00);
  x = _mm_and_si128(x, _mm_setr_epi16(f8, fc, f8, 0, f8, fc, f8, 0));
  x = _mm_mulhi_epu16(x, _mm_setr_epi16(264, 260, 264, 0, 264, 260, 264, 0));
  const short a = static_cast<short>(alpha);
  x = _mm_or_si128(x, _mm_setr_epi16(0, 0, 0, a, 0, 0, 0, a));
  const __m128i swapped = _mm_shuffle_epi32(x, 0x4E);
  const __m128i twice = _mm_add_epi16(_mm_add_epi16(x, x), swapped);
  __m128i mid = _mm_srli_epi16(_mm_mulhi_epu16(twice, _mm_set1_epi16(static_cast<short>(0xAAAB))), 1);
  if (punch) {
    const __m128i half = _mm_and_si128(_mm_srli_epi16(_mm_add_epi16(x, swapped), 1), _mm_setr_epi32(-1, -1, 0, 0));
    const __m128i use_half = _mm_set1_epi32((ends & 0xFFFF) <= (ends >> 16) ? -1 : 0);
    mid = _mm_or_si128(_mm_and_si128(use_half, half), _mm_andnot_si128(use_half, mid));
  }
  return _mm_packus_epi16(x, mid);
}

QZI_SSSE3 inline void colour_rows(__m128i pal, uint32_t indices, uint8_t* out) {
  for (int r = 0; r < 4; ++r) {
    const __m128i row = _mm_shuffle_epi8(pal, load16(kRowShuffles.v[indices >> (8 * r) & 255]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * r), row);
  }
}

// The same with the sixteen alpha bytes `alpha` (texel order) in place of the colours' alpha.
QZI_SSSE3 inline void colour_alpha_rows(__m128i pal, uint32_t indices, __m128i alpha, uint8_t* out) {
  for (int r = 0; r < 4; ++r) {
    const __m128i row = _mm_shuffle_epi8(pal, load16(kRowShuffles.v[indices >> (8 * r) & 255]));
    const __m128i a = _mm_shuffle_epi8(alpha, load16(kToAlpha.v[r]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * r), _mm_or_si128(row, a));
  }
}

// The 3-bit indices of an alpha or BC4 block as sixteen bytes, texel order.
QZI_SSSE3 inline __m128i indices3_sse(const uint8_t* block) {
  const __m128i pairs = _mm_cvtsi64_si128(static_cast<long long>(index_pairs(load64(block) >> 16)));
  const __m128i seven = _mm_set1_epi8(7);
  return _mm_unpacklo_epi8(_mm_and_si128(pairs, seven), _mm_and_si128(_mm_srli_epi16(pairs, 3), seven));
}

// The eight values of a BC3 alpha or unsigned BC4 block in 16-bit lanes:
// (w0 e0 + w1 e1 + bias) * m / 2^16 + add, m the reciprocal of the divisor.
struct Ramp {
  alignas(16) int16_t w0[8], w1[8], bias[8], m[8], add[8];
};
const Ramp kRamps[2][2] = {
    // BC3 alpha, truncated: fifths, sevenths
    {{{5, 0, 4, 3, 2, 1, 0, 0}, {0, 5, 1, 2, 3, 4, 0, 0}, {}, {13108, 13108, 13108, 13108, 13108, 13108, 13108, 13108},
      {0, 0, 0, 0, 0, 0, 0, 255}},
     {{7, 0, 6, 5, 4, 3, 2, 1}, {0, 7, 1, 2, 3, 4, 5, 6}, {}, {9363, 9363, 9363, 9363, 9363, 9363, 9363, 9363}, {}}},
    // BC4, rounded: (2n + d) / 2d
    {{{10, 0, 8, 6, 4, 2, 0, 0}, {0, 10, 2, 4, 6, 8, 0, 0}, {5, 5, 5, 5, 5, 5, 5, 5},
      {6554, 6554, 6554, 6554, 6554, 6554, 6554, 6554}, {0, 0, 0, 0, 0, 0, 0, 255}},
     {{14, 0, 12, 10, 8, 6, 4, 2}, {0, 14, 2, 4, 6, 8, 10, 12}, {7, 7, 7, 7, 7, 7, 7, 7},
      {4682, 4682, 4682, 4682, 4682, 4682, 4682, 4682}, {}}},
};

QZI_SSSE3 inline __m128i ramp_sse(const uint8_t* block, int kind) {
  const Ramp& r = kRamps[kind][block[0] > block[1]];
  const __m128i* p = reinterpret_cast<const __m128i*>(&r);
  __m128i n = _mm_mullo_epi16(_mm_set1_epi16(block[0]), _mm_load_si128(p));
  n = _mm_add_epi16(n, _mm_mullo_epi16(_mm_set1_epi16(block[1]), _mm_load_si128(p + 1)));
  n = _mm_add_epi16(n, _mm_load_si128(p + 2));
  const __m128i v = _mm_add_epi16(_mm_mulhi_epu16(n, _mm_load_si128(p + 3)), _mm_load_si128(p + 4));
  return _mm_packus_epi16(v, v);
}

// A BC4 channel's sixteen values, texel order.
template <bool S>
QZI_SSSE3 inline __m128i bc4_values_sse(const uint8_t* block) {
  __m128i pal;
  if (S) {
    uint8_t p[8];
    bc4_palette(block, true, p);
    pal = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
  } else {
    pal = ramp_sse(block, 1);
  }
  return _mm_shuffle_epi8(pal, indices3_sse(block));
}

QZI_SSSE3 void bc1_ssse3(const uint8_t* b, int n, uint8_t* out) {
  for (int k = 0; k < n; ++k, b += 8, out += 64) colour_rows(colours_sse(b, true, 255), load32(b + 4), out);
}

QZI_SSSE3 void bc2_ssse3(const uint8_t* b, int n, uint8_t* out) {
  const __m128i low = _mm_set1_epi8(15);
  for (int k = 0; k < n; ++k, b += 16, out += 64) {
    const __m128i nibbles = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(b));
    __m128i a = _mm_unpacklo_epi8(_mm_and_si128(nibbles, low), _mm_and_si128(_mm_srli_epi16(nibbles, 4), low));
    a = _mm_or_si128(a, _mm_slli_epi16(a, 4));
    colour_alpha_rows(colours_sse(b + 8, false, 0), load32(b + 12), a, out);
  }
}

QZI_SSSE3 void bc3_ssse3(const uint8_t* b, int n, uint8_t* out) {
  for (int k = 0; k < n; ++k, b += 16, out += 64) {
    const __m128i a = _mm_shuffle_epi8(ramp_sse(b, 0), indices3_sse(b));
    colour_alpha_rows(colours_sse(b + 8, false, 0), load32(b + 12), a, out);
  }
}

template <bool S>
QZI_SSSE3 void bc4_ssse3(const uint8_t* b, int n, uint8_t* out) {
  const __m128i opaque = _mm_set1_epi32(static_cast<int>(0xFF000000u));
  for (int k = 0; k < n; ++k, b += 8, out += 64) {
    const __m128i v = bc4_values_sse<S>(b);
    for (int r = 0; r < 4; ++r) {
      const __m128i row = _mm_or_si128(_mm_shuffle_epi8(v, load16(kToRed.v[r])), opaque);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * r), row);
    }
  }
}

template <bool S>
QZI_SSSE3 void bc5_ssse3(const uint8_t* b, int n, uint8_t* out) {
  const __m128i blue_alpha = _mm_set1_epi16(static_cast<short>(0xFF00));
  for (int k = 0; k < n; ++k, b += 16, out += 64) {
    const __m128i red = bc4_values_sse<S>(b), green = bc4_values_sse<S>(b + 8);
    const __m128i lo = _mm_unpacklo_epi8(red, green), hi = _mm_unpackhi_epi8(red, green);
    __m128i* o = reinterpret_cast<__m128i*>(out);
    _mm_storeu_si128(o, _mm_unpacklo_epi16(lo, blue_alpha));
    _mm_storeu_si128(o + 1, _mm_unpackhi_epi16(lo, blue_alpha));
    _mm_storeu_si128(o + 2, _mm_unpacklo_epi16(hi, blue_alpha));
    _mm_storeu_si128(o + 3, _mm_unpackhi_epi16(hi, blue_alpha));
  }
}
#elif defined(__aarch64__)
// Table lookups of sixteen bytes; the palettes come from the general code.
inline uint8x16_t pick(uint8x16_t table, const uint8_t* shuffle) { return vqtbl1q_u8(table, vld1q_u8(shuffle)); }

inline uint8x16_t colours_neon(const uint8_t* block, bool punch, uint32_t alpha) {
  uint32_t pal[4];
  colour_palette(block, punch, alpha, pal);
  return vreinterpretq_u8_u32(vld1q_u32(pal));
}

inline uint8x16_t indices3_neon(const uint8_t* block) {
  const uint8x8_t pairs = vcreate_u8(index_pairs(load64(block) >> 16));
  const uint8x8x2_t z = vzip_u8(vand_u8(pairs, vdup_n_u8(7)), vshr_n_u8(pairs, 3));
  return vcombine_u8(z.val[0], z.val[1]);
}

inline void colour_rows(uint8x16_t pal, uint32_t indices, const uint8x16_t* alpha, uint8_t* out) {
  for (int r = 0; r < 4; ++r) {
    uint8x16_t row = pick(pal, kRowShuffles.v[indices >> (8 * r) & 255]);
    if (alpha) row = vorrq_u8(row, pick(*alpha, kToAlpha.v[r]));
    vst1q_u8(out + 16 * r, row);
  }
}

template <bool S>
inline uint8x16_t bc4_values_neon(const uint8_t* block) {
  uint8_t p[16] = {};
  bc4_palette(block, S, p);
  return vqtbl1q_u8(vld1q_u8(p), indices3_neon(block));
}

void bc1_neon(const uint8_t* b, int n, uint8_t* out) {
  for (int k = 0; k < n; ++k, b += 8, out += 64) colour_rows(colours_neon(b, true, 255), load32(b + 4), nullptr, out);
}

void bc2_neon(const uint8_t* b, int n, uint8_t* out) {
  for (int k = 0; k < n; ++k, b += 16, out += 64) {
    const uint8x8_t nibbles = vld1_u8(b);
    const uint8x8x2_t z = vzip_u8(vand_u8(nibbles, vdup_n_u8(15)), vshr_n_u8(nibbles, 4));
    uint8x16_t a = vcombine_u8(z.val[0], z.val[1]);
    a = vorrq_u8(a, vshlq_n_u8(a, 4));
    colour_rows(colours_neon(b + 8, false, 0), load32(b + 12), &a, out);
  }
}

void bc3_neon(const uint8_t* b, int n, uint8_t* out) {
  for (int k = 0; k < n; ++k, b += 16, out += 64) {
    uint8_t p[16] = {};
    alpha_palette(b, p);
    const uint8x16_t a = vqtbl1q_u8(vld1q_u8(p), indices3_neon(b));
    colour_rows(colours_neon(b + 8, false, 0), load32(b + 12), &a, out);
  }
}

template <bool S>
void bc4_neon(const uint8_t* b, int n, uint8_t* out) {
  const uint8x16_t opaque = vreinterpretq_u8_u32(vdupq_n_u32(0xFF000000u));
  for (int k = 0; k < n; ++k, b += 8, out += 64) {
    const uint8x16_t v = bc4_values_neon<S>(b);
    for (int r = 0; r < 4; ++r) vst1q_u8(out + 16 * r, vorrq_u8(pick(v, kToRed.v[r]), opaque));
  }
}

template <bool S>
void bc5_neon(const uint8_t* b, int n, uint8_t* out) {
  const uint8x16_t blue_alpha = vreinterpretq_u8_u16(vdupq_n_u16(0xFF00));
  for (int k = 0; k < n; ++k, b += 16, out += 64) {
    const uint8x16_t red = bc4_values_neon<S>(b), green = bc4_values_neon<S>(b + 8);
    const uint16x8_t lo = vreinterpretq_u16_u8(vzip1q_u8(red, green)), hi = vreinterpretq_u16_u8(vzip2q_u8(red, green));
    const uint16x8_t ba = vreinterpretq_u16_u8(blue_alpha);
    vst1q_u8(out, vreinterpretq_u8_u16(vzip1q_u16(lo, ba)));
    vst1q_u8(out + 16, vreinterpretq_u8_u16(vzip2q_u16(lo, ba)));
    vst1q_u8(out + 32, vreinterpretq_u8_u16(vzip1q_u16(hi, ba)));
    vst1q_u8(out + 48, vreinterpretq_u8_u16(vzip2q_u16(hi, ba)));
  }
}
#endif

}  // namespace

void bc1(const uint8_t* block, uint8_t* rgba) { bc1_block(block, rgba); }
void bc2(const uint8_t* block, uint8_t* rgba) { bc2_block(block, rgba); }
void bc3(const uint8_t* block, uint8_t* rgba) { bc3_block(block, rgba); }
void bc4(const uint8_t* block, uint8_t* rgba) { bc4_block<false>(block, rgba); }
void bc5(const uint8_t* block, uint8_t* rgba) { bc5_block<false>(block, rgba); }
void bc4_signed(const uint8_t* block, uint8_t* rgba) { bc4_block<true>(block, rgba); }
void bc5_signed(const uint8_t* block, uint8_t* rgba) { bc5_block<true>(block, rgba); }

namespace {

struct Chunks {
  ChunkFn bc1, bc2, bc3, bc4, bc4_signed, bc5, bc5_signed;
};
const Chunks kGeneral = {each<bc1, 8>,  each<bc2, 16>,        each<bc3, 16>,       each<bc4, 8>,
                         each<bc4_signed, 8>, each<bc5, 16>, each<bc5_signed, 16>};
#if defined(__x86_64__)
const Chunks kShuffles = {bc1_ssse3,         bc2_ssse3,         bc3_ssse3,        bc4_ssse3<false>,
                          bc4_ssse3<true>,   bc5_ssse3<false>,  bc5_ssse3<true>};
#elif defined(__aarch64__)
const Chunks kShuffles = {bc1_neon, bc2_neon, bc3_neon, bc4_neon<false>, bc4_neon<true>, bc5_neon<false>, bc5_neon<true>};
#endif

const Chunks& chunks() {
#if defined(__x86_64__)
  return qzimg::kHaveSsse3 ? kShuffles : kGeneral;
#elif defined(__aarch64__)
  (void)kGeneral;
  return kShuffles;
#else
  return kGeneral;
#endif
}

}  // namespace

ChunkFn bcn_chunk(int format, bool is_signed) {
  const Chunks& c = chunks();
  switch (format) {
    case QZIPVR_FORMAT_BC1: return c.bc1;
    case QZIPVR_FORMAT_BC2: return c.bc2;
    case QZIPVR_FORMAT_BC3: return c.bc3;
    case QZIPVR_FORMAT_BC4: return is_signed ? c.bc4_signed : c.bc4;
    case QZIPVR_FORMAT_BC5: return is_signed ? c.bc5_signed : c.bc5;
    default: return nullptr;
  }
}

namespace {

// Subset of each texel (2 bits, texel 0 lowest), two- and three-subset partitions.
const uint32_t kPartitions2[64] = {
    0x50505050, 0x40404040, 0x54545454, 0x54505040, 0x50404000, 0x55545450,
    0x55545040, 0x54504000, 0x50400000, 0x55555450, 0x55544000, 0x54400000,
    0x55555440, 0x55550000, 0x55555500, 0x55000000, 0x55150100, 0x00004054,
    0x15010000, 0x00405054, 0x00004050, 0x15050100, 0x05010000, 0x40505054,
    0x00404050, 0x05010100, 0x14141414, 0x05141450, 0x01155440, 0x00555500,
    0x15014054, 0x05414150, 0x44444444, 0x55005500, 0x11441144, 0x05055050,
    0x05500550, 0x11114444, 0x41144114, 0x44111144, 0x15055054, 0x01055040,
    0x05041050, 0x05455150, 0x14414114, 0x50050550, 0x41411414, 0x00141400,
    0x00041504, 0x00105410, 0x10541000, 0x04150400, 0x50410514, 0x41051450,
    0x05415014, 0x14054150, 0x41050514, 0x41505014, 0x40011554, 0x54150140,
    0x50505500, 0x00555050, 0x15151010, 0x54540404,
};
const uint32_t kPartitions3[64] = {
    0xAA685050, 0x6A5A5040, 0x5A5A4200, 0x5450A0A8, 0xA5A50000, 0xA0A05050,
    0x5555A0A0, 0x5A5A5050, 0xAA550000, 0xAA555500, 0xAAAA5500, 0x90909090,
    0x94949494, 0xA4A4A4A4, 0xA9A59450, 0x2A0A4250, 0xA5945040, 0x0A425054,
    0xA5A5A500, 0x55A0A0A0, 0xA8A85454, 0x6A6A4040, 0xA4A45000, 0x1A1A0500,
    0x0050A4A4, 0xAAA59090, 0x14696914, 0x69691400, 0xA08585A0, 0xAA821414,
    0x50A4A450, 0x6A5A0200, 0xA9A58000, 0x5090A0A8, 0xA8A09050, 0x24242424,
    0x00AA5500, 0x24924924, 0x24499224, 0x50A50A50, 0x500AA550, 0xAAAA4444,
    0x66660000, 0xA5A0A5A0, 0x50A050A0, 0x69286928, 0x44AAAA44, 0x66666600,
    0xAA444444, 0x54A854A8, 0x95809580, 0x96969600, 0xA85454A8, 0x80959580,
    0xAA141414, 0x96960000, 0xAAAA1414, 0xA05050A0, 0xA0A5A5A0, 0x96000000,
    0x40804080, 0xA9A8A9A8, 0xAAAAAA44, 0x2A4A5254,
};
const uint8_t kAnchor2[64] = {
    15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15,
    15, 2, 8, 2, 2, 8, 8, 15, 2, 8, 2, 2, 8, 8, 2, 2,
    15, 15, 6, 8, 2, 8, 15, 15, 2, 8, 2, 2, 2, 15, 15, 6,
    6, 2, 6, 8, 15, 15, 2, 2, 15, 15, 15, 15, 15, 2, 2, 15,
};
const uint8_t kAnchor3a[64] = {
    3, 3, 15, 15, 8, 3, 15, 15, 8, 8, 6, 6, 6, 5, 3, 3,
    3, 3, 8, 15, 3, 3, 6, 10, 5, 8, 8, 6, 8, 5, 15, 15,
    8, 15, 3, 5, 6, 10, 8, 15, 15, 3, 15, 5, 15, 15, 15, 15,
    3, 15, 5, 5, 5, 8, 5, 10, 5, 10, 8, 13, 15, 12, 3, 3,
};
const uint8_t kAnchor3b[64] = {
    15, 8, 8, 3, 15, 15, 3, 8, 15, 15, 15, 15, 15, 15, 15, 8,
    15, 8, 15, 3, 15, 8, 15, 8, 3, 15, 6, 10, 15, 15, 10, 8,
    15, 3, 15, 10, 10, 8, 9, 10, 6, 15, 8, 15, 3, 6, 6, 8,
    15, 3, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 3, 15, 15, 8,
};

struct Bc7Mode {
  int subsets, partition_bits, rotation_bits, selection_bits, colour_bits, alpha_bits;
  int endpoint_pbits, shared_pbits, index_bits, index2_bits;
};

const Bc7Mode kModes[8] = {
    {3, 4, 0, 0, 4, 0, 1, 0, 3, 0}, {2, 6, 0, 0, 6, 0, 0, 1, 3, 0}, {3, 6, 0, 0, 5, 0, 0, 0, 2, 0},
    {2, 6, 0, 0, 7, 0, 1, 0, 2, 0}, {1, 0, 2, 1, 5, 6, 0, 0, 2, 3}, {1, 0, 2, 0, 7, 8, 0, 0, 2, 2},
    {1, 0, 0, 0, 7, 7, 1, 0, 4, 0}, {2, 6, 0, 0, 5, 5, 1, 0, 2, 0}};

const int kWeights2[4] = {0, 21, 43, 64};
const int kWeights3[8] = {0, 9, 18, 27, 37, 46, 55, 64};
const int kWeights4[16] = {0, 4, 9, 13, 17, 21, 26, 30, 34, 38, 43, 47, 51, 55, 60, 64};

const int* weights(int bits) { return bits == 2 ? kWeights2 : bits == 3 ? kWeights3 : kWeights4; }


}  // namespace

void bc7(const uint8_t* block, uint8_t* rgba) {
  BitReader r{0, 0};
  for (int k = 7; k >= 0; --k) {
    r.lo = r.lo << 8 | block[k];
    r.hi = r.hi << 8 | block[8 + k];
  }
  int mode = 0;
  while (mode < 8 && !(block[0] >> mode & 1)) ++mode;
  if (mode == 8) {  // reserved: no colour at all
    for (int k = 0; k < 64; ++k) rgba[k] = 0;
    return;
  }
  const Bc7Mode& m = kModes[mode];
  r.pos = mode + 1;
  const int partition = static_cast<int>(r.get(m.partition_bits));
  const int rotation = static_cast<int>(r.get(m.rotation_bits));
  const int selection = static_cast<int>(r.get(m.selection_bits));

  // Endpoints [subset][end][channel]: colour channels by end, then subset; alpha likewise.
  int e[3][2][4];
  for (int ch = 0; ch < 3; ++ch) {
    for (int s = 0; s < m.subsets; ++s) {
      for (int k = 0; k < 2; ++k) e[s][k][ch] = static_cast<int>(r.get(m.colour_bits));
    }
  }
  for (int s = 0; s < m.subsets; ++s) {
    for (int k = 0; k < 2; ++k) e[s][k][3] = static_cast<int>(r.get(m.alpha_bits));
  }
  int pbit[3][2] = {};
  if (m.endpoint_pbits) {
    for (int s = 0; s < m.subsets; ++s) {
      for (int k = 0; k < 2; ++k) pbit[s][k] = static_cast<int>(r.get(1));
    }
  } else if (m.shared_pbits) {
    for (int s = 0; s < m.subsets; ++s) pbit[s][0] = pbit[s][1] = static_cast<int>(r.get(1));
  }
  const bool has_pbit = m.endpoint_pbits || m.shared_pbits;
  for (int s = 0; s < m.subsets; ++s) {
    for (int k = 0; k < 2; ++k) {
      for (int ch = 0; ch < 4; ++ch) {
        int bits = ch < 3 ? m.colour_bits : m.alpha_bits;
        if (bits == 0) {
          e[s][k][ch] = 255;
          continue;
        }
        int v = e[s][k][ch];
        if (has_pbit) {
          v = v << 1 | pbit[s][k];
          ++bits;
        }
        // The top bits repeated into the free low bits.
        v <<= 8 - bits;
        e[s][k][ch] = v | v >> bits;
      }
    }
  }

  const uint32_t map = m.subsets == 2 ? kPartitions2[partition] : m.subsets == 3 ? kPartitions3[partition] : 0;
  int subset[16];
  bool anchor[16] = {};
  for (int i = 0; i < 16; ++i) subset[i] = static_cast<int>(map >> (2 * i) & 3);
  anchor[0] = true;
  if (m.subsets == 2) anchor[kAnchor2[partition]] = true;
  if (m.subsets == 3) {
    anchor[kAnchor3a[partition]] = true;
    anchor[kAnchor3b[partition]] = true;
  }
  int index[16], index2[16] = {};
  for (int i = 0; i < 16; ++i) index[i] = static_cast<int>(r.get(m.index_bits - (anchor[i] ? 1 : 0)));
  if (m.index2_bits) {
    for (int i = 0; i < 16; ++i) index2[i] = static_cast<int>(r.get(m.index2_bits - (i == 0 ? 1 : 0)));
  }

  for (int i = 0; i < 16; ++i) {
    const int (*ends)[4] = e[subset[i]];
    int wc = weights(m.index_bits)[index[i]], wa = wc;
    if (m.index2_bits) {
      const int w2 = weights(m.index2_bits)[index2[i]];
      if (selection) {
        wc = w2;
      } else {
        wa = w2;
      }
    }
    int out[4];
    for (int ch = 0; ch < 4; ++ch) {
      const int w = ch < 3 ? wc : wa;
      out[ch] = (ends[0][ch] * (64 - w) + ends[1][ch] * w + 32) >> 6;
    }
    if (rotation) {
      const int t = out[3];
      out[3] = out[rotation - 1];
      out[rotation - 1] = t;
    }
    for (int ch = 0; ch < 4; ++ch) rgba[4 * i + ch] = static_cast<uint8_t>(out[ch]);
  }
}

}  // namespace qzipvr
