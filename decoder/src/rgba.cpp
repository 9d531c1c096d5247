// The RGBA loaders: a handle's first delivered picture turned into RGBA, 8-bit or float,
// top row first. The one-call loaders open and close a handle around it.
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "internal.h"
#include "qzimgdecoder.h"
#include "qzirgba.h"

namespace {

struct Target {
  QZIDECODER_IMPL* h = nullptr;
  int sample = QZIDEC_SAMPLE_UINT8;
  void* pixels = nullptr;  // malloc'd; handed to the caller or freed
  int width = 0;
  int height = 0;
  bool alpha = false;             // the picture came with an alpha plane
  int result = QZIERR_SUCCESS;    // a failure of the conversion itself
};

// x / 255 as the nearest float, for each byte: the exact widening of 8-bit samples.
struct UnitTable {
  float v[256];
  UnitTable() {
    for (int i = 0; i < 256; ++i) v[i] = static_cast<float>(i) / 255.0f;
  }
};

// The picture as float RGBA: each row converted as the 8-bit loaders convert it, then widened.
void widen_rows(const BITMAPINFO* bi, const BITMAPINFO* bia, float* pixels) {
  static const UnitTable unit;
  const int w = bi->bmiHeader.biWidth, h = bi->bmiHeader.biHeight;
  std::vector<uint8_t> row(static_cast<size_t>(w) * 4);
  for (int y = 0; y < h; ++y) {
    qzimg::rgba::row(bi, bia, y, row.data());
    float* out = pixels + static_cast<size_t>(y) * row.size();
    for (size_t i = 0; i < row.size(); ++i) out[i] = unit.v[row[i]];
  }
}

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
  t->width = w;
  t->height = h;
  t->alpha = bia != nullptr;
  QZIDEC_FLOAT_PICTURE* fp = t->h->float_picture;
  if (fp && fp->pixels && fp->width == w && fp->height == h) {
    // The module's own float samples, unclamped.
    t->pixels = fp->pixels;
    fp->pixels = nullptr;
    return 0;
  }
  const size_t sample_size = t->sample == QZIDEC_SAMPLE_FLOAT32 ? sizeof(float) : 1;
  t->pixels = std::malloc(size_t{static_cast<uint32_t>(w)} * static_cast<uint32_t>(h) * 4 * sample_size);
  if (!t->pixels) {
    t->result = QZIERR_NO_MEMORY;
    return 1;
  }
  if (t->sample == QZIDEC_SAMPLE_FLOAT32) {
    widen_rows(bi, bia, static_cast<float*>(t->pixels));
  } else {
    unsigned char* out = static_cast<unsigned char*>(t->pixels);
    for (int y = 0; y < h; ++y) qzimg::rgba::row(bi, bia, y, out + static_cast<size_t>(y) * static_cast<size_t>(w) * 4);
  }
  return 0;
}

// Executes an initialised handle with the converter in place of the caller's layer callback,
// which comes back afterwards.
int execute_rgba(QZIDECODER h, int sample, Target* t) {
  t->h = h;
  t->sample = sample;
  const QZIDEC_LAYER_CALLBACK callback = h->layer_callback;
  const uint64_t user = h->layer_user;
  QZIDEC_FLOAT_PICTURE fp;
  h->float_picture = sample == QZIDEC_SAMPLE_FLOAT32 ? &fp : nullptr;
  h->layer_callback = on_layer;
  h->layer_user = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(t));
  int rc = qziDecoderExecute(h);
  h->layer_callback = callback;
  h->layer_user = user;
  h->float_picture = nullptr;
  std::free(fp.pixels);  // float rows of a picture that was not the one converted
  // The execution succeeded (and cleared the reason), but its picture could not be had here.
  if (rc == QZIERR_SUCCESS && t->result == QZIERR_NO_MEMORY) {
    qzimgdecoder::set_reason(h, "out of memory for the %d x %d RGBA picture", t->width, t->height);
  } else if (rc == QZIERR_SUCCESS && t->result != QZIERR_SUCCESS) {
    qzimgdecoder::set_reason(h, "the delivered bitmap's layout cannot be converted to RGBA");
  } else if (rc == QZIERR_SUCCESS && !t->pixels) {
    qzimgdecoder::set_reason(h, "the format delivered no picture");
  }
  if (rc == QZIERR_SUCCESS) rc = t->result;
  if (rc == QZIERR_SUCCESS && !t->pixels) rc = QZIERR_UNSUPPORTED;  // a format that delivered nothing
  if (rc != QZIERR_SUCCESS) {
    std::free(t->pixels);
    t->pixels = nullptr;
  }
  return rc;
}

// Runs an initialised handle and hands over the picture; closes the handle.
int finish(QZIDECODER d, int rc, int sample, void** pixels, int* width, int* height) {
  Target t;
  if (rc == QZIERR_SUCCESS) rc = execute_rgba(d, sample, &t);
  qziCloseDecoder(d);
  if (rc != QZIERR_SUCCESS) return rc;
  *pixels = t.pixels;
  *width = t.width;
  *height = t.height;
  return QZIERR_SUCCESS;
}

template <typename T>
bool clear_outputs(T** pixels, int* width, int* height) {
  if (!pixels || !width || !height) return false;
  *pixels = nullptr;
  *width = *height = 0;
  return true;
}

template <typename T>
int load_file(const char* path, int sample, T** pixels, int* width, int* height) {
  if (!clear_outputs(pixels, width, height) || !path) return QZIERR_INVALID_ARG;
  QZIDECODER d = qziCreateDecoder();
  if (!d) return QZIERR_NO_MEMORY;
  void* out = nullptr;
  const int rc = finish(d, qziDecoderInitializeFromFile(d, path), sample, &out, width, height);
  *pixels = static_cast<T*>(out);
  return rc;
}

template <typename T>
int load_memory(const void* data, size_t size, const char* name_hint, int sample, T** pixels, int* width,
                int* height) {
  if (!clear_outputs(pixels, width, height) || !data || size == 0) return QZIERR_INVALID_ARG;
  // Stream positions and sizes are 32-bit signed, as for files.
  if (size > static_cast<size_t>(INT_MAX)) return QZIERR_CANNOT;
  QZIDECODER d = qziCreateDecoder();
  if (!d) return QZIERR_NO_MEMORY;
  const int rc = qziDecoderInitializeFromMemory(d, data, size, name_hint);
  void* out = nullptr;
  const int result = finish(d, rc, sample, &out, width, height);
  *pixels = static_cast<T*>(out);
  return result;
}

}  // namespace

namespace qzimgdecoder {

float* float_rows(QZIDECODER_IMPL* h, int width, int height) {
  QZIDEC_FLOAT_PICTURE* fp = h->float_picture;
  if (!fp) return nullptr;
  if (width <= 0 || height <= 0) qzimg::error_abort(QZIERR_IMAGE_SIZE);
  std::free(fp->pixels);
  fp->pixels = nullptr;
  const uint64_t bytes = uint64_t{static_cast<uint32_t>(width)} * static_cast<uint32_t>(height) * 4 * sizeof(float);
  if (bytes > SIZE_MAX) qzimg::error_abort(QZIERR_NO_MEMORY);
  fp->pixels = static_cast<float*>(std::malloc(static_cast<size_t>(bytes)));
  if (!fp->pixels) qzimg::error_abort(QZIERR_NO_MEMORY);
  fp->width = width;
  fp->height = height;
  return fp->pixels;
}

}  // namespace qzimgdecoder

extern "C" {

int qziLoadRGBA(const char* path, unsigned char** pixels, int* width, int* height) {
  return load_file(path, QZIDEC_SAMPLE_UINT8, pixels, width, height);
}

int qziLoadRGBAFromMemory(const void* data, size_t size, const char* name_hint, unsigned char** pixels, int* width,
                          int* height) {
  return load_memory(data, size, name_hint, QZIDEC_SAMPLE_UINT8, pixels, width, height);
}

int qziLoadRGBAF(const char* path, float** pixels, int* width, int* height) {
  return load_file(path, QZIDEC_SAMPLE_FLOAT32, pixels, width, height);
}

int qziLoadRGBAFFromMemory(const void* data, size_t size, const char* name_hint, float** pixels, int* width,
                           int* height) {
  return load_memory(data, size, name_hint, QZIDEC_SAMPLE_FLOAT32, pixels, width, height);
}

int qziDecoderExecuteRGBA(QZIDECODER decoder, int sample_type, void** pixels, int* width, int* height,
                          int* alpha) {
  if (pixels) *pixels = nullptr;
  if (width) *width = 0;
  if (height) *height = 0;
  if (alpha) *alpha = 0;
  if (!decoder) return QZIERR_INVALID_ARG;
  // Like the execution it stands for, every answer replaces the handle's reason.
  if (!pixels || !width || !height) {
    qzimgdecoder::set_reason(decoder, "a required argument is missing");
    return QZIERR_INVALID_ARG;
  }
  if (sample_type != QZIDEC_SAMPLE_UINT8 && sample_type != QZIDEC_SAMPLE_FLOAT32) {
    qzimgdecoder::set_reason(decoder, "sample type %d is neither QZIDEC_SAMPLE_UINT8 (0) nor QZIDEC_SAMPLE_FLOAT32 (1)",
                             sample_type);
    return QZIERR_INVALID_ARG;
  }
  if (!decoder->initialized) {
    qzimgdecoder::set_reason(decoder, "the handle is not initialised");
    return QZIERR_NOT_INITIALIZED;
  }
  Target t;
  const int rc = execute_rgba(decoder, sample_type, &t);
  if (rc != QZIERR_SUCCESS) return rc;
  *pixels = t.pixels;
  *width = t.width;
  *height = t.height;
  if (alpha) *alpha = t.alpha ? 1 : 0;
  return QZIERR_SUCCESS;
}

void qziFreeRGBA(unsigned char* pixels) { std::free(pixels); }

void qziFreeRGBAF(float* pixels) { std::free(pixels); }

}  // extern "C"
