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

enum Fill { kBoth, kHorizontal, kVertical };

// Final pass: every pixel blends its upscaled colours A and B by its modulation weight.
template <bool kTwoBpp, int kPixel>
void blend_rows(const std::vector<uint64_t>& pa, const std::vector<uint64_t>& pb, const std::vector<uint8_t>& weight,
                const std::vector<uint32_t>& words, const std::vector<uint8_t>& mode, int nbx, int nby, int pw,
                Sink& out) {
  // 4 bpp weight of each 2-bit code, in the block's two modes.
  static const uint8_t kCodeWeights[2][4] = {{0, 3, 5, 8}, {0, 4, 4 | kPunchThrough, 8}};
  const int width = out.width, height = out.height;
  // Colour A and B of each block sit at the point (bw / 2, 2) inside it. A lane's 8-bit value
  // is (v >> hi) + (v >> lo): colour lanes and the alpha lane use different shifts.
  constexpr int bw = kTwoBpp ? 8 : 4;
  constexpr int chi = kTwoBpp ? 7 : 6, clo = kTwoBpp ? 2 : 1;
  constexpr int ahi = kTwoBpp ? 5 : 4, alo = kTwoBpp ? 1 : 0;
  const uint64_t mask_hi = (0xFFFFull >> chi) * 0x0001000100010001ull;
  const uint64_t mask_lo = (0xFFFFull >> clo) * 0x0001000100010001ull;
  const uint64_t mask_out = 0x1FFFull * 0x0001000100010001ull;
  uint8_t* rows[1];
  uint8_t* alphas[1];
  std::vector<uint64_t> col_a(static_cast<size_t>(nbx)), col_b(static_cast<size_t>(nbx));
  for (int y = 0; y < height; ++y) {
    const int fy = y - 2;
    const int by0 = fy < 0 ? -1 : fy / 4;
    const uint64_t j = static_cast<uint64_t>(fy - by0 * 4);
    const size_t r0 = static_cast<size_t>((by0 + nby) % nby) * nbx, r1 = static_cast<size_t>((by0 + 1) % nby) * nbx;
    rows[0] = out.row(y, &alphas[0]);
    if (out.failed) return;
    uint8_t* dst = rows[0];
    uint8_t* alpha = alphas[0];
    const uint8_t* wrow = kTwoBpp ? &weight[static_cast<size_t>(y) * pw] : nullptr;
    const uint32_t* wline = &words[static_cast<size_t>(y / 4) * nbx];
    const uint8_t* mline = &mode[static_cast<size_t>(y / 4) * nbx];
    const int wshift = (y & 3) * 8;
    // Colours A and B of every block column interpolated down to this row.
    for (int c = 0; c < nbx; ++c) {
      col_a[c] = pa[r0 + c] * (4 - j) + pa[r1 + c] * j;
      col_b[c] = pb[r0 + c] * (4 - j) + pb[r1 + c] * j;
    }
    for (int x = 0; x < width;) {
      const int fx = x - bw / 2;
      const int bx0 = fx < 0 ? -1 : fx / bw;
      const int i0 = fx - bx0 * bw;
      const int c0 = bx0 < 0 ? nbx - 1 : bx0, c1 = bx0 + 1 == nbx ? 0 : bx0 + 1;
      // Along the row inside one cell of four block centres the sums change by a constant step.
      const uint64_t la = col_a[c0] * bw, lb = col_b[c0] * bw;
      const uint64_t da = col_a[c1] - col_a[c0], db = col_b[c1] - col_b[c0];
      uint64_t va = la + da * static_cast<uint64_t>(i0), vb = lb + db * static_cast<uint64_t>(i0);
      const int end = x + (bw - i0) < width ? x + (bw - i0) : width;
      for (; x < end; ++x, va += da, vb += db) {
        const uint64_t a8 = ((va >> chi) & mask_hi) + ((va >> clo) & mask_lo);
        const uint64_t b8 = ((vb >> chi) & mask_hi) + ((vb >> clo) & mask_lo);
        const uint64_t aa = va >> 48, ab = vb >> 48;
        int wm;
        if (kTwoBpp) {
          wm = wrow[x];
        } else {
          const size_t n = static_cast<size_t>(x) >> 2;
          wm = kCodeWeights[mline[n]][(wline[n] >> (wshift + 2 * (x & 3))) & 3];
        }
        const uint64_t m = static_cast<uint64_t>(wm & 15);
        const uint64_t c = ((a8 * (8 - m) + b8 * m) >> 3) & mask_out;
        const uint64_t a = (((aa >> ahi) + (aa >> alo)) * (8 - m) + ((ab >> ahi) + (ab >> alo)) * m) >> 3;
        uint8_t* d = dst + static_cast<size_t>(x) * kPixel;
        d[0] = static_cast<uint8_t>(c >> 32);
        d[1] = static_cast<uint8_t>(c >> 16);
        d[2] = static_cast<uint8_t>(c);
        const uint8_t av = static_cast<uint8_t>(wm & kPunchThrough ? 0 : a);
        if (kPixel == 4) {
          d[3] = av;
        } else if (alpha) {
          alpha[x] = av;
        }
      }
    }
  }
}


}  // namespace

namespace {

// The picture's blocks in row order, with the sizes of the grid they cover: pictures narrower
// than two blocks or lower than 8 rows are decoded on a grid of that size.
struct Grid {
  int bw, pw, ph, nbx, nby;  // block width (blocks are 4 rows high), grid size, blocks
  std::vector<Endpoints> ends;
  std::vector<uint32_t> words;  // modulation word of each block
  std::vector<uint8_t> mode;
};

Grid read_blocks(const uint8_t* data, bool two_bpp, int width, int height) {
  Grid g;
  g.bw = two_bpp ? 8 : 4;
  g.pw = width < 2 * g.bw ? 2 * g.bw : width;
  g.ph = height < 8 ? 8 : height;
  g.nbx = g.pw / g.bw;
  g.nby = g.ph / 4;
  const size_t count = static_cast<size_t>(g.nbx) * g.nby;
  g.ends.resize(count);
  g.words.resize(count);
  g.mode.resize(count);
  for (int by = 0; by < g.nby; ++by) {
    for (int bx = 0; bx < g.nbx; ++bx) {
      const uint8_t* block = data + 8 * static_cast<size_t>(morton_index(bx, by, g.nbx, g.nby));
      const size_t n = static_cast<size_t>(by) * g.nbx + bx;
      g.words[n] = load32(block);
      const uint32_t c = load32(block + 4);
      g.ends[n] = unpack_colours(c);
      g.mode[n] = static_cast<uint8_t>(c & 1);
    }
  }
  return g;
}

// 2 bpp: the weights that the blocks store directly.
void stored_weights(const Grid& g, std::vector<uint8_t>& weight) {
  for (int by = 0; by < g.nby; ++by) {
    for (int bx = 0; bx < g.nbx; ++bx) {
      const size_t n = static_cast<size_t>(by) * g.nbx + bx;
      const uint32_t m = g.words[n];
      for (int ly = 0; ly < 4; ++ly) {
        uint8_t* row = &weight[static_cast<size_t>(by * 4 + ly) * g.pw + bx * g.bw];
        for (int lx = 0; lx < g.bw; ++lx) {
          int w = 0;
          if (!g.mode[n]) {
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
}

// 2 bpp blocks in interpolated mode: the other half averages its stored neighbours, which may
// belong to neighbouring blocks of any mode.
void interpolated_weights(const Grid& g, std::vector<uint8_t>& weight) {
  const int pw = g.pw, ph = g.ph;
  for (int by = 0; by < g.nby; ++by) {
    for (int bx = 0; bx < g.nbx; ++bx) {
      const size_t n = static_cast<size_t>(by) * g.nbx + bx;
      if (!g.mode[n]) continue;
      const uint32_t m = g.words[n];
      const Fill fill = (m & 1) ? ((m >> 20) & 1 ? kVertical : kHorizontal) : kBoth;
      for (int ly = 0; ly < 4; ++ly) {
        for (int lx = 0; lx < g.bw; ++lx) {
          if (((lx ^ ly) & 1) == 0) continue;
          const int x = bx * g.bw + lx, y = by * 4 + ly;
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

}  // namespace

void decode_pvrtc(const uint8_t* data, bool two_bpp, Sink& out) {
  const Grid g = read_blocks(data, two_bpp, out.width, out.height);
  // 2 bpp weights depend on neighbouring blocks and are worked out first; 4 bpp weights are
  // read from the block words as the pixels are made.
  std::vector<uint8_t> weight(two_bpp ? static_cast<size_t>(g.pw) * g.ph : 0);
  if (two_bpp) {
    stored_weights(g, weight);
    interpolated_weights(g, weight);
  }

  // Colours A and B of every block packed as four 16-bit lanes (red, green, blue, alpha): a
  // bilinear sum of four packed colours with scalar weights is the four sums at once, since
  // no lane exceeds 31 x 32. Differences along a row may be negative in a lane; the packed
  // sums stay exact because every final lane lies in 0..65535.
  std::vector<uint64_t> pa(g.ends.size()), pb(g.ends.size());
  for (size_t n = 0; n < g.ends.size(); ++n) {
    for (int ch = 0; ch < 4; ++ch) {
      pa[n] |= static_cast<uint64_t>(g.ends[n].a[ch]) << (16 * ch);
      pb[n] |= static_cast<uint64_t>(g.ends[n].b[ch]) << (16 * ch);
    }
  }
  const auto blend = two_bpp ? (out.pixel == 4 ? blend_rows<true, 4> : blend_rows<true, 3>)
                             : (out.pixel == 4 ? blend_rows<false, 4> : blend_rows<false, 3>);
  blend(pa, pb, weight, g.words, g.mode, g.nbx, g.nby, g.pw, out);
}

}  // namespace qzipvr
