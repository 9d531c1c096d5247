// Float samples of the signed block formats, whose 8-bit picture maps -1..1 to 0..255: BC4 and
// BC5 (units of 1/127, -128 read as -127) and the signed 11-bit EAC forms (units of 1/1023);
// and of the unsigned EAC forms, whose 11 bits 8 do not hold (units of 1/2047).
// Missing colour channels are 0, alpha 1.
#include <cstring>

#include "container.h"
#include "qzipvr.h"

namespace qzipvr {
namespace {

// One signed BC4 channel of a block into `channel` of 16 float texels.
void bc4_signed_floats(const uint8_t* block, float* rgba, int channel) {
  int e0 = static_cast<int8_t>(block[0]), e1 = static_cast<int8_t>(block[1]);
  if (e0 == -128) e0 = -127;
  if (e1 == -128) e1 = -127;
  const int d = e0 > e1 ? 7 : 5;
  float pal[8];
  for (int c = 0; c < 8; ++c) {
    // Weights of the second endpoint: 0, d, then 1 .. d - 1; fifths end with -1 and 1.
    const int w = c == 0 ? 0 : c == 1 ? d : c - 1;
    if (d == 5 && c >= 6) {
      pal[c] = c == 6 ? -1.0f : 1.0f;
    } else {
      pal[c] = static_cast<float>(((d - w) * e0 + w * e1) / (127.0 * d));
    }
  }
  uint64_t bits = 0;
  for (int k = 7; k >= 2; --k) bits = bits << 8 | block[k];
  for (int i = 0; i < 16; ++i) rgba[4 * i + channel] = pal[bits >> (3 * i) & 7];
}

void eac_signed_floats(const uint8_t* block, float* rgba, int channel) {
  int v[16];
  eac11_signed_values(block, v);
  for (int i = 0; i < 16; ++i) rgba[4 * i + channel] = static_cast<float>(v[i] / 1023.0);
}

void eac_unsigned_floats(const uint8_t* block, float* rgba, int channel) {
  int v[16];
  eac11_unsigned_values(block, v);
  for (int i = 0; i < 16; ++i) rgba[4 * i + channel] = static_cast<float>(v[i] / 2047.0);
}

}  // namespace

void decode_signed_floats(const uint8_t* data, const Texture& t, FloatSink& out) {
  const bool two = t.format == QZIPVR_FORMAT_BC5 || t.format == QZIPVR_FORMAT_EAC_RG11;
  const bool eac = t.format == QZIPVR_FORMAT_EAC_R11 || t.format == QZIPVR_FORMAT_EAC_RG11;
  void (*channel_fn)(const uint8_t*, float*, int) =
      !eac ? bc4_signed_floats : t.is_signed ? eac_signed_floats : eac_unsigned_floats;
  const size_t block_bytes = two ? 16 : 8;
  const int nbx = (out.width + 3) / 4, nby = (out.height + 3) / 4;
  float texels[64];
  for (int i = 0; i < 16; ++i) {
    texels[4 * i + 1] = texels[4 * i + 2] = 0.0f;
    texels[4 * i + 3] = 1.0f;
  }
  for (int by = 0; by < nby; ++by) {
    const int h = out.height - by * 4 < 4 ? out.height - by * 4 : 4;
    float* rows[4];
    for (int ly = 0; ly < h; ++ly) rows[ly] = out.row(by * 4 + ly);
    if (out.failed) return;
    const uint8_t* block = data + static_cast<size_t>(by) * nbx * block_bytes;
    for (int bx = 0; bx < nbx; ++bx, block += block_bytes) {
      channel_fn(block, texels, 0);
      if (two) channel_fn(block + 8, texels, 1);
      const int w = out.width - bx * 4 < 4 ? out.width - bx * 4 : 4;
      for (int ly = 0; ly < h; ++ly) {
        std::memcpy(rows[ly] + static_cast<size_t>(bx) * 16, &texels[16 * ly], static_cast<size_t>(w) * 4 * sizeof(float));
      }
    }
  }
}

}  // namespace qzipvr
