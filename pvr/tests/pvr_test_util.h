// PVR files built in memory, decoded through the library's three calls or the decoder's API.
#ifndef PVR_TEST_UTIL_H
#define PVR_TEST_UTIL_H

#include <algorithm>
#include <cstdint>
#include <vector>

#include "qzi_rgba.h"
#include "qzimgdecoder.h"
#include "qzipvr.h"
#include "qzi_memstream.h"

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

struct Decoded {
  int header = -1, decode = -1, width = 0, height = 0, format = -1;
  Bytes bgra;
};

// The three calls as a caller makes them, on exactly sized copies so that sanitizers see overreads.
inline Decoded decode(const Bytes& file) {
  Decoded d;
  Bytes head(file.begin(), file.begin() + static_cast<long>(std::min<size_t>(file.size(), 52)));
  d.header = qzipvr03(head.data(), static_cast<int>(head.size()), &d.width, &d.height, &d.format);
  if (d.header != QZIPVR_OK) return d;
  d.bgra.assign(qzipvr04(d.width, d.height, d.format), 0xCD);
  Bytes copy(file);
  d.decode = qzipvr05(copy.data(), copy.size(), d.bgra.data(), d.bgra.size());
  return d;
}

// One decoder handle on a memory stream, keeping what it delivers.
struct Session {
  QZIDECODER h = qziCreateDecoder();
  MemStream stream;
  qzi_rgba::Image img;
  int layers = 0;
  std::vector<unsigned> progress;
  int stop_at = -1;  // the progress value the callback refuses

  ~Session() { qziCloseDecoder(h); }
  // `declared`: the input size told to the decoder; 0 for the real one.
  int init(const Bytes& bytes, const char* name = "t.pvr", unsigned declared = 0) {
    stream.data = bytes;
    const int size = static_cast<int>(declared ? declared : bytes.size());
    return qziDecoderInitialize(h, &stream, size, MemStream::read, MemStream::setpos, nullptr, name);
  }
  int execute() {
    layers = 0;
    img = qzi_rgba::Image();
    progress.clear();
    qziSetDecoderLayerCallback(h, [](QZIDEC_LAYERINFO* info, int) {
      Session* s = reinterpret_cast<Session*>(static_cast<uintptr_t>(info->layer_user));
      ++s->layers;
      qzi_rgba::from_layer(info, &s->img);
      return 0;
    }, this);
    qziSetDecoderProgressCallback(h, [](long user, unsigned value) {
      Session* s = reinterpret_cast<Session*>(user);
      s->progress.push_back(value);
      return static_cast<int>(value) != s->stop_at;
    }, reinterpret_cast<long>(this));
    return qziDecoderExecute(h);
  }
  unsigned info(int item) {
    unsigned v = 0;
    qziDecoderGetDocInfo(h, item, &v);
    return v;
  }
};

}  // namespace pvrtest

#endif  // PVR_TEST_UTIL_H
