// PVRTC1 (2 and 4 bits per pixel). Every 8-byte block holds two colours, A and B, and a
// modulation weight per pixel; each colour is upscaled bilinearly between the centres of
// four neighbouring blocks (the texture wraps around at its edges) and the pixel blends
// the two by its weight.
#include <vector>

#include "texture.h"

namespace qzipvr {
namespace {

const int kPunchThrough = 0x10;  // set beside the weight: the pixel is transparent

// Colours A and B of a block: red, green and blue in 5 bits, alpha in 4.
struct Endpoints {
  int a[4];
  int b[4];
};

int widen4to5(uint32_t v) { return static_cast<int>(v << 1 | v >> 3); }
int widen3to5(uint32_t v) { return static_cast<int>(v << 2 | v >> 1); }

Endpoints unpack_colours(uint32_t c) {
  Endpoints e;
  // Colour A gives up its lowest blue bit to the block's mode bit.
  const uint32_t a = c & 0xFFFF, b = c >> 16;
  if (a & 0x8000) {
    e.a[0] = static_cast<int>((a >> 10) & 31);
    e.a[1] = static_cast<int>((a >> 5) & 31);
    e.a[2] = widen4to5((a >> 1) & 15);
    e.a[3] = 15;
  } else {
    e.a[0] = widen4to5((a >> 8) & 15);
    e.a[1] = widen4to5((a >> 4) & 15);
    e.a[2] = widen3to5((a >> 1) & 7);
    e.a[3] = static_cast<int>(((a >> 12) & 7) << 1);
  }
  if (b & 0x8000) {
    e.b[0] = static_cast<int>((b >> 10) & 31);
    e.b[1] = static_cast<int>((b >> 5) & 31);
    e.b[2] = static_cast<int>(b & 31);
    e.b[3] = 15;
  } else {
    e.b[0] = widen4to5((b >> 8) & 15);
    e.b[1] = widen4to5((b >> 4) & 15);
    e.b[2] = widen4to5(b & 15);
    e.b[3] = static_cast<int>(((b >> 12) & 7) << 1);
  }
  return e;
}

int log2_of(uint32_t v) {
  int k = 0;
  while ((1u << k) < v) ++k;
  return k;
}

// Blocks are stored in Morton order: the bits of the two block coordinates interleave
// (row bit first) up to the shorter side; the longer side's remaining bits follow.
uint32_t morton_index(uint32_t bx, uint32_t by, uint32_t nbx, uint32_t nby) {
  const int k = log2_of(nbx < nby ? nbx : nby);
  uint32_t t = 0;
  for (int i = 0; i < k; ++i) {
    t |= ((by >> i) & 1u) << (2 * i);
    t |= ((bx >> i) & 1u) << (2 * i + 1);
  }
  const uint32_t rest = nbx > nby ? bx >> k : by >> k;
  return t | rest << (2 * k);
}

const int kWeights[4] = {0, 3, 5, 8};
const int kPunchWeights[4] = {0, 4, 4, 8};

enum Fill { kBoth, kHorizontal, kVertical };

}  // namespace

void decode_pvrtc(const uint8_t* data, bool two_bpp, Sink& out) {
  const int width = out.width, height = out.height;
  const int bw = two_bpp ? 8 : 4;  // block width; blocks are 4 rows high
  const int pw = width < 2 * bw ? 2 * bw : width;
  const int ph = height < 8 ? 8 : height;
  const int nbx = pw / bw, nby = ph / 4;

  std::vector<Endpoints> ends(static_cast<size_t>(nbx) * nby);
  std::vector<uint32_t> words(ends.size());  // modulation word of each block
  std::vector<uint8_t> mode(ends.size());
  std::vector<uint8_t> weight(static_cast<size_t>(pw) * ph);

  for (int by = 0; by < nby; ++by) {
    for (int bx = 0; bx < nbx; ++bx) {
      const uint8_t* block = data + 8 * static_cast<size_t>(morton_index(bx, by, nbx, nby));
      const size_t n = static_cast<size_t>(by) * nbx + bx;
      words[n] = load32(block);
      const uint32_t c = load32(block + 4);
      ends[n] = unpack_colours(c);
      mode[n] = static_cast<uint8_t>(c & 1);
    }
  }

  // Weights that the blocks store directly.
  for (int by = 0; by < nby; ++by) {
    for (int bx = 0; bx < nbx; ++bx) {
      const size_t n = static_cast<size_t>(by) * nbx + bx;
      const uint32_t m = words[n];
      for (int ly = 0; ly < 4; ++ly) {
        uint8_t* row = &weight[static_cast<size_t>(by * 4 + ly) * pw + bx * bw];
        for (int lx = 0; lx < bw; ++lx) {
          int w = 0;
          if (!two_bpp) {
            const int code = static_cast<int>(m >> (2 * (4 * ly + lx))) & 3;
            w = mode[n] ? kPunchWeights[code] | (code == 2 ? kPunchThrough : 0) : kWeights[code];
          } else if (!mode[n]) {
            w = (m >> (8 * ly + lx)) & 1 ? 8 : 0;
          } else if (((lx ^ ly) & 1) == 0) {
            // Half the pixels store a code; the first one, and the one that selects the
            // fill direction, keep only their high bit.
            const int k = ly * 4 + lx / 2;
            const int code = static_cast<int>(m >> (2 * k)) & 3;
            if (k == 0 || (k == 10 && (m & 1))) {
              w = code & 2 ? 8 : 0;
            } else {
              w = kWeights[code];
            }
          }
          row[lx] = static_cast<uint8_t>(w);
        }
      }
    }
  }

  // 2 bpp blocks in interpolated mode: the other half averages its stored neighbours,
  // which may belong to neighbouring blocks of any mode.
  if (two_bpp) {
    for (int by = 0; by < nby; ++by) {
      for (int bx = 0; bx < nbx; ++bx) {
        const size_t n = static_cast<size_t>(by) * nbx + bx;
        if (!mode[n]) continue;
        const uint32_t m = words[n];
        const Fill fill = (m & 1) ? ((m >> 20) & 1 ? kVertical : kHorizontal) : kBoth;
        for (int ly = 0; ly < 4; ++ly) {
          for (int lx = 0; lx < bw; ++lx) {
            if (((lx ^ ly) & 1) == 0) continue;
            const int x = bx * bw + lx, y = by * 4 + ly;
            const int xl = (x + pw - 1) % pw, xr = (x + 1) % pw;
            const int yu = (y + ph - 1) % ph, yd = (y + 1) % ph;
            const int left = weight[static_cast<size_t>(y) * pw + xl];
            const int right = weight[static_cast<size_t>(y) * pw + xr];
            const int up = weight[static_cast<size_t>(yu) * pw + x];
            const int down = weight[static_cast<size_t>(yd) * pw + x];
            int w = 0;
            switch (fill) {
              case kBoth: w = (up + down + left + right + 2) / 4; break;
              case kHorizontal: w = (left + right + 1) / 2; break;
              case kVertical: w = (up + down + 1) / 2; break;
            }
            weight[static_cast<size_t>(y) * pw + x] = static_cast<uint8_t>(w);
          }
        }
      }
    }
  }

  // Colour A and B of each block sit at the point (bw / 2, 2) inside it.
  const int colour_shift_hi = two_bpp ? 7 : 6, colour_shift_lo = two_bpp ? 2 : 1;
  const int alpha_shift_hi = two_bpp ? 5 : 4, alpha_shift_lo = two_bpp ? 1 : 0;
  for (int y = 0; y < height; ++y) {
    const int fy = y - 2;
    const int by0 = fy < 0 ? -1 : fy / 4;
    const int j = fy - by0 * 4;
    const int r0 = (by0 + nby) % nby, r1 = (by0 + 1) % nby;
    uint8_t* alpha = nullptr;
    uint8_t* dst = out.row(y, &alpha);
    if (out.failed) return;
    for (int x = 0; x < width; ++x, dst += out.pixel) {
      const int fx = x - bw / 2;
      const int bx0 = fx < 0 ? -1 : fx / bw;
      const int i = fx - bx0 * bw;
      const int c0 = (bx0 + nbx) % nbx, c1 = (bx0 + 1) % nbx;
      const Endpoints& p = ends[static_cast<size_t>(r0) * nbx + c0];
      const Endpoints& q = ends[static_cast<size_t>(r0) * nbx + c1];
      const Endpoints& r = ends[static_cast<size_t>(r1) * nbx + c0];
      const Endpoints& s = ends[static_cast<size_t>(r1) * nbx + c1];
      const int wp = (bw - i) * (4 - j), wq = i * (4 - j), wr = (bw - i) * j, ws = i * j;
      const int wm = weight[static_cast<size_t>(y) * pw + x];
      const int m = wm & 15;
      int rgba[4];
      for (int ch = 0; ch < 4; ++ch) {
        const int va = p.a[ch] * wp + q.a[ch] * wq + r.a[ch] * wr + s.a[ch] * ws;
        const int vb = p.b[ch] * wp + q.b[ch] * wq + r.b[ch] * wr + s.b[ch] * ws;
        int a8, b8;
        if (ch < 3) {
          a8 = (va >> colour_shift_hi) + (va >> colour_shift_lo);
          b8 = (vb >> colour_shift_hi) + (vb >> colour_shift_lo);
        } else {
          a8 = (va >> alpha_shift_hi) + (va >> alpha_shift_lo);
          b8 = (vb >> alpha_shift_hi) + (vb >> alpha_shift_lo);
        }
        rgba[ch] = (a8 * (8 - m) + b8 * m) / 8;
      }
      dst[0] = static_cast<uint8_t>(rgba[2]);
      dst[1] = static_cast<uint8_t>(rgba[1]);
      dst[2] = static_cast<uint8_t>(rgba[0]);
      const uint8_t a = static_cast<uint8_t>(wm & kPunchThrough ? 0 : rgba[3]);
      if (out.pixel == 4) {
        dst[3] = a;
      } else if (alpha) {
        alpha[x] = a;
      }
    }
  }
}

}  // namespace qzipvr
