// qziLoadRGBA and qziLoadRGBAFromMemory against the BMP suite's golden table: the same result
// codes as the handle API and the same RGBA as the table's checksums, from a file and from memory.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "bmp_writer.h"
#include "qzi_rgba.h"
#include "qzimgdecoder.h"

namespace {

struct Loaded {
  int rc;
  std::string checksum = "-";
  bool opaque = true;  // every alpha byte 255
};

// Checks the contract on the way: null and 0 on failure, a buffer of width * height * 4 on success.
Loaded summarise(int rc, unsigned char* pixels, int w, int h) {
  Loaded r{rc};
  if (rc != 0) {
    EXPECT_TRUE(pixels == nullptr && w == 0 && h == 0) << "outputs set on failure";
    return r;
  }
  qzi_rgba::Image img;
  img.width = w;
  img.height = h;
  img.rgba.assign(pixels, pixels + static_cast<size_t>(w) * h * 4);
  qziFreeRGBA(pixels);
  for (size_t i = 3; i < img.rgba.size(); i += 4) r.opaque = r.opaque && img.rgba[i] == 255;
  char sum[17];
  std::snprintf(sum, sizeof sum, "%016llx", static_cast<unsigned long long>(qzi_rgba::checksum(img)));
  r.checksum = sum;
  return r;
}

Loaded load_file(const std::string& path) {
  unsigned char* pixels = reinterpret_cast<unsigned char*>(1);
  int w = -1, h = -1;
  const int rc = qziLoadRGBA(path.c_str(), &pixels, &w, &h);
  return summarise(rc, pixels, w, h);
}

Loaded load_memory(const std::vector<char>& bytes, const char* hint) {
  unsigned char* pixels = reinterpret_cast<unsigned char*>(1);
  int w = -1, h = -1;
  const int rc = qziLoadRGBAFromMemory(bytes.data(), bytes.size(), hint, &pixels, &w, &h);
  return summarise(rc, pixels, w, h);
}

TEST(LoadRGBA, MatchesTheGoldenTable) {
  const char* dir = std::getenv("QZI_BMPSUITE_DIR");
  if (!dir || !*dir) GTEST_SKIP() << "QZI_BMPSUITE_DIR not set: BMP suite not available";
  std::ifstream in(QZI_BMP_GOLDEN_TABLE);
  int lines = 0;
  for (std::string text; std::getline(in, text);) {
    if (text.empty() || text[0] == '#') continue;
    std::istringstream fields(text.substr(0, text.find('#')));
    std::string file, checksum;
    int init, exec, plane;
    unsigned bpp;
    ASSERT_TRUE(fields >> file >> init >> exec >> bpp >> plane >> checksum) << "bad table line: " << text;
    ++lines;
    SCOPED_TRACE(file);
    const int expected = init != 0 ? init : exec;
    const std::string path = std::string(dir) + "/" + file;
    std::ifstream f(path, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());

    const Loaded from_file = load_file(path);
    EXPECT_EQ(from_file.rc, expected);
    EXPECT_EQ(from_file.checksum, checksum);
    if (from_file.rc == 0 && plane == 0) {
      EXPECT_TRUE(from_file.opaque) << "alpha 255 without an alpha plane";
    }
    // From memory: with the file's name as hint, and without any (detection by content).
    const std::string name = file.substr(file.find_last_of('/') + 1);
    for (const char* hint : {name.c_str(), static_cast<const char*>(nullptr)}) {
      const Loaded from_memory = load_memory(bytes, hint);
      EXPECT_EQ(from_memory.rc, expected) << (hint ? hint : "no hint");
      EXPECT_EQ(from_memory.checksum, checksum) << (hint ? hint : "no hint");
    }
  }
  EXPECT_EQ(lines, 91) << "one line per suite image";
}

// The crafted files of past failures: each named in the table with its result, none unnamed.
TEST(LoadRGBA, FuzzRegressions) {
  std::ifstream in(QZI_FUZZ_REGRESSIONS "/../regressions.tsv");
  std::vector<std::string> listed;
  for (std::string text; std::getline(in, text);) {
    if (text.empty() || text[0] == '#') continue;
    std::istringstream fields(text);
    std::string file;
    int result = -1;
    ASSERT_TRUE(fields >> file >> result) << "bad table line: " << text;
    listed.push_back(file);
    EXPECT_EQ(load_file(QZI_FUZZ_REGRESSIONS "/" + file).rc, result) << file;
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
  EXPECT_EQ(qziLoadRGBA((::testing::TempDir() + "no/such.bmp").c_str(), &pixels, &w, &h), QZIERR_FILE_OPEN);
  EXPECT_EQ(qziLoadRGBA(::testing::TempDir().c_str(), &pixels, &w, &h), QZIERR_FILE_OPEN);
  EXPECT_EQ(pixels, nullptr);
  qziFreeRGBA(nullptr);
}

}  // namespace
