// The handle's format state record: taken by the accepting probe, freed in one place.
#include "handle.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace qzimgdecoder {

void* new_format_state(QZIDECODER_IMPL* h, size_t size) {
  free_format_state(h);
  if (size <= sizeof h->state_inline) {
    std::memset(h->state_inline, 0, size);
    h->format_state = h->state_inline;
  } else if (!qziMemAlloc(&h->format_state, size)) {
    qzimg::error_abort(QZIERR_NO_MEMORY);
  }
  return h->format_state;
}

void free_format_state(QZIDECODER_IMPL* h) {
  if (h->format_state == h->state_inline)
    h->format_state = nullptr;
  else
    qziMemFree(&h->format_state);
}

void set_reason(QZIDECODER_IMPL* h, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(h->reason, sizeof h->reason, format, args);
  va_end(args);
}

void raise(QZIDECODER_IMPL* h, qzimg::QZIERR code, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(h->reason, sizeof h->reason, format, args);
  va_end(args);
  qzimg::error_abort(code);
}

}  // namespace qzimgdecoder
