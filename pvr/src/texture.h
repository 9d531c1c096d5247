// Internal pieces of libqzipvr: the header reader and the pixel decoders.
#ifndef QZIPVR_TEXTURE_H
#define QZIPVR_TEXTURE_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <string>

namespace qzipvr {

// One channel of an uncompressed layout.
struct Channel {
  char name = 0;  // 'r', 'g', 'b', 'a', 'l' (luminance or intensity) or 'x' (unused)
  int bits = 0;   // 1..8
  int shift = 0;  // packed layouts: bit position in the word; byte layouts: byte offset
};

// Uncompressed layout: up to four channels in the order they are named.
struct Layout {
  int count = 0;
  Channel channels[4];
  int bytes_per_pixel = 0;  // 1..4
  bool packed = false;      // one little-endian word; otherwise one byte per channel
};

// What the header says about the top level of the first surface and face.
struct Texture {
  int version = 0;  // 1, 2 or 3
  int width = 0;
  int height = 0;
  int format = 0;  // QZIPVR_FORMAT_*
  Layout layout;   // uncompressed formats only
  uint64_t metadata_size = 0;
  uint64_t data_offset = 0;
  bool flip_rows = false;   // rows stored bottom-up
  bool flip_columns = false;  // columns stored right to left
  bool is_signed = false;     // EAC, BC4, BC5: channel values -1..1
  bool srgb = false;          // version 3 colour space; decoded values are passed through
  int block_w = 4, block_h = 4;  // block formats
  uint32_t v3_id = 0;         // version 3 compressed pixel-format id
};

// Where decoders write: picture rows of `pixel` bytes per pixel (blue, green, red and, with 4,
// alpha) and, with 3, an optional alpha row. `y` counts rows in storage order; orientation
// is applied by `row`.
struct Sink {
  int width = 0, height = 0;
  int pixel = 4;
  bool flip_rows = false;
  uint8_t* (*row_fn)(void* user, int y, uint8_t** alpha) = nullptr;
  void* user = nullptr;
  bool failed = false;  // a row address was null

  uint8_t* row(int y, uint8_t** alpha) {
    uint8_t* a = nullptr;
    uint8_t* r = row_fn(user, flip_rows ? height - 1 - y : y, &a);
    if (!r) failed = true;
    *alpha = pixel == 4 ? nullptr : a;
    return r;
  }
};

// Decodes one 4x4 block into 16 texels of red, green, blue, alpha in row order.
using BlockFn = void (*)(const uint8_t* block, uint8_t* rgba);

// Reads a header of `size` bytes. False for anything this library does not decode.
bool parse_header(const uint8_t* p, size_t size, Texture* t);
// Reads version 3 metadata (orientation) from the whole file; false when a block
// overruns the metadata. Versions 1 and 2 have none and always succeed.
bool parse_metadata(const uint8_t* file, size_t size, Texture* t);
// Short name of container and format: "PVR v3 ASTC 6x6 sRGB".
std::string describe(const Texture& t);
// Bytes of the top level's data.
uint64_t level_bytes(const Texture& t);
// Padded PVRTC sizes: false when they are not powers of two.
bool pvrtc_size_ok(int width, int height, bool two_bpp);

// Decoders: `data` holds level_bytes() bytes. PVRTC and ASTC allocate (and may throw
// std::bad_alloc); ASTC returns false when its codec cannot be set up.
void decode_pvrtc(const uint8_t* data, bool two_bpp, Sink& out);
bool decode_astc(const uint8_t* data, const Texture& t, Sink& out);
void decode_blocks(const uint8_t* data, const Texture& t, Sink& out);
void decode_uncompressed(const uint8_t* data, const Layout& layout, Sink& out);
// The 4x4 block decoder of a format, with its block size in bytes; null for the others.
BlockFn block_fn(const Texture& t, int* block_bytes);
// Blocks written here (ETC2, EAC, BC4, BC5, BC7).
void etc2_rgb(const uint8_t* block, uint8_t* rgba);
void etc2_rgba(const uint8_t* block, uint8_t* rgba);
void etc2_rgb_a1(const uint8_t* block, uint8_t* rgba);
void eac_r11(const uint8_t* block, uint8_t* rgba);
void eac_rg11(const uint8_t* block, uint8_t* rgba);
void eac_r11_signed(const uint8_t* block, uint8_t* rgba);
void eac_rg11_signed(const uint8_t* block, uint8_t* rgba);
void bc4(const uint8_t* block, uint8_t* rgba);
void bc5(const uint8_t* block, uint8_t* rgba);
void bc4_signed(const uint8_t* block, uint8_t* rgba);
void bc5_signed(const uint8_t* block, uint8_t* rgba);
void bc7(const uint8_t* block, uint8_t* rgba);

// Texels are handled as 32-bit words whose lowest byte is red.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "little-endian hosts only");

// Output stores. The picture is written once and not read back here, so on x86 aligned words
// bypass the cache (no read of each line before it is overwritten); finish_stores() orders
// them before the picture is handed on.
inline void store4(uint8_t* d, uint32_t v) {
#if defined(__SSE2__)
  if ((reinterpret_cast<uintptr_t>(d) & 3) == 0) {
    _mm_stream_si32(reinterpret_cast<int*>(d), static_cast<int>(v));
    return;
  }
#endif
  std::memcpy(d, &v, 4);
}

inline void store12(uint8_t* d, const uint32_t* v) {
  store4(d, v[0]);
  store4(d + 4, v[1]);
  store4(d + 8, v[2]);
}

inline void finish_stores() {
#if defined(__SSE2__)
  _mm_sfence();
#endif
}

// Writes texels of red, green, blue, alpha (`stride` texels a row) into picture rows: `w`
// texels from column x of each of `h` rows, alpha included where the sink keeps it.
inline void put_rgba(const uint8_t* src, int stride, int x, int w, int h, uint8_t* const* rows,
                     uint8_t* const* alphas, int pixel) {
  for (int ly = 0; ly < h; ++ly) {
    const uint8_t* s = src + static_cast<size_t>(ly) * stride * 4;
    uint8_t* d = rows[ly] + static_cast<size_t>(x) * pixel;
    uint8_t* a = pixel == 3 && alphas[ly] ? alphas[ly] + x : nullptr;
    int lx = 0;
    if (pixel == 3) {
      // Four texels at a time: 16 bytes in, 12 bytes of blue, green, red and 4 of alpha out.
      for (; lx + 4 <= w; lx += 4, s += 16, d += 12) {
        uint32_t v[4], bgr[4];
        std::memcpy(v, s, 16);
        for (int k = 0; k < 4; ++k) {
          bgr[k] = (v[k] & 0xFF) << 16 | (v[k] & 0xFF00) | (v[k] >> 16 & 0xFF);
        }
        const uint32_t out[3] = {bgr[0] | bgr[1] << 24, bgr[1] >> 8 | bgr[2] << 16, bgr[2] >> 16 | bgr[3] << 8};
        store12(d, out);
        if (a) {
          const uint32_t alpha = v[0] >> 24 | (v[1] >> 24) << 8 | (v[2] >> 24) << 16 | (v[3] >> 24) << 24;
          store4(a + lx, alpha);
        }
      }
    }
    for (; lx < w; ++lx, s += 4, d += pixel) {
      d[0] = s[2];
      d[1] = s[1];
      d[2] = s[0];
      if (pixel == 4) {
        d[3] = s[3];
      } else if (a) {
        a[lx] = s[3];
      }
    }
  }
}

inline uint32_t load32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace qzipvr

#endif  // QZIPVR_TEXTURE_H
