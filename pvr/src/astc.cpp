// ASTC LDR 2D blocks through the format's reference codec (a decompress-only context), one
// block row at a time into a strip of texels, then into the sink's rows. The colour space
// only selects the codec's profile: sRGB data keeps its stored values.
#include <astcenc.h>

#include <memory>
#include <vector>

#include "texture.h"

namespace qzipvr {

bool decode_astc(const uint8_t* data, const Texture& t, Sink& out) {
  astcenc_config config;
  const astcenc_profile profile = t.srgb ? ASTCENC_PRF_LDR_SRGB : ASTCENC_PRF_LDR;
  if (astcenc_config_init(profile, static_cast<unsigned>(t.block_w), static_cast<unsigned>(t.block_h), 1,
                          ASTCENC_PRE_FASTEST, ASTCENC_FLG_DECOMPRESS_ONLY, &config) != ASTCENC_SUCCESS) {
    return false;
  }
  astcenc_context* raw = nullptr;
  if (astcenc_context_alloc(&config, 1, &raw) != ASTCENC_SUCCESS) return false;
  const std::unique_ptr<astcenc_context, void (*)(astcenc_context*)> context(raw, astcenc_context_free);

  const int nbx = (out.width + t.block_w - 1) / t.block_w;
  const size_t row_bytes = static_cast<size_t>(nbx) * 16;
  std::vector<uint8_t> strip(static_cast<size_t>(out.width) * t.block_h * 4);
  void* slices[1] = {strip.data()};
  const astcenc_swizzle swizzle{ASTCENC_SWZ_R, ASTCENC_SWZ_G, ASTCENC_SWZ_B, ASTCENC_SWZ_A};
  for (int y = 0; y < out.height; y += t.block_h, data += row_bytes) {
    const int h = out.height - y < t.block_h ? out.height - y : t.block_h;
    astcenc_image image{static_cast<unsigned>(out.width), static_cast<unsigned>(h), 1, ASTCENC_TYPE_U8, slices};
    if (astcenc_decompress_image(context.get(), data, row_bytes, &image, &swizzle, 0) != ASTCENC_SUCCESS) {
      return false;
    }
    for (int ly = 0; ly < h; ++ly) {
      uint8_t* alpha = nullptr;
      uint8_t* row = out.row(y + ly, &alpha);
      if (out.failed) return true;
      put_texels(&strip[static_cast<size_t>(ly) * out.width * 4], 16, out.width, row, alpha, out.pixel);
    }
  }
  return true;
}

}  // namespace qzipvr
