// Layer list and deliveries.
#include "layers.h"

#include <algorithm>
#include <cstring>

namespace qzimgdecoder {

uint64_t ilGetSize(QZIDECODER_IMPL* h) { return h->layers.size(); }

void ilLayerAdd(QZIDECODER_IMPL* h) { h->layers.emplace_back(new QZIDEC_LAYER()); }

void ilLayerClear(QZIDECODER_IMPL* h) { h->layers.clear(); }

QZIDEC_LAYER* ilGetLayer(QZIDECODER_IMPL* h, uint32_t index) {
  return index < h->layers.size() ? h->layers[index].get() : nullptr;
}

BITMAPINFO* ilGetBI(QZIDECODER_IMPL* h, uint32_t index) {
  QZIDEC_LAYER* l = ilGetLayer(h, index);
  return l ? l->bi.get() : nullptr;
}

BITMAPINFO* ilGetBIA(QZIDECODER_IMPL* h, uint32_t index) {
  QZIDEC_LAYER* l = ilGetLayer(h, index);
  return l ? l->bia.get() : nullptr;
}

namespace {

// Takes ownership of `dib` in every case: out of range, it is freed at once.
void set_layer_dib(QZIDECODER_IMPL* h, uint32_t index, BITMAPINFO* dib, DIB_PTR QZIDEC_LAYER::*field) {
  DIB_PTR owner;
  if (dib) owner.reset(dib, qzifree);
  QZIDEC_LAYER* l = ilGetLayer(h, index);
  if (l) (l->*field).swap(owner);
}

}  // namespace

void ilSetBI(QZIDECODER_IMPL* h, uint32_t index, BITMAPINFO* bi) { set_layer_dib(h, index, bi, &QZIDEC_LAYER::bi); }

void ilSetBIA(QZIDECODER_IMPL* h, uint32_t index, BITMAPINFO* bia) {
  set_layer_dib(h, index, bia, &QZIDEC_LAYER::bia);
}

void ilSetName(QZIDECODER_IMPL* h, uint32_t index, const char* name) {
  if (QZIDEC_LAYER* l = ilGetLayer(h, index)) l->name = name ? name : "";
}

void ilSetInvisible(QZIDECODER_IMPL* h, uint32_t index, bool invisible) {
  if (QZIDEC_LAYER* l = ilGetLayer(h, index)) l->visible = !invisible;
}

void ilSetAnimeFrame(QZIDECODER_IMPL* h, uint32_t index, uint32_t value) {
  if (QZIDEC_LAYER* l = ilGetLayer(h, index)) l->anime_frame = value;
}

void ilSetAnimationMode(QZIDECODER_IMPL* h, int mode) { h->anime_mode = mode; }

void ilSetAnimeLoop(QZIDECODER_IMPL* h, int loop) { h->anime_loop = loop; }

// ---------------------------------------------------------------------------------------------
// Deliveries

namespace {

void fill_from_record(QZIDEC_LAYERINFO* info, const QZIDEC_LAYER& l) {
  info->name = l.name.c_str();
  info->extra_text = l.extra_text.c_str();
  std::memcpy(info->extra, l.extra, sizeof info->extra);
  info->visible = l.visible ? 1 : 0;
  info->attr_a = l.attr_a;
  info->attr_b = l.attr_b;
}

}  // namespace

int call_layercallback(QZIDECODER_IMPL* h) {
  if (!h->layer_callback) return QZIERR_INVALID_ARG;
  int i = 0;
  for (const std::unique_ptr<QZIDEC_LAYER>& record : h->layers) {
    const QZIDEC_LAYER& l = *record;
    QZIDEC_LAYERINFO info;
    std::memset(&info, 0, sizeof info);
    info.layer_user = h->layer_user;
    info.bi = l.bi.get();
    info.bi_size = qziDIBSize(l.bi.get());
    if (l.bia && h->alpha) {
      info.bia = l.bia.get();
      info.bia_size = qziDIBSize(l.bia.get());
    }
    fill_from_record(&info, l);
    info.anime_frame = l.anime_frame;
    const int r = h->layer_callback(&info, i++);
    if (r != 0) return r;
  }
  return 0;
}

int call_singleimage_layercallback(QZIDECODER_IMPL* h, int index) {
  if (!h->layer_callback) return QZIERR_INVALID_ARG;
  if (h->bpp <= 8 && h->bi) {
    const int n = std::min(qziDIBPaletteCount(h->bi), 256);
    RGBQUAD* table = qziDIBPalette(h->bi);
    // Through local pointers: the table's byte stores could otherwise be taken to change the
    // handle's fields, to be read again for every entry.
    const uint8_t(*rgb)[3] = h->rgb;
    for (int i = 0; i < n; ++i) table[i] = RGBQUAD{rgb[i][2], rgb[i][1], rgb[i][0], 0};
    if (h->alpha && h->bia) {
      RGBQUAD* alpha_table = qziDIBPalette(h->bia);
      const int alpha_n = std::min(qziDIBPaletteCount(h->bia), n);
      const uint8_t* alpha = h->rgb_alpha;
      for (int i = 0; i < alpha_n; ++i) alpha_table[i] = RGBQUAD{alpha[i], alpha[i], alpha[i], 0};
    }
  }
  QZIDEC_LAYERINFO info;
  std::memset(&info, 0, sizeof info);
  info.layer_user = h->layer_user;
  info.bi = h->bi;
  info.bi_size = qziDIBSize(h->bi);
  if (h->bia && h->alpha) {
    info.bia = h->bia;
    info.bia_size = qziDIBSize(h->bia);
  }
  if (!h->layers.empty()) fill_from_record(&info, *h->layers.front());
  return h->layer_callback(&info, index);
}

}  // namespace qzimgdecoder
