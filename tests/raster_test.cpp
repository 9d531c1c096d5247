// Raster: size declaration, palette, row arithmetic and writers, remapping.
#include <cstring>

#include "bmp_writer.h"
#include "frame_util.h"
#include "qzi_decode.h"

using namespace qzimgdecoder;

namespace {

TEST(SetSize, LimitsAndColourCounts) {
  struct Case {
    int w, rows, bpp, colors, stored;  // stored -1: refused
  } cases[] = {
      {12800, 12800, 48, 0, 0}, {1, 1, 8, 1000, 256}, {1, 1, 4, 20, 16}, {1, 1, 24, 5, 5}, {1, 1, 32, 1000, 1000},
      {12801, 1, 8, 0, -1},     {1, 12801, 8, 0, -1}, {1, 1, 49, 0, -1},  {1, 1, 0, 0, -1}, {0, 1, 8, 0, -1},
      {1, 0, 8, 0, -1},         {1, 1, 8, -1, -1},
  };
  for (const Case& c : cases) {
    StreamHandle t({});
    EXPECT_EQ(raised([&] { set_size(t.h, c.w, c.rows, c.bpp, c.colors); }), c.stored < 0 ? QZIERR_UNSUPPORTED : -1)
        << c.w << "x" << c.rows << " bpp " << c.bpp;
    if (c.stored >= 0) {
      EXPECT_EQ(t.h->colors, c.stored);
    }
  }
}

TEST(SetSize, OnceFixedOnlyTheSameDeclarationPasses) {
  Raster r(10, 10, 8);
  EXPECT_EQ(raised([&] { set_size(r.h, 10, 10, 8, 0); }), -1);
  for (int change = 0; change < 4; ++change) {
    EXPECT_EQ(raised([&] { set_size(r.h, 10 + (change == 0), 10 - (change == 1), 8 - 4 * (change == 2), change == 3); }),
              QZIERR_UNSUPPORTED)
        << "change " << change;
  }
  EXPECT_EQ(r.h->width, 10);
}

TEST(Palette, GreyRampsAndReadEntries) {
  StreamHandle t({10, 20, 30, 40, 50, 60, 70, 80});
  t.h->rgb[4][0] = 77;
  t.h->alpha_default = 9;
  init_rgb(t.h, 2);
  EXPECT_EQ(t.h->rgb[4][0], 77) << "entries past 2^bits keep their values";
  EXPECT_EQ(t.h->rgb_alpha[255], 9);
  init_rgb(t.h, 8);

  get_rgb(t.h, 0, 1, 0);
  EXPECT_EQ(t.h->rgb[5][0], 5) << "count 0 changes nothing";
  get_rgb(t.h, 2, 1, 0);  // blue, green, red
  EXPECT_EQ((std::vector<int>{t.h->rgb[0][0], t.h->rgb[0][1], t.h->rgb[0][2], t.h->rgb[1][0]}),
            (std::vector<int>{30, 20, 10, 60}));
  EXPECT_EQ(t.h->rgb[2][0] | t.h->rgb[255][2], 0) << "the rest turns black";
  rdpos_set(t.h, 0);
  get_rgb(t.h, 2, 0, 1);  // red, green, blue, alpha
  EXPECT_EQ((std::vector<int>{t.h->rgb[0][0], t.h->rgb[0][2], t.h->rgb_alpha[0], t.h->rgb_alpha[1], t.h->rgb_alpha[2]}),
            (std::vector<int>{10, 30, 40, 80, 9}));

  StreamHandle big(std::vector<uint8_t>(300 * 3, 1));
  get_rgb(big.h, 300, 1, 0);
  EXPECT_EQ(rdpos_get(big.h), 256u * 3) << "at most 256 entries are read";
}

// A table the buffer holds whole is read in one pass, one that runs across a refill byte by
// byte: the same entries, in both orders, and the same position after it.
TEST(Palette, BufferedAndSplitTablesAlike) {
  std::vector<uint8_t> bytes(kReadBufferSize + 2000);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 13 + i / 256);
  for (uint32_t at : {1u, kReadBufferSize - 10}) {
    for (int bgr : {0, 1}) {
      for (int with_alpha : {0, 1}) {
        SCOPED_TRACE(testing::Message() << "at " << at << " bgr " << bgr << " alpha " << with_alpha);
        StreamHandle t(bytes);
        skip_bytes(t.h, at);
        get_rgb(t.h, 300, bgr, with_alpha);
        const uint32_t entry = 3 + with_alpha;
        EXPECT_EQ(rdpos_get(t.h), at + 256 * entry) << "at most 256 entries";
        int wrong = 0;
        for (uint32_t i = 0; i < 256; ++i) {
          const uint8_t* e = &bytes[at + i * entry];
          wrong += t.h->rgb[i][0] != e[bgr ? 2 : 0] || t.h->rgb[i][1] != e[1] || t.h->rgb[i][2] != e[bgr ? 0 : 2];
          wrong += t.h->rgb_alpha[i] != (with_alpha ? e[3] : t.h->alpha_default);
        }
        EXPECT_EQ(wrong, 0);
      }
    }
  }
}

TEST(Rows, AddressesAreBottomUpAndChecked) {
  for (int bpp : {8, 24}) {
    Raster r(5, 4, bpp, true);
    EXPECT_EQ(y_adr(r.h, 3), r.h->bits) << "row 0 is the top, the last in memory";
    EXPECT_EQ(r.h->alpha_line != nullptr, bpp > 8);
    for (int bad : {-1, 4}) {
      EXPECT_EQ(raised([&] { y_adr(r.h, bad); }), QZIERR_UNSUPPORTED);
      EXPECT_EQ(raised([&] { put_line(r.h, bad); }), QZIERR_UNSUPPORTED);
    }
  }
  Raster plain(5, 4, 24, false);
  EXPECT_EQ(alpha_y_adr(plain.h, 1), nullptr);
  EXPECT_EQ(raised([&] { alpha_y_adr(plain.h, 4); }), QZIERR_UNSUPPORTED) << "range comes first";
  EXPECT_EQ(raised([&] { put_alpha_line(plain.h, 1); }), -1);
}

TEST(Rows, Writers) {
  Raster r(3, 2, 24, true);
  std::memset(r.h->bits, 0xEE, r.bi->bmiHeader.biSizeImage);  // the bitmap arrives uncleared
  for (int i = 0; i < 9; ++i) r.h->line_buf[i] = static_cast<uint8_t>(i + 1);
  r.h->alpha_line[0] = 200;
  put_line(r.h, 0);
  put_alpha_line(r.h, 0);
  EXPECT_EQ(y_adr(r.h, 0)[8], 9);
  EXPECT_EQ(alpha_y_adr(r.h, 0)[0], 200);
  EXPECT_EQ(y_adr(r.h, 1)[0], 0xEE) << "other rows untouched";
  EXPECT_EQ(alpha_y_adr(r.h, 1)[0], 0) << "a plane announced before the set-up comes cleared";

  std::vector<uint8_t> src(36);
  for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<uint8_t>(i + 1);
  Raster b(4, 3, 24);
  std::memset(b.h->bits, 0, b.bi->bmiHeader.biSizeImage);
  EXPECT_EQ(put_buf(b.h, 1, 1, 2, 5, 12, src.data()), 0) << "rows past the last are skipped";
  EXPECT_EQ((std::vector<int>{y_adr(b.h, 1)[0], y_adr(b.h, 1)[3], y_adr(b.h, 2)[3], y_adr(b.h, 0)[3]}),
            (std::vector<int>{0, 1, 13, 0}));
  EXPECT_EQ(raised([&] { put_buf(b.h, 0, 3, 1, 1, 0, src.data()); }), QZIERR_UNSUPPORTED);

  Raster p(4, 1, 8);
  put_nbyte(p.h, 1, 2, 0x1ff);
  put_nbyte(p.h, 0, -3, 7);
  EXPECT_EQ((std::vector<int>{p.h->line_buf[0], p.h->line_buf[1], p.h->line_buf[2]}), (std::vector<int>{0, 255, 255}));
  EXPECT_EQ(raised([&] { put_nbyte(p.h, 3, 2, 5); }), QZIERR_UNSUPPORTED);
  EXPECT_EQ(p.h->line_buf[3], 5) << "the last pixel is written before the raise";
  EXPECT_EQ(raised([&] { put_nbyte(p.h, -1, 1, 5); }), QZIERR_UNSUPPORTED);

  Raster e(3, 1, 4);
  e.h->line_buf[3] = 0x77;
  const uint8_t packed[] = {0xAB, 0xCD};
  ext4_buf(e.h, packed);
  EXPECT_EQ((std::vector<int>{e.h->line_buf[0], e.h->line_buf[1], e.h->line_buf[2], e.h->line_buf[3]}),
            (std::vector<int>{0x0A, 0x0B, 0x0C, 0x77}));
}

// The alpha plane exists only once something takes it: a picture that cannot deliver one
// (24 bits) or whose alpha is all 0 never has one; a later take keeps the plane it has.
TEST(Rows, AlphaPlaneTakenOnDemand) {
  Raster r(3, 2, 24);
  EXPECT_EQ(r.h->alpha_bits, nullptr);
  take_alpha_plane(r.h, true);
  ASSERT_NE(r.h->alpha_bits, nullptr);
  EXPECT_TRUE(r.h->alpha);
  EXPECT_EQ(r.h->alpha_line, r.h->work);
  EXPECT_EQ(r.bia.get(), r.h->bia) << "the execution owns it";
  EXPECT_EQ(std::vector<uint8_t>(r.h->alpha_bits, r.h->alpha_bits + 8), std::vector<uint8_t>(8, 0));
  uint8_t* const plane = r.h->alpha_bits;
  take_alpha_plane(r.h, false);
  EXPECT_EQ(r.h->alpha_bits, plane);

  struct Seen {
    QZIDECODER_IMPL* h;
    bool plane = true;
  };
  const auto on_layer = [](QZIDEC_LAYERINFO* info, int) {
    Seen* s = reinterpret_cast<Seen*>(info->layer_user);
    s->plane = s->h->alpha_bits != nullptr;
    return 0;
  };
  for (const int bits : {24, 32}) {
    bmpw::Layout layout;
    layout.bit_count = static_cast<uint16_t>(bits);
    layout.pixels = bmpw::rows(bits, layout.width, layout.height, [](int, int) { return 0x00808080u; });
    qzi_test::Session s;
    ASSERT_EQ(s.init(bmpw::file(layout)), 0);
    Seen seen{s.h};
    qziSetDecoderLayerCallback(s.h, on_layer, &seen);
    EXPECT_EQ(qziDecoderExecute(s.h), 0);
    EXPECT_FALSE(seen.plane) << bits << " bits";
  }
}

// Colour table A, B, C, D with pixels 0 1 2 3 in each row, under the remap table 2, 0, 3, 1.
struct Remap : ::testing::Test {
  BITMAPINFO* bi = qziDIBAlloc(4, 2, 2, 4);
  uint8_t table[256] = {2, 0, 3, 1};
  void SetUp() override {
    for (int i = 0; i < 4; ++i) qziDIBPalette(bi)[i] = RGBQUAD{uint8_t('A' + i), 0, 0, 0};
    for (int i = 0; i < 8; ++i) qziDIBBits(bi)[i] = static_cast<uint8_t>(i % 4);
  }
  void TearDown() override { qzifree(bi); }
  std::string colours() {
    std::string s;
    for (int i = 0; i < 4; ++i) s += static_cast<char>(qziDIBPalette(bi)[i].rgbBlue);
    return s;
  }
  std::vector<int> pixels() { return std::vector<int>(qziDIBBits(bi), qziDIBBits(bi) + 8); }
};

TEST_F(Remap, PaletteImageAndBoth) {
  RemapPalette(bi, table);
  EXPECT_EQ(colours(), "CADB");
  EXPECT_EQ(pixels(), (std::vector<int>{0, 1, 2, 3, 0, 1, 2, 3}));
  RemapImageConvert(bi, table);
  EXPECT_EQ(pixels(), (std::vector<int>{1, 3, 0, 2, 1, 3, 0, 2}));
  TearDown();
  bi = qziDIBAlloc(4, 2, 2, 4);
  SetUp();
  RemapPaletteImage(bi, table, false, false);
  EXPECT_EQ(colours(), "ABCD");
  RemapPaletteImage(bi, table, true, true);
  for (int x = 0; x < 4; ++x) EXPECT_EQ(colours()[pixels()[x]], 'A' + x) << "every pixel keeps its colour";
}

TEST_F(Remap, UnlistedIndexAndEmptyHeight) {
  bi->bmiHeader.biHeight = -2;
  RemapImageConvert(bi, table);
  bi->bmiHeader.biHeight = 2;
  EXPECT_EQ(pixels()[1], 1) << "a bitmap without positive height keeps its pixels";
  const uint8_t t[256] = {0, 0, 1, 2};
  RemapImageConvert(bi, t);
  EXPECT_EQ(pixels()[3], 4) << "an index the table does not list becomes the count";
}

}  // namespace
