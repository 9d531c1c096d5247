// Turns what the layer callback delivers into 8-bit RGBA, top row first: colour through the
// bitmap's colour table for palette pictures, alpha through the alpha bitmap's grey table
// when it has one, 255 where no alpha bitmap was delivered. Header-only; shared by the
// command-line decoder (row by row), the tests, the fuzz target and the benchmark. The
// library's qziLoadRGBA is a separate implementation; the tests hold the two against each other.
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

// Whether the delivered bitmaps have the layout the converters below know (8 or 24 bits,
// an 8-bit alpha bitmap of the same size).
inline bool layout_known(const QZIDEC_LAYERINFO* info) {
  const BITMAPINFO* bi = info->bi;
  if (!bi) return false;
  const BITMAPINFOHEADER& hd = bi->bmiHeader;
  if (hd.biWidth <= 0 || hd.biHeight <= 0 || (hd.biBitCount != 8 && hd.biBitCount != 24)) return false;
  const BITMAPINFO* bia = info->bia;
  return !bia || (bia->bmiHeader.biBitCount == 8 && bia->bmiHeader.biWidth == hd.biWidth &&
                  bia->bmiHeader.biHeight == hd.biHeight);
}

// Converts picture row y (0 is the top) into biWidth * 4 bytes at `o`; the layout must be known.
inline void row_rgba(const QZIDEC_LAYERINFO* info, int y, uint8_t* o) {
  const BITMAPINFO* bi = info->bi;
  const BITMAPINFOHEADER& hd = bi->bmiHeader;
  const int w = hd.biWidth, h = hd.biHeight;
  const RGBQUAD* pal = reinterpret_cast<const RGBQUAD*>(reinterpret_cast<const uint8_t*>(bi) + hd.biSize);
  const uint8_t* row = dib_bits(bi) + static_cast<size_t>(h - 1 - y) * dib_stride(bi);  // rows are bottom-up

  const BITMAPINFO* bia = info->bia;
  const uint8_t* arow = bia ? dib_bits(bia) + static_cast<size_t>(h - 1 - y) * dib_stride(bia) : nullptr;
  const uint32_t acount = bia ? bia->bmiHeader.biClrUsed : 0;
  const RGBQUAD* apal =
      acount ? reinterpret_cast<const RGBQUAD*>(reinterpret_cast<const uint8_t*>(bia) + bia->bmiHeader.biSize) : nullptr;
  for (int x = 0; x < w; ++x, o += 4) {
    if (hd.biBitCount == 8) {
      const uint8_t i = row[x];
      if (i < hd.biClrUsed) {
        o[0] = pal[i].rgbRed;
        o[1] = pal[i].rgbGreen;
        o[2] = pal[i].rgbBlue;
      } else {
        o[0] = o[1] = o[2] = 0;
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

// Converts one delivered layer; false when the bitmap has a layout this helper does not know.
inline bool from_layer(const QZIDEC_LAYERINFO* info, Image* out) {
  if (!layout_known(info)) return false;
  const int w = info->bi->bmiHeader.biWidth, h = info->bi->bmiHeader.biHeight;
  out->width = w;
  out->height = h;
  out->has_alpha = info->bia != nullptr;
  out->rgba.assign(static_cast<size_t>(w) * h * 4, 0);
  for (int y = 0; y < h; ++y) row_rgba(info, y, &out->rgba[static_cast<size_t>(y) * w * 4]);
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
