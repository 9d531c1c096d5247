// Internal pieces of libqzipvr: the header reader and the pixel decoders.
#ifndef QZIPVR_TEXTURE_H
#define QZIPVR_TEXTURE_H

#include <cstddef>
#include <cstdint>

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
};

// Reads a header of `size` bytes. False for anything this library does not decode.
bool parse_header(const uint8_t* p, size_t size, Texture* t);
// Reads version 3 metadata (orientation) from the whole file; false when a block
// overruns the metadata. Versions 1 and 2 have none and always succeed.
bool parse_metadata(const uint8_t* file, size_t size, Texture* t);
// Bytes of the top level's data.
uint64_t level_bytes(const Texture& t);
// Padded PVRTC sizes: false when they are not powers of two.
bool pvrtc_size_ok(int width, int height, bool two_bpp);

// Decoders: `data` holds level_bytes() bytes; `out` receives width x height pixels of
// blue, green, red, alpha, rows in storage order. Only PVRTC allocates (and may throw
// std::bad_alloc).
void decode_pvrtc(const uint8_t* data, int width, int height, bool two_bpp, uint8_t* out);
void decode_etc1(const uint8_t* data, int width, int height, uint8_t* out);
void decode_bc(const uint8_t* data, int width, int height, int format, uint8_t* out);
void decode_uncompressed(const uint8_t* data, int width, int height, const Layout& layout, uint8_t* out);

inline uint32_t load32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace qzipvr

#endif  // QZIPVR_TEXTURE_H
