// FILE-backed stream callbacks, and those of the library's memory input.
#include "stream.h"

#include <cstdio>
#include <cstring>

namespace qzimgdecoder {

bool qzisrm_read(void* stream, void* buffer, unsigned int size, unsigned int* count) {
  FILE* f = static_cast<FILE*>(stream);
  const size_t n = std::fread(buffer, 1, size, f);
  if (std::ferror(f)) return false;
  if (count) *count = static_cast<unsigned int>(n);
  return true;
}

bool qzisrm_setpos(void* stream, unsigned int position) {
  return std::fseek(static_cast<FILE*>(stream), static_cast<long>(position), SEEK_SET) == 0;
}

void qzisrm_cleanup(void* stream) { std::fclose(static_cast<FILE*>(stream)); }

bool memory_read(void* stream, void* buffer, unsigned int size, unsigned int* count) {
  QZIDEC_MEMORY_INPUT* m = static_cast<QZIDEC_MEMORY_INPUT*>(stream);
  const uint32_t rest = m->pos < m->size ? m->size - m->pos : 0;
  const uint32_t n = size < rest ? size : rest;
  if (n) std::memcpy(buffer, m->data + m->pos, n);
  m->pos += n;
  *count = n;
  return true;
}

// As a file: a position past the end is taken, and reading there finds the end.
bool memory_setpos(void* stream, unsigned int position) {
  static_cast<QZIDEC_MEMORY_INPUT*>(stream)->pos = position;
  return true;
}

}  // namespace qzimgdecoder
