// Raster buffers, line output and palette remapping.
#include "raster.h"

#include <cstring>
#include <new>

#include "reader.h"

namespace qzimgdecoder {

using qzimg::error_abort;

namespace {

// The grey ramps of 2^bits entries (i * 255 / (2^bits - 1)) for bits 1..8, built once: a
// fresh handle and every BMP header set one up, which for small pictures weighed as much as
// the decoding itself.
struct GreyRamps {
  uint8_t rgb[9][256][3];
  GreyRamps() {
    for (int bits = 1; bits <= 8; ++bits) {
      const int n = 1 << bits;
      for (int i = 0; i < n; ++i) {
        const uint8_t v = static_cast<uint8_t>(i * 255 / (n - 1));
        rgb[bits][i][0] = rgb[bits][i][1] = rgb[bits][i][2] = v;
      }
    }
  }
};

const GreyRamps& grey_ramps() {
  static const GreyRamps ramps;
  return ramps;
}

}  // namespace

void init_rgb(QZIDECODER_IMPL* h, int bits) {
  const int b = (bits >= 1 && bits <= 8) ? bits : 8;
  std::memcpy(h->rgb, grey_ramps().rgb[b], sizeof(h->rgb[0]) * (static_cast<size_t>(1) << b));
  std::memset(h->rgb_alpha, h->alpha_default, sizeof h->rgb_alpha);
}

namespace {

// m palette entries from p into the handle's table.
template <bool kBgr, bool kAlpha>
void read_table(QZIDECODER_IMPL* h, const uint8_t* p, int m) {
  uint8_t(*rgb)[3] = h->rgb;
  uint8_t* alpha = h->rgb_alpha;
  for (int i = 0; i < m; ++i, p += kAlpha ? 4 : 3) {
    rgb[i][0] = p[kBgr ? 2 : 0];
    rgb[i][1] = p[1];
    rgb[i][2] = p[kBgr ? 0 : 2];
    if (kAlpha) alpha[i] = p[3];
  }
}

}  // namespace

void get_rgb(QZIDECODER_IMPL* h, int count, int bgr, int with_alpha) {
  if (count <= 0) return;
  const int m = count < 256 ? count : 256;
  const uint32_t entry = with_alpha ? 4 : 3;
  const uint32_t bytes = static_cast<uint32_t>(m) * entry;
  if (h->rd_remain == 0 && !h->eof_mode) {
    // An empty buffer is refilled as the first byte's read would refill it (raising where that
    // would), and the byte given back. Not in end-of-data mode, where a refill that finds the
    // end would be asked for again.
    get_byte(h);
    --h->rd_index;
    ++h->rd_remain;
    --h->rd_pos;
  }
  if (h->rd_remain >= bytes) {
    // The whole table is buffered: one pass over it, instead of a byte at a time through the
    // reader's fields (whose every update the byte stores into the table would have to wait for).
    const uint8_t* p = h->rd_data + h->rd_index;
    if (bgr)
      with_alpha ? read_table<true, true>(h, p, m) : read_table<true, false>(h, p, m);
    else
      with_alpha ? read_table<false, true>(h, p, m) : read_table<false, false>(h, p, m);
    consume(h, bytes);
  } else {
    for (int i = 0; i < m; ++i) {
      const uint8_t a = static_cast<uint8_t>(get_byte_fast(h));
      const uint8_t b = static_cast<uint8_t>(get_byte_fast(h));
      const uint8_t c = static_cast<uint8_t>(get_byte_fast(h));
      h->rgb[i][0] = bgr ? c : a;
      h->rgb[i][1] = b;
      h->rgb[i][2] = bgr ? a : c;
      if (with_alpha) h->rgb_alpha[i] = static_cast<uint8_t>(get_byte_fast(h));
    }
  }
  for (int i = m; i < 256; ++i) h->rgb[i][0] = h->rgb[i][1] = h->rgb[i][2] = 0;
}

void set_size(QZIDECODER_IMPL* h, int width, int height, int bpp, int colors) {
  if (width > QZI_DIB_MAX_SIDE || height > QZI_DIB_MAX_SIDE)
    raise(h, QZIERR_UNSUPPORTED, "%d x %d is above the %d limit", width, height, QZI_DIB_MAX_SIDE);
  if (width < 1 || height < 1) raise(h, QZIERR_UNSUPPORTED, "a width or height of 0");
  if (bpp > QZI_DIB_MAX_DEPTH || bpp < 1 || colors < 0) error_abort(QZIERR_UNSUPPORTED);
  if (bpp < 31 && colors > (1 << bpp)) colors = 1 << bpp;
  if (h->size_fixed == 1) {
    // The header read again at execution must declare the picture that initialisation
    // accepted; anything else means the input changed in between, and the bitmaps no longer fit.
    if (h->width == width && h->height == height && h->bpp == bpp && h->colors == colors) return;
    raise(h, QZIERR_UNSUPPORTED, "the header changed since initialisation");
  }
  // Refused before any bitmap exists: a small file may declare a huge picture.
  if (h->max_pixels != 0 && static_cast<uint64_t>(width) * static_cast<uint64_t>(height) > h->max_pixels) {
    h->over_max_pixels = true;
    raise(h, QZIERR_NO_MEMORY, "%d x %d is more than the %llu pixels allowed", width, height,
          static_cast<unsigned long long>(h->max_pixels));
  }
  h->width = width;
  h->height = height;
  h->bpp = bpp;
  h->colors = colors;
}

void set_format_description(QZIDECODER_IMPL* h, const char* text) {
  if (h->size_fixed == 1) return;
  // A plain bounded copy: this runs for every initialisation.
  const size_t n = text ? strnlen(text, sizeof h->format_description - 1) : 0;
  if (n) std::memcpy(h->format_description, text, n);
  h->format_description[n] = '\0';
}

void confirm_variant(QZIDECODER_IMPL* h, uint64_t key) {
  if (h->size_fixed != 1) {
    h->variant = key;
  } else if (h->variant != key) {
    raise(h, QZIERR_UNSUPPORTED, "the header changed since initialisation");
  }
}

void set_alpha(QZIDECODER_IMPL* h, int kind) {
  h->alpha = true;
  h->alpha_kind = kind;
}

void reset_alpha(QZIDECODER_IMPL* h) {
  h->alpha = false;
  h->alpha_kind = 0;
}

namespace {

void check_row(const QZIDECODER_IMPL* h, int y) {
  if (y < 0 || y >= h->height) error_abort(QZIERR_UNSUPPORTED);
}

}  // namespace

uint8_t* y_adr(QZIDECODER_IMPL* h, int y) {
  check_row(h, y);
  return h->bits + (h->height - 1 - y) * h->width_bytes;
}

uint8_t* alpha_y_adr(QZIDECODER_IMPL* h, int y) {
  check_row(h, y);
  if (!h->alpha || !h->alpha_bits) return nullptr;
  return h->alpha_bits + (h->height - 1 - y) * qziWidthBytes(h->width);
}

void put_line(QZIDECODER_IMPL* h, int y) {
  check_row(h, y);
  std::memcpy(h->bits + (h->height - 1 - y) * h->width_bytes, h->line_buf, h->width_bytes);
}

void put_alpha_line(QZIDECODER_IMPL* h, int y) {
  check_row(h, y);
  if (!h->alpha || !h->alpha_bits || !h->alpha_line) return;
  const int stride = qziWidthBytes(h->width);
  std::memcpy(h->alpha_bits + (h->height - 1 - y) * stride, h->alpha_line, stride);
}

void put_nbyte(QZIDECODER_IMPL* h, int x, int count, int value) {
  if (count <= 0) return;
  // Write what lies inside the row, then raise for the first position outside it.
  const int64_t first = x;
  const int64_t end = first + count;
  if (first < 0) error_abort(QZIERR_UNSUPPORTED);
  const int64_t inside = end <= h->width ? end : h->width;
  if (inside > first) std::memset(h->line_buf + first, value & 0xff, static_cast<size_t>(inside - first));
  if (end > h->width) error_abort(QZIERR_UNSUPPORTED);
}

void ext4_buf(QZIDECODER_IMPL* h, const uint8_t* src) {
  const int w = h->width;
  uint8_t* out = h->line_buf;
  int x = 0;
  for (; x + 1 < w; x += 2) {
    const uint8_t b = src[x >> 1];
    out[x] = b >> 4;
    out[x + 1] = b & 0x0f;
  }
  if (x < w) out[x] = src[x >> 1] >> 4;
}

int put_buf(QZIDECODER_IMPL* h, int x, int y, int w, int h_rows, int stride, const uint8_t* src) {
  check_row(h, y);
  const int p = h->bpp <= 8 ? 1 : 3;
  for (int r = 0; r < h_rows && y + r < h->height; ++r) {
    std::memcpy(h->bits + (h->height - 1 - (y + r)) * h->width_bytes + p * x, src, static_cast<size_t>(w) * p);
    src += stride;
  }
  return 0;
}

void raster_init(QZIDECODER_IMPL* h) {
  h->size_fixed = 0;
  h->variant = 0;
  h->width = 1;
  h->height = 1;
  h->bpp = 0;
  h->colors = 0;
  h->alpha = false;
  h->alpha_kind = 0;
  h->alpha_default = 255;
  h->bia = nullptr;
  h->alpha_bits = nullptr;
  h->alpha_line = nullptr;
  init_rgb(h, 8);
}

namespace {

// Allocates the alpha bitmap for the current execution; false when it cannot be had.
bool alloc_alpha(QZIDECODER_IMPL* h, bool clear) {
  BITMAPINFO* bia = qziDIBAllocAlpha(h->width, h->height, h->bpp);
  if (!bia) return false;
  h->bia_owner->reset(bia);
  h->bia = bia;
  h->alpha_bits = qziDIBBits(bia);
  if (clear) std::memset(h->alpha_bits, 0, bia->bmiHeader.biSizeImage);
  if (h->bpp >= 9) h->alpha_line = h->work;
  return true;
}

}  // namespace

void take_alpha_plane(QZIDECODER_IMPL* h, bool clear) {
  if (!h->bi || !h->bia_owner) error_abort(QZIERR_INVALID_ARG);  // no execution running
  h->alpha = true;
  if (h->alpha_bits) return;
  if (!alloc_alpha(h, clear)) error_abort(QZIERR_NO_MEMORY);
}

QZIERR raster_setup(QZIDECODER_IMPL* h, DIB_OWNER* bi_owner, DIB_OWNER* bia_owner) {
  h->size_fixed = 1;
  h->width_bytes = h->bpp >= 9 ? qziWidthBytes(3 * h->width) : qziWidthBytes(h->width);

  BITMAPINFO* bi = qziDIBAlloc(h->width, h->height, h->bpp, h->colors);
  if (!bi) return QZIERR_NO_MEMORY;
  bi_owner->reset(bi);
  h->bi = bi;
  h->bits = qziDIBBits(bi);

  // The work area: in the handle for small pictures; otherwise a buffer that stays with the
  // handle between executions, so decoding many pictures does not hand memory back and take it
  // again each time. It starts zero-filled.
  const uint32_t scratch = static_cast<uint32_t>(qziWidthBytes(h->width));
  const uint32_t size = scratch + static_cast<uint32_t>(qziWidthBytes(3 * h->width)) + 16u;
  if (size <= sizeof h->work_inline) {
    h->work = h->work_inline;
  } else {
    if (h->work_size < size) {
      h->work_buf.reset();
      h->work_size = 0;
      h->work_buf.reset(new (std::nothrow) uint8_t[size]);
      if (!h->work_buf) {
        h->bi = nullptr;
        h->bits = nullptr;
        return QZIERR_NO_MEMORY;
      }
      h->work_size = size;
    }
    h->work = h->work_buf.get();
  }
  std::memset(h->work, 0, size);
  h->line_buf = h->work + scratch;

  h->bia_owner = bia_owner;
  if (h->alpha && !alloc_alpha(h, true)) {
    h->bi = nullptr;
    h->bits = nullptr;
    h->bia_owner = nullptr;
    return QZIERR_NO_MEMORY;
  }
  return QZIERR_SUCCESS;
}

void raster_release(QZIDECODER_IMPL* h) {
  h->bi = nullptr;
  h->bits = nullptr;
  h->line_buf = nullptr;
  h->work = nullptr;
  h->bia = nullptr;
  h->alpha_bits = nullptr;
  h->alpha_line = nullptr;
  h->bia_owner = nullptr;
}

// ---------------------------------------------------------------------------------------------
// Palette remapping

void RemapPalette(BITMAPINFO* bi, const uint8_t* table) {
  const int n = qziDIBPaletteCount(bi);
  RGBQUAD* colors = qziDIBPalette(bi);
  RGBQUAD temp[256] = {};
  for (int i = 0; i < n && i < 256; ++i) {
    // A table entry past the colour table has no colour to take; it becomes black.
    if (table[i] < n) temp[i] = colors[table[i]];
  }
  std::memcpy(colors, temp, sizeof(RGBQUAD) * static_cast<size_t>(n < 256 ? n : 256));
}

void RemapImage(BITMAPINFO* bi, const uint8_t* table) {
  const int32_t w = bi->bmiHeader.biWidth;
  const int32_t rows = bi->bmiHeader.biHeight;
  if (rows <= 0 || w <= 0) return;
  const int stride = qziWidthBytes(w);
  uint8_t* bits = qziDIBBits(bi);
  for (int32_t y = 0; y < rows; ++y) {
    uint8_t* row = bits + static_cast<size_t>(y) * stride;
    for (int32_t x = 0; x < w; ++x) row[x] = table[row[x]];
  }
}

void RemapImageConvert(BITMAPINFO* bi, const uint8_t* table) {
  const int n = qziDIBPaletteCount(bi);
  uint8_t inverse[256];
  // Values at or above the palette count have no colour; they keep their value.
  for (int k = 0; k < 256; ++k) inverse[k] = static_cast<uint8_t>(k);
  for (int k = 0; k < n && k < 256; ++k) {
    inverse[k] = static_cast<uint8_t>(n);
    for (int i = 0; i < n && i < 256; ++i) {
      if (table[i] == k) {
        inverse[k] = static_cast<uint8_t>(i);
        break;
      }
    }
  }
  RemapImage(bi, inverse);
}

void RemapPaletteImage(BITMAPINFO* bi, const uint8_t* table, bool remap_palette, bool convert_image) {
  if (remap_palette) RemapPalette(bi, table);
  if (convert_image) RemapImageConvert(bi, table);
}

}  // namespace qzimgdecoder
