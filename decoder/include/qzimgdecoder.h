/*
 * libqzimgdecoder: decodes BMP/DIB files and PVR textures into device-independent bitmaps.
 *
 * Two ways in:
 * - qziLoadRGBA / qziLoadRGBAFromMemory: one call, 8-bit RGBA pixels top-down, freed with
 *   qziFreeRGBA. Enough for most callers.
 * - The handle: create it, initialise it on a file or on a stream of your own, optionally
 *   ask for document information, set callbacks and parameters, execute. The picture
 *   arrives in the layer callback as a BITMAPINFO block (header, colour table, bottom-up
 *   rows) plus, where the source carries transparency, an 8-bit alpha bitmap of the same
 *   size; QZIDEC_LAYERINFO below says exactly what arrives.
 *
 * Ownership: the handle owns everything it points to except the caller's stream, which only
 * the caller's cleanup callback releases. Bitmaps handed to the layer callback belong to the
 * library and are freed when qziDecoderExecute returns: copy what you keep inside the callback.
 *
 * Threads: a handle is used by one thread at a time; distinct handles are independent.
 * Callbacks run on the thread that called qziDecoderExecute, inside that call.
 *
 * Every function returns one of the QZIERR result codes (0 is success; table and texts in
 * qzitypes.h, words through qziResultText), except the few that return a pointer or
 * nothing. No function throws or longjmps into the caller.
 *
 * Untrusted input: a few hundred bytes can declare a 12800 x 12800 picture, and the
 * library allocates the bitmaps that the header declares (about 330 MB for a palette
 * picture with its alpha plane, 650 MB for a 24-bit one). Set
 * QZIDEC_PARAM_MAX_PIXELS before initialising to refuse such pictures up front.
 */
#ifndef QZIMGDECODER_H
#define QZIMGDECODER_H

#include <stddef.h>
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

/* This header's version; qziGetVersion answers the loaded library's. */
#define QZIMGDECODER_VERSION_MAJOR 1
#define QZIMGDECODER_VERSION_MINOR 2
#define QZIMGDECODER_VERSION_PATCH 0

typedef struct QZIDECODER_IMPL QZIDECODER_IMPL;
typedef QZIDECODER_IMPL* QZIDECODER;

/* Format ids (document information item QZIDEC_INFO_FORMAT). */
#define QZIDEC_FORMAT_BMP 104
#define QZIDEC_FORMAT_PVR 109
#define QZIDEC_FORMAT_DDS 110  /* DDS, legacy and DX10 headers */
#define QZIDEC_FORMAT_KTX 111  /* KTX 1.1, either byte order */
#define QZIDEC_FORMAT_KTX2 112 /* KTX2: plain, Zstandard or zlib level data (not Basis Universal) */
#define QZIDEC_FORMAT_ASTC 113 /* .astc files, 2D and 3D blocks */
#define QZIDEC_FORMAT_PKM 114  /* PKM, ETC1 (version 1.0) and ETC2/EAC (version 2.0) */

/* Document information items (qziDecoderGetDocInfo). */
#define QZIDEC_INFO_FORMAT 1     /* format id of the accepted format */
#define QZIDEC_INFO_WIDTH 2      /* pixels per row */
#define QZIDEC_INFO_HEIGHT 3     /* rows */
#define QZIDEC_INFO_BPP 4        /* bits per pixel of the source (15 for 16-bit 5-5-5 BMP) */
#define QZIDEC_INFO_RESERVED 5   /* always 0 */
#define QZIDEC_INFO_ANIME_MODE 6 /* animation mode, 0 for still images */
#define QZIDEC_INFO_ANIME_LOOP 7 /* animation loop count, 0 for still images */
/*
 * The stored form, as the file holds it (what is delivered does not change: 24-bit pixels and
 * an alpha plane for every texture, item 4 as above):
 * 8  bits per pixel of the stored format in hundredths, rounded: a block's bits over its
 *    texels x 100 (ETC1 400, PVRTC 2bpp 200, BC7 800, ASTC 6x6 356, ASTC 12x12 89), or an
 *    uncompressed texel's bits x 100 (RGB565 1600, RGBA8888 3200). BMP: the bits per pixel x 100
 *    before run-length compression (1600 for 5-5-5, where item 4 says 15).
 * 9  1 when the stored format carries alpha, else 0. Textures: by the format (BC7, ASTC, BC2,
 *    BC3, ETC2 RGBA and RGB A1 always, BC1 unless the container names it RGB; ETC1, ETC2 RGB,
 *    EAC, BC4 to BC6H never; PVRTC and uncompressed layouts as the container says). BMP: after initialisation 1 when the header's
 *    bit fields have an alpha mask; a successful execution sets it to whether the picture
 *    delivered an alpha plane (the fourth byte of 32-bit pixels and palette entries and the top
 *    bit of 5-5-5 pixels count when not all 0; parameters 101 to 103).
 * 10 colour space, QZIDEC_COLOR_*: what the container states (PVR v3, DDS DX10, KTX, KTX2);
 *    unstated for legacy DDS, PVR v1 and v2, PKM and .astc files. BMP: sRGB (colour profiles
 *    in the larger headers are not read).
 * 11 1 when the container says the colours are premultiplied by alpha (DDS DXT2, DXT4 and DX10
 *    alpha mode 2, KTX2 descriptor flag, PVR v3 flag), else 0; BMP: 0.
 */
#define QZIDEC_INFO_SOURCE_BITS 8
#define QZIDEC_INFO_SOURCE_ALPHA 9
#define QZIDEC_INFO_COLOR_SPACE 10
#define QZIDEC_INFO_PREMULTIPLIED 11
#define QZIDEC_COLOR_UNSTATED 0 /* the file does not say; sRGB is the usual reading */
#define QZIDEC_COLOR_SRGB 1
#define QZIDEC_COLOR_LINEAR 2
/* Textures (PVR and the other texture formats; 1, 1, 1, 1, 0 for BMP): */
#define QZIDEC_INFO_LEVELS 12    /* mip levels in the file */
#define QZIDEC_INFO_FACES 13     /* cube faces: 6 for a cube map, else 1 */
#define QZIDEC_INFO_LAYERS 14    /* array layers (PVR: surfaces) */
#define QZIDEC_INFO_DEPTH 15     /* depth slices of the top level of a volume texture, else 1 */
#define QZIDEC_INFO_HDR 16       /* 1 when the source holds values beyond 0..1 (BC6H, float layouts,
                                    ASTC HDR blocks); parameters 8 and 9 say how they become 8 bits */

/* Parameter ids (qziSetDecoderParam). */
#define QZIDEC_PARAM_FORMAT_FILTER 1 /* a: const int* format ids, b: count; null or 0 empties.
                                        Acts at the next initialisation, content probing only. */
#define QZIDEC_PARAM_SKIP_EXT 2      /* a: non-zero skips detection by extension; next initialisation */
#define QZIDEC_PARAM_MAX_PIXELS 3    /* a: largest width x height accepted, 0 (the default) for no
                                        limit beyond 12800 per side; negative: 107. Acts at the next
                                        initialisation, which answers 101 for a larger picture before
                                        any pixel memory is taken. The defence against small files
                                        that declare huge pictures. Cleared by a reset. */
/*
 * Textures: which image of the file is decoded, and how HDR values become 8 bits. Like 1 to 3
 * they act at the next initialisation (the chosen image's size is what it declares) and a reset
 * clears them. By default the top level of the first face, first layer, first slice. A choice
 * the file does not have makes initialisation answer 102. Counts: items 12 to 15.
 */
#define QZIDEC_PARAM_LEVEL 4     /* a: mip level, 0 the largest */
#define QZIDEC_PARAM_FACE 5      /* a: cube face 0..5 in the order +X, -X, +Y, -Y, +Z, -Z */
#define QZIDEC_PARAM_LAYER 6     /* a: array layer (PVR: surface) */
#define QZIDEC_PARAM_SLICE 7     /* a: depth slice of a volume texture, counted in the chosen level */
#define QZIDEC_PARAM_TONE_MAP 8  /* a: 0 (default) clamps values to 0..1 and rounds x * 255; 1 maps
                                    x to x e / (1 + x e) first (Reinhard), e the exposure */
#define QZIDEC_PARAM_EXPOSURE 9  /* a: the exposure e in thousandths, 1 to 1000000; 0 (default): 1.0 */
#define BMP_PARAM_KEEP_ALPHA 101     /* a: non-zero delivers the alpha plane without testing it */
#define BMP_PARAM_PALETTE_ALPHA 102  /* a: palette pictures' alpha plane, read from the fourth byte of
                                        each entry: 0 never, 1 always, 2 (default) when not all 0 */
#define BMP_PARAM_PIXEL_ALPHA 103    /* a: 16- and 32-bit pictures' alpha plane, read from the pixels:
                                        0 never, 1 always, 2 (default) when not all 0 */
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
 * What the layer callback receives. BMP and PVR deliver one picture per execution, with
 * index 0. The record, its strings and both bitmaps live only for the call: copy bi_size
 * bytes from bi (and bia_size bytes from bia) to keep them.
 *
 * bi, the picture: a 40-byte BITMAPINFOHEADER (biSize 40; biWidth, biHeight the picture's
 *   size, biHeight always positive; biPlanes 1; biCompression 0; biSizeImage the bytes of
 *   the rows; biClrUsed the entries of the colour table), then biClrUsed RGBQUAD entries
 *   (blue, green, red, 0), then the pixel rows, which start at
 *   (const uint8_t*)bi + biSize + 4 * biClrUsed. biBitCount is one of two values:
 *   - 8 for sources of 1 to 8 bits per pixel: a byte per pixel, an index into the colour
 *     table. The table has 2^depth entries (2, 4, 16 or 256), so every index is inside it.
 *   - 24 for deeper sources (15, 16, 24 and 32-bit BMP, every PVR texture): blue, green,
 *     red bytes. biClrUsed may still be above 0 (a BMP's declared table); skip it.
 *   Rows are bottom-up: the first row in memory is the bottom of the picture. Each row is
 *   padded to a multiple of 4 bytes: stride = (biWidth * biBitCount / 8 + 3) & ~3.
 * bia, the alpha bitmap: null when the picture is opaque. Otherwise an 8-bit bitmap laid
 *   out like bi (same width and height, bottom-up, rows padded to 4 bytes) with a grey
 *   colour table; a pixel's alpha is the red (= green = blue) of the table entry that its
 *   byte selects, 0 transparent to 255 opaque, not premultiplied. For 24-bit pictures the
 *   table is the identity (256 entries, entry i = i), so the byte is the alpha itself. For
 *   8-bit pictures the bytes repeat the picture's palette indices and entry i holds the
 *   alpha of palette entry i.
 * bi_size, bia_size: bytes of each block (0 when bia is null).
 * For the single picture that BMP and PVR deliver, every other field is 0 or null: name
 * and extra_text null, extra all 0, visible 0, attr_a, attr_b and anime_frame 0. Formats
 * with a layer list (none yet) fill them from each layer: name and extra_text (never null,
 * possibly empty), extra (four values of the format's own), visible (1 when shown), attr_a
 * (100 unless the format sets it), attr_b, anime_frame (the frame value, 10 by default).
 */
typedef struct QZIDEC_LAYERINFO {
  uint64_t layer_user;      /* the user value given with the callback */
  const char* name;         /* layer name; null for a single picture */
  const BITMAPINFO* bi;     /* the picture */
  uint64_t bi_size;         /* bytes of the block at bi */
  const BITMAPINFO* bia;    /* 8-bit alpha bitmap, or null */
  uint64_t bia_size;        /* bytes of the block at bia, or 0 */
  const char* extra_text;   /* a second text; null for a single picture */
  uint64_t extra[4];
  int32_t visible;
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

/* The library's version, "MAJOR.MINOR.PATCH" ("1.2.0"); a static string. */
QZIDEC_API const char* qziGetVersion(void);

/* A short English text for a result code ("cannot read the input, or it ends too early"),
   "unknown result code" for any other value; a static string. */
QZIDEC_API const char* qziResultText(int code);

/*
 * Decodes the file at `path` into 8-bit RGBA: 4 bytes per pixel (red, green, blue, alpha),
 * rows top-down, no padding; alpha 255 where the picture has no alpha plane; palette
 * pictures expanded. On success stores a new buffer of width * height * 4 bytes through
 * `pixels` (free it with qziFreeRGBA) and the size through `width` and `height`, and
 * returns 0. On failure stores null and 0 and returns the handle API's code: 107 for a
 * null argument; otherwise as qziDecoderInitializeFromFile and qziDecoderExecute.
 */
QZIDEC_API int qziLoadRGBA(const char* path, unsigned char** pixels, int* width, int* height);

/*
 * The same from `size` bytes at `data`, which the call only reads. `name_hint` (may be
 * null or empty) is used like a file name for detection by extension; without it the
 * content decides. 107 for a null argument or a size of 0; 103 for 2^31 bytes or more.
 */
QZIDEC_API int qziLoadRGBAFromMemory(const void* data, size_t size, const char* name_hint, unsigned char** pixels,
                                     int* width, int* height);

/* Frees a buffer from qziLoadRGBA, qziLoadRGBAFromMemory or an 8-bit qziDecoderExecuteRGBA;
   null is allowed. */
QZIDEC_API void qziFreeRGBA(unsigned char* pixels);

/*
 * Float pictures: RGBA as 32-bit floats, 4 per pixel, rows top-down, no padding, alpha 1 where
 * the picture has no alpha plane. Samples are linear in the sense of untouched: 8-bit samples
 * are widened exactly (the float nearest x / 255, so 255 is 1.0), sRGB-encoded textures stay
 * encoded, and sources with wider samples are passed as the format module decodes them:
 * - HDR and float textures (BC6H, ASTC HDR blocks, half, float, packed-float and shared-exponent
 *   layouts) unclamped, negative values, values above 1, infinities and NaN included; the tone
 *   map (parameters 8 and 9) applies to the 8-bit picture only;
 * - signed formats (BC4 and BC5 SNORM, signed EAC R11 and RG11, signed normalised 8- and 16-bit
 *   layouts) in -1..1: a value of n units is n / (2^(m-1) - 1) for m-bit units (x / 127 for
 *   8 bits, x / 1023 for EAC), and the lowest code, one below -(2^(m-1) - 1), is -1 as well;
 * - unsigned values wider than 8 bits (16- and 10-bit unsigned normalised layouts, unsigned EAC
 *   R11 and RG11) at full precision: x / (2^m - 1) for m bits (x / 65535, x / 2047 for EAC),
 *   which the 8-bit picture rounds to the nearest x / 255;
 * - missing colour channels 0, missing alpha 1.
 * Other textures give their 8-bit picture widened. The 8-bit functions are unchanged.
 */
/* As qziLoadRGBA, into width * height * 4 floats (free them with qziFreeRGBAF). */
QZIDEC_API int qziLoadRGBAF(const char* path, float** pixels, int* width, int* height);
/* As qziLoadRGBAFromMemory, into floats. */
QZIDEC_API int qziLoadRGBAFFromMemory(const void* data, size_t size, const char* name_hint, float** pixels,
                                      int* width, int* height);
/* Frees a buffer from qziLoadRGBAF, qziLoadRGBAFFromMemory or a float qziDecoderExecuteRGBA;
   null is allowed. */
QZIDEC_API void qziFreeRGBAF(float* pixels);

/* Sample types of qziDecoderExecuteRGBA. */
#define QZIDEC_SAMPLE_UINT8 0   /* unsigned char, as qziLoadRGBA */
#define QZIDEC_SAMPLE_FLOAT32 1 /* float, as qziLoadRGBAF */

/*
 * The one-call loaders' conversion on a handle the caller initialised (and set parameters
 * on): executes it and converts the first picture delivered into RGBA of `sample_type`. The
 * caller's layer callback is not called and stays set. Stores the new buffer through `pixels`
 * (free it with qziFreeRGBA for 8 bits, qziFreeRGBAF for floats), its size through `width`
 * and `height` and, when `alpha` is not null, 1 when the picture came with an alpha plane
 * (0 when its alpha is the implied opaque). On failure stores null and 0s. Returns 0; 107
 * for a null handle or output, or an unknown sample type; 110 when not initialised;
 * otherwise as qziDecoderExecute, or 102 when the format delivered no picture. Like
 * qziDecoderExecute it sets the handle's reason (qziDecoderGetReason) on every failure and
 * clears it on success. The one-call loaders above have no handle to ask: for a reason,
 * initialise a handle and call this.
 */
QZIDEC_API int qziDecoderExecuteRGBA(QZIDECODER decoder, int sample_type, void** pixels, int* width, int* height,
                                     int* alpha);

/* A new handle, not initialised; null when memory is short. Release it with qziCloseDecoder. */
QZIDEC_API QZIDECODER qziCreateDecoder(void);

/*
 * Attaches a stream of `size` bytes and detects its format: by the extension of `name`
 * (may be null) first, then by content, in the order BMP, PVR, DDS, KTX, KTX2, ASTC, PKM. `read` and `setpos` are
 * required. On failure the stream stays attached (reset or close calls `cleanup`).
 * Returns 0; 107 for a null handle or callback, a size of 0 or an initialised handle
 * (the stream is then not attached); 102 when no format accepts the input, which includes
 * a BMP header with a width or height of 0 or above 12800 and a stream that cannot be read
 * or positioned; 101 when the picture has more pixels than QZIDEC_PARAM_MAX_PIXELS allows,
 * or memory is short.
 */
QZIDEC_API int qziDecoderInitialize(QZIDECODER decoder, void* stream, int size, QZIDEC_READ_FUNC read,
                                    QZIDEC_SETPOS_FUNC setpos, QZIDEC_CLEANUP_FUNC cleanup, const char* name);

/*
 * Opens `path` and initialises on it; the handle closes the file at reset or close.
 * Returns 0; 100 when the file cannot be opened or measured, or is a directory; 103 for a
 * file of 2^31 bytes or more; 107 for a null handle, a null or empty path, an empty file or
 * an initialised handle; otherwise as qziDecoderInitialize.
 */
QZIDEC_API int qziDecoderInitializeFromFile(QZIDECODER decoder, const char* path);

/*
 * Initialises on `size` bytes at `data`, which the handle reads in place (no copy) until reset
 * or close: they must stay unchanged and alive until then. `name` (may be null) is used for
 * detection by extension as in qziDecoderInitialize. Faster than a stream of your own over the
 * same bytes, which the handle copies into its read buffer. Returns 0; 107 for a null handle
 * or data, a size of 0 or an initialised handle; 103 for 2^31 bytes or more; otherwise as
 * qziDecoderInitialize.
 */
QZIDEC_API int qziDecoderInitializeFromMemory(QZIDECODER decoder, const void* data, size_t size, const char* name);

/* Stores a QZIDEC_INFO_* value through `value`. Returns 0; 110 for a null or not
   initialised handle; 107 for an item outside 1..16, or a null `value`. */
QZIDEC_API int qziDecoderGetDocInfo(QZIDECODER decoder, int item, unsigned int* value);

/*
 * A short text naming the variant that initialisation accepted ("BMP", "PVR v3 ASTC 6x6
 * sRGB"); it starts with the format's name. Owned by the handle, valid until the next
 * reset or close; null for a null or not initialised handle.
 */
QZIDEC_API const char* qziDecoderGetFormatDescription(QZIDECODER decoder);

/*
 * Why the last qziDecoderInitialize, qziDecoderInitializeFromFile, qziDecoderInitializeFromMemory,
 * qziDecoderExecute or qziDecoderExecuteRGBA on this handle failed: one line of English naming the format and the rule
 * ("BMP: 64 bits per pixel is not supported"), or "not a file of any supported format"
 * when no format recognised the input. The result codes stay what they are; this only
 * tells them apart for a person. Each of those calls clears it first, so it is empty ("")
 * after a success and never left over from an earlier call. Owned by the handle: valid
 * until the next of those calls, reset or close. "" for a null handle. Like every call
 * on a handle, not to be made while another thread uses the same handle.
 */
QZIDEC_API const char* qziDecoderGetReason(QZIDECODER decoder);

/* Back to the created state: closes the stream, drops parameters, layers and format state,
   keeps the layer, palette and progress callbacks. Returns 0; 107 for a null handle. */
QZIDEC_API int qziResetDecoder(QZIDECODER decoder);

/* Closes the stream and releases the handle. Returns 0; 107 for a null handle. */
QZIDEC_API int qziCloseDecoder(QZIDECODER decoder);

/*
 * Sets a parameter. Ids 1 to 9 work in any state and act at the next initialisation;
 * format ids (101-103 BMP, 601 PVR) need a handle initialised on that format and last
 * until reset. Returns 0; 107 for a null handle or a value out of range; 108 for an id
 * not supported by the handle's state or format; 101 when the filter list cannot be copied.
 */
QZIDEC_API int qziSetDecoderParam(QZIDECODER decoder, unsigned int id, long a, long b);

/* Callbacks survive resets; null removes one. Each returns 0, or 107 for a null handle. */
QZIDEC_API int qziSetDecoderLayerCallback(QZIDECODER decoder, QZIDEC_LAYER_CALLBACK callback, void* user);
QZIDEC_API int qziSetDecoderPaletteCallback(QZIDECODER decoder, QZIDEC_PALETTE_CALLBACK callback, void* user);
QZIDEC_API int qziSetDecoderProgressCallback(QZIDECODER decoder, QZIDEC_PROGRESS_CALLBACK callback, long user);

/*
 * Decodes and delivers the picture to the layer callback; may be repeated, and the handle
 * stays initialised whatever the result. Progress goes 0 of 1, the format's own reports,
 * 1 of 1. Returns 0; 107 for a null handle; 110 when not initialised; 10 when the
 * progress callback stops the work; 101 when a bitmap cannot be allocated; 102 for
 * invalid data, or when the input no longer holds the picture that initialisation
 * accepted (its header changed in between); 103 when the input cannot be positioned or
 * a texture cannot be decoded; 104 for a width or height out of range read at execution;
 * 105 when the input cannot be read or ends early. Without a layer callback the picture
 * is decoded and discarded.
 */
QZIDEC_API int qziDecoderExecute(QZIDECODER decoder);

#ifdef __cplusplus
}
#endif

#endif /* QZIMGDECODER_H */
