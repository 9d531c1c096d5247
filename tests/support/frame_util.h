// Helpers for tests of the frame's internal functions.
#ifndef QZI_FRAME_UTIL_H
#define QZI_FRAME_UTIL_H

#include <gtest/gtest.h>

#include <functional>

#include "internal.h"
#include "qzi_memstream.h"

// The code a call raises, or -1 when it returns.
inline int raised(const std::function<void()>& f) {
  try {
    f();
  } catch (qzimg::QZIERR e) {
    return e;
  }
  return -1;
}

// A handle reading a memory stream directly, without format detection.
struct StreamHandle {
  QZIDECODER h = qziCreateDecoder();
  MemStream stream;
  explicit StreamHandle(std::vector<uint8_t> bytes) : stream(std::move(bytes)) {
    h->stream = &stream;
    h->read_func = MemStream::read;
    h->setpos_func = MemStream::setpos;
    qzimgdecoder::raster_init(h);
  }
  ~StreamHandle() { qziCloseDecoder(h); }
};

// A handle whose raster is set up as an execution sets it up.
struct Raster {
  QZIDECODER h = qziCreateDecoder();
  DIB_OWNER bi, bia;
  Raster(int w, int rows, int bpp, bool alpha = false) {
    qzimgdecoder::raster_init(h);
    qzimgdecoder::set_size(h, w, rows, bpp, 0);
    if (alpha) qzimgdecoder::set_alpha(h, 1);
    EXPECT_EQ(qzimgdecoder::raster_setup(h, &bi, &bia), QZIERR_SUCCESS);
  }
  ~Raster() {
    qzimgdecoder::raster_release(h);
    qziCloseDecoder(h);
  }
};

#endif
