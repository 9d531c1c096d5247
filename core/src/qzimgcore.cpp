#include "qzimgcore.h"

#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

// Checked size arithmetic: false when the product or sum leaves size_t.
bool mul_size(size_t a, size_t b, size_t* out) {
  if (a != 0 && b > SIZE_MAX / a) return false;
  *out = a * b;
  return true;
}

bool add_size(size_t a, size_t b, size_t* out) {
  if (b > SIZE_MAX - a) return false;
  *out = a + b;
  return true;
}

size_t row_bytes(int width, int bytes_per_pixel) {
  // width <= 12800, so 3 * width + 3 cannot overflow.
  return (static_cast<size_t>(width) * bytes_per_pixel + 3) & ~static_cast<size_t>(3);
}

BITMAPINFO* alloc_dib(int width, int height, int bytes_per_pixel, int entries) {
  if (width < 1 || height < 1 || width > QZI_DIB_MAX_SIDE || height > QZI_DIB_MAX_SIDE) return nullptr;
  size_t pixels = 0, table = 0, total = 0;
  if (!mul_size(row_bytes(width, bytes_per_pixel), static_cast<size_t>(height), &pixels)) return nullptr;
  if (!mul_size(static_cast<size_t>(entries), sizeof(RGBQUAD), &table)) return nullptr;
  if (!add_size(sizeof(BITMAPINFOHEADER), table, &total) || !add_size(total, pixels, &total)) return nullptr;
  if (pixels > UINT32_MAX) return nullptr;  // biSizeImage must hold it

  void* block = nullptr;
  if (!qziMemAllocRaw(&block, total)) return nullptr;
  // Header and table are defined here; the rows are left to the writer.
  std::memset(block, 0, sizeof(BITMAPINFOHEADER) + table);
  BITMAPINFO* bi = static_cast<BITMAPINFO*>(block);
  BITMAPINFOHEADER& h = bi->bmiHeader;
  h.biSize = sizeof(BITMAPINFOHEADER);
  h.biWidth = width;
  h.biHeight = height;
  h.biPlanes = 1;
  h.biBitCount = static_cast<uint16_t>(bytes_per_pixel * 8);
  h.biCompression = 0;
  h.biSizeImage = static_cast<uint32_t>(pixels);
  h.biClrUsed = static_cast<uint32_t>(entries);
  return bi;
}

int table_entries_for_depth(int depth) { return 1 << depth; }  // depth 1..8

}  // namespace

extern "C" {

bool qziMemAlloc(void** p, size_t size) {
  if (!p) return false;
  *p = std::calloc(1, size ? size : 1);
  return *p != nullptr;
}

bool qziMemAllocRaw(void** p, size_t size) {
  if (!p) return false;
  *p = std::malloc(size ? size : 1);
  return *p != nullptr;
}

void qziMemFree(void** p) {
  if (!p) return;
  std::free(*p);
  *p = nullptr;
}

void qzifree(void* p) { std::free(p); }

BITMAPINFO* qziDIBAlloc(int width, int height, int depth, int colors) {
  if (depth < 1 || depth > QZI_DIB_MAX_DEPTH || colors < 0) return nullptr;
  if (depth <= 8) return alloc_dib(width, height, 1, table_entries_for_depth(depth));
  return alloc_dib(width, height, 3, colors < 256 ? colors : 256);
}

BITMAPINFO* qziDIBAllocAlpha(int width, int height, int depth) {
  if (depth < 1 || depth > QZI_DIB_MAX_DEPTH) return nullptr;
  const int entries = depth <= 8 ? table_entries_for_depth(depth) : 256;
  BITMAPINFO* bi = alloc_dib(width, height, 1, entries);
  if (!bi) return nullptr;
  RGBQUAD* table = qziDIBPalette(bi);
  for (int i = 0; i < entries; ++i) {
    const uint8_t v = static_cast<uint8_t>(i);
    table[i] = RGBQUAD{v, v, v, 0};
  }
  return bi;
}

uint8_t* qziDIBBits(BITMAPINFO* bi) {
  if (!bi) return nullptr;
  return reinterpret_cast<uint8_t*>(bi) + bi->bmiHeader.biSize + bi->bmiHeader.biClrUsed * sizeof(RGBQUAD);
}

RGBQUAD* qziDIBPalette(BITMAPINFO* bi) {
  if (!bi) return nullptr;
  return reinterpret_cast<RGBQUAD*>(reinterpret_cast<uint8_t*>(bi) + bi->bmiHeader.biSize);
}

int qziDIBPaletteCount(const BITMAPINFO* bi) { return bi ? static_cast<int>(bi->bmiHeader.biClrUsed) : 0; }

size_t qziDIBSize(const BITMAPINFO* bi) {
  if (!bi) return 0;
  const BITMAPINFOHEADER& h = bi->bmiHeader;
  return h.biSize + static_cast<size_t>(h.biClrUsed) * sizeof(RGBQUAD) + h.biSizeImage;
}

int qziWidthBytes(int bytes) {
  if (bytes <= 0) return 0;
  if (bytes > INT_MAX - 3) return INT_MAX & ~3;
  return (bytes + 3) & ~3;
}

}  // extern "C"

namespace qzimg {

void set_progress(void* record, PROGRESS_FUNC callback, long user) {
  if (!record) return;
  PROGRESS_RECORD* r = static_cast<PROGRESS_RECORD*>(record);
  r->callback = callback;
  r->user = user;
}

void do_progress(void* record, long done, long total) {
  if (!record) return;
  PROGRESS_RECORD* r = static_cast<PROGRESS_RECORD*>(record);
  if (!r->callback) return;
  unsigned int value = 100;
  if (total > 0) {
    if (done <= 0) {
      value = 0;
    } else if (done < total) {
      // done * 100 may not fit a long; long double holds every long exactly.
      value = static_cast<unsigned int>(static_cast<long double>(done) * 100 / total);
    }
  }
  r->work = value;
  if (!r->callback(r->user, value)) error_abort(QZIERR_ABORTED);
}

void error_abort(QZIERR code) { throw code; }

}  // namespace qzimg
