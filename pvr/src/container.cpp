// The container-neutral calls: which container a file is (by its first bytes), the image
// chosen in it, the format tables the readers share, and the decode of the chosen image by
// the same codecs as PVR textures.
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "container.h"
#include "qzipvr.h"

namespace qzipvr {

void refuse(int code, const std::string& reason) { throw Refused{code, reason}; }

void Head::need(uint64_t offset, uint64_t n, const char* what) {
  if (offset > size || n > size - offset) {
    refuse(QZIPVR_ERR_DATA, std::string("file too short for the ") + what + " (" + std::to_string(size) +
                                " bytes, need " + std::to_string(offset + n) + ")");
  }
  if (!at_hand(offset, n)) {
    needed = std::max(needed, offset + n);
    refuse(QZIPVR_ERR_SHORT, "more of the file's first bytes needed");
  }
}

void Head::inside(unsigned __int128 offset, unsigned __int128 n, const std::string& what) const {
  if (offset > size || n > size - offset) {
    const unsigned __int128 end = offset + n;
    refuse(QZIPVR_ERR_DATA, "file too short for the " + what + " (" + std::to_string(size) + " bytes, need " +
                                (end > ~uint64_t{0} ? std::string("more than 2^64") : std::to_string(static_cast<uint64_t>(end))) + ")");
  }
}

int full_chain(uint64_t w, uint64_t h, uint64_t d) {
  uint64_t m = std::max(w, std::max(h, d));
  int n = 1;
  while (m > 1) {
    m >>= 1;
    ++n;
  }
  return n;
}

unsigned __int128 volume_bytes(const Texture& t, uint64_t w, uint64_t h, uint64_t d) {
  const uint64_t layers = (d + t.block_d - 1) / t.block_d;
  return static_cast<unsigned __int128>(image_bytes(t, w, h)) * layers;
}

uint64_t slice_offset(Texture* t, uint64_t w, uint64_t h, int slice) {
  t->slice_in_block = slice % t->block_d;
  return static_cast<uint64_t>(slice / t->block_d) * image_bytes(*t, w, h);
}

void bc1_opaque(const uint8_t* block, uint8_t* rgba) {
  bc1(block, rgba);
  for (int k = 0; k < 16; ++k) rgba[4 * k + 3] = 255;
}

namespace {

const int kAstcFootprints[24][3] = {{4, 4, 1},  {5, 4, 1},   {5, 5, 1},   {6, 5, 1},  {6, 6, 1},  {8, 5, 1},
                                    {8, 6, 1},  {8, 8, 1},   {10, 5, 1},  {10, 6, 1}, {10, 8, 1}, {10, 10, 1},
                                    {12, 10, 1}, {12, 12, 1}, {3, 3, 3},  {4, 3, 3},  {4, 4, 3},  {4, 4, 4},
                                    {5, 4, 4},  {5, 5, 4},   {5, 5, 5},   {6, 5, 5},  {6, 6, 5},  {6, 6, 6}};

}  // namespace

uint64_t image_bytes(const Texture& t, uint64_t w, uint64_t h) {
  switch (t.format) {
    case QZIPVR_FORMAT_BC6H:
      return ((w + 3) / 4) * ((h + 3) / 4) * 16;
    case QZIPVR_FORMAT_WIDE: {
      uint64_t row = w * static_cast<uint64_t>(t.wide.bytes_per_pixel);
      if (t.row_stride > 1) row = (row + t.row_stride - 1) / t.row_stride * t.row_stride;
      return row * h;
    }
    default: {
      Texture s = t;
      s.width = static_cast<int>(w);
      s.height = static_cast<int>(h);
      return level_bytes(s);
    }
  }
}

void choose(Texture* t, uint64_t width, uint64_t height, const Choice& c) {
  if (width < 1 || height < 1 || width > QZIPVR_MAX_SIDE || height > QZIPVR_MAX_SIDE) {
    refuse(QZIPVR_ERR_HEADER, "size " + std::to_string(width) + "x" + std::to_string(height) + " out of range");
  }
  if (t->levels < 1) t->levels = 1;
  if (t->faces < 1) t->faces = 1;
  if (t->layers < 1) t->layers = 1;
  if (t->depth < 1) t->depth = 1;
  if (c.level < 0 || c.level >= t->levels || c.face < 0 || c.face >= t->faces || c.layer < 0 ||
      c.layer >= t->layers || c.slice < 0 || static_cast<uint64_t>(c.slice) >= mip(t->depth, c.level)) {
    refuse(QZIPVR_ERR_CHOICE, "no such image: " + std::to_string(t->levels) + " levels, " + std::to_string(t->faces) +
                                  " faces, " + std::to_string(t->layers) + " layers, depth " + std::to_string(t->depth));
  }
  t->width = static_cast<int>(mip(width, c.level));
  t->height = static_cast<int>(mip(height, c.level));
}

int block_bits(const Texture& t) {
  switch (t.format) {
    case QZIPVR_FORMAT_PVRTC_2BPP:  // 8 x 4 texels
    case QZIPVR_FORMAT_PVRTC_4BPP:  // 4 x 4
    case QZIPVR_FORMAT_ETC1:
    case QZIPVR_FORMAT_BC1:
    case QZIPVR_FORMAT_BC4:
    case QZIPVR_FORMAT_ETC2_RGB:
    case QZIPVR_FORMAT_ETC2_RGB_A1:
    case QZIPVR_FORMAT_EAC_R11:
      return 64;
    case QZIPVR_FORMAT_BC2:
    case QZIPVR_FORMAT_BC3:
    case QZIPVR_FORMAT_BC5:
    case QZIPVR_FORMAT_BC6H:
    case QZIPVR_FORMAT_BC7:
    case QZIPVR_FORMAT_ETC2_RGBA:
    case QZIPVR_FORMAT_EAC_RG11:
    case QZIPVR_FORMAT_ASTC:
      return 128;
    case QZIPVR_FORMAT_WIDE:
      return 8 * t.wide.bytes_per_pixel;
    default:
      return 8 * t.layout.bytes_per_pixel;
  }
}

bool stores_alpha(const Texture& t) {
  // A swizzle decides first: alpha 1 whatever the texels hold, or taken from a colour channel.
  if (t.swizzle[3] == '1') return false;
  if (t.swizzle[3] != 'a') return true;
  if (t.alpha >= 0) return t.alpha != 0;
  switch (t.format) {
    case QZIPVR_FORMAT_BC1: return !t.bc1_opaque;  // the 1-bit alpha of three-colour blocks
    case QZIPVR_FORMAT_PVRTC_2BPP:
    case QZIPVR_FORMAT_PVRTC_4BPP:
    case QZIPVR_FORMAT_BC2:
    case QZIPVR_FORMAT_BC3:
    case QZIPVR_FORMAT_BC7:
    case QZIPVR_FORMAT_ETC2_RGBA:
    case QZIPVR_FORMAT_ETC2_RGB_A1:
    case QZIPVR_FORMAT_ASTC:  // every block may carry alpha
      return true;
    case QZIPVR_FORMAT_WIDE: {
      if (t.wide.palette) return true;  // entries of red, green, blue and alpha
      for (int k = 0; k < t.wide.count; ++k)
        if (t.wide.channels[k].name == 'a') return true;
      return false;
    }
    case QZIPVR_FORMAT_RGBA8888:
    case QZIPVR_FORMAT_BGRA8888:
    case QZIPVR_FORMAT_PACKED:
    case QZIPVR_FORMAT_A8:
    case QZIPVR_FORMAT_CHANNELS:
      for (int k = 0; k < t.layout.count; ++k)
        if (t.layout.channels[k].name == 'a') return true;
      return false;
    default:
      return false;
  }
}

void set_block(Texture* t, int format, const char* name, bool is_signed, bool srgb) {
  t->format = format;
  t->format_name = name;
  t->is_signed = is_signed;
  t->srgb = srgb;
  t->hdr = format == QZIPVR_FORMAT_BC6H;
  t->block_w = t->block_h = 4;
  if (format == QZIPVR_FORMAT_PVRTC_2BPP) t->block_w = 8;
}

void set_astc(Texture* t, int footprint, bool srgb, bool hdr) {
  const int* f = kAstcFootprints[footprint];
  t->format = QZIPVR_FORMAT_ASTC;
  t->block_w = f[0];
  t->block_h = f[1];
  t->block_d = f[2];
  t->srgb = srgb;
  t->hdr = t->astc_hdr = hdr;
  t->format_name = "ASTC " + std::to_string(f[0]) + "x" + std::to_string(f[1]);
  if (f[2] > 1) t->format_name += "x" + std::to_string(f[2]);
}

void set_wide(Texture* t, const char* spec, const char* name) {
  WideLayout l;
  if (std::strcmp(spec, "rgb9e5") == 0) {
    l.rgb9e5 = l.is_float = true;
    l.bytes_per_pixel = 4;
  } else if (std::strcmp(spec, "p8") == 0) {
    l.palette = true;
    l.bytes_per_pixel = 1;
  } else {
    int shift = 0;
    for (const char* s = spec; *s;) {
      WideChannel c;
      c.name = *s++;
      while (*s >= '0' && *s <= '9') c.bits = c.bits * 10 + (*s++ - '0');
      if (*s == 'h' || *s == 'f' || *s == 'e') {
        c.kind = *s == 'h' ? kHalf : *s == 'f' ? kFloat : c.bits == 11 ? kUfloat11 : kUfloat10;
        l.is_float = true;
        ++s;
      } else if (*s == 's') {
        c.kind = kSnorm;
        l.is_signed = true;
        ++s;
      }
      c.shift = shift;
      shift += c.bits;
      if (c.name != 'x' && l.count < 4) l.channels[l.count++] = c;
    }
    l.bytes_per_pixel = shift / 8;
  }
  t->format = QZIPVR_FORMAT_WIDE;
  t->wide = l;
  t->hdr = l.is_float;
  t->is_signed = l.is_signed;
  t->format_name = name;
  t->block_w = t->block_h = 1;
}

bool set_dxgi_format(Texture* t, uint32_t d) {
  struct Row {
    uint32_t first, last;
    int format;
    const char* name;
    bool is_signed;
    uint32_t srgb;  // the sRGB member of the run, 0 for none
  };
  static const Row kBlocks[] = {
      {70, 72, QZIPVR_FORMAT_BC1, "BC1", false, 72},  {73, 75, QZIPVR_FORMAT_BC2, "BC2", false, 75},
      {76, 78, QZIPVR_FORMAT_BC3, "BC3", false, 78},  {79, 80, QZIPVR_FORMAT_BC4, "BC4", false, 0},
      {81, 81, QZIPVR_FORMAT_BC4, "BC4", true, 0},    {82, 83, QZIPVR_FORMAT_BC5, "BC5", false, 0},
      {84, 84, QZIPVR_FORMAT_BC5, "BC5", true, 0},    {94, 95, QZIPVR_FORMAT_BC6H, "BC6H", false, 0},
      {96, 96, QZIPVR_FORMAT_BC6H, "BC6H", true, 0},  {97, 99, QZIPVR_FORMAT_BC7, "BC7", false, 99}};
  for (const Row& r : kBlocks) {
    if (d >= r.first && d <= r.last) {
      set_block(t, r.format, r.name, r.is_signed, d == r.srgb);
      return true;
    }
  }
  // ASTC under the numbers one tool family uses: typeless, UNORM, UNORM_SRGB per footprint.
  if (d >= 133 && d < 133 + 4 * 14 && (d - 133) % 4 < 3) {
    set_astc(t, static_cast<int>((d - 133) / 4), (d - 133) % 4 == 2, false);
    return true;
  }
  struct Wide {
    uint32_t dxgi;
    const char* spec;
    const char* name;
    bool srgb;
  };
  static const Wide kWide[] = {
      {27, "r8g8b8a8", "R8G8B8A8", false},       {28, "r8g8b8a8", "R8G8B8A8", false},
      {29, "r8g8b8a8", "R8G8B8A8", true},        {87, "b8g8r8a8", "B8G8R8A8", false},
      {90, "b8g8r8a8", "B8G8R8A8", false},       {91, "b8g8r8a8", "B8G8R8A8", true},
      {88, "b8g8r8x8", "B8G8R8X8", false},       {92, "b8g8r8x8", "B8G8R8X8", false},
      {93, "b8g8r8x8", "B8G8R8X8", true},        {85, "b5g6r5", "B5G6R5", false},
      {86, "b5g5r5a1", "B5G5R5A1", false},       {115, "b4g4r4a4", "B4G4R4A4", false},
      {23, "r10g10b10a2", "R10G10B10A2", false}, {24, "r10g10b10a2", "R10G10B10A2", false},
      {60, "r8", "R8", false},                   {61, "r8", "R8", false},
      {65, "a8", "A8", false},                   {48, "r8g8", "R8G8", false},
      {49, "r8g8", "R8G8", false},               {53, "r16", "R16", false},
      {56, "r16", "R16", false},                 {35, "r16g16", "R16G16", false},
      {9, "r16g16b16a16", "R16G16B16A16", false}, {11, "r16g16b16a16", "R16G16B16A16", false},
      {54, "r16h", "R16F", false},               {34, "r16hg16h", "R16G16F", false},
      {10, "r16hg16hb16ha16h", "R16G16B16A16F", false}, {41, "r32f", "R32F", false},
      {16, "r32fg32f", "R32G32F", false},        {6, "r32fg32fb32f", "R32G32B32F", false},
      {2, "r32fg32fb32fa32f", "R32G32B32A32F", false}, {26, "r11eg11eb10e", "R11G11B10F", false},
      {67, "rgb9e5", "R9G9B9E5", false},        {31, "r8sg8sb8sa8s", "R8G8B8A8", false},
      {51, "r8sg8s", "R8G8", false},             {63, "r8s", "R8", false},
      {58, "r16s", "R16", false},                {37, "r16sg16s", "R16G16", false},
      {13, "r16sg16sb16sa16s", "R16G16B16A16", false}};
  for (const Wide& w : kWide) {
    if (w.dxgi == d) {
      set_wide(t, w.spec, w.name);
      t->srgb = w.srgb;
      return true;
    }
  }
  return false;
}

bool set_gl_format(Texture* t, uint32_t internal, uint32_t format, uint32_t type) {
  switch (internal) {
    case 0x83F0: set_block(t, QZIPVR_FORMAT_BC1, "BC1"); t->bc1_opaque = true; return true;
    case 0x8C4C: set_block(t, QZIPVR_FORMAT_BC1, "BC1", false, true); t->bc1_opaque = true; return true;
    case 0x83F1: set_block(t, QZIPVR_FORMAT_BC1, "BC1"); return true;
    case 0x8C4D: set_block(t, QZIPVR_FORMAT_BC1, "BC1", false, true); return true;
    case 0x83F2: set_block(t, QZIPVR_FORMAT_BC2, "BC2"); return true;
    case 0x8C4E: set_block(t, QZIPVR_FORMAT_BC2, "BC2", false, true); return true;
    case 0x83F3: set_block(t, QZIPVR_FORMAT_BC3, "BC3"); return true;
    case 0x8C4F: set_block(t, QZIPVR_FORMAT_BC3, "BC3", false, true); return true;
    case 0x8DBB: set_block(t, QZIPVR_FORMAT_BC4, "BC4"); return true;
    case 0x8DBC: set_block(t, QZIPVR_FORMAT_BC4, "BC4", true); return true;
    case 0x8DBD: set_block(t, QZIPVR_FORMAT_BC5, "BC5"); return true;
    case 0x8DBE: set_block(t, QZIPVR_FORMAT_BC5, "BC5", true); return true;
    case 0x8E8C: set_block(t, QZIPVR_FORMAT_BC7, "BC7"); return true;
    case 0x8E8D: set_block(t, QZIPVR_FORMAT_BC7, "BC7", false, true); return true;
    case 0x8E8E: set_block(t, QZIPVR_FORMAT_BC6H, "BC6H", true); return true;
    case 0x8E8F: set_block(t, QZIPVR_FORMAT_BC6H, "BC6H"); return true;
    case 0x8D64: set_block(t, QZIPVR_FORMAT_ETC1, "ETC1"); return true;
    case 0x9274: set_block(t, QZIPVR_FORMAT_ETC2_RGB, "ETC2 RGB"); return true;
    case 0x9275: set_block(t, QZIPVR_FORMAT_ETC2_RGB, "ETC2 RGB", false, true); return true;
    case 0x9276: set_block(t, QZIPVR_FORMAT_ETC2_RGB_A1, "ETC2 RGB A1"); return true;
    case 0x9277: set_block(t, QZIPVR_FORMAT_ETC2_RGB_A1, "ETC2 RGB A1", false, true); return true;
    case 0x9278: set_block(t, QZIPVR_FORMAT_ETC2_RGBA, "ETC2 RGBA"); return true;
    case 0x9279: set_block(t, QZIPVR_FORMAT_ETC2_RGBA, "ETC2 RGBA", false, true); return true;
    case 0x9270: set_block(t, QZIPVR_FORMAT_EAC_R11, "EAC R11"); return true;
    case 0x9271: set_block(t, QZIPVR_FORMAT_EAC_R11, "EAC R11", true); return true;
    case 0x9272: set_block(t, QZIPVR_FORMAT_EAC_RG11, "EAC RG11"); return true;
    case 0x9273: set_block(t, QZIPVR_FORMAT_EAC_RG11, "EAC RG11", true); return true;
    case 0x8C00: case 0x8C02: set_block(t, QZIPVR_FORMAT_PVRTC_4BPP, "PVRTC1 4bpp"); break;
    case 0x8C01: case 0x8C03: set_block(t, QZIPVR_FORMAT_PVRTC_2BPP, "PVRTC1 2bpp"); break;
    case 0x8A54: case 0x8A56: set_block(t, QZIPVR_FORMAT_PVRTC_2BPP, "PVRTC1 2bpp", false, true); break;
    case 0x8A55: case 0x8A57: set_block(t, QZIPVR_FORMAT_PVRTC_4BPP, "PVRTC1 4bpp", false, true); break;
    default: break;
  }
  // PVRTC: the RGB and RGBA numbers name the same blocks; only the number says whether they hold alpha.
  if ((internal >= 0x8C00 && internal <= 0x8C03) || (internal >= 0x8A54 && internal <= 0x8A57)) {
    t->alpha = internal == 0x8C02 || internal == 0x8C03 || internal == 0x8A56 || internal == 0x8A57;
    return true;
  }
  if (internal >= 0x93B0 && internal <= 0x93BD) { set_astc(t, static_cast<int>(internal - 0x93B0), false, false); return true; }
  if (internal >= 0x93D0 && internal <= 0x93DD) { set_astc(t, static_cast<int>(internal - 0x93D0), true, false); return true; }
  if (internal >= 0x93C0 && internal <= 0x93C9) { set_astc(t, 14 + static_cast<int>(internal - 0x93C0), false, false); return true; }
  if (internal >= 0x93E0 && internal <= 0x93E9) { set_astc(t, 14 + static_cast<int>(internal - 0x93E0), true, false); return true; }
  if (format == 0 || type == 0) return false;

  // Uncompressed: the channels that glFormat names, of glType each, or a packed type.
  const char* channels = nullptr;
  switch (format) {
    case 0x1903: channels = "r"; break;
    case 0x8227: channels = "rg"; break;
    case 0x1907: channels = "rgb"; break;
    case 0x1908: channels = "rgba"; break;
    case 0x80E0: channels = "bgr"; break;
    case 0x80E1: channels = "bgra"; break;
    case 0x1906: channels = "a"; break;
    case 0x1909: channels = "l"; break;
    case 0x190A: channels = "la"; break;
    default: return false;
  }
  const bool srgb = internal == 0x8C41 || internal == 0x8C43;
  const char* packed = nullptr;
  std::string name;
  switch (type) {
    case 0x8C3B: if (format == 0x1907) packed = "r11eg11eb10e"; name = "R11G11B10F"; break;
    case 0x8C3E: if (format == 0x1907) packed = "rgb9e5"; name = "RGB9E5"; break;
    case 0x8363: if (format == 0x1907) packed = "b5g6r5"; name = "RGB565"; break;
    case 0x8033: if (format == 0x1908) packed = "a4b4g4r4"; name = "RGBA4444"; break;
    case 0x8034: if (format == 0x1908) packed = "a1b5g5r5"; name = "RGBA5551"; break;
    case 0x8368: if (format == 0x1908) packed = "r10g10b10a2"; name = "RGB10A2"; break;
    default: break;
  }
  if (!name.empty()) {
    if (!packed) return false;
    set_wide(t, packed, name.c_str());
    t->srgb = srgb;
    return true;
  }
  const char* width = nullptr;
  const char* suffix = "";
  switch (type) {
    case 0x1401: width = "8"; suffix = "8"; break;
    case 0x1403: width = "16"; suffix = "16"; break;
    case 0x1400: width = "8s"; suffix = "8"; break;   // signed normalised (the SNORM internal formats)
    case 0x1402: width = "16s"; suffix = "16"; break;
    case 0x140B: width = "16h"; suffix = "16F"; break;
    case 0x1406: width = "32f"; suffix = "32F"; break;
    default: return false;
  }
  std::string spec;
  for (const char* c = channels; *c; ++c) {
    spec += *c;
    spec += width;
    name += static_cast<char>(*c - 'a' + 'A');
  }
  name += suffix;
  set_wide(t, spec.c_str(), name.c_str());
  t->srgb = srgb;
  return true;
}

bool set_vk_format(Texture* t, uint32_t vk) {
  if (vk >= 131 && vk <= 156) {
    struct Row {
      int format;
      const char* name;
      bool is_signed;
    };
    // Pairs of UNORM and SRGB (BC4, BC5, BC6H, EAC: unsigned and signed).
    static const Row kRows[26] = {
        {QZIPVR_FORMAT_BC1, "BC1", false},         {QZIPVR_FORMAT_BC1, "BC1", false},
        {QZIPVR_FORMAT_BC1, "BC1", false},         {QZIPVR_FORMAT_BC1, "BC1", false},
        {QZIPVR_FORMAT_BC2, "BC2", false},         {QZIPVR_FORMAT_BC2, "BC2", false},
        {QZIPVR_FORMAT_BC3, "BC3", false},         {QZIPVR_FORMAT_BC3, "BC3", false},
        {QZIPVR_FORMAT_BC4, "BC4", false},         {QZIPVR_FORMAT_BC4, "BC4", true},
        {QZIPVR_FORMAT_BC5, "BC5", false},         {QZIPVR_FORMAT_BC5, "BC5", true},
        {QZIPVR_FORMAT_BC6H, "BC6H", false},       {QZIPVR_FORMAT_BC6H, "BC6H", true},
        {QZIPVR_FORMAT_BC7, "BC7", false},         {QZIPVR_FORMAT_BC7, "BC7", false},
        {QZIPVR_FORMAT_ETC2_RGB, "ETC2 RGB", false}, {QZIPVR_FORMAT_ETC2_RGB, "ETC2 RGB", false},
        {QZIPVR_FORMAT_ETC2_RGB_A1, "ETC2 RGB A1", false}, {QZIPVR_FORMAT_ETC2_RGB_A1, "ETC2 RGB A1", false},
        {QZIPVR_FORMAT_ETC2_RGBA, "ETC2 RGBA", false}, {QZIPVR_FORMAT_ETC2_RGBA, "ETC2 RGBA", false},
        {QZIPVR_FORMAT_EAC_R11, "EAC R11", false}, {QZIPVR_FORMAT_EAC_R11, "EAC R11", true},
        {QZIPVR_FORMAT_EAC_RG11, "EAC RG11", false}, {QZIPVR_FORMAT_EAC_RG11, "EAC RG11", true}};
    const Row& r = kRows[vk - 131];
    const bool paired_srgb = (vk <= 138 || (vk >= 145 && vk <= 152)) && (vk - 131) % 2 == 1;
    set_block(t, r.format, r.name, r.is_signed, paired_srgb);
    t->bc1_opaque = vk == 131 || vk == 132;
    return true;
  }
  if (vk >= 157 && vk <= 184) {
    set_astc(t, static_cast<int>((vk - 157) / 2), (vk - 157) % 2 == 1, false);
    return true;
  }
  if (vk >= 1000066000 && vk <= 1000066013) {
    set_astc(t, static_cast<int>(vk - 1000066000), false, true);
    return true;
  }
  if (vk >= 1000054000 && vk <= 1000054007) {
    const uint32_t k = (vk - 1000054000) % 4;
    if (k >= 2) return false;  // PVRTC-II
    set_block(t, k == 0 ? QZIPVR_FORMAT_PVRTC_2BPP : QZIPVR_FORMAT_PVRTC_4BPP, k == 0 ? "PVRTC1 2bpp" : "PVRTC1 4bpp",
              false, vk >= 1000054004);
    return true;
  }
  struct Wide {
    uint32_t vk;
    const char* spec;
    const char* name;
    bool srgb;
  };
  static const Wide kWide[] = {
      {9, "r8", "R8", false},           {15, "r8", "R8", true},
      {16, "r8g8", "R8G8", false},      {22, "r8g8", "R8G8", true},
      {23, "r8g8b8", "R8G8B8", false},  {29, "r8g8b8", "R8G8B8", true},
      {30, "b8g8r8", "B8G8R8", false},  {36, "b8g8r8", "B8G8R8", true},
      {37, "r8g8b8a8", "R8G8B8A8", false}, {43, "r8g8b8a8", "R8G8B8A8", true},
      {44, "b8g8r8a8", "B8G8R8A8", false}, {50, "b8g8r8a8", "B8G8R8A8", true},
      {2, "g4r4", "R4G4", false},       {3, "a4b4g4r4", "R4G4B4A4", false},
      {4, "a4r4g4b4", "B4G4R4A4", false}, {5, "b5g6r5", "R5G6B5", false},
      {6, "r5g6b5", "B5G6R5", false},   {7, "a1b5g5r5", "R5G5B5A1", false},
      {8, "a1r5g5b5", "B5G5R5A1", false}, {58, "r10g10b10a2", "A2B10G10R10", false},
      {64, "b10g10r10a2", "A2R10G10B10", false}, {70, "r16", "R16", false},
      {77, "r16g16", "R16G16", false},  {91, "r16g16b16a16", "R16G16B16A16", false},
      {76, "r16h", "R16F", false},      {83, "r16hg16h", "R16G16F", false},
      {90, "r16hg16hb16h", "R16G16B16F", false}, {97, "r16hg16hb16ha16h", "R16G16B16A16F", false},
      {100, "r32f", "R32F", false},     {103, "r32fg32f", "R32G32F", false},
      {106, "r32fg32fb32f", "R32G32B32F", false}, {109, "r32fg32fb32fa32f", "R32G32B32A32F", false},
      {122, "r11eg11eb10e", "B10G11R11F", false}, {123, "rgb9e5", "E5B9G9R9", false},
      {10, "r8s", "R8", false},         {17, "r8sg8s", "R8G8", false},
      {24, "r8sg8sb8s", "R8G8B8", false}, {31, "b8sg8sr8s", "B8G8R8", false},
      {38, "r8sg8sb8sa8s", "R8G8B8A8", false}, {45, "b8sg8sr8sa8s", "B8G8R8A8", false},
      {71, "r16s", "R16", false},       {78, "r16sg16s", "R16G16", false},
      {92, "r16sg16sb16sa16s", "R16G16B16A16", false}};
  for (const Wide& w : kWide) {
    if (w.vk == vk) {
      set_wide(t, w.spec, w.name);
      t->srgb = w.srgb;
      return true;
    }
  }
  return false;
}

bool set_etc_pkm_type(Texture* t, uint32_t type) {
  switch (type) {
    case 0: set_block(t, QZIPVR_FORMAT_ETC1, "ETC1"); return true;
    case 1: set_block(t, QZIPVR_FORMAT_ETC2_RGB, "ETC2 RGB"); return true;
    case 2: case 3: set_block(t, QZIPVR_FORMAT_ETC2_RGBA, "ETC2 RGBA"); return true;
    case 4: set_block(t, QZIPVR_FORMAT_ETC2_RGB_A1, "ETC2 RGB A1"); return true;
    case 5: set_block(t, QZIPVR_FORMAT_EAC_R11, "EAC R11"); return true;
    case 6: set_block(t, QZIPVR_FORMAT_EAC_RG11, "EAC RG11"); return true;
    case 7: set_block(t, QZIPVR_FORMAT_EAC_R11, "EAC R11", true); return true;
    case 8: set_block(t, QZIPVR_FORMAT_EAC_RG11, "EAC RG11", true); return true;
    case 9: set_block(t, QZIPVR_FORMAT_ETC2_RGB, "ETC2 RGB", false, true); return true;
    case 10: set_block(t, QZIPVR_FORMAT_ETC2_RGBA, "ETC2 RGBA", false, true); return true;
    case 11: set_block(t, QZIPVR_FORMAT_ETC2_RGB_A1, "ETC2 RGB A1", false, true); return true;
    default: return false;
  }
}

void read_key_values(const uint8_t* p, uint64_t n, bool big_endian, bool ktx2, Texture* t) {
  uint64_t at = 0;
  while (n - at >= 4) {
    uint32_t len = load32(p + at);
    if (big_endian) len = __builtin_bswap32(len);
    at += 4;
    if (len > n - at) break;
    const char* key = reinterpret_cast<const char*>(p + at);
    const size_t key_len = strnlen(key, len);
    if (key_len < len) {
      const std::string k(key, key_len);
      std::string value(key + key_len + 1, len - key_len - 1);
      value = value.substr(0, strnlen(value.c_str(), value.size()));
      if (k == "KTXorientation") {
        if (ktx2) {
          // "rd", "ru", "l..": one letter per axis.
          if (!value.empty()) t->flip_columns = value[0] == 'l';
          if (value.size() > 1) t->flip_rows = value[1] == 'u';
        } else {
          t->flip_columns = value.find("S=l") != std::string::npos;
          t->flip_rows = value.find("T=u") != std::string::npos;
        }
      } else if (k == "KTXswizzle" && value.size() >= 4) {
        bool ok = true;
        for (int c = 0; c < 4; ++c) ok &= std::strchr("rgba01", value[c]) != nullptr && value[c] != 0;
        if (ok) std::memcpy(t->swizzle, value.data(), 4);
      }
    }
    at += (static_cast<uint64_t>(len) + 3) / 4 * 4;
  }
}

namespace {

uint32_t magic32(const Head& in) { return in.at_hand(0, 4) ? in.u32(0) : 0; }

const uint8_t kKtx1[12] = {0xAB, 'K', 'T', 'X', ' ', '1', '1', 0xBB, '\r', '\n', 0x1A, '\n'};
const uint8_t kKtx2[12] = {0xAB, 'K', 'T', 'X', ' ', '2', '0', 0xBB, '\r', '\n', 0x1A, '\n'};

void read_any(Head& in, const Choice& c, Texture* t) {
  if (!in.at_hand(0, 4)) refuse(QZIPVR_ERR_HEADER, "shorter than any texture header");
  const uint32_t m = magic32(in);
  if (std::memcmp(in.p, "DDS ", 4) == 0) {
    read_dds(in, c, t);
  } else if (in.at_hand(0, 12) && std::memcmp(in.p, kKtx1, 12) == 0) {
    read_ktx(in, c, t);
  } else if (in.at_hand(0, 12) && std::memcmp(in.p, kKtx2, 12) == 0) {
    read_ktx2(in, c, t);
  } else if (m == 0x5CA1AB13) {
    read_astc_file(in, c, t);
  } else if (std::memcmp(in.p, "PKM ", 4) == 0) {
    read_pkm(in, c, t);
  } else {
    read_pvr(in, c, t);
  }
}

Choice to_choice(const QZIPVR_CHOICE* c) {
  Choice r;
  if (!c) return r;
  r.level = c->level;
  r.face = c->face;
  r.layer = c->layer;
  r.slice = c->slice;
  r.tone.reinhard = c->tone_map == 1;
  r.tone.exposure = c->exposure > 0 ? c->exposure : 1;
  return r;
}

std::string description(const Texture& t) {
  if (t.container == QZIPVR_CONTAINER_PVR) return describe(t);
  // .astc files: "ASTC 6x6", the container's name already in the format's.
  std::string s = t.format_name.rfind(t.label + " ", 0) == 0 ? t.format_name : t.label + " " + t.format_name;
  if (t.format == QZIPVR_FORMAT_ASTC && t.astc_hdr) s += " HDR";
  if (t.is_signed) s += " signed";
  if (t.srgb || t.srgb_tagged) s += " sRGB";
  return s;
}

void copy_text(char* to, size_t size, const std::string& text) {
  const size_t n = std::min(text.size(), size - 1);
  std::memcpy(to, text.data(), n);
  to[n] = 0;
}

// KTX2 KTXswizzle: each output channel from a channel or a constant.
void swizzle(Sink& out, const char* sw) {
  for (int y = 0; y < out.height; ++y) {
    uint8_t* alpha = nullptr;
    uint8_t* row = out.row(y, &alpha);
    if (out.failed) return;
    for (int x = 0; x < out.width; ++x) {
      uint8_t* d = row + static_cast<size_t>(x) * out.pixel;
      uint8_t* a = out.pixel == 4 ? d + 3 : alpha ? alpha + x : nullptr;
      const uint8_t in[4] = {d[2], d[1], d[0], a ? *a : uint8_t{255}};
      uint8_t v[4];
      for (int c = 0; c < 4; ++c) {
        switch (sw[c]) {
          case 'r': v[c] = in[0]; break;
          case 'g': v[c] = in[1]; break;
          case 'b': v[c] = in[2]; break;
          case 'a': v[c] = in[3]; break;
          case '0': v[c] = 0; break;
          default: v[c] = 255; break;
        }
      }
      d[2] = v[0];
      d[1] = v[1];
      d[0] = v[2];
      if (a) *a = v[3];
    }
  }
}

// The KTX2 level holding the image, inflated.
std::vector<uint8_t> inflate_level(const uint8_t* file, const Texture& t) {
  std::vector<uint8_t> level(t.level_inflated);
  const uint8_t* src = file + t.level_offset;
  if (t.supercompression == 2) {
    const size_t n = ZSTD_decompress(level.data(), level.size(), src, t.level_length);
    if (ZSTD_isError(n) || n != level.size()) {
      refuse(QZIPVR_ERR_DATA, std::string("Zstandard data does not inflate to the level's size") +
                                  (ZSTD_isError(n) ? std::string(": ") + ZSTD_getErrorName(n) : ""));
    }
  } else {
    uLongf n = static_cast<uLongf>(level.size());
    const int rc = uncompress(level.data(), &n, src, static_cast<uLong>(t.level_length));
    if (rc != Z_OK || n != level.size()) refuse(QZIPVR_ERR_DATA, "zlib data does not inflate to the level's size");
  }
  return level;
}

// The chosen image's blocks: in the file, or in `inflated` for a supercompressed level.
const uint8_t* image_data(const uint8_t* file, const Texture& t, std::vector<uint8_t>& inflated) {
  if (t.supercompression == 0) return file + t.data_offset;
  inflated = inflate_level(file, t);
  return inflated.data() + t.image_offset;
}

template <class S>
void start_picture(const Texture& t, S& out) {
  out.width = t.width;
  out.height = t.height;
  out.flip_rows = t.flip_rows;
}

// `data` as image_data gives it; `file` for what lies elsewhere in it (a palette).
int decode_image(const uint8_t* file, const uint8_t* data, const Texture& t, const Choice& c, Sink& out) {
  start_picture(t, out);
  switch (t.format) {
    case QZIPVR_FORMAT_PVRTC_2BPP:
    case QZIPVR_FORMAT_PVRTC_4BPP:
      decode_pvrtc(data, t.format == QZIPVR_FORMAT_PVRTC_2BPP, out);
      break;
    case QZIPVR_FORMAT_ASTC: {
      Texture a = t;
      if (!a.astc_hdr && !a.srgb) a.astc_hdr = astc_has_hdr_blocks(data, image_bytes(t, t.width, t.height));
      const bool ok = a.astc_hdr || a.block_d > 1 ? decode_astc_full(data, a, c.tone, out) : decode_astc(data, a, out);
      if (!ok) refuse(QZIPVR_ERR_DATA, "the ASTC codec refused the blocks");
      break;
    }
    case QZIPVR_FORMAT_BC6H:
      decode_bc6h(data, t.is_signed, c.tone, out);
      break;
    case QZIPVR_FORMAT_WIDE:
      decode_wide(data, t.wide.palette ? file + t.palette_offset : nullptr, t, c.tone, out);
      break;
    default:
      if (block_fn(t, nullptr)) {
        decode_blocks(data, t, out);
      } else {
        decode_uncompressed(data, t.layout, out);
      }
      break;
  }
  if (!out.failed && t.flip_columns) mirror_rows(out);
  if (!out.failed && std::memcmp(t.swizzle, "rgba", 4) != 0) swizzle(out, t.swizzle);
  return out.failed ? QZIPVR_ERR_OUTPUT : QZIPVR_OK;
}

int decode_chosen(const uint8_t* file, const Texture& t, const Choice& c, Sink& out) {
  std::vector<uint8_t> inflated;
  return decode_image(file, image_data(file, t, inflated), t, c, out);
}

void mirror_floats(FloatSink& out) {
  for (int y = 0; y < out.height; ++y) {
    float* row = out.row(y);
    if (out.failed) return;
    for (int l = 0, r = out.width - 1; l < r; ++l, --r) std::swap_ranges(row + 4 * l, row + 4 * l + 4, row + 4 * r);
  }
}

void swizzle_floats(FloatSink& out, const char* sw) {
  for (int y = 0; y < out.height; ++y) {
    float* d = out.row(y);
    if (out.failed) return;
    for (int x = 0; x < out.width; ++x, d += 4) {
      const float in[4] = {d[0], d[1], d[2], d[3]};
      for (int c = 0; c < 4; ++c) {
        const char* at = std::strchr("rgba", sw[c]);
        d[c] = at ? in[at - "rgba"] : sw[c] == '0' ? 0.0f : 1.0f;
      }
    }
  }
}

// Unsigned formats whose values 8 bits do not hold: EAC's 11 bits and layouts with a channel
// wider than 8 bits.
bool deep_unsigned(const Texture& t) {
  if (t.is_signed) return false;
  if (t.format == QZIPVR_FORMAT_EAC_R11 || t.format == QZIPVR_FORMAT_EAC_RG11) return true;
  if (t.format != QZIPVR_FORMAT_WIDE || t.wide.palette || t.wide.is_float || t.wide.is_signed) return false;
  for (int k = 0; k < t.wide.count; ++k) {
    if (t.wide.channels[k].name != 'x' && t.wide.channels[k].bits > 8) return true;
  }
  return false;
}

// The 8-bit picture of formats whose values 8 bits hold, widened exactly (x / 255).
int widen_chosen(const uint8_t* file, const uint8_t* data, const Texture& t, const Choice& c, FloatSink& out) {
  struct Picture {
    std::vector<uint8_t> bgra;
    size_t width;
  } picture{std::vector<uint8_t>(static_cast<size_t>(t.width) * t.height * 4), static_cast<size_t>(t.width)};
  Sink s;
  s.pixel = 4;
  s.user = &picture;
  s.row_fn = [](void* user, int y, uint8_t** alpha) -> uint8_t* {
    Picture* p = static_cast<Picture*>(user);
    *alpha = nullptr;
    return &p->bgra[static_cast<size_t>(y) * p->width * 4];
  };
  const int rc = decode_image(file, data, t, c, s);
  if (rc != QZIPVR_OK) return rc;
  out.flip_rows = false;  // the picture is already the right way up
  const uint8_t* src = picture.bgra.data();
  for (int y = 0; y < out.height; ++y) {
    float* d = out.row(y);
    if (out.failed) return QZIPVR_ERR_OUTPUT;
    for (int x = 0; x < out.width; ++x, src += 4, d += 4) {
      d[0] = src[2] / 255.0f;
      d[1] = src[1] / 255.0f;
      d[2] = src[0] / 255.0f;
      d[3] = src[3] / 255.0f;
    }
  }
  return QZIPVR_OK;
}

int decode_chosen_floats(const uint8_t* file, const Texture& t, const Choice& c, FloatSink& out) {
  // Inflated once: the formats 8 bits hold are widened from the 8-bit decode of the same data.
  std::vector<uint8_t> inflated;
  const uint8_t* data = image_data(file, t, inflated);
  start_picture(t, out);
  switch (t.format) {
    case QZIPVR_FORMAT_BC6H:
      decode_bc6h_floats(data, t.is_signed, out);
      break;
    case QZIPVR_FORMAT_WIDE:
      if (!t.wide.is_float && !t.wide.is_signed && !deep_unsigned(t)) return widen_chosen(file, data, t, c, out);
      decode_wide_floats(data, t, out);
      break;
    case QZIPVR_FORMAT_ASTC: {
      Texture a = t;
      if (!a.astc_hdr && !a.srgb) a.astc_hdr = astc_has_hdr_blocks(data, image_bytes(t, t.width, t.height));
      if (!a.astc_hdr) return widen_chosen(file, data, t, c, out);
      Sink size;
      size.width = t.width;
      size.height = t.height;
      if (!decode_astc_full(data, a, c.tone, size, &out)) refuse(QZIPVR_ERR_DATA, "the ASTC codec refused the blocks");
      break;
    }
    case QZIPVR_FORMAT_BC4:
    case QZIPVR_FORMAT_BC5:
    case QZIPVR_FORMAT_EAC_R11:
    case QZIPVR_FORMAT_EAC_RG11:
      if (!t.is_signed && !deep_unsigned(t)) return widen_chosen(file, data, t, c, out);
      decode_signed_floats(data, t, out);
      break;
    default:
      return widen_chosen(file, data, t, c, out);
  }
  if (!out.failed && t.flip_columns) mirror_floats(out);
  if (!out.failed && std::memcmp(t.swizzle, "rgba", 4) != 0) swizzle_floats(out, t.swizzle);
  return out.failed ? QZIPVR_ERR_OUTPUT : QZIPVR_OK;
}

}  // namespace

// What qzipvr08 reports of a texture read whole or, for a PVR file shorter than its image, of its header.
void fill_info(const Texture& t, QZIPVR_INFO* info) {
  info->container = t.container;
  info->format = t.format;
  info->width = t.width;
  info->height = t.height;
  info->levels = t.levels;
  info->faces = t.faces;
  info->layers = t.layers;
  info->depth = t.depth;
  // Uncompressed layouts are texels of their own, whatever block size the reader left behind.
  const bool blocks = t.format <= QZIPVR_FORMAT_BC3 || (t.format >= QZIPVR_FORMAT_ETC2_RGB && t.format <= QZIPVR_FORMAT_BC6H);
  info->block_width = !blocks ? 1 : t.format == QZIPVR_FORMAT_PVRTC_2BPP ? 8 : t.block_w;
  info->block_height = !blocks ? 1 : t.block_h;
  info->block_depth = t.block_d;
  info->flags = (t.is_signed ? QZIPVR_FLAG_SIGNED : 0u) | (t.srgb || t.srgb_tagged ? QZIPVR_FLAG_SRGB : 0u) |
                (t.flip_rows ? QZIPVR_FLAG_FLIP_ROWS : 0u) | (t.flip_columns ? QZIPVR_FLAG_FLIP_COLUMNS : 0u) |
                (t.hdr ? QZIPVR_FLAG_HDR : 0u) | (t.premultiplied ? QZIPVR_FLAG_PREMULTIPLIED : 0u) |
                (t.supercompression ? QZIPVR_FLAG_SUPERCOMPRESSED : 0u) |
                (stores_alpha(t) ? QZIPVR_FLAG_ALPHA : 0u) |
                (t.colour_stated && !t.srgb && !t.srgb_tagged ? QZIPVR_FLAG_LINEAR : 0u) |
                (deep_unsigned(t) ? QZIPVR_FLAG_DEEP : 0u);
  info->block_bits = block_bits(t);
}

}  // namespace qzipvr

using qzipvr::Head;
using qzipvr::Refused;
using qzipvr::Texture;

extern "C" {

int qzipvr08(const void* head, size_t head_size, unsigned long long file_size, const QZIPVR_CHOICE* choice,
             QZIPVR_INFO* info) {
  if (!head || !info || head_size > file_size) return QZIPVR_ERR_ARGUMENT;
  std::memset(info, 0, sizeof *info);
  Head in;
  in.p = static_cast<const uint8_t*>(head);
  in.avail = head_size;
  in.size = file_size;
  Texture t;
  try {
    qzipvr::read_any(in, qzipvr::to_choice(choice), &t);
  } catch (const Refused& r) {
    info->head_needed = in.needed;
    // A PVR header read whole (its version set) whose image the file cuts short: its facts still tell.
    if (r.code == QZIPVR_ERR_DATA && t.version != 0) qzipvr::fill_info(t, info);
    qzipvr::copy_text(info->reason, sizeof info->reason, r.reason);
    return r.code;
  } catch (const std::bad_alloc&) {
    return QZIPVR_ERR_MEMORY;
  }
  // HDR blocks under an ASTC format that does not say so: told by the blocks that are at hand
  // (the decode looks at all of them).
  if (t.format == QZIPVR_FORMAT_ASTC && !t.astc_hdr && !t.srgb && t.supercompression == 0 && t.data_offset < in.avail) {
    const uint64_t n = qzipvr::image_bytes(t, static_cast<uint64_t>(t.width), static_cast<uint64_t>(t.height));
    if (qzipvr::astc_has_hdr_blocks(in.p + t.data_offset, std::min<uint64_t>(n, in.avail - t.data_offset))) {
      t.astc_hdr = t.hdr = true;
    }
  }
  qzipvr::fill_info(t, info);
  qzipvr::copy_text(info->description, sizeof info->description, qzipvr::description(t));
  return QZIPVR_OK;
}

int qzipvr09(const void* file, size_t file_size, const QZIPVR_CHOICE* choice, const QZIPVR_ROWS* rows) {
  if (!file) return QZIPVR_ERR_ARGUMENT;
  Head in;
  in.p = static_cast<const uint8_t*>(file);
  in.avail = file_size;
  in.size = file_size;
  const qzipvr::Choice c = qzipvr::to_choice(choice);
  Texture t;
  try {
    qzipvr::read_any(in, c, &t);
    if (!rows || !rows->row) return QZIPVR_ERR_OUTPUT;
    qzipvr::Sink out;
    out.pixel = 3;
    out.row_fn = rows->row;
    out.user = rows->user;
    return qzipvr::decode_chosen(in.p, t, c, out);
  } catch (const Refused& r) {
    return r.code;
  } catch (const std::bad_alloc&) {
    return QZIPVR_ERR_MEMORY;
  }
}

int qzipvr10(const void* file, size_t file_size, const QZIPVR_CHOICE* choice, const QZIPVR_FLOAT_ROWS* rows) {
  if (!file) return QZIPVR_ERR_ARGUMENT;
  Head in;
  in.p = static_cast<const uint8_t*>(file);
  in.avail = file_size;
  in.size = file_size;
  const qzipvr::Choice c = qzipvr::to_choice(choice);
  Texture t;
  try {
    qzipvr::read_any(in, c, &t);
    if (!rows || !rows->row) return QZIPVR_ERR_OUTPUT;
    qzipvr::FloatSink out;
    out.row_fn = rows->row;
    out.user = rows->user;
    return qzipvr::decode_chosen_floats(in.p, t, c, out);
  } catch (const Refused& r) {
    return r.code;
  } catch (const std::bad_alloc&) {
    return QZIPVR_ERR_MEMORY;
  }
}

}  // extern "C"
