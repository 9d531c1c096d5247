// FILE-backed stream callbacks.
#include "stream.h"

#include <cstdio>

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

}  // namespace qzimgdecoder
