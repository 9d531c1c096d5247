// The texture containers (DDS, KTX, KTX2, .astc, PKM) through the container calls, over the
// real files of QZI_TEXTURES_DIR: manifest.tsv says for each file whether it decodes to its
// NAME.ref.png (RGBA, top row first) within a tolerance or is refused. Float pictures are
// also checked against their NAME.ref.pfm through the tone map, which keeps values above 1.
#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>

#include "qzipvr.h"
#include "tsv.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A decoded picture as RGBA, top row first.
struct Picture {
  int width = 0, height = 0;
  Bytes bgr, alpha;
  Bytes rgba() const {
    Bytes out(static_cast<size_t>(width) * height * 4);
    for (size_t k = 0; k < out.size() / 4; ++k) {
      out[4 * k] = bgr[3 * k + 2];
      out[4 * k + 1] = bgr[3 * k + 1];
      out[4 * k + 2] = bgr[3 * k];
      out[4 * k + 3] = alpha[k];
    }
    return out;
  }
};

unsigned char* picture_row(void* user, int y, unsigned char** alpha) {
  Picture* p = static_cast<Picture*>(user);
  *alpha = &p->alpha[static_cast<size_t>(y) * p->width];
  return &p->bgr[static_cast<size_t>(y) * p->width * 3];
}

// qzipvr08 then qzipvr09 on the whole file; the result of the first that refuses.
int decode(const Bytes& file, const QZIPVR_CHOICE* choice, Picture* pic, QZIPVR_INFO* info) {
  const int rc = qzipvr08(file.data(), file.size(), file.size(), choice, info);
  if (rc != QZIPVR_OK) return rc;
  pic->width = info->width;
  pic->height = info->height;
  pic->bgr.assign(static_cast<size_t>(info->width) * info->height * 3, 0xCD);
  pic->alpha.assign(static_cast<size_t>(info->width) * info->height, 0xCD);
  const QZIPVR_ROWS rows{pic, picture_row};
  return qzipvr09(file.data(), file.size(), choice, &rows);
}

bool read_png(const fs::path& path, int* w, int* h, Bytes* rgba) {
  png_image ref{};
  ref.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&ref, path.c_str())) return false;
  ref.format = PNG_FORMAT_RGBA;
  rgba->assign(PNG_IMAGE_SIZE(ref), 0);
  *w = static_cast<int>(ref.width);
  *h = static_cast<int>(ref.height);
  return png_image_finish_read(&ref, nullptr, rgba->data(), 0, nullptr) != 0;
}

// Float RGB, rows top-down (the corpus's own convention).
bool read_pfm(const fs::path& path, int* w, int* h, std::vector<float>* rgb) {
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

int leading_int(const std::string& s) { return s.empty() || !std::isdigit(static_cast<unsigned char>(s[0])) ? 0 : std::stoi(s); }

TEST(TextureConformance, Manifest) {
  const char* dir = std::getenv("QZI_TEXTURES_DIR");
  if (!dir || !*dir) GTEST_SKIP() << "QZI_TEXTURES_DIR is not set";
  std::map<std::string, int> wider;
  for (const qzi_test::Row& r : qzi_test::tsv(QZI_TEXTURE_CONFORMANCE_TSV, "", 2)) wider[r[0]] = std::stoi(r[1]);
  std::ifstream manifest(fs::path(dir) / "manifest.tsv");
  ASSERT_TRUE(manifest) << "no manifest.tsv in " << dir;
  std::string line;
  std::getline(manifest, line);  // the column names
  int decoded = 0, refused = 0, floats = 0;
  while (std::getline(manifest, line)) {
    std::vector<std::string> f;
    std::istringstream split(line);
    for (std::string field; std::getline(split, field, '\t');) f.push_back(field);
    ASSERT_GE(f.size(), 11u) << line;
    const std::string& name = f[0];
    SCOPED_TRACE(name);
    const Bytes file = read_file(fs::path(dir) / name);
    ASSERT_FALSE(file.empty());
    Picture pic;
    QZIPVR_INFO info{};
    const int rc = decode(file, nullptr, &pic, &info);
    if (f[8].rfind("refuse", 0) == 0) {
      EXPECT_NE(rc, QZIPVR_OK) << "decoded, expected " << f[8];
      ++refused;
      continue;
    }
    ASSERT_EQ(rc, QZIPVR_OK) << info.reason;
    const fs::path base = fs::path(dir) / fs::path(name).parent_path();
    const std::string ref = f[9].substr(0, f[9].find(' '));
    int w = 0, h = 0;
    Bytes want;
    ASSERT_TRUE(read_png(base / ref, &w, &h, &want)) << ref;
    ASSERT_EQ(std::pair(pic.width, pic.height), std::pair(w, h));
    const int tolerance = wider.count(name) ? wider[name] : leading_int(f[10]);
    const Bytes got = pic.rgba();
    int worst = 0;
    size_t first = want.size();
    for (size_t k = 0; k < want.size(); ++k) {
      const int d = std::abs(int(want[k]) - int(got[k]));
      if (d > tolerance && first == want.size()) first = k;
      worst = std::max(worst, d);
    }
    EXPECT_EQ(first, want.size()) << info.description << ": difference " << worst << " above " << tolerance
                                  << ", first at texel " << first / 4 << " channel " << first % 4;
    ++decoded;

    // Values above 1 survive the tone map: x / (1 + x) of the reference floats, to within 1.
    const size_t plus = f[9].find(" + ");
    if (plus == std::string::npos) continue;
    std::vector<float> rgb;
    ASSERT_TRUE(read_pfm(base / f[9].substr(plus + 3), &w, &h, &rgb));
    QZIPVR_CHOICE tone{};
    tone.tone_map = 1;
    tone.exposure = 1;
    Picture mapped;
    ASSERT_EQ(decode(file, &tone, &mapped, &info), QZIPVR_OK);
    ASSERT_NE(info.flags & QZIPVR_FLAG_HDR, 0u) << info.description;
    const Bytes m = mapped.rgba();
    int over = 0;
    for (size_t k = 0; k < rgb.size(); ++k) {
      const double x = std::isnan(rgb[k]) || rgb[k] < 0 ? 0 : rgb[k];
      const int expect = static_cast<int>(std::floor(255 * (x / (1 + x)) + 0.5));
      over += std::abs(expect - int(m[k / 3 * 4 + k % 3])) > 1;
    }
    EXPECT_EQ(over, 0) << "tone-mapped values differ from the float reference";
    ++floats;
  }
  std::cout << "[          ] " << decoded << " textures within their tolerance (" << floats
            << " also against their floats), " << refused << " refused\n";
}

}  // namespace
