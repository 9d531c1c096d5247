// BMP module through the public API (qzi_decode.h). Files built by bmp_writer.h: header cases and palette
// forms, direct-colour forms and masks, run-length codes, every prefix of those files, the alpha
// decision (the cases in bmp_cases.tsv), progress and parameters. Then the public BMP test suite (folder in QZI_BMPSUITE_DIR)
// against the golden table beside this file.
#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "bmp_writer.h"
#include "pvr_writer.h"
#include "qzi_decode.h"
#include "tsv.h"

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

auto rows(const std::string& kind, size_t fields) { return qzi_test::tsv(QZI_BMP_CASES, kind, fields); }

// The numbers of a list separated by commas or spaces, decimal or 0x hexadecimal; "-" is none.
std::vector<long> nums(std::string text) {
  std::replace(text.begin(), text.end(), ',', ' ');
  std::vector<long> v;
  std::istringstream in(text == "-" ? "" : text);
  for (std::string n; in >> n;) v.push_back(std::stol(n, nullptr, 0));
  return v;
}
template <typename T>
std::vector<T> as(const std::vector<long>& v) {
  return std::vector<T>(v.begin(), v.end());
}

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

// A direct-colour case: 3 x 2, pixel (1, stored row 1) given, the others 0. 16-bit rows carry
// 2 padding bytes, 24-bit rows 3.
Bytes direct_file(const std::vector<std::string>& c) {
  const uint32_t pixel = std::stoul(c[6], nullptr, 0), header = std::stoul(c[4]);
  Layout s = direct(std::stoi(c[2]), std::stoul(c[3], nullptr, 0), 3, 2,
                    [&](int x, int y) { return x == 1 && y == 1 ? pixel : 0u; });
  s.header_size = header;
  const std::vector<uint32_t> masks = as<uint32_t>(nums(c[5]));
  if (header == 56 || header == 124) {
    std::copy(masks.begin(), masks.end(), s.header_masks);
  } else if (header == 52) {
    // Red, green and blue inside the header; decoys behind it, where the pixels would start.
    for (uint32_t m : masks)
      for (int k = 0; k < 4; ++k) s.header_tail.push_back(static_cast<uint8_t>(m >> (8 * k)));
    s.masks_after = {0xFF0000, 0xFF00, 0xFF};
  } else {
    s.masks_after = masks;
  }
  return bmpw::file(s);
}

Bytes rle_file(int bits, int width, int height, const Bytes& codes) {
  Layout s = direct(bits, bits == 8 ? 1 : 2, width, height, [](int, int) { return 0u; });
  s.palette = bmpw::grey(1 << bits);
  s.pixels = codes;
  return bmpw::file(s);
}
Bytes rle_file(const std::vector<std::string>& c) {
  return rle_file(std::stoi(c[2]), std::stoi(c[3]), std::stoi(c[4]), as<uint8_t>(nums(c[5])));
}

// The file of a header case: the edits of its table line on the grey palette picture s.
Bytes header_file(Layout& s, const std::string& edits) {
  std::vector<std::pair<std::string, std::vector<long>>> bytes;
  long entries = 0, link_from = -1, link_to = 0;
  std::istringstream in(edits);
  for (std::string e; in >> e;) {
    const std::string key = e.substr(0, e.find('='));
    const std::vector<long> v = nums(e.substr(key.size() + 1));
    if (key == "header_size") s.header_size = v[0];
    else if (key == "width") s.width = v[0];
    else if (key == "height") s.height = v[0];
    else if (key == "planes") s.planes = v[0];
    else if (key == "bit_count") s.bit_count = v[0];
    else if (key == "compression") s.compression = v[0];
    else if (key == "colors_used") s.colors_used = v[0];
    else if (key == "gap") s.gap = v[0];
    else if (key == "off_bits") s.off_bits = v[0];
    else if (key == "array") entries = v[0];
    else if (key == "link") link_from = v[0], link_to = v[1];
    else bytes.push_back({key, v});
  }
  Bytes b = entries ? bmpw::array(s, entries, [=](int i, uint32_t n) { return i == link_from ? link_to : n; })
                    : build(s);
  for (const auto& [op, v] : bytes) {
    const size_t at = v[0] < 0 ? b.size() + v[0] : v[0];
    if (op == "lead") b.insert(b.begin(), size_t(v[0]), uint8_t(v[1]));
    else if (op == "drop") b.erase(b.begin(), b.begin() + v[0]);
    else if (op == "set") b.at(at) = v[1];
    else if (op == "or") b.at(at) |= v[1];
    else ADD_FAILURE() << "unknown edit " << op;
  }
  return b;
}

// Palette files of every depth, widths ending inside a byte, for the prefix sweep; rows without
// padding in the last, whose last row is read in one piece.
const Layout kPalette[] = {pal(1, 10), pal(2, 7), pal(4, 7), pal(), pal(8, 4, 12)};

// Header sizes, forms, limits, signatures, bitmap arrays and palette depths on a grey picture.
TEST(BmpHeader, Cases) {
  for (const auto& c : rows("header", 5)) {
    SCOPED_TRACE(c[1]);
    Layout s = pal();
    const Bytes f = header_file(s, c[2]);
    const int init = std::stoi(c[3]), exec = std::stoi(c[4]);
    const Result r = decode(f);
    ASSERT_EQ(r.init, init);
    Options swap;
    swap.before_exec = [&](MemStream& m) { m.data = f; };
    const Result x = init ? decode(bmpw::file(pal()), swap) : r;
    EXPECT_EQ(x.exec, exec);
    if (exec != 0) {
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
  for (const auto& c : rows("direct", 9)) {
    SCOPED_TRACE(c[1]);
    const Result r = decode_ok(direct_file(c));
    EXPECT_EQ(r.info[4], std::stoul(c[8]));
    EXPECT_EQ(px(r, 1, 0), as<int>(nums(c[7])));
    EXPECT_EQ(px(r, 0, 1)[0], 0);
    EXPECT_TRUE(r.padding_zero);
  }
}

// A 1-bit picture large enough for the rows that bypass the cache, with an odd width so that
// every other row starts off their alignment and each row ends in a cut byte.
TEST(BmpPixels, LargeOneBitPicture) {
  Layout s;
  s.width = 4099;
  s.height = 2048;
  s.bit_count = 1;
  s.palette = bmpw::grey(2);
  const Values v = [](int x, int y) { return static_cast<uint32_t>(((x * 7 + y * 3) >> 2) & 1); };
  s.pixels = bmpw::rows(1, s.width, s.height, v);
  const Result r = decode_ok(bmpw::file(s));
  ASSERT_EQ(r.index.size(), static_cast<size_t>(s.width) * s.height);
  size_t wrong = 0;
  for (int y = 0; y < s.height; ++y)
    for (int x = 0; x < s.width; ++x) wrong += r.index[static_cast<size_t>(y) * s.width + x] != v(x, s.height - 1 - y);
  EXPECT_EQ(wrong, 0u);
  EXPECT_TRUE(r.padding_zero);
}

TEST(BmpRle, Codes) {
  for (const auto& c : rows("rle", 7)) {
    SCOPED_TRACE(c[1]);
    const Result r = decode_ok(rle_file(c));
    EXPECT_EQ(r.index, as<uint8_t>(nums(c[6])));
    EXPECT_TRUE(r.padding_zero);
  }
}

// Every strict prefix of a file of each form fails cleanly: initialisation 102, or execution 105
// with nothing delivered. Run-length streams that stop after some rows are among them.
TEST(BmpTruncation, EveryPrefixFails) {
  std::vector<Bytes> files;
  for (const Layout& s : kPalette) files.push_back(bmpw::file(s));
  for (const auto& c : rows("direct", 9)) files.push_back(direct_file(c));
  for (const auto& c : rows("rle", 7)) files.push_back(rle_file(c));
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

// The library's memory input goes on from the header its probe read; a caller's stream has the
// header read again by each execution. Every header, direct-colour, run-length and alpha case,
// and every prefix of a palette file, gives the same results both ways, also when executed twice.
TEST(BmpApi, InPlaceInputMatchesTheStream) {
  std::vector<Bytes> files;
  for (const auto& c : rows("header", 5)) {
    Layout s = pal();
    files.push_back(header_file(s, c[2]));
  }
  for (const auto& c : rows("direct", 9)) files.push_back(direct_file(c));
  for (const auto& c : rows("rle", 7)) files.push_back(rle_file(c));
  for (const int32_t height : {3, -3}) {
    Layout s = direct(32, 0, 3, height, [](int x, int y) { return y == 2 ? (x + 1u) << 24 : 0x123456u; });
    if (height < 0) s.header_size = 12;
    files.push_back(bmpw::file(s));
  }
  const Bytes whole = bmpw::file(kPalette[1]);
  for (size_t n = 1; n < whole.size(); n += 3) files.push_back(Bytes(whole.begin(), whole.begin() + n));
  for (size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE(i);
    Options o;
    o.runs = 2;
    const Result a = decode(files[i], o);
    o.in_place = true;
    const Result b = decode(files[i], o);
    EXPECT_EQ(b.init, a.init);
    EXPECT_EQ(b.exec, a.exec);
    EXPECT_EQ(b.reason, a.reason);
    EXPECT_EQ(b.layers, a.layers);
    EXPECT_EQ(b.img.rgba, a.img.rgba);
    EXPECT_EQ(b.index, a.index);
    EXPECT_EQ(b.alpha, a.alpha);
    EXPECT_EQ(b.progress, a.progress);
  }
}

TEST(BmpAlpha, Decision) {
  for (const auto& c : rows("alpha", 5)) {
    SCOPED_TRACE(c[1]);
    const std::vector<long> params = nums(c[3]);
    Layout s = pal();
    if (c[2] == "pal 5") s.palette[5].a = 1;
    if (c[2] == "pal unused") s.colors_used = 4, s.palette[6].a = 9;
    if (c[2].rfind("pal", 0) != 0) {
      const std::vector<long> p = nums(c[2]);
      s = direct(p[0], p[1], 2, 2, [&](int x, int y) { return uint32_t(x == 1 && y == 0 ? p[3] : p[2]); });
      if (p[1] == 3) s.masks_after = {0xFF0000, 0xFF00, 0xFF};
    }
    Options o;
    for (size_t i = 0; i + 1 < params.size(); i += 2) o.params.push_back({params[i], params[i + 1]});
    EXPECT_EQ(decode_ok(bmpw::file(s), o).img.has_alpha, c[4] == "1");
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
    const std::vector<uint8_t> top = {1, 2, 3, 0, 0, 0, 0, 0, 0}, bottom = {0, 0, 0, 0, 0, 0, 1, 2, 3};
    EXPECT_EQ(r.alpha, height > 0 ? top : bottom);
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
  EXPECT_EQ(decode_ok(rle_file(8, 2, 3, {0, 0, 0, 2, 0, 1, 0, 0})).progress, want);
  Options o;
  o.stop_at = 3;  // the second row
  const Result r = decode(bmpw::file(pal()), o);
  EXPECT_EQ(r.exec, QZIERR_ABORTED);
  EXPECT_EQ(r.layers, 0);
  EXPECT_GE(r.progress.size(), 3u);
}

TEST(BmpApi, Parameters) {
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
  const std::vector<qzi_test::Row> table = qzi_test::tsv(QZI_BMP_GOLDEN_TABLE);
  for (const qzi_test::Row& c : table) {
    ASSERT_GE(c.size(), 9u) << c[0];
    const std::string &file = c[0], &checksum = c[5], &reference = c[6], &channels = c[8];
    const int init = std::stoi(c[1]), exec = std::stoi(c[2]), plane = std::stoi(c[4]), tolerance = std::stoi(c[7]);
    const unsigned bpp = std::stoul(c[3]);
    const std::string comment = c.size() > 9 ? "\t" + c[9] : "";
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
  EXPECT_EQ(table.size(), 91u) << "one line per suite image";
}

// Refused files of every kind and the reason the handle gives: the table beside the test folder.
// The reason is cleared by the next call on the handle, so a success after a refusal has none.
TEST(Refusals, Reasons) {
  const char* suite = std::getenv("QZI_BMPSUITE_DIR");
  for (const qzi_test::Row& c : qzi_test::tsv(QZI_REFUSALS_TABLE)) {
    ASSERT_GE(c.size(), 5u) << c[0];
    SCOPED_TRACE(c[0] + " (" + c[1] + ")");
    const std::string kind = c[0].substr(0, c[0].find(' '));
    const std::string args = c[0].substr(kind.size() + 1);
    Bytes f;
    Options o;
    std::string path;
    if (kind == "bmp") {
      Layout s = pal();
      f = header_file(s, args);
    } else if (kind == "pvr3") {
      const std::vector<long> v = nums(args);
      f = pvrtest::v3(static_cast<uint64_t>(v[0]), v[1], v[2], Bytes(static_cast<size_t>(v[3]), 0));
      o.name = "x.pvr";
    } else if (kind == "bytes") {
      const std::vector<long> v = nums(args);
      f = Bytes(static_cast<size_t>(v[0]), static_cast<uint8_t>(v[1]));
      o.name = "";
    } else if (kind == "suite") {
      if (!suite || !*suite) continue;
      path = std::string(suite) + "/" + args;
      o.path = path.c_str();
    } else {
      FAIL() << "unknown source " << kind;
    }
    const Result r = decode(f, o);
    EXPECT_EQ(r.init, std::stoi(c[2]));
    if (r.init == 0) {
      EXPECT_EQ(r.exec, std::stoi(c[3]));
    }
    EXPECT_EQ(r.reason, c[4]);
  }
  // No stale text: a good picture decoded after a refusal on the same handle has no reason.
  QZIDECODER h = qziCreateDecoder();
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(qziDecoderExecute(h), 110);
  EXPECT_STREQ(qziDecoderGetReason(h), "the handle is not initialised");
  MemStream m(bmpw::file(pal()));
  EXPECT_EQ(qziDecoderInitialize(h, &m, static_cast<int>(m.data.size()), MemStream::read, MemStream::setpos, nullptr, "x.bmp"), 0);
  EXPECT_STREQ(qziDecoderGetReason(h), "");
  EXPECT_EQ(qziDecoderExecute(h), 0);
  EXPECT_STREQ(qziDecoderGetReason(h), "");
  qziCloseDecoder(h);
  EXPECT_STREQ(qziDecoderGetReason(nullptr), "");
}
