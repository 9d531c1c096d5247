// The decoder handle record and the records it holds. Every service of the frame keeps its
// fields here: the stream and reader, the raster, the parameters, the accepted format and its
// state record, the layers and callbacks. main.cpp creates, resets and destroys the record;
// the services (reader.h, raster.h, layers.h) change their own fields; format modules read
// fields (the raster's geometry, the work buffer, their state record) and change the rest only
// through the services.
#ifndef QZIMGDECODER_HANDLE_H
#define QZIMGDECODER_HANDLE_H

#include <boost/scoped_array.hpp>
#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "formats.h"
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

// The library's memory input: the caller's bytes, which stay theirs and in place.
struct QZIDEC_MEMORY_INPUT {
  const uint8_t* data = nullptr;
  uint32_t size = 0;
  uint32_t pos = 0;  // the stream position
};

// The float picture of an execution that asked for float samples (qziDecoderExecuteRGBA):
// linear RGBA, rows top-down, filled by a module whose source has samples beyond 8 bits
// through float_rows (raster.h); left empty, the 8-bit picture delivered is widened instead.
// The pixels (malloc'd) pass to whoever asked, or are freed by rgba.cpp.
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
  QZIDEC_MEMORY_INPUT memory;  // the stream, for the library's memory input
  uint8_t rd_buf[kReadBufferSize];  // deliberately without initialiser, see above
  // The bytes the reader serves: rd_buf, or the caller's own bytes in place for the library's
  // memory input (qziDecoderInitializeFromMemory).
  const uint8_t* rd_data = rd_buf;
  uint32_t rd_remain = 0;  // unconsumed bytes of rd_data
  uint32_t rd_index = 0;   // next byte of rd_data
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
  // Textures: the image chosen (parameters 4 to 7: level, face, layer, slice), the tone map
  // (8) and its exposure in thousandths (9, 0 for 1.0).
  long texture_choice[4] = {};
  bool tone_map = false;
  long exposure_milli = 0;
  // What the accepted texture told (items 12 to 16): levels, faces, layers, depth, HDR.
  uint32_t texture_counts[5] = {};
  // The stored form's facts (items 8 to 11): bits per pixel in hundredths, alpha, colour
  // space (QZIDEC_COLOR_*), premultiplied.
  uint32_t source_facts[4] = {};

  // What initialisation accepted beyond size and depth: the text for the caller, and the
  // module's key that execution checks the header read again against.
  char format_description[64] = {};
  uint64_t variant = 0;
  bool over_max_pixels = false;  // a probe declared more pixels than max_pixels allows

  // Why the last initialisation or execution failed ("BMP: ..."), empty after a success.
  // A fixed array, so that setting it never allocates on a failure path.
  char reason[160] = {};

  // Format selection. The state record is the accepted module's (see formats.h): taken
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

// Stores the reason (printf format) and raises `code`. A reason names the format and the
// rule in a user's words: "BMP: 64 bits per pixel is not supported".
[[noreturn]] void raise(QZIDECODER_IMPL* h, qzimg::QZIERR code, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// Stores the reason without raising.
void set_reason(QZIDECODER_IMPL* h, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace qzimgdecoder

#endif  // QZIMGDECODER_HANDLE_H
