// .astc files: a 16-byte header (block footprint, 24-bit sizes) and the blocks of one level,
// x fastest, then y, then z. No colour-space field: read as linear.
#include <algorithm>
#include <string>

#include "container.h"
#include "qzipvr.h"

namespace qzipvr {

void read_astc_file(Head& in, const Choice& c, Texture* t) {
  if (in.size < 16) refuse(QZIPVR_ERR_HEADER, "no .astc magic or shorter than 16 bytes");
  in.need(0, 16, "header");
  const uint8_t* p = in.p;
  const int bw = p[4], bh = p[5], bd = p[6];
  auto u24 = [p](int at) { return static_cast<uint64_t>(p[at]) | static_cast<uint64_t>(p[at + 1]) << 8 | static_cast<uint64_t>(p[at + 2]) << 16; };
  const uint64_t width = u24(7), height = u24(10), depth = u24(13) ? u24(13) : 1;
  static const int kSizes[24][3] = {{4, 4, 1},  {5, 4, 1},   {5, 5, 1},   {6, 5, 1},  {6, 6, 1},  {8, 5, 1},
                                    {8, 6, 1},  {8, 8, 1},   {10, 5, 1},  {10, 6, 1}, {10, 8, 1}, {10, 10, 1},
                                    {12, 10, 1}, {12, 12, 1}, {3, 3, 3},  {4, 3, 3},  {4, 4, 3},  {4, 4, 4},
                                    {5, 4, 4},  {5, 5, 4},   {5, 5, 5},   {6, 5, 5},  {6, 6, 5},  {6, 6, 6}};
  int footprint = -1;
  for (int k = 0; k < 24; ++k) {
    if (kSizes[k][0] == bw && kSizes[k][1] == bh && kSizes[k][2] == bd) footprint = k;
  }
  if (footprint < 0) {
    refuse(QZIPVR_ERR_HEADER, "invalid block size " + std::to_string(bw) + "x" + std::to_string(bh) + "x" + std::to_string(bd));
  }
  t->container = QZIPVR_CONTAINER_ASTC;
  t->label = "ASTC";
  set_astc(t, footprint, false, false);
  t->depth = static_cast<int>(std::min<uint64_t>(depth, QZIPVR_MAX_SIDE));
  choose(t, width, height, c);
  // Sizes of up to 2^24 on each axis: all of it computed in 128 bits.
  in.inside(16, volume_bytes(*t, width, height, depth), "blocks");
  t->data_offset = 16 + slice_offset(t, t->width, t->height, c.slice);
}

}  // namespace qzipvr
