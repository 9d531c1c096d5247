// BMP module through the public API (qzi_decode.h). Files built by bmp_writer.h: header cases and palette
// forms, direct-colour forms and masks, run-length codes, every prefix of those files, the alpha
// decision, progress and parameters. Then the public BMP test suite (folder in QZI_BMPSUITE_DIR)
// against the golden table beside this file.
#include <gtest/gtest.h>
#include <png.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "bmp_writer.h"
#include "qzi_decode.h"

using bmpw::Bytes;
using bmpw::Layout;
using Values = std::function<uint32_t(int, int)>;

namespace {

using qzi_test::decode;
using qzi_test::Options;
using qzi_test::Result;

Result decode_ok(const Bytes& f, const Options& o = Options()) {
  Result r = decode(f, o);
  EXPECT_EQ(r.init, 0);
  EXPECT_EQ(r.exec, 0);
  return r;
}

// RGBA of pixel (x, y), top row first.
std::vector<int> px(const Result& r, int x, int y) {
  const uint8_t* p = &r.img.rgba[(static_cast<size_t>(y) * r.img.width + x) * 4];
  return {p[0], p[1], p[2], p[3]};
}

const uint32_t R565 = 0x35363552;

Layout direct(uint16_t bits, uint32_t compression, int w, int h, const Values& v) {
  Layout s;
  s.width = w, s.height = h, s.bit_count = bits, s.compression = compression;
  s.pixels = bmpw::rows(bits, w, std::abs(h), v);
  return s;
}

// Pixel (x, stored row y) of the palette pictures is index 17 * (x + 5 * y) cut to the bit count:
// x + 5 * y below 8 bits.
uint32_t pal_value(int x, int y) { return 17 * (x + 5 * y); }

// The file of a palette picture after its fields changed: pixels and a grey palette to match.
Bytes build(Layout& s) {
  const int bits = s.bit_count == 1 || s.bit_count == 2 || s.bit_count == 4 ? s.bit_count : 8;
  s.palette = bmpw::grey(1 << bits);
  s.pixels = bmpw::rows(bits, s.width, std::abs(s.height), pal_value);
  return bmpw::file(s);
}

// A palette picture, by default 5 x 3 at 8 bits: unique indexes, 3 padding bytes per stored row.
Layout pal(uint16_t bits = 8, int width = 5, uint32_t header_size = 40) {
  Layout s = direct(bits, 0, width, 3, pal_value);
  s.header_size = header_size;
  build(s);
  return s;
}

// Direct-colour forms: 3 x 2 pictures, pixel (1, stored row 1) given, the others 0. 16-bit rows
// carry 2 padding bytes, 24-bit rows 3. Masks go inside headers of 56 and 124 bytes and behind
// the others; a 52-byte header carries decoy masks, which are not read.
struct DirectCase {
  const char* what;
  uint16_t bits;
  uint32_t compression, header;
  std::vector<uint32_t> masks;
  uint32_t pixel;
  std::vector<int> rgba;
  unsigned depth;
} const kDirect[] = {
    {"5-5-5", 16, 0, 40, {}, 0x7D0F, {248, 64, 120, 255}, 15},  // alpha bits all 0: no plane
    {"5-5-5 alpha bit", 16, 0, 40, {}, 0x8000, {0, 0, 0, 255}, 15},
    {"R565", 16, R565, 40, {}, 0xFC0F, {248, 128, 120, 255}, 16},
    {"bit fields, no masks: 5-5-5", 16, 3, 40, {0, 0, 0}, 0x7D0F, {248, 64, 120, 255}, 16},
    {"bit fields 5-6-5", 16, 3, 40, {0xF800, 0x07E0, 0x001F}, 0xFC0F, {248, 128, 120, 255}, 16},
    {"masks above 16 bits: 5-5-5", 16, 3, 40, {~0u << 16, ~0u << 16, ~0u << 16}, 0x7D0F, {248, 64, 120, 255}, 16},
    {"24 bits", 24, 0, 40, {}, 0x112233, {0x11, 0x22, 0x33, 255}, 24},
    {"32 bits, alpha 0", 32, 0, 40, {}, 0x00112233, {0x11, 0x22, 0x33, 255}, 32},
    {"32 bits, alpha 0x80", 32, 0, 40, {}, 0x80112233, {0x11, 0x22, 0x33, 0x80}, 32},
    {"32 bit fields, no masks", 32, 3, 40, {0, 0, 0}, 0x40112233, {0x11, 0x22, 0x33, 0x40}, 32},
    {"32 bit fields 10-10-10", 32, 3, 40, {0x3FF00000, 0x000FFC00, 0x3FF}, 0x3FF003FF, {255, 0, 255, 255}, 32},
    {"52-byte header", 32, 3, 52, {0xFF, 0xFF00, 0xFF0000}, 0x11223344, {0x44, 0x33, 0x22, 255}, 32},
    {"56-byte header", 32, 3, 56, {0xFF00, 0xFF0000, 0xFF000000, 0xFF}, 0x11223344, {0x33, 0x22, 0x11, 0x44}, 32},
    {"124-byte header", 32, 3, 124, {0xFF, 0xFF00, 0xFF0000, 0}, 0x11223344, {0x44, 0x33, 0x22, 255}, 32},
    // Alpha fields narrower than 8 bits repeat downwards; a mask with holes repeats its whole
    // span (101 -> 101 101 10).
    {"alpha 4 bits", 16, 3, 56, {0x0F00, 0x00F0, 0x000F, 0xF000}, 0xA000, {0, 0, 0, 0xAA}, 16},
    {"alpha 1 bit", 16, 3, 56, {0x0F00, 0x00F0, 0x000F, 0x8000}, 0x8000, {0, 0, 0, 0xFF}, 16},
    {"alpha mask with holes", 16, 3, 56, {0x0F00, 0x00F0, 0x000F, 0xA000}, 0xA000, {0, 0, 0, 0xB6}, 16},
    {"alpha mask with holes, low bit", 16, 3, 56, {0x0F00, 0x00F0, 0x000F, 0xA000}, 0x2000, {0, 0, 0, 0x24}, 16},
};

Bytes direct_file(const DirectCase& c) {
  Layout s = direct(c.bits, c.compression, 3, 2, [&](int x, int y) { return x == 1 && y == 1 ? c.pixel : 0u; });
  s.header_size = c.header;
  if (c.header == 56 || c.header == 124)
    std::copy(c.masks.begin(), c.masks.end(), s.header_masks);
  else
    s.masks_after = c.masks;
  if (c.header == 52) s.header_tail = {0, 0, 0, 0xFF, 0, 0, 0xFF, 0, 0, 0xFF, 0, 0};
  return bmpw::file(s);
}

// Run-length codes (RLE8 8/1, RLE4 4/2, the 1-bit form 1/2) and the indexes they give.
struct RleCase {
  const char* what;
  uint16_t bits;
  int width, height;
  Bytes codes;
  std::vector<uint8_t> index;  // top row first
} const kRle[] = {
    {"8: run cut at the row end", 8, 2, 1, {3, 7, 0, 0}, {7, 7}},
    {"8: absolute run with padding", 8, 3, 1, {0, 3, 1, 2, 3, 0, 0, 0}, {1, 2, 3}},
    {"8: absolute run past the row end", 8, 2, 1, {0, 3, 1, 2, 3, 0, 0, 0}, {1, 2}},
    {"8: move down", 8, 4, 2, {1, 5, 0, 2, 2, 1, 1, 6, 0, 0}, {0, 0, 0, 6, 5, 0, 0, 0}},
    {"8: end of picture clears the rest", 8, 3, 2, {3, 5, 0, 0, 1, 9, 0, 1}, {9, 0, 0, 5, 5, 5}},
    {"8: move down clears the rest", 8, 3, 3, {3, 5, 0, 0, 1, 9, 0, 2, 0, 1, 0, 0}, {0, 0, 0, 9, 0, 0, 5, 5, 5}},
    {"8: move below the last row ends", 8, 2, 1, {1, 4, 0, 2, 0, 3}, {4, 0}},
    {"8: rows after the end of picture are cleared", 8, 2, 3, {1, 7, 0, 1}, {0, 0, 0, 0, 7, 0}},
    {"4: a picture ended at once is cleared", 4, 3, 2, {0, 1}, {0, 0, 0, 0, 0, 0}},
    {"4: run of alternating nibbles", 4, 5, 1, {5, 0x12, 0, 0}, {1, 2, 1, 2, 1}},
    {"4: absolute run, even bytes", 4, 3, 1, {0, 3, 0x12, 0x30, 0, 0}, {1, 2, 3}},
    {"4: absolute run, padding", 4, 5, 1, {0, 5, 0x12, 0x34, 0x50, 0, 0, 0}, {1, 2, 3, 4, 5}},
    {"4: move in the last row goes right only", 4, 4, 1, {1, 0x70, 0, 2, 1, 3, 1, 0x90, 0, 0}, {7, 0, 9, 0}},
    {"4: end of picture clears the rest", 4, 2, 2, {2, 0x55, 0, 0, 1, 0x60, 0, 1}, {6, 0, 5, 5}},
    {"1: alternating run", 1, 4, 1, {4, 0x10, 0, 0}, {1, 0, 1, 0}},
    {"1: absolute run with padding", 1, 2, 1, {0, 2, 0xAB, 0xCD, 0, 0}, {0, 1}},
    {"1: escape 1 is a run of one", 1, 2, 1, {0, 1, 0x10, 0xEE, 0, 0}, {1, 0}},
    {"1: end of row clears the rest", 1, 4, 2, {4, 0x10, 0, 0, 0, 3, 0x11, 0x01, 0, 0}, {1, 1, 0, 0, 1, 0, 1, 0}},
};

Bytes rle_file(const RleCase& c) {
  Layout s = direct(c.bits, c.bits == 8 ? 1 : 2, c.width, c.height, [](int, int) { return 0u; });
  s.palette = bmpw::grey(1 << c.bits);
  s.pixels = c.codes;
  return bmpw::file(s);
}

// Palette files of every depth, widths ending inside a byte, for the prefix sweep; rows without
// padding in the last, whose last row is read in one piece.
const Layout kPalette[] = {pal(1, 10), pal(2, 7), pal(4, 7), pal(), pal(8, 4, 12)};

}  // namespace

// Header sizes, forms, limits, signatures, bitmap arrays and palette depths on a grey picture.
// `exec` is what execution answers on the file; for those initialisation refuses, on this file
// put in place of a good one after initialisation (the header is read again, and sides out of
// range answer 104 there).
#define EDIT(...) [](Layout& s) { __VA_ARGS__; return build(s); }
#define FORM(b, c) EDIT(s.bit_count = b, s.compression = c)
#define WRAP(...) [](Layout& s) { Bytes b = build(s); __VA_ARGS__; return b; }
TEST(BmpHeader, Cases) {
  const auto array = [](int entries, std::function<uint32_t(int, uint32_t)> link = nullptr) {
    return [=](Layout& s) { return bmpw::array(s, entries, link); };
  };
  const struct {
    const char* what;
    std::function<Bytes(Layout&)> make;
    int init, exec;
  } cases[] = {
      {"header 12", EDIT(s.header_size = 12), 0, 0},     {"header 16", EDIT(s.header_size = 16), 0, 0},
      {"header 36", EDIT(s.header_size = 36), 0, 0},     {"header 40", EDIT(s.header_size = 40), 0, 0},
      {"header 56", EDIT(s.header_size = 56), 0, 0},     {"header 64", EDIT(s.header_size = 64), 0, 0},
      {"header 108", EDIT(s.header_size = 108), 0, 0},   {"header 124", EDIT(s.header_size = 124), 0, 0},
      {"header 41", EDIT(s.header_size = 41), 0, 0},     {"header 52", EDIT(s.header_size = 52), 0, 0},
      {"header 200", EDIT(s.header_size = 200), 0, 0},   {"header 20", EDIT(s.header_size = 20), 102, 102},
      {"header 11", EDIT(s.header_size = 11), 102, 102}, {"header 0", EDIT(s.header_size = 0), 102, 102},
      {"12-byte header, top-down", EDIT(s.header_size = 12, s.height = -3), 0, 0},
      {"1 bit, 10 wide", EDIT(s.bit_count = 1, s.width = 10), 0, 0},
      {"2 bits, 7 wide", EDIT(s.bit_count = 2, s.width = 7), 0, 0},
      {"4 bits, 7 wide, a stray nibble behind the top row",
       [](Layout& s) { s.bit_count = 4, s.width = 7; Bytes b = build(s); b.back() |= 0xF; return b; }, 0, 0},
      {"width 12800", EDIT(s.width = 12800), 0, 0},      {"height 12800", EDIT(s.height = 12800), 0, 0},
      {"width 12801", EDIT(s.width = 12801), 102, 104},  {"height 12801", EDIT(s.height = 12801), 102, 104},
      {"width 0", EDIT(s.width = 0), 102, 104},          {"height 0", EDIT(s.height = 0), 102, 104},
      {"negative height, 40-byte header", EDIT(s.height = -3), 102, 104},
      {"planes 2", EDIT(s.planes = 2), 102, 102},        {"planes 0", EDIT(s.planes = 0), 102, 102},
      {"bit count 3", EDIT(s.bit_count = 3), 102, 102},  {"bit count 48", EDIT(s.bit_count = 48), 102, 102},
      {"24/3", FORM(24, 3), 0, 102}, {"2/1", FORM(2, 1), 0, 102},   {"32/2", FORM(32, 2), 0, 102},
      {"8/2", FORM(8, 2), 0, 102},   {"4/1", FORM(4, 1), 0, 102},   {"16/1", FORM(16, 1), 0, 102},
      {"1/1", FORM(1, 1), 0, 102},
      {"colours used 2", EDIT(s.colors_used = 2), 0, 0},
      {"colours used 300", EDIT(s.colors_used = 300, s.gap = 64), 0, 0},
      {"pixel offset beyond the stream", EDIT(s.off_bits = 100000), 0, 105},
      {"signature at 64", WRAP(b.insert(b.begin(), 64, 0xEE)), 0, 0},
      {"signature at 128", WRAP(b.insert(b.begin(), 128, 0xEE)), 0, 0},
      {"signature at 32", WRAP(b.insert(b.begin(), 32, 0)), 102, 102},
      {"no file header", WRAP(b.erase(b.begin(), b.begin() + 14)), 102, 102},
      {"array of one", array(1), 0, 0},    {"array of two", array(2), 0, 0},
      {"array of 64", array(64), 0, 0},    {"array of 65", array(65), 102, 102},
      {"array loops to itself", array(2, [](int i, uint32_t n) { return i == 1 ? 28u : n; }), 102, 102},
      {"array cycle of two", array(3, [](int i, uint32_t n) { return i == 2 ? 28u : n; }), 102, 102},
      {"array link to nothing", array(2, [](int i, uint32_t n) { return i == 0 ? 5u : n; }), 102, 102},
      {"array link past the end", array(2, [](int i, uint32_t n) { return i == 0 ? 90000u : n; }), 102, 105},
      {"array entry size 12", [](Layout& s) { Bytes b = bmpw::array(s, 2); b[2] = 12; return b; }, 102, 102},
      {"array without BM", [](Layout& s) { Bytes b = bmpw::array(s, 2); b[28 + 15] = 'X'; return b; }, 102, 102},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Layout s = pal();
    const Bytes f = c.make(s);
    const Result r = decode(f);
    ASSERT_EQ(r.init, c.init);
    Options swap;
    swap.before_exec = [&](MemStream& m) { m.data = f; };
    const Result x = c.init ? decode(bmpw::file(pal()), swap) : r;
    EXPECT_EQ(x.exec, c.exec);
    if (c.exec != 0) {
      EXPECT_EQ(x.layers, 0);
      continue;
    }
    const int h = std::abs(s.height), bits = s.bit_count;
    const std::vector<unsigned> info = {104, unsigned(s.width), unsigned(h), unsigned(bits)};
    EXPECT_EQ(std::vector<unsigned>(r.info + 1, r.info + 5), info);
    // Entries past those read are black.
    const uint32_t read = s.colors_used && s.colors_used < 256 ? s.colors_used : 256;
    std::vector<uint8_t> want;
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < s.width; ++x) {
        const uint32_t i = pal_value(x, s.height < 0 ? y : h - 1 - y) & ((1u << bits) - 1);
        const uint8_t v = i < read ? s.palette[i].r : 0;
        want.insert(want.end(), {v, v, v, 255});
      }
    }
    EXPECT_EQ(r.img.rgba, want);
    EXPECT_TRUE(r.padding_zero);
  }
}

TEST(BmpPixels, DirectForms) {
  for (const DirectCase& c : kDirect) {
    SCOPED_TRACE(c.what);
    const Result r = decode_ok(direct_file(c));
    EXPECT_EQ(r.info[4], c.depth);
    EXPECT_EQ(px(r, 1, 0), c.rgba);
    EXPECT_EQ(px(r, 0, 1)[0], 0);
    EXPECT_TRUE(r.padding_zero);
  }
}

TEST(BmpRle, Codes) {
  for (const RleCase& c : kRle) {
    SCOPED_TRACE(c.what);
    const Result r = decode_ok(rle_file(c));
    EXPECT_EQ(r.index, c.index);
    EXPECT_TRUE(r.padding_zero);
  }
}

// Every strict prefix of a file of each form fails cleanly: initialisation 102, or execution 105
// with nothing delivered. Run-length streams that stop after some rows are among them.
TEST(BmpTruncation, EveryPrefixFails) {
  std::vector<Bytes> files;
  for (const Layout& s : kPalette) files.push_back(bmpw::file(s));
  for (const DirectCase& c : kDirect) files.push_back(direct_file(c));
  for (const RleCase& c : kRle) files.push_back(rle_file(c));
  for (size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE(i);
    const Bytes& whole = files[i];
    decode_ok(whole);
    for (size_t n = 1; n < whole.size(); ++n) {
      const Result r = decode(Bytes(whole.begin(), whole.begin() + n));
      if (r.init != 0) {
        ASSERT_EQ(r.init, 102) << n;
      } else {
        ASSERT_EQ(r.exec, 105) << n;
        ASSERT_EQ(r.layers, 0) << n;
      }
    }
  }
}

// Which images go out with an alpha plane, by parameter (101 keep, 102 palette, 103 pixels).
TEST(BmpAlpha, Decision) {
  Layout pal_some = pal(), pal_unused = pal();  // palette fourth bytes all 0 but these
  pal_some.palette[5].a = 1;
  pal_unused.colors_used = 4;  // non-zero alpha only beyond the entries read
  pal_unused.palette[6].a = 9;
  // 2 x 2 direct-colour pictures: pixel (1, stored row 0) `one`, the others `v`.
  const auto two = [](uint16_t bits, uint32_t compression, uint32_t v, uint32_t one) {
    Layout s = direct(bits, compression, 2, 2, [=](int x, int y) { return x == 1 && y == 0 ? one : v; });
    if (compression == 3) s.masks_after = {0xFF0000, 0xFF00, 0xFF};
    return s;
  };
  const struct {
    const char* what;
    Layout layout;
    std::vector<std::pair<unsigned, long>> params;
    bool plane;
  } cases[] = {
      {"palette, alpha 0, default", pal(), {}, false},
      {"palette, alpha 0, mode 1", pal(), {{102, 1}}, true},
      {"palette, one alpha, default", pal_some, {}, true},
      {"palette, one alpha, mode 0", pal_some, {{102, 0}}, false},
      {"palette, alpha beyond the entries read", pal_unused, {}, false},
      {"palette, keep", pal(), {{101, 1}, {102, 0}}, true},
      {"32 bits, alpha 0, default", two(32, 0, 0xFFFFFF, 0xFFFFFF), {}, false},
      {"32 bits, one alpha 1, default", two(32, 0, 0, 0x01000000), {}, true},
      {"32 bits, alpha 0, mode 1", two(32, 0, 0xFFFFFF, 0xFFFFFF), {{103, 1}}, true},
      {"32 bits, one alpha, mode 0", two(32, 0, 0, 0x01000000), {{103, 0}}, false},
      {"24 bits, mode 1", two(24, 0, 0xFFFFFF, 0xFFFFFF), {{103, 1}}, false},
      {"24 bits, keep", two(24, 0, 0xFFFFFF, 0xFFFFFF), {{101, 1}, {103, 0}}, true},
      {"R565, mode 1", two(16, R565, 0xFFFF, 0xFFFF), {{103, 1}}, false},
      {"32 bit fields without alpha mask, default", two(32, 3, 0xFF000000, 0xFF000000), {}, false},
      {"32 bit fields without alpha mask, mode 1", two(32, 3, 0xFF000000, 0xFF000000), {{103, 1}}, true},
      {"5-5-5 without alpha bits, default", two(16, 0, 0x7FFF, 0x7FFF), {}, false},
      {"5-5-5 without alpha bits, mode 1", two(16, 0, 0x7FFF, 0x7FFF), {{103, 1}}, true},
      {"palette mode does not touch pixels", two(32, 0, 0, 0x01000000), {{102, 0}}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Options o;
    o.params = c.params;
    EXPECT_EQ(decode_ok(bmpw::file(c.layout), o).img.has_alpha, c.plane);
  }
}

// A palette picture that goes out with its plane carries the alpha of each pixel's entry: the
// plane holds the indexes, its grey table the entries' alpha.
TEST(BmpAlpha, PalettePlaneHoldsIndexes) {
  Layout s = pal();
  for (int i = 0; i < 256; ++i) s.palette[i].a = static_cast<uint8_t>(255 - i);
  const Result r = decode_ok(bmpw::file(s));
  ASSERT_TRUE(r.img.has_alpha);
  EXPECT_EQ(r.alpha, r.index);
  EXPECT_EQ(px(r, 1, 2), (std::vector<int>{17, 17, 17, 238}));
  EXPECT_EQ(px(r, 3, 0), (std::vector<int>{221, 221, 221, 34}));
}

// The plane of a direct-colour picture is taken at the first stored row whose alpha is not 0:
// the rows before it, and the padding of every row, come out 0 in either row order.
TEST(BmpAlpha, PlaneTakenLateHasEveryRow) {
  for (const int32_t height : {3, -3}) {
    SCOPED_TRACE(height);
    Layout s = direct(32, 0, 3, height, [](int x, int y) { return y == 2 ? (x + 1u) << 24 : 0x123456u; });
    if (height < 0) s.header_size = 12;
    const Result r = decode_ok(bmpw::file(s));
    ASSERT_TRUE(r.img.has_alpha);
    // Top row first: stored row 2 is the top row of a bottom-up file, the bottom row of a top-down one.
    const std::vector<uint8_t> late = {1, 2, 3}, none(3, 0);
    std::vector<uint8_t> want = height > 0 ? late : none;
    want.insert(want.end(), none.begin(), none.end());
    want.insert(want.end(), (height > 0 ? none : late).begin(), (height > 0 ? none : late).end());
    EXPECT_EQ(r.alpha, want);
    EXPECT_TRUE(r.alpha_padding_zero);
  }
}

// A colour table never runs into the pixel data.
TEST(BmpAlpha, ColourTableCutAtPixelOffset) {
  // 64-byte header: colours used is ignored, so 256 entries would be due; only 252 fit.
  Layout s = pal(8, 5, 64);
  s.palette = bmpw::grey(252, 255);
  s.pixels = bmpw::rows(8, 5, 3, [](int x, int y) { return 250 + (x + 5 * y) % 6; });
  const Result r = decode_ok(bmpw::file(s));
  const int v = s.palette[250].r;
  EXPECT_EQ(px(r, 0, 2), (std::vector<int>{v, v, v, 255}));
  EXPECT_EQ(px(r, 2, 2), (std::vector<int>{0, 0, 0, 255}));  // entry 252: black, not pixel bytes
  EXPECT_TRUE(r.img.has_alpha);
  // With fourth bytes 0, the entries that would have been pixel bytes do not switch the plane on.
  s.palette = bmpw::grey(252, 0);
  EXPECT_FALSE(decode_ok(bmpw::file(s)).img.has_alpha);
  // A pixel offset inside the headers leaves the table whole: the top row starts at offset 28,
  // the bit count 8.
  Layout inside = pal();
  inside.off_bits = 12;
  EXPECT_EQ(px(decode_ok(bmpw::file(inside)), 0, 0), (std::vector<int>{8, 8, 8, 255}));
}

TEST(BmpApi, ProgressPerStoredRow) {
  // 0 of 1, then stored rows (0, 3), (1, 3), (2, 3), then 1 of 1.
  const std::vector<unsigned> want = {0, 0, 33, 66, 100};
  EXPECT_EQ(decode_ok(bmpw::file(pal())).progress, want);
  EXPECT_EQ(decode_ok(rle_file({"", 8, 2, 3, {0, 0, 0, 2, 0, 1, 0, 0}, {}})).progress, want);
  Options o;
  o.stop_at = 3;  // the second row
  const Result r = decode(bmpw::file(pal()), o);
  EXPECT_EQ(r.exec, QZIERR_ABORTED);
  EXPECT_EQ(r.layers, 0);
  EXPECT_GE(r.progress.size(), 3u);
}

TEST(BmpApi, Parameters) {
  QZIDECODER d = qziCreateDecoder();
  EXPECT_EQ(qziSetDecoderParam(d, BMP_PARAM_PALETTE_ALPHA, 1, 0), QZIERR_UNKNOWN_PARAM);  // not initialised
  qziCloseDecoder(d);
  // The palette mode set to 1 stays in force after -1 is refused, and across executions: the
  // picture (palette alpha all 0) goes out with its plane both times.
  Options o;
  o.params = {{101, 5}, {101, 0}, {102, 0}, {102, 2}, {102, 3}, {102, -1}, {103, 1},
              {103, 3}, {103, -1}, {104, 0}, {100, 0}, {102, 1},  {102, -1}};
  o.runs = 2;
  const Result r = decode_ok(bmpw::file(pal()), o);
  EXPECT_EQ(r.param_results, (std::vector<int>{0, 0, 0, 0, 107, 107, 0, 107, 107, 108, 108, 0, 107}));
  EXPECT_EQ(r.alpha.size(), r.index.size());  // the second execution's
}

namespace {

// Reads a PNG as 8-bit RGBA with no colour conversion: 16-bit samples keep their high byte
// (the simplified libpng reader would take them as linear light and gamma-encode them).
bool load_png(const std::string& path, int* w, int* h, std::vector<uint8_t>* rgba) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  const bool ok = png && info && !setjmp(png_jmpbuf(png));
  if (ok) {
    png_init_io(png, f);
    png_read_info(png, info);
    png_set_expand(png);  // palette and low-depth grey to 8 bits, tRNS to an alpha channel
    png_set_strip_16(png);
    png_set_gray_to_rgb(png);
    if (!(png_get_color_type(png, info) & PNG_COLOR_MASK_ALPHA) && !png_get_valid(png, info, PNG_INFO_tRNS))
      png_set_add_alpha(png, 0xFF, PNG_FILLER_AFTER);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    *w = static_cast<int>(png_get_image_width(png, info));
    *h = static_cast<int>(png_get_image_height(png, info));
    rgba->assign(static_cast<size_t>(*w) * *h * 4, 0);
    std::vector<png_bytep> rows(static_cast<size_t>(*h));
    for (int y = 0; y < *h; ++y) rows[y] = &(*rgba)[static_cast<size_t>(y) * *w * 4];
    png_read_image(png, rows.data());
  }
  png_destroy_read_struct(&png, &info, nullptr);
  std::fclose(f);
  return ok;
}

}  // namespace

// Each line of the table: outcome of initialisation and execution, declared depth, whether an
// alpha plane went out, a checksum of the decoded RGBA and, for images that match a reference
// rendering of the suite, the largest channel difference allowed against it. The one-call
// loaders must agree with the handle.
// QZI_BMP_GOLDEN_PRINT=1 prints the lines as decoded now, for review when the table changes.
TEST(BmpSuite, GoldenTable) {
  const char* dir = std::getenv("QZI_BMPSUITE_DIR");
  if (!dir || !*dir) GTEST_SKIP() << "QZI_BMPSUITE_DIR not set: BMP suite not available";
  const bool print = std::getenv("QZI_BMP_GOLDEN_PRINT") != nullptr;
  std::ifstream in(QZI_BMP_GOLDEN_TABLE);
  int lines = 0;
  for (std::string text; std::getline(in, text);) {
    if (text.empty() || text[0] == '#') continue;
    const size_t hash = text.find('#');
    const std::string comment = hash == std::string::npos ? "" : "\t" + text.substr(hash);
    std::istringstream fields(text.substr(0, hash));
    std::string file, checksum, reference, channels;
    int init, exec, plane, tolerance;
    unsigned bpp;
    ASSERT_TRUE(fields >> file >> init >> exec >> bpp >> plane >> checksum >> reference >> tolerance >> channels)
        << "bad table line: " << text;
    ++lines;
    SCOPED_TRACE(file);
    Options o;
    const std::string path = std::string(dir) + "/" + file;
    o.path = path.c_str();
    const Result r = decode({}, o);
    const qzi_rgba::Image& img = r.img;
    char sum[17] = "-";
    if (r.exec == 0 && img.width > 0) std::snprintf(sum, sizeof sum, "%016" PRIx64, qzi_rgba::checksum(img));
    EXPECT_EQ(r.init, init);
    EXPECT_EQ(r.exec, exec);
    EXPECT_EQ(r.info[QZIDEC_INFO_BPP], bpp);
    EXPECT_EQ(img.has_alpha ? 1 : 0, plane);
    EXPECT_EQ(sum, checksum);
    // Colour is compared only where the reference is not transparent, alpha only with "rgba".
    int worst = -1, w = 0, h = 0;
    size_t at = 0;
    std::vector<uint8_t> ref;
    if (reference != "-") {
      ASSERT_TRUE(load_png(std::string(dir) + "/ref/" + reference, &w, &h, &ref)) << reference;
      ASSERT_TRUE(img.width == w && img.height == h) << "size differs from " << reference;
      for (size_t i = 0; i < ref.size(); ++i) {
        const bool compared = i % 4 == 3 ? channels == "rgba" : ref[i - i % 4 + 3] != 0;
        if (compared && std::abs(img.rgba[i] - ref[i]) > worst) worst = std::abs(img.rgba[at = i] - ref[i]);
      }
      EXPECT_LE(worst, tolerance) << "against " << reference << " at pixel " << at / 4 % w << "," << at / 4 / w
                                  << " channel " << at % 4 << ": decoded " << int(img.rgba[at]) << ", reference "
                                  << int(ref[at]);
    }
    // The one-call loaders: the same result and pixels, from the file and from memory (with the
    // file's name as hint, and without one: detection by content); outputs untouched on failure.
    std::ifstream f(path, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const std::string name = file.substr(file.find_last_of('/') + 1);
    for (const char* how : {"file", "memory", "memory without name"}) {
      unsigned char* pixels = reinterpret_cast<unsigned char*>(1);
      int lw = -1, lh = -1;
      const int rc = how[0] == 'f' ? qziLoadRGBA(path.c_str(), &pixels, &lw, &lh)
                                   : qziLoadRGBAFromMemory(bytes.data(), bytes.size(), how[6] ? nullptr : name.c_str(),
                                                           &pixels, &lw, &lh);
      EXPECT_EQ(rc, init != 0 ? init : exec) << how;
      if (rc != 0) {
        EXPECT_TRUE(pixels == nullptr && lw == 0 && lh == 0) << how;
        continue;
      }
      EXPECT_TRUE(lw == img.width && lh == img.height && std::equal(img.rgba.begin(), img.rgba.end(), pixels)) << how;
      qziFreeRGBA(pixels);
    }
    if (print)
      std::printf("%s\t%d\t%d\t%u\t%d\t%s\t%s\t%d\t%s%s\n", file.c_str(), r.init, r.exec, r.info[QZIDEC_INFO_BPP],
                  img.has_alpha ? 1 : 0, sum, reference.c_str(), worst < 0 ? tolerance : worst, channels.c_str(),
                  comment.c_str());
  }
  EXPECT_EQ(lines, 91) << "one line per suite image";
}
