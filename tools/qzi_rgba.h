// Turns what the layer callback delivers into 8-bit RGBA, top row first: colour through the
// bitmap's colour table for palette pictures, alpha through the alpha bitmap's grey table
// when it has one, 255 where no alpha bitmap was delivered. Header-only; shared by the
// command-line decoder, the tests, the fuzz target and the benchmark.
#ifndef QZI_RGBA_H
#define QZI_RGBA_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "qzimgdecoder.h"

namespace qzi_rgba {

struct Image {
  int width = 0;
  int height = 0;
  bool has_alpha = false;     // an alpha bitmap was delivered
  std::vector<uint8_t> rgba;  // width * height * 4 bytes, top row first
};

inline const uint8_t* dib_bits(const BITMAPINFO* bi) {
  return reinterpret_cast<const uint8_t*>(bi) + bi->bmiHeader.biSize + bi->bmiHeader.biClrUsed * 4u;
}

inline size_t dib_stride(const BITMAPINFO* bi) {
  return ((static_cast<size_t>(bi->bmiHeader.biWidth) * bi->bmiHeader.biBitCount + 31) / 32) * 4;
}

// Converts one delivered layer; false when the bitmap has a layout this helper does not know.
inline bool from_layer(const QZIDEC_LAYERINFO* info, Image* out) {
  const BITMAPINFO* bi = info->bi;
  if (!bi) return false;
  const BITMAPINFOHEADER& hd = bi->bmiHeader;
  if (hd.biWidth <= 0 || hd.biHeight <= 0 || (hd.biBitCount != 8 && hd.biBitCount != 24)) return false;
  const int w = hd.biWidth, h = hd.biHeight;
  const RGBQUAD* pal = reinterpret_cast<const RGBQUAD*>(reinterpret_cast<const uint8_t*>(bi) + hd.biSize);
  const size_t stride = dib_stride(bi);
  const uint8_t* bits = dib_bits(bi);

  const BITMAPINFO* bia = info->bia;
  const uint8_t* abits = nullptr;
  const RGBQUAD* apal = nullptr;
  uint32_t acount = 0;
  size_t astride = 0;
  if (bia) {
    if (bia->bmiHeader.biBitCount != 8 || bia->bmiHeader.biWidth != w || bia->bmiHeader.biHeight != h) return false;
    abits = dib_bits(bia);
    astride = dib_stride(bia);
    acount = bia->bmiHeader.biClrUsed;
    if (acount) apal = reinterpret_cast<const RGBQUAD*>(reinterpret_cast<const uint8_t*>(bia) + bia->bmiHeader.biSize);
  }

  out->width = w;
  out->height = h;
  out->has_alpha = bia != nullptr;
  out->rgba.assign(static_cast<size_t>(w) * h * 4, 0);
  for (int y = 0; y < h; ++y) {
    const uint8_t* row = bits + static_cast<size_t>(h - 1 - y) * stride;  // rows are bottom-up
    const uint8_t* arow = abits ? abits + static_cast<size_t>(h - 1 - y) * astride : nullptr;
    uint8_t* o = &out->rgba[static_cast<size_t>(y) * w * 4];
    for (int x = 0; x < w; ++x, o += 4) {
      if (hd.biBitCount == 8) {
        const uint8_t i = row[x];
        if (i < hd.biClrUsed) {
          o[0] = pal[i].rgbRed;
          o[1] = pal[i].rgbGreen;
          o[2] = pal[i].rgbBlue;
        }
      } else {
        o[0] = row[3 * x + 2];
        o[1] = row[3 * x + 1];
        o[2] = row[3 * x];
      }
      if (!arow) {
        o[3] = 255;
      } else if (apal) {
        o[3] = arow[x] < acount ? apal[arow[x]].rgbRed : 0;
      } else {
        o[3] = arow[x];
      }
    }
  }
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
