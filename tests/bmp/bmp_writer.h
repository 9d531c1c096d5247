// Builds BMP files in memory for tests: any of the information header forms, palettes,
// bit-field masks, packed pixel rows, a prefix before the signature and bitmap-array chains.
#ifndef QZI_TEST_BMP_WRITER_H
#define QZI_TEST_BMP_WRITER_H

#include <cstdint>
#include <functional>
#include <vector>

namespace bmpw {

using Bytes = std::vector<uint8_t>;

inline void put16(Bytes& b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
inline void put32(Bytes& b, uint32_t v) {
  put16(b, v & 0xFFFF);
  put16(b, v >> 16);
}
inline void set32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

struct Entry {
  uint8_t b, g, r, a;
};

struct Spec {
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

// The information header alone.
inline Bytes info_header(const Spec& s) {
  Bytes b;
  put32(b, s.header_size);
  if (s.header_size == 12) {
    put16(b, static_cast<uint16_t>(s.width));
    put16(b, static_cast<uint16_t>(s.height));
    put16(b, s.planes);
    put16(b, s.bit_count);
    return b;
  }
  put32(b, static_cast<uint32_t>(s.width));
  put32(b, static_cast<uint32_t>(s.height));
  put16(b, s.planes);
  put16(b, s.bit_count);
  if (s.header_size == 16) return b;
  put32(b, s.compression);
  put32(b, 0);  // image size
  put32(b, 2835);
  put32(b, 2835);
  put32(b, s.colors_used);
  if (s.header_size == 64) {  // colours important, then the OS/2 fields
    put32(b, 0);
    for (int i = 0; i < 4; ++i) put16(b, 0);
    for (int i = 0; i < 4; ++i) put32(b, 0);
    return b;
  }
  if (s.header_size == 36) return b;
  put32(b, 0);  // colours important
  if (s.header_size == 56 || s.header_size == 108 || s.header_size == 124) {
    for (uint32_t m : s.header_masks) put32(b, m);
  }
  for (uint8_t t : s.header_tail) b.push_back(t);
  while (b.size() < s.header_size) b.push_back(0);
  return b;
}

// A whole file: "BM" header, information header, masks, palette, gap, pixels. Pixel offsets
// count from the "BM"; `base` is added for files inside a bitmap array, whose origin lies before.
inline Bytes file(const Spec& s, uint32_t base = 0) {
  Bytes body = info_header(s);
  for (uint32_t m : s.masks_after) put32(body, m);
  for (const Entry& e : s.palette) {
    body.push_back(e.b);
    body.push_back(e.g);
    body.push_back(e.r);
    if (s.header_size != 12) body.push_back(e.a);
  }
  body.insert(body.end(), s.gap, 0);
  const uint32_t off = s.off_bits >= 0 ? static_cast<uint32_t>(s.off_bits) : static_cast<uint32_t>(14 + body.size() + base);
  Bytes b = {'B', 'M'};
  put32(b, static_cast<uint32_t>(14 + body.size() + s.pixels.size()));
  put16(b, 0);
  put16(b, 0);
  put32(b, off);
  b.insert(b.end(), body.begin(), body.end());
  b.insert(b.end(), s.pixels.begin(), s.pixels.end());
  return b;
}

// Stored rows, bottom-up as the file holds them: value(x, stored_row) packed at `bits` per
// pixel (most significant field first below 8 bits, little-endian above), each row padded to 4.
inline Bytes rows(int bits, int width, int height, const std::function<uint32_t(int, int)>& value) {
  Bytes b;
  for (int y = 0; y < height; ++y) {
    Bytes row;
    if (bits < 8) {
      row.assign((static_cast<size_t>(width) * bits + 7) / 8, 0);
      for (int x = 0; x < width; ++x) {
        const int bit = x * bits;
        row[bit / 8] |= static_cast<uint8_t>((value(x, y) & ((1u << bits) - 1)) << (8 - bits - bit % 8));
      }
    } else {
      for (int x = 0; x < width; ++x)
        for (int i = 0; i < bits / 8; ++i) row.push_back(static_cast<uint8_t>(value(x, y) >> (8 * i)));
    }
    while (row.size() % 4) row.push_back(0);
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
inline Bytes array(const Spec& s, int entries, const std::function<uint32_t(int, uint32_t)>& link = nullptr) {
  Bytes b;
  for (int i = 0; i < entries; ++i) {
    const bool last = i + 1 == entries;
    uint32_t next = last ? 0 : static_cast<uint32_t>(b.size()) + 28;
    if (link) next = link(i, next);
    b.push_back('B');
    b.push_back('A');
    put32(b, 40);
    put32(b, next);
    put16(b, 999);  // display width and height, never used
    put16(b, 999);
    if (!last) b.insert(b.end(), {'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  }
  const Bytes f = file(s, static_cast<uint32_t>(b.size()));
  b.insert(b.end(), f.begin(), f.end());
  return b;
}

}  // namespace bmpw

#endif  // QZI_TEST_BMP_WRITER_H
