// The decode harness of the API tests: one handle on a memory stream (or a file), the
// document information, parameters, and executions whose deliveries are kept as RGBA, palette
// indexes and raw alpha bytes, with the progress reports and whether every row's padding is 0.
#ifndef QZI_DECODE_H
#define QZI_DECODE_H

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "qzi_memstream.h"
#include "qzi_rgba.h"
#include "qzimgdecoder.h"

namespace qzi_test {

using Bytes = std::vector<uint8_t>;

// What the last execution delivered.
struct Delivered {
  int layers = 0;
  qzi_rgba::Image img;
  std::vector<uint8_t> index;  // 8-bit bitmaps: the index of each pixel, top row first
  std::vector<uint8_t> alpha;  // the raw alpha bitmap pixels, top row first, when delivered
  std::vector<unsigned> progress;
  bool padding_zero = true;        // the bytes behind the pixels of every bitmap row are 0
  bool alpha_padding_zero = true;  // the same for the alpha bitmap
};

class Session {
 public:
  QZIDECODER h = qziCreateDecoder();
  MemStream stream;
  Delivered out;
  unsigned stop_at = 0;  // the progress call (1-based) that answers false; 0: none

  Session() = default;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  ~Session() { qziCloseDecoder(h); }

  // `declared`: the input size told to the decoder; 0 for the real one.
  int init(const Bytes& bytes, const char* name = "x.bmp", unsigned declared = 0) {
    stream.data = bytes;
    const int size = static_cast<int>(declared ? declared : bytes.size());
    return qziDecoderInitialize(h, &stream, size, MemStream::read, MemStream::setpos, nullptr, name);
  }
  int init_file(const char* path) { return qziDecoderInitializeFromFile(h, path); }
  // The library's memory input over the stream's bytes, which stay in place until the close.
  int init_in_place(const Bytes& bytes, const char* name = "x.bmp") {
    stream.data = bytes;
    return qziDecoderInitializeFromMemory(h, stream.data.data(), stream.data.size(), name);
  }

  int execute() {
    out = Delivered();
    qziSetDecoderLayerCallback(h, on_layer, this);
    qziSetDecoderProgressCallback(h, on_progress, reinterpret_cast<long>(this));
    return qziDecoderExecute(h);
  }

  unsigned info(int item) {
    unsigned v = 0;
    qziDecoderGetDocInfo(h, item, &v);
    return v;
  }

 private:
  static int on_layer(QZIDEC_LAYERINFO* info, int) {
    Delivered& r = reinterpret_cast<Session*>(static_cast<uintptr_t>(info->layer_user))->out;
    ++r.layers;
    qzi_rgba::from_layer(info, &r.img);
    const BITMAPINFOHEADER& hd = info->bi->bmiHeader;
    const size_t w = hd.biWidth, used = w * hd.biBitCount / 8, stride = qzi_rgba::dib_stride(info->bi);
    for (int y = hd.biHeight - 1; y >= 0; --y) {  // bitmaps are bottom-up
      const uint8_t* row = qzi_rgba::dib_bits(info->bi) + y * stride;
      for (size_t i = used; i < stride; ++i) r.padding_zero &= row[i] == 0;
      if (hd.biBitCount == 8) r.index.insert(r.index.end(), row, row + w);
      if (!info->bia) continue;
      const size_t astride = qzi_rgba::dib_stride(info->bia);
      const uint8_t* a = qzi_rgba::dib_bits(info->bia) + y * astride;
      r.alpha.insert(r.alpha.end(), a, a + w);
      for (size_t i = w; i < astride; ++i) r.alpha_padding_zero &= a[i] == 0;
    }
    return 0;
  }
  static bool on_progress(long user, unsigned percent) {
    Session* s = reinterpret_cast<Session*>(user);
    s->out.progress.push_back(percent);
    return s->stop_at == 0 || s->out.progress.size() < s->stop_at;
  }
};

struct Options {
  const char* name = "x.bmp";
  const char* path = nullptr;                     // initialise from this file instead of the bytes
  bool in_place = false;                          // the library's memory input, not a stream
  std::vector<std::pair<unsigned, long>> params;  // set in order after initialisation
  unsigned stop_at = 0;                           // see Session::stop_at
  int runs = 1;                                   // executions on the same handle
  std::function<void(MemStream&)> before_exec;    // runs between initialisation and execution
};

struct Result : Delivered {
  int init = -1, exec = -1;
  unsigned info[8] = {0};
  std::vector<int> param_results;
  std::string reason;  // qziDecoderGetReason after the last call
};

// One handle from creation to close.
inline Result decode(const Bytes& bytes, const Options& o = Options()) {
  Result r;
  Session s;
  s.stop_at = o.stop_at;
  r.init = o.path ? s.init_file(o.path) : o.in_place ? s.init_in_place(bytes, o.name) : s.init(bytes, o.name);
  r.reason = qziDecoderGetReason(s.h);
  if (r.init != 0) return r;
  for (int item = 1; item <= 7; ++item) r.info[item] = s.info(item);
  for (auto [id, value] : o.params) r.param_results.push_back(qziSetDecoderParam(s.h, id, value, 0));
  if (o.before_exec) o.before_exec(s.stream);
  for (int i = 0; i < o.runs; ++i) r.exec = s.execute();
  r.reason = qziDecoderGetReason(s.h);
  static_cast<Delivered&>(r) = s.out;
  return r;
}

}  // namespace qzi_test

#endif  // QZI_DECODE_H
