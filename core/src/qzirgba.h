// Delivered bitmaps as 8-bit RGBA rows, top row first: colour through the bitmap's colour table
// for palette pictures (an index past the table is black), alpha through the alpha bitmap's grey
// table (an index past it is 0), 255 without an alpha bitmap. Header-only, so that the
// decoder's one-call loaders (qziLoadRGBA) and qzidecode, which writes PNG rows as it converts,
// share the one conversion without linking anything more.
#ifndef QZIRGBA_H
#define QZIRGBA_H

#include <cstddef>
#include <cstdint>

#include "qzitypes.h"

namespace qzimg {
namespace rgba {

inline const uint8_t* dib_bits(const BITMAPINFO* bi) {
  return reinterpret_cast<const uint8_t*>(bi) + bi->bmiHeader.biSize + size_t{bi->bmiHeader.biClrUsed} * 4;
}

inline size_t dib_stride(const BITMAPINFO* bi) {
  return (size_t{static_cast<uint32_t>(bi->bmiHeader.biWidth)} * bi->bmiHeader.biBitCount + 31) / 32 * 4;
}

inline const RGBQUAD* dib_table(const BITMAPINFO* bi) {
  return reinterpret_cast<const RGBQUAD*>(reinterpret_cast<const uint8_t*>(bi) + bi->bmiHeader.biSize);
}

// Whether the bitmaps have the layout row() knows: 8 or 24 bits, and an 8-bit alpha bitmap
// (`bia`, or null) of the same size.
inline bool layout_known(const BITMAPINFO* bi, const BITMAPINFO* bia) {
  if (!bi) return false;
  const BITMAPINFOHEADER& hd = bi->bmiHeader;
  if (hd.biWidth <= 0 || hd.biHeight <= 0 || (hd.biBitCount != 8 && hd.biBitCount != 24)) return false;
  return !bia || (bia->bmiHeader.biBitCount == 8 && bia->bmiHeader.biWidth == hd.biWidth &&
                  bia->bmiHeader.biHeight == hd.biHeight);
}

// Converts picture row y (0 is the top) into biWidth * 4 bytes at `out`; the layout must be known.
inline void row(const BITMAPINFO* bi, const BITMAPINFO* bia, int y, uint8_t* out) {
  const BITMAPINFOHEADER& hd = bi->bmiHeader;
  const int w = hd.biWidth, h = hd.biHeight;
  const RGBQUAD* table = dib_table(bi);
  const uint32_t entries = hd.biClrUsed;
  // Delivered rows are bottom-up.
  const uint8_t* src = dib_bits(bi) + static_cast<size_t>(h - 1 - y) * dib_stride(bi);
  const uint8_t* asrc = bia ? dib_bits(bia) + static_cast<size_t>(h - 1 - y) * dib_stride(bia) : nullptr;
  // The alpha table as bytes, indices past it giving 0: one lookup per pixel, no test.
  uint8_t alpha[256] = {};
  if (bia) {
    const RGBQUAD* alpha_table = dib_table(bia);
    const uint32_t n = bia->bmiHeader.biClrUsed < 256 ? bia->bmiHeader.biClrUsed : 256;
    for (uint32_t i = 0; i < n; ++i) alpha[i] = alpha_table[i].rgbRed;
  }
  // One loop per layout, so that the one taken for most pictures has no tests inside.
  if (hd.biBitCount == 8) {
    for (int x = 0; x < w; ++x, out += 4) {
      const RGBQUAD c = src[x] < entries ? table[src[x]] : RGBQUAD{0, 0, 0, 0};
      out[0] = c.rgbRed;
      out[1] = c.rgbGreen;
      out[2] = c.rgbBlue;
      out[3] = asrc ? alpha[asrc[x]] : 255;
    }
  } else if (asrc) {
    for (int x = 0; x < w; ++x, out += 4, src += 3) {
      out[0] = src[2];
      out[1] = src[1];
      out[2] = src[0];
      out[3] = alpha[asrc[x]];
    }
  } else {
    for (int x = 0; x < w; ++x, out += 4, src += 3) {
      out[0] = src[2];
      out[1] = src[1];
      out[2] = src[0];
      out[3] = 255;
    }
  }
}

}  // namespace rgba
}  // namespace qzimg

#endif  // QZIRGBA_H
