// PVR textures. The texture library reads the header and decodes the whole file; this module
// bounds the input, hands it over and gives the library the raster's rows, so that blocks are
// decoded straight into the 24-bit bitmap and the alpha bitmap.
#include <cstdint>
#include <cstring>

#include "format/texture.h"
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
  void* pixels;  // unused: the library writes into the raster
  char reason[96];  // the texture library's words when its container read refused the file
};

namespace {

const unsigned kMinInput = QZIPVR_HEADER_SIZE + 1;  // a header and at least one byte more
const unsigned kMaxInput = 104857600;
const int kMaxSide = 4096;

void free_buffers(QZIDEC_PVR* s) {
  qziMemFree(&s->data);
  qziMemFree(&s->pixels);
}

[[noreturn]] void fail(QZIERR code) { qzimg::error_abort(code); }

uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

// Raises for a header the texture library refused, or returns when it is no PVR header at all
// (another format may take the input). The library answers only yes or no; this names the rule.
void refuse_header(QZIDECODER_IMPL* h, const uint8_t* p) {
  const uint32_t first = le32(p);
  if (first == 0x03525650) {  // "PVR" 3
    const uint32_t low = le32(p + 8), high = le32(p + 12);
    const uint32_t height = le32(p + 24), width = le32(p + 28);
    if (high == 0 && (low == 4 || low == 5)) raise(h, QZIERR_UNSUPPORTED, "PVR: PVRTC-II is not supported");
    if (high != 0) raise(h, QZIERR_UNSUPPORTED, "PVR: uncompressed channel layout 0x%08x%08x is not supported", high, low);
    if (width == 0 || height == 0) raise(h, QZIERR_UNSUPPORTED, "PVR: the width or height is 0");
    raise(h, QZIERR_UNSUPPORTED, "PVR: pixel format %u at %u x %u is not supported", low, width, height);
  }
  if ((first == 44 || first == 52) && le32(p + 44) == 0x21525650) {  // "PVR!" behind the old header
    raise(h, QZIERR_UNSUPPORTED, "PVR: legacy pixel type 0x%02x at %u x %u is not supported", p[16], le32(p + 8), le32(p + 4));
  }
}

void decode(QZIDECODER_IMPL* h, int mode) {
  if (mode == 0) new_format_state(h, sizeof(QZIDEC_PVR));
  QZIDEC_PVR* s = static_cast<QZIDEC_PVR*>(h->format_state);
  if (!s) fail(QZIERR_UNSUPPORTED);
  s->decoder = h;

  const unsigned size = rdfsize_get(h);
  if (size < kMinInput || size > kMaxInput) fail(QZIERR_UNSUPPORTED);
  set_byte_order(h, false);
  rdpos_set_skip(h, 0);

  uint8_t header[QZIPVR_HEADER_SIZE] = {};
  if (get_read(h, header, QZIPVR_HEADER_SIZE) != static_cast<uint32_t>(QZIPVR_HEADER_SIZE)) fail(QZIERR_READ);
  s->width = 0;
  s->height = 0;
  s->pixel_format = 0;
  if (qzipvr03(header, QZIPVR_HEADER_SIZE, &s->width, &s->height, &s->pixel_format) != 0) {
    refuse_header(h, header);
    fail(QZIERR_UNSUPPORTED);
  }
  if (s->width > kMaxSide || s->height > kMaxSide)
    raise(h, QZIERR_CANNOT, "PVR: %d x %d is above the %d limit", s->width, s->height, kMaxSide);
  if (s->pixel_format >= QZIPVR_FORMAT_COUNT) raise(h, QZIERR_CANNOT, "PVR: pixel format %d is not supported", s->pixel_format);
  char name[64];
  if (qzipvr07(header, QZIPVR_HEADER_SIZE, name, sizeof name) == 0) set_format_description(h, name);
  // Counts of levels, faces and surfaces, and another image than the top level of the first
  // surface and face when the parameters choose one: through the container call.
  const qzimgdecoder_texture::Choice c = qzimgdecoder_texture::choice_of(h);
  const bool chosen = c.level || c.face || c.layer || c.slice;
  QZIPVR_INFO info{};
  QZIPVR_CHOICE choice{c.level, c.face, c.layer, c.slice, c.tone_map, c.exposure};
  info.reason[0] = '\0';
  const int rc = qzimgdecoder_texture::read_info(h, size, choice, &info);
  std::memcpy(s->reason, info.reason, sizeof s->reason);
  s->reason[sizeof s->reason - 1] = '\0';
  if (rc == QZIPVR_OK) {
    h->texture_counts[0] = static_cast<uint32_t>(info.levels);
    h->texture_counts[1] = static_cast<uint32_t>(info.faces);
    h->texture_counts[2] = static_cast<uint32_t>(info.layers);
  }
  // A file shorter than its image still has its header's facts (the decode then refuses it).
  if (rc == QZIPVR_OK || info.block_bits > 0) qzimgdecoder_texture::set_source_facts(h, info);
  if (chosen) {
    if (rc != QZIPVR_OK) raise(h, rc == QZIPVR_ERR_DATA ? QZIERR_READ : QZIERR_UNSUPPORTED, "PVR: %s", s->reason);
    s->width = info.width;
    s->height = info.height;
  }
  set_size(h, s->width, s->height, 24, 0);
  confirm_variant(h, static_cast<uint64_t>(s->pixel_format));  // a decode must find what the probe accepted
  if (mode == 0) return;
  // Taken here rather than announced by the probe, so that the plane comes uncleared.
  set_alpha(h, 1);
  take_alpha_plane(h, false);

  rdpos_set(h, 0);
  // The buffers live only for this pass, whichever way it ends.
  auto guard = make_scope_guard([s] { free_buffers(s); });
  if (!qziMemAllocRaw(&s->data, size)) fail(QZIERR_NO_MEMORY);  // filled whole below
  qzimg::do_progress(h, 10, 100);
  // An input shorter than its declared size would leave the tail of `data` unread.
  if (get_read(h, s->data, size) != size) raise(h, QZIERR_READ, "PVR: the input ends before its declared size");

  const size_t bytes = qzipvr04(s->width, s->height, s->pixel_format);
  if (bytes == 0) raise(h, QZIERR_CANNOT, "PVR: %d x %d is not a size this pixel format can have", s->width, s->height);
  // The library promises at least 4 bytes a pixel for what it accepts; less means a fault.
  const size_t needed = static_cast<size_t>(s->width) * static_cast<size_t>(s->height) * 4;
  if (bytes < needed) fail(QZIERR_CANNOT);
  qzimg::do_progress(h, 20, 100);
  const QZIPVR_ROWS rows{h, qzimgdecoder_texture::raster_row};
  if (chosen ? qzipvr09(s->data, size, &choice, &rows) != 0 : qzipvr06(s->data, size, &rows) != 0) {
    // The container read of initialisation says why, a file shorter than its top level above all.
    if (s->reason[0]) raise(h, QZIERR_CANNOT, "PVR: %s", s->reason);
    raise(h, QZIERR_CANNOT, "PVR: the texture data cannot be decoded");
  }
  if (rc == QZIPVR_OK) qzimgdecoder_texture::float_picture(h, info.flags, s->data, size, choice, "PVR");
  qzimg::do_progress(h, 90, 100);
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
