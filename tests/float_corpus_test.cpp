// The float path of the one-call loaders against the texture corpus: HDR textures equal to
// their float references, signed and 11-bit ones consistent with their 8-bit references (float_corpus.tsv).
#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "qzimgdecoder.h"
#include "tsv.h"

namespace {

struct Floats {
  float* p = nullptr;
  int w = 0, h = 0;
  ~Floats() { qziFreeRGBAF(p); }
};

// A corpus float reference: red, green, blue, rows top-down (not the usual bottom-up).
bool read_pfm(const std::string& path, int* w, int* h, std::vector<float>* rgb) {
  std::ifstream in(path, std::ios::binary);
  std::string magic;
  double scale = 0;
  in >> magic >> *w >> *h >> scale;
  in.get();
  if (magic != "PF" || scale >= 0) return false;
  rgb->resize(static_cast<size_t>(*w) * *h * 3);
  in.read(reinterpret_cast<char*>(rgb->data()), static_cast<std::streamsize>(rgb->size() * 4));
  return static_cast<bool>(in);
}

bool read_png(const std::string& path, int* w, int* h, std::vector<uint8_t>* rgba) {
  png_image ref{};
  ref.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&ref, path.c_str())) return false;
  ref.format = PNG_FORMAT_RGBA;
  rgba->assign(PNG_IMAGE_SIZE(ref), 0);
  *w = static_cast<int>(ref.width);
  *h = static_cast<int>(ref.height);
  return png_image_finish_read(&ref, nullptr, rgba->data(), 0, nullptr) != 0;
}

// Equal as bit patterns, so that NaN equals NaN.
bool same(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b)); }

TEST(FloatCorpus, ReferencesThroughTheLoaders) {
  const char* dir = std::getenv("QZI_TEXTURES_DIR");
  if (!dir || !*dir) GTEST_SKIP() << "QZI_TEXTURES_DIR is not set";
  for (const qzi_test::Row& row : qzi_test::tsv(QZI_FLOAT_CORPUS_TSV, "", 4)) {
    SCOPED_TRACE(row[0]);
    const std::string path = std::string(dir) + "/" + row[0];
    const std::string base = path.substr(0, path.rfind('.'));
    Floats file, memory;
    ASSERT_EQ(qziLoadRGBAF(path.c_str(), &file.p, &file.w, &file.h), 0);
    std::ifstream in(path, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(qziLoadRGBAFFromMemory(bytes.data(), bytes.size(), row[0].c_str(), &memory.p, &memory.w, &memory.h), 0);
    ASSERT_TRUE(memory.w == file.w && memory.h == file.h);
    const size_t n = static_cast<size_t>(file.w) * file.h;
    EXPECT_EQ(std::memcmp(file.p, memory.p, n * 4 * sizeof(float)), 0);

    int w = 0, h = 0;
    std::vector<uint8_t> ref8;
    ASSERT_TRUE(read_png(base + ".ref.png", &w, &h, &ref8));
    ASSERT_TRUE(w == file.w && h == file.h);
    size_t wrong = 0, first = n * 4;
    if (row[1] == "pfm") {
      std::vector<float> rgb;
      ASSERT_TRUE(read_pfm(base + ".ref.pfm", &w, &h, &rgb));
      ASSERT_TRUE(w == file.w && h == file.h);
      for (size_t k = 0; k < n * 4; ++k) {
        // Alpha, which the float reference lacks, agrees with the 8-bit one.
        const bool ok = k % 4 < 3 ? same(file.p[k], rgb[k / 4 * 3 + k % 4])
                                  : std::floor(std::min(std::max(file.p[k], 0.0f), 1.0f) * 255.0 + 0.5) == ref8[k];
        if (!ok && wrong++ == 0) first = k;
      }
    } else {
      const size_t channels = std::stoul(row[2]);
      const bool deep = row[1] == "deep";
      size_t fine = 0;
      for (size_t k = 0; k < n * 4; ++k) {
        const float f = file.p[k];
        if (deep) fine += std::fabs(f * 255.0 - std::round(f * 255.0)) > 1e-3;
        // The float of n / 1023 is inexact: a value a hair from a half may go either way.
        const double x = deep ? (f < 0 ? -1 : 255.0 * f + 0.5) : 255 * (f + 1.0) / 2 + 0.5;
        const bool ok = k % 4 == 3         ? f == 1
                        : k % 4 >= channels ? f == 0 && ref8[k] == 0
                                            : f >= -1 && f <= 1 &&
                                                  (std::floor(x + 1e-4) == ref8[k] || std::floor(x - 1e-4) == ref8[k]);
        if (!ok && wrong++ == 0) first = k;
      }
      if (deep) {
        EXPECT_GT(fine, n / 4);
      }
    }
    EXPECT_EQ(wrong, 0u) << "first at texel " << first / 4 << " channel " << first % 4 << ": "
                         << (first < n * 4 ? file.p[first] : 0.0f);
  }
}

// The handle API with a chosen mip level: the float picture is that level's, unclamped, and
// gives the 8-bit picture of the same handle by the clamping rule.
TEST(FloatCorpus, ChosenLevelThroughAHandle) {
  const char* dir = std::getenv("QZI_TEXTURES_DIR");
  if (!dir || !*dir) GTEST_SKIP() << "QZI_TEXTURES_DIR is not set";
  const std::string path = std::string(dir) + "/pillow/bc6h_sf.dds";
  QZIDECODER d = qziCreateDecoder();
  ASSERT_NE(d, nullptr);
  ASSERT_EQ(qziSetDecoderParam(d, QZIDEC_PARAM_LEVEL, 1, 0), 0);
  ASSERT_EQ(qziDecoderInitializeFromFile(d, path.c_str()), 0);
  void* floats = nullptr;
  void* bytes = nullptr;
  int w = 0, h = 0, bw = 0, bh = 0;
  EXPECT_EQ(qziDecoderExecuteRGBA(d, QZIDEC_SAMPLE_FLOAT32, &floats, &w, &h, nullptr), 0);
  EXPECT_EQ(qziDecoderExecuteRGBA(d, QZIDEC_SAMPLE_UINT8, &bytes, &bw, &bh, nullptr), 0);
  qziCloseDecoder(d);
  ASSERT_TRUE(floats && bytes);
  EXPECT_TRUE(w == 64 && h == 64 && bw == 64 && bh == 64);
  const float* f = static_cast<const float*>(floats);
  const unsigned char* b = static_cast<const unsigned char*>(bytes);
  float high = 0;
  size_t wrong = 0;
  for (size_t k = 0; k < static_cast<size_t>(w) * h * 4; ++k) {
    high = std::max(high, f[k]);
    wrong += std::floor(std::min(std::max(f[k], 0.0f), 1.0f) * 255.0 + 0.5) != b[k];
  }
  EXPECT_EQ(wrong, 0u);
  EXPECT_GT(high, 1.0f);
  qziFreeRGBAF(static_cast<float*>(floats));
  qziFreeRGBA(static_cast<unsigned char*>(bytes));
}

}  // namespace
