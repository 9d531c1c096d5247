// .astc files, recognised by their magic number 0x5CA1AB13.
// Decoded by the shared texture decode (texture.cpp).
#include <cstring>

#include "format/texture.h"
#include "qzipvr.h"

namespace qzimgdecoder_astc {

namespace {
bool is_mine(const uint8_t* p, size_t n) { return n >= 4 && p[0] == 0x13 && p[1] == 0xAB && p[2] == 0xA1 && p[3] == 0x5C; }
}  // namespace

void qzi_decode_astc(QZIDECODER_IMPL* h, int mode) {
  qzimgdecoder_texture::decode(h, mode, QZIPVR_CONTAINER_ASTC, is_mine);
}

}  // namespace qzimgdecoder_astc
