// The one-call loaders: a handle, the first delivered picture turned into 8-bit RGBA, top row
// first, and the handle closed again. They use only the public functions.
#include <climits>
#include <cstdlib>
#include <cstring>

#include "qzimgdecoder.h"
#include "qzirgba.h"

namespace {

struct Target {
  unsigned char* pixels = nullptr;  // malloc'd; handed to the caller or freed
  int width = 0;
  int height = 0;
  int result = QZIERR_SUCCESS;  // a failure of the conversion itself
};

// Converts the first picture; later layers are ignored.
int on_layer(QZIDEC_LAYERINFO* info, int /*index*/) {
  Target* t = reinterpret_cast<Target*>(static_cast<uintptr_t>(info->layer_user));
  if (t->pixels || t->result != QZIERR_SUCCESS) return 1;
  const BITMAPINFO* bi = info->bi;
  const BITMAPINFO* bia = info->bia;
  if (!qzimg::rgba::layout_known(bi, bia)) {
    t->result = QZIERR_UNSUPPORTED;
    return 1;
  }
  const int w = bi->bmiHeader.biWidth, h = bi->bmiHeader.biHeight;
  t->pixels = static_cast<unsigned char*>(std::malloc(size_t{static_cast<uint32_t>(w)} * static_cast<uint32_t>(h) * 4));
  if (!t->pixels) {
    t->result = QZIERR_NO_MEMORY;
    return 1;
  }
  t->width = w;
  t->height = h;

  for (int y = 0; y < h; ++y) {
    qzimg::rgba::row(bi, bia, y, t->pixels + static_cast<size_t>(y) * static_cast<size_t>(w) * 4);
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
