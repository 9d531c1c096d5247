// The PVR format module through the decoder's public API, against a stand-in texture library:
// this program defines and exports the library calls, so the decoder binds to them. That
// reaches bounds (format numbers, sizes the library reports) which no real texture produces.
#include <gtest/gtest.h>

#include <cstdio>

#include "pvr_test_util.h"
#include "tsv.h"

using namespace pvrtest;
using qzi_test::Session;

namespace {

const size_t kDefault = SIZE_MAX;

struct FakeLibrary {
  int width = 3, height = 2, format = 6, header = 0;
  size_t size = kDefault;  // qzipvr04's answer; kDefault: width x height x 4
  int decode = 0, decode_calls = 0;
  const char* name = "PVR v3 Stand-in";
  Bytes header_seen = {}, file_seen = {};
} fake;

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int qzipvr03(const void* header, int size, int* w, int* h, int* f) {
  fake.header_seen.assign(static_cast<const uint8_t*>(header), static_cast<const uint8_t*>(header) + size);
  if (fake.header != 0) return fake.header;
  *w = fake.width;
  *h = fake.height;
  *f = fake.format;
  return 0;
}

__attribute__((visibility("default"))) size_t qzipvr04(int w, int h, int) {
  return fake.size != kDefault ? fake.size : static_cast<size_t>(w) * h * 4;
}

// Pixel n (top row first) is blue 4n, green 4n+1, red 4n+2, alpha 4n+3 (low 8 bits).
__attribute__((visibility("default"))) int qzipvr06(const void* file, size_t size, const QZIPVR_ROWS* rows) {
  ++fake.decode_calls;
  fake.file_seen.assign(static_cast<const uint8_t*>(file), static_cast<const uint8_t*>(file) + size);
  for (int y = 0; y < fake.height; ++y) {
    unsigned char* alpha = nullptr;
    unsigned char* row = rows->row(rows->user, y, &alpha);
    if (!row) return 4;
    for (int x = 0; x < fake.width; ++x) {
      const int n = 4 * (y * fake.width + x);
      row[3 * x] = static_cast<unsigned char>(n);
      row[3 * x + 1] = static_cast<unsigned char>(n + 1);
      row[3 * x + 2] = static_cast<unsigned char>(n + 2);
      if (alpha) alpha[x] = static_cast<unsigned char>(n + 3);
    }
  }
  return fake.decode;
}

__attribute__((visibility("default"))) int qzipvr07(const void*, int, char* text, size_t size) {
  std::snprintf(text, size, "%s", fake.name);
  return 0;
}

}  // extern "C"

namespace {

// Bytes that no format of the table recognises on its own.
Bytes some_file(size_t n = 64) {
  Bytes b(n);
  for (size_t k = 0; k < n; ++k) b[k] = static_cast<uint8_t>(0x80 + k);
  return b;
}

TEST(PvrModule, HandsOverAndCopiesTopRowFirst) {
  fake = FakeLibrary();
  const Bytes file = some_file();
  Session s;
  ASSERT_EQ(s.init(file, "t.pvr"), 0);
  EXPECT_EQ(fake.header_seen, Bytes(file.begin(), file.begin() + 52));
  EXPECT_EQ(s.info(QZIDEC_INFO_FORMAT), unsigned{QZIDEC_FORMAT_PVR});
  EXPECT_EQ(s.info(QZIDEC_INFO_WIDTH), 3u);
  EXPECT_EQ(s.info(QZIDEC_INFO_HEIGHT), 2u);
  EXPECT_EQ(s.info(QZIDEC_INFO_BPP), 24u);
  EXPECT_STREQ(qziDecoderGetFormatDescription(s.h), "PVR v3 Stand-in");
  // Executions repeat on the same state, also after one stopped at each progress report
  // (the second to fourth: 10, 20, 90).
  for (unsigned stop : {0, 2, 0, 3, 4, 0}) {
    s.stop_at = stop;
    ASSERT_EQ(s.execute(), stop == 0 ? 0 : 10) << stop;
    ASSERT_EQ(s.out.layers, stop == 0 ? 1 : 0);
    if (stop != 0) continue;
    EXPECT_EQ(fake.file_seen, file);
    EXPECT_EQ(s.out.progress, (std::vector<unsigned>{0, 10, 20, 90, 100, 100}));
    ASSERT_TRUE(s.out.img.has_alpha);
    // Neither bitmap comes cleared: the module clears what the library does not write.
    EXPECT_TRUE(s.out.padding_zero);
    EXPECT_TRUE(s.out.alpha_padding_zero);
    ASSERT_EQ(s.out.img.rgba.size(), 24u);
    for (size_t k = 0; k < 24; ++k) EXPECT_EQ(s.out.img.rgba[k], k - k % 4 + "\2\1\0\3"[k % 4]) << k;
  }
}

TEST(PvrModule, Bounds) {
  for (const qzi_test::Row& c : qzi_test::tsv(QZI_PVR_MODULE_BOUNDS_TSV, "", 11)) {
    SCOPED_TRACE(c[0]);
    const auto n = [&c](size_t k) { return std::stol(c[k]); };
    const int format = c[5] == "last" ? QZIPVR_FORMAT_COUNT - 1 : c[5] == "past" ? QZIPVR_FORMAT_COUNT : int(n(5));
    fake = FakeLibrary{int(n(3)), int(n(4)), format, int(n(6)), c[7] == "-" ? kDefault : size_t(n(7)), int(n(8))};
    Session s;
    ASSERT_EQ(s.init(some_file(n(1)), "t.pvr", unsigned(n(2))), n(9));
    if (n(9) != 0) continue;
    EXPECT_EQ(s.execute(), n(10));
    EXPECT_EQ(s.out.layers, n(10) == 0 ? 1 : 0);
    // Short inputs and short decoded sizes are refused before the library writes anything.
    EXPECT_EQ(fake.decode_calls, n(10) == 0 || fake.decode ? 1 : 0);
  }
}

TEST(PvrModule, DetectionAndParameter601) {
  fake = FakeLibrary();
  for (const char* name : {"t.pvr", "T.PVR", "t.bmp", "t", "", static_cast<const char*>(nullptr)}) {
    Session s;
    ASSERT_EQ(s.init(some_file(), name), 0) << (name ? name : "(null)");
    EXPECT_EQ(s.info(QZIDEC_INFO_FORMAT), unsigned{QZIDEC_FORMAT_PVR});
  }
  Session filtered;  // the filter keeps content probing away from PVR
  const int only_bmp = QZIDEC_FORMAT_BMP;
  ASSERT_EQ(qziSetDecoderParam(filtered.h, QZIDEC_PARAM_FORMAT_FILTER, reinterpret_cast<long>(&only_bmp), 1), 0);
  EXPECT_EQ(filtered.init(some_file(), "t"), 102);

  Session s;
  ASSERT_EQ(s.init(some_file(), "t.pvr"), 0);
  const long cases[][3] = {{PVR_PARAM_OPTION, 0, 0},   {PVR_PARAM_OPTION, 1, 0}, {PVR_PARAM_OPTION, 2, 107},
                           {PVR_PARAM_OPTION, -1, 107}, {602, 0, 108},          {BMP_PARAM_KEEP_ALPHA, 0, 108},
                           {0, 0, 108}};
  for (const auto& c : cases) EXPECT_EQ(qziSetDecoderParam(s.h, c[0], c[1], 0), c[2]) << c[0] << " " << c[1];
  EXPECT_EQ(s.execute(), 0);
}

}  // namespace
