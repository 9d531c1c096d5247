// PKM files: a 16-byte big-endian header (version 1.0 ETC1, version 2.0 ETC2 and EAC) and the
// blocks of a picture padded to whole blocks.
#include <string>

#include "container.h"
#include "qzipvr.h"

namespace qzipvr {

void read_pkm(Head& in, const Choice& c, Texture* t) {
  in.need(0, 16, "header");
  const uint8_t* p = in.p;
  auto be16 = [p](int at) { return static_cast<uint32_t>(p[at]) << 8 | p[at + 1]; };
  const bool v1 = p[4] == '1' && p[5] == '0', v2 = p[4] == '2' && p[5] == '0';
  if (!v1 && !v2) refuse(QZIPVR_ERR_HEADER, "PKM version not 1.0 or 2.0");
  const uint32_t type = be16(6), padded_w = be16(8), padded_h = be16(10), width = be16(12), height = be16(14);
  if ((v1 && type != 0) || !set_etc_pkm_type(t, type)) refuse(QZIPVR_ERR_HEADER, "unsupported PKM data type " + std::to_string(type));
  // The blocks cover the padded size; the picture is cut from it.
  if (padded_w != (width + 3) / 4 * 4 || padded_h != (height + 3) / 4 * 4) {
    refuse(QZIPVR_ERR_HEADER, "PKM padded size does not fit the picture's");
  }
  t->container = QZIPVR_CONTAINER_PKM;
  t->label = v1 ? "PKM 10" : "PKM 20";
  choose(t, width, height, c);
  in.inside(16, image_bytes(*t, width, height), "blocks");
  t->data_offset = 16;
}

}  // namespace qzipvr
