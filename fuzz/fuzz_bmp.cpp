// Fuzz target over the public decoder API: initialise from a memory stream, document
// information, parameters chosen by the input's last byte, execute with a layer callback that
// reads every byte of the delivered bitmaps and a progress callback that may stop the work.
// Every call's result must be one of the documented result codes.
#include <cstddef>
#include <cstdint>

#include "qzi_memview.h"
#include "qzimgdecoder.h"

namespace {

volatile uint32_t g_sink;

int documented(int rc) {
  switch (rc) {
#define QZI_DOCUMENTED_CASE(name, value, text) case value:
    QZIERR_LIST(QZI_DOCUMENTED_CASE)
#undef QZI_DOCUMENTED_CASE
    return rc;
    default:
      __builtin_trap();
  }
}

int on_layer(QZIDEC_LAYERINFO* info, int /*index*/) {
  uint32_t sum = 0;
  const uint8_t* p = reinterpret_cast<const uint8_t*>(info->bi);
  for (uint64_t i = 0; i < info->bi_size; ++i) sum += p[i];
  p = reinterpret_cast<const uint8_t*>(info->bia);
  for (uint64_t i = 0; i < info->bia_size; ++i) sum += p[i];
  g_sink = sum;
  return 0;
}

struct Progress {
  unsigned int calls;
  unsigned int stop_at;  // 0: never stop
};

bool on_progress(long user, unsigned int /*percent*/) {
  Progress* p = reinterpret_cast<Progress*>(user);
  ++p->calls;
  return p->stop_at == 0 || p->calls < p->stop_at;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > 0x7FFFFFFF) return 0;
  // The last byte picks the parameters; the decoder sees the whole input.
  const uint8_t ctl = data[size - 1];
  static const char* const names[4] = {nullptr, "fuzz.bmp", "fuzz.pvr", "fuzz"};

  QZIDECODER dec = qziCreateDecoder();
  if (!dec) return 0;
  qzi_mem::Stream stream{data, size, 0};
  if (ctl & 0x80) documented(qziSetDecoderParam(dec, QZIDEC_PARAM_SKIP_EXT, 1, 0));
  if (documented(qzi_mem::initialize(dec, &stream, names[ctl & 3])) == 0) {
    unsigned int value = 0;
    for (int item = 1; item <= 7; ++item) documented(qziDecoderGetDocInfo(dec, item, &value));
    documented(qziSetDecoderParam(dec, BMP_PARAM_KEEP_ALPHA, (ctl >> 2) & 1, 0));
    documented(qziSetDecoderParam(dec, BMP_PARAM_PALETTE_ALPHA, (ctl >> 3) & 3, 0));  // 3 is out of range
    documented(qziSetDecoderParam(dec, BMP_PARAM_PIXEL_ALPHA, (ctl >> 5) & 3, 0));
    Progress progress{0, (ctl & 0x40) ? 3u : 0u};
    qziSetDecoderLayerCallback(dec, on_layer, nullptr);
    qziSetDecoderProgressCallback(dec, on_progress, reinterpret_cast<long>(&progress));
    documented(qziDecoderExecute(dec));
  }
  qziCloseDecoder(dec);
  return 0;
}
