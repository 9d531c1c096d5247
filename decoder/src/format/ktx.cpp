// KTX 1.1 files, recognised by their 12-byte identifier.
// Decoded by the shared texture decode (texture.cpp).
#include <cstring>

#include "format/texture.h"
#include "qzipvr.h"

namespace qzimgdecoder_ktx {

namespace {
bool is_mine(const uint8_t* p, size_t n) { return n >= 12 && std::memcmp(p, "\xABKTX 11\xBB\r\n\x1A\n", 12) == 0; }
}  // namespace

void qzi_decode_ktx(QZIDECODER_IMPL* h, int mode) {
  qzimgdecoder_texture::decode(h, mode, QZIPVR_CONTAINER_KTX, is_mine);
}

}  // namespace qzimgdecoder_ktx
