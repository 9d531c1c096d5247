// The shared decode of the texture formats. The probe reads the container's first bytes (more
// when the texture library asks for metadata further in), lets the library check the chosen
// image against the file, and declares its size; the decode reads the whole file and has the
// library write the image straight into the raster's rows.
#include "format/texture.h"

#include <cstring>

#include "internal.h"
#include "qzipvr.h"

namespace qzimgdecoder_texture {

// The raster's rows for the texture library, counted from the top of the picture as the
// library counts them. Neither plane is cleared beforehand: the library writes every pixel and
// alpha byte of a row it is given, and the padding at the rows' ends is cleared here.
unsigned char* raster_row(void* user, int y, unsigned char** alpha) {
  QZIDECODER_IMPL* h = static_cast<QZIDECODER_IMPL*>(user);
  *alpha = nullptr;
  if (y < 0 || y >= h->height) return nullptr;
  uint8_t* row = qzimgdecoder::y_adr(h, y);
  const size_t used = 3 * static_cast<size_t>(h->width);
  std::memset(row + used, 0, static_cast<size_t>(h->width_bytes) - used);
  uint8_t* a = qzimgdecoder::alpha_y_adr(h, y);
  if (a) std::memset(a + h->width, 0, static_cast<size_t>(qziWidthBytes(h->width) - h->width));
  *alpha = a;
  return row;
}

using namespace qzimgdecoder;

namespace {

// The float picture's rows for the texture library, counted from the top.
struct FloatPlane {
  float* pixels;
  int width, height;
};

float* float_row(void* user, int y) {
  const FloatPlane* p = static_cast<const FloatPlane*>(user);
  if (y < 0 || y >= p->height) return nullptr;
  return p->pixels + static_cast<size_t>(y) * static_cast<size_t>(p->width) * 4;
}

}  // namespace

void float_picture(QZIDECODER_IMPL* h, unsigned flags, const void* file, unsigned size, const QZIPVR_CHOICE& choice,
                   const char* name) {
  if (!(flags & (QZIPVR_FLAG_HDR | QZIPVR_FLAG_SIGNED | QZIPVR_FLAG_DEEP))) return;  // the 8-bit picture widened is exact
  float* pixels = float_rows(h, h->width, h->height);
  if (!pixels) return;  // no float picture asked for
  FloatPlane plane{pixels, h->width, h->height};
  const QZIPVR_FLOAT_ROWS rows{&plane, float_row};
  const int rc = qzipvr10(file, size, &choice, &rows);
  if (rc != QZIPVR_OK) raise(h, QZIERR_CANNOT, "%s: the float samples cannot be decoded (library result %d)", name, rc);
}

namespace {

// The module's state, in the handle's format_state from the probe on.
struct QZIDEC_TEXTURE {
  QZIDECODER_IMPL* decoder;
  int container;
  int width, height;
  void* data;         // the file's first bytes during a probe, the whole file during a decode
  char reason[sizeof(QZIPVR_INFO::reason)];  // why the texture library refused the file, for the caller's message
};

// Limits, besides the raster's own bound on each side and the pixel-limit parameter.
const unsigned kMinInput = 16;
const unsigned kMaxInput = 256u << 20;        // whole files in memory during a decode
const unsigned long long kMaxMetadata = 16u << 20;  // headers, descriptors, key/value data
const int kMaxSide = 16384;
const unsigned kFirstRead = 4096;

[[noreturn]] void fail(QZIERR code) { qzimg::error_abort(code); }

QZIERR code_of(int library_result) {
  switch (library_result) {
    case QZIPVR_ERR_DATA: return QZIERR_READ;          // the file ends before its image
    case QZIPVR_ERR_MEMORY: return QZIERR_NO_MEMORY;
    default: return QZIERR_UNSUPPORTED;                // not this container, or not decoded here
  }
}

const char* container_name(int container) {
  switch (container) {
    case QZIPVR_CONTAINER_PVR: return "PVR";
    case QZIPVR_CONTAINER_DDS: return "DDS";
    case QZIPVR_CONTAINER_KTX: return "KTX";
    case QZIPVR_CONTAINER_KTX2: return "KTX2";
    case QZIPVR_CONTAINER_ASTC: return "ASTC";
    case QZIPVR_CONTAINER_PKM: return "PKM";
    default: return "texture";
  }
}

QZIPVR_CHOICE library_choice(const QZIDECODER_IMPL* h) {
  const Choice c = choice_of(h);
  QZIPVR_CHOICE r{};
  r.level = c.level;
  r.face = c.face;
  r.layer = c.layer;
  r.slice = c.slice;
  r.tone_map = c.tone_map;
  r.exposure = c.exposure;
  return r;
}

void free_buffers(QZIDEC_TEXTURE* s) { qziMemFree(&s->data); }

// Reads the first `n` bytes into the state's buffer.
void read_head(QZIDECODER_IMPL* h, QZIDEC_TEXTURE* s, unsigned n) {
  free_buffers(s);
  if (!qziMemAllocRaw(&s->data, n)) fail(QZIERR_NO_MEMORY);
  rdpos_set(h, 0);
  if (get_read(h, s->data, n) != n) fail(QZIERR_READ);
}

}  // namespace

int read_info(QZIDECODER_IMPL* h, unsigned size, const QZIPVR_CHOICE& choice, QZIPVR_INFO* info) {
  void* head = nullptr;
  auto guard = make_scope_guard([&head] { qziMemFree(&head); });
  unsigned n = size < kFirstRead ? size : kFirstRead;
  for (;;) {
    qziMemFree(&head);
    if (!qziMemAllocRaw(&head, n)) return QZIPVR_ERR_MEMORY;
    rdpos_set(h, 0);
    if (get_read(h, head, n) != n) return QZIPVR_ERR_DATA;
    const int rc = qzipvr08(head, n, size, &choice, info);
    if (rc != QZIPVR_ERR_SHORT || info->head_needed <= n || info->head_needed > kMaxMetadata) return rc;
    n = static_cast<unsigned>(info->head_needed);
  }
}

void set_source_facts(QZIDECODER_IMPL* h, const QZIPVR_INFO& info) {
  const uint64_t texels = static_cast<uint64_t>(info.block_width > 0 ? info.block_width : 1) *
                          static_cast<uint64_t>(info.block_height > 0 ? info.block_height : 1) *
                          static_cast<uint64_t>(info.block_depth > 0 ? info.block_depth : 1);
  const uint64_t bits = info.block_bits > 0 ? static_cast<uint64_t>(info.block_bits) : 0;
  h->source_facts[0] = static_cast<uint32_t>((bits * 200 + texels) / (2 * texels));  // hundredths, rounded
  h->source_facts[1] = (info.flags & QZIPVR_FLAG_ALPHA) ? 1 : 0;
  h->source_facts[2] = (info.flags & QZIPVR_FLAG_SRGB)     ? QZIDEC_COLOR_SRGB
                       : (info.flags & QZIPVR_FLAG_LINEAR) ? QZIDEC_COLOR_LINEAR
                                                           : QZIDEC_COLOR_UNSTATED;
  h->source_facts[3] = (info.flags & QZIPVR_FLAG_PREMULTIPLIED) ? 1 : 0;
}

Choice choice_of(const QZIDECODER_IMPL* h) {
  Choice c{};
  c.level = static_cast<int>(h->texture_choice[0]);
  c.face = static_cast<int>(h->texture_choice[1]);
  c.layer = static_cast<int>(h->texture_choice[2]);
  c.slice = static_cast<int>(h->texture_choice[3]);
  c.tone_map = h->tone_map ? 1 : 0;
  c.exposure = h->exposure_milli > 0 ? static_cast<double>(h->exposure_milli) / 1000 : 1.0;
  return c;
}

void decode(QZIDECODER_IMPL* h, int mode, int container, bool (*is_mine)(const uint8_t* head, size_t n)) {
  if (!h) return;
  if (mode < 0) {
    if (h->format_state) free_buffers(static_cast<QZIDEC_TEXTURE*>(h->format_state));
    return;
  }
  if (mode == 0) new_format_state(h, sizeof(QZIDEC_TEXTURE));
  QZIDEC_TEXTURE* s = static_cast<QZIDEC_TEXTURE*>(h->format_state);
  if (!s) fail(QZIERR_UNSUPPORTED);
  s->decoder = h;
  s->container = container;

  const unsigned size = rdfsize_get(h);
  if (size < kMinInput || size > kMaxInput) fail(QZIERR_UNSUPPORTED);
  set_byte_order(h, false);
  rdpos_set_skip(h, 0);
  uint8_t magic[16];
  if (get_read(h, magic, sizeof magic) != sizeof magic) fail(QZIERR_READ);
  if (!is_mine(magic, sizeof magic)) fail(QZIERR_UNSUPPORTED);

  // The first bytes, and more while the library asks for metadata that lies further in.
  const QZIPVR_CHOICE choice = library_choice(h);
  QZIPVR_INFO info{};
  auto guard = make_scope_guard([s] { free_buffers(s); });
  int rc = read_info(h, size, choice, &info);
  std::memcpy(s->reason, info.reason, sizeof s->reason);
  s->reason[sizeof s->reason - 1] = '\0';
  const char* name = container_name(container);
  if (rc != QZIPVR_OK) raise(h, code_of(rc), "%s: %s", name, s->reason[0] ? s->reason : "the texture library refused the file");
  if (info.container != container) raise(h, QZIERR_UNSUPPORTED, "%s: the file holds another container", name);
  if (info.width > kMaxSide || info.height > kMaxSide)
    raise(h, QZIERR_CANNOT, "%s: %d x %d is above the %d limit", name, info.width, info.height, kMaxSide);
  s->width = info.width;
  s->height = info.height;
  set_format_description(h, info.description);
  set_size(h, info.width, info.height, 24, 0);
  confirm_variant(h, static_cast<uint64_t>(info.format) << 32 | info.flags);
  h->texture_counts[0] = static_cast<uint32_t>(info.levels);
  h->texture_counts[1] = static_cast<uint32_t>(info.faces);
  h->texture_counts[2] = static_cast<uint32_t>(info.layers);
  h->texture_counts[3] = static_cast<uint32_t>(info.depth);
  h->texture_counts[4] = (info.flags & QZIPVR_FLAG_HDR) ? 1 : 0;
  set_source_facts(h, info);
  if (mode == 0) return;

  // Taken here rather than announced by the probe, so that the plane comes uncleared.
  set_alpha(h, 1);
  take_alpha_plane(h, false);
  qzimg::do_progress(h, 10, 100);
  read_head(h, s, size);
  qzimg::do_progress(h, 20, 100);
  const QZIPVR_ROWS rows{h, raster_row};
  rc = qzipvr09(s->data, size, &choice, &rows);
  if (rc != QZIPVR_OK)
    raise(h, rc == QZIPVR_ERR_OUTPUT ? QZIERR_CANNOT : code_of(rc), "%s: the texture data cannot be decoded (library result %d)",
          container_name(container), rc);
  // HDR blocks under an LDR ASTC format may lie beyond the first bytes the probe read.
  unsigned flags = info.flags;
  if (info.format == QZIPVR_FORMAT_ASTC && !(flags & QZIPVR_FLAG_HDR)) {
    QZIPVR_INFO whole;
    if (qzipvr08(s->data, size, size, &choice, &whole) == QZIPVR_OK) flags = whole.flags;
  }
  float_picture(h, flags, s->data, size, choice, container_name(container));
  qzimg::do_progress(h, 90, 100);
  call_singleimage_layercallback(h, 0);
  qzimg::do_progress(h, 100, 100);
}

int qzidec_setparam_texture(QZIDECODER_IMPL* /*h*/, unsigned int /*id*/, long /*a*/, long /*b*/) {
  return QZIERR_UNKNOWN_PARAM;
}

}  // namespace qzimgdecoder_texture
