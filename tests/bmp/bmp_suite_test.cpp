// The public BMP test suite (folder in QZI_BMPSUITE_DIR) against the golden table kept beside
// this file: outcome of initialisation and execution, declared depth, whether an alpha plane
// went out, a checksum of the decoded RGBA, and for images that match a reference rendering
// of the suite, the largest channel difference allowed against it.
//
// QZI_BMP_GOLDEN_PRINT=1 prints the lines as decoded now, for review when the table changes.
#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "qzi_rgba.h"
#include "qzimgdecoder.h"

namespace {

struct Line {
  std::string file;
  int init = 0;
  int exec = 0;
  unsigned bpp = 0;
  int plane = 0;
  std::string checksum;   // 16 hex digits, or "-" when nothing was decoded
  std::string reference;  // file under ref/, or "-"
  int tolerance = 0;
  std::string channels;  // "rgba", or "rgb" where the alpha differs by design
};

int on_layer(QZIDEC_LAYERINFO* info, int) {
  qzi_rgba::from_layer(info, reinterpret_cast<qzi_rgba::Image*>(static_cast<uintptr_t>(info->layer_user)));
  return 0;
}

Line decode_file(const std::string& dir, const std::string& file, qzi_rgba::Image* img) {
  Line l;
  l.file = file;
  QZIDECODER d = qziCreateDecoder();
  l.init = qziDecoderInitializeFromFile(d, (dir + "/" + file).c_str());
  l.exec = -1;
  if (l.init == 0) {
    qziDecoderGetDocInfo(d, QZIDEC_INFO_BPP, &l.bpp);
    qziSetDecoderLayerCallback(d, on_layer, img);
    l.exec = qziDecoderExecute(d);
  }
  qziCloseDecoder(d);
  l.plane = img->has_alpha ? 1 : 0;
  l.checksum = "-";
  if (l.exec == 0 && img->width > 0) {
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016" PRIx64, qzi_rgba::checksum(*img));
    l.checksum = hex;
  }
  return l;
}

std::vector<Line> read_table(std::vector<std::string>* comments) {
  std::ifstream in(QZI_BMP_GOLDEN_TABLE);
  std::vector<Line> lines;
  std::string text;
  while (std::getline(in, text)) {
    if (text.empty() || text[0] == '#') continue;
    std::string comment;
    const size_t hash = text.find('#');
    if (hash != std::string::npos) {
      comment = text.substr(hash);
      text.erase(hash);
    }
    std::istringstream fields(text);
    Line l;
    fields >> l.file >> l.init >> l.exec >> l.bpp >> l.plane >> l.checksum >> l.reference >> l.tolerance >> l.channels;
    if (!fields) ADD_FAILURE() << "bad table line: " << text;
    lines.push_back(l);
    comments->push_back(comment);
  }
  return lines;
}

// Reads a PNG as 8-bit RGBA with no colour conversion: 16-bit samples keep their high byte
// (the simplified libpng reader would take them as linear light and gamma-encode them).
bool load_png(const std::string& path, int* w, int* h, std::vector<uint8_t>* rgba) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!png || !info || setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(f);
    return false;
  }
  png_init_io(png, f);
  png_read_info(png, info);
  png_set_expand(png);  // palette and low-depth grey to 8 bits, tRNS to an alpha channel
  png_set_strip_16(png);
  png_set_gray_to_rgb(png);
  if (!(png_get_color_type(png, info) & PNG_COLOR_MASK_ALPHA) && !png_get_valid(png, info, PNG_INFO_tRNS))
    png_set_add_alpha(png, 0xFF, PNG_FILLER_AFTER);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  *w = static_cast<int>(png_get_image_width(png, info));
  *h = static_cast<int>(png_get_image_height(png, info));
  rgba->assign(static_cast<size_t>(*w) * *h * 4, 0);
  std::vector<png_bytep> rows(static_cast<size_t>(*h));
  for (int y = 0; y < *h; ++y) rows[y] = &(*rgba)[static_cast<size_t>(y) * *w * 4];
  png_read_image(png, rows.data());
  png_read_end(png, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  std::fclose(f);
  return true;
}

// Largest difference of a channel, colour compared only where the reference is not
// transparent.
int max_difference(const qzi_rgba::Image& img, const std::vector<uint8_t>& ref, bool with_alpha, size_t* where) {
  int worst = 0;
  for (size_t i = 0; i < ref.size(); i += 4) {
    const int channels = ref[i + 3] == 0 ? 0 : 3;
    int d = 0;
    for (int c = 0; c < channels; ++c) d = std::max(d, std::abs(img.rgba[i + c] - ref[i + c]));
    if (with_alpha) d = std::max(d, std::abs(img.rgba[i + 3] - ref[i + 3]));
    if (d > worst) {
      worst = d;
      *where = i;
    }
  }
  return worst;
}

}  // namespace

TEST(BmpSuite, GoldenTable) {
  const char* dir = std::getenv("QZI_BMPSUITE_DIR");
  if (!dir || !*dir) GTEST_SKIP() << "QZI_BMPSUITE_DIR not set: BMP suite not available";
  std::vector<std::string> comments;
  const std::vector<Line> table = read_table(&comments);
  ASSERT_EQ(table.size(), 91u) << "one line per suite image";
  const bool print = std::getenv("QZI_BMP_GOLDEN_PRINT") != nullptr;
  for (size_t i = 0; i < table.size(); ++i) {
    const Line& want = table[i];
    SCOPED_TRACE(want.file);
    qzi_rgba::Image img;
    const Line got = decode_file(dir, want.file, &img);
    EXPECT_EQ(got.init, want.init);
    EXPECT_EQ(got.exec, want.exec);
    EXPECT_EQ(got.bpp, want.bpp);
    EXPECT_EQ(got.plane, want.plane);
    EXPECT_EQ(got.checksum, want.checksum);
    int difference = -1;
    if (want.reference != "-") {
      int w = 0, h = 0;
      std::vector<uint8_t> ref;
      ASSERT_TRUE(load_png(std::string(dir) + "/ref/" + want.reference, &w, &h, &ref)) << want.reference;
      if (img.width != w || img.height != h) {
        ADD_FAILURE() << "size differs from " << want.reference;
      } else {
        size_t at = 0;
        difference = max_difference(img, ref, want.channels == "rgba", &at);
        EXPECT_LE(difference, want.tolerance)
            << "against " << want.reference << " at pixel " << at / 4 % w << "," << at / 4 / w << ": decoded "
            << int(img.rgba[at]) << " " << int(img.rgba[at + 1]) << " " << int(img.rgba[at + 2]) << " "
            << int(img.rgba[at + 3]) << ", reference " << int(ref[at]) << " " << int(ref[at + 1]) << " "
            << int(ref[at + 2]) << " " << int(ref[at + 3]);
      }
    }
    if (print)
      std::printf("%s\t%d\t%d\t%u\t%d\t%s\t%s\t%d\t%s\t%s\n", got.file.c_str(), got.init, got.exec, got.bpp,
                  got.plane, got.checksum.c_str(), want.reference.c_str(), difference < 0 ? want.tolerance : difference,
                  want.channels.c_str(), comments[i].c_str());
  }
}
