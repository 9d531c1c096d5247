/*
 * libqzipvr: decodes the top mip level (first surface, first face) of a PVR texture file
 * into 32-bit pixels.
 *
 * Containers: the legacy header (44-byte version 1, 52-byte version 2 with the "PVR!" tag)
 * and the version 3 header with its metadata. Little-endian files only.
 *
 * Use: hand the first 52 bytes of a file to qzipvr03, which refuses anything it cannot
 * decode and reports width, height and one of the pixel-format numbers below; ask qzipvr04
 * for the size of the decoded picture; hand the whole file to qzipvr05 with a buffer of that
 * size. The decoded picture is width x height pixels of 4 bytes (blue, green, red, alpha),
 * rows from the top of the picture down, each row from left to right.
 *
 * qzipvr06 decodes the same picture straight into caller-owned rows of 3-byte pixels and an
 * optional alpha plane, without the intermediate 4-byte picture; qzipvr07 names the format.
 *
 * All functions are plain C, reentrant, and neither throw nor keep state.
 */
#ifndef QZIPVR_H
#define QZIPVR_H

#include <stddef.h>

#if defined(QZIPVR_BUILD)
#define QZIPVR_API __attribute__((visibility("default")))
#else
#define QZIPVR_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Bytes of the file header that qzipvr03 needs: the version 2 and version 3 headers. */
#define QZIPVR_HEADER_SIZE 52

/* Largest width or height accepted; keeps every size computation well inside 64 bits. */
#define QZIPVR_MAX_SIDE 65536

/* Pixel-format numbers reported by qzipvr03. */
#define QZIPVR_FORMAT_PVRTC_2BPP 0  /* PVRTC1 2 bits per pixel, RGB or RGBA */
#define QZIPVR_FORMAT_PVRTC_4BPP 1  /* PVRTC1 4 bits per pixel, RGB or RGBA */
#define QZIPVR_FORMAT_ETC1 2        /* ETC1, opaque */
#define QZIPVR_FORMAT_BC1 3         /* BC1 / DXT1, with 1-bit alpha */
#define QZIPVR_FORMAT_BC2 4         /* BC2 / DXT3 (and DXT2, its premultiplied form) */
#define QZIPVR_FORMAT_BC3 5         /* BC3 / DXT5 (and DXT4, its premultiplied form) */
#define QZIPVR_FORMAT_RGBA8888 6    /* bytes red, green, blue, alpha */
#define QZIPVR_FORMAT_BGRA8888 7    /* bytes blue, green, red, alpha */
#define QZIPVR_FORMAT_RGB888 8      /* bytes red, green, blue; opaque */
#define QZIPVR_FORMAT_PACKED 9      /* channels packed in one little-endian word, first channel
                                       in the top bits: RGBA4444, RGBA5551, RGB565, RGB555 ... */
#define QZIPVR_FORMAT_A8 10         /* one alpha byte; colour black */
#define QZIPVR_FORMAT_L8 11         /* one luminance (intensity) byte; grey, opaque */
#define QZIPVR_FORMAT_CHANNELS 12   /* any other layout of 8-bit channels: LA88, ARGB8888 ... */
#define QZIPVR_FORMAT_ETC2_RGB 13   /* ETC2 RGB, opaque */
#define QZIPVR_FORMAT_ETC2_RGBA 14  /* ETC2 RGB with 8-bit EAC alpha */
#define QZIPVR_FORMAT_ETC2_RGB_A1 15 /* ETC2 RGB with punch-through alpha */
#define QZIPVR_FORMAT_EAC_R11 16    /* EAC one channel (red), unsigned or signed */
#define QZIPVR_FORMAT_EAC_RG11 17   /* EAC two channels (red, green), unsigned or signed */
#define QZIPVR_FORMAT_BC4 18        /* BC4, one channel (red), unsigned or signed */
#define QZIPVR_FORMAT_BC5 19        /* BC5, two channels (red, green), unsigned or signed */
#define QZIPVR_FORMAT_BC7 20        /* BC7 */
#define QZIPVR_FORMAT_ASTC 21       /* ASTC LDR, 2D blocks from 4x4 to 12x12, linear or sRGB */
#define QZIPVR_FORMAT_COUNT 22

/* Results. */
#define QZIPVR_OK 0
#define QZIPVR_ERR_ARGUMENT 1 /* a null pointer or a size too small for the header */
#define QZIPVR_ERR_HEADER 2   /* not a texture this library decodes */
#define QZIPVR_ERR_DATA 3     /* the level's data or the metadata does not lie inside the input */
#define QZIPVR_ERR_OUTPUT 4   /* the output buffer is smaller than width x height x 4 bytes */
#define QZIPVR_ERR_MEMORY 5   /* working memory cannot be had */

/*
 * Reads the file header at `header` (`header_size` bytes, at least 44 for version 1 and 52
 * otherwise). Returns QZIPVR_OK and stores width, height and pixel-format number when it is
 * a texture this library decodes; otherwise a non-zero result, leaving the outputs alone.
 */
QZIPVR_API int qzipvr03(const void* header, int header_size, int* width, int* height, int* pixel_format);

/*
 * Bytes of the decoded picture: width x height x 4. 0 when the sizes lie outside
 * 1..QZIPVR_MAX_SIDE, the format number is unknown, or the format cannot have that size.
 */
QZIPVR_API size_t qzipvr04(int width, int height, int pixel_format);

/*
 * Decodes the file at `file` (`file_size` bytes) into `pixels` (`pixels_size` bytes, at
 * least what qzipvr04 gives). Reads only inside the file and writes only the first
 * width x height x 4 bytes of the output. Returns QZIPVR_OK or a non-zero result; after a
 * failure the output's contents are unspecified.
 */
QZIPVR_API int qzipvr05(const void* file, size_t file_size, void* pixels, size_t pixels_size);

/*
 * Where qzipvr06 writes: `row` returns the address of picture row y (0 is the top row) for
 * width pixels of 3 bytes (blue, green, red), and stores in *alpha the address of that row's
 * width alpha bytes, or null when alpha is not wanted. Rows may be asked for in any order and
 * more than once; every pixel of every row is written, and every alpha byte of a row whose
 * alpha address is given.
 */
typedef struct QZIPVR_ROWS {
  void* user;
  unsigned char* (*row)(void* user, int y, unsigned char** alpha);
} QZIPVR_ROWS;

/*
 * Decodes the file at `file` (`file_size` bytes) into the rows `rows` gives. Results as
 * qzipvr05 (QZIPVR_ERR_OUTPUT when `rows` or its function is null, or a row address is null);
 * after a failure the rows' contents are unspecified.
 */
QZIPVR_API int qzipvr06(const void* file, size_t file_size, const QZIPVR_ROWS* rows);

/*
 * Writes a short name of the texture's container and format, such as "PVR v3 ASTC 6x6 sRGB"
 * or "PVR v2 RGB565", NUL-terminated and cut to fit, into `text` (`text_size` bytes) from the
 * header qzipvr03 accepts. Returns the result qzipvr03 would give.
 */
QZIPVR_API int qzipvr07(const void* header, int header_size, char* text, size_t text_size);

#ifdef __cplusplus
}
#endif

#endif /* QZIPVR_H */
