// ETC2 colour blocks (with the ETC1 modes, T, H and planar), punch-through alpha, and EAC:
// 8-bit alpha and the 11-bit one- and two-channel forms, unsigned and signed. Blocks are
// 64-bit big-endian words; texel index i inside the index fields is column x = i / 4, row
// y = i % 4.
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

const int kEtcModifiers[8][4] = {{2, 8, -2, -8},     {5, 17, -5, -17},   {9, 29, -9, -29},   {13, 42, -13, -42},
                                 {18, 60, -18, -60}, {24, 80, -24, -80}, {33, 106, -33, -106},
                                 {47, 183, -47, -183}};
const int kDistances[8] = {3, 6, 11, 16, 23, 32, 41, 64};
alignas(16) const int16_t kEacModifiers[16][8] = {
    {-3, -6, -9, -15, 2, 5, 8, 14}, {-3, -7, -10, -13, 2, 6, 9, 12}, {-2, -5, -8, -13, 1, 4, 7, 12},
    {-2, -4, -6, -13, 1, 3, 5, 12}, {-3, -6, -8, -12, 2, 5, 7, 11},  {-3, -7, -9, -11, 2, 6, 8, 10},
    {-4, -7, -8, -11, 3, 6, 7, 10}, {-3, -5, -8, -11, 2, 4, 7, 10},  {-2, -6, -8, -10, 1, 5, 7, 9},
    {-2, -5, -8, -10, 1, 4, 7, 9},  {-2, -4, -8, -10, 1, 3, 7, 9},   {-2, -5, -7, -10, 1, 4, 6, 9},
    {-3, -4, -7, -10, 2, 3, 6, 9},  {-1, -2, -3, -10, 0, 1, 2, 9},   {-4, -6, -8, -9, 3, 5, 7, 8},
    {-3, -5, -7, -9, 2, 4, 6, 8}};

uint64_t load_be64(const uint8_t* p) {
  uint64_t v = 0;
  for (int k = 0; k < 8; ++k) v = v << 8 | p[k];
  return v;
}

int clamp8(int v) { return v < 0 ? 0 : v > 255 ? 255 : v; }
int ext4(uint32_t v) { return static_cast<int>(v * 17); }
int ext5(uint32_t v) { return static_cast<int>(v << 3 | v >> 2); }
int ext6(uint32_t v) { return static_cast<int>(v << 2 | v >> 4); }
int ext7(uint32_t v) { return static_cast<int>(v << 1 | v >> 6); }
int sign3(uint32_t v) { return v & 4 ? static_cast<int>(v) - 8 : static_cast<int>(v); }

void set(uint8_t* rgba, int x, int y, int r, int g, int b, int a) {
  uint8_t* p = rgba + (y * 4 + x) * 4;
  p[0] = static_cast<uint8_t>(r);
  p[1] = static_cast<uint8_t>(g);
  p[2] = static_cast<uint8_t>(b);
  p[3] = static_cast<uint8_t>(a);
}

// T mode (red overflows in the differential layout) or H mode (green overflows): two base
// colours and a distance give four paint colours. Without `opaque`, index 2 is transparent.
void t_or_h_mode(uint32_t hi, uint32_t lo, bool t_mode, bool opaque, uint8_t* rgba) {
  int c[2][3];
  int d = 0;
  if (t_mode) {
    c[0][0] = ext4((hi >> 27 & 3) << 2 | (hi >> 24 & 3));
    c[0][1] = ext4(hi >> 20 & 15);
    c[0][2] = ext4(hi >> 16 & 15);
    c[1][0] = ext4(hi >> 12 & 15);
    c[1][1] = ext4(hi >> 8 & 15);
    c[1][2] = ext4(hi >> 4 & 15);
    d = kDistances[(hi >> 2 & 3) << 1 | (hi & 1)];
  } else {
    const uint32_t r1 = hi >> 27 & 15, g1 = (hi >> 24 & 7) << 1 | (hi >> 20 & 1);
    const uint32_t b1 = (hi >> 19 & 1) << 3 | (hi >> 15 & 7);
    const uint32_t r2 = hi >> 11 & 15, g2 = hi >> 7 & 15, b2 = hi >> 3 & 15;
    const uint32_t order = (r1 << 8 | g1 << 4 | b1) >= (r2 << 8 | g2 << 4 | b2) ? 1 : 0;
    c[0][0] = ext4(r1);
    c[0][1] = ext4(g1);
    c[0][2] = ext4(b1);
    c[1][0] = ext4(r2);
    c[1][1] = ext4(g2);
    c[1][2] = ext4(b2);
    d = kDistances[(hi >> 2 & 1) << 2 | (hi & 1) << 1 | order];
  }
  int paint[4][3];
  for (int ch = 0; ch < 3; ++ch) {
    if (t_mode) {
      paint[0][ch] = c[0][ch];
      paint[1][ch] = clamp8(c[1][ch] + d);
      paint[2][ch] = c[1][ch];
      paint[3][ch] = clamp8(c[1][ch] - d);
    } else {
      paint[0][ch] = clamp8(c[0][ch] + d);
      paint[1][ch] = clamp8(c[0][ch] - d);
      paint[2][ch] = clamp8(c[1][ch] + d);
      paint[3][ch] = clamp8(c[1][ch] - d);
    }
  }
  for (int i = 0; i < 16; ++i) {
    const int idx = static_cast<int>((lo >> (16 + i) & 1) << 1 | (lo >> i & 1));
    if (!opaque && idx == 2) {
      set(rgba, i / 4, i % 4, 0, 0, 0, 0);
    } else {
      set(rgba, i / 4, i % 4, paint[idx][0], paint[idx][1], paint[idx][2], 255);
    }
  }
}

// Planar (blue overflows): three colours at the corners, extrapolated; always opaque.
void planar_mode(uint32_t hi, uint32_t lo, uint8_t* rgba) {
  const int ro = ext6(hi >> 25 & 63), go = ext7((hi >> 24 & 1) << 6 | (hi >> 17 & 63));
  const int bo = ext6((hi >> 16 & 1) << 5 | (hi >> 11 & 3) << 3 | (hi >> 7 & 7));
  const int rh = ext6((hi >> 2 & 31) << 1 | (hi & 1)), gh = ext7(lo >> 25 & 127), bh = ext6(lo >> 19 & 63);
  const int rv = ext6(lo >> 13 & 63), gv = ext7(lo >> 6 & 127), bv = ext6(lo & 63);
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 4; ++x) {
      set(rgba, x, y, clamp8((x * (rh - ro) + y * (rv - ro) + 4 * ro + 2) >> 2),
          clamp8((x * (gh - go) + y * (gv - go) + 4 * go + 2) >> 2),
          clamp8((x * (bh - bo) + y * (bv - bo) + 4 * bo + 2) >> 2), 255);
    }
  }
}

// The two ETC1 modes, individual and differential: two subblocks, each a base colour and a
// modifier table. Without `opaque`, index 2 is transparent and index 0 has no modifier.
void etc1_modes(uint32_t hi, uint32_t lo, bool differential, bool opaque, uint8_t* rgba) {
  int base[2][3];
  if (differential) {
    const int r = static_cast<int>(hi >> 27 & 31), g = static_cast<int>(hi >> 19 & 31), b = static_cast<int>(hi >> 11 & 31);
    base[0][0] = ext5(static_cast<uint32_t>(r));
    base[0][1] = ext5(static_cast<uint32_t>(g));
    base[0][2] = ext5(static_cast<uint32_t>(b));
    base[1][0] = ext5(static_cast<uint32_t>(r + sign3(hi >> 24 & 7)));
    base[1][1] = ext5(static_cast<uint32_t>(g + sign3(hi >> 16 & 7)));
    base[1][2] = ext5(static_cast<uint32_t>(b + sign3(hi >> 8 & 7)));
  } else {
    for (int ch = 0; ch < 3; ++ch) {
      base[0][ch] = ext4(hi >> (28 - 8 * ch) & 15);
      base[1][ch] = ext4(hi >> (24 - 8 * ch) & 15);
    }
  }
  const int table[2] = {static_cast<int>(hi >> 5 & 7), static_cast<int>(hi >> 2 & 7)};
  const bool flip = hi & 1;
  for (int i = 0; i < 16; ++i) {
    const int x = i / 4, y = i % 4;
    const int sub = flip ? (y >= 2) : (x >= 2);
    const int idx = static_cast<int>((lo >> (16 + i) & 1) << 1 | (lo >> i & 1));
    int m = kEtcModifiers[table[sub]][idx];
    if (!opaque) {
      if (idx == 2) {
        set(rgba, x, y, 0, 0, 0, 0);
        continue;
      }
      if (idx == 0) m = 0;
    }
    set(rgba, x, y, clamp8(base[sub][0] + m), clamp8(base[sub][1] + m), clamp8(base[sub][2] + m), 255);
  }
}

// `punch`: the block belongs to an RGB A1 texture; its bit 33 is then the opaque flag, and
// every block uses the differential layout, whose overflowing sums select the other modes.
void etc2_colour(const uint8_t* block, uint8_t* rgba, bool punch) {
  const uint64_t v = load_be64(block);
  const uint32_t hi = static_cast<uint32_t>(v >> 32), lo = static_cast<uint32_t>(v);
  const bool bit33 = (hi >> 1) & 1;
  const bool differential = punch || bit33;
  const bool opaque = !punch || bit33;
  if (differential) {
    const int r = static_cast<int>(hi >> 27 & 31) + sign3(hi >> 24 & 7);
    const int g = static_cast<int>(hi >> 19 & 31) + sign3(hi >> 16 & 7);
    const int b = static_cast<int>(hi >> 11 & 31) + sign3(hi >> 8 & 7);
    if (r < 0 || r > 31 || g < 0 || g > 31) return t_or_h_mode(hi, lo, r < 0 || r > 31, opaque, rgba);
    if (b < 0 || b > 31) return planar_mode(hi, lo, rgba);
  }
  etc1_modes(hi, lo, differential, opaque, rgba);
}

// EAC: the modifier of each texel, in row order, and base, multiplier and table of the block.
struct Eac {
  int base, multiplier;
  int m[16];
};

Eac eac(const uint8_t* block) {
  const uint64_t v = load_be64(block);
  Eac e;
  e.base = block[0];
  e.multiplier = block[1] >> 4;
  const int16_t* row = kEacModifiers[block[1] & 15];
  for (int i = 0; i < 16; ++i) e.m[(i % 4) * 4 + i / 4] = row[v >> (45 - 3 * i) & 7];
  return e;
}

// 11-bit unsigned values to 8 bits, rounded to nearest (round(v * 255 / 2047)).
void eac11(const uint8_t* block, uint8_t* rgba, int channel) {
  const Eac e = eac(block);
  for (int k = 0; k < 16; ++k) {
    int v = e.base * 8 + 4 + (e.multiplier ? e.m[k] * e.multiplier * 8 : e.m[k]);
    v = v < 0 ? 0 : v > 2047 ? 2047 : v;
    rgba[4 * k + channel] = static_cast<uint8_t>((510 * v + 2047) / 4094);
  }
}

// Signed: -1023..1023 to 0..255, halves rounded up. A base of -128 counts as -127.
void eac11_signed(const uint8_t* block, uint8_t* rgba, int channel) {
  const Eac e = eac(block);
  int base = static_cast<int8_t>(block[0]);
  if (base == -128) base = -127;
  for (int k = 0; k < 16; ++k) {
    int v = base * 8 + (e.multiplier ? e.m[k] * e.multiplier * 8 : e.m[k]);
    v = v < -1023 ? -1023 : v > 1023 ? 1023 : v;
    rgba[4 * k + channel] = static_cast<uint8_t>(((v + 1023) * 255 + 1023) / 2046);
  }
}

#if defined(__x86_64__) || defined(__aarch64__)
// Runs of 11-bit blocks, sixteen texels at a time: the eight values an index can select are
// worked out once a block, and the indices pick them with byte shuffles. The index bytes come
// out last texel first (index_pairs of the big-endian word), texels column by column.

// For texel row r: the value of texel (x, r), byte 15 - (4x + r) of the sixteen, into byte
// `at` of texel word x; the other bytes 0.
struct EacPicks {
  alignas(16) uint8_t v[4][16];
};
constexpr EacPicks make_eac_picks(int at) {
  EacPicks p{};
  for (int r = 0; r < 4; ++r) {
    for (int k = 0; k < 16; ++k) p.v[r][k] = k % 4 == at ? static_cast<uint8_t>(15 - (4 * (k / 4) + r)) : 0x80;
  }
  return p;
}
constexpr EacPicks kEacRed = make_eac_picks(0), kEacGreen = make_eac_picks(1);

uint64_t eac_pairs(const uint8_t* block) { return index_pairs(load_be64(block) & 0xFFFFFFFFFFFFull); }
#endif

#if defined(__x86_64__)
#define QZI_SSSE3 __attribute__((target("ssse3")))

// The eight 8-bit values of an 11-bit block in the low bytes: 11-bit values in 16-bit lanes,
// then the rounded scaling in single precision (exact here: the scaled value is at least
// 0.5 / 2047 away from the next integer, the rounding error far below that).
QZI_SSSE3 inline __m128i eac_values_sse(const uint8_t* block, bool is_signed) {
  const int multiplier = block[1] >> 4;
  const __m128i mod = _mm_load_si128(reinterpret_cast<const __m128i*>(kEacModifiers[block[1] & 15]));
  const int base = is_signed ? (block[0] == 0x80 ? -127 : static_cast<int8_t>(block[0])) * 8 + 1023 : block[0] * 8 + 4;
  __m128i v = _mm_add_epi16(_mm_mullo_epi16(mod, _mm_set1_epi16(static_cast<short>(multiplier ? multiplier * 8 : 1))),
                            _mm_set1_epi16(static_cast<short>(base)));
  // Signed values are moved up by 1023 above: both forms clamp to 0 .. 2046 or 2047.
  v = _mm_min_epi16(_mm_max_epi16(v, _mm_setzero_si128()), _mm_set1_epi16(is_signed ? 2046 : 2047));
  const __m128 scale = _mm_set1_ps(255.0f), offset = _mm_set1_ps(1023.5f);
  const __m128 inverse = _mm_set1_ps(is_signed ? 1.0f / 2046 : 1.0f / 2047);
  const __m128 lo = _mm_cvtepi32_ps(_mm_unpacklo_epi16(v, _mm_setzero_si128()));
  const __m128 hi = _mm_cvtepi32_ps(_mm_unpackhi_epi16(v, _mm_setzero_si128()));
  const __m128i qlo = _mm_cvttps_epi32(_mm_mul_ps(_mm_add_ps(_mm_mul_ps(lo, scale), offset), inverse));
  const __m128i qhi = _mm_cvttps_epi32(_mm_mul_ps(_mm_add_ps(_mm_mul_ps(hi, scale), offset), inverse));
  const __m128i q = _mm_packs_epi32(qlo, qhi);
  return _mm_packus_epi16(q, q);
}

// The sixteen values of an 11-bit block, in index_pairs order.
QZI_SSSE3 inline __m128i eac_texels_sse(const uint8_t* block, bool is_signed) {
  const __m128i pairs = _mm_cvtsi64_si128(static_cast<long long>(eac_pairs(block)));
  const __m128i seven = _mm_set1_epi8(7);
  const __m128i idx = _mm_unpacklo_epi8(_mm_and_si128(pairs, seven), _mm_and_si128(_mm_srli_epi16(pairs, 3), seven));
  return _mm_shuffle_epi8(eac_values_sse(block, is_signed), idx);
}

QZI_SSSE3 inline __m128i pick(__m128i v, const uint8_t* shuffle) {
  return _mm_shuffle_epi8(v, _mm_load_si128(reinterpret_cast<const __m128i*>(shuffle)));
}

template <bool S>
QZI_SSSE3 void r11_ssse3(const uint8_t* b, int n, uint8_t* out) {
  const __m128i opaque = _mm_set1_epi32(static_cast<int>(0xFF000000u));
  for (int k = 0; k < n; ++k, b += 8, out += 64) {
    const __m128i red = eac_texels_sse(b, S);
    for (int r = 0; r < 4; ++r) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * r), _mm_or_si128(pick(red, kEacRed.v[r]), opaque));
    }
  }
}

template <bool S>
QZI_SSSE3 void rg11_ssse3(const uint8_t* b, int n, uint8_t* out) {
  const __m128i opaque = _mm_set1_epi32(static_cast<int>(0xFF000000u));
  for (int k = 0; k < n; ++k, b += 16, out += 64) {
    const __m128i red = eac_texels_sse(b, S), green = eac_texels_sse(b + 8, S);
    for (int r = 0; r < 4; ++r) {
      const __m128i rg = _mm_or_si128(pick(red, kEacRed.v[r]), pick(green, kEacGreen.v[r]));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * r), _mm_or_si128(rg, opaque));
    }
  }
}
#elif defined(__aarch64__)
// The eight values in general code, picked with table lookups.
uint8x16_t eac_texels_neon(const uint8_t* block, bool is_signed) {
  const int multiplier = block[1] >> 4;
  const int16_t* mod = kEacModifiers[block[1] & 15];
  uint8_t values[16] = {};
  for (int j = 0; j < 8; ++j) {
    const int m = multiplier ? mod[j] * multiplier * 8 : mod[j];
    if (is_signed) {
      const int base = block[0] == 0x80 ? -127 : static_cast<int8_t>(block[0]);
      int v = base * 8 + m;
      v = v < -1023 ? -1023 : v > 1023 ? 1023 : v;
      values[j] = static_cast<uint8_t>(((v + 1023) * 255 + 1023) / 2046);
    } else {
      int v = block[0] * 8 + 4 + m;
      v = v < 0 ? 0 : v > 2047 ? 2047 : v;
      values[j] = static_cast<uint8_t>((510 * v + 2047) / 4094);
    }
  }
  const uint8x8_t pairs = vcreate_u8(eac_pairs(block));
  const uint8x8x2_t z = vzip_u8(vand_u8(pairs, vdup_n_u8(7)), vshr_n_u8(pairs, 3));
  return vqtbl1q_u8(vld1q_u8(values), vcombine_u8(z.val[0], z.val[1]));
}

template <bool S>
void r11_neon(const uint8_t* b, int n, uint8_t* out) {
  const uint8x16_t opaque = vreinterpretq_u8_u32(vdupq_n_u32(0xFF000000u));
  for (int k = 0; k < n; ++k, b += 8, out += 64) {
    const uint8x16_t red = eac_texels_neon(b, S);
    for (int r = 0; r < 4; ++r) vst1q_u8(out + 16 * r, vorrq_u8(vqtbl1q_u8(red, vld1q_u8(kEacRed.v[r])), opaque));
  }
}

template <bool S>
void rg11_neon(const uint8_t* b, int n, uint8_t* out) {
  const uint8x16_t opaque = vreinterpretq_u8_u32(vdupq_n_u32(0xFF000000u));
  for (int k = 0; k < n; ++k, b += 16, out += 64) {
    const uint8x16_t red = eac_texels_neon(b, S), green = eac_texels_neon(b + 8, S);
    for (int r = 0; r < 4; ++r) {
      const uint8x16_t rg = vorrq_u8(vqtbl1q_u8(red, vld1q_u8(kEacRed.v[r])), vqtbl1q_u8(green, vld1q_u8(kEacGreen.v[r])));
      vst1q_u8(out + 16 * r, vorrq_u8(rg, opaque));
    }
  }
}
#endif

void one_or_two(uint8_t* rgba, bool green) {
  for (int k = 0; k < 16; ++k) {
    if (!green) rgba[4 * k + 1] = 0;
    rgba[4 * k + 2] = 0;
    rgba[4 * k + 3] = 255;
  }
}

}  // namespace

void eac11_signed_values(const uint8_t* block, int* values) {
  const Eac e = eac(block);
  const int base = block[0] == 0x80 ? -127 : static_cast<int8_t>(block[0]);
  for (int k = 0; k < 16; ++k) {
    const int v = base * 8 + (e.multiplier ? e.m[k] * e.multiplier * 8 : e.m[k]);
    values[k] = v < -1023 ? -1023 : v > 1023 ? 1023 : v;
  }
}

void eac11_unsigned_values(const uint8_t* block, int* values) {
  const Eac e = eac(block);
  for (int k = 0; k < 16; ++k) {
    const int v = e.base * 8 + 4 + (e.multiplier ? e.m[k] * e.multiplier * 8 : e.m[k]);
    values[k] = v < 0 ? 0 : v > 2047 ? 2047 : v;
  }
}

void etc2_rgb(const uint8_t* block, uint8_t* rgba) { etc2_colour(block, rgba, false); }
void etc2_rgb_a1(const uint8_t* block, uint8_t* rgba) { etc2_colour(block, rgba, true); }

void etc2_rgba(const uint8_t* block, uint8_t* rgba) {
  etc2_colour(block + 8, rgba, false);
  const Eac e = eac(block);
  for (int k = 0; k < 16; ++k) rgba[4 * k + 3] = static_cast<uint8_t>(clamp8(e.base + e.m[k] * e.multiplier));
}

void eac_r11(const uint8_t* block, uint8_t* rgba) {
  eac11(block, rgba, 0);
  one_or_two(rgba, false);
}

void eac_rg11(const uint8_t* block, uint8_t* rgba) {
  eac11(block, rgba, 0);
  eac11(block + 8, rgba, 1);
  one_or_two(rgba, true);
}

void eac_r11_signed(const uint8_t* block, uint8_t* rgba) {
  eac11_signed(block, rgba, 0);
  one_or_two(rgba, false);
}

void eac_rg11_signed(const uint8_t* block, uint8_t* rgba) {
  eac11_signed(block, rgba, 0);
  eac11_signed(block + 8, rgba, 1);
  one_or_two(rgba, true);
}

ChunkFn eac_chunk(int format, bool is_signed) {
  if (format != QZIPVR_FORMAT_EAC_R11 && format != QZIPVR_FORMAT_EAC_RG11) return nullptr;
  const bool two = format == QZIPVR_FORMAT_EAC_RG11;
#if defined(__x86_64__)
  if (!qzimg::kHaveSsse3) return nullptr;
  if (two) return is_signed ? rg11_ssse3<true> : rg11_ssse3<false>;
  return is_signed ? r11_ssse3<true> : r11_ssse3<false>;
#elif defined(__aarch64__)
  if (two) return is_signed ? rg11_neon<true> : rg11_neon<false>;
  return is_signed ? r11_neon<true> : r11_neon<false>;
#else
  (void)two;
  (void)is_signed;
  return nullptr;
#endif
}

}  // namespace qzipvr
