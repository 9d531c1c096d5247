// The handle's format state record: taken by the accepting probe, freed in one place.
#include "handle.h"

namespace qzimgdecoder {

void* new_format_state(QZIDECODER_IMPL* h, size_t size) {
  free_format_state(h);
  if (!qziMemAlloc(&h->format_state, size)) qzimg::error_abort(QZIERR_NO_MEMORY);
  return h->format_state;
}

void free_format_state(QZIDECODER_IMPL* h) { qziMemFree(&h->format_state); }

}  // namespace qzimgdecoder
