// The PVR containers: legacy header versions 1 and 2, version 3 header and its metadata.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>

#include "container.h"
#include "qzipvr.h"
#include "texture.h"

namespace qzipvr {
namespace {

const uint32_t kV3Magic = 0x03525650;       // 'P' 'V' 'R' 3, read little-endian
const uint32_t kLegacyTag = 0x21525650;     // 'P' 'V' 'R' '!'
const uint32_t kLegacyTwiddle = 0x200;
const uint32_t kLegacyVolume = 0x4000;
const uint32_t kLegacyVerticalFlip = 0x10000;
const uint32_t kLegacyAlpha = 0x8000;
const uint32_t kV3FileCompressed = 0x1;
const uint32_t kV3Premultiplied = 0x2;
const uint32_t kMetaOrientation = 3;

// ASTC 2D block sizes by version 3 id, from 27 on (3D sizes follow and are not decoded).
const uint32_t kAstcFirst = 27, kAstcLast = 40;
const int kAstcBlocks[14][2] = {{4, 4}, {5, 4}, {5, 5}, {6, 5}, {6, 6}, {8, 5}, {8, 6},
                                {8, 8}, {10, 5}, {10, 6}, {10, 8}, {10, 10}, {12, 10}, {12, 12}};

// Legacy pixel types we decode, with their channel layouts in version 3 notation.
struct LegacyType {
  uint8_t type;
  int format;          // compressed formats; -1: uncompressed, see names/bits
  const char* names;
  uint8_t bits[4];
};

const LegacyType kLegacyTypes[] = {
    {0x00, -1, "argb", {4, 4, 4, 4}},  // ARGB4444
    {0x01, -1, "argb", {1, 5, 5, 5}},  // ARGB1555
    {0x02, -1, "rgb", {5, 6, 5, 0}},   // RGB565
    {0x03, -1, "xrgb", {1, 5, 5, 5}},  // RGB555
    {0x04, -1, "rgb", {8, 8, 8, 0}},   // RGB888
    {0x06, -1, "argb", {8, 3, 3, 2}},  // ARGB8332
    {0x07, -1, "i", {8, 0, 0, 0}},     // I8
    {0x08, -1, "ai", {8, 8, 0, 0}},    // AI88
    {0x0C, QZIPVR_FORMAT_PVRTC_2BPP, "", {0, 0, 0, 0}},
    {0x0D, QZIPVR_FORMAT_PVRTC_4BPP, "", {0, 0, 0, 0}},
    {0x10, -1, "rgba", {4, 4, 4, 4}},  // RGBA4444
    {0x11, -1, "rgba", {5, 5, 5, 1}},  // RGBA5551
    {0x12, -1, "rgba", {8, 8, 8, 8}},  // RGBA8888
    {0x13, -1, "rgb", {5, 6, 5, 0}},   // RGB565
    {0x14, -1, "rgbx", {5, 5, 5, 1}},  // RGB555
    {0x15, -1, "rgb", {8, 8, 8, 0}},   // RGB888
    {0x16, -1, "i", {8, 0, 0, 0}},     // I8
    {0x17, -1, "la", {8, 8, 0, 0}},    // AI88: luminance byte first
    {0x18, QZIPVR_FORMAT_PVRTC_2BPP, "", {0, 0, 0, 0}},
    {0x19, QZIPVR_FORMAT_PVRTC_4BPP, "", {0, 0, 0, 0}},
    {0x1A, -1, "bgra", {8, 8, 8, 8}},  // BGRA8888
    {0x1B, -1, "a", {8, 0, 0, 0}},     // A8
    {0x20, QZIPVR_FORMAT_BC1, "", {0, 0, 0, 0}},
    {0x21, QZIPVR_FORMAT_BC2, "", {0, 0, 0, 0}},  // DXT2
    {0x22, QZIPVR_FORMAT_BC2, "", {0, 0, 0, 0}},
    {0x23, QZIPVR_FORMAT_BC3, "", {0, 0, 0, 0}},  // DXT4
    {0x24, QZIPVR_FORMAT_BC3, "", {0, 0, 0, 0}},
    {0x36, QZIPVR_FORMAT_ETC1, "", {0, 0, 0, 0}},
    {0x40, -1, "a", {8, 0, 0, 0}},     // A8
    {0x43, -1, "l", {8, 0, 0, 0}},     // L8
    {0x61, -1, "rgba", {8, 8, 8, 8}},  // R8G8B8A8, as real files use it
    {0x62, -1, "rgba", {8, 8, 8, 8}},  // the same, sRGB
};

bool is_pvrtc(int format) { return format == QZIPVR_FORMAT_PVRTC_2BPP || format == QZIPVR_FORMAT_PVRTC_4BPP; }

// Builds a layout from up to four channel letters and widths. A letter 0 ends the list.
bool make_layout(const char names[4], const uint8_t bits[4], Layout* out) {
  Layout l;
  int total = 0;
  bool ended = false, all_bytes = true, colour = false, grey = false;
  unsigned seen = 0;
  for (int k = 0; k < 4; ++k) {
    char c = names[k];
    if (c == 0 || ended) {
      if (c != 0 || bits[k] != 0) return false;
      ended = true;
      continue;
    }
    if (c == 'i') c = 'l';
    const char* known = "rgbalx";
    const char* pos = std::strchr(known, c);
    if (!pos) return false;
    if (bits[k] < 1 || bits[k] > 8) return false;
    if (c != 'x') {
      const unsigned bit = 1u << (pos - known);
      if (seen & bit) return false;
      seen |= bit;
    }
    colour |= c == 'r' || c == 'g' || c == 'b';
    grey |= c == 'l';
    all_bytes &= bits[k] == 8;
    l.channels[l.count].name = c;
    l.channels[l.count].bits = bits[k];
    ++l.count;
    total += bits[k];
  }
  if (l.count == 0 || (colour && grey) || seen == 0) return false;
  if (total % 8 != 0) return false;
  l.bytes_per_pixel = total / 8;
  l.packed = !all_bytes;
  int used = 0;
  for (int k = 0; k < l.count; ++k) {
    used += l.channels[k].bits;
    l.channels[k].shift = l.packed ? total - used : k;
  }
  *out = l;
  return true;
}

int classify(const Layout& l) {
  if (l.packed) return QZIPVR_FORMAT_PACKED;
  char names[5] = {0, 0, 0, 0, 0};
  for (int k = 0; k < l.count; ++k) names[k] = l.channels[k].name;
  if (std::strcmp(names, "rgba") == 0) return QZIPVR_FORMAT_RGBA8888;
  if (std::strcmp(names, "bgra") == 0) return QZIPVR_FORMAT_BGRA8888;
  if (std::strcmp(names, "rgb") == 0) return QZIPVR_FORMAT_RGB888;
  if (std::strcmp(names, "a") == 0) return QZIPVR_FORMAT_A8;
  if (std::strcmp(names, "l") == 0) return QZIPVR_FORMAT_L8;
  return QZIPVR_FORMAT_CHANNELS;
}

bool size_ok(uint32_t width, uint32_t height) {
  return width >= 1 && height >= 1 && width <= QZIPVR_MAX_SIDE && height <= QZIPVR_MAX_SIDE;
}

bool parse_legacy(const uint8_t* p, size_t size, uint32_t header_size, Texture* t) {
  if (size < header_size) return false;
  if (header_size == 52 && load32(p + 44) != kLegacyTag) return false;
  const uint32_t height = load32(p + 4), width = load32(p + 8), flags = load32(p + 16);
  if (!size_ok(width, height)) return false;
  if (flags & kLegacyVolume) return false;

  const uint8_t type = static_cast<uint8_t>(flags & 0xFF);
  const LegacyType* found = nullptr;
  for (const LegacyType& lt : kLegacyTypes) {
    if (lt.type == type) found = &lt;
  }
  if (!found) return false;
  if (found->format >= 0) {
    t->format = found->format;
  } else {
    char names[4] = {0, 0, 0, 0};
    std::memcpy(names, found->names, std::strlen(found->names));
    if (!make_layout(names, found->bits, &t->layout)) return false;
    t->format = classify(t->layout);
  }
  // Twiddled (Morton-ordered) data is only understood where the format is built on it.
  if ((flags & kLegacyTwiddle) && !is_pvrtc(t->format)) return false;

  t->version = header_size == 44 ? 1 : 2;
  t->width = static_cast<int>(width);
  t->height = static_cast<int>(height);
  t->data_offset = header_size;
  t->flip_rows = (flags & kLegacyVerticalFlip) != 0;
  // PVRTC holds alpha or not by the encoder's choice: the alpha flag or mask tells.
  if (is_pvrtc(t->format)) t->alpha = (flags & kLegacyAlpha) || load32(p + 40) != 0 ? 1 : 0;
  return true;
}

bool parse_v3(const uint8_t* p, size_t size, Texture* t) {
  if (size < QZIPVR_HEADER_SIZE) return false;
  const uint32_t flags = load32(p + 4);
  const uint32_t format_low = load32(p + 8), format_high = load32(p + 12);
  const uint32_t colour_space = load32(p + 16), channel_type = load32(p + 20);
  const uint32_t height = load32(p + 24), width = load32(p + 28), depth = load32(p + 32);
  const uint32_t metadata_size = load32(p + 48);
  if (flags & kV3FileCompressed) return false;
  if (!size_ok(width, height) || depth != 1) return false;
  // Channel types above 10 are floating point. Odd types are signed: only the formats whose
  // ids leave the sign open (EAC, BC4, BC5) take them.
  if (channel_type > 10) return false;
  const bool is_signed = channel_type % 2 != 0;

  if (format_high == 0) {
    switch (format_low) {
      case 0: case 1: t->format = QZIPVR_FORMAT_PVRTC_2BPP; t->alpha = format_low == 1; break;
      case 2: case 3: t->format = QZIPVR_FORMAT_PVRTC_4BPP; t->alpha = format_low == 3; break;
      case 6: t->format = QZIPVR_FORMAT_ETC1; break;
      case 7: t->format = QZIPVR_FORMAT_BC1; break;
      case 8: case 9: t->format = QZIPVR_FORMAT_BC2; break;
      case 10: case 11: t->format = QZIPVR_FORMAT_BC3; break;
      case 12: t->format = QZIPVR_FORMAT_BC4; break;
      case 13: t->format = QZIPVR_FORMAT_BC5; break;
      case 15: t->format = QZIPVR_FORMAT_BC7; break;
      case 22: t->format = QZIPVR_FORMAT_ETC2_RGB; break;
      case 23: t->format = QZIPVR_FORMAT_ETC2_RGBA; break;
      case 24: t->format = QZIPVR_FORMAT_ETC2_RGB_A1; break;
      case 25: t->format = QZIPVR_FORMAT_EAC_R11; break;
      case 26: t->format = QZIPVR_FORMAT_EAC_RG11; break;
      default:
        if (format_low < kAstcFirst || format_low > kAstcLast) return false;
        t->format = QZIPVR_FORMAT_ASTC;
        t->block_w = kAstcBlocks[format_low - kAstcFirst][0];
        t->block_h = kAstcBlocks[format_low - kAstcFirst][1];
        break;
    }
    const bool sign_open = t->format == QZIPVR_FORMAT_EAC_R11 || t->format == QZIPVR_FORMAT_EAC_RG11 ||
                           t->format == QZIPVR_FORMAT_BC4 || t->format == QZIPVR_FORMAT_BC5;
    if (is_signed && !sign_open) return false;
    t->is_signed = is_signed;
    t->v3_id = format_low;
  } else {
    if (is_signed) return false;
    char names[4];
    uint8_t bits[4];
    for (int k = 0; k < 4; ++k) {
      names[k] = static_cast<char>(p[8 + k]);
      bits[k] = p[12 + k];
    }
    if (!make_layout(names, bits, &t->layout)) return false;
    t->format = classify(t->layout);
  }
  t->srgb = colour_space == 1;
  t->colour_stated = true;  // 0 is linear, not unknown
  t->premultiplied = (flags & kV3Premultiplied) != 0;
  t->version = 3;
  t->width = static_cast<int>(width);
  t->height = static_cast<int>(height);
  t->metadata_size = metadata_size;
  t->data_offset = QZIPVR_HEADER_SIZE + static_cast<uint64_t>(metadata_size);
  return true;
}

}  // namespace

bool pvrtc_size_ok(int width, int height, bool two_bpp) {
  const int pw = width < (two_bpp ? 16 : 8) ? (two_bpp ? 16 : 8) : width;
  const int ph = height < 8 ? 8 : height;
  return pw > 0 && ph > 0 && (pw & (pw - 1)) == 0 && (ph & (ph - 1)) == 0;
}

bool parse_header(const uint8_t* p, size_t size, Texture* t) {
  if (!p || size < 44) return false;
  Texture parsed;
  const uint32_t first = load32(p);
  bool ok = false;
  if (first == kV3Magic) {
    ok = parse_v3(p, size, &parsed);
  } else if (first == 44 || first == 52) {
    ok = parse_legacy(p, size, first, &parsed);
  }
  if (!ok) return false;
  if (is_pvrtc(parsed.format) &&
      !pvrtc_size_ok(parsed.width, parsed.height, parsed.format == QZIPVR_FORMAT_PVRTC_2BPP)) {
    return false;
  }
  *t = parsed;
  return true;
}

bool parse_metadata(const uint8_t* file, size_t size, Texture* t) {
  if (t->version != 3) return true;
  if (t->data_offset > size) return false;
  const uint8_t* p = file + QZIPVR_HEADER_SIZE;
  uint64_t left = t->metadata_size;
  while (left > 0) {
    if (left < 12) return false;
    const uint32_t fourcc = load32(p), key = load32(p + 4), bytes = load32(p + 8);
    if (bytes > left - 12) return false;
    if (fourcc == kV3Magic && key == kMetaOrientation && bytes >= 2) {
      // One byte per axis; any non-zero value reverses that axis.
      t->flip_columns = p[12] != 0;
      t->flip_rows = p[13] != 0;
    }
    p += 12 + bytes;
    left -= 12 + static_cast<uint64_t>(bytes);
  }
  return true;
}

uint64_t level_bytes(const Texture& t) {
  const uint64_t w = static_cast<uint64_t>(t.width), h = static_cast<uint64_t>(t.height);
  const uint64_t bw = static_cast<uint64_t>(t.block_w), bh = static_cast<uint64_t>(t.block_h);
  const uint64_t blocks = ((w + bw - 1) / bw) * ((h + bh - 1) / bh);
  switch (t.format) {
    case QZIPVR_FORMAT_PVRTC_2BPP:
      return (w < 16 ? 16 : w) * (h < 8 ? 8 : h) / 4;
    case QZIPVR_FORMAT_PVRTC_4BPP:
      return (w < 8 ? 8 : w) * (h < 8 ? 8 : h) / 2;
    case QZIPVR_FORMAT_ETC1:
    case QZIPVR_FORMAT_BC1:
    case QZIPVR_FORMAT_BC4:
    case QZIPVR_FORMAT_ETC2_RGB:
    case QZIPVR_FORMAT_ETC2_RGB_A1:
    case QZIPVR_FORMAT_EAC_R11:
      return blocks * 8;
    case QZIPVR_FORMAT_BC2:
    case QZIPVR_FORMAT_BC3:
    case QZIPVR_FORMAT_BC5:
    case QZIPVR_FORMAT_BC7:
    case QZIPVR_FORMAT_ETC2_RGBA:
    case QZIPVR_FORMAT_EAC_RG11:
    case QZIPVR_FORMAT_ASTC:
      return blocks * 16;
    default:
      return w * h * static_cast<uint64_t>(t.layout.bytes_per_pixel);
  }
}

}  // namespace qzipvr

namespace qzipvr {

std::string describe(const Texture& t) {
  static const char* const kNames[QZIPVR_FORMAT_COUNT] = {
      "PVRTC1 2bpp", "PVRTC1 4bpp", "ETC1",     "BC1",        "BC2",     "BC3",      "",
      "",            "",            "",         "",           "",        "",         "ETC2 RGB",
      "ETC2 RGBA",   "ETC2 RGB A1", "EAC R11",  "EAC RG11",   "BC4",     "BC5",      "BC7",
      "ASTC"};
  std::string s = "PVR v" + std::to_string(t.version) + " ";
  if (t.format == QZIPVR_FORMAT_ASTC) {
    s += "ASTC " + std::to_string(t.block_w) + "x" + std::to_string(t.block_h);
  } else if (*kNames[t.format]) {
    s += kNames[t.format];
  } else {
    // Uncompressed: channel letters, then their widths ("RGB565", "LA88").
    for (int k = 0; k < t.layout.count; ++k) s += static_cast<char>(std::toupper(t.layout.channels[k].name));
    for (int k = 0; k < t.layout.count; ++k) s += std::to_string(t.layout.channels[k].bits);
  }
  if (t.is_signed) s += " signed";
  if (t.srgb) s += " sRGB";
  return s;
}

}  // namespace qzipvr

namespace qzipvr {

// PVR among the other containers: the chosen mip level, surface and face of a version 3 file
// (level by level, each level surface by surface, face by face); legacy files hold one image.
void read_pvr(Head& in, const Choice& c, Texture* t) {
  const uint32_t first = in.at_hand(0, 4) ? in.u32(0) : 0;
  if (first != kV3Magic && first != 44 && first != 52) refuse(QZIPVR_ERR_HEADER, "not a texture file decoded here");
  in.need(0, first == 44 ? 44 : QZIPVR_HEADER_SIZE, "header");
  if (!parse_header(in.p, in.avail, t)) refuse(QZIPVR_ERR_HEADER, "a PVR texture of a form not decoded here");
  if (t->version == 3) {
    in.need(QZIPVR_HEADER_SIZE, t->metadata_size, "metadata");
    if (!parse_metadata(in.p, in.avail, t)) refuse(QZIPVR_ERR_DATA, "PVR metadata overruns itself");
    t->layers = static_cast<int>(std::min<uint32_t>(std::max<uint32_t>(in.u32(36), 1), 1u << 20));
    t->faces = static_cast<int>(std::min<uint32_t>(std::max<uint32_t>(in.u32(40), 1), 6));
    t->levels = std::min(static_cast<int>(std::max<uint32_t>(in.u32(44), 1)), full_chain(t->width, t->height, 1));
  }
  t->container = QZIPVR_CONTAINER_PVR;
  t->label = "PVR v" + std::to_string(t->version);
  const uint64_t width = static_cast<uint64_t>(t->width), height = static_cast<uint64_t>(t->height);
  choose(t, width, height, c);
  unsigned __int128 offset = t->data_offset;
  const unsigned per_level = static_cast<unsigned>(t->layers * t->faces);
  for (int k = 0; k < c.level; ++k) offset += static_cast<unsigned __int128>(image_bytes(*t, mip(width, k), mip(height, k))) * per_level;
  const uint64_t bytes = image_bytes(*t, static_cast<uint64_t>(t->width), static_cast<uint64_t>(t->height));
  offset += static_cast<unsigned __int128>(bytes) * (static_cast<unsigned>(c.layer) * t->faces + c.face);
  in.inside(offset, bytes, c.level == 0 ? "top level" : "chosen level");
  t->data_offset = static_cast<uint64_t>(offset);
}

}  // namespace qzipvr
