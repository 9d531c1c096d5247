// BMP/DIB decoder (format 104).
//
// Accepted input:
// - A "BM" file header at stream position 0, 64 or 128 (files with a fixed-size prefix);
//   every offset in the file counts from that signature.
// - Optionally an OS/2 bitmap array in front: a chain of "BA" entries whose last entry's
//   image is decoded. A chain that comes back to an entry already visited, or has more
//   than 64 entries, is refused, so the reader never loops.
// - Information headers of 12 (OS/2 1.x, signed 16-bit height: negative is top-down), 16,
//   36, 40, 56, 64 (OS/2 2.x), 108 and 124 bytes; any other size above 40 is read as the
//   40-byte form and its tail skipped. Heights are unsigned outside the 12-byte form, so a
//   negative (top-down) height there is out of range.
// - Bit counts and compressions: 1, 2, 4, 8 with a palette; RLE8 (8/1), RLE4 (4/2) and
//   the 1-bit run-length form (1/2, the 4-bit codes with one bit per nibble); 16 as 5-5-5
//   with a 1-bit alpha (0), "R565" or bit fields (3); 24; 32 as blue-green-red-alpha
//   bytes (0) or bit fields (3). Everything else is refused.
// Colour channels narrower than 8 bits stand in the top bits of their byte (31 -> 248);
// only alpha is widened to the full byte. The fourth palette byte is the entry's alpha.
//
// Speed: the pixel loops work on whole runs of the reader's buffer, rows whose file layout
// already is the bitmap's (8 and 24 bits) are read straight into the bitmap row, and
// direct-colour pixels are packed four at a time with SSSE3 where the processor has it.
// The module holds no working buffers of its own: rows are assembled in the bitmap, the
// line buffer or the scratch area of the work buffer.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include <tmmintrin.h>

#include "../internal.h"

namespace qzimgdecoder_bmp {

using namespace qzimgdecoder;
using qzimg::error_abort;

const uint64_t BI_RGB = 0;
const uint64_t BI_RLE8 = 1;
const uint64_t BI_RLE4 = 2;
const uint64_t BI_BITFIELDS = 3;
const uint64_t BI_R565 = 0x35363552;  // the file bytes "R565"

const int MAX_SIDE = 12800;
const int MAX_ARRAY_ENTRIES = 64;

struct QZIDEC_BMP {
  QZIDECODER_IMPL* impl;
  uint64_t off_bits;
  int32_t width;
  int32_t height;
  int32_t bit_count;
  uint64_t compression;
  int32_t core_header;
  uint64_t colors_used;
  uint64_t mask[4];  // red, green, blue, alpha
  int32_t top_down;
  int32_t masks_in_header;
  bool keep_alpha;
  uint32_t palette_alpha_mode;
  uint32_t pixel_alpha_mode;
};

namespace {

// ---------------------------------------------------------------------------------------
// Reading in runs of the reader's buffer. These consume exactly what get_byte would, and
// raise QZIERR_READ where it would, but touch the buffer once per run instead of per byte.

inline void consume(QZIDECODER_IMPL* h, uint32_t n) {
  h->rd_index += n;
  h->rd_remain -= n;
  h->rd_pos += n;
}

inline uint8_t next_byte(QZIDECODER_IMPL* h) {
  const int c = get_byte_fast(h);
  if (c < 0) error_abort(QZIERR_READ);
  return static_cast<uint8_t>(c);
}

// Calls f(byte) for each of the next n input bytes.
template <typename F>
inline void for_each_byte(QZIDECODER_IMPL* h, uint32_t n, F f) {
  while (n != 0) {
    const uint32_t k = std::min(h->rd_remain, n);
    if (k == 0) {
      f(next_byte(h));  // refills the buffer, or raises at the end of the data
      --n;
      continue;
    }
    const uint8_t* p = h->rd_buf + h->rd_index;
    for (uint32_t i = 0; i < k; ++i) f(p[i]);
    consume(h, k);
    n -= k;
  }
}

// Calls f(x, p, n) over `count` units of U bytes: n whole units at p, for pixels x to
// x + n - 1, as long runs of the buffer; a unit that straddles a refill is gathered byte by
// byte and handed on alone.
template <int U, typename F>
inline void for_each_run(QZIDECODER_IMPL* h, int count, F f) {
  int x = 0;
  while (x < count) {
    const int k = static_cast<int>(std::min<int64_t>(count - x, h->rd_remain / U));
    if (k == 0) {
      uint8_t unit[U];
      for (int b = 0; b < U; ++b) unit[b] = next_byte(h);
      f(x, unit, 1);
      ++x;
      continue;
    }
    f(x, h->rd_buf + h->rd_index, k);
    consume(h, static_cast<uint32_t>(k) * U);
    x += k;
  }
}

void skip_bytes(QZIDECODER_IMPL* h, uint64_t n) {
  while (n != 0) {
    const uint32_t k = static_cast<uint32_t>(std::min<uint64_t>(h->rd_remain, n));
    if (k == 0) {
      next_byte(h);
      --n;
      continue;
    }
    consume(h, k);
    n -= k;
  }
}

void copy_bytes(QZIDECODER_IMPL* h, uint8_t* dst, uint32_t n) {
  while (n != 0) {
    const uint32_t k = std::min(h->rd_remain, n);
    if (k == 0) {
      *dst++ = next_byte(h);
      --n;
      continue;
    }
    std::memcpy(dst, h->rd_buf + h->rd_index, k);
    consume(h, k);
    dst += k;
    n -= k;
  }
}

// One row in one piece: a short read means the input ended inside the row.
void read_row(QZIDECODER_IMPL* h, uint8_t* dst, uint32_t n) {
  if (get_read(h, dst, n) != n) error_abort(QZIERR_READ);
}

inline uint32_t row_padding(uint64_t stored_bytes) { return static_cast<uint32_t>((4 - stored_bytes % 4) % 4); }

inline int mask_shift(uint32_t m) { return m ? __builtin_clz(m) : 0; }
inline uint8_t channel(uint32_t p, uint32_t m, int s) { return static_cast<uint8_t>(((p & m) << s) >> 24); }

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the pixel kernels store words little-endian");

inline uint32_t load16(const uint8_t* p) { return p[0] | (static_cast<uint32_t>(p[1]) << 8); }
inline uint32_t load32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// Packing 4-byte pixels (blue, green, red, anything) into the bitmap's 3-byte pixels is the
// hot step of every direct-colour form: one byte shuffle per four pixels where the processor
// has one, byte by byte otherwise. The test runs in a static initialiser, possibly before the
// runtime has probed the processor, hence the explicit probe.
const bool kHaveSsse3 = (__builtin_cpu_init(), __builtin_cpu_supports("ssse3"));

inline void pack_bgr_scalar(const uint8_t* src, uint8_t* dst, int n) {
  for (int i = 0; i < n; ++i) {
    dst[3 * i] = src[4 * i];
    dst[3 * i + 1] = src[4 * i + 1];
    dst[3 * i + 2] = src[4 * i + 2];
  }
}

// Writes exactly 3 * n bytes: each 16-byte store covers four pixels and 4 bytes that the next
// store overwrites, so the last stores are left to the scalar tail.
__attribute__((target("ssse3"))) void pack_bgr_ssse3(const uint8_t* src, uint8_t* dst, int n) {
  const __m128i order = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
  int i = 0;
  for (; i + 6 <= n; i += 4) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 4 * i));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 3 * i), _mm_shuffle_epi8(v, order));
  }
  pack_bgr_scalar(src + 4 * i, dst + 3 * i, n - i);
}

inline void pack_bgr(const uint8_t* src, uint8_t* dst, int n) {
  if (kHaveSsse3)
    pack_bgr_ssse3(src, dst, n);
  else
    pack_bgr_scalar(src, dst, n);
}

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

// ---------------------------------------------------------------------------------------
// Widening tables of the packed palette forms: pixel 0 is the most significant field.

struct Expand1 {
  uint8_t px[256][8];
  Expand1() {
    for (int b = 0; b < 256; ++b)
      for (int i = 0; i < 8; ++i) px[b][i] = static_cast<uint8_t>((b >> (7 - i)) & 1);
  }
};

struct Expand2 {
  uint8_t px[256][4];
  Expand2() {
    for (int b = 0; b < 256; ++b)
      for (int i = 0; i < 4; ++i) px[b][i] = static_cast<uint8_t>((b >> (6 - 2 * i)) & 3);
  }
};

const Expand1 expand1;
const Expand2 expand2;

}  // namespace

// ---------------------------------------------------------------------------------------
// Headers

int bmp_id_check(QZIDEC_BMP* bmp) {
  QZIDECODER_IMPL* h = bmp->impl;
  const int b0 = get_byte(h);
  const int b1 = get_byte(h);
  if (b0 == 'B' && b1 == 'M') return 1;
  if (b0 == 'B' && b1 == 'A') return 2;
  return 0;
}

namespace {

void check_side(uint32_t v) {
  if (v < 1 || v > static_cast<uint32_t>(MAX_SIDE)) error_abort(QZIERR_IMAGE_SIZE);
}

void check_bit_count(uint32_t bits) {
  switch (bits) {
    case 1: case 2: case 4: case 8: case 16: case 24: case 32:
      return;
    default:
      error_abort(QZIERR_UNSUPPORTED);
  }
}

// Follows the bitmap-array chain from the first "BA" (already consumed) to the "BM" of
// its last entry.
void follow_bitmap_array(QZIDEC_BMP* bmp) {
  QZIDECODER_IMPL* h = bmp->impl;
  uint32_t visited[MAX_ARRAY_ENTRIES];
  int entries = 0;
  visited[entries++] = 0;
  if (get_long(h) != 40) error_abort(QZIERR_UNSUPPORTED);
  uint32_t next = get_long(h);
  while (next != 0) {
    for (int i = 0; i < entries; ++i)
      if (visited[i] == next) error_abort(QZIERR_UNSUPPORTED);
    if (entries == MAX_ARRAY_ENTRIES) error_abort(QZIERR_UNSUPPORTED);
    visited[entries++] = next;
    rdpos_set(h, next);
    if (bmp_id_check(bmp) != 2) error_abort(QZIERR_UNSUPPORTED);
    if (get_long(h) != 40) error_abort(QZIERR_UNSUPPORTED);
    next = get_long(h);
  }
  get_word(h);  // display width and height
  get_word(h);
  if (bmp_id_check(bmp) != 1) error_abort(QZIERR_UNSUPPORTED);
}

void read_masks(QZIDEC_BMP* bmp) {
  QZIDECODER_IMPL* h = bmp->impl;
  for (int i = 0; i < 4; ++i) bmp->mask[i] = get_long(h);
  bmp->masks_in_header = 1;
}

}  // namespace

void load_header(QZIDEC_BMP* bmp) {
  QZIDECODER_IMPL* h = bmp->impl;
  set_byte_order(h, false);

  static const int origins[] = {0, 64, 128};
  int id = 0;
  for (int origin : origins) {
    rdpos_set_skip(h, origin);
    id = bmp_id_check(bmp);
    if (id != 0) break;
  }
  if (id == 0) error_abort(QZIERR_UNSUPPORTED);
  if (id == 2) follow_bitmap_array(bmp);

  get_long(h);  // file size
  get_word(h);  // reserved
  get_word(h);
  bmp->off_bits = get_long(h);
  bmp->compression = 0;
  bmp->colors_used = 0;
  bmp->core_header = 0;
  bmp->masks_in_header = 0;

  const uint32_t size = get_long(h);
  if (size < 41 && size != 12 && size != 16 && size != 36 && size != 40) error_abort(QZIERR_UNSUPPORTED);

  bmp->top_down = 0;
  if (size == 12) {
    const uint32_t width = get_word(h);
    check_side(width);
    bmp->width = static_cast<int32_t>(width);
    int32_t height = static_cast<int16_t>(get_word(h));
    if (height < 0) {
      bmp->top_down = 1;
      height = -height;
    }
    check_side(static_cast<uint32_t>(height));
    bmp->height = height;
    vcheck(1, static_cast<int>(get_word(h)), 1);
    const uint32_t bits = get_word(h);
    check_bit_count(bits);
    bmp->bit_count = static_cast<int32_t>(bits);
    bmp->core_header = 1;
  } else {
    const uint32_t width = get_long(h);
    check_side(width);
    bmp->width = static_cast<int32_t>(width);
    const uint32_t height = get_long(h);
    check_side(height);
    bmp->height = static_cast<int32_t>(height);
    vcheck(1, static_cast<int>(get_word(h)), 1);
    const uint32_t bits = get_word(h);
    check_bit_count(bits);
    bmp->bit_count = static_cast<int32_t>(bits);
    if (size == 64) {
      bmp->compression = get_long(h);
      skip_bytes(h, 5 * 4 + 4 * 2 + 4 * 4);  // colours used is not taken from this form
    } else if (size != 16) {
      bmp->compression = get_long(h);
      get_long(h);  // image size
      get_long(h);  // resolutions
      get_long(h);
      bmp->colors_used = get_long(h);
      if (size >= 40) get_long(h);  // colours important
      if (size == 56 || size == 108 || size == 124) {
        read_masks(bmp);
        skip_bytes(h, size - 56);
      } else if (size > 40) {
        skip_bytes(h, size - 40);
      }
    }
  }

  if (bmp->bit_count == 16 && bmp->compression == BI_RGB) {
    set_size(h, bmp->width, bmp->height, 15, 0);
  } else {
    set_size(h, bmp->width, bmp->height, bmp->bit_count, static_cast<int>(static_cast<uint32_t>(bmp->colors_used)));
  }
  // Header form and compression (the 12-byte form has none, but a direction): a decode must
  // find what the probe accepted.
  confirm_variant(h, static_cast<uint64_t>(size) << 32 | (bmp->core_header ? bmp->top_down : bmp->compression));
  init_rgb(h, 8);
}

void get_rgb_mask(QZIDEC_BMP* bmp) {
  if (bmp->masks_in_header) return;
  for (uint64_t& m : bmp->mask) m = 0;
  if (bmp->compression == BI_BITFIELDS) {
    QZIDECODER_IMPL* h = bmp->impl;
    for (int i = 0; i < 3; ++i) bmp->mask[i] = get_long(h);
  }
}

// ---------------------------------------------------------------------------------------
// Row output

namespace {

inline int image_row(const QZIDEC_BMP* bmp, int y) { return bmp->top_down ? y : bmp->height - 1 - y; }

// Progress for stored row y, which has been written into the bitmap already.
inline void row_done(QZIDEC_BMP* bmp, int y) { qzimg::do_progress(bmp->impl, y, bmp->impl->height); }

}  // namespace

void put_bmp_line(QZIDEC_BMP* bmp, int y) {
  put_line(bmp->impl, image_row(bmp, y));
  row_done(bmp, y);
}

// Widens an alpha sample whose top bits hold the field of `mask` to a full byte by repeating
// the field downwards. The field width is counted from the mask's highest to its lowest set
// bit, so a mask with holes (0xA0000000: width 3) repeats its whole span, holes included;
// the result is always a byte.
void normalize_8bit(QZIDEC_BMP* /*bmp*/, unsigned char* sample, unsigned int mask) {
  if (mask == 0) {
    *sample = 0;
    return;
  }
  const int width = (31 - __builtin_clz(mask)) - __builtin_ctz(mask) + 1;
  if (width >= 8) return;
  const unsigned v = *sample;
  unsigned r = v;
  for (int shift = width; shift < 8; shift += width) r |= v >> shift;
  *sample = static_cast<unsigned char>(r);
}

namespace {

// The alpha samples of one row are gathered in the scratch area and copied to the alpha
// row only when one of them is not 0: the alpha bitmap starts zero-filled, so the plane
// ends up the same, and files whose alpha is all 0 never touch the plane.
struct AlphaRow {
  uint8_t* scratch;
  uint8_t* row = nullptr;
};

inline void flush_alpha(AlphaRow& a, int width, uint8_t row_or, uint8_t* any_alpha) {
  if (a.row && row_or) std::memcpy(a.row, a.scratch, static_cast<size_t>(width));
  *any_alpha |= row_or;
}

// ---------------------------------------------------------------------------------------
// Uncompressed palette forms: rows go straight into the bitmap.

// 1- and 2-bit rows: each byte widens to kPerByte pixels through its table.
template <int kPerByte, typename Table>
void decode_packed(QZIDEC_BMP* bmp, const Table& table) {
  QZIDECODER_IMPL* h = bmp->impl;
  const int w = bmp->width;
  const uint32_t n = static_cast<uint32_t>((w + kPerByte - 1) / kPerByte);
  for (int y = 0; y < bmp->height; ++y) {
    uint8_t* dst = y_adr(h, image_row(bmp, y));
    int x = 0;
    for_each_byte(h, n, [&](uint8_t b) {
      const int k = std::min(kPerByte, w - x);
      if (k == kPerByte)
        std::memcpy(dst + x, table.px[b], kPerByte);  // a constant size the compiler inlines
      else
        std::memcpy(dst + x, table.px[b], static_cast<size_t>(k));
      x += k;
    });
    skip_bytes(h, row_padding(n));
    row_done(bmp, y);
  }
}

void decode_pal4(QZIDEC_BMP* bmp) {
  QZIDECODER_IMPL* h = bmp->impl;
  const int w = bmp->width;
  const uint32_t n = static_cast<uint32_t>((w + 1) / 2);
  for (int y = 0; y < bmp->height; ++y) {
    uint8_t* dst = y_adr(h, image_row(bmp, y));
    uint8_t* p = dst;
    for_each_byte(h, n, [&](uint8_t b) {
      p[0] = static_cast<uint8_t>(b >> 4);
      p[1] = static_cast<uint8_t>(b & 15);
      p += 2;
    });
    // An odd width has written one pixel too many: the low nibble of the last byte is not
    // part of the picture, and the bitmap row's padding stays 0.
    if (w & 1) dst[w] = 0;
    skip_bytes(h, row_padding(n));
    row_done(bmp, y);
  }
}

void decode_pal8(QZIDEC_BMP* bmp) {
  QZIDECODER_IMPL* h = bmp->impl;
  const uint32_t n = static_cast<uint32_t>(bmp->width);
  const uint32_t pad = row_padding(n);
  for (int y = 0; y < bmp->height; ++y) {
    read_row(h, y_adr(h, image_row(bmp, y)), n);
    skip_bytes(h, pad);
    row_done(bmp, y);
  }
}

// ---------------------------------------------------------------------------------------
// Direct-colour forms. Each returns the OR of every alpha sample written.

uint8_t decode_rgb24(QZIDEC_BMP* bmp) {
  QZIDECODER_IMPL* h = bmp->impl;
  const uint32_t n = 3u * static_cast<uint32_t>(bmp->width);
  const uint32_t pad = row_padding(n);
  for (int y = 0; y < bmp->height; ++y) {
    read_row(h, y_adr(h, image_row(bmp, y)), n);
    skip_bytes(h, pad);
    row_done(bmp, y);
  }
  return 0;
}

uint8_t decode_rgb32(QZIDEC_BMP* bmp) {
  QZIDECODER_IMPL* h = bmp->impl;
  const int w = bmp->width;
  uint8_t any = 0;
  AlphaRow a{h->work_buf.get()};
  for (int y = 0; y < bmp->height; ++y) {
    const int r = image_row(bmp, y);
    uint8_t* dst = y_adr(h, r);
    a.row = alpha_y_adr(h, r);
    uint8_t* scratch = a.scratch;
    uint8_t row_or = 0;
    for_each_run<4>(h, w, [&](int x, const uint8_t* p, int n) {
      pack_bgr(p, dst + 3 * x, n);
      row_or |= put_alpha(scratch + x, n, [p](int i) { return p[4 * i + 3]; });
    });
    if (a.row) flush_alpha(a, w, row_or, &any);
    row_done(bmp, y);
  }
  return any;
}

uint8_t decode_rgb555(QZIDEC_BMP* bmp) {
  QZIDECODER_IMPL* h = bmp->impl;
  const int w = bmp->width;
  const uint32_t pad = row_padding(2u * static_cast<uint32_t>(w));
  uint8_t any = 0;
  AlphaRow a{h->work_buf.get()};
  for (int y = 0; y < bmp->height; ++y) {
    const int r = image_row(bmp, y);
    uint8_t* dst = y_adr(h, r);
    a.row = alpha_y_adr(h, r);
    uint8_t* scratch = a.scratch;
    uint8_t row_or = 0;
    for_each_run<2>(h, w, [&](int x, const uint8_t* p, int n) {
      put_bgr(dst + 3 * x, n, [p](int i) {
        const uint32_t v = load16(p + 2 * i);
        return ((v & 0x1F) << 3) | ((v & 0x3E0) << 6) | ((v & 0x7C00) << 9);
      });
      row_or |= put_alpha(scratch + x, n, [p](int i) { return static_cast<uint8_t>((p[2 * i + 1] >> 7) * 255); });
    });
    if (a.row) flush_alpha(a, w, row_or, &any);
    skip_bytes(h, pad);
    row_done(bmp, y);
  }
  return any;
}

uint8_t decode_rgb565(QZIDEC_BMP* bmp) {
  QZIDECODER_IMPL* h = bmp->impl;
  const int w = bmp->width;
  const uint32_t pad = row_padding(2u * static_cast<uint32_t>(w));
  for (int y = 0; y < bmp->height; ++y) {
    uint8_t* dst = y_adr(h, image_row(bmp, y));
    for_each_run<2>(h, w, [&](int x, const uint8_t* p, int n) {
      put_bgr(dst + 3 * x, n, [p](int i) {
        const uint32_t v = load16(p + 2 * i);
        return ((v & 0x1F) << 3) | ((v & 0x7E0) << 5) | ((v & 0xF800) << 8);
      });
    });
    skip_bytes(h, pad);
    row_done(bmp, y);
  }
  return 0;
}

// Bit fields of 16 or 32 bits per pixel (U bytes). `m` holds red, green, blue and alpha.
template <int U>
uint8_t decode_bitfields(QZIDEC_BMP* bmp, const uint32_t m[4]) {
  QZIDECODER_IMPL* h = bmp->impl;
  const int w = bmp->width;
  const int sr = mask_shift(m[0]), sg = mask_shift(m[1]), sb = mask_shift(m[2]), sa = mask_shift(m[3]);
  uint8_t widen[256];
  for (int v = 0; v < 256; ++v) {
    widen[v] = static_cast<uint8_t>(v);
    normalize_8bit(bmp, &widen[v], m[3]);
  }
  const uint32_t pad = U == 2 ? row_padding(2u * static_cast<uint32_t>(w)) : 0;
  // Masks of whole bytes in blue, green, red order: the colour bytes are the pixel's own.
  const bool bytes_aligned = U == 4 && m[0] == 0x00FF0000 && m[1] == 0x0000FF00 && m[2] == 0x000000FF;
  uint8_t any = 0;
  AlphaRow a{h->work_buf.get()};
  for (int y = 0; y < bmp->height; ++y) {
    const int r = image_row(bmp, y);
    uint8_t* dst = y_adr(h, r);
    a.row = m[3] ? alpha_y_adr(h, r) : nullptr;
    uint8_t* scratch = a.scratch;
    uint8_t row_or = 0;
    const auto pixel = [](const uint8_t* p) { return U == 2 ? load16(p) : load32(p); };
    for_each_run<U>(h, w, [&](int x, const uint8_t* p, int n) {
      if (bytes_aligned) {
        pack_bgr(p, dst + 3 * x, n);
        if (a.row) row_or |= put_alpha(scratch + x, n, [&](int i) { return widen[channel(pixel(p + U * i), m[3], sa)]; });
        return;
      }
      put_bgr(dst + 3 * x, n, [&](int i) {
        const uint32_t v = pixel(p + U * i);
        return channel(v, m[2], sb) | (static_cast<uint32_t>(channel(v, m[1], sg)) << 8) |
               (static_cast<uint32_t>(channel(v, m[0], sr)) << 16);
      });
      if (a.row) row_or |= put_alpha(scratch + x, n, [&](int i) { return widen[channel(pixel(p + U * i), m[3], sa)]; });
    });
    if (a.row) flush_alpha(a, w, row_or, &any);
    skip_bytes(h, pad);
    row_done(bmp, y);
  }
  return any;
}

// ---------------------------------------------------------------------------------------
// Run-length forms. Rows are assembled in the line buffer, one palette index per pixel.
// Every hand-on clears the row from x to its end first (end of row, end of picture, moves
// downwards), so no row shows what an earlier row left in the buffer.

struct RleLine {
  QZIDEC_BMP* bmp;
  uint8_t* line;
  int width;
  int padding = qziWidthBytes(width) - width;  // bytes of the bitmap row behind the pixels
  int x = 0;
  int y = 0;

  void store(uint8_t v) {
    if (x < width) line[x++] = v;
  }
  // n pixels (n <= width - x) alternating between a and b, starting with a. Whole 8-byte
  // words are written, so up to 7 bytes past the run change too: the line buffer is at least
  // 3 * width + 16 bytes long, later codes or the clear before the hand-on overwrite them
  // inside the row, and hand_on restores the row padding behind the width.
  void fill(int n, uint8_t a, uint8_t b) {
    const uint64_t pattern = (a | (static_cast<uint64_t>(b) << 8)) * 0x0001000100010001ull;
    uint8_t* dst = line + x;
    for (int i = 0; i < n; i += 8) std::memcpy(dst + i, &pattern, 8);
    x += n;
  }
  void clear_from() { std::memset(line + x, 0, static_cast<size_t>(width - x)); }
  void clear_before() { std::memset(line, 0, static_cast<size_t>(x)); }
  void skip(int dx) {
    const int n = std::min(dx, width - x);
    std::memset(line + x, 0, static_cast<size_t>(n));
    x += n;
  }
  // Clears from x and hands the row on; true when that was the last row.
  bool hand_on() {
    clear_from();
    std::memset(line + width, 0, static_cast<size_t>(padding));
    put_bmp_line(bmp, y);
    return ++y == bmp->height;
  }
};

void decode_rle8(QZIDEC_BMP* bmp) {
  QZIDECODER_IMPL* h = bmp->impl;
  RleLine r{bmp, h->line_buf, bmp->width};
  for (;;) {
    const int k = next_byte(h);
    if (k != 0) {
      const uint8_t v = next_byte(h);
      r.fill(std::min(k, r.width - r.x), v, v);
      continue;
    }
    const int e = next_byte(h);
    if (e == 0) {
      if (r.hand_on()) return;
      r.x = 0;
    } else if (e == 1) {
      r.hand_on();
      return;
    } else if (e == 2) {
      r.skip(next_byte(h));
      for (int dy = next_byte(h); dy > 0; --dy) {
        if (r.hand_on()) return;
        r.clear_before();
      }
    } else {
      const int n = std::min(e, r.width - r.x);
      copy_bytes(h, r.line + r.x, static_cast<uint32_t>(n));
      r.x += n;
      skip_bytes(h, static_cast<uint32_t>(e - n + (e & 1)));
    }
  }
}

void decode_rle4(QZIDEC_BMP* bmp) {
  QZIDECODER_IMPL* h = bmp->impl;
  RleLine r{bmp, h->line_buf, bmp->width};
  for (;;) {
    const int k = next_byte(h);
    const int v = next_byte(h);
    if (k != 0) {
      r.fill(std::min(k, r.width - r.x), static_cast<uint8_t>(v >> 4), static_cast<uint8_t>(v & 15));
      continue;
    }
    if (v == 0) {
      if (r.hand_on()) return;
      r.x = 0;
    } else if (v == 1) {
      r.hand_on();
      return;
    } else if (v == 2) {
      r.skip(next_byte(h));
      for (int dy = next_byte(h); dy > 0; --dy) {
        if (r.y >= bmp->height - 1) break;  // no move below the last row
        r.hand_on();
        r.clear_before();
      }
    } else {
      const uint32_t bytes = static_cast<uint32_t>((v + 1) / 2);
      int left = v;
      for_each_byte(h, bytes, [&](uint8_t b) {
        r.store(static_cast<uint8_t>(b >> 4));
        if (--left > 0) {
          r.store(static_cast<uint8_t>(b & 15));
          --left;
        }
      });
      if (bytes & 1) next_byte(h);
    }
  }
}

void decode_rle1(QZIDEC_BMP* bmp) {
  QZIDECODER_IMPL* h = bmp->impl;
  RleLine r{bmp, h->line_buf, bmp->width};
  while (r.y < bmp->height) {
    r.x = 0;
    for (;;) {
      const int k = next_byte(h);
      const int v = next_byte(h);
      if (k != 0) {
        r.fill(std::min(k, r.width - r.x), static_cast<uint8_t>((v >> 4) & 1), static_cast<uint8_t>(v & 1));
      } else if (v == 0) {
        r.hand_on();
        break;
      } else {
        const uint32_t bytes = static_cast<uint32_t>((v + 1) / 2);
        int left = v;
        for_each_byte(h, bytes, [&](uint8_t b) {
          r.store(static_cast<uint8_t>((b >> 4) & 1));
          if (--left > 0) {
            r.store(static_cast<uint8_t>(b & 1));
            --left;
          }
        });
        if (bytes & 1) next_byte(h);
      }
    }
  }
}

// ---------------------------------------------------------------------------------------
// Alpha decision and delivery

bool keep_plane_palette(const QZIDEC_BMP* bmp, uint32_t count) {
  switch (bmp->palette_alpha_mode) {
    case QZIDEC_BMP_ALPHA_NEVER:
      return false;
    case QZIDEC_BMP_ALPHA_ALWAYS:
      return true;
    default:
      if (bmp->core_header) return false;
      for (uint32_t i = 0; i < count; ++i)
        if (bmp->impl->rgb_alpha[i] != 0) return true;
      return false;
  }
}

// `alpha_mask` is the alpha mask the pass decoded with (0 for forms without one);
// `any_alpha` the OR of every alpha sample it wrote into the plane.
bool keep_plane_pixels(const QZIDEC_BMP* bmp, uint32_t alpha_mask, uint8_t any_alpha) {
  const bool bitfields = bmp->compression == BI_BITFIELDS;
  switch (bmp->pixel_alpha_mode) {
    case QZIDEC_BMP_ALPHA_NEVER:
      return false;
    case QZIDEC_BMP_ALPHA_ALWAYS:
      return bmp->bit_count == 32 || (bitfields && alpha_mask != 0) ||
             (bmp->bit_count == 16 && bmp->compression == BI_RGB);
    default:
      if (bmp->bit_count == 24) return false;
      if (bmp->bit_count == 16 && (bmp->compression == BI_R565 || (bitfields && alpha_mask == 0))) return false;
      // The plane holds exactly the samples written (it starts zero-filled), so their OR
      // answers whether any byte of it is not 0.
      return bmp->impl->bia != nullptr && any_alpha != 0;
  }
}

void deliver(QZIDEC_BMP* bmp, bool with_plane) {
  QZIDECODER_IMPL* h = bmp->impl;
  if (!with_plane) {
    reset_alpha(h);
  } else if (h->bpp <= 8) {
    // The alpha bitmap's grey table carries each palette entry's alpha: its pixels are the
    // picture's palette indices.
    for (int r = 0; r < bmp->height; ++r) {
      uint8_t* dst = alpha_y_adr(h, r);
      if (!dst) break;
      std::memcpy(dst, y_adr(h, r), static_cast<size_t>(bmp->width));
    }
  }
  call_singleimage_layercallback(h, 0);
}

void decode_pass(QZIDEC_BMP* bmp) {
  QZIDECODER_IMPL* h = bmp->impl;
  load_header(bmp);
  set_alpha(h, 1);
  const int bits = bmp->bit_count;
  const uint64_t comp = bmp->compression;

  if (bits <= 8) {
    const uint64_t full = 1u << bits;
    uint64_t count = (bmp->colors_used >= 1 && bmp->colors_used < full) ? bmp->colors_used : full;
    // A table never reaches into the pixel data: read only the entries that fit between
    // the header and the pixel offset.
    const uint64_t here = rdpos_get(h);
    const uint64_t entry = bmp->core_header ? 3 : 4;
    if (bmp->off_bits >= here) count = std::min(count, (bmp->off_bits - here) / entry);
    get_rgb(h, static_cast<int>(count), 1, bmp->core_header ? 0 : 1);
    rdpos_set(h, static_cast<unsigned int>(bmp->off_bits));
    if (comp == BI_RGB) {
      switch (bits) {
        case 1: decode_packed<8>(bmp, expand1); break;
        case 2: decode_packed<4>(bmp, expand2); break;
        case 4: decode_pal4(bmp); break;
        default: decode_pal8(bmp); break;
      }
    } else if (bits == 8 && comp == BI_RLE8) {
      decode_rle8(bmp);
    } else if (bits == 4 && comp == BI_RLE4) {
      decode_rle4(bmp);
    } else if (bits == 1 && comp == BI_RLE4) {
      decode_rle1(bmp);
    } else {
      error_abort(QZIERR_UNSUPPORTED);
    }
    deliver(bmp, bmp->keep_alpha || keep_plane_palette(bmp, static_cast<uint32_t>(count)));
    return;
  }

  if (bits == 16 || bits == 32) get_rgb_mask(bmp);
  rdpos_set(h, static_cast<unsigned int>(bmp->off_bits));
  uint8_t any_alpha = 0;
  uint32_t alpha_mask = 0;
  if (bits == 24 && comp == BI_RGB) {
    any_alpha = decode_rgb24(bmp);
  } else if (bits == 32 && comp == BI_RGB) {
    any_alpha = decode_rgb32(bmp);
  } else if (bits == 16 && comp == BI_RGB) {
    any_alpha = decode_rgb555(bmp);
  } else if (bits == 16 && comp == BI_R565) {
    any_alpha = decode_rgb565(bmp);
  } else if (bits == 16 && comp == BI_BITFIELDS) {
    uint32_t m[4];
    for (int i = 0; i < 4; ++i) m[i] = static_cast<uint32_t>(bmp->mask[i]) & 0xFFFF;
    if (!(m[0] | m[1] | m[2] | m[3])) {
      m[0] = 0x7C00;
      m[1] = 0x03E0;
      m[2] = 0x001F;
    }
    alpha_mask = m[3];
    any_alpha = decode_bitfields<2>(bmp, m);
  } else if (bits == 32 && comp == BI_BITFIELDS) {
    uint32_t m[4];
    for (int i = 0; i < 4; ++i) m[i] = static_cast<uint32_t>(bmp->mask[i]);
    if (!(m[0] | m[1] | m[2] | m[3])) {
      m[0] = 0x00FF0000;
      m[1] = 0x0000FF00;
      m[2] = 0x000000FF;
      m[3] = 0xFF000000;
    }
    alpha_mask = m[3];
    any_alpha = decode_bitfields<4>(bmp, m);
  } else {
    error_abort(QZIERR_UNSUPPORTED);
  }
  deliver(bmp, bmp->keep_alpha || keep_plane_pixels(bmp, alpha_mask, any_alpha));
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Format table entry

void qzi_decode_bmp(QZIDECODER_IMPL* h, int mode) {
  if (mode < 0) return;  // nothing of ours outlives a pass
  if (mode == 0) {
    void* block = nullptr;
    if (!qziMemAlloc(&block, sizeof(QZIDEC_BMP))) error_abort(QZIERR_NO_MEMORY);
    h->format_state = block;
    QZIDEC_BMP* bmp = static_cast<QZIDEC_BMP*>(block);
    bmp->impl = h;
    bmp->keep_alpha = false;
    bmp->palette_alpha_mode = QZIDEC_BMP_ALPHA_NONZERO;
    bmp->pixel_alpha_mode = QZIDEC_BMP_ALPHA_NONZERO;
    load_header(bmp);
    set_alpha(h, 1);
    return;
  }
  QZIDEC_BMP* bmp = static_cast<QZIDEC_BMP*>(h->format_state);
  if (!bmp) error_abort(QZIERR_NOT_INITIALIZED);
  bmp->impl = h;
  decode_pass(bmp);
}

int qzidec_setparam_bmp(QZIDECODER_IMPL* h, unsigned int id, long value, long /*unused*/) {
  if (h->format.id != QZIDEC_FORMAT_BMP || !h->format_state) return QZIERR_UNKNOWN_PARAM;
  QZIDEC_BMP* bmp = static_cast<QZIDEC_BMP*>(h->format_state);
  const uint64_t v = static_cast<uint64_t>(value);
  switch (id) {
    case BMP_PARAM_PIXEL_ALPHA:
      if (v > 2) return QZIERR_INVALID_ARG;
      bmp->pixel_alpha_mode = static_cast<uint32_t>(v);
      return QZIERR_SUCCESS;
    case BMP_PARAM_PALETTE_ALPHA:
      if (v > 2) return QZIERR_INVALID_ARG;
      bmp->palette_alpha_mode = static_cast<uint32_t>(v);
      return QZIERR_SUCCESS;
    case BMP_PARAM_KEEP_ALPHA:
      bmp->keep_alpha = value != 0;
      return QZIERR_SUCCESS;
    default:
      return QZIERR_UNKNOWN_PARAM;
  }
}

}  // namespace qzimgdecoder_bmp
