// PVR files (pvr_writer.h) decoded through the library's three calls; the decoder's API is
// driven through qzi_decode.h.
#ifndef PVR_TEST_UTIL_H
#define PVR_TEST_UTIL_H

#include <algorithm>
#include <cstdint>
#include <vector>

#include "pvr_writer.h"
#include "qzi_decode.h"
#include "qzipvr.h"

namespace pvrtest {

struct Decoded {
  int header = -1, decode = -1, width = 0, height = 0, format = -1;
  Bytes bgra;
};

// The three calls as a caller makes them, on exactly sized copies so that sanitizers see overreads.
inline Decoded decode(const Bytes& file) {
  Decoded d;
  Bytes head(file.begin(), file.begin() + static_cast<long>(std::min<size_t>(file.size(), 52)));
  d.header = qzipvr03(head.data(), static_cast<int>(head.size()), &d.width, &d.height, &d.format);
  if (d.header != QZIPVR_OK) return d;
  d.bgra.assign(qzipvr04(d.width, d.height, d.format), 0xCD);
  Bytes copy(file);
  d.decode = qzipvr05(copy.data(), copy.size(), d.bgra.data(), d.bgra.size());
  return d;
}

}  // namespace pvrtest

#endif  // PVR_TEST_UTIL_H
