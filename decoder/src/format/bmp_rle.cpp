// BMP run-length forms: RLE8, RLE4 and the 1-bit form. Codes write straight into the bitmap
// rows, one palette index per pixel, and every hand-on clears the row from x to its end, padding
// included (end of row, end of picture, moves downwards); rows the codes never reach are cleared
// when the picture ends. The input is taken through a read cursor, whose position lives in
// locals. Called by the decode pass (bmp.cpp) once the palette is read.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "format/bmp.h"

namespace qzimgdecoder_bmp {

using namespace qzimgdecoder;

namespace {

struct RleRows {
  QZIDEC_BMP* bmp;
  QZIDECODER_IMPL* h = bmp->impl;
  int width = bmp->width;
  int stride = h->width_bytes;
  uint8_t* line = row_at(0);
  int x = 0;
  int y = 0;

  uint8_t* row_at(int row) { return y_adr(h, image_row(bmp, row)); }
  void store(uint8_t v) {
    if (x < width) line[x++] = v;
  }
  // n pixels (n <= width - x) alternating between a and b, starting with a. Away from the
  // row's end whole 16-byte blocks are stored, up to 15 bytes past the run: every byte from x
  // on is written again by a later code or cleared by the hand-on, and no branch depends on
  // the run's length.
  void fill(int n, uint8_t a, uint8_t b) {
    uint8_t* dst = line + x;
    x += n;
    const uint64_t pattern = (a | (static_cast<uint64_t>(b) << 8)) * 0x0001000100010001ull;
    if (x + 15 <= stride) {
      for (int i = 0; i < n; i += 16) {
        std::memcpy(dst + i, &pattern, 8);
        std::memcpy(dst + i + 8, &pattern, 8);
      }
      return;
    }
    int i = 0;
    for (; i + 8 <= n; i += 8) std::memcpy(dst + i, &pattern, 8);
    for (; i < n; ++i) dst[i] = (i & 1) ? b : a;
  }
  void clear_before() { std::memset(line, 0, static_cast<size_t>(x)); }
  void skip(int dx) {
    const int n = std::min(dx, width - x);
    std::memset(line + x, 0, static_cast<size_t>(n));
    x += n;
  }
  // Clears from x and hands the row on; true when that was the last row.
  bool hand_on() {
    std::memset(line + x, 0, static_cast<size_t>(stride - x));
    row_done(bmp, y);
    if (++y == bmp->height) return true;
    line = row_at(y);
    return false;
  }
  // The end-of-picture code came before the last row: the rows left are cleared.
  void clear_rest() {
    for (; y < bmp->height; ++y) std::memset(row_at(y), 0, static_cast<size_t>(stride));
  }
};


// Absolute runs of the 4-bit codes: `count` pixels from (count + 1) / 2 bytes, high nibble
// first, each passed through `pick`, then a pad byte that keeps the codes 16-bit aligned.
template <typename Pick>
void rle_nibbles(RleRows& r, ReadCursor& in, int count, Pick pick) {
  const uint32_t bytes = static_cast<uint32_t>((count + 1) / 2);
  int left = count;
  for (uint32_t i = 0; i < bytes; ++i) {
    const uint8_t b = in.next();
    r.store(pick(static_cast<uint8_t>(b >> 4)));
    if (--left > 0) {
      r.store(pick(static_cast<uint8_t>(b & 15)));
      --left;
    }
  }
  if (bytes & 1) in.next();
}

}  // namespace

void decode_rle8(QZIDEC_BMP* bmp) {
  RleRows r{bmp};
  ReadCursor in(bmp->impl);
  for (;;) {
    const int k = in.next();
    if (k != 0) {
      const uint8_t v = in.next();
      r.fill(std::min(k, r.width - r.x), v, v);
      continue;
    }
    const int e = in.next();
    if (e == 0) {
      if (r.hand_on()) return;
      r.x = 0;
    } else if (e == 1) {
      if (!r.hand_on()) r.clear_rest();
      return;
    } else if (e == 2) {
      // Unlike the 4-bit form, a move below the last row ends the picture here: each form
      // keeps the behaviour that files written for it rely on.
      r.skip(in.next());
      for (int dy = in.next(); dy > 0; --dy) {
        if (r.hand_on()) return;
        r.clear_before();
      }
    } else {
      const int n = std::min(e, r.width - r.x);
      in.copy(r.line + r.x, static_cast<uint32_t>(n));
      r.x += n;
      in.skip(static_cast<uint32_t>(e - n + (e & 1)));
    }
  }
}

void decode_rle4(QZIDEC_BMP* bmp) {
  RleRows r{bmp};
  ReadCursor in(bmp->impl);
  const auto nibble = [](uint8_t v) { return v; };
  for (;;) {
    const int k = in.next();
    const int v = in.next();
    if (k != 0) {
      r.fill(std::min(k, r.width - r.x), static_cast<uint8_t>(v >> 4), static_cast<uint8_t>(v & 15));
      continue;
    }
    if (v == 0) {
      if (r.hand_on()) return;
      r.x = 0;
    } else if (v == 1) {
      if (!r.hand_on()) r.clear_rest();
      return;
    } else if (v == 2) {
      r.skip(in.next());
      // Unlike the 8-bit form, a move below the last row is dropped and decoding goes on in
      // the last row: each form keeps the behaviour that files written for it rely on.
      for (int dy = in.next(); dy > 0; --dy) {
        if (r.y >= bmp->height - 1) break;
        r.hand_on();
        r.clear_before();
      }
    } else {
      rle_nibbles(r, in, v, nibble);
    }
  }
}

void decode_rle1(QZIDEC_BMP* bmp) {
  RleRows r{bmp};
  ReadCursor in(bmp->impl);
  const auto bit = [](uint8_t v) { return static_cast<uint8_t>(v & 1); };
  while (r.y < bmp->height) {
    r.x = 0;
    for (;;) {
      const int k = in.next();
      const int v = in.next();
      if (k != 0) {
        r.fill(std::min(k, r.width - r.x), static_cast<uint8_t>((v >> 4) & 1), static_cast<uint8_t>(v & 1));
      } else if (v == 0) {
        r.hand_on();
        break;
      } else {
        rle_nibbles(r, in, v, bit);
      }
    }
  }
}

}  // namespace qzimgdecoder_bmp
