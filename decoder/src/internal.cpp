// Reader, raster, palette remapping and layer list of the decoder handle.
#include "internal.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace qzimgdecoder {

using qzimg::error_abort;

// ---------------------------------------------------------------------------------------------
// FILE-backed stream

bool qzisrm_read(void* stream, void* buffer, unsigned int size, unsigned int* count) {
  FILE* f = static_cast<FILE*>(stream);
  const size_t n = std::fread(buffer, 1, size, f);
  if (std::ferror(f)) return false;
  if (count) *count = static_cast<unsigned int>(n);
  return true;
}

bool qzisrm_setpos(void* stream, unsigned int position) {
  return std::fseek(static_cast<FILE*>(stream), static_cast<long>(position), SEEK_SET) == 0;
}

void qzisrm_cleanup(void* stream) { std::fclose(static_cast<FILE*>(stream)); }

// ---------------------------------------------------------------------------------------------
// Reader

namespace {

// Fills rd_buf, or a destination of at least kReadBufferSize bytes, from the stream; returns the
// count delivered (0 leaves rd_eof alone). The fields change alike in both cases.
uint32_t refill(QZIDECODER_IMPL* h, uint8_t* into) {
  h->rd_remain = 0;
  if (!h->read_func(h->stream, into, kReadBufferSize, &h->rd_remain)) error_abort(QZIERR_READ);
  if (h->rd_remain > kReadBufferSize) error_abort(QZIERR_READ);  // a callback that overstates its count
  if (h->rd_remain != 0) {
    if (h->rd_remain < kReadBufferSize) h->rd_eof = true;
    h->rd_index = 0;
  }
  return h->rd_remain;
}

int end_of_data(QZIDECODER_IMPL* h) {
  if (h->eof_mode) return -1;
  error_abort(QZIERR_READ);
}

}  // namespace

int get_byte(QZIDECODER_IMPL* h) {
  if (h->rd_remain == 0) {
    if (h->rd_eof) return end_of_data(h);
    if (refill(h, h->rd_buf) == 0) return end_of_data(h);
  }
  --h->rd_remain;
  ++h->rd_pos;
  return h->rd_buf[h->rd_index++];
}

uint32_t get_word(QZIDECODER_IMPL* h) {
  if (h->rd_remain >= 2) {  // both bytes buffered: no end of data to fold in
    const uint8_t* p = h->rd_buf + h->rd_index;
    consume(h, 2);
    const uint32_t b0 = p[0], b1 = p[1];
    return h->byte_order ? b0 << 8 | b1 : b0 | b1 << 8;
  }
  const uint32_t b0 = static_cast<uint32_t>(get_byte_fast(h));
  const uint32_t b1 = static_cast<uint32_t>(get_byte_fast(h));
  return h->byte_order ? b0 * 256u + b1 : b0 + b1 * 256u;
}

uint32_t get_long(QZIDECODER_IMPL* h) {
  if (h->rd_remain >= 4) {
    const uint8_t* p = h->rd_buf + h->rd_index;
    consume(h, 4);
    const uint32_t b0 = p[0], b1 = p[1], b2 = p[2], b3 = p[3];
    return h->byte_order ? b0 << 24 | b1 << 16 | b2 << 8 | b3 : b0 | b1 << 8 | b2 << 16 | b3 << 24;
  }
  const uint32_t w0 = get_word(h);
  const uint32_t w1 = get_word(h);
  return h->byte_order ? w0 * 65536u + w1 : w0 + w1 * 65536u;
}

uint32_t get_read(QZIDECODER_IMPL* h, void* dst, unsigned long count) {
  if (count >= 0x80000000ul) error_abort(QZIERR_CANNOT);
  if (h->rd_remain == 0 && h->rd_eof) return static_cast<uint32_t>(end_of_data(h));
  uint8_t* out = static_cast<uint8_t*>(dst);
  uint32_t copied = 0;
  uint32_t want = static_cast<uint32_t>(count);
  while (want != 0) {
    if (h->rd_remain == 0) {
      if (h->rd_eof) break;
      if (want >= kReadBufferSize) {
        // A block at least as large as the buffer is read straight into its destination:
        // the same refill with the same counts, so positions and results do not change.
        const uint32_t got = refill(h, out + copied);
        if (got == 0) {
          if (copied != 0) break;
          return static_cast<uint32_t>(end_of_data(h));
        }
        h->rd_remain = 0;
        copied += got;
        if (want == got) {
          h->rd_index = got;  // where taking the whole buffer leaves it
          break;
        }
        h->rd_index = 0;
        want -= got;
        continue;
      }
      if (refill(h, h->rd_buf) == 0) {
        if (copied != 0) break;
        return static_cast<uint32_t>(end_of_data(h));
      }
    }
    if (want <= h->rd_remain) {
      std::memcpy(out + copied, h->rd_buf + h->rd_index, want);
      h->rd_index += want;
      h->rd_remain -= want;
      copied += want;
      break;
    }
    std::memcpy(out + copied, h->rd_buf + h->rd_index, h->rd_remain);
    copied += h->rd_remain;
    want -= h->rd_remain;
    h->rd_remain = 0;
    h->rd_index = 0;
  }
  h->rd_pos += copied;
  return copied;
}

void rdpos_set(QZIDECODER_IMPL* h, unsigned int position) {
  if (h->rd_pos <= position && static_cast<uint64_t>(position) <= static_cast<uint64_t>(h->rd_pos) + h->rd_remain) {
    const uint32_t skip = position - h->rd_pos;
    h->rd_index += skip;
    h->rd_remain -= skip;
  } else {
    h->rd_eof = false;
    h->rd_remain = 0;
    h->rd_index = 0;
    if (!h->setpos_func(h->stream, h->rd_base + position)) error_abort(QZIERR_CANNOT);
  }
  h->rd_pos = position;
}

unsigned int rdpos_get(QZIDECODER_IMPL* h) { return h->rd_pos; }

void rdpos_set_skip(QZIDECODER_IMPL* h, int offset) {
  h->rd_base = static_cast<uint32_t>(offset);
  h->rd_pos = 0;
  h->rd_index = 0;
  h->rd_remain = 0;
  h->rd_eof = false;
  h->eof_mode = false;
  if (!h->setpos_func(h->stream, static_cast<unsigned int>(offset))) error_abort(QZIERR_CANNOT);
}

unsigned int rdfsize_get(QZIDECODER_IMPL* h) { return h->file_size; }

void set_byte_order(QZIDECODER_IMPL* h, bool msb_first) { h->byte_order = msb_first; }

void set_eof_mode(QZIDECODER_IMPL* h, bool on) { h->eof_mode = on; }

bool rd_close(QZIDECODER_IMPL* h) {
  h->rd_remain = 0;
  h->rd_index = 0;
  return true;
}

void skip_bytes(QZIDECODER_IMPL* h, uint64_t n) {
  while (n != 0) {
    const uint32_t k = static_cast<uint32_t>(h->rd_remain < n ? h->rd_remain : n);
    if (k == 0) {
      next_byte(h);  // refills the buffer, or raises at the end of the data
      --n;
      continue;
    }
    consume(h, k);
    n -= k;
  }
}

void copy_bytes(QZIDECODER_IMPL* h, uint8_t* dst, uint32_t n) {
  while (n != 0) {
    const uint32_t k = h->rd_remain < n ? h->rd_remain : n;
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

void vcheck(int low, int value, int high) {
  if (value < low || value > high) error_abort(QZIERR_UNSUPPORTED);
}

// ---------------------------------------------------------------------------------------------
// Raster

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

void get_rgb(QZIDECODER_IMPL* h, int count, int bgr, int with_alpha) {
  if (count <= 0) return;
  const int m = count < 256 ? count : 256;
  for (int i = 0; i < m; ++i) {
    const uint8_t a = static_cast<uint8_t>(get_byte_fast(h));
    const uint8_t b = static_cast<uint8_t>(get_byte_fast(h));
    const uint8_t c = static_cast<uint8_t>(get_byte_fast(h));
    h->rgb[i][0] = bgr ? c : a;
    h->rgb[i][1] = b;
    h->rgb[i][2] = bgr ? a : c;
    if (with_alpha) h->rgb_alpha[i] = static_cast<uint8_t>(get_byte_fast(h));
  }
  for (int i = m; i < 256; ++i) h->rgb[i][0] = h->rgb[i][1] = h->rgb[i][2] = 0;
}

void set_size(QZIDECODER_IMPL* h, int width, int height, int bpp, int colors) {
  if (width > QZI_DIB_MAX_SIDE || height > QZI_DIB_MAX_SIDE || bpp > QZI_DIB_MAX_DEPTH) error_abort(QZIERR_UNSUPPORTED);
  if (width < 1 || height < 1 || bpp < 1 || colors < 0) error_abort(QZIERR_UNSUPPORTED);
  if (bpp < 31 && colors > (1 << bpp)) colors = 1 << bpp;
  if (h->size_fixed == 1) {
    // The header read again at execution must declare the picture that initialisation
    // accepted; anything else means the input changed in between, and the bitmaps no longer fit.
    if (h->width == width && h->height == height && h->bpp == bpp && h->colors == colors) return;
    error_abort(QZIERR_UNSUPPORTED);
  }
  // Refused before any bitmap exists: a small file may declare a huge picture.
  if (h->max_pixels != 0 && static_cast<uint64_t>(width) * static_cast<uint64_t>(height) > h->max_pixels) {
    h->over_max_pixels = true;
    error_abort(QZIERR_NO_MEMORY);
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
    error_abort(QZIERR_UNSUPPORTED);
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
  h->bia_owner->reset(bia, qzifree);
  h->bia = bia;
  h->alpha_bits = qziDIBBits(bia);
  if (clear) std::memset(h->alpha_bits, 0, bia->bmiHeader.biSizeImage);
  if (h->bpp >= 9) h->alpha_line = h->work_buf.get();
  return true;
}

}  // namespace

void take_alpha_plane(QZIDECODER_IMPL* h, bool clear) {
  if (!h->bi || !h->bia_owner) error_abort(QZIERR_INVALID_ARG);  // no execution running
  h->alpha = true;
  if (h->alpha_bits) return;
  if (!alloc_alpha(h, clear)) error_abort(QZIERR_NO_MEMORY);
}

QZIERR raster_setup(QZIDECODER_IMPL* h, DIB_PTR* bi_owner, DIB_PTR* bia_owner) {
  h->size_fixed = 1;
  h->width_bytes = h->bpp >= 9 ? qziWidthBytes(3 * h->width) : qziWidthBytes(h->width);

  BITMAPINFO* bi = qziDIBAlloc(h->width, h->height, h->bpp, h->colors);
  if (!bi) return QZIERR_NO_MEMORY;
  bi_owner->reset(bi, qzifree);
  h->bi = bi;
  h->bits = qziDIBBits(bi);

  // The work buffer stays with the handle between executions, so decoding many small
  // pictures does not hand memory back and take it again each time. It starts zero-filled.
  const uint32_t scratch = static_cast<uint32_t>(qziWidthBytes(h->width));
  const uint32_t size = scratch + static_cast<uint32_t>(qziWidthBytes(3 * h->width)) + 16u;
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
  std::memset(h->work_buf.get(), 0, size);
  h->line_buf = h->work_buf.get() + scratch;

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

// ---------------------------------------------------------------------------------------------
// Layer list

uint64_t ilGetSize(QZIDECODER_IMPL* h) { return h->layers.size(); }

void ilLayerAdd(QZIDECODER_IMPL* h) { h->layers.emplace_back(new QZIDEC_LAYER()); }

void ilLayerClear(QZIDECODER_IMPL* h) { h->layers.clear(); }

QZIDEC_LAYER* ilGetLayer(QZIDECODER_IMPL* h, uint32_t index) {
  return index < h->layers.size() ? h->layers[index].get() : nullptr;
}

BITMAPINFO* ilGetBI(QZIDECODER_IMPL* h, uint32_t index) {
  QZIDEC_LAYER* l = ilGetLayer(h, index);
  return l ? l->bi.get() : nullptr;
}

BITMAPINFO* ilGetBIA(QZIDECODER_IMPL* h, uint32_t index) {
  QZIDEC_LAYER* l = ilGetLayer(h, index);
  return l ? l->bia.get() : nullptr;
}

namespace {

// Takes ownership of `dib` in every case: out of range, it is freed at once.
void set_layer_dib(QZIDECODER_IMPL* h, uint32_t index, BITMAPINFO* dib, DIB_PTR QZIDEC_LAYER::*field) {
  DIB_PTR owner;
  if (dib) owner.reset(dib, qzifree);
  QZIDEC_LAYER* l = ilGetLayer(h, index);
  if (l) (l->*field).swap(owner);
}

}  // namespace

void ilSetBI(QZIDECODER_IMPL* h, uint32_t index, BITMAPINFO* bi) { set_layer_dib(h, index, bi, &QZIDEC_LAYER::bi); }

void ilSetBIA(QZIDECODER_IMPL* h, uint32_t index, BITMAPINFO* bia) {
  set_layer_dib(h, index, bia, &QZIDEC_LAYER::bia);
}

void ilSetName(QZIDECODER_IMPL* h, uint32_t index, const char* name) {
  if (QZIDEC_LAYER* l = ilGetLayer(h, index)) l->name = name ? name : "";
}

void ilSetInvisible(QZIDECODER_IMPL* h, uint32_t index, bool invisible) {
  if (QZIDEC_LAYER* l = ilGetLayer(h, index)) l->visible = !invisible;
}

void ilSetAnimeFrame(QZIDECODER_IMPL* h, uint32_t index, uint32_t value) {
  if (QZIDEC_LAYER* l = ilGetLayer(h, index)) l->anime_frame = value;
}

void ilSetAnimationMode(QZIDECODER_IMPL* h, int mode) { h->anime_mode = mode; }

void ilSetAnimeLoop(QZIDECODER_IMPL* h, int loop) { h->anime_loop = loop; }

// ---------------------------------------------------------------------------------------------
// Deliveries

namespace {

void fill_from_record(QZIDEC_LAYERINFO* info, const QZIDEC_LAYER& l) {
  info->name = l.name.c_str();
  info->extra_text = l.extra_text.c_str();
  std::memcpy(info->extra, l.extra, sizeof info->extra);
  info->visible = l.visible ? 1 : 0;
  info->attr_a = l.attr_a;
  info->attr_b = l.attr_b;
}

}  // namespace

int call_layercallback(QZIDECODER_IMPL* h) {
  if (!h->layer_callback) return QZIERR_INVALID_ARG;
  int i = 0;
  for (const std::unique_ptr<QZIDEC_LAYER>& record : h->layers) {
    const QZIDEC_LAYER& l = *record;
    QZIDEC_LAYERINFO info;
    std::memset(&info, 0, sizeof info);
    info.layer_user = h->layer_user;
    info.bi = l.bi.get();
    info.bi_size = qziDIBSize(l.bi.get());
    if (l.bia && h->alpha) {
      info.bia = l.bia.get();
      info.bia_size = qziDIBSize(l.bia.get());
    }
    fill_from_record(&info, l);
    info.anime_frame = l.anime_frame;
    const int r = h->layer_callback(&info, i++);
    if (r != 0) return r;
  }
  return 0;
}

int call_singleimage_layercallback(QZIDECODER_IMPL* h, int index) {
  if (!h->layer_callback) return QZIERR_INVALID_ARG;
  if (h->bpp <= 8 && h->bi) {
    const int n = qziDIBPaletteCount(h->bi);
    RGBQUAD* table = qziDIBPalette(h->bi);
    const bool with_alpha = h->alpha && h->bia;
    RGBQUAD* alpha_table = with_alpha ? qziDIBPalette(h->bia) : nullptr;
    const int alpha_n = with_alpha ? qziDIBPaletteCount(h->bia) : 0;
    for (int i = 0; i < n && i < 256; ++i) {
      table[i] = RGBQUAD{h->rgb[i][2], h->rgb[i][1], h->rgb[i][0], 0};
      if (alpha_table && i < alpha_n) {
        const uint8_t a = h->rgb_alpha[i];
        alpha_table[i] = RGBQUAD{a, a, a, 0};
      }
    }
  }
  QZIDEC_LAYERINFO info;
  std::memset(&info, 0, sizeof info);
  info.layer_user = h->layer_user;
  info.bi = h->bi;
  info.bi_size = qziDIBSize(h->bi);
  if (h->bia && h->alpha) {
    info.bia = h->bia;
    info.bia_size = qziDIBSize(h->bia);
  }
  if (!h->layers.empty()) fill_from_record(&info, *h->layers.front());
  return h->layer_callback(&info, index);
}

}  // namespace qzimgdecoder
