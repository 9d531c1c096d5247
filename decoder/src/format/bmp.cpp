// BMP/DIB decoder (format 104).
//
// Accepted input:
// - A "BM" file header at stream position 0, 64 or 128 (files with a fixed-size prefix);
//   every offset in the file counts from that signature.
// - Optionally an OS/2 bitmap array in front: a chain of "BA" entries whose last entry's
//   image is decoded. A chain that comes back to an entry already visited, or has more
//   than 64 entries, is refused, so the reader never loops.
// - Information headers of 12 (OS/2 1.x, signed 16-bit height: negative is top-down), 16,
//   36, 40, 52 (the 56-byte form without an alpha mask), 56, 64 (OS/2 2.x), 108 and 124
//   bytes; any other size above 40 is read as the 40-byte form and its tail skipped.
//   Heights are unsigned outside the 12-byte form, so a negative (top-down) height there is
//   out of range.
// - Bit counts and compressions: 1, 2, 4, 8 with a palette; RLE8 (8/1), RLE4 (4/2) and
//   the 1-bit run-length form (1/2, the 4-bit codes with one bit per nibble); 16 as 5-5-5
//   with a 1-bit alpha (0), "R565" or bit fields (3); 24; 32 as blue-green-red-alpha
//   bytes (0) or bit fields (3). Everything else is refused.
// Colour channels narrower than 8 bits stand in the top bits of their byte (31 -> 248);
// only alpha is widened to the full byte. The fourth palette byte is the entry's alpha.
//
// Speed: the pixel loops work on whole runs of the reader's buffer, rows whose file layout
// already is the bitmap's (8 and 24 bits) are read straight into the bitmap, many rows at a
// time where the file stores them bottom-up, and direct-colour pixels are packed several at a
// time with SSSE3 or NEON where the processor has it. The bitmap arrives uncleared, so every
// row is written whole, padding included, and run-length pictures clear what their codes
// skip. The alpha plane is taken only when the picture turns out to have one. The module holds
// no working buffers of its own: rows are assembled in the bitmap or the scratch area of the
// work buffer.
//
// This file reads the headers, decodes the uncompressed and bit-field rows, decides on alpha
// and holds the format table entry; the run-length forms are in bmp_rle.cpp, the pixel packing
// in bmp_pack.h and bmp_pack.cpp.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "format/bmp.h"
#include "format/bmp_pack.h"

namespace qzimgdecoder_bmp {

using namespace qzimgdecoder;
using qzimg::error_abort;
const int kMaxArrayEntries = 64;

namespace {

// One row in one piece: a short read means the input ended inside the row.
void read_row(QZIDECODER_IMPL* h, uint8_t* dst, uint32_t n) {
  if (get_read(h, dst, n) != n) raise(h, QZIERR_READ, "BMP: the file ends inside the pixel data");
}

inline uint32_t row_padding(uint64_t stored_bytes) { return static_cast<uint32_t>((4 - stored_bytes % 4) % 4); }

// The bitmap comes uncleared: every row sets the bytes behind its `used` pixel bytes to 0.
inline void clear_padding(const QZIDECODER_IMPL* h, uint8_t* row, uint32_t used) {
  const size_t pad = static_cast<size_t>(h->width_bytes) - used;  // 0 to 3 bytes
  for (size_t i = 0; i < pad; ++i) row[used + i] = 0;
}

inline int mask_shift(uint32_t m) { return m ? __builtin_clz(m) : 0; }
inline uint8_t channel(uint32_t p, uint32_t m, int s) { return static_cast<uint8_t>(((p & m) << s) >> 24); }

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

// `signed_height`: the field is signed, and a negative value asks for top-down rows.
void check_side(QZIDECODER_IMPL* h, uint32_t v, const char* what, bool signed_height = false) {
  if (signed_height && static_cast<int32_t>(v) < 0)
    raise(h, QZIERR_IMAGE_SIZE, "BMP: top-down rows (a negative height) are not supported");
  if (v < 1) raise(h, QZIERR_IMAGE_SIZE, "BMP: the %s is 0", what);
  if (static_cast<int32_t>(v) < 0) raise(h, QZIERR_IMAGE_SIZE, "BMP: the %s is negative", what);
  if (v > static_cast<uint32_t>(QZI_DIB_MAX_SIDE))
    raise(h, QZIERR_IMAGE_SIZE, "BMP: a %s of %u is above the %d limit", what, v, QZI_DIB_MAX_SIDE);
}

void check_bit_count(QZIDECODER_IMPL* h, uint32_t bits) {
  switch (bits) {
    case 1: case 2: case 4: case 8: case 16: case 24: case 32:
      return;
    default:
      raise(h, QZIERR_UNSUPPORTED, "BMP: %u bits per pixel is not supported", bits);
  }
}

// Follows the bitmap-array chain from the first "BA" (already consumed) to the "BM" of
// its last entry.
void follow_bitmap_array(QZIDEC_BMP* bmp) {
  QZIDECODER_IMPL* h = bmp->impl;
  uint32_t visited[kMaxArrayEntries];
  int entries = 0;
  visited[entries++] = 0;
  if (get_long(h) != 40) raise(h, QZIERR_UNSUPPORTED, "BMP: a bitmap-array entry whose header size is not 40");
  uint32_t next = get_long(h);
  while (next != 0) {
    for (int i = 0; i < entries; ++i)
      if (visited[i] == next) raise(h, QZIERR_UNSUPPORTED, "BMP: the bitmap-array chain loops");
    if (entries == kMaxArrayEntries)
      raise(h, QZIERR_UNSUPPORTED, "BMP: the bitmap array has more than %d entries", kMaxArrayEntries);
    visited[entries++] = next;
    rdpos_set(h, next);
    if (bmp_id_check(bmp) != 2) raise(h, QZIERR_UNSUPPORTED, "BMP: a bitmap-array link points to no \"BA\" entry");
    if (get_long(h) != 40) raise(h, QZIERR_UNSUPPORTED, "BMP: a bitmap-array entry whose header size is not 40");
    next = get_long(h);
  }
  get_word(h);  // display width and height
  get_word(h);
  if (bmp_id_check(bmp) != 1) raise(h, QZIERR_UNSUPPORTED, "BMP: the last bitmap-array entry holds no \"BM\" picture");
}

// The masks inside the header: red, green, blue and, when `count` is 4, alpha.
void read_masks(QZIDEC_BMP* bmp, int count = 4) {
  QZIDECODER_IMPL* h = bmp->impl;
  for (int i = 0; i < 4; ++i) bmp->mask[i] = i < count ? get_long(h) : 0;
  bmp->masks_in_header = 1;
}

// Finds the "BM" at one of the allowed origins, through a bitmap array when one comes first,
// and reads the file header behind it.
void read_file_header(QZIDEC_BMP* bmp) {
  QZIDECODER_IMPL* h = bmp->impl;
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
}

// The 12-byte form: 16-bit sides, a negative height for a top-down picture.
void read_core_header(QZIDEC_BMP* bmp) {
  QZIDECODER_IMPL* h = bmp->impl;
  const uint32_t width = get_word(h);
  check_side(h, width, "width");
  bmp->width = static_cast<int32_t>(width);
  int32_t height = static_cast<int16_t>(get_word(h));
  if (height < 0) {
    bmp->top_down = 1;
    height = -height;
  }
  check_side(h, static_cast<uint32_t>(height), "height");
  bmp->height = height;
  if (get_word(h) != 1) raise(h, QZIERR_UNSUPPORTED, "BMP: the plane count is not 1");
  const uint32_t bits = get_word(h);
  check_bit_count(h, bits);
  bmp->bit_count = static_cast<int32_t>(bits);
  bmp->core_header = 1;
}

// Every other form, `size` bytes long (its size field already read).
void read_info_header(QZIDEC_BMP* bmp, uint32_t size) {
  QZIDECODER_IMPL* h = bmp->impl;
  const uint32_t width = get_long(h);
  check_side(h, width, "width");
  bmp->width = static_cast<int32_t>(width);
  const uint32_t height = get_long(h);
  check_side(h, height, "height", true);
  bmp->height = static_cast<int32_t>(height);
  if (get_word(h) != 1) raise(h, QZIERR_UNSUPPORTED, "BMP: the plane count is not 1");
  const uint32_t bits = get_word(h);
  if (size != 16) bmp->compression = get_long(h);
  // Embedded JPEG and PNG data declare 0 bits per pixel: name the data, not the depth.
  if (bits == 0 && bmp->compression == 4) raise(h, QZIERR_UNSUPPORTED, "BMP: embedded JPEG data is not supported");
  if (bits == 0 && bmp->compression == 5) raise(h, QZIERR_UNSUPPORTED, "BMP: embedded PNG data is not supported");
  check_bit_count(h, bits);
  bmp->bit_count = static_cast<int32_t>(bits);
  if (size == 64) {
    skip_bytes(h, 5 * 4 + 4 * 2 + 4 * 4);  // colours used is not taken from this form
  } else if (size != 16) {
    get_long(h);  // image size
    get_long(h);  // resolutions
    get_long(h);
    bmp->colors_used = get_long(h);
    if (size >= 40) get_long(h);  // colours important
    if (size == 56 || size == 108 || size == 124) {
      read_masks(bmp);
      skip_bytes(h, size - 56);
    } else if (size == 52) {
      // The 56-byte form without its alpha mask: red, green and blue sit inside the header.
      read_masks(bmp, 3);
    } else if (size > 40) {
      skip_bytes(h, size - 40);
    }
  }
}

}  // namespace

void load_header(QZIDEC_BMP* bmp) {
  QZIDECODER_IMPL* h = bmp->impl;
  set_byte_order(h, false);
  read_file_header(bmp);
  bmp->compression = 0;
  bmp->colors_used = 0;
  bmp->core_header = 0;
  bmp->masks_in_header = 0;
  bmp->top_down = 0;

  const uint32_t size = get_long(h);
  bmp->header_size = size;
  if (size < 41 && size != 12 && size != 16 && size != 36 && size != 40)
    raise(h, QZIERR_UNSUPPORTED, "BMP: an information header of %u bytes is not a known form", size);
  if (size == 12)
    read_core_header(bmp);
  else
    read_info_header(bmp, size);

  if (bmp->bit_count == 16 && bmp->compression == kBiRgb) {
    set_size(h, bmp->width, bmp->height, 15, 0);
  } else {
    set_size(h, bmp->width, bmp->height, bmp->bit_count, static_cast<int>(static_cast<uint32_t>(bmp->colors_used)));
  }
  // The stored form: depth before run-length compression, alpha by the header's masks until a
  // decode tells by the pixels; the format's colours are sRGB, never premultiplied.
  if (h->size_fixed != 1) {
    h->source_facts[0] = static_cast<uint32_t>(bmp->bit_count) * 100;
    h->source_facts[1] = bmp->masks_in_header && bmp->mask[3] != 0 ? 1 : 0;
    h->source_facts[2] = QZIDEC_COLOR_SRGB;
    h->source_facts[3] = 0;
  }
  // Header form and compression (the 12-byte form has none, but a direction): a decode must
  // find what the probe accepted.
  confirm_variant(h, static_cast<uint64_t>(size) << 32 | (bmp->core_header ? bmp->top_down : bmp->compression));
}

void get_rgb_mask(QZIDEC_BMP* bmp) {
  if (bmp->masks_in_header) return;
  for (uint64_t& m : bmp->mask) m = 0;
  if (bmp->compression == kBiBitfields) {
    QZIDECODER_IMPL* h = bmp->impl;
    for (int i = 0; i < 3; ++i) bmp->mask[i] = get_long(h);
  }
}

// ---------------------------------------------------------------------------------------
// Row output

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

// The alpha samples of one row are gathered in the scratch area, whose bytes behind the width
// stay 0. The alpha plane is taken at the first row with a sample that is not 0, the rows
// before it are cleared then, and from there on every row is copied whole: a picture whose
// alpha is all 0 never has a plane, and a plane that exists has every byte defined.
struct AlphaRows {
  QZIDEC_BMP* bmp;
  uint8_t* scratch;
  uint8_t any = 0;  // OR of every sample

  // Stored row y (file order) has its samples in the scratch area; row_or is their OR.
  void flush(int y, uint8_t row_or) {
    QZIDECODER_IMPL* h = bmp->impl;
    any |= row_or;
    const size_t stride = static_cast<size_t>(qziWidthBytes(h->width));
    if (!h->alpha_bits) {
      if (!row_or) return;
      take_alpha_plane(h, false);
      // Stored rows 0..y-1 lie together in memory: at the start of the plane for a bottom-up
      // file, at its end for a top-down one.
      const size_t before = static_cast<size_t>(y) * stride;
      uint8_t* first = bmp->top_down ? h->alpha_bits + static_cast<size_t>(h->height) * stride - before : h->alpha_bits;
      std::memset(first, 0, before);
    }
    std::memcpy(alpha_y_adr(h, image_row(bmp, y)), scratch, stride);
  }
};

// ---------------------------------------------------------------------------------------
// Uncompressed palette forms: rows go straight into the bitmap.

// 1- and 2-bit rows: each byte widens to kPerByte pixels through its table. The bytes whose
// pixels all lie inside the row go in runs of the buffer; a last byte that the row's end cuts
// gives only its leading pixels.
template <int kPerByte, typename Table>
void decode_packed(QZIDEC_BMP* bmp, const Table& table) {
  QZIDECODER_IMPL* h = bmp->impl;
  const int w = bmp->width;
  const int whole = w / kPerByte;
  const int rest = w - whole * kPerByte;
  const uint32_t n = static_cast<uint32_t>(whole + (rest != 0));
  [[maybe_unused]] const bool stream = stream_stores(h);  // read on x86-64 only
  for (int y = 0; y < bmp->height; ++y) {
    uint8_t* dst = y_adr(h, image_row(bmp, y));
    uint8_t* p = dst;
    for_each_run<1>(h, whole, [&](int, const uint8_t* s, int k) {
#if defined(__x86_64__)
      // Eight output bytes per input byte: around the cache, the lines are not read first.
      if (kPerByte == 8 && stream && (reinterpret_cast<uintptr_t>(p) & 7) == 0) {
        for (int i = 0; i < k; ++i, p += 8) stream_store8(p, table.px[s[i]]);
        return;
      }
#endif
      for (int i = 0; i < k; ++i, p += kPerByte) std::memcpy(p, table.px[s[i]], kPerByte);
    });
    if (rest != 0) std::memcpy(p, table.px[next_byte(h)], static_cast<size_t>(rest));
    clear_padding(h, dst, static_cast<uint32_t>(w));
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
    // An odd width has written one pixel too many, into the padding: the low nibble of the
    // last byte is not part of the picture.
    clear_padding(h, dst, static_cast<uint32_t>(w));
    skip_bytes(h, row_padding(n));
    row_done(bmp, y);
  }
}

// Rows whose stored layout is the bitmap's: `used` bytes of pixels, padded to 4 bytes as the
// bitmap's rows are. A bottom-up file stores them in the bitmap's own order, so runs of rows
// are read with one request straight into the bitmap, which the reader serves without its
// buffer; a top-down file is read row by row. Progress is reported row by row as before, also
// for the whole rows of a run that the input ends inside.
void read_plain_rows(QZIDEC_BMP* bmp, uint32_t used) {
  QZIDECODER_IMPL* h = bmp->impl;
  const uint32_t stride = static_cast<uint32_t>(h->width_bytes);
  const uint32_t pad = row_padding(used);
  const int per_read = bmp->top_down ? 1 : static_cast<int>(std::max<uint32_t>(1, (1u << 20) / stride));
  for (int y = 0; y < bmp->height;) {
    const int k = std::min(per_read, bmp->height - y);
    if (k == 1) {
      uint8_t* dst = y_adr(h, image_row(bmp, y));
      read_row(h, dst, used);
      clear_padding(h, dst, used);
      skip_bytes(h, pad);
      row_done(bmp, y++);
      continue;
    }
    // Stored row y of a bottom-up file is memory row y: the run starts at its address.
    uint8_t* first = y_adr(h, image_row(bmp, y));
    const uint32_t want = static_cast<uint32_t>(k) * stride;
    const uint32_t got = get_read(h, first, want);
    const int whole = got == want ? k : static_cast<int>((got < want ? got : 0) / stride);
    for (int i = 0; i < whole; ++i) {
      clear_padding(h, first + static_cast<size_t>(i) * stride, used);
      row_done(bmp, y + i);
    }
    if (whole != k) raise(h, QZIERR_READ, "BMP: the file ends inside the pixel data");
    y += k;
  }
}

void decode_pal8(QZIDEC_BMP* bmp) { read_plain_rows(bmp, static_cast<uint32_t>(bmp->width)); }

// ---------------------------------------------------------------------------------------
// Direct-colour forms. Each returns the OR of every alpha sample written.

uint8_t decode_rgb24(QZIDEC_BMP* bmp) {
  read_plain_rows(bmp, 3u * static_cast<uint32_t>(bmp->width));
  return 0;
}

// 32-bit blue-green-red-alpha pixels; also the bit-field masks 0xFF0000, 0xFF00, 0xFF with
// alpha 0xFF000000 or none (with_alpha false).
uint8_t decode_rgb32(QZIDEC_BMP* bmp, bool with_alpha) {
  QZIDECODER_IMPL* h = bmp->impl;
  const int w = bmp->width;
  const uint32_t used = 3u * static_cast<uint32_t>(w);
  AlphaRows a{bmp, h->work_buf.get()};
  for (int y = 0; y < bmp->height; ++y) {
    uint8_t* dst = y_adr(h, image_row(bmp, y));
    uint8_t* scratch = a.scratch;
    uint8_t row_or = 0;
    if (with_alpha) {
      for_each_run<4>(h, w, [&](int x, const uint8_t* p, int n) {
        const uint8_t run_alpha = pack_bgr(p, dst + 3 * x, n);
        if (row_or == 0 && !h->alpha_bits) {
          // Nothing to keep so far: most files have alpha 0 throughout, and the packing has
          // told whether this run changes that, which is cheaper than gathering the samples.
          if (run_alpha == 0) return;
          std::memset(scratch, 0, static_cast<size_t>(x));  // the samples skipped, all 0
        }
        row_or |= put_alpha(scratch + x, n, [p](int i) { return p[4 * i + 3]; });
      });
      a.flush(y, row_or);
    } else {
      for_each_run<4>(h, w, [&](int x, const uint8_t* p, int n) { pack_bgr(p, dst + 3 * x, n); });
    }
    clear_padding(h, dst, used);
    row_done(bmp, y);
  }
  return a.any;
}

// 16-bit pixels, 5-5-5 with the top bit as alpha (with_alpha) or without alpha, or 5-6-5;
// also the bit-field masks of these layouts.
template <bool k565>
uint8_t decode_rgb16(QZIDEC_BMP* bmp, bool with_alpha) {
  QZIDECODER_IMPL* h = bmp->impl;
  const int w = bmp->width;
  const uint32_t pad = row_padding(2u * static_cast<uint32_t>(w));
  AlphaRows a{bmp, h->work_buf.get()};
  for (int y = 0; y < bmp->height; ++y) {
    uint8_t* dst = y_adr(h, image_row(bmp, y));
    uint8_t* scratch = a.scratch;
    uint8_t row_or = 0;
    for_each_run<2>(h, w, [&](int x, const uint8_t* p, int n) {
      const uint32_t run_alpha = pack16<k565>(p, dst + 3 * x, n);
      if (!with_alpha) return;
      if (row_or == 0 && !h->alpha_bits) {
        // As for 32-bit pixels: samples are gathered only once one is not 0.
        if (run_alpha == 0) return;
        std::memset(scratch, 0, static_cast<size_t>(x));  // the samples skipped, all 0
      }
      row_or |= put_alpha(scratch + x, n, [p](int i) { return static_cast<uint8_t>((p[2 * i + 1] >> 7) * 255); });
    });
    if (with_alpha) a.flush(y, row_or);
    clear_padding(h, dst, 3u * static_cast<uint32_t>(w));
    skip_bytes(h, pad);
    row_done(bmp, y);
  }
  return a.any;
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
  const bool with_alpha = m[3] != 0;
  AlphaRows a{bmp, h->work_buf.get()};
  for (int y = 0; y < bmp->height; ++y) {
    uint8_t* dst = y_adr(h, image_row(bmp, y));
    uint8_t* scratch = a.scratch;
    uint8_t row_or = 0;
    const auto pixel = [](const uint8_t* p) { return U == 2 ? load16(p) : load32(p); };
    for_each_run<U>(h, w, [&](int x, const uint8_t* p, int n) {
      if (bytes_aligned) {
        pack_bgr(p, dst + 3 * x, n);
      } else {
        put_bgr(dst + 3 * x, n, [&](int i) {
          const uint32_t v = pixel(p + U * i);
          return channel(v, m[2], sb) | (static_cast<uint32_t>(channel(v, m[1], sg)) << 8) |
                 (static_cast<uint32_t>(channel(v, m[0], sr)) << 16);
        });
      }
      if (with_alpha) row_or |= put_alpha(scratch + x, n, [&](int i) { return widen[channel(pixel(p + U * i), m[3], sa)]; });
    });
    if (with_alpha) a.flush(y, row_or);
    clear_padding(h, dst, 3u * static_cast<uint32_t>(w));
    skip_bytes(h, pad);
    row_done(bmp, y);
  }
  return a.any;
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
  const bool bitfields = bmp->compression == kBiBitfields;
  switch (bmp->pixel_alpha_mode) {
    case QZIDEC_BMP_ALPHA_NEVER:
      return false;
    case QZIDEC_BMP_ALPHA_ALWAYS:
      return bmp->bit_count == 32 || (bitfields && alpha_mask != 0) ||
             (bmp->bit_count == 16 && bmp->compression == kBiRgb);
    default:
      if (bmp->bit_count == 24) return false;
      if (bmp->bit_count == 16 && (bmp->compression == kBiR565 || (bitfields && alpha_mask == 0))) return false;
      // The OR of every sample written answers whether any byte of the plane is not 0.
      return any_alpha != 0;
  }
}

// The file's masks (red, green, blue, alpha) cut to the pixel's `width_mask`, or `defaults`
// when all four are 0.
void masks_or_default(const QZIDEC_BMP* bmp, uint32_t width_mask, const std::array<uint32_t, 4>& defaults,
                      uint32_t m[4]) {
  for (int i = 0; i < 4; ++i) m[i] = static_cast<uint32_t>(bmp->mask[i]) & width_mask;
  if (!(m[0] | m[1] | m[2] | m[3])) std::copy(defaults.begin(), defaults.end(), m);
}

void deliver(QZIDEC_BMP* bmp, bool with_plane) {
  QZIDECODER_IMPL* h = bmp->impl;
  if (!with_plane) {
    reset_alpha(h);
  } else if (h->bpp <= 8) {
    // The alpha bitmap's grey table carries each palette entry's alpha: its pixels are the
    // picture's palette indices. Both bitmaps have the same row layout.
    take_alpha_plane(h, false);
    std::memcpy(h->alpha_bits, h->bits, h->bia->bmiHeader.biSizeImage);
  } else {
    // A plane that the pixels never needed (all alpha 0) is delivered cleared.
    take_alpha_plane(h, true);
  }
  h->source_facts[1] = with_plane ? 1 : 0;
  call_singleimage_layercallback(h, 0);
}

// Raises for a compression this depth cannot use, naming it.
[[noreturn]] void refuse_compression(QZIDEC_BMP* bmp) {
  QZIDECODER_IMPL* h = bmp->impl;
  const uint64_t comp = bmp->compression;
  const int bits = bmp->bit_count;
  // Compression 4 is embedded JPEG data in the Windows forms and 24-bit runs in the OS/2 2 form.
  if (comp == 4 && bits == 24 && bmp->header_size == 64) raise(h, QZIERR_UNSUPPORTED, "BMP: 24-bit run-length (RLE24) data is not supported");
  if (comp == 4) raise(h, QZIERR_UNSUPPORTED, "BMP: embedded JPEG data is not supported");
  if (comp == 5) raise(h, QZIERR_UNSUPPORTED, "BMP: embedded PNG data is not supported");
  if (comp == 6) raise(h, QZIERR_UNSUPPORTED, "BMP: alpha bit fields (compression 6) are not supported");
  if (comp == 3 && bmp->header_size == 64) raise(h, QZIERR_UNSUPPORTED, "BMP: Huffman 1D compression is not supported");
  if (comp == kBiRle8 || comp == kBiRle4 || comp == kBiBitfields || comp == kBiR565)
    raise(h, QZIERR_UNSUPPORTED, "BMP: compression %u does not fit %d bits per pixel", static_cast<unsigned>(comp), bits);
  raise(h, QZIERR_UNSUPPORTED, "BMP: compression %llu is not a known method", static_cast<unsigned long long>(comp));
}

// Palette forms: the colour table, then the rows, uncompressed or run-length.
void decode_palette(QZIDEC_BMP* bmp) {
  QZIDECODER_IMPL* h = bmp->impl;
  const int bits = bmp->bit_count;
  const uint64_t comp = bmp->compression;
  const uint64_t full = 1u << bits;
  uint64_t count = (bmp->colors_used >= 1 && bmp->colors_used < full) ? bmp->colors_used : full;
  // A table never reaches into the pixel data: read only the entries that fit between
  // the header and the pixel offset.
  const uint64_t here = rdpos_get(h);
  const uint64_t entry = bmp->core_header ? 3 : 4;
  if (bmp->off_bits >= here) count = std::min(count, (bmp->off_bits - here) / entry);
  init_rgb(h, 8);  // a handle that executes again starts from the ramp, not the last table
  get_rgb(h, static_cast<int>(count), 1, bmp->core_header ? 0 : 1);
  rdpos_set(h, static_cast<unsigned int>(bmp->off_bits));
  if (comp == kBiRgb) {
    switch (bits) {
      case 1: decode_packed<8>(bmp, expand1); break;
      case 2: decode_packed<4>(bmp, expand2); break;
      case 4: decode_pal4(bmp); break;
      default: decode_pal8(bmp); break;
    }
  } else if (bits == 8 && comp == kBiRle8) {
    decode_rle8(bmp);
  } else if (bits == 4 && comp == kBiRle4) {
    decode_rle4(bmp);
  } else if (bits == 1 && comp == kBiRle4) {
    decode_rle1(bmp);
  } else {
    refuse_compression(bmp);
  }
  finish_stores();
  deliver(bmp, bmp->keep_alpha || keep_plane_palette(bmp, static_cast<uint32_t>(count)));
}

// Direct-colour forms: the masks, then the rows.
void decode_direct(QZIDEC_BMP* bmp) {
  QZIDECODER_IMPL* h = bmp->impl;
  const int bits = bmp->bit_count;
  const uint64_t comp = bmp->compression;

  if (bits == 16 || bits == 32) get_rgb_mask(bmp);
  rdpos_set(h, static_cast<unsigned int>(bmp->off_bits));
  uint8_t any_alpha = 0;
  uint32_t alpha_mask = 0;
  if (bits == 24 && comp == kBiRgb) {
    any_alpha = decode_rgb24(bmp);
  } else if (bits == 32 && comp == kBiRgb) {
    any_alpha = decode_rgb32(bmp, true);
  } else if (bits == 16 && comp == kBiRgb) {
    any_alpha = decode_rgb16<false>(bmp, true);
  } else if (bits == 16 && comp == kBiR565) {
    any_alpha = decode_rgb16<true>(bmp, false);
  } else if (bits == 16 && comp == kBiBitfields) {
    uint32_t m[4];
    masks_or_default(bmp, 0xFFFF, {0x7C00, 0x03E0, 0x001F, 0}, m);
    alpha_mask = m[3];
    // The common masks without alpha are the fixed layouts.
    const bool l555 = m[0] == 0x7C00 && m[1] == 0x03E0 && m[2] == 0x001F && m[3] == 0;
    const bool l565 = m[0] == 0xF800 && m[1] == 0x07E0 && m[2] == 0x001F && m[3] == 0;
    if (l555)
      any_alpha = decode_rgb16<false>(bmp, false);
    else if (l565)
      any_alpha = decode_rgb16<true>(bmp, false);
    else
      any_alpha = decode_bitfields<2>(bmp, m);
  } else if (bits == 32 && comp == kBiBitfields) {
    uint32_t m[4];
    masks_or_default(bmp, 0xFFFFFFFF, {0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000}, m);
    alpha_mask = m[3];
    // The common masks are the plain 32-bit form.
    const bool plain = m[0] == 0x00FF0000 && m[1] == 0x0000FF00 && m[2] == 0x000000FF && (m[3] == 0 || m[3] == 0xFF000000);
    any_alpha = plain ? decode_rgb32(bmp, m[3] != 0) : decode_bitfields<4>(bmp, m);
  } else {
    refuse_compression(bmp);
  }
  deliver(bmp, bmp->keep_alpha || keep_plane_pixels(bmp, alpha_mask, any_alpha));
}

void decode_pass(QZIDEC_BMP* bmp) {
  load_header(bmp);
  set_alpha(bmp->impl, 1);
  if (bmp->bit_count <= 8)
    decode_palette(bmp);
  else
    decode_direct(bmp);
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Format table entry

void qzi_decode_bmp(QZIDECODER_IMPL* h, int mode) {
  if (mode < 0) return;  // nothing of ours outlives a pass
  if (mode == 0) {
    QZIDEC_BMP* bmp = static_cast<QZIDEC_BMP*>(new_format_state(h, sizeof(QZIDEC_BMP)));
    bmp->impl = h;
    bmp->keep_alpha = false;
    bmp->palette_alpha_mode = QZIDEC_BMP_ALPHA_NONZERO;
    bmp->pixel_alpha_mode = QZIDEC_BMP_ALPHA_NONZERO;
    load_header(bmp);
    // No set_alpha here: only the decode pass knows whether the picture has an alpha plane,
    // and takes it then.
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
