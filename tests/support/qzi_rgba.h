// Delivered layers as whole RGBA images for the tests: the picture converted by the library's
// own row conversion (qzirgba.h) and the checksum of the golden tables.
#ifndef QZI_RGBA_H
#define QZI_RGBA_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "qzimgdecoder.h"
#include "qzirgba.h"

namespace qzi_rgba {

struct Image {
  int width = 0;
  int height = 0;
  bool has_alpha = false;     // an alpha bitmap was delivered
  std::vector<uint8_t> rgba;  // width * height * 4 bytes, top row first
};

using qzimg::rgba::dib_bits;
using qzimg::rgba::dib_stride;

// Converts one delivered layer; false when the bitmap has a layout this helper does not know.
inline bool from_layer(const QZIDEC_LAYERINFO* info, Image* out) {
  if (!qzimg::rgba::layout_known(info->bi, info->bia)) return false;
  const int w = info->bi->bmiHeader.biWidth, h = info->bi->bmiHeader.biHeight;
  out->width = w;
  out->height = h;
  out->has_alpha = info->bia != nullptr;
  out->rgba.assign(static_cast<size_t>(w) * h * 4, 0);
  for (int y = 0; y < h; ++y) qzimg::rgba::row(info->bi, info->bia, y, &out->rgba[static_cast<size_t>(y) * w * 4]);
  return true;
}

// 64-bit FNV-1a over the size and the RGBA bytes: the checksum of the golden table.
inline uint64_t checksum(const Image& img) {
  uint64_t hash = 1469598103934665603ull;
  auto mix = [&](uint8_t b) {
    hash ^= b;
    hash *= 1099511628211ull;
  };
  for (int shift = 0; shift < 32; shift += 8) mix(static_cast<uint8_t>(img.width >> shift));
  for (int shift = 0; shift < 32; shift += 8) mix(static_cast<uint8_t>(img.height >> shift));
  for (uint8_t b : img.rgba) mix(b);
  return hash;
}

}  // namespace qzi_rgba

#endif  // QZI_RGBA_H
