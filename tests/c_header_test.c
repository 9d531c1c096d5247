/* The public header compiles as C99 and its record layout is the one callers rely on. */
#include <stddef.h>

#include "qzimgdecoder.h"

#define CHECK_OFFSET(field, offset) \
  typedef char check_##field[(offsetof(QZIDEC_LAYERINFO, field) == (offset)) ? 1 : -1]

CHECK_OFFSET(layer_user, 0);
CHECK_OFFSET(name, 8);
CHECK_OFFSET(bi, 16);
CHECK_OFFSET(bi_size, 24);
CHECK_OFFSET(bia, 32);
CHECK_OFFSET(bia_size, 40);
CHECK_OFFSET(extra_text, 48);
CHECK_OFFSET(extra, 56);
CHECK_OFFSET(visible, 88);
CHECK_OFFSET(attr_a, 92);
CHECK_OFFSET(attr_b, 96);
CHECK_OFFSET(anime_frame, 100);
typedef char check_header[(sizeof(BITMAPINFOHEADER) == 40) ? 1 : -1];

static int on_layer(QZIDEC_LAYERINFO* info, int index) { return info == NULL || index != 0; }

int main(void) {
  QZIDECODER d = qziCreateDecoder();
  int rc;
  if (!d) return 1;
  qziSetDecoderLayerCallback(d, on_layer, NULL);
  rc = qziDecoderExecute(d);
  qziCloseDecoder(d);
  return rc == QZIERR_NOT_INITIALIZED ? 0 : 1;
}
