// Internal pieces of libqzipvr: the header reader and the pixel decoders.
#ifndef QZIPVR_TEXTURE_H
#define QZIPVR_TEXTURE_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

struct astcenc_context;

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

// Uncompressed channels of the other containers: any width up to 32 bits at any bit position
// of a little-endian pixel of up to 16 bytes.
enum WideKind : uint8_t { kUnorm, kSnorm, kHalf, kFloat, kUfloat11, kUfloat10 };
struct WideChannel {
  char name = 0;  // 'r', 'g', 'b', 'a', 'l' (luminance: red, green and blue) or 'x' (unused)
  WideKind kind = kUnorm;
  int shift = 0;  // lowest bit
  int bits = 0;
};
struct WideLayout {
  int count = 0;
  WideChannel channels[4];
  int bytes_per_pixel = 0;  // 1..16
  int swap = 1;             // bytes of each element reversed first (big-endian KTX); 1: none
  bool rgb9e5 = false;      // three 9-bit mantissas and a shared exponent
  bool palette = false;     // 8-bit indices into 256 entries of red, green, blue, alpha
  bool is_float = false;    // some channel holds values beyond 0..1
  bool is_signed = false;   // some channel is signed normalised (-1..1)
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

  // The other containers (container.cpp), and the image chosen in any container.
  int container = 1;            // QZIPVR_CONTAINER_*
  std::string label;            // container and variant: "DDS DX10", "KTX2 zstd"
  std::string format_name;      // the format as the container's tables name it
  int levels = 1, faces = 1, layers = 1, depth = 1;
  int block_d = 1;              // 3D ASTC
  int slice_in_block = 0;       // 3D ASTC: the chosen slice inside its block layer
  WideLayout wide;              // QZIPVR_FORMAT_WIDE
  uint64_t palette_offset = 0;  // WIDE with a palette
  uint64_t row_stride = 0;      // WIDE: rows padded to a multiple of this many bytes; 0 or 1 packed
  bool bc1_opaque = false;      // BC1 without alpha: index 3 of a three-colour block is opaque black
  bool hdr = false;             // values may lie beyond 0..1
  bool astc_hdr = false;        // ASTC blocks decoded with the HDR profile
  bool premultiplied = false;
  bool srgb_tagged = false;     // sRGB by the container's colour description, not its format
  bool colour_stated = false;   // the container says sRGB or linear (legacy DDS, PKM, .astc, old PVR: neither)
  int alpha = -1;               // whether the stored texels carry alpha: -1 as the format has it, 0 or 1 as
                                // the container says (PVRTC RGB or RGBA, a swizzle to opaque)
  char swizzle[4] = {'r', 'g', 'b', 'a'};  // KTX2 KTXswizzle: 'r' 'g' 'b' 'a' '0' '1'
  int supercompression = 0;     // KTX2: 0 none, 2 Zstandard, 3 zlib
  uint64_t level_offset = 0, level_length = 0, level_inflated = 0;  // KTX2 level data in the file
  uint64_t image_offset = 0;    // KTX2: the image inside its inflated level
};

// How float values become 8 bits.
struct Tone {
  bool reinhard = false;
  double exposure = 1;
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

// Where the float decoders write: rows of `width` texels of red, green, blue and alpha floats.
// `y` counts rows in storage order; orientation is applied by `row`.
struct FloatSink {
  int width = 0, height = 0;
  bool flip_rows = false;
  float* (*row_fn)(void* user, int y) = nullptr;
  void* user = nullptr;
  bool failed = false;  // a row address was null

  float* row(int y) {
    float* r = row_fn(user, flip_rows ? height - 1 - y : y);
    if (!r) failed = true;
    return r;
  }
};

// Decodes one 4x4 block into 16 texels of red, green, blue, alpha in row order.
using BlockFn = void (*)(const uint8_t* block, uint8_t* rgba);
// Decodes `n` consecutive blocks so, 64 bytes of texels each, one after another.
using ChunkFn = void (*)(const uint8_t* blocks, int n, uint8_t* rgba);

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
// The ASTC codec's decompression contexts, kept for reuse across decodes and threads (a few,
// the least recently used freed first; the rest at unload): one for a block footprint and
// profile (astcenc_profile), kept or new; null when the codec refuses. A context serves one
// decode at a time; give it back after a decode that succeeded, free it otherwise.
astcenc_context* astc_take_context(int block_w, int block_h, int block_d, int profile);
void astc_give_context(int block_w, int block_h, int block_d, int profile, astcenc_context* context);
void decode_blocks(const uint8_t* data, const Texture& t, Sink& out);
void decode_uncompressed(const uint8_t* data, const Layout& layout, Sink& out);
// Columns stored right to left: each row of the finished picture reversed.
void mirror_rows(Sink& out);
// The 4x4 block decoder of a format, with its block size in bytes; null for the others.
BlockFn block_fn(const Texture& t, int* block_bytes);
// The decoder of runs of blocks of a format where one is faster than block after block
// (SIMD where the processor has it); null for the others.
ChunkFn bcn_chunk(int format, bool is_signed);
ChunkFn eac_chunk(int format, bool is_signed);
// Blocks written here (ETC2, EAC, BC1 to BC5, BC7).
void etc2_rgb(const uint8_t* block, uint8_t* rgba);
void etc2_rgba(const uint8_t* block, uint8_t* rgba);
void etc2_rgb_a1(const uint8_t* block, uint8_t* rgba);
void eac_r11(const uint8_t* block, uint8_t* rgba);
void eac_rg11(const uint8_t* block, uint8_t* rgba);
void eac_r11_signed(const uint8_t* block, uint8_t* rgba);
void eac_rg11_signed(const uint8_t* block, uint8_t* rgba);
// The sixteen values of a signed 11-bit EAC block, -1023..1023, texels in row order.
void eac11_signed_values(const uint8_t* block, int* values);
void eac11_unsigned_values(const uint8_t* block, int* values);  // 0..2047
void bc1(const uint8_t* block, uint8_t* rgba);
void bc2(const uint8_t* block, uint8_t* rgba);
void bc3(const uint8_t* block, uint8_t* rgba);
void bc4(const uint8_t* block, uint8_t* rgba);
void bc5(const uint8_t* block, uint8_t* rgba);
void bc4_signed(const uint8_t* block, uint8_t* rgba);
void bc5_signed(const uint8_t* block, uint8_t* rgba);
void bc7(const uint8_t* block, uint8_t* rgba);

// Texels are handled as 32-bit words whose lowest byte is red.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "little-endian hosts only");

// Writes `n` decoded texels (red, green, blue, alpha) as blue, green, red bytes to `bgr` and,
// when `alpha` is not null, their alpha bytes to `alpha`. Texels come in groups of four,
// `group` bytes apart: 16 for a row of texels, 64 for one texel row of consecutive 4x4 blocks.
void split_texels(const uint8_t* src, size_t group, int n, uint8_t* bgr, uint8_t* alpha);
// The same into a sink's row of `pixel` bytes a pixel: with 4, alpha is the fourth byte.
void put_texels(const uint8_t* src, size_t group, int n, uint8_t* dst, uint8_t* alpha, int pixel);

// Fields of a 128-bit block read from its lowest bit up (BC6H and BC7 blocks).
struct BitReader {
  uint64_t lo, hi;
  int pos = 0;
  uint32_t get(int n) {
    if (n == 0) return 0;
    uint64_t v;
    if (pos >= 64) {
      v = hi >> (pos - 64);
    } else if (pos + n <= 64) {
      v = lo >> pos;
    } else {
      v = lo >> pos | hi << (64 - pos);
    }
    pos += n;
    return static_cast<uint32_t>(v & ((uint64_t{1} << n) - 1));
  }
};

inline uint32_t load32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

// Sixteen 3-bit indices (the first lowest) as eight bytes of two: byte j holds index 2j in
// bits 0-2 and index 2j + 1 in bits 3-5.
inline uint64_t index_pairs(uint64_t v) {
  v = (v & 0xFFF) | (v & 0xFFF000) << 4 | (v & 0xFFF000000) << 8 | (v & 0xFFF000000000) << 12;
  return (v & 0x003F003F003F003Full) | (v & 0x0FC00FC00FC00FC0ull) << 2;
}

}  // namespace qzipvr

#endif  // QZIPVR_TEXTURE_H
