// The container calls on small files: the fuzz seeds of every container as a table, then the
// choice of image, byte order, the read-ahead protocol, the float rules and hostile headers on
// files built here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "qzipvr.h"
#include "tsv.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes read_file(const std::string& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void put32(Bytes& b, size_t at, uint32_t v, bool big = false) {
  for (int k = 0; k < 4; ++k) b[at + k] = static_cast<uint8_t>(v >> (big ? 24 - 8 * k : 8 * k));
}

// A DDS header (legacy pixel format, or DX10 when dxgi is not 0) followed by `data`.
Bytes dds(uint32_t w, uint32_t h, uint32_t pf_flags, uint32_t code, uint32_t bits, const uint32_t masks[4],
          uint32_t dxgi, const Bytes& data, uint32_t mips = 1, uint32_t caps2 = 0, uint32_t depth = 0) {
  Bytes b(dxgi ? 148 : 128, 0);
  std::memcpy(b.data(), "DDS ", 4);
  put32(b, 4, 124);
  put32(b, 12, h);
  put32(b, 16, w);
  put32(b, 24, depth);
  put32(b, 28, mips);
  put32(b, 76, 32);
  put32(b, 80, dxgi ? 4 : pf_flags);
  if (dxgi) std::memcpy(&b[84], "DX10", 4); else put32(b, 84, code);
  put32(b, 88, bits);
  for (int k = 0; k < 4 && masks; ++k) put32(b, 92 + 4 * k, masks[k]);
  put32(b, 112, caps2);
  if (dxgi) {
    put32(b, 128, dxgi);
    put32(b, 132, 3);
    put32(b, 140, 1);
  }
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

struct Decoded {
  int rc = -1;
  QZIPVR_INFO info{};
  Bytes rgba;  // top row first
};

struct Rows {
  int width;
  Bytes bgr, alpha;
};
unsigned char* row_of(void* user, int y, unsigned char** alpha) {
  Rows* r = static_cast<Rows*>(user);
  *alpha = &r->alpha[static_cast<size_t>(y) * r->width];
  return &r->bgr[static_cast<size_t>(y) * r->width * 3];
}

Decoded decode(const Bytes& file, const QZIPVR_CHOICE* choice = nullptr) {
  Decoded d;
  d.rc = qzipvr08(file.data(), file.size(), file.size(), choice, &d.info);
  if (d.rc != QZIPVR_OK) return d;
  Rows r{d.info.width, Bytes(static_cast<size_t>(d.info.width) * d.info.height * 3),
         Bytes(static_cast<size_t>(d.info.width) * d.info.height)};
  const QZIPVR_ROWS rows{&r, row_of};
  d.rc = qzipvr09(file.data(), file.size(), choice, &rows);
  for (size_t k = 0; k < r.alpha.size(); ++k) {
    d.rgba.insert(d.rgba.end(), {r.bgr[3 * k + 2], r.bgr[3 * k + 1], r.bgr[3 * k], r.alpha[k]});
  }
  return d;
}

TEST(TextureContainers, SeedsOfEveryContainer) {
  for (const qzi_test::Row& row : qzi_test::tsv(QZI_TEXTURE_SEEDS_TSV, "", 9)) {
    SCOPED_TRACE(row[0]);
    const Bytes file = read_file(std::string(QZI_TEXTURE_SEEDS_DIR) + "/" + row[0]);
    ASSERT_FALSE(file.empty());
    const Decoded d = decode(file);
    ASSERT_EQ(d.rc, QZIPVR_OK) << d.info.reason;
    EXPECT_EQ(std::string(d.info.description).substr(0, row[1].size()), row[1]);
    EXPECT_EQ(d.info.width, std::stoi(row[2]));
    EXPECT_EQ(d.info.height, std::stoi(row[3]));
    EXPECT_EQ(std::vector<int>({d.info.levels, d.info.faces, d.info.layers, d.info.depth}),
              std::vector<int>({std::stoi(row[4]), std::stoi(row[5]), std::stoi(row[6]), std::stoi(row[7])}));
    if (row[8] != "-") {
      EXPECT_EQ((d.info.flags & QZIPVR_FLAG_HDR) != 0, row[8] == "1");
    }
    // Every file ends after its last image (KTX2: of level 0, stored last): one byte less
    // leaves that image short.
    QZIPVR_CHOICE last{};
    last.level = d.info.container == QZIPVR_CONTAINER_KTX2 ? 0 : d.info.levels - 1;
    last.face = d.info.faces - 1;
    last.layer = d.info.layers - 1;
    last.slice = std::max(1, d.info.depth >> last.level) - 1;
    EXPECT_EQ(decode(file, &last).rc, QZIPVR_OK);
    const Bytes cut(file.begin(), file.end() - 1);
    EXPECT_NE(decode(cut, &last).rc, QZIPVR_OK);
  }
}

// A luminance volume of 2 x 2 x 2 under two levels: each slice and level where it is stored.
TEST(TextureContainers, ChosenLevelAndSlice) {
  const uint32_t masks[4] = {0xFF, 0, 0, 0};
  const Bytes data = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  const Bytes file = dds(2, 2, 0x20000, 0, 8, masks, 0, data, 2, 0x200000, 2);
  QZIPVR_CHOICE c{};
  Decoded d = decode(file, &c);
  ASSERT_EQ(d.rc, QZIPVR_OK) << d.info.reason;
  EXPECT_EQ(d.rgba, (Bytes{1, 1, 1, 255, 2, 2, 2, 255, 3, 3, 3, 255, 4, 4, 4, 255}));
  c.slice = 1;
  EXPECT_EQ(decode(file, &c).rgba, (Bytes{5, 5, 5, 255, 6, 6, 6, 255, 7, 7, 7, 255, 8, 8, 8, 255}));
  c.slice = 0;
  c.level = 1;
  d = decode(file, &c);
  EXPECT_EQ(d.rgba, (Bytes{9, 9, 9, 255}));
  c.slice = 1;  // the second level has one slice
  EXPECT_EQ(decode(file, &c).rc, QZIPVR_ERR_CHOICE);
  c = QZIPVR_CHOICE{};
  c.face = 1;
  EXPECT_EQ(decode(file, &c).rc, QZIPVR_ERR_CHOICE);
  c.face = 0;
  c.level = -1;
  EXPECT_EQ(decode(file, &c).rc, QZIPVR_ERR_CHOICE);
}

// KTX RGB565 in both byte orders decodes the same; the big-endian file's words are swapped.
TEST(TextureContainers, KtxByteOrders) {
  auto ktx = [](bool big) {
    Bytes b(64 + 4 + 4, 0);
    const uint8_t id[12] = {0xAB, 'K', 'T', 'X', ' ', '1', '1', 0xBB, '\r', '\n', 0x1A, '\n'};
    std::memcpy(b.data(), id, 12);
    const uint32_t fields[13] = {0x04030201, 0x8363, 2, 0x1907, 0x8D62, 0x1907, 2, 1, 0, 0, 1, 1, 0};
    for (int k = 0; k < 13; ++k) put32(b, 12 + 4 * k, fields[k], big);
    put32(b, 64, 4, big);
    const uint16_t texels[2] = {0xF800, 0x07E0};  // red, green
    for (int k = 0; k < 2; ++k) {
      b[68 + 2 * k] = static_cast<uint8_t>(big ? texels[k] >> 8 : texels[k]);
      b[69 + 2 * k] = static_cast<uint8_t>(big ? texels[k] : texels[k] >> 8);
    }
    return b;
  };
  const Decoded little = decode(ktx(false)), big = decode(ktx(true));
  ASSERT_EQ(little.rc, QZIPVR_OK) << little.info.reason;
  ASSERT_EQ(big.rc, QZIPVR_OK) << big.info.reason;
  EXPECT_EQ(little.rgba, (Bytes{255, 0, 0, 255, 0, 255, 0, 255}));
  EXPECT_EQ(big.rgba, little.rgba);
}

// Metadata beyond the first bytes: qzipvr08 asks for them, and succeeds when given them.
TEST(TextureContainers, ReadAhead) {
  const Bytes file = read_file(std::string(QZI_TEXTURE_SEEDS_DIR) + "/r8_zlib_swizzle.ktx2");
  ASSERT_GT(file.size(), size_t{QZIPVR_HEAD_SIZE});
  QZIPVR_INFO info;
  EXPECT_EQ(qzipvr08(file.data(), 100, file.size(), nullptr, &info), QZIPVR_ERR_SHORT);
  ASSERT_GT(info.head_needed, 100u);
  ASSERT_LE(info.head_needed, file.size());
  // Each answer may ask for more again (the descriptor, then key/value data behind it).
  int rc = QZIPVR_ERR_SHORT, rounds = 0;
  for (; rc == QZIPVR_ERR_SHORT && rounds < 4; ++rounds) rc = qzipvr08(file.data(), info.head_needed, file.size(), nullptr, &info);
  EXPECT_EQ(rc, QZIPVR_OK) << info.reason;
  EXPECT_EQ(rounds, 2);
  // A file that ends before its metadata is refused, not asked for more.
  EXPECT_EQ(qzipvr08(file.data(), 100, 100, nullptr, &info), QZIPVR_ERR_DATA);
}

// Half floats 0.5, 2, -1 and NaN: clamped and rounded, or tone mapped with an exposure.
TEST(TextureContainers, FloatRules) {
  const Bytes half = {0x00, 0x38, 0x00, 0x40, 0x00, 0xBC, 0x00, 0x7E};  // R16G16B16A16F
  const Bytes file = dds(1, 1, 0, 0, 0, nullptr, 10, half);
  Decoded d = decode(file);
  ASSERT_EQ(d.rc, QZIPVR_OK) << d.info.reason;
  EXPECT_NE(d.info.flags & QZIPVR_FLAG_HDR, 0u);
  EXPECT_EQ(d.rgba, (Bytes{128, 255, 0, 0}));
  QZIPVR_CHOICE c{};
  c.tone_map = 1;
  EXPECT_EQ(decode(file, &c).rgba, (Bytes{85, 170, 0, 0}));  // x / (1 + x); alpha only clamped
  c.exposure = 0.5;
  EXPECT_EQ(decode(file, &c).rgba, (Bytes{51, 128, 0, 0}));
}

// The float picture of a file (qzipvr10), top row first.
struct FloatDecoded {
  int rc = -1;
  int width = 0;
  std::vector<float> rgba;
};
float* float_row_of(void* user, int y) {
  FloatDecoded* d = static_cast<FloatDecoded*>(user);
  return &d->rgba[static_cast<size_t>(y) * d->width * 4];
}
FloatDecoded decode_floats(const Bytes& file, const QZIPVR_CHOICE* choice = nullptr) {
  FloatDecoded d;
  QZIPVR_INFO info;
  d.rc = qzipvr08(file.data(), file.size(), file.size(), choice, &info);
  if (d.rc != QZIPVR_OK) return d;
  d.width = info.width;
  d.rgba.assign(static_cast<size_t>(info.width) * info.height * 4, -7.0f);
  const QZIPVR_FLOAT_ROWS rows{&d, float_row_of};
  d.rc = qzipvr10(file.data(), file.size(), choice, &rows);
  return d;
}

Bytes hex_bytes(const std::string& hex) {
  Bytes b;
  for (size_t k = 0; k + 1 < hex.size(); k += 2) b.push_back(static_cast<uint8_t>(std::stoi(hex.substr(k, 2), nullptr, 16)));
  return b;
}

// "n/d" as the float nearest n / d, or a number as strtof reads it (nan, inf).
float table_float(const std::string& s) {
  const size_t slash = s.find('/');
  if (slash == std::string::npos) return std::strtof(s.c_str(), nullptr);
  return static_cast<float>(std::stod(s.substr(0, slash)) / std::stod(s.substr(slash + 1)));
}

std::vector<std::string> words(const std::string& s) {
  std::istringstream in(s);
  return std::vector<std::string>(std::istream_iterator<std::string>(in), std::istream_iterator<std::string>());
}

TEST(TextureContainers, FloatAndSignedTexels) {
  for (const qzi_test::Row& row : qzi_test::tsv(QZI_TEXTURE_FLOATS_TSV, "", 5)) {
    SCOPED_TRACE(row[0]);
    const Bytes file = dds(1, 1, 0, 0, 0, nullptr, static_cast<uint32_t>(std::stoul(row[1])), hex_bytes(row[2]));
    const Decoded d = decode(file);
    ASSERT_EQ(d.rc, QZIPVR_OK) << d.info.reason;
    Bytes want8;
    for (const std::string& w : words(row[3])) want8.push_back(static_cast<uint8_t>(std::stoi(w)));
    EXPECT_EQ(d.rgba, want8);
    const FloatDecoded f = decode_floats(file);
    ASSERT_EQ(f.rc, QZIPVR_OK);
    const std::vector<std::string> want = words(row[4]);
    ASSERT_EQ(want.size(), 4u);
    for (int c = 0; c < 4; ++c) {
      const float w = table_float(want[c]);
      if (std::isnan(w)) {
        EXPECT_TRUE(std::isnan(f.rgba[c])) << "channel " << c;
      } else {
        EXPECT_EQ(f.rgba[c], w) << "channel " << c;
      }
    }
    // The tone map changes the 8-bit picture only.
    QZIPVR_CHOICE tone{};
    tone.tone_map = 1;
    const FloatDecoded mapped = decode_floats(file, &tone);
    EXPECT_EQ(std::memcmp(mapped.rgba.data(), f.rgba.data(), 16), 0);
  }
}

// The 8-bit rule applied to a float sample: -1..1 to 0..255 for signed formats, else clamped.
// Values within a hair of a half go either way (the float of n / 1023 is not exact).
bool maps_to(float f, bool is_signed, uint8_t want) {
  const double x = is_signed ? 255 * (f + 1.0) / 2 : 255 * std::min(std::max(static_cast<double>(f), 0.0), 1.0);
  if (std::isnan(f)) return want == 0;
  return std::floor(x + 0.5 + 1e-4) == want || std::floor(x + 0.5 - 1e-4) == want;
}

// Random blocks of the signed formats, of unsigned EAC and of BC6H: every float sample within
// its range and giving the 8-bit picture's value by the 8-bit rule; missing channels 0, alpha 1.
// Unsigned EAC keeps its 11 bits: values in 2047ths, many of them between 8-bit steps.
TEST(TextureContainers, FloatBlocksAgreeWithTheEightBitPicture) {
  struct Case {
    const char* name;
    uint32_t dxgi;      // a DDS DX10 file, or 0 for a PKM file of `pkm` type
    int pkm, block_bytes, channels;
    bool is_signed;
  };
  const Case cases[] = {{"BC4 signed", 81, 0, 8, 1, true},   {"BC5 signed", 84, 0, 16, 2, true},
                        {"EAC R11 signed", 0, 7, 8, 1, true}, {"EAC RG11 signed", 0, 8, 16, 2, true},
                        {"EAC R11 unsigned", 0, 5, 8, 1, false}, {"EAC RG11 unsigned", 0, 6, 16, 2, false},
                        {"BC6H unsigned", 95, 0, 16, 3, false}, {"BC6H signed", 96, 0, 16, 3, false}};
  uint32_t seed = 12345;
  auto next = [&seed] {
    seed = seed * 1664525u + 1013904223u;
    return static_cast<uint8_t>(seed >> 24);
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int w = 32, h = 28;  // 8 x 7 blocks
    Bytes data(static_cast<size_t>(w / 4) * (h / 4) * c.block_bytes);
    for (uint8_t& b : data) b = next();
    // Endpoints at the ends of the signed range: -128 reads as -127, both give -1.
    if (c.is_signed) data[0] = 0x80, data[1] = 0x7F;
    Bytes file;
    if (c.dxgi) {
      file = dds(w, h, 0, 0, 0, nullptr, c.dxgi, data);
    } else {
      const uint8_t bw = static_cast<uint8_t>(w), bh = static_cast<uint8_t>(h);
      file = {'P', 'K', 'M', ' ', '2', '0', 0, static_cast<uint8_t>(c.pkm), 0, bw, 0, bh, 0, bw, 0, bh};
      file.insert(file.end(), data.begin(), data.end());
    }
    const Decoded d = decode(file);
    ASSERT_EQ(d.rc, QZIPVR_OK) << d.info.reason;
    const FloatDecoded f = decode_floats(file);
    ASSERT_EQ(f.rc, QZIPVR_OK);
    ASSERT_EQ(f.rgba.size(), d.rgba.size());
    const bool eac_unsigned = !c.dxgi && !c.is_signed;
    int wrong = 0, fine = 0;
    float low = 0, high = 0;
    for (size_t k = 0; k < f.rgba.size(); ++k) {
      const int ch = static_cast<int>(k % 4);
      const float v = f.rgba[k];
      if (ch == 3 || ch >= c.channels) {
        wrong += v != (ch == 3 ? 1.0f : 0.0f);
        continue;
      }
      low = std::min(low, v);
      high = std::max(high, v);
      wrong += !maps_to(v, c.is_signed, d.rgba[k]) || (c.is_signed && (v < -1 || v > 1));
      if (eac_unsigned) {
        wrong += v < 0 || v > 1 || std::fabs(v * 2047.0 - std::round(v * 2047.0)) > 1e-3;
        fine += std::fabs(v * 255.0 - std::round(v * 255.0)) > 1e-3;
      }
    }
    EXPECT_EQ(wrong, 0);
    // Random blocks reach below 0 where the format can, and beyond 1 in BC6H.
    if (eac_unsigned) {
      EXPECT_EQ(low, 0.0f);
      EXPECT_EQ(high, 1.0f);
      EXPECT_GT(fine, static_cast<int>(f.rgba.size() / 8));
      continue;
    }
    if (c.dxgi == 95) EXPECT_EQ(low, 0.0f); else EXPECT_LT(low, -0.5f);
    if (c.is_signed) EXPECT_GT(high, 0.5f); else EXPECT_GT(high, 1.0f);
  }
}

// A KTX half-float file stored right to left and bottom-up: the float picture turned the same
// way as the 8-bit one (each texel's value distinct in both).
TEST(TextureContainers, FloatPictureOriented) {
  const char kv[] = "KTXorientation\0S=l,T=u";  // 23 bytes with both terminators
  Bytes b(64 + 4 + 24 + 4 + 8, 0);
  const uint8_t id[12] = {0xAB, 'K', 'T', 'X', ' ', '1', '1', 0xBB, '\r', '\n', 0x1A, '\n'};
  std::memcpy(b.data(), id, 12);
  const uint32_t fields[13] = {0x04030201, 0x140B, 2, 0x1903, 0x822D, 0x1903, 2, 2, 0, 0, 1, 1, 28};
  for (int k = 0; k < 13; ++k) put32(b, 12 + 4 * k, fields[k]);
  put32(b, 64, 23);
  std::memcpy(&b[68], kv, sizeof kv);
  put32(b, 92, 8);
  const uint16_t halves[4] = {0x3400, 0x4000, 0xBC00, 0x3800};  // 0.25, 2, -1, 0.5 as stored
  for (int k = 0; k < 4; ++k) b[96 + 2 * k] = static_cast<uint8_t>(halves[k]), b[97 + 2 * k] = static_cast<uint8_t>(halves[k] >> 8);
  const Decoded d = decode(b);
  ASSERT_EQ(d.rc, QZIPVR_OK) << d.info.reason;
  ASSERT_NE(d.info.flags & QZIPVR_FLAG_FLIP_COLUMNS, 0u);
  const FloatDecoded f = decode_floats(b);
  ASSERT_EQ(f.rc, QZIPVR_OK);
  // Stored order 0.25, 2 / -1, 0.5; shown mirrored and upside down.
  EXPECT_EQ((std::vector<float>{f.rgba[0], f.rgba[4], f.rgba[8], f.rgba[12]}), (std::vector<float>{0.5f, -1, 2, 0.25f}));
  EXPECT_EQ((Bytes{d.rgba[0], d.rgba[4], d.rgba[8], d.rgba[12]}), (Bytes{128, 0, 255, 64}));
}

// ASTC contexts are kept per footprint and profile: 4x4 LDR, 4x4 HDR and 4x4x4 blocks decoded
// on two threads in turn give what each gives alone (an LDR context would decode the HDR
// blocks to its error colour), in 8 bits and as floats.
TEST(TextureContainers, AstcContextsPerFootprintAndProfile) {
  std::vector<Bytes> files;
  for (const char* name : {"astc_plain.ktx2", "hdr_void.astc", "vol_4x4x4.astc", "ldr_6x6.astc"}) {
    files.push_back(read_file(std::string(QZI_TEXTURE_SEEDS_DIR) + "/" + name));
  }
  std::vector<Bytes> want;
  std::vector<std::vector<float>> want_floats;
  for (const Bytes& file : files) {
    const Decoded d = decode(file);
    const FloatDecoded f = decode_floats(file);
    ASSERT_EQ(d.rc, QZIPVR_OK) << d.info.reason;
    ASSERT_EQ(f.rc, QZIPVR_OK);
    want.push_back(d.rgba);
    want_floats.push_back(f.rgba);
  }
  EXPECT_GT(*std::max_element(want_floats[1].begin(), want_floats[1].end()), 1.0f) << "HDR values kept";
  int mismatches[2] = {0, 0};
  auto work = [&](int t) {
    for (int round = 0; round < 3; ++round) {
      for (size_t k = 0; k < files.size(); ++k) {
        const size_t i = t ? files.size() - 1 - k : k;
        const FloatDecoded f = decode_floats(files[i]);
        mismatches[t] += decode(files[i]).rgba != want[i] || f.rc != QZIPVR_OK ||
                         std::memcmp(f.rgba.data(), want_floats[i].data(), f.rgba.size() * sizeof(float)) != 0;
      }
    }
  };
  std::thread other(work, 1);
  work(0);
  other.join();
  EXPECT_EQ(mismatches[0] + mismatches[1], 0);
}

// Headers that lie: sizes beyond any file, counts far beyond the data, unknown formats.
TEST(TextureContainers, HostileHeaders) {
  const Bytes block(8, 0);
  QZIPVR_INFO info;
  const Bytes wide = dds(65537, 4, 4, 0x31545844, 0, nullptr, 0, block);  // DXT1
  EXPECT_EQ(qzipvr08(wide.data(), wide.size(), wide.size(), nullptr, &info), QZIPVR_ERR_HEADER);
  const Bytes tall = dds(4, 16777217, 4, 0x31545844, 0, nullptr, 0, block);
  EXPECT_NE(qzipvr08(tall.data(), tall.size(), tall.size(), nullptr, &info), QZIPVR_OK);
  const Bytes layers = dds(4, 4, 0, 0, 0, nullptr, 71, block);
  Bytes many = layers;
  put32(many, 140, 0xFFFFFFFF);  // array size
  QZIPVR_CHOICE last{};
  last.layer = (1 << 20) - 1;
  EXPECT_EQ(qzipvr08(many.data(), many.size(), many.size(), &last, &info), QZIPVR_ERR_DATA);
  Bytes mips = layers;
  put32(mips, 28, 0xFFFFFFFF);  // levels beyond a full chain are not counted
  ASSERT_EQ(qzipvr08(mips.data(), mips.size(), mips.size(), nullptr, &info), QZIPVR_OK);
  EXPECT_EQ(info.levels, 3);
  const Bytes unknown = dds(4, 4, 0, 0, 0, nullptr, 999, block);
  EXPECT_EQ(qzipvr08(unknown.data(), unknown.size(), unknown.size(), nullptr, &info), QZIPVR_ERR_HEADER);
  EXPECT_STREQ(info.reason, "unsupported pixel format: DXGI 999");
  // Zstandard data that inflates to less than the level claims: refused when decoding.
  Bytes zstd = read_file(std::string(QZI_TEXTURE_SEEDS_DIR) + "/bc7_zstd.ktx2");
  ASSERT_GT(zstd.size(), 80u + 48);
  put32(zstd, 80 + 24 + 16, 17);
  put32(zstd, 80 + 24 * 0 + 16, 65);
  EXPECT_NE(decode(zstd).rc, QZIPVR_OK);
}

}  // namespace
