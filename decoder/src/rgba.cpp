// The one-call loaders: a handle, the first delivered picture turned into 8-bit RGBA, top row
// first, and the handle closed again. They use only the public functions.
#include <climits>
#include <cstdlib>
#include <cstring>

#include "qzimgdecoder.h"

namespace {

struct Target {
  unsigned char* pixels = nullptr;  // malloc'd; handed to the caller or freed
  int width = 0;
  int height = 0;
  int result = QZIERR_SUCCESS;  // a failure of the conversion itself
};

const uint8_t* dib_bits(const BITMAPINFO* bi) {
  return reinterpret_cast<const uint8_t*>(bi) + bi->bmiHeader.biSize + size_t{bi->bmiHeader.biClrUsed} * 4;
}

size_t dib_stride(const BITMAPINFO* bi) {
  return (size_t{static_cast<uint32_t>(bi->bmiHeader.biWidth)} * bi->bmiHeader.biBitCount + 31) / 32 * 4;
}

const RGBQUAD* dib_table(const BITMAPINFO* bi) {
  return reinterpret_cast<const RGBQUAD*>(reinterpret_cast<const uint8_t*>(bi) + bi->bmiHeader.biSize);
}

// Converts the first picture; later layers are ignored.
int on_layer(QZIDEC_LAYERINFO* info, int /*index*/) {
  Target* t = reinterpret_cast<Target*>(static_cast<uintptr_t>(info->layer_user));
  if (t->pixels || t->result != QZIERR_SUCCESS) return 1;
  const BITMAPINFO* bi = info->bi;
  const BITMAPINFO* bia = info->bia;
  const BITMAPINFOHEADER& hd = bi->bmiHeader;
  const int w = hd.biWidth, h = hd.biHeight;
  const bool layout_known = w > 0 && h > 0 && (hd.biBitCount == 8 || hd.biBitCount == 24) &&
                            (!bia || (bia->bmiHeader.biBitCount == 8 && bia->bmiHeader.biWidth == w &&
                                      bia->bmiHeader.biHeight == h));
  if (!layout_known) {
    t->result = QZIERR_UNSUPPORTED;
    return 1;
  }
  t->pixels = static_cast<unsigned char*>(std::malloc(size_t{static_cast<uint32_t>(w)} * static_cast<uint32_t>(h) * 4));
  if (!t->pixels) {
    t->result = QZIERR_NO_MEMORY;
    return 1;
  }
  t->width = w;
  t->height = h;

  const RGBQUAD* table = dib_table(bi);
  const uint32_t entries = hd.biClrUsed;
  const RGBQUAD* alpha_table = bia ? dib_table(bia) : nullptr;
  const uint32_t alpha_entries = bia ? bia->bmiHeader.biClrUsed : 0;
  for (int y = 0; y < h; ++y) {
    // Delivered rows are bottom-up.
    const uint8_t* row = dib_bits(bi) + static_cast<size_t>(h - 1 - y) * dib_stride(bi);
    const uint8_t* arow = bia ? dib_bits(bia) + static_cast<size_t>(h - 1 - y) * dib_stride(bia) : nullptr;
    unsigned char* out = t->pixels + static_cast<size_t>(y) * static_cast<size_t>(w) * 4;
    for (int x = 0; x < w; ++x, out += 4) {
      if (hd.biBitCount == 8) {
        const RGBQUAD c = row[x] < entries ? table[row[x]] : RGBQUAD{0, 0, 0, 0};
        out[0] = c.rgbRed;
        out[1] = c.rgbGreen;
        out[2] = c.rgbBlue;
      } else {
        out[0] = row[3 * x + 2];
        out[1] = row[3 * x + 1];
        out[2] = row[3 * x];
      }
      out[3] = !arow ? 255 : arow[x] < alpha_entries ? alpha_table[arow[x]].rgbRed : 0;
    }
  }
  return 0;
}

// Runs an initialised handle and hands over the picture; closes the handle.
int finish(QZIDECODER d, int rc, unsigned char** pixels, int* width, int* height) {
  Target t;
  if (rc == QZIERR_SUCCESS) rc = qziSetDecoderLayerCallback(d, on_layer, &t);
  if (rc == QZIERR_SUCCESS) rc = qziDecoderExecute(d);
  qziCloseDecoder(d);
  if (rc == QZIERR_SUCCESS) rc = t.result;
  if (rc == QZIERR_SUCCESS && !t.pixels) rc = QZIERR_UNSUPPORTED;  // a format that delivered nothing
  if (rc != QZIERR_SUCCESS) {
    std::free(t.pixels);
    return rc;
  }
  *pixels = t.pixels;
  *width = t.width;
  *height = t.height;
  return QZIERR_SUCCESS;
}

bool clear_outputs(unsigned char** pixels, int* width, int* height) {
  if (!pixels || !width || !height) return false;
  *pixels = nullptr;
  *width = *height = 0;
  return true;
}

// A read-only stream over the caller's bytes.
struct Bytes {
  const uint8_t* data;
  size_t size;
  size_t pos;
};

bool bytes_read(void* stream, void* buffer, unsigned int size, unsigned int* count) {
  Bytes* b = static_cast<Bytes*>(stream);
  const size_t n = size < b->size - b->pos ? size : b->size - b->pos;
  if (n) std::memcpy(buffer, b->data + b->pos, n);
  b->pos += n;
  *count = static_cast<unsigned int>(n);
  return true;
}

bool bytes_setpos(void* stream, unsigned int position) {
  Bytes* b = static_cast<Bytes*>(stream);
  if (position > b->size) return false;
  b->pos = position;
  return true;
}

}  // namespace

extern "C" {

int qziLoadRGBA(const char* path, unsigned char** pixels, int* width, int* height) {
  if (!clear_outputs(pixels, width, height) || !path) return QZIERR_INVALID_ARG;
  QZIDECODER d = qziCreateDecoder();
  if (!d) return QZIERR_NO_MEMORY;
  return finish(d, qziDecoderInitializeFromFile(d, path), pixels, width, height);
}

int qziLoadRGBAFromMemory(const void* data, size_t size, const char* name_hint, unsigned char** pixels, int* width,
                          int* height) {
  if (!clear_outputs(pixels, width, height) || !data || size == 0) return QZIERR_INVALID_ARG;
  // Stream positions and sizes are 32-bit signed, as for files.
  if (size > static_cast<size_t>(INT_MAX)) return QZIERR_CANNOT;
  QZIDECODER d = qziCreateDecoder();
  if (!d) return QZIERR_NO_MEMORY;
  Bytes bytes{static_cast<const uint8_t*>(data), size, 0};
  const int rc =
      qziDecoderInitialize(d, &bytes, static_cast<int>(size), bytes_read, bytes_setpos, nullptr, name_hint);
  return finish(d, rc, pixels, width, height);
}

void qziFreeRGBA(unsigned char* pixels) { std::free(pixels); }

}  // extern "C"
