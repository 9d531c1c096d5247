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
 */
typedef enum QZIERR {
  QZIERR_SUCCESS = 0,
  QZIERR_ABORTED = 10,         /* the progress callback asked to stop */
  QZIERR_FILE_OPEN = 100,      /* the file cannot be opened, measured or rewound */
  QZIERR_NO_MEMORY = 101,      /* memory or a bitmap cannot be obtained */
  QZIERR_UNSUPPORTED = 102,    /* not a supported format, or a value out of range */
  QZIERR_CANNOT = 103,         /* cannot position the input, or cannot decode what it holds */
  QZIERR_IMAGE_SIZE = 104,     /* image width or height 0 or above 12800 */
  QZIERR_READ = 105,           /* the input cannot be read or ends too early */
  QZIERR_INVALID_ARG = 107,    /* invalid argument or wrong state */
  QZIERR_UNKNOWN_PARAM = 108,  /* parameter id not supported here */
  QZIERR_NOT_INITIALIZED = 110 /* the decoder has not been initialised */
} QZIERR;

#ifdef __cplusplus
}
#endif

#endif /* QZITYPES_H */
