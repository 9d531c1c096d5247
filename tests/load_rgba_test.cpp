// qziLoadRGBA and qziLoadRGBAFromMemory: the fuzz regressions' result codes, the layout of the
// pixels and refused arguments. The BMP suite's golden table holds them against the handle API.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bmp_writer.h"
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

}  // namespace
