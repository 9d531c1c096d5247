// The decoder with the real texture library: a texture built here, then the real files of
// QZI_PVR_DIR, each NAME.pvr equal to NAME.ref.png (RGBA, top row first) or refused without one.
#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "pvr_test_util.h"

namespace fs = std::filesystem;
using namespace pvrtest;

namespace {

TEST(PvrDecoder, BuiltTexture) {
  Session s;  // 1 x 3 BGRA, rows stored bottom-up
  const Bytes data = {10, 20, 30, 40, 11, 21, 31, 41, 12, 22, 32, 42};
  ASSERT_EQ(s.init(v3(channels("bgra", 8, 8, 8, 8), 1, 3, data, orientation(0, 1))), 0);
  ASSERT_EQ(s.execute(), 0);
  ASSERT_TRUE(s.img.has_alpha);
  EXPECT_EQ(s.img.rgba, (Bytes{32, 22, 12, 42, 31, 21, 11, 41, 30, 20, 10, 40}));
  Session refused;  // the library refuses PVRTC-II, so detection passes over it
  EXPECT_EQ(refused.init(v3(4, 16, 16, Bytes(64, 0))), 102);
}

TEST(PvrConformance, ReferencesMatchExactly) {
  const char* dir = std::getenv("QZI_PVR_DIR");
  if (!dir || !*dir) GTEST_SKIP() << "QZI_PVR_DIR is not set";
  std::vector<fs::path> files;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (entry.path().extension() == ".pvr") files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  int matched = 0, refused = 0;
  for (const fs::path& file : files) {
    SCOPED_TRACE(file.string());
    const fs::path ref_path = fs::path(file).replace_extension(".ref.png");
    Session s;
    if (!fs::exists(ref_path)) {  // PVRTC-II, ASTC, half-float
      EXPECT_EQ(qziDecoderInitializeFromFile(s.h, file.c_str()), 102);
      ++refused;
      continue;
    }
    png_image ref{};
    ref.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&ref, ref_path.c_str()));
    ref.format = PNG_FORMAT_RGBA;
    Bytes want(PNG_IMAGE_SIZE(ref));
    ASSERT_TRUE(png_image_finish_read(&ref, nullptr, want.data(), 0, nullptr));
    ASSERT_EQ(qziDecoderInitializeFromFile(s.h, file.c_str()), 0);
    ASSERT_EQ(s.execute(), 0);
    ASSERT_EQ(s.layers, 1);
    ASSERT_EQ(std::pair(s.img.width, s.img.height), std::pair(int(ref.width), int(ref.height)));
    ASSERT_TRUE(s.img.has_alpha);
    const auto diff = std::mismatch(want.begin(), want.end(), s.img.rgba.begin()).first - want.begin();
    EXPECT_EQ(diff, static_cast<long>(want.size())) << "first difference at pixel " << diff / 4;
    ++matched;
  }
  EXPECT_GT(matched, 0);
  std::cout << "[          ] " << matched << " textures equal their references, " << refused << " refused\n";
}

}  // namespace
