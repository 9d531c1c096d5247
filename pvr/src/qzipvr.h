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
#define QZIPVR_FORMAT_ASTC 21       /* ASTC, 2D blocks from 4x4 to 12x12 (3D 3x3x3 to 6x6x6 and HDR blocks
                                       in the other containers), linear or sRGB */
#define QZIPVR_FORMAT_BC6H 22       /* BC6H, unsigned or signed half floats (other containers) */
#define QZIPVR_FORMAT_WIDE 23       /* other uncompressed layouts of the other containers: channels
                                       of up to 16 bits, half and single floats, packed floats,
                                       shared exponent, 8-bit palette */
#define QZIPVR_FORMAT_COUNT 24

/* Results. */
#define QZIPVR_OK 0
#define QZIPVR_ERR_ARGUMENT 1 /* a null pointer or a size too small for the header */
#define QZIPVR_ERR_HEADER 2   /* not a texture this library decodes */
#define QZIPVR_ERR_DATA 3     /* the level's data or the metadata does not lie inside the input */
#define QZIPVR_ERR_OUTPUT 4   /* the output buffer is smaller than width x height x 4 bytes */
#define QZIPVR_ERR_MEMORY 5   /* working memory cannot be had */
#define QZIPVR_ERR_SHORT 6    /* qzipvr08: the bytes given end before the container's metadata;
                                 QZIPVR_INFO.head_needed says how many first bytes it needs */
#define QZIPVR_ERR_CHOICE 7   /* the chosen level, face, layer or slice does not exist */

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

/*
 * Texture containers. qzipvr08 and qzipvr09 read PVR files as above and also DDS (legacy and
 * DX10 headers), KTX 1.1 (either byte order), KTX2 (no supercompression, Zstandard or zlib),
 * .astc and PKM files, all decoded by the same codecs. They decode one image of the file: by
 * default the top mip level of the first face (cube faces in the order +X, -X, +Y, -Y, +Z,
 * -Z), first array layer (PVR: surface) and first depth slice; a QZIPVR_CHOICE picks another.
 */
#define QZIPVR_CONTAINER_PVR 1
#define QZIPVR_CONTAINER_DDS 2
#define QZIPVR_CONTAINER_KTX 3
#define QZIPVR_CONTAINER_KTX2 4
#define QZIPVR_CONTAINER_ASTC 5
#define QZIPVR_CONTAINER_PKM 6

/* First bytes of a file that qzipvr08 needs at least (more for some KTX2 and PVR files). */
#define QZIPVR_HEAD_SIZE 148

/* Which image, and how values beyond 0..1 (HDR and float formats) become 8 bits. */
typedef struct QZIPVR_CHOICE {
  int level; /* mip level, 0 the largest */
  int face;  /* cube face, 0..5 */
  int layer; /* array layer (PVR surface) */
  int slice; /* depth slice of a volume texture, counted in the chosen level */
  int tone_map;    /* 0: clamp to 0..1 and round x * 255; 1: Reinhard, x e / (1 + x e) */
  double exposure; /* e of the tone map; 0 or less reads as 1 */
} QZIPVR_CHOICE;

#define QZIPVR_FLAG_SIGNED 0x1        /* channel values -1..1, mapped to 0..255 (qzipvr10: as they are) */
#define QZIPVR_FLAG_SRGB 0x2          /* the container says sRGB; values pass through */
#define QZIPVR_FLAG_FLIP_ROWS 0x4     /* stored bottom-up (orientation metadata) */
#define QZIPVR_FLAG_FLIP_COLUMNS 0x8  /* stored right to left */
#define QZIPVR_FLAG_HDR 0x10          /* a float format: values may lie beyond 0..1 (qzipvr10 keeps them) */
#define QZIPVR_FLAG_PREMULTIPLIED 0x20 /* the container says colours are premultiplied */
#define QZIPVR_FLAG_SUPERCOMPRESSED 0x40 /* KTX2 level data in Zstandard or zlib */
#define QZIPVR_FLAG_ALPHA 0x80        /* the stored format carries alpha (BC7 and ASTC always; PVRTC
                                         as the container says; RGB formats never) */
#define QZIPVR_FLAG_LINEAR 0x100      /* the container says the colours are linear; with neither this
                                         nor QZIPVR_FLAG_SRGB it says nothing (legacy DDS, PKM, .astc,
                                         PVR versions 1 and 2) */
#define QZIPVR_FLAG_DEEP 0x200        /* unsigned values finer than 8 bits (EAC R11 and RG11, 16-bit
                                         layouts): qzipvr10 gives them at full precision */

/* What qzipvr08 reads from a container, about the chosen image. */
typedef struct QZIPVR_INFO {
  int container;     /* QZIPVR_CONTAINER_* */
  int format;        /* QZIPVR_FORMAT_* */
  int width, height; /* of the chosen image */
  int levels, faces, layers, depth; /* in the file; depth of the top level, 1 for 2D */
  int block_width, block_height, block_depth; /* texels of a block; 1 for uncompressed formats */
  int block_bits;    /* bits of one block as stored (of one texel for uncompressed formats) */
  unsigned flags;    /* QZIPVR_FLAG_* */
  unsigned long long head_needed; /* with QZIPVR_ERR_SHORT: first bytes to give next time */
  char description[64]; /* "DDS DX10 BC7 sRGB", "KTX2 zstd ASTC 8x8 sRGB" */
  char reason[128];     /* after a refusal: why, in a few words */
} QZIPVR_INFO;

/*
 * Reads the container at `head`: the first `head_size` bytes of a file of `file_size` bytes
 * (the whole file, or at least QZIPVR_HEAD_SIZE bytes of it). `choice` may be null for the
 * default image. Checks that the chosen image lies inside the file. Returns QZIPVR_OK and
 * fills `info`; QZIPVR_ERR_SHORT when the container's metadata lies beyond the bytes given
 * (give info->head_needed bytes; the next answer may ask for more again); QZIPVR_ERR_HEADER for what is not a texture decoded here,
 * QZIPVR_ERR_DATA for a file shorter than its image, QZIPVR_ERR_CHOICE for an image the
 * file does not have, each with info->reason set. A PVR file shorter than its image still has
 * its header's facts filled in (format, sizes, counts, block sizes and bits, flags).
 * block_bits / (block_width x block_height x block_depth) is the format's bits per texel.
 */
QZIPVR_API int qzipvr08(const void* head, size_t head_size, unsigned long long file_size, const QZIPVR_CHOICE* choice,
                        QZIPVR_INFO* info);

/*
 * Decodes the chosen image of the whole file at `file` (`file_size` bytes) into the rows
 * `rows` gives, as qzipvr06 does: width x height of qzipvr08's answer, rows from the top of
 * the picture after the container's orientation, alpha 255 where the format has none.
 * Results as qzipvr08 and qzipvr06; QZIPVR_ERR_DATA also for supercompressed data that does
 * not inflate to its stated length.
 */
QZIPVR_API int qzipvr09(const void* file, size_t file_size, const QZIPVR_CHOICE* choice, const QZIPVR_ROWS* rows);

/*
 * Where qzipvr10 writes: `row` returns the address of picture row y (0 is the top row) for
 * width texels of four floats (red, green, blue, alpha). Rows may be asked for in any order and
 * more than once; every float of a row given is written.
 */
typedef struct QZIPVR_FLOAT_ROWS {
  void* user;
  float* (*row)(void* user, int y);
} QZIPVR_FLOAT_ROWS;

/*
 * Decodes the chosen image as qzipvr09 does, into float rows: HDR and float formats (BC6H,
 * ASTC HDR blocks, half, float, packed-float and shared-exponent layouts) as they are,
 * unclamped, NaN and infinities included; signed formats (QZIPVR_FLAG_SIGNED: BC4, BC5, EAC
 * R11 and RG11, signed normalised layouts) as -1..1, a value of n units of an m-bit channel
 * being n / (2^(m-1) - 1) and the lowest code -1 like the one above it (BC4 and BC5 endpoints
 * count 8-bit units, EAC 11-bit ones 1023); unsigned values wider than 8 bits (QZIPVR_FLAG_DEEP:
 * EAC R11 and RG11, layouts with channels of more than 8 bits) as n / (2^m - 1), 2047 for EAC;
 * every other format as its 8-bit values / 255.
 * Missing colour channels are 0, missing alpha 1. The tone map of the choice does not apply.
 * Results as qzipvr09.
 */
QZIPVR_API int qzipvr10(const void* file, size_t file_size, const QZIPVR_CHOICE* choice, const QZIPVR_FLOAT_ROWS* rows);

#ifdef __cplusplus
}
#endif

#endif /* QZIPVR_H */
