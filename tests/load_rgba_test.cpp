// qziLoadRGBA and qziLoadRGBAFromMemory: the fuzz regressions' result codes, the layout of the
// pixels and refused arguments. The BMP suite's golden table holds them against the handle API.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bmp_writer.h"
#include "qzi_memstream.h"
#include "qzimgdecoder.h"
#include "tsv.h"

namespace {

int load_file(const std::string& path) {
  unsigned char* pixels = nullptr;
  int w = 0, h = 0;
  const int rc = qziLoadRGBA(path.c_str(), &pixels, &w, &h);
  qziFreeRGBA(pixels);
  return rc;
}

// The crafted files of past failures: each named in the table with its result, none unnamed.
TEST(LoadRGBA, FuzzRegressions) {
  std::vector<std::string> listed;
  for (const qzi_test::Row& row : qzi_test::tsv(QZI_FUZZ_REGRESSIONS "/../regressions.tsv")) {
    listed.push_back(row[0]);
    EXPECT_EQ(load_file(QZI_FUZZ_REGRESSIONS "/" + row[0]), std::stoi(row.at(1))) << row[0];
  }
  std::vector<std::string> present;
  DIR* dir = opendir(QZI_FUZZ_REGRESSIONS);
  ASSERT_NE(dir, nullptr);
  while (dirent* e = readdir(dir))
    if (e->d_name[0] != '.') present.push_back(e->d_name);
  closedir(dir);
  std::sort(listed.begin(), listed.end());
  std::sort(present.begin(), present.end());
  EXPECT_EQ(listed, present);
}

// The library's memory input reads the bytes in place; the file input goes through the read
// buffer. Every crafted file of past failures gives the same result and pixels both ways.
TEST(LoadRGBA, InPlaceMemoryMatchesTheFile) {
  for (const qzi_test::Row& row : qzi_test::tsv(QZI_FUZZ_REGRESSIONS "/../regressions.tsv")) {
    const std::string path = QZI_FUZZ_REGRESSIONS "/" + row[0];
    FILE* f = std::fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr) << path;
    std::vector<unsigned char> bytes;
    unsigned char chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) bytes.insert(bytes.end(), chunk, chunk + n);
    std::fclose(f);
    unsigned char *a = nullptr, *b = nullptr;
    int aw = 0, ah = 0, bw = 0, bh = 0;
    const int ra = qziLoadRGBA(path.c_str(), &a, &aw, &ah);
    // The name keeps detection by extension alike.
    const int rb = bytes.empty() ? QZIERR_INVALID_ARG
                                 : qziLoadRGBAFromMemory(bytes.data(), bytes.size(), row[0].c_str(), &b, &bw, &bh);
    EXPECT_EQ(ra, rb) << row[0];
    if (ra == 0 && rb == 0) {
      ASSERT_TRUE(aw == bw && ah == bh) << row[0];
      EXPECT_EQ(std::memcmp(a, b, static_cast<size_t>(aw) * ah * 4), 0) << row[0];
    }
    qziFreeRGBA(a);
    qziFreeRGBA(b);
  }
  QZIDECODER d = qziCreateDecoder();
  const char byte = 'B';
  EXPECT_EQ(qziDecoderInitializeFromMemory(nullptr, &byte, 1, nullptr), QZIERR_INVALID_ARG);
  EXPECT_EQ(qziDecoderInitializeFromMemory(d, nullptr, 1, nullptr), QZIERR_INVALID_ARG);
  EXPECT_EQ(qziDecoderInitializeFromMemory(d, &byte, 0, nullptr), QZIERR_INVALID_ARG);
  EXPECT_EQ(qziDecoderInitializeFromMemory(d, &byte, size_t{1} << 31, nullptr), QZIERR_CANNOT);
  bmpw::Layout l;
  l.width = 1, l.height = 1, l.bit_count = 24;
  l.pixels = {1, 2, 3, 0};
  const bmpw::Bytes bmp = bmpw::file(l);
  ASSERT_EQ(qziDecoderInitializeFromMemory(d, bmp.data(), bmp.size(), nullptr), 0);
  EXPECT_EQ(qziDecoderInitializeFromMemory(d, bmp.data(), bmp.size(), nullptr), QZIERR_INVALID_ARG);
  void* pixels = nullptr;
  int w = 0, h = 0;
  for (int pass = 0; pass < 2; ++pass) {  // the bytes are served again for a second execution
    ASSERT_EQ(qziDecoderExecuteRGBA(d, QZIDEC_SAMPLE_UINT8, &pixels, &w, &h, nullptr), 0);
    EXPECT_EQ(std::vector<unsigned char>(static_cast<unsigned char*>(pixels), static_cast<unsigned char*>(pixels) + 4),
              (std::vector<unsigned char>{3, 2, 1, 255}));
    qziFreeRGBA(static_cast<unsigned char*>(pixels));
  }
  qziCloseDecoder(d);
}

// Layout without the suite: a 1 x 2 24-bit file whose bottom row comes first.
TEST(LoadRGBA, RowsTopDownInRgbaOrder) {
  bmpw::Layout l;
  l.width = 1, l.height = 2, l.bit_count = 24;
  l.pixels = {1, 2, 3, 0, 4, 5, 6, 0};  // blue, green, red and padding; bottom row first
  const bmpw::Bytes bmp = bmpw::file(l);
  unsigned char* pixels = nullptr;
  int w = 0, h = 0;
  ASSERT_EQ(qziLoadRGBAFromMemory(bmp.data(), bmp.size(), "", &pixels, &w, &h), 0);
  ASSERT_TRUE(w == 1 && h == 2);
  EXPECT_EQ(std::vector<unsigned char>(pixels, pixels + 8), (std::vector<unsigned char>{6, 5, 4, 255, 3, 2, 1, 255}));
  qziFreeRGBA(pixels);
}

TEST(LoadRGBA, RefusedArgumentsAndInputs) {
  unsigned char* pixels = nullptr;
  int w = 0, h = 0;
  const char byte = 'B';
  EXPECT_EQ(qziLoadRGBA(nullptr, &pixels, &w, &h), QZIERR_INVALID_ARG);
  EXPECT_EQ(qziLoadRGBA("x.bmp", nullptr, &w, &h), QZIERR_INVALID_ARG);
  EXPECT_EQ(qziLoadRGBA("x.bmp", &pixels, nullptr, &h), QZIERR_INVALID_ARG);
  EXPECT_EQ(qziLoadRGBAFromMemory(nullptr, 1, nullptr, &pixels, &w, &h), QZIERR_INVALID_ARG);
  EXPECT_EQ(qziLoadRGBAFromMemory(&byte, 0, nullptr, &pixels, &w, &h), QZIERR_INVALID_ARG);
  // Refused on the size alone, before a byte is read.
  EXPECT_EQ(qziLoadRGBAFromMemory(&byte, size_t{1} << 31, nullptr, &pixels, &w, &h), QZIERR_CANNOT);
  EXPECT_EQ(qziLoadRGBAFromMemory(&byte, 1, "a.bmp", &pixels, &w, &h), QZIERR_UNSUPPORTED);
  EXPECT_EQ(pixels, nullptr);
  qziFreeRGBA(nullptr);
}

// qziDecoderExecuteRGBA answers like qziDecoderExecute: each failure leaves its own reason on
// the handle, whatever the call before left there, and a success clears it.
TEST(LoadRGBA, ExecuteRGBAReasons) {
  bmpw::Layout l;
  l.width = 1, l.height = 2, l.bit_count = 24;
  l.pixels = {1, 2, 3, 0, 4, 5, 6, 0};
  const bmpw::Bytes bmp = bmpw::file(l);
  const bmpw::Bytes cut(bmp.begin(), bmp.end() - 4);
  QZIDECODER d = qziCreateDecoder();
  ASSERT_NE(d, nullptr);
  void* px = nullptr;
  int w = 0, h = 0;
  auto reason = [d] { return std::string(qziDecoderGetReason(d)); };
  EXPECT_EQ(qziDecoderExecuteRGBA(d, QZIDEC_SAMPLE_FLOAT32, &px, &w, &h, nullptr), QZIERR_NOT_INITIALIZED);
  EXPECT_EQ(reason(), "the handle is not initialised");
  ASSERT_EQ(qziDecoderInitializeFromMemory(d, bmp.data(), bmp.size(), "a.bmp"), 0);
  EXPECT_EQ(qziDecoderExecuteRGBA(d, 7, &px, &w, &h, nullptr), QZIERR_INVALID_ARG);
  EXPECT_NE(reason().find("sample type 7"), std::string::npos) << reason();
  EXPECT_EQ(qziDecoderExecuteRGBA(d, QZIDEC_SAMPLE_FLOAT32, nullptr, &w, &h, nullptr), QZIERR_INVALID_ARG);
  EXPECT_EQ(reason(), "a required argument is missing");
  ASSERT_EQ(qziDecoderExecuteRGBA(d, QZIDEC_SAMPLE_FLOAT32, &px, &w, &h, nullptr), 0);
  EXPECT_EQ(reason(), "");
  qziFreeRGBAF(static_cast<float*>(px));
  EXPECT_EQ(qziDecoderInitializeFromMemory(d, bmp.data(), bmp.size(), "a.bmp"), QZIERR_INVALID_ARG);
  EXPECT_EQ(reason(), "the handle is already initialised");

  ASSERT_EQ(qziResetDecoder(d), 0);
  ASSERT_EQ(qziDecoderInitializeFromMemory(d, cut.data(), cut.size(), "a.bmp"), 0);
  for (int sample : {QZIDEC_SAMPLE_FLOAT32, QZIDEC_SAMPLE_UINT8}) {
    EXPECT_EQ(qziDecoderExecuteRGBA(d, sample, &px, &w, &h, nullptr), QZIERR_READ);
    EXPECT_EQ(reason(), "BMP: the file ends inside the pixel data");
    EXPECT_EQ(px, nullptr);
  }
  ASSERT_EQ(qziResetDecoder(d), 0);
  EXPECT_EQ(qziDecoderInitializeFromMemory(d, bmp.data(), 0, "a.bmp"), QZIERR_INVALID_ARG);
  EXPECT_EQ(reason(), "the input is empty");
  qziCloseDecoder(d);
}

// A palette picture with alpha in its table, and a 32-bit one with alpha in its pixels: the
// float path gives every 8-bit sample as x / 255 exactly, from a file and from memory.
TEST(LoadRGBA, FloatSamplesAreTheBytesWidened) {
  bmpw::Layout pal;
  pal.width = 2, pal.height = 2, pal.bit_count = 8, pal.colors_used = 3;
  pal.palette = {{10, 20, 30, 40}, {255, 0, 128, 255}, {1, 2, 3, 0}};
  pal.pixels = {0, 1, 0, 0, 2, 1, 0, 0};
  bmpw::Layout deep;
  deep.width = 3, deep.height = 1, deep.bit_count = 32;
  deep.pixels = {0, 1, 2, 3, 254, 253, 252, 251, 255, 255, 255, 255};
  for (const bmpw::Layout& l : {pal, deep}) {
    const bmpw::Bytes bmp = bmpw::file(l);
    unsigned char* bytes = nullptr;
    float* floats = nullptr;
    int w = 0, h = 0, fw = 0, fh = 0;
    ASSERT_EQ(qziLoadRGBAFromMemory(bmp.data(), bmp.size(), "", &bytes, &w, &h), 0);
    ASSERT_EQ(qziLoadRGBAFFromMemory(bmp.data(), bmp.size(), "", &floats, &fw, &fh), 0);
    ASSERT_TRUE(fw == w && fh == h);
    for (int i = 0; i < w * h * 4; ++i) EXPECT_EQ(floats[i], static_cast<float>(bytes[i]) / 255.0f) << i;
    qziFreeRGBAF(floats);

    const std::string path = ::testing::TempDir() + "qzi_float.bmp";
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(bmp.data(), 1, bmp.size(), f);
    std::fclose(f);
    ASSERT_EQ(qziLoadRGBAF(path.c_str(), &floats, &fw, &fh), 0);
    EXPECT_TRUE(fw == w && fh == h);
    for (int i = 0; i < w * h * 4; ++i) EXPECT_EQ(floats[i], static_cast<float>(bytes[i]) / 255.0f) << i;
    std::remove(path.c_str());
    qziFreeRGBAF(floats);
    qziFreeRGBA(bytes);
  }
  float* floats = reinterpret_cast<float*>(1);
  int w = 1, h = 1;
  const char byte = 'B';
  EXPECT_EQ(qziLoadRGBAF(nullptr, &floats, &w, &h), QZIERR_INVALID_ARG);
  EXPECT_EQ(floats, nullptr);
  EXPECT_EQ(qziLoadRGBAFFromMemory(&byte, 1, "a.bmp", &floats, &w, &h), QZIERR_UNSUPPORTED);
  EXPECT_TRUE(w == 0 && h == 0);
  qziFreeRGBAF(nullptr);
}

int count_layers(QZIDEC_LAYERINFO* info, int) {
  ++*reinterpret_cast<int*>(static_cast<uintptr_t>(info->layer_user));
  return 0;
}

// The conversion on a handle: the caller's callback is left out and stays set; the alpha
// flag tells an alpha plane from the implied opaque; the handle decodes again afterwards.
TEST(LoadRGBA, HandleConversionKeepsTheCallersCallback) {
  bmpw::Layout l;
  l.width = 2, l.height = 1, l.bit_count = 32;
  l.pixels = {1, 2, 3, 128, 4, 5, 6, 255};
  const bmpw::Bytes with_alpha = bmpw::file(l);
  l.pixels = {1, 2, 3, 0, 4, 5, 6, 0};
  const bmpw::Bytes opaque = bmpw::file(l);
  for (const bmpw::Bytes* bmp : {&with_alpha, &opaque}) {
    QZIDECODER d = qziCreateDecoder();
    qzi_mem::Stream mem{bmp->data(), bmp->size(), 0};
    ASSERT_EQ(qzi_mem::initialize(d, &mem, ""), 0);
    int calls = 0;
    ASSERT_EQ(qziSetDecoderLayerCallback(d, count_layers, &calls), 0);
    void* pixels = nullptr;
    int w = 0, h = 0, alpha = -1;
    ASSERT_EQ(qziDecoderExecuteRGBA(d, QZIDEC_SAMPLE_FLOAT32, &pixels, &w, &h, &alpha), 0);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(alpha, bmp == &with_alpha ? 1 : 0);
    const float* f = static_cast<const float*>(pixels);
    EXPECT_EQ(std::vector<float>(f, f + 8), (std::vector<float>{3 / 255.0f, 2 / 255.0f, 1 / 255.0f,
                                                                bmp == &with_alpha ? 128 / 255.0f : 1.0f, 6 / 255.0f,
                                                                5 / 255.0f, 4 / 255.0f, 1.0f}));
    qziFreeRGBAF(static_cast<float*>(pixels));
    ASSERT_EQ(qziDecoderExecuteRGBA(d, QZIDEC_SAMPLE_UINT8, &pixels, &w, &h, nullptr), 0);
    EXPECT_EQ(static_cast<unsigned char*>(pixels)[4], 6);
    qziFreeRGBA(static_cast<unsigned char*>(pixels));
    ASSERT_EQ(qziDecoderExecute(d), 0);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(qziDecoderExecuteRGBA(d, 2, &pixels, &w, &h, nullptr), QZIERR_INVALID_ARG);
    EXPECT_EQ(qziDecoderExecuteRGBA(d, QZIDEC_SAMPLE_UINT8, nullptr, &w, &h, nullptr), QZIERR_INVALID_ARG);
    qziCloseDecoder(d);
  }
  void* pixels = reinterpret_cast<void*>(1);
  int w = 0, h = 0;
  EXPECT_EQ(qziDecoderExecuteRGBA(nullptr, QZIDEC_SAMPLE_UINT8, &pixels, &w, &h, nullptr), QZIERR_INVALID_ARG);
  EXPECT_EQ(pixels, nullptr);
  QZIDECODER fresh = qziCreateDecoder();
  EXPECT_EQ(qziDecoderExecuteRGBA(fresh, QZIDEC_SAMPLE_UINT8, &pixels, &w, &h, nullptr), QZIERR_NOT_INITIALIZED);
  qziCloseDecoder(fresh);
}

}  // namespace
