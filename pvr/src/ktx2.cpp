// KTX2 files: the Vulkan format of the data, the level index, the data format descriptor
// (transfer function, premultiplied alpha, Basis Universal payloads), key/value data
// (orientation, swizzle) and level data stored plain, in Zstandard or in zlib.
#include <algorithm>
#include <string>

#include "container.h"
#include "qzipvr.h"

namespace qzipvr {

namespace {
const uint64_t kMaxKeyValues = 1 << 20;
// An inflated level is allocated whole: a bound on what a small file can ask for.
const uint64_t kMaxInflated = uint64_t{1} << 30;
}  // namespace

void read_ktx2(Head& in, const Choice& c, Texture* t) {
  in.need(0, 80, "header");
  const uint32_t vk = in.u32(12);
  const uint64_t width = in.u32(20), height = std::max<uint32_t>(in.u32(24), 1), depth = std::max<uint32_t>(in.u32(28), 1);
  const uint32_t layers = in.u32(32), faces = in.u32(36), levels = std::max<uint32_t>(in.u32(40), 1);
  const uint32_t scheme = in.u32(44), dfd_offset = in.u32(48), dfd_length = in.u32(52);
  const uint32_t kvd_offset = in.u32(56), kvd_length = in.u32(60);
  t->container = QZIPVR_CONTAINER_KTX2;
  t->label = scheme == 2 ? "KTX2 zstd" : scheme == 3 ? "KTX2 zlib" : "KTX2";

  int model = -1, transfer = 0, dfd_flags = 0;
  if (dfd_length >= 16) {
    in.need(dfd_offset, 16, "data format descriptor");
    model = in.p[dfd_offset + 12];
    transfer = in.p[dfd_offset + 14];
    dfd_flags = in.p[dfd_offset + 15];
  }
  const bool basis_model = model == 163 || model == 166 || model == 167 || model == 168 || model == 169;
  if (scheme == 1 || (vk == 0 && basis_model)) {
    std::string m = model == 163 ? "ETC1S" : model == 166 ? "UASTC" : model >= 167 && model <= 168 ? "UASTC HDR"
                                                                                                    : std::to_string(model);
    refuse(QZIPVR_ERR_HEADER, "Basis Universal payload (DFD colour model " + m +
                                  (scheme == 1 ? ", supercompression BasisLZ" : "") + "): needs transcoding");
  }
  if (scheme != 0 && scheme != 2 && scheme != 3) {
    refuse(QZIPVR_ERR_HEADER, "supercompression scheme " + std::to_string(scheme) + " not decoded here");
  }
  if (!set_vk_format(t, vk)) refuse(QZIPVR_ERR_HEADER, "unsupported pixel format: vkFormat " + std::to_string(vk));
  t->supercompression = static_cast<int>(scheme);
  t->srgb_tagged = transfer == 2;
  t->colour_stated = true;  // by the format and the transfer function
  t->premultiplied = (dfd_flags & 1) != 0;
  if (faces != 1 && faces != 6) refuse(QZIPVR_ERR_HEADER, "KTX2 face count " + std::to_string(faces));
  if (levels > 32) refuse(QZIPVR_ERR_HEADER, "KTX2 level count " + std::to_string(levels));
  in.need(80, 24 * static_cast<uint64_t>(levels), "level index");
  if (kvd_length > 0 && kvd_length <= kMaxKeyValues) {
    in.need(kvd_offset, kvd_length, "key/value data");
    read_key_values(in.p + kvd_offset, kvd_length, false, true, t);
  }
  t->faces = static_cast<int>(faces);
  t->layers = static_cast<int>(std::min<uint32_t>(std::max<uint32_t>(layers, 1), 1u << 20));
  t->depth = static_cast<int>(std::min<uint64_t>(depth, QZIPVR_MAX_SIDE));
  t->levels = static_cast<int>(levels);
  choose(t, width, height, c);

  const uint64_t entry = 80 + 24 * static_cast<uint64_t>(c.level);
  const uint64_t offset = in.u64(entry), length = in.u64(entry + 8), inflated = in.u64(entry + 16);
  if (offset > in.size || length > in.size - offset) {
    refuse(QZIPVR_ERR_DATA, "level " + std::to_string(c.level) + " runs past the end of the file (" +
                                std::to_string(offset) + " + " + std::to_string(length) + " > " + std::to_string(in.size) + ")");
  }
  // Layer by layer, face by face, slice by slice, each image tightly packed.
  const unsigned __int128 face = volume_bytes(*t, t->width, t->height, mip(t->depth, c.level));
  const unsigned __int128 level_size = face * t->layers * t->faces;
  const unsigned __int128 image =
      face * (static_cast<unsigned>(c.layer) * t->faces + c.face) + slice_offset(t, t->width, t->height, c.slice);
  const uint64_t bytes = image_bytes(*t, t->width, t->height);
  if (scheme == 0) {
    if (image + bytes > length) refuse(QZIPVR_ERR_DATA, "level " + std::to_string(c.level) + " shorter than its images");
    t->data_offset = offset + static_cast<uint64_t>(image);
    return;
  }
  if (inflated != level_size || level_size > kMaxInflated) {
    refuse(QZIPVR_ERR_DATA, "level " + std::to_string(c.level) + " inflates to " + std::to_string(inflated) +
                                " bytes, not the level's size");
  }
  t->level_offset = offset;
  t->level_length = length;
  t->level_inflated = inflated;
  t->image_offset = static_cast<uint64_t>(image);
}

}  // namespace qzipvr
