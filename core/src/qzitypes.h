/*
 * Types shared by the image libraries and their callers: the device-independent bitmap
 * layout and the result codes. Plain C, so that C callers and the C++ libraries agree.
 */
#ifndef QZITYPES_H
#define QZITYPES_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifndef QZI_BITMAPINFO_DEFINED
#define QZI_BITMAPINFO_DEFINED
/* The Windows DIB header (40 bytes, little-endian fields on every platform we build for). */
typedef struct tagBITMAPINFOHEADER {
  uint32_t biSize;
  int32_t biWidth;
  int32_t biHeight;     /* positive: rows stored bottom-up */
  uint16_t biPlanes;
  uint16_t biBitCount;
  uint32_t biCompression;
  uint32_t biSizeImage;
  int32_t biXPelsPerMeter;
  int32_t biYPelsPerMeter;
  uint32_t biClrUsed;   /* colour-table entries that follow the header */
  uint32_t biClrImportant;
} BITMAPINFOHEADER;

typedef struct tagRGBQUAD {
  uint8_t rgbBlue;
  uint8_t rgbGreen;
  uint8_t rgbRed;
  uint8_t rgbReserved;
} RGBQUAD;

/* Header, colour table and pixel rows in one block. */
typedef struct tagBITMAPINFO {
  BITMAPINFOHEADER bmiHeader;
  RGBQUAD bmiColors[1];
} BITMAPINFO;
#endif

/*
 * Result codes. Inside the libraries these are also the error values raised as
 * exceptions (qzimg::QZIERR); every exported function returns one of them.
 *
 * The one table of codes: name, value and the short English text that qziResultText
 * returns. X(NAME, VALUE, TEXT) is expanded by whoever needs a view of it.
 */
#define QZIERR_LIST(X)                                                                   \
  X(SUCCESS, 0, "success")                                                               \
  X(ABORTED, 10, "stopped by the progress callback")                                     \
  X(FILE_OPEN, 100, "cannot open the file")                                              \
  X(NO_MEMORY, 101, "not enough memory, or the picture is larger than allowed")          \
  X(UNSUPPORTED, 102, "unsupported format or invalid data")                              \
  X(CANNOT, 103, "cannot position the input or decode what it holds")                    \
  X(IMAGE_SIZE, 104, "image width or height is 0 or above 12800")                        \
  X(READ, 105, "cannot read the input, or it ends too early")                            \
  X(INVALID_ARG, 107, "invalid argument or wrong state")                                 \
  X(UNKNOWN_PARAM, 108, "parameter not supported here")                                  \
  X(NOT_INITIALIZED, 110, "decoder not initialised")

typedef enum QZIERR {
#define QZIERR_ENUMERATOR(name, value, text) QZIERR_##name = value,
  QZIERR_LIST(QZIERR_ENUMERATOR)
#undef QZIERR_ENUMERATOR
} QZIERR;

#ifdef __cplusplus
}
#endif

#endif /* QZITYPES_H */
