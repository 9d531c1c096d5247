// Raster: size declaration, palette, row arithmetic and writers, remapping.
#include <gtest/gtest.h>

#include "frame_util.h"
#include "test_stream.h"

using namespace qzimgdecoder;

namespace {

TEST(SetSize, Limits) {
  struct Case {
    int w, rows, bpp, colors;
    bool ok;
  } cases[] = {
      {12800, 12800, 48, 0, true}, {1, 1, 1, 0, true},      {12801, 1, 8, 0, false}, {1, 12801, 8, 0, false},
      {1, 1, 49, 0, false},        {1, 1, 0, 0, false},     {0, 1, 8, 0, false},     {1, 0, 8, 0, false},
      {1, 1, 8, -1, false},        {-5, 1, 8, 0, false},
  };
  for (const Case& c : cases) {
    QZIDECODER h = qziCreateDecoder();
    raster_init(h);
    EXPECT_EQ(raised([&] { set_size(h, c.w, c.rows, c.bpp, c.colors); }), c.ok ? -1 : QZIERR_UNSUPPORTED)
        << c.w << "x" << c.rows << " bpp " << c.bpp << " colors " << c.colors;
    qziCloseDecoder(h);
  }
}

TEST(SetSize, ColourCountIsCappedByDepth) {
  struct Case {
    int bpp, colors, stored;
  } cases[] = {{8, 1000, 256}, {4, 0, 0}, {4, 20, 16}, {24, 5, 5}, {1, 3, 2}, {32, 1000, 1000}};
  for (const Case& c : cases) {
    QZIDECODER h = qziCreateDecoder();
    raster_init(h);
    set_size(h, 2, 2, c.bpp, c.colors);
    EXPECT_EQ(h->colors, c.stored) << "bpp " << c.bpp;
    qziCloseDecoder(h);
  }
}

TEST(SetSize, OnlyConfirmsOnceFixed) {
  Raster r(10, 10, 8);
  EXPECT_EQ(raised([&] { set_size(r.h, 10, 10, 8, 0); }), -1);
  EXPECT_EQ(raised([&] { set_size(r.h, 5, 3, 4, 0); }), -1);
  EXPECT_EQ(r.h->width, 10);
  EXPECT_EQ(r.h->bpp, 8);
  EXPECT_EQ(raised([&] { set_size(r.h, 11, 10, 8, 0); }), QZIERR_UNSUPPORTED);
  EXPECT_EQ(raised([&] { set_size(r.h, 10, 11, 8, 0); }), QZIERR_UNSUPPORTED);
  EXPECT_EQ(raised([&] { set_size(r.h, 10, 10, 9, 0); }), QZIERR_UNSUPPORTED);
}

TEST(Palette, GreyRamps) {
  QZIDECODER h = qziCreateDecoder();
  raster_init(h);
  h->rgb[4][0] = 77;
  h->alpha_default = 9;
  init_rgb(h, 2);
  const uint8_t ramp[] = {0, 85, 170, 255};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(h->rgb[i][1], ramp[i]);
  EXPECT_EQ(h->rgb[4][0], 77) << "entries past 2^bits keep their values";
  for (int bits : {0, 9, 8}) {
    init_rgb(h, bits);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(h->rgb[i][2], i);
  }
  for (int i = 0; i < 256; ++i) ASSERT_EQ(h->rgb_alpha[i], 9);
  qziCloseDecoder(h);
}

TEST(Palette, ReadsEntriesInEitherOrder) {
  QZIDECODER h = qziCreateDecoder();
  MemStream s({10, 20, 30, 40, 50, 60, 70, 80});
  h->stream = &s;
  h->read_func = MemStream::read;
  h->setpos_func = MemStream::setpos;
  raster_init(h);
  get_rgb(h, 0, 1, 0);
  EXPECT_EQ(h->rgb[5][0], 5) << "count 0 changes nothing";
  get_rgb(h, 2, 1, 0);
  EXPECT_EQ(h->rgb[0][0], 30);
  EXPECT_EQ(h->rgb[0][1], 20);
  EXPECT_EQ(h->rgb[0][2], 10);
  EXPECT_EQ(h->rgb[1][0], 60);
  EXPECT_EQ(h->rgb[1][2], 40);
  EXPECT_EQ(h->rgb[2][0] | h->rgb[255][1] | h->rgb[255][2], 0) << "the rest turns black";
  rdpos_set(h, 0);
  get_rgb(h, 2, 0, 1);  // red, green, blue, alpha
  EXPECT_EQ(h->rgb[0][0], 10);
  EXPECT_EQ(h->rgb[0][2], 30);
  EXPECT_EQ(h->rgb_alpha[0], 40);
  EXPECT_EQ(h->rgb_alpha[1], 80);
  EXPECT_EQ(h->rgb_alpha[2], 255);
  qziCloseDecoder(h);
}

TEST(Palette, ReadsAtMost256Entries) {
  QZIDECODER h = qziCreateDecoder();
  MemStream s(std::vector<uint8_t>(300 * 3, 1));
  h->stream = &s;
  h->read_func = MemStream::read;
  h->setpos_func = MemStream::setpos;
  raster_init(h);
  get_rgb(h, 300, 1, 0);
  EXPECT_EQ(rdpos_get(h), 256u * 3);
  qziCloseDecoder(h);
}

TEST(Rows, AddressesAreBottomUp) {
  for (int bpp : {8, 24}) {
    Raster r(5, 4, bpp, true);
    const int stride = bpp == 8 ? 8 : 16;
    EXPECT_EQ(r.h->width_bytes, stride);
    EXPECT_EQ(y_adr(r.h, 3), r.h->bits);
    EXPECT_EQ(y_adr(r.h, 0), r.h->bits + 3 * stride);
    EXPECT_EQ(alpha_y_adr(r.h, 0), r.h->alpha_bits + 3 * 8);
    EXPECT_EQ(raised([&] { y_adr(r.h, -1); }), QZIERR_UNSUPPORTED);
    EXPECT_EQ(raised([&] { y_adr(r.h, 4); }), QZIERR_UNSUPPORTED);
    EXPECT_EQ(r.h->alpha_line != nullptr, bpp > 8);
  }
}

TEST(Rows, AlphaRowWithoutPlane) {
  Raster r(5, 4, 24, false);
  EXPECT_EQ(alpha_y_adr(r.h, 1), nullptr);
  EXPECT_EQ(raised([&] { alpha_y_adr(r.h, 4); }), QZIERR_UNSUPPORTED) << "range comes first";
  EXPECT_EQ(raised([&] { put_alpha_line(r.h, 1); }), -1);
}

TEST(Rows, PutLineAndAlphaLine) {
  Raster r(3, 2, 24, true);
  for (int i = 0; i < 9; ++i) r.h->line_buf[i] = static_cast<uint8_t>(i + 1);
  r.h->alpha_line[0] = 200;
  put_line(r.h, 0);
  put_alpha_line(r.h, 0);
  EXPECT_EQ(y_adr(r.h, 0)[8], 9);
  EXPECT_EQ(alpha_y_adr(r.h, 0)[0], 200);
  EXPECT_EQ(y_adr(r.h, 1)[0], 0);
  EXPECT_EQ(raised([&] { put_line(r.h, 2); }), QZIERR_UNSUPPORTED);
}

TEST(Rows, PutNbyteStopsAtTheRowEnd) {
  Raster r(4, 1, 8);
  put_nbyte(r.h, 1, 2, 0x1ff);
  EXPECT_EQ(r.h->line_buf[0], 0);
  EXPECT_EQ(r.h->line_buf[1], 0xff);
  EXPECT_EQ(r.h->line_buf[2], 0xff);
  put_nbyte(r.h, 0, 0, 7);
  put_nbyte(r.h, 0, -3, 7);
  EXPECT_EQ(r.h->line_buf[0], 0);
  EXPECT_EQ(raised([&] { put_nbyte(r.h, 3, 2, 5); }), QZIERR_UNSUPPORTED);
  EXPECT_EQ(r.h->line_buf[3], 5) << "the last pixel is written before the raise";
  EXPECT_EQ(raised([&] { put_nbyte(r.h, -1, 1, 5); }), QZIERR_UNSUPPORTED);
}

TEST(Rows, Ext4WidensHighNibbleFirst) {
  Raster r(3, 1, 4);
  r.h->line_buf[3] = 0x77;
  const uint8_t src[] = {0xAB, 0xCD};
  ext4_buf(r.h, src);
  EXPECT_EQ(r.h->line_buf[0], 0x0A);
  EXPECT_EQ(r.h->line_buf[1], 0x0B);
  EXPECT_EQ(r.h->line_buf[2], 0x0C);
  EXPECT_EQ(r.h->line_buf[3], 0x77);
}

TEST(Rows, PutBufCopiesExistingRows) {
  Raster r(4, 3, 24);
  std::vector<uint8_t> src(4 * 3 * 5);
  for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<uint8_t>(i + 1);
  EXPECT_EQ(put_buf(r.h, 1, 1, 2, 5, 12, src.data()), 0);
  EXPECT_EQ(y_adr(r.h, 1)[3], 1);
  EXPECT_EQ(y_adr(r.h, 1)[0], 0);
  EXPECT_EQ(y_adr(r.h, 2)[3], 13);
  EXPECT_EQ(y_adr(r.h, 0)[3], 0);
  EXPECT_EQ(raised([&] { put_buf(r.h, 0, 3, 1, 1, 0, src.data()); }), QZIERR_UNSUPPORTED);
}

TEST(Rows, WorkBufferCoversThe24BitRowAtAnyDepth) {
  Raster r(7, 1, 1);
  EXPECT_EQ(r.h->line_buf - r.h->work_buf.get(), qziWidthBytes(7));
  EXPECT_EQ(r.h->width_bytes, 8);
}

// The colour table A, B, C, D under the remap table 2, 0, 3, 1.
struct Remap : ::testing::Test {
  BITMAPINFO* bi = qziDIBAlloc(4, 2, 2, 4);
  const uint8_t table[256] = {2, 0, 3, 1};
  void SetUp() override {
    RGBQUAD* pal = qziDIBPalette(bi);
    for (int i = 0; i < 4; ++i) pal[i] = RGBQUAD{uint8_t('A' + i), 0, 0, 0};
    uint8_t* bits = qziDIBBits(bi);
    for (int y = 0; y < 2; ++y)
      for (int x = 0; x < 4; ++x) bits[y * 4 + x] = static_cast<uint8_t>(x);
  }
  void TearDown() override { qzifree(bi); }
  std::string colours() {
    std::string s;
    for (int i = 0; i < 4; ++i) s += static_cast<char>(qziDIBPalette(bi)[i].rgbBlue);
    return s;
  }
  std::vector<int> row(int y) { return {qziDIBBits(bi)[y * 4], qziDIBBits(bi)[y * 4 + 1], qziDIBBits(bi)[y * 4 + 2], qziDIBBits(bi)[y * 4 + 3]}; }
};

TEST_F(Remap, PaletteOnly) {
  RemapPalette(bi, table);
  EXPECT_EQ(colours(), "CADB");
  EXPECT_EQ(row(0), (std::vector<int>{0, 1, 2, 3}));
}

TEST_F(Remap, ImageOnly) {
  RemapImageConvert(bi, table);
  EXPECT_EQ(row(0), (std::vector<int>{1, 3, 0, 2}));
  EXPECT_EQ(row(1), (std::vector<int>{1, 3, 0, 2}));
}

TEST_F(Remap, BothKeepEveryPixelsColour) {
  const std::string before = colours();
  RemapPaletteImage(bi, table, true, true);
  const std::string after = colours();
  for (int x = 0; x < 4; ++x) EXPECT_EQ(after[row(0)[x]], before[x]);
  RemapPaletteImage(bi, table, false, false);
  EXPECT_EQ(colours(), after);
}

TEST_F(Remap, UnlistedIndexBecomesTheCount) {
  const uint8_t t[256] = {0, 0, 1, 2};
  RemapImageConvert(bi, t);
  EXPECT_EQ(row(0)[3], 4);
}

TEST_F(Remap, NonPositiveHeightKeepsPixels) {
  bi->bmiHeader.biHeight = 0;
  RemapImageConvert(bi, table);
  bi->bmiHeader.biHeight = -2;
  RemapImageConvert(bi, table);
  bi->bmiHeader.biHeight = 2;
  EXPECT_EQ(row(0), (std::vector<int>{0, 1, 2, 3}));
}

}  // namespace
