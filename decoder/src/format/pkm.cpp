// PKM files, recognised by "PKM " and a version of "10" or "20".
// Decoded by the shared texture decode (texture.cpp).
#include <cstring>

#include "format/texture.h"
#include "qzipvr.h"

namespace qzimgdecoder_pkm {

namespace {
bool is_mine(const uint8_t* p, size_t n) { return n >= 6 && std::memcmp(p, "PKM ", 4) == 0 && (std::memcmp(p + 4, "10", 2) == 0 || std::memcmp(p + 4, "20", 2) == 0); }
}  // namespace

void qzi_decode_pkm(QZIDECODER_IMPL* h, int mode) {
  qzimgdecoder_texture::decode(h, mode, QZIPVR_CONTAINER_PKM, is_mine);
}

}  // namespace qzimgdecoder_pkm
