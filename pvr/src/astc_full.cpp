// ASTC beyond 2D LDR: the blocks of one 3D block layer, of which one slice is kept, and HDR
// blocks, decoded to floats by the codec's HDR profile and brought to 8 bits by the float
// rule (or handed on as they are for the float picture). Contexts come from the kept ones of
// astc.cpp. Which files are HDR is told by the blocks themselves: the formats of most containers
// do not say.
#include <astcenc.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "container.h"

namespace qzipvr {

bool astc_has_hdr_blocks(const uint8_t* data, uint64_t bytes) {
  static const bool kHdrEndpoints[16] = {false, false, true, true, false, false, false, true,
                                         false, false, false, true, false, false, true, true};
  for (uint64_t at = 0; at + 16 <= bytes; at += 16) {
    const uint32_t bits = load32(data + at);
    const uint32_t mode = bits & 0x7FF;
    if ((mode & 0x1FF) == 0x1FC) {  // constant colour; bit 9 says half floats
      if (mode & 0x200) return true;
      continue;
    }
    if ((mode & 0xF) == 0) continue;  // reserved block modes
    const uint32_t partitions = (bits >> 11 & 3) + 1;
    if (partitions == 1) {
      if (kHdrEndpoints[bits >> 13 & 15]) return true;
    } else if ((bits >> 23 & 3) == 0) {  // every partition the same endpoint mode
      if (kHdrEndpoints[bits >> 25 & 15]) return true;
    }
    // Partitions of different endpoint modes keep part of their modes below the weights; the
    // blocks around them decide.
  }
  return false;
}

namespace {

bool decode_slices(astcenc_context* context, const uint8_t* data, const Texture& t, const Tone& tone, Sink& out,
                   FloatSink* floats_out) {
  if (floats_out && !t.astc_hdr) return false;  // floats come from the HDR profile only
  const int nbx = (out.width + t.block_w - 1) / t.block_w;
  const size_t row_bytes = static_cast<size_t>(nbx) * 16;
  const int slices = t.slice_in_block + 1;
  const size_t plane = static_cast<size_t>(out.width) * t.block_h * 4;
  std::vector<float> floats(t.astc_hdr ? plane * slices : 0);
  std::vector<uint8_t> bytes(t.astc_hdr ? 0 : plane * slices);
  std::vector<void*> pointers(static_cast<size_t>(slices));
  for (int z = 0; z < slices; ++z) {
    pointers[static_cast<size_t>(z)] = t.astc_hdr ? static_cast<void*>(&floats[plane * z]) : &bytes[plane * z];
  }
  std::vector<uint8_t> rgba(plane);
  const astcenc_swizzle swizzle{ASTCENC_SWZ_R, ASTCENC_SWZ_G, ASTCENC_SWZ_B, ASTCENC_SWZ_A};
  for (int y = 0; y < out.height; y += t.block_h, data += row_bytes) {
    const int h = out.height - y < t.block_h ? out.height - y : t.block_h;
    astcenc_image image{static_cast<unsigned>(out.width), static_cast<unsigned>(h), static_cast<unsigned>(slices),
                        t.astc_hdr ? ASTCENC_TYPE_F32 : ASTCENC_TYPE_U8, pointers.data()};
    if (astcenc_decompress_image(context, data, row_bytes, &image, &swizzle, 0) != ASTCENC_SUCCESS) return false;
    const size_t texels = static_cast<size_t>(out.width) * h;
    const size_t first = plane * t.slice_in_block;
    if (floats_out) {
      for (int ly = 0; ly < h; ++ly) {
        float* row = floats_out->row(y + ly);
        if (floats_out->failed) return true;
        std::copy_n(&floats[first + static_cast<size_t>(ly) * out.width * 4], static_cast<size_t>(out.width) * 4, row);
      }
      continue;
    }
    if (t.astc_hdr) {
      for (size_t k = 0; k < texels; ++k) {
        const float* f = &floats[first + 4 * k];
        rgba[4 * k] = float_to_8(f[0], tone);
        rgba[4 * k + 1] = float_to_8(f[1], tone);
        rgba[4 * k + 2] = float_to_8(f[2], tone);
        rgba[4 * k + 3] = alpha_to_8(f[3]);
      }
    } else {
      std::copy(bytes.begin() + static_cast<long>(first), bytes.begin() + static_cast<long>(first + 4 * texels), rgba.begin());
    }
    for (int ly = 0; ly < h; ++ly) {
      uint8_t* alpha = nullptr;
      uint8_t* row = out.row(y + ly, &alpha);
      if (out.failed) return true;
      put_texels(&rgba[static_cast<size_t>(ly) * out.width * 4], 16, out.width, row, alpha, out.pixel);
    }
  }
  return true;
}

}  // namespace

bool decode_astc_full(const uint8_t* data, const Texture& t, const Tone& tone, Sink& out, FloatSink* floats_out) {
  const astcenc_profile profile = t.astc_hdr ? ASTCENC_PRF_HDR : t.srgb ? ASTCENC_PRF_LDR_SRGB : ASTCENC_PRF_LDR;
  std::unique_ptr<astcenc_context, void (*)(astcenc_context*)> context(
      astc_take_context(t.block_w, t.block_h, t.block_d, profile), astcenc_context_free);
  if (!context) return false;
  const bool ok = decode_slices(context.get(), data, t, tone, out, floats_out);
  // A context whose decode failed may hold a half-finished state; it is not kept.
  if (ok) astc_give_context(t.block_w, t.block_h, t.block_d, profile, context.release());
  return ok;
}

}  // namespace qzipvr
