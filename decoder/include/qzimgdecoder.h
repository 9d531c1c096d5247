/*
 * libqzimgdecoder: decodes BMP/DIB files and PVR textures into device-independent bitmaps.
 *
 * Use: create a handle, initialise it on a file or on a stream of your own, optionally ask
 * for document information, set callbacks and parameters, execute. The picture arrives in
 * the layer callback as a BITMAPINFO block (header, colour table, bottom-up rows) plus,
 * where the source carries transparency, an 8-bit alpha bitmap of the same size.
 *
 * Ownership: the handle owns everything it points to except the caller's stream, which only
 * the caller's cleanup callback releases. Bitmaps handed to the layer callback belong to the
 * library and are freed when qziDecoderExecute returns: copy what you keep inside the callback.
 *
 * Threads: a handle is used by one thread at a time; distinct handles are independent.
 * Callbacks run on the thread that called qziDecoderExecute, inside that call.
 *
 * Every function returns one of the QZIERR result codes (0 is success), except
 * qziCreateDecoder. No function throws or longjmps into the caller.
 */
#ifndef QZIMGDECODER_H
#define QZIMGDECODER_H

#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#include "qzitypes.h"

#if defined(QZIDEC_BUILD)
#define QZIDEC_API __attribute__((visibility("default")))
#else
#define QZIDEC_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct QZIDECODER_IMPL QZIDECODER_IMPL;
typedef QZIDECODER_IMPL* QZIDECODER;

/* Format ids (document information item QZIDEC_INFO_FORMAT). */
#define QZIDEC_FORMAT_BMP 104
#define QZIDEC_FORMAT_PVR 109

/* Document information items (qziDecoderGetDocInfo). */
#define QZIDEC_INFO_FORMAT 1     /* format id of the accepted format */
#define QZIDEC_INFO_WIDTH 2      /* pixels per row */
#define QZIDEC_INFO_HEIGHT 3     /* rows */
#define QZIDEC_INFO_BPP 4        /* bits per pixel of the source (15 for 16-bit 5-5-5 BMP) */
#define QZIDEC_INFO_RESERVED 5   /* always 0 */
#define QZIDEC_INFO_ANIME_MODE 6 /* animation mode, 0 for still images */
#define QZIDEC_INFO_ANIME_LOOP 7 /* animation loop count, 0 for still images */

/* Parameter ids (qziSetDecoderParam). */
#define QZIDEC_PARAM_FORMAT_FILTER 1 /* a: const int* format ids, b: count; null or 0 empties.
                                        Acts at the next initialisation, content probing only. */
#define QZIDEC_PARAM_SKIP_EXT 2      /* a: non-zero skips detection by extension; next initialisation */
#define BMP_PARAM_KEEP_ALPHA 101     /* a: non-zero delivers the alpha plane without testing it */
#define BMP_PARAM_PALETTE_ALPHA 102  /* a: 0 never, 1 always, 2 (default) when not all zero: */
#define BMP_PARAM_PIXEL_ALPHA 103    /*    alpha plane for palette / direct-colour images */
#define PVR_PARAM_OPTION 601         /* a: 0 or 1; stored, reserved for future use */

#define QZIDEC_BMP_ALPHA_NEVER 0
#define QZIDEC_BMP_ALPHA_ALWAYS 1
#define QZIDEC_BMP_ALPHA_NONZERO 2

/*
 * Stream callbacks. `read` reads up to `size` bytes into `buffer`, stores the number read
 * through `count` and returns true; a count below `size` means the stream has ended. It
 * returns false only on an error. `setpos` moves to an absolute byte position and returns
 * whether it could. `cleanup` (optional) releases the stream at reset or close.
 */
typedef bool (*QZIDEC_READ_FUNC)(void* stream, void* buffer, unsigned int size, unsigned int* count);
typedef bool (*QZIDEC_SETPOS_FUNC)(void* stream, unsigned int position);
typedef void (*QZIDEC_CLEANUP_FUNC)(void* stream);

/*
 * What the layer callback receives. The record and the strings it points to live only for
 * the call; so do the bitmaps, unless the caller copies bi_size bytes from bi (and
 * bia_size bytes from bia). Fields the delivery does not set are 0.
 */
typedef struct QZIDEC_LAYERINFO {
  uint64_t layer_user;      /* the user value given with the callback */
  const char* name;         /* layer name, or null for a single picture without layer record */
  const BITMAPINFO* bi;     /* the picture */
  uint64_t bi_size;         /* bytes of the block at bi */
  const BITMAPINFO* bia;    /* 8-bit alpha bitmap (grey colour table: alpha of each index), or null */
  uint64_t bia_size;        /* bytes of the block at bia, or 0 */
  const char* extra_text;   /* a second text, or null */
  uint64_t extra[4];
  int32_t visible;          /* 1 when the layer is shown */
  int32_t attr_a;
  int32_t attr_b;
  uint32_t anime_frame;
} QZIDEC_LAYERINFO;

/* Returns 0 to go on, anything else to stop delivering further layers. */
typedef int (*QZIDEC_LAYER_CALLBACK)(QZIDEC_LAYERINFO* info, int index);
/* `progress` runs from 0 to 100 within each report sequence; return false to stop. */
typedef bool (*QZIDEC_PROGRESS_CALLBACK)(long user, unsigned int progress);
/* Stored and kept; no decoder calls it. */
typedef void (*QZIDEC_PALETTE_CALLBACK)(void);

/* A new handle, not initialised; null when memory is short. Release it with qziCloseDecoder. */
QZIDEC_API QZIDECODER qziCreateDecoder(void);

/*
 * Attaches a stream of `size` bytes and detects its format: by the extension of `name`
 * (may be null) first, then by content, in the order BMP, PVR. `read` and `setpos` are
 * required. On failure the stream stays attached (reset or close calls `cleanup`).
 * Returns 0; 107 for a null handle or callback, a size of 0 or an initialised handle
 * (the stream is then not attached); 102 when no format accepts the input.
 */
QZIDEC_API int qziDecoderInitialize(QZIDECODER decoder, void* stream, int size, QZIDEC_READ_FUNC read,
                                    QZIDEC_SETPOS_FUNC setpos, QZIDEC_CLEANUP_FUNC cleanup, const char* name);

/*
 * Opens `path` and initialises on it; the handle closes the file at reset or close.
 * Returns 0; 100 when the file cannot be opened or measured; 107 for a null handle, a null
 * or empty path, an empty file or an initialised handle; 102 as qziDecoderInitialize.
 */
QZIDEC_API int qziDecoderInitializeFromFile(QZIDECODER decoder, const char* path);

/* Stores a QZIDEC_INFO_* value through `value`. Returns 0; 110 for a null or not
   initialised handle; 107 for an item outside 1..7 or a null `value`. */
QZIDEC_API int qziDecoderGetDocInfo(QZIDECODER decoder, int item, unsigned int* value);

/* Back to the created state: closes the stream, drops parameters, layers and format state,
   keeps the layer, palette and progress callbacks. Returns 0; 107 for a null handle. */
QZIDEC_API int qziResetDecoder(QZIDECODER decoder);

/* Closes the stream and releases the handle. Returns 0; 107 for a null handle. */
QZIDEC_API int qziCloseDecoder(QZIDECODER decoder);

/*
 * Sets a parameter. Ids 1 and 2 work in any state and act at the next initialisation;
 * format ids (101-103 BMP, 601 PVR) need a handle initialised on that format and last
 * until reset. Returns 0; 107 for a null handle or a value out of range; 108 for an id
 * not supported by the handle's state or format.
 */
QZIDEC_API int qziSetDecoderParam(QZIDECODER decoder, unsigned int id, long a, long b);

/* Callbacks survive resets; null removes one. Each returns 0, or 107 for a null handle. */
QZIDEC_API int qziSetDecoderLayerCallback(QZIDECODER decoder, QZIDEC_LAYER_CALLBACK callback, void* user);
QZIDEC_API int qziSetDecoderPaletteCallback(QZIDECODER decoder, QZIDEC_PALETTE_CALLBACK callback, void* user);
QZIDEC_API int qziSetDecoderProgressCallback(QZIDECODER decoder, QZIDEC_PROGRESS_CALLBACK callback, long user);

/*
 * Decodes and delivers the picture to the layer callback; may be repeated. Progress goes
 * 0 of 1, the format's own reports, 1 of 1. Returns 0; 107 for a null handle; 110 when
 * not initialised; 10 when the progress callback stops the work; 101 when a bitmap cannot
 * be allocated; 102, 103, 104 or 105 for input that turns out invalid, undecodable or
 * truncated. Without a layer callback the picture is decoded and discarded.
 */
QZIDEC_API int qziDecoderExecute(QZIDECODER decoder);

#ifdef __cplusplus
}
#endif

#endif /* QZIMGDECODER_H */
