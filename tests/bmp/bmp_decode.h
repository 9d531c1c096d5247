// Decodes bytes through the public API and keeps what the tests look at.
#ifndef QZI_TEST_BMP_DECODE_H
#define QZI_TEST_BMP_DECODE_H

#include <functional>
#include <vector>

#include "../test_stream.h"
#include "qzi_rgba.h"
#include "qzimgdecoder.h"

namespace bmpt {

struct Options {
  const char* name = nullptr;
  long keep_alpha = -1;  // -1: not set
  long palette_alpha = -1;
  long pixel_alpha = -1;
  unsigned stop_at = 0;                         // progress call that answers false (1-based); 0: never
  std::function<void(MemStream&)> before_exec;  // runs between initialisation and execution
};

struct Result {
  int init = -1;
  int exec = -1;
  unsigned info[8] = {0};
  int layers = 0;
  qzi_rgba::Image img;
  std::vector<uint8_t> index;  // palette pictures: the index of each pixel, top row first
  std::vector<uint8_t> alpha;  // the raw alpha bitmap pixels, top row first, when delivered
  std::vector<unsigned> progress;
  unsigned stop_at = 0;
  bool padding_zero = true;  // the bytes behind the pixels of every bitmap row are 0
};

inline int on_layer(QZIDEC_LAYERINFO* info, int) {
  Result* r = reinterpret_cast<Result*>(static_cast<uintptr_t>(info->layer_user));
  ++r->layers;
  qzi_rgba::from_layer(info, &r->img);
  const size_t row_bytes = static_cast<size_t>(info->bi->bmiHeader.biWidth) * info->bi->bmiHeader.biBitCount / 8;
  for (int y = 0; y < info->bi->bmiHeader.biHeight; ++y)
    for (size_t i = row_bytes; i < qzi_rgba::dib_stride(info->bi); ++i)
      if (qzi_rgba::dib_bits(info->bi)[y * qzi_rgba::dib_stride(info->bi) + i] != 0) r->padding_zero = false;
  const int w = info->bi->bmiHeader.biWidth, h = info->bi->bmiHeader.biHeight;
  if (info->bi->bmiHeader.biBitCount == 8) {
    const uint8_t* bits = qzi_rgba::dib_bits(info->bi);
    for (int y = h - 1; y >= 0; --y) r->index.insert(r->index.end(), bits + y * qzi_rgba::dib_stride(info->bi),
                                                     bits + y * qzi_rgba::dib_stride(info->bi) + w);
  }
  if (info->bia) {
    const uint8_t* bits = qzi_rgba::dib_bits(info->bia);
    for (int y = h - 1; y >= 0; --y) r->alpha.insert(r->alpha.end(), bits + y * qzi_rgba::dib_stride(info->bia),
                                                     bits + y * qzi_rgba::dib_stride(info->bia) + w);
  }
  return 0;
}

inline bool on_progress(long user, unsigned percent) {
  Result* r = reinterpret_cast<Result*>(user);
  r->progress.push_back(percent);
  return r->stop_at == 0 || r->progress.size() < r->stop_at;
}

inline Result decode(const std::vector<uint8_t>& bytes, const Options& o = Options()) {
  Result r;
  r.stop_at = o.stop_at;
  MemStream stream(bytes);
  QZIDECODER d = qziCreateDecoder();
  r.init = qziDecoderInitialize(d, &stream, static_cast<int>(bytes.size()), MemStream::read, MemStream::setpos,
                                nullptr, o.name);
  if (r.init == 0) {
    for (int item = 1; item <= 7; ++item) qziDecoderGetDocInfo(d, item, &r.info[item]);
    if (o.keep_alpha >= 0) qziSetDecoderParam(d, BMP_PARAM_KEEP_ALPHA, o.keep_alpha, 0);
    if (o.palette_alpha >= 0) qziSetDecoderParam(d, BMP_PARAM_PALETTE_ALPHA, o.palette_alpha, 0);
    if (o.pixel_alpha >= 0) qziSetDecoderParam(d, BMP_PARAM_PIXEL_ALPHA, o.pixel_alpha, 0);
    qziSetDecoderLayerCallback(d, on_layer, &r);
    qziSetDecoderProgressCallback(d, on_progress, reinterpret_cast<long>(&r));
    if (o.before_exec) o.before_exec(stream);
    r.exec = qziDecoderExecute(d);
  }
  qziCloseDecoder(d);
  return r;
}

// RGBA of pixel (x, y), top row first.
inline std::vector<int> px(const Result& r, int x, int y) {
  const uint8_t* p = &r.img.rgba[(static_cast<size_t>(y) * r.img.width + x) * 4];
  return {p[0], p[1], p[2], p[3]};
}

}  // namespace bmpt

#endif  // QZI_TEST_BMP_DECODE_H
