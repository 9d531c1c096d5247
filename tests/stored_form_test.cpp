// Document information items 8 to 11 on real files: the stored form as each container's
// header tells it, and a BMP's alpha as its decode settles it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "qzi_decode.h"
#include "tsv.h"

namespace {

unsigned colour_space(const std::string& letter) {
  return letter == "s" ? QZIDEC_COLOR_SRGB : letter == "l" ? QZIDEC_COLOR_LINEAR : QZIDEC_COLOR_UNSTATED;
}

TEST(StoredForm, CorpusFiles) {
  int checked = 0;
  for (const qzi_test::Row& row : qzi_test::tsv(QZI_STORED_FORM_TSV, "", 7)) {
    const char* dir = std::getenv(row[0].c_str());
    if (!dir || !*dir) continue;
    const std::string path = std::string(dir) + "/" + row[1];
    SCOPED_TRACE(path);
    qzi_test::Session s;
    ASSERT_EQ(s.init_file(path.c_str()), 0);
    EXPECT_EQ(s.info(QZIDEC_INFO_SOURCE_BITS), std::stoul(row[2]));
    EXPECT_EQ(s.info(QZIDEC_INFO_SOURCE_ALPHA), std::stoul(row[3]));
    EXPECT_EQ(s.info(QZIDEC_INFO_COLOR_SPACE), colour_space(row[5]));
    EXPECT_EQ(s.info(QZIDEC_INFO_PREMULTIPLIED), std::stoul(row[6]));
    ASSERT_EQ(s.execute(), 0);
    EXPECT_EQ(s.info(QZIDEC_INFO_SOURCE_ALPHA), std::stoul(row[4])) << "after the decode";
    // Textures keep their delivery: 24 bits and an alpha plane, whatever they store.
    if (s.info(QZIDEC_INFO_FORMAT) != QZIDEC_FORMAT_BMP) {
      EXPECT_EQ(s.info(QZIDEC_INFO_BPP), 24u);
      EXPECT_TRUE(s.out.img.has_alpha);
    } else {
      EXPECT_EQ(s.out.img.has_alpha, row[4] == "1") << "a BMP's item 9 is its alpha plane";
    }
    ++checked;
  }
  if (checked == 0) GTEST_SKIP() << "no corpus folder is set (QZI_PVR_DIR, QZI_PVR_MODERN_DIR, QZI_TEXTURES_DIR, QZI_BMPSUITE_DIR)";
}

}  // namespace
