// Writes a few small BMP files, one per common form, and a PVR texture into the folder given
// as argument: the samples that scripts/run decodes.
#include <cstdio>
#include <string>
#include <vector>

#include "bmp_writer.h"

namespace {

bool save(const std::string& path, const bmpw::Bytes& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

bmpw::Layout base(int w, int h, uint16_t bits, uint32_t compression = 0) {
  bmpw::Layout s;
  s.width = w;
  s.height = h;
  s.bit_count = bits;
  s.compression = compression;
  return s;
}

// Run-length codes of an 8-bit picture of diagonal bands.
bmpw::Bytes rle8_bands(int w, int h) {
  bmpw::Bytes b;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w;) {
      const int n = std::min(8 - (x + y) % 8, w - x);
      b.push_back(static_cast<uint8_t>(n));
      b.push_back(static_cast<uint8_t>((x + y) / 8 % 16));
      x += n;
    }
    b.push_back(0);
    b.push_back(0);
  }
  b.push_back(0);
  b.push_back(1);
  return b;
}

// A version 3 PVR texture of uncompressed 8-bit red, green, blue and alpha channels: a colour
// gradient whose alpha falls from left to right.
bmpw::Bytes pvr_rgba8888(int w, int h) {
  bmpw::Bytes b;
  auto put32 = [&](uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  put32(0x03525650);  // version
  put32(0);           // flags
  for (char c : {'r', 'g', 'b', 'a'}) b.push_back(static_cast<uint8_t>(c));  // channel order
  for (int i = 0; i < 4; ++i) b.push_back(8);                                 // channel widths
  put32(0);  // colour space: linear
  put32(0);  // channel type: unsigned normalised bytes
  put32(static_cast<uint32_t>(h));
  put32(static_cast<uint32_t>(w));
  for (uint32_t one : {1u, 1u, 1u, 1u}) put32(one);  // depth, surfaces, faces, mip levels
  put32(0);                                          // metadata size
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int v : {x * 255 / (w - 1), y * 255 / (h - 1), 160, 255 - x * 191 / (w - 1)}) b.push_back(static_cast<uint8_t>(v));
  return b;
}

// A DDS texture (DX10 header, R16G16B16A16_FLOAT) with three mip levels whose red runs from 0
// to 2 across each level: values beyond 1 for the HDR rules.
bmpw::Bytes dds_half(int w, int h) {
  bmpw::Bytes b;
  auto put32 = [&](uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  // Multiples of 1/64 up to 2 as half floats (exact).
  auto half = [](int sixty_fourths) -> uint16_t {
    if (sixty_fourths == 0) return 0;
    int e = 0;
    while ((sixty_fourths >> e) >= 2) ++e;  // value = n / 64 = 1.f * 2^(e - 6)
    const int mantissa = ((sixty_fourths << 10) >> e) & 1023;
    return static_cast<uint16_t>((e - 6 + 15) << 10 | mantissa);
  };
  for (uint32_t v : {0x20534444u, 124u, 0x2100Fu, uint32_t(h), uint32_t(w), 0u, 0u, 3u}) put32(v);
  for (int i = 0; i < 11; ++i) put32(0);
  for (uint32_t v : {32u, 4u, 0x30315844u, 0u, 0u, 0u, 0u, 0u}) put32(v);  // pixel format: DX10
  for (uint32_t v : {0x401008u, 0u, 0u, 0u, 0u}) put32(v);                  // caps: mipmaps
  for (uint32_t v : {10u, 3u, 0u, 1u, 0u}) put32(v);                        // R16G16B16A16_FLOAT, 2D
  for (int level = 0; level < 3; ++level) {
    const int lw = w >> level, lh = h >> level;
    for (int y = 0; y < lh; ++y) {
      for (int x = 0; x < lw; ++x) {
        for (uint16_t v : {half(x * 128 / lw), half(y * 64 / lh), half(32), half(64)}) {
          b.push_back(static_cast<uint8_t>(v));
          b.push_back(static_cast<uint8_t>(v >> 8));
        }
      }
    }
  }
  return b;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_samples DIR\n");
    return 2;
  }
  const std::string dir = argv[1];
  const int w = 64, h = 48;
  bool ok = true;

  bmpw::Layout rgb24 = base(w, h, 24);
  rgb24.pixels = bmpw::rows(24, w, h, [](int x, int y) { return uint32_t(x * 4) | uint32_t(y * 5) << 8 | 0x80u << 16; });
  ok &= save(dir + "/rgb24.bmp", bmpw::file(rgb24));

  bmpw::Layout argb = base(w, h, 32);
  argb.pixels = bmpw::rows(32, w, h, [](int x, int y) { return 0x2060C0u | uint32_t(x * 255 / 63) << 24 | uint32_t(y) << 8; });
  ok &= save(dir + "/argb32.bmp", bmpw::file(argb));

  bmpw::Layout rgb565 = base(w, h, 16, 3);
  rgb565.masks_after = {0xF800, 0x07E0, 0x001F};
  rgb565.pixels = bmpw::rows(16, w, h, [](int x, int y) { return uint32_t(x / 2) << 11 | uint32_t(y) << 5 | 0x10u; });
  ok &= save(dir + "/rgb565.bmp", bmpw::file(rgb565));

  bmpw::Layout pal = base(w, h, 8, 1);
  for (int i = 0; i < 16; ++i)
    pal.palette.push_back(bmpw::Entry{uint8_t(i * 16), uint8_t(255 - i * 16), uint8_t(i * 8 + 64), 0});
  pal.colors_used = 16;
  pal.pixels = rle8_bands(w, h);
  ok &= save(dir + "/rle8.bmp", bmpw::file(pal));

  bmpw::Layout os2 = base(w, -h, 4);  // 12-byte header, top-down
  os2.header_size = 12;
  os2.palette = bmpw::grey(16);
  os2.pixels = bmpw::rows(4, w, h, [](int x, int y) { return uint32_t((x / 4 + y / 3) % 16); });
  ok &= save(dir + "/os2-topdown4.bmp", bmpw::file(os2));

  ok &= save(dir + "/rgba-gradient.pvr", pvr_rgba8888(w, h));
  ok &= save(dir + "/hdr-mips.dds", dds_half(w, h));

  if (!ok) std::fprintf(stderr, "make_samples: cannot write into %s\n", dir.c_str());
  return ok ? 0 : 1;
}
