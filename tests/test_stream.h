// A memory-backed stream for the decoder's stream callbacks, counting what the decoder asks of it.
#ifndef QZI_TEST_STREAM_H
#define QZI_TEST_STREAM_H

#include <cstdint>
#include <cstring>
#include <vector>

#include "qzimgdecoder.h"

struct MemStream {
  std::vector<uint8_t> data;
  size_t pos = 0;
  int reads = 0;                      // read callback calls
  std::vector<unsigned> seeks;        // positions asked of the position callback
  size_t chunk_limit = SIZE_MAX;      // deliver at most this much per read (a short-reading stream)
  bool fail_reads = false;
  bool fail_seeks = false;
  int cleanups = 0;

  explicit MemStream(std::vector<uint8_t> bytes = {}) : data(std::move(bytes)) {}

  static bool read(void* s, void* buf, unsigned size, unsigned* count) {
    MemStream* m = static_cast<MemStream*>(s);
    ++m->reads;
    if (m->fail_reads) return false;
    size_t n = m->pos < m->data.size() ? m->data.size() - m->pos : 0;
    if (n > size) n = size;
    if (n > m->chunk_limit) n = m->chunk_limit;
    if (n) std::memcpy(buf, m->data.data() + m->pos, n);
    m->pos += n;
    *count = static_cast<unsigned>(n);
    return true;
  }
  static bool setpos(void* s, unsigned position) {
    MemStream* m = static_cast<MemStream*>(s);
    m->seeks.push_back(position);
    if (m->fail_seeks) return false;
    m->pos = position;
    return true;
  }
  static void cleanup(void* s) { ++static_cast<MemStream*>(s)->cleanups; }
};

#endif
