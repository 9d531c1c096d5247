// The decoder with the real texture library: a texture built here, then the real files of
// QZI_PVR_DIR and QZI_PVR_MODERN_DIR, each NAME.pvr equal to NAME.ref.png (RGBA, top row first)
// within the tolerance pvr_conformance.tsv gives, or refused without one.
#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "pvr_test_util.h"
#include "tsv.h"

namespace fs = std::filesystem;
using namespace pvrtest;
using qzi_test::Session;

namespace {

TEST(PvrDecoder, BuiltTexture) {
  Session s;  // 1 x 3 BGRA, rows stored bottom-up
  const Bytes data = {10, 20, 30, 40, 11, 21, 31, 41, 12, 22, 32, 42};
  ASSERT_EQ(s.init(v3(channels("bgra", 8, 8, 8, 8), 1, 3, data, orientation(0, 1)), "t.pvr"), 0);
  ASSERT_EQ(s.execute(), 0);
  ASSERT_TRUE(s.out.img.has_alpha);
  EXPECT_EQ(s.out.img.rgba, (Bytes{32, 22, 12, 42, 31, 21, 11, 41, 30, 20, 10, 40}));
  Session refused;  // the library refuses PVRTC-II, so detection passes over it
  EXPECT_EQ(refused.init(v3(4, 16, 16, Bytes(64, 0)), "t.pvr"), 102);
}

void check_folder(const char* variable) {
  const char* dir = std::getenv(variable);
  if (!dir || !*dir) GTEST_SKIP() << variable << " is not set";
  const auto rows = qzi_test::tsv(QZI_PVR_CONFORMANCE_TSV, "", 2);  // name prefix, tolerance
  std::vector<fs::path> files;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (entry.path().extension() == ".pvr") files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  int exact = 0, close = 0, refused = 0;
  for (const fs::path& file : files) {
    SCOPED_TRACE(file.string());
    const fs::path ref_path = fs::path(file).replace_extension(".ref.png");
    Session s;
    if (!fs::exists(ref_path)) {  // PVRTC-II, half-float
      EXPECT_EQ(qziDecoderInitializeFromFile(s.h, file.c_str()), 102);
      ++refused;
      continue;
    }
    const std::string name = fs::relative(file, dir).string();
    int tolerance = 0;
    for (const qzi_test::Row& row : rows) {
      if (name.compare(0, row[0].size(), row[0]) == 0) tolerance = std::stoi(row[1]);
    }
    png_image ref{};
    ref.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&ref, ref_path.c_str()));
    ref.format = PNG_FORMAT_RGBA;
    Bytes want(PNG_IMAGE_SIZE(ref));
    ASSERT_TRUE(png_image_finish_read(&ref, nullptr, want.data(), 0, nullptr));
    ASSERT_EQ(qziDecoderInitializeFromFile(s.h, file.c_str()), 0);
    ASSERT_EQ(s.execute(), 0);
    ASSERT_EQ(s.out.layers, 1);
    ASSERT_EQ(std::pair(s.out.img.width, s.out.img.height), std::pair(int(ref.width), int(ref.height)));
    ASSERT_TRUE(s.out.img.has_alpha);
    int worst = 0;
    size_t first = want.size();
    for (size_t k = 0; k < want.size(); ++k) {
      const int d = std::abs(int(want[k]) - int(s.out.img.rgba[k]));
      if (d > tolerance && first == want.size()) first = k;
      worst = std::max(worst, d);
    }
    EXPECT_EQ(first, want.size()) << "difference " << worst << " above " << tolerance << ", first at pixel "
                                  << first / 4;
    ++(worst == 0 ? exact : close);
  }
  EXPECT_GT(exact + close, 0);
  std::cout << "[          ] " << exact << " textures equal their references, " << close
            << " within their tolerance, " << refused << " refused\n";
}

TEST(PvrConformance, Corpus) { check_folder("QZI_PVR_DIR"); }
TEST(PvrConformance, ModernCorpus) { check_folder("QZI_PVR_MODERN_DIR"); }

}  // namespace
