// Layer list ownership and both deliveries, seen through a recording layer callback.
#include <gtest/gtest.h>

#include <boost/weak_ptr.hpp>

#include <string>
#include <vector>

#include "frame_util.h"

using namespace qzimgdecoder;

namespace {

struct Seen {
  QZIDEC_LAYERINFO info;
  int index;
  std::string name, extra_text;
  bool name_null, extra_null;
  std::vector<RGBQUAD> colours, alpha_colours;
};

std::vector<Seen> seen;
int stop_at = -1;

int record(QZIDEC_LAYERINFO* info, int index) {
  Seen s{*info, index, info->name ? info->name : "", info->extra_text ? info->extra_text : "",
         info->name == nullptr, info->extra_text == nullptr, {}, {}};
  if (info->bi) {
    const RGBQUAD* t = reinterpret_cast<const RGBQUAD*>(reinterpret_cast<const uint8_t*>(info->bi) + 40);
    s.colours.assign(t, t + info->bi->bmiHeader.biClrUsed);
  }
  if (info->bia) {
    const RGBQUAD* t = reinterpret_cast<const RGBQUAD*>(reinterpret_cast<const uint8_t*>(info->bia) + 40);
    s.alpha_colours.assign(t, t + info->bia->bmiHeader.biClrUsed);
  }
  seen.push_back(s);
  return index == stop_at ? 5 : 0;
}

struct LayerList : ::testing::Test {
  QZIDECODER h = qziCreateDecoder();
  void SetUp() override {
    seen.clear();
    stop_at = -1;
  }
  void TearDown() override { qziCloseDecoder(h); }
};

TEST_F(LayerList, NewRecordDefaults) {
  ilLayerAdd(h);
  ASSERT_EQ(ilGetSize(h), 1u);
  const QZIDEC_LAYER* l = ilGetLayer(h, 0);
  ASSERT_NE(l, nullptr);
  EXPECT_FALSE(l->bi);
  EXPECT_FALSE(l->bia);
  EXPECT_TRUE(l->name.empty());
  EXPECT_TRUE(l->extra_text.empty());
  EXPECT_EQ(l->extra[0] | l->extra[1] | l->extra[2] | l->extra[3], 0u);
  EXPECT_FALSE(l->visible);
  EXPECT_EQ(l->attr_a, 100);
  EXPECT_EQ(l->attr_b, 0);
  EXPECT_EQ(l->anime_frame, 10u);
}

TEST_F(LayerList, OutOfRangeIsQuiet) {
  ilLayerAdd(h);
  EXPECT_EQ(ilGetLayer(h, 1), nullptr);
  EXPECT_EQ(ilGetBI(h, 1), nullptr);
  EXPECT_EQ(ilGetBIA(h, 7), nullptr);
  ilSetBI(h, 1, qziDIBAlloc(2, 2, 8, 0));   // freed at once; the leak checker would see otherwise
  ilSetBIA(h, 1, qziDIBAllocAlpha(2, 2, 8));
  ilSetName(h, 1, "x");
  ilSetInvisible(h, 1, false);
  ilSetAnimeFrame(h, 1, 3);
  EXPECT_EQ(ilGetSize(h), 1u);
  EXPECT_EQ(ilGetBI(h, 0), nullptr);
}

TEST_F(LayerList, RecordsStayInPlaceWhileTheListGrows) {
  ilLayerAdd(h);
  QZIDEC_LAYER* first = ilGetLayer(h, 0);
  for (int i = 0; i < 1000; ++i) ilLayerAdd(h);
  EXPECT_EQ(ilGetLayer(h, 0), first);
}

TEST_F(LayerList, SharedBitmapIsFreedAfterTheLastOwner) {
  ilLayerAdd(h);
  ilLayerAdd(h);
  ilSetBI(h, 0, qziDIBAlloc(2, 2, 24, 0));
  ilGetLayer(h, 1)->bi = ilGetLayer(h, 0)->bi;  // two records share one picture
  boost::weak_ptr<BITMAPINFO> watch = ilGetLayer(h, 0)->bi;
  ilSetBI(h, 0, qziDIBAlloc(3, 3, 24, 0));  // replaced in the first record
  EXPECT_FALSE(watch.expired()) << "the second record still holds it";
  EXPECT_EQ(ilGetBI(h, 1)->bmiHeader.biWidth, 2);
  ilSetBI(h, 1, nullptr);
  EXPECT_TRUE(watch.expired());
  ilLayerClear(h);
  EXPECT_EQ(ilGetSize(h), 0u);
}

TEST_F(LayerList, MultiLayerDeliveryHandsOverEveryField) {
  EXPECT_EQ(call_layercallback(h), QZIERR_INVALID_ARG) << "no callback";
  qziSetDecoderLayerCallback(h, record, reinterpret_cast<void*>(0x1234));
  EXPECT_EQ(call_layercallback(h), 0) << "empty list";
  EXPECT_TRUE(seen.empty());

  for (int i = 0; i < 3; ++i) {
    ilLayerAdd(h);
    ilSetBI(h, i, qziDIBAlloc(2 + i, 2, 24, 0));
  }
  ilSetBIA(h, 0, qziDIBAllocAlpha(2, 2, 24));
  ilSetName(h, 0, "first");
  ilSetName(h, 1, "gone");
  ilSetName(h, 1, nullptr);
  ilSetInvisible(h, 0, false);
  ilSetInvisible(h, 2, true);
  ilSetAnimeFrame(h, 2, 77);
  QZIDEC_LAYER* l = ilGetLayer(h, 0);
  l->extra_text = "more";
  l->extra[3] = 0xFFFFFFFFFFull;
  l->attr_a = -4;
  l->attr_b = 9;
  h->alpha = true;

  EXPECT_EQ(call_layercallback(h), 0);
  ASSERT_EQ(seen.size(), 3u);
  const QZIDEC_LAYERINFO& a = seen[0].info;
  EXPECT_EQ(a.layer_user, 0x1234u);
  EXPECT_EQ(seen[0].index, 0);
  EXPECT_EQ(seen[0].name, "first");
  EXPECT_EQ(seen[0].extra_text, "more");
  EXPECT_EQ(a.bi_size, qziDIBSize(ilGetBI(h, 0)));
  EXPECT_NE(a.bia, nullptr);
  EXPECT_EQ(a.bia_size, qziDIBSize(ilGetBIA(h, 0)));
  EXPECT_EQ(a.extra[3], 0xFFFFFFFFFFull);
  EXPECT_EQ(a.visible, 1);
  EXPECT_EQ(a.attr_a, -4);
  EXPECT_EQ(a.attr_b, 9);
  EXPECT_EQ(a.anime_frame, 10u);
  EXPECT_FALSE(seen[1].name_null) << "an unset name is handed over as an empty string";
  EXPECT_EQ(seen[1].name, "");
  EXPECT_EQ(seen[1].info.bia, nullptr);
  EXPECT_EQ(seen[2].info.visible, 0) << "hidden records are still delivered";
  EXPECT_EQ(seen[2].info.anime_frame, 77u);
  EXPECT_EQ(seen[2].info.bi->bmiHeader.biWidth, 4);

  h->alpha = false;
  seen.clear();
  call_layercallback(h);
  EXPECT_EQ(seen[0].info.bia, nullptr) << "the handle's alpha flag gates the alpha bitmap";
}

TEST_F(LayerList, MultiLayerDeliveryStopsAtANonZeroResult) {
  qziSetDecoderLayerCallback(h, record, nullptr);
  for (int i = 0; i < 3; ++i) {
    ilLayerAdd(h);
    ilSetBI(h, i, qziDIBAlloc(2, 2, 8, 0));
  }
  stop_at = 1;
  EXPECT_EQ(call_layercallback(h), 5);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].index, 1);
}

TEST(SingleDelivery, WithoutCallbackLeavesTheColourTable) {
  seen.clear();
  Raster r(2, 2, 8);
  EXPECT_EQ(call_singleimage_layercallback(r.h, 0), QZIERR_INVALID_ARG);
  EXPECT_EQ(qziDIBPalette(r.h->bi)[255].rgbRed, 0);
}

TEST(SingleDelivery, PaletteAndAlphaTablesAreFilled) {
  seen.clear();
  stop_at = -1;
  Raster r(2, 2, 8, true);
  qziSetDecoderLayerCallback(r.h, record, reinterpret_cast<void*>(42));
  r.h->rgb[0][0] = 30;  // red
  r.h->rgb[0][1] = 20;
  r.h->rgb[0][2] = 10;  // blue
  r.h->rgb_alpha[0] = 99;
  EXPECT_EQ(call_singleimage_layercallback(r.h, 0), 0);
  ASSERT_EQ(seen.size(), 1u);
  const Seen& s = seen[0];
  ASSERT_EQ(s.colours.size(), 256u);
  EXPECT_EQ(s.colours[0].rgbBlue, 10);
  EXPECT_EQ(s.colours[0].rgbGreen, 20);
  EXPECT_EQ(s.colours[0].rgbRed, 30);
  EXPECT_EQ(s.colours[0].rgbReserved, 0);
  EXPECT_EQ(s.colours[200].rgbRed, 200) << "grey ramp";
  ASSERT_GE(s.alpha_colours.size(), s.colours.size());
  EXPECT_EQ(s.alpha_colours[0].rgbBlue, 99);
  EXPECT_EQ(s.alpha_colours[0].rgbRed, 99);
  EXPECT_EQ(s.alpha_colours[1].rgbGreen, 255);
  EXPECT_EQ(s.info.layer_user, 42u);
  EXPECT_TRUE(s.name_null);
  EXPECT_TRUE(s.extra_null);
  EXPECT_EQ(s.info.visible, 0);
  EXPECT_EQ(s.info.anime_frame, 0u);
  EXPECT_EQ(s.info.bi_size, qziDIBSize(r.h->bi));
  EXPECT_EQ(s.info.bia_size, qziDIBSize(r.h->bia));
}

TEST(SingleDelivery, ClearedAlphaSendsNoAlphaBitmapAndRecordFieldsComeFromTheFirstLayer) {
  seen.clear();
  stop_at = 3;
  Raster r(2, 2, 24, true);
  qziSetDecoderLayerCallback(r.h, record, nullptr);
  ilLayerAdd(r.h);
  ilSetName(r.h, 0, "top");
  ilSetInvisible(r.h, 0, false);
  ilSetAnimeFrame(r.h, 0, 5);
  reset_alpha(r.h);
  EXPECT_EQ(call_singleimage_layercallback(r.h, 3), 5) << "the callback's result comes back";
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].info.bia, nullptr);
  EXPECT_EQ(seen[0].info.bia_size, 0u);
  EXPECT_EQ(seen[0].name, "top");
  EXPECT_EQ(seen[0].info.visible, 1);
  EXPECT_EQ(seen[0].info.anime_frame, 0u);
  EXPECT_EQ(seen[0].index, 3);
}

}  // namespace
