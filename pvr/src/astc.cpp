// ASTC LDR 2D blocks through the format's reference codec (a decompress-only context), a few
// block rows at a time into a strip of texels, then into the sink's rows. The colour space
// only selects the codec's profile: sRGB data keeps its stored values.
#include <astcenc.h>

#include <memory>
#include <mutex>
#include <vector>

#include "texture.h"

namespace qzipvr {
namespace {

struct FreeContext {
  void operator()(astcenc_context* c) const { astcenc_context_free(c); }
};
using Context = std::unique_ptr<astcenc_context, FreeContext>;

// Making a context costs more than decoding a small picture (block-mode tables for the block
// size: about 0.1 to 0.6 s and 4 to 17 MiB each), so contexts are kept for the next decode of
// the same block footprint and profile (2D and 3D, LDR, sRGB and HDR: astc_full.cpp too). A context serves one decode at a time: a decode takes one
// out of the pool, or makes one, and gives it back. At most kKept idle contexts stay, the
// least recently returned going first; the rest are freed when the library is unloaded.
class ContextPool {
 public:
  static const size_t kKept = 4;

  ContextPool() { idle_.reserve(kKept + 1); }

  static int key_of(int block_w, int block_h, int block_d, int profile) {
    return block_w << 16 | block_h << 8 | block_d << 2 | profile;
  }

  Context take(int block_w, int block_h, int block_d, int profile) {
    const int key = key_of(block_w, block_h, block_d, profile);
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      for (size_t k = idle_.size(); k-- > 0;) {
        if (idle_[k].key != key) continue;
        Context c = std::move(idle_[k].context);
        idle_.erase(idle_.begin() + static_cast<long>(k));
        return c;
      }
    }
    astcenc_config config;
    if (astcenc_config_init(static_cast<astcenc_profile>(profile), static_cast<unsigned>(block_w),
                            static_cast<unsigned>(block_h), static_cast<unsigned>(block_d), ASTCENC_PRE_FASTEST,
                            ASTCENC_FLG_DECOMPRESS_ONLY, &config) != ASTCENC_SUCCESS) {
      return nullptr;
    }
    astcenc_context* raw = nullptr;
    if (astcenc_context_alloc(&config, 1, &raw) != ASTCENC_SUCCESS) return nullptr;
    return Context(raw);
  }

  void give(int block_w, int block_h, int block_d, int profile, Context c) {
    Context oldest;  // freed outside the lock
    const std::lock_guard<std::mutex> lock(mutex_);
    idle_.push_back({key_of(block_w, block_h, block_d, profile), std::move(c)});  // capacity reserved
    if (idle_.size() > kKept) {
      oldest = std::move(idle_.front().context);
      idle_.erase(idle_.begin());
    }
  }

 private:
  struct Idle {
    int key;
    Context context;
  };
  std::mutex mutex_;
  std::vector<Idle> idle_;  // least recently returned first
};

ContextPool& pool() {
  static ContextPool p;
  return p;
}

// Texels decoded per call of the codec: several block rows, so that its per-call set-up is
// paid less often, as long as the strip stays in the second-level cache.
const size_t kStripBytes = 128 * 1024;

bool decode_rows(astcenc_context* context, const uint8_t* data, const Texture& t, Sink& out) {
  const int nbx = (out.width + t.block_w - 1) / t.block_w;
  const size_t row_bytes = static_cast<size_t>(nbx) * 16;
  const size_t block_row_texels = static_cast<size_t>(out.width) * t.block_h * 4;
  const int rows_per_call = block_row_texels >= kStripBytes ? 1 : static_cast<int>(kStripBytes / block_row_texels);
  const int call_h = rows_per_call * t.block_h;
  std::vector<uint8_t> strip(block_row_texels * rows_per_call);
  void* slices[1] = {strip.data()};
  const astcenc_swizzle swizzle{ASTCENC_SWZ_R, ASTCENC_SWZ_G, ASTCENC_SWZ_B, ASTCENC_SWZ_A};
  for (int y = 0; y < out.height; y += call_h, data += row_bytes * rows_per_call) {
    const int h = out.height - y < call_h ? out.height - y : call_h;
    const size_t bytes = row_bytes * static_cast<size_t>((h + t.block_h - 1) / t.block_h);
    astcenc_image image{static_cast<unsigned>(out.width), static_cast<unsigned>(h), 1, ASTCENC_TYPE_U8, slices};
    if (astcenc_decompress_image(context, data, bytes, &image, &swizzle, 0) != ASTCENC_SUCCESS) return false;
    for (int ly = 0; ly < h; ++ly) {
      uint8_t* alpha = nullptr;
      uint8_t* row = out.row(y + ly, &alpha);
      if (out.failed) return true;
      put_texels(&strip[static_cast<size_t>(ly) * out.width * 4], 16, out.width, row, alpha, out.pixel);
    }
  }
  return true;
}

}  // namespace

astcenc_context* astc_take_context(int block_w, int block_h, int block_d, int profile) {
  return pool().take(block_w, block_h, block_d, profile).release();
}

void astc_give_context(int block_w, int block_h, int block_d, int profile, astcenc_context* context) {
  pool().give(block_w, block_h, block_d, profile, Context(context));
}

bool decode_astc(const uint8_t* data, const Texture& t, Sink& out) {
  const int profile = t.srgb ? ASTCENC_PRF_LDR_SRGB : ASTCENC_PRF_LDR;
  Context context(astc_take_context(t.block_w, t.block_h, 1, profile));
  if (!context) return false;
  const bool ok = decode_rows(context.get(), data, t, out);
  // A context whose decode failed may hold a half-finished state; it is not kept.
  if (ok) astc_give_context(t.block_w, t.block_h, 1, profile, context.release());
  return ok;
}

}  // namespace qzipvr
