// The exported functions: lifecycle, detection, parameters, callbacks and execution.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bmp_writer.h"
#include "pvr_writer.h"
#include "qzi_decode.h"
#include "tsv.h"

namespace {

using qzi_test::Session;

// A 24- or 32-bit BMP of w x h pixels, every pixel (b, g, r) = (x, y, 7), top row first.
std::vector<uint8_t> tiny_bmp(int w = 2, int h = 2, int bits = 24) {
  bmpw::Layout l;
  l.width = w, l.height = h, l.bit_count = static_cast<uint16_t>(bits);
  l.pixels = bmpw::rows(bits, w, h, [h](int x, int y) { return 0x070000u | (h - 1 - y) << 8 | x; });
  return bmpw::file(l);
}

std::string temp_file(const std::string& name, const std::vector<uint8_t>& bytes) {
  const std::string path = ::testing::TempDir() + name;
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return path;
}

struct Api : ::testing::Test {
  // Streams outlive the handle: a failed initialisation leaves them attached until the close.
  MemStream s{tiny_bmp()}, s2{tiny_bmp()};
  QZIDECODER h = qziCreateDecoder();
  void TearDown() override {
    if (h) qziCloseDecoder(h);
  }
  int init_mem(MemStream& s, const char* name) {
    return qziDecoderInitialize(h, &s, static_cast<int>(s.data.size()), MemStream::read, MemStream::setpos,
                                MemStream::cleanup, name);
  }
};

TEST_F(Api, NullHandlesAndCreatedState) {
  unsigned v = 0;
  EXPECT_EQ(qziDecoderGetDocInfo(nullptr, 1, &v), QZIERR_NOT_INITIALIZED);
  EXPECT_EQ(qziDecoderExecute(nullptr), QZIERR_INVALID_ARG);
  EXPECT_EQ(qziCloseDecoder(nullptr), QZIERR_INVALID_ARG);
  EXPECT_EQ(qziResetDecoder(nullptr), QZIERR_INVALID_ARG);
  EXPECT_EQ(qziSetDecoderParam(nullptr, 2, 1, 0), QZIERR_INVALID_ARG);
  EXPECT_EQ(qziSetDecoderLayerCallback(nullptr, nullptr, nullptr), QZIERR_INVALID_ARG);
  EXPECT_EQ(qziSetDecoderProgressCallback(nullptr, nullptr, 0), QZIERR_INVALID_ARG);
  EXPECT_EQ(qziSetDecoderPaletteCallback(nullptr, nullptr, nullptr), QZIERR_INVALID_ARG);
  EXPECT_EQ(qziDecoderInitializeFromFile(nullptr, "x.bmp"), QZIERR_INVALID_ARG);
  EXPECT_EQ(qziDecoderGetFormatDescription(nullptr), nullptr);
  EXPECT_EQ(qziDecoderGetFormatDescription(h), nullptr);

  EXPECT_EQ(qziDecoderGetDocInfo(h, 1, &v), QZIERR_NOT_INITIALIZED);
  EXPECT_EQ(qziDecoderExecute(h), QZIERR_NOT_INITIALIZED);
  EXPECT_EQ(qziSetDecoderParam(h, 101, 1, 0), QZIERR_UNKNOWN_PARAM);
  EXPECT_EQ(qziSetDecoderParam(h, 601, 0, 0), QZIERR_UNKNOWN_PARAM);
  EXPECT_EQ(qziSetDecoderParam(h, 2, 1, 0), 0);
  const int ids[] = {109};
  EXPECT_EQ(qziSetDecoderParam(h, 1, reinterpret_cast<long>(ids), 1), 0);
  EXPECT_EQ(qziSetDecoderParam(h, 1, 0, 1), 0);
  EXPECT_EQ(qziSetDecoderParam(h, 1, reinterpret_cast<long>(ids), 0), 0);
}

TEST_F(Api, InitialiseArgumentChecks) {
  EXPECT_EQ(qziDecoderInitialize(h, &s, 0, MemStream::read, MemStream::setpos, nullptr, "a.bmp"), QZIERR_INVALID_ARG);
  EXPECT_EQ(qziDecoderInitialize(h, &s, 10, nullptr, MemStream::setpos, nullptr, "a.bmp"), QZIERR_INVALID_ARG);
  EXPECT_EQ(qziDecoderInitialize(h, &s, 10, MemStream::read, nullptr, nullptr, "a.bmp"), QZIERR_INVALID_ARG);
  EXPECT_EQ(s.reads, 0);
  EXPECT_EQ(qziDecoderInitializeFromFile(h, ""), QZIERR_INVALID_ARG);
  EXPECT_EQ(qziDecoderInitializeFromFile(h, nullptr), QZIERR_INVALID_ARG);
  EXPECT_EQ(qziDecoderInitializeFromFile(h, (::testing::TempDir() + "no/such/file.bmp").c_str()), QZIERR_FILE_OPEN);
  EXPECT_EQ(qziDecoderInitializeFromFile(h, temp_file("empty.bmp", {}).c_str()), QZIERR_INVALID_ARG);
  EXPECT_EQ(qziDecoderInitializeFromFile(h, ::testing::TempDir().c_str()), QZIERR_FILE_OPEN) << "a directory";
}

TEST(ResultCodes, EveryNamedCodeHasItsOwnText) {
  std::vector<std::string> texts;
#define QZI_COLLECT(name, value, text) texts.push_back(qziResultText(QZIERR_##name));
  QZIERR_LIST(QZI_COLLECT)
#undef QZI_COLLECT
  for (size_t i = 0; i < texts.size(); ++i) {
    EXPECT_NE(texts[i], "unknown result code");
    for (size_t j = 0; j < i; ++j) EXPECT_NE(texts[i], texts[j]);
  }
  EXPECT_STREQ(qziResultText(105), "cannot read the input, or it ends too early");
  for (int code : {-1, 1, 106, 109, 111}) EXPECT_STREQ(qziResultText(code), "unknown result code") << code;
  EXPECT_EQ(std::string(qziGetVersion()), std::to_string(QZIMGDECODER_VERSION_MAJOR) + "." +
                                              std::to_string(QZIMGDECODER_VERSION_MINOR) + "." +
                                              std::to_string(QZIMGDECODER_VERSION_PATCH));
}

TEST_F(Api, FailedInitialisationKeepsTheStreamUntilReset) {
  s.data.assign(300, 0x11);
  EXPECT_EQ(init_mem(s, "junk.bmp"), QZIERR_UNSUPPORTED);
  unsigned v;
  EXPECT_EQ(qziDecoderGetDocInfo(h, 1, &v), QZIERR_NOT_INITIALIZED);
  EXPECT_EQ(qziDecoderGetFormatDescription(h), nullptr);
  EXPECT_EQ(s.cleanups, 0);
  EXPECT_EQ(qziResetDecoder(h), 0);
  EXPECT_EQ(s.cleanups, 1);
  EXPECT_EQ(qziResetDecoder(h), 0);
  EXPECT_EQ(s.cleanups, 1) << "reset detached the stream";
  EXPECT_EQ(init_mem(s, "junk"), QZIERR_UNSUPPORTED);
  qziCloseDecoder(h);
  h = nullptr;
  EXPECT_EQ(s.cleanups, 2);
}

// ---- With the BMP format present ----

TEST(ApiSession, LifecycleOnAFile) {
  const std::string path = temp_file("PHOTO.BMP", tiny_bmp(3, 2));
  Session s;
  ASSERT_EQ(s.init_file(path.c_str()), 0);
  EXPECT_STREQ(qziDecoderGetFormatDescription(s.h), "BMP");
  EXPECT_EQ(s.init_file(path.c_str()), QZIERR_INVALID_ARG) << "already initialised";
  const unsigned items[] = {0, 104, 3, 2, 24, 0, 0, 0};
  for (int i = 1; i <= 7; ++i) EXPECT_EQ(s.info(i), items[i]) << "item " << i;
  unsigned v;
  EXPECT_EQ(qziDecoderGetDocInfo(s.h, 0, &v), QZIERR_INVALID_ARG);
  EXPECT_EQ(qziDecoderGetDocInfo(s.h, 17, &v), QZIERR_INVALID_ARG);
  // The stored form: 24 bits, no alpha mask in a 40-byte header, sRGB, not premultiplied.
  const unsigned stored[] = {2400, 0, QZIDEC_COLOR_SRGB, 0};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(s.info(QZIDEC_INFO_SOURCE_BITS + i), stored[i]) << "item " << 8 + i;
  EXPECT_EQ(qziDecoderGetDocInfo(s.h, 2, nullptr), QZIERR_INVALID_ARG);

  // The progress reports themselves are the BMP tests' (ProgressPerStoredRow).
  EXPECT_EQ(s.execute(), 0);
  EXPECT_EQ(s.out.layers, 1);
  EXPECT_EQ(std::vector<uint8_t>(s.out.img.rgba.begin(), s.out.img.rgba.begin() + 4), (std::vector<uint8_t>{7, 0, 0, 255}));

  // Reset keeps the callbacks and returns the handle to the created state.
  EXPECT_EQ(qziResetDecoder(s.h), 0);
  EXPECT_EQ(qziDecoderGetDocInfo(s.h, 1, &v), QZIERR_NOT_INITIALIZED);
  EXPECT_EQ(qziDecoderGetFormatDescription(s.h), nullptr);
  ASSERT_EQ(s.init_file(path.c_str()), 0);
  s.out = qzi_test::Delivered();
  EXPECT_EQ(qziDecoderExecute(s.h), 0);
  EXPECT_EQ(s.out.layers, 1);
  EXPECT_FALSE(s.out.progress.empty());
}

TEST_F(Api, DetectionByExtensionAndContent) {
  for (const qzi_test::Row& c : qzi_test::tsv(QZI_API_DETECTION_TSV, "", 4)) {
    Session s;
    qziSetDecoderParam(s.h, QZIDEC_PARAM_SKIP_EXT, c[1] == "1", 0);
    std::vector<int> filter;
    std::istringstream ids(c[2] == "-" ? "" : c[2]);
    for (std::string id; std::getline(ids, id, ',');) filter.push_back(std::stoi(id));
    if (!filter.empty())
      qziSetDecoderParam(s.h, QZIDEC_PARAM_FORMAT_FILTER, reinterpret_cast<long>(filter.data()), static_cast<long>(filter.size()));
    EXPECT_EQ(s.init(tiny_bmp(), c[0] == "(null)" ? nullptr : c[0].c_str()), std::stoi(c[3])) << c[0];
    EXPECT_EQ(s.info(QZIDEC_INFO_FORMAT), c[3] == "0" ? 104u : 0u) << c[0];
  }
}

TEST_F(Api, ParametersFollowTheAcceptedFormat) {
  ASSERT_EQ(init_mem(s, "a.bmp"), 0);
  EXPECT_EQ(qziSetDecoderParam(h, BMP_PARAM_KEEP_ALPHA, 1, 0), 0);
  EXPECT_EQ(qziSetDecoderParam(h, PVR_PARAM_OPTION, 0, 0), QZIERR_UNKNOWN_PARAM);
  EXPECT_EQ(qziSetDecoderParam(h, 999, 0, 0), QZIERR_UNKNOWN_PARAM);
  // Frame parameters are cleared by a reset.
  qziSetDecoderParam(h, QZIDEC_PARAM_SKIP_EXT, 1, 0);
  const int ids[] = {109};
  qziSetDecoderParam(h, QZIDEC_PARAM_FORMAT_FILTER, reinterpret_cast<long>(ids), 1);
  qziResetDecoder(h);
  EXPECT_EQ(init_mem(s2, "noext"), 0) << "the filter did not survive the reset";
}

// Parameter 3 acts at the next initialisation, refuses larger pictures with 101 and is
// cleared by a reset.
TEST_F(Api, MaxPixelsRefusesLargerPicturesAtInitialisation) {
  struct Case {
    long limit;
    int set_result, init_result;
  } cases[] = {{0, 0, 0}, {6, 0, 0}, {5, 0, QZIERR_NO_MEMORY}, {1, 0, QZIERR_NO_MEMORY}, {-1, QZIERR_INVALID_ARG, 0}};
  for (const Case& c : cases) {
    Session s;
    EXPECT_EQ(qziSetDecoderParam(s.h, QZIDEC_PARAM_MAX_PIXELS, c.limit, 0), c.set_result) << c.limit;
    EXPECT_EQ(s.init(tiny_bmp(3, 2), "a.bmp"), c.init_result) << c.limit;
  }
  // A run-length file of a few hundred bytes that declares 12800 x 12800 pixels.
  std::vector<uint8_t> rle = tiny_bmp(1, 1);
  rle.resize(260, 0);
  for (int i = 0; i < 4; ++i) rle[18 + i] = rle[22 + i] = static_cast<uint8_t>(12800 >> (8 * i));
  rle[28] = 8;
  rle[30] = 1;
  s.data = rle;
  EXPECT_EQ(qziSetDecoderParam(h, QZIDEC_PARAM_MAX_PIXELS, 4096L * 4096L, 0), 0);
  EXPECT_EQ(init_mem(s, "big.rle"), QZIERR_NO_MEMORY);
  qziResetDecoder(h);
  EXPECT_EQ(init_mem(s2, "a.bmp"), 0) << "the limit did not survive the reset";
}

// A stream whose header changes between initialisation and execution: 102, and no picture.
TEST_F(Api, ChangedHeaderAtExecutionIs102) {
  struct Case {
    std::vector<uint8_t> file;
    size_t offset;
    std::string bytes;
    const char* what;
  } cases[] = {
      {tiny_bmp(2, 2, 32), 18, "\x01", "narrower"},     {tiny_bmp(2, 2, 32), 22, "\x01", "lower"},
      {tiny_bmp(2, 2, 32), 28, "\x18", "shallower"},    {tiny_bmp(2, 2, 32), 30, "\x03", "bit fields"},
      {pvrtest::v3(pvrtest::channels("rgba", 8, 8, 8, 8), 2, 2, std::vector<uint8_t>(16)), 8, "bgra",
       "texture channel order"},
  };
  for (Case& c : cases) {
    Session s;
    ASSERT_EQ(s.init(c.file, nullptr), 0);
    std::copy(c.bytes.begin(), c.bytes.end(), s.stream.data.begin() + static_cast<long>(c.offset));
    EXPECT_EQ(s.execute(), QZIERR_UNSUPPORTED) << c.what;
    EXPECT_EQ(s.out.layers, 0) << c.what;
    s.stream.data = c.file;
    EXPECT_EQ(s.execute(), 0) << c.what << ": the handle stays usable";
    EXPECT_EQ(s.out.layers, 1) << c.what;
  }
}

TEST(ApiSession, ProgressCallbackStops) {
  Session s;
  ASSERT_EQ(s.init(tiny_bmp()), 0);
  const size_t reports = (s.execute(), s.out.progress.size());
  s.stop_at = 1;
  EXPECT_EQ(s.execute(), QZIERR_ABORTED);
  EXPECT_EQ(s.out.layers, 0);
  EXPECT_EQ(s.out.progress.size(), 1u);
  s.stop_at = static_cast<unsigned>(reports);
  EXPECT_EQ(s.execute(), QZIERR_ABORTED);
  EXPECT_EQ(s.out.layers, 1) << "the picture was delivered before the last report";
  // Without a layer callback the decode still succeeds.
  qziSetDecoderLayerCallback(s.h, nullptr, nullptr);
  qziSetDecoderProgressCallback(s.h, nullptr, 0);
  EXPECT_EQ(qziDecoderExecute(s.h), 0);
}

TEST_F(Api, RewindFailureAtExecutionIs103) {
  ASSERT_EQ(init_mem(s, "a.bmp"), 0);
  s.fail_seeks = true;
  EXPECT_EQ(qziDecoderExecute(h), QZIERR_CANNOT);
  s.fail_seeks = false;
  EXPECT_EQ(qziDecoderExecute(h), 0) << "the handle stays usable";
}

}  // namespace
