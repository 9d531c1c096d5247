// The raster: the output bitmap, the alpha bitmap, the palette with its alpha, the line buffer
// and the work buffer of one execution, what a probe declares (size, depth, alpha, variant,
// description), and palette remapping of 8-bit bitmaps. Format modules declare and write
// through it; main.cpp alone sets it up, releases it and resets it (raster_setup,
// raster_release, raster_init). Every function raises qzimg::QZIERR on failure.
#ifndef QZIMGDECODER_RASTER_H
#define QZIMGDECODER_RASTER_H

#include <cstdint>

#include "handle.h"

namespace qzimgdecoder {

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
// For modules whose source has samples beyond 8 bits (HDR, float, signed): where this
// execution's float picture goes, width * height * 4 floats, rows top-down, or null when the
// caller asked for none. The module still delivers the 8-bit picture as always; the float one
// replaces its widening in qziDecoderExecuteRGBA. Raises QZIERR_NO_MEMORY. (Defined with the
// RGBA loaders, rgba.cpp.)
QZIDEC_MODULE_API float* float_rows(QZIDECODER_IMPL* h, int width, int height);
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
QZIERR raster_setup(QZIDECODER_IMPL* h, DIB_OWNER* bi_owner, DIB_OWNER* bia_owner);
void raster_release(QZIDECODER_IMPL* h);
// Initial raster values of a fresh initialisation.
void raster_init(QZIDECODER_IMPL* h);

// Palette remapping of 8-bit bitmaps; `table` maps new positions to old indexes.
QZIDEC_MODULE_API void RemapPalette(BITMAPINFO* bi, const uint8_t* table);
QZIDEC_MODULE_API void RemapImage(BITMAPINFO* bi, const uint8_t* table);
QZIDEC_MODULE_API void RemapImageConvert(BITMAPINFO* bi, const uint8_t* table);
QZIDEC_MODULE_API void RemapPaletteImage(BITMAPINFO* bi, const uint8_t* table, bool remap_palette,
                                         bool convert_image);

}  // namespace qzimgdecoder

#endif  // QZIMGDECODER_RASTER_H
