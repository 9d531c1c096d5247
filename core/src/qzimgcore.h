// Core services of the image libraries: memory blocks, device-independent bitmaps,
// progress reporting and error raising. Every block and bitmap handed out here is
// released with qzifree (or qziMemFree), never with delete.
#ifndef QZIMGCORE_H
#define QZIMGCORE_H

#include <cstddef>
#include <cstdint>

#include "qzitypes.h"

#if defined(QZIMGCORE_BUILD)
#define QZIMGCORE_API __attribute__((visibility("default")))
#else
#define QZIMGCORE_API
#endif

// Largest width or height of a bitmap; larger requests fail like an exhausted heap.
#define QZI_DIB_MAX_SIDE 12800
// Largest bit depth a bitmap header may declare.
#define QZI_DIB_MAX_DEPTH 48

extern "C" {

// Stores a new zero-filled block of `size` bytes through `p` and returns true;
// returns false (leaving *p null) when the memory cannot be had.
QZIMGCORE_API bool qziMemAlloc(void** p, size_t size);
// The same without the zero fill: for blocks whose owner writes every byte it reads.
QZIMGCORE_API bool qziMemAllocRaw(void** p, size_t size);
// Releases *p (null allowed) and sets it to null.
QZIMGCORE_API void qziMemFree(void** p);
// Releases a block or bitmap from this library; null allowed.
QZIMGCORE_API void qzifree(void* p);

// A bitmap of width x height pixels: a 40-byte BITMAPINFOHEADER (positive biHeight,
// biPlanes 1, other fields 0 beside the sizes), the colour table (all entries 0), then the
// rows, bottom row first, each qziWidthBytes long. The rows are NOT cleared: clearing
// memory that the caller overwrites anyway costs as much as the writing on a reused heap,
// so whoever fills the bitmap writes every byte of it, row padding included. Depth 1..8 gives one byte per pixel (biBitCount 8) and a table of
// 2^depth entries whatever `colors` asks, so no index can point past it; deeper pictures
// get three bytes per pixel (blue, green, red; biBitCount 24) and min(colors, 256)
// entries. Null for sizes outside 1..12800, depths outside 1..48 or no memory.
QZIMGCORE_API BITMAPINFO* qziDIBAlloc(int width, int height, int depth, int colors);
// The alpha bitmap of a picture of the given depth: one byte per pixel, rows not cleared
// (as above), with a grey colour table (entry i = i) of 2^depth entries for depths 1..8 and 256
// entries for deeper pictures.
QZIMGCORE_API BITMAPINFO* qziDIBAllocAlpha(int width, int height, int depth);

QZIMGCORE_API uint8_t* qziDIBBits(BITMAPINFO* bi);       // first byte of the bottom row
QZIMGCORE_API RGBQUAD* qziDIBPalette(BITMAPINFO* bi);    // the colour table
QZIMGCORE_API int qziDIBPaletteCount(const BITMAPINFO* bi);
QZIMGCORE_API size_t qziDIBSize(const BITMAPINFO* bi);   // bytes of the whole block
// `bytes` (0..INT_MAX - 3) rounded up to a multiple of 4: the row distance of a bitmap.
QZIMGCORE_API int qziWidthBytes(int bytes);

}  // extern "C"

namespace qzimg {

// The library's error values, thrown as the exception object itself.
using ::QZIERR;

// Returns false to ask the work to stop.
typedef bool (*PROGRESS_FUNC)(long user, unsigned int progress);

// Three pointer-sized words; a decoder handle starts with one.
struct PROGRESS_RECORD {
  uintptr_t work;  // reserved for this library; cleared by whoever resets the record
  PROGRESS_FUNC callback;
  long user;
};

// Registers `callback` (null: none) and its user value in the record at `record`.
QZIMGCORE_API void set_progress(void* record, PROGRESS_FUNC callback, long user);
// Reports `done` of `total` units: the callback receives done * 100 / total, clamped to
// 0..100 (100 when total is not positive). Raises QZIERR_ABORTED when it returns false.
QZIMGCORE_API void do_progress(void* record, long done, long total);
// Raises `code` as a qzimg::QZIERR; never returns.
[[noreturn]] QZIMGCORE_API void error_abort(QZIERR code);

}  // namespace qzimg

#endif  // QZIMGCORE_H
