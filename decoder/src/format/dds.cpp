// DDS files, recognised by "DDS " and the 124-byte header size.
// Decoded by the shared texture decode (texture.cpp).
#include <cstring>

#include "format/texture.h"
#include "qzipvr.h"

namespace qzimgdecoder_dds {

namespace {
bool is_mine(const uint8_t* p, size_t n) { return n >= 8 && std::memcmp(p, "DDS ", 4) == 0 && p[4] == 124 && p[5] == 0 && p[6] == 0 && p[7] == 0; }
}  // namespace

void qzi_decode_dds(QZIDECODER_IMPL* h, int mode) {
  qzimgdecoder_texture::decode(h, mode, QZIPVR_CONTAINER_DDS, is_mine);
}

}  // namespace qzimgdecoder_dds
