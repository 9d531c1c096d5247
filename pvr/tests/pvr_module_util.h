// Drives the decoder's public API on files held in memory and keeps what it delivers.
#ifndef PVR_MODULE_UTIL_H
#define PVR_MODULE_UTIL_H

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "qzimgdecoder.h"

namespace pvrtest {

// A stream over bytes, whose declared size may differ from what it holds.
struct Stream {
  std::vector<uint8_t> data;
  size_t pos = 0;

  static bool read(void* s, void* buf, unsigned size, unsigned* count) {
    Stream* m = static_cast<Stream*>(s);
    size_t n = m->pos < m->data.size() ? m->data.size() - m->pos : 0;
    if (n > size) n = size;
    if (n) std::memcpy(buf, m->data.data() + m->pos, n);
    m->pos += n;
    *count = static_cast<unsigned>(n);
    return true;
  }
  static bool setpos(void* s, unsigned position) {
    static_cast<Stream*>(s)->pos = position;
    return true;
  }
};

// The delivered picture, top row first: blue, green, red per pixel, and the alpha plane.
struct Picture {
  int calls = 0;
  int width = 0;
  int height = 0;
  int bit_count = 0;
  bool has_alpha = false;
  std::vector<uint8_t> bgr;
  std::vector<uint8_t> alpha;
  std::vector<uint8_t> last_row_in_memory;  // the bitmap's row stored last (rows run bottom-up)
};

inline const uint8_t* dib_bits(const BITMAPINFO* bi) {
  return reinterpret_cast<const uint8_t*>(bi) + bi->bmiHeader.biSize + bi->bmiHeader.biClrUsed * 4u;
}

inline int keep_layer(QZIDEC_LAYERINFO* info, int /*index*/) {
  Picture* p = reinterpret_cast<Picture*>(static_cast<uintptr_t>(info->layer_user));
  ++p->calls;
  const BITMAPINFOHEADER& hd = info->bi->bmiHeader;
  p->width = hd.biWidth;
  p->height = hd.biHeight;
  p->bit_count = hd.biBitCount;
  p->bgr.clear();
  p->alpha.clear();
  if (hd.biBitCount != 24) return 0;
  const size_t stride = (static_cast<size_t>(p->width) * 3 + 3) & ~size_t{3};
  const uint8_t* bits = dib_bits(info->bi);
  for (int y = 0; y < p->height; ++y) {
    const uint8_t* row = bits + static_cast<size_t>(p->height - 1 - y) * stride;
    p->bgr.insert(p->bgr.end(), row, row + p->width * 3);
  }
  const uint8_t* last = bits + static_cast<size_t>(p->height - 1) * stride;
  p->last_row_in_memory.assign(last, last + p->width * 3);
  p->has_alpha = info->bia != nullptr;
  if (info->bia) {
    const size_t astride = (static_cast<size_t>(p->width) + 3) & ~size_t{3};
    const uint8_t* abits = dib_bits(info->bia);
    for (int y = 0; y < p->height; ++y) {
      const uint8_t* row = abits + static_cast<size_t>(p->height - 1 - y) * astride;
      p->alpha.insert(p->alpha.end(), row, row + p->width);
    }
  }
  return 0;
}

// One handle initialised on a stream.
struct Session {
  QZIDECODER h = qziCreateDecoder();
  Stream stream;
  Picture picture;
  std::vector<unsigned> progress;
  int stop_at = -1;  // the progress callback refuses this value

  ~Session() { qziCloseDecoder(h); }

  static bool on_progress(long user, unsigned value) {
    Session* s = reinterpret_cast<Session*>(user);
    s->progress.push_back(value);
    return static_cast<int>(value) != s->stop_at;
  }

  // Initialises on `bytes`, declaring `declared` bytes (the real size when 0).
  int init(const std::vector<uint8_t>& bytes, const char* name = "t.pvr", unsigned declared = 0) {
    stream.data = bytes;
    stream.pos = 0;
    const int size = static_cast<int>(declared ? declared : bytes.size());
    return qziDecoderInitialize(h, &stream, size, Stream::read, Stream::setpos, nullptr, name);
  }
  int execute() {
    qziSetDecoderLayerCallback(h, keep_layer, &picture);
    qziSetDecoderProgressCallback(h, on_progress, reinterpret_cast<long>(this));
    return qziDecoderExecute(h);
  }
  unsigned info(int item) {
    unsigned v = 0;
    qziDecoderGetDocInfo(h, item, &v);
    return v;
  }
};

}  // namespace pvrtest

#endif  // PVR_MODULE_UTIL_H
