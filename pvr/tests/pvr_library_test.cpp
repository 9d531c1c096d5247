// libqzipvr through its three calls, on textures built here.
#include <android/ETC1/etc1.h>
#include <gtest/gtest.h>
#include <squish.h>

#include <cctype>
#include <map>
#include <random>
#include <sstream>
#include <thread>
#include <tuple>

#include "pvr_test_util.h"
#include "tsv.h"

using namespace pvrtest;
using qzi_test::Row;
using qzi_test::tsv;

namespace {

// Pixel (x, y) as 0xAARRGGBB.
uint32_t px(const Decoded& d, int x, int y) {
  const uint8_t* p = &d.bgra[(static_cast<size_t>(y) * d.width + x) * 4];
  return static_cast<uint32_t>(p[3] << 24 | p[2] << 16 | p[1] << 8 | p[0]);
}
// "-" is no bytes.
Bytes hex(const std::string& text) {
  Bytes b;
  for (size_t k = 0; text != "-" && k + 1 < text.size(); k += 2) b.push_back(static_cast<uint8_t>(std::stoul(text.substr(k, 2), nullptr, 16)));
  return b;
}
Bytes random_bytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& v : b) v = static_cast<uint8_t>(rng());
  return b;
}

enum : int {
  NO = -1, P2 = QZIPVR_FORMAT_PVRTC_2BPP, P4 = QZIPVR_FORMAT_PVRTC_4BPP, ETC = QZIPVR_FORMAT_ETC1,
  BC1 = QZIPVR_FORMAT_BC1, BC2 = QZIPVR_FORMAT_BC2, BC3 = QZIPVR_FORMAT_BC3, RGBA = QZIPVR_FORMAT_RGBA8888,
  BGRA = QZIPVR_FORMAT_BGRA8888, RGB = QZIPVR_FORMAT_RGB888, PACK = QZIPVR_FORMAT_PACKED, A8 = QZIPVR_FORMAT_A8,
  L8 = QZIPVR_FORMAT_L8, CH = QZIPVR_FORMAT_CHANNELS, E2 = QZIPVR_FORMAT_ETC2_RGB, E2A = QZIPVR_FORMAT_ETC2_RGBA,
  E2P = QZIPVR_FORMAT_ETC2_RGB_A1, R11 = QZIPVR_FORMAT_EAC_R11, RG11 = QZIPVR_FORMAT_EAC_RG11,
  BC4 = QZIPVR_FORMAT_BC4, BC5 = QZIPVR_FORMAT_BC5, BC7 = QZIPVR_FORMAT_BC7, ASTC = QZIPVR_FORMAT_ASTC
};
const uint64_t kRgba = channels("rgba", 8, 8, 8, 8);

// A format word of pvr_headers.tsv: a number, or channel letters and bit counts.
uint64_t format_word(const std::string& text) {
  if (std::isdigit(static_cast<unsigned char>(text[0]))) return std::stoull(text, nullptr, 0);
  std::istringstream in(text);
  std::string letters;
  std::getline(in, letters, '/');
  uint64_t word = 0;
  for (size_t k = 0; k < letters.size(); ++k)
    if (letters[k] != '.') word |= uint64_t{static_cast<uint8_t>(letters[k])} << (8 * k);
  int shift = 32;
  for (std::string bits; std::getline(in, bits, '/'); shift += 8) word |= std::stoull(bits) << shift;
  return word;
}

TEST(PvrHeader, FormatsAndPixels) {
  const std::map<std::string, int> names = {
      {"NO", NO},   {"P2", P2},     {"P4", P4},     {"ETC", ETC},   {"BC1", BC1},   {"BC2", BC2},
      {"BC3", BC3}, {"RGBA", RGBA}, {"BGRA", BGRA}, {"RGB", RGB},   {"PACK", PACK}, {"A8", A8},
      {"L8", L8},   {"CH", CH},     {"E2", E2},     {"E2A", E2A},   {"E2P", E2P},   {"R11", R11},
      {"RG11", RG11}, {"BC4", BC4}, {"BC5", BC5},   {"BC7", BC7},   {"ASTC", ASTC}};
  std::vector<std::tuple<Bytes, int, int64_t>> all;
  for (const Row& c : tsv(QZI_PVR_HEADERS_TSV, "", 6)) {  // container, type, channel type, data, format, pixel
    const int64_t pixel = c[5] == "-" ? -1 : static_cast<int64_t>(std::stoull(c[5], nullptr, 16));
    ASSERT_TRUE(names.count(c[4])) << c[4];
    if (c[0] == "legacy") {
      for (int version : {1, 2}) all.emplace_back(legacy(std::stoul(c[1], nullptr, 16), 1, 1, hex(c[3]), version), names.at(c[4]), pixel);
    } else {
      all.emplace_back(v3(format_word(c[1]), 1, 1, hex(c[3]), {}, std::stoul(c[2])), names.at(c[4]), pixel);
    }
  }
  EXPECT_EQ(all.size(), 2u * 41 + 63) << "rows of " << QZI_PVR_HEADERS_TSV;
  for (const auto& [file, format, want] : all) {
    SCOPED_TRACE(testing::Message() << "header " << testing::PrintToString(Bytes(file.begin(), file.begin() + 20)));
    int w = -7, h = -7, f = -7;
    const int result = qzipvr03(file.data(), static_cast<int>(std::min<size_t>(file.size(), 52)), &w, &h, &f);
    EXPECT_EQ(result == QZIPVR_OK ? f : NO, format);
    if (result != QZIPVR_OK) {
      EXPECT_TRUE(w == -7 && h == -7 && f == -7);  // outputs stay alone on refusal
    }
    if (want >= 0) {
      const Decoded d = decode(file);
      ASSERT_EQ(d.decode, QZIPVR_OK);
      EXPECT_EQ(px(d, 0, 0), want);
    }
  }
}

// A header as pvr_container.tsv describes it.
Bytes header(const std::string& text) {
  std::istringstream in(text);
  std::string container, type;
  uint32_t w = 0, h = 0, version = 2, channel_type = 0, flags = 0, depth = 1;
  in >> container >> type >> w >> h;
  Bytes b = container == "legacy" ? (in >> version, legacy(std::stoul(type, nullptr, 0), w, h, {}, version))
                                  : (in >> channel_type >> flags >> depth,
                                     v3(format_word(type), w, h, {}, {}, channel_type, flags, depth));
  for (std::string edit; in >> edit;) {
    if (edit == "swap") std::reverse(b.begin(), b.begin() + 4);
    else b.at(std::stoul(edit)) = static_cast<uint8_t>(std::stoul(edit.substr(edit.find('=') + 1), nullptr, 0));
  }
  return b;
}

// The rows of pvr_container.tsv: accepted or refused headers and the names qzipvr07 gives.
TEST(PvrHeader, ContainerRules) {
  int w = 0, h = 0, f = 0;
  char text[64];
  const std::vector<Row> rows = tsv(QZI_PVR_CONTAINER_TSV, "", 4);  // what, header, accepted, name
  for (const Row& c : rows) {
    const Bytes file = header(c[1]);
    EXPECT_EQ(qzipvr03(file.data(), 52, &w, &h, &f) == QZIPVR_OK, c[2] == "1") << c[0];
    if (c[3] != "-") {
      EXPECT_EQ(qzipvr07(file.data(), 52, text, sizeof text), QZIPVR_OK) << c[0];
      EXPECT_STREQ(text, c[3].c_str()) << c[0];
    }
  }
  EXPECT_EQ(rows.size(), 33u) << "rows of " << QZI_PVR_CONTAINER_TSV;
  // Version 1 needs 44 bytes of header, the others 52.
  const Bytes v1 = legacy(0x12, 4, 4, {}, 1), v2 = legacy(0x12, 4, 4);
  EXPECT_EQ(qzipvr03(v1.data(), 44, &w, &h, &f), QZIPVR_OK);
  EXPECT_EQ(qzipvr03(v2.data(), 52, &w, &h, &f), QZIPVR_OK);
  for (int size : {43, -52}) EXPECT_NE(qzipvr03(v1.data(), size, &w, &h, &f), QZIPVR_OK) << size;
  for (int size : {44, 51}) EXPECT_NE(qzipvr03(v2.data(), size, &w, &h, &f), QZIPVR_OK) << size;
  EXPECT_NE(qzipvr03(nullptr, 52, &w, &h, &f), QZIPVR_OK);
  EXPECT_NE(qzipvr03(v2.data(), 52, nullptr, &h, &f), QZIPVR_OK);
  EXPECT_NE(qzipvr03(v2.data(), 52, &w, nullptr, &f), QZIPVR_OK);
  EXPECT_NE(qzipvr03(v2.data(), 52, &w, &h, nullptr), QZIPVR_OK);

  const std::tuple<int, int, int, size_t> sizes[] = {
      {1, 1, RGBA, 4}, {3, 5, CH, 60}, {3, 5, BC1, 60}, {1, 1, P4, 4}, {12, 16, P4, 0}, {24, 8, P2, 0},
      {0, 1, A8, 0}, {1, 0, A8, 0}, {-1, 1, A8, 0}, {65537, 1, A8, 0}, {1, 65537, A8, 0}, {2, 2, CH, 16},
      {2, 2, QZIPVR_FORMAT_COUNT, 0}, {2, 2, -1, 0}, {65536, 65536, A8, size_t{1} << 34}};
  for (const auto& [sw, sh, format, size] : sizes) {
    EXPECT_EQ(qzipvr04(sw, sh, format), size) << sw << "x" << sh << " format " << format;
  }
}

// A 3 x 2 RGBA8888 picture behind each header: data offset, pixel order and orientation.
TEST(PvrUncompressed, OffsetsAndOrientation) {
  Bytes data;
  for (int k = 1; k <= 24; ++k) data.push_back(static_cast<uint8_t>(k));
  const Bytes other = meta(0x53465443, 3, {9, 9, 9}) + meta(0x03525650, 6, {1, 2, 3, 4});
  const std::tuple<Bytes, bool, bool> cases[] = {  // file, rows bottom-up, columns right to left
      {legacy(0x12, 3, 2, data, 1), false, false}, {legacy(0x12, 3, 2, data), false, false},
      {v3(kRgba, 3, 2, data), false, false},       {v3(kRgba, 3, 2, data, other), false, false},
      {v3(kRgba, 3, 2, data, orientation(0, 0)), false, false}, {v3(kRgba, 3, 2, data, orientation(0, 2)), true, false},
      {v3(kRgba, 3, 2, data, orientation(1, 0)), false, true},  {v3(kRgba, 3, 2, data, orientation(1, 2)), true, true},
      {v3(kRgba, 3, 2, data, other + orientation(0, 1)), true, false},
      {legacy(0x10000 | 0x12, 3, 2, data), true, false}, {legacy(0x10000 | 0x12, 3, 2, data, 1), true, false},
  };
  for (const auto& [file, rows_up, right_to_left] : cases) {
    const Decoded d = decode(file);
    ASSERT_EQ(d.decode, QZIPVR_OK);
    ASSERT_EQ(std::pair(d.width, d.height), std::pair(3, 2));
    for (int n = 0; n < 6; ++n) {
      const int x = n % 3, y = n / 3, s = 4 * ((rows_up ? 1 - y : y) * 3 + (right_to_left ? 2 - x : x));
      EXPECT_EQ(px(d, x, y), uint32_t(s + 4) << 24 | (s + 1) << 16 | (s + 2) << 8 | (s + 3)) << x << "," << y;
    }
  }
}

// Any bytes are valid ETC1 and BC blocks: odd-sized pictures equal the codec libraries' own
// whole-picture decodes, under either header.
TEST(PvrBlockFormats, MatchWholePictureDecode) {
  const std::tuple<uint32_t, uint32_t, int> kinds[] = {  // legacy type, v3 id, libsquish flags (0: ETC1)
      {0x36, 6, 0}, {0x20, 7, squish::kDxt1}, {0x22, 9, squish::kDxt3}, {0x24, 11, squish::kDxt5}};
  for (const auto& [type, id, flags] : kinds) {
    for (auto [w, h] : {std::pair{5, 7}, {1, 1}, {13, 3}, {8, 4}}) {
      SCOPED_TRACE(testing::Message() << "id " << id << " " << w << "x" << h);
      const size_t n = static_cast<size_t>(w) * h;
      Bytes blocks, rgba(n * 4, 255);
      if (flags) {
        blocks = random_bytes(squish::GetStorageRequirements(w, h, flags), id * 100 + w);
        squish::DecompressImage(rgba.data(), w, h, blocks.data(), flags);
      } else {
        blocks = random_bytes(etc1_get_encoded_data_size(w, h), w * 31 + h);
        Bytes rgb(n * 3);
        ASSERT_EQ(etc1_decode_image(blocks.data(), rgb.data(), w, h, 3, w * 3), 0);
        for (size_t i = 0; i < n; ++i) std::copy_n(&rgb[i * 3], 3, &rgba[i * 4]);
      }
      for (const Bytes& file : {legacy(type, w, h, blocks), v3(id, w, h, blocks)}) {
        const Decoded d = decode(file);
        ASSERT_EQ(d.decode, QZIPVR_OK);
        for (size_t i = 0; i < n; ++i) {
          const uint8_t* s = &rgba[i * 4];
          ASSERT_EQ(px(d, i % w, i / w), uint32_t(s[3] << 24 | s[0] << 16 | s[1] << 8 | s[2])) << "pixel " << i;
        }
      }
    }
  }
}

// A PVRTC texture whose blocks all hold the same two words (colour word: B high, A low),
// padded to two blocks each way.
Bytes pvrtc(bool two_bpp, int w, int h, uint32_t modulation, uint32_t colours, int legacy_version = 0) {
  const int blocks = std::max(w, two_bpp ? 16 : 8) / (two_bpp ? 8 : 4) * (std::max(h, 8) / 4);
  Bytes data;
  for (int k = 0; k < blocks; ++k) data = data + words({modulation, colours});
  if (legacy_version) return legacy(two_bpp ? 0x18 : 0x19, w, h, data, legacy_version);
  return v3(two_bpp ? 1 : 3, w, h, data);
}

// The rows of pvr_pvrtc.tsv: modulation 0 shows colour A, all weights full colour B; small
// textures decode padded and cropped.
TEST(PvrPvrtc, UniformColours) {
  for (const Row& c : tsv(QZI_PVR_PVRTC_TSV, "", 8)) {
    SCOPED_TRACE(c[0]);
    const int w = std::stoi(c[2]), h = std::stoi(c[3]), version = c[4] == "v3" ? 0 : c[4].back() - '0';
    const uint32_t want = std::stoul(c[7], nullptr, 0);
    const Decoded d = decode(pvrtc(c[1] == "2", w, h, std::stoul(c[5], nullptr, 0), std::stoul(c[6], nullptr, 0), version));
    ASSERT_EQ(d.decode, QZIPVR_OK);
    ASSERT_EQ(d.bgra.size(), static_cast<size_t>(w * h * 4));
    for (int n = 0; n < w * h; ++n) ASSERT_EQ(px(d, n % w, n / w), want) << n;
  }
}

// Block k of the file has red k in colour A; the centre of each block shows its own colour A and
// pixel (0, 0) the mean of the four corner blocks, as the upscale wraps around (indices adding up to 30).
TEST(PvrPvrtc, MortonBlockOrderAndUpscale) {
  Bytes data;
  for (uint32_t k = 0; k < 16; ++k) data = data + words({0, 0x8000 | k << 10});
  const std::pair<int, std::vector<int>> cases[] = {  // width, stored index of each block row by row
      {16, {0, 2, 8, 10, 1, 3, 9, 11, 4, 6, 12, 14, 5, 7, 13, 15}},
      {32, {0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15}},
      {8, {0, 2, 1, 3, 4, 6, 5, 7, 8, 10, 9, 11, 12, 14, 13, 15}}};
  for (const auto& [w, order] : cases) {
    const Decoded d = decode(v3(3, w, 256 / w, data));
    ASSERT_EQ(d.decode, QZIPVR_OK);
    EXPECT_EQ(px(d, 0, 0) >> 16 & 255, 61u) << w << " wide";  // 7.5 of 31
    for (int n = 0; n < 16; ++n) {
      const int x = n % (w / 4) * 4 + 2, y = n / (w / 4) * 4 + 2;
      EXPECT_EQ(px(d, x, y) >> 16 & 255, uint32_t(order[n] << 3 | order[n] >> 2)) << w << " wide, block " << n;
    }
  }
}

// The level's size for each format, padding included, and the metadata's bounds: the whole
// file decodes and no prefix of it does; broken metadata is refused (sanitizer builds also see
// that nothing is read outside the file).
TEST(PvrBounds, InputBounds) {
  const Bytes ok = v3(kRgba, 3, 3, Bytes(36, 7), orientation(0, 2));
  Bytes past_end = ok, block_overrun = ok, huge = ok;
  past_end[48] = 200;      // metadata size beyond the file
  block_overrun[48] = 14;  // the orientation block's 3 bytes no longer fit
  std::fill_n(huge.begin() + 48, 4, 0xFF);
  const Bytes samples[] = {
      ok, pvrtc(true, 16, 8, 0xAAAAAAAA, 0x12345679), pvrtc(false, 7, 5, 0, 0x12345678),
      pvrtc(true, 4, 4, 0, 0x12345678, 2), v3(11, 5, 7, random_bytes(64, 3), orientation(1, 2)),
      legacy(0x20, 5, 3, random_bytes(16, 5)), legacy(0x36, 6, 5, random_bytes(32, 4), 1),
      v3(channels("rgb", 5, 6, 5), 3, 3, Bytes(18, 0x5A), meta(0x53465443, 1, {1})),
  };
  Bytes out(65536u * 4);
  for (const Bytes& full : samples) {
    ASSERT_EQ(qzipvr05(Bytes(full).data(), full.size(), out.data(), out.size()), QZIPVR_OK);
    for (size_t n = 0; n < full.size(); ++n) {
      Bytes prefix(full.begin(), full.begin() + static_cast<long>(n));
      EXPECT_NE(qzipvr05(prefix.data(), prefix.size(), out.data(), out.size()), QZIPVR_OK) << n;
    }
  }
  for (Bytes file : {past_end, block_overrun, huge, v3(channels("a", 8), 2, 2, Bytes(4, 1), Bytes(5, 0)),
                     v3(kRgba, 65536, 65536, Bytes(8, 0))}) {
    EXPECT_EQ(qzipvr05(file.data(), file.size(), out.data(), out.size()), QZIPVR_ERR_DATA);
  }
}

TEST(PvrBounds, Arguments) {
  Bytes file = v3(channels("l", 8), 3, 3, Bytes(9, 50)), out(36 + 8, 0xEE);
  EXPECT_EQ(qzipvr05(file.data(), file.size(), out.data(), 35), QZIPVR_ERR_OUTPUT);
  EXPECT_EQ(qzipvr05(file.data(), file.size(), out.data(), 0), QZIPVR_ERR_OUTPUT);
  ASSERT_EQ(qzipvr05(file.data(), file.size(), out.data(), out.size()), QZIPVR_OK);
  EXPECT_EQ(out[35], 255);
  EXPECT_EQ(Bytes(out.begin() + 36, out.end()), Bytes(8, 0xEE));  // nothing past w * h * 4
  EXPECT_EQ(qzipvr05(nullptr, file.size(), out.data(), out.size()), QZIPVR_ERR_ARGUMENT);
  EXPECT_EQ(qzipvr05(file.data(), file.size(), nullptr, out.size()), QZIPVR_ERR_ARGUMENT);
  EXPECT_EQ(qzipvr05(file.data(), 43, out.data(), out.size()), QZIPVR_ERR_ARGUMENT);
  file[0] = 'X';
  EXPECT_EQ(qzipvr05(file.data(), file.size(), out.data(), out.size()), QZIPVR_ERR_HEADER);
}


// Hand-decoded blocks of pvr_blocks.tsv (forms no corpus file holds): every listed texel.
TEST(PvrBlockFormats, HandDecodedBlocks) {
  for (const Row& c : tsv(QZI_PVR_BLOCKS_TSV)) {  // what, id, channel type, width, height, block, texels
    SCOPED_TRACE(c[0]);
    const uint32_t w = std::stoul(c.at(3)), h = std::stoul(c.at(4));
    Bytes data;
    for (size_t k = 0; k < ((w + 3) / 4) * ((h + 3) / 4); ++k) data = data + hex(c.at(5));
    const Decoded d = decode(v3(std::stoul(c[1]), w, h, data, {}, std::stoul(c[2])));
    ASSERT_EQ(d.decode, QZIPVR_OK);
    for (size_t k = 6; k < c.size(); ++k) {
      int x = 0, y = 0;
      unsigned rgba = 0;
      ASSERT_EQ(std::sscanf(c[k].c_str(), "%d,%d=%x", &x, &y, &rgba), 3) << c[k];
      EXPECT_EQ(px(d, x, y), (rgba >> 8) | (rgba & 0xFF) << 24) << c[k];
    }
  }
}


// Decoding contexts are kept between decodes and shared by handles and threads: two threads
// decoding textures of four block sizes and both profiles (more kinds than the pool keeps, so
// contexts are also dropped and made again) get what each texture's first decode gave.
TEST(PvrAstc, ContextsReusedAcrossThreads) {
  const Bytes constant = hex("fcfdffffffffffff1a1a8080f0f06060");
  std::vector<Bytes> files;
  for (const auto& [id, bw, bh, srgb] : {std::tuple{27u, 4u, 4u, 0}, {28u, 5u, 4u, 0}, {29u, 5u, 5u, 0},
                                         {30u, 6u, 5u, 0}, {27u, 4u, 4u, 1}}) {
    Bytes data = random_bytes(6 * 16, id * 2 + srgb);  // mostly error blocks, some real modes
    std::copy(constant.begin(), constant.end(), data.begin() + 16);
    Bytes file = v3(id, 3 * bw - 1, 2 * bh, data);
    file[16] = static_cast<uint8_t>(srgb);
    files.push_back(file);
  }
  std::vector<Bytes> want;
  for (const Bytes& file : files) {
    const Decoded d = decode(file);
    ASSERT_EQ(d.decode, QZIPVR_OK);
    want.push_back(d.bgra);
  }
  int mismatches[2] = {0, 0};
  auto work = [&](int t) {
    for (int round = 0; round < 2; ++round) {
      for (size_t k = 0; k < files.size(); ++k) {
        const size_t i = t ? files.size() - 1 - k : k;
        const Decoded d = decode(files[i]);
        if (d.decode != QZIPVR_OK || d.bgra != want[i]) ++mismatches[t];
      }
    }
  };
  std::thread other(work, 1);
  work(0);
  other.join();
  EXPECT_EQ(mismatches[0] + mismatches[1], 0);
  EXPECT_EQ(want[2][4 * 5 + 1], 0x80u) << "the constant block's green";
}

// The names qzipvr07 gives (more in pvr_container.tsv), cut to fit; qzipvr06 refuses missing rows.
TEST(PvrCalls, NamesAndRowDecode) {
  const Bytes srgb = header("v3 31 1280 720 0 0 1 16=1");
  char text[64];
  ASSERT_EQ(qzipvr07(srgb.data(), 52, text, 8), QZIPVR_OK);
  EXPECT_STREQ(text, "PVR v3 ");
  EXPECT_EQ(qzipvr07(srgb.data(), 52, text, 0), QZIPVR_ERR_ARGUMENT);
  EXPECT_EQ(qzipvr07(v3(4, 16, 16).data(), 52, text, sizeof text), QZIPVR_ERR_HEADER);

  const Bytes file = v3(kRgba, 2, 2, Bytes(16, 7));
  EXPECT_EQ(qzipvr06(file.data(), file.size(), nullptr), QZIPVR_ERR_OUTPUT);
  const QZIPVR_ROWS none{nullptr, [](void*, int, unsigned char** alpha) -> unsigned char* {
                           *alpha = nullptr;
                           return nullptr;
                         }};
  EXPECT_EQ(qzipvr06(file.data(), file.size(), &none), QZIPVR_ERR_OUTPUT);
}

}  // namespace
