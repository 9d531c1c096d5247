// ETC1 and BC1-BC3 through their libraries, and the uncompressed layouts.
#include <android/ETC1/etc1.h>
#include <squish.h>

#include "qzipvr.h"
#include "texture.h"

namespace qzipvr {
namespace {

// Copies the part of a decoded 4x4 block (`src`, `pixel` bytes per pixel in red, green,
// blue[, alpha] order) that lies inside the picture into `out` as blue, green, red, alpha.
void put_block(const uint8_t* src, int pixel, int bx, int by, int width, int height, uint8_t* out) {
  for (int ly = 0; ly < 4 && by * 4 + ly < height; ++ly) {
    for (int lx = 0; lx < 4 && bx * 4 + lx < width; ++lx) {
      const uint8_t* s = src + (ly * 4 + lx) * pixel;
      uint8_t* d = out + (static_cast<size_t>(by * 4 + ly) * width + bx * 4 + lx) * 4;
      d[0] = s[2];
      d[1] = s[1];
      d[2] = s[0];
      d[3] = pixel == 4 ? s[3] : 255;
    }
  }
}

// n-bit value widened to 8 bits by repeating its bits.
int widen(uint32_t v, int bits) {
  uint32_t r = 0;
  int have = 0;
  while (have < 8) {
    r = r << bits | v;
    have += bits;
  }
  return static_cast<int>(r >> (have - 8));
}

}  // namespace

void decode_etc1(const uint8_t* data, int width, int height, uint8_t* out) {
  const int nbx = (width + 3) / 4, nby = (height + 3) / 4;
  etc1_byte rgb[ETC1_DECODED_BLOCK_SIZE];
  for (int by = 0; by < nby; ++by) {
    for (int bx = 0; bx < nbx; ++bx) {
      etc1_decode_block(data + 8 * (static_cast<size_t>(by) * nbx + bx), rgb);
      put_block(rgb, 3, bx, by, width, height, out);
    }
  }
}

void decode_bc(const uint8_t* data, int width, int height, int format, uint8_t* out) {
  const int flags = format == QZIPVR_FORMAT_BC1 ? squish::kDxt1
                    : format == QZIPVR_FORMAT_BC2 ? squish::kDxt3
                                                   : squish::kDxt5;
  const size_t block_bytes = format == QZIPVR_FORMAT_BC1 ? 8 : 16;
  const int nbx = (width + 3) / 4, nby = (height + 3) / 4;
  squish::u8 rgba[64];
  for (int by = 0; by < nby; ++by) {
    for (int bx = 0; bx < nbx; ++bx) {
      squish::Decompress(rgba, data + block_bytes * (static_cast<size_t>(by) * nbx + bx), flags);
      put_block(rgba, 4, bx, by, width, height, out);
    }
  }
}

void decode_uncompressed(const uint8_t* data, int width, int height, const Layout& layout, uint8_t* out) {
  const size_t count = static_cast<size_t>(width) * height;
  const int bpp = layout.bytes_per_pixel;
  for (size_t n = 0; n < count; ++n, data += bpp, out += 4) {
    uint32_t word = 0;
    if (layout.packed) {
      for (int k = bpp - 1; k >= 0; --k) word = word << 8 | data[k];
    }
    // Missing colour channels are 0, missing alpha is opaque.
    int r = 0, g = 0, b = 0, a = 255;
    for (int k = 0; k < layout.count; ++k) {
      const Channel& c = layout.channels[k];
      const uint32_t raw = layout.packed ? (word >> c.shift) & ((1u << c.bits) - 1) : data[c.shift];
      const int v = widen(raw, c.bits);
      switch (c.name) {
        case 'r': r = v; break;
        case 'g': g = v; break;
        case 'b': b = v; break;
        case 'a': a = v; break;
        case 'l': r = g = b = v; break;
        default: break;
      }
    }
    out[0] = static_cast<uint8_t>(b);
    out[1] = static_cast<uint8_t>(g);
    out[2] = static_cast<uint8_t>(r);
    out[3] = static_cast<uint8_t>(a);
  }
}

}  // namespace qzipvr
