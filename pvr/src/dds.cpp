// DDS files: the 124-byte header with its pixel format (FourCC codes, bit masks, palette) and
// the DX10 extension with its DXGI formats. Pitch and linear size are not read, and the level
// sizes come from the dimensions: real files get those fields wrong.
#include <algorithm>
#include <cstdio>
#include <string>

#include "container.h"
#include "qzipvr.h"

namespace qzipvr {
namespace {

const uint32_t kFourCC = 0x4, kPalette8 = 0x20, kRgb = 0x40, kYuv = 0x200, kLuminance = 0x20000,
               kAlphaOnly = 0x2, kAlphaPixels = 0x1, kBumpDuDv = 0x80000;
const uint32_t kCubemap = 0x200, kVolume = 0x200000, kCubeFaces = 0xFC00;

// DXGI formats that leave the colour space to the reader (typeless), among those decoded here.
bool dxgi_typeless(uint32_t d) {
  static const uint32_t kTypeless[] = {9, 23, 27, 35, 48, 53, 60, 70, 73, 76, 79, 82, 90, 92, 94, 97};
  for (uint32_t k : kTypeless)
    if (d == k) return true;
  return d >= 133 && d < 133 + 4 * 14 && (d - 133) % 4 == 0;  // ASTC typeless
}

uint32_t fourcc(const char* s) {
  return static_cast<uint32_t>(static_cast<uint8_t>(s[0])) | static_cast<uint32_t>(static_cast<uint8_t>(s[1])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(s[2])) << 16 | static_cast<uint32_t>(static_cast<uint8_t>(s[3])) << 24;
}

std::string fourcc_text(uint32_t v) {
  std::string s;
  for (int k = 0; k < 4; ++k) {
    const int c = static_cast<int>(v >> (8 * k) & 0xFF);
    if (c >= 32 && c < 127) {
      s += static_cast<char>(c);
    } else {
      s += "\\x" + std::string(1, "0123456789abcdef"[c >> 4]) + "0123456789abcdef"[c & 15];
    }
  }
  return s;
}

bool set_fourcc(Texture* t, uint32_t f) {
  if (f == fourcc("DXT1")) { set_block(t, QZIPVR_FORMAT_BC1, "BC1"); return true; }
  if (f == fourcc("DXT2") || f == fourcc("DXT3")) {
    set_block(t, QZIPVR_FORMAT_BC2, "BC2");
    t->premultiplied = f == fourcc("DXT2");
    return true;
  }
  if (f == fourcc("DXT4") || f == fourcc("DXT5")) {
    set_block(t, QZIPVR_FORMAT_BC3, "BC3");
    t->premultiplied = f == fourcc("DXT4");
    return true;
  }
  if (f == fourcc("ATI1") || f == fourcc("BC4U")) { set_block(t, QZIPVR_FORMAT_BC4, "BC4"); return true; }
  if (f == fourcc("BC4S")) { set_block(t, QZIPVR_FORMAT_BC4, "BC4", true); return true; }
  if (f == fourcc("ATI2") || f == fourcc("BC5U")) { set_block(t, QZIPVR_FORMAT_BC5, "BC5"); return true; }
  if (f == fourcc("BC5S")) { set_block(t, QZIPVR_FORMAT_BC5, "BC5", true); return true; }
  if (f == fourcc("ETC ") || f == fourcc("ETC1")) { set_block(t, QZIPVR_FORMAT_ETC1, "ETC1"); return true; }
  if (f == fourcc("ETC2")) { set_block(t, QZIPVR_FORMAT_ETC2_RGB, "ETC2 RGB"); return true; }
  if (f == fourcc("ETCA")) { set_block(t, QZIPVR_FORMAT_ETC2_RGBA, "ETC2 RGBA"); return true; }
  if (f == fourcc("ETCP")) { set_block(t, QZIPVR_FORMAT_ETC2_RGB_A1, "ETC2 RGB A1"); return true; }
  // Direct3D 9 format numbers in the FourCC field.
  switch (f) {
    case 36: set_wide(t, "r16g16b16a16", "A16B16G16R16"); return true;
    case 111: set_wide(t, "r16h", "R16F"); return true;
    case 112: set_wide(t, "r16hg16h", "G16R16F"); return true;
    case 113: set_wide(t, "r16hg16hb16ha16h", "A16B16G16R16F"); return true;
    case 114: set_wide(t, "r32f", "R32F"); return true;
    case 115: set_wide(t, "r32fg32f", "G32R32F"); return true;
    case 116: set_wide(t, "r32fg32fb32fa32f", "A32B32G32R32F"); return true;
    default: return false;
  }
}

// A channel of a bit mask; false for masks that are not one run of at most 16 bits.
bool mask_channel(uint32_t mask, char name, WideChannel* c) {
  if (mask == 0) return false;
  const int shift = __builtin_ctz(mask);
  const int bits = __builtin_popcount(mask);
  if (bits > 16 || ((mask >> shift) & ((mask >> shift) + 1)) != 0) return false;
  c->name = name;
  c->shift = shift;
  c->bits = bits;
  c->kind = kUnorm;
  return true;
}

// The legacy uncompressed forms, described by bit masks.
void set_masks(Head& in, uint32_t flags, Texture* t) {
  const uint32_t bits = in.u32(88), r = in.u32(92), g = in.u32(96), b = in.u32(100), a = in.u32(104);
  auto refuse_masks = [&](const std::string& why) {
    char text[80];
    std::snprintf(text, sizeof text, "%s %u-bit masks R %08x G %08x B %08x A %08x",
                  (flags & kLuminance) ? "LUMINANCE" : (flags & kRgb) ? "RGB" : "ALPHA", bits, r, g, b, a);
    refuse(QZIPVR_ERR_HEADER, "unsupported pixel format: " + std::string(text) + why);
  };
  if (bits != 8 && bits != 16 && bits != 24 && bits != 32) refuse_masks("");
  const uint32_t whole = bits == 32 ? 0xFFFFFFFFu : (1u << bits) - 1;
  WideLayout l;
  l.bytes_per_pixel = static_cast<int>(bits / 8);
  auto add = [&](uint32_t mask, char name) {
    WideChannel c;
    if (mask == 0) return;
    if (!mask_channel(mask, name, &c)) refuse_masks(" (a mask that is not one run)");
    l.channels[l.count++] = c;
  };
  const bool alpha = (flags & kAlphaPixels) != 0;
  // A red mask covering the whole pixel and nothing else is luminance (written so by some
  // tools); a luminance mask lying outside the pixel means the whole pixel.
  const bool red_only = (flags & kRgb) && r == whole && g == 0 && b == 0 && bits <= 16;
  if ((flags & kLuminance) || red_only) {
    if (bits > 16) refuse_masks(" (luminance)");
    add((r & ~whole) || r == 0 ? (alpha && a ? whole & ~a : whole) : r, 'l');
    if (alpha) add(a & whole, 'a');
  } else if (flags & kRgb) {
    if ((r | g | b) == 0) refuse_masks(" (all masks zero)");
    add(r, 'r');
    add(g, 'g');
    add(b, 'b');
    if (alpha) add(a, 'a');
  } else {
    add(a ? a : whole, 'a');
  }
  for (int k = 0; k < l.count; ++k) {
    if (l.channels[k].shift + l.channels[k].bits > static_cast<int>(bits)) refuse_masks(" (a mask outside the pixel)");
  }
  t->format = QZIPVR_FORMAT_WIDE;
  t->wide = l;
  t->block_w = t->block_h = 1;
  // Named by the channels from the highest bits down: "A8R8G8B8", "L8".
  std::string name;
  for (int hi = static_cast<int>(bits) - 1; hi >= 0; --hi) {
    for (int k = 0; k < l.count; ++k) {
      if (l.channels[k].shift + l.channels[k].bits - 1 == hi) {
        name += static_cast<char>(l.channels[k].name - 'a' + 'A');
        name += std::to_string(l.channels[k].bits);
      }
    }
  }
  t->format_name = name;
}

}  // namespace

void read_dds(Head& in, const Choice& c, Texture* t) {
  in.need(0, 128, "header");
  if (in.u32(4) != 124) refuse(QZIPVR_ERR_HEADER, "DDS header size " + std::to_string(in.u32(4)) + ", not 124");
  const uint64_t height = in.u32(12), width = in.u32(16), depth = in.u32(24), mips = in.u32(28);
  const uint32_t flags = in.u32(80), code = in.u32(84), caps2 = in.u32(112);
  t->container = QZIPVR_CONTAINER_DDS;
  t->label = "DDS";
  uint64_t data = 128;
  uint64_t volume = (caps2 & kVolume) ? depth : 1;
  int faces = 1, layers = 1;
  if (caps2 & kCubemap) faces = __builtin_popcount(caps2 & kCubeFaces) ? __builtin_popcount(caps2 & kCubeFaces) : 6;

  if (flags & (kYuv | kBumpDuDv)) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", flags);
    refuse(QZIPVR_ERR_HEADER, std::string("unsupported pixel format: pixel-format flags 0x") + text);
  }
  if ((flags & kFourCC) && code == fourcc("DX10")) {
    in.need(128, 20, "DX10 header");
    const uint32_t dxgi = in.u32(128), dimension = in.u32(132), misc = in.u32(136), array = in.u32(140);
    t->label = "DDS DX10";
    data = 148;
    if (!set_dxgi_format(t, dxgi)) refuse(QZIPVR_ERR_HEADER, "unsupported pixel format: DXGI " + std::to_string(dxgi));
    // Dimension 0 and array size 0 occur in real files: read as 2D, one layer.
    volume = dimension == 4 ? depth : 1;
    faces = (misc & 0x4) ? 6 : 1;
    layers = array ? static_cast<int>(std::min<uint32_t>(array, 1u << 20)) : 1;
    t->premultiplied = (in.u32(144) & 7) == 2;
    t->colour_stated = !dxgi_typeless(dxgi);
  } else if (flags & kFourCC) {
    if (!set_fourcc(t, code)) refuse(QZIPVR_ERR_HEADER, "unsupported pixel format: FourCC b'" + fourcc_text(code) + "'");
  } else if (flags & kPalette8) {
    set_wide(t, "p8", "P8");
    t->palette_offset = 128;
    in.inside(128, 1024, "palette");
    data = 128 + 1024;
  } else if (flags & (kRgb | kLuminance | kAlphaOnly)) {
    set_masks(in, flags, t);
  } else {
    char text[16];
    std::snprintf(text, sizeof text, "%x", flags);
    refuse(QZIPVR_ERR_HEADER, std::string("unsupported pixel format: pixel-format flags 0x") + text);
  }

  t->faces = faces;
  t->layers = layers;
  t->depth = static_cast<int>(std::min<uint64_t>(std::max<uint64_t>(volume, 1), QZIPVR_MAX_SIDE));
  t->levels = static_cast<int>(std::min<uint64_t>(std::max<uint64_t>(mips, 1), full_chain(width, height, t->depth)));
  choose(t, width, height, c);

  // Layer by layer, face by face, each face's whole mip chain (each level all its slices).
  unsigned __int128 chain = 0, before = 0;
  for (int k = 0; k < t->levels; ++k) {
    const unsigned __int128 v = volume_bytes(*t, mip(width, k), mip(height, k), mip(t->depth, k));
    if (k < c.level) before += v;
    chain += v;
  }
  const unsigned __int128 offset = data + chain * (static_cast<unsigned>(c.layer) * faces + c.face) + before +
                                   slice_offset(t, t->width, t->height, c.slice);
  in.inside(offset, image_bytes(*t, t->width, t->height), c.level == 0 ? "top level" : "chosen level");
  t->data_offset = static_cast<uint64_t>(offset);
}

}  // namespace qzipvr
