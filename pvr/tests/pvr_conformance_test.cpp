// Real texture files from QZI_PVR_DIR: each NAME.pvr beside a NAME.ref.png (RGBA, top row
// first) decodes to exactly that picture through the public API; each without one is refused
// at initialisation.
#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "pvr_module_util.h"

namespace fs = std::filesystem;
using namespace pvrtest;

namespace {

struct Rgba {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> pixels;
};

bool read_png(const fs::path& path, Rgba* out) {
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
  image.format = PNG_FORMAT_RGBA;
  out->width = static_cast<int>(image.width);
  out->height = static_cast<int>(image.height);
  out->pixels.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, out->pixels.data(), 0, nullptr)) {
    png_image_free(&image);
    return false;
  }
  return true;
}

std::vector<fs::path> textures(const fs::path& dir) {
  std::vector<fs::path> found;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (entry.is_regular_file() && entry.path().extension() == ".pvr") found.push_back(entry.path());
  }
  std::sort(found.begin(), found.end());
  return found;
}

fs::path reference_of(const fs::path& texture) {
  fs::path ref = texture;
  ref.replace_extension(".ref.png");
  return ref;
}

class PvrConformance : public testing::Test {
 protected:
  void SetUp() override {
    const char* dir = std::getenv("QZI_PVR_DIR");
    if (!dir || !*dir) GTEST_SKIP() << "QZI_PVR_DIR is not set";
    dir_ = dir;
    files_ = textures(dir_);
    ASSERT_FALSE(files_.empty()) << "no .pvr files under " << dir_;
  }
  fs::path dir_;
  std::vector<fs::path> files_;
};

TEST_F(PvrConformance, ReferencesMatchExactly) {
  int compared = 0;
  for (const fs::path& file : files_) {
    const fs::path ref_path = reference_of(file);
    if (!fs::exists(ref_path)) continue;
    SCOPED_TRACE(fs::relative(file, dir_).string());
    Rgba ref;
    ASSERT_TRUE(read_png(ref_path, &ref));

    Picture picture;
    QZIDECODER h = qziCreateDecoder();
    ASSERT_EQ(qziDecoderInitializeFromFile(h, file.c_str()), 0);
    qziSetDecoderLayerCallback(h, keep_layer, &picture);
    const int result = qziDecoderExecute(h);
    qziCloseDecoder(h);
    ASSERT_EQ(result, 0);
    ASSERT_EQ(picture.calls, 1);
    ASSERT_EQ(picture.width, ref.width);
    ASSERT_EQ(picture.height, ref.height);
    ASSERT_TRUE(picture.has_alpha);

    size_t mismatches = 0;
    std::string first;
    for (size_t n = 0; n < static_cast<size_t>(ref.width) * ref.height; ++n) {
      const uint8_t* want = &ref.pixels[n * 4];
      const uint8_t* bgr = &picture.bgr[n * 3];
      if (bgr[2] != want[0] || bgr[1] != want[1] || bgr[0] != want[2] || picture.alpha[n] != want[3]) {
        if (mismatches++ == 0) {
          first = "pixel " + std::to_string(n % ref.width) + "," + std::to_string(n / ref.width);
        }
      }
    }
    EXPECT_EQ(mismatches, 0u) << "first at " << first;
    ++compared;
  }
  EXPECT_GT(compared, 0);
  std::cout << "[          ] " << compared << " textures equal their references\n";
}

TEST_F(PvrConformance, UnreferencedTexturesAreRefused) {
  int refused = 0;
  for (const fs::path& file : files_) {
    if (fs::exists(reference_of(file))) continue;
    SCOPED_TRACE(fs::relative(file, dir_).string());
    QZIDECODER h = qziCreateDecoder();
    EXPECT_EQ(qziDecoderInitializeFromFile(h, file.c_str()), 102);
    qziCloseDecoder(h);
    ++refused;
  }
  std::cout << "[          ] " << refused << " textures without reference refused\n";
}

}  // namespace
