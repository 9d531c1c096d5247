// libqzipvr through its three calls, on textures built here.
#include <android/ETC1/etc1.h>
#include <gtest/gtest.h>
#include <squish.h>

#include <algorithm>
#include <array>
#include <random>

#include "pvr_builder.h"
#include "qzipvr.h"

using namespace pvrtest;

namespace {

using Pixel = std::array<int, 4>;  // blue, green, red, alpha

Pixel px(const Decoded& d, int x, int y) {
  const size_t o = (static_cast<size_t>(y) * d.width + x) * 4;
  return {d.bgra[o], d.bgra[o + 1], d.bgra[o + 2], d.bgra[o + 3]};
}

Bytes legacy(uint32_t type_and_flags, uint32_t w, uint32_t h, const Bytes& data, int version = 2) {
  return cat(legacy_header(version, w, h, type_and_flags), data);
}

Bytes v3(uint64_t format, uint32_t w, uint32_t h, const Bytes& data, Bytes metadata = {}) {
  V3 v;
  v.pixel_format = format;
  v.width = w;
  v.height = h;
  v.metadata = std::move(metadata);
  return cat(v3_header(v), data);
}

int header_result(const Bytes& file, int* format = nullptr) {
  int w = 0, h = 0, f = -1;
  const int r = qzipvr03(file.data(), static_cast<int>(file.size()), &w, &h, &f);
  if (format) *format = f;
  return r;
}

// ---------------------------------------------------------------- headers

TEST(PvrHeader, LegacyPixelTypes) {
  const struct {
    uint32_t type;
    int format;  // -1: refused
  } cases[] = {
      {0x00, QZIPVR_FORMAT_PACKED}, {0x01, QZIPVR_FORMAT_PACKED}, {0x02, QZIPVR_FORMAT_PACKED},
      {0x03, QZIPVR_FORMAT_PACKED}, {0x04, QZIPVR_FORMAT_RGB888}, {0x05, -1},
      {0x06, QZIPVR_FORMAT_PACKED}, {0x07, QZIPVR_FORMAT_L8}, {0x08, QZIPVR_FORMAT_CHANNELS},
      {0x09, -1}, {0x0B, -1}, {0x0C, QZIPVR_FORMAT_PVRTC_2BPP}, {0x0D, QZIPVR_FORMAT_PVRTC_4BPP},
      {0x10, QZIPVR_FORMAT_PACKED}, {0x11, QZIPVR_FORMAT_PACKED}, {0x12, QZIPVR_FORMAT_RGBA8888},
      {0x13, QZIPVR_FORMAT_PACKED}, {0x14, QZIPVR_FORMAT_PACKED}, {0x15, QZIPVR_FORMAT_RGB888},
      {0x16, QZIPVR_FORMAT_L8}, {0x17, QZIPVR_FORMAT_CHANNELS}, {0x18, QZIPVR_FORMAT_PVRTC_2BPP},
      {0x19, QZIPVR_FORMAT_PVRTC_4BPP}, {0x1A, QZIPVR_FORMAT_BGRA8888}, {0x1B, QZIPVR_FORMAT_A8},
      {0x1C, -1}, {0x1D, -1}, {0x20, QZIPVR_FORMAT_BC1}, {0x21, QZIPVR_FORMAT_BC2},
      {0x22, QZIPVR_FORMAT_BC2}, {0x23, QZIPVR_FORMAT_BC3}, {0x24, QZIPVR_FORMAT_BC3}, {0x25, -1},
      {0x36, QZIPVR_FORMAT_ETC1}, {0x37, -1}, {0x38, -1}, {0x40, QZIPVR_FORMAT_A8}, {0x42, -1},
      {0x43, QZIPVR_FORMAT_L8}, {0x44, -1}, {0x60, -1}, {0x61, QZIPVR_FORMAT_RGBA8888},
      {0x62, QZIPVR_FORMAT_RGBA8888}, {0x80, -1}, {0x90, -1}, {0xFF, -1},
  };
  for (const auto& c : cases) {
    for (int version : {1, 2}) {
      SCOPED_TRACE(testing::Message() << "type 0x" << std::hex << c.type << " v" << version);
      Bytes file = legacy(c.type, 16, 16, Bytes(16, 0), version);
      int w = -7, h = -7, f = -7;
      const int r = qzipvr03(file.data(), 52, &w, &h, &f);
      if (c.format < 0) {
        EXPECT_NE(r, QZIPVR_OK);
        EXPECT_EQ(w, -7);  // outputs stay alone on refusal
      } else {
        ASSERT_EQ(r, QZIPVR_OK);
        EXPECT_EQ(f, c.format);
        EXPECT_EQ(w, 16);
        EXPECT_EQ(h, 16);
      }
    }
  }
}

TEST(PvrHeader, V3CompressedIds) {
  const struct {
    uint32_t id;
    int format;
  } cases[] = {
      {0, QZIPVR_FORMAT_PVRTC_2BPP}, {1, QZIPVR_FORMAT_PVRTC_2BPP}, {2, QZIPVR_FORMAT_PVRTC_4BPP},
      {3, QZIPVR_FORMAT_PVRTC_4BPP}, {4, -1}, {5, -1}, {6, QZIPVR_FORMAT_ETC1}, {7, QZIPVR_FORMAT_BC1},
      {8, QZIPVR_FORMAT_BC2}, {9, QZIPVR_FORMAT_BC2}, {10, QZIPVR_FORMAT_BC3}, {11, QZIPVR_FORMAT_BC3},
      {12, -1}, {13, -1}, {14, -1}, {15, -1}, {16, -1}, {19, -1}, {22, -1}, {23, -1}, {24, -1}, {25, -1},
      {27, -1}, {40, -1}, {41, -1}, {51, -1}, {53, -1}, {55, -1}, {58, -1}, {59, -1}, {0xFFFFFFFF, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "id " << c.id);
    int f = -1;
    const int r = header_result(v3(c.id, 32, 32, {}), &f);
    if (c.format < 0) {
      EXPECT_NE(r, QZIPVR_OK);
    } else {
      EXPECT_EQ(r, QZIPVR_OK);
      EXPECT_EQ(f, c.format);
    }
  }
}

TEST(PvrHeader, V3ChannelLayouts) {
  const struct {
    uint64_t layout;
    uint32_t channel_type;
    int format;
  } cases[] = {
      {channels("rgba", 8, 8, 8, 8), 0, QZIPVR_FORMAT_RGBA8888},
      {channels("rgba", 8, 8, 8, 8), 2, QZIPVR_FORMAT_RGBA8888},
      {channels("bgra", 8, 8, 8, 8), 0, QZIPVR_FORMAT_BGRA8888},
      {channels("rgb", 8, 8, 8), 0, QZIPVR_FORMAT_RGB888},
      {channels("rgb", 5, 6, 5), 4, QZIPVR_FORMAT_PACKED},
      {channels("rgba", 4, 4, 4, 4), 6, QZIPVR_FORMAT_PACKED},
      {channels("rgba", 5, 5, 5, 1), 4, QZIPVR_FORMAT_PACKED},
      {channels("xrgb", 1, 5, 5, 5), 0, QZIPVR_FORMAT_PACKED},
      {channels("rg", 4, 4), 0, QZIPVR_FORMAT_PACKED},
      {channels("a", 8), 0, QZIPVR_FORMAT_A8},
      {channels("l", 8), 0, QZIPVR_FORMAT_L8},
      {channels("i", 8), 0, QZIPVR_FORMAT_L8},
      {channels("la", 8, 8), 0, QZIPVR_FORMAT_CHANNELS},
      {channels("argb", 8, 8, 8, 8), 0, QZIPVR_FORMAT_CHANNELS},
      {channels("r", 8), 0, QZIPVR_FORMAT_CHANNELS},
      // Refused: wide, signed or float channels, odd totals, unknown or repeated letters.
      {channels("rgba", 16, 16, 16, 16), 12, -1},
      {channels("rgba", 8, 8, 8, 8), 1, -1},
      {channels("rgba", 8, 8, 8, 8), 12, -1},
      {channels("rgba", 8, 8, 8, 8), 13, -1},
      {channels("rgba", 8, 8, 8, 8), 14, -1},
      {channels("r", 16), 4, -1},
      {channels("r", 32), 12, -1},
      {channels("rgb", 5, 5, 5), 0, -1},
      {channels("rgb", 8, 8, 0), 0, -1},
      {channels("rr", 8, 8), 0, -1},
      {channels("lr", 8, 8), 0, -1},
      {channels("li", 8, 8), 0, -1},
      {channels("x", 8), 0, -1},
      {channels("d", 8), 0, -1},
      {channels("R", 8), 0, -1},
      {(uint64_t{'r'} | uint64_t{'g'} << 16) | (uint64_t{8} | uint64_t{8} << 16) << 32, 0, -1},  // gap
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "layout 0x" << std::hex << c.layout << " type " << std::dec << c.channel_type);
    V3 v;
    v.pixel_format = c.layout;
    v.width = 4;
    v.height = 4;
    v.channel_type = c.channel_type;
    int f = -1;
    const int r = header_result(v3_header(v), &f);
    if (c.format < 0) {
      EXPECT_NE(r, QZIPVR_OK);
    } else {
      EXPECT_EQ(r, QZIPVR_OK);
      EXPECT_EQ(f, c.format);
    }
  }
}

TEST(PvrHeader, ContainerRules) {
  const uint64_t rgba = channels("rgba", 8, 8, 8, 8);
  auto with = [](V3 v, auto change) {
    change(v);
    return v3_header(v);
  };
  V3 base;
  base.pixel_format = rgba;
  base.width = 16;
  base.height = 16;
  Bytes no_tag = legacy_header(2, 16, 16, 0x12);
  no_tag[44] = 'X';
  Bytes size48 = legacy_header(2, 16, 16, 0x12);
  size48[0] = 48;
  Bytes big_endian_v3 = v3_header(base);
  std::reverse(big_endian_v3.begin(), big_endian_v3.begin() + 4);
  Bytes big_endian_v2 = legacy_header(2, 16, 16, 0x12);
  std::reverse(big_endian_v2.begin(), big_endian_v2.begin() + 4);

  const struct {
    const char* what;
    Bytes header;
    bool accepted;
  } cases[] = {
      {"v1", legacy_header(1, 16, 16, 0x12), true},
      {"v2", legacy_header(2, 16, 16, 0x12), true},
      {"v3", v3_header(base), true},
      {"v2 without tag", no_tag, false},
      {"header size 48", size48, false},
      {"big-endian v3", big_endian_v3, false},
      {"big-endian v2", big_endian_v2, false},
      {"v2 width 0", legacy_header(2, 0, 16, 0x12), false},
      {"v2 height 0", legacy_header(2, 16, 0, 0x12), false},
      {"v2 height 65536", legacy_header(2, 1, 65536, 0x12), true},
      {"v2 height 65537", legacy_header(2, 1, 65537, 0x12), false},
      {"v3 width 65536", with(base, [](V3& v) { v.width = 65536; }), true},
      {"v3 width 65537", with(base, [](V3& v) { v.width = 65537; }), false},
      {"v3 width 2^31", with(base, [](V3& v) { v.width = 0x80000000u; }), false},
      {"v3 volume", with(base, [](V3& v) { v.depth = 2; }), false},
      {"v3 depth 0", with(base, [](V3& v) { v.depth = 0; }), false},
      {"v3 compressed file", with(base, [](V3& v) { v.flags = 1; }), false},
      {"v3 premultiplied", with(base, [](V3& v) { v.flags = 2; }), true},
      {"v2 volume", legacy_header(2, 16, 16, 0x4000 | 0x12), false},
      {"v2 cube map", legacy_header(2, 16, 16, 0x1000 | 0x12), true},
      {"v2 mipmapped", legacy_header(2, 16, 16, 0x100 | 0x12), true},
      {"v2 twiddled RGBA8888", legacy_header(2, 16, 16, 0x200 | 0x12), false},
      {"v2 twiddled ETC1", legacy_header(2, 16, 16, 0x200 | 0x36), false},
      {"v2 twiddled PVRTC", legacy_header(2, 16, 16, 0x8200 | 0x19), true},
      // PVRTC needs power-of-two sizes once padded to two blocks each way.
      {"PVRTC4 12x16", legacy_header(2, 12, 16, 0x19), false},
      {"PVRTC4 16x12", legacy_header(2, 16, 12, 0x19), false},
      {"PVRTC4 4x4", legacy_header(2, 4, 4, 0x19), true},
      {"PVRTC4 1x1", legacy_header(2, 1, 1, 0x19), true},
      {"PVRTC4 7x5", legacy_header(2, 7, 5, 0x19), true},
      {"PVRTC4 9x8", legacy_header(2, 9, 8, 0x19), false},
      {"PVRTC2 8x8", legacy_header(2, 8, 8, 0x18), true},
      {"PVRTC2 24x8", legacy_header(2, 24, 8, 0x18), false},
      {"PVRTC2 32x4", legacy_header(2, 32, 4, 0x18), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(header_result(c.header) == QZIPVR_OK, c.accepted);
  }
}

TEST(PvrHeader, Arguments) {
  Bytes v1 = legacy_header(1, 4, 4, 0x12);
  Bytes v2 = legacy_header(2, 4, 4, 0x12);
  int w = 0, h = 0, f = 0;
  EXPECT_EQ(qzipvr03(v1.data(), 44, &w, &h, &f), QZIPVR_OK);
  EXPECT_NE(qzipvr03(v1.data(), 43, &w, &h, &f), QZIPVR_OK);
  EXPECT_NE(qzipvr03(v2.data(), 44, &w, &h, &f), QZIPVR_OK);  // the tag lies beyond 44
  EXPECT_NE(qzipvr03(v2.data(), 51, &w, &h, &f), QZIPVR_OK);
  EXPECT_EQ(qzipvr03(v2.data(), 52, &w, &h, &f), QZIPVR_OK);
  EXPECT_NE(qzipvr03(nullptr, 52, &w, &h, &f), QZIPVR_OK);
  EXPECT_NE(qzipvr03(v2.data(), 52, nullptr, &h, &f), QZIPVR_OK);
  EXPECT_NE(qzipvr03(v2.data(), 52, &w, nullptr, &f), QZIPVR_OK);
  EXPECT_NE(qzipvr03(v2.data(), 52, &w, &h, nullptr), QZIPVR_OK);
  EXPECT_NE(qzipvr03(v2.data(), -52, &w, &h, &f), QZIPVR_OK);
}

TEST(PvrHeader, DecodedSize) {
  const struct {
    int w, h, format;
    size_t size;
  } cases[] = {
      {1, 1, QZIPVR_FORMAT_RGBA8888, 4},
      {3, 5, QZIPVR_FORMAT_CHANNELS, 60},
      {3, 5, QZIPVR_FORMAT_BC1, 60},
      {1, 1, QZIPVR_FORMAT_PVRTC_4BPP, 4},
      {12, 16, QZIPVR_FORMAT_PVRTC_4BPP, 0},
      {24, 8, QZIPVR_FORMAT_PVRTC_2BPP, 0},
      {65536, 65536, QZIPVR_FORMAT_A8, size_t{1} << 34},
      {0, 1, QZIPVR_FORMAT_A8, 0},
      {1, 0, QZIPVR_FORMAT_A8, 0},
      {-1, 1, QZIPVR_FORMAT_A8, 0},
      {65537, 1, QZIPVR_FORMAT_A8, 0},
      {1, 65537, QZIPVR_FORMAT_A8, 0},
      {2, 2, 12, 16},
      {2, 2, 13, 0},
      {2, 2, -1, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " format " << c.format);
    EXPECT_EQ(qzipvr04(c.w, c.h, c.format), c.size);
  }
}

// ---------------------------------------------------------------- uncompressed

TEST(PvrUncompressed, OnePixelPerLayout) {
  const struct {
    const char* what;
    Bytes file;
    Pixel expected;
  } cases[] = {
      {"RGBA8888", legacy(0x12, 1, 1, {1, 2, 3, 4}), {3, 2, 1, 4}},
      {"R8G8B8A8 (0x61)", legacy(0x61, 1, 1, {1, 2, 3, 4}), {3, 2, 1, 4}},
      {"BGRA8888", legacy(0x1A, 1, 1, {1, 2, 3, 4}), {1, 2, 3, 4}},
      {"RGB888", legacy(0x15, 1, 1, {1, 2, 3}), {3, 2, 1, 255}},
      {"RGBA4444", legacy(0x10, 1, 1, {0x34, 0x12}), {51, 34, 17, 68}},
      {"RGBA5551", legacy(0x11, 1, 1, {0xF1, 0x80}), {198, 24, 132, 255}},
      {"RGBA5551 clear", legacy(0x11, 1, 1, {0xF0, 0x80}), {198, 24, 132, 0}},
      {"RGB565 red", legacy(0x13, 1, 1, {0x00, 0xF8}), {0, 0, 255, 255}},
      {"RGB565", legacy(0x13, 1, 1, {0x21, 0x04}), {8, 134, 0, 255}},
      {"RGB555", legacy(0x14, 1, 1, {0x3F, 0xF8}), {255, 0, 255, 255}},
      {"I8", legacy(0x16, 1, 1, {77}), {77, 77, 77, 255}},
      {"AI88", legacy(0x17, 1, 1, {77, 200}), {77, 77, 77, 200}},
      {"A8", legacy(0x1B, 1, 1, {200}), {0, 0, 0, 200}},
      {"ARGB4444", legacy(0x00, 1, 1, {0x34, 0x12}), {68, 51, 34, 17}},
      {"ARGB1555", legacy(0x01, 1, 1, {0x00, 0xFC}), {0, 0, 255, 255}},
      {"XRGB1555", legacy(0x03, 1, 1, {0x00, 0x7C}), {0, 0, 255, 255}},
      {"ARGB8332", legacy(0x06, 1, 1, {0xE2, 0x80}), {170, 0, 255, 128}},
      {"MGL AI88", legacy(0x08, 1, 1, {200, 77}), {77, 77, 77, 200}},
      {"v3 rgba8888", v3(channels("rgba", 8, 8, 8, 8), 1, 1, {1, 2, 3, 4}), {3, 2, 1, 4}},
      {"v3 argb8888", v3(channels("argb", 8, 8, 8, 8), 1, 1, {4, 1, 2, 3}), {3, 2, 1, 4}},
      {"v3 rgb565", v3(channels("rgb", 5, 6, 5), 1, 1, {0x21, 0x04}), {8, 134, 0, 255}},
      {"v3 la88", v3(channels("la", 8, 8), 1, 1, {77, 200}), {77, 77, 77, 200}},
      {"v3 i8", v3(channels("i", 8), 1, 1, {5}), {5, 5, 5, 255}},
      {"v3 r8", v3(channels("r", 8), 1, 1, {9}), {0, 0, 9, 255}},
      {"v3 rg44", v3(channels("rg", 4, 4), 1, 1, {0xA5}), {0, 85, 170, 255}},
      {"v3 ax17 set", v3(channels("ax", 1, 7), 1, 1, {0x80}), {0, 0, 0, 255}},
      {"v3 ax17 clear", v3(channels("ax", 1, 7), 1, 1, {0x7F}), {0, 0, 0, 0}},
      {"v3 bgr332", v3(channels("bgr", 3, 3, 2), 1, 1, {0xAE}), {182, 109, 170, 255}},
      {"v3 rgba6666", v3(channels("rgba", 6, 6, 6, 6), 1, 1, {0x01, 0x08, 0xFC}), {130, 0, 255, 4}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Decoded d = decode(c.file);
    ASSERT_EQ(d.header, QZIPVR_OK);
    ASSERT_EQ(d.decode, QZIPVR_OK);
    EXPECT_EQ(px(d, 0, 0), c.expected);
  }
}

// The same 3 x 2 picture behind each header: data offsets and pixel order.
TEST(PvrUncompressed, DataOffsetAndOrderPerHeader) {
  const Bytes data = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24};
  const Bytes skipped = cat(meta_block(0x53465443, 0x59525241, {0, 0, 0, 0}), meta_block(0x03525650, 6, {1, 2, 3, 4}));
  const Bytes files[] = {
      legacy(0x12, 3, 2, data, 1),
      legacy(0x12, 3, 2, data, 2),
      v3(channels("rgba", 8, 8, 8, 8), 3, 2, data),
      v3(channels("rgba", 8, 8, 8, 8), 3, 2, data, skipped),
      v3(channels("rgba", 8, 8, 8, 8), 3, 2, data, orientation(0, 0)),
  };
  for (const Bytes& f : files) {
    const Decoded d = decode(f);
    ASSERT_EQ(d.decode, QZIPVR_OK);
    ASSERT_EQ(d.width, 3);
    ASSERT_EQ(d.height, 2);
    EXPECT_EQ(px(d, 0, 0), (Pixel{3, 2, 1, 4}));
    EXPECT_EQ(px(d, 2, 0), (Pixel{11, 10, 9, 12}));
    EXPECT_EQ(px(d, 0, 1), (Pixel{15, 14, 13, 16}));
    EXPECT_EQ(px(d, 2, 1), (Pixel{23, 22, 21, 24}));
  }
}

TEST(PvrUncompressed, Orientation) {
  // 2 x 3 A8 picture: alpha of stored pixel (x, y) is 10 * y + x + 1.
  const Bytes data = {1, 2, 11, 12, 21, 22};
  const uint64_t a8 = channels("a", 8);
  const struct {
    const char* what;
    Bytes file;
    int top_left;
    int bottom_right;
  } cases[] = {
      {"as stored", v3(a8, 2, 3, data), 1, 22},
      {"v3 rows up", v3(a8, 2, 3, data, orientation(0, 2)), 21, 2},
      {"v3 columns left", v3(a8, 2, 3, data, orientation(1, 0)), 2, 21},
      {"v3 both", v3(a8, 2, 3, data, orientation(1, 2)), 22, 1},
      {"v3 after other blocks", v3(a8, 2, 3, data, cat(meta_block(0x53465443, 3, {9, 9, 9}), orientation(0, 2))), 21, 2},
      {"v2 vertical flip", legacy(0x10000 | 0x1B, 2, 3, data), 21, 2},
      {"v1 vertical flip", legacy(0x10000 | 0x1B, 2, 3, data, 1), 21, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Decoded d = decode(c.file);
    ASSERT_EQ(d.decode, QZIPVR_OK);
    EXPECT_EQ(px(d, 0, 0)[3], c.top_left);
    EXPECT_EQ(px(d, 1, 2)[3], c.bottom_right);
  }
}

// ---------------------------------------------------------------- ETC1 and BC

Bytes random_bytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& v : b) v = static_cast<uint8_t>(rng());
  return b;
}

// Any 8 bytes are an ETC1 block: compare odd-sized pictures with the library's own
// whole-picture decode.
TEST(PvrBlockFormats, Etc1MatchesWholeImageDecode) {
  for (auto size : {std::array<int, 2>{5, 7}, {4, 4}, {1, 1}, {13, 3}}) {
    const int w = size[0], h = size[1];
    SCOPED_TRACE(testing::Message() << w << "x" << h);
    const Bytes blocks = random_bytes(etc1_get_encoded_data_size(w, h), static_cast<unsigned>(w * 31 + h));
    Bytes rgb(static_cast<size_t>(w) * h * 3);
    ASSERT_EQ(etc1_decode_image(blocks.data(), rgb.data(), w, h, 3, w * 3), 0);
    for (const Bytes& file : {legacy(0x36, w, h, blocks), v3(6, w, h, blocks)}) {
      const Decoded d = decode(file);
      ASSERT_EQ(d.decode, QZIPVR_OK);
      for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
          const uint8_t* s = &rgb[(static_cast<size_t>(y) * w + x) * 3];
          ASSERT_EQ(px(d, x, y), (Pixel{s[2], s[1], s[0], 255})) << x << "," << y;
        }
      }
    }
  }
}

TEST(PvrBlockFormats, BcMatchesWholeImageDecode) {
  const struct {
    uint32_t v3_id;
    uint32_t legacy_type;
    int flags;
  } kinds[] = {{7, 0x20, squish::kDxt1}, {9, 0x22, squish::kDxt3}, {11, 0x24, squish::kDxt5}};
  for (const auto& k : kinds) {
    for (auto size : {std::array<int, 2>{5, 7}, {8, 4}, {2, 3}}) {
      const int w = size[0], h = size[1];
      SCOPED_TRACE(testing::Message() << "id " << k.v3_id << " " << w << "x" << h);
      const Bytes blocks = random_bytes(squish::GetStorageRequirements(w, h, k.flags), k.v3_id * 100 + w);
      Bytes rgba(static_cast<size_t>(w) * h * 4);
      squish::DecompressImage(rgba.data(), w, h, blocks.data(), k.flags);
      for (const Bytes& file : {legacy(k.legacy_type, w, h, blocks), v3(k.v3_id, w, h, blocks)}) {
        const Decoded d = decode(file);
        ASSERT_EQ(d.decode, QZIPVR_OK);
        for (int y = 0; y < h; ++y) {
          for (int x = 0; x < w; ++x) {
            const uint8_t* s = &rgba[(static_cast<size_t>(y) * w + x) * 4];
            ASSERT_EQ(px(d, x, y), (Pixel{s[2], s[1], s[0], s[3]})) << x << "," << y;
          }
        }
      }
    }
  }
}

TEST(PvrBlockFormats, Bc1KnownColours) {
  // Colour 0 red, colour 1 blue, four-colour block; then the three-colour form, whose
  // index 3 is transparent black.
  const struct {
    Bytes block;
    Pixel expected;
  } cases[] = {
      {{0x00, 0xF8, 0x1F, 0x00, 0x00, 0x00, 0x00, 0x00}, {0, 0, 255, 255}},
      {{0x00, 0xF8, 0x1F, 0x00, 0x55, 0x55, 0x55, 0x55}, {255, 0, 0, 255}},
      {{0x1F, 0x00, 0x00, 0xF8, 0xFF, 0xFF, 0xFF, 0xFF}, {0, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    const Decoded d = decode(v3(7, 3, 3, c.block));
    ASSERT_EQ(d.decode, QZIPVR_OK);
    EXPECT_EQ(px(d, 0, 0), c.expected);
    EXPECT_EQ(px(d, 2, 2), c.expected);
  }
}

// ---------------------------------------------------------------- PVRTC

// A texture whose blocks all hold the same words.
Bytes pvrtc_uniform(bool two_bpp, int w, int h, uint32_t modulation, uint32_t colour_word) {
  const int pw = std::max(w, two_bpp ? 16 : 8), ph = std::max(h, 8);
  const int blocks = pw / (two_bpp ? 8 : 4) * (ph / 4);
  Bytes data;
  for (int k = 0; k < blocks; ++k) data = cat(data, pvrtc_block(modulation, colour_word));
  return v3(two_bpp ? 1 : 3, w, h, data);
}

int widen5(int v) { return v << 3 | v >> 2; }

TEST(PvrPvrtc, UniformColours) {
  const uint32_t a = opaque_a(31, 0, 15), b = opaque_b(0, 31, 0);
  for (bool two : {false, true}) {
    SCOPED_TRACE(two ? "2bpp" : "4bpp");
    const Decoded da = decode(pvrtc_uniform(two, 32, 16, 0x00000000, colours(a, b, false)));
    const Decoded db = decode(pvrtc_uniform(two, 32, 16, 0xFFFFFFFF, colours(a, b, false)));
    ASSERT_EQ(da.decode, QZIPVR_OK);
    ASSERT_EQ(db.decode, QZIPVR_OK);
    for (int y = 0; y < 16; ++y) {
      for (int x = 0; x < 32; ++x) {
        ASSERT_EQ(px(da, x, y), (Pixel{255, 0, 255, 255}));
        ASSERT_EQ(px(db, x, y), (Pixel{0, 255, 0, 255}));
      }
    }
  }
}

TEST(PvrPvrtc, TranslucentColours) {
  // A: alpha 7/7, red 15/15, green 0, blue 7/7. B: alpha 3/7, red 8/15, green 0, blue 15/15.
  const uint32_t word = colours(0x7F0E, 0x380F, false);
  const Decoded da = decode(pvrtc_uniform(false, 8, 8, 0x00000000, word));
  const Decoded db = decode(pvrtc_uniform(false, 8, 8, 0xFFFFFFFF, word));
  ASSERT_EQ(da.decode, QZIPVR_OK);
  ASSERT_EQ(db.decode, QZIPVR_OK);
  EXPECT_EQ(px(da, 3, 5), (Pixel{255, 0, 255, 238}));
  EXPECT_EQ(px(db, 3, 5), (Pixel{255, 0, 140, 102}));
}

// Block k of the file has red k; the centre of each block shows its own colour A, so the
// red at the centre of block (bx, by) tells which stored block landed there.
TEST(PvrPvrtc, MortonBlockOrder) {
  const struct {
    int w, h;
    std::vector<int> order;  // stored block index of each block, row by row
  } cases[] = {
      {16, 16, {0, 2, 8, 10, 1, 3, 9, 11, 4, 6, 12, 14, 5, 7, 13, 15}},
      {32, 8, {0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15}},
      {8, 32, {0, 2, 1, 3, 4, 6, 5, 7, 8, 10, 9, 11, 12, 14, 13, 15}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.w << "x" << c.h);
    Bytes data;
    for (int k = 0; k < 16; ++k) data = cat(data, pvrtc_block(0, colours(opaque_a(k, 0, 0), opaque_b(0, 0, 0), false)));
    const Decoded d = decode(v3(3, c.w, c.h, data));
    ASSERT_EQ(d.decode, QZIPVR_OK);
    const int nbx = c.w / 4;
    for (int n = 0; n < 16; ++n) {
      const int bx = n % nbx, by = n / nbx;
      EXPECT_EQ(px(d, bx * 4 + 2, by * 4 + 2)[2], widen5(c.order[n])) << "block " << bx << "," << by;
    }
  }
}

TEST(PvrPvrtc, BilinearUpscaleWrapsAround) {
  // 4 bpp 16 x 16: only block (3, 3), stored last, has red 31.
  Bytes data4;
  for (int k = 0; k < 16; ++k) {
    data4 = cat(data4, pvrtc_block(0, colours(opaque_a(k == 15 ? 31 : 0, 0, 0), opaque_b(0, 0, 0), false)));
  }
  const Decoded d4 = decode(v3(3, 16, 16, data4));
  ASSERT_EQ(d4.decode, QZIPVR_OK);
  EXPECT_EQ(px(d4, 14, 14)[2], 255);  // its centre
  EXPECT_EQ(px(d4, 2, 2)[2], 0);      // centre of block (0, 0)
  EXPECT_EQ(px(d4, 0, 0)[2], 63);     // a quarter of it, across both edges
  EXPECT_EQ(px(d4, 15, 15)[2], 143);  // nine sixteenths
  EXPECT_EQ(px(d4, 15, 15)[3], 255);

  // 2 bpp 16 x 8: only block (1, 1), stored last, has red 31.
  Bytes data2;
  for (int k = 0; k < 4; ++k) {
    data2 = cat(data2, pvrtc_block(0, colours(opaque_a(k == 3 ? 31 : 0, 0, 0), opaque_b(0, 0, 0), false)));
  }
  const Decoded d2 = decode(v3(1, 16, 8, data2));
  ASSERT_EQ(d2.decode, QZIPVR_OK);
  EXPECT_EQ(px(d2, 12, 6)[2], 255);
  EXPECT_EQ(px(d2, 0, 0)[2], 63);
}

TEST(PvrPvrtc, FourBppModulation) {
  // Black A, white B; pixel code = column, so columns show weights 0, 3, 5, 8 (direct) or
  // 0, 4, 4, 8 with the third transparent (punch-through).
  const uint32_t black = opaque_a(0, 0, 0), white = opaque_b(31, 31, 31);
  const struct {
    bool punch;
    int value[4];
    int alpha[4];
  } cases[] = {
      {false, {0, 95, 159, 255}, {255, 255, 255, 255}},
      {true, {0, 127, 127, 255}, {255, 255, 0, 255}},
  };
  for (const auto& c : cases) {
    const Decoded d = decode(pvrtc_uniform(false, 8, 8, 0xE4E4E4E4, colours(black, white, c.punch)));
    ASSERT_EQ(d.decode, QZIPVR_OK);
    for (int y = 0; y < 8; ++y) {
      for (int x = 0; x < 8; ++x) {
        const int v = c.value[x % 4];
        ASSERT_EQ(px(d, x, y), (Pixel{v, v, v, c.alpha[x % 4]})) << x << "," << y;
      }
    }
  }
}

TEST(PvrPvrtc, TwoBppModulation) {
  const uint32_t black = opaque_a(0, 0, 0), white = opaque_b(31, 31, 31);
  auto value = [](int weight) { return 255 * weight / 8; };
  const struct {
    const char* what;
    uint32_t modulation;
    bool mode;
    std::vector<std::array<int, 3>> checks;  // x, y, weight
  } cases[] = {
      // One bit per pixel: row 0 lights its first four pixels, row 1 all of them.
      {"direct", 0x0000FF0F, false, {{0, 0, 8}, {3, 0, 8}, {4, 0, 0}, {7, 1, 8}, {0, 2, 0}, {15, 1, 8}}},
      // Every stored code 2 (weight 5) except pixel (0, 0), which keeps only its high bit
      // (8); the others average their four neighbours, across block and texture edges.
      {"both directions", 0xAAAAAAAA, true,
       {{0, 0, 8}, {2, 0, 5}, {1, 0, 6}, {0, 1, 6}, {3, 2, 5}, {7, 0, 6}, {8, 0, 8}, {4, 2, 5}}},
      // The same with code 1 (weight 3) at (2, 0): (3 + 5 + 5 + 5 + 2) / 4 rounds to 5.
      {"both directions, rounding", 0xAAAAAAA6, true, {{3, 0, 5}, {1, 0, 5}, {2, 0, 3}}},
      // Bit 0 set, bit 20 clear: left and right neighbours; code of (4, 2) keeps its high bit.
      {"horizontal", 0x55655557, true, {{0, 0, 8}, {2, 0, 3}, {4, 2, 8}, {1, 0, 6}, {3, 2, 6}, {5, 2, 6}, {3, 0, 3}, {7, 0, 6}}},
      // Bit 0 and bit 20 set: up and down neighbours.
      {"vertical", 0x55755557, true, {{4, 2, 8}, {4, 1, 6}, {4, 3, 6}, {1, 0, 3}, {0, 1, 6}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Decoded d = decode(pvrtc_uniform(true, 16, 8, c.modulation, colours(black, white, c.mode)));
    ASSERT_EQ(d.decode, QZIPVR_OK);
    for (const auto& k : c.checks) {
      const int v = value(k[2]);
      EXPECT_EQ(px(d, k[0], k[1]), (Pixel{v, v, v, 255})) << k[0] << "," << k[1];
    }
  }
}

TEST(PvrPvrtc, SmallTexturesDecodePaddedAndCropped) {
  const uint32_t word = colours(opaque_a(31, 0, 15), opaque_b(0, 31, 0), false);
  for (auto c : {std::array<int, 3>{0, 1, 1}, {0, 7, 5}, {1, 1, 1}, {1, 4, 4}, {1, 2, 8}}) {
    const bool two = c[0] == 1;
    SCOPED_TRACE(testing::Message() << (two ? "2bpp " : "4bpp ") << c[1] << "x" << c[2]);
    const Bytes file = pvrtc_uniform(two, c[1], c[2], 0, word);
    EXPECT_EQ(file.size(), 52u + 32u);  // two blocks each way
    const Decoded d = decode(file);
    ASSERT_EQ(d.decode, QZIPVR_OK);
    EXPECT_EQ(px(d, c[1] - 1, c[2] - 1), (Pixel{255, 0, 255, 255}));
    Bytes shorter(file.begin(), file.end() - 1);
    EXPECT_EQ(decode(shorter).decode, QZIPVR_ERR_DATA);
  }
}

// ---------------------------------------------------------------- bounds

TEST(PvrBounds, InputAndOutput) {
  const Bytes ok = v3(channels("rgba", 8, 8, 8, 8), 3, 3, Bytes(36, 7), orientation(0, 2));
  ASSERT_EQ(decode(ok).decode, QZIPVR_OK);
  Bytes meta_overrun = ok;
  meta_overrun[48] = 200;  // metadata size past the end of the file
  Bytes block_overrun = ok;
  block_overrun[48] = 14;  // the orientation block's 3 bytes no longer fit
  Bytes tail_left = v3(channels("a", 8), 2, 2, Bytes(4, 1), Bytes(5, 0));
  Bytes huge_meta = ok;
  huge_meta[48] = huge_meta[49] = huge_meta[50] = huge_meta[51] = 0xFF;
  const struct {
    const char* what;
    Bytes file;
    int result;
  } cases[] = {
      {"exact", ok, QZIPVR_OK},
      {"data one byte short", Bytes(ok.begin(), ok.end() - 1), QZIPVR_ERR_DATA},
      {"metadata past the end", meta_overrun, QZIPVR_ERR_DATA},
      {"metadata block overrun", block_overrun, QZIPVR_ERR_DATA},
      {"metadata remainder", tail_left, QZIPVR_ERR_DATA},
      {"metadata size 2^32-1", huge_meta, QZIPVR_ERR_DATA},
      {"huge texture, tiny file", v3(channels("rgba", 8, 8, 8, 8), 65536, 65536, Bytes(8, 0)), QZIPVR_ERR_DATA},
      {"v2 data short", legacy(0x13, 3, 3, Bytes(17, 0)), QZIPVR_ERR_DATA},
      {"v1 exact", legacy(0x13, 3, 3, Bytes(18, 0), 1), QZIPVR_OK},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes file = c.file;
    Bytes out(65536u * 4, 0);
    EXPECT_EQ(qzipvr05(file.data(), file.size(), out.data(), out.size()), c.result);
  }
}

TEST(PvrBounds, OutputBuffer) {
  Bytes file = v3(channels("l", 8), 3, 3, Bytes(9, 50));
  Bytes out(36 + 8, 0xEE);
  EXPECT_EQ(qzipvr05(file.data(), file.size(), out.data(), 35), QZIPVR_ERR_OUTPUT);
  EXPECT_EQ(qzipvr05(file.data(), file.size(), out.data(), 0), QZIPVR_ERR_OUTPUT);
  ASSERT_EQ(qzipvr05(file.data(), file.size(), out.data(), out.size()), QZIPVR_OK);
  EXPECT_EQ(out[35], 255);
  for (size_t k = 36; k < out.size(); ++k) EXPECT_EQ(out[k], 0xEE) << k;  // nothing past w*h*4
  EXPECT_EQ(qzipvr05(nullptr, file.size(), out.data(), out.size()), QZIPVR_ERR_ARGUMENT);
  EXPECT_EQ(qzipvr05(file.data(), file.size(), nullptr, out.size()), QZIPVR_ERR_ARGUMENT);
  EXPECT_EQ(qzipvr05(file.data(), 43, out.data(), out.size()), QZIPVR_ERR_ARGUMENT);
  file[0] = 'X';
  EXPECT_EQ(qzipvr05(file.data(), file.size(), out.data(), out.size()), QZIPVR_ERR_HEADER);
}

// Every prefix of a few textures: only inputs that hold the whole level decode, and nothing
// reads outside its buffer (checked in sanitizer builds; the fuzz target goes further).
TEST(PvrBounds, EveryPrefixIsRefused) {
  const Bytes samples[] = {
      pvrtc_uniform(true, 16, 8, 0xAAAAAAAA, colours(opaque_a(1, 2, 3), opaque_b(4, 5, 6), true)),
      v3(11, 5, 7, random_bytes(64, 3), orientation(1, 2)),
      legacy(0x36, 6, 5, random_bytes(32, 4), 1),
      v3(channels("rgb", 5, 6, 5), 3, 3, Bytes(18, 0x5A), meta_block(0x53465443, 1, {1})),
  };
  for (const Bytes& full : samples) {
    Bytes out(4 * 256);
    Bytes copy = full;
    ASSERT_EQ(qzipvr05(copy.data(), copy.size(), out.data(), out.size()), QZIPVR_OK);
    for (size_t n = 0; n < full.size(); ++n) {
      Bytes prefix(full.begin(), full.begin() + static_cast<long>(n));
      EXPECT_NE(qzipvr05(prefix.data(), prefix.size(), out.data(), out.size()), QZIPVR_OK) << n;
    }
  }
}

}  // namespace
