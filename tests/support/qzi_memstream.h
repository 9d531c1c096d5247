// An owning memory stream for tests that counts what the decoder asks of it and can be made to
// fail; it reads through the plain view of qzi_memview.h.
#ifndef QZI_MEMSTREAM_H
#define QZI_MEMSTREAM_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "qzi_memview.h"
#include "qzimgdecoder.h"

struct MemStream {
  std::vector<uint8_t> data;
  size_t pos = 0;
  int reads = 0;                  // read callback calls
  std::vector<unsigned> seeks;    // positions asked of the position callback
  size_t chunk_limit = SIZE_MAX;  // deliver at most this much per read (a short-reading stream)
  bool fail_reads = false;
  bool fail_seeks = false;
  int cleanups = 0;

  explicit MemStream(std::vector<uint8_t> bytes = {}) : data(std::move(bytes)) {}

  static bool read(void* s, void* buf, unsigned size, unsigned* count) {
    MemStream* m = static_cast<MemStream*>(s);
    ++m->reads;
    if (m->fail_reads) return false;
    qzi_mem::Stream view{m->data.data(), m->data.size(), m->pos < m->data.size() ? m->pos : m->data.size()};
    qzi_mem::read(&view, buf, static_cast<unsigned>(size < m->chunk_limit ? size : m->chunk_limit), count);
    m->pos = view.pos;
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
