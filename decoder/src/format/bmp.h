// The BMP module's shared declarations: the state record, the compression codes and the row
// helpers used by its files (bmp.cpp: headers, uncompressed and bit-field rows, alpha decision,
// format table entry; bmp_rle.cpp: run-length forms; bmp_pack.h/.cpp: pixel packing). Only the
// module's own files include it; the frame reaches the module through formats.h.
#ifndef QZIMGDECODER_FORMAT_BMP_H
#define QZIMGDECODER_FORMAT_BMP_H

#include <cstddef>
#include <cstdint>

#include "internal.h"

namespace qzimgdecoder_bmp {

const uint64_t kBiRgb = 0;
const uint64_t kBiRle8 = 1;
const uint64_t kBiRle4 = 2;
const uint64_t kBiBitfields = 3;
const uint64_t kBiR565 = 0x35363552;  // the file bytes "R565"

struct QZIDEC_BMP {
  QZIDECODER_IMPL* impl;
  uint64_t off_bits;
  int32_t width;
  int32_t height;
  int32_t bit_count;
  uint64_t compression;
  int32_t core_header;
  uint64_t colors_used;
  uint64_t mask[4];  // red, green, blue, alpha
  int32_t top_down;
  uint32_t header_size;  // bytes of the information header
  int32_t masks_in_header;
  bool keep_alpha;
  uint32_t palette_alpha_mode;
  uint32_t pixel_alpha_mode;
  // Where the header was found (stream position of the "BM") and where it ends (the reader's
  // position after it): a decode pass over input read in place goes on from there.
  uint32_t origin;
  uint32_t header_end;
  bool header_read;
};

// Stored row y (file order) as a bitmap row.
inline int image_row(const QZIDEC_BMP* bmp, int y) { return bmp->top_down ? y : bmp->height - 1 - y; }

// Progress for stored row y, which has been written into the bitmap already. Without a
// callback the report has no effect; skipping the call matters for small pictures.
inline void row_done(QZIDEC_BMP* bmp, int y) {
  if (bmp->impl->progress.callback) qzimg::do_progress(bmp->impl, y, bmp->impl->height);
}

// Run-length forms (bmp_rle.cpp): the palette is read and the reader stands at the pixels.
void decode_rle8(QZIDEC_BMP* bmp);
void decode_rle4(QZIDEC_BMP* bmp);
void decode_rle1(QZIDEC_BMP* bmp);

}  // namespace qzimgdecoder_bmp

#endif  // QZIMGDECODER_FORMAT_BMP_H
