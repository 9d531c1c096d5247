// Layer list ownership and both deliveries, seen through a recording layer callback.
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
  std::vector<RGBQUAD> colours, alpha_colours;
};
std::vector<Seen> seen;
int stop_at = -1;

std::vector<RGBQUAD> table_of(const BITMAPINFO* bi) {
  if (!bi) return {};
  const RGBQUAD* t = reinterpret_cast<const RGBQUAD*>(reinterpret_cast<const uint8_t*>(bi) + 40);
  return std::vector<RGBQUAD>(t, t + bi->bmiHeader.biClrUsed);
}

int record(QZIDEC_LAYERINFO* info, int index) {
  seen.push_back(Seen{*info, index, info->name ? info->name : "(null)", info->extra_text ? info->extra_text : "(null)",
                      table_of(info->bi), table_of(info->bia)});
  return index == stop_at ? 5 : 0;
}

struct Layers : ::testing::Test {
  QZIDECODER h = qziCreateDecoder();
  void SetUp() override {
    seen.clear();
    stop_at = -1;
    qziSetDecoderLayerCallback(h, record, reinterpret_cast<void*>(0x1234));
  }
  void TearDown() override { qziCloseDecoder(h); }
  void add(int count) {
    for (int i = 0; i < count; ++i) {
      ilLayerAdd(h);
      ilSetBI(h, static_cast<uint32_t>(ilGetSize(h) - 1), qziDIBAlloc(2 + i, 2, 24, 0));
    }
  }
};

TEST_F(Layers, OutOfRange) {
  ilLayerAdd(h);
  const QZIDEC_LAYER* l = ilGetLayer(h, 0);
  ASSERT_NE(l, nullptr);

  EXPECT_EQ(ilGetLayer(h, 1), nullptr);
  EXPECT_EQ(ilGetBIA(h, 1), nullptr);
  ilSetBI(h, 1, qziDIBAlloc(2, 2, 8, 0));  // freed at once: the leak checker would see it otherwise
  ilSetBIA(h, 1, qziDIBAllocAlpha(2, 2, 8));
  ilSetName(h, 1, "x");
  ilSetAnimeFrame(h, 1, 3);
  EXPECT_EQ(ilGetSize(h), 1u);
  EXPECT_EQ(ilGetBI(h, 0), nullptr);
  EXPECT_EQ(ilGetBI(h, 1), nullptr);

  for (int i = 0; i < 1000; ++i) ilLayerAdd(h);
  EXPECT_EQ(ilGetLayer(h, 0), l) << "records stay in place while the list grows";
}

TEST_F(Layers, SharedBitmapIsFreedAfterTheLastOwner) {
  add(2);
  ilGetLayer(h, 1)->bi = ilGetLayer(h, 0)->bi;
  boost::weak_ptr<BITMAPINFO> watch = ilGetLayer(h, 0)->bi;
  ilSetBI(h, 0, qziDIBAlloc(3, 3, 24, 0));
  EXPECT_FALSE(watch.expired()) << "the second record still holds it";
  ilSetBI(h, 1, nullptr);
  EXPECT_TRUE(watch.expired());
  ilLayerClear(h);
  EXPECT_EQ(ilGetSize(h), 0u);
}

TEST_F(Layers, MultiLayerDeliveryHandsOverEveryField) {
  EXPECT_EQ(call_layercallback(h), 0) << "an empty list";
  add(3);
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
  EXPECT_EQ(seen[0].name + "/" + seen[0].extra_text, "first/more");
  EXPECT_EQ(a.bi_size, qziDIBSize(ilGetBI(h, 0)));
  EXPECT_EQ(a.bia_size, qziDIBSize(ilGetBIA(h, 0)));
  EXPECT_EQ(a.extra[3], 0xFFFFFFFFFFull);
  EXPECT_EQ((std::vector<int>{a.visible, a.attr_a, a.attr_b, static_cast<int>(a.anime_frame)}),
            (std::vector<int>{1, -4, 9, 10}));
  EXPECT_EQ(seen[1].name, "") << "an unset name is an empty string, not null";
  EXPECT_EQ(seen[1].info.bia, nullptr);
  EXPECT_EQ(seen[2].index, 2);
  EXPECT_EQ(seen[2].info.visible, 0) << "hidden records are delivered too";
  EXPECT_EQ(seen[2].info.anime_frame, 77u);

  seen.clear();
  h->alpha = false;
  stop_at = 1;
  EXPECT_EQ(call_layercallback(h), 5) << "a non-zero result ends the delivery";
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].info.bia, nullptr) << "the handle's alpha flag gates the alpha bitmap";
}

TEST_F(Layers, NoCallbackAnswers107AndWritesNothing) {
  Raster r(2, 2, 8);
  r.h->rgb[0][0] = 9;
  EXPECT_EQ(call_singleimage_layercallback(r.h, 0), QZIERR_INVALID_ARG);
  EXPECT_EQ(call_layercallback(r.h), QZIERR_INVALID_ARG);
  EXPECT_EQ(qziDIBPalette(r.h->bi)[0].rgbRed, 0);
}

TEST_F(Layers, SingleDeliveryFillsTheColourTables) {
  Raster r(2, 2, 8, true);
  qziSetDecoderLayerCallback(r.h, record, reinterpret_cast<void*>(42));
  r.h->rgb[0][0] = 30;  // red, green, blue
  r.h->rgb[0][1] = 20;
  r.h->rgb[0][2] = 10;
  r.h->rgb_alpha[0] = 99;
  EXPECT_EQ(call_singleimage_layercallback(r.h, 0), 0);
  ASSERT_EQ(seen.size(), 1u);
  const Seen& s = seen[0];
  ASSERT_EQ(s.colours.size(), 256u);
  ASSERT_GE(s.alpha_colours.size(), s.colours.size());
  const RGBQUAD c = s.colours[0], a = s.alpha_colours[0];
  EXPECT_EQ((std::vector<int>{c.rgbBlue, c.rgbGreen, c.rgbRed, c.rgbReserved}), (std::vector<int>{10, 20, 30, 0}));
  EXPECT_EQ((std::vector<int>{a.rgbBlue, a.rgbGreen, a.rgbRed}), (std::vector<int>{99, 99, 99}));
  EXPECT_EQ(s.colours[200].rgbRed, 200);
  EXPECT_EQ(s.alpha_colours[1].rgbGreen, 255);
  EXPECT_EQ(s.info.layer_user, 42u);
  EXPECT_EQ(s.name + "/" + s.extra_text, "(null)/(null)") << "no layer record, no texts";
  EXPECT_EQ(s.info.bi_size, qziDIBSize(r.h->bi));
  EXPECT_EQ(s.info.bia_size, qziDIBSize(r.h->bia));
}

TEST_F(Layers, SingleDeliveryTakesTextsFromTheFirstRecordAndHonoursClearedAlpha) {
  Raster r(2, 2, 24, true);
  qziSetDecoderLayerCallback(r.h, record, nullptr);
  ilLayerAdd(r.h);
  ilSetName(r.h, 0, "top");
  ilSetInvisible(r.h, 0, false);
  ilSetAnimeFrame(r.h, 0, 5);
  reset_alpha(r.h);
  stop_at = 3;
  EXPECT_EQ(call_singleimage_layercallback(r.h, 3), 5) << "the callback's result comes back";
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].info.bia, nullptr);
  EXPECT_EQ(seen[0].info.bia_size, 0u);
  EXPECT_EQ(seen[0].name, "top");
  EXPECT_EQ(seen[0].info.visible, 1);
  EXPECT_EQ(seen[0].info.anime_frame, 0u) << "the single delivery leaves the frame value 0";
}

}  // namespace
