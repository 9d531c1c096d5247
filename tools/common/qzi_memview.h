// A read-only stream over bytes in memory for qziDecoderInitialize: qzidecode's standard
// input, and the fuzz targets, benchmarks and tests.
#ifndef QZI_MEMVIEW_H
#define QZI_MEMVIEW_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "qzimgdecoder.h"

namespace qzi_mem {

struct Stream {
  const uint8_t* data;
  size_t size;
  size_t pos;
};

inline bool read(void* s, void* buffer, unsigned int size, unsigned int* count) {
  Stream* m = static_cast<Stream*>(s);
  const size_t left = m->size - m->pos;
  const size_t n = size < left ? size : left;
  if (n) std::memcpy(buffer, m->data + m->pos, n);
  m->pos += n;
  if (count) *count = static_cast<unsigned int>(n);
  return true;
}

inline bool setpos(void* s, unsigned int position) {
  Stream* m = static_cast<Stream*>(s);
  if (position > m->size) return false;
  m->pos = position;
  return true;
}

// Initialises `decoder` on the bytes; `stream` must outlive the handle.
inline int initialize(QZIDECODER decoder, Stream* stream, const char* name) {
  return qziDecoderInitialize(decoder, stream, static_cast<int>(stream->size), read, setpos, nullptr, name);
}

}  // namespace qzi_mem

#endif  // QZI_MEMVIEW_H
