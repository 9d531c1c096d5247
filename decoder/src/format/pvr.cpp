// PVR textures. The texture library reads the header and decodes the whole file; this module
// bounds the input, hands it over and copies the 32-bit pixels into the 24-bit bitmap and the
// alpha bitmap.
#include <cstdint>

#include "internal.h"
#include "qzipvr.h"

namespace qzimgdecoder_pvr {

using namespace qzimgdecoder;

// The module's state, in the handle's format_state from the probe on.
struct QZIDEC_PVR {
  QZIDECODER_IMPL* decoder;
  uint32_t option;  // parameter 601; stored only
  int width;
  int height;
  int pixel_format;
  void* data;    // the whole input, during a decode
  void* pixels;  // the decoded pixels, during a decode
};

namespace {

const unsigned kMinInput = 53;  // a header and at least one byte more
const unsigned kMaxInput = 104857600;
const int kMaxSide = 4096;
const int kPixelFormats = QZIPVR_FORMAT_COUNT;
const int kHeaderBytes = 52;

void free_buffers(QZIDEC_PVR* s) {
  qziMemFree(&s->data);
  qziMemFree(&s->pixels);
}

[[noreturn]] void fail(QZIERR code) { qzimg::error_abort(code); }

void decode(QZIDECODER_IMPL* h, int mode) {
  if (mode == 0) {
    qziMemFree(&h->format_state);
    if (!qziMemAlloc(&h->format_state, sizeof(QZIDEC_PVR))) fail(QZIERR_NO_MEMORY);
  }
  QZIDEC_PVR* s = static_cast<QZIDEC_PVR*>(h->format_state);
  if (!s) fail(QZIERR_UNSUPPORTED);
  s->decoder = h;

  const unsigned size = rdfsize_get(h);
  if (size < kMinInput || size > kMaxInput) fail(QZIERR_UNSUPPORTED);
  set_byte_order(h, false);
  rdpos_set_skip(h, 0);

  uint8_t header[kHeaderBytes] = {};
  if (get_read(h, header, kHeaderBytes) != static_cast<uint32_t>(kHeaderBytes)) fail(QZIERR_READ);
  s->width = 0;
  s->height = 0;
  s->pixel_format = 0;
  if (qzipvr03(header, kHeaderBytes, &s->width, &s->height, &s->pixel_format) != 0) fail(QZIERR_UNSUPPORTED);
  if (s->width > kMaxSide || s->height > kMaxSide || s->pixel_format >= kPixelFormats) fail(QZIERR_CANNOT);
  set_size(h, s->width, s->height, 24, 0);
  set_alpha(h, 1);
  if (mode == 0) return;

  rdpos_set(h, 0);
  // The buffers live only for this pass, whichever way it ends.
  auto guard = make_scope_guard([s] { free_buffers(s); });
  if (!qziMemAlloc(&s->data, size)) fail(QZIERR_NO_MEMORY);
  qzimg::do_progress(h, 10, 100);
  // An input shorter than its declared size would leave the tail of `data` unread.
  if (get_read(h, s->data, size) != size) fail(QZIERR_READ);

  const size_t bytes = qzipvr04(s->width, s->height, s->pixel_format);
  if (bytes == 0) fail(QZIERR_CANNOT);
  // Fewer bytes than the copy below reads: refuse before anything is written into them.
  const size_t needed = static_cast<size_t>(s->width) * static_cast<size_t>(s->height) * 4;
  if (bytes < needed) fail(QZIERR_CANNOT);
  if (!qziMemAlloc(&s->pixels, bytes)) fail(QZIERR_NO_MEMORY);
  qzimg::do_progress(h, 20, 100);
  if (qzipvr05(s->data, size, s->pixels, bytes) != 0) fail(QZIERR_CANNOT);
  qzimg::do_progress(h, 90, 100);

  // Decoded row 0 is the top of the picture; the raster counts rows from the top too.
  const uint8_t* src = static_cast<const uint8_t*>(s->pixels);
  for (int y = 0; y < s->height; ++y) {
    uint8_t* row = y_adr(h, y);
    uint8_t* alpha = alpha_y_adr(h, y);
    for (int x = 0; x < s->width; ++x, src += 4) {
      row[3 * x] = src[0];
      row[3 * x + 1] = src[1];
      row[3 * x + 2] = src[2];
      if (alpha) alpha[x] = src[3];
    }
  }
  call_singleimage_layercallback(h, 0);
  qzimg::do_progress(h, 100, 100);
}

}  // namespace

void qzi_decode_pvr(QZIDECODER_IMPL* h, int mode) {
  if (!h) return;
  if (mode < 0) {
    if (h->format_state) free_buffers(static_cast<QZIDEC_PVR*>(h->format_state));
    return;
  }
  decode(h, mode);
}

int qzidec_setparam_pvr(QZIDECODER_IMPL* h, unsigned int id, long a, long /*b*/) {
  if (!h || h->format.id != QZIDEC_FORMAT_PVR || !h->format_state) return QZIERR_UNKNOWN_PARAM;
  if (id != PVR_PARAM_OPTION) return QZIERR_UNKNOWN_PARAM;
  if (static_cast<unsigned long>(a) > 1) return QZIERR_INVALID_ARG;
  static_cast<QZIDEC_PVR*>(h->format_state)->option = static_cast<uint32_t>(a);
  return QZIERR_SUCCESS;
}

}  // namespace qzimgdecoder_pvr
