// The decoder handle and the services the frame offers format modules: the buffered input
// reader, the raster (output bitmap, alpha bitmap, palette, line buffer), palette remapping
// and the layer list with its deliveries. Every function raises qzimg::QZIERR on failure.
#ifndef QZIMGDECODER_INTERNAL_H
#define QZIMGDECODER_INTERNAL_H

#include <boost/scoped_array.hpp>
#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "format/formats.h"
#include "qzimgcore.h"
#include "qzimgdecoder.h"

// Bitmaps are shared between an execution and layer records; the last owner frees them.
typedef boost::shared_ptr<BITMAPINFO> DIB_PTR;

struct QZIDEC_LAYER {
  DIB_PTR bi;
  DIB_PTR bia;
  std::string name;
  std::string extra_text;
  uint64_t extra[4] = {0, 0, 0, 0};
  bool visible = false;
  int32_t attr_a = 100;
  int32_t attr_b = 0;
  uint32_t anime_frame = 10;
};

const uint32_t kReadBufferSize = 32768;

// The float picture of an execution that asked for float samples (qziDecoderExecuteRGBA):
// linear RGBA, rows top-down, filled by a module whose source has float or wider samples
// through float_rows; left empty, the 8-bit picture delivered is widened instead. The
// pixels (malloc'd) pass to whoever asked, or are freed with the record's owner.
struct QZIDEC_FLOAT_PICTURE {
  float* pixels = nullptr;
  int width = 0;
  int height = 0;
};

// The handle. Constructed in place in a block from the core library; every field has its
// initial value from the construction except rd_buf, which is written before it is read (so a
// new handle costs no clearing of 32 KiB). It owns everything it points to; the caller's
// stream, once initialisation has taken it, goes back through cleanup_func at reset or close.
struct QZIDECODER_IMPL {
  // API state. The progress record must come first: the core library receives the
  // handle's address as the record's address.
  qzimg::PROGRESS_RECORD progress{};
  bool initialized = false;
  std::string file_name;

  // Stream and reader.
  void* stream = nullptr;
  QZIDEC_READ_FUNC read_func = nullptr;
  QZIDEC_SETPOS_FUNC setpos_func = nullptr;
  QZIDEC_CLEANUP_FUNC cleanup_func = nullptr;
  uint8_t rd_buf[kReadBufferSize];  // deliberately without initialiser, see above
  uint32_t rd_remain = 0;  // unconsumed bytes of rd_buf
  uint32_t rd_index = 0;   // next byte of rd_buf
  uint32_t rd_base = 0;    // stream position of logical position 0
  uint32_t rd_pos = 0;     // logical position of the next byte
  bool rd_eof = false;     // the stream holds nothing beyond the buffer
  bool eof_mode = false;   // end of data returns -1 instead of raising
  bool byte_order = false; // true: most significant byte first
  uint32_t file_size = 0;

  // Raster.
  BITMAPINFO* bi = nullptr;  // borrowed from the execution's owner
  uint8_t* bits = nullptr;
  uint8_t* line_buf = nullptr;
  boost::scoped_array<uint8_t> work_buf;  // kept between executions, grown when too small
  uint8_t rgb[256][3] = {};  // red, green, blue
  int width = 0;
  int height = 0;
  int bpp = 0;
  int colors = 0;
  int width_bytes = 0;
  int size_fixed = 0;
  bool alpha = false;
  int alpha_kind = 0;
  uint8_t alpha_default = 0;
  uint8_t rgb_alpha[256] = {};
  BITMAPINFO* bia = nullptr;  // borrowed from the execution's owner
  uint8_t* alpha_bits = nullptr;
  uint8_t* alpha_line = nullptr;
  uint32_t work_size = 0;           // bytes of work_buf
  DIB_PTR* bia_owner = nullptr;     // the execution's owner of an alpha bitmap taken late

  // Parameters.
  bool skip_ext = false;
  std::vector<int> format_filter;
  uint64_t max_pixels = 0;  // 0: no limit but the bitmap's own

  // What initialisation accepted beyond size and depth: the text for the caller, and the
  // module's key that execution checks the header read again against.
  char format_description[64] = {};
  uint64_t variant = 0;
  bool over_max_pixels = false;  // a probe declared more pixels than max_pixels allows

  // Format selection. The state record is the accepted module's (see format/formats.h): taken
  // by its probe through new_format_state, freed only through free_format_state (a refused
  // probe, a failed initialisation, reset, close).
  QZIDEC_FORMAT format{};
  void* format_state = nullptr;

  // Layers and callbacks. Records live on the heap, so they stay in place while the list grows.
  std::vector<std::unique_ptr<QZIDEC_LAYER>> layers;
  QZIDEC_LAYER_CALLBACK layer_callback = nullptr;
  uint64_t layer_user = 0;
  QZIDEC_PALETTE_CALLBACK palette_callback = nullptr;
  void* palette_user = nullptr;
  int anime_mode = 0;
  int anime_loop = 0;

  // Set only while qziDecoderExecuteRGBA runs for float samples; the record is its caller's.
  QZIDEC_FLOAT_PICTURE* float_picture = nullptr;
};

// Functions the library offers format modules; exported under their names.
#define QZIDEC_MODULE_API __attribute__((visibility("default")))

namespace qzimgdecoder {

// FILE-backed stream callbacks.
QZIDEC_MODULE_API bool qzisrm_read(void* stream, void* buffer, unsigned int size, unsigned int* count);
QZIDEC_MODULE_API bool qzisrm_setpos(void* stream, unsigned int position);
QZIDEC_MODULE_API void qzisrm_cleanup(void* stream);

// For modules whose source has samples beyond 8 bits (HDR, float, signed): where this
// execution's float picture goes, width * height * 4 floats, rows top-down, or null when the
// caller asked for none (deliver the 8-bit picture alone then). The module still delivers the
// 8-bit picture as always. Raises QZIERR_NO_MEMORY.
QZIDEC_MODULE_API float* float_rows(QZIDECODER_IMPL* h, int width, int height);

// Reader. Ends of data raise QZIERR_READ unless end-of-data mode is on, when the byte
// functions return -1 (which get_word/get_long fold into their arithmetic unchanged).
QZIDEC_MODULE_API int get_byte(QZIDECODER_IMPL* h);
QZIDEC_MODULE_API uint32_t get_word(QZIDECODER_IMPL* h);
QZIDEC_MODULE_API uint32_t get_long(QZIDECODER_IMPL* h);
// Up to `count` bytes; fewer only where the stream ends; all bits set at the end of data in
// end-of-data mode. Counts of 2^31 or more raise QZIERR_CANNOT.
QZIDEC_MODULE_API uint32_t get_read(QZIDECODER_IMPL* h, void* dst, unsigned long count);
QZIDEC_MODULE_API void rdpos_set(QZIDECODER_IMPL* h, unsigned int position);
QZIDEC_MODULE_API unsigned int rdpos_get(QZIDECODER_IMPL* h);
QZIDEC_MODULE_API void rdpos_set_skip(QZIDECODER_IMPL* h, int offset);
QZIDEC_MODULE_API unsigned int rdfsize_get(QZIDECODER_IMPL* h);
QZIDEC_MODULE_API void set_byte_order(QZIDECODER_IMPL* h, bool msb_first);
QZIDEC_MODULE_API void set_eof_mode(QZIDECODER_IMPL* h, bool on);
QZIDEC_MODULE_API bool rd_close(QZIDECODER_IMPL* h);
QZIDEC_MODULE_API void vcheck(int low, int value, int high);

// The hot path of get_byte: served from the buffer, the exported function only refills.
inline int get_byte_fast(QZIDECODER_IMPL* h) {
  if (h->rd_remain != 0) {
    --h->rd_remain;
    ++h->rd_pos;
    return h->rd_buf[h->rd_index++];
  }
  return get_byte(h);
}

// Reading in runs of the buffer. These consume exactly what get_byte would and raise
// QZIERR_READ where it would (whatever the end-of-data mode), but touch the buffer once per
// run instead of once per byte.

// Takes n bytes (n <= rd_remain) that the caller has used straight from the buffer.
inline void consume(QZIDECODER_IMPL* h, uint32_t n) {
  h->rd_index += n;
  h->rd_remain -= n;
  h->rd_pos += n;
}

// The next byte; the end of the data raises QZIERR_READ.
inline uint8_t next_byte(QZIDECODER_IMPL* h) {
  const int c = get_byte_fast(h);
  if (c < 0) qzimg::error_abort(QZIERR_READ);
  return static_cast<uint8_t>(c);
}

// Calls f(byte) for each of the next n input bytes.
template <typename F>
inline void for_each_byte(QZIDECODER_IMPL* h, uint32_t n, F f) {
  while (n != 0) {
    const uint32_t k = h->rd_remain < n ? h->rd_remain : n;
    if (k == 0) {
      f(next_byte(h));  // refills the buffer, or raises at the end of the data
      --n;
      continue;
    }
    const uint8_t* p = h->rd_buf + h->rd_index;
    for (uint32_t i = 0; i < k; ++i) f(p[i]);
    consume(h, k);
    n -= k;
  }
}

// Calls f(x, p, n) over `count` units of U bytes: n whole units at p, for units x to
// x + n - 1, as long runs of the buffer; a unit that straddles a refill is gathered byte by
// byte and handed on alone.
template <int U, typename F>
inline void for_each_run(QZIDECODER_IMPL* h, int count, F f) {
  int x = 0;
  while (x < count) {
    const int64_t whole = h->rd_remain / U;
    const int k = static_cast<int>(count - x < whole ? count - x : whole);
    if (k == 0) {
      uint8_t unit[U];
      for (int b = 0; b < U; ++b) unit[b] = next_byte(h);
      f(x, unit, 1);
      ++x;
      continue;
    }
    f(x, h->rd_buf + h->rd_index, k);
    consume(h, static_cast<uint32_t>(k) * U);
    x += k;
  }
}

// Skips n bytes; copies n bytes to dst. Both raise QZIERR_READ where the data ends.
QZIDEC_MODULE_API void skip_bytes(QZIDECODER_IMPL* h, uint64_t n);
QZIDEC_MODULE_API void copy_bytes(QZIDECODER_IMPL* h, uint8_t* dst, uint32_t n);

// The read position of the buffer held in locals, for loops that take a byte at a time
// (run-length codes): the handle's fields are brought up to date by sync() and when the
// cursor goes out of scope. Between those, nothing else may read from the handle.
class ReadCursor {
 public:
  explicit ReadCursor(QZIDECODER_IMPL* h) : h_(h) { load(); }
  ~ReadCursor() { sync(); }
  ReadCursor(const ReadCursor&) = delete;
  ReadCursor& operator=(const ReadCursor&) = delete;

  uint8_t next() {
    if (p_ != end_) return *p_++;
    return refill_next();
  }
  // Copies n bytes to dst; skips n bytes.
  void copy(uint8_t* dst, uint32_t n) {
    if (static_cast<uint32_t>(end_ - p_) >= n) {
      std::memcpy(dst, p_, n);
      p_ += n;
      return;
    }
    sync();
    copy_bytes(h_, dst, n);
    load();
  }
  void skip(uint32_t n) {
    if (static_cast<uint32_t>(end_ - p_) >= n) {
      p_ += n;
      return;
    }
    sync();
    skip_bytes(h_, n);
    load();
  }
  void sync() {
    consume(h_, static_cast<uint32_t>(p_ - start_));
    start_ = p_;
  }

 private:
  void load() {
    start_ = p_ = h_->rd_buf + h_->rd_index;
    end_ = p_ + h_->rd_remain;
  }
  uint8_t refill_next() {
    sync();
    const uint8_t b = next_byte(h_);
    load();
    return b;
  }
  QZIDECODER_IMPL* h_;
  const uint8_t* start_;  // the handle's position
  const uint8_t* p_;
  const uint8_t* end_;
};

// Raster.
QZIDEC_MODULE_API void init_rgb(QZIDECODER_IMPL* h, int bits);
QZIDEC_MODULE_API void get_rgb(QZIDECODER_IMPL* h, int count, int bgr, int with_alpha);
QZIDEC_MODULE_API void set_size(QZIDECODER_IMPL* h, int width, int height, int bpp, int colors);
// A module that calls set_alpha in its probe pass gets a zero-filled alpha bitmap from the
// raster set-up. One that decides during the decode pass calls set_alpha there and
// take_alpha_plane when it first needs the plane (raising QZIERR_NO_MEMORY when it cannot be
// had); `clear` zero-fills it, otherwise the module writes every byte, row padding included.
QZIDEC_MODULE_API void set_alpha(QZIDECODER_IMPL* h, int kind);
QZIDEC_MODULE_API void reset_alpha(QZIDECODER_IMPL* h);
QZIDEC_MODULE_API void take_alpha_plane(QZIDECODER_IMPL* h, bool clear);
QZIDEC_MODULE_API uint8_t* y_adr(QZIDECODER_IMPL* h, int y);
QZIDEC_MODULE_API uint8_t* alpha_y_adr(QZIDECODER_IMPL* h, int y);
QZIDEC_MODULE_API void put_line(QZIDECODER_IMPL* h, int y);
QZIDEC_MODULE_API void put_alpha_line(QZIDECODER_IMPL* h, int y);
QZIDEC_MODULE_API void put_nbyte(QZIDECODER_IMPL* h, int x, int count, int value);
QZIDEC_MODULE_API void ext4_buf(QZIDECODER_IMPL* h, const uint8_t* src);
QZIDEC_MODULE_API int put_buf(QZIDECODER_IMPL* h, int x, int y, int w, int h_rows, int stride, const uint8_t* src);

// Names the accepted variant for the caller ("PVR v3 ASTC 6x6 sRGB"), starting with the
// format's name; cut to fit. Only a probe sets it: at execution the call is ignored, the text
// stays what initialisation accepted. Without a call the format's name stands.
QZIDEC_MODULE_API void set_format_description(QZIDECODER_IMPL* h, const char* text);
// Declares what beyond size and depth the decode depends on (a BMP's header form and
// compression). The probe records it; at execution a different key means the input changed
// since initialisation and raises QZIERR_UNSUPPORTED, as set_size does for size and depth.
QZIDEC_MODULE_API void confirm_variant(QZIDECODER_IMPL* h, uint64_t key);

// Raster set-up and release around a decode pass (used by the execute step). Setup
// returns QZIERR_SUCCESS or QZIERR_NO_MEMORY; the owners receive the bitmaps and must live
// until the release. The bitmap's rows are not cleared: the module writes every byte.
QZIERR raster_setup(QZIDECODER_IMPL* h, DIB_PTR* bi_owner, DIB_PTR* bia_owner);
void raster_release(QZIDECODER_IMPL* h);
// Initial raster values of a fresh initialisation.
void raster_init(QZIDECODER_IMPL* h);

// Palette remapping of 8-bit bitmaps; `table` maps new positions to old indexes.
QZIDEC_MODULE_API void RemapPalette(BITMAPINFO* bi, const uint8_t* table);
QZIDEC_MODULE_API void RemapImage(BITMAPINFO* bi, const uint8_t* table);
QZIDEC_MODULE_API void RemapImageConvert(BITMAPINFO* bi, const uint8_t* table);
QZIDEC_MODULE_API void RemapPaletteImage(BITMAPINFO* bi, const uint8_t* table, bool remap_palette,
                                         bool convert_image);

// Layer list.
QZIDEC_MODULE_API uint64_t ilGetSize(QZIDECODER_IMPL* h);
QZIDEC_MODULE_API void ilLayerAdd(QZIDECODER_IMPL* h);
QZIDEC_MODULE_API void ilLayerClear(QZIDECODER_IMPL* h);
QZIDEC_MODULE_API QZIDEC_LAYER* ilGetLayer(QZIDECODER_IMPL* h, uint32_t index);
QZIDEC_MODULE_API BITMAPINFO* ilGetBI(QZIDECODER_IMPL* h, uint32_t index);
QZIDEC_MODULE_API BITMAPINFO* ilGetBIA(QZIDECODER_IMPL* h, uint32_t index);
QZIDEC_MODULE_API void ilSetBI(QZIDECODER_IMPL* h, uint32_t index, BITMAPINFO* bi);
QZIDEC_MODULE_API void ilSetBIA(QZIDECODER_IMPL* h, uint32_t index, BITMAPINFO* bia);
QZIDEC_MODULE_API void ilSetName(QZIDECODER_IMPL* h, uint32_t index, const char* name);
QZIDEC_MODULE_API void ilSetInvisible(QZIDECODER_IMPL* h, uint32_t index, bool invisible);
QZIDEC_MODULE_API void ilSetAnimeFrame(QZIDECODER_IMPL* h, uint32_t index, uint32_t value);
QZIDEC_MODULE_API void ilSetAnimationMode(QZIDECODER_IMPL* h, int mode);
QZIDEC_MODULE_API void ilSetAnimeLoop(QZIDECODER_IMPL* h, int loop);

// Deliveries. Both return 107 when no layer callback is set.
QZIDEC_MODULE_API int call_layercallback(QZIDECODER_IMPL* h);
QZIDEC_MODULE_API int call_singleimage_layercallback(QZIDECODER_IMPL* h, int index);

// Frees a module's buffers when a decode pass leaves by an exception.
template <typename F>
class ScopeGuard {
 public:
  explicit ScopeGuard(F f) : f_(f) {}
  ~ScopeGuard() {
    if (active_) f_();
  }
  void dismiss() { active_ = false; }
  ScopeGuard(const ScopeGuard&) = delete;
  ScopeGuard& operator=(const ScopeGuard&) = delete;

 private:
  F f_;
  bool active_ = true;
};

template <typename F>
ScopeGuard<F> make_scope_guard(F f) {
  return ScopeGuard<F>(f);
}

}  // namespace qzimgdecoder

#endif  // QZIMGDECODER_INTERNAL_H
