// BMP module through the public API: header forms and limits, pixel forms, alpha decision,
// run-length codes, truncation, progress and parameters. Files are built by bmp_writer.h.
#include <gtest/gtest.h>

#include <algorithm>

#include "bmp_decode.h"
#include "bmp_writer.h"

using bmpt::decode;
using bmpt::Options;
using bmpt::px;
using bmpt::Result;
using bmpw::Bytes;
using bmpw::Spec;

namespace {

// An 8-bit 4x3 picture whose pixel (x, stored row y) is index x + 4 * y, with a grey palette.
Spec pal8(uint32_t header_size = 40) {
  Spec s;
  s.header_size = header_size;
  s.width = 4;
  s.height = 3;
  s.palette = bmpw::grey(256);
  s.pixels = bmpw::rows(8, 4, 3, [](int x, int y) { return x + 4 * y; });
  return s;
}

Spec direct(uint16_t bits, uint32_t compression, int w, int h, const std::function<uint32_t(int, int)>& v) {
  Spec s;
  s.width = w;
  s.height = h;
  s.bit_count = bits;
  s.compression = compression;
  s.pixels = bmpw::rows(bits, w, h, v);
  return s;
}

Spec rle(uint16_t bits, uint32_t compression, int w, int h, Bytes codes) {
  Spec s;
  s.width = w;
  s.height = h;
  s.bit_count = bits;
  s.compression = compression;
  s.palette = bmpw::grey(1 << bits);
  s.pixels = std::move(codes);
  return s;
}

void set_masks(Spec& s, uint32_t r, uint32_t g, uint32_t b, uint32_t a) {
  s.header_masks[0] = r;
  s.header_masks[1] = g;
  s.header_masks[2] = b;
  s.header_masks[3] = a;
}

// Indexes of the top row..bottom row flattened; stored row y is image row h - 1 - y.
std::vector<uint8_t> row(const Result& r, int y) {
  const int w = r.img.width;
  return std::vector<uint8_t>(r.index.begin() + y * w, r.index.begin() + (y + 1) * w);
}

}  // namespace

TEST(BmpHeader, FormsAndSizes) {
  struct Case {
    uint32_t size;
    int init;
  } cases[] = {{12, 0}, {16, 0}, {36, 0}, {40, 0}, {56, 0}, {64, 0}, {108, 0}, {124, 0},
               {52, 0}, {41, 0}, {200, 0}, {20, 102}, {0, 102}, {11, 102}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    Spec s = pal8(c.size);
    if (c.size == 12) s.palette.resize(256);
    const Result r = decode(bmpw::file(s));
    ASSERT_EQ(r.init, c.init);
    if (c.init != 0) continue;
    EXPECT_EQ(r.exec, 0);
    EXPECT_EQ(r.info[1], 104u);
    EXPECT_EQ(r.info[2], 4u);
    EXPECT_EQ(r.info[3], 3u);
    EXPECT_EQ(r.info[4], 8u);
    // Bottom-up: the last stored row is the top row.
    EXPECT_EQ(row(r, 0), (std::vector<uint8_t>{8, 9, 10, 11}));
    EXPECT_EQ(px(r, 1, 2), (std::vector<int>{1, 1, 1, 255}));
  }
}

TEST(BmpHeader, LimitsAndValues) {
  struct Case {
    const char* what;
    std::function<void(Spec&)> edit;
    int init;
  } cases[] = {
      {"width 12800", [](Spec& s) { s.width = 12800; s.pixels.clear(); }, 0},
      {"height 12800", [](Spec& s) { s.height = 12800; s.pixels.clear(); }, 0},
      {"width 12801", [](Spec& s) { s.width = 12801; }, 102},
      {"height 12801", [](Spec& s) { s.height = 12801; }, 102},
      {"width 0", [](Spec& s) { s.width = 0; }, 102},
      {"height 0", [](Spec& s) { s.height = 0; }, 102},
      {"negative height, 40-byte header", [](Spec& s) { s.height = -3; }, 102},
      {"planes 2", [](Spec& s) { s.planes = 2; }, 102},
      {"planes 0", [](Spec& s) { s.planes = 0; }, 102},
      {"bit count 3", [](Spec& s) { s.bit_count = 3; }, 102},
      {"bit count 48", [](Spec& s) { s.bit_count = 48; }, 102},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Spec s = pal8();
    c.edit(s);
    EXPECT_EQ(decode(bmpw::file(s)).init, c.init);
  }
}

// The header is read again at execution: a file changed behind the decoder's back shows the
// errors that initialisation folds into 102.
TEST(BmpHeader, ErrorsRaisedAtExecution) {
  struct Case {
    const char* what;
    size_t at;
    uint32_t value;
    int exec;
  } cases[] = {
      {"width 0", 18, 0, 104},          {"width 12801", 18, 12801, 104},
      {"negative height", 22, 0xFFFFFFFD, 104}, {"header size 20", 14, 20, 102},
      {"planes 3", 26, 0x00080003, 102},  // planes and bit count share the word
      {"bit count 7", 26, 0x00070001, 102},
      {"pixel offset beyond the stream", 10, 100000, 105},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Options o;
    o.before_exec = [&](MemStream& m) { bmpw::set32(m.data, c.at, c.value); };
    const Result r = decode(bmpw::file(pal8()), o);
    ASSERT_EQ(r.init, 0);
    EXPECT_EQ(r.exec, c.exec);
    EXPECT_EQ(r.layers, 0);
  }
}

TEST(BmpHeader, SignatureSearch) {
  const Bytes f = bmpw::file(pal8());
  for (size_t prefix : {size_t(64), size_t(128)}) {
    SCOPED_TRACE(prefix);
    Bytes b(prefix + f.size(), 0xEE);
    std::copy(f.begin(), f.end(), b.begin() + static_cast<long>(prefix));
    const Result r = decode(b);  // the pixel offset counts from the "BM"
    ASSERT_EQ(r.init, 0);
    ASSERT_EQ(r.exec, 0);
    EXPECT_EQ(row(r, 2), (std::vector<uint8_t>{0, 1, 2, 3}));
  }
  Bytes at32(32 + f.size(), 0);  // well over 200 bytes
  std::copy(f.begin(), f.end(), at32.begin() + 32);
  EXPECT_EQ(decode(at32).init, 102);
  // An information header without a file header is not a BMP.
  Options named;
  named.name = "x.bmp";
  EXPECT_EQ(decode(Bytes(f.begin() + 14, f.end()), named).init, 102);
}

TEST(BmpHeader, BitmapArrays) {
  const Spec s = pal8();
  struct Case {
    const char* what;
    int entries;
    std::function<uint32_t(int, uint32_t)> link;
    int init;
  } cases[] = {
      {"one entry", 1, nullptr, 0},
      {"two entries", 2, nullptr, 0},
      {"64 entries", 64, nullptr, 0},
      {"65 entries", 65, nullptr, 102},
      {"loop to itself", 2, [](int i, uint32_t n) { return i == 1 ? 28u : n; }, 102},
      {"cycle of two", 3, [](int i, uint32_t n) { return i == 2 ? 28u : n; }, 102},
      {"link to nothing", 2, [](int i, uint32_t n) { return i == 0 ? 5u : n; }, 102},
      {"link past the end", 2, [](int i, uint32_t n) { return i == 0 ? 90000u : n; }, 102},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Result r = decode(bmpw::array(s, c.entries, c.link));
    ASSERT_EQ(r.init, c.init);
    if (c.init == 0) {
      EXPECT_EQ(r.exec, 0);
      EXPECT_EQ(r.info[2], 4u);  // the display size (999) is never used
      EXPECT_EQ(row(r, 0), (std::vector<uint8_t>{8, 9, 10, 11}));
    }
  }
  Bytes bad_size = bmpw::array(s, 2);
  bmpw::set32(bad_size, 2, 12);
  EXPECT_EQ(decode(bad_size).init, 102);
  Bytes no_bm = bmpw::array(s, 2);
  no_bm[28 + 14 + 1] = 'X';  // the "BM" of the last entry
  EXPECT_EQ(decode(no_bm).init, 102);
}

TEST(BmpHeader, MasksOfOddHeaderSizesComeFromBehindTheHeader) {
  // 52 bytes: masks inside the header are not read; the three after it are.
  Spec s = direct(32, 3, 2, 1, [](int, int) { return 0x11223344u; });
  s.header_size = 52;
  s.header_tail = {0, 0, 0, 0xFF, 0, 0, 0xFF, 0, 0, 0xFF, 0, 0};
  s.masks_after = {0x000000FF, 0x0000FF00, 0x00FF0000};
  const Result r = decode(bmpw::file(s));
  ASSERT_EQ(r.exec, 0);
  EXPECT_EQ(px(r, 0, 0), (std::vector<int>{0x44, 0x33, 0x22, 255}));
  // 56 bytes: the header's own four masks, alpha included.
  s.header_size = 56;
  s.header_tail.clear();
  s.masks_after.clear();
  set_masks(s, 0x0000FF00u, 0x00FF0000u, 0xFF000000u, 0x000000FFu);
  const Result r56 = decode(bmpw::file(s));
  ASSERT_EQ(r56.exec, 0);
  EXPECT_EQ(px(r56, 1, 0), (std::vector<int>{0x33, 0x22, 0x11, 0x44}));
}

TEST(BmpHeader, DeclaredDepth) {
  EXPECT_EQ(decode(bmpw::file(direct(16, 0, 1, 1, [](int, int) { return 0u; }))).info[4], 15u);
  Spec bf = direct(16, 3, 1, 1, [](int, int) { return 0u; });
  bf.masks_after = {0xF800, 0x07E0, 0x001F};
  EXPECT_EQ(decode(bmpw::file(bf)).info[4], 16u);
}

TEST(BmpPixels, PaletteForms) {
  // 1 bit, 10 pixels: 2 bytes and 2 padding bytes per row.
  Spec s1 = direct(1, 0, 10, 2, [](int x, int y) { return (x + y) & 1; });
  s1.palette = {{0, 0, 0, 0}, {255, 255, 255, 0}};
  Result r = decode(bmpw::file(s1));
  ASSERT_EQ(r.exec, 0);
  EXPECT_EQ(row(r, 1), (std::vector<uint8_t>{0, 1, 0, 1, 0, 1, 0, 1, 0, 1}));
  EXPECT_EQ(row(r, 0), (std::vector<uint8_t>{1, 0, 1, 0, 1, 0, 1, 0, 1, 0}));
  // 2 and 4 bits with widths that end inside a byte.
  for (uint16_t bits : {uint16_t(2), uint16_t(4)}) {
    SCOPED_TRACE(bits);
    Spec s = direct(bits, 0, 7, 2, [bits](int x, int y) { return (x + 3 * y) % (1 << bits); });
    s.palette = bmpw::grey(1 << bits);
    r = decode(bmpw::file(s));
    ASSERT_EQ(r.exec, 0);
    for (int x = 0; x < 7; ++x) EXPECT_EQ(r.index[7 + x], x % (1 << bits)) << x;
    for (int x = 0; x < 7; ++x) EXPECT_EQ(r.index[x], (x + 3) % (1 << bits)) << x;
  }
  // colors_used 2: two entries read, every other index black.
  Spec s8 = pal8();
  s8.colors_used = 2;
  s8.palette = {{10, 20, 30, 0}, {40, 50, 60, 0}};
  r = decode(bmpw::file(s8));
  ASSERT_EQ(r.exec, 0);
  EXPECT_EQ(px(r, 0, 2), (std::vector<int>{30, 20, 10, 255}));
  EXPECT_EQ(px(r, 1, 2), (std::vector<int>{60, 50, 40, 255}));
  EXPECT_EQ(px(r, 2, 2), (std::vector<int>{0, 0, 0, 255}));
  // colors_used 300 reads the full table.
  s8 = pal8();
  s8.colors_used = 300;
  r = decode(bmpw::file(s8));
  EXPECT_EQ(px(r, 3, 0), (std::vector<int>{11, 11, 11, 255}));
}

TEST(BmpPixels, DirectForms) {
  struct Case {
    const char* what;
    uint16_t bits;
    uint32_t compression;
    std::vector<uint32_t> masks;  // behind the header
    uint32_t pixel;
    std::vector<int> rgba;
  } cases[] = {
      {"5-5-5 white", 16, 0, {}, 0x7FFF, {248, 248, 248, 255}},  // alpha bits all 0: no plane
      {"5-5-5 alpha bit", 16, 0, {}, 0x8000, {0, 0, 0, 255}},
      {"5-5-5 channels", 16, 0, {}, 0x7C1F, {248, 0, 248, 255}},
      {"R565 white", 16, 0x35363552, {}, 0xFFFF, {248, 252, 248, 255}},
      {"bit fields, no masks: 5-5-5", 16, 3, {0, 0, 0}, 0xFFFF, {248, 248, 248, 255}},
      {"bit fields 5-6-5", 16, 3, {0xF800, 0x07E0, 0x001F}, 0x07E0, {0, 252, 0, 255}},
      {"bit fields, masks cut to 16 bits", 16, 3, {0xF0000, 0x00F0, 0x000F}, 0x00FF, {0, 240, 240, 255}},
      {"24 bits", 24, 0, {}, 0x112233, {0x11, 0x22, 0x33, 255}},
      {"32 bits, alpha 0", 32, 0, {}, 0x00112233, {0x11, 0x22, 0x33, 255}},
      {"32 bits, alpha 0x80", 32, 0, {}, 0x80112233, {0x11, 0x22, 0x33, 0x80}},
      {"32 bit fields, no masks", 32, 3, {0, 0, 0}, 0x40112233, {0x11, 0x22, 0x33, 0x40}},
      {"32 bit fields 10-10-10", 32, 3, {0x3FF00000, 0x000FFC00, 0x000003FF}, 0x3FF003FF, {255, 0, 255, 255}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // 3 pixels wide: 16-bit rows carry 2 padding bytes, 24-bit rows 3.
    Spec s = direct(c.bits, c.compression, 3, 2, [&](int x, int y) { return x == 1 && y == 1 ? c.pixel : 0u; });
    s.masks_after = c.masks;
    const Result r = decode(bmpw::file(s));
    ASSERT_EQ(r.init, 0);
    ASSERT_EQ(r.exec, 0);
    EXPECT_EQ(px(r, 1, 0), c.rgba);
    EXPECT_TRUE(r.padding_zero);
    EXPECT_EQ(px(r, 0, 1)[0], 0);
  }
}

TEST(BmpPixels, AlphaFieldWidening) {
  struct Case {
    uint32_t alpha_mask;
    uint32_t pixel;
    int alpha;
  } cases[] = {
      {0xF000, 0xA000, 0xAA}, {0xF000, 0xF000, 0xFF}, {0xF000, 0x8000, 0x88}, {0x8000, 0x8000, 0xFF},
      {0xF800, 0xF800, 0xFF},  // 5-bit 31
      {0xA000, 0xA000, 0xB6},  // holes: the span of 3 bits (101) repeats as 101 101 10
      {0xA000, 0x2000, 0x24},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.alpha_mask);
    Spec s = direct(16, 3, 1, 1, [&](int, int) { return c.pixel; });
    s.header_size = 56;
    set_masks(s, 0x0F00u, 0x00F0u, 0x000Fu, c.alpha_mask);
    const Result r = decode(bmpw::file(s));
    ASSERT_EQ(r.exec, 0);
    EXPECT_EQ(px(r, 0, 0)[3], c.alpha);
  }
}

TEST(BmpPixels, TopDownCoreHeader) {
  Spec s = pal8(12);
  s.height = -3;
  const Result r = decode(bmpw::file(s));
  ASSERT_EQ(r.exec, 0);
  EXPECT_EQ(r.info[3], 3u);
  EXPECT_EQ(row(r, 0), (std::vector<uint8_t>{0, 1, 2, 3}));
  EXPECT_EQ(r.alpha.size(), 0u);  // a 12-byte header drops the plane by default
}

TEST(BmpPixels, UnsupportedCombinations) {
  for (auto [bits, comp] : {std::pair<int, int>{24, 3}, {2, 1}, {32, 2}, {8, 2}, {4, 1}, {16, 1}, {1, 1}}) {
    SCOPED_TRACE(bits * 100 + comp);
    Spec s = direct(static_cast<uint16_t>(bits), static_cast<uint32_t>(comp), 2, 2, [](int, int) { return 0u; });
    if (bits <= 8) s.palette = bmpw::grey(1 << bits);
    const Result r = decode(bmpw::file(s));
    ASSERT_EQ(r.init, 0);
    EXPECT_EQ(r.exec, 102);
  }
}

// Which images go out with an alpha plane, by parameter.
TEST(BmpAlpha, Decision) {
  const Spec pal_zero = pal8();  // palette fourth bytes all 0
  Spec pal_some = pal8();
  pal_some.palette[5].a = 1;
  Spec pal_unused = pal8();  // non-zero alpha only beyond the entries read
  pal_unused.colors_used = 4;
  pal_unused.palette.resize(8);
  pal_unused.palette[6].a = 9;
  const Spec rgb32_zero = direct(32, 0, 2, 2, [](int, int) { return 0x00FFFFFFu; });
  const Spec rgb32_one = direct(32, 0, 2, 2, [](int x, int y) { return x == 1 && y == 0 ? 0x01000000u : 0u; });
  const Spec rgb24 = direct(24, 0, 2, 2, [](int, int) { return 0xFFFFFFu; });
  const Spec r565 = direct(16, 0x35363552, 2, 2, [](int, int) { return 0xFFFFu; });
  Spec bf32_noalpha = direct(32, 3, 2, 2, [](int, int) { return 0xFF000000u; });
  bf32_noalpha.masks_after = {0xFF0000, 0xFF00, 0xFF};
  const Spec rgb555_zero = direct(16, 0, 2, 2, [](int, int) { return 0x7FFFu; });
  struct Case {
    const char* what;
    const Spec* spec;
    long keep, pal, pix;
    bool plane;
  } cases[] = {
      {"palette, alpha 0, default", &pal_zero, -1, -1, -1, false},
      {"palette, alpha 0, mode 1", &pal_zero, -1, 1, -1, true},
      {"palette, one alpha, default", &pal_some, -1, -1, -1, true},
      {"palette, one alpha, mode 0", &pal_some, -1, 0, -1, false},
      {"palette, alpha beyond the entries read", &pal_unused, -1, -1, -1, false},
      {"palette, keep", &pal_zero, 1, 0, -1, true},
      {"32 bits, alpha 0, default", &rgb32_zero, -1, -1, -1, false},
      {"32 bits, one alpha 1, default", &rgb32_one, -1, -1, -1, true},
      {"32 bits, alpha 0, mode 1", &rgb32_zero, -1, -1, 1, true},
      {"32 bits, one alpha, mode 0", &rgb32_one, -1, -1, 0, false},
      {"24 bits, mode 1", &rgb24, -1, -1, 1, false},
      {"24 bits, keep", &rgb24, 1, -1, 0, true},
      {"R565, mode 1", &r565, -1, -1, 1, false},
      {"32 bit fields without alpha mask, default", &bf32_noalpha, -1, -1, -1, false},
      {"32 bit fields without alpha mask, mode 1", &bf32_noalpha, -1, -1, 1, true},
      {"5-5-5 without alpha bits, default", &rgb555_zero, -1, -1, -1, false},
      {"5-5-5 without alpha bits, mode 1", &rgb555_zero, -1, -1, 1, true},
      {"palette mode does not touch pixels", &rgb32_one, -1, 0, -1, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Options o;
    o.keep_alpha = c.keep;
    o.palette_alpha = c.pal;
    o.pixel_alpha = c.pix;
    const Result r = decode(bmpw::file(*c.spec), o);
    ASSERT_EQ(r.exec, 0);
    EXPECT_EQ(r.img.has_alpha, c.plane);
  }
}

// A palette picture that goes out with its plane carries the alpha of each pixel's entry.
TEST(BmpAlpha, PalettePlaneHoldsIndexes) {
  Spec s = pal8();
  for (int i = 0; i < 256; ++i) s.palette[i].a = static_cast<uint8_t>(255 - i);
  const Result r = decode(bmpw::file(s));
  ASSERT_EQ(r.exec, 0);
  ASSERT_TRUE(r.img.has_alpha);
  EXPECT_EQ(r.alpha, r.index);
  EXPECT_EQ(px(r, 1, 2), (std::vector<int>{1, 1, 1, 254}));
  EXPECT_EQ(px(r, 3, 0), (std::vector<int>{11, 11, 11, 244}));
}

// A colour table never runs into the pixel data.
TEST(BmpAlpha, ColourTableCutAtPixelOffset) {
  // 64-byte header: colours used is ignored, so 256 entries would be due; only 252 fit.
  Spec s = pal8(64);
  s.palette = bmpw::grey(252, 255);
  s.pixels = bmpw::rows(8, 4, 3, [](int x, int y) { return 250 + (x + 4 * y) % 6; });
  const Result r = decode(bmpw::file(s));
  ASSERT_EQ(r.exec, 0);
  EXPECT_EQ(px(r, 0, 2), (std::vector<int>{s.palette[250].r, s.palette[250].r, s.palette[250].r, 255}));
  EXPECT_EQ(px(r, 2, 2), (std::vector<int>{0, 0, 0, 255}));  // entry 252: black, not pixel bytes
  EXPECT_TRUE(r.img.has_alpha);
  // The same with fourth bytes 0: the entries that would have been pixel bytes do not switch
  // the plane on.
  s.palette = bmpw::grey(252, 0);
  EXPECT_FALSE(decode(bmpw::file(s)).img.has_alpha);
  // A pixel offset inside the header leaves the table whole.
  Spec inside = pal8();
  inside.off_bits = 20;
  EXPECT_EQ(decode(bmpw::file(inside)).init, 0);
}

TEST(BmpRle, Codes) {
  struct Case {
    const char* what;
    uint16_t bits;
    int width, height;
    Bytes codes;
    std::vector<uint8_t> index;  // top row first
  } cases[] = {
      {"8: run cut at the row end", 8, 2, 1, {3, 7, 0, 0}, {7, 7}},
      {"8: absolute run with padding", 8, 3, 1, {0, 3, 1, 2, 3, 0, 0, 0}, {1, 2, 3}},
      {"8: absolute run past the row end", 8, 2, 1, {0, 3, 1, 2, 3, 0, 0, 0}, {1, 2}},
      {"8: move down", 8, 4, 2, {1, 5, 0, 2, 2, 1, 1, 6, 0, 0}, {0, 0, 0, 6, 5, 0, 0, 0}},
      {"8: end of picture clears the rest", 8, 3, 2, {3, 5, 0, 0, 1, 9, 0, 1}, {9, 0, 0, 5, 5, 5}},
      {"8: move down clears the rest", 8, 3, 3, {3, 5, 0, 0, 1, 9, 0, 2, 0, 1, 0, 0}, {0, 0, 0, 9, 0, 0, 5, 5, 5}},
      {"8: move below the last row ends", 8, 2, 1, {1, 4, 0, 2, 0, 3}, {4, 0}},
      {"4: run of alternating nibbles", 4, 5, 1, {5, 0x12, 0, 0}, {1, 2, 1, 2, 1}},
      {"4: absolute run, even bytes", 4, 3, 1, {0, 3, 0x12, 0x30, 0, 0}, {1, 2, 3}},
      {"4: absolute run, padding", 4, 5, 1, {0, 5, 0x12, 0x34, 0x50, 0, 0, 0}, {1, 2, 3, 4, 5}},
      {"4: move in the last row goes right only", 4, 4, 1, {1, 0x70, 0, 2, 1, 3, 1, 0x90, 0, 0}, {7, 0, 9, 0}},
      {"4: end of picture clears the rest", 4, 2, 2, {2, 0x55, 0, 0, 1, 0x60, 0, 1}, {6, 0, 5, 5}},
      {"1: run", 1, 4, 1, {4, 0x11, 0, 0}, {1, 1, 1, 1}},
      {"1: alternating run", 1, 4, 1, {4, 0x10, 0, 0}, {1, 0, 1, 0}},
      {"1: absolute run", 1, 2, 1, {0, 2, 0xAB, 0xCD, 0, 0}, {0, 1}},
      {"1: escape 1 is a run of one", 1, 2, 1, {0, 1, 0x10, 0xEE, 0, 0}, {1, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Spec s = rle(c.bits, c.bits == 8 ? 1 : 2, c.width, c.height, c.codes);
    const Result r = decode(bmpw::file(s));
    ASSERT_EQ(r.init, 0);
    ASSERT_EQ(r.exec, 0);
    EXPECT_EQ(r.index, c.index);
    EXPECT_TRUE(r.padding_zero);
  }
}

TEST(BmpRle, Ends) {
  // The closing end-of-picture code after the last row is never read.
  EXPECT_EQ(decode(bmpw::file(rle(8, 1, 2, 2, {2, 1, 0, 0, 2, 1, 0, 0}))).exec, 0);
  // A stream that stops after half the rows.
  EXPECT_EQ(decode(bmpw::file(rle(8, 1, 2, 4, {2, 1, 0, 0, 2, 1, 0, 0}))).exec, 105);
  EXPECT_EQ(decode(bmpw::file(rle(4, 2, 2, 4, {2, 1, 0, 0}))).exec, 105);
  EXPECT_EQ(decode(bmpw::file(rle(1, 2, 2, 4, {2, 1, 0, 0}))).exec, 105);
}

// Every strict prefix of a file fails cleanly: initialisation 102, or execution 105.
TEST(BmpTruncation, EveryPrefixFails) {
  std::vector<std::pair<const char*, Spec>> files;
  for (uint16_t bits : {1, 2, 4, 8}) {
    Spec s = direct(bits, 0, 5, 3, [](int x, int y) { return x + y; });
    s.palette = bmpw::grey(1 << bits, 1);
    files.emplace_back("palette", s);
  }
  files.emplace_back("5-5-5", direct(16, 0, 3, 3, [](int x, int) { return 0x8000u * (x & 1); }));
  files.emplace_back("R565", direct(16, 0x35363552, 3, 3, [](int x, int) { return x; }));
  Spec bf16 = direct(16, 3, 3, 3, [](int x, int) { return x * 0x1111u; });
  bf16.masks_after = {0xF00, 0xF0, 0xF};
  files.emplace_back("16 bit fields", bf16);
  files.emplace_back("24", direct(24, 0, 3, 3, [](int x, int) { return x; }));  // last row: one piece
  files.emplace_back("32", direct(32, 0, 3, 3, [](int x, int) { return x << 24; }));
  Spec bf32 = direct(32, 3, 3, 3, [](int x, int) { return x; });
  bf32.header_size = 124;
  files.emplace_back("32 bit fields", bf32);
  files.emplace_back("RLE8", rle(8, 1, 4, 2, {2, 1, 0, 3, 1, 2, 3, 0, 0, 0, 4, 9, 0, 0}));
  files.emplace_back("RLE4", rle(4, 2, 4, 2, {2, 0x12, 0, 2, 1, 0, 0, 0, 0, 3, 0x12, 0x30, 0, 0}));
  files.emplace_back("RLE1", rle(1, 2, 4, 2, {4, 0x10, 0, 0, 0, 3, 0x11, 0x01, 0, 0}));
  Spec core = pal8(12);
  core.palette.resize(256);
  files.emplace_back("12-byte header", core);
  for (auto& [what, spec] : files) {
    SCOPED_TRACE(what);
    const Bytes whole = bmpw::file(spec);
    const Result full = decode(whole);
    ASSERT_EQ(full.init, 0);
    ASSERT_EQ(full.exec, 0);
    for (size_t n = 1; n < whole.size(); ++n) {
      const Result r = decode(Bytes(whole.begin(), whole.begin() + n));
      if (r.init != 0) {
        EXPECT_EQ(r.init, 102) << n;
      } else {
        EXPECT_EQ(r.exec, 105) << n;
        EXPECT_EQ(r.layers, 0) << n;
      }
    }
  }
}

TEST(BmpApi, ProgressPerStoredRow) {
  const Result r = decode(bmpw::file(pal8()));
  ASSERT_EQ(r.exec, 0);
  // 0 of 1, then rows (0, 3), (1, 3), (2, 3), then 1 of 1.
  EXPECT_EQ(r.progress, (std::vector<unsigned>{0, 0, 33, 66, 100}));
  const Result rl = decode(bmpw::file(rle(8, 1, 2, 3, {0, 0, 0, 2, 0, 1, 0, 0})));
  ASSERT_EQ(rl.exec, 0);
  EXPECT_EQ(rl.progress, (std::vector<unsigned>{0, 0, 33, 66, 100}));
}

TEST(BmpApi, StopFromProgressInsideThePass) {
  Options o;
  o.stop_at = 3;  // the second row
  const Result r = decode(bmpw::file(pal8()), o);
  EXPECT_EQ(r.exec, QZIERR_ABORTED);
  EXPECT_EQ(r.layers, 0);
  EXPECT_GE(r.progress.size(), 3u);
}

TEST(BmpApi, Parameters) {
  const Bytes f = bmpw::file(pal8());
  MemStream stream(f);
  QZIDECODER d = qziCreateDecoder();
  EXPECT_EQ(qziSetDecoderParam(d, BMP_PARAM_PALETTE_ALPHA, 1, 0), QZIERR_UNKNOWN_PARAM);  // not initialised
  ASSERT_EQ(qziDecoderInitialize(d, &stream, static_cast<int>(f.size()), MemStream::read, MemStream::setpos, nullptr,
                                 nullptr),
            0);
  struct Case {
    unsigned id;
    long value;
    int result;
  } cases[] = {{101, 5, 0},   {101, 0, 0},   {102, 0, 0},   {102, 2, 0},   {102, 3, 107},
               {102, -1, 107}, {103, 1, 0},  {103, 3, 107}, {103, -1, 107}, {104, 0, 108}, {100, 0, 108}};
  for (const Case& c : cases) EXPECT_EQ(qziSetDecoderParam(d, c.id, c.value, 0), c.result) << c.id << " " << c.value;
  qziCloseDecoder(d);

  // A refused value leaves the mode as it was: palette mode 1 stays in force after -1.
  Spec s = pal8();  // palette alpha all 0: only mode 1 delivers the plane
  const Bytes g = bmpw::file(s);
  MemStream st2(g);
  Result r;
  d = qziCreateDecoder();
  ASSERT_EQ(qziDecoderInitialize(d, &st2, static_cast<int>(g.size()), MemStream::read, MemStream::setpos, nullptr,
                                 nullptr),
            0);
  EXPECT_EQ(qziSetDecoderParam(d, BMP_PARAM_PALETTE_ALPHA, 1, 0), 0);
  EXPECT_EQ(qziSetDecoderParam(d, BMP_PARAM_PALETTE_ALPHA, -1, 0), 107);
  qziSetDecoderLayerCallback(d, bmpt::on_layer, &r);
  EXPECT_EQ(qziDecoderExecute(d), 0);
  EXPECT_TRUE(r.img.has_alpha);
  // Parameters survive executions.
  Result again;
  qziSetDecoderLayerCallback(d, bmpt::on_layer, &again);
  EXPECT_EQ(qziDecoderExecute(d), 0);
  EXPECT_TRUE(again.img.has_alpha);
  qziCloseDecoder(d);
}
