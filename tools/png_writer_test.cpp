// The PNG writer against libpng's reader: every level gives back the picture it was given, for
// pictures whose rows fit many times into zlib's window and ones that do not, with none, some or
// all of the rows given to zlib (its part and the whole-buffer compressor's are joined into one
// zlib stream).
#include "png_writer.h"

#include <gtest/gtest.h>
#include <png.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

struct Picture {
  int width, height;
  std::vector<uint8_t> rgba;
};

// Smooth gradients with noise in the low bits and runs of one colour: something for every
// filter and for zlib's matches.
Picture make_picture(int width, int height, unsigned seed) {
  Picture p{width, height, std::vector<uint8_t>(static_cast<size_t>(width) * height * 4)};
  std::mt19937 rng(seed);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      uint8_t* o = &p.rgba[(static_cast<size_t>(y) * width + x) * 4];
      const bool flat = (x / 16 + y / 16) % 3 == 0;
      o[0] = static_cast<uint8_t>(flat ? 40 : x * 255 / width + (rng() & 3));
      o[1] = static_cast<uint8_t>(flat ? 90 : y * 255 / height + (rng() & 7));
      o[2] = static_cast<uint8_t>(flat ? 200 : rng());
      o[3] = static_cast<uint8_t>(flat ? 255 : 128 + (x ^ y) % 128);
    }
  }
  return p;
}

void copy_row(const void* user, int y, uint8_t* rgba) {
  const Picture* p = static_cast<const Picture*>(user);
  const size_t n = static_cast<size_t>(p->width) * 4;
  std::copy_n(&p->rgba[static_cast<size_t>(y) * n], n, rgba);
}

std::string write_png(const Picture& p, int level, size_t zlib_rows) {
  char* data = nullptr;
  size_t size = 0;
  FILE* f = open_memstream(&data, &size);
  EXPECT_NE(f, nullptr);
  EXPECT_EQ(qzi_png::write_rgba(f, p.width, p.height, level, copy_row, &p, zlib_rows), 0);
  std::fclose(f);
  std::string out(data, size);
  std::free(data);
  return out;
}

// The picture libpng reads back, or an empty one with the reader's message.
Picture read_png(const std::string& file, std::string* error) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  Picture p{0, 0, {}};
  if (!png_image_begin_read_from_memory(&image, file.data(), file.size())) {
    *error = image.message;
    return p;
  }
  image.format = PNG_FORMAT_RGBA;
  p.width = static_cast<int>(image.width);
  p.height = static_cast<int>(image.height);
  p.rgba.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, p.rgba.data(), 0, nullptr)) {
    *error = image.message;
    p.rgba.clear();
  }
  return p;
}

TEST(PngWriter, EveryLevelAndSplitGivesThePictureBack) {
  struct Size {
    int width, height;
  };
  // 1x1; rows much narrower than zlib's window; rows wider than the window; an odd size; one
  // past the size below which no second thread is started (0 then gives zlib a part).
  for (const Size s : {Size{1, 1}, Size{3, 300}, Size{9000, 5}, Size{257, 300}, Size{1024, 257}}) {
    const Picture picture = make_picture(s.width, s.height, static_cast<unsigned>(s.width * 31 + s.height));
    for (int level = qzi_png::kMinLevel; level <= qzi_png::kMaxLevel; ++level) {
      // zlib's part: the top row, seven rows, as chosen, every row.
      for (size_t zlib_rows : {size_t{1}, size_t{7}, size_t{0}, static_cast<size_t>(s.height)}) {
        SCOPED_TRACE(std::to_string(s.width) + "x" + std::to_string(s.height) + " level " + std::to_string(level) +
                     " zlib rows " + std::to_string(zlib_rows));
        std::string error;
        const Picture back = read_png(write_png(picture, level, zlib_rows), &error);
        ASSERT_EQ(error, "");
        ASSERT_EQ(back.width, picture.width);
        ASSERT_EQ(back.height, picture.height);
        ASSERT_TRUE(back.rgba == picture.rgba);
        if (level > qzi_png::kLastFastLevel) break;  // libpng's levels have no parts
      }
    }
  }
}

TEST(PngWriter, HigherLevelsWriteSmallerFiles) {
  const Picture picture = make_picture(640, 480, 7);
  const size_t stored = write_png(picture, 0, 0).size();
  const size_t fast = write_png(picture, qzi_png::kDefaultLevel, 0).size();
  const size_t small = write_png(picture, qzi_png::kMaxLevel, 0).size();
  EXPECT_GT(stored, static_cast<size_t>(640) * 480 * 4);
  EXPECT_LT(fast, stored);
  EXPECT_LT(small, fast);
}

TEST(PngWriter, ReportsAFailedWrite) {
  const Picture picture = make_picture(64, 64, 3);
  FILE* full = std::fopen("/dev/full", "wb");
  if (!full) GTEST_SKIP() << "no /dev/full";
  std::setvbuf(full, nullptr, _IONBF, 0);
  EXPECT_NE(qzi_png::write_rgba(full, picture.width, picture.height, qzi_png::kDefaultLevel, copy_row, &picture), 0);
  EXPECT_NE(qzi_png::write_rgba(full, picture.width, picture.height, qzi_png::kMaxLevel, copy_row, &picture), 0);
  std::fclose(full);
}

}  // namespace
