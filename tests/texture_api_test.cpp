// The texture formats (DDS, KTX, KTX2, .astc, PKM) through the decoder's API: detection by
// extension and by content, the chosen image and the counts, the float parameters, refusals.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "qzi_decode.h"
#include "tsv.h"

using qzi_test::Bytes;
using qzi_test::Session;

namespace {

Bytes seed(const std::string& name) {
  std::ifstream in(std::string(QZI_TEXTURE_SEEDS_DIR) + "/" + name, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

unsigned colour_space(const std::string& letter) {
  return letter == "s" ? QZIDEC_COLOR_SRGB : letter == "l" ? QZIDEC_COLOR_LINEAR : QZIDEC_COLOR_UNSTATED;
}

void set_params(Session& s, const std::string& text) {
  if (text == "-") return;
  const size_t eq = text.find('=');
  ASSERT_EQ(qziSetDecoderParam(s.h, std::stoul(text.substr(0, eq)), std::stol(text.substr(eq + 1)), 0), 0);
}

TEST(TextureApi, SeedsDetectedAndCounted) {
  for (const qzi_test::Row& row : qzi_test::tsv(QZI_TEXTURE_API_TSV, "", 15)) {
    SCOPED_TRACE(row[0] + " " + row[1]);
    const Bytes file = seed(row[0]);
    ASSERT_FALSE(file.empty());
    for (const std::string& name : {row[0], std::string("noext"), std::string("wrong.bmp")}) {
      Session s;
      set_params(s, row[1]);
      ASSERT_EQ(s.init(file, name.c_str()), std::stoi(row[2])) << name;
      if (row[2] != "0") continue;
      EXPECT_EQ(s.info(QZIDEC_INFO_FORMAT), std::stoul(row[3]));
      EXPECT_EQ(std::pair(s.info(QZIDEC_INFO_WIDTH), s.info(QZIDEC_INFO_HEIGHT)),
                std::pair(unsigned(std::stoul(row[4])), unsigned(std::stoul(row[5]))));
      for (int item = QZIDEC_INFO_LEVELS; item <= QZIDEC_INFO_HDR; ++item) {
        EXPECT_EQ(s.info(item), std::stoul(row[6 + item - QZIDEC_INFO_LEVELS])) << "item " << item;
      }
      EXPECT_EQ(s.info(QZIDEC_INFO_SOURCE_BITS), std::stoul(row[11]));
      EXPECT_EQ(s.info(QZIDEC_INFO_SOURCE_ALPHA), std::stoul(row[12]));
      EXPECT_EQ(s.info(QZIDEC_INFO_COLOR_SPACE), colour_space(row[13]));
      EXPECT_EQ(s.info(QZIDEC_INFO_PREMULTIPLIED), std::stoul(row[14]));
      EXPECT_EQ(s.info(QZIDEC_INFO_BPP), 24u) << "the delivered depth stays";
      ASSERT_EQ(s.execute(), 0);
      EXPECT_EQ(s.out.layers, 1);
      EXPECT_TRUE(s.out.img.has_alpha);
      EXPECT_TRUE(s.out.padding_zero && s.out.alpha_padding_zero);
    }
  }
}

// The DX10 header's format number and alpha mode decide colour space and premultiplication.
TEST(TextureApi, ColourSpaceAndPremultipliedFollowTheHeader) {
  struct Case {
    uint8_t dxgi, alpha_mode;
    unsigned colour, premultiplied;
  } cases[] = {{98, 0, QZIDEC_COLOR_LINEAR, 0}, {99, 2, QZIDEC_COLOR_SRGB, 1}, {97, 1, QZIDEC_COLOR_UNSTATED, 0}};
  for (const Case& c : cases) {
    Bytes file = seed("bc7_array.dds");
    ASSERT_GT(file.size(), 148u);
    file[128] = c.dxgi;
    file[144] = c.alpha_mode;
    Session s;
    ASSERT_EQ(s.init(file, "x.dds"), 0) << int(c.dxgi);
    EXPECT_EQ(s.info(QZIDEC_INFO_COLOR_SPACE), c.colour) << int(c.dxgi);
    EXPECT_EQ(s.info(QZIDEC_INFO_PREMULTIPLIED), c.premultiplied) << int(c.dxgi);
    EXPECT_EQ(s.info(QZIDEC_INFO_SOURCE_BITS), 800u);
  }
}

// Half floats 0.5 and 2 in red and green: clamped, or tone mapped at the exposure chosen.
TEST(TextureApi, ToneMapParameters) {
  Bytes file = seed("rgba16f.dds");
  ASSERT_EQ(file.size(), 148u + 32);
  const uint8_t texel[8] = {0x00, 0x38, 0x00, 0x40, 0x00, 0x00, 0x00, 0x3C};
  for (int k = 0; k < 4; ++k) std::copy(texel, texel + 8, file.begin() + 148 + 8 * k);
  auto red_green = [&](long tone, long exposure) {
    Session s;
    EXPECT_EQ(qziSetDecoderParam(s.h, QZIDEC_PARAM_TONE_MAP, tone, 0), 0);
    EXPECT_EQ(qziSetDecoderParam(s.h, QZIDEC_PARAM_EXPOSURE, exposure, 0), 0);
    EXPECT_EQ(s.init(file, "f.dds"), 0);
    EXPECT_EQ(s.info(QZIDEC_INFO_HDR), 1u);
    EXPECT_EQ(s.execute(), 0);
    return std::pair(int(s.out.img.rgba[0]), int(s.out.img.rgba[1]));
  };
  EXPECT_EQ(red_green(0, 0), std::pair(128, 255));
  EXPECT_EQ(red_green(1, 0), std::pair(85, 170));
  EXPECT_EQ(red_green(1, 4000), std::pair(170, 227));
  Session s;
  EXPECT_EQ(qziSetDecoderParam(s.h, QZIDEC_PARAM_TONE_MAP, 2, 0), QZIERR_INVALID_ARG);
  EXPECT_EQ(qziSetDecoderParam(s.h, QZIDEC_PARAM_EXPOSURE, 1000001, 0), QZIERR_INVALID_ARG);
  EXPECT_EQ(qziSetDecoderParam(s.h, QZIDEC_PARAM_LEVEL, -1, 0), QZIERR_INVALID_ARG);
}

// Refused: a file cut inside its image, one past the pixel limit, one the filter leaves out.
TEST(TextureApi, Refusals) {
  const Bytes file = seed("bc1.dds");
  Bytes cut(file.begin(), file.begin() + 140);
  Session a;
  EXPECT_EQ(a.init(cut, "cut.dds"), QZIERR_UNSUPPORTED);
  Session b;
  ASSERT_EQ(qziSetDecoderParam(b.h, QZIDEC_PARAM_MAX_PIXELS, 63, 0), 0);
  EXPECT_EQ(b.init(file, "big.dds"), QZIERR_NO_MEMORY);
  Session c;
  const int only_ktx[] = {QZIDEC_FORMAT_KTX};
  ASSERT_EQ(qziSetDecoderParam(c.h, QZIDEC_PARAM_FORMAT_FILTER, reinterpret_cast<long>(only_ktx), 1), 0);
  EXPECT_EQ(c.init(file, "noext"), QZIERR_UNSUPPORTED);
  EXPECT_STREQ(qziDecoderGetFormatDescription(c.h), nullptr);
}

}  // namespace
