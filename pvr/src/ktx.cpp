// KTX 1.1 files, either byte order: the OpenGL format of the data, the key/value data
// (orientation) and the levels, each behind its imageSize.
#include <algorithm>
#include <cstdio>
#include <string>

#include "container.h"
#include "qzipvr.h"

namespace qzipvr {

namespace {
// Key/value data read at most this long; longer data is skipped (no orientation).
const uint64_t kMaxKeyValues = 1 << 20;
}  // namespace

void read_ktx(Head& in, const Choice& c, Texture* t) {
  in.need(0, 64, "header");
  const uint32_t endian = in.u32(12);
  if (endian != 0x04030201 && endian != 0x01020304) refuse(QZIPVR_ERR_HEADER, "KTX endianness field unknown");
  const bool big = endian == 0x01020304;
  auto rd = [&](uint64_t offset) { return big ? __builtin_bswap32(in.u32(offset)) : in.u32(offset); };
  const uint32_t type = rd(16), type_size = rd(20), format = rd(24), internal = rd(28);
  const uint64_t width = rd(36), height = std::max<uint32_t>(rd(40), 1), depth = std::max<uint32_t>(rd(44), 1);
  const uint32_t arrays = rd(48), faces = rd(52), mips = rd(56), kvd = rd(60);
  t->container = QZIPVR_CONTAINER_KTX;
  t->label = big ? "KTX big-endian" : "KTX";
  if (!set_gl_format(t, internal, format, type)) {
    char text[64];
    std::snprintf(text, sizeof text, "glInternalFormat 0x%x, glFormat 0x%x, glType 0x%x", internal, format, type);
    refuse(QZIPVR_ERR_HEADER, std::string("unsupported pixel format: ") + text);
  }
  t->colour_stated = true;  // each internal format is sRGB or not
  if (t->format == QZIPVR_FORMAT_WIDE) {
    t->row_stride = 4;  // rows are padded as OpenGL unpacks them
    if (big && (type_size == 2 || type_size == 4)) t->wide.swap = static_cast<int>(type_size);
  }
  if (faces != 1 && faces != 6) refuse(QZIPVR_ERR_HEADER, "KTX face count " + std::to_string(faces));
  if (kvd <= kMaxKeyValues) {
    in.need(64, kvd, "key/value data");
    read_key_values(in.p + 64, kvd, big, false, t);
  }
  t->faces = static_cast<int>(faces);
  t->layers = static_cast<int>(std::min<uint32_t>(std::max<uint32_t>(arrays, 1), 1u << 20));
  t->depth = static_cast<int>(std::min<uint64_t>(depth, QZIPVR_MAX_SIDE));
  t->levels = static_cast<int>(std::min<uint64_t>(std::max<uint32_t>(mips, 1), full_chain(width, height, t->depth)));
  choose(t, width, height, c);

  // A cube map that is no array has one imageSize per face, each face padded to 4 bytes.
  const bool per_face = faces == 6 && arrays == 0;
  auto pad4 = [](unsigned __int128 v) { return (v + 3) / 4 * 4; };
  auto level_size = [&](int k) {
    const unsigned __int128 face = volume_bytes(*t, mip(width, k), mip(height, k), mip(t->depth, k));
    return per_face ? pad4(face) * 6 : face * t->layers * t->faces;
  };
  unsigned __int128 at = 64 + static_cast<uint64_t>(kvd);
  for (int k = 0; k < c.level; ++k) at += 4 + pad4(level_size(k));
  const std::string what = c.level == 0 ? "top level" : "chosen level";
  in.inside(at, 4, what);
  if (in.at_hand(static_cast<uint64_t>(at), 4)) {
    const uint32_t image_size = rd(static_cast<uint64_t>(at));
    if (at + 4 + image_size > in.size) {
      refuse(QZIPVR_ERR_DATA, "imageSize of level " + std::to_string(c.level) + " (" + std::to_string(image_size) +
                                  ") runs past the end of the file");
    }
  }
  const unsigned __int128 face = volume_bytes(*t, t->width, t->height, mip(t->depth, c.level));
  const unsigned __int128 index = static_cast<unsigned>(c.layer) * t->faces + static_cast<unsigned>(c.face);
  const unsigned __int128 offset =
      at + 4 + index * (per_face ? pad4(face) : face) + slice_offset(t, t->width, t->height, c.slice);
  in.inside(offset, image_bytes(*t, t->width, t->height), what);
  t->data_offset = static_cast<uint64_t>(offset);
}

}  // namespace qzipvr
