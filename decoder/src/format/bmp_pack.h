// Pixel packing of the BMP module's direct-colour forms: 4-byte and 16-bit pixels into the
// bitmap's 3-byte pixels, alpha samples into the scratch row, and stores that bypass the cache
// for large bitmaps. The dispatch is inline here; the SSSE3 and NEON kernels are in
// bmp_pack.cpp. Used by the row loops of bmp.cpp.
#ifndef QZIMGDECODER_FORMAT_BMP_PACK_H
#define QZIMGDECODER_FORMAT_BMP_PACK_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <emmintrin.h>
#endif

#include "internal.h"
#include "qzicpu.h"

namespace qzimgdecoder_bmp {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the pixel kernels store words little-endian");

inline uint32_t load16(const uint8_t* p) { return p[0] | (static_cast<uint32_t>(p[1]) << 8); }
inline uint32_t load32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// Bitmaps from this size on have left the caches before the caller reads them, so rows that
// are written whole may bypass the cache: the lines are then not fetched before they are
// overwritten. finish_stores() orders such stores before the bitmap is handed on.
const size_t kStreamBytes = size_t{8} << 20;

inline bool stream_stores(const QZIDECODER_IMPL* h) {
#if defined(__x86_64__)
  return static_cast<size_t>(h->width_bytes) * static_cast<size_t>(h->height) >= kStreamBytes;
#else
  (void)h;
  return false;
#endif
}

inline void finish_stores() {
#if defined(__x86_64__)
  _mm_sfence();
#endif
}

// Stores the 8 bytes at src to dst (8-byte aligned) around the cache; see kStreamBytes.
#if defined(__x86_64__)
inline void stream_store8(uint8_t* dst, const uint8_t* src) {
  long long v;
  std::memcpy(&v, src, 8);
  _mm_stream_si64(reinterpret_cast<long long*>(dst), v);
}
#endif

// Packing 4-byte pixels (blue, green, red, fourth byte) into the bitmap's 3-byte pixels is the
// hot step of every direct-colour form: byte shuffles of sixteen pixels at a time on x86-64
// processors that have SSSE3, a de-interleaving load and store per sixteen on arm64, byte by
// byte elsewhere. Every variant also returns a value that is not 0 exactly when a fourth byte
// is not 0: the 32-bit form learns whether it has alpha in the same pass over the pixels.
inline uint8_t pack_bgr_scalar(const uint8_t* src, uint8_t* dst, int n) {
  uint8_t fourth = 0;
  for (int i = 0; i < n; ++i) {
    dst[3 * i] = src[4 * i];
    dst[3 * i + 1] = src[4 * i + 1];
    dst[3 * i + 2] = src[4 * i + 2];
    fourth |= src[4 * i + 3];
  }
  return fourth;
}

#if defined(__x86_64__)
__attribute__((target("ssse3"))) uint8_t pack_bgr_ssse3(const uint8_t* src, uint8_t* dst, int n);
template <bool k565>
__attribute__((target("ssse3"))) uint32_t pack16_ssse3(const uint8_t* src, uint8_t* dst, int n);

inline uint8_t pack_bgr(const uint8_t* src, uint8_t* dst, int n) {
  return qzimg::kHaveSsse3 ? pack_bgr_ssse3(src, dst, n) : pack_bgr_scalar(src, dst, n);
}
#elif defined(__aarch64__)
uint8_t pack_bgr_neon(const uint8_t* src, uint8_t* dst, int n);

inline uint8_t pack_bgr(const uint8_t* src, uint8_t* dst, int n) { return pack_bgr_neon(src, dst, n); }
#else
inline uint8_t pack_bgr(const uint8_t* src, uint8_t* dst, int n) { return pack_bgr_scalar(src, dst, n); }
#endif

// Writes n pixels, each given by px(i) as a 0x00RRGGBB word, as blue, green, red bytes: the
// words are computed in blocks (a loop the compiler vectorises) and then packed.
template <typename Px>
inline void put_bgr(uint8_t* dst, int n, Px px) {
  const int kBlock = 512;
  uint32_t words[kBlock];
  for (int base = 0; base < n; base += kBlock) {
    const int k = std::min(kBlock, n - base);
    for (int i = 0; i < k; ++i) words[i] = px(base + i);
    pack_bgr(reinterpret_cast<const uint8_t*>(words), dst + 3 * base, k);
  }
}

// 16-bit pixels of 5-5-5 (top bit: alpha) or 5-6-5 layout as 0x00RRGGBB words; each field
// stands in the top bits of its byte.
template <bool k565>
inline uint32_t word16(uint32_t v) {
  return k565 ? ((v & 0x1F) << 3) | ((v & 0x7E0) << 5) | ((v & 0xF800) << 8)
              : ((v & 0x1F) << 3) | ((v & 0x3E0) << 6) | ((v & 0x7C00) << 9);
}

// Writes n 16-bit pixels as blue, green, red bytes and returns their OR masked to the top bit
// (the alpha bit of 5-5-5 pixels). With SSSE3 sixteen pixels are widened and packed in
// registers, without going through a block of words.
template <bool k565>
inline uint32_t pack16_generic(const uint8_t* src, uint8_t* dst, int n) {
  uint32_t top = 0;
  put_bgr(dst, n, [src, &top](int i) {
    const uint32_t v = load16(src + 2 * i);
    top |= v;
    return word16<k565>(v);
  });
  return top & 0x8000;
}

#if defined(__x86_64__)
template <bool k565>
inline uint32_t pack16(const uint8_t* src, uint8_t* dst, int n) {
  return qzimg::kHaveSsse3 ? pack16_ssse3<k565>(src, dst, n) : pack16_generic<k565>(src, dst, n);
}
#else
template <bool k565>
inline uint32_t pack16(const uint8_t* src, uint8_t* dst, int n) {
  return pack16_generic<k565>(src, dst, n);
}
#endif

// Writes n alpha samples alpha(i) and returns their OR.
template <typename A>
inline uint8_t put_alpha(uint8_t* dst, int n, A alpha) {
  uint8_t any = 0;
  for (int i = 0; i < n; ++i) {
    const uint8_t v = alpha(i);
    dst[i] = v;
    any |= v;
  }
  return any;
}

}  // namespace qzimgdecoder_bmp

#endif  // QZIMGDECODER_FORMAT_BMP_PACK_H
