// The PVR format module through the decoder's public API, with the real texture library.
#include <gtest/gtest.h>

#include "pvr_builder.h"
#include "pvr_module_util.h"

using namespace pvrtest;

namespace {

Bytes v3_file(uint64_t format, uint32_t w, uint32_t h, const Bytes& data, Bytes metadata = {}) {
  V3 v;
  v.pixel_format = format;
  v.width = w;
  v.height = h;
  v.metadata = std::move(metadata);
  return cat(v3_header(v), data);
}

const uint64_t kA8 = channels("a", 8);
const uint64_t kBgra = channels("bgra", 8, 8, 8, 8);

TEST(PvrModule, DecodesIntoBitmapAndAlpha) {
  // Top row: (10, 20, 30, 40), (11, 21, 31, 41); bottom row: 12.. and 13.. likewise.
  const Bytes data = {10, 20, 30, 40, 11, 21, 31, 41, 12, 22, 32, 42, 13, 23, 33, 43};
  Session s;
  ASSERT_EQ(s.init(v3_file(kBgra, 2, 2, data)), 0);
  EXPECT_EQ(s.info(QZIDEC_INFO_FORMAT), unsigned{QZIDEC_FORMAT_PVR});
  EXPECT_EQ(s.info(QZIDEC_INFO_WIDTH), 2u);
  EXPECT_EQ(s.info(QZIDEC_INFO_HEIGHT), 2u);
  EXPECT_EQ(s.info(QZIDEC_INFO_BPP), 24u);
  ASSERT_EQ(s.execute(), 0);
  ASSERT_EQ(s.picture.calls, 1);
  EXPECT_EQ(s.picture.bit_count, 24);
  ASSERT_TRUE(s.picture.has_alpha);
  EXPECT_EQ(s.picture.bgr, (Bytes{10, 20, 30, 11, 21, 31, 12, 22, 32, 13, 23, 33}));
  EXPECT_EQ(s.picture.alpha, (Bytes{40, 41, 42, 43}));
  EXPECT_EQ(s.picture.last_row_in_memory, (Bytes{10, 20, 30, 11, 21, 31}));  // bottom-up bitmap

  // Executions repeat on the same state.
  s.picture = Picture();
  ASSERT_EQ(s.execute(), 0);
  EXPECT_EQ(s.picture.alpha, (Bytes{40, 41, 42, 43}));
}

TEST(PvrModule, InitialisationBounds) {
  const struct {
    const char* what;
    Bytes file;
    int result;
  } cases[] = {
      {"52 bytes: the header alone", v3_header(V3()), 102},
      {"53 bytes", v3_file(kA8, 1, 1, {7}), 0},
      {"width 4096", v3_file(kA8, 4096, 1, Bytes(4096, 1)), 0},
      {"width 4097", v3_file(kA8, 4097, 1, Bytes(4097, 1)), 102},
      {"height 4096", v3_file(kA8, 1, 4096, Bytes(4096, 1)), 0},
      {"height 4097", v3_file(kA8, 1, 4097, Bytes(4097, 1)), 102},
      {"format 12 (LA88)", v3_file(channels("la", 8, 8), 1, 1, {1, 2}), 0},
      {"refused by the library (PVRTC-II)", v3_file(4, 16, 16, Bytes(64, 0)), 102},
      {"not a texture", Bytes(64, 'x'), 102},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Session s;
    EXPECT_EQ(s.init(c.file), c.result);
    if (c.result == 0) {
      EXPECT_EQ(s.execute(), 0);
      EXPECT_EQ(s.picture.calls, 1);
    }
  }
}

TEST(PvrModule, DeclaredInputSize) {
  const Bytes file = v3_file(kA8, 2, 2, {1, 2, 3, 4});
  const struct {
    const char* what;
    unsigned declared;
    int init;
    int execute;
  } cases[] = {
      {"as held", 0, 0, 0},
      {"longer than held", static_cast<unsigned>(file.size() + 1), 0, 105},
      {"104857600 bytes", 104857600u, 0, 105},
      {"104857601 bytes", 104857601u, 102, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Session s;
    ASSERT_EQ(s.init(file, "t.pvr", c.declared), c.init);
    if (c.init == 0) {
      EXPECT_EQ(s.execute(), c.execute);
      EXPECT_EQ(s.picture.calls, c.execute == 0 ? 1 : 0);
    }
  }
}

TEST(PvrModule, UndecodableDataFailsExecution) {
  // A 4 x 4 RGBA texture whose data is cut short initialises (the header is fine) and then
  // fails in the library.
  Session s;
  ASSERT_EQ(s.init(v3_file(kBgra, 4, 4, Bytes(63, 0))), 0);
  EXPECT_EQ(s.execute(), 103);
  EXPECT_EQ(s.picture.calls, 0);
}

TEST(PvrModule, ProgressAndStopping) {
  const Bytes file = v3_file(kA8, 3, 1, {1, 2, 3});
  {
    Session s;
    ASSERT_EQ(s.init(file), 0);
    ASSERT_EQ(s.execute(), 0);
    EXPECT_EQ(s.progress, (std::vector<unsigned>{0, 10, 20, 90, 100, 100}));
  }
  for (int stop : {10, 20, 90}) {
    SCOPED_TRACE(stop);
    Session s;
    ASSERT_EQ(s.init(file), 0);
    s.stop_at = stop;
    EXPECT_EQ(s.execute(), 10);
    EXPECT_EQ(s.picture.calls, 0);
    // The buffers of the stopped pass are gone; the next execution starts afresh.
    s.stop_at = -1;
    s.progress.clear();
    EXPECT_EQ(s.execute(), 0);
    EXPECT_EQ(s.picture.alpha, (Bytes{1, 2, 3}));
  }
}

TEST(PvrModule, Orientation) {
  // Rows stored bottom-up: the stored last row is the top of the picture.
  Session s;
  ASSERT_EQ(s.init(v3_file(kA8, 1, 3, {1, 2, 3}, orientation(0, 2))), 0);
  ASSERT_EQ(s.execute(), 0);
  EXPECT_EQ(s.picture.alpha, (Bytes{3, 2, 1}));
}

TEST(PvrModule, Detection) {
  const Bytes file = v3_file(kA8, 1, 1, {9});
  for (const char* name : {"t.pvr", "T.PVR", "t.bmp", "t", "", static_cast<const char*>(nullptr)}) {
    SCOPED_TRACE(name ? name : "(null)");
    Session s;
    ASSERT_EQ(s.init(file, name), 0);
    EXPECT_EQ(s.info(QZIDEC_INFO_FORMAT), unsigned{QZIDEC_FORMAT_PVR});
  }
  // The filter keeps content probing away from PVR.
  Session s;
  const int only_bmp = QZIDEC_FORMAT_BMP;
  ASSERT_EQ(qziSetDecoderParam(s.h, QZIDEC_PARAM_FORMAT_FILTER, reinterpret_cast<long>(&only_bmp), 1), 0);
  EXPECT_EQ(s.init(file, "t"), 102);
}

TEST(PvrModule, Parameter601) {
  Session s;
  ASSERT_EQ(s.init(v3_file(kA8, 1, 1, {9})), 0);
  const struct {
    unsigned id;
    long value;
    int result;
  } cases[] = {
      {PVR_PARAM_OPTION, 0, 0}, {PVR_PARAM_OPTION, 1, 0}, {PVR_PARAM_OPTION, 2, 107},
      {PVR_PARAM_OPTION, -1, 107}, {602, 0, 108}, {BMP_PARAM_KEEP_ALPHA, 0, 108}, {0, 0, 108},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(qziSetDecoderParam(s.h, c.id, c.value, 0), c.result) << c.id << " " << c.value;
  }
  EXPECT_EQ(s.execute(), 0);  // stored only: decoding is the same
}

TEST(PvrModule, Parameter601OnOtherFormat) {
  // A 1 x 1 24-bit BMP.
  Bytes bmp = {'B', 'M'};
  put32(bmp, 58);
  put32(bmp, 0);
  put32(bmp, 54);
  put32(bmp, 40);
  put32(bmp, 1);
  put32(bmp, 1);
  bmp.push_back(1);
  bmp.push_back(0);
  bmp.push_back(24);
  bmp.push_back(0);
  for (int k = 0; k < 6; ++k) put32(bmp, 0);
  put32(bmp, 0x00FF00FF);
  Session s;
  ASSERT_EQ(s.init(bmp, "t.bmp"), 0);
  ASSERT_EQ(s.info(QZIDEC_INFO_FORMAT), unsigned{QZIDEC_FORMAT_BMP});
  EXPECT_EQ(qziSetDecoderParam(s.h, PVR_PARAM_OPTION, 0, 0), 108);
}

}  // namespace
