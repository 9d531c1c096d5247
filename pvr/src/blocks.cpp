// The 4x4 block formats, one block row at a time into the sink's rows (ETC1 through its
// library), and the uncompressed layouts.
#include <android/ETC1/etc1.h>

#include <cstring>
#include <vector>

#include "container.h"
#include "qzipvr.h"
#include "texture.h"

namespace qzipvr {
namespace {

// Texels widened a word at a time: each 4-byte read takes the next texel's red along, which
// the opaque alpha then overwrites (the 4 bytes after the block keep the last read inside).
void etc1(const uint8_t* block, uint8_t* rgba) {
  etc1_byte rgb[ETC1_DECODED_BLOCK_SIZE + 4];
  std::memset(rgb + ETC1_DECODED_BLOCK_SIZE, 0, 4);
  etc1_decode_block(block, rgb);
  for (int k = 0; k < 16; ++k) {
    uint32_t v;
    std::memcpy(&v, rgb + 3 * k, 4);
    v |= 0xFF000000u;
    std::memcpy(rgba + 4 * k, &v, 4);
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

// Blocks decoded before their texels go out: 4 KiB of texels, well inside the first-level cache.
const int kChunkBlocks = 64;

// A block row is decoded a chunk at a time into a strip, block after block as the decoders
// write them, and each of its texel rows then goes out in one sequential pass. Reading the
// blocks back only after the whole chunk is decoded keeps the reads clear of the decoders'
// still pending byte stores (a wide read of narrow stores in flight stalls until they land).
// `many`, when there is one, decodes the runs of blocks; otherwise `fn` each block.
void run_blocks(const uint8_t* data, ChunkFn many, BlockFn fn, int block_bytes, Sink& out) {
  const int nbx = (out.width + 3) / 4, nby = (out.height + 3) / 4;
  const int chunk = nbx < kChunkBlocks ? nbx : kChunkBlocks;
  std::vector<uint8_t> strip(static_cast<size_t>(chunk) * 64);
  uint8_t* rows[4];
  uint8_t* alphas[4];
  for (int by = 0; by < nby; ++by) {
    const int h = out.height - by * 4 < 4 ? out.height - by * 4 : 4;
    for (int ly = 0; ly < h; ++ly) rows[ly] = out.row(by * 4 + ly, &alphas[ly]);
    if (out.failed) return;
    const uint8_t* block = data + static_cast<size_t>(by) * nbx * block_bytes;
    for (int bx0 = 0; bx0 < nbx; bx0 += chunk) {
      const int n = nbx - bx0 < chunk ? nbx - bx0 : chunk;
      if (many) {
        many(block, n, strip.data());
        block += static_cast<size_t>(n) * block_bytes;
      } else {
        for (int k = 0; k < n; ++k, block += block_bytes) fn(block, &strip[static_cast<size_t>(k) * 64]);
      }
      const int x = bx0 * 4;
      const int w = out.width - x < n * 4 ? out.width - x : n * 4;
      for (int ly = 0; ly < h; ++ly) {
        put_texels(&strip[static_cast<size_t>(ly) * 16], 64, w, rows[ly] + static_cast<size_t>(x) * out.pixel,
                   alphas[ly] ? alphas[ly] + x : nullptr, out.pixel);
      }
    }
  }
}

}  // namespace

BlockFn block_fn(const Texture& t, int* block_bytes) {
  int bytes = 16;
  BlockFn fn = nullptr;
  switch (t.format) {
    case QZIPVR_FORMAT_ETC1: fn = etc1; bytes = 8; break;
    case QZIPVR_FORMAT_BC1: fn = t.bc1_opaque ? bc1_opaque : bc1; bytes = 8; break;
    case QZIPVR_FORMAT_BC2: fn = bc2; break;
    case QZIPVR_FORMAT_BC3: fn = bc3; break;
    case QZIPVR_FORMAT_BC4: fn = t.is_signed ? bc4_signed : bc4; bytes = 8; break;
    case QZIPVR_FORMAT_BC5: fn = t.is_signed ? bc5_signed : bc5; break;
    case QZIPVR_FORMAT_BC7: fn = bc7; break;
    case QZIPVR_FORMAT_ETC2_RGB: fn = etc2_rgb; bytes = 8; break;
    case QZIPVR_FORMAT_ETC2_RGBA: fn = etc2_rgba; break;
    case QZIPVR_FORMAT_ETC2_RGB_A1: fn = etc2_rgb_a1; bytes = 8; break;
    case QZIPVR_FORMAT_EAC_R11: fn = t.is_signed ? eac_r11_signed : eac_r11; bytes = 8; break;
    case QZIPVR_FORMAT_EAC_RG11: fn = t.is_signed ? eac_rg11_signed : eac_rg11; break;
    default: break;
  }
  if (block_bytes) *block_bytes = bytes;
  return fn;
}

void decode_blocks(const uint8_t* data, const Texture& t, Sink& out) {
  int bytes = 0;
  const BlockFn fn = block_fn(t, &bytes);
  if (!fn) return;
  // BC1 without alpha goes block by block (its index 3 is opaque black).
  ChunkFn many = t.bc1_opaque ? nullptr : bcn_chunk(t.format, t.is_signed);
  if (!many) many = eac_chunk(t.format, t.is_signed);
  run_blocks(data, many, fn, bytes, out);
}

void decode_uncompressed(const uint8_t* data, const Layout& layout, Sink& out) {
  const int bpp = layout.bytes_per_pixel;
  for (int y = 0; y < out.height; ++y) {
    uint8_t* alpha = nullptr;
    uint8_t* d = out.row(y, &alpha);
    if (out.failed) return;
    for (int x = 0; x < out.width; ++x, data += bpp, d += out.pixel) {
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
      d[0] = static_cast<uint8_t>(b);
      d[1] = static_cast<uint8_t>(g);
      d[2] = static_cast<uint8_t>(r);
      if (out.pixel == 4) {
        d[3] = static_cast<uint8_t>(a);
      } else if (alpha) {
        alpha[x] = static_cast<uint8_t>(a);
      }
    }
  }
}

void mirror_rows(Sink& out) {
  const int p = out.pixel;
  for (int y = 0; y < out.height && !out.failed; ++y) {
    uint8_t* alpha = nullptr;
    uint8_t* row = out.row(y, &alpha);
    if (out.failed) return;
    for (int l = 0, r = out.width - 1; l < r; ++l, --r) {
      std::swap_ranges(row + p * l, row + p * l + p, row + p * r);
      if (alpha) std::swap(alpha[l], alpha[r]);
    }
  }
}

}  // namespace qzipvr
