// The PVR format module against a stand-in texture library: this program defines the three
// library calls itself and exports them, so the decoder's references bind here instead of
// to the real library. That reaches the module's bounds (format numbers, sizes the library
// reports) which no real texture produces.
#include <gtest/gtest.h>

#include <cstring>

#include "pvr_module_util.h"
#include "qzipvr.h"

using namespace pvrtest;

namespace {

struct FakeLibrary {
  int header_result = 0;
  int width = 2;
  int height = 2;
  int format = 6;
  bool size_set = false;
  size_t size = 0;  // qzipvr04's answer when size_set, else width * height * 4
  int decode_result = 0;
  std::vector<uint8_t> pixels;  // copied to the front of the output

  int header_calls = 0;
  int decode_calls = 0;
  std::vector<uint8_t> header_seen;
  int header_size_seen = 0;
  std::vector<uint8_t> file_seen;
  size_t out_size_seen = 0;
};

FakeLibrary fake;

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int qzipvr03(const void* header, int size, int* w, int* h, int* f) {
  ++fake.header_calls;
  fake.header_size_seen = size;
  fake.header_seen.assign(static_cast<const uint8_t*>(header), static_cast<const uint8_t*>(header) + size);
  if (fake.header_result != 0) return fake.header_result;
  *w = fake.width;
  *h = fake.height;
  *f = fake.format;
  return 0;
}

__attribute__((visibility("default"))) size_t qzipvr04(int w, int h, int /*format*/) {
  return fake.size_set ? fake.size : static_cast<size_t>(w) * static_cast<size_t>(h) * 4;
}

__attribute__((visibility("default"))) int qzipvr05(const void* file, size_t file_size, void* out, size_t out_size) {
  ++fake.decode_calls;
  fake.file_seen.assign(static_cast<const uint8_t*>(file), static_cast<const uint8_t*>(file) + file_size);
  fake.out_size_seen = out_size;
  if (fake.decode_result != 0) return fake.decode_result;
  if (!fake.pixels.empty()) {
    std::memcpy(out, fake.pixels.data(), fake.pixels.size() < out_size ? fake.pixels.size() : out_size);
  }
  return 0;
}

}  // extern "C"

namespace {

// 64 bytes that no format of the table recognises on its own.
std::vector<uint8_t> some_file() {
  std::vector<uint8_t> b(64);
  for (size_t k = 0; k < b.size(); ++k) b[k] = static_cast<uint8_t>(0x80 + k);
  return b;
}

class PvrModuleFake : public testing::Test {
 protected:
  void SetUp() override { fake = FakeLibrary(); }
};

TEST_F(PvrModuleFake, HandsOverHeaderAndFile) {
  for (int k = 0; k < 4; ++k) fake.pixels.insert(fake.pixels.end(), {10, 20, 30, 40});
  Session s;
  const auto file = some_file();
  ASSERT_EQ(s.init(file), 0);
  EXPECT_EQ(fake.header_size_seen, 52);
  EXPECT_EQ(fake.header_seen, std::vector<uint8_t>(file.begin(), file.begin() + 52));
  ASSERT_EQ(s.execute(), 0);
  EXPECT_EQ(fake.file_seen, file);
  EXPECT_EQ(fake.out_size_seen, 16u);
  EXPECT_EQ(s.picture.bgr, (std::vector<uint8_t>{10, 20, 30, 10, 20, 30, 10, 20, 30, 10, 20, 30}));
  EXPECT_EQ(s.picture.alpha, (std::vector<uint8_t>{40, 40, 40, 40}));
}

TEST_F(PvrModuleFake, RowZeroIsTheTop) {
  fake.width = 3;
  fake.height = 2;
  for (int k = 0; k < 24; ++k) fake.pixels.push_back(static_cast<uint8_t>(k));
  Session s;
  ASSERT_EQ(s.init(some_file()), 0);
  ASSERT_EQ(s.execute(), 0);
  EXPECT_EQ(s.picture.bgr, (std::vector<uint8_t>{0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, 16, 17, 18, 20, 21, 22}));
  EXPECT_EQ(s.picture.alpha, (std::vector<uint8_t>{3, 7, 11, 15, 19, 23}));
  EXPECT_EQ(s.picture.last_row_in_memory, (std::vector<uint8_t>{0, 1, 2, 4, 5, 6, 8, 9, 10}));
}

TEST_F(PvrModuleFake, ReportedSizeAndFormatBounds) {
  const struct {
    int width, height, format, header_result;
    int init;
  } cases[] = {
      {4096, 16, 6, 0, 0},   {4097, 16, 6, 0, 102}, {16, 4096, 6, 0, 0},  {16, 4097, 6, 0, 102},
      {16, 16, 12, 0, 0},    {16, 16, 13, 0, 102},  {16, 16, 255, 0, 102}, {16, 16, 0, 1, 102},
      {16, 16, 0, -1, 102},  {0, 16, 6, 0, 102},    {16, -1, 6, 0, 102},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " format " << c.format << " result "
                                    << c.header_result);
    fake = FakeLibrary();
    fake.width = c.width;
    fake.height = c.height;
    fake.format = c.format;
    fake.header_result = c.header_result;
    Session s;
    EXPECT_EQ(s.init(some_file()), c.init);
    if (c.init == 0) {
      EXPECT_EQ(s.execute(), 0);
    }
  }
}

TEST_F(PvrModuleFake, DecodeSizeAndFailure) {
  const struct {
    const char* what;
    bool size_set;
    size_t size;
    int decode_result;
    int execute;
    int decode_calls;
  } cases[] = {
      {"exact", true, 16, 0, 0, 1},
      {"larger", true, 116, 0, 0, 1},
      {"zero", true, 0, 0, 103, 0},
      {"one byte short", true, 15, 0, 103, 0},
      {"library fails", false, 0, 7, 103, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fake = FakeLibrary();
    fake.size_set = c.size_set;
    fake.size = c.size;
    fake.decode_result = c.decode_result;
    fake.pixels.assign(16, 0x55);
    Session s;
    ASSERT_EQ(s.init(some_file()), 0);
    EXPECT_EQ(s.execute(), c.execute);
    EXPECT_EQ(fake.decode_calls, c.decode_calls);
    EXPECT_EQ(s.picture.calls, c.execute == 0 ? 1 : 0);
    if (c.execute == 0) {
      EXPECT_EQ(fake.out_size_seen, c.size);
    }
  }
}

}  // namespace
