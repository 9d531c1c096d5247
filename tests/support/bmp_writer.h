// Builds BMP files in memory for tests: any of the information header forms, palettes,
// bit-field masks, packed pixel rows, a prefix before the signature and bitmap-array chains.
#ifndef QZI_TEST_BMP_WRITER_H
#define QZI_TEST_BMP_WRITER_H

#include <cstdint>
#include <functional>
#include <vector>

namespace bmpw {

using Bytes = std::vector<uint8_t>;

inline void put16(Bytes& b, uint32_t v) { b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8)}); }
inline void put32(Bytes& b, uint32_t v) {
  put16(b, v);
  put16(b, v >> 16);
}

struct Entry {
  uint8_t b, g, r, a;
};

struct Layout {
  uint32_t header_size = 40;
  int32_t width = 4;
  int32_t height = 4;  // stored as given: negative for a top-down 12-byte header
  uint16_t planes = 1;
  uint16_t bit_count = 8;
  uint32_t compression = 0;
  uint32_t colors_used = 0;
  uint32_t header_masks[4] = {0, 0, 0, 0};  // written inside headers of 56, 108 and 124 bytes
  std::vector<uint32_t> masks_after;         // written directly behind the header
  std::vector<Entry> palette;                // 3 bytes per entry with a 12-byte header
  Bytes pixels;                              // pixel data as stored
  size_t gap = 0;                            // bytes between the table and the pixel data
  int64_t off_bits = -1;                     // -1: where the pixels are written
  Bytes header_tail;                         // bytes of a longer header past its known fields
};

// The information header alone: the 40-byte fields, cut for the 16- and 36-byte forms, masks
// inside the forms that hold them, then the tail, zero-filled to the size (the 64-byte form's
// own fields are all 0).
inline Bytes info_header(const Layout& s) {
  Bytes b;
  put32(b, s.header_size);
  if (s.header_size == 12) {
    for (uint32_t v : {uint32_t(s.width), uint32_t(s.height), uint32_t(s.planes), uint32_t(s.bit_count)}) put16(b, v);
    return b;
  }
  for (uint32_t v : {uint32_t(s.width), uint32_t(s.height)}) put32(b, v);
  put16(b, s.planes);
  put16(b, s.bit_count);
  for (uint32_t v : {s.compression, 0u, 2835u, 2835u, s.colors_used, 0u}) put32(b, v);
  if (s.header_size == 56 || s.header_size == 108 || s.header_size == 124)
    for (uint32_t m : s.header_masks) put32(b, m);
  b.insert(b.end(), s.header_tail.begin(), s.header_tail.end());
  if (s.header_size == 16 || s.header_size == 36 || b.size() < s.header_size) b.resize(s.header_size);
  return b;
}

// A whole file: "BM" header, information header, masks, palette, gap, pixels. Pixel offsets
// count from the "BM"; `base` is added for files inside a bitmap array, whose origin lies before.
inline Bytes file(const Layout& s, uint32_t base = 0) {
  Bytes body = info_header(s);
  for (uint32_t m : s.masks_after) put32(body, m);
  for (const Entry& e : s.palette) {
    body.insert(body.end(), {e.b, e.g, e.r});
    if (s.header_size != 12) body.push_back(e.a);
  }
  body.insert(body.end(), s.gap, 0);
  const uint32_t off = s.off_bits >= 0 ? uint32_t(s.off_bits) : uint32_t(14 + body.size() + base);
  Bytes b = {'B', 'M'};
  for (uint32_t v : {uint32_t(14 + body.size() + s.pixels.size()), 0u, off}) put32(b, v);
  b.insert(b.end(), body.begin(), body.end());
  b.insert(b.end(), s.pixels.begin(), s.pixels.end());
  return b;
}

// Stored rows, bottom-up as the file holds them: value(x, stored_row) packed at `bits` per
// pixel (most significant field first below 8 bits, little-endian above), each row padded to 4.
inline Bytes rows(int bits, int width, int height, const std::function<uint32_t(int, int)>& value) {
  Bytes b;
  for (int y = 0; y < height; ++y) {
    Bytes row((static_cast<size_t>(width) * bits + 31) / 32 * 4, 0);
    for (int x = 0; x < width; ++x) {
      const uint32_t v = value(x, y);
      if (bits < 8)
        row[x * bits / 8] |= static_cast<uint8_t>((v & ((1u << bits) - 1)) << (8 - bits - x * bits % 8));
      else
        for (int i = 0; i < bits / 8; ++i) row[x * bits / 8 + i] = static_cast<uint8_t>(v >> (8 * i));
    }
    b.insert(b.end(), row.begin(), row.end());
  }
  return b;
}

// A grey palette of n entries with alpha `a`.
inline std::vector<Entry> grey(int n, uint8_t a = 0) {
  std::vector<Entry> p;
  for (int i = 0; i < n; ++i) {
    const uint8_t v = static_cast<uint8_t>(n > 1 ? i * 255 / (n - 1) : 0);
    p.push_back(Entry{v, v, v, a});
  }
  return p;
}

// A bitmap array of `entries` "BA" entries (the first at the origin) whose last one holds
// the file of `s`. Entries before the last carry a dummy file header of their own, which the
// reader never looks at; `link(i, next)` may rewrite the link of entry i.
inline Bytes array(const Layout& s, int entries, const std::function<uint32_t(int, uint32_t)>& link = nullptr) {
  Bytes b;
  for (int i = 0; i < entries; ++i) {
    const bool last = i + 1 == entries;
    const uint32_t next = last ? 0 : static_cast<uint32_t>(b.size()) + 28;
    b.insert(b.end(), {'B', 'A'});
    put32(b, 40);
    put32(b, link ? link(i, next) : next);
    put32(b, 999 | 999u << 16);  // display width and height, never used
    if (!last) b.insert(b.end(), {'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  }
  const Bytes f = file(s, static_cast<uint32_t>(b.size()));
  b.insert(b.end(), f.begin(), f.end());
  return b;
}

}  // namespace bmpw

#endif  // QZI_TEST_BMP_WRITER_H
