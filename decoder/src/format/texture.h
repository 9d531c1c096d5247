// The texture formats beyond PVR (DDS, KTX, KTX2, .astc, PKM): each is its own entry of the
// format table with its own module file, recognising its container by its first bytes; all
// share the decode below, which hands the file to the texture library's container calls.
#ifndef QZIMGDECODER_FORMAT_TEXTURE_H
#define QZIMGDECODER_FORMAT_TEXTURE_H

#include <cstddef>
#include <cstdint>

#include "qzipvr.h"

struct QZIDECODER_IMPL;

namespace qzimgdecoder_texture {

// The decode of the format module for `container` (QZIPVR_CONTAINER_*), whose magic test
// `is_mine` sees the first `n` bytes of the input (at most 16).
void decode(QZIDECODER_IMPL* h, int mode, int container, bool (*is_mine)(const uint8_t* head, size_t n));
// No format parameters: 108 for every id.
int qzidec_setparam_texture(QZIDECODER_IMPL* h, unsigned int id, long a, long b);

// The raster row `y` (from the top) and its alpha row for the texture library's row callback.
unsigned char* raster_row(void* user, int y, unsigned char** alpha);

// Document information items 8 to 11 from what the texture library read of the container.
void set_source_facts(QZIDECODER_IMPL* h, const QZIPVR_INFO& info);

// The image the handle's parameters choose, for the texture library.
struct Choice {
  int level, face, layer, slice, tone_map;
  double exposure;
};
Choice choice_of(const QZIDECODER_IMPL* h);

// The container call on the input's first bytes, read again and more while it asks for
// metadata further in; its result (QZIPVR_*). The reader is left anywhere.
int read_info(QZIDECODER_IMPL* h, unsigned size, const QZIPVR_CHOICE& choice, QZIPVR_INFO* info);

// When the caller asked for a float picture and the image has values beyond what 8 bits hold
// (`flags`: QZIPVR_FLAG_HDR or QZIPVR_FLAG_SIGNED), the whole file at `file` decoded once more
// into it, unclamped. Raises QZIERR_CANNOT, naming `name`, when the library fails.
void float_picture(QZIDECODER_IMPL* h, unsigned flags, const void* file, unsigned size, const QZIPVR_CHOICE& choice,
                   const char* name);

}  // namespace qzimgdecoder_texture

namespace qzimgdecoder_dds {
void qzi_decode_dds(QZIDECODER_IMPL* h, int mode);
}
namespace qzimgdecoder_ktx {
void qzi_decode_ktx(QZIDECODER_IMPL* h, int mode);
}
namespace qzimgdecoder_ktx2 {
void qzi_decode_ktx2(QZIDECODER_IMPL* h, int mode);
}
namespace qzimgdecoder_astc {
void qzi_decode_astc(QZIDECODER_IMPL* h, int mode);
}
namespace qzimgdecoder_pkm {
void qzi_decode_pkm(QZIDECODER_IMPL* h, int mode);
}

#endif  // QZIMGDECODER_FORMAT_TEXTURE_H
