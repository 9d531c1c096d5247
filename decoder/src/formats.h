// The format modules and how the frame drives them. Adding a format means writing one module
// with the two entry points below and listing it in the format table (main.cpp).
//
// Lifecycle of decode(handle, mode):
//   mode 0, probe: called by initialisation for each candidate, the reader at position 0. The
//     module reads the header, calls set_size (and may call set_alpha, set_format_description,
//     confirm_variant) and keeps what execution needs in a state record taken with
//     new_format_state. It raises a result code to refuse the input. Whatever the outcome, the
//     frame then calls mode -1; after a refusal it also frees the state record.
//   mode 1, decode: called by each execution with the raster set up and the reader at position
//     0. The module reads the header again (a different size, depth or variant raises 102),
//     writes every byte of the bitmap's rows and delivers through the layer callback. The frame
//     then calls mode -1, also when the pass raised. Over input whose bytes cannot change
//     (input_in_place, reader.h) a module may instead go on from what its probe read.
//   mode -1, release: frees what the module allocated for one pass (buffers it points to from
//     its state record). It never raises and never frees the state record itself.
// The state record (handle->format_state) belongs to the frame once taken: it lives from the
// accepting probe until reset or close, is freed only by free_format_state, and is left for
// setparam to find between executions.
#ifndef QZIMGDECODER_FORMATS_H
#define QZIMGDECODER_FORMATS_H

#include <cstddef>
#include <cstdint>

struct QZIDECODER_IMPL;

// One entry of the format table.
struct QZIDEC_FORMAT {
  uint32_t id;
  const char* exts;  // lower-case extensions, each NUL-terminated, ended by an empty one
  void (*decode)(QZIDECODER_IMPL* handle, int mode);
  // Parameters of the accepted format; QZIERR_UNKNOWN_PARAM for ids it does not know.
  int (*setparam)(QZIDECODER_IMPL* handle, unsigned int id, long a, long b);
};

namespace qzimgdecoder {

// A zero-filled state record of `size` bytes in handle->format_state, freeing any record
// there first; raises QZIERR_NO_MEMORY.
void* new_format_state(QZIDECODER_IMPL* h, size_t size);
// Frees the state record; the one place that does.
void free_format_state(QZIDECODER_IMPL* h);

}  // namespace qzimgdecoder

namespace qzimgdecoder_bmp {
void qzi_decode_bmp(QZIDECODER_IMPL* h, int mode);
int qzidec_setparam_bmp(QZIDECODER_IMPL* h, unsigned int id, long value, long unused);
}  // namespace qzimgdecoder_bmp

namespace qzimgdecoder_pvr {
void qzi_decode_pvr(QZIDECODER_IMPL* h, int mode);
int qzidec_setparam_pvr(QZIDECODER_IMPL* h, unsigned int id, long a, long b);
}  // namespace qzimgdecoder_pvr

#endif  // QZIMGDECODER_FORMATS_H
