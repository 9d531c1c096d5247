// Builds PVR texture files in memory for tests: legacy and version 3 headers, channel
// layouts and metadata blocks.
#ifndef QZI_TEST_PVR_WRITER_H
#define QZI_TEST_PVR_WRITER_H

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace pvrtest {

using Bytes = std::vector<uint8_t>;

// Little-endian words, then `tail`.
inline Bytes words(std::initializer_list<uint32_t> values, const Bytes& tail = {}) {
  Bytes b;
  for (uint32_t v : values) {
    for (int s = 0; s < 32; s += 8) b.push_back(static_cast<uint8_t>(v >> s));
  }
  b.insert(b.end(), tail.begin(), tail.end());
  return b;
}

inline Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Legacy header, version 1 (44 bytes) or 2 (52, ending in the tag); pixel type and flags share a word.
inline Bytes legacy(uint32_t flags, uint32_t w, uint32_t h, const Bytes& data = {}, int version = 2) {
  if (version == 1) return words({44, h, w, 0, flags, 0, 0, 0, 0, 0, 0}, data);
  return words({52, h, w, 0, flags, 0, 0, 0, 0, 0, 0, 0x21525650, 1}, data);
}

// Version 3 header, metadata and data; `format` is a compressed id or a channels() layout.
inline Bytes v3(uint64_t format, uint32_t w, uint32_t h, const Bytes& data = {}, const Bytes& meta = {},
                uint32_t channel_type = 0, uint32_t flags = 0, uint32_t depth = 1) {
  return words({0x03525650, flags, static_cast<uint32_t>(format), static_cast<uint32_t>(format >> 32), 0,
                channel_type, h, w, depth, 1, 1, 1, static_cast<uint32_t>(meta.size())}, meta + data);
}

inline uint64_t channels(const char* names, uint64_t b0, uint64_t b1 = 0, uint64_t b2 = 0, uint64_t b3 = 0) {
  uint64_t v = (b0 | b1 << 8 | b2 << 16 | b3 << 24) << 32;
  for (int k = 0; k < 4 && names[k]; ++k) v |= uint64_t{static_cast<uint8_t>(names[k])} << (8 * k);
  return v;
}

inline Bytes meta(uint32_t fourcc, uint32_t key, const Bytes& data) {
  return words({fourcc, key, static_cast<uint32_t>(data.size())}, data);
}
// One byte per axis (x, y, z); non-zero reverses that axis.
inline Bytes orientation(uint8_t x, uint8_t y) { return meta(0x03525650, 3, {x, y, 0}); }

}  // namespace pvrtest

#endif  // QZI_TEST_PVR_WRITER_H
