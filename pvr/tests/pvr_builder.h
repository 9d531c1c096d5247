// Builds PVR files in memory for the tests: legacy and version 3 headers, metadata, and
// PVRTC blocks; and decodes them through the library's three calls.
#ifndef PVR_BUILDER_H
#define PVR_BUILDER_H

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "qzipvr.h"

namespace pvrtest {

using Bytes = std::vector<uint8_t>;

inline void put32(Bytes& b, uint32_t v) {
  for (int k = 0; k < 4; ++k) b.push_back(static_cast<uint8_t>(v >> (8 * k)));
}

inline Bytes cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Legacy header: version 1 (44 bytes) or 2 (52 bytes, with the tag).
inline Bytes legacy_header(int version, uint32_t width, uint32_t height, uint32_t type_and_flags) {
  Bytes b;
  put32(b, version == 1 ? 44 : 52);
  put32(b, height);
  put32(b, width);
  put32(b, 0);  // extra mip levels
  put32(b, type_and_flags);
  for (int k = 0; k < 6; ++k) put32(b, 0);  // data size, bit count, four masks: informative
  if (version != 1) {
    put32(b, 0x21525650);  // "PVR!"
    put32(b, 1);
  }
  return b;
}

// Channel names and widths packed as the version 3 header's 64-bit pixel format.
inline uint64_t channels(const char* names, int b0, int b1 = 0, int b2 = 0, int b3 = 0) {
  uint64_t low = 0;
  for (int k = 0; k < 4 && names[k]; ++k) low |= static_cast<uint64_t>(static_cast<uint8_t>(names[k])) << (8 * k);
  const uint64_t high = static_cast<uint64_t>(b0) | static_cast<uint64_t>(b1) << 8 | static_cast<uint64_t>(b2) << 16 |
                        static_cast<uint64_t>(b3) << 24;
  return low | high << 32;
}

struct V3 {
  uint64_t pixel_format = 0;
  uint32_t width = 1;
  uint32_t height = 1;
  Bytes metadata;
  uint32_t flags = 0;
  uint32_t channel_type = 0;
  uint32_t depth = 1;
};

inline Bytes v3_header(const V3& v) {
  Bytes b;
  put32(b, 0x03525650);
  put32(b, v.flags);
  put32(b, static_cast<uint32_t>(v.pixel_format));
  put32(b, static_cast<uint32_t>(v.pixel_format >> 32));
  put32(b, 0);  // colour space
  put32(b, v.channel_type);
  put32(b, v.height);
  put32(b, v.width);
  put32(b, v.depth);
  put32(b, 1);  // surfaces
  put32(b, 1);  // faces
  put32(b, 1);  // mip levels
  put32(b, static_cast<uint32_t>(v.metadata.size()));
  return cat(b, v.metadata);
}

inline Bytes meta_block(uint32_t fourcc, uint32_t key, const Bytes& data) {
  Bytes b;
  put32(b, fourcc);
  put32(b, key);
  put32(b, static_cast<uint32_t>(data.size()));
  return cat(b, data);
}

// Orientation metadata: one byte per axis (x, y, z); non-zero reverses that axis.
inline Bytes orientation(uint8_t x, uint8_t y) { return meta_block(0x03525650, 3, {x, y, 0}); }

struct Decoded {
  int header = -1;  // qzipvr03's result
  int decode = -1;  // qzipvr05's result
  int width = 0;
  int height = 0;
  int format = -1;
  Bytes bgra;
};

// The three calls in the order a caller makes them; the file goes in an exactly sized copy.
inline Decoded decode(const Bytes& file) {
  Decoded d;
  Bytes head(file.begin(), file.begin() + static_cast<long>(file.size() < 52 ? file.size() : 52));
  d.header = qzipvr03(head.data(), static_cast<int>(head.size()), &d.width, &d.height, &d.format);
  if (d.header != QZIPVR_OK) return d;
  const size_t size = qzipvr04(d.width, d.height, d.format);
  d.bgra.assign(size, 0xCD);
  Bytes copy(file);
  d.decode = qzipvr05(copy.data(), copy.size(), d.bgra.data(), d.bgra.size());
  return d;
}

// One PVRTC1 block: modulation word, then colour word (colour B high, A low, mode bit 0).
inline Bytes pvrtc_block(uint32_t modulation, uint32_t colours) {
  Bytes b;
  put32(b, modulation);
  put32(b, colours);
  return b;
}

// Opaque colours as the colour word stores them: A has 5-5-4 bits, B 5-5-5.
inline uint32_t opaque_a(int r5, int g5, int b4) {
  return 0x8000u | static_cast<uint32_t>(r5) << 10 | static_cast<uint32_t>(g5) << 5 | static_cast<uint32_t>(b4) << 1;
}
inline uint32_t opaque_b(int r5, int g5, int b5) {
  return 0x8000u | static_cast<uint32_t>(r5) << 10 | static_cast<uint32_t>(g5) << 5 | static_cast<uint32_t>(b5);
}
inline uint32_t colours(uint32_t a, uint32_t b, bool mode) { return b << 16 | a | (mode ? 1u : 0u); }

}  // namespace pvrtest

#endif  // PVR_BUILDER_H
